#include "analysis/ManualAnalysisSearch.h"
#include "analysis/PhaseFollowAnalyzer.h"
#include "helpers/RealtimeGuard.h"
#include "helpers/SignalVectors.h"
#include "processor/AllPassFilter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

namespace
{
using signals::scaled;
using signals::allPassed;
constexpr double kRate = 48000.0;
constexpr int kWindow = 4608; // 96 ms at 48 kHz
constexpr std::uint64_t kCaptureEnd = 1'000'000;

using Capture = PhaseFollowAnalyzer::Capture;
using signals::lowNoise;

// What the processor would have been playing under the settings: inverted with flip, then
// through their all-pass from rest.
std::vector<float> rendered (const std::vector<float>& bass, const PhaseFollowSettings& s)
{
    auto out = scaled (bass, s.flip ? -1.0f : 1.0f);
    return s.allPassOn ? allPassed (out, s.allPassFreqHz, s.allPassQ) : out;
}

// A whole window ending at kCaptureEnd whose rendering has been settled from its first sample.
Capture captureOf (const std::vector<float>& bass, const std::vector<float>& kick, const PhaseFollowSettings& settings = {})
{
    Capture c;
    c.bass = bass;
    c.kick = kick;
    c.renderedBass = rendered (bass, settings);
    c.settingsInEffect = settings;
    c.count = static_cast<int> (bass.size());
    c.captureEnd = kCaptureEnd;
    c.settledFrom = kCaptureEnd - static_cast<std::uint64_t> (c.count);
    return c;
}

PhaseFollowResult analyze (const Capture& c)
{
    return PhaseFollowAnalyzer::analyze (c, kRate);
}
} // namespace

//==============================================================================
TEST (PhaseFollowSettings, DifferWhenAnyFieldDiffersAndWheneverAFloatIsNaN)
{
    const PhaseFollowSettings base { 1.5f, 120.0f, 0.9f, true, true };
    EXPECT_FALSE (base != base);

    for (const auto field : { &PhaseFollowSettings::delayMs, &PhaseFollowSettings::allPassFreqHz, &PhaseFollowSettings::allPassQ })
    {
        auto nudged = base;
        nudged.*field = std::nextafter (base.*field, 1000.0f);
        EXPECT_TRUE (base != nudged);

        auto withNaN = base;
        withNaN.*field = std::numeric_limits<float>::quiet_NaN();
        EXPECT_TRUE (withNaN != withNaN);
    }
    for (const auto field : { &PhaseFollowSettings::flip, &PhaseFollowSettings::allPassOn })
    {
        auto other = base;
        other.*field = false;
        EXPECT_TRUE (base != other);
    }
}

