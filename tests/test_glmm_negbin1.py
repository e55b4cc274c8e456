"""The NB1 negative binomial mixed model (variance phi mu, glmmTMB's
nbinom1) against glmmTMB (the numbers and the script that made them:
tests/r/glmm_negbin1.R), its exact derivatives against differences, and its
Poisson limit."""

import json
import math
import os

import numpy as np
import pandas as pd
import pytest

import corvane
from glmm_cases import count_case

pytest.importorskip("formulaic")

DATA = os.path.join(os.path.dirname(__file__), "data")
REF = json.load(open(os.path.join(DATA, "glmm_negbin1.json")))["models"]


def _case(name):
    if name in ("grouseticks", "epil"):
        return (*count_case(name), {})
    df = pd.read_csv(os.path.join(DATA, "glmm_negbin1_sim.csv"))
    return "y ~ x + f + (x | g)", df, dict(offset=np.log(df["exposure"].to_numpy()), weights=df["w"].to_numpy(float))


@pytest.mark.parametrize("name", ["sim", "grouseticks", "epil"])
def test_agrees_with_glmmtmb(name):
    formula, df, kw = _case(name)
    r = corvane.glmm(formula, df, family="negative_binomial1", **kw)
    ref = REF[name]
    assert r.converged
    assert r.llf == pytest.approx(ref["logLik"], abs=1e-6)
    assert r.llf >= ref["logLik"] - 1e-9
    assert r.phi == pytest.approx(1.0 + ref["alpha"], rel=1e-5)      # glmmTMB's sigma() is phi - 1
    assert r.phi_se_log == pytest.approx(ref["se_log_alpha"], rel=1e-4)
    np.testing.assert_allclose(np.ravel(r.theta), ref["theta"], rtol=1e-5, atol=1e-6)
    np.testing.assert_allclose(r.params.to_numpy(), ref["fixef"], atol=2e-5)
    np.testing.assert_allclose(r.std_errors, ref["se"], rtol=1e-4)
    lo, hi = r.phi_confint(method="wald")
    z = 1.959963984540054
    alpha = r.phi - 1.0
    assert (lo, hi) == pytest.approx((1 + alpha * math.exp(-z * r.phi_se_log), 1 + alpha * math.exp(z * r.phi_se_log)))
    plo, phi_hi = r.phi_confint()
    assert 1.0 < plo < r.phi < phi_hi < math.inf
    if "r2" in ref:  # Nakagawa's, with NB1's log(1 + phi / mu) as performance computes it
        r2 = r.r2()
        assert r2["marginal"] == pytest.approx(ref["r2"]["marginal"], abs=5e-6)
        assert r2["conditional"] == pytest.approx(ref["r2"]["conditional"], abs=5e-6)


def test_exact_derivatives_match_differences():
    """The Laplace gradient and Hessian of NB1 (observed curvature, not
    concave in eta where counts are large against mu / alpha) against
    central differences of the deviance, on counts up to thousands (both
    the summed and the series forms of the terms)."""
    from corvane import GlmmCore

    rng = np.random.default_rng(4)
    m, per = 20, 10
    g = np.repeat(np.arange(m), per)
    n = len(g)
    x = rng.normal(size=n)
    X = np.column_stack([np.ones(n), x])
    mu = np.exp(2.0 + 1.5 * x + rng.normal(0, 0.6, m)[g])
    y = rng.negative_binomial(mu / 3.0, 1 / 4.0).astype(float)
    assert y.max() > 300
    core = GlmmCore(y, X, X.copy(), g.astype(np.int64), m, None, None, "negative_binomial1", "log", phi=3.0)
    x0 = np.array([0.5, 0.1, 0.3, 2.0, 1.4])
    e = core.evaluate(x0[:3].tolist(), x0[3:].tolist(), derivatives=2)

    def dev(v):
        return core.evaluate(v[:3].tolist(), v[3:].tolist())["deviance"]

    h = 1e-5
    grad = np.array([(dev(x0 + h * u) - dev(x0 - h * u)) / (2 * h) for u in np.eye(5)])
    np.testing.assert_allclose(e["grad"], grad, rtol=1e-6, atol=1e-5)
    hess = np.array([(np.asarray(core.evaluate((x0 + h * u)[:3].tolist(), (x0 + h * u)[3:].tolist(),
                                                derivatives=1)["grad"]) -
                      np.asarray(core.evaluate((x0 - h * u)[:3].tolist(), (x0 - h * u)[3:].tolist(),
                                                derivatives=1)["grad"])) / (2 * h) for u in np.eye(5)])
    np.testing.assert_allclose(e["hessian"], hess, rtol=1e-5, atol=1e-4)


