#include "lmm/hessian.hpp"

#include <algorithm>
#include <cmath>

#include "linalg/compensated_sum.hpp"
#include "linalg/dense.hpp"
#include "lmm/evaluate.hpp"
#include "lmm/fixed_size.hpp"
#include "lmm/group_lanes.hpp"
#include "lmm/hessian_steps.hpp"
#include "lmm/profile.hpp"
#include "lmm/theta_layout.hpp"
#include "parallel/interrupt.hpp"

namespace corvane::lmm {
namespace {

using linalg::CompensatedSum;
using linalg::Index;

using Common = HessianCommon;

// Upper-triangle entry (x, y), x <= y, of an n x n matrix packed row by row.
inline Index packed(Index n, Index x, Index y) { return x * n - x * (x - 1) / 2 + (y - x); }
inline Index packed_sym(Index n, Index x, Index y) { return x <= y ? packed(n, x, y) : packed(n, y, x); }

// Per-chunk totals (HessianTotals over `sums`). Aligned so that chunks run by
// different threads never share a cache line.
struct alignas(64) HessAcc {
    // hi, lo (n_theta each): compensated gradient sums; then the plain sums:
    // Hessian terms (s <= t, packed), dC_s v (n_theta x (p+1)) and, with
    // dcxx, dC_s's fixed block per s (x <= y, packed).
    std::vector<double> sums;
    Index nt = 0, p = 0;
    bool ok = true;

    void reset(const Common& c) {
        nt = c.n_theta;
        p = c.p;
        sums.assign(2 * nt + hessian_out_length(p, c.q, c.dcxx) - nt, 0.0);
        ok = true;
    }
    HessianTotals totals() { return {sums.data(), sums.data() + nt, sums.data() + 2 * nt}; }
    double grad(Index s) const { return sums[s] + sums[nt + s]; }
    double hess(Index s, Index t) const { return sums[2 * nt + packed(nt, s, t)]; }
    double* z() { return sums.data() + 2 * nt + nt * (nt + 1) / 2; }
    const double* z() const { return sums.data() + 2 * nt + nt * (nt + 1) / 2; }
    double* dcxx(Index s) { return z() + nt * (p + 1) + s * (p * (p + 1) / 2); }
    const double* dcxx(Index s) const { return z() + nt * (p + 1) + s * (p * (p + 1) / 2); }

    // Adds another chunk's totals (CompensatedSum::merge on the gradient:
    // lo = part.lo + (lo + err); plain additions for the rest).
    void merge(const HessAcc& part) {
        linalg::merge_compensated(sums.data(), sums.data() + nt, part.sums.data(), part.sums.data() + nt, nt);
        for (Index e = 2 * nt; e < sums.size(); ++e) sums[e] = part.sums[e] + sums[e];
        ok = ok && part.ok;
    }
};

// One chunk's matrices, reused for every item, and its terms.
struct Workspace {
    std::vector<double> storage;
    HessianScratch<double> mats;
    std::vector<double> out;     // one step's terms (W groups interleaved)
    std::vector<double> blocks;  // classes: q*q full (p+1) x (p+1) blocks
    std::vector<double> sv;      // classes: q*q vectors F_jk v

