#include "helpers/SignalVectors.h"

#include "processor/AllPassFilter.h"

#include <random>

namespace signals
{
std::vector<float> whiteNoise (int count, unsigned seed)
{
    std::mt19937 rng (seed);
    std::uniform_real_distribution<float> u (-0.5f, 0.5f);
    std::vector<float> v (static_cast<size_t> (count));
    for (auto& s : v)
        s = u (rng);
    return v;
}

std::vector<float> lowNoise (int count, unsigned seed)
{
    auto v = whiteNoise (count, seed);
    float s1 = 0.0f, s2 = 0.0f;
    for (auto& s : v)
    {
        s1 += (s - s1) * 0.04f;
        s2 += (s1 - s2) * 0.04f;
        s = 8.0f * s2;
    }
    return v;
}

std::vector<float> scaled (std::vector<float> v, float gain)
{
    for (auto& s : v)
        s *= gain;
    return v;
}

std::vector<float> allPassed (const std::vector<float>& in, float hz, float q, double rate)
{
    AllPassFilter f (rate, hz, q, true);
    std::vector<float> out (in.size());
    for (size_t i = 0; i < in.size(); ++i)
        out[i] = f.processSample (in[i]);
    return out;
}
} // namespace signals
