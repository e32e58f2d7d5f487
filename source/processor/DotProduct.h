#pragma once

namespace lumetta
{
// FIR over a contiguous history, accumulated in double precision:
// out[i] = Σ h[j] · x[i + j] for j < taps, i < count. Several outputs share each tap load. AVX-512
// or AVX2/FMA versions are chosen at run time where the CPU has them, so one binary runs
// everywhere.
void convolve (const double* h, int taps, const double* x, float* out, int count) noexcept;
} // namespace lumetta
