// Products accumulated from batches of rows.
//
// Everything a core keeps is a sum over rows, so rows may arrive in batches
// (from a file larger than memory, or from partitions on other machines):
// each batch's rows are added to the products so far, groups appear as
// higher codes do, and `finish` turns the totals into a core's design and
// response. Each group receives its rows in the order the batches and their
// rows came, as one pass over the concatenated rows would add them; X'X, X'y
// and y'y add one batch's chunked sums at a time. Accumulators built apart
// merge by adding their products (merging in a fixed order gives the same
// bits every run). Before `finish`, the groups may be put in a new order
// (dropping empty ones) and X's columns subset (dropping aliased ones) by
// `select`, which moves the products' bits and computes nothing.
//
// Rows may be transformed on the way in (a shift and a power-of-two scale per
// column, see RowTransform); the transform of X and Z is kept in the design,
// so that a new response uses X and Z the same way.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "lmm/evaluator_kind.hpp"
#include "lmm/lmm_data.hpp"

namespace corvane::lmm {

// A batch given column by column (as Arrow and Parquet hold it): y, each of
// X's columns (null: a column of ones), each of Z's columns, the group codes,
// and optionally a flag per row (rows flagged 0 are skipped). Every array
// holds n values; no column needs to be copied beforehand.
struct ColumnsView {
    const double* y = nullptr;
    std::vector<const double*> x, z;
    const std::int64_t* codes = nullptr;
    const std::uint8_t* keep = nullptr;
    std::uint64_t n = 0;
};

class Accumulator {
public:
    // p, q >= 1 (p changes only by `select`). The transform's vectors, when
    // given, are p and q long.
    Accumulator(std::uint64_t p, std::uint64_t q, std::optional<RowTransform> transform);

    // Adds a batch (rows.p and rows.q must be this accumulator's; rows.n may
    // be 0). Codes must be >= 0 (InvalidInput "group code {c} is negative",
    // the first in row order, before anything is added); the groups grow to
    // the largest code + 1. Throws InvalidInput "model dimensions overflow the
    // address space" for codes too large to address.
    void add(const RowsView& rows, Schedule schedule = Schedule::Auto);
    // Adds a batch given by columns (x.size() must be p and z.size() q): the
    // kept rows, in order, exactly as add() adds the same rows given as row-
    // major arrays (they are gathered into them, a chunk of rows per task).
    void add_columns(const ColumnsView& columns, Schedule schedule = Schedule::Auto);

    // Adds another accumulator's products (same p, q and transform, else
    // InvalidInput). The codes' fingerprint is kept only when one side is
    // empty.
    void merge(const Accumulator& other);

    // The accumulated products as a core's design and response, with its
    // kernel chosen as construction chooses; the accumulator is empty
    // afterwards. InvalidInput "no rows were added" when there are none, and
    // "the products hold rows but no groups" for replaced products without
    // groups.
    std::unique_ptr<LmmData> finish(EvaluatorKind requested, Schedule schedule = Schedule::Auto);

    // Keeps the groups and the columns of X given, in place, copying the
    // products' bits as they are (no arithmetic):
    //   new group k is old group groups[k]: its Z_i'Z_i, Z_i'X_i and Z_i'y_i
    //   blocks move to position k, and groups not listed are dropped (the
    //   caller knows them to be empty, or does not want them; their rows stay
    //   counted in n, and in X'X, X'y and y'y);
    //   X keeps the columns listed, in their order: X'X, X'y, every Z_i'X_i
    //   and the transform's x_shift and x_scale are subset, and x_ref becomes
    //   the reference column's index among them.
    // m becomes groups.size(), p columns.size(); n and the batches stay. Any
    // groups but the identity 0..m-1 leave the codes' fingerprint unknown
    // (their order is no longer the rows'), so the finished core takes no
    // new response. Later batches and merges use the new numbering and
    // columns. Preconditions checked, in this order, each an InvalidInput
    // naming the argument: columns not empty, every column < p, columns
    // strictly increasing, x_ref (when there is one) among the columns,
    // every group < m, no group twice. Nothing changes when it throws
    // (std::bad_alloc included).
    void select(const std::vector<std::uint64_t>& groups, const std::vector<std::uint64_t>& columns);

    // The products so far (read only), and a replacement for them (for
    // products exported elsewhere; the caller checks their shapes).
    const Products& products() const { return products_; }
    void replace(Products products, std::uint64_t batches);

    const std::optional<RowTransform>& transform() const { return transform_; }
    std::uint64_t batches() const { return batches_; }

private:
    void reset();

    std::uint64_t p_, q_;  // columns of X and Z
    std::optional<RowTransform> transform_;  // how rows enter; y's part included
    Products products_;
    std::uint64_t batches_ = 0;
    // add_columns' rows, kept between batches so that batches of one size
    // reuse the same pages (grown, never shrunk; moved or copied as empty).
    struct Gathered {
        std::vector<double> values;       // y, X, Z of the kept rows
        std::vector<std::int64_t> codes;
        Gathered() = default;
        Gathered(const Gathered&) {}
        Gathered& operator=(const Gathered&) { return *this; }
    } gathered_;
};

}  // namespace corvane::lmm
