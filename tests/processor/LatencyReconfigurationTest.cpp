#include "helpers/ProcessorHarness.h"

#include <gtest/gtest.h>

#include <thread>

namespace
{
using Fade = ReconfigurationFade;

constexpr int kBase = 960;        // 20 ms at 48 kHz
constexpr int kLookahead = 18432; // 384 ms at 48 kHz with 512-sample blocks
constexpr int kFadeSamples = 144; // 3 ms at 48 kHz
constexpr float kQuietLevel = 0.0005f;

// Holds the audio thread inside processBlock (in its play-head query) until released, using only
// atomics so that the real-time guard around the block stays clean.
class HeldPlayHead : public juce::AudioPlayHead
{
public:
    juce::Optional<PositionInfo> getPosition() const override
    {
        entered = true;
        while (! released)
            std::this_thread::yield();
        return {};
    }
    mutable std::atomic<bool> entered { false };
    std::atomic<bool> released { false };
};

class LatencyReconfiguration : public testing::Test
{
protected:
    // Enough quiet blocks for input and output to have stayed quiet for a whole delay line.
    void settleQuiet (float level = kQuietLevel) { h.runSilence (kBase + kLookahead + 1 + 4096, level); }

    juce::AudioBuffer<float> block (float level) { return h.run (signals::constant (2, 512, level)); }

    ProcessorHarness h; // 48 kHz, 512
    LumettaAudioProcessor& p = h.processor();
};
} // namespace

TEST_F (LatencyReconfiguration, LookaheadTargetIsThreeHundredEightyFourMilliseconds)
{
    EXPECT_EQ (p.getLookaheadLatency(), kLookahead);
    EXPECT_EQ (p.getAppliedLatency(), kBase);
    EXPECT_EQ (p.getTargetLatency(), kBase);
    h.setParameter ("phaseFollow", 1.0f);
    EXPECT_EQ (p.getTargetLatency(), kLookahead);
    h.setParameter ("phaseFollowLookahead", 0.0f);
    EXPECT_EQ (p.getTargetLatency(), kBase);
}

TEST_F (LatencyReconfiguration, WaitsWhileTheTransportPlaysThenFadesOutSwitchesAndFadesIn)
{
    h.setParameter ("phaseFollow", 1.0f);

    // Playing: nothing changes however quiet it is.
    h.playHead.setPlaying (true);
    settleQuiet();
    for (int i = 0; i < 5; ++i)
        p.timerCallback();
    EXPECT_EQ (p.getLatencySamples(), kBase);
    EXPECT_EQ (p.getFadeState(), Fade::none);
    EXPECT_EQ (p.getPhaseFollowStatusText(), "Stop playback");

    // Stopped but loud: still waiting.
    h.playHead.setPlaying (false);
    h.run (signals::sine (2, 4096, 60.0, 48000.0, 0.5f));
    p.timerCallback();
    EXPECT_FALSE (p.isQuiet());
    EXPECT_EQ (p.getFadeState(), Fade::none);
    EXPECT_EQ (p.getLatencySamples(), kBase);
    EXPECT_EQ (p.getPhaseFollowStatusText(), "Waiting for silence");

    // Stopped and quiet (but not digital silence): the output fades out over 3 ms.
    settleQuiet();
    ASSERT_TRUE (p.isQuiet());
    ASSERT_FALSE (p.isSilent());
    p.timerCallback();
    EXPECT_EQ (p.getFadeState(), Fade::fadingOut);
    EXPECT_EQ (p.getLatencySamples(), kBase);

    const auto out = block (kQuietLevel);
    EXPECT_NEAR (out.getSample (0, 0), kQuietLevel * (1.0f - 1.0f / kFadeSamples), 1.0e-9f);
    EXPECT_NEAR (out.getSample (0, 71), kQuietLevel * (1.0f - 72.0f / kFadeSamples), 1.0e-8f);
    int firstZero = -1;
    for (int i = 0; i < out.getNumSamples() && firstZero < 0; ++i)
        if (juce::exactlyEqual (out.getSample (0, i), 0.0f))
            firstZero = i;
    EXPECT_NEAR (firstZero, kFadeSamples - 1, 1);
    EXPECT_EQ (out.getMagnitude (0, kFadeSamples, 512 - kFadeSamples), 0.0f);
    EXPECT_EQ (p.getFadeState(), Fade::silent);

    // Faded out: the change happens and the output fades back in.
    p.timerCallback();
    EXPECT_EQ (p.getLatencySamples(), kLookahead);
    EXPECT_EQ (p.getAppliedLatency(), kLookahead);
    EXPECT_EQ (p.getFadeState(), Fade::fadingIn);
    EXPECT_NEAR (p.getTailLengthSeconds(), kLookahead / 48000.0 + 0.03, 1.0e-12);

    block (kQuietLevel);
    EXPECT_EQ (p.getFadeState(), Fade::none);
    EXPECT_NE (p.getPhaseFollowStatusText(), "Waiting for silence");

    // The new latency is the one audio now takes.
    p.polarityFlip = false;
    const auto impulse = h.run (signals::impulse (2, kLookahead + 1024, 0));
    EXPECT_EQ (signals::firstAbove (impulse, 0, 0.01f), kLookahead);
}

