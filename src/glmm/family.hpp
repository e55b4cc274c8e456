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
// The row terms call the C library's exp, log, expm1 and erfc: the core's
// own (linalg/elementary.hpp) give the same bits everywhere but, one row at
// a time, their chains of divisions cost 2.5 times as much per row; they
// come here with the row pass in vector lanes.
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

namespace detail {

// log(1 + x) to full relative accuracy for x > -1, from the (much faster)
// logarithm: log(u) x / (u - 1) with u = 1 + x rounded cancels the rounding of
// u exactly to first order.
inline double log1p_of(double x) {
    const double u = 1.0 + x;
    if (u == 1.0) return x;
    return std::log(u) * (x / (u - 1.0));
}

inline constexpr double kInvSqrt2 = 0.70710678118654752440;
inline constexpr double kInvSqrt2Pi = 0.39894228040143267794;

}  // namespace detail

// Fills the terms at eta; false when they are not representable. Only the
// log-density is needed for `value_only`.
template <Link L>
inline bool row_terms(double eta, double y, double w, bool value_only, RowTerms& t) {
    if (!std::isfinite(eta)) return false;
    if constexpr (L == Link::Logit) {
        // One exponential serves the log-density and mu: with e = exp(-|eta|),
        // log(1 + exp(-eta)) = log1p(e) + max(-eta, 0) and
        // log mu = -log(1 + exp(-eta)), log(1 - mu) = log mu - eta.
        const double e = std::exp(-std::fabs(eta));
        const double minus_log_mu = detail::log1p_of(e) + (eta < 0.0 ? -eta : 0.0);
        t.loglik = -w * (minus_log_mu + (1.0 - y) * eta);
        if (value_only) return true;
        const double r = 1.0 / (1.0 + e);
        const double mu = eta >= 0.0 ? r : e * r;  // mu and 1 - mu, each to full relative accuracy
        const double cmu = eta >= 0.0 ? e * r : r;
        const double v = mu * cmu;
        t.d1 = w * (y * cmu - (1.0 - y) * mu);
        t.d2 = -w * v;
        t.fisher = w * v;
        t.fisher1 = w * v * (cmu - mu);
        return true;
    } else if constexpr (L == Link::Probit) {
        if (std::fabs(eta) > kProbitLimit) return false;
        const double mu = 0.5 * std::erfc(-eta * detail::kInvSqrt2);
        const double cmu = 0.5 * std::erfc(eta * detail::kInvSqrt2);
        t.loglik = w * ((y != 0.0 ? y * std::log(mu) : 0.0) + (y != 1.0 ? (1.0 - y) * std::log(cmu) : 0.0));
        if (value_only) return true;
        const double phi = detail::kInvSqrt2Pi * std::exp(-0.5 * eta * eta);
        const double l1 = phi / mu;   // d log mu / d eta
        const double l2 = phi / cmu;  // -d log(1 - mu) / d eta
        t.d1 = w * (y * l1 - (1.0 - y) * l2);
        t.d2 = -w * (y * l1 * (eta + l1) + (1.0 - y) * l2 * (l2 - eta));
        t.fisher = w * l1 * l2;
        t.fisher1 = w * l1 * l2 * (l2 - l1 - 2.0 * eta);
        return true;
    } else if constexpr (L == Link::Cloglog) {
        const double s = std::exp(eta);  // -log(1 - mu)
        if (!(s > 0.0) || !std::isfinite(s)) return false;
        const double mu = -std::expm1(-s);
        t.loglik = w * ((y != 0.0 ? y * std::log(mu) : 0.0) - (1.0 - y) * s);
        if (value_only) return true;
        const double r = s * std::exp(-s) / mu;  // d log mu / d eta
        t.d1 = w * (y * r - (1.0 - y) * s);
        t.d2 = w * (y * r * (1.0 - s - r) - (1.0 - y) * s);
        t.fisher = w * s * r;
        t.fisher1 = w * s * r * (2.0 - s - r);
        return true;
    } else {
        const double mu = std::exp(eta);
        if (!std::isfinite(mu)) return false;
        t.loglik = w * (y * eta - mu);
        if (value_only) return true;
        t.d1 = w * (y - mu);
        t.d2 = -w * mu;
        t.fisher = w * mu;
        t.fisher1 = w * mu;
        return true;
    }
}

