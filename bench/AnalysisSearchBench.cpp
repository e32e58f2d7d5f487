// One whole ANALYZE search over one second of audio, in milliseconds of one core.

#include "analysis/CorrelationKernels.h"
#include "analysis/ManualAnalysisSearch.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

namespace
{
constexpr double kRate = 48000.0;
constexpr int kCount = 48000;

// A kick at 120 BPM (a sine swept from 160 to 48 Hz with a short click) and an eighth-note bass
// line with five harmonics: related only through their low end, so no single correction fits
// and every stage of the pre-mode search runs, the second all-pass included.
struct Pair
{
    std::vector<float> bass, kick;
};

Pair realisticPair()
{
    Pair p { std::vector<float> (kCount), std::vector<float> (kCount) };
    const double notes[] = { 41.2, 41.2, 55.0, 49.0, 41.2, 61.7, 55.0, 36.7 };
    double kickPhase = 0.0, bassPhase = 0.0;
    for (int i = 0; i < kCount; ++i)
    {
        const int sinceKick = i % (kCount / 2);
        const double t = sinceKick / kRate;
        if (sinceKick == 0)
            kickPhase = 0.0;
        kickPhase += 2.0 * std::numbers::pi * (48.0 + 112.0 * std::exp (-t / 0.025)) / kRate;
        const double click = t < 0.002 ? 0.3 * std::sin (2.0 * std::numbers::pi * 2500.0 * t) : 0.0;
        p.kick[static_cast<size_t> (i)] = static_cast<float> (0.8 * std::exp (-t / 0.18) * std::sin (kickPhase) + click);

        const int note = i / (kCount / 8);
        const double noteTime = (i % (kCount / 8)) / kRate;
        bassPhase += 2.0 * std::numbers::pi * notes[note] / kRate;
        double tone = 0.0;
        for (int h = 1; h <= 5; ++h)
            tone += std::sin (h * bassPhase) / h;
        p.bass[static_cast<size_t> (i)] = static_cast<float> (0.35 * (1.0 - std::exp (-noteTime / 0.004)) * std::exp (-noteTime / 0.4) * tone);
    }
    return p;
}

void analyzeOneSecond (benchmark::State& state, bool postMode, const lumetta::phasesearch::SearchKernels* kernels)
{
    const auto pair = realisticPair();
    AnalysisContext context;
    context.postMode = postMode;
    context.delayMs = postMode ? 1.5f : 0.0f;
    for (auto _ : state)
    {
        const auto r = lumetta::phasesearch::analyzeCapture (pair.bass, pair.kick, kRate, context, *kernels);
        benchmark::DoNotOptimize (r.bestPercent);
    }
}

// Every kernel set the CPU runs, the fastest last, as analyzeCapture uses it.
const int registered = []
{
    for (const auto* kernels : lumetta::phasesearch::supportedSearchKernels())
        for (const bool post : { false, true })
            benchmark::RegisterBenchmark ((std::string ("analyzeCapture/") + (post ? "post/" : "pre/") + kernels->name).c_str(),
                                          analyzeOneSecond, post, kernels)
                ->Unit (benchmark::kMillisecond);
    return 0;
}();
} // namespace
