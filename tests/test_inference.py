"""Inference against lmerTest and lme4 (numbers stored in
tests/data/inference_reference.json by tests/r/inference_reference.R) and
against independent computations: Satterthwaite's df from finite
differences of the unprofiled criterion, profile bounds re-minimised by a
derivative-free search, bootstrap replicates equal to direct refits and the
same bits on any number of threads."""

import json
import math
import os
import warnings

import numpy as np
import pandas as pd
import pytest
from scipy import stats
from scipy.optimize import minimize

import corvane
from corvane.inference import parameters
from corvane.design import reparam

pytestmark = [pytest.mark.reference]

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")
with open(os.path.join(DATA, "inference_reference.json")) as f:
    REFERENCE = json.load(f)


def frame(name):
    df = pd.read_csv(os.path.join(DATA, f"{name}.csv"))
    if "Diet" in df:
        df["Diet"] = df["Diet"].astype(str)  # a factor in R
    return df


_FITS = {}


def fit(name, formula, reml):
    key = (name, formula, reml)
    if key not in _FITS:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", corvane.SingularFitWarning)
            _FITS[key] = corvane.lmm(formula, frame(name), reml=reml)
    return _FITS[key]


def tolerance(entry, result):
    """1e-4 relative, as lmerTest differentiates numerically; looser where
    lme4 itself stopped measurably above the optimum (its t and p values are
    then those of a slightly different point)."""
    gap = (entry["criterion"] - result.criterion) / abs(result.criterion)
    return 1e-4 if gap < 1e-12 else 1e-3


def label(entry):
    return f"{entry['name']}-{'REML' if entry['reml'] else 'ML'}"


@pytest.mark.parametrize("entry", REFERENCE, ids=label)
def test_satterthwaite_t_tests_match_lmertest(entry):
    r = fit(entry["data"], entry["formula"], entry["reml"])
    assert r.criterion <= entry["criterion"] * (1 + 1e-13)
    tol = tolerance(entry, r)
    table = r.coef_table()
    assert list(table.columns) == ["Estimate", "Std. Error", "df", "t value", "Pr(>|t|)"]
    np.testing.assert_allclose(table["Estimate"], entry["estimate"], rtol=tol)
    np.testing.assert_allclose(table["df"], entry["df"], rtol=tol)
    np.testing.assert_allclose(table["t value"], entry["t"], rtol=tol)
    np.testing.assert_allclose(table["Pr(>|t|)"], entry["p"], rtol=10 * tol)
    assert r.ddf.index.tolist() == r.fe_names


@pytest.mark.parametrize("entry", REFERENCE, ids=label)
def test_type3_anova_matches_lmertest(entry):
    r = fit(entry["data"], entry["formula"], entry["reml"])
    tol = tolerance(entry, r)
    a = r.anova()
    assert list(a.columns) == ["Sum Sq", "Mean Sq", "NumDF", "DenDF", "F value", "Pr(>F)"]
    assert len(a) == len(entry["anova_terms"])
    np.testing.assert_array_equal(a["NumDF"], entry["anova_numdf"])
    np.testing.assert_allclose(a["F value"], entry["anova_F"], rtol=tol)
    np.testing.assert_allclose(a["DenDF"], entry["anova_dendf"], rtol=tol)
    np.testing.assert_allclose(a["Sum Sq"], entry["anova_ss"], rtol=tol)
    np.testing.assert_allclose(a["Pr(>F)"], entry["anova_p"], rtol=10 * tol)


ML = [e for e in REFERENCE if not e["reml"]]


@pytest.mark.parametrize("entry", ML, ids=label)
def test_likelihood_ratio_tests_match_lme4(entry):
    r1 = fit(entry["data"], entry["formula"], False)
    r0 = fit(entry["data"], entry["null"], False)
    t = corvane.anova(r1, r0)  # rows come ordered by npar whatever the argument order
    assert t.index.tolist() == ["model2", "model1"]
    assert list(t.columns) == ["npar", "AIC", "BIC", "logLik", "deviance", "Chisq", "Df", "Pr(>Chisq)"]
    np.testing.assert_allclose(t["Chisq"].iloc[1], entry["lrt_chisq"], rtol=1e-6)
    assert t["Df"].iloc[1] == entry["lrt_df"]
    np.testing.assert_allclose(t["Pr(>Chisq)"].iloc[1], entry["lrt_p"], rtol=1e-6)
    np.testing.assert_allclose(t["AIC"], entry["lrt_aic"], rtol=1e-9)


