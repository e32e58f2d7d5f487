#include "analysis/CorrelationKernels.h"
#include "analysis/ManualAnalysisSearch.h"
#include "helpers/SignalVectors.h"
#include "processor/AllPassFilter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <optional>
#include <vector>

using namespace lumetta::phasesearch;

namespace
{
using signals::allPassed;
constexpr double kRate = 48000.0;
constexpr int kSecond = 48000;

using signals::lowNoise;
using signals::whiteNoise;

// Two hits a second, each a sine swept down from 150 to 50 Hz under a decaying envelope.
std::vector<float> kickLike (int count)
{
    std::vector<float> v (static_cast<size_t> (count));
    double phase = 0.0;
    for (int i = 0; i < count; ++i)
    {
        const int sinceHit = i % (kSecond / 2);
        if (sinceHit == 0)
            phase = 0.0;
        const double t = sinceHit / kRate;
        phase += 2.0 * std::numbers::pi * (50.0 + 100.0 * std::exp (-t / 0.03)) / kRate;
        v[static_cast<size_t> (i)] = static_cast<float> (0.8 * std::exp (-t / 0.15) * std::sin (phase));
    }
    return v;
}

// Four notes a second with a second harmonic.
std::vector<float> bassLine (int count)
{
    const double notes[] = { 55.0, 73.42, 65.41, 49.0 };
    std::vector<float> v (static_cast<size_t> (count));
    double phase = 0.0;
    for (int i = 0; i < count; ++i)
    {
        phase += 2.0 * std::numbers::pi * notes[(i / (kSecond / 4)) % 4] / kRate;
        v[static_cast<size_t> (i)] = static_cast<float> (0.4 * std::sin (phase) + 0.12 * std::sin (2.0 * phase + 0.5));
    }
    return v;
}

// in[i − delay] (zero outside) times gain.
std::vector<float> delayed (const std::vector<float>& in, int delay, float gain = 1.0f)
{
    const auto n = static_cast<int> (in.size());
    std::vector<float> out (in.size(), 0.0f);
    for (int i = std::max (0, delay); i < std::min (n, n + delay); ++i)
        out[static_cast<size_t> (i)] = gain * in[static_cast<size_t> (i - delay)];
    return out;
}

AnalysisContext postContext (float delayMs)
{
    AnalysisContext c;
    c.postMode = true;
    c.delayMs = delayMs;
    return c;
}

void expectSameProposal (const ManualAnalysisResult& a, const ManualAnalysisResult& b)
{
    EXPECT_EQ (a.hasResult, b.hasResult);
    EXPECT_EQ (a.postMode, b.postMode);
    EXPECT_EQ (a.flip, b.flip);
    EXPECT_EQ (a.delayMs, b.delayMs);
    EXPECT_EQ (a.baselinePercent, b.baselinePercent);
    EXPECT_EQ (a.bestPercent, b.bestPercent);
    EXPECT_EQ (a.allPassOn, b.allPassOn);
    EXPECT_EQ (a.allPassFreqHz, b.allPassFreqHz);
    EXPECT_EQ (a.allPassQ, b.allPassQ);
}
} // namespace

//==============================================================================
TEST (AnalysisScores, CorrelationPercentSpansInvertedToIdentical)
{
    const auto a = lowNoise (4800, 1), b = lowNoise (4800, 2);
    const auto late = delayed (a, 10);
    EXPECT_EQ (correlationPercent (a.data(), a.data(), 4800, 0, false), 100);
    EXPECT_EQ (correlationPercent (a.data(), a.data(), 4800, 0, true), 0);
    EXPECT_EQ (correlationPercent (a.data(), late.data(), 4800, 10, false), 100); // a[i] meets late[i + 10]
    EXPECT_NEAR (correlationPercent (a.data(), b.data(), 4800, 0, false), 50, 5);

    // Too little usable signal reads as unrelated, whatever the signals.
    const std::vector<float> quiet (4800, 0.0009f);
    EXPECT_EQ (correlationPercent (a.data(), a.data(), 99, 0, true), 50);
    EXPECT_EQ (correlationPercent (a.data(), a.data(), 4800, 4701, true), 50); // 99 overlapping pairs
    EXPECT_EQ (correlationPercent (quiet.data(), quiet.data(), 4800, 0, false), 50);
}

