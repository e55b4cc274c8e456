#include "lmm/hessian.hpp"

#include <algorithm>
#include <cmath>

#include "linalg/compensated_sum.hpp"
#include "linalg/dense.hpp"
#include "lmm/evaluate.hpp"
#include "lmm/fixed_size.hpp"
#include "lmm/profile.hpp"
#include "lmm/theta_layout.hpp"
#include "parallel/interrupt.hpp"

namespace corvane::lmm {
namespace {

using linalg::CompensatedSum;
using linalg::Index;

// What every item reads: Lambda, the layout of theta and the reduced
// system's pieces S^ is made of.
struct Common {
    const double* lambda;        // q x q
    const ThetaPair* pairs;      // n_theta
    Index q, p, n_theta;
    const double* v;             // p + 1: (beta, -1)
    const double* a_inv;         // p x p under REML, else null
    double coef;                 // nmp / pwrss
    bool dcxx;                   // accumulate dC_s's fixed-effect block
};

// Per-chunk totals. Aligned so that chunks run by different threads never
// share a cache line.
struct alignas(64) HessAcc {
    std::vector<CompensatedSum> grad;  // n_theta
    std::vector<double> hess;          // n_theta x n_theta, entries s <= t
    std::vector<double> z;             // n_theta x (p+1): dC_s v
    std::vector<double> dcxx;          // n_theta x p x p, upper triangle (REML, or asked for)
    bool ok = true;

    void reset(const Common& c) {
        grad.assign(c.n_theta, CompensatedSum{});
        hess.assign(c.n_theta * c.n_theta, 0.0);
        z.assign(c.n_theta * (c.p + 1), 0.0);
        dcxx.assign(c.dcxx ? c.n_theta * c.p * c.p : 0, 0.0);
        ok = true;
    }
};

// One chunk's q x q and q x (p+1) matrices, reused for every item.
struct Workspace {
    std::vector<double> storage;
    double *zl, *m, *minv, *b, *k, *n, *v, *r, *t, *vl, *tl, *lvl, *ltl, *tmp;  // q x q
    double *w, *y, *ly, *wa;                                                  // q x (p+1)
    double *wv, *yv, *lyv;                                                    // q
    std::vector<double> blocks;  // classes: q*q full (p+1) x (p+1) blocks
    std::vector<double> sv;      // classes: q*q vectors F_jk v

