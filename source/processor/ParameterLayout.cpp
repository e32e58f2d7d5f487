#include "processor/PluginProcessor.h"

#include "processor/ParameterIds.h"

namespace
{
using Layout = juce::AudioProcessorValueTreeState::ParameterLayout;

juce::ParameterID idOf (const char* id) { return { id, 1 }; }

void addFloat (Layout& layout, const char* id, const char* name,
               float min, float max, float step, float skew, float def)
{
    layout.add (std::make_unique<juce::AudioParameterFloat> (
        idOf (id), name, juce::NormalisableRange<float> (min, max, step, skew), def));
}

void addBool (Layout& layout, const char* id, const char* name, bool def)
{
    layout.add (std::make_unique<juce::AudioParameterBool> (idOf (id), name, def));
}

void addChoice (Layout& layout, const char* id, const char* name, juce::StringArray items, int def)
{
    layout.add (std::make_unique<juce::AudioParameterChoice> (idOf (id), name, std::move (items), def));
}
} // namespace

juce::AudioProcessorValueTreeState::ParameterLayout LumettaAudioProcessor::createParameterLayout()
{
    namespace p = lumetta::param;
    Layout l;
    addFloat (l, p::delayMs, "Delay", -20.0f, 20.0f, 0.1f, 1.0f, 0.0f);
    addFloat (l, p::allPassFreq, "Phase Frequency", 20.0f, 500.0f, 1.0f, 1.0f, 100.0f);
    addBool (l, p::dowsenOn, "Dowsen On", false);
    addChoice (l, p::duckMode, "Duck Mode", { "Follow", "Learn" }, 0);
    addFloat (l, p::duckDepth, "Duck Mix", 0.0f, 100.0f, 1.0f, 1.0f, 100.0f);
    addFloat (l, p::duckAttack, "Duck Attack", 0.0f, 100.0f, 0.1f, 1.0f, 4.0f);
    addFloat (l, p::duckRelease, "Duck Release", 1.0f, 1000.0f, 1.0f, 1.0f, 90.0f);
    addFloat (l, p::detHp, "Detector HP", 20.0f, 500.0f, 1.0f, 1.0f, 30.0f);
    addFloat (l, p::detSens, "Detector Sensitivity", -12.0f, 24.0f, 0.1f, 1.0f, 0.0f);
    addChoice (l, p::scTrigger, "Trigger", { "Grid", "Audio" }, 0);
    addBool (l, p::scSnap, "Snap to Grid", true);
    addChoice (l, p::scRate, "Duck Rate", { "1/16", "1/8", "1/4", "1/2", "Bar" }, 2);
    addBool (l, p::scLive, "Duck Live Ringmod", false);
    addBool (l, p::scLowOnly, "Duck Low Band Only", false);
    addFloat (l, p::scXoverHz, "Duck Crossover", 20.0f, 20000.0f, 1.0f, 0.25f, 180.0f);
    addFloat (l, p::scLiveHoldMs, "Live Hold", 0.0f, 500.0f, 1.0f, 1.0f, 15.0f);
    addFloat (l, p::scLiveRelMs, "Live Release", 10.0f, 1000.0f, 1.0f, 0.5f, 90.0f);
    addFloat (l, p::scHpHz, "Duck Band HP", 20.0f, 20000.0f, 1.0f, 0.25f, 20.0f);
    addFloat (l, p::scMonoHz, "Mono Below", 20.0f, 20000.0f, 1.0f, 0.25f, 180.0f);
    addFloat (l, p::scOffsetMs, "Duck Sync Offset", -200.0f, 200.0f, 0.1f, 1.0f, 0.0f);
    addBool (l, p::scLpXover, "Linear Phase Low", false);
    addBool (l, p::scMonoLow, "Mono Low", false);
    addBool (l, p::scAutoGain, "Auto Makeup Gain", false);
    addFloat (l, p::scAutoTargetDb, "Auto Level Target", -6.0f, 0.0f, 0.1f, 1.0f, -2.0f);
    addBool (l, p::scShowKick, "Show Kick Lane", true);
    addBool (l, p::scShowIn, "Show Bass In Lane", true);
    addBool (l, p::scShowOut, "Show Bass Out Lane", true);
    addChoice (l, p::scLiveTiming, "Live Timing", { "Legacy", "Timed" }, 1);
    addFloat (l, p::scTimedHoldMs, "Timed Hold", 0.0f, 500.0f, 1.0f, 1.0f, 0.0f);
    addFloat (l, p::scTimedReleaseMs, "Timed Release", 0.0f, 1000.0f, 1.0f, 0.5f, 150.0f);
    addFloat (l, p::scTimedAttackMs, "Timed Attack", 0.0f, 15.0f, 0.1f, 1.0f, 2.0f);
    addFloat (l, p::scTimedShape, "Kick Shape", 0.0f, 100.0f, 1.0f, 1.0f, 55.0f);
    addBool (l, p::scTimedEighth, "Full Bass By Eighth", false);
    addBool (l, p::phaseFollow, "Phase Follow", false);
    addBool (l, p::phaseFollowLookahead, "Phase Follow Lookahead", true);
    return l;
}
