#pragma once

#include <cstdint>

namespace lumetta::phasesearch
{
struct SearchKernels;

struct DelayResult
{
    std::int32_t lag = 0; // sample i of the first signal meets sample i + lag of the second
    float score = 0.0f;   // normalised correlation, 0 with too little usable signal
};

// The offset in [-maxLag, maxLag] at which `second` (negated with invertSecond) best matches
// `first` by normalised cross-correlation: a coarse grid, a fine search around its winner, then
// the offset nearest zero among those within 0.002 of the best score. Steps below 2 mean 1.
DelayResult searchDelay (const float* first, const float* second, int count, bool invertSecond, int maxLag,
                         int coarseStep, int fineStep);

// The same on the given kernel set instead of the fastest one.
DelayResult searchDelay (const float* first, const float* second, int count, bool invertSecond, int maxLag,
                         int coarseStep, int fineStep, const SearchKernels& kernels);
} // namespace lumetta::phasesearch
