#include "analysis/PhaseFollowTrajectoryStream.h"
#include "analysis/PhaseFollowTransition.h"
#include "helpers/SignalVectors.h"
#include "helpers/RealtimeGuard.h"
#include "processor/AllPassFilter.h"

#include <gtest/gtest.h>
#include <juce_audio_basics/juce_audio_basics.h>

#include <cmath>
#include <functional>
#include <limits>
#include <numbers>
#include <thread>
#include <vector>

namespace
{
using signals::allPassed;
using Planner = PhaseFollowTrajectoryPlanner;
using Renderer = PhaseFollowTrajectoryRenderer;
using Stream = PhaseFollowTrajectoryStream;
using State = Planner::RendererState;

constexpr double kRate = 48000.0;
constexpr int kN = 384;   // 8 ms
constexpr int kHop = 3072; // 64 ms
constexpr int kD = 18432; // 384 ms

State stateFor (float hz, float q, bool allPassOn, bool flip = false)
{
    return Planner::makeState ({ hz, q, allPassOn, flip }, kRate, false);
}

Planner::Snapshot snapshotAt (std::uint64_t frame, const State& s, std::uint64_t id = 5, std::uint32_t key = 2)
{
    return { frame, id, frame, key, s };
}

Planner::Target targetAt (const Renderer& r, const State& s)
{
    Planner::Target t;
    t.frame = r.getFrame();
    t.streamId = r.getStreamId();
    t.appliedFrom = r.getAppliedFrom();
    t.endFrame = r.getFrame() + kHop;
    t.key = r.getKey();
    t.crossfadeLength = kN;
    t.state = s;
    return t;
}

// Two hits a second, each a sine swept down from 150 to 50 Hz under a decaying envelope, over a
// little low noise.
std::vector<float> kickLike (int count)
{
    const auto noise = signals::lowNoise (count, 17);
    std::vector<float> v (static_cast<size_t> (count));
    double phase = 0.0;
    for (int i = 0; i < count; ++i)
    {
        const int sinceHit = i % 24000;
        if (sinceHit == 0)
            phase = 0.0;
        const double t = sinceHit / kRate;
        phase += 2.0 * std::numbers::pi * (50.0 + 100.0 * std::exp (-t / 0.03)) / kRate;
        v[static_cast<size_t> (i)] = static_cast<float> (0.25 * std::exp (-t / 0.15) * std::sin (phase)) + 0.05f * noise[static_cast<size_t> (i)];
    }
    return v;
}

// Power of a + b through the 20 Hz high-pass and 200 Hz low-pass, over [from, to).
double bandSumPower (const std::vector<float>& a, const std::vector<float>& b, size_t from, size_t to)
{
    struct Biquad
    {
        double b0, b1, b2, a1, a2, x1 = 0, x2 = 0, y1 = 0, y2 = 0;
        double step (double x)
        {
            const double y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
            x2 = x1, x1 = x, y2 = y1, y1 = y;
            return y;
        }
    };
    const auto make = [] (double hz, bool high) {
        const double w = 2.0 * std::numbers::pi * hz / kRate, c = std::cos (w), alpha = std::sin (w) / (2.0 * 0.7071);
        const double a0 = 1.0 + alpha, g = high ? (1.0 + c) / 2.0 : (1.0 - c) / 2.0;
        return Biquad { g / a0, (high ? -2.0 : 2.0) * g / a0, g / a0, -2.0 * c / a0, (1.0 - alpha) / a0 };
    };
    auto hp = make (20.0, true), lp = make (200.0, false);
    double power = 0.0;
    for (size_t i = 0; i < to; ++i)
    {
        const double y = lp.step (hp.step (static_cast<double> (a[i]) + b[i]));
        if (i >= from)
            power += y * y;
    }
    return power;
}

// A stream at the processor's settings for 48 kHz and 512-sample blocks, fed the same bass and
// kick on both channels, with a manual path that renders through its own state.
struct Rig
{
    Stream stream;
    State manual = stateFor (100.0f, 0.707f, false);
    std::uint64_t frame = 5000;
    std::vector<float> out, outRight, manualOut, kickIn;
    bool drainEveryHop = true, waitForWorker = false;
    std::function<void (const Stream&)> afterFrame;

