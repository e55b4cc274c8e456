#include "lmm/accumulator.hpp"

#include <algorithm>
#include <memory>
#include <string>

#include "lmm/errors.hpp"
#include "lmm/memory.hpp"
#include "lmm/schedule.hpp"
#include "parallel/interrupt.hpp"

namespace corvane::lmm {
namespace {

bool same_transform(const std::optional<RowTransform>& a, const std::optional<RowTransform>& b) {
    if (a.has_value() != b.has_value()) return false;
    if (!a) return true;
    return a->y_shift == b->y_shift && a->y_scale == b->y_scale && a->y_coef == b->y_coef && a->x_shift == b->x_shift &&
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

void Accumulator::add_columns(const ColumnsView& c, Schedule schedule) {
    if (c.x.size() != p_ || c.z.size() != q_)
        throw InvalidInput("X must have " + std::to_string(p_) + " columns and Z " + std::to_string(q_) + ", got " +
                           std::to_string(c.x.size()) + " and " + std::to_string(c.z.size()));
    // Kept rows per chunk of rows, then each chunk's rows written from its
    // offset among the kept ones: the order of the rows is kept.
    constexpr std::uint64_t kChunk = 1 << 15;
    const std::uint64_t n_chunks = chunk_count(c.n, kChunk);
    const bool parallel = c.n > 4 * kChunk && parallel::thread_count() > 1;
    std::vector<std::uint64_t> start(n_chunks + 1, 0);
    for_each_chunk(n_chunks, parallel, [&](std::uint64_t k) {
        const std::uint64_t a = k * kChunk, b = std::min(c.n, a + kChunk);
        std::uint64_t kept = b - a;
        if (c.keep) {
            kept = 0;
            for (std::uint64_t r = a; r < b; ++r) kept += c.keep[r] != 0;
        }
        start[k + 1] = kept;
    });
    for (std::uint64_t k = 0; k < n_chunks; ++k) start[k + 1] += start[k];
    const std::uint64_t n = start[n_chunks];
    require_memory({size_product(size_product(n, p_ + q_ + 2), sizeof(double))});
    // Every entry is written below before it is read.
    std::vector<double>& values = gathered_.values;
    std::vector<std::int64_t>& codes_buffer = gathered_.codes;
    // Grown on whole huge pages where the system has them: a fresh buffer
    // of many megabytes is otherwise faulted in 4 KiB at a time.
    if (values.size() < n * (1 + p_ + q_)) resize_blocks(values, n * (1 + p_ + q_));
    if (codes_buffer.size() < n) codes_buffer.resize(n);
    double* y = values.data();
    double* x = y + n;
    double* z = x + n * p_;
    std::int64_t* codes = codes_buffer.data();
    for_each_chunk(n_chunks, parallel, [&](std::uint64_t k) {
        const std::uint64_t a = k * kChunk, b = std::min(c.n, a + kChunk);
        std::uint64_t o = start[k];
        for (std::uint64_t r = a; r < b; ++r) {
            if (c.keep && c.keep[r] == 0) continue;
            y[o] = c.y[r];
            codes[o] = c.codes[r];
            double* xr = x + o * p_;
            for (std::uint64_t j = 0; j < p_; ++j) xr[j] = c.x[j] ? c.x[j][r] : 1.0;
            double* zr = z + o * q_;
            for (std::uint64_t j = 0; j < q_; ++j) zr[j] = c.z[j] ? c.z[j][r] : 1.0;
            ++o;
        }
    });
    RowsView rows;
    rows.y = y;
    rows.x = x;
    rows.z = z;
    rows.codes = codes;
    rows.n = n;
    rows.p = p_;
    rows.q = q_;
    add(rows, schedule);
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

void Accumulator::select(const std::vector<std::uint64_t>& groups, const std::vector<std::uint64_t>& columns) {
    Design& g = *products_.design;
    Response& r = products_.response;
    const std::uint64_t m = g.m, p = p_, q = q_;
    const auto text = [](std::uint64_t v) { return std::to_string(v); };

    // Every argument is checked before anything changes.
    if (columns.empty()) throw InvalidInput("columns must hold at least one column of X");
    for (std::uint64_t k = 0; k < columns.size(); ++k) {
        if (columns[k] >= p)
            throw InvalidInput("columns[" + text(k) + "] = " + text(columns[k]) + " is out of range for " + text(p) +
                               " columns of X");
        if (k > 0 && columns[k] <= columns[k - 1])
            throw InvalidInput("columns must be strictly increasing: columns[" + text(k) + "] = " + text(columns[k]) +
                               " follows " + text(columns[k - 1]));
    }
    std::int64_t x_ref = -1;
    if (transform_ && transform_->x_ref >= 0) {
        const auto ref = static_cast<std::uint64_t>(transform_->x_ref);
        const auto at = std::lower_bound(columns.begin(), columns.end(), ref);
        if (at == columns.end() || *at != ref)
            throw InvalidInput("columns must keep the transform's reference column x_ref = " + text(ref));
        x_ref = at - columns.begin();
    }
    std::vector<char> seen(m, 0);
    for (std::uint64_t k = 0; k < groups.size(); ++k) {
        const std::uint64_t i = groups[k];
        if (i >= m)
            throw InvalidInput("groups[" + text(k) + "] = " + text(i) + " is out of range for " + text(m) + " groups");
        if (seen[i]) throw InvalidInput("groups holds group " + text(i) + " twice (again at groups[" + text(k) + "])");
        seen[i] = 1;
    }

    const std::uint64_t mm = groups.size(), pp = columns.size(), qq = q * q;
    bool same_groups = mm == m;
    for (std::uint64_t k = 0; same_groups && k < mm; ++k) same_groups = groups[k] == k;
    // Strictly increasing and below p: p of them are all the columns.
    const bool same_columns = pp == p;
    if (same_groups && same_columns) return;

    // The new products are built beside the old ones and swapped in at the
    // end, so an allocation failure or an interrupt leaves them as they were.
    require_memory({size_product(size_product(mm, q * (q + pp + 1)), sizeof(double)),
                    size_product(size_product(pp, pp + 1), sizeof(double))});
    std::vector<double> ztz, zty, ztx, xtx, xty;
    if (!same_groups) {
        ztz.resize(mm * qq);
        zty.resize(mm * q);
        for (std::uint64_t k = 0; k < mm; ++k) {
            if (k % 65536 == 0) parallel::check_interrupt();
            std::copy_n(g.ztz_of(groups[k]), qq, ztz.data() + k * qq);
            std::copy_n(products_.zty_of(groups[k]), q, zty.data() + k * q);
        }
    }
    ztx.resize(mm * q * pp);
    for (std::uint64_t k = 0; k < mm; ++k) {
        if (k % 65536 == 0) parallel::check_interrupt();
        const double* from = g.ztx_of(groups[k]);
        double* to = ztx.data() + k * q * pp;
        for (std::uint64_t a = 0; a < q; ++a)
            for (std::uint64_t j = 0; j < pp; ++j) to[a * pp + j] = from[a * p + columns[j]];
    }
    std::optional<RowTransform> transform = transform_;
    if (!same_columns) {
        xtx.resize(pp * pp);
        xty.resize(pp);
        for (std::uint64_t i = 0; i < pp; ++i) {
            for (std::uint64_t j = 0; j < pp; ++j) xtx[i * pp + j] = g.xtx[columns[i] * p + columns[j]];
            xty[i] = r.xty[columns[i]];
        }
        if (transform) {
            std::vector<double> shift(pp), scale(pp);
            for (std::uint64_t j = 0; j < pp; ++j) {
                shift[j] = transform->x_shift[columns[j]];
                scale[j] = transform->x_scale[columns[j]];
            }
            transform->x_shift = std::move(shift);
            transform->x_scale = std::move(scale);
            transform->x_ref = x_ref;
            if (!transform->y_coef.empty()) {
                std::vector<double> coef(pp);
                for (std::uint64_t j = 0; j < pp; ++j) coef[j] = transform->y_coef[columns[j]];
                transform->y_coef = std::move(coef);
            }
        }
    }

    // Nothing below throws.
    g.ztx.swap(ztx);
    if (!same_groups) {
        g.ztz.swap(ztz);
        r.zty.swap(zty);
        // The fingerprint folds the codes in row order; renumbered groups no
        // longer match the codes the rows carried.
        g.fingerprint_known = false;
    }
    if (!same_columns) {
        g.xtx.swap(xtx);
        r.xty.swap(xty);
        transform_.swap(transform);
    }
    g.m = mm;
    g.p = pp;
    p_ = pp;
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
        g.transform->y_coef.clear();
    }
    choose_kernel(products_, requested, schedule);
    auto out = std::make_unique<LmmData>(LmmData{std::move(products_.design), std::move(products_.response)});
    reset();
    return out;
}

}  // namespace corvane::lmm