    Workspace(Index q, Index p, bool classes, Index out_length)
        : storage(HessianScratch<double>::length(q, p), 0.0), mats(storage.data(), q, p), out(out_length, 0.0) {
        if (classes) {
            blocks.assign(q * q * (p + 1) * (p + 1), 0.0);
            sv.assign(q * q * (p + 1), 0.0);
        }
    }
};

// Group i. P > 0 fixes p at compile time.
template <Index Q, Index P>
bool group_item(const LmmData& d, const Common& c, Index i, Workspace& ws, HessAcc& acc) {
    const Index q = linalg::size_of<Q>(c.q), p = linalg::size_of<P>(c.p);
    if (!hessian_group_step<Q, P>(c, d.design->ztz_of(i), d.design->ztx_of(i), d.zty_of(i), ws.mats,
                                  ws.out.data()))
        return false;
    add_hessian_terms(ws.out.data(), acc.totals(), c.n_theta, hessian_out_length(p, q, c.dcxx));
    return true;
}

// Class k: its groups' sums over [X y] stand in for W (see Classes).
template <Index Q>
bool class_item(const LmmData& d, const Common& c, Index k, Workspace& ws, HessAcc& acc) {
    const Classes& classes = *d.design->classes;
    const Index q = linalg::size_of<Q>(c.q), p = c.p, p1 = p + 1, pp1 = p1 * p1, n_theta = c.n_theta;
    const double* g = classes.class_ztz.data() + k * q * q;
    HessianScratch<double>& mats = ws.mats;
    if (!factor_item<Q>(c, g, mats)) return false;
    // Full symmetric blocks F_jk[x][y] = sum over the class of W[j][x] W[k][y].
    const double* xs = classes.xsums.data() + k * q * q * p * p;
    const double* ys = d.response.class_ysums.data() + k * q * q * p1;
    for (Index j = 0; j < q; ++j)
        for (Index l = 0; l < q; ++l) {
            double* f = ws.blocks.data() + (j * q + l) * pp1;
            const double* xjl = xs + (j * q + l) * p * p;
            const double* xlj = xs + (l * q + j) * p * p;
            for (Index x = 0; x < p; ++x)
                for (Index y = 0; y < p; ++y) f[x * p1 + y] = y >= x ? xjl[x * p + y] : xlj[y * p + x];
            for (Index x = 0; x < p1; ++x) {
                f[x * p1 + p] = ys[(j * q + l) * p1 + x];  // W[j][x] W[l][p]
                f[p * p1 + x] = ys[(l * q + j) * p1 + x];  // W[j][p] W[l][x]
            }
        }
    for (Index e = 0; e < q * q; ++e)
        for (Index x = 0; x < p1; ++x) ws.sv[e * p1 + x] = linalg::dot(ws.blocks.data() + e * pp1 + x * p1, c.v, p1);
    for (Index j = 0; j < q; ++j)
        for (Index l = 0; l < q; ++l) {
            const Index e = j * q + l;
            double rjl = c.coef * linalg::dot(ws.sv.data() + e * p1, c.v, p1);
            if (c.a_inv) {
                double t = 0.0;
                const double* f = ws.blocks.data() + e * pp1;
                for (Index x = 0; x < p; ++x)
                    for (Index y = 0; y < p; ++y) t = t + c.a_inv[x * p + y] * f[x * p1 + y];
                rjl = rjl + t;
            }
            mats.r[e] = rjl;
        }
    item_terms<Q>(c, classes.counts[k], mats, ws.out.data(), ws.out.data() + n_theta);
    add_hessian_terms(ws.out.data(), acc.totals(), n_theta, n_theta + n_theta * (n_theta + 1) / 2);

    // dC_s = sum over (j, l) of Dt_s[j][l] F_jl with Dt_s = N D_s N' =
    // n_a (N lambda_b)' + (N lambda_b) n_a'.
    linalg::product<Q, Q, Q>(mats.n, c.lambda, mats.tmp, q, q, q);  // N Lambda
    for (Index s = 0; s < n_theta; ++s) {
        const Index a = c.pairs[2 * s], b = c.pairs[2 * s + 1];
        double* zs = acc.z() + s * p1;
        double* ds = c.dcxx ? acc.dcxx(s) : nullptr;
        for (Index j = 0; j < q; ++j)
            for (Index l = 0; l < q; ++l) {
                const double dt = mats.n[j * q + a] * mats.tmp[l * q + b] + mats.tmp[j * q + b] * mats.n[l * q + a];
                if (dt == 0.0) continue;
                const Index e = j * q + l;
                for (Index x = 0; x < p1; ++x) zs[x] = dt * ws.sv[e * p1 + x] + zs[x];
                if (ds) {
                    const double* f = ws.blocks.data() + e * pp1;
                    for (Index x = 0; x < p; ++x)
                        for (Index y = x; y < p; ++y) {
                            double& e_xy = ds[packed(p, x, y)];
                            e_xy = dt * f[x * p1 + y] + e_xy;
                        }
                }
            }
    }
    return true;
}

template <Index Q, Index P>
std::optional<HessianResult> run(const LmmData& d, std::span<const double> theta, bool reml,
                                 const EvalOptions& options, bool with_fixed_block) {
    const Design& g = *d.design;
    const Index p = g.p, p1 = p + 1, q = g.q, n_theta = g.theta_pairs.size();
    const bool classes = g.evaluator == EvaluatorKind::Aggregated && g.classes;

    // Value pass: S and ldl2, then the criterion and beta.
    std::optional<ReducedSystem> red = reduced_system(d, theta, options);
    if (!red) return std::nullopt;
    std::vector<double> a(p * p), rhs(p);
    for (Index x = 0; x < p; ++x) {
        for (Index y = 0; y < p; ++y) a[x * p + y] = red->s[x * p1 + y];
        rhs[x] = red->s[x * p1 + p];
    }
    std::optional<Profile> prof = profile(g, std::move(a), std::move(rhs), reml, red->s[p * p1 + p], red->ldl2);
    if (!prof) return std::nullopt;
    std::vector<double> v(p1), a_inv;
    for (Index x = 0; x < p; ++x) v[x] = prof->beta[x];
    v[p] = -1.0;
    if (reml) {
        a_inv.resize(p * p);
        linalg::inverse_from_cholesky(prof->factor.data(), a_inv.data(), p);
    }
    const double coef = prof->nmp / prof->pwrss;
    const std::vector<double> lambda = theta_to_lambda(theta, q);
    std::vector<Index> pairs(2 * n_theta);
    for (Index t = 0; t < n_theta; ++t) {
        pairs[2 * t] = g.theta_pairs[t].row;
        pairs[2 * t + 1] = g.theta_pairs[t].col;
    }
    const Common c{lambda.data(), pairs.data(), q, p, n_theta, v.data(), reml ? a_inv.data() : nullptr,
                   coef, reml || with_fixed_block};

    // The item pass.
    const Index items = classes ? g.classes->n_classes : g.m;
    const Index cost = classes ? hessian_class_cost(p, q) : hessian_group_cost(p, q);
    const Index chunk = chunk_length(cost);
    const Index n_chunks = chunk_count(items, chunk);
    const bool parallel = go_parallel(options.schedule, items, chunk, cost);
    // Groups (not classes) go through vector lanes where the machine has them.
    const GroupLaneKernels lk = classes ? GroupLaneKernels{} : group_lane_kernels(q, p, options.generic, options.lanes);
    const Index width = lk.hessian ? lk.width : 1, out_length = hessian_out_length(p, q, c.dcxx);
    const unsigned all_lanes = (1u << width) - 1;
    const BlocksLaneData ld{g.ztz.data(), g.ztx.data(), d.response.zty.data(), lambda.data(), q, p};
    HessAcc total;
    total.reset(c);
    const Index acc_bytes = total.sums.size() * sizeof(double);
    std::vector<HessAcc> slots(parallel ? reduce_slots(n_chunks, acc_bytes) : 1);
    chunked_reduce(
        n_chunks, parallel, slots,
        [&](Index k, HessAcc& out) {
            HessAcc acc;
            acc.reset(c);
            Workspace ws(q, p, classes, out_length);
            Index i = k * chunk;
            const Index end = std::min(items, (k + 1) * chunk);
            // Runs of `width` groups through the lanes step, the rest one by one.
            if (width > 1)
                for (; i + width <= end; i += width) {
                    if (lk.hessian(c, ld, i, acc.totals()) != all_lanes) {
                        acc.ok = false;
                        i = end;
                        break;
                    }
                }
            for (; i < end; ++i) {
                if (!(classes ? class_item<Q>(d, c, i, ws, acc) : group_item<Q, P>(d, c, i, ws, acc))) {
                    acc.ok = false;
                    break;
                }
            }
            out = std::move(acc);
        },
        [&](Index, const HessAcc& part) { total.merge(part); });
    if (!total.ok) return std::nullopt;

    // The terms through the totals dC_s:
    //   cross_st = rho tr(A^-1 dC_s A^-1 dC_t)_XX + 2 coef zeta_s . z_t,X
    //              + (coef / pwrss) (v . z_s)(v . z_t),  zeta_s = A^-1 z_s,X.
    // Without REML A^-1 is not formed and zeta comes from the factor.
    std::vector<double> zeta(n_theta * p), alpha(n_theta), q_mats;
    for (Index s = 0; s < n_theta; ++s) {
        const double* zs = total.z() + s * p1;
        alpha[s] = linalg::dot(v.data(), zs, p1);
        double* zt = zeta.data() + s * p;
        std::copy_n(zs, p, zt);
        linalg::forward_solve(prof->factor.data(), zt, p);
        linalg::back_solve(prof->factor.data(), zt, p);
    }
    if (reml) {
        // Q_s = A^-1 dC_s,XX (dC_s,XX symmetric from its upper triangle).
        q_mats.assign(n_theta * p * p, 0.0);
        std::vector<double> full(p * p);
        for (Index s = 0; s < n_theta; ++s) {
            const double* ds = total.dcxx(s);
            for (Index x = 0; x < p; ++x)
                for (Index y = 0; y < p; ++y) full[x * p + y] = ds[packed_sym(p, x, y)];
            linalg::product(a_inv.data(), full.data(), q_mats.data() + s * p * p, p, p, p);
        }
    }
    HessianResult out;
    out.pwrss = prof->pwrss;
    out.nmp = prof->nmp;
    if (with_fixed_block) {
        // d pwrss / d theta_s = -v' dC_s v (beta is optimal); A = X'V^-1 X
        // and its derivatives -dC_s,XX (both triangles).
        out.pwrss_grad.resize(n_theta);
        for (Index s = 0; s < n_theta; ++s) out.pwrss_grad[s] = -alpha[s];
        out.beta.assign(v.begin(), v.begin() + p);
        out.beta_grad = zeta;
        out.xvx.resize(p * p);
        for (Index x = 0; x < p; ++x)
            for (Index y = 0; y < p; ++y) out.xvx[x * p + y] = red->s[x * p1 + y];
        out.xvx_grad.resize(n_theta * p * p);
        for (Index s = 0; s < n_theta; ++s) {
            const double* ds = total.dcxx(s);
            double* o = out.xvx_grad.data() + s * p * p;
            for (Index x = 0; x < p; ++x)
                for (Index y = 0; y < p; ++y) o[x * p + y] = -ds[packed_sym(p, x, y)];
        }
    }
    out.deviance = prof->deviance;
    out.grad.resize(n_theta);
    out.hess.assign(n_theta * n_theta, 0.0);
    for (Index s = 0; s < n_theta; ++s) out.grad[s] = total.grad(s);
    for (Index s = 0; s < n_theta; ++s)
        for (Index t = s; t < n_theta; ++t) {
            double cross = (2.0 * coef) * linalg::dot(zeta.data() + s * p, total.z() + t * p1, p) +
                           ((coef / prof->pwrss) * alpha[s]) * alpha[t];
            if (reml) {
                const double* qs = q_mats.data() + s * p * p;
                const double* qt = q_mats.data() + t * p * p;
                double tr = 0.0;
                for (Index x = 0; x < p; ++x)
                    for (Index y = 0; y < p; ++y) tr = tr + qs[x * p + y] * qt[y * p + x];
                cross = cross + tr;
            }
            const double h = total.hess(s, t) - cross;
            out.hess[s * n_theta + t] = h;
            out.hess[t * n_theta + s] = h;
        }
    return out;
}

}  // namespace

std::uint64_t hessian_group_cost(std::uint64_t p, std::uint64_t q) {
    const std::uint64_t nt = q * (q + 1) / 2;
    return 14 * q * q * q + 2 * q * (p + 1) * (p + 1) + 20 * nt * nt + nt * (p + 1) * (p + 4) + 8;
}

std::uint64_t hessian_class_cost(std::uint64_t p, std::uint64_t q) {
    const std::uint64_t nt = q * (q + 1) / 2;
    return q * q * (p + 1) * (p + 2) * (nt + 2) + 14 * q * q * q + 20 * nt * nt + 8;
}

std::optional<HessianResult> evaluate_hessian(const LmmData& d, std::span<const double> theta, bool reml,
                                              const EvalOptions& options, bool with_fixed_block) {
    parallel::check_interrupt();
    return with_q(d.design->q, options.generic, [&](auto fixed_q) {
        constexpr Index Q = decltype(fixed_q)::value;
        if (options.generic) return run<Q, 0>(d, theta, reml, options, with_fixed_block);
        return with_p(d.design->p, [&](auto fixed_p) {
            return run<Q, decltype(fixed_p)::value>(d, theta, reml, options, with_fixed_block);
        });
    });
}

}  // namespace corvane::lmm
