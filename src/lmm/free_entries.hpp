// Fits on a subset of a parameter vector's entries, the others held at 0.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace corvane::lmm {

// The free entries of a parameter vector and the maps between the whole
// vector and the vector of its free entries (the others are 0): theta's
// entries within uncorrelated blocks of random effects.
class FreeEntries {
public:
    FreeEntries(const std::vector<std::size_t>& free, std::size_t full) : full_(full) {
        if (free.empty()) {
            for (std::size_t i = 0; i < full; ++i) index_.push_back(i);
        } else {
            index_ = free;
        }
        position_.assign(full, kNone);
        for (std::size_t k = 0; k < index_.size(); ++k) position_[index_[k]] = k;
    }
    // The free entries of (theta, beta): theta's free ones (all when empty)
    // and every one of beta's p.
    static FreeEntries with_tail(const std::vector<std::size_t>& free, std::size_t n_theta, std::size_t p) {
        std::vector<std::size_t> all;
        if (free.empty()) {
            for (std::size_t i = 0; i < n_theta; ++i) all.push_back(i);
        } else {
            all = free;
        }
        for (std::size_t j = 0; j < p; ++j) all.push_back(n_theta + j);
        return FreeEntries(all, n_theta + p);
    }
    std::size_t size() const { return index_.size(); }
    std::size_t whole() const { return full_; }
    bool all() const { return index_.size() == full_; }
    std::size_t index(std::size_t k) const { return index_[k]; }
    std::vector<double> reduce(std::span<const double> theta) const {
        std::vector<double> out(index_.size());
        for (std::size_t k = 0; k < index_.size(); ++k) out[k] = theta[index_[k]];
        return out;
    }
    // Every start of a flat concatenation of whole vectors.
    std::vector<double> reduce_all(const std::vector<double>& starts) const {
        std::vector<double> out;
        for (std::size_t s = 0; s + full_ <= starts.size(); s += full_) {
            const std::vector<double> one = reduce(std::span<const double>(starts.data() + s, full_));
            out.insert(out.end(), one.begin(), one.end());
        }
        return out;
    }
    std::vector<double> reduce_square(const std::vector<double>& h) const {
        const std::size_t k = index_.size();
        std::vector<double> out(k * k);
        for (std::size_t a = 0; a < k; ++a)
            for (std::size_t b = 0; b < k; ++b) out[a * k + b] = h[index_[a] * full_ + index_[b]];
        return out;
    }
    // A square matrix over the free entries as one over the whole vector,
    // `fill` in the rows and columns of the entries held at 0.
    std::vector<double> expand_square(const std::vector<double>& h, double fill) const {
        const std::size_t k = index_.size();
        std::vector<double> out(full_ * full_, fill);
        for (std::size_t a = 0; a < k; ++a)
            for (std::size_t b = 0; b < k; ++b) out[index_[a] * full_ + index_[b]] = h[a * k + b];
        return out;
    }
    std::vector<double> expand(std::span<const double> x, double fill = 0.0) const {
        std::vector<double> out(full_, fill);
        for (std::size_t k = 0; k < index_.size(); ++k) out[index_[k]] = x[k];
        return out;
    }
    // Each free entry's tied entries that are free, as free positions (the
    // lists of entries that are not free are dropped); tied may be shorter
    // than the whole vector (no ties past its end).
    std::vector<std::vector<std::size_t>> reduce_tied(const std::vector<std::vector<std::size_t>>& tied) const {
        std::vector<std::vector<std::size_t>> out(index_.size());
        for (std::size_t k = 0; k < index_.size(); ++k) {
            if (index_[k] >= tied.size()) continue;
            for (std::size_t j : tied[index_[k]])
                if (position_[j] != kNone) out[k].push_back(position_[j]);
        }
        return out;
    }

private:
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::size_t full_;
    std::vector<std::size_t> index_;     // free entry k is theta[index_[k]]
    std::vector<std::size_t> position_;  // theta[i]'s free position, or kNone
};

}  // namespace corvane::lmm
