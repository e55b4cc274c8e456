// The repeated-measures evaluation's innermost loops, compiled for the
// baseline and (kernels_simd.cpp) for the machine's vector unit, in an
// inline namespace of the instruction set (CORVANE_ISA). Every entry takes
// one rounded product and one rounded addition, in the same order in both
// builds (contraction into FMA stays off), so their results are the same
// bits; the vector build only does several entries per instruction.
#pragma once

#include <cstdint>

#ifndef CORVANE_ISA
#define CORVANE_ISA baseline
#endif

namespace corvane::mmrm {
inline namespace CORVANE_ISA {

// out[u*k + x] += a[u] * b[x] for u, x < k.
inline void outer_add(double* out, const double* a, const double* b, std::uint64_t k) {
    for (std::uint64_t u = 0; u < k; ++u) {
        const double au = a[u];
        double* row = out + u * k;
        for (std::uint64_t x = 0; x < k; ++x) row[x] += au * b[x];
    }
}

// out[e] += c[e] * w for e < n.
inline void scaled_add(double* out, const double* c, double w, std::uint64_t n) {
    for (std::uint64_t e = 0; e < n; ++e) out[e] += c[e] * w;
}

}  // namespace CORVANE_ISA

// The kernels the evaluation calls: the vector unit's where the machine has
// it (and CORVANE_LANES is not "0"), else the baseline's.
struct MmrmKernels {
    void (*outer_add)(double*, const double*, const double*, std::uint64_t);
    void (*scaled_add)(double*, const double*, double, std::uint64_t);
};
const MmrmKernels& mmrm_kernels();

}  // namespace corvane::mmrm
