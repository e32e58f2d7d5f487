#include "analysis/PhaseEfficiencyMeter.h"
#include "helpers/RealtimeGuard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <iterator>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace
{
using State = PhaseMeterState;
using Kernel = PhaseEfficiencyMeter::Kernel;

constexpr double kRate = 48000.0;
constexpr double kPi = 3.14159265358979323846;
constexpr int kHalfSecond = 24000;
constexpr std::int64_t kNeverClose = std::numeric_limits<std::int64_t>::max();

std::vector<float> tone (double hz, double amplitude, int count, double phase = 0.0, double rate = kRate)
{
    std::vector<float> v (static_cast<std::size_t> (count));
    for (std::size_t i = 0; i < v.size(); ++i)
        v[i] = static_cast<float> (amplitude * std::sin (2.0 * kPi * hz * static_cast<double> (i) / rate + phase));
    return v;
}

// The live meter's way of feeding: blocks of 512, a division closed every `divisionSamples`.
void feed (PhaseEfficiencyMeter& m, const std::vector<float>& bass, const std::vector<float>& kick, int divisionSamples)
{
    for (std::size_t i = 0; i < bass.size(); i += 512)
        m.pushBlock (bass.data() + i, kick.data() + i, static_cast<int> (std::min<std::size_t> (512, bass.size() - i)), divisionSamples);
}

void expectSameReading (const PhaseMeterReading& a, const PhaseMeterReading& b)
{
    EXPECT_EQ (a.state, b.state);
    EXPECT_EQ (a.percent, b.percent);
    EXPECT_EQ (a.stability, b.stability);
    EXPECT_EQ (a.interactionDb, b.interactionDb);
}

// 10·log10 ((1 + c) / (1 − c)) at the coupling cap.
const float kCappedInteractionDb = static_cast<float> (10.0 * std::log10 (1.999999 / 0.000001));

// The band filters written out plainly, one band and one complex number at a time.
struct ReferenceBank
{
    explicit ReferenceBank (double rate)
    {
        const double centres[] { 25.0, 31.5, 40.0, 50.0, 63.0, 80.0, 100.0, 125.0 };
        for (int k = 0; k < 8; ++k)
        {
            const double f = centres[k];
            step[k] = std::polar (1.0, -2.0 * kPi * f / rate);
            alpha[k] = 1.0 - std::exp (-2.0 * kPi * 0.225 * f / rate);
        }
    }

    void push (double x, double y)
    {
        for (int k = 0; k < 8; ++k)
        {
            bass[k][0] += (phasor[k] * x - bass[k][0]) * alpha[k];
            kick[k][0] += (phasor[k] * y - kick[k][0]) * alpha[k];
            for (int s = 1; s < 3; ++s)
            {
                bass[k][s] += (bass[k][s - 1] - bass[k][s]) * alpha[k];
                kick[k][s] += (kick[k][s - 1] - kick[k][s]) * alpha[k];
            }
            cross[k] += bass[k][2] * std::conj (kick[k][2]);
            bassEnergy += std::norm (bass[k][2]);
            kickEnergy += std::norm (kick[k][2]);
            phasor[k] *= step[k];
        }
    }

    std::complex<double> step[8], phasor[8] { 1, 1, 1, 1, 1, 1, 1, 1 }, bass[8][3] {}, kick[8][3] {}, cross[8] {};
    double alpha[8] {}, bassEnergy = 0.0, kickEnergy = 0.0;
};

class PhaseEfficiencyMeterKernel : public ::testing::TestWithParam<Kernel>
{
protected:
    void SetUp() override
    {
        if (! PhaseEfficiencyMeter::isAvailable (GetParam()))
            GTEST_SKIP() << "this CPU lacks the kernel";
        meter.useKernel (GetParam());
        ASSERT_EQ (meter.getKernel(), GetParam());
        meter.prepare (kRate);
    }

    PhaseEfficiencyMeter meter;
};
} // namespace

