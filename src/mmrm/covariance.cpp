#include "mmrm/covariance.hpp"

#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>

namespace corvane::mmrm {
namespace {

// A scalar with its gradient and (optionally) Hessian in n parameters:
// forward-mode differentiation of the few operations the maps use.
struct Jet {
    double v = 0.0;
    std::vector<double> g, h;  // n, n x n (empty without second derivatives)
};

class Jets {
public:
    Jets(std::uint64_t n, bool second) : n_(n), second_(second) {}

    Jet constant(double c) const {
        Jet j;
        j.v = c;
        j.g.assign(n_, 0.0);
        if (second_) j.h.assign(n_ * n_, 0.0);
        return j;
    }
    Jet variable(std::size_t k, double value) const {
        Jet j = constant(value);
        j.g[k] = 1.0;
        return j;
    }
    // f(a) from f, f' and f'' at a.v (the chain rule).
    Jet apply(const Jet& a, double f0, double f1, double f2) const {
        Jet j;
        j.v = f0;
        j.g.resize(n_);
        for (std::uint64_t k = 0; k < n_; ++k) j.g[k] = f1 * a.g[k];
        if (second_) {
            j.h.resize(n_ * n_);
            for (std::uint64_t k = 0; k < n_; ++k)
                for (std::uint64_t l = 0; l < n_; ++l)
                    j.h[k * n_ + l] = f1 * a.h[k * n_ + l] + f2 * a.g[k] * a.g[l];
        }
        return j;
    }
    Jet mul(const Jet& a, const Jet& b) const {
        Jet j;
        j.v = a.v * b.v;
        j.g.resize(n_);
        for (std::uint64_t k = 0; k < n_; ++k) j.g[k] = a.v * b.g[k] + b.v * a.g[k];
        if (second_) {
            j.h.resize(n_ * n_);
            for (std::uint64_t k = 0; k < n_; ++k)
                for (std::uint64_t l = 0; l < n_; ++l)
                    j.h[k * n_ + l] = (a.v * b.h[k * n_ + l] + b.v * a.h[k * n_ + l]) +
                                      (a.g[k] * b.g[l] + b.g[k] * a.g[l]);
        }
        return j;
    }
    // a += b
    void add_to(Jet& a, const Jet& b) const {
        a.v += b.v;
        for (std::uint64_t k = 0; k < n_; ++k) a.g[k] += b.g[k];
        if (second_)
            for (std::uint64_t k = 0; k < n_ * n_; ++k) a.h[k] += b.h[k];
    }

    // Exponentials and the correlation maps of a parameter.
    Jet exp_of(const Jet& a, double scale) const {  // exp(scale * a)
        const double e = std::exp(scale * a.v);
        return apply(a, e, scale * e, scale * scale * e);
    }
    Jet bounded_corr(const Jet& a) const {  // t / sqrt(1 + t^2)
        const double s = 1.0 + a.v * a.v, r = std::sqrt(s);
        return apply(a, a.v / r, 1.0 / (s * r), -3.0 * a.v / (s * s * r));
    }
    Jet logistic(const Jet& a) const {
        const double l = 1.0 / (1.0 + std::exp(-a.v));
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

    SigmaJet store(const std::vector<Jet>& entries, std::uint64_t t) const {
        SigmaJet s;
        s.t = t;
        s.n = n_;
        s.value.resize(t * t);
        s.grad.resize(t * t * n_);
        if (second_) s.hess.resize(t * t * n_ * n_);
        for (std::uint64_t e = 0; e < t * t; ++e) {
            s.value[e] = entries[e].v;
            std::copy(entries[e].g.begin(), entries[e].g.end(), s.grad.begin() + e * n_);
            if (second_) std::copy(entries[e].h.begin(), entries[e].h.end(), s.hess.begin() + e * n_ * n_);
        }
        return s;
    }

private:
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
