#include "processor/DuckEngine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

namespace
{
using Engine = dowsen::DuckEngine;

Engine::BlockSettings liveAt48k()
{
    Engine::BlockSettings s;
    s.live = true;
    s.appliedLatency = s.baseLatency = 960;
    return s;
}

Engine::LiveTiming timingFor (Engine::BlockSettings s, double bpm = 120.0)
{
    Engine e;
    e.prepare (48000.0, bpm, 2);
    s.bpm = bpm;
    e.configure (s);
    return e.getLiveTiming();
}
} // namespace

TEST (LiveDuck, TimingFollowsTheChosenSettingsWithinTheirLimits)
{
    struct Case
    {
        const char* name;
        std::function<void (Engine::BlockSettings&)> edit;
        int attack, hold, release;
    };
    const std::vector<Case> cases {
        { "timed defaults", [] (auto&) {}, 96, 0, 7200 },
        { "legacy defaults", [] (auto& s) { s.timedTiming = false; }, 96, 720, 4320 },
        { "zero attack and release", [] (auto& s) { s.timedAttackMs = 0.0f; s.timedReleaseMs = 0.0f; }, 48, 0, 96 },
        { "eighth, no hold", [] (auto& s) { s.timedEighth = true; }, 96, 0, 12000 },
        { "eighth, long hold", [] (auto& s) { s.timedEighth = true; s.timedHoldMs = 500.0f; }, 96, 11904, 96 },
        { "NaN timing takes the defaults", [] (auto& s) { s.timedHoldMs = s.timedReleaseMs = s.timedAttackMs = std::nanf (""); }, 96, 0, 7200 },
    };
    for (const auto& c : cases)
    {
        auto s = liveAt48k();
        c.edit (s);
        const auto t = timingFor (s);
        EXPECT_EQ (t.attack, c.attack) << c.name;
        EXPECT_EQ (t.hold, c.hold) << c.name;
        EXPECT_EQ (t.release, c.release) << c.name;
    }
    EXPECT_FLOAT_EQ (timingFor (liveAt48k()).shape, 0.55f);
}

TEST (LiveDuck, AKickIsFullyReducedHalfAMillisecondBeforeItLeavesTheProcessor)
{
    Engine e;
    e.prepare (48000.0, 120.0, 2);
    auto s = liveAt48k();
    e.configure (s);

    // A sharp kick at sample 1000 (raw); it leaves the processor 960 samples later.
    int firstBelowOne = -1, firstZero = -1;
    for (int i = 0; i < 20000; ++i)
    {
        const float k = i >= 1000 && i < 5800 ? 0.9f * std::exp (-(i - 1000) / 2400.0f) * std::sin (0.02f * static_cast<float> (i - 1000)) : 0.0f;
        const float g = e.step (k, 0.0f, 0.0f);
        if (firstBelowOne < 0 && g < 1.0f)
            firstBelowOne = i;
        if (firstZero < 0 && g <= 0.0f)
            firstZero = i;
    }
    ASSERT_GT (firstBelowOne, 0);
    // The 96-sample attack reaches 0 after exactly its length, 24 samples before the delayed
    // onset's detection point, however soon after the onset the detector fired.
    EXPECT_EQ (firstZero - firstBelowOne, 95);
    EXPECT_GE (firstBelowOne, 1000 + 840);
    EXPECT_LE (firstBelowOne, 1000 + 840 + 100);
}

TEST (LiveDuck, SwitchingOnMidDuckAndChangingDepthNeverJump)
{
    Engine e;
    e.prepare (48000.0, 120.0, 2);
    auto s = liveAt48k();
    s.live = false;
    e.configure (s);
    std::vector<float> table (1024, 0.3f);
    e.setShapeLUT (table.data(), 1024);
    e.configure (s);
    for (int i = 0; i < 2000; ++i)
        e.step (0.0f, 0.0f, 0.5f);
    ASSERT_NEAR (e.getGain(), 0.3f, 1.0e-6f);

    s.live = true;
    e.configure (s);
    float previous = 0.3f;
    for (int i = 0; i <= 240; ++i)
    {
        const float g = e.step (0.0f, 0.0f, 0.5f);
        ASSERT_GE (g, previous);
        previous = g;
    }
    EXPECT_EQ (previous, 1.0f); // back at unity within 5 ms along an S-curve

    // During a long hold (full reduction) a depth change from 100 to 50 % moves the gain from 0
    // to 0.5 in a straight line over 5 ms.
    s.timedHoldMs = 500.0f;
    e.configure (s);
    for (int i = 0; i < 3000; ++i)
        e.step (i >= 100 && i < 500 ? 0.9f * std::sin (0.02f * static_cast<float> (i)) : 0.0f, 0.0f, 0.5f);
    ASSERT_EQ (e.getGain(), 0.0f);
    s.depthPercent = 50.0f;
    e.configure (s);
    std::vector<float> ramp;
    for (int i = 0; i < 300; ++i)
        ramp.push_back (e.step (0.0f, 0.0f, 0.5f));
    EXPECT_NEAR (ramp[119], 0.25f, 0.005f);
    EXPECT_NEAR (ramp[239], 0.5f, 1.0e-5f);
    EXPECT_NEAR (ramp[299], 0.5f, 1.0e-5f);
}