// Every path against the plain filters, smoothed by hand and scored by evaluate: band table,
// coefficients, the cascade, the sums and the smoothing weights (1 for the first division) all
// have to agree to rounding for the readings to match.
TEST_P (PhaseEfficiencyMeterKernel, ReadingsMatchThePlainFiltersSmoothedAcrossDivisions)
{
    // Different spectra and a drifting phase relation, so every band and the stability carry weight.
    const int lengths[] = { 14400, 24000, 33600, 24000, 9600, 28800, 24000 };
    std::vector<float> bass, kick;
    for (const int n : lengths)
        for (int i = 0; i < n; ++i)
        {
            const double t = static_cast<double> (bass.size()) / kRate;
            bass.push_back (static_cast<float> (0.4 * std::sin (2 * kPi * 41.0 * t) + 0.3 * std::sin (2 * kPi * 97.0 * t + 1.0)));
            kick.push_back (static_cast<float> (0.5 * std::sin (2 * kPi * 41.0 * t + 0.6 * t * t) + 0.2 * std::sin (2 * kPi * 27.0 * t)));
        }

    ReferenceBank ref (kRate);
    std::complex<double> smoothedCross[8] {};
    double smoothedMagnitude[8] {}, smoothedBass = 0.0, smoothedKick = 0.0;
    std::size_t start = 0;
    for (std::size_t d = 0; d < std::size (lengths); ++d)
    {
        const auto n = static_cast<std::size_t> (lengths[d]);
        for (std::size_t i = start; i < start + n; i += 512)
        {
            const auto block = static_cast<int> (std::min<std::size_t> (512, start + n - i));
            meter.pushBlock (bass.data() + i, kick.data() + i, block, kNeverClose);
            for (std::size_t j = i; j < i + static_cast<std::size_t> (block); ++j)
                ref.push (bass[j], kick[j]);
        }
        meter.endDivision();
        start += n;

        const double w = d == 0 ? 1.0 : 1.0 - std::exp (-static_cast<double> (n) / kRate / 1.75);
        for (int k = 0; k < 8; ++k)
        {
            smoothedCross[k] += (ref.cross[k] - smoothedCross[k]) * w;
            smoothedMagnitude[k] += (std::abs (ref.cross[k]) - smoothedMagnitude[k]) * w;
            ref.cross[k] = {};
        }
        smoothedBass += (ref.bassEnergy - smoothedBass) * w;
        smoothedKick += (ref.kickEnergy - smoothedKick) * w;
        ref.bassEnergy = ref.kickEnergy = 0.0;

        const auto expected = PhaseEfficiencyMeter::evaluate (smoothedCross, smoothedMagnitude, smoothedBass, smoothedKick);
        const auto r = meter.getReading();
        SCOPED_TRACE (d);
        EXPECT_EQ (r.state, expected.state);
        EXPECT_NEAR (r.percent, expected.percent, 1.0e-3);
        EXPECT_NEAR (r.stability, expected.stability, 1.0e-5);
        EXPECT_NEAR (r.interactionDb, expected.interactionDb, 1.0e-4);
        EXPECT_EQ (meter.divisionSampleCount(), 0);
    }
    // The drifting relation must have moved the score, or the comparison proves little.
    EXPECT_LT (meter.getReading().stability, 0.99f);
}

INSTANTIATE_TEST_SUITE_P (PhaseEfficiencyMeter, PhaseEfficiencyMeterKernel,
                          ::testing::Values (Kernel::Portable, Kernel::Avx2, Kernel::Avx512),
                          [] (const ::testing::TestParamInfo<Kernel>& kernelInfo) {
                              switch (kernelInfo.param)
                              {
                                  case Kernel::Portable: return std::string ("Portable");
                                  case Kernel::Avx2: return std::string ("Avx2");
                                  case Kernel::Avx512: return std::string ("Avx512");
                              }
                              return std::string();
                          });

TEST (PhaseEfficiencyMeter, SineAgainstItselfInvertedAndInQuadrature)
{
    struct Case
    {
        double kickPhase, kickSign, percent, tolerance;
    };
    for (const auto c : { Case { 0.0, 1.0, 100.0, 1.0e-3 }, Case { 0.0, -1.0, 0.0, 1.0e-3 }, Case { 0.5 * kPi, 1.0, 50.0, 1.0 } })
    {
        SCOPED_TRACE (c.percent);
        PhaseEfficiencyMeter m;
        m.prepare (kRate);
        feed (m, tone (50.0, 0.5, 4 * kHalfSecond), tone (50.0, 0.5 * c.kickSign, 4 * kHalfSecond, c.kickPhase), kHalfSecond);
        const auto r = m.getReading();
        EXPECT_EQ (r.state, State::Valid);
        EXPECT_NEAR (r.percent, c.percent, c.tolerance);
        EXPECT_NEAR (r.stability, 1.0f, 1.0e-3f);
        // Equal levels couple fully: in or against phase the interaction sits at the cap.
        if (c.kickPhase > 0.0)
        {
            EXPECT_GT (r.interactionDb, 30.0f);
        }
        else
        {
            EXPECT_NEAR (r.interactionDb, kCappedInteractionDb, 0.01f);
        }
    }
    EXPECT_NEAR (kCappedInteractionDb, 63.0f, 0.02f);
}

