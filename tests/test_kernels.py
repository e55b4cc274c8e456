"""The "streaming" and "aggregated" kernels: agreement with the blocks kernel and
with the dense reference, classes of identical groups, the random effects,
infeasible points, finite differences, and bit-identity across routes, the
fixed-size and run-time-size forms, and thread counts."""

import math

import numpy as np
import pytest

from corvane._corvane import LmmCore
from reference import bits, central_diff, make_design, ols_criterion, reference

pytestmark = [pytest.mark.native]

t = pytest.importorskip("corvane._corvane_tests")

THETA = {1: [0.8], 2: [0.9, -0.3, 0.6], 3: [0.9, -0.3, 0.2, 0.7, 0.4, 0.5]}
KERNELS = ("blocks", "streaming", "aggregated")
AUGMENTED = ("streaming", "aggregated")
FIELDS = ("grad", "beta", "u", "a_inv", "deviance", "sigma2", "pwrss", "ldl2", "ldrx2")
M, EMPTY, P = 30, 7, 3


class Problem:
    def __init__(self, y, x, z, codes, m):
        self.y, self.x, self.z, self.codes, self.m = y, x, z, codes, m

    @property
    def arrays(self):
        return self.y, self.x, self.z, self.codes, self.m

    def evaluate(self, theta, kernel, **kw):
        return t.evaluate(*self.arrays, theta, evaluator=kernel, **kw)

    def core(self, kernel):
        return LmmCore(*self.arrays, kernel)


def shared_design(rng, q, p, m=M, empty=(EMPTY,), n_templates=3, per=4):
    """Groups cycle through a few templates of Z rows (random intercept only
    for q = 1), so Z_i'Z_i repeats bit for bit; X and y differ in every row.
    The groups' rows are interleaved, each group keeping its template order."""
    templates = [np.column_stack([np.ones(per + k), rng.standard_normal((per + k, q - 1))])
                 for k in range(n_templates)]
    rows = []  # (position in template, group)
    for g in range(m):
        if g not in empty:
            rows += [(j, g) for j in range(per + g % n_templates)]
    rows.sort()
    codes = np.array([g for _, g in rows], dtype=np.int64)
    z = np.array([templates[g % n_templates][j] for j, g in rows])
    n = codes.size
    x = np.column_stack([np.ones(n), rng.standard_normal((n, p - 1))])
    b = rng.standard_normal((m, q))
    y = x @ rng.standard_normal(p) + np.einsum("ij,ij->i", z, b[codes]) + 0.5 * rng.standard_normal(n)
    return Problem(y, x, z, codes, m)


@pytest.fixture(scope="session")
def small():
    """small(shape, q): "varied" (every Z_i'Z_i differs) or "shared" (few classes),
    p = 3, 30 groups with group 7 empty."""
    cache = {}

    def get(shape, q):
        if (shape, q) not in cache:
            rng = np.random.default_rng(10 * q + (shape == "shared"))
            if shape == "varied":
                pr = Problem(*make_design(rng, 200, P, q, M, empty=(EMPTY,)), M)
                if q == 1:  # a random slope: Z_i'Z_i differs even between groups of one size
                    pr.z = 1.0 + rng.standard_normal((pr.y.size, 1))
            else:
                pr = shared_design(rng, q, P)
            pr.refs = {}
            cache[shape, q] = pr
        return cache[shape, q]

    return get


def ref_of(pr, q, reml):
    if reml not in pr.refs:
        pr.refs[reml] = reference(*pr.arrays, THETA[q], reml)
    return pr.refs[reml]


@pytest.fixture(scope="session")
def big():
    """20000 groups of 3 rows whose Z rows cycle through 2500 templates: enough
    groups for "streaming" and enough classes for "aggregated" to go parallel."""
    m, per, n_templates = 20000, 3, 2500
    rng = np.random.default_rng(5)
    tz = rng.standard_normal((n_templates, per))
    codes = np.repeat(np.arange(m), per).astype(np.int64)
    z = np.column_stack([np.ones(m * per), tz[codes % n_templates, np.tile(np.arange(per), m)]])
    x = np.column_stack([np.ones(m * per), rng.standard_normal((m * per, 3))])
    y = x @ rng.standard_normal(4) + np.einsum("ij,ij->i", z, rng.standard_normal((m, 2))[codes])
    y += rng.standard_normal(m * per)
    return Problem(y, x, z, codes, m)


