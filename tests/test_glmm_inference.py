"""A generalized fit's inference against independent truths: the delta
method against differences of the inverse link, drop1 against separate fits
of the reduced formulas, the type III table's invariance to the factors'
coding, the conditional predictions' error variance against the dense
inverse of the joint (beta, b) information, the per-group estimates against
a direct optimisation, and the statsmodels-style names against the tables
they restate."""

import os

import numpy as np
import pandas as pd
import pytest
from scipy import optimize

import corvane
from corvane._example import example_frame
from corvane.generalized.unpooled import unpooled_effects

pytestmark = [pytest.mark.native]

HERE = os.path.dirname(__file__)


@pytest.fixture(scope="module")
def cbpp():
    cb = pd.read_csv(os.path.join(HERE, "data", "cbpp.csv"))
    cb["period"] = cb["period"].astype(str)
    cb["f"] = cb["size"] - cb["incidence"]
    return cb


@pytest.fixture(scope="module")
def counts():
    """Poisson counts with two factors, one crossed with a covariate."""
    rng = np.random.default_rng(5)
    m, per = 40, 12
    g = np.repeat(np.arange(m), per)
    df = pd.DataFrame({"g": g, "a": rng.choice(["lo", "mid", "hi"], size=m * per),
                       "b": rng.choice(["u", "v"], size=m * per), "x": rng.normal(size=m * per)})
    eta = 0.4 + 0.3 * (df["a"] == "hi") - 0.2 * (df["b"] == "v") + 0.25 * df["x"] + rng.normal(0.5, size=m)[g]
    df["y"] = rng.poisson(np.exp(eta))
    return df


@pytest.fixture(scope="module")
def cbpp_fit(cbpp):
    return corvane.glmm("cbind(incidence, f) ~ period + (1 | herd)", cbpp)


def test_response_scale_means_are_the_delta_method(cbpp_fit):
    link = cbpp_fit.emmeans("period")
    resp = cbpp_fit.emmeans("period", type="response")
    eta, se = link["emmean"].to_numpy(), link["SE"].to_numpy()
    inv = cbpp_fit.family.mean
    h = 1e-6
    slope = (inv(eta + h) - inv(eta - h)) / (2 * h)
    np.testing.assert_allclose(resp["prob"], inv(eta), rtol=1e-12)
    np.testing.assert_allclose(resp["SE"], se * slope, rtol=1e-7)
    # the interval's ends are the link scale's, back-transformed
    np.testing.assert_allclose(resp["asymp.LCL"], inv(link["asymp.LCL"].to_numpy()), rtol=1e-12)
    assert np.all(np.isinf(resp["df"]))


def test_pairwise_ratios_are_exponentiated_differences(cbpp_fit):
    diff = cbpp_fit.pairwise("period", adjust="none")
    ratio = cbpp_fit.pairwise("period", adjust="none", type="response")
    np.testing.assert_allclose(ratio["odds.ratio"], np.exp(diff["estimate"]), rtol=1e-12)
    np.testing.assert_allclose(ratio["SE"], np.exp(diff["estimate"]) * diff["SE"], rtol=1e-12)
    np.testing.assert_array_equal(ratio["p.value"], diff["p.value"])
    assert ratio["contrast"].iloc[0] == "p1 / p2" and diff["contrast"].iloc[0] == "p1 - p2"
    # one comparison with the reference level is that coefficient's z test
    table = cbpp_fit.coef_table()
    assert diff["z.ratio"].iloc[0] == pytest.approx(-table["z value"].iloc[1], rel=1e-10)


def test_response_pairs_refused_without_ratios(counts):
    r = corvane.glmm("y ~ a + (1 | g)", counts.assign(y=(counts["y"] > 1).astype(float)), link="probit")
    with pytest.raises(ValueError, match="use type='link'"):
        r.pairwise("a", type="response")


def test_anova_is_independent_of_coding(counts):
    treat = corvane.glmm("y ~ a * b + x + (1 | g)", counts, family="poisson").anova()
    summed = corvane.glmm("y ~ C(a, Sum) * C(b, Sum) + x + (1 | g)", counts, family="poisson").anova()
    np.testing.assert_allclose(treat["Chisq"].to_numpy(), summed["Chisq"].to_numpy(), rtol=1e-6)
    np.testing.assert_array_equal(treat["Df"], [2, 1, 1, 2])
    # a lone column's test is its coefficient's z squared
    r = corvane.glmm("y ~ a + b + x + (1 | g)", counts, family="poisson")
    z = r.coef_table().loc["x", "z value"]
    assert r.anova().loc["x", "Chisq"] == pytest.approx(z * z, rel=1e-10)
    assert r.contrast_test(pd.Series({"x": 1.0}))["Chisq"].iloc[0] == pytest.approx(z * z, rel=1e-10)


