"""The certified trust-region Newton fit, its minimiser on test functions, the
moment start and the canonical form of theta on the boundary."""

import math
import os

import numpy as np
import pytest

from corvane import LmmCore

pytestmark = [pytest.mark.native]

t = pytest.importorskip("corvane._corvane_tests")

DATA = os.path.join(os.path.dirname(__file__), "data")
INF = math.inf

# lme4 1.1-31, REML (tests/r/sleepstudy_fits.R). For the q = 3 model lme4
# stops short of the optimum ("failed to converge").
LME4_Q2 = dict(crit=1743.6282719600, theta=[0.9667417740, 0.0151690589, 0.2309099532],
               beta=[251.4051048485, 10.4672859596], sigma=25.5917957217)
LME4_Q3_CRIT = 1729.2769824371


@pytest.fixture(scope="module")
def sleepstudy():
    rows = np.genfromtxt(os.path.join(DATA, "sleepstudy.csv"), delimiter=",", skip_header=1,
                         dtype=None, encoding="utf-8")
    reaction = np.array([r[0] for r in rows], float)
    days = np.array([r[1] for r in rows], float)
    subjects = np.array([str(r[2]).strip('"') for r in rows])
    _, codes = np.unique(subjects, return_inverse=True)
    return reaction, days, codes.astype(np.int64)


def design_q(sleepstudy, q):
    y, d, codes = sleepstudy
    x = np.column_stack([np.ones_like(d), d, d ** 2][:q])
    return y, np.ascontiguousarray(x), np.ascontiguousarray(x), codes, 18


def check_certificate(r, q):
    nt = q * (q + 1) // 2
    assert r["converged"] is True and r["status"] in ("interior", "boundary")
    # Below tolerance, or as small as rounding lets it be (a Newton step would
    # change the criterion by less than its last digits).
    g, h = np.asarray(r["grad"]), r["hessian"]
    assert (r["grad_inf_norm"] <= 1e-10 * max(1.0, abs(r["deviance"]))
            or 0.5 * g @ np.linalg.solve(h, g) <= 1e-15 * abs(r["deviance"]))
    assert r["min_free_eigenvalue"] > 0
    assert r["hessian"].shape == (nt, nt)


@pytest.mark.parametrize("kernel", ["blocks", "streaming", "aggregated"])
def test_sleepstudy_matches_lme4(sleepstudy, kernel):
    core = LmmCore(*design_q(sleepstudy, 2), kernel)
    r = core.fit_newton()
    check_certificate(r, 2)
    assert r["status"] == "interior" and r["boundary"] == []
    assert r["deviance"] <= LME4_Q2["crit"] + 1e-9
    assert r["deviance"] == pytest.approx(LME4_Q2["crit"], rel=1e-9)
    np.testing.assert_allclose(r["theta"], LME4_Q2["theta"], rtol=2e-5, atol=1e-6)
    np.testing.assert_allclose(r["beta"], LME4_Q2["beta"], rtol=1e-7)
    assert r["sigma"] == pytest.approx(LME4_Q2["sigma"], rel=1e-6)


def test_sleepstudy_q3_reaches_the_optimum_lme4_misses(sleepstudy):
    core = LmmCore(*design_q(sleepstudy, 3))
    r = core.fit_newton()
    check_certificate(r, 3)
    assert LME4_Q3_CRIT - r["deviance"] == pytest.approx(5.86e-3, abs=5e-5)
    # From lme4's own stopping point the fit goes to the same optimum.
    lme4_theta = [1.2233933056, -0.2593589559, 0.0287854077, 0.5851537544, -0.0508288666, 0.0258839775]
    again = core.fit_newton(lme4_theta)
    assert again["deviance"] == pytest.approx(r["deviance"], rel=1e-12)


def small_variance_problem(seed=5):
    rng = np.random.default_rng(seed)
    m, per = 30, 10
    n = m * per
    codes = np.repeat(np.arange(m), per).astype(np.int64)
    x = rng.standard_normal(n)
    X = np.column_stack([np.ones(n), x])
    y = 1 + 0.5 * x + 0.15 * rng.standard_normal(m)[codes] + rng.standard_normal(n)
    return y, X, np.ones((n, 1)), codes, m


@pytest.mark.parametrize("start", [[0.0], [1e-8], [0.2], [1.0], [30.0]])
def test_small_variance_is_found_from_any_start(start):
    """theta = 0 is stationary (zero gradient); the curvature leads away."""
    core = LmmCore(*small_variance_problem(), "blocks")
    dense = [core.deviance([v]) for v in np.linspace(0.0, 1.0, 2001)]
    r = core.fit_newton(start)
    check_certificate(r, 1)
    assert r["status"] == "interior" and r["theta"][0] > 0.1
    assert r["deviance"] <= min(dense) + 1e-9


