#include <juce_events/juce_events.h>

#include <gtest/gtest.h>

int main (int argc, char** argv)
{
    // The processor starts a timer; JUCE wants its message manager to exist for that. The loop is
    // never run, so tests call timerCallback themselves and stay deterministic.
    const juce::ScopedJuceInitialiser_GUI juce;
    testing::InitGoogleTest (&argc, argv);
    return RUN_ALL_TESTS();
}