    Workspace(Index q, Index p, bool classes)
        : storage(14 * q * q + 4 * q * (p + 1) + 3 * q, 0.0) {
        double* s = storage.data();
        for (double** mat : {&zl, &m, &minv, &b, &k, &n, &v, &r, &t, &vl, &tl, &lvl, &ltl, &tmp}) {
            *mat = s;
            s += q * q;
        }
        for (double** mat : {&w, &y, &ly, &wa}) {
            *mat = s;
            s += q * (p + 1);
        }
        wv = s;
        yv = s + q;
        lyv = s + 2 * q;
        if (classes) {
            blocks.assign(q * q * (p + 1) * (p + 1), 0.0);
            sv.assign(q * q * (p + 1), 0.0);
        }
    }
};

// X' Y Z for q x q matrices into out (X' read by columns).
template <Index Q>
void sandwich(const double* x, const double* y, const double* z, double* tmp, double* out, Index q_dynamic) {
    const Index q = linalg::size_of<Q>(q_dynamic);
    linalg::product<Q, Q, Q>(y, z, tmp, q, q, q);               // Y Z
    for (Index i = 0; i < q; ++i)
        for (Index j = 0; j < q; ++j) {
            double s = 0.0;
            for (Index l = 0; l < q; ++l) s = s + x[l * q + i] * tmp[l * q + j];
            out[i * q + j] = s;
        }
}

// tr(X D_s V D_t) for symmetric X and V, with XL = X Lambda, LXL = Lambda' X
// Lambda and likewise for V; s = (a, b), t = (c, d).
inline double trace_dvd(const double* x, const double* xl, const double* lxl, const double* v,
                        const double* vl, const double* lvl, Index q, Index a, Index b, Index c, Index d) {
    return vl[c * q + b] * xl[a * q + d] + lvl[b * q + d] * x[c * q + a] + v[a * q + c] * lxl[d * q + b] +
           vl[a * q + d] * xl[c * q + b];
}

// The part of an item's work that does not depend on how its W is held:
// M, its factor and inverse, K, N and V = G N. False when M's factor fails.
template <Index Q>
bool factor_item(const Common& c, const double* g, Workspace& ws) {
    const Index q = linalg::size_of<Q>(c.q);
    if (!factor_m<Q>(g, c.lambda, ws.zl, ws.m, q)) return false;
    linalg::inverse_from_cholesky<Q>(ws.m, ws.minv, q);
    linalg::product<Q, Q, Q>(c.lambda, ws.minv, ws.b, q, q, q);
    for (Index x = 0; x < q; ++x)
        for (Index y = 0; y < q; ++y) ws.k[x * q + y] = linalg::dot(ws.b + x * q, c.lambda + y * q, q);
    // N = I - K G, V = G N.
    linalg::product<Q, Q, Q>(ws.k, g, ws.tmp, q, q, q);
    for (Index x = 0; x < q; ++x)
        for (Index y = 0; y < q; ++y) ws.n[x * q + y] = (x == y ? 1.0 : 0.0) - ws.tmp[x * q + y];
    linalg::product<Q, Q, Q>(g, ws.n, ws.v, q, q, q);
    return true;
}

// The gradient and Hessian terms of an item from V (weighted by the item's
// group count) and R (already a sum over the item's groups).
template <Index Q>
void add_terms(const Common& c, double weight, Workspace& ws, HessAcc& acc) {
    const Index q = linalg::size_of<Q>(c.q), n_theta = c.n_theta;
    sandwich<Q>(ws.n, ws.r, ws.n, ws.tmp, ws.t, q);  // T = N'RN
    linalg::product<Q, Q, Q>(ws.v, c.lambda, ws.vl, q, q, q);
    linalg::product<Q, Q, Q>(ws.t, c.lambda, ws.tl, q, q, q);
    linalg::product_transposed<Q, Q, Q>(c.lambda, ws.vl, ws.lvl, q, q, q);
    linalg::product_transposed<Q, Q, Q>(c.lambda, ws.tl, ws.ltl, q, q, q);
    // The Hessian terms are linear in their first matrix:
    //   -w tr(V D_s V D_t) + 2 tr(T D_s V D_t) = tr(X D_s V D_t), X = 2T - wV.
    double* x = ws.zl;  // free again after the factorisation
    double* xl = ws.minv;
    double* lxl = ws.b;
    for (Index e = 0; e < q * q; ++e) {
        x[e] = 2.0 * ws.t[e] - weight * ws.v[e];
        xl[e] = 2.0 * ws.tl[e] - weight * ws.vl[e];
        lxl[e] = 2.0 * ws.ltl[e] - weight * ws.lvl[e];
    }
    for (Index s = 0; s < n_theta; ++s) {
        const Index a = c.pairs[s].row, b = c.pairs[s].col;
        acc.grad[s].add((weight * 2.0) * ws.vl[a * q + b] - 2.0 * ws.tl[a * q + b]);
        double* row = acc.hess.data() + s * n_theta;
        for (Index u = s; u < n_theta; ++u) {
            const Index cc = c.pairs[u].row, d = c.pairs[u].col;
            double h = trace_dvd(x, xl, lxl, ws.v, ws.vl, ws.lvl, q, a, b, cc, d);
            if (b == d) h = 2.0 * (weight * ws.v[a * q + cc] - ws.t[a * q + cc]) + h;
            row[u] = h + row[u];
        }
    }
}

// Group i: W = [Z_i'X_i | Z_i'y_i]. P > 0 fixes p at compile time.
template <Index Q, Index P>
bool group_item(const LmmData& d, const Common& c, Index i, Workspace& ws, HessAcc& acc) {
    const Index q = linalg::size_of<Q>(c.q), p = linalg::size_of<P>(c.p), p1 = p + 1, n_theta = c.n_theta;
    const double* g = d.design->ztz.data() + i * q * q;
    if (!factor_item<Q>(c, g, ws)) return false;
    for (Index a = 0; a < q; ++a) {
        std::copy_n(d.design->ztx.data() + (i * q + a) * p, p, ws.w + a * p1);
        ws.w[a * p1 + p] = d.response.zty[i * q + a];
    }
    // R = coef (Wv)(Wv)' [+ W_X A^-1 W_X' under REML].
    for (Index j = 0; j < q; ++j) ws.wv[j] = linalg::dot(ws.w + j * p1, c.v, p1);
    if (c.a_inv) {
        for (Index j = 0; j < q; ++j)
            for (Index x = 0; x < p; ++x) ws.wa[j * p1 + x] = linalg::dot(ws.w + j * p1, c.a_inv + x, p, 1, p);
    }
    for (Index j = 0; j < q; ++j)
        for (Index k = 0; k < q; ++k) {
            double rjk = (c.coef * ws.wv[j]) * ws.wv[k];
            if (c.a_inv) rjk = rjk + linalg::dot(ws.wa + j * p1, ws.w + k * p1, p);
            ws.r[j * q + k] = rjk;
        }
    add_terms<Q>(c, 1.0, ws, acc);

    // dC_s = Y'D_s Y with Y = N'W: dC_s v = y_a (Lambda'Y v)[b] + (Lambda'Y)_b (Y v)[a].
    linalg::product_transposed<Q, Q>(ws.n, ws.w, ws.y, q, q, p1);
    linalg::product_transposed<Q, Q>(c.lambda, ws.y, ws.ly, q, q, p1);
    for (Index j = 0; j < q; ++j) {
        ws.yv[j] = linalg::dot(ws.y + j * p1, c.v, p1);
        ws.lyv[j] = linalg::dot(ws.ly + j * p1, c.v, p1);
    }
    for (Index s = 0; s < n_theta; ++s) {
        const Index a = c.pairs[s].row, b = c.pairs[s].col;
        const double* ya = ws.y + a * p1;
        const double* lyb = ws.ly + b * p1;
        double* zs = acc.z.data() + s * p1;
        for (Index x = 0; x < p1; ++x) zs[x] = (ya[x] * ws.lyv[b] + lyb[x] * ws.yv[a]) + zs[x];
        if (c.dcxx) {
            double* ds = acc.dcxx.data() + s * p * p;
            for (Index x = 0; x < p; ++x)
                for (Index y = x; y < p; ++y) ds[x * p + y] = (ya[x] * lyb[y] + lyb[x] * ya[y]) + ds[x * p + y];
        }
    }
    return true;
}

// Class k: its groups' sums over [X y] stand in for W (see Classes).
template <Index Q>
bool class_item(const LmmData& d, const Common& c, Index k, Workspace& ws, HessAcc& acc) {
    const Classes& classes = *d.design->classes;
    const Index q = linalg::size_of<Q>(c.q), p = c.p, p1 = p + 1, pp1 = p1 * p1, n_theta = c.n_theta;
    const double* g = classes.class_ztz.data() + k * q * q;
    if (!factor_item<Q>(c, g, ws)) return false;
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
            ws.r[e] = rjl;
        }
    add_terms<Q>(c, classes.counts[k], ws, acc);

