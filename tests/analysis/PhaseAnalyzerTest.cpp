#include "analysis/PhaseAnalyzer.h"
#include "common/DemoSignal.h"
#include "helpers/RealtimeGuard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <numeric>
#include <optional>
#include <thread>
#include <utility>

// The seam PhaseAnalyzer opens for its tests: its capture lock, to play the part of the worker or
// the editor holding it, and the time-ordered copy the worker hands to the search.
struct PhaseAnalyzerProbe
{
    static juce::SpinLock& captureLock (PhaseAnalyzer& a) { return a.captureLock; }

    // What a context change does, for a test that already holds the lock.
    static void restartCaptureWhileHeld (PhaseAnalyzer& a)
    {
        a.writePosition = 0;
        a.captureFull = false;
    }

    static std::optional<std::pair<std::vector<float>, std::vector<float>>> timeOrdered (PhaseAnalyzer& a)
    {
        PhaseAnalyzer::Snapshot s;
        if (! a.takeSnapshot (s))
            return std::nullopt;
        return std::make_pair (std::move (s.bass), std::move (s.kick));
    }
};

namespace
{
constexpr double kRate = 48000.0;
constexpr int kSecond = 48000;
constexpr int kBlock = 512;

// Feeds `count` samples of two signals, block by block as the processor does, refreshing the
// context at the start of each block.
void feed (PhaseAnalyzer& a, const std::vector<float>& bass, const std::vector<float>& kick, int from, int count,
           const AnalysisContext& context = {})
{
    for (int done = 0; done < count; done += kBlock)
    {
        const int n = std::min (kBlock, count - done);
        a.refreshContext (context);
        a.capture (bass.data() + from + done, kick.data() + from + done, n);
    }
}

void feedConstant (PhaseAnalyzer& a, int count, float value = 0.1f, const AnalysisContext& context = {})
{
    const std::vector<float> v (static_cast<size_t> (count), value);
    feed (a, v, v, 0, count, context);
}

// The editor's timer: hand off until nothing is armed, requested or running.
bool waitUntilIdle (PhaseAnalyzer& a)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds (30);
    while (! a.isIdle())
    {
        a.handOff();
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for (std::chrono::milliseconds (1));
    }
    return true;
}

struct Signals
{
    std::vector<float> bass, kick;
};

// Three seconds of the demo kick, with the bass the same kick inverted.
Signals invertedKick()
{
    const auto demo = lumetta::tools::makeDemoSignal (kRate);
    Signals s;
    const int n = 3 * kSecond;
    s.kick.assign (demo.kick.getReadPointer (0), demo.kick.getReadPointer (0) + n);
    s.bass.resize (s.kick.size());
    std::transform (s.kick.begin(), s.kick.end(), s.bass.begin(), [] (float x) { return -x; });
    return s;
}

// Runs one ANALYZE press on `signals` from sample `from`, with `extra` samples written after the
// capture filled and before the hand-off (the editor's timer comes up to 100 ms later).
ManualAnalysisResult analyse (PhaseAnalyzer& a, const Signals& signals, int from = 0, int extra = 0)
{
    a.arm();
    feed (a, signals.bass, signals.kick, from, kSecond + extra);
    EXPECT_TRUE (a.isCaptureFull());
    EXPECT_TRUE (waitUntilIdle (a));
    return a.getResult();
}

class PhaseAnalyzerTest : public testing::Test
{
protected:
    void SetUp() override { analyzer.prepare (kRate); }
    PhaseAnalyzer analyzer;
};
} // namespace

TEST_F (PhaseAnalyzerTest, CaptureFillsAfterExactlyOneSecondAndKeepsTheLatestSecondInTimeOrder)
{
    // Sample i carries the value i, so the copy shows which samples it holds and in what order.
    std::vector<float> ramp (static_cast<size_t> (kSecond + 1000));
    std::iota (ramp.begin(), ramp.end(), 0.0f);

    feed (analyzer, ramp, ramp, 0, kSecond - 1);
    EXPECT_FALSE (analyzer.isCaptureFull());
    EXPECT_FALSE (PhaseAnalyzerProbe::timeOrdered (analyzer).has_value());
    feed (analyzer, ramp, ramp, kSecond - 1, 1);
    EXPECT_TRUE (analyzer.isCaptureFull());

    // Writing goes on; the write position is now 1000, not 0, yet the copy starts with the oldest.
    feed (analyzer, ramp, ramp, kSecond, 1000);
    const auto copy = PhaseAnalyzerProbe::timeOrdered (analyzer);
    ASSERT_TRUE (copy.has_value());
    ASSERT_EQ (copy->first.size(), static_cast<size_t> (kSecond));
    const std::vector<float> expected (ramp.begin() + 1000, ramp.end());
    EXPECT_EQ (copy->first, expected);
    EXPECT_EQ (copy->second, expected);
}

