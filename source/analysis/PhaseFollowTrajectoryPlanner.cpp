#include "analysis/PhaseFollowTrajectoryPlanner.h"

#include "analysis/CorrelationKernels.h"
#include "analysis/ManualAnalysisSearch.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <numbers>

#if defined(__x86_64__) && defined(__GNUC__)
 #define LUMETTA_HAS_AVX2_PATH 1
#else
 #define LUMETTA_HAS_AVX2_PATH 0
#endif

namespace
{
using Planner = PhaseFollowTrajectoryPlanner;
using RendererState = Planner::RendererState;

constexpr double kMaxPlannerRate = 768000.0;
constexpr float kLargestFloat = std::numeric_limits<float>::max();
constexpr double kQuietBandPowerPerSample = 2.0e-10;
constexpr double kBandLowHz = 20.0, kBandHighHz = 200.0, kBandQ = 0.7071;
// Keeps the gains finite when the current rendering cancels the kick completely.
constexpr double kPowerFloor = 1.0e-30;

template <typename T>
bool same (T a, T b) noexcept
{
    return std::equal_to<T>() (a, b);
}

int samplesCeil (double ms, double rate) noexcept { return static_cast<int> (std::ceil (ms * rate / 1000.0)); }
int samplesRounded (double ms, double rate) noexcept { return static_cast<int> (std::round (ms * rate / 1000.0)); }

// The all-pass coefficients a state at this rate must hold: single precision exactly as the
// manual all-pass computes them, double precision from the same formulas without rounding.
void coefficientsFor (float freqHz, float q, double rate, float& b0, float& b1) noexcept
{
    const auto c = lumetta::phasesearch::allPassCoefficients (freqHz, q, rate);
    b0 = c.a2;
    b1 = c.a1;
}

void coefficientsFor (float freqHz, float q, double rate, double& b0, double& b1) noexcept
{
    const double w = 2.0 * std::numbers::pi * static_cast<double> (freqHz) / rate;
    const double alpha = std::sin (w) / (2.0 * static_cast<double> (q));
    b0 = (1.0 - alpha) / (1.0 + alpha);
    b1 = -2.0 * std::cos (w) / (1.0 + alpha);
}

template <typename Sample>
bool finiteFilter (const Planner::Filter<Sample>& f) noexcept
{
    bool ok = std::isfinite (f.b0) && std::isfinite (f.b1);
    for (int ch = 0; ch < 2; ++ch)
        ok = ok && std::isfinite (f.x1[ch]) && std::isfinite (f.x2[ch]) && std::isfinite (f.y1[ch]) && std::isfinite (f.y2[ch]);
    return ok;
}

template <typename Sample>
bool sameFilter (const Planner::Filter<Sample>& a, const Planner::Filter<Sample>& b) noexcept
{
    bool equal = same (a.b0, b.b0) && same (a.b1, b.b1);
    for (int ch = 0; ch < 2; ++ch)
        equal = equal && same (a.x1[ch], b.x1[ch]) && same (a.x2[ch], b.x2[ch]) && same (a.y1[ch], b.y1[ch])
                && same (a.y2[ch], b.y2[ch]);
    return equal;
}

//==============================================================================
// The 20 Hz high-pass and 200 Hz low-pass the measurement hears through, direct form I in single
// precision.
struct BandCoefficients
{
    float b0 = 0.0f, b1 = 0.0f, b2 = 0.0f, a1 = 0.0f, a2 = 0.0f;
};

struct BandState
{
    float x1 = 0.0f, x2 = 0.0f, y1 = 0.0f, y2 = 0.0f;
};

BandCoefficients bandCoefficients (double freqHz, double rate, bool highPass) noexcept
{
    const double w = 2.0 * std::numbers::pi * freqHz / rate;
    const double cosW = std::cos (w), alpha = std::sin (w) / (2.0 * kBandQ);
    const double a0 = 1.0 + alpha;
    const double b0 = highPass ? (1.0 + cosW) / 2.0 : (1.0 - cosW) / 2.0;
    const double b1 = highPass ? -(1.0 + cosW) : 1.0 - cosW;
    return { static_cast<float> (b0 / a0), static_cast<float> (b1 / a0), static_cast<float> (b0 / a0),
             static_cast<float> (-2.0 * cosW / a0), static_cast<float> ((1.0 - alpha) / a0) };
}

inline float bandStep (const BandCoefficients& c, BandState& s, float x) noexcept
{
    const float y = c.b0 * x + c.b1 * s.x1 + c.b2 * s.x2 - c.a1 * s.y1 - c.a2 * s.y2;
    s.x2 = s.x1;
    s.x1 = x;
    s.y2 = s.y1;
    s.y1 = y;
    return y;
}

//==============================================================================
// What every candidate of one plan shares. Rows after the point have `measured` samples.
struct Shared
{
    const float* bass[2];    // raw span
    const float* heard[2];   // span with the polarity applied, as the all-pass hears it
    const float* current[2]; // the current rendering after the point
    const float* kickBand[2];
    const float* gain; // after the point
    const float* weight;
    const float* weightStep; // |w(i) − w(i − 1)|, 0 at i = 0
    int history, measured, crossfade;
    BandCoefficients highPass, lowPass;
    BandState highStart[2], lowStart[2]; // after the rendered history
};

// Per channel, so that the vector kernels can run one channel at a time: the channels never mix,
// so only the order within a channel has to match.
struct Sums
{
    double kickCross[2] {}, bandPower[2] {}, broadbandPower[2] {};
    float peak = 0.0f, step = 0.0f;
};

// The measurement of one trajectory after the point. next(i, out) renders both channels of sample
// i; with crossfade, the first samples move from the current rendering to it.
template <typename Next>
void measureTrajectory (const Shared& sh, Next&& next, bool crossfade, Sums& sums) noexcept
{
    BandState high[2] = { sh.highStart[0], sh.highStart[1] }, low[2] = { sh.lowStart[0], sh.lowStart[1] };
    for (int i = 0; i < sh.measured; ++i)
    {
        float out[2];
        next (i, out);
        for (int ch = 0; ch < 2; ++ch)
        {
            float c = out[ch];
            if (crossfade && i < sh.crossfade)
            {
                const float cur = sh.current[ch][i], w = sh.weight[i];
                sums.step = std::max (sums.step, std::abs (c - cur) * sh.weightStep[i]);
                c = (1.0f - w) * cur + w * c;
            }
            sums.peak = std::max (sums.peak, std::abs (c));
            const float v = c * sh.gain[i];
            const float b = bandStep (sh.lowPass, low[ch], bandStep (sh.highPass, high[ch], v));
            const double bd = b, vd = v;
            sums.kickCross[ch] += static_cast<double> (sh.kickBand[ch][i]) * bd;
            sums.bandPower[ch] += bd * bd;
            sums.broadbandPower[ch] += vd * vd;
        }
    }
}

void warmUp (const Shared& sh, RendererState& state) noexcept
{
    for (int i = 0; i < sh.history; ++i)
    {
        float l = sh.bass[0][i], r = sh.bass[1][i];
        Planner::process (state, l, r);
    }
}

// A trajectory through the renderer primitive itself from its state at the point: the reference,
// the scheduled target, the candidate without all-pass, and candidates in double precision.
// rendered, when given, receives the output (without crossfade).
void simulateRenderer (const Shared& sh, RendererState state, bool crossfade, Sums& sums, float* const* rendered) noexcept
{
    measureTrajectory (
        sh,
        [&] (int i, float* out) {
            out[0] = sh.bass[0][sh.history + i];
            out[1] = sh.bass[1][sh.history + i];
            Planner::process (state, out[0], out[1]);
            if (rendered != nullptr)
            {
                rendered[0][i] = out[0];
                rendered[1][i] = out[1];
            }
        },
        crossfade, sums);
}

//==============================================================================
// Fresh single-precision all-pass candidates: the filter from rest over the history, then the
// measured trajectory. Many at once in the vector kernels.
struct LaneOut
{
    Sums sums;
    float x1[2] {}, x2[2] {}, y1[2] {}, y2[2] {}; // the filter at the point
};

using LaneKernel = void (*) (const Shared&, const float* b0, const float* b1, int count, LaneOut* out) noexcept;

void simulateFreshPortable (const Shared& sh, const float* b0, const float* b1, int count, LaneOut* out) noexcept
{
    for (int k = 0; k < count; ++k)
    {
        Planner::Filter<float> f;
        f.b0 = b0[k];
        f.b1 = b1[k];
        for (int ch = 0; ch < 2; ++ch)
            for (int i = 0; i < sh.history; ++i)
                Planner::allPassStep (f, ch, sh.heard[ch][i]);
        for (int ch = 0; ch < 2; ++ch)
        {
            out[k].x1[ch] = f.x1[ch];
            out[k].x2[ch] = f.x2[ch];
            out[k].y1[ch] = f.y1[ch];
            out[k].y2[ch] = f.y2[ch];
        }
        measureTrajectory (
            sh,
            [&] (int i, float* o) {
                o[0] = Planner::allPassStep (f, 0, sh.heard[0][sh.history + i]);
                o[1] = Planner::allPassStep (f, 1, sh.heard[1][sh.history + i]);
            },
            true, out[k].sums);
    }
}

#if LUMETTA_HAS_AVX2_PATH
template <std::size_t Lanes>
struct LaneTypes
{
    typedef float F __attribute__ ((vector_size (4 * Lanes)));
    typedef double D __attribute__ ((vector_size (8 * Lanes)));
    typedef std::int32_t I __attribute__ ((vector_size (4 * Lanes)));
};

// Lanes candidates side by side, one channel at a time, with exactly the operations of
// allPassStep and measureTrajectory in their order: every lane gives the portable result to
// the bit. Written with the compiler's vector types and inlined into each instruction set's
// kernel, which sets the register width; vectors never cross a call.
template <std::size_t Lanes>
[[gnu::always_inline]] inline void simulateLanes (const Shared& sh, const float* b0s, const float* b1s, LaneOut* out) noexcept
{
    using F = typename LaneTypes<Lanes>::F;
    using D = typename LaneTypes<Lanes>::D;
    using I = typename LaneTypes<Lanes>::I;

    F b0, b1;
    std::memcpy (&b0, b0s, sizeof (F));
    std::memcpy (&b1, b1s, sizeof (F));
    const F zero {}, largest = zero + kLargestFloat;
    const I magnitudeBits = I {} + 0x7fffffff;

    for (int ch = 0; ch < 2; ++ch)
    {
        const float* heard = sh.heard[ch];
        F x1 {}, x2 {}, y1 {}, y2 {};

        // One all-pass step on `input`; a lane whose output is not finite restarts from rest.
#define LUMETTA_ALLPASS_LANES(input)                                   \
    {                                                                  \
        const F in = zero + (input);                                   \
        F y = b0 * in + b1 * x1 + x2 - b1 * y1 - b0 * y2;              \
        const I ok = (F) ((I) y & magnitudeBits) <= largest;           \
        y = ok ? y : zero;                                             \
        x2 = ok ? x1 : zero;                                           \
        x1 = ok ? in : zero;                                           \
        y2 = ok ? y1 : zero;                                           \
        y1 = y;                                                        \
    }

        for (int i = 0; i < sh.history; ++i)
            LUMETTA_ALLPASS_LANES (heard[i])

        float lanes[4][Lanes];
        std::memcpy (lanes[0], &x1, sizeof (F));
        std::memcpy (lanes[1], &x2, sizeof (F));
        std::memcpy (lanes[2], &y1, sizeof (F));
        std::memcpy (lanes[3], &y2, sizeof (F));
        for (std::size_t k = 0; k < Lanes; ++k)
        {
            out[k].x1[ch] = lanes[0][k];
            out[k].x2[ch] = lanes[1][k];
            out[k].y1[ch] = lanes[2][k];
            out[k].y2[ch] = lanes[3][k];
        }

        const auto& hp = sh.highPass;
        const auto& lp = sh.lowPass;
        F hx1 = zero + sh.highStart[ch].x1, hx2 = zero + sh.highStart[ch].x2;
        F hy1 = zero + sh.highStart[ch].y1, hy2 = zero + sh.highStart[ch].y2;
        F lx1 = zero + sh.lowStart[ch].x1, lx2 = zero + sh.lowStart[ch].x2;
        F ly1 = zero + sh.lowStart[ch].y1, ly2 = zero + sh.lowStart[ch].y2;
        D kickCross {}, bandPower {}, broadbandPower {};
        F peak {}, step {};
        const float* current = sh.current[ch];
        const float* kick = sh.kickBand[ch];
        const float* history = heard + sh.history;

        for (int i = 0; i < sh.measured; ++i)
        {
            LUMETTA_ALLPASS_LANES (history[i])
            F c = y1;
            if (i < sh.crossfade)
            {
                const F cur = zero + current[i];
                const F jump = (F) ((I) (c - cur) & magnitudeBits) * sh.weightStep[i];
                step = step < jump ? jump : step;
                const float w = sh.weight[i];
                c = (1.0f - w) * cur + w * c;
            }
            const F magnitude = (F) ((I) c & magnitudeBits);
            peak = peak < magnitude ? magnitude : peak;
            const F v = c * sh.gain[i];
            const F h = hp.b0 * v + hp.b1 * hx1 + hp.b2 * hx2 - hp.a1 * hy1 - hp.a2 * hy2;
            hx2 = hx1;
            hx1 = v;
            hy2 = hy1;
            hy1 = h;
            const F b = lp.b0 * h + lp.b1 * lx1 + lp.b2 * lx2 - lp.a1 * ly1 - lp.a2 * ly2;
            lx2 = lx1;
            lx1 = h;
            ly2 = ly1;
            ly1 = b;
            const D bd = __builtin_convertvector (b, D), vd = __builtin_convertvector (v, D);
            kickCross += static_cast<double> (kick[i]) * bd;
            bandPower += bd * bd;
            broadbandPower += vd * vd;
        }
#undef LUMETTA_ALLPASS_LANES

        double sums[3][Lanes];
        float maxima[2][Lanes];
        std::memcpy (sums[0], &kickCross, sizeof (D));
        std::memcpy (sums[1], &bandPower, sizeof (D));
        std::memcpy (sums[2], &broadbandPower, sizeof (D));
        std::memcpy (maxima[0], &peak, sizeof (F));
        std::memcpy (maxima[1], &step, sizeof (F));
        for (std::size_t k = 0; k < Lanes; ++k)
        {
            auto& s = out[k].sums;
            s.kickCross[ch] = sums[0][k];
            s.bandPower[ch] = sums[1][k];
            s.broadbandPower[ch] = sums[2][k];
            s.peak = std::max (s.peak, maxima[0][k]);
            s.step = std::max (s.step, maxima[1][k]);
        }
    }
}

// Runs count candidates in groups of Lanes; a short last group repeats its last candidate.
template <std::size_t Lanes>
[[gnu::always_inline]] inline void simulateGroup (const Shared& sh, const float* b0, const float* b1, int count, LaneOut* out) noexcept
{
    float groupB0[Lanes], groupB1[Lanes];
    LaneOut groupOut[Lanes];
    for (std::size_t k = 0; k < Lanes; ++k)
    {
        const auto from = std::min (k, static_cast<std::size_t> (count - 1));
        groupB0[k] = b0[from];
        groupB1[k] = b1[from];
    }
    simulateLanes<Lanes> (sh, groupB0, groupB1, groupOut);
    std::copy (groupOut, groupOut + count, out);
}

// GCC contracts a multiply and an add into one fused operation where the target has one, which
// would round once where the portable loop rounds twice: contraction is off in these kernels.
// Clang contracts only within one expression, which the portable loop never leaves to it.
 #if defined(__clang__)
  #define LUMETTA_LANES_AVX2 __attribute__ ((target ("avx2")))
  #define LUMETTA_LANES_AVX512 __attribute__ ((target ("avx512f")))
 #else
  #define LUMETTA_LANES_AVX2 __attribute__ ((target ("avx2"), optimize ("fp-contract=off")))
  #define LUMETTA_LANES_AVX512 __attribute__ ((target ("avx512f"), optimize ("fp-contract=off")))
 #endif

LUMETTA_LANES_AVX2 void simulateFreshAvx2 (const Shared& sh, const float* b0, const float* b1, int count, LaneOut* out) noexcept
{
    for (int k = 0; k < count; k += 8)
        simulateGroup<8> (sh, b0 + k, b1 + k, std::min (8, count - k), out + k);
}

LUMETTA_LANES_AVX512 void simulateFreshAvx512 (const Shared& sh, const float* b0, const float* b1, int count, LaneOut* out) noexcept
{
    int k = 0;
    for (; count - k > 8; k += 16)
        simulateGroup<16> (sh, b0 + k, b1 + k, std::min (16, count - k), out + k);
    if (k < count)
        simulateGroup<8> (sh, b0 + k, b1 + k, count - k, out + k);
}
#endif

bool kernelSupported (Planner::Kernel k) noexcept
{
    switch (k)
    {
        case Planner::Kernel::Portable:
            return true;
        case Planner::Kernel::Avx2:
           #if LUMETTA_HAS_AVX2_PATH
            __builtin_cpu_init();
            return __builtin_cpu_supports ("avx2");
           #else
            return false;
           #endif
        case Planner::Kernel::Avx512:
           #if LUMETTA_HAS_AVX2_PATH
            __builtin_cpu_init();
            return __builtin_cpu_supports ("avx512f");
           #else
            return false;
           #endif
    }
    return false;
}

LaneKernel laneKernel (Planner::Kernel k) noexcept
{
   #if LUMETTA_HAS_AVX2_PATH
    if (k == Planner::Kernel::Avx512)
        return simulateFreshAvx512;
    if (k == Planner::Kernel::Avx2)
        return simulateFreshAvx2;
   #endif
    return simulateFreshPortable;
}

Planner::Kernel chooseKernel() noexcept
{
    if (kernelSupported (Planner::Kernel::Avx512))
        return Planner::Kernel::Avx512;
    if (kernelSupported (Planner::Kernel::Avx2))
        return Planner::Kernel::Avx2;
    return Planner::Kernel::Portable;
}

const Planner::Kernel fastestKernel = chooseKernel();

//==============================================================================
bool allFinite (const float* p, int count) noexcept
{
    for (int i = 0; i < count; ++i)
        if (! std::isfinite (p[i]))
            return false;
    return true;
}

bool validGain (const float* p, int count) noexcept
{
    for (int i = 0; i < count; ++i)
        if (! (std::isfinite (p[i]) && p[i] >= 0.0f))
            return false;
    return true;
}

bool sameCandidate (const RendererState& a, const Planner::Settings& s, bool doublePrecision) noexcept
{
    if (a.allPassOn != s.allPassOn || a.flip != s.flip)
        return false;
    return ! s.allPassOn
           || (same (a.allPassFreqHz, s.allPassFreqHz) && same (a.allPassQ, s.allPassQ) && a.doublePrecision == doublePrecision);
}

double decibels (double ratio) noexcept { return 10.0 * std::log10 (ratio); }
} // namespace