def assert_same(a, b):
    for k in FIELDS:
        assert np.array_equal(bits(a[k]), bits(b[k])), k


def assert_close(got, want, rtol, fields=FIELDS):
    for k in fields:
        g, w = np.ravel(got[k]), np.ravel(want[k])
        np.testing.assert_allclose(g, w, rtol=rtol, atol=rtol * max(np.abs(w).max(initial=0.0), 1.0),
                                   err_msg=k)


def test_shared_design_has_few_classes(small):
    for q in (1, 2, 3):
        assert small("shared", q).core("aggregated").n_classes == 4  # 3 templates + the empty group
        assert small("varied", q).core("aggregated").n_classes == M


@pytest.mark.parametrize("reml", [True, False])
@pytest.mark.parametrize("q", [1, 2, 3])
@pytest.mark.parametrize("shape", ["varied", "shared"])
@pytest.mark.parametrize("kernel", AUGMENTED)
def test_agrees_with_blocks(small, kernel, shape, q, reml):
    pr = small(shape, q)
    got = pr.evaluate(THETA[q], kernel, reml=reml, mode="full")
    assert_close(got, pr.evaluate(THETA[q], "blocks", reml=reml, mode="full"), 1e-10)
    assert np.all(got["u"][EMPTY * q:(EMPTY + 1) * q] == 0.0)
    nmp = pr.y.size - P if reml else pr.y.size
    assert got["sigma2"] == got["pwrss"] / nmp
    if not reml:
        assert bits(got["ldrx2"]) == bits(0.0)


@pytest.mark.parametrize("reml", [True, False])
@pytest.mark.parametrize("q", [1, 2, 3])
@pytest.mark.parametrize("shape", ["varied", "shared"])
@pytest.mark.parametrize("kernel", KERNELS)
def test_matches_reference(small, kernel, shape, q, reml):
    """u for every kernel, and every field for the augmented kernels."""
    pr = small(shape, q)
    got, ref = pr.evaluate(THETA[q], kernel, reml=reml, mode="full"), ref_of(pr, q, reml)
    fields = ("u",) if kernel == "blocks" else ("u", "beta", "a_inv", "deviance", "pwrss", "sigma2",
                                                 "ldl2") + (("ldrx2",) if reml else ())
    assert_close(got, ref, 1e-10, fields)


@pytest.mark.parametrize("reml", [True, False])
@pytest.mark.parametrize("kernel", AUGMENTED)
def test_modes(small, kernel, reml):
    pr = small("shared", 2)
    out = {mode: pr.evaluate(THETA[2], kernel, reml=reml, mode=mode) for mode in ("value", "gradient", "full")}
    sizes = {"value": (0, 0, 0), "gradient": (3, 0, 0), "full": (3, M * 2, P * P)}
    for mode, r in out.items():
        assert (r["grad"].size, r["u"].size, r["a_inv"].size) == sizes[mode], mode
        for k in ("beta", "deviance", "sigma2", "pwrss", "ldl2", "ldrx2"):
            assert np.array_equal(bits(r[k]), bits(out["full"][k])), (mode, k)
    assert np.array_equal(bits(out["gradient"]["grad"]), bits(out["full"]["grad"]))


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("shape", ["varied", "shared"])
def test_public_deviance_grad(small, kernel, shape):
    pr = small(shape, 3)
    core, theta = pr.core(kernel), THETA[3]
    assert core.evaluator == kernel
    want = pr.evaluate(theta, "blocks", reml=False, mode="gradient")
    for reml in (True, False):
        r = pr.evaluate(theta, kernel, reml=reml, mode="gradient")
        value, grad = core.deviance_grad(theta, reml)
        assert bits(value) == bits(r["deviance"]) and np.array_equal(bits(grad), bits(r["grad"]))
        assert bits(core.deviance(theta, reml)) == bits(value)
        assert len(grad) == 6 and all(type(g) is float for g in grad)
    value, grad = core.deviance_grad(theta, False)
    assert value == pytest.approx(want["deviance"], rel=1e-10)
    np.testing.assert_allclose(grad, want["grad"], rtol=1e-9, atol=1e-9)


