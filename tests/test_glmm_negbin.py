"""The negative binomial (NB2) mixed model against glmmTMB's nbinom2 (the
numbers and the script that made them: tests/r/glmm_negbin.R), the exactness
of its derivatives against differences, its quadrature against direct
integration, and what the result offers on top of the Poisson's."""

import json
import math
import os

import numpy as np
import pandas as pd
import pytest

import corvane
from glmm_cases import count_case
from corvane import GlmmCore

pytest.importorskip("formulaic")

DATA = os.path.join(os.path.dirname(__file__), "data")
REF = json.load(open(os.path.join(DATA, "glmm_negbin.json")))["models"]


def _case(name):
    if name in ("grouseticks", "epil"):
        return (*count_case(name), {})
    df = pd.read_csv(os.path.join(DATA, "glmm_negbin_sim.csv"))
    return "y ~ x + (x | g)", df, dict(offset=np.log(df["exposure"].to_numpy()), weights=df["w"].to_numpy(float))


@pytest.mark.parametrize("name", ["grouseticks", "epil", "sim"])
def test_agrees_with_glmmtmb(name):
    formula, df, kw = _case(name)
    r = corvane.glmm(formula, df, family="negative_binomial", **kw)
    ref = REF[name]
    assert r.converged
    assert r.llf == pytest.approx(ref["logLik"], abs=1e-6)
    assert r.llf >= ref["logLik"] - 1e-9  # never below glmmTMB's optimum
    assert r.phi == pytest.approx(ref["phi"], rel=1e-5)
    np.testing.assert_allclose(np.ravel(r.theta), ref["theta"], rtol=1e-5, atol=1e-6)
    # glmmTMB stops a little short of the optimum on grouseticks (its logLik
    # is 2.7e-9 below corvane's): 1.3e-5 in the intercept, 1e-4 of its SE.
    np.testing.assert_allclose(r.params.to_numpy(), ref["fixef"], atol=2e-5)
    np.testing.assert_allclose(r.std_errors, ref["se"], rtol=1e-4)
    assert r.phi_se_log == pytest.approx(ref["se_log_phi"], rel=1e-4)
    assert r.n_params == len(ref["fixef"]) + len(ref["theta"]) + 1
    assert r.aic == pytest.approx(-2 * ref["logLik"] + 2 * r.n_params, abs=2e-6)


def _core(q=2, seed=3, phi=1.7):
    rng = np.random.default_rng(seed)
    m, per = 25, 8
    g = np.repeat(np.arange(m), per)
    n = len(g)
    x = rng.normal(size=n)
    X = np.column_stack([np.ones(n), x])
    Z = np.ascontiguousarray(X[:, :q])
    b = rng.normal(0, 0.5, (m, q))
    mu = np.exp(0.3 + 0.5 * x + np.einsum("nq,nq->n", Z, b[g]))
    y = rng.negative_binomial(2.0, 2.0 / (2.0 + mu)).astype(float)
    w = rng.choice([1.0, 2.0], n)
    return GlmmCore(y, X, Z, g.astype(np.int64), m, w, None, "negative_binomial", "log", phi=phi), y, X, Z, g, w


def test_exact_derivatives_match_differences():
    """The Laplace gradient and Hessian use the observed curvature (held in
    the Fisher slots): against central differences of the deviance."""
    core, *_ = _core()
    x0 = np.array([0.6, 0.2, 0.4, 0.25, 0.45])
    e = core.evaluate(x0[:3].tolist(), x0[3:].tolist(), derivatives=2)

    def dev(x):
        return core.evaluate(x[:3].tolist(), x[3:].tolist())["deviance"]

    h = 1e-5
    grad = np.array([(dev(x0 + h * u) - dev(x0 - h * u)) / (2 * h) for u in np.eye(5)])
    np.testing.assert_allclose(e["grad"], grad, rtol=1e-6, atol=1e-5)
    hess = np.array([(np.array(core.evaluate((x0 + h * u)[:3].tolist(), (x0 + h * u)[3:].tolist(),
                                               derivatives=1)["grad"])
                      - np.array(core.evaluate((x0 - h * u)[:3].tolist(), (x0 - h * u)[3:].tolist(),
                                               derivatives=1)["grad"])) / (2 * h) for u in np.eye(5)])
    np.testing.assert_allclose(np.asarray(e["hessian"]).reshape(5, 5), hess, rtol=1e-5, atol=1e-4)


