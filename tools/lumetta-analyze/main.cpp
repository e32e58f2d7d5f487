// lumetta-analyze: ANALYZE on one second of a bass and a kick, as the plug-in runs it.

#include "analysis/AnalysisPresentation.h"
#include "analysis/PhaseAnalyzer.h"
#include "common/DemoSignal.h"
#include "common/ToolMain.h"
#include "common/WavFiles.h"
#include "lumetta-analyze/AnalyzeOptions.h"
#include "processor/AlignmentStage.h"
#include "processor/AllPassFilter.h"

#include <juce_events/juce_events.h>

#include <algorithm>
#include <cmath>
#include <iostream>

namespace
{
using namespace lumetta::tools;

constexpr int kExitBadInput = 2;
constexpr int kExitNoAudio = 3;
constexpr int kBlockSize = 512;
constexpr double kMinRate = 8000.0;

Audio loadInput (const juce::File& file)
{
    juce::String error;
    auto audio = readWav (file, error);
    if (! audio)
        throw Failure { error };
    return std::move (*audio);
}

// (left + right) / 2, or the single channel: the mono the plug-in captures.
std::vector<float> monoOf (const juce::AudioBuffer<float>& b, int start, int length)
{
    std::vector<float> mono (static_cast<size_t> (length));
    for (int i = 0; i < length; ++i)
        mono[static_cast<size_t> (i)] = b.getNumChannels() > 1 ? 0.5f * (b.getSample (0, start + i) + b.getSample (1, start + i))
                                                               : b.getSample (0, start + i);
    return mono;
}

// The processor's part and the editor's part of one ANALYZE press, in their order: the capture
// restarts on the press, fills in blocks, is handed off when full, and the result is read once
// nothing is armed, requested or running.
ManualAnalysisResult analyse (const std::vector<float>& bass, const std::vector<float>& kick, double rate)
{
    PhaseAnalyzer analyzer;
    analyzer.prepare (rate);
    const AnalysisContext preMode; // raw input, no alignment in effect
    analyzer.refreshContext (preMode);
    analyzer.arm();

    const int length = static_cast<int> (bass.size());
    for (int start = 0; start < length; start += kBlockSize)
    {
        analyzer.refreshContext (preMode);
        analyzer.capture (bass.data() + start, kick.data() + start, std::min (kBlockSize, length - start));
    }
    if (! analyzer.isCaptureFull())
        throw Failure { "the capture did not fill; this is a bug in lumetta-analyze" };

    const auto deadline = juce::Time::getMillisecondCounterHiRes() + 120000.0;
    do
    {
        analyzer.handOff();
        juce::Thread::sleep (2);
        if (juce::Time::getMillisecondCounterHiRes() > deadline)
            throw Failure { "the analysis did not finish within two minutes" };
    } while (! analyzer.isIdle());
    return analyzer.getResult();
}

// The bass as APPLY would play it: delayed (negative is earlier), flipped, rotated by the
// proposed all-pass with the limits APPLY uses. Every channel is kept.
juce::AudioBuffer<float> applyProposal (const juce::AudioBuffer<float>& bass, const ManualAnalysisResult& r, double rate)
{
    const int length = bass.getNumSamples();
    const int delay = AlignmentStage::delayInSamples (r.delayMs, rate);
    juce::AudioBuffer<float> out (bass.getNumChannels(), length);
    for (int ch = 0; ch < bass.getNumChannels(); ++ch)
    {
        AllPassFilter allPass (rate, std::clamp (r.allPassFreqHz, 20.0f, 500.0f), std::clamp (r.allPassQ, 0.1f, 5.0f), r.allPassOn);
        const float* in = bass.getReadPointer (ch);
        float* dest = out.getWritePointer (ch);
        for (int i = 0; i < length; ++i)
        {
            const int from = i - delay;
            const float x = from >= 0 && from < length ? in[from] : 0.0f;
            dest[i] = allPass.processSample (r.flip ? -x : x);
        }
    }
    return out;
}

juce::String stateName (PhaseMeterState s)
{
    switch (s)
    {
        case PhaseMeterState::Measuring:      return "Measuring";
        case PhaseMeterState::NoLowEnd:       return "NoLowEnd";
        case PhaseMeterState::LowInteraction: return "LowInteraction";
        case PhaseMeterState::VariesPerBeat:  return "VariesPerBeat";
        case PhaseMeterState::Valid:          return "Valid";
        default:                              return "Measuring";
    }
}

juce::String kindName (AnalysisPresentation::Kind k)
{
    switch (k)
    {
        case AnalysisPresentation::Kind::noAudio:      return "noAudio";
        case AnalysisPresentation::Kind::noAdjustment: return "noAdjustment";
        case AnalysisPresentation::Kind::suggestion:   return "suggestion";
        default:                                       return "noAudio";
    }
}

juce::var readingJson (const PhaseMeterReading& r)
{
    auto* o = new juce::DynamicObject();
    o->setProperty ("state", stateName (r.state));
    o->setProperty ("percent", r.percent);
    o->setProperty ("text", phaseMeterText (r));
    return o;
}

struct Source
{
    juce::String bass, kick; // file paths, or "demo"
    double rate = 0.0;
    double startSeconds = 0.0;
    int samples = 0;
};

juce::String resultJson (const Source& s, const ManualAnalysisResult& r, const AnalysisPresentation& shown)
{
    auto* o = new juce::DynamicObject();
    o->setProperty ("bass", s.bass);
    o->setProperty ("kick", s.kick);
    o->setProperty ("sampleRate", s.rate);
    o->setProperty ("startSeconds", s.startSeconds);
    o->setProperty ("samples", s.samples);
    o->setProperty ("hasResult", r.hasResult);
    if (r.hasResult)
    {
        o->setProperty ("postMode", r.postMode);
        o->setProperty ("delayMs", r.delayMs);
        o->setProperty ("flip", r.flip);
        o->setProperty ("allPassOn", r.allPassOn);
        o->setProperty ("allPassFreqHz", r.allPassFreqHz);
        o->setProperty ("allPassQ", r.allPassQ);
        o->setProperty ("baselinePercent", r.baselinePercent);
        o->setProperty ("bestPercent", r.bestPercent);
        o->setProperty ("before", readingJson (r.before));
        o->setProperty ("after", readingJson (r.after));
    }
    o->setProperty ("presentation", kindName (shown.kind));
    o->setProperty ("text", shown.text);
    o->setProperty ("button", shown.buttonText);
    // Six decimals at most: floats as the short numbers they stand for (0.707, not 0.70700001716613770).
    return juce::JSON::toString (juce::var (o), juce::JSON::FormatOptions {}.withMaxDecimalPlaces (6)) + "\n";
}

void writeText (const juce::File& file, const juce::String& text)
{
    const auto dir = file.getParentDirectory();
    juce::TemporaryFile temp (file);
    if (! (dir.isDirectory() || dir.createDirectory()) || ! temp.getFile().replaceWithText (text)
        || ! temp.overwriteTargetFileWithTemporary())
        throw Failure { "cannot write " + file.getFullPathName() };
}

juce::String describeProposal (const ManualAnalysisResult& r)
{
    juce::String text = "proposal: delay " + AnalysisPresentation::formatDelay (r.delayMs) + ", flip " + (r.flip ? "yes" : "no");
    if (r.allPassOn)
        text << ", all-pass " << juce::String (r.allPassFreqHz, 1) << " Hz Q " << juce::String (r.allPassQ, 3);
    else
        text << ", all-pass off";
    return text;
}

int run (const juce::StringArray& args)
{
    AnalyzeOptions o;
    if (auto error = parseAnalyzeOptions (args, o))
        throw Failure { *error };
    if (o.showHelp)
    {
        std::cout << analyzeUsage();
        return 0;
    }

    Audio bass, kick;
    Source source;
    if (o.demo)
    {
        constexpr double kDemoRate = 48000.0;
        auto demo = makeDemoSignal (kDemoRate);
        bass = { std::move (demo.bass), kDemoRate };
        kick = { std::move (demo.kick), kDemoRate };
        source.bass = source.kick = "demo";
    }
    else
    {
        bass = loadInput (o.bassFile);
        kick = loadInput (o.kickFile);
        source.bass = o.bassFile.getFullPathName();
        source.kick = o.kickFile.getFullPathName();
        if (! juce::exactlyEqual (kick.sampleRate, bass.sampleRate))
            throw Failure { "the kick is at " + juce::String (kick.sampleRate) + " Hz and the bass at "
                            + juce::String (bass.sampleRate) + " Hz; they must match" };
    }
    const double rate = bass.sampleRate;
    if (! (rate >= kMinRate && rate <= PhaseAnalyzer::kMaxSampleRate))
        throw Failure { "the input is at " + juce::String (rate) + " Hz; lumetta-analyze takes 8000 to 768000 Hz" };

    // One second is trunc(rate) samples, as the plug-in's capture holds.
    const int window = static_cast<int> (rate);
    const double startSample = std::round (o.startSeconds * rate);
    const int available = std::min (bass.samples.getNumSamples(), kick.samples.getNumSamples());
    if (startSample + window > available)
        throw Failure { "one second of audio (" + juce::String (window) + " samples) from " + juce::String (o.startSeconds, 3)
                        + " s is needed, but the " + (bass.samples.getNumSamples() <= kick.samples.getNumSamples() ? "bass" : "kick")
                        + " holds " + juce::String (available) + " samples" };
    const int start = static_cast<int> (startSample);

    source.rate = rate;
    source.startSeconds = start / rate;
    source.samples = window;

    const auto result = analyse (monoOf (bass.samples, start, window), monoOf (kick.samples, start, window), rate);
    // The editor's words for a capture taken before the sidechain with the Dowsen module off.
    const auto shown = AnalysisPresentation::present (result, false);

    std::cout << "analysed: " << window << " samples at " << rate << " Hz from " << juce::String (source.startSeconds, 3)
              << " s\n";
    if (result.hasResult)
        std::cout << describeProposal (result) << "\n"
                  << "scores: baseline " << result.baselinePercent << "%, best " << result.bestPercent << "%\n"
                  << "alignment: before " << phaseMeterText (result.before) << ", after " << phaseMeterText (result.after)
                  << "\n";
    std::cout << "editor:\n" << shown.text << "\n";

    if (o.jsonFile != juce::File())
    {
        writeText (o.jsonFile, resultJson (source, result, shown));
        std::cout << "json: " << o.jsonFile.getFullPathName() << "\n";
    }
    if (! result.hasResult)
        return kExitNoAudio;

    if (o.applyFile != juce::File())
    {
        juce::String error;
        if (! writeWav (o.applyFile, applyProposal (bass.samples, result, rate), rate, error))
            throw Failure { error };
        std::cout << "applied: " << o.applyFile.getFullPathName() << "\n";
    }
    return 0;
}
} // namespace

int main (int argc, char* argv[])
{
    return lumetta::tools::toolMain ("lumetta-analyze", argc, argv, kExitBadInput, run);
}
