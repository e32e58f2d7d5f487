#include "common/DemoSignal.h"

#include <cmath>
#include <numbers>

namespace lumetta::tools
{
DemoSignal makeDemoSignal (double rate)
{
    constexpr double kSeconds = 8.0;
    constexpr double kTwoPi = 2.0 * std::numbers::pi;
    // E1, E1, G1, A1 per bar, one note a beat: a plain low-end line.
    constexpr double kNotesHz[] = { 41.20, 41.20, 49.00, 55.00 };
    constexpr double kBassLagSeconds = 0.004;

    const int length = static_cast<int> (kSeconds * rate);
    const double beatSeconds = 60.0 / kDemoBpm;

    DemoSignal demo;
    demo.bass.setSize (2, length);
    demo.kick.setSize (1, length);

    double bassPhase = 0.0, kickPhase = 0.0;
    for (int i = 0; i < length; ++i)
    {
        const double t = i / rate;
        const int beat = static_cast<int> (t / beatSeconds);
        const double inBeat = t - beat * beatSeconds;

        // Kick: a pitch drop from 150 Hz to 48 Hz with an exponential decay.
        const double kickHz = 48.0 + 102.0 * std::exp (-inBeat / 0.03);
        kickPhase += kTwoPi * kickHz / rate;
        if (inBeat < 1.0 / rate)
            kickPhase = 0.0;
        const float kick = static_cast<float> (0.8 * std::exp (-inBeat / 0.12) * std::sin (kickPhase));
        demo.kick.setSample (0, i, kick);

        // Bass: fundamental with a little second harmonic, note by note, starting late.
        const double noteTime = inBeat - kBassLagSeconds;
        const double hz = kNotesHz[beat % 4];
        bassPhase += kTwoPi * hz / rate;
        const double env = noteTime < 0.0 ? 0.0
                                          : std::min (1.0, noteTime / 0.005) * std::exp (-noteTime / 0.35);
        const double s = env * (0.55 * std::sin (bassPhase) + 0.12 * std::sin (2.0 * bassPhase));
        demo.bass.setSample (0, i, static_cast<float> (s));
        demo.bass.setSample (1, i, static_cast<float> (s * 0.97));
    }
    return demo;
}
} // namespace lumetta::tools
