#pragma once

#include <vector>

namespace signals
{
// Uniform noise in -0.5..0.5, the same for the same seed.
std::vector<float> whiteNoise (int count, unsigned seed);
// The same through two one-poles: most of its energy below about 300 Hz at 48 kHz, like the low
// end of a mix, with a correlation peak broad enough for a coarse lag grid to see.
std::vector<float> lowNoise (int count, unsigned seed);
} // namespace signals
