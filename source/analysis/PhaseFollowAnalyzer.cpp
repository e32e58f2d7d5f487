#include "analysis/PhaseFollowAnalyzer.h"

#include "analysis/CorrelationKernels.h"
#include "analysis/ManualAnalysisSearch.h"
#include "analysis/PhaseEfficiencyMeter.h"
#include "processor/AllPassFilter.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace
{
using namespace lumetta::phasesearch;

constexpr double kMinSampleRate = 8000.0, kMaxSampleRate = 768000.0;
constexpr float kMaxDelayMs = 10.0f;
constexpr double kQuietMeanSquare = 0.000001; // −60 dBFS RMS
constexpr float kMinFrequency = 20.0f, kMaxFrequency = 500.0f, kMinQ = 0.1f, kMaxQ = 5.0f;
constexpr float kNoAllPassHz = 100.0f, kNoAllPassQ = 0.707f;
constexpr float kRefineHalfWidthHz = 20.0f, kRefineStepHz = 3.0f;
constexpr float kImprovementPoints = 5.0f, kHalfImprovementPoints = 2.0f;
constexpr auto kIdleSleep = std::chrono::milliseconds (2);

bool isUsableRate (double rate) noexcept
{
    return std::isfinite (rate) && rate >= kMinSampleRate && rate <= kMaxSampleRate;
}

// The shortest window worth scoring or predicting over: 50 ms.
int minimumWindow (double rate) noexcept
{
    return static_cast<int> (0.05 * rate);
}

// The all-pass transient a rendering is never scored during, even with no all-pass: 12 ms.
int settleAllowance (double rate) noexcept
{
    return static_cast<int> (std::ceil (0.012 * rate));
}

std::uint64_t saturatingSubtract (std::uint64_t a, std::uint64_t b) noexcept
{
    return a > b ? a - b : 0;
}

// a − b, clamped to the int32 range so that adding a window position cannot overflow.
std::int64_t clampedDifference (std::uint64_t a, std::uint64_t b) noexcept
{
    constexpr std::uint64_t limit = std::numeric_limits<std::int32_t>::max();
    return a >= b ? static_cast<std::int64_t> (std::min (a - b, limit)) : -static_cast<std::int64_t> (std::min (b - a, limit));
}

bool allFinite (const float* samples, int count) noexcept
{
    for (int i = 0; i < count; ++i)
        if (! std::isfinite (samples[i]))
            return false;
    return true;
}

double meanSquare (const float* samples, int count) noexcept
{
    double sum = 0.0;
    for (int i = 0; i < count; ++i)
        sum += static_cast<double> (samples[i]) * samples[i];
    return sum / count;
}

//==============================================================================
// The best rotation found so far for one polarity.
struct Best
{
    int score = 50;
    float freqHz = kNoAllPassHz, q = kNoAllPassQ;
};

// The aligned, band-passed bass against the band-passed kick over the scoring window
// [start, start + length).
struct ScoringWindow
{
    const float* aligned;
    const float* kick;
    int start, length;
    const SearchKernels& kernels;

    // The kernels pair x[i] with y[i + lag] wherever 0 <= i + lag < count. With y moved on by
    // start and a lag of −start those are exactly the pairs (aligned[i], kick[i]) of the window,
    // while the all-pass filters still run over aligned from its first sample.
    CorrelationSums plain() const noexcept { return kernels.correlate (aligned, kick + start, start + length, -start); }

    void allPassed (const AllPassCoefficients* filters, int numFilters, CorrelationSums* sums) const noexcept
    {
        kernels.correlateAllPassed (aligned, kick + start, start + length, -start, filters, numFilters, sums);
    }
};

// Candidate rotations scored together in one pass of the kernels.
class CandidateBatch
{
public:
    CandidateBatch (double rate, int usableSamples) noexcept
        : sampleRate (rate), usable (usableSamples), shortest (minimumWindow (rate))
    {
    }

    // A candidate still ringing when less than 50 ms of the window would remain cannot be heard
    // settled, so it is not considered at all.
    void add (float freqHz, float q) noexcept
    {
        if (size == kMaxCandidates || static_cast<std::int64_t> (usable) - allPassSettlingSamples (freqHz, q, sampleRate) < shortest)
            return;
        const auto k = static_cast<std::size_t> (size++);
        freqs[k] = freqHz;
        qs[k] = q;
        filters[k] = allPassCoefficients (freqHz, q, sampleRate);
    }

    // ±20 Hz around a best in 3 Hz steps, with its Q, within 20..500 Hz.
    void addRefinement (const Best& around) noexcept
    {
        const float hi = std::min (around.freqHz + kRefineHalfWidthHz, kMaxFrequency);
        for (float f = std::max (around.freqHz - kRefineHalfWidthHz, kMinFrequency); f <= hi; f += kRefineStepHz)
            add (f, around.q);
    }

    // Every candidate, in the order added, may improve either polarity's best, but only with a
    // strictly higher score.
    void score (const ScoringWindow& window, Best& asIs, Best& inverted) noexcept
    {
        if (size == 0)
            return;
        window.allPassed (filters.data(), size, sums.data());
        for (std::size_t k = 0; k < static_cast<std::size_t> (size); ++k)
        {
            if (const int s = correlationPercent (sums[k], false); s > asIs.score)
                asIs = { s, freqs[k], qs[k] };
            if (const int s = correlationPercent (sums[k], true); s > inverted.score)
                inverted = { s, freqs[k], qs[k] };
        }
        size = 0;
    }

private:
    static constexpr int kMaxCandidates = static_cast<int> (allPassSearchFreqs.size() * allPassQValues.size());

    double sampleRate;
    int usable, shortest;
    int size = 0;
    std::array<float, kMaxCandidates> freqs {}, qs {};
    std::array<AllPassCoefficients, kMaxCandidates> filters {};
    std::array<CorrelationSums, kMaxCandidates> sums {};
};

//==============================================================================
struct Readings
{
    PhaseMeterReading before, after;

    bool improveBy (float points) const noexcept
    {
        return before.state == PhaseMeterState::Valid && after.state == PhaseMeterState::Valid && std::isfinite (before.percent)
               && std::isfinite (after.percent) && after.percent - before.percent >= points;
    }
};

Readings readOver (const float* current, const float* proposal, const float* kick, int begin, int end, double rate) noexcept
{
    return { PhaseEfficiencyMeter::evaluateBuffer (current + begin, kick + begin, end - begin, rate),
             PhaseEfficiencyMeter::evaluateBuffer (proposal + begin, kick + begin, end - begin, rate) };
}
} // namespace

