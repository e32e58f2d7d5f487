#include "helpers/ProcessorHarness.h"
#include "processor/ParameterIds.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <random>

namespace
{
using Bytes = std::vector<unsigned char>;

Bytes save (LumettaAudioProcessor& p)
{
    juce::MemoryBlock block;
    p.getStateInformation (block);
    const auto* data = static_cast<const unsigned char*> (block.getData());
    return Bytes (data, data + block.getSize());
}

void load (LumettaAudioProcessor& p, const Bytes& bytes)
{
    p.setStateInformation (bytes.data(), static_cast<int> (bytes.size()));
}

float param (LumettaAudioProcessor& p, const char* id) { return p.parameters.getRawParameterValue (id)->load(); }

void setParam (LumettaAudioProcessor& p, const char* id, float plain)
{
    auto* param = p.parameters.getParameter (id);
    param->setValueNotifyingHost (param->convertTo0to1 (plain));
}

void putInt (Bytes& b, size_t at, std::int32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + static_cast<size_t> (i)] = static_cast<unsigned char> ((static_cast<std::uint32_t> (v) >> (8 * i)) & 0xff);
}

void putFloat (Bytes& b, size_t at, float v)
{
    std::int32_t bits;
    std::memcpy (&bits, &v, 4);
    putInt (b, at, bits);
}

std::int32_t getInt (const Bytes& b, size_t at)
{
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= static_cast<std::uint32_t> (b[at + static_cast<size_t> (i)]) << (8 * i);
    return static_cast<std::int32_t> (v);
}

float getFloat (const Bytes& b, size_t at)
{
    const auto bits = getInt (b, at);
    float f;
    std::memcpy (&f, &bits, 4);
    return f;
}

// An instance with every saved parameter and setting away from its default.
void customise (LumettaAudioProcessor& p)
{
    namespace id = lumetta::param;
    p.displayDivision = 3;
    p.scopeViewMode = 2;
    p.polarityFlip = true;
    p.allPassOn = true;
    p.allPassQ = 2.5f;
    p.legacyInt = 7;
    p.editorWidth = 1500;
    p.editorHeight = 987;
    p.scopePost = false;
    p.showGrReadout = true;
    p.showCollisionMeter = true;
    p.applyPresetCurve (dowsen::CurveModel::makeFactoryPreset (4), 4);
    const std::pair<const char*, float> values[] {
        { id::delayMs, -4.5f }, { id::allPassFreq, 230.0f }, { id::dowsenOn, 1 }, { id::duckMode, 1 }, { id::duckDepth, 73 },
        { id::duckAttack, 12.5f }, { id::duckRelease, 321 }, { id::detHp, 77 }, { id::detSens, 6.5f }, { id::scTrigger, 1 },
        { id::scSnap, 0 }, { id::scRate, 3 }, { id::scLive, 1 }, { id::scLowOnly, 1 }, { id::scXoverHz, 150 },
        { id::scLiveHoldMs, 40 }, { id::scLiveRelMs, 200 }, { id::scHpHz, 35 }, { id::scMonoHz, 120 }, { id::scOffsetMs, -12.5f },
        { id::scLpXover, 1 }, { id::scMonoLow, 1 }, { id::scAutoGain, 1 }, { id::scAutoTargetDb, -3.5f }, { id::scShowKick, 0 },
        { id::scShowIn, 0 }, { id::scShowOut, 0 }, { id::scLiveTiming, 0 }, { id::scTimedHoldMs, 25 }, { id::scTimedReleaseMs, 400 },
        { id::scTimedAttackMs, 6.5f }, { id::scTimedShape, 30 }, { id::scTimedEighth, 1 }, { id::phaseFollow, 1 },
        { id::phaseFollowLookahead, 0 },
    };
    for (const auto& [name, v] : values)
        setParam (p, name, v);
    p.allPassFreqHz = 230.0f;
}

