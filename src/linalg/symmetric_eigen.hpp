// Eigen-decomposition of small symmetric matrices by cyclic Jacobi rotations.
//
// For the minimisers' n x n Hessians (n = q(q+1)/2, a few dozen at most).
// Sweeps visit the pairs (i, j), i < j, in row order and rotate away a[i][j]
// until the off-diagonal part is negligible; the order of operations is fixed,
// so the result is the same bit for bit on every run.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace corvane::linalg {

struct SymmetricEigen {
    std::vector<double> values;   // n, ascending
    std::vector<double> vectors;  // n x n row-major; column k is the unit eigenvector of values[k]
};

// `a` is n x n row-major and symmetric (the upper triangle is read). Entries
// must be finite.
inline SymmetricEigen symmetric_eigen(const std::vector<double>& a_in, std::size_t n) {
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
