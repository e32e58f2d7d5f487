#include "common/WavFiles.h"

#include "helpers/ToolRun.h"

#include <gtest/gtest.h>

namespace
{
ToolRun runRender (const juce::StringArray& args)
{
    return ToolRun::of (LUMETTA_RENDER_PATH, args);
}

void writeConstantWav (const juce::File& f, int channels, int length, double rate, float value = 0.25f)
{
    juce::AudioBuffer<float> b (channels, length);
    for (int ch = 0; ch < channels; ++ch)
        juce::FloatVectorOperations::fill (b.getWritePointer (ch), value, length);
    writeTestWav (f, b, rate);
}

class RenderTool : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE (dir.createDirectory());
        writeConstantWav (bass48, 2, 4800, 48000.0);
        writeConstantWav (kick48, 1, 4800, 48000.0);
        writeConstantWav (kick44, 1, 4800, 44100.0);
        writeConstantWav (kickShort, 1, 4000, 48000.0);
        notWav.replaceWithText ("RIFF? no, just text");
    }
    void TearDown() override { dir.deleteRecursively(); }

    const juce::File dir = juce::File::createTempFile ("lumetta-render-test");
    juce::File bass48 = dir.getChildFile ("bass48.wav"), kick48 = dir.getChildFile ("kick48.wav");
    juce::File kick44 = dir.getChildFile ("kick44.wav"), kickShort = dir.getChildFile ("kickShort.wav");
    juce::File notWav = dir.getChildFile ("notes.wav"), out = dir.getChildFile ("out.wav");
};
} // namespace

TEST_F (RenderTool, BuiltInDemoRendersWithItsInputsBesideTheOutput)
{
    const auto r = runRender ({ "--out", out.getFullPathName() });
    ASSERT_EQ (r.exitCode, 0) << r.output;
    EXPECT_TRUE (r.output.contains ("latency: 960 samples")) << r.output;
    EXPECT_TRUE (r.output.contains ("peak")) << r.output;
    EXPECT_TRUE (r.output.contains ("RMS")) << r.output;

    const auto result = readTestWav (out);
    const auto& rendered = result.samples;
    const auto bassIn = readTestWav (dir.getChildFile ("out-bass.wav")).samples;
    const auto kickIn = readTestWav (dir.getChildFile ("out-kick.wav")).samples;
    EXPECT_EQ (result.sampleRate, 48000.0);
    ASSERT_EQ (rendered.getNumChannels(), 2);
    ASSERT_EQ (bassIn.getNumSamples(), rendered.getNumSamples());
    EXPECT_EQ (kickIn.getNumChannels(), 1);
    // The default settings play the bass 20 ms late, otherwise unchanged.
    for (int i = 960; i < rendered.getNumSamples(); i += 97)
        ASSERT_EQ (rendered.getSample (0, i), bassIn.getSample (0, i - 960)) << i;
}

TEST_F (RenderTool, SettingsAndTransportOptionsReachTheProcessor)
{
    const auto r = runRender ({ "--bass", bass48.getFullPathName(), "--kick", kick48.getFullPathName(),
                                "--out", out.getFullPathName(), "--set", "delayMs=-10", "--flip", "--block", "100",
                                "--tempo", "97", "--start-beat", "3", "--loop", "2:6", "--offline",
                                "--set", "phaseFollowLookahead=off", "--set", "scRate=Bar" });
    ASSERT_EQ (r.exitCode, 0) << r.output;
    const auto withoutTransport = runRender ({ "--bass", bass48.getFullPathName(), "--out", dir.getChildFile ("free.wav").getFullPathName(),
                                               "--no-transport" });
    EXPECT_EQ (withoutTransport.exitCode, 0) << withoutTransport.output;
    const auto rendered = readTestWav (out).samples;
    ASSERT_EQ (rendered.getNumSamples(), 4800);
    EXPECT_EQ (rendered.getSample (0, 479), 0.0f);
    EXPECT_FLOAT_EQ (rendered.getSample (0, 480), -0.25f);
}

TEST_F (RenderTool, ASavedStateRendersTheSameAsTheSettingsItWasSavedWith)
{
    const auto state = dir.getChildFile ("session.lumetta"), again = dir.getChildFile ("again.wav");
    const juce::StringArray inputs { "--bass", bass48.getFullPathName(), "--kick", kick48.getFullPathName() };
    auto first = inputs;
    first.addArray ({ "--out", out.getFullPathName(), "--set", "delayMs=-6.2", "--flip", "--allpass", "140:1.3",
                      "--state-out", state.getFullPathName() });
    auto second = inputs;
    second.addArray ({ "--out", again.getFullPathName(), "--state-in", state.getFullPathName() });

    const auto a = runRender (first);
    ASSERT_EQ (a.exitCode, 0) << a.output;
    ASSERT_TRUE (state.existsAsFile());
    const auto b = runRender (second);
    ASSERT_EQ (b.exitCode, 0) << b.output;

    const auto x = readTestWav (out).samples, y = readTestWav (again).samples;
    ASSERT_EQ (x.getNumSamples(), y.getNumSamples());
    for (int ch = 0; ch < 2; ++ch)
        for (int i = 0; i < x.getNumSamples(); ++i)
            ASSERT_EQ (x.getSample (ch, i), y.getSample (ch, i)) << ch << ":" << i;
    EXPECT_GT (x.getMagnitude (0, 0, x.getNumSamples()), 0.1f);
}

