// The certified fit of the profiled criterion: the trust-region Newton
// method on the exact Hessian from one or more starts, the lowest criterion
// winning.
#pragma once

#include <cstdint>
#include <vector>

#include "lmm/eval_result.hpp"
#include "lmm/lmm_data.hpp"
#include "optim/trust_region.hpp"

namespace corvane::lmm {

struct NewtonFit {
    optim::TrustRegionResult best;  // the winning run
    std::uint64_t evaluations = 0;  // over every start
};

// starts: a flat concatenation of starting thetas; empty means the moment
// start and the identity. One run per start, in order; a later start wins
// only with a strictly smaller criterion.
//
// free: the theta entries the fit varies, ascending (empty: all). The
// others are held at 0 (a block-diagonal Lambda: random effects
// uncorrelated between blocks), in the starts too. The run's x, gradient
// and Hessian are then those of the free entries; `best.x` and
// `best.at_bound` are mapped back to the full theta.
NewtonFit fit_newton(const LmmData& design, std::vector<double> starts, bool reml, std::uint64_t max_iter,
                     double gtol, const EvalOptions& options = {}, const std::vector<std::size_t>& free = {});

}  // namespace corvane::lmm
