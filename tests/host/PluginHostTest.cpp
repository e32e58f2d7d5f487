// The built plug-in binaries, loaded the way a host loads them (JUCE's VST3 and LV2 hosting).

#include "common/SimulatedTransport.h"
#include "common/WavFiles.h"
#include "processor/ParameterIds.h"

#include <juce_audio_processors/juce_audio_processors.h>

#include <gtest/gtest.h>

#include <cstring>

namespace
{
const char* const kParameterNames[] {
    "Delay", "Phase Frequency", "Dowsen On", "Duck Mode", "Duck Mix", "Duck Attack", "Duck Release",
    "Detector HP", "Detector Sensitivity", "Trigger", "Snap to Grid", "Duck Rate", "Duck Live Ringmod",
    "Duck Low Band Only", "Duck Crossover", "Live Hold", "Live Release", "Duck Band HP", "Mono Below",
    "Duck Sync Offset", "Linear Phase Low", "Mono Low", "Auto Makeup Gain", "Auto Level Target",
    "Show Kick Lane", "Show Bass In Lane", "Show Bass Out Lane", "Live Timing", "Timed Hold",
    "Timed Release", "Timed Attack", "Kick Shape", "Full Bass By Eighth", "Phase Follow",
    "Phase Follow Lookahead"
};

// The parameters in the order the bundle's plug-in description lists them as writable.
juce::StringArray declaredLv2ParameterOrder()
{
    const auto ttl = juce::File (LUMETTA_LV2_BUNDLE).getChildFile ("dsp.ttl").loadFileAsString();
    const auto list = ttl.fromFirstOccurrenceOf ("patch:writable", false, false).upToFirstOccurrenceOf (";", false, false);
    juce::StringArray ids;
    for (auto token : juce::StringArray::fromTokens (list, " ,\t\n", ""))
        if (token.startsWith ("plug:"))
            ids.add (token.fromFirstOccurrenceOf ("plug:", false, false));
    return ids;
}

enum class Format { vst3, lv2 };

void PrintTo (Format f, std::ostream* os) { *os << (f == Format::vst3 ? "VST3" : "LV2"); }

std::string formatName (const testing::TestParamInfo<Format>& info) { return info.param == Format::vst3 ? "VST3" : "LV2"; }

juce::AudioBuffer<float> readWav (const juce::File& f)
{
    juce::String error;
    auto audio = lumetta::tools::readWav (f, error);
    EXPECT_TRUE (audio.has_value()) << error;
    return audio ? std::move (audio->samples) : juce::AudioBuffer<float> {};
}

class HostedPlugin : public testing::TestWithParam<Format>
{
protected:
    std::unique_ptr<juce::AudioPluginInstance> load (double rate, int block)
    {
        juce::OwnedArray<juce::PluginDescription> types;
        juce::String identifier;
        if (GetParam() == Format::vst3)
        {
            format = std::make_unique<juce::VST3PluginFormat>();
            identifier = LUMETTA_VST3_BUNDLE;
        }
        else
        {
            format = std::make_unique<juce::LV2PluginFormat>();
            const auto found = format->searchPathsForPlugins (
                juce::FileSearchPath (juce::File (LUMETTA_LV2_BUNDLE).getParentDirectory().getFullPathName()), true, false);
            EXPECT_TRUE (found.contains (LUMETTA_LV2_URI)) << found.joinIntoString (", ");
            identifier = LUMETTA_LV2_URI;
        }
        format->findAllTypesForFile (types, identifier);
        if (types.isEmpty())
        {
            ADD_FAILURE() << "no plug-in found at " << identifier;
            return nullptr;
        }
        EXPECT_EQ (types.size(), 1);
        EXPECT_EQ (types[0]->name, "Lumetta Beta 2");

        juce::String error;
        auto instance = format->createInstanceFromDescription (*types[0], rate, block, error);
        EXPECT_NE (instance, nullptr) << error;
        return instance;
    }