TEST (PhaseAnalyzer, CapacityIsTheWholeSamplesOfOneSecondAndUnusableRatesCaptureNothing)
{
    const struct
    {
        double rate;
        int capacity; // 0: never fills
    } cases[] = { { 44100.0, 44100 }, { 22050.9, 22050 }, { 96000.0, 96000 },
                  { 0.0, 0 }, { -48000.0, 0 }, { std::nan (""), 0 }, { 1.0e12, 0 } };
    for (const auto& c : cases)
    {
        PhaseAnalyzer a;
        a.prepare (c.rate);
        const int fill = c.capacity > 0 ? c.capacity : 200000;
        feedConstant (a, fill - 1);
        EXPECT_FALSE (a.isCaptureFull()) << c.rate;
        feedConstant (a, 1);
        EXPECT_EQ (a.isCaptureFull(), c.capacity > 0) << c.rate;
    }
}

TEST_F (PhaseAnalyzerTest, AnyChangeOfTheContextRestartsTheCapture)
{
    const auto changes = std::to_array<std::function<void (AnalysisContext&)>> ({
        [] (AnalysisContext& c) { c.postMode = true; },
        [] (AnalysisContext& c) { c.flip = true; },
        [] (AnalysisContext& c) { c.allPassOn = true; },
        [] (AnalysisContext& c) { c.delayMs = 0.1f; },
        [] (AnalysisContext& c) { c.allPassFreqHz = 100.5f; },
        [] (AnalysisContext& c) { c.allPassQ = 0.70701f; },
    });
    for (size_t i = 0; i < changes.size(); ++i)
    {
        analyzer.prepare (kRate);
        const AnalysisContext before;
        feedConstant (analyzer, kSecond, 0.1f, before);
        ASSERT_TRUE (analyzer.isCaptureFull());
        analyzer.refreshContext (before);
        EXPECT_TRUE (analyzer.isCaptureFull()) << "the same context must not restart the capture";

        AnalysisContext after;
        changes[i] (after);
        analyzer.refreshContext (after);
        EXPECT_FALSE (analyzer.isCaptureFull()) << "change " << i;
        // A whole second again, from the first sample after the change.
        feedConstant (analyzer, kSecond - 1, 0.1f, after);
        EXPECT_FALSE (analyzer.isCaptureFull()) << "change " << i;
        feedConstant (analyzer, 1, 0.1f, after);
        EXPECT_TRUE (analyzer.isCaptureFull()) << "change " << i;
    }
}

TEST_F (PhaseAnalyzerTest, SettingsThatAreNotFiniteNeitherRestartEveryBlockNorReachTheCapture)
{
    AnalysisContext broken;
    broken.delayMs = std::numeric_limits<float>::quiet_NaN();
    broken.allPassFreqHz = std::numeric_limits<float>::infinity();
    feedConstant (analyzer, kSecond, 0.1f, broken); // refreshes before every block
    EXPECT_TRUE (analyzer.isCaptureFull());

    std::vector<float> bad (kBlock, std::numeric_limits<float>::quiet_NaN());
    bad[1] = std::numeric_limits<float>::infinity();
    analyzer.capture (bad.data(), bad.data(), kBlock);
    const auto copy = PhaseAnalyzerProbe::timeOrdered (analyzer);
    ASSERT_TRUE (copy.has_value());
    for (int i = kSecond - kBlock; i < kSecond; ++i)
        ASSERT_EQ (copy->first[static_cast<size_t> (i)], 0.0f) << i;
}

