"""The stored mmrm references (tests/r/mmrm_reference.R) against a dense
computation in Python: at mmrm's polished optimum, each structure's
covariance from its theta and the REML / ML log-likelihood with beta by
generalised least squares, subject by subject, equal mmrm's. This pins the
parametrisation of every structure (grouped, weighted and spatial ones
included) that the models are compared in."""

import json
import os

import numpy as np
import pandas as pd
import pytest

from mmrm_dense import covariance, loglik, spatial_exponential

pytestmark = [pytest.mark.reference]

HERE = os.path.dirname(__file__)
with open(os.path.join(HERE, "data", "mmrm_reference.json")) as fh:
    REFERENCE = json.load(fh)
FITS = REFERENCE["fits"]


def _frame(name):
    info = REFERENCE["data"][name]
    return pd.read_csv(os.path.join(HERE, "..", info["file"])), info["factor_levels"]


def _design(df, names, levels):
    """X by R's column names: (Intercept), a numeric column, column+level
    indicators, and their products joined by ':'."""
    factors = sorted(levels, key=len, reverse=True)

    def column(part):
        if part == "(Intercept)":
            return np.ones(len(df))
        if part in df:
            return df[part].to_numpy(dtype=float)
        for f in factors:
            if part.startswith(f) and part[len(f):] in levels[f]:
                return (df[f].astype(str) == part[len(f):]).to_numpy(dtype=float)
        raise KeyError(part)

    return np.column_stack([np.prod([column(p) for p in name.split(":")], axis=0) for name in names])


