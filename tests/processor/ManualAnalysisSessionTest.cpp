#include "helpers/TransportRig.h"
#include "processor/ManualAnalysisSession.h"
#include "processor/ParameterIds.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <numbers>
#include <thread>

namespace
{
using State = ManualAnalysisSession::State;
using Overlay = ManualAnalysisSession::Overlay;

constexpr int kSecond = 48000;

// A kick on every beat at 120 BPM: a pitch-swept sine that decays in about 150 ms, with a 10 ms
// 1 kHz click on top. Without the click a lag a few samples off would score within the search's
// margin for smaller lags, and the proposal would round to a neighbouring tenth.
float kick (std::int64_t n)
{
    const double t = static_cast<double> (n % 24000) / 48000.0;
    const double phase = 2.0 * std::numbers::pi * (50.0 * t + 60.0 * 0.03 * (1.0 - std::exp (-t / 0.03)));
    const double click = t < 0.01 ? std::sin (2.0 * std::numbers::pi * 1000.0 * t) : 0.0;
    return static_cast<float> (0.5 * std::sin (phase) * std::exp (-t / 0.15) + 0.5 * click);
}

struct SessionRig
{
    explicit SessionRig (HarnessConfig config = { 48000.0, 512, 2, 1 }) : rig ({}, config), session (rig.processor()) {}

    // Ticks as the editor's status timer does, playing audio between ticks, until the analysis
    // is no longer running.
    void analyse (const TransportRig::Signal& bass, const TransportRig::Signal& kickSignal)
    {
        session.press();
        ASSERT_EQ (session.getState(), State::analysing);
        for (int tick = 0; tick < 400 && session.getState() == State::analysing; ++tick)
        {
            rig.run (4800, bass, kickSignal);
            session.tick();
            if (tick > 12)
                std::this_thread::sleep_for (std::chrono::milliseconds (10));
        }
        ASSERT_NE (session.getState(), State::analysing) << "no result";
    }

    float parameter (const char* id) { return rig.processor().parameters.getRawParameterValue (id)->load(); }

    TransportRig rig;
    ManualAnalysisSession session;
};

float inverted (std::int64_t n)
{
    return -kick (n);
}
} // namespace

TEST (ManualAnalysisSession, APressThatCannotStartSaysWhy)
{
    SessionRig noSidechain ({ 48000.0, 512, 2, 0 });
    noSidechain.rig.run (2 * kSecond, kick);
    noSidechain.session.press();
    EXPECT_EQ (noSidechain.session.getText(), "No sidechain signal detected.\nRoute your kick to the sidechain input.");
    EXPECT_EQ (noSidechain.session.getOverlay(), Overlay::message);
    EXPECT_EQ (noSidechain.session.getState(), State::idle);

    SessionRig early;
    early.rig.run (kSecond / 2, inverted, kick);
    early.session.press();
    EXPECT_EQ (early.session.getText(), "Not enough audio captured.\nPlay audio for a few seconds first.");
    EXPECT_EQ (early.session.getButtonText(), "ANALYZE");
}

TEST (ManualAnalysisSession, AnInvertedBassIsOfferedTheFlipAndApplyWritesIt)
{
    SessionRig s;
    s.rig.run (kSecond + 512, inverted, kick);
    s.analyse (inverted, kick);

    ASSERT_EQ (s.session.getState(), State::suggestion);
    EXPECT_EQ (s.session.getOverlay(), Overlay::suggestion);
    EXPECT_EQ (s.session.getButtonText(), "APPLY");
    EXPECT_TRUE (s.session.getText().startsWith ("Delay: +0.0ms  |  Flip: Yes\nAlignment: ")) << s.session.getText();
    EXPECT_TRUE (s.session.getText().endsWith ("\nCaptured audio; recheck the live meter after APPLY."));

    // ANALYZE reading APPLY applies, exactly like the oscilloscope's button.
    s.session.press();
    EXPECT_TRUE (s.rig.processor().polarityFlip.load());
    EXPECT_FLOAT_EQ (s.parameter ("delayMs"), 0.0f);
    EXPECT_EQ (s.session.getState(), State::idle);
    EXPECT_EQ (s.session.getOverlay(), Overlay::none);
    EXPECT_EQ (s.session.getButtonText(), "ANALYZE");
}

