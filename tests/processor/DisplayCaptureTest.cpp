#include "helpers/TransportRig.h"
#include "processor/ShapeViewCapture.h"
#include "processor/TransportJumpDetector.h"

#include <gtest/gtest.h>

#include <cmath>

namespace
{
using Trace = ScopeCapture::Trace;
constexpr float kCentre = ScopeCapture::kCentre;

// Both points of column c.
std::pair<float, float> column (const Trace& t, int c)
{
    return { t[static_cast<size_t> (2 * c)].y, t[static_cast<size_t> (2 * c + 1)].y };
}

// +0.5 in the first half of each beat, -0.5 in the second, at 120 BPM and 48 kHz.
float halfBeatSquare (std::int64_t n)
{
    return (n % 24000) < 12000 ? 0.5f : -0.5f;
}

struct Traces
{
    Trace bass, kick;
};

Traces tracesOf (LumettaAudioProcessor& p)
{
    Traces t;
    p.copyScopeTraces (t.bass, t.kick);
    return t;
}
} // namespace

TEST (ScopeCapture, TheDivisionFollowsTheBeatAndLinesUpWithTheDelayedOutput)
{
    // 1/4 at 120 BPM and 48 kHz: 24000 samples across 632 columns. The output is 20 ms (960
    // samples) behind the input, and so is the division: a square that flips on the host's
    // half beats shows its halves exactly on the two halves of the display.
    TransportRig rig;
    rig.run (3 * 24000, halfBeatSquare, halfBeatSquare);
    const auto t = tracesOf (rig.processor());

    const float high = kCentre - kCentre * 0.5f, low = kCentre + kCentre * 0.5f;
    for (int c : { 0, 100, 315 })
    {
        EXPECT_EQ (column (t.bass, c), std::make_pair (high, high)) << c;
        EXPECT_EQ (column (t.kick, c), std::make_pair (high, high)) << c;
    }
    for (int c : { 316, 400, 631 })
        EXPECT_EQ (column (t.bass, c), std::make_pair (low, low)) << c;
    for (size_t i = 0; i < t.bass.size(); ++i)
        ASSERT_FLOAT_EQ (t.bass[i].x, static_cast<float> (i / 2));
}

TEST (ScopeCapture, EachColumnDrawsItsExtremesInTheOrderTheyCame)
{
    // The same square, flipping 10 samples into a column: the falling column draws high then
    // low, the rising one low then high.
    TransportRig rig;
    const auto late = [] (std::int64_t n) { return halfBeatSquare (n + 24000 - 10); };
    rig.run (3 * 24000, late);
    const auto t = tracesOf (rig.processor());
    const float high = kCentre - kCentre * 0.5f, low = kCentre + kCentre * 0.5f;
    EXPECT_EQ (column (t.bass, 316), std::make_pair (high, low));
    EXPECT_EQ (column (t.bass, 0), std::make_pair (low, high));
}

TEST (ScopeCapture, ValuesBeyondFullScaleAreClampedToTheTraceRange)
{
    TransportRig rig;
    rig.run (2 * 24000, [] (std::int64_t n) { return n % 2 == 0 ? 3.0f : -7.0f; });
    const auto t = tracesOf (rig.processor());
    const auto c = column (t.bass, 200);
    EXPECT_FLOAT_EQ (std::min (c.first, c.second), 0.0f);
    EXPECT_FLOAT_EQ (std::max (c.first, c.second), 276.0f);
}

TEST (ScopeCapture, AKickTooQuietToDrawShowsTheCentreLine)
{
    TransportRig rig;
    rig.run (2 * 24000, halfBeatSquare, halfBeatSquare);
    ASSERT_NE (column (tracesOf (rig.processor()).kick, 100).first, kCentre);

    // The kick's smoothed level falls by a tenth per block: well below 0.001 within a second.
    rig.run (2 * 48000, halfBeatSquare, [] (std::int64_t) { return 0.0f; });
    const auto t = tracesOf (rig.processor());
    for (int c : { 0, 100, 400, 631 })
        EXPECT_EQ (column (t.kick, c), std::make_pair (kCentre, kCentre)) << c;
    EXPECT_NE (column (t.bass, 100).first, kCentre);
}

