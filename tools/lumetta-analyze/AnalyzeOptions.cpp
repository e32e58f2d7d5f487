#include "lumetta-analyze/AnalyzeOptions.h"

#include <cmath>
#include <cstdlib>

namespace lumetta::tools
{
namespace
{
constexpr double kMaxStartSeconds = 1.0e6; // some eleven days: past any real file, short enough to print
} // namespace

juce::String analyzeUsage()
{
    return R"(Usage: lumetta-analyze --bass FILE --kick FILE [options]
       lumetta-analyze --demo [options]

Runs ANALYZE on one second of a bass and a kick WAV, as the plug-in does when the bass is
captured before the sidechain (PRE), and prints the proposed delay, polarity and all-pass
rotation, the scores, the low-end alignment before and after, and the text the editor shows.

  --bass FILE          bass (main input) WAV, mono or stereo
  --kick FILE          kick (sidechain) WAV, mono or stereo, at the bass's sample rate
  --demo               analyse the built-in demo (a bass line and a kick at 120 BPM, 48 kHz)
  --start SECONDS      where the analysed second starts (default 0)
  --json FILE          also write the result as JSON
  --apply FILE         write the bass with the proposal applied (32-bit float WAV)
  --help               this text

Exit codes: 0 a result, 2 bad input or options, 3 no audio detected.
)";
}

std::optional<juce::String> parseAnalyzeOptions (const juce::StringArray& args, AnalyzeOptions& o)
{
    const auto fileArg = [] (const juce::String& path) { return juce::File::getCurrentWorkingDirectory().getChildFile (path); };

    for (int i = 0; i < args.size(); ++i)
    {
        const auto& a = args[i];
        const bool hasValue = i + 1 < args.size();

        if (a == "--help" || a == "-h")
            o.showHelp = true;
        else if (a == "--demo")
            o.demo = true;
        else if (a == "--bass" || a == "--kick" || a == "--json" || a == "--apply")
        {
            if (! hasValue || args[i + 1].isEmpty())
                return a + " needs a file name";
            auto& file = a == "--bass" ? o.bassFile : a == "--kick" ? o.kickFile : a == "--json" ? o.jsonFile : o.applyFile;
            file = fileArg (args[++i]);
        }
        else if (a == "--start")
        {
            if (! hasValue)
                return "--start needs a number of seconds";
            const auto text = args[++i].trim();
            const auto* start = text.toRawUTF8();
            char* end = nullptr;
            const double v = std::strtod (start, &end);
            if (text.isEmpty() || end == start || *end != '\0' || ! (v >= 0.0 && v <= kMaxStartSeconds))
                return "--start needs a number of seconds from 0 to 1000000, not \"" + text + "\"";
            o.startSeconds = v;
        }
        else
            return "unknown option \"" + a + "\" (see --help)";
    }

    if (o.showHelp)
        return std::nullopt;
    const bool haveBass = o.bassFile != juce::File(), haveKick = o.kickFile != juce::File();
    if (o.demo && (haveBass || haveKick))
        return "--demo analyses the built-in demo and takes no --bass or --kick";
    if (! o.demo && (! haveBass || ! haveKick))
        return "give both --bass FILE and --kick FILE, or --demo (see --help)";
    return std::nullopt;
}
} // namespace lumetta::tools
