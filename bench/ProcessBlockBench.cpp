// processBlock throughput, reported as a realtime factor: seconds of audio per CPU second.

#include "common/SimulatedTransport.h"
#include "processor/LinearPhaseSplitter.h"
#include "processor/PluginProcessor.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <utility>
#include <vector>

namespace
{
struct Settings
{
    bool allPass = false;
    bool flip = false;
    std::vector<std::pair<const char*, float>> parameters;
};

void processBlockAt (benchmark::State& state, Settings s)
{
    const auto rate = static_cast<double> (state.range (0));
    const auto block = static_cast<int> (state.range (1));

    LumettaAudioProcessor processor;
    lumetta::tools::SimulatedTransport transport ({}, rate);
    processor.setPlayHead (&transport);
    processor.allPassOn = s.allPass;
    processor.polarityFlip = s.flip;
    for (const auto& [id, v] : s.parameters)
        if (auto* p = processor.parameters.getParameter (id))
            p->setValueNotifyingHost (p->convertTo0to1 (v));
    processor.prepareToPlay (rate, block);

    // One block of a 55 Hz bass and kick, copied in before every call as a host would hand it over.
    juce::AudioBuffer<float> source (4, block), buffer (4, block);
    for (int i = 0; i < block; ++i)
        for (int ch = 0; ch < 4; ++ch)
            source.setSample (ch, i, static_cast<float> (0.5 * std::sin (2.0 * 3.14159265358979 * 55.0 * i / rate)));
    juce::MidiBuffer midi;
    for (auto _ : state)
    {
        buffer.makeCopyOf (source, true);
        processor.processBlock (buffer, midi);
        benchmark::DoNotOptimize (buffer.getReadPointer (0));
        transport.advance (block);
    }
    processor.setPlayHead (nullptr);

    const double audioSeconds = static_cast<double> (state.iterations()) * block / rate;
    state.counters["realtime"] = benchmark::Counter (audioSeconds, benchmark::Counter::kIsRate);
}

void sizes (benchmark::internal::Benchmark* b)
{
    for (const auto rate : { 44100, 48000, 96000 })
        for (const auto block : { 64, 512, 2048 })
            b->Args ({ rate, block });
    b->ArgNames ({ "rate", "block" });
}
} // namespace

BENCHMARK_CAPTURE (processBlockAt, passThrough, Settings {})->Apply (sizes);
BENCHMARK_CAPTURE (processBlockAt, alignment, Settings { true, true, { { "delayMs", -4.0f } } })->Apply (sizes);
// FOLLOW without lookahead: the capture, result polling and the follow renderings per sample (the
// analyses run on the worker thread, not counted here).
BENCHMARK_CAPTURE (processBlockAt, follow, Settings { false, false, { { "phaseFollow", 1.0f }, { "phaseFollowLookahead", 0.0f } } })
    ->Apply (sizes);
// FOLLOW with lookahead: every frame through the lookahead stream (its plans run on the worker).
BENCHMARK_CAPTURE (processBlockAt, followLookahead, Settings { false, false, { { "phaseFollow", 1.0f } } })->Apply (sizes);
BENCHMARK_CAPTURE (processBlockAt, duckGrid, Settings { false, false, { { "dowsenOn", 1.0f } } })->Apply (sizes);
BENCHMARK_CAPTURE (processBlockAt, duckLive, Settings { false, false, { { "dowsenOn", 1.0f }, { "scLive", 1.0f } } })->Apply (sizes);
// Every Dowsen option on but the linear-phase split (the low band split by one-pole filters).
BENCHMARK_CAPTURE (processBlockAt, duckEverythingMinimumPhase,
                   Settings { true, true, { { "delayMs", -4.0f }, { "dowsenOn", 1.0f }, { "scTrigger", 1.0f }, { "scLowOnly", 1.0f },
                                            { "scMonoLow", 1.0f }, { "scAutoGain", 1.0f } } })
    ->Apply (sizes);
// Every Dowsen option on: AUDIO trigger, low band only through the linear-phase split, mono below, AUTO.
BENCHMARK_CAPTURE (processBlockAt, duckEverything,
                   Settings { true, true, { { "delayMs", -4.0f }, { "dowsenOn", 1.0f }, { "scTrigger", 1.0f }, { "scLowOnly", 1.0f },
                                            { "scLpXover", 1.0f }, { "scMonoLow", 1.0f }, { "scAutoGain", 1.0f } } })
    ->Apply (sizes);

// The linear-phase low band of a stereo pair: the two 1025-tap dot products per sample that the
// band duck pays for, as a realtime factor at 48 kHz.
void linearPhaseLowBand (benchmark::State& state)
{
    LinearPhaseSplitter split[2];
    for (auto& s : split)
        s.prepare (48000.0, 512);
    float x = 0.0f, low[512];
    for (auto _ : state)
    {
        for (auto& s : split)
        {
            for (int i = 0; i < 512; ++i)
            {
                x = x > 0.9f ? -0.9f : x + 0.001f;
                s.write (i, x);
            }
            s.lowBand (low, 512);
            benchmark::DoNotOptimize (low[0]);
            s.finishChunk (512);
        }
    }
    state.counters["realtime"] = benchmark::Counter (static_cast<double> (state.iterations()) * 512.0 / 48000.0,
                                                     benchmark::Counter::kIsRate);
}
BENCHMARK (linearPhaseLowBand);

int main (int argc, char** argv)
{
    const juce::ScopedJuceInitialiser_GUI juce;
    benchmark::Initialize (&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
