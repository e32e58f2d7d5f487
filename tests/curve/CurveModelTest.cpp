#include "curve/CurveModel.h"

#include <juce_core/juce_core.h>

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>

using dowsen::CurveModel;
using dowsen::CurvePoint;

TEST (CurveModel, DefaultCurveTextIsExact)
{
    const CurveModel curve;
    EXPECT_EQ (curve.toString(), "0.000000,0.000000,0.400000;1.000000,1.000000,0.000000");
    CurveModel parsed = CurveModel::makeFactoryPreset (5);
    ASSERT_TRUE (parsed.fromString (curve.toString()));
    EXPECT_EQ (parsed, curve);
}

TEST (CurveModel, FromStringRejectsMalformedTextAndKeepsTheCurve)
{
    const char* const rejected[] {
        "", "0,0,0", "0,0,0;", "0,0,0;;1,1,0", ";0,0,0;1,1,0", "0,0,0;1,1,0x", "0,0,0;1,1", "0,0,0;1.01,1,0",
        "0,0,1.01;1,1,0", "0.5,0,0;0.5,1,0", "0.6,0,0;0.4,1,0", "0,0,0 ;1,1,0", "0,0,0;1,1,0 ", "0,nan,0;1,1,0",
        "0,0,inf;1,1,0", "0,0,0;1,-0.01,0", "a,b,c;1,1,0", "0,0,0;1,1,0\n",
        "0,0,.5;.000000000000000000000003,1,0", // phases that six decimals cannot tell apart
    };
    for (const char* text : rejected)
    {
        auto curve = CurveModel::makeFactoryPreset (4);
        EXPECT_FALSE (curve.fromString (text)) << '"' << text << '"';
        EXPECT_EQ (curve, CurveModel::makeFactoryPreset (4)) << '"' << text << '"';
    }
}

TEST (CurveModel, FromStringAcceptsTheToleranceAndBlanksAfterCommasAndClamps)
{
    CurveModel curve;
    ASSERT_TRUE (curve.fromString ("-0.00005,0.5, -1.00005;1.00005, 0.5,0"));
    ASSERT_EQ (curve.points.size(), 2u);
    EXPECT_EQ (curve.points[0].phase, 0.0f);
    EXPECT_EQ (curve.points[0].bend, -1.0f);
    EXPECT_EQ (curve.points[1].phase, 1.0f);
    EXPECT_EQ (curve.points[1].gain, 0.5f);
}

TEST (CurveModel, EvaluateFollowsTheBentSegmentsAndHoldsBeyondTheEnds)
{
    const auto classic = CurveModel::makeFactoryPreset (0);
    EXPECT_EQ (classic.evaluate (0.0f), 0.0f);
    EXPECT_EQ (classic.evaluate (1.0f), 1.0f);
    EXPECT_NEAR (classic.evaluate (0.5f), (std::exp (2.7 * 0.5) - 1.0) / (std::exp (2.7) - 1.0), 1.0e-6);
    EXPECT_NEAR (classic.evaluate (0.5f), 0.2059f, 1.0e-4f);
    EXPECT_EQ (classic.evaluate (-2.0f), 0.0f);
    EXPECT_EQ (classic.evaluate (7.0f), 1.0f);

    CurveModel inner;
    ASSERT_TRUE (inner.fromString ("0.4,0.3,0;0.8,0.6,0"));
    EXPECT_EQ (inner.evaluate (0.3f), 0.3f);
    EXPECT_EQ (inner.evaluate (0.9f), 0.6f);
    EXPECT_FLOAT_EQ (inner.evaluate (0.6f), 0.45f);

    CurveModel empty;
    empty.points.clear();
    EXPECT_EQ (empty.evaluate (0.5f), 0.0f);
}

TEST (CurveModel, AddPointKeepsOrderAndTheCurvePeriodic)
{
    auto classic = CurveModel::makeFactoryPreset (0);
    EXPECT_EQ (classic.addPoint (0.5f, 0.2f), 1);
    EXPECT_EQ (classic.points.front().gain, 0.0f);
    EXPECT_EQ (classic.points.back().gain, 1.0f);

    CurveModel curve;
    ASSERT_TRUE (curve.fromString ("0.1,0.2,0;0.9,0.2,0"));
    EXPECT_EQ (curve.addPoint (-3.0f, 0.7f), 0);
    EXPECT_EQ (curve.points[0].phase, 0.0f);
    EXPECT_EQ (curve.points.back().gain, 0.7f);

    EXPECT_EQ (curve.addPoint (1.5f, 0.4f), 3);
    EXPECT_EQ (curve.points.back().phase, 1.0f);
    EXPECT_EQ (curve.points.front().gain, 0.4f);
}