TEST (AnalysisScores, SignAgreementCountsOnlyPairsLoudOnBothSides)
{
    // Five loud pairs, four of them with equal signs; a pair at exactly 0.01 is not loud.
    const std::vector<float> bass { 0.5f, 0.5f, -0.5f, 0.005f, 0.5f, 0.01f, -0.3f };
    const std::vector<float> kick { 0.5f, -0.5f, -0.5f, 0.5f, 0.02f, 0.5f, -0.011f };
    EXPECT_EQ (signAgreementPercent (bass.data(), kick.data(), 7, 0, false), 80);
    EXPECT_EQ (signAgreementPercent (bass.data(), kick.data(), 7, 0, true), 20);
    // bass[i] against kick[i + 1]: four loud pairs, one with equal signs.
    EXPECT_EQ (signAgreementPercent (bass.data(), kick.data(), 7, 1, false), 25);
    EXPECT_EQ (signAgreementPercent (bass.data() + 3, kick.data() + 3, 1, 0, false), 50); // no loud pair

    // Shares are truncated: 2 of 3 is 66, 1 of 3 is 33, and 29 of 100 exactly 29.
    const std::vector<float> ones { 0.5f, 0.5f, 0.5f }, mixed { 0.5f, 0.5f, -0.5f };
    EXPECT_EQ (signAgreementPercent (ones.data(), mixed.data(), 3, 0, false), 66);
    EXPECT_EQ (signAgreementPercent (ones.data(), mixed.data(), 3, 0, true), 33);
    std::vector<float> hundred (100, 0.5f), agree29 (100, -0.5f);
    std::fill_n (agree29.begin(), 29, 0.5f);
    EXPECT_EQ (signAgreementPercent (hundred.data(), agree29.data(), 100, 0, false), 29);
}

//==============================================================================
TEST (AnalysisBandpass, KeepsTheLowEndAndRemovesDcAndTheHighs)
{
    auto amplitudeAfter = [] (double hz, float offset)
    {
        std::vector<float> s (kSecond);
        for (int i = 0; i < kSecond; ++i)
            s[static_cast<size_t> (i)] = offset + static_cast<float> (std::sin (2.0 * std::numbers::pi * hz * i / kRate));
        applyAnalysisBandpass (s, kSecond, kRate);
        float peak = 0.0f;
        for (int i = kSecond / 2; i < kSecond; ++i) // settled
            peak = std::max (peak, std::abs (s[static_cast<size_t> (i)]));
        return peak;
    };
    EXPECT_NEAR (amplitudeAfter (100.0, 0.0f), 1.0f, 0.03f);
    EXPECT_NEAR (amplitudeAfter (0.0, 1.0f), 0.0f, 1.0e-3f);
    EXPECT_LT (amplitudeAfter (10000.0, 0.0f), 0.05f);      // two octaves and more above 2 kHz
    EXPECT_NEAR (amplitudeAfter (100.0, 1.0f), 1.0f, 0.03f); // the offset goes, the tone stays
}

TEST (AnalysisBandpass, FiltersOnlyTheFirstCountSamples)
{
    std::vector<float> s (100, 1.0f);
    applyAnalysisBandpass (s, 50, kRate);
    EXPECT_NE (s[49], 1.0f);
    EXPECT_EQ (s[50], 1.0f);
    applyAnalysisBandpass (s, 1000, kRate); // more than the buffer holds
    EXPECT_NE (s[99], 1.0f);
}