//==============================================================================
PhaseFollowTrajectoryPlanner::PhaseFollowTrajectoryPlanner() : kernel (fastestKernel) {}

bool PhaseFollowTrajectoryPlanner::isAvailable (Kernel k) noexcept
{
    return kernelSupported (k);
}

void PhaseFollowTrajectoryPlanner::useKernel (Kernel k) noexcept
{
    if (kernelSupported (k))
        kernel = k;
}

bool PhaseFollowTrajectoryPlanner::prepare (double rate, const Config& c)
{
    prepared = false;
    if (! (std::isfinite (rate) && rate >= 8000.0 && rate <= kMaxPlannerRate))
        return false;
    if (c.mode < 0 || c.mode > 1)
        return false;
    for (const double v : { c.historyMs, c.maxHopMs, c.futureMs, c.crossfadeMs, c.maxCrossfadeStep, c.minCandidatePrecheckDb,
                            c.maxLevelChangeDb, c.minSumGainDb, c.minNormalisedGainDb, c.scoreOffset, c.crossfadePenalty })
        if (! std::isfinite (v))
            return false;
    if (c.historyMs < 12.0 || c.historyMs > 1000.0 || c.futureMs < 12.0 || c.futureMs > 1000.0)
        return false;
    if (c.maxHopMs < 1.0 || c.maxHopMs > 1000.0)
        return false;
    if (c.maxLevelChangeDb < 0.0 || c.minSumGainDb < 0.0 || c.minNormalisedGainDb < 0.0 || c.scoreOffset < 0.0
        || c.crossfadePenalty < 0.0)
        return false;
    if (! (c.crossfadeMs > 0.0 && c.maxCrossfadeStep > 0.0) || c.maxHopMs < c.crossfadeMs)
        return false;

    const int w = samplesCeil (c.historyMs, rate), h = samplesRounded (c.maxHopMs, rate);
    const int f = samplesCeil (c.futureMs, rate), n = samplesCeil (c.crossfadeMs, rate);
    if (! (n > 2 && h >= n))
        return false;

    sampleRate = rate;
    config = c;
    historySamples = w;
    hopSamples = h;
    futureSamples = f;
    crossfadeSamples = n;

    const auto span = static_cast<size_t> (w + h + f);
    scratch.assign (6 * span, 0.0f);
    unityGain.assign (span, 1.0f);
    weights.resize (static_cast<size_t> (n));
    weightSteps.resize (static_cast<size_t> (n));
    for (int i = 0; i < n; ++i)
    {
        weights[static_cast<size_t> (i)] = crossfadeWeight (i, n);
        weightSteps[static_cast<size_t> (i)] = i == 0 ? 0.0f : std::abs (weights[static_cast<size_t> (i)] - weights[static_cast<size_t> (i - 1)]);
    }
    prepared = true;
    return true;
}

