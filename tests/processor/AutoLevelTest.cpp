#include "processor/AutoLevel.h"

#include <gtest/gtest.h>

#include <cmath>

namespace
{
// One measurement period of `n` samples with the given peaks, ending in a wrap of the grid phase.
void period (AutoLevel& a, float kickPeak, float bassPeak, int n = 1000)
{
    for (int i = 0; i < n; ++i)
    {
        float l = i == 10 ? bassPeak : 0.0f, r = 0.0f;
        a.process (i == 20 ? kickPeak : 0.0f, l, r, static_cast<float> (i) / static_cast<float> (n));
    }
}
} // namespace

TEST (AutoLevel, TargetPutsTheBassTheSetLevelBelowTheKickWithinSixDecibels)
{
    struct Case
    {
        float kick, bass, targetDb, gain;
    };
    for (const auto c : { Case { 0.8f, 0.4f, -2.0f, 1.5886f }, Case { 0.8f, 0.1f, 0.0f, 2.0f }, Case { 0.2f, 0.8f, -6.0f, 0.5f } })
    {
        AutoLevel a;
        a.reset();
        a.setUp (48000.0, true, c.targetDb);
        period (a, c.kick, c.bass);
        period (a, 0.0f, 0.0f, 10); // the wrap that closes the first period
        EXPECT_NEAR (a.getTargetGain(), c.gain, 1.0e-3) << c.kick << " / " << c.bass;
    }
}

TEST (AutoLevel, ShortPeriodsAndMissingSignalsKeepTheTarget)
{
    AutoLevel a;
    a.reset();
    a.setUp (48000.0, true, 0.0f);
    period (a, 0.5f, 0.25f, 40); // wraps after fewer than 65 samples: the measurement goes on
    period (a, 0.0f, 0.0f, 40);
    EXPECT_EQ (a.getTargetGain(), 1.0f);
    period (a, 0.0f, 0.0f, 200); // now the period (with its 0.5 / 0.25 peaks) ends
    EXPECT_NEAR (a.getTargetGain(), 2.0f, 1.0e-6);
    period (a, 0.01f, 0.5f, 200); // kick at or below 0.02: no new target
    period (a, 0.0f, 0.0f, 200);
    EXPECT_NEAR (a.getTargetGain(), 2.0f, 1.0e-6);
}

TEST (AutoLevel, GainGlidesWithAFiftyMillisecondTimeConstantAndOnlyWhileOn)
{
    AutoLevel a;
    a.reset();
    a.setUp (48000.0, true, 0.0f);
    period (a, 0.8f, 0.1f, 100);
    float l = 0.0f, r = 0.0f;
    a.process (0.0f, l, r, 0.0f); // the wrap: target 2 from here on
    ASSERT_EQ (a.getTargetGain(), 2.0f);
    for (int i = 1; i < 2400; ++i)
        a.process (0.0f, l, r, 0.5f);
    EXPECT_NEAR (a.getAppliedGain(), 1.632f, 0.005f); // 50 ms: 1 - 1/e of the way from 1 to 2

    a.setUp (48000.0, false, 0.0f);
    for (int i = 0; i < 48000; ++i)
        a.process (0.0f, l, r, 0.5f);
    EXPECT_NEAR (a.getAppliedGain(), 1.0f, 1.0e-3); // AUTO off glides back to unity
    EXPECT_EQ (a.getTargetGain(), 2.0f);            // but keeps measuring
}
