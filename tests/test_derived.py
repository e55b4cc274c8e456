"""Quantities derived at a given theta: the conditional covariances of the random
effects, the analytic second derivative for a scalar random effect, and cores
with a replaced response. Checked against dense references, closed forms and
finite differences, across kernels, routes, fixed-size and generic forms and
thread counts."""

import math
import re

import numpy as np
import pytest

from corvane._corvane import LmmCore
from reference import bits, lambda_of, make_design, reference

pytestmark = [pytest.mark.native]

t = pytest.importorskip("corvane._corvane_tests")

THETA = {1: [0.8], 2: [0.9, -0.3, 0.6], 3: [0.9, -0.3, 0.2, 0.7, 0.4, 0.5]}
KERNELS = ("blocks", "streaming", "aggregated")
M, EMPTY, P = 30, 7, 3
INFEASIBLE = "theta is infeasible"


class Problem:
    def __init__(self, y, x, z, codes, m):
        self.y, self.x, self.z, self.codes, self.m = y, x, z, codes, m
        self.cores = {}

    @property
    def arrays(self):
        return self.y, self.x, self.z, self.codes, self.m

    def core(self, kernel="blocks"):
        if kernel not in self.cores:
            self.cores[kernel] = LmmCore(*self.arrays, kernel)
        return self.cores[kernel]

    def ztz(self):
        q = self.z.shape[1]
        out = np.zeros((self.m, q, q))
        np.add.at(out, self.codes, self.z[:, :, None] * self.z[:, None, :])
        return out


def slope(pr, rng):
    """Replace a one-column Z of ones by a random slope, so Z_i'Z_i differs per group."""
    pr.z = np.ascontiguousarray(1.0 + rng.standard_normal((pr.y.size, 1)))
    return pr


@pytest.fixture(scope="session")
def small():
    """q -> 200 rows, p = 3, 30 groups with group 7 empty; "1i" is a random
    intercept (Z_i'Z_i = group size, so few aggregated classes)."""
    cache = {}

    def get(q):
        if q not in cache:
            rng = np.random.default_rng({1: 41, "1i": 42, 2: 43, 3: 44}[q])
            pr = Problem(*make_design(rng, 200, P, 1 if q == "1i" else q, M, empty=(EMPTY,)), M)
            cache[q] = slope(pr, rng) if q == 1 else pr
        return cache[q]

    return get


@pytest.fixture(scope="session")
def big():
    """"q1": 40000 groups, q = 1 (both the covariance pass, cost 8, and the Hessian
    pass, cost 56, go parallel); "q2": n = 60000, p = 3, q = 2 in 20000 groups
    (parallel construction and covariance pass)."""
    rng = np.random.default_rng(3)
    return {"q1": slope(Problem(*make_design(rng, 80000, P, 1, 40000), 40000), rng),
            "q2": Problem(*make_design(rng, 60000, P, 2, 20000), 20000)}


def dense_cc(pr, theta, sigma2):
    q = pr.z.shape[1]
    lam = lambda_of(theta, q)
    return np.array([sigma2 * lam @ np.linalg.inv(lam.T @ a @ lam + np.eye(q)) @ lam.T for a in pr.ztz()])


# ---------------------------------------------------------------- conditional covariances

@pytest.mark.parametrize("reml", [True, False])
@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("q", [1, 2, 3])
def test_cc_matches_dense_reference(small, q, kernel, reml):
    pr, theta = small(q), THETA[q]
    core = pr.core(kernel)
    cc = core.conditional_covariances(theta, reml)
    assert cc.dtype == np.float64 and cc.shape == (M, q, q)
    sigma2 = reference(*pr.arrays, theta, reml)["sigma2"]
    want = dense_cc(pr, theta, sigma2)
    np.testing.assert_allclose(cc, want, rtol=1e-10, atol=1e-12 * np.abs(want).max())
    # the empty group keeps the unconditional covariance sigma2 Lambda Lambda'
    sol = core.solution(theta, reml)
    np.testing.assert_allclose(cc[EMPTY], sol["cov_re"], rtol=1e-14, atol=1e-15 * sigma2)
    # the method is the per-group routine at the evaluation's sigma2
    hook = t.conditional_covariances(*pr.arrays, theta, sol["sigma2"])
    assert np.array_equal(bits(cc), bits(hook))


@pytest.mark.parametrize("q", [1, 2, 3])
def test_cc_routes_and_forms_small(small, q):
    pr = small(q)
    base = t.conditional_covariances(*pr.arrays, THETA[q], 1.3, route="sequential")
    for route in ("sequential", "parallel", "auto"):
        for generic in (False, True):
            got = t.conditional_covariances(*pr.arrays, THETA[q], 1.3, route=route, generic=generic)
            assert np.array_equal(bits(got), bits(base)), (route, generic)


