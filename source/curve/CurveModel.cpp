#include "curve/CurveModel.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <iterator>

namespace dowsen
{
namespace
{
struct FactoryPresetDef
{
    const char* name;
    std::vector<CurvePoint> points;
};

const std::vector<FactoryPresetDef>& factoryPresets()
{
    static const std::vector<FactoryPresetDef> defs {
        { "CLASSIC", { { 0.0f, 0.0f, 0.45f }, { 1.0f, 1.0f, 0.0f } } },
        { "SOFT", { { 0.0f, 0.42f, 0.25f }, { 1.0f, 1.0f, 0.0f } } },
        { "PUNCH", { { 0.0f, 0.0f, 0.55f }, { 0.45f, 1.0f, 0.0f }, { 1.0f, 1.0f, 0.0f } } },
        { "LONG", { { 0.0f, 0.0f, 0.15f }, { 0.75f, 0.55f, 0.35f }, { 1.0f, 1.0f, 0.0f } } },
        { "DOUBLE", { { 0.0f, 0.0f, 0.45f }, { 0.42f, 1.0f, 0.0f }, { 0.5f, 0.0f, 0.45f }, { 1.0f, 1.0f, 0.0f } } },
        { "GATE", { { 0.0f, 0.0f, 0.0f }, { 0.48f, 0.0f, 0.0f }, { 0.54f, 1.0f, 0.0f }, { 1.0f, 1.0f, 0.0f } } },
        { "LINEAR", { { 0.0f, 0.0f, 0.0f }, { 1.0f, 1.0f, 0.0f } } },
        { "TIGHT", { { 0.0f, 0.0f, 0.6f }, { 0.2f, 1.0f, 0.0f }, { 1.0f, 1.0f, 0.0f } } },
    };
    return defs;
}

float clamp01 (float x) { return std::clamp (x, 0.0f, 1.0f); }

float shape (float bend, float u)
{
    u = clamp01 (u);
    if (bend >= -1.0f && bend <= 1.0f && std::abs (bend) < 0.0001f)
        return u;
    const float k = bend < -1.0f ? -6.0f : (bend > 1.0f ? 6.0f : 6.0f * bend);
    return (std::exp (k * u) - 1.0f) / (std::exp (k) - 1.0f);
}

// The text form is read and written independently of the C locale: a host that sets a decimal
// comma must not turn saved curves into garbage. Numbers follow scanf's "%f" as far as the text
// form needs it: leading white space skipped, an optional sign, no trailing characters.
const char* readNumber (const char* at, const char* end, float& value)
{
    while (at != end && (*at == ' ' || (*at >= '\t' && *at <= '\r')))
        ++at;
    if (at != end && *at == '+' && at + 1 != end && *(at + 1) != '-')
        ++at;
    const auto result = std::from_chars (at, end, value, std::chars_format::general);
    return result.ec == std::errc() ? result.ptr : nullptr;
}

// Parses one "phase,gain,bend" token; nothing may follow the third number.
bool parsePoint (const std::string& token, CurvePoint& out)
{
    float v[3] {};
    const char* at = token.data();
    const char* const end = token.data() + token.size();
    for (int i = 0; i < 3; ++i)
    {
        if (i > 0)
        {
            if (at == end || *at != ',')
                return false;
            ++at;
        }
        at = readNumber (at, end, v[i]);
        if (at == nullptr)
            return false;
    }
    const float p = v[0], g = v[1], b = v[2];
    if (at != end || ! std::isfinite (p) || ! std::isfinite (g) || ! std::isfinite (b))
        return false;
    constexpr float kTolerance = 0.0001f;
    if (p < -kTolerance || p > 1.0f + kTolerance || g < -kTolerance || g > 1.0f + kTolerance || std::abs (b) > 1.0f + kTolerance)
        return false;
    // Values live on the text form's six-decimal grid, so that whatever is accepted is written
    // back as the same text: two phases a hair apart would otherwise print alike and the saved
    // curve would no longer load.
    const auto onGrid = [] (float x) { return static_cast<float> (std::round (static_cast<double> (x) * 1.0e6) / 1.0e6); };
    out = { onGrid (clamp01 (p)), onGrid (clamp01 (g)), onGrid (std::clamp (b, -1.0f, 1.0f)) };
    return true;
}
} // namespace

CurveModel::CurveModel() : points { { 0.0f, 0.0f, 0.4f }, { 1.0f, 1.0f, 0.0f } } {}

float CurveModel::segmentValue (const CurvePoint& a, const CurvePoint& b, float u)
{
    return a.gain + (b.gain - a.gain) * shape (a.bend, u);
}

float CurveModel::evaluate (float phase) const
{
    if (points.empty())
        return 0.0f;
    if (points.size() == 1)
        return points.front().gain;
    phase = clamp01 (phase);
    if (points.front().phase >= phase)
        return points.front().gain;
    if (phase >= points.back().phase)
        return points.back().gain;

    size_t i = points.size() - 2;
    for (size_t s = 0; s + 1 < points.size(); ++s)
        if (points[s].phase <= phase && phase <= points[s + 1].phase)
        {
            i = s;
            break;
        }
    const auto& a = points[i];
    const auto& b = points[i + 1];
    const float width = b.phase - a.phase;
    const float u = width > 1.0e-9f ? (phase - a.phase) / width : 0.0f;
    return segmentValue (a, b, u);
}

int CurveModel::addPoint (float phase, float gain)
{
    CurvePoint point { clamp01 (phase), clamp01 (gain), 0.0f };
    if (points.empty())
    {
        points.push_back (point);
        return 0;
    }

    auto at = std::find_if (points.begin(), points.end(), [&] (const CurvePoint& p) { return p.phase >= point.phase; });
    // Equal (or nearly equal) phases would not survive the text form, which demands strictly
    // increasing phases at six decimals: keep the new point clear of both neighbours, or halfway
    // between them where they are too close for that. With no room before a point sitting at
    // phase 0, the new point goes just after it.
    if (at == points.begin() && at->phase < kMinPhaseGap)
        ++at;
    const float lower = at == points.begin() ? 0.0f : std::prev (at)->phase + kMinPhaseGap;
    const float upper = at == points.end() ? 1.0f : at->phase - kMinPhaseGap;
    if (lower <= upper)
        point.phase = std::clamp (point.phase, lower, upper);
    else
        point.phase = 0.5f * ((at == points.begin() ? 0.0f : std::prev (at)->phase) + (at == points.end() ? 1.0f : at->phase));

    const auto index = static_cast<int> (std::distance (points.begin(), at));
    points.insert (at, point);

    if (index == 0)
        points.back().gain = point.gain;
    if (index == static_cast<int> (points.size()) - 1)
        points.front().gain = point.gain;
    return index;
}

void CurveModel::bendSegment (int segment, float t, float targetGain)
{
    if (segment < 0 || static_cast<size_t> (segment) + 1 >= points.size())
        return;
    auto& a = points[static_cast<size_t> (segment)];
    const auto& b = points[static_cast<size_t> (segment) + 1];
    const float d = b.gain - a.gain;
    if (std::abs (d) < 0.0001f)
        return;

    const float tt = std::clamp (t, 0.02f, 0.98f);
    const float u = std::clamp ((targetGain - a.gain) / d, 0.001f, 0.999f);
    float lo = -1.0f, hi = 1.0f;
    for (int i = 0; i < 24; ++i)
    {
        const float m = 0.5f * (lo + hi);
        if (shape (std::abs (m) < 0.0001f ? 0.0f : m, tt) > u)
            lo = m;
        else
            hi = m;
    }
    a.bend = std::clamp (0.5f * (lo + hi), -1.0f, 1.0f);
}

std::string CurveModel::toString() const
{
    std::string text;
    for (size_t i = 0; i < points.size(); ++i)
    {
        if (i > 0)
            text += ';';
        // Six decimals, as printf's "%.6f" writes them in the C locale.
        std::array<char, 64> buffer {};
        char* at = buffer.data();
        for (const float v : { points[i].phase, points[i].gain, points[i].bend })
        {
            if (at != buffer.data())
                *at++ = ',';
            at = std::to_chars (at, buffer.data() + buffer.size(), static_cast<double> (v), std::chars_format::fixed, 6).ptr;
        }
        text.append (buffer.data(), at);
    }
    return text;
}

bool CurveModel::fromString (const std::string& text)
{
    if (text.empty())
        return false;

    std::vector<CurvePoint> parsed;
    size_t start = 0;
    while (true)
    {
        const size_t end = text.find (';', start);
        const auto token = text.substr (start, end == std::string::npos ? std::string::npos : end - start);
        CurvePoint p;
        if (token.empty() || ! parsePoint (token, p))
            return false;
        if (! parsed.empty() && ! (p.phase > parsed.back().phase))
            return false;
        parsed.push_back (p);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    if (parsed.size() < 2)
        return false;
    points = std::move (parsed);
    return true;
}

int CurveModel::numFactoryPresets()
{
    return static_cast<int> (factoryPresets().size());
}

const char* CurveModel::factoryPresetName (int index)
{
    return factoryPresets()[static_cast<size_t> (std::clamp (index, 0, numFactoryPresets() - 1))].name;
}

CurveModel CurveModel::makeFactoryPreset (int index)
{
    CurveModel curve;
    curve.points = factoryPresets()[static_cast<size_t> (std::clamp (index, 0, numFactoryPresets() - 1))].points;
    return curve;
}

bool operator== (const CurvePoint& a, const CurvePoint& b)
{
    return std::equal_to<float>() (a.phase, b.phase) && std::equal_to<float>() (a.gain, b.gain)
           && std::equal_to<float>() (a.bend, b.bend);
}

bool operator== (const CurveModel& a, const CurveModel& b)
{
    return a.points == b.points;
}
} // namespace dowsen
