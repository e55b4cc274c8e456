#include "glmm/data.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <cstdio>
#include <string>
#include <system_error>

#include "lmm/errors.hpp"
#include "parallel/interrupt.hpp"
#include "parallel/pool.hpp"
#include "glmm/nb1_terms.hpp"
#include "linalg/elementary.hpp"
#include "linalg/log_gamma.hpp"

namespace corvane::glmm {

using lmm::InvalidInput;

namespace {

std::string number(double v) {
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%.17g", v);
    return buffer;
}

std::string at(std::uint64_t i) { return "[" + std::to_string(i) + "]"; }

// A double as Python's repr writes it (the shortest text that reads back,
// with ".0" on a whole number), so that messages match the front end's.
std::string python_repr(double v) {
    if (std::isnan(v)) return "nan";
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    char buffer[40];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, v);
    std::string text(buffer, ec == std::errc() ? end : buffer);
    if (text.find_first_of(".e") == std::string::npos) text += ".0";
    return text;
}

// The front end's texts for the same events (corvane._checks): missing or
// infinite values, and weights that are not positive and finite; rows are
// the caller's.
void check_finite(const double* v, std::uint64_t n, std::uint64_t stride, const std::string& what) {
    std::uint64_t count = 0, nan = 0, first = 0;
    for (std::uint64_t i = 0; i < n; ++i) {
        const double x = v[i * stride];
        if (std::isfinite(x)) continue;
        if (count++ == 0) first = i;
        if (std::isnan(x)) ++nan;
    }
    if (count == 0) return;
    const char* kind = nan == count ? "missing" : nan == 0 ? "infinite" : "missing or infinite";
    throw InvalidInput(what + " has " + std::to_string(count) + " " + kind + " value" + (count != 1 ? "s" : "") +
                       " (first at row " + std::to_string(first) + ")");
}

void check_weights(std::span<const double> w) {
    std::uint64_t count = 0, first = 0;
    for (std::uint64_t i = 0; i < w.size(); ++i)
        if (!(w[i] > 0.0) || !std::isfinite(w[i]))
            if (count++ == 0) first = i;
    if (count == 0) return;
    throw InvalidInput("weights must be positive and finite: row " + std::to_string(first) + " has " +
                       python_repr(w[first]) + " (" + std::to_string(count) + " such row" + (count != 1 ? "s" : "") +
                       ")");
}

// The response against the family, the rows in grouped order (row: their
// caller's indices); weights are checked before.
void check_response(Family family, const std::vector<double>& y, const std::vector<double>& w,
                    const std::vector<std::uint64_t>& row) {
    for (std::uint64_t k = 0; k < y.size(); ++k) {
        const double yk = y[k], wk = w[k];
        const std::uint64_t i = row[k];
        if (family == Family::Binomial) {
            if (yk < 0.0 || yk > 1.0) throw InvalidInput("y" + at(i) + " = " + number(yk) + " is outside [0, 1]");
            const double s = wk * yk;
            // Successes computed from a proportion carry rounding: allow it.
            if (std::fabs(s - std::round(s)) > 1e-7 * std::max(1.0, s))
                throw InvalidInput("w" + at(i) + " * y" + at(i) + " = " + number(s) +
                                   " is not a whole number of successes");
        } else if (yk < 0.0) {
            throw InvalidInput("y" + at(i) + " = " + number(yk) + " is negative");
        }
    }
}

// out = v' A for a row v of k entries (A k x k, row-major; v itself when A
// is empty), each entry summed in column order.
void transformed(const double* v, std::span<const double> a, std::uint64_t k, double* out) {
    if (a.empty()) {
        for (std::uint64_t j = 0; j < k; ++j) out[j] = v[j];
        return;
    }
    for (std::uint64_t j = 0; j < k; ++j) {
        double s = 0.0;
        for (std::uint64_t l = 0; l < k; ++l) s = s + v[l] * a[l * k + j];
        out[j] = s;
    }
}

RowParams dispersion_params(double phi) { return RowParams{phi, linalg::log_of(phi), linalg::log1p_of(phi)}; }

void check_dispersion(double phi) {
    if (!(phi > 0.0) || !std::isfinite(phi))
        throw InvalidInput("the negative binomial's phi must be positive and finite, got " + python_repr(phi));
}

// The NB1 row's log-density at mu = y (r = y / alpha), less its constant.
inline double nb1_saturated_unit(double y, const RowParams& rp) {
    if (!(y > 0.0)) return 0.0;
    const double r = y / rp.phi;
    return nb1_sums(r, y, 0).value - r * rp.log1p_phi;
}

// A count's (Poisson, negative binomial) saturated log-density and omitted
// constant per unit of weight: the row's are w times these.
inline double count_saturated_unit(Family family, double y, const RowParams& rp) {
    if (family == Family::NegativeBinomial1) return nb1_saturated_unit(y, rp);
    if (family == Family::NegativeBinomial)
        return y > 0.0 ? y * linalg::log_of(y) - (y + rp.phi) * linalg::log1p_of(y / rp.phi) : 0.0;
    return (y > 0.0 ? y * linalg::log_of(y) : 0.0) - y;
}

inline double count_constant_unit(Family family, double y, const RowParams& rp) {
    if (family == Family::NegativeBinomial1) {
        const double ratio = y > 0.0 ? y * (rp.log_phi - rp.log1p_phi) : 0.0;
        return ratio - linalg::log_gamma_of(y + 1.0);
    }
    if (family == Family::NegativeBinomial) {
        double s = 0.0;
        if (y < kSummedCounts && y == std::floor(y)) {
            for (double j = 1.0; j < y; j = j + 1.0) s = s + linalg::log1p_of(j / rp.phi);
        } else {
            s = (linalg::log_gamma_of(y + rp.phi) - linalg::log_gamma_of(rp.phi)) - y * rp.log_phi;
        }
        return s - linalg::log_gamma_of(y + 1.0);
    }
    return -linalg::log_gamma_of(y + 1.0);
}

// The log-density of the row at mu = y (the saturated model), less the same
// constant: 0 log 0 counts as 0. The negative binomial's is
// w (y (log y - log phi) - (y + phi) log1p(y / phi)).
inline double saturated_loglik(Family family, double y, double w, const RowParams& rp = {}) {
    if (family == Family::Binomial) {
        const auto xlogx = [](double v) { return v > 0.0 ? v * linalg::log_of(v) : 0.0; };
        return w * (xlogx(y) + xlogx(1.0 - y));
    }
    return w * count_saturated_unit(family, y, rp);
}

// The constant the log-density omits: log C(w, w y) for the binomial (w
// trials; the successes w y are integral), -w log(y!) for the Poisson,
// w (log Gamma(y + phi) - log Gamma(phi) - y log phi - log y!) for the
// negative binomial.
inline double loglik_constant(Family family, double y, double w, const RowParams& rp = {}) {
    if (family == Family::Binomial) {
        const double s = std::round(w * y);
        const double n = std::round(w);
        return linalg::log_gamma_of(n + 1.0) - linalg::log_gamma_of(s + 1.0) - linalg::log_gamma_of(n - s + 1.0);
    }
    return w * count_constant_unit(family, y, rp);
}

// The constant and the saturated log-likelihood, in grouped order. A 0/1
// response adds 0 to both (its binomial coefficient is 1, and 0 log 0 and
// 1 log 1 are 0) and is not computed.
void sum_constants(GlmmData& d) {
    const GlmmDesign& g = *d.design;
    const bool binomial = g.family == Family::Binomial;
    // A count's terms are w times a value of y alone (of y and phi): those of
    // the small whole counts are computed once each, the same values.
    constexpr std::uint64_t kCached = static_cast<std::uint64_t>(kSummedCounts);
    std::vector<double> unit_constant, unit_saturated;
    if (!binomial) {
        unit_constant.assign(kCached, std::numeric_limits<double>::quiet_NaN());
        unit_saturated.assign(kCached, 0.0);
    }
    double c = 0.0, s = 0.0;
    for (std::uint64_t k = 0; k < g.n; ++k) {
        const double y = d.y[k], w = g.w[k];
        if (binomial && (y == 0.0 || y == 1.0)) continue;
        double ck, sk;
        if (!binomial && y < static_cast<double>(kCached) && y == std::floor(y)) {
            const auto i = static_cast<std::uint64_t>(y);
            if (std::isnan(unit_constant[i])) {
                unit_constant[i] = count_constant_unit(g.family, y, d.params);
                unit_saturated[i] = count_saturated_unit(g.family, y, d.params);
            }
            ck = w * unit_constant[i];
            sk = w * unit_saturated[i];
        } else {
            ck = loglik_constant(g.family, y, w, d.params);
            sk = saturated_loglik(g.family, y, w, d.params);
        }
        c = c + ck;
        s = s + (sk + ck);
    }
    d.constant = c;
    d.saturated = s;
}

}  // namespace

