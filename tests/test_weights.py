"""Precision weights against lme4's lmer(..., weights = w) (numbers stored by
tests/r/weights_reference.R) and against their definition (rows scaled by
sqrt(w)), and offsets given as an argument."""

import json
import math
import os
import warnings

import numpy as np
import pandas as pd
import pytest

import corvane

pytestmark = [pytest.mark.reference]

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")
with open(os.path.join(DATA, "weights_reference.json")) as f:
    REFERENCE = json.load(f)
FORMULA = "Reaction ~ Days + (Days | Subject)"


@pytest.fixture(scope="module")
def df():
    return pd.read_csv(os.path.join(DATA, "sleepstudy_weights.csv"))


@pytest.mark.parametrize("entry", REFERENCE, ids=lambda e: "REML" if e["reml"] else "ML")
@pytest.mark.parametrize("how", ["column", "array"])
def test_weights_match_lme4(df, entry, how):
    weights = "w" if how == "column" else df["w"].to_numpy()
    r = corvane.lmm(FORMULA, df, reml=entry["reml"], weights=weights)
    assert r.converged
    assert r.criterion == pytest.approx(entry["criterion"], rel=1e-10)
    assert r.criterion <= entry["criterion"] + 1e-9
    np.testing.assert_allclose(r.beta, entry["beta"], rtol=1e-6)
    assert r.sigma == pytest.approx(entry["sigma"], rel=1e-6)
    np.testing.assert_allclose(r.re_std, entry["sd"], rtol=1e-6)
    assert r.re_corr[1, 0] == pytest.approx(entry["cor"], abs=1e-6)
    for ours, theirs in ((r.loglik, entry["loglik"]), (r.aic, entry["aic"]), (r.bic, entry["bic"])):
        assert ours == pytest.approx(theirs, rel=1e-10)


def test_weights_are_rows_scaled_by_their_square_roots(df):
    w = df["w"].to_numpy()
    sw = np.sqrt(w)
    X = np.column_stack([np.ones(len(df)), df["Days"]])
    y = df["Reaction"].to_numpy()
    weighted = corvane.LinearMixedModel(y, X, X, df["Subject"].to_numpy(), weights=w).fit()
    scaled = corvane.LinearMixedModel(y * sw, X * sw[:, None], X * sw[:, None], df["Subject"].to_numpy()).fit()
    np.testing.assert_allclose(weighted.beta, scaled.beta, rtol=1e-9)
    np.testing.assert_allclose(weighted.cov_re, scaled.cov_re, rtol=1e-7)
    assert weighted.sigma == pytest.approx(scaled.sigma, rel=1e-9)
    # The densities differ by the Jacobian of the scaling.
    assert weighted.criterion == pytest.approx(scaled.criterion - np.sum(np.log(w)), rel=1e-11)
    # Unit weights change nothing.
    ones = corvane.LinearMixedModel(y, X, X, df["Subject"].to_numpy(), weights=np.ones(len(y))).fit()
    plain = corvane.LinearMixedModel(y, X, X, df["Subject"].to_numpy()).fit()
    assert ones.criterion == pytest.approx(plain.criterion, rel=1e-13)
    np.testing.assert_allclose(ones.beta, plain.beta, rtol=1e-11)


@pytest.mark.parametrize("bad, text", [(0.0, "0.0"), (-1.0, "-1.0"), (np.inf, "inf"), (np.nan, "nan")])
def test_bad_weights_are_refused(df, bad, text):
    w = df["w"].to_numpy().copy()
    w[7] = bad
    with pytest.raises(ValueError, match=f"weights must be positive and finite: row 7 has {text}"):
        corvane.lmm(FORMULA, df, weights=w)


def test_missing_weights_in_a_column_drop_the_row(df):
    d = df.copy()
    d.loc[[3, 50], "w"] = np.nan
    r = corvane.lmm(FORMULA, d, weights="w")
    assert (r.n_obs, r.n_dropped) == (178, 2)
    with pytest.raises(ValueError, match="unknown weights column 'wt'"):
        corvane.lmm(FORMULA, d, weights="wt")


def test_weighted_refit_bootstrap_and_residuals(df):
    r = corvane.lmm(FORMULA, df, weights="w")
    boot = r.bootstrap(n=8, seed=4, progress=False)
    y = r.simulate(n=8, seed=4)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        direct = r.model.refit(y[5])
    assert boot.replicates["criterion"].iloc[5] == pytest.approx(direct.criterion, rel=1e-11)
    np.testing.assert_allclose(boot.replicates[r.fe_names].iloc[5], direct.beta, rtol=1e-9)
    # Residuals are on the response's scale, unweighted, as lme4's default.
    np.testing.assert_allclose(r.residuals, df["Reaction"] - r.fitted_values)


def test_offset_argument(df):
    d = df.assign(o=0.5 * df["Days"] + 3.0)
    in_formula = corvane.lmm(FORMULA + " + offset(o)", d)
    by_name = corvane.lmm(FORMULA, d, offset="o")
    by_array = corvane.lmm(FORMULA, d, offset=d["o"].to_numpy())
    for r in (by_name, by_array):
        assert r.criterion == pytest.approx(in_formula.criterion, rel=1e-12)
        np.testing.assert_allclose(r.beta, in_formula.beta, rtol=1e-10)
    # The offset moves the fixed effects by its coefficients.
    plain = corvane.lmm(FORMULA, d)
    np.testing.assert_allclose(by_name.beta, plain.beta - [3.0, 0.5], rtol=1e-8)
    # Predictions on new data include a named offset.
    new = d.iloc[:4]
    np.testing.assert_allclose(by_name.predict(new), plain.predict(new), rtol=1e-8)
    with pytest.raises(ValueError, match="offset has 3 values but the data has 180 rows"):
        corvane.lmm(FORMULA, d, offset=[1.0, 2.0, 3.0])
    assert math.isfinite(by_array.criterion)
