// The generalized model's criterion: the deviance -2 log L(theta, beta),
// constants included, by the Laplace approximation or adaptive Gauss-Hermite
// quadrature, and what follows from the conditional modes.
//
// In the spherical form b_i = Lambda u_i, u_i ~ N(0, I), group i contributes
//   L_i = (2 pi)^(-q/2) integral exp(l_i(u) - |u|^2 / 2) du,
// l_i the conditional log-likelihood of its rows. With f(u) = |u|^2 / 2 -
// l_i(u), its minimiser u^ (the conditional mode, found by Newton steps with
// step halving: f is strictly convex for these families) and
// H = I + Lambda' Z_i' W Z_i Lambda (W the Fisher weights at u^; the observed
// curvature for the canonical links), H = R R':
//   Laplace (nagq = 1):  log L_i ~ -f(u^) - log|R|
//   quadrature (nagq = k): with the product rule (z_j, w_j) of k^q points,
//     log L_i ~ -log|R| + log sum_j w_j exp(-f(u^ + R^-T z_j) + |z_j|^2 / 2).
// The Laplace deviance's gradient in (theta, beta) is exact: with the mode's
// dependence on the parameters by implicit differentiation, per group
//   d/dbeta = sum_r rho_r x_r,   d/dLambda = (sum_r rho_r z_r) u^' + g_z t' + M Lambda H^-1,
//   rho_r = -l1_r + h_r W1_r / 2 + (z_r' Lambda t) l2_r,
// where l1, l2 are a row's derivatives of its log-likelihood in eta, W1 that
// of its Fisher weight, h_r = z_r' Lambda H^-1 Lambda' z_r, g_z = sum_r l1_r z_r,
// M = sum_r W_r z_r z_r', and t = Ho^-1 Lambda' sum_r (h_r W1_r / 2) z_r with Ho
// the observed curvature (each term carries a factor 2 in the deviance).
//
// Groups are processed in chunks whose length depends only on the dimensions,
// and per-chunk sums are added in chunk order, so every result is the same
// bit for bit on any number of threads.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "glmm/data.hpp"
#include "lmm/schedule.hpp"

namespace corvane::glmm {

// The linear core's schedule: groups in fixed chunks, reduced in a fixed
// order whatever the thread count.
using lmm::Schedule;
using lmm::chunk_count;
using lmm::chunk_length;
using lmm::chunked_reduce;
using lmm::for_each_chunk;
using lmm::go_parallel;
using lmm::reduce_slots;

struct GlmmOptions {
    Schedule schedule = Schedule::Auto;
    bool general_kernels = false;  // the run-time-size kernels even for q <= 3 (tests)
};

// The largest number of quadrature points per group (nagq^q).
inline constexpr std::uint64_t kMaxQuadraturePoints = 100000;

struct GlmmEval {
    bool feasible = false;
    std::string failure;       // why not, when infeasible
    double deviance = 0.0;     // -2 log L, constants included (+inf when infeasible)
    // nagq > 1: the deviance less its Laplace value (the quadrature's
    // correction, summed over groups); 0 for nagq = 1.
    double correction = 0.0;
    // The deviance's rounding, estimated from its terms' magnitudes (the
    // log-likelihood's constant and each group's terms): changes of the
    // deviance below it are not resolved.
    double resolution = 0.0;
    double correction_resolution = 0.0;  // likewise for the correction alone
    // When asked, the derivatives in (theta, beta) of the Laplace deviance
    // (deviance - correction; the deviance itself for nagq = 1): the
    // gradient (n_theta + p) and the Hessian ((n_theta + p)^2, exact: see
    // glmm_hessian.hpp).
    std::vector<double> grad;
    std::vector<double> hessian;
};

// Throws InvalidInput for theta or beta of the wrong length or non-finite,
// nagq outside [1, 50] or with nagq^q beyond kMaxQuadraturePoints, and
// derivatives above 2. The modes' Newton steps start from u_start (m x q)
// when given, else from 0; the modes found go to u_out when given (an
// infeasible evaluation leaves it partly filled). The result does not depend
// on the start beyond the rounding of the modes (their Newton steps go on to
// it).
GlmmEval glmm_evaluate(const GlmmData& d, std::span<const double> theta, std::span<const double> beta,
                       std::uint64_t nagq, int derivatives, const GlmmOptions& options = {},
                       std::span<const double> u_start = {}, std::vector<double>* u_out = nullptr);

struct GlmmModes {
    bool feasible = false;
    std::string failure;
    std::vector<double> u;        // m x q: spherical modes
    std::vector<double> b;        // m x q: Lambda u
    std::vector<double> condvar;  // m x q x q: Lambda H^-1 Lambda'
    std::vector<double> eta;      // n, the caller's row order: the linear predictor at the modes
    std::vector<std::uint64_t> iterations;  // m: Newton steps per group
};

GlmmModes glmm_modes(const GlmmData& d, std::span<const double> theta, std::span<const double> beta,
                     const GlmmOptions& options = {});

// The joint mode of (beta, u) for a theta (the nAGQ = 0 criterion): the
// penalised iteratively reweighted least squares over beta and every group's
// u at once, started from beta_start and u = 0. The deviance is the Laplace
// value at the joint mode.
struct GlmmJoint {
    bool feasible = false;
    std::string failure;
    double deviance = 0.0;
    std::vector<double> beta;  // p
    // p x p: the Schur complement S of the joint curvature at the mode, the
    // fixed effects' penalised precision (cov(beta) ~ S^-1).
    std::vector<double> precision;
    std::uint64_t iterations = 0;
    double resolution = 0.0;  // the deviance's estimated rounding (as GlmmEval's)
};

// The deviance's rounding from the magnitudes of its terms: each group's
// Laplace terms (summed as |f| + |log|R||, and |log| of its quadrature sum)
// and the log-likelihood's constant, which cancel only in the total.
double deviance_rounding(double group_magnitudes, double constant);

GlmmJoint glmm_joint(const GlmmData& d, std::span<const double> theta, std::span<const double> beta_start,
                     const GlmmOptions& options = {});

// The usual generalized linear model start, without random effects: beta from
// one weighted least-squares step at mu0 = (w y + 1/2) / (w + 1) (binomial)
// or y + 1/10 (Poisson).
std::vector<double> glmm_start_beta(const GlmmData& d, const GlmmOptions& options = {});

}  // namespace corvane::glmm
