// Projected limited-memory BFGS with a backtracking line search, for smooth
// objectives under simple lower bounds x_i >= l_i (l_i finite, or -inf for
// no bound). The objective may answer that a point is infeasible; the line
// search then treats the trial as failed and halves the step.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace corvane::optim {

// Fills f and g (length n) and returns true, or returns false when x is
// infeasible.
using Objective = std::function<bool(std::span<const double> x, double& f, std::vector<double>& g)>;

struct OptimResult {
    std::vector<double> x;        // the returned point
    std::string message;          // why the search stopped
    double fun = 0.0;             // f at x (+inf when the start was infeasible)
    double grad_inf_norm = 0.0;   // projected-gradient infinity norm at x (+inf likewise)
    std::uint64_t iterations = 0; // passes of the main loop begun
    std::uint64_t fev = 0;        // objective evaluations, infeasible trials included
    bool converged = false;
};

// Minimises from x0 (projected onto the bounds first). Never throws on its
// own account: every outcome is a record (exceptions thrown by the objective
// propagate).
OptimResult minimize_bounded(const Objective& objective, std::span<const double> x0,
                             std::span<const double> lower, std::uint64_t max_iter, double gtol,
                             double ftol);

}  // namespace corvane::optim
