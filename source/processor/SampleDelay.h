#pragma once

#include <algorithm>
#include <vector>

// A plain delay of a whole number of samples (at least 1), sized outside the audio thread.
class SampleDelay
{
public:
    void prepare (int samples)
    {
        line.assign (static_cast<size_t> (std::max (1, samples)), 0.0f);
        pos = 0;
    }
    void reset() noexcept
    {
        std::fill (line.begin(), line.end(), 0.0f);
        pos = 0;
    }
    float process (float x) noexcept
    {
        const float out = line[static_cast<size_t> (pos)];
        line[static_cast<size_t> (pos)] = x;
        pos = pos + 1 == static_cast<int> (line.size()) ? 0 : pos + 1;
        return out;
    }

private:
    std::vector<float> line = std::vector<float> (1, 0.0f);
    int pos = 0;
};