//==============================================================================
TEST (AllPassSettling, RingDownTimesAndTheirLimits)
{
    struct Case
    {
        float freqHz, q;
        double rate;
        int expected;
    };
    const Case cases[] = {
        { 100.0f, 0.707f, 48000.0, 576 },   // rings down sooner than the 12 ms floor
        { 600.0f, 0.707f, 44100.0, 530 },   // frequency clamped to 500 Hz; floor ceil(529.2)
        { 20.0f, 0.61f, 48000.0, 2331 },    // e⁻⁵ outside 0.4..0.6
        { 20.0f, 0.6f, 48000.0, 3667 },     // e⁻⁸ inside
        { 20.0f, 0.5f, 48000.0, 3313 },     // critically damped: real poles
        { 20.0f, 0.4f, 48000.0, 6156 },
        { 20.0f, 0.39f, 48000.0, 3963 },
        { 20.0f, 20.0f, 48000.0, 19100 },   // Q clamped to 5
        { 10.0f, 0.3f, 96000.0, 11319 },    // frequency clamped to 20 Hz
    };
    for (const auto& c : cases)
        EXPECT_EQ (allPassSettlingSamples (c.freqHz, c.q, c.rate), c.expected) << c.freqHz << " Hz, Q " << c.q << " at " << c.rate;
}

TEST (AllPassSettling, UnusableInputNeverSettles)
{
    constexpr int never = 536870911;
    EXPECT_EQ (allPassSettlingSamples (std::nanf (""), 0.707f, 48000.0), never);
    EXPECT_EQ (allPassSettlingSamples (100.0f, INFINITY, 48000.0), never);
    for (const double rate : { 0.0, -48000.0, 768001.0, static_cast<double> (NAN), static_cast<double> (INFINITY) })
        EXPECT_EQ (allPassSettlingSamples (100.0f, 0.707f, rate), never) << rate;
    EXPECT_LT (allPassSettlingSamples (100.0f, 0.707f, 768000.0), never);
}

//==============================================================================
TEST (PreModeDecision, ADelayMustBeatEveryZeroDelayCandidateByMoreThanFivePoints)
{
    struct Case
    {
        PreModeScores s;
        PreModeChoice expected;
    };
    auto scores = [] (int p0, int f0, int ap0, int af0, int dn, int df, int apd, bool improved, std::optional<int> dd)
    { return PreModeScores { p0, f0, ap0, af0, dn, df, apd, improved, dd }; };
    using enum ProposedAllPass;
    const Case cases[] = {
        { scores (60, 40, 62, 45, 67, 50, 67, false, {}), { false, false, AtZero, 62 } },   // exactly 5 better: no delay
        { scores (60, 40, 62, 45, 68, 50, 68, false, {}), { true, false, None, 68 } },      // 6 better: plain delay
        { scores (60, 40, 62, 45, 50, 68, 68, false, {}), { true, true, None, 68 } },       // the inverted lag
        { scores (60, 40, 62, 45, 66, 50, 70, true, {}), { true, false, AtDelay, 70 } },    // the all-pass at the lag
        { scores (60, 40, 62, 45, 66, 50, 66, false, 75), { true, false, None, 66 } },      // a second stage argues for the delay
        { scores (60, 40, 62, 45, 60, 50, 64, true, 75), { true, false, AtDelay, 64 } },    // ... and only the first stage is proposed
        { scores (60, 40, 62, 45, 60, 50, 62, false, 67), { false, false, AtZero, 62 } },   // exactly 5 better again
        { scores (50, 55, 56, 58, 50, 50, 50, false, {}), { false, true, AtZeroFlipped, 58 } },
        { scores (50, 55, 56, 56, 50, 50, 50, false, {}), { false, false, AtZero, 56 } },   // ties keep the all-pass without flip
        { scores (50, 55, 55, 55, 50, 50, 50, false, {}), { false, true, None, 55 } },
        { scores (55, 55, 55, 55, 50, 50, 50, false, {}), { false, false, None, 55 } },
    };
    for (const auto& c : cases)
    {
        const auto got = decidePreMode (c.s);
        const auto where = ::testing::Message() << "P0 " << c.s.p0 << " Dn " << c.s.dn << " Df " << c.s.df << " APD " << c.s.apd;
        EXPECT_EQ (got.useDelay, c.expected.useDelay) << where;
        EXPECT_EQ (got.flip, c.expected.flip) << where;
        EXPECT_EQ (got.allPass, c.expected.allPass) << where;
        EXPECT_EQ (got.bestPercent, c.expected.bestPercent) << where;
    }
}