TEST (PhaseEfficiencyMeter, ReadsMeasuringUntilTheFirstDivisionAndAfterReset)
{
    PhaseEfficiencyMeter m;
    m.prepare (kRate);
    expectSameReading (m.getReading(), {});
    const auto bass = tone (50.0, 0.5, 2 * kHalfSecond), kick = tone (50.0, 0.4, 2 * kHalfSecond, 1.0);
    feed (m, bass, kick, kHalfSecond);
    ASSERT_EQ (m.getReading().state, State::Valid);

    m.reset();
    expectSameReading (m.getReading(), {});
    EXPECT_EQ (m.divisionSampleCount(), 0);
    // Nothing of the old history, filters or phasors survives.
    PhaseEfficiencyMeter fresh;
    fresh.prepare (kRate);
    feed (m, bass, kick, kHalfSecond);
    feed (fresh, bass, kick, kHalfSecond);
    expectSameReading (m.getReading(), fresh.getReading());
}

TEST (PhaseEfficiencyMeter, UnusableRatesActAsFortyFourPointOneKilohertz)
{
    const auto bass = tone (50.0, 0.5, 30000, 0.0, 44100.0), kick = tone (50.0, 0.5, 30000, 1.0, 44100.0);
    PhaseEfficiencyMeter expected;
    expected.prepare (44100.0);
    feed (expected, bass, kick, 22050);
    ASSERT_EQ (expected.getReading().state, State::Valid);

    for (const double rate : { 0.0, -48000.0, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity() })
    {
        SCOPED_TRACE (rate);
        PhaseEfficiencyMeter m;
        m.prepare (rate);
        feed (m, bass, kick, 22050);
        expectSameReading (m.getReading(), expected.getReading());
        expectSameReading (PhaseEfficiencyMeter::evaluateBuffer (bass.data(), kick.data(), 30000, rate),
                           PhaseEfficiencyMeter::evaluateBuffer (bass.data(), kick.data(), 30000, 44100.0));
    }
}

TEST (PhaseEfficiencyMeter, SilenceOnEitherInputGivesNoLowEndWithoutHistory)
{
    const auto sine = tone (50.0, 0.5, kHalfSecond), silence = std::vector<float> (kHalfSecond, 0.0f);
    for (const bool bassSilent : { true, false })
    {
        PhaseEfficiencyMeter m;
        m.prepare (kRate);
        feed (m, bassSilent ? silence : sine, bassSilent ? sine : silence, kHalfSecond);
        expectSameReading (m.getReading(), { State::NoLowEnd, 50.0f, 0.0f, 0.0f });
    }
}

// In-phase history, then the kick stops: the division with its decay is still active, after that
// each quarter second is quiet.
class PhaseEfficiencyMeterQuiet : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m.prepare (kRate);
        feed (m, tone (50.0, 0.5, 2 * kHalfSecond), tone (50.0, 0.5, 2 * kHalfSecond), kHalfSecond);
        quiet (1);
        ASSERT_EQ (m.getReading().state, State::Valid);
        held = m.getReading();
        ASSERT_NEAR (held.percent, 100.0f, 1.0e-3f);
    }

    void quiet (int quarters)
    {
        const auto bass = tone (50.0, 0.5, quarters * 12000);
        feed (m, bass, std::vector<float> (bass.size(), 0.0f), 12000);
    }

    PhaseEfficiencyMeter m;
    PhaseMeterReading held;
};

TEST_F (PhaseEfficiencyMeterQuiet, HoldTheReadingForLessThanThreeQuartersOfASecond)
{
    quiet (2);
    expectSameReading (m.getReading(), held);
    quiet (1);
    expectSameReading (m.getReading(), { State::NoLowEnd, 50.0f, 0.0f, 0.0f });
}

