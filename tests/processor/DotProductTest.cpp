#include "processor/DotProduct.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

TEST (Convolve, MatchesAnExactSumForEveryCountAndLength)
{
    std::mt19937 rng (5);
    std::uniform_real_distribution<double> u (-1.0, 1.0);
    std::vector<double> h (1100), x (3200);
    for (auto& v : h)
        v = u (rng);
    for (auto& v : x)
        v = u (rng);

    for (const int taps : { 1, 7, 8, 1025 })
        for (const int count : { 0, 1, 7, 15, 16, 17, 33, 512 })
        {
            std::vector<float> out (static_cast<size_t> (std::max (count, 1)));
            lumetta::convolve (h.data(), taps, x.data(), out.data(), count);
            for (int i = 0; i < count; ++i)
            {
                long double exact = 0.0L;
                for (int j = 0; j < taps; ++j)
                    exact += static_cast<long double> (h[static_cast<size_t> (j)]) * x[static_cast<size_t> (i + j)];
                ASSERT_NEAR (out[static_cast<size_t> (i)], static_cast<float> (exact), 1.0e-5f * std::max (1.0f, std::abs (static_cast<float> (exact))))
                    << taps << " taps, output " << i;
            }
        }
}
