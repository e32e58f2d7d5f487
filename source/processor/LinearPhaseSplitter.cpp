#include "processor/LinearPhaseSplitter.h"

#include "processor/DotProduct.h"

#include <algorithm>
#include <cmath>
#include <numbers>

void LinearPhaseSplitter::prepare (double rate, int maxChunk)
{
    sampleRate = rate;
    half = std::max (1, static_cast<int> (rate * 512.0 / 48000.0 + 0.5));
    length = 2 * half + 1;
    maxChunkSize = std::max (1, maxChunk);
    history.assign (static_cast<size_t> (length - 1 + maxChunkSize), 0.0);
    cutoff = std::max (cutoff, kMinCutoff);
    designTaps();
}

void LinearPhaseSplitter::setCutoff (float hz)
{
    cutoff = std::isfinite (hz) ? std::max (hz, kMinCutoff) : cutoff;
    designTaps();
}

void LinearPhaseSplitter::reset() noexcept
{
    std::fill (history.begin(), history.end(), 0.0);
}

void LinearPhaseSplitter::lowBand (float* out, int count) const noexcept
{
    // Output i's window starts at history[i] (its oldest input) and spans N taps.
    lumetta::convolve (taps.data(), length, history.data(), out, count);
}

void LinearPhaseSplitter::finishChunk (int count) noexcept
{
    std::copy (history.begin() + count, history.begin() + count + length - 1, history.begin());
}

void LinearPhaseSplitter::designTaps()
{
    // Runs on the audio thread when the crossover moves: no allocation (the taps are sized in
    // prepare), and two passes rather than a scratch buffer for the double-precision sum.
    taps.resize (static_cast<size_t> (length));
    const double f = static_cast<double> (cutoff) / sampleRate;
    const double pi = std::numbers::pi;
    const auto tap = [&] (int i)
    {
        const int k = i - half;
        const double sinc = k == 0 ? 2.0 * f : std::sin (2.0 * pi * f * k) / (pi * k);
        const double phase = static_cast<double> (i) / static_cast<double> (length - 1);
        return (0.42 - 0.5 * std::cos (2.0 * pi * phase) + 0.08 * std::cos (4.0 * pi * phase)) * sinc;
    };
    double sum = 0.0;
    for (int i = 0; i < length; ++i)
        sum += tap (i);
    // Unity gain at 0 Hz.
    const double scale = std::abs (sum) > 1.0e-12 ? 1.0 / sum : 1.0;
    for (int i = 0; i < length; ++i)
        taps[static_cast<size_t> (i)] = static_cast<double> (static_cast<float> (tap (i) * scale));
}
