// exp, expm1, log and log1p written with IEEE additions, multiplications and
// divisions in a fixed order: no FMA, no call into the C library. One
// template serves a double and vector lanes (lanes.hpp), and every lane
// computes the bits the scalar form computes for its value, so results are
// the same on every machine, compiler and C library, with or without lanes.
//
// The methods are the classical ones of Sun's freely distributable fdlibm
// (exp and expm1: reduction by k ln 2 with ln 2 in two parts and a rational
// form of exp(r) on |r| <= ln 2 / 2; log and log1p: reduction to f = m - 1 with m in
// [sqrt(2)/2, sqrt(2)), s = f / (2 + f) and a polynomial in s^2), each under
// one ulp. Branches become selections: every lane computes each case and
// keeps its own, and a case's arithmetic is the same wherever it runs. The
// integer steps (exponents, 2^k) are done on the bits with 64-bit integer
// operations, the same in both forms.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>

#include "linalg/lanes.hpp"

#ifndef CORVANE_ISA
#define CORVANE_ISA baseline
#endif

namespace corvane::linalg {
inline namespace CORVANE_ISA {
namespace elementary_detail {

// ---- the primitives, for a double and for lanes -----------------------------

inline std::uint64_t bits(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}
inline double from_bits(std::uint64_t b) {
    double x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}
inline std::uint64_t ubroadcast(double, std::uint64_t v) { return v; }
inline bool less(double a, double b) { return a < b; }
inline bool is_nan(double a) { return !(a == a); }
inline std::uint64_t pick_bits(bool m, std::uint64_t a, std::uint64_t b) { return m ? a : b; }
inline bool either(bool a, bool b) { return a || b; }

template <int W>
struct UVectorOf;
template <>
struct UVectorOf<2> {
    typedef std::uint64_t Bits __attribute__((vector_size(16)));
};
template <>
struct UVectorOf<4> {
    typedef std::uint64_t Bits __attribute__((vector_size(32)));
};
template <int W>
using UBits = typename UVectorOf<W>::Bits;

template <int W>
inline UBits<W> bits(Lanes<W> x) {
    return (UBits<W>)x.v;
}
inline Lanes<2> from_bits(UBits<2> b) { return Lanes<2>::of((Lanes<2>::Vec)b); }
inline Lanes<4> from_bits(UBits<4> b) { return Lanes<4>::of((Lanes<4>::Vec)b); }
template <int W>
inline UBits<W> ubroadcast(Lanes<W>, std::uint64_t v) {
    UBits<W> r;
    for (int l = 0; l < W; ++l) r[l] = v;
    return r;
}
template <int W>
inline Mask<W> less(Lanes<W> a, Lanes<W> b) {
    return b > a;
}
template <int W>
inline Mask<W> is_nan(Lanes<W> a) {
    return !(a == a);
}
template <int W>
inline UBits<W> pick_bits(Mask<W> m, UBits<W> a, UBits<W> b) {
    const UBits<W> w = (UBits<W>)m.b;
    return (w & a) | (~w & b);
}
template <int W>
inline Mask<W> either(Mask<W> a, Mask<W> b) {
    return !((!a) & (!b));
}

template <class T>
using UBitsOf = decltype(bits(T{}));

// round-to-nearest of x (|x| < 2^51) as a double: adding and subtracting
// 1.5 * 2^52 leaves no fraction bits.
template <class T>
inline T nearest(T x) {
    const T magic = 0x1.8p52;
    return (x + magic) - magic;
}

// An integer held in a double (0 <= k < 2^51) as the same integer in 64
// bits, and back: the bits of 1.5 * 2^52 + k are those of 1.5 * 2^52 plus k.
template <class T>
inline UBitsOf<T> integer_of(T k) {
    return bits(k + T(0x1.8p52)) - ubroadcast(T{}, bits(0x1.8p52));
}
inline double double_of_scalar(std::uint64_t k) { return from_bits(k + bits(0x1.8p52)) - 0x1.8p52; }
template <int W>
inline Lanes<W> double_of_lanes(UBits<W> k) {
    return from_bits(k + ubroadcast(Lanes<W>{}, bits(0x1.8p52))) - Lanes<W>(0x1.8p52);
}
inline double to_double(double, std::uint64_t k) { return double_of_scalar(k); }
template <int W>
inline Lanes<W> to_double(Lanes<W>, UBits<W> k) {
    return double_of_lanes<W>(k);
}

// ---- constants ----------------------------------------------------------------

inline constexpr double kLn2Hi = 6.93147180369123816490e-01;   // 0x3fe62e42fee00000: k * kLn2Hi is exact
inline constexpr double kLn2Lo = 1.90821492927058770002e-10;   // 0x3dea39ef35793c76
inline constexpr double kInvLn2 = 1.44269504088896338700e+00;  // 0x3ff71547652b82fe
inline constexpr double kExpOver = 7.09782712893383973096e+02;   // exp(x) overflows above
inline constexpr double kExpUnder = -7.45133219101941108420e+02; // exp(x) is 0 below
// exp(r) = 1 + r + r^2 / 2 + ...: the coefficients of R(r^2) in
// r (exp(r) + 1) / (exp(r) - 1) = 2 + r^2 / 6 - ... on |r| <= ln 2 / 2.
inline constexpr double kP1 = 1.66666666666666019037e-01;
inline constexpr double kP2 = -2.77777777770155933842e-03;
inline constexpr double kP3 = 6.61375632143793436117e-05;
inline constexpr double kP4 = -1.65339022054652515390e-06;
inline constexpr double kP5 = 4.13813679705723846039e-08;
// log(1 + f) = 2s + 2s^3/3 + ... with s = f / (2 + f): R(z) ~ Lg1 z + ... + Lg7 z^7, z = s^2.
inline constexpr double kLg1 = 6.666666666666735130e-01;
inline constexpr double kLg2 = 3.999999999940941908e-01;
inline constexpr double kLg3 = 2.857142874366239149e-01;
inline constexpr double kLg4 = 2.222219843214978396e-01;
inline constexpr double kLg5 = 1.818357216161805012e-01;
inline constexpr double kLg6 = 1.531383769920937332e-01;
inline constexpr double kLg7 = 1.479819860511658591e-01;

// expm1's rational form on |r| <= ln 2 / 2: the coefficients of its
// correction in (r^2 / 2).
inline constexpr double kQ1 = -3.33333333333331316428e-02;
inline constexpr double kQ2 = 1.58730158725481460165e-03;
inline constexpr double kQ3 = -7.93650757867487942473e-05;
inline constexpr double kQ4 = 4.00821782732936239552e-06;
inline constexpr double kQ5 = -2.01099218183624371326e-07;
inline constexpr double kExpm1MinusOne = -3.88162421113569373274e+01;   // 56 ln 2: below, expm1 is -1

inline constexpr std::uint64_t kMantissa = 0x000fffffffffffffull;

// k ln 2 + log(1 + f) + c for f in [sqrt(2)/2 - 1, sqrt(2) - 1], k an integer
// held in a double, c a small correction of f (log1p's rounding of 1 + x).
template <class T>
inline T log_reduced(T f, T k, T c) {
    const T hfsq = T(0.5) * f * f;
    const T s = f / (T(2.0) + f);
    const T z = s * s;
    const T R = z * (kLg1 + z * (kLg2 + z * (kLg3 + z * (kLg4 + z * (kLg5 + z * (kLg6 + z * kLg7))))));
    return k * kLn2Hi - ((hfsq - (s * (hfsq + R) + (k * kLn2Lo + c))) - f);
}

// (f, k) of a positive normal u = 2^e m: m in [sqrt(2)/2, sqrt(2)), u = 2^k m.
template <class T>
inline void reduce(T u, T& f, T& k) {
    const auto ub = bits(u);
    const auto high = (ub & ubroadcast(T{}, kMantissa)) >> 32;               // m's top 20 bits
    const auto up = (high + ubroadcast(T{}, 0x95f64)) & ubroadcast(T{}, 0x100000);  // m >= sqrt(2): halve it
    const auto mb = (ub & ubroadcast(T{}, kMantissa)) | ((up ^ ubroadcast(T{}, 0x3ff00000)) << 32);
    const auto e = ((ub >> 52) & ubroadcast(T{}, 0x7ff)) + (up >> 20);       // biased exponent of 2^k
    k = to_double(T{}, e) - T(1023.0);
    f = from_bits(mb) - T(1.0);
}

// x = k ln 2 + r, |r| <= ln 2 / 2 (to rounding): k the nearest integer to
// x / ln 2, r = hi - lo with hi = x - k ln2_hi exact and lo = k ln2_lo.
template <class T>
inline void reduce_ln2(T x, T& k, T& hi, T& lo, T& r) {
    k = nearest(x * kInvLn2);
    hi = x - k * kLn2Hi;
    lo = k * kLn2Lo;
    r = hi - lo;
}

}  // namespace elementary_detail

namespace elementary_detail {

// e^x from x's reduction x = k ln 2 + (hi - lo), r = hi - lo.
template <class T>
[[gnu::always_inline]] inline T exp_reduced(T x, T k, T hi, T lo, T r) {
    const T t = r * r;
    const T c = r - t * (kP1 + t * (kP2 + t * (kP3 + t * (kP4 + t * kP5))));
    const T y = T(1.0) - ((lo - (r * c) / (T(2.0) - c)) - hi);
    // y 2^k in two exact steps and one rounded: 2^k1 exactly representable,
    // then the factor that takes the result to or below the subnormals, or to 2^1024.
    const auto low = less(k, T(-1021.0)), top = less(T(1023.0), k);
    const T k1 = select(low, k + T(1000.0), select(top, k - T(1.0), k));
    const T factor = select(low, T(0x1p-1000), select(top, T(2.0), T(1.0)));
    const T scale = from_bits(integer_of(k1 + T(1023.0)) << 52);
    T out = (y * scale) * factor;
    out = select(less(T(kExpOver), x), T(std::numeric_limits<double>::infinity()), out);
    out = select(less(x, T(kExpUnder)), T(0.0), out);
    return select(is_nan(x), x, out);
}

}  // namespace elementary_detail

// e^x, under one ulp; +inf above 709.78..., 0 below -745.13..., NaN for NaN.
template <class T>
[[gnu::always_inline]] inline T exp_of(T x) {
    using namespace elementary_detail;
    T k, hi, lo, r;
    reduce_ln2(x, k, hi, lo, r);
    return exp_reduced(x, k, hi, lo, r);
}

// e^(a + b) for a whose reduction a - k ln2_hi is exact (a's last bit at or
// above 2^-34) and a small b: b joins the reduced argument, and the rounding
// of that sum its low part, so that the rounding of a + b (up to 6e-14 for
// a near -700) does not enter the result. erfc's exp(-x^2) with x^2 split.
inline double exp_sum_of(double a, double b) {
    using namespace elementary_detail;
    const double x = a + b;
    const double k = nearest(x * kInvLn2);
    const double head = a - k * kLn2Hi;  // exact
    const double hi = head + b;
    const double moved = hi - head;
    const double carry = (head - (hi - moved)) + (b - moved);  // head + b = hi + carry
    const double lo = k * kLn2Lo - carry;
    return exp_reduced(x, k, hi, lo, hi - lo);
}

// e^x - 1, under one ulp; -1 below -56 ln 2, +inf above 709.78..., NaN for NaN.
template <class T>
[[gnu::always_inline]] inline T expm1_of(T x) {
    using namespace elementary_detail;
    T k, hi, lo, r;
    reduce_ln2(x, k, hi, lo, r);
    const T c = (hi - r) - lo;                   // what r lost of hi - lo
    const T hfx = T(0.5) * r;
    const T hxs = r * hfx;
    const T r1 = T(1.0) + hxs * (kQ1 + hxs * (kQ2 + hxs * (kQ3 + hxs * (kQ4 + hxs * kQ5))));
    const T t = T(3.0) - r1 * hfx;
    const T e0 = hxs * ((r1 - t) / (T(6.0) - r * t));
    const T near = r - (r * e0 - hxs);            // k = 0: no reduction, c = 0
    const T e = (r * (e0 - c) - c) - hxs;
    const T minus_one = T(0.5) * (r - e) - T(0.5);                                   // k = -1
    const T plus_one = select(less(r, T(-0.25)), T(-2.0) * (e - (r + T(0.5))), T(1.0) + T(2.0) * (r - e));   // k = 1
    // 2^k for k in [-56, 1023] (k = 1024 as 2 * 2^1023).
    const auto top = less(T(1023.0), k);
    const T twopk = from_bits(integer_of(select(top, T(1023.0), k) + T(1023.0)) << 52);
    const T far_y = T(1.0) - (e - r);                                                 // k <= -2 or k > 56
    const T far = select(top, far_y * T(2.0) * twopk, far_y * twopk) - T(1.0);
    // 2 <= k < 20: t = 1 - 2^-k; 20 <= k <= 56: t = 2^-k (exact in both).
    const T two_minus_k = from_bits(integer_of(T(1023.0) - select(top, T(1023.0), k)) << 52);
    const T middle_low = ((T(1.0) - two_minus_k) - (e - r)) * twopk;
    const T middle_high = ((r - (e + two_minus_k)) + T(1.0)) * twopk;
    T out = select(less(k, T(20.0)), middle_low, middle_high);
    out = select(either(less(k, T(-1.5)), less(T(56.5), k)), far, out);
    out = select(k == T(1.0), plus_one, out);
    out = select(k == T(-1.0), minus_one, out);
    out = select(k == T(0.0), near, out);
    out = select(less(T(kExpOver), x), T(std::numeric_limits<double>::infinity()), out);
    out = select(less(x, T(kExpm1MinusOne)), T(-1.0), out);
    return select(is_nan(x), x, out);
}

// The natural logarithm, under one ulp; -inf at 0, NaN below 0 and for NaN,
// +inf at +inf.
template <class T>
[[gnu::always_inline]] inline T log_of(T x) {
    using namespace elementary_detail;
    const auto tiny = less(x, T(0x1p-1022));            // subnormal (or not positive): scaled first
    const T u = select(tiny, x * T(0x1p54), x);
    T f, k;
    reduce(u, f, k);
    k = select(tiny, k - T(54.0), k);
    T out = log_reduced(f, k, T(0.0));
    out = select(x == T(std::numeric_limits<double>::infinity()), x, out);
    out = select(x == T(0.0), T(-std::numeric_limits<double>::infinity()), out);
    return select(either(less(x, T(0.0)), is_nan(x)), T(std::numeric_limits<double>::quiet_NaN()), out);
}

// log(1 + x), under one ulp for every x > -1; x itself at +-0, -inf at -1,
// NaN below it.
template <class T>
[[gnu::always_inline]] inline T log1p_of(T x) {
    using namespace elementary_detail;
    // Near 0 (1 + x in [sqrt(2)/2, sqrt(2))) f is x itself, exactly.
    const auto near = !either(!less(T(-0.2928932188134524), x), !less(x, T(0.4142135623730950)));
    // Elsewhere u = 1 + x rounded, and c corrects its rounding: (1 + x) = u (1 + c / u).
    const T u = x + T(1.0);
    const auto big = less(T(0x1p53), x);                                   // 1 + x is x
    // (u - x and u - 1 are exact on the side each is used: u >= 2, or u < 2.)
    const T c0 = select(less(u, T(2.0)), x - (u - T(1.0)), T(1.0) - (u - x));
    const T c = select(big, T(0.0), c0 / u);
    T f, k;
    reduce(select(near, T(1.0), u), f, k);
    f = select(near, x, f);
    k = select(near, T(0.0), k);
    T out = log_reduced(f, k, select(near, T(0.0), c));
    out = select(either(x == T(std::numeric_limits<double>::infinity()), x == T(0.0)), x, out);   // +-0 kept
    out = select(x == T(-1.0), T(-std::numeric_limits<double>::infinity()), out);
    out = select(either(less(x, T(-1.0)), is_nan(x)), T(std::numeric_limits<double>::quiet_NaN()), out);
    return out;
}

// The lanes' logarithm (lanes.hpp's name for it).
inline double lane_log(double x) { return log_of(x); }
template <int W>
inline Lanes<W> lane_log(Lanes<W> x) {
    return log_of(x);
}

}  // namespace CORVANE_ISA
}  // namespace corvane::linalg
