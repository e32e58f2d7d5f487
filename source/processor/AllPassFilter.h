#pragma once

// Second-order all-pass: unit gain at every frequency, 180 degrees of phase shift at the centre
// frequency. Used for the manual phase rotation, by phase follow and by the analyses.
class AllPassFilter
{
public:
    AllPassFilter() = default;
    AllPassFilter (double rate, float centreHz, float q, bool enabled);

    // Stores the rate and clears the history; a rate <= 0 keeps the previous coefficients.
    void prepare (double rate);
    void setCenterFrequency (float hz);
    void setQ (float q);
    void setEnabled (bool shouldBeEnabled) noexcept { enabled = shouldBeEnabled; }
    void reset() noexcept { x1 = x2 = y1 = y2 = 0.0f; }

    float getCenterFrequency() const noexcept { return centreHz; }
    float getQ() const noexcept { return quality; }
    bool isEnabled() const noexcept { return enabled; }
    float getA1() const noexcept { return a1; }
    float getA2() const noexcept { return a2; }

    float processSample (float x) noexcept
    {
        if (! enabled)
            return x;
        const float y = a2 * x + a1 * x1 + x2 - a1 * y1 - a2 * y2;
        x2 = x1;
        x1 = x;
        y2 = y1;
        y1 = y;
        return y;
    }

    static constexpr float kMinFrequency = 20.0f, kMaxFrequency = 2000.0f;
    static constexpr float kMinQ = 0.1f, kMaxQ = 10.0f;

private:
    void updateCoefficients();

    double sampleRate = 0.0;
    float centreHz = 100.0f;
    float quality = 0.707f;
    bool enabled = false;
    float a1 = 0.0f, a2 = 0.0f;
    float x1 = 0.0f, x2 = 0.0f, y1 = 0.0f, y2 = 0.0f;
};
