#include "analysis/PhaseFollowTrajectoryPlanner.h"
#include "helpers/SignalVectors.h"
#include "processor/AllPassFilter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <vector>

namespace
{
using signals::scaled;
using signals::allPassed;
using Planner = PhaseFollowTrajectoryPlanner;
using State = Planner::RendererState;

constexpr double kRate = 48000.0;
constexpr int kW = 6144, kH = 3072, kF = 6144, kN = 384, kSpan = kW + kH + kF;

State stateFor (float hz, float q, bool allPassOn, bool flip)
{
    return Planner::makeState ({ hz, q, allPassOn, flip }, kRate, false);
}

// One decision point over a whole span: the same bass and kick on both channels, and a rendered
// history that is the current rendering of the bass before the point.
struct PlanCase
{
    std::vector<float> bass, kick, rendered;
    State current;
    std::uint64_t frame = 100000;

    PlanCase (std::vector<float> b, std::vector<float> k, State cur = stateFor (100.0f, 0.707f, false, false))
        : bass (std::move (b)), kick (std::move (k)), current (cur)
    {
        // What was played before the point, and the current state as it stands at the point.
        rendered.resize (kW);
        for (int i = 0; i < kW; ++i)
        {
            float l = bass[static_cast<size_t> (i)], r = l;
            Planner::process (current, l, r);
            rendered[static_cast<size_t> (i)] = l;
        }
    }

    Planner::Input input() const
    {
        Planner::Input in;
        in.bass[0] = in.bass[1] = bass.data();
        in.kick[0] = in.kick[1] = kick.data();
        in.rendered[0] = in.rendered[1] = rendered.data();
        in.historyLength = kW;
        in.hopLength = kH;
        in.spanLength = kSpan;
        in.frame = frame;
        in.streamId = 7;
        in.appliedFrom = frame - 500;
        in.key = 3;
        in.current = current;
        return in;
    }
};

Planner prepared (const Planner::Config& config = {})
{
    Planner p;
    EXPECT_TRUE (p.prepare (kRate, config));
    return p;
}

// A low-band source whose all-passed copy is the kick: the all-pass candidate at exactly those
// settings reproduces the kick sample for sample.
PlanCase rotatedKick (float hz, float q, float level = 0.3f)
{
    const auto source = scaled (signals::lowNoise (kSpan, 11), level);
    return PlanCase (source, allPassed (source, hz, q));
}

bool sameBits (double a, double b)
{
    return std::memcmp (&a, &b, sizeof a) == 0;
}
} // namespace

//==============================================================================
TEST (PhaseFollowTrajectoryPlanner, PrepareDerivesTheSampleCounts)
{
    Planner p;
    ASSERT_TRUE (p.prepare (kRate, {}));
    EXPECT_EQ (p.getHistorySamples(), kW);
    EXPECT_EQ (p.getHopSamples(), kH);
    EXPECT_EQ (p.getFutureSamples(), kF);
    EXPECT_EQ (p.getCrossfadeSamples(), kN);

    // Rounded up for history, future and crossfade, to the nearest (half away) for the hop.
    ASSERT_TRUE (p.prepare (44100.0, {}));
    EXPECT_EQ (p.getHistorySamples(), 5645);
    EXPECT_EQ (p.getFutureSamples(), 5645);
    EXPECT_EQ (p.getCrossfadeSamples(), 353);
    EXPECT_EQ (p.getHopSamples(), 2822);
    Planner::Config c;
    c.maxHopMs = 1.0625; // 8.5 samples
    c.crossfadeMs = 0.5;
    ASSERT_TRUE (p.prepare (8000.0, c));
    EXPECT_EQ (p.getHopSamples(), 9);
    EXPECT_EQ (p.getCrossfadeSamples(), 4);
}

