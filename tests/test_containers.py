"""One table gives one model from any container: a pandas or polars
DataFrame, a pyarrow Table, a Parquet file, a folder of Parquet files and a
Dask DataFrame give the same coefficient names, estimates and group labels,
in the order lme4 gives them for the same factors (categorical columns keep
their categories' order, text is sorted, a category with no complete row is
no level). Parts of a table that disagree on a column's kind or on its
categories' order are refused with messages naming the parts; offsets and
weights given as arrays are checked where they enter."""

import json
import os
import warnings

import numpy as np
import pandas as pd
import pytest

import corvane
from corvane.data import sources
from corvane._errors import RankDeficiencyWarning

pytestmark = [pytest.mark.wheel]

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

DATA = os.path.join(os.path.dirname(__file__), "data")

with open(os.path.join(DATA, "containers_reference.json")) as fh:
    REF = json.load(fh)
FORMULA = REF["formula"]


@pytest.fixture(scope="module")
def frame():
    """tests/data/containers.csv with trt and g as categoricals in an unsorted
    order (each with a category no row holds and one held only by rows that
    have missing values); site plain text, its reference level only in the
    last rows."""
    df = pd.read_csv(os.path.join(DATA, "containers.csv"))
    df["trt"] = pd.Categorical(df["trt"], categories=REF["trt_categories"])
    df["g"] = pd.Categorical(df["g"], categories=REF["g_categories"])
    return df


def _polars(df):
    pl = pytest.importorskip("polars")
    return pl.from_pandas(df).with_columns(
        pl.col("trt").cast(pl.String).cast(pl.Enum(REF["trt_categories"])),
        pl.col("g").cast(pl.String).cast(pl.Enum(REF["g_categories"])))


