#pragma once

#include "common/SimulatedTransport.h"
#include "helpers/ProcessorHarness.h"

#include <cstdint>
#include <functional>
#include <memory>

// A processor (stereo bass, mono kick on the sidechain) run block by block against a host
// transport that moves on as a host's does, with bass and kick drawn sample by sample from
// functions of the absolute sample index.
class TransportRig
{
public:
    using Signal = std::function<float (std::int64_t)>;

    explicit TransportRig (lumetta::tools::TransportSettings transport = {}, HarnessConfig config = { 48000.0, 512, 2, 1 });
    ~TransportRig();

    ProcessorHarness harness;
    LumettaAudioProcessor& processor() { return harness.processor(); }

    // A new transport from here on (a relocation, a stop); the sample count carries on.
    void setTransport (const lumetta::tools::TransportSettings& s);
    // No play head at all: a host that reports no transport.
    void removeTransport();

    void run (int numSamples, const Signal& bass, const Signal& kick = {});

    std::int64_t samplesProcessed() const noexcept { return position; }

private:
    std::unique_ptr<lumetta::tools::SimulatedTransport> transport;
    std::int64_t position = 0;
};

namespace signals
{
// A sine of the absolute sample index at 48 kHz unless told.
TransportRig::Signal sineAt (double hz, float amplitude = 0.5f, double phaseRadians = 0.0, double rate = 48000.0);
} // namespace signals
