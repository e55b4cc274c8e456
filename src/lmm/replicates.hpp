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
};

// responses: `count` responses of n values each, one after another (rows
// holds X, Z and the codes the design was built from; its y is ignored).
// Each replicate starts from `starts` (one or more thetas, flat) and, when
// that run does not converge, also from the moment start and the identity.
ReplicateFits fit_replicates(const LmmData& design, const RowsView& rows, const double* responses,
                             std::uint64_t count, const std::vector<double>& starts, bool reml,
                             std::uint64_t max_iter, double gtol, const std::vector<std::size_t>& free = {});

}  // namespace corvane::lmm
