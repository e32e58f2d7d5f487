#include "processor/PluginProcessor.h"

#include "processor/Latency.h"
#include "processor/ParameterIds.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <thread>

namespace
{
namespace p = lumetta::param;
constexpr int kDelayMs = p::indexOf (p::delayMs);
constexpr int kAllPassFreq = p::indexOf (p::allPassFreq);
constexpr int kPhaseFollow = p::indexOf (p::phaseFollow);
constexpr int kPhaseFollowLookahead = p::indexOf (p::phaseFollowLookahead);
constexpr int kScLpXover = p::indexOf (p::scLpXover);
constexpr int kScXoverHz = p::indexOf (p::scXoverHz);
constexpr int kDowsenOn = p::indexOf (p::dowsenOn);
constexpr int kDuckDepth = p::indexOf (p::duckDepth);
constexpr int kDuckAttack = p::indexOf (p::duckAttack);
constexpr int kDuckRelease = p::indexOf (p::duckRelease);
constexpr int kDetHp = p::indexOf (p::detHp);
constexpr int kDetSens = p::indexOf (p::detSens);
constexpr int kScTrigger = p::indexOf (p::scTrigger);
constexpr int kScRate = p::indexOf (p::scRate);
constexpr int kScOffsetMs = p::indexOf (p::scOffsetMs);
constexpr int kScLowOnly = p::indexOf (p::scLowOnly);
constexpr int kScHpHz = p::indexOf (p::scHpHz);
constexpr int kScMonoHz = p::indexOf (p::scMonoHz);
constexpr int kScMonoLow = p::indexOf (p::scMonoLow);
constexpr int kScAutoGain = p::indexOf (p::scAutoGain);
constexpr int kScAutoTargetDb = p::indexOf (p::scAutoTargetDb);
constexpr int kScLive = p::indexOf (p::scLive);
constexpr int kScLiveTiming = p::indexOf (p::scLiveTiming);
constexpr int kScLiveHoldMs = p::indexOf (p::scLiveHoldMs);
constexpr int kScLiveRelMs = p::indexOf (p::scLiveRelMs);
constexpr int kScTimedHoldMs = p::indexOf (p::scTimedHoldMs);
constexpr int kScTimedReleaseMs = p::indexOf (p::scTimedReleaseMs);
constexpr int kScTimedAttackMs = p::indexOf (p::scTimedAttackMs);
constexpr int kScTimedShape = p::indexOf (p::scTimedShape);
constexpr int kScTimedEighth = p::indexOf (p::scTimedEighth);

// How long the timer waits for a running block before giving up on this tick.
constexpr int kBlockWaitMs = 25;
} // namespace

// Counts the block as running for the reconfiguration timer, on every way out of processBlock.
struct LumettaAudioProcessor::BlockInFlight
{
    explicit BlockInFlight (std::atomic<int>& c) : count (c) { ++count; }
    ~BlockInFlight() { --count; }
    std::atomic<int>& count;
};

LumettaAudioProcessor::LumettaAudioProcessor()
    : juce::AudioProcessor (BusesProperties()
                                .withInput ("Main", juce::AudioChannelSet::stereo(), true)
                                .withInput ("Sidechain", juce::AudioChannelSet::stereo(), true)
                                .withOutput ("Output", juce::AudioChannelSet::stereo(), true)),
      parameters (*this, nullptr, "PARAMETERS", createParameterLayout()),
      analysisBass (kAnalysisBlock, 0.0f),
      analysisKick (kAnalysisBlock, 0.0f)
{
    for (size_t i = 0; i < p::kAll.size(); ++i)
    {
        values[i] = parameters.getRawParameterValue (p::kAll[i]);
        jassert (values[i] != nullptr);
    }
    // The tree's raw values start from the defaults converted through the normalised range without
    // snapping, which leaves some a hair off their step (179.99998 for 180 Hz). Announcing each
    // value once puts the raw value on its step, so a fresh instance and a restored one hold, and
    // save, the same values.
    for (auto* param : getParameters())
        param->sendValueChangedMessageToListeners (param->getValue());

    // JUCE's LV2 client only reports a position on cycles in which the host sent one.
    transport.setExtrapolatesMissingPositions (wrapperType == wrapperType_LV2);
    sidechain.release();

    baseLatency = lumetta::latency::baseSamples (sampleRate);
    appliedLatency = baseLatency.load();
    startTimer (33);

    curve = dowsen::CurveModel::makeFactoryPreset (0);
    sampleShapeTable();
}