    Rig() { EXPECT_TRUE (stream.prepare (kRate, Stream::runtimeOptions (kRate, 512, 384.0))); }

    void run (const std::vector<float>& bass, const std::vector<float>& kick, size_t from, size_t to)
    {
        for (size_t i = from; i < to; ++i)
        {
            const auto before = manual;
            float ml = bass[i], mr = bass[i];
            Planner::process (manual, ml, mr);
            const auto o = stream.processFrame (frame++, bass[i], bass[i], kick[i], kick[i], { ml, mr, &before });
            out.push_back (o.left);
            outRight.push_back (o.right);
            manualOut.push_back (ml);
            kickIn.push_back (kick[i]);
            if (afterFrame)
                afterFrame (stream);
            if (drainEveryHop && (i + 1) % kHop == 0)
                stream.drain();
            // As in real time: the worker thread takes each job long before its frame plays.
            while (waitForWorker)
            {
                const auto c = stream.getCounters();
                if (c.jobsConsumed + c.jobsStale == c.jobsPublished)
                    break;
                std::this_thread::sleep_for (std::chrono::milliseconds (1));
            }
        }
    }

    // The manual rendering as the output should carry it: D samples late.
    float delayedManual (size_t i) const { return i < static_cast<size_t> (kD) ? 0.0f : manualOut[i - kD]; }
    float delayedKick (size_t i) const { return i < static_cast<size_t> (kD) ? 0.0f : kickIn[i - kD]; }
};
} // namespace

//==============================================================================
TEST (PhaseFollowTransition, PrepareSetsTheLengthsAndClearsTheDip)
{
    PhaseFollowTransition t;
    t.prepare (kRate);
    EXPECT_EQ (t.getShortLength(), 24);
    EXPECT_EQ (t.getVerificationLength(), 960);
    EXPECT_EQ (t.getRampLength(), 96);
    EXPECT_DOUBLE_EQ (t.getSmoothingCoefficient(), std::exp (-1.0 / 960.0));
    EXPECT_EQ (t.getGain(), 1.0f);
    EXPECT_FALSE (t.isActive());

    t.prepare (8000.0);
    EXPECT_EQ (t.getShortLength(), 8);
    EXPECT_EQ (t.getVerificationLength(), 160);
    EXPECT_EQ (t.getRampLength(), 16);
}

TEST (PhaseFollowTransition, DipFallsToSilenceSwapsOnceAndRises)
{
    PhaseFollowTransition t;
    t.prepare (kRate);
    t.quietRun = 5;
    t.beginDip();
    int swaps = 0, swapAt = -1;
    float previous = 1.0f;
    for (int i = 0; i < 96; ++i)
    {
        if (t.advance())
        {
            ++swaps;
            swapAt = i;
        }
        EXPECT_LE (t.getGain(), previous);
        previous = t.getGain();
    }
    EXPECT_EQ (swaps, 1);
    EXPECT_EQ (swapAt, 95);
    EXPECT_EQ (t.getGain(), 0.0f);
    for (int i = 0; i < 96; ++i)
    {
        EXPECT_FALSE (t.advance());
        EXPECT_GE (t.getGain(), previous);
        previous = t.getGain();
    }
    EXPECT_EQ (t.getGain(), 1.0f);
    EXPECT_FALSE (t.isActive());

    // Dropped halfway down: back up from where it was, without a swap.
    t.beginDip();
    for (int i = 0; i < 48; ++i)
        t.advance();
    const float reached = t.getGain();
    EXPECT_NEAR (reached, 0.5f, 1.0e-6f);
    t.cancelDip();
    bool swapped = false;
    for (int i = 0; i < 96; ++i)
        swapped = t.advance() || swapped;
    EXPECT_FALSE (swapped);
    EXPECT_EQ (t.getGain(), 1.0f);

    t.prepare (kRate);
    EXPECT_EQ (t.quietRun, 0);
}

