#include "lmm/newton_fit.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "lmm/free_entries.hpp"
#include "lmm/hessian.hpp"
#include "lmm/moment_start.hpp"
#include "lmm/theta_layout.hpp"

namespace corvane::lmm {
namespace {

// Diagonal entries of Lambda at most this far above 0 (relative to the
// largest |theta| entry, at least 1) are tried at the bound.
constexpr double kNearBound = 1e-4;
// A run from the bound wins when its criterion is within this many
// rounding units (relative) of the run it replaces.
constexpr double kSameCriterion = 1e-12;

// Diagonal entries of Lambda that sit just above their bound.
std::vector<std::size_t> near_bound(const std::vector<double>& theta, const std::vector<double>& lower) {
    double big = 1.0;
    for (double v : theta) big = std::max(big, std::fabs(v));
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < theta.size(); ++i)
        if (std::isfinite(lower[i]) && theta[i] > lower[i] && theta[i] <= kNearBound * big) out.push_back(i);
    return out;
}

// The criterion's rounding that its size does not show: (n - p) log r^2
// with r^2 = y'y less what the model explains, so r^2 carries the rounding
// of y'y, a relative error of about eps y'y / r^2 that cancellation makes
// large when the fixed effects explain nearly all of y (a response reduced
// by a preliminary fit keeps this near eps). Changes of the criterion below
// it are not resolved.
double criterion_rounding(const LmmData& d, const HessianResult& h) {
    if (!(h.pwrss > 0.0) || !std::isfinite(h.pwrss)) return 0.0;
    constexpr double kUnits = 4.0;
    return kUnits * std::numeric_limits<double>::epsilon() * h.nmp * (d.response.yty / h.pwrss);
}

}  // namespace

NewtonFit fit_newton(const LmmData& d, std::vector<double> starts, bool reml, std::uint64_t max_iter, double gtol,
                     const EvalOptions& eval_options, const std::vector<std::size_t>& free_entries) {
    const std::uint64_t q = d.design->q;
    const std::size_t full = lmm::n_theta(q);
    const FreeEntries fe(free_entries, full);
    const std::size_t n_theta = fe.size();
    const std::vector<double> lower = fe.reduce(lower_bounds(q));
    const std::vector<std::vector<std::size_t>> tied = fe.reduce_tied(tied_entries(q));
    if (starts.empty()) {
        starts = moment_theta(d);
        const std::vector<double> identity = default_theta(q);
        starts.insert(starts.end(), identity.begin(), identity.end());
    }
    starts = fe.reduce_all(starts);
    const optim::SecondOrderObjective objective =
        [&](std::span<const double> x) -> std::optional<optim::SecondOrder> {
        const std::vector<double> theta = fe.expand(x);
        std::optional<HessianResult> h = evaluate_hessian(d, theta, reml, eval_options);
        if (!h || !std::isfinite(h->deviance)) return std::nullopt;
        return optim::SecondOrder{h->deviance, fe.reduce(h->grad), fe.reduce_square(h->hess),
                                  criterion_rounding(d, *h)};
    };
    const optim::Canonicalise canonical = [&](std::vector<double>& x) {
        x = fe.reduce(canonical_theta(fe.expand(x), q));
    };
    const optim::TrustRegionOptions options{max_iter, gtol};
    const auto value = [](const optim::TrustRegionResult& r) {
        return r.status == optim::TrustStatus::InitialInfeasible ? std::numeric_limits<double>::infinity() : r.at.f;
    };
    NewtonFit out;
    std::optional<optim::TrustRegionResult> winner;
    for (std::size_t k = 0; k * n_theta < starts.size(); ++k) {
        const std::span<const double> start(starts.data() + k * n_theta, n_theta);
        optim::TrustRegionResult run = optim::minimize_trust_region(objective, start, lower, tied, canonical, options);
        out.evaluations += run.evaluations;
        if (!winner || value(run) < value(*winner)) winner = std::move(run);
    }
    // The criterion is even in each column of Lambda, so near a bound where
    // the optimum sits a Newton iteration approaches the bound without ever
    // reaching it (theta 1e-13, with a gradient below tolerance) and would
    // be certified interior. Such entries are put exactly on the bound and
    // the fit is resumed from there: the run holds them only when the
    // one-sided derivative and the curvature at the bound point into the
    // feasible region, and its result replaces the first when its criterion
    // is no worse (to rounding). A genuine optimum just above the bound is
    // released from it and wins on its criterion.
    // A resumed run may leave another entry next to its bound: repeat while
    // that happens (each round holds at least one more entry, so at most
    // n_theta rounds).
    for (std::size_t round = 0; round < n_theta && winner->converged(); ++round) {
        const std::vector<std::size_t> near = near_bound(winner->x, lower);
        if (near.empty()) break;
        {
            std::vector<double> start = winner->x;
            for (std::size_t i : near) start[i] = lower[i];
            canonical(start);
            optim::TrustRegionResult run = optim::minimize_trust_region(objective, start, lower, tied, canonical, options);
            out.evaluations += run.evaluations;
            const double tol = kSameCriterion * std::max(1.0, std::fabs(winner->at.f));
            if (!(run.converged() && run.at.f <= winner->at.f + tol)) break;
            winner = std::move(run);
        }
    }
    out.best = std::move(*winner);
    if (!fe.all()) {
        out.best.x = fe.expand(out.best.x);
        for (std::size_t& i : out.best.at_bound) i = fe.index(i);
    }
    return out;
}

}  // namespace corvane::lmm
