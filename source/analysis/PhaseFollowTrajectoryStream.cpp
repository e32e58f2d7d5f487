#include "analysis/PhaseFollowTrajectoryStream.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <vector>

namespace
{
using Planner = PhaseFollowTrajectoryPlanner;
using Renderer = PhaseFollowTrajectoryRenderer;

constexpr double kMaxStateBytes = 256.0 * 1024.0 * 1024.0;

float finiteOrZero (float x) noexcept
{
    return std::isfinite (x) ? x : 0.0f;
}

bool sameSnapshot (const Planner::Snapshot& a, const Planner::Snapshot& b) noexcept
{
    return a.frame == b.frame && a.streamId == b.streamId && a.appliedFrom == b.appliedFrom && a.key == b.key
           && Planner::sameRendererState (a.state, b.state);
}

// The worker runs each job with denormals treated as the audio thread that published it treated
// them: flushed on one side and not on the other, the predicted filter state would drift from the
// real one as a signal dies away.
struct ScopedDenormalMode
{
    explicit ScopedDenormalMode (bool disabled) noexcept : saved (juce::FloatVectorOperations::areDenormalsDisabled())
    {
        juce::FloatVectorOperations::disableDenormalisedNumberSupport (disabled);
    }
    ~ScopedDenormalMode() { juce::FloatVectorOperations::disableDenormalisedNumberSupport (saved); }

    ScopedDenormalMode (const ScopedDenormalMode&) = delete;
    ScopedDenormalMode& operator= (const ScopedDenormalMode&) = delete;

    bool saved;
};
} // namespace

//==============================================================================
struct PhaseFollowTrajectoryStream::State
{
    // One frame of input, tagged with its frame number: what the delay line plays and what the
    // jobs are cut from.
    struct Frame
    {
        float bass[2], kick[2], manual[2];
        std::uint64_t tag;
    };

    // The audio around one decision frame: the history before it, the hop and the future.
    struct Job
    {
        std::uint64_t epoch = 0, first = 0, decision = 0;
        bool denormalsDisabled = false;
        bool hasSnapshot = false;
        int leadIn = 0; // frames before the snapshot's, played as the manual rendering
        Planner::Snapshot snapshot;
        std::vector<float> bass[2], kick[2], manual[2];
    };

    // A plan's outcome for one frame, with the worker's prediction of what will be playing there.
    struct Decision
    {
        std::uint64_t epoch = 0, frame = 0;
        bool change = false;
        Planner::Target target;
        Planner::Snapshot predicted;
    };

    // Sizes, in samples.
    double rate = 0.0;
    int history = 0, hop = 0, future = 0, crossfade = 0, lookahead = 0, guard = 0, span = 0;
    int ringLength = 0, jobCount = 0, decisionSlots = 0;

    // Audio thread.
    std::vector<Frame> ring;
    int writeSlot = 0;
    bool started = false;
    std::uint64_t newest = 0, anchor = 0, nextDecision = 0;
    Renderer real, starting;
    bool startPending = false, resync = false;
    Planner::Snapshot start;
    std::uint64_t identities = 0;
    std::uint32_t keys = 0;
    std::uint64_t decisionsReadLocal = 0, jobsPublishedLocal = 0;
    int decisionReadSlot = 0; // decisionsReadLocal modulo decisionSlots, without a division per frame

    // Shared.
    std::atomic<std::uint64_t> epoch { 1 };
    std::atomic<std::uint64_t> outputFrame { 0 };
    std::atomic<bool> resyncRequested { false }, exitRequested { false };
    std::vector<Job> jobs;
    // The published jobs in order, as indices into jobs (written by the audio thread before it
    // publishes): a buffer the worker has finished with is used again at once, while it is still
    // in the cache.
    std::vector<int> queue;
    int lastJob = 0;
    std::atomic<std::uint64_t> jobsPublished { 0 }, jobsConsumed { 0 };
    std::vector<Decision> decisions;
    std::atomic<std::uint64_t> decisionsWritten { 0 }, decisionsRead { 0 };
    std::mutex mutex;

    // Worker.
    Planner planner;
    Renderer predicted;
    std::vector<float> predictedOut[2]; // what it played, a ring of span frames
    std::uint64_t predictedFrom = 0;    // since when the prediction has run without a gap
    std::vector<float> renderedHistory[2];

