// A cheap data-driven starting theta for the minimisers.
#pragma once

#include <vector>

#include "lmm/lmm_data.hpp"

namespace corvane::lmm {

// A moment estimate of theta from the stored products (per-group
// least-squares fits of the random effects; see the source file), or the
// identity factor when too few groups carry information. Always feasible as
// a start: every diagonal entry is positive.
std::vector<double> moment_theta(const LmmData& design);

}  // namespace corvane::lmm
