#include "lmm/theta_layout.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "lmm/errors.hpp"
#include "lmm/lmm_data.hpp"

namespace corvane::lmm {
namespace {

std::vector<double> per_entry(std::uint64_t q, double diagonal, double off_diagonal) {
    std::vector<double> out;
    out.reserve(n_theta(q));
    for (const ThetaPair& pair : theta_index(q))
        out.push_back(pair.row == pair.col ? diagonal : off_diagonal);
    return out;
}

}  // namespace

std::vector<double> theta_to_lambda(std::span<const double> theta, std::uint64_t q) {
    // The layout of theta_index, walked directly: column j, rows j..q-1.
    std::vector<double> lambda(q * q, 0.0);
    std::size_t t = 0;
    for (std::uint64_t j = 0; j < q; ++j)
        for (std::uint64_t k = j; k < q; ++k) lambda[k * q + j] = theta[t++];
    return lambda;
}

void check_theta(std::span<const double> theta, std::uint64_t q) {
    if (theta.size() != n_theta(q)) {
        throw InvalidInput("theta must have " + std::to_string(n_theta(q)) + " entries for q = " +
                           std::to_string(q) + ", got " + std::to_string(theta.size()));
    }
    for (std::size_t t = 0; t < theta.size(); ++t) {
        if (!(std::fabs(theta[t]) <= std::numeric_limits<double>::max()))
            throw InvalidInput("theta[" + std::to_string(t) + "] is not finite");
    }
}

std::vector<double> lower_bounds(std::uint64_t q) {
    return per_entry(q, 0.0, -std::numeric_limits<double>::infinity());
}

std::vector<double> default_theta(std::uint64_t q) { return per_entry(q, 1.0, 0.0); }

std::vector<double> canonical_theta(std::span<const double> theta, std::uint64_t q) {
    const std::vector<double> lambda = theta_to_lambda(theta, q);
    std::vector<bool> zero(q, false);
    bool any = false;
    for (std::uint64_t j = 0; j < q; ++j) {
        zero[j] = lambda[j * q + j] == 0.0;
        any = any || zero[j];
    }
    if (!any) return std::vector<double>(theta.begin(), theta.end());
    std::vector<double> sigma(q * q, 0.0), l(q * q, 0.0);
    for (std::uint64_t i = 0; i < q; ++i)
        for (std::uint64_t j = 0; j <= i; ++j) {
            double s = 0.0;
            for (std::uint64_t k = 0; k <= j; ++k) s = s + lambda[i * q + k] * lambda[j * q + k];
            sigma[i * q + j] = s;
        }
    for (std::uint64_t j = 0; j < q; ++j) {
        double s = sigma[j * q + j];
        for (std::uint64_t k = 0; k < j; ++k) s = s - l[j * q + k] * l[j * q + k];
        // A column that had a zero diagonal and has no variance of its own
        // left is zero throughout; its entries below live on in later pivots.
        if (zero[j] && s <= 1e-10 * sigma[j * q + j]) continue;
        if (!(s > 0.0)) continue;
        const double d = std::sqrt(s);
        l[j * q + j] = d;
        for (std::uint64_t i = j + 1; i < q; ++i) {
            double t = sigma[i * q + j];
            for (std::uint64_t k = 0; k < j; ++k) t = t - l[i * q + k] * l[j * q + k];
            l[i * q + j] = t / d;
        }
    }
    std::vector<double> out;
    out.reserve(theta.size());
    for (std::uint64_t j = 0; j < q; ++j)
        for (std::uint64_t k = j; k < q; ++k) out.push_back(l[k * q + j]);
    return out;
}

std::vector<std::vector<std::size_t>> tied_entries(std::uint64_t q) {
    std::vector<std::vector<std::size_t>> out(n_theta(q));
    std::size_t t = 0;
    for (std::uint64_t j = 0; j < q; ++j) {
        const std::size_t first = t;
        for (std::uint64_t k = j; k < q; ++k) out[first].push_back(t++);
    }
    return out;
}

}  // namespace corvane::lmm