def test_anova_refits_reml_by_ml_and_refuses_other_data():
    reml1 = fit("sleepstudy", "Reaction ~ Days + (Days | Subject)", True)
    reml0 = fit("sleepstudy", "Reaction ~ 1 + (Days | Subject)", True)
    ml1 = fit("sleepstudy", "Reaction ~ Days + (Days | Subject)", False)
    ml0 = fit("sleepstudy", "Reaction ~ 1 + (Days | Subject)", False)
    pd.testing.assert_frame_equal(corvane.anova(reml0, reml1), corvane.anova(ml0, ml1), rtol=1e-9)
    with pytest.raises(ValueError, match="mix REML and ML"):
        corvane.anova(reml0, ml1, refit=False)
    short = corvane.lmm("Reaction ~ Days + (Days | Subject)", frame("sleepstudy").iloc[:170])
    with pytest.raises(ValueError, match="different numbers of observations"):
        corvane.anova(short, reml1)
    with pytest.raises(ValueError, match="at least two"):
        corvane.anova(reml1)


@pytest.mark.parametrize("reml", [False, True], ids=["ML", "REML-profiled-as-lme4"])
@pytest.mark.parametrize("entry", ML, ids=label)
def test_profile_intervals_match_lme4(entry, reml):
    # lme4 profiles a REML fit on the ML criterion (its intervals equal the
    # ML fit's); criterion="ml" gives those for cross-checking.
    r = fit(entry["data"], entry["formula"], reml)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        ci = r.confint(method="profile", criterion="ml" if reml else None)
    # An end at a parameter's limit is named in a ProfileWarning; other ends are crossings.
    at_limit = any((ci.iloc[k, 0] == 0.0 and name.startswith("sd(")) or abs(ci.iloc[k, 0]) == 1.0
                   or abs(ci.iloc[k, 1]) == 1.0 for k, name in enumerate(ci.index))
    assert any(w.category is corvane.ProfileWarning for w in caught) == at_limit
    assert list(ci.columns) == ["2.5 %", "97.5 %"]
    assert ci.index.tolist() == parameters.parameter_names(r)
    assert len(ci) == len(entry["profile_names"])
    for k, name in enumerate(ci.index):
        for col, ref in ((0, entry["profile_lower"][k]), (1, entry["profile_upper"][k])):
            ours = ci.iloc[k, col]
            if entry["name"] == "Orthodont" and name == "sigma":
                continue  # lme4's profile of sigma fails there (warnings, an infinite bound)
            if ref == 0.0 or abs(ref) == 1.0:
                assert ours == ref, (name, col)
            else:
                assert ours == pytest.approx(ref, rel=1e-3, abs=1e-6), (name, col)


def _brute_profile(result, name, value):
    """The criterion with one parameter fixed, every other re-minimised by
    Nelder-Mead from several starts on the user's factor of the relative
    covariance: independent of the library's profile code."""
    model = result.model
    core, rp, q = model.core, model.reparam, model.q
    pairs = reparam.tril_pairs(q)
    names = parameters.parameter_names(result)
    k = names.index(name)
    n = model.n - (model.p if result.reml else 0)
    az_inv = np.linalg.inv(rp.a_z)

    def criterion(theta_user, sigma_user):
        lam = np.zeros((q, q))
        for s, (a, b) in enumerate(pairs):
            lam[a, b] = theta_user[s]
        c = az_inv @ lam
        theta_core = reparam.lambda_to_theta(reparam.chol_psd(c @ c.T))
        sol = core.solution(theta_core.tolist(), reml=result.reml)
        s2 = (sigma_user * rp.y_scale) ** 2
        ld = sol["ldl2"] + sol["ldrx2"]
        return ld + n * math.log(2 * math.pi * s2) + sol["pwrss"] / s2

    def fun(x):
        theta, log_sigma = x[:-1], x[-1]
        sigma = math.exp(log_sigma)
        if name == "sigma":
            sigma = value
        elif k < len(pairs) and pairs[k][0] == pairs[k][1]:
            a = pairs[k][0]
            lam = np.zeros((q, q))
            for s, (i, j) in enumerate(pairs):
                lam[i, j] = theta[s]
            norm = math.sqrt(float(lam[a] @ lam[a]))
            if norm == 0:
                return math.inf
            sigma = value / norm
        return criterion(theta, sigma)

    best = math.inf
    start = np.concatenate([result.theta, [math.log(result.sigma)]])
    rng = np.random.default_rng(5)
    for trial in range(6):
        x0 = start * (1 + (0.3 * rng.standard_normal(len(start)) if trial else 0.0))
        res = minimize(fun, x0, method="Nelder-Mead", options={"xatol": 1e-10, "fatol": 1e-12, "maxiter": 20000})
        best = min(best, res.fun)
    return best


