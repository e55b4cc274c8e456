// The repeated-measures model's criterion, -2 log-likelihood (REML or ML)
// with beta profiled out by generalised least squares, and its exact
// gradient and Hessian in theta, at a cost per visit pattern.
//
// With W_P = Sigma_P^-1, A = X'V^-1 X = sum_P sum_ab (W_P)_ab C_ab[X, X],
// beta = A^-1 X'V^-1 y, v = (-beta, 1), R_P[a, b] = v' C_ab v (the residual
// cross-products) and G_P[a, b] = <A^-1, C_ab[X, X]>:
//   f = sum_P n_P log|Sigma_P| + sum_P <W_P, R_P> - sum log w
//       [+ log|A|  (REML)] + (n - p [REML]) log(2 pi)
//   df/dtheta_k = sum_P <dSigma_P/dtheta_k, M_P>,
//       M_P = n_P W_P - W_P H_P W_P,  H_P = R_P [+ G_P  (REML)].
// The Hessian adds, per pattern, tr(dSigma_l B_P dSigma_k W_P) with
// B_P = 2 W H W - n W, and <d2Sigma_kl, M_P>; then -2 u_k' A^-1 u_l for
// beta's dependence on theta (u_k = X'V^-1 dSigma_k V^-1 r) and, for REML,
// -tr(A^-1 A_k A^-1 A_l) (A_k = -X'V^-1 dSigma_k V^-1 X). The u_k and A_k
// come from the patterns' cross-products transformed by W on both sides and
// summed into the group's visit pairs, once per evaluation, so that each
// theta entry costs work in the visits, not in the patterns.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "mmrm/data.hpp"

namespace corvane::mmrm {

enum class Order : std::uint8_t { Value, Gradient, Hessian };

struct MmrmEval {
    double criterion = 0.0;          // -2 log-likelihood, constants included
    std::vector<double> grad;        // n_theta (Gradient and Hessian)
    std::vector<double> hess;        // n_theta x n_theta (Hessian)
    std::vector<double> beta;        // p
    std::vector<double> cov_beta;    // p x p: A^-1
    // d cov_beta / d theta_k = A^-1 (X'V^-1 dSigma_k V^-1 X) A^-1, n_theta x p x p (Hessian).
    std::vector<double> cov_beta_grad;
    // With theta's weights w (n_theta x n_theta; Kenward and Roger's
    // covariance of theta): P_k = X' dV^-1/dtheta_k X (n_theta x p x p),
    // sum_kl w_kl Q_kl and sum_kl w_kl R_kl (p x p each) over the pairs of
    // one group, Q_kl = X'V^-1 dSigma_k V^-1 dSigma_l V^-1 X and
    // R_kl = X'V^-1 d2Sigma_kl V^-1 X.
    std::vector<double> p_k, weighted_q, weighted_r;
};

// Nothing when theta gives a covariance that is not positive definite (or
// X'V^-1 X is not). theta_weights (empty, or n_theta x n_theta with Order
// Hessian) asks for Kenward and Roger's sums.
std::optional<MmrmEval> evaluate_mmrm(const MmrmData& d, std::span<const double> theta, bool reml, Order order,
                                      std::span<const double> theta_weights = {});

}  // namespace corvane::mmrm