TEST (PostModeLag, NonZeroLagsMustBeatTheBestSoFarByMoreThanFivePoints)
{
    struct Case
    {
        std::vector<LagScores> lags;
        int lag;
        bool flip;
        int best;
    };
    const Case cases[] = {
        { { { -8, 65, 10 }, { 0, 60, 40 } }, 0, false, 60 },            // 5 above the baseline is not enough
        { { { -8, 66, 10 }, { 0, 60, 40 } }, -8, false, 66 },
        { { { 0, 60, 61 } }, 0, true, 61 },                            // at lag 0 any gain counts
        { { { -4, 70, 76 } }, -4, true, 76 },                          // the opposite score must beat the updated best
        { { { -4, 70, 75 } }, -4, false, 70 },
        { { { -4, 70, 10 }, { 4, 75, 10 }, { 8, 76, 10 } }, 8, false, 76 }, // the best so far, not the baseline
    };
    for (const auto& c : cases)
    {
        const auto got = choosePostModeLag (60, c.lags);
        EXPECT_EQ (got.lag, c.lag);
        EXPECT_EQ (got.flip, c.flip);
        EXPECT_EQ (got.bestPercent, c.best);
    }
}

//==============================================================================
TEST (PreModeSearch, IdenticalBassAndKickNeedNoAdjustment)
{
    const auto kick = lowNoise (kSecond, 10);
    const auto r = analyzeCapture (kick, kick, kRate, {});
    ASSERT_TRUE (r.hasResult);
    EXPECT_FALSE (r.postMode);
    EXPECT_EQ (r.baselinePercent, 100);
    EXPECT_LE (r.bestPercent, r.baselinePercent + 3);
    EXPECT_FALSE (r.flip);
    EXPECT_FALSE (r.allPassOn);
    EXPECT_EQ (r.delayMs, 0.0f);
}

TEST (PreModeSearch, InvertedBassIsFixedByTheFlipAlone)
{
    for (const auto& kick : { lowNoise (kSecond, 11), kickLike (kSecond) })
    {
        const auto r = analyzeCapture (delayed (kick, 0, -1.0f), kick, kRate, {});
        ASSERT_TRUE (r.hasResult);
        EXPECT_TRUE (r.flip);
        EXPECT_FALSE (r.allPassOn);
        EXPECT_EQ (r.delayMs, 0.0f);
        EXPECT_EQ (r.baselinePercent, 0);
        EXPECT_EQ (r.bestPercent, 100);
    }
}

TEST (PreModeSearch, ALateBassIsMovedEarlier)
{
    const auto kick = lowNoise (kSecond, 12);
    struct Case
    {
        int lateSamples;
        float gain, expectedMs;
    };
    for (const auto& c : { Case { 144, 1.0f, -3.0f }, Case { 96, -1.0f, -2.0f }, Case { -240, 1.0f, 5.0f } })
    {
        const auto r = analyzeCapture (delayed (kick, c.lateSamples, c.gain), kick, kRate, {});
        ASSERT_TRUE (r.hasResult);
        EXPECT_EQ (r.delayMs, c.expectedMs);
        EXPECT_EQ (r.flip, c.gain < 0.0f);
        EXPECT_GE (r.bestPercent, 99);
        EXPECT_LT (r.baselinePercent, 80);
    }
}