void expectSameState (LumettaAudioProcessor& a, LumettaAudioProcessor& b)
{
    for (const char* id : lumetta::param::kAll)
        EXPECT_EQ (param (a, id), param (b, id)) << id;
    EXPECT_EQ (a.displayDivision.load(), b.displayDivision.load());
    EXPECT_EQ (a.scopeViewMode.load(), b.scopeViewMode.load());
    EXPECT_EQ (a.polarityFlip.load(), b.polarityFlip.load());
    EXPECT_EQ (a.getCurrentDelayMs(), b.getCurrentDelayMs());
    EXPECT_EQ (a.allPassOn.load(), b.allPassOn.load());
    EXPECT_EQ (a.allPassFreqHz.load(), b.allPassFreqHz.load());
    EXPECT_EQ (a.allPassQ.load(), b.allPassQ.load());
    EXPECT_EQ (a.legacyInt.load(), b.legacyInt.load());
    EXPECT_EQ (a.editorWidth.load(), b.editorWidth.load());
    EXPECT_EQ (a.editorHeight.load(), b.editorHeight.load());
    EXPECT_EQ (a.scopePost.load(), b.scopePost.load());
    EXPECT_EQ (a.showGrReadout.load(), b.showGrReadout.load());
    EXPECT_EQ (a.showCollisionMeter.load(), b.showCollisionMeter.load());
    EXPECT_EQ (a.activeTile.load(), b.activeTile.load());
    const juce::ScopedLock la (a.curveLock), lb (b.curveLock);
    EXPECT_EQ (a.curve.toString(), b.curve.toString());
}

void expectEverythingFinite (LumettaAudioProcessor& p)
{
    for (const char* id : lumetta::param::kAll)
    {
        auto* param = p.parameters.getParameter (id);
        const float v = param->getValue();
        ASSERT_TRUE (std::isfinite (v) && v >= 0.0f && v <= 1.0f) << id << " = " << v;
    }
    ASSERT_TRUE (std::isfinite (p.getCurrentDelayMs()) && std::abs (p.getCurrentDelayMs()) <= 10.0f);
    ASSERT_TRUE (std::isfinite (p.allPassFreqHz.load()) && p.allPassFreqHz.load() >= 20.0f && p.allPassFreqHz.load() <= 500.0f);
    ASSERT_TRUE (std::isfinite (p.allPassQ.load()) && p.allPassQ.load() >= 0.1f && p.allPassQ.load() <= 5.0f);
    ASSERT_TRUE (p.displayDivision.load() >= 0 && p.displayDivision.load() <= 4);
    ASSERT_TRUE (p.scopeViewMode.load() >= 0 && p.scopeViewMode.load() <= 2);
    ASSERT_TRUE (p.activeTile.load() >= -1 && p.activeTile.load() <= 7);
    const auto& table = p.getShapeTables().acquire();
    for (const float v : table)
        ASSERT_TRUE (std::isfinite (v) && v >= 0.0f && v <= 1.0f);
}

// Offsets of the fields in a state whose curve text is `n` bytes long.
struct Layout
{
    size_t n;
    size_t tail() const { return 65 + n + 1; }
    size_t timing() const { return tail() + 47; }
    size_t follow() const { return timing() + 25; }
};
} // namespace

TEST (SavedState, FreshInstanceIs144BytesPlusTheCurveTextLaidOutAsDocumented)
{
    LumettaAudioProcessor p;
    const auto bytes = save (p);
    const std::string text = dowsen::CurveModel::makeFactoryPreset (0).toString();
    ASSERT_EQ (bytes.size(), 144 + text.size());
    const Layout at { text.size() };

    EXPECT_EQ (getInt (bytes, 0), 0);                  // display division
    EXPECT_EQ (getInt (bytes, 4), 1);                  // scope view
    EXPECT_FLOAT_EQ (getFloat (bytes, 18), 0.707f);    // all-pass Q
    EXPECT_EQ (getInt (bytes, 27), 1320);              // editor width
    EXPECT_EQ (getInt (bytes, 31), 840);               // editor height
    EXPECT_EQ (getFloat (bytes, 40), 100.0f);          // duck depth
    EXPECT_EQ (bytes[64], 1);                          // snap
    EXPECT_EQ (std::string (reinterpret_cast<const char*> (&bytes[65])), text);
    EXPECT_EQ (getFloat (bytes, at.tail()), 2.0f);     // duck rate 1/4
    EXPECT_EQ (getInt (bytes, at.tail() + 7), 0);      // active tile
    EXPECT_EQ (getFloat (bytes, at.tail() + 43), -2.0f); // auto level target
    const unsigned char timingMagic[] { 0x39, 0x54, 0x4D, 0x4C }, followMagic[] { 0x31, 0x46, 0x4D, 0x4C };
    EXPECT_EQ (std::memcmp (&bytes[at.timing()], timingMagic, 4), 0);
    EXPECT_EQ (getFloat (bytes, at.timing() + 4), 1.0f); // "Timed"
    EXPECT_FLOAT_EQ (getFloat (bytes, at.timing() + 12), 150.0f);
    EXPECT_EQ (std::memcmp (&bytes[at.follow()], followMagic, 4), 0);
    EXPECT_EQ (bytes[at.follow() + 4], 0);
    EXPECT_EQ (bytes[at.follow() + 5], 1);
}

