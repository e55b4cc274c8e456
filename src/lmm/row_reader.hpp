// Rows as the core reads them: each value transformed on the way in (a
// shift relative to a reference column and a power-of-two scale per column,
// see RowTransform) or used as it is. One definition serves construction,
// accumulation and a new response, so that every path forms a transformed
// value with the same operations: (v - shift * ratio) * scale, ratio the
// row's reference value over the column's reference value.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "lmm/lmm_data.hpp"

namespace corvane::lmm {

// A RowTransform's values as plain pointers (its vectors' data), for code
// that must not touch the vectors themselves (the vector-unit builds).
struct RowTransformView {
    double y_shift = 0.0, y_scale = 1.0;
    const double *x_shift = nullptr, *x_scale = nullptr, *z_shift = nullptr, *z_scale = nullptr;
    const double* y_coef = nullptr;  // null: y's shift
    std::int64_t x_ref = -1, z_ref = -1;
    double x_ref_value = 1.0, z_ref_value = 1.0;
};

inline RowTransformView view_of(const RowTransform& t) {
    return {t.y_shift,
            t.y_scale,
            t.x_shift.data(),
            t.x_scale.data(),
            t.z_shift.data(),
            t.z_scale.data(),
            t.y_coef.empty() ? nullptr : t.y_coef.data(),
            t.x_ref,
            t.z_ref,
            t.x_ref_value,
            t.z_ref_value};
}

inline namespace CORVANE_ISA {

// Storage for one transformed row of N values (N > 0 fixed, on the stack;
// N = 0: n values on the heap).
template <std::uint64_t N>
struct RowBuffer {
    double v[N];
    explicit RowBuffer(std::uint64_t) {}
    double* data() { return v; }
};
template <>
struct RowBuffer<0> {
    std::vector<double> v;
    explicit RowBuffer(std::uint64_t n) : v(n) {}
    double* data() { return v.data(); }
};

// A row's value of a reference column over its reference value (see
// RowTransform). Division by a power of two equals multiplication by its
// exact reciprocal, bit for bit, so that common case multiplies.
struct ReferenceRatio {
    const double* column = nullptr;  // the column's first value, or null: ratio 1
    std::uint64_t stride = 0;
    double value = 1.0, reciprocal = 1.0;
    bool multiply = false;

    ReferenceRatio() = default;
    ReferenceRatio(const double* rows, std::uint64_t width, std::int64_t ref, double v) {
        if (ref < 0) return;
        column = rows + ref;
        stride = width;
        value = v;
        int exponent = 0;
        const double mantissa = std::frexp(v, &exponent);
        const double r = 1.0 / v;
        multiply = std::fabs(mantissa) == 0.5 && std::isnormal(v) && std::isnormal(r);
        reciprocal = r;
    }
    double operator()(std::uint64_t r) const {
        if (!column) return 1.0;
        const double c = column[r * stride];
        return multiply ? c * reciprocal : c / value;
    }
};

// Reads rows, transformed when T (see RowTransform): y(r) and x(r, buf),
// z(r, buf) return the row's values, transformed into the buffers (p and q
// doubles) or pointing into the arrays.
template <bool T, std::uint64_t P = 0, std::uint64_t Q = 0>
struct RowReader {
    const double* y_;
    const double* x_;
    const double* z_;
    std::uint64_t p, q;
    RowTransformView tv;
    const RowTransformView* t;  // &tv with a transform, else null
    ReferenceRatio x_ratio, z_ratio;

    RowReader(const double* y, const double* x, const double* z, std::uint64_t p_, std::uint64_t q_,
              const RowTransformView* transform)
        : y_(y), x_(x), z_(z), p(p_), q(q_), tv(transform ? *transform : RowTransformView{}),
          t(transform ? &tv : nullptr) {
        if (t) {
            x_ratio = ReferenceRatio(x, p, t->x_ref, t->x_ref_value);
            z_ratio = ReferenceRatio(z, q, t->z_ref, t->z_ref_value);
        }
    }
    RowReader(const RowReader& other)
        : y_(other.y_), x_(other.x_), z_(other.z_), p(other.p), q(other.q), tv(other.tv),
          t(other.t ? &tv : nullptr), x_ratio(other.x_ratio), z_ratio(other.z_ratio) {}
    RowReader& operator=(const RowReader&) = delete;

    double y(std::uint64_t r) const {
        if constexpr (T) {
            if (t->y_coef) {
                const std::uint64_t pp = P ? P : p;
                const double* row = x_ + r * pp;
                double fitted = 0.0;
                for (std::uint64_t k = 0; k < pp; ++k) fitted = fitted + row[k] * t->y_coef[k];
                return (y_[r] - fitted) * t->y_scale;
            }
            return (y_[r] - t->y_shift * x_ratio(r)) * t->y_scale;
        }
        return y_[r];
    }
    const double* x(std::uint64_t r, double* buf) const {
        if constexpr (T) {
            const std::uint64_t pp = P ? P : p;
            const double* row = x_ + r * pp;
            const double ratio = x_ratio(r);
            const double* shift = t->x_shift;
            const double* scale = t->x_scale;
            for (std::uint64_t k = 0; k < pp; ++k) buf[k] = (row[k] - shift[k] * ratio) * scale[k];
            return buf;
        }
        (void)buf;
        return x_ + r * p;
    }
    const double* z(std::uint64_t r, double* buf) const {
        if constexpr (T) {
            const std::uint64_t qq = Q ? Q : q;
            const double* row = z_ + r * qq;
            const double ratio = z_ratio(r);
            const double* shift = t->z_shift;
            const double* scale = t->z_scale;
            for (std::uint64_t k = 0; k < qq; ++k) buf[k] = (row[k] - shift[k] * ratio) * scale[k];
            return buf;
        }
        (void)buf;
        return z_ + r * q;
    }
};

// Buffers for one transformed row, fixed-size when P and Q are.
template <std::uint64_t P, std::uint64_t Q>
struct RowBuffers {
    RowBuffer<P> x;
    RowBuffer<Q> z;
    RowBuffers(std::uint64_t p, std::uint64_t q) : x(p), z(q) {}
};

}  // namespace CORVANE_ISA
}  // namespace corvane::lmm
