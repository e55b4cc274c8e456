// Eigen-decomposition of the minimisers' symmetric n x n Hessians.
//
// Below kTridiagonalFrom rows by cyclic Jacobi rotations: sweeps visit the
// pairs (i, j), i < j, in row order and rotate away a[i][j] until the
// off-diagonal part is negligible. From kTridiagonalFrom rows by
// Householder reduction to tridiagonal form and the implicit QL method
// (EISPACK's tred2 and tql2), whose cost grows as n^3 with a small constant
// where Jacobi's sweeps cost several times more: a 10 x 10 Hessian (four
// visits unstructured) takes a third of the time, 55 x 55 a fifth. Either
// way the order of operations is fixed, so the result is the same bit for
// bit on every run.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

namespace corvane::linalg {

struct SymmetricEigen {
    std::vector<double> values;   // n, ascending
    std::vector<double> vectors;  // n x n row-major; column k is the unit eigenvector of values[k]
};

inline constexpr std::size_t kTridiagonalFrom = 4;

// sqrt(a^2 + b^2) without overflow or harmful underflow, by IEEE operations
// alone (the C library's hypot may round differently on another platform).
inline double pythag(double a, double b) {
    const double x = std::fabs(a), y = std::fabs(b);
    const double big = std::max(x, y), small = std::min(x, y);
    if (big == 0.0 || big == std::numeric_limits<double>::infinity()) return big;
    const double ratio = small / big;
    return big * std::sqrt(1.0 + ratio * ratio);
}

// The tridiagonal route (see the file's text); `a` as for symmetric_eigen.
inline SymmetricEigen symmetric_eigen_tridiagonal(const std::vector<double>& a_in, std::size_t n) {
    // V starts as the symmetric matrix (upper triangle mirrored), row-major.
    std::vector<double> V(n * n), d(n), e(n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) V[i * n + j] = i <= j ? a_in[i * n + j] : a_in[j * n + i];
    auto at = [&](std::size_t i, std::size_t j) -> double& { return V[i * n + j]; };
    // Householder reduction to tridiagonal form (d: diagonal, e: subdiagonal).
    for (std::size_t j = 0; j < n; ++j) d[j] = at(n - 1, j);
    for (std::size_t i = n - 1; i > 0; --i) {
        double scale = 0.0, h = 0.0;
        for (std::size_t k = 0; k < i; ++k) scale = scale + std::fabs(d[k]);
        if (scale == 0.0) {
            e[i] = d[i - 1];
            for (std::size_t j = 0; j < i; ++j) {
                d[j] = at(i - 1, j);
                at(i, j) = 0.0;
                at(j, i) = 0.0;
            }
        } else {
            for (std::size_t k = 0; k < i; ++k) {
                d[k] = d[k] / scale;
                h = h + d[k] * d[k];
            }
            double f = d[i - 1];
            double g = std::sqrt(h);
            if (f > 0) g = -g;
            e[i] = scale * g;
            h = h - f * g;
            d[i - 1] = f - g;
            for (std::size_t j = 0; j < i; ++j) e[j] = 0.0;
            for (std::size_t j = 0; j < i; ++j) {
                f = d[j];
                at(j, i) = f;
                g = e[j] + at(j, j) * f;
                for (std::size_t k = j + 1; k <= i - 1; ++k) {
                    g = g + at(k, j) * d[k];
                    e[k] = e[k] + at(k, j) * f;
                }
                e[j] = g;
            }
            f = 0.0;
            for (std::size_t j = 0; j < i; ++j) {
                e[j] = e[j] / h;
                f = f + e[j] * d[j];
            }
            const double hh = f / (h + h);
            for (std::size_t j = 0; j < i; ++j) e[j] = e[j] - hh * d[j];
            for (std::size_t j = 0; j < i; ++j) {
                f = d[j];
                g = e[j];
                for (std::size_t k = j; k <= i - 1; ++k) at(k, j) = at(k, j) - (f * e[k] + g * d[k]);
                d[j] = at(i - 1, j);
                at(i, j) = 0.0;
            }
        }
        d[i] = h;
    }
    // The transformations, accumulated.
    for (std::size_t i = 0; i + 1 < n; ++i) {
        at(n - 1, i) = at(i, i);
        at(i, i) = 1.0;
        const double h = d[i + 1];
        if (h != 0.0) {
            for (std::size_t k = 0; k <= i; ++k) d[k] = at(k, i + 1) / h;
            for (std::size_t j = 0; j <= i; ++j) {
                double g = 0.0;
                for (std::size_t k = 0; k <= i; ++k) g = g + at(k, i + 1) * at(k, j);
                for (std::size_t k = 0; k <= i; ++k) at(k, j) = at(k, j) - g * d[k];
            }
        }
        for (std::size_t k = 0; k <= i; ++k) at(k, i + 1) = 0.0;
    }
    for (std::size_t j = 0; j < n; ++j) {
        d[j] = at(n - 1, j);
        at(n - 1, j) = 0.0;
    }
    at(n - 1, n - 1) = 1.0;
    e[0] = 0.0;
    // The implicit QL method on the tridiagonal matrix, rotating V along.
    for (std::size_t i = 1; i < n; ++i) e[i - 1] = e[i];
    e[n - 1] = 0.0;
    double f = 0.0, tst1 = 0.0;
    const double eps = std::numeric_limits<double>::epsilon();
    for (std::size_t l = 0; l < n; ++l) {
        tst1 = std::max(tst1, std::fabs(d[l]) + std::fabs(e[l]));
        std::size_t m = l;
        while (m < n - 1 && !(std::fabs(e[m]) <= eps * tst1)) ++m;
        if (m > l) {
            for (int iter = 0; iter < 60; ++iter) {
                double g = d[l];
                double p = (d[l + 1] - g) / (2.0 * e[l]);
                double r = pythag(p, 1.0);
                if (p < 0) r = -r;
                d[l] = e[l] / (p + r);
                d[l + 1] = e[l] * (p + r);
                const double dl1 = d[l + 1];
                double h = g - d[l];
                for (std::size_t i = l + 2; i < n; ++i) d[i] = d[i] - h;
                f = f + h;
                p = d[m];
                double c = 1.0, c2 = 1.0, c3 = 1.0, s = 0.0, s2 = 0.0;
                const double el1 = e[l + 1];
                for (std::size_t ii = m; ii-- > l;) {
                    c3 = c2;
                    c2 = c;
                    s2 = s;
                    g = c * e[ii];
                    h = c * p;
                    r = pythag(p, e[ii]);
                    e[ii + 1] = s * r;
                    s = e[ii] / r;
                    c = p / r;
                    p = c * d[ii] - s * g;
                    d[ii + 1] = h + s * (c * g + s * d[ii]);
                    for (std::size_t k = 0; k < n; ++k) {
                        h = at(k, ii + 1);
                        at(k, ii + 1) = s * at(k, ii) + c * h;
                        at(k, ii) = c * at(k, ii) - s * h;
                    }
                }
                p = -s * s2 * c3 * el1 * e[l] / dl1;
                e[l] = s * p;
                d[l] = c * p;
                if (!(std::fabs(e[l]) > eps * tst1)) break;
            }
        }
        d[l] = d[l] + f;
        e[l] = 0.0;
    }
    // Ascending order; ties keep their index order.
    std::vector<std::size_t> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) { return d[x] < d[y]; });
    SymmetricEigen out{std::vector<double>(n), std::vector<double>(n * n)};
    for (std::size_t k = 0; k < n; ++k) {
        out.values[k] = d[order[k]];
        for (std::size_t i = 0; i < n; ++i) out.vectors[i * n + k] = at(i, order[k]);
    }
    return out;
}