const char* family_name(Family family) {
    switch (family) {
        case Family::Binomial: return "binomial";
        case Family::Poisson: return "poisson";
        case Family::NegativeBinomial1: return "negative_binomial1";
        default: return "negative_binomial";
    }
}

const char* link_name(Link link) {
    switch (link) {
        case Link::Logit: return "logit";
        case Link::Probit: return "probit";
        case Link::Cloglog: return "cloglog";
        default: return "log";
    }
}

// Rows one item of the parallel copy into group order takes.
constexpr std::uint64_t kCopyBlock = std::uint64_t{1} << 15;

std::unique_ptr<GlmmData> prepare_glmm(const GlmmRows& r, Family family, Link link, double phi) {
    const bool binomial_link = link == Link::Logit || link == Link::Probit || link == Link::Cloglog;
    if ((family == Family::Binomial) != binomial_link || link == Link::NegBinLog || link == Link::NegBin1Log)
        throw InvalidInput(std::string("the ") + family_name(family) + " family has no " + link_name(link) +
                           " link");
    if (family == Family::NegativeBinomial || family == Family::NegativeBinomial1) {
        check_dispersion(phi);
        link = family == Family::NegativeBinomial ? Link::NegBinLog : Link::NegBin1Log;
    }
    auto d = std::make_shared<GlmmDesign>();
    d->n = r.n;
    d->p = r.p;
    d->q = r.q;
    d->m = r.m;
    d->family = family;
    d->link = link;

    const bool weighted = !r.w.empty(), offset = !r.offset.empty();
    if ((!r.x_transform.empty() && r.x_transform.size() != r.p * r.p) ||
        (!r.z_transform.empty() && r.z_transform.size() != r.q * r.q))
        throw InvalidInput("the transforms of X and Z must be p x p and q x q");
    if ((weighted && r.w.size() != r.n) || (offset && r.offset.size() != r.n))
        throw InvalidInput("weights and offset must have one entry per row");
    check_weights(r.w);
    check_finite(r.y.data(), r.n, 1, "y");
    if (offset) check_finite(r.offset.data(), r.n, 1, "offset");
    for (std::uint64_t j = 0; j < r.p; ++j) check_finite(r.x.data() + j, r.n, r.p, "X column " + std::to_string(j));
    for (std::uint64_t j = 0; j < r.q; ++j) check_finite(r.z.data() + j, r.n, r.q, "Z column " + std::to_string(j));

    // Counting sort: counts per group, then each row to its group's next slot.
    d->start.assign(r.m + 1, 0);
    for (std::uint64_t i = 0; i < r.n; ++i) {
        const std::int64_t code = r.codes[i];
        if (code < 0 || static_cast<std::uint64_t>(code) >= r.m)
            throw InvalidInput("group code " + std::to_string(code) + " out of range 0.." + std::to_string(r.m));
        ++d->start[static_cast<std::uint64_t>(code) + 1];
    }
    for (std::uint64_t g = 0; g < r.m; ++g) {
        if (d->start[g + 1] == 0) throw InvalidInput("group " + std::to_string(g) + " has no rows");
        d->max_group = std::max(d->max_group, d->start[g + 1]);
        d->start[g + 1] += d->start[g];
    }
    parallel::check_interrupt();
    d->row.resize(r.n);
    d->x.resize(r.n * r.p);
    d->z.resize(r.n * r.q);
    auto data = std::make_unique<GlmmData>();
    data->y.resize(r.n);
    d->w.resize(r.n);
    d->offset.resize(r.n);
    // The permutation first (row k of group order is the caller's row
    // row[k]), then every array gathered in group order: reads from random
    // places, writes in sequence, in blocks of rows spread over the pool
    // (each row's copy and change of coordinates are its own, so the bits
    // do not depend on the threads).
    std::vector<std::uint64_t> next(d->start.begin(), d->start.end() - 1);
    for (std::uint64_t i = 0; i < r.n; ++i) {
        if ((i & 0xFFFF) == 0) parallel::check_interrupt();
        d->row[next[static_cast<std::uint64_t>(r.codes[i])]++] = i;
    }
    GlmmDesign& g = *d;
    std::vector<double>& y = data->y;
    const std::uint64_t blocks = (r.n + kCopyBlock - 1) / kCopyBlock;
    parallel::parallel_for(blocks, [&](std::size_t b) {
        parallel::check_interrupt();
        const std::uint64_t k0 = b * kCopyBlock, k1 = std::min(r.n, k0 + kCopyBlock);
        for (std::uint64_t k = k0; k < k1; ++k) {
            const std::uint64_t i = g.row[k];
            y[k] = r.y[i];
            g.w[k] = weighted ? r.w[i] : 1.0;
            g.offset[k] = offset ? r.offset[i] : 0.0;
            transformed(r.x.data() + i * r.p, r.x_transform, r.p, g.x.data() + k * r.p);
            transformed(r.z.data() + i * r.q, r.z_transform, r.q, g.z.data() + k * r.q);
        }
    });
    check_response(family, data->y, d->w, d->row);
    data->design = std::move(d);
    data->params = dispersion_params(phi);
    sum_constants(*data);
    return data;
}

std::unique_ptr<GlmmData> with_glmm_response(const GlmmData& d, std::span<const double> y) {
    const GlmmDesign& g = *d.design;
    if (y.size() != g.n)
        throw InvalidInput("y must have " + std::to_string(g.n) + " entries, got " + std::to_string(y.size()));
    auto out = std::make_unique<GlmmData>();
    out->design = d.design;
    check_finite(y.data(), g.n, 1, "y");
    out->y.resize(g.n);
    for (std::uint64_t k = 0; k < g.n; ++k) out->y[k] = y[g.row[k]];
    check_response(g.family, out->y, g.w, g.row);
    out->params = d.params;
    sum_constants(*out);
    return out;
}

std::unique_ptr<GlmmData> with_glmm_dispersion(const GlmmData& d, double phi) {
    if (d.design->family != Family::NegativeBinomial && d.design->family != Family::NegativeBinomial1)
        throw InvalidInput("only the negative binomial family has a dispersion to set");
    check_dispersion(phi);
    auto out = std::make_unique<GlmmData>();
    out->design = d.design;
    out->y = d.y;
    out->params = dispersion_params(phi);
    sum_constants(*out);
    return out;
}

}  // namespace corvane::glmm
