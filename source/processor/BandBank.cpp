#include "processor/BandBank.h"

#include <numbers>

float BandBank::centreHz (int band) noexcept
{
    return static_cast<float> (30.0 * std::pow (1.2063035, band));
}

void BandBank::prepare (double rate) noexcept
{
    const double r = rate > 0.0 ? rate : 44100.0;
    for (size_t b = 0; b < kBands; ++b)
    {
        // Constant-skirt band-pass at Q 4 (peak gain Q), from the RBJ cookbook.
        const double w = 2.0 * std::numbers::pi * centreHz (static_cast<int> (b)) / r;
        const double alpha = std::sin (w) / 8.0;
        b0[b] = static_cast<float> (4.0 * alpha / (1.0 + alpha));
        a1[b] = static_cast<float> (-2.0 * std::cos (w) / (1.0 + alpha));
        a2[b] = static_cast<float> ((1.0 - alpha) / (1.0 + alpha));
    }
    attack = static_cast<float> (1.0 - std::exp (-1.0 / (0.005 * r)));
    release = static_cast<float> (1.0 - std::exp (-1.0 / (0.2 * r)));
    reset();
}

void BandBank::reset() noexcept
{
    s1.fill (0.0f);
    s2.fill (0.0f);
    envelope.fill (0.0f);
}