//==============================================================================
TEST (PhaseFollowTrajectoryRenderer, PrepareRefusesRatesOutsideItsRange)
{
    Renderer r;
    for (const double rate : { 7999.0, 384001.0, std::numeric_limits<double>::quiet_NaN() })
    {
        EXPECT_FALSE (r.prepare (rate)) << rate;
        EXPECT_FALSE (r.rebase (snapshotAt (0, stateFor (100.0f, 0.707f, false)))) << rate;
    }
    ASSERT_TRUE (r.prepare (384000.0));
    EXPECT_FALSE (r.isActive());
    EXPECT_FALSE (r.getCurrentState().allPassOn);
    EXPECT_EQ (r.getCurrentState().allPassFreqHz, 100.0f);

    // Not active: the manual pair, non-finite counting as 0.
    float l = 1.0f, rr = 1.0f;
    r.render (0.3f, 0.3f, 0.25f, std::numeric_limits<float>::infinity(), l, rr);
    EXPECT_EQ (l, 0.25f);
    EXPECT_EQ (rr, 0.0f);
}

TEST (PhaseFollowTrajectoryRenderer, RefusedTargetsLeaveEverythingAsItWas)
{
    Renderer r;
    ASSERT_TRUE (r.prepare (kRate));
    ASSERT_TRUE (r.rebase (snapshotAt (1000, stateFor (100.0f, 0.707f, false))));
    const auto good = stateFor (90.0f, 0.707f, true);

    struct Case
    {
        const char* what;
        std::function<void (Planner::Target&)> change;
        int code;
    };
    const Case cases[] = {
        { "one frame late", [] (Planner::Target& t) { t.frame -= 1; }, Renderer::kOtherFrame },
        { "one frame early", [] (Planner::Target& t) { t.frame += 1; }, Renderer::kOtherFrame },
        { "another stream", [] (Planner::Target& t) { t.streamId += 1; }, Renderer::kOtherStream },
        { "another applied-from frame", [] (Planner::Target& t) { t.appliedFrom += 1; }, Renderer::kOtherAppliedFrom },
        { "ends where it starts", [] (Planner::Target& t) { t.endFrame = t.appliedFrom; }, Renderer::kOtherAppliedFrom },
        { "another key", [] (Planner::Target& t) { t.key += 1; }, Renderer::kOtherKey },
        { "polarity change", [] (Planner::Target& t) { t.state.flip = true; }, Renderer::kPolarityChange },
        { "three-sample crossfade", [] (Planner::Target& t) { t.crossfadeLength = 3; }, Renderer::kInvalidTarget },
        { "crossfade over a second", [] (Planner::Target& t) { t.crossfadeLength = 48001; }, Renderer::kInvalidTarget },
        { "invalid state", [] (Planner::Target& t) { t.state.singleFilter.b0 = 0.5f; }, Renderer::kInvalidTarget },
    };
    for (const auto& k : cases)
    {
        auto t = targetAt (r, good);
        k.change (t);
        const auto before = r.snapshot();
        EXPECT_EQ (r.beginTarget (t), k.code) << k.what;
        EXPECT_FALSE (r.isCrossfading()) << k.what;
        const auto after = r.snapshot();
        EXPECT_EQ (after.appliedFrom, before.appliedFrom) << k.what;
        EXPECT_TRUE (Planner::sameRendererState (after.state, before.state)) << k.what;
    }

    ASSERT_EQ (r.beginTarget (targetAt (r, good)), Renderer::kTargetAccepted);
    EXPECT_EQ (r.beginTarget (targetAt (r, good)), Renderer::kAlreadyCrossfading);

    Renderer idle;
    ASSERT_TRUE (idle.prepare (kRate));
    EXPECT_EQ (idle.beginTarget (targetAt (idle, good)), Renderer::kNotFollowing);
}

