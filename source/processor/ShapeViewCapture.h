#pragma once

#include "processor/BandBank.h"

#include <juce_core/juce_core.h>

#include <array>
#include <atomic>
#include <limits>

// What the shape view draws behind the curve, recorded while the Dowsen module is on: seven
// lanes across the display window (bass in and out, kick, duck gain), the playhead, the duck phase
// at the window's left edge, the gain-reduction and AUTO readouts and the collision meter's bands.
class ShapeViewCapture
{
public:
    static constexpr int kColumns = 632;
    static constexpr int kLanes = 7;
    enum Lane
    {
        bassInMin, bassInMax, bassOutMin, bassOutMax, kickMin, kickMax, duckGainMin
    };
    using Lanes = std::array<std::array<float, kColumns>, kLanes>;

    ShapeViewCapture();

    // Message thread; clears the lanes and prepares the band banks.
    void prepare (double rate, juce::SpinLock& lock);
    void resetBands() noexcept;

    // Per block: the duck cycle in beats (scRate), for the window offset.
    void beginBlock (double cycleBeats) noexcept;

    struct Sample
    {
        float displayPhase; // 0..1 across the window
        float bassIn, bassOut, kick, duckGain;
    };
    // Per sample after auto level. `drawLanes`: the transport plays or gives no position.
    // `divisionStartBeats` is where the window began, when synced.
    void record (const Sample& s, bool drawLanes, bool synced, double divisionStartBeats) noexcept;

    // Block end: readouts, band levels, and (while playing) the lane snapshot under `lock`,
    // which is only tried: a missed copy is made at the next block end.
    void endBlock (bool movePlayhead, bool playing, float autoGain, juce::SpinLock& lock) noexcept;

    // Message thread: the published lanes, under the same lock.
    void copySnapshot (Lanes& dest, juce::SpinLock& lock) const;

    float getPlayhead() const noexcept { return playhead.load (std::memory_order_relaxed); }
    float getWindowOffset() const noexcept { return windowOffset.load (std::memory_order_relaxed); }
    float getGainReductionDb() const noexcept { return grReadout.load (std::memory_order_relaxed); }
    float getAutoLevelDb() const noexcept { return autoReadout.load (std::memory_order_relaxed); }
    // Bands 0..15 of the kick, then 0..15 of the bass.
    float getBandLevel (int index) const noexcept { return bandLevels[static_cast<size_t> (index)].load (std::memory_order_relaxed); }

private:
    static void clear (Lanes& lanes) noexcept;

    Lanes live {}, snapshot {};
    int lastColumn = -1;
    float displayPhaseValue = 0.0f;
    float smallestGain = 1.0f;
    double cycle = 1.0, windowStart = std::numeric_limits<double>::quiet_NaN();
    BandBank kickBank, bassBank;

    std::atomic<float> playhead { 0.0f }, windowOffset { 0.0f }, grReadout { 0.0f }, autoReadout { 0.0f };
    std::array<std::atomic<float>, 2 * BandBank::kBands> bandLevels {};
};
