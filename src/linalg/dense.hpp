// Small dense routines shared by every kernel.
//
// Matrices are row-major doubles, element [r][c] at r*columns + c; a Cholesky
// factor is lower triangular in a full square matrix with 0.0 above the
// diagonal. The routines work in caller-supplied storage and allocate
// nothing. Their order of operations is part of their contract: every step
// t <- t - a*b is a rounded product followed by a subtraction (no fused
// multiply-add), and sums run one term at a time in increasing index order,
// so results are reproducible bit for bit.
//
// Each routine takes its size as a template argument N (the fixed forms used
// for q = 1, 2, 3) or at run time with N = 0; both forms perform the same
// operations in the same order and therefore give the same bits.
//
// The element type T is double, or Lanes<W> (lanes.hpp): W independent
// problems side by side, each lane performing the scalar routine's operations
// on its own values. Where the scalar routine branches on a value (a failing
// pivot, a zero entry skipped), the lane form computes every lane and keeps
// per lane what the branch would have kept.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

#include "linalg/lanes.hpp"

namespace corvane::linalg {
inline namespace CORVANE_ISA {

using Index = std::uint64_t;

template <Index N>
inline constexpr Index size_of(Index n) {
    return N ? N : n;
}

// Strict pivot test: positive and finite (positive subnormals pass; zero of
// either sign, negatives, infinities and NaN fail).
inline bool pivot_ok(double s) { return s > 0.0 && s <= std::numeric_limits<double>::max(); }
template <int W>
inline Mask<W> pivot_ok(Lanes<W> s) {
    return (s > Lanes<W>(0.0)) & (s <= Lanes<W>(std::numeric_limits<double>::max()));
}

// In-place Cholesky of an n x n matrix, column by column; only the diagonal
// and the lower triangle are read. Returns false at the first failing pivot
// (the matrix is then partly overwritten). On success the entries above the
// diagonal are set to 0.0. The lane form goes on past a failing lane (whose
// values are then meaningless) and returns which lanes succeeded.
template <Index N = 0, class T>
inline mask_of<T> cholesky(T* a, Index n_dynamic = N) {
    const Index n = size_of<N>(n_dynamic);
    mask_of<T> ok = pivot_ok(T(1.0));
    for (Index j = 0; j < n; ++j) {
        T s = a[j * n + j];
        for (Index k = 0; k < j; ++k) s = s - a[j * n + k] * a[j * n + k];
        if constexpr (is_lanes<T>) {
            ok = ok & pivot_ok(s);
        } else {
            if (!pivot_ok(s)) return false;
        }
        const T d = lane_sqrt(s);
        a[j * n + j] = d;
        if (j + 1 < n) {
            const T r = 1.0 / d;
            for (Index i = j + 1; i < n; ++i) {
                T t = a[i * n + j];
                for (Index k = 0; k < j; ++k) t = t - a[i * n + k] * a[j * n + k];
                a[i * n + j] = r * t;
            }
        }
    }
    for (Index i = 0; i < n; ++i)
        for (Index j = i + 1; j < n; ++j) a[i * n + j] = 0.0;
    return ok;
}

// L x = b in place for a vector b.
template <Index N = 0, class T>
inline void forward_solve(const T* l, T* b, Index n_dynamic = N) {
    const Index n = size_of<N>(n_dynamic);
    for (Index j = 0; j < n; ++j) {
        T t = b[j];
        for (Index k = 0; k < j; ++k) t = t - l[j * n + k] * b[k];
        b[j] = (1.0 / l[j * n + j]) * t;
    }
}

// L X = B in place for an n x k matrix B, row j of every column before row
// j + 1, the reciprocal formed once per row.
template <Index N = 0, class T>
inline void forward_solve_matrix(const T* l, T* b, Index k_cols, Index n_dynamic = N) {
    const Index n = size_of<N>(n_dynamic);
    for (Index j = 0; j < n; ++j) {
        const T s = 1.0 / l[j * n + j];
        for (Index c = 0; c < k_cols; ++c) {
            T t = b[j * k_cols + c];
            for (Index k = 0; k < j; ++k) t = t - l[j * n + k] * b[k * k_cols + c];
            b[j * k_cols + c] = s * t;
        }
    }
}

// L' x = b in place for a vector b.
template <Index N = 0, class T>
inline void back_solve(const T* l, T* b, Index n_dynamic = N) {
    const Index n = size_of<N>(n_dynamic);
    for (Index j = n; j-- > 0;) {
        T t = b[j];
        for (Index k = j + 1; k < n; ++k) t = t - l[k * n + j] * b[k];
        b[j] = (1.0 / l[j * n + j]) * t;
    }
}

// L' X = B in place for an n x k matrix B, rows in decreasing order.
template <Index N = 0, class T>
inline void back_solve_matrix(const T* l, T* b, Index k_cols, Index n_dynamic = N) {
    const Index n = size_of<N>(n_dynamic);
    for (Index j = n; j-- > 0;) {
        const T s = 1.0 / l[j * n + j];
        for (Index c = 0; c < k_cols; ++c) {
            T t = b[j * k_cols + c];
            for (Index k = j + 1; k < n; ++k) t = t - l[k * n + j] * b[k * k_cols + c];
            b[j * k_cols + c] = s * t;
        }
    }
}

// (L L')^-1 into x (n x n): identity, forward then back substitution on all
// columns; both triangles as computed (no mirroring).
template <Index N = 0, class T>
inline void inverse_from_cholesky(const T* l, T* x, Index n_dynamic = N) {
    const Index n = size_of<N>(n_dynamic);
    for (Index i = 0; i < n; ++i)
        for (Index j = 0; j < n; ++j) x[i * n + j] = i == j ? 1.0 : 0.0;
    forward_solve_matrix<N>(l, x, n, n);
    back_solve_matrix<N>(l, x, n, n);
}

// 2 * sum_j log L[j][j], summed from +0.0 upwards.
template <Index N = 0, class T>
inline T log_det(const T* l, Index n_dynamic = N) {
    const Index n = size_of<N>(n_dynamic);
    T v = 0.0;
    for (Index j = 0; j < n; ++j) v = lane_log(l[j * n + j]) + v;
    return 2.0 * v;
}

// c + x * b, or c unchanged where x is exactly 0.0 (so that a zero
// annihilates even an infinite or NaN partner): the step of the products
// below, per lane when x varies by lane.
template <class TA, class TB, class TC>
inline TC add_unless_zero(TC c, TA x, TB b) {
    if constexpr (is_lanes<TA>) {
        return select(!(x == TA(0.0)), TC(c + x * b), c);
    } else {
        return c + x * b;
    }
}

// C = A B for A (n x k), B (k x m), skipping terms whose A entry is exactly
// 0.0 (so a zero annihilates even an infinite or NaN partner).
template <Index NN = 0, Index KK = 0, Index MM = 0, class TA, class TB, class TC>
inline void product(const TA* a, const TB* b, TC* c, Index n_dynamic, Index k_dynamic, Index m_dynamic) {
    const Index n = size_of<NN>(n_dynamic), k = size_of<KK>(k_dynamic), m = size_of<MM>(m_dynamic);
    for (Index i = 0; i < n * m; ++i) c[i] = 0.0;
    for (Index r = 0; r < n; ++r)
        for (Index s = 0; s < k; ++s) {
            const TA x = a[r * k + s];
            if constexpr (!is_lanes<TA>)
                if (x == 0.0) continue;
            for (Index j = 0; j < m; ++j) c[r * m + j] = add_unless_zero(c[r * m + j], x, b[s * m + j]);
        }
}

// C = A' B for A (k x n), B (k x m), skipping zero entries of A.
template <Index KK = 0, Index NN = 0, Index MM = 0, class TA, class TB, class TC>
inline void product_transposed(const TA* a, const TB* b, TC* c, Index k_dynamic, Index n_dynamic,
                               Index m_dynamic) {
    const Index k = size_of<KK>(k_dynamic), n = size_of<NN>(n_dynamic), m = size_of<MM>(m_dynamic);
    for (Index i = 0; i < n * m; ++i) c[i] = 0.0;
    for (Index r = 0; r < k; ++r)
        for (Index s = 0; s < n; ++s) {
            const TA x = a[r * n + s];
            if constexpr (!is_lanes<TA>)
                if (x == 0.0) continue;
            for (Index j = 0; j < m; ++j) c[s * m + j] = add_unless_zero(c[s * m + j], x, b[r * m + j]);
        }
}

// sum_l a[l] * b[l * stride_b] from +0.0, increasing l.
template <class TA, class TB, class T = decltype(TA() * TB())>
inline T dot(const TA* a, const TB* b, Index n, Index stride_a = 1, Index stride_b = 1) {
    T s = 0.0;
    for (Index l = 0; l < n; ++l) s = s + a[l * stride_a] * b[l * stride_b];
    return s;
}

// v[e] into n independent compensated sums (hi[e], lo[e]): the two-sum steps
// of CompensatedSum::add, entry by entry (so a loop the compiler can run as
// vector operations, with every entry's bits those of CompensatedSum).
inline void add_compensated(double* hi, double* lo, const double* v, Index n) {
    for (Index e = 0; e < n; ++e) {
        const double s = hi[e] + v[e];
        const double d = s - hi[e];
        const double err = (v[e] - d) + (hi[e] - (s - d));
        hi[e] = s;
        lo[e] = lo[e] + err;
    }
}

// part into n compensated sums: the steps of CompensatedSum::merge,
// lo = part_lo + (lo + err), entry by entry.
inline void merge_compensated(double* hi, double* lo, const double* part_hi, const double* part_lo, Index n) {
    for (Index e = 0; e < n; ++e) {
        const double s = hi[e] + part_hi[e];
        const double d = s - hi[e];
        const double err = (part_hi[e] - d) + (hi[e] - (s - d));
        hi[e] = s;
        lo[e] = part_lo[e] + (lo[e] + err);
    }
}

}  // namespace CORVANE_ISA
}  // namespace corvane::linalg
