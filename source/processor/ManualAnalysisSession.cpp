#include "processor/ManualAnalysisSession.h"

#include "processor/ParameterIds.h"
#include "processor/PluginProcessor.h"

namespace
{
bool parameterOn (const LumettaAudioProcessor& p, const char* id)
{
    const auto* v = p.parameters.getRawParameterValue (id);
    return v != nullptr && v->load() > 0.5f;
}
} // namespace

ManualAnalysisSession::ManualAnalysisSession (LumettaAudioProcessor& p) : processor (p) {}

bool ManualAnalysisSession::followGuard()
{
    // Phase follow owns the alignment while it runs or hands back; a manual proposal would fight it.
    if (! parameterOn (processor, lumetta::param::phaseFollow) && processor.getPhaseFollowStatusText() == "Off")
        return false;
    discard();
    return true;
}

void ManualAnalysisSession::showMessage (const juce::String& message)
{
    text = message;
    overlay = Overlay::message;
}

void ManualAnalysisSession::press()
{
    if (followGuard())
        return;
    switch (state)
    {
        case State::suggestion: apply(); return;
        case State::analysing: return;
        case State::idle: break;
    }

    auto& analyzer = processor.getPhaseAnalyzer();
    if (! processor.sidechainPresent.load())
        showMessage (AnalysisPresentation::kNoSidechainMessage);
    else if (! analyzer.isCaptureFull())
        showMessage (AnalysisPresentation::kNotEnoughAudioMessage);
    else
    {
        // The second analysed starts now, so it hears what the user hears after pressing.
        analyzer.arm();
        text.clear();
        overlay = Overlay::analysing;
        state = State::analysing;
    }
}

void ManualAnalysisSession::tick()
{
    auto& analyzer = processor.getPhaseAnalyzer();
    analyzer.handOff();
    if (state != State::analysing || ! analyzer.isIdle() || followGuard())
        return;
    result = analyzer.getResult();
    complete();
}

void ManualAnalysisSession::complete()
{
    const auto shown = AnalysisPresentation::present (result, parameterOn (processor, lumetta::param::dowsenOn));
    text = shown.text;
    if (shown.kind == AnalysisPresentation::Kind::suggestion)
    {
        overlay = Overlay::suggestion;
        state = State::suggestion;
    }
    else
    {
        overlay = Overlay::message;
        state = State::idle;
    }
}

void ManualAnalysisSession::apply()
{
    if (followGuard() || state != State::suggestion)
        return;
    processor.applyAnalysis (result);
    cancel();
}

void ManualAnalysisSession::cancel()
{
    text.clear();
    overlay = Overlay::none;
    state = State::idle;
}

void ManualAnalysisSession::discard()
{
    cancel();
}

juce::String ManualAnalysisSession::getButtonText() const
{
    switch (state)
    {
        case State::analysing: return AnalysisPresentation::analyzingButtonText();
        case State::suggestion: return AnalysisPresentation::kApplyButtonText;
        case State::idle: break;
    }
    return AnalysisPresentation::kAnalyzeButtonText;
}
