// Resuming a converged trust-region run with the entries that sit just above
// their lower bound put exactly on it.
//
// A criterion that is even in a bounded variable (a diagonal entry of Lambda:
// the criterion depends on Lambda through Lambda Lambda') has a zero
// derivative at the bound, so Newton's iterations toward an optimum on the
// bound approach it geometrically without reaching it (theta 1e-13 with a
// gradient below tolerance) and would be certified interior. The resumed run
// holds such entries only when the one-sided derivative and the curvature at
// the bound point into the region; its result replaces the first when it
// converged and its criterion is no worse (to rounding), so a genuine optimum
// just above the bound is released and wins on its criterion.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "optim/trust_region.hpp"

namespace corvane::optim {

// Iterations and evaluations of the resumed runs (the first run's are the
// caller's).
struct ResumeCounts {
    std::uint64_t iterations = 0;
    std::uint64_t evaluations = 0;
};

// Bounded entries of x strictly above their bound by at most kNearBound
// times max(1, max_j |x_j|), ascending.
std::vector<std::size_t> near_bound(std::span<const double> x, std::span<const double> lower);

// `best` resumed from the bound while it converged and has entries near
// their bound: each round starts from best with those entries on the bound
// (canonicalised), and stops at the first run that fails to converge or
// ends worse. A round that succeeds holds at least one more entry, so there
// are at most as many rounds as bounded entries. The arguments after `best`
// are those of minimize_trust_region.
TrustRegionResult resume_near_bounds(const SecondOrderObjective& objective, TrustRegionResult best,
                                     std::span<const double> lower,
                                     const std::vector<std::vector<std::size_t>>& tied,
                                     const Canonicalise& canonicalise, const TrustRegionOptions& options,
                                     ResumeCounts& counts);

}  // namespace corvane::optim
