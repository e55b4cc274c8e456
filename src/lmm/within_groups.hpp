// The fixed products less each group's projection on its own random-effects
// columns: what remains of X'X, X'y and y'y when every group's Z_i columns
// take free coefficients (the random effects without their variance).
#pragma once

#include <optional>
#include <vector>

#include "lmm/lmm_data.hpp"

namespace corvane::lmm {

// G = [X y]'[X y] - sum_i [Z_i'X_i Z_i'y_i]' (Z_i'Z_i)^-1 [Z_i'X_i Z_i'y_i],
// (p + 1) x (p + 1) row-major (X'X's block first, y last), each group's
// projection by the Cholesky factor of its Z_i'Z_i, summed in group order.
// nullopt when some group's Z_i'Z_i is not clearly positive definite: a
// first pivot not above zero, or a later pivot at most `pivot_fraction` of
// its diagonal entry.
std::optional<std::vector<double>> within_groups(const LmmData& data, double pivot_fraction);

}  // namespace corvane::lmm