    enum Count
    {
        published,
        dropped,
        consumed,
        stale,
        target,
        noChange,
        tooQuiet,
        refused,
        applied,
        verified,
        resyncs,
        numCounts
    };
    std::atomic<std::uint64_t> counted[numCounts] {};

    void count (Count c) noexcept { counted[c].fetch_add (1, std::memory_order_relaxed); }

    //==========================================================================
    int slotOf (std::uint64_t frame) const noexcept
    {
        const int slot = writeSlot - static_cast<int> (newest - frame);
        return slot < 0 ? slot + ringLength : slot;
    }

    bool available (std::uint64_t frame) const noexcept
    {
        return frame >= anchor && frame <= newest && newest - frame < static_cast<std::uint64_t> (ringLength)
               && frameAt (slotOf (frame)).tag == frame;
    }

    const Frame& frameAt (int slot) const noexcept { return ring[static_cast<size_t> (slot)]; }

    // The stored frames [from, from + count) into a job's rows, in one pass over each contiguous
    // part of the ring.
    void copySpan (std::uint64_t from, int count, Job& job) const noexcept
    {
        const int slot = slotOf (from);
        const int firstPart = std::min (count, ringLength - slot);
        const auto copy = [&job] (const Frame* src, int n, int offset) {
            float* bl = job.bass[0].data() + offset;
            float* br = job.bass[1].data() + offset;
            float* kl = job.kick[0].data() + offset;
            float* kr = job.kick[1].data() + offset;
            for (int i = 0; i < n; ++i)
            {
                bl[i] = src[i].bass[0];
                br[i] = src[i].bass[1];
                kl[i] = src[i].kick[0];
                kr[i] = src[i].kick[1];
            }
        };
        copy (ring.data() + slot, firstPart, 0);
        copy (ring.data(), count - firstPart, firstPart);
    }

    void copyManual (std::uint64_t from, int count, Job& job) const noexcept
    {
        int slot = slotOf (from);
        for (size_t i = 0; i < static_cast<size_t> (count); ++i)
        {
            job.manual[0][i] = frameAt (slot).manual[0];
            job.manual[1][i] = frameAt (slot).manual[1];
            slot = slot + 1 == ringLength ? 0 : slot + 1;
        }
    }

    void requestResync() noexcept
    {
        epoch.fetch_add (1, std::memory_order_acq_rel);
        resync = true;
        count (resyncs);
    }

    // A copy of a renderer run over the stored frames up to (not including) `to`, as the real one
    // will be run when no decision reaches it in between.
    void fastForward (Renderer& r, std::uint64_t to) const noexcept
    {
        int slot = slotOf (r.getFrame());
        for (auto f = r.getFrame(); f < to; ++f)
        {
            const auto& in = frameAt (slot);
            float l = 0.0f, rr = 0.0f;
            r.render (in.bass[0], in.bass[1], in.manual[0], in.manual[1], l, rr);
            slot = slot + 1 == ringLength ? 0 : slot + 1;
        }
    }

    //==========================================================================
    // Audio thread.
    void startOver (std::uint64_t frame) noexcept
    {
        started = true;
        anchor = newest = frame;
        nextDecision = frame + static_cast<std::uint64_t> (history);
        real.prepare (rate);
        startPending = false;
        requestResync();
    }

    void takeIn (bool wantFollowing, std::uint64_t frame, const ManualFrame& manual) noexcept
    {
        if (wantFollowing)
        {
            if (startPending || real.isFollowing() || real.isExiting() || manual.state == nullptr)
                return;
            start.frame = start.appliedFrom = frame;
            start.streamId = real.isActive() ? real.getStreamId() : ++identities;
            start.key = ++keys;
            start.state = *manual.state;
            starting.prepare (rate);
            if (! starting.rebase (start))
                return;
            startPending = true;
            requestResync();
            return;
        }

        if (startPending)
        {
            startPending = false;
            requestResync();
        }
        if (real.isFollowing() && real.beginExit (crossfade, ++identities))
            requestResync();
    }

    // A job buffer no job in flight (queue entries from oldestInFlight on) uses: the last one when
    // the worker is done with it.
    int freeJob (std::uint64_t oldestInFlight) const noexcept
    {
        for (int candidate = lastJob, tried = 0; tried < jobCount; ++tried, candidate = candidate + 1 == jobCount ? 0 : candidate + 1)
        {
            bool inUse = false;
            for (auto q = oldestInFlight; q < jobsPublishedLocal && ! inUse; ++q)
                inUse = queue[static_cast<size_t> (q % static_cast<std::uint64_t> (jobCount))] == candidate;
            if (! inUse)
                return candidate;
        }
        return lastJob;
    }

