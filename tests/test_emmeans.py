"""Estimated marginal means and pairwise comparisons: emmeans' numbers for
lmer fits (stored in tests/data/emmeans_reference.json by
tests/r/emmeans_reference.R) under Satterthwaite, Kenward-Roger and the
normal approximation; the same means under other codings and term orders;
means as averages of the model's own population predictions; models read
in batches against models in memory; and the refusals."""

import itertools
import json
import os
import warnings

import numpy as np
import pandas as pd
import pytest

import corvane

pytestmark = [pytest.mark.reference]

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")
with open(os.path.join(DATA, "emmeans_reference.json")) as f:
    REFERENCE = json.load(f)
EMM_COLUMNS = ["emmean", "SE", "df", "lower.CL", "upper.CL"]
PAIR_COLUMNS = ["estimate", "SE", "df", "t.ratio", "p.value"]


def _list(v):
    return v if isinstance(v, list) else [v]


def _numbers(v):
    return np.array([np.nan if x is None else x for x in _list(v)], dtype=float)


def frame(case):
    df = pd.read_csv(os.path.join(DATA, f"{case['data']}.csv"))
    if case["name"] == "design-poly":
        df = df.dropna()  # the rows R's poly() was given
    return df


_FITS = {}


def fit(case, formula):
    key = (case["name"], formula)
    if key not in _FITS:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", corvane.RankDeficiencyWarning)
            warnings.simplefilter("ignore", corvane.SingularFitWarning)  # (x | g) on data without slopes
            _FITS[key] = corvane.lmm(formula, frame(case))
    return _FITS[key]


def queries(ddfs):
    out = []
    for case in REFERENCE:
        for formula in _list(case["python"]):
            for k, q in enumerate(case["results"]):
                if q["ddf"] in ddfs:
                    out.append(pytest.param(case, formula, q, id=f"{case['name']}|{formula}|{k}"))
    return out


def call_args(q):
    return dict(specs=q["specs"], by=q.get("by"), at=q.get("at") or None, ddf=q["ddf"])


def expected_df(values, estimate, ddf):
    """JSON has no infinity: the normal method's df are stored as null."""
    df = _numbers(values)
    if ddf == "normal":
        df[~np.isnan(_numbers(estimate))] = np.inf
    return df


def check_emmeans(r, q):
    got = r.emmeans(level=q["level"], **call_args(q))
    want = q["emmeans"]
    specs_by = _list(q["specs"]) + _list(q.get("by") or [])
    assert got.columns.tolist() == specs_by + EMM_COLUMNS
    for v in specs_by:  # the levels, in emmeans' order
        assert [_level(x) for x in got[v]] == [_level(x) for x in _list(want[v])]
    for col in EMM_COLUMNS:
        exp = expected_df(want[col], want["emmean"], q["ddf"]) if col == "df" else _numbers(want[col])
        np.testing.assert_allclose(got[col].to_numpy(float), exp, rtol=1e-6, err_msg=col)


def _level(x):
    """A level as a number when it reads as one (R writes factor levels as text)."""
    try:
        return float(x)
    except ValueError:
        return str(x)


def check_pairs(r, q):
    for adjust, want in q["pairs"].items():
        got = r.pairwise(adjust=adjust, **call_args(q))
        by = _list(q.get("by") or [])
        assert got.columns.tolist() == ["contrast"] + by + PAIR_COLUMNS
        assert got["contrast"].tolist() == _list(want["contrast"])
        for col in PAIR_COLUMNS:
            if col == "df":
                exp = expected_df(want[col], want["estimate"], q["ddf"])
            else:
                exp = _numbers(want[col])
            if col == "p.value":
                # R's ptukey is accurate to about 1e-11 absolute far in the tail.
                np.testing.assert_allclose(got[col].to_numpy(float), exp, rtol=1e-4, atol=1e-10,
                                           err_msg=f"{adjust} {col}")
            else:
                np.testing.assert_allclose(got[col].to_numpy(float), exp, rtol=1e-6, atol=1e-12,
                                           err_msg=f"{adjust} {col}")