def test_boundary_fit_is_certified_as_such():
    # Group means shrunk below the within-group spread: the REML variance is 0.
    rng = np.random.default_rng(5)
    groups, per = 8, 6
    codes = np.repeat(np.arange(groups), per).astype(np.int64)
    e = rng.standard_normal(groups * per)
    means = np.array([e[codes == i].mean() for i in range(groups)])
    y = 3.0 + e - 0.9 * means[codes]
    ones = np.ones((groups * per, 1))
    core = LmmCore(y, ones, ones.copy(), codes, groups, "blocks")
    for start in ([1.0], [0.0], None):
        r = core.fit_newton(start)
        assert r["converged"] and r["status"] == "boundary" and r["boundary"] == [0]
        assert r["theta"][0] == 0.0 and r["hessian"][0, 0] >= 0


def test_q2_boundary_holds_the_whole_column():
    """A zero variance of the first random effect: its column of Lambda is
    held at zero, and the remaining Hessian is positive definite."""
    rng = np.random.default_rng(3)
    m, per = 40, 12
    n = m * per
    codes = np.repeat(np.arange(m), per).astype(np.int64)
    x = np.tile(np.linspace(-1, 1, per), m)
    X = np.column_stack([np.ones(n), x])
    y = 2 + x + 0.9 * rng.standard_normal(m)[codes] * x + rng.standard_normal(n)
    core = LmmCore(y, X, X.copy(), codes, m, "blocks")
    r = core.fit_newton()
    assert r["converged"]
    if r["status"] == "boundary":
        held = r["boundary"]
        assert 0 in held and 1 in held and all(r["theta"][i] == 0.0 for i in held)
    # No point of the boundary or the interior is lower (a grid on Sigma).
    best = r["deviance"]
    for a in np.linspace(0, 0.3, 7):
        for b in np.linspace(-0.3, 0.3, 7):
            for c in np.linspace(0.3, 1.5, 13):
                assert core.deviance([a, b, c]) >= best - 1e-9


def test_unequal_scales_q4():
    """Columns of Z on very different scales; the old fit stopped on a boundary."""
    rng = np.random.default_rng(9)
    m, per = 60, 12
    n = m * per
    codes = np.repeat(np.arange(m), per).astype(np.int64)
    scales = np.array([1, 0.14, 6.0, 0.29])
    Z = np.column_stack([np.ones(n), rng.standard_normal((n, 3))]) * scales
    L = np.tril(rng.standard_normal((4, 4)) * 0.5) + np.eye(4)
    b = (rng.standard_normal((m, 4)) @ L.T) / scales
    y = Z @ np.ones(4) + np.einsum("ij,ij->i", Z, b[codes]) + rng.standard_normal(n)
    for kernel in ("blocks", "aggregated"):
        core = LmmCore(y, Z, Z.copy(), codes, m, kernel)
        r = core.fit_newton()
        check_certificate(r, 4)
        eye = [1.0 if i == j else 0.0 for j in range(4) for i in range(j, 4)]
        old = core.fit(eye + [0.2 * v for v in eye] + [3.0 * v for v in eye])
        assert r["deviance"] <= old["deviance"] + 1e-9


def test_certificate_fields_and_failures():
    core = LmmCore(*small_variance_problem(), "blocks")
    r = core.fit_newton([1.0], max_iter=0)
    assert r["converged"] is False and r["status"] == "not converged"
    assert r["iterations"] == 0 and r["fev"] == 1 and r["message"] == "maximum iterations reached"
    y, X, Z, codes, m = small_variance_problem()
    y = y.copy()
    y[3] = np.nan
    with pytest.raises(RuntimeError, match="theta is infeasible"):
        LmmCore(y, X, Z, codes, m).fit_newton([1.0])
    for starts, message in (([], "starts must be a non-empty multiple of the theta length"),
                            ([1.0, math.nan], r"starts\[1\] is not finite")):
        with pytest.raises(ValueError, match=message):
            core.fit_newton(starts)
    with pytest.raises(ValueError, match="gtol must be positive"):
        core.fit_newton(gtol=0.0)
    # Two starts: the lower criterion wins, and fev counts both runs.
    a, b = core.fit_newton([0.05]), core.fit_newton([5.0])
    both = core.fit_newton([0.05, 5.0])
    assert both["fev"] == a["fev"] + b["fev"]
    assert both["deviance"] == min(a["deviance"], b["deviance"])


# ---------------------------------------------------------------- moment start


