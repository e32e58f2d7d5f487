#pragma once

#include <juce_core/juce_core.h>

#include <algorithm>
#include <array>
#include <limits>

// The oscilloscope's two traces, swept across one grid division: 632 columns of two points, the
// extremes of the samples that fell into the column in the order they came. While the host
// transport plays with a position the column follows the beat; otherwise the sweep runs free at
// the division's rate and starts over at its end, which also gives the duck its grid phase while
// the transport is stopped.
class ScopeCapture
{
public:
    static constexpr int kColumns = 632;
    static constexpr int kPoints = 2 * kColumns;
    static constexpr float kCentre = 138.0f; // y of a zero sample; y = 138 - 138 v spans 0..276

    struct Point
    {
        float x, y;
    };
    using Trace = std::array<Point, kPoints>;

    ScopeCapture();

    // prepareToPlay: the sweep starts over; the traces keep what they show.
    void reset() noexcept;

    // Per block: the division (displayDivision) and the tempo. A new division restarts the sweep
    // with flat traces; doing it here keeps the restart on the audio thread, whoever changed it.
    void setUp (int displayDivision, double bpm, double rate) noexcept;

    // At the start of each chunk, with the beat position of its first sample (grid offset included).
    void startChunk (bool synced, double beatPosition) noexcept;

    // Per sample, after the output is written. Returns true when a beat-synced division starts at
    // this sample, which closes the phase meters' division. `lock` guards the published traces;
    // it is only tried, and a copy it misses is made by the next publish().
    bool advance (float bass, float kick, bool kickVisible, juce::SpinLock& lock) noexcept
    {
        bool sweepEnd = false;
        if (synced)
        {
            // Less than one sample into the division: it wrapped since the previous sample.
            const double a = inDivision;
            inDivision += beatsPerSample;
            if (inDivision >= divisionBeats)
            {
                inDivision -= divisionBeats;
                divisionStart += divisionBeats;
            }
            sweepEnd = a < beatsPerSample;
            if (! sweepEnd)
            {
                const int target = std::min (static_cast<int> (a * columnsPerBeat), kColumns - 1);
                if (target != column)
                    moveToColumn (target, kickVisible);
            }
        }
        else
            sweepEnd = column >= kColumns;

        if (sweepEnd)
            endSweep (kickVisible, lock);

        bassTracker.add (std::clamp (bass, -1.0f, 1.0f));
        kickTracker.add (std::clamp (kick, -1.0f, 1.0f));

        // Without a beat to follow, the sweep moves by the division's rate alone. With one, the
        // beat position sets the column; the accumulator stays out of it, since its columns would
        // not line up with the beat's and each correction would cut the column's extremes short.
        accumulator += pixelsPerSample;
        if (accumulator >= 1.0)
        {
            if (! synced)
                nextFreeColumn (kickVisible);
            accumulator -= 1.0;
        }
        return synced && sweepEnd;
    }

    // Block end: the published traces show the current sweep left of the column and the previous
    // one right of it.
    void publish (juce::SpinLock& lock) noexcept;

    // The caller holds the lock the traces are published under.
    const Trace& publishedBass() const noexcept { return published[0]; }
    const Trace& publishedKick() const noexcept { return published[1]; }

    float gridPhase() const noexcept { return static_cast<float> (column) / (kColumns - 1.0f); }
    // Position of the current sample within its division, 0..1 (synced only).
    float divisionPhase() const noexcept { return static_cast<float> (inDivision / divisionBeats); }
    // Beat position where the current sample's division began (synced only).
    double divisionStartBeats() const noexcept { return divisionStart; }
    int getColumn() const noexcept { return column; }

    static double divisionBeatsFor (int displayDivision) noexcept;

private:
    struct Tracker
    {
        float max = -std::numeric_limits<float>::max(), min = std::numeric_limits<float>::max();
        bool maxCameLast = false;
        void add (float v) noexcept
        {
            if (v > max)
            {
                max = v;
                maxCameLast = true;
            }
            if (v < min)
            {
                min = v;
                maxCameLast = false;
            }
        }
        bool empty() const noexcept { return max < min; }
        void write (Point* column) const noexcept;
    };

    void finishColumn (bool kickVisible) noexcept;
    void moveToColumn (int target, bool kickVisible) noexcept;
    void nextFreeColumn (bool kickVisible) noexcept;
    void resetTrackers() noexcept { bassTracker = kickTracker = Tracker {}; }
    void endSweep (bool kickVisible, juce::SpinLock& lock) noexcept;
    void flatten() noexcept;

    // 0 live bass, 1 live kick, 2 staging bass, 3 staging kick; published separately.
    std::array<Trace, 4> traces;
    std::array<Trace, 2> published;

    int column = 0;
    double accumulator = 1.0;
    Tracker bassTracker, kickTracker;
    int division = -1;
    double divisionBeats = 1.0, beatsPerSample = 0.0, pixelsPerSample = 0.0, columnsPerBeat = kColumns;
    bool synced = false;
    double inDivision = 0.0;    // the current sample's position within its division, in beats
    double divisionStart = 0.0; // beats
};
