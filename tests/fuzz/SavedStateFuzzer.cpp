#include "fuzz/FuzzTargets.h"

#include <juce_events/juce_events.h>

extern "C" int LLVMFuzzerInitialize (int*, char***)
{
    // Kept for the life of the process: shutting JUCE down among the static destructors at exit
    // would race its own singletons.
    new juce::ScopedJuceInitialiser_GUI();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput (const std::uint8_t* data, std::size_t size)
{
    lumetta::fuzz::savedState (data, size);
    return 0;
}
