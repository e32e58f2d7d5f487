#include "processor/DotProduct.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

TEST (DotProduct, MatchesAnExactSumForEveryLengthAndAlignment)
{
    std::mt19937 rng (5);
    std::uniform_real_distribution<double> u (-1.0, 1.0);
    std::vector<double> a (2100), b (2100);
    for (auto& x : a)
        x = u (rng);
    for (auto& x : b)
        x = u (rng);

    for (const int n : { 0, 1, 7, 8, 9, 63, 1025, 2049 })
        for (const int offset : { 0, 1, 3 })
        {
            long double exact = 0.0L;
            for (int i = 0; i < n; ++i)
                exact += static_cast<long double> (a[static_cast<size_t> (i + offset)]) * b[static_cast<size_t> (i)];
            const double got = lumetta::dotProduct (a.data() + offset, b.data(), n);
            EXPECT_NEAR (got, static_cast<double> (exact), 1.0e-12 * std::max (1.0, std::abs (static_cast<double> (exact))))
                << n << " at offset " << offset;
        }
}
