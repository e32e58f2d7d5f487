// The processor's saved state: a little-endian binary block with a fixed head, the curve text, a
// tail and two tagged blocks added by later versions. Older, shorter states restore what they hold
// and leave defaults for the rest; damaged ones never put a non-finite value anywhere.

#include "processor/ParameterIds.h"
#include "processor/PluginProcessor.h"

#include <cmath>
#include <cstring>

namespace
{
namespace p = lumetta::param;

constexpr std::int32_t kTimingMagic = 0x4C4D5439; // "LMT9"
constexpr std::int32_t kFollowMagic = 0x4C4D4631; // "LMF1"
constexpr int kCurveOffset = 65;

// Reads fields from the state bytes in order. A field cut short by the end of the data reads as
// zero, as a stream would return it; nothing is ever read beyond the end.
class StateReader
{
public:
    StateReader (const void* data, int numBytes)
        : bytes (static_cast<const unsigned char*> (data)), size (data != nullptr ? std::max (numBytes, 0) : 0) {}

    int totalSize() const noexcept { return size; }
    int remaining() const noexcept { return size - position; }

    std::int32_t readInt() noexcept
    {
        unsigned char b[4] {};
        take (b, 4);
        return static_cast<std::int32_t> (static_cast<std::uint32_t> (b[0]) | (static_cast<std::uint32_t> (b[1]) << 8)
                                          | (static_cast<std::uint32_t> (b[2]) << 16) | (static_cast<std::uint32_t> (b[3]) << 24));
    }
    float readFloat() noexcept
    {
        const auto bits = static_cast<std::uint32_t> (readInt());
        float f;
        std::memcpy (&f, &bits, sizeof (f));
        return f;
    }
    bool readBool() noexcept
    {
        unsigned char b = 0;
        take (&b, 1);
        return b != 0;
    }
    // The text up to its zero byte (or the end of the data), which is consumed too.
    std::string readText() noexcept
    {
        const auto* start = bytes + position;
        const auto* zero = static_cast<const unsigned char*> (std::memchr (start, 0, static_cast<size_t> (remaining())));
        const auto length = zero != nullptr ? zero - start : remaining();
        std::string text (reinterpret_cast<const char*> (start), static_cast<size_t> (length));
        position = zero != nullptr ? position + static_cast<int> (length) + 1 : size;
        return text;
    }

private:
    void take (unsigned char* out, int n) noexcept
    {
        const int available = std::min (n, remaining());
        if (available > 0)
            std::memcpy (out, bytes + position, static_cast<size_t> (available));
        position += available;
    }

    const unsigned char* bytes;
    int size;
    int position = 0;
};

class StateWriter
{
public:
    explicit StateWriter (juce::MemoryBlock& block) : out (block, true) {}
    void writeInt (int v) { out.writeInt (v); }
    void writeFloat (float v) { out.writeFloat (v); }
    void writeBool (bool v) { out.writeBool (v); }
    void writeText (const std::string& text)
    {
        out.write (text.data(), text.size());
        out.writeByte (0);
    }

private:
    juce::MemoryOutputStream out; // little-endian, like the format
};
} // namespace

void LumettaAudioProcessor::getStateInformation (juce::MemoryBlock& destData)
{
    const auto param = [this] (const char* id) { return parameters.getRawParameterValue (id)->load(); };
    const auto on = [&] (const char* id) { return param (id) > 0.5f; };

    StateWriter w (destData);
    w.writeInt (displayDivision.load());
    w.writeInt (scopeViewMode.load());
    w.writeBool (polarityFlip.load());
    w.writeFloat (getCurrentDelayMs());
    w.writeBool (allPassOn.load());
    w.writeFloat (allPassFreqHz.load());
    w.writeFloat (allPassQ.load());
    w.writeBool (false); // reserved
    w.writeInt (legacyInt.load());
    w.writeInt (editorWidth.load());
    w.writeInt (editorHeight.load());
    w.writeBool (on (p::dowsenOn));
    w.writeInt (static_cast<int> (param (p::duckMode)));
    for (const char* id : { p::duckDepth, p::duckAttack, p::duckRelease, p::detHp, p::detSens, p::scTrigger })
        w.writeFloat (param (id));
    w.writeBool (on (p::scSnap));
    {
        const juce::ScopedLock lock (curveLock);
        w.writeText (curve.toString());
    }

    w.writeFloat (param (p::scRate));
    w.writeBool (on (p::scShowKick));
    w.writeBool (on (p::scShowIn));
    w.writeBool (on (p::scShowOut));
    w.writeInt (activeTile.load());
    w.writeFloat (param (p::scOffsetMs));
    w.writeBool (scopePost.load());
    w.writeBool (on (p::scLive));
    w.writeBool (on (p::scLowOnly));
    w.writeFloat (param (p::scXoverHz));
    w.writeBool (on (p::scLpXover));
    w.writeBool (on (p::scMonoLow));
    w.writeBool (on (p::scAutoGain));
    w.writeBool (showGrReadout.load());
    w.writeBool (showCollisionMeter.load());
    for (const char* id : { p::scMonoHz, p::scHpHz, p::scLiveHoldMs, p::scLiveRelMs, p::scAutoTargetDb })
        w.writeFloat (param (id));

    w.writeInt (kTimingMagic);
    for (const char* id : { p::scLiveTiming, p::scTimedHoldMs, p::scTimedReleaseMs, p::scTimedAttackMs, p::scTimedShape })
        w.writeFloat (param (id));
    w.writeBool (on (p::scTimedEighth));

    w.writeInt (kFollowMagic);
    w.writeBool (on (p::phaseFollow));
    w.writeBool (on (p::phaseFollowLookahead));
}

