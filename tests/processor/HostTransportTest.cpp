#include "helpers/ProcessorHarness.h"
#include "processor/HostTransport.h"

#include <gtest/gtest.h>

TEST (HostTransport, ReadsTempoPlayStatePositionAndALoopWithFinitePoints)
{
    ManualPlayHead head;
    head.setPlaying (true, 128.0, 7.5);
    head.position->setIsLooping (true);
    head.position->setLoopPoints (juce::AudioPlayHead::LoopPoints { 4.0, 12.0 });

    HostTransport t;
    const auto& s = t.read (&head);
    EXPECT_TRUE (s.playing);
    EXPECT_TRUE (s.hasTempo);
    EXPECT_EQ (s.bpm, 128.0);
    EXPECT_TRUE (s.hasPosition);
    EXPECT_EQ (s.ppq, 7.5);
    EXPECT_TRUE (s.looping);
    EXPECT_EQ (s.loopStartPpq, 4.0);
    EXPECT_EQ (s.loopEndPpq, 12.0);
    EXPECT_TRUE (s.startedPlaying);
    EXPECT_FALSE (t.read (&head).startedPlaying); // only the first playing block

    head.position->setLoopPoints (juce::AudioPlayHead::LoopPoints { 12.0, 4.0 });
    EXPECT_FALSE (t.read (&head).looping);
    head.position->setBpm (std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ (t.read (&head).bpm, 120.0);
    EXPECT_FALSE (t.current().hasTempo);
}

TEST (HostTransport, MissingPositionMeansNoTransportUnlessExtrapolating)
{
    ManualPlayHead head;
    head.setPlaying (true, 120.0, 0.0);
    HostTransport plain;
    plain.read (&head);
    head.clear();
    EXPECT_FALSE (plain.read (&head).playing);
    EXPECT_EQ (plain.current().bpm, 120.0);
    EXPECT_FALSE (plain.read (nullptr).playing);
}

TEST (HostTransport, ExtrapolatesALastKnownPlayingPositionBySamplesTimesTempo)
{
    ManualPlayHead head;
    head.setPlaying (true, 90.0, 2.0);
    HostTransport t;
    t.setExtrapolatesMissingPositions (true);
    t.read (&head);
    t.advance (480, 48000.0);
    head.clear();

    // 480 samples at 90 BPM and 48 kHz are 0.015 beats.
    const auto& s = t.read (&head);
    EXPECT_TRUE (s.playing);
    EXPECT_EQ (s.bpm, 90.0);
    EXPECT_NEAR (s.ppq, 2.015, 1.0e-12);
    EXPECT_FALSE (s.startedPlaying);
    for (int i = 0; i < 99; ++i)
    {
        t.advance (480, 48000.0);
        t.read (&head);
    }
    EXPECT_NEAR (t.current().ppq, 2.0 + 100 * 0.015, 1.0e-9);

    // A fresh position from the host wins over the extrapolation.
    head.setPlaying (true, 90.0, 16.0);
    EXPECT_EQ (t.read (&head).ppq, 16.0);

    // A stopped transport is not extrapolated into playing.
    head.setPlaying (false, 90.0, 16.0);
    t.read (&head);
    head.clear();
    EXPECT_FALSE (t.read (&head).playing);
}

TEST (HostTransport, ExtrapolationWrapsAtTheLoopEnd)
{
    ManualPlayHead head;
    head.setPlaying (true, 120.0, 7.9);
    head.position->setIsLooping (true);
    head.position->setLoopPoints (juce::AudioPlayHead::LoopPoints { 4.0, 8.0 });
    HostTransport t;
    t.setExtrapolatesMissingPositions (true);
    t.read (&head);
    t.advance (4800, 48000.0); // 0.2 beats
    EXPECT_NEAR (t.current().ppq, 4.1, 1.0e-12);
}

TEST (HostTransport, AnLv2InstanceKeepsPlayingOnCyclesWithoutAPosition)
{
    struct WrapperTypeScope
    {
        explicit WrapperTypeScope (juce::AudioProcessor::WrapperType t) { juce::AudioProcessor::setTypeOfNextNewPlugin (t); }
        ~WrapperTypeScope() { juce::AudioProcessor::setTypeOfNextNewPlugin (juce::AudioProcessor::wrapperType_Undefined); }
    };

    std::unique_ptr<ProcessorHarness> lv2, vst3;
    {
        const WrapperTypeScope scope (juce::AudioProcessor::wrapperType_LV2);
        lv2 = std::make_unique<ProcessorHarness>();
    }
    {
        const WrapperTypeScope scope (juce::AudioProcessor::wrapperType_VST3);
        vst3 = std::make_unique<ProcessorHarness>();
    }
    ASSERT_EQ (lv2->processor().wrapperType, juce::AudioProcessor::wrapperType_LV2);

    for (auto* h : { lv2.get(), vst3.get() })
    {
        h->playHead.setPlaying (true, 140.0, 8.0);
        h->runSilence (512);
        h->playHead.clear();
        h->runSilence (1024);
    }
    EXPECT_TRUE (lv2->processor().hostPlaying.load());
    EXPECT_EQ (lv2->processor().hostBpm.load(), 140.0);
    // Four blocks of 512 at 140 BPM and 48 kHz: 2048 * 140 / 60 / 48000 beats on from 8.
    lv2->runSilence (512);
    EXPECT_NEAR (lv2->processor().getTransport().ppq, 8.0 + 2048.0 * 140.0 / 60.0 / 48000.0, 1.0e-9);

    EXPECT_FALSE (vst3->processor().hostPlaying.load());
}
