#pragma once

#include <juce_audio_formats/juce_audio_formats.h>

#include <optional>

namespace lumetta::tools
{
struct Audio
{
    juce::AudioBuffer<float> samples;
    double sampleRate = 0.0;
};

// Reads a whole WAV file; on failure returns the message for the user in `error`.
std::optional<Audio> readWav (const juce::File& file, juce::String& error);

// Writes 32-bit float WAV through a temporary file beside the target, so a failed or interrupted
// write never leaves a half-written file under the target's name.
bool writeWav (const juce::File& file, const juce::AudioBuffer<float>& samples, double sampleRate, juce::String& error);
} // namespace lumetta::tools
