#include "helpers/ProcessorHarness.h"
#include "helpers/RealtimeGuard.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>

// The guard every processing test relies on must itself see what it is meant to catch.
TEST (RealtimeGuard, SeesAllocationsAndBlockingLocksOnItsOwnThreadOnly)
{
    std::mutex m;
    long allocations = 0, locks = 0;
    {
        const RealtimeGuard guard;
        auto p = std::make_unique<int> (3);
        std::vector<float> v (100);
        {
            const std::lock_guard<std::mutex> lock (m);
        }
        juce::CriticalSection cs;
        {
            const juce::ScopedLock sl (cs);
        }
        std::thread other ([] { auto q = std::make_unique<double> (1.0); });
        other.join();
        allocations = guard.allocations();
        locks = guard.blockingLocks();
    }
    EXPECT_GE (allocations, 2);
    EXPECT_GE (locks, 2);

    const RealtimeGuard quiet;
    EXPECT_EQ (quiet.allocations(), 0);
    EXPECT_EQ (quiet.blockingLocks(), 0);
}

TEST (RealtimeSafety, ProcessBlockNeitherAllocatesNorLocksWithEveryAlignmentFeatureOn)
{
    ProcessorHarness h;
    auto& p = h.processor();
    p.polarityFlip = true;
    p.allPassOn = true;
    h.setParameter ("delayMs", -7.5f);
    h.setParameter ("allPassFreq", 230.0f);
    h.setParameter ("phaseFollow", 1.0f);
    h.playHead.setPlaying (true, 128.0, 3.0);
    // ProcessorHarness::processBlock asserts zero allocations and locks for every block.
    h.run (signals::sine (4, 48000, 55.0, 48000.0), nullptr, 333);
    p.timerCallback();
    h.playHead.setPlaying (false);
    h.runSilence (30000);
    p.timerCallback();
    h.runSilence (2048);
    EXPECT_EQ (p.getLatencySamples(), p.getLookaheadLatency());
}
