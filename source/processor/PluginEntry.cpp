#include "processor/PluginProcessor.h"

juce::AudioProcessor* JUCE_CALLTYPE createPluginFilter()
{
    return new LumettaAudioProcessor();
}