def test_quadrature_matches_direct_integration():
    """nagq = 25 for one random effect against each group's integral by
    scipy's adaptive quadrature, from the NB2 density itself."""
    special = pytest.importorskip("scipy.special")
    integrate = pytest.importorskip("scipy.integrate")
    core, y, X, Z, g, w = _core(q=1)
    theta, beta, phi = 0.7, np.array([0.2, 0.45]), core.phi
    total = 0.0
    for grp in range(int(g.max()) + 1):
        rows = g == grp
        eta0 = X[rows] @ beta
        yy, ww = y[rows], w[rows]

        def density(u):
            mu = np.exp(eta0 + theta * u)
            ll = (special.gammaln(yy + phi) - special.gammaln(phi) - special.gammaln(yy + 1)
                  + phi * np.log(phi / (phi + mu)) + yy * np.log(mu / (phi + mu)))
            return math.exp(float(ww @ ll)) * math.exp(-0.5 * u * u) / math.sqrt(2 * math.pi)

        value, _ = integrate.quad(density, -12, 12, epsabs=0, epsrel=1e-12, limit=200)
        total += math.log(value)
    got = core.evaluate([theta], beta.tolist(), nagq=25)["deviance"]
    assert got == pytest.approx(-2 * total, rel=1e-9)


def test_poisson_against_negative_binomial_is_a_boundary_test():
    formula, df, _ = _case("grouseticks")
    nb = corvane.glmm(formula, df, family="negative_binomial")
    po = corvane.glmm(formula, df, family="poisson")
    table = corvane.anova(po, nb)
    stats = pytest.importorskip("scipy.stats")
    chisq = 2 * (nb.llf - po.llf)
    assert table["Chisq"].iloc[1] == pytest.approx(chisq)
    assert table["Df"].iloc[1] == 1
    # phi -> inf is the boundary: half the chi-squared(1) tail
    assert table["Pr(>Chisq)"].iloc[1] == pytest.approx(0.5 * stats.chi2.sf(chisq, 1), rel=1e-12)


def test_phi_intervals():
    formula, df, _ = _case("epil")
    r = corvane.glmm(formula, df, family="negative_binomial")
    lo, hi = r.phi_confint()
    wlo, whi = r.phi_confint(method="wald")
    assert lo < r.phi < hi and wlo < r.phi < whi
    # the profile's ends: the deviance, re-optimised over (theta, beta), rises by chi2(1)'s 95% point
    for end in (lo, hi):
        assert r.model.deviance(*_refit_at(r, end), phi=end) == pytest.approx(r.deviance + 3.841458820694124,
                                                                             abs=1e-4)
    assert abs(math.log(lo / wlo)) < 0.05 and abs(math.log(hi / whi)) < 0.05  # near-symmetric in log phi
    text = r.summary().as_text() if hasattr(r.summary(), "as_text") else str(r.summary())
    assert "Negative Binomial(" in text and "phi = " in text
    assert r.simulate(3, seed=3).shape == (3, len(df))
    import pickle

    again = pickle.loads(pickle.dumps(r))  # the core at phi^ is made again from the model
    assert again.phi == r.phi and again.deviance == r.deviance
    np.testing.assert_array_equal(again.predict(df.head(5)), r.predict(df.head(5)))
    # the family draws counts of mean mu and variance mu + mu^2 / phi
    mu = np.repeat([0.5, 4.0, 30.0], 20000)
    draws = r.family.simulate(mu, np.ones(len(mu)), np.random.default_rng(1)).reshape(3, -1)
    np.testing.assert_allclose(draws.mean(axis=1), [0.5, 4.0, 30.0], rtol=0.03)
    np.testing.assert_allclose(draws.var(axis=1), mu[::20000] + mu[::20000] ** 2 / r.phi, rtol=0.06)


