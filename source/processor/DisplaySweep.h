#pragma once

// The sweep position of the beat-synced displays: 632 columns across one grid division. While the
// host transport plays with a position, the column follows the beat; otherwise it runs free at
// the division's rate and starts over at the end, which also gives the duck its grid phase while
// the transport is stopped.
class DisplaySweep
{
public:
    static constexpr int kColumns = 632;

    void reset() noexcept
    {
        column = 0;
        accumulator = 1.0;
    }

    // Per block: the division in beats (displayDivision) and the tempo.
    void setUp (int displayDivision, double bpm, double rate) noexcept;

    // At the block start, with the beat position of its first sample (grid offset included).
    void startBlock (bool synced, double beatPosition) noexcept;
    // Per sample, after the output is written.
    void advance() noexcept;

    float gridPhase() const noexcept { return static_cast<float> (column) / (kColumns - 1.0f); }

    static double divisionBeatsFor (int displayDivision) noexcept;

private:
    int column = 0;
    double accumulator = 1.0;
    double divisionBeats = 1.0, beatsPerSample = 0.0, pixelsPerSample = 0.0;
    bool synced = false;
    double inDivision = 0.0; // the current sample's position within its division, in beats
};
