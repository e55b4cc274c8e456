// A bound-constrained trust-region Newton method on an exact Hessian, with a
// certificate of its optimum.
//
// Variables may have lower bounds (l_i finite, or -inf for none). A bounded
// variable can tie others to it: while it sits at its bound, they are held
// fixed with it (for the profiled criterion: a diagonal entry of Lambda at 0
// and the rest of its column, which the caller keeps at 0 there). At every
// iterate the held blocks are those whose bounded variable is at its bound,
// unless the objective decreases into the feasible region from there (a
// negative derivative, or negative curvature on the block): then the block is
// released and the step may enter. The step solves the trust-region
// subproblem exactly on the free variables (eigen-decomposition, the hard
// case included), in the scaled norm |D s| with D_i = sqrt|H_ii| (kept
// non-decreasing); negative curvature is followed to the region's edge, so a
// stationary start on the bound (a zero gradient) is no trap.
//
// The result certifies what it claims: converged in the interior (the
// Hessian positive definite, and the gradient below gtol * max(1, |f|) or so
// small that a Newton step would change f by less than its rounding), on the
// boundary (the same on the free variables, and for every held block a
// non-negative derivative into the region and a positive semidefinite
// Hessian), or not converged and why.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace corvane::optim {

struct SecondOrder {
    double f = 0.0;
    std::vector<double> g;  // n
    std::vector<double> h;  // n x n, row-major, symmetric
    // The rounding of f, when the objective knows it better than a fixed
    // fraction of |f| (0: kResolution relative to max(1, |f|)); changes of f
    // below it are not judged by f.
    double resolution = 0.0;
};

// f, g and H at x, or nothing when x is infeasible.
using SecondOrderObjective = std::function<std::optional<SecondOrder>(std::span<const double> x)>;

// Maps an accepted point at which some bounded variable has just reached its
// bound to an equivalent point (same f) in the caller's canonical form; it
// may leave x unchanged.
using Canonicalise = std::function<void(std::vector<double>& x)>;

enum class TrustStatus : std::uint8_t { Interior, Boundary, NotConverged, InitialInfeasible };

struct TrustRegionOptions {
    std::uint64_t max_iter = 200;
    double gtol = 1e-10;  // on the free gradient's largest entry, relative to max(1, |f|)
};

struct TrustRegionResult {
    std::vector<double> x;
    SecondOrder at;                   // f, g, H at x (empty g and h when the start is infeasible)
    TrustStatus status = TrustStatus::NotConverged;
    std::string message;
    std::uint64_t iterations = 0;     // steps tried
    std::uint64_t evaluations = 0;    // objective evaluations, infeasible trials included
    double grad_inf_norm = 0.0;       // largest |g_i| over the free variables at x
    double min_free_eigenvalue = 0.0; // smallest eigenvalue of H on the free variables (NaN if none)
    std::vector<std::size_t> at_bound;  // variables held at their bound (blocks included), ascending
    bool converged() const { return status == TrustStatus::Interior || status == TrustStatus::Boundary; }
};

// `tied[i]` lists the variables held with bounded variable i (i itself
// included); unbounded variables have empty lists.
TrustRegionResult minimize_trust_region(const SecondOrderObjective& objective, std::span<const double> x0,
                                        std::span<const double> lower,
                                        const std::vector<std::vector<std::size_t>>& tied,
                                        const Canonicalise& canonicalise, const TrustRegionOptions& options);

}  // namespace corvane::optim
