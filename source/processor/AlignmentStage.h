#pragma once

#include "processor/AllPassFilter.h"

#include <atomic>
#include <vector>

// What the alignment stage plays for one block: the manual delay as the host automates it and the
// polarity and all-pass settings the editor, APPLY and state restore write.
struct AlignmentSettings
{
    float delayParamMs = 0.0f;
    bool polarityFlip = false;
    bool allPassOn = false;
    float allPassFreqHz = 100.0f;
    float allPassQ = 0.707f;
};

struct AlignedFrame
{
    float left = 0.0f, right = 0.0f, kick = 0.0f;
};

// The first stage of every sample: delays the bass by the applied latency plus the manual delay
// and the kick by the applied latency alone, so that a negative delay moves the bass earlier
// without needing future samples; then polarity and all-pass rotation.
class AlignmentStage
{
public:
    AlignmentStage();

    // Sizes and clears the delay line (the caller's length covers base or lookahead latency).
    void prepare (double rate, int delayLineLength, const AlignmentSettings& settings);
    // Per block, before the samples: parameter values become taps and coefficients. The bass is
    // delayed by `bassLatency` plus the manual delay (the applied latency, unless the lookahead
    // stream adds the rest of it downstream), the kick by the applied latency.
    void intake (const AlignmentSettings& settings, int appliedLatency, int bassLatency) noexcept;
    // Clears the delay line and the filters' history; keeps the settings.
    void reset() noexcept;

    AlignedFrame process (float left, float right, float kick) noexcept
    {
        const int w = writePos;
        bass[static_cast<size_t> (2 * w)] = left;
        bass[static_cast<size_t> (2 * w + 1)] = right;
        kickLine[static_cast<size_t> (w)] = kick;

        const int bassSlot = wrap (w - bassTap);
        const int kickSlot = wrap (w - kickTap);
        writePos = w + 1 == length ? 0 : w + 1;

        kickAtBassLatency = kickLine[static_cast<size_t> (wrap (w - kickTapAtBassLatency))];
        delayedLeft = bass[static_cast<size_t> (2 * bassSlot)];
        delayedRight = bass[static_cast<size_t> (2 * bassSlot + 1)];
        AlignedFrame out { delayedLeft, delayedRight, kickLine[static_cast<size_t> (kickSlot)] };
        if (flip)
        {
            out.left = -out.left;
            out.right = -out.right;
        }
        out.left = allPass[0].processSample (out.left);
        out.right = allPass[1].processSample (out.right);
        return out;
    }

    // The bass of the last processed sample after the delay, before polarity and all-pass: where
    // phase follow's own renderings start.
    float getDelayedLeft() const noexcept { return delayedLeft; }
    float getDelayedRight() const noexcept { return delayedRight; }
    // The kick of the last processed sample on the bass's time base (before the manual delay).
    float getKickAtBassLatency() const noexcept { return kickAtBassLatency; }

    // The manual delay in use, written here on the audio thread and by state restore.
    float getCurrentDelayMs() const noexcept { return currentDelayMs.load(); }
    int getCurrentDelaySamples() const noexcept { return currentDelaySamples.load(); }
    void setCurrentDelayMs (float ms) noexcept;

    // Whether the `window` stereo samples the bass tap plays next (already in the line, the
    // oldest first) are all finite and at most `level` in magnitude. False when the tap is not
    // more than `window` samples behind the newest sample.
    bool isQuietAhead (int window, float level) const noexcept;

    int getLength() const noexcept { return length; }
    int getBassTap() const noexcept { return bassTap; }
    int getKickTap() const noexcept { return kickTap; }

    // The whole samples a delay in ms plays at; every comparison of delays in samples uses this.
    static int delayInSamples (float ms, double rate) noexcept;

    static constexpr float kMaxDelayMs = 10.0f;

private:
    int wrap (int slot) const noexcept { return slot < 0 ? slot + length : slot; }
    int delaySamplesFor (float ms) const noexcept;
    int tapFor (int samples) const noexcept;

    std::vector<float> bass; // interleaved stereo
    std::vector<float> kickLine;
    int length = 1;
    int writePos = 0;
    int bassTap = 1, kickTap = 1, kickTapAtBassLatency = 1;
    bool flip = false;
    float delayedLeft = 0.0f, delayedRight = 0.0f, kickAtBassLatency = 0.0f;
    double sampleRate = 44100.0;

    std::atomic<float> currentDelayMs { 0.0f };
    std::atomic<int> currentDelaySamples { 0 };

    AllPassFilter allPass[2];
};
