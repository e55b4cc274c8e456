"""Outputs on designs the other tests do not hold: a factor-by-factor design
with empty cells (the aliased columns lme4 drops, in memory and read in
batches, its criteria and likelihood-ratio test against lme4), the user's
theta when a diagonal entry of the factor is tiny beside the others (a
closed form), random-effects columns that cannot be identified, and a
likelihood-ratio test whose maximum-likelihood refit is not certified."""

import json
import os
import warnings

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
pytest.importorskip("formulaic")
pytest.importorskip("scipy")

import corvane  # noqa: E402
from corvane.design.reparam import Reparam, theta_to_lambda  # noqa: E402

pytestmark = [pytest.mark.reference]

HERE = os.path.dirname(os.path.abspath(__file__))
REF = json.load(open(os.path.join(HERE, "data", "outputs_heldout.json")))
FORMULA = REF["formula"]
INTERACTIONS = ["sex[T.M]:schgend[T.girls]", "sex[T.M]:schgend[T.mixed]"]


@pytest.fixture(scope="module")
def exam():
    return pd.read_csv(os.path.join(HERE, "data", "exam_subset.csv"))


def source(df, kind):
    if kind == "frame":
        return df
    pa = pytest.importorskip("pyarrow")
    return pa.Table.from_pandas(df, preserve_index=False)


