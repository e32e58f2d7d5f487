#pragma once

#include "analysis/ManualAnalysisResult.h"

#include <array>
#include <optional>
#include <span>
#include <vector>

namespace lumetta::phasesearch
{
struct CorrelationSums;
struct SearchKernels;

// The all-pass grid: every frequency with every Q, frequencies outermost.
inline constexpr std::array<float, 14> allPassSearchFreqs { 30.0f, 50.0f, 70.0f, 90.0f, 100.0f, 120.0f, 140.0f,
                                                            160.0f, 180.0f, 200.0f, 250.0f, 300.0f, 400.0f, 500.0f };
inline constexpr std::array<float, 4> allPassQValues { 0.5f, 0.707f, 1.0f, 1.5f };
// Centres tried for a second all-pass behind the first when one rotation is not enough.
inline constexpr std::array<float, 10> dualAPFreqs { 40.0f, 80.0f, 120.0f, 180.0f, 250.0f,
                                                     350.0f, 500.0f, 750.0f, 1200.0f, 1800.0f };

// The whole ANALYZE search of one capture (both buffers the same length): level check, band-pass,
// the pre- or post-mode search and the predicted readings. hasResult is false for a silent capture
// (and for an empty one, or a rate outside 0..768000 Hz); the other fields then keep their defaults.
// Non-finite samples count as silence.
ManualAnalysisResult analyzeCapture (const std::vector<float>& bass, const std::vector<float>& kick, double sampleRate,
                                     const AnalysisContext& context);

// The same on the given kernel set instead of the fastest one.
ManualAnalysisResult analyzeCapture (const std::vector<float>& bass, const std::vector<float>& kick, double sampleRate,
                                     const AnalysisContext& context, const SearchKernels& kernels);

// 20 Hz second-order Butterworth high-pass then 2000 Hz low-pass, in place over the first
// min(count, size) samples, each from rest.
void applyAnalysisBandpass (std::vector<float>& samples, int count, double sampleRate);

// How long the all-pass takes to ring down after a change: the remaining amplitude falls to e⁻⁵
// (e⁻⁸ for Q 0.4..0.6), never less than 12 ms; 536870911 when it never settles.
int allPassSettlingSamples (float freqHz, float q, double sampleRate);

// Scores of bass[i] against kick[i + lag] (negated with invert) over the overlapping part, as
// integers 0..100 where 50 means unrelated or too little signal to tell.
// Normalised correlation: 100 identical, 0 inverted.
int correlationPercent (const float* bass, const float* kick, int count, int lag, bool invert);
// The same score of sums a kernel collected.
int correlationPercent (const CorrelationSums& sums, bool invert) noexcept;
// The share of pairs with equal signs (unequal with opposite) among pairs where both are loud.
int signAgreementPercent (const float* bass, const float* kick, int count, int lag, bool opposite);

//==============================================================================
// The pre-mode verdict from the candidate scores.
struct PreModeScores
{
    int p0 = 50, f0 = 50;   // zero delay as is, and with the kick inverted
    int ap0 = 50, af0 = 50; // zero delay with the best all-pass, kick as is and inverted
    int dn = 50, df = 50;   // at the best lag with the kick as is, and at the best inverted lag
    int apd = 50;           // the all-pass grid at the chosen of those two lags
    bool apdImproved = false;
    std::optional<int> dd;  // a second all-pass stage behind the first, when it was tried
};

enum class ProposedAllPass
{
    None,
    AtZero,        // the zero-delay all-pass against the kick as is
    AtZeroFlipped, // the zero-delay all-pass against the inverted kick
    AtDelay        // the all-pass found at the chosen lag
};

struct PreModeChoice
{
    bool useDelay = false; // the chosen lag; otherwise no delay at all
    bool flip = false;
    ProposedAllPass allPass = ProposedAllPass::None;
    int bestPercent = 50;
};

// A delay is proposed only when it beats every zero-delay candidate by more than 5 points:
// flip and all-pass leave the timing alone and are preferred.
PreModeChoice decidePreMode (const PreModeScores& scores) noexcept;

// The post-mode walk over the searched lags, in order.
struct LagScores
{
    int lag = 0;
    int same = 50, opposite = 50; // sign agreement with the kick as is and inverted
};

struct PostModeChoice
{
    int lag = 0;
    bool flip = false; // relative to the polarity in effect
    int bestPercent = 50;
};

// A score replaces the best so far when strictly higher; a lag other than 0 must beat it by more
// than 5 points, so that the current timing wins near-ties.
PostModeChoice choosePostModeLag (int baselinePercent, std::span<const LagScores> lags) noexcept;
} // namespace lumetta::phasesearch