TEST (ScopeCapture, WithoutATransportTheSweepKeepsCyclingAtTheDivisionRate)
{
    // Stopped transport: the sweep runs free across one division (24000 samples at 120 BPM) and
    // starts over, so what comes in after the first sweeps still reaches the display.
    TransportRig rig ({ 120.0, 0.0, false });
    rig.run (5 * 24000, [] (std::int64_t) { return 0.25f; });
    rig.run (2 * 24000 + 100, [] (std::int64_t) { return -0.25f; });
    const auto t = tracesOf (rig.processor());
    const float y = kCentre + kCentre * 0.25f;
    for (int c : { 50, 300, 600 })
        EXPECT_EQ (column (t.bass, c), std::make_pair (y, y)) << c;

    // And the grid phase of the duck cycles with it.
    const auto& p = rig.processor();
    EXPECT_GE (p.getShapeViewCapture().getPlayhead(), 0.0f);
}

TEST (ScopeCapture, ChangingTheDivisionRestartsTheSweepWithFlatTraces)
{
    TransportRig rig;
    rig.run (2 * 24000, halfBeatSquare);
    ASSERT_NE (column (tracesOf (rig.processor()).bass, 400).first, kCentre);

    rig.processor().displayDivision = 4; // one bar
    rig.run (512, halfBeatSquare);
    // Only the columns the one block swept since (3.4 at 632 per bar) leave the centre line.
    const auto t = tracesOf (rig.processor());
    int drawn = 0;
    for (int c = 0; c < ScopeCapture::kColumns; ++c)
        drawn += column (t.bass, c) != std::make_pair (kCentre, kCentre) ? 1 : 0;
    EXPECT_LE (drawn, 5);
}

TEST (ScopeCapture, ThePublishedTracesHoldTheCurrentSweepLeftOfTheColumnAndThePreviousRightOfIt)
{
    TransportRig rig;
    rig.run (2 * 24000, [] (std::int64_t) { return 0.5f; });
    // Half a division of a new value: the left half shows it, the right half the last sweep.
    rig.run (12000, [] (std::int64_t) { return -0.5f; });
    const auto t = tracesOf (rig.processor());
    EXPECT_EQ (column (t.bass, 100).first, kCentre + 69.0f);
    EXPECT_EQ (column (t.bass, 500).first, kCentre - 69.0f);
}

TEST (ShapeViewCapture, LanesTakeTheExtremesOfEachColumnAndTheSmallestGain)
{
    juce::SpinLock lock;
    ShapeViewCapture s;
    s.prepare (48000.0, lock);
    s.beginBlock (1.0);
    const float phase = 100.5f / 631.0f; // column 100
    s.record ({ phase, 0.2f, 0.1f, -0.3f, 0.8f }, true, false, 0.0);
    s.record ({ phase, -0.4f, 2.0f, 0.6f, 0.5f }, true, false, 0.0);
    s.endBlock (true, true, 1.0f, lock);

    ShapeViewCapture::Lanes lanes;
    s.copySnapshot (lanes, lock);
    using L = ShapeViewCapture;
    EXPECT_FLOAT_EQ (lanes[L::bassInMin][100], -0.4f);
    EXPECT_FLOAT_EQ (lanes[L::bassInMax][100], 0.2f);
    EXPECT_FLOAT_EQ (lanes[L::bassOutMax][100], 1.0f); // clamped
    EXPECT_FLOAT_EQ (lanes[L::kickMin][100], -0.3f);
    EXPECT_FLOAT_EQ (lanes[L::kickMax][100], 0.6f);
    EXPECT_FLOAT_EQ (lanes[L::duckGainMin][100], 0.5f);
    EXPECT_FLOAT_EQ (lanes[L::duckGainMin][101], 1.0f);
    EXPECT_FLOAT_EQ (lanes[L::bassInMax][101], 0.0f);
    EXPECT_FLOAT_EQ (s.getPlayhead(), phase);
}

TEST (ShapeViewCapture, TheSnapshotIsTakenOnlyWhilePlaying)
{
    juce::SpinLock lock;
    ShapeViewCapture s;
    s.prepare (48000.0, lock);
    s.beginBlock (1.0);
    s.record ({ 0.5f, 0.7f, 0.7f, 0.7f, 0.3f }, true, false, 0.0);
    s.endBlock (true, false, 1.0f, lock);
    ShapeViewCapture::Lanes lanes;
    s.copySnapshot (lanes, lock);
    EXPECT_FLOAT_EQ (lanes[ShapeViewCapture::bassInMax][315], 0.0f);
}

