#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

// Chooses, for one decision point of the FOLLOW lookahead, whether to rotate the bass to another
// all-pass setting: every candidate is simulated over the audio around the point, including the
// raised-cosine crossfade that would play it in, and scored by how the kick and bass would sum in
// the 20-200 Hz band. Only the all-pass changes; the polarity of what plays is kept, because a
// polarity change cannot be crossfaded without passing through silence.
//
// Also the per-sample renderer every follow rendering shares (process), so that what the planner
// simulates is what the renderers play, to the bit.
//
// plan runs on the lookahead worker thread only; process, validRenderer and sameRendererState are
// real-time safe.
class PhaseFollowTrajectoryPlanner
{
public:
    // Durations in ms, levels in dB.
    struct Config
    {
        int mode = 1; // 1 plans changes; 0 only measures what plays and never changes it
        double historyMs = 128.0;
        double maxHopMs = 64.0;
        double futureMs = 128.0;
        double crossfadeMs = 8.0;
        double maxCrossfadeStep = 0.001; // largest output jump per crossfade step, linear full scale
        double minCandidatePrecheckDb = -3.0;
        double maxLevelChangeDb = 0.25;
        double minSumGainDb = 0.01;
        double minNormalisedGainDb = 0.01;
        double scoreOffset = 0.02;
        double crossfadePenalty = 0.01;
    };

    // A rendering without its filter state.
    struct Settings
    {
        float allPassFreqHz = 100.0f;
        float allPassQ = 0.707f;
        bool allPassOn = false;
        bool flip = false;
    };

    // Second-order all-pass on both channels: b0 = a2 and b1 = a1 of the usual form, so that
    // y = b0·x + b1·x1 + x2 − b1·y1 − b0·y2. Index 0 is the left channel.
    template <typename Sample>
    struct Filter
    {
        Sample b0 {}, b1 {};
        Sample x1[2] {}, x2[2] {}, y1[2] {}, y2[2] {};
    };

    // One stereo renderer, copied by value.
    struct RendererState
    {
        float allPassFreqHz = 100.0f;
        float allPassQ = 0.707f;
        bool allPassOn = false;
        bool flip = false;
        bool doublePrecision = false;
        Filter<float> singleFilter;
        Filter<double> doubleFilter;
    };

    // What a renderer plays from a frame on.
    struct Snapshot
    {
        std::uint64_t frame = 0;
        std::uint64_t streamId = 0;
        std::uint64_t appliedFrom = 0;
        std::uint32_t key = 0;
        RendererState state;
    };

    // A change to crossfade to, starting at frame.
    struct Target
    {
        std::uint64_t frame = 0;
        std::uint64_t streamId = 0;
        std::uint64_t appliedFrom = 0; // of the rendering it replaces
        std::uint64_t endFrame = 0;    // planned up to here; the new rendering applies from it
        std::uint32_t key = 0;         // of the rendering it replaces
        int crossfadeLength = 0;
        RendererState state; // the candidate at frame, warmed up over the history
    };

    // One decision point. The span is the history (the point is at index historyLength), the hop
    // and the future; every pointer covers spanLength samples except rendered and renderedGain,
    // which cover the history.
    struct Input
    {
        const float* bass[2] {};
        const float* kick[2] {};
        const float* gain = nullptr; // optional; scales the simulated bass before it is measured
        const float* rendered[2] {}; // the output actually played before the point
        const float* renderedGain = nullptr; // optional; scales the rendered history the same way
        int historyLength = 0;
        int hopLength = 0;
        int spanLength = 0;
        std::uint64_t frame = 0; // absolute frame of the point
        std::uint64_t streamId = 0;
        std::uint64_t appliedFrom = 0; // from which the current rendering applies
        std::uint32_t key = 0;
        RendererState current;                // what will be playing at the point
        const Target* scheduled = nullptr;    // a change already scheduled from the point
    };

    enum class Status
    {
        Refused = 0,
        TooQuiet = 1,
        NoChange = 2,
        Target = 3
    };

    // The reasons: the stage a refusal was reached at, then the other outcomes.
    static constexpr int kRefusedUnprepared = 1;    // not prepared, or buffers missing
    static constexpr int kRefusedBookkeeping = 2;   // counts, span or frames inconsistent
    static constexpr int kRefusedRenderer = 3;      // current or scheduled renderer invalid
    static constexpr int kRefusedSamples = 4;       // non-finite samples or bad gains
    static constexpr int kReasonTooQuiet = 5;
    static constexpr int kReasonNoChange = 6;
    static constexpr int kReasonTarget = 7;

    // How one trajectory measures against the current rendering after the point.
    struct Measurement
    {
        double sumGainDb = 0.0;        // kick + candidate against kick + current, 20-200 Hz
        double normalisedGainDb = 0.0; // the same with the candidate at the current band level
        double levelChangeDb = 0.0;    // broadband power, candidate against current
        double precheckDb = 0.0;       // band sum against the sum of the band powers
        double score = 0.0;
        float peak = 0.0f;
        float crossfadeStep = 0.0f; // largest output jump of one crossfade step
    };

