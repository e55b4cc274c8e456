// A (hi, lo) accumulator for long sums: hi collects the rounded sum, lo the
// rounding errors (two-sum), so the value hi + lo carries about twice the
// precision of a plain running sum.
#pragma once

namespace corvane::linalg {

struct CompensatedSum {
    double hi = 0.0;
    double lo = 0.0;

    // s = hi + v; e = s - hi; err = (v - e) + (hi - (s - e)); hi = s; lo += err.
    void add(double v) {
        const double s = hi + v;
        const double e = s - hi;
        const double err = (v - e) + (hi - (s - e));
        hi = s;
        lo = lo + err;
    }

    // Adds `part` into this total: lo = part.lo + (lo + err).
    void merge(const CompensatedSum& part) {
        const double s = hi + part.hi;
        const double e = s - hi;
        const double err = (part.hi - e) + (hi - (s - e));
        hi = s;
        lo = part.lo + (lo + err);
    }

    double value() const { return hi + lo; }

    // x - (hi + lo) evaluated as (x - hi) - lo.
    double subtracted_from(double x) const { return (x - hi) - lo; }
};

}  // namespace corvane::linalg
