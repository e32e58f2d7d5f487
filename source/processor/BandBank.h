#pragma once

#include <array>
#include <cstddef>
#include <cmath>

// Sixteen band-pass envelopes from 30 Hz to about 500 Hz, a sixth of an octave wider each: the
// collision meter's view of where bass and kick carry their energy.
class BandBank
{
public:
    static constexpr size_t kBands = 16;

    void prepare (double rate) noexcept;
    void reset() noexcept;

    void process (float x) noexcept
    {
        // Band by band the same few operations: laid out so the compiler can run them side by side.
        for (size_t b = 0; b < kBands; ++b)
        {
            const float y = b0[b] * x + s1[b];
            s1[b] = s2[b] - a1[b] * y;
            s2[b] = -b0[b] * x - a2[b] * y;
            const float magnitude = std::abs (y);
            const float coefficient = magnitude > envelope[b] ? attack : release;
            envelope[b] += (magnitude - envelope[b]) * coefficient;
        }
    }

    float level (size_t band) const noexcept { return envelope[band]; }
    static float centreHz (int band) noexcept;

private:
    alignas (64) std::array<float, kBands> b0 {}, a1 {}, a2 {}, s1 {}, s2 {}, envelope {};
    float attack = 1.0f, release = 1.0f;
};
