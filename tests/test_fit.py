"""The solution dictionary at a given theta and the multi-start fit: layout of the
dictionary, agreement with the dense reference, closed-form estimates of a
balanced one-way design, agreement with independent minimisations of the dense criterion,
and the rules for starts."""

import math
import re

import numpy as np
import pytest
from scipy.optimize import minimize

from corvane._corvane import LmmCore
from reference import lambda_of, make_design, reference

pytestmark = [pytest.mark.native]

M, EMPTY = 12, 5
THETA = {1: [0.8], 2: [0.9, -0.3, 0.6], 3: [0.9, -0.3, 0.2, 0.7, 0.4, 0.5]}
KEYS = ("theta", "deviance", "grad", "beta", "cov_beta", "cov_re", "random_effects", "u", "sigma2",
        "sigma", "pwrss", "ldl2", "ldrx2", "reml", "n", "p", "q", "m")
FIT_KEYS = KEYS + ("converged", "iterations", "fev", "grad_inf_norm", "message")
EVALUATORS = ("blocks", "aggregated", "streaming")


def re_exact(message):
    return "^" + re.escape(message) + "$"


class Problem:
    def __init__(self, y, x, z, codes, m):
        self.y, self.x, self.z, self.codes, self.m = y, x, z, codes, m
        self.core = LmmCore(y, x, z, codes, m, "blocks")
        self.rows = [r for r in (np.flatnonzero(codes == i) for i in range(m)) if r.size]

    def reference(self, theta, reml=True):
        return reference(self.y, self.x, self.z, self.codes, self.m, theta, reml)


@pytest.fixture(scope="session")
def design():
    """design(q): 200 rows, p = 2, 12 unequal groups with group 5 empty."""
    cache = {}

    def get(q):
        if q not in cache:
            rng = np.random.default_rng(40 + q)
            cache[q] = Problem(*make_design(rng, 200, 2, q, M, empty=(EMPTY,)), M)
        return cache[q]

    return get


def one_way(boundary):
    """Balanced one-way layout, 8 groups of 6; with `boundary` the group means
    are shrunk so that the between-group mean square falls below the within."""
    groups, per = 8, 6
    rng = np.random.default_rng(5 if boundary else 6)
    codes = np.repeat(np.arange(groups), per).astype(np.int64)
    e = rng.standard_normal(groups * per)
    means = np.array([e[codes == i].mean() for i in range(groups)])
    y = 3.0 + (e - 0.9 * means[codes] if boundary else e + 1.5 * rng.standard_normal(groups)[codes])
    ybar = np.array([y[codes == i].mean() for i in range(groups)])
    msb = per * np.sum((ybar - y.mean()) ** 2) / (groups - 1)
    msw = np.sum((y - ybar[codes]) ** 2) / (groups * (per - 1))
    assert (msb < msw) == boundary
    ones = np.ones((groups * per, 1))
    return y, ones, ones.copy(), codes, groups, per, msb, msw


@pytest.fixture(scope="session")
def one_way_data():
    return {b: one_way(b) for b in (False, True)}


# ---------------------------------------------------------------- solution


def test_solution_layout(design):
    pr = design(2)
    theta = np.array(THETA[2])
    s = pr.core.solution(theta)
    assert tuple(s) == KEYS
    shapes = dict(theta=(3,), grad=(3,), beta=(2,), cov_beta=(2, 2), cov_re=(2, 2),
                  random_effects=(M, 2), u=(M, 2))
    arrays = [s[k] for k in shapes]
    for k, shape in shapes.items():
        assert type(s[k]) is np.ndarray and s[k].dtype == np.float64 and s[k].shape == shape, k
        assert s[k].flags.c_contiguous and s[k].flags.writeable, k
    assert not any(np.shares_memory(a, b) for i, a in enumerate(arrays) for b in arrays[i + 1:])
    for k in ("deviance", "sigma2", "sigma", "pwrss", "ldl2", "ldrx2"):
        assert type(s[k]) is float, k
    assert s["reml"] is True
    assert (s["n"], s["p"], s["q"], s["m"]) == (200, 2, 2, M) and all(type(s[k]) is int for k in "npqm")
    # "theta" is a copy: neither the argument nor a later call is touched.
    assert not np.shares_memory(s["theta"], theta)
    s["theta"][:] = 7.0
    s["u"][:] = 7.0
    assert list(theta) == THETA[2]
    again = pr.core.solution(theta)
    assert list(again["theta"]) == THETA[2] and not np.shares_memory(again["u"], s["u"])


