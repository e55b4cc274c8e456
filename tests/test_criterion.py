"""The profiled criterion and its gradient by the blocks kernel: agreement with a
dense reference, finite differences and closed forms; infeasible points; the
evaluation modes; bit-identity across kernels, routes, threads and processes."""

import math
import threading

import numpy as np
import pytest

from corvane._corvane import LmmCore
from reference import bits, central_diff, make_design, ols_criterion, reference

pytestmark = [pytest.mark.native]

t = pytest.importorskip("corvane._corvane_tests")

THETA = {1: [0.8], 2: [0.9, -0.3, 0.6], 3: [0.9, -0.3, 0.2, 0.7, 0.4, 0.5]}
M, EMPTY = 12, 5
FIELDS = ("grad", "beta", "u", "a_inv", "deviance", "sigma2", "pwrss", "ldl2", "ldrx2")


class Problem:
    def __init__(self, y, x, z, codes, m):
        self.y, self.x, self.z, self.codes, self.m = y, x, z, codes, m
        self.core = LmmCore(y, x, z, codes, m, "blocks")

    def evaluate(self, theta, **kw):
        return t.evaluate(self.y, self.x, self.z, self.codes, self.m, theta, **kw)


@pytest.fixture(scope="session")
def small():
    """small(q, p): a design of 160 rows in 12 unequal groups, group 5 empty."""
    cache = {}

    def get(q, p):
        if (q, p) not in cache:
            rng = np.random.default_rng(100 * q + p)
            cache[q, p] = Problem(*make_design(rng, 160, p, q, M, empty=(EMPTY,)), M)
        return cache[q, p]

    return get


@pytest.fixture(scope="session")
def big():
    """Enough groups (m * cost far above the parallel threshold) to run in parallel."""
    m = 20000
    return Problem(*make_design(np.random.default_rng(7), 3 * m, 4, 2, m), m)


def assert_same(a, b):
    for k in FIELDS:
        assert np.array_equal(bits(a[k]), bits(b[k])), k


@pytest.mark.parametrize("reml", [True, False])
@pytest.mark.parametrize("p", [1, 2, 3, 4])
@pytest.mark.parametrize("q", [1, 2, 3])
def test_matches_dense_reference(small, q, p, reml):
    pr, theta = small(q, p), THETA[q]
    ref = reference(pr.y, pr.x, pr.z, pr.codes, M, theta, reml)
    dev = pr.core.deviance(theta, reml)
    assert dev == pytest.approx(ref["deviance"], rel=1e-10)
    value, grad = pr.core.deviance_grad(theta, reml)
    assert bits(value) == bits(dev) and len(grad) == len(theta)

    r = pr.evaluate(theta, reml=reml, mode="full")
    assert bits(r["deviance"]) == bits(dev) and np.array_equal(bits(r["grad"]), bits(grad))
    for k in ("beta", "u", "a_inv"):
        scale = np.abs(ref[k]).max()
        np.testing.assert_allclose(r[k], np.ravel(ref[k]), rtol=1e-8, atol=1e-9 * scale, err_msg=k)
    for k in ("pwrss", "sigma2", "ldl2"):
        assert r[k] == pytest.approx(ref[k], rel=1e-10), k
    assert np.all(r["u"][EMPTY * q:(EMPTY + 1) * q] == 0.0)
    nmp = len(pr.y) - p if reml else len(pr.y)
    assert r["sigma2"] == r["pwrss"] / nmp
    if reml:
        assert r["ldrx2"] == pytest.approx(ref["ldrx2"], rel=1e-10, abs=1e-10)
    else:
        assert bits(r["ldrx2"]) == bits(0.0)


@pytest.mark.parametrize("reml", [True, False])
@pytest.mark.parametrize("q", [1, 2, 3])
def test_gradient_matches_finite_differences(small, q, reml):
    pr = small(q, 3)
    theta = np.array(THETA[q])
    _, grad = pr.core.deviance_grad(theta, reml)
    fd = central_diff(lambda th: pr.core.deviance(th, reml), theta, h=1e-5)
    np.testing.assert_allclose(grad, fd, rtol=1e-7, atol=1e-6)


