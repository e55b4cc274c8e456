"""Uncorrelated random effects, '(x || g)' and several terms of one group,
against lme4 and lmerTest (numbers stored in tests/data/uncorrelated.json by
tests/r/uncorrelated.R), and the layout's own properties: theta held at 0
between blocks everywhere (fit, bootstrap, profiles), the same model however
it is written, the core's `free` argument checked."""

import json
import os
import warnings

import numpy as np
import pandas as pd
import pytest

import corvane
from corvane.formula.parse import parse_formula

pytestmark = [pytest.mark.reference]

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")
with open(os.path.join(DATA, "uncorrelated.json")) as f:
    REFERENCE = json.load(f)
with open(os.path.join(DATA, "glmm_uncorrelated.json")) as f:
    GLMM_REFERENCE = json.load(f)
FILES = {"sleep": "sleepstudy.csv", "three": "kr_three.csv", "slopes": "kr_slopes.csv"}


def frame(name):
    df = pd.read_csv(os.path.join(DATA, FILES[name.split("_")[0]]))
    for c in ("f", "h"):
        if c in df:
            df[c] = df[c].astype(str)
    return df


def label(entry):
    return f"{entry['name']}-{'REML' if entry['reml'] else 'ML'}"


def fit(entry):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", corvane.SingularFitWarning)
        return corvane.lmm(entry["formula"], frame(entry["name"]), reml=entry["reml"])


@pytest.mark.parametrize("entry", REFERENCE, ids=label)
def test_fit_and_inference_match_lme4(entry):
    r = fit(entry)
    assert r.converged
    assert abs(r.criterion - entry["criterion"]) < 1e-6
    assert r.n_params == entry["npar"]
    sd = dict(zip(r.re_names, r.re_std))
    for name, value in zip(entry["sd_names"], entry["sd"]):
        assert sd[name] == pytest.approx(value, rel=1e-5, abs=1e-6 * entry["sigma"])
    assert r.sigma == pytest.approx(entry["sigma"], rel=1e-6)
    np.testing.assert_allclose(r.beta, entry["estimate"], rtol=1e-6)
    np.testing.assert_allclose(r.std_errors, entry["se"], rtol=1e-5)
    np.testing.assert_allclose(r.coef_table()["df"], entry["df"], rtol=1e-4)
    if "emm_kr" in entry:
        emm = r.emmeans("h", ddf="kenward-roger")
        assert emm["h"].tolist() == entry["emm_levels"]
        np.testing.assert_allclose(emm["emmean"], entry["emm_kr"], rtol=1e-6)
        np.testing.assert_allclose(emm["SE"], entry["emm_kr_se"], rtol=1e-5)
        np.testing.assert_allclose(emm["df"], entry["emm_kr_df"], rtol=1e-5)
    if entry["reml"]:
        kr = r.coef_table(ddf="kenward-roger")
        np.testing.assert_allclose(kr["Std. Error"], entry["kr_se"], rtol=1e-5)
        np.testing.assert_allclose(kr["df"], entry["kr_df"], rtol=1e-5)
    # No correlation between the blocks, whatever the optimiser did.
    blocks = r.model.re_blocks
    for a, cols_a in enumerate(blocks):
        for cols_b in blocks[a + 1:]:
            assert np.all(r.cov_re[np.ix_(cols_a, cols_b)] == 0.0)


def test_profile_intervals_match_lme4():
    entry = next(e for e in REFERENCE if "profile_names" in e)
    r = fit(entry)
    ci = r.confint(method="profile")
    names = ["sd((Intercept) | Subject)", "sd(Days | Subject)", "sigma", "(Intercept)", "Days"]
    assert ci.index.tolist() == names
    np.testing.assert_allclose(ci.iloc[:, 0], entry["profile_lower"], rtol=2e-4)
    np.testing.assert_allclose(ci.iloc[:, 1], entry["profile_upper"], rtol=2e-4)


@pytest.mark.parametrize("a, b", [
    ("y ~ x + z + h + (x + z || g)", "y ~ x + z + h + (1 | g) + (0 + x | g) + (0 + z | g)"),
    ("y ~ x + z + h + (1 + x | g) + (0 + z | g)", "y ~ x + z + h + (0 + z | g) + (x | g)"),
])
def test_the_same_model_however_written(a, b):
    df = frame("three")
    ra, rb = corvane.lmm(a, df), corvane.lmm(b, df)
    assert ra.criterion == pytest.approx(rb.criterion, abs=1e-8)
    sa, sb = dict(zip(ra.re_names, ra.re_std)), dict(zip(rb.re_names, rb.re_std))
    assert sa == pytest.approx(sb, rel=1e-6)
    np.testing.assert_allclose(ra.beta, rb.beta, rtol=1e-8)


def test_bootstrap_and_batched_source_keep_the_layout(tmp_path):
    df = frame("three")
    formula = "y ~ x + z + h + (1 + x | g) + (0 + z | g)"
    r = corvane.lmm(formula, df)
    boot = r.bootstrap(n=20, seed=3, progress=False)
    assert [c for c in boot.replicates.columns if c.startswith("cor(")] == ["cor((Intercept), x | g)"]
    assert boot.n_converged == 20
    pq = pytest.importorskip("pyarrow.parquet")
    pa = pytest.importorskip("pyarrow")
    path = tmp_path / "three.parquet"
    pq.write_table(pa.Table.from_pandas(df), path, row_group_size=40)
    b = corvane.lmm(formula, str(path), progress=False)
    assert b.criterion == pytest.approx(r.criterion, abs=1e-8)
    np.testing.assert_allclose(b.re_std, r.re_std, rtol=1e-6)


