// Partition of the groups into classes of bit-identical Z_i'Z_i, and the
// per-class sums the aggregated kernel reads.
#include "lmm/classes.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <utility>

#include "lmm/errors.hpp"
#include "lmm/memory.hpp"
#include "parallel/interrupt.hpp"
#include "parallel/pool.hpp"

namespace corvane::lmm {
namespace {

// A class key: the lower triangle of Z_i'Z_i column by column, as raw 64-bit
// patterns (so 0.0 and -0.0 differ and equal NaN patterns agree). For q <= 3
// it fits a fixed array of six words, unused words 0; otherwise a vector.
using SmallKey = std::array<std::uint64_t, 6>;
using LargeKey = std::vector<std::uint64_t>;

std::uint64_t hash_key(const SmallKey& key) {
    BitsHasher h;
    h.write(key.size());
    for (std::uint64_t w : key) h.write(w);
    return h.state;
}

std::uint64_t hash_key(const LargeKey& key) {
    BitsHasher h;
    h.write(key.size());
    for (std::uint64_t w : key) h.write(w);
    return h.state;
}

// The class table: open addressing with linear probing in a power-of-two
// table kept at most half full. Slots are chosen by the hash's top bits: the
// final multiplication of BitsHasher mixes every key bit into them, while its
// low bits follow only the keys' low bits, which are often all zero for
// round numbers.
template <class Key>
class ClassTable {
public:
    ClassTable() { resize(64); }

    // The number stored for `key`, inserting `fresh` if it is absent; the
    // flag says whether it was inserted.
    std::pair<std::uint32_t, bool> find_or_insert(const Key& key, std::uint32_t fresh) {
        std::size_t slot = slot_of(hash_key(key));
        while (used_[slot]) {
            if (keys_[slot] == key) return {values_[slot], false};
            slot = (slot + 1) & mask_;
        }
        if (2 * (size_ + 1) > keys_.size()) {
            resize(2 * keys_.size());
            return find_or_insert(key, fresh);
        }
        used_[slot] = 1;
        keys_[slot] = key;
        values_[slot] = fresh;
        ++size_;
        return {fresh, true};
    }

private:
    std::size_t slot_of(std::uint64_t hash) const { return static_cast<std::size_t>(hash >> shift_); }

    void resize(std::size_t capacity) {
        std::vector<Key> keys = std::move(keys_);
        std::vector<std::uint32_t> values = std::move(values_);
        std::vector<unsigned char> used = std::move(used_);
        keys_.assign(capacity, Key{});
        values_.assign(capacity, 0);
        used_.assign(capacity, 0);
        mask_ = capacity - 1;
        shift_ = 64 - static_cast<unsigned>(std::countr_zero(capacity));
        for (std::size_t i = 0; i < used.size(); ++i) {
            if (!used[i]) continue;
            std::size_t slot = slot_of(hash_key(keys[i]));
            while (used_[slot]) slot = (slot + 1) & mask_;
            used_[slot] = 1;
            keys_[slot] = std::move(keys[i]);
            values_[slot] = values[i];
        }
    }

