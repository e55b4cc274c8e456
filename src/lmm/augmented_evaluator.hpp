// The engine of the "streaming" and "aggregated" kernels: per item (a group,
// or a class of groups with identical Z'Z) it forms
//   M = Lambda' Z'Z Lambda + I = L L',  K = Lambda M^-1 Lambda',
// and accumulates the item's share of W'KW, where W = Z'[X y] is the item's
// q x (p+1) block of cross-products with the augmented fixed design. The
// dispatcher subtracts the total from [X y]'[X y] to get the reduced system.
// With a gradient it also accumulates, per theta entry t, d log det M/d theta_t
// and W'(dK/d theta_t)W. Nothing is kept per group between passes.
#pragma once

#include <cstdint>
#include <vector>

#include "linalg/compensated_sum.hpp"
#include "lmm/lmm_data.hpp"

namespace corvane::lmm {

// Per-chunk totals. The (p+1) x (p+1) blocks keep their upper triangle
// (x <= y) packed row by row, U = (p+1)(p+2)/2 entries, each a compensated
// sum held in separate hi and lo arrays (so that one item's additions run
// entry by entry as vector operations). Aligned so that the accumulators of
// chunks run by different threads never share a cache line.
struct alignas(64) AccA {
    std::vector<double> corr_hi, corr_lo;    // U: sum W'KW
    std::vector<double> trace;               // n_theta: sum w d log det M / d theta_t (gradient only)
    std::vector<double> dcorr_hi, dcorr_lo;  // n_theta * U: sum W'(dK/d theta_t)W (gradient only)
    double logdet[2] = {0.0, 0.0};           // sum w log det M: hi, lo
    bool ok = true;                          // no item's factorisation failed

    // Zero totals for p fixed effects and n_theta entries (with the gradient).
    void reset(std::uint64_t p, std::uint64_t n_theta, bool gradient);
    // Adds another chunk's totals (CompensatedSum::merge on each sum).
    void merge(const AccA& part);
};

// Entry (x, y), x <= y, of a (p+1) x (p+1) block's packed upper triangle.
inline std::uint64_t upper_index(std::uint64_t p1, std::uint64_t x, std::uint64_t y) {
    return x * p1 - x * (x - 1) / 2 + (y - x);
}

// The items of the "streaming" kernel: every group, weight 1, its own W.
struct GroupSource {
    const LmmData& data;
    std::uint64_t count() const { return data.design->m; }
};

// The items of the "aggregated" kernel: the classes, weighted by their group
// counts, with the class sums of W_i[a][x] * W_i[b][y] in place of W.
struct ClassSource {
    const LmmData& data;
    const Classes& classes;
    std::uint64_t count() const { return classes.n_classes; }
};

// Work units per item, which set the chunk length (T = (q + q^2)/2 + 1):
// streaming (q^2 (p+3) + q (p+1)(p+2)/2) T + 4q^3 + 8,
// aggregated q^2 (((p+1)(p+2)/2 + 2) T + 4q) + 8.
std::uint64_t streaming_cost(std::uint64_t p, std::uint64_t q);
std::uint64_t aggregated_cost(std::uint64_t p, std::uint64_t q);

// Items first .. min(first + length, source.count()) - 1 in increasing
// order. A failed factorisation sets `ok` false and ends the chunk there.
// `generic` selects the run-time-size code in place of the fixed-size forms
// for q = 1, 2, 3 (same bits).
// Groups go through vector lanes where the machine has them and `lanes` is set.
AccA augmented_chunk(const GroupSource& source, std::uint64_t first, std::uint64_t length,
                     const double* lambda, bool gradient, bool generic = false, bool lanes = true);
AccA augmented_chunk(const ClassSource& source, std::uint64_t first, std::uint64_t length,
                     const double* lambda, bool gradient, bool generic = false);

}  // namespace corvane::lmm
