#include "helpers/ToolRun.h"

#include <gtest/gtest.h>

ToolRun ToolRun::of (const char* path, const juce::StringArray& args)
{
    juce::StringArray command { path };
    command.addArray (args);
    juce::ChildProcess child;
    if (! child.start (command, juce::ChildProcess::wantStdOut | juce::ChildProcess::wantStdErr))
        return { -1, juce::String ("could not start ") + path };
    auto text = child.readAllProcessOutput();
    child.waitForProcessToFinish (60000);
    return { static_cast<int> (child.getExitCode()), text };
}

void writeTestWav (const juce::File& f, const juce::AudioBuffer<float>& b, double rate)
{
    juce::String error;
    EXPECT_TRUE (lumetta::tools::writeWav (f, b, rate, error)) << error;
}

lumetta::tools::Audio readTestWav (const juce::File& f)
{
    juce::String error;
    auto audio = lumetta::tools::readWav (f, error);
    EXPECT_TRUE (audio.has_value()) << error;
    return audio ? std::move (*audio) : lumetta::tools::Audio {};
}