LumettaAudioProcessor::~LumettaAudioProcessor()
{
    stopTimer();
}

const juce::String LumettaAudioProcessor::getName() const
{
    return "Lumetta Beta 2";
}

int LumettaAudioProcessor::getTargetLatency() const noexcept
{
    return isOn (kPhaseFollow) && isOn (kPhaseFollowLookahead) ? lookaheadLatency.load() : baseLatency.load();
}

void LumettaAudioProcessor::prepareToPlay (double newRate, int maximumExpectedSamplesPerBlock)
{
    const std::lock_guard<std::mutex> lock (preparation);
    sampleRate = newRate > 0.0 ? newRate : 44100.0;
    maxBlock = std::clamp (maximumExpectedSamplesPerBlock, 1, lumetta::latency::kMaxBlock);
    lookaheadLatency = lumetta::latency::lookaheadSamples (sampleRate, maxBlock);
    baseLatency = lumetta::latency::baseSamples (sampleRate);

    transport.reset();
    scope.reset();
    autoLevel.reset();

    // One line long enough for either latency, so switching between them never reallocates.
    const int delayLineLength = baseLatency.load() + lookaheadLatency.load() + 1;
    alignment.prepare (sampleRate, delayLineLength, alignmentSettingsForBlock());

    sampleShapeTable();

    quietDetector.prepare (delayLineLength);
    quiet = true;
    silent = true;
    fade.prepare (sampleRate);

    phaseAnalyzer.prepare (sampleRate);
    followRuntime.prepare (sampleRate);
    preparePhaseTrajectoryRuntime();
    preMeter.prepare (sampleRate);
    postMeter.prepare (sampleRate);
    metersInStep = true;
    jumpDetector.reset();

    engine.prepare (sampleRate, hostBpm.load(), static_cast<int> (value (kScRate)));
    duckBand.prepare (sampleRate);
    linearPhase.prepare (sampleRate, maxBlock, isOn (kScLpXover), value (kScXoverHz));
    scratch.prepare (maxBlock);
    shapeView.prepare (sampleRate, displayLock);
    linearPhaseLatency = linearPhase.latency();

    appliedLatency = getTargetLatency();
    setLatencySamples (appliedLatency.load() + linearPhaseLatency.load());
}

void LumettaAudioProcessor::releaseResources()
{
    const std::lock_guard<std::mutex> lock (preparation);
    followRuntime.reset();
    resetMeters();
    sidechain.release();
    sidechainActive = false;
}

double LumettaAudioProcessor::getTailLengthSeconds() const
{
    const int samples = std::max (getLatencySamples(), appliedLatency.load() + linearPhaseLatency.load());
    return std::max (samples / std::max (sampleRate, 1.0) + 0.03, 0.05);
}

bool LumettaAudioProcessor::isBusesLayoutSupported (const BusesLayout& layouts) const
{
    const auto mainIn = layouts.getMainInputChannelSet();
    const auto isMonoOrStereo = [] (const juce::AudioChannelSet& set)
    { return set == juce::AudioChannelSet::mono() || set == juce::AudioChannelSet::stereo(); };

    if (! isMonoOrStereo (mainIn) || layouts.getMainOutputChannelSet() != mainIn)
        return false;
    if (layouts.inputBuses.size() > 1)
    {
        const auto side = layouts.getChannelSet (true, 1);
        return side.isDisabled() || isMonoOrStereo (side);
    }
    return true;
}