def _write_parts(table, d, k):
    os.makedirs(d, exist_ok=True)
    step = -(-table.num_rows // k)
    for j in range(k):
        pq.write_table(table.slice(j * step, step), os.path.join(d, f"part-{j}.parquet"), row_group_size=37)
    return d


def _dask(df):
    dd = pytest.importorskip("dask.dataframe")
    return dd.from_pandas(df, npartitions=5)


def container(kind, df, tmp):
    if kind == "pandas":
        return df
    if kind == "polars":
        return _polars(df)
    table = pa.Table.from_pandas(df, preserve_index=False)
    if kind == "pyarrow Table":
        return table
    if kind == "Parquet file":
        pq.write_table(table, os.path.join(tmp, "one.parquet"), row_group_size=50)
        return os.path.join(tmp, "one.parquet")
    if kind == "Parquet folder":
        return _write_parts(table, os.path.join(tmp, "parts"), 4)
    if kind == "Dask":
        return _dask(df)
    raise AssertionError(kind)


CONTAINERS = ["pandas", "polars", "pyarrow Table", "Parquet file", "Parquet folder", "Dask"]


def fit(formula, data, **kw):
    dask = pytest.importorskip("dask")
    with warnings.catch_warnings(), dask.config.set(scheduler="synchronous"):
        warnings.simplefilter("error", RankDeficiencyWarning)  # an empty level's dummy
        return corvane.lmm(formula, data, progress=False, **kw)


@pytest.fixture(scope="module")
def in_memory(frame):
    return fit(FORMULA, frame)


@pytest.mark.parametrize("kind", CONTAINERS)
def test_every_container_gives_lme4s_model(kind, frame, in_memory, tmp_path, monkeypatch):
    monkeypatch.setattr(sources, "BATCH_ROWS", 64)  # many batches, levels first seen in later ones
    r = fit(FORMULA, container(kind, frame, str(tmp_path)))
    assert r.fe_names == REF["fe_names"]
    assert r.group_labels == REF["group_labels"]
    assert r.n_obs == REF["n_obs"]
    np.testing.assert_allclose(r.beta, REF["beta"], rtol=1e-7, atol=1e-7)
    assert r.criterion == pytest.approx(REF["criterion"], abs=1e-8)
    # ... and the same model as the table in memory, to rounding.
    np.testing.assert_allclose(r.beta, in_memory.beta, rtol=1e-10, atol=1e-10)
    assert r.criterion == pytest.approx(in_memory.criterion, rel=1e-12)
    np.testing.assert_allclose(r.theta, in_memory.theta, rtol=1e-8, atol=1e-9)


# The group column alone (no factor columns): a reader read once keeps the
# categories' order too.
@pytest.mark.parametrize("kind", CONTAINERS + ["pyarrow RecordBatchReader"])
def test_group_labels_keep_the_categories_order(kind, frame, tmp_path, monkeypatch):
    monkeypatch.setattr(sources, "BATCH_ROWS", 64)
    if kind == "pyarrow RecordBatchReader":
        table = pa.Table.from_pandas(frame, preserve_index=False)
        data = pa.RecordBatchReader.from_batches(table.schema, table.to_batches(max_chunksize=50))
    else:
        data = container(kind, frame, str(tmp_path))
    r = fit("y ~ x + (1 | g)", data)
    assert r.group_labels == REF["group_labels"]
    assert r.n_obs == fit("y ~ x + (1 | g)", frame).n_obs


def test_polars_categorical_and_text_levels_are_sorted(frame, tmp_path):
    pl = pytest.importorskip("polars")
    text = frame.assign(trt=frame["trt"].astype(object), g=frame["g"].astype(object))
    ref = fit(FORMULA, text)
    assert ref.fe_names[2:4] == ["trt[T.low]", "trt[T.placebo]"]  # high, low, placebo
    assert ref.group_labels == sorted(REF["group_labels"])
    lexical = pl.from_pandas(text).with_columns(pl.col("trt").cast(pl.Categorical),
                                                pl.col("g").cast(pl.Categorical))
    table = lexical.to_arrow()  # dictionaries in order of first appearance
    assert table.column("trt").chunk(0).dictionary.to_pylist()[:3] != sorted(["placebo", "low", "high"])
    pq.write_table(table, str(tmp_path / "lexical.parquet"))
    for data in (lexical, table, str(tmp_path / "lexical.parquet")):
        r = fit(FORMULA, data)
        assert r.fe_names == ref.fe_names and r.group_labels == ref.group_labels
        np.testing.assert_allclose(r.beta, ref.beta, rtol=1e-10, atol=1e-10)


def test_files_with_categories_of_their_own_merge_in_one_order(frame, in_memory, tmp_path):
    """Each file's categoricals hold only the categories present in it (as
    when every file is written from its own categorical): the order they
    all agree on."""
    step = -(-len(frame) // 4)
    for j in range(4):
        part = frame.iloc[j * step:(j + 1) * step].copy()
        for c in ("trt", "g"):
            part[c] = part[c].cat.remove_unused_categories()
        pq.write_table(pa.Table.from_pandas(part, preserve_index=False), str(tmp_path / f"p{j}.parquet"))
    r = fit(FORMULA, str(tmp_path))
    assert r.fe_names == in_memory.fe_names and r.group_labels == in_memory.group_labels
    np.testing.assert_allclose(r.beta, in_memory.beta, rtol=1e-10, atol=1e-10)


def test_integer_and_float_files_mix(frame, tmp_path):
    df = frame.dropna(subset=["x"]).assign(g=lambda d: d["g"].cat.codes.astype(np.int64),
                                           x=lambda d: np.round(d["x"] * 4))
    half = len(df) // 2
    pq.write_table(pa.Table.from_pandas(df.iloc[:half].astype({"x": np.int64}), preserve_index=False),
                   str(tmp_path / "a.parquet"))
    pq.write_table(pa.Table.from_pandas(df.iloc[half:].astype({"g": np.float64}), preserve_index=False),
                   str(tmp_path / "b.parquet"))
    ref = fit("y ~ x + (1 | g)", df)
    r = fit("y ~ x + (1 | g)", str(tmp_path))
    assert r.group_labels == ref.group_labels and r.n_obs == ref.n_obs
    np.testing.assert_allclose(r.beta, ref.beta, rtol=1e-10)


def test_partitioned_dataset_reads_its_key_columns(frame, tmp_path):
    """A Dataset partitioned by folders (g=g07/...): the key columns come
    from each file's partition, not from the file."""
    ds = pytest.importorskip("pyarrow.dataset")
    text = frame.assign(g=frame["g"].astype(object))
    pq.write_to_dataset(pa.Table.from_pandas(text, preserve_index=False), str(tmp_path), partition_cols=["g"])
    ref = fit(FORMULA, text)
    r = fit(FORMULA, ds.dataset(str(tmp_path), partitioning="hive"))
    assert r.fe_names == ref.fe_names and r.group_labels == ref.group_labels and r.n_obs == ref.n_obs
    np.testing.assert_allclose(r.beta, ref.beta, rtol=1e-9, atol=1e-9)


def _files(tmp_path, first, second):
    for name, df in (("a", first), ("b", second)):
        pq.write_table(pa.Table.from_pandas(df, preserve_index=False), str(tmp_path / f"{name}.parquet"))
    return str(tmp_path)


def _part(seed, n=60, **columns):
    rng = np.random.default_rng(seed)
    g = rng.integers(0, 5, n)
    df = pd.DataFrame({"y": rng.standard_normal(n) + g, "x": rng.standard_normal(n), "g": g,
                       "trt": rng.choice(["a", "b"], n)})
    return df.assign(**{k: (v(df) if callable(v) else v) for k, v in columns.items()})


@pytest.mark.parametrize("formula, second, match", [
    ("y ~ x + (1 | g)", dict(g=lambda d: d["g"].astype(str)),
     r"column 'g' holds numbers in file '.*a\.parquet' but text in file '.*b\.parquet'"),
    ("y ~ x + trt + (1 | g)", dict(trt=lambda d: (d["trt"] == "a").astype(np.int64) + 1),
     r"column 'trt' holds text in file '.*a\.parquet' but numbers in file '.*b\.parquet'"),
    ("y ~ x + (1 | g)", dict(x=lambda d: d["x"].astype(str)),
     r"column 'x' holds numbers in file '.*a\.parquet' but text in file '.*b\.parquet'"),
    ("y ~ x + trt + (1 | g)", dict(trt=lambda d: pd.Categorical(d["trt"])),
     r"column 'trt' holds text in file '.*a\.parquet' but categories in file '.*b\.parquet'"),
    ("y ~ x + (1 | g)", dict(x=lambda d: d["x"] > 0),
     r"column 'x' holds numbers in file '.*a\.parquet' but booleans in file '.*b\.parquet'"),
])
def test_files_that_disagree_on_a_columns_kind_are_refused(tmp_path, formula, second, match):
    with pytest.raises(ValueError, match=match):
        fit(formula, _files(tmp_path, _part(1), _part(2, **second)))


def test_a_column_missing_from_a_later_file_names_the_file(tmp_path):
    with pytest.raises(ValueError, match=r"column 'x', which the formula uses, is missing from file "
                                         r"'.*b\.parquet'"):
        fit("y ~ x + (1 | g)", _files(tmp_path, _part(1), _part(2).drop(columns="x")))


def test_files_that_order_the_categories_differently_are_refused(tmp_path):
    first = _part(1, trt=lambda d: pd.Categorical(d["trt"], categories=["a", "b"]))
    second = _part(2, trt=lambda d: pd.Categorical(d["trt"], categories=["b", "a"]))
    with pytest.raises(ValueError, match=r"categories of column 'trt' are ordered differently in file "
                                         r"'.*a\.parquet' \(\['a', 'b'\]\) and in file '.*b\.parquet'"):
        fit("y ~ x + trt + (1 | g)", _files(tmp_path, first, second))


@pytest.mark.parametrize("column, make, match", [
    ("g", lambda s: s.astype(str), r"column 'g' holds numbers in partition 0 but text in partition 1"),
    ("x", lambda s: s.astype(str), r"column 'x' holds numbers in partition 0 but text in partition 1"),
])
def test_dask_partitions_whose_dtype_differs_are_refused(column, make, match):
    dask = pytest.importorskip("dask")
    dd = pytest.importorskip("dask.dataframe")
    first, second = _part(1), _part(2)
    second[column] = make(second[column])
    ddf = dd.from_delayed([dask.delayed(lambda: first)(), dask.delayed(lambda: second)()], meta=first.iloc[:0],
                          verify_meta=False)
    with pytest.raises(ValueError, match=match):
        fit("y ~ x + (1 | g)", ddf)


def test_dask_partitions_that_break_the_declared_dtype_are_refused():
    dask = pytest.importorskip("dask")
    dd = pytest.importorskip("dask.dataframe")
    first, second = _part(1), _part(2)
    first["x"], second["x"] = first["x"].astype(str), second["x"].astype(str)
    ddf = dd.from_delayed([dask.delayed(lambda: first)(), dask.delayed(lambda: second)()],
                          meta=_part(3).iloc[:0], verify_meta=False)
    with pytest.raises(ValueError, match=r"column 'x' of the Dask DataFrame has dtype float64 but partition 0 "
                                         r"holds text"):
        fit("y ~ x + (1 | g)", ddf)


# ---- offsets and weights given as arrays ---------------------------------------------------

def _with_bad(values, rows, value):
    out = np.array(values, dtype=np.float64)
    out[rows] = value
    return out


@pytest.mark.parametrize("what, values, match", [
    ("offset", lambda n: _with_bad(np.zeros(n), [5, 9], np.nan),
     r"offset has 2 missing values \(first at row 5\)"),
    ("offset", lambda n: _with_bad(np.zeros(n), [7], np.inf), r"offset has 1 infinite value \(first at row 7\)"),
    ("weights", lambda n: _with_bad(np.ones(n), [4], np.nan),
     r"weights must be positive and finite: row 4 has nan"),
    ("offset", lambda n: pd.Series(np.zeros(n), index=np.arange(n) + 3),
     r"the index of offset lacks 3 of the data's row labels \(first 0\)"),
    ("weights", lambda n: pd.Series(np.ones(n), index=np.arange(n)[::-1] * 2),
     r"the index of weights lacks"),
])
def test_offsets_and_weights_arrays_name_their_faults(frame, what, values, match):
    df = frame.dropna().reset_index(drop=True)
    with pytest.raises(ValueError, match=match):
        fit(FORMULA, df, **{what: values(len(df))})


def test_offset_arrays_are_checked_only_at_the_rows_used(frame):
    """A missing offset on a row dropped for a missing value elsewhere is no
    fault; a Series in another order is paired by index."""
    off = np.linspace(-1, 1, len(frame))
    off[frame["x"].isna().to_numpy()] = np.nan
    a = fit(FORMULA, frame, offset=off)
    shuffled = pd.Series(off, index=frame.index).sample(frac=1.0, random_state=0)
    b = fit(FORMULA, frame, offset=shuffled)
    np.testing.assert_array_equal(a.beta, b.beta)
    ref = fit(FORMULA, frame.assign(off=off), offset="off")
    np.testing.assert_allclose(a.beta, ref.beta, rtol=1e-12)


def test_model_offset_arrays_are_named():
    rng = np.random.default_rng(0)
    n = 40
    X = np.column_stack([np.ones(n), rng.standard_normal(n)])
    g = np.repeat(np.arange(8), 5)
    y = rng.standard_normal(n)
    with pytest.raises(ValueError, match=r"offset has 1 missing value \(first at row 3\)"):
        corvane.LinearMixedModel(y, X, X[:, :1], g, offset=_with_bad(np.zeros(n), [3], np.nan))
