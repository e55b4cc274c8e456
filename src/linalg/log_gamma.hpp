// log Gamma(x) for x > 0 by IEEE operations in a fixed order and the core's
// own log (elementary.hpp): the same bits on every machine, compiler and C
// library. For the generalized model's constants (log y!, binomial
// coefficients, the negative binomial's log Gamma(y + phi)).
//
// Whole x up to 19: the log of (x - 1)!, an exact double. x >= 16 otherwise:
// Stirling's series (x - 1/2) log x - x + log(2 pi) / 2 + sum B_2k /
// (2k (2k - 1) x^(2k - 1)), six terms (the next is below 2e-18). Other x
// below 16: log Gamma(x + K) - log(x (x + 1) ... (x + K - 1)) with x + K >= 16
// (accurate to ~1e-14 of max(1, |log Gamma|): the rounding of x + k and the
// recurrence's cancellation; whole arguments do not take this path).
#pragma once

#include <cmath>
#include <limits>

#include "linalg/elementary.hpp"

namespace corvane::linalg {
inline namespace CORVANE_ISA {

inline double log_gamma_of(double x) {
    if (!(x > 0.0)) return x == 0.0 ? std::numeric_limits<double>::infinity() : std::numeric_limits<double>::quiet_NaN();
    if (x == std::numeric_limits<double>::infinity()) return x;
    if (x <= 19.0 && x == std::floor(x)) {
        double f = 1.0;  // (x - 1)!, exact below 19!
        for (double j = 2.0; j < x; j = j + 1.0) f = f * j;
        return log_of(f);
    }
    double shift = 0.0, y = x;
    if (x < 16.0) {
        double product = x, k = 1.0;
        for (; x + k < 16.0; k = k + 1.0) product = product * (x + k);
        y = x + k;
        shift = log_of(product);
    }
    constexpr double kHalfLog2Pi = 0.91893853320467274178;
    constexpr double kSeries[6] = {1.0 / 12.0, -1.0 / 360.0, 1.0 / 1260.0, -1.0 / 1680.0, 1.0 / 1188.0,
                                   -691.0 / 360360.0};
    const double inv = 1.0 / y, inv2 = inv * inv;
    double s = kSeries[5];
    for (int k = 4; k >= 0; --k) s = s * inv2 + kSeries[k];
    return (((y - 0.5) * log_of(y) - y) + (kHalfLog2Pi + s * inv)) - shift;
}

}  // namespace CORVANE_ISA
}  // namespace corvane::linalg
