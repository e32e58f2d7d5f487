#pragma once

#include "processor/AlignmentStage.h"
#include "processor/LinearPhaseSplitter.h"
#include "processor/SampleDelay.h"

// With the linear-phase low split on, every later stage hears bass and kick delayed by the
// splitter's latency. The splitters are fed all the time, and switching the split on or off
// crossfades between the direct and the delayed signal over 3 ms: the latency jumps at once (the
// host is told in the same block), but the audio never does.
class LinearPhaseCompensation
{
public:
    void prepare (double rate, int maxChunk, bool on, float crossoverHz);
    // Per block: the switch and the crossover. True when the switch changed, so the processor
    // reports the new latency.
    bool intake (bool on, float crossoverHz) noexcept;
    void reset() noexcept;

    // Sample i of the current chunk (at most the prepared chunk size).
    AlignedFrame process (const AlignedFrame& in, int i) noexcept
    {
        splitters[0].write (i, in.left);
        splitters[1].write (i, in.right);
        const float kick = kickDelay.process (in.kick);
        if (mix >= 1.0f && enabled)
            return { splitters[0].delayed (i), splitters[1].delayed (i), kick };
        if (mix <= 0.0f && ! enabled)
            return in;
        mix = enabled ? (mix + step < 1.0f ? mix + step : 1.0f) : (mix - step > 0.0f ? mix - step : 0.0f);
        return { in.left + mix * (splitters[0].delayed (i) - in.left),
                 in.right + mix * (splitters[1].delayed (i) - in.right),
                 in.kick + mix * (kick - in.kick) };
    }

    // The low band of the delayed bass for the chunk's first `count` samples.
    void lowBand (float* left, float* right, int count) const noexcept
    {
        splitters[0].lowBand (left, count);
        splitters[1].lowBand (right, count);
    }

    void finishChunk (int count) noexcept
    {
        for (auto& s : splitters)
            s.finishChunk (count);
    }

    int latency() const noexcept { return enabled ? splitters[0].getHalf() : 0; }
    bool isOn() const noexcept { return enabled; }

private:
    LinearPhaseSplitter splitters[2];
    SampleDelay kickDelay;
    bool enabled = false;
    float mix = 0.0f; // 0 direct, 1 delayed
    float step = 1.0f;
};
