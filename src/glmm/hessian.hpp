// The Laplace criterion's exact Hessian in (theta, beta), one group at a
// time, from the conditional mode's first and second sensitivities.
//
// Per group, with psi = (theta, beta), eta_r = offset_r + x_r' beta +
// z_r' Lambda u and F = f(u^) + log|R| (half the deviance, less its
// constant), write v_r = [x_r; z_r] and, for each parameter k, the partial
// d eta_r / d psi_k at fixed u as a_k' v_r (a_k = e_j for beta_j; for the
// theta entry at Lambda[a, c], u_c in z's place a). Implicit differentiation
// of the mode's equation u = Lambda' sum l1 z gives its sensitivities
//   Ho u_k = E_k' g_z - Lambda' (S1 a_k)_z,      S1 = sum -l2 v v',
// E_k = d Lambda / d psi_k, and the total derivative of eta_r is d_k' v_r,
// d_k = a_k + [0; Lambda u_k]. Then, with H = I + Lambda' M Lambda (Fisher
// weights), C = Lambda H^-1 Lambda', h_r = z_r' C z_r, s_z = sum h W1 z / 2,
// tau = Ho^-1 Lambda' s_z and t_r = z_r' Lambda tau (the gradient's pieces),
//   F_kl = a_k' S1 a_l - u_k' Ho u_l + d_k' S2 d_l - tr(H^-1 H_l H^-1 H_k) / 2
//        + [theta_k] ((M_l Lambda H^-1)[a_k, c_k] + (s_z + nu)[a_k] u_l[c_k]
//                     - tau[c_k] (S1 d_l)_z[a_k])
//        + [theta_l] (the same with k and l exchanged)
//        + [theta_k and theta_l] H^-1[c_l, c_k] M[a_k, a_l],
// where S2 = sum (h W2 / 2 + t l3) v v', nu = sum t l2 z, M_k = sum W1
// (d_k' v) z z' and H_k = E_k' M Lambda + Lambda' M E_k + Lambda' M_k Lambda.
// The second sensitivities enter only through tau' Ho u_kl, which the
// mode's differentiated equation gives without solving for u_kl.
//
// Every term is a sum of the rows' weighted moments (one pass, in row order)
// followed by group-sized algebra, so the result's accuracy does not depend
// on the scale of the counts, as differences of the gradient's would.
#pragma once

#include <cstdint>
#include <vector>

#include "linalg/dense.hpp"
#include "glmm/group.hpp"
#include "lmm/theta_layout.hpp"

