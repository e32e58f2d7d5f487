#include "helpers/ToolRun.h"

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
