"""Type III tests of factor designs: lmerTest's anova (numbers stored in
tests/data/type3_factors.json by tests/r/type3_factors.R), the classical
split-plot analysis where the design is balanced, hypotheses written
directly in cell means, and invariance under the order of the terms, the
coding and the order of the levels; models read in batches against models
in memory."""

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
with open(os.path.join(DATA, "type3_factors.json")) as f:
    REFERENCE = json.load(f)
COLUMNS = ["Sum Sq", "Mean Sq", "NumDF", "DenDF", "F value", "Pr(>F)"]


def frame(name, drop=None):
    df = pd.read_csv(os.path.join(DATA, f"{name}.csv"))
    if name == "cake":
        df["temp"] = df["temp"].astype(str)  # a factor in R; the labels sort as the numbers
    if drop:
        hit = np.logical_and.reduce([df[k] == v for k, v in drop.items()])
        df = df[~hit].reset_index(drop=True)
    return df


def fit(formula, data):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", corvane.RankDeficiencyWarning)
        return corvane.lmm(formula, data)


def python_term(r_term, formula):
    """The name corvane gives an R term: factor(v) is C(v), and a factor
    given sum contrasts in R is C(v, Sum) in the formula."""
    parts = []
    for v in r_term.split(":"):
        v = v[len("factor("):-1] if v.startswith("factor(") else v
        parts.append(next((c for c in (f"C({v}, Sum)", f"C({v})") if c in formula), v))
    return ":".join(parts)


@pytest.mark.parametrize("entry", REFERENCE, ids=lambda e: e["name"])
def test_type3_matches_lmertest(entry):
    r = fit(entry["python"], frame(entry["data"], entry["drop"]))
    assert r.criterion <= entry["criterion"] * (1 + 1e-12)
    a = r.anova()
    assert a.index.tolist() == [python_term(t, entry["python"]) for t in entry["terms"]]
    np.testing.assert_array_equal(a["NumDF"], entry["numdf"])
    # lmerTest rounds its contrasts to 7 significant digits: 1e-5 covers
    # that rounding on the smallest F values.
    np.testing.assert_allclose(a["F value"], entry["F"], rtol=1e-5)
    np.testing.assert_allclose(a["DenDF"], entry["dendf"], rtol=1e-6)
    np.testing.assert_allclose(a["Pr(>F)"], entry["p"], rtol=1e-4)


@pytest.mark.parametrize("entry", [e for e in REFERENCE if "aov_F" in e], ids=lambda e: e["name"])
def test_balanced_split_plot_equals_the_stratum_f_tests(entry):
    """Whole-plot terms tested against the whole-plot stratum, the others
    against the subplot stratum, with the strata's residual df."""
    a = fit(entry["python"], frame(entry["data"])).anova()
    np.testing.assert_allclose(a["F value"], entry["aov_F"], rtol=1e-7)
    np.testing.assert_allclose(a["DenDF"], entry["aov_dendf"], rtol=1e-6)


def _relevel(df, column):
    levels = sorted(df[column].unique())
    return df.assign(**{column: pd.Categorical(df[column], levels[1:] + levels[:1])})


@pytest.mark.parametrize("data, formula, variant, change", [
    ("cake", "angle ~ recipe * temp + (1 | rr)", "angle ~ C(recipe, Sum) * temp + (1 | rr)", None),
    ("cake", "angle ~ recipe * temp + (1 | rr)", "angle ~ recipe * temp + (1 | rr)", "recipe"),
    ("type3_design", "y ~ A * B * x + (1 | g)", "y ~ x * C(A, Sum) * B + (1 | g)", "B"),
    ("type3_design", "y ~ A * B * E + (1 | g)", "y ~ C(E, Sum) * C(B, Sum) * A + (1 | g)", "A"),
    # Formulas without every margin: a factor coded fully beside its margin.
    ("type3_design", "y ~ A + A:B + (1 | g)", "y ~ A + A:B + (1 | g)", "B"),
    ("type3_design", "y ~ x + A:x + (1 | g)", "y ~ x + C(A, Sum):x + (1 | g)", "A"),
])
def test_type3_depends_neither_on_order_nor_coding_nor_reference_level(data, formula, variant, change):
    df = frame(data)
    a = fit(formula, df).anova()
    b = fit(variant, df if change is None else _relevel(df, change)).anova()
    key = (lambda name: frozenset(p.replace("C(", "").replace(", Sum)", "") for p in name.split(":")))
    b.index = [key(n) for n in b.index]
    a.index = [key(n) for n in a.index]
    b = b.loc[a.index]
    if change is None:
        pd.testing.assert_frame_equal(b, a, rtol=1e-7)
    else:
        # Another reference level: the same hypotheses in another basis.
        # F is invariant; Satterthwaite's df of a multi-df test is not quite
        # (it combines the df of the basis' directions), in lmerTest too.
        pd.testing.assert_frame_equal(b[["Sum Sq", "NumDF", "F value"]], a[["Sum Sq", "NumDF", "F value"]],
                                      rtol=1e-7)
        np.testing.assert_allclose(b["DenDF"], a["DenDF"], rtol=1e-4)


