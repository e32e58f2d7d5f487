#include "processor/AutoLevel.h"

#include <algorithm>
#include <cmath>

void AutoLevel::reset() noexcept
{
    kickPeak = bassPeak = 0.0f;
    count = 0;
    targetGain = appliedGain = 1.0f;
}

void AutoLevel::setUp (double rate, bool autoOn, float targetDb) noexcept
{
    smoothing = rate > 0.0 ? static_cast<float> (1.0 - std::exp (-1.0 / (0.05 * rate))) : 1.0f;
    on = autoOn;
    if (std::isfinite (targetDb))
        targetRatio = std::pow (10.0f, targetDb / 20.0f);
}

void AutoLevel::process (float k, float& left, float& right, float phase) noexcept
{
    kickPeak = std::max (kickPeak, std::abs (k));
    bassPeak = std::max ({ bassPeak, std::abs (left), std::abs (right) });
    const int c = count++;

    if (previousPhase > phase && c >= kMinPeriod)
    {
        if (kickPeak > 0.02f && bassPeak > 0.001f)
            targetGain = std::clamp (targetRatio * kickPeak / bassPeak, 0.5f, 2.0f);
        kickPeak = bassPeak = 0.0f;
        count = 0;
    }
    previousPhase = phase;

    appliedGain += ((on ? targetGain : 1.0f) - appliedGain) * smoothing;
    left *= appliedGain;
    right *= appliedGain;
}
