#include "analysis/ManualAnalysisSearch.h"

#include "analysis/CorrelationKernels.h"
#include "analysis/DelaySearch.h"
#include "analysis/PhaseEfficiencyMeter.h"
#include "processor/AllPassFilter.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>

namespace lumetta::phasesearch
{
namespace
{
constexpr int kNeverSettles = 536870911;
constexpr double kMaxSampleRate = 768000.0;

// Durations in samples are truncated single-precision products, as everywhere in the search.
int samplesFor (float seconds, double sampleRate) noexcept
{
    return static_cast<int> (static_cast<float> (sampleRate) * seconds);
}

int percentOf (const CorrelationSums& s, bool invert) noexcept
{
    const auto correlation = s.correlation (invert);
    if (! correlation)
        return 50;
    const auto r = static_cast<float> (*correlation);
    if (r < -1.0f)
        return 0;
    return std::clamp (static_cast<int> ((std::min (r, 1.0f) + 1.0f) * 50.0f), 0, 100);
}

// The truncated percentage in whole numbers: in floating point 100 · (29 / 100) falls just short
// of 29 and would truncate to 28.
int percentOf (const SignCounts& c, bool opposite) noexcept
{
    if (c.pairs == 0)
        return 50;
    const auto agreeing = opposite ? c.pairs - c.sameSign : c.sameSign;
    return static_cast<int> (100 * agreeing / c.pairs);
}

//==============================================================================
struct AllPassSetting
{
    float freqHz = 100.0f, q = 0.707f;
};

// The best of one grid search, starting from the score without the all-pass.
struct AllPassCandidate
{
    explicit AllPassCandidate (int startScore) noexcept : score (startScore) {}

    int score;
    AllPassSetting setting;
    bool improved = false;
};

// The band-passed capture the search scores against.
struct Capture
{
    const float* bass;
    const float* kick;
    int count;
    double sampleRate;
    const SearchKernels& kernels;

    int correlation (int lag, bool invert) const noexcept
    {
        return percentOf (kernels.correlate (bass, kick, count, lag), invert);
    }

