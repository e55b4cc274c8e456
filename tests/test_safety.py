"""The front end is never silently wrong: fits invariant to location and units,
unidentifiable models refused, no internal message, warnings, formulas with
R's meaning, nothing of the caller kept, alignment by label, safe
predictions, group labels by hashing, lengths checked, a new response."""

import copy
import gc
import math
import os
import pickle
import warnings
import weakref

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
pytest.importorskip("formulaic")

import corvane  # noqa: E402
from corvane import LinearMixedModel  # noqa: E402
from corvane._example import example_frame  # noqa: E402

pytestmark = [pytest.mark.wheel]

DATA = os.path.join(os.path.dirname(__file__), "data")
F2 = "Reaction ~ Days + (Days | Subject)"


@pytest.fixture(scope="module")
def ss():
    return pd.read_csv(os.path.join(DATA, "sleepstudy.csv"))


@pytest.fixture(scope="module")
def base(ss):
    return corvane.lmm(F2, ss)


def same_fit(a, b, crit_shift=0.0, t=None):
    """The same fit: the criterion (plus its known change), sigma, and the
    random effects' covariance mapped by b' = T b (T = I by default)."""
    assert a.criterion == pytest.approx(b.criterion + crit_shift, rel=1e-8)
    assert a.sigma == pytest.approx(b.sigma, rel=1e-6)
    t = np.eye(len(b.re_std)) if t is None else np.asarray(t)
    mapped = t @ b.cov_re @ t.T
    np.testing.assert_allclose(np.sqrt(np.diag(a.cov_re)), np.sqrt(np.diag(mapped)), rtol=1e-6)
    np.testing.assert_allclose(a.cov_re, mapped, rtol=1e-6, atol=1e-6 * np.abs(mapped).max())


# ---------------------------------------------------------------- 1. location and units

@pytest.mark.parametrize("shift", [1e2, 1e4, 1e6, 1e8])
def test_shifting_y_changes_only_the_intercept(ss, base, shift):
    res = corvane.lmm(F2, ss.assign(Reaction=ss.Reaction + shift))
    same_fit(res, base)
    np.testing.assert_allclose(res.beta - [shift, 0.0], base.beta, rtol=1e-6)


@pytest.mark.parametrize("shift", [1e2, 1e4, 1e6])
def test_shifting_days_is_a_reparametrisation(ss, base, shift):
    res = corvane.lmm(F2, ss.assign(Days=ss.Days + shift))
    # The intercept is now at Days = -shift: b0' = b0 - shift b1.
    same_fit(res, base, t=[[1.0, -shift], [0.0, 1.0]])
    # Slope unchanged (10.467 on this balanced design); the intercept moves.
    assert res.beta[1] == pytest.approx(10.4672859596, rel=1e-6)
    assert res.beta[0] + shift * res.beta[1] == pytest.approx(base.beta[0], rel=1e-6)


@pytest.mark.parametrize("unit", [1e-4, 1e-2, 1e2, 1e4, 1e6])
def test_days_in_other_units(ss, base, unit):
    res = corvane.lmm(F2, ss.assign(Days=ss.Days * unit))
    # REML: log det(X'V^-1 X) changes by 2 log(unit) exactly; b1' = b1 / unit.
    same_fit(res, base, crit_shift=2 * math.log(unit), t=[[1.0, 0.0], [0.0, 1.0 / unit]])
    assert res.beta[1] * unit == pytest.approx(base.beta[1], rel=1e-6)
    assert res.re_std[1] * unit == pytest.approx(base.re_std[1], rel=1e-6)


@pytest.mark.parametrize("c", [1e-4, 1.0, 10.0, 1e8])
def test_random_slope_units(ss, c):
    # lme4: REMLcrit 1766.5250274856 for c = 1 and 1e-4 (1766.5250274881 for c = 10).
    res = corvane.lmm("Reaction ~ Days + (0 + I(c * Days) | Subject)", ss, env={"c": c})
    assert res.converged
    assert res.criterion == pytest.approx(1766.5250274856, rel=1e-11)


def test_example_shifted_keeps_sigma():
    df = example_frame()
    a, b = corvane.lmm(F2, df), corvane.lmm(F2, df.assign(Reaction=df.Reaction + 1e8))
    assert b.sigma == pytest.approx(a.sigma, rel=1e-7) and a.sigma == pytest.approx(24.075, abs=1e-3)


# ---------------------------------------------------------------- 2. unidentifiable models

