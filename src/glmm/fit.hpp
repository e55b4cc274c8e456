// Fitting the generalized model: the trust-region Newton method over theta
// (nagq = 0: beta from the joint mode), or over (theta, beta) together
// (nagq >= 1): from beta at the joint mode of the starting theta, the
// trust-region Newton method on the deviance for nagq (from the Laplace
// deviance's optimum, found the same way, for quadrature), which certifies
// the optimum as for the Gaussian fit. Every evaluation starts the conditional modes from the
// previous point's.
//
// Derivatives: for nagq <= 1 the Laplace deviance's gradient and Hessian are
// exact (glmm_hessian.hpp); for nagq > 1 they are the Laplace parts' plus
// central differences of the quadrature's correction on the parametrisation
// the Laplace Hessian makes well scaled, with their error estimated. The
// differences run over fixed steps in a fixed order, so they too give the
// same bits on any number of threads.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "glmm/eval.hpp"
#include "optim/trust_region.hpp"

namespace corvane::glmm {

struct GlmmFitOptions {
    std::uint64_t max_iter = 200;
    double gtol = 0.0;  // 0: 1e-8 with the exact gradient, 1e-6 with differences
    GlmmOptions eval;
    // theta's entries to fit, ascending (empty: all); the others are held at
    // 0 (uncorrelated blocks of random effects). `GlmmFit::hessian` and
    // `grad` are NaN in their rows and columns.
    std::vector<std::size_t> free_theta;
};

struct GlmmFit {
    optim::TrustRegionResult best;  // x = theta (nagq = 0) or (theta, beta)
    std::vector<double> theta, beta;
    double deviance = 0.0;
    std::uint64_t evaluations = 0;   // deviance evaluations, differences included
    // The deviance's Hessian in (theta, beta) at the optimum ((n_theta + p)^2;
    // for nagq = 0 that of the Laplace deviance), NaN where not available.
    std::vector<double> hessian;
    std::vector<double> grad;        // n_theta + p, likewise
    std::vector<double> precision;   // nagq = 0: the joint mode's p x p precision of beta
    // The Hessian's estimated error relative to sqrt(H_ii H_jj): 0 where it
    // is exact (nagq <= 1), from the correction's differences otherwise.
    double hessian_error = 0.0;
    double gtol = 0.0;  // the gradient tolerance the certificate used (relative to max(1, |deviance|))
};

// theta0, beta0: the start (empty: the identity and the model's
// generalized-linear-model start).
GlmmFit glmm_fit(const GlmmData& d, std::span<const double> theta0, std::span<const double> beta0,
                 std::uint64_t nagq, const GlmmFitOptions& options);

// The deviance's gradient and, if `hessian`, its Hessian in (theta, beta) at
// a point, as the fit computes them for nagq (nagq = 0 meaning the Laplace
// deviance); nothing when the point (or a difference's) is infeasible.
// `modes` (m x q, or empty), when given, starts the conditional modes'
// Newton steps and receives the point's modes; `error` receives the
// Hessian's estimated relative error.
std::optional<optim::SecondOrder> glmm_second_order(const GlmmData& d, std::span<const double> theta,
                                                    std::span<const double> beta, std::uint64_t nagq,
                                                    const GlmmOptions& options, std::uint64_t* evaluations,
                                                    std::vector<double>* modes = nullptr, bool hessian = true,
                                                    double* error = nullptr, GlmmEval* value = nullptr);

}  // namespace corvane::glmm
