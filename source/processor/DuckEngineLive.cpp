// LIVE mode of the ducking engine: each detected kick starts an envelope (attack down to full
// reduction, hold, release back to unity shaped by the drawn curve's own recovery), timed so
// that full reduction arrives just before the kick leaves the processor.

#include "processor/DuckEngine.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace dowsen
{
namespace
{
int nearest (double x) noexcept { return static_cast<int> (std::lround (x)); }
float orDefault (float v, float fallback) noexcept { return std::isnan (v) ? fallback : v; }
float smoothstep (float u) noexcept { return u * u * (3.0f - 2.0f * u); }
float coefficient (double rate, double seconds) noexcept { return static_cast<float> (std::exp (-1.0 / (rate * seconds))); }
} // namespace

void DuckEngine::prepareLive()
{
    lv.levelAttack = coefficient (sampleRate, 0.0005);
    lv.levelRelease = coefficient (sampleRate, 0.030);
    lv.curvatureFastCoefficient = coefficient (sampleRate, 0.00025);
    lv.curvatureSlowCoefficient = coefficient (sampleRate, 0.005);
    lv.curvatureScale = static_cast<float> ((sampleRate / 48000.0) * (sampleRate / 48000.0));
    lv.samples15ms = static_cast<int> (0.015 * sampleRate);
    lv.queue.assign (256, {});
}

void DuckEngine::resetLive() noexcept
{
    lv.value = 1.0f;
    lv.active = false;
    lv.depthCurrent = lv.depthTarget = 1.0f;
    lv.depthSamplesLeft = 0;
    lv.armed = lv.decayed = true;
    lv.sinceTransient = lv.samples15ms + 1;
    lv.queueHead = lv.queueCount = 0;
    lv.pendingCountdown = -1;
}

void DuckEngine::setUpLive() noexcept
{
    // Switching LIVE on in the middle of a duck starts from the gain in effect and recovers to
    // unity within 5 ms, so the switch never jumps.
    lv.value = lv.startLevel = gain;
    lv.position = 0;
    lv.running = {};
    lv.running.release = samples5ms;
    lv.active = gain < 1.0f;
    lv.pendingCountdown = -1;
    lv.depthCurrent = lv.depthTarget = 1.0f;
    lv.depthSamplesLeft = 0;
    lv.queueHead = lv.queueCount = 0;
    lv.counter = 0;
    lv.x1 = lv.x2 = lv.curvatureFast = lv.curvatureSlow = 0.0f;
    lv.sinceTransient = lv.samples15ms + 1;
    lv.peakSinceTrigger = 0.0f;
    lv.decayed = true;
}

void DuckEngine::configureLive (const BlockSettings& s) noexcept
{
    const double r = sampleRate;
    const float holdMs = s.timedTiming ? orDefault (s.timedHoldMs, 0.0f) : orDefault (s.liveHoldMs, 0.0f);
    const float releaseMs = s.timedTiming ? orDefault (s.timedReleaseMs, 150.0f) : orDefault (s.liveReleaseMs, 150.0f);
    const float attackMs = orDefault (s.timedAttackMs, 2.0f);

    LiveTiming t;
    t.attack = std::max (nearest (r * std::min (std::max (attackMs, 0.0f), 15.0f) / 1000.0), samples1ms);
    t.hold = holdMs < 0.0f ? 0 : nearest (r * std::min (holdMs, 500.0f) / 1000.0);
    t.release = std::max (nearest (r * std::clamp (releaseMs, 0.0f, 1000.0f) / 1000.0), samples2ms);
    if (s.timedEighth)
    {
        const double tempo = std::clamp (s.bpm > 0.0 && std::isfinite (s.bpm) ? s.bpm : 120.0, 20.0, 999.0);
        const int eighth = std::max (nearest (r * 30.0 / tempo), samples2ms);
        t.hold = std::min (eighth - samples2ms, t.hold);
        t.release = eighth - t.hold;
    }
    t.shape = std::clamp (orDefault (s.timedShapePercent, 0.0f) * 0.01f, 0.0f, 1.0f);
    liveTiming = t;
}

float DuckEngine::liveStep (float rawKick) noexcept
{
    // Detector input and the curvature of the kick signal.
    const float x = triggerHp.process (rawKick) * detectorGain;
    const float q = std::abs (x - 2.0f * lv.x1 + lv.x2) * lv.curvatureScale;
    lv.x2 = lv.x1;
    lv.x1 = x;
    lv.curvatureFast = q + (lv.curvatureFast - q) * lv.curvatureFastCoefficient;
    lv.curvatureSlow = q + (lv.curvatureSlow - q) * lv.curvatureSlowCoefficient;
    if (lv.curvatureFast > 1.0e-8f && lv.curvatureFast > 3.0f * lv.curvatureSlow)
        lv.sinceTransient = 0;
    else if (lv.sinceTransient <= lv.samples15ms)
        ++lv.sinceTransient;

    // Levels.
    float a = std::abs (x);
    a = std::isnan (a) ? 0.0f : a;
    lv.level = a + (lv.level - a) * (a > lv.level ? lv.levelAttack : lv.levelRelease);
    updateOnsetDetector (a);
    lv.peakSinceTrigger = std::max (lv.peakSinceTrigger, lv.level);
    if (lv.level < 0.7f * lv.peakSinceTrigger)
        lv.decayed = true;
    if (fast - slow <= 0.1f * peak)
        lv.armed = true;

    // Decision: a steady tone that has neither decayed nor shown a transient is not a kick.
    const bool suppressed = ! lv.decayed && lv.sinceTransient > lv.samples15ms && 0.01f * lv.level >= lv.curvatureSlow;
    const bool trigger = ! suppressed && lv.level > 0.02f && lv.armed && fast - slow > 0.15f * peak && holdoff == 0;
    if (holdoff > 0)
        --holdoff;

    if (trigger)
    {
        lv.armed = lv.decayed = false;
        lv.peakSinceTrigger = lv.level;
        holdoff = samples40ms;
        // Full reduction 0.5 ms before the detected kick leaves the processor.
        const int d = std::max (0, std::max (0, engineLatency - static_cast<int> (0.0005 * sampleRate)) - liveTiming.attack);
        auto& p = lv.pending;
        p.attack = liveTiming.attack;
        p.hold = liveTiming.hold;
        p.release = liveTiming.release;
        p.shape = liveTiming.shape;
        if (tables.readRecovery (p.table))
            p.hasShape = true;
        if (! lookahead)
            lv.pendingCountdown = d;
        else
        {
            if (lv.queueCount < static_cast<int> (lv.queue.size()))
            {
                auto& e = lv.queue[static_cast<size_t> ((lv.queueHead + lv.queueCount) % static_cast<int> (lv.queue.size()))];
                e.start = lv.counter + d;
                e.envelope = p;
                ++lv.queueCount;
            }
            lv.pendingCountdown = -1;
        }
    }

    if (lookahead && lv.queueCount > 0 && lv.counter >= lv.queue[static_cast<size_t> (lv.queueHead)].start)
    {
        lv.pending = lv.queue[static_cast<size_t> (lv.queueHead)].envelope;
        lv.queueHead = (lv.queueHead + 1) % static_cast<int> (lv.queue.size());
        --lv.queueCount;
        lv.pendingCountdown = 0;
    }

    if (lv.pendingCountdown == 0)
    {
        lv.startLevel = lv.value;
        lv.running = lv.pending;
        if (! lv.pending.hasShape)
            lv.running.shape = 0.0f;
        lv.position = 0;
        lv.active = true;
        lv.pendingCountdown = -1;
    }
    else if (lv.pendingCountdown > 0)
        --lv.pendingCountdown;

    if (lv.active)
        lv.value = liveEnvelopeValue();

    // Depth changes glide in a straight line over 5 ms.
    if (! std::equal_to<float>() (depth, lv.depthTarget))
    {
        lv.depthTarget = depth;
        lv.depthSamplesLeft = samples5ms;
    }
    if (lv.depthSamplesLeft >= 1)
    {
        lv.depthCurrent += (lv.depthTarget - lv.depthCurrent) / static_cast<float> (lv.depthSamplesLeft);
        --lv.depthSamplesLeft;
    }
    ++lv.counter;

    return 1.0f - lv.depthCurrent + lv.depthCurrent * lv.value;
}

float DuckEngine::liveEnvelopeValue() noexcept
{
    const auto& e = lv.running;
    const int p = lv.position++;
    float value = 1.0f;
    if (p < e.attack)
        value = (1.0f - smoothstep (static_cast<float> (p) / static_cast<float> (e.attack))) * lv.startLevel;
    else if (p < e.attack + e.hold)
        value = 0.0f;
    else if (p < e.attack + e.hold + e.release)
    {
        const float u = static_cast<float> (p - e.attack - e.hold) / static_cast<float> (e.release);
        const float s = smoothstep (u);
        const float z = s * 255.0f;
        const int i = std::min (static_cast<int> (z), 254);
        const float t = e.table[static_cast<size_t> (i)] + (e.table[static_cast<size_t> (i + 1)] - e.table[static_cast<size_t> (i)]) * (z - static_cast<float> (i));
        const float v = s + (t - s) * e.shape;
        value = e.attack > 0 ? v : lv.startLevel + v * (1.0f - lv.startLevel);
        value = std::min (value, std::nextafter (1.0f, 0.0f));
    }
    else
        lv.active = false;
    return value;
}
} // namespace dowsen
