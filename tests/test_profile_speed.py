"""The direct search for profile intervals' ends (Newton's method on the
profile's level, corvane.inference.profile.ends.newton_end / newton_cor_end): a regular
model's every end found without tracing the profile, each end raising an
independent re-minimisation of the criterion by z^2, the searches on closed
forms, the derivatives they take by finite differences, and the correlation
of an uncorrelated block (the traced profile used to lose it there)."""

import math
import os
import sys
import types
import warnings

import numpy as np
import pandas as pd
import pytest
from scipy import stats
from scipy.optimize import minimize

import corvane
import corvane.inference.parameters
import corvane.inference.profile.intervals
from corvane import _threads
from corvane.inference.profile import ends as profile_ends
from corvane.inference.profile import profiler
from corvane.design import reparam

pytestmark = [pytest.mark.reference]

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
Z = stats.norm.ppf(0.975)
SLEEP = pd.read_csv(os.path.join(DATA, "sleepstudy.csv"))


def nelder_mead(fun, x0):
    best = None
    for start in (np.asarray(x0, float), np.asarray(x0, float) * 1.1 + 0.05):
        x = start
        for _ in range(3):
            res = minimize(fun, x, method="Nelder-Mead", options={"xatol": 1e-10, "fatol": 1e-12, "maxfev": 20000})
            x = res.x
        best = res.fun if best is None else min(best, res.fun)
    return best


def rise(result, name, value):
    """The criterion with `name` (an sd, the correlation or sigma of a model
    with two random effects) held at value, re-minimised by Nelder-Mead over
    the user's factor L of Sigma_u and sigma, less the fit's criterion."""
    model = result.model
    core, rp, reml = model.core, model.reparam, result.reml
    nu = model.n - (model.p if reml else 0)
    az_inv = np.linalg.inv(rp.a_z)

    def criterion(l0, l10, l11, sigma):
        c = az_inv @ np.array([[l0, 0.0], [l10, l11]])
        sol = core.solution(reparam.lambda_to_theta(reparam.chol_psd(c @ c.T)).tolist(), reml=reml)
        s2 = (sigma * rp.y_scale) ** 2
        return sol["ldl2"] + sol["ldrx2"] + nu * math.log(2 * math.pi * s2) + sol["pwrss"] / s2

    l0, l10, l11 = np.linalg.cholesky(np.asarray(result.cov_re) / result.sigma ** 2)[[0, 1, 1], [0, 0, 1]]
    held = {"sd0": lambda y: criterion(math.exp(y[0]), y[1], y[2], value / math.exp(y[0])),
            "sd1": lambda y: criterion(math.exp(y[0]), y[1], y[2], value / math.hypot(y[1], y[2])),
            "sigma": lambda y: criterion(math.exp(y[0]), y[1], y[2], value),
            "cor": lambda y: criterion(math.exp(y[0]), value * math.exp(y[1]),
                                       math.sqrt(1 - value * value) * math.exp(y[1]), math.exp(y[2]))}
    x0 = [math.log(l0), math.log(math.hypot(l10, l11)), math.log(result.sigma)] if name == "cor" \
        else [math.log(l0), l10, l11]
    fmin = nelder_mead(lambda y: criterion(math.exp(y[0]), y[1], y[2], math.exp(y[3])),
                       [math.log(l0), l10, l11, math.log(result.sigma)])
    return nelder_mead(held[name], x0) - fmin


@pytest.fixture(scope="module", params=[True, False], ids=["REML", "ML"])
def sleep(request):
    return corvane.lmm("Reaction ~ Days + (Days | Subject)", SLEEP, reml=request.param)


@pytest.mark.parametrize("formula", ["Reaction ~ Days + (Days | Subject)", "Reaction ~ Days + (Days || Subject)"])
@pytest.mark.parametrize("reml", [True, False], ids=["REML", "ML"])
def test_regular_model_finds_every_end_directly(monkeypatch, formula, reml):
    """No end is left to the search along the profile, and the whole set of
    intervals takes a few criterion evaluations per end."""
    r = corvane.lmm(formula, SLEEP, reml=reml)
    monkeypatch.setattr(corvane.inference.profile.intervals, "crossing", lambda *a, **k: pytest.fail("an end was traced"))
    calls = []
    inner = profiler.Profiler.derivatives
    monkeypatch.setattr(profiler.Profiler, "derivatives", lambda self, x: calls.append(1) or inner(self, x))
    ci = r.confint(method="profile")
    assert ci.shape == (len(corvane.inference.parameters.parameter_names(r)), 2) and np.all(np.isfinite(ci.to_numpy()))
    assert len(calls) < 12 * 2 * len(ci)


