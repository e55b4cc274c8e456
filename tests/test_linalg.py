"""Dense kernels (Cholesky, solves, inverse, log-determinant, zero-skipping
product, compensated sums) and the profiled criterion on a reduced system."""

import math

import numpy as np
import pytest

from reference import bits

pytestmark = [pytest.mark.native]

t = pytest.importorskip("corvane._corvane_tests")

INF, NAN, SUB = math.inf, math.nan, 5e-324
CONST = 2.8378770664093453  # 1 + ln(2 pi)


def spd(rng, n):
    a = rng.standard_normal((n, n))
    return a @ a.T + n * np.eye(n)


def cholesky_replica(a):
    """Column-by-column factorisation in the documented operation order."""
    n = len(a)
    a = [list(map(float, row)) for row in a]
    for j in range(n):
        s = a[j][j]
        for k in range(j):
            s = s - a[j][k] * a[j][k]
        d = math.sqrt(s)
        a[j][j] = d
        r = 1.0 / d
        for i in range(j + 1, n):
            v = a[i][j]
            for k in range(j):
                v = v - a[i][k] * a[j][k]
            a[i][j] = r * v
    return np.tril(np.array(a))


def test_cholesky_example():
    l = t.cholesky(np.array([[4.0, 2.0], [2.0, 3.0]]))
    assert np.array_equal(l, [[2.0, 0.0], [1.0, math.sqrt(2.0)]])
    assert t.log_det(l) == pytest.approx(math.log(8.0), rel=1e-15)


def test_cholesky_nan_above_diagonal_is_not_read():
    l = t.cholesky(np.array([[4.0, NAN], [2.0, 3.0]]))
    assert np.array_equal(bits(l), bits([[2.0, 0.0], [1.0, math.sqrt(2.0)]]))


@pytest.mark.parametrize("a", [
    [[1.0, 2.0], [2.0, 1.0]],            # second pivot 1 - 4 = -3
    [[1.0, 1.0], [1.0, 1.0]],            # second pivot cancels to 0.0
    [[1.0, 0.0], [NAN, 1.0]],            # NaN below the diagonal reaches a pivot
])
def test_cholesky_fails(a):
    assert t.cholesky(np.array(a)) is None


@pytest.mark.parametrize("v", [0.0, -0.0, -1.0, -SUB, INF, -INF, NAN])
@pytest.mark.parametrize("first", [True, False])
def test_cholesky_pivot_must_be_positive_and_finite(v, first):
    a = [[v]] if first else [[1.0, 0.0], [0.0, v]]
    assert t.cholesky(np.array(a)) is None


def test_cholesky_subnormal_pivot_passes():
    l = t.cholesky(np.array([[1.0, 0.0], [0.0, SUB]]))
    assert np.array_equal(l, [[1.0, 0.0], [0.0, math.sqrt(SUB)]])


@pytest.mark.parametrize("n", [1, 2, 3, 4, 6])
def test_dense_routines_against_numpy(n):
    rng = np.random.default_rng(n)
    a = spd(rng, n)
    l = t.cholesky(a)
    assert np.array_equal(bits(l), bits(cholesky_replica(a)))
    np.testing.assert_allclose(l, np.linalg.cholesky(a), rtol=1e-13, atol=1e-14)
    b, bm = rng.standard_normal(n), rng.standard_normal((n, 3))
    for rhs in (b, bm):
        np.testing.assert_allclose(t.forward_solve(l, rhs), np.linalg.solve(l, rhs), rtol=1e-12)
        np.testing.assert_allclose(t.back_solve(l, rhs), np.linalg.solve(l.T, rhs), rtol=1e-12)
    # the matrix forms work column by column exactly as the vector forms
    for solve in (t.forward_solve, t.back_solve):
        cols = np.column_stack([solve(l, bm[:, k].copy()) for k in range(3)])
        assert np.array_equal(bits(solve(l, bm)), bits(cols))
    np.testing.assert_allclose(t.inverse_from_cholesky(l), np.linalg.inv(a), rtol=1e-12, atol=1e-15)
    assert t.log_det(l) == pytest.approx(np.linalg.slogdet(a)[1], rel=1e-13)


@pytest.mark.parametrize("bad", [INF, -INF, NAN])
def test_product_skips_exact_zeros(bad):
    assert np.array_equal(t.product(np.array([[0.0, 1.0]]), np.array([[bad], [2.0]])), [[2.0]])
    assert np.array_equal(t.product(np.array([[-0.0], [1.0]]), np.array([[bad], [2.0]]), True), [[2.0]])
    # a nonzero partner still propagates the non-finite value
    assert not np.isfinite(t.product(np.array([[1.0, 1.0]]), np.array([[bad], [2.0]]))[0, 0])


def test_product_against_numpy():
    rng = np.random.default_rng(1)
    a = rng.standard_normal((4, 3)) * (rng.random((4, 3)) < 0.5)
    b = rng.standard_normal((3, 5))
    np.testing.assert_allclose(t.product(a, b), a @ b, rtol=1e-14, atol=1e-15)
    c = rng.standard_normal((4, 2))
    np.testing.assert_allclose(t.product(a, c, True), a.T @ c, rtol=1e-14, atol=1e-15)