@pytest.mark.parametrize("groups, formula, match", [
    (lambda n: np.ones(n, int), "Reaction ~ Days + (1 | g)", "single level"),
    (lambda n: np.arange(n), "Reaction ~ Days + (1 | g)", "its own group"),
    (lambda n: np.arange(n) // 2, "Reaction ~ Days + (Days | g)", "180 observations and 180 random effects"),
])
def test_unidentifiable_models_are_refused(ss, groups, formula, match):
    with pytest.raises(ValueError, match=match):
        corvane.lmm(formula, ss.assign(g=groups(len(ss))))


@pytest.mark.parametrize("noise", [1e-8, 1e-10, 0.0])
def test_nearly_collinear_columns_are_dropped(ss, noise):
    x2 = ss.Days + noise * np.random.default_rng(0).standard_normal(len(ss))
    with pytest.warns(corvane.RankDeficiencyWarning, match=r"dropping 1 column: x2"):
        res = corvane.lmm("Reaction ~ Days + x2 + (1 | Subject)", ss.assign(x2=x2))
    ref = corvane.lmm("Reaction ~ Days + (1 | Subject)", ss)
    assert res.fe_names == ["(Intercept)", "Days"] and res.dropped_columns == ["x2"]
    assert res.criterion == pytest.approx(ref.criterion, rel=1e-10)
    assert "rank deficient so dropping 1 column: x2" in res.summary()


@pytest.mark.parametrize("scale", [1e160, 1e-170])
def test_extreme_but_full_rank_columns(ss, scale):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        res = corvane.lmm("Reaction ~ x + (1 | Subject)", ss.assign(x=ss.Days * scale))
    ref = corvane.lmm("Reaction ~ Days + (1 | Subject)", ss)
    assert res.beta[1] * scale == pytest.approx(ref.beta[1], rel=1e-9)
    assert res.std_errors[1] * scale == pytest.approx(ref.std_errors[1], rel=1e-6)


# ---------------------------------------------------------------- 3. no internal message

def test_constant_response_is_named(ss):
    with pytest.raises(ValueError, match="the response 'y' is constant"):
        corvane.lmm("y ~ Days + (1 | Subject)", ss.assign(y=3.5))


def test_huge_response_and_random_column_fit(ss):
    ref = corvane.lmm("Reaction ~ Days + (1 | Subject)", ss)
    big = corvane.lmm("y ~ Days + (1 | Subject)", ss.assign(y=ss.Reaction * 1e155))
    np.testing.assert_allclose(big.beta / 1e155, ref.beta, rtol=1e-12)
    assert big.sigma / 1e155 == pytest.approx(ref.sigma, rel=1e-6)
    slope = corvane.lmm("Reaction ~ Days + (0 + Days | Subject)", ss)
    wide = corvane.lmm("Reaction ~ Days + (0 + z | Subject)", ss.assign(z=ss.Days * 1e8))
    assert wide.criterion == pytest.approx(slope.criterion, rel=1e-11)
    assert wide.re_std[0] * 1e8 == pytest.approx(slope.re_std[0], rel=1e-6)


# ---------------------------------------------------------------- 4. warnings

def test_not_certified_warns_and_says_so(ss):
    with pytest.warns(corvane.ConvergenceWarning, match="did not converge"):
        res = corvane.lmm(F2, ss, max_iter=1)
    assert res.converged is False
    text = res.summary()
    assert "REML criterion (NOT converged)" in text and "at convergence" not in text


def test_boundary_fit_is_noted_and_warned_once():
    rng = np.random.default_rng(5)
    groups, per = 8, 6
    codes = np.repeat(np.arange(groups), per)
    e = rng.standard_normal(groups * per)
    means = np.array([e[codes == i].mean() for i in range(groups)])
    df = pd.DataFrame({"y": 3.0 + e - 0.9 * means[codes], "g": codes})
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        res = corvane.lmm("y ~ 1 + (1 | g)", df)
    singular = [w for w in caught if issubclass(w.category, corvane.SingularFitWarning)]
    assert len(singular) == 1 and singular[0].filename == __file__
    assert res.converged and res.status == "boundary" and res.boundary == ["(Intercept)"] and res.singular
    assert "boundary (singular) fit" in res.summary() and res.re_std[0] == 0.0


# ---------------------------------------------------------------- 5. formulas

def test_offset_as_lme4(ss):
    res = corvane.lmm("Reaction ~ Days + offset(Days) + (1 | Subject)", ss)
    # lme4: REMLcrit 1786.4650853949, Days 9.4672859596.
    assert res.criterion == pytest.approx(1786.4650853949, rel=1e-10)
    assert res.beta[1] == pytest.approx(9.4672859596, rel=1e-8)
    new = pd.DataFrame({"Days": [1.0, 2.0], "Subject": [308, 308]})
    expect = res.beta[0] + res.beta[1] * new.Days + new.Days + res.random_effects[308][0]
    np.testing.assert_allclose(res.predict(new), expect, rtol=1e-12)


@pytest.mark.parametrize("formula, data, error, match", [
    ("Subject ~ Days + (1 | Subject)", lambda d: d.assign(Subject=d.Subject.map(lambda s: f"s{s}")),
     ValueError, "response 'Subject' must be numeric"),
    ("Reaction ~ x + (1 | Subject)", lambda d: d.assign(x=np.where(d.Days > 7, np.inf, d.Days)),
     ValueError, "the fixed column 'x' has infinite values"),
    ("Reaction ~ np.log(Days) + (1 | Subject)", lambda d: d, ValueError, "'np.log(Days)' has infinite values"),
    ("Reaction ~ Days + (1 | Days)", lambda d: d.set_axis(["Reaction", "Days", "Days"], axis=1),
     ValueError, "duplicate column names: 'Days'"),
    ("Reaction ~ I(Days +) + (1 | Subject)", lambda d: d, ValueError, "bad formula"),
    ("Reaction ~ " + "(" * 200 + "Days" + ")" * 200 + " + (1 | Subject)", lambda d: d, None, None),
    ("Reaction ~ Days + (1 | gruppé)", lambda d: d.rename(columns={"Subject": "gruppé"}), None, None),
    ("Reaction ~ d + (1 | Subject)",
     lambda d: d.assign(d=pd.Timestamp("2020-01-01") + pd.to_timedelta(d.Days, "D")),
     ValueError, "column 'd' holds dates or times"),
    ("Reaction ~ x + (1 | Subject)", lambda d: d.assign(x=[2 ** 70 + i for i in range(len(d))]),
     ValueError, "integers that double precision cannot represent"),
    ("Reaction ~ Days + (1 | `0`)", lambda d: d.set_axis(["Reaction", "Days", 0], axis=1), None, None),
])
def test_formula_meanings_and_refusals(ss, formula, data, error, match):
    frame = data(ss.copy())
    if error is None:
        with np.errstate(divide="ignore"):
            res = corvane.lmm(formula, frame)
        assert res.converged and res.n_groups == 18
    else:
        with np.errstate(divide="ignore"), pytest.raises(error, match=match.replace("(", r"\(").replace(")", r"\)")):
            corvane.lmm(formula, frame)


def test_big_integers_that_fit_are_converted(ss):
    res = corvane.lmm("Reaction ~ x + (1 | Subject)", ss.assign(x=[2 ** 64 * int(d) for d in ss.Days]))
    ref = corvane.lmm("Reaction ~ Days + (1 | Subject)", ss)
    assert res.beta[1] * 2.0 ** 64 == pytest.approx(ref.beta[1], rel=1e-9)


# ---------------------------------------------------------------- 6. nothing of the caller

def test_formulas_do_not_see_the_callers_variables(ss):
    hidden = 3.0  # noqa: F841 - a local the formula must not see
    with pytest.raises(ValueError, match="unknown column 'hidden'"):
        corvane.lmm("Reaction ~ I(Days * hidden) + (1 | Subject)", ss)
    res = corvane.lmm("Reaction ~ I(Days * k) + (1 | Subject)", ss, env={"k": 3.0})
    assert res.converged


def test_results_keep_no_table_and_pickle(ss):
    frame = ss.assign(**{f"unused{k}": np.ones(len(ss)) for k in range(40)})
    alive = weakref.ref(frame)
    res = corvane.lmm(F2, frame)
    del frame
    gc.collect()
    assert alive() is None
    again = pickle.loads(pickle.dumps(res))
    assert again.criterion == res.criterion and np.array_equal(again.beta, res.beta)
    np.testing.assert_allclose(again.predict(ss), res.predict(ss), rtol=1e-14)
    assert copy.deepcopy(res).criterion == res.criterion
    # The model holds only the columns it uses.
    assert res.model.X.shape == (180, 2) and res.model.Z.shape == (180, 2)


# ---------------------------------------------------------------- 7. alignment by label

def test_pandas_inputs_are_paired_by_index():
    rng = np.random.default_rng(2)
    n, m = 300, 20
    df = pd.DataFrame({"x": rng.normal(size=n), "g": rng.integers(0, m, n)})
    df["y"] = 1 + 2.94 * df.x + rng.normal(size=m)[df.g] + 0.5 * rng.normal(size=n)
    X = df[["x"]].assign(c=1.0)
    ref = LinearMixedModel(df.y, X, X[["c"]], df.g).fit()
    order = rng.permutation(n)
    shuffled = LinearMixedModel(df.y, X.iloc[order], X[["c"]].iloc[order], df.g.iloc[order]).fit()
    assert shuffled.beta[0] == pytest.approx(ref.beta[0], rel=1e-10) and abs(shuffled.beta[0] - 2.94) < 0.1
    other = X.set_axis(np.arange(n) + 1000)
    with pytest.raises(ValueError, match="paired by index"):
        LinearMixedModel(df.y, other, other[["c"]], df.g)
    # predict takes columns by name, not position.
    new = pd.DataFrame({"c": [1.0, 1.0], "x": [0.0, 1.0]})
    np.testing.assert_allclose(ref.predict(new, include_random=False),
                               [ref.beta[1], ref.beta[0] + ref.beta[1]], rtol=1e-12)
    assert isinstance(ref.fitted_values, pd.Series) and ref.fitted_values.index.equals(df.index)


# ---------------------------------------------------------------- 8. safe predictions

def test_predictions_refuse_what_they_cannot_know(ss):
    frame = ss.assign(f=np.where(ss.Days < 5, "early", "late"))
    res = corvane.lmm("Reaction ~ Days + f + (1 | Subject)", frame)
    with pytest.raises(ValueError, match="new level 'middle' of factor 'f'"):
        res.predict(pd.DataFrame({"Days": [1.0], "f": ["middle"], "Subject": [308]}))
    new = pd.DataFrame({"Days": [1.0, np.nan, 2.0], "f": ["early", "late", None], "Subject": [308, 308, 308]})
    out = res.predict(new)
    assert np.isfinite(out[0]) and np.isnan(out[1]) and np.isnan(out[2])
    unseen = pd.DataFrame({"Days": [1.0], "f": ["early"], "Subject": [999]})
    assert res.predict(unseen)[0] == pytest.approx(res.predict(unseen, include_random=False)[0])
    assert np.isnan(res.predict(unseen, new_groups="nan")[0])
    with pytest.raises(ValueError, match="group 999 was not in the fitted data"):
        res.predict(unseen, new_groups="error")
    with pytest.raises(TypeError, match="group label '308'"):
        res.predict(unseen.assign(Subject=["308"]))


# ---------------------------------------------------------------- 9. group labels

@pytest.mark.filterwarnings("ignore::corvane.SingularFitWarning")
def test_labels_without_an_order_are_hashed(ss):
    labels = [frozenset({i % 4}) for i in range(len(ss))]
    res = corvane.lmm("Reaction ~ Days + (1 | g)", ss.assign(g=labels))
    assert res.n_groups == 4
    mixed = [1 if i % 2 else "1" for i in range(len(ss))]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", corvane.SingularFitWarning)
        res = corvane.lmm("Reaction ~ Days + (1 | g)", ss.assign(g=mixed))
    assert res.n_groups == 2 and set(res.random_effects) == {1, "1"}
    d = res.to_dict()
    assert sorted(map(repr, d["groups"])) == ["'1'", "1"] and len(d["random_effects"]) == 2
    arr = LinearMixedModel(ss.Reaction, np.ones((180, 1)), np.ones((180, 1)),
                           np.array([object(), object()] * 90, dtype=object))
    assert arr.m == 2  # two distinct objects, each a group


# ---------------------------------------------------------------- 11. lengths, 13. smaller ones

def test_lengths_and_arguments_are_checked(ss, base):
    model = base.model
    with pytest.raises(ValueError, match="theta must have 3 entries"):
        model.evaluate([1.0, 0.0])
    with pytest.raises(ValueError, match="theta must have 3 entries"):
        model.evaluate([1.0, 0.0, 1.0, 0.0])
    with pytest.raises(ValueError, match="multiple of 3"):
        model.fit(starts=[1.0, 0.0, 1.0, 0.5])
    with pytest.raises(ValueError, match="each start must have 3 entries"):
        model.fit(starts=[[1.0, 0.0], [1.0, 0.0]])
    for bad in (None, "False", 1):
        with pytest.raises(TypeError, match="reml must be True or False"):
            corvane.lmm(F2, ss, reml=bad)


# ---------------------------------------------------------------- 12. a new response

@pytest.mark.filterwarnings("ignore::corvane.SingularFitWarning")
def test_refit_equals_a_fresh_fit(ss, base):
    y2 = ss.Reaction * 1e-3 + 50.0 * np.sin(ss.Days)
    fresh = corvane.lmm(F2, ss.assign(Reaction=y2))
    again = base.model.refit(y2)
    assert base.refit(y2).criterion == again.criterion
    assert again.criterion == pytest.approx(fresh.criterion, rel=1e-11)
    np.testing.assert_allclose(again.beta, fresh.beta, rtol=1e-7)
    # With rescaled random-effect columns as well.
    wide = corvane.lmm("Reaction ~ Days + (0 + z | Subject)", ss.assign(z=ss.Days * 1e8))
    assert wide.model.refit(ss.Reaction).criterion == pytest.approx(wide.criterion, rel=1e-11)
