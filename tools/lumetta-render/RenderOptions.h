#pragma once

#include "common/SimulatedTransport.h"

#include <optional>
#include <string>
#include <vector>

namespace lumetta::tools
{
struct ParameterSetting
{
    juce::String id;
    juce::String value;
};

struct RenderOptions
{
    juce::File bassFile, kickFile, outFile;
    juce::File stateIn, stateOut; // saved processor states, as a host stores them
    std::optional<double> sampleRate; // the demo's rate, or a check against the input files
    int blockSize = 512;
    TransportSettings transport;
    bool withTransport = true; // false: a host that gives no play head at all
    std::vector<ParameterSetting> parameters;
    bool polarityFlip = false;
    bool allPassOn = false;
    float allPassFreqHz = 100.0f;
    float allPassQ = 0.707f;
    bool offline = false;
    bool followTimeline = false; // print FOLLOW's status changes and applied corrections
    juce::String shape; // a factory shape's name or a curve in its text form
    bool showHelp = false;

    bool isDemo() const { return bassFile == juce::File(); }
};

// Parses the command line; on failure returns the message for the user.
std::optional<juce::String> parseRenderOptions (const juce::StringArray& args, RenderOptions& out);

juce::String renderUsage();
} // namespace lumetta::tools