TEST_F (PhaseEfficiencyMeterQuiet, DropTheHistoryAfterThreeSeconds)
{
    // An inverted kick after the gap: smoothed into the in-phase history it still reads in phase,
    // on its own it reads cancelling.
    for (const auto& [quarters, freshStart] : { std::pair { 11, false }, std::pair { 12, true } })
    {
        SCOPED_TRACE (quarters);
        SetUp();
        quiet (quarters);
        EXPECT_EQ (m.getReading().state, State::NoLowEnd);
        feed (m, tone (50.0, 0.5, kHalfSecond), tone (50.0, -0.5, kHalfSecond), kHalfSecond);
        EXPECT_EQ (m.getReading().state, State::Valid);
        if (freshStart)
        {
            EXPECT_LT (m.getReading().percent, 5.0f);
        }
        else
        {
            EXPECT_GT (m.getReading().percent, 95.0f);
        }
    }
}

TEST (PhaseEfficiencyMeter, LevelAndCouplingDecideBetweenNoLowEndLowInteractionAndValid)
{
    struct Case
    {
        double kickGain;
        State state;
    };
    // The kick is the bass scaled by r, so the coupling is exactly 2r / (1 + r²).
    for (const auto c : { Case { 3.1623e-4, State::NoLowEnd }, // −70 dBFS
                          Case { 0.005, State::LowInteraction },
                          Case { 0.02, State::Valid } })
    {
        SCOPED_TRACE (c.kickGain);
        const auto bass = tone (50.0, 1.0, 2 * kHalfSecond);
        auto kick = bass;
        for (auto& x : kick)
            x = static_cast<float> (x * c.kickGain);
        PhaseEfficiencyMeter m;
        m.prepare (kRate);
        feed (m, bass, kick, kHalfSecond);
        const auto r = m.getReading();
        EXPECT_EQ (r.state, c.state);
        if (c.state != State::NoLowEnd)
        {
            const double coupling = 2.0 * c.kickGain / (1.0 + c.kickGain * c.kickGain);
            EXPECT_NEAR (r.interactionDb, 10.0 * std::log10 ((1.0 + coupling) / (1.0 - coupling)), 1.0e-4);
        }
    }
}

TEST (PhaseEfficiencyMeter, PolarityAlternatingPerBeatVariesPerBeat)
{
    PhaseEfficiencyMeter m;
    m.prepare (kRate);
    const auto kick = tone (50.0, 0.5, kHalfSecond);
    for (int beat = 0; beat < 20; ++beat)
    {
        // Continuous across the beat except for the flip, like a bass whose polarity alternates.
        feed (m, tone (50.0, beat % 2 == 0 ? 0.5 : -0.5, kHalfSecond), kick, kHalfSecond);
        if (beat == 0)
        {
            EXPECT_EQ (m.getReading().state, State::Valid);
        }
    }
    const auto r = m.getReading();
    EXPECT_EQ (r.state, State::VariesPerBeat);
    // Alternating ±1 smoothed with w = 1 − e^(−0.5/1.75) settles at w / (2 − w) of the magnitude,
    // the distance to it shrinking by 1 − w a division.
    const double w = 1.0 - std::exp (-0.5 / 1.75);
    EXPECT_NEAR (r.stability, w / (2.0 - w), 0.01);
}

TEST (PhaseEfficiencyMeter, DivisionsShorterThanFiftyMillisecondsRollIntoTheNext)
{
    const auto bass = tone (50.0, 0.5, kHalfSecond), kick = tone (63.0, 0.5, kHalfSecond, 0.3);
    for (const int first : { 1920, 2399, 2400 })
    {
        SCOPED_TRACE (first);
        PhaseEfficiencyMeter m, whole;
        m.prepare (kRate);
        whole.prepare (kRate);
        m.pushBlock (bass.data(), kick.data(), first, kNeverClose);
        m.endDivision();
        const bool closed = first >= 2400;
        EXPECT_EQ (m.divisionSampleCount(), closed ? 0 : first);
        EXPECT_EQ (m.getReading().state, closed ? State::Valid : State::Measuring);

        m.pushBlock (bass.data() + first, kick.data() + first, kHalfSecond - first, kNeverClose);
        m.endDivision();
        whole.pushBlock (bass.data(), kick.data(), kHalfSecond, kNeverClose);
        whole.endDivision();
        if (closed)
        {
            EXPECT_NE (m.getReading().percent, whole.getReading().percent);
        }
        else
        {
            expectSameReading (m.getReading(), whole.getReading());
        }
    }
}