TEST (PhaseFollowTrajectoryPlanner, PrepareRefusesUnusableRatesAndConfigurations)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case
    {
        const char* what;
        double rate;
        void (*change) (Planner::Config&);
    };
    const Case cases[] = {
        { "rate below 8 kHz", 7999.0, [] (Planner::Config&) {} },
        { "rate above 768 kHz", 768001.0, [] (Planner::Config&) {} },
        { "NaN rate", nan, [] (Planner::Config&) {} },
        { "mode 2", kRate, [] (Planner::Config& c) { c.mode = 2; } },
        { "mode -1", kRate, [] (Planner::Config& c) { c.mode = -1; } },
        { "NaN pre-check", kRate, [] (Planner::Config& c) { c.minCandidatePrecheckDb = std::numeric_limits<double>::quiet_NaN(); } },
        { "history 11 ms", kRate, [] (Planner::Config& c) { c.historyMs = 11.0; } },
        { "history 1001 ms", kRate, [] (Planner::Config& c) { c.historyMs = 1001.0; } },
        { "future 11 ms", kRate, [] (Planner::Config& c) { c.futureMs = 11.0; } },
        { "hop 0.5 ms", kRate, [] (Planner::Config& c) { c.maxHopMs = 0.5; c.crossfadeMs = 0.1; } },
        { "hop 1001 ms", kRate, [] (Planner::Config& c) { c.maxHopMs = 1001.0; } },
        { "negative level change", kRate, [] (Planner::Config& c) { c.maxLevelChangeDb = -0.1; } },
        { "negative sum gain", kRate, [] (Planner::Config& c) { c.minSumGainDb = -0.1; } },
        { "negative normalised gain", kRate, [] (Planner::Config& c) { c.minNormalisedGainDb = -0.1; } },
        { "negative offset", kRate, [] (Planner::Config& c) { c.scoreOffset = -0.1; } },
        { "negative penalty", kRate, [] (Planner::Config& c) { c.crossfadePenalty = -0.1; } },
        { "zero crossfade", kRate, [] (Planner::Config& c) { c.crossfadeMs = 0.0; } },
        { "zero crossfade step", kRate, [] (Planner::Config& c) { c.maxCrossfadeStep = 0.0; } },
        { "hop shorter than crossfade", kRate, [] (Planner::Config& c) { c.maxHopMs = 7.0; } },
        { "crossfade of two samples", kRate, [] (Planner::Config& c) { c.crossfadeMs = 0.04; c.maxHopMs = 1.0; } },
    };
    for (const auto& k : cases)
    {
        Planner::Config c;
        k.change (c);
        Planner p;
        EXPECT_FALSE (p.prepare (k.rate, c)) << k.what;
        EXPECT_FALSE (p.isPrepared()) << k.what;
    }

    // A refusal also unprepares a planner that was prepared before.
    Planner p;
    ASSERT_TRUE (p.prepare (kRate, {}));
    EXPECT_FALSE (p.prepare (kRate * 2000.0, {}));
    EXPECT_EQ (p.plan (PlanCase (std::vector<float> (kSpan, 0.1f), std::vector<float> (kSpan, 0.1f)).input()).reason,
               Planner::kRefusedUnprepared);
}

//==============================================================================
TEST (PhaseFollowTrajectoryPlanner, ProcessPlaysExactlyWhatTheManualAllPassPlays)
{
    const auto in = scaled (signals::whiteNoise (4000, 3), 1.5f);
    AllPassFilter left (kRate, 73.0f, 1.3f, true), right (kRate, 73.0f, 1.3f, true);
    auto state = stateFor (73.0f, 1.3f, true, true);
    for (size_t i = 0; i + 1 < in.size(); ++i)
    {
        float l = in[i], r = in[i + 1];
        Planner::process (state, l, r);
        ASSERT_EQ (l, left.processSample (-in[i])) << i;
        ASSERT_EQ (r, right.processSample (-in[i + 1])) << i;
    }

    // Without the all-pass only the polarity acts, and the filter is left alone.
    auto plain = stateFor (73.0f, 1.3f, false, true);
    float l = 0.25f, r = -0.5f;
    Planner::process (plain, l, r);
    EXPECT_EQ (l, -0.25f);
    EXPECT_EQ (r, 0.5f);
}

