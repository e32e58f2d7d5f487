#include "analysis/AnalysisPresentation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace
{
PhaseMeterReading reading (PhaseMeterState state, float percent)
{
    PhaseMeterReading r;
    r.state = state;
    r.percent = percent;
    return r;
}

PhaseMeterReading valid (float percent)
{
    return reading (PhaseMeterState::Valid, percent);
}

ManualAnalysisResult found (int baseline, int best)
{
    ManualAnalysisResult r;
    r.hasResult = true;
    r.baselinePercent = baseline;
    r.bestPercent = best;
    r.before = valid (40.0f);
    r.after = valid (88.0f);
    return r;
}
} // namespace

TEST (AnalysisPresentation, ReadingWordsAndRingLabels)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const struct
    {
        PhaseMeterReading reading;
        const char* text;
        const char* ring;
    } cases[] = {
        { reading (PhaseMeterState::Measuring, 90.0f), "measuring", "MEASURING" },
        { reading (PhaseMeterState::NoLowEnd, 50.0f), "no low end", "NO LOW END" },
        { reading (PhaseMeterState::LowInteraction, 70.0f), "low interaction", "LOW INTERACTION" },
        { reading (PhaseMeterState::VariesPerBeat, 70.0f), "varies per beat", "VARIES PER BEAT" },
        { valid (57.4f), "57%", "57%" },
        { valid (72.5f), "72%", "72%" }, // ties to even
        { valid (73.5f), "74%", "74%" },
        { valid (0.4f), "0%", "0%" },
        { valid (100.0f), "100%", "100%" },
        { valid (nan), "measuring", "MEASURING" },
        { valid (std::numeric_limits<float>::infinity()), "measuring", "MEASURING" },
        { reading (static_cast<PhaseMeterState> (7), 60.0f), "measuring", "MEASURING" },
        { reading (static_cast<PhaseMeterState> (-1), 60.0f), "measuring", "MEASURING" },
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ (phaseMeterText (c.reading), c.text) << c.text;
        EXPECT_EQ (phaseMeterRingLabel (c.reading), c.ring) << c.ring;
    }
}

TEST (AnalysisPresentation, DelayReadsWithASignOneDecimalAndNeverANegativeZero)
{
    const struct
    {
        float ms;
        const char* text;
    } cases[] = {
        { 0.0f, "+0.0ms" },      { -0.0f, "+0.0ms" },   { -0.04f, "+0.0ms" }, { 0.04f, "+0.0ms" },
        { -0.0226757f, "+0.0ms" }, // one sample at 44.1 kHz
        { -0.06f, "-0.1ms" },    { -3.0f, "-3.0ms" },   { 2.5f, "+2.5ms" },   { 10.0f, "+10.0ms" },
        { -10.0f, "-10.0ms" },   { -4.5f, "-4.5ms" },   { 0.1f, "+0.1ms" },
    };
    for (const auto& c : cases)
        EXPECT_EQ (AnalysisPresentation::formatDelay (c.ms), c.text) << c.ms;
}

TEST (AnalysisPresentation, TextsOfEveryOutcome)
{
    using Kind = AnalysisPresentation::Kind;
    const struct
    {
        const char* name;
        ManualAnalysisResult result;
        bool dowsenOn;
        Kind kind;
        const char* text;
    } cases[] = {
        { "silent", {}, false, Kind::noAudio, "No audio detected.\nPlay audio for a few seconds and try again." },
        { "aligned, pre",
          [] { auto r = found (80, 83); r.before = valid (72.5f); return r; }(), true, Kind::noAdjustment,
          "No further phase adjustment suggested.\nLow-end alignment: 72% (PRE: before Sidechain)" },
        { "aligned, post, at the thresholds",
          [] { auto r = found (75, 78); r.postMode = true; r.before = reading (PhaseMeterState::NoLowEnd, 50.0f); return r; }(),
          true, Kind::noAdjustment,
          "No further phase adjustment suggested.\nLow-end alignment: no low end (POST: after Sidechain)" },
        { "four points better is a suggestion",
          [] { auto r = found (75, 79); r.delayMs = -3.0f; return r; }(), false, Kind::suggestion,
          "Delay: -3.0ms\nAlignment: 40% (PRE bypass) -> 88%\nCaptured audio; recheck the live meter after APPLY." },
        { "a baseline below 75 is a suggestion even without a gain",
          [] { auto r = found (74, 74); r.flip = true; return r; }(), false, Kind::suggestion,
          "Delay: +0.0ms  |  Flip: Yes\nAlignment: 40% (PRE bypass) -> 88%\nCaptured audio; recheck the live meter after APPLY." },
        { "pre, Dowsen on, everything proposed",
          [] {
              auto r = found (20, 91);
              r.delayMs = -0.04f;
              r.flip = true;
              r.allPassOn = true;
              r.allPassFreqHz = 127.9f;
              return r;
          }(),
          true, Kind::suggestion,
          "Delay: +0.0ms  |  Flip: Yes  |  Phase: 127Hz\nAlignment: 40% (PRE bypass) -> 88%\n"
          "PRE: before Sidechain. Phase only; Dowsen excluded. Check the live meter after APPLY." },
        { "post, Dowsen on, the all-pass kept",
          [] {
              auto r = found (48, 70);
              r.postMode = true;
              r.delayMs = 2.5f;
              r.allPassOn = true;
              r.allPassFreqHz = 100.0f;
              r.before = reading (PhaseMeterState::VariesPerBeat, 30.0f);
              r.after = valid (61.2f);
              return r;
          }(),
          true, Kind::suggestion,
          "Delay: +2.5ms  |  Phase: 100Hz\nAlignment: varies per beat (POST) -> 61%\n"
          "POST: after Sidechain. All-pass preserved. Recheck after APPLY." },
        { "post, Dowsen off",
          [] { auto r = found (48, 70); r.postMode = true; r.delayMs = -9.9f; return r; }(), false, Kind::suggestion,
          "Delay: -9.9ms\nAlignment: 40% (POST) -> 88%\nCaptured audio; recheck the live meter after APPLY." },
    };
    for (const auto& c : cases)
    {
        const auto shown = AnalysisPresentation::present (c.result, c.dowsenOn);
        EXPECT_EQ (shown.kind, c.kind) << c.name;
        EXPECT_EQ (shown.text, juce::String (c.text)) << c.name;
        EXPECT_EQ (shown.buttonText, c.kind == Kind::suggestion ? "APPLY" : "ANALYZE") << c.name;
    }
}

TEST (AnalysisPresentation, PressMessagesAndTheAnalyzingCaption)
{
    EXPECT_STREQ (AnalysisPresentation::kNoSidechainMessage, "No sidechain signal detected.\nRoute your kick to the sidechain input.");
    EXPECT_STREQ (AnalysisPresentation::kNotEnoughAudioMessage, "Not enough audio captured.\nPlay audio for a few seconds first.");

    const auto analyzing = AnalysisPresentation::analyzingButtonText();
    EXPECT_EQ (analyzing.length(), 11);
    EXPECT_EQ (analyzing[0], static_cast<juce::juce_wchar> (0x25CF));
    EXPECT_EQ (analyzing.substring (1), " ANALYZING");
    EXPECT_STREQ (analyzing.toRawUTF8(), "\xe2\x97\x8f ANALYZING");
}
