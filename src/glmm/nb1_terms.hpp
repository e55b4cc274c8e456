// The NB1 negative binomial's row terms (variance mu (1 + alpha), log link):
// one row at a time, for row_terms.hpp (whose lanes call it lane by lane).
//
// With r = mu / alpha = exp(eta - log alpha) and L = log1p(alpha), a row's
// log-density less its constant (family.hpp) is
//   w (log Gamma(y + r) - log Gamma(r) - r L),
// and since dr/deta = r its derivatives in eta are, with a_j = r / (r + j)
// and b_j = j / (r + j) = 1 - a_j summed over j < y,
//   d1 = w (sum a - r L),                 d2 = w (sum a b - r L),
//   d3 = w (sum a b (b - a) - r L),       d4 = w (sum a b (1 - 6 a b) - r L):
// sums of terms that do not cancel. Whole counts below kNb1Summed are summed
// so; larger or fractional counts take the same sums from the Hurwitz zeta
// function's asymptotic series, as differences (y + x)^-p - x^-p written
// x^-p expm1(-p log1p(y / x)), after shifting r to at least kNb1Shift.
// The log-density is not concave in eta where the counts are large against
// r; the kernels' curvature is the observed one all the same (the exact
// Laplace approximation), as for NB2.
#pragma once

#include <cmath>
#include <cstdint>

#include "glmm/family.hpp"
#include "linalg/elementary.hpp"

namespace corvane::glmm {
inline namespace CORVANE_ISA {

inline constexpr double kNb1Summed = 256.0;  // whole counts below it are summed term by term
inline constexpr double kNb1Shift = 16.0;    // the asymptotic series' smallest argument

// sum a, sum a b, sum a b (b - a), sum a b (1 - 6 a b) over j < y, and
// log Gamma(y + r) - log Gamma(r).
struct Nb1Sums {
    double value = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0, s4 = 0.0;
};

namespace nb1_detail {

// B_2k / (2k)! for k = 1..6 (the Hurwitz series' coefficients before the
// rising factorials), and B_2k / (2k (2k - 1)) (log Gamma's).
inline constexpr double kBernoulliOverFactorial[6] = {
    1.0 / 12.0, -1.0 / 720.0, 1.0 / 30240.0, -1.0 / 1209600.0, 1.0 / 47900160.0,
    -691.0 / 1307674368000.0};
inline constexpr double kLogGammaSeries[6] = {1.0 / 12.0,  -1.0 / 360.0,  1.0 / 1260.0,
                                              -1.0 / 1680.0, 1.0 / 1188.0, -691.0 / 360360.0};

// (x + y)^-p - x^-p, without cancellation.
inline double power_change(double x, double ratio_log, double p) {
    return linalg::exp_of(-p * linalg::log_of(x)) * linalg::expm1_of(-p * ratio_log);
}

// sum over j < y of (x + j)^-p (p >= 1; p = 1 is psi(x + y) - psi(x)) at x >= kNb1Shift.
inline double hurwitz_difference(double x, double y, int p) {
    const double ratio_log = linalg::log1p_of(y / x);
    double s = p == 1 ? ratio_log : -power_change(x, ratio_log, p - 1) / (p - 1);
    s = s - 0.5 * power_change(x, ratio_log, p);
    double rising = p;  // p (p + 1) ... (p + 2k - 2)
    for (int k = 1; k <= 6; ++k) {
        s = s - kBernoulliOverFactorial[k - 1] * rising * power_change(x, ratio_log, p + 2 * k - 1);
        rising = rising * (p + 2 * k - 1) * (p + 2 * k);
    }
    return s;
}

// log Gamma(x + y) - log Gamma(x) at x >= kNb1Shift (Stirling's series).
inline double log_gamma_difference(double x, double y) {
    const double ratio_log = linalg::log1p_of(y / x);
    double s = y * linalg::log_of(x) + (y + x - 0.5) * ratio_log - y;
    for (int k = 1; k <= 6; ++k) s = s + kLogGammaSeries[k - 1] * power_change(x, ratio_log, 2 * k - 1);
    return s;
}

}  // namespace nb1_detail

// The sums at r > 0 for a count y >= 0; `derivatives` 0 (the value alone),
// 3 (up to s3) or 4.
inline Nb1Sums nb1_sums(double r, double y, int derivatives) {
    Nb1Sums out;
    if (y == 0.0) return out;
    if (y < kNb1Summed && y == std::floor(y)) {
        for (double j = 0.0; j < y; j = j + 1.0) {
            out.value = out.value + linalg::log_of(r + j);
            if (derivatives == 0) continue;
            const double a = r / (r + j), b = j / (r + j);
            const double ab = a * b;
            out.s1 = out.s1 + a;
            out.s2 = out.s2 + ab;
            out.s3 = out.s3 + ab * (b - a);
            if (derivatives > 3) out.s4 = out.s4 + ab * (1.0 - 6.0 * ab);
        }
        return out;
    }
    using nb1_detail::hurwitz_difference;
    // Shift r to x = r + K >= kNb1Shift: sum_{j<y} (r + j)^-p less
    // sum_{i<K} ((r + i + y)^-p - (r + i)^-p).
    double x = r, value_shift = 0.0, z[5] = {0.0, 0.0, 0.0, 0.0, 0.0};
    while (x < kNb1Shift) {
        const double ratio_log = linalg::log1p_of(y / x);
        value_shift = value_shift - ratio_log;
        if (derivatives > 0)
            for (int p = 1; p <= derivatives; ++p) z[p] = z[p] - nb1_detail::power_change(x, ratio_log, p);
        x = x + 1.0;
    }
    out.value = nb1_detail::log_gamma_difference(x, y) + value_shift;
    if (derivatives == 0) return out;
    // S_p = sum (r + j)^-p; sum a = r S1, sum a b = r S1 - r^2 S2, and so on.
    double s[5] = {0.0, 0.0, 0.0, 0.0, 0.0};
    for (int p = 1; p <= derivatives; ++p) s[p] = hurwitz_difference(x, y, p) + z[p];
    const double r1 = r * s[1], r2 = r * r * s[2], r3 = r * r * r * s[3];
    out.s1 = r1;
    out.s2 = r1 - r2;
    out.s3 = r1 - 3.0 * r2 + 2.0 * r3;
    if (derivatives > 3) out.s4 = r1 - 7.0 * r2 + 12.0 * r3 - 6.0 * r * r * r * r * s[4];
    return out;
}

}  // namespace CORVANE_ISA
}  // namespace corvane::glmm