//==============================================================================
PhaseFollowAnalyzer::Workspace::Workspace (int capacity)
{
    const auto n = static_cast<std::size_t> (std::max (capacity, 0));
    aligned.assign (n, 0.0f);
    kick.assign (n, 0.0f);
    current.assign (n, 0.0f);
    proposal.assign (n, 0.0f);
}

PhaseFollowAnalyzer::PhaseFollowAnalyzer() = default;

PhaseFollowAnalyzer::~PhaseFollowAnalyzer()
{
    stopWorker();
}

void PhaseFollowAnalyzer::prepare (double newSampleRate, Analysis analysis)
{
    stopWorker();

    sampleRate = isUsableRate (newSampleRate) ? newSampleRate : 44100.0;
    capacity = std::max (static_cast<int> (std::lround (kWindowSeconds * sampleRate)), kMinimumCapacity);
    hop = std::max (static_cast<int> (std::lround (kHopSeconds * sampleRate)), 1);

    const auto n = static_cast<std::size_t> (capacity);
    bassRing.assign (n, 0.0f);
    kickRing.assign (n, 0.0f);
    renderedRing.assign (n, 0.0f);
    for (auto& slot : slots)
    {
        slot.capture.bass.assign (n, 0.0f);
        slot.capture.kick.assign (n, 0.0f);
        slot.capture.renderedBass.assign (n, 0.0f);
        slot.state.store (kFree);
    }
    workspace = Workspace (capacity);

    resetRing();
    bumpToken();
    pendingIndex.store (-1);

    if (analysis == Analysis::OnWorkerThread)
        startWorker();
}