void LumettaAudioProcessor::setStateInformation (const void* data, int sizeInBytes)
{
    // Parameters are restored with notification so that host and editor see every value. A
    // non-finite stored value leaves the parameter as it is.
    const auto restore = [this] (const char* id, float plain)
    {
        if (! std::isfinite (plain))
            return;
        auto* param = parameters.getParameter (id);
        const float normalised = param->convertTo0to1 (plain);
        param->setValue (normalised);
        param->sendValueChangedMessageToListeners (normalised);
    };
    const auto restoreBool = [&] (const char* id, bool on) { restore (id, on ? 1.0f : 0.0f); };
    const auto restoreDefault = [&] (const char* id)
    {
        auto* param = parameters.getParameter (id);
        restore (id, param->convertFrom0to1 (param->getDefaultValue()));
    };

    ++followEpoch;

    // What states from before the timing and follow blocks did not know about.
    restoreBool (p::phaseFollow, false);
    restoreBool (p::phaseFollowLookahead, true);
    restore (p::scLiveTiming, 0.0f);
    for (const char* id : { p::scTimedHoldMs, p::scTimedReleaseMs, p::scTimedAttackMs, p::scTimedShape, p::scTimedEighth })
        restoreDefault (id);

    StateReader r (data, sizeInBytes);
    const int size = r.totalSize();
    const auto holds = [size] (int lastByte) { return size > lastByte; };

    if (holds (3))
        if (const int v = r.readInt(); v >= 0 && v <= 4)
            displayDivision = v;
    if (holds (7))
        if (const int v = r.readInt(); v >= 0 && v <= 2)
            scopeViewMode = v;
    if (holds (8))
        polarityFlip = r.readBool();
    if (holds (12))
        if (const float v = r.readFloat(); std::isfinite (v))
        {
            const float ms = juce::jlimit (-AlignmentStage::kMaxDelayMs, AlignmentStage::kMaxDelayMs, v);
            restore (p::delayMs, ms);
            alignment.setCurrentDelayMs (ms);
        }
    if (holds (13))
        allPassOn = r.readBool();
    if (holds (17))
        if (const float v = r.readFloat(); std::isfinite (v))
        {
            restore (p::allPassFreq, v);
            allPassFreqHz = juce::jlimit (20.0f, 500.0f, v);
        }
    if (holds (21))
        if (const float v = r.readFloat(); std::isfinite (v))
            allPassQ = juce::jlimit (0.1f, 5.0f, v);
    if (holds (22))
        r.readBool(); // reserved
    if (holds (26))
        legacyInt = std::max (r.readInt(), 0);
    if (holds (34))
    {
        const int w = r.readInt(), h = r.readInt();
        if (w >= 700 && w <= 1980 && h >= 450 && h <= 1274)
        {
            editorWidth = w;
            editorHeight = h;
        }
    }
    if (holds (35))
        restoreBool (p::dowsenOn, r.readBool());
    if (holds (39))
        restore (p::duckMode, static_cast<float> (r.readInt()));
    if (holds (43))
    {
        // Older versions stored the duck depth as a (negative) level in dB.
        const float v = r.readFloat();
        restore (p::duckDepth, v < 0.0f ? (1.0f - std::pow (10.0f, v / 20.0f)) * 100.0f : v);
    }
    int lastByte = 47;
    for (const char* id : { p::duckAttack, p::duckRelease, p::detHp, p::detSens, p::scTrigger })
    {
        if (holds (lastByte))
            restore (id, r.readFloat());
        lastByte += 4;
    }
    if (holds (64))
        restoreBool (p::scSnap, r.readBool());

    if (size <= kCurveOffset)
        return;

    if (const auto text = r.readText(); ! text.empty())
    {
        bool parsed = false;
        {
            const juce::ScopedLock lock (curveLock);
            parsed = curve.fromString (text);
        }
        if (parsed)
            sampleShapeTable();
    }

    // Tail: each field only while data is left.
    const auto tailFloat = [&] (const char* id) { if (r.remaining() > 0) restore (id, r.readFloat()); };
    const auto tailBool = [&] (const char* id) { if (r.remaining() > 0) restoreBool (id, r.readBool()); };
    const auto tailSetting = [&] (std::atomic<bool>& setting) { if (r.remaining() > 0) setting = r.readBool(); };

    tailFloat (p::scRate);
    tailBool (p::scShowKick);
    tailBool (p::scShowIn);
    tailBool (p::scShowOut);
    if (r.remaining() > 0)
        activeTile = juce::jlimit (-1, dowsen::CurveModel::numFactoryPresets() - 1, r.readInt());
    tailFloat (p::scOffsetMs);
    tailSetting (scopePost);
    tailBool (p::scLive);
    tailBool (p::scLowOnly);
    tailFloat (p::scXoverHz);
    tailBool (p::scLpXover);
    tailBool (p::scMonoLow);
    tailBool (p::scAutoGain);
    tailSetting (showGrReadout);
    tailSetting (showCollisionMeter);
    for (const char* id : { p::scMonoHz, p::scHpHz, p::scLiveHoldMs, p::scLiveRelMs, p::scAutoTargetDb })
        tailFloat (id);

    if (r.remaining() > 24 && r.readInt() == kTimingMagic)
    {
        for (const char* id : { p::scLiveTiming, p::scTimedHoldMs, p::scTimedReleaseMs, p::scTimedAttackMs, p::scTimedShape })
            restore (id, r.readFloat());
        restoreBool (p::scTimedEighth, r.readBool());
    }

    if (r.remaining() > 4 && r.readInt() == kFollowMagic)
    {
        restoreBool (p::phaseFollow, r.readBool());
        if (r.remaining() > 0)
            restoreBool (p::phaseFollowLookahead, r.readBool());
    }
}