@pytest.mark.parametrize("reml", [True, False])
@pytest.mark.parametrize("kernel", AUGMENTED)
@pytest.mark.parametrize("shape", ["varied", "shared"])
def test_gradient_matches_finite_differences(small, shape, kernel, reml):
    pr = small(shape, 3)
    core, theta = pr.core(kernel), np.array(THETA[3])
    _, grad = core.deviance_grad(theta, reml)
    fd = central_diff(lambda th: core.deviance(th, reml), theta, h=1e-5)
    np.testing.assert_allclose(grad, fd, rtol=1e-7, atol=1e-6)


@pytest.fixture(scope="session")
def copies():
    """One group of 6 rows (p = 2, q = 2), and the same group repeated 1000 times."""
    rng = np.random.default_rng(21)
    one = Problem(*make_design(rng, 6, 2, 2, 1), 1)
    k = 1000
    many = Problem(np.tile(one.y, k), np.tile(one.x, (k, 1)), np.tile(one.z, (k, 1)),
                   np.repeat(np.arange(k), 6).astype(np.int64), k)
    return one, many


@pytest.mark.parametrize("kernel", KERNELS)
def test_thousand_identical_groups(copies, kernel):
    """At ML the design of 1000 copies has 1000 times the criterion of one copy:
    its log-determinant, its trace terms and its correction all scale."""
    one, many = copies
    theta = THETA[2]
    if kernel == "aggregated":
        assert many.core(kernel).n_classes == 1
    a = one.evaluate(theta, kernel, reml=False, mode="full")
    b = many.evaluate(theta, kernel, reml=False, mode="full")
    assert b["ldl2"] == pytest.approx(1000 * a["ldl2"], rel=1e-13)
    assert b["deviance"] == pytest.approx(1000 * a["deviance"], rel=1e-11)
    assert b["pwrss"] == pytest.approx(1000 * a["pwrss"], rel=1e-11)
    np.testing.assert_allclose(b["grad"], 1000 * a["grad"], rtol=1e-9, atol=1e-9 * abs(b["deviance"]))
    np.testing.assert_allclose(b["beta"], a["beta"], rtol=1e-10)
    u = b["u"].reshape(1000, 2)
    assert np.array_equal(bits(u), bits(np.broadcast_to(u[0], u.shape)))
    np.testing.assert_allclose(u[0], a["u"], rtol=1e-9)


@pytest.mark.parametrize("reml", [True, False])
@pytest.mark.parametrize("q", [1, 3])
@pytest.mark.parametrize("kernel", AUGMENTED)
def test_theta_zero_is_ordinary_least_squares(small, kernel, q, reml):
    pr = small("shared", q)
    zero = [0.0] * len(THETA[q])
    r = pr.evaluate(zero, kernel, reml=reml, mode="full")
    assert bits(r["ldl2"]) == bits(0.0) and np.all(r["u"] == 0.0) and np.all(r["grad"] == 0.0)
    assert r["deviance"] == pytest.approx(ols_criterion(pr.y, pr.x, reml), rel=1e-12)
    value, grad = pr.core(kernel).deviance_grad(zero, reml)
    assert bits(value) == bits(r["deviance"]) and grad == [0.0] * len(zero)


@pytest.mark.parametrize("kernel", KERNELS)
def test_scalar_random_effects_closed_form(kernel):
    rng = np.random.default_rng(31)
    y, x, _, codes = make_design(rng, 120, 2, 1, 10, empty=(4,))
    z = rng.standard_normal((120, 1))
    lam = 0.7
    r = t.evaluate(y, x, z, codes, 10, [lam], evaluator=kernel, mode="full")
    zz, zx, zy = (np.array([np.sum(z[codes == i, 0, None] * a[codes == i], axis=0) for i in range(10)])
                  for a in (z, x, y[:, None]))
    want = lam * (zy[:, 0] - zx @ r["beta"]) / (lam * lam * zz[:, 0] + 1.0)
    np.testing.assert_allclose(r["u"], want, rtol=1e-12, atol=1e-14 * np.abs(want).max())
    assert bits(r["u"][4]) == bits(0.0)


def infeasible_case(name):
    rng = np.random.default_rng(11)
    y, x, z, codes = make_design(rng, 60, 2, 2, 6)
    theta = THETA[2]
    first = np.flatnonzero(codes == 3)[0]
    if name == "nan_y":
        y[first] = math.nan
    elif name == "nan_x":
        x[first, 1] = math.nan
    elif name == "nan_z":
        z[first, 1] = math.nan
    elif name == "overflow":
        theta = [1e200, 0.0, 1e200]
    return Problem(y, x, z, codes, 6), theta


