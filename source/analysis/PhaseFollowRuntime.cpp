#include "analysis/PhaseFollowRuntime.h"

#include "analysis/ManualAnalysisSearch.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace
{
constexpr float kBassSilence = 0.001f;    // below this on both channels the bass counts as silent
constexpr float kSwapSilence = 1.0e-5f;   // every rendered value this small: a swap is inaudible
constexpr float kQuietGap = 0.001f;       // level of a gap a dip may hide in
constexpr float kCountLevel = 1.0e-4f;    // verification counts samples above this
constexpr float kSampleLimit = 1.0e6f;
constexpr double kMinEnergy = 1.0e-8;
constexpr double kVerifyMargin = 0.05;
constexpr int kResultsPerBlock = 8;
constexpr float kMinImprovement = 5.0f, kStrongImprovement = 12.0f;
constexpr float kFollowingPercent = 65.0f;

bool positiveNormal (float v) noexcept
{
    return std::isnormal (v) && v > 0.0f;
}

// What a result must have been measured under to speak about what plays now.
bool sameRendering (const PhaseFollowSettings& a, const PhaseFollowSettings& b) noexcept
{
    const std::equal_to<float> same;
    return same (a.delayMs, b.delayMs) && same (a.allPassFreqHz, b.allPassFreqHz) && same (a.allPassQ, b.allPassQ)
           && a.flip == b.flip;
}

// Two proposals agree when they would sound the same.
bool agree (const PhaseFollowSettings& a, const PhaseFollowSettings& b) noexcept
{
    return a.flip == b.flip && a.allPassOn == b.allPassOn && std::abs (a.delayMs - b.delayMs) <= 0.3f
           && std::abs (a.allPassFreqHz - b.allPassFreqHz) <= 15.0f && std::abs (a.allPassQ - b.allPassQ) <= 0.25f;
}

void configureFilter (AllPassFilter& f, const PhaseFollowSettings& s) noexcept
{
    f.setCenterFrequency (std::clamp (s.allPassFreqHz, 20.0f, 500.0f));
    f.setQ (std::clamp (s.allPassQ, 0.1f, 5.0f));
    f.setEnabled (s.allPassOn);
    f.reset();
}
} // namespace

void PhaseFollowRuntime::Renderer::load (const PhaseFollowSettings& s, double sampleRate) noexcept
{
    settings = s;
    for (auto& f : filter)
    {
        f.prepare (sampleRate);
        configureFilter (f, s);
    }
}

void PhaseFollowRuntime::Renderer::render (float inLeft, float inRight, float& outLeft, float& outRight) noexcept
{
    const float sign = settings.flip ? -1.0f : 1.0f;
    const auto one = [this, sign] (AllPassFilter& f, float x)
    {
        const float y = f.processSample (sign * x);
        if (std::isfinite (y))
            return y;
        f.reset();
        return 0.0f;
    };
    outLeft = one (filter[0], inLeft);
    outRight = one (filter[1], inRight);
}

bool PhaseFollowRuntime::Verification::margin (double& out) const noexcept
{
    if (playing < kMinEnergy || candidate < kMinEnergy || kick < kMinEnergy)
        return false;
    const double playingCorrelation = playingCross / std::sqrt (playing * kick);
    const double candidateCorrelation = candidateCross / std::sqrt (candidate * kick);
    if (! (candidateCorrelation > 0.0))
        return false;
    out = candidateCorrelation - playingCorrelation;
    return std::isfinite (out);
}

void PhaseFollowRuntime::prepare (double sampleRate)
{
    rate = std::isfinite (sampleRate) && sampleRate > 0.0 ? sampleRate : 44100.0;
    analyzer.prepare (rate);
    transition.prepare (rate);
    silenceLength = std::max (static_cast<int> (0.002 * rate), 1);
    maxResultAge = static_cast<std::int64_t> (0.35 * rate);
    captureFilter.prepare (rate);
    reset();
}

void PhaseFollowRuntime::reset() noexcept
{
    invalidate();
    followActive = false;
    followSettings = block.manual;
    candidatePending = restoreCandidate = false;
    transition.prepare (rate);
    playingIndex = 0;
    renderers[0].load (block.manual, rate);
    bassSilent = false;
    silentRun = 0;
    configured = false;
    status.store (static_cast<int> (Status::off), std::memory_order_relaxed);
    publishCorrection();
}

