// One-pass construction of the prepared design.
//
// Two routes give the same bits. The sequential route walks the rows once,
// adding each row to the fixed-product partials of its chunk and to its
// group's blocks. The parallel route checks the codes in one pass, computes
// the fixed products by chunks on the pool, sorts the row indices by group
// (stably) and lets each pool task fill the blocks of a run of consecutive
// groups. Both add the rows of a group in ascending row order and both reduce
// the fixed-product chunks in chunk order, which is what makes them agree.
#include "lmm/lmm_data.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "lmm/errors.hpp"
#include "lmm/memory.hpp"
#include "parallel/pool.hpp"

namespace corvane::lmm {
namespace {

constexpr std::uint64_t kFoldMultiplier = 0x517cc1b727220a95ULL;

inline std::uint64_t fold_code(std::uint64_t h, std::int64_t code) {
    const std::uint64_t rotated = (h << 5) | (h >> 59);
    return (static_cast<std::uint64_t>(code) ^ rotated) * kFoldMultiplier;
}

inline bool code_in_range(std::int64_t code, std::uint64_t m) {
    return code >= 0 && static_cast<std::uint64_t>(code) < m;
}

// Work units of one row for X'X, X'y, y'y: p + p(p+1)/2 + 1.
std::uint64_t fixed_work(std::uint64_t p) { return p + p * (p + 1) / 2 + 1; }

// Work units of one row for its group's blocks: q + q*p + q(q+1)/2.
std::uint64_t row_work(std::uint64_t p, std::uint64_t q) { return q + q * p + q * (q + 1) / 2; }

// Adds row x_r (with response y_r) to chunk partials of X'y and, when
// with_xtx, the upper triangle of X'X.
inline void add_fixed_row(double y_r, const double* x_r, std::uint64_t p, double* xtx,
                          double* xty, bool with_xtx) {
    for (std::uint64_t k = 0; k < p; ++k) {
        const double x = x_r[k];
        xty[k] += y_r * x;
        if (with_xtx) {
            double* row = xtx + k * p;
            for (std::uint64_t l = k; l < p; ++l) row[l] += x * x_r[l];
        }
    }
}

// Adds one row to its group's blocks: Z'y, the upper triangle of Z'Z and Z'X.
// Q > 0 fixes q at compile time; the operations and their order are those of
// the general form (Q = 0), so both give the same bits.
template <std::uint64_t Q>
inline void add_group_row(double y_r, const double* x_r, const double* z_r, std::uint64_t p,
                          std::uint64_t q_dynamic, double* zg, double* xg, double* yg) {
    const std::uint64_t q = Q ? Q : q_dynamic;
    for (std::uint64_t k = 0; k < q; ++k) {
        const double t = z_r[k];
        yg[k] += y_r * t;
        for (std::uint64_t l = k; l < q; ++l) zg[k * q + l] += t * z_r[l];
        double* xrow = xg + k * p;
        for (std::uint64_t l = 0; l < p; ++l) xrow[l] += t * x_r[l];
    }
}

// Copies the upper triangle of a k x k row-major block into its lower one.
inline void mirror_upper(double* a, std::uint64_t k) {
    for (std::uint64_t i = 0; i < k; ++i)
        for (std::uint64_t j = 0; j < i; ++j) a[i * k + j] = a[j * k + i];
}

void allocate_blocks(LmmData& d, bool parallel_route) {
    const std::uint64_t m = d.m, p = d.p, q = d.q;
    const std::uint64_t qq = size_product(m, q * q), qp = size_product(m, q * p), mq = m * q;
    std::uint64_t extra = 0;
    if (parallel_route) {
        // group offsets, fill cursors, row order
        extra = size_product(size_product(m, 2) + 2 + d.n, sizeof(std::uint64_t));
    }
    require_memory({size_product(qq, sizeof(double)), size_product(qp, sizeof(double)),
                    size_product(mq, sizeof(double)), extra});
    d.xtx.assign(p * p, 0.0);
    d.xty.assign(p, 0.0);
    d.ztz.assign(qq, 0.0);
    d.ztx.assign(qp, 0.0);
    d.zty.assign(mq, 0.0);
}

template <std::uint64_t Q>
void sequential_route(LmmData& d, const RowsView& rows) {
    const std::uint64_t n = d.n, p = d.p, q = d.q, m = d.m;
    const std::uint64_t chunk = chunk_length(fixed_work(p));
    std::vector<double> part_xtx(p * p), part_xty(p);
    std::uint64_t h = n;
    double yty = 0.0;
    for (std::uint64_t start = 0; start < n; start += chunk) {
        const std::uint64_t end = std::min(n, start + chunk);
        std::fill(part_xtx.begin(), part_xtx.end(), 0.0);
        std::fill(part_xty.begin(), part_xty.end(), 0.0);
        double part_yty = 0.0;
        for (std::uint64_t r = start; r < end; ++r) {
            const double y_r = rows.y[r];
            const double* x_r = rows.x + r * p;
            add_fixed_row(y_r, x_r, p, part_xtx.data(), part_xty.data(), true);
            const std::int64_t code = rows.codes[r];
            if (!code_in_range(code, m)) throw InvalidInput(code_out_of_range_message(code, m));
            h = fold_code(h, code);
            const std::uint64_t g = static_cast<std::uint64_t>(code);
            add_group_row<Q>(y_r, x_r, rows.z + r * q, p, q, d.ztz.data() + g * q * q,
                             d.ztx.data() + g * q * p, d.zty.data() + g * q);
            part_yty += y_r * y_r;
        }
        for (std::uint64_t i = 0; i < p * p; ++i) d.xtx[i] += part_xtx[i];
        for (std::uint64_t i = 0; i < p; ++i) d.xty[i] += part_xty[i];
        yty += part_yty;
    }
    mirror_upper(d.xtx.data(), p);
    for (std::uint64_t g = 0; g < m; ++g) mirror_upper(d.ztz.data() + g * q * q, q);
    d.yty = yty;
    d.codes_fingerprint = h;
}

template <std::uint64_t Q>
void parallel_route(LmmData& d, const RowsView& rows, Schedule schedule) {
    const std::uint64_t n = d.n, p = d.p, q = d.q, m = d.m;

    // Codes: range check (first offender in row order), group sizes, fingerprint.
    std::vector<std::uint64_t> offsets(m + 1, 0);
    std::uint64_t h = n;
    for (std::uint64_t r = 0; r < n; ++r) {
        const std::int64_t code = rows.codes[r];
        if (!code_in_range(code, m)) throw InvalidInput(code_out_of_range_message(code, m));
        ++offsets[static_cast<std::uint64_t>(code) + 1];
        h = fold_code(h, code);
    }
    d.codes_fingerprint = h;

    FixedProducts fixed = fixed_products(rows.y, n, rows.x, p, true, schedule);
    d.xtx = std::move(fixed.xtx);
    d.xty = std::move(fixed.xty);
    d.yty = fixed.yty;

    // Stable counting sort of the row indices by group.
    for (std::uint64_t g = 0; g < m; ++g) offsets[g + 1] += offsets[g];
    std::vector<std::uint64_t> row_order(n);
    {
        std::vector<std::uint64_t> cursor(offsets.begin(), offsets.end() - 1);
        for (std::uint64_t r = 0; r < n; ++r)
            row_order[cursor[static_cast<std::uint64_t>(rows.codes[r])]++] = r;
    }

    // Runs of consecutive groups holding about R rows each.
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
        for (std::uint64_t g = run_starts[run]; g < run_starts[run + 1]; ++g) {
            double* zg = d.ztz.data() + g * q * q;
            double* xg = d.ztx.data() + g * q * p;
            double* yg = d.zty.data() + g * q;
            for (std::uint64_t k = offsets[g]; k < offsets[g + 1]; ++k) {
                const std::uint64_t r = row_order[k];
                add_group_row<Q>(rows.y[r], rows.x + r * p, rows.z + r * q, p, q, zg, xg, yg);
            }
            mirror_upper(zg, q);
        }
    });
}

