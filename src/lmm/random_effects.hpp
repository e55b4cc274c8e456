// Conditional modes of the spherical random effects, group by group from the
// stored blocks:  u_i = (Lambda' Z_i'Z_i Lambda + I)^-1 Lambda' (Z_i'y - Z_i'X beta).
#pragma once

#include <vector>

#include "lmm/eval_result.hpp"
#include "lmm/lmm_data.hpp"

namespace corvane::lmm {

// m*q values, group-major. A group whose factorisation fails (possible only
// with non-finite data) gets NaN in its slot.
std::vector<double> random_effects(const LmmData& design, const double* lambda, const double* beta,
                                   const EvalOptions& options = {});

}  // namespace corvane::lmm
