#pragma once

namespace juce { class AudioPlayHead; }

// The host transport as one block sees it.
struct TransportSnapshot
{
    double bpm = 120.0;
    bool hasTempo = false;
    bool playing = false;
    bool hasPosition = false;
    double ppq = 0.0; // beats at the block's first sample, when hasPosition
    bool looping = false;
    double loopStartPpq = 0.0, loopEndPpq = 0.0;
    bool startedPlaying = false; // the first block that plays after one that did not
};

// Reads the play head once per block. Some hosts tell the position only on the cycles in which
// the transport changed (JUCE's LV2 client leaves the position empty otherwise): with
// extrapolation on, a transport last known to be playing keeps playing and its beat position
// advances by the samples processed, instead of being taken for "no transport".
class HostTransport
{
public:
    void setExtrapolatesMissingPositions (bool shouldExtrapolate) noexcept { extrapolate = shouldExtrapolate; }
    void reset() noexcept;

    const TransportSnapshot& read (juce::AudioPlayHead* playHead) noexcept;
    // After the block: moves an extrapolated position on by the block's length.
    void advance (int numSamples, double sampleRate) noexcept;

    const TransportSnapshot& current() const noexcept { return snapshot; }

private:
    TransportSnapshot snapshot;
    bool wasPlaying = false;
    bool known = false;
    bool extrapolate = false;
};
