#pragma once

#include "processor/ShapeTableExchange.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

namespace dowsen
{
// Turns the drawn duck curve into a gain for every sample of the bass. GRID follows the host's
// beat grid, AUDIO restarts the cycle on each kick detected in the sidechain; LEARN records the
// kick's envelope over one grid cycle for the editor.
class DuckEngine
{
public:
    struct BlockSettings
    {
        bool audioTrigger = false; // scTrigger "Audio"
        float depthPercent = 100.0f;
        float attackMs = 4.0f, releaseMs = 90.0f; // LEARN envelope
        float detectorHpHz = 30.0f;
        float detectorGainDb = 0.0f;
        int rateIndex = 2; // scRate
        float offsetMs = 0.0f; // scOffsetMs, positive = earlier
        double bpm = 120.0;
        int appliedLatency = 0, baseLatency = 0, linearPhaseLatency = 0;

        // LIVE (scLive) and its timing.
        bool live = false;
        bool timedTiming = true; // scLiveTiming "Timed"; false: "Legacy"
        float liveHoldMs = 15.0f, liveReleaseMs = 90.0f;
        float timedHoldMs = 0.0f, timedReleaseMs = 150.0f, timedAttackMs = 2.0f, timedShapePercent = 55.0f;
        bool timedEighth = false;
    };

    // The LIVE envelope's timing for the current block, in samples.
    struct LiveTiming
    {
        int attack = 1, hold = 0, release = 1;
        float shape = 0.0f;
    };

    DuckEngine();

    void prepare (double rate, double bpm, int rateIndex);
    void reset() noexcept;
    void configure (const BlockSettings& s) noexcept;

    // Per sample: the raw kick mono (for AUDIO detection), the delayed kick (for LEARN) and the
    // grid phase. Returns the duck gain.
    float step (float rawKick, float delayedKick, float gridPhase) noexcept;

    // Message thread: the curve sampled at i/1023; null installs zeros.
    void setShapeLUT (const float* table, int count) noexcept;
    ShapeTableExchange& shapeTables() noexcept { return tables; }

    // LEARN hand-over: the editor requests; the audio thread arms, captures one cycle and flags it.
    void requestLearn() noexcept { learnRequest = true; }
    bool isLearnReady() const noexcept { return learnReady.load (std::memory_order_acquire); }
    // Copies the finished capture (at most maxCount values), clears the flag; returns the count.
    int takeLearnCapture (float* dest, int maxCount) noexcept;

    int getCycle() const noexcept { return cycle; }
    // The AUDIO detector's state, for inspection: samples its envelope has been rising, and the
    // samples until a detected kick starts the cycle (−1 when none is pending).
    int getRiseCount() const noexcept { return riseCount; }
    int getCountdown() const noexcept { return countdown; }
    const LiveTiming& getLiveTiming() const noexcept { return liveTiming; }
    float getGain() const noexcept { return gain; }
    double getOffsetBeats() const noexcept { return offsetBeats; }

    // Beats of one duck cycle for an scRate index: 1/16, 1/8, 1/4, 1/2, bar.
    static double beatsForRate (int rateIndex) noexcept;
    // The grid phase while the transport plays with a position p at the block start: at sample i
    // of the block it is fmod(i·bpm/(60·rate) + p + offset, cycle beats) / cycle beats.
    double gridPhase (int sampleInBlock, double blockStartBeats) const noexcept;
    // The same sample after sample, without a division per sample: start at the block's first
    // sample, then take one value per sample.
    void startGridPhase (double blockStartBeats) noexcept;
    float nextGridPhase() noexcept
    {
        const auto phase = static_cast<float> (gridBeats / cycleBeats);
        gridBeats += beatsPerSample;
        if (gridBeats >= cycleBeats)
            gridBeats -= cycleBeats;
        return phase;
    }

private:
    struct HighPass
    {
        float coefficient = 0.0f, x1 = 0.0f, y1 = 0.0f;
        float process (float x) noexcept
        {
            const float y = coefficient * (y1 + x - x1);
            x1 = x;
            y1 = y;
            return y;
        }
    };

    float audioPhase (float rawKick) noexcept;
    void updateOnsetDetector (float level) noexcept;

    // LIVE: a kick-triggered envelope in place of the drawn curve (DuckEngineLive.cpp).
    struct LiveEnvelope
    {
        int attack = 0, hold = 0, release = 1;
        float shape = 0.0f;
        bool hasShape = false;
        ShapeTableExchange::RecoveryTable table {};
    };
    struct LiveEvent
    {
        std::int64_t start = 0;
        LiveEnvelope envelope;
    };
    void prepareLive();
    void setUpLive() noexcept;
    void resetLive() noexcept;
    void configureLive (const BlockSettings& s) noexcept;
    float liveStep (float rawKick) noexcept;
    float liveEnvelopeValue() noexcept;
    void setHighPass (float hz) noexcept;

    double sampleRate = 48000.0;
    int samples18ms = 864, samples40ms = 1920;
    ShapeTableExchange tables;
    const ShapeTableExchange::Table* table = nullptr;

    bool audioTrigger = false;
    float depth = 1.0f;
    float detectorGain = 1.0f;
    HighPass learnHp, triggerHp;
    float learnAttack = 0.0f, learnRelease = 0.0f, learnEnvelope = 0.0f;
    int cycle = 24000;
    int engineLatency = 0;
    bool lookahead = false, firstBlock = true;
    double bpm = 120.0, beatsPerSample = 0.0, cycleBeats = 1.0, offsetBeats = 0.0, gridBeats = 0.0;

    float fastAttack = 0.0f, fastRelease = 0.0f, fast = 0.0f;
    float slow = 0.0f, slowFactor = 0.0f;
    int riseCount = 0;
    float peak = 0.0f, peakDecay = 0.0f;
    int holdoff = 0;
    int countdown = -1;
    std::array<std::int64_t, 256> queue {};
    int queueHead = 0, queueCount = 0;
    std::int64_t sampleCounter = 0;
    double position = 1.0e12;
    bool cycleDone = true;
    float gain = 1.0f, maxStep = 1.0f, recovery = 0.0f;

    int samples1ms = 48, samples2ms = 96, samples5ms = 240;
    bool live = false;
    LiveTiming liveTiming;
    struct
    {
        bool armed = true, decayed = true, active = false;
        LiveEnvelope pending, running;
        int pendingCountdown = -1;
        int position = 0;
        float value = 1.0f, startLevel = 1.0f;
        float depthCurrent = 1.0f, depthTarget = 1.0f;
        int depthSamplesLeft = 0;
        std::vector<LiveEvent> queue;
        int queueHead = 0, queueCount = 0;
        std::int64_t counter = 0;
        float x1 = 0.0f, x2 = 0.0f, curvatureFast = 0.0f, curvatureSlow = 0.0f;
        float curvatureFastCoefficient = 0.0f, curvatureSlowCoefficient = 0.0f, curvatureScale = 1.0f;
        int samples15ms = 720, sinceTransient = 721;
        float level = 0.0f, levelAttack = 0.0f, levelRelease = 0.0f, peakSinceTrigger = 0.0f;
    } lv;

    float previousPhase = 0.0f;
    std::atomic<bool> learnRequest { false };
    bool learnArmed = false, learnCapturing = false;
    std::vector<float> learnCapture = std::vector<float> (1, 0.0f);
    int learnCount = 0;
    std::atomic<bool> learnReady { false };
    int learnReadyCount = 0;
};
} // namespace dowsen
