#pragma once

#include <juce_audio_basics/juce_audio_basics.h>

namespace lumetta::tools
{
// The built-in demo: eight seconds at 120 BPM of a stereo bass line and a mono kick on every beat,
// with the bass's attack a few milliseconds behind the kick so that alignment has work to do.
struct DemoSignal
{
    juce::AudioBuffer<float> bass, kick;
};

DemoSignal makeDemoSignal (double sampleRate);

inline constexpr double kDemoBpm = 120.0;
} // namespace lumetta::tools
