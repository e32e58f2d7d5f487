#pragma once

#include "analysis/AnalysisPresentation.h"
#include "analysis/ManualAnalysisResult.h"

#include <juce_core/juce_core.h>

class LumettaAudioProcessor;

// ANALYZE as the editor runs it, on the message thread: a press arms a fresh one-second capture,
// each status tick hands a full capture to the analysis thread and collects its result, and the
// result is presented as a message or as a suggestion to APPLY or CANCEL. The editor owns one and
// draws what it says; closing the editor loses only the presentation.
class ManualAnalysisSession
{
public:
    enum class State { idle, analysing, suggestion };
    enum class Overlay { none, analysing, suggestion, message };

    explicit ManualAnalysisSession (LumettaAudioProcessor& processor);

    void press();  // the ANALYZE button (which reads APPLY while a suggestion is shown)
    void tick();   // every status refresh
    void apply();  // APPLY on the oscilloscope
    void cancel(); // CANCEL on the oscilloscope
    // Phase follow took over: forget the analysis on screen; a running search finishes unseen.
    void discard();

    State getState() const noexcept { return state; }
    Overlay getOverlay() const noexcept { return overlay; }
    const juce::String& getText() const noexcept { return text; }
    juce::String getButtonText() const;
    const ManualAnalysisResult& getResult() const noexcept { return result; }

private:
    bool followGuard();
    void showMessage (const juce::String& message);
    void complete();

    LumettaAudioProcessor& processor;
    State state = State::idle;
    Overlay overlay = Overlay::none;
    juce::String text;
    ManualAnalysisResult result;
};