TEST (PhaseFollowTrajectoryPlanner, ProcessClearsOnlyTheChannelThatWentNonFinite)
{
    for (const bool precise : { false, true })
    {
        auto state = Planner::makeState ({ 90.0f, 0.707f, true, false }, kRate, precise);
        for (int i = 0; i < 50; ++i)
        {
            float l = 0.3f, r = 0.3f;
            Planner::process (state, l, r);
        }
        const auto before = state;
        float l = std::numeric_limits<float>::quiet_NaN(), r = 0.3f;
        Planner::process (state, l, r);
        EXPECT_EQ (l, 0.0f);
        EXPECT_TRUE (std::isfinite (r));
        EXPECT_TRUE (Planner::validRenderer (state, kRate));
        if (precise)
        {
            EXPECT_EQ (state.doubleFilter.y1[0], 0.0);
            EXPECT_NE (state.doubleFilter.y1[1], before.doubleFilter.y1[1]);
        }
        else
        {
            EXPECT_EQ (state.singleFilter.y1[0], 0.0f);
            EXPECT_NE (state.singleFilter.y1[1], before.singleFilter.y1[1]);
        }
    }

    // In double precision an output beyond the largest float counts as non-finite.
    auto precise = Planner::makeState ({ 90.0f, 0.707f, true, false }, kRate, true);
    precise.doubleFilter.x2[0] = 1.0e39;
    precise.doubleFilter.x1[0] = 0.5;
    float l = 0.0f, r = 0.0f;
    Planner::process (precise, l, r);
    EXPECT_EQ (l, 0.0f);
    EXPECT_EQ (precise.doubleFilter.x2[0], 0.0);
    EXPECT_EQ (precise.doubleFilter.x1[0], 0.0);
}

TEST (PhaseFollowTrajectoryPlanner, ValidRendererAndSameRendererState)
{
    const auto good = stateFor (90.0f, 0.707f, true, false);
    EXPECT_TRUE (Planner::validRenderer (good, kRate));
    EXPECT_TRUE (Planner::validRenderer (Planner::makeState ({ 90.0f, 0.707f, true, false }, kRate, true), kRate));

    struct Case
    {
        const char* what;
        void (*change) (State&);
        double rate;
    };
    const Case invalid[] = {
        { "rate above 768 kHz", [] (State&) {}, 800000.0 },
        { "zero rate", [] (State&) {}, 0.0 },
        { "frequency at Nyquist", [] (State& s) { s.allPassFreqHz = 24000.0f; }, kRate },
        { "zero Q", [] (State& s) { s.allPassQ = 0.0f; }, kRate },
        { "NaN frequency", [] (State& s) { s.allPassFreqHz = std::numeric_limits<float>::quiet_NaN(); }, kRate },
        { "infinite state", [] (State& s) { s.singleFilter.y2[1] = std::numeric_limits<float>::infinity(); }, kRate },
        { "coefficients of another frequency", [] (State& s) { s.allPassFreqHz = 91.0f; }, kRate },
        { "coefficients of another rate", [] (State&) {}, 44100.0 },
        { "precision without its coefficients", [] (State& s) { s.doublePrecision = true; }, kRate },
    };
    for (const auto& k : invalid)
    {
        auto s = good;
        k.change (s);
        EXPECT_FALSE (Planner::validRenderer (s, k.rate)) << k.what;
    }

    // Without the all-pass the coefficients are not checked, the filter values are not compared.
    auto off = stateFor (90.0f, 0.707f, false, false);
    off.singleFilter.b0 = 0.5f;
    EXPECT_TRUE (Planner::validRenderer (off, kRate));
    auto otherOff = stateFor (300.0f, 2.0f, false, false);
    EXPECT_TRUE (Planner::sameRendererState (off, otherOff));
    otherOff.flip = true;
    EXPECT_FALSE (Planner::sameRendererState (off, otherOff));

    auto moved = good;
    EXPECT_TRUE (Planner::sameRendererState (good, moved));
    moved.singleFilter.x2[1] = 1.0e-30f;
    EXPECT_FALSE (Planner::sameRendererState (good, moved));
    EXPECT_FALSE (Planner::sameRendererState (good, Planner::makeState ({ 90.0f, 0.707f, true, false }, kRate, true)));
}