TEST (PreModeSearch, AKickRotatedByAGridAllPassIsMatchedByThatAllPass)
{
    const auto bass = lowNoise (kSecond, 13);
    for (const bool inverted : { false, true })
    {
        const auto kick = delayed (allPassed (bass, 120.0f, 1.0f), 0, inverted ? -1.0f : 1.0f);
        const auto r = analyzeCapture (bass, kick, kRate, {});
        ASSERT_TRUE (r.hasResult);
        EXPECT_TRUE (r.allPassOn);
        EXPECT_EQ (r.allPassFreqHz, 120.0f);
        EXPECT_EQ (r.allPassQ, 1.0f);
        EXPECT_EQ (r.flip, inverted);
        EXPECT_EQ (r.delayMs, 0.0f);
        EXPECT_EQ (r.bestPercent, 100);
    }
}

//==============================================================================
TEST (PostModeSearch, AdjustsDelayAndPolarityAroundTheCurrentSettings)
{
    const auto kick = lowNoise (kSecond, 14);
    auto context = postContext (8.0f);
    context.flip = true;
    context.allPassOn = true;
    context.allPassFreqHz = 250.0f;
    context.allPassQ = 1.5f;

    struct Case
    {
        int lateSamples;
        float gain;
        bool flip;
        float delayMs;
    };
    // The searched lags run from -864 (−10 ms in total) to +96 (+10 ms) in steps of 4. Walking up
    // from -864, the first lag near a match that clears the baseline by more than 5 points is
    // kept unless a later one beats it by more than 5 again: a lag just before the exact match
    // may win, so delays are checked to within 4 samples.
    for (const auto& c : { Case { 0, -1.0f, false, 8.0f }, Case { 480, 1.0f, true, -2.0f }, Case { -96, 1.0f, true, 10.0f },
                           Case { 864, -1.0f, false, -10.0f } })
    {
        const auto r = analyzeCapture (delayed (kick, c.lateSamples, c.gain), kick, kRate, context);
        ASSERT_TRUE (r.hasResult);
        EXPECT_TRUE (r.postMode);
        EXPECT_EQ (r.flip, c.flip) << c.lateSamples;
        EXPECT_NEAR (r.delayMs, c.delayMs, 4.0f / 48.0f + 1.0e-4f) << c.lateSamples;
        EXPECT_GE (r.bestPercent, 95) << c.lateSamples;
        EXPECT_LT (r.baselinePercent, c.lateSamples == 0 ? 1 : 80);
        // The all-pass in effect is kept.
        EXPECT_TRUE (r.allPassOn);
        EXPECT_EQ (r.allPassFreqHz, 250.0f);
        EXPECT_EQ (r.allPassQ, 1.5f);
    }
}

TEST (PostModeSearch, NeverLooksBeyondTenMillisecondsInTotal)
{
    const auto kick = lowNoise (kSecond, 15);
    // Matches at 12 ms and at −11 ms in total lie outside the search.
    for (const int late : { -192, 912 })
    {
        const auto r = analyzeCapture (delayed (kick, late), kick, kRate, postContext (8.0f));
        ASSERT_TRUE (r.hasResult);
        EXPECT_LT (r.bestPercent, 95) << late;
        EXPECT_GE (r.delayMs, -10.0f);
        EXPECT_LE (r.delayMs, 10.0f);
    }
}

TEST (PostModeSearch, StaysAtTheCurrentDelayWithoutAClearGain)
{
    // Two unrelated signals: no lag agrees clearly better than the current one.
    const auto r = analyzeCapture (whiteNoise (kSecond, 16), whiteNoise (kSecond, 17), kRate, postContext (-3.5f));
    ASSERT_TRUE (r.hasResult);
    EXPECT_EQ (r.delayMs, -3.5f);
    EXPECT_FALSE (r.flip);
    EXPECT_LE (r.bestPercent, r.baselinePercent + 5);
}

