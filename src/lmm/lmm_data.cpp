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
#include <cstring>
#include <string>
#include <type_traits>

#include "lmm/errors.hpp"
#include "lmm/fixed_size.hpp"
#include "lmm/memory.hpp"
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

// Row kernels. Q and P > 0 fix q and p at compile time so the loops unroll
// and the accumulators can live in registers; 0 takes them at run time. Each
// accumulator receives exactly the same products in the same row order in
// every form, so all forms give the same bits. The fixed forms update whole
// rows of the symmetric products (they vectorise); the extra lower-triangle
// accumulators are independent of the upper ones and are overwritten by the
// final mirror step.

// Adds row x_r (with response y_r) to partials of X'y and, when with_xtx, of
// X'X (upper triangle at least).
template <std::uint64_t P>
inline void add_fixed_row(double y_r, const double* x_r, std::uint64_t p_dynamic, double* xtx,
                          double* xty, bool with_xtx) {
    const std::uint64_t p = P ? P : p_dynamic;
    for (std::uint64_t k = 0; k < p; ++k) {
        const double x = x_r[k];
        xty[k] += y_r * x;
        if (with_xtx) {
            double* row = xtx + k * p;
            for (std::uint64_t l = (P ? 0 : k); l < p; ++l) row[l] += x * x_r[l];
        }
    }
}

// Adds one row to a group's blocks: Z'y, Z'Z (upper triangle at least), Z'X.
template <std::uint64_t Q, std::uint64_t P>
inline void add_group_row(double y_r, const double* x_r, const double* z_r, std::uint64_t p_dynamic,
                          std::uint64_t q_dynamic, double* zg, double* xg, double* yg) {
    const std::uint64_t q = Q ? Q : q_dynamic;
    const std::uint64_t p = P ? P : p_dynamic;
    for (std::uint64_t k = 0; k < q; ++k) {
        const double t = z_r[k];
        yg[k] += y_r * t;
        for (std::uint64_t l = (Q ? 0 : k); l < q; ++l) zg[k * q + l] += t * z_r[l];
        double* xrow = xg + k * p;
        for (std::uint64_t l = 0; l < p; ++l) xrow[l] += t * x_r[l];
    }
}

// The design and the response while construction fills them.
struct Building {
    Design& g;
    Response& r;
};

// Adds row r to the blocks of its group g.
template <std::uint64_t Q, std::uint64_t P>
inline void add_row_to_group(Building& d, const RowsView& rows, std::uint64_t r, std::uint64_t g) {
    const std::uint64_t p = P ? P : d.g.p, q = Q ? Q : d.g.q;
    add_group_row<Q, P>(rows.y[r], rows.x + r * p, rows.z + r * q, p, q, d.g.ztz.data() + g * q * q,
                        d.g.ztx.data() + g * q * p, d.r.zty.data() + g * q);
}

// Rows [begin, end) into zeroed partials of X'X and X'y (kept in locals when p
// is fixed); returns the chunk's y'y.
template <std::uint64_t P>
double fixed_chunk(const double* y, const double* x, std::uint64_t p, std::uint64_t begin,
                   std::uint64_t end, double* xtx, double* xty, bool with_xtx) {
    double yty = 0.0;
    if constexpr (P != 0) {
        double acc_xtx[P * P] = {};
        double acc_xty[P] = {};
        for (std::uint64_t r = begin; r < end; ++r) {
            const double y_r = y[r];
            add_fixed_row<P>(y_r, x + r * P, P, acc_xtx, acc_xty, with_xtx);
            yty += y_r * y_r;
        }
        if (with_xtx) std::copy_n(acc_xtx, P * P, xtx);
        std::copy_n(acc_xty, P, xty);
    } else {
        for (std::uint64_t r = begin; r < end; ++r) {
            const double y_r = y[r];
            add_fixed_row<P>(y_r, x + r * p, p, xtx, xty, with_xtx);
            yty += y_r * y_r;
        }
    }
    return yty;
}

// Copies the upper triangle of a k x k row-major block into its lower one.
inline void mirror_upper(double* a, std::uint64_t k) {
    for (std::uint64_t i = 0; i < k; ++i)
        for (std::uint64_t j = 0; j < i; ++j) a[i * k + j] = a[j * k + i];
}

void allocate_blocks(Building& d, bool parallel_route) {
    const std::uint64_t m = d.g.m, p = d.g.p, q = d.g.q;
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
    d.g.xtx.assign(p * p, 0.0);
    d.r.xty.assign(p, 0.0);
    d.g.ztz.assign(qq, 0.0);
    d.g.ztx.assign(qp, 0.0);
    d.r.zty.assign(mq, 0.0);
}

template <std::uint64_t Q, std::uint64_t P>
void sequential_route(Building& d, const RowsView& rows) {
    const std::uint64_t n = d.g.n, p = d.g.p, q = d.g.q, m = d.g.m;
    const std::uint64_t chunk = chunk_length(fixed_work(p));
    std::vector<double> part_xtx(p * p), part_xty(p);
    std::uint64_t h = n;
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
                const double y_r = rows.y[r];
                const double* x_r = rows.x + r * p;
                add_fixed_row<P>(y_r, x_r, p, acc_xtx, acc_xty, true);
                const std::int64_t code = rows.codes[r];
                if (!code_in_range(code, m)) throw InvalidInput(code_out_of_range_message(code, m));
                h = fold_code(h, code);
                add_row_to_group<Q, P>(d, rows, r, static_cast<std::uint64_t>(code));
                part_yty += y_r * y_r;
            }
            for (std::uint64_t i = 0; i < p * p; ++i) d.g.xtx[i] += acc_xtx[i];
            for (std::uint64_t i = 0; i < p; ++i) d.r.xty[i] += acc_xty[i];
        }
        yty += part_yty;
    }
    mirror_upper(d.g.xtx.data(), p);
    for (std::uint64_t g = 0; g < m; ++g) mirror_upper(d.g.ztz.data() + g * q * q, q);
    d.r.yty = yty;
    d.g.codes_fingerprint = h;
}

