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

// The theta of the same Lambda Lambda' in which every column whose diagonal
// entry is 0.0 and that carries no variance of its own is zero throughout:
// Lambda is refactored from Sigma = Lambda Lambda' column by column, those
// columns set to 0 (their entries below move into later pivots) and the
// others by the Cholesky step (a pivot that rounds below zero counts as
// zero). theta is returned unchanged when no diagonal entry is 0.0.
std::vector<double> canonical_theta(std::span<const double> theta, std::uint64_t q);

// For each theta entry: the entries held with it at its bound (its column,
// for a diagonal entry; nothing for an off-diagonal one).
std::vector<std::vector<std::size_t>> tied_entries(std::uint64_t q);

}  // namespace corvane::lmm