def test_poisson_counts_reach_the_limit_and_anova_uses_the_boundary():
    """Poisson counts: phi runs to its end (1 + 1e-8) with a warning, the
    logLik is the Poisson fit's, and anova's test of NB1 against Poisson is
    the boundary mixture."""
    rng = np.random.default_rng(9)
    m, per = 30, 12
    g = np.repeat(np.arange(m), per)
    x = rng.normal(size=m * per)
    y = rng.poisson(np.exp(1.0 + 0.5 * x + rng.normal(0, 0.4, m)[g]))
    df = pd.DataFrame({"y": y, "x": x, "g": g})
    pois = corvane.glmm("y ~ x + (1 | g)", df, family="poisson")
    with pytest.warns(UserWarning, match="end of its range"):
        nb1 = corvane.glmm("y ~ x + (1 | g)", df, family="negative_binomial1")
    assert nb1.phi_at_bound and nb1.phi - 1.0 == pytest.approx(1e-8, rel=1e-6)
    assert nb1.llf == pytest.approx(pois.llf, abs=1e-5)
    table = corvane.anova(pois, nb1)
    assert table["Pr(>Chisq)"].iloc[1] >= 0.5 - 1e-9


@pytest.mark.parametrize("family", ["negative_binomial", "negative_binomial1"])
def test_bootstrap_replicates_are_refits_of_the_simulated_responses(family):
    """A negative binomial's bootstrap re-estimates phi in every replicate:
    each replicate equals a whole fit of the same simulated response."""
    df = pd.read_csv(os.path.join(DATA, "glmm_negbin1_sim.csv"))
    df["lexp"] = np.log(df["exposure"])
    r = corvane.glmm("y ~ x + (1 | g) + offset(lexp)", df, family=family)
    boot = r.bootstrap(3, seed=4, progress=False)
    ys = r.simulate(3, seed=4)
    for k in range(3):
        refit = corvane.glmm("y ~ x + (1 | g) + offset(lexp)", df.assign(y=ys[k]), family=family)
        row = boot.replicates.iloc[k]
        assert row["converged"]
        assert row["phi"] == pytest.approx(refit.phi, rel=1e-6)
        assert row["deviance"] == pytest.approx(refit.deviance, abs=1e-6)
        np.testing.assert_allclose(row[refit.fe_names].to_numpy(float), refit.params.to_numpy(), rtol=1e-6)
    assert list(boot.confint().index)[-1] == "phi"


@pytest.mark.parametrize("family, peer", [("negative_binomial1", "nbinom1"), ("negative_binomial", "nbinom2")])
def test_profile_intervals_agree_with_glmmtmb(family, peer):
    """Profile intervals of the fixed effects re-estimate phi at every point,
    as glmmTMB's. glmmTMB interpolates its profile between points (a spline):
    where the two differ by 2e-4 (NB1's lbase and V4), corvane's profile
    deviance at glmmTMB's end is 1.9620^2 above the optimum, at its own
    1.95996^2."""
    formula, df, kw = _case("epil")
    r = corvane.glmm(formula, df, family=family)
    ref = REF["epil_profile"][peer]
    ci = r.confint(method="profile").loc[r.fe_names]
    np.testing.assert_allclose(ci.iloc[:, 0].to_numpy(), ref["lower"], atol=5e-4)
    np.testing.assert_allclose(ci.iloc[:, 1].to_numpy(), ref["upper"], atol=5e-4)