@pytest.mark.parametrize("case, formula, q", queries({"satterthwaite", "normal"}))
def test_emmeans_matches_r(case, formula, q):
    r = fit(case, formula)
    if formula == _list(case["python"])[0]:  # R's coding: REML's criterion depends on it
        assert r.criterion <= case["criterion"] * (1 + 1e-10)
    check_emmeans(r, q)


@pytest.mark.parametrize("case, formula, q", queries({"satterthwaite", "normal"}))
def test_pairwise_matches_r(case, formula, q):
    check_pairs(fit(case, formula), q)


@pytest.mark.parametrize("case, formula, q", queries({"kenward-roger"}))
def test_kenward_roger_matches_r(case, formula, q):
    r = fit(case, formula)
    check_emmeans(r, q)
    check_pairs(r, q)


# ---- independent truths ---------------------------------------------------------

DESIGN = {"name": "design", "data": "emmeans_design"}


@pytest.mark.parametrize("formula, specs, by", [
    ("y ~ A * B + x + (1 | g)", "A", None),
    ("y ~ C(A, Sum) * B + x + (x | g)", "B", None),
    ("y ~ A * x + B + (1 | g)", ["A", "B"], None),
    ("y ~ A + B * log(z) + (1 | g)", "A", "B"),
])
def test_means_are_averages_of_population_predictions(formula, specs, by):
    """Each mean is the equally weighted average, over the other factors'
    levels, of the model's predictions without random effects with the
    covariates at their means."""
    df = frame(DESIGN)
    r = fit(DESIGN, formula)
    e = r.emmeans(specs, by=by)
    used = df.dropna(subset=["y", "x", "A", "B", "z"] if "x" in formula else ["y", "A", "B", "z"])
    means = {"x": used["x"].mean(), "z": used["z"].mean()}
    levels = {v: sorted(df[v].dropna().unique()) for v in ("A", "B")}
    rows = pd.DataFrame([dict(A=a, B=b, **means) for a, b in itertools.product(levels["A"], levels["B"])])
    rows["pred"] = r.predict(rows, include_random=False).to_numpy()
    keys = ([specs] if isinstance(specs, str) else specs) + ([by] if by else [])
    want = rows.groupby(keys, sort=False)["pred"].mean()
    got = e.set_index(keys)["emmean"]
    np.testing.assert_allclose(got.to_numpy(), want.loc[got.index].to_numpy(), rtol=1e-10)


def test_offset_is_evaluated_on_the_grid():
    """An offset follows its covariate's value in at= (one more unit of x,
    one more unit of the mean)."""
    r = fit(DESIGN, "y ~ A + B + offset(x) + (1 | g)")
    base, shifted = r.emmeans("B"), r.emmeans("B", at={"x": 1.0})
    used = frame(DESIGN).dropna(subset=["y", "x"])
    np.testing.assert_allclose(shifted["emmean"], base["emmean"] + 1.0 - used["x"].mean(), rtol=1e-12)
    np.testing.assert_allclose(shifted["SE"], base["SE"], rtol=1e-12)


def test_adjustments_relate_as_they_must():
    r = fit(DESIGN, "y ~ A * B + x + (1 | g)")
    p = {a: r.pairwise("A", by="B", adjust=a)["p.value"].to_numpy() for a in ("none", "bonferroni", "holm")}
    np.testing.assert_allclose(p["bonferroni"], np.minimum(1.0, 3 * p["none"]), rtol=1e-14)
    assert np.all(p["holm"] <= p["bonferroni"] + 1e-15) and np.all(p["holm"] >= p["none"])
    two = r.pairwise("B", adjust="tukey")  # one comparison: nothing to adjust
    np.testing.assert_allclose(two["p.value"], r.pairwise("B", adjust="none")["p.value"], rtol=1e-12)


def test_at_subsets_levels_and_averages_covariate_values():
    r = fit(DESIGN, "y ~ A * x + B + (1 | g)")
    two = r.emmeans("A", at={"x": [2.0, 8.0]})
    by_x = r.emmeans("A", by="x", at={"x": [2.0, 8.0]})
    np.testing.assert_allclose(two["emmean"], by_x.groupby("A")["emmean"].mean().to_numpy(), rtol=1e-12)
    sub = r.emmeans("A", at={"A": ["high", "ctl"]})
    assert sub["A"].tolist() == ["high", "ctl"]
    np.testing.assert_allclose(sub["emmean"], r.emmeans("A").set_index("A").loc[["high", "ctl"], "emmean"],
                               rtol=1e-12)


