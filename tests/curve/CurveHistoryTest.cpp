#include "processor/PluginProcessor.h"

#include <gtest/gtest.h>

using dowsen::CurveModel;

namespace
{
CurveModel curveOf (LumettaAudioProcessor& p)
{
    const juce::ScopedLock lock (p.curveLock);
    return p.curve;
}

// What the audio thread would play: the newest published shape table.
const dowsen::ShapeTableExchange::Table& playedTable (LumettaAudioProcessor& p)
{
    return p.getShapeTables().acquire();
}

void expectTableSamples (LumettaAudioProcessor& p, const CurveModel& expected)
{
    const auto& table = playedTable (p);
    for (int i = 0; i < 1024; i += 31)
        EXPECT_EQ (table[static_cast<size_t> (i)], expected.evaluate (static_cast<float> (i) / 1023.0f)) << i;
    EXPECT_EQ (table[1023], expected.evaluate (1.0f));
}
} // namespace

TEST (CurveHistory, NewProcessorPlaysClassicFromTileZeroWithNothingToUndo)
{
    LumettaAudioProcessor p;
    EXPECT_EQ (curveOf (p), CurveModel::makeFactoryPreset (0));
    EXPECT_EQ (p.activeTile.load(), 0);
    EXPECT_FALSE (p.hasCurveUndo());
    EXPECT_FALSE (p.undoCurveEdit());
    expectTableSamples (p, CurveModel::makeFactoryPreset (0));
}

TEST (CurveHistory, UndoKeepsTheNewestSixtyFourCurvesNewestFirst)
{
    LumettaAudioProcessor p;
    std::vector<CurveModel> pushed;
    for (int k = 0; k < 65; ++k)
    {
        p.pushCurveUndoState();
        pushed.push_back (curveOf (p));
        {
            const juce::ScopedLock lock (p.curveLock);
            p.curve.addPoint (0.01f * static_cast<float> (k + 1), 0.5f);
        }
        p.curveEdited();
    }
    for (int k = 64; k >= 1; --k)
    {
        ASSERT_TRUE (p.undoCurveEdit()) << k;
        EXPECT_EQ (curveOf (p), pushed[static_cast<size_t> (k)]);
    }
    EXPECT_FALSE (p.hasCurveUndo());
    EXPECT_FALSE (p.undoCurveEdit());
    EXPECT_EQ (curveOf (p), pushed[1]); // the curve stored by the second push
    expectTableSamples (p, pushed[1]);
}

TEST (CurveHistory, PresetLoadsRecordTheirTileAndUndoForgetsIt)
{
    LumettaAudioProcessor p;
    const auto before = curveOf (p);
    p.applyPresetCurve (CurveModel::makeFactoryPreset (3), 3);
    EXPECT_EQ (p.activeTile.load(), 3);
    EXPECT_EQ (curveOf (p), CurveModel::makeFactoryPreset (3));
    expectTableSamples (p, CurveModel::makeFactoryPreset (3));

    ASSERT_TRUE (p.undoCurveEdit());
    EXPECT_EQ (curveOf (p), before);
    EXPECT_EQ (p.activeTile.load(), -1);
    expectTableSamples (p, before);

    p.applyPresetCurve (CurveModel::makeFactoryPreset (5), -1);
    EXPECT_EQ (p.activeTile.load(), -1);
    p.applyPresetCurve (CurveModel::makeFactoryPreset (5), 12);
    EXPECT_EQ (p.activeTile.load(), 7);
}

TEST (CurveHistory, AGestureThatChangesNothingStillUndoesToAnIdenticalCurve)
{
    LumettaAudioProcessor p;
    p.applyPresetCurve (CurveModel::makeFactoryPreset (2), 2);
    p.pushCurveUndoState(); // a press on a point, released without moving
    p.curveEdited();
    EXPECT_EQ (p.activeTile.load(), -1);
    ASSERT_TRUE (p.undoCurveEdit());
    EXPECT_EQ (curveOf (p), CurveModel::makeFactoryPreset (2));
}
