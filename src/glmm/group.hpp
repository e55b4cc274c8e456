// The per-group kernels of the generalized model: passes over a group's
// rows, the conditional mode, and the Laplace gradient's contribution.
//
// Every kernel takes q as a template argument Q (1, 2, 3) or at run time
// (Q = 0); both forms perform the same operations in the same order and give
// the same bits. A pass computes, at a spherical u, eta_r = offset_r +
// x_r' beta + z_r' (Lambda u) for each row and sums, in row order, the
// log-likelihood and (unless only the value is wanted) g_z = sum l1 z,
// M = sum W z z' (Fisher) and, for a non-canonical link, Mo = sum -l2 z z'
// (observed). Matrices are row-major q x q; M and Mo hold their lower
// triangle only.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "linalg/dense.hpp"
#include "glmm/data.hpp"
#include "glmm/row_terms.hpp"

namespace corvane::glmm {

using linalg::Index;

struct GroupContext {
    const GlmmDesign& g;
    const double* y;       // n, grouped order
    const double* lambda;  // q x q, lower triangular
    const double* beta;    // p
    double constant;       // the log-likelihood's constant
    const double* u_start = nullptr;  // m x q: where each group's Newton steps start (null: 0)
    const RowKernels* kernels = &row_kernels();  // the row terms' array forms
    RowParams params{};                           // the negative binomial's dispersion
};

// Groups of at most this many rows keep their rows' terms from a pass, so
// that the gradient's passes need no further transcendental functions.
inline constexpr std::uint64_t kKeepRows = std::uint64_t{1} << 16;

// Rows whose terms a pass computes together (in vector lanes) before summing
// them in row order, for groups whose terms are not kept whole.
inline constexpr std::uint64_t kRowBlock = 256;

// A pass's per-row buffers: the linear predictors and the rows' terms.
struct RowBuffers {
    std::vector<double> eta, loglik, d1, d2, fisher, fisher1;
    void reserve(std::uint64_t rows) {
        if (eta.size() >= rows) return;
        for (auto* v : {&eta, &loglik, &d1, &d2, &fisher, &fisher1}) v->resize(rows);
    }
    RowArrays arrays() { return RowArrays{loglik.data(), d1.data(), d2.data(), fisher.data(), fisher1.data()}; }
    void swap(RowBuffers& o) noexcept {
        eta.swap(o.eta);
        loglik.swap(o.loglik);
        d1.swap(o.d1);
        d2.swap(o.d2);
        fisher.swap(o.fisher);
        fisher1.swap(o.fisher1);
    }
};

struct ModeState {
    std::vector<double> u, b, gz, mf, mo;  // q, q, q, q x q, q x q
    double f = 0.0;                          // |u|^2 / 2 - loglik
    bool keep = false;                       // keep the rows' terms (when the group is small enough)
    bool kept = false;                       // rows holds every row's terms of this pass (d1, d2, fisher1)
    RowBuffers rows;
    explicit ModeState(Index q) : u(q), b(q), gz(q), mf(q * q), mo(q * q) {}
    // Exchanges the two states' buffers (std::swap's three moves of eleven
    // vectors showed in small groups' Newton steps).
    void swap(ModeState& o) noexcept {
        u.swap(o.u);
        b.swap(o.b);
        gz.swap(o.gz);
        mf.swap(o.mf);
        mo.swap(o.mo);
        std::swap(f, o.f);
        std::swap(keep, o.keep);
        std::swap(kept, o.kept);
        rows.swap(o.rows);
    }
};

struct GroupWork {
    ModeState cur, trial;
    std::vector<double> grad, step, h, lf, lo, tmp, tmp2;  // q, q, q x q ...
    RowBuffers values;                                        // value_pass's
    std::uint64_t iterations = 0;
    GroupWork(Index q, Index) : cur(q), trial(q), grad(q), step(q), h(q * q), lf(q * q), lo(q * q),
                                tmp(q * q), tmp2(q * q) {}
};

enum class ModeStatus : std::uint8_t { Converged, Infeasible, NotConverged };

// Newton steps at most; the Newton step below which a mode is converged
// (relative to max(1, |u|)); and the tolerances on the Newton decrement
// g' H^-1 g (twice the predicted decrease), relative to 1 + |f|.
inline constexpr std::uint64_t kMaxNewton = 100;
inline constexpr double kStepFloor = 0x1p-50;  // a Newton step within u's rounding: nothing left to take
inline constexpr double kDecrementFloor = 1e-12;  // converged when no step can decrease f further
inline constexpr double kNoSearch = 1e-8;         // below it, whole Newton steps without a line search

template <Index Q>
inline double row_eta(const GroupContext& c, std::uint64_t i, const double* b) {
    const Index q = linalg::size_of<Q>(c.g.q), p = c.g.p;
    const double* x = c.g.x.data() + i * p;
    const double* z = c.g.z.data() + i * q;
    double eta = c.g.offset[i];
    for (Index j = 0; j < p; ++j) eta = eta + x[j] * c.beta[j];
    for (Index k = 0; k < q; ++k) eta = eta + z[k] * b[k];
    return eta;
}

// b = Lambda u.
template <Index Q>
inline void lambda_times(const double* lambda, const double* u, double* b, Index q_dynamic) {
    const Index q = linalg::size_of<Q>(q_dynamic);
    for (Index r = 0; r < q; ++r) {
        double v = 0.0;
        for (Index k = 0; k <= r; ++k) v = v + lambda[r * q + k] * u[k];
        b[r] = v;
    }
}

template <Index Q>
inline double half_norm_sq(const double* u, Index q_dynamic) {
    const Index q = linalg::size_of<Q>(q_dynamic);
    double s = 0.0;
    for (Index k = 0; k < q; ++k) s = s + u[k] * u[k];
    return 0.5 * s;
}

// The linear predictors of rows [s, s + n) at b into eta.
template <Index Q>
inline void fill_eta(const GroupContext& c, std::uint64_t s, std::uint64_t n, const double* b, double* eta) {
    for (std::uint64_t i = 0; i < n; ++i) eta[i] = row_eta<Q>(c, s + i, b);
}

// f at u only; false when a row is not representable.
template <Link L, Index Q>
inline bool value_pass(const GroupContext& c, std::uint64_t s, std::uint64_t e, const double* u, GroupWork& w,
                       double& f) {
    const Index q = linalg::size_of<Q>(c.g.q);
    double* b = w.tmp2.data();
    lambda_times<Q>(c.lambda, u, b, q);
    const std::uint64_t block = std::min(e - s, kRowBlock);
    RowBuffers& rb = w.values;
    rb.reserve(block);
    double ll = 0.0;
    for (std::uint64_t b0 = s; b0 < e; b0 += block) {
        const std::uint64_t nb = std::min(block, e - b0);
        fill_eta<Q>(c, b0, nb, b, rb.eta.data());
        if (!c.kernels->terms(L, RowMode::Value, rb.eta.data(), c.y + b0, c.g.w.data() + b0, nb, rb.arrays(),
                              c.params))
            return false;
        for (std::uint64_t i = 0; i < nb; ++i) ll = ll + rb.loglik[i];
    }
    f = half_norm_sq<Q>(u, q) - ll;
    return std::isfinite(f);
}

// The full pass at st.u into st.
template <Link L, Index Q>
inline bool full_pass(const GroupContext& c, std::uint64_t s, std::uint64_t e, ModeState& st) {
    const Index q = linalg::size_of<Q>(c.g.q);
    constexpr bool kObserved = !observed_is_fisher(L);
    lambda_times<Q>(c.lambda, st.u.data(), st.b.data(), q);
    for (Index k = 0; k < q; ++k) st.gz[k] = 0.0;
    for (Index k = 0; k < q * q; ++k) {
        st.mf[k] = 0.0;
        st.mo[k] = 0.0;
    }
    double ll = 0.0;
    st.kept = st.keep && e - s <= kKeepRows;
    const std::uint64_t block = st.kept ? e - s : std::min(e - s, kRowBlock);
    RowBuffers& rb = st.rows;
    rb.reserve(block);
    for (std::uint64_t b0 = s; b0 < e; b0 += block) {
        const std::uint64_t nb = std::min(block, e - b0);
        fill_eta<Q>(c, b0, nb, st.b.data(), rb.eta.data());
        if (!c.kernels->terms(L, RowMode::Full, rb.eta.data(), c.y + b0, c.g.w.data() + b0, nb, rb.arrays(),
                              c.params))
            return false;
        for (std::uint64_t k = 0; k < nb; ++k) {
            const double* z = c.g.z.data() + (b0 + k) * q;
            const double d1 = rb.d1[k], fisher = rb.fisher[k];
            ll = ll + rb.loglik[k];
            for (Index a = 0; a < q; ++a) {
                st.gz[a] = st.gz[a] + d1 * z[a];
                const double fa = fisher * z[a];
                for (Index b = 0; b <= a; ++b) st.mf[a * q + b] = st.mf[a * q + b] + fa * z[b];
                if constexpr (kObserved) {
                    const double oa = -rb.d2[k] * z[a];
                    for (Index b = 0; b <= a; ++b) st.mo[a * q + b] = st.mo[a * q + b] + oa * z[b];
                }
            }
        }
    }
    st.f = half_norm_sq<Q>(st.u.data(), q) - ll;
    return std::isfinite(st.f);
}

// H = I + Lambda' M Lambda (M's lower triangle read), exactly symmetric.
template <Index Q>
inline void curvature(const double* lambda, const double* m, double* h, double* tmp, Index q_dynamic) {
    const Index q = linalg::size_of<Q>(q_dynamic);
    // tmp = M Lambda
    for (Index r = 0; r < q; ++r)
        for (Index b = 0; b < q; ++b) {
            double v = 0.0;
            for (Index s = 0; s < q; ++s) {
                const double mrs = s <= r ? m[r * q + s] : m[s * q + r];
                v = v + mrs * lambda[s * q + b];
            }
            tmp[r * q + b] = v;
        }
    for (Index a = 0; a < q; ++a)
        for (Index b = 0; b <= a; ++b) {
            double v = 0.0;
            for (Index r = 0; r < q; ++r) v = v + lambda[r * q + a] * tmp[r * q + b];
            h[a * q + b] = (a == b ? 1.0 : 0.0) + v;
            h[b * q + a] = h[a * q + b];
        }
}

// grad = u - Lambda' g_z.
template <Index Q>
inline void mode_gradient(const double* lambda, const ModeState& st, double* grad, Index q_dynamic) {
    const Index q = linalg::size_of<Q>(q_dynamic);
    for (Index a = 0; a < q; ++a) {
        double v = 0.0;
        for (Index r = 0; r < q; ++r) v = v + lambda[r * q + a] * st.gz[r];
        grad[a] = st.u[a] - v;
    }
}

// The Cholesky factor of the Fisher curvature at w.cur into w.lf.
template <Index Q>
inline bool fisher_factor(const GroupContext& c, GroupWork& w) {
    const Index q = linalg::size_of<Q>(c.g.q);
    curvature<Q>(c.lambda, w.cur.mf.data(), w.lf.data(), w.tmp.data(), q);
    return linalg::cholesky<Q>(w.lf.data(), q);
}

// The Cholesky factor of the observed curvature at w.cur into out (the
// Fisher one for canonical links).
template <Link L, Index Q>
inline bool observed_factor(const GroupContext& c, GroupWork& w, double* out) {
    const Index q = linalg::size_of<Q>(c.g.q);
    const bool observed = !observed_is_fisher(L);
    curvature<Q>(c.lambda, observed ? w.cur.mo.data() : w.cur.mf.data(), out, w.tmp.data(), q);
    return linalg::cholesky<Q>(out, q);
}

// The conditional mode of group grp (rows [s, e)), from c.u_start's row or
// u = 0 (also when the start is not feasible). On success w.cur holds the
// pass at the mode.
template <Link L, Index Q>
inline ModeStatus find_mode(const GroupContext& c, std::uint64_t grp, std::uint64_t s, std::uint64_t e,
                            GroupWork& w) {
    const Index q = linalg::size_of<Q>(c.g.q);
    for (Index k = 0; k < q; ++k) w.cur.u[k] = c.u_start ? c.u_start[grp * q + k] : 0.0;
    w.iterations = 0;
    if (!full_pass<L, Q>(c, s, e, w.cur)) {
        if (!c.u_start) return ModeStatus::Infeasible;
        for (Index k = 0; k < q; ++k) w.cur.u[k] = 0.0;
        if (!full_pass<L, Q>(c, s, e, w.cur)) return ModeStatus::Infeasible;
    }
    double previous = std::numeric_limits<double>::infinity();
    for (std::uint64_t it = 0; it < kMaxNewton; ++it) {
        mode_gradient<Q>(c.lambda, w.cur, w.grad.data(), q);
        // The observed curvature gives Newton steps; where it is not positive
        // definite (far from the mode, for a non-canonical link) the Fisher
        // one gives a descent direction all the same, and where that is not
        // either (NB1's log-density is not concave in eta: its Fisher slots
        // hold the observed curvature) the prior's identity does.
        if (!observed_factor<L, Q>(c, w, w.h.data())) {
            curvature<Q>(c.lambda, w.cur.mf.data(), w.h.data(), w.tmp.data(), q);
            if (!linalg::cholesky<Q>(w.h.data(), q)) {
                if (L != Link::NegBin1Log) return ModeStatus::Infeasible;
                for (Index a = 0; a < q; ++a)
                    for (Index b = 0; b < q; ++b) w.h[a * q + b] = a == b ? 1.0 : 0.0;
            }
        }
        for (Index k = 0; k < q; ++k) w.step[k] = -w.grad[k];
        linalg::forward_solve<Q>(w.h.data(), w.step.data(), q);
        linalg::back_solve<Q>(w.h.data(), w.step.data(), q);
        double dec = 0.0, step_size = 0.0, u_size = 1.0;
        for (Index k = 0; k < q; ++k) {
            dec = dec - w.grad[k] * w.step[k];
            step_size = std::max(step_size, std::fabs(w.step[k]));
            u_size = std::max(u_size, std::fabs(w.cur.u[k]));
        }
        const double scale = 1.0 + std::fabs(w.cur.f);
        if (!(dec > 0.0) || step_size <= kStepFloor * u_size) return ModeStatus::Converged;
        if (dec <= kNoSearch * scale) {
            // Near the mode f cannot resolve the step's effect (its change is
            // below its rounding), so the Newton step is taken whole, until
            // it is at the rounding of u or the decrement stops falling (its
            // rounding floor). The modes' derivatives in the parameters are
            // of the order of the curvature, which can be very large (counts
            // in the millions): a mode left short by a relative tolerance on
            // f would move the criterion's gradient by as much.
            if (dec >= 0.5 * previous) return ModeStatus::Converged;
            previous = dec;
            for (Index k = 0; k < q; ++k) w.trial.u[k] = w.cur.u[k] + w.step[k];
            if (!full_pass<L, Q>(c, s, e, w.trial)) return ModeStatus::Converged;
            w.cur.swap(w.trial);
            ++w.iterations;
            continue;
        }
        previous = dec;
        double t = 1.0;
        bool accepted = false;
        for (int halving = 0; halving < 60; ++halving, t *= 0.5) {
            for (Index k = 0; k < q; ++k) w.trial.u[k] = w.cur.u[k] + t * w.step[k];
            if (!full_pass<L, Q>(c, s, e, w.trial)) continue;
            if (w.trial.f <= w.cur.f - 1e-4 * t * dec) {
                accepted = true;
                break;
            }
        }
        if (!accepted) return dec <= kDecrementFloor * scale ? ModeStatus::Converged : ModeStatus::NotConverged;
        w.cur.swap(w.trial);
        ++w.iterations;
    }
    return ModeStatus::NotConverged;
}

// out = M Lambda H^-1 (M's lower triangle read; tmp q x q scratch).
template <Index Q>
inline void curvature_factor_product(const double* m, const double* lambda, const double* hinv, double* out,
                                     double* tmp, Index q_dynamic) {
    const Index q = linalg::size_of<Q>(q_dynamic);
    linalg::product<Q, Q, Q>(lambda, hinv, tmp, q, q, q);
    for (Index r = 0; r < q; ++r)
        for (Index col = 0; col < q; ++col) {
            double v = 0.0;
            for (Index s = 0; s < q; ++s) {
                const double mrs = s <= r ? m[r * q + s] : m[s * q + r];
                v = v + mrs * tmp[s * q + col];
            }
            out[r * q + col] = v;
        }
}

// Adds the group's part of d(f + log|R|)/d(theta, beta) at its mode (w.cur,
// w.lf from fisher_factor) to grad (theta entries first, in theta's layout;
// halved relative to the deviance's). Leaves H^-1 in w.h, chol(Ho) in w.lo,
// s_z in w.trial.gz, t in w.trial.u and Lambda t in w.trial.b.
template <Link L, Index Q>
inline void laplace_gradient(const GroupContext& c, std::uint64_t s, std::uint64_t e, GroupWork& w,
                             double* grad) {
    const Index q = linalg::size_of<Q>(c.g.q), p = c.g.p;
    const double* lam = c.lambda;
    double* hinv = w.h.data();
    linalg::inverse_from_cholesky<Q>(w.lf.data(), hinv, q);
    // cmat = Lambda H^-1 Lambda'
    double cmat[Q ? Q * Q : 1];
    std::vector<double> cdyn(Q ? 0 : q * q);
    double* cm = Q ? cmat : cdyn.data();
    linalg::product<Q, Q, Q>(lam, hinv, w.tmp.data(), q, q, q);
    for (Index a = 0; a < q; ++a)
        for (Index b = 0; b < q; ++b) {
            double v = 0.0;
            for (Index r = 0; r < q; ++r) v = v + w.tmp[a * q + r] * lam[b * q + r];
            cm[a * q + b] = v;
        }
    const auto leverage = [&](const double* z) {
        double h = 0.0;
        for (Index a = 0; a < q; ++a) {
            double v = 0.0;
            for (Index b = 0; b < q; ++b) v = v + cm[a * q + b] * z[b];
            h = h + z[a] * v;
        }
        return h;
    };
    // The rows' terms at the mode: kept by the mode's last pass, or computed.
    const bool kept = w.cur.kept;
    const RowBuffers& rows = w.cur.rows;
    RowTerms t;
    const auto terms = [&](std::uint64_t i) {
        if (kept) {
            t.d1 = rows.d1[i - s];
            t.d2 = rows.d2[i - s];
            t.fisher1 = rows.fisher1[i - s];
        } else {
            row_terms<L>(row_eta<Q>(c, i, w.cur.b.data()), c.y[i], c.g.w[i], false, t, c.params);
        }
    };
    // First pass: s_z = sum (h W1 / 2) z.
    std::vector<double>& sz = w.trial.gz;  // scratch
    for (Index k = 0; k < q; ++k) sz[k] = 0.0;
    for (std::uint64_t i = s; i < e; ++i) {
        terms(i);
        const double* z = c.g.z.data() + i * q;
        const double a = 0.5 * leverage(z) * t.fisher1;
        for (Index k = 0; k < q; ++k) sz[k] = sz[k] + a * z[k];
    }
    // t_vec = Ho^-1 Lambda' s_z; lt = Lambda t_vec.
    std::vector<double>& tv = w.trial.u;
    std::vector<double>& lt = w.trial.b;
    for (Index a = 0; a < q; ++a) {
        double v = 0.0;
        for (Index r = 0; r < q; ++r) v = v + lam[r * q + a] * sz[r];
        tv[a] = v;
    }
    observed_factor<L, Q>(c, w, w.lo.data());
    linalg::forward_solve<Q>(w.lo.data(), tv.data(), q);
    linalg::back_solve<Q>(w.lo.data(), tv.data(), q);
    lambda_times<Q>(lam, tv.data(), lt.data(), q);
    // Second pass: rho per row; d/dbeta = sum rho x, R_z = sum rho z.
    const Index nt = q * (q + 1) / 2;
    double* gbeta = grad + nt;
    std::vector<double>& rz = w.step;  // s_z is kept for the Hessian
    for (Index k = 0; k < q; ++k) rz[k] = 0.0;
    for (std::uint64_t i = s; i < e; ++i) {
        terms(i);
        const double* z = c.g.z.data() + i * q;
        const double* x = c.g.x.data() + i * p;
        double zl = 0.0;
        for (Index k = 0; k < q; ++k) zl = zl + z[k] * lt[k];
        const double rho = -t.d1 + 0.5 * leverage(z) * t.fisher1 + zl * t.d2;
        for (Index j = 0; j < p; ++j) gbeta[j] = gbeta[j] + rho * x[j];
        for (Index k = 0; k < q; ++k) rz[k] = rz[k] + rho * z[k];
    }
    // d/dLambda = R_z u' + g_z t' + M Lambda H^-1, at theta's entries
    // (column by column, each from the diagonal down).
    double* mlh = w.tmp2.data();
    curvature_factor_product<Q>(w.cur.mf.data(), lam, hinv, mlh, w.tmp.data(), q);
    Index k = 0;
    for (Index col = 0; col < q; ++col)
        for (Index r = col; r < q; ++r, ++k)
            grad[k] = grad[k] + (rz[r] * w.cur.u[col] + w.cur.gz[r] * tv[col] + mlh[r * q + col]);
}

}  // namespace corvane::glmm
