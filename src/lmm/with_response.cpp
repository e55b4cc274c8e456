// A new response on a prepared design. Only the response-dependent products
// are recomputed, with the same operations in the same order as at
// construction, so the blocks and streaming kernels give the bits of a core
// built from scratch on the new y.
#include <string>

#include "lmm/errors.hpp"
#include "lmm/lmm_data.hpp"
#include "parallel/interrupt.hpp"
#include "parallel/pool.hpp"

namespace corvane::lmm {

std::unique_ptr<LmmData> LmmData::with_response(const RowsView& rows, Schedule schedule) const {
    if (rows.n != n || rows.p != p || rows.q != q) {
        throw InvalidInput("the prepared design has " + std::to_string(n) + " rows, " + std::to_string(p) +
                           " fixed and " + std::to_string(q) +
                           " random columns; the arrays passed do not match it");
    }
    auto d = std::make_unique<LmmData>();
    d->n = n;
    d->p = p;
    d->q = q;
    d->m = m;
    d->evaluator = evaluator;
    d->codes_fingerprint = codes_fingerprint;

    // The codes pass (fingerprint, Z_i'y_i) runs beside the X'y, y'y chunks.
    // Codes that match the fingerprint are still range-checked before they
    // index anything: a fingerprint collision must not read out of bounds.
    FixedProducts fixed;
    std::vector<double> zty_new;
    std::uint64_t fingerprint = 0;
    bool in_range = true;
    std::int64_t first_bad = 0;
    parallel::parallel_for(2, [&](std::size_t task) {
        if (task == 1) {
            fixed = fixed_products(rows.y, n, rows.x, p, false, schedule);
            return;
        }
        fingerprint = lmm::codes_fingerprint(rows.codes, n);
        zty_new.assign(m * q, 0.0);
        for (std::uint64_t r = 0; r < n; ++r) {
            if (r % 65536 == 0) parallel::check_interrupt();
            const std::int64_t code = rows.codes[r];
            if (code < 0 || static_cast<std::uint64_t>(code) >= m) {
                if (in_range) first_bad = code;
                in_range = false;
                continue;
            }
            const double y_r = rows.y[r];
            const double* z_r = rows.z + r * q;
            double* yg = zty_new.data() + static_cast<std::uint64_t>(code) * q;
            for (std::uint64_t k = 0; k < q; ++k) yg[k] += y_r * z_r[k];
        }
    });
    if (fingerprint != codes_fingerprint)
        throw InvalidInput("the group codes differ from the ones the design was prepared with");
    if (!in_range) throw InvalidInput(code_out_of_range_message(first_bad, m));

    d->xtx = xtx;
    d->xty = std::move(fixed.xty);
    d->yty = fixed.yty;
    d->ztz = ztz;
    d->ztx = ztx;
    d->zty = std::move(zty_new);
    d->theta_pairs = theta_pairs;
    if (classes) {
        std::vector<std::uint64_t> representatives(classes->n_classes, m);
        for (std::uint64_t g = 0; g < m; ++g) {
            std::uint64_t& first = representatives[classes->assignment[g]];
            if (first == m) first = g;
        }
        d->classes = Classes::with_assignment(q, p, d->ztz.data(), d->ztx.data(), d->zty.data(),
                                              classes->assignment, representatives, classes->n_classes,
                                              schedule);
    }
    return d;
}

}  // namespace corvane::lmm