TEST (SavedState, EverySavedParameterAndSettingSurvivesSaveAndRestore)
{
    ProcessorHarness source;
    auto& original = source.processor();
    customise (original);
    source.runSilence (512); // the block loop takes the new delay into use
    const auto bytes = save (original);

    ProcessorHarness target;
    auto& restored = target.processor();
    load (restored, bytes);
    expectSameState (original, restored);
    EXPECT_EQ (save (restored), bytes);

    // And the restored instance plays what it says: the curve's table and the delay.
    const auto& table = restored.getShapeTables().acquire();
    EXPECT_EQ (table[512], dowsen::CurveModel::makeFactoryPreset (4).evaluate (512.0f / 1023.0f));
    EXPECT_EQ (restored.getCurrentDelaySamples(), -216); // -4.5 ms at 48 kHz
}

TEST (SavedState, OlderAndOutOfRangeStatesRestoreAsDocumented)
{
    LumettaAudioProcessor reference;
    const auto fresh = save (reference);
    const Layout freshAt { fresh.size() - 144 };

    struct Case
    {
        const char* name;
        std::function<void (Bytes&)> edit;
        std::function<void (LumettaAudioProcessor&)> check;
    };
    const std::vector<Case> cases {
        { "duck depth stored as -6 dB", [] (Bytes& b) { putFloat (b, 40, -6.0f); },
          // (1 - 10^(-6/20)) x 100 = 49.88 %, which the parameter's 1 % step holds as 50.
          [] (LumettaAudioProcessor& p) { EXPECT_EQ (param (p, "duckDepth"), 50.0f); } },
        { "delay of 15 ms", [] (Bytes& b) { putFloat (b, 9, 15.0f); },
          [] (LumettaAudioProcessor& p) { EXPECT_EQ (p.getCurrentDelayMs(), 10.0f); EXPECT_FLOAT_EQ (param (p, "delayMs"), 10.0f); } },
        { "all-pass at 600 Hz", [] (Bytes& b) { putFloat (b, 14, 600.0f); },
          [] (LumettaAudioProcessor& p) { EXPECT_EQ (p.allPassFreqHz.load(), 500.0f); EXPECT_EQ (param (p, "allPassFreq"), 500.0f); } },
        { "all-pass Q of 8", [] (Bytes& b) { putFloat (b, 18, 8.0f); },
          [] (LumettaAudioProcessor& p) { EXPECT_EQ (p.allPassQ.load(), 5.0f); } },
        { "editor 600 x 400", [] (Bytes& b) { putInt (b, 27, 600); putInt (b, 31, 400); },
          [] (LumettaAudioProcessor& p) { EXPECT_EQ (p.editorWidth.load(), 1111); EXPECT_EQ (p.editorHeight.load(), 777); } },
        { "editor 1000 x 700", [] (Bytes& b) { putInt (b, 27, 1000); putInt (b, 31, 700); },
          [] (LumettaAudioProcessor& p) { EXPECT_EQ (p.editorWidth.load(), 1000); EXPECT_EQ (p.editorHeight.load(), 700); } },
        { "display division 7", [] (Bytes& b) { putInt (b, 0, 7); },
          [] (LumettaAudioProcessor& p) { EXPECT_EQ (p.displayDivision.load(), 2); } },
        { "exactly 64 bytes", [] (Bytes& b) { putFloat (b, 60, 1.0f); b[64] = 0; b.resize (64); },
          [] (LumettaAudioProcessor& p)
          {
              EXPECT_EQ (param (p, "scTrigger"), 1.0f);
              EXPECT_EQ (param (p, "scSnap"), 0.0f); // untouched: the pre-set value stays
              EXPECT_EQ (param (p, "scRate"), 4.0f);
              const juce::ScopedLock lock (p.curveLock);
              EXPECT_EQ (p.curve, dowsen::CurveModel::makeFactoryPreset (6));
          } },
        { "no timing block", [freshAt] (Bytes& b) { b.resize (freshAt.timing()); },
          [] (LumettaAudioProcessor& p)
          {
              EXPECT_EQ (param (p, "scLiveTiming"), 0.0f); // "Legacy"
              EXPECT_FLOAT_EQ (param (p, "scTimedReleaseMs"), 150.0f);
              EXPECT_EQ (param (p, "scTimedHoldMs"), 0.0f);
              EXPECT_EQ (param (p, "phaseFollow"), 0.0f);
              EXPECT_EQ (param (p, "phaseFollowLookahead"), 1.0f);
          } },
        { "no follow block", [freshAt] (Bytes& b) { b.resize (freshAt.follow()); },
          [] (LumettaAudioProcessor& p)
          {
              EXPECT_EQ (param (p, "phaseFollow"), 0.0f);
              EXPECT_EQ (param (p, "phaseFollowLookahead"), 1.0f);
              EXPECT_EQ (param (p, "scLiveTiming"), 1.0f);
          } },
        { "NaN timed release", [freshAt] (Bytes& b) { putFloat (b, freshAt.timing() + 12, std::nanf ("")); },
          [] (LumettaAudioProcessor& p) { EXPECT_FLOAT_EQ (param (p, "scTimedReleaseMs"), 150.0f); } },
        { "unknown timing magic", [freshAt] (Bytes& b) { putInt (b, freshAt.timing(), 0x12345678); putFloat (b, freshAt.timing() + 4, 1.0f); },
          [] (LumettaAudioProcessor& p) { EXPECT_EQ (param (p, "scLiveTiming"), 0.0f); } },
        { "unparsable curve", [] (Bytes& b) { b[66] = 'x'; },
          [] (LumettaAudioProcessor& p) { const juce::ScopedLock lock (p.curveLock); EXPECT_EQ (p.curve, dowsen::CurveModel::makeFactoryPreset (6)); } },
        { "active tile 12", [freshAt] (Bytes& b) { putInt (b, freshAt.tail() + 7, 12); },
          [] (LumettaAudioProcessor& p) { EXPECT_EQ (p.activeTile.load(), 7); } },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        LumettaAudioProcessor p;
        // Settings the state must either overwrite or leave alone, distinguishable from defaults.
        p.editorWidth = 1111;
        p.editorHeight = 777;
        p.displayDivision = 2;
        setParam (p, "scSnap", 0.0f);
        setParam (p, "scRate", 4.0f);
        setParam (p, "phaseFollow", 1.0f);
        p.applyPresetCurve (dowsen::CurveModel::makeFactoryPreset (6), 6);
        auto bytes = fresh;
        c.edit (bytes);
        load (p, bytes);
        c.check (p);
    }
}