TEST (ManualAnalysisSession, ABassLateByThreeMillisecondsIsMovedEarlier)
{
    const auto late = [] (std::int64_t n) { return kick (n - 144); };
    SessionRig s;
    s.rig.run (kSecond + 512, late, kick);
    s.analyse (late, kick);
    ASSERT_EQ (s.session.getState(), State::suggestion) << s.session.getText();
    EXPECT_FLOAT_EQ (s.session.getResult().delayMs, -3.0f);
    s.session.apply();
    EXPECT_FLOAT_EQ (s.parameter ("delayMs"), -3.0f);
}

TEST (ManualAnalysisSession, CancelChangesNothing)
{
    SessionRig s;
    s.rig.run (kSecond + 512, inverted, kick);
    s.analyse (inverted, kick);
    ASSERT_EQ (s.session.getState(), State::suggestion);
    s.session.cancel();
    EXPECT_FALSE (s.rig.processor().polarityFlip.load());
    EXPECT_EQ (s.session.getOverlay(), Overlay::none);
    EXPECT_EQ (s.session.getButtonText(), "ANALYZE");
    s.session.apply(); // nothing is shown any more
    EXPECT_FALSE (s.rig.processor().polarityFlip.load());
}

TEST (ManualAnalysisSession, ASilentCaptureSaysNoAudio)
{
    SessionRig s;
    const TransportRig::Signal silence = [] (std::int64_t) { return 0.0f; };
    s.rig.run (kSecond + 512, kick, silence);
    s.analyse (kick, silence);
    EXPECT_EQ (s.session.getText(), "No audio detected.\nPlay audio for a few seconds and try again.");
    EXPECT_EQ (s.session.getState(), State::idle);
    EXPECT_EQ (s.session.getButtonText(), "ANALYZE");
}

TEST (ManualAnalysisSession, PhaseFollowTakesOverFromAShownSuggestion)
{
    SessionRig s;
    s.rig.run (kSecond + 512, inverted, kick);
    s.analyse (inverted, kick);
    ASSERT_EQ (s.session.getState(), State::suggestion);

    s.rig.harness.setParameter ("phaseFollow", 1.0f);
    s.session.press();
    EXPECT_EQ (s.session.getState(), State::idle);
    EXPECT_EQ (s.session.getOverlay(), Overlay::none);
    EXPECT_FALSE (s.rig.processor().polarityFlip.load());
}

TEST (ManualAnalysisSession, MovingTheDelayRestartsTheCapture)
{
    SessionRig s;
    s.rig.run (kSecond + 512, inverted, kick);
    ASSERT_TRUE (s.rig.processor().getPhaseAnalyzer().isCaptureFull());
    s.rig.harness.setParameter ("delayMs", 1.5f);
    s.rig.run (512, inverted, kick);
    EXPECT_FALSE (s.rig.processor().getPhaseAnalyzer().isCaptureFull());
    s.rig.run (kSecond, inverted, kick);
    EXPECT_TRUE (s.rig.processor().getPhaseAnalyzer().isCaptureFull());
}

TEST (ManualAnalysisSession, ApplyWritesTheAllPassClampedAndSwitchesItOffWhenNotProposed)
{
    SessionRig s;
    auto& p = s.rig.processor();
    ManualAnalysisResult r;
    r.hasResult = true;
    r.delayMs = 2.5f;
    r.allPassOn = true;
    r.allPassFreqHz = 140.0f;
    r.allPassQ = 9.0f;
    p.applyAnalysis (r);
    EXPECT_FLOAT_EQ (s.parameter ("delayMs"), 2.5f);
    EXPECT_FLOAT_EQ (s.parameter ("allPassFreq"), 140.0f);
    EXPECT_TRUE (p.allPassOn.load());
    EXPECT_FLOAT_EQ (p.allPassFreqHz.load(), 140.0f);
    EXPECT_FLOAT_EQ (p.allPassQ.load(), 5.0f);

    r.allPassOn = false;
    p.applyAnalysis (r);
    EXPECT_FALSE (p.allPassOn.load());
}
