#include "processor/SidechainMonitor.h"

#include <cmath>

void SidechainMonitor::endBlock (bool present, bool sawSignal, double sumOfSquares, int numSamples, double rate) noexcept
{
    if (present && sawSignal)
        secondsSinceSignal = 0.0;
    else if (rate > 0.0)
        secondsSinceSignal += numSamples / rate;
    active = present && secondsSinceSignal < kHoldSeconds;

    if (numSamples > 0)
        level = static_cast<float> (0.1 * std::sqrt (sumOfSquares / numSamples) + 0.9 * level);
}
