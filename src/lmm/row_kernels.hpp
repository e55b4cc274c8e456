// The row kernels of construction and accumulation: one row added to the
// fixed products' partials or to its group's blocks, and the loops over rows
// that the parallel route runs, compiled for the baseline and, in a
// translation unit of their own, for the machine's vector unit (their names
// in the inline namespace of each, see lanes.hpp).
//
// The loops update whole rows of products entry by entry, so a wider vector
// unit only does more entries per instruction: every entry receives the same
// products in the same row order, the same bits on every build.
#pragma once

#include <cstdint>

#include "lmm/prefetch.hpp"
#include "lmm/row_reader.hpp"

namespace corvane::lmm {
inline namespace CORVANE_ISA {

// How many rows ahead the blocks of rows in no group order are requested.
inline constexpr std::uint64_t kPrefetchRows = 16;

// Row kernels. Q and P > 0 fix q and p at compile time so the loops unroll
// and the accumulators can live in registers; 0 takes them at run time. Each
// accumulator receives exactly the same products in the same row order in
// every form, so all forms give the same bits. The fixed forms update whole
// rows of the symmetric products (they vectorise); the extra lower-triangle
// accumulators are independent of the upper ones and are overwritten by the
// final mirror step.

// Adds row x_r (with response y_r) to partials of X'y and, when with_xtx, of
// X'X (upper triangle at least).
template <std::uint64_t P>
inline void add_fixed_row(double y_r, const double* x_r, std::uint64_t p_dynamic, double* xtx,
                          double* xty, bool with_xtx) {
    const std::uint64_t p = P ? P : p_dynamic;
    for (std::uint64_t k = 0; k < p; ++k) {
        const double x = x_r[k];
        xty[k] += y_r * x;
        if (with_xtx) {
            double* row = xtx + k * p;
            for (std::uint64_t l = (P ? 0 : k); l < p; ++l) row[l] += x * x_r[l];
        }
    }
}

// Adds one row to a group's blocks: Z'y, Z'Z (upper triangle at least), Z'X.
template <std::uint64_t Q, std::uint64_t P>
inline void add_group_row(double y_r, const double* x_r, const double* z_r, std::uint64_t p_dynamic,
                          std::uint64_t q_dynamic, double* zg, double* xg, double* yg) {
    const std::uint64_t q = Q ? Q : q_dynamic;
    const std::uint64_t p = P ? P : p_dynamic;
    for (std::uint64_t k = 0; k < q; ++k) {
        const double t = z_r[k];
        yg[k] += y_r * t;
        for (std::uint64_t l = (Q ? 0 : k); l < q; ++l) zg[k * q + l] += t * z_r[l];
        double* xrow = xg + k * p;
        for (std::uint64_t l = 0; l < p; ++l) xrow[l] += t * x_r[l];
    }
}

// Rows [begin, end) into zeroed partials of X'X and X'y (kept in locals when p
// is fixed); returns the chunk's y'y.
template <std::uint64_t P, bool T>
double fixed_chunk(const RowReader<T, P>& rows, std::uint64_t p, std::uint64_t begin, std::uint64_t end,
                   double* xtx, double* xty, bool with_xtx) {
    double yty = 0.0;
    RowBuffer<P> xb(T ? p : 0);
    if constexpr (P != 0) {
        double acc_xtx[P * P] = {};
        double acc_xty[P] = {};
        for (std::uint64_t r = begin; r < end; ++r) {
            const double y_r = rows.y(r);
            add_fixed_row<P>(y_r, rows.x(r, xb.data()), P, acc_xtx, acc_xty, with_xtx);
            yty += y_r * y_r;
        }
        if (with_xtx)
            for (std::uint64_t i = 0; i < P * P; ++i) xtx[i] = acc_xtx[i];
        for (std::uint64_t i = 0; i < P; ++i) xty[i] = acc_xty[i];
    } else {
        for (std::uint64_t r = begin; r < end; ++r) {
            const double y_r = rows.y(r);
            add_fixed_row<P>(y_r, rows.x(r, xb.data()), p, xtx, xty, with_xtx);
            yty += y_r * y_r;
        }
    }
    return yty;
}

// Copies the upper triangle of a k x k row-major block into its lower one.
inline void mirror_upper(double* a, std::uint64_t k) {
    for (std::uint64_t i = 0; i < k; ++i)
        for (std::uint64_t j = 0; j < i; ++j) a[i * k + j] = a[j * k + i];
}

// Adds rows offsets[g] .. offsets[g + 1] - 1 to group g's blocks, for the
// groups [first, end) (rows grouped by group), then mirrors their Z'Z.
template <std::uint64_t Q, std::uint64_t P, bool T>
void add_group_runs(const RowReader<T, P, Q>& rows, const std::uint64_t* offsets, std::uint64_t first,
                    std::uint64_t end, double* ztz, double* ztx, double* zty) {
    const std::uint64_t p = P ? P : rows.p, q = Q ? Q : rows.q;
    RowBuffers<P, Q> buf(p, q);
    for (std::uint64_t g = first; g < end; ++g)
        for (std::uint64_t r = offsets[g]; r < offsets[g + 1]; ++r)
            add_group_row<Q, P>(rows.y(r), rows.x(r, buf.x.data()), rows.z(r, buf.z.data()), p, q, ztz + g * q * q,
                                ztx + g * q * p, zty + g * q);
    for (std::uint64_t g = first; g < end; ++g) mirror_upper(ztz + g * q * q, q);
}

// Adds the rows start + mine[k], k < count (ascending), each to its group's
// blocks, requesting the blocks of rows kPrefetchRows ahead.
template <std::uint64_t Q, std::uint64_t P, bool T>
void add_listed_rows(const RowReader<T, P, Q>& rows, const std::int64_t* codes, std::uint64_t start,
                     const std::uint32_t* mine, std::uint64_t count, double* ztz, double* ztx, double* zty) {
    const std::uint64_t p = P ? P : rows.p, q = Q ? Q : rows.q;
    RowBuffers<P, Q> buf(p, q);
    for (std::uint64_t k = 0; k < count; ++k) {
        if (k + kPrefetchRows < count) {
            const std::uint64_t ahead = static_cast<std::uint64_t>(codes[start + mine[k + kPrefetchRows]]);
            prefetch_for_write(ztz + ahead * q * q);
            prefetch_for_write(ztx + ahead * q * p);
            prefetch_for_write(zty + ahead * q);
        }
        const std::uint64_t r = start + mine[k], g = static_cast<std::uint64_t>(codes[r]);
        add_group_row<Q, P>(rows.y(r), rows.x(r, buf.x.data()), rows.z(r, buf.z.data()), p, q, ztz + g * q * q,
                            ztx + g * q * p, zty + g * q);
    }
}

}  // namespace CORVANE_ISA
}  // namespace corvane::lmm
