// Gauss-Hermite rules for the standard normal density: nodes z_k and weights
// w_k with sum_k w_k f(z_k) = E f(Z), Z ~ N(0, 1), exact for polynomials of
// degree < 2k.
//
// The nodes are the eigenvalues of the Jacobi matrix of the orthonormal
// Hermite polynomials (off-diagonal sqrt(1), ..., sqrt(k - 1)), each polished
// by Newton steps on the three-term recurrence; a weight is 1 / sum_j
// psi_j(z)^2 over the orthonormal polynomials psi_0..psi_{k-1}, which keeps
// the tail weights to full relative accuracy. The rule is symmetric by
// construction (node i is minus node k - 1 - i) and ordered ascending.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "linalg/symmetric_eigen.hpp"

namespace corvane::glmm {

struct GaussHermite {
    std::vector<double> nodes;
    std::vector<double> weights;
};

namespace detail {

// psi_{k}(z) and psi_{k-1}(z) of the orthonormal probabilists' Hermite
// polynomials, and sum_{j<k} psi_j(z)^2.
inline void hermite_values(double z, std::uint64_t k, double& psi_k, double& psi_km1, double& sum_sq) {
    double prev = 0.0, cur = 1.0;
    sum_sq = 0.0;
    for (std::uint64_t j = 0; j < k; ++j) {
        sum_sq = sum_sq + cur * cur;
        const double next = (z * cur - std::sqrt(static_cast<double>(j)) * prev) / std::sqrt(static_cast<double>(j + 1));
        prev = cur;
        cur = next;
    }
    psi_k = cur;
    psi_km1 = prev;
}

}  // namespace detail

inline GaussHermite gauss_hermite(std::uint64_t k) {
    GaussHermite rule;
    if (k == 1) {
        rule.nodes = {0.0};
        rule.weights = {1.0};
        return rule;
    }
    std::vector<double> jacobi(k * k, 0.0);
    for (std::uint64_t i = 0; i + 1 < k; ++i) {
        const double b = std::sqrt(static_cast<double>(i + 1));
        jacobi[i * k + i + 1] = b;
        jacobi[(i + 1) * k + i] = b;
    }
    std::vector<double> z = linalg::symmetric_eigen(jacobi, k).values;
    for (double& x : z) {
        // psi_k' = sqrt(k) psi_{k-1}
        for (int step = 0; step < 3; ++step) {
            double pk, pkm1, s;
            detail::hermite_values(x, k, pk, pkm1, s);
            if (pkm1 == 0.0) break;
            x = x - pk / (std::sqrt(static_cast<double>(k)) * pkm1);
        }
    }
    rule.nodes.resize(k);
    rule.weights.resize(k);
    for (std::uint64_t i = 0; i < k; ++i) {
        // Symmetric pairs share one value; the middle node of an odd rule is 0.
        const std::uint64_t mirror = k - 1 - i;
        double x = i == mirror ? 0.0 : (z[i] - z[mirror]) / 2.0;
        double pk, pkm1, s;
        detail::hermite_values(x, k, pk, pkm1, s);
        rule.nodes[i] = x;
        rule.weights[i] = 1.0 / s;
    }
    // Weights summing to 1 exactly in value (they do to rounding).
    double total = 0.0;
    for (double w : rule.weights) total = total + w;
    for (double& w : rule.weights) w = w / total;
    return rule;
}

}  // namespace corvane::glmm
