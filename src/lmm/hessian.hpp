// The criterion, its gradient and its exact Hessian in theta, for every q.
//
// With Sigma = Lambda Lambda', G = Z_i'Z_i, K = Lambda M^-1 Lambda' =
// (I + Sigma G)^-1 Sigma and N = I - K G, every item (a group, or a class of
// groups with one Z'Z) contributes through
//   dK = N dSigma N',   d2K = N d2Sigma N' - 2 sym(N dSigma G N dSigma N'),
//   d log det(I + G Sigma) = tr(V dSigma), V = G N,   dV = -V dSigma V.
// The criterion is ldl2 + nmp log det S + (rho - nmp) log det A + const,
// where S = [X y]'[X y] - sum W'KW is the reduced augmented system, A its
// fixed-effect block and rho = 1 under REML, 0 otherwise. Writing
//   S^ = (nmp / pwrss) v v' + rho [A^-1 0; 0 0],  v = (beta, -1),
// and, per item, R = W S^ W' and T = N'RN, the derivatives in theta_s (which
// fills Lambda[a][b], dSigma_s = e_a lambda_b' + lambda_b e_a') are
//   g_s  = sum 2 (V Lambda)[a][b] - 2 (T Lambda)[a][b],
//   H_st = sum [2 d_bb' (V - T)[a][a'] - tr(V D_s V D_t) + 2 tr(T D_s V D_t)]
//          - cross_st,
// with cross_st = rho tr(A^-1 dC_s A^-1 dC_t)_XX
//                + 2 (nmp/pwrss) (dC_s v)_X' A^-1 (dC_t v)_X
//                + (nmp/pwrss^2) (v'dC_s v)(v'dC_t v),
// dC_s = sum W'N D_s N'W the totals of the first derivative of sum W'KW.
// Two passes over the items: the value pass gives S, then one pass gives
// the per-item terms and the totals dC_s v (and dC_s's fixed-effect block
// under REML). Cost proportional to m (or the number of classes), never n.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "lmm/eval_result.hpp"
#include "lmm/lmm_data.hpp"

namespace corvane::lmm {

struct HessianResult {
    double deviance = 0.0;
    std::vector<double> grad;  // n_theta
    std::vector<double> hess;  // n_theta x n_theta, row-major, symmetric
    // pwrss and nmp always; with the fixed-effect block (for inference on
    // beta) also pwrss's gradient, beta and d beta / d theta_s (n_theta x p), A = X'V^-1 X
    // (p x p, V = I + Z Sigma Z') and dA/dtheta_s (n_theta x p x p), all
    // full symmetric.
    double pwrss = 0.0, nmp = 0.0;
    std::vector<double> pwrss_grad, beta, beta_grad, xvx, xvx_grad;
};

// Work units of one item of the Hessian pass (groups, classes), setting
// its chunk length.
std::uint64_t hessian_group_cost(std::uint64_t p, std::uint64_t q);
std::uint64_t hessian_class_cost(std::uint64_t p, std::uint64_t q);

// The criterion with its gradient and Hessian at theta (length n_theta,
// finite): over the classes when the design has them, else over the groups.
// Nothing when theta is infeasible. Same bits on any number of threads.
// with_fixed_block also returns pwrss's gradient, A = X'V^-1 X and A's
// derivatives (at a small extra cost under ML; none under REML).
std::optional<HessianResult> evaluate_hessian(const LmmData& design, std::span<const double> theta, bool reml,
                                              const EvalOptions& options = {}, bool with_fixed_block = false);

}  // namespace corvane::lmm
