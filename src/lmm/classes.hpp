// Classes of groups whose Z_i'Z_i blocks are identical bit for bit.
//
// Such groups need the same q x q factorisation at every theta, so the
// aggregated kernel factors once per class. For each class the record keeps
// the number of groups, the common Z'Z, and the class sums of the products of
// the groups' cross-products with the augmented fixed design [X y]:
//   W_i = [Z_i'X_i | Z_i'y_i]  (q x (p+1)),
//   sums[c][a][b][x][y] = sum over groups i of class c of W_i[a][x] * W_i[b][y]
// for y >= x (entries with y < x stay 0.0).
// Class numbers follow first appearance in group order: class 0 holds group 0.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "lmm/schedule.hpp"

namespace corvane::lmm {

// 64-bit hash of a sequence of words: state = (rotl(state, 5) ^ w) * K.
struct BitsHasher {
    static constexpr std::uint64_t kMultiplier = 0x517cc1b727220a95ULL;
    std::uint64_t state = 0;
    void write(std::uint64_t word) {
        state = ((state << 5) | (state >> 59)) ^ word;
        state *= kMultiplier;
    }
};

struct Classes {
    std::vector<double> counts;      // n_classes: groups per class
    std::vector<double> class_ztz;   // n_classes*q*q: Z'Z of the class's first group
    std::vector<double> xsums;       // n_classes*q*q*p*p: block (c, a, b) at ((c*q+a)*q+b)*p*p holds
                                     // S[c][a][b][x][y] for y >= x, y < p (entries y < x stay 0.0)
    std::vector<std::uint32_t> assignment;  // m: class of each group
    std::uint64_t n_classes = 0;

    // Partitions the m groups by their Z_i'Z_i bits. With a class limit, the
    // partition is abandoned (nullopt) when a class numbered >= limit appears
    // (class 0 always survives), or when, checked every 1024 groups from group
    // 4096 on, the classes found outnumber a quarter of the groups examined.
    static std::optional<Classes> build(std::uint64_t q, std::uint64_t p, std::uint64_t m,
                                        const double* ztz, const double* ztx,
                                        std::optional<std::uint64_t> class_limit,
                                        Schedule schedule = Schedule::Auto);

    // Per-class counts, Z'Z and design sums for a given partition;
    // `representatives` holds the first group of each class. The assignment
    // is taken over.
    static Classes with_assignment(std::uint64_t q, std::uint64_t p, const double* ztz,
                                   const double* ztx, std::vector<std::uint32_t> assignment,
                                   const std::vector<std::uint64_t>& representatives,
                                   std::uint64_t n_classes, Schedule schedule = Schedule::Auto);
};

// The response's part of the class sums: n_classes*q*q*(p+1) values, block
// (c, a, b) at ((c*q+a)*q+b)*(p+1) holding S[c][a][b][x][p] for x = 0..p.
std::vector<double> class_response_sums(const Classes& classes, std::uint64_t q, std::uint64_t p,
                                        const double* ztx, const double* zty,
                                        Schedule schedule = Schedule::Auto);

// The class limit of the "auto" rule, floor(m * blocks cost / (2 * aggregated
// cost)), in wrapping unsigned 64-bit arithmetic.
std::uint64_t class_limit(std::uint64_t m, std::uint64_t p, std::uint64_t q);

}  // namespace corvane::lmm
