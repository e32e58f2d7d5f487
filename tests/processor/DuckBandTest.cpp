#include "processor/DuckBand.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace
{
constexpr double kRate = 48000.0;

// Steady-state amplitude ratio of one channel for a sine at `hz` (left = sign × right).
double keptAmplitude (DuckBand band, double hz, float g, bool mono, float sign = 1.0f)
{
    band.reset();
    double in = 0.0, out = 0.0;
    for (int i = 0; i < 96000; ++i)
    {
        const auto x = static_cast<float> (std::sin (2.0 * std::numbers::pi * hz * i / kRate));
        float l = x, r = sign * x;
        if (mono)
            band.monoBelow (l, r);
        else
            band.duck (l, r, g);
        if (i >= 48000)
        {
            in += static_cast<double> (x) * x;
            out += static_cast<double> (l) * l;
        }
    }
    return std::sqrt (out / in);
}

DuckBand prepared (DuckBand::Settings s)
{
    DuckBand band;
    band.setSettings (s);
    band.prepare (kRate);
    return band;
}
} // namespace

TEST (DuckBand, WholeBassDuckIsAPlainGain)
{
    auto band = prepared ({});
    float l = 0.5f, r = -0.25f;
    band.duck (l, r, 0.3f);
    EXPECT_FLOAT_EQ (l, 0.15f);
    EXPECT_FLOAT_EQ (r, -0.075f);
}

TEST (DuckBand, LowOnlyWithFullDuckLeavesAFirstOrderHighPassAtTheCrossover)
{
    auto band = prepared ({ true, 180.0f, 20.0f, 180.0f, false });
    const float c = static_cast<float> (std::exp (-2.0 * std::numbers::pi * 180.0 / kRate));
    float state = 0.0f;
    for (int i = 0; i < 2000; ++i)
    {
        const auto x = static_cast<float> (std::sin (0.013 * i) + 0.3 * std::sin (0.21 * i));
        state = c * state + (1.0f - c) * x;
        float l = x, r = x;
        band.duck (l, r, 0.0f);
        ASSERT_FLOAT_EQ (l, x - state) << i;
        ASSERT_FLOAT_EQ (r, x - state) << i;
    }
}

TEST (DuckBand, BandHighPassKeepsTheDeepestLowsOutOfTheDuck)
{
    const auto noHighPass = prepared ({ true, 180.0f, 20.0f, 180.0f, false });
    const auto highPass60 = prepared ({ true, 180.0f, 60.0f, 180.0f, false });
    EXPECT_FALSE (noHighPass.keepsSubOutOfTheDuck()); // 20 Hz, the default, is off
    EXPECT_TRUE (highPass60.keepsSubOutOfTheDuck());
    // Fully ducked: 25 Hz largely survives with the band high-pass, and is gone without it.
    EXPECT_GT (keptAmplitude (highPass60, 25.0, 0.0f, false), 0.8);
    EXPECT_LT (keptAmplitude (noHighPass, 25.0, 0.0f, false), 0.2);
    // Between 60 Hz and the crossover the duck still bites.
    EXPECT_LT (keptAmplitude (highPass60, 120.0, 0.0f, false), keptAmplitude (highPass60, 25.0, 0.0f, false) - 0.2);
}

TEST (DuckBand, MonoBelowCollapsesTheLowStereoDifference)
{
    const auto band = prepared ({ false, 180.0f, 20.0f, 180.0f, true });
    EXPECT_NEAR (keptAmplitude (band, 40.0, 1.0f, true, -1.0f), 0.21, 0.01);  // -13.4 dB
    EXPECT_NEAR (keptAmplitude (band, 2000.0, 1.0f, true, -1.0f), 0.98, 0.01); // -0.14 dB
    // Mono content (or a mono bus, where left = right) is untouched.
    EXPECT_NEAR (keptAmplitude (band, 40.0, 1.0f, true, 1.0f), 1.0, 1.0e-6);
}

TEST (DuckBand, NonFiniteFrequenciesAreNotTaken)
{
    auto band = prepared ({ true, 180.0f, 20.0f, 180.0f, false });
    band.setSettings ({ true, std::nanf (""), INFINITY, -5.0f, true });
    float l = 0.5f, r = 0.5f;
    band.duck (l, r, 0.0f);
    band.monoBelow (l, r);
    EXPECT_TRUE (std::isfinite (l) && std::isfinite (r));
}
