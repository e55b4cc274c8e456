// Fitting the repeated-measures model: the trust-region Newton method on the
// criterion's exact Hessian over theta (every entry unbounded: each
// structure's map covers its positive definite covariances), with the
// optimiser's certificate.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "mmrm/eval.hpp"
#include "optim/trust_region.hpp"

namespace corvane::mmrm {

struct MmrmFit {
    optim::TrustRegionResult best;  // x = theta
    std::uint64_t evaluations = 0;
    std::optional<MmrmEval> at_best;  // the evaluation (Hessian order) at best.x
};

MmrmFit fit_mmrm(const MmrmData& d, std::span<const double> theta0, bool reml, std::uint64_t max_iter, double gtol);

// theta's asymptotic covariance 2 H^+ from the Hessian H of -2 log L (n x n,
// row-major): the pseudo-inverse over the eigenvalues above 1e-10 of the
// largest in magnitude, so that a flat direction (a parameter the data do
// not determine) has no variance rather than an infinite one.
std::vector<double> theta_covariance(const std::vector<double>& hess, std::size_t n);

}  // namespace corvane::mmrm
