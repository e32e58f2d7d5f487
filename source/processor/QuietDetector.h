#pragma once

// Tracks whether input and output have stayed quiet (at most 0.001) and silent (exactly zero) for
// at least one delay-line length: only then has everything still inside the delay line died away,
// so a latency change cannot cut off audible signal.
class QuietDetector
{
public:
    void prepare (int requiredSamples) noexcept;

    void update (float inL, float inR, float outL, float outR) noexcept
    {
        const float peak = max4 (inL, inR, outL, outR);
        quietRun = peak <= kQuietLevel ? (quietRun < required ? quietRun + 1 : quietRun) : 0;
        silentRun = peak <= 0.0f ? (silentRun < required ? silentRun + 1 : silentRun) : 0;
    }

    bool isQuiet() const noexcept { return quietRun >= required; }
    bool isSilent() const noexcept { return silentRun >= required; }

    static constexpr float kQuietLevel = 0.001f;

private:
    static float abs (float x) noexcept { return x < 0.0f ? -x : x; }
    static float max4 (float a, float b, float c, float d) noexcept
    {
        const float ab = abs (a) > abs (b) ? abs (a) : abs (b);
        const float cd = abs (c) > abs (d) ? abs (c) : abs (d);
        return ab > cd ? ab : cd;
    }

    int required = 1;
    int quietRun = 1;
    int silentRun = 1;
};
