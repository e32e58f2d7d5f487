#pragma once

#include <cmath>
#include <limits>

namespace lumetta
{
// Host input as it may enter state that outlives the sample (delay lines, filter histories).
// NaN and infinity become silence, denormals become zero, and absurd magnitudes are limited so
// that no recursive filter downstream can overflow. 10^6 is 120 dB above full scale: no real
// signal comes near it.
// Written as selects rather than branches, so that loops over it vectorise.
inline float safeSample (float x) noexcept
{
    constexpr float kLimit = 1.0e6f;
    const float a = std::abs (x);
    const float limited = a > kLimit && a <= std::numeric_limits<float>::max() ? std::copysign (kLimit, x) : 0.0f;
    // NaN fails both comparisons and becomes silence.
    return a >= std::numeric_limits<float>::min() && a <= kLimit ? x : limited;
}
} // namespace lumetta