//==============================================================================
TEST (PhaseFollowAnalyzerSizing, WindowIs96msAndHop48msAtAnyUsableRate)
{
    struct Case
    {
        double rate, expectedRate;
        int capacity, hop;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (const auto& c : { Case { 48000.0, 48000.0, 4608, 2304 }, Case { 44100.0, 44100.0, 4234, 2117 },
                           Case { 8000.0, 8000.0, 768, 384 }, Case { 768000.0, 768000.0, 73728, 36864 },
                           Case { 7999.0, 44100.0, 4234, 2117 }, Case { 768001.0, 44100.0, 4234, 2117 },
                           Case { 0.0, 44100.0, 4234, 2117 }, Case { nan, 44100.0, 4234, 2117 } })
    {
        PhaseFollowAnalyzer a;
        a.prepare (c.rate, PhaseFollowAnalyzer::Analysis::OnlyWhenDrained);
        EXPECT_EQ (a.getSampleRate(), c.expectedRate) << c.rate;
        EXPECT_EQ (a.getCapacity(), c.capacity) << c.rate;
        EXPECT_EQ (a.getHop(), c.hop) << c.rate;
    }
}

TEST (PhaseFollowAnalyzerRing, ACaptureIsDueWhenTheWindowFirstFillsThenEveryHop)
{
    PhaseFollowAnalyzer a;
    a.prepare (kRate, PhaseFollowAnalyzer::Analysis::OnlyWhenDrained);
    const auto dueAfter = [&a] (int samples)
    {
        std::vector<int> due;
        for (int i = 1; i <= samples; ++i)
            if (a.write (0.1f, 0.1f, 0.1f))
                due.push_back (i);
        return due;
    };
    EXPECT_EQ (dueAfter (kWindow + 2 * 2304 + 100), (std::vector<int> { kWindow, kWindow + 2304, kWindow + 2 * 2304 }));

    // After a reset the window has to fill again; the hop counts from there.
    dueAfter (1000);
    a.resetRing();
    EXPECT_EQ (dueAfter (kWindow + 2304), (std::vector<int> { kWindow, kWindow + 2304 }));
}

//==============================================================================
// A plain polarity that fits exactly leaves nothing for an all-pass to beat: a rotation must
// score strictly higher.
TEST (PhaseFollowAnalysis, AnInvertedBassIsFixedByTheFlipAloneAndAnAlignedOneByNothing)
{
    const auto kick = lowNoise (kWindow, 1);
    for (const float gain : { -0.8f, 0.8f })
    {
        const auto r = analyze (captureOf (scaled (kick, gain), kick));
        ASSERT_TRUE (r.valid) << gain;
        EXPECT_EQ (r.flip, gain < 0.0f) << gain;
        EXPECT_FALSE (r.allPassOn) << gain;
        EXPECT_EQ (r.scoreNoFlip, gain < 0.0f ? 0 : 100) << gain;
        EXPECT_EQ (r.scoreFlip, gain < 0.0f ? 100 : 0) << gain;
        EXPECT_EQ (r.bestScore, 100) << gain;
        EXPECT_FLOAT_EQ (r.confidence, 1.0f) << gain;
        EXPECT_EQ (r.allPassFreqHz, 100.0f) << gain;
        EXPECT_EQ (r.allPassQ, 0.707f) << gain;
    }
}

// The kick arrives rotated, and maybe inverted; the bass needs the same. 90 Hz is on the grid,
// 45 Hz only on the 3 Hz steps of a refinement around the grid's 50 Hz: the one around the best
// without flip, or the one around the best with it.
TEST (PhaseFollowAnalysis, ARotatedKickIsMatchedByTheSameAllPass)
{
    const auto bass = lowNoise (kWindow, 2);
    for (const float hz : { 90.0f, 45.0f })
    {
        for (const bool inverted : { false, true })
        {
            const auto r = analyze (captureOf (bass, scaled (allPassed (bass, hz, 0.707f), inverted ? -1.0f : 1.0f)));
            ASSERT_TRUE (r.valid) << hz;
            EXPECT_TRUE (r.allPassOn) << hz << (inverted ? " inverted" : "");
            EXPECT_EQ (r.flip, inverted) << hz << (inverted ? " inverted" : "");
            EXPECT_NEAR (r.allPassFreqHz, hz, 3.0f) << (inverted ? " inverted" : "");
            EXPECT_EQ (r.allPassQ, 0.707f) << hz << (inverted ? " inverted" : "");
            EXPECT_GE (r.bestScore, 99) << hz << (inverted ? " inverted" : "");
        }
    }
}

// Over a whole second the rotation that produced the kick is found; in a 96 ms window it would
// still be ringing with less than 50 ms (2400 samples) left, so it is not even tried there.
TEST (PhaseFollowAnalysis, ARotationStillRingingThroughTheWindowIsNeverProposed)
{
    const auto settledSamples = [] (const PhaseFollowResult& r, int count)
    { return count - (r.allPassOn ? lumetta::phasesearch::allPassSettlingSamples (r.allPassFreqHz, r.allPassQ, kRate) : 0); };
    const auto bass = lowNoise (48000, 3);
    const auto kick = allPassed (bass, 30.0f, 1.5f);

    const auto second = analyze (captureOf (bass, kick));
    EXPECT_TRUE (second.allPassOn);
    EXPECT_EQ (second.allPassFreqHz, 30.0f);
    EXPECT_LT (settledSamples (second, kWindow), 2400);

    const std::vector<float> bassWindow (bass.begin(), bass.begin() + kWindow), kickWindow (kick.begin(), kick.begin() + kWindow);
    const auto window = analyze (captureOf (bassWindow, kickWindow));
    ASSERT_TRUE (window.valid);
    EXPECT_GE (settledSamples (window, kWindow), 2400);
}

// Each score is the correlation percent of the band-passed, delayed bass (through the proposed
// all-pass, run from the first sample) against the band-passed kick, over the scoring window only.
TEST (PhaseFollowAnalysis, ScoresAreCorrelationPercentsOverTheScoringWindow)
{
    const auto bass = lowNoise (kWindow, 20), other = lowNoise (kWindow, 21);
    for (const float delayMs : { 0.0f, 3.0f, -4.0f })
    {
        // The kick: the delayed bass rotated at 150 Hz, Q 1, under unrelated noise; before the
        // scoring window, loudly inverted, which must not count.
        const int d = static_cast<int> (kRate * delayMs / 1000.0f);
        const int start = std::max (d, 0) + 576, n = kWindow - start - std::max (-d, 0);
        std::vector<float> aligned (kWindow, 0.0f);
        for (int j = std::max (d, 0); j < std::min (kWindow, kWindow + d); ++j)
            aligned[static_cast<size_t> (j)] = bass[static_cast<size_t> (j - d)];
        auto kick = allPassed (aligned, 150.0f, 1.0f);
        for (size_t i = 0; i < kick.size(); ++i)
            kick[i] = (static_cast<int> (i) < start ? -2.0f : 0.5f) * kick[i] + 0.4f * other[i];

        PhaseFollowSettings settings;
        settings.delayMs = delayMs;
        const auto r = analyze (captureOf (bass, kick, settings));
        ASSERT_TRUE (r.valid && r.allPassOn) << delayMs;
        ASSERT_EQ (r.delaySamples, d);

        auto kickBand = kick;
        lumetta::phasesearch::applyAnalysisBandpass (aligned, kWindow, kRate);
        lumetta::phasesearch::applyAnalysisBandpass (kickBand, kWindow, kRate);
        const auto score = [&] (const std::vector<float>& x, bool invert)
        { return lumetta::phasesearch::correlationPercent (x.data() + start, kickBand.data() + start, n, 0, invert); };

        EXPECT_EQ (r.scoreNoFlip, score (aligned, false)) << delayMs;
        EXPECT_EQ (r.scoreFlip, score (aligned, true)) << delayMs;
        EXPECT_EQ (r.bestScore, score (allPassed (aligned, r.allPassFreqHz, r.allPassQ), r.flip)) << delayMs;
        EXPECT_GT (r.bestScore, std::max (r.scoreNoFlip, r.scoreFlip)) << delayMs;
    }
}

TEST (PhaseFollowAnalysis, UnusableCapturesGiveAnInvalidResultThatKeepsTheIdentity)
{
    const auto kick = lowNoise (kWindow, 5);
    const auto bass = scaled (kick, -1.0f);
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    struct Case
    {
        std::string name;
        std::function<void (Capture&)> spoil;
        double rate = kRate;
    };
    const Case cases[] = {
        { "delay beyond 10 ms", [] (Capture& c) { c.settingsInEffect.delayMs = 10.5f; } },
        { "delay beyond -10 ms", [] (Capture& c) { c.settingsInEffect.delayMs = -10.5f; } },
        { "delay NaN", [nan] (Capture& c) { c.settingsInEffect.delayMs = nan; } },
        { "silent kick", [] (Capture& c) { std::fill (c.kick.begin(), c.kick.end(), 0.0f); } },
        { "kick at -70 dBFS", [] (Capture& c) { std::fill (c.kick.begin(), c.kick.end(), 0.000316f); } },
        { "bass at -70 dBFS", [] (Capture& c) { std::fill (c.bass.begin(), c.bass.end(), -0.000316f); } },
        { "NaN bass sample", [nan] (Capture& c) { c.bass[3000] = nan; } },
        { "infinite kick sample", [inf] (Capture& c) { c.kick[10] = inf; } },
        { "127 samples", [] (Capture& c) { c.count = 127; } },
        { "rendered bass missing", [] (Capture& c) { c.renderedBass.clear(); } },
        { "count beyond the buffers", [] (Capture& c) { c.count = kWindow + 1; } },
        { "rate below 8 kHz", [] (Capture&) {}, 7999.0 },
        { "rate NaN", [] (Capture&) {}, std::numeric_limits<double>::quiet_NaN() },
    };
    for (const auto& c : cases)
    {
        auto capture = captureOf (bass, kick);
        capture.sequence = 17;
        capture.epoch = 4;
        capture.resetMarkSample = 900;
        capture.resetMarkCount = 2;
        c.spoil (capture);
        const auto r = PhaseFollowAnalyzer::analyze (capture, c.rate);
        EXPECT_FALSE (r.valid) << c.name;
        EXPECT_FALSE (r.flip || r.allPassOn || r.improved) << c.name;
        EXPECT_EQ (r.scoreNoFlip, 50) << c.name;
        EXPECT_EQ (r.scoreFlip, 50) << c.name;
        EXPECT_EQ (r.bestScore, 50) << c.name;
        EXPECT_EQ (r.confidence, 0.0f) << c.name;
        EXPECT_EQ (r.beforePercent, 50.0f) << c.name;
        EXPECT_EQ (r.afterPercent, 50.0f) << c.name;
        EXPECT_EQ (r.sequence, 17u) << c.name;
        EXPECT_EQ (r.epoch, 4u) << c.name;
        EXPECT_EQ (r.resetMarkSample, 900u) << c.name;
        EXPECT_EQ (r.resetMarkCount, 2u) << c.name;
        EXPECT_EQ (r.captureEnd, kCaptureEnd) << c.name;
    }
}

// Scored from max(d, 0) + 576 samples to count − max(−d, 0): valid only when that spans 50 ms
// (2400 samples).
TEST (PhaseFollowAnalysis, TheScoringWindowMustSpan50ms)
{
    struct Case
    {
        float delayMs;
        int delaySamples, shortestValidCount;
    };
    for (const auto& c : { Case { 0.0f, 0, 576 + 2400 }, Case { 2.5f, 120, 120 + 576 + 2400 }, Case { -2.5f, -120, 576 + 2400 + 120 },
                           Case { 10.0f, 480, 480 + 576 + 2400 } })
    {
        for (const int count : { c.shortestValidCount - 1, c.shortestValidCount })
        {
            const auto kick = lowNoise (count, 6);
            PhaseFollowSettings settings;
            settings.delayMs = c.delayMs;
            const auto r = analyze (captureOf (scaled (kick, -1.0f), kick, settings));
            EXPECT_EQ (r.valid, count == c.shortestValidCount) << c.delayMs << " ms, " << count;
            EXPECT_EQ (r.delaySamples, c.delaySamples) << c.delayMs;
            EXPECT_EQ (r.delayMs, c.delayMs);
            EXPECT_EQ (r.count, count);
            EXPECT_EQ (r.captureStart, kCaptureEnd - static_cast<std::uint64_t> (count));
        }
    }
}

// The runtime plays a proposal only when it reliably improves the low-end reading: by 5 points
// over the window and by 2 points in each half.
TEST (PhaseFollowAnalysis, ImprovedOnlyWhenBothHalvesOfTheWindowAgree)
{
    const auto kick = lowNoise (kWindow, 8);
    struct Case
    {
        std::string name;
        float firstHalf, secondHalf; // the bass as a multiple of the kick
        bool improvesOverWindow, improved;
    };
    // The prediction window runs from 576 to 4608; its halves meet at 2592.
    for (const auto& c : { Case { "inverted throughout", -1.0f, -1.0f, true, true }, Case { "aligned throughout", 1.0f, 1.0f, false, false },
                           Case { "inverted, then quietly aligned", -1.0f, 0.2f, true, false },
                           Case { "quietly aligned, then inverted", 0.2f, -1.0f, true, false } })
    {
        auto bass = kick;
        for (size_t i = 0; i < bass.size(); ++i)
            bass[i] *= i < 2592 ? c.firstHalf : c.secondHalf;
        const auto r = analyze (captureOf (bass, kick));
        ASSERT_TRUE (r.valid) << c.name;
        EXPECT_EQ (r.improved, c.improved) << c.name;
        EXPECT_FLOAT_EQ (r.improvement, r.afterPercent - r.beforePercent) << c.name;
        EXPECT_EQ (r.improvement >= 5.0f, c.improvesOverWindow) << c.name;
    }
}

// The readings are predicted where both renderings are settled and the delayed bass overlaps the
// kick: from the later of the settled-from index and max(d, 0) plus the proposal's settling (12 ms
// without an all-pass), to count − max(−d, 0).
TEST (PhaseFollowAnalysis, PredictionWindowSkipsWhatIsStillSettling)
{
    constexpr std::uint64_t start = kCaptureEnd - kWindow;
    struct Case
    {
        float delayMs;
        std::int64_t settledAfterStart;
        std::uint64_t predictionStart, predictionEnd;
    };
    for (const auto& c : { Case { 0.0f, 0, start + 576, kCaptureEnd }, Case { 0.0f, -5000, start + 576, kCaptureEnd },
                           Case { 0.0f, 2000, start + 2000, kCaptureEnd }, Case { 2.5f, 2000, start + 2120, kCaptureEnd },
                           Case { 2.5f, -5000, start + 120 + 576, kCaptureEnd }, Case { -2.5f, 2000, start + 1880, kCaptureEnd - 120 } })
    {
        // The bass leads by the delay, so the delayed bass is exactly the inverted kick.
        const auto source = lowNoise (kWindow + 1000, 9);
        const int d = static_cast<int> (kRate * c.delayMs / 1000.0f);
        std::vector<float> bass (kWindow), kick (kWindow);
        for (size_t i = 0; i < kick.size(); ++i)
        {
            kick[i] = source[500 + i];
            bass[i] = -source[static_cast<size_t> (500 + static_cast<int> (i) + d)];
        }
        PhaseFollowSettings settings;
        settings.delayMs = c.delayMs;
        auto capture = captureOf (bass, kick, settings);
        capture.settledFrom = static_cast<std::uint64_t> (static_cast<std::int64_t> (start) + c.settledAfterStart);
        const auto r = analyze (capture);
        ASSERT_TRUE (r.valid && r.flip && ! r.allPassOn) << c.delayMs << " ms, settled at " << c.settledAfterStart;
        EXPECT_EQ (r.predictionStart, c.predictionStart) << c.delayMs << " ms, settled at " << c.settledAfterStart;
        EXPECT_EQ (r.predictionEnd, c.predictionEnd) << c.delayMs << " ms, settled at " << c.settledAfterStart;
        EXPECT_TRUE (r.improved) << c.delayMs << " ms, settled at " << c.settledAfterStart;
        EXPECT_GT (r.improvement, 90.0f);
    }

    // A proposal with an all-pass is read once its own all-pass has rung in.
    const auto bass = lowNoise (kWindow, 10);
    const auto rotated = analyze (captureOf (bass, allPassed (bass, 90.0f, 0.707f)));
    ASSERT_TRUE (rotated.allPassOn);
    EXPECT_EQ (rotated.predictionStart, start + static_cast<std::uint64_t> (lumetta::phasesearch::allPassSettlingSamples (90.0f, 0.707f, kRate)));
}

TEST (PhaseFollowAnalysis, NoPredictionWhenLessThan50msAreSettled)
{
    const auto kick = lowNoise (kWindow, 11);
    auto capture = captureOf (scaled (kick, -1.0f), kick);
    capture.settledFrom = kCaptureEnd - 2399;
    const auto r = analyze (capture);
    EXPECT_TRUE (r.valid);
    EXPECT_TRUE (r.flip);
    EXPECT_FALSE (r.improved);
    EXPECT_EQ (r.beforePercent, 50.0f);
    EXPECT_EQ (r.afterPercent, 50.0f);
    EXPECT_EQ (r.improvement, 0.0f);

    capture.settledFrom = kCaptureEnd - 2400;
    EXPECT_TRUE (analyze (capture).improved);
}

//==============================================================================
// The hand-off between the audio thread and the analysis, with nothing analysing until the test
// drains: what a busy worker would find when it next looks.
class PhaseFollowHandOff : public ::testing::Test
{
protected:
    void SetUp() override
    {
        analyzer.prepare (kRate, PhaseFollowAnalyzer::Analysis::OnlyWhenDrained);
        analyzer.setEnabled (true);
        const auto kick = lowNoise (kWindow, 12);
        for (int i = 0; i < kWindow; ++i)
            analyzer.write (-kick[static_cast<size_t> (i)], kick[static_cast<size_t> (i)], -kick[static_cast<size_t> (i)]);
    }

    bool publish (std::uint64_t epoch = 0)
    {
        PhaseFollowAnalyzer::CaptureIdentity identity;
        identity.epoch = epoch;
        captureEnd += 2304;
        identity.settledFrom = captureEnd - kWindow;
        return analyzer.publishCapture (captureEnd, 0, identity);
    }

    // The sequences of every current result, oldest first.
    std::vector<std::uint64_t> pollAll()
    {
        std::vector<std::uint64_t> sequences;
        PhaseFollowResult r;
        while (analyzer.pollResult (r))
            sequences.push_back (r.sequence);
        return sequences;
    }

    using Sequences = std::vector<std::uint64_t>;

    PhaseFollowAnalyzer analyzer;
    std::uint64_t captureEnd = kWindow;
};

TEST_F (PhaseFollowHandOff, OnlyTheNewestUnanalysedCaptureIsAnalysedAndTheOthersAreFreed)
{
    // With three slots, a superseded capture that stayed taken would make the fourth publish fail.
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE (publish());
    analyzer.drainSynchronously();
    EXPECT_EQ (pollAll(), (Sequences { 5 }));

    EXPECT_TRUE (publish());
    analyzer.drainSynchronously();
    analyzer.drainSynchronously();
    EXPECT_EQ (pollAll(), (Sequences { 6 }));
}

TEST_F (PhaseFollowHandOff, TheResultCarriesTheCapture)
{
    ASSERT_TRUE (publish());
    analyzer.drainSynchronously();
    PhaseFollowResult r;
    ASSERT_TRUE (analyzer.pollResult (r));
    EXPECT_TRUE (r.valid);
    EXPECT_TRUE (r.flip);
    EXPECT_TRUE (r.improved);
    EXPECT_EQ (r.captureEnd, captureEnd);
    EXPECT_EQ (r.captureStart, captureEnd - kWindow);
    EXPECT_EQ (r.count, kWindow);
    EXPECT_FALSE (analyzer.pollResult (r));
}

// A stray NaN or infinity is stored as silence rather than spoiling every window it stays in.
TEST_F (PhaseFollowHandOff, NonFiniteInputIsStoredAsSilence)
{
    analyzer.write (std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity());
    ASSERT_TRUE (publish());
    analyzer.drainSynchronously();
    PhaseFollowResult r;
    ASSERT_TRUE (analyzer.pollResult (r));
    EXPECT_TRUE (r.valid);
    EXPECT_TRUE (std::isfinite (r.beforePercent));
}

TEST_F (PhaseFollowHandOff, ABumpedTokenMakesCapturesAndQueuedResultsStale)
{
    ASSERT_TRUE (publish());
    analyzer.drainSynchronously();
    analyzer.bumpToken();
    EXPECT_EQ (pollAll(), Sequences {});

    ASSERT_TRUE (publish());
    analyzer.bumpToken();
    analyzer.drainSynchronously();
    EXPECT_EQ (pollAll(), Sequences {});

    ASSERT_TRUE (publish());
    analyzer.drainSynchronously();
    EXPECT_EQ (pollAll(), (Sequences { 3 }));
}

TEST_F (PhaseFollowHandOff, ResultsOfAnotherEpochAreDropped)
{
    analyzer.setEpoch (3);
    // Dropped before they are queued, so they never crowd current results out of the ring.
    for (int i = 0; i < PhaseFollowAnalyzer::kResultSlots; ++i)
    {
        ASSERT_TRUE (publish (2));
        analyzer.drainSynchronously();
    }
    ASSERT_TRUE (publish (3));
    analyzer.drainSynchronously();
    EXPECT_EQ (pollAll(), (Sequences { 10 }));

    // Queued, then the epoch moves on.
    ASSERT_TRUE (publish (3));
    analyzer.drainSynchronously();
    analyzer.setEpoch (4);
    EXPECT_EQ (pollAll(), Sequences {});
}

TEST_F (PhaseFollowHandOff, NothingIsDeliveredWhileDisabled)
{
    analyzer.setEnabled (false);
    ASSERT_TRUE (publish());
    analyzer.drainSynchronously();
    analyzer.setEnabled (true);
    EXPECT_EQ (pollAll(), Sequences {});

    // Queued while enabled, stale once disabled: discarded by the poll.
    ASSERT_TRUE (publish());
    analyzer.drainSynchronously();
    analyzer.setEnabled (false);
    EXPECT_EQ (pollAll(), Sequences {});
    analyzer.setEnabled (true);
    EXPECT_EQ (pollAll(), Sequences {});
}

TEST_F (PhaseFollowHandOff, AFreedPendingCaptureIsNeverAnalysed)
{
    ASSERT_TRUE (publish());
    analyzer.freePendingCapture();
    analyzer.drainSynchronously();
    EXPECT_EQ (pollAll(), Sequences {});
}

TEST_F (PhaseFollowHandOff, AFullResultRingDropsNewerResults)
{
    for (int i = 0; i < 10; ++i)
    {
        ASSERT_TRUE (publish());
        analyzer.drainSynchronously();
    }
    EXPECT_EQ (pollAll(), (Sequences { 1, 2, 3, 4, 5, 6, 7, 8 }));

    ASSERT_TRUE (publish());
    analyzer.drainSynchronously();
    EXPECT_EQ (pollAll(), (Sequences { 11 }));
}

// The capture is the latest samples, oldest first, wherever the ring's write position stands.
TEST (PhaseFollowCapture, HoldsTheLatestSamplesInTheOrderTheyCame)
{
    struct Case
    {
        int extraSamples, count, expectedCount;
    };
    // The latest 3000 samples continue across the ring's end when 1234 were written past a window.
    for (const auto& c : { Case { 1234, 3000, 3000 }, Case { 0, 3000, 3000 }, Case { 1234, 0, kWindow }, Case { 2304, 0, kWindow } })
    {
        PhaseFollowAnalyzer analyzer;
        analyzer.prepare (kRate, PhaseFollowAnalyzer::Analysis::OnlyWhenDrained);
        analyzer.setEnabled (true);

        // The bass is inverted over the latest `count` samples and aligned before: only the right
        // samples in the right order score a clean flip over the scoring window, which starts
        // 576 samples into the capture.
        const int total = kWindow + c.extraSamples, latest = c.count == 0 ? kWindow - 576 : c.count;
        const auto kick = lowNoise (total, 13);
        for (int i = 0; i < total; ++i)
        {
            const float k = kick[static_cast<size_t> (i)];
            const float b = i >= total - latest ? -k : k;
            analyzer.write (b, k, b);
        }
        ASSERT_TRUE (analyzer.publishCapture (static_cast<std::uint64_t> (total), c.count, {}));
        analyzer.drainSynchronously();
        PhaseFollowResult r;
        ASSERT_TRUE (analyzer.pollResult (r));
        EXPECT_EQ (r.count, c.expectedCount);
        EXPECT_TRUE (r.flip) << c.extraSamples << ", " << c.count;
        EXPECT_GE (r.scoreFlip, 97) << c.extraSamples << ", " << c.count;
    }
}

//==============================================================================
TEST (PhaseFollowWorker, AnalysesPublishedCapturesInTheBackground)
{
    PhaseFollowAnalyzer analyzer;
    analyzer.prepare (kRate);
    analyzer.prepare (kRate); // a second preparation replaces the worker
    analyzer.setEnabled (true);
    const auto kick = lowNoise (kWindow, 14);
    for (int i = 0; i < kWindow; ++i)
        analyzer.write (-kick[static_cast<size_t> (i)], kick[static_cast<size_t> (i)], -kick[static_cast<size_t> (i)]);
    ASSERT_TRUE (analyzer.publishCapture (kWindow, 0, {}));

    PhaseFollowResult r;
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds (10);
    while (! analyzer.pollResult (r) && std::chrono::steady_clock::now() < giveUp)
        std::this_thread::sleep_for (std::chrono::milliseconds (1));
    EXPECT_TRUE (r.valid);
    EXPECT_TRUE (r.flip);
}

TEST (PhaseFollowWorker, TheAudioThreadSideNeitherAllocatesNorLocks)
{
    PhaseFollowAnalyzer analyzer;
    analyzer.prepare (kRate);
    analyzer.setEnabled (true);
    const auto kick = lowNoise (4 * kWindow, 15);

    long allocations = 0, locks = 0;
    {
        const RealtimeGuard guard;
        PhaseFollowResult r;
        std::uint64_t sample = 0;
        for (const float k : kick)
        {
            if (analyzer.write (-k, k, -k))
                analyzer.publishCapture (sample, 0, {});
            analyzer.pollResult (r);
            ++sample;
        }
        analyzer.setEpoch (1);
        analyzer.bumpToken();
        analyzer.freePendingCapture();
        analyzer.resetRing();
        allocations = guard.allocations() + guard.deallocations();
        locks = guard.blockingLocks();
    }
    EXPECT_EQ (allocations, 0);
    EXPECT_EQ (locks, 0);
}
