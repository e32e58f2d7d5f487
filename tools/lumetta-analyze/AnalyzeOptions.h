#pragma once

#include <juce_core/juce_core.h>

#include <optional>

namespace lumetta::tools
{
struct AnalyzeOptions
{
    juce::File bassFile, kickFile;
    juce::File jsonFile;  // none when empty
    juce::File applyFile; // none when empty
    double startSeconds = 0.0;
    bool demo = false;
    bool showHelp = false;
};

// Parses the command line; on failure returns the message for the user.
std::optional<juce::String> parseAnalyzeOptions (const juce::StringArray& args, AnalyzeOptions& out);

juce::String analyzeUsage();
} // namespace lumetta::tools
