// The FOLLOW lookahead: worker time of one planner job, and the audio thread's per-sample cost
// of the stream.

#include "analysis/PhaseFollowTrajectoryPlanner.h"
#include "analysis/PhaseFollowTrajectoryStream.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

namespace
{
constexpr double kRate = 48000.0;

// A low tone and noise, with the kick a rotated copy of the bass, so that the grid has something
// to find and every candidate runs.
std::vector<float> lowSignal (int count, double phase)
{
    std::vector<float> v (static_cast<size_t> (count));
    unsigned seed = 12345u;
    float lp = 0.0f;
    for (int i = 0; i < count; ++i)
    {
        seed = seed * 1664525u + 1013904223u;
        lp += (static_cast<float> (seed >> 8) / 16777216.0f - 0.5f - lp) * 0.03f;
        v[static_cast<size_t> (i)] = 0.2f * static_cast<float> (std::sin (2.0 * 3.14159265358979 * 70.0 * i / kRate + phase)) + lp;
    }
    return v;
}

// A second-order all-pass from rest, as the bass arrives behind a rotated kick.
std::vector<float> rotated (const std::vector<float>& in, float hz, float q)
{
    auto state = PhaseFollowTrajectoryPlanner::makeState ({ hz, q, true, false }, kRate, false);
    std::vector<float> out (in.size());
    for (size_t i = 0; i < in.size(); ++i)
    {
        float l = in[i], r = in[i];
        PhaseFollowTrajectoryPlanner::process (state, l, r);
        out[i] = l;
    }
    return out;
}

// One planner job at the runtime's configuration: 57 candidates over 320 ms of audio.
void plannerJob (benchmark::State& state, PhaseFollowTrajectoryPlanner::Kernel kernel)
{
    if (! PhaseFollowTrajectoryPlanner::isAvailable (kernel))
    {
        state.SkipWithError ("kernel not supported by this CPU");
        return;
    }
    PhaseFollowTrajectoryPlanner planner;
    planner.useKernel (kernel);
    planner.prepare (kRate, {});
    const int w = planner.getHistorySamples(), span = planner.getSpanSamples();
    const auto bass = lowSignal (span, 0.0), kick = lowSignal (span, 1.2);
    const std::vector<float> rendered (bass.begin(), bass.begin() + w);

    PhaseFollowTrajectoryPlanner::Input in;
    in.bass[0] = in.bass[1] = bass.data();
    in.kick[0] = in.kick[1] = kick.data();
    in.rendered[0] = in.rendered[1] = rendered.data();
    in.historyLength = w;
    in.hopLength = planner.getHopSamples();
    in.spanLength = span;
    in.frame = static_cast<std::uint64_t> (w);
    in.current = PhaseFollowTrajectoryPlanner::makeState ({}, kRate, false);
    for (auto _ : state)
    {
        const auto plan = planner.plan (in);
        benchmark::DoNotOptimize (plan.status);
    }
}
} // namespace

BENCHMARK_CAPTURE (plannerJob, portable, PhaseFollowTrajectoryPlanner::Kernel::Portable)->Unit (benchmark::kMillisecond);
BENCHMARK_CAPTURE (plannerJob, avx2, PhaseFollowTrajectoryPlanner::Kernel::Avx2)->Unit (benchmark::kMillisecond);
BENCHMARK_CAPTURE (plannerJob, avx512, PhaseFollowTrajectoryPlanner::Kernel::Avx512)->Unit (benchmark::kMillisecond);

namespace
{
// The audio thread's side of the lookahead at 48 kHz with FOLLOW on and corrections being planned
// and played: one iteration is one hop of frames. The worker's plans run between iterations,
// outside the timing, as an offline render drains them.
void streamProcessFrame (benchmark::State& state)
{
    constexpr int kSeconds = 4;
    const auto kick = lowSignal (kSeconds * static_cast<int> (kRate), 0.0);
    const auto bass = rotated (kick, 90.0f, 0.707f);

    PhaseFollowTrajectoryStream stream;
    if (! stream.prepare (kRate, PhaseFollowTrajectoryStream::runtimeOptions (kRate, 512, 384.0)))
    {
        state.SkipWithError ("stream refused to prepare");
        return;
    }
    stream.setFollowing (true);
    const auto manualState = PhaseFollowTrajectoryPlanner::makeState ({}, kRate, false);
    const int hop = static_cast<int> (0.064 * kRate);
    std::uint64_t frame = 0;
    size_t i = 0;
    for (auto _ : state)
    {
        for (int k = 0; k < hop; ++k, ++frame, i = i + 1 == bass.size() ? 0 : i + 1)
        {
            const auto out = stream.processFrame (frame, bass[i], bass[i], kick[i], kick[i], { bass[i], bass[i], &manualState });
            benchmark::DoNotOptimize (out);
        }
        state.PauseTiming();
        stream.drain();
        state.ResumeTiming();
    }
    state.counters["realtime"] = benchmark::Counter (static_cast<double> (state.iterations()) * hop / kRate,
                                                     benchmark::Counter::kIsRate);
    state.counters["changes"] = static_cast<double> (stream.getCounters().decisionsApplied);
}
} // namespace

BENCHMARK (streamProcessFrame)->Unit (benchmark::kMicrosecond);
