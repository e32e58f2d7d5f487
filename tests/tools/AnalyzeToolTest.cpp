#include "analysis/AnalysisPresentation.h"
#include "common/DemoSignal.h"
#include "processor/AlignmentStage.h"
#include "common/WavFiles.h"

#include "helpers/ToolRun.h"

#include <gtest/gtest.h>

namespace
{
ToolRun runAnalyze (const juce::StringArray& args)
{
    return ToolRun::of (LUMETTA_ANALYZE_PATH, args);
}

juce::var readJson (const juce::File& f)
{
    juce::var v;
    const auto parsed = juce::JSON::parse (f.loadFileAsString(), v);
    EXPECT_TRUE (parsed.wasOk()) << parsed.getErrorMessage();
    return v;
}

// Two seconds of the demo kick at 48 kHz, mono.
juce::AudioBuffer<float> demoKick (int length = 96000)
{
    const auto demo = lumetta::tools::makeDemoSignal (48000.0);
    juce::AudioBuffer<float> kick (1, length);
    kick.copyFrom (0, 0, demo.kick, 0, 0, length);
    return kick;
}

class AnalyzeTool : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE (dir.createDirectory()); }
    void TearDown() override { dir.deleteRecursively(); }

    juce::String path (const char* name) const { return dir.getChildFile (name).getFullPathName(); }

    const juce::File dir = juce::File::createTempFile ("lumetta-analyze-test");
};
} // namespace

TEST_F (AnalyzeTool, DemoPrintsTheProposalAndTheEditorsTextAndWritesTheSameAsJson)
{
    const auto r = runAnalyze ({ "--demo", "--json", path ("demo.json") });
    ASSERT_EQ (r.exitCode, 0) << r.output;
    for (const auto* expected : { "analysed: 48000 samples at 48000 Hz from 0.000 s", "proposal: delay ", "scores: baseline ",
                                  "alignment: before ", "editor:\n" })
        EXPECT_TRUE (r.output.contains (expected)) << expected << "\n" << r.output;

    const auto json = readJson (dir.getChildFile ("demo.json"));
    EXPECT_EQ (json["bass"].toString(), "demo");
    EXPECT_EQ (static_cast<double> (json["sampleRate"]), 48000.0);
    EXPECT_EQ (static_cast<int> (json["samples"]), 48000);
    EXPECT_TRUE (static_cast<bool> (json["hasResult"]));
    EXPECT_FALSE (static_cast<bool> (json["postMode"]));
    for (const auto* field : { "delayMs", "flip", "allPassOn", "allPassFreqHz", "allPassQ", "baselinePercent", "bestPercent" })
        EXPECT_TRUE (json.hasProperty (field)) << field;
    for (const auto* reading : { "before", "after" })
        for (const auto* field : { "state", "percent", "text" })
            EXPECT_TRUE (json[reading].hasProperty (field)) << reading << "." << field;

    // The text is the editor's own for this result: rebuilt from the JSON fields, it matches.
    ManualAnalysisResult result;
    result.hasResult = true;
    result.delayMs = static_cast<float> (static_cast<double> (json["delayMs"]));
    result.flip = json["flip"];
    result.allPassOn = json["allPassOn"];
    result.allPassFreqHz = static_cast<float> (static_cast<double> (json["allPassFreqHz"]));
    result.baselinePercent = json["baselinePercent"];
    result.bestPercent = json["bestPercent"];
    const auto readingOf = [] (const juce::var& v)
    {
        PhaseMeterReading m;
        const auto state = v["state"].toString();
        m.state = state == "Valid" ? PhaseMeterState::Valid : state == "NoLowEnd" ? PhaseMeterState::NoLowEnd
                : state == "LowInteraction" ? PhaseMeterState::LowInteraction
                : state == "VariesPerBeat" ? PhaseMeterState::VariesPerBeat : PhaseMeterState::Measuring;
        m.percent = static_cast<float> (static_cast<double> (v["percent"]));
        return m;
    };
    result.before = readingOf (json["before"]);
    result.after = readingOf (json["after"]);
    const auto shown = AnalysisPresentation::present (result, false);
    EXPECT_EQ (json["text"].toString(), shown.text);
    EXPECT_TRUE (r.output.contains ("editor:\n" + shown.text + "\n")) << r.output;
}

