#pragma once

#include <cmath>
#include <limits>

namespace lumetta
{
// Host input as it may enter state that outlives the sample (delay lines, filter histories).
// NaN and infinity become silence, denormals become zero, and absurd magnitudes are limited so
// that no recursive filter downstream can overflow. 10^6 is 120 dB above full scale: no real
// signal comes near it.
inline float safeSample (float x) noexcept
{
    constexpr float kLimit = 1.0e6f;
    if (! std::isfinite (x) || std::abs (x) < std::numeric_limits<float>::min())
        return 0.0f;
    return x > kLimit ? kLimit : (x < -kLimit ? -kLimit : x);
}
} // namespace lumetta
