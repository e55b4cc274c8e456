#include "lmm/glmm_fit.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <utility>

#include "lmm/free_entries.hpp"
#include "lmm/theta_layout.hpp"
#include "optim/minimize_bounded.hpp"

namespace corvane::lmm {
namespace {

constexpr double kValueStep = 1e-4;       // relative step for differences of the joint mode's deviance
constexpr double kCorrectionStep = 1e-2;  // the quadrature correction's steps, in standard errors
constexpr double kNearBound = 1e-4;
constexpr double kSameCriterion = 1e-12;

// The step actually taken from x (x + h rounded, less x).
double step_at(double x, double relative) {
    const double h = relative * std::max(1.0, std::fabs(x));
    volatile double up = x + h;
    return up - x;
}

using Value = std::function<std::optional<double>(std::span<const double>)>;
using ValueGradient = std::function<std::optional<std::pair<double, std::vector<double>>>(std::span<const double>)>;

// f, central-difference gradient and Hessian from values.
std::optional<optim::SecondOrder> by_values(const Value& f, std::span<const double> x) {
    const std::size_t k = x.size();
    std::optional<double> f0 = f(x);
    if (!f0) return std::nullopt;
    optim::SecondOrder out{*f0, std::vector<double>(k), std::vector<double>(k * k)};
    std::vector<double> xp(x.begin(), x.end()), h(k);
    for (std::size_t i = 0; i < k; ++i) h[i] = step_at(x[i], kValueStep);
    for (std::size_t i = 0; i < k; ++i) {
        xp[i] = x[i] + h[i];
        const std::optional<double> fp = f(xp);
        xp[i] = x[i] - h[i];
        const std::optional<double> fm = f(xp);
        xp[i] = x[i];
        if (!fp || !fm) return std::nullopt;
        out.g[i] = (*fp - *fm) / (2.0 * h[i]);
        out.h[i * k + i] = ((*fp - *f0) + (*fm - *f0)) / (h[i] * h[i]);
    }
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

std::vector<std::size_t> near_bound(std::span<const double> x, const std::vector<double>& lower) {
    double big = 1.0;
    for (double v : x) big = std::max(big, std::fabs(v));
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < lower.size(); ++i)
        if (std::isfinite(lower[i]) && x[i] > lower[i] && x[i] <= kNearBound * big) out.push_back(i);
    return out;
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
    for (std::size_t round = 0; round < nt && best.converged(); ++round) {
        const std::vector<std::size_t> near = near_bound(best.x, lower);
        if (near.empty()) break;
        std::vector<double> start = best.x;
        for (std::size_t i : near) start[i] = lower[i];
        canonical(start);
        optim::TrustRegionResult run = optim::minimize_trust_region(objective, start, lower, tied, canonical, options);
        iterations += run.iterations;
        const double tol = kSameCriterion * std::max(1.0, std::fabs(best.at.f));
        if (!(run.converged() && run.at.f <= best.at.f + tol)) break;
        best = std::move(run);
    }
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
// deviance's exact ones at xr, with the correction c0 there): central
// differences on the parametrisation the Laplace Hessian makes well scaled
// (steps of kCorrectionStep standard errors, 1 / sqrt(H_ii / 2)), the
// Hessian's only if `hessian`. The correction is a small, smooth part of the
// deviance, so its differences lose few digits; their error (the
// correction's rounding over the steps' products, and the truncation
// estimated from a second diagonal step twice as long) goes to *error,
// relative to sqrt(H_ii H_jj). False when a point is infeasible.
bool add_correction(const GlmmData& d, const FreeEntries& fe, std::size_t nt, std::span<const double> xr,
                    std::uint64_t nagq, const GlmmOptions& options, const std::vector<double>& start, double c0,
                    bool hessian, optim::SecondOrder& at, std::uint64_t* evaluations, double* error) {
    const std::size_t k = xr.size();
    std::vector<double> x(xr.begin(), xr.end()), h(k);
    for (std::size_t i = 0; i < k; ++i) {
        const double curvature = std::fabs(at.h[i * k + i]);
        const double se = curvature > 0.0 ? std::sqrt(2.0 / curvature) : 1.0;
        volatile double up = x[i] + kCorrectionStep * std::min(se, std::max(1.0, std::fabs(x[i])));
        h[i] = up - x[i];
    }
    const auto c_at = [&]() { return correction_at(d, fe, nt, x, nagq, options, start, evaluations); };
    std::vector<double> cp(k), cm(k);
    double worst = 0.0;
    for (std::size_t i = 0; i < k; ++i) {
        const double xi = x[i];
        x[i] = xi + h[i];
        const std::optional<double> up = c_at();
        x[i] = xi - h[i];
        const std::optional<double> down = c_at();
        x[i] = xi;
        if (!up || !down) return false;
        cp[i] = *up;
        cm[i] = *down;
        at.g[i] = at.g[i] + (*up - *down) / (2.0 * h[i]);
        if (!hessian) continue;
        const double second = ((*up - c0) + (*down - c0)) / (h[i] * h[i]);
        at.h[i * k + i] = at.h[i * k + i] + second;
        // The same second difference over steps twice as long: their
        // disagreement (a third of it, for an O(h^2) error) estimates the
        // truncation.
        x[i] = xi + 2.0 * h[i];
        const std::optional<double> up2 = c_at();
        x[i] = xi - 2.0 * h[i];
        const std::optional<double> down2 = c_at();
        x[i] = xi;
        if (!up2 || !down2) return false;
        const double second2 = ((*up2 - c0) + (*down2 - c0)) / (4.0 * h[i] * h[i]);
        const double scale = std::max(std::fabs(at.h[i * k + i]), 1e-300);
        worst = std::max(worst, (std::fabs(second2 - second) / 3.0 + 4.0 * at.resolution / (h[i] * h[i])) / scale);
    }
    if (!hessian) return true;
    for (std::size_t i = 0; i < k; ++i)
        for (std::size_t j = i + 1; j < k; ++j) {
            double corner[4];
            int c = 0;
            for (int si : {1, -1})
                for (int sj : {1, -1}) {
                    x[i] = xr[i] + si * h[i];
                    x[j] = xr[j] + sj * h[j];
                    const std::optional<double> v = c_at();
                    if (!v) return false;
                    corner[c++] = *v;
                }
            x[i] = xr[i];
            x[j] = xr[j];
            const double hij = ((corner[0] - corner[1]) - (corner[2] - corner[3])) / (4.0 * h[i] * h[j]);
            at.h[i * k + j] = at.h[i * k + j] + hij;
            at.h[j * k + i] = at.h[i * k + j];
            const double scale = std::sqrt(std::fabs(at.h[i * k + i]) * std::fabs(at.h[j * k + j]));
            worst = std::max(worst, 4.0 * at.resolution / (h[i] * h[j]) / std::max(scale, 1e-300));
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
                                                    double* error = nullptr) {
    if (evaluations) ++*evaluations;
    // The centre's modes (from the caller's start) start every other point,
    // so each point's Newton steps are few.
    const std::vector<double> start = modes ? *modes : std::vector<double>{};
    std::vector<double> centre;
    const std::vector<double> whole = fe.expand(xr);
    const std::span<const double> xs(whole);
    const std::uint64_t k = nagq <= 1 ? 1 : nagq;
    GlmmEval e = glmm_evaluate(d, xs.first(nt), xs.subspan(nt), k, hessian ? 2 : 1, options, start, &centre);
    if (!e.feasible) return std::nullopt;
    if (modes) *modes = centre;
    optim::SecondOrder out{e.deviance, fe.reduce(e.grad), hessian ? fe.reduce_square(e.hessian) : std::vector<double>{},
                           e.resolution};
    if (error) *error = 0.0;
    if (k > 1 && !add_correction(d, fe, nt, xr, k, options, centre, e.correction, hessian, out, evaluations, error))
        return std::nullopt;
    return out;
}

}  // namespace

std::optional<optim::SecondOrder> glmm_second_order(const GlmmData& d, std::span<const double> theta,
                                                    std::span<const double> beta, std::uint64_t nagq,
                                                    const GlmmOptions& options, std::uint64_t* evaluations,
                                                    std::vector<double>* modes, bool hessian, double* error) {
    const FreeEntries all({}, theta.size() + beta.size());
    std::vector<double> x(theta.begin(), theta.end());
    x.insert(x.end(), beta.begin(), beta.end());
    return free_second_order(d, all, theta.size(), x, nagq, options, evaluations, modes, hessian, error);
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
            GlmmJoint centre = glmm_joint(d, theta_free.expand(th), warm_beta, options.eval);
            if (!centre.feasible) return std::nullopt;
            const std::vector<double> start = centre.beta;
            const Value f = [&](std::span<const double> t) -> std::optional<double> {
                ++out.evaluations;
                GlmmJoint j = glmm_joint(d, theta_free.expand(t), start, options.eval);
                if (!j.feasible) return std::nullopt;
                return j.deviance;
            };
            std::optional<optim::SecondOrder> so = by_values(f, th);
            if (so) warm_beta = start;
            return so;
        };
        const optim::TrustRegionOptions tr{options.max_iter, options.gtol > 0 ? options.gtol : 1e-6};
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

    // The Laplace deviance by projected L-BFGS on its exact gradient: few
    // evaluations, each from the previous point's modes.
    if (!warm || nagq == 1) {
        const std::vector<double> lower = x_free.reduce(whole_lower(q, nt + p));
        const optim::Objective laplace = [&](std::span<const double> xr, double& f, std::vector<double>& g) {
            ++out.evaluations;
            std::vector<double> found;
            const std::vector<double> point = x_free.expand(xr);
            const std::span<const double> xs(point);
            GlmmEval e = glmm_evaluate(d, xs.first(nt), xs.subspan(nt), 1, 1, options.eval, modes, &found);
            if (!e.feasible) return false;
            modes = std::move(found);
            f = e.deviance;
            g = x_free.reduce(e.grad);
            return true;
        };
        optim::OptimResult first = optim::minimize_bounded(laplace, x, lower, options.max_iter, 1e-7, 1e-15);
        iterations += first.iterations;
        if (std::isfinite(first.fun)) x = first.x;
        // A diagonal entry of Lambda that the line search left on its bound
        // has a zero derivative there by symmetry, optimum or not; the
        // Newton stage starts just inside, and puts it back on the bound
        // only if the curvature there says it belongs.
        for (std::size_t i = 0; i < x.size(); ++i)
            if (std::isfinite(lower[i]) && x[i] <= lower[i] + kNearBound) x[i] = lower[i] + 16.0 * kNearBound;
    }

    // The certified trust-region Newton method from there.
    const optim::SecondOrderObjective objective = [&](std::span<const double> xs) {
        return free_second_order(d, x_free, nt, xs, nagq, options.eval, &out.evaluations, &modes, true,
                                 &out.hessian_error);
    };
    const double gtol = options.gtol > 0 ? options.gtol : (nagq == 1 ? 1e-8 : 1e-6);
    out.best = certified_run(objective, x, q, x_free, optim::TrustRegionOptions{options.max_iter, gtol}, iterations);
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

}  // namespace corvane::lmm
