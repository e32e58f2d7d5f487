#include "processor/DisplaySweep.h"

#include <algorithm>
#include <cmath>

double DisplaySweep::divisionBeatsFor (int displayDivision) noexcept
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

void DisplaySweep::setUp (int displayDivision, double bpm, double rate) noexcept
{
    divisionBeats = divisionBeatsFor (displayDivision);
    beatsPerSample = rate > 0.0 ? bpm / (60.0 * rate) : 0.0;
    const double divisionSamples = divisionBeats * 60.0 / std::max (bpm, 1.0) * rate;
    pixelsPerSample = kColumns / std::max (divisionSamples, 1.0);
}

void DisplaySweep::startBlock (bool isSynced, double beatPosition) noexcept
{
    synced = isSynced;
    if (! synced)
        return;
    const double m = std::fmod (beatPosition, divisionBeats);
    inDivision = m < 0.0 ? m + divisionBeats : m;
}

void DisplaySweep::advance() noexcept
{
    bool sweepEnd = false;
    if (synced)
    {
        // Less than one sample into the division: it wrapped since the previous sample.
        const double a = inDivision;
        inDivision += beatsPerSample;
        if (inDivision >= divisionBeats)
            inDivision -= divisionBeats;
        sweepEnd = a < beatsPerSample;
        if (! sweepEnd)
            column = std::min (static_cast<int> (a / divisionBeats * kColumns), kColumns - 1);
    }
    else
        // Free running: a finished sweep starts over, so the display and the duck keep cycling at
        // the division's rate while the transport is stopped.
        sweepEnd = column >= kColumns;

    if (sweepEnd)
    {
        column = 0;
        accumulator = 1.0;
    }

    accumulator += pixelsPerSample;
    if (accumulator >= 1.0)
    {
        column = std::min (column + 1, kColumns);
        accumulator -= 1.0;
    }
}