@pytest.mark.parametrize("name", ["sd(Days | Subject)", "sigma"])
def test_profile_bounds_raise_the_criterion_by_the_quantile(name):
    """At each bound the re-minimised criterion lies z^2 above the optimum."""
    r = fit("sleepstudy", "Reaction ~ Days + (Days | Subject)", True)
    ci = r.confint(method="profile", which=[name])
    fmin = _brute_profile(r, "sigma", r.sigma)
    z2 = stats.norm.ppf(0.975) ** 2
    for bound in ci.loc[name]:
        assert _brute_profile(r, name, bound) - fmin == pytest.approx(z2, rel=2e-4)


def _dense_satterthwaite(result, h=3e-4):
    """lmerTest's recipe by finite differences: the Hessian of the unprofiled
    criterion in (theta, sigma) on the user's scale, and the Jacobian of
    cov(beta)."""
    model = result.model
    rp, q = model.reparam, model.q
    k = len(result.theta)
    n = model.n - (model.p if result.reml else 0)

    def core_theta(theta_user):
        return rp.theta_to_core(np.asarray(theta_user)).tolist()

    def dev(x):
        sol = model.core.solution(core_theta(x[:k]), reml=result.reml)
        s2 = (x[k] * rp.y_scale) ** 2
        return sol["ldl2"] + sol["ldrx2"] + n * math.log(2 * math.pi * s2) + sol["pwrss"] / s2

    def cov(x):
        sol = model.core.solution(core_theta(x[:k]), reml=result.reml)
        return rp.cov_beta(np.asarray(sol["cov_beta"]) / sol["sigma2"] * (x[k] * rp.y_scale) ** 2)

    x0 = np.concatenate([result.theta, [result.sigma]])
    steps = h * np.maximum(np.abs(x0), 1e-3)
    hess = np.empty((k + 1, k + 1))
    for i in range(k + 1):
        for j in range(k + 1):
            ei, ej = np.eye(k + 1)[i] * steps[i], np.eye(k + 1)[j] * steps[j]
            hess[i, j] = (dev(x0 + ei + ej) - dev(x0 + ei - ej) - dev(x0 - ei + ej) + dev(x0 - ei - ej)) / (
                4 * steps[i] * steps[j])
    a = 2 * np.linalg.inv(0.5 * (hess + hess.T))
    jac = [(cov(x0 + np.eye(k + 1)[i] * steps[i]) - cov(x0 - np.eye(k + 1)[i] * steps[i])) / (2 * steps[i])
           for i in range(k + 1)]
    out = []
    for j in range(model.p):
        var = result.cov_beta[j, j]
        g = np.array([J[j, j] for J in jac])
        out.append(2 * var * var / (g @ a @ g))
    return np.array(out)


@pytest.fixture(scope="module")
def q3_frame():
    rng = np.random.default_rng(12)
    m, per = 40, 9
    g = np.repeat(np.arange(m), per)
    x1 = rng.uniform(0, 10, m * per)
    x2 = rng.standard_normal(m * per)
    b = rng.standard_normal((m, 3)) * [3.0, 0.5, 0.8]
    y = 5 + 0.3 * x1 - x2 + b[g, 0] + b[g, 1] * x1 + b[g, 2] * x2 + rng.standard_normal(m * per)
    return pd.DataFrame({"y": y, "x1": x1, "x2": x2, "g": [f"s{i}" for i in g]})