PhaseFollowTrajectoryPlanner::Plan PhaseFollowTrajectoryPlanner::plan (const Input& in)
{
    Plan result;
    auto refuse = [&result] (int reason) {
        result.status = Status::Refused;
        result.reason = reason;
        return result;
    };

    // 1. Everything the simulation relies on.
    if (! prepared || in.bass[0] == nullptr || in.bass[1] == nullptr || in.kick[0] == nullptr || in.kick[1] == nullptr
        || in.rendered[0] == nullptr || in.rendered[1] == nullptr)
        return refuse (kRefusedUnprepared);

    const int w = historySamples, hop = in.hopLength, span = in.spanLength;
    if (in.historyLength != w || hop < crossfadeSamples || hop > hopSamples || span < w + hop + futureSamples
        || span > getSpanSamples())
        return refuse (kRefusedBookkeeping);
    if (in.frame < static_cast<std::uint64_t> (w) || in.appliedFrom > in.frame)
        return refuse (kRefusedBookkeeping);
    if (in.scheduled != nullptr)
    {
        const auto& s = *in.scheduled;
        if (s.frame != in.frame || s.streamId != in.streamId || s.key != in.key || s.appliedFrom != in.appliedFrom
            || s.endFrame <= s.appliedFrom || s.crossfadeLength != crossfadeSamples)
            return refuse (kRefusedBookkeeping);
    }

    if (! validRenderer (in.current, sampleRate))
        return refuse (kRefusedRenderer);
    if (in.scheduled != nullptr
        && (! validRenderer (in.scheduled->state, sampleRate) || in.scheduled->state.flip != in.current.flip))
        return refuse (kRefusedRenderer);

    for (int ch = 0; ch < 2; ++ch)
        if (! allFinite (in.bass[ch], span) || ! allFinite (in.kick[ch], span) || ! allFinite (in.rendered[ch], w))
            return refuse (kRefusedSamples);
    if ((in.gain != nullptr && ! validGain (in.gain, span)) || (in.renderedGain != nullptr && ! validGain (in.renderedGain, w)))
        return refuse (kRefusedSamples);

    // 2. What every candidate shares: the bass as the all-pass hears it, the band-limited kick,
    // the measurement filters warmed up on what was really played, and the reference.
    const int measured = span - w;
    const auto row = static_cast<size_t> (getSpanSamples());
    float* heard[2] = { scratch.data(), scratch.data() + row };
    float* current[2] = { scratch.data() + 2 * row, scratch.data() + 3 * row };
    float* kickBand[2] = { scratch.data() + 4 * row, scratch.data() + 5 * row };

    Shared sh {};
    sh.history = w;
    sh.measured = measured;
    sh.crossfade = std::min (crossfadeSamples, measured);
    sh.weight = weights.data();
    sh.weightStep = weightSteps.data();
    sh.gain = in.gain != nullptr ? in.gain + w : unityGain.data();
    sh.highPass = bandCoefficients (kBandLowHz, sampleRate, true);
    sh.lowPass = bandCoefficients (kBandHighHz, sampleRate, false);

    for (int ch = 0; ch < 2; ++ch)
    {
        sh.bass[ch] = in.bass[ch];
        sh.heard[ch] = heard[ch];
        sh.current[ch] = current[ch];
        sh.kickBand[ch] = kickBand[ch];

        for (int i = 0; i < span; ++i)
            heard[ch][i] = in.current.flip ? -in.bass[ch][i] : in.bass[ch][i];

        BandState high, low;
        for (int i = 0; i < span; ++i)
        {
            const float b = bandStep (sh.lowPass, low, bandStep (sh.highPass, high, in.kick[ch][i]));
            if (i >= w)
                kickBand[ch][i - w] = b;
        }

        BandState renderedHigh, renderedLow;
        for (int i = 0; i < w; ++i)
        {
            const float v = in.rendered[ch][i] * (in.renderedGain != nullptr ? in.renderedGain[i] : 1.0f);
            bandStep (sh.lowPass, renderedLow, bandStep (sh.highPass, renderedHigh, v));
        }
        sh.highStart[ch] = renderedHigh;
        sh.lowStart[ch] = renderedLow;
    }

    Sums reference;
    simulateRenderer (sh, in.current, false, reference, current);

    auto& ref = result.reference;
    ref.measuredSamples = measured;
    ref.peak = reference.peak;
    double referenceCross = 0.0;
    for (int ch = 0; ch < 2; ++ch)
    {
        for (int i = 0; i < measured; ++i)
            ref.kickBandPower += static_cast<double> (kickBand[ch][i]) * static_cast<double> (kickBand[ch][i]);
        referenceCross += reference.kickCross[ch];
        ref.bandPower += reference.bandPower[ch];
        ref.broadbandPower += reference.broadbandPower[ch];
    }
    ref.sumBandPower = ref.kickBandPower + 2.0 * referenceCross + ref.bandPower;

    const double quiet = kQuietBandPowerPerSample * measured;
    if (ref.bandPower < quiet || ref.kickBandPower < quiet)
    {
        result.status = Status::TooQuiet;
        result.reason = kReasonTooQuiet;
        return result;
    }

    result.status = Status::NoChange;
    result.reason = kReasonNoChange;
    if (config.mode == 0)
        return result;

    // 3-5. The candidates, in order; those the grid runs side by side are collected first.
    const bool precise = in.current.doublePrecision;
    struct Entry
    {
        RendererState state; // at the point once simulated
        Sums sums;
        int lane = -1;       // index into the batch of fresh single-precision candidates
    };
    std::array<Entry, kMaxCandidates> entries {};
    float laneB0[kMaxCandidates], laneB1[kMaxCandidates];
    LaneOut laneOut[kMaxCandidates];
    int lanes = 0;

    auto consider = [&] (const Settings& s, const RendererState* given) {
        ++result.considered;
        auto& c = result.candidates[static_cast<size_t> (result.numCandidates)];
        c.settings = s;
        c.scheduled = given != nullptr;
        auto& e = entries[static_cast<size_t> (result.numCandidates)];
        ++result.numCandidates;

        if (sameCandidate (in.current, s, precise))
            return;
        if (given == nullptr && in.scheduled != nullptr && sameCandidate (in.scheduled->state, s, precise))
            return;
        if (s.allPassOn && given == nullptr
            && lumetta::phasesearch::allPassSettlingSamples (s.allPassFreqHz, s.allPassQ, sampleRate) > w)
            return;

        c.simulated = true;
        ++result.simulated;
        if (given != nullptr)
        {
            e.state = *given;
            simulateRenderer (sh, e.state, true, e.sums, nullptr);
        }
        else if (s.allPassOn && ! precise)
        {
            e.state = makeState (s, sampleRate, false);
            e.lane = lanes;
            laneB0[lanes] = e.state.singleFilter.b0;
            laneB1[lanes] = e.state.singleFilter.b1;
            ++lanes;
        }
        else
        {
            e.state = makeState (s, sampleRate, precise);
            warmUp (sh, e.state);
            simulateRenderer (sh, e.state, true, e.sums, nullptr);
        }
    };

    if (in.scheduled != nullptr)
    {
        const auto& st = in.scheduled->state;
        consider ({ st.allPassFreqHz, st.allPassQ, st.allPassOn, st.flip }, &st);
    }
    consider ({ 100.0f, 0.707f, false, in.current.flip }, nullptr);
    for (const float f : lumetta::phasesearch::allPassSearchFreqs)
        for (const float q : lumetta::phasesearch::allPassQValues)
            consider ({ f, q, true, in.current.flip }, nullptr);

    if (lanes > 0)
        laneKernel (kernel) (sh, laneB0, laneB1, lanes, laneOut);

    // 6-10. Scores, gates and the strictly best.
    const double sumReference = std::max (ref.sumBandPower, kPowerFloor);
    int best = -1;
    for (int k = 0; k < result.numCandidates; ++k)
    {
        auto& c = result.candidates[static_cast<size_t> (k)];
        auto& e = entries[static_cast<size_t> (k)];
        if (! c.simulated)
            continue;
        if (e.lane >= 0)
        {
            const auto& lo = laneOut[e.lane];
            e.sums = lo.sums;
            for (int ch = 0; ch < 2; ++ch)
            {
                e.state.singleFilter.x1[ch] = lo.x1[ch];
                e.state.singleFilter.x2[ch] = lo.x2[ch];
                e.state.singleFilter.y1[ch] = lo.y1[ch];
                e.state.singleFilter.y2[ch] = lo.y2[ch];
            }
        }

        const double cross = e.sums.kickCross[0] + e.sums.kickCross[1];
        const double band = e.sums.bandPower[0] + e.sums.bandPower[1];
        const double broadband = e.sums.broadbandPower[0] + e.sums.broadbandPower[1];
        const double sum = ref.kickBandPower + 2.0 * cross + band;
        const double g = std::sqrt (ref.bandPower / band);

        auto& m = c.measurement;
        m.sumGainDb = decibels (sum / sumReference);
        m.normalisedGainDb = decibels ((ref.kickBandPower + 2.0 * g * cross + g * g * band) / sumReference);
        m.levelChangeDb = decibels (broadband / ref.broadbandPower);
        m.precheckDb = decibels (sum / (ref.kickBandPower + band));
        m.peak = e.sums.peak;
        m.crossfadeStep = e.sums.step;
        m.score = m.normalisedGainDb - config.scoreOffset
                  - config.crossfadePenalty * static_cast<double> (m.crossfadeStep) / config.maxCrossfadeStep;

        c.qualified = m.precheckDb >= config.minCandidatePrecheckDb && std::isfinite (m.score) && m.score > 0.0
                      && m.sumGainDb >= config.minSumGainDb && m.normalisedGainDb >= config.minNormalisedGainDb
                      && std::abs (m.levelChangeDb) <= config.maxLevelChangeDb && m.peak <= 1.0f
                      && static_cast<double> (m.crossfadeStep) <= config.maxCrossfadeStep;
        if (! c.qualified)
            continue;
        ++result.qualified;
        if (best < 0 || m.score > result.candidates[static_cast<size_t> (best)].measurement.score)
            best = k;
    }

    if (best >= 0)
    {
        auto& t = result.target;
        t.frame = in.frame;
        t.streamId = in.streamId;
        t.appliedFrom = in.appliedFrom;
        t.endFrame = in.frame + static_cast<std::uint64_t> (hop);
        t.key = in.key;
        t.crossfadeLength = crossfadeSamples;
        t.state = entries[static_cast<size_t> (best)].state;
        result.targetMeasurement = result.candidates[static_cast<size_t> (best)].measurement;
        result.status = Status::Target;
        result.reason = kReasonTarget;
    }
    return result;
}