    std::vector<Key> keys_;
    std::vector<std::uint32_t> values_;
    std::vector<unsigned char> used_;
    std::size_t mask_ = 0;
    unsigned shift_ = 64;
    std::size_t size_ = 0;
};

inline std::uint64_t bits_of(double v) {
    std::uint64_t w;
    std::memcpy(&w, &v, sizeof w);
    return w;
}

template <class Key>
void form_key(const double* block, std::uint64_t q, Key& key) {
    std::size_t t = 0;
    for (std::uint64_t j = 0; j < q; ++j)
        for (std::uint64_t k = j; k < q; ++k) key[t++] = bits_of(block[k * q + j]);
}

template <class Key>
std::optional<Classes> build_with(std::uint64_t q, std::uint64_t p, std::uint64_t m,
                                  const double* ztz, const double* ztx,
                                  std::optional<std::uint64_t> limit, Schedule schedule,
                                  Key key0) {
    const std::uint64_t qq = q * q;
    form_key(ztz, q, key0);
    Key key = key0;

    // Leading run of groups alike to group 0: one comparison each, no hashing.
    std::uint64_t r = 1;
    for (; r < m; ++r) {
        form_key(ztz + r * qq, q, key);
        if (key != key0) break;
    }
    std::vector<std::uint32_t> assignment;
    assignment.reserve(m);
    assignment.assign(r, 0);
    std::vector<std::uint64_t> representatives{0};
    std::uint64_t n_classes = 1;

    if (r < m) {
        ClassTable<Key> table;
        table.find_or_insert(key0, 0);
        for (std::uint64_t i = r; i < m; ++i) {
            if (i % 4096 == 0) parallel::check_interrupt();
            // Give up on a partition that holds a class for nearly every group.
            if (limit && i >= 4096 && i % 1024 == 0 && i < 4 * n_classes) return std::nullopt;
            form_key(ztz + i * qq, q, key);
            if (n_classes > std::numeric_limits<std::uint32_t>::max())
                throw InvalidInput("model dimensions overflow the address space");
            const auto [number, inserted] = table.find_or_insert(key, static_cast<std::uint32_t>(n_classes));
            if (inserted) {
                representatives.push_back(i);
                if (limit && n_classes >= *limit) return std::nullopt;
                ++n_classes;
            }
            assignment.push_back(number);
        }
    }
    return Classes::with_assignment(q, p, ztz, ztx, std::move(assignment), representatives,
                                    n_classes, schedule);
}

// Per-chunk partial sums. Only the classes a chunk touched are non-zero, so a
// chunk resets and merges just those: adding the +0.0 of an untouched entry
// would leave the total's bits unchanged anyway (a total is never -0.0).
struct ClassPartial {
    std::vector<double> sums;         // n_classes * block
    std::vector<double> counts;       // n_classes
    std::vector<std::uint32_t> touched;  // classes with non-zero partials
    std::vector<unsigned char> seen;  // n_classes flags for `touched`
};

// Sums per class of `block` values that add_group(i, into) adds for each
// group i of the class, over the groups in chunks of the program-wide rule
// with `cost` per group, the chunk partials merged in chunk order; with
// `counts`, also the number of groups per class.
template <class AddGroup>
std::vector<double> sum_by_class(const std::vector<std::uint32_t>& assignment, std::uint64_t n_classes,
                                 std::uint64_t block, std::uint64_t cost, Schedule schedule,
                                 std::vector<double>* counts, AddGroup&& add_group) {
    const std::uint64_t m = assignment.size();
    const std::uint64_t total = size_product(n_classes, block);
    const std::uint64_t chunk = chunk_length(cost);
    const std::uint64_t n_chunks = chunk_count(m, chunk);
    bool parallel = go_parallel(schedule, m, chunk, cost);
    if (schedule == Schedule::Auto && total > 65536) parallel = false;

    const std::uint64_t n_slots = parallel ? reduce_slots(n_chunks, total * sizeof(double)) : 1;
    require_memory({size_product(size_product(total, n_slots + 1), sizeof(double))});

    std::vector<double> out(total, 0.0);
    if (counts) counts->assign(n_classes, 0.0);
    std::vector<ClassPartial> slots(n_slots);
    for (ClassPartial& s : slots) {
        s.sums.assign(total, 0.0);
        s.counts.assign(n_classes, 0.0);
        s.seen.assign(n_classes, 0);
    }
    chunked_reduce(
        n_chunks, parallel, slots,
        [&](std::uint64_t chunk_index, ClassPartial& s) {
            for (std::uint32_t c : s.touched) {
                std::fill_n(s.sums.begin() + c * block, block, 0.0);
                s.counts[c] = 0.0;
                s.seen[c] = 0;
            }
            s.touched.clear();
            const std::uint64_t end = std::min(m, (chunk_index + 1) * chunk);
            for (std::uint64_t i = chunk_index * chunk; i < end; ++i) {
                const std::uint32_t c = assignment[i];
                if (!s.seen[c]) {
                    s.seen[c] = 1;
                    s.touched.push_back(c);
                }
                s.counts[c] += 1.0;
                add_group(i, s.sums.data() + c * block);
            }
        },
        [&](std::uint64_t, const ClassPartial& s) {
            for (std::uint32_t c : s.touched) {
                double* dst = out.data() + c * block;
                const double* src = s.sums.data() + c * block;
                for (std::uint64_t e = 0; e < block; ++e) dst[e] = src[e] + dst[e];
                if (counts) (*counts)[c] = s.counts[c] + (*counts)[c];
            }
        });
    return out;
}

}  // namespace

std::uint64_t class_limit(std::uint64_t m, std::uint64_t p, std::uint64_t q) {
    const std::uint64_t P = q * (q + 1) / 2;
    const std::uint64_t numerator = m * ((p + q) * (P + 3 * q * q) + 2 * q * p * p + 8);
    const std::uint64_t denominator =
        (q * ((p + 1) * (p + 2) / 2 + 2) * (P + 1) + 4 * q * q) * 2 * q + 16;
    return numerator / denominator;
}

std::optional<Classes> Classes::build(std::uint64_t q, std::uint64_t p, std::uint64_t m,
                                      const double* ztz, const double* ztx,
                                      std::optional<std::uint64_t> class_limit,
                                      Schedule schedule) {
    if (q <= 3) return build_with(q, p, m, ztz, ztx, class_limit, schedule, SmallKey{});
    return build_with(q, p, m, ztz, ztx, class_limit, schedule, LargeKey(q * (q + 1) / 2));
}

Classes Classes::with_assignment(std::uint64_t q, std::uint64_t p, const double* ztz,
                                 const double* ztx, std::vector<std::uint32_t> assignment,
                                 const std::vector<std::uint64_t>& representatives,
                                 std::uint64_t n_classes, Schedule schedule) {
    const std::uint64_t qq = q * q, pp = p * p;
    require_memory({size_product(size_product(n_classes, qq), sizeof(double))});
    Classes out;
    out.n_classes = n_classes;
    out.class_ztz.resize(n_classes * qq);
    for (std::uint64_t c = 0; c < n_classes; ++c)
        std::copy_n(ztz + representatives[c] * qq, qq, out.class_ztz.begin() + c * qq);

    // S[c][a][b][x][y] for x <= y < p: products of rows a and b of Z_i'X_i.
    out.xsums = sum_by_class(
        assignment, n_classes, size_product(qq, pp), qq * p * (p + 1) / 2 + 1, schedule, &out.counts,
        [&](std::uint64_t i, double* sc) {
            const double* w = ztx + i * q * p;
            for (std::uint64_t a = 0; a < q; ++a)
                for (std::uint64_t b = 0; b < q; ++b) {
                    double* sab = sc + (a * q + b) * pp;
                    const double* wb = w + b * p;
                    for (std::uint64_t x = 0; x < p; ++x) {
                        const double wax = w[a * p + x];
                        double* row = sab + x * p;
                        for (std::uint64_t y = x; y < p; ++y) row[y] += wax * wb[y];
                    }
                }
        });
    out.assignment = std::move(assignment);
    return out;
}

std::vector<double> class_response_sums(const Classes& classes, std::uint64_t q, std::uint64_t p,
                                        const double* ztx, const double* zty, Schedule schedule) {
    const std::uint64_t p1 = p + 1;
    // S[c][a][b][x][p] = sum of W_i[a][x] * Z_i'y_i[b], with W_i[a][p] = Z_i'y_i[a].
    return sum_by_class(classes.assignment, classes.n_classes, size_product(q * q, p1), q * q * p1 + 1,
                        schedule, nullptr, [&](std::uint64_t i, double* sc) {
                            const double* w = ztx + i * q * p;
                            const double* y = zty + i * q;
                            for (std::uint64_t a = 0; a < q; ++a)
                                for (std::uint64_t b = 0; b < q; ++b) {
                                    double* sab = sc + (a * q + b) * p1;
                                    const double yb = y[b];
                                    for (std::uint64_t x = 0; x < p; ++x) sab[x] += w[a * p + x] * yb;
                                    sab[p] += y[a] * yb;
                                }
                        });
}

}  // namespace corvane::lmm
