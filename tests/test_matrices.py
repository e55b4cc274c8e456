"""The model's matrices for data read in batches: a later batch goes
through the first batch's spec without the formula being read again, and
gives what building it on its own with the same levels gives."""

import numpy as np
import pandas as pd
import pytest

import corvane
from corvane.formula import reading as formula
from corvane.formula import build as matrices
from corvane.data import sources

pytest.importorskip("formulaic")

LEVELS = {"f": ["a", "b", "c"]}

FORMULAS = [
    "y ~ x + f + (x | g)",                                 # plain columns: built directly
    "y ~ x + I(x^2) + log(abs(x) + 1) + f + (1 | g)",      # formulaic's terms
    "y - x ~ f + (1 | g) + offset(2 * x)",                 # arithmetic response and offset
    "y ~ 0 + f + C(f):x + (1 | g)",                        # full dummy coding, interactions
]


@pytest.fixture(scope="module")
def batches():
    rng = np.random.default_rng(5)
    n, m = 900, 15
    g, x = rng.integers(0, m, n), rng.standard_normal(n)
    b = rng.standard_normal((m, 2)) * [1.0, 0.5]
    df = pd.DataFrame({"y": 1 + x + b[g, 0] + b[g, 1] * x + rng.standard_normal(n), "x": x,
                       "f": rng.choice(["a", "b", "c"], n), "g": [f"s{k:02d}" for k in g]})
    df.loc[[4, 300, 700], "x"] = np.nan
    return [df.iloc[k:k + 300].reset_index(drop=True) for k in (0, 300, 600)]


@pytest.fixture
def no_reading(monkeypatch):
    """Makes reading a formula an error (after the first batch's build)."""
    def refuse(*args, **kwargs):
        raise AssertionError("the formula was read again")

    def arm():
        monkeypatch.setattr(matrices, "read_formula", refuse)
        monkeypatch.setattr(formula, "read_formula", refuse)
    return arm


@pytest.mark.parametrize("text", FORMULAS)
def test_a_later_batch_is_built_without_reading_the_formula(batches, no_reading, text):
    spec = matrices.build(text, batches[0], levels=LEVELS)[0]
    alone = [matrices.build(text, b, levels=LEVELS) for b in batches[1:]]
    no_reading()
    for b, want in zip(batches[1:], alone):
        got = matrices.build_batch(spec, b, LEVELS)
        assert got[0] is spec
        for a, w in zip(got[1:6], want[1:6]):
            np.testing.assert_array_equal(np.asarray(a), np.asarray(w))
        assert got[6] == want[6]
        np.testing.assert_array_equal(got[7], want[7])


@pytest.mark.parametrize("text, used", [(FORMULAS[0], ("f", "x", "y")), (FORMULAS[2], ("f", "x", "y")),
                                        ("y ~ x + (1 | g) + offset(o)", ("o", "x", "y"))])
def test_the_spec_carries_the_formula_as_read(batches, text, used):
    frame = batches[0].assign(o=1.0)
    spec = matrices.build(text, frame, levels=LEVELS)[0]
    assert (spec.formula, spec.used, spec.parsed.group) == (text, used, "g")


@pytest.mark.parametrize("drop, match", [("x", r"unknown column 'x' in formula"),
                                         ("g", r"unknown column 'g' in formula")])
def test_a_later_batch_without_a_column_is_refused_by_name(batches, drop, match):
    spec = matrices.build(FORMULAS[0], batches[0], levels=LEVELS)[0]
    with pytest.raises(ValueError, match=match):
        matrices.build_batch(spec, batches[1].drop(columns=drop), LEVELS)


@pytest.mark.parametrize("text", FORMULAS[:2])
def test_a_later_batch_without_usable_rows_is_empty(batches, text):
    spec = matrices.build(text, batches[0], levels=LEVELS)[0]
    _, y, X, Z, off, groups, dropped, kept = matrices.build_batch(spec, batches[1].assign(x=np.nan), LEVELS)
    assert (len(y), X.shape[0], Z.shape[0], len(off), len(groups), dropped, kept.any()) == (0, 0, 0, 0, 0, 300, False)
    assert X.shape[1] == len(spec.fixed.columns)


@pytest.mark.parametrize("text", FORMULAS[:2])
def test_a_parquet_file_in_many_batches_reads_the_formula_twice(batches, tmp_path, monkeypatch, text):
    pq = pytest.importorskip("pyarrow.parquet")
    pa = pytest.importorskip("pyarrow")
    path = str(tmp_path / "d.parquet")
    whole = pd.concat(batches, ignore_index=True)
    pq.write_table(pa.Table.from_pandas(whole), path)
    in_memory = corvane.lmm(text, whole)
    calls = []
    real = formula.read_formula

    def counted(*args, **kwargs):
        calls.append(args[0])
        return real(*args, **kwargs)
    monkeypatch.setattr(matrices, "read_formula", counted)
    monkeypatch.setattr(formula, "read_formula", counted)
    monkeypatch.setattr(sources, "BATCH_ROWS", 100)
    res = corvane.lmm(text, path, progress=False)
    assert len(calls) == 2  # the columns it reads, then the first batch's build
    assert res.criterion == pytest.approx(in_memory.criterion, rel=1e-10)
