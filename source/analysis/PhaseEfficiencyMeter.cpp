#include "analysis/PhaseEfficiencyMeter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <limits>

// One body for every path, written on the compiler's vector types: compiled inside a function
// targeted at AVX-512 a register holds all eight bands, at AVX2 four, at the x86-64 baseline two.
#if defined(__GNUC__)
 #define LUMETTA_KERNEL_INLINE __attribute__ ((always_inline)) inline
typedef double PortableLanes __attribute__ ((vector_size (16)));
#else
 #define LUMETTA_KERNEL_INLINE inline
using PortableLanes = double;
#endif

#if defined(__x86_64__) && defined(__GNUC__)
 #define LUMETTA_HAS_X86_KERNELS 1
typedef double Avx2Lanes __attribute__ ((vector_size (32)));
typedef double Avx512Lanes __attribute__ ((vector_size (64)));
#else
 #define LUMETTA_HAS_X86_KERNELS 0
#endif

struct PhaseMeterKernels
{
    using Bands = PhaseEfficiencyMeter::Bands;
    using Kernel = PhaseEfficiencyMeter::Kernel;
    static constexpr int kBands = PhaseEfficiencyMeter::kBands;

    template <typename V>
    static LUMETTA_KERNEL_INLINE void load (V& v, const double* p) noexcept
    {
        std::memcpy (&v, p, sizeof (V));
    }

    template <typename V>
    static LUMETTA_KERNEL_INLINE void store (double* p, const V& v) noexcept
    {
        std::memcpy (p, &v, sizeof (V));
    }

    // Non-finite input would stay in the filters for good; it counts as silence instead.
    static LUMETTA_KERNEL_INLINE double finiteOrZero (float x) noexcept
    {
        return std::isfinite (x) ? static_cast<double> (x) : 0.0;
    }

    template <typename V>
    static LUMETTA_KERNEL_INLINE void onePole (V& state, const V& input, const V& alpha) noexcept
    {
        state += (input - state) * alpha;
    }

