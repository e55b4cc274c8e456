// What a caller asks of an evaluation of the criterion, and what it gets.
// An infeasible theta is an outcome (an empty optional), not an error.
#pragma once

#include <cstdint>
#include <vector>

#include "lmm/schedule.hpp"

namespace corvane::lmm {

enum class EvalMode : std::uint8_t {
    ValueOnly = 0,     // criterion, beta, sigma2, pwrss, ldl2, ldrx2
    WithGradient = 1,  // ... plus the gradient
    Full = 2,          // ... plus a_inv and the random effects u
};

struct EvalResult {
    std::vector<double> grad;   // n_theta: d criterion / d theta_t; empty in ValueOnly
    std::vector<double> beta;   // p: fixed effects
    std::vector<double> u;      // m*q, group-major: spherical random effects; Full only
    std::vector<double> a_inv;  // p*p: inverse of the reduced fixed-effect matrix; Full only
    double deviance = 0.0;      // profiled deviance, or REML criterion when reml
    double sigma2 = 0.0;        // pwrss / nmp
    double pwrss = 0.0;         // penalised residual sum of squares
    double ldl2 = 0.0;          // sum over groups of log det(Lambda' Z_i'Z_i Lambda + I)
    double ldrx2 = 0.0;         // log det of the reduced fixed-effect matrix when reml, else 0.0
};

// The fixed-effect system with the random effects eliminated, augmented by
// the response: S = [[A, c], [c', r2]] ((p+1) x (p+1), row-major, full and
// symmetric), with ldl2 = sum over items of log det(Lambda' Z'Z Lambda + I).
struct ReducedSystem {
    std::vector<double> s;
    double ldl2 = 0.0;
};

// How an evaluation runs; the defaults are what the system uses. Tests force
// the schedule either way, the general (run-time size) kernels in place of
// the fixed-size ones, or the scalar steps in place of vector lanes, to show
// that every choice gives the same bits.
struct EvalOptions {
    Schedule schedule = Schedule::Auto;
    bool generic = false;
    bool lanes = true;  // several groups at once in vector lanes where the machine has them
};

}  // namespace corvane::lmm