TEST (CurveModel, EveryCurveAddPointMakesSurvivesItsTextForm)
{
    // Points on top of existing ones, at both ends and squeezed between close neighbours.
    const float phases[] { 0.5f, 0.5f, 0.0f, 0.0f, 1.0f, 1.0f, 0.50005f, 0.49999f, 0.25f, 0.25f };
    auto curve = CurveModel::makeFactoryPreset (0);
    for (const float phase : phases)
    {
        curve.addPoint (phase, 0.3f);
        CurveModel reloaded;
        ASSERT_TRUE (reloaded.fromString (curve.toString())) << curve.toString();
        ASSERT_EQ (reloaded.points.size(), curve.points.size());
        for (size_t i = 0; i < curve.points.size(); ++i)
        {
            EXPECT_NEAR (reloaded.points[i].phase, curve.points[i].phase, 1.0e-6f);
            EXPECT_NEAR (reloaded.points[i].gain, curve.points[i].gain, 1.0e-6f);
        }
    }
}

TEST (CurveModel, BendSegmentSolvesForTheTargetAndIgnoresFlatOrMissingSegments)
{
    auto linear = CurveModel::makeFactoryPreset (6);
    linear.bendSegment (0, 0.5f, 0.2f);
    EXPECT_GT (linear.points[0].bend, 0.0f);
    EXPECT_NEAR (linear.evaluate (0.5f), 0.2f, 1.0e-5f);

    auto gate = CurveModel::makeFactoryPreset (5);
    const auto before = gate;
    gate.bendSegment (0, 0.5f, 0.5f);
    gate.bendSegment (-1, 0.5f, 0.5f);
    gate.bendSegment (3, 0.5f, 0.5f);
    EXPECT_EQ (gate, before);

    auto unreachable = CurveModel::makeFactoryPreset (6);
    unreachable.bendSegment (0, 0.5f, 0.9999f);
    EXPECT_NEAR (unreachable.points[0].bend, -1.0f, 1.0e-5f);
}

TEST (CurveModel, FactoryShapesInOrderWithIndicesClamped)
{
    const char* const names[] { "CLASSIC", "SOFT", "PUNCH", "LONG", "DOUBLE", "GATE", "LINEAR", "TIGHT" };
    ASSERT_EQ (CurveModel::numFactoryPresets(), 8);
    for (int i = 0; i < 8; ++i)
        EXPECT_STREQ (CurveModel::factoryPresetName (i), names[i]);
    EXPECT_EQ (CurveModel::makeFactoryPreset (-5), CurveModel::makeFactoryPreset (0));
    EXPECT_EQ (CurveModel::makeFactoryPreset (99), CurveModel::makeFactoryPreset (7));
    EXPECT_EQ (CurveModel::makeFactoryPreset (3).toString(),
               "0.000000,0.000000,0.150000;0.750000,0.550000,0.350000;1.000000,1.000000,0.000000");
    const auto soft = CurveModel::makeFactoryPreset (1);
    EXPECT_EQ (soft.points.front().gain, 0.42f);
    EXPECT_EQ (soft.points.back().gain, 1.0f);
}

namespace
{
// A German numeric locale: the system's, or one compiled into a private folder from the C
// library's locale sources.
const char* setDecimalCommaLocale()
{
    if (const char* set = std::setlocale (LC_NUMERIC, "de_DE.UTF-8"))
        return set;
    const auto dir = juce::File::getSpecialLocation (juce::File::tempDirectory).getChildFile ("lumetta-locales");
    if (! dir.getChildFile ("de_DE.UTF-8").isDirectory())
    {
        dir.createDirectory();
        juce::ChildProcess localedef;
        if (! localedef.start (juce::StringArray { "localedef", "-i", "de_DE", "-f", "UTF-8", dir.getChildFile ("de_DE.UTF-8").getFullPathName() }))
            return nullptr;
        localedef.waitForProcessToFinish (60000);
    }
    setenv ("LOCPATH", dir.getFullPathName().toRawUTF8(), 1);
    return std::setlocale (LC_NUMERIC, "de_DE.UTF-8");
}
} // namespace

TEST (CurveModel, TextFormIgnoresTheHostsNumericLocale)
{
    if (setDecimalCommaLocale() == nullptr)
        GTEST_SKIP() << "no locale with a decimal comma could be set up";
    char probe[16];
    std::snprintf (probe, sizeof (probe), "%.1f", 0.5);

    CurveModel curve;
    const auto text = curve.toString();
    CurveModel parsed = CurveModel::makeFactoryPreset (3);
    const bool ok = parsed.fromString ("0,0,0.4;1,1,0");
    std::setlocale (LC_NUMERIC, "C");

    EXPECT_STREQ (probe, "0,5"); // the locale really writes a decimal comma
    EXPECT_EQ (text, "0.000000,0.000000,0.400000;1.000000,1.000000,0.000000");
    EXPECT_TRUE (ok);
    EXPECT_EQ (parsed, curve);
}
