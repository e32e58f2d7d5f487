#include "lumetta-render/RenderOptions.h"

#include <cmath>

namespace lumetta::tools
{
namespace
{
std::optional<double> parseNumber (const juce::String& text)
{
    const auto trimmed = text.trim();
    if (trimmed.isEmpty())
        return std::nullopt;
    const auto* start = trimmed.toRawUTF8();
    char* end = nullptr;
    const double v = std::strtod (start, &end);
    if (end == start || *end != '\0' || ! std::isfinite (v))
        return std::nullopt;
    return v;
}

juce::File fileArg (const juce::String& path)
{
    return juce::File::getCurrentWorkingDirectory().getChildFile (path);
}
} // namespace

juce::String renderUsage()
{
    return R"(Usage: lumetta-render [options]

Renders a bass WAV through Lumetta block by block, with a kick WAV on the sidechain when one is
given, and writes the output WAV (32-bit float). Without --bass it renders a built-in demo: a bass
line and a kick pattern at 120 BPM, written next to the output as <out>-bass.wav and <out>-kick.wav.

  --bass FILE          bass (main input) WAV, mono or stereo
  --kick FILE          kick (sidechain) WAV, mono or stereo; same rate and length as the bass
  --out FILE           output WAV (default: lumetta-demo.wav)
  --rate HZ            sample rate of the demo; with input files it must match them
  --block N            block size, 1..32768 (default 512)
  --tempo BPM          host tempo (default 120)
  --start-beat B       transport position of the first sample in beats (default 0)
  --stopped            transport stopped (default: playing)
  --no-transport       no host transport at all (no tempo, no position)
  --loop A:B           host loop from beat A to beat B
  --state-in FILE      restore a saved processor state before the other settings
  --state-out FILE     save the processor state after the render
  --set ID=VALUE       a parameter in its own units, by ID (repeatable), e.g. --set delayMs=-3
  --shape NAME|CURVE   the duck curve: a factory shape (CLASSIC, SOFT, PUNCH, LONG, DOUBLE, GATE,
                       LINEAR, TIGHT) or a curve text "phase,gain,bend;..."
  --flip               polarity flip
  --allpass FREQ[:Q]   all-pass rotation on, at FREQ Hz (20..500) with Q (0.1..10, default 0.707)
  --offline            render as a host's offline (non-realtime) bounce
  --follow-timeline    print when FOLLOW's status changes and which corrections it applies
                       (with --set phaseFollow=on; together with --offline the timeline is the
                       same on every run)
  --help               this text
)";
}

std::optional<juce::String> parseRenderOptions (const juce::StringArray& args, RenderOptions& o)
{
    o.outFile = fileArg ("lumetta-demo.wav");

    for (int i = 0; i < args.size(); ++i)
    {
        const auto& a = args[i];
        const auto next = [&] () -> std::optional<juce::String>
        {
            if (i + 1 >= args.size())
                return std::nullopt;
            return args[++i];
        };
        const auto needValue = [&] (juce::String& v) -> bool
        {
            auto n = next();
            if (! n)
                return false;
            v = *n;
            return true;
        };

        juce::String v;
        if (a == "--help" || a == "-h")
            o.showHelp = true;
        else if (a == "--stopped")
            o.transport.playing = false;
        else if (a == "--no-transport")
            o.withTransport = false;
        else if (a == "--flip")
            o.polarityFlip = true;
        else if (a == "--offline")
            o.offline = true;
        else if (a == "--follow-timeline")
            o.followTimeline = true;
        else if (a == "--bass" || a == "--kick" || a == "--out" || a == "--state-in" || a == "--state-out")
        {
            if (! needValue (v) || v.isEmpty())
                return a + " needs a file name";
            auto& file = a == "--bass" ? o.bassFile : a == "--kick" ? o.kickFile : a == "--out" ? o.outFile
                       : a == "--state-in" ? o.stateIn : o.stateOut;
            file = fileArg (v);
        }
        else if (a == "--rate" || a == "--block" || a == "--tempo" || a == "--start-beat")
        {
            if (! needValue (v))
                return a + " needs a number";
            const auto n = parseNumber (v);
            if (! n)
                return a + " needs a number, not \"" + v + "\"";
            if (a == "--rate")
            {
                if (*n < 8000.0 || *n > 384000.0)
                    return "--rate must be between 8000 and 384000 Hz";
                o.sampleRate = *n;
            }
            else if (a == "--block")
            {
                if (*n < 1.0 || *n > 32768.0 || ! juce::exactlyEqual (*n, std::floor (*n)))
                    return "--block must be a whole number from 1 to 32768";
                o.blockSize = static_cast<int> (*n);
            }
            else if (a == "--tempo")
            {
                if (*n < 1.0 || *n > 999.0)
                    return "--tempo must be between 1 and 999 BPM";
                o.transport.bpm = *n;
            }
            else
                o.transport.startBeat = *n;
        }
        else if (a == "--shape")
        {
            if (! needValue (v) || v.isEmpty())
                return "--shape needs a factory shape name or a curve text";
            o.shape = v;
        }
        else if (a == "--loop")
        {
            if (! needValue (v))
                return "--loop needs A:B in beats";
            const auto start = parseNumber (v.upToFirstOccurrenceOf (":", false, false));
            const auto end = parseNumber (v.fromFirstOccurrenceOf (":", false, false));
            if (! v.contains (":") || ! start || ! end || *start >= *end)
                return "--loop needs A:B in beats with A < B, not \"" + v + "\"";
            o.transport.looping = true;
            o.transport.loopStartBeat = *start;
            o.transport.loopEndBeat = *end;
        }
        else if (a == "--set")
        {
            if (! needValue (v) || ! v.contains ("="))
                return "--set needs ID=VALUE";
            o.parameters.push_back ({ v.upToFirstOccurrenceOf ("=", false, false).trim(),
                                      v.fromFirstOccurrenceOf ("=", false, false).trim() });
        }
        else if (a == "--allpass")
        {
            if (! needValue (v))
                return "--allpass needs FREQ or FREQ:Q";
            const auto freq = parseNumber (v.upToFirstOccurrenceOf (":", false, false));
            const auto q = v.contains (":") ? parseNumber (v.fromFirstOccurrenceOf (":", false, false))
                                            : std::optional<double> (0.707);
            if (! freq || *freq < 20.0 || *freq > 500.0)
                return "--allpass frequency must be a number from 20 to 500 Hz, not \"" + v + "\"";
            if (! q || *q < 0.1 || *q > 10.0)
                return "--allpass Q must be a number from 0.1 to 10, not \"" + v + "\"";
            o.allPassOn = true;
            o.allPassFreqHz = static_cast<float> (*freq);
            o.allPassQ = static_cast<float> (*q);
        }
        else
            return "unknown option \"" + a + "\" (see --help)";
    }

    if (o.kickFile != juce::File() && o.isDemo())
        return "--kick needs --bass as well";
    return std::nullopt;
}
} // namespace lumetta::tools