//==============================================================================
bool PhaseFollowAnalyzer::write (float bassMono, float kickMono, float renderedBass) noexcept
{
    if (capacity == 0)
        return false;

    const auto at = static_cast<std::size_t> (writePosition);
    bassRing[at] = std::isfinite (bassMono) ? bassMono : 0.0f;
    kickRing[at] = std::isfinite (kickMono) ? kickMono : 0.0f;
    renderedRing[at] = std::isfinite (renderedBass) ? renderedBass : 0.0f;
    if (++writePosition == capacity)
        writePosition = 0;

    if (filledCount < capacity)
    {
        hopCounter = 0;
        return ++filledCount == capacity;
    }
    if (++hopCounter < hop)
        return false;
    hopCounter = 0;
    return true;
}

void PhaseFollowAnalyzer::resetRing() noexcept
{
    writePosition = 0;
    filledCount = 0;
    hopCounter = 0;
}

bool PhaseFollowAnalyzer::publishCapture (std::uint64_t captureEnd, int count, const CaptureIdentity& identity) noexcept
{
    if (capacity == 0)
        return false;

    Slot* slot = nullptr;
    int index = 0;
    for (; index < kCaptureSlots; ++index)
    {
        int expected = kFree;
        if (slots[static_cast<std::size_t> (index)].state.compare_exchange_strong (expected, kBeingWritten, std::memory_order_acquire,
                                                                                 std::memory_order_relaxed))
        {
            slot = &slots[static_cast<std::size_t> (index)];
            break;
        }
    }
    if (slot == nullptr)
        return false;

    // The latest n samples, ending just before the write position, oldest first.
    const int n = count <= 0 ? capacity : std::min (count, capacity);
    const int oldest = (writePosition - n + capacity) % capacity;
    const auto unroll = [this, n, oldest] (const std::vector<float>& ring, std::vector<float>& out) noexcept
    {
        const int firstRun = std::min (n, capacity - oldest);
        std::copy_n (ring.begin() + oldest, firstRun, out.begin());
        std::copy_n (ring.begin(), n - firstRun, out.begin() + firstRun);
    };
    auto& c = slot->capture;
    unroll (bassRing, c.bass);
    unroll (kickRing, c.kick);
    unroll (renderedRing, c.renderedBass);

    c.settingsInEffect = identity.settingsInEffect;
    c.epoch = identity.epoch;
    c.captureEnd = captureEnd;
    c.sequence = ++captureSequence;
    c.token = token.load();
    c.resetMarkSample = identity.resetMarkSample;
    c.resetMarkCount = identity.resetMarkCount;
    c.count = n;
    c.settledFrom = identity.settledFrom;
    slot->state.store (kReady, std::memory_order_release);

    // Only the newest capture waits: one the worker has not taken yet is superseded.
    if (const int displaced = pendingIndex.exchange (index, std::memory_order_acq_rel); displaced >= 0)
        slots[static_cast<std::size_t> (displaced)].state.store (kFree, std::memory_order_release);
    return true;
}

void PhaseFollowAnalyzer::freePendingCapture() noexcept
{
    if (const int index = pendingIndex.exchange (-1, std::memory_order_acq_rel); index >= 0)
        slots[static_cast<std::size_t> (index)].state.store (kFree, std::memory_order_release);
}

//==============================================================================
bool PhaseFollowAnalyzer::isCurrent (std::uint64_t resultEpoch, std::uint64_t resultToken) const noexcept
{
    return enabled.load() && resultToken == token.load() && resultEpoch == epoch.load();
}

bool PhaseFollowAnalyzer::analysePending()
{
    const int index = pendingIndex.exchange (-1, std::memory_order_acq_rel);
    if (index < 0)
        return false;

    auto& slot = slots[static_cast<std::size_t> (index)];
    const auto& c = slot.capture;
    if (enabled.load() && c.token == token.load())
    {
        const auto result = analyze (c, sampleRate, workspace);
        if (isCurrent (c.epoch, c.token))
            queueResult (result, c.token);
    }
    slot.state.store (kFree, std::memory_order_release);
    return true;
}

void PhaseFollowAnalyzer::queueResult (const PhaseFollowResult& result, std::uint64_t resultToken) noexcept
{
    const int w = resultWrite.load (std::memory_order_relaxed);
    const int next = (w + 1) % kResultSlots;
    if (next == resultRead.load (std::memory_order_acquire))
        return; // full: the runtime is not polling, and a newer window will come
    results[static_cast<std::size_t> (w)] = { result, resultToken };
    resultWrite.store (next, std::memory_order_release);
}

