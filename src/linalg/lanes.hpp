// W doubles held side by side in vector lanes, one independent problem per
// lane (several groups evaluated at once).
//
// Every operation acts on each lane exactly as the scalar operation acts on a
// double: +, -, * and / are the IEEE operations of the lane's values, sqrt is
// the correctly rounded square root, log is the core's own logarithm
// (elementary.hpp, the same bits in a lane as for a double). Nothing is fused
// or reassociated (the build forbids contraction), so a lane computes the
// bits the scalar code computes for its problem. A scalar
// operand is broadcast to every lane first, which gives each lane the scalar
// operation unchanged.
//
// Comparisons give a Mask (all bits set in a lane where true); `select`
// picks per lane. The scalar forms (`double`, `bool`) have the same names so
// that one template serves both.
//
// The type uses the compilers' vector extension (GCC and Clang), so one
// source serves AVX2 (W = 4) and NEON (W = 2); the lanes code is compiled in
// its own translation unit for the instruction set, with every name of this
// header and of dense.hpp in an inline namespace of that set (CORVANE_ISA),
// so that no inline function compiled for it can stand in for the baseline
// one at link time.
#pragma once

#include <cmath>
#include <cstdint>
#include <type_traits>

#if defined(__AVX__)
#include <immintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

#ifndef CORVANE_ISA
#define CORVANE_ISA baseline
#endif

namespace corvane::linalg {
inline namespace CORVANE_ISA {

template <int W>
struct Mask;

// The vector types of W doubles and of W 64-bit masks.
template <int W>
struct VectorOf;
template <>
struct VectorOf<2> {
    typedef double Vec __attribute__((vector_size(16)));
    typedef std::int64_t Bits __attribute__((vector_size(16)));
};
template <>
struct VectorOf<4> {
    typedef double Vec __attribute__((vector_size(32)));
    typedef std::int64_t Bits __attribute__((vector_size(32)));
};

template <int W>
struct Lanes {
    using Vec = typename VectorOf<W>::Vec;
    Vec v;

    Lanes() = default;
    // Broadcast: every lane holds x.
    // Implicit, so that scalars mix with lanes as they do in the scalar code.
    Lanes(double x) {  // NOLINT(google-explicit-constructor)
        double each[W];
        for (int l = 0; l < W; ++l) each[l] = x;
        __builtin_memcpy(&v, each, sizeof(v));
    }
    static Lanes of(Vec x) {
        Lanes r;
        r.v = x;
        return r;
    }
    double operator[](int l) const { return v[l]; }

    friend Lanes operator+(Lanes a, Lanes b) { return of(a.v + b.v); }
    friend Lanes operator-(Lanes a, Lanes b) { return of(a.v - b.v); }
    friend Lanes operator*(Lanes a, Lanes b) { return of(a.v * b.v); }
    friend Lanes operator/(Lanes a, Lanes b) { return of(a.v / b.v); }
    friend Lanes operator-(Lanes a) { return of(-a.v); }
    friend Mask<W> operator==(Lanes a, Lanes b) { return Mask<W>::of(a.v == b.v); }
    friend Mask<W> operator>(Lanes a, Lanes b) { return Mask<W>::of(a.v > b.v); }
    friend Mask<W> operator<=(Lanes a, Lanes b) { return Mask<W>::of(a.v <= b.v); }
};

template <int W>
struct Mask {
    using Bits = typename VectorOf<W>::Bits;
    Bits b;

    static Mask of(Bits x) {
        Mask r;
        r.b = x;
        return r;
    }
    friend Mask operator&(Mask x, Mask y) { return of(x.b & y.b); }
    friend Mask operator!(Mask x) { return of(~x.b); }
    bool lane(int l) const { return b[l] != 0; }
    // Bit l set where lane l is true.
    unsigned bits() const {
        unsigned r = 0;
        for (int l = 0; l < W; ++l) r |= (b[l] != 0 ? 1u : 0u) << l;
        return r;
    }
};

template <class T>
struct LaneTraits {
    static constexpr int width = 1;
    using MaskType = bool;
};
template <int W>
struct LaneTraits<Lanes<W>> {
    static constexpr int width = W;
    using MaskType = Mask<W>;
};

template <class T>
inline constexpr bool is_lanes = LaneTraits<T>::width > 1;

template <class T>
using mask_of = typename LaneTraits<T>::MaskType;

// where ? a : b, per lane.
inline double select(bool where, double a, double b) { return where ? a : b; }
template <int W>
inline Lanes<W> select(Mask<W> where, Lanes<W> a, Lanes<W> b) {
    using Bits = typename Mask<W>::Bits;
    using Vec = typename Lanes<W>::Vec;
    // Vector casts between types of one size keep the bits.
    const Bits r = (where.b & (Bits)a.v) | (~where.b & (Bits)b.v);
    return Lanes<W>::of((Vec)r);
}

inline bool all_true(bool m) { return m; }
template <int W>
inline bool all_true(Mask<W> m) {
    for (int l = 0; l < W; ++l)
        if (!m.lane(l)) return false;
    return true;
}

inline double lane_sqrt(double x) { return std::sqrt(x); }
template <int W>
inline Lanes<W> lane_sqrt(Lanes<W> x) {
#if defined(__AVX__)
    if constexpr (W == 4) return Lanes<W>::of((typename Lanes<W>::Vec)_mm256_sqrt_pd((__m256d)x.v));
#elif defined(__aarch64__)
    if constexpr (W == 2) return Lanes<W>::of((typename Lanes<W>::Vec)vsqrtq_f64((float64x2_t)x.v));
#endif
    Lanes<W> r = x;
    for (int l = 0; l < W; ++l) r.v[l] = std::sqrt(x.v[l]);
    return r;
}

}  // namespace CORVANE_ISA
}  // namespace corvane::linalg

// lane_log, the core's own logarithm for a double and for lanes.
#include "linalg/elementary.hpp"