    // Main and sidechain stereo in, stereo out, then prepared as a host prepares.
    static void prepare (juce::AudioPluginInstance& p, double rate, int block)
    {
        juce::AudioProcessor::BusesLayout layout;
        layout.inputBuses.add (juce::AudioChannelSet::stereo());
        layout.inputBuses.add (juce::AudioChannelSet::stereo());
        layout.outputBuses.add (juce::AudioChannelSet::stereo());
        EXPECT_TRUE (p.setBusesLayout (layout));
        p.setRateAndBufferSizeDetails (rate, block);
        p.prepareToPlay (rate, block);
    }

    std::unique_ptr<juce::AudioPluginFormat> format;
};
} // namespace

TEST_P (HostedPlugin, HasMainAndSidechainBusesAndTheThirtyFiveParametersInOrder)
{
    auto p = load (48000.0, 512);
    ASSERT_NE (p, nullptr);
    ASSERT_EQ (p->getBusCount (true), 2);
    ASSERT_EQ (p->getBusCount (false), 1);
    EXPECT_EQ (p->getBus (true, 0)->getDefaultLayout().size(), 2);
    EXPECT_EQ (p->getBus (true, 1)->getDefaultLayout().size(), 2);
    EXPECT_EQ (p->getBus (false, 0)->getDefaultLayout().size(), 2);
    if (GetParam() == Format::vst3)
    {
        EXPECT_EQ (p->getBus (true, 0)->getName(), "Main");
        EXPECT_EQ (p->getBus (true, 1)->getName(), "Sidechain");
        EXPECT_EQ (p->getBus (false, 0)->getName(), "Output");
    }

    // The format's own bypass switch comes on top of our 35.
    const auto& params = p->getParameters();
    juce::StringArray names;
    for (auto* param : params)
        if (! param->getName (100).containsIgnoreCase ("bypass"))
            names.add (param->getName (100));
    ASSERT_EQ (names.size(), 35) << names.joinIntoString (", ");

    if (GetParam() == Format::vst3)
    {
        for (int i = 0; i < 35; ++i)
            EXPECT_EQ (names[i], kParameterNames[i]) << "parameter " << i;
    }
    else
    {
        // LV2 hosts see the parameters as an RDF set (JUCE's host sorts them by URI), so their
        // order is the one the bundle declares.
        for (const char* name : kParameterNames)
            EXPECT_TRUE (names.contains (name)) << name;
        EXPECT_EQ (declaredLv2ParameterOrder(), juce::StringArray (lumetta::param::kAll.data(), static_cast<int> (lumetta::param::kAll.size())));
    }
}

TEST_P (HostedPlugin, ReportsTwentyMillisecondsOfLatency)
{
    for (const auto& [rate, latency] : { std::pair { 48000.0, 960 }, std::pair { 44100.0, 882 } })
    {
        auto p = load (rate, 512);
        ASSERT_NE (p, nullptr);
        prepare (*p, rate, 512);
        juce::AudioBuffer<float> buffer (4, 512);
        buffer.clear();
        juce::MidiBuffer midi;
        p->processBlock (buffer, midi);
        EXPECT_EQ (p->getLatencySamples(), latency) << rate << " Hz";
        p->releaseResources();
    }
}