@pytest.mark.parametrize("reml", [True, False])
@pytest.mark.parametrize("q", [1, 2, 3])
def test_solution_matches_reference(design, q, reml):
    pr, theta = design(q), THETA[q]
    s, ref = pr.core.solution(theta, reml=reml), pr.reference(theta, reml)
    value, grad = pr.core.deviance_grad(theta, reml)
    assert s["deviance"] == value and list(s["grad"]) == grad
    assert s["deviance"] == pytest.approx(ref["deviance"], rel=1e-10)
    assert marginal_criterion(pr, theta, reml) == pytest.approx(ref["deviance"], rel=1e-10)
    for k in ("sigma2", "pwrss", "ldl2"):
        assert s[k] == pytest.approx(ref[k], rel=1e-10), k
    np.testing.assert_allclose(s["beta"], ref["beta"], rtol=1e-8, atol=1e-10)
    np.testing.assert_allclose(s["u"].ravel(), ref["u"], rtol=1e-8, atol=1e-10)
    np.testing.assert_allclose(s["cov_beta"], s["sigma2"] * ref["a_inv"], rtol=1e-8)
    lam = lambda_of(theta, q)
    np.testing.assert_allclose(s["cov_re"], s["sigma2"] * lam @ lam.T, rtol=1e-14, atol=1e-15)
    assert np.array_equal(s["cov_re"], s["cov_re"].T)
    np.testing.assert_allclose(s["random_effects"], s["u"] @ lam.T, rtol=1e-13, atol=1e-15)
    assert np.all(s["random_effects"][EMPTY] == 0.0)
    assert s["sigma"] == math.sqrt(s["sigma2"])
    assert s["reml"] is reml
    if reml:
        assert s["ldrx2"] == pytest.approx(ref["ldrx2"], rel=1e-10, abs=1e-10)
    else:
        assert s["ldrx2"] == 0.0


def test_solution_on_boundary(design):
    s = design(1).core.solution([0.0])
    assert tuple(s) == KEYS
    assert s["cov_re"].tolist() == [[0.0]]
    assert np.all(s["random_effects"] == 0.0) and np.isfinite(s["deviance"])


def test_solution_errors(design):
    pr = design(1)
    y = pr.y.copy()
    y[3] = np.nan
    bad = LmmCore(y, pr.x, pr.z, pr.codes, M, "blocks")
    with pytest.raises(RuntimeError, match=r"^theta is infeasible$"):
        bad.solution([0.5])
    with pytest.raises(ValueError, match=re_exact("theta must have 1 entries for q = 1, got 2")):
        bad.solution([0.5, 0.5])


# ---------------------------------------------------------------- fit


def test_fit_keys(design):
    r = design(2).core.fit(THETA[2])
    assert tuple(r) == FIT_KEYS
    assert type(r["converged"]) is bool and type(r["message"]) is str
    assert type(r["iterations"]) is int and type(r["fev"]) is int and type(r["grad_inf_norm"]) is float
    assert r["converged"] and r["fev"] >= r["iterations"] >= 1
    s = design(2).core.solution(r["theta"])
    for k in KEYS:
        assert np.array_equal(s[k], r[k]), k


