#include "helpers/ProcessorHarness.h"
#include "common/SimulatedTransport.h"
#include "processor/DuckEngine.h"

#include <gtest/gtest.h>

#include <cmath>

namespace
{
// A processor at 48 kHz with the Dowsen module on and a host transport at 120 BPM that moves on
// block by block (playing unless told otherwise).
struct DowsenHarness
{
    explicit DowsenHarness (int curve = 6, bool playing = true) // LINEAR: 0 at the kick, rising to 1
        : transport ({ 120.0, 0.0, playing }, 48000.0)
    {
        h.setParameter ("dowsenOn", 1.0f);
        h.processor().applyPresetCurve (dowsen::CurveModel::makeFactoryPreset (curve), curve);
        h.processor().setPlayHead (&transport);
    }
    ~DowsenHarness() { h.processor().setPlayHead (&h.playHead); }

    // Runs constant bass (and an optional kick) in 512-sample blocks; returns the output.
    juce::AudioBuffer<float> run (int n, const juce::AudioBuffer<float>* kick = nullptr)
    {
        juce::AudioBuffer<float> out (2, n), block (4, 512);
        for (int start = 0; start < n; start += 512)
        {
            const int len = std::min (512, n - start);
            juce::AudioBuffer<float> view (block.getArrayOfWritePointers(), 4, len);
            for (int ch = 0; ch < 2; ++ch)
            {
                juce::FloatVectorOperations::fill (view.getWritePointer (ch), 0.5f, len);
                if (kick != nullptr)
                    view.copyFrom (2 + ch, 0, *kick, ch, start, len);
                else
                    view.clear (2 + ch, 0, len);
            }
            h.processBlock (view);
            transport.advance (len);
            for (int ch = 0; ch < 2; ++ch)
                out.copyFrom (ch, start, view, ch, 0, len);
        }
        return out;
    }
    ProcessorHarness h;
    lumetta::tools::SimulatedTransport transport;
};

dowsen::DuckEngine::BlockSettings settingsAt48k()
{
    dowsen::DuckEngine::BlockSettings s;
    s.appliedLatency = s.baseLatency = 960;
    return s;
}
} // namespace

TEST (DuckEngine, GridCycleAndPhaseFollowTheTempoAndTheLatency)
{
    dowsen::DuckEngine e;
    e.prepare (48000.0, 120.0, 2);
    auto s = settingsAt48k();
    e.configure (s);
    EXPECT_EQ (e.getCycle(), 24000);
    // The grid lines up with the delayed output: 20 ms = 0.04 beat behind the host's beat.
    EXPECT_NEAR (e.gridPhase (0, 0.0), 0.96, 1.0e-9);
    EXPECT_NEAR (e.gridPhase (960, 0.0), 0.0, 1.0e-9);
    s.rateIndex = 4;
    e.configure (s);
    EXPECT_EQ (e.getCycle(), 96000);
    s.offsetMs = 20.0f; // positive moves the duck earlier, here back onto the host's beat
    e.configure (s);
    EXPECT_NEAR (e.gridPhase (0, 0.0), 0.0, 1.0e-9);
}

TEST (DuckEngine, DepthScalesTheDuckAndTheGainMovesAtMostFullScaleIn3ms)
{
    DowsenHarness full;
    const auto out = full.run (48000);
    // The curve is 0 at each beat of the delayed output (960 samples in): the gain reaches 0 within
    // 144 samples (3 ms) of falling and comes back up along the curve.
    const int beat = 24000 + 960;
    EXPECT_NEAR (out.getSample (0, beat + 144), 0.0f, 0.5f * 0.01f);
    EXPECT_NEAR (out.getSample (0, beat + 12000), 0.5f * 0.5f, 0.01f); // halfway up the linear curve
    float steepest = 0.0f;
    for (int i = 1000; i < 48000; ++i)
        steepest = std::max (steepest, std::abs (out.getSample (0, i) - out.getSample (0, i - 1)));
    EXPECT_LE (steepest, 0.5f / 144.0f + 1.0e-6f);

    DowsenHarness none;
    none.h.setParameter ("duckDepth", 0.0f);
    const auto untouched = none.run (48000);
    for (int i = 960; i < 48000; i += 101)
        ASSERT_FLOAT_EQ (untouched.getSample (0, i), 0.5f);
}

TEST (DuckEngine, NullTableDucksToOneMinusDepth)
{
    DowsenHarness h;
    h.h.setParameter ("duckDepth", 30.0f);
    h.h.processor().getShapeTables().publish (nullptr);
    h.run (4096);
    EXPECT_NEAR (h.h.processor().getDuckGain(), 0.7f, 1.0e-6f);
}

TEST (DuckEngine, GridKeepsCyclingWithTheTransportStopped)
{
    DowsenHarness h (6, false);
    const auto out = h.run (120000);
    // The display sweep runs free over one beat (24000 samples at 120 BPM) and starts over.
    int dips = 0;
    for (int i = 1; i < 120000; ++i)
        dips += out.getSample (0, i - 1) > 0.25f && out.getSample (0, i) <= 0.25f ? 1 : 0;
    EXPECT_GE (dips, 4);
    EXPECT_LE (dips, 5);
}

