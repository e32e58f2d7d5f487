#include "processor/DuckBand.h"

#include <cmath>
#include <functional>
#include <numbers>

void DuckBand::Section::prepare (double newRate) noexcept
{
    rate = newRate;
    state = 0.0f;
    coefficient = static_cast<float> (std::exp (-2.0 * std::numbers::pi * static_cast<double> (frequency) / rate));
}

void DuckBand::Section::setFrequency (float hz) noexcept
{
    frequency = hz;
    coefficient = static_cast<float> (std::exp (-2.0 * std::numbers::pi * static_cast<double> (frequency) / rate));
}

void DuckBand::prepare (double rate) noexcept
{
    for (auto& s : sections)
        s.prepare (rate);
    applyFrequencies();
}

void DuckBand::setSettings (const Settings& s) noexcept
{
    settings = s;
    applyFrequencies();
}

void DuckBand::applyFrequencies() noexcept
{
    const float targets[numSections] { settings.crossoverHz, settings.crossoverHz, settings.highPassHz,
                                       settings.highPassHz, settings.monoHz };
    for (int i = 0; i < numSections; ++i)
    {
        // A NaN target counts as a change but is never taken: the filter keeps a usable frequency.
        const float target = targets[i];
        if (! std::equal_to<float>() (target, sections[i].frequency) && std::isfinite (target) && target > 0.0f)
            sections[i].setFrequency (target);
    }
}

void DuckBand::reset() noexcept
{
    for (auto& s : sections)
        s.state = 0.0f;
}

float DuckBand::split (float x, float low, float g, Section& highPass) const noexcept
{
    const float high = x - low;
    if (keepsSubOutOfTheDuck())
    {
        const float sub = highPass.process (low);
        return high + sub + g * (low - sub);
    }
    return high + g * low;
}

void DuckBand::duck (float& left, float& right, float g) noexcept
{
    if (! settings.lowOnly)
    {
        left *= g;
        right *= g;
        return;
    }
    left = split (left, sections[crossoverLeft].process (left), g, sections[highPassLeft]);
    right = split (right, sections[crossoverRight].process (right), g, sections[highPassRight]);
}

void DuckBand::duckLinearPhase (float& left, float& right, float g, float lowLeft, float lowRight) noexcept
{
    if (! settings.lowOnly)
    {
        left *= g;
        right *= g;
        return;
    }
    left = split (left, lowLeft, g, sections[highPassLeft]);
    right = split (right, lowRight, g, sections[highPassRight]);
}

void DuckBand::monoBelow (float& left, float& right) noexcept
{
    if (! settings.monoLow)
        return;
    const float s = sections[mono].process (0.5f * (left - right));
    left -= s;
    right += s;
}
