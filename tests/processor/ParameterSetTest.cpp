#include "processor/ParameterIds.h"
#include "processor/PluginProcessor.h"

#include <gtest/gtest.h>

namespace
{
struct Expected
{
    const char* id;
    const char* name;
    char kind; // 'f' float, 'b' bool, 'c' choice
    float min, max, step, skew, def;
    std::vector<const char*> items = {};
};

// What hosts see and saved projects depend on, in declaration order.
const std::vector<Expected> kExpected {
    { "delayMs", "Delay", 'f', -20, 20, 0.1f, 1, 0 },
    { "allPassFreq", "Phase Frequency", 'f', 20, 500, 1, 1, 100 },
    { "dowsenOn", "Dowsen On", 'b', 0, 1, 0, 0, 0 },
    { "duckMode", "Duck Mode", 'c', 0, 1, 0, 0, 0, { "Follow", "Learn" } },
    { "duckDepth", "Duck Mix", 'f', 0, 100, 1, 1, 100 },
    { "duckAttack", "Duck Attack", 'f', 0, 100, 0.1f, 1, 4 },
    { "duckRelease", "Duck Release", 'f', 1, 1000, 1, 1, 90 },
    { "detHp", "Detector HP", 'f', 20, 500, 1, 1, 30 },
    { "detSens", "Detector Sensitivity", 'f', -12, 24, 0.1f, 1, 0 },
    { "scTrigger", "Trigger", 'c', 0, 1, 0, 0, 0, { "Grid", "Audio" } },
    { "scSnap", "Snap to Grid", 'b', 0, 1, 0, 0, 1 },
    { "scRate", "Duck Rate", 'c', 0, 4, 0, 0, 2, { "1/16", "1/8", "1/4", "1/2", "Bar" } },
    { "scLive", "Duck Live Ringmod", 'b', 0, 1, 0, 0, 0 },
    { "scLowOnly", "Duck Low Band Only", 'b', 0, 1, 0, 0, 0 },
    { "scXoverHz", "Duck Crossover", 'f', 20, 20000, 1, 0.25f, 180 },
    { "scLiveHoldMs", "Live Hold", 'f', 0, 500, 1, 1, 15 },
    { "scLiveRelMs", "Live Release", 'f', 10, 1000, 1, 0.5f, 90 },
    { "scHpHz", "Duck Band HP", 'f', 20, 20000, 1, 0.25f, 20 },
    { "scMonoHz", "Mono Below", 'f', 20, 20000, 1, 0.25f, 180 },
    { "scOffsetMs", "Duck Sync Offset", 'f', -200, 200, 0.1f, 1, 0 },
    { "scLpXover", "Linear Phase Low", 'b', 0, 1, 0, 0, 0 },
    { "scMonoLow", "Mono Low", 'b', 0, 1, 0, 0, 0 },
    { "scAutoGain", "Auto Makeup Gain", 'b', 0, 1, 0, 0, 0 },
    { "scAutoTargetDb", "Auto Level Target", 'f', -6, 0, 0.1f, 1, -2 },
    { "scShowKick", "Show Kick Lane", 'b', 0, 1, 0, 0, 1 },
    { "scShowIn", "Show Bass In Lane", 'b', 0, 1, 0, 0, 1 },
    { "scShowOut", "Show Bass Out Lane", 'b', 0, 1, 0, 0, 1 },
    { "scLiveTiming", "Live Timing", 'c', 0, 1, 0, 0, 1, { "Legacy", "Timed" } },
    { "scTimedHoldMs", "Timed Hold", 'f', 0, 500, 1, 1, 0 },
    { "scTimedReleaseMs", "Timed Release", 'f', 0, 1000, 1, 0.5f, 150 },
    { "scTimedAttackMs", "Timed Attack", 'f', 0, 15, 0.1f, 1, 2 },
    { "scTimedShape", "Kick Shape", 'f', 0, 100, 1, 1, 55 },
    { "scTimedEighth", "Full Bass By Eighth", 'b', 0, 1, 0, 0, 0 },
    { "phaseFollow", "Phase Follow", 'b', 0, 1, 0, 0, 0 },
    { "phaseFollowLookahead", "Phase Follow Lookahead", 'b', 0, 1, 0, 0, 1 },
};
} // namespace

TEST (ParameterSet, HostSeesTheThirtyFiveParametersInOrderWithTheirRangesAndDefaults)
{
    LumettaAudioProcessor processor;
    const auto& params = processor.getParameters();
    ASSERT_EQ (params.size(), static_cast<int> (kExpected.size()));
    ASSERT_EQ (lumetta::param::kAll.size(), kExpected.size());

    for (size_t i = 0; i < kExpected.size(); ++i)
    {
        const auto& e = kExpected[i];
        SCOPED_TRACE (e.id);
        auto* p = dynamic_cast<juce::RangedAudioParameter*> (params[static_cast<int> (i)]);
        ASSERT_NE (p, nullptr);
        EXPECT_EQ (p->getParameterID(), e.id);
        EXPECT_STREQ (lumetta::param::kAll[i], e.id);
        EXPECT_EQ (p->getName (100), e.name);
        EXPECT_EQ (p->getLabel(), "");
        EXPECT_TRUE (p->isAutomatable());
        EXPECT_FALSE (p->isMetaParameter());
        EXPECT_EQ (p->getVersionHint(), 1);
        EXPECT_FLOAT_EQ (p->convertFrom0to1 (p->getDefaultValue()), e.def);
        EXPECT_FLOAT_EQ (processor.parameters.getRawParameterValue (e.id)->load(), e.def);

        const auto& range = p->getNormalisableRange();
        EXPECT_FLOAT_EQ (range.start, e.min);
        EXPECT_FLOAT_EQ (range.end, e.max);
        switch (e.kind)
        {
            case 'f':
                ASSERT_NE (dynamic_cast<juce::AudioParameterFloat*> (p), nullptr);
                EXPECT_FLOAT_EQ (range.interval, e.step);
                EXPECT_FLOAT_EQ (range.skew, e.skew);
                EXPECT_FALSE (range.symmetricSkew);
                break;
            case 'b':
                EXPECT_NE (dynamic_cast<juce::AudioParameterBool*> (p), nullptr);
                break;
            default:
            {
                auto* c = dynamic_cast<juce::AudioParameterChoice*> (p);
                ASSERT_NE (c, nullptr);
                ASSERT_EQ (c->choices.size(), static_cast<int> (e.items.size()));
                for (size_t k = 0; k < e.items.size(); ++k)
                    EXPECT_EQ (c->choices[static_cast<int> (k)], e.items[k]);
            }
        }
    }
}

TEST (ParameterSet, TreeIsNamedParametersAndHasNoUndoManager)
{
    LumettaAudioProcessor processor;
    EXPECT_EQ (processor.parameters.state.getType().toString(), "PARAMETERS");
    EXPECT_EQ (processor.parameters.undoManager, nullptr);
}
