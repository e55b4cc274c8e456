// One-pass construction of the prepared design.
//
// Two routes give the same bits. The sequential route walks the rows once,
// adding each row to the fixed-product partials of its chunk and to its
// group's blocks. The parallel route checks the codes in one pass while the
// fixed products run by chunks on the pool, then fills the group blocks on
// the pool: runs of consecutive groups when the rows come grouped, otherwise
// one range of groups per thread, each scanning all rows in order. Both
// routes add the rows of a group in ascending row order and reduce the
// fixed-product chunks in chunk order, which is what makes them agree.
#include "lmm/lmm_data.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <type_traits>

#include "lmm/errors.hpp"
#include "lmm/fixed_size.hpp"
#include "lmm/memory.hpp"
#include "lmm/prefetch.hpp"
#include "lmm/row_kernel_table.hpp"
#include "lmm/row_kernels.hpp"
#include "lmm/row_reader.hpp"
#include "parallel/interrupt.hpp"
#include "parallel/pool.hpp"

namespace corvane::lmm {
namespace {

inline bool code_in_range(std::int64_t code, std::uint64_t m) {
    return code >= 0 && static_cast<std::uint64_t>(code) < m;
}

// Rows between two interrupt checks in the passes over all rows.
constexpr std::uint64_t kRowsPerCheck = 65536;

// Rows not in group order take the parallel route only when the group blocks
// are at least this large. Each thread then pays a mispredicted branch for
// every row of the other threads' groups, which pays off only once the blocks
// outgrow the cache and a single pass waits on memory (measured on a 2-CPU
// machine: the parallel route wins from about 8 MB of blocks on, and is up
// to 3x slower below).
constexpr std::uint64_t kCachedBlockBytes = std::uint64_t{8} << 20;

// Work units of one row for X'X, X'y, y'y: p + p(p+1)/2 + 1.
std::uint64_t fixed_work(std::uint64_t p) { return p + p * (p + 1) / 2 + 1; }

// Work units of one row for its group's blocks: q + q*p + q(q+1)/2.
std::uint64_t row_work(std::uint64_t p, std::uint64_t q) { return q + q * p + q * (q + 1) / 2; }

// Where one pass over rows puts its results: the blocks of m groups (added
// into, so that batches of rows accumulate), this pass's own X'X, X'y and y'y
// (from zero), and the codes' fingerprint (the fold continued from its state
// before the pass).
struct Target {
    std::uint64_t n, p, q, m;  // rows of this pass; dimensions
    double* ztz;
    double* ztx;
    double* zty;
    FixedProducts fixed;
    std::uint64_t fingerprint;
};

void allocate_blocks(Design& g, Response& resp, bool parallel_route) {
    const std::uint64_t m = g.m, p = g.p, q = g.q;
    const std::uint64_t qq = size_product(m, q * q), qp = size_product(m, q * p), mq = m * q;
    std::uint64_t extra = 0;
    if (parallel_route) extra = size_product(m + 1, sizeof(std::uint64_t));  // group offsets
    // X'X, a chunk partial of it on the calling thread and one per pool
    // thread, and the theta layout.
    const std::uint64_t fixed =
        size_product(size_product(size_product(p, p), 2 + parallel::thread_count()), sizeof(double));
    const std::uint64_t layout = size_product(q * (q + 1) / 2, sizeof(ThetaPair));
    require_memory({size_product(qq, sizeof(double)), size_product(qp, sizeof(double)),
                    size_product(mq, sizeof(double)), extra, fixed, layout});
    g.xtx.assign(p * p, 0.0);
    resp.xty.assign(p, 0.0);
    g.ztz.clear();
    g.ztx.clear();
    resp.zty.clear();
    resize_blocks(g.ztz, qq);
    resize_blocks(g.ztx, qp);
    resize_blocks(resp.zty, mq);
}

// The transform of a pass's rows as the kernels read it.
struct TransformOf {
    RowTransformView view;
    const RowTransformView* ptr;
    explicit TransformOf(const RowTransform* t) : view(t ? view_of(*t) : RowTransformView{}), ptr(t ? &view : nullptr) {}
    TransformOf(const TransformOf&) = delete;  // ptr points into this object
    TransformOf& operator=(const TransformOf&) = delete;
};

template <std::uint64_t Q, std::uint64_t P, bool T>
void sequential_route(Target& d, const RowsView& view) {
    const std::uint64_t n = d.n, p = d.p, q = d.q, m = d.m;
    const TransformOf transform(view.transform);
    const RowReader<T, P, Q> rows(view.y, view.x, view.z, p, q, transform.ptr);
    RowBuffers<P, Q> buf(p, q);
    const std::uint64_t chunk = chunk_length(fixed_work(p));
    std::vector<double> part_xtx(p * p), part_xty(p);
    d.fixed.xtx.assign(p * p, 0.0);
    d.fixed.xty.assign(p, 0.0);
    std::uint64_t h = d.fingerprint;
    double yty = 0.0;
    for (std::uint64_t start = 0; start < n; start += chunk) {
        parallel::check_interrupt();
        const std::uint64_t end = std::min(n, start + chunk);
        double part_yty = 0.0;
        {
            // X'X and X'y partials of this chunk, in locals when p is fixed.
            constexpr std::uint64_t kLocal = P ? P : 1;
            double local_xtx[kLocal * kLocal] = {};
            double local_xty[kLocal] = {};
            double* acc_xtx = P ? local_xtx : part_xtx.data();
            double* acc_xty = P ? local_xty : part_xty.data();
            if (!P) {
                std::fill(part_xtx.begin(), part_xtx.end(), 0.0);
                std::fill(part_xty.begin(), part_xty.end(), 0.0);
            }
            for (std::uint64_t r = start; r < end; ++r) {
                if (r + kPrefetchRows < n) {
                    const std::int64_t ahead = view.codes[r + kPrefetchRows];
                    if (code_in_range(ahead, m)) {
                        const std::uint64_t a = static_cast<std::uint64_t>(ahead);
                        prefetch_for_write(d.ztz + a * q * q);
                        prefetch_for_write(d.ztx + a * q * p);
                        prefetch_for_write(d.zty + a * q);
                    }
                }
                const std::int64_t code = view.codes[r];
                if (!code_in_range(code, m)) throw InvalidInput(code_out_of_range_message(code, m));
                h = fold_code(h, code);
                const double* x_r = rows.x(r, buf.x.data());
                const double y_r = rows.y(r);
                add_fixed_row<P>(y_r, x_r, p, acc_xtx, acc_xty, true);
                add_group_row<Q, P>(y_r, x_r, rows.z(r, buf.z.data()), p, q,
                                    d.ztz + static_cast<std::uint64_t>(code) * q * q,
                                    d.ztx + static_cast<std::uint64_t>(code) * q * p,
                                    d.zty + static_cast<std::uint64_t>(code) * q);
                part_yty += y_r * y_r;
            }
            for (std::uint64_t i = 0; i < p * p; ++i) d.fixed.xtx[i] += acc_xtx[i];
            for (std::uint64_t i = 0; i < p; ++i) d.fixed.xty[i] += acc_xty[i];
        }
        yty += part_yty;
    }
    mirror_upper(d.fixed.xtx.data(), p);
    for (std::uint64_t g = 0; g < m; ++g) mirror_upper(d.ztz + g * q * q, q);
    d.fixed.yty = yty;
    d.fingerprint = h;
}

template <std::uint64_t Q, std::uint64_t P, bool T>
void parallel_route(Target& d, const RowsView& view, Schedule schedule) {
    const std::uint64_t n = d.n, p = d.p, q = d.q, m = d.m;
    const TransformOf transform(view.transform);
    const RowReader<T, P, Q> rows(view.y, view.x, view.z, p, q, transform.ptr);
    // The loops below on the vector unit where the machine has one.
    const RowKernelTable simd = P && Q ? vector_row_kernels(p, q, T) : RowKernelTable{};
    const RowKernelArgs args{view.y, view.x, view.z, p, q, transform.ptr};

    // The fixed products need nothing from the codes, so they run as one
    // task beside the codes pass and the group blocks; both tasks spread
    // their chunks over the pool, and idle threads help whichever is open.
    FixedProducts fixed;
    parallel::parallel_for(2, [&](std::size_t task) {
        if (task == 1) {
            fixed = fixed_products(view.y, n, view.x, p, true, schedule, view.transform);
            return;
        }
        // Codes: range check (first offender in row order), group sizes,
        // fingerprint, and whether the rows already come grouped.
        std::vector<std::uint64_t> offsets(m + 1, 0);
        std::uint64_t h = d.fingerprint;
        bool grouped = true;
        std::int64_t previous = 0;
        for (std::uint64_t r = 0; r < n; ++r) {
            if (r % kRowsPerCheck == 0) parallel::check_interrupt();
            const std::int64_t code = view.codes[r];
            if (!code_in_range(code, m)) throw InvalidInput(code_out_of_range_message(code, m));
            ++offsets[static_cast<std::uint64_t>(code) + 1];
            h = fold_code(h, code);
            grouped = grouped && code >= previous;
            previous = code;
        }
        d.fingerprint = h;
        for (std::uint64_t g = 0; g < m; ++g) offsets[g + 1] += offsets[g];

        if (!grouped) {
            // Rows in no particular group order: cut the groups into one
            // range of about equal rows per pool thread; each range's task
            // scans all the rows in order and adds those of its own groups
            // straight into their blocks. Every group still receives its rows
            // in ascending row order, whatever the cut, and the rows are read
            // as streams instead of being gathered one by one.
            const std::uint64_t parts = std::max<std::uint64_t>(1, std::min(parallel::thread_count(), m));
            std::vector<std::uint64_t> bounds{0};
            for (std::uint64_t k = 1; k < parts; ++k) {
                const std::uint64_t want = n / parts * k;
                const auto at = std::lower_bound(offsets.begin() + bounds.back(), offsets.end() - 1, want);
                bounds.push_back(static_cast<std::uint64_t>(at - offsets.begin()));
            }
            bounds.push_back(m);
            parallel::parallel_for(parts, [&](std::size_t part) {
                const std::uint64_t lo = bounds[part], hi = bounds[part + 1];
                // This range's rows, a slice of rows at a time: first their
                // indices (without branches: the codes are in no order), then
                // the rows themselves in ascending order, each group's blocks
                // requested a few rows ahead.
                std::vector<std::uint32_t> mine(std::min<std::uint64_t>(n, kRowsPerCheck));
                for (std::uint64_t start = 0; start < n; start += kRowsPerCheck) {
                    parallel::check_interrupt();
                    const std::uint64_t end = std::min(n, start + kRowsPerCheck);
                    std::uint64_t count = 0;
                    for (std::uint64_t r = start; r < end; ++r) {
                        const std::uint64_t g = static_cast<std::uint64_t>(view.codes[r]);
                        mine[count] = static_cast<std::uint32_t>(r - start);
                        count += (g >= lo) & (g < hi);
                    }
                    if (simd.listed)
                        simd.listed(args, view.codes, start, mine.data(), count, d.ztz, d.ztx, d.zty);
                    else
                        add_listed_rows<Q, P, T>(rows, view.codes, start, mine.data(), count, d.ztz, d.ztx, d.zty);
                }
                for (std::uint64_t g = lo; g < hi; ++g) mirror_upper(d.ztz + g * q * q, q);
            });
            return;
        }

        // Runs of consecutive groups holding about `target` rows each; the
        // rows of each group are consecutive.
        const std::uint64_t target = std::max<std::uint64_t>(
            kMinChunk, kChunkWork / std::max<std::uint64_t>(1, row_work(p, q)));
        std::vector<std::uint64_t> run_starts;
        for (std::uint64_t i = 0; i < m;) {
            run_starts.push_back(i);
            std::uint64_t j = i + 1;
            while (j < m && offsets[j] - offsets[i] < target) ++j;
            i = j;
        }
        run_starts.push_back(m);

        parallel::parallel_for(run_starts.size() - 1, [&](std::size_t run) {
            parallel::check_interrupt();
            if (simd.runs)
                simd.runs(args, offsets.data(), run_starts[run], run_starts[run + 1], d.ztz, d.ztx, d.zty);
            else
                add_group_runs<Q, P, T>(rows, offsets.data(), run_starts[run], run_starts[run + 1], d.ztz, d.ztx,
                                        d.zty);
        });
    });
    d.fixed = std::move(fixed);
}

void fill(Target& d, const RowsView& rows, bool parallel_route_taken, Schedule schedule) {
    with_q(d.q, false, [&](auto q_fixed) {
        with_p(d.p, [&](auto p_fixed) {
            constexpr std::uint64_t Q = decltype(q_fixed)::value, P = decltype(p_fixed)::value;
            if (rows.transform) {
                if (parallel_route_taken)
                    parallel_route<Q, P, true>(d, rows, schedule);
                else
                    sequential_route<Q, P, true>(d, rows);
            } else {
                if (parallel_route_taken)
                    parallel_route<Q, P, false>(d, rows, schedule);
                else
                    sequential_route<Q, P, false>(d, rows);
            }
        });
    });
}

// Whether a pass over these rows takes the parallel route: enough work, a
// pool, and rows in group order or group blocks too large for the cache.
bool parallel_route_for(const RowsView& rows, std::uint64_t m, Schedule schedule) {
    switch (schedule) {
        case Schedule::Sequential: return false;
        case Schedule::Parallel: return true;
        case Schedule::Auto: break;
    }
    return work_is_large(rows.n, row_work(rows.p, rows.q) + fixed_work(rows.p)) &&
           parallel::thread_count() > 1 &&
           (m * rows.q * (rows.q + rows.p + 1) * sizeof(double) >= kCachedBlockBytes ||
            std::is_sorted(rows.codes, rows.codes + rows.n));
}

}  // namespace

std::string code_out_of_range_message(std::int64_t code, std::uint64_t m) {
    return "group code " + std::to_string(code) + " out of range 0.." + std::to_string(m);
}

std::uint64_t codes_fingerprint(const std::int64_t* codes, std::uint64_t n) {
    std::uint64_t h = n;
    for (std::uint64_t r = 0; r < n; ++r) h = fold_code(h, codes[r]);
    return h;
}

std::vector<ThetaPair> theta_index(std::uint64_t q) {
    std::vector<ThetaPair> pairs;
    pairs.reserve(q * (q + 1) / 2);
    for (std::uint64_t j = 0; j < q; ++j)
        for (std::uint64_t k = j; k < q; ++k) pairs.push_back({k, j});
    return pairs;
}

FixedProducts fixed_products(const double* y, std::uint64_t n, const double* x, std::uint64_t p,
                             bool with_xtx, Schedule schedule, const RowTransform* transform) {
    const std::uint64_t work = fixed_work(p);
    const std::uint64_t chunk = chunk_length(work);
    const std::uint64_t n_chunks = chunk_count(n, chunk);
    const bool parallel = go_parallel(schedule, n, chunk, work);

    struct Partial {
        std::vector<double> xtx, xty;
        double yty = 0.0;
    };
    const std::uint64_t xtx_len = with_xtx ? p * p : 0;
    std::vector<Partial> slots(
        parallel ? reduce_slots(n_chunks, (xtx_len + p + 1) * sizeof(double)) : 1);
    for (Partial& s : slots) {
        s.xtx.resize(xtx_len);
        s.xty.resize(p);
    }

    FixedProducts out;
    out.xtx.assign(p * p, 0.0);
    out.xty.assign(p, 0.0);
    const TransformOf tv(transform);
    const RowKernelTable simd = vector_row_kernels(p, 1, transform != nullptr);
    const RowKernelArgs args{y, x, nullptr, p, 0, tv.ptr};
    chunked_reduce(
        n_chunks, parallel, slots,
        [&](std::uint64_t c, Partial& s) {
            std::fill(s.xtx.begin(), s.xtx.end(), 0.0);
            std::fill(s.xty.begin(), s.xty.end(), 0.0);
            const std::uint64_t end = std::min(n, (c + 1) * chunk);
            if (simd.fixed) {
                s.yty = simd.fixed(args, c * chunk, end, s.xtx.data(), s.xty.data(), with_xtx);
                return;
            }
            s.yty = with_p(p, [&](auto fixed_p) {
                constexpr std::uint64_t P = decltype(fixed_p)::value;
                if (tv.ptr)
                    return fixed_chunk<P, true>(RowReader<true, P>(y, x, nullptr, p, 0, tv.ptr), p, c * chunk, end,
                                                s.xtx.data(), s.xty.data(), with_xtx);
                return fixed_chunk<P, false>(RowReader<false, P>(y, x, nullptr, p, 0, nullptr), p, c * chunk, end,
                                             s.xtx.data(), s.xty.data(), with_xtx);
            });
        },
        [&](std::uint64_t, const Partial& s) {
            for (std::uint64_t i = 0; i < xtx_len; ++i) out.xtx[i] += s.xtx[i];
            for (std::uint64_t i = 0; i < p; ++i) out.xty[i] += s.xty[i];
            out.yty += s.yty;
        });
    if (with_xtx) mirror_upper(out.xtx.data(), p);
    return out;
}

Products products_from_rows(const RowsView& rows, std::uint64_t m, Schedule schedule) {
    Products out{std::make_shared<Design>(), Response{}};
    Design& g = *out.design;
    g.n = rows.n;
    g.p = rows.p;
    g.q = rows.q;
    g.m = m;
    const bool parallel = parallel_route_for(rows, m, schedule);
    allocate_blocks(g, out.response, parallel);
    g.theta_pairs = theta_index(rows.q);
    Target t{rows.n, rows.p, rows.q, m, g.ztz.data(), g.ztx.data(), out.response.zty.data(), {}, rows.n};
    fill(t, rows, parallel, schedule);
    g.xtx = std::move(t.fixed.xtx);
    out.response.xty = std::move(t.fixed.xty);
    out.response.yty = t.fixed.yty;
    g.codes_fingerprint = t.fingerprint;
    return out;
}

void accumulate_rows(Products& into, const RowsView& rows, std::uint64_t m, Schedule schedule) {
    Design& g = *into.design;
    Response& resp = into.response;
    const std::uint64_t p = g.p, q = g.q;
    if (m > g.m) {
        // More groups: the new ones start with zero blocks.
        require_memory({size_product(size_product(m, q * (q + p + 1)), sizeof(double))});
        resize_blocks(g.ztz, size_product(m, q * q));
        resize_blocks(g.ztx, size_product(m, q * p));
        resize_blocks(resp.zty, m * q);
        g.m = m;
    }
    const bool parallel = parallel_route_for(rows, m, schedule);
    Target t{rows.n, p, q, g.m, g.ztz.data(), g.ztx.data(), resp.zty.data(), {}, g.codes_fingerprint};
    fill(t, rows, parallel, schedule);
    if (g.n == 0) {
        g.xtx = std::move(t.fixed.xtx);
        resp.xty = std::move(t.fixed.xty);
        resp.yty = t.fixed.yty;
    } else {
        for (std::uint64_t i = 0; i < p * p; ++i) g.xtx[i] = g.xtx[i] + t.fixed.xtx[i];
        for (std::uint64_t i = 0; i < p; ++i) resp.xty[i] = resp.xty[i] + t.fixed.xty[i];
        resp.yty = resp.yty + t.fixed.yty;
    }
    g.n += rows.n;
    g.codes_fingerprint = t.fingerprint;
}

std::unique_ptr<LmmData> LmmData::from_rows(const RowsView& rows, std::uint64_t m,
                                            Schedule schedule) {
    Products products = products_from_rows(rows, m, schedule);
    return std::make_unique<LmmData>(LmmData{std::move(products.design), std::move(products.response)});
}

}  // namespace corvane::lmm
