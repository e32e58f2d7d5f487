#include "helpers/ProcessorHarness.h"

#include <gtest/gtest.h>

using Set = juce::AudioChannelSet;

TEST (ProcessorLifecycle, IdentityAndProgramsAreFixed)
{
    LumettaAudioProcessor p;
    EXPECT_EQ (p.getName(), "Lumetta Beta 2");
    EXPECT_FALSE (p.acceptsMidi());
    EXPECT_FALSE (p.producesMidi());
    EXPECT_FALSE (p.isMidiEffect());
    EXPECT_TRUE (p.hasEditor());
    EXPECT_EQ (p.getNumPrograms(), 1);
    EXPECT_EQ (p.getCurrentProgram(), 0);
    EXPECT_EQ (p.getProgramName (0), "");
    ASSERT_EQ (p.getBusCount (true), 2);
    ASSERT_EQ (p.getBusCount (false), 1);
    EXPECT_EQ (p.getBus (true, 0)->getName(), "Main");
    EXPECT_EQ (p.getBus (true, 1)->getName(), "Sidechain");
    EXPECT_EQ (p.getBus (false, 0)->getName(), "Output");
    for (auto* bus : { p.getBus (true, 0), p.getBus (true, 1), p.getBus (false, 0) })
    {
        EXPECT_TRUE (bus->isEnabled());
        EXPECT_EQ (bus->getCurrentLayout(), Set::stereo());
    }
}

TEST (ProcessorLifecycle, BusLayoutsAcceptedAndRefused)
{
    struct Case
    {
        Set main, out, side;
        bool accepted;
    };
    const Case cases[] {
        { Set::stereo(), Set::stereo(), Set::stereo(), true },
        { Set::stereo(), Set::stereo(), Set::mono(), true },
        { Set::stereo(), Set::stereo(), Set::disabled(), true },
        { Set::mono(), Set::mono(), Set::stereo(), true },
        { Set::mono(), Set::mono(), Set::disabled(), true },
        { Set::mono(), Set::stereo(), Set::stereo(), false },
        { Set::stereo(), Set::mono(), Set::stereo(), false },
        { Set::disabled(), Set::disabled(), Set::stereo(), false },
        { Set::create5point1(), Set::create5point1(), Set::stereo(), false },
        { Set::stereo(), Set::stereo(), Set::quadraphonic(), false },
    };
    LumettaAudioProcessor p;
    for (const auto& c : cases)
    {
        juce::AudioProcessor::BusesLayout layout;
        layout.inputBuses.add (c.main);
        layout.inputBuses.add (c.side);
        layout.outputBuses.add (c.out);
        EXPECT_EQ (p.checkBusesLayoutSupported (layout), c.accepted)
            << c.main.getDescription() << " / " << c.side.getDescription() << " -> " << c.out.getDescription();
    }
}

TEST (ProcessorLifecycle, ReportedLatencyAndTailFollowTheRate)
{
    struct Case
    {
        double rate;
        int latency;
        double tail;
    };
    for (const auto c : { Case { 48000.0, 960, 0.05 }, Case { 44100.0, 882, 0.05 }, Case { 96000.0, 1920, 0.05 } })
    {
        ProcessorHarness h ({ c.rate, 512, 2, 2 });
        EXPECT_EQ (h.processor().getLatencySamples(), c.latency);
        EXPECT_NEAR (h.processor().getTailLengthSeconds(), c.tail, 1.0e-12);
    }
}

TEST (ProcessorLifecycle, MidiIsAlwaysClearedAndSidechainChannelsAreClearedOnOutput)
{
    ProcessorHarness h;
    juce::AudioBuffer<float> buffer = signals::constant (4, 256, 0.25f);
    juce::MidiBuffer midi;
    midi.addEvent (juce::MidiMessage::noteOn (1, 60, 0.5f), 3);
    h.processBlock (buffer, midi);
    EXPECT_TRUE (midi.isEmpty());
    for (int ch = 2; ch < 4; ++ch)
        EXPECT_EQ (buffer.getMagnitude (ch, 0, 256), 0.0f) << "channel " << ch;
}

TEST (ProcessorLifecycle, MonoMainBusGivesOneOutputChannelAndClearsTheSidechain)
{
    ProcessorHarness h ({ 48000.0, 512, 1, 2 });
    auto buffer = signals::constant (3, 2048, 0.25f);
    h.processBlock (buffer);
    EXPECT_FLOAT_EQ (buffer.getSample (0, 1500), 0.25f);
    EXPECT_EQ (buffer.getMagnitude (1, 0, 2048), 0.0f);
    EXPECT_EQ (buffer.getMagnitude (2, 0, 2048), 0.0f);
}

TEST (ProcessorLifecycle, KickGoesInactiveTwoSecondsAfterItsLastSignalWhilePresenceStays)
{
    ProcessorHarness h; // 48 kHz, 512-sample blocks: a block is 1/93.75 s
    juce::AudioBuffer<float> block (4, 512);
    block.clear();
    block.setSample (2, 100, 0.5f);
    block.setSample (3, 100, 0.5f);
    h.processBlock (block);
    EXPECT_TRUE (h.processor().sidechainPresent.load());
    EXPECT_TRUE (h.processor().sidechainActive.load());

    // Kick signal at or below 1e-4 counts as none.
    int silentBlocks = 0;
    while (h.processor().sidechainActive.load() && silentBlocks < 1000)
    {
        block.clear();
        block.setSample (2, 0, 1.0e-4f);
        block.setSample (3, 0, 1.0e-4f);
        h.processBlock (block);
        ++silentBlocks;
    }
    EXPECT_EQ (silentBlocks, 188); // 188 * 512 / 48000 = 2.0053 s, 187 blocks = 1.9947 s
    EXPECT_TRUE (h.processor().sidechainPresent.load());

    h.processor().releaseResources();
    EXPECT_FALSE (h.processor().sidechainActive.load());
}

TEST (ProcessorLifecycle, SidechainIsAbsentWithoutABusOrWithoutItsChannels)
{
    ProcessorHarness noBus ({ 48000.0, 512, 2, 0 });
    noBus.runSilence (512, 0.1f);
    EXPECT_FALSE (noBus.processor().sidechainPresent.load());
    EXPECT_FALSE (noBus.processor().sidechainActive.load());

    ProcessorHarness shortBuffer;
    auto twoChannels = signals::constant (2, 512, 0.1f);
    shortBuffer.processBlock (twoChannels);
    EXPECT_FALSE (shortBuffer.processor().sidechainPresent.load());
}

TEST (ProcessorLifecycle, TempoAndPlayStateComeFromTheHost)
{
    ProcessorHarness h;
    h.runSilence (512);
    EXPECT_EQ (h.processor().hostBpm.load(), 120.0);
    EXPECT_FALSE (h.processor().hostHasTempo.load());
    EXPECT_FALSE (h.processor().hostPlaying.load());

    h.playHead.setPlaying (true, 93.5, 4.0);
    h.runSilence (512);
    EXPECT_EQ (h.processor().hostBpm.load(), 93.5);
    EXPECT_TRUE (h.processor().hostHasTempo.load());
    EXPECT_TRUE (h.processor().hostPlaying.load());
}
