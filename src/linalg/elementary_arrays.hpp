// elementary.hpp's functions over arrays: whole blocks of the lane width in
// vector lanes, the rest one value at a time, compiled for the baseline and
// (elementary_simd.cpp) for the machine's vector unit in an inline namespace
// of its instruction set (CORVANE_ISA). Every value gets the scalar form's
// bits either way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "linalg/elementary.hpp"

namespace corvane::linalg {

enum class Elementary : std::uint8_t { Exp, Expm1, Log, Log1p };

inline namespace CORVANE_ISA {

template <Elementary F, class T>
inline T elementary_of(T x) {
    if constexpr (F == Elementary::Exp) return exp_of(x);
    else if constexpr (F == Elementary::Expm1) return expm1_of(x);
    else if constexpr (F == Elementary::Log) return log_of(x);
    else return log1p_of(x);
}

template <Elementary F, int W>
inline void elementary_over(const double* x, double* out, std::size_t n) {
    std::size_t i = 0;
    if constexpr (W > 1) {
        for (; i + W <= n; i += W) {
            Lanes<W> v;
            std::memcpy(&v.v, x + i, sizeof v.v);
            const Lanes<W> r = elementary_of<F>(v);
            std::memcpy(out + i, &r.v, sizeof r.v);
        }
    }
    for (; i < n; ++i) out[i] = elementary_of<F>(x[i]);
}

// out[i] = F(x[i]) for the function `which`, W values per step.
template <int W>
inline void elementary_array(Elementary which, const double* x, double* out, std::size_t n) {
    switch (which) {
        case Elementary::Exp: return elementary_over<Elementary::Exp, W>(x, out, n);
        case Elementary::Expm1: return elementary_over<Elementary::Expm1, W>(x, out, n);
        case Elementary::Log: return elementary_over<Elementary::Log, W>(x, out, n);
        case Elementary::Log1p: return elementary_over<Elementary::Log1p, W>(x, out, n);
    }
}

}  // namespace CORVANE_ISA

// The array form the machine runs (the vector unit's where it has one and
// CORVANE_LANES is not "0"), and its lane width.
struct ElementaryArrays {
    void (*apply)(Elementary, const double*, double*, std::size_t);
    int width;
};

}  // namespace corvane::linalg