TEST (PhaseFollowTrajectoryRenderer, CrossfadeOfEightMillisecondsStartsAtItsFrameAndEndsOnTheTarget)
{
    const auto bass = signals::lowNoise (2000, 8);
    const auto from = stateFor (100.0f, 0.707f, false), to = stateFor (90.0f, 0.707f, true);
    Renderer r;
    ASSERT_TRUE (r.prepare (kRate));
    ASSERT_TRUE (r.rebase (snapshotAt (777, from)));

    // What each state alone plays; the target joins at its frame from its own state.
    auto alone = from, target = to;
    size_t i = 0;
    for (; i < 100; ++i)
    {
        float l = 0.0f, rr = 0.0f, el = bass[i], er = bass[i];
        r.render (bass[i], bass[i], 0.0f, 0.0f, l, rr);
        Planner::process (alone, el, er);
        ASSERT_EQ (l, el);
    }
    ASSERT_EQ (r.getFrame(), 877u);
    const auto t = targetAt (r, to);
    ASSERT_EQ (r.beginTarget (t), Renderer::kTargetAccepted);
    EXPECT_EQ (r.getAppliedFrom(), t.endFrame);

    for (int p = 0; p < kN; ++p, ++i)
    {
        float l = 0.0f, rr = 0.0f, cl = bass[i], cr = bass[i], tl = bass[i], tr = bass[i];
        r.render (bass[i], bass[i], 0.0f, 0.0f, l, rr);
        Planner::process (alone, cl, cr);
        Planner::process (target, tl, tr);
        if (p < 2)
        {
            ASSERT_EQ (l, cl) << p;
        }
        else if (p == kN - 1)
        {
            ASSERT_EQ (l, tl) << p;
        }
        else
        {
            const float w = Planner::crossfadeWeight (p, kN);
            ASSERT_EQ (l, (1.0f - w) * cl + w * tl) << p;
            ASSERT_GT (w, 0.0f);
            ASSERT_LT (w, 1.0f);
        }
        ASSERT_EQ (r.isCrossfading(), p < kN - 1) << p;
    }
    EXPECT_TRUE (Planner::sameRendererState (r.getCurrentState(), target));
    float l = 0.0f, rr = 0.0f, tl = bass[i], tr = bass[i];
    r.render (bass[i], bass[i], 0.0f, 0.0f, l, rr);
    Planner::process (target, tl, tr);
    EXPECT_EQ (l, tl);
}

TEST (PhaseFollowTrajectoryRenderer, ExitEndsOnTheManualPairAndTakesTheExitIdentity)
{
    const auto bass = signals::lowNoise (1000, 6);
    Renderer r;
    ASSERT_TRUE (r.prepare (kRate));
    ASSERT_TRUE (r.rebase (snapshotAt (0, stateFor (120.0f, 1.0f, true), 5)));
    for (size_t i = 0; i < 50; ++i)
    {
        float l, rr;
        r.render (bass[i], bass[i], -bass[i], -bass[i], l, rr);
    }
    ASSERT_TRUE (r.beginExit (kN, 9));
    EXPECT_FALSE (r.beginExit (kN, 10));
    EXPECT_EQ (r.beginTarget (targetAt (r, stateFor (90.0f, 0.707f, true))), Renderer::kNotFollowing);
    for (size_t i = 50; i < 50 + kN; ++i)
    {
        float l, rr;
        r.render (bass[i], bass[i], -bass[i], 0.5f, l, rr);
        if (i == 50 + kN - 1)
        {
            EXPECT_EQ (l, -bass[i]);
            EXPECT_EQ (rr, 0.5f);
        }
    }
    EXPECT_TRUE (r.isFinished());
    EXPECT_EQ (r.getStreamId(), 9u);
    float l, rr;
    r.render (0.7f, 0.7f, 0.1f, 0.2f, l, rr);
    EXPECT_EQ (l, 0.1f);
    EXPECT_EQ (rr, 0.2f);

    // Only a snapshot for the exit identity and this frame restarts it.
    const auto again = stateFor (100.0f, 0.707f, false);
    EXPECT_FALSE (r.rebase (snapshotAt (r.getFrame(), again, 5)));
    EXPECT_FALSE (r.rebase (snapshotAt (r.getFrame() + 1, again, 9)));
    auto broken = again;
    broken.allPassQ = 0.0f;
    EXPECT_FALSE (r.rebase (snapshotAt (r.getFrame(), broken, 9)));
    EXPECT_TRUE (r.rebase (snapshotAt (r.getFrame(), again, 9)));
    EXPECT_TRUE (r.isFollowing());
}

