#pragma once

#include "analysis/PhaseAnalyzer.h"
#include "analysis/PhaseEfficiencyMeter.h"
#include "analysis/PhaseFollowRuntime.h"
#include "analysis/PhaseFollowTrajectoryStream.h"
#include "curve/CurveModel.h"
#include "processor/AlignmentStage.h"
#include "processor/AutoLevel.h"
#include "processor/DuckBand.h"
#include "processor/DuckEngine.h"
#include "processor/HostTransport.h"
#include "processor/LinearPhaseCompensation.h"
#include "processor/QuietDetector.h"
#include "processor/ReconfigurationFade.h"
#include "processor/SafeSample.h"
#include "processor/ScopeCapture.h"
#include "processor/ShapeTableExchange.h"
#include "processor/ShapeViewCapture.h"
#include "processor/SidechainMonitor.h"
#include "processor/TransportJumpDetector.h"

#include <juce_audio_processors/juce_audio_processors.h>

#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <vector>

class LumettaAudioProcessor : public juce::AudioProcessor, public juce::Timer
{
public:
    LumettaAudioProcessor();
    ~LumettaAudioProcessor() override;

    const juce::String getName() const override;
    void prepareToPlay (double sampleRate, int maximumExpectedSamplesPerBlock) override;
    void releaseResources() override;
    void processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midi) override;
    using juce::AudioProcessor::processBlock;
    double getTailLengthSeconds() const override;
    bool acceptsMidi() const override { return false; }
    bool producesMidi() const override { return false; }
    bool isMidiEffect() const override { return false; }
    juce::AudioProcessorEditor* createEditor() override;
    bool hasEditor() const override { return true; }
    int getNumPrograms() override { return 1; }
    int getCurrentProgram() override { return 0; }
    void setCurrentProgram (int) override {}
    const juce::String getProgramName (int) override { return {}; }
    void changeProgramName (int, const juce::String&) override {}
    void getStateInformation (juce::MemoryBlock& destData) override;
    void setStateInformation (const void* data, int sizeInBytes) override;
    bool isBusesLayoutSupported (const BusesLayout& layouts) const override;

    // Keeps the applied latency equal to its target, changing it only while nothing plays.
    void timerCallback() override;

    static juce::AudioProcessorValueTreeState::ParameterLayout createParameterLayout();

    juce::AudioProcessorValueTreeState parameters;

    // Shared with the editor (message thread); see the block loop for who writes what.
    std::atomic<double> hostBpm { 120.0 };
    std::atomic<bool> hostPlaying { false };
    std::atomic<bool> hostHasTempo { false };
    std::atomic<bool> sidechainPresent { false };
    std::atomic<bool> sidechainActive { false };

    // Manual alignment settings that are not automatable; the saved baseline of phase follow.
    std::atomic<bool> polarityFlip { false };
    std::atomic<bool> allPassOn { false };
    std::atomic<float> allPassFreqHz { 100.0f };
    std::atomic<float> allPassQ { 0.707f };

    // View settings the editor keeps here so that they survive closing it; saved with the project.
    std::atomic<int> displayDivision { 0 }; // grid division: 0 1/4, 1 1/8, 2 1/16, 3 1/2, 4 bar
    std::atomic<int> scopeViewMode { 1 };   // 0 combined, 1 separate, 2 phase delta
    std::atomic<bool> scopePost { true };
    std::atomic<int> legacyInt { 0 };       // kept for states written by older versions
    std::atomic<int> editorWidth { 1320 };
    std::atomic<int> editorHeight { 840 };
    std::atomic<bool> showGrReadout { false };
    std::atomic<bool> showCollisionMeter { false };

    // Advanced whenever phase follow work in flight must be dropped (a state restore, for one);
    // the audio thread starts phase follow over, back on the manual settings, at its next block.
    std::atomic<std::uint64_t> followEpoch { 0 };
    void invalidatePhaseFollow() noexcept { ++followEpoch; }

    // FOLLOW for the editor: the status words, and the correction playing (all-pass frequency,
    // all-pass on, flip).
    juce::String getPhaseFollowStatusText() const;
    PhaseFollowSettings getPlayingFollowCorrection() const noexcept
    {
        auto s = PhaseFollowRuntime::decodeCorrection (followRuntime.getPublishedCorrection());
        s.allPassQ = followRuntime.getPublishedQ();
        return s;
    }

    float getCurrentDelayMs() const noexcept { return alignment.getCurrentDelayMs(); }
    int getCurrentDelaySamples() const noexcept { return alignment.getCurrentDelaySamples(); }

    int getBaseLatency() const noexcept { return baseLatency.load(); }
    int getLookaheadLatency() const noexcept { return lookaheadLatency.load(); }
    int getAppliedLatency() const noexcept { return appliedLatency.load(); }
    int getTargetLatency() const noexcept;
    ReconfigurationFade::State getFadeState() const noexcept { return fade.getState(); }
    bool isReconfiguring() const noexcept { return reconfiguring.load(); }
    bool isQuiet() const noexcept { return quiet.load(); }
    bool isSilent() const noexcept { return silent.load(); }

    // The duck curve. Read and written only under curveLock, never on the audio thread, which
    // hears it through the shape table.
    dowsen::CurveModel curve;
    juce::CriticalSection curveLock;
    // The quick tile whose shape was last loaded, or -1 once the curve was changed otherwise.
    std::atomic<int> activeTile { 0 };

    // Every curve change goes through these; each ends by resampling the shape table.
    void pushCurveUndoState();
    bool undoCurveEdit();
    void applyPresetCurve (const dowsen::CurveModel& shape, int index);
    void curveEdited();
    bool hasCurveUndo() const;

    static constexpr size_t kMaxCurveUndo = 64;

    // The sampled curve on its way to the audio thread.
    dowsen::ShapeTableExchange& getShapeTables() noexcept { return engine.shapeTables(); }

    // LEARN KICK: the editor asks, the audio thread records one grid cycle of the kick's envelope,
    // and the editor takes it (up to kLearnTransferSize values) once it is ready.
    void requestLearn() noexcept { engine.requestLearn(); }
    bool isLearnReady() const noexcept { return engine.isLearnReady(); }
    int takeLearnCapture (float* dest, int maxCount) noexcept { return engine.takeLearnCapture (dest, maxCount); }
    static constexpr int kLearnTransferSize = 32768;

    float getDuckGain() const noexcept { return engine.getGain(); }

    // The transport of the last block (audio thread; for the stages and for tests).
    const TransportSnapshot& getTransport() const noexcept { return transport.current(); }

    // Display data (message thread). The traces and lanes are copied under the display lock,
    // which the audio thread only tries; everything else is a single atomic.
    void copyScopeTraces (ScopeCapture::Trace& bass, ScopeCapture::Trace& kick) const;
    void copyShapeLanes (ShapeViewCapture::Lanes& lanes) const { shapeView.copySnapshot (lanes, displayLock); }
    const ShapeViewCapture& getShapeViewCapture() const noexcept { return shapeView; }

    // The low-end phase meters: PRE hears the aligned bass before the duck, POST the output.
    PhaseMeterReading getPreMeterReading() const noexcept { return preMeter.getReading(); }
    PhaseMeterReading getPostMeterReading() const noexcept { return postMeter.getReading(); }
    // The one the ring shows: POST, unless the PRE view is chosen with the Dowsen module on.
    PhaseMeterReading getDisplayedMeterReading() const noexcept;

    // ANALYZE: the capture and search run in the analyzer; ManualAnalysisSession drives it for
    // the editor. APPLY writes a proposal into the parameters and the manual alignment.
    PhaseAnalyzer& getPhaseAnalyzer() noexcept { return phaseAnalyzer; }
    void applyAnalysis (const ManualAnalysisResult& result);

