#include "analysis/PhaseFollowRuntime.h"
#include "helpers/TransportRig.h"
#include "processor/AllPassFilter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

namespace
{
constexpr int kSecond = 48000;

// A kick on every beat at 120 BPM: a pitch-swept sine decaying over 250 ms, then silence until
// the next hit (where a switch without lookahead can happen).
float kick (std::int64_t n)
{
    const double t = static_cast<double> (n % 24000) / 48000.0;
    if (t >= 0.25)
        return 0.0f;
    const double phase = 2.0 * std::numbers::pi * (50.0 * t + 60.0 * 0.03 * (1.0 - std::exp (-t / 0.03)));
    return static_cast<float> (0.6 * std::sin (phase) * std::exp (-t / 0.1) * std::min (1.0, (0.25 - t) / 0.02));
}

// The kick through an all-pass, precomputed so both are the same sample for sample.
std::vector<float> rotatedKick (int length, float hz, float q)
{
    AllPassFilter f (48000.0, hz, q, true);
    std::vector<float> v (static_cast<size_t> (length));
    for (int i = 0; i < length; ++i)
        v[static_cast<size_t> (i)] = f.processSample (kick (i));
    return v;
}

// Rendered offline, so every analysis lands in the block that published its capture and the
// outcome does not depend on how fast the worker thread happens to run.
struct FollowRig
{
    FollowRig() : bass (rotatedKick (kLength, 90.0f, 0.707f))
    {
        rig.processor().setNonRealtime (true);
        rig.harness.setParameter ("phaseFollow", 1.0f);
        rig.harness.setParameter ("phaseFollowLookahead", 0.0f);
    }
    LumettaAudioProcessor& p() { return rig.processor(); }

    // Plays `seconds` of the rotated bass against the kick, noting the status every 20 ms and the
    // output.
    void play (double seconds)
    {
        const TransportRig::Signal b = [this] (std::int64_t n) { return bass[static_cast<size_t> (n % kLength)]; };
        for (int step = 0; step < static_cast<int> (seconds * 50.0); ++step)
        {
            rig.run (960, b, kick);
            statuses.addIfNotAlreadyThere (p().getPhaseFollowStatusText());
        }
    }

    static constexpr int kLength = 4 * kSecond;
    std::vector<float> bass;
    juce::StringArray statuses;
    TransportRig rig;
};

PhaseFollowResult improvingResult (const PhaseFollowRuntime& r, std::uint64_t sequence, float improvement, float hz)
{
    PhaseFollowResult result;
    result.valid = result.improved = true;
    result.epoch = r.getEpoch();
    result.sequence = sequence;
    result.settingsInEffect = r.getFollowSettings();
    result.allPassOn = true;
    result.allPassFreqHz = hz;
    result.beforePercent = 40.0f;
    result.afterPercent = 40.0f + improvement;
    result.improvement = improvement;
    return result;
}
} // namespace

TEST (PhaseFollowRuntime, FollowsARotatedBassAndTheLowEndRises)
{
    // The bass is the kick turned by an all-pass at 90 Hz: as it is, the two nearly cancel.
    FollowRig f;
    f.play (1.0);
    const float before = f.p().getPostMeterReading().percent;
    ASSERT_EQ (f.p().getPostMeterReading().state, PhaseMeterState::Valid);
    EXPECT_LT (before, 30.0f);

    f.play (5.0);
    const auto playing = f.p().getPlayingFollowCorrection();
    EXPECT_TRUE (playing.allPassOn);
    // The meter smooths over 1.75 s and hears whole notes, sweep and tail included.
    EXPECT_GT (f.p().getPostMeterReading().percent, before + 35.0f);
    EXPECT_TRUE (f.statuses.contains ("Acquiring")) << f.statuses.joinIntoString (", ");
    EXPECT_TRUE (f.statuses.contains ("Following")) << f.statuses.joinIntoString (", ");
    // The manual settings, the saved baseline, are untouched.
    EXPECT_FALSE (f.p().allPassOn.load());
    EXPECT_FALSE (f.p().polarityFlip.load());
}

