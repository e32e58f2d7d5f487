#include "processor/AlignmentStage.h"

#include <juce_core/juce_core.h>

#include <algorithm>
#include <cmath>

namespace
{
float clampDelayMs (float ms) noexcept
{
    // A NaN from a broken host or state must not become a tap: it plays as no delay.
    if (std::isnan (ms))
        return 0.0f;
    return std::clamp (ms, -AlignmentStage::kMaxDelayMs, AlignmentStage::kMaxDelayMs);
}

void configure (AllPassFilter& filter, const AlignmentSettings& s) noexcept
{
    const float f = std::clamp (s.allPassFreqHz, AllPassFilter::kMinFrequency, AllPassFilter::kMaxFrequency);
    const float q = std::clamp (s.allPassQ, AllPassFilter::kMinQ, AllPassFilter::kMaxQ);
    // Recompute only on change; the history carries across so a retune does not click.
    if (! juce::exactlyEqual (f, filter.getCenterFrequency()))
        filter.setCenterFrequency (f);
    if (! juce::exactlyEqual (q, filter.getQ()))
        filter.setQ (q);
    filter.setEnabled (s.allPassOn);
}
} // namespace

AlignmentStage::AlignmentStage()
    : allPass { AllPassFilter (44100.0, 100.0f, 0.707f, false), AllPassFilter (44100.0, 100.0f, 0.707f, false) }
{
    bass.assign (2, 0.0f);
    kickLine.assign (1, 0.0f);
}

void AlignmentStage::prepare (double rate, int delayLineLength, const AlignmentSettings& settings)
{
    sampleRate = rate;
    length = std::max (1, delayLineLength);
    bass.assign (static_cast<size_t> (2 * length), 0.0f);
    kickLine.assign (static_cast<size_t> (length), 0.0f);
    writePos = 0;
    currentDelaySamples = delaySamplesFor (currentDelayMs.load());
    for (auto& f : allPass)
    {
        f.prepare (rate);
        configure (f, settings);
    }
}

void AlignmentStage::intake (const AlignmentSettings& settings, int appliedLatency, int bassLatency) noexcept
{
    const float ms = settings.delayParamMs;
    if (! juce::exactlyEqual (ms, currentDelayMs.load())) // a NaN always differs
        setCurrentDelayMs (ms);

    bassTap = tapFor (bassLatency + currentDelaySamples.load());
    kickTap = tapFor (appliedLatency);
    kickTapAtBassLatency = tapFor (bassLatency);
    flip = settings.polarityFlip;
    for (auto& f : allPass)
        configure (f, settings);
}

void AlignmentStage::setCurrentDelayMs (float ms) noexcept
{
    const float applied = clampDelayMs (ms);
    currentDelayMs = applied;
    currentDelaySamples = delaySamplesFor (applied);
}

void AlignmentStage::reset() noexcept
{
    std::fill (bass.begin(), bass.end(), 0.0f);
    std::fill (kickLine.begin(), kickLine.end(), 0.0f);
    writePos = 0;
    for (auto& f : allPass)
        f.reset();
}

bool AlignmentStage::isQuietAhead (int window, float level) const noexcept
{
    // The next call plays the slot writePos - bassTap; the newest sample in the line sits at
    // writePos - 1, so a tap more than `window` behind has all of them stored already.
    if (bassTap <= window)
        return false;
    int slot = wrap (writePos - bassTap);
    for (int i = 0; i < window; ++i)
    {
        const float l = bass[static_cast<size_t> (2 * slot)], r = bass[static_cast<size_t> (2 * slot + 1)];
        if (! (std::abs (l) <= level) || ! (std::abs (r) <= level))
            return false;
        slot = slot + 1 == length ? 0 : slot + 1;
    }
    return true;
}

int AlignmentStage::delayInSamples (float ms, double rate) noexcept
{
    // Truncation toward zero, but a value a hair below a whole sample counts as that sample:
    // -4.5 ms at 48 kHz is -216 samples, even though -4.5f / 1000 * 48000 comes out at
    // -215.99998 in single precision.
    const double samples = static_cast<double> (ms) * rate / 1000.0;
    return static_cast<int> (samples + std::copysign (1.0e-4, samples));
}

int AlignmentStage::delaySamplesFor (float ms) const noexcept
{
    if (length < 1)
        return 0;
    return std::clamp (delayInSamples (ms, sampleRate), -(length - 1), length - 1);
}

int AlignmentStage::tapFor (int samples) const noexcept
{
    return std::min (samples <= 0 ? 1 : samples, std::max (1, length - 1));
}
