"""Prepared design: fixed and per-group cross-products, codes fingerprint, theta layout."""

import re

import numpy as np
import pytest

pytestmark = [pytest.mark.native]

t = pytest.importorskip("corvane._corvane_tests")

MASK = (1 << 64) - 1
MUL = 0x517CC1B727220A95
ROUTES = ("sequential", "parallel", "auto")


def fingerprint_ref(codes):
    h = len(codes) & MASK
    for c in codes:
        rot = ((h << 5) | (h >> 59)) & MASK
        h = (((int(c) & MASK) ^ rot) * MUL) & MASK
    return h


def reference(y, x, z, codes, m):
    q, p = z.shape[1], x.shape[1]
    ztz, ztx, zty = np.zeros((m, q, q)), np.zeros((m, q, p)), np.zeros((m, q))
    for g in range(m):
        rows = codes == g
        zg = z[rows]
        ztz[g], ztx[g], zty[g] = zg.T @ zg, zg.T @ x[rows], zg.T @ y[rows]
    return dict(xtx=x.T @ x, xty=x.T @ y, yty=float(y @ y), ztz=ztz, ztx=ztx, zty=zty)


def problem(rng, n, p, q, m, integer=False, missing=()):
    """Random design; group sizes unequal; groups in `missing` get no rows."""
    present = np.array([g for g in range(m) if g not in missing])
    weights = np.linspace(1.0, 4.0, present.size)
    codes = rng.choice(present, size=n, p=weights / weights.sum()).astype(np.int64)
    if integer:  # all products exact in floating point
        draw = lambda *s: rng.integers(-3, 4, size=s).astype(np.float64)
    else:
        draw = lambda *s: rng.standard_normal(s)
    return draw(n), draw(n, p), draw(n, q), codes


def bits(a):
    return np.ascontiguousarray(np.asarray(a, dtype=np.float64)).view(np.uint64)


def assert_same_bits(a, b, keys=("xtx", "xty", "yty", "ztz", "ztx", "zty")):
    for k in keys:
        assert np.array_equal(bits(a[k]), bits(b[k])), k


@pytest.mark.parametrize("q", [1, 2, 3])
@pytest.mark.parametrize("p", [1, 2, 3, 4])
def test_prepare_exact_on_integer_data(p, q):
    rng = np.random.default_rng(10 * p + q)
    m = 9
    y, x, z, codes = problem(rng, 400, p, q, m, integer=True, missing=(4, 8))
    ref = reference(y, x, z, codes, m)
    for route in ROUTES:
        got = t.prepare(y, x, z, codes, m, route=route)
        assert (got["n"], got["p"], got["q"], got["m"]) == (400, p, q, m)
        assert got["xtx"].shape == (p, p) and got["ztz"].shape == (m, q, q)
        assert got["ztx"].shape == (m, q, p) and got["zty"].shape == (m, q)
        assert isinstance(got["yty"], float)
        for k in ("xtx", "xty", "ztz", "ztx", "zty"):
            assert got[k].dtype == np.float64
            assert np.array_equal(got[k], ref[k]), (route, k)
        assert got["yty"] == ref["yty"]
        for g in (4, 8):  # groups that never occur
            assert not got["ztz"][g].any() and not got["ztx"][g].any() and not got["zty"][g].any()
        assert got["theta_pairs"] == t.theta_index(q)
        assert got["codes_fingerprint"] == fingerprint_ref(codes)


@pytest.mark.parametrize("p, q", [(1, 1), (4, 3)])
def test_prepare_float_data_and_symmetry(p, q):
    rng = np.random.default_rng(7)
    m = 12
    y, x, z, codes = problem(rng, 1500, p, q, m, missing=(0,))
    ref = reference(y, x, z, codes, m)
    got = t.prepare(y, x, z, codes, m)
    for k in ("xtx", "xty", "ztz", "ztx", "zty"):
        np.testing.assert_allclose(got[k], ref[k], rtol=1e-12, atol=1e-10, err_msg=k)
    assert got["yty"] == pytest.approx(ref["yty"], rel=1e-13)
    # exact mirror of the upper triangle, not merely close
    assert np.array_equal(bits(got["xtx"]), bits(got["xtx"].T))
    assert np.array_equal(bits(got["ztz"]), bits(got["ztz"].transpose(0, 2, 1)))


@pytest.fixture(scope="module")
def big():
    """Large enough that "auto" runs the parallel schedule: n*w = 60000*21."""
    rng = np.random.default_rng(2024)
    n, p, q, m = 60_000, 3, 2, 701
    y = rng.standard_normal(n) * 3.0 + 1.0
    x = rng.standard_normal((n, p))
    x[:, 0] = 1.0
    z = np.column_stack([np.ones(n), rng.standard_normal(n)])
    codes = rng.integers(0, m - 1, size=n).astype(np.int64)  # group m-1 unused
    return dict(y=y, x=x, z=z, codes=codes, m=m)