    void publish (std::uint64_t decision) noexcept
    {
        if (! (startPending || real.isFollowing()))
            return;
        if (resyncRequested.exchange (false, std::memory_order_acq_rel))
            requestResync();

        // Every job in flight must find a decision slot when it is done.
        const auto first = decision - static_cast<std::uint64_t> (history);
        const auto last = first + static_cast<std::uint64_t> (span) - 1;
        const auto inFlight = jobsPublishedLocal - jobsConsumed.load (std::memory_order_acquire);
        const auto pending = decisionsWritten.load (std::memory_order_acquire) - decisionsReadLocal;
        if (inFlight >= static_cast<std::uint64_t> (jobCount) || inFlight + pending >= static_cast<std::uint64_t> (decisionSlots)
            || ! available (first) || ! available (last))
        {
            count (dropped);
            return;
        }

        // Starting over: what the real renderer will be playing at the job's first frame, or
        // from the start of following when that lies inside the history.
        Planner::Snapshot snapshot;
        int leadIn = 0;
        if (resync)
        {
            if (startPending)
            {
                if (start.frame > decision)
                    return;
                if (start.frame >= first)
                {
                    snapshot = start;
                    leadIn = static_cast<int> (start.frame - first);
                }
                else
                {
                    auto copy = starting;
                    fastForward (copy, first);
                    snapshot = copy.snapshot();
                }
            }
            else
            {
                auto copy = real;
                fastForward (copy, first);
                // A snapshot cannot hold a crossfade in progress: the next hop tries again.
                if (! copy.isFollowing() || copy.isCrossfading())
                    return;
                snapshot = copy.snapshot();
            }
        }

        lastJob = freeJob (jobsPublishedLocal - inFlight);
        queue[static_cast<size_t> (jobsPublishedLocal % static_cast<std::uint64_t> (jobCount))] = lastJob;
        auto& job = jobs[static_cast<size_t> (lastJob)];
        job.epoch = epoch.load (std::memory_order_relaxed);
        job.first = first;
        job.decision = decision;
        job.denormalsDisabled = juce::FloatVectorOperations::areDenormalsDisabled();
        job.hasSnapshot = resync;
        job.leadIn = leadIn;
        job.snapshot = snapshot;
        copySpan (first, span, job);
        copyManual (first, leadIn, job);
        jobsPublished.store (++jobsPublishedLocal, std::memory_order_release);
        count (published);
        resync = false;
    }

    void applyDecisions (std::uint64_t frame) noexcept
    {
        const auto written = decisionsWritten.load (std::memory_order_acquire);
        const auto current = epoch.load (std::memory_order_relaxed);
        while (decisionsReadLocal < written)
        {
            const auto& d = decisions[static_cast<size_t> (decisionReadSlot)];
            if (d.epoch == current && d.frame > frame)
                break;
            ++decisionsReadLocal;
            decisionReadSlot = decisionReadSlot + 1 == decisionSlots ? 0 : decisionReadSlot + 1;
            if (d.epoch != current || ! real.isFollowing())
                continue;
            // Too late, or not what the plan started from: the worker has lost the real renderer.
            if (d.frame < frame || real.isCrossfading() || ! sameSnapshot (real.snapshot(), d.predicted))
            {
                requestResync();
                break;
            }
            count (verified);
            if (! d.change)
                continue;
            if (real.beginTarget (d.target) == Renderer::kTargetAccepted)
                count (applied);
            else
            {
                requestResync();
                break;
            }
        }
        decisionsRead.store (decisionsReadLocal, std::memory_order_release);
    }