    // input through each all-pass against the kick at lag, all in one pass.
    std::vector<CorrelationSums> allPassed (const float* input, int lag, std::span<const AllPassSetting> points) const
    {
        std::vector<AllPassCoefficients> filters;
        filters.reserve (points.size());
        for (const auto& p : points)
            filters.push_back (allPassCoefficients (p.freqHz, p.q, sampleRate));
        std::vector<CorrelationSums> sums (points.size());
        kernels.correlateAllPassed (input, kick, count, lag, filters.data(), static_cast<int> (filters.size()), sums.data());
        return sums;
    }
};

const std::vector<AllPassSetting>& gridPoints()
{
    static const auto points = []
    {
        std::vector<AllPassSetting> p;
        for (const auto f : allPassSearchFreqs)
            for (const auto q : allPassQValues)
                p.push_back ({ f, q });
        return p;
    }();
    return points;
}

// Walking the points in order, only a strictly higher score replaces the best.
void keepBest (AllPassCandidate& best, std::span<const AllPassSetting> points, std::span<const CorrelationSums> sums, bool invert)
{
    for (std::size_t i = 0; i < points.size(); ++i)
        if (const int s = percentOf (sums[i], invert); s > best.score)
        {
            best.score = s;
            best.setting = points[i];
        }
}

// Frequencies around a winner with its Q, optionally leaving out those within avoidWithin of avoidHz.
std::vector<AllPassSetting> refinementPoints (AllPassSetting around, float halfWidth, float step, float avoidHz = 0.0f,
                                              float avoidWithin = 0.0f)
{
    std::vector<AllPassSetting> p;
    const float hi = std::min (around.freqHz + halfWidth, AllPassFilter::kMaxFrequency);
    for (float f = std::max (around.freqHz - halfWidth, AllPassFilter::kMinFrequency); f <= hi; f += step)
        if (! (std::abs (f - avoidHz) < avoidWithin))
            p.push_back ({ f, around.q });
    return p;
}

// After the 14 × 4 grid: ±20 Hz in 3 Hz steps around its winner, with the winner's Q, when the
// grid beat the starting score at all.
AllPassCandidate refineGridWinner (const Capture& c, AllPassCandidate fromGrid, int startScore, const float* input, int lag, bool invert)
{
    fromGrid.improved = fromGrid.score > startScore;
    if (fromGrid.improved)
    {
        const auto points = refinementPoints (fromGrid.setting, 20.0f, 3.0f);
        keepBest (fromGrid, points, c.allPassed (input, lag, points), invert);
    }
    return fromGrid;
}

AllPassCandidate searchAllPass (const Capture& c, int startScore, const float* input, int lag, bool invert)
{
    AllPassCandidate best (startScore);
    keepBest (best, gridPoints(), c.allPassed (input, lag, gridPoints()), invert);
    return refineGridWinner (c, best, startScore, input, lag, invert);
}

// A second all-pass behind the first: only its score counts, as a sign that the delay is worth
// proposing even though the proposal carries one all-pass.
int searchSecondAllPass (const Capture& c, const AllPassCandidate& first, int lag, bool invert)
{
    std::vector<float> firstStage (static_cast<std::size_t> (c.count));
    applyAllPass (c.bass, firstStage.data(), c.count, allPassCoefficients (first.setting.freqHz, first.setting.q, c.sampleRate));

    std::vector<AllPassSetting> points;
    for (const auto g : dualAPFreqs)
        if (std::abs (g - first.setting.freqHz) >= 30.0f)
            for (const auto q : allPassQValues)
                points.push_back ({ g, q });

    AllPassCandidate best (first.score);
    keepBest (best, points, c.allPassed (firstStage.data(), lag, points), invert);
    if (best.score > first.score)
    {
        const auto refinement = refinementPoints (best.setting, 25.0f, 5.0f, first.setting.freqHz, 20.0f);
        keepBest (best, refinement, c.allPassed (firstStage.data(), lag, refinement), invert);
    }
    return best.score;
}

//==============================================================================
// What the shifted, inverted and rotated bass copy reads against the kick over [begin, end).
PhaseMeterReading predictReading (const std::vector<float>& shiftedBass, const std::vector<float>& kick, int begin, int end,
                                  double sampleRate)
{
    const auto count = static_cast<int> (kick.size());
    begin = std::clamp (begin, 0, count);
    end = std::clamp (end, begin, count);
    return PhaseEfficiencyMeter::evaluateBuffer (shiftedBass.data() + begin, kick.data() + begin, end - begin, sampleRate);
}

// bass[i − delay], zero where that is outside the capture, negated with invert.
std::vector<float> shifted (const std::vector<float>& bass, int delay, bool invert)
{
    const auto count = static_cast<std::int64_t> (bass.size());
    std::vector<float> out (bass.size(), 0.0f);
    for (std::int64_t i = std::max<std::int64_t> (0, delay); i < std::min (count, count + delay); ++i)
    {
        const float v = bass[static_cast<std::size_t> (i - delay)];
        out[static_cast<std::size_t> (i)] = invert ? -v : v;
    }
    return out;
}

struct Buffers
{
    std::vector<float> rawBass, rawKick; // as captured, for the predictions
    std::vector<float> bass, kick;       // band-passed, for the scores
};

PhaseMeterReading readingAsCaptured (const Buffers& b, double sampleRate)
{
    return PhaseEfficiencyMeter::evaluateBuffer (b.rawBass.data(), b.rawKick.data(), static_cast<int> (b.rawKick.size()), sampleRate);
}

ManualAnalysisResult searchPostMode (const Buffers& b, const Capture& c, const AnalysisContext& context)
{
    const float d0 = std::isfinite (context.delayMs) ? std::clamp (context.delayMs, -10.0f, 10.0f) : 0.0f;
    const double rate = c.sampleRate;

    // The delay in effect plus the lag stays within ±10 ms.
    const auto first = static_cast<int> (rate * (-10.0 - static_cast<double> (d0)) / 1000.0);
    const auto last = static_cast<int> (rate * (10.0 - static_cast<double> (d0)) / 1000.0);
    const int step = std::max (samplesFor (0.0001f, rate), 1);

    std::vector<LagScores> lags;
    for (int lag = first; lag <= last; lag += step)
    {
        const auto counts = c.kernels.countSigns (c.bass, c.kick, c.count, lag);
        lags.push_back ({ lag, percentOf (counts, false), percentOf (counts, true) });
    }
    const int baseline = percentOf (c.kernels.countSigns (c.bass, c.kick, c.count, 0), false);
    const auto choice = choosePostModeLag (baseline, lags);

    ManualAnalysisResult r;
    r.postMode = true;
    r.flip = context.flip != choice.flip;
    r.delayMs = static_cast<float> (std::clamp (static_cast<double> (d0) + choice.lag * 1000.0 / rate, -10.0, 10.0));
    r.baselinePercent = baseline;
    r.bestPercent = choice.bestPercent;
    r.allPassOn = context.allPassOn;
    r.allPassFreqHz = context.allPassFreqHz;
    r.allPassQ = context.allPassQ;

    r.before = readingAsCaptured (b, rate);
    const int edge = std::min (std::abs (choice.lag), c.count);
    r.after = predictReading (shifted (b.rawBass, choice.lag, choice.flip), b.rawKick, edge, c.count - edge, rate);
    return r;
}

ManualAnalysisResult searchPreMode (const Buffers& b, const Capture& c)
{
    const double rate = c.sampleRate;
    PreModeScores s;
    s.p0 = c.correlation (0, false);
    s.f0 = c.correlation (0, true);

    // At zero delay one pass scores the grid against the kick and the inverted kick alike.
    const auto& grid = gridPoints();
    const auto atZero = c.allPassed (c.bass, 0, grid);
    AllPassCandidate ap0 (s.p0), af0 (s.f0);
    keepBest (ap0, grid, atZero, false);
    keepBest (af0, grid, atZero, true);
    ap0 = refineGridWinner (c, ap0, s.p0, c.bass, 0, false);
    af0 = refineGridWinner (c, af0, s.f0, c.bass, 0, true);
    s.ap0 = ap0.score;
    s.af0 = af0.score;

    const int maxLag = samplesFor (0.01f, rate);
    const int coarse = std::max (samplesFor (0.001f, rate), 1), fine = std::max (samplesFor (0.0001f, rate), 1);
    const auto asIs = searchDelay (c.bass, c.kick, c.count, false, maxLag, coarse, fine, c.kernels);
    const auto inverted = searchDelay (c.bass, c.kick, c.count, true, maxLag, coarse, fine, c.kernels);
    s.dn = c.correlation (asIs.lag, false);
    s.df = c.correlation (inverted.lag, true);
    const bool flipAtLag = s.df > s.dn;
    const int lag = flipAtLag ? inverted.lag : asIs.lag;

    const auto apd = searchAllPass (c, flipAtLag ? s.df : s.dn, c.bass, lag, flipAtLag);
    s.apd = apd.score;
    s.apdImproved = apd.improved;
    if (apd.score <= 81)
        s.dd = searchSecondAllPass (c, apd, lag, flipAtLag);

    const auto choice = decidePreMode (s);
    ManualAnalysisResult r;
    r.postMode = false;
    r.flip = choice.flip;
    r.delayMs = choice.useDelay ? static_cast<float> (std::round (lag * 10000.0 / rate) / 10.0) : 0.0f;
    r.baselinePercent = s.p0;
    r.bestPercent = choice.bestPercent;
    const AllPassCandidate* proposed = choice.allPass == ProposedAllPass::AtZero          ? &ap0
                                       : choice.allPass == ProposedAllPass::AtZeroFlipped ? &af0
                                       : choice.allPass == ProposedAllPass::AtDelay       ? &apd
                                                                                          : nullptr;
    r.allPassOn = proposed != nullptr;
    if (proposed != nullptr)
    {
        r.allPassFreqHz = proposed->setting.freqHz;
        r.allPassQ = proposed->setting.q;
    }

    // The proposal played as the alignment stage would play it, read after the all-pass has
    // settled and where the delayed bass overlaps the kick.
    r.before = readingAsCaptured (b, rate);
    const auto delay = static_cast<int> (static_cast<double> (r.delayMs) * rate / 1000.0);
    auto after = shifted (b.rawBass, delay, r.flip);
    if (r.allPassOn)
    {
        AllPassFilter filter (rate, std::clamp (r.allPassFreqHz, 20.0f, 500.0f), std::clamp (r.allPassQ, 0.1f, 5.0f), true);
        for (auto& v : after)
            v = filter.processSample (v);
    }
    const int settling = std::min (samplesFor (0.05f, rate), c.count / 4);
    r.after = predictReading (after, b.rawKick, settling + std::max (delay, 0), c.count + std::min (delay, 0), rate);
    return r;
}

bool isSilent (const std::vector<float>& samples) noexcept
{
    double energy = 0.0;
    for (const auto v : samples)
        energy += static_cast<double> (v) * v;
    return std::sqrt (energy / static_cast<double> (samples.size())) < 0.001;
}

// A captured NaN or infinity would poison every score of the search.
std::vector<float> finiteCopy (const std::vector<float>& samples, std::size_t count)
{
    std::vector<float> out (samples.begin(), samples.begin() + static_cast<std::ptrdiff_t> (count));
    for (auto& v : out)
        if (! std::isfinite (v))
            v = 0.0f;
    return out;
}

//==============================================================================
struct Biquad
{
    double b0 = 1.0, b1 = 0.0, b2 = 0.0, a1 = 0.0, a2 = 0.0;
};

// Second-order Butterworth (bilinear transform); a corner at or above Nyquist leaves the signal
// alone rather than running an unstable section.
void butterworth (float* samples, std::size_t count, double cornerHz, double sampleRate, bool highPass) noexcept
{
    if (! (cornerHz < 0.5 * sampleRate))
        return;
    const double w = 2.0 * std::numbers::pi * cornerHz / sampleRate;
    const double cosW = std::cos (w), alpha = std::sin (w) / 1.414, a0 = 1.0 + alpha;
    const double b0 = (highPass ? 1.0 + cosW : 1.0 - cosW) / 2.0;
    const Biquad q { b0 / a0, (highPass ? -(1.0 + cosW) : 1.0 - cosW) / a0, b0 / a0, -2.0 * cosW / a0, (1.0 - alpha) / a0 };

    double x1 = 0.0, x2 = 0.0, y1 = 0.0, y2 = 0.0;
    for (std::size_t i = 0; i < count; ++i)
    {
        const double x = samples[i];
        const double y = q.b0 * x + q.b1 * x1 + q.b2 * x2 - q.a1 * y1 - q.a2 * y2;
        x2 = x1;
        x1 = x;
        y2 = y1;
        y1 = y;
        samples[i] = static_cast<float> (y);
    }
}
} // namespace

//==============================================================================
int correlationPercent (const float* bass, const float* kick, int count, int lag, bool invert)
{
    return percentOf (searchKernels().correlate (bass, kick, count, lag), invert);
}

int correlationPercent (const CorrelationSums& sums, bool invert) noexcept
{
    return percentOf (sums, invert);
}

int signAgreementPercent (const float* bass, const float* kick, int count, int lag, bool opposite)
{
    return percentOf (searchKernels().countSigns (bass, kick, count, lag), opposite);
}

PreModeChoice decidePreMode (const PreModeScores& s) noexcept
{
    const int bestZero = std::max ({ s.p0, s.f0, s.ap0, s.af0 });
    const bool flipAtLag = s.df > s.dn;
    const int dc = flipAtLag ? s.df : s.dn;
    const int bestDelay = std::max ({ dc, s.apd, s.dd.value_or (dc) });

    if (bestDelay > bestZero + 5)
    {
        const bool secondStageHighest = s.dd.has_value() && *s.dd >= std::max (dc, s.apd);
        if (secondStageHighest || s.apd > dc)
            return { true, flipAtLag, s.apdImproved ? ProposedAllPass::AtDelay : ProposedAllPass::None, s.apd };
        return { true, flipAtLag, ProposedAllPass::None, dc };
    }

    if (s.af0 > std::max ({ s.p0, s.f0, s.ap0 }))
        return { false, true, ProposedAllPass::AtZeroFlipped, s.af0 };
    if (s.ap0 > std::max (s.p0, s.f0))
        return { false, false, ProposedAllPass::AtZero, s.ap0 };
    if (s.f0 > s.p0)
        return { false, true, ProposedAllPass::None, s.f0 };
    return { false, false, ProposedAllPass::None, s.p0 };
}

PostModeChoice choosePostModeLag (int baselinePercent, std::span<const LagScores> lags) noexcept
{
    PostModeChoice best { 0, false, baselinePercent };
    for (const auto& l : lags)
    {
        const int penalty = l.lag == 0 ? 0 : 5;
        if (l.same > best.bestPercent + penalty)
            best = { l.lag, false, l.same };
        if (l.opposite > best.bestPercent + penalty)
            best = { l.lag, true, l.opposite };
    }
    return best;
}

ManualAnalysisResult analyzeCapture (const std::vector<float>& bass, const std::vector<float>& kick, double sampleRate,
                                     const AnalysisContext& context)
{
    return analyzeCapture (bass, kick, sampleRate, context, searchKernels());
}

ManualAnalysisResult analyzeCapture (const std::vector<float>& bass, const std::vector<float>& kick, double sampleRate,
                                     const AnalysisContext& context, const SearchKernels& kernels)
{
    // Lags and windows are sample counts derived from the rate: beyond the rates a host can run,
    // they would no longer fit.
    const auto count = std::min (bass.size(), kick.size());
    if (count == 0 || count > static_cast<std::size_t> (std::numeric_limits<int>::max()) || ! (sampleRate > 0.0 && sampleRate <= kMaxSampleRate))
        return {};

    // Long quiet tails would otherwise leave the filter banks computing on denormals.
    const juce::ScopedNoDenormals noDenormals;

    Buffers b { finiteCopy (bass, count), finiteCopy (kick, count), {}, {} };
    if (isSilent (b.rawBass) || isSilent (b.rawKick))
        return {};

    b.bass = b.rawBass;
    b.kick = b.rawKick;
    const auto n = static_cast<int> (count);
    applyAnalysisBandpass (b.bass, n, sampleRate);
    applyAnalysisBandpass (b.kick, n, sampleRate);

    const Capture c { b.bass.data(), b.kick.data(), n, sampleRate, kernels };
    auto result = context.postMode ? searchPostMode (b, c, context) : searchPreMode (b, c);
    result.hasResult = true;
    return result;
}

void applyAnalysisBandpass (std::vector<float>& samples, int count, double sampleRate)
{
    if (! (std::isfinite (sampleRate) && sampleRate > 0.0))
        return;
    const auto n = std::min (static_cast<std::size_t> (std::max (count, 0)), samples.size());
    butterworth (samples.data(), n, 20.0, sampleRate, true);
    butterworth (samples.data(), n, 2000.0, sampleRate, false);
}

int allPassSettlingSamples (float freqHz, float q, double sampleRate)
{
    if (! std::isfinite (freqHz) || ! std::isfinite (q) || ! (sampleRate > 0.0 && sampleRate <= kMaxSampleRate))
        return kNeverSettles;

    const float f = std::clamp (freqHz, 20.0f, 500.0f), quality = std::clamp (q, 0.1f, 5.0f);
    const auto c = allPassCoefficients (f, quality, sampleRate);
    const double a1 = c.a1, a2 = c.a2;

    // The slowest pole sets the ring-down.
    const double discriminant = a1 * a1 - 4.0 * a2;
    const double radius = discriminant >= 0.0 ? std::max (std::abs ((-a1 + std::sqrt (discriminant)) / 2.0),
                                                          std::abs ((-a1 - std::sqrt (discriminant)) / 2.0))
                                              : std::sqrt (a2);
    if (! (radius > 0.0 && radius < 1.0))
        return kNeverSettles;

    const double target = quality >= 0.4f && quality <= 0.6f ? -8.0 : -5.0;
    const double samples = std::ceil (target / std::log (radius));
    if (! std::isfinite (samples) || samples >= kNeverSettles)
        return kNeverSettles;
    return std::max (static_cast<int> (samples), static_cast<int> (std::ceil (0.012 * sampleRate)));
}
} // namespace lumetta::phasesearch
