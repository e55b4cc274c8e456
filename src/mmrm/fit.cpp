#include "mmrm/fit.hpp"

#include <cmath>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

namespace corvane::mmrm {

MmrmFit fit_mmrm(const MmrmData& d, std::span<const double> theta0, bool reml, std::uint64_t max_iter, double gtol) {
    const std::size_t nt = d.n_theta();
    // The last few evaluations, so that the optimum's (an accepted point,
    // often not the last one tried) is not computed again.
    constexpr std::size_t kKept = 4;
    std::vector<std::pair<std::vector<double>, MmrmEval>> recent;
    const optim::SecondOrderObjective objective =
        [&](std::span<const double> x) -> std::optional<optim::SecondOrder> {
        std::optional<MmrmEval> e = evaluate_mmrm(d, x, reml, Order::Hessian);
        if (!e || !std::isfinite(e->criterion)) return std::nullopt;
        for (double v : e->hess)
            if (!std::isfinite(v)) return std::nullopt;
        optim::SecondOrder out{e->criterion, e->grad, e->hess, 0.0};
        if (recent.size() == kKept) recent.erase(recent.begin());
        recent.emplace_back(std::vector<double>(x.begin(), x.end()), std::move(*e));
        return out;
    };
    const std::vector<double> lower(nt, -std::numeric_limits<double>::infinity());
    const std::vector<std::vector<std::size_t>> tied(nt);
    const optim::Canonicalise keep = [](std::vector<double>&) {};
    MmrmFit out;
    out.best = optim::minimize_trust_region(objective, theta0, lower, tied, keep, optim::TrustRegionOptions{max_iter, gtol});
    out.evaluations = out.best.evaluations;
    for (auto& [x, e] : recent)
        if (x == out.best.x) out.at_best = std::move(e);
    return out;
}

}  // namespace corvane::mmrm
