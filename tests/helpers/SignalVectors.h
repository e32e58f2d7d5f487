#pragma once

#include <vector>

// Test signals as plain sample vectors, for the classes that work on buffers.
namespace signals
{
// Uniform noise in -0.5..0.5, the same for the same seed.
std::vector<float> whiteNoise (int count, unsigned seed);
// The same through two one-poles: most of its energy below about 300 Hz at 48 kHz, like the low
// end of a mix, with a correlation peak broad enough for a coarse lag grid to see.
std::vector<float> lowNoise (int count, unsigned seed);
// A copy times a gain.
std::vector<float> scaled (std::vector<float> v, float gain);
// A copy through the alignment stage's all-pass, from rest.
std::vector<float> allPassed (const std::vector<float>& in, float hz, float q, double rate = 48000.0);
} // namespace signals
