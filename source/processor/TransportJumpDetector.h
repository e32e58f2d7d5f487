#pragma once

#include "processor/HostTransport.h"

// Decides at each block start whether the phase meters must start over: the transport just
// became synced, the sidechain came or went, or the host moved the playing position anywhere but
// where the previous block predicted (a loop wrapping back to its start is no jump). Stopping the
// transport alone keeps the readings.
class TransportJumpDetector
{
public:
    void reset() noexcept { *this = {}; }

    // Returns true when the meters are to be reset.
    bool check (const TransportSnapshot& t, bool sidechainPresent, int numSamples, double rate) noexcept;

private:
    double predicted = 0.0;
    bool predictionValid = false, wasSynced = false, hadSidechain = false;
};