    // A group of bands at a time, its whole state held in registers across the run. Every state is
    // a named variable rather than an array element so that none of it goes through the stack.
    template <typename V>
    static LUMETTA_KERNEL_INLINE void filterBands (Bands& b, const float* bass, const float* kick, int count) noexcept
    {
        constexpr int lanes = static_cast<int> (sizeof (V) / sizeof (double));
        static_assert (kBands % lanes == 0);

        for (int g = 0; g < kBands; g += lanes)
        {
            V stepRe, stepIm, alpha, phasorRe, phasorIm, crossRe, crossIm, bassEnergy, kickEnergy;
            V bass1Re, bass1Im, bass2Re, bass2Im, bass3Re, bass3Im, kick1Re, kick1Im, kick2Re, kick2Im, kick3Re, kick3Im;
            load (stepRe, b.stepRe + g);
            load (stepIm, b.stepIm + g);
            load (alpha, b.alpha + g);
            load (phasorRe, b.phasorRe + g);
            load (phasorIm, b.phasorIm + g);
            load (crossRe, b.crossRe + g);
            load (crossIm, b.crossIm + g);
            load (bassEnergy, b.bassEnergy + g);
            load (kickEnergy, b.kickEnergy + g);
            load (bass1Re, b.bassRe[0] + g);
            load (bass1Im, b.bassIm[0] + g);
            load (bass2Re, b.bassRe[1] + g);
            load (bass2Im, b.bassIm[1] + g);
            load (bass3Re, b.bassRe[2] + g);
            load (bass3Im, b.bassIm[2] + g);
            load (kick1Re, b.kickRe[0] + g);
            load (kick1Im, b.kickIm[0] + g);
            load (kick2Re, b.kickRe[1] + g);
            load (kick2Im, b.kickIm[1] + g);
            load (kick3Re, b.kickRe[2] + g);
            load (kick3Im, b.kickIm[2] + g);

            for (int i = 0; i < count; ++i)
            {
                const double x = finiteOrZero (bass[i]), y = finiteOrZero (kick[i]);

                onePole (bass1Re, phasorRe * x, alpha);
                onePole (bass1Im, phasorIm * x, alpha);
                onePole (kick1Re, phasorRe * y, alpha);
                onePole (kick1Im, phasorIm * y, alpha);
                onePole (bass2Re, bass1Re, alpha);
                onePole (bass2Im, bass1Im, alpha);
                onePole (kick2Re, kick1Re, alpha);
                onePole (kick2Im, kick1Im, alpha);
                onePole (bass3Re, bass2Re, alpha);
                onePole (bass3Im, bass2Im, alpha);
                onePole (kick3Re, kick2Re, alpha);
                onePole (kick3Im, kick2Im, alpha);

                // bass · conj (kick)
                crossRe += bass3Re * kick3Re + bass3Im * kick3Im;
                crossIm += bass3Im * kick3Re - bass3Re * kick3Im;
                bassEnergy += bass3Re * bass3Re + bass3Im * bass3Im;
                kickEnergy += kick3Re * kick3Re + kick3Im * kick3Im;

                const V nextRe = phasorRe * stepRe - phasorIm * stepIm;
                phasorIm = phasorRe * stepIm + phasorIm * stepRe;
                phasorRe = nextRe;
            }

            store (b.phasorRe + g, phasorRe);
            store (b.phasorIm + g, phasorIm);
            store (b.crossRe + g, crossRe);
            store (b.crossIm + g, crossIm);
            store (b.bassEnergy + g, bassEnergy);
            store (b.kickEnergy + g, kickEnergy);
            store (b.bassRe[0] + g, bass1Re);
            store (b.bassIm[0] + g, bass1Im);
            store (b.bassRe[1] + g, bass2Re);
            store (b.bassIm[1] + g, bass2Im);
            store (b.bassRe[2] + g, bass3Re);
            store (b.bassIm[2] + g, bass3Im);
            store (b.kickRe[0] + g, kick1Re);
            store (b.kickIm[0] + g, kick1Im);
            store (b.kickRe[1] + g, kick2Re);
            store (b.kickIm[1] + g, kick2Im);
            store (b.kickRe[2] + g, kick3Re);
            store (b.kickIm[2] + g, kick3Im);
        }
    }

    static void filterPortable (Bands& b, const float* bass, const float* kick, int count) noexcept
    {
        filterBands<PortableLanes> (b, bass, kick, count);
    }

#if LUMETTA_HAS_X86_KERNELS
    __attribute__ ((target ("avx2,fma"))) static void filterAvx2 (Bands& b, const float* bass, const float* kick, int count) noexcept
    {
        filterBands<Avx2Lanes> (b, bass, kick, count);
    }

    __attribute__ ((target ("avx512f"))) static void filterAvx512 (Bands& b, const float* bass, const float* kick, int count) noexcept
    {
        filterBands<Avx512Lanes> (b, bass, kick, count);
    }
#endif

    static bool isAvailable (Kernel k) noexcept
    {
        switch (k)
        {
            case Kernel::Portable:
                return true;
            case Kernel::Avx2:
               #if LUMETTA_HAS_X86_KERNELS
                __builtin_cpu_init();
                return __builtin_cpu_supports ("avx2") && __builtin_cpu_supports ("fma");
               #else
                return false;
               #endif
            case Kernel::Avx512:
               #if LUMETTA_HAS_X86_KERNELS
                __builtin_cpu_init();
                return __builtin_cpu_supports ("avx512f");
               #else
                return false;
               #endif
        }
        return false;
    }

    static PhaseEfficiencyMeter::FilterKernel filterFor (Kernel k) noexcept
    {
        switch (k)
        {
           #if LUMETTA_HAS_X86_KERNELS
            case Kernel::Avx512:
                return filterAvx512;
            case Kernel::Avx2:
                return filterAvx2;
           #else
            case Kernel::Avx512:
            case Kernel::Avx2:
           #endif
            case Kernel::Portable:
                break;
        }
        return filterPortable;
    }