@pytest.mark.parametrize("reml", [True, False])
@pytest.mark.parametrize("q", [1, 2, 3])
def test_theta_zero_is_ordinary_least_squares(small, q, reml):
    pr = small(q, 3)
    zero = [0.0] * len(THETA[q])
    value, grad = pr.core.deviance_grad(zero, reml)
    assert value == pytest.approx(ols_criterion(pr.y, pr.x, reml), rel=1e-12)
    assert grad == [0.0] * len(zero)
    r = pr.evaluate(zero, reml=reml, mode="full")
    assert r["ldl2"] == 0.0 and np.all(r["u"] == 0.0)


def test_balanced_one_way_reml_optimum():
    groups, per = 8, 5
    rng = np.random.default_rng(3)
    codes = np.repeat(np.arange(groups), per).astype(np.int64)
    y = 10.0 + 2.0 * rng.standard_normal(groups)[codes] + rng.standard_normal(codes.size)
    means = y.reshape(groups, per).mean(axis=1)
    msw = np.sum((y - means[codes]) ** 2) / (groups * (per - 1))
    msb = per * np.sum((means - y.mean()) ** 2) / (groups - 1)
    assert msb > msw
    theta = math.sqrt((msb - msw) / per / msw)
    ones = np.ones((codes.size, 1))
    core = LmmCore(y, ones, ones, codes, groups, "blocks")
    value, (g,) = core.deviance_grad([theta])
    assert abs(g) < 1e-11 * value
    for step in (-1e-3, 1e-3):
        assert core.deviance([theta + step]) > value
    r = t.evaluate(y, ones, ones, codes, groups, [theta], mode="full")
    assert r["sigma2"] == pytest.approx(msw, rel=1e-10)


def infeasible_case(name):
    rng = np.random.default_rng(11)
    y, x, z, codes = make_design(rng, 60, 2, 2, 6)
    theta = THETA[2]
    if name == "nan_y":
        y[3] = math.nan
    elif name == "nan_x":
        x[3, 1] = math.nan
    elif name == "nan_z":
        z[3, 1] = math.nan
    elif name == "zero_y":
        y[:] = 0.0
    elif name == "exact_fit":  # y = 2 on an intercept: X'y, y'y and the solve are exact
        y, x, z = np.full(16, 2.0), np.ones((16, 1)), z[:16]
        codes, theta = np.arange(16, dtype=np.int64) % 6, [0.0, 0.0, 0.0]
    elif name == "overflow":
        theta = [1e200, 0.0, 1e200]
    return Problem(y, x, z, codes, 6), theta


@pytest.mark.parametrize("name", ["nan_y", "nan_x", "nan_z", "zero_y", "exact_fit", "overflow"])
def test_infeasible_gives_inf_without_raising(name):
    pr, theta = infeasible_case(name)
    for reml in (True, False):
        assert pr.core.deviance(theta, reml) == math.inf
        value, grad = pr.core.deviance_grad(theta, reml)
        assert value == math.inf and len(grad) == 3 and all(math.isnan(g) for g in grad)
        for mode in ("value", "gradient", "full"):
            assert pr.evaluate(theta, reml=reml, mode=mode) is None