TEST_F (RenderTool, DuckShapesByNameOrCurveTextShapeTheDuck)
{
    const auto render = [&] (const juce::String& shape, const juce::File& file)
    {
        const auto r = runRender ({ "--bass", bass48.getFullPathName(), "--kick", kick48.getFullPathName(), "--out",
                                    file.getFullPathName(), "--set", "dowsenOn=on", "--shape", shape });
        EXPECT_EQ (r.exitCode, 0) << r.output;
        return readTestWav (file).samples;
    };
    const auto linear = render ("linear", dir.getChildFile ("a.wav"));
    const auto asText = render ("0,0,0;1,1,0", dir.getChildFile ("b.wav"));
    const auto gate = render ("GATE", dir.getChildFile ("c.wav"));
    ASSERT_EQ (linear.getNumSamples(), 4800);
    for (int i = 0; i < 4800; ++i)
        ASSERT_EQ (linear.getSample (0, i), asText.getSample (0, i)) << i;
    float difference = 0.0f;
    for (int i = 0; i < 4800; ++i)
        difference = std::max (difference, std::abs (linear.getSample (0, i) - gate.getSample (0, i)));
    EXPECT_GT (difference, 0.02f); // GATE holds the bass down where LINEAR already lets it rise
}

TEST_F (RenderTool, BadInputIsRefusedWithAMessageAndNoOutputFile)
{
    const auto b = bass48.getFullPathName(), o = out.getFullPathName();
    struct Case
    {
        juce::StringArray args;
        const char* message;
    };
    const std::vector<Case> cases {
        { { "--bass", dir.getChildFile ("missing.wav").getFullPathName(), "--out", o }, "no such file" },
        { { "--bass", notWav.getFullPathName(), "--out", o }, "not a WAV file" },
        { { "--bass", b, "--kick", kick44.getFullPathName(), "--out", o }, "must match" },
        { { "--bass", b, "--kick", kickShort.getFullPathName(), "--out", o }, "must match" },
        { { "--bass", b, "--rate", "44100", "--out", o }, "does not match" },
        { { "--bass", b, "--out", o, "--set", "noSuchParam=1" }, "unknown parameter ID \"noSuchParam\"" },
        { { "--bass", b, "--out", o, "--set", "delayMs=25" }, "out of range" },
        { { "--bass", b, "--out", o, "--set", "delayMs=abc" }, "needs a number" },
        { { "--bass", b, "--out", o, "--set", "delayMs=nan" }, "needs a number" },
        { { "--bass", b, "--out", o, "--set", "scRate=7" }, "out of range" },
        { { "--out", o, "--block", "0" }, "--block" },
        { { "--out", o, "--block", "12.5" }, "--block" },
        { { "--out", o, "--tempo", "fast" }, "--tempo needs a number" },
        { { "--out", o, "--loop", "8:4" }, "--loop" },
        { { "--out", o, "--allpass", "900" }, "--allpass" },
        { { "--out", o, "--frobnicate" }, "unknown option" },
        { { "--kick", kick48.getFullPathName(), "--out", o }, "--kick needs --bass" },
        { { "--bass", b, "--out", o, "--state-in", dir.getChildFile ("none.state").getFullPathName() }, "cannot read the state file" },
        { { "--bass", b, "--out", o, "--shape", "WOBBLY" }, "neither a factory shape nor a valid curve text" },
        { { "--bass", b, "--out", o, "--shape", "0,0,0;0.5,1" }, "neither a factory shape nor a valid curve text" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.args.joinIntoString (" ").toStdString());
        out.deleteFile();
        const auto r = runRender (c.args);
        EXPECT_NE (r.exitCode, 0);
        EXPECT_TRUE (r.output.contains (c.message)) << r.output;
        EXPECT_FALSE (out.exists());
        EXPECT_EQ (dir.getNumberOfChildFiles (juce::File::findFiles), 5) << "a stray file was left behind";
    }
}

TEST_F (RenderTool, AnOfflineFollowRenderPrintsItsTimelineAndIsTheSameEveryTime)
{
    const auto second = dir.getChildFile ("second.wav");
    const juce::StringArray follow { "--set", "phaseFollow=on", "--set", "phaseFollowLookahead=off", "--offline", "--follow-timeline" };
    auto args = follow;
    args.addArray ({ "--out", out.getFullPathName() });
    const auto r = runRender (args);
    ASSERT_EQ (r.exitCode, 0) << r.output;
    EXPECT_TRUE (r.output.contains ("0.011 s  status Acquiring")) << r.output;
    EXPECT_TRUE (r.output.contains ("plays polarity normal, all-pass off")) << r.output;

    args = follow;
    args.addArray ({ "--out", second.getFullPathName() });
    const auto again = runRender (args);
    ASSERT_EQ (again.exitCode, 0) << again.output;
    EXPECT_EQ (r.output.fromFirstOccurrenceOf ("0.011 s", true, false).upToFirstOccurrenceOf ("latency:", false, false),
               again.output.fromFirstOccurrenceOf ("0.011 s", true, false).upToFirstOccurrenceOf ("latency:", false, false));
    juce::MemoryBlock a, b;
    ASSERT_TRUE (out.loadFileAsData (a));
    ASSERT_TRUE (second.loadFileAsData (b));
    EXPECT_TRUE (a == b);
}
