#include "processor/DotProduct.h"

#if defined(__x86_64__) && defined(__GNUC__) && defined(__linux__)
 #define LUMETTA_TARGET_CLONES __attribute__ ((target_clones ("arch=skylake-avx512", "arch=haswell", "default")))
#else
 #define LUMETTA_TARGET_CLONES
#endif

namespace lumetta
{
LUMETTA_TARGET_CLONES
double dotProduct (const double* a, const double* b, int n) noexcept
{
    // Eight independent partial sums: the compiler keeps them in two vector registers of four
    // doubles and the additions no longer wait on each other.
    double s[8] {};
    int i = 0;
    for (; i + 8 <= n; i += 8)
        for (int k = 0; k < 8; ++k)
            s[k] += a[i + k] * b[i + k];
    for (; i < n; ++i)
        s[0] += a[i] * b[i];
    return ((s[0] + s[4]) + (s[1] + s[5])) + ((s[2] + s[6]) + (s[3] + s[7]));
}
} // namespace lumetta
