#pragma once

#include <juce_events/juce_events.h>

#include <iostream>

namespace lumetta::tools
{
// What a tool throws to stop with a message for the user.
struct Failure
{
    juce::String message;
};

// A tool's main: JUCE set up for the run, the arguments as UTF-8 text, and a Failure turned into
// "<name>: <message>" on stderr and the given exit code.
template <typename Run>
int toolMain (const char* name, int argc, char* argv[], int failureExitCode, Run&& run)
{
    const juce::ScopedJuceInitialiser_GUI juce;
    juce::StringArray args;
    for (int i = 1; i < argc; ++i)
        args.add (juce::String::fromUTF8 (argv[i]));
    try
    {
        return run (args);
    }
    catch (const Failure& f)
    {
        std::cerr << name << ": " << f.message << "\n";
        return failureExitCode;
    }
}
} // namespace lumetta::tools