namespace corvane::glmm {

using lmm::n_theta;

// Scratch for one chunk's groups (sized once per chunk).
struct HessianWork {
    std::vector<double> s1, s2, t3, nu, cm, v;  // P x P, P x P, P x q x q, q, q x q, P
    std::vector<double> uhat, rhs, dvec, s1d, s2d, hk, gk, mklh;  // per parameter: q, q, P, P, P, q x q (three)
    std::vector<double> mlam, tmp, tmp2;        // q x q
    std::vector<std::uint64_t> row_of, col_of;  // theta entry -> Lambda[row, col]
    std::vector<double> eta, terms;             // a block's linear predictors and its rows' terms (7 arrays)
    HessianWork(Index q, Index p) : eta(kRowBlock), terms(7 * kRowBlock) {
        const Index big_p = p + q, nt = n_theta(q), k = nt + p;
        s1.resize(big_p * big_p);
        s2.resize(big_p * big_p);
        t3.resize(big_p * q * q);
        nu.resize(q);
        cm.resize(q * q);
        v.resize(big_p);
        uhat.resize(k * q);
        rhs.resize(k * q);
        dvec.resize(k * big_p);
        s1d.resize(k * big_p);
        s2d.resize(k * big_p);
        hk.resize(k * q * q);
        gk.resize(k * q * q);
        mklh.resize(k * q * q);
        mlam.resize(q * q);
        tmp.resize(q * q);
        tmp2.resize(q * q);
        for (Index col = 0; col < q; ++col)
            for (Index r = col; r < q; ++r) {
                row_of.push_back(r);
                col_of.push_back(col);
            }
    }
};

// Adds the group's F_kl (half the deviance's Hessian, K = n_theta + p
// square, theta first) to hess. Needs what laplace_gradient leaves in w: the
// pass at the mode (w.cur), H^-1 in w.h, chol(Ho) in w.lo, s_z in
// w.trial.gz, tau in w.trial.u and Lambda tau in w.trial.b.
template <Link L, Index Q>
inline void laplace_hessian(const GroupContext& c, std::uint64_t s, std::uint64_t e, GroupWork& w,
                            HessianWork& hw, double* hess) {
    const Index q = linalg::size_of<Q>(c.g.q), p = c.g.p, big_p = p + q, nt = n_theta(q), kk = nt + p;
    const double* lam = c.lambda;
    const double* hinv = w.h.data();
    const double* sz = w.trial.gz.data();
    const double* tau = w.trial.u.data();
    const double* lt = w.trial.b.data();
    const double* u = w.cur.u.data();
    const double* gz = w.cur.gz.data();
    const auto mf = [&](Index a, Index b) { return a >= b ? w.cur.mf[a * q + b] : w.cur.mf[b * q + a]; };

    // C = Lambda H^-1 Lambda' (the leverages' matrix).
    linalg::product<Q, Q, Q>(lam, hinv, hw.tmp.data(), q, q, q);
    for (Index a = 0; a < q; ++a)
        for (Index b = 0; b < q; ++b) {
            double x = 0.0;
            for (Index r = 0; r < q; ++r) x = x + hw.tmp[a * q + r] * lam[b * q + r];
            hw.cm[a * q + b] = x;
        }

    // The rows' moments, lower triangles, in row order.
    std::fill(hw.s1.begin(), hw.s1.end(), 0.0);
    std::fill(hw.s2.begin(), hw.s2.end(), 0.0);
    std::fill(hw.t3.begin(), hw.t3.end(), 0.0);
    std::fill(hw.nu.begin(), hw.nu.end(), 0.0);
    double* v = hw.v.data();
    // The rows' terms come a block at a time from the array forms.
    const RowArrays arrays{hw.terms.data(), hw.terms.data() + kRowBlock, hw.terms.data() + 2 * kRowBlock,
                           hw.terms.data() + 3 * kRowBlock, hw.terms.data() + 4 * kRowBlock,
                           hw.terms.data() + 5 * kRowBlock, hw.terms.data() + 6 * kRowBlock};
    RowTerms t;
    for (std::uint64_t i = s; i < e; ++i) {
        const std::uint64_t k = (i - s) % kRowBlock;
        if (k == 0) {
            const std::uint64_t nb = std::min(kRowBlock, e - i);
            fill_eta<Q>(c, i, nb, w.cur.b.data(), hw.eta.data());
            c.kernels->terms(L, RowMode::Third, hw.eta.data(), c.y + i, c.g.w.data() + i, nb, arrays, c.params);
        }
        t.d2 = arrays.d2[k];
        t.fisher1 = arrays.fisher1[k];
        t.d3 = arrays.d3[k];
        t.fisher2 = arrays.fisher2[k];
        const double* x = c.g.x.data() + i * p;
        const double* z = c.g.z.data() + i * q;
        for (Index j = 0; j < p; ++j) v[j] = x[j];
        for (Index a = 0; a < q; ++a) v[p + a] = z[a];
        double h = 0.0, tr = 0.0;
        for (Index a = 0; a < q; ++a) {
            double cz = 0.0;
            for (Index b = 0; b < q; ++b) cz = cz + hw.cm[a * q + b] * z[b];
            h = h + z[a] * cz;
            tr = tr + z[a] * lt[a];
        }
        const double c1 = -t.d2;
        const double c2 = 0.5 * h * t.fisher2 + tr * t.d3;
        for (Index a = 0; a < big_p; ++a) {
            const double v1 = c1 * v[a], v2 = c2 * v[a];
            for (Index b = 0; b <= a; ++b) {
                hw.s1[a * big_p + b] = hw.s1[a * big_p + b] + v1 * v[b];
                hw.s2[a * big_p + b] = hw.s2[a * big_p + b] + v2 * v[b];
            }
            const double w1 = t.fisher1 * v[a];
            double* t3 = hw.t3.data() + a * q * q;
            for (Index r = 0; r < q; ++r) {
                const double wr = w1 * z[r];
                for (Index b = 0; b <= r; ++b) t3[r * q + b] = t3[r * q + b] + wr * z[b];
            }
        }
        const double tl2 = tr * t.d2;
        for (Index a = 0; a < q; ++a) hw.nu[a] = hw.nu[a] + tl2 * z[a];
    }
    for (Index a = 0; a < big_p; ++a)
        for (Index b = 0; b < a; ++b) {
            hw.s1[b * big_p + a] = hw.s1[a * big_p + b];
            hw.s2[b * big_p + a] = hw.s2[a * big_p + b];
        }
    for (Index i = 0; i < big_p; ++i) {
        double* t3 = hw.t3.data() + i * q * q;
        for (Index r = 0; r < q; ++r)
            for (Index b = 0; b < r; ++b) t3[b * q + r] = t3[r * q + b];
    }

    // M Lambda (M the Fisher moments at the mode).
    for (Index r = 0; r < q; ++r)
        for (Index b = 0; b < q; ++b) {
            double x = 0.0;
            for (Index k = 0; k < q; ++k) x = x + mf(r, k) * lam[k * q + b];
            hw.mlam[r * q + b] = x;
        }

    // Per parameter: a_k, the mode's sensitivity, d_k, S1 d_k, S2 d_k, H_k,
    // H^-1 H_k and M_k Lambda H^-1.
    for (Index k = 0; k < kk; ++k) {
        const bool is_theta = k < nt;
        const Index ak = is_theta ? hw.row_of[k] : 0, ck = is_theta ? hw.col_of[k] : 0;
        // S1 a_k: a column of S1 (beta) or u_c times one (theta).
        double* s1d = hw.s1d.data() + k * big_p;
        for (Index i = 0; i < big_p; ++i)
            s1d[i] = is_theta ? hw.s1[i * big_p + p + ak] * u[ck] : hw.s1[i * big_p + (k - nt)];
        double* rhs = hw.rhs.data() + k * q;
        for (Index j = 0; j < q; ++j) {
            double x = 0.0;
            for (Index r = 0; r < q; ++r) x = x + lam[r * q + j] * s1d[p + r];
            rhs[j] = -x;
        }
        if (is_theta) rhs[ck] = rhs[ck] + gz[ak];
        double* uk = hw.uhat.data() + k * q;
        for (Index j = 0; j < q; ++j) uk[j] = rhs[j];
        linalg::forward_solve<Q>(w.lo.data(), uk, q);
        linalg::back_solve<Q>(w.lo.data(), uk, q);
        double* d = hw.dvec.data() + k * big_p;
        for (Index i = 0; i < big_p; ++i) d[i] = 0.0;
        if (is_theta)
            d[p + ak] = u[ck];
        else
            d[k - nt] = 1.0;
        for (Index r = 0; r < q; ++r) {
            double x = 0.0;
            for (Index j = 0; j < q; ++j) x = x + lam[r * q + j] * uk[j];
            d[p + r] = d[p + r] + x;
        }
        // S1 d_k and S2 d_k (S1 a_k is no longer needed: a_k' S1 a_l is
        // formed from s1 directly below).
        double* s2d = hw.s2d.data() + k * big_p;
        for (Index i = 0; i < big_p; ++i) {
            double x1 = 0.0, x2 = 0.0;
            for (Index j = 0; j < big_p; ++j) {
                x1 = x1 + hw.s1[i * big_p + j] * d[j];
                x2 = x2 + hw.s2[i * big_p + j] * d[j];
            }
            s1d[i] = x1;
            s2d[i] = x2;
        }
        // M_k = sum_i d_k[i] T3[i] into tmp; H_k = E_k' M Lambda + Lambda' M E_k + Lambda' M_k Lambda.
        for (Index r = 0; r < q * q; ++r) hw.tmp[r] = 0.0;
        for (Index i = 0; i < big_p; ++i) {
            const double di = d[i];
            const double* t3 = hw.t3.data() + i * q * q;
            for (Index r = 0; r < q * q; ++r) hw.tmp[r] = hw.tmp[r] + di * t3[r];
        }
        // tmp2 = M_k Lambda
        linalg::product<Q, Q, Q>(hw.tmp.data(), lam, hw.tmp2.data(), q, q, q);
        double* hkm = hw.hk.data() + k * q * q;
        for (Index a = 0; a < q; ++a)
            for (Index b = 0; b < q; ++b) {
                double x = 0.0;
                for (Index r = 0; r < q; ++r) x = x + lam[r * q + a] * hw.tmp2[r * q + b];
                hkm[a * q + b] = x;
            }
        if (is_theta)
            for (Index b = 0; b < q; ++b) {
                hkm[ck * q + b] = hkm[ck * q + b] + hw.mlam[ak * q + b];
                hkm[b * q + ck] = hkm[b * q + ck] + hw.mlam[ak * q + b];
            }
        linalg::product<Q, Q, Q>(hinv, hkm, hw.gk.data() + k * q * q, q, q, q);
        // M_k Lambda H^-1
        linalg::product<Q, Q, Q>(hw.tmp2.data(), hinv, hw.mklh.data() + k * q * q, q, q, q);
    }

    // The pairs.
    for (Index k = 0; k < kk; ++k) {
        const bool tk = k < nt;
        const Index ak = tk ? hw.row_of[k] : 0, ck = tk ? hw.col_of[k] : 0;
        const Index ik = tk ? p + ak : k - nt;  // a_k's nonzero entry
        const double ak_value = tk ? u[ck] : 1.0;
        const double* uk = hw.uhat.data() + k * q;
        const double* dk = hw.dvec.data() + k * big_p;
        const double* gkm = hw.gk.data() + k * q * q;
        for (Index l = k; l < kk; ++l) {
            const bool tl = l < nt;
            const Index al = tl ? hw.row_of[l] : 0, cl = tl ? hw.col_of[l] : 0;
            const Index il = tl ? p + al : l - nt;
            const double al_value = tl ? u[cl] : 1.0;
            const double* ul = hw.uhat.data() + l * q;
            const double* rl = hw.rhs.data() + l * q;
            const double* s1dl = hw.s1d.data() + l * big_p;
            const double* s2dl = hw.s2d.data() + l * big_p;
            const double* glm = hw.gk.data() + l * q * q;
            double f = ak_value * hw.s1[ik * big_p + il] * al_value;
            double x = 0.0;
            for (Index j = 0; j < q; ++j) x = x + uk[j] * rl[j];
            f = f - x;
            x = 0.0;
            for (Index i = 0; i < big_p; ++i) x = x + dk[i] * s2dl[i];
            f = f + x;
            x = 0.0;
            for (Index a = 0; a < q; ++a)
                for (Index b = 0; b < q; ++b) x = x + glm[a * q + b] * gkm[b * q + a];
            f = f - 0.5 * x;
            if (tk) {
                const double* mllh = hw.mklh.data() + l * q * q;
                f = f + mllh[ak * q + ck] + (sz[ak] + hw.nu[ak]) * ul[ck] - tau[ck] * s1dl[p + ak];
            }
            if (tl) {
                const double* mklh = hw.mklh.data() + k * q * q;
                const double* s1dk = hw.s1d.data() + k * big_p;
                f = f + mklh[al * q + cl] + (sz[al] + hw.nu[al]) * uk[cl] - tau[cl] * s1dk[p + al];
            }
            if (tk && tl) f = f + hinv[cl * q + ck] * mf(ak, al);
            hess[k * kk + l] = hess[k * kk + l] + f;
            if (l != k) hess[l * kk + k] = hess[l * kk + k] + f;
        }
    }
}

}  // namespace corvane::glmm
