// The dispatcher: "blocks" (and "aggregated" without classes) go to the
// blocks kernel; "streaming" and "aggregated" run the augmented evaluator
// over groups or classes, reduce its per-chunk totals in chunk order, and
// assemble the reduced system, the criterion and its gradient:
//   A = X'X - corr_XX,  c = X'y - corr_Xy,  r2 = y'y - corr_yy,
//   grad_t = trace_t - (nmp / pwrss) r'G_t r - [REML] tr(A^-1 G_t,XX),
// with r = (-beta, 1) and G_t the collapsed derivative block of theta_t.
#include "lmm/evaluate.hpp"

#include <algorithm>
#include <type_traits>

#include "linalg/dense.hpp"
#include "lmm/augmented_evaluator.hpp"
#include "lmm/blocks_evaluator.hpp"
#include "lmm/profile.hpp"
#include "lmm/random_effects.hpp"
#include "lmm/theta_layout.hpp"
#include "parallel/interrupt.hpp"

namespace corvane::lmm {
namespace {

using linalg::CompensatedSum;
using linalg::Index;

// The augmented kernels' per-chunk totals, merged chunk by chunk in chunk
// order; without a gradient `trace` and `dcorr` are empty.
template <class Source>
AccA augmented_totals(const LmmData& d, const Source& source, Index cost, const double* lambda, bool gradient,
                      const EvalOptions& options) {
    const Index p1 = d.design->p + 1, pp = p1 * p1, n_theta = d.design->theta_pairs.size();
    const Index items = source.count();
    const Index chunk = chunk_length(cost);
    const Index n_chunks = chunk_count(items, chunk);
    const bool parallel = go_parallel(options.schedule, items, chunk, cost);

    AccA t;
    t.reset(d.design->p, n_theta, gradient);
    const Index acc_bytes = ((gradient ? n_theta * pp : 0) + pp) * 2 * sizeof(double);
    std::vector<AccA> slots(parallel ? reduce_slots(n_chunks, acc_bytes) : 1);
    chunked_reduce(
        n_chunks, parallel, slots,
        [&](Index c, AccA& out) {
            if constexpr (std::is_same_v<Source, GroupSource>)
                out = augmented_chunk(source, c * chunk, chunk, lambda, gradient, options.generic, options.lanes);
            else
                out = augmented_chunk(source, c * chunk, chunk, lambda, gradient, options.generic);
        },
        [&](Index, const AccA& part) { t.merge(part); });
    return t;
}

template <class Source>
std::optional<EvalResult> evaluate_augmented(const LmmData& d, const Source& source, Index cost,
                                             std::span<const double> theta, bool reml, EvalMode mode,
                                             const EvalOptions& options) {
    const Index p = d.design->p, p1 = p + 1, pp = p1 * p1, n_theta = d.design->theta_pairs.size();
    const bool gradient = mode != EvalMode::ValueOnly;
    const std::vector<double> lambda = theta_to_lambda(theta, d.design->q);
    const AccA totals = augmented_totals(d, source, cost, lambda.data(), gradient, options);
    if (!totals.ok) return std::nullopt;
    const std::vector<double>& trace = totals.trace;
    const Index n_up = p1 * (p1 + 1) / 2;
    // base - (hi + lo) of corr's entry (x, y), as CompensatedSum::subtracted_from.
    auto corr_from = [&](double base, Index x, Index y) {
        const Index e = upper_index(p1, x, y);
        return (base - totals.corr_hi[e]) - totals.corr_lo[e];
    };

    const double ldl2 = totals.logdet[0] + totals.logdet[1];
    std::vector<double> a(p * p), c(p);
    for (Index x = 0; x < p; ++x)
        for (Index y = x; y < p; ++y) a[x * p + y] = corr_from(d.design->xtx[x * p + y], x, y);
    for (Index x = 0; x < p; ++x)
        for (Index y = 0; y < x; ++y) a[x * p + y] = a[y * p + x];
    for (Index x = 0; x < p; ++x) c[x] = corr_from(d.response.xty[x], x, p);
    const double r2 = corr_from(d.response.yty, p, p);

    std::optional<Profile> prof = profile(*d.design, std::move(a), std::move(c), reml, r2, ldl2);
    if (!prof) return std::nullopt;

    EvalResult result = result_from(*prof, ldl2, reml);

    std::vector<double> a_inv;
    if (mode == EvalMode::Full || (gradient && reml)) {
        a_inv.resize(p * p);
        linalg::inverse_from_cholesky(prof->factor.data(), a_inv.data(), p);
    }
    if (gradient) {
        std::vector<double> r(p1);
        for (Index j = 0; j < p; ++j) r[j] = -prof->beta[j];
        r[p] = 1.0;
        std::vector<double> g(pp);
        const double scale = prof->nmp / prof->pwrss;
        result.grad.resize(n_theta);
        for (Index t = 0; t < n_theta; ++t) {
            for (Index x = 0; x < p1; ++x)
                for (Index y = x; y < p1; ++y) {
                    const Index e = t * n_up + upper_index(p1, x, y);
                    g[x * p1 + y] = totals.dcorr_hi[e] + totals.dcorr_lo[e];
                }
            double s2 = 0.0;
            for (Index j = 0; j <= p; ++j) {
                s2 = s2 + (r[j] * r[j]) * g[j * p1 + j];
                const double h = 2.0 * r[j];
                for (Index k = j + 1; k <= p; ++k) s2 = s2 + (h * r[k]) * g[j * p1 + k];
            }
            double v = trace[t] - scale * s2;
            if (reml) {
                double s3 = 0.0;
                for (Index j = 0; j < p; ++j) {
                    s3 = s3 + a_inv[j * p + j] * g[j * p1 + j];
                    for (Index k = j + 1; k < p; ++k) s3 = s3 + (a_inv[j * p + k] * 2.0) * g[j * p1 + k];
                }
                v = v - s3;
            }
            result.grad[t] = v;
        }
    }
    if (mode == EvalMode::Full) {
        result.u = random_effects(d, lambda.data(), prof->beta.data(), options);
        result.a_inv = std::move(a_inv);
    }
    result.beta = std::move(prof->beta);
    return result;
}

}  // namespace

std::optional<ReducedSystem> reduced_system(const LmmData& d, std::span<const double> theta,
                                           const EvalOptions& options) {
    if (!(d.design->evaluator == EvaluatorKind::Aggregated && d.design->classes))
        return blocks_reduced_system(d, theta, options);
    const Index p = d.design->p, p1 = p + 1;
    const std::vector<double> lambda = theta_to_lambda(theta, d.design->q);
    const AccA t = augmented_totals(d, ClassSource{d, *d.design->classes}, aggregated_cost(p, d.design->q),
                                    lambda.data(), false, options);
    if (!t.ok) return std::nullopt;
    ReducedSystem out{std::vector<double>(p1 * p1), t.logdet[0] + t.logdet[1]};
    for (Index x = 0; x < p1; ++x)
        for (Index y = x; y < p1; ++y) {
            const double base = x < p && y < p ? d.design->xtx[x * p + y]
                                : x < p       ? d.response.xty[x]
                                              : d.response.yty;
            const Index e = upper_index(p1, x, y);
            out.s[x * p1 + y] = (base - t.corr_hi[e]) - t.corr_lo[e];
            out.s[y * p1 + x] = out.s[x * p1 + y];
        }
    return out;
}

std::optional<EvalResult> evaluate(const LmmData& d, std::span<const double> theta, bool reml,
                                   EvalMode mode, const EvalOptions& options) {
    // Every objective evaluation of a fit passes here, however small.
    parallel::check_interrupt();
    switch (d.design->evaluator) {
        case EvaluatorKind::Streaming:
            return evaluate_augmented(d, GroupSource{d}, streaming_cost(d.design->p, d.design->q),
                                      theta, reml, mode, options);
        case EvaluatorKind::Aggregated:
            if (d.design->classes)
                return evaluate_augmented(d, ClassSource{d, *d.design->classes},
                                          aggregated_cost(d.design->p, d.design->q), theta, reml, mode,
                                          options);
            return evaluate_blocks(d, theta, reml, mode, options);
        default:
            return evaluate_blocks(d, theta, reml, mode, options);
    }
}

}  // namespace corvane::lmm
