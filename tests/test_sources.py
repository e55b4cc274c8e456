"""Data read in batches (Parquet files and directories, pyarrow Tables,
Datasets and readers, Dask DataFrames on local clusters of worker
processes) give the in-memory fit: the same labels and counts, the
criterion to 1e-10 and every estimate to 1e-8, whatever the batch size or
the number of workers, and the same bits on a rerun."""

import os
import pickle
import subprocess
import sys
import warnings

import numpy as np
import pandas as pd
import pytest

import corvane
from corvane.data import sources

pytestmark = [pytest.mark.wheel]

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
ds = pytest.importorskip("pyarrow.dataset")

FORMULA = "y ~ x + trt + (x | g)"


@pytest.fixture(scope="module")
def frame():
    rng = np.random.default_rng(21)
    n, m = 30000, 120
    g = rng.integers(0, m, n)
    x = rng.standard_normal(n) + 3.0
    trt = rng.choice(["ctl", "low", "high"], n)
    b = rng.standard_normal((m, 2)) * [1.0, 0.4]
    y = 10 + x + 0.5 * (trt == "low") + b[g, 0] + b[g, 1] * x + rng.standard_normal(n)
    df = pd.DataFrame({"y": y, "x": x, "trt": trt, "g": [f"s{i:03d}" for i in g], "unused": 1.0})
    df.loc[[3, 400, 9000], "x"] = np.nan
    df.loc[17, "g"] = None
    return df


@pytest.fixture(scope="module")
def reference(frame):
    return corvane.lmm(FORMULA, frame)


@pytest.fixture(scope="module")
def table(frame):
    return pa.Table.from_pandas(frame, preserve_index=False)


@pytest.fixture(scope="module")
def parquet_dir(tmp_path_factory, table):
    d = tmp_path_factory.mktemp("parquet")
    # Names sort in row order; written out of order on purpose.
    for k in (2, 0, 3, 1):
        pq.write_table(table.slice(k * 7500, 7500), os.path.join(d, f"part-{k}.parquet"), row_group_size=3000)
    return str(d)


def agree(r, ref):
    assert r.group_labels == ref.group_labels
    assert (r.n_obs, r.n_dropped, r.n_read) == (ref.n_obs, ref.n_dropped, ref.n_read)
    assert r.fe_names == ref.fe_names and r.converged
    assert r.criterion == pytest.approx(ref.criterion, rel=1e-10)
    np.testing.assert_allclose(r.beta, ref.beta, rtol=1e-8)
    np.testing.assert_allclose(r.re_std, ref.re_std, rtol=1e-8)
    assert r.sigma == pytest.approx(ref.sigma, rel=1e-8)
    assert r.re_corr[1, 0] == pytest.approx(ref.re_corr[1, 0], abs=1e-8)


@pytest.mark.parametrize("batch_rows", [1000, 7000, None])
def test_table_batches(table, reference, batch_rows, monkeypatch):
    if batch_rows:
        monkeypatch.setattr(sources, "BATCH_ROWS", batch_rows)
    agree(corvane.lmm(FORMULA, table, progress=False), reference)


def test_parquet_directory_file_and_dataset(parquet_dir, reference, monkeypatch):
    monkeypatch.setattr(sources, "BATCH_ROWS", 2000)
    a = corvane.lmm(FORMULA, parquet_dir, progress=False)
    agree(a, reference)
    b = corvane.lmm(FORMULA, ds.dataset(parquet_dir), progress=False)
    assert b.criterion == a.criterion and np.array_equal(b.beta, a.beta)  # sorted files: the same bits
    again = corvane.lmm(FORMULA, parquet_dir, progress=False)
    assert again.criterion == a.criterion and np.array_equal(again.theta, a.theta)
    one = corvane.lmm(FORMULA, os.path.join(parquet_dir, "part-0.parquet"), progress=False)
    assert one.n_read == 7500


def test_reader(table, frame):
    formula = "y ~ x + (x | g)"
    ref = corvane.lmm(formula, frame)
    reader = pa.RecordBatchReader.from_batches(table.schema, table.to_batches(max_chunksize=4000))
    agree(corvane.lmm(formula, reader, progress=False), ref)
    reader = pa.RecordBatchReader.from_batches(table.schema, table.to_batches(max_chunksize=4000))
    agree(corvane.lmm(FORMULA, reader, progress=False), corvane.lmm(FORMULA, frame))


def test_models_without_rows(table, frame, reference):
    r = corvane.lmm(FORMULA, table, progress=False)
    assert not r.model.rows_kept
    for attempt in (lambda: r.fitted_values, lambda: r.residuals, lambda: r.bootstrap(10),
                    lambda: r.simulate(), lambda: r.model.refit(frame["y"])):
        with pytest.raises(ValueError, match="does not keep"):
            attempt()
    new = frame.iloc[:50].dropna()
    np.testing.assert_allclose(r.predict(new), reference.predict(new), rtol=1e-9)
    # Inference needs only the products.
    np.testing.assert_allclose(r.ddf, reference.ddf, rtol=1e-6)
    restored = pickle.loads(pickle.dumps(r))
    assert restored.model.core.deviance(r.theta_core.tolist()) == r.model.core.deviance(r.theta_core.tolist())


