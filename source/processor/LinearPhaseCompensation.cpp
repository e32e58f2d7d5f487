#include "processor/LinearPhaseCompensation.h"

#include <algorithm>
#include <cmath>

void LinearPhaseCompensation::prepare (double rate, int maxChunk, bool on, float crossoverHz)
{
    for (auto& s : splitters)
    {
        s.prepare (rate, maxChunk);
        if (std::abs (crossoverHz - s.getCutoff()) > 0.5f)
            s.setCutoff (crossoverHz);
    }
    kickDelay.prepare (splitters[0].getHalf());
    enabled = on;
    mix = on ? 1.0f : 0.0f;
    step = 1.0f / static_cast<float> (std::max (1.0, 0.003 * rate));
}

bool LinearPhaseCompensation::intake (bool on, float crossoverHz) noexcept
{
    for (auto& s : splitters)
        if (std::abs (crossoverHz - s.getCutoff()) > 0.5f)
            s.setCutoff (crossoverHz);
    const bool changed = on != enabled;
    enabled = on;
    return changed;
}

void LinearPhaseCompensation::reset() noexcept
{
    for (auto& s : splitters)
        s.reset();
    kickDelay.reset();
    mix = enabled ? 1.0f : 0.0f;
}
