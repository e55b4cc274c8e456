// The residual covariance structures of the repeated-measures model: the
// covariance Sigma of one subject's visits as a function of the variance
// parameters theta, with its first and second derivatives in theta.
//
// The parametrisations are those R's mmrm documents (so that theta, its
// covariance and the likelihood can be compared with it). With T visits:
//   us      Sigma = L L', L = D U: D = diag(exp(theta[0..T-1])), U unit lower
//           triangular filled row by row from theta[T..] (u21, u31, u32, ...).
//   toep    Sigma = exp(2 theta[0]) P, P_ij = rho_{|i-j|}        (T params)
//   ar1     Sigma = exp(2 theta[0]) P, P_ij = rho^|i-j|          (2)
//   cs      Sigma = exp(2 theta[0]) P, P_ij = rho (i != j)       (2)
//   ad      Sigma = exp(2 theta[0]) P, P_ij = prod_{k=j}^{i-1} rho_k, i > j (T)
//   toeph, ar1h, csh, adh: Sigma = D P D, D = diag(exp(theta[0..T-1])), the
//           correlation parameters after them (2T-1, T+1, T+1, 2T-1).
//   sp_exp  Sigma_ij = exp(theta[0]) rho^|t_i - t_j| on continuous times,
//           rho = logistic(theta[1]) (theta[0] is the log variance).
// Correlations map from the real line by rho = t / sqrt(1 + t^2), except cs:
// rho = logistic(t) (1 + a) - a with a = 1 / (T - 1), so that every rho in
// (-1/(T-1), 1) (the positive definite range) is reachable.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace corvane::mmrm {

enum class Structure : std::uint8_t { Us, Toep, Toeph, Ar1, Ar1h, Cs, Csh, Ad, Adh, SpExp };

// The structure a name ("us", "toeph", ..., "sp_exp") denotes, or nothing.
std::optional<Structure> structure_from_name(std::string_view name);

// True for sp_exp, whose covariance depends on continuous times rather than
// on visit levels.
inline bool is_spatial(Structure s) { return s == Structure::SpExp; }

// Variance parameters of one group's Sigma over T visits (sp_exp: 2).
std::size_t theta_per_group(Structure s, std::uint64_t visits);

// A symmetric t x t matrix whose entries carry their derivatives in n
// parameters: entry (a, b) has value[a*t + b], first derivatives
// grad[(a*t + b)*n + k] and (when asked for) second derivatives
// hess[((a*t + b)*n + k)*n + l]; both triangles are filled.
struct SigmaJet {
    std::uint64_t t = 0, n = 0;
    std::vector<double> value, grad, hess;
};

// Sigma over the visits 0..T-1 of a structure on visit levels, at theta
// (theta_per_group(s, T) entries). Second derivatives only when `second`.
SigmaJet visit_sigma(Structure s, std::span<const double> theta, std::uint64_t visits, bool second);

// Sigma of sp_exp at the given times, at theta (2 entries).
SigmaJet spatial_sigma(std::span<const double> theta, std::span<const double> times, bool second);

}  // namespace corvane::mmrm