private:
    // Parameters are read only through the raw value pointers, on any thread.
    float value (int index) const noexcept { return values[static_cast<size_t> (index)]->load (std::memory_order_relaxed); }
    bool isOn (int index) const noexcept { return value (index) > 0.5f; }

    // One host block's channels: bass in place, the kick read-only.
    struct BlockChannels
    {
        float* left = nullptr;
        float* right = nullptr; // null for a mono main bus
        const float* kickLeft = nullptr;
        const float* kickRight = nullptr;
        int numSamples = 0;
        bool sidechainPresent = false;

        // Mono of the kick; silence without a sidechain.
        float kick (int i) const noexcept
        {
            if (kickLeft == nullptr)
                return 0.0f;
            const float l = lumetta::safeSample (kickLeft[i]);
            return kickRight != nullptr ? 0.5f * (l + lumetta::safeSample (kickRight[i])) : l;
        }
    };

    struct KickStats
    {
        bool sawSignal = false;
        double sumOfSquares = 0.0;
        void add (float k) noexcept
        {
            sawSignal = sawSignal || std::abs (k) > SidechainMonitor::kSignalThreshold;
            sumOfSquares += static_cast<double> (k) * k;
        }
    };

    BlockChannels routeChannels (juce::AudioBuffer<float>& buffer) const noexcept;
    KickStats processSamples (const BlockChannels& io, const TransportSnapshot& t) noexcept;
    void processChunk (const BlockChannels& io, const TransportSnapshot& t, int start, int count, KickStats& kick) noexcept;
    void intakeDowsen (const TransportSnapshot& t) noexcept;
    AnalysisContext analysisContextForBlock() const noexcept;
    void intakePhaseFollow (bool sidechainIsPresent) noexcept;
    void intakeLookahead() noexcept;
    void preparePhaseTrajectoryRuntime();
    void renderLookahead (AlignedFrame& frame) noexcept;
    void feedMeters (int count) noexcept;
    void resetMeters() noexcept;
    void finishBlock (juce::AudioBuffer<float>& buffer, const BlockChannels& io, const KickStats& kick) noexcept;

    void sampleShapeTable();

    AlignmentSettings alignmentSettingsForBlock() noexcept;
    void clearAudioThreadState() noexcept;

    struct BlockInFlight;

    AlignmentStage alignment;
    LinearPhaseCompensation linearPhase;
    dowsen::DuckEngine engine;
    DuckBand duckBand;
    AutoLevel autoLevel;
    ScopeCapture scope;
    ShapeViewCapture shapeView;
    mutable juce::SpinLock displayLock; // the published traces and lanes
    PhaseEfficiencyMeter preMeter, postMeter;
    bool metersInStep = true; // both have heard the same samples since their last reset
    TransportJumpDetector jumpDetector;
    PhaseAnalyzer phaseAnalyzer;
    PhaseFollowRuntime followRuntime;
    // FOLLOW with lookahead: the stream plays the bass (manual or followed) while the lookahead
    // latency is applied; the manual rendering it starts from and returns to is rendered here.
    PhaseFollowTrajectoryStream lookaheadStream;
    PhaseFollowTrajectoryPlanner::RendererState manualRenderer;
    PhaseFollowTrajectoryPlanner::Settings manualRendererSettings;
    std::uint64_t streamFrame = 0;
    bool lookaheadRendering = false; // this block goes through the stream
    // A change of the manual settings or a state restore hands back to the manual rendering
    // before following may start over.
    bool lookaheadRestarting = false;
    AlignmentSettings lookaheadManual;
    std::uint64_t lookaheadRestoreCount = 0;
    std::atomic<bool> lookaheadActive { false };
    // The block's bass and kick as ANALYZE captures them; longer blocks are not captured.
    static constexpr int kAnalysisBlock = 8192;
    std::vector<float> analysisBass, analysisKick;

    std::vector<dowsen::CurveModel> undoStack; // oldest first; guarded by curveLock
    std::mutex shapeTableWriter; // the engine's table exchange takes one writer at a time
    // prepareToPlay and the timer's reconfiguration both rebuild audio-thread state, and some
    // wrappers (JUCE's LV2 client) run the timer on a thread of their own: one at a time. The
    // audio thread never takes it.
    std::mutex preparation;

    HostTransport transport;
    SidechainMonitor sidechain;
    QuietDetector quietDetector;
    ReconfigurationFade fade;

    double sampleRate = 44100.0;
    int maxBlock = 512;

    // Per-chunk scratch, sized in prepareToPlay: the aligned frames and the input, so the low band
    // of a whole chunk can be computed between the alignment and the duck; the meters' inputs and
    // the samples at which a beat-synced division starts, so the meters run a chunk at a time.
    struct ChunkScratch
    {
        std::vector<AlignedFrame> aligned;
        std::vector<float> inLeft, inRight, rawKick, lowLeft, lowRight, preMono, postMono, meterKick;
        std::vector<int> divisionStarts;
        int numDivisionStarts = 0;
        void prepare (int size)
        {
            aligned.assign (static_cast<size_t> (size), {});
            for (auto* v : { &inLeft, &inRight, &rawKick, &lowLeft, &lowRight, &preMono, &postMono, &meterKick })
                v->assign (static_cast<size_t> (size), 0.0f);
            divisionStarts.assign (static_cast<size_t> (size), 0);
        }
    } scratch;

    std::array<std::atomic<float>*, 35> values {};

    std::atomic<int> blocksInFlight { 0 };
    std::atomic<bool> reconfiguring { false };
    std::atomic<bool> quiet { true };
    std::atomic<bool> silent { true };
    std::atomic<int> baseLatency { 882 };
    std::atomic<int> lookaheadLatency { 0 };
    std::atomic<int> appliedLatency { 882 };
    // The linear-phase low split's latency while it is on, else 0.
    std::atomic<int> linearPhaseLatency { 0 };

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (LumettaAudioProcessor)
};