void PhaseFollowRuntime::invalidate() noexcept
{
    ++epoch;
    confirmations = 0;
    dropCandidate();
    resetCapture (false);
}

void PhaseFollowRuntime::resetCapture (bool newEpoch) noexcept
{
    if (newEpoch)
        ++epoch;
    captureRunning = false;
    analyzer.resetRing();
    analyzer.bumpToken();
    analyzer.freePendingCapture();
    resetMarkSample = sampleCounter;
    ++resetMarkCount;
}

bool PhaseFollowRuntime::prepareFollowCandidate (const PhaseFollowSettings& candidate) noexcept
{
    // The way back to the manual settings comes first: nothing replaces it once it is on its way.
    if (candidatePending && restoreCandidate)
        return false;
    if (AlignmentStage::delayInSamples (candidate.delayMs, rate) != block.manualDelaySamples)
    {
        status.store (static_cast<int> (Status::holding), std::memory_order_relaxed);
        return false;
    }
    renderers[1 - playingIndex].load (candidate, rate);
    lastProposal = candidate;
    candidateTime = sampleCounter;
    transition.candidateSamples = 0;
    transition.quietRun = 0;
    candidatePending = true;
    restoreCandidate = false;
    verification.clear();
    return true;
}

void PhaseFollowRuntime::dropCandidate() noexcept
{
    // The way back to the manual settings is never abandoned.
    if (! candidatePending || restoreCandidate)
        return;
    candidatePending = false;
    verification.clear();
    transition.cancelDip();
}

void PhaseFollowRuntime::beginBlock (const BlockSettings& s) noexcept
{
    const bool configurationChanged = ! configured || s.manual != lastManual || s.followOn != block.followOn
                                      || s.sidechainPresent != block.sidechainPresent || s.restoreCount != block.restoreCount;
    block = s;
    analyzer.setEnabled (s.followOn && s.sidechainPresent);

    if (configurationChanged)
    {
        invalidate();
        // Whatever changed, a follow correction that plays hands back to the manual settings
        // first; following starts over from there.
        if (followActive)
        {
            renderers[1 - playingIndex].load (s.manual, rate);
            candidatePending = restoreCandidate = true;
            candidateTime = sampleCounter;
            transition.candidateSamples = 0;
            transition.quietRun = 0;
            verification.clear();
        }
        if (s.followOn)
            status.store (static_cast<int> (Status::acquiring), std::memory_order_relaxed);
    }
    configured = true;
    lastManual = s.manual;

    if (! followActive)
    {
        followSettings = s.manual;
        if (renderers[playingIndex].settings != s.manual)
            renderers[playingIndex].load (s.manual, rate);
    }

    if (candidatePending && ! restoreCandidate && sampleCounter - candidateTime > static_cast<std::uint64_t> (maxResultAge))
        dropCandidate();

    if (! s.followOn)
        status.store (static_cast<int> (followActive ? Status::restoring : Status::off), std::memory_order_relaxed);
    else if (! s.sidechainPresent)
        status.store (static_cast<int> (Status::holding), std::memory_order_relaxed);

    pollPhaseFollowResults();
    publishCorrection();
}

void PhaseFollowRuntime::pollPhaseFollowResults() noexcept
{
    PhaseFollowResult r;
    if (! block.followOn || ! block.sidechainPresent)
    {
        while (analyzer.pollResult (r))
            lastSequence = std::max (lastSequence, r.sequence);
        return;
    }
    for (int taken = 0; taken < kResultsPerBlock && analyzer.pollResult (r); ++taken)
        judge (r);
}

bool PhaseFollowRuntime::usable (const PhaseFollowResult& r) const noexcept
{
    const float delay = r.settingsInEffect.delayMs;
    return std::isfinite (delay) && std::isfinite (r.allPassFreqHz) && std::isfinite (r.allPassQ) && std::abs (delay) <= 10.0f
           && r.allPassFreqHz >= 20.0f && r.allPassFreqHz <= 500.0f && r.allPassQ >= 0.1f && r.allPassQ <= 5.0f
           && AlignmentStage::delayInSamples (delay, rate) == block.manualDelaySamples;
}

