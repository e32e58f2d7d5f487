#include "analysis/PhaseEfficiencyMeter.h"

#include <benchmark/benchmark.h>

#include <cmath>

namespace
{
// One meter fed a block of 512 at 48 kHz with the live half-second division rule; the processor
// runs two of these for every block.
void onePhaseMeter (benchmark::State& state, PhaseEfficiencyMeter::Kernel kernel)
{
    if (! PhaseEfficiencyMeter::isAvailable (kernel))
    {
        state.SkipWithError ("kernel not supported by this CPU");
        return;
    }

    constexpr int kBlock = 512;
    constexpr double kRate = 48000.0;
    float bass[kBlock], kick[kBlock];
    for (int i = 0; i < kBlock; ++i)
    {
        const double t = static_cast<double> (i) / kRate;
        bass[i] = static_cast<float> (0.5 * std::sin (2.0 * 3.14159265358979 * 55.0 * t));
        kick[i] = static_cast<float> (0.7 * std::sin (2.0 * 3.14159265358979 * 47.0 * t + 0.4));
    }

    PhaseEfficiencyMeter meter;
    meter.useKernel (kernel);
    meter.prepare (kRate);
    const auto closeAt = static_cast<std::int64_t> (0.5 * kRate);
    for (auto _ : state)
    {
        meter.pushBlock (bass, kick, kBlock, closeAt);
        benchmark::DoNotOptimize (meter.divisionSampleCount());
    }
    state.counters["realtime"] = benchmark::Counter (static_cast<double> (state.iterations()) * kBlock / kRate,
                                                     benchmark::Counter::kIsRate);
}
} // namespace

BENCHMARK_CAPTURE (onePhaseMeter, portable, PhaseEfficiencyMeter::Kernel::Portable);
BENCHMARK_CAPTURE (onePhaseMeter, avx2, PhaseEfficiencyMeter::Kernel::Avx2);
BENCHMARK_CAPTURE (onePhaseMeter, avx512, PhaseEfficiencyMeter::Kernel::Avx512);
