#include "mmrm/data.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
#include <stdexcept>
#include <string>
#include <utility>

#include "lmm/errors.hpp"
#include "parallel/interrupt.hpp"

namespace corvane::mmrm {
namespace {

using lmm::InvalidInput;

void check_rows(const MmrmRows& r) {
    const bool spatial = is_spatial(r.structure);
    if (r.y.size() != r.n || r.x.size() != r.n * r.p || r.subject.size() != r.n || r.group.size() != r.n ||
        (spatial ? r.times.size() != r.n : r.visit.size() != r.n) || (!r.weights.empty() && r.weights.size() != r.n))
        throw InvalidInput("the row arrays' lengths differ");
    if (r.n == 0) throw InvalidInput("no rows");
    if (r.p == 0) throw InvalidInput("X has no columns");
    for (std::uint64_t i = 0; i < r.n; ++i) {
        if (r.subject[i] < 0 || static_cast<std::uint64_t>(r.subject[i]) >= r.subjects)
            throw InvalidInput("subject code out of range at row " + std::to_string(i));
        if (r.group[i] < 0 || static_cast<std::uint64_t>(r.group[i]) >= r.groups)
            throw InvalidInput("group code out of range at row " + std::to_string(i));
        if (!spatial && (r.visit[i] < 0 || static_cast<std::uint64_t>(r.visit[i]) >= r.visits))
            throw InvalidInput("visit code out of range at row " + std::to_string(i));
        if (spatial && !std::isfinite(r.times[i])) throw InvalidInput("time is not finite at row " + std::to_string(i));
        if (!std::isfinite(r.y[i])) throw InvalidInput("y is not finite at row " + std::to_string(i));
        for (std::uint64_t j = 0; j < r.p; ++j)
            if (!std::isfinite(r.x[i * r.p + j]))
                throw InvalidInput("X column " + std::to_string(j) + " is not finite at row " + std::to_string(i));
        if (!r.weights.empty() && !(r.weights[i] > 0.0 && std::isfinite(r.weights[i])))
            throw InvalidInput("weights must be positive and finite: row " + std::to_string(i));
    }
}

}  // namespace

std::uint64_t subject_route_limit(std::uint64_t t, std::uint64_t k) {
    const double per_subject = static_cast<double>(t * (t + 1) / 2 * k * k + t * t * k);
    const double per_pattern = 1.5 * static_cast<double>(t * t * t * k * k);
    return static_cast<std::uint64_t>(per_pattern / per_subject);
}

MmrmBuilder::MmrmBuilder(Structure structure, std::uint64_t p, std::uint64_t visits, std::uint64_t groups,
                         bool weighted, Route route)
    : d_(std::make_unique<MmrmData>()), route_(route), weighted_(weighted) {
    d_->structure = structure;
    d_->p = p;
    d_->visits = visits;
    d_->groups = groups;
    d_->theta_per_group = theta_per_group(structure, visits);
}

void MmrmBuilder::add(const MmrmRows& r) {
    if (!d_) throw std::logic_error("MmrmBuilder::add after finish");
    if (r.p != d_->p || r.groups != d_->groups || r.structure != d_->structure ||
        (!is_spatial(r.structure) && r.visits != d_->visits))
        throw InvalidInput("a batch's columns, visits or groups differ from the first batch's");
    if (r.weights.empty() == weighted_ && r.n > 0)
        throw InvalidInput(weighted_ ? "a batch has no weights" : "a batch has weights the first did not");
    if (r.n == 0) return;
    check_rows(r);
    MmrmData& d = *d_;
    const bool spatial = is_spatial(r.structure);
    const auto position = [&](std::uint64_t row) {
        return spatial ? r.times[row] : static_cast<double>(r.visit[row]);
    };
    // Rows by subject code, then by visit or time (the caller's order among equals).
    std::vector<std::uint64_t> order(r.n);
    std::iota(order.begin(), order.end(), std::uint64_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::uint64_t a, std::uint64_t b) {
        if (r.subject[a] != r.subject[b]) return r.subject[a] < r.subject[b];
        return position(a) < position(b);
    });
    const std::uint64_t k = r.p + 1, kk = k * k;
    std::vector<double> z;
    std::vector<std::uint64_t> nonzero, count;
    std::uint64_t done = 0;
    for (std::uint64_t first = 0; first < r.n;) {
        if ((++done & 1023) == 0) parallel::check_interrupt();
        const std::uint64_t s = static_cast<std::uint64_t>(r.subject[order[first]]);
        std::uint64_t last = first;
        while (last < r.n && static_cast<std::uint64_t>(r.subject[order[last]]) == s) ++last;
        if (s >= d.subject_pattern.size()) d.subject_pattern.resize(s + 1, UINT64_MAX);
        if (d.subject_pattern[s] != UINT64_MAX)
            throw InvalidInput("the rows of subject " + std::to_string(s) +
                               " are not together: a batch has rows of a subject an earlier batch had (sort "
                               "the data by subject)");
        const std::uint64_t group = static_cast<std::uint64_t>(r.group[order[first]]);
        std::vector<double> key;
        for (std::uint64_t i = first; i < last; ++i) {
            const std::uint64_t row = order[i];
            if (static_cast<std::uint64_t>(r.group[row]) != group)
                throw InvalidInput("subject " + std::to_string(s) + " is in more than one group");
            if (!key.empty() && key.back() == position(row))
                throw InvalidInput("subject " + std::to_string(s) + " has the same " +
                                   (spatial ? "time" : "visit") + " twice (rows " + std::to_string(order[i - 1]) +
                                   " and " + std::to_string(row) + ")");
            key.push_back(position(row));
        }
        const std::uint64_t t = key.size();
        auto [where, fresh] = index_.try_emplace({group, key}, d.patterns.size());
        if (fresh) {
            Pattern pat;
            pat.group = group;
            if (spatial) pat.times = key;
            else
                for (double v : key) pat.visits.push_back(static_cast<std::uint64_t>(v));
            pat.products.assign(t * (t + 1) / 2 * kk, 0.0);
            d.patterns.push_back(std::move(pat));
            d.largest_pattern = std::max(d.largest_pattern, t);
        }
        Pattern& pat = d.patterns[where->second];
        ++pat.subjects;
        const bool keep = route_ == Route::Subjects ||
                          (route_ == Route::Auto && pat.subjects <= subject_route_limit(t, k));
        d.subject_pattern[s] = where->second;
        // The subject's weighted rows, then their products pair by pair.
        z.assign(t * k, 0.0);
        for (std::uint64_t a = 0; a < t; ++a) {
            const std::uint64_t row = order[first + a];
            const double w = r.weights.empty() ? 1.0 : r.weights[row];
            const double root = std::sqrt(w);
            if (!r.weights.empty()) d.log_weights += std::log(w);
            for (std::uint64_t j = 0; j < r.p; ++j) z[a * k + j] = root * r.x[row * r.p + j];
            z[a * k + r.p] = root * r.y[row];
        }
        // Rows are kept while the pattern has few subjects; past the limit
        // its products serve instead and the rows are let go.
        if (keep) pat.rows.insert(pat.rows.end(), z.begin(), z.end());
        else if (!pat.rows.empty()) std::vector<double>().swap(pat.rows);
        // Only the rows' nonzero entries take part: designs of factors
        // (visit, arm and their interaction) are mostly zeros, and a zero
        // term leaves every sum unchanged (x + 0 is x, and +0 + -0 is +0).
        nonzero.resize(t * k);
        count.assign(t, 0);
        for (std::uint64_t a = 0; a < t; ++a)
            for (std::uint64_t u = 0; u < k; ++u)
                if (z[a * k + u] != 0.0) nonzero[a * k + count[a]++] = u;
        for (std::uint64_t a = 0; a < t; ++a)
            for (std::uint64_t b = a; b < t; ++b) {  // C_ba = C_ab' is not stored
                double* out = pat.products.data() + upper_pair(a, b, t) * kk;
                const double* za = z.data() + a * k;
                const double* zb = z.data() + b * k;
                for (std::uint64_t i = 0; i < count[a]; ++i) {
                    const std::uint64_t u = nonzero[a * k + i];
                    for (std::uint64_t j = 0; j < count[b]; ++j) {
                        const std::uint64_t v = nonzero[b * k + j];
                        out[u * k + v] += za[u] * zb[v];
                    }
                }
            }
        d.n += t;
        first = last;
    }
}