// pushBlock must close exactly where pushing one pair at a time and closing once the division
// holds closeAtCount would, including counts below the shortest division endDivision accepts.
TEST (PhaseEfficiencyMeter, PushBlockClosesWherePushingPairByPairWould)
{
    // Notes with gaps, so some divisions are quiet.
    auto bass = tone (50.0, 0.5, 70000), kick = tone (80.0, 0.3, 70000, 0.7);
    for (std::size_t i = 30000; i < 45000; ++i)
        kick[i] = 0.0f;

    for (const std::int64_t closeAt : { std::int64_t { kHalfSecond }, std::int64_t { 100 }, std::int64_t { 0 }, std::int64_t { 2400 },
                                        std::int64_t { 2401 }, kNeverClose })
    {
        SCOPED_TRACE (closeAt);
        PhaseEfficiencyMeter blockwise, pairwise;
        blockwise.prepare (kRate);
        pairwise.prepare (kRate);
        for (std::size_t i = 0; i < bass.size(); i += 500)
        {
            blockwise.pushBlock (bass.data() + i, kick.data() + i, 500, closeAt);
            for (std::size_t j = i; j < i + 500; ++j)
            {
                pairwise.push (bass[j], kick[j]);
                if (pairwise.divisionSampleCount() >= closeAt)
                    pairwise.endDivision();
            }
            ASSERT_EQ (blockwise.divisionSampleCount(), pairwise.divisionSampleCount());
            expectSameReading (blockwise.getReading(), pairwise.getReading());
        }
        if (closeAt == kHalfSecond)
        {
            EXPECT_EQ (blockwise.divisionSampleCount(), 70000 % kHalfSecond);
        }
        if (closeAt < 2400)
        {
            EXPECT_EQ (blockwise.divisionSampleCount(), 70000 % 2400);
        }
    }
}

TEST (PhaseEfficiencyMeter, NonFiniteSamplesCountAsSilence)
{
    auto bass = tone (50.0, 0.5, 3 * kHalfSecond), kick = tone (50.0, 0.5, 3 * kHalfSecond, 0.4);
    auto zeroed = bass, poisoned = bass;
    for (std::size_t i = 1000; i < 1010; ++i)
    {
        zeroed[i] = 0.0f;
        poisoned[i] = i % 2 == 0 ? std::numeric_limits<float>::quiet_NaN() : -std::numeric_limits<float>::infinity();
    }
    kick[20000] = std::numeric_limits<float>::infinity();
    auto zeroedKick = kick;
    zeroedKick[20000] = 0.0f;

    PhaseEfficiencyMeter a, b;
    a.prepare (kRate);
    b.prepare (kRate);
    feed (a, poisoned, kick, kHalfSecond);
    feed (b, zeroed, zeroedKick, kHalfSecond);
    EXPECT_EQ (a.getReading().state, State::Valid);
    expectSameReading (a.getReading(), b.getReading());
}

TEST (PhaseEfficiencyMeter, EvaluateBufferScoresOneDivision)
{
    const auto bass = tone (50.0, 0.5, 36000), kick = tone (63.0, 0.4, 36000, 2.0);
    for (const int count : { 0, 1 })
        expectSameReading (PhaseEfficiencyMeter::evaluateBuffer (count == 0 ? nullptr : bass.data(), count == 0 ? nullptr : kick.data(),
                                                                 count, kRate),
                           { State::NoLowEnd, 50.0f, 0.0f, 0.0f });

    // The live meter's first division replaces its empty history, so it reads the same.
    PhaseEfficiencyMeter live;
    live.prepare (kRate);
    live.pushBlock (bass.data(), kick.data(), 36000, kNeverClose);
    live.endDivision();
    const auto r = PhaseEfficiencyMeter::evaluateBuffer (bass.data(), kick.data(), 36000, kRate);
    expectSameReading (r, live.getReading());
    EXPECT_EQ (r.state, State::Valid);
    EXPECT_EQ (r.stability, 1.0f);

    const std::vector<float> quiet (36000, 1.0e-4f);
    EXPECT_EQ (PhaseEfficiencyMeter::evaluateBuffer (bass.data(), quiet.data(), 36000, kRate).state, State::NoLowEnd);
}

