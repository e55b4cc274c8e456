"""Satterthwaite's t tests and type III tables against lmerTest on models
the other inference tests do not hold: a single formula term with a
multi-df test (lmerTest takes it in its type I basis, and Satterthwaite's
denominator df depends on the basis), random slopes on a factor with one
observed level in some groups, q = 1 and 3, REML and ML, sum coding, no
intercept, terms whose columns are all aliased (their rows kept, as
lmerTest keeps them). Numbers in tests/data/inference_heldout.json from
tests/r/inference_heldout.R."""

import json
import math
import os
import warnings

import numpy as np
import pandas as pd
import pytest

import corvane
from corvane.inference import satterthwaite

pytestmark = [pytest.mark.reference]

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")
with open(os.path.join(DATA, "inference_heldout.json")) as f:
    REFERENCE = json.load(f)
BY_NAME = {e["name"]: e for e in REFERENCE}
# Grouping and factor columns whose labels R reads as text.
_TEXT = ("Worker", "Machine", "Subject", "grp", "dose", "trt")


def _list(v):
    """A JSON value R wrote as a scalar when it had one element."""
    return v if isinstance(v, list) else [v]


def _num(v):
    return np.array([math.nan if x is None else x for x in _list(v)], dtype=np.float64)


def frame(entry):
    df = pd.read_csv(os.path.join(DATA, f"{entry['data']}.csv"))
    for c in _TEXT:
        if c in df:
            df[c] = df[c].astype(str)
    for drop in entry["drop"]:
        hit = np.logical_and.reduce([df[k] == v for k, v in drop.items()])
        df = df[~hit]
    return df.reset_index(drop=True)


_FITS = {}


def fit(name, source=lambda df: df):
    key = (name, source)
    if key not in _FITS:
        entry = BY_NAME[name]
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", corvane.RankDeficiencyWarning)
            warnings.simplefilter("ignore", corvane.SingularFitWarning)
            _FITS[key] = corvane.lmm(entry["python"], source(frame(entry)), reml=entry["reml"])
    return _FITS[key]


def python_term(r_term, entry):
    """corvane's name of an R term (factor(v) is C(v), a factor given sum
    contrasts in R is C(v, Sum) in the formula)."""
    parts = []
    for v in r_term.split(":"):
        v = v[len("factor("):-1] if v.startswith("factor(") else v
        parts.append(next((c for c in (f"C({v}, Sum)", f"C({v})") if c in entry["python"]), v))
    return ":".join(parts)


@pytest.mark.parametrize("name", BY_NAME)
def test_tables_match_lmertest(name):
    """The t tests as lmerTest's summary; every term of the formula with a
    row in the type III table (one whose columns are all aliased: NumDF 0
    and NaN, where lmerTest has NA), the others as lmerTest's anova, DenDF
    in lmerTest's basis."""
    entry, r = BY_NAME[name], fit(name)
    assert r.criterion <= entry["criterion"] * (1 + 1e-12)
    table = r.coef_table()
    # lmerTest differentiates numerically: 1e-4 on the df.
    np.testing.assert_allclose(table["t value"], _num(entry["coef"]["t"]), rtol=1e-5)
    np.testing.assert_allclose(table["df"], _num(entry["coef"]["df"]), rtol=1e-4)
    np.testing.assert_allclose(table["Pr(>|t|)"], _num(entry["coef"]["p"]), rtol=1e-4)
    a = r.anova()
    ref = entry["anova"]
    names = [python_term(t, entry) for t in _list(ref["terms"])]
    assert sorted(a.index) == sorted(names)
    a = a.loc[names]
    numdf = _num(ref["numdf"])
    np.testing.assert_array_equal(a["NumDF"], np.where(np.isnan(numdf), 0, numdf))
    np.testing.assert_allclose(a["F value"], _num(ref["F"]), rtol=1e-5)
    np.testing.assert_allclose(a["DenDF"], _num(ref["dendf"]), rtol=1e-5)
    np.testing.assert_allclose(a["Pr(>F)"], _num(ref["p"]), rtol=1e-4)


pa = pytest.importorskip("pyarrow")


def _arrow(df):
    return pa.Table.from_pandas(df, preserve_index=False)


@pytest.mark.parametrize("name", ["Machines-q3", "Machines-q3-sum", "dose-by-x-only", "x-aliased"])
def test_batched_single_term_and_aliased_tables_match_lmertest(name):
    """A model read in batches keeps no rows: the single term's basis comes
    from X'X, and an aliased term still has its row."""
    entry, r = BY_NAME[name], fit(name, _arrow)
    assert not r.model.rows_kept
    a = r.anova()
    names = [python_term(t, entry) for t in _list(entry["anova"]["terms"])]
    a = a.loc[names]
    np.testing.assert_allclose(a["DenDF"], _num(entry["anova"]["dendf"]), rtol=1e-5)
    np.testing.assert_allclose(a["F value"], _num(entry["anova"]["F"]), rtol=1e-5)


@pytest.mark.parametrize("nu, expected", [
    # nu / (nu - 2) -> 1 as nu -> inf: E = 1 + 10 / 8, 2 E / (E - 2) = 18.
    ([math.inf, 10.0], 18.0),
    ([10.0, math.inf, math.inf], 2.0 * 3.25 / 0.25),
    ([math.inf, math.inf], math.inf),
    ([10.0, 10.0 + 1e-12], 10.0),
    ([1.5, 30.0], 2.0),
])
def test_fstat_ddf_limits(nu, expected):
    assert satterthwaite.fstat_ddf(np.array(nu)) == pytest.approx(expected, rel=1e-12)


@pytest.mark.parametrize("rhs, match", [
    ([1.0, 2.0, 3.0], r"rhs must be one value or one per row of L \(2\), got shape \(3,\)"),
    ([[1.0, 2.0]], r"rhs must be one value or one per row of L \(2\), got shape \(1, 2\)"),
    ([1.0, math.nan], r"rhs must be finite, got \[1.0, nan\]"),
])
def test_contrast_rhs_is_checked(rhs, match):
    r = fit("Machines-q1")
    with pytest.raises(ValueError, match=match):
        r.contrast_test([[0, 1, 0], [0, 0, 1]], rhs=rhs)