@pytest.mark.parametrize("name", list(FITS))
def test_dense_loglik_at_mmrm_optimum(name):
    fit = FITS[name]
    df, levels = _frame(fit["data"])
    response = fit["formula"].split("~")[0].strip()
    used = [c for c in df.columns if c in fit["fixed"] or c in (fit["visit"], fit["subject"])]
    df = df.dropna(subset=[response] + [c for c in used if c != response]).reset_index(drop=True)
    assert len(df) == fit["n_obs"]
    X = _design(df, fit["beta_names"], levels)
    theta = np.asarray(fit["theta"], dtype=float)
    subjects = df[fit["subject"]].to_numpy()
    covs = {}
    for s, rows in df.groupby(fit["subject"], sort=False).groups.items():
        sub = df.loc[rows]
        if fit["cov_type"] == "sp_exp":
            cov = spatial_exponential(theta, sub[fit["visit"]].to_numpy(dtype=float))
        else:
            T = len(fit["visit_levels"])
            k = [fit["visit_levels"].index(v) for v in sub[fit["visit"]].astype(str)]
            if fit["group"]:
                g = fit["group_levels"].index(str(sub[fit["group"]].iloc[0]))
                part = theta[g * fit["n_theta"] // len(fit["group_levels"]):
                             (g + 1) * fit["n_theta"] // len(fit["group_levels"])]
            else:
                part = theta
            full = covariance(fit["cov_type"], part, T)
            cov = full[np.ix_(k, k)]
        if fit["weights"]:
            w = 1.0 / np.sqrt(sub[fit["weights"]].to_numpy(dtype=float))
            cov = cov * np.outer(w, w)
        covs[s] = cov
    ll, beta, _ = loglik(df[response].to_numpy(dtype=float), X, subjects, covs, reml=fit["reml"])
    assert ll == pytest.approx(fit["logLik"], abs=1e-8)
    np.testing.assert_allclose(beta, fit["beta"], rtol=1e-9, atol=1e-9)
    if fit["cov_type"] != "sp_exp":
        stored = fit["covariance_by_group"] if fit["group"] else {None: fit["covariance"]}
        for g, mat in stored.items():
            i = 0 if g is None else fit["group_levels"].index(g)
            n = fit["n_theta"] // (len(fit["group_levels"]) if fit["group"] else 1)
            ours = covariance(fit["cov_type"], theta[i * n:(i + 1) * n], len(fit["visit_levels"]))
            np.testing.assert_allclose(ours, mat, rtol=1e-10, atol=1e-12)


# ---- corvane.mmrm against the stored fits ----------------------------------------------

def _categorical(df, levels, subject):
    """The table with R's factor levels (reference levels included)."""
    df = df.copy()
    for f, lv in levels.items():
        if f in df and f != subject:
            df[f] = pd.Categorical(df[f].astype(str), categories=lv)
    return df


@pytest.fixture(scope="module")
def fitted():
    import corvane

    out = {}
    for name, fit in FITS.items():
        df, levels = _frame(fit["data"])
        df = _categorical(df, levels, fit["subject"])
        out[name] = corvane.mmrm(fit["formula"], df, reml=fit["reml"],
                                 **({"weights": fit["weights"]} if fit["weights"] else {}))
    return out


@pytest.mark.parametrize("name", list(FITS))
def test_fit_equals_mmrm(fitted, name):
    """logLik, beta, theta, standard errors, Satterthwaite's df, the
    information criteria and the covariance estimate, at tolerances well
    inside those the polished references support."""
    fit, r = FITS[name], fitted[name]
    ref = fit["inference"]["Satterthwaite/Asymptotic"]["coefficients"]
    assert r.converged and r.status == "interior"
    assert r.loglik == pytest.approx(fit["logLik"], abs=1e-7)
    np.testing.assert_allclose(r.beta, fit["beta"], rtol=1e-7, atol=1e-9)
    np.testing.assert_allclose(r.theta, fit["theta"], rtol=1e-6, atol=1e-8)
    ct = r.coef_table()
    assert len(ct) == len(fit["beta_names"])
    np.testing.assert_allclose(ct["Std. Error"], ref["se"], rtol=1e-7)
    np.testing.assert_allclose(ct["df"], ref["df"], rtol=1e-6)
    np.testing.assert_allclose(ct["Pr(>|t|)"], ref["p"], rtol=1e-5, atol=1e-300)
    np.testing.assert_allclose(r.theta_vcov, fit["theta_vcov"], rtol=1e-5, atol=1e-10)
    for ours, theirs in ((r.aic, fit["AIC"]), (r.bic, fit["BIC"]), (r.aicc, fit["AICc"])):
        assert ours == pytest.approx(theirs, abs=1e-6)
    if fit["cov_type"] != "sp_exp":
        stored = fit["covariance_by_group"] or {None: fit["covariance"]}
        ours = r.cov_resid if fit["group"] else {None: r.cov_resid}
        for g, mat in stored.items():
            np.testing.assert_allclose(ours[g].to_numpy(), mat, rtol=1e-6, atol=1e-9)


TYPE3 = [(n, k) for n, fit in FITS.items() for k in fit["inference"]
         if "type3" in fit["inference"][k] and k.split("/")[0] in ("Satterthwaite", "Kenward-Roger")]


@pytest.mark.parametrize("name,key", TYPE3, ids=[f"{n}-{k}" for n, k in TYPE3])
def test_type3_table_equals_mmrm(name, key):
    """anova(): each term's type III F test, its hypothesis in mmrm's basis
    (sum-to-zero coding mapped to the fitted one), so that even a multi-df
    term's Satterthwaite (or Kenward-Roger) denominator df is mmrm's."""
    import corvane

    fit = FITS[name]
    df, levels = _frame(fit["data"])
    method, vcov = (part.lower() for part in key.split("/"))
    r = corvane.mmrm(fit["formula"], _categorical(df, levels, fit["subject"]), reml=fit["reml"], method=method,
                     vcov=vcov, **({"weights": fit["weights"]} if fit["weights"] else {}))
    t3 = fit["inference"][key]["type3"]
    a = r.anova()
    assert list(a.index) == t3["terms"] and list(a["NumDF"]) == t3["num_df"]
    np.testing.assert_allclose(a["F value"], t3["F"], rtol=1e-7)
    np.testing.assert_allclose(a["DenDF"], t3["den_df"], rtol=1e-7)
    np.testing.assert_allclose(a["Pr(>F)"], t3["p"], rtol=1e-5, atol=1e-300)


INFERENCE = [(name, key) for name, fit in FITS.items() for key in fit["inference"]]


@pytest.mark.parametrize("name,key", INFERENCE, ids=[f"{n}-{k}" for n, k in INFERENCE])
def test_every_df_method_and_covariance_equals_mmrm(fitted, name, key):
    """Each of mmrm's (method, vcov) pairs the reference stores: the
    covariance of beta (asymptotic, Kenward-Roger and its linear form, the
    three empirical ones) and each coefficient's standard error and df
    (Satterthwaite's asymptotic and empirical forms, Kenward-Roger's,
    residual, between-within)."""
    fit, r = FITS[name], fitted[name]
    inf = fit["inference"][key]
    method, vcov = (part.lower() for part in key.split("/"))
    ct = r.coef_table(method, vcov)
    ref = inf["coefficients"]
    np.testing.assert_allclose(ct["Std. Error"], ref["se"], rtol=1e-7)
    np.testing.assert_allclose(ct["df"], np.asarray(ref["df"], dtype=float), rtol=1e-6)
    np.testing.assert_allclose(ct["Pr(>|t|)"], ref["p"], rtol=1e-5, atol=1e-300)
    if "beta_vcov" in inf:
        cov = np.asarray(inf["beta_vcov"])
        np.testing.assert_allclose(r._test_method(method, vcov).cov_beta, cov, rtol=1e-6,
                                   atol=1e-9 * np.abs(cov).max())


EMMEANS = [(n, k) for n, fit in FITS.items() for k in fit["inference"]
           if "emmeans" in fit["inference"][k] and (k == "Satterthwaite/Asymptotic" or n in ("fev_us", "bcva_ar1"))]


@pytest.mark.parametrize("name,key", EMMEANS, ids=[f"{n}-{k}" for n, k in EMMEANS])
def test_marginal_means_and_pairs_equal_emmeans_on_mmrm(name, key):
    """emmeans(fit, ~ ARMCD | AVISIT) and its pairs on an mmrm fit: equal
    weights over the other factors, covariates at their means, the fit's
    df method and covariance."""
    import corvane

    fit = FITS[name]
    df, levels = _frame(fit["data"])
    method, vcov = (part.lower() for part in key.split("/"))
    r = corvane.mmrm(fit["formula"], _categorical(df, levels, fit["subject"]), reml=fit["reml"], method=method,
                     vcov=vcov, **({"weights": fit["weights"]} if fit["weights"] else {}))
    ref, pairs = fit["inference"][key]["emmeans"], fit["inference"][key]["pairs"]
    em = r.emmeans("~ ARMCD | AVISIT")
    assert list(em["ARMCD"].astype(str)) == ref["ARMCD"] and list(em["AVISIT"].astype(str)) == ref["AVISIT"]
    np.testing.assert_allclose(em["emmean"], ref["estimate"], rtol=1e-8, atol=1e-9)
    np.testing.assert_allclose(em["SE"], ref["se"], rtol=1e-7)
    np.testing.assert_allclose(em["df"], np.asarray(ref["df"], dtype=float), rtol=1e-6)
    np.testing.assert_allclose(em["lower.CL"], ref["lower"], rtol=1e-7, atol=1e-8)
    pw = r.pairwise("~ ARMCD | AVISIT")
    np.testing.assert_allclose(pw["estimate"], pairs["estimate"], rtol=1e-8, atol=1e-9)
    np.testing.assert_allclose(pw["SE"], pairs["se"], rtol=1e-7)
    np.testing.assert_allclose(pw["p.value"], pairs["p"], rtol=1e-5, atol=1e-300)


@pytest.mark.parametrize("name", list(FITS))
def test_residuals_and_conditional_predictions_equal_mmrm(fitted, name):
    """Residuals (response, pearson, normalized) on the stored rows; for the
    fits with stored predictions, the conditional predictions with their
    confidence intervals, the plug-in prediction variance and x'beta with
    its standard error. mmrm predicts a weighted fit with unit weights (the
    new rows' weights are not read), so the weighted fit's new rows carry
    weight 1 here."""
    fit, r = FITS[name], fitted[name]
    res = fit["residuals"]
    rows = np.asarray(res["rows"]) - 1
    for kind in ("response", "pearson", "normalized"):
        if res[kind] is not None:
            np.testing.assert_allclose(r.residuals(kind).loc[rows], res[kind], rtol=1e-7, atol=1e-8)
    if "predictions" not in fit:
        return
    p = fit["predictions"]
    df, levels = _frame(fit["data"])
    new = _categorical(pd.DataFrame(p["newdata"]), levels, fit["subject"])
    if fit["weights"]:
        new[fit["weights"]] = 1.0
    cond = r.predict(new, interval="confidence")
    for col in ("fit", "se", "lower", "upper"):
        np.testing.assert_allclose(cond[col], p["conditional"][col], rtol=1e-7, atol=1e-7)
    pred = r.predict(new, interval="prediction")
    np.testing.assert_allclose(pred["se"] ** 2, p["plugin_prediction_variance"], rtol=1e-7, atol=1e-7)
    plain = r.predict(new, conditional=False, se=True)
    np.testing.assert_allclose(plain["fit"], p["unconditional"]["fit"], rtol=1e-8)
    np.testing.assert_allclose(plain["se"], p["unconditional"]["se"], rtol=1e-7)
    if fit["weights"]:
        # Weights w divide the rows' covariance by w: the conditional mean
        # does not change with a common weight, the conditional variance
        # of the missing visits halves with w = 2.
        new[fit["weights"]] = 2.0
        twice = r.predict(new, interval="prediction")
        np.testing.assert_allclose(twice["fit"], pred["fit"], rtol=1e-10)
        np.testing.assert_allclose(twice["se"] ** 2 - cond["se"] ** 2, 0.5 * (pred["se"] ** 2 - cond["se"] ** 2),
                                   rtol=1e-8, atol=1e-9)


def test_cs_equals_lme4_random_intercept_and_us_equals_nlme_gls(fitted):
    """Two other peers: lme4's (1 | USUBJID) model is compound symmetry
    with a non-negative correlation (its variances give cs's), and nlme's
    gls with corSymm + varIdent is the unstructured model; both fits are
    also corvane's own linear model's and the stored peers' numbers."""
    import corvane

    ref = REFERENCE["lme4_cs"]
    cs = fitted["fev_cs"]
    assert cs.loglik == pytest.approx(ref["logLik"], abs=1e-7)
    np.testing.assert_allclose(cs.beta, ref["beta"], rtol=1e-7)
    sigma = cs.cov_resid.to_numpy()
    assert sigma[0, 0] == pytest.approx(ref["implied_cs_variance"], rel=1e-7)
    assert sigma[0, 1] / sigma[0, 0] == pytest.approx(ref["implied_cs_correlation"], rel=1e-6)
    df, levels = _frame("fev")
    lmm = corvane.lmm("FEV1 ~ RACE + SEX + ARMCD * AVISIT + (1 | USUBJID)", _categorical(df, levels, "USUBJID"))
    assert lmm.loglik == pytest.approx(cs.loglik, abs=1e-7)
    np.testing.assert_allclose(lmm.beta, cs.beta, rtol=1e-7)
    gls = REFERENCE["nlme_gls_us"]
    us = fitted["fev_us"]
    assert us.loglik == pytest.approx(gls["logLik"], abs=1e-7)
    np.testing.assert_allclose(us.beta, gls["beta"], rtol=1e-5)
    np.testing.assert_allclose(us.cov_resid.to_numpy(), gls["covariance"], rtol=1e-5)
