#include "analysis/AnalysisPresentation.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace
{
// Whole numbers only, so the text never depends on the locale's decimal separator.
juce::String wholePercent (float percent)
{
    const auto rounded = std::nearbyint (std::clamp (percent, 0.0f, 100.0f)); // ties to even
    return juce::String (static_cast<int> (rounded)) + "%";
}

bool showsPercent (const PhaseMeterReading& reading)
{
    return reading.state == PhaseMeterState::Valid && std::isfinite (reading.percent);
}

juce::String truncatedHz (float hz)
{
    const float finite = std::isfinite (hz) ? std::clamp (hz, -1.0e6f, 1.0e6f) : 0.0f;
    return juce::String (static_cast<int> (finite)) + "Hz";
}
} // namespace

juce::String phaseMeterText (const PhaseMeterReading& reading)
{
    switch (reading.state)
    {
        case PhaseMeterState::NoLowEnd:       return "no low end";
        case PhaseMeterState::LowInteraction: return "low interaction";
        case PhaseMeterState::VariesPerBeat:  return "varies per beat";
        case PhaseMeterState::Valid:
        case PhaseMeterState::Measuring:
        default:                              break;
    }
    return showsPercent (reading) ? wholePercent (reading.percent) : juce::String ("measuring");
}

juce::String phaseMeterRingLabel (const PhaseMeterReading& reading)
{
    switch (reading.state)
    {
        case PhaseMeterState::NoLowEnd:       return "NO LOW END";
        case PhaseMeterState::LowInteraction: return "LOW INTERACTION";
        case PhaseMeterState::VariesPerBeat:  return "VARIES PER BEAT";
        case PhaseMeterState::Valid:
        case PhaseMeterState::Measuring:
        default:                              break;
    }
    return showsPercent (reading) ? wholePercent (reading.percent) : juce::String ("MEASURING");
}

juce::String AnalysisPresentation::analyzingButtonText()
{
    return juce::String (juce::CharPointer_UTF8 ("\xe2\x97\x8f")) + " ANALYZING";
}

juce::String AnalysisPresentation::formatDelay (float delayMs)
{
    // Rounded to tenths first, so that a proposal such as -0.04 ms (one sample at 44.1 kHz and a
    // rounding away) reads "+0.0ms" and never carries a sign the digits do not show.
    const double ms = std::isfinite (delayMs) ? std::clamp (static_cast<double> (delayMs), -1.0e6, 1.0e6) : 0.0;
    const long tenths = std::lround (ms * 10.0);
    const long magnitude = std::labs (tenths);
    return juce::String (tenths < 0 ? "-" : "+") + juce::String (magnitude / 10) + "." + juce::String (magnitude % 10) + "ms";
}

AnalysisPresentation AnalysisPresentation::present (const ManualAnalysisResult& r, bool dowsenOn)
{
    if (! r.hasResult)
        return { Kind::noAudio, kNoAudioMessage, kAnalyzeButtonText };

    if (r.baselinePercent >= 75 && r.bestPercent <= r.baselinePercent + 3)
        return { Kind::noAdjustment,
                 "No further phase adjustment suggested.\nLow-end alignment: " + phaseMeterText (r.before)
                     + (r.postMode ? " (POST: after Sidechain)" : " (PRE: before Sidechain)"),
                 kAnalyzeButtonText };

    auto text = "Delay: " + formatDelay (r.delayMs);
    if (r.flip)
        text << "  |  Flip: Yes";
    if (r.allPassOn)
        text << "  |  Phase: " << truncatedHz (r.allPassFreqHz);
    text << "\nAlignment: " << phaseMeterText (r.before) << (r.postMode ? " (POST) -> " : " (PRE bypass) -> ")
         << phaseMeterText (r.after);
    if (! dowsenOn)
        text << "\nCaptured audio; recheck the live meter after APPLY.";
    else if (r.postMode)
        text << "\nPOST: after Sidechain. All-pass preserved. Recheck after APPLY.";
    else
        text << "\nPRE: before Sidechain. Phase only; Dowsen excluded. Check the live meter after APPLY.";
    return { Kind::suggestion, text, kApplyButtonText };
}