TEST (DuckEngine, AudioTriggerStartsTheCycleAsTheKickLeavesTheProcessor)
{
    DowsenHarness h;
    h.h.setParameter ("scTrigger", 1.0f);
    juce::AudioBuffer<float> kick (2, 96000);
    kick.clear();
    const int onset = 20000;
    const auto hit = [&kick] (int at, float amplitude, double decaySeconds)
    {
        for (int i = 0; i < 4800 && at + i < kick.getNumSamples(); ++i)
            for (int ch = 0; ch < 2; ++ch)
                kick.setSample (ch, at + i, kick.getSample (ch, at + i)
                    + static_cast<float> (amplitude * std::exp (-i / (decaySeconds * 48000.0)) * std::sin (2.0 * 3.14159265 * 60.0 * i / 48000.0)));
    };
    hit (onset, 0.8f, 0.03);
    // A second kick 20 ms later falls into the 40 ms hold-off and does not restart the cycle.
    hit (onset + 960, 0.8f, 0.005);
    const auto out = h.run (96000, &kick);

    // Before any kick the gain rests at 1; the duck starts where the kick leaves the processor
    // (960 samples later), less the detector's rise of at most 18 ms.
    EXPECT_FLOAT_EQ (out.getSample (0, onset + 100), 0.5f);
    int duckStart = -1;
    for (int i = onset; i < 96000 && duckStart < 0; ++i)
        if (out.getSample (0, i) < 0.499f)
            duckStart = i;
    EXPECT_GE (duckStart, onset + 960 - 864);
    EXPECT_LE (duckStart, onset + 960);
    // One cycle (24000 samples) on, the last 6 % recovered to unity and it stays there.
    EXPECT_NEAR (out.getSample (0, duckStart + 24000 + 2000), 0.5f, 1.0e-3f);
    // The 15 ms recovery settles within 0.0004 dB of unity (float resolution of its last steps).
    EXPECT_NEAR (out.getSample (0, 95999), 0.5f, 2.0e-5f);
}

TEST (DuckEngine, LearnCapturesOneGridCycleOfTheKickEnvelope)
{
    DowsenHarness h;
    juce::AudioBuffer<float> kick (2, 96000);
    for (int i = 0; i < 96000; ++i)
        for (int ch = 0; ch < 2; ++ch)
            kick.setSample (ch, i, (i % 24000) < 2000 ? 0.8f * std::sin (0.01f * static_cast<float> (i)) : 0.0f);
    h.h.processor().requestLearn();
    h.run (96000, &kick);
    ASSERT_TRUE (h.h.processor().isLearnReady());
    std::vector<float> capture (LumettaAudioProcessor::kLearnTransferSize);
    const int n = h.h.processor().takeLearnCapture (capture.data(), static_cast<int> (capture.size()));
    EXPECT_EQ (n, 24000);
    EXPECT_FALSE (h.h.processor().isLearnReady());
    // The capture starts at a grid wrap, where the kick (as delayed) begins.
    float early = 0.0f, late = 0.0f;
    for (int i = 0; i < 2000; ++i)
        early = std::max (early, capture[static_cast<size_t> (i)]);
    for (int i = 12000; i < 20000; ++i)
        late = std::max (late, capture[static_cast<size_t> (i)]);
    EXPECT_GT (early, 0.5f);
    EXPECT_LT (late, early * 0.15f); // the 90 ms release has let most of it go 250 ms on
}

TEST (DuckEngine, AudioCycleStartsTheEngineLatencyLessTheRiseAfterTheOnset)
{
    // 960 samples of latency: a kick detected after its envelope rose for r samples starts the
    // cycle 960 - min(r, 864) samples later (860 for a rise of 100).
    for (const float attackSeconds : { 0.0002f, 0.002f, 0.004f })
    {
        dowsen::DuckEngine e;
        e.prepare (48000.0, 120.0, 2);
        auto s = settingsAt48k();
        s.audioTrigger = true;
        e.configure (s);
        std::vector<float> lut (1024, 0.0f);
        e.setShapeLUT (lut.data(), 1024);
        e.configure (s);

        int detectedAt = -1, expectedStart = -1, startedAt = -1;
        for (int i = 0; i < 6000 && startedAt < 0; ++i)
        {
            const float t = static_cast<float> (std::max (0, i - 1000)) / 48000.0f;
            const float envelope = i < 1000 ? 0.0f : std::min (1.0f, t / attackSeconds);
            const float k = 0.8f * envelope * std::sin (2.0f * 3.14159265f * 60.0f * t);
            const float before = e.getGain();
            const float g = e.step (k, 0.0f, 0.0f);
            if (detectedAt < 0 && e.getCountdown() >= 0)
            {
                detectedAt = i;
                // The countdown is set and, in the same sample, counted down once.
                expectedStart = i + 1 + e.getCountdown();
                EXPECT_EQ (e.getCountdown() + 1, 960 - std::min (e.getRiseCount(), 864)) << attackSeconds;
            }
            if (detectedAt >= 0 && g < before)
                startedAt = i;
        }
        ASSERT_GE (detectedAt, 1000) << attackSeconds;
        EXPECT_EQ (startedAt, expectedStart) << attackSeconds;
    }
}
