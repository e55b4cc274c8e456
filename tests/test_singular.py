"""Optima on the boundary: a variance estimated as zero or a correlation of
+-1 is put exactly on the bound and reported as a boundary fit everywhere
(the certificate, the warning, the summary, HTML and to_dict), with lme4's
estimates; a small variance that is a genuine optimum stays interior."""

import json
import os
import warnings

import numpy as np
import pytest

import corvane
from corvane import LmmCore

pytestmark = [pytest.mark.reference]

pd = pytest.importorskip("pandas")
pytest.importorskip("formulaic")

DATA = os.path.join(os.path.dirname(__file__), "data")
with open(os.path.join(DATA, "singular_fits.json")) as f:
    REFERENCE = json.load(f)


def frame(name):
    return pd.read_csv(os.path.join(DATA, f"{name}.csv"))


def fit(entry):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = corvane.lmm(entry["formula"], frame(entry["data"]), reml=entry["reml"])
    return result, [w.category for w in caught]


@pytest.mark.parametrize("entry", REFERENCE, ids=lambda e: f"{e['data']}-{'REML' if e['reml'] else 'ML'}")
def test_singular_optimum_is_on_the_bound_and_matches_lme4(entry):
    result, categories = fit(entry)
    assert result.converged and result.status == "boundary"
    assert result.singular and result.boundary == [result.re_names[-1]]
    assert corvane.SingularFitWarning in categories and corvane.ConvergenceWarning not in categories
    # The diagonal entry of Lambda is exactly zero, not a Newton iterate next to it.
    assert result.theta_core[-1] == 0.0 and result.theta[-1] == 0.0
    assert result.criterion == pytest.approx(entry["criterion"], abs=1e-9)
    np.testing.assert_allclose(result.beta, entry["beta"], rtol=1e-6)
    np.testing.assert_allclose(result.theta, entry["theta"], rtol=2e-6, atol=1e-7)
    assert result.sigma == pytest.approx(entry["sigma"], rel=1e-6)
    if len(result.re_names) == 2:
        assert result.re_corr[1, 0] == pytest.approx(1.0, abs=1e-12)


def test_every_output_says_the_fit_is_singular():
    result, _ = fit(REFERENCE[2])
    out = result.to_dict()
    assert out["certificate"]["status"] == "boundary" and out["certificate"]["boundary"] == ["x"]
    for text in (str(result.summary()), result._repr_html_()):
        assert "boundary (singular) fit" in text


@pytest.mark.parametrize("start", [[1e-13], [1e-8], [1.0]])
def test_core_fit_lands_on_the_bound_from_any_start(start):
    df = frame("Dyestuff2")
    y = df["Yield"].to_numpy(dtype=float)
    codes = pd.factorize(df["Batch"], sort=True)[0].astype(np.int64)
    ones = np.ones((len(y), 1))
    core = LmmCore(y - y.mean(), ones, ones, codes, int(codes.max()) + 1)
    fitted = core.fit_newton(start)
    assert fitted["status"] == "boundary" and fitted["theta"] == [0.0] and fitted["boundary"] == [0]
    assert fitted["deviance"] == core.deviance([0.0])


def test_small_genuine_variance_stays_interior():
    """A balanced one-way design whose between-group variance is 4e-9 of the
    residual's (the REML optimum theta = sqrt((MSB/MSW - 1)/k) = 6.3e-5 in
    closed form): an interior optimum next to the bound, which trying the
    bound must not capture."""
    rng = np.random.default_rng(3)
    m, k, tau = 200, 10, 4e-9
    e = rng.standard_normal((m, k))
    e -= e.mean(1, keepdims=True)
    e *= np.sqrt(m * (k - 1) / (e ** 2).sum())          # MSW = 1
    a = rng.standard_normal(m)
    a -= a.mean()
    a *= np.sqrt((1 + k * tau) * (m - 1) / k / (a ** 2).sum())  # MSB = 1 + k tau
    y, g = (a[:, None] + e).ravel(), np.repeat(np.arange(m), k)
    result = corvane.LinearMixedModel(y, np.ones((m * k, 1)), np.ones((m * k, 1)), g).fit()
    assert result.status == "interior" and not result.boundary
    # The criterion is flat in theta there (f(theta) = g(theta^2)): theta is
    # determined only to about a tenth.
    assert 0.5 * np.sqrt(tau) < result.theta[0] < 1.5 * np.sqrt(tau)
