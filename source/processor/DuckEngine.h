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
    float getGain() const noexcept { return gain; }
    double getOffsetBeats() const noexcept { return offsetBeats; }

    // Beats of one duck cycle for an scRate index: 1/16, 1/8, 1/4, 1/2, bar.
    static double beatsForRate (int rateIndex) noexcept;
    // The grid phase while the transport plays with a position p at the block start.
    double gridPhase (int sampleInBlock, double blockStartBeats) const noexcept;

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
    double bpm = 120.0, beatsPerSample = 0.0, cycleBeats = 1.0, offsetBeats = 0.0;

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

    float previousPhase = 0.0f;
    std::atomic<bool> learnRequest { false };
    bool learnArmed = false, learnCapturing = false;
    std::vector<float> learnCapture = std::vector<float> (1, 0.0f);
    int learnCount = 0;
    std::atomic<bool> learnReady { false };
    int learnReadyCount = 0;
};
} // namespace dowsen
