// Fits of many responses on one design (parametric bootstrap, simulation
// studies): each response gets the design's products shared, its own
// response products, and the certified Newton fit. Replicates run on the
// pool, each writing only its own outputs, so the results are the same bits
// whatever the number of threads.
#pragma once

#include <cstdint>
#include <vector>

#include "lmm/lmm_data.hpp"

namespace corvane::lmm {

struct ReplicateFits {
    std::uint64_t count = 0;
    std::vector<double> theta;        // count x n_theta
    std::vector<double> beta;         // count x p
    std::vector<double> sigma;        // count
    std::vector<double> deviance;     // count
    std::vector<std::uint8_t> converged;
    std::vector<std::uint64_t> evaluations;
    std::vector<std::uint8_t> at_bound;  // count x n_theta: the entries the fit held on their bounds
    // With derivatives, what the fixed effects' tests need at each fit
    // (HessianResult's fixed block): the criterion's Hessian (count x
    // n_theta x n_theta), pwrss and nmp (count), pwrss's gradient (count x
    // n_theta), A = X'V^-1 X (count x p x p) and dA/dtheta (count x n_theta
    // x p x p). Empty without.
    std::vector<double> hess, pwrss, nmp, pwrss_grad, xvx, xvx_grad;
};

// responses: `count` responses of n values each, one after another (rows
// holds X, Z and the codes the design was built from; its y is ignored).
// Each replicate starts from `starts` (one or more thetas, flat) and, when
// that run does not converge, also from the moment start and the identity
// (empty starts: those two only, as a single fit). with_derivatives adds the
// fixed effects' block of the Hessian pass at each fit.
ReplicateFits fit_replicates(const LmmData& design, const RowsView& rows, const double* responses,
                             std::uint64_t count, const std::vector<double>& starts, bool reml,
                             std::uint64_t max_iter, double gtol, const std::vector<std::size_t>& free = {},
                             bool with_derivatives = false);

}  // namespace corvane::lmm