std::unique_ptr<MmrmData> MmrmBuilder::finish() {
    if (!d_) throw std::logic_error("MmrmBuilder::finish twice");
    if (d_->n == 0) throw InvalidInput("no rows");
    d_->subjects = d_->subject_pattern.size();
    return std::move(d_);
}

Moments moments(const MmrmData& d, std::span<const double> beta) {
    const std::uint64_t p = d.p, k = p + 1, kk = k * k;
    const std::uint64_t T = is_spatial(d.structure) ? 1 : d.visits;
    Moments m;
    m.xtx.assign(p * p, 0.0);
    m.xty.assign(p, 0.0);
    m.resid.assign(d.groups * T * T, 0.0);
    m.count.assign(d.groups * T * T, 0.0);
    std::vector<double> v(k, 1.0);
    for (std::uint64_t j = 0; j < p && beta.size() == p; ++j) v[j] = -beta[j];
    for (const Pattern& pat : d.patterns) {
        const std::uint64_t t = pat.size();
        for (std::uint64_t a = 0; a < t; ++a) {
            const double* c = pat.products.data() + upper_pair(a, a, t) * kk;
            for (std::uint64_t u = 0; u < p; ++u) {
                for (std::uint64_t x = 0; x < p; ++x) m.xtx[u * p + x] += c[u * k + x];
                m.xty[u] += c[u * k + p];
            }
            m.yty += c[p * k + p];
        }
        if (beta.size() != p) continue;
        for (std::uint64_t a = 0; a < t; ++a)
            for (std::uint64_t b = 0; b < t; ++b) {
                if (is_spatial(d.structure) && a != b) continue;
                const double* c = pat.products.data() + upper_pair(std::min(a, b), std::max(a, b), t) * kk;
                double r = 0.0;   // v'C_ab v = v'C_ba v
                for (std::uint64_t u = 0; u < k; ++u) {
                    double s = 0.0;
                    for (std::uint64_t x = 0; x < k; ++x) s += c[u * k + x] * v[x];
                    r += v[u] * s;
                }
                const std::uint64_t e = is_spatial(d.structure) ? 0 : pat.visits[a] * T + pat.visits[b];
                m.resid[pat.group * T * T + e] += r;
                m.count[pat.group * T * T + e] += static_cast<double>(pat.subjects);
            }
    }
    return m;
}

std::unique_ptr<MmrmData> build_mmrm_data(const MmrmRows& r) {
    check_rows(r);
    MmrmBuilder builder(r.structure, r.p, r.visits, r.groups, !r.weights.empty(), r.route);
    builder.add(r);
    std::unique_ptr<MmrmData> d = builder.finish();
    d->subjects = r.subjects;
    d->subject_pattern.resize(r.subjects, UINT64_MAX);
    return d;
}

}  // namespace corvane::mmrm
