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

// The residual sum of squares of y on X and each group's own Z_i columns, as
// a fraction of y'y (which must be positive): G_yy less G_yX G_XX^+ G_Xy for
// G as within_groups gives it, the pseudo-inverse taken on the unit-diagonal
// scale of X'X (each column divided by sqrt of its X'X diagonal entry, 1 for
// a zero column) over the eigenvalues above `cut`. nullopt where the answer
// would be fragile: when within_groups gives none, G is not finite, or an
// eigenvalue of the scaled G_XX lies strictly between `gap_low` and
// `gap_high` (the pseudo-inverse would hinge on rounding). The eigenvalues
// are Jacobi's (linalg/symmetric_eigen.hpp): for the small p of a direct
// answer; callers with many columns take another route.
std::optional<double> within_fraction(const LmmData& data, double pivot_fraction, double gap_low, double gap_high,
                                      double cut);

}  // namespace corvane::lmm
