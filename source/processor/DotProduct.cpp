#include "processor/DotProduct.h"

#if defined(__x86_64__) && defined(__GNUC__)
 #include <immintrin.h>
 #define LUMETTA_HAS_AVX2_PATH 1
#else
 #define LUMETTA_HAS_AVX2_PATH 0
#endif

namespace lumetta
{
namespace
{
void convolvePortable (const double* h, int taps, const double* x, float* out, int count) noexcept
{
    for (int i = 0; i < count; ++i)
    {
        double acc = 0.0;
        for (int j = 0; j < taps; ++j)
            acc += h[j] * x[i + j];
        out[i] = static_cast<float> (acc);
    }
}

#if LUMETTA_HAS_AVX2_PATH
// Sixteen outputs at a time: each tap is broadcast once and multiplied into four registers of
// four running sums each, against sixteen consecutive inputs.
__attribute__ ((target ("avx2,fma"))) void convolveAvx2 (const double* h, int taps, const double* x, float* out, int count) noexcept
{
    int i = 0;
    for (; i + 16 <= count; i += 16)
    {
        __m256d a0 = _mm256_setzero_pd(), a1 = _mm256_setzero_pd(), a2 = _mm256_setzero_pd(), a3 = _mm256_setzero_pd();
        const double* xi = x + i;
        for (int j = 0; j < taps; ++j)
        {
            const __m256d t = _mm256_broadcast_sd (h + j);
            a0 = _mm256_fmadd_pd (t, _mm256_loadu_pd (xi + j), a0);
            a1 = _mm256_fmadd_pd (t, _mm256_loadu_pd (xi + j + 4), a1);
            a2 = _mm256_fmadd_pd (t, _mm256_loadu_pd (xi + j + 8), a2);
            a3 = _mm256_fmadd_pd (t, _mm256_loadu_pd (xi + j + 12), a3);
        }
        _mm_storeu_ps (out + i, _mm256_cvtpd_ps (a0));
        _mm_storeu_ps (out + i + 4, _mm256_cvtpd_ps (a1));
        _mm_storeu_ps (out + i + 8, _mm256_cvtpd_ps (a2));
        _mm_storeu_ps (out + i + 12, _mm256_cvtpd_ps (a3));
    }
    convolvePortable (h, taps, x + i, out + i, count - i);
}

// The same with eight doubles a register: 32 outputs at a time in four registers.
__attribute__ ((target ("avx512f"))) void convolveAvx512 (const double* h, int taps, const double* x, float* out, int count) noexcept
{
    int i = 0;
    for (; i + 32 <= count; i += 32)
    {
        __m512d a0 = _mm512_setzero_pd(), a1 = _mm512_setzero_pd(), a2 = _mm512_setzero_pd(), a3 = _mm512_setzero_pd();
        const double* xi = x + i;
        for (int j = 0; j < taps; ++j)
        {
            const __m512d t = _mm512_set1_pd (h[j]);
            a0 = _mm512_fmadd_pd (t, _mm512_loadu_pd (xi + j), a0);
            a1 = _mm512_fmadd_pd (t, _mm512_loadu_pd (xi + j + 8), a1);
            a2 = _mm512_fmadd_pd (t, _mm512_loadu_pd (xi + j + 16), a2);
            a3 = _mm512_fmadd_pd (t, _mm512_loadu_pd (xi + j + 24), a3);
        }
        _mm256_storeu_ps (out + i, _mm512_cvtpd_ps (a0));
        _mm256_storeu_ps (out + i + 8, _mm512_cvtpd_ps (a1));
        _mm256_storeu_ps (out + i + 16, _mm512_cvtpd_ps (a2));
        _mm256_storeu_ps (out + i + 24, _mm512_cvtpd_ps (a3));
    }
    convolveAvx2 (h, taps, x + i, out + i, count - i);
}
#endif

using Kernel = void (*) (const double*, int, const double*, float*, int) noexcept;

Kernel chooseKernel() noexcept
{
   #if LUMETTA_HAS_AVX2_PATH
    __builtin_cpu_init();
    if (__builtin_cpu_supports ("avx512f"))
        return convolveAvx512;
    if (__builtin_cpu_supports ("avx2") && __builtin_cpu_supports ("fma"))
        return convolveAvx2;
   #endif
    return convolvePortable;
}

// Chosen once at load time, so the audio thread never runs an initialisation guard.
const Kernel kernel = chooseKernel();
} // namespace

void convolve (const double* h, int taps, const double* x, float* out, int count) noexcept
{
    kernel (h, taps, x, out, count);
}
} // namespace lumetta