def test_moment_start_is_near_the_optimum_and_kernel_independent():
    rng = np.random.default_rng(12)
    m, per, q = 400, 10, 2
    n = m * per
    codes = np.repeat(np.arange(m, dtype=np.int64), per)
    t_ = np.tile(np.arange(per, dtype=float), m)
    X = np.column_stack([np.ones(n), t_])
    b = rng.standard_normal((m, 2)) @ np.array([[3.0, 0.0], [0.4, 0.8]]).T
    y = X @ [10.0, 2.0] + np.einsum("ij,ij->i", X, b[codes]) + 2.0 * rng.standard_normal(n)
    blocks = LmmCore(y, X, X.copy(), codes, m, "blocks")
    agg = LmmCore(y, X, X.copy(), codes, m, "aggregated")
    assert agg.n_classes == 1
    s1, s2 = blocks.moment_theta(), agg.moment_theta()
    np.testing.assert_allclose(s1, s2, rtol=1e-9, atol=1e-12)
    opt = blocks.fit_newton()["theta"]
    lam_s = np.array([[s1[0], 0], [s1[1], s1[2]]])
    lam_o = np.array([[opt[0], 0], [opt[1], opt[2]]])
    np.testing.assert_allclose(lam_s @ lam_s.T, lam_o @ lam_o.T, rtol=0.15, atol=0.05)
    assert all(v > 0 for v in (s1[0], s1[2]))


def test_moment_start_falls_back_to_the_identity():
    # One row per group and q = 2: no group's Z'Z is invertible.
    rng = np.random.default_rng(1)
    n = 50
    X = np.column_stack([np.ones(n), rng.standard_normal(n)])
    core = LmmCore(rng.standard_normal(n), X, X.copy(), np.arange(n, dtype=np.int64), n)
    assert core.moment_theta() == [1.0, 0.0, 1.0]


# ---------------------------------------------------------------- canonical theta


@pytest.mark.parametrize("theta, q", [
    ([0.0, 0.7, 1.2], 2),
    ([0.0, 0.7, 0.0], 2),
    ([1.0, 0.3, -0.2, 0.0, 0.5, 0.9], 3),
    ([0.0, 0.2, 0.3, 0.0, 0.4, 0.0], 3),
])
def test_canonical_theta_keeps_sigma_and_zeroes_columns(theta, q):
    def lam(th):
        out, k = np.zeros((q, q)), 0
        for j in range(q):
            for i in range(j, q):
                out[i, j] = th[k]
                k += 1
        return out

    c = t.canonical_theta(theta, q)
    L0, L1 = lam(theta), lam(c)
    np.testing.assert_allclose(L1 @ L1.T, L0 @ L0.T, rtol=1e-13, atol=1e-15)
    for j in range(q):
        if L1[j, j] == 0.0:
            assert np.all(L1[:, j] == 0.0)
    assert all(L1[j, j] >= 0 for j in range(q))


def test_canonical_theta_leaves_interior_points_alone():
    theta = [0.9, -0.3, 0.6]
    assert t.canonical_theta(theta, 2) == theta


# ---------------------------------------------------------------- the minimiser itself


def rosenbrock(x):
    a, b = x
    f = (1 - a) ** 2 + 100 * (b - a * a) ** 2
    g = [-2 * (1 - a) - 400 * a * (b - a * a), 200 * (b - a * a)]
    h = [[2 - 400 * (b - 3 * a * a), -400 * a], [-400 * a, 200]]
    return f, g, h


def test_rosenbrock_from_the_classic_start():
    r = t.trust_minimize(rosenbrock, [-1.2, 1.0], [-INF, -INF])
    assert r["status"] == "interior"
    np.testing.assert_allclose(r["x"], [1.0, 1.0], atol=1e-9)


def test_a_saddle_start_and_a_bound():
    # f = x^2 - y^2 + y^4 / 4 with y >= 0: the start (1, 0) has a zero
    # y-gradient and negative curvature; the minimum is at (0, sqrt 2).
    def f(v):
        x, y = v
        return x * x - y * y + y ** 4 / 4, [2 * x, -2 * y + y ** 3], [[2, 0], [0, -2 + 3 * y * y]]

    r = t.trust_minimize(f, [1.0, 0.0], [-INF, 0.0])
    assert r["status"] == "interior"
    np.testing.assert_allclose(r["x"], [0.0, math.sqrt(2)], atol=1e-9)


def test_a_minimum_on_the_bound():
    # f = (x + 1)^2 + (y - 2)^2 with x >= 0: the minimum is (0, 2) on the bound.
    def f(v):
        x, y = v
        return (x + 1) ** 2 + (y - 2) ** 2, [2 * (x + 1), 2 * (y - 2)], [[2, 0], [0, 2]]

    r = t.trust_minimize(f, [3.0, -4.0], [0.0, -INF])
    assert r["status"] == "boundary" and r["at_bound"] == [0.0]
    np.testing.assert_allclose(r["x"], [0.0, 2.0], atol=1e-12)


def test_infeasible_start_and_trials():
    r = t.trust_minimize(lambda v: None, [1.0], [-INF])
    assert r["status"] == "initial point infeasible" and r["evaluations"] == 1

    # Feasible only for x < 2; the minimum of (x - 1)^2 is inside.
    def f(v):
        x = v[0]
        return None if x >= 2 else ((x - 1) ** 2, [2 * (x - 1)], [[2.0]])

    r = t.trust_minimize(f, [-50.0], [-INF])
    assert r["status"] == "interior" and r["x"][0] == pytest.approx(1.0)