template <std::uint64_t Q>
void fill(LmmData& d, const RowsView& rows, bool parallel_route_taken, Schedule schedule) {
    if (parallel_route_taken)
        parallel_route<Q>(d, rows, schedule);
    else
        sequential_route<Q>(d, rows);
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
            double yty = 0.0;
            const std::uint64_t end = std::min(n, (c + 1) * chunk);
            for (std::uint64_t r = c * chunk; r < end; ++r) {
                const double y_r = y[r];
                add_fixed_row(y_r, x + r * p, p, s.xtx.data(), s.xty.data(), with_xtx);
                yty += y_r * y_r;
            }
            s.yty = yty;
        },
        [&](std::uint64_t, const Partial& s) {
            for (std::uint64_t i = 0; i < xtx_len; ++i) out.xtx[i] += s.xtx[i];
            for (std::uint64_t i = 0; i < p; ++i) out.xty[i] += s.xty[i];
            out.yty += s.yty;
        });
    if (with_xtx) mirror_upper(out.xtx.data(), p);
    return out;
}

std::unique_ptr<LmmData> LmmData::from_rows(const RowsView& rows, std::uint64_t m,
                                            Schedule schedule) {
    auto d = std::make_unique<LmmData>();
    d->n = rows.n;
    d->p = rows.p;
    d->q = rows.q;
    d->m = m;
    d->theta_pairs = theta_index(rows.q);

    bool parallel = false;
    switch (schedule) {
        case Schedule::Sequential: parallel = false; break;
        case Schedule::Parallel: parallel = true; break;
        case Schedule::Auto:
            parallel = work_is_large(rows.n, row_work(rows.p, rows.q) + fixed_work(rows.p)) &&
                       parallel::thread_count() > 1;
            break;
    }
    allocate_blocks(*d, parallel);
    switch (rows.q) {
        case 1: fill<1>(*d, rows, parallel, schedule); break;
        case 2: fill<2>(*d, rows, parallel, schedule); break;
        case 3: fill<3>(*d, rows, parallel, schedule); break;
        default: fill<0>(*d, rows, parallel, schedule); break;
    }
    return d;
}

}  // namespace corvane::lmm