void PhaseFollowRuntime::judge (const PhaseFollowResult& r) noexcept
{
    if (r.epoch != epoch || r.sequence <= lastSequence || r.captureEnd > sampleCounter
        || sampleCounter - r.captureEnd > static_cast<std::uint64_t> (maxResultAge)
        || ! sameRendering (r.settingsInEffect, followSettings))
        return;
    lastSequence = r.sequence;
    if (r.settingsInEffect.allPassOn != followSettings.allPassOn)
        return;

    status.store (static_cast<int> (Status::holding), std::memory_order_relaxed);

    // A candidate already shown to beat what plays is not second-guessed by one more window.
    double margin = 0.0;
    if (candidatePending && verification.counted >= transition.getVerificationLength() && verification.margin (margin)
        && margin > kVerifyMargin)
        return;

    PhaseFollowSettings proposal { r.settingsInEffect.delayMs, r.allPassFreqHz, r.allPassQ, r.flip, r.allPassOn };
    if (r.improved && usable (r) && r.improvement >= kMinImprovement)
    {
        // Two agreeing windows in a row, or one strong one, make a candidate.
        if (confirmations > 0 && agree (proposal, lastProposal))
        {
            ++confirmations;
            if (! candidatePending)
                prepareFollowCandidate (proposal);
        }
        else
        {
            lastProposal = proposal;
            confirmations = 1;
            if (r.improvement >= kStrongImprovement)
                prepareFollowCandidate (proposal);
        }
        return;
    }

    dropCandidate();
    confirmations = 0;
    if (followActive && r.beforePercent >= kFollowingPercent)
        status.store (static_cast<int> (Status::following), std::memory_order_relaxed);
}

bool PhaseFollowRuntime::candidateVerified() const noexcept
{
    if (restoreCandidate)
        return true;
    double margin = 0.0;
    return verification.counted >= transition.getVerificationLength() && verification.margin (margin) && margin > kVerifyMargin;
}

void PhaseFollowRuntime::swapRenderers() noexcept
{
    playingIndex = 1 - playingIndex;
    followActive = ! restoreCandidate;
    followSettings = restoreCandidate ? block.manual : renderers[playingIndex].settings;
    candidatePending = restoreCandidate = false;
    verification.clear();
    transition.quietRun = 0;
    publishCorrection();
}

void PhaseFollowRuntime::feedCapture (const Frame& f) noexcept
{
    // A note after silence is a new situation: what was measured before no longer applies.
    if (std::abs (f.rawLeft) <= kBassSilence && std::abs (f.rawRight) <= kBassSilence)
    {
        if (++silentRun >= silenceLength)
            bassSilent = true;
    }
    else
    {
        silentRun = 0;
        if (bassSilent)
        {
            bassSilent = false;
            confirmations = 0;
            dropCandidate();
            resetCapture (true);
            status.store (static_cast<int> (Status::acquiring), std::memory_order_relaxed);
        }
    }

    const auto inRange = [] (float v) { return std::isfinite (v) && std::abs (v) <= kSampleLimit; };
    if (! inRange (f.rawLeft) || ! inRange (f.rawRight) || ! inRange (f.rawKick) || ! std::isfinite (followSettings.delayMs)
        || std::abs (followSettings.delayMs) > 10.0f || ! positiveNormal (followSettings.allPassFreqHz)
        || ! positiveNormal (followSettings.allPassQ))
    {
        resetCapture (false);
        return;
    }

    if (analyzer.getEpoch() != epoch)
    {
        analyzer.setEpoch (epoch);
        resetCapture (false);
    }
    if (captureRunning && (captureEpoch != epoch || sampleCounter != lastCaptureSample + 1 || captureSettings != followSettings))
        resetCapture (false);
    if (! captureRunning)
    {
        captureRunning = true;
        captureEpoch = epoch;
        captureSettings = followSettings;
        configureFilter (captureFilter, captureSettings);
        const int settling = captureSettings.allPassOn
                                 ? lumetta::phasesearch::allPassSettlingSamples (captureSettings.allPassFreqHz, captureSettings.allPassQ, rate)
                                 : static_cast<int> (std::ceil (0.012 * rate));
        settledFrom = sampleCounter + static_cast<std::uint64_t> (std::max (settling, 0));
    }

    const float bassMono = 0.5f * (f.rawLeft + f.rawRight);
    const float rendered = captureFilter.processSample (captureSettings.flip ? -bassMono : bassMono);
    lastCaptureSample = sampleCounter;
    if (analyzer.write (bassMono, f.rawKick, std::isfinite (rendered) ? rendered : 0.0f))
    {
        const bool handedOver = analyzer.publishCapture (sampleCounter, 0, { captureSettings, epoch, resetMarkSample, resetMarkCount, settledFrom });
        // Offline the analysis happens here and now, so a bounce comes out the same every time.
        if (handedOver && block.offline)
        {
            analyzer.drainSynchronously();
            pollPhaseFollowResults();
        }
    }
}

