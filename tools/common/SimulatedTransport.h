#pragma once

#include <juce_audio_processors/juce_audio_processors.h>

#include <cmath>

namespace lumetta::tools
{
struct TransportSettings
{
    double bpm = 120.0;
    double startBeat = 0.0;
    bool playing = true;
    bool looping = false;
    double loopStartBeat = 0.0, loopEndBeat = 0.0;
};

// A host play head for offline renders: a steady tempo in 4/4 that advances block by block and
// wraps at the loop end, as a host's transport does.
class SimulatedTransport : public juce::AudioPlayHead
{
public:
    SimulatedTransport (const TransportSettings& s, double rate) : settings (s), sampleRate (rate), beat (s.startBeat) {}

    juce::Optional<PositionInfo> getPosition() const override
    {
        PositionInfo info;
        info.setBpm (settings.bpm);
        info.setTimeSignature (TimeSignature { 4, 4 });
        info.setIsPlaying (settings.playing);
        info.setPpqPosition (beat);
        info.setPpqPositionOfLastBarStart (std::floor (beat / 4.0) * 4.0);
        info.setTimeInSamples (samples);
        info.setTimeInSeconds (static_cast<double> (samples) / sampleRate);
        info.setIsLooping (settings.looping);
        if (settings.looping)
            info.setLoopPoints (LoopPoints { settings.loopStartBeat, settings.loopEndBeat });
        return info;
    }

    void advance (int numSamples)
    {
        if (! settings.playing)
            return;
        samples += numSamples;
        beat += numSamples * settings.bpm / 60.0 / sampleRate;
        if (settings.looping && settings.loopEndBeat > settings.loopStartBeat && beat >= settings.loopEndBeat)
            beat = settings.loopStartBeat + std::fmod (beat - settings.loopStartBeat, settings.loopEndBeat - settings.loopStartBeat);
    }

private:
    TransportSettings settings;
    double sampleRate;
    double beat;
    juce::int64 samples = 0;
};
} // namespace lumetta::tools
