// lumetta-render: renders audio through Lumetta's processor as a host would, block by block.

#include "analysis/AnalysisPresentation.h"
#include "common/DemoSignal.h"
#include "common/SimulatedTransport.h"
#include "common/ToolMain.h"
#include "common/WavFiles.h"
#include "lumetta-render/RenderOptions.h"
#include "processor/PluginProcessor.h"

#include <cmath>
#include <optional>
#include <iostream>

namespace
{
using namespace lumetta::tools;

// Sets a parameter from text in its own units; booleans also take on/off, choices their item text.
void setParameter (LumettaAudioProcessor& processor, const ParameterSetting& s)
{
    auto* param = processor.parameters.getParameter (s.id);
    if (param == nullptr)
        throw Failure { "unknown parameter ID \"" + s.id + "\"" };

    double v = 0.0;
    const auto text = s.value.toLowerCase();
    if (dynamic_cast<juce::AudioParameterBool*> (param) != nullptr && (text == "on" || text == "true" || text == "off" || text == "false"))
        v = (text == "on" || text == "true") ? 1.0 : 0.0;
    else if (auto* choice = dynamic_cast<juce::AudioParameterChoice*> (param); choice != nullptr && choice->choices.contains (s.value, true))
        v = choice->choices.indexOf (s.value, true);
    else
    {
        char* end = nullptr;
        const auto* start = s.value.toRawUTF8();
        v = std::strtod (start, &end);
        if (s.value.isEmpty() || end == start || *end != '\0' || ! std::isfinite (v))
            throw Failure { "--set " + s.id + " needs a number, not \"" + s.value + "\"" };
    }

    const auto& range = param->getNormalisableRange();
    if (v < range.start || v > range.end)
        throw Failure { "--set " + s.id + "=" + s.value + " is out of range (" + juce::String (range.start) + " to "
                        + juce::String (range.end) + ")" };
    param->setValueNotifyingHost (param->convertTo0to1 (static_cast<float> (v)));
}

// A factory shape by name (any case), else a curve in its text form.
void loadShape (LumettaAudioProcessor& processor, const juce::String& shape)
{
    for (int i = 0; i < dowsen::CurveModel::numFactoryPresets(); ++i)
        if (shape.equalsIgnoreCase (dowsen::CurveModel::factoryPresetName (i)))
        {
            processor.applyPresetCurve (dowsen::CurveModel::makeFactoryPreset (i), i);
            return;
        }
    dowsen::CurveModel curve;
    if (! curve.fromString (shape.toStdString()))
        throw Failure { "--shape \"" + shape + "\" is neither a factory shape nor a valid curve text" };
    processor.applyPresetCurve (curve, -1);
}

struct Levels
{
    float peak = 0.0f;
    double rms = 0.0;
};

Levels levelsOf (const juce::AudioBuffer<float>& b)
{
    Levels l;
    double sum = 0.0;
    for (int ch = 0; ch < b.getNumChannels(); ++ch)
        for (int i = 0; i < b.getNumSamples(); ++i)
        {
            const float x = b.getSample (ch, i);
            l.peak = std::max (l.peak, std::abs (x));
            sum += static_cast<double> (x) * x;
        }
    const auto n = static_cast<double> (b.getNumChannels()) * b.getNumSamples();
    l.rms = n > 0 ? std::sqrt (sum / n) : 0.0;
    return l;
}

juce::String dbfs (double level)
{
    return juce::String (20.0 * std::log10 (std::max (level, 1.0e-4)), 1) + " dBFS";
}

Audio loadInput (const juce::File& file)
{
    juce::String error;
    auto audio = readWav (file, error);
    if (! audio)
        throw Failure { error };
    return std::move (*audio);
}

void writeOrFail (const juce::File& file, const juce::AudioBuffer<float>& audio, double rate)
{
    juce::String error;
    if (! writeWav (file, audio, rate, error))
        throw Failure { error };
}

// FOLLOW's story of a render: a line whenever the status words or the played correction change.
struct FollowTimeline
{
    juce::String status;
    std::optional<PhaseFollowSettings> correction;