bool PhaseFollowAnalyzer::pollResult (PhaseFollowResult& out) noexcept
{
    for (int examined = 0; examined < kResultSlots; ++examined)
    {
        const int r = resultRead.load (std::memory_order_relaxed);
        if (r == resultWrite.load (std::memory_order_acquire))
            return false;
        const auto& entry = results[static_cast<std::size_t> (r)];
        const bool current = isCurrent (entry.result.epoch, entry.token);
        if (current)
            out = entry.result;
        resultRead.store ((r + 1) % kResultSlots, std::memory_order_release);
        if (current)
            return true;
    }
    return false;
}

void PhaseFollowAnalyzer::drainSynchronously()
{
    const std::lock_guard<std::mutex> lock (analysisMutex);
    while (analysePending())
    {
    }
}

//==============================================================================
void PhaseFollowAnalyzer::startWorker()
{
    exitRequested.store (false);
    worker = std::thread ([this] { runWorker(); });
}

void PhaseFollowAnalyzer::stopWorker()
{
    if (! worker.joinable())
        return;
    exitRequested.store (true);
    worker.join();
}

void PhaseFollowAnalyzer::runWorker()
{
    while (! exitRequested.load())
    {
        std::unique_lock<std::mutex> lock (analysisMutex);
        if (! analysePending())
        {
            lock.unlock();
            std::this_thread::sleep_for (kIdleSleep);
        }
    }
}

//==============================================================================
PhaseFollowResult PhaseFollowAnalyzer::analyze (const Capture& capture, double rate)
{
    Workspace scratch (capture.count);
    return analyze (capture, rate, scratch);
}

