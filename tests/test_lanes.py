"""Groups evaluated several at a time in vector lanes: every lanes kernel gives
the scalar kernel's bits, for every q and p, the fixed-size and run-time-size
forms, every mode and route, group counts that leave a remainder in a chunk,
zeros in the design, and failing factorisations in any lane."""

import numpy as np
import pytest

from reference import bits

pytestmark = [pytest.mark.native]

t = pytest.importorskip("corvane._corvane_tests")

KEYS = ("deviance", "grad", "beta", "u", "a_inv", "sigma2", "pwrss", "ldl2", "ldrx2")


def design(m, p, q, seed, zero_slope_groups=0):
    """Unequal groups (1 to 9 rows, some empty); with zero_slope_groups, the
    first such groups have Z's slope columns exactly zero (zeros in Z_i'Z_i
    that the products skip)."""
    rng = np.random.default_rng(seed)
    sizes = rng.integers(0, 10, m)
    codes = np.repeat(np.arange(m, dtype=np.int64), sizes)
    n = codes.size
    x = np.column_stack([np.ones(n), rng.standard_normal((n, p - 1))])
    z = np.column_stack([np.ones(n), rng.standard_normal((n, q - 1))])
    z[codes < zero_slope_groups, 1:] = 0.0
    y = x @ rng.standard_normal(p) + np.einsum("ij,ij->i", z, rng.standard_normal((m, q))[codes]) \
        + rng.standard_normal(n)
    return y, x, np.ascontiguousarray(z), codes, m


