#pragma once

#include "analysis/PhaseFollowSettings.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

// The measuring half of FOLLOW. The audio thread keeps the latest 96 ms of bass, kick and the
// bass as it is being rendered, and publishes that window every 48 ms; a worker analyses each
// window for the polarity and all-pass rotation that best align the bass to the kick at the
// window's fixed delay, predicts the low-end reading before and after, and queues the verdict for
// the audio thread to poll.
//
// Hand-off without locks on the audio thread: three capture slots, each with an atomic state
// (free, being written, ready), and an atomic pending index naming the newest ready slot. A
// publish supersedes a capture the worker has not taken yet, so a worker that falls behind skips
// windows instead of queueing them. Results travel back through a single-producer
// single-consumer ring. The epoch and the token let the runtime discard everything in flight: a
// result counts only while analysis is enabled and both still match.
class PhaseFollowAnalyzer
{
public:
    // One published window, oldest sample first.
    struct Capture
    {
        std::vector<float> bass, kick;
        // The bass as it was being played: inverted when the settings in effect flip, then
        // through their running all-pass; not delayed.
        std::vector<float> renderedBass;
        PhaseFollowSettings settingsInEffect;
        std::uint64_t epoch = 0;
        std::uint64_t captureEnd = 0; // processor sample index of the last sample
        std::uint64_t sequence = 0;
        std::uint64_t token = 0;
        std::uint64_t resetMarkSample = 0;
        std::uint32_t resetMarkCount = 0;
        int count = 0; // valid samples
        std::uint64_t settledFrom = 0; // from this sample index on, renderedBass is free of all-pass settling
    };

    // What the runtime stamps on a capture besides its samples.
    struct CaptureIdentity
    {
        PhaseFollowSettings settingsInEffect;
        std::uint64_t epoch = 0, resetMarkSample = 0;
        std::uint32_t resetMarkCount = 0;
        std::uint64_t settledFrom = 0;
    };

    // Scratch for one analysis of up to `capacity` samples, so that analysing allocates nothing.
    struct Workspace
    {
        explicit Workspace (int capacity);
        std::vector<float> aligned, kick, current, proposal;
    };

    // Who analyses the published windows: a worker thread, or only drainSynchronously on the
    // caller's thread (deterministic; nothing runs behind the caller's back).
    enum class Analysis
    {
        OnWorkerThread,
        OnlyWhenDrained
    };

    PhaseFollowAnalyzer();
    ~PhaseFollowAnalyzer();

    // Message thread, with the audio thread stopped: stops and joins the worker, sizes everything
    // for the rate (44100 when it is not finite or outside 8000..768000 Hz), invalidates all in
    // flight and starts a new worker.
    void prepare (double sampleRate, Analysis analysis = Analysis::OnWorkerThread);

    int getCapacity() const noexcept { return capacity; }
    int getHop() const noexcept { return hop; }
    double getSampleRate() const noexcept { return sampleRate; }

    // Audio thread, one sample at a time. True when a capture is due: when the rings first hold a
    // whole window, then every hop samples. Non-finite samples are stored as silence.
    bool write (float bassMono, float kickMono, float renderedBass) noexcept;
    // Audio thread: the rings start filling again from empty.
    void resetRing() noexcept;

    // Audio thread: hands the latest `count` samples to the analysis, oldest first (a whole window
    // for 0, never more), unless all three slots are busy; false when the capture was dropped.
    bool publishCapture (std::uint64_t captureEnd, int count, const CaptureIdentity& identity) noexcept;

    void setEnabled (bool shouldBeEnabled) noexcept { enabled.store (shouldBeEnabled); }
    bool isEnabled() const noexcept { return enabled.load(); }
    void setEpoch (std::uint64_t newEpoch) noexcept { epoch.store (newEpoch); }
    std::uint64_t getEpoch() const noexcept { return epoch.load(); }
    // Everything in flight, captures and queued results alike, becomes stale.
    void bumpToken() noexcept { token.fetch_add (1); }
    // Frees the capture waiting for the worker, if it has not taken it yet.
    void freePendingCapture() noexcept;

    // Analyses whatever is pending on the calling thread, waiting for a running analysis first.
    // Locks: for offline rendering, where the result must arrive within the block.
    void drainSynchronously();

    // Audio thread: the oldest queued result that is still current; stale ones are discarded on
    // the way. False when none is queued.
    bool pollResult (PhaseFollowResult& out) noexcept;

    // The whole analysis of one window; an invalid result when it cannot be analysed.
    static PhaseFollowResult analyze (const Capture& capture, double sampleRate);
    // The same without allocating, given scratch for at least capture.count samples.
    static PhaseFollowResult analyze (const Capture& capture, double sampleRate, Workspace& workspace) noexcept;

    static constexpr double kWindowSeconds = 0.096, kHopSeconds = 0.048;
    static constexpr int kMinimumCapacity = 128;
    static constexpr int kCaptureSlots = 3;
    static constexpr int kResultSlots = 9; // at most 8 queued

private:
    enum SlotState : int
    {
        kFree = 0,
        kBeingWritten = 1,
        kReady = 2
    };

    struct Slot
    {
        Capture capture;
        std::atomic<int> state { kFree };
    };

    struct QueuedResult
    {
        PhaseFollowResult result;
        std::uint64_t token = 0;
    };

    void startWorker();
    void stopWorker();
    void runWorker();
    // With the analysis mutex held: analyses the pending capture, if any; false when none was.
    bool analysePending();
    void queueResult (const PhaseFollowResult& result, std::uint64_t resultToken) noexcept;
    bool isCurrent (std::uint64_t resultEpoch, std::uint64_t resultToken) const noexcept;

    double sampleRate = 44100.0;
    int capacity = 0, hop = 1;

    // Audio thread only.
    std::vector<float> bassRing, kickRing, renderedRing;
    int writePosition = 0, filledCount = 0, hopCounter = 0;
    std::uint64_t captureSequence = 0;

    std::array<Slot, kCaptureSlots> slots;
    std::atomic<int> pendingIndex { -1 };

    // Produced by whoever holds analysisMutex, consumed by the audio thread.
    std::array<QueuedResult, kResultSlots> results;
    std::atomic<int> resultWrite { 0 }, resultRead { 0 };

    std::atomic<bool> enabled { false }, exitRequested { false };
    std::atomic<std::uint64_t> epoch { 0 }, token { 0 };

    // Held for the whole of one analysis, so the worker and drainSynchronously never analyse at
    // the same time; it also guards the workspace.
    std::mutex analysisMutex;
    Workspace workspace { 0 };
    std::thread worker;

    static_assert (std::atomic<std::uint64_t>::is_always_lock_free);
};
