#pragma once

#include "analysis/ManualAnalysisResult.h"

#include <juce_core/juce_core.h>

// The words of ANALYZE: what the oscilloscope says about a finished analysis, the messages of a
// press that cannot start, and the button captions. Numbers are formatted the same in every locale.
struct AnalysisPresentation
{
    enum class Kind { noAudio, noAdjustment, suggestion };
    Kind kind = Kind::noAudio;
    juce::String text;       // what the oscilloscope shows
    juce::String buttonText; // "ANALYZE" or "APPLY"

    // dowsenOn picks the closing line of a suggestion.
    static AnalysisPresentation present (const ManualAnalysisResult& result, bool dowsenOn);

    // "+" for non-negative values, one decimal, "ms"; a value that rounds to zero reads "+0.0ms".
    static juce::String formatDelay (float delayMs);

    static constexpr const char* kNoAudioMessage = "No audio detected.\nPlay audio for a few seconds and try again.";
    static constexpr const char* kNoSidechainMessage = "No sidechain signal detected.\nRoute your kick to the sidechain input.";
    static constexpr const char* kNotEnoughAudioMessage = "Not enough audio captured.\nPlay audio for a few seconds first.";
    static constexpr const char* kAnalyzeButtonText = "ANALYZE";
    static constexpr const char* kApplyButtonText = "APPLY";
    static juce::String analyzingButtonText(); // a filled circle, then " ANALYZING"
};

// A meter reading in the words of the analysis texts: "measuring", "no low end", "low interaction",
// "varies per beat", or the percentage rounded to the nearest integer (ties to even) and "%".
// A state outside the known ones, or a valid state without a finite percent, reads "measuring".
juce::String phaseMeterText (const PhaseMeterReading& reading);

// The same reading as the alignment ring labels it: "MEASURING", "NO LOW END", "LOW INTERACTION",
// "VARIES PER BEAT", or the percentage.
juce::String phaseMeterRingLabel (const PhaseMeterReading& reading);