TEST (PhaseFollowRuntime, SwitchesWithoutAClick)
{
    // Around every switch the output's largest sample-to-sample step stays within the input's own
    // largest step there, plus 0.002 of full scale: without lookahead whether the gaps between the
    // notes are silent or hold a faint noise floor (0.0003), and through the lookahead's crossfades.
    struct Case
    {
        float floor;
        bool lookahead;
    };
    for (const auto [floor, lookahead] : { Case { 0.0f, false }, Case { 0.0003f, false }, Case { 0.0003f, true } })
    {
        FollowRig f;
        if (lookahead)
        {
            f.rig.harness.setParameter ("phaseFollowLookahead", 1.0f);
            f.rig.harness.prepare (48000.0, 512);
        }
        constexpr int block = 64, length = 6 * kSecond;
        const int latency = f.p().getLatencySamples();
        const auto shift = static_cast<size_t> (latency);
        std::vector<float> in (static_cast<size_t> (length)), out (static_cast<size_t> (length));
        std::vector<int> switches;
        juce::AudioBuffer<float> buffer (3, block);
        auto last = f.p().getPlayingFollowCorrection();
        std::uint32_t noise = 1;
        for (int start = 0; start < length; start += block)
        {
            for (int i = 0; i < block; ++i)
            {
                noise = noise * 1664525u + 1013904223u;
                const auto n = static_cast<size_t> (start + i);
                in[n] = f.bass[n % FollowRig::kLength] + floor * (static_cast<float> (noise >> 8) / 8388608.0f - 1.0f);
                buffer.setSample (0, i, in[n]);
                buffer.setSample (1, i, in[n]);
                buffer.setSample (2, i, kick (start + i));
            }
            f.rig.harness.processBlock (buffer);
            for (int i = 0; i < block; ++i)
                out[static_cast<size_t> (start + i)] = buffer.getSample (0, i);
            const auto now = f.p().getPlayingFollowCorrection();
            if (now.allPassOn != last.allPassOn || now.flip != last.flip || ! juce::exactlyEqual (now.allPassFreqHz, last.allPassFreqHz))
                switches.push_back (start);
            last = now;
        }
        ASSERT_FALSE (switches.empty()) << floor << " " << lookahead;
        for (const int at : switches)
        {
            float outStep = 0.0f, inStep = 0.0f;
            for (int i = std::max (at - 512, latency + 1); i < std::min (at + 576, length); ++i)
            {
                const auto k = static_cast<size_t> (i);
                outStep = std::max (outStep, std::abs (out[k] - out[k - 1]));
                inStep = std::max (inStep, std::abs (in[k - shift] - in[k - shift - 1]));
            }
            EXPECT_LE (outStep, inStep + 0.002f) << "switch in the block at " << at << ", noise floor " << floor << ", lookahead " << lookahead;
        }
    }
}

TEST (PhaseFollowRuntime, OneWindowOfTenPointsIsNotPlayedTwoAgreeingOrOneOfTwelveAre)
{
    struct Case
    {
        std::vector<std::pair<float, float>> windows; // improvement, frequency
        bool candidate;
    };
    const Case cases[] {
        { { { 10.0f, 90.0f } }, false },
        { { { 10.0f, 90.0f }, { 10.0f, 100.0f } }, true },  // within 15 Hz: they agree
        { { { 10.0f, 90.0f }, { 10.0f, 120.0f } }, false }, // 30 Hz apart: a new proposal
        { { { 12.0f, 90.0f } }, true },
        { { { 4.0f, 90.0f }, { 4.0f, 90.0f } }, false },    // below 5 points nothing counts
    };
    for (const auto& c : cases)
    {
        PhaseFollowRuntime r;
        r.prepare (48000.0);
        PhaseFollowRuntime::BlockSettings s;
        s.followOn = s.sidechainPresent = true;
        r.beginBlock (s);
        std::uint64_t sequence = 0;
        for (const auto& [improvement, hz] : c.windows)
            r.judge (improvingResult (r, ++sequence, improvement, hz));
        EXPECT_EQ (r.hasCandidate(), c.candidate) << c.windows.size() << " windows, first " << c.windows[0].first;
        EXPECT_TRUE (! c.candidate || r.getCandidate().allPassOn);
    }
}