AlignmentSettings LumettaAudioProcessor::alignmentSettingsForBlock() noexcept
{
    // An automated Phase Frequency becomes the manual all-pass frequency at the next block.
    const float freqParam = value (kAllPassFreq);
    if (! juce::exactlyEqual (freqParam, allPassFreqHz.load()) && std::isfinite (freqParam))
        allPassFreqHz = std::clamp (freqParam, 20.0f, 500.0f);

    return { value (kDelayMs), polarityFlip.load(), allPassOn.load(), allPassFreqHz.load(), allPassQ.load() };
}

void LumettaAudioProcessor::processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midi)
{
    const BlockInFlight inFlight (blocksInFlight);
    if (reconfiguring.load())
    {
        buffer.clear();
        midi.clear();
        return;
    }
    const juce::ScopedNoDenormals noDenormals;

    const auto& t = transport.read (getPlayHead());
    hostBpm = t.bpm;
    hostHasTempo = t.hasTempo;
    hostPlaying = t.playing;

    const auto io = routeChannels (buffer);
    sidechainPresent = io.sidechainPresent;
    if (jumpDetector.check (t, io.sidechainPresent, io.numSamples, sampleRate))
        resetMeters();

    // With the lookahead latency applied the stream delays the bass by all of it but the base
    // latency, which the alignment stage keeps so that DELAY can still move the bass earlier.
    lookaheadRendering = lookaheadStream.isPrepared() && appliedLatency.load() == lookaheadLatency.load()
                         && lookaheadLatency.load() > baseLatency.load();
    lookaheadActive = lookaheadRendering;
    alignment.intake (alignmentSettingsForBlock(), appliedLatency.load(), lookaheadRendering ? baseLatency.load() : appliedLatency.load());
    if (linearPhase.intake (isOn (kScLpXover), value (kScXoverHz)))
    {
        // The split's latency is reported at once; the crossfade inside keeps the audio whole.
        linearPhaseLatency = linearPhase.latency();
        setLatencySamples (appliedLatency.load() + linearPhaseLatency.load());
    }
    intakeDowsen (t);
    if (lookaheadRendering)
        intakeLookahead();
    else
        intakePhaseFollow (io.sidechainPresent);
    phaseAnalyzer.refreshContext (analysisContextForBlock());

    midi.clear();

    if (io.left == nullptr)
    {
        buffer.clear();
        return;
    }
    const auto kick = processSamples (io, t);
    finishBlock (buffer, io, kick);
}

LumettaAudioProcessor::BlockChannels LumettaAudioProcessor::routeChannels (juce::AudioBuffer<float>& buffer) const noexcept
{
    // Bass in channels 0 (and 1); the kick in the one or two channels after the main bus.
    BlockChannels io;
    io.numSamples = buffer.getNumSamples();
    const int numChannels = buffer.getNumChannels();
    const int mainChannels = std::min (getMainBusNumInputChannels(), numChannels);
    const auto* sideBus = getBus (true, 1);
    const int sideChannels = sideBus != nullptr && sideBus->isEnabled() ? sideBus->getNumberOfChannels() : 0;
    io.sidechainPresent = sideChannels > 0 && numChannels > mainChannels;

    if (mainChannels > 0)
        io.left = buffer.getWritePointer (0);
    if (mainChannels > 1)
        io.right = buffer.getWritePointer (1);
    if (io.sidechainPresent)
        io.kickLeft = buffer.getReadPointer (mainChannels);
    if (io.sidechainPresent && sideChannels > 1 && numChannels > mainChannels + 1)
        io.kickRight = buffer.getReadPointer (mainChannels + 1);
    return io;
}