// row_terms with the third derivative of the log-density and the second of
// the Fisher weight (from the same ratios, so as accurate in the tails).
template <Link L>
inline bool row_terms_third(double eta, double y, double w, RowTerms& t) {
    if (!row_terms<L>(eta, y, w, false, t)) return false;
    if constexpr (L == Link::Logit) {
        // v = mu (1 - mu): l3 = -w v (1 - 2 mu), W'' = w v (1 - 6 v).
        const double e = std::exp(-std::fabs(eta));
        const double r = 1.0 / (1.0 + e);
        const double mu = eta >= 0.0 ? r : e * r;
        const double cmu = eta >= 0.0 ? e * r : r;
        const double v = mu * cmu;
        t.d3 = -w * v * (cmu - mu);
        t.fisher2 = w * v * (1.0 - 6.0 * v);
    } else if constexpr (L == Link::Probit) {
        // With r1 = phi / Phi and r2 = phi / (1 - Phi), third derivatives
        // (log Phi)^(3) = r1 ((eta + r1)(eta + 2 r1) - 1) and
        // (log(1 - Phi))^(3) = -r2 ((r2 - eta)(2 r2 - eta) - 1);
        // W = w r1 r2, W' = W g with g = r2 - r1 - 2 eta, and
        // W'' = W (g^2 + r2 (r2 - eta) + r1 (eta + r1) - 2).
        const double mu = 0.5 * std::erfc(-eta * detail::kInvSqrt2);
        const double cmu = 0.5 * std::erfc(eta * detail::kInvSqrt2);
        const double phi = detail::kInvSqrt2Pi * std::exp(-0.5 * eta * eta);
        const double r1 = phi / mu, r2 = phi / cmu;
        t.d3 = w * (y * r1 * ((eta + r1) * (eta + 2.0 * r1) - 1.0) -
                    (1.0 - y) * r2 * ((r2 - eta) * (2.0 * r2 - eta) - 1.0));
        const double g = r2 - r1 - 2.0 * eta;
        t.fisher2 = w * r1 * r2 * (g * g + r2 * (r2 - eta) + r1 * (eta + r1) - 2.0);
    } else if constexpr (L == Link::Cloglog) {
        // With s = exp(eta) and r = s / (exp(s) - 1) = (log mu)':
        // (log mu)^(3) = r ((1 - s - r)(1 - s - 2 r) - s), (log(1 - mu))^(3) = -s,
        // W = w s r, W' = W (2 - s - r), W'' = W ((2 - s - r)^2 - s - r (1 - s - r)).
        const double s = std::exp(eta);
        const double mu = -std::expm1(-s);
        const double r = s * std::exp(-s) / mu;
        const double a = 1.0 - s - r;
        t.d3 = w * (y * r * (a * (1.0 - s - 2.0 * r) - s) - (1.0 - y) * s);
        const double b = 2.0 - s - r;
        t.fisher2 = w * s * r * (b * b - s - r * a);
    } else {
        const double mu = std::exp(eta);
        t.d3 = -w * mu;
        t.fisher2 = w * mu;
    }
    return true;
}

// The change of a row's log-density from eta to eta + delta, computed as a
// change (not as the difference of two values) where the link allows it, so
// that its rounding is that of the change rather than of the values: with
// counts in the millions a value is ~1e8 and its rounding outweighs the
// change a quadrature node makes. NaN is never returned for a representable
// row; -inf where eta + delta has no mass.
template <Link L>
inline double loglik_change(double eta, double delta, double y, double w) {
    if constexpr (L == Link::Logit) {
        // y eta - log(1 + exp(eta)): the log ratio of the 1 + exp terms as
        // log1p(mu expm1(delta)) about the smaller of mu and 1 - mu.
        const double e = std::exp(-std::fabs(eta));
        const double r = 1.0 / (1.0 + e);
        if (eta < 0.0) return w * (y * delta - detail::log1p_of(e * r * std::expm1(delta)));
        return w * ((y - 1.0) * delta - detail::log1p_of(e * r * std::expm1(-delta)));
    } else if constexpr (L == Link::Log) {
        return w * (y * delta - std::exp(eta) * std::expm1(delta));
    } else if constexpr (L == Link::Cloglog) {
        // s = exp(eta) moves by a = s expm1(delta); log(1 - exp(-s)) by
        // log1p(exp(-s) expm1(-a) / expm1(-s)); -s by -a.
        const double s = std::exp(eta);
        const double a = s * std::expm1(delta);
        const double moved = y != 0.0 ? y * std::log1p(std::exp(-s) * std::expm1(-a) / std::expm1(-s)) : 0.0;
        return w * (moved - (1.0 - y) * a);
    } else {
        RowTerms at, to;
        if (!row_terms<L>(eta, y, w, true, at)) return std::numeric_limits<double>::quiet_NaN();
        if (!row_terms<L>(eta + delta, y, w, true, to)) return -std::numeric_limits<double>::infinity();
        return to.loglik - at.loglik;
    }
}

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