template <std::uint64_t Q, std::uint64_t P>
void parallel_route(Building& d, const RowsView& rows, Schedule schedule) {
    const std::uint64_t n = d.g.n, p = d.g.p, q = d.g.q, m = d.g.m;

    // The fixed products need nothing from the codes, so they run as one
    // task beside the codes pass and the group blocks; both tasks spread
    // their chunks over the pool, and idle threads help whichever is open.
    FixedProducts fixed;
    parallel::parallel_for(2, [&](std::size_t task) {
        if (task == 1) {
            fixed = fixed_products(rows.y, n, rows.x, p, true, schedule);
            return;
        }
        // Codes: range check (first offender in row order), group sizes,
        // fingerprint, and whether the rows already come grouped.
        std::vector<std::uint64_t> offsets(m + 1, 0);
        std::uint64_t h = n;
        bool grouped = true;
        std::int64_t previous = 0;
        for (std::uint64_t r = 0; r < n; ++r) {
            if (r % kRowsPerCheck == 0) parallel::check_interrupt();
            const std::int64_t code = rows.codes[r];
            if (!code_in_range(code, m)) throw InvalidInput(code_out_of_range_message(code, m));
            ++offsets[static_cast<std::uint64_t>(code) + 1];
            h = fold_code(h, code);
            grouped = grouped && code >= previous;
            previous = code;
        }
        d.g.codes_fingerprint = h;
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
                for (std::uint64_t r = 0; r < n; ++r) {
                    if (r % kRowsPerCheck == 0) parallel::check_interrupt();
                    const std::uint64_t g = static_cast<std::uint64_t>(rows.codes[r]);
                    if (g < lo || g >= hi) continue;
                    add_row_to_group<Q, P>(d, rows, r, g);
                }
                for (std::uint64_t g = lo; g < hi; ++g) mirror_upper(d.g.ztz.data() + g * q * q, q);
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
            for (std::uint64_t g = run_starts[run]; g < run_starts[run + 1]; ++g)
                for (std::uint64_t r = offsets[g]; r < offsets[g + 1]; ++r) add_row_to_group<Q, P>(d, rows, r, g);
            for (std::uint64_t g = run_starts[run]; g < run_starts[run + 1]; ++g)
                mirror_upper(d.g.ztz.data() + g * q * q, q);
        });
    });
    d.g.xtx = std::move(fixed.xtx);
    d.r.xty = std::move(fixed.xty);
    d.r.yty = fixed.yty;
}

void fill(Building& d, const RowsView& rows, bool parallel_route_taken, Schedule schedule) {
    with_q(d.g.q, false, [&](auto q_fixed) {
        with_p(d.g.p, [&](auto p_fixed) {
            constexpr std::uint64_t Q = decltype(q_fixed)::value, P = decltype(p_fixed)::value;
            if (parallel_route_taken)
                parallel_route<Q, P>(d, rows, schedule);
            else
                sequential_route<Q, P>(d, rows);
        });
    });
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
                             bool with_xtx, Schedule schedule) {
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
    chunked_reduce(
        n_chunks, parallel, slots,
        [&](std::uint64_t c, Partial& s) {
            std::fill(s.xtx.begin(), s.xtx.end(), 0.0);
            std::fill(s.xty.begin(), s.xty.end(), 0.0);
            const std::uint64_t end = std::min(n, (c + 1) * chunk);
            s.yty = with_p(p, [&](auto fixed_p) {
                return fixed_chunk<decltype(fixed_p)::value>(y, x, p, c * chunk, end, s.xtx.data(),
                                                            s.xty.data(), with_xtx);
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
    Building d{*out.design, out.response};
    d.g.n = rows.n;
    d.g.p = rows.p;
    d.g.q = rows.q;
    d.g.m = m;

    bool parallel = false;
    switch (schedule) {
        case Schedule::Sequential: parallel = false; break;
        case Schedule::Parallel: parallel = true; break;
        case Schedule::Auto:
            parallel = work_is_large(rows.n, row_work(rows.p, rows.q) + fixed_work(rows.p)) &&
                       parallel::thread_count() > 1 &&
                       (m * rows.q * (rows.q + rows.p + 1) * sizeof(double) >= kCachedBlockBytes ||
                        std::is_sorted(rows.codes, rows.codes + rows.n));
            break;
    }
    allocate_blocks(d, parallel);
    d.g.theta_pairs = theta_index(rows.q);
    fill(d, rows, parallel, schedule);
    return out;
}

std::unique_ptr<LmmData> LmmData::from_rows(const RowsView& rows, std::uint64_t m,
                                            Schedule schedule) {
    Products products = products_from_rows(rows, m, schedule);
    return std::make_unique<LmmData>(LmmData{std::move(products.design), std::move(products.response)});
}

}  // namespace corvane::lmm