def test_big_routes_bit_identical(big):
    y, x, z, codes, m = (big[k] for k in ("y", "x", "z", "codes", "m"))
    res = {r: t.prepare(y, x, z, codes, m, route=r) for r in ROUTES}
    assert_same_bits(res["sequential"], res["parallel"])
    assert_same_bits(res["sequential"], res["auto"])
    fp = fingerprint_ref(codes)
    assert all(res[r]["codes_fingerprint"] == fp for r in ROUTES)
    ref = reference(y, x, z, codes, m)
    for k in ("xtx", "xty", "ztz", "ztx", "zty"):
        np.testing.assert_allclose(res["auto"][k], ref[k], rtol=1e-10, atol=1e-9, err_msg=k)
    assert not res["auto"]["ztz"][m - 1].any()
    # the fixed products share the chunking of the sequential route
    for r in ROUTES:
        xtx, xty, yty = t.fixed_products(y, x, route=r)
        assert_same_bits(dict(xtx=xtx, xty=xty, yty=yty), res["sequential"], ("xtx", "xty", "yty"))
        xtx0, xty0, yty0 = t.fixed_products(y, x, with_xtx=False, route=r)
        assert xtx0.shape == (3, 3) and not xtx0.any()
        assert_same_bits(dict(xty=xty0, yty=yty0), res["sequential"], ("xty", "yty"))


def test_big_one_thread_child_bit_identical(big, child_arrays):
    here = t.prepare(big["y"], big["x"], big["z"], big["codes"], big["m"])
    there = child_arrays(
        """
        import corvane._corvane_tests as t
        assert t.pool_threads() == 1
        r = t.prepare(inp["y"], inp["x"], inp["z"], inp["codes"], int(inp["m"]))
        out.update({k: r[k] for k in ("xtx", "xty", "yty", "ztz", "ztx", "zty")})
        out["fp"] = np.array(r["codes_fingerprint"], dtype=np.uint64)
        xtx, xty, yty = t.fixed_products(inp["y"], inp["x"])
        out.update(fxtx=xtx, fxty=xty, fyty=yty)
        """,
        {**{k: big[k] for k in ("y", "x", "z", "codes")}, "m": np.array(big["m"])},
        one_thread=True,
    )
    assert_same_bits(here, there)
    assert int(there["fp"]) == here["codes_fingerprint"]
    assert_same_bits(here, dict(xtx=there["fxtx"], xty=there["fxty"], yty=there["fyty"]),
                     ("xtx", "xty", "yty"))


@pytest.mark.parametrize(
    "codes",
    [
        [],
        [0],
        [0, 1, 2, 3],
        [5, 5, 0, 2, 1],
        [-1, 0, 2**63 - 1, -(2**63), 7],
    ],
)
def test_codes_fingerprint_matches_fold(codes):
    arr = np.array(codes, dtype=np.int64)
    assert t.codes_fingerprint(arr) == fingerprint_ref(codes)


def test_codes_fingerprint_long_sequence(big):
    assert t.codes_fingerprint(big["codes"]) == fingerprint_ref(big["codes"].tolist())


@pytest.mark.parametrize(
    "bad",  # (row, code) pairs written into otherwise valid codes; the first row wins
    [
        [(1234, 701), (40_000, -5)],
        [(1234, -1), (40_000, 701)],
        [(0, 10**12), (1, -1)],
        [(59_999, -(2**63))],
        [(31_000, 702), (31_001, 701)],
    ],
)
@pytest.mark.parametrize("route", ROUTES)
def test_out_of_range_code_reports_first_in_row_order(big, bad, route):
    codes = big["codes"].copy()
    for row, code in bad:
        codes[row] = code
    first = bad[0][1]
    msg = re.escape(f"group code {first} out of range 0..{big['m']}")
    with pytest.raises(ValueError, match=f"^{msg}$"):
        t.prepare(big["y"], big["x"], big["z"], codes, big["m"], route=route)


@pytest.mark.parametrize(
    "q, pairs",
    [
        (1, [(0, 0)]),
        (2, [(0, 0), (1, 0), (1, 1)]),
        (3, [(0, 0), (1, 0), (2, 0), (1, 1), (2, 1), (2, 2)]),
    ],
)
def test_theta_index(q, pairs):
    got = t.theta_index(q)
    assert [tuple(pair) for pair in got] == pairs


def class_limit_ref(m, p, q):
    P = q * (q + 1) // 2
    num = (m * ((p + q) * (P + 3 * q * q) + 2 * q * p * p + 8)) & MASK
    den = ((q * ((p + 1) * (p + 2) // 2 + 2) * (P + 1) + 4 * q * q) * 2 * q + 16) & MASK
    return num // den


@pytest.mark.parametrize(
    "m, p, q, expected",
    [
        (1000, 1, 1, 409),
        (1000, 3, 2, 256),
        (1, 1, 1, 0),
        (2**62, 5, 3, class_limit_ref(2**62, 5, 3)),  # numerator wraps
        (123_457, 2, 4, class_limit_ref(123_457, 2, 4)),
    ],
)
def test_class_limit(m, p, q, expected):
    assert t.class_limit(m, p, q) == expected