@pytest.mark.parametrize("family", ["gaussian", "binomial"])
def test_a_path_is_read_by_its_kind(family, tmp_path):
    """A CSV file, a Parquet file (.parquet or .PQ) and a folder of Parquet
    files holding the same rows give the fit of those rows in memory."""
    if family == "gaussian":
        from corvane._example import example_frame

        frame, fit = example_frame(), lambda data: corvane.lmm("Reaction ~ Days + (Days | Subject)", data,
                                                               progress=False)
    else:
        frame = pd.read_csv(os.path.join(os.path.dirname(__file__), "data", "cbpp.csv"))
        fit = lambda data: corvane.glmm("cbind(incidence, size - incidence) ~ period + (1 | herd)", data)  # noqa: E731
    frame.to_csv(tmp_path / "rows.csv", index=False)
    frame.to_parquet(tmp_path / "rows.parquet", index=False)
    frame.to_parquet(tmp_path / "rows.PQ", index=False)
    (tmp_path / "folder").mkdir()
    for k, part in enumerate(np.array_split(np.arange(len(frame)), 3)):
        frame.iloc[part].to_parquet(tmp_path / "folder" / f"{k}.parquet", index=False)
    ref = fit(frame)
    for name in ("rows.csv", "rows.parquet", "rows.PQ", "folder"):
        r = fit(str(tmp_path / name))
        assert (r.n_obs, r.group_labels, r.fe_names) == (ref.n_obs, ref.group_labels, ref.fe_names), name
        assert r.llf == pytest.approx(ref.llf, rel=1e-12), name
        np.testing.assert_allclose(r.beta, ref.beta, rtol=1e-10, err_msg=name)
    assert fit(tmp_path / "rows.csv").llf == fit(str(tmp_path / "rows.csv")).llf  # a PathLike too


@pytest.mark.parametrize("fit", [corvane.lmm, corvane.glmm])
def test_bad_paths(fit, tmp_path):
    with pytest.raises(FileNotFoundError, match="no such file or directory"):
        fit(FORMULA, str(tmp_path / "missing.parquet"))
    with pytest.raises(FileNotFoundError, match="no such file: .*missing.csv"):
        fit(FORMULA, str(tmp_path / "missing.csv"))
    with pytest.raises(ValueError, match="holds no Parquet files"):
        fit(FORMULA, str(tmp_path))
    (tmp_path / "not.parquet").write_text("y,x\n1,2\n")
    with pytest.raises(ValueError, match="cannot read .* as Parquet"):
        fit(FORMULA, str(tmp_path / "not.parquet"))
    (tmp_path / "rows.txt").write_text("y,x\n1,2\n")
    with pytest.raises(ValueError, match=r"cannot tell the kind of file '.*rows\.txt': use a \.csv or \.parquet file"):
        fit(FORMULA, str(tmp_path / "rows.txt"))


def test_missing_extras_are_named(parquet_dir):
    code = (
        "import sys\n"
        "import corvane\n"
        "assert not {'pyarrow', 'dask', 'distributed'} & set(sys.modules)\n"
        "sys.modules['pyarrow'] = None\n"
        "try:\n"
        f"    corvane.lmm('y ~ x + (1 | g)', {parquet_dir!r})\n"
        "except ImportError as exc:\n"
        "    print(exc)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert "pip install corvane[arrow]" in out.stdout


# ---- Dask ---------------------------------------------------------------------------------

dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")


@pytest.fixture(scope="module")
def dask_fits(frame):
    """Fits on local clusters of 1, 2 and 3 worker processes."""
    ddf = dd.from_pandas(frame, npartitions=7)
    out = {}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for workers in (1, 2, 3):
            with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                          dashboard_address=None) as cluster, distributed.Client(cluster):
                out[workers] = corvane.lmm(FORMULA, ddf)
    return out


@pytest.mark.parametrize("workers", [1, 2, 3])
def test_dask_matches_memory_and_is_the_same_on_any_cluster(dask_fits, reference, workers):
    r = dask_fits[workers]
    agree(r, reference)
    first = dask_fits[1]
    assert r.criterion == first.criterion
    np.testing.assert_array_equal(r.beta, first.beta)
    np.testing.assert_array_equal(r.theta, first.theta)


def test_dask_labels_with_no_usable_rows_are_no_groups(frame):
    df = frame.copy()
    df.loc[df["g"] == "s007", "x"] = np.nan  # every row of s007 is dropped
    ref = corvane.lmm(FORMULA, df)
    r = corvane.lmm(FORMULA, dd.from_pandas(df, npartitions=3))  # the default (threaded) scheduler
    assert "s007" not in r.group_labels and r.n_groups == ref.n_groups
    agree(r, ref)