//==============================================================================
TEST (PhaseFollowTrajectoryStream, PrepareRefusesWhatTheLookaheadCannotCarry)
{
    const auto good = Stream::runtimeOptions (kRate, 512, 384.0);
    EXPECT_EQ (good.jobCount, 4);
    EXPECT_EQ (good.decisionCount, 8);
    EXPECT_EQ (Stream::runtimeOptions (kRate, 32768, 1576.0).jobCount, 14);
    EXPECT_EQ (Stream::runtimeOptions (kRate, 32768, 1576.0).decisionCount, 18);

    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case
    {
        const char* what;
        double rate;
        std::function<void (Stream::Options&)> change;
    };
    const Case cases[] = {
        { "lookahead below history, hop, future and guard", kRate, [] (Stream::Options& o) { o.lookaheadMs = 329.9; } },
        { "lookahead above 10 s", kRate, [] (Stream::Options& o) { o.lookaheadMs = 10000.1; } },
        { "NaN lookahead", kRate, [&] (Stream::Options& o) { o.lookaheadMs = nan; } },
        { "rate above 192 kHz", 192001.0, [] (Stream::Options&) {} },
        { "rate below 8 kHz", 7999.0, [] (Stream::Options&) {} },
        { "no jobs", kRate, [] (Stream::Options& o) { o.jobCount = 0; } },
        { "129 jobs", kRate, [] (Stream::Options& o) { o.jobCount = 129; } },
        { "129 decisions", kRate, [] (Stream::Options& o) { o.decisionCount = 129; } },
        { "negative guard", kRate, [] (Stream::Options& o) { o.guardMs = -1.0; } },
        { "guard above 20 ms", kRate, [] (Stream::Options& o) { o.guardMs = 20.5; } },
        { "planner refuses", kRate, [] (Stream::Options& o) { o.planner.mode = 3; } },
        { "crossfade of three samples", 8000.0, [] (Stream::Options& o) { o.planner.crossfadeMs = 0.375; } },
        { "lookahead shorter than history, hop, future and guard", kRate, [] (Stream::Options& o) { o.planner.futureMs = 200.0; } },
        { "256 MiB of state", 192000.0, [] (Stream::Options& o) { o.lookaheadMs = 10000.0; o.jobCount = 128; } },
    };
    for (const auto& k : cases)
    {
        auto o = good;
        k.change (o);
        Stream s;
        EXPECT_FALSE (s.prepare (k.rate, o)) << k.what;
        EXPECT_FALSE (s.isPrepared()) << k.what;
    }
    Stream s;
    // The processor's 384 ms less the alignment stage's 20 ms.
    EXPECT_TRUE (s.prepare (kRate, Stream::runtimeOptions (kRate, 512, 364.0)));
    ASSERT_TRUE (s.prepare (kRate, good));
    EXPECT_EQ (s.getLookaheadSamples(), kD);
    ASSERT_TRUE (s.prepare (192000.0, Stream::runtimeOptions (192000.0, 512, 384.0)));
    EXPECT_FALSE (s.prepare (kRate, Stream::runtimeOptions (kRate, 512, 300.0)));
    EXPECT_FALSE (s.isPrepared());
    EXPECT_EQ (s.processFrame (0, 1.0f, 1.0f, 1.0f, 1.0f, {}).left, 0.0f);
}

