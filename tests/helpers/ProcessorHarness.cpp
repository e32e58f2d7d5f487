#include "helpers/ProcessorHarness.h"

#include "helpers/RealtimeGuard.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

ProcessorHarness::ProcessorHarness (HarnessConfig config) : cfg (config), proc (std::make_unique<LumettaAudioProcessor>())
{
    auto layout = proc->getBusesLayout();
    const auto main = juce::AudioChannelSet::canonicalChannelSet (cfg.mainChannels);
    layout.inputBuses.getReference (0) = main;
    layout.outputBuses.getReference (0) = main;
    layout.inputBuses.getReference (1) = cfg.sideChannels > 0 ? juce::AudioChannelSet::canonicalChannelSet (cfg.sideChannels)
                                                               : juce::AudioChannelSet::disabled();
    const bool accepted = proc->setBusesLayout (layout);
    EXPECT_TRUE (accepted);
    proc->setPlayHead (&playHead);
    prepare (cfg.rate, cfg.maxBlock);
}

ProcessorHarness::~ProcessorHarness()
{
    proc->setPlayHead (nullptr);
}

void ProcessorHarness::prepare (double rate, int maxBlock)
{
    cfg.rate = rate;
    cfg.maxBlock = maxBlock;
    proc->setRateAndBufferSizeDetails (rate, maxBlock);
    proc->prepareToPlay (rate, maxBlock);
    scratch.setSize (cfg.mainChannels + cfg.sideChannels, std::max (maxBlock, 1));
}

void ProcessorHarness::setParameter (const char* id, float plainValue)
{
    auto* p = proc->parameters.getParameter (id);
    ASSERT_NE (p, nullptr) << id;
    p->setValueNotifyingHost (p->convertTo0to1 (plainValue));
}

void ProcessorHarness::processBlock (juce::AudioBuffer<float>& buffer)
{
    processBlock (buffer, midi);
}

void ProcessorHarness::processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midiBuffer)
{
    long allocations = 0, locks = 0;
    {
        const RealtimeGuard guard;
        proc->processBlock (buffer, midiBuffer);
        allocations = guard.allocations() + guard.deallocations();
        locks = guard.blockingLocks();
    }
    EXPECT_EQ (allocations, 0) << "processBlock allocated or freed memory";
    // An offline render may wait for the phase follow workers' locks: that is what makes it
    // deterministic, and nothing plays in real time.
    if (! proc->isNonRealtime())
    {
        EXPECT_EQ (locks, 0) << "processBlock took a blocking lock";
    }
}

juce::AudioBuffer<float> ProcessorHarness::run (const juce::AudioBuffer<float>& bass, const juce::AudioBuffer<float>* kick, int blockSize)
{
    const int block = blockSize > 0 ? blockSize : cfg.maxBlock;
    const int length = bass.getNumSamples();
    juce::AudioBuffer<float> out (cfg.mainChannels, length);
    scratch.setSize (cfg.mainChannels + cfg.sideChannels, block, false, false, true);
    for (int start = 0; start < length; start += block)
    {
        const int n = std::min (block, length - start);
        juce::AudioBuffer<float> view (scratch.getArrayOfWritePointers(), scratch.getNumChannels(), n);
        view.clear();
        for (int ch = 0; ch < cfg.mainChannels; ++ch)
            view.copyFrom (ch, 0, bass, std::min (ch, bass.getNumChannels() - 1), start, n);
        if (kick != nullptr)
            for (int ch = 0; ch < cfg.sideChannels; ++ch)
                view.copyFrom (cfg.mainChannels + ch, 0, *kick, std::min (ch, kick->getNumChannels() - 1), start, n);
        processBlock (view);
        for (int ch = 0; ch < cfg.mainChannels; ++ch)
            out.copyFrom (ch, start, view, ch, 0, n);
    }
    return out;
}

void ProcessorHarness::runSilence (int numSamples, float level)
{
    run (signals::constant (cfg.mainChannels, numSamples, level));
}

namespace signals
{
juce::AudioBuffer<float> impulse (int channels, int length, int at, float amplitude)
{
    juce::AudioBuffer<float> b (channels, length);
    b.clear();
    for (int ch = 0; ch < channels; ++ch)
        b.setSample (ch, at, amplitude);
    return b;
}

juce::AudioBuffer<float> sine (int channels, int length, double hz, double rate, float amplitude)
{
    juce::AudioBuffer<float> b (channels, length);
    for (int i = 0; i < length; ++i)
    {
        const auto v = static_cast<float> (amplitude * std::sin (2.0 * std::numbers::pi * hz * i / rate));
        for (int ch = 0; ch < channels; ++ch)
            b.setSample (ch, i, v);
    }
    return b;
}

juce::AudioBuffer<float> constant (int channels, int length, float value)
{
    juce::AudioBuffer<float> b (channels, length);
    for (int ch = 0; ch < channels; ++ch)
        juce::FloatVectorOperations::fill (b.getWritePointer (ch), value, length);
    return b;
}

int firstAbove (const juce::AudioBuffer<float>& b, int channel, float threshold)
{
    for (int i = 0; i < b.getNumSamples(); ++i)
        if (std::abs (b.getSample (channel, i)) > threshold)
            return i;
    return -1;
}
} // namespace signals
