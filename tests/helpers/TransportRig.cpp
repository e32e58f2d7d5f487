#include "helpers/TransportRig.h"

#include <algorithm>
#include <cmath>
#include <numbers>

TransportRig::TransportRig (lumetta::tools::TransportSettings t, HarnessConfig config) : harness (config)
{
    setTransport (t);
}

TransportRig::~TransportRig()
{
    processor().setPlayHead (&harness.playHead);
}

void TransportRig::setTransport (const lumetta::tools::TransportSettings& s)
{
    transport = std::make_unique<lumetta::tools::SimulatedTransport> (s, harness.config().rate);
    processor().setPlayHead (transport.get());
}

void TransportRig::removeTransport()
{
    processor().setPlayHead (nullptr);
    transport.reset();
}

void TransportRig::run (int numSamples, const Signal& bass, const Signal& kick)
{
    const auto& cfg = harness.config();
    const int channels = cfg.mainChannels + cfg.sideChannels;
    juce::AudioBuffer<float> block (channels, cfg.maxBlock);
    for (int done = 0; done < numSamples;)
    {
        const int len = std::min (cfg.maxBlock, numSamples - done);
        block.setSize (channels, len, false, false, true);
        for (int i = 0; i < len; ++i)
        {
            const auto n = position + i;
            const float b = bass ? bass (n) : 0.0f;
            const float k = kick ? kick (n) : 0.0f;
            for (int ch = 0; ch < cfg.mainChannels; ++ch)
                block.setSample (ch, i, b);
            for (int ch = cfg.mainChannels; ch < channels; ++ch)
                block.setSample (ch, i, k);
        }
        harness.processBlock (block);
        if (transport != nullptr)
            transport->advance (len);
        position += len;
        done += len;
    }
}

namespace signals
{
TransportRig::Signal sineAt (double hz, float amplitude, double phaseRadians, double rate)
{
    return [=] (std::int64_t n)
    { return amplitude * static_cast<float> (std::sin (2.0 * std::numbers::pi * hz * static_cast<double> (n) / rate + phaseRadians)); };
}
} // namespace signals
