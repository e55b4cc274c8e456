#include "lmm/newton_fit.hpp"

#include <cmath>
#include <limits>
#include <optional>

#include "lmm/hessian.hpp"
#include "lmm/moment_start.hpp"
#include "lmm/theta_layout.hpp"

namespace corvane::lmm {

NewtonFit fit_newton(const LmmData& d, std::vector<double> starts, bool reml, std::uint64_t max_iter, double gtol,
                     const EvalOptions& eval_options) {
    const std::uint64_t q = d.design->q;
    const std::size_t n_theta = lmm::n_theta(q);
    const std::vector<double> lower = lower_bounds(q);
    const std::vector<std::vector<std::size_t>> tied = tied_entries(q);
    if (starts.empty()) {
        starts = moment_theta(d);
        const std::vector<double> identity = default_theta(q);
        starts.insert(starts.end(), identity.begin(), identity.end());
    }
    const optim::SecondOrderObjective objective =
        [&](std::span<const double> theta) -> std::optional<optim::SecondOrder> {
        std::optional<HessianResult> h = evaluate_hessian(d, theta, reml, eval_options);
        if (!h || !std::isfinite(h->deviance)) return std::nullopt;
        return optim::SecondOrder{h->deviance, std::move(h->grad), std::move(h->hess)};
    };
    const optim::Canonicalise canonical = [&](std::vector<double>& theta) { theta = canonical_theta(theta, q); };
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
    out.best = std::move(*winner);
    return out;
}

}  // namespace corvane::lmm