    Output process (std::uint64_t frame, const float (&in)[4], const ManualFrame& manual, bool wantFollowing) noexcept
    {
        if (! started || frame != newest + 1)
            startOver (frame);
        newest = frame;
        writeSlot = writeSlot + 1 == ringLength ? 0 : writeSlot + 1;
        ring[static_cast<size_t> (writeSlot)] = { { finiteOrZero (in[0]), finiteOrZero (in[1]) },
                                                  { finiteOrZero (in[2]), finiteOrZero (in[3]) },
                                                  { finiteOrZero (manual.left), finiteOrZero (manual.right) },
                                                  frame };

        takeIn (wantFollowing, frame, manual);

        if (frame + 1 >= nextDecision + static_cast<std::uint64_t> (hop + future))
        {
            publish (nextDecision);
            nextDecision += static_cast<std::uint64_t> (hop);
        }

        Output out;
        if (frame - anchor < static_cast<std::uint64_t> (lookahead))
            return out;

        const auto played = frame - static_cast<std::uint64_t> (lookahead);
        if (startPending && played == start.frame)
        {
            startPending = false;
            if (! real.rebase (start))
                requestResync();
        }
        applyDecisions (played);
        const auto& f = frameAt (slotOf (played));
        real.render (f.bass[0], f.bass[1], f.manual[0], f.manual[1], out.left, out.right);
        outputFrame.store (played, std::memory_order_relaxed);
        return out;
    }

    //==========================================================================
    // Worker, under the mutex.
    void record (std::uint64_t frame, float l, float r) noexcept
    {
        const auto i = static_cast<size_t> (frame % static_cast<std::uint64_t> (span));
        predictedOut[0][i] = l;
        predictedOut[1][i] = r;
    }

    // Runs the worker's renderer over the job's frames up to (not including) `to`.
    void advancePrediction (const Job& job, std::uint64_t to) noexcept
    {
        for (auto f = predicted.getFrame(); f < to; ++f)
        {
            const auto i = static_cast<size_t> (f - job.first);
            float l = 0.0f, r = 0.0f;
            predicted.render (job.bass[0][i], job.bass[1][i], 0.0f, 0.0f, l, r);
            record (f, l, r);
        }
    }

    void planDecision (const Job& job)
    {
        const auto decision = job.decision;
        for (int ch = 0; ch < 2; ++ch)
            for (int i = 0; i < history; ++i)
                renderedHistory[ch][static_cast<size_t> (i)] =
                    predictedOut[ch][static_cast<size_t> ((job.first + static_cast<std::uint64_t> (i)) % static_cast<std::uint64_t> (span))];

        Planner::Input in;
        for (int ch = 0; ch < 2; ++ch)
        {
            in.bass[ch] = job.bass[ch].data();
            in.kick[ch] = job.kick[ch].data();
            in.rendered[ch] = renderedHistory[ch].data();
        }
        in.historyLength = history;
        in.hopLength = hop;
        in.spanLength = span;
        in.frame = decision;
        in.streamId = predicted.getStreamId();
        in.appliedFrom = predicted.getAppliedFrom();
        in.key = predicted.getKey();
        in.current = predicted.getCurrentState();
        const auto plan = planner.plan (in);
        switch (plan.status)
        {
            case Planner::Status::Target:   count (target); break;
            case Planner::Status::NoChange: count (noChange); break;
            case Planner::Status::TooQuiet: count (tooQuiet); break;
            case Planner::Status::Refused:  count (refused); break;
        }

        // No slot, or no longer current: nothing is sent and the prediction stays without the
        // change, as the real renderer will.
        const auto w = decisionsWritten.load (std::memory_order_relaxed);
        if (w - decisionsRead.load (std::memory_order_acquire) >= static_cast<std::uint64_t> (decisionSlots)
            || job.epoch != epoch.load (std::memory_order_acquire))
            return;
        auto& d = decisions[static_cast<size_t> (w % static_cast<std::uint64_t> (decisionSlots))];
        d.epoch = job.epoch;
        d.frame = decision;
        d.change = plan.status == Planner::Status::Target;
        d.target = plan.target;
        d.predicted = predicted.snapshot();
        decisionsWritten.store (w + 1, std::memory_order_release);
        if (d.change && predicted.beginTarget (plan.target) != Renderer::kTargetAccepted)
            resyncRequested.store (true, std::memory_order_release);
    }

