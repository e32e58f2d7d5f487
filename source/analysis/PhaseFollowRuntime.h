#pragma once

#include "analysis/PhaseFollowAnalyzer.h"
#include "analysis/PhaseFollowSettings.h"
#include "analysis/PhaseFollowTrajectoryPlanner.h"
#include "analysis/PhaseFollowTransition.h"
#include "processor/AlignmentStage.h"
#include "processor/AllPassFilter.h"

#include <atomic>
#include <cstdint>

// FOLLOW without lookahead, as the processor's block loop runs it: feeds the analyzer, judges its
// proposals (two agreeing windows, or one strong one), verifies a candidate against the kick, and
// switches to it only where nobody can hear the switch: at silence, or in a short gain dip inside a
// quiet gap. The delay never changes; the manual settings stay the saved baseline and come back,
// the same way, when FOLLOW ends.
class PhaseFollowRuntime
{
public:
    enum class Status : int { off = 0, acquiring = 1, following = 2, holding = 3, restoring = 4 };

    // Message thread, from prepareToPlay: the analyzer's worker restarts.
    void prepare (double rate);
    // Audio-thread state back to rest (latency changes, prepare): nothing in flight survives.
    void reset() noexcept;

    struct BlockSettings
    {
        bool followOn = false;
        bool sidechainPresent = false;
        bool offline = false;
        PhaseFollowSettings manual;  // what the user set; delay as played
        int manualDelaySamples = 0;   // the alignment stage's delay in samples
        std::uint64_t restoreCount = 0; // advanced by every state restore: follow starts over
    };
    // Block start, before any sample.
    void beginBlock (const BlockSettings& s) noexcept;

    // What one sample needs: the raw input, the delayed bass before polarity and all-pass (the
    // follow renderings start from it), the manual rendering and the delayed kick.
    struct Frame
    {
        float rawLeft, rawRight, rawKick;
        float delayedLeft, delayedRight;
        float manualLeft, manualRight;
        float delayedKick;
    };
    // Per sample; writes the bass to play in place of the manual rendering. The alignment
    // stage's delay line tells whether the bass about to play is quiet enough for a dip.
    void process (const Frame& f, const AlignmentStage& line, float& outLeft, float& outRight) noexcept;

    void invalidate() noexcept;
    // While the lookahead stream plays instead: its status and what it plays are shown as ours.
    void showLookahead (Status s, const PhaseFollowTrajectoryPlanner::RendererState& playing) noexcept;
    bool prepareFollowCandidate (const PhaseFollowSettings& candidate) noexcept;
    // Judges one analysis result (the block start does this for every result the analyzer
    // delivers): two agreeing improving windows, or one strong one, make a candidate.
    void judge (const PhaseFollowResult& r) noexcept;
    bool hasCandidate() const noexcept { return candidatePending; }
    const PhaseFollowSettings& getCandidate() const noexcept { return renderers[1 - playingIndex].settings; }

    Status getStatus() const noexcept { return static_cast<Status> (status.load (std::memory_order_relaxed)); }
    // What plays, for the editor: all-pass frequency (float bits), all-pass on (bit 32), flip (bit 33).
    std::uint64_t getPublishedCorrection() const noexcept { return published.load (std::memory_order_relaxed); }
    static PhaseFollowSettings decodeCorrection (std::uint64_t word) noexcept;
    // The Q of what plays, beside the word.
    float getPublishedQ() const noexcept { return publishedQ.load (std::memory_order_relaxed); }
    bool isFollowRenderingActive() const noexcept { return followActive; }
    const PhaseFollowSettings& getFollowSettings() const noexcept { return followSettings; }
    std::uint64_t getEpoch() const noexcept { return epoch; }

    PhaseFollowAnalyzer& getAnalyzer() noexcept { return analyzer; }

private:
    struct Renderer
    {
        PhaseFollowSettings settings;
        AllPassFilter filter[2];
        void load (const PhaseFollowSettings& s, double rate) noexcept;
        void render (float inLeft, float inRight, float& outLeft, float& outRight) noexcept;
    };

    struct Verification
    {
        double playing = 0.0, candidate = 0.0, kick = 0.0, playingCross = 0.0, candidateCross = 0.0;
        int counted = 0;
        void clear() noexcept { *this = {}; }
        // How much better the candidate correlates with the kick than what plays (normalised),
        // or nothing while the energies are too small to say.
        bool margin (double& out) const noexcept;
    };

    void feedCapture (const Frame& f) noexcept;
    void resetCapture (bool newEpoch) noexcept;
    void pollPhaseFollowResults() noexcept;
    void dropCandidate() noexcept;
    void swapRenderers() noexcept;
    bool candidateVerified() const noexcept;
    void publishCorrection() noexcept;
    bool usable (const PhaseFollowResult& r) const noexcept;

    PhaseFollowAnalyzer analyzer;
    PhaseFollowTransition transition;
    double rate = 48000.0;
    int silenceLength = 96;
    std::int64_t maxResultAge = 16800;

    BlockSettings block;
    PhaseFollowSettings followSettings, lastManual, lastProposal;
    int confirmations = 0;
    bool followActive = false, candidatePending = false, restoreCandidate = false;
    std::uint64_t candidateTime = 0;
    Renderer renderers[2];
    int playingIndex = 0;
    Verification verification;

    // Capture bookkeeping.
    bool captureRunning = false, bassSilent = false;
    int silentRun = 0;
    PhaseFollowSettings captureSettings;
    std::uint64_t captureEpoch = 0, lastCaptureSample = 0, settledFrom = 0;
    std::uint64_t resetMarkSample = 0;
    std::uint32_t resetMarkCount = 0;
    AllPassFilter captureFilter;

    std::uint64_t epoch = 1, sampleCounter = 0, lastSequence = 0;
    bool configured = false;

    std::atomic<int> status { 0 };
    std::atomic<std::uint64_t> published { 0 };
    std::atomic<float> publishedQ { 0.707f };
};
