#include "mmrm/covariance.hpp"

#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>

#include "linalg/elementary.hpp"

namespace corvane::mmrm {
namespace {

// A scalar with its gradient and (optionally) Hessian in the parameters it
// depends on: forward-mode differentiation of the few operations the maps
// use. Each entry of Sigma depends on a few of theta's entries (an
// unstructured entry on two rows of L), so a jet keeps only those: idx
// (ascending), g over idx and h over idx x idx; the others are exactly 0.
struct Jet {
    double v = 0.0;
    std::vector<std::uint32_t> idx;
    std::vector<double> g, h;  // |idx|, |idx| x |idx| (empty without second derivatives)
};

class Jets {
public:
    Jets(std::uint64_t n, bool second) : n_(n), second_(second) {}

    Jet constant(double c) const {
        Jet j;
        j.v = c;
        return j;
    }
    Jet variable(std::size_t k, double value) const {
        Jet j;
        j.v = value;
        j.idx = {static_cast<std::uint32_t>(k)};
        j.g = {1.0};
        if (second_) j.h = {0.0};
        return j;
    }
    // f(a) from f, f' and f'' at a.v (the chain rule).
    Jet apply(const Jet& a, double f0, double f1, double f2) const {
        Jet j;
        j.v = f0;
        j.idx = a.idx;
        const std::size_t m = a.idx.size();
        j.g.resize(m);
        for (std::size_t k = 0; k < m; ++k) j.g[k] = f1 * a.g[k];
        if (second_) {
            j.h.resize(m * m);
            for (std::size_t k = 0; k < m; ++k)
                for (std::size_t l = 0; l < m; ++l) j.h[k * m + l] = f1 * a.h[k * m + l] + f2 * a.g[k] * a.g[l];
        }
        return j;
    }
    Jet mul(const Jet& a, const Jet& b) const {
        Jet j;
        j.v = a.v * b.v;
        std::vector<std::size_t> pa, pb;
        merge(a, b, j.idx, pa, pb);
        const std::size_t m = j.idx.size();
        // a and b embedded in the merged index set (zeros elsewhere).
        std::vector<double> ga(m, 0.0), gb(m, 0.0);
        for (std::size_t k = 0; k < a.idx.size(); ++k) ga[pa[k]] = a.g[k];
        for (std::size_t k = 0; k < b.idx.size(); ++k) gb[pb[k]] = b.g[k];
        j.g.resize(m);
        for (std::size_t k = 0; k < m; ++k) j.g[k] = a.v * gb[k] + b.v * ga[k];
        if (second_) {
            std::vector<double> ha(m * m, 0.0), hb(m * m, 0.0);
            embed(a, pa, m, ha);
            embed(b, pb, m, hb);
            j.h.resize(m * m);
            for (std::size_t k = 0; k < m; ++k)
                for (std::size_t l = 0; l < m; ++l)
                    j.h[k * m + l] = (a.v * hb[k * m + l] + b.v * ha[k * m + l]) + (ga[k] * gb[l] + gb[k] * ga[l]);
        }
        return j;
    }
    // a += b
    void add_to(Jet& a, const Jet& b) const {
        std::vector<std::uint32_t> idx;
        std::vector<std::size_t> pa, pb;
        merge(a, b, idx, pa, pb);
        const std::size_t m = idx.size();
        std::vector<double> g(m, 0.0), h;
        for (std::size_t k = 0; k < a.idx.size(); ++k) g[pa[k]] = a.g[k];
        for (std::size_t k = 0; k < b.idx.size(); ++k) g[pb[k]] += b.g[k];
        if (second_) {
            h.assign(m * m, 0.0);
            embed(a, pa, m, h);
            for (std::size_t k = 0; k < b.idx.size(); ++k)
                for (std::size_t l = 0; l < b.idx.size(); ++l) h[pb[k] * m + pb[l]] += b.h[k * b.idx.size() + l];
        }
        a.v += b.v;
        a.idx = std::move(idx);
        a.g = std::move(g);
        a.h = std::move(h);
    }