TEST (PhaseFollowTrajectoryPlanner, CrossfadeWeightHoldsTwoSamplesThenRisesToOne)
{
    EXPECT_EQ (Planner::crossfadeWeight (0, kN), 0.0f);
    EXPECT_EQ (Planner::crossfadeWeight (1, kN), 0.0f);
    EXPECT_NEAR (Planner::crossfadeWeight (192, kN), 0.5f - 0.5f * std::cos (3.14159265f * 191.0f / 382.0f), 1.0e-6f);
    EXPECT_EQ (Planner::crossfadeWeight (kN - 1, kN), 1.0f);
    EXPECT_EQ (Planner::crossfadeWeight (0, 2), 1.0f);
}

//==============================================================================
TEST (PhaseFollowTrajectoryPlanner, FindsTheRotationThatReproducesTheKick)
{
    auto planner = prepared();
    const auto c = rotatedKick (90.0f, 0.707f);
    const auto plan = planner.plan (c.input());

    ASSERT_EQ (plan.status, Planner::Status::Target);
    EXPECT_EQ (plan.reason, Planner::kReasonTarget);
    const auto& t = plan.target;
    EXPECT_TRUE (t.state.allPassOn);
    EXPECT_EQ (t.state.allPassFreqHz, 90.0f);
    EXPECT_EQ (t.state.allPassQ, 0.707f);
    EXPECT_FALSE (t.state.flip);
    EXPECT_EQ (t.frame, c.frame);
    EXPECT_EQ (t.endFrame, c.frame + kH);
    EXPECT_EQ (t.appliedFrom, c.frame - 500);
    EXPECT_EQ (t.streamId, 7u);
    EXPECT_EQ (t.key, 3u);
    EXPECT_EQ (t.crossfadeLength, kN);
    EXPECT_GT (plan.targetMeasurement.sumGainDb, 1.0);
    EXPECT_LE (std::abs (plan.targetMeasurement.levelChangeDb), 0.25);

    // The target's filter is the candidate run from rest over the history.
    auto warmed = stateFor (90.0f, 0.707f, true, false);
    for (int i = 0; i < kW; ++i)
    {
        float l = c.bass[static_cast<size_t> (i)], r = l;
        Planner::process (warmed, l, r);
    }
    EXPECT_TRUE (Planner::sameRendererState (t.state, warmed));

    // Everything but the current rendering is a candidate; the current one (no all-pass) is not.
    EXPECT_EQ (plan.considered, 57);
    EXPECT_EQ (plan.numCandidates, 57);
    EXPECT_FALSE (plan.candidates[0].simulated);
    EXPECT_GT (plan.simulated, 50);
    EXPECT_GE (plan.qualified, 1);
}

TEST (PhaseFollowTrajectoryPlanner, EveryKernelGivesThePortableResultsToTheBit)
{
    const auto c = rotatedKick (140.0f, 1.0f);
    auto portable = prepared();
    portable.useKernel (Planner::Kernel::Portable);
    const auto reference = portable.plan (c.input());
    ASSERT_EQ (reference.status, Planner::Status::Target);

    for (const auto kernel : { Planner::Kernel::Avx2, Planner::Kernel::Avx512 })
    {
        if (! Planner::isAvailable (kernel))
            continue;
        auto planner = prepared();
        planner.useKernel (kernel);
        ASSERT_EQ (planner.getKernel(), kernel);
        const auto plan = planner.plan (c.input());
        ASSERT_EQ (plan.numCandidates, reference.numCandidates);
        for (int k = 0; k < plan.numCandidates; ++k)
        {
            const auto& a = plan.candidates[static_cast<size_t> (k)];
            const auto& b = reference.candidates[static_cast<size_t> (k)];
            EXPECT_EQ (a.simulated, b.simulated) << k;
            EXPECT_EQ (a.qualified, b.qualified) << k;
            EXPECT_TRUE (sameBits (a.measurement.sumGainDb, b.measurement.sumGainDb)) << k;
            EXPECT_TRUE (sameBits (a.measurement.normalisedGainDb, b.measurement.normalisedGainDb)) << k;
            EXPECT_TRUE (sameBits (a.measurement.levelChangeDb, b.measurement.levelChangeDb)) << k;
            EXPECT_TRUE (sameBits (a.measurement.score, b.measurement.score)) << k;
            EXPECT_EQ (a.measurement.peak, b.measurement.peak) << k;
            EXPECT_EQ (a.measurement.crossfadeStep, b.measurement.crossfadeStep) << k;
        }
        EXPECT_TRUE (Planner::sameRendererState (plan.target.state, reference.target.state));
    }
}

