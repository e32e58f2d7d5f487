#include "processor/HostTransport.h"

#include <juce_audio_processors/juce_audio_processors.h>

#include <cmath>

void HostTransport::reset() noexcept
{
    snapshot = {};
    wasPlaying = false;
    known = false;
}

const TransportSnapshot& HostTransport::read (juce::AudioPlayHead* playHead) noexcept
{
    const auto position = playHead != nullptr ? playHead->getPosition() : std::nullopt;

    if (position.hasValue())
    {
        TransportSnapshot s;
        if (const auto bpm = position->getBpm(); bpm.hasValue() && std::isfinite (*bpm) && *bpm > 0.0)
        {
            s.bpm = *bpm;
            s.hasTempo = true;
        }
        s.playing = position->getIsPlaying();
        if (const auto ppq = position->getPpqPosition(); ppq.hasValue() && std::isfinite (*ppq))
        {
            s.hasPosition = true;
            s.ppq = *ppq;
        }
        if (position->getIsLooping())
        {
            if (const auto loop = position->getLoopPoints(); loop.hasValue()
                && std::isfinite (loop->ppqStart) && std::isfinite (loop->ppqEnd) && loop->ppqStart < loop->ppqEnd)
            {
                s.looping = true;
                s.loopStartPpq = loop->ppqStart;
                s.loopEndPpq = loop->ppqEnd;
            }
        }
        snapshot = s;
        known = true;
    }
    else if (! (extrapolate && known && snapshot.playing))
    {
        snapshot = {};
        known = false;
    }
    // else: keep the last known transport, its position already advanced by advance().

    snapshot.startedPlaying = snapshot.playing && ! wasPlaying;
    wasPlaying = snapshot.playing;
    return snapshot;
}

void HostTransport::advance (int numSamples, double sampleRate) noexcept
{
    if (! (snapshot.playing && snapshot.hasPosition && sampleRate > 0.0))
        return;
    snapshot.ppq += static_cast<double> (numSamples) * snapshot.bpm / 60.0 / sampleRate;
    if (snapshot.looping && snapshot.ppq >= snapshot.loopEndPpq)
        snapshot.ppq = snapshot.loopStartPpq + std::fmod (snapshot.ppq - snapshot.loopStartPpq,
                                                          snapshot.loopEndPpq - snapshot.loopStartPpq);
}