void PhaseFollowRuntime::process (const Frame& f, const AlignmentStage& line, float& outLeft, float& outRight) noexcept
{
    if (block.sidechainPresent && analyzer.isEnabled())
        feedCapture (f);

    float playL = f.manualLeft, playR = f.manualRight;
    if (followActive)
        renderers[playingIndex].render (f.delayedLeft, f.delayedRight, playL, playR);

    if (candidatePending)
    {
        float candL = 0.0f, candR = 0.0f;
        renderers[1 - playingIndex].render (f.delayedLeft, f.delayedRight, candL, candR);
        ++transition.candidateSamples;

        if (! restoreCandidate)
        {
            auto& v = verification;
            const double p = 0.5 * (playL + playR), c = 0.5 * (candL + candR), k = f.delayedKick;
            const double a = 1.0 - transition.getSmoothingCoefficient();
            v.playing += (p * p - v.playing) * a;
            v.candidate += (c * c - v.candidate) * a;
            v.kick += (k * k - v.kick) * a;
            v.playingCross += (p * k - v.playingCross) * a;
            v.candidateCross += (c * k - v.candidateCross) * a;
            if (std::abs (k) > kCountLevel && (std::abs (p) > kCountLevel || std::abs (c) > kCountLevel))
                ++v.counted;
        }

        const auto silentValue = [] (float x) { return std::abs (x) <= kSwapSilence; };
        const bool allSilent = silentValue (playL) && silentValue (playR) && silentValue (candL) && silentValue (candR);
        transition.quietRun = allSilent ? transition.quietRun + 1 : 0;

        const bool settled = transition.candidateSamples >= static_cast<std::uint64_t> (transition.getVerificationLength());
        if (! transition.isActive() && settled && candidateVerified())
        {
            if (transition.quietRun >= transition.getShortLength())
            {
                swapRenderers();
                playL = candL;
                playR = candR;
            }
            else if (sampleCounter % 16 == 0 && std::max (std::abs (playL), std::abs (playR)) <= kQuietGap
                     && std::max (std::abs (candL), std::abs (candR)) <= kQuietGap
                     && line.isQuietAhead (transition.getShortLength() + 2 * transition.getRampLength(), kQuietGap))
                transition.beginDip();
        }
        // At the bottom of the dip the candidate takes over.
        if (transition.advance())
        {
            swapRenderers();
            playL = candL;
            playR = candR;
        }
    }
    else
        transition.advance();

    const float gain = transition.getGain();
    outLeft = playL * gain;
    outRight = playR * gain;
    ++sampleCounter;
}

void PhaseFollowRuntime::publishCorrection() noexcept
{
    std::uint32_t bits = 0;
    std::memcpy (&bits, &followSettings.allPassFreqHz, sizeof (bits));
    const std::uint64_t word = bits | (followSettings.allPassOn ? (std::uint64_t { 1 } << 32) : 0)
                               | (followSettings.flip ? (std::uint64_t { 1 } << 33) : 0);
    published.store (word, std::memory_order_relaxed);
    publishedQ.store (followSettings.allPassQ, std::memory_order_relaxed);
}

PhaseFollowSettings PhaseFollowRuntime::decodeCorrection (std::uint64_t word) noexcept
{
    PhaseFollowSettings s;
    const auto bits = static_cast<std::uint32_t> (word & 0xffffffffu);
    std::memcpy (&s.allPassFreqHz, &bits, sizeof (bits));
    s.allPassOn = (word >> 32) & 1u;
    s.flip = (word >> 33) & 1u;
    return s;
}

void PhaseFollowRuntime::showLookahead (Status s, const PhaseFollowTrajectoryPlanner::RendererState& playing) noexcept
{
    status.store (static_cast<int> (s), std::memory_order_relaxed);
    followSettings.flip = playing.flip;
    followSettings.allPassOn = playing.allPassOn;
    followSettings.allPassFreqHz = playing.allPassFreqHz;
    followSettings.allPassQ = playing.allPassQ;
    publishCorrection();
}