TEST (PhaseFollowTrajectoryPlanner, CurrentAlreadyBestIsNoChange)
{
    auto planner = prepared();
    const auto kick = scaled (signals::lowNoise (kSpan, 5), 0.3f);
    const auto plan = planner.plan (PlanCase (kick, kick).input());
    EXPECT_EQ (plan.status, Planner::Status::NoChange);
    EXPECT_EQ (plan.reason, Planner::kReasonNoChange);
    EXPECT_EQ (plan.qualified, 0);

    // Already playing the rotation that reproduces the kick: nothing beats it either.
    auto c = rotatedKick (90.0f, 0.707f);
    PlanCase playing (c.bass, c.kick, stateFor (90.0f, 0.707f, true, false));
    const auto again = planner.plan (playing.input());
    EXPECT_EQ (again.status, Planner::Status::NoChange);
    EXPECT_GT (again.simulated, 0);
}

TEST (PhaseFollowTrajectoryPlanner, NeverChangesThePolarity)
{
    auto planner = prepared();
    for (const bool playingFlipped : { false, true })
    {
        // Inverted against the kick: a flip would be best, but only rotations are offered.
        const auto source = scaled (signals::lowNoise (kSpan, 9), 0.3f);
        const auto kick = scaled (source, -1.0f);
        const auto plan = planner.plan (PlanCase (playingFlipped ? kick : source, kick,
                                                  stateFor (100.0f, 0.707f, false, playingFlipped))
                                            .input());
        for (int k = 0; k < plan.numCandidates; ++k)
            EXPECT_EQ (plan.candidates[static_cast<size_t> (k)].settings.flip, playingFlipped);
        if (plan.status == Planner::Status::Target)
        {
            EXPECT_EQ (plan.target.state.flip, playingFlipped);
        }
    }
}

TEST (PhaseFollowTrajectoryPlanner, RotationThatChangesTheLevelTooMuchIsNotChosen)
{
    // A low burst that ends right at the point, over a faint tone: a slow rotation carries the
    // burst's ringing past the point, where it matches the equally rotated kick far better than
    // the tone alone does, but it is also far louder than what plays now.
    std::vector<float> source (kSpan);
    for (int i = 0; i < kSpan; ++i)
    {
        const auto t = static_cast<float> (i) / 48000.0f;
        source[static_cast<size_t> (i)] = 0.002f * std::sin (2.0f * 3.14159265f * 60.0f * t)
                                          + (i >= kW - 1200 && i < kW ? 0.2f * std::sin (2.0f * 3.14159265f * 40.0f * t) : 0.0f);
    }
    const PlanCase c (source, allPassed (source, 30.0f, 1.5f));

    // Only the level stands in the way: the crossfade step is not limited here.
    Planner::Config config;
    config.maxCrossfadeStep = 1.0;
    config.crossfadePenalty = 0.0;
    auto planner = prepared (config);
    const auto plan = planner.plan (c.input());
    bool rejectedForLevel = false;
    for (int k = 0; k < plan.numCandidates; ++k)
    {
        const auto& r = plan.candidates[static_cast<size_t> (k)];
        const auto& m = r.measurement;
        if (r.qualified)
        {
            EXPECT_LE (std::abs (m.levelChangeDb), 0.25) << k;
        }
        rejectedForLevel = rejectedForLevel
                           || (r.simulated && m.sumGainDb >= 0.01 && m.score > 0.0 && m.peak <= 1.0f
                               && m.precheckDb >= -3.0 && std::abs (m.levelChangeDb) > 0.25);
    }
    EXPECT_TRUE (rejectedForLevel);

    config.maxLevelChangeDb = 100.0;
    auto unlimited = prepared (config);
    const auto allowed = unlimited.plan (c.input());
    ASSERT_EQ (allowed.status, Planner::Status::Target);
    EXPECT_GT (std::abs (allowed.targetMeasurement.levelChangeDb), 0.25);
}

