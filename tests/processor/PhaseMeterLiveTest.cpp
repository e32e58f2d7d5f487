#include "helpers/TransportRig.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace
{
constexpr int kSecond = 48000;
constexpr int kBeat = 24000; // 120 BPM

PhaseMeterState stateOf (const PhaseMeterReading& r)
{
    return r.state;
}
} // namespace

TEST (PhaseMeterLive, ReadsHowTheOutputAndTheKickShareTheirLowEnd)
{
    struct Case
    {
        double kickPhase;
        float percent, tolerance;
    };
    for (const auto& c : { Case { 0.0, 100.0f, 0.5f }, Case { std::numbers::pi, 0.0f, 0.5f },
                           Case { std::numbers::pi / 2.0, 50.0f, 2.0f } })
    {
        TransportRig rig;
        rig.run (3 * kSecond, signals::sineAt (50.0), signals::sineAt (50.0, 0.5f, c.kickPhase));
        for (const auto& r : { rig.processor().getPostMeterReading(), rig.processor().getPreMeterReading() })
        {
            EXPECT_EQ (stateOf (r), PhaseMeterState::Valid) << c.kickPhase;
            EXPECT_NEAR (r.percent, c.percent, c.tolerance) << c.kickPhase;
        }
    }
}

TEST (PhaseMeterLive, AKickWithoutLowEndReadsNoLowEnd)
{
    TransportRig rig;
    const float minus70dB = std::pow (10.0f, -70.0f / 20.0f);
    rig.run (2 * kSecond, signals::sineAt (50.0, 0.8f), signals::sineAt (50.0, minus70dB));
    EXPECT_EQ (stateOf (rig.processor().getPostMeterReading()), PhaseMeterState::NoLowEnd);
}

TEST (PhaseMeterLive, ABassWhosePolarityAlternatesPerBeatVariesPerBeat)
{
    // The beat-synced divisions fall on the flips (both are 20 ms behind the host's beat at the
    // output), so each division sees one polarity.
    TransportRig rig;
    const auto sine = signals::sineAt (50.0);
    rig.run (6 * kSecond, [&] (std::int64_t n) { return (n / kBeat) % 2 == 0 ? sine (n) : -sine (n); }, sine);
    EXPECT_EQ (stateOf (rig.processor().getPostMeterReading()), PhaseMeterState::VariesPerBeat);
}

TEST (PhaseMeterLive, RelocatingTheTransportResetsTheMetersAndStoppingDoesNot)
{
    const auto sine = signals::sineAt (50.0);
    TransportRig rig;
    rig.run (2 * kSecond, sine, sine);
    ASSERT_EQ (stateOf (rig.processor().getPostMeterReading()), PhaseMeterState::Valid);

    rig.setTransport ({ 120.0, 4.0, false }); // stopped
    rig.run (512, sine, sine);
    EXPECT_EQ (stateOf (rig.processor().getPostMeterReading()), PhaseMeterState::Valid);

    rig.setTransport ({ 120.0, 4.0, true }); // playing again from there: newly synced
    rig.run (512, sine, sine);
    EXPECT_EQ (stateOf (rig.processor().getPostMeterReading()), PhaseMeterState::Measuring);

    rig.run (2 * kSecond, sine, sine);
    ASSERT_EQ (stateOf (rig.processor().getPostMeterReading()), PhaseMeterState::Valid);
    rig.setTransport ({ 120.0, 32.0, true }); // relocated while playing
    rig.run (512, sine, sine);
    EXPECT_EQ (stateOf (rig.processor().getPostMeterReading()), PhaseMeterState::Measuring);
    EXPECT_EQ (stateOf (rig.processor().getPreMeterReading()), PhaseMeterState::Measuring);
}

TEST (PhaseMeterLive, ALoopComingBackToItsStartIsNoJump)
{
    // Beats 0 to 8 at 120 BPM are 4 s, not a whole number of 512-sample blocks: the wrap lands
    // mid-block, and the block after it starts where the loop arithmetic says.
    const auto sine = signals::sineAt (50.0);
    TransportRig rig ({ 120.0, 6.0, true, true, 0.0, 8.0 });
    rig.run (kSecond + 512, sine, sine);
    ASSERT_EQ (stateOf (rig.processor().getPostMeterReading()), PhaseMeterState::Valid);
    ASSERT_LT (rig.processor().getTransport().ppq, 1.0);
    rig.run (512, sine, sine);
    EXPECT_EQ (stateOf (rig.processor().getPostMeterReading()), PhaseMeterState::Valid);
}

TEST (PhaseMeterLive, WithoutASidechainTheMetersAreNotFed)
{
    TransportRig rig ({}, { 48000.0, 512, 2, 0 });
    rig.run (2 * kSecond, signals::sineAt (50.0));
    EXPECT_EQ (stateOf (rig.processor().getPostMeterReading()), PhaseMeterState::Measuring);
}

TEST (PhaseMeterLive, WithoutATransportTheHalfSecondRuleClosesTheDivisions)
{
    TransportRig rig;
    rig.removeTransport();
    const auto sine = signals::sineAt (50.0);
    rig.run (kSecond + 1000, sine, sine);
    EXPECT_EQ (stateOf (rig.processor().getPostMeterReading()), PhaseMeterState::Valid);
}

TEST (PhaseMeterLive, ReleasingResourcesReturnsTheReadingsToMeasuring)
{
    TransportRig rig;
    const auto sine = signals::sineAt (50.0);
    rig.run (2 * kSecond, sine, sine);
    rig.processor().releaseResources();
    EXPECT_EQ (stateOf (rig.processor().getPostMeterReading()), PhaseMeterState::Measuring);
    EXPECT_FLOAT_EQ (rig.processor().getPostMeterReading().percent, 50.0f);
}

TEST (PhaseMeterLive, PreAndPostPartWhenTheDuckShapesTheOutputAndMeetAgainAfterAReset)
{
    // A deep duck on every beat changes what POST hears but not PRE; a relocation resets both.
    TransportRig rig;
    rig.harness.setParameter ("dowsenOn", 1.0f);
    rig.harness.setParameter ("duckDepth", 100.0f);
    const auto bass = signals::sineAt (50.0), kickSignal = signals::sineAt (50.0, 0.5f, 2.0);
    rig.run (3 * kSecond, bass, kickSignal);
    const auto& p = rig.processor();
    EXPECT_NE (p.getPreMeterReading().interactionDb, p.getPostMeterReading().interactionDb);

    rig.harness.setParameter ("dowsenOn", 0.0f);
    rig.setTransport ({ 120.0, 16.0, true });
    rig.run (3 * kSecond, bass, kickSignal);
    EXPECT_EQ (p.getPreMeterReading().interactionDb, p.getPostMeterReading().interactionDb);
    EXPECT_EQ (p.getPreMeterReading().percent, p.getPostMeterReading().percent);
}
