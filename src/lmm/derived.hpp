// Quantities derived from a prepared design at a theta, beyond the criterion:
// the conditional covariances of the random effects and, for q = 1, the
// analytic second derivative of the criterion.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "lmm/eval_result.hpp"
#include "lmm/lmm_data.hpp"

namespace corvane::lmm {

// Var(b_i | y) = sigma2 Lambda (Lambda' Z_i'Z_i Lambda + I)^-1 Lambda' for
// every group: m*q*q values, group-major, each q x q row-major with both
// triangles. Nothing when a group's factorisation fails.
std::optional<std::vector<double>> conditional_covariances(const LmmData& design,
                                                           std::span<const double> theta,
                                                           double sigma2,
                                                           const EvalOptions& options = {});

// Criterion value, first and second derivative in theta for q = 1.
struct ScalarHessian {
    double value;
    double first;
    double second;
};

// Nothing when q != 1 or theta is infeasible (ldl2 not finite, or the
// profiled criterion infeasible). Runs over the classes when the design has
// them, over the groups otherwise.
std::optional<ScalarHessian> scalar_hessian(const LmmData& design, bool reml, double theta,
                                            const EvalOptions& options = {});

}  // namespace corvane::lmm
