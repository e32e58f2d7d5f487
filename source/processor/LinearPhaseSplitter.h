#pragma once

#include <cstddef>
#include <vector>

// A linear-phase low-pass FIR (windowed sinc, 1025 taps at 48 kHz) that splits the bass into a
// low band and the rest without phase shift, at the price of half its length in latency.
// Each input is written twice, N places apart, so that the last N inputs always lie contiguous
// and the dot product needs no wrap test. History and taps are kept in double precision (the
// float inputs exactly), so the double-precision dot product needs no conversions.
class LinearPhaseSplitter
{
public:
    void prepare (double rate);
    // Redesigns the taps for a new cutoff (at least 10 Hz); the history is kept.
    void setCutoff (float hz);
    void reset() noexcept;

    void push (float x) noexcept
    {
        history[static_cast<std::size_t> (writePos)] = static_cast<double> (x);
        history[static_cast<std::size_t> (writePos + length)] = static_cast<double> (x);
        writePos = writePos + 1 == length ? 0 : writePos + 1;
    }

    // The input of `half` samples ago: the signal delayed by the splitter's latency.
    float delayed() const noexcept { return static_cast<float> (history[static_cast<std::size_t> (writePos + half)]); }

    // The low band of that same sample, accumulated in double precision.
    float low() const noexcept;

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
    int writePos = 0;
    std::vector<double> history = std::vector<double> (2 * 1025, 0.0);
    std::vector<double> taps = std::vector<double> (1025, 0.0);
};
