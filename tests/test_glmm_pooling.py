"""Identical rows pooled into weighted rows leave the generalized fit as it
was: the same estimates, standard errors, likelihood, random effects and
per-row values as the fit of every row, for binary and count responses with
weights and offsets; proportions of several trials, and rows that do not
repeat, are not pooled."""

import numpy as np
import pandas as pd
import pytest

import corvane
from corvane.generalized import pooling

pytest.importorskip("formulaic")


def _frame(n=12000, seed=4):
    rng = np.random.default_rng(seed)
    g = rng.integers(0, 40, n)
    dose = rng.choice([0.0, 0.5, 1.0, 2.0], n)
    arm = rng.choice(["a", "b", "c"], n)
    b = rng.normal(0, 0.7, (40, 2))
    eta = -0.4 + 0.8 * dose + (arm == "b") * 0.5 + b[g, 0] + b[g, 1] * dose
    exposure = rng.choice([1.0, 2.0], n)
    return pd.DataFrame({
        "g": g.astype(str), "dose": dose, "arm": arm, "exposure": exposure,
        "event": (rng.random(n) < 1 / (1 + np.exp(-eta))).astype(float),
        "count": rng.poisson(exposure * np.exp(eta - 1.0)).astype(float),
        "w": rng.choice([1.0, 3.0], n),
    })


def _unpooled(monkeypatch, *args, **kwargs):
    with monkeypatch.context() as m:
        m.setattr("corvane.generalized.model.pool_rows", lambda *a: None)
        return corvane.glmm(*args, **kwargs)


CASES = [
    dict(formula="event ~ dose + arm + (dose | g)", family="binomial"),
    dict(formula="event ~ dose + arm + (1 | g)", family="binomial", link="cloglog", weights="w"),
    dict(formula="count ~ dose + arm + (1 | g)", family="poisson", offset="np.log(exposure)"),
    dict(formula="count ~ dose + (dose | g)", family="poisson", weights="w", nagq=None),
    dict(formula="count ~ dose + arm + (1 | g)", family="negative_binomial", weights="w", nagq=None),
]


@pytest.mark.parametrize("case", CASES, ids=lambda c: c["formula"].split("~")[0] + c["family"])
def test_pooled_fit_equals_the_fit_of_every_row(case, monkeypatch):
    df = _frame()
    kw = {k: v for k, v in case.items() if k not in ("formula", "nagq")}
    if "offset" in kw:
        kw["offset"] = np.log(df["exposure"].to_numpy())
    if "weights" in kw:
        kw["weights"] = df[kw["weights"]].to_numpy()
    nagq = 5 if "nagq" not in case and "(1 |" in case["formula"] else 1
    pooled = corvane.glmm(case["formula"], df, nagq=nagq, **kw)
    whole = _unpooled(monkeypatch, case["formula"], df, nagq=nagq, **kw)
    assert pooled.model.pooling is not None and pooled.model.pooling.rows < len(df) / 2
    assert whole.model.pooling is None
    assert pooled.converged and whole.converged
    assert pooled.llf == pytest.approx(whole.llf, rel=1e-10, abs=1e-8)
    assert pooled.deviance == pytest.approx(whole.deviance, rel=1e-10)
    # Both fits stop within the optimiser's tolerance: far inside a standard error.
    assert np.max(np.abs(pooled.params - whole.params) / whole.std_errors) < 1e-4
    np.testing.assert_allclose(pooled.std_errors, whole.std_errors, rtol=1e-5)  # NB: phi's part by differences
    np.testing.assert_allclose(np.ravel(pooled.theta), np.ravel(whole.theta), rtol=1e-5, atol=1e-6)
    np.testing.assert_allclose(pooled.fittedvalues, whole.fittedvalues, rtol=1e-5, atol=1e-9)
    np.testing.assert_allclose(pooled.resid_pearson, whole.resid_pearson, rtol=1e-5, atol=1e-6)
    # The modes follow the intercept along its flat direction with theta: within the same tolerance.
    np.testing.assert_allclose(pooled.ranef(condvar=True).to_numpy(float), whole.ranef(condvar=True).to_numpy(float),
                               rtol=1e-5, atol=2e-5)
    assert pooled.aic == pytest.approx(whole.aic, rel=1e-10) and pooled.bic == pytest.approx(whole.bic, rel=1e-10)


def test_the_bootstrap_refits_every_row(monkeypatch):
    """New responses differ between rows that were identical: the bootstrap
    refits them on the core of every row, so the pooled and unpooled fits
    draw and fit the same samples."""
    df = _frame(12000)
    pooled = corvane.glmm("event ~ dose + (1 | g)", df, family="binomial")
    whole = _unpooled(monkeypatch, "event ~ dose + (1 | g)", df, family="binomial")
    assert pooled.model.pooling is not None and pooled.model.rows_core() is not pooled.model.core
    a = pooled.bootstrap(n=4, seed=1, progress=False).replicates
    b = whole.bootstrap(n=4, seed=1, progress=False).replicates
    assert list(a.columns) == list(b.columns)
    np.testing.assert_allclose(a.to_numpy(float), b.to_numpy(float), rtol=1e-6, atol=1e-8)


@pytest.mark.parametrize("what", ["proportions", "continuous", "few rows"])
def test_rows_are_left_alone_when_pooling_is_wrong_or_idle(what):
    rng = np.random.default_rng(0)
    n = 3000 if what != "few rows" else 200
    codes = rng.integers(0, 10, n)
    X = np.column_stack([np.ones(n), rng.choice([0.0, 1.0], n)])
    y = rng.choice([0.0, 1.0], n)
    w = np.ones(n)
    if what == "proportions":
        y, w = rng.choice([0.0, 0.5, 1.0], n), np.full(n, 2.0)
    if what == "continuous":
        X[:, 1] = rng.normal(size=n)
    assert pooling.pool_rows("binomial", codes, X, X, np.zeros(n), y, w) is None
