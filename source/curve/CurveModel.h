#pragma once

#include <string>
#include <vector>

namespace dowsen
{
// One corner of the duck curve. `bend` shapes the segment from this point to the next.
struct CurvePoint
{
    float phase = 0.0f; // 0..1 within one duck cycle; 0 is the kick
    float gain = 0.0f;  // 0..1 at full depth; 1 leaves the bass untouched
    float bend = 0.0f;  // -1..1; 0 is straight
};

// The duck curve: points in ascending phase joined by straight or exponentially bent segments.
// The first and last points carry the same gain so one cycle joins the next.
class CurveModel
{
public:
    CurveModel();

    // Inserts a point in phase order and returns its index. A phase too close to a neighbour is
    // moved just clear of it, so that every curve this makes survives its own text form.
    int addPoint (float phase, float gain);
    // Bends a segment so that it passes through targetGain at relative position t.
    void bendSegment (int segment, float t, float targetGain);
    float evaluate (float phase) const;

    std::string toString() const;
    // Strict: on any fault the curve is left as it was and false is returned.
    bool fromString (const std::string& text);

    static CurveModel makeFactoryPreset (int index);
    static int numFactoryPresets();
    static const char* factoryPresetName (int index);

    // The value of a segment from a to b at relative position u (0..1).
    static float segmentValue (const CurvePoint& a, const CurvePoint& b, float u);

    // Closest two neighbouring phases may come to each other through addPoint.
    static constexpr float kMinPhaseGap = 0.0001f;

    std::vector<CurvePoint> points;
};

bool operator== (const CurvePoint& a, const CurvePoint& b);
bool operator== (const CurveModel& a, const CurveModel& b);
} // namespace dowsen
