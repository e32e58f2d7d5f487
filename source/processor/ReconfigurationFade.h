#pragma once

#include <atomic>

// The 3 ms output fade around a latency change. The timer (message thread) asks for a fade out
// or in by writing the state; the audio thread runs the ramp and moves the state on as the gain
// reaches its end. Signal or a starting transport during a fade out turns it into a fade in at once.
class ReconfigurationFade
{
public:
    enum State : int { none = 0, fadingOut = 1, silent = 2, fadingIn = 3 };

    void prepare (double rate) noexcept;

    // Audio thread, once per block around the samples.
    void beginBlock() noexcept { blockState = blockStart = state.load(); }
    void endBlock() noexcept
    {
        // The timer may have moved the state during the block; its word wins over ours.
        int expected = blockStart;
        state.compare_exchange_strong (expected, blockState);
    }

    float nextGain (bool hostPlaying, float inputPeak) noexcept
    {
        switch (blockState)
        {
            case none: return 1.0f;
            case fadingOut:
            case silent:
                if (hostPlaying || inputPeak > kWakeLevel)
                    return fadeIn();
                if (blockState == silent)
                    return gain = 0.0f;
                gain = gain - step > 0.0f ? gain - step : 0.0f;
                if (gain <= 0.0f)
                    blockState = silent;
                return gain;
            default:
                return fadeIn();
        }
    }

    // Message thread.
    State getState() const noexcept { return static_cast<State> (state.load()); }
    void setState (State s) noexcept { state = s; }


    static constexpr float kWakeLevel = 0.001f;

private:
    float fadeIn() noexcept
    {
        blockState = fadingIn;
        gain = gain + step < 1.0f ? gain + step : 1.0f;
        if (gain >= 1.0f)
            blockState = none;
        return gain;
    }

    std::atomic<int> state { none };
    int blockState = none, blockStart = none;
    float gain = 1.0f;
    float step = 1.0f;
};
