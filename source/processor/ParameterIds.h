#pragma once

#include <array>
#include <string_view>

// The automatable parameters' IDs, in the order the host lists them. Saved host projects and
// automation refer to these strings: never rename or reorder them.
namespace lumetta::param
{
inline constexpr const char* delayMs = "delayMs";
inline constexpr const char* allPassFreq = "allPassFreq";
inline constexpr const char* dowsenOn = "dowsenOn";
inline constexpr const char* duckMode = "duckMode";
inline constexpr const char* duckDepth = "duckDepth";
inline constexpr const char* duckAttack = "duckAttack";
inline constexpr const char* duckRelease = "duckRelease";
inline constexpr const char* detHp = "detHp";
inline constexpr const char* detSens = "detSens";
inline constexpr const char* scTrigger = "scTrigger";
inline constexpr const char* scSnap = "scSnap";
inline constexpr const char* scRate = "scRate";
inline constexpr const char* scLive = "scLive";
inline constexpr const char* scLowOnly = "scLowOnly";
inline constexpr const char* scXoverHz = "scXoverHz";
inline constexpr const char* scLiveHoldMs = "scLiveHoldMs";
inline constexpr const char* scLiveRelMs = "scLiveRelMs";
inline constexpr const char* scHpHz = "scHpHz";
inline constexpr const char* scMonoHz = "scMonoHz";
inline constexpr const char* scOffsetMs = "scOffsetMs";
inline constexpr const char* scLpXover = "scLpXover";
inline constexpr const char* scMonoLow = "scMonoLow";
inline constexpr const char* scAutoGain = "scAutoGain";
inline constexpr const char* scAutoTargetDb = "scAutoTargetDb";
inline constexpr const char* scShowKick = "scShowKick";
inline constexpr const char* scShowIn = "scShowIn";
inline constexpr const char* scShowOut = "scShowOut";
inline constexpr const char* scLiveTiming = "scLiveTiming";
inline constexpr const char* scTimedHoldMs = "scTimedHoldMs";
inline constexpr const char* scTimedReleaseMs = "scTimedReleaseMs";
inline constexpr const char* scTimedAttackMs = "scTimedAttackMs";
inline constexpr const char* scTimedShape = "scTimedShape";
inline constexpr const char* scTimedEighth = "scTimedEighth";
inline constexpr const char* phaseFollow = "phaseFollow";
inline constexpr const char* phaseFollowLookahead = "phaseFollowLookahead";

// Declaration order; the index of an ID here is its slot in the processor's value pointers.
inline constexpr std::array<const char*, 35> kAll {
    delayMs, allPassFreq, dowsenOn, duckMode, duckDepth, duckAttack, duckRelease, detHp, detSens,
    scTrigger, scSnap, scRate, scLive, scLowOnly, scXoverHz, scLiveHoldMs, scLiveRelMs, scHpHz,
    scMonoHz, scOffsetMs, scLpXover, scMonoLow, scAutoGain, scAutoTargetDb, scShowKick, scShowIn,
    scShowOut, scLiveTiming, scTimedHoldMs, scTimedReleaseMs, scTimedAttackMs, scTimedShape,
    scTimedEighth, phaseFollow, phaseFollowLookahead
};

constexpr int indexOf (std::string_view id)
{
    for (int i = 0; i < static_cast<int> (kAll.size()); ++i)
        if (id == kAll[static_cast<size_t> (i)])
            return i;
    return -1;
}
} // namespace lumetta::param
