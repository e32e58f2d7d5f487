#pragma once

#include "analysis/PhaseMeterReading.h"

#include <atomic>
#include <complex>
#include <cstdint>

// How well the low ends of bass and kick sum: eight complex demodulators (one-third-octave bands
// from 25 to 125 Hz), each followed by three cascaded one-pole low-passes, cross-multiply the two
// signals band by band. The sums are collected per division (a beat-synced stretch the caller
// closes), smoothed across divisions and scored as a percentage: 100 fully in phase, 50 neutral,
// 0 cancelling.
//
// push, pushBlock and endDivision belong to one thread (the audio thread) and neither allocate nor
// lock; getReading may be called from any other thread at the same time.
class PhaseEfficiencyMeter
{
public:
    static constexpr int kBands = 8;
    static constexpr double kBandCentres[kBands] { 25.0, 31.5, 40.0, 50.0, 63.0, 80.0, 100.0, 125.0 };

    // The filter bank runs eight doubles a register with AVX-512, four with AVX2 and FMA, and two
    // (or one, without the compiler's vector types) otherwise. The fastest one the CPU has is
    // chosen once at load time; the paths agree to rounding.
    enum class Kernel
    {
        Portable,
        Avx2,
        Avx512
    };

    PhaseEfficiencyMeter();

    // A rate that is not a positive finite number is taken as 44100.
    void prepare (double sampleRate);
    // Clears filters, sums, history and the reading; keeps the rate.
    void reset() noexcept;

    void push (float bass, float kick) noexcept;
    // Pushes `count` pairs; after each push, closes the division once it holds at least
    // `closeAtCount` samples (the live meter's half-second rule; pass a huge value to disable).
    void pushBlock (const float* bass, const float* kick, int count, std::int64_t closeAtCount) noexcept;
    // Scores the division and folds it into the reading. Divisions shorter than 50 ms are left
    // open: their samples count towards the next one.
    void endDivision() noexcept;

    std::int64_t divisionSampleCount() const noexcept { return divisionCount; }

    // Takes over another meter's whole state and reading: for a meter that has heard exactly the
    // same samples, this is what pushing them again would give, at no cost.
    void copyStateFrom (const PhaseEfficiencyMeter& other) noexcept;
    // Lock-free; a reader racing a division's end may see fields of two consecutive readings.
    PhaseMeterReading getReading() const noexcept;

    static PhaseMeterReading evaluate (const std::complex<double> cross[kBands], const double magnitude[kBands],
                                       double bassEnergy, double kickEnergy) noexcept;
    // The reading of two equal-length buffers taken as a single division.
    static PhaseMeterReading evaluateBuffer (const float* bass, const float* kick, int count, double sampleRate);

    static bool isAvailable (Kernel) noexcept;
    // Lets tests and benchmarks compare the paths; a kernel the CPU lacks leaves the choice alone.
    void useKernel (Kernel) noexcept;
    Kernel getKernel() const noexcept { return kernel; }

    static constexpr double kMinimumDivisionSeconds = 0.05;
    static constexpr double kSmoothingSeconds = 1.75;
    static constexpr double kHoldQuietSeconds = 0.75;
    static constexpr double kForgetQuietSeconds = 3.0;
    static constexpr double kMinimumLevel = 0.001;
    static constexpr double kMaxCoupling = 0.999999;
    static constexpr int kRenormaliseInterval = 4096;

private:
    friend struct PhaseMeterKernels;

    // Structure of arrays, one array per quantity with the eight bands side by side, so a SIMD
    // register holds the same quantity of several bands.
    struct alignas (64) Bands
    {
        double stepRe[kBands], stepIm[kBands], alpha[kBands];
        double phasorRe[kBands], phasorIm[kBands];
        double bassRe[3][kBands], bassIm[3][kBands], kickRe[3][kBands], kickIm[3][kBands];
        double crossRe[kBands], crossIm[kBands], bassEnergy[kBands], kickEnergy[kBands];
    };
    using FilterKernel = void (*) (Bands&, const float*, const float*, int) noexcept;

    void pushRun (const float* bass, const float* kick, int count) noexcept;
    void renormalisePhasors() noexcept;
    void divisionEnergies (double& bassEnergy, double& kickEnergy) const noexcept;
    void clearDivision() noexcept;
    void clearHistory() noexcept;
    void publish (const PhaseMeterReading&) noexcept;

    Bands bands;
    Kernel kernel;
    FilterKernel filter;

    double sampleRate = 44100.0;
    std::int64_t minimumDivisionCount = 1;
    std::int64_t divisionCount = 0;
    std::int32_t renormaliseCounter = 0;

    std::complex<double> smoothedCross[kBands];
    double smoothedMagnitude[kBands];
    double smoothedBassEnergy = 0.0, smoothedKickEnergy = 0.0;
    bool hasHistory = false;
    double silentSeconds = 0.0;

    std::atomic<std::int32_t> readingState { 0 };
    std::atomic<float> readingPercent { 50.0f }, readingStability { 0.0f }, readingInteractionDb { 0.0f };
};
