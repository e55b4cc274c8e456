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
// bits every run).
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

class Accumulator {
public:
    // p, q >= 1. The transform's vectors, when given, are p and q long.
    Accumulator(std::uint64_t p, std::uint64_t q, std::optional<RowTransform> transform);

    // Adds a batch (rows.p and rows.q must be this accumulator's; rows.n may
    // be 0). Codes must be >= 0 (InvalidInput "group code {c} is negative",
    // the first in row order, before anything is added); the groups grow to
    // the largest code + 1. Throws InvalidInput "model dimensions overflow the
    // address space" for codes too large to address.
    void add(const RowsView& rows, Schedule schedule = Schedule::Auto);

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

    // The products so far (read only), and a replacement for them (for
    // products exported elsewhere; the caller checks their shapes).
    const Products& products() const { return products_; }
    void replace(Products products, std::uint64_t batches);

    const std::optional<RowTransform>& transform() const { return transform_; }
    std::uint64_t batches() const { return batches_; }

private:
    void reset();

    std::uint64_t p_, q_;
    std::optional<RowTransform> transform_;
    Products products_;
    std::uint64_t batches_ = 0;
};

}  // namespace corvane::lmm