//==============================================================================
PhaseFollowTrajectoryPlanner::RendererState PhaseFollowTrajectoryPlanner::makeState (const Settings& s, double rate,
                                                                                   bool doublePrecision) noexcept
{
    RendererState state;
    state.allPassFreqHz = s.allPassFreqHz;
    state.allPassQ = s.allPassQ;
    state.allPassOn = s.allPassOn;
    state.flip = s.flip;
    state.doublePrecision = doublePrecision;
    if (std::isfinite (rate) && rate > 0.0 && std::isfinite (s.allPassFreqHz) && std::isfinite (s.allPassQ) && s.allPassQ > 0.0f)
    {
        if (doublePrecision)
            coefficientsFor (s.allPassFreqHz, s.allPassQ, rate, state.doubleFilter.b0, state.doubleFilter.b1);
        else
            coefficientsFor (s.allPassFreqHz, s.allPassQ, rate, state.singleFilter.b0, state.singleFilter.b1);
    }
    return state;
}

bool PhaseFollowTrajectoryPlanner::validRenderer (const RendererState& s, double rate) noexcept
{
    if (! (std::isfinite (rate) && rate > 0.0 && rate <= kMaxPlannerRate))
        return false;
    if (! (std::isfinite (s.allPassFreqHz) && s.allPassFreqHz > 0.0f && std::isfinite (s.allPassQ) && s.allPassQ > 0.0f
           && static_cast<double> (s.allPassFreqHz) < rate / 2.0))
        return false;
    if (! finiteFilter (s.singleFilter) || ! finiteFilter (s.doubleFilter))
        return false;
    if (! s.allPassOn)
        return true;
    if (s.doublePrecision)
    {
        double b0 = 0.0, b1 = 0.0;
        coefficientsFor (s.allPassFreqHz, s.allPassQ, rate, b0, b1);
        return same (b0, s.doubleFilter.b0) && same (b1, s.doubleFilter.b1);
    }
    float b0 = 0.0f, b1 = 0.0f;
    coefficientsFor (s.allPassFreqHz, s.allPassQ, rate, b0, b1);
    return same (b0, s.singleFilter.b0) && same (b1, s.singleFilter.b1);
}

bool PhaseFollowTrajectoryPlanner::sameRendererState (const RendererState& a, const RendererState& b) noexcept
{
    if (a.allPassOn != b.allPassOn || a.flip != b.flip)
        return false;
    if (! a.allPassOn)
        return true;
    return same (a.allPassFreqHz, b.allPassFreqHz) && same (a.allPassQ, b.allPassQ) && a.doublePrecision == b.doublePrecision
           && sameFilter (a.singleFilter, b.singleFilter) && sameFilter (a.doubleFilter, b.doubleFilter);
}

float PhaseFollowTrajectoryPlanner::crossfadeWeight (int position, int length) noexcept
{
    if (length <= 2)
        return 1.0f;
    const double t = std::clamp (static_cast<double> (position - 1) / static_cast<double> (length - 2), 0.0, 1.0);
    return static_cast<float> (0.5 - 0.5 * std::cos (std::numbers::pi * t));
}
