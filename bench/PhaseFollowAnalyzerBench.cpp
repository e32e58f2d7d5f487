// The worker's time for one FOLLOW window: 96 ms of audio at 48 kHz, analysed every 48 ms, so
// one analysis must stay well below 48 ms of one core.

#include "analysis/PhaseFollowAnalyzer.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace
{
constexpr double kRate = 48000.0;

// A kick swept from 160 to 48 Hz starting a few milliseconds into the window, and a bass note
// with five harmonics rotated against it: no plain polarity fits, so the whole grid and both
// refinements run, and the proposal is predicted over the window.
PhaseFollowAnalyzer::Capture realisticWindow (int count)
{
    PhaseFollowAnalyzer::Capture c;
    c.bass.resize (static_cast<size_t> (count));
    c.kick.resize (static_cast<size_t> (count));
    double kickPhase = 0.0, bassPhase = 0.0;
    for (int i = 0; i < count; ++i)
    {
        const double t = std::max (i - 200, 0) / kRate;
        kickPhase += 2.0 * std::numbers::pi * (48.0 + 112.0 * std::exp (-t / 0.025)) / kRate;
        c.kick[static_cast<size_t> (i)] = i < 200 ? 0.0f : static_cast<float> (0.8 * std::exp (-t / 0.18) * std::sin (kickPhase));

        bassPhase += 2.0 * std::numbers::pi * 55.0 / kRate;
        double tone = 0.0;
        for (int h = 1; h <= 5; ++h)
            tone += std::sin (h * bassPhase + 1.3) / h;
        c.bass[static_cast<size_t> (i)] = static_cast<float> (0.35 * tone);
    }
    c.renderedBass = c.bass;
    c.count = count;
    c.captureEnd = 10 * static_cast<std::uint64_t> (count);
    c.settledFrom = c.captureEnd - static_cast<std::uint64_t> (count);
    c.settingsInEffect.delayMs = 1.5f;
    return c;
}

// What the worker runs per window, on scratch sized once as prepare sizes it.
void analyzeWindow (benchmark::State& state)
{
    const int count = static_cast<int> (std::lround (PhaseFollowAnalyzer::kWindowSeconds * kRate));
    const auto capture = realisticWindow (count);
    PhaseFollowAnalyzer::Workspace workspace (count);
    for (auto _ : state)
    {
        const auto r = PhaseFollowAnalyzer::analyze (capture, kRate, workspace);
        benchmark::DoNotOptimize (r.bestScore);
    }
}

BENCHMARK (analyzeWindow)->Name ("PhaseFollowAnalyzer/analyze/96ms@48k")->Unit (benchmark::kMillisecond);
} // namespace
