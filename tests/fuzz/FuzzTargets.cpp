#include "fuzz/FuzzTargets.h"

#include "curve/CurveModel.h"
#include "processor/ParameterIds.h"
#include "processor/PluginProcessor.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace lumetta::fuzz
{
namespace
{
[[noreturn]] void fail (const char* what)
{
    std::fprintf (stderr, "fuzz invariant broken: %s\n", what);
    std::abort();
}

void require (bool ok, const char* what)
{
    if (! ok)
        fail (what);
}

juce::MemoryBlock save (LumettaAudioProcessor& p)
{
    juce::MemoryBlock block;
    p.getStateInformation (block);
    return block;
}
} // namespace

void savedState (const std::uint8_t* data, std::size_t size)
{
    LumettaAudioProcessor p;
    p.setStateInformation (data, static_cast<int> (std::min<std::size_t> (size, 1u << 24)));

    for (const char* id : lumetta::param::kAll)
    {
        const float v = p.parameters.getParameter (id)->getValue();
        require (std::isfinite (v) && v >= 0.0f && v <= 1.0f, id);
    }
    require (std::isfinite (p.getCurrentDelayMs()) && std::abs (p.getCurrentDelayMs()) <= 10.0f, "current delay");
    require (std::isfinite (p.allPassFreqHz.load()), "all-pass frequency");
    require (std::isfinite (p.allPassQ.load()), "all-pass Q");
    require (p.activeTile.load() >= -1 && p.activeTile.load() <= 7, "active tile");
    for (const float v : p.getShapeTables().acquire())
        require (std::isfinite (v), "shape table");

    // Whatever was restored is saved and restored again without change.
    const auto first = save (p);
    LumettaAudioProcessor q;
    q.setStateInformation (first.getData(), static_cast<int> (first.getSize()));
    require (save (q) == first, "state round trip");
}

void curveText (const std::uint8_t* data, std::size_t size)
{
    const std::string text (reinterpret_cast<const char*> (data), size);
    dowsen::CurveModel curve;
    if (! curve.fromString (text))
    {
        require (curve == dowsen::CurveModel(), "a failed parse changed the curve");
        return;
    }
    require (curve.points.size() >= 2, "fewer than two points accepted");
    dowsen::CurveModel again;
    require (again.fromString (curve.toString()), "accepted curve does not survive its text form");
    require (again.points.size() == curve.points.size(), "point count changed");
    for (std::size_t i = 0; i < curve.points.size(); ++i)
    {
        require (std::abs (again.points[i].phase - curve.points[i].phase) <= 1.0e-6f, "phase changed");
        require (std::abs (again.points[i].gain - curve.points[i].gain) <= 1.0e-6f, "gain changed");
        require (std::abs (again.points[i].bend - curve.points[i].bend) <= 1.0e-6f, "bend changed");
    }
    for (int i = 0; i <= 64; ++i)
        require (std::isfinite (curve.evaluate (static_cast<float> (i) / 64.0f)), "evaluate");
}
} // namespace lumetta::fuzz