    // Exponentials and the correlation maps of a parameter.
    Jet exp_of(const Jet& a, double scale) const {  // exp(scale * a)
        const double e = linalg::exp_of(scale * a.v);
        return apply(a, e, scale * e, scale * scale * e);
    }
    Jet bounded_corr(const Jet& a) const {  // t / sqrt(1 + t^2)
        const double s = 1.0 + a.v * a.v, r = std::sqrt(s);
        return apply(a, a.v / r, 1.0 / (s * r), -3.0 * a.v / (s * s * r));
    }
    Jet logistic(const Jet& a) const {
        const double l = 1.0 / (1.0 + linalg::exp_of(-a.v));
        const double d1 = l * (1.0 - l);
        return apply(a, l, d1, d1 * (1.0 - 2.0 * l));
    }
    Jet power(const Jet& a, double d) const {  // a^d for a > 0 or integer d
        if (d == 0.0) return constant(1.0);
        // Exponents 1 and 2 have derivatives that do not divide by a (a may be 0).
        if (d == 1.0) return apply(a, a.v, 1.0, 0.0);
        if (d == 2.0) return apply(a, a.v * a.v, 2.0 * a.v, 2.0);
        return apply(a, std::pow(a.v, d), d * std::pow(a.v, d - 1.0), d * (d - 1.0) * std::pow(a.v, d - 2.0));
    }
    Jet affine(const Jet& a, double scale, double shift) const {
        return apply(a, scale * a.v + shift, scale, 0.0);
    }

    // The entries as dense arrays over all n parameters (zeros where an
    // entry does not depend on a parameter).
    SigmaJet store(const std::vector<Jet>& entries, std::uint64_t t) const {
        SigmaJet s;
        s.t = t;
        s.n = n_;
        s.value.resize(t * t);
        s.grad.assign(t * t * n_, 0.0);
        if (second_) s.hess.assign(t * t * n_ * n_, 0.0);
        for (std::uint64_t e = 0; e < t * t; ++e) {
            const Jet& j = entries[e];
            const std::size_t m = j.idx.size();
            s.value[e] = j.v;
            for (std::size_t k = 0; k < m; ++k) s.grad[e * n_ + j.idx[k]] = j.g[k];
            if (second_)
                for (std::size_t k = 0; k < m; ++k)
                    for (std::size_t l = 0; l < m; ++l)
                        s.hess[(e * n_ + j.idx[k]) * n_ + j.idx[l]] = j.h[k * m + l];
        }
        return s;
    }

private:
    // The union of a's and b's indices (ascending) and where each of theirs lands in it.
    static void merge(const Jet& a, const Jet& b, std::vector<std::uint32_t>& idx, std::vector<std::size_t>& pa,
                      std::vector<std::size_t>& pb) {
        idx.clear();
        pa.resize(a.idx.size());
        pb.resize(b.idx.size());
        std::size_t i = 0, k = 0;
        while (i < a.idx.size() || k < b.idx.size()) {
            const bool take_a = k == b.idx.size() || (i < a.idx.size() && a.idx[i] <= b.idx[k]);
            const bool take_b = i == a.idx.size() || (k < b.idx.size() && b.idx[k] <= a.idx[i]);
            const std::uint32_t v = take_a ? a.idx[i] : b.idx[k];
            if (take_a) pa[i++] = idx.size();
            if (take_b) pb[k++] = idx.size();
            idx.push_back(v);
        }
    }
    // x's Hessian embedded into out (m x m) at the positions p.
    static void embed(const Jet& x, const std::vector<std::size_t>& p, std::size_t m, std::vector<double>& out) {
        const std::size_t mx = x.idx.size();
        for (std::size_t k = 0; k < mx; ++k)
            for (std::size_t l = 0; l < mx; ++l) out[p[k] * m + p[l]] = x.h[k * mx + l];
    }

