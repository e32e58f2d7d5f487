#pragma once

#include "common/WavFiles.h"

#include <juce_core/juce_core.h>

// Runs one of the command-line tools as a user would and keeps what it printed.
struct ToolRun
{
    int exitCode;
    juce::String output;

    static ToolRun of (const char* path, const juce::StringArray& args);
};

// WAV files for the tools' tests; a failure fails the test.
void writeTestWav (const juce::File& f, const juce::AudioBuffer<float>& b, double rate);
lumetta::tools::Audio readTestWav (const juce::File& f);