    void runJob (const Job& job)
    {
        if (job.epoch != epoch.load (std::memory_order_acquire))
        {
            count (stale);
            return;
        }
        count (consumed);

        if (job.hasSnapshot)
        {
            // Start over: the frames before the snapshot's play the manual rendering.
            predicted.prepare (rate);
            predictedFrom = job.first;
            for (int i = 0; i < job.leadIn; ++i)
                record (job.first + static_cast<std::uint64_t> (i), job.manual[0][static_cast<size_t> (i)],
                        job.manual[1][static_cast<size_t> (i)]);
            if (! predicted.rebase (job.snapshot))
            {
                resyncRequested.store (true, std::memory_order_release);
                return;
            }
        }
        else if (! predicted.isFollowing() || predicted.getFrame() < job.first || predicted.getFrame() > job.decision)
        {
            // Frames were missed: only a fresh snapshot helps.
            resyncRequested.store (true, std::memory_order_release);
            return;
        }

        advancePrediction (job, job.decision);
        const bool historyKnown = predictedFrom + static_cast<std::uint64_t> (history) <= job.decision;
        const bool inTime = job.decision > outputFrame.load (std::memory_order_relaxed) + static_cast<std::uint64_t> (guard);
        if (historyKnown && inTime && predicted.isFollowing() && ! predicted.isCrossfading())
            planDecision (job);
        advancePrediction (job, job.decision + static_cast<std::uint64_t> (hop));
    }

    bool consumeOne()
    {
        const auto c = jobsConsumed.load (std::memory_order_relaxed);
        if (c == jobsPublished.load (std::memory_order_acquire))
            return false;
        const auto& job = jobs[static_cast<size_t> (queue[static_cast<size_t> (c % static_cast<std::uint64_t> (jobCount))])];
        {
            const ScopedDenormalMode mode (job.denormalsDisabled);
            runJob (job);
        }
        jobsConsumed.store (c + 1, std::memory_order_release);
        return true;
    }

    void run()
    {
        while (! exitRequested.load (std::memory_order_acquire))
        {
            bool consumedOne = false;
            {
                const std::lock_guard<std::mutex> lock (mutex);
                consumedOne = consumeOne();
            }
            if (! consumedOne)
                std::this_thread::sleep_for (std::chrono::milliseconds (1));
        }
    }
};

//==============================================================================
PhaseFollowTrajectoryStream::PhaseFollowTrajectoryStream() = default;

PhaseFollowTrajectoryStream::~PhaseFollowTrajectoryStream()
{
    stopWorker();
}

void PhaseFollowTrajectoryStream::stopWorker()
{
    if (state != nullptr)
        state->exitRequested.store (true, std::memory_order_release);
    if (worker.joinable())
        worker.join();
}

PhaseFollowTrajectoryStream::Options PhaseFollowTrajectoryStream::runtimeOptions (double sampleRate, int maxBlock,
                                                                                 double lookaheadMs) noexcept
{
    Options o;
    const double hop = std::max (0.064 * sampleRate, 1.0);
    o.jobCount = std::clamp (static_cast<int> (std::ceil (std::max (maxBlock, 0) / hop)) + 3, 4, 128);
    o.decisionCount = std::min (o.jobCount, 124) + 4;
    o.guardMs = 10.0;
    o.lookaheadMs = lookaheadMs;
    return o;
}