def pair_replica(values, parts):
    """(hi, lo) of `values` added in `parts` equal runs, merged in order."""
    thi = tlo = 0.0
    per = len(values) // parts
    for k in range(parts):
        hi = lo = 0.0
        for v in values[k * per:(k + 1) * per]:
            s = hi + v
            e = s - hi
            lo = lo + ((v - e) + (hi - (s - e)))
            hi = s
        s = thi + hi
        e = s - thi
        err = (hi - e) + (thi - (s - e))
        thi, tlo = s, lo + (tlo + err)
    return thi, tlo


@pytest.mark.parametrize("parts", [1, 2, 3])
def test_compensated_sum_recovers_lost_term(parts):
    vals = [1.0, 1e-16, -1.0] if parts != 2 else [1.0, 1e-16, -1.0, 0.0]
    hi, lo = t.compensated_sum(vals, parts)
    assert sum(vals) == 0.0 and hi + lo == 1e-16


@pytest.mark.parametrize("parts", [1, 4, 8])
def test_compensated_sum_order_of_operations(parts):
    rng = np.random.default_rng(parts)
    vals = list(rng.standard_normal(64) * 10.0 ** rng.integers(-8, 9, 64))
    got = t.compensated_sum(vals, parts)
    assert bits(got).tolist() == bits(pair_replica(vals, parts)).tolist()
    assert got[0] + got[1] == pytest.approx(math.fsum(vals), rel=1e-15, abs=1e-15)


# --- profile(a, c, n, reml, r2, ldl2) ---------------------------------------

def prof(a, c, n=10, reml=True, r2=100.0, ldl2=0.0):
    return t.profile(np.array(a, dtype=float), np.array(c, dtype=float), n, reml, r2, ldl2)


@pytest.mark.parametrize("a", [
    [[0.0, 0.0], [0.0, 1.0]],
    [[-0.0, 0.0], [0.0, 1.0]],
    [[1.0, 1.0], [1.0, 1.0]],            # later pivot cancels to 0.0
    [[1.0, 0.0], [NAN, 1.0]],            # NaN in the lower triangle
    [[1.0, 0.0], [0.0, INF]],
])
def test_profile_pivot_infeasible(a):
    assert prof(a, [1.0, 1.0]) is None


def test_profile_nan_above_diagonal_overwritten_and_subnormal_pivot():
    out = prof([[4.0, NAN], [2.0, 3.0]], [1.0, 1.0])
    assert np.array_equal(bits(out["factor"]), bits([[2.0, 0.0], [1.0, math.sqrt(2.0)]]))
    out = prof([[SUB]], [0.0], r2=1.0)
    assert out["factor"][0, 0] == math.sqrt(SUB) and out["pwrss"] == 1.0


@pytest.mark.parametrize("r2", [1.0, 0.5, INF, NAN])
def test_profile_pwrss_infeasible(r2):
    # c' = (1/2) 2 = 1, so s2 = 1: pwrss = r2 - 1 is 0, negative, inf or NaN
    assert prof([[4.0]], [2.0], r2=r2) is None


@pytest.mark.parametrize("reml", [True, False])
def test_profile_p1_closed_form(reml):
    a, c, n, r2, ldl2 = 2.0, 3.0, 7, 20.0, 1.25
    out = prof([[a]], [c], n=n, reml=reml, r2=r2, ldl2=ldl2)
    d = math.sqrt(a)
    assert out["factor"][0, 0] == d
    assert out["beta"][0] == (1.0 / d) * ((1.0 / d) * c)
    assert out["ldrx2"] == 2.0 * math.log(d)       # returned under ML too
    nmp = n - 1 if reml else n
    assert out["nmp"] == nmp
    pwrss = r2 - ((1.0 / d) * c) ** 2
    assert out["pwrss"] == pwrss
    expect = (ldl2 + (out["ldrx2"] if reml else 0.0)) + (math.log(pwrss / nmp) + CONST) * nmp
    assert out["deviance"] == pytest.approx(expect, rel=1e-15)


@pytest.mark.parametrize("reml", [True, False])
def test_profile_against_numpy(reml):
    rng = np.random.default_rng(4)
    p, n = 4, 30
    a, c = spd(rng, p), rng.standard_normal(p)
    r2 = float(c @ np.linalg.solve(a, c)) + 5.0
    out = prof(a, c, n=n, reml=reml, r2=r2, ldl2=2.5)
    np.testing.assert_allclose(out["beta"], np.linalg.solve(a, c), rtol=1e-12)
    np.testing.assert_allclose(out["factor"], np.linalg.cholesky(a), rtol=1e-13, atol=1e-15)
    ldrx2 = np.linalg.slogdet(a)[1]
    assert out["ldrx2"] == pytest.approx(ldrx2, rel=1e-13)
    assert out["pwrss"] == pytest.approx(5.0, rel=1e-12)
    nmp = n - p if reml else n
    expect = 2.5 + (ldrx2 if reml else 0.0) + nmp * (1 + math.log(2 * math.pi * 5.0 / nmp))
    assert out["deviance"] == pytest.approx(expect, rel=1e-12)


@pytest.mark.parametrize("n", [1, 2])
def test_profile_reml_needs_more_rows_than_columns(n):
    a, c = [[2.0, 0.0], [0.0, 2.0]], [1.0, 1.0]
    assert prof(a, c, n=n, reml=True) is None
    assert np.isfinite(prof(a, c, n=n, reml=False)["deviance"])