@pytest.mark.parametrize("lam", [0.8, -0.8, 2.5, 0.0])
def test_cc_scalar_closed_form(small, lam):
    pr = small(1)
    sigma2 = pr.core().solution([lam])["sigma2"]
    cc = pr.core().conditional_covariances([lam])
    zz = pr.ztz()[:, 0, 0]
    want = sigma2 * lam * lam / (lam * lam * zz + 1.0)
    np.testing.assert_allclose(cc[:, 0, 0], want, rtol=1e-13, atol=0)
    if lam == 0.0:  # Lambda = 0 is no error: every matrix is exactly zero
        assert np.all(bits(cc) == 0)


def test_cc_single_group():
    rng = np.random.default_rng(8)
    pr = Problem(*make_design(rng, 20, 2, 2, 1), 1)
    cc = pr.core().conditional_covariances(THETA[2], False)
    assert cc.shape == (1, 2, 2)
    np.testing.assert_allclose(cc, dense_cc(pr, THETA[2], pr.core().solution(THETA[2], False)["sigma2"]),
                               rtol=1e-12)


@pytest.mark.parametrize("kernel", KERNELS)
def test_cc_reml_over_ml_is_sigma2_ratio(small, kernel):
    pr = small(3)
    core = pr.core(kernel)
    a, b = core.conditional_covariances(THETA[3], True), core.conditional_covariances(THETA[3], False)
    ratio = core.solution(THETA[3], True)["sigma2"] / core.solution(THETA[3], False)["sigma2"]
    assert ratio == pytest.approx(200 / (200 - P), rel=1e-14)
    np.testing.assert_allclose(a, ratio * b, rtol=4e-16 * 8, atol=0)


@pytest.mark.parametrize("kernel", KERNELS)
def test_cc_infeasible_and_wrong_length(kernel):
    rng = np.random.default_rng(12)
    y, x, z, codes = make_design(rng, 60, 2, 2, 6)
    y[5] = math.nan
    core = LmmCore(y, x, z, codes, 6, kernel)
    for reml in (True, False):
        with pytest.raises(RuntimeError, match=re.escape(INFEASIBLE)):
            core.conditional_covariances(THETA[2], reml)
    with pytest.raises(ValueError, match=re.escape("theta must have 3 entries for q = 2, got 2")):
        core.conditional_covariances([1.0, 1.0])
    ok = LmmCore(np.nan_to_num(y), x, z, codes, 6, kernel)
    with pytest.raises(RuntimeError, match=re.escape(INFEASIBLE)):
        ok.conditional_covariances([1e200, 0.0, 1e200])  # the factorisations overflow


def test_cc_hook_reports_failing_factorisation(small):
    pr = small(2)
    z = pr.z.copy()
    z[np.flatnonzero(pr.codes == 3)[0], 1] = math.nan
    for route in ("sequential", "parallel"):
        assert t.conditional_covariances(pr.y, pr.x, z, pr.codes, M, THETA[2], 1.0, route=route) is None


# ---------------------------------------------------------------- scalar Hessian

def fd_hessian(core, theta, reml, h=1e-5):
    g = lambda th: core.deviance_grad([th], reml)[1][0]
    return (g(theta + h) - g(theta - h)) / (2 * h)


@pytest.mark.parametrize("reml", [True, False])
@pytest.mark.parametrize("theta", [0.0, 0.35, 1.3])
@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("shape", [1, "1i"])
def test_hessian_matches_finite_differences(small, shape, kernel, theta, reml):
    core = small(shape).core(kernel)
    hess = core.deviance_hessian([theta], reml)
    assert type(hess) is float
    assert hess == pytest.approx(fd_hessian(core, theta, reml), rel=2e-7, abs=1e-6)
    # every term depends on theta only through theta^2
    assert bits(core.deviance_hessian([-theta], reml)) == bits(hess)


@pytest.mark.parametrize("reml", [True, False])
@pytest.mark.parametrize("shape", [1, "1i"])
def test_hessian_hook_and_kernels(small, shape, reml):
    pr = small(shape)
    if shape == "1i":
        assert pr.core("aggregated").n_classes < M // 2
    for theta in (0.0, 0.35, -1.3):
        out = {k: t.scalar_hessian(*pr.arrays, [theta], reml, evaluator=k) for k in KERNELS}
        # blocks and streaming both visit the groups
        assert np.array_equal(bits(out["blocks"]), bits(out["streaming"]))
        np.testing.assert_allclose(out["aggregated"], out["blocks"], rtol=1e-11, atol=1e-11)
        for k in KERNELS:
            core = pr.core(k)
            value, first, second = out[k]
            assert bits(second) == bits(core.deviance_hessian([theta], reml))
            dev, grad = core.deviance_grad([theta], reml)
            assert value == pytest.approx(dev, rel=1e-13)
            assert first == pytest.approx(grad[0], rel=1e-10, abs=1e-10)
            if theta == 0.0:
                assert first == 0.0