@pytest.mark.parametrize("reml", [True, False])
@pytest.mark.parametrize("evaluator", EVALUATORS)
def test_fit_one_way_closed_form(one_way_data, evaluator, reml):
    y, x, z, codes, groups, per, msb, msw = one_way_data[False]
    # REML: sigma_b^2 = (MSB - MSW) / J; ML: ((1 - 1/I) MSB - MSW) / J; sigma2 = MSW in both.
    sb2 = ((msb if reml else (1 - 1 / groups) * msb) - msw) / per
    r = LmmCore(y, x, z, codes, groups, evaluator).fit([0.5, 3.0], reml=reml)
    assert r["converged"], r["message"]
    assert r["theta"][0] == pytest.approx(math.sqrt(sb2 / msw), rel=1e-7)
    assert r["sigma2"] == pytest.approx(msw, rel=1e-7)
    assert r["beta"][0] == pytest.approx(y.mean(), rel=1e-12)
    assert r["cov_re"][0, 0] == pytest.approx(sb2, rel=1e-7)


@pytest.mark.parametrize("evaluator", EVALUATORS)
def test_fit_one_way_on_boundary(one_way_data, evaluator):
    y, x, z, codes, groups = one_way_data[True][:5]
    r = LmmCore(y, x, z, codes, groups, evaluator).fit([1.0])
    assert r["converged"], r["message"]
    assert r["theta"][0] == 0.0
    assert r["sigma2"] == pytest.approx(np.sum((y - y.mean()) ** 2) / (len(y) - 1), rel=1e-12)


def marginal_criterion(pr, theta, reml):
    """The criterion from the marginal model, one block of V0 = Z Lb Lb' Z' + I
    per group (V0 is block diagonal), so that no large matrix is formed."""
    lam, n, p = lambda_of(theta, pr.z.shape[1]), *pr.x.shape
    ldl2, xvx, xvy, yvy = 0.0, np.zeros((p, p)), np.zeros(p), 0.0
    for rows in pr.rows:
        zl = pr.z[rows] @ lam
        v = zl @ zl.T + np.eye(len(rows))
        vx, vy = np.linalg.solve(v, pr.x[rows]), np.linalg.solve(v, pr.y[rows])
        ldl2 += np.linalg.slogdet(v)[1]
        xvx, xvy, yvy = xvx + pr.x[rows].T @ vx, xvy + pr.x[rows].T @ vy, yvy + pr.y[rows] @ vy
    pwrss = yvy - xvy @ np.linalg.solve(xvx, xvy)
    nmp = n - p if reml else n
    ldrx2 = np.linalg.slogdet(xvx)[1] if reml else 0.0
    return ldl2 + ldrx2 + nmp * (1.0 + math.log(2 * math.pi * pwrss / nmp))


def dense_minimum(pr, reml, starts):
    """The lowest marginal criterion that independent minimisations of the dense
    criterion reach: scipy's L-BFGS-B from every start. No run's
    own success flag is trusted (L-BFGS-B may end "ABNORMAL" a hair from the
    optimum); only the criterion values they reach count."""
    lower = np.array(pr.core.lower_bounds())
    bounds = [(0.0, None) if b == 0.0 else (None, None) for b in lower]
    best = math.inf
    for start in starts:
        res = minimize(lambda th: marginal_criterion(pr, np.maximum(th, lower), reml), start,
                       method="L-BFGS-B", bounds=bounds,
                       options=dict(ftol=1e-15, gtol=1e-10, maxiter=500))
        best = min(best, float(res.fun))
    return best


def projected_fd_gradient(pr, theta, reml, h=1e-6):
    """Central differences of the dense criterion at theta; a component at its
    bound whose derivative points into the feasible region counts as zero."""
    lower = pr.core.lower_bounds()
    grad = []
    for k in range(len(theta)):
        up, down = np.array(theta, float), np.array(theta, float)
        up[k] += h
        down[k] = max(down[k] - h, lower[k])
        g = (marginal_criterion(pr, up, reml) - marginal_criterion(pr, down, reml)) / (up[k] - down[k])
        grad.append(0.0 if theta[k] <= lower[k] and g > 0 else g)
    return np.array(grad)


