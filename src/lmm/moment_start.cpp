// A starting theta from the stored products, by moments.
//
// beta from ordinary least squares; per group with a non-singular Z_i'Z_i the
// least-squares estimate of its random effects, b_i = (Z_i'Z_i)^-1 Z_i'r
// with r = y - X beta; the within-group residual variance
//   s2 = (RSS - sum r'Z_i b_i) / (n - p - q * groups used);
// and, since E[b_i b_i'] = Sigma_b + s2 (Z_i'Z_i)^-1,
//   Sigma_b ~ mean(b_i b_i') - s2 mean((Z_i'Z_i)^-1).
// Its eigenvalues are raised to a small positive floor (a zero variance is a
// stationary point of the criterion, never a good start) and Lambda is the
// Cholesky factor of Sigma_b / s2. Work proportional to m.
#include <algorithm>
#include <cmath>

#include "linalg/dense.hpp"
#include "linalg/symmetric_eigen.hpp"
#include "lmm/moment_start.hpp"
#include "lmm/theta_layout.hpp"

namespace corvane::lmm {
namespace {

using linalg::Index;

struct alignas(64) MomentAcc {
    std::vector<double> bb, inv;  // q x q each
    double explained = 0.0;       // sum r'Z_i b_i
    double used = 0.0;            // groups with a non-singular Z_i'Z_i
};

// Over classes: the groups of a class share G = Z'Z, so
//   sum b_i b_i' = G^-1 (sum r_i r_i') G^-1,
// with sum r_i r_i' the class sums over [X y] contracted with (-beta, 1) on
// both sides.
MomentAcc over_classes(const LmmData& d, const std::vector<double>& beta) {
    const Design& g = *d.design;
    const Index p = g.p, q = g.q, qq = q * q;
    MomentAcc total{std::vector<double>(qq, 0.0), std::vector<double>(qq, 0.0)};
    const Classes& cl = *g.classes;
    const Index p1 = p + 1;
    std::vector<double> l(qq), inv(qq), rr(qq), t(qq), vv(p1);
    for (Index x = 0; x < p; ++x) vv[x] = -beta[x];
    vv[p] = 1.0;
    for (Index c = 0; c < cl.n_classes; ++c) {
        const double* ztz = cl.class_ztz.data() + c * qq;
        std::copy_n(ztz, qq, l.begin());
        if (!linalg::cholesky(l.data(), q)) continue;
        bool usable = true;
        for (Index j = 0; j < q; ++j) usable = usable && l[j * q + j] * l[j * q + j] > 1e-8 * ztz[j * q + j];
        if (!usable) continue;
        const double* xs = cl.xsums.data() + c * qq * p * p;
        const double* ys = d.response.class_ysums.data() + c * qq * p1;
        for (Index j = 0; j < q; ++j)
            for (Index k = 0; k < q; ++k) {
                // sum over the class of (W_j v)(W_k v), W_j = [Z'X | Z'y] row j.
                double s = 0.0;
                for (Index x = 0; x < p1; ++x)
                    for (Index y = 0; y < p1; ++y) {
                        double w;
                        if (x < p && y < p)
                            w = y >= x ? xs[(j * q + k) * p * p + x * p + y] : xs[(k * q + j) * p * p + y * p + x];
                        else if (y == p)
                            w = ys[(j * q + k) * p1 + x];
                        else
                            w = ys[(k * q + j) * p1 + y];
                        s = s + vv[x] * w * vv[y];
                    }
                rr[j * q + k] = s;
            }
        linalg::inverse_from_cholesky(l.data(), inv.data(), q);
        linalg::product(inv.data(), rr.data(), t.data(), q, q, q);
        for (Index j = 0; j < q; ++j)
            for (Index k = 0; k < q; ++k) {
                double s = 0.0;
                for (Index e = 0; e < q; ++e) s = s + t[j * q + e] * inv[e * q + k];
                total.bb[j * q + k] = total.bb[j * q + k] + s;
                total.inv[j * q + k] = total.inv[j * q + k] + cl.counts[c] * inv[j * q + k];
            }
        for (Index e = 0; e < qq; ++e) total.explained = total.explained + inv[e] * rr[e];
        total.used = total.used + cl.counts[c];
    }
    return total;
}

// Over groups, in chunks reduced in chunk order.
MomentAcc over_groups(const LmmData& d, const std::vector<double>& beta) {
    const Design& g = *d.design;
    const Index p = g.p, q = g.q, m = g.m, qq = q * q;
    MomentAcc total{std::vector<double>(qq, 0.0), std::vector<double>(qq, 0.0)};
    const Index cost = 2 * q * q * q + q * p + 8;
    const Index chunk = chunk_length(cost);
    const Index n_chunks = chunk_count(m, chunk);
    const bool parallel = go_parallel(Schedule::Auto, m, chunk, cost);
    std::vector<MomentAcc> slots(parallel ? reduce_slots(n_chunks, 2 * qq * sizeof(double)) : 1);
    chunked_reduce(
        n_chunks, parallel, slots,
        [&](Index c, MomentAcc& out) {
            MomentAcc acc{std::vector<double>(qq, 0.0), std::vector<double>(qq, 0.0)};
            std::vector<double> l(qq), inv(qq), r(q), b(q);
            const Index end = std::min(m, (c + 1) * chunk);
            for (Index i = c * chunk; i < end; ++i) {
                const double* ztz = g.ztz_of(i);
                std::copy_n(ztz, qq, l.begin());
                if (!linalg::cholesky(l.data(), q)) continue;
                // Nearly singular blocks (fewer informative rows than q) say
                // nothing reliable about b_i.
                bool usable = true;
                for (Index j = 0; j < q; ++j) usable = usable && l[j * q + j] * l[j * q + j] > 1e-8 * ztz[j * q + j];
                if (!usable) continue;
                for (Index k = 0; k < q; ++k) {
                    double t = d.response.zty[i * q + k];
                    for (Index j = 0; j < p; ++j) t = t - g.ztx[(i * q + k) * p + j] * beta[j];
                    r[k] = t;
                }
                std::copy_n(r.begin(), q, b.begin());
                linalg::forward_solve(l.data(), b.data(), q);
                linalg::back_solve(l.data(), b.data(), q);
                linalg::inverse_from_cholesky(l.data(), inv.data(), q);
                for (Index j = 0; j < q; ++j)
                    for (Index k = 0; k < q; ++k) {
                        acc.bb[j * q + k] = acc.bb[j * q + k] + b[j] * b[k];
                        acc.inv[j * q + k] = acc.inv[j * q + k] + inv[j * q + k];
                    }
                acc.explained = acc.explained + linalg::dot(r.data(), b.data(), q);
                acc.used = acc.used + 1.0;
            }
            out = std::move(acc);
        },
        [&](Index, const MomentAcc& part) {
            for (Index e = 0; e < qq; ++e) {
                total.bb[e] = part.bb[e] + total.bb[e];
                total.inv[e] = part.inv[e] + total.inv[e];
            }
            total.explained = part.explained + total.explained;
            total.used = part.used + total.used;
        });
    return total;
}

}  // namespace

std::vector<double> moment_theta(const LmmData& d) {
    const Design& g = *d.design;
    const Index p = g.p, q = g.q, qq = q * q;
    const std::vector<double> fallback = default_theta(q);

    std::vector<double> xtx(g.xtx), beta(d.response.xty);
    if (!linalg::cholesky(xtx.data(), p)) return fallback;
    linalg::forward_solve(xtx.data(), beta.data(), p);
    linalg::back_solve(xtx.data(), beta.data(), p);
    const double rss = d.response.yty - linalg::dot(beta.data(), d.response.xty.data(), p);
    if (!(rss > 0.0) || !std::isfinite(rss)) return fallback;

    const MomentAcc total = g.classes ? over_classes(d, beta) : over_groups(d, beta);
    if (total.used < static_cast<double>(q) + 1.0) return fallback;

    const double df = static_cast<double>(g.n) - static_cast<double>(p) - static_cast<double>(q) * total.used;
    double s2 = df > 0.0 ? (rss - total.explained) / df : 0.0;
    if (!(s2 > 0.0) || !std::isfinite(s2)) s2 = rss / std::max(1.0, static_cast<double>(g.n) - static_cast<double>(p));

    std::vector<double> sigma(qq);
    for (Index e = 0; e < qq; ++e) sigma[e] = (total.bb[e] - s2 * total.inv[e]) / (total.used * s2);
    for (Index j = 0; j < q; ++j)
        for (Index k = 0; k < j; ++k) sigma[j * q + k] = sigma[k * q + j] = 0.5 * (sigma[j * q + k] + sigma[k * q + j]);
    for (double v : sigma)
        if (!std::isfinite(v)) return fallback;

    // Raise the eigenvalues to a floor, rebuild, factor.
    const linalg::SymmetricEigen e = linalg::symmetric_eigen(sigma, q);
    const double floor = std::max(1e-3 * std::max(e.values.back(), 0.0), 1e-4);
    std::vector<double> fixed(qq, 0.0);
    for (Index k = 0; k < q; ++k) {
        const double lam = std::max(e.values[k], floor);
        for (Index i = 0; i < q; ++i)
            for (Index j = 0; j < q; ++j)
                fixed[i * q + j] = fixed[i * q + j] + lam * e.vectors[i * q + k] * e.vectors[j * q + k];
    }
    if (!linalg::cholesky(fixed.data(), q)) return fallback;
    std::vector<double> theta;
    theta.reserve(n_theta(q));
    for (Index j = 0; j < q; ++j)
        for (Index k = j; k < q; ++k) theta.push_back(fixed[k * q + j]);
    return theta;
}

}  // namespace corvane::lmm
