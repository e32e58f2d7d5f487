#pragma once

#include "analysis/PhaseFollowTrajectoryPlanner.h"

#include <cmath>
#include <cstdint>

// Plays one follow trajectory: the bass through a RendererState, a raised-cosine crossfade to each
// planned target exactly at its frame, and at the end a crossfade back to the manual rendering.
// The lookahead stream runs one on the audio thread and a copy on its worker that runs ahead to
// predict what the real one will be playing; both see the same calls, so both hold the same
// state to the bit. Every call is real-time safe.
class PhaseFollowTrajectoryRenderer
{
public:
    using RendererState = PhaseFollowTrajectoryPlanner::RendererState;
    using Snapshot = PhaseFollowTrajectoryPlanner::Snapshot;
    using Target = PhaseFollowTrajectoryPlanner::Target;

    // Why beginTarget refused a target.
    static constexpr int kTargetAccepted = 0;
    static constexpr int kNotFollowing = 1;     // not active, finished or exiting
    static constexpr int kAlreadyCrossfading = 2;
    static constexpr int kOtherFrame = 3;       // not the frame about to be rendered
    static constexpr int kOtherStream = 4;
    static constexpr int kOtherAppliedFrom = 5; // or a plan that ends before it starts
    static constexpr int kOtherKey = 6;
    static constexpr int kPolarityChange = 7;
    static constexpr int kInvalidTarget = 8;    // crossfade of 3 samples or less, over a second, or invalid state

    // Refuses rates that are not finite or outside 8000-384000 Hz. Both states become the plain
    // rendering (all-pass off at 100 Hz, Q 0.707, no flip); counters and flags clear.
    bool prepare (double sampleRate) noexcept;

    // Starts following from a snapshot. Refused while active for another stream or frame (once an
    // exit has finished, the snapshot must carry the exit identity), or for an invalid state.
    bool rebase (const Snapshot&) noexcept;
    // Starts the crossfade to a target on the next render; kTargetAccepted or a refusal, which
    // leaves everything as it was.
    int beginTarget (const Target&) noexcept;
    // Starts the crossfade back to the manual rendering over `length` samples (at least 1); when
    // it ends, the stream identity becomes exitIdentity. False unless following.
    bool beginExit (int length, std::uint64_t exitIdentity) noexcept;

    // One frame. Non-finite inputs count as 0. Not active, or finished: the manual pair.
    void render (float followLeft, float followRight, float manualLeft, float manualRight, float& outLeft,
                 float& outRight) noexcept
    {
        ++frame;
        manualLeft = finiteOrZero (manualLeft);
        manualRight = finiteOrZero (manualRight);
        if (! active || finished)
        {
            outLeft = manualLeft;
            outRight = manualRight;
            return;
        }

        followLeft = finiteOrZero (followLeft);
        followRight = finiteOrZero (followRight);
        float l = followLeft, r = followRight;
        PhaseFollowTrajectoryPlanner::process (current, l, r);
        if (crossfading)
            crossfadeStep (followLeft, followRight, l, r);
        if (exiting)
            exitStep (manualLeft, manualRight, l, r);
        outLeft = l;
        outRight = r;
    }

    // What plays from the next frame on (the current state; meaningful while not crossfading).
    Snapshot snapshot() const noexcept;

    bool isActive() const noexcept { return active; }
    bool isFinished() const noexcept { return finished; }
    bool isCrossfading() const noexcept { return crossfading; }
    bool isExiting() const noexcept { return exiting; }
    // Playing its own rendering, neither on the way out nor done.
    bool isFollowing() const noexcept { return active && ! finished && ! exiting; }

    std::uint64_t getFrame() const noexcept { return frame; }
    std::uint64_t getStreamId() const noexcept { return streamId; }
    std::uint64_t getAppliedFrom() const noexcept { return appliedFrom; }
    std::uint32_t getKey() const noexcept { return key; }
    int getCrossfadePosition() const noexcept { return crossfadePosition; }
    const RendererState& getCurrentState() const noexcept { return current; }
    const RendererState& getTargetState() const noexcept { return target; }

private:
    static float finiteOrZero (float x) noexcept { return std::isfinite (x) ? x : 0.0f; }
    void crossfadeStep (float followLeft, float followRight, float& l, float& r) noexcept;
    void exitStep (float manualLeft, float manualRight, float& l, float& r) noexcept;

    RendererState current, target;
    double sampleRate = 0.0;
    std::uint64_t frame = 0, streamId = 0, appliedFrom = 0, exitId = 0;
    std::uint32_t key = 0;
    int crossfadePosition = 0, crossfadeLength = 0;
    int exitPosition = 0, exitLength = 0;
    bool active = false, finished = false, crossfading = false, exiting = false;
};
