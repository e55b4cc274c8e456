"""Batches whose model columns are plain numeric columns, and factors of X
coded by treatment contrasts, go from Arrow to the accumulator column by
column: the fit is the general path's bit for bit, whatever the column types,
nulls, NaN, factor kinds and group labels; a value the general path reports
(an infinite one) is reported the same way."""

import contextlib

import numpy as np
import pytest

import corvane
import corvane.data.batches as batches

pytestmark = [pytest.mark.native]

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
pd = pytest.importorskip("pandas")


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    rng = np.random.default_rng(11)
    n, m = 60_000, 700
    g = rng.integers(0, m, n)
    x1 = rng.standard_normal(n)
    x1[rng.random(n) < 0.02] = np.nan
    table = pa.table({
        "y": rng.standard_normal(n) + rng.standard_normal(m)[g],
        "x1": x1,
        "x2": pa.array(rng.integers(0, 5, n).astype(np.int32), mask=rng.random(n) < 0.01),
        "x3": rng.standard_normal(n).astype(np.float32),
        "b": rng.random(n) > 0.5,
        "g": g,
        "s": pa.array(np.array([f"s{i:03d}" for i in range(m)])[g]).dictionary_encode(),
        "t": pa.array(np.array([f"t{i}" for i in range(m)], dtype=object)[g], mask=rng.random(n) < 0.005),
    })
    more = np.random.default_rng(12)  # factors for X: text with nulls, categories in their own order
    f = np.array(["d", "b", "a", "c"], dtype=object)[more.integers(0, 4, n)]
    f[more.random(n) < 0.01] = None
    f[np.flatnonzero(np.isnan(x1))[-3:]] = "e"  # only on rows dropped for their NaN: no level (the last batch goes the general way)
    c = pd.Categorical(np.array(["lo", "mid", "hi"])[more.integers(0, 3, n)], categories=["mid", "lo", "hi"])
    table = table.append_column("f", pa.array(f)).append_column("c", pa.array(c))
    path = tmp_path_factory.mktemp("arrow_columns")
    pq.write_table(table, path / "part.parquet", row_group_size=7_000)
    return str(path)


# (formula, whether its batches go by columns): uncorrelated blocks and
# products take the general path
FORMULAS = [("y ~ x1 + x2 + (x1 | g)", True), ("y ~ x1 + b + x3 + (1 | s)", True),
            ("y ~ 0 + x1 + x2 + (0 + x1 | t)", True), ("y ~ x2 + (x3 | g)", True),
            ("y ~ x1 + (1 | g) + (0 + x3 | g)", False), ("y ~ x1 * x3 + (1 | g)", False),
            ("y ~ x1 + f + (1 | g)", True), ("y ~ c + x3 + f + (x1 | s)", True), ("y ~ f + x2 + (1 | t)", True),
            ("y ~ 0 + f + x1 + (1 | g)", False), ("y ~ x1 + (0 + f | g)", False), ("y ~ f * x1 + (1 | g)", False)]


def fit(formula, folder, fast, monkeypatch):
    calls = []
    add = batches.BatchAccumulator.add_columns
    with monkeypatch.context() as mp, (contextlib.nullcontext() if fast else corvane.general_route()):
        mp.setattr(batches.BatchAccumulator, "add_columns",
                   lambda self, *a, **k: calls.append(1) or add(self, *a, **k))
        return corvane.lmm(formula, folder, progress=False), len(calls)


@pytest.mark.filterwarnings("ignore::corvane.SingularFitWarning")
@pytest.mark.parametrize("formula, by_columns", FORMULAS)
def test_columns_path_is_the_general_path(formula, by_columns, folder, monkeypatch):
    fast, n_fast = fit(formula, folder, True, monkeypatch)
    slow, n_slow = fit(formula, folder, False, monkeypatch)
    assert n_slow == 0
    assert (n_fast > 0) == by_columns  # every batch after the first

    assert fast.criterion == slow.criterion
    assert np.array_equal(np.asarray(fast.theta), np.asarray(slow.theta))
    assert np.array_equal(np.asarray(fast.beta), np.asarray(slow.beta))
    assert (fast.n_read, fast.n_dropped) == (slow.n_read, slow.n_dropped)
    assert fast.fe_names == slow.fe_names


def test_infinite_value_in_a_later_batch(tmp_path):
    rng = np.random.default_rng(2)
    n = 30_000
    x = rng.standard_normal(n)
    x[25_000] = np.inf
    pq.write_table(pa.table({"y": rng.standard_normal(n), "x": x, "g": rng.integers(0, 50, n)}),
                   tmp_path / "p.parquet", row_group_size=5_000)
    with pytest.raises(ValueError) as fast:
        corvane.lmm("y ~ x + (1 | g)", str(tmp_path), progress=False)
    frame = pd.read_parquet(tmp_path / "p.parquet")
    with pytest.raises(ValueError) as memory:
        corvane.lmm("y ~ x + (1 | g)", frame)
    assert str(fast.value) == str(memory.value)


@pytest.mark.filterwarnings("ignore::corvane.SingularFitWarning")
@pytest.mark.parametrize("formula, by_columns", FORMULAS[:3] + FORMULAS[6:8] + FORMULAS[-1:])
def test_dask_partitions_by_columns_are_the_general_path(formula, by_columns, folder):
    dask = pytest.importorskip("dask")
    dd = pytest.importorskip("dask.dataframe")
    frame = pd.read_parquet(folder)
    ddf = dd.from_pandas(frame, npartitions=6)
    fits = []
    for fast in (True, False):
        with dask.config.set(scheduler="synchronous"), \
                (contextlib.nullcontext() if fast else corvane.general_route()):
            fits.append(corvane.lmm(formula, ddf, progress=False))
    fast, slow = fits
    assert fast.criterion == slow.criterion
    assert np.array_equal(np.asarray(fast.theta), np.asarray(slow.theta))
    assert np.array_equal(np.asarray(fast.beta), np.asarray(slow.beta))
    assert (fast.n_read, fast.n_dropped) == (slow.n_read, slow.n_dropped)


@pytest.mark.filterwarnings("ignore::corvane.SingularFitWarning")
@pytest.mark.parametrize("case", ["NaN in one later batch", "sums that overflow", "NaN beside huge values"])
def test_batches_checked_by_their_sums_are_the_general_path(case, tmp_path, monkeypatch):
    """A column is taken as it is when its sum is finite; a NaN (a missing
    value) or a sum that overflows sends the batch to the value-by-value
    check, which drops the same rows as the general path and refuses
    nothing finite."""
    rng = np.random.default_rng(5)
    n, m = 70_000, 60  # ten batches: the first ones may be read ahead before the columns path opens
    g = rng.integers(0, m, n)
    x = rng.standard_normal(n)
    y = rng.standard_normal(n) + rng.standard_normal(m)[g] + x
    if case != "NaN in one later batch":
        x = x * 3e307  # finite, but 7,000 of them sum beyond the largest double
    if case != "sums that overflow":
        x[66_000] = np.nan
    pq.write_table(pa.table({"y": y, "x": x, "g": g}), tmp_path / "p.parquet", row_group_size=7_000)
    fast, n_fast = fit("y ~ x + (1 | g)", str(tmp_path), True, monkeypatch)
    slow, _ = fit("y ~ x + (1 | g)", str(tmp_path), False, monkeypatch)
    assert n_fast > 0
    assert fast.criterion == slow.criterion
    assert np.array_equal(np.asarray(fast.beta), np.asarray(slow.beta))
    assert fast.n_dropped == slow.n_dropped == (0 if case == "sums that overflow" else 1)
