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
#include "optim/bound_resume.hpp"

namespace corvane::lmm {
namespace {

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
    // Entries left just above their bound are tried on it (the criterion is
    // even in each column of Lambda, so Newton's iterations approach an
    // optimum on the bound without reaching it).
    optim::ResumeCounts resumed;
    out.best = optim::resume_near_bounds(objective, std::move(*winner), lower, tied, canonical, options, resumed);
    out.evaluations += resumed.evaluations;
    if (!fe.all()) {
        out.best.x = fe.expand(out.best.x);
        for (std::size_t& i : out.best.at_bound) i = fe.index(i);
    }
    return out;
}

}  // namespace corvane::lmm