// `a` is n x n row-major and symmetric (the upper triangle is read). Entries
// must be finite.
inline SymmetricEigen symmetric_eigen(const std::vector<double>& a_in, std::size_t n) {
    if (n >= kTridiagonalFrom) return symmetric_eigen_tridiagonal(a_in, n);
    std::vector<double> a(a_in);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < i; ++j) a[i * n + j] = a[j * n + i];
    std::vector<double> v(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) v[i * n + i] = 1.0;

    for (int sweep = 0; sweep < 100; ++sweep) {
        double off = 0.0, scale = 0.0;
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j) {
                const double x = a[i * n + j] * a[i * n + j];
                if (i == j)
                    scale = scale + x;
                else
                    off = off + x;
            }
        if (off <= 1e-30 * scale || off == 0.0) break;
        for (std::size_t p = 0; p < n; ++p)
            for (std::size_t q = p + 1; q < n; ++q) {
                const double apq = a[p * n + q];
                if (apq == 0.0) continue;
                const double theta = (a[q * n + q] - a[p * n + p]) / (2.0 * apq);
                const double t = (theta >= 0.0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
                const double c = 1.0 / std::sqrt(t * t + 1.0), s = t * c;
                for (std::size_t k = 0; k < n; ++k) {  // columns p and q
                    const double akp = a[k * n + p], akq = a[k * n + q];
                    a[k * n + p] = c * akp - s * akq;
                    a[k * n + q] = s * akp + c * akq;
                }
                for (std::size_t k = 0; k < n; ++k) {  // rows p and q
                    const double apk = a[p * n + k], aqk = a[q * n + k];
                    a[p * n + k] = c * apk - s * aqk;
                    a[q * n + k] = s * apk + c * aqk;
                }
                a[p * n + q] = 0.0;
                a[q * n + p] = 0.0;
                for (std::size_t k = 0; k < n; ++k) {
                    const double vkp = v[k * n + p], vkq = v[k * n + q];
                    v[k * n + p] = c * vkp - s * vkq;
                    v[k * n + q] = s * vkp + c * vkq;
                }
            }
    }
    // Ascending order; ties keep their index order.
    std::vector<std::size_t> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t x, std::size_t y) { return a[x * n + x] < a[y * n + y]; });
    SymmetricEigen out{std::vector<double>(n), std::vector<double>(n * n)};
    for (std::size_t k = 0; k < n; ++k) {
        out.values[k] = a[order[k] * n + order[k]];
        for (std::size_t i = 0; i < n; ++i) out.vectors[i * n + k] = v[i * n + order[k]];
    }
    return out;
}

}  // namespace corvane::linalg