@pytest.mark.parametrize("k,name", [(0, "sd0"), (1, "cor"), (2, "sd1"), (3, "sigma")])
def test_direct_ends_raise_the_re_minimised_criterion_by_the_quantile(sleep, k, name):
    ci = sleep.confint(method="profile")
    for value in ci.iloc[k]:
        assert rise(sleep, name, value) == pytest.approx(Z * Z, rel=1e-7)


def test_fixed_effect_ends_are_the_ml_fits_with_the_effect_held(sleep):
    """beta_j = v is the ML fit of y - v x_j on the other columns."""
    ci = sleep.confint(method="profile", which=["(Intercept)", "Days"])
    full = corvane.lmm("Reaction ~ Days + (Days | Subject)", SLEEP, reml=False).criterion
    for v in ci.loc["(Intercept)"]:
        held = corvane.lmm("y ~ 0 + Days + (Days | Subject)", SLEEP.assign(y=SLEEP.Reaction - v), reml=False)
        assert held.criterion - full == pytest.approx(Z * Z, rel=1e-8)
    for v in ci.loc["Days"]:
        held = corvane.lmm("y ~ 1 + (Days | Subject)", SLEEP.assign(y=SLEEP.Reaction - v * SLEEP.Days), reml=False)
        assert held.criterion - full == pytest.approx(Z * Z, rel=1e-8)


@pytest.mark.parametrize("path", ["direct", "traced"])
@pytest.mark.parametrize("reml", [True, False], ids=["REML", "ML"])
def test_correlation_within_an_uncorrelated_block(monkeypatch, path, reml):
    """(1 | g) + (0 + x + z | g): with A_z diagonal the correlation of x and z
    is theta_zx / |(theta_zx, theta_zz)|, so its profile is a minimum over
    three numbers. The lower end raises it by z^2 either way (the traced
    profile built its constraint in columns the block holds at 0)."""
    df = pd.read_csv(os.path.join(DATA, "kr_three.csv")).astype({"g": str})
    r = corvane.lmm("y ~ x + z + (1 | g) + (0 + x + z | g)", df, reml=reml)
    if path == "traced":
        monkeypatch.setattr(corvane.inference.profile.intervals, "newton_cor_end", lambda *a, **k: None)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", corvane.ProfileWarning)
        lo, hi = r.confint(method="profile", which="cor(x, z | g)").iloc[0]
    assert hi == 1.0
    core, th = r.model.core, np.asarray(r.theta_core)

    def profile(rho):
        return nelder_mead(lambda y: core.deviance([y[0], 0, 0, y[1], rho * math.exp(y[2]),
                                                    math.sqrt(1 - rho * rho) * math.exp(y[2])], reml=reml),
                           [th[0], th[3], math.log(math.hypot(th[4], th[5]))])

    assert profile(lo) - core.deviance(th.tolist(), reml=reml) == pytest.approx(Z * Z, rel=1e-7)


# ---- the searches on closed forms -----------------------------------------------------

def quadratic_state(a, c, b):
    """f(x, t) = (x - c t)' A (x - c t) + b t^2: the profile is b t^2."""
    def state(x, t):
        d = x - c * t
        return float(d @ a @ d + b * t * t), 2 * a @ d, 2 * a, float(-2 * c @ a @ d + 2 * b * t), -2 * a @ c, \
            float(2 * c @ a @ c + 2 * b)
    return state


@pytest.mark.parametrize("side", [-1, 1])
@pytest.mark.parametrize("k", [1, 3])
def test_newton_end_on_a_quadratic(side, k):
    rng = np.random.default_rng(k)
    m = rng.standard_normal((k, k))
    state = quadratic_state(m @ m.T + k * np.eye(k), rng.standard_normal(k), 0.7)
    starts = profile_ends.wald_starts(state, np.zeros(k), 0.0, Z)
    assert starts[side][1] == pytest.approx(side * Z / math.sqrt(0.7), rel=1e-12)  # the quadratic's own end
    t, x = profile_ends.newton_end(state, np.ones(k), 0.3 * side, side, 0.0, Z, lambda t: True, 1.0)
    assert t == pytest.approx(side * Z / math.sqrt(0.7), rel=1e-12)
    assert profile_ends.newton_end(state, np.ones(k), 0.3 * side, side, 0.0, Z, lambda t: abs(t) < 1.0, 1.0) is None


