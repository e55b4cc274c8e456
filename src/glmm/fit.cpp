#include "glmm/fit.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <utility>

#include "lmm/free_entries.hpp"
#include "lmm/theta_layout.hpp"
#include "optim/bound_resume.hpp"

namespace corvane::glmm {

using lmm::canonical_theta;
using lmm::default_theta;
using lmm::FreeEntries;
using lmm::lower_bounds;
using lmm::n_theta;
using lmm::tied_entries;

namespace {

constexpr double kJointStep = 5e-2;       // the longest steps of the joint mode deviance's differences, in standard errors
constexpr double kCorrectionStep = 5e-2;  // the longest steps of the quadrature correction's differences, in standard errors
constexpr double kNearBound = 1e-4;       // starts this close to a bound are moved off it

using Value = std::function<std::optional<double>(std::span<const double>)>;
using ValueGradient = std::function<std::optional<std::pair<double, std::vector<double>>>(std::span<const double>)>;

// f, central-difference gradient and Hessian from values, with steps of
// the given lengths (rounded to what x + h represents). The gradient and the
// Hessian's diagonal are extrapolated from the steps h and h / 2
// (Richardson: truncation O(h^4) instead of O(h^2)), so that steps long
// enough for a criterion with a large rounding still give accurate
// derivatives.
std::optional<optim::SecondOrder> by_values(const Value& f, std::span<const double> x, std::span<const double> steps,
                                            bool hessian = true, std::optional<double> f_at_x = std::nullopt) {
    const std::size_t k = x.size();
    std::optional<double> f0 = f_at_x ? f_at_x : f(x);
    if (!f0) return std::nullopt;
    optim::SecondOrder out{*f0, std::vector<double>(k), std::vector<double>(k * k)};
    std::vector<double> xp(x.begin(), x.end()), h(k);
    for (std::size_t i = 0; i < k; ++i) {
        volatile double up = x[i] + steps[i];
        h[i] = up - x[i];
    }
    for (std::size_t i = 0; i < k; ++i) {
        double g[2], d2[2];
        for (int half = 0; half < 2; ++half) {
            const double hi = half ? 0.5 * h[i] : h[i];  // a power of two: h / 2 is exact
            xp[i] = x[i] + hi;
            const std::optional<double> fp = f(xp);
            xp[i] = x[i] - hi;
            const std::optional<double> fm = f(xp);
            xp[i] = x[i];
            if (!fp || !fm) return std::nullopt;
            g[half] = (*fp - *fm) / (2.0 * hi);
            d2[half] = ((*fp - *f0) + (*fm - *f0)) / (hi * hi);
        }
        out.g[i] = (4.0 * g[1] - g[0]) / 3.0;
        out.h[i * k + i] = (4.0 * d2[1] - d2[0]) / 3.0;
    }
    if (!hessian) return out;
    for (std::size_t i = 0; i < k; ++i)
        for (std::size_t j = i + 1; j < k; ++j) {
            double corner[4];
            int c = 0;
            for (int si : {1, -1})
                for (int sj : {1, -1}) {
                    xp[i] = x[i] + si * h[i];
                    xp[j] = x[j] + sj * h[j];
                    const std::optional<double> v = f(xp);
                    if (!v) return std::nullopt;
                    corner[c++] = *v;
                }
            xp[i] = x[i];
            xp[j] = x[j];
            const double hij = ((corner[0] - corner[1]) - (corner[2] - corner[3])) / (4.0 * h[i] * h[j]);
            out.h[i * k + j] = hij;
            out.h[j * k + i] = hij;
        }
    return out;
}

// Lower bounds of the whole vector: theta's, then none for beta.
std::vector<double> whole_lower(std::uint64_t q, std::size_t k) {
    std::vector<double> lower(k, -std::numeric_limits<double>::infinity());
    const std::vector<double> theta_lower = lower_bounds(q);
    std::copy(theta_lower.begin(), theta_lower.end(), lower.begin());
    return lower;
}

// The trust-region run from x0, then resumed with near-bound entries put on
// their bound while that gives a no-worse criterion (as for the Gaussian fit:
// the criterion is even in each column of Lambda).
// The objective and x0 are over fe's free entries of the whole vector
// (theta, or theta and beta).
optim::TrustRegionResult certified_run(const optim::SecondOrderObjective& objective, std::vector<double> x0,
                                       std::uint64_t q, const FreeEntries& fe,
                                       const optim::TrustRegionOptions& options, std::uint64_t& iterations) {
    const std::size_t nt = n_theta(q);
    const std::vector<double> lower = fe.reduce(whole_lower(q, fe.whole()));
    const std::vector<std::vector<std::size_t>> tied = fe.reduce_tied(tied_entries(q));
    const optim::Canonicalise canonical = [&](std::vector<double>& x) {
        std::vector<double> whole = fe.expand(x);
        const std::vector<double> theta = canonical_theta(std::span<const double>(whole.data(), nt), q);
        std::copy(theta.begin(), theta.end(), whole.begin());
        x = fe.reduce(whole);
    };
    optim::TrustRegionResult best = optim::minimize_trust_region(objective, x0, lower, tied, canonical, options);
    iterations += best.iterations;
    optim::ResumeCounts resumed;
    best = optim::resume_near_bounds(objective, std::move(best), lower, tied, canonical, options, resumed);
    iterations += resumed.iterations;
    return best;
}

// The quadrature's correction (the deviance less its Laplace value) at the
// free entries xr, from the modes `start`.
std::optional<double> correction_at(const GlmmData& d, const FreeEntries& fe, std::size_t nt,
                                    std::span<const double> xr, std::uint64_t nagq, const GlmmOptions& options,
                                    const std::vector<double>& start, std::uint64_t* evaluations) {
    if (evaluations) ++*evaluations;
    const std::vector<double> whole = fe.expand(xr);
    const std::span<const double> xs(whole);
    const GlmmEval e = glmm_evaluate(d, xs.first(nt), xs.subspan(nt), nagq, 0, options, start);
    if (!e.feasible) return std::nullopt;
    return e.correction;
}

// Adds the derivatives of the quadrature's correction to `at` (the Laplace
// deviance's exact ones at xr, with the correction c0 there and its rounding
// r0): central differences (by_values: extrapolated) on the parametrisation
// the Laplace Hessian makes well scaled, in steps of a fraction of a
// standard error (1 / sqrt(H_ii / 2)) as long as the correction's rounding
// asks; the Hessian's only if `hessian`. The correction is a small, smooth
// part of the deviance, computed from its rows' changes (see
// loglik_change), so its differences lose few digits; their estimated
// rounding over the steps' products goes to *error, relative to
// sqrt(H_ii H_jj). False when a point is infeasible.
bool add_correction(const GlmmData& d, const FreeEntries& fe, std::size_t nt, std::span<const double> xr,
                    std::uint64_t nagq, const GlmmOptions& options, const std::vector<double>& start, double c0,
                    double r0, bool hessian, optim::SecondOrder& at, std::uint64_t* evaluations, double* error) {
    const std::size_t k = xr.size();
    const double in_errors = std::clamp(2.0 * std::sqrt(std::sqrt(r0)), 1e-3, kCorrectionStep);
    std::vector<double> steps(k);
    for (std::size_t i = 0; i < k; ++i) {
        const double width = std::max(1.0, std::fabs(xr[i]));
        const double curvature = at.h.empty() ? 0.0 : std::fabs(at.h[i * k + i]);
        const double se = curvature > 0.0 ? std::sqrt(2.0 / curvature) : width;
        steps[i] = std::clamp(in_errors * se, 1e-7 * width, 0.1 * width);
    }
    const Value c_at = [&](std::span<const double> x) {
        return correction_at(d, fe, nt, x, nagq, options, start, evaluations);
    };
    const std::optional<optim::SecondOrder> so = by_values(c_at, xr, steps, hessian, c0);
    if (!so) return false;
    for (std::size_t i = 0; i < k; ++i) at.g[i] = at.g[i] + so->g[i];
    if (!hessian) return true;
    double worst = 0.0;
    for (std::size_t i = 0; i < k; ++i)
        for (std::size_t j = 0; j < k; ++j) {
            at.h[i * k + j] = at.h[i * k + j] + so->h[i * k + j];
            const double scale = std::sqrt(std::fabs(at.h[i * k + i]) * std::fabs(at.h[j * k + j]));
            worst = std::max(worst, 4.0 * r0 / (steps[i] * steps[j]) / std::max(scale, 1e-300));
        }
    if (error) *error = std::max(*error, worst);
    return true;
}

// f, g and H over fe's free entries of (theta, beta) at their values xr:
// exact for the Laplace deviance (nagq <= 1), its exact parts plus the
// differences of the quadrature's correction otherwise. `error` (when given)
// receives the Hessian's estimated error relative to sqrt(H_ii H_jj) (0 for
// the exact one).
std::optional<optim::SecondOrder> free_second_order(const GlmmData& d, const FreeEntries& fe, std::size_t nt,
                                                    std::span<const double> xr, std::uint64_t nagq,
                                                    const GlmmOptions& options, std::uint64_t* evaluations,
                                                    std::vector<double>* modes, bool hessian = true,
                                                    double* error = nullptr, GlmmEval* value = nullptr) {
    if (evaluations) ++*evaluations;
    // The centre's modes (from the caller's start) start every other point,
    // so each point's Newton steps are few.
    const std::vector<double> start = modes ? *modes : std::vector<double>{};
    std::vector<double> centre;
    const std::vector<double> whole = fe.expand(xr);
    const std::span<const double> xs(whole);
    const std::uint64_t k = nagq <= 1 ? 1 : nagq;
    // The quadrature's correction is differenced in steps scaled by the
    // Laplace curvature, so that Hessian is computed for a gradient too.
    const bool laplace_hessian = hessian || k > 1;
    GlmmEval e = glmm_evaluate(d, xs.first(nt), xs.subspan(nt), k, laplace_hessian ? 2 : 1, options, start, &centre);
    if (value) {
        value->deviance = e.deviance;
        value->correction = e.correction;
        value->resolution = e.resolution;
        value->correction_resolution = e.correction_resolution;
        value->feasible = e.feasible;
        value->failure = e.failure;
    }
    if (!e.feasible) return std::nullopt;
    if (modes) *modes = centre;
    optim::SecondOrder out{e.deviance, fe.reduce(e.grad),
                           laplace_hessian ? fe.reduce_square(e.hessian) : std::vector<double>{}, e.resolution};
    if (error) *error = 0.0;
    if (k > 1 && !add_correction(d, fe, nt, xr, k, options, centre, e.correction, e.correction_resolution, hessian,
                                 out, evaluations, error))
        return std::nullopt;
    if (!hessian) out.h.clear();
    return out;
}

}  // namespace

std::optional<optim::SecondOrder> glmm_second_order(const GlmmData& d, std::span<const double> theta,
                                                    std::span<const double> beta, std::uint64_t nagq,
                                                    const GlmmOptions& options, std::uint64_t* evaluations,
                                                    std::vector<double>* modes, bool hessian, double* error,
                                                    GlmmEval* value) {
    const FreeEntries all({}, theta.size() + beta.size());
    std::vector<double> x(theta.begin(), theta.end());
    x.insert(x.end(), beta.begin(), beta.end());
    return free_second_order(d, all, theta.size(), x, nagq, options, evaluations, modes, hessian, error, value);
}

GlmmFit glmm_fit(const GlmmData& d, std::span<const double> theta0, std::span<const double> beta0,
                 std::uint64_t nagq, const GlmmFitOptions& options) {
    const std::uint64_t q = d.design->q;
    const std::size_t nt = n_theta(q), p = d.design->p;
    const FreeEntries theta_free(options.free_theta, nt);
    const FreeEntries x_free = FreeEntries::with_tail(options.free_theta, nt, p);
    std::vector<double> theta = theta0.empty() ? default_theta(q) : std::vector<double>(theta0.begin(), theta0.end());
    theta = theta_free.expand(theta_free.reduce(theta));  // the entries held at 0 start there
    std::vector<double> beta = beta0.empty() ? glmm_start_beta(d, options.eval)
                                             : std::vector<double>(beta0.begin(), beta0.end());
    GlmmFit out;
    std::uint64_t iterations = 0;
    const bool warm = !theta0.empty() && !beta0.empty();

    if (nagq == 0) {
        // theta alone, beta from the joint mode (warm-started from the last
        // point at which the objective was asked, so every difference of one
        // stencil starts from the same beta).
        std::vector<double> warm_beta = beta;
        const optim::SecondOrderObjective objective =
            [&](std::span<const double> th) -> std::optional<optim::SecondOrder> {
            ++out.evaluations;
            const std::vector<double> theta_c = theta_free.expand(th);
            GlmmJoint centre = glmm_joint(d, theta_c, warm_beta, options.eval);
            if (!centre.feasible) return std::nullopt;
            const std::vector<double> start = centre.beta;
            const Value f = [&](std::span<const double> t) -> std::optional<double> {
                ++out.evaluations;
                GlmmJoint j = glmm_joint(d, theta_free.expand(t), start, options.eval);
                if (!j.feasible) return std::nullopt;
                return j.deviance;
            };
            // Steps in units of each entry's standard error (from the
            // Laplace deviance's exact curvature in theta at the joint mode),
            // as long as the criterion's rounding R asks: about R^(1/4) of
            // one, where the second differences' rounding and truncation
            // balance (large counts make R large).
            ++out.evaluations;
            const GlmmEval lap = glmm_evaluate(d, theta_c, start, 1, 2, options.eval);
            const double in_errors = std::clamp(2.0 * std::sqrt(std::sqrt(centre.resolution)), 1e-4, kJointStep);
            std::vector<double> steps(th.size());
            for (std::size_t i = 0; i < th.size(); ++i) {
                const std::size_t w = theta_free.index(i);
                const double width = std::max(1.0, std::fabs(th[i]));
                const double curvature = lap.feasible ? std::fabs(lap.hessian[w * (nt + p) + w]) : 0.0;
                const double se = curvature > 0.0 ? std::sqrt(2.0 / curvature) : width;
                steps[i] = std::clamp(in_errors * se, 1e-6 * width, 0.1 * width);
            }
            std::optional<optim::SecondOrder> so = by_values(f, th, steps);
            if (so) {
                warm_beta = start;
                so->resolution = centre.resolution;
            }
            return so;
        };
        out.gtol = options.gtol > 0 ? options.gtol : 1e-6;
        const optim::TrustRegionOptions tr{options.max_iter, out.gtol};
        out.best = certified_run(objective, theta_free.reduce(theta), q, theta_free, tr, iterations);
        if (out.best.status == optim::TrustStatus::InitialInfeasible) return out;
        out.best.x = theta_free.expand(out.best.x);
        for (std::size_t& i : out.best.at_bound) i = theta_free.index(i);
        theta.assign(out.best.x.begin(), out.best.x.end());
        GlmmJoint j = glmm_joint(d, theta, warm_beta, options.eval);
        beta = j.beta.empty() ? warm_beta : j.beta;
        out.precision = j.precision;
        out.deviance = j.deviance;
        {
            out.theta = theta;
            out.beta = beta;
            out.best.iterations = iterations;
            std::vector<double> x = theta;
            x.insert(x.end(), beta.begin(), beta.end());
            if (std::optional<optim::SecondOrder> so = free_second_order(
                    d, x_free, nt, x_free.reduce(x), 0, options.eval, &out.evaluations, nullptr)) {
                out.hessian = x_free.expand_square(so->h, std::nan(""));
                out.grad = x_free.expand(so->g, std::nan(""));
            }
            return out;
        }
    }

    if (!warm) {
        // beta from the joint mode at the starting theta: a start that
        // accounts for the random effects.
        GlmmJoint j = glmm_joint(d, theta, beta, options.eval);
        ++out.evaluations;
        if (j.feasible) beta = j.beta;
    }

    std::vector<double> whole = theta;
    whole.insert(whole.end(), beta.begin(), beta.end());
    std::vector<double> x = x_free.reduce(whole);  // the free entries of (theta, beta)
    std::vector<double> modes;  // the conditional modes at the latest feasible point

    // Adaptive quadrature from a cold start: the Laplace deviance's optimum
    // first, by the trust-region Newton method on its exact derivatives
    // (each quadrature Hessian costs a stencil of evaluations; the Laplace
    // one costs one). The Laplace fit itself goes straight to the certified
    // method below: its exact Hessian takes it there in a few evaluations,
    // fewer than a quasi-Newton stage's (a 10^6-row logit model: 9
    // evaluations against 35, at a third of the time).
    if (!warm && nagq > 1) {
        const optim::SecondOrderObjective laplace = [&](std::span<const double> xs) {
            return free_second_order(d, x_free, nt, xs, 1, options.eval, &out.evaluations, &modes);
        };
        optim::TrustRegionResult first = certified_run(laplace, x, q, x_free,
                                                       optim::TrustRegionOptions{options.max_iter, 1e-6}, iterations);
        if (first.status != optim::TrustStatus::InitialInfeasible && std::isfinite(first.at.f)) x = first.x;
    }
    if (!warm || nagq == 1) {
        // A diagonal entry of Lambda on its bound has a zero derivative there
        // by symmetry, optimum or not; the certified stage starts just
        // inside, and puts it back on the bound only if the curvature there
        // says it belongs.
        const std::vector<double> lower = x_free.reduce(whole_lower(q, nt + p));
        for (std::size_t i = 0; i < x.size(); ++i)
            if (std::isfinite(lower[i]) && x[i] <= lower[i] + kNearBound) x[i] = lower[i] + 16.0 * kNearBound;
    }

    // The certified trust-region Newton method from there.
    const optim::SecondOrderObjective objective = [&](std::span<const double> xs) {
        return free_second_order(d, x_free, nt, xs, nagq, options.eval, &out.evaluations, &modes, true,
                                 &out.hessian_error);
    };
    out.gtol = options.gtol > 0 ? options.gtol : (nagq == 1 ? 1e-8 : 1e-6);
    out.best = certified_run(objective, x, q, x_free, optim::TrustRegionOptions{options.max_iter, out.gtol}, iterations);
    out.best.iterations = iterations;
    if (out.best.status == optim::TrustStatus::InitialInfeasible) return out;
    out.best.x = x_free.expand(out.best.x);
    for (std::size_t& i : out.best.at_bound) i = x_free.index(i);
    out.theta.assign(out.best.x.begin(), out.best.x.begin() + static_cast<std::ptrdiff_t>(nt));
    out.beta.assign(out.best.x.begin() + static_cast<std::ptrdiff_t>(nt), out.best.x.end());
    out.deviance = out.best.at.f;
    // Over the whole (theta, beta), NaN in the rows and columns held at 0.
    out.hessian = x_free.all() ? out.best.at.h : x_free.expand_square(out.best.at.h, std::nan(""));
    out.grad = x_free.all() ? out.best.at.g : x_free.expand(out.best.at.g, std::nan(""));
    return out;
}

}  // namespace corvane::glmm