TEST_F (PhaseAnalyzerTest, TheAudioThreadSkipsTheBlockInsteadOfWaitingForAHeldCaptureLock)
{
    feedConstant (analyzer, kSecond - 100);
    AnalysisContext moved;
    moved.delayMs = 2.0f;
    const std::vector<float> block (kBlock, 0.2f);

    auto& lock = PhaseAnalyzerProbe::captureLock (analyzer);
    lock.enter(); // the editor or the worker copying
    std::atomic<bool> returned { false };
    std::thread audio ([&]
    {
        analyzer.refreshContext (moved);
        analyzer.capture (block.data(), block.data(), kBlock);
        returned = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds (2);
    while (! returned && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    EXPECT_TRUE (returned.load()) << "the audio thread waited for the capture lock";
    lock.exit();
    audio.join();

    // Neither call did anything: the 512 samples would have filled the capture, and the moved
    // delay would have restarted it.
    EXPECT_FALSE (analyzer.isCaptureFull());
    feedConstant (analyzer, 100); // context unchanged (default) from here
    EXPECT_TRUE (analyzer.isCaptureFull());
}

TEST_F (PhaseAnalyzerTest, CaptureAndContextRefreshNeitherAllocateNorLock)
{
    const std::vector<float> block (PhaseAnalyzer::kMaxBlockSamples, 0.3f);
    AnalysisContext a, b;
    b.flip = true;
    const RealtimeGuard guard;
    for (int i = 0; i < 20; ++i)
    {
        analyzer.refreshContext (i % 2 == 0 ? a : b);
        analyzer.capture (block.data(), block.data(), PhaseAnalyzer::kMaxBlockSamples); // wraps every few blocks
    }
    auto& lock = PhaseAnalyzerProbe::captureLock (analyzer);
    lock.enter();
    analyzer.refreshContext (a);
    analyzer.capture (block.data(), block.data(), kBlock);
    lock.exit();
    EXPECT_EQ (guard.allocations(), 0);
    EXPECT_EQ (guard.blockingLocks(), 0);
}

TEST_F (PhaseAnalyzerTest, BlocksLargerThanTheStagingBuffersAreNotCaptured)
{
    const std::vector<float> big (PhaseAnalyzer::kMaxBlockSamples + 1, 0.3f);
    for (int i = 0; i < 10; ++i)
        analyzer.capture (big.data(), big.data(), static_cast<int> (big.size()));
    EXPECT_FALSE (analyzer.isCaptureFull());
}

TEST_F (PhaseAnalyzerTest, ArmRestartsTheCaptureAndOnlyAFullSecondIsHandedOff)
{
    feedConstant (analyzer, kSecond);
    ASSERT_TRUE (analyzer.isCaptureFull());
    analyzer.arm();
    EXPECT_FALSE (analyzer.isCaptureFull());
    EXPECT_FALSE (analyzer.isIdle());

    feedConstant (analyzer, kSecond - 1);
    analyzer.handOff();
    EXPECT_FALSE (analyzer.isThreadRunning()) << "handed off before the second was full";
    EXPECT_FALSE (analyzer.isIdle());
}

TEST_F (PhaseAnalyzerTest, BassEqualToTheInvertedKickIsAnalysedToAFlipAlone)
{
    const auto signals = invertedKick();
    feed (analyzer, signals.bass, signals.kick, 0, kSecond); // the capture was full before the press

    // 300 samples more than a second: the write position is not 0 when the worker copies.
    const auto r = analyse (analyzer, signals, kSecond, 300);
    EXPECT_TRUE (r.hasResult);
    EXPECT_FALSE (r.postMode);
    EXPECT_TRUE (r.flip);
    EXPECT_FLOAT_EQ (r.delayMs, 0.0f);
    EXPECT_FALSE (r.allPassOn);
    EXPECT_EQ (r.baselinePercent, 0);
    EXPECT_EQ (r.bestPercent, 100);
    EXPECT_TRUE (analyzer.isIdle());
}

TEST_F (PhaseAnalyzerTest, SilenceReportsNoResultAndKeepsThePreviousScores)
{
    const auto first = analyse (analyzer, invertedKick());
    ASSERT_TRUE (first.hasResult);

    Signals silentKick = invertedKick();
    std::fill (silentKick.kick.begin(), silentKick.kick.end(), 0.0f);
    const auto second = analyse (analyzer, silentKick);
    EXPECT_FALSE (second.hasResult);
    EXPECT_EQ (second.baselinePercent, first.baselinePercent);
    EXPECT_EQ (second.bestPercent, first.bestPercent);
    EXPECT_EQ (second.flip, first.flip);
    EXPECT_FLOAT_EQ (second.delayMs, first.delayMs);
}

TEST_F (PhaseAnalyzerTest, ASecondRestartedAfterTheHandOffIsNotAnalysedButWaitedFor)
{
    const auto signals = invertedKick();
    analyzer.arm();
    feed (analyzer, signals.bass, signals.kick, 0, kSecond);

    // The worker starts while the lock is held and cannot copy before the capture restarts.
    auto& lock = PhaseAnalyzerProbe::captureLock (analyzer);
    lock.enter();
    analyzer.handOff();
    EXPECT_TRUE (analyzer.isThreadRunning());
    PhaseAnalyzerProbe::restartCaptureWhileHeld (analyzer);
    lock.exit();
    analyzer.waitForThreadToExit (10000);

    EXPECT_FALSE (analyzer.isIdle()) << "armed again, waiting for a full second";
    EXPECT_FALSE (analyzer.getResult().hasResult) << "a partial capture was analysed";

    feed (analyzer, signals.bass, signals.kick, kSecond, kSecond);
    ASSERT_TRUE (waitUntilIdle (analyzer));
    const auto r = analyzer.getResult();
    EXPECT_TRUE (r.hasResult);
    EXPECT_TRUE (r.flip);
}

TEST (PhaseAnalyzer, IsNamedForItsThreadAndForwardsTheSearchHelpers)
{
    PhaseAnalyzer a;
    EXPECT_EQ (a.getThreadName(), "Lumetta phase analysis");

    EXPECT_GE (PhaseAnalyzer::allPassSettlingSamples (100.0f, 0.707f, 48000.0), 576);
    EXPECT_EQ (PhaseAnalyzer::allPassSettlingSamples (std::nanf (""), 0.707f, 48000.0), 536870911);

    // The band-pass removes DC, over the count given only.
    std::vector<float> dc (4800, 1.0f);
    PhaseAnalyzer::applyAnalysisBandpass (dc, 2400, 48000.0);
    EXPECT_LT (std::abs (dc[2399]), 0.05f);
    EXPECT_EQ (dc[2400], 1.0f);
}