@pytest.mark.parametrize("route", ["sequential", "parallel"])
def test_one_failing_group_among_many_chunks(big, route):
    z = big.z.copy()
    z[np.flatnonzero(big.codes == big.m // 2)[0], 1] = math.nan
    r = t.evaluate(big.y, big.x, z, big.codes, big.m, THETA[2], route=route)
    assert r is None


@pytest.mark.parametrize("reml", [True, False])
def test_modes(small, reml):
    pr = small(2, 3)
    n_theta, m, q, p = 3, M, 2, 3
    out = {mode: pr.evaluate(THETA[2], reml=reml, mode=mode) for mode in ("value", "gradient", "full")}
    sizes = {"value": (0, 0, 0), "gradient": (n_theta, 0, 0), "full": (n_theta, m * q, p * p)}
    for mode, r in out.items():
        assert (r["grad"].size, r["u"].size, r["a_inv"].size) == sizes[mode], mode
        for k in ("beta", "deviance", "sigma2", "pwrss", "ldl2", "ldrx2"):
            assert np.array_equal(bits(r[k]), bits(out["full"][k])), (mode, k)
        if not reml:
            assert bits(r["ldrx2"]) == bits(0.0)
    assert np.array_equal(bits(out["gradient"]["grad"]), bits(out["full"]["grad"]))


@pytest.mark.parametrize("q", [1, 3])
def test_generic_kernels_bit_identical_small(small, q):
    pr = small(q, 2)
    for reml in (True, False):
        base = pr.evaluate(THETA[q], reml=reml, mode="full")
        for route in ("sequential", "parallel"):
            assert_same(base, pr.evaluate(THETA[q], reml=reml, mode="full", route=route, generic=True))


@pytest.mark.parametrize("reml", [True, False])
def test_routes_and_kernels_bit_identical(big, reml):
    theta = THETA[2]
    base = big.evaluate(theta, reml=reml, mode="full", route="sequential")
    for route, generic in [("parallel", False), ("auto", False), ("sequential", True), ("parallel", True)]:
        assert_same(base, big.evaluate(theta, reml=reml, mode="full", route=route, generic=generic))
    value, grad = big.core.deviance_grad(theta, reml)
    assert bits(value) == bits(base["deviance"]) and np.array_equal(bits(grad), bits(base["grad"]))


def test_one_thread_process_bit_identical(big, child_arrays):
    if t.pool_threads() < 2:
        pytest.skip("this process has a one-thread pool")
    code = """
        import corvane._corvane_tests as t
        from corvane._corvane import LmmCore
        out["threads"] = t.pool_threads()
        a = [inp[k] for k in ("y", "x", "z", "codes")]
        th = list(inp["theta"])
        out["value"], out["grad"] = LmmCore(*a, int(inp["m"]), "blocks").deviance_grad(th)
        for k, v in t.evaluate(*a, int(inp["m"]), th, mode="full").items():
            out["full_" + k] = v
    """
    inputs = dict(y=big.y, x=big.x, z=big.z, codes=big.codes, m=big.m, theta=THETA[2])
    child = child_arrays(code, inputs, one_thread=True)
    assert child["threads"] == 1
    value, grad = big.core.deviance_grad(THETA[2])
    assert bits(child["value"]) == bits(value) and np.array_equal(bits(child["grad"]), bits(grad))
    assert_same({k: child["full_" + k] for k in FIELDS}, big.evaluate(THETA[2], mode="full"))


def test_python_threads_share_one_instance(big):
    """Concurrent calls, alternating two thetas through the shared workspace pool."""
    thetas = ([0.9, -0.3, 0.6], [0.4, 0.2, 1.1])
    expect = [(big.core.deviance(th), big.core.deviance_grad(th)) for th in thetas]
    barrier, results = threading.Barrier(2), [[], []]

    def worker(w):
        barrier.wait()
        for i in range(4):
            th = thetas[(i + w) % 2]
            results[w].append(((i + w) % 2, big.core.deviance(th), big.core.deviance_grad(th)))

    threads = [threading.Thread(target=worker, args=(w,)) for w in range(2)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert sum(len(r) for r in results) == 8
    for k, dev, dg in results[0] + results[1]:
        assert bits(dev) == bits(expect[k][0]) and bits(dg[0]) == bits(dev)
        assert np.array_equal(bits(dg[1]), bits(expect[k][1][1]))


def test_underflowing_sigma2_is_infeasible_not_minus_inf():
    # pwrss is a positive subnormal, so pwrss / n underflows to 0 and the
    # criterion would be -inf: an exact fit, reported as infeasible.
    core = LmmCore(np.array([0.0, 2.35100059e-157]), np.array([[1.32284155, 0.0], [1.58022533, 1.0]]),
                   np.zeros((2, 1)), np.zeros(2, np.int64), 1)
    assert core.deviance([0.0], reml=False) == math.inf
    value, grad = core.deviance_grad([0.0], reml=False)
    assert value == math.inf and math.isnan(grad[0])
    with pytest.raises(RuntimeError, match="theta is infeasible"):
        core.fit([0.5], reml=False)