    static Kernel fastest() noexcept
    {
        for (const auto k : { Kernel::Avx512, Kernel::Avx2 })
            if (isAvailable (k))
                return k;
        return Kernel::Portable;
    }
};

namespace
{
// Chosen once at load time, so constructing a meter needs no CPU query. Portable is the zero value,
// so a meter built by another file's static initialiser before this one runs is still correct.
const PhaseEfficiencyMeter::Kernel fastestKernel = PhaseMeterKernels::fastest();

constexpr double kTwoPi = 6.283185307179586476925286766559;
// Each band's low-pass corner, relative to its centre.
constexpr double kCornerRatio = 0.225;
constexpr double kDefaultRate = 44100.0;

constexpr PhaseMeterReading kNoLowEnd { PhaseMeterState::NoLowEnd, 50.0f, 0.0f, 0.0f };
} // namespace

PhaseEfficiencyMeter::PhaseEfficiencyMeter()
    : kernel (fastestKernel),
      filter (PhaseMeterKernels::filterFor (fastestKernel))
{
    prepare (kDefaultRate);
}

void PhaseEfficiencyMeter::prepare (double rate)
{
    sampleRate = std::isfinite (rate) && rate > 0.0 ? rate : kDefaultRate;

    for (int k = 0; k < kBands; ++k)
    {
        const double w = -kTwoPi * kBandCentres[k] / sampleRate;
        bands.stepRe[k] = std::cos (w);
        bands.stepIm[k] = std::sin (w);
        bands.alpha[k] = 1.0 - std::exp (-kTwoPi * kCornerRatio * kBandCentres[k] / sampleRate);
    }

    // The smallest count endDivision accepts, so pushBlock can skip the calls that would be refused.
    // The cap only keeps an absurd rate from overflowing the conversion.
    auto n = static_cast<std::int64_t> (std::min (std::ceil (kMinimumDivisionSeconds * sampleRate), 1.0e15));
    while (n > 1 && static_cast<double> (n - 1) / sampleRate >= kMinimumDivisionSeconds)
        --n;
    while (static_cast<double> (n) / sampleRate < kMinimumDivisionSeconds)
        ++n;
    minimumDivisionCount = n;

    reset();
}

void PhaseEfficiencyMeter::reset() noexcept
{
    for (int k = 0; k < kBands; ++k)
    {
        bands.phasorRe[k] = 1.0;
        bands.phasorIm[k] = 0.0;
        for (int s = 0; s < 3; ++s)
            bands.bassRe[s][k] = bands.bassIm[s][k] = bands.kickRe[s][k] = bands.kickIm[s][k] = 0.0;
    }
    renormaliseCounter = 0;
    clearDivision();
    clearHistory();
    silentSeconds = 0.0;
    publish ({});
}

void PhaseEfficiencyMeter::push (float bass, float kick) noexcept
{
    pushBlock (&bass, &kick, 1, std::numeric_limits<std::int64_t>::max());
}

void PhaseEfficiencyMeter::pushBlock (const float* bass, const float* kick, int count, std::int64_t closeAtCount) noexcept
{
    // The kernel runs uninterrupted up to the next division end or renormalisation. A division
    // holding fewer samples than endDivision accepts would not close anyway, so the run goes on
    // to that count.
    const std::int64_t closingCount = std::max (closeAtCount, minimumDivisionCount);

    for (int done = 0; done < count;)
    {
        std::int64_t run = std::min<std::int64_t> (count - done, kRenormaliseInterval - renormaliseCounter);
        run = divisionCount < closingCount ? std::min (run, closingCount - divisionCount) : 1;

        pushRun (bass + done, kick + done, static_cast<int> (run));
        done += static_cast<int> (run);

        if (divisionCount >= closeAtCount)
            endDivision();
    }
}

void PhaseEfficiencyMeter::pushRun (const float* bass, const float* kick, int count) noexcept
{
    filter (bands, bass, kick, count);
    divisionCount += count;
    renormaliseCounter += count;
    if (renormaliseCounter >= kRenormaliseInterval)
    {
        renormalisePhasors();
        renormaliseCounter = 0;
    }
}

