#include "analysis/PhaseFollowSettings.h"

#include <functional>

bool PhaseFollowSettings::operator== (const PhaseFollowSettings& other) const noexcept
{
    const std::equal_to<float> same;
    return same (delayMs, other.delayMs) && same (allPassFreqHz, other.allPassFreqHz) && same (allPassQ, other.allPassQ)
           && flip == other.flip && allPassOn == other.allPassOn;
}