//==============================================================================
TEST (ManualAnalysis, SilentOrUnusableCapturesGiveNoResult)
{
    const auto loud = lowNoise (kSecond, 18);
    const std::vector<float> silent (kSecond, 0.0f), faint (kSecond, 0.0009f);
    const ManualAnalysisResult defaults;
    struct Case
    {
        const std::vector<float>& bass;
        const std::vector<float>& kick;
        double rate;
    };
    const std::vector<float> none;
    for (const auto& c : { Case { loud, silent, kRate }, Case { faint, loud, kRate }, Case { none, none, kRate },
                           Case { loud, loud, 0.0 }, Case { loud, loud, static_cast<double> (NAN) }, Case { loud, loud, 1.0e12 } })
    {
        const auto r = analyzeCapture (c.bass, c.kick, c.rate, {});
        EXPECT_FALSE (r.hasResult);
        EXPECT_EQ (r.baselinePercent, defaults.baselinePercent);
        EXPECT_EQ (r.bestPercent, defaults.bestPercent);
        EXPECT_EQ (r.before.state, defaults.before.state);
        EXPECT_EQ (r.after.percent, defaults.after.percent);
    }
}

TEST (ManualAnalysis, NonFiniteSamplesCountAsSilence)
{
    const auto kick = lowNoise (kSecond, 19);
    auto bass = delayed (kick, 0, -1.0f);
    auto zeroed = bass;
    for (const int i : { 100, 20000, 47999 })
    {
        bass[static_cast<size_t> (i)] = i == 20000 ? INFINITY : NAN;
        zeroed[static_cast<size_t> (i)] = 0.0f;
    }
    const auto r = analyzeCapture (bass, kick, kRate, {});
    EXPECT_TRUE (r.hasResult);
    EXPECT_TRUE (r.flip);
    expectSameProposal (r, analyzeCapture (zeroed, kick, kRate, {}));
}

TEST (ManualAnalysis, PredictionsShowTheProposalImprovingTheLowEnd)
{
    const auto kick = kickLike (kSecond);
    struct Case
    {
        std::vector<float> bass;
        AnalysisContext context;
    };
    const Case cases[] = {
        { delayed (kick, 0, -1.0f), {} },
        { delayed (kick, 96, -1.0f), {} },
        { delayed (kick, 0, -1.0f), postContext (2.0f) },
        { delayed (kick, 192), postContext (0.0f) },
    };
    for (const auto& c : cases)
    {
        const auto r = analyzeCapture (c.bass, kick, kRate, c.context);
        ASSERT_TRUE (r.hasResult);
        EXPECT_GT (r.after.percent, r.before.percent) << (c.context.postMode ? "post" : "pre") << ", " << r.delayMs << " ms";
        EXPECT_GT (r.after.percent, 90.0f);
    }
}