TEST (PhaseFollowTrajectoryPlanner, CrossfadeThatJumpsTooFarIsNotChosenHoweverLargeItsGain)
{
    // A loud 100 Hz tone against its rotated copy: the rotation that reproduces the kick turns
    // near-cancellation into a full sum, but crossfading to it swings the output by almost twice
    // the tone's amplitude, far more than 0.001 per step.
    auto source = scaled (signals::lowNoise (kSpan, 2), 0.02f);
    for (int i = 0; i < kSpan; ++i)
        source[static_cast<size_t> (i)] += 0.45f * std::sin (2.0f * 3.14159265f * 100.0f * static_cast<float> (i) / 48000.0f);
    const PlanCase c (source, allPassed (source, 100.0f, 0.707f));

    auto planner = prepared();
    const auto plan = planner.plan (c.input());
    bool largeGain = false;
    for (int k = 0; k < plan.numCandidates; ++k)
    {
        const auto& r = plan.candidates[static_cast<size_t> (k)];
        const auto& m = r.measurement;
        EXPECT_FALSE (r.qualified && m.crossfadeStep > 0.001f) << k;
        largeGain = largeGain
                    || (r.simulated && m.normalisedGainDb > 3.0 && m.crossfadeStep > 0.001f && m.peak <= 1.0f
                        && std::abs (m.levelChangeDb) <= 0.25);
    }
    EXPECT_TRUE (largeGain);
    if (plan.status == Planner::Status::Target)
    {
        EXPECT_LE (plan.targetMeasurement.crossfadeStep, 0.001f);
    }

    // The same audio with the step allowed: the rotation is chosen.
    Planner::Config loose;
    loose.maxCrossfadeStep = 1.0;
    loose.crossfadePenalty = 0.0;
    auto permissive = prepared (loose);
    const auto allowed = permissive.plan (c.input());
    ASSERT_EQ (allowed.status, Planner::Status::Target);
    EXPECT_GT (allowed.targetMeasurement.crossfadeStep, 0.001f);
    EXPECT_GT (allowed.targetMeasurement.normalisedGainDb, 3.0);
}

TEST (PhaseFollowTrajectoryPlanner, ScheduledTargetCompetesFirstWithItsOwnState)
{
    auto planner = prepared();
    const auto c = rotatedKick (90.0f, 0.707f);
    const auto first = planner.plan (c.input());
    ASSERT_EQ (first.status, Planner::Status::Target);

    auto in = c.input();
    in.scheduled = &first.target;
    const auto plan = planner.plan (in);
    ASSERT_EQ (plan.status, Planner::Status::Target);
    EXPECT_TRUE (plan.candidates[0].scheduled);
    EXPECT_TRUE (plan.candidates[0].simulated);
    EXPECT_TRUE (Planner::sameRendererState (plan.target.state, first.target.state));
    // The grid's own copy of it is skipped.
    for (int k = 1; k < plan.numCandidates; ++k)
    {
        const auto& s = plan.candidates[static_cast<size_t> (k)].settings;
        if (s.allPassOn && std::equal_to<float>() (s.allPassFreqHz, 90.0f) && std::equal_to<float>() (s.allPassQ, 0.707f))
        {
            EXPECT_FALSE (plan.candidates[static_cast<size_t> (k)].simulated);
        }
    }
}

TEST (PhaseFollowTrajectoryPlanner, ModeZeroOnlyMeasures)
{
    Planner::Config c;
    c.mode = 0;
    auto planner = prepared (c);
    const auto plan = planner.plan (rotatedKick (90.0f, 0.707f).input());
    EXPECT_EQ (plan.status, Planner::Status::NoChange);
    EXPECT_EQ (plan.simulated, 0);
    EXPECT_GT (plan.reference.bandPower, 0.0);
}