    void note (const LumettaAudioProcessor& p, double seconds)
    {
        const auto now = p.getPhaseFollowStatusText();
        const auto playing = p.getPlayingFollowCorrection();
        const auto at = juce::String (seconds, 3) + " s  ";
        if (now != status)
            std::cout << at << "status " << now << "\n";
        if (! correction || playing.flip != correction->flip || playing.allPassOn != correction->allPassOn
            || (playing.allPassOn && (! juce::exactlyEqual (playing.allPassFreqHz, correction->allPassFreqHz)
                                      || ! juce::exactlyEqual (playing.allPassQ, correction->allPassQ))))
        {
            std::cout << at << "plays polarity " << (playing.flip ? "inverted" : "normal") << ", all-pass ";
            if (playing.allPassOn)
                std::cout << juce::String (playing.allPassFreqHz, 1) << " Hz Q " << juce::String (playing.allPassQ, 3) << "\n";
            else
                std::cout << "off\n";
        }
        status = now;
        correction = playing;
    }
};

struct Rendered
{
    juce::AudioBuffer<float> audio;
    // The low-end phase meters as the render left them (released resources reset them).
    PhaseMeterReading pre, post;
};

Rendered render (LumettaAudioProcessor& processor, const juce::AudioBuffer<float>& bass,
                 const juce::AudioBuffer<float>* kick, const RenderOptions& o, double rate)
{
    const int mainChannels = bass.getNumChannels();
    const int sideChannels = kick != nullptr ? kick->getNumChannels() : 0;
    const int length = bass.getNumSamples();

    SimulatedTransport transport (o.transport, rate);
    processor.setPlayHead (o.withTransport ? &transport : nullptr);
    processor.setNonRealtime (o.offline);
    processor.prepareToPlay (rate, o.blockSize);

    Rendered rendered { juce::AudioBuffer<float> (mainChannels, length), {}, {} };
    auto& out = rendered.audio;
    juce::AudioBuffer<float> block (mainChannels + sideChannels, o.blockSize);
    juce::MidiBuffer midi;
    FollowTimeline timeline;
    for (int start = 0; start < length; start += o.blockSize)
    {
        const int n = std::min (o.blockSize, length - start);
        block.setSize (block.getNumChannels(), n, false, false, true);
        for (int ch = 0; ch < mainChannels; ++ch)
            block.copyFrom (ch, 0, bass, ch, start, n);
        for (int ch = 0; ch < sideChannels; ++ch)
            block.copyFrom (mainChannels + ch, 0, *kick, ch, start, n);
        processor.processBlock (block, midi);
        for (int ch = 0; ch < mainChannels; ++ch)
            out.copyFrom (ch, start, block, ch, 0, n);
        transport.advance (n);
        if (o.followTimeline)
            timeline.note (processor, (start + n) / rate);
    }
    rendered.pre = processor.getPreMeterReading();
    rendered.post = processor.getPostMeterReading();
    processor.releaseResources();
    processor.setPlayHead (nullptr);
    return rendered;
}

int run (const juce::StringArray& args)
{
    RenderOptions o;
    if (auto error = parseRenderOptions (args, o))
        throw Failure { *error };
    if (o.showHelp)
    {
        std::cout << renderUsage();
        return 0;
    }

    Audio bass, kick;
    bool haveKick = false;
    if (o.isDemo())
    {
        const double rate = o.sampleRate.value_or (48000.0);
        auto demo = makeDemoSignal (rate);
        bass = { std::move (demo.bass), rate };
        kick = { std::move (demo.kick), rate };
        haveKick = true;
    }
    else
    {
        bass = loadInput (o.bassFile);
        if (o.kickFile != juce::File())
        {
            kick = loadInput (o.kickFile);
            haveKick = true;
            if (! juce::exactlyEqual (kick.sampleRate, bass.sampleRate))
                throw Failure { "the kick is at " + juce::String (kick.sampleRate) + " Hz and the bass at "
                                + juce::String (bass.sampleRate) + " Hz; they must match" };
            if (kick.samples.getNumSamples() != bass.samples.getNumSamples())
                throw Failure { "the kick is " + juce::String (kick.samples.getNumSamples()) + " samples long and the bass "
                                + juce::String (bass.samples.getNumSamples()) + "; they must match" };
        }
        if (o.sampleRate && ! juce::exactlyEqual (*o.sampleRate, bass.sampleRate))
            throw Failure { "--rate " + juce::String (*o.sampleRate) + " does not match the input's "
                            + juce::String (bass.sampleRate) + " Hz" };
    }
    const double rate = bass.sampleRate;

    LumettaAudioProcessor processor;
    auto layout = processor.getBusesLayout();
    layout.inputBuses.getReference (0) = juce::AudioChannelSet::canonicalChannelSet (bass.samples.getNumChannels());
    layout.outputBuses.getReference (0) = layout.inputBuses[0];
    layout.inputBuses.getReference (1) = haveKick ? juce::AudioChannelSet::canonicalChannelSet (kick.samples.getNumChannels())
                                                  : juce::AudioChannelSet::disabled();
    if (! processor.setBusesLayout (layout))
        throw Failure { "Lumetta does not accept this channel layout" };

    if (o.stateIn != juce::File())
    {
        juce::MemoryBlock state;
        if (! o.stateIn.existsAsFile() || ! o.stateIn.loadFileAsData (state))
            throw Failure { "cannot read the state file " + o.stateIn.getFullPathName() };
        processor.setStateInformation (state.getData(), static_cast<int> (state.getSize()));
    }
    for (const auto& s : o.parameters)
        setParameter (processor, s);
    if (o.shape.isNotEmpty())
        loadShape (processor, o.shape);
    // Only what the command line asks for: a restored state keeps its own settings otherwise.
    if (o.polarityFlip)
        processor.polarityFlip = true;
    if (o.allPassOn)
    {
        processor.allPassOn = true;
        processor.allPassFreqHz = o.allPassFreqHz;
        processor.allPassQ = o.allPassQ;
        setParameter (processor, { "allPassFreq", juce::String (o.allPassFreqHz) });
    }

    const auto rendered = render (processor, bass.samples, haveKick ? &kick.samples : nullptr, o, rate);
    const auto& out = rendered.audio;

    const auto stem = o.outFile.getParentDirectory().getChildFile (o.outFile.getFileNameWithoutExtension());
    if (o.isDemo())
    {
        writeOrFail (stem.getSiblingFile (stem.getFileName() + "-bass.wav"), bass.samples, rate);
        writeOrFail (stem.getSiblingFile (stem.getFileName() + "-kick.wav"), kick.samples, rate);
    }
    writeOrFail (o.outFile, out, rate);
    if (o.stateOut != juce::File())
    {
        juce::MemoryBlock state;
        processor.getStateInformation (state);
        juce::TemporaryFile temp (o.stateOut);
        if (! temp.getFile().replaceWithData (state.getData(), state.getSize()) || ! temp.overwriteTargetFileWithTemporary())
            throw Failure { "cannot write the state file " + o.stateOut.getFullPathName() };
    }

    const auto in = levelsOf (bass.samples), result = levelsOf (out);
    std::cout << "latency: " << processor.getLatencySamples() << " samples ("
              << juce::String (1000.0 * processor.getLatencySamples() / rate, 2) << " ms at " << rate << " Hz)\n"
              << "in:  peak " << dbfs (in.peak) << ", RMS " << dbfs (in.rms) << "\n"
              << "out: peak " << dbfs (result.peak) << ", RMS " << dbfs (result.rms) << "\n";
    if (haveKick)
        std::cout << "low-end alignment at the end: PRE " << phaseMeterText (rendered.pre) << ", POST "
                  << phaseMeterText (rendered.post) << "\n";
    if (o.isDemo())
        std::cout << "demo input: " << stem.getFullPathName() << "-bass.wav, " << stem.getFullPathName() << "-kick.wav\n";
    std::cout << "output: " << o.outFile.getFullPathName() << "\n";
    return 0;
}
} // namespace

int main (int argc, char* argv[])
{
    return lumetta::tools::toolMain ("lumetta-render", argc, argv, 2, run);
}