@pytest.mark.parametrize("nagq", [1, 5])
def test_drop1_matches_separate_fits(counts, nagq):
    full = corvane.glmm("y ~ a + b + x + (1 | g)", counts, family="poisson", nagq=nagq)
    table = full.drop1()
    assert table.index.tolist() == ["<none>", "a", "b", "x"]
    for term, reduced in (("a", "y ~ b + x + (1 | g)"), ("x", "y ~ a + b + (1 | g)")):
        fit = corvane.glmm(reduced, counts, family="poisson", nagq=nagq)
        assert table.loc[term, "LRT"] == pytest.approx(2 * (full.llf - fit.llf), rel=1e-6, abs=1e-8)
        assert table.loc[term, "AIC"] == pytest.approx(fit.aic, rel=1e-9)


def test_conditional_prediction_error_is_the_joint_inverse(cbpp_fit):
    """With beta's covariance that of the joint (beta, u) information at
    the modes, the per-group form equals the dense inverse's quadratic form."""
    r = cbpp_fit
    model = r.model
    X, Z = np.asarray(model.X, dtype=float), np.asarray(model.Z, dtype=float)
    fam, eta = r.family, r._eta
    w = fam.mu_eta(eta) ** 2 / fam.variance(fam.mean(eta)) * r.model.prior_weights
    m, p, q = model.m, model.p, model.q
    Zfull = np.zeros((model.n, m * q))
    for k in range(q):
        Zfull[np.arange(model.n), model.codes * q + k] = Z[:, k]
    prior = np.kron(np.eye(m), np.linalg.inv(r.cov_re))
    A = np.hstack([X, Zfull])
    H = A.T @ (w[:, None] * A)
    H[p:, p:] += prior
    Hinv = np.linalg.inv(H)
    pe = r._prediction_error()
    saved = pe.cov_beta
    try:
        pe.cov_beta = Hinv[:p, :p]
        x, z = X[:6], Z[:6]
        ours = pe.fit_variance(x, z, model.codes[:6])
    finally:
        pe.cov_beta = saved
    full = np.hstack([x, Zfull[:6]])
    np.testing.assert_allclose(ours, np.einsum("ni,ij,nj->n", full, Hinv, full), rtol=1e-6)


def test_unpooled_effects_maximise_each_group(cbpp_fit):
    r = cbpp_fit
    model = r.model
    est = unpooled_effects(r)
    fixed = model.X @ r.beta
    for g in range(4):
        rows = model.codes == g
        y, w, f = model.y[rows], r.model.prior_weights[rows], fixed[rows]

        def nll(b):
            mu = r.family.mean(f + b[0])
            return -np.sum(w * (y * np.log(mu) + (1 - y) * np.log1p(-mu)))

        best = optimize.minimize(nll, [0.0], method="Nelder-Mead", options={"xatol": 1e-10, "fatol": 1e-14})
        if np.all(y == 0):
            assert np.isnan(est[g, 0])  # no finite estimate: every row at the boundary
        else:
            assert est[g, 0] == pytest.approx(best.x[0], abs=1e-6)


@pytest.mark.parametrize("family", ["linear", "generalized"])
def test_statsmodels_names_restate_the_tables(family, cbpp_fit):
    if family == "linear":
        r = corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame())
        table = r.coef_table()
        stat, p = "t value", "Pr(>|t|)"
        assert r.scale == r.sigma2
    else:
        r = cbpp_fit
        table = r.coef_table()
        stat, p = "z value", "Pr(>|z|)"
        assert r.scale == 1.0
    assert r.df_resid == r.n_obs - r.n_params
    t = r.t_test(np.eye(len(r.fe_names)))
    np.testing.assert_allclose(t["coef"], table["Estimate"], rtol=1e-12)
    np.testing.assert_allclose(t["std err"], table["Std. Error"], rtol=1e-10)
    np.testing.assert_allclose(t.iloc[:, 2], table[stat], rtol=1e-10)
    np.testing.assert_allclose(t.iloc[:, 3], table[p], rtol=1e-8, atol=1e-300)
    wald = r.wald_test(np.eye(len(r.fe_names))[1:2])
    assert wald.iloc[0, -1] == pytest.approx(table[p].iloc[1], rel=1e-8)
    data = example_frame().head(4) if family == "linear" else None  # new rows, or the fitted ones
    frame = r.get_prediction(data).summary_frame(alpha=0.1)
    conf = r.predict(data, interval="confidence", level=0.9)
    np.testing.assert_allclose(frame["mean_ci_lower"], conf["lower"], rtol=1e-12)
    assert ("obs_ci_lower" in frame) == (family == "linear")
