"""A generalized fit's inference against glmmTMB, glmer, emmeans, car and
performance (tests/r/glmm_inference.R writes tests/data/glmm_inference.json):
lme4's cbpp and grouseticks, mlmRev's Contraception (with and without an
interaction), MASS's epil. The peers' standard errors come from
finite-difference Hessians (glmmTMB's within about 6e-6 of the exact ones,
glmer's within 1e-4) and their optima stop up to 1e-5 short (glmer's
grouseticks logLik 6e-6 low), which sets the tolerances against them; the
R script's Newton-polished optimum of glmmTMB's objective, with a
Richardson Hessian, is the tight truth for the fit itself."""

import json
import os

import numpy as np
import pandas as pd
import pytest

import corvane

pytestmark = [pytest.mark.reference]

HERE = os.path.dirname(__file__)
with open(os.path.join(HERE, "data", "glmm_inference.json")) as fh:
    REFERENCE = {m["id"]: m for m in json.load(fh)["models"]}

# (data file, corvane formula, family) of each model
MODELS = {
    "cbpp": ("cbpp", "cbind(incidence, f) ~ period + (1 | herd)", "binomial"),
    "grouseticks": ("glmm_inference_grouseticks", "TICKS ~ YEAR + cHEIGHT + (1 | BROOD)", "poisson"),
    "contraception": ("Contraception", "use ~ urban + age + livch + (1 | district)", "binomial"),
    "epil": ("glmm_heldout_epil", "y ~ trt + lbase + lage + (1 | subject)", "poisson"),
    "contraception_interaction": ("Contraception", "use ~ urban * livch + age + (1 | district)", "binomial"),
}
SE_RTOL = 3e-5  # glmmTMB's Hessian by differences of its gradient, at its optimum
EST = dict(rtol=3e-5, atol=3e-5)  # quantities at glmmTMB's optimum, up to 1e-5 short in beta


def frame(name):
    df = pd.read_csv(os.path.join(HERE, "data", f"{name}.csv"))
    for col in ("period", "YEAR", "livch", "urban", "trt"):
        if col in df:
            df[col] = df[col].astype(str)
    if name == "cbpp":
        df["f"] = df["size"] - df["incidence"]
    return df


@pytest.fixture(scope="module", params=list(MODELS))
def case(request):
    data, formula, family = MODELS[request.param]
    return corvane.glmm(formula, frame(data), family=family), REFERENCE[request.param]


def _close(ours, ref, rtol, atol=0.0):
    ref = np.array([np.inf if v is None else v for v in ref], dtype=float)
    np.testing.assert_allclose(np.asarray(ours, dtype=float), ref, rtol=rtol, atol=atol)


def test_marginal_means_and_pairs(case):
    r, ref = case
    for query in ref["emmeans"]:
        if query["weights"] != "equal":
            continue
        tmb = query["glmmTMB"]
        specs = query["specs"] if query["by"] is None else f"~ {' + '.join(query['specs'])} | {query['by']}"
        for scale, label in (("link", "emmean"), ("response", r.family.response_label)):
            ours = r.emmeans(specs, at=query["at"], type=scale)
            want = tmb[scale]
            for v in query["specs"] + ([query["by"]] if query["by"] else []):
                assert ours[v].astype(str).tolist() == want[v], (query, v)
            _close(ours[label], want[label], **EST)
            _close(ours["SE"], want["SE"], SE_RTOL)
            _close(ours["asymp.LCL"], want["asymp.LCL"], **EST)
        for scale, key in (("link", "pairs_link"), ("response", "pairs_response")):
            for adjust in ("tukey", "none"):
                ours = r.pairwise(specs, at=query["at"], type=scale, adjust=adjust)
                want = tmb[key][adjust]
                assert ours["contrast"].tolist() == want["contrast"]
                est = "estimate" if scale == "link" else r.family.ratio_label
                _close(ours[est], want[est], **EST)
                _close(ours["SE"], want["SE"], SE_RTOL)
                _close(ours["z.ratio"], want["z.ratio"], **EST)
                _close(ours["p.value"], want["p.value"], 1e-3, 1e-6)


def test_type3_wald_tests_are_car_under_sum_contrasts(case):
    r, ref = case
    want = ref["anova"]["glmmTMB"]["contr_sum"]["type3"]
    ours = r.anova()
    terms = [t for t in want["term"] if t != "(Intercept)"]
    assert ours.index.tolist() == terms
    rows = [want["term"].index(t) for t in terms]
    _close(ours["Chisq"], [want["Chisq"][k] for k in rows], 1e-4)
    np.testing.assert_array_equal(ours["Df"], [want["Df"][k] for k in rows])


def test_fit_is_the_polished_optimum(case):
    r, ref = case
    truth = ref["fits"]["laplace_newton"]
    np.testing.assert_allclose(r.beta, truth["fixef"], rtol=0, atol=1e-7)
    np.testing.assert_allclose(r.std_errors, truth["se"], rtol=5e-8)
    assert r.llf == pytest.approx(truth["logLik"], abs=1e-8)


def test_drop1_likelihood_ratios(case):
    r, ref = case
    want = ref["drop1"]["glmmTMB"]
    ours = r.drop1()
    assert ours.index.tolist() == want["term"]
    _close(ours["LRT"].iloc[1:], want["LRT"][1:], 1e-6, 1e-5)
    _close(ours["AIC"], want["AIC"], 1e-8)
    np.testing.assert_array_equal(ours["npar"].iloc[1:], want["Df"][1:])


def test_population_predictions_with_errors(case):
    r, ref = case
    new = pd.DataFrame(ref["predict"]["newdata"])
    for col in new:
        if new[col].dtype == object:
            new[col] = new[col].astype(str)
    want = ref["predict"]["glmmTMB"]
    for scale in ("link", "response"):
        ours = r.predict(new, include_random=False, type=scale, interval="confidence")
        _close(ours["fit"], want[f"{scale}_fit"], **EST)
        _close(ours["se"], want[f"{scale}_se"], SE_RTOL)
        _close(ours["lower"], want[f"{scale}_lower"], **EST)


def test_nakagawa_r2(case):
    r, ref = case
    want = ref["r2"]["glmmTMB"]
    ours = r.r2()
    assert ours["marginal"] == pytest.approx(want["R2_marginal"], rel=1e-4)
    assert ours["conditional"] == pytest.approx(want["R2_conditional"], rel=1e-4)
