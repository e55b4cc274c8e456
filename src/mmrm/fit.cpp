#include "mmrm/fit.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "linalg/symmetric_eigen.hpp"

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

std::vector<double> theta_covariance(const std::vector<double>& hess, std::size_t n) {
    std::vector<double> h(n * n), out(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) h[i * n + j] = 0.5 * (hess[i * n + j] + hess[j * n + i]);
    const linalg::SymmetricEigen e = linalg::symmetric_eigen(h, n);
    double largest = 1e-300;
    for (double w : e.values) largest = std::max(largest, std::fabs(w));
    for (std::size_t k = 0; k < n; ++k) {
        const double w = e.values[k];
        if (!(w > 1e-10 * largest)) continue;
        for (std::size_t i = 0; i < n; ++i) {
            const double vi = e.vectors[i * n + k] / w;
            for (std::size_t j = 0; j < n; ++j) out[i * n + j] += vi * e.vectors[j * n + k];
        }
    }
    for (double& v : out) v = 2.0 * v;
    return out;
}

}  // namespace corvane::mmrm