bool PhaseFollowTrajectoryStream::prepare (double rate, const Options& options)
{
    stopWorker();
    state.reset();

    if (! (std::isfinite (rate) && rate >= 8000.0 && rate <= 192000.0))
        return false;
    if (options.jobCount < 1 || options.jobCount > 128 || options.decisionCount < 1 || options.decisionCount > 128)
        return false;
    if (! (std::isfinite (options.guardMs) && options.guardMs >= 0.0 && options.guardMs <= 20.0))
        return false;
    // The processor's lookahead latency is at least 384 ms, but the stream's own delay is that less
    // the 20 ms the alignment stage keeps for moving the bass earlier: what the stream needs is
    // only enough for history, hop, future and guard (checked below).
    if (! (std::isfinite (options.lookaheadMs) && options.lookaheadMs > 0.0 && options.lookaheadMs <= 10000.0))
        return false;

    auto s = std::make_unique<State>();
    if (! s->planner.prepare (rate, options.planner))
        return false;
    s->rate = rate;
    s->history = s->planner.getHistorySamples();
    s->hop = s->planner.getHopSamples();
    s->future = s->planner.getFutureSamples();
    s->crossfade = s->planner.getCrossfadeSamples();
    s->span = s->planner.getSpanSamples();
    s->lookahead = static_cast<int> (std::round (options.lookaheadMs * rate / 1000.0));
    s->guard = static_cast<int> (std::ceil (options.guardMs * rate / 1000.0));
    if (! (s->crossfade > 3 && s->hop >= s->crossfade && s->lookahead - s->hop - s->future - s->guard >= s->history))
        return false;

    // A decision waits in its slot from planning until the output reaches its frame.
    s->ringLength = 2 * (s->lookahead + s->guard) + s->span + 4;
    s->jobCount = options.jobCount;
    const int waiting = (s->lookahead - s->hop - s->future + s->hop) / s->hop + 2;
    s->decisionSlots = std::max (options.decisionCount, options.jobCount + waiting);

    const double bytes = static_cast<double> (s->ringLength) * sizeof (State::Frame)
                         + static_cast<double> (s->jobCount) * (4.0 * s->span + 2.0 * s->history) * sizeof (float)
                         + static_cast<double> (s->decisionSlots) * sizeof (State::Decision)
                         + (10.0 * s->span + 2.0 * s->history) * sizeof (float);
    if (bytes >= kMaxStateBytes)
        return false;

    s->ring.assign (static_cast<size_t> (s->ringLength), { {}, {}, {}, ~std::uint64_t { 0 } });
    s->jobs.resize (static_cast<size_t> (s->jobCount));
    s->queue.assign (static_cast<size_t> (s->jobCount), 0);
    for (auto& job : s->jobs)
        for (int ch = 0; ch < 2; ++ch)
        {
            job.bass[ch].assign (static_cast<size_t> (s->span), 0.0f);
            job.kick[ch].assign (static_cast<size_t> (s->span), 0.0f);
            job.manual[ch].assign (static_cast<size_t> (s->history), 0.0f);
        }
    s->decisions.resize (static_cast<size_t> (s->decisionSlots));
    for (int ch = 0; ch < 2; ++ch)
    {
        s->predictedOut[ch].assign (static_cast<size_t> (s->span), 0.0f);
        s->renderedHistory[ch].assign (static_cast<size_t> (s->history), 0.0f);
    }
    s->real.prepare (rate);
    s->starting.prepare (rate);
    s->predicted.prepare (rate);

    state = std::move (s);
    worker = std::thread ([st = state.get()] { st->run(); });
    return true;
}

PhaseFollowTrajectoryStream::Output PhaseFollowTrajectoryStream::processFrame (std::uint64_t frame, float bassLeft,
                                                                              float bassRight, float kickLeft,
                                                                              float kickRight,
                                                                              const ManualFrame& manual) noexcept
{
    if (state == nullptr)
        return {};
    const float in[4] = { bassLeft, bassRight, kickLeft, kickRight };
    return state->process (frame, in, manual, wantFollowing);
}

bool PhaseFollowTrajectoryStream::isFollowActive() const noexcept
{
    return state != nullptr && state->real.isActive() && ! state->real.isFinished();
}

bool PhaseFollowTrajectoryStream::hasExitFinished() const noexcept
{
    return state != nullptr && state->real.isFinished();
}

const PhaseFollowTrajectoryStream::RendererState& PhaseFollowTrajectoryStream::getPlayingState() const noexcept
{
    return getRenderer().getCurrentState();
}

const PhaseFollowTrajectoryRenderer& PhaseFollowTrajectoryStream::getRenderer() const noexcept
{
    return state != nullptr ? state->real : unpreparedRenderer;
}

void PhaseFollowTrajectoryStream::newEpoch() noexcept
{
    if (state != nullptr)
        state->requestResync();
}

void PhaseFollowTrajectoryStream::drain()
{
    if (state == nullptr)
        return;
    const std::lock_guard<std::mutex> lock (state->mutex);
    while (state->consumeOne())
    {
    }
}

int PhaseFollowTrajectoryStream::getLookaheadSamples() const noexcept
{
    return state != nullptr ? state->lookahead : 0;
}

PhaseFollowTrajectoryStream::Counters PhaseFollowTrajectoryStream::getCounters() const noexcept
{
    Counters c;
    if (state == nullptr)
        return c;
    const auto get = [this] (State::Count k) { return state->counted[k].load (std::memory_order_relaxed); };
    c.jobsPublished = get (State::published);
    c.jobsDropped = get (State::dropped);
    c.jobsConsumed = get (State::consumed);
    c.jobsStale = get (State::stale);
    c.plansTarget = get (State::target);
    c.plansNoChange = get (State::noChange);
    c.plansTooQuiet = get (State::tooQuiet);
    c.plansRefused = get (State::refused);
    c.decisionsApplied = get (State::applied);
    c.decisionsVerified = get (State::verified);
    c.resyncs = get (State::resyncs);
    return c;
}