void PhaseEfficiencyMeter::renormalisePhasors() noexcept
{
    // The rotations' rounding slowly changes the phasors' length.
    for (int k = 0; k < kBands; ++k)
    {
        const double magnitude = std::sqrt (bands.phasorRe[k] * bands.phasorRe[k] + bands.phasorIm[k] * bands.phasorIm[k]);
        bands.phasorRe[k] /= magnitude;
        bands.phasorIm[k] /= magnitude;
    }
}

void PhaseEfficiencyMeter::endDivision() noexcept
{
    const double duration = static_cast<double> (divisionCount) / sampleRate;
    if (duration < kMinimumDivisionSeconds)
        return;

    double bassEnergy = 0.0, kickEnergy = 0.0;
    divisionEnergies (bassEnergy, kickEnergy);
    const auto n = static_cast<double> (divisionCount);
    const bool active = std::sqrt (2.0 * bassEnergy / n) >= kMinimumLevel && std::sqrt (2.0 * kickEnergy / n) >= kMinimumLevel;

    if (active)
    {
        silentSeconds = 0.0;
        // The first division after a clear replaces the history rather than fading into zeros.
        const double w = hasHistory ? 1.0 - std::exp (-duration / kSmoothingSeconds) : 1.0;
        for (int k = 0; k < kBands; ++k)
        {
            const std::complex<double> cross (bands.crossRe[k], bands.crossIm[k]);
            smoothedCross[k] += (cross - smoothedCross[k]) * w;
            smoothedMagnitude[k] += (std::abs (cross) - smoothedMagnitude[k]) * w;
        }
        smoothedBassEnergy += (bassEnergy - smoothedBassEnergy) * w;
        smoothedKickEnergy += (kickEnergy - smoothedKickEnergy) * w;
        hasHistory = true;
        clearDivision();
        publish (evaluate (smoothedCross, smoothedMagnitude, smoothedBassEnergy, smoothedKickEnergy));
        return;
    }

    silentSeconds += duration;
    clearDivision();
    if (silentSeconds >= kForgetQuietSeconds)
        clearHistory();
    // Short gaps between notes keep the last reading.
    if (silentSeconds >= kHoldQuietSeconds || ! hasHistory)
        publish (kNoLowEnd);
}

PhaseMeterReading PhaseEfficiencyMeter::getReading() const noexcept
{
    return { static_cast<PhaseMeterState> (readingState.load (std::memory_order_relaxed)),
             readingPercent.load (std::memory_order_relaxed),
             readingStability.load (std::memory_order_relaxed),
             readingInteractionDb.load (std::memory_order_relaxed) };
}

PhaseMeterReading PhaseEfficiencyMeter::evaluate (const std::complex<double> cross[kBands], const double magnitude[kBands],
                                                  double bassEnergy, double kickEnergy) noexcept
{
    double sum = 0.0, sumReal = 0.0, sumMagnitude = 0.0;
    for (int k = 0; k < kBands; ++k)
    {
        sum += std::abs (cross[k]);
        sumReal += cross[k].real();
        sumMagnitude += magnitude[k];
    }

    // Capped so that two identical signals still give a finite interaction.
    const double energy = bassEnergy + kickEnergy;
    const double coupling = energy > 0.0 ? std::min (2.0 * sum / energy, kMaxCoupling) : 0.0;

    PhaseMeterReading r;
    r.interactionDb = static_cast<float> (10.0 * std::log10 ((1.0 + coupling) / (1.0 - coupling)));
    r.stability = sumMagnitude > 0.0 ? static_cast<float> (sum / sumMagnitude) : 0.0f;

    if (static_cast<double> (r.interactionDb) < 0.2)
        r.state = PhaseMeterState::LowInteraction;
    else if (static_cast<double> (r.stability) < 0.3)
        r.state = PhaseMeterState::VariesPerBeat;
    else
        r.state = PhaseMeterState::Valid;

    // The magnitude-weighted mean cosine of the bass-to-kick phase difference.
    const double meanCosine = sum > 0.0 ? sumReal / sum : 0.0;
    r.percent = static_cast<float> ((std::clamp (meanCosine, -1.0, 1.0) + 1.0) * 50.0);
    return r;
}