TEST (PhaseFollowTrajectoryPlanner, QuietAudioOrZeroGainIsTooQuiet)
{
    auto planner = prepared();
    const auto quiet = scaled (signals::lowNoise (kSpan, 4), 1.0e-6f);
    const auto loud = scaled (signals::lowNoise (kSpan, 4), 0.3f);
    EXPECT_EQ (planner.plan (PlanCase (quiet, loud).input()).status, Planner::Status::TooQuiet);
    EXPECT_EQ (planner.plan (PlanCase (loud, quiet).input()).reason, Planner::kReasonTooQuiet);

    // The gain scales the bass before it is measured.
    const std::vector<float> zeros (kSpan, 0.0f);
    PlanCase c (loud, loud);
    auto in = c.input();
    in.gain = zeros.data();
    in.renderedGain = zeros.data();
    EXPECT_EQ (planner.plan (in).status, Planner::Status::TooQuiet);
}

TEST (PhaseFollowTrajectoryPlanner, RefusesInconsistentInputAtTheStageReached)
{
    auto planner = prepared();
    const auto c = rotatedKick (90.0f, 0.707f);
    auto other = planner.plan (c.input()).target;
    std::vector<float> nanKick = c.kick, infBass = c.bass, negative (kSpan, 1.0f), nanRendered = c.rendered;
    nanKick[9000] = std::numeric_limits<float>::quiet_NaN();
    infBass[12] = std::numeric_limits<float>::infinity();
    negative[20] = -0.5f;
    nanRendered[0] = std::numeric_limits<float>::quiet_NaN();
    other.key = 4;

    struct Case
    {
        const char* what;
        std::function<void (Planner::Input&)> change;
        int reason;
    };
    const Case cases[] = {
        { "missing kick", [] (Planner::Input& in) { in.kick[1] = nullptr; }, Planner::kRefusedUnprepared },
        { "missing history", [] (Planner::Input& in) { in.rendered[0] = nullptr; }, Planner::kRefusedUnprepared },
        { "history length", [] (Planner::Input& in) { in.historyLength = kW - 1; }, Planner::kRefusedBookkeeping },
        { "hop shorter than the crossfade", [] (Planner::Input& in) { in.hopLength = kN - 1; }, Planner::kRefusedBookkeeping },
        { "hop longer than the maximum", [] (Planner::Input& in) { in.hopLength = kH + 1; }, Planner::kRefusedBookkeeping },
        { "span too short", [] (Planner::Input& in) { in.spanLength = kSpan - 1; }, Planner::kRefusedBookkeeping },
        { "applied after the point", [] (Planner::Input& in) { in.appliedFrom = in.frame + 1; }, Planner::kRefusedBookkeeping },
        { "point inside the first history", [] (Planner::Input& in) { in.frame = kW - 1; in.appliedFrom = 0; }, Planner::kRefusedBookkeeping },
        { "scheduled for another key", [&] (Planner::Input& in) { in.scheduled = &other; }, Planner::kRefusedBookkeeping },
        { "invalid current state", [] (Planner::Input& in) { in.current.allPassQ = -1.0f; }, Planner::kRefusedRenderer },
        { "NaN in the kick", [&] (Planner::Input& in) { in.kick[0] = nanKick.data(); }, Planner::kRefusedSamples },
        { "infinite bass", [&] (Planner::Input& in) { in.bass[1] = infBass.data(); }, Planner::kRefusedSamples },
        { "NaN in the history", [&] (Planner::Input& in) { in.rendered[1] = nanRendered.data(); }, Planner::kRefusedSamples },
        { "negative gain", [&] (Planner::Input& in) { in.gain = negative.data(); }, Planner::kRefusedSamples },
        { "negative history gain", [&] (Planner::Input& in) { in.renderedGain = negative.data(); }, Planner::kRefusedSamples },
    };
    for (const auto& k : cases)
    {
        auto in = c.input();
        k.change (in);
        const auto plan = planner.plan (in);
        EXPECT_EQ (plan.status, Planner::Status::Refused) << k.what;
        EXPECT_EQ (plan.reason, k.reason) << k.what;
    }

    // A scheduled target with another polarity than what plays.
    auto flipped = planner.plan (c.input()).target;
    flipped.state.flip = true;
    auto in = c.input();
    in.scheduled = &flipped;
    EXPECT_EQ (planner.plan (in).reason, Planner::kRefusedRenderer);
}