void LumettaAudioProcessor::intakeDowsen (const TransportSnapshot& t) noexcept
{
    dowsen::DuckEngine::BlockSettings e;
    e.audioTrigger = isOn (kScTrigger);
    e.depthPercent = value (kDuckDepth);
    e.attackMs = value (kDuckAttack);
    e.releaseMs = value (kDuckRelease);
    e.detectorHpHz = value (kDetHp);
    e.detectorGainDb = value (kDetSens);
    e.rateIndex = static_cast<int> (value (kScRate));
    e.offsetMs = value (kScOffsetMs);
    e.bpm = t.bpm;
    e.appliedLatency = appliedLatency.load();
    e.baseLatency = baseLatency.load();
    e.linearPhaseLatency = linearPhaseLatency.load();
    e.live = isOn (kScLive);
    e.timedTiming = isOn (kScLiveTiming);
    e.liveHoldMs = value (kScLiveHoldMs);
    e.liveReleaseMs = value (kScLiveRelMs);
    e.timedHoldMs = value (kScTimedHoldMs);
    e.timedReleaseMs = value (kScTimedReleaseMs);
    e.timedAttackMs = value (kScTimedAttackMs);
    e.timedShapePercent = value (kScTimedShape);
    e.timedEighth = isOn (kScTimedEighth);
    engine.configure (e);

    duckBand.setSettings ({ isOn (kScLowOnly), value (kScXoverHz), value (kScHpHz), value (kScMonoHz), isOn (kScMonoLow) });
    autoLevel.setUp (sampleRate, isOn (kScAutoGain), value (kScAutoTargetDb));
    if (t.startedPlaying)
        autoLevel.reset();
    scope.setUp (displayDivision.load(), t.bpm, sampleRate);
    shapeView.beginBlock (dowsen::DuckEngine::beatsForRate (e.rateIndex));
}

void LumettaAudioProcessor::intakePhaseFollow (bool sidechainIsPresent) noexcept
{
    PhaseFollowRuntime::BlockSettings f;
    f.followOn = isOn (kPhaseFollow);
    f.sidechainPresent = sidechainIsPresent;
    f.offline = isNonRealtime();
    f.manual = { alignment.getCurrentDelayMs(), allPassFreqHz.load(), allPassQ.load(), polarityFlip.load(), allPassOn.load() };
    f.manualDelaySamples = alignment.getCurrentDelaySamples();
    f.restoreCount = followEpoch.load();
    followRuntime.beginBlock (f);
}

AnalysisContext LumettaAudioProcessor::analysisContextForBlock() const noexcept
{
    // ANALYZE measures against what actually plays, which is phase follow's correction while
    // that is on.
    const auto& playing = followRuntime.getFollowSettings();
    AnalysisContext c;
    c.postMode = scopePost.load() && isOn (kDowsenOn);
    c.flip = playing.flip;
    c.allPassOn = playing.allPassOn;
    c.delayMs = alignment.getCurrentDelayMs();
    c.allPassFreqHz = playing.allPassFreqHz;
    c.allPassQ = playing.allPassQ;
    return c;
}

void LumettaAudioProcessor::preparePhaseTrajectoryRuntime()
{
    const double streamMs = (lookaheadLatency.load() - baseLatency.load()) * 1000.0 / sampleRate;
    lookaheadStream.prepare (sampleRate, PhaseFollowTrajectoryStream::runtimeOptions (sampleRate, maxBlock, streamMs));
    streamFrame = 0;
    manualRendererSettings = {};
    manualRenderer = PhaseFollowTrajectoryPlanner::makeState (manualRendererSettings, sampleRate, false);
}

