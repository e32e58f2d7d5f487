#pragma once

// AUTO level: once per cycle of the grid phase, compares the kick's peak with the ducked bass's
// peak and derives a make-up gain (0.5..2) that sits the bass a set level below the kick; the
// gain glides with a 50 ms time constant. The measurement runs whether AUTO is on or not.
class AutoLevel
{
public:
    void reset() noexcept;
    // Per block.
    void setUp (double rate, bool autoOn, float targetDb) noexcept;

    // Per sample, after the band duck and mono below: k the delayed kick, phase the grid phase.
    void process (float k, float& left, float& right, float phase) noexcept;

    float getTargetGain() const noexcept { return targetGain; }
    float getAppliedGain() const noexcept { return appliedGain; }

    static constexpr int kMinPeriod = 64;

private:
    float kickPeak = 0.0f, bassPeak = 0.0f;
    int count = 0;
    float previousPhase = 0.0f;
    float targetGain = 1.0f, appliedGain = 1.0f;
    float smoothing = 1.0f;
    bool on = false;
    float targetRatio = 1.0f; // 10^(target dB / 20)
};