TEST (PhaseFollowTrajectoryStream, OutputIsTheInputDelayedWhileNothingChanges)
{
    // The manual rotation already turns the bass into the kick: there is nothing to improve, so
    // following plays the manual rendering, to the bit, from the frame it starts on.
    const auto bass = kickLike (96000);
    const auto kick = allPassed (bass, 80.0f, 1.2f);
    Rig rig;
    rig.manual = stateFor (80.0f, 1.2f, true);
    rig.run (bass, kick, 0, 30000);
    rig.stream.setFollowing (true);
    rig.run (bass, kick, 30000, kick.size());

    EXPECT_TRUE (rig.stream.isFollowActive());
    for (size_t i = 0; i < rig.out.size(); ++i)
        ASSERT_EQ (rig.out[i], rig.delayedManual (i)) << i;
    EXPECT_EQ (rig.out[kD - 1], 0.0f);
    const auto c = rig.stream.getCounters();
    EXPECT_GT (c.plansNoChange, 5u);
    EXPECT_EQ (c.plansTarget, 0u);
    EXPECT_EQ (c.jobsDropped, 0u);
}

TEST (PhaseFollowTrajectoryStream, ConvergesToARotationThatImprovesTheLowBandSum)
{
    const int count = 3 * 48000;
    const auto kick = kickLike (count);
    const auto bass = allPassed (kick, 90.0f, 0.707f);
    Rig rig;
    rig.stream.setFollowing (true);
    rig.run (bass, kick, 0, static_cast<size_t> (count));

    const auto c = rig.stream.getCounters();
    EXPECT_GE (c.plansTarget, 1u);
    EXPECT_GE (c.decisionsApplied, 1u);
    EXPECT_TRUE (rig.stream.getPlayingState().allPassOn);

    // Over the last second: the kick (as delayed as the output) against what plays.
    std::vector<float> kickAtOutput (rig.out.size()), manualAtOutput (rig.out.size());
    for (size_t i = 0; i < rig.out.size(); ++i)
    {
        kickAtOutput[i] = rig.delayedKick (i);
        manualAtOutput[i] = rig.delayedManual (i);
    }
    const size_t from = rig.out.size() - 48000, to = rig.out.size();
    const double follow = bandSumPower (kickAtOutput, rig.out, from, to);
    const double manual = bandSumPower (kickAtOutput, manualAtOutput, from, to);
    EXPECT_GT (10.0 * std::log10 (follow / manual), 0.5);
}

