#include "analysis/CorrelationKernels.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#if defined(__x86_64__) && defined(__GNUC__)
 #include <immintrin.h>
 #define LUMETTA_HAS_AVX2_PATH 1
#else
 #define LUMETTA_HAS_AVX2_PATH 0
#endif

namespace lumetta::phasesearch
{
AllPassCoefficients allPassCoefficients (float freqHz, float q, double sampleRate) noexcept
{
    const double w = 2.0 * std::numbers::pi * static_cast<double> (freqHz) / sampleRate;
    const double alpha = std::sin (w) / (2.0 * static_cast<double> (q));
    return { static_cast<float> (-2.0 * std::cos (w) / (1.0 + alpha)), static_cast<float> ((1.0 - alpha) / (1.0 + alpha)) };
}

namespace
{
// The i with both x[i] and y[i + lag] inside the buffers.
struct PairRange
{
    int begin = 0, end = 0;
};

PairRange pairRange (int count, int lag) noexcept
{
    const std::int64_t n = std::max (count, 0);
    const auto begin = std::clamp<std::int64_t> (-static_cast<std::int64_t> (lag), 0, n);
    const auto end = std::clamp<std::int64_t> (n - lag, begin, n);
    return { static_cast<int> (begin), static_cast<int> (end) };
}

// The same operations in the same order as AllPassFilter::processSample, so every vector lane
// below reproduces this scalar result exactly.
inline float allPassStep (AllPassCoefficients c, float x, float x1, float x2, float y1, float y2) noexcept
{
    return c.a2 * x + c.a1 * x1 + x2 - c.a1 * y1 - c.a2 * y2;
}

inline void accumulate (CorrelationSums& s, float x, float y) noexcept
{
    if (std::abs (x) < kQuietPairLevel && std::abs (y) < kQuietPairLevel)
        return;
    const double dx = x, dy = y;
    ++s.pairs;
    s.xy += dx * dy;
    s.xx += dx * dx;
    s.yy += dy * dy;
}

inline void countSign (SignCounts& c, float x, float y) noexcept
{
    if (! (std::abs (x) > kSignLevel && std::abs (y) > kSignLevel))
        return;
    ++c.pairs;
    c.sameSign += (x > 0.0f) == (y > 0.0f) ? 1 : 0;
}
} // namespace

void applyAllPass (const float* in, float* out, int count, AllPassCoefficients c) noexcept
{
    float x1 = 0.0f, x2 = 0.0f, y1 = 0.0f, y2 = 0.0f;
    for (int i = 0; i < count; ++i)
    {
        const float x = in[i];
        const float y = allPassStep (c, x, x1, x2, y1, y2);
        x2 = x1;
        x1 = x;
        y2 = y1;
        y1 = y;
        out[i] = y;
    }
}

namespace
{

//==============================================================================
CorrelationSums correlatePortable (const float* x, const float* y, int count, int lag) noexcept
{
    CorrelationSums s;
    const auto r = pairRange (count, lag);
    for (int i = r.begin; i < r.end; ++i)
        accumulate (s, x[i], y[i + lag]);
    return s;
}

void correlateAllPassedPortable (const float* x, const float* y, int count, int lag, const AllPassCoefficients* filters,
                                 int numFilters, CorrelationSums* sums) noexcept
{
    const auto r = pairRange (count, lag);
    for (int k = 0; k < numFilters; ++k)
    {
        CorrelationSums s;
        float x1 = 0.0f, x2 = 0.0f, y1 = 0.0f, y2 = 0.0f;
        for (int i = 0; i < r.end; ++i)
        {
            const float out = allPassStep (filters[k], x[i], x1, x2, y1, y2);
            x2 = x1;
            x1 = x[i];
            y2 = y1;
            y1 = out;
            if (i >= r.begin)
                accumulate (s, out, y[i + lag]);
        }
        sums[k] = s;
    }
}

SignCounts countSignsPortable (const float* x, const float* y, int count, int lag) noexcept
{
    SignCounts c;
    const auto r = pairRange (count, lag);
    for (int i = r.begin; i < r.end; ++i)
        countSign (c, x[i], y[i + lag]);
    return c;
}

#if LUMETTA_HAS_AVX2_PATH
//==============================================================================
// AVX2: eight floats a register, their products in two registers of four doubles. Quiet pairs
// are zeroed rather than skipped, which adds nothing to the sums.

__attribute__ ((target ("avx2"))) inline double sum4 (__m256d v) noexcept
{
    const __m128d pair = _mm_add_pd (_mm256_castpd256_pd128 (v), _mm256_extractf128_pd (v, 1));
    return _mm_cvtsd_f64 (_mm_add_sd (pair, _mm_unpackhi_pd (pair, pair)));
}

__attribute__ ((target ("avx2"))) inline std::int64_t sum8 (__m256i v) noexcept
{
    alignas (32) std::int32_t lanes[8];
    _mm256_store_si256 (reinterpret_cast<__m256i*> (lanes), v);
    std::int64_t total = 0;
    for (const auto lane : lanes)
        total += lane;
    return total;
}

__attribute__ ((target ("avx2"))) inline __m256 magnitude (__m256 v) noexcept
{
    return _mm256_and_ps (v, _mm256_castsi256_ps (_mm256_set1_epi32 (0x7fffffff)));
}

__attribute__ ((target ("avx2"))) inline __m256d lowHalf (__m256 v) noexcept { return _mm256_cvtps_pd (_mm256_castps256_ps128 (v)); }
__attribute__ ((target ("avx2"))) inline __m256d highHalf (__m256 v) noexcept { return _mm256_cvtps_pd (_mm256_extractf128_ps (v, 1)); }

__attribute__ ((target ("avx2"))) CorrelationSums correlateAvx2 (const float* x, const float* y, int count, int lag) noexcept
{
    const auto r = pairRange (count, lag);
    const __m256 level = _mm256_set1_ps (kQuietPairLevel);
    __m256d xyLo = _mm256_setzero_pd(), xyHi = xyLo, xxLo = xyLo, xxHi = xyLo, yyLo = xyLo, yyHi = xyLo;
    __m256i quietPairs = _mm256_setzero_si256();

    int i = r.begin;
    for (; i + 8 <= r.end; i += 8)
    {
        const __m256 vx = _mm256_loadu_ps (x + i), vy = _mm256_loadu_ps (y + i + lag);
        const __m256 quiet = _mm256_and_ps (_mm256_cmp_ps (magnitude (vx), level, _CMP_LT_OQ),
                                            _mm256_cmp_ps (magnitude (vy), level, _CMP_LT_OQ));
        quietPairs = _mm256_sub_epi32 (quietPairs, _mm256_castps_si256 (quiet));
        const __m256 kx = _mm256_andnot_ps (quiet, vx), ky = _mm256_andnot_ps (quiet, vy);
        const __m256d xl = lowHalf (kx), xh = highHalf (kx), yl = lowHalf (ky), yh = highHalf (ky);
        xyLo = _mm256_add_pd (xyLo, _mm256_mul_pd (xl, yl));
        xyHi = _mm256_add_pd (xyHi, _mm256_mul_pd (xh, yh));
        xxLo = _mm256_add_pd (xxLo, _mm256_mul_pd (xl, xl));
        xxHi = _mm256_add_pd (xxHi, _mm256_mul_pd (xh, xh));
        yyLo = _mm256_add_pd (yyLo, _mm256_mul_pd (yl, yl));
        yyHi = _mm256_add_pd (yyHi, _mm256_mul_pd (yh, yh));
    }

    CorrelationSums s { (i - r.begin) - sum8 (quietPairs), sum4 (_mm256_add_pd (xyLo, xyHi)),
                        sum4 (_mm256_add_pd (xxLo, xxHi)), sum4 (_mm256_add_pd (yyLo, yyHi)) };
    for (; i < r.end; ++i)
        accumulate (s, x[i], y[i + lag]);
    return s;
}

// Eight filters a register, Groups registers side by side so that the recursions of the groups
// overlap in the pipeline.
template <std::size_t Groups>
__attribute__ ((target ("avx2"))) void allPassGroupsAvx2 (const float* x, const float* y, int count, int lag,
                                                          const AllPassCoefficients* filters, int numFilters,
                                                          CorrelationSums* sums) noexcept
{
    constexpr std::size_t lanes = 8 * Groups;
    alignas (32) float a1s[lanes] = {}, a2s[lanes] = {};
    const auto used = static_cast<std::size_t> (numFilters);
    for (std::size_t k = 0; k < used; ++k)
    {
        a1s[k] = filters[k].a1;
        a2s[k] = filters[k].a2;
    }

    __m256 a1[Groups], a2[Groups], y1[Groups], y2[Groups];
    __m256i pairs[Groups];
    __m256d xyLo[Groups], xyHi[Groups], xxLo[Groups], xxHi[Groups], yyLo[Groups], yyHi[Groups];
    for (std::size_t g = 0; g < Groups; ++g)
    {
        a1[g] = _mm256_load_ps (a1s + 8 * g);
        a2[g] = _mm256_load_ps (a2s + 8 * g);
        y1[g] = y2[g] = _mm256_setzero_ps();
        pairs[g] = _mm256_setzero_si256();
        xyLo[g] = xyHi[g] = xxLo[g] = xxHi[g] = yyLo[g] = yyHi[g] = _mm256_setzero_pd();
    }

    const auto r = pairRange (count, lag);
    const __m256 level = _mm256_set1_ps (kQuietPairLevel);
    __m256 x1 = _mm256_setzero_ps(), x2 = x1;

    // Before the first pair the filters only run.
    for (int i = 0; i < r.begin; ++i)
    {
        const __m256 in = _mm256_set1_ps (x[i]);
        for (std::size_t g = 0; g < Groups; ++g)
        {
            const __m256 out = _mm256_sub_ps (_mm256_sub_ps (_mm256_add_ps (_mm256_add_ps (_mm256_mul_ps (a2[g], in), _mm256_mul_ps (a1[g], x1)), x2),
                                                             _mm256_mul_ps (a1[g], y1[g])),
                                              _mm256_mul_ps (a2[g], y2[g]));
            y2[g] = y1[g];
            y1[g] = out;
        }
        x2 = x1;
        x1 = in;
    }

    for (int i = r.begin; i < r.end; ++i)
    {
        const __m256 in = _mm256_set1_ps (x[i]);
        const float kick = y[i + lag];
        const __m256 kickQuiet = _mm256_castsi256_ps (_mm256_set1_epi32 (std::abs (kick) < kQuietPairLevel ? -1 : 0));
        const __m256d kd = _mm256_set1_pd (kick), kk = _mm256_set1_pd (static_cast<double> (kick) * kick);
        for (std::size_t g = 0; g < Groups; ++g)
        {
            const __m256 out = _mm256_sub_ps (_mm256_sub_ps (_mm256_add_ps (_mm256_add_ps (_mm256_mul_ps (a2[g], in), _mm256_mul_ps (a1[g], x1)), x2),
                                                             _mm256_mul_ps (a1[g], y1[g])),
                                              _mm256_mul_ps (a2[g], y2[g]));
            y2[g] = y1[g];
            y1[g] = out;

            const __m256 quiet = _mm256_and_ps (kickQuiet, _mm256_cmp_ps (magnitude (out), level, _CMP_LT_OQ));
            const __m256i quietBits = _mm256_castps_si256 (quiet);
            pairs[g] = _mm256_add_epi32 (pairs[g], _mm256_add_epi32 (quietBits, _mm256_set1_epi32 (1)));
            const __m256d quietLo = _mm256_castsi256_pd (_mm256_cvtepi32_epi64 (_mm256_castsi256_si128 (quietBits)));
            const __m256d quietHi = _mm256_castsi256_pd (_mm256_cvtepi32_epi64 (_mm256_extracti128_si256 (quietBits, 1)));
            const __m256 kept = _mm256_andnot_ps (quiet, out);
            const __m256d lo = lowHalf (kept), hi = highHalf (kept);
            xyLo[g] = _mm256_add_pd (xyLo[g], _mm256_mul_pd (lo, kd));
            xyHi[g] = _mm256_add_pd (xyHi[g], _mm256_mul_pd (hi, kd));
            xxLo[g] = _mm256_add_pd (xxLo[g], _mm256_mul_pd (lo, lo));
            xxHi[g] = _mm256_add_pd (xxHi[g], _mm256_mul_pd (hi, hi));
            yyLo[g] = _mm256_add_pd (yyLo[g], _mm256_andnot_pd (quietLo, kk));
            yyHi[g] = _mm256_add_pd (yyHi[g], _mm256_andnot_pd (quietHi, kk));
        }
        x2 = x1;
        x1 = in;
    }

    for (std::size_t g = 0; g < Groups; ++g)
    {
        alignas (32) std::int32_t n[8];
        alignas (32) double xy[8], xx[8], yy[8];
        _mm256_store_si256 (reinterpret_cast<__m256i*> (n), pairs[g]);
        _mm256_store_pd (xy, xyLo[g]);
        _mm256_store_pd (xy + 4, xyHi[g]);
        _mm256_store_pd (xx, xxLo[g]);
        _mm256_store_pd (xx + 4, xxHi[g]);
        _mm256_store_pd (yy, yyLo[g]);
        _mm256_store_pd (yy + 4, yyHi[g]);
        for (std::size_t j = 0; j < 8 && 8 * g + j < used; ++j)
            sums[8 * g + j] = { n[j], xy[j], xx[j], yy[j] };
    }
}

__attribute__ ((target ("avx2"))) void correlateAllPassedAvx2 (const float* x, const float* y, int count, int lag,
                                                               const AllPassCoefficients* filters, int numFilters,
                                                               CorrelationSums* sums) noexcept
{
    for (int k = 0; k < numFilters; k += 16)
    {
        const int n = std::min (16, numFilters - k);
        if (n > 8)
            allPassGroupsAvx2<2> (x, y, count, lag, filters + k, n, sums + k);
        else
            allPassGroupsAvx2<1> (x, y, count, lag, filters + k, n, sums + k);
    }
}

__attribute__ ((target ("avx2"))) SignCounts countSignsAvx2 (const float* x, const float* y, int count, int lag) noexcept
{
    const auto r = pairRange (count, lag);
    const __m256 level = _mm256_set1_ps (kSignLevel);
    __m256i pairs = _mm256_setzero_si256(), differ = pairs;

    int i = r.begin;
    for (; i + 8 <= r.end; i += 8)
    {
        const __m256 vx = _mm256_loadu_ps (x + i), vy = _mm256_loadu_ps (y + i + lag);
        const __m256i loud = _mm256_castps_si256 (_mm256_and_ps (_mm256_cmp_ps (magnitude (vx), level, _CMP_GT_OQ),
                                                                 _mm256_cmp_ps (magnitude (vy), level, _CMP_GT_OQ)));
        // The sign bit of x ^ y, spread over the lane, is set where the signs differ.
        const __m256i signsDiffer = _mm256_srai_epi32 (_mm256_castps_si256 (_mm256_xor_ps (vx, vy)), 31);
        pairs = _mm256_sub_epi32 (pairs, loud);
        differ = _mm256_sub_epi32 (differ, _mm256_and_si256 (loud, signsDiffer));
    }

    const auto loudPairs = sum8 (pairs);
    SignCounts c { loudPairs, loudPairs - sum8 (differ) };
    for (; i < r.end; ++i)
        countSign (c, x[i], y[i + lag]);
    return c;
}

//==============================================================================
// AVX-512: sixteen floats a register and mask registers for the quiet pairs.
//
// AVX-512 always has fused multiply-add, and GCC contracts a multiply and an add into one where it
// can: a fused lane would round once where the scalar filter rounds twice, so contraction is off
// here. Clang contracts only within one source expression, which separate intrinsics never are.
#if defined(__clang__)
 #define LUMETTA_AVX512 __attribute__ ((target ("avx512f")))
#else
 #define LUMETTA_AVX512 __attribute__ ((target ("avx512f"), optimize ("fp-contract=off")))
#endif

LUMETTA_AVX512 inline __m256 highHalf512 (__m512 v) noexcept
{
    return _mm512_castps512_ps256 (_mm512_shuffle_f32x4 (v, v, _MM_SHUFFLE (3, 2, 3, 2)));
}

LUMETTA_AVX512 inline double sum8 (__m512d v) noexcept
{
    alignas (64) double lanes[8];
    _mm512_store_pd (lanes, v);
    double total = 0.0;
    for (const auto lane : lanes)
        total += lane;
    return total;
}

LUMETTA_AVX512 inline std::int64_t sum16 (__m512i v) noexcept
{
    alignas (64) std::int32_t lanes[16];
    _mm512_store_si512 (lanes, v);
    std::int64_t total = 0;
    for (const auto lane : lanes)
        total += lane;
    return total;
}

LUMETTA_AVX512 CorrelationSums correlateAvx512 (const float* x, const float* y, int count, int lag) noexcept
{
    const auto r = pairRange (count, lag);
    const __m512 level = _mm512_set1_ps (kQuietPairLevel);
    const __m512i one = _mm512_set1_epi32 (1);
    __m512d xyLo = _mm512_setzero_pd(), xyHi = xyLo, xxLo = xyLo, xxHi = xyLo, yyLo = xyLo, yyHi = xyLo;
    __m512i loudPairs = _mm512_setzero_si512();

    int i = r.begin;
    for (; i + 16 <= r.end; i += 16)
    {
        const __m512 vx = _mm512_loadu_ps (x + i), vy = _mm512_loadu_ps (y + i + lag);
        const auto loud = static_cast<__mmask16> (~(_mm512_cmp_ps_mask (_mm512_abs_ps (vx), level, _CMP_LT_OQ)
                                                    & _mm512_cmp_ps_mask (_mm512_abs_ps (vy), level, _CMP_LT_OQ)));
        loudPairs = _mm512_mask_add_epi32 (loudPairs, loud, loudPairs, one);
        const __m512 kx = _mm512_maskz_mov_ps (loud, vx), ky = _mm512_maskz_mov_ps (loud, vy);
        const __m512d xl = _mm512_cvtps_pd (_mm512_castps512_ps256 (kx)), xh = _mm512_cvtps_pd (highHalf512 (kx));
        const __m512d yl = _mm512_cvtps_pd (_mm512_castps512_ps256 (ky)), yh = _mm512_cvtps_pd (highHalf512 (ky));
        xyLo = _mm512_add_pd (xyLo, _mm512_mul_pd (xl, yl));
        xyHi = _mm512_add_pd (xyHi, _mm512_mul_pd (xh, yh));
        xxLo = _mm512_add_pd (xxLo, _mm512_mul_pd (xl, xl));
        xxHi = _mm512_add_pd (xxHi, _mm512_mul_pd (xh, xh));
        yyLo = _mm512_add_pd (yyLo, _mm512_mul_pd (yl, yl));
        yyHi = _mm512_add_pd (yyHi, _mm512_mul_pd (yh, yh));
    }

    CorrelationSums s { sum16 (loudPairs), sum8 (_mm512_add_pd (xyLo, xyHi)), sum8 (_mm512_add_pd (xxLo, xxHi)),
                        sum8 (_mm512_add_pd (yyLo, yyHi)) };
    for (; i < r.end; ++i)
        accumulate (s, x[i], y[i + lag]);
    return s;
}

// Sixteen filters a register, two registers side by side: 32 filters a pass, within the 32
// vector registers.
template <std::size_t Groups>
LUMETTA_AVX512 void allPassGroupsAvx512 (const float* x, const float* y, int count, int lag,
                                                               const AllPassCoefficients* filters, int numFilters,
                                                               CorrelationSums* sums) noexcept
{
    constexpr std::size_t lanes = 16 * Groups;
    alignas (64) float a1s[lanes] = {}, a2s[lanes] = {};
    const auto used = static_cast<std::size_t> (numFilters);
    for (std::size_t k = 0; k < used; ++k)
    {
        a1s[k] = filters[k].a1;
        a2s[k] = filters[k].a2;
    }

    __m512 a1[Groups], a2[Groups], y1[Groups], y2[Groups];
    __m512i pairs[Groups];
    __m512d xyLo[Groups], xyHi[Groups], xxLo[Groups], xxHi[Groups], yyLo[Groups], yyHi[Groups];
    for (std::size_t g = 0; g < Groups; ++g)
    {
        a1[g] = _mm512_load_ps (a1s + 16 * g);
        a2[g] = _mm512_load_ps (a2s + 16 * g);
        y1[g] = y2[g] = _mm512_setzero_ps();
        pairs[g] = _mm512_setzero_si512();
        xyLo[g] = xyHi[g] = xxLo[g] = xxHi[g] = yyLo[g] = yyHi[g] = _mm512_setzero_pd();
    }

    const auto r = pairRange (count, lag);
    const __m512 level = _mm512_set1_ps (kQuietPairLevel);
    const __m512i one = _mm512_set1_epi32 (1);
    __m512 x1 = _mm512_setzero_ps(), x2 = x1;

    for (int i = 0; i < r.begin; ++i)
    {
        const __m512 in = _mm512_set1_ps (x[i]);
        for (std::size_t g = 0; g < Groups; ++g)
        {
            const __m512 out = _mm512_sub_ps (_mm512_sub_ps (_mm512_add_ps (_mm512_add_ps (_mm512_mul_ps (a2[g], in), _mm512_mul_ps (a1[g], x1)), x2),
                                                             _mm512_mul_ps (a1[g], y1[g])),
                                              _mm512_mul_ps (a2[g], y2[g]));
            y2[g] = y1[g];
            y1[g] = out;
        }
        x2 = x1;
        x1 = in;
    }

    for (int i = r.begin; i < r.end; ++i)
    {
        const __m512 in = _mm512_set1_ps (x[i]);
        const float kick = y[i + lag];
        const auto kickQuiet = static_cast<__mmask16> (std::abs (kick) < kQuietPairLevel ? 0xffff : 0);
        const __m512d kd = _mm512_set1_pd (kick), kk = _mm512_set1_pd (static_cast<double> (kick) * kick);
        for (std::size_t g = 0; g < Groups; ++g)
        {
            const __m512 out = _mm512_sub_ps (_mm512_sub_ps (_mm512_add_ps (_mm512_add_ps (_mm512_mul_ps (a2[g], in), _mm512_mul_ps (a1[g], x1)), x2),
                                                             _mm512_mul_ps (a1[g], y1[g])),
                                              _mm512_mul_ps (a2[g], y2[g]));
            y2[g] = y1[g];
            y1[g] = out;

            const auto loud = static_cast<__mmask16> (~_mm512_mask_cmp_ps_mask (kickQuiet, _mm512_abs_ps (out), level, _CMP_LT_OQ));
            const auto loudLo = static_cast<__mmask8> (loud), loudHi = static_cast<__mmask8> (loud >> 8);
            pairs[g] = _mm512_mask_add_epi32 (pairs[g], loud, pairs[g], one);
            const __m512d lo = _mm512_cvtps_pd (_mm512_castps512_ps256 (out)), hi = _mm512_cvtps_pd (highHalf512 (out));
            xyLo[g] = _mm512_mask_add_pd (xyLo[g], loudLo, xyLo[g], _mm512_mul_pd (lo, kd));
            xyHi[g] = _mm512_mask_add_pd (xyHi[g], loudHi, xyHi[g], _mm512_mul_pd (hi, kd));
            xxLo[g] = _mm512_mask_add_pd (xxLo[g], loudLo, xxLo[g], _mm512_mul_pd (lo, lo));
            xxHi[g] = _mm512_mask_add_pd (xxHi[g], loudHi, xxHi[g], _mm512_mul_pd (hi, hi));
            yyLo[g] = _mm512_mask_add_pd (yyLo[g], loudLo, yyLo[g], kk);
            yyHi[g] = _mm512_mask_add_pd (yyHi[g], loudHi, yyHi[g], kk);
        }
        x2 = x1;
        x1 = in;
    }

    for (std::size_t g = 0; g < Groups; ++g)
    {
        alignas (64) std::int32_t n[16];
        alignas (64) double xy[16], xx[16], yy[16];
        _mm512_store_si512 (n, pairs[g]);
        _mm512_store_pd (xy, xyLo[g]);
        _mm512_store_pd (xy + 8, xyHi[g]);
        _mm512_store_pd (xx, xxLo[g]);
        _mm512_store_pd (xx + 8, xxHi[g]);
        _mm512_store_pd (yy, yyLo[g]);
        _mm512_store_pd (yy + 8, yyHi[g]);
        for (std::size_t j = 0; j < 16 && 16 * g + j < used; ++j)
            sums[16 * g + j] = { n[j], xy[j], xx[j], yy[j] };
    }
}

LUMETTA_AVX512 void correlateAllPassedAvx512 (const float* x, const float* y, int count, int lag,
                                                                    const AllPassCoefficients* filters, int numFilters,
                                                                    CorrelationSums* sums) noexcept
{
    for (int k = 0; k < numFilters; k += 32)
    {
        const int n = std::min (32, numFilters - k);
        if (n > 16)
            allPassGroupsAvx512<2> (x, y, count, lag, filters + k, n, sums + k);
        else
            allPassGroupsAvx512<1> (x, y, count, lag, filters + k, n, sums + k);
    }
}

LUMETTA_AVX512 SignCounts countSignsAvx512 (const float* x, const float* y, int count, int lag) noexcept
{
    const auto r = pairRange (count, lag);
    const __m512 level = _mm512_set1_ps (kSignLevel);
    const __m512i one = _mm512_set1_epi32 (1), signBit = _mm512_set1_epi32 (static_cast<int> (0x80000000u));
    __m512i pairs = _mm512_setzero_si512(), same = pairs;

    int i = r.begin;
    for (; i + 16 <= r.end; i += 16)
    {
        const __m512 vx = _mm512_loadu_ps (x + i), vy = _mm512_loadu_ps (y + i + lag);
        const auto loud = static_cast<__mmask16> (_mm512_cmp_ps_mask (_mm512_abs_ps (vx), level, _CMP_GT_OQ)
                                                  & _mm512_cmp_ps_mask (_mm512_abs_ps (vy), level, _CMP_GT_OQ));
        const auto sameSign = _mm512_mask_testn_epi32_mask (loud, _mm512_xor_si512 (_mm512_castps_si512 (vx), _mm512_castps_si512 (vy)), signBit);
        pairs = _mm512_mask_add_epi32 (pairs, loud, pairs, one);
        same = _mm512_mask_add_epi32 (same, sameSign, same, one);
    }

    SignCounts c { sum16 (pairs), sum16 (same) };
    for (; i < r.end; ++i)
        countSign (c, x[i], y[i + lag]);
    return c;
}
#endif

//==============================================================================
constexpr SearchKernels portableKernels { "portable", correlatePortable, correlateAllPassedPortable, countSignsPortable };
#if LUMETTA_HAS_AVX2_PATH
constexpr SearchKernels avx2Kernels { "avx2", correlateAvx2, correlateAllPassedAvx2, countSignsAvx2 };
constexpr SearchKernels avx512Kernels { "avx512", correlateAvx512, correlateAllPassedAvx512, countSignsAvx512 };
#endif

std::vector<const SearchKernels*> findSupportedKernels()
{
    std::vector<const SearchKernels*> sets { &portableKernels };
   #if LUMETTA_HAS_AVX2_PATH
    __builtin_cpu_init();
    if (__builtin_cpu_supports ("avx2"))
        sets.push_back (&avx2Kernels);
    if (__builtin_cpu_supports ("avx512f"))
        sets.push_back (&avx512Kernels);
   #endif
    return sets;
}

const SearchKernels& chooseKernels() noexcept
{
   #if LUMETTA_HAS_AVX2_PATH
    __builtin_cpu_init();
    if (__builtin_cpu_supports ("avx512f"))
        return avx512Kernels;
    if (__builtin_cpu_supports ("avx2"))
        return avx2Kernels;
   #endif
    return portableKernels;
}

const SearchKernels& fastest = chooseKernels();
} // namespace

const SearchKernels& searchKernels() noexcept
{
    return fastest;
}

std::vector<const SearchKernels*> supportedSearchKernels()
{
    return findSupportedKernels();
}
} // namespace lumetta::phasesearch
