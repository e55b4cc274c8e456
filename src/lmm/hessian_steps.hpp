// The Hessian's per-item work, for one item (T = double) or for W groups side
// by side in lanes (T = linalg::Lanes<W>), with the same operations in the
// same order either way. An item's terms are written to an output array that
// the caller adds to the chunk's totals in item order.
//
// Per item, from its G = Z'Z (or a class's), M = Lambda' G Lambda + I:
//   K = Lambda M^-1 Lambda', N = I - K G, V = G N, T = N' R N,
// with R = coef (Wv)(Wv)' [+ W_X A^-1 W_X' under REML] for W = [Z'X | Z'y];
// then per theta entry s = (a, b) the gradient term
//   w 2 (V Lambda)[a][b] - 2 (T Lambda)[a][b]
// and per pair s <= t the Hessian term tr(X D_s V D_t) [+ 2 (w V - T)[a][c]
// when b = d], X = 2T - wV; for groups also dC_s v and dC_s's fixed block.
#pragma once

#include <cstdint>

#include "linalg/dense.hpp"
#include "lmm/fixed_size.hpp"
#include "lmm/group_lanes.hpp"

namespace corvane::lmm {
inline namespace CORVANE_ISA {

using linalg::Index;

// Length of a group's terms: gradient, Hessian (s <= t, row by row), dC_s v
// and, with `dcxx`, dC_s's fixed block (x <= y, row by row) per s.
inline constexpr Index hessian_out_length(Index p, Index q, bool dcxx) {
    const Index nt = q * (q + 1) / 2;
    return nt + nt * (nt + 1) / 2 + nt * (p + 1) + (dcxx ? nt * p * (p + 1) / 2 : 0);
}

// Adds one item's terms (out, contiguous: the first n_terms of a group's
// terms) to the totals: two-sum into the gradient's compensated sums (the
// steps of linalg::CompensatedSum::add), plain additions for the rest.
inline void add_hessian_terms(const double* out, const HessianTotals& t, Index n_theta, Index n_terms) {
    linalg::add_compensated(t.hi, t.lo, out, n_theta);
    for (Index e = 0; e < n_terms - n_theta; ++e) t.plain[e] = out[n_theta + e] + t.plain[e];
}

// One item's q x q and q x (p+1) matrices, carved out of caller storage.
template <class T>
struct HessianScratch {
    T *zl, *m, *minv, *b, *k, *n, *v, *r, *t, *vl, *tl, *lvl, *ltl, *tmp;  // q x q
    T *w, *y, *ly, *wa;                                                    // q x (p+1)
    T *wv, *yv, *lyv;                                                      // q

    static constexpr Index length(Index q, Index p) { return 14 * q * q + 4 * q * (p + 1) + 3 * q; }

    HessianScratch(T* s, Index q, Index p) {
        T** square[] = {&zl, &m, &minv, &b, &k, &n, &v, &r, &t, &vl, &tl, &lvl, &ltl, &tmp};
        for (T** mat : square) {
            *mat = s;
            s += q * q;
        }
        T** wide[] = {&w, &y, &ly, &wa};
        for (T** mat : wide) {
            *mat = s;
            s += q * (p + 1);
        }
        wv = s;
        yv = s + q;
        lyv = s + 2 * q;
    }
};

// X' Y Z for q x q matrices into out (X' read by columns).
template <Index Q, class T>
void sandwich(const T* x, const T* y, const T* z, T* tmp, T* out, Index q_dynamic) {
    const Index q = linalg::size_of<Q>(q_dynamic);
    linalg::product<Q, Q, Q>(y, z, tmp, q, q, q);  // Y Z
    for (Index i = 0; i < q; ++i)
        for (Index j = 0; j < q; ++j) {
            T s = 0.0;
            for (Index l = 0; l < q; ++l) s = s + x[l * q + i] * tmp[l * q + j];
            out[i * q + j] = s;
        }
}

// tr(X D_s V D_t) for symmetric X and V, with XL = X Lambda, LXL = Lambda' X
// Lambda and likewise for V; s = (a, b), t = (c, d).
template <class T>
inline T trace_dvd(const T* x, const T* xl, const T* lxl, const T* v, const T* vl, const T* lvl, Index q, Index a,
                   Index b, Index c, Index d) {
    return vl[c * q + b] * xl[a * q + d] + lvl[b * q + d] * x[c * q + a] + v[a * q + c] * lxl[d * q + b] +
           vl[a * q + d] * xl[c * q + b];
}

// The part of an item's work that does not depend on how its W is held:
// M, its factor and inverse, K, N and V = G N. False when M's factor fails.
template <Index Q, class T>
linalg::mask_of<T> factor_item(const HessianCommon& c, const T* g, HessianScratch<T>& ws) {
    const Index q = linalg::size_of<Q>(c.q);
    const linalg::mask_of<T> ok = factor_m<Q>(g, c.lambda, ws.zl, ws.m, q);
    if constexpr (!linalg::is_lanes<T>)
        if (!ok) return false;
    linalg::inverse_from_cholesky<Q>(ws.m, ws.minv, q);
    linalg::product<Q, Q, Q>(c.lambda, ws.minv, ws.b, q, q, q);
    for (Index x = 0; x < q; ++x)
        for (Index y = 0; y < q; ++y) ws.k[x * q + y] = linalg::dot(ws.b + x * q, c.lambda + y * q, q);
    // N = I - K G, V = G N.
    linalg::product<Q, Q, Q>(ws.k, g, ws.tmp, q, q, q);
    for (Index x = 0; x < q; ++x)
        for (Index y = 0; y < q; ++y) ws.n[x * q + y] = T(x == y ? 1.0 : 0.0) - ws.tmp[x * q + y];
    linalg::product<Q, Q, Q>(g, ws.n, ws.v, q, q, q);
    return ok;
}

// The gradient terms (grad, n_theta) and Hessian terms (hess, s <= t row by
// row) of an item from V (weighted by the item's group count) and R.
template <Index Q, class T>
void item_terms(const HessianCommon& c, double weight, HessianScratch<T>& ws, T* grad, T* hess) {
    const Index q = linalg::size_of<Q>(c.q), n_theta = c.n_theta;
    sandwich<Q>(ws.n, ws.r, ws.n, ws.tmp, ws.t, q);  // T = N'RN
    linalg::product<Q, Q, Q>(ws.v, c.lambda, ws.vl, q, q, q);
    linalg::product<Q, Q, Q>(ws.t, c.lambda, ws.tl, q, q, q);
    linalg::product_transposed<Q, Q, Q>(c.lambda, ws.vl, ws.lvl, q, q, q);
    linalg::product_transposed<Q, Q, Q>(c.lambda, ws.tl, ws.ltl, q, q, q);
    // The Hessian terms are linear in their first matrix:
    //   -w tr(V D_s V D_t) + 2 tr(T D_s V D_t) = tr(X D_s V D_t), X = 2T - wV.
    T* x = ws.zl;  // free again after the factorisation
    T* xl = ws.minv;
    T* lxl = ws.b;
    for (Index e = 0; e < q * q; ++e) {
        x[e] = 2.0 * ws.t[e] - weight * ws.v[e];
        xl[e] = 2.0 * ws.tl[e] - weight * ws.vl[e];
        lxl[e] = 2.0 * ws.ltl[e] - weight * ws.lvl[e];
    }
    for (Index s = 0; s < n_theta; ++s) {
        const Index a = c.pairs[2 * s], b = c.pairs[2 * s + 1];
        grad[s] = (weight * 2.0) * ws.vl[a * q + b] - 2.0 * ws.tl[a * q + b];
        for (Index u = s; u < n_theta; ++u) {
            const Index cc = c.pairs[2 * u], d = c.pairs[2 * u + 1];
            T h = trace_dvd(x, xl, lxl, ws.v, ws.vl, ws.lvl, q, a, b, cc, d);
            if (b == d) h = 2.0 * (weight * ws.v[a * q + cc] - ws.t[a * q + cc]) + h;
            *hess++ = h;
        }
    }
}

// Group terms into out (hessian_out_length): W = [Z_i'X_i | Z_i'y_i].
template <Index Q, Index P, class T>
linalg::mask_of<T> hessian_group_step(const HessianCommon& c, const T* ztz, const T* ztx, const T* zty,
                                      HessianScratch<T>& ws, T* out) {
    const Index q = linalg::size_of<Q>(c.q), p = linalg::size_of<P>(c.p), p1 = p + 1, n_theta = c.n_theta;
    const linalg::mask_of<T> ok = factor_item<Q>(c, ztz, ws);
    if constexpr (!linalg::is_lanes<T>)
        if (!ok) return false;
    for (Index a = 0; a < q; ++a) {
        for (Index x = 0; x < p; ++x) ws.w[a * p1 + x] = ztx[a * p + x];
        ws.w[a * p1 + p] = zty[a];
    }
    // R = coef (Wv)(Wv)' [+ W_X A^-1 W_X' under REML].
    for (Index j = 0; j < q; ++j) ws.wv[j] = linalg::dot(ws.w + j * p1, c.v, p1);
    if (c.a_inv) {
        for (Index j = 0; j < q; ++j)
            for (Index x = 0; x < p; ++x) ws.wa[j * p1 + x] = linalg::dot(ws.w + j * p1, c.a_inv + x, p, 1, p);
    }
    for (Index j = 0; j < q; ++j)
        for (Index k = 0; k < q; ++k) {
            T rjk = (c.coef * ws.wv[j]) * ws.wv[k];
            if (c.a_inv) rjk = rjk + linalg::dot(ws.wa + j * p1, ws.w + k * p1, p);
            ws.r[j * q + k] = rjk;
        }
    item_terms<Q>(c, 1.0, ws, out, out + n_theta);
    T* o = out + n_theta + n_theta * (n_theta + 1) / 2;

    // dC_s = Y'D_s Y with Y = N'W: dC_s v = y_a (Lambda'Y v)[b] + (Lambda'Y)_b (Y v)[a].
    linalg::product_transposed<Q, Q>(ws.n, ws.w, ws.y, q, q, p1);
    linalg::product_transposed<Q, Q>(c.lambda, ws.y, ws.ly, q, q, p1);
    for (Index j = 0; j < q; ++j) {
        ws.yv[j] = linalg::dot(ws.y + j * p1, c.v, p1);
        ws.lyv[j] = linalg::dot(ws.ly + j * p1, c.v, p1);
    }
    T* od = o + n_theta * p1;
    for (Index s = 0; s < n_theta; ++s) {
        const Index a = c.pairs[2 * s], b = c.pairs[2 * s + 1];
        const T* ya = ws.y + a * p1;
        const T* lyb = ws.ly + b * p1;
        for (Index x = 0; x < p1; ++x) *o++ = ya[x] * ws.lyv[b] + lyb[x] * ws.yv[a];
        if (c.dcxx) {
            for (Index x = 0; x < p; ++x)
                for (Index y = x; y < p; ++y) *od++ = ya[x] * lyb[y] + lyb[x] * ya[y];
        }
    }
    return ok;
}

}  // namespace CORVANE_ISA
}  // namespace corvane::lmm
