// The analytic second derivative of the criterion for q = 1.
//
// With phi = theta^2, z_i = Z_i'Z_i, K_i = phi z_i + 1 and w_i = (Z_i'X_i,
// Z_i'y_i), the reduced augmented matrix is [X y]'[X y] - C0 with
//   C0 = sum (phi/K) w w',  dC0/dphi = sum (1/K^2) w w' = C1,
//   d2C0/dphi2 = -2 sum (z/K^3) w w' = -2 C2,
// and ldl2 = sum log K with derivatives sum z/K and -sum z^2/K^2. Every term
// of the criterion has closed-form derivatives in phi; the chain rule turns
// them into derivatives in theta. Over classes, w w' is replaced by the
// class sums and the scalar terms are weighted by the group counts.
#include <algorithm>
#include <cmath>

#include "linalg/compensated_sum.hpp"
#include "linalg/dense.hpp"
#include "linalg/elementary.hpp"
#include "lmm/derived.hpp"
#include "lmm/profile.hpp"

namespace corvane::lmm {
namespace {

using linalg::CompensatedSum;
using linalg::Index;

struct alignas(64) AccH {
    std::vector<CompensatedSum> c0, c1, c2;  // (p+1)^2 each, upper triangle
    CompensatedSum l0, l1, l2;
};

AccH hessian_chunk(const LmmData& d, const Classes* classes, Index first, Index end, double phi) {
    const Index p = d.design->p, p1 = p + 1, pp = p1 * p1;
    AccH acc;
    acc.c0.assign(pp, CompensatedSum{});
    acc.c1.assign(pp, CompensatedSum{});
    acc.c2.assign(pp, CompensatedSum{});
    std::vector<double> w(p1);
    for (Index i = first; i < end; ++i) {
        const double z = classes ? classes->class_ztz[i] : d.design->ztz[i];
        const double k = phi * z + 1.0;
        const double f0 = phi / k;
        const double f1 = 1.0 / (k * k);
        const double f2 = z / (k * (k * k));
        if (classes) {
            // S_c: its design part (p x p) and its last column (the response's).
            const double* xs = classes->xsums.data() + i * p * p;
            const double* ys = d.response.class_ysums.data() + i * p1;
            for (Index j = 0; j < p1; ++j)
                for (Index l = j; l < p1; ++l) {
                    const double v = l < p ? xs[j * p + l] : ys[j];
                    acc.c0[j * p1 + l].add(f0 * v);
                    acc.c1[j * p1 + l].add(f1 * v);
                    acc.c2[j * p1 + l].add(f2 * v);
                }
            const double n = classes->counts[i];
            acc.l0.add(n * linalg::log_of(k));
            acc.l1.add((z * n) / k);
            acc.l2.add(z * (-(z * n)) / (k * k));
        } else {
            std::copy_n(d.design->ztx_of(i), p, w.begin());
            w[p] = d.response.zty[i];
            for (Index j = 0; j < p1; ++j)
                for (Index l = j; l < p1; ++l) {
                    const double v = w[j] * w[l];
                    acc.c0[j * p1 + l].add(f0 * v);
                    acc.c1[j * p1 + l].add(f1 * v);
                    acc.c2[j * p1 + l].add(f2 * v);
                }
            acc.l0.add(linalg::log_of(k));
            acc.l1.add(z / k);
            acc.l2.add(-(z * z) / (k * k));
        }
    }
    return acc;
}

// Collapses (hi + lo) and fills the lower triangle from the upper.
std::vector<double> collapse(const std::vector<CompensatedSum>& c, Index p1) {
    std::vector<double> out(p1 * p1);
    for (Index e = 0; e < p1 * p1; ++e) out[e] = c[e].value();
    for (Index i = 0; i < p1; ++i)
        for (Index k = 0; k < i; ++k) out[i * p1 + k] = out[k * p1 + i];
    return out;
}

// sum_i sum_j (a_i * M[i][j]) * b_j over an n x n block of a p1-wide matrix.
double quadratic(const double* a, const std::vector<double>& m, Index p1, const double* b, Index n,
                 double scale = 1.0) {
    double s = 0.0;
    for (Index i = 0; i < n; ++i)
        for (Index j = 0; j < n; ++j) s = s + (a[i] * (scale * m[i * p1 + j])) * b[j];
    return s;
}

}  // namespace

std::optional<ScalarHessian> scalar_hessian(const LmmData& d, bool reml, double theta,
                                            const EvalOptions& options) {
    if (d.design->q != 1) return std::nullopt;
    const Index p = d.design->p, p1 = p + 1, pp = p1 * p1;
    const double phi = theta * theta;
    const Classes* classes = d.design->evaluator == EvaluatorKind::Aggregated && d.design->classes ? &*d.design->classes : nullptr;
    const Index items = classes ? classes->n_classes : d.design->m;
    const Index cost = std::max<Index>(1, 3 * pp + 8);
    const Index chunk = chunk_length(cost);
    const Index n_chunks = chunk_count(items, chunk);
    const bool parallel = go_parallel(options.schedule, items, chunk, cost);

    AccH total;
    total.c0.assign(pp, CompensatedSum{});
    total.c1.assign(pp, CompensatedSum{});
    total.c2.assign(pp, CompensatedSum{});
    std::vector<AccH> slots(parallel ? reduce_slots(n_chunks, 6 * pp * sizeof(double)) : 1);
    chunked_reduce(
        n_chunks, parallel, slots,
        [&](Index c, AccH& out) { out = hessian_chunk(d, classes, c * chunk, std::min(items, (c + 1) * chunk), phi); },
        [&](Index, const AccH& part) {
            for (Index e = 0; e < pp; ++e) {
                total.c0[e].merge(part.c0[e]);
                total.c1[e].merge(part.c1[e]);
                total.c2[e].merge(part.c2[e]);
            }
            total.l0.merge(part.l0);
            total.l1.merge(part.l1);
            total.l2.merge(part.l2);
        });
    slots.clear();

    const std::vector<double> c0 = collapse(total.c0, p1), c1 = collapse(total.c1, p1),
                              c2 = collapse(total.c2, p1);
    const double ldl2 = total.l0.value(), l1 = total.l1.value(), l2 = total.l2.value();
    if (!std::isfinite(ldl2)) return std::nullopt;

    std::vector<double> a(p * p), rhs(p);
    for (Index i = 0; i < p; ++i)
        for (Index j = 0; j < p; ++j) a[i * p + j] = d.design->xtx[i * p + j] - c0[i * p1 + j];
    for (Index i = 0; i < p; ++i) rhs[i] = d.response.xty[i] - c0[i * p1 + p];
    const double r2 = d.response.yty - c0[p * p1 + p];
    std::optional<Profile> prof = profile(*d.design, std::move(a), std::move(rhs), reml, r2, ldl2);
    if (!prof) return std::nullopt;

    std::vector<double> w(p * p);
    linalg::inverse_from_cholesky(prof->factor.data(), w.data(), p);
    std::vector<double> v(p1);
    for (Index j = 0; j < p; ++j) v[j] = -prof->beta[j];
    v[p] = 1.0;

    // Derivatives of pwrss in phi.
    const double p1_term = -quadratic(v.data(), c1, p1, v.data(), p1);
    const double q_term = quadratic(v.data(), c2, p1, v.data(), p1, 2.0);
    std::vector<double> g(p);
    for (Index i = 0; i < p; ++i) {
        double s = 0.0;
        for (Index j = 0; j < p1; ++j) s = s + c1[i * p1 + j] * v[j];
        g[i] = -s;
    }
    double gwg = 0.0;
    for (Index i = 0; i < p; ++i)
        for (Index j = 0; j < p; ++j) gwg = gwg + (g[i] * w[i * p + j]) * g[j];
    const double p2_term = q_term - 2.0 * gwg;

    // Derivatives of log det A in phi: -tr(W C1), tr(W 2 C2) - tr((W C1)^2).
    std::vector<double> wc1(p * p);
    double t1 = 0.0, tr_wc2 = 0.0, tr_sq = 0.0;
    for (Index i = 0; i < p; ++i)
        for (Index j = 0; j < p; ++j) {
            double s = 0.0;
            for (Index k = 0; k < p; ++k) s = s + w[i * p + k] * c1[k * p1 + j];
            wc1[i * p + j] = s;
        }
    for (Index i = 0; i < p; ++i)
        for (Index j = 0; j < p; ++j) {
            t1 = t1 + w[i * p + j] * c1[j * p1 + i];
            tr_wc2 = tr_wc2 + w[i * p + j] * (2.0 * c2[j * p1 + i]);
            tr_sq = tr_sq + wc1[i * p + j] * wc1[j * p + i];
        }
    t1 = -t1;
    const double t2 = tr_wc2 - tr_sq;

    const double rho = reml ? 1.0 : 0.0;
    const double nmp = prof->nmp, pwrss = prof->pwrss;
    const double d1 = (nmp * p1_term) / pwrss + l1 + rho * t1;
    const double ratio = p1_term / pwrss;
    const double d2 = nmp * ((p2_term / pwrss) - ratio * ratio) + l2 + rho * t2;
    return ScalarHessian{prof->deviance, (2.0 * theta) * d1, 2.0 * d1 + (4.0 * phi) * d2};
}

}  // namespace corvane::lmm