# ---- data read in batches ---------------------------------------------------------

@pytest.fixture(scope="module")
def parquet_design(tmp_path_factory):
    pytest.importorskip("pyarrow")
    path = tmp_path_factory.mktemp("emm") / "design.parquet"
    frame(DESIGN).to_parquet(path, index=False)
    return str(path)


@pytest.mark.parametrize("formula, specs, by", [
    ("y ~ A + B + x + (1 | g)", "A", None),
    ("y ~ A * B + x + (x | g)", "A", "B"),
    ("y ~ 0 + A + x + (1 | g)", "A", None),
])
def test_batched_model_gives_the_means_of_the_model_in_memory(parquet_design, formula, specs, by):
    mem = fit(DESIGN, formula)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", corvane.SingularFitWarning)
        bat = corvane.lmm(formula, parquet_design)
    assert not bat.model.rows_kept
    a, b = bat.emmeans(specs, by=by), mem.emmeans(specs, by=by)
    for col in EMM_COLUMNS:
        np.testing.assert_allclose(a[col], b[col], rtol=1e-7, err_msg=col)
    np.testing.assert_allclose(bat.pairwise(specs, by=by)["p.value"], mem.pairwise(specs, by=by)["p.value"],
                               rtol=1e-6)


def test_batched_model_refuses_what_its_products_cannot_tell(parquet_design, tmp_path):
    bat = corvane.lmm("y ~ A + log(z) + (1 | g)", parquet_design)
    with pytest.raises(ValueError, match=r"mean of the covariate 'z'.*at=\{'z': value\}"):
        bat.emmeans("A")
    mem = fit(DESIGN, "y ~ A + log(z) + (1 | g)")
    z = float(frame(DESIGN).dropna(subset=["y"])["z"].mean())
    np.testing.assert_allclose(bat.emmeans("A", at={"z": z})["emmean"], mem.emmeans("A")["emmean"], rtol=1e-7)
    empty = {"name": "empty", "data": "emmeans_empty"}
    path = tmp_path / "empty.parquet"
    frame(empty).to_parquet(path, index=False)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", corvane.RankDeficiencyWarning)
        bat = corvane.lmm("y ~ A * K + (1 | g)", str(path))
    with pytest.raises(ValueError, match="rank-deficient.*batches"):
        bat.emmeans("A")


# ---- refusals ---------------------------------------------------------------------

@pytest.mark.parametrize("call, match", [
    (lambda r: r.emmeans("Q"), "specs: 'Q' is not a variable"),
    (lambda r: r.emmeans([]), "specs must name at least one"),
    (lambda r: r.emmeans("A", by="A"), "by: 'A' is also in specs"),
    (lambda r: r.emmeans(["A", "A"]), "names a variable twice"),
    (lambda r: r.emmeans("A", ddf="kr"), "ddf must be one of.*'kr'"),
    (lambda r: r.emmeans("A", level=1.5), "level must be a number between 0 and 1, got 1.5"),
    (lambda r: r.emmeans("A", at={"w": 1}), "at: 'w' is not a variable"),
    (lambda r: r.emmeans("A", at={"A": "none"}), "at\\['A'\\]: 'none' is not a level"),
    (lambda r: r.emmeans("A", at={"x": "big"}), "at\\['x'\\] must be numbers"),
    (lambda r: r.pairwise("A", adjust="sidak"), "adjust must be one of.*'sidak'"),
])
def test_invalid_arguments_are_named(call, match):
    with pytest.raises(ValueError, match=match):
        call(fit(DESIGN, "y ~ A * B + x + (1 | g)"))


def test_model_given_as_matrices_is_refused():
    from corvane._example import example_arrays

    a = example_arrays()
    r = corvane.LinearMixedModel(a["y"], a["X"], a["Z"], a["groups"]).fit()
    with pytest.raises(ValueError, match="fitted from a formula"):
        r.emmeans("x")