TEST (PhaseFollowRuntime, ResultsOfAnotherEpochSequenceOrDelayAreNotUsed)
{
    PhaseFollowRuntime r;
    r.prepare (48000.0);
    PhaseFollowRuntime::BlockSettings s;
    s.followOn = s.sidechainPresent = true;
    r.beginBlock (s);

    auto stale = improvingResult (r, 1, 20.0f, 90.0f);
    stale.epoch = r.getEpoch() + 1;
    r.judge (stale);
    EXPECT_FALSE (r.hasCandidate());

    // A proposal measured at another delay than the manual one plays is refused.
    auto otherDelay = improvingResult (r, 2, 20.0f, 90.0f);
    otherDelay.settingsInEffect.delayMs = 2.0f;
    r.judge (otherDelay);
    EXPECT_FALSE (r.hasCandidate());

    r.judge (improvingResult (r, 3, 20.0f, 90.0f));
    ASSERT_TRUE (r.hasCandidate());
    r.judge (improvingResult (r, 3, 20.0f, 90.0f)); // the same sequence again is ignored
    EXPECT_TRUE (r.hasCandidate());
}

TEST (PhaseFollowRuntime, MovingTheDelayStartsOverFromAcquiring)
{
    FollowRig f;
    f.play (3.0);
    ASSERT_TRUE (f.p().getPlayingFollowCorrection().allPassOn);
    f.rig.harness.setParameter ("delayMs", 1.0f);
    f.rig.run (512, [&] (std::int64_t n) { return f.bass[static_cast<size_t> (n % FollowRig::kLength)]; }, kick);
    EXPECT_EQ (f.p().getPhaseFollowStatusText(), "Acquiring");
}

TEST (PhaseFollowRuntime, SwitchingFollowOffRestoresTheManualSettings)
{
    FollowRig f;
    f.play (3.0);
    ASSERT_TRUE (f.p().getPlayingFollowCorrection().allPassOn);
    f.rig.harness.setParameter ("phaseFollow", 0.0f);
    f.statuses.clear();
    f.play (2.0);
    EXPECT_TRUE (f.statuses.contains ("Restoring")) << f.statuses.joinIntoString (", ");
    EXPECT_EQ (f.p().getPhaseFollowStatusText(), "Off");
    EXPECT_FALSE (f.p().getPlayingFollowCorrection().allPassOn);
}

TEST (PhaseFollowRuntime, AStateRestoreEndsOnTheManualSettings)
{
    FollowRig f;
    f.play (3.0);
    ASSERT_TRUE (f.p().getPlayingFollowCorrection().allPassOn);
    juce::MemoryBlock state;
    f.p().getStateInformation (state);
    f.p().setStateInformation (state.getData(), static_cast<int> (state.getSize()));
    f.rig.harness.setParameter ("phaseFollow", 0.0f); // so no new correction follows
    f.play (2.0);
    EXPECT_FALSE (f.p().getPlayingFollowCorrection().allPassOn);
    EXPECT_EQ (f.p().getPhaseFollowStatusText(), "Off");
}

TEST (PhaseFollowRuntime, OfflineRendersAreBitIdentical)
{
    for (const bool lookahead : { false, true })
    {
    const auto render = [lookahead]
    {
        FollowRig f;
        if (lookahead)
        {
            f.rig.harness.setParameter ("phaseFollowLookahead", 1.0f);
            f.rig.harness.prepare (48000.0, 512);
        }
        juce::AudioBuffer<float> bass (2, 4 * kSecond), kickBuffer (1, 4 * kSecond);
        for (int i = 0; i < bass.getNumSamples(); ++i)
        {
            bass.setSample (0, i, f.bass[static_cast<size_t> (i)]);
            bass.setSample (1, i, f.bass[static_cast<size_t> (i)]);
            kickBuffer.setSample (0, i, kick (i));
        }
        auto out = f.rig.harness.run (bass, &kickBuffer);
        EXPECT_TRUE (f.p().getPlayingFollowCorrection().allPassOn);
        return out;
    };
    const auto a = render(), b = render();
    for (int i = 0; i < a.getNumSamples(); ++i)
        ASSERT_EQ (std::memcmp (a.getReadPointer (0) + i, b.getReadPointer (0) + i, sizeof (float)), 0) << i << " " << lookahead;
    }
}