TEST_F (AnalyzeTool, InvertedBassIsFlippedAndApplyingTheProposalRestoresIt)
{
    // A stereo bass that is the kick inverted; the analysed second starts half a second in.
    const auto kick = demoKick();
    juce::AudioBuffer<float> bass (2, kick.getNumSamples());
    for (int ch = 0; ch < 2; ++ch)
    {
        bass.copyFrom (ch, 0, kick, 0, 0, kick.getNumSamples());
        bass.applyGain (ch, 0, kick.getNumSamples(), -1.0f);
    }
    writeTestWav (dir.getChildFile ("bass.wav"), bass, 48000.0);
    writeTestWav (dir.getChildFile ("kick.wav"), kick, 48000.0);

    const auto r = runAnalyze ({ "--bass", path ("bass.wav"), "--kick", path ("kick.wav"), "--start", "0.5", "--apply",
                                 path ("applied.wav"), "--json", path ("r.json") });
    ASSERT_EQ (r.exitCode, 0) << r.output;
    EXPECT_TRUE (r.output.contains ("from 0.500 s")) << r.output;
    EXPECT_TRUE (r.output.contains ("proposal: delay +0.0ms, flip yes, all-pass off")) << r.output;
    EXPECT_TRUE (r.output.contains ("editor:\nDelay: +0.0ms  |  Flip: Yes\nAlignment: ")) << r.output;
    EXPECT_TRUE (r.output.contains ("\nCaptured audio; recheck the live meter after APPLY.\n")) << r.output;

    const auto json = readJson (dir.getChildFile ("r.json"));
    EXPECT_TRUE (static_cast<bool> (json["flip"]));
    EXPECT_EQ (static_cast<double> (json["delayMs"]), 0.0);
    EXPECT_EQ (static_cast<double> (json["startSeconds"]), 0.5);
    EXPECT_EQ (json["presentation"].toString(), "suggestion");
    EXPECT_EQ (json["button"].toString(), "APPLY");

    // The whole file, both channels, flipped back onto the kick.
    const auto applied = readTestWav (dir.getChildFile ("applied.wav"));
    EXPECT_EQ (applied.sampleRate, 48000.0);
    ASSERT_EQ (applied.samples.getNumChannels(), 2);
    ASSERT_EQ (applied.samples.getNumSamples(), kick.getNumSamples());
    for (int ch = 0; ch < 2; ++ch)
        for (int i = 0; i < kick.getNumSamples(); ++i)
            ASSERT_EQ (applied.samples.getSample (ch, i), kick.getSample (0, i)) << ch << " " << i;
}

TEST_F (AnalyzeTool, ALateBassIsMovedEarlierByTheProposedDelay)
{
    // The bass is the kick 3 ms (144 samples) late.
    constexpr int kLag = 144;
    const auto kick = demoKick();
    const int length = kick.getNumSamples();
    juce::AudioBuffer<float> bass (1, length);
    bass.clear();
    bass.copyFrom (0, kLag, kick, 0, 0, length - kLag);
    writeTestWav (dir.getChildFile ("bass.wav"), bass, 48000.0);
    writeTestWav (dir.getChildFile ("kick.wav"), kick, 48000.0);

    const auto r = runAnalyze ({ "--bass", path ("bass.wav"), "--kick", path ("kick.wav"), "--apply", path ("applied.wav"),
                                 "--json", path ("r.json") });
    ASSERT_EQ (r.exitCode, 0) << r.output;
    EXPECT_TRUE (r.output.contains ("flip no, all-pass off")) << r.output;
    // The search prefers the smallest of near-equal lags, so a smooth kick may come out a few
    // samples short of the full 3 ms; the direction is what matters here.
    const auto delayMs = static_cast<float> (static_cast<double> (readJson (dir.getChildFile ("r.json"))["delayMs"]));
    EXPECT_NEAR (delayMs, -3.0f, 0.15f);

    // The whole bass moves earlier by exactly the samples the plug-in plays for that delay.
    const int shift = -AlignmentStage::delayInSamples (delayMs, 48000.0);
    ASSERT_GT (shift, 0);
    const auto applied = readTestWav (dir.getChildFile ("applied.wav"));
    ASSERT_EQ (applied.samples.getNumChannels(), 1);
    ASSERT_EQ (applied.samples.getNumSamples(), length);
    for (int i = 0; i < length; ++i)
        ASSERT_EQ (applied.samples.getSample (0, i), i + shift < length ? bass.getSample (0, i + shift) : 0.0f) << i;
}

