"""ranova, drop1, r2 and coef against lmerTest, lme4 and performance
(tests/data/reduction_reference.json, made by tests/r/reduction_reference.R),
and against closed forms and the package's own tests of the same models."""

import json
import math
import os
import warnings

import numpy as np
import pandas as pd
import pytest

import corvane
from corvane._errors import RankDeficiencyWarning, SingularFitWarning
from corvane._example import example_frame

pytestmark = [pytest.mark.reference]

DATA = os.path.join(os.path.dirname(__file__), "data")
REF = json.load(open(os.path.join(DATA, "reduction_reference.json")))["cases"]

# R's optimum is accurate to about 1e-7 in theta: statistics agree to 1e-6
# relative (with an absolute floor for values near 0), p values to 1e-4.
RTOL, PTOL = 1e-6, 1e-4
P_COLUMNS = {"Pr(>Chisq)", "Pr(>F)", "Pr(Chi)"}


def _frame(d):
    return pd.DataFrame({c: np.array([np.nan if v is None else v for v in vals], dtype=float)
                         for c, vals in zip(d["columns"], d["values"])}, index=d["index"])


def _fit(case):
    c = REF[case]
    df = pd.read_csv(os.path.join(DATA, c["data"]))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", SingularFitWarning)
        warnings.simplefilter("ignore", RankDeficiencyWarning)
        return corvane.lmm(c["formula"], df, reml=c["reml"])


def _close(got, expected, key):
    assert list(got.index) == list(expected.index)
    assert list(got.columns) == list(expected.columns)
    for col in expected.columns:
        a, b = got[col].to_numpy(dtype=float), expected[col].to_numpy(dtype=float)
        np.testing.assert_array_equal(np.isnan(a), np.isnan(b), err_msg=f"{key} {col}")
        m = ~np.isnan(b)
        tol = PTOL if col in P_COLUMNS else RTOL
        # LRTs of a singular fit are 0 to rounding (R's are 1e-13).
        floor = 1e-8 if col == "LRT" else 0.0
        np.testing.assert_allclose(a[m], b[m], rtol=tol, atol=floor, err_msg=f"{key} {col}")


CASES = sorted(REF)


@pytest.mark.parametrize("case", CASES)
def test_ranova_matches_lmertest(case):
    r = _fit(case)
    assert r.n_obs == REF[case]["n_obs"]
    assert r.loglik == pytest.approx(REF[case]["loglik"], rel=1e-9)
    _close(r.ranova(), _frame(REF[case]["ranova"]), f"{case} ranova")


@pytest.mark.parametrize("case", [c for c in CASES if "drop1_f" in REF[c]])
def test_drop1_f_matches_lmertest(case):
    _close(_fit(case).drop1(), _frame(REF[case]["drop1_f"]), f"{case} drop1")


@pytest.mark.parametrize("case", [c for c in CASES if "drop1_chisq" in REF[c]])
def test_drop1_chisq_matches_lme4(case):
    _close(_fit(case).drop1(test="Chisq"), _frame(REF[case]["drop1_chisq"]), f"{case} drop1 Chisq")


@pytest.mark.parametrize("case", CASES)
def test_coef_matches_lme4(case):
    r = _fit(case)
    expected = _frame(REF[case]["coef"])
    got = r.coef()
    got.index = got.index.astype(str)
    assert list(got.index) == list(expected.index)
    assert got.shape == expected.shape
    # formulaic's column names (f[T.b]) for R's (fb), in the same order.
    for j in range(expected.shape[1]):
        a, b = got.iloc[:, j].to_numpy(), expected.iloc[:, j].to_numpy()
        np.testing.assert_allclose(a, b, rtol=RTOL, atol=RTOL * np.max(np.abs(b)))


@pytest.mark.parametrize("case", CASES)
def test_r2_matches_performance(case):
    r = _fit(case)
    expected = REF[case]["r2"]
    singular = expected["conditional"] is None
    if singular:
        with pytest.warns(SingularFitWarning, match="conditional R² is NaN"):
            got = r.r2()
        assert math.isnan(got["conditional"])
    else:
        got = r.r2()
        assert got["conditional"] == pytest.approx(expected["conditional"], rel=RTOL)
    assert list(got.index) == ["marginal", "conditional"]
    assert got["marginal"] == pytest.approx(expected["marginal"], rel=RTOL)


# ---- closed forms and the package's own tests ---------------------------------------------

@pytest.fixture(scope="module")
def slopes():
    return pd.read_csv(os.path.join(DATA, "reduction_slopes.csv"))