TEST (PhaseEfficiencyMeter, EvaluateScoresHandMadeSums)
{
    struct Case
    {
        std::complex<double> cross0, cross1;
        double magnitude0, magnitude1, bassEnergy, kickEnergy;
        PhaseMeterReading expected;
    };
    const auto db = [] (double c) { return static_cast<float> (10.0 * std::log10 ((1.0 + c) / (1.0 - c))); };
    // 3 + 4i and −1 give S = 6 and a mean cosine of 2/6.
    const Case cases[] = {
        { { 3, 4 }, -1, 10.0, 2.0, 10.0, 20.0, { State::Valid, 200.0f / 3.0f, 0.5f, db (0.4) } },
        { { 3, 4 }, -1, 28.0, 2.0, 10.0, 20.0, { State::VariesPerBeat, 200.0f / 3.0f, 0.2f, db (0.4) } },
        // Low interaction wins over an unsteady relation.
        { { 3, 4 }, -1, 28.0, 2.0, 1000.0, 1000.0, { State::LowInteraction, 200.0f / 3.0f, 0.2f, db (0.006) } },
        { { 3, 4 }, -1, 10.0, 2.0, 3.0, 3.0, { State::Valid, 200.0f / 3.0f, 0.5f, db (0.999999) } },
        { -5, 0, 5.0, 0.0, 2.5, 2.5, { State::Valid, 0.0f, 1.0f, db (0.999999) } },
        { 0, 0, 0.0, 0.0, 0.0, 0.0, { State::LowInteraction, 50.0f, 0.0f, 0.0f } },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.magnitude0);
        const std::complex<double> cross[8] { c.cross0, c.cross1 };
        const double magnitude[8] { c.magnitude0, c.magnitude1 };
        const auto r = PhaseEfficiencyMeter::evaluate (cross, magnitude, c.bassEnergy, c.kickEnergy);
        EXPECT_EQ (r.state, c.expected.state);
        EXPECT_NEAR (r.percent, c.expected.percent, 1.0e-4f);
        EXPECT_NEAR (r.stability, c.expected.stability, 1.0e-6f);
        EXPECT_NEAR (r.interactionDb, c.expected.interactionDb, 1.0e-5f);
    }
    EXPECT_NEAR (db (0.999999), 63.0103f, 1.0e-4f);
}

TEST (PhaseEfficiencyMeter, PushingAndClosingNeitherAllocateNorLock)
{
    PhaseEfficiencyMeter m;
    m.prepare (kRate);
    const auto bass = tone (50.0, 0.5, 3 * kHalfSecond), kick = tone (50.0, 0.5, 3 * kHalfSecond, 1.0);
    const RealtimeGuard guard;
    feed (m, bass, kick, kHalfSecond);
    for (int i = 0; i < 1000; ++i)
        m.push (bass[static_cast<std::size_t> (i)], kick[static_cast<std::size_t> (i)]);
    m.endDivision();
    EXPECT_EQ (m.getReading().state, State::Valid);
    EXPECT_EQ (guard.allocations(), 0);
    EXPECT_EQ (guard.blockingLocks(), 0);
}

TEST (PhaseEfficiencyMeter, AMeterThatTookOverAnothersStateGoesOnAsIfItHadHeardTheSame)
{
    const auto bass = tone (50.0, 0.5, 3 * kHalfSecond), kick = tone (50.0, 0.5, 3 * kHalfSecond, 1.0);
    const auto later = tone (63.0, 0.4, 2 * kHalfSecond, 0.3), laterKick = tone (63.0, 0.5, 2 * kHalfSecond);
    PhaseEfficiencyMeter heard, tookOver;
    heard.prepare (kRate);
    tookOver.prepare (kRate);
    feed (heard, bass, kick, kHalfSecond);
    feed (tookOver, kick, bass, kHalfSecond); // something else entirely
    tookOver.copyStateFrom (heard);
    expectSameReading (tookOver.getReading(), heard.getReading());

    feed (heard, later, laterKick, kHalfSecond);
    feed (tookOver, later, laterKick, kHalfSecond);
    expectSameReading (tookOver.getReading(), heard.getReading());
    EXPECT_EQ (tookOver.divisionSampleCount(), heard.divisionSampleCount());
}
