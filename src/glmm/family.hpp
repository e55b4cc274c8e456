// The response families of the generalized model and their per-row terms.
//
// A row has a response y, a prior weight w and a linear predictor eta. Its
// log-density, less a constant that does not depend on eta, is
//   binomial (y a proportion of w trials): w (y log mu + (1 - y) log(1 - mu))
//   Poisson (y a count):                   w (y eta - exp(eta))
// with mu the inverse link of eta. For each row the kernels need that value,
// its first and second derivatives in eta (the observed curvature), the
// Fisher weight W = w mu'^2 / V(mu) (the expected curvature, V the variance
// function) and dW/deta. Every formula is written in a form that stays
// accurate in the tails (ratios phi / Phi rather than differences of
// probabilities). A row whose terms cannot be represented (eta beyond the
// range in which mu and 1 - mu are representable) is reported infeasible.
// The terms are computed in row_terms.hpp, one row at a time or several in
// vector lanes with the same bits.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace corvane::glmm {

enum class Family : std::uint8_t { Binomial, Poisson };
enum class Link : std::uint8_t { Logit, Probit, Cloglog, Log };

// Whether the link is the family's canonical one (observed and expected
// curvatures then agree).
inline bool canonical(Link link) { return link == Link::Logit || link == Link::Log; }

struct RowTerms {
    double loglik = 0.0;  // the log-density less its constant
    double d1 = 0.0;      // d loglik / d eta
    double d2 = 0.0;      // d^2 loglik / d eta^2
    double fisher = 0.0;  // W
    double fisher1 = 0.0; // dW / d eta
    // Filled by row_terms_third only (for the Laplace criterion's Hessian):
    double d3 = 0.0;      // d^3 loglik / d eta^3
    double fisher2 = 0.0; // d^2 W / d eta^2
};

// Beyond this |eta| a probit probability underflows.
inline constexpr double kProbitLimit = 37.0;

// The log-density of the row at mu = y (the saturated model), less the same
// constant: 0 log 0 counts as 0.
inline double saturated_loglik(Family family, double y, double w) {
    const auto xlogx = [](double v) { return v > 0.0 ? v * std::log(v) : 0.0; };
    if (family == Family::Binomial) return w * (xlogx(y) + xlogx(1.0 - y));
    return w * (xlogx(y) - y);
}

// The constant the log-density omits: log C(w, w y) for the binomial (w
// trials; the successes w y are integral), -w log(y!) for the Poisson.
inline double loglik_constant(Family family, double y, double w) {
    if (family == Family::Binomial) {
        const double s = std::round(w * y);
        const double n = std::round(w);
        return std::lgamma(n + 1.0) - std::lgamma(s + 1.0) - std::lgamma(n - s + 1.0);
    }
    return -w * std::lgamma(y + 1.0);
}

}  // namespace corvane::glmm