def test_ranova_rows_are_refits_of_the_reduced_formulas(slopes):
    """Each row is the fit of the reduced formula on the same rows."""
    r = corvane.lmm("y ~ f * x + z + (1 + x + z | g)", slopes)
    table = r.ranova()
    rows = slopes.dropna()
    for name, formula in (("x in (1 + x + z | g)", "y ~ f * x + z + (1 + z | g)"),
                          ("z in (1 + x + z | g)", "y ~ f * x + z + (1 + x | g)")):
        reduced = corvane.lmm(formula, rows)
        assert table.loc[name, "logLik"] == pytest.approx(reduced.loglik, rel=1e-10)
        assert table.loc[name, "npar"] == reduced.n_params
        lrt = corvane.anova(reduced, r, refit=False)["Chisq"].iloc[1]
        assert table.loc[name, "LRT"] == pytest.approx(lrt, rel=1e-8)


@pytest.mark.parametrize("reml", [True, False])
def test_ranova_linear_model_loglik(reml):
    """(1 | g) removed: the linear model's (REML) log-likelihood in closed
    form, which is also the mixed model's criterion at theta = 0."""
    df = example_frame()
    r = corvane.lmm("Reaction ~ Days + (1 | Subject)", df, reml=reml)
    row = r.ranova().loc["(1 | Subject)"]
    X = np.column_stack([np.ones(len(df)), df["Days"]])
    y = df["Reaction"].to_numpy()
    n, p = X.shape
    rss = float(np.sum((y - X @ np.linalg.lstsq(X, y, rcond=None)[0]) ** 2))
    if reml:
        ll = -0.5 * ((n - p) * (math.log(2 * math.pi * rss / (n - p)) + 1) + np.linalg.slogdet(X.T @ X)[1])
    else:
        ll = -0.5 * n * (math.log(2 * math.pi * rss / n) + 1)
    assert row["logLik"] == pytest.approx(ll, rel=1e-12)
    assert row["logLik"] == pytest.approx(r.model.evaluate([0.0]).loglik, rel=1e-10)
    assert row["npar"] == 3 and row["Df"] == 1


def test_ranova_weights_enter_the_linear_model():
    """With precision weights the linear model's log-likelihood is that of
    the weighted least squares, its log weights included (R's logLik.lm)."""
    df = example_frame()
    w = 0.5 + (np.arange(len(df)) % 4)
    r = corvane.lmm("Reaction ~ Days + (1 | Subject)", df, weights=w, reml=False)
    ll = r.ranova().loc["(1 | Subject)", "logLik"]
    assert ll == pytest.approx(r.model.evaluate([0.0]).loglik, rel=1e-10)


def test_ranova_of_a_model_given_as_arrays():
    """Arrays name the random term by their columns; the numbers are those
    of the formula's model."""
    from corvane._example import example_arrays

    a = example_arrays()
    model = corvane.LinearMixedModel(a["y"], a["X"], a["Z"], a["groups"], z_names=["(Intercept)", "Days"])
    table = model.fit().ranova()
    assert table.index.tolist() == ["<none>", "Days in (1 + Days | group)"]
    df = example_frame()
    by_formula = corvane.lmm("Reaction ~ Days + (Days | Subject)", df).ranova()
    np.testing.assert_allclose(table["LRT"].iloc[1], by_formula["LRT"].iloc[1], rtol=1e-8)


def test_drop1_f_single_column_is_the_t_test(slopes):
    """A one-column term's F is the square of its t statistic, with its df."""
    r = corvane.lmm("y ~ f * x + z + (1 + x + z | g)", slopes)
    row = r.drop1().loc["z"]
    j = r.fe_names.index("z")
    assert row["F value"] == pytest.approx(r.t_values[j] ** 2, rel=1e-10)
    assert row["DenDF"] == pytest.approx(r.ddf["z"], rel=1e-10)
    assert row["Pr(>F)"] == pytest.approx(r.p_values[j], rel=1e-8)


def test_drop1_f_equals_anova_for_marginal_terms(slopes):
    r = corvane.lmm("y ~ f * x + z + (1 + x + z | g)", slopes)
    d, a = r.drop1(), r.anova()
    assert d.index.tolist() == ["z", "f:x"]  # f and x are margins of f:x
    pd.testing.assert_frame_equal(d, a.loc[d.index], rtol=1e-10)


def test_drop1_normal_ddf(slopes):
    r = corvane.lmm("y ~ f * x + z + (1 + x + z | g)", slopes)
    d = r.drop1(ddf="normal")
    assert np.isinf(d["DenDF"]).all()
    from scipy import stats

    np.testing.assert_allclose(d["Pr(>F)"], stats.chi2.sf(d["F value"] * d["NumDF"], d["NumDF"]), rtol=1e-12)


def test_drop1_rank_deficient_design():
    """An aliased column: the hypothesis is the difference between the
    design and the design without the term (lmerTest's), which for a term
    whose columns are all kept is the term's own test."""
    df = example_frame().copy()
    df["Days2"] = 2.0 * df["Days"]  # aliased with Days
    df["w"] = np.sin(np.arange(len(df)))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        r = corvane.lmm("Reaction ~ Days + Days2 + w + (1 | Subject)", df)
        full = corvane.lmm("Reaction ~ Days + w + (1 | Subject)", df)
    d = r.drop1()
    assert d.loc["Days2", "NumDF"] == 0 or np.isnan(d.loc["Days2", "F value"])
    assert d.loc["w", "F value"] == pytest.approx(full.drop1().loc["w", "F value"], rel=1e-8)
    assert d.loc["w", "DenDF"] == pytest.approx(full.drop1().loc["w", "DenDF"], rel=1e-8)


