#include "mmrm/data.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
#include <stdexcept>
#include <string>
#include <utility>

#include "linalg/elementary.hpp"
#include "lmm/errors.hpp"
#include "lmm/schedule.hpp"
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

namespace {

// A subject's weighted rows z_a = sqrt(w_a) (x_a, y_a), t x k, rows taken
// in `order` from `first`.
void weighted_rows(const MmrmRows& r, const std::uint64_t* order, std::uint64_t t, double* z) {
    const std::uint64_t k = r.p + 1;
    for (std::uint64_t a = 0; a < t; ++a) {
        const std::uint64_t row = order[a];
        const double root = r.weights.empty() ? 1.0 : std::sqrt(r.weights[row]);
        for (std::uint64_t j = 0; j < r.p; ++j) z[a * k + j] = root * r.x[row * r.p + j];
        z[a * k + r.p] = root * r.y[row];
    }
}

// out[upper_pair(a, b)] += z_a z_b' for the subject's pairs a <= b. Only the
// rows' nonzero entries take part: designs of factors (visit, arm and their
// interaction) are mostly zeros, and a zero term leaves every sum
// unchanged (x + 0 is x, and +0 + -0 is +0).
void add_products(const double* z, std::uint64_t t, std::uint64_t k, std::vector<std::uint64_t>& nonzero_list,
                  std::vector<std::uint64_t>& count_list, double* out) {
    const std::uint64_t kk = k * k;
    nonzero_list.resize(t * k);
    count_list.resize(t);
    std::uint64_t* const nonzero = nonzero_list.data();
    std::uint64_t* const count = count_list.data();
    for (std::uint64_t a = 0; a < t; ++a) {
        std::uint64_t c = 0;
        for (std::uint64_t u = 0; u < k; ++u)
            if (z[a * k + u] != 0.0) nonzero[a * k + c++] = u;
        count[a] = c;
    }
    for (std::uint64_t a = 0; a < t; ++a)
        for (std::uint64_t b = a; b < t; ++b) {  // C_ba = C_ab' is not stored
            double* const o = out + upper_pair(a, b, t) * kk;
            const double* const za = z + a * k;
            const double* const zb = z + b * k;
            const std::uint64_t* const ua = nonzero + a * k;
            const std::uint64_t* const vb = nonzero + b * k;
            const std::uint64_t na = count[a], nb = count[b];
            for (std::uint64_t i = 0; i < na; ++i) {
                const std::uint64_t u = ua[i];
                const double zu = za[u];
                double* const row = o + u * k;
                for (std::uint64_t j = 0; j < nb; ++j) row[vb[j]] += zu * zb[vb[j]];
            }
        }
}

// A run of one pattern's subjects (positions [begin, end) of the call's
// subjects listed pattern by pattern) within one block.
struct Segment {
    std::uint64_t pattern, begin, end;
    bool first_block; // the pattern's first block: summed into its products
    bool continues;   // the block began in an earlier call: its sum so far is the pattern's open sum
    bool completes;   // the block ends here
};

struct SegmentSlot {
    std::vector<double> sum;
    std::vector<double> z;
    std::vector<std::uint64_t> nonzero, count;
};

}  // namespace

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
    // Rows by subject code, then by visit or time (the caller's order among
    // equals); rows already in that order (data sorted by subject) stay.
    std::vector<std::uint64_t> order(r.n);
    std::iota(order.begin(), order.end(), std::uint64_t{0});
    bool sorted = true;
    for (std::uint64_t i = 1; i < r.n && sorted; ++i)
        sorted = r.subject[i - 1] < r.subject[i] || (r.subject[i - 1] == r.subject[i] && position(i - 1) <= position(i));
    if (!sorted)
        std::stable_sort(order.begin(), order.end(), [&](std::uint64_t a, std::uint64_t b) {
            if (r.subject[a] != r.subject[b]) return r.subject[a] < r.subject[b];
            return position(a) < position(b);
        });
    const std::uint64_t k = r.p + 1, kk = k * k;

    // Each subject's pattern, in code order: the checks, the counts, the
    // weights' log-determinant and the rows the per-subject route keeps.
    std::vector<std::uint64_t> first_row, pattern_of;   // per subject of this call
    std::pair<std::uint64_t, std::vector<double>> probe;
    std::vector<double> z;
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
        probe.first = group;
        probe.second.clear();
        for (std::uint64_t i = first; i < last; ++i) {
            const std::uint64_t row = order[i];
            if (static_cast<std::uint64_t>(r.group[row]) != group)
                throw InvalidInput("subject " + std::to_string(s) + " is in more than one group");
            if (!probe.second.empty() && probe.second.back() == position(row))
                throw InvalidInput("subject " + std::to_string(s) + " has the same " +
                                   (spatial ? "time" : "visit") + " twice (rows " + std::to_string(order[i - 1]) +
                                   " and " + std::to_string(row) + ")");
            probe.second.push_back(position(row));
        }
        const std::uint64_t t = probe.second.size();
        auto where = index_.find(probe);
        if (where == index_.end()) {
            where = index_.emplace(probe, d.patterns.size()).first;
            Pattern pat;
            pat.group = group;
            if (spatial) pat.times = probe.second;
            else
                for (double v : probe.second) pat.visits.push_back(static_cast<std::uint64_t>(v));
            pat.products.assign(t * (t + 1) / 2 * kk, 0.0);
            d.patterns.push_back(std::move(pat));
            d.largest_pattern = std::max(d.largest_pattern, t);
        }
        const std::uint64_t P = where->second;
        Pattern& pat = d.patterns[P];
        ++pat.subjects;
        d.subject_pattern[s] = P;
        if (!r.weights.empty())
            for (std::uint64_t a = 0; a < t; ++a) d.log_weights += linalg::log_of(r.weights[order[first + a]]);
        // Rows are kept while the pattern has few subjects; past the limit
        // its products serve instead and the rows are let go.
        const bool keep = route_ == Route::Subjects ||
                          (route_ == Route::Auto && pat.subjects <= subject_route_limit(t, k));
        if (keep) {
            z.resize(t * k);
            weighted_rows(r, order.data() + first, t, z.data());
            pat.rows.insert(pat.rows.end(), z.begin(), z.end());
        } else if (!pat.rows.empty()) {
            std::vector<double>().swap(pat.rows);
        }
        first_row.push_back(first);
        pattern_of.push_back(P);
        d.n += t;
        first = last;
    }

    // The products, pattern by pattern, in blocks of kBlock subjects counted
    // from each pattern's first subject across calls. A block's sum runs
    // over its subjects in code order and joins the pattern's products when
    // the block is full (or at finish); a block left open at the end of a
    // call is carried to the next. A pattern's first block is summed into
    // its products directly (0 + sum is the sum). The sums thus depend only
    // on the subjects, never on how the rows were cut into calls or on the
    // number of threads summing the blocks.
    const std::uint64_t np = d.patterns.size(), n_sub = first_row.size();
    std::vector<std::uint64_t> start(np + 1, 0), listed(n_sub);
    for (std::uint64_t P : pattern_of) ++start[P + 1];
    for (std::uint64_t P = 0; P < np; ++P) start[P + 1] += start[P];
    {
        std::vector<std::uint64_t> next(start.begin(), start.end() - 1);
        for (std::uint64_t i = 0; i < n_sub; ++i) listed[next[pattern_of[i]]++] = i;
    }
    summed_.resize(np, 0);
    open_.resize(np);
    std::vector<Segment> segments;
    std::uint64_t largest = 0, work = 0;
    for (std::uint64_t P = 0; P < np; ++P) {
        const std::uint64_t t = d.patterns[P].size();
        for (std::uint64_t b = start[P]; b < start[P + 1];) {
            const std::uint64_t in_block = summed_[P] % kBlock;
            const std::uint64_t e = std::min(start[P + 1], b + (kBlock - in_block));
            segments.push_back(Segment{P, b, e, summed_[P] < kBlock, in_block > 0, in_block + (e - b) == kBlock});
            if (summed_[P] >= kBlock) largest = std::max(largest, t * (t + 1) / 2 * kk);
            summed_[P] += e - b;
            b = e;
        }
        work += (start[P + 1] - start[P]) * t * t * k;
    }
    std::vector<SegmentSlot> slots(lmm::reduce_slots(segments.size(), 8 * largest));
    const bool parallel = segments.size() > 1 && lmm::work_is_large(work, 1) && parallel::thread_count() > 1;
    if (!parallel) slots.resize(1);
    lmm::chunked_reduce(
        segments.size(), parallel, slots,
        [&](std::uint64_t c, SegmentSlot& slot) {
            const Segment& seg = segments[c];
            const std::uint64_t t = d.patterns[seg.pattern].size();
            double* sum = d.patterns[seg.pattern].products.data();
            if (!seg.first_block) {
                if (seg.continues) slot.sum = open_[seg.pattern];
                else slot.sum.assign(t * (t + 1) / 2 * kk, 0.0);
                sum = slot.sum.data();
            }
            slot.z.resize(t * k);
            for (std::uint64_t j = seg.begin; j < seg.end; ++j) {
                weighted_rows(r, order.data() + first_row[listed[j]], t, slot.z.data());
                add_products(slot.z.data(), t, k, slot.nonzero, slot.count, sum);
            }
        },
        [&](std::uint64_t c, SegmentSlot& slot) {
            const Segment& seg = segments[c];
            if (seg.first_block) return;
            if (seg.completes) {
                std::vector<double>& products = d.patterns[seg.pattern].products;
                for (std::uint64_t e = 0; e < products.size(); ++e) products[e] += slot.sum[e];
                std::vector<double>().swap(open_[seg.pattern]);
            } else {
                open_[seg.pattern].swap(slot.sum);
            }
        });
}

std::unique_ptr<MmrmData> MmrmBuilder::finish() {
    if (!d_) throw std::logic_error("MmrmBuilder::finish twice");
    if (d_->n == 0) throw InvalidInput("no rows");
    for (std::uint64_t P = 0; P < open_.size(); ++P) {   // the later blocks left open
        if (open_[P].empty()) continue;
        std::vector<double>& products = d_->patterns[P].products;
        for (std::uint64_t e = 0; e < products.size(); ++e) products[e] += open_[P][e];
    }
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
    MmrmBuilder builder(r.structure, r.p, r.visits, r.groups, !r.weights.empty(), r.route);
    builder.add(r);
    std::unique_ptr<MmrmData> d = builder.finish();
    d->subjects = r.subjects;
    d->subject_pattern.resize(r.subjects, UINT64_MAX);
    return d;
}

}  // namespace corvane::mmrm
