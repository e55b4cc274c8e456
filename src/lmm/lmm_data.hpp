// The prepared design: every product of the data that does not depend on
// theta, computed in one pass over the rows.
//
// After construction only these products, the dimensions and a fingerprint of
// the group codes remain; the row arrays are never kept, so an evaluation
// costs work proportional to the number of groups (or classes), not rows.
//
// The products come in two parts. `Design` holds what depends only on X, Z
// and the grouping (X'X, every Z_i'Z_i and Z_i'X_i, the classes and the
// dimensions); it never changes after construction (except for its scratch
// pool) and is shared by every core made from it with a new response.
// `LmmData` adds the response's own products (X'y, y'y, every Z_i'y_i and
// the classes' response sums), which are all a new response recomputes.
// Invariants: every vector has the length stated at its field; `xtx` and each
// `ztz` block are exactly symmetric (lower triangle copied from the upper);
// `classes` is present exactly when `evaluator` is Aggregated, and then so
// are the response's class sums.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "lmm/classes.hpp"
#include "lmm/evaluator_kind.hpp"
#include "lmm/schedule.hpp"
#include "lmm/scratch_pool.hpp"

namespace corvane::lmm {

// A shift and a scale for every column of the rows: each value v enters the
// products as (v - shift * r) * scale, where r is the row's value of a
// reference column divided by reference_value (r = 1 without a reference).
// With an intercept column as the reference, r is exactly 1 and the shifts
// centre the columns, removing a common offset before the products are
// formed (so no digits cancel later); with any reference column the
// transform is a linear map of the columns (y's shift moves into the
// reference column's coefficient), so it never changes the model. Power-of-
// two scales change no digit at all. y and X use X's reference column, Z its
// own. Vectors are p (x_) or q (z_) long.
struct RowTransform {
    double y_shift = 0.0;
    double y_scale = 1.0;
    // Empty, or p coefficients c in place of the shift: y enters as
    // (y - x' c) * y_scale, x the row's columns as given (a preliminary fit
    // taken out of a response the fixed effects explain nearly all of, so
    // that its products keep the residual's digits; the model is invariant
    // to adding X c to y).
    std::vector<double> y_coef;
    std::vector<double> x_shift, x_scale;
    std::vector<double> z_shift, z_scale;
    std::int64_t x_ref = -1;  // reference column of X, or -1
    double x_ref_value = 1.0;
    std::int64_t z_ref = -1;  // reference column of Z, or -1
    double z_ref_value = 1.0;
};

// Borrowed, read-only row arrays: y (n), X (n x p row-major), Z (n x q
// row-major), codes (n). All contiguous; valid for the duration of a call.
// With a transform, the rows are used as it says.
struct RowsView {
    const double* y = nullptr;
    const double* x = nullptr;
    const double* z = nullptr;
    const std::int64_t* codes = nullptr;
    std::uint64_t n = 0;
    std::uint64_t p = 0;
    std::uint64_t q = 0;
    const RowTransform* transform = nullptr;
};

// Position (row, col) in Lambda of one theta entry.
struct ThetaPair {
    std::uint64_t row;
    std::uint64_t col;
    friend bool operator==(const ThetaPair&, const ThetaPair&) = default;
};

// X'X, X'y and y'y.
struct FixedProducts {
    std::vector<double> xtx;  // p*p, row-major, symmetric
    std::vector<double> xty;  // p
    double yty = 0.0;
};

// Everything that depends on X, Z and the grouping alone.
struct Design {
    std::vector<double> xtx;  // p*p: X'X, row-major, symmetric
    std::vector<double> ztz;  // m*q*q: block i = Z_i'Z_i at i*q*q, symmetric
    std::vector<double> ztx;  // m*q*p: block i = Z_i'X_i (q x p) at i*q*p
    std::vector<ThetaPair> theta_pairs;  // q(q+1)/2: where each theta entry sits in Lambda
    std::optional<Classes> classes;      // present only for the aggregated kernel
    std::uint64_t n = 0;  // rows
    std::uint64_t p = 0;  // columns of X
    std::uint64_t q = 0;  // columns of Z
    std::uint64_t m = 0;  // groups
    mutable ScratchPool scratch;  // reusable evaluator workspaces
    std::uint64_t codes_fingerprint = 0;  // fold of the group codes
    EvaluatorKind evaluator = EvaluatorKind::Blocks;
    // How X and Z entered the products (y's part is the identity); a new
    // response uses them the same way. Absent for rows used as they are.
    std::optional<RowTransform> transform;
    // The fingerprint's fold starts at n for a core built in one piece, at 0
    // for one accumulated from batches; it is unknown after merging
    // accumulators built apart (no new response is possible then).
    bool fingerprint_from_zero = false;
    bool fingerprint_known = true;

