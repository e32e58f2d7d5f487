#include "processor/Latency.h"

#include <algorithm>
#include <cmath>

namespace lumetta::latency
{
int baseSamples (double rate) noexcept
{
    return static_cast<int> (0.02 * rate);
}

int lookaheadSamples (double rate, int maxBlock) noexcept
{
    if (! (rate > 0.0))
        return 0;
    const int block = std::clamp (maxBlock, 1, kMaxBlock);
    const double seconds = std::max (2.0 * block / rate + 0.208, 0.384);
    // The small tolerances keep exact step and sample boundaries (384 ms = 48 steps, 18432
    // samples at 48 kHz) from being pushed up by binary rounding.
    const double steps = std::ceil (seconds / 0.008 - 1.0e-9);
    return static_cast<int> (std::ceil (steps * 0.008 * rate - 1.0e-6));
}
} // namespace lumetta::latency
