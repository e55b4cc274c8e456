"""Invariances of a fit: the same model on rescaled or shifted data, mapped
by the known factors, gives the same estimates (the weights' units; a shift
of the response or a constant offset when X has no constant column but its
columns sum to one), for rows in memory and read in batches; and a response
with no residual variation is refused with a message that names it."""

import os
import warnings

import numpy as np
import pandas as pd
import pytest

import corvane

pytestmark = [pytest.mark.reference]

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")


def quiet(call, *args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", corvane.SingularFitWarning)
        return call(*args, **kwargs)


@pytest.fixture(scope="module")
def ww():
    return pd.read_csv(os.path.join(DATA, "sleepstudy_weights.csv"))


@pytest.fixture(scope="module")
def ss():
    df = pd.read_csv(os.path.join(DATA, "sleepstudy.csv"))
    df["f"] = (df["Days"] % 3).map({0: "a", 1: "b", 2: "c"})
    return df


def arrow(df):
    pa = pytest.importorskip("pyarrow")
    return pa.Table.from_pandas(df, preserve_index=False)


# ---- the weights' units ------------------------------------------------------------

W_FORMULA = "Reaction ~ Days + (Days | Subject)"


@pytest.fixture(scope="module")
def weighted_base(ww):
    return corvane.lmm(W_FORMULA, ww, weights="w")


@pytest.mark.parametrize("c", [1e-300, 1e-200, 1e-12, 1e200, 1e300])
@pytest.mark.parametrize("reml", [True, False], ids=["REML", "ML"])
def test_weights_units_change_only_sigma_and_theta(ww, c, reml):
    base = corvane.lmm(W_FORMULA, ww, reml=reml, weights="w")
    scaled = ww.assign(w=ww["w"] * c)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        r = corvane.lmm(W_FORMULA, scaled, reml=reml, weights="w")
    assert r.converged and r.status == "interior"
    assert r.sigma ** 2 == pytest.approx(c * base.sigma ** 2, rel=1e-9)
    np.testing.assert_allclose(r.theta * np.sqrt(c), base.theta, rtol=3e-8)
    np.testing.assert_allclose(r.beta, base.beta, rtol=1e-10)
    np.testing.assert_allclose(r.cov_beta, base.cov_beta, rtol=1e-8)
    np.testing.assert_allclose(r.cov_re, base.cov_re, rtol=1e-8)
    np.testing.assert_allclose(r.ranef().to_numpy(), base.ranef().to_numpy(), rtol=1e-8, atol=1e-9)
    assert r.loglik == pytest.approx(base.loglik, abs=1e-9 * abs(base.loglik))


@pytest.mark.parametrize("k", [-60, 1, 60])
def test_weights_scaled_by_a_power_of_four_keep_every_digit(ww, weighted_base, k):
    """sqrt(4^k w) = 2^k sqrt(w) exactly: the core sees the same problem."""
    r = corvane.lmm(W_FORMULA, ww.assign(w=ww["w"] * 4.0 ** k), weights="w")
    assert np.array_equal(r.beta, weighted_base.beta)
    assert np.array_equal(r.cov_beta, weighted_base.cov_beta)
    assert r.sigma == weighted_base.sigma * 2.0 ** k
    assert np.array_equal(r.theta * 2.0 ** k, weighted_base.theta)


# ---- a shift of the response ---------------------------------------------------------

SHIFT = 1e8
NO_INTERCEPT = ["Reaction ~ 0 + f + (1 | Subject)", "Reaction ~ 0 + f + Days + (1 | Subject)",
                "Reaction ~ 0 + f + Days + (Days | Subject)", "Reaction ~ f - 1 + (1 | Subject)"]


def check_shifted(r, base, shifted_cols):
    """r fitted to y + SHIFT, base to y: the columns that sum to one move by
    SHIFT (to the rounding of y + SHIFT, 2^-27), nothing else changes."""
    assert r.converged
    moved = np.array([SHIFT if name in shifted_cols else 0.0 for name in base.fe_names])
    np.testing.assert_allclose(r.beta - moved, base.beta, rtol=1e-8, atol=1e-7)
    assert r.sigma == pytest.approx(base.sigma, rel=1e-8)
    np.testing.assert_allclose(r.theta, base.theta, rtol=1e-7)
    np.testing.assert_allclose(r.std_errors, base.std_errors, rtol=1e-7)
    np.testing.assert_allclose(r.ranef().to_numpy(), base.ranef().to_numpy(), rtol=1e-6, atol=1e-6)
    assert r.criterion == pytest.approx(base.criterion, abs=1e-7)


@pytest.mark.parametrize("formula", NO_INTERCEPT)
@pytest.mark.parametrize("source", ["frame", "arrow"])
def test_shift_without_an_intercept_moves_only_the_columns_summing_to_one(ss, formula, source):
    shifted = ss.assign(Reaction=ss["Reaction"] + SHIFT)
    data = (lambda d: d) if source == "frame" else arrow
    base = quiet(corvane.lmm, formula, data(ss))
    r = quiet(corvane.lmm, formula, data(shifted))
    check_shifted(r, base, [n for n in base.fe_names if n.startswith("f")])


def test_shift_with_weights_and_arrays(ss):
    """Indicator columns of a plain array (no formula), with precision weights."""
    X = pd.get_dummies(ss["f"], dtype=float).assign(Days=ss["Days"])
    w = np.linspace(0.5, 2.0, len(ss))
    fits = [quiet(lambda y: corvane.LinearMixedModel(y, X, np.ones((len(ss), 1)), ss["Subject"],
                                                     weights=w).fit(), ss["Reaction"] + s)
            for s in (0.0, SHIFT)]
    check_shifted(fits[1], fits[0], ["a", "b", "c"])


def test_a_constant_offset_is_a_shift(ss):
    base = corvane.lmm(NO_INTERCEPT[1], ss)
    r = corvane.lmm("Reaction ~ 0 + f + Days + offset(o) + (1 | Subject)", ss.assign(o=-SHIFT))
    check_shifted(r, base, ["f[a]", "f[b]", "f[c]"])


def test_refit_bootstrap_and_pickle_keep_the_shift(ss):
    import pickle

    formula = NO_INTERCEPT[1]
    base = corvane.lmm(formula, ss)
    r = corvane.lmm(formula, ss.assign(Reaction=ss["Reaction"] + SHIFT))
    f_cols = ["f[a]", "f[b]", "f[c]"]
    check_shifted(r.model.refit(ss["Reaction"] + SHIFT), base, f_cols)
    check_shifted(pickle.loads(pickle.dumps(r.model)).fit(), base, f_cols)
    a = base.bootstrap(4, seed=1, progress=False).replicates
    b = r.bootstrap(4, seed=1, progress=False).replicates
    np.testing.assert_allclose(b["f[a]"] - SHIFT, a["f[a]"], atol=1e-6)
    np.testing.assert_allclose(b["Days"], a["Days"], rtol=1e-6)
    np.testing.assert_allclose(b["sigma"], a["sigma"], rtol=1e-6)


def test_reml_criterion_includes_the_unit_combinations_jacobian(ss):
    """X = 3 D (D indicators: X c = 1 for c = 1/3): REML's criterion is that
    of D plus log det(3 I)^2, a closed form."""
    D = pd.get_dummies(ss["f"], dtype=float).to_numpy()
    Z = np.ones((len(ss), 1))
    y = ss["Reaction"] + SHIFT
    plain = corvane.LinearMixedModel(y, D, Z, ss["Subject"]).fit()
    tripled = corvane.LinearMixedModel(y, 3.0 * D, Z, ss["Subject"]).fit()
    assert tripled.criterion == pytest.approx(plain.criterion + 2 * 3 * np.log(3.0), abs=1e-8)
    np.testing.assert_allclose(3.0 * tripled.beta, plain.beta, rtol=1e-13)


# ---- no residual variation ---------------------------------------------------------------

def exact_frame(kind):
    rng = np.random.default_rng(5)
    g = np.repeat(np.arange(12), 6)
    x = rng.normal(size=len(g))
    y = 1e3 + 2.5 * x
    if kind == "group":
        b = rng.normal(size=(12, 2))
        y = y + b[g, 0] + b[g, 1] * x
    return pd.DataFrame({"y": y, "x": x, "g": g})


@pytest.mark.parametrize("kind, text", [("fixed", "an exact linear function of the fixed-effects"),
                                        ("group", "within each group of 'g', an exact linear function")])
@pytest.mark.parametrize("source", ["arrays", "frame", "arrow"])
def test_a_response_without_residual_variation_is_refused(kind, text, source):
    df = exact_frame(kind)
    formula = "y ~ x + (x | g)"
    with pytest.raises(ValueError, match=f"the response 'y' is,? ?{text}"):
        if source == "arrays":
            X = np.column_stack([np.ones(len(df)), df["x"]])
            corvane.LinearMixedModel(df["y"], X, X, df["g"]).fit()
        else:
            corvane.lmm(formula, df if source == "frame" else arrow(df))


def test_refit_refuses_a_response_without_residual_variation():
    df = exact_frame("fixed")
    noisy = df.assign(y=df["y"] + np.random.default_rng(0).normal(size=len(df)))
    model = quiet(corvane.lmm, "y ~ x + (1 | g)", noisy).model
    with pytest.raises(ValueError, match="the new response is an exact linear function of the fixed-effects"):
        model.refit(df["y"])
