// The one entry point for evaluating the criterion at a theta: dispatches on
// the design's kernel.
#pragma once

#include <optional>
#include <span>

#include "lmm/eval_result.hpp"
#include "lmm/lmm_data.hpp"

namespace corvane::lmm {

// The criterion at theta by the design's kernel; nothing when infeasible.
// theta must hold n_theta finite values (the callers check it).
std::optional<EvalResult> evaluate(const LmmData& design, std::span<const double> theta, bool reml,
                                   EvalMode mode, const EvalOptions& options = {});

// The reduced augmented system at theta (see ReducedSystem): by the
// aggregated kernel's classes when the design has them, else by the blocks
// kernel's value pass over the groups. Nothing when infeasible.
std::optional<ReducedSystem> reduced_system(const LmmData& design, std::span<const double> theta,
                                           const EvalOptions& options = {});

}  // namespace corvane::lmm