TEST (SavedState, DamagedStatesNeverCrashNorLeaveNonFiniteValues)
{
    ProcessorHarness h;
    customise (h.processor());
    h.runSilence (512);
    const auto full = save (h.processor());

    // Cut at every length.
    for (size_t n = 0; n <= full.size(); ++n)
    {
        LumettaAudioProcessor p;
        load (p, Bytes (full.begin(), full.begin() + static_cast<std::ptrdiff_t> (n)));
        expectEverythingFinite (p);
    }

    // NaN and infinity at every position a float could start.
    for (const float bad : { std::nanf (""), INFINITY, -INFINITY })
        for (size_t at = 0; at + 4 <= full.size(); ++at)
        {
            auto bytes = full;
            putFloat (bytes, at, bad);
            LumettaAudioProcessor p;
            load (p, bytes);
            expectEverythingFinite (p);
        }

    // Garbage of many lengths, a curve text without its zero byte, and megabytes.
    std::mt19937 rng (99);
    for (int round = 0; round < 300; ++round)
    {
        Bytes bytes (static_cast<size_t> (rng() % 400));
        for (auto& b : bytes)
            b = static_cast<unsigned char> (rng());
        LumettaAudioProcessor p;
        load (p, bytes);
        expectEverythingFinite (p);
    }
    Bytes huge (3u << 20, 'a');
    std::copy (full.begin(), full.begin() + 65, huge.begin());
    LumettaAudioProcessor p;
    load (p, huge);
    expectEverythingFinite (p);
    p.setStateInformation (nullptr, 100);
    p.setStateInformation (full.data(), -5);
    expectEverythingFinite (p);
}

TEST (SavedState, RestoreAdvancesTheFollowEpoch)
{
    LumettaAudioProcessor p;
    const auto before = p.followEpoch.load();
    p.setStateInformation (nullptr, 0);
    EXPECT_EQ (p.followEpoch.load(), before + 1);
}