    // Group i's blocks: Z_i'Z_i (q x q) and Z_i'X_i (q x p).
    const double* ztz_of(std::uint64_t i) const { return ztz.data() + i * q * q; }
    const double* ztx_of(std::uint64_t i) const { return ztx.data() + i * q * p; }
};

// The products of one response with the design.
struct Response {
    std::vector<double> xty;  // p: X'y
    std::vector<double> zty;  // m*q: block i = Z_i'y_i at i*q
    double yty = 0.0;         // y'y
    // With classes, per class c and pair (a, b): sum over the class's groups of
    // W_i[a][x] * Z_i'y_i[b] for x = 0..p, where W_i = [Z_i'X_i | Z_i'y_i];
    // the last column of the class sums over [X y] (see class_response_sums).
    std::vector<double> class_ysums;
};

struct LmmData {
    std::shared_ptr<const Design> design;
    Response response;

    // Group i's Z_i'y_i (q values).
    const double* zty_of(std::uint64_t i) const { return response.zty.data() + i * design->q; }

    // Fills every product from the rows in one pass (or the parallel plan),
    // with `theta_pairs` and `codes_fingerprint`; the kernel is Blocks and
    // there are no classes (`prepare` chooses them). Preconditions: n, p, q,
    // m >= 1 and m*q*(2*max(q, p+1) + 2) fits in 64 bits. Throws InvalidInput
    // "group code {c} out of range 0..{m}" for the first code in row order
    // outside [0, m), std::bad_alloc when the products cannot fit in memory,
    // and parallel::Interrupted when the call is interrupted.
    static std::unique_ptr<LmmData> from_rows(const RowsView& rows, std::uint64_t m,
                                              Schedule schedule = Schedule::Auto);

    // The same design with a new response: X'y, y'y, Z_i'y_i and (with
    // classes) the class response sums are computed from `rows`; the design
    // part is shared, not copied. The rows must have this design's n, p and q
    // and codes with this design's fingerprint; otherwise InvalidInput with
    // the message saying which.
    std::unique_ptr<LmmData> with_response(const RowsView& rows, Schedule schedule = Schedule::Auto) const;
};

// The products of the rows while the design is still being prepared (before
// the kernel is chosen and the design shared).
struct Products {
    std::shared_ptr<Design> design;
    Response response;

    // Group i's Z_i'y_i (q values).
    const double* zty_of(std::uint64_t i) const { return response.zty.data() + i * design->q; }
};

// What LmmData::from_rows computes, with the design still open to changes.
Products products_from_rows(const RowsView& rows, std::uint64_t m, Schedule schedule = Schedule::Auto);

// Adds a batch of rows to products accumulated so far (an empty `into` has
// n = 0 and m = 0, its design's p and q set and its fingerprint the fold's
// seed): the design grows to m groups (m at least its current number and
// above every code), each group's rows are added after its earlier ones, the
// batch's X'X, X'y and y'y are added to the totals, and the fingerprint's
// fold continues over the batch's codes. InvalidInput for a code outside
// [0, m), with nothing added to the group blocks of later rows (the caller
// discards the products then).
void accumulate_rows(Products& into, const RowsView& rows, std::uint64_t m, Schedule schedule = Schedule::Auto);

// Whether the dimensions are addressable: m*q and m*q*(2*max(q, p+1) + 2)
// both fit in 64 bits.
bool dimensions_fit(std::uint64_t m, std::uint64_t p, std::uint64_t q);

// Everything construction does once the arguments are checked: the products,
// then the kernel (and, for Aggregated, the class response sums). Blocks and
// Streaming keep no classes; Aggregated always partitions; Auto partitions
// with the class limit and falls back to Blocks when the partition is
// abandoned (it never picks Streaming).
std::unique_ptr<LmmData> prepare(const RowsView& rows, std::uint64_t m, EvaluatorKind requested,
                                 Schedule schedule = Schedule::Auto);

// Settles the kernel of freshly computed products as construction does:
// Blocks and Streaming as asked; Aggregated partitions the groups into
// classes; Auto partitions with the class limit and falls back to Blocks.
// With classes, the response's class sums are computed too.
void choose_kernel(Products& products, EvaluatorKind requested, Schedule schedule = Schedule::Auto);

// The lower triangle of Lambda column by column, each column from the
// diagonal down: for col j, for row k >= j, the pair (k, j).
std::vector<ThetaPair> theta_index(std::uint64_t q);

// X'X (only when with_xtx; zeros otherwise), X'y and y'y by chunks of rows,
// the chunk partials added in chunk order.
FixedProducts fixed_products(const double* y, std::uint64_t n, const double* x, std::uint64_t p,
                             bool with_xtx, Schedule schedule = Schedule::Auto,
                             const RowTransform* transform = nullptr);

// Fingerprint of a code sequence: h = n, then h = (c ^ rotl(h, 5)) * K for
// each code c in row order (wrapping 64-bit arithmetic).
std::uint64_t codes_fingerprint(const std::int64_t* codes, std::uint64_t n);

// One step of the fingerprint.
inline std::uint64_t fold_code(std::uint64_t h, std::int64_t code) {
    const std::uint64_t rotated = (h << 5) | (h >> 59);
    return (static_cast<std::uint64_t>(code) ^ rotated) * 0x517cc1b727220a95ULL;
}

// The message for a code outside [0, m).
std::string code_out_of_range_message(std::int64_t code, std::uint64_t m);

}  // namespace corvane::lmm