TEST_F (LatencyReconfiguration, DigitalSilenceSwitchesWithoutFadingOut)
{
    h.setParameter ("phaseFollow", 1.0f);
    settleQuiet (0.0f);
    ASSERT_TRUE (p.isSilent());
    p.timerCallback();
    EXPECT_EQ (p.getLatencySamples(), kLookahead);

    // Back to the base latency the same way.
    h.setParameter ("phaseFollowLookahead", 0.0f);
    block (0.0f);
    p.timerCallback();
    EXPECT_EQ (p.getLatencySamples(), kBase);
}

TEST_F (LatencyReconfiguration, WithdrawingTheRequestFadesBackInWithoutAChange)
{
    h.setParameter ("phaseFollow", 1.0f);
    settleQuiet();
    p.timerCallback();
    block (kQuietLevel);
    ASSERT_EQ (p.getFadeState(), Fade::silent);

    h.setParameter ("phaseFollow", 0.0f);
    p.timerCallback();
    EXPECT_EQ (p.getFadeState(), Fade::fadingIn);
    const auto out = block (kQuietLevel);
    EXPECT_NEAR (out.getSample (0, 0), kQuietLevel / kFadeSamples, 1.0e-9f);
    EXPECT_FLOAT_EQ (out.getSample (0, 300), kQuietLevel);
    EXPECT_EQ (p.getFadeState(), Fade::none);
    EXPECT_EQ (p.getLatencySamples(), kBase);
}

TEST_F (LatencyReconfiguration, SignalOrPlaybackDuringTheFadeOutTurnsItIntoAFadeIn)
{
    h.setParameter ("phaseFollow", 1.0f);
    settleQuiet();
    p.timerCallback();
    ASSERT_EQ (p.getFadeState(), Fade::fadingOut);

    // Input above 0.001 wakes the output in the same sample.
    h.run (signals::constant (2, 512, 0.01f));
    EXPECT_EQ (p.getFadeState(), Fade::none);

    // The loud block made the processor not quiet again, so the timer waits.
    p.timerCallback();
    EXPECT_EQ (p.getFadeState(), Fade::none);
    EXPECT_EQ (p.getLatencySamples(), kBase);

    settleQuiet();
    p.timerCallback();
    ASSERT_EQ (p.getFadeState(), Fade::fadingOut);
    h.playHead.setPlaying (true);
    block (kQuietLevel);
    EXPECT_EQ (p.getFadeState(), Fade::none);
    p.timerCallback();
    EXPECT_EQ (p.getLatencySamples(), kBase);
}

TEST_F (LatencyReconfiguration, ABlockStillRunningAfterTwentyFiveMillisecondsPostponesTheChange)
{
    h.setParameter ("phaseFollow", 1.0f);
    settleQuiet();
    p.timerCallback();
    block (kQuietLevel);
    ASSERT_EQ (p.getFadeState(), Fade::silent);

    HeldPlayHead held;
    p.setPlayHead (&held);
    std::thread audio ([this]
    {
        auto buffer = signals::constant (4, 512, kQuietLevel);
        h.processBlock (buffer);
    });
    while (! held.entered)
        std::this_thread::yield();

    const auto start = std::chrono::steady_clock::now();
    p.timerCallback();
    const auto waited = std::chrono::steady_clock::now() - start;
    held.released = true;
    audio.join();
    p.setPlayHead (&h.playHead);

    EXPECT_GE (waited, std::chrono::milliseconds (25));
    EXPECT_FALSE (p.isReconfiguring());
    EXPECT_EQ (p.getLatencySamples(), kBase);
    EXPECT_EQ (p.getAppliedLatency(), kBase);

    // The abandoned attempt faded the output back in; the change comes on a later tick.
    block (kQuietLevel);
    EXPECT_EQ (p.getFadeState(), Fade::none);
    p.timerCallback();
    block (kQuietLevel);
    p.timerCallback();
    EXPECT_EQ (p.getLatencySamples(), kLookahead);
}
