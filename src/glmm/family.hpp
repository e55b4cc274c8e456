// The response families of the generalized model and their per-row terms.
//
// A row has a response y, a prior weight w and a linear predictor eta. Its
// log-density, less a constant that does not depend on eta, is
//   binomial (y a proportion of w trials): w (y log mu + (1 - y) log(1 - mu))
//   Poisson (y a count):                   w (y eta - exp(eta))
//   negative binomial (NB2, dispersion phi, log link):
//                                          w (y eta - (y + phi) log1p(mu / phi))
//     (its constant, w (log Gamma(y + phi) - log Gamma(phi) - y log phi - log y!),
//     holds -y log phi, so that neither part carries the other's large terms)
//   negative binomial (NB1, variance mu (1 + alpha), log link; r = mu / alpha):
//                                          w (log Gamma(y + r) - log Gamma(r) - r log1p(alpha))
//     (its constant w (y (log alpha - log1p(alpha)) - log y!); nb1_terms.hpp)
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

enum class Family : std::uint8_t { Binomial, Poisson, NegativeBinomial, NegativeBinomial1 };
// The kernels' kinds of row: a family's link. NegBinLog and NegBin1Log are
// the negative binomials' log link (their terms depend on the dispersion as
// well).
enum class Link : std::uint8_t { Logit, Probit, Cloglog, Log, NegBinLog, NegBin1Log };

// Whether the Fisher weight W the kernels carry is the observed curvature
// -d2 itself: for the canonical links, where the two agree, and for the
// negative binomial, whose Laplace approximation uses the observed curvature
// (the exact Laplace approximation; its "fisher" terms hold -d2, -d3, -d4).
inline constexpr bool observed_is_fisher(Link link) {
    return link == Link::Logit || link == Link::Log || link == Link::NegBinLog || link == Link::NegBin1Log;
}

// The negative binomial's dispersion, for the row terms (unused by the other
// families): phi of NB2 (variance mu + mu^2 / phi) or alpha of NB1 (variance
// mu (1 + alpha)), with its log and log1p.
struct RowParams {
    double phi = 1.0;
    double log_phi = 0.0;
    double log1p_phi = 0.6931471805599453;
};

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

// Whole counts below this have the negative binomial's log Gamma(y + phi) -
// log Gamma(phi) - y log phi as the sum of log1p(j / phi), j < y: no
// cancellation between terms of size phi log phi when phi is large.
inline constexpr double kSummedCounts = 4096.0;

}  // namespace corvane::glmm
