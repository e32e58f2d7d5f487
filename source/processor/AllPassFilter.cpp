#include "processor/AllPassFilter.h"

#include <algorithm>
#include <cmath>
#include <numbers>

AllPassFilter::AllPassFilter (double rate, float hz, float q, bool shouldBeEnabled)
    : sampleRate (rate),
      centreHz (std::clamp (hz, kMinFrequency, kMaxFrequency)),
      quality (std::clamp (q, kMinQ, kMaxQ)),
      enabled (shouldBeEnabled)
{
    updateCoefficients();
}

void AllPassFilter::prepare (double rate)
{
    sampleRate = rate;
    reset();
    updateCoefficients();
}

void AllPassFilter::setCenterFrequency (float hz)
{
    if (! std::isfinite (hz))
        return;
    centreHz = std::clamp (hz, kMinFrequency, kMaxFrequency);
    updateCoefficients();
}

void AllPassFilter::setQ (float q)
{
    if (! std::isfinite (q))
        return;
    quality = std::clamp (q, kMinQ, kMaxQ);
    updateCoefficients();
}

void AllPassFilter::updateCoefficients()
{
    if (! (sampleRate > 0.0))
        return;
    // Double precision for the trigonometry; the filter itself runs in single precision.
    const double w = 2.0 * std::numbers::pi * static_cast<double> (centreHz) / sampleRate;
    const double alpha = std::sin (w) / (2.0 * static_cast<double> (quality));
    a1 = static_cast<float> (-2.0 * std::cos (w) / (1.0 + alpha));
    a2 = static_cast<float> ((1.0 - alpha) / (1.0 + alpha));
}
