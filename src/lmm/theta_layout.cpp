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

}  // namespace corvane::lmm
