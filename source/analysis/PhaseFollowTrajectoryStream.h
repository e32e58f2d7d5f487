#pragma once

#include "analysis/PhaseFollowTrajectoryPlanner.h"
#include "analysis/PhaseFollowTrajectoryRenderer.h"

#include <cstdint>
#include <memory>
#include <thread>

// FOLLOW with lookahead. The output is the input delayed by D samples (the lookahead latency), so
// by the time a frame plays, the audio after it is already known. Every hop (64 ms) the audio
// thread hands the worker a job: the bass and kick around a decision frame that still lies far
// ahead of the output. The worker plans that decision (PhaseFollowTrajectoryPlanner) and sends it
// back; the audio thread applies it to the real renderer exactly at its frame.
//
// A plan is only as good as its starting point: the worker keeps its own renderer, fed with the
// same frames and the same decisions as the real one, so it knows to the bit what will be playing
// at every decision frame. Each decision carries that prediction, and the audio thread checks it
// against the real renderer before applying it. Whatever could make the two drift apart (a lost
// job or decision, a decision too late, a new epoch, the start of following) advances the epoch,
// which drops everything in flight, and the next job carries a fresh snapshot of the real renderer
// for the worker to start over from.
//
// Threads: prepare and the destructor on the message thread; processFrame, setFollowing, newEpoch
// and the queries on the audio thread, which never allocates or blocks; the worker runs plans
// under a mutex, which drain takes too, for offline rendering.
class PhaseFollowTrajectoryStream
{
public:
    using Planner = PhaseFollowTrajectoryPlanner;
    using RendererState = Planner::RendererState;

    struct Options
    {
        Planner::Config planner;
        int jobCount = 4;      // jobs in flight
        int decisionCount = 8; // decisions queued, at least; the stream adds what its lookahead needs
        double guardMs = 10.0; // a plan whose frame is this close to the output is not made
        double lookaheadMs = 384.0;
    };

    // What the processor runs with: the default planner, 10 ms of guard, and jobs for the largest
    // block plus three.
    static Options runtimeOptions (double sampleRate, int maxBlock, double lookaheadMs) noexcept;

    // One frame of the manual path: its output, and the manual renderer as it stood just before it
    // rendered this frame (so that processing this frame's bass with it gives left and right).
    struct ManualFrame
    {
        float left = 0.0f, right = 0.0f;
        const RendererState* state = nullptr;
    };

    struct Output
    {
        float left = 0.0f, right = 0.0f;
    };

    struct Counters
    {
        std::uint64_t jobsPublished = 0, jobsDropped = 0, jobsConsumed = 0, jobsStale = 0;
        std::uint64_t plansTarget = 0, plansNoChange = 0, plansTooQuiet = 0, plansRefused = 0;
        std::uint64_t decisionsApplied = 0, decisionsVerified = 0, resyncs = 0;
    };

    PhaseFollowTrajectoryStream();
    ~PhaseFollowTrajectoryStream();

    // Message thread. Stops and joins the previous worker first; refuses (leaving the stream
    // unprepared) a rate outside 8000-192000 Hz, counts outside 1-128, a guard outside 0-20 ms, a
    // lookahead outside 384-10000 ms or too short for history, hop, future and guard, a planner
    // configuration it refuses, or a state of 256 MiB or more.
    bool prepare (double sampleRate, const Options& options);
    bool isPrepared() const noexcept { return state != nullptr; }

    // Audio thread, once per frame with consecutive frame numbers (a jump starts over: the delay
    // line reads as silence until it has refilled, and following restarts). Returns the frame D
    // samples back: the manual rendering, or the follow rendering while it is active. Silence when
    // unprepared.
    Output processFrame (std::uint64_t frame, float bassLeft, float bassRight, float kickLeft, float kickRight,
                         const ManualFrame& manual) noexcept;

    // Audio thread; taken in at the next frame. On: following starts from the manual renderer at
    // the next frame's input, and plays from there once it reaches the output. Off: the output
    // crossfades back to the manual rendering at once, over the planner's crossfade length.
    void setFollowing (bool shouldFollow) noexcept { wantFollowing = shouldFollow; }
    // The output is the follow rendering (including its crossfade back).
    bool isFollowActive() const noexcept;
    bool hasExitFinished() const noexcept;
    // What the follow rendering plays at the output now.
    const RendererState& getPlayingState() const noexcept;
    const PhaseFollowTrajectoryRenderer& getRenderer() const noexcept;

    // Audio thread: drops every job and decision in flight.
    void newEpoch() noexcept;

    // Offline rendering: runs the worker's jobs on the calling thread until none is left.
    void drain();

    int getLookaheadSamples() const noexcept;
    // Any thread.
    Counters getCounters() const noexcept;

private:
    struct State;

    void stopWorker();

    std::unique_ptr<State> state;
    std::thread worker;
    bool wantFollowing = false;
    PhaseFollowTrajectoryRenderer unpreparedRenderer;
};
