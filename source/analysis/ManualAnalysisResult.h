#pragma once

#include "analysis/PhaseMeterReading.h"

// The alignment in effect while a capture was taken. Any change restarts the capture.
struct AnalysisContext
{
    bool postMode = false; // POST view with the Dowsen module on: the ducked output was captured
    bool flip = false;
    bool allPassOn = false;
    float delayMs = 0.0f;
    float allPassFreqHz = 100.0f;
    float allPassQ = 0.707f;

    bool operator== (const AnalysisContext& o) const noexcept;
    bool operator!= (const AnalysisContext& o) const noexcept { return ! (*this == o); }
};

// What ANALYZE proposes; flip, delay and all-pass are absolute settings.
struct ManualAnalysisResult
{
    bool postMode = false;
    bool flip = false;
    float delayMs = 0.0f; // one decimal
    int baselinePercent = 50;
    int bestPercent = 50;
    bool hasResult = false; // false when the capture was silent
    bool allPassOn = false;
    float allPassFreqHz = 100.0f;
    float allPassQ = 0.707f;
    PhaseMeterReading before, after; // only state and percent carry meaning
};