void LumettaAudioProcessor::intakeLookahead() noexcept
{
    PhaseFollowTrajectoryPlanner::Settings s;
    s.allPassFreqHz = std::clamp (allPassFreqHz.load(), 20.0f, 500.0f);
    s.allPassQ = std::clamp (allPassQ.load(), 0.1f, 5.0f);
    s.allPassOn = allPassOn.load();
    s.flip = polarityFlip.load();
    if (! juce::exactlyEqual (s.allPassFreqHz, manualRendererSettings.allPassFreqHz)
        || ! juce::exactlyEqual (s.allPassQ, manualRendererSettings.allPassQ) || s.allPassOn != manualRendererSettings.allPassOn
        || s.flip != manualRendererSettings.flip)
    {
        manualRendererSettings = s;
        manualRenderer = PhaseFollowTrajectoryPlanner::makeState (s, sampleRate, false);
    }

    const AlignmentSettings manual { alignment.getCurrentDelayMs(), s.flip, s.allPassOn, s.allPassFreqHz, s.allPassQ };
    const std::equal_to<float> same;
    if (! same (manual.delayParamMs, lookaheadManual.delayParamMs) || manual.polarityFlip != lookaheadManual.polarityFlip
        || manual.allPassOn != lookaheadManual.allPassOn || ! same (manual.allPassFreqHz, lookaheadManual.allPassFreqHz)
        || ! same (manual.allPassQ, lookaheadManual.allPassQ) || followEpoch.load() != lookaheadRestoreCount)
    {
        lookaheadManual = manual;
        lookaheadRestoreCount = followEpoch.load();
        lookaheadRestarting = true;
        lookaheadStream.newEpoch();
    }

    const bool followOn = isOn (kPhaseFollow);
    const bool following = lookaheadStream.isFollowActive();
    if (lookaheadRestarting && ! following)
        lookaheadRestarting = false;
    lookaheadStream.setFollowing (followOn && ! lookaheadRestarting);

    using Status = PhaseFollowRuntime::Status;
    const auto status = following ? (followOn && ! lookaheadRestarting ? Status::following : Status::restoring)
                                  : (followOn ? Status::acquiring : Status::off);
    followRuntime.showLookahead (status, following ? lookaheadStream.getPlayingState() : manualRenderer);
}

void LumettaAudioProcessor::renderLookahead (AlignedFrame& frame) noexcept
{
    // The stream wants the manual renderer as it stood before this frame.
    const auto before = manualRenderer;
    const float bassL = alignment.getDelayedLeft(), bassR = alignment.getDelayedRight();
    float manualL = bassL, manualR = bassR;
    PhaseFollowTrajectoryPlanner::process (manualRenderer, manualL, manualR);
    const float k = alignment.getKickAtBassLatency();
    const auto out = lookaheadStream.processFrame (streamFrame++, bassL, bassR, k, k, { manualL, manualR, &before });
    frame.left = out.left;
    frame.right = out.right;
}

juce::String LumettaAudioProcessor::getPhaseFollowStatusText() const
{
    if (getTargetLatency() != appliedLatency.load())
        return hostPlaying.load() ? "Stop playback" : "Waiting for silence";
    switch (followRuntime.getStatus())
    {
        case PhaseFollowRuntime::Status::acquiring: return "Acquiring";
        case PhaseFollowRuntime::Status::following: return "Following";
        case PhaseFollowRuntime::Status::holding: return "Holding";
        case PhaseFollowRuntime::Status::restoring: return "Restoring";
        case PhaseFollowRuntime::Status::off: break;
    }
    return "Off";
}

LumettaAudioProcessor::KickStats LumettaAudioProcessor::processSamples (const BlockChannels& io, const TransportSnapshot& t) noexcept
{
    // Blocks longer than prepared (some hosts send them) are taken in prepared-size chunks.
    KickStats kickStats;
    fade.beginBlock();
    for (int start = 0; start < io.numSamples; start += maxBlock)
        processChunk (io, t, start, std::min (maxBlock, io.numSamples - start), kickStats);
    fade.endBlock();
    return kickStats;
}