@pytest.mark.parametrize("kernel", AUGMENTED)
@pytest.mark.parametrize("name", ["nan_y", "nan_x", "nan_z", "overflow"])
def test_infeasible(name, kernel):
    pr, theta = infeasible_case(name)
    core = pr.core(kernel)
    for reml in (True, False):
        assert core.deviance(theta, reml) == math.inf
        value, grad = core.deviance_grad(theta, reml)
        assert value == math.inf and len(grad) == 3 and all(math.isnan(g) for g in grad)
        for mode in ("value", "gradient", "full"):
            assert pr.evaluate(theta, kernel, reml=reml, mode=mode) is None


@pytest.mark.parametrize("route", ["sequential", "parallel", "auto"])
@pytest.mark.parametrize("kernel", AUGMENTED)
def test_one_failing_item_among_many_chunks(big, kernel, route):
    """Group 1000 lies in a middle chunk both as a group and as a new class."""
    z = big.z.copy()
    z[np.flatnonzero(big.codes == 1000)[0], 1] = math.nan
    for mode in ("value", "gradient"):
        assert t.evaluate(big.y, big.x, z, big.codes, big.m, THETA[2], evaluator=kernel,
                          mode=mode, route=route) is None


def test_big_design_goes_parallel_for_aggregated(big):
    # 2500 classes: well above one chunk and the parallel threshold of the class pass
    assert big.core("aggregated").n_classes == 2500


@pytest.mark.parametrize("reml", [True, False])
@pytest.mark.parametrize("kernel", AUGMENTED)
def test_routes_and_forms_bit_identical(big, kernel, reml):
    theta = THETA[2]
    base = big.evaluate(theta, kernel, reml=reml, mode="full", route="sequential")
    for route, generic in [("parallel", False), ("auto", False), ("sequential", True), ("parallel", True)]:
        assert_same(base, big.evaluate(theta, kernel, reml=reml, mode="full", route=route, generic=generic))
    value, grad = big.core(kernel).deviance_grad(theta, reml)
    assert bits(value) == bits(base["deviance"]) and np.array_equal(bits(grad), bits(base["grad"]))
    assert_close(base, big.evaluate(theta, "blocks", reml=reml, mode="full"), 1e-9)


@pytest.mark.parametrize("kernel", AUGMENTED)
@pytest.mark.parametrize("q", [1, 2, 3])
def test_fixed_and_generic_forms_bit_identical_small(small, kernel, q):
    for shape in ("varied", "shared"):
        pr = small(shape, q)
        for reml in (True, False):
            base = pr.evaluate(THETA[q], kernel, reml=reml, mode="full")
            for route in ("sequential", "parallel"):
                assert_same(base, pr.evaluate(THETA[q], kernel, reml=reml, mode="full", route=route,
                                              generic=True))


def test_one_thread_process_bit_identical(big, child_arrays):
    if t.pool_threads() < 2:
        pytest.skip("this process has a one-thread pool")
    code = """
        import corvane._corvane_tests as t
        from corvane._corvane import LmmCore
        out["threads"] = t.pool_threads()
        a = [inp[k] for k in ("y", "x", "z", "codes")]
        th = list(inp["theta"])
        for kernel in ("streaming", "aggregated"):
            out[kernel + "_value"], out[kernel + "_grad"] = LmmCore(*a, int(inp["m"]), kernel).deviance_grad(th)
            for k, v in t.evaluate(*a, int(inp["m"]), th, mode="full", evaluator=kernel).items():
                out[kernel + "_" + k] = v
    """
    inputs = dict(y=big.y, x=big.x, z=big.z, codes=big.codes, m=big.m, theta=THETA[2])
    child = child_arrays(code, inputs, one_thread=True)
    assert child["threads"] == 1
    for kernel in AUGMENTED:
        value, grad = big.core(kernel).deviance_grad(THETA[2])
        assert bits(child[kernel + "_value"]) == bits(value)
        assert np.array_equal(bits(child[kernel + "_grad"]), bits(grad))
        assert_same({k: child[kernel + "_" + k] for k in FIELDS}, big.evaluate(THETA[2], kernel, mode="full"))
