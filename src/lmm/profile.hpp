// The last step of every evaluation: from the reduced fixed-effect system to
// beta, the penalised residual sum of squares and the criterion.
//
// With A = X'X - sum_i R_ZX,i' R_ZX,i (the random effects eliminated),
// c = X'y - sum_i R_ZX,i' c_u,i and r2 = y'y - sum_i |c_u,i|^2:
//   A = L_X L_X',  beta = A^-1 c,  pwrss = r2 - |L_X^-1 c|^2,
//   criterion = ldl2 [+ ldrx2 under REML] + nmp * (1 + log(2 pi pwrss / nmp)),
// where nmp = n - p under REML and n otherwise.
#pragma once

#include <optional>
#include <vector>

#include "lmm/eval_result.hpp"
#include "lmm/lmm_data.hpp"

namespace corvane::lmm {

struct Profile {
    std::vector<double> beta;    // p: fixed effects (the storage of c)
    std::vector<double> factor;  // p*p: L_X, zeros above the diagonal (the storage of A)
    double ldrx2 = 0.0;          // 2 sum log L_X[i][i], also when not reml
    double pwrss = 0.0;          // penalised residual sum of squares
    double nmp = 0.0;            // n - p under REML, n otherwise
    double deviance = 0.0;       // the criterion
};

// Consumes `a` (p*p, lower triangle and diagonal read) and `c` (p). Returns
// nothing (infeasible) when a Cholesky pivot or pwrss is not strictly
// positive and finite, when the criterion itself is not finite (a subnormal
// pwrss whose sigma2 underflows to 0), or under REML when n <= p (no
// residual degrees of freedom: the criterion is undefined there).
std::optional<Profile> profile(const Design& design, std::vector<double>&& a, std::vector<double>&& c,
                               bool reml, double r2, double ldl2);

// The scalar fields of an evaluation's result from its profile: deviance,
// sigma2 = pwrss / nmp, pwrss, ldl2, and ldrx2 (0.0 unless reml).
EvalResult result_from(const Profile& profile, double ldl2, bool reml);

}  // namespace corvane::lmm
