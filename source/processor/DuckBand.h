#pragma once

// Applies the duck gain to the whole bass or only to its low band, optionally keeping the deepest
// part of that band out of the duck, and collapses the stereo difference below a frequency.
// The band splits here are one-pole low-passes; the linear-phase split's low band comes from the
// caller (LinearPhaseSplitter).
class DuckBand
{
public:
    // One-pole low-pass: state = c·state + (1 − c)·input, c = exp(−2π·frequency/rate).
    struct Section
    {
        double rate = 48000.0;
        float frequency = 180.0f;
        float coefficient = 0.0f;
        float state = 0.0f;

        void prepare (double newRate) noexcept;
        void setFrequency (float hz) noexcept;
        float process (float x) noexcept
        {
            state = coefficient * state + (1.0f - coefficient) * x;
            return state;
        }
    };

    struct Settings
    {
        bool lowOnly = false;
        float crossoverHz = 180.0f;
        float highPassHz = 20.0f;
        float monoHz = 180.0f;
        bool monoLow = false;
    };

    void prepare (double rate) noexcept;
    // Per block: targets from the parameters; coefficients follow only when a frequency changed.
    void setSettings (const Settings& s) noexcept;
    void applyFrequencies() noexcept;
    void reset() noexcept;

    // The duck on a bass pair with gain g. With the linear-phase split the caller passes that
    // split's low band of each channel; otherwise the one-pole crossover splits here.
    void duck (float& left, float& right, float g) noexcept;
    void duckLinearPhase (float& left, float& right, float g, float lowLeft, float lowRight) noexcept;
    // Removes the stereo difference below the mono frequency (after the duck).
    void monoBelow (float& left, float& right) noexcept;

    bool keepsSubOutOfTheDuck() const noexcept { return settings.highPassHz > 20.5f; }

private:
    float split (float x, float low, float g, Section& highPass) const noexcept;

    enum { crossoverLeft, crossoverRight, highPassLeft, highPassRight, mono, numSections };
    Section sections[numSections];
    Settings settings;
};