//==============================================================================
// The all-pass bank must run each lane exactly as the alignment stage's own filter runs, so the
// reference here is AllPassFilter followed by a plain sequential sum.
TEST (SearchKernels, AllPassBankMatchesTheAlignmentFilterExactly)
{
    // Quiet stretches, tiny values and a loud part, so that pairs are skipped on either side.
    auto x = lowNoise (3001, 20), y = lowNoise (3001, 21);
    for (size_t i = 500; i < 900; ++i)
        x[i] *= 0.001f;
    for (size_t i = 700; i < 1500; ++i)
        y[i] = 0.0f;
    const int count = static_cast<int> (x.size());

    std::vector<AllPassCoefficients> bank;
    std::vector<std::pair<float, float>> settings;
    for (int k = 0; k < 37; ++k) // not a multiple of any vector width
    {
        settings.emplace_back (30.0f + 47.0f * static_cast<float> (k), allPassQValues[static_cast<size_t> (k % 4)]);
        bank.push_back (allPassCoefficients (settings.back().first, settings.back().second, kRate));
    }

    for (const auto* kernels : supportedSearchKernels())
        for (const int lag : { 0, 17, -333, 2999, -3001, 5000 })
        {
            std::vector<CorrelationSums> sums (bank.size());
            kernels->correlateAllPassed (x.data(), y.data(), count, lag, bank.data(), static_cast<int> (bank.size()), sums.data());
            for (size_t k = 0; k < bank.size(); ++k)
            {
                const auto filtered = allPassed (x, settings[k].first, settings[k].second);
                CorrelationSums expected;
                for (int i = std::max (0, -lag); i < std::min (count, count - lag); ++i)
                {
                    const float a = filtered[static_cast<size_t> (i)], b = y[static_cast<size_t> (i + lag)];
                    if (std::abs (a) < 0.001f && std::abs (b) < 0.001f)
                        continue;
                    ++expected.pairs;
                    expected.xy += static_cast<double> (a) * b;
                    expected.xx += static_cast<double> (a) * a;
                    expected.yy += static_cast<double> (b) * b;
                }
                ASSERT_EQ (sums[k].pairs, expected.pairs) << kernels->name << ", lag " << lag << ", filter " << k;
                ASSERT_EQ (sums[k].xy, expected.xy) << kernels->name << ", lag " << lag << ", filter " << k;
                ASSERT_EQ (sums[k].xx, expected.xx) << kernels->name << ", lag " << lag << ", filter " << k;
                ASSERT_EQ (sums[k].yy, expected.yy) << kernels->name << ", lag " << lag << ", filter " << k;
            }
        }
}

TEST (SearchKernels, EverySetCountsTheSamePairsAndSigns)
{
    auto x = lowNoise (1003, 22), y = lowNoise (1003, 23);
    for (size_t i = 200; i < 400; ++i)
        x[i] *= 0.0005f;
    const auto& reference = *supportedSearchKernels().front();
    for (const auto* kernels : supportedSearchKernels())
        for (const int lag : { 0, 1, -15, 1002, -1003, 70000 })
        {
            const auto a = kernels->correlate (x.data(), y.data(), 1003, lag), b = reference.correlate (x.data(), y.data(), 1003, lag);
            EXPECT_EQ (a.pairs, b.pairs) << kernels->name << ", lag " << lag;
            EXPECT_NEAR (a.xy, b.xy, 1.0e-12 * std::max (1.0, b.xx + b.yy));
            EXPECT_NEAR (a.xx, b.xx, 1.0e-12 * std::max (1.0, b.xx));
            EXPECT_NEAR (a.yy, b.yy, 1.0e-12 * std::max (1.0, b.yy));
            const auto s = kernels->countSigns (x.data(), y.data(), 1003, lag), t = reference.countSigns (x.data(), y.data(), 1003, lag);
            EXPECT_EQ (s.pairs, t.pairs) << kernels->name << ", lag " << lag;
            EXPECT_EQ (s.sameSign, t.sameSign) << kernels->name << ", lag " << lag;
        }
}

TEST (SearchKernels, FastKernelsProposeWhatThePlainLoopsPropose)
{
    const auto kick = kickLike (kSecond), bass = bassLine (kSecond);
    const auto& plain = *supportedSearchKernels().front();
    struct Case
    {
        std::vector<float> bass;
        AnalysisContext context;
    };
    const Case cases[] = {
        { bass, {} },                               // unrelated: every stage runs, the second all-pass included
        { delayed (allPassed (kick, 90.0f, 0.5f), 60, -1.0f), {} },
        { bass, postContext (1.3f) },
    };
    for (const auto& c : cases)
        expectSameProposal (analyzeCapture (c.bass, kick, kRate, c.context), analyzeCapture (c.bass, kick, kRate, c.context, plain));
}
