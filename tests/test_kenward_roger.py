"""Kenward and Roger's adjusted covariance and df against pbkrtest and
lmerTest (numbers stored in tests/data/kenward_roger.json by
tests/r/kenward_roger.R), and against a dense computation of the same
formulas on the n x n marginal covariance (weights included, which
pbkrtest ignores)."""

import json
import os
import warnings

import numpy as np
import pandas as pd
import pytest

import corvane
from corvane.design.reparam import theta_to_lambda

pytestmark = [pytest.mark.reference]

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")
with open(os.path.join(DATA, "kenward_roger.json")) as f:
    REFERENCE = json.load(f)
FILES = {"sleepstudy": "sleepstudy.csv", "sleep_subset": "kr_sleep_subset.csv", "ChickWeight": "ChickWeight.csv",
         "Orthodont": "Orthodont.csv", "Machines": "Machines.csv", "type3": "type3_design.csv",
         "slopes": "kr_slopes.csv", "slopes_order": "kr_slopes.csv", "three": "kr_three.csv",
         "singular": "small_design_singular.csv"}
FACTORS = ("Diet", "A", "B", "f", "h", "Sex", "Machine")


def frame(name):
    df = pd.read_csv(os.path.join(DATA, FILES[name]))
    for c in FACTORS:
        if c in df:
            df[c] = df[c].astype(str)  # factors in R
    return df


_FITS = {}


def fit(name):
    if name not in _FITS:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", corvane.SingularFitWarning)
            _FITS[name] = corvane.lmm(REFERENCE[name]["formula"], frame(name))
    return _FITS[name]


def close(a, b, rtol):
    a, b = np.asarray(a, dtype=float), np.asarray(b, dtype=float)
    assert np.allclose(a, b, rtol=rtol, atol=rtol * np.max(np.abs(b))), np.max(np.abs(a - b))


@pytest.mark.parametrize("name", list(REFERENCE))
def test_summary_and_adjusted_covariance_match_pbkrtest(name):
    ref, r = REFERENCE[name], fit(name)
    assert len(r.fe_names) == len(ref["terms"])
    table = r.coef_table(ddf="kenward-roger")
    close(table["Std. Error"], ref["se"], 1e-6)
    close(table["df"], ref["df"], 1e-6)
    close(table["t value"], ref["t"], 1e-6)
    close(table["Pr(>|t|)"], ref["p"], 1e-4)
    from corvane.inference.kenward_roger import kenward_roger

    p = len(r.beta)
    close(kenward_roger(r).cov_beta, np.reshape(ref["vcov_adj"], (p, p)), 1e-6)


@pytest.mark.parametrize("name", list(REFERENCE))
def test_anova_and_contrasts_match_lmertest(name):
    ref, r = REFERENCE[name], fit(name)
    a = r.anova(ddf="kenward-roger")
    assert a.index.tolist() == ref["anova_terms"]
    close(a["F value"], ref["anova_F"], 1e-6)
    close(a["DenDF"], ref["anova_dendf"], 1e-6)
    assert a["NumDF"].tolist() == ref["anova_numdf"]
    close(a["Mean Sq"], ref["anova_ms"], 1e-6)
    close(a["Pr(>F)"], ref["anova_p"], 1e-4)
    p = len(r.beta)
    c = r.contrast_test(np.reshape(ref["contrast_L"], (2, p)), rhs=ref["contrast_rhs"], ddf="kenward-roger")
    close(c["F value"], [ref["contrast_F"]], 1e-6)
    close(c["DenDF"], [ref["contrast_dendf"]], 1e-6)
    assert c["NumDF"].tolist() == [ref["contrast_numdf"]]


def _dense_kenward_roger(y, X, Z, groups, w, lam, s2):
    """pbkrtest's formulas on the n x n covariance V = s2 (Z D Z' + W^-1)."""
    n, q = Z.shape
    D = lam @ lam.T
    blocks = np.equal.outer(groups, groups).astype(float)
    G = []
    for a in range(q):
        for b in range(a, q):
            s = np.zeros((q, q))
            s[a, b] = s[b, a] = 1.0
            G.append((Z @ s @ Z.T) * blocks)
    G.append(np.diag(1.0 / w))
    V = s2 * ((Z @ D @ Z.T) * blocks + np.diag(1.0 / w))
    vi = np.linalg.inv(V)
    phi = np.linalg.inv(X.T @ vi @ X)
    P = [-X.T @ vi @ g @ vi @ X for g in G]
    Q = [[X.T @ vi @ gi @ vi @ gj @ vi @ X for gj in G] for gi in G]
    k = len(G)
    info = np.array([[np.trace(vi @ G[i] @ vi @ G[j]) - 2 * np.sum(phi * Q[i][j])
                      + np.trace(phi @ P[i] @ phi @ P[j]) for j in range(k)] for i in range(k)])
    W = 2 * np.linalg.inv(info)
    U = sum(W[i, j] * (Q[i][j] - P[i] @ phi @ P[j]) for i in range(k) for j in range(k))
    return phi + 2 * phi @ U @ phi