def _refit_at(result, phi):
    """(theta, beta) on the user's scale, fitted with phi held."""
    model = result.model
    raw = model.core.with_phi(phi).fit(result.theta_core.tolist(), result.beta_core.tolist(), nagq=result.nagq)
    return model.reparam.theta(np.asarray(raw["theta"])), model.reparam.beta(np.asarray(raw["beta"]))


def test_r2_as_performance_computes_it():
    """Nakagawa's R2 with the negative binomial's distribution-specific
    variance log(1 + 1/mu + 1/phi) (performance 0.10.2 on glmmTMB's fit)."""
    formula, df, _ = _case("grouseticks")
    r2 = corvane.glmm(formula, df, family="negative_binomial").r2()
    ref = REF["grouseticks"]["r2"]
    assert r2["marginal"] == pytest.approx(ref["marginal"], abs=1e-5)
    assert r2["conditional"] == pytest.approx(ref["conditional"], abs=1e-5)


@pytest.mark.parametrize("family", ["poisson", "negative_binomial"])
def test_shrinkage_with_groups_of_zeros(family):
    """Broods whose counts are all 0 have no per-group estimate (NaN); the
    others still get theirs, and the plot draws."""
    pytest.importorskip("matplotlib")
    import matplotlib

    matplotlib.use("Agg")
    from corvane.generalized.unpooled import unpooled_effects

    formula, df, _ = _case("grouseticks")
    r = corvane.glmm(formula, df, family=family)
    b = unpooled_effects(r)[:, 0]
    zeros = df.groupby("BROOD")["TICKS"].max().reindex([str(v) for v in r.group_labels]).to_numpy() == 0
    assert np.isnan(b[zeros]).all() and np.isfinite(b[~zeros]).all()
    r.plot_shrinkage()


def test_poisson_counts_take_phi_to_its_end():
    """Counts without overdispersion: the profile falls towards phi -> inf
    (the Poisson model), phi stops at the end of its range with a warning,
    and the likelihood is the Poisson fit's."""
    rng = np.random.default_rng(3)
    n, m = 3000, 60
    g = rng.integers(0, m, n)
    x = rng.normal(size=n)
    y = rng.poisson(np.exp(0.5 + 0.3 * x + rng.normal(0, 0.4, m)[g])).astype(float)
    df = pd.DataFrame({"y": y, "x": x, "g": g.astype(str)})
    with pytest.warns(UserWarning, match="no overdispersion"):
        nb = corvane.glmm("y ~ x + (1 | g)", df, family="negative_binomial")
    po = corvane.glmm("y ~ x + (1 | g)", df, family="poisson")
    assert nb.converged and nb.phi_at_bound and nb.phi == pytest.approx(1e8)
    assert nb.llf == pytest.approx(po.llf, abs=1e-5)
    np.testing.assert_allclose(nb.params, po.params, atol=1e-5)


def test_quadrature_fit():
    """phi with adaptive quadrature: its partial derivatives need the
    quadrature's gradient alone, which crashed before; the fit is certified
    and close to the Laplace one on data with many counts per group."""
    formula, df, _ = _case("epil")
    lap = corvane.glmm(formula, df, family="negative_binomial")
    agq = corvane.glmm(formula, df, family="negative_binomial", nagq=9)
    assert agq.converged and np.isfinite(agq.std_errors).all() and agq.phi_se_log > 0
    assert agq.phi == pytest.approx(lap.phi, rel=0.05)
    np.testing.assert_allclose(agq.params, lap.params, atol=0.2 * lap.std_errors.max())
