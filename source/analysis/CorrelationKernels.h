#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

// The inner loops of the ANALYZE search: every candidate it scores is one pass over the capture,
// so these passes are all the search costs. One set per instruction level; each set gives the
// same answers (the all-pass bank bit for bit, the plain correlation up to the order of its
// double-precision sums).
namespace lumetta::phasesearch
{
// Pairs (x[i], y[i + lag]) with 0 <= i + lag < count, skipping pairs where both magnitudes are
// below kQuietPairLevel: silence on both sides says nothing about their relation.
struct CorrelationSums
{
    std::int64_t pairs = 0;
    double xy = 0.0, xx = 0.0, yy = 0.0;

    // Σxy / √(Σx²·Σy²), negated for an inverted y; nothing with fewer than 100 pairs, too little
    // energy on either side, or non-finite input.
    std::optional<double> correlation (bool invert) const noexcept
    {
        if (pairs < 100 || xx < 0.0001 || yy < 0.0001)
            return std::nullopt;
        const double norm = std::sqrt (xx * yy);
        if (norm < 0.0001)
            return std::nullopt;
        const double r = (invert ? -xy : xy) / norm;
        return std::isfinite (r) ? std::optional<double> (r) : std::nullopt;
    }
};

// Pairs (x[i], y[i + lag]) where both magnitudes exceed kSignLevel, and how many share a sign.
struct SignCounts
{
    std::int64_t pairs = 0, sameSign = 0;
};

// Second-order all-pass (a2 + a1·z⁻¹ + z⁻²) / (1 + a1·z⁻¹ + a2·z⁻²), run in single precision
// exactly as AllPassFilter runs it, so a proposal sounds as it was scored.
struct AllPassCoefficients
{
    float a1 = 0.0f, a2 = 0.0f;
};

// Computed in double precision, stored as float.
AllPassCoefficients allPassCoefficients (float freqHz, float q, double sampleRate) noexcept;

// One filter from rest over count samples; in and out may be the same buffer.
void applyAllPass (const float* in, float* out, int count, AllPassCoefficients c) noexcept;

inline constexpr float kQuietPairLevel = 0.001f;
inline constexpr float kSignLevel = 0.01f;

struct SearchKernels
{
    const char* name;

    CorrelationSums (*correlate) (const float* x, const float* y, int count, int lag) noexcept;

    // correlate() for x passed through each of the filters from rest, all filters in one pass
    // over x: one filter's recursion cannot run in parallel in time, but many filters over the
    // same input can run side by side. sums receives one entry per filter.
    void (*correlateAllPassed) (const float* x, const float* y, int count, int lag,
                                const AllPassCoefficients* filters, int numFilters, CorrelationSums* sums) noexcept;

    SignCounts (*countSigns) (const float* x, const float* y, int count, int lag) noexcept;
};

// The fastest set this CPU runs, chosen once at load time.
const SearchKernels& searchKernels() noexcept;

// Every set this CPU runs, the plain scalar loops first.
std::vector<const SearchKernels*> supportedSearchKernels();
} // namespace lumetta::phasesearch