void LumettaAudioProcessor::processChunk (const BlockChannels& io, const TransportSnapshot& t, int start, int count,
                                          KickStats& kickStats) noexcept
{
    const bool dowsen = isOn (kDowsenOn);
    const bool linearLowBand = dowsen && isOn (kScLowOnly) && linearPhase.isOn();
    const bool synced = t.playing && t.hasPosition;
    const bool drawLanes = t.playing || ! t.hasPosition;
    const bool capturePost = dowsen && scopePost.load();
    const bool scopeShowsPost = scopePost.load();
    const bool captureForAnalysis = io.numSamples <= kAnalysisBlock;
    const bool kickVisible = sidechain.getLevel() > 0.001f;
    // Phase follow runs while on, and after it is switched off until the manual settings play again.
    const bool followEngaged = isOn (kPhaseFollow) || followRuntime.isFollowRenderingActive();
    const double chunkStartBeats = t.ppq + start * t.bpm / (60.0 * sampleRate);
    if (synced)
        engine.startGridPhase (chunkStartBeats);
    scope.startChunk (synced, chunkStartBeats + engine.getOffsetBeats());
    scratch.numDivisionStarts = 0;

    // Alignment and the linear-phase compensation, sample by sample.
    for (int k = 0; k < count; ++k)
    {
        const int i = start + k;
        const float inL = lumetta::safeSample (io.left[i]);
        const float inR = io.right != nullptr ? lumetta::safeSample (io.right[i]) : inL;
        const float kick = io.kick (i);
        kickStats.add (kick);
        scratch.inLeft[static_cast<size_t> (k)] = inL;
        scratch.inRight[static_cast<size_t> (k)] = inR;
        scratch.rawKick[static_cast<size_t> (k)] = kick;
        auto aligned = alignment.process (inL, inR, kick);
        if (lookaheadRendering)
            renderLookahead (aligned);
        else if (followEngaged)
            followRuntime.process ({ inL, inR, kick, alignment.getDelayedLeft(), alignment.getDelayedRight(), aligned.left,
                                     aligned.right, aligned.kick },
                                   alignment, aligned.left, aligned.right);
        scratch.aligned[static_cast<size_t> (k)] = linearPhase.process (aligned, k);
    }
    // The linear-phase low band does not depend on the duck gain: the whole chunk at once.
    if (linearLowBand)
        linearPhase.lowBand (scratch.lowLeft.data(), scratch.lowRight.data(), count);
    linearPhase.finishChunk (count);

    for (int k = 0; k < count; ++k)
    {
        const int i = start + k;
        const auto sk = static_cast<size_t> (k);
        const auto& aligned = scratch.aligned[sk];
        const float inL = scratch.inLeft[sk], inR = scratch.inRight[sk];
        float l = aligned.left, r = aligned.right;

        const float alignedMono = 0.5f * (l + r);

        // The grid phase follows the host's beats, or the free-running display sweep.
        const float phase = synced ? engine.nextGridPhase() : scope.gridPhase();
        float duckGain = 1.0f;
        if (dowsen)
        {
            duckGain = engine.step (scratch.rawKick[sk], aligned.kick, phase);
            if (linearLowBand)
                duckBand.duckLinearPhase (l, r, duckGain, scratch.lowLeft[sk], scratch.lowRight[sk]);
            else
                duckBand.duck (l, r, duckGain);
            duckBand.monoBelow (l, r);
            autoLevel.process (aligned.kick, l, r, phase);
        }
        const float finalMono = 0.5f * (l + r);
        if (dowsen)
            shapeView.record ({ synced ? scope.divisionPhase() : phase, alignedMono, finalMono, aligned.kick, duckGain },
                              drawLanes, synced, scope.divisionStartBeats());

        const float gain = fade.nextGain (t.playing, std::max (std::abs (inL), std::abs (inR)));
        const float outL = l * gain;
        const float outR = r * gain;
        io.left[i] = outL;
        if (io.right != nullptr)
            io.right[i] = outR;
        const float outMono = finalMono * gain;

        if (scope.advance (scopeShowsPost ? finalMono : alignedMono, aligned.kick, kickVisible, displayLock))
            scratch.divisionStarts[static_cast<size_t> (scratch.numDivisionStarts++)] = k;
        scratch.postMono[sk] = outMono;
        scratch.preMono[sk] = alignedMono;
        scratch.meterKick[sk] = aligned.kick;
        quietDetector.update (inL, inR, outL, io.right != nullptr ? outR : outL);

        if (captureForAnalysis)
        {
            analysisBass[static_cast<size_t> (i)] = capturePost ? outMono : 0.5f * (inL + inR);
            analysisKick[static_cast<size_t> (i)] = capturePost ? aligned.kick : scratch.rawKick[sk];
        }
    }
    if (io.sidechainPresent)
        feedMeters (count);
}

