#pragma once

#include <juce_core/juce_core.h>

// Runs one of the command-line tools as a user would and keeps what it printed.
struct ToolRun
{
    int exitCode;
    juce::String output;

    static ToolRun of (const char* path, const juce::StringArray& args);
};
