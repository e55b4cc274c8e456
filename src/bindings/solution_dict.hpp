// The dictionary of every derived quantity at a theta, shared by `solution`
// and `fit`.
#pragma once

#include <vector>

#include "bindings/py_ref.hpp"
#include "lmm/lmm_data.hpp"
#include "optim/minimize_bounded.hpp"

namespace corvane::bindings {

// Evaluates theta in Full mode (interpreter lock released meanwhile) and
// returns the 18-key dict, followed by the minimiser's five keys when
// `optim` is given. RuntimeError "theta is infeasible" when the evaluation is
// infeasible. Called with the lock held; theta already checked.
PyObject* solution_dict(const lmm::LmmData& design, const std::vector<double>& theta, bool reml,
                        const optim::OptimResult* optim);

}  // namespace corvane::bindings
