#include "fuzz/FuzzTargets.h"

#include <juce_events/juce_events.h>

// Kept for the life of the process: shutting JUCE down among the static destructors at exit
// would race its own singletons.
static juce::ScopedJuceInitialiser_GUI* juceForTheProcess = nullptr;

extern "C" int LLVMFuzzerInitialize (int*, char***)
{
    juceForTheProcess = new juce::ScopedJuceInitialiser_GUI();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput (const std::uint8_t* data, std::size_t size)
{
    lumetta::fuzz::savedState (data, size);
    return 0;
}
