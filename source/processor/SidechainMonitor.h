#pragma once

// Whether the kick is there and playing, and its smoothed level, updated at the end of each block.
class SidechainMonitor
{
public:
    // Before any kick and after releaseResources the kick counts as long gone.
    void release() noexcept { secondsSinceSignal = kLongAgo; active = false; }

    void endBlock (bool present, bool sawSignal, double sumOfSquares, int numSamples, double rate) noexcept;

    bool isActive() const noexcept { return active; }
    float getLevel() const noexcept { return level; }

    static constexpr float kSignalThreshold = 1.0e-4f;
    static constexpr double kHoldSeconds = 2.0;

private:
    static constexpr double kLongAgo = 1.0e9;
    double secondsSinceSignal = kLongAgo;
    bool active = false;
    float level = 0.0f;
};
