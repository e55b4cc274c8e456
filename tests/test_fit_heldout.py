"""Fits whose optimum has every variance at 0: designs simulated with no
random variation (20 groups of 5, tests/data/null_designs.csv), fitted
with (x | g). The truths are lme4's fits (tests/data/fit_heldout.json, made
by tests/r/fit_heldout.R) and the closed form of the criterion at theta = 0,
the linear model's."""

import functools
import json
import math
import os
import warnings

import numpy as np
import pytest

import corvane

pytestmark = [pytest.mark.reference]

pd = pytest.importorskip("pandas")
pytest.importorskip("formulaic")

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
with open(os.path.join(DATA, "fit_heldout.json")) as f:
    REFERENCE = json.load(f)
SD = ["sd((Intercept) | g)", "sd(x | g)"]
COR = "cor((Intercept), x | g)"


def label(entry):
    return f"set{entry['set']}-{'REML' if entry['reml'] else 'ML'}"


def frame(s):
    df = pd.read_csv(os.path.join(DATA, "null_designs.csv"))
    df = df[df["set"] == s].drop(columns="set").reset_index(drop=True)
    df["g"] = df["g"].astype(str)
    return df


@functools.lru_cache(maxsize=None)
def fit(s, reml):
    """The fit and the warnings it raised."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = corvane.lmm("y ~ x + (x | g)", frame(s), reml=reml)
    return result, tuple(caught)


def linear_model_criterion(df, reml):
    """-2 log L (ML) or the REML criterion of y ~ x without random effects."""
    X = np.column_stack([np.ones(len(df)), df["x"].to_numpy(float)])
    y = df["y"].to_numpy(float)
    n, p = X.shape
    rss = float(np.sum((y - X @ np.linalg.lstsq(X, y, rcond=None)[0]) ** 2))
    if not reml:
        return n * (1.0 + math.log(2.0 * math.pi * rss / n))
    return (n - p) * (1.0 + math.log(2.0 * math.pi * rss / (n - p))) + np.linalg.slogdet(X.T @ X)[1]


@pytest.mark.parametrize("entry", REFERENCE, ids=label)
def test_every_variance_at_zero_is_named_on_the_bound(entry):
    """Both variances are 0 (lme4: singular, sd below 1e-7): the certificate
    names both, not only the one the Newton iteration put exactly on the
    bound, and the criterion is the linear model's."""
    result, caught = fit(entry["set"], entry["reml"])
    assert result.converged and result.status == "boundary" and result.singular
    assert result.boundary == ["(Intercept)", "x"]
    assert result.criterion == pytest.approx(entry["criterion"], abs=1e-8)
    assert result.criterion == pytest.approx(linear_model_criterion(frame(entry["set"]), entry["reml"]), abs=1e-8)
    assert np.all(result.re_std < 1e-6 * result.sigma)
    np.testing.assert_allclose(result.beta, entry["beta"], rtol=1e-9)
    assert result.sigma == pytest.approx(entry["sigma"], rel=1e-8)
    notes = [str(w.message) for w in caught if issubclass(w.category, corvane.SingularFitWarning)]
    assert len(notes) == 1 and "singular along (Intercept), x" in notes[0]


@pytest.mark.parametrize("reml", [True, False], ids=["REML", "ML"])
def test_profile_of_a_fit_at_zero_closes_at_the_bounds_without_numeric_warnings(reml):
    """Every variance at 0: both sd intervals start at 0, the correlation's
    is [-1, 1], one ProfileWarning names the four ends, and the inner fits'
    trial steps far out (theta ~ e^700) leave no overflow warning."""
    result, _ = fit(6, reml)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        ci = result.confint(method="profile")
    numeric = [str(w.message) for w in caught if issubclass(w.category, RuntimeWarning)]
    assert numeric == []
    notes = [str(w.message) for w in caught if issubclass(w.category, corvane.ProfileWarning)]
    assert len(notes) == 1
    for name in SD:
        assert ci.loc[name].iloc[0] == 0.0 and 0.0 < ci.loc[name].iloc[1] < math.inf
        assert f"{name}: lower end 0" in notes[0]
    assert ci.loc[COR].tolist() == [-1.0, 1.0]
    assert f"{COR}: lower end -1" in notes[0] and f"{COR}: upper end 1" in notes[0]


def test_bootstrap_of_a_singular_fit_reports_the_replicates_on_the_bound():
    """Replicates simulated from a fit with both variances at 0 are mostly
    singular again: each replicate says whether its fit is on the bound,
    judged here from its sd and cor on the user's scale."""
    result, _ = fit(6, True)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        boot = result.bootstrap(n=200, seed=5, progress=False)
    rep = boot.replicates
    sd = rep[SD].to_numpy()
    cor = rep[COR].to_numpy()
    zero = (sd.min(axis=1) == 0.0) | (np.abs(cor) == 1.0)
    clear = (sd.min(axis=1) > 1e-3 * rep["sigma"].to_numpy()) & (np.abs(cor) < 0.999)
    assert rep["singular"].dtype == bool
    assert rep["singular"][zero].all() and not rep["singular"][clear].any()
    assert boot.n_singular == int(rep["singular"].sum()) and 0 < boot.n_singular < boot.n
    assert f"singular={boot.n_singular}" in repr(boot)
    assert boot.n_converged == boot.n
    ci = boot.confint()
    assert ci.loc[SD].iloc[:, 0].tolist() == [0.0, 0.0]
