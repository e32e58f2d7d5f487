#include "processor/AllPassFilter.h"

#include <gtest/gtest.h>

#include <cmath>

TEST (AllPassFilter, CoefficientsAtHundredHertzAndButterworthQ)
{
    AllPassFilter f (48000.0, 100.0f, 0.707f, true);
    EXPECT_NEAR (f.getA1(), -1.9814858f, 1.0e-6f);
    EXPECT_NEAR (f.getA2(), 0.9816555f, 1.0e-6f);
}

TEST (AllPassFilter, DisabledPassesInputAndLeavesHistoryAlone)
{
    AllPassFilter f (48000.0, 100.0f, 0.707f, false);
    EXPECT_EQ (f.processSample (0.25f), 0.25f);
    f.setEnabled (true);
    // Had the disabled call touched the history, this first output would not be a2 * x.
    EXPECT_FLOAT_EQ (f.processSample (1.0f), f.getA2());
}

TEST (AllPassFilter, SettingsAreClampedAndNonFiniteOnesIgnored)
{
    AllPassFilter f (48000.0, 100.0f, 0.707f, true);
    f.setCenterFrequency (5.0f);
    EXPECT_EQ (f.getCenterFrequency(), 20.0f);
    f.setCenterFrequency (1.0e5f);
    EXPECT_EQ (f.getCenterFrequency(), 2000.0f);
    f.setQ (0.0f);
    EXPECT_EQ (f.getQ(), 0.1f);
    f.setQ (50.0f);
    EXPECT_EQ (f.getQ(), 10.0f);
    f.setCenterFrequency (std::nanf (""));
    f.setQ (INFINITY);
    EXPECT_EQ (f.getCenterFrequency(), 2000.0f);
    EXPECT_EQ (f.getQ(), 10.0f);
    EXPECT_TRUE (std::isfinite (f.getA1()) && std::isfinite (f.getA2()));
}

TEST (AllPassFilter, UnpreparedRateKeepsCoefficientsAndOnlyClearsHistory)
{
    AllPassFilter f (48000.0, 100.0f, 0.707f, true);
    const float a1 = f.getA1(), a2 = f.getA2();
    f.processSample (1.0f);
    f.prepare (0.0);
    f.setCenterFrequency (300.0f);
    EXPECT_EQ (f.getA1(), a1);
    EXPECT_EQ (f.getA2(), a2);
    EXPECT_FLOAT_EQ (f.processSample (1.0f), a2); // history was cleared
}

TEST (AllPassFilter, RetuningKeepsHistorySoTheOutputStaysContinuous)
{
    AllPassFilter f (48000.0, 100.0f, 0.707f, true);
    for (int i = 0; i < 100; ++i)
        f.processSample (std::sin (0.01f * static_cast<float> (i)));
    const float before = f.processSample (std::sin (1.0f));
    f.setCenterFrequency (101.0f);
    const float after = f.processSample (std::sin (1.01f));
    EXPECT_NEAR (after, before, 0.05f);
}
