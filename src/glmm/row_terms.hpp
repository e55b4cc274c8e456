// The per-row terms of the generalized model (family.hpp states them), for a
// double and for vector lanes from one template, and their array forms.
//
// The terms use the core's own exp, expm1, log and log1p (linalg/
// elementary.hpp), which give the same bits in a lane as for a double, and
// branches are selections, so every row gets the same bits whether it runs
// alone or beside others, on any machine. The probit link's erfc is the
// core's own too (linalg/erfc.hpp), taken lane by lane.
//
// The array forms fill whole blocks of W rows in lanes and the rest one row
// at a time; they are compiled for the baseline and (row_terms_simd.cpp) for
// the machine's vector unit, every name in an inline namespace of its
// instruction set (CORVANE_ISA) so that neither can stand in for the other.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "glmm/family.hpp"
#include "glmm/nb1_terms.hpp"
#include "linalg/elementary.hpp"
#include "linalg/erfc.hpp"

namespace corvane::glmm {
inline namespace CORVANE_ISA {

namespace row_detail {

using linalg::Lanes;
using linalg::select;
using linalg::elementary_detail::bits;
using linalg::elementary_detail::either;
using linalg::elementary_detail::from_bits;
using linalg::elementary_detail::less;
using linalg::elementary_detail::ubroadcast;

template <class T>
inline T abs_of(T x) {
    return from_bits(bits(x) & ubroadcast(T{}, 0x7fffffffffffffffull));
}

// Whether x is finite (x - x is NaN for an infinity or a NaN).
template <class T>
inline auto finite(T x) {
    return (x - x) == T(0.0);
}

inline bool both(bool a, bool b) { return a && b; }
template <int W>
inline linalg::Mask<W> both(linalg::Mask<W> a, linalg::Mask<W> b) {
    return a & b;
}

inline bool any(bool m) { return m; }
template <int W>
inline bool any(linalg::Mask<W> m) {
    return !linalg::all_true(!m);
}

inline double erfc_each(double x) { return linalg::erfc_of(x); }
template <int W>
inline Lanes<W> erfc_each(Lanes<W> x) {
    Lanes<W> r;
    for (int l = 0; l < W; ++l) r.v[l] = linalg::erfc_of(x.v[l]);
    return r;
}

inline constexpr double kInvSqrt2 = 0.70710678118654752440;
inline constexpr double kInvSqrt2Pi = 0.39894228040143267794;
inline constexpr double kLn2 = 0.69314718055994530942;
inline constexpr double kInf = std::numeric_limits<double>::infinity();

}  // namespace row_detail

// What the array forms fill: the log-density only, the terms of RowTerms up
// to fisher1, or all of them.
enum class RowMode : std::uint8_t { Value, Full, Third };

template <class T>
struct RowTermsOf {
    T loglik, d1, d2, fisher, fisher1, d3, fisher2;
};

// The logit link's terms from e = exp(-|eta|), l = log1p(e) and
// r = 1 / (1 + e) (read only beyond the value): one
// exponential serves the log-density and mu, with
// log(1 + exp(-eta)) = l + max(-eta, 0), log mu = -log(1 + exp(-eta)) and
// log(1 - mu) = log mu - eta.
template <RowMode M, class T>
[[gnu::always_inline]] inline auto logit_terms(T eta, T y, T w, T e, T l, T r, RowTermsOf<T>& t) {
    using namespace row_detail;
    const T one(1.0), zero(0.0);
    const auto ok = finite(eta);
    const auto negative = less(eta, zero);
    // log(1 + exp(-eta)) + (1 - y) eta = l + |eta| (eta < 0 ? y : 1 - y): a
    // sum of terms >= 0, without the cancellation of -eta against (1 - y) eta.
    t.loglik = -w * (l + select(negative, y, one - y) * abs_of(eta));
    if constexpr (M == RowMode::Value) return ok;
    const T mu = select(negative, e * r, r);  // mu and 1 - mu, each to full relative accuracy
    const T cmu = select(negative, r, e * r);
    const T v = mu * cmu;
    t.d1 = w * (y * cmu - (one - y) * mu);
    t.d2 = -w * v;
    t.fisher = w * v;
    t.fisher1 = w * v * (cmu - mu);
    if constexpr (M == RowMode::Third) {
        // l3 = -w v (1 - 2 mu), W'' = w v (1 - 6 v).
        t.d3 = -w * v * (cmu - mu);
        t.fisher2 = w * v * (one - T(6.0) * v);
    }
    return ok;
}

// The NB1 row's terms (nb1_terms.hpp) for mode M; the Fisher slots hold the
// observed curvature -d2 and its derivatives -d3, -d4 (observed_is_fisher).
// False where eta or r = exp(eta - log alpha) is not representable (r = 0
// with a positive count: no mass).
template <RowMode M>
inline bool nb1_row(double eta, double y, double w, RowTermsOf<double>& t, const RowParams& rp) {
    const double r = linalg::exp_of(eta - rp.log_phi);
    const bool ok = row_detail::finite(eta) && row_detail::finite(r) && (r > 0.0 || y == 0.0);
    const double rl = r * rp.log1p_phi;
    const Nb1Sums s = nb1_sums(r, y, M == RowMode::Value ? 0 : (M == RowMode::Full ? 3 : 4));
    t.loglik = w * (s.value - rl);
    if constexpr (M == RowMode::Value) return ok;
    t.d1 = w * (s.s1 - rl);
    t.d2 = w * (s.s2 - rl);
    t.fisher = -t.d2;
    t.d3 = w * (s.s3 - rl);
    t.fisher1 = -t.d3;
    if constexpr (M == RowMode::Third) t.fisher2 = -(w * (s.s4 - rl));
    return ok;
}

// Fills t's terms for mode M at eta; the mask of the rows whose terms are
// representable (family.hpp's conditions). Lanes not representable hold
// unspecified values.
template <Link L, RowMode M, class T>
inline auto row_terms_of(T eta, T y, T w, RowTermsOf<T>& t, const RowParams& rp = {}) {
    using namespace row_detail;
    using linalg::log1p_of;
    using linalg::log_of;
    using linalg::exp_of;
    using linalg::expm1_of;
    const T one(1.0), zero(0.0);
    if constexpr (L == Link::Logit) {
        const T e = exp_of(-abs_of(eta));
        return logit_terms<M>(eta, y, w, e, log1p_of(e), M == RowMode::Value ? zero : one / (one + e), t);
    } else if constexpr (L == Link::Probit) {
        const auto ok = both(!less(T(kProbitLimit), abs_of(eta)), finite(eta));
        const T mu = T(0.5) * erfc_each(-eta * T(kInvSqrt2));
        const T cmu = T(0.5) * erfc_each(eta * T(kInvSqrt2));
        // y log mu counts as 0 at y = 0 (mu may underflow there), as does
        // (1 - y) log(1 - mu) at y = 1.
        t.loglik = w * (select(y == zero, zero, y * log_of(mu)) + select(y == one, zero, (one - y) * log_of(cmu)));
        if constexpr (M == RowMode::Value) return ok;
        const T phi = T(kInvSqrt2Pi) * exp_of(T(-0.5) * eta * eta);
        const T l1 = phi / mu;   // d log mu / d eta
        const T l2 = phi / cmu;  // -d log(1 - mu) / d eta
        t.d1 = w * (y * l1 - (one - y) * l2);
        t.d2 = -w * (y * l1 * (eta + l1) + (one - y) * l2 * (l2 - eta));
        t.fisher = w * l1 * l2;
        const T g = l2 - l1 - T(2.0) * eta;
        t.fisher1 = w * l1 * l2 * g;
        if constexpr (M == RowMode::Third) {
            // (log Phi)''' = l1 ((eta + l1)(eta + 2 l1) - 1),
            // (log(1 - Phi))''' = -l2 ((l2 - eta)(2 l2 - eta) - 1);
            // W'' = W (g^2 + l2 (l2 - eta) + l1 (eta + l1) - 2).
            t.d3 = w * (y * l1 * ((eta + l1) * (eta + T(2.0) * l1) - one) -
                        (one - y) * l2 * ((l2 - eta) * (T(2.0) * l2 - eta) - one));
            t.fisher2 = w * l1 * l2 * (g * g + l2 * (l2 - eta) + l1 * (eta + l1) - T(2.0));
        }
        return ok;
    } else if constexpr (L == Link::Cloglog) {
        const T s = exp_of(eta);  // -log(1 - mu)
        const auto ok = both(less(zero, s), finite(s));
        const T mu = -expm1_of(-s);
        const T tail = exp_of(-s);  // 1 - mu
        // log mu from mu while it is at most 1/2, beyond as log1p(-(1 - mu)),
        // which keeps its digits when mu rounds towards 1.
        const T log_mu = select(less(T(kLn2), s), log1p_of(-tail), log_of(mu));
        t.loglik = w * (select(y == zero, zero, y * log_mu) - (one - y) * s);
        if constexpr (M == RowMode::Value) return ok;
        const T r = s * tail / mu;  // d log mu / d eta = s / (exp(s) - 1)
        const T a = one - s - r;
        t.d1 = w * (y * r - (one - y) * s);
        t.d2 = w * (y * r * a - (one - y) * s);
        t.fisher = w * s * r;
        const T b = T(2.0) - s - r;
        t.fisher1 = w * s * r * b;
        if constexpr (M == RowMode::Third) {
            // (log mu)''' = r (a (1 - s - 2 r) - s), (log(1 - mu))''' = -s;
            // W'' = W (b^2 - s - r a).
            t.d3 = w * (y * r * (a * (one - s - T(2.0) * r) - s) - (one - y) * s);
            t.fisher2 = w * s * r * (b * b - s - r * a);
        }
        return ok;
    } else if constexpr (L == Link::NegBin1Log) {
        if constexpr (std::is_same_v<T, double>) {
            return nb1_row<M>(eta, y, w, t, rp);
        } else {
            constexpr std::size_t kW = sizeof(eta.v) / sizeof(double);
            double terms[7][kW], flags[kW];
            for (std::size_t l = 0; l < kW; ++l) {
                RowTermsOf<double> one_row{};
                flags[l] = nb1_row<M>(eta.v[l], y.v[l], w.v[l], one_row, rp) ? 1.0 : 0.0;
                terms[0][l] = one_row.loglik;
                terms[1][l] = one_row.d1;
                terms[2][l] = one_row.d2;
                terms[3][l] = one_row.fisher;
                terms[4][l] = one_row.fisher1;
                terms[5][l] = one_row.d3;
                terms[6][l] = one_row.fisher2;
            }
            T* slots[7] = {&t.loglik, &t.d1, &t.d2, &t.fisher, &t.fisher1, &t.d3, &t.fisher2};
            for (int k = 0; k < 7; ++k) std::memcpy(&slots[k]->v, terms[k], sizeof terms[k]);
            T ok_lanes;
            std::memcpy(&ok_lanes.v, flags, sizeof flags);
            return ok_lanes == T(1.0);
        }
    } else if constexpr (L == Link::NegBinLog) {
        // With a = mu / phi = exp(eta - log phi), p = a / (1 + a) and
        // k = w (y + phi), the derivatives in eta are w (y (1 - p) - phi p),
        // -k p (1 - p), -k p (1 - p) (1 - 2 p) and
        // -k p (1 - p) (1 - 6 p (1 - p)); the Fisher slots hold the observed
        // curvature k p (1 - p) and its derivatives (observed_is_fisher).
        const T phi(rp.phi);
        const T a = exp_of(eta - T(rp.log_phi));
        const auto ok = both(finite(eta), finite(a));
        t.loglik = w * (y * eta - (y + phi) * log1p_of(a));
        if constexpr (M == RowMode::Value) return ok;
        const T cp = one / (one + a);
        const T p = a * cp;
        const T v = p * cp;
        const T k = w * (y + phi);
        t.d1 = w * (y * cp - phi * p);
        t.d2 = -k * v;
        t.fisher = k * v;
        t.fisher1 = k * v * (cp - p);
        if constexpr (M == RowMode::Third) {
            t.d3 = -t.fisher1;
            t.fisher2 = k * v * (one - T(6.0) * v);
        }
        return ok;
    } else {
        const T mu = exp_of(eta);
        const auto ok = finite(mu);
        t.loglik = w * (y * eta - mu);
        if constexpr (M == RowMode::Value) return ok;
        t.d1 = w * (y - mu);
        t.d2 = -w * mu;
        t.fisher = w * mu;
        t.fisher1 = w * mu;
        if constexpr (M == RowMode::Third) {
            t.d3 = -w * mu;
            t.fisher2 = w * mu;
        }
        return ok;
    }
}

// The change of a row's log-density from eta to eta + delta, computed as a
// change (not as the difference of two values) where the link allows it, so
// that its rounding is that of the change rather than of the values: with
// counts in the millions a value is ~1e8 and its rounding outweighs the
// change a quadrature node makes. NaN where eta is not representable, -inf
// where eta + delta has no mass, never NaN otherwise.
template <Link L, class T>
inline T loglik_change_of(T eta, T delta, T y, T w, const RowParams& rp = {}) {
    using namespace row_detail;
    using linalg::exp_of;
    using linalg::expm1_of;
    using linalg::log1p_of;
    const T one(1.0), zero(0.0);
    if constexpr (L == Link::Logit) {
        // y eta - log(1 + exp(eta)): the log ratio of the 1 + exp terms as
        // log1p(mu expm1(delta)) about the smaller of mu and 1 - mu.
        const auto negative = less(eta, zero);
        const T e = exp_of(-abs_of(eta));
        const T r = one / (one + e);
        const T linear = select(negative, y, y - one) * delta;
        return w * (linear - log1p_of(e * r * expm1_of(select(negative, delta, -delta))));
    } else if constexpr (L == Link::Log) {
        return w * (y * delta - exp_of(eta) * expm1_of(delta));
    } else if constexpr (L == Link::Cloglog) {
        // s = exp(eta) moves by a = s expm1(delta); log(1 - exp(-s)) by
        // log1p(exp(-s) expm1(-a) / expm1(-s)); -s by -a.
        const T s = exp_of(eta);
        const T a = s * expm1_of(delta);
        const T moved = select(y == zero, zero, y * log1p_of(exp_of(-s) * expm1_of(-a) / expm1_of(-s)));
        return w * (moved - (one - y) * a);
    } else if constexpr (L == Link::NegBinLog) {
        // (1 + a e^delta) / (1 + a) = 1 + p expm1(delta), p = a / (1 + a).
        const T a = exp_of(eta - T(rp.log_phi));
        const T p = a / (one + a);
        return w * (y * delta - (y + T(rp.phi)) * log1p_of(p * expm1_of(delta)));
    } else {
        RowTermsOf<T> at{}, to{};
        const auto at_ok = row_terms_of<L, RowMode::Value>(eta, y, w, at, rp);
        const auto to_ok = row_terms_of<L, RowMode::Value>(eta + delta, y, w, to, rp);
        const T change = select(to_ok, to.loglik - at.loglik, T(-kInf));
        return select(at_ok, change, T(std::numeric_limits<double>::quiet_NaN()));
    }
}

// ---- one row (the scalar forms the kernels call) ------------------------------

template <Link L>
inline bool row_terms(double eta, double y, double w, bool value_only, RowTerms& t, const RowParams& rp = {}) {
    RowTermsOf<double> r{};
    bool ok;
    if (value_only) {
        ok = row_terms_of<L, RowMode::Value>(eta, y, w, r, rp);
    } else {
        ok = row_terms_of<L, RowMode::Full>(eta, y, w, r, rp);
        t.d1 = r.d1;
        t.d2 = r.d2;
        t.fisher = r.fisher;
        t.fisher1 = r.fisher1;
    }
    t.loglik = r.loglik;
    return ok;
}

// row_terms with the third derivative of the log-density and the second of
// the Fisher weight (from the same ratios, so as accurate in the tails).
template <Link L>
inline bool row_terms_third(double eta, double y, double w, RowTerms& t, const RowParams& rp = {}) {
    RowTermsOf<double> r{};
    const bool ok = row_terms_of<L, RowMode::Third>(eta, y, w, r, rp);
    t = RowTerms{r.loglik, r.d1, r.d2, r.fisher, r.fisher1, r.d3, r.fisher2};
    return ok;
}

template <Link L>
inline double loglik_change(double eta, double delta, double y, double w, const RowParams& rp = {}) {
    return loglik_change_of<L>(eta, delta, y, w, rp);
}

// ---- arrays ---------------------------------------------------------------------

// Where the array forms write: one entry per row, for the terms the mode
// fills (the others may be null).
struct RowArrays {
    double* loglik = nullptr;
    double* d1 = nullptr;
    double* d2 = nullptr;
    double* fisher = nullptr;
    double* fisher1 = nullptr;
    double* d3 = nullptr;
    double* fisher2 = nullptr;
};

namespace row_detail {

template <int W>
inline Lanes<W> load(const double* p) {
    Lanes<W> v;
    std::memcpy(&v.v, p, sizeof v.v);
    return v;
}
template <int W>
inline void store(double* p, Lanes<W> v) {
    std::memcpy(p, &v.v, sizeof v.v);
}
inline double load1(const double* p) { return *p; }

template <Link L, RowMode M, class T>
inline void put(const RowArrays& out, std::size_t i, const RowTermsOf<T>& t) {
    const auto write = [&](double* to, T v) {
        if constexpr (std::is_same_v<T, double>) to[i] = v;
        else store(to + i, v);
    };
    write(out.loglik, t.loglik);
    if constexpr (M != RowMode::Value) {
        write(out.d1, t.d1);
        write(out.d2, t.d2);
        write(out.fisher, t.fisher);
        write(out.fisher1, t.fisher1);
    }
    if constexpr (M == RowMode::Third) {
        write(out.d3, t.d3);
        write(out.fisher2, t.fisher2);
    }
}

}  // namespace row_detail

// Fills `out` for rows [0, n) of eta, y and w; false when some row is not
// representable (its entries, and those of rows after it, are then unspecified).
// The logit link over arrays in stages of kStage rows: the exponentials of
// all of them, then their log1p and 1 / (1 + e), then the rest. Each stage's rows are
// independent, so the vector unit works on several at once instead of
// waiting on one row's chain of exp, log1p and division; every row gets the
// operations of row_terms_of all the same.
inline constexpr std::size_t kStage = 64;

template <RowMode M, int W>
inline bool logit_over(const double* eta, const double* y, const double* w, std::size_t n, const RowArrays& out) {
    using namespace row_detail;
    constexpr bool kValue = M == RowMode::Value;
    double e[kStage], l[kStage], r[kStage];
    bool bad = false;
    for (std::size_t s = 0; s < n; s += kStage) {
        const std::size_t m = std::min(kStage, n - s);
        const double *es = eta + s, *ys = y + s, *ws = w + s;
        std::size_t i = 0;
        if constexpr (W > 1)
            for (; i + W <= m; i += W) store(e + i, linalg::exp_of(-abs_of(load<W>(es + i))));
        for (; i < m; ++i) e[i] = linalg::exp_of(-abs_of(es[i]));
        i = 0;
        if constexpr (W > 1)
            for (; i + W <= m; i += W) {
                const Lanes<W> ei = load<W>(e + i);
                store(l + i, linalg::log1p_of(ei));
                if constexpr (!kValue) store(r + i, Lanes<W>(1.0) / (Lanes<W>(1.0) + ei));
            }
        for (; i < m; ++i) {
            l[i] = linalg::log1p_of(e[i]);
            if constexpr (!kValue) r[i] = 1.0 / (1.0 + e[i]);
        }
        i = 0;
        if constexpr (W > 1)
            for (; i + W <= m; i += W) {
                RowTermsOf<Lanes<W>> t{};
                const auto ok = logit_terms<M>(load<W>(es + i), load<W>(ys + i), load<W>(ws + i), load<W>(e + i),
                                               load<W>(l + i), kValue ? Lanes<W>(0.0) : load<W>(r + i), t);
                bad = bad || any(!ok);
                put<Link::Logit, M>(out, s + i, t);
            }
        for (; i < m; ++i) {
            RowTermsOf<double> t{};
            bad = bad || !logit_terms<M>(es[i], ys[i], ws[i], e[i], l[i], kValue ? 0.0 : r[i], t);
            put<Link::Logit, M>(out, s + i, t);
        }
    }
    return !bad;
}

template <Link L, RowMode M, int W>
inline bool row_terms_over(const double* eta, const double* y, const double* w, std::size_t n,
                           const RowArrays& out, const RowParams& rp) {
    using namespace row_detail;
    if constexpr (L == Link::Logit) return logit_over<M, W>(eta, y, w, n, out);
    std::size_t i = 0;
    bool bad = false;
    const auto step = [&]<int V>() {
        for (; i + V <= n; i += V) {
            RowTermsOf<Lanes<V>> t{};
            const auto ok = row_terms_of<L, M>(load<V>(eta + i), load<V>(y + i), load<V>(w + i), t, rp);
            bad = bad || any(!ok);
            put<L, M>(out, i, t);
        }
    };
    if constexpr (W > 1) step.template operator()<W>();
    if constexpr (W > 2) step.template operator()<W / 2>();
    for (; i < n; ++i) {
        RowTermsOf<double> t{};
        bad = bad || !row_terms_of<L, M>(eta[i], y[i], w[i], t, rp);
        put<L, M>(out, i, t);
    }
    return !bad;
}

// out[i] = the change of row i's log-density from eta[i] to eta[i] + delta[i].
template <Link L, int W>
inline void loglik_change_over(const double* eta, const double* delta, const double* y, const double* w,
                               std::size_t n, double* out, const RowParams& rp) {
    using namespace row_detail;
    std::size_t i = 0;
    const auto step = [&]<int V>() {
        for (; i + V <= n; i += V)
            store(out + i, loglik_change_of<L>(load<V>(eta + i), load<V>(delta + i), load<V>(y + i),
                                               load<V>(w + i), rp));
    };
    if constexpr (W > 1) step.template operator()<W>();
    if constexpr (W > 2) step.template operator()<W / 2>();
    for (; i < n; ++i) out[i] = loglik_change_of<L>(eta[i], delta[i], y[i], w[i], rp);
}

template <int W>
inline bool row_terms_array(Link link, RowMode mode, const double* eta, const double* y, const double* w,
                            std::size_t n, const RowArrays& out, const RowParams& rp) {
    const auto by_mode = [&]<Link L>() {
        switch (mode) {
            case RowMode::Value: return row_terms_over<L, RowMode::Value, W>(eta, y, w, n, out, rp);
            case RowMode::Full: return row_terms_over<L, RowMode::Full, W>(eta, y, w, n, out, rp);
            default: return row_terms_over<L, RowMode::Third, W>(eta, y, w, n, out, rp);
        }
    };
    switch (link) {
        case Link::Logit: return by_mode.template operator()<Link::Logit>();
        case Link::Probit: return by_mode.template operator()<Link::Probit>();
        case Link::Cloglog: return by_mode.template operator()<Link::Cloglog>();
        case Link::NegBinLog: return by_mode.template operator()<Link::NegBinLog>();
        case Link::NegBin1Log: return by_mode.template operator()<Link::NegBin1Log>();
        default: return by_mode.template operator()<Link::Log>();
    }
}

template <int W>
inline void loglik_change_array(Link link, const double* eta, const double* delta, const double* y,
                                const double* w, std::size_t n, double* out, const RowParams& rp) {
    switch (link) {
        case Link::Logit: return loglik_change_over<Link::Logit, W>(eta, delta, y, w, n, out, rp);
        case Link::Probit: return loglik_change_over<Link::Probit, W>(eta, delta, y, w, n, out, rp);
        case Link::Cloglog: return loglik_change_over<Link::Cloglog, W>(eta, delta, y, w, n, out, rp);
        case Link::NegBinLog: return loglik_change_over<Link::NegBinLog, W>(eta, delta, y, w, n, out, rp);
        case Link::NegBin1Log: return loglik_change_over<Link::NegBin1Log, W>(eta, delta, y, w, n, out, rp);
        default: return loglik_change_over<Link::Log, W>(eta, delta, y, w, n, out, rp);
    }
}

}  // namespace CORVANE_ISA

// The array forms the machine runs and their rows per step: the vector
// unit's width where it has one (4 doubles with AVX2, 2 with NEON), the
// baseline's 2 otherwise, one row when CORVANE_LANES is "0" (the
// same bits in every case).
struct RowKernels {
    bool (*terms)(Link, RowMode, const double*, const double*, const double*, std::size_t, const RowArrays&,
                  const RowParams&);
    void (*change)(Link, const double*, const double*, const double*, const double*, std::size_t, double*,
                   const RowParams&);
    int width;
};

const RowKernels& row_kernels();

}  // namespace corvane::glmm