def test_hessian_q2_and_infeasible(small):
    core = small(2).core()
    assert core.deviance_hessian(THETA[2]) is None
    assert t.scalar_hessian(*small(2).arrays, THETA[2]) is None
    with pytest.raises(ValueError, match=re.escape("theta must have 3 entries for q = 2, got 1")):
        core.deviance_hessian([0.5])
    pr = small(1)
    y = pr.y.copy()
    y[0] = math.nan
    for kernel in KERNELS:
        bad = LmmCore(y, pr.x, pr.z, pr.codes, M, kernel)
        for reml in (True, False):
            assert math.isnan(bad.deviance_hessian([0.7], reml))
        assert t.scalar_hessian(y, pr.x, pr.z, pr.codes, M, [0.7], evaluator=kernel) is None


# ---------------------------------------------------------------- with_response

def assert_same_criterion(a, b, theta):
    for reml in (True, False):
        da, ga = a.deviance_grad(theta, reml)
        db, gb = b.deviance_grad(theta, reml)
        assert bits(da) == bits(db) and np.array_equal(bits(ga), bits(gb))
        assert bits(a.deviance(theta, reml)) == bits(db)


def new_y(pr, seed):
    return pr.y + np.random.default_rng(seed).standard_normal(pr.y.size)


@pytest.mark.parametrize("kernel", KERNELS + ("auto",))
@pytest.mark.parametrize("size", ["small", "big"])
def test_with_response_equals_fresh_core(small, big, size, kernel):
    pr = small("1i") if size == "small" else big["q2"]
    q = pr.z.shape[1]
    theta = THETA[q]
    core = LmmCore(*pr.arrays, kernel)
    before = bits(core.deviance(theta))
    y2 = new_y(pr, 1)
    new = core.with_response(y2, pr.x, pr.z, pr.codes)
    fresh = LmmCore(y2, pr.x, pr.z, pr.codes, pr.m, kernel)
    assert (new.evaluator, new.n_classes) == (core.evaluator, core.n_classes)
    assert (new.n, new.p, new.q, new.m) == (core.n, core.p, core.q, core.m)
    assert bits(core.deviance(theta)) == before
    # Every kernel, "aggregated" included: the design part is shared and the
    # response's products are computed as construction computes them.
    assert_same_criterion(new, fresh, theta)
    # chaining, and going back to the original response
    y3 = new_y(pr, 2)
    again = new.with_response(y3, pr.x, pr.z, pr.codes)
    assert (again.evaluator, again.n_classes) == (core.evaluator, core.n_classes)
    back = again.with_response(pr.y, pr.x, pr.z, pr.codes)
    assert_same_criterion(again, LmmCore(y3, pr.x, pr.z, pr.codes, pr.m, kernel), theta)
    assert_same_criterion(back, core, theta)


def test_with_response_reads_x_only_for_xty(small):
    """X'X and Z'X are kept: rows of x with a zero response do not matter at all,
    and other content is accepted even though the caller's contract forbids it."""
    pr = small(2)
    y = pr.y.copy()
    y[[0, 50]] = 0.0
    x2 = pr.x.copy()
    x2[[0, 50], 1:] = 1e3
    core = pr.core()
    assert_same_criterion(core.with_response(y, x2, pr.z, pr.codes),
                          core.with_response(y, pr.x, pr.z, pr.codes), THETA[2])
    x3 = pr.x.copy()
    x3[0, 1] += 0.5
    mixed = core.with_response(pr.y, x3, pr.z, pr.codes)
    assert math.isfinite(mixed.deviance(THETA[2])) and mixed.deviance(THETA[2]) != core.deviance(THETA[2])