def _cell_rows(r, cells):
    """Rows of the model's X at the given cells (dicts of column values),
    built by the model's own columns on a one-row-per-cell table."""
    model = r.model
    grid = pd.DataFrame(cells)
    return model.spec.fixed.matrix(grid, new_data=True)[:, model.kept]


def test_nested_main_effect_is_the_test_of_equal_averages_over_its_cells():
    """y ~ A + A:B: A's hypothesis is that the averages over B of the cell
    means are equal across A (SAS's type III); written here directly in
    cell means."""
    df = frame("type3_design")
    r = fit("y ~ A + A:B + (1 | g)", df)
    avg = {a: _cell_rows(r, [{"A": a, "B": b} for b in ("b1", "b2")]).mean(axis=0) for a in ("a1", "a2", "a3")}
    L = np.array([avg["a2"] - avg["a1"], avg["a3"] - avg["a1"]])
    direct = r.contrast_test(L)
    row = r.anova().loc["A"]
    assert row["NumDF"] == 2
    assert row["F value"] == pytest.approx(direct["F value"].iloc[0], rel=1e-9)
    assert row["DenDF"] == pytest.approx(direct["DenDF"].iloc[0], rel=1e-9)


def test_empty_cell_main_effect_follows_the_data():
    """With an empty cell the hypotheses depend on the data's rows (lmerTest
    projects the full dummy coding on the model's columns): the same table
    when the rows are given in another order, and the interaction tested by
    the one estimable interaction contrast."""
    drop = {"A": "a3", "B": "b2"}
    df = frame("type3_design", drop)
    a = fit("y ~ A * B + x + (1 | g)", df).anova()
    b = fit("y ~ A * B + x + (1 | g)", df.sample(frac=1.0, random_state=3)).anova()
    pd.testing.assert_frame_equal(a, b, rtol=1e-7)
    assert a.loc["A:B", "NumDF"] == 1


pa = pytest.importorskip("pyarrow")


@pytest.mark.parametrize("data, formula", [
    ("cake", "angle ~ recipe * temp + (1 | rr)"),
    ("type3_design", "y ~ C(A, Sum) * B * x + (1 | g)"),
    # Rank deficient (x2 = 2 x) but no term contained in another: each term
    # is tested by its own columns, which needs no rows.
    ("type3_design", "y ~ A + B + x + x2 + (1 | g)"),
])
def test_batched_model_gives_the_table_in_memory(data, formula):
    df = frame(data)
    if "x" in df:
        df["x2"] = 2.0 * df["x"]
    batched = fit(formula, pa.Table.from_pandas(df, preserve_index=False))
    assert not batched.model.rows_kept
    pd.testing.assert_frame_equal(batched.anova(), fit(formula, df).anova(), rtol=1e-6)


def test_batched_rank_deficient_design_with_contained_terms_is_refused():
    df = frame("type3_design", {"A": "a3", "B": "b2"})
    r = fit("y ~ A * B + x + (1 | g)", pa.Table.from_pandas(df, preserve_index=False))
    with pytest.raises(ValueError, match=r"type III tests of terms contained in others \(A, B\) need the rows.*"
                                         r"A\[T.a3\]:B\[T.b2\].*read in batches"):
        r.anova()


def test_factor_computed_by_an_expression_is_refused():
    df = frame("type3_design")
    r = fit("y ~ C(np.round(x)) * A + (1 | g)", df)
    with pytest.raises(NotImplementedError, match=r"the factor 'C\(np.round\(x\)\)' is computed otherwise"):
        r.anova()


@pytest.mark.parametrize("formula, variant", [
    ("y ~ A * B + x + (1 | g)", "y ~ C(A, Sum) * C(B, Sum) + x + (1 | g)"),
    ("y ~ A * B * x + (1 | g)", "y ~ x * C(B, Sum) * A + (1 | g)"),
])
def test_term_with_every_column_aliased_keeps_its_row(formula, variant):
    """Two empty cells of A x B (a1 with b2, a2 with b1) leave the
    interaction no estimable column: its row is kept with NumDF 0 and NaN,
    as lmerTest's table has it, and the other rows do not depend on the
    coding."""
    df = frame("type3_design")
    df = df[~(((df["A"] == "a1") & (df["B"] == "b2")) | ((df["A"] == "a2") & (df["B"] == "b1")))]
    a, b = fit(formula, df).anova(), fit(variant, df).anova()
    aliased = [t for t in a.index if {"A", "B"} <= set(t.split(":"))]
    assert aliased and a.loc[aliased, "NumDF"].tolist() == [0] * len(aliased)
    assert a.loc[aliased, ["Sum Sq", "Mean Sq", "DenDF", "F value", "Pr(>F)"]].isna().all(axis=None)
    key = (lambda name: frozenset(p.replace("C(", "").replace(", Sum)", "") for p in name.split(":")))
    a.index, b.index = [key(n) for n in a.index], [key(n) for n in b.index]
    pd.testing.assert_frame_equal(b.loc[a.index], a, rtol=1e-7)
