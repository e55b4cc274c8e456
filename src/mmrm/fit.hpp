// Fitting the repeated-measures model: the trust-region Newton method on the
// criterion's exact Hessian over theta (every entry unbounded: each
// structure's map covers its positive definite covariances), with the
// optimiser's certificate.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "mmrm/eval.hpp"
#include "optim/trust_region.hpp"

namespace corvane::mmrm {

struct MmrmFit {
    optim::TrustRegionResult best;  // x = theta
    std::uint64_t evaluations = 0;
    std::optional<MmrmEval> at_best;  // the evaluation (Hessian order) at best.x
};

MmrmFit fit_mmrm(const MmrmData& d, std::span<const double> theta0, bool reml, std::uint64_t max_iter, double gtol);

}  // namespace corvane::mmrm
