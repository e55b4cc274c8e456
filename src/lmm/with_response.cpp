// A new response on a prepared design. The design part is shared, never
// copied; only the response's products are computed: X'y and y'y by the
// chunks of fixed_products, every Z_i'y_i group by group with each group's
// rows in ascending order, and (with classes) the class response sums. The
// operations and their order are those of construction, so a core with a new
// response gives the bits of a core built from scratch on it.
//
// The passes over the rows run beside each other on the pool when the work is
// large: X'y and y'y by chunks, and one pass over the codes (range check,
// fingerprint, Z_i'y_i; the per-group state is only q values, which stay in
// the cache whatever the order of the rows).
#include <algorithm>
#include <string>

#include "lmm/errors.hpp"
#include "lmm/lmm_data.hpp"
#include "lmm/memory.hpp"
#include "lmm/row_reader.hpp"
#include "parallel/interrupt.hpp"
#include "parallel/pool.hpp"

namespace corvane::lmm {
namespace {

constexpr std::uint64_t kRowsPerCheck = 65536;

// What the pass over the codes finds.
struct CodesPass {
    std::uint64_t fingerprint = 0;
    bool in_range = true;
    std::int64_t first_bad = 0;  // the first code out of range, in row order
};

// One pass in row order: range check and fingerprint of the codes, and
// y_r * z_r added to the Z'y block of each row's group (so every group gets
// its rows in ascending order). The fingerprint's chain of multiplications
// sets the pace; the additions fill the gaps.
CodesPass codes_and_zty(const RowsView& rows, std::uint64_t m, std::uint64_t q, std::uint64_t seed,
                        double* zty) {
    CodesPass out;
    std::uint64_t h = seed;
    const RowTransform* t = rows.transform;
    // Z transformed as construction transforms it; y is the new response as given.
    const RowTransformView tv = t ? view_of(*t) : RowTransformView{};
    const RowReader<true> reader(rows.y, rows.x, rows.z, rows.p, q, t ? &tv : nullptr);
    RowBuffer<0> zbuf(q);
    for (std::uint64_t r = 0; r < rows.n; ++r) {
        if (r % kRowsPerCheck == 0) parallel::check_interrupt();
        const std::int64_t code = rows.codes[r];
        h = fold_code(h, code);
        if (code < 0 || static_cast<std::uint64_t>(code) >= m) {
            if (out.in_range) out.first_bad = code;
            out.in_range = false;
            continue;
        }
        const double y_r = rows.y[r];
        const double* z_r = t ? reader.z(r, zbuf.data()) : rows.z + r * q;
        double* yg = zty + static_cast<std::uint64_t>(code) * q;
        for (std::uint64_t k = 0; k < q; ++k) yg[k] += y_r * z_r[k];
    }
    out.fingerprint = h;
    return out;
}

}  // namespace

std::unique_ptr<LmmData> LmmData::with_response(const RowsView& given, Schedule schedule) const {
    const Design& g = *design;
    const std::uint64_t n = g.n, p = g.p, q = g.q, m = g.m;
    if (given.n != n || given.p != p || given.q != q) {
        throw InvalidInput("the prepared design has " + std::to_string(n) + " rows, " + std::to_string(p) +
                           " fixed and " + std::to_string(q) +
                           " random columns; the arrays passed do not match it");
    }
    if (!g.fingerprint_known)
        throw InvalidInput("the design was merged from separately accumulated parts, so the group codes "
                           "cannot be checked and a new response cannot be added");
    // X and Z enter as they did at construction; y as it is given.
    RowsView rows = given;
    rows.transform = g.transform ? &*g.transform : nullptr;
    const std::uint64_t seed = g.fingerprint_from_zero ? 0 : n;
    require_memory({size_product(size_product(m, q), sizeof(double))});
    auto out = std::make_unique<LmmData>();
    out->design = design;
    Response& r = out->response;
    r.zty.assign(m * q, 0.0);

    bool parallel = false;
    switch (schedule) {
        case Schedule::Sequential: parallel = false; break;
        case Schedule::Parallel: parallel = true; break;
        case Schedule::Auto: parallel = work_is_large(n, p + q + 2) && parallel::thread_count() > 1; break;
    }

    // Codes are range-checked before they index anything, also when they
    // match the fingerprint: a collision must not read out of bounds. The
    // codes pass and X'y run beside each other (X'y spreads its chunks over
    // the pool; idle threads help it).
    CodesPass codes;
    FixedProducts fixed;
    if (!parallel) {
        codes = codes_and_zty(rows, m, q, seed, r.zty.data());
        fixed = fixed_products(rows.y, n, rows.x, p, false, schedule, rows.transform);
    } else {
        parallel::parallel_for(2, [&](std::size_t task) {
            if (task == 1)
                fixed = fixed_products(rows.y, n, rows.x, p, false, schedule, rows.transform);
            else
                codes = codes_and_zty(rows, m, q, seed, r.zty.data());
        });
    }
    if (codes.fingerprint != g.codes_fingerprint)
        throw InvalidInput("the group codes differ from the ones the design was prepared with");
    if (!codes.in_range) throw InvalidInput(code_out_of_range_message(codes.first_bad, m));

    r.xty = std::move(fixed.xty);
    r.yty = fixed.yty;
    if (g.classes) r.class_ysums = class_response_sums(*g.classes, q, p, g.ztx.data(), r.zty.data(), schedule);
    return out;
}

}  // namespace corvane::lmm
