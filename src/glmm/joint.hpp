// The joint conditional mode of (beta, u_1, ..., u_m) for a theta: penalised
// iteratively reweighted least squares over all groups at once.
//
// f(beta, u) = sum_i (|u_i|^2 / 2 - l_i(beta, u_i)) is minimised by Newton
// steps on the Fisher curvature with step halving. The system is an arrow:
// each group's block H_uu,i couples only with beta, so the step comes from
// the Schur complement S = sum_i (H_bb,i - A_i' A_i), A_i = R_i^-1 H_ub,i
// (H_uu,i = R_i R_i'), at O(m (q^3 + q^2 p + q p^2)) per step. The Newton
// decrement is sum_i |a_i|^2 + r' S^-1 r with a_i = R_i^-1 g_u,i and
// r = g_b - sum_i A_i' a_i. Per-group sums run in row order and per-chunk
// sums in chunk order, so the result is the same on any number of threads.
#pragma once

#include <algorithm>
#include <cmath>
#include <limits>
#include <span>
#include <vector>

#include "glmm/eval.hpp"
#include "glmm/group.hpp"

namespace corvane::glmm {

namespace joint_detail {

struct Sums {
    std::vector<double> s, r;  // p x p, p
    double f = 0.0, laplace = 0.0, a_sq = 0.0;
    double magnitude = 0.0;  // sum over groups of |f| + |log|R||: the Laplace value's terms
    bool ok = true;
};

inline std::uint64_t joint_cost(const GlmmDesign& g) {
    const std::uint64_t rows = std::max<std::uint64_t>(1, g.n / std::max<std::uint64_t>(g.m, 1));
    return rows * (g.p * g.p + g.p * g.q + g.q * g.q + 4);
}

}  // namespace joint_detail

template <Link L, Index Q>
GlmmJoint joint_mode(const GlmmDesign& g, const double* y, double constant, const RowParams& params,
                     const double* lambda, std::span<const double> beta_start, const GlmmOptions& options) {
    using joint_detail::Sums;
    const Index q = linalg::size_of<Q>(g.q), p = g.p, m = g.m;
    const std::uint64_t cost = joint_detail::joint_cost(g);
    const std::uint64_t chunk = chunk_length(cost);
    const std::uint64_t n_chunks = chunk_count(m, chunk);
    const bool parallel = go_parallel(options.schedule, m, chunk, cost);
    std::vector<double> beta(beta_start.begin(), beta_start.end()), beta_t(p), dbeta(p);
    std::vector<double> u(m * q, 0.0), du(m * q, 0.0), luu(m * q * q), amat(m * q * p), avec(m * q);
    GlmmJoint out;

    // The Newton pass: every group's blocks at (beta, u), reduced.
    const auto newton_pass = [&](Sums& total) {
        const GroupContext c{g, y, lambda, beta.data(), constant, nullptr, &row_kernels(), params};
        std::vector<Sums> slots(parallel ? reduce_slots(n_chunks, 8 * (p * p + p) + 64) : 1);
        total = Sums{};
        total.s.assign(p * p, 0.0);
        total.r.assign(p, 0.0);
        chunked_reduce(
            n_chunks, parallel, slots,
            [&](std::uint64_t k, Sums& sl) {
                sl.s.assign(p * p, 0.0);
                sl.r.assign(p, 0.0);
                sl.f = sl.laplace = sl.a_sq = sl.magnitude = 0.0;
                sl.ok = true;
                ModeState st(q);
                std::vector<double> hzb(q * p), hub(q * p), gb(p), hbb(p * p), tmp(q * q), grad(q);
                RowBuffers rows;
                rows.reserve(kRowBlock);
                RowTerms t;
                for (std::uint64_t grp = k * chunk; grp < std::min<std::uint64_t>(m, (k + 1) * chunk); ++grp) {
                    const std::uint64_t s = g.start[grp], e = g.start[grp + 1];
                    for (Index a = 0; a < q; ++a) st.u[a] = u[grp * q + a];
                    lambda_times<Q>(lambda, st.u.data(), st.b.data(), q);
                    std::fill(st.gz.begin(), st.gz.end(), 0.0);
                    std::fill(st.mf.begin(), st.mf.end(), 0.0);
                    std::fill(hzb.begin(), hzb.end(), 0.0);
                    std::fill(gb.begin(), gb.end(), 0.0);
                    std::fill(hbb.begin(), hbb.end(), 0.0);
                    double ll = 0.0;
                    for (std::uint64_t i = s; i < e; ++i) {
                        const std::uint64_t k = (i - s) % kRowBlock;
                        if (k == 0) {  // the next block's terms from the array forms
                            const std::uint64_t nb = std::min(kRowBlock, e - i);
                            fill_eta<Q>(c, i, nb, st.b.data(), rows.eta.data());
                            if (!c.kernels->terms(L, RowMode::Full, rows.eta.data(), y + i, g.w.data() + i, nb,
                                                  rows.arrays(), c.params)) {
                                sl.ok = false;
                                return;
                            }
                        }
                        t.loglik = rows.loglik[k];
                        t.d1 = rows.d1[k];
                        t.fisher = rows.fisher[k];
                        const double* z = g.z.data() + i * q;
                        const double* x = g.x.data() + i * p;
                        ll = ll + t.loglik;
                        for (Index a = 0; a < q; ++a) {
                            st.gz[a] = st.gz[a] + t.d1 * z[a];
                            const double fa = t.fisher * z[a];
                            for (Index b = 0; b <= a; ++b) st.mf[a * q + b] = st.mf[a * q + b] + fa * z[b];
                            for (Index j = 0; j < p; ++j) hzb[a * p + j] = hzb[a * p + j] + fa * x[j];
                        }
                        for (Index j = 0; j < p; ++j) {
                            gb[j] = gb[j] - t.d1 * x[j];
                            const double fj = t.fisher * x[j];
                            for (Index l = 0; l <= j; ++l) hbb[j * p + l] = hbb[j * p + l] + fj * x[l];
                        }
                    }
                    st.f = half_norm_sq<Q>(st.u.data(), q) - ll;
                    double* r = luu.data() + grp * q * q;
                    curvature<Q>(lambda, st.mf.data(), r, tmp.data(), q);
                    if (!linalg::cholesky<Q>(r, q)) {
                        sl.ok = false;
                        return;
                    }
                    mode_gradient<Q>(lambda, st, grad.data(), q);
                    // H_ub = Lambda' (sum W z x'); A = R^-1 H_ub; a = R^-1 g_u.
                    double* am = amat.data() + grp * q * p;
                    for (Index a = 0; a < q; ++a)
                        for (Index j = 0; j < p; ++j) {
                            double v = 0.0;
                            for (Index rr = 0; rr < q; ++rr) v = v + lambda[rr * q + a] * hzb[rr * p + j];
                            am[a * p + j] = v;
                        }
                    linalg::forward_solve_matrix<Q>(r, am, p, q);
                    double* av = avec.data() + grp * q;
                    for (Index a = 0; a < q; ++a) av[a] = grad[a];
                    linalg::forward_solve<Q>(r, av, q);
                    for (Index j = 0; j < p; ++j) {
                        double rj = gb[j];
                        for (Index a = 0; a < q; ++a) rj = rj - am[a * p + j] * av[a];
                        sl.r[j] = sl.r[j] + rj;
                        for (Index l = 0; l <= j; ++l) {
                            double v = hbb[j * p + l];
                            for (Index a = 0; a < q; ++a) v = v - am[a * p + j] * am[a * p + l];
                            sl.s[j * p + l] = sl.s[j * p + l] + v;
                        }
                    }
                    double asq = 0.0;
                    for (Index a = 0; a < q; ++a) asq = asq + av[a] * av[a];
                    sl.a_sq = sl.a_sq + asq;
                    sl.f = sl.f + st.f;
                    const double half_logdet = 0.5 * linalg::log_det<Q>(r, q);
                    sl.laplace = sl.laplace + (st.f + half_logdet);
                    sl.magnitude = sl.magnitude + (std::fabs(st.f) + std::fabs(half_logdet));
                }
            },
            [&](std::uint64_t, Sums& sl) {
                if (!sl.ok) total.ok = false;
                if (!total.ok) return;
                for (Index k = 0; k < p * p; ++k) total.s[k] = total.s[k] + sl.s[k];
                for (Index j = 0; j < p; ++j) total.r[j] = total.r[j] + sl.r[j];
                total.f = total.f + sl.f;
                total.laplace = total.laplace + sl.laplace;
                total.magnitude = total.magnitude + sl.magnitude;
                total.a_sq = total.a_sq + sl.a_sq;
            });
    };

    // f at (beta_t, u + t du).
    const auto trial_value = [&](double step, double& f) {
        const GroupContext c{g, y, lambda, beta_t.data(), constant, nullptr, &row_kernels(), params};
        std::vector<double> parts(n_chunks, 0.0);
        std::vector<std::uint8_t> ok(n_chunks, 1);
        for_each_chunk(n_chunks, parallel, [&](std::uint64_t k) {
            GroupWork w(q, p);
            std::vector<double> ut(q);
            double sum = 0.0;
            for (std::uint64_t grp = k * chunk; grp < std::min<std::uint64_t>(m, (k + 1) * chunk); ++grp) {
                for (Index a = 0; a < q; ++a) ut[a] = u[grp * q + a] + step * du[grp * q + a];
                double fg = 0.0;
                if (!value_pass<L, Q>(c, g.start[grp], g.start[grp + 1], ut.data(), w, fg)) {
                    ok[k] = 0;
                    return;
                }
                sum = sum + fg;
            }
            parts[k] = sum;
        });
        f = 0.0;
        for (std::uint64_t k = 0; k < n_chunks; ++k) {
            if (!ok[k]) return false;
            f = f + parts[k];
        }
        return std::isfinite(f);
    };

    Sums cur;
    double previous = std::numeric_limits<double>::infinity();
    for (std::uint64_t it = 0; it < 300; ++it) {
        newton_pass(cur);
        if (!cur.ok) {
            out.failure = "the linear predictor is out of range at the joint mode's start";
            out.deviance = std::numeric_limits<double>::infinity();
            return out;
        }
        // S dbeta = -r
        std::vector<double> sfac(cur.s);
        for (Index j = 0; j < p; ++j)
            for (Index l = j + 1; l < p; ++l) sfac[j * p + l] = sfac[l * p + j];
        if (!linalg::cholesky<0>(sfac.data(), p)) {
            // A direction the rows no longer inform (separated fixed
            // effects run off along it, their rows' weights vanishing): a
            // ridge of a 1e-10 of each diagonal entry gives a step along it
            // that the step halving keeps in bounds.
            sfac = cur.s;
            for (Index j = 0; j < p; ++j) {
                for (Index l = j + 1; l < p; ++l) sfac[j * p + l] = sfac[l * p + j];
                sfac[j * p + j] = sfac[j * p + j] * (1.0 + 1e-10);
            }
            if (!linalg::cholesky<0>(sfac.data(), p)) {
                out.failure = "the fixed effects' curvature is not positive definite";
                out.deviance = std::numeric_limits<double>::infinity();
                return out;
            }
        }
        for (Index j = 0; j < p; ++j) dbeta[j] = -cur.r[j];
        linalg::forward_solve<0>(sfac.data(), dbeta.data(), p);
        linalg::back_solve<0>(sfac.data(), dbeta.data(), p);
        double dec = cur.a_sq;
        for (Index j = 0; j < p; ++j) dec = dec - cur.r[j] * dbeta[j];
        const double scale = 1.0 + std::fabs(cur.f);
        // du_i = -R_i^-T (a_i + A_i dbeta)
        for_each_chunk(n_chunks, parallel, [&](std::uint64_t k) {
            for (std::uint64_t grp = k * chunk; grp < std::min<std::uint64_t>(m, (k + 1) * chunk); ++grp) {
                double* d = du.data() + grp * q;
                const double* am = amat.data() + grp * q * p;
                for (Index a = 0; a < q; ++a) {
                    double v = avec[grp * q + a];
                    for (Index j = 0; j < p; ++j) v = v + am[a * p + j] * dbeta[j];
                    d[a] = -v;
                }
                linalg::back_solve<Q>(luu.data() + grp * q * q, d, q);
            }
        });
        // Converged once the Newton step is within the rounding of (beta, u)
        // (as for a single group's mode: no relative tolerance on f, which
        // large counts make large).
        double step_size = 0.0;
        for (Index j = 0; j < p; ++j) step_size = std::max(step_size, std::fabs(dbeta[j]) / std::max(1.0, std::fabs(beta[j])));
        for (std::uint64_t k = 0; k < m * q; ++k) step_size = std::max(step_size, std::fabs(du[k]) / std::max(1.0, std::fabs(u[k])));
        // Or once f could not show the step's decrease by a wide margin
        // (f's rounding is a few units of its terms' magnitudes): along a
        // separated direction of the fixed effects the steps stay long while
        // the decrease vanishes, and the estimates have run off as far as
        // the criterion can tell.
        const double rounding = 8.0 * std::numeric_limits<double>::epsilon() * cur.magnitude;
        if (!(dec > 0.0) || step_size <= kStepFloor || dec <= 1e-3 * rounding) {
            out.feasible = true;
            break;
        }
        double t = 1.0, ft = 0.0;
        bool accepted = false;
        if (dec <= kNoSearch * scale) {
            // Near the mode: whole Newton steps (f cannot resolve them) while
            // the decrement keeps falling.
            if (dec >= 0.5 * previous) {
                out.feasible = true;
                break;
            }
            beta_t = beta;
            for (Index j = 0; j < p; ++j) beta_t[j] = beta[j] + dbeta[j];
            accepted = true;
        }
        previous = dec;
        for (int halving = 0; !accepted && halving < 60; ++halving, t *= 0.5) {
            for (Index j = 0; j < p; ++j) beta_t[j] = beta[j] + t * dbeta[j];
            if (trial_value(t, ft) && ft <= cur.f - 1e-4 * t * dec) {
                accepted = true;
                break;
            }
        }
        if (!accepted) {
            if (dec <= kDecrementFloor * scale) {
                out.feasible = true;
                break;
            }
            out.failure = "the joint conditional mode did not converge";
            out.deviance = std::numeric_limits<double>::infinity();
            return out;
        }
        for (std::uint64_t k = 0; k < m * q; ++k) u[k] = u[k] + t * du[k];
        beta = beta_t;
        ++out.iterations;
    }
    if (!out.feasible) {
        out.failure = "the joint conditional mode did not converge";
        out.deviance = std::numeric_limits<double>::infinity();
        return out;
    }
    out.deviance = 2.0 * cur.laplace - 2.0 * constant;
    out.resolution = deviance_rounding(cur.magnitude, constant);
    out.beta = std::move(beta);
    out.precision = cur.s;
    for (Index j = 0; j < p; ++j)
        for (Index l = j + 1; l < p; ++l) out.precision[j * p + l] = out.precision[l * p + j];
    return out;
}

}  // namespace corvane::glmm
