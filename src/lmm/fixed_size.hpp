// Compile-time sizes for the small dense work of the kernels.
//
// with_q calls f(std::integral_constant<uint64_t, Q>) with Q = q for q = 1, 2, 3
// and Q = 0 (sizes taken at run time) otherwise or when `generic` is set. The
// fixed forms perform exactly the operations of the general one, so the
// choice never changes a result; tests force `generic` to show it.
#pragma once

#include <cstdint>
#include <type_traits>

#include "linalg/dense.hpp"

namespace corvane::lmm {
inline namespace CORVANE_ISA {

template <std::uint64_t N>
using Fixed = std::integral_constant<std::uint64_t, N>;

template <class F>
decltype(auto) with_q(std::uint64_t q, bool generic, F&& f) {
    if (!generic) {
        switch (q) {
            case 1: return f(Fixed<1>{});
            case 2: return f(Fixed<2>{});
            case 3: return f(Fixed<3>{});
            default: break;
        }
    }
    return f(Fixed<0>{});
}

// The same for p = 1..8 (the construction's row kernels and the blocks
// kernel, whose per-group work is dominated by loops over p).
template <class F>
decltype(auto) with_p(std::uint64_t p, F&& f) {
    switch (p) {
        case 1: return f(Fixed<1>{});
        case 2: return f(Fixed<2>{});
        case 3: return f(Fixed<3>{});
        case 4: return f(Fixed<4>{});
        case 5: return f(Fixed<5>{});
        case 6: return f(Fixed<6>{});
        case 7: return f(Fixed<7>{});
        case 8: return f(Fixed<8>{});
        default: return f(Fixed<0>{});
    }
}

// The per-item step every kernel starts with:
//   zl = Z'Z Lambda,  m = Lambda' zl + I,  then m = L L' in place.
// Products skip exact zeros of Z'Z and of Lambda. False when a pivot fails
// (per lane for lanes of groups; Lambda is the same for every lane).
template <std::uint64_t Q, class T>
inline linalg::mask_of<T> factor_m(const T* ztz, const double* lambda, T* zl, T* m, std::uint64_t q_dynamic) {
    const std::uint64_t q = linalg::size_of<Q>(q_dynamic);
    linalg::product<Q, Q, Q>(ztz, lambda, zl, q, q, q);
    linalg::product_transposed<Q, Q, Q>(lambda, zl, m, q, q, q);
    for (std::uint64_t k = 0; k < q; ++k) m[k * q + k] = m[k * q + k] + 1.0;
    return linalg::cholesky<Q>(m, q);
}

}  // namespace CORVANE_ISA
}  // namespace corvane::lmm
