// The "blocks" kernel: the criterion (and its gradient) from one q x q block
// per group.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "lmm/eval_result.hpp"
#include "lmm/lmm_data.hpp"

namespace corvane::lmm {

// Work units of one group, which set the chunk length:
// (3q^2 + (q + q^2)/2)(p + q) + 2p^2 q + 8.
std::uint64_t blocks_cost(std::uint64_t p, std::uint64_t q);

// The criterion at theta (length n_theta, finite). Nothing when theta is
// infeasible: a group's factor or the reduced system fails its pivot test,
// or pwrss is not strictly positive and finite. In the gradient modes the
// per-group slots live in a workspace borrowed from the design's scratch
// pool; Full also returns u and a_inv.
// The reduced augmented system of the value pass at theta, for the exact
// Hessian: S = [X y]'[X y] - sum_i [R_ZX,i | c_u,i]'[R_ZX,i | c_u,i] as a full
// symmetric (p+1) x (p+1) matrix, and ldl2. Nothing when a group's factor
// fails.
std::optional<ReducedSystem> blocks_reduced_system(const LmmData& design, std::span<const double> theta,
                                                  const EvalOptions& options = {});

std::optional<EvalResult> evaluate_blocks(const LmmData& design, std::span<const double> theta,
                                          bool reml, EvalMode mode, const EvalOptions& options = {});

}  // namespace corvane::lmm