def fit(formula, data, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", corvane.RankDeficiencyWarning)
        return corvane.lmm(formula, data, **kwargs)


# ---- empty cells: the aliased columns and what follows from them ----------------------

@pytest.mark.parametrize("kind", ["frame", "arrow"])
@pytest.mark.parametrize("method", ["reml", "ml"])
def test_empty_cells_drop_the_columns_lme4_drops(exam, kind, method):
    """sex x schgend where the boys' school has no girls and the girls'
    schools no boys: both interaction columns are combinations of the
    others (one identically zero, one only to rounding of the products)."""
    ref = REF[method]
    with pytest.warns(corvane.RankDeficiencyWarning, match="dropping 2 columns"):
        r = corvane.lmm(FORMULA, source(exam, kind), reml=(method == "reml"), progress=False)
    assert r.dropped_columns == INTERACTIONS
    assert r.converged and r.status == "interior"
    assert len(r.fe_names) == len(ref["names"])
    np.testing.assert_allclose(r.beta, ref["fixef"], rtol=1e-6)
    np.testing.assert_allclose(r.std_errors, ref["se"], rtol=1e-6)
    assert r.sigma == pytest.approx(ref["sigma"], rel=1e-7)
    np.testing.assert_allclose(r.theta, ref["theta"], rtol=1e-6)
    assert r.n_params == ref["npar"] and r.n_obs - r.n_params == ref["df_resid"]
    for mine, theirs in ((r.criterion, ref["crit"]), (r.loglik, ref["loglik"]), (r.aic, ref["aic"]),
                         (r.bic, ref["bic"])):
        assert mine == pytest.approx(theirs, abs=1e-7)
    summary = r.summary()
    assert "dropping 2 columns: " + ", ".join(INTERACTIONS) in summary
    lines = summary.splitlines()
    head = next(k for k, line in enumerate(lines) if line.endswith("df.resid"))
    assert lines[head + 1].split()[-1] == str(ref["df_resid"])


@pytest.mark.parametrize("kind", ["frame", "arrow"])
def test_likelihood_ratio_test_against_a_model_with_dropped_columns(exam, kind):
    ref = REF["lrt"]
    m0 = fit(ref["formula0"], source(exam, kind), progress=False)
    m1 = fit(FORMULA, source(exam, kind), progress=False)
    table = corvane.anova(m1, m0)
    assert table["npar"].tolist() == ref["npar"]
    np.testing.assert_allclose(table["logLik"], ref["loglik"], atol=1e-7)
    np.testing.assert_allclose(table["deviance"], ref["deviance"], atol=1e-7)
    assert table["Chisq"].iloc[1] == pytest.approx(ref["chisq"], abs=1e-7)
    assert table["Df"].iloc[1] == ref["df"]
    assert table["Pr(>Chisq)"].iloc[1] == pytest.approx(ref["p"], rel=1e-6)


# ---- the user's theta from the core's ---------------------------------------------------

def reparam(z_shift, z_scale):
    """A map with Z's constant column first and Z's other column shifted:
    A_z = [[1, -shift], [0, 1]] diag(scale), not triangular."""
    one = np.array([0.0])
    return Reparam(0.0, 1.0, one, np.ones(1), np.array([0.0, z_shift]), np.asarray(z_scale, dtype=float),
                   0, 1.0, 0, 1.0)


@pytest.mark.parametrize("tiny", [1e-5, 1e-8, 1e-11])
@pytest.mark.parametrize("shift", [0.0, 7.5])
def test_theta_keeps_a_tiny_diagonal_entry(tiny, shift):
    """theta is the lower factor L with L L' = c c', c = A_z Lambda~:
    L00 = |c row 0|, L10 = (c c')10 / L00, L11 = |det c| / L00 (a closed
    form); a diagonal entry of 1e-11 |c| is kept to rounding, and mapped
    back gives the core's theta."""
    rp = reparam(shift, [0.5, 2.0])
    core = np.array([1.3, -0.4, tiny])
    c = rp.a_z @ theta_to_lambda(core, 2)
    l00 = float(np.hypot(c[0, 0], c[0, 1]))
    expect = np.array([l00, (c[1] @ c[0]) / l00, abs(np.linalg.det(c)) / l00])
    theta = rp.theta(core)
    np.testing.assert_allclose(theta, expect, rtol=1e-9)
    np.testing.assert_allclose(rp.theta_to_core(theta), core, rtol=1e-9, atol=1e-15)


def test_theta_of_a_boundary_fit_is_exactly_zero():
    rp = reparam(7.5, [0.5, 2.0])
    theta = rp.theta(np.array([1.3, -0.4, 0.0]))
    assert theta[2] == 0.0
    lam = theta_to_lambda(theta, 2)
    c = rp.a_z @ theta_to_lambda([1.3, -0.4, 0.0], 2)
    np.testing.assert_allclose(lam @ lam.T, c @ c.T, rtol=1e-13, atol=1e-15)


# ---- random-effects columns that cannot be identified -----------------------------------

def simulated():
    rng = np.random.default_rng(3)
    g = np.repeat(np.arange(15), 8)
    x = rng.uniform(0, 10, len(g))
    return pd.DataFrame({"y": rng.normal(size=len(g)) + rng.normal(size=15)[g], "x": x, "g": g})


@pytest.mark.parametrize("kind", ["frame", "arrow"])
@pytest.mark.parametrize("formula, column, text", [
    ("y ~ x + (0 + z | g)", "zero", "is zero on every row"),
    ("y ~ x + (z | g)", "zero", "is zero on every row"),
    ("y ~ x + (x + z | g)", "double", r"is a linear combination of '\(Intercept\)', 'x' on every row"),
])
def test_random_effects_columns_that_cannot_be_identified_are_refused(kind, formula, column, text):
    df = simulated()
    df["z"] = 0.0 if column == "zero" else 2.0 * df["x"]
    with pytest.raises(ValueError, match=rf"the random-effects column 'z' \(grouped by 'g'\) {text}"):
        corvane.lmm(formula, source(df, kind), progress=False)


# ---- anova's refits -------------------------------------------------------------------

def test_anova_warns_when_a_maximum_likelihood_refit_is_not_certified(exam, monkeypatch):
    m0 = fit(REF["lrt"]["formula0"], exam)
    m1 = fit(FORMULA, exam)
    fit_once = corvane.LinearMixedModel.fit
    monkeypatch.setattr(corvane.LinearMixedModel, "fit",
                        lambda self, starts=None, max_iter=200: fit_once(self, starts, max_iter=1))
    with pytest.warns(corvane.ConvergenceWarning, match="the maximum-likelihood refit of model2: the fit did not converge"):
        corvane.anova(m0, m1)
