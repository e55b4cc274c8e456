// The layout of theta: Lambda's lower triangle column by column, each column
// from the diagonal down (see theta_index). Lambda is q x q, row-major, with
// zeros above the diagonal; diagonal entries are bounded below by 0.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace corvane::lmm {

inline std::uint64_t n_theta(std::uint64_t q) { return q * (q + 1) / 2; }

// Lambda (q*q, row-major) from an accepted theta.
std::vector<double> theta_to_lambda(std::span<const double> theta, std::uint64_t q);

// Throws InvalidInput when theta has the wrong length ("theta must have {}
// entries for q = {}, got {}") or a non-finite entry ("theta[{}] is not
// finite", the first one). Infeasible values (say a negative diagonal) pass.
void check_theta(std::span<const double> theta, std::uint64_t q);

// 0.0 for diagonal entries, -inf elsewhere.
std::vector<double> lower_bounds(std::uint64_t q);

// 1.0 for diagonal entries, 0.0 elsewhere: Lambda = I.
std::vector<double> default_theta(std::uint64_t q);

}  // namespace corvane::lmm