PhaseFollowResult PhaseFollowAnalyzer::analyze (const Capture& capture, double rate, Workspace& w) noexcept
{
    PhaseFollowResult r;
    r.settingsInEffect = capture.settingsInEffect;
    r.epoch = capture.epoch;
    r.captureEnd = capture.captureEnd;
    r.sequence = capture.sequence;
    r.resetMarkSample = capture.resetMarkSample;
    r.resetMarkCount = capture.resetMarkCount;
    r.count = capture.count;
    r.captureStart = saturatingSubtract (capture.captureEnd, static_cast<std::uint64_t> (std::max (capture.count, 0)));
    r.delayMs = capture.settingsInEffect.delayMs;

    const int count = capture.count;
    const auto fits = [count] (const std::vector<float>& v) { return v.size() >= static_cast<std::size_t> (count); };
    if (count < kMinimumCapacity || ! fits (capture.bass) || ! fits (capture.kick) || ! fits (capture.renderedBass)
        || ! fits (w.aligned) || ! fits (w.kick) || ! fits (w.current) || ! fits (w.proposal) || ! isUsableRate (rate))
        return r;
    const float delayMs = capture.settingsInEffect.delayMs;
    if (! (std::abs (delayMs) <= kMaxDelayMs))
        return r;

    // Long quiet stretches would otherwise leave the filters computing on denormals.
    const juce::ScopedNoDenormals noDenormals;

    const int d = static_cast<int> (rate * static_cast<double> (delayMs) / 1000.0);
    r.delaySamples = d;
    const float* bass = capture.bass.data();
    const float* kick = capture.kick.data();
    if (! allFinite (bass, count) || ! allFinite (kick, count))
        return r;

    // The bass as the alignment stage delays it: bass[j − d], silence where that is outside.
    const int from = std::clamp (d, 0, count), to = std::clamp (count + d, from, count);
    std::fill_n (w.aligned.begin(), count, 0.0f);
    if (from < to)
        std::copy (bass + (from - d), bass + (to - d), w.aligned.begin() + from);
    std::copy_n (kick, count, w.kick.begin());
    if (meanSquare (w.aligned.data(), count) < kQuietMeanSquare || meanSquare (kick, count) < kQuietMeanSquare)
        return r;

    applyAnalysisBandpass (w.aligned, count, rate);
    applyAnalysisBandpass (w.kick, count, rate);

    // Scored after the band-pass has started up and where the delayed bass overlaps the kick.
    const int start = std::max (d, 0) + settleAllowance (rate);
    const int length = count - start - std::max (-d, 0);
    const int shortest = minimumWindow (rate);
    if (length < shortest)
        return r;

    const ScoringWindow window { w.aligned.data(), w.kick.data(), start, length, searchKernels() };
    const auto plain = window.plain();
    r.scoreNoFlip = correlationPercent (plain, false);
    r.scoreFlip = correlationPercent (plain, true);

    Best asIs { r.scoreNoFlip }, inverted { r.scoreFlip };
    CandidateBatch batch (rate, count - std::abs (d));
    for (const auto f : allPassSearchFreqs)
        for (const auto q : allPassQValues)
            batch.add (f, q);
    batch.score (window, asIs, inverted);
    // The grid's spacing can straddle the best rotation, so both polarities' bests are refined,
    // the second around where it stands after the first refinement.
    batch.addRefinement (asIs);
    batch.score (window, asIs, inverted);
    batch.addRefinement (inverted);
    batch.score (window, asIs, inverted);

    // Without an all-pass first; a rotation only when it scores strictly higher.
    int best = std::max (r.scoreNoFlip, r.scoreFlip);
    r.flip = r.scoreFlip > r.scoreNoFlip;
    if (asIs.score > best)
    {
        best = asIs.score;
        r.flip = false;
        r.allPassOn = true;
        r.allPassFreqHz = asIs.freqHz;
        r.allPassQ = asIs.q;
    }
    if (inverted.score > best)
    {
        best = inverted.score;
        r.flip = true;
        r.allPassOn = true;
        r.allPassFreqHz = inverted.freqHz;
        r.allPassQ = inverted.q;
    }
    r.allPassFreqHz = std::clamp (r.allPassFreqHz, kMinFrequency, kMaxFrequency);
    r.allPassQ = std::clamp (r.allPassQ, kMinQ, kMaxQ);
    r.bestScore = best;
    r.valid = true;
    r.confidence = static_cast<float> (best) * 0.01f;

    // Both renderings are read only once neither is still settling: the one that was playing
    // from its settled-from index, the proposal once its own all-pass has rung in.
    const int proposalSettling = r.allPassOn ? allPassSettlingSamples (r.allPassFreqHz, r.allPassQ, rate) : settleAllowance (rate);
    const auto settledAt = clampedDifference (capture.settledFrom, r.captureStart) + d;
    const auto begin = std::min (std::max (settledAt, static_cast<std::int64_t> (std::max (d, 0)) + proposalSettling),
                                 static_cast<std::int64_t> (count));
    const int end = count - std::max (-d, 0);
    r.predictionStart = r.captureStart + static_cast<std::uint64_t> (begin);
    r.predictionEnd = r.captureStart + static_cast<std::uint64_t> (end);
    if (end - begin < shortest)
        return r;
    const int b = static_cast<int> (begin);

    // What was playing, at the window's delay.
    const float* rendered = capture.renderedBass.data();
    for (int j = b; j < end; ++j)
        w.current[static_cast<std::size_t> (j)] = j >= from && j < to ? rendered[j - d] : 0.0f;

    // The proposal as the alignment stage would play it, its all-pass starting from rest.
    AllPassFilter filter (rate, r.allPassFreqHz, r.allPassQ, r.allPassOn);
    const float polarity = r.flip ? -1.0f : 1.0f;
    for (int j = 0; j < end; ++j)
        w.proposal[static_cast<std::size_t> (j)] = filter.processSample (j >= from && j < to ? polarity * bass[j - d] : 0.0f);

    const auto whole = readOver (w.current.data(), w.proposal.data(), kick, b, end, rate);
    r.beforePercent = whole.before.percent;
    r.afterPercent = whole.after.percent;
    r.improvement = r.afterPercent - r.beforePercent;

    // A reliable improvement holds through both halves of the window, not just on average.
    const int middle = b + (end - b) / 2;
    r.improved = whole.improveBy (kImprovementPoints)
                 && readOver (w.current.data(), w.proposal.data(), kick, b, middle, rate).improveBy (kHalfImprovementPoints)
                 && readOver (w.current.data(), w.proposal.data(), kick, middle, end, rate).improveBy (kHalfImprovementPoints);
    return r;
}
