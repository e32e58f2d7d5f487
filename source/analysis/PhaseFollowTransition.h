#pragma once

#include <cstdint>

// The switch between two follow renderings without lookahead: how long a quiet run or a
// verification must last, and the short gain dip that hides the swap, falling to silence with a
// smoothstep, swapping at the bottom and rising again. Audio thread only; prepared again whenever
// the rate or the latency changes.
class PhaseFollowTransition
{
public:
    void prepare (double sampleRate) noexcept;

    int getShortLength() const noexcept { return shortLength; }               // max (trunc (0.5 ms), 8)
    int getVerificationLength() const noexcept { return verificationLength; } // max (trunc (20 ms), 1)
    int getRampLength() const noexcept { return rampLength; }                 // max (trunc (2 ms), 8)
    double getSmoothingCoefficient() const noexcept { return smoothing; }     // one pole, 20 ms

    // Starts the fall; ignored while a dip runs.
    void beginDip() noexcept;
    // A dropped candidate: a running fall becomes a rise from the gain it has reached, with no swap.
    void cancelDip() noexcept;
    // One sample of the dip. True exactly once per dip, on the sample the gain reaches 0: the
    // renderers swap there.
    bool advance() noexcept;

    float getGain() const noexcept { return gain; }
    bool isActive() const noexcept { return active; }
    bool isFalling() const noexcept { return active && falling; }

    // Kept with the dip by the runtime: consecutive quiet samples, and samples since the candidate
    // was prepared.
    int quietRun = 0;
    std::uint64_t candidateSamples = 0;

private:
    int shortLength = 8, verificationLength = 1, rampLength = 8;
    double smoothing = 0.0;
    float gain = 1.0f, fromGain = 1.0f; // now, and where the running ramp started
    int position = 0;
    bool active = false, falling = false;
};