TEST_P (HostedPlugin, RendersWithSidechainAndPlayingTransportMatchLumettaRender)
{
    // Each case: what lumetta-render is told, and the same settings for the hosted plug-in as
    // (parameter name, normalised value) or, for the delay, its text.
    struct Case
    {
        const char* name;
        juce::StringArray renderArgs;
        std::vector<std::pair<const char*, float>> normalised;
    };
    const std::vector<Case> cases {
        { "alignment", { "--set", "delayMs=-3.5" }, {} },
        { "grid duck", { "--set", "delayMs=-3.5", "--set", "dowsenOn=on" }, { { "Dowsen On", 1.0f } } },
        { "audio duck, low band, mono",
          { "--set", "delayMs=-3.5", "--set", "dowsenOn=on", "--set", "scTrigger=Audio", "--set", "scLowOnly=on", "--set", "scMonoLow=on" },
          { { "Dowsen On", 1.0f }, { "Trigger", 1.0f }, { "Duck Low Band Only", 1.0f }, { "Mono Low", 1.0f } } },
        { "live duck", { "--set", "delayMs=-3.5", "--set", "dowsenOn=on", "--set", "scLive=on" },
          { { "Dowsen On", 1.0f }, { "Duck Live Ringmod", 1.0f } } },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        const auto dir = juce::File::createTempFile ("lumetta-host");
        ASSERT_TRUE (dir.createDirectory());
        const auto out = dir.getChildFile ("demo.wav");
        juce::StringArray args { LUMETTA_RENDER_PATH, "--out", out.getFullPathName() };
        args.addArray (c.renderArgs);
        juce::ChildProcess render;
        ASSERT_TRUE (render.start (args));
        const auto log = render.readAllProcessOutput();
        ASSERT_TRUE (render.waitForProcessToFinish (60000));
        ASSERT_EQ (render.getExitCode(), 0u) << log;

        const auto expected = readWav (out);
        const auto bass = readWav (dir.getChildFile ("demo-bass.wav"));
        const auto kick = readWav (dir.getChildFile ("demo-kick.wav"));
        dir.deleteRecursively();
        ASSERT_GT (expected.getNumSamples(), 48000);

        auto p = load (48000.0, 512);
        ASSERT_NE (p, nullptr);
        const auto byName = [&p] (const char* name)
        {
            auto* const* found = std::find_if (p->getParameters().begin(), p->getParameters().end(),
                                               [name] (auto* param) { return param->getName (100) == name; });
            return found != p->getParameters().end() ? *found : nullptr;
        };
        auto* delay = byName ("Delay");
        ASSERT_NE (delay, nullptr);
        delay->setValueNotifyingHost (delay->getValueForText ("-3.5"));
        for (const auto& [name, v] : c.normalised)
        {
            auto* param = byName (name);
            ASSERT_NE (param, nullptr) << name;
            param->setValueNotifyingHost (v);
        }
        lumetta::tools::SimulatedTransport transport ({}, 48000.0);
        p->setPlayHead (&transport);
        prepare (*p, 48000.0, 512);

        juce::AudioBuffer<float> block (4, 512);
        juce::MidiBuffer midi;
        const int length = bass.getNumSamples();
        int mismatches = 0, firstMismatch = -1;
        for (int start = 0; start + 512 <= length; start += 512)
        {
            block.copyFrom (0, 0, bass, 0, start, 512);
            block.copyFrom (1, 0, bass, 1, start, 512);
            block.copyFrom (2, 0, kick, 0, start, 512);
            block.copyFrom (3, 0, kick, 0, start, 512);
            p->processBlock (block, midi);
            transport.advance (512);
            for (int ch = 0; ch < 2; ++ch)
                for (int i = 0; i < 512; ++i)
                    if (! juce::exactlyEqual (block.getSample (ch, i), expected.getSample (ch, start + i)))
                    {
                        if (firstMismatch < 0)
                            firstMismatch = start + i;
                        ++mismatches;
                    }
        }
        p->releaseResources();
        p->setPlayHead (nullptr);
        EXPECT_EQ (mismatches, 0) << "first at sample " << firstMismatch;
        EXPECT_GT (expected.getMagnitude (0, 0, length), 0.05f);
    }
}

TEST_P (HostedPlugin, StateSavedByTheHostRestoresIntoANewInstance)
{
    const auto byName = [] (juce::AudioPluginInstance& p, const char* name)
    {
        for (auto* param : p.getParameters())
            if (param->getName (100) == name)
                return param;
        ADD_FAILURE() << "no parameter " << name;
        return p.getParameters()[0];
    };

    auto a = load (48000.0, 512);
    ASSERT_NE (a, nullptr);
    prepare (*a, 48000.0, 512);
    for (const auto& [name, text] : { std::pair { "Delay", "-3.5" }, std::pair { "Dowsen On", "1" }, std::pair { "Duck Rate", "Bar" } })
    {
        auto* param = byName (*a, name);
        param->setValueNotifyingHost (param->getValueForText (text));
    }
    juce::AudioBuffer<float> buffer (4, 512);
    buffer.clear();
    juce::MidiBuffer midi;
    a->processBlock (buffer, midi);
    juce::MemoryBlock state;
    a->getStateInformation (state);
    a->releaseResources();
    ASSERT_GT (state.getSize(), 144u);

    auto b = load (48000.0, 512);
    ASSERT_NE (b, nullptr);
    prepare (*b, 48000.0, 512);
    b->setStateInformation (state.getData(), static_cast<int> (state.getSize()));
    b->processBlock (buffer, midi);
    for (const char* name : kParameterNames)
        EXPECT_EQ (byName (*b, name)->getText (byName (*b, name)->getValue(), 100),
                   byName (*a, name)->getText (byName (*a, name)->getValue(), 100)) << name;
    EXPECT_EQ (byName (*b, "Delay")->getText (byName (*b, "Delay")->getValue(), 100), "-3.5");
    b->releaseResources();
}