@pytest.mark.parametrize("weighted", [False, True])
def test_dense_computation_with_and_without_weights(weighted):
    """The adjusted covariance on the user's scale equals the dense formulas
    at the fitted parameters, with the residual's G the inverse weights."""
    rng = np.random.default_rng(3)
    sizes = rng.integers(2, 9, size=9)
    g = np.repeat(np.arange(9), sizes)
    n = len(g)
    x = rng.normal(5.0, 3.0, n)
    f = rng.choice(["u", "v", "w"], n)
    w = rng.uniform(0.5, 3.0, n) if weighted else np.ones(n)
    y = 2 + 0.5 * x + (f == "v") + rng.normal(0, 1, 9)[g] + rng.normal(0, 0.3, 9)[g] * x + rng.normal(0, 1, n) / np.sqrt(w)
    df = pd.DataFrame({"y": y, "x": x, "f": f, "g": [f"g{k}" for k in g], "w": w})
    r = corvane.lmm("y ~ x + f + (x | g)", df, weights="w" if weighted else None)
    X = np.column_stack([np.ones(n), x, f == "v", f == "w"]).astype(float)
    Z = np.column_stack([np.ones(n), x])
    lam = theta_to_lambda(r.theta, 2)
    dense = _dense_kenward_roger(y, X, Z, g, w, lam, r.sigma2)
    from corvane.inference.kenward_roger import kenward_roger

    close(kenward_roger(r).cov_beta, dense, 1e-8)


def test_invariant_to_units_and_location():
    """Units of x and y, and y's location, leave the tests as they are (x's
    location would not: f's main effect is the difference at x = 0)."""
    df = frame("slopes")
    a = corvane.lmm("y ~ f * x + (x | g)", df)
    shifted = df.assign(x=df["x"] * 1000.0, y=df["y"] * 0.001 - 7.0)
    b = corvane.lmm("y ~ f * x + (x | g)", shifted)
    close(b.anova(ddf="kenward-roger")["DenDF"], a.anova(ddf="kenward-roger")["DenDF"], 1e-7)
    close(b.anova(ddf="kenward-roger")["F value"], a.anova(ddf="kenward-roger")["F value"], 1e-7)


def test_batched_source_gives_the_same_tests(tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    pa = pytest.importorskip("pyarrow")
    df = frame("slopes")
    path = tmp_path / "slopes.parquet"
    pq.write_table(pa.Table.from_pandas(df), path, row_group_size=50)
    a = corvane.lmm("y ~ f * x + (x | g)", df)
    b = corvane.lmm("y ~ f * x + (x | g)", str(path), progress=False)
    assert not b.model.rows_kept
    close(b.coef_table(ddf="kenward-roger")["df"], a.coef_table(ddf="kenward-roger")["df"], 1e-8)
    close(b.anova(ddf="kenward-roger")["F value"], a.anova(ddf="kenward-roger")["F value"], 1e-8)


def test_refusals_and_summary():
    r = fit("sleepstudy")
    ml = corvane.lmm(REFERENCE["sleepstudy"]["formula"], frame("sleepstudy"), reml=False)
    with pytest.raises(ValueError, match="only available for REML"):
        ml.coef_table(ddf="kenward-roger")
    with pytest.raises(ValueError, match="ddf must be one of"):
        r.anova(ddf="kenward")
    text = str(r.summary(ddf="kenward-roger"))
    assert "Kenward and Roger" in text and "Pr(>|t|)" in text
    # The normal approximation's F tests are chi-squared tests.
    a = r.anova(ddf="normal")
    assert np.isinf(a["DenDF"]).all()
    from scipy import stats

    close(a["Pr(>F)"], stats.chi2.sf(a["F value"] * a["NumDF"], a["NumDF"]), 1e-12)