def test_drop1_chisq_is_the_likelihood_ratio_of_ml_fits(slopes):
    r = corvane.lmm("y ~ f * x + z + (1 + x + z | g)", slopes)
    table = r.drop1(test="Chisq")
    reduced = corvane.lmm("y ~ f + x + z + (1 + x + z | g)", slopes.dropna())
    lr = corvane.anova(reduced, r)  # refitted by ML
    assert table.loc["f:x", "LRT"] == pytest.approx(lr["Chisq"].iloc[1], rel=1e-8)
    assert table.loc["f:x", "npar"] == 2


@pytest.mark.parametrize("call, message", [
    (lambda r: r.drop1(test="LRT"), "test must be 'F' or 'Chisq', got 'LRT'"),
    (lambda r: r.drop1(ddf="kr"), "ddf must be one of"),
    (lambda r: r.r2(tolerance=-1), "tolerance must be a non-negative number, got -1"),
])
def test_argument_errors(call, message):
    r = corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame())
    with pytest.raises(ValueError, match=message):
        call(r)


def test_coef_refuses_unmatched_random_effects(slopes):
    r = corvane.lmm("y ~ z + (1 + x | g)", slopes)
    with pytest.raises(ValueError, match=r"random effects \['x'\] have no fixed effect"):
        r.coef()


def test_coef_is_beta_plus_modes():
    r = corvane.lmm("Reaction ~ Days + (1 | Subject)", example_frame())
    c = r.coef()
    b = r.ranef()
    np.testing.assert_allclose(c["(Intercept)"], r.params["(Intercept)"] + b["(Intercept)"], rtol=1e-14)
    np.testing.assert_array_equal(c["Days"], np.full(len(c), r.params["Days"]))
    assert c.index.name == "Subject"


def test_coef_of_a_generalized_model():
    df = pd.read_csv(os.path.join(DATA, "cbpp.csv"))
    df["y"] = df["incidence"] / df["size"]
    r = corvane.glmm("y ~ C(period) + (1 | herd)", df, weights="size")
    c = r.coef()
    b = r.ranef()
    np.testing.assert_allclose(c["(Intercept)"], r.params["(Intercept)"] + b["(Intercept)"], rtol=1e-14)
    assert c.shape == (len(r.group_labels), len(r.fe_names))


def test_r2_closed_form_random_intercept():
    """(1 | g): sigma_r^2 is the intercept variance itself."""
    r = corvane.lmm("Reaction ~ Days + (1 | Subject)", example_frame())
    X = np.column_stack([np.ones(r.n_obs), example_frame()["Days"]])
    vf = np.var(X @ r.beta, ddof=1)
    vr = r.re_variances[0]
    tot = vf + vr + r.sigma2
    np.testing.assert_allclose(r.r2().to_numpy(), [vf / tot, (vf + vr) / tot], rtol=1e-12)


def test_r2_leaves_out_slopes_without_fixed_effect(slopes):
    """insight's rule: a random slope of no fixed effect is not counted."""
    r = corvane.lmm("y ~ z + (1 + x | g)", slopes)
    vf = np.var(r.model.X @ r.beta, ddof=1)
    vr = r.re_variances[0]
    tot = vf + vr + r.sigma2
    assert r.r2()["conditional"] == pytest.approx((vf + vr) / tot, rel=1e-12)


# ---- data read in batches -------------------------------------------------------------------

@pytest.fixture(scope="module")
def batched(tmp_path_factory, slopes):
    pytest.importorskip("pyarrow")
    path = tmp_path_factory.mktemp("reduction") / "slopes.parquet"
    slopes.to_parquet(path)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return (corvane.lmm("y ~ f * x + z + (1 + x + z | g)", str(path), progress=False),
                corvane.lmm("y ~ f * x + z + (1 + x + z | g)", slopes))


def test_r2_from_products(batched):
    in_batches, in_memory = batched
    assert not in_batches.model.rows_kept
    np.testing.assert_allclose(in_batches.r2().to_numpy(), in_memory.r2().to_numpy(), rtol=1e-8)


def test_drop1_f_from_products(batched):
    in_batches, in_memory = batched
    pd.testing.assert_frame_equal(in_batches.drop1(), in_memory.drop1(), rtol=1e-6)


@pytest.mark.parametrize("call, what", [(lambda r: r.ranova(), "ranova"),
                                        (lambda r: r.drop1(test="Chisq"), r"drop1\(test='Chisq'\)")])
def test_refits_of_batched_models_are_refused(batched, call, what):
    with pytest.raises(ValueError, match=f"{what} refits the model .* data read in batches .* fit the rows in "
                                         f"memory"):
        call(batched[0])