namespace
{
// Lumetta's own state bytes inside what each format's host saves. JUCE's VST3 host keeps the
// component state (our bytes, then JUCE's private block ending in "JUCEPrivateData") base64 in an
// XML element; JUCE's LV2 client stores our bytes base64 in the StateString property of the
// plug-in's LV2 state, which JUCE's LV2 host saves as Turtle.
struct Vst3State
{
    std::unique_ptr<juce::XmlElement> xml;
    juce::MemoryBlock chunk;
    size_t ours = 0;

    explicit Vst3State (const juce::MemoryBlock& hostState)
        : xml (juce::AudioProcessor::getXmlFromBinary (hostState.getData(), static_cast<int> (hostState.getSize())))
    {
        if (xml == nullptr || xml->getChildByName ("IComponent") == nullptr)
            return;
        chunk.fromBase64Encoding (xml->getChildByName ("IComponent")->getAllSubText());
        constexpr size_t kMagic = 15; // "JUCEPrivateData"
        const auto* bytes = static_cast<const char*> (chunk.getData());
        if (chunk.getSize() < kMagic + 16 || juce::String (bytes + chunk.getSize() - kMagic, kMagic) != "JUCEPrivateData")
            return;
        juce::int64 privateSize = 0;
        std::memcpy (&privateSize, bytes + chunk.getSize() - kMagic - 8, 8);
        ours = chunk.getSize() - kMagic - 8 - static_cast<size_t> (privateSize) - 8;
    }

    juce::MemoryBlock lumettaState() const { return { chunk.getData(), ours }; }

    juce::MemoryBlock withLumettaState (const juce::MemoryBlock& state) const
    {
        juce::MemoryBlock replaced (state);
        replaced.append (static_cast<const char*> (chunk.getData()) + ours, chunk.getSize() - ours);
        auto* component = xml->getChildByName ("IComponent");
        component->deleteAllTextElements();
        component->addTextElement (replaced.toBase64Encoding());
        juce::MemoryBlock out;
        juce::AudioProcessor::copyXmlToBinary (*xml, out);
        return out;
    }
};

struct Lv2State
{
    juce::String turtle;
    int start = -1, end = -1; // the base64 literal's characters

    explicit Lv2State (const juce::MemoryBlock& hostState) : turtle (juce::String::fromUTF8 (static_cast<const char*> (hostState.getData()), static_cast<int> (hostState.getSize())))
    {
        const int property = turtle.indexOf ("StateString");
        start = property < 0 ? -1 : turtle.indexOf (property, "\"") + 1;
        end = start <= 0 ? -1 : turtle.indexOf (start, "\"");
    }

    juce::MemoryBlock lumettaState() const
    {
        juce::MemoryBlock block;
        if (end > start)
            block.fromBase64Encoding (turtle.substring (start, end));
        return block;
    }