    struct CandidateResult
    {
        Settings settings;
        bool scheduled = false; // the target already scheduled from the point
        bool simulated = false;
        bool qualified = false;
        Measurement measurement;
    };

    // Band-limited and broadband powers of what plays now, summed over both channels.
    struct Reference
    {
        double kickBandPower = 0.0;
        double bandPower = 0.0;
        double sumBandPower = 0.0; // of kick + current
        double broadbandPower = 0.0;
        float peak = 0.0f;
        int measuredSamples = 0;
    };

    static constexpr int kMaxCandidates = 58;

    struct Plan
    {
        Status status = Status::Refused;
        int reason = kRefusedUnprepared;
        Target target;
        Measurement targetMeasurement;
        Reference reference;
        int considered = 0, simulated = 0, qualified = 0;
        int numCandidates = 0;
        std::array<CandidateResult, kMaxCandidates> candidates {};
    };

    // The candidate simulation runs many candidates side by side: sixteen a register with
    // AVX-512, eight with AVX2, one at a time otherwise. The fastest one the CPU has is chosen at
    // load time; all give the same results to the bit.
    enum class Kernel
    {
        Portable,
        Avx2,
        Avx512
    };

    PhaseFollowTrajectoryPlanner();

    // Refuses (leaving the planner unprepared) an unusable rate or configuration.
    bool prepare (double sampleRate, const Config& config);
    bool isPrepared() const noexcept { return prepared; }

    Plan plan (const Input& input);

    int getHistorySamples() const noexcept { return historySamples; }
    int getHopSamples() const noexcept { return hopSamples; }
    int getFutureSamples() const noexcept { return futureSamples; }
    int getCrossfadeSamples() const noexcept { return crossfadeSamples; }
    int getSpanSamples() const noexcept { return historySamples + hopSamples + futureSamples; }
    double getSampleRate() const noexcept { return sampleRate; }

    static bool isAvailable (Kernel) noexcept;
    // A kernel the CPU lacks leaves the choice alone.
    void useKernel (Kernel) noexcept;
    Kernel getKernel() const noexcept { return kernel; }

    // One stereo sample in place: polarity, then the all-pass. A non-finite result clears that
    // channel's filter and plays 0, so nothing non-finite outlives the sample.
    static void process (RendererState& state, float& left, float& right) noexcept
    {
        left = processChannel (state, 0, left);
        right = processChannel (state, 1, right);
    }

    // One channel of the all-pass in single or double precision; the planner's vector kernels
    // repeat the single-precision step operation for operation.
    static float allPassStep (Filter<float>& f, int ch, float x) noexcept
    {
        const float y = f.b0 * x + f.b1 * f.x1[ch] + f.x2[ch] - f.b1 * f.y1[ch] - f.b0 * f.y2[ch];
        if (! std::isfinite (y))
        {
            f.x1[ch] = f.x2[ch] = f.y1[ch] = f.y2[ch] = 0.0f;
            return 0.0f;
        }
        f.x2[ch] = f.x1[ch];
        f.x1[ch] = x;
        f.y2[ch] = f.y1[ch];
        f.y1[ch] = y;
        return y;
    }

    static float allPassStep (Filter<double>& f, int ch, float x) noexcept
    {
        const double in = x;
        const double y = f.b0 * in + f.b1 * f.x1[ch] + f.x2[ch] - f.b1 * f.y1[ch] - f.b0 * f.y2[ch];
        if (! (std::abs (y) <= static_cast<double> (std::numeric_limits<float>::max())))
        {
            f.x1[ch] = f.x2[ch] = f.y1[ch] = f.y2[ch] = 0.0;
            return 0.0f;
        }
        f.x2[ch] = f.x1[ch];
        f.x1[ch] = in;
        f.y2[ch] = f.y1[ch];
        f.y1[ch] = y;
        return static_cast<float> (y);
    }

    // A state for settings at a rate, from rest.
    static RendererState makeState (const Settings& settings, double sampleRate, bool doublePrecision) noexcept;
    static bool validRenderer (const RendererState& state, double sampleRate) noexcept;
    // Exact comparison; filter values only matter with the all-pass on.
    static bool sameRendererState (const RendererState& a, const RendererState& b) noexcept;

    // The raised-cosine weight of the target at position p of a crossfade of length L: two
    // samples of the old rendering, then the rise, ending on one sample of the new one.
    static float crossfadeWeight (int position, int length) noexcept;

private:
    static float processChannel (RendererState& state, int ch, float x) noexcept
    {
        if (state.flip)
            x = -x;
        if (! state.allPassOn)
            return std::isfinite (x) ? x : 0.0f;
        return state.doublePrecision ? allPassStep (state.doubleFilter, ch, x) : allPassStep (state.singleFilter, ch, x);
    }

    double sampleRate = 0.0;
    Config config;
    bool prepared = false;
    int historySamples = 0, hopSamples = 0, futureSamples = 0, crossfadeSamples = 0;
    Kernel kernel;

    // Six span-length rows: the bass as the candidates hear it (polarity applied, left and right),
    // the current rendering and the band-limited kick after the point (left and right).
    std::vector<float> scratch;
    std::vector<float> unityGain, weights, weightSteps;
};