PhaseMeterReading PhaseEfficiencyMeter::evaluateBuffer (const float* bass, const float* kick, int count, double sampleRate)
{
    PhaseEfficiencyMeter meter;
    meter.prepare (sampleRate);
    meter.pushBlock (bass, kick, count, std::numeric_limits<std::int64_t>::max());

    double bassEnergy = 0.0, kickEnergy = 0.0;
    meter.divisionEnergies (bassEnergy, kickEnergy);
    const double n = count >= 2 ? static_cast<double> (count) : 1.0;
    if (std::sqrt (2.0 * bassEnergy / n) < kMinimumLevel || std::sqrt (2.0 * kickEnergy / n) < kMinimumLevel)
        return kNoLowEnd;

    std::complex<double> cross[kBands];
    double magnitude[kBands];
    for (int k = 0; k < kBands; ++k)
    {
        cross[k] = { meter.bands.crossRe[k], meter.bands.crossIm[k] };
        magnitude[k] = std::abs (cross[k]);
    }

    // One division always agrees with itself; the stability carries no information here.
    auto r = evaluate (cross, magnitude, bassEnergy, kickEnergy);
    if (r.state == PhaseMeterState::VariesPerBeat)
        r.state = PhaseMeterState::Valid;
    return r;
}

bool PhaseEfficiencyMeter::isAvailable (Kernel k) noexcept
{
    return PhaseMeterKernels::isAvailable (k);
}

void PhaseEfficiencyMeter::useKernel (Kernel k) noexcept
{
    if (! isAvailable (k))
        return;
    kernel = k;
    filter = PhaseMeterKernels::filterFor (k);
}

void PhaseEfficiencyMeter::divisionEnergies (double& bassEnergy, double& kickEnergy) const noexcept
{
    bassEnergy = kickEnergy = 0.0;
    for (int k = 0; k < kBands; ++k)
    {
        bassEnergy += bands.bassEnergy[k];
        kickEnergy += bands.kickEnergy[k];
    }
}

void PhaseEfficiencyMeter::clearDivision() noexcept
{
    for (int k = 0; k < kBands; ++k)
        bands.crossRe[k] = bands.crossIm[k] = bands.bassEnergy[k] = bands.kickEnergy[k] = 0.0;
    divisionCount = 0;
}

void PhaseEfficiencyMeter::clearHistory() noexcept
{
    for (int k = 0; k < kBands; ++k)
    {
        smoothedCross[k] = {};
        smoothedMagnitude[k] = 0.0;
    }
    smoothedBassEnergy = smoothedKickEnergy = 0.0;
    hasHistory = false;
}

void PhaseEfficiencyMeter::publish (const PhaseMeterReading& r) noexcept
{
    readingState.store (static_cast<std::int32_t> (r.state), std::memory_order_relaxed);
    readingPercent.store (r.percent, std::memory_order_relaxed);
    readingStability.store (r.stability, std::memory_order_relaxed);
    readingInteractionDb.store (r.interactionDb, std::memory_order_relaxed);
}

void PhaseEfficiencyMeter::copyStateFrom (const PhaseEfficiencyMeter& other) noexcept
{
    bands = other.bands;
    sampleRate = other.sampleRate;
    minimumDivisionCount = other.minimumDivisionCount;
    divisionCount = other.divisionCount;
    renormaliseCounter = other.renormaliseCounter;
    std::copy (std::begin (other.smoothedCross), std::end (other.smoothedCross), std::begin (smoothedCross));
    std::copy (std::begin (other.smoothedMagnitude), std::end (other.smoothedMagnitude), std::begin (smoothedMagnitude));
    smoothedBassEnergy = other.smoothedBassEnergy;
    smoothedKickEnergy = other.smoothedKickEnergy;
    hasHistory = other.hasHistory;
    silentSeconds = other.silentSeconds;
    publish (other.getReading());
}