TEST (PhaseFollowTrajectoryStream, EveryPlanStartsFromWhatReallyPlaysAndChangesExactlyAtItsFrame)
{
    const int count = 3 * 48000;
    const auto kick = kickLike (count);
    const auto bass = allPassed (kick, 90.0f, 0.707f);
    Rig rig;

    // Every crossfade the real renderer plays: where it starts and how long it runs.
    struct Crossfade
    {
        std::uint64_t start = 0, appliedFrom = 0;
        int length = 0;
        State target;
        bool endedOnTarget = false;
    };
    std::vector<Crossfade> crossfades;
    bool was = false;
    rig.afterFrame = [&] (const Stream& s) {
        const auto& r = s.getRenderer();
        if (r.isCrossfading() && ! was)
            crossfades.push_back ({ r.getFrame() - 1, r.getAppliedFrom(), 0, r.getTargetState() });
        if (r.isCrossfading() || was)
            ++crossfades.back().length;
        if (was && ! r.isCrossfading())
        {
            const auto& now = r.getCurrentState();
            const auto& target = crossfades.back().target;
            crossfades.back().endedOnTarget = now.allPassOn == target.allPassOn
                                              && std::equal_to<float>() (now.allPassFreqHz, target.allPassFreqHz)
                                              && std::equal_to<float>() (now.allPassQ, target.allPassQ);
        }
        was = r.isCrossfading();
    };
    rig.stream.setFollowing (true);
    rig.run (bass, kick, 0, static_cast<size_t> (count));

    // The stream checks the worker's prediction against the real renderer at every decision
    // frame: none failed (the only resynchronisations are the first frame and the start).
    const auto c = rig.stream.getCounters();
    EXPECT_EQ (c.resyncs, 2u);
    EXPECT_GE (c.decisionsVerified, 20u);
    EXPECT_EQ (c.jobsDropped, 0u);

    ASSERT_FALSE (crossfades.empty());
    const std::uint64_t firstDecision = 5000 + 6144; // the first frame plus the history
    for (const auto& x : crossfades)
    {
        EXPECT_EQ ((x.start - firstDecision) % kHop, 0u) << x.start;
        EXPECT_EQ (x.appliedFrom, x.start + kHop);
        EXPECT_EQ (x.length, kN) << x.start;
        EXPECT_TRUE (x.endedOnTarget) << x.start;
    }

    // After a new epoch everything in flight is dropped and the worker starts over from a
    // snapshot: decisions are verified again.
    rig.stream.newEpoch();
    rig.run (bass, kick, 0, 48000);
    const auto after = rig.stream.getCounters();
    EXPECT_EQ (after.resyncs, 3u);
    EXPECT_GT (after.decisionsVerified, c.decisionsVerified + 5);
}

TEST (PhaseFollowTrajectoryStream, WorkerPredictsWhatPlaysWhereTheAudioThreadFlushesDenormals)
{
    // Hits followed by digital silence: the all-pass rings down through the denormal range,
    // which the audio thread flushes to zero. The worker must do the same, or its prediction of
    // the filter state parts from the real one. (The worker thread starts before the audio thread
    // changes its mode, as in a host.)
    Rig rig;
    const juce::ScopedNoDenormals noDenormals;
    const int count = 2 * 48000;
    auto source = kickLike (count);
    for (int i = 0; i < count; ++i)
        if (i % 24000 >= 6000)
            source[static_cast<size_t> (i)] = 0.0f;
    const auto bass = allPassed (source, 90.0f, 0.707f);
    rig.manual = stateFor (60.0f, 1.5f, true);
    rig.drainEveryHop = false;
    rig.waitForWorker = true;
    rig.stream.setFollowing (true);
    rig.run (bass, source, 0, static_cast<size_t> (count));

    const auto c = rig.stream.getCounters();
    EXPECT_EQ (c.resyncs, 2u);
    EXPECT_GE (c.decisionsVerified, 15u);
    EXPECT_GE (c.plansTooQuiet + c.plansNoChange, 1u);
}