def test_parsing_and_refusals():
    p = parse_formula("y ~ x + (1 + x + log(z) || g)")
    assert p.blocks == ("1", "0 + x", "0 + log(z)")
    assert parse_formula("y ~ (0 + x || g)").blocks == ("0 + x",)
    assert parse_formula("y ~ (x:z + x * w || g)").blocks == ("1", "0 + x", "0 + w", "0 + x:z", "0 + x:w")
    assert parse_formula("y ~ x + (x | g)").blocks == ()
    with pytest.raises(ValueError, match="2 grouping factors"):
        parse_formula("y ~ x + (1 | g) + (0 + x | h)")
    with pytest.raises(ValueError, match="repeat the column"):
        corvane.lmm("y ~ x + (x | g) + (0 + x | g)", frame("three"))


@pytest.mark.parametrize("free, message", [
    ([1, 0, 2], "ascending"), ([0, 5], "distinct theta indices"), ([0, 1], "every diagonal entry"),
    ([0.5, 2], "distinct theta indices"),
])
def test_core_checks_free(free, message):
    r = corvane.lmm("Reaction ~ Days + (Days || Subject)", frame("sleep"))
    with pytest.raises(ValueError, match=message):
        r.model.core.fit_newton(free=free)



@pytest.mark.parametrize("entry", REFERENCE, ids=label)
def test_ranova_matches_lmertest(entry):
    """lmerTest's reductions of uncorrelated terms: a last slope becomes
    (1 | g) (merged with an intercept of its own, counted beside one with
    slopes), an intercept term is removed."""
    table = fit(entry).ranova()
    assert table.index.tolist() == entry["ranova_rows"]
    np.testing.assert_array_equal(table["npar"], entry["ranova_npar"])
    np.testing.assert_allclose(table["logLik"], entry["ranova_loglik"], rtol=1e-8)
    np.testing.assert_array_equal(np.nan_to_num(table["Df"], nan=-1), np.nan_to_num(np.array(entry["ranova_df"], dtype=float), nan=-1))
    got, want = table["Pr(>Chisq)"].to_numpy(), np.array(entry["ranova_p"], dtype=float)
    np.testing.assert_allclose(got[np.isfinite(want)], want[np.isfinite(want)], rtol=1e-4)


def test_r2_counts_every_block():
    """The random-effects variance of uncorrelated terms is the mean of
    z' Sigma z over the rows, Sigma block diagonal: every term counts."""
    df = frame("three")
    r = corvane.lmm("y ~ x + z + h + (1 + x | g) + (0 + z | g)", df)
    Z = np.column_stack([np.ones(len(df)), df["x"], df["z"]])
    var_r = np.mean(np.einsum("ij,jk,ik->i", Z, r.cov_re, Z))
    var_f = np.var(r.model.X @ r.beta, ddof=1)
    total = var_f + var_r + r.sigma2
    assert r.r2().tolist() == pytest.approx([var_f / total, (var_f + var_r) / total], rel=1e-10)


def test_array_model_takes_blocks():
    df = frame("sleep")
    X = np.column_stack([np.ones(len(df)), df["Days"]])
    r = corvane.LinearMixedModel(df["Reaction"].to_numpy(), X, X, df["Subject"].to_numpy(), blocks=[[1], [0]]).fit()
    want = corvane.lmm("Reaction ~ Days + (Days || Subject)", df)
    assert r.criterion == pytest.approx(want.criterion, abs=1e-8)
    np.testing.assert_allclose(r.re_std, want.re_std, rtol=1e-6)
    with pytest.raises(ValueError, match="exactly one non-empty block"):
        corvane.LinearMixedModel(df["Reaction"].to_numpy(), X, X, df["Subject"].to_numpy(), blocks=[[0], [0, 1]])
    table = r.ranova()
    assert table.index.tolist() == ["<none>", "z1 in (0 + z1 | group)", "(1 | group)"]
    np.testing.assert_allclose(table["logLik"].iloc[1:], want.ranova()["logLik"].iloc[[2, 1]], rtol=1e-8)


@pytest.mark.parametrize("name, family", [("binary", "binomial"), ("counts", "poisson")])
def test_generalized_models_match_glmmtmb(name, family):
    """Laplace fits of uncorrelated terms against glmmTMB's diag() terms."""
    entry = GLMM_REFERENCE[name]
    df = pd.read_csv(os.path.join(DATA, "glmm_uncorrelated.csv"))
    r = corvane.glmm(entry["formula"], df, family=family)
    assert r.converged and r.n_params == len(entry["estimate"]) + len(entry["sd"])
    assert abs(r.deviance - entry["deviance"]) < 1e-6
    np.testing.assert_allclose(r.re_std, entry["sd"], rtol=1e-5)
    np.testing.assert_allclose(r.beta, entry["estimate"], rtol=1e-5)
    np.testing.assert_allclose(r.std_errors, entry["se"], rtol=1e-5)
    assert r.cov_re[0, 1] == 0.0 and "Corr" not in str(r.summary())
    boot = r.bootstrap(n=8, seed=2, progress=False)
    assert not [c for c in boot.replicates.columns if c.startswith("cor(")]
    if name == "binary":  # lme4's Laplace deviance is inexact by about 1e-3
        ci = r.confint(method="profile")
        ref = GLMM_REFERENCE["binary_profile"]
        np.testing.assert_allclose(ci.iloc[:, 0], ref["lower"], rtol=2e-3)
        np.testing.assert_allclose(ci.iloc[:, 1], ref["upper"], rtol=2e-3)
    with pytest.raises(ValueError, match="every diagonal entry"):
        r.model.core.fit(free=[0, 1])
