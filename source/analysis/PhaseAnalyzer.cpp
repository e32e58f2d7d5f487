#include "analysis/PhaseAnalyzer.h"

#include "analysis/ManualAnalysisSearch.h"
#include "processor/SafeSample.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace
{
constexpr int kPollMs = 2;

// A control's value that is not finite would never compare equal to itself and restart the
// capture on every block; it counts as the control's default instead.
float finiteOr (float value, float fallback) noexcept
{
    return std::isfinite (value) ? value : fallback;
}
} // namespace

PhaseAnalyzer::PhaseAnalyzer() : juce::Thread ("Lumetta phase analysis") {}

PhaseAnalyzer::~PhaseAnalyzer()
{
    signalThreadShouldExit();
    while (isThreadRunning())
        juce::Thread::sleep (kPollMs);
}

void PhaseAnalyzer::prepare (double rate)
{
    while (isThreadRunning())
        juce::Thread::sleep (kPollMs);

    const bool usable = std::isfinite (rate) && rate >= 1.0 && rate <= kMaxSampleRate;
    const juce::SpinLock::ScopedLockType lock (captureLock);
    capacity = usable ? static_cast<int> (rate) : 0;
    if (usable)
        sampleRate = rate;
    bassBuffer.assign (static_cast<size_t> (capacity), 0.0f);
    kickBuffer.assign (static_cast<size_t> (capacity), 0.0f);
    writePosition = 0;
    captureFull = false;
}

void PhaseAnalyzer::refreshContext (const AnalysisContext& next) noexcept
{
    const juce::SpinLock::ScopedTryLockType lock (captureLock);
    if (! lock.isLocked())
        return;

    const AnalysisContext defaults;
    AnalysisContext clean = next;
    clean.delayMs = finiteOr (next.delayMs, defaults.delayMs);
    clean.allPassFreqHz = finiteOr (next.allPassFreqHz, defaults.allPassFreqHz);
    clean.allPassQ = finiteOr (next.allPassQ, defaults.allPassQ);
    if (clean == context)
        return;

    context = clean;
    writePosition = 0;
    captureFull = false;
}

void PhaseAnalyzer::capture (const float* bass, const float* kick, int count) noexcept
{
    if (bass == nullptr || kick == nullptr || count <= 0 || count > kMaxBlockSamples)
        return;

    const juce::SpinLock::ScopedTryLockType lock (captureLock);
    if (! lock.isLocked() || capacity <= 0)
        return;

    for (int done = 0; done < count;)
    {
        const int n = std::min (count - done, capacity - writePosition);
        for (int i = 0; i < n; ++i)
        {
            const auto slot = static_cast<size_t> (writePosition + i);
            bassBuffer[slot] = lumetta::safeSample (bass[done + i]);
            kickBuffer[slot] = lumetta::safeSample (kick[done + i]);
        }
        done += n;
        writePosition += n;
        if (writePosition == capacity)
        {
            writePosition = 0;
            captureFull = true;
        }
    }
}

bool PhaseAnalyzer::isCaptureFull() const noexcept
{
    return captureFull.load();
}

void PhaseAnalyzer::arm() noexcept
{
    const juce::SpinLock::ScopedLockType lock (captureLock);
    writePosition = 0;
    captureFull = false;
    armed = true;
}

void PhaseAnalyzer::handOff()
{
    if (armed.load() && captureFull.load() && ! running.load())
    {
        armed = false;
        requestPending = true;
    }
    if (requestPending.load() && ! running.load() && ! isThreadRunning())
        startThread (juce::Thread::Priority::low);
}

bool PhaseAnalyzer::isIdle() const noexcept
{
    // running is cleared before the thread ends, so asking it before the thread leaves no gap.
    return ! armed.load() && ! requestPending.load() && ! running.load() && ! isThreadRunning();
}

ManualAnalysisResult PhaseAnalyzer::getResult() const
{
    const juce::SpinLock::ScopedLockType lock (resultLock);
    return result;
}

void PhaseAnalyzer::applyAnalysisBandpass (std::vector<float>& samples, int count, double rate)
{
    lumetta::phasesearch::applyAnalysisBandpass (samples, count, rate);
}

int PhaseAnalyzer::allPassSettlingSamples (float freqHz, float q, double rate)
{
    return lumetta::phasesearch::allPassSettlingSamples (freqHz, q, rate);
}

bool PhaseAnalyzer::takeSnapshot (Snapshot& out)
{
    // Sized before taking the lock, so that the audio thread misses as few blocks as possible;
    // the size is checked again under the lock in case a prepare came in between.
    size_t size = 0;
    {
        const juce::SpinLock::ScopedLockType lock (captureLock);
        size = bassBuffer.size();
    }
    out.bass.resize (size);
    out.kick.resize (size);

    const juce::SpinLock::ScopedLockType lock (captureLock);
    if (! captureFull.load() || size != bassBuffer.size())
        return false;

    // The ring keeps writing after it is full, so by now the oldest sample sits at the write
    // position. Delays and all-pass filters are time-dependent: the search needs time order.
    const auto oldest = static_cast<std::ptrdiff_t> (writePosition);
    std::rotate_copy (bassBuffer.begin(), bassBuffer.begin() + oldest, bassBuffer.end(), out.bass.begin());
    std::rotate_copy (kickBuffer.begin(), kickBuffer.begin() + oldest, kickBuffer.end(), out.kick.begin());
    out.sampleRate = sampleRate;
    out.context = context;
    return true;
}

void PhaseAnalyzer::run()
{
    if (running.load() || ! requestPending.exchange (false))
        return;
    running = true;

    Snapshot snapshot;
    if (! takeSnapshot (snapshot))
    {
        // The second handed off was restarted before it could be copied: analysing the mix of
        // old and new audio under the new settings would propose the wrong correction. Wait
        // for the next full second instead; armed is set before running clears, so the
        // analyzer never looks idle in between.
        armed = true;
        running = false;
        return;
    }

    const auto found = lumetta::phasesearch::analyzeCapture (snapshot.bass, snapshot.kick, snapshot.sampleRate,
                                                             snapshot.context);
    {
        const juce::SpinLock::ScopedLockType lock (resultLock);
        if (found.hasResult)
            result = found;
        else
            result.hasResult = false; // silence: the last scores stay as they were
    }
    running = false;
}