void LumettaAudioProcessor::feedMeters (int count) noexcept
{
    // PRE and POST hear the same samples whenever nothing between them touches the bass (the
    // Dowsen module off, no fade running). While they also started from the same state, one
    // meter's work serves both: the plain PHASE path pays for one meter, not two.
    const bool sameInput = std::memcmp (scratch.preMono.data(), scratch.postMono.data(), sizeof (float) * static_cast<size_t> (count)) == 0;
    metersInStep = metersInStep && sameInput;

    // Each beat-synced division closes the meters' division before its first sample; within a
    // stretch a meter closes a division itself once it holds half a second.
    const auto halfSecond = static_cast<std::int64_t> (std::ceil (0.5 * sampleRate));
    int from = 0;
    for (int d = 0; d <= scratch.numDivisionStarts; ++d)
    {
        const int to = d < scratch.numDivisionStarts ? scratch.divisionStarts[static_cast<size_t> (d)] : count;
        const auto offset = static_cast<size_t> (from);
        preMeter.pushBlock (scratch.preMono.data() + offset, scratch.meterKick.data() + offset, to - from, halfSecond);
        if (! metersInStep)
            postMeter.pushBlock (scratch.postMono.data() + offset, scratch.meterKick.data() + offset, to - from, halfSecond);
        if (d < scratch.numDivisionStarts)
        {
            preMeter.endDivision();
            if (! metersInStep)
                postMeter.endDivision();
        }
        from = to;
    }
    if (metersInStep)
        postMeter.copyStateFrom (preMeter);
}

void LumettaAudioProcessor::resetMeters() noexcept
{
    preMeter.reset();
    postMeter.reset();
    metersInStep = true;
}

PhaseMeterReading LumettaAudioProcessor::getDisplayedMeterReading() const noexcept
{
    return ! scopePost.load() && isOn (kDowsenOn) ? preMeter.getReading() : postMeter.getReading();
}

void LumettaAudioProcessor::applyAnalysis (const ManualAnalysisResult& r)
{
    const auto setPlain = [this] (const char* id, float plainValue)
    {
        if (auto* param = parameters.getParameter (id))
            param->setValueNotifyingHost (param->convertTo0to1 (plainValue));
    };
    setPlain (p::delayMs, r.delayMs);
    polarityFlip = r.flip;
    if (r.allPassOn)
    {
        setPlain (p::allPassFreq, r.allPassFreqHz);
        allPassFreqHz = std::clamp (r.allPassFreqHz, 20.0f, 500.0f);
        allPassQ = std::clamp (r.allPassQ, 0.1f, 5.0f);
    }
    allPassOn = r.allPassOn;
}

void LumettaAudioProcessor::copyScopeTraces (ScopeCapture::Trace& bass, ScopeCapture::Trace& kick) const
{
    const juce::SpinLock::ScopedLockType held (displayLock);
    bass = scope.publishedBass();
    kick = scope.publishedKick();
}

void LumettaAudioProcessor::finishBlock (juce::AudioBuffer<float>& buffer, const BlockChannels& io, const KickStats& kick) noexcept
{
    sidechain.endBlock (io.sidechainPresent, kick.sawSignal, kick.sumOfSquares, io.numSamples, sampleRate);
    sidechainActive = io.sidechainPresent && sidechain.isActive();
    quiet = quietDetector.isQuiet();
    silent = quietDetector.isSilent();

    // Offline, the lookahead plans are made here and now, so a bounce comes out the same every time.
    if (lookaheadRendering && isNonRealtime())
        lookaheadStream.drain();
    if (io.numSamples <= kAnalysisBlock)
        phaseAnalyzer.capture (analysisBass.data(), analysisKick.data(), io.numSamples);
    scope.publish (displayLock);
    if (isOn (kDowsenOn))
    {
        const auto& t = transport.current();
        shapeView.endBlock (t.playing || ! t.hasPosition, t.playing, autoLevel.getAppliedGain(), displayLock);
    }
    transport.advance (io.numSamples, sampleRate);

    const int numChannels = buffer.getNumChannels();
    for (int ch = std::min (getMainBusNumOutputChannels(), numChannels); ch < numChannels; ++ch)
        buffer.clear (ch, 0, io.numSamples);
}

