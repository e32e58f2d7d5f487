#include "analysis/PhaseFollowTrajectoryRenderer.h"

#include <cmath>

namespace
{
using Planner = PhaseFollowTrajectoryPlanner;

float mix (float from, float to, float w) noexcept
{
    return (1.0f - w) * from + w * to;
}
} // namespace

bool PhaseFollowTrajectoryRenderer::prepare (double rate) noexcept
{
    *this = {};
    if (! (std::isfinite (rate) && rate >= 8000.0 && rate <= 384000.0))
        return false;
    sampleRate = rate;
    current = target = Planner::makeState ({}, rate, false);
    return true;
}

bool PhaseFollowTrajectoryRenderer::rebase (const Snapshot& s) noexcept
{
    if (active && (s.streamId != streamId || s.frame != frame))
        return false;
    if (! Planner::validRenderer (s.state, sampleRate))
        return false;

    current = s.state;
    frame = s.frame;
    streamId = s.streamId;
    appliedFrom = s.appliedFrom;
    key = s.key;
    active = true;
    finished = exiting = crossfading = false;
    crossfadePosition = exitPosition = 0;
    return true;
}

int PhaseFollowTrajectoryRenderer::beginTarget (const Target& t) noexcept
{
    if (! isFollowing())
        return kNotFollowing;
    if (crossfading)
        return kAlreadyCrossfading;
    if (t.frame != frame)
        return kOtherFrame;
    if (t.streamId != streamId)
        return kOtherStream;
    if (t.appliedFrom != appliedFrom || t.endFrame <= t.appliedFrom)
        return kOtherAppliedFrom;
    if (t.key != key)
        return kOtherKey;
    if (t.state.flip != current.flip)
        return kPolarityChange;
    if (t.crossfadeLength <= 3 || static_cast<double> (t.crossfadeLength) > sampleRate
        || ! Planner::validRenderer (t.state, sampleRate))
        return kInvalidTarget;

    target = t.state;
    crossfadeLength = t.crossfadeLength;
    crossfadePosition = 0;
    appliedFrom = t.endFrame;
    crossfading = true;
    return kTargetAccepted;
}

bool PhaseFollowTrajectoryRenderer::beginExit (int length, std::uint64_t exitIdentity) noexcept
{
    if (! isFollowing() || length < 1)
        return false;
    exitLength = length;
    exitPosition = 0;
    exitId = exitIdentity;
    exiting = true;
    return true;
}

void PhaseFollowTrajectoryRenderer::crossfadeStep (float followLeft, float followRight, float& l, float& r) noexcept
{
    float tl = followLeft, tr = followRight;
    Planner::process (target, tl, tr);
    const float w = Planner::crossfadeWeight (crossfadePosition, crossfadeLength);
    l = mix (l, tl, w);
    r = mix (r, tr, w);
    if (++crossfadePosition >= crossfadeLength)
    {
        current = target;
        crossfading = false;
    }
}

void PhaseFollowTrajectoryRenderer::exitStep (float manualLeft, float manualRight, float& l, float& r) noexcept
{
    const float w = Planner::crossfadeWeight (exitPosition, exitLength);
    l = mix (l, manualLeft, w);
    r = mix (r, manualRight, w);
    if (++exitPosition >= exitLength)
    {
        exiting = false;
        finished = true;
        streamId = exitId;
    }
}

PhaseFollowTrajectoryRenderer::Snapshot PhaseFollowTrajectoryRenderer::snapshot() const noexcept
{
    return { frame, streamId, appliedFrom, key, current };
}
