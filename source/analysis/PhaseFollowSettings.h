#pragma once

#include <cstdint>

// One alignment of the bass to the kick: what the processor plays, what a capture was taken
// under, and what phase follow proposes.
struct PhaseFollowSettings
{
    float delayMs = 0.0f;
    float allPassFreqHz = 100.0f;
    float allPassQ = 0.707f;
    bool flip = false;
    bool allPassOn = false;

    // Exact comparison of every field: a NaN never equals anything, so settings holding one
    // always count as changed.
    bool operator== (const PhaseFollowSettings& other) const noexcept;
    bool operator!= (const PhaseFollowSettings& other) const noexcept { return ! (*this == other); }
};

// The verdict on one analysed window: the proposed polarity and rotation at the window's fixed
// delay, and the low-end reading predicted before and after it. The defaults are an invalid
// result.
struct PhaseFollowResult
{
    bool flip = false;
    float delayMs = 0.0f;  // of the settings in effect, unchanged
    int delaySamples = 0;  // trunc (rate · delayMs / 1000)
    int scoreNoFlip = 50;  // correlation percent as is, no all-pass
    int scoreFlip = 50;    // correlation percent inverted, no all-pass
    int bestScore = 50;    // correlation percent of the proposal
    bool valid = false;    // the window could be analysed
    bool allPassOn = false;
    float allPassFreqHz = 100.0f; // 20..500 Hz
    float allPassQ = 0.707f;      // 0.1..5
    float confidence = 0.0f;      // bestScore / 100

    // Identity of the capture the result came from.
    PhaseFollowSettings settingsInEffect;
    std::uint64_t epoch = 0;
    std::uint64_t captureEnd = 0; // processor sample index of the last sample
    std::uint64_t sequence = 0;
    std::uint64_t resetMarkSample = 0;
    std::uint32_t resetMarkCount = 0;
    std::uint64_t captureStart = 0; // captureEnd − count

    // The stretch the readings were predicted over, as absolute sample indices [start, end).
    std::uint64_t predictionStart = 0, predictionEnd = 0;
    int count = 0; // samples analysed

    bool improved = false;        // the proposal reliably improves the reading
    float beforePercent = 50.0f;  // predicted reading of what was playing
    float afterPercent = 50.0f;   // predicted reading with the proposal
    float improvement = 0.0f;     // afterPercent − beforePercent
};