TEST_F (AnalyzeTool, SilenceSaysNoAudioAndFailsWithoutApplying)
{
    juce::AudioBuffer<float> silence (1, 48000);
    silence.clear();
    writeTestWav (dir.getChildFile ("silence.wav"), silence, 48000.0);
    writeTestWav (dir.getChildFile ("kick.wav"), demoKick (48000), 48000.0);

    const auto r = runAnalyze ({ "--bass", path ("silence.wav"), "--kick", path ("kick.wav"), "--json", path ("r.json"),
                                 "--apply", path ("applied.wav") });
    EXPECT_EQ (r.exitCode, 3) << r.output;
    EXPECT_TRUE (r.output.contains ("No audio detected.\nPlay audio for a few seconds and try again.")) << r.output;
    EXPECT_FALSE (r.output.contains ("proposal:")) << r.output;
    EXPECT_FALSE (dir.getChildFile ("applied.wav").exists());
    const auto json = readJson (dir.getChildFile ("r.json"));
    EXPECT_FALSE (static_cast<bool> (json["hasResult"]));
    EXPECT_EQ (json["presentation"].toString(), "noAudio");
}

TEST_F (AnalyzeTool, BadInputIsRefusedWithAMessage)
{
    juce::AudioBuffer<float> second (1, 48000), shorter (1, 47999);
    second.clear();
    shorter.clear();
    writeTestWav (dir.getChildFile ("a48.wav"), second, 48000.0);
    writeTestWav (dir.getChildFile ("b48.wav"), second, 48000.0);
    writeTestWav (dir.getChildFile ("a44.wav"), second, 44100.0);
    writeTestWav (dir.getChildFile ("short.wav"), shorter, 48000.0);
    dir.getChildFile ("text.wav").replaceWithText ("not audio");

    const auto a48 = path ("a48.wav"), b48 = path ("b48.wav");
    const struct
    {
        juce::StringArray args;
        const char* message;
    } cases[] = {
        { { "--frobnicate" }, "unknown option \"--frobnicate\"" },
        { {}, "give both --bass FILE and --kick FILE, or --demo" },
        { { "--bass", a48 }, "give both --bass FILE and --kick FILE, or --demo" },
        { { "--demo", "--kick", b48 }, "--demo analyses the built-in demo and takes no --bass or --kick" },
        { { "--bass", a48, "--kick" }, "--kick needs a file name" },
        { { "--bass", path ("missing.wav"), "--kick", b48 }, "no such file" },
        { { "--bass", path ("text.wav"), "--kick", b48 }, "is not a WAV file Lumetta can read" },
        { { "--bass", a48, "--kick", path ("a44.wav") }, "the kick is at 44100 Hz and the bass at 48000 Hz; they must match" },
        { { "--bass", path ("short.wav"), "--kick", b48 }, "one second of audio (48000 samples) from 0.000 s is needed, but the bass holds 47999 samples" },
        { { "--bass", a48, "--kick", b48, "--start", "0.001" }, "(48000 samples) from 0.001 s is needed" },
        { { "--demo", "--start", "7.5" }, "(48000 samples) from 7.500 s is needed, but the bass holds 384000 samples" },
        { { "--demo", "--start", "-1" }, "--start needs a number of seconds from 0 to 1000000, not \"-1\"" },
        { { "--demo", "--start", "soon" }, "--start needs a number of seconds from 0 to 1000000, not \"soon\"" },
        { { "--demo", "--start", "nan" }, "--start needs a number of seconds from 0 to 1000000, not \"nan\"" },
    };
    for (const auto& c : cases)
    {
        const auto r = runAnalyze (c.args);
        EXPECT_EQ (r.exitCode, 2) << c.args.joinIntoString (" ") << "\n" << r.output;
        // A debug build prints JUCE's banner first; the message follows the tool's name.
        EXPECT_TRUE (r.output.fromFirstOccurrenceOf ("lumetta-analyze: ", false, false).contains (c.message))
            << c.args.joinIntoString (" ") << "\n" << r.output;
    }

    const auto help = runAnalyze ({ "--help" });
    EXPECT_EQ (help.exitCode, 0);
    EXPECT_TRUE (help.output.contains ("Usage: lumetta-analyze")) << help.output;
}