@pytest.mark.parametrize("reml", [True, False])
def test_satterthwaite_df_agree_with_finite_differences_for_q3(q3_frame, reml):
    r = corvane.lmm("y ~ x1 + x2 + (x1 + x2 | g)", q3_frame, reml=reml)
    assert r.converged and not r.boundary
    np.testing.assert_allclose(r.ddf.to_numpy(), _dense_satterthwaite(r), rtol=5e-5)


def test_contrast_tests():
    r = fit("ChickWeight", "weight ~ Time + Diet + (Time | Chick)", True)
    table = r.coef_table()
    # One row: F = t^2 with the t test's df.
    one = r.contrast_test([0, 1, 0, 0, 0])
    assert one["NumDF"].iloc[0] == 1
    assert one["F value"].iloc[0] == pytest.approx(table["t value"]["Time"] ** 2, rel=1e-10)
    assert one["DenDF"].iloc[0] == pytest.approx(table["df"]["Time"], rel=1e-10)
    # The three Diet rows: the anova's Diet line; named columns give the same.
    L = np.zeros((3, 5))
    L[:, 2:] = np.eye(3)
    joint = r.contrast_test(L)
    pd.testing.assert_frame_equal(joint.reset_index(drop=True),
                                  r.anova().loc[["Diet"]].reset_index(drop=True), check_dtype=False)
    named = pd.DataFrame(np.eye(3), columns=[n for n in r.fe_names if n.startswith("Diet")])
    pd.testing.assert_frame_equal(r.contrast_test(named), joint)
    # A right-hand side moves the hypothesis: beta itself gives F = 0.
    assert r.contrast_test(L, rhs=r.beta[2:])["F value"].iloc[0] == pytest.approx(0.0, abs=1e-20)
    # Linearly dependent rows count once.
    dup = r.contrast_test(np.vstack([L, L[0] + L[1]]))
    assert dup["NumDF"].iloc[0] == 3
    assert dup["F value"].iloc[0] == pytest.approx(joint["F value"].iloc[0], rel=1e-9)


@pytest.mark.parametrize("L, message", [
    (np.ones((2, 3)), "L must have 5 columns"),
    (pd.Series({"Diet[T.9]": 1.0}), r"contrast columns \['Diet\[T.9\]'\] are not fixed effects"),
    ([np.nan, 0, 0, 0, 0], "L must be finite"),
    (np.zeros(5), "no estimable direction"),
])
def test_contrast_errors(L, message):
    r = fit("ChickWeight", "weight ~ Time + Diet + (Time | Chick)", True)
    with pytest.raises(ValueError, match=message):
        r.contrast_test(L)


with open(os.path.join(DATA, "type3_reference.json")) as f:
    TYPE3 = json.load(f)


@pytest.mark.parametrize("entry", TYPE3, ids=lambda e: e["data"])
def test_type3_with_interactions_matches_lmertest(entry):
    """Terms contained in others (main effects beside their interaction)."""
    r = fit(entry["data"], entry["formula"], True)
    a = r.anova()
    assert a.index.tolist() == entry["terms"]
    np.testing.assert_array_equal(a["NumDF"], entry["numdf"])
    np.testing.assert_allclose(a["F value"], entry["F"], rtol=1e-5)
    np.testing.assert_allclose(a["DenDF"], entry["dendf"], rtol=1e-5)
    np.testing.assert_allclose(a["Pr(>F)"], entry["p"], rtol=1e-4)


def test_type3_with_sum_coding_equals_treatment_coding():
    df = frame("ChickWeight")
    a = corvane.lmm("weight ~ Time * C(Diet, Sum) + (Time | Chick)", df).anova()
    b = fit("ChickWeight", "weight ~ Time * Diet + (Time | Chick)", True).anova()
    np.testing.assert_allclose(a.to_numpy(), b.to_numpy(), rtol=1e-6)