def theta_for(q, seed):
    rng = np.random.default_rng(seed)
    theta = rng.uniform(-0.8, 0.8, q * (q + 1) // 2)
    diag = np.cumsum([0] + list(range(q, 1, -1)))
    theta[diag] = rng.uniform(0.3, 1.5, q)
    return theta


def assert_same_bits(a, b):
    assert (a is None) == (b is None)
    if a is None:
        return
    for key in KEYS:
        if key in a:
            x, y = np.asarray(a[key], dtype=float), np.asarray(b[key], dtype=float)
            assert np.array_equal(bits(x), bits(y)), key


@pytest.fixture(scope="module", autouse=True)
def lanes_present():
    if t.lane_width() < 2:
        pytest.skip("this machine has no vector lanes the build uses")


@pytest.mark.parametrize("q", [1, 2, 3, 4, 6, 7])
@pytest.mark.parametrize("p", [1, 2, 5, 8, 9, 33])
def test_lanes_match_scalar_bits(q, p):
    # 203 groups: several chunks for large p and q, a remainder of 3 somewhere
    y, x, z, codes, m = design(203, p, q, seed=10 * q + p, zero_slope_groups=9)
    theta = theta_for(q, q + p)
    for reml in (True, False):
        for generic in (False, True):
            for mode in ("value", "gradient", "full"):
                kw = dict(reml=reml, mode=mode, generic=generic, route="sequential")
                scalar = t.evaluate(y, x, z, codes, m, theta, lanes=False, **kw)
                assert_same_bits(scalar, t.evaluate(y, x, z, codes, m, theta, **kw))


@pytest.mark.parametrize("m", [1, 3, 4, 5, 64, 65, 1031])
def test_lanes_with_any_remainder_and_route(m):
    y, x, z, codes, _ = design(m, 5, 2, seed=m)
    theta = theta_for(2, m)
    scalar = t.evaluate(y, x, z, codes, m, theta, mode="full", lanes=False, route="sequential")
    for route in ("sequential", "parallel", "auto"):
        assert_same_bits(scalar, t.evaluate(y, x, z, codes, m, theta, mode="full", route=route))


def test_lambda_with_zero_entries():
    # a zero off-diagonal and a zero variance: the products skip Lambda's zeros
    y, x, z, codes, m = design(301, 4, 3, seed=5)
    for theta in ([1.0, 0.0, 0.0, 0.5, 0.0, 0.7], [0.9, 0.2, -0.1, 0.0, 0.0, 0.4]):
        for mode in ("value", "full"):
            assert_same_bits(t.evaluate(y, x, z, codes, m, theta, mode=mode, lanes=False),
                             t.evaluate(y, x, z, codes, m, theta, mode=mode))


@pytest.mark.parametrize("bad_group", [0, 1, 2, 3, 17, 200])
def test_failing_group_in_any_lane(bad_group):
    """A group whose Z_i'Z_i is not finite fails its factorisation wherever it
    sits among the lanes (or in the remainder): no result either way."""
    y, x, z, codes, m = design(202, 3, 2, seed=1)
    z = z.copy()
    rows = np.flatnonzero(codes == bad_group)
    if rows.size == 0:
        pytest.skip("group without rows")
    z[rows[0], 1] = np.inf
    for mode in ("value", "gradient"):
        assert t.evaluate(y, x, z, codes, m, theta_for(2, 0), mode=mode) is None
        assert t.evaluate(y, x, z, codes, m, theta_for(2, 0), mode=mode, lanes=False) is None


@pytest.mark.parametrize("q", [1, 2, 3, 4, 5])
@pytest.mark.parametrize("p", [1, 4, 8, 12, 13])
def test_hessian_lanes_match_scalar_bits(q, p):
    # q = 5 and p = 13 are past the Hessian's lanes storage: the scalar steps
    y, x, z, codes, m = design(157, p, q, seed=100 + 10 * q + p, zero_slope_groups=6)
    theta = theta_for(q, 7 * q + p)
    for reml in (True, False):
        for generic in (False, True):
            for fixed_block in (False, True):
                kw = dict(reml=reml, generic=generic, fixed_block=fixed_block, route="sequential")
                scalar = t.hessian(y, x, z, codes, m, theta, lanes=False, **kw)
                lanes = t.hessian(y, x, z, codes, m, theta, **kw)
                for a, b in zip(scalar, lanes):
                    assert np.array_equal(bits(np.asarray(a, dtype=float)), bits(np.asarray(b, dtype=float)))


@pytest.mark.parametrize("route", ["sequential", "parallel"])
def test_hessian_lanes_with_failing_group_and_routes(route):
    y, x, z, codes, m = design(1030, 5, 2, seed=9)
    theta = theta_for(2, 1)
    scalar = t.hessian(y, x, z, codes, m, theta, lanes=False, route="sequential")
    lanes = t.hessian(y, x, z, codes, m, theta, route=route)
    for a, b in zip(scalar, lanes):
        assert np.array_equal(bits(np.asarray(a, dtype=float)), bits(np.asarray(b, dtype=float)))
    z = z.copy()
    z[np.flatnonzero(codes == 513)[0], 1] = np.nan
    assert t.hessian(y, x, z, codes, m, theta, route=route) is None


@pytest.mark.parametrize("q", [1, 2, 3, 4, 5])
@pytest.mark.parametrize("p", [1, 3, 8, 12, 13])
def test_streaming_lanes_match_scalar_bits(q, p):
    y, x, z, codes, m = design(149, p, q, seed=200 + 10 * q + p, zero_slope_groups=5)
    theta = theta_for(q, 3 * q + p)
    for reml in (True, False):
        for generic in (False, True):
            for mode in ("value", "gradient"):
                kw = dict(reml=reml, mode=mode, generic=generic, evaluator="streaming", route="sequential")
                assert_same_bits(t.evaluate(y, x, z, codes, m, theta, lanes=False, **kw),
                                 t.evaluate(y, x, z, codes, m, theta, **kw))


CHILD = r"""
import sys, numpy as np
import corvane._corvane_tests as t
from corvane._corvane import Accumulator
rng = np.random.default_rng(5)
out = {}
for name, n, m, p, q, grouped in [("grouped", 200_000, 3000, 5, 2, True), ("scattered", 200_000, 70_000, 5, 2, False),
                                  ("q3", 120_000, 2000, 4, 3, True), ("p9", 120_000, 2000, 9, 2, True)]:
    codes = rng.integers(0, m, n).astype(np.int64)
    if grouped:
        codes.sort()
    x = np.column_stack([np.ones(n), rng.standard_normal((n, p - 1))])
    z = np.ascontiguousarray(x[:, :q])
    y = rng.standard_normal(n)
    for k, v in t.prepare(y, x, z, codes, m, route="parallel").items():
        if isinstance(v, np.ndarray) and v.dtype.kind == "f":
            out[name + k] = v
    acc = Accumulator(p, q, y_shift=0.5, y_scale=0.25, x_shift=[0.0] + [0.1] * (p - 1), x_scale=[1.0] + [2.0] * (p - 1),
                      z_shift=[0.0] + [0.1] * (q - 1), z_scale=[1.0] + [2.0] * (q - 1), x_ref=0, x_ref_value=1.0,
                      z_ref=0, z_ref_value=1.0)
    acc.add(y, x, z, codes)
    for k, v in acc.to_arrays().items():
        if isinstance(v, np.ndarray) and v.dtype.kind == "f":
            out[name + "acc" + k] = v
np.savez(sys.argv[1], **out)
"""


def test_construction_on_the_vector_unit_matches_the_baseline_bits(tmp_path):
    """The row kernels on the vector unit (this process) against the baseline
    build's (a child with CORVANE_LANES=0): construction's and accumulation's
    products, on the grouped and the scattered parallel routes."""
    import os
    import subprocess
    import sys

    files = {}
    for lanes in ("1", "0"):
        env = dict(os.environ, CORVANE_LANES=lanes)
        files[lanes] = tmp_path / f"products{lanes}.npz"
        subprocess.run([sys.executable, "-c", CHILD, str(files[lanes])], check=True, env=env)
    on, off = np.load(files["1"]), np.load(files["0"])
    assert on.files == off.files and len(on.files) > 20
    for key in on.files:
        assert np.array_equal(bits(on[key]), bits(off[key])), key
