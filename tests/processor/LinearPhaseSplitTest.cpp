#include "helpers/ProcessorHarness.h"
#include "processor/LinearPhaseSplitter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

TEST (LinearPhaseSplitter, HalfLengthFollowsTheRateAndTheTapsAreASymmetricUnityGainLowPass)
{
    for (const auto& [rate, half] : { std::pair { 48000.0, 512 }, std::pair { 44100.0, 470 }, std::pair { 96000.0, 1024 } })
    {
        LinearPhaseSplitter s;
        s.prepare (rate, 512);
        EXPECT_EQ (s.getHalf(), half) << rate;
        EXPECT_EQ (s.getLength(), 2 * half + 1);
        const auto& taps = s.getTaps();
        const double sum = std::accumulate (taps.begin(), taps.end(), 0.0);
        EXPECT_NEAR (sum, 1.0, 1.0e-5);
        for (int i = 0; i < half; ++i)
            ASSERT_FLOAT_EQ (taps[static_cast<size_t> (i)], taps[static_cast<size_t> (2 * half - i)]);
    }
}

TEST (LinearPhaseSplitter, DelaysByHalfAndSplitsAtTheCrossoverChunkByChunk)
{
    LinearPhaseSplitter s;
    s.prepare (48000.0, 512);
    s.setCutoff (180.0f);
    const auto run = [&s] (double hz, int chunk)
    {
        s.reset();
        double lowEnergy = 0.0, inEnergy = 0.0;
        float low[512];
        for (int start = 0; start < 48000; start += chunk)
        {
            const int n = std::min (chunk, 48000 - start);
            for (int k = 0; k < n; ++k)
                s.write (k, static_cast<float> (std::sin (2.0 * 3.14159265358979 * hz * (start + k) / 48000.0)));
            s.lowBand (low, n);
            for (int k = 0; k < n; ++k)
            {
                const int i = start + k;
                if (i < 24000)
                    continue;
                const double in = std::sin (2.0 * 3.14159265358979 * hz * (i - 512) / 48000.0);
                EXPECT_NEAR (s.delayed (k), in, 1.0e-6) << i;
                lowEnergy += static_cast<double> (low[k]) * low[k];
                inEnergy += in * in;
            }
            s.finishChunk (n);
        }
        return std::sqrt (lowEnergy / inEnergy);
    };
    EXPECT_NEAR (run (40.0, 512), 1.0, 0.01);  // well below the crossover: all low band
    EXPECT_LT (run (2000.0, 512), 0.001);      // well above: nothing
    EXPECT_NEAR (run (180.0, 512), 0.5, 0.05); // the windowed sinc is -6 dB at its cutoff
    // Chunk sizes change nothing but the grouping of the work.
    EXPECT_NEAR (run (90.0, 7), run (90.0, 512), 1.0e-9);
    s.setCutoff (3.0f);
    EXPECT_EQ (s.getCutoff(), 10.0f);
}

TEST (LinearPhaseSplit, SwitchingItOnAddsItsLatencyInTheSameBlock)
{
    ProcessorHarness h; // 48 kHz
    EXPECT_EQ (h.processor().getLatencySamples(), 960);
    h.setParameter ("scLpXover", 1.0f);
    h.runSilence (64);
    EXPECT_EQ (h.processor().getLatencySamples(), 960 + 512);
    EXPECT_NEAR (h.processor().getTailLengthSeconds(), 1472.0 / 48000.0 + 0.03, 1.0e-12);
    h.setParameter ("scLpXover", 0.0f);
    h.runSilence (64);
    EXPECT_EQ (h.processor().getLatencySamples(), 960);
    EXPECT_EQ (h.processor().getFadeState(), ReconfigurationFade::none); // no fade for this change

    ProcessorHarness at44 ({ 44100.0, 512, 2, 2 });
    at44.setParameter ("scLpXover", 1.0f);
    at44.prepare (44100.0, 512);
    EXPECT_EQ (at44.processor().getLatencySamples(), 882 + 470);
}

TEST (LinearPhaseSplit, WithTheDowsenModuleOffTheOutputIsOnlyDelayedFurther)
{
    ProcessorHarness h;
    h.setParameter ("scLpXover", 1.0f);
    h.prepare (48000.0, 512);
    const auto out = h.run (signals::impulse (2, 4096, 0, 0.75f));
    for (int ch = 0; ch < 2; ++ch)
    {
        EXPECT_EQ (signals::firstAbove (out, ch, 0.0f), 960 + 512);
        EXPECT_FLOAT_EQ (out.getSample (ch, 960 + 512), 0.75f);
        EXPECT_EQ (out.getMagnitude (ch, 960 + 513, 4096 - 960 - 513), 0.0f);
    }
}

TEST (LinearPhaseSplit, SwitchingWhilePlayingMakesNoClick)
{
    // A 100 Hz sine at 0.5 moves at most 0.0065 per sample at 48 kHz. Jumping 512 samples back
    // in time at once would step by up to 1.0; the 3 ms crossfade keeps every step small.
    ProcessorHarness h;
    const auto input = signals::sine (2, 48000, 100.0, 48000.0, 0.5f);
    juce::AudioBuffer<float> out (2, 48000);
    juce::AudioBuffer<float> block (4, 512);
    for (int start = 0; start < 48000; start += 512)
    {
        if (start == 12288)
            h.setParameter ("scLpXover", 1.0f);
        if (start == 30720)
            h.setParameter ("scLpXover", 0.0f);
        const int n = std::min (512, 48000 - start);
        juce::AudioBuffer<float> view (block.getArrayOfWritePointers(), 4, n);
        view.clear();
        view.copyFrom (0, 0, input, 0, start, n);
        view.copyFrom (1, 0, input, 1, start, n);
        h.processBlock (view);
        out.copyFrom (0, start, view, 0, 0, n);
    }
    float largestStep = 0.0f;
    for (int i = 2000; i < 48000; ++i)
        largestStep = std::max (largestStep, std::abs (out.getSample (0, i) - out.getSample (0, i - 1)));
    EXPECT_LT (largestStep, 0.015f);
}