@pytest.mark.parametrize("sign", [-1.0, 1.0])
def test_correlation_end_on_a_quadratic(sign):
    """D = x'Ax / 2 with rho = a'x: the extreme a'x on D = z^2 is
    z sqrt(2 a'A^-1 a)."""
    a_mat, a = np.array([[3.0, 1.0], [1.0, 2.0]]), np.array([0.05, 0.1])

    def state(x):
        return 0.5 * float(x @ a_mat @ x), a_mat @ x, a_mat, float(a @ x), a, np.zeros((2, 2))

    state.rho = lambda x: float(a @ x)
    end = profile_ends.newton_cor_end(state, np.zeros(2), 0.0, 0.0, Z, sign)
    assert end == pytest.approx(sign * Z * math.sqrt(2 * a @ np.linalg.solve(a_mat, a)), rel=1e-12)


@pytest.mark.parametrize("m", [1, 4])
def test_secant_update_is_symmetric_and_true_along_the_step(m):
    rng = np.random.default_rng(m)
    h0 = rng.standard_normal((m, 3, 3))
    sec = profile_ends.Secant(np.zeros(3), np.zeros((m, 3)), h0 + h0.transpose(0, 2, 1))
    s, y = rng.standard_normal(3), rng.standard_normal((m, 3))
    h = sec.update(s, y)
    np.testing.assert_allclose(h @ s, y, rtol=1e-12, atol=1e-12)
    np.testing.assert_array_equal(h, h.transpose(0, 2, 1))
    assert sec.update(s * (1 + 1e-12), y + 1.0) is h and np.allclose(h @ s, y)  # a rounding-sized step


@pytest.mark.parametrize("kind", ["sigma", "sd0", "sd1", "beta0", "beta1", "cor"])
def test_state_derivatives_match_finite_differences(sleep, kind):
    prof = profiler.Profiler(sleep, sleep.reml)
    if kind.startswith("beta"):
        prof = profiler.Profiler(corvane.lmm("Reaction ~ Days + (Days | Subject)", SLEEP, reml=False), False)
    make = {"sigma": prof.sigma_state, "sd0": lambda: prof.sd_state(0), "sd1": lambda: prof.sd_state(1),
            "beta0": lambda: prof.beta_state(0), "beta1": lambda: prof.beta_state(1)}
    eye, e = np.eye(3), 1e-6
    if kind == "cor":
        st = prof.cor_state(1, 0)
        x = prof.x_hat * 1.1 + 0.05
        out = st(x)
        for i, j in ((0, 1), (3, 4), (4, 5)):  # D_p, rho and the gradient of rho
            fd = np.array([(np.asarray(st(x + e * u)[i]) - np.asarray(st(x - e * u)[i])) / (2 * e) for u in eye])
            np.testing.assert_allclose(out[j], fd, rtol=1e-6, atol=1e-6)
        return
    t = {"sigma": math.log(sleep.sigma * 1.1), "sd0": math.log(sleep.re_std[0] * 1.2),
         "sd1": math.log(sleep.re_std[1] * 0.8), "beta0": 255.0, "beta1": 9.0}[kind]
    for x, exact_h in ((prof.x_hat, True), (prof.x_hat * 1.1 + 0.05, False)):
        st = make[kind]()
        f, g, h, f_t, g_t, f_tt = st(x, t)
        fd_g = np.array([(st(x + e * u, t)[0] - st(x - e * u, t)[0]) / (2 * e) for u in eye])
        np.testing.assert_allclose(g, fd_g, rtol=1e-6, atol=1e-5)
        assert f_t == pytest.approx((st(x, t + e)[0] - st(x, t - e)[0]) / (2 * e), rel=1e-6, abs=1e-5)
        np.testing.assert_allclose(g_t, (st(x, t + e)[1] - st(x, t - e)[1]) / (2 * e), rtol=1e-5, atol=1e-5)
        assert f_tt == pytest.approx((st(x, t + 1e-4)[3] - st(x, t - 1e-4)[3]) / 2e-4, rel=1e-6)
        if exact_h:  # at the fit, where the second derivatives were taken
            st = make[kind]()
            fd_h = np.array([(st(x + e * u, t)[1] - st(x - e * u, t)[1]) / (2 * e) for u in eye])
            np.testing.assert_allclose(st(x, t)[2], fd_h, rtol=1e-5, atol=1e-4)


def test_blas_controller_is_found_again_after_an_import(monkeypatch):
    pytest.importorskip("threadpoolctl")
    first = _threads._blas_controller()
    assert _threads._blas_controller() is first
    monkeypatch.setitem(sys.modules, "corvane_test_new_module", types.ModuleType("corvane_test_new_module"))
    assert _threads._blas_controller() is not first