def test_wald_intervals_and_level_names():
    r = fit("sleepstudy", "Reaction ~ Days + (Days | Subject)", True)
    ci = r.confint(level=0.9)
    assert list(ci.columns) == ["5 %", "95 %"]
    z = stats.norm.ppf(0.95)
    np.testing.assert_allclose(ci.loc["Days"], [r.beta[1] - z * r.std_errors[1], r.beta[1] + z * r.std_errors[1]])
    assert ci.loc["sigma"].isna().all() and ci.loc["sd(Days | Subject)"].isna().all()
    with pytest.raises(ValueError, match="level must be a number between 0 and 1"):
        r.confint(level=95)
    with pytest.raises(ValueError, match="method must be"):
        r.confint(method="exact")


def test_summary_shows_satterthwaite_or_the_normal_approximation():
    r = fit("Orthodont", "distance ~ age + Sex + (age | Subject)", True)
    text = str(r.summary())
    assert "Pr(>|t|)" in text and " df " in text
    assert "Pr(>|z|)" in str(r.summary(ddf="normal"))
    with pytest.raises(ValueError, match="ddf must be"):
        r.summary(ddf="kr")


# ---- simulation and the bootstrap -----------------------------------------------------

def test_bootstrap_replicates_are_direct_refits_and_thread_independent():
    r = fit("sleepstudy", "Reaction ~ Days + (Days | Subject)", True)
    before = corvane.get_num_threads()
    try:
        corvane.set_num_threads(1)
        one = r.bootstrap(n=40, seed=3, progress=False).replicates
        corvane.set_num_threads(2)
        two = r.bootstrap(n=40, seed=3, progress=False).replicates
    finally:
        corvane.set_num_threads(before)
    pd.testing.assert_frame_equal(one, two, check_exact=True)
    # The responses are simulate()'s with the same seed; refitting one of them
    # through the model gives that replicate.
    y = r.simulate(n=40, seed=3)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        direct = r.model.refit(y[7])
    row = one.iloc[7]
    np.testing.assert_allclose(row[r.fe_names].to_numpy(dtype=float), direct.beta, rtol=1e-9)
    assert row["sigma"] == pytest.approx(direct.sigma, rel=1e-9)
    assert row["sd(Days | Subject)"] == pytest.approx(direct.re_std[1], rel=1e-7)
    assert row["criterion"] == pytest.approx(direct.criterion, rel=1e-11)
    assert one["converged"].all()


def test_bootstrap_intervals():
    r = fit("sleepstudy", "Reaction ~ Days + (Days | Subject)", True)
    boot = r.bootstrap(n=400, seed=1, progress=False)
    pct = boot.confint()
    np.testing.assert_allclose(pct.loc["Days"], np.quantile(boot.replicates["Days"], [0.025, 0.975]))
    short = boot.confint(kind="shortest")
    width = lambda t: (t.iloc[:, 1] - t.iloc[:, 0]).to_numpy()
    assert np.all(width(short) <= width(pct) + 1e-12)
    assert (short.iloc[:, 0] <= r.beta[1]).iloc[-1] and (short.iloc[:, 1] >= r.beta[1]).iloc[-1]
    # The fixed effects' percentile intervals are near the Wald ones.
    wald = r.confint()
    np.testing.assert_allclose(pct.loc["Days"], wald.loc["Days"], rtol=0.05)
    assert r.confint(method="bootstrap", n=400, seed=1, progress=False).equals(pct)
    with pytest.raises(ValueError, match="kind must be"):
        boot.confint(kind="bca")


def test_simulate():
    r = fit("Machines", "score ~ Machine + (1 | Worker)", True)
    a = r.simulate(n=2000, seed=9)
    assert a.shape == (2000, r.n_obs)
    np.testing.assert_array_equal(a, r.simulate(n=2000, seed=9))
    # Means are X beta; the variance of a row is sigma^2 + the group variance.
    mu = r.model.X @ r.beta
    assert np.max(np.abs(a.mean(0) - mu)) < 5 * math.sqrt(r.sigma2 + r.cov_re[0, 0]) / math.sqrt(2000)
    assert a[:, 0].var() == pytest.approx(r.sigma2 + r.cov_re[0, 0], rel=0.1)
    for bad in (0, -1, 2.5, True):
        with pytest.raises(ValueError, match="n must be a positive integer"):
            r.simulate(n=bad)
