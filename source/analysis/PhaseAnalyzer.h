#pragma once

#include "analysis/ManualAnalysisResult.h"

#include <juce_core/juce_core.h>

#include <atomic>
#include <vector>

// ANALYZE: the audio thread keeps the latest second of bass and kick; on request a worker
// searches it for the best polarity, rotation and delay and publishes a ManualAnalysisResult.
//
// Three threads meet here. The audio thread only try-locks the capture (a block it cannot write
// is simply not captured); the message thread arms, hands off and copies the result; the worker
// copies the capture and writes the result. Both locks are held only for copies.
class PhaseAnalyzer : public juce::Thread
{
public:
    PhaseAnalyzer();
    ~PhaseAnalyzer() override;

    // Message thread: waits for a running analysis, then sizes the capture to one second.
    // A rate that is not finite or outside 1..768000 Hz leaves nothing to capture.
    void prepare (double sampleRate);

    // Audio thread; both only try the capture lock and skip the block when it is held.
    void refreshContext (const AnalysisContext& context) noexcept;
    void capture (const float* bass, const float* kick, int count) noexcept;

    // Message thread.
    bool isCaptureFull() const noexcept;
    void arm() noexcept;     // restart the capture; the next full second is analysed
    void handOff();          // one tick of the editor's timer: request and start when due
    bool isIdle() const noexcept; // nothing armed, requested, running or active
    ManualAnalysisResult getResult() const;

    static void applyAnalysisBandpass (std::vector<float>& samples, int count, double sampleRate);
    static int allPassSettlingSamples (float freqHz, float q, double sampleRate);

    static constexpr int kMaxBlockSamples = 8192; // larger blocks are not captured
    static constexpr double kMaxSampleRate = 768000.0;

private:
    // The capture as the search needs it: oldest sample first.
    struct Snapshot
    {
        std::vector<float> bass, kick;
        double sampleRate = 44100.0;
        AnalysisContext context;
    };

    void run() override;
    // Copies the capture in time order under the capture lock; false when it is not full
    // (a context change or a new arm restarted it after the hand-off).
    bool takeSnapshot (Snapshot& out);

    // Capture section, guarded by captureLock.
    juce::SpinLock captureLock;
    std::vector<float> bassBuffer, kickBuffer;
    int capacity = 0;
    int writePosition = 0;
    double sampleRate = 44100.0;
    AnalysisContext context;

    mutable juce::SpinLock resultLock;
    ManualAnalysisResult result;

    std::atomic<bool> requestPending { false }, running { false }, captureFull { false }, armed { false };

    // Tests hold the capture lock and read the time-ordered copy through this.
    friend struct PhaseAnalyzerProbe;
};
