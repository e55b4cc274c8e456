#include "optim/bound_resume.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace corvane::optim {
namespace {

// Entries at most this far above their bound (relative to the largest |x|
// entry, at least 1) are tried on it.
constexpr double kNearBound = 1e-4;
// A run from the bound wins when its criterion is within this many rounding
// units (relative) of the run it replaces.
constexpr double kSameCriterion = 1e-12;

}  // namespace

std::vector<std::size_t> near_bound(std::span<const double> x, std::span<const double> lower) {
    double big = 1.0;
    for (double v : x) big = std::max(big, std::fabs(v));
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < lower.size(); ++i)
        if (std::isfinite(lower[i]) && x[i] > lower[i] && x[i] <= kNearBound * big) out.push_back(i);
    return out;
}

TrustRegionResult resume_near_bounds(const SecondOrderObjective& objective, TrustRegionResult best,
                                     std::span<const double> lower,
                                     const std::vector<std::vector<std::size_t>>& tied,
                                     const Canonicalise& canonicalise, const TrustRegionOptions& options,
                                     ResumeCounts& counts) {
    const auto bounded = static_cast<std::size_t>(
        std::count_if(lower.begin(), lower.end(), [](double l) { return std::isfinite(l); }));
    for (std::size_t round = 0; round < bounded && best.converged(); ++round) {
        const std::vector<std::size_t> near = near_bound(best.x, lower);
        if (near.empty()) break;
        std::vector<double> start = best.x;
        for (std::size_t i : near) start[i] = lower[i];
        canonicalise(start);
        TrustRegionResult run = minimize_trust_region(objective, start, lower, tied, canonicalise, options);
        counts.iterations += run.iterations;
        counts.evaluations += run.evaluations;
        const double tol = kSameCriterion * std::max(1.0, std::fabs(best.at.f));
        if (!(run.converged() && run.at.f <= best.at.f + tol)) break;
        best = std::move(run);
    }
    return best;
}

}  // namespace corvane::optim