TEST (PhaseFollowRuntime, InRealTimeItNeitherAllocatesNorLocks)
{
    // The harness fails the test on any allocation or blocking lock inside processBlock.
    FollowRig f;
    f.p().setNonRealtime (false);
    f.play (3.0);
    EXPECT_NE (f.p().getPhaseFollowStatusText(), "Off");
}

TEST (PhaseFollowRuntime, WithLookaheadThePlannerTurnsTheBassAndTheOutputKeepsTheLatency)
{
    FollowRig f;
    f.rig.harness.setParameter ("phaseFollowLookahead", 1.0f);
    // The lookahead latency waits for a stopped transport and silence.
    const TransportRig::Signal silence = [] (std::int64_t) { return 0.0f; };
    f.rig.setTransport ({ 120.0, 0.0, false });
    f.rig.run (kSecond, silence, silence);
    f.p().timerCallback();
    ASSERT_EQ (f.p().getAppliedLatency(), 18432);
    EXPECT_EQ (f.p().getLatencySamples(), 18432);

    f.rig.setTransport ({ 120.0, 0.0, true });
    f.play (1.0);
    const float before = f.p().getPostMeterReading().percent;
    f.play (5.0);
    EXPECT_TRUE (f.p().getPlayingFollowCorrection().allPassOn);
    EXPECT_TRUE (f.statuses.contains ("Following")) << f.statuses.joinIntoString (", ");
    EXPECT_GT (f.p().getPostMeterReading().percent, before + 20.0f) << before;
}

TEST (PhaseFollowRuntime, WithLookaheadInRealTimeItNeitherAllocatesNorLocks)
{
    // Prepared with FOLLOW and lookahead on, the lookahead latency applies from the start.
    FollowRig f;
    f.rig.harness.setParameter ("phaseFollowLookahead", 1.0f);
    f.p().setNonRealtime (false);
    f.rig.harness.prepare (48000.0, 512);
    ASSERT_EQ (f.p().getLatencySamples(), 18432);
    f.play (3.0);
    EXPECT_NE (f.p().getPhaseFollowStatusText(), "Off");
}

TEST (PhaseFollowRuntime, AKickTurnedByAnAllPassIsMatchedByThatAllPass)
{
    // The other way round the rotation has an exact answer: the same all-pass on the bass.
    FollowRig f;
    const auto rotated = rotatedKick (FollowRig::kLength, 90.0f, 0.707f);
    const TransportRig::Signal turnedKick = [&] (std::int64_t n) { return rotated[static_cast<size_t> (n % FollowRig::kLength)]; };
    for (int step = 0; step < 300; ++step)
        f.rig.run (960, kick, turnedKick);
    const auto playing = f.p().getPlayingFollowCorrection();
    EXPECT_TRUE (playing.allPassOn);
    EXPECT_FALSE (playing.flip);
    EXPECT_NEAR (playing.allPassFreqHz, 90.0f, 15.0f);
}

TEST (PhaseFollowRuntime, WithLookaheadARestoreOrADelayChangeHandsBackToTheManualSettings)
{
    for (const bool restore : { true, false })
    {
        FollowRig f;
        f.rig.harness.setParameter ("phaseFollowLookahead", 1.0f);
        f.rig.harness.prepare (48000.0, 512);
        f.play (4.0);
        ASSERT_TRUE (f.p().getPlayingFollowCorrection().allPassOn) << restore;
        if (restore)
        {
            juce::MemoryBlock state;
            f.p().getStateInformation (state);
            f.p().setStateInformation (state.getData(), static_cast<int> (state.getSize()));
        }
        else
            f.rig.harness.setParameter ("delayMs", 1.0f);
        f.statuses.clear();
        f.play (0.1);
        EXPECT_FALSE (f.p().getPlayingFollowCorrection().allPassOn) << restore;
        EXPECT_TRUE (f.statuses.contains ("Acquiring")) << f.statuses.joinIntoString (", ");
    }
}
