#pragma once

#include <cstddef>
#include <vector>

// A linear-phase low-pass FIR (windowed sinc, 1025 taps at 48 kHz) that splits the bass into a
// low band and the rest without phase shift, at the price of half its length in latency.
//
// It works a chunk of samples at a time over one contiguous history: the N − 1 inputs before the
// chunk followed by the chunk's own. That lets the low band of a whole chunk be computed at once,
// each tap loaded once for several outputs, and needs no wrap test anywhere. History and taps are
// kept in double precision (the float inputs exactly) for the double-precision sums.
class LinearPhaseSplitter
{
public:
    // Sizes everything for chunks of up to maxChunk samples.
    void prepare (double rate, int maxChunk);
    // Redesigns the taps for a new cutoff (at least 10 Hz); the history is kept.
    void setCutoff (float hz);
    void reset() noexcept;

    // Sample i of the current chunk.
    void write (int i, float x) noexcept { history[static_cast<std::size_t> (length - 1 + i)] = static_cast<double> (x); }
    // The input of `half` samples before sample i: the signal delayed by the splitter's latency.
    float delayed (int i) const noexcept { return static_cast<float> (history[static_cast<std::size_t> (length - 1 + i - half)]); }
    // The low band of those delayed samples for the first `count` samples of the chunk (all
    // written), accumulated in double precision.
    void lowBand (float* out, int count) const noexcept;
    // After the chunk: its last N − 1 inputs become the history of the next one.
    void finishChunk (int count) noexcept;

    float getCutoff() const noexcept { return cutoff; }
    int getHalf() const noexcept { return half; }
    int getLength() const noexcept { return length; }
    const std::vector<double>& getTaps() const noexcept { return taps; }

    static constexpr float kMinCutoff = 10.0f;

private:
    void designTaps();

    double sampleRate = 48000.0;
    float cutoff = 180.0f;
    int half = 512;
    int length = 1025;
    int maxChunkSize = 1;
    std::vector<double> history = std::vector<double> (1025, 0.0);
    std::vector<double> taps = std::vector<double> (1025, 0.0);
};