void LumettaAudioProcessor::timerCallback()
{
    const int target = getTargetLatency();
    if (target == appliedLatency.load())
    {
        const auto s = fade.getState();
        if (s == ReconfigurationFade::fadingOut || s == ReconfigurationFade::silent)
            fade.setState (ReconfigurationFade::fadingIn);
        return;
    }
    if (hostPlaying.load() || ! quiet.load())
        return;
    if (! silent.load() && fade.getState() != ReconfigurationFade::silent)
    {
        if (fade.getState() == ReconfigurationFade::none)
            fade.setState (ReconfigurationFade::fadingOut);
        return;
    }

    reconfiguring = true;
    for (int waited = 0; blocksInFlight.load() != 0 && waited < kBlockWaitMs; ++waited)
        std::this_thread::sleep_for (std::chrono::milliseconds (1));

    if (blocksInFlight.load() != 0 || hostPlaying.load() || ! quiet.load())
    {
        if (fade.getState() == ReconfigurationFade::silent)
            fade.setState (ReconfigurationFade::fadingIn);
    }
    else
    {
        const bool suspendedHere = ! isSuspended();
        if (suspendedHere)
            suspendProcessing (true);

        {
            // Not across the latency report: a host may prepare again from inside it.
            const std::lock_guard<std::mutex> lock (preparation);
            clearAudioThreadState();
        }
        setLatencySamples (target + linearPhaseLatency.load());
        appliedLatency = target;

        if (suspendedHere)
            suspendProcessing (false);
        fade.setState (ReconfigurationFade::fadingIn);
    }
    reconfiguring = false;
}

void LumettaAudioProcessor::clearAudioThreadState() noexcept
{
    alignment.reset();
    linearPhase.reset();
    engine.reset();
    duckBand.reset();
    autoLevel.reset();
    shapeView.resetBands();
    resetMeters();
    jumpDetector.reset();
    followRuntime.reset();
    preparePhaseTrajectoryRuntime();
}

void LumettaAudioProcessor::sampleShapeTable()
{
    dowsen::ShapeTableExchange::Table table;
    {
        const juce::ScopedLock lock (curveLock);
        for (int i = 0; i < dowsen::ShapeTableExchange::kSize; ++i)
            table[static_cast<size_t> (i)] = curve.evaluate (static_cast<float> (i) / 1023.0f);
    }
    const std::lock_guard<std::mutex> writer (shapeTableWriter);
    engine.setShapeLUT (table.data(), dowsen::ShapeTableExchange::kSize);
}

void LumettaAudioProcessor::pushCurveUndoState()
{
    const juce::ScopedLock lock (curveLock);
    undoStack.push_back (curve);
    if (undoStack.size() > kMaxCurveUndo)
        undoStack.erase (undoStack.begin());
}

bool LumettaAudioProcessor::undoCurveEdit()
{
    {
        const juce::ScopedLock lock (curveLock);
        if (undoStack.empty())
            return false;
        curve = std::move (undoStack.back());
        undoStack.pop_back();
    }
    activeTile = -1;
    sampleShapeTable();
    return true;
}

void LumettaAudioProcessor::applyPresetCurve (const dowsen::CurveModel& shape, int index)
{
    pushCurveUndoState();
    {
        const juce::ScopedLock lock (curveLock);
        curve = shape;
    }
    activeTile = std::min (index, dowsen::CurveModel::numFactoryPresets() - 1);
    sampleShapeTable();
}

void LumettaAudioProcessor::curveEdited()
{
    activeTile = -1;
    sampleShapeTable();
}

bool LumettaAudioProcessor::hasCurveUndo() const
{
    const juce::ScopedLock lock (curveLock);
    return ! undoStack.empty();
}

juce::AudioProcessorEditor* LumettaAudioProcessor::createEditor()
{
    // Until the product editor exists, the host's generic parameter view.
    return new juce::GenericAudioProcessorEditor (*this);
}
