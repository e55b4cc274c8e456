#include "lmm/within_groups.hpp"

#include <algorithm>
#include <cmath>

#include "linalg/symmetric_eigen.hpp"

#include "parallel/interrupt.hpp"

namespace corvane::lmm {

std::optional<std::vector<double>> within_groups(const LmmData& data, double pivot_fraction) {
    const Design& g = *data.design;
    const std::uint64_t p = g.p, q = g.q, m = g.m, w = p + 1;
    std::vector<double> out(w * w, 0.0), l(q * q), u(q * w);
    for (std::uint64_t i = 0; i < m; ++i) {
        if (i % 65536 == 0) parallel::check_interrupt();
        const double* s = g.ztz_of(i);
        const double* zx = g.ztx_of(i);
        const double* zy = data.zty_of(i);
        // Cholesky of Z_i'Z_i, each pivot checked against its diagonal entry.
        for (std::uint64_t j = 0; j < q; ++j) {
            double d = s[j * q + j];
            for (std::uint64_t k = 0; k < j; ++k) d -= l[j * q + k] * l[j * q + k];
            if (!(j == 0 ? d > 0.0 : d > pivot_fraction * s[j * q + j]) || !std::isfinite(d)) return std::nullopt;
            const double root = std::sqrt(d);
            l[j * q + j] = root;
            for (std::uint64_t r = j + 1; r < q; ++r) {
                double t = s[r * q + j];
                for (std::uint64_t k = 0; k < j; ++k) t -= l[r * q + k] * l[j * q + k];
                l[r * q + j] = t / root;
            }
        }
        // U = L^-1 [Z_i'X_i Z_i'y_i], row by row (one division per pivot:
        // this check needs no particular rounding, and w divisions per row
        // would cost more than the rest of a group's work).
        for (std::uint64_t j = 0; j < q; ++j) {
            const double inverse = 1.0 / l[j * q + j];
            double* uj = u.data() + j * w;
            for (std::uint64_t c = 0; c < p; ++c) uj[c] = zx[j * p + c];
            uj[p] = zy[j];
            for (std::uint64_t k = 0; k < j; ++k) {
                const double f = l[j * q + k];
                for (std::uint64_t c = 0; c < w; ++c) uj[c] -= f * u[k * w + c];
            }
            for (std::uint64_t c = 0; c < w; ++c) uj[c] *= inverse;
        }
        for (std::uint64_t j = 0; j < q; ++j) {
            const double* uj = u.data() + j * w;
            for (std::uint64_t a = 0; a < w; ++a) {
                const double ua = uj[a];
                double* row = out.data() + a * w;
                for (std::uint64_t b = a; b < w; ++b) row[b] += ua * uj[b];
            }
        }
    }
    for (std::uint64_t a = 0; a < w; ++a) {
        for (std::uint64_t b = a; b < w; ++b) {
            const double whole = a < p && b < p ? g.xtx[a * p + b]
                                 : a < p        ? data.response.xty[a]
                                                : data.response.yty;
            out[a * w + b] = whole - out[a * w + b];
            out[b * w + a] = out[a * w + b];
        }
    }
    return out;
}

std::optional<double> within_fraction(const LmmData& data, double pivot_fraction, double gap_low, double gap_high,
                                      double cut) {
    const std::optional<std::vector<double>> g = within_groups(data, pivot_fraction);
    if (!g) return std::nullopt;
    const std::uint64_t p = data.design->p, w = p + 1;
    for (double v : *g)
        if (!std::isfinite(v)) return std::nullopt;
    std::vector<double> d(p), a(p * p), b(p);
    for (std::uint64_t j = 0; j < p; ++j) {
        const double root = std::sqrt(std::max(data.design->xtx[j * p + j], 0.0));
        d[j] = root > 0.0 ? root : 1.0;
    }
    for (std::uint64_t r = 0; r < p; ++r) {
        for (std::uint64_t c = 0; c < p; ++c) a[r * p + c] = (*g)[r * w + c] / (d[r] * d[c]);
        b[r] = (*g)[r * w + p] / d[r];
    }
    const linalg::SymmetricEigen e = linalg::symmetric_eigen(a, p);
    double explained = 0.0;
    for (std::uint64_t k = 0; k < p; ++k) {
        const double value = e.values[k];
        if (value > gap_low && value < gap_high) return std::nullopt;
        if (!(value > cut)) continue;
        double t = 0.0;
        for (std::uint64_t r = 0; r < p; ++r) t = t + e.vectors[r * p + k] * b[r];
        explained = explained + t * t / value;
    }
    return ((*g)[p * w + p] - explained) / data.response.yty;
}

}  // namespace corvane::lmm
