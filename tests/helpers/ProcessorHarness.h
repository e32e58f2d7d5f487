#pragma once

#include "processor/PluginProcessor.h"

#include <memory>

// A play head the test sets by hand; an empty position plays a host that reports nothing.
class ManualPlayHead : public juce::AudioPlayHead
{
public:
    juce::Optional<PositionInfo> getPosition() const override { return position; }

    void setPlaying (bool playing, double bpm = 120.0, double ppq = 0.0)
    {
        PositionInfo info;
        info.setIsPlaying (playing);
        info.setBpm (bpm);
        info.setPpqPosition (ppq);
        position = info;
    }
    void clear() { position = {}; }

    juce::Optional<PositionInfo> position;
};

struct HarnessConfig
{
    double rate = 48000.0;
    int maxBlock = 512;
    int mainChannels = 2; // 1 or 2
    int sideChannels = 2; // 0 (no sidechain bus), 1 or 2
};

// One processor as a host would run it. Every block goes through a RealtimeGuard and fails the
// test on any allocation or blocking lock inside processBlock.
class ProcessorHarness
{
public:
    explicit ProcessorHarness (HarnessConfig config = {});
    ~ProcessorHarness();

    LumettaAudioProcessor& processor() { return *proc; }
    const HarnessConfig& config() const { return cfg; }
    ManualPlayHead playHead;

    void prepare (double rate, int maxBlock);
    void setParameter (const char* id, float plainValue);

    // The buffer holds main channels then sidechain channels, as a host lays them out.
    void processBlock (juce::AudioBuffer<float>& buffer);
    void processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midiBuffer);

    // Runs bass (and kick) through in blocks of `blockSize` (the prepared maximum when 0) and
    // returns the main output.
    juce::AudioBuffer<float> run (const juce::AudioBuffer<float>& bass, const juce::AudioBuffer<float>* kick = nullptr,
                                  int blockSize = 0);

    // Convenience: `numSamples` of silence through, in maximum-size blocks.
    void runSilence (int numSamples, float level = 0.0f);

private:
    HarnessConfig cfg;
    std::unique_ptr<LumettaAudioProcessor> proc;
    juce::AudioBuffer<float> scratch;
    juce::MidiBuffer midi;
};

namespace signals
{
juce::AudioBuffer<float> impulse (int channels, int length, int at, float amplitude = 1.0f);
juce::AudioBuffer<float> sine (int channels, int length, double hz, double rate, float amplitude = 0.5f);
juce::AudioBuffer<float> constant (int channels, int length, float value);
// Index of the first sample whose magnitude exceeds `threshold`, or -1.
int firstAbove (const juce::AudioBuffer<float>& b, int channel, float threshold);
} // namespace signals
