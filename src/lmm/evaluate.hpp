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

}  // namespace corvane::lmm
