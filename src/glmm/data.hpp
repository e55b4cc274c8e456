// The rows of a generalized linear mixed model, grouped once.
//
// Unlike the Gaussian model, whose criterion needs only per-group products,
// the generalized model's likelihood needs every row at every evaluation, so
// the rows are kept: copied once, at construction, into group order (a stable
// counting sort on the group codes), so that each group's rows are one
// contiguous block. Nothing else is stored per row.
// Invariants: start has m + 1 entries, start[0] = 0, start[m] = n, and the
// rows of group g are [start[g], start[g + 1]); every vector has the length
// stated at its field; every group has at least one row.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "glmm/family.hpp"

namespace corvane::glmm {

// What depends only on the design: shared by every response fitted to it.
struct GlmmDesign {
    std::uint64_t n = 0, p = 0, q = 0, m = 0;
    Family family = Family::Binomial;
    Link link = Link::Logit;
    std::vector<std::uint64_t> start;  // m + 1: the first grouped row of each group
    std::vector<std::uint64_t> row;    // n: the caller's index of each grouped row
    std::vector<double> x;             // n x p, row-major, grouped order
    std::vector<double> z;             // n x q, row-major, grouped order
    std::vector<double> w;             // n: prior weights (binomial: trials)
    std::vector<double> offset;        // n
    std::uint64_t max_group = 0;       // rows of the largest group
};

struct GlmmData {
    std::shared_ptr<const GlmmDesign> design;
    std::vector<double> y;  // n, grouped order: proportion (binomial) or count (Poisson)
    // The log-likelihood's constant (binomial coefficients, -log y!), and the
    // saturated model's log-likelihood (constant included), each summed over
    // the rows in grouped order.
    double constant = 0.0;
    double saturated = 0.0;
    RowParams params{};  // the negative binomial's dispersion (the constant depends on it)
};

// The caller's rows: y, w and offset of length n (w and offset may be empty:
// every weight 1, every offset 0), X (n x p) and Z (n x q) row-major, codes
// in [0, m).
struct GlmmRows {
    std::span<const double> y, w, offset, x, z;
    // Optional p x p and q x q row-major matrices: the core then holds the
    // rows x' A and z' B (each entry summed over the row in column order)
    // instead of x and z, so that a caller's change of coordinates costs no
    // transformed copy of the whole design.
    std::span<const double> x_transform, z_transform;
    std::span<const std::int64_t> codes;
    std::uint64_t n = 0, p = 0, q = 0, m = 0;
};

// Checks and groups the rows. Throws InvalidInput for a link the family
// does not have, weights that are not positive and finite ("weights must be
// positive and finite: row {i} has {v} ({k} such rows)"), missing or
// infinite values ("{what} has {k} missing values (first at row {i})",
// "infinite" or "missing or infinite" as they are; what is "y", "offset",
// "X column {j}" or "Z column {j}": the front end's texts for the same
// events), a code outside [0, m) ("group code v out of range 0..m"), a
// group with no rows ("group g has no rows"), and a response the family
// cannot take ("y[i] = v is outside [0, 1]", "w[i] * y[i] = v is not a whole
// number of successes", "y[i] = v is negative").
// The negative binomial takes the log link and its dispersion phi (> 0,
// finite), the other families ignore phi.
std::unique_ptr<GlmmData> prepare_glmm(const GlmmRows& rows, Family family, Link link, double phi = 1.0);

// The same design with a new response in the caller's row order (checked as
// at construction); the constant and saturated value are recomputed.
std::unique_ptr<GlmmData> with_glmm_response(const GlmmData& d, std::span<const double> y_callers_order);

// The same rows with another negative binomial dispersion phi (the constant
// and saturated value recomputed).
std::unique_ptr<GlmmData> with_glmm_dispersion(const GlmmData& d, double phi);

// "binomial" / "poisson" / "negative_binomial" and "logit" / "probit" /
// "cloglog" / "log" (the negative binomial's link is "log").
const char* family_name(Family family);
const char* link_name(Link link);

}  // namespace corvane::glmm
