#include "lmm/accumulator.hpp"

#include <algorithm>
#include <string>

#include "lmm/errors.hpp"
#include "lmm/memory.hpp"
#include "parallel/interrupt.hpp"

namespace corvane::lmm {
namespace {

bool same_transform(const std::optional<RowTransform>& a, const std::optional<RowTransform>& b) {
    if (a.has_value() != b.has_value()) return false;
    if (!a) return true;
    return a->y_shift == b->y_shift && a->y_scale == b->y_scale && a->x_shift == b->x_shift &&
           a->x_scale == b->x_scale && a->z_shift == b->z_shift && a->z_scale == b->z_scale && a->x_ref == b->x_ref &&
           a->x_ref_value == b->x_ref_value && a->z_ref == b->z_ref && a->z_ref_value == b->z_ref_value;
}

}  // namespace

Accumulator::Accumulator(std::uint64_t p, std::uint64_t q, std::optional<RowTransform> transform)
    : p_(p), q_(q), transform_(std::move(transform)) {
    reset();
}

void Accumulator::reset() {
    products_ = Products{std::make_shared<Design>(), Response{}};
    Design& g = *products_.design;
    g.p = p_;
    g.q = q_;
    g.xtx.assign(p_ * p_, 0.0);
    g.theta_pairs = theta_index(q_);
    g.fingerprint_from_zero = true;
    g.codes_fingerprint = 0;
    products_.response.xty.assign(p_, 0.0);
    batches_ = 0;
}

void Accumulator::add(const RowsView& given, Schedule schedule) {
    RowsView rows = given;
    rows.transform = transform_ ? &*transform_ : nullptr;
    std::int64_t largest = -1;
    for (std::uint64_t r = 0; r < rows.n; ++r) {
        if (r % 65536 == 0) parallel::check_interrupt();
        const std::int64_t c = rows.codes[r];
        if (c < 0) throw InvalidInput("group code " + std::to_string(c) + " is negative");
        largest = std::max(largest, c);
    }
    const std::uint64_t m = std::max(products_.design->m, static_cast<std::uint64_t>(largest + 1));
    if (!dimensions_fit(m, p_, q_)) throw InvalidInput("model dimensions overflow the address space");
    accumulate_rows(products_, rows, m, schedule);
    ++batches_;
}

void Accumulator::merge(const Accumulator& other) {
    if (other.p_ != p_ || other.q_ != q_ || !same_transform(other.transform_, transform_))
        throw InvalidInput("accumulators of different models cannot be merged");
    const Design& b = *other.products_.design;
    const Response& rb = other.products_.response;
    if (b.n == 0) return;
    Design& a = *products_.design;
    Response& ra = products_.response;
    if (a.n == 0) {
        // Nothing here yet: the other's products, fingerprint included.
        Products copy{std::make_shared<Design>(b), rb};
        products_ = std::move(copy);
        batches_ = other.batches_;
        return;
    }
    const std::uint64_t m = std::max(a.m, b.m), qq = q_ * q_, qp = q_ * p_;
    require_memory({size_product(size_product(m, q_ * (q_ + p_ + 1)), sizeof(double))});
    a.ztz.resize(m * qq, 0.0);
    a.ztx.resize(m * qp, 0.0);
    ra.zty.resize(m * q_, 0.0);
    a.m = m;
    for (std::uint64_t i = 0; i < b.ztz.size(); ++i) a.ztz[i] = a.ztz[i] + b.ztz[i];
    for (std::uint64_t i = 0; i < b.ztx.size(); ++i) a.ztx[i] = a.ztx[i] + b.ztx[i];
    for (std::uint64_t i = 0; i < rb.zty.size(); ++i) ra.zty[i] = ra.zty[i] + rb.zty[i];
    for (std::uint64_t i = 0; i < p_ * p_; ++i) a.xtx[i] = a.xtx[i] + b.xtx[i];
    for (std::uint64_t i = 0; i < p_; ++i) ra.xty[i] = ra.xty[i] + rb.xty[i];
    ra.yty = ra.yty + rb.yty;
    a.n += b.n;
    a.fingerprint_known = false;
    batches_ += other.batches_;
}

void Accumulator::replace(Products products, std::uint64_t batches) {
    products_ = std::move(products);
    batches_ = batches;
}

std::unique_ptr<LmmData> Accumulator::finish(EvaluatorKind requested, Schedule schedule) {
    Design& g = *products_.design;
    if (g.n == 0) throw InvalidInput("no rows were added");
    if (g.m == 0) throw InvalidInput("the products hold rows but no groups");
    if (transform_) {
        g.transform = transform_;
        g.transform->y_shift = 0.0;
        g.transform->y_scale = 1.0;
    }
    choose_kernel(products_, requested, schedule);
    auto out = std::make_unique<LmmData>(LmmData{std::move(products_.design), std::move(products_.response)});
    reset();
    return out;
}

}  // namespace corvane::lmm
