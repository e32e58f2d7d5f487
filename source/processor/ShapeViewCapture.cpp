#include "processor/ShapeViewCapture.h"

#include <algorithm>
#include <cmath>

ShapeViewCapture::ShapeViewCapture()
{
    clear (live);
    clear (snapshot);
}

void ShapeViewCapture::clear (Lanes& lanes) noexcept
{
    for (auto& lane : lanes)
        lane.fill (0.0f);
    lanes[duckGainMin].fill (1.0f);
}

void ShapeViewCapture::prepare (double rate, juce::SpinLock& lock)
{
    clear (live);
    {
        const juce::SpinLock::ScopedLockType held (lock);
        clear (snapshot);
    }
    lastColumn = -1;
    windowStart = std::numeric_limits<double>::quiet_NaN();
    kickBank.prepare (rate);
    bassBank.prepare (rate);
}

void ShapeViewCapture::resetBands() noexcept
{
    kickBank.reset();
    bassBank.reset();
}

void ShapeViewCapture::beginBlock (double cycleBeats) noexcept
{
    if (! juce::exactlyEqual (cycleBeats, cycle))
        windowStart = std::numeric_limits<double>::quiet_NaN();
    cycle = cycleBeats > 0.0 ? cycleBeats : 1.0;
    smallestGain = 1.0f;
}

void ShapeViewCapture::record (const Sample& s, bool drawLanes, bool synced, double divisionStartBeats) noexcept
{
    displayPhaseValue = s.displayPhase;
    // The offset changes only when a new window starts, so it is worked out once per window.
    if (synced && ! juce::exactlyEqual (divisionStartBeats, windowStart))
    {
        windowStart = divisionStartBeats;
        double m = std::fmod (divisionStartBeats, cycle);
        if (m < 0.0)
            m += cycle;
        windowOffset.store (static_cast<float> (m / cycle), std::memory_order_relaxed);
    }

    const float bassIn = std::clamp (s.bassIn, -1.0f, 1.0f);
    if (drawLanes)
    {
        const float bassOut = std::clamp (s.bassOut, -1.0f, 1.0f);
        const float kick = std::clamp (s.kick, -1.0f, 1.0f);
        const auto c = static_cast<size_t> (std::clamp (static_cast<int> (s.displayPhase * (kColumns - 1)), 0, kColumns - 1));
        if (static_cast<int> (c) != lastColumn)
        {
            lastColumn = static_cast<int> (c);
            live[bassInMin][c] = live[bassInMax][c] = bassIn;
            live[bassOutMin][c] = live[bassOutMax][c] = bassOut;
            live[kickMin][c] = live[kickMax][c] = kick;
            live[duckGainMin][c] = s.duckGain;
        }
        else
        {
            live[bassInMin][c] = std::min (live[bassInMin][c], bassIn);
            live[bassInMax][c] = std::max (live[bassInMax][c], bassIn);
            live[bassOutMin][c] = std::min (live[bassOutMin][c], bassOut);
            live[bassOutMax][c] = std::max (live[bassOutMax][c], bassOut);
            live[kickMin][c] = std::min (live[kickMin][c], kick);
            live[kickMax][c] = std::max (live[kickMax][c], kick);
            live[duckGainMin][c] = std::min (live[duckGainMin][c], s.duckGain);
        }
    }
    smallestGain = std::min (smallestGain, s.duckGain);
    kickBank.process (s.kick);
    bassBank.process (bassIn);
}

void ShapeViewCapture::endBlock (bool movePlayhead, bool playing, float autoGain, juce::SpinLock& lock) noexcept
{
    if (movePlayhead)
        playhead.store (displayPhaseValue, std::memory_order_relaxed);
    grReadout.store (-20.0f * std::log10 (std::max (smallestGain, 1.0e-4f)), std::memory_order_relaxed);
    autoReadout.store (20.0f * std::log10 (std::max (autoGain, 1.0e-4f)), std::memory_order_relaxed);
    for (size_t b = 0; b < BandBank::kBands; ++b)
    {
        bandLevels[b].store (kickBank.level (b), std::memory_order_relaxed);
        bandLevels[BandBank::kBands + b].store (bassBank.level (b), std::memory_order_relaxed);
    }
    if (! playing)
        return;
    const juce::SpinLock::ScopedTryLockType tryLock (lock);
    if (tryLock.isLocked())
        snapshot = live;
}

void ShapeViewCapture::copySnapshot (Lanes& dest, juce::SpinLock& lock) const
{
    const juce::SpinLock::ScopedLockType held (lock);
    dest = snapshot;
}
