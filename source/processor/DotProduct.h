#pragma once

namespace lumetta
{
// Σ a[i]·b[i] over n values, accumulated in double precision. On x86-64 Linux the best of an
// AVX-512, an AVX2/FMA and a baseline build is picked at load time, so one binary runs on every
// CPU.
double dotProduct (const double* a, const double* b, int n) noexcept;
} // namespace lumetta
