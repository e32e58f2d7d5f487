#include "analysis/CorrelationKernels.h"
#include "analysis/DelaySearch.h"
#include "helpers/SignalVectors.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using lumetta::phasesearch::searchDelay;

namespace
{
// The search parameters the analysis uses at 48 kHz: ±10 ms, 1 ms coarse, 0.1 ms fine.
constexpr int kMaxLag = 480, kCoarse = 48, kFine = 4;

using signals::lowNoise;
using signals::whiteNoise;

// out[i] = Σ gain · in[i − delay] over the given taps, zero before the start.
std::vector<float> delayedSum (const std::vector<float>& in, std::initializer_list<std::pair<int, float>> taps)
{
    std::vector<float> out (in.size(), 0.0f);
    const auto n = static_cast<int> (in.size());
    for (const auto& [delay, gain] : taps)
        for (int i = std::max (0, delay); i < std::min (n, n + delay); ++i)
            out[static_cast<size_t> (i)] += gain * in[static_cast<size_t> (i - delay)];
    return out;
}
} // namespace

TEST (DelaySearch, FindsTheOffsetOfADelayedCopyOffTheCoarseGrid)
{
    const auto first = lowNoise (9600, 1);
    const int count = static_cast<int> (first.size());
    for (const int delay : { 100, -100, -8, 476 }) // multiples of the fine step only
    {
        const auto second = delayedSum (first, { { delay, 1.0f } });
        const auto r = searchDelay (first.data(), second.data(), count, false, kMaxLag, kCoarse, kFine);
        EXPECT_EQ (r.lag, delay);
        EXPECT_GT (r.score, 0.999f) << delay;
    }
}

TEST (DelaySearch, InvertedSecondSignalWithInvertSecondMatchesAtZero)
{
    const auto first = lowNoise (9600, 2);
    const auto second = delayedSum (first, { { 0, -1.0f } });
    const auto r = searchDelay (first.data(), second.data(), 9600, true, kMaxLag, kCoarse, kFine);
    EXPECT_EQ (r.lag, 0);
    EXPECT_GT (r.score, 0.999f);
    // Without the inversion the same pair is a perfect anti-match, which never wins.
    EXPECT_LT (searchDelay (first.data(), second.data(), 9600, false, kMaxLag, kCoarse, kFine).score, 0.5f);
}

// White noise correlates only with itself, so a second signal made of two delayed copies scores
// about gain / √(Σ gain²) at exactly those two offsets: near-ties can be set up precisely.
TEST (DelaySearch, NearEqualScoresPreferTheSmallerOffsetAcrossPasses)
{
    const auto first = whiteNoise (48000, 3);
    struct Case
    {
        int nearLag, farLag; // nearLag is the smaller |lag|
        float farGain;       // nearLag's gain is 1
        int expected;
    };
    const Case cases[] = {
        { 48, 52, 1.002f, 48 },   // coarse offset within 0.002 of a fine winner
        { 48, 52, 1.01f, 52 },    // 0.007 apart: the better one wins
        { 92, 96, 1.002f, 92 },   // fine offset within 0.002 of a coarse winner
        { -44, -48, 1.002f, -44 },
        { 0, 4, 1.002f, 0 },
    };
    for (const auto& c : cases)
    {
        const auto second = delayedSum (first, { { c.nearLag, 1.0f }, { c.farLag, c.farGain } });
        const auto r = searchDelay (first.data(), second.data(), 48000, false, kMaxLag, kCoarse, kFine);
        EXPECT_EQ (r.lag, c.expected) << c.nearLag << " vs " << c.farLag << " at gain " << c.farGain;
        EXPECT_NEAR (r.score, (c.expected == c.nearLag ? 1.0f : c.farGain) / std::hypot (1.0f, c.farGain), 0.02f);
    }
}

TEST (DelaySearch, TooLittleUsableSignalGivesZeroLagAndScore)
{
    const auto loud = lowNoise (4800, 4);
    std::vector<float> quiet (4800, 0.0009f);
    struct Case
    {
        const float* first;
        const float* second;
        int count;
    };
    for (const auto& c : { Case { loud.data(), loud.data(), 99 },     // 99 pairs at best
                           Case { quiet.data(), quiet.data(), 4800 }, // every pair quiet on both sides
                           Case { loud.data(), loud.data(), 0 } })
    {
        const auto r = searchDelay (c.first, c.second, c.count, false, 50, 5, 1);
        EXPECT_EQ (r.lag, 0);
        EXPECT_EQ (r.score, 0.0f);
    }
}

TEST (DelaySearch, StepsOfZeroOrOneBothSearchEverySample)
{
    const auto first = whiteNoise (4800, 5);
    const auto second = delayedSum (first, { { 7, 1.0f } });
    for (const int step : { 0, 1, -3 })
    {
        // White noise matches only at exactly 7, so only a one-sample grid finds it.
        const auto r = searchDelay (first.data(), second.data(), 4800, false, 20, step, step);
        EXPECT_EQ (r.lag, 7) << step;
        EXPECT_GT (r.score, 0.999f);
    }
}

TEST (DelaySearch, MaxLagZeroOrNegativeEvaluatesOnlyZero)
{
    const auto first = lowNoise (4800, 6);
    const auto second = delayedSum (first, { { 5, 1.0f } });
    const auto atZero = lumetta::phasesearch::searchKernels().correlate (first.data(), second.data(), 4800, 0);
    const auto expected = static_cast<float> (atZero.xy / std::sqrt (atZero.xx * atZero.yy));
    for (const int maxLag : { 0, -10 })
    {
        const auto r = searchDelay (first.data(), second.data(), 4800, false, maxLag, 48, 4);
        EXPECT_EQ (r.lag, 0);
        EXPECT_NEAR (r.score, expected, 1.0e-6f);
        EXPECT_LT (r.score, 0.999f); // the true offset 5 was not looked at
    }
}

TEST (DelaySearch, EveryKernelSetFindsTheSameOffset)
{
    const auto first = lowNoise (48000, 7);
    const auto second = delayedSum (first, { { -232, 0.8f }, { 40, 0.3f } });
    const auto expected = searchDelay (first.data(), second.data(), 48000, false, kMaxLag, kCoarse, kFine);
    EXPECT_EQ (expected.lag, -232);
    for (const auto* kernels : lumetta::phasesearch::supportedSearchKernels())
    {
        const auto r = searchDelay (first.data(), second.data(), 48000, false, kMaxLag, kCoarse, kFine, *kernels);
        EXPECT_EQ (r.lag, expected.lag) << kernels->name;
        EXPECT_NEAR (r.score, expected.score, 1.0e-6f) << kernels->name;
    }
}