@pytest.mark.parametrize(
    "q, reml, start",
    [(2, True, [1.0, 0.0, 1.0]), (2, True, [0.2, 0.5, 3.0]), (2, False, [1.0, 0.0, 1.0]),
     (3, True, [1.0, 0.0, 0.0, 1.0, 0.0, 1.0]), (3, True, [2.0, -1.0, 0.5, 0.3, 0.0, 2.0])],
)
def test_fit_no_worse_than_dense_minimisations(design, q, reml, start):
    pr = design(q)
    r = pr.core.fit(start, reml=reml)
    assert r["deviance"] == pytest.approx(marginal_criterion(pr, r["theta"], reml), rel=1e-10)
    # Certified: corvane's point is stationary for the dense criterion...
    assert np.abs(projected_fd_gradient(pr, r["theta"], reml)).max() < 1e-4
    # ...and no independent minimisation, from its start or corvane's end, goes lower.
    best = dense_minimum(pr, reml, [start, r["theta"]])
    assert r["deviance"] <= best + 1e-9 * abs(best)


@pytest.mark.parametrize(
    "starts, message",
    [
        ([], "starts must be a non-empty multiple of the theta length"),
        ([1.0, 0.0, 1.0, 0.5], "starts must be a non-empty multiple of the theta length"),
        ([1.0, math.nan, 1.0, 1.0], "starts[1] is not finite"),  # finiteness before length
        ([1.0, 0.0, 1.0, 1.0, 0.0, -math.inf], "starts[5] is not finite"),
    ],
)
def test_starts_validation(design, starts, message):
    with pytest.raises(ValueError, match=re_exact(message)):
        design(2).core.fit(starts)


def test_every_start_runs(design):
    core = design(2).core
    a, b = [3.0, 1.0, 0.2], [1.0, 0.0, 1.0]
    va, vb = core.deviance(a), core.deviance(b)
    assert vb < va
    for starts in (a + b, b + a):
        r = core.fit(starts, max_iter=0)
        assert list(r["theta"]) == b and (r["iterations"], r["fev"]) == (0, 1) and r["deviance"] == vb
    full = core.fit(a + b)
    single = [core.fit(s) for s in (a, b)]
    winner = min(single, key=lambda r: r["deviance"])
    assert full["deviance"] == winner["deviance"] and full["fev"] == winner["fev"]


def test_negative_start_is_projected(design):
    core = design(1).core
    r = core.fit([-1.0], max_iter=0)
    assert list(r["theta"]) == [0.0] and (r["iterations"], r["fev"]) == (0, 1)
    assert r["deviance"] == core.deviance([0.0])


def test_tie_keeps_the_first_start(one_way_data):
    y, x, z, codes, groups = one_way_data[True][:5]
    core = LmmCore(y, x, z, codes, groups, "blocks")
    at_zero, from_inside = core.fit([0.0]), core.fit([0.3])
    # Both reach theta = 0 exactly, with different counters.
    assert from_inside["theta"][0] == 0.0 and from_inside["deviance"] == at_zero["deviance"]
    assert (at_zero["iterations"], at_zero["fev"]) == (1, 1) and from_inside["fev"] > 1
    for starts, first in (([0.0, 0.3], at_zero), ([0.3, 0.0], from_inside)):
        r = core.fit(starts)
        assert (r["iterations"], r["fev"], r["message"]) == (first["iterations"], first["fev"], first["message"])


def test_every_start_infeasible(design):
    pr = design(2)
    y = pr.y.copy()
    y[0] = np.nan
    core = LmmCore(y, pr.x, pr.z, pr.codes, M, "blocks")
    with pytest.raises(RuntimeError, match=r"^theta is infeasible$"):
        core.fit([1.0, 0.0, 1.0, 0.5, 0.1, 2.0])
