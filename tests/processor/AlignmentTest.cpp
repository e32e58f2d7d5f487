#include "helpers/ProcessorHarness.h"
#include "processor/AlignmentStage.h"

#include <gtest/gtest.h>

#include <cmath>

namespace
{
struct DelayCase
{
    double rate;
    float delayMs;
    int expectedOutputSample; // where an impulse at sample 0 comes out
};

class ManualDelay : public testing::TestWithParam<DelayCase> {};
} // namespace

TEST_P (ManualDelay, ImpulseComesOutAtBaseLatencyPlusTheClampedDelay)
{
    const auto c = GetParam();
    ProcessorHarness h ({ c.rate, 512, 2, 2 });
    h.setParameter ("delayMs", c.delayMs);

    const auto out = h.run (signals::impulse (2, 4096, 0));
    for (int ch = 0; ch < 2; ++ch)
    {
        EXPECT_EQ (signals::firstAbove (out, ch, 0.0f), c.expectedOutputSample);
        EXPECT_FLOAT_EQ (out.getSample (ch, c.expectedOutputSample), 1.0f);
    }
}

INSTANTIATE_TEST_SUITE_P (Alignment, ManualDelay,
                          testing::Values (DelayCase { 48000.0, 0.0f, 960 },
                                           DelayCase { 48000.0, -10.0f, 480 },
                                           DelayCase { 48000.0, 15.0f, 1440 },  // applied as 10 ms
                                           DelayCase { 48000.0, -20.0f, 480 },  // applied as -10 ms
                                           DelayCase { 48000.0, 3.3f, 960 + 158 },
                                           DelayCase { 48000.0, -4.5f, 960 - 216 },
                                           DelayCase { 44100.0, 0.0f, 882 },
                                           DelayCase { 44100.0, -10.0f, 441 },
                                           DelayCase { 96000.0, 10.0f, 2880 }));

TEST (Alignment, DelayAppliedIsClampedAndReportedInMsAndSamples)
{
    ProcessorHarness h;
    h.setParameter ("delayMs", 15.0f);
    h.runSilence (64);
    EXPECT_FLOAT_EQ (h.processor().getCurrentDelayMs(), 10.0f);
    EXPECT_EQ (h.processor().getCurrentDelaySamples(), 480);
}

TEST (Alignment, KickIsDelayedByTheAppliedLatencyOnlyAndBassByLatencyPlusDelay)
{
    AlignmentStage stage;
    AlignmentSettings s;
    s.delayParamMs = -10.0f;
    stage.prepare (48000.0, 960 + 1, s);
    stage.intake (s, 960, 960);
    EXPECT_EQ (stage.getBassTap(), 480);
    EXPECT_EQ (stage.getKickTap(), 960);

    int bassAt = -1, kickAt = -1;
    for (int i = 0; i < 2000; ++i)
    {
        const float x = i == 0 ? 1.0f : 0.0f;
        const auto f = stage.process (x, x, x);
        if (std::abs (f.left) > 0.0f && bassAt < 0)
            bassAt = i;
        if (std::abs (f.kick) > 0.0f && kickAt < 0)
            kickAt = i;
    }
    EXPECT_EQ (bassAt, 480);
    EXPECT_EQ (kickAt, 960);
}

TEST (Alignment, TapsNeverReachBeyondTheLineNorBelowOneSample)
{
    AlignmentStage stage;
    AlignmentSettings s;
    s.delayParamMs = -10.0f;
    stage.prepare (48000.0, 101, s);
    stage.intake (s, 0, 0); // total tap -100 samples
    EXPECT_EQ (stage.getBassTap(), 1);
    EXPECT_EQ (stage.getKickTap(), 1);
    s.delayParamMs = 10.0f;
    stage.intake (s, 960, 960);
    EXPECT_EQ (stage.getBassTap(), 100);
}

TEST (Alignment, PolarityFlipNegatesTheDelayedOutputExactly)
{
    const auto input = signals::sine (2, 4096, 73.0, 48000.0, 0.7f);
    ProcessorHarness plain, flipped;
    flipped.processor().polarityFlip = true;
    const auto a = plain.run (input);
    const auto b = flipped.run (input);
    for (int ch = 0; ch < 2; ++ch)
        for (int i = 0; i < a.getNumSamples(); ++i)
            ASSERT_EQ (b.getSample (ch, i), -a.getSample (ch, i)) << "sample " << i;
}

TEST (Alignment, AllPassAtHundredHertzInvertsAHundredHertzSineWithoutChangingItsLevel)
{
    ProcessorHarness h;
    h.processor().allPassOn = true; // 100 Hz, Q 0.707 by default
    const auto out = h.run (signals::sine (2, 48000, 100.0, 48000.0, 0.5f));

    // Compare one steady-state second half against the input 960 samples earlier.
    double dot = 0.0, energyIn = 0.0, energyOut = 0.0;
    const auto in = signals::sine (2, 48000, 100.0, 48000.0, 0.5f);
    for (int i = 24000; i < 48000; ++i)
    {
        const double x = in.getSample (0, i - 960), y = out.getSample (0, i);
        dot += x * y;
        energyIn += x * x;
        energyOut += y * y;
    }
    EXPECT_NEAR (dot / std::sqrt (energyIn * energyOut), -1.0, 1.0e-4); // 180 degrees
    EXPECT_NEAR (std::sqrt (energyOut / energyIn), 1.0, 1.0e-3);        // unit gain
}

TEST (Alignment, MonoBusWritesBothSlotsAndOutputsOneChannel)
{
    ProcessorHarness h ({ 48000.0, 512, 1, 1 });
    h.processor().polarityFlip = true;
    const auto out = h.run (signals::impulse (1, 2048, 10, 0.5f));
    ASSERT_EQ (out.getNumChannels(), 1);
    EXPECT_EQ (signals::firstAbove (out, 0, 0.0f), 970);
    EXPECT_FLOAT_EQ (out.getSample (0, 970), -0.5f);
}
