#pragma once

#include <cstdint>

// How the low end of bass and kick sums, as the ring and the analysis texts show it.
enum class PhaseMeterState : std::int32_t
{
    Measuring = 0,
    NoLowEnd = 1,
    LowInteraction = 2,
    VariesPerBeat = 3,
    Valid = 4
};

struct PhaseMeterReading
{
    PhaseMeterState state = PhaseMeterState::Measuring;
    float percent = 50.0f;     // 0 cancel, 50 neutral, 100 fully in phase
    float stability = 0.0f;    // 0..1, how steady the phase relation is across divisions
    float interactionDb = 0.0f; // in-phase versus out-of-phase sum, in dB
};
