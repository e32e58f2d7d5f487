#include "processor/DuckEngine.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace dowsen
{
namespace
{
float envelopeCoefficient (double rate, double ms) noexcept
{
    return ms > 0.0 ? static_cast<float> (std::exp (-1.0 / (rate * ms / 1000.0))) : 0.0f;
}

float finiteOr (float v, float fallback) noexcept { return std::isfinite (v) ? v : fallback; }
} // namespace

DuckEngine::DuckEngine()
{
    table = &tables.acquire();
}

double DuckEngine::beatsForRate (int rateIndex) noexcept
{
    constexpr double beats[] { 0.25, 0.5, 1.0, 2.0, 4.0 };
    return rateIndex >= 0 && rateIndex <= 4 ? beats[rateIndex] : 1.0;
}

void DuckEngine::prepare (double rate, double hostBpm, int rateIndex)
{
    sampleRate = rate;
    samples1ms = std::max (1, static_cast<int> (std::lround (rate * 0.001)));
    samples2ms = std::max (1, static_cast<int> (std::lround (rate * 0.002)));
    samples5ms = std::max (1, static_cast<int> (std::lround (rate * 0.005)));
    samples18ms = static_cast<int> (0.018 * rate);
    samples40ms = static_cast<int> (0.04 * rate);
    fastAttack = envelopeCoefficient (rate, 0.5);
    fastRelease = envelopeCoefficient (rate, 120.0);
    slowFactor = static_cast<float> (1.0 - std::exp (-1.0 / (0.02 * rate)));
    peakDecay = static_cast<float> (std::exp (-1.0 / (3.0 * rate)));
    maxStep = static_cast<float> (1.0 / std::max (1.0, 0.003 * rate));
    recovery = static_cast<float> (1.0 - std::exp (-1.0 / (0.015 * rate)));
    learnCapture.assign (static_cast<size_t> (std::max (1, static_cast<int> (2.0 * rate))), 0.0f);
    learnCount = learnReadyCount = 0;
    const double beatSeconds = hostBpm < 20.0 ? 3.0 : 60.0 / std::min (hostBpm, 999.0);
    cycle = std::max (1, static_cast<int> (rate * beatSeconds * beatsForRate (rateIndex)));
    firstBlock = true;
    prepareLive();
    reset();
}

void DuckEngine::reset() noexcept
{
    gain = 1.0f;
    position = 1.0e12;
    cycleDone = true;
    previousPhase = 0.0f;
    learnHp.x1 = learnHp.y1 = triggerHp.x1 = triggerHp.y1 = 0.0f;
    learnEnvelope = fast = slow = peak = 0.0f;
    riseCount = holdoff = 0;
    countdown = -1;
    queueHead = queueCount = 0;
    sampleCounter = 0;
    learnArmed = learnCapturing = false;
    learnCount = 0;
    resetLive();
}

void DuckEngine::setHighPass (float hz) noexcept
{
    const double rc = 1.0 / (2.0 * std::numbers::pi * static_cast<double> (std::max (hz, 1.0f)));
    const auto c = static_cast<float> (rc / (rc + 1.0 / sampleRate));
    learnHp.coefficient = triggerHp.coefficient = c;
}

void DuckEngine::configure (const BlockSettings& s) noexcept
{
    table = &tables.acquire();

    const bool wasAudio = audioTrigger;
    audioTrigger = s.audioTrigger;
    depth = std::isnan (s.depthPercent) ? 0.0f : std::clamp (s.depthPercent * 0.01f, 0.0f, 1.0f);
    learnAttack = envelopeCoefficient (sampleRate, std::max (finiteOr (s.attackMs, 0.0f), 0.0f));
    learnRelease = envelopeCoefficient (sampleRate, std::max (finiteOr (s.releaseMs, 0.0f), 0.0f));
    setHighPass (finiteOr (s.detectorHpHz, 30.0f));
    detectorGain = std::pow (10.0f, finiteOr (s.detectorGainDb, 0.0f) / 20.0f);

    const bool nowLookahead = s.appliedLatency > s.baseLatency;
    const bool liveChanged = s.live != live || firstBlock;
    if (liveChanged && ! firstBlock && lookahead)
        queueHead = queueCount = 0;
    if (nowLookahead != lookahead || firstBlock)
    {
        lookahead = nowLookahead;
        queueHead = queueCount = 0;
        countdown = -1;
        lv.queueHead = lv.queueCount = 0;
        lv.pendingCountdown = -1;
    }
    else if (lookahead && wasAudio != audioTrigger)
        queueHead = queueCount = 0;
    firstBlock = false;
    engineLatency = std::max (0, s.appliedLatency + s.linearPhaseLatency);
    live = s.live;
    if (liveChanged)
        setUpLive();

    if (learnRequest.exchange (false))
        learnArmed = true;

    bpm = s.bpm > 0.0 && std::isfinite (s.bpm) ? s.bpm : 120.0;
    cycleBeats = beatsForRate (s.rateIndex);
    cycle = std::max (1, static_cast<int> (std::clamp (cycleBeats * sampleRate * 60.0 / bpm, 1.0, 1.0e7)));
    beatsPerSample = bpm / (60.0 * sampleRate);
    configureLive (s);
    offsetBeats = (bpm / 60.0) * (finiteOr (s.offsetMs, 0.0f) / 1000.0 - s.appliedLatency / sampleRate - s.linearPhaseLatency / sampleRate);
}

double DuckEngine::gridPhase (int sampleInBlock, double blockStartBeats) const noexcept
{
    double m = std::fmod (sampleInBlock * beatsPerSample + blockStartBeats + offsetBeats, cycleBeats);
    if (m < 0.0)
        m += cycleBeats;
    return m / cycleBeats;
}

void DuckEngine::startGridPhase (double blockStartBeats) noexcept
{
    gridBeats = gridPhase (0, blockStartBeats) * cycleBeats;
}

float DuckEngine::audioPhase (float rawKick) noexcept
{
    const std::int64_t n = sampleCounter - 1;
    const float y = triggerHp.process (rawKick);
    updateOnsetDetector (std::max (0.0f, std::abs (y) * detectorGain));

    if (holdoff > 0)
        --holdoff;
    else if (fast > 0.02f && fast - slow > 0.15f * peak)
    {
        // Place the duck on the kick as it leaves the processor: the detector hears the raw kick,
        // the output is later by the engine latency, less the rise already seen.
        const int d = std::max (0, engineLatency - std::min (riseCount, samples18ms));
        if (lookahead)
        {
            if (queueCount < static_cast<int> (queue.size()))
            {
                queue[static_cast<size_t> ((queueHead + queueCount) % static_cast<int> (queue.size()))] = n + d;
                ++queueCount;
            }
            holdoff = samples40ms;
        }
        else if (countdown < 0)
        {
            countdown = d;
            holdoff = samples40ms;
        }
    }

    if (lookahead)
    {
        if (queueCount > 0 && n >= queue[static_cast<size_t> (queueHead)])
        {
            queueHead = (queueHead + 1) % static_cast<int> (queue.size());
            --queueCount;
            position = 0.0;
        }
    }
    else if (countdown == 0)
    {
        position = 0.0;
        countdown = -1;
    }
    else if (countdown > 0)
        --countdown;

    cycleDone = position >= 0.94 * cycle;
    const auto phase = static_cast<float> (std::min (position / cycle, 1.0));
    if (position < cycle)
        position += 1.0;
    return phase;
}

void DuckEngine::updateOnsetDetector (float v) noexcept
{
    fast = v + (fast - v) * (v > fast ? fastAttack : fastRelease);
    if (fast > slow)
    {
        slow += (fast - slow) * slowFactor;
        ++riseCount;
    }
    else
    {
        slow = fast;
        riseCount = 0;
    }
    peak = std::max (fast, peak * peakDecay);
}

float DuckEngine::step (float rawKick, float delayedKick, float gridPhaseValue) noexcept
{
    ++sampleCounter;

    // LEARN detector and capture.
    const float y = learnHp.process (delayedKick);
    float v = std::abs (y) * detectorGain;
    v = std::isnan (v) ? 0.0f : std::max (0.0f, v);
    learnEnvelope = v + (learnEnvelope - v) * (v > learnEnvelope ? learnAttack : learnRelease);
    if (learnArmed && previousPhase > gridPhaseValue)
    {
        learnArmed = false;
        learnCapturing = true;
        learnCount = 0;
    }
    if (learnCapturing)
    {
        if (learnCount < static_cast<int> (learnCapture.size()))
            learnCapture[static_cast<size_t> (learnCount)] = learnEnvelope;
        if (++learnCount >= cycle)
        {
            learnCapturing = false;
            learnReadyCount = std::min (learnCount, static_cast<int> (learnCapture.size()));
            learnReady.store (true, std::memory_order_release);
        }
    }
    previousPhase = gridPhaseValue;

    if (live)
        return gain = liveStep (rawKick);

    const float phase = audioTrigger ? audioPhase (rawKick) : gridPhaseValue;

    float x = std::isnan (phase) ? 0.0f : std::clamp (phase, 0.0f, 1.0f) * 1023.0f;
    const int j = static_cast<int> (x);
    const int a = std::min (j, 1023);
    const float t = x - static_cast<float> (a);
    const auto& lut = *table;
    const float value = t * lut[static_cast<size_t> (std::min (j, 1022) + 1)] + (1.0f - t) * lut[static_cast<size_t> (a)];
    const float target = std::clamp (1.0f - (1.0f - value) * depth, 0.0f, 1.0f);

    if (audioTrigger && cycleDone)
        gain = std::min (gain + recovery * (1.0f - gain), 1.0f);
    else
        gain += std::clamp (target - gain, -maxStep, maxStep);
    return gain;
}

void DuckEngine::setShapeLUT (const float* lut, int) noexcept
{
    tables.publish (lut);
}

int DuckEngine::takeLearnCapture (float* dest, int maxCount) noexcept
{
    if (! learnReady.load (std::memory_order_acquire))
        return 0;
    const int n = std::min ({ learnReadyCount, static_cast<int> (learnCapture.size()), maxCount });
    std::copy (learnCapture.begin(), learnCapture.begin() + n, dest);
    learnReady.store (false, std::memory_order_release);
    return n;
}
} // namespace dowsen
