// The rows of a repeated-measures model, reduced once to what every
// evaluation needs: per visit pattern, the cross-products of its subjects'
// rows for every pair of the pattern's visits.
//
// A subject's covariance is the rows and columns of its group's Sigma for the
// visits it has, so subjects that share a group and a set of visits (a
// pattern) share it. With z_ia = sqrt(w_ia) (x_ia, y_ia) the weighted row of
// subject i at the pattern's a-th visit, a pattern keeps, for every pair of
// its visits a <= b, C_ab = sum_i z_ia z_ib' ((p + 1) x (p + 1); C_ba is
// C_ab'), so that sum_i Z_i' N Z_i = sum_ab N_ab C_ab for any N over the
// pattern's visits. Weights w scale the
// covariance of a row by 1 / w (Sigma_i = W^-1/2 Sigma_P W^-1/2), which the
// scaled rows absorb up to the constant -sum log w of log |Sigma_i|.
// On continuous time (sp_exp) a pattern is a group and a vector of times.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <utility>
#include <span>
#include <vector>

#include "mmrm/covariance.hpp"

namespace corvane::mmrm {

struct Pattern {
    std::uint64_t group = 0;
    std::vector<std::uint64_t> visits;  // visit levels, ascending (empty on continuous time)
    std::vector<double> times;          // continuous time: the times, ascending
    std::uint64_t subjects = 0;
    std::vector<double> products;       // C_ab for a <= b at upper_pair(a, b, size()) * (p + 1)^2 (C_ba = C_ab')
    // The subjects' weighted rows (subjects x size() x (p + 1)), kept when
    // transforming them one subject at a time costs less than transforming
    // the products (few subjects for the pattern's visits); else empty.
    std::vector<double> rows;
    std::uint64_t size() const { return visits.empty() ? times.size() : visits.size(); }
    bool by_subject() const { return !rows.empty(); }
};

// The index of the visit pair a <= b among a pattern's t(t+1)/2 pairs, row by row.
inline std::uint64_t upper_pair(std::uint64_t a, std::uint64_t b, std::uint64_t t) {
    return a * t - a * (a - 1) / 2 + (b - a);  // a = 0: the product is 0 before the division
}

// How the Hessian's transformed products are formed: per pattern from its
// products, per subject from its rows, or chosen per pattern by their cost.
enum class Route : std::uint8_t { Auto, Patterns, Subjects };

// The most subjects for which the per-subject route costs less than the
// pattern's: (t(t+1)/2 k^2 + t^2 k) per subject against 1.5 t^3 k^2.
std::uint64_t subject_route_limit(std::uint64_t t, std::uint64_t k);

struct MmrmData {
    Structure structure = Structure::Us;
    std::uint64_t n = 0, p = 0, subjects = 0, visits = 0, groups = 0;
    std::uint64_t theta_per_group = 0;  // the group's block of theta; theta has groups * theta_per_group entries
    std::vector<Pattern> patterns;      // in order of first appearance (by subject code)
    std::vector<std::uint64_t> subject_pattern;  // per subject code: its pattern
    double log_weights = 0.0;                    // sum of log w over the rows
    std::uint64_t largest_pattern = 0;           // visits of the largest pattern
    std::uint64_t n_theta() const { return groups * theta_per_group; }
};

// The caller's rows: y (n), X (n x p, row-major), subject codes in
// [0, subjects), visit codes in [0, visits) (or times on continuous time),
// group codes in [0, groups) constant within a subject, weights (n, or empty).
struct MmrmRows {
    std::span<const double> y, x, weights, times;
    std::span<const std::int64_t> subject, visit, group;
    std::uint64_t n = 0, p = 0, subjects = 0, visits = 0, groups = 0;
    Structure structure = Structure::Us;
    Route route = Route::Auto;
};

// One pass over the rows. Throws lmm::InvalidInput for codes out of range, a
// subject with a visit (or time) twice, a subject in two groups, values that
// are not finite, weights that are not positive.
std::unique_ptr<MmrmData> build_mmrm_data(const MmrmRows& rows);

// Sums over the rows that start a fit: X'X, X'y, y'y (with the weights)
// and, at a beta, per group and pair of visits the residuals' cross-products
// summed over the subjects having both visits, with their counts (on
// continuous time one "visit": the squared residuals of every row).
struct Moments {
    std::vector<double> xtx, xty;      // p x p, p
    double yty = 0.0;
    std::vector<double> resid, count;  // groups x T x T (T = 1 on continuous time)
};
Moments moments(const MmrmData& d, std::span<const double> beta);

// The same pass over rows that arrive in batches: each call adds whole
// subjects (every row of a subject in one call; subject codes are global,
// and a subject seen in an earlier call is refused), subjects in code order
// within a call, so that rows given in one call or in several (in the order
// their subjects first appear) give the same products bit for bit. A
// pattern's products are summed in blocks of kBlock subjects (on the worker
// pool when the call is large), the blocks joined in order.
class MmrmBuilder {
public:
    MmrmBuilder(Structure structure, std::uint64_t p, std::uint64_t visits, std::uint64_t groups, bool weighted,
                Route route);
    // rows.p, visits, groups, structure and route must be the builder's;
    // rows.subjects bounds the codes of this call.
    void add(const MmrmRows& rows);
    // The data; the builder is left empty. Throws InvalidInput when no row was added.
    std::unique_ptr<MmrmData> finish();

    static constexpr std::uint64_t kBlock = 2048;

private:
    std::unique_ptr<MmrmData> d_;
    Route route_;
    bool weighted_;
    std::map<std::pair<std::uint64_t, std::vector<double>>, std::uint64_t> index_;
    // Per pattern, the subjects summed so far and, past the first block,
    // the sum of the block still open (empty when none is).
    std::vector<std::uint64_t> summed_;
    std::vector<std::vector<double>> open_;
};

}  // namespace corvane::mmrm