    std::uint64_t n_;
    bool second_;
};

// The correlation of visits i > j from the correlation parameters' jets.
Jet correlation(const Jets& J, Structure base, const std::vector<Jet>& rho, std::uint64_t i, std::uint64_t j) {
    switch (base) {
        case Structure::Toep: return rho[i - j - 1];
        case Structure::Ar1: return J.power(rho[0], static_cast<double>(i - j));
        case Structure::Cs: return rho[0];
        default: {  // ante-dependence: the product of the neighbours' correlations
            Jet r = rho[j];
            for (std::uint64_t k = j + 1; k < i; ++k) r = J.mul(r, rho[k]);
            return r;
        }
    }
}

Structure homogeneous_form(Structure s) {
    switch (s) {
        case Structure::Toeph: return Structure::Toep;
        case Structure::Ar1h: return Structure::Ar1;
        case Structure::Csh: return Structure::Cs;
        case Structure::Adh: return Structure::Ad;
        default: return s;
    }
}

bool heterogeneous(Structure s) { return homogeneous_form(s) != s; }

std::size_t correlation_parameters(Structure base, std::uint64_t visits) {
    return (base == Structure::Toep || base == Structure::Ad) ? static_cast<std::size_t>(visits - 1) : 1;
}

SigmaJet unstructured(std::span<const double> theta, std::uint64_t t, bool second) {
    const Jets J(theta.size(), second);
    // L row by row: L_ii = exp(theta_i), L_ij = exp(theta_i) * theta_k.
    std::vector<Jet> lower(t * t, J.constant(0.0));
    std::size_t k = t;
    for (std::uint64_t i = 0; i < t; ++i) {
        const Jet sd = J.exp_of(J.variable(i, theta[i]), 1.0);
        for (std::uint64_t j = 0; j < i; ++j, ++k) lower[i * t + j] = J.mul(sd, J.variable(k, theta[k]));
        lower[i * t + i] = sd;
    }
    std::vector<Jet> sigma(t * t);
    for (std::uint64_t a = 0; a < t; ++a)
        for (std::uint64_t b = 0; b <= a; ++b) {
            Jet s = J.constant(0.0);
            for (std::uint64_t m = 0; m <= b; ++m) J.add_to(s, J.mul(lower[a * t + m], lower[b * t + m]));
            sigma[b * t + a] = s;
            sigma[a * t + b] = std::move(s);
        }
    return J.store(sigma, t);
}

}  // namespace

std::optional<Structure> structure_from_name(std::string_view name) {
    static constexpr std::pair<std::string_view, Structure> kNames[] = {
        {"us", Structure::Us},     {"toep", Structure::Toep}, {"toeph", Structure::Toeph},
        {"ar1", Structure::Ar1},   {"ar1h", Structure::Ar1h}, {"cs", Structure::Cs},
        {"csh", Structure::Csh},   {"ad", Structure::Ad},     {"adh", Structure::Adh},
        {"sp_exp", Structure::SpExp}};
    for (const auto& [text, s] : kNames)
        if (text == name) return s;
    return std::nullopt;
}

std::size_t theta_per_group(Structure s, std::uint64_t visits) {
    if (s == Structure::Us) return static_cast<std::size_t>(visits * (visits + 1) / 2);
    if (s == Structure::SpExp) return 2;
    const Structure base = homogeneous_form(s);
    const std::size_t variances = heterogeneous(s) ? static_cast<std::size_t>(visits) : 1;
    return variances + correlation_parameters(base, visits);
}

SigmaJet visit_sigma(Structure s, std::span<const double> theta, std::uint64_t t, bool second) {
    if (theta.size() != theta_per_group(s, t)) throw std::logic_error("visit_sigma: wrong number of parameters");
    if (s == Structure::Us) return unstructured(theta, t, second);
    const Jets J(theta.size(), second);
    const Structure base = homogeneous_form(s);
    const std::size_t first_corr = heterogeneous(s) ? static_cast<std::size_t>(t) : 1;
    std::vector<Jet> rho;
    for (std::size_t k = first_corr; k < theta.size(); ++k) {
        const Jet v = J.variable(k, theta[k]);
        if (base == Structure::Cs) {
            const double a = 1.0 / static_cast<double>(t - 1);
            rho.push_back(J.affine(J.logistic(v), 1.0 + a, -a));
        } else {
            rho.push_back(J.bounded_corr(v));
        }
    }
    std::vector<Jet> sd;  // per visit (heterogeneous) or one
    if (heterogeneous(s))
        for (std::uint64_t i = 0; i < t; ++i) sd.push_back(J.exp_of(J.variable(i, theta[i]), 1.0));
    const Jet variance = heterogeneous(s) ? Jet{} : J.exp_of(J.variable(0, theta[0]), 2.0);
    std::vector<Jet> sigma(t * t);
    for (std::uint64_t a = 0; a < t; ++a)
        for (std::uint64_t b = 0; b <= a; ++b) {
            Jet e;
            if (heterogeneous(s)) {
                e = J.mul(sd[a], sd[b]);
                if (a != b) e = J.mul(e, correlation(J, base, rho, a, b));
            } else {
                e = a == b ? variance : J.mul(variance, correlation(J, base, rho, a, b));
            }
            sigma[b * t + a] = e;
            sigma[a * t + b] = std::move(e);
        }
    return J.store(sigma, t);
}

SigmaJet spatial_sigma(std::span<const double> theta, std::span<const double> times, bool second) {
    if (theta.size() != 2) throw std::logic_error("spatial_sigma: wrong number of parameters");
    const Jets J(2, second);
    const Jet variance = J.exp_of(J.variable(0, theta[0]), 1.0);
    const Jet rho = J.logistic(J.variable(1, theta[1]));
    const std::uint64_t t = times.size();
    std::vector<Jet> sigma(t * t);
    for (std::uint64_t a = 0; a < t; ++a)
        for (std::uint64_t b = 0; b <= a; ++b) {
            Jet e = a == b ? variance : J.mul(variance, J.power(rho, std::fabs(times[a] - times[b])));
            sigma[b * t + a] = e;
            sigma[a * t + b] = std::move(e);
        }
    return J.store(sigma, t);
}

}  // namespace corvane::mmrm
