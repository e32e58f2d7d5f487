#include "analysis/PhaseFollowTransition.h"

#include <algorithm>
#include <cmath>

namespace
{
int lengthFor (double seconds, double rate, int atLeast) noexcept
{
    return std::max (static_cast<int> (seconds * rate), atLeast);
}

float smoothstep (float x) noexcept
{
    x = std::clamp (x, 0.0f, 1.0f);
    return x * x * (3.0f - 2.0f * x);
}
} // namespace

void PhaseFollowTransition::prepare (double sampleRate) noexcept
{
    shortLength = lengthFor (0.0005, sampleRate, 8);
    verificationLength = lengthFor (0.02, sampleRate, 1);
    rampLength = lengthFor (0.002, sampleRate, 8);
    smoothing = std::exp (-1.0 / (0.02 * sampleRate));
    gain = fromGain = 1.0f;
    position = 0;
    quietRun = 0;
    candidateSamples = 0;
    active = falling = false;
}

void PhaseFollowTransition::beginDip() noexcept
{
    if (active)
        return;
    active = falling = true;
    position = 0;
    fromGain = gain;
}

void PhaseFollowTransition::cancelDip() noexcept
{
    if (! isFalling())
        return;
    falling = false;
    position = 0;
    fromGain = gain;
}

bool PhaseFollowTransition::advance() noexcept
{
    if (! active)
        return false;
    const float s = smoothstep (static_cast<float> (++position) / static_cast<float> (rampLength));
    if (falling)
    {
        gain = fromGain * (1.0f - s);
        if (position < rampLength)
            return false;
        gain = fromGain = 0.0f;
        falling = false;
        position = 0;
        return true;
    }
    gain = fromGain + (1.0f - fromGain) * s;
    if (position >= rampLength)
    {
        gain = 1.0f;
        active = false;
    }
    return false;
}
