#include "mmrm/data.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
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

std::unique_ptr<MmrmData> build_mmrm_data(const MmrmRows& r) {
    check_rows(r);
    const bool spatial = is_spatial(r.structure);
    auto d = std::make_unique<MmrmData>();
    d->structure = r.structure;
    d->n = r.n;
    d->p = r.p;
    d->subjects = r.subjects;
    d->visits = r.visits;
    d->groups = r.groups;
    d->theta_per_group = theta_per_group(r.structure, r.visits);

    // Rows by subject (a stable counting sort), then by visit or time.
    std::vector<std::uint64_t> start(r.subjects + 1, 0);
    for (std::uint64_t i = 0; i < r.n; ++i) ++start[static_cast<std::uint64_t>(r.subject[i]) + 1];
    std::partial_sum(start.begin(), start.end(), start.begin());
    std::vector<std::uint64_t> order(r.n), next(start.begin(), start.end() - 1);
    for (std::uint64_t i = 0; i < r.n; ++i) order[next[static_cast<std::uint64_t>(r.subject[i])]++] = i;
    const auto position = [&](std::uint64_t row) {
        return spatial ? r.times[row] : static_cast<double>(r.visit[row]);
    };

    const std::uint64_t k = r.p + 1, kk = k * k;
    std::map<std::pair<std::uint64_t, std::vector<double>>, std::uint64_t> index;
    d->subject_pattern.assign(r.subjects, UINT64_MAX);
    std::vector<double> z;
    for (std::uint64_t s = 0; s < r.subjects; ++s) {
        if ((s & 1023) == 0) parallel::check_interrupt();
        const auto first = order.begin() + static_cast<std::ptrdiff_t>(start[s]);
        const auto last = order.begin() + static_cast<std::ptrdiff_t>(start[s + 1]);
        if (first == last) continue;
        std::stable_sort(first, last, [&](std::uint64_t a, std::uint64_t b) { return position(a) < position(b); });
        const std::uint64_t group = static_cast<std::uint64_t>(r.group[*first]);
        std::vector<double> key;
        for (auto it = first; it != last; ++it) {
            if (static_cast<std::uint64_t>(r.group[*it]) != group)
                throw InvalidInput("subject " + std::to_string(s) + " is in more than one group");
            if (!key.empty() && key.back() == position(*it))
                throw InvalidInput("subject " + std::to_string(s) + " has the same " +
                                   (spatial ? "time" : "visit") + " twice (rows " +
                                   std::to_string(*(it - 1)) + " and " + std::to_string(*it) + ")");
            key.push_back(position(*it));
        }
        const std::uint64_t t = key.size();
        auto [where, fresh] = index.try_emplace({group, key}, d->patterns.size());
        if (fresh) {
            Pattern pat;
            pat.group = group;
            if (spatial) pat.times = key;
            else
                for (double v : key) pat.visits.push_back(static_cast<std::uint64_t>(v));
            pat.products.assign(t * t * kk, 0.0);
            d->patterns.push_back(std::move(pat));
            d->largest_pattern = std::max(d->largest_pattern, t);
        }
        Pattern& pat = d->patterns[where->second];
        ++pat.subjects;
        const bool keep = r.route == Route::Subjects ||
                          (r.route == Route::Auto && pat.subjects <= subject_route_limit(t, k));
        d->subject_pattern[s] = where->second;
        // The subject's weighted rows, then their products pair by pair.
        z.assign(t * k, 0.0);
        for (std::uint64_t a = 0; a < t; ++a) {
            const std::uint64_t row = *(first + static_cast<std::ptrdiff_t>(a));
            const double w = r.weights.empty() ? 1.0 : r.weights[row];
            const double root = std::sqrt(w);
            if (!r.weights.empty()) d->log_weights += std::log(w);
            for (std::uint64_t j = 0; j < r.p; ++j) z[a * k + j] = root * r.x[row * r.p + j];
            z[a * k + r.p] = root * r.y[row];
        }
        // Rows are kept while the pattern has few subjects; past the limit
        // its products serve instead and the rows are let go.
        if (keep) pat.rows.insert(pat.rows.end(), z.begin(), z.end());
        else if (!pat.rows.empty()) std::vector<double>().swap(pat.rows);
        for (std::uint64_t a = 0; a < t; ++a)
            for (std::uint64_t b = a; b < t; ++b) {  // C_ba = C_ab', filled once every subject is in
                double* out = pat.products.data() + (a * t + b) * kk;
                const double* za = z.data() + a * k;
                const double* zb = z.data() + b * k;
                for (std::uint64_t u = 0; u < k; ++u)
                    for (std::uint64_t v = 0; v < k; ++v) out[u * k + v] += za[u] * zb[v];
            }
    }
    for (Pattern& pat : d->patterns) {
        const std::uint64_t t = pat.size();
        for (std::uint64_t a = 0; a < t; ++a)
            for (std::uint64_t b = 0; b < a; ++b) {
                const double* upper = pat.products.data() + (b * t + a) * kk;
                double* lower = pat.products.data() + (a * t + b) * kk;
                for (std::uint64_t u = 0; u < k; ++u)
                    for (std::uint64_t v = 0; v < k; ++v) lower[u * k + v] = upper[v * k + u];
            }
    }
    return d;
}

}  // namespace corvane::mmrm