TEST (PhaseFollowTrajectoryStream, ProcessFrameNeitherAllocatesNorLocks)
{
    const int count = 2 * 48000;
    const auto kick = kickLike (count);
    const auto bass = allPassed (kick, 90.0f, 0.707f);
    Rig rig;
    rig.stream.setFollowing (true);
    // Warm up so that every path (publication with a snapshot, decisions, crossfades) has run.
    rig.run (bass, kick, 0, 48000);
    rig.out.reserve (200000);
    rig.outRight.reserve (200000);
    rig.manualOut.reserve (200000);
    rig.kickIn.reserve (200000);

    // Under the guard: planning, changes, the end of following and a new start.
    long allocations = 0, locks = 0;
    rig.drainEveryHop = false;
    for (size_t i = 48000; i < static_cast<size_t> (count); i += kHop)
    {
        {
            const RealtimeGuard guard;
            if (i >= 60000 && i < 60000 + kHop)
                rig.stream.setFollowing (false);
            if (i >= 70000 && i < 70000 + kHop)
                rig.stream.setFollowing (true);
            rig.run (bass, kick, i, std::min (i + kHop, static_cast<size_t> (count)));
            allocations += guard.allocations();
            locks += guard.blockingLocks();
        }
        rig.stream.drain();
    }
    EXPECT_EQ (allocations, 0);
    EXPECT_EQ (locks, 0);
    EXPECT_GE (rig.stream.getCounters().decisionsApplied, 1u);
    EXPECT_TRUE (rig.stream.isFollowActive());
    EXPECT_EQ (rig.stream.getCounters().resyncs, 4u); // first frame, start, end, start again
}

TEST (PhaseFollowTrajectoryStream, DrainingEveryHopIsDeterministic)
{
    const int count = 2 * 48000;
    const auto kick = kickLike (count);
    const auto bass = allPassed (kick, 70.0f, 1.0f);
    const auto render = [&] {
        Rig rig;
        rig.stream.setFollowing (true);
        rig.run (bass, kick, 0, static_cast<size_t> (count));
        EXPECT_GE (rig.stream.getCounters().decisionsApplied, 1u);
        return rig.out;
    };
    const auto a = render(), b = render();
    ASSERT_EQ (a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i)
        ASSERT_EQ (a[i], b[i]) << i;
}

TEST (PhaseFollowTrajectoryStream, EndingCrossfadesBackToTheManualRenderingAndCanStartAgain)
{
    const int count = 3 * 48000;
    const auto kick = kickLike (count);
    const auto bass = allPassed (kick, 90.0f, 0.707f);
    Rig rig;
    rig.stream.setFollowing (true);
    rig.run (bass, kick, 0, 100000);
    ASSERT_TRUE (rig.stream.isFollowActive());
    ASSERT_GE (rig.stream.getCounters().decisionsApplied, 1u);

    rig.stream.setFollowing (false);
    rig.run (bass, kick, 100000, 100000 + kN);
    EXPECT_TRUE (rig.stream.hasExitFinished());
    EXPECT_FALSE (rig.stream.isFollowActive());
    // From the last frame of the crossfade on, the output is the manual rendering exactly.
    rig.run (bass, kick, 100000 + kN, 110000);
    for (size_t i = 100000 + kN - 1; i < rig.out.size(); ++i)
        ASSERT_EQ (rig.out[i], rig.delayedManual (i)) << i;

    // Following again starts from the manual rendering once the start reaches the output.
    rig.stream.setFollowing (true);
    rig.run (bass, kick, 110000, 110000 + kD + 10);
    EXPECT_TRUE (rig.stream.isFollowActive());
    EXPECT_FALSE (rig.stream.hasExitFinished());
    rig.run (bass, kick, 110000 + kD + 10, static_cast<size_t> (count));
    EXPECT_EQ (rig.stream.getCounters().resyncs, 4u); // first frame, start, exit, start, and nothing else
}

TEST (PhaseFollowTrajectoryStream, NonFiniteInputNeverReachesTheOutput)
{
    auto kick = kickLike (60000);
    auto bass = allPassed (kick, 90.0f, 0.707f);
    for (size_t i = 20000; i < 20100; ++i)
    {
        bass[i] = std::numeric_limits<float>::quiet_NaN();
        kick[i + 3000] = std::numeric_limits<float>::infinity();
    }
    Rig rig;
    rig.stream.setFollowing (true);
    rig.run (bass, kick, 0, kick.size());
    for (size_t i = 0; i < rig.out.size(); ++i)
        ASSERT_TRUE (std::isfinite (rig.out[i]) && std::isfinite (rig.outRight[i])) << i;
}