    // dC_s = sum over (j, l) of Dt_s[j][l] F_jl with Dt_s = N D_s N' =
    // n_a (N lambda_b)' + (N lambda_b) n_a'.
    linalg::product<Q, Q, Q>(ws.n, c.lambda, ws.tmp, q, q, q);  // N Lambda
    for (Index s = 0; s < n_theta; ++s) {
        const Index a = c.pairs[s].row, b = c.pairs[s].col;
        double* zs = acc.z.data() + s * p1;
        double* ds = c.dcxx ? acc.dcxx.data() + s * p * p : nullptr;
        for (Index j = 0; j < q; ++j)
            for (Index l = 0; l < q; ++l) {
                const double dt = ws.n[j * q + a] * ws.tmp[l * q + b] + ws.tmp[j * q + b] * ws.n[l * q + a];
                if (dt == 0.0) continue;
                const Index e = j * q + l;
                for (Index x = 0; x < p1; ++x) zs[x] = dt * ws.sv[e * p1 + x] + zs[x];
                if (ds) {
                    const double* f = ws.blocks.data() + e * pp1;
                    for (Index x = 0; x < p; ++x)
                        for (Index y = x; y < p; ++y) ds[x * p + y] = dt * f[x * p1 + y] + ds[x * p + y];
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
    const Common c{lambda.data(), g.theta_pairs.data(), q, p, n_theta, v.data(), reml ? a_inv.data() : nullptr,
                   coef, reml || with_fixed_block};

    // The item pass.
    const Index items = classes ? g.classes->n_classes : g.m;
    const Index cost = classes ? hessian_class_cost(p, q) : hessian_group_cost(p, q);
    const Index chunk = chunk_length(cost);
    const Index n_chunks = chunk_count(items, chunk);
    const bool parallel = go_parallel(options.schedule, items, chunk, cost);
    HessAcc total;
    total.reset(c);
    const Index acc_bytes = (n_theta * (2 + n_theta + p1) + total.dcxx.size()) * sizeof(double);
    std::vector<HessAcc> slots(parallel ? reduce_slots(n_chunks, acc_bytes) : 1);
    chunked_reduce(
        n_chunks, parallel, slots,
        [&](Index k, HessAcc& out) {
            HessAcc acc;
            acc.reset(c);
            Workspace ws(q, p, classes);
            const Index end = std::min(items, (k + 1) * chunk);
            for (Index i = k * chunk; i < end; ++i) {
                if (!(classes ? class_item<Q>(d, c, i, ws, acc) : group_item<Q, P>(d, c, i, ws, acc))) {
                    acc.ok = false;
                    break;
                }
            }
            out = std::move(acc);
        },
        [&](Index, const HessAcc& part) {
            for (Index s = 0; s < n_theta; ++s) total.grad[s].merge(part.grad[s]);
            for (Index e = 0; e < total.hess.size(); ++e) total.hess[e] = part.hess[e] + total.hess[e];
            for (Index e = 0; e < total.z.size(); ++e) total.z[e] = part.z[e] + total.z[e];
            for (Index e = 0; e < total.dcxx.size(); ++e) total.dcxx[e] = part.dcxx[e] + total.dcxx[e];
            total.ok = total.ok && part.ok;
        });
    if (!total.ok) return std::nullopt;

    // The terms through the totals dC_s:
    //   cross_st = rho tr(A^-1 dC_s A^-1 dC_t)_XX + 2 coef zeta_s . z_t,X
    //              + (coef / pwrss) (v . z_s)(v . z_t),  zeta_s = A^-1 z_s,X.
    // Without REML A^-1 is not formed and zeta comes from the factor.
    std::vector<double> zeta(n_theta * p), alpha(n_theta), q_mats;
    for (Index s = 0; s < n_theta; ++s) {
        const double* zs = total.z.data() + s * p1;
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
            const double* ds = total.dcxx.data() + s * p * p;
            for (Index x = 0; x < p; ++x)
                for (Index y = 0; y < p; ++y) full[x * p + y] = y >= x ? ds[x * p + y] : ds[y * p + x];
            linalg::product(a_inv.data(), full.data(), q_mats.data() + s * p * p, p, p, p);
        }
    }
    HessianResult out;
    if (with_fixed_block) {
        // d pwrss / d theta_s = -v' dC_s v (beta is optimal); A = X'V^-1 X
        // and its derivatives -dC_s,XX (both triangles).
        out.pwrss = prof->pwrss;
        out.nmp = prof->nmp;
        out.pwrss_grad.resize(n_theta);
        for (Index s = 0; s < n_theta; ++s) out.pwrss_grad[s] = -alpha[s];
        out.beta.assign(v.begin(), v.begin() + p);
        out.beta_grad = zeta;
        out.xvx.resize(p * p);
        for (Index x = 0; x < p; ++x)
            for (Index y = 0; y < p; ++y) out.xvx[x * p + y] = red->s[x * p1 + y];
        out.xvx_grad.resize(n_theta * p * p);
        for (Index s = 0; s < n_theta; ++s) {
            const double* ds = total.dcxx.data() + s * p * p;
            double* o = out.xvx_grad.data() + s * p * p;
            for (Index x = 0; x < p; ++x)
                for (Index y = 0; y < p; ++y) o[x * p + y] = -(y >= x ? ds[x * p + y] : ds[y * p + x]);
        }
    }
    out.deviance = prof->deviance;
    out.grad.resize(n_theta);
    out.hess.assign(n_theta * n_theta, 0.0);
    for (Index s = 0; s < n_theta; ++s) out.grad[s] = total.grad[s].value();
    for (Index s = 0; s < n_theta; ++s)
        for (Index t = s; t < n_theta; ++t) {
            double cross = (2.0 * coef) * linalg::dot(zeta.data() + s * p, total.z.data() + t * p1, p) +
                           ((coef / prof->pwrss) * alpha[s]) * alpha[t];
            if (reml) {
                const double* qs = q_mats.data() + s * p * p;
                const double* qt = q_mats.data() + t * p * p;
                double tr = 0.0;
                for (Index x = 0; x < p; ++x)
                    for (Index y = 0; y < p; ++y) tr = tr + qs[x * p + y] * qt[y * p + x];
                cross = cross + tr;
            }
            const double h = total.hess[s * n_theta + t] - cross;
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
