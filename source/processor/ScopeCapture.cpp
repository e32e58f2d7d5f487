#include "processor/ScopeCapture.h"

#include <algorithm>
#include <cmath>

namespace
{
float toY (float v) noexcept
{
    return ScopeCapture::kCentre - ScopeCapture::kCentre * v;
}
} // namespace

ScopeCapture::ScopeCapture()
{
    for (auto* t : { &traces[0], &traces[1], &traces[2], &traces[3], &published[0], &published[1] })
        for (int i = 0; i < kPoints; ++i)
            (*t)[static_cast<size_t> (i)] = { static_cast<float> (i / 2), kCentre };
}

double ScopeCapture::divisionBeatsFor (int displayDivision) noexcept
{
    switch (displayDivision)
    {
        case 1: return 0.5;
        case 2: return 0.25;
        case 3: return 2.0;
        case 4: return 4.0;
        default: return 1.0;
    }
}

void ScopeCapture::reset() noexcept
{
    column = 0;
    accumulator = 1.0;
    resetTrackers();
}

void ScopeCapture::flatten() noexcept
{
    for (auto& t : traces)
        for (auto& p : t)
            p.y = kCentre;
}

void ScopeCapture::setUp (int displayDivision, double bpm, double rate) noexcept
{
    if (displayDivision != division)
    {
        if (division >= 0)
        {
            flatten();
            reset();
        }
        division = displayDivision;
    }
    divisionBeats = divisionBeatsFor (displayDivision);
    columnsPerBeat = kColumns / divisionBeats;
    beatsPerSample = rate > 0.0 ? bpm / (60.0 * rate) : 0.0;
    const double divisionSamples = divisionBeats * 60.0 / std::max (bpm, 1.0) * rate;
    pixelsPerSample = kColumns / std::max (divisionSamples, 1.0);
}

void ScopeCapture::startChunk (bool isSynced, double beatPosition) noexcept
{
    synced = isSynced;
    if (! synced)
        return;
    const double m = std::fmod (beatPosition, divisionBeats);
    inDivision = m < 0.0 ? m + divisionBeats : m;
    divisionStart = beatPosition - inDivision;
}

void ScopeCapture::Tracker::write (Point* points) const noexcept
{
    const float yMin = toY (min), yMax = toY (max);
    points[0].y = maxCameLast ? yMin : yMax;
    points[1].y = maxCameLast ? yMax : yMin;
}

void ScopeCapture::finishColumn (bool kickVisible) noexcept
{
    if (column >= kColumns || bassTracker.empty())
        return;
    const auto first = static_cast<size_t> (2 * column);
    bassTracker.write (&traces[0][first]);
    if (kickVisible)
        kickTracker.write (&traces[1][first]);
    else
        // A kick too quiet to draw shows as the centre line rather than the last sweep's kick.
        traces[1][first].y = traces[1][first + 1].y = kCentre;
}

void ScopeCapture::endSweep (bool kickVisible, juce::SpinLock& lock) noexcept
{
    // The last column is done as well; otherwise a beat-synced sweep would never draw it.
    finishColumn (kickVisible);
    for (int t = 0; t < 2; ++t)
        for (int i = 0; i < kPoints; ++i)
            traces[static_cast<size_t> (t + 2)][static_cast<size_t> (i)].y = traces[static_cast<size_t> (t)][static_cast<size_t> (i)].y;

    const juce::SpinLock::ScopedTryLockType tryLock (lock);
    if (tryLock.isLocked())
        for (size_t t = 0; t < 2; ++t)
            published[t] = traces[t + 2];

    column = 0;
    accumulator = 1.0;
    resetTrackers();
}

void ScopeCapture::moveToColumn (int target, bool kickVisible) noexcept
{
    finishColumn (kickVisible);
    column = target;
    resetTrackers();
}

void ScopeCapture::nextFreeColumn (bool kickVisible) noexcept
{
    finishColumn (kickVisible);
    column = std::min (column + 1, kColumns);
    resetTrackers();
}

void ScopeCapture::publish (juce::SpinLock& lock) noexcept
{
    const juce::SpinLock::ScopedTryLockType tryLock (lock);
    if (! tryLock.isLocked())
        return;
    const auto split = static_cast<size_t> (2 * std::clamp (column, 0, kColumns));
    for (size_t t = 0; t < 2; ++t)
    {
        std::copy (traces[t].begin(), traces[t].begin() + static_cast<std::ptrdiff_t> (split), published[t].begin());
        std::copy (traces[t + 2].begin() + static_cast<std::ptrdiff_t> (split), traces[t + 2].end(),
                   published[t].begin() + static_cast<std::ptrdiff_t> (split));
    }
}
