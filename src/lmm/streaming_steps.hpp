// The streaming kernel's per-group step, for one group (T = double) or for W
// groups side by side in lanes (T = linalg::Lanes<W>), with the same
// operations in the same order either way.
//
// Per group i, from Z_i'Z_i, W_i = [Z_i'X_i | Z_i'y_i] and M_i = L L':
//   B = Lambda M^-1, K = B Lambda', corr += W'KW (upper triangle),
// and with the gradient, per theta entry t at Lambda[r][c]:
//   trace_t += 2 (Z'Z B)[r][c],
//   dK_t = E M^-1 Lambda' + Lambda M^-1 E' - B E' Z'Z K - K Z'Z E B',
//   dcorr_t += W' dK_t W.
// The step writes the group's terms, [log det M_i, W'KW (upper, packed),
// trace terms, W' dK_t W per t (upper, packed)], and add_streaming_terms
// adds them to the chunk's totals.
#pragma once

#include <cstdint>

#include "linalg/dense.hpp"
#include "lmm/fixed_size.hpp"
#include "lmm/group_lanes.hpp"

namespace corvane::lmm {
inline namespace CORVANE_ISA {

using linalg::Index;

// Entries of a (p+1) x (p+1) block's upper triangle.
inline constexpr Index upper_length(Index p1) { return p1 * (p1 + 1) / 2; }

inline constexpr Index streaming_out_length(Index p, Index n_theta, bool gradient) {
    const Index n_up = upper_length(p + 1);
    return 1 + n_up + (gradient ? n_theta * (1 + n_up) : 0);
}

inline constexpr Index streaming_scratch_length(Index p, Index q) { return 8 * q * q + 2 * q * (p + 1); }

// W' F W into out (upper triangle, packed row by row), with V = F W
// (zero-skipping on F).
template <Index Q, class T>
void group_block_terms(const T* w, const T* f, T* v, Index q_dynamic, Index p1, T* out) {
    const Index q = linalg::size_of<Q>(q_dynamic);
    linalg::product<Q, Q>(f, w, v, q, q, p1);
    for (Index x = 0; x < p1; ++x)
        for (Index y = x; y < p1; ++y) *out++ = linalg::dot(w + x, v + y, q, p1, p1);
}

template <Index Q, class T>
linalg::mask_of<T> streaming_group_step(const T* ztz, const T* ztx, const T* zty, const double* lambda,
                                        const Index* pairs, Index n_theta, bool gradient, T* scratch, T* out,
                                        Index q_dynamic, Index p) {
    const Index q = linalg::size_of<Q>(q_dynamic), p1 = p + 1, n_up = upper_length(p1);
    T *zl = scratch, *m = zl + q * q, *minv = m + q * q, *b = minv + q * q, *k = b + q * q;
    T *zb = k + q * q, *zk = zb + q * q, *dk = zk + q * q, *w = dk + q * q, *v = w + q * p1;

    const linalg::mask_of<T> ok = factor_m<Q>(ztz, lambda, zl, m, q);
    if constexpr (!linalg::is_lanes<T>)
        if (!ok) return false;
    T s = 0.0;
    for (Index j = 0; j < q; ++j) s = s + linalg::lane_log(m[j * q + j]);
    out[0] = s * 2.0;

    linalg::inverse_from_cholesky<Q>(m, minv, q);
    linalg::product<Q, Q, Q>(lambda, minv, b, q, q, q);
    for (Index x = 0; x < q; ++x)
        for (Index y = 0; y < q; ++y) k[x * q + y] = linalg::dot(b + x * q, lambda + y * q, q);

    // W_i: row a = (Z_i'X_i row a, Z_i'y_i[a]).
    for (Index a = 0; a < q; ++a) {
        for (Index x = 0; x < p; ++x) w[a * p1 + x] = ztx[a * p + x];
        w[a * p1 + p] = zty[a];
    }
    group_block_terms<Q>(w, k, v, q, p1, out + 1);
    if (!gradient) return ok;

    T* trace = out + 1 + n_up;
    T* dcorr = trace + n_theta;
    linalg::product<Q, Q, Q>(ztz, b, zb, q, q, q);
    for (Index x = 0; x < q; ++x)
        for (Index y = 0; y < q; ++y) zk[x * q + y] = linalg::dot(zb + x * q, lambda + y * q, q);
    for (Index t = 0; t < n_theta; ++t) {
        const Index r = pairs[2 * t], c = pairs[2 * t + 1];
        trace[t] = zb[r * q + c] * 2.0;
        // dK/d theta_t = E M^-1 Lambda' + Lambda M^-1 E' - B E' Z'Z K - K Z'Z E B'.
        for (Index x = 0; x < q; ++x)
            for (Index y = 0; y <= x; ++y) {
                const T ea = x == r ? b[y * q + c] : T(0.0);
                const T eb = y == r ? b[x * q + c] : T(0.0);
                const T e = (ea - b[x * q + c] * zk[r * q + y]) + (eb - b[y * q + c] * zk[r * q + x]);
                dk[x * q + y] = e;
                dk[y * q + x] = e;
            }
        group_block_terms<Q>(w, dk, v, q, p1, dcorr + t * n_up);
    }
    return ok;
}

// Adds one group's terms (out, contiguous) to the totals.
inline void add_streaming_terms(const double* out, const StreamingTotals& t, Index p, Index n_theta,
                                bool gradient) {
    const Index n_up = upper_length(p + 1);
    linalg::add_compensated(t.logdet, t.logdet + 1, out, 1);
    linalg::add_compensated(t.corr_hi, t.corr_lo, out + 1, n_up);
    if (!gradient) return;
    const double* trace = out + 1 + n_up;
    for (Index k = 0; k < n_theta; ++k) t.trace[k] = t.trace[k] + trace[k];
    linalg::add_compensated(t.dcorr_hi, t.dcorr_lo, trace + n_theta, n_theta * n_up);
}

}  // namespace CORVANE_ISA
}  // namespace corvane::lmm
