// The per-group steps of the blocks kernel, for one group (T = double) or for
// W groups side by side in lanes (T = linalg::Lanes<W>), with the same
// operations in the same order either way.
//
// A step writes what the group adds to the chunk's totals into `out`; the
// caller adds those in increasing group order (lane 0 first), so a chunk's
// totals do not depend on whether its groups went through lanes.
//
// Value step, per group i (M_i = Lambda' Z_i'Z_i Lambda + I = L_i L_i'):
//   slot = [zzl = Z_i'Z_i Lambda (q x q), chol = L_i (q x q),
//           rzx = L_i^-1 Lambda' Z_i'X_i (q x p), cu = L_i^-1 Lambda' Z_i'y_i (q)],
//   out  = [log det M_i, rzx[., k]'cu (k < p), cu[l]^2 (l < q),
//           rzx[., k]'rzx[., j] (k <= j < p, row by row)],
// added to the totals by add_value_terms.
//
// Gradient step, from the value step's slot:
//   u = L_i^-T (cu - rzx beta), Z_i'r_i = Z_i'y_i - Z_i'X_i beta - zzl u,
//   per theta entry t at Lambda[a][b]:
//     g[t]  = 2 (zzl M_i^-1)[a][b] - [REML] 2 ((Z_i'X_i B A^-1)[a][b] - (zzl B A^-1 B')[a][b]),
//     dp[t] = (u[b] * 2.0) * (Z_i'r_i)[a],
//   with B = L_i^-T rzx.
#pragma once

#include <cstdint>

#include "linalg/dense.hpp"
#include "lmm/group_lanes.hpp"
#include "lmm/fixed_size.hpp"

namespace corvane::lmm {
inline namespace CORVANE_ISA {

using linalg::Index;

inline constexpr Index blocks_slot_length(Index p, Index q) { return q * (p + 1 + 2 * q); }
inline constexpr Index blocks_value_out_length(Index p, Index q) { return 1 + q + p + p * (p + 1) / 2; }
inline constexpr Index blocks_gradient_scratch_length(Index p, Index q) { return 3 * q * q + 2 * q * p + q; }

template <Index Q, Index P, class T>
linalg::mask_of<T> blocks_value_step(const T* ztz, const T* ztx, const T* zty, const double* lambda, T* slot,
                                     T* out, Index q_dynamic, Index p_dynamic) {
    const Index q = linalg::size_of<Q>(q_dynamic), p = linalg::size_of<P>(p_dynamic);
    T* zzl = slot;
    T* chol = zzl + q * q;
    T* rzx = chol + q * q;
    T* cu = rzx + q * p;

    const linalg::mask_of<T> ok = factor_m<Q>(ztz, lambda, zzl, chol, q);
    if constexpr (!linalg::is_lanes<T>)
        if (!ok) return false;
    out[0] = linalg::log_det<Q>(chol, q);

    linalg::product_transposed<Q, Q>(lambda, ztx, rzx, q, q, p);
    linalg::forward_solve_matrix<Q>(chol, rzx, p, q);
    linalg::product_transposed<Q, Q, 1>(lambda, zty, cu, q, q, 1);
    linalg::forward_solve<Q>(chol, cu, q);

    T* o = out + 1;
    for (Index k = 0; k < p; ++k) *o++ = linalg::dot(rzx + k, cu, q, p, 1);
    for (Index l = 0; l < q; ++l) *o++ = cu[l] * cu[l];
    for (Index k = 0; k < p; ++k)
        for (Index j = k; j < p; ++j) *o++ = linalg::dot(rzx + k, rzx + j, q, p, p);
    return ok;
}

// Adds one group's value-step contributions (out, contiguous) to the totals.
inline void add_value_terms(const double* out, const BlocksValueTotals& t, Index p, Index q) {
    linalg::add_compensated(t.hi, t.lo, out, 1 + p);
    for (Index l = 0; l < q; ++l) linalg::add_compensated(t.cc, t.cc + 1, out + 1 + p + l, 1);
    const double* o = out + 1 + p + q;
    for (Index e = 0; e < p * (p + 1) / 2; ++e) t.xx[e] = o[e] + t.xx[e];
}

// u (q), g and dp (n_theta each) of one group, or of W groups in lanes.
template <Index Q, Index P, class T>
void blocks_gradient_step(const T* ztx, const T* zty, const T* slot, const BlocksGradientInputs& in, T* scratch,
                          T* u, T* g, T* dp, Index q_dynamic, Index p_dynamic) {
    const Index q = linalg::size_of<Q>(q_dynamic), p = linalg::size_of<P>(p_dynamic);
    const T* zzl = slot;
    const T* chol = zzl + q * q;
    const T* rzx = chol + q * q;
    const T* cu = rzx + q * p;
    T* minv = scratch;
    T* zzlm = minv + q * q;
    T* babt = zzlm + q * q;
    T* bmat = babt + q * q;
    T* bainv = bmat + q * p;
    T* zr = bainv + q * p;

    // u = L_i^-T (cu - rzx beta)
    for (Index k = 0; k < q; ++k) {
        T w = cu[k];
        for (Index j = 0; j < p; ++j) w = w - rzx[k * p + j] * in.beta[j];
        u[k] = w;
    }
    linalg::back_solve<Q>(chol, u, q);

    linalg::inverse_from_cholesky<Q>(chol, minv, q);
    linalg::product<Q, Q, Q>(zzl, minv, zzlm, q, q, q);

    // Z_i' r_i = Z_i'y_i - Z_i'X_i beta - Z_i'Z_i Lambda u
    for (Index r = 0; r < q; ++r) {
        T t = zty[r];
        for (Index k = 0; k < p; ++k) t = t - ztx[r * p + k] * in.beta[k];
        for (Index j = 0; j < q; ++j) t = t - zzl[r * q + j] * u[j];
        zr[r] = t;
    }

    if (in.reml) {
        for (Index e = 0; e < q * p; ++e) bmat[e] = rzx[e];
        linalg::back_solve_matrix<Q>(chol, bmat, p, q);
        linalg::product<Q>(bmat, in.a_inv, bainv, q, p, p);
        for (Index r = 0; r < q; ++r)
            for (Index s = 0; s < q; ++s) babt[r * q + s] = linalg::dot(bainv + r * p, bmat + s * p, p);
    }

    for (Index t = 0; t < in.n_theta; ++t) {
        const Index a = in.pairs[2 * t], b = in.pairs[2 * t + 1];
        T gt = zzlm[a * q + b] * 2.0;
        if (in.reml) {
            const T x = linalg::dot(ztx + a * p, bainv + b * p, p);
            const T y = linalg::dot(zzl + a * q, babt + b, q, 1, q);
            gt = gt - (x - y) * 2.0;
        }
        g[t] = gt;
        dp[t] = (u[b] * 2.0) * zr[a];
    }
}

}  // namespace CORVANE_ISA
}  // namespace corvane::lmm
