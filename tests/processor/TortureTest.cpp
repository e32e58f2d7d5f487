#include "helpers/ProcessorHarness.h"
#include "processor/ParameterIds.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace
{
struct Layout
{
    int mainChannels, sideChannels;
};

// Random block sizes from 1 to the prepared maximum (both ends included), hostile input and random
// automation of every parameter; the output must stay finite and the audio thread allocation- and
// lock-free throughout.
void torture (ProcessorHarness& h, std::mt19937& rng, int blocks)
{
    auto& p = h.processor();
    const int maxBlock = h.config().maxBlock;
    const int channels = h.config().mainChannels + h.config().sideChannels;
    std::uniform_int_distribution<int> blockSize (1, maxBlock);
    std::uniform_real_distribution<float> unit (0.0f, 1.0f);
    std::uniform_int_distribution<int> kind (0, 9);
    juce::AudioBuffer<float> buffer (channels, maxBlock);

    const float hostile[] = { std::numeric_limits<float>::quiet_NaN(), INFINITY, -INFINITY,
                              1.0e-40f, -1.0e-42f, 3.0e38f, -3.0e38f, 1.0e7f };

    for (int b = 0; b < blocks; ++b)
    {
        const int n = (b == 0) ? 1 : (b == 1 ? maxBlock : blockSize (rng));
        juce::AudioBuffer<float> view (buffer.getArrayOfWritePointers(), channels, n);
        for (int ch = 0; ch < channels; ++ch)
            for (int i = 0; i < n; ++i)
            {
                const int k = kind (rng);
                view.setSample (ch, i, k == 0 ? hostile[static_cast<size_t> (rng() % std::size (hostile))]
                                              : unit (rng) * 2.0f - 1.0f);
            }

        if (b % 7 == 0)
        {
            auto* param = p.getParameters()[static_cast<int> (rng() % lumetta::param::kAll.size())];
            param->setValueNotifyingHost (unit (rng));
            p.polarityFlip = (rng() & 1) != 0;
            p.allPassOn = (rng() & 1) != 0;
            p.allPassQ = 0.05f + unit (rng) * 12.0f;
        }
        if (b % 11 == 0)
            h.playHead.setPlaying ((rng() & 1) != 0, 60.0 + 120.0 * unit (rng), 16.0 * unit (rng));
        if (b % 13 == 0)
            p.timerCallback();

        h.processBlock (view);
        for (int ch = 0; ch < channels; ++ch)
            for (int i = 0; i < n; ++i)
                ASSERT_TRUE (std::isfinite (view.getSample (ch, i))) << "block " << b << " channel " << ch << " sample " << i;
    }
}

class Torture : public testing::TestWithParam<Layout> {};
} // namespace

TEST_P (Torture, HostileInputRandomBlocksAndAutomationKeepTheOutputFinite)
{
    const auto layout = GetParam();
    std::mt19937 rng (1234u + static_cast<unsigned> (layout.mainChannels * 10 + layout.sideChannels));
    ProcessorHarness h ({ 48000.0, 512, layout.mainChannels, layout.sideChannels });
    torture (h, rng, 300);

    // Prepared again at another rate and block size, as hosts do when the session changes.
    h.prepare (44100.0, 1024);
    torture (h, rng, 200);
    h.prepare (96000.0, 37);
    torture (h, rng, 200);
}

INSTANTIATE_TEST_SUITE_P (Layouts, Torture,
                          testing::Values (Layout { 2, 2 }, Layout { 2, 1 }, Layout { 2, 0 },
                                           Layout { 1, 2 }, Layout { 1, 1 }, Layout { 1, 0 }),
                          [] (const auto& test)
                          { return "main" + std::to_string (test.param.mainChannels) + "side" + std::to_string (test.param.sideChannels); });

TEST (Torture, NonFiniteInputLeavesNoTraceOnceItHasPassed)
{
    ProcessorHarness h;
    h.processor().allPassOn = true;
    auto bad = signals::constant (4, 512, std::numeric_limits<float>::quiet_NaN());
    bad.setSample (0, 5, INFINITY);
    h.processBlock (bad);
    // Clean input afterwards: once the delay line has turned over, the output is exactly the
    // delayed clean input again.
    const auto out = h.run (signals::constant (2, 4096, 0.25f));
    for (int i = 0; i < 4096; ++i)
        ASSERT_TRUE (std::isfinite (out.getSample (0, i)));
    EXPECT_EQ (out.getMagnitude (0, 0, 960 - 512), 0.0f);
}

TEST (Torture, DenormalInputComesOutAsZero)
{
    ProcessorHarness h;
    const auto out = h.run (signals::constant (2, 2048, 1.0e-41f));
    EXPECT_EQ (out.getMagnitude (0, 2048), 0.0f);
}

TEST (Torture, BlocksLargerThanPreparedAreStillProcessed)
{
    ProcessorHarness h ({ 48000.0, 64, 2, 2 });
    const auto out = h.run (signals::impulse (2, 4096, 0), nullptr, 4096);
    EXPECT_EQ (signals::firstAbove (out, 0, 0.0f), 960);
}