def test_with_response_errors(small):
    pr = small(2)
    core = pr.core("aggregated")
    y, x, z, codes = pr.y, pr.x, pr.z, pr.codes
    shape = re.escape("the prepared design has 200 rows, 3 fixed and 2 random columns; "
                      "the arrays passed do not match it")
    with pytest.raises(ValueError, match=shape):
        core.with_response(y[:-1], x[:-1], z[:-1], codes[:-1])
    with pytest.raises(ValueError, match=shape):
        core.with_response(y, np.ascontiguousarray(x[:, :2]), z, codes)
    with pytest.raises(ValueError, match=shape):
        core.with_response(y, x, np.ascontiguousarray(np.column_stack([z, z[:, :1]])), codes)
    a, b = 0, int(np.flatnonzero(codes != codes[0])[0])
    swapped = codes.copy()
    swapped[[a, b]] = swapped[[b, a]]
    with pytest.raises(ValueError, match=re.escape(
            "the group codes differ from the ones the design was prepared with")):
        core.with_response(y, x, z, swapped)
    # the array checks come first, even with a wrong number of rows
    short = (y[:-1], x[:-1], z[:-1], codes[:-1])
    with pytest.raises(TypeError, match=re.escape("The given array is not contiguous or is misaligned.")):
        core.with_response(np.repeat(short[0], 2)[::2], *short[1:])
    with pytest.raises(ValueError, match=re.escape("X must be C-contiguous")):
        core.with_response(short[0], np.asfortranarray(short[1]), *short[2:])
    with pytest.raises(ValueError, match=re.escape("y, X, Z and group codes must agree on the row count")):
        core.with_response(y[:-1], x[:-2], z[:-1], codes[:-1])
    assert core.with_response(y, x, z, codes).n_classes == core.n_classes


# ---------------------------------------------------------------- parallel passes

def test_big_routes_and_forms(big):
    pr = big["q2"]
    base = t.conditional_covariances(*pr.arrays, THETA[2], 0.9, route="sequential")
    for route, generic in [("parallel", False), ("auto", False), ("sequential", True), ("parallel", True)]:
        got = t.conditional_covariances(*pr.arrays, THETA[2], 0.9, route=route, generic=generic)
        assert np.array_equal(bits(got), bits(base)), (route, generic)
    pr = big["q1"]
    for kernel in ("blocks", "aggregated"):
        base = t.scalar_hessian(*pr.arrays, [0.6], evaluator=kernel, route="sequential")
        for route in ("parallel", "auto"):
            got = t.scalar_hessian(*pr.arrays, [0.6], evaluator=kernel, route=route)
            assert np.array_equal(bits(got), bits(base)), (kernel, route)
    assert pr.core("aggregated").n_classes > 5000  # the class pass goes parallel too


CHILD = """
    import corvane._corvane_tests as t
    from corvane._corvane import LmmCore
    out["threads"] = t.pool_threads()
    q1 = [inp[k] for k in ("y1", "x1", "z1", "c1")] + [int(inp["m1"])]
    q2 = [inp[k] for k in ("y2", "x2", "z2", "c2")] + [int(inp["m2"])]
    out["cc1"] = LmmCore(*q1, "blocks").conditional_covariances([0.6])
    out["cc2"] = LmmCore(*q2, "blocks").conditional_covariances([0.9, -0.3, 0.6], False)
    for k in ("blocks", "aggregated"):
        c = LmmCore(*q1, k)
        out["h_" + k] = [c.deviance_hessian([0.6]), c.deviance_hessian([0.6], False)]
    for k in ("blocks", "streaming", "aggregated"):
        c = LmmCore(*q2, k).with_response(inp["ynew"], *q2[1:4])
        out["wr_" + k] = c.deviance_grad([0.9, -0.3, 0.6])[1] + [c.deviance([0.9, -0.3, 0.6])]
"""


def test_one_thread_process_bit_identical(big, child_arrays):
    if t.pool_threads() < 2:
        pytest.skip("this process has a one-thread pool")
    a, b = big["q1"], big["q2"]
    ynew = new_y(b, 5)
    inputs = dict(y1=a.y, x1=a.x, z1=a.z, c1=a.codes, m1=a.m, y2=b.y, x2=b.x, z2=b.z, c2=b.codes, m2=b.m,
                  ynew=ynew)
    child = child_arrays(CHILD, inputs, one_thread=True)
    assert child["threads"] == 1
    assert np.array_equal(bits(child["cc1"]), bits(a.core().conditional_covariances([0.6])))
    assert np.array_equal(bits(child["cc2"]), bits(b.core().conditional_covariances(THETA[2], False)))
    for k in ("blocks", "aggregated"):
        here = [a.core(k).deviance_hessian([0.6]), a.core(k).deviance_hessian([0.6], False)]
        assert np.array_equal(bits(child["h_" + k]), bits(here)), k
    for k in KERNELS:
        c = b.core(k).with_response(ynew, b.x, b.z, b.codes)
        assert np.array_equal(bits(child["wr_" + k]), bits(c.deviance_grad(THETA[2])[1] + [c.deviance(THETA[2])]))


def test_hessian_is_nan_where_the_criterion_is_infeasible():
    # One row fitted exactly: pwrss is 0 for the criterion, while the
    # Hessian's own reduction rounds it to a tiny positive number.
    core = LmmCore(np.array([1.0]), np.array([[1.0]]), np.array([[1.0]]), np.array([0]), 1)
    assert core.deviance([1.0], reml=False) == math.inf
    assert math.isnan(core.deviance_hessian([1.0], reml=False))