TEST (ShapeViewCapture, ReadoutsInDecibelsWithTheirFloor)
{
    struct Case
    {
        float gain, autoGain, grDb, autoDb;
    };
    for (const auto& c : { Case { 0.5f, 2.0f, 6.0206f, 6.0206f }, Case { 0.0f, 0.0f, 80.0f, -80.0f },
                           Case { 1.0f, 1.0f, 0.0f, 0.0f } })
    {
        juce::SpinLock lock;
        ShapeViewCapture s;
        s.prepare (48000.0, lock);
        s.beginBlock (1.0);
        s.record ({ 0.0f, 0.0f, 0.0f, 0.0f, 1.0f }, true, false, 0.0);
        s.record ({ 0.0f, 0.0f, 0.0f, 0.0f, c.gain }, true, false, 0.0);
        s.endBlock (true, true, c.autoGain, lock);
        EXPECT_NEAR (s.getGainReductionDb(), c.grDb, 1.0e-3) << c.gain;
        EXPECT_NEAR (s.getAutoLevelDb(), c.autoDb, 1.0e-3) << c.autoGain;
    }
}

TEST (ShapeViewCapture, TheWindowOffsetIsTheDuckPhaseAtTheWindowStart)
{
    // Windows of one beat against a duck cycle of one bar: the offsets step through quarters.
    TransportRig rig;
    rig.harness.setParameter ("dowsenOn", 1.0f);
    rig.harness.setParameter ("scRate", 4.0f);
    const auto& view = rig.processor().getShapeViewCapture();
    rig.run (24000 + 2000, {});
    EXPECT_NEAR (view.getWindowOffset(), 0.25f, 1.0e-6);
    rig.run (2 * 24000, {});
    EXPECT_NEAR (view.getWindowOffset(), 0.75f, 1.0e-6);
    rig.run (24000, {});
    EXPECT_NEAR (view.getWindowOffset(), 0.0f, 1.0e-6);
}

TEST (ShapeViewCapture, TheBandBanksLightTheBandsOfTheirSignal)
{
    // A 30 Hz kick and a 250 Hz bass: each bank's loudest band is its own.
    TransportRig rig;
    rig.harness.setParameter ("dowsenOn", 1.0f);
    rig.harness.setParameter ("duckDepth", 0.0f);
    rig.run (48000, signals::sineAt (250.0), signals::sineAt (30.0));
    const auto& view = rig.processor().getShapeViewCapture();
    const auto loudest = [&] (int first)
    {
        int best = 0;
        for (int b = 1; b < 16; ++b)
            if (view.getBandLevel (first + b) > view.getBandLevel (first + best))
                best = b;
        return best;
    };
    EXPECT_EQ (loudest (0), 0);   // kick: 30 Hz is band 0
    EXPECT_EQ (loudest (16), 11); // bass: 30 * 1.2063^11 = 236 Hz is the band nearest 250 Hz
}

TEST (TransportJumpDetector, ResetsOnSyncSidechainChangesAndJumpsButNotOnStopsOrLoops)
{
    constexpr double rate = 48000.0;
    constexpr int block = 512; // 0.021333 beat at 120 BPM
    const double blockBeats = block * 120.0 / 60.0 / rate;
    const auto playingAt = [] (double ppq)
    {
        TransportSnapshot t;
        t.playing = t.hasPosition = true;
        t.ppq = ppq;
        return t;
    };

    TransportJumpDetector d;
    EXPECT_TRUE (d.check (playingAt (0.0), true, block, rate)); // just became synced
    EXPECT_FALSE (d.check (playingAt (blockBeats), true, block, rate));
    EXPECT_FALSE (d.check (playingAt (2 * blockBeats + 0.0009), true, block, rate)); // within 0.001
    EXPECT_TRUE (d.check (playingAt (4.0), true, block, rate));                      // relocated
    EXPECT_TRUE (d.check (playingAt (4.0 + blockBeats), false, block, rate));        // sidechain gone

    // A loop from 0 to 8: coming back to 0 after a block predicted to end at 8.0 is no jump.
    auto looped = playingAt (8.0 - blockBeats);
    looped.looping = true;
    looped.loopEndPpq = 8.0;
    d.check (looped, false, block, rate);
    looped.ppq = 0.0;
    EXPECT_FALSE (d.check (looped, false, block, rate));

    // Stopping resets nothing; neither does staying stopped. Playing again does.
    TransportSnapshot stopped;
    stopped.hasPosition = true;
    EXPECT_FALSE (d.check (stopped, false, block, rate));
    EXPECT_FALSE (d.check (stopped, false, block, rate));
    EXPECT_TRUE (d.check (stopped, true, block, rate)); // the sidechain came back
    EXPECT_TRUE (d.check (playingAt (0.0), true, block, rate));
}