    juce::MemoryBlock withLumettaState (const juce::MemoryBlock& state) const
    {
        const auto text = turtle.substring (0, start) + state.toBase64Encoding() + turtle.substring (end);
        return { text.toRawUTF8(), text.getNumBytesAsUTF8() };
    }
};

std::unique_ptr<juce::AudioPluginInstance> loadFormat (juce::AudioPluginFormat& format, const juce::String& identifier)
{
    juce::OwnedArray<juce::PluginDescription> types;
    format.findAllTypesForFile (types, identifier);
    if (types.isEmpty())
        return nullptr;
    juce::String error;
    auto instance = format.createInstanceFromDescription (*types[0], 48000.0, 512, error);
    if (instance != nullptr)
    {
        instance->setRateAndBufferSizeDetails (48000.0, 512);
        instance->prepareToPlay (48000.0, 512);
    }
    return instance;
}

juce::MemoryBlock saved (juce::AudioPluginInstance& p)
{
    juce::AudioBuffer<float> buffer (4, 512);
    buffer.clear();
    juce::MidiBuffer midi;
    p.processBlock (buffer, midi); // lets the plug-in take the parameters in
    juce::MemoryBlock block;
    p.getStateInformation (block);
    return block;
}

void customise (juce::AudioPluginInstance& p)
{
    for (auto* param : p.getParameters())
    {
        const auto name = param->getName (100);
        if (name == "Delay")
            param->setValueNotifyingHost (param->getValueForText ("-6.2"));
        else if (name == "Dowsen On" || name == "Duck Low Band Only" || name == "Phase Follow")
            param->setValueNotifyingHost (1.0f);
        else if (name == "Duck Rate")
            param->setValueNotifyingHost (1.0f); // "Bar"
        else if (name == "Duck Crossover")
            param->setValueNotifyingHost (0.3f);
    }
}
} // namespace

TEST (CrossFormatState, AStateSavedThroughOneFormatRestoresIdenticallyThroughTheOther)
{
    juce::VST3PluginFormat vst3;
    juce::LV2PluginFormat lv2;
    lv2.searchPathsForPlugins (juce::FileSearchPath (juce::File (LUMETTA_LV2_BUNDLE).getParentDirectory().getFullPathName()), true, false);

    // VST3 -> LV2.
    auto fromVst3 = loadFormat (vst3, LUMETTA_VST3_BUNDLE);
    ASSERT_NE (fromVst3, nullptr);
    customise (*fromVst3);
    const Vst3State vst3Saved (saved (*fromVst3));
    const auto ours = vst3Saved.lumettaState();
    ASSERT_GT (ours.getSize(), 144u) << "no Lumetta state found in the VST3 host's data";

    auto lv2Template = loadFormat (lv2, LUMETTA_LV2_URI);
    ASSERT_NE (lv2Template, nullptr);
    const Lv2State lv2Fresh (saved (*lv2Template));
    ASSERT_GT (lv2Fresh.lumettaState().getSize(), 144u) << "no Lumetta state found in the LV2 host's data";
    ASSERT_NE (lv2Fresh.lumettaState(), ours) << "the customised settings did not reach the saved state";

    auto intoLv2 = loadFormat (lv2, LUMETTA_LV2_URI);
    ASSERT_NE (intoLv2, nullptr);
    const auto lv2Data = lv2Fresh.withLumettaState (ours);
    intoLv2->setStateInformation (lv2Data.getData(), static_cast<int> (lv2Data.getSize()));
    const Lv2State lv2Restored (saved (*intoLv2));
    EXPECT_EQ (lv2Restored.lumettaState(), ours);

    // LV2 -> VST3, with the LV2 instance's own save.
    auto intoVst3 = loadFormat (vst3, LUMETTA_VST3_BUNDLE);
    ASSERT_NE (intoVst3, nullptr);
    const auto fromLv2 = lv2Restored.lumettaState();
    const Vst3State vst3Fresh (saved (*intoVst3));
    ASSERT_NE (vst3Fresh.lumettaState(), fromLv2);
    const auto vst3Data = vst3Fresh.withLumettaState (fromLv2);
    intoVst3->setStateInformation (vst3Data.getData(), static_cast<int> (vst3Data.getSize()));
    EXPECT_EQ (Vst3State (saved (*intoVst3)).lumettaState(), fromLv2);

    for (auto* p : { fromVst3.get(), lv2Template.get(), intoLv2.get(), intoVst3.get() })
        p->releaseResources();
}

INSTANTIATE_TEST_SUITE_P (Formats, HostedPlugin, testing::Values (Format::vst3, Format::lv2), formatName);
