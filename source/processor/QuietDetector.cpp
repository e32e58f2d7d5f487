#include "processor/QuietDetector.h"

#include <algorithm>

void QuietDetector::prepare (int requiredSamples) noexcept
{
    required = std::max (1, requiredSamples);
    // A freshly prepared processor has nothing in its delay line.
    quietRun = silentRun = required;
}
