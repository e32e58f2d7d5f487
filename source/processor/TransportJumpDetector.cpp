#include "processor/TransportJumpDetector.h"

#include <algorithm>
#include <cmath>

bool TransportJumpDetector::check (const TransportSnapshot& t, bool sidechainPresent, int numSamples, double rate) noexcept
{
    const bool synced = t.playing && t.hasPosition;
    const double p = t.hasPosition ? t.ppq : 0.0;
    const double blockBeats = rate > 0.0 ? numSamples * t.bpm / (60.0 * rate) : 0.0;

    double d = std::abs (p - predicted);
    if (t.looping && predicted >= t.loopEndPpq - 0.001 && predicted <= t.loopEndPpq + std::max (blockBeats, 0.1)
        && t.loopStartPpq - 0.001 <= p && p < t.loopEndPpq + 0.001)
        // Coming back round the loop: only the distance from a whole number of loops counts.
        d = std::abs (std::remainder (p - predicted, t.loopEndPpq - t.loopStartPpq));
    const bool jumped = predictionValid && d > 0.001;

    const bool sidechainChanged = sidechainPresent != hadSidechain;
    const bool resetMeters = synced ? (! wasSynced || sidechainChanged || jumped) : sidechainChanged;

    wasSynced = synced;
    hadSidechain = sidechainPresent;
    predictionValid = synced;
    predicted = p + blockBeats;
    return resetMeters;
}
