"""Dask DataFrames of plain numeric columns grouped by integers are read in
one pass (each partition codes its own groups, the merges align them): the
fit must be the two-pass route's bit for bit, and anything unusual must be
reported exactly as the two-pass route reports it."""

import contextlib
import warnings

import numpy as np
import pandas as pd
import pytest

import corvane
from corvane.data import dask as dask_parts
from corvane.formula.labels import united_labels

pytestmark = [pytest.mark.native]

dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")
pytest.importorskip("pyarrow")


def table(n=3000, m=40, seed=0, labels=None):
    rng = np.random.default_rng(seed)
    g = rng.integers(0, m, n)
    x, z = rng.standard_normal(n), rng.standard_normal(n)
    b = rng.standard_normal((m, 2)) * [1.0, 0.4]
    y = 1 + 0.5 * x - z + b[g, 0] + b[g, 1] * x + rng.standard_normal(n)
    codes = g if labels is None else np.asarray(labels)[g]
    return pd.DataFrame({"y": y, "x": x, "z": z, "g": codes})


def fit_both(formula, ddf, monkeypatch):
    """(one pass, two passes, partitions the one-pass route coded)."""
    calls = []
    once = dask_parts.partition_products_once

    def spy(frame, plan, promised):
        out = once(frame, plan, promised)
        calls.append(out is not None)
        return out

    fits = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", corvane.SingularFitWarning)
        for one_pass in (True, False):
            with monkeypatch.context() as mp, dask.config.set(scheduler="synchronous"), \
                    (contextlib.nullcontext() if one_pass else corvane.general_route()):
                mp.setattr(dask_parts, "partition_products_once", spy)
                fits.append(corvane.lmm(formula, ddf, progress=False))
    return fits[0], fits[1], calls


def same_fit(a, b):
    assert a.criterion == b.criterion
    np.testing.assert_array_equal(a.theta, b.theta)
    np.testing.assert_array_equal(a.beta, b.beta)
    assert list(a.group_labels) == list(b.group_labels)
    assert (a.n_read, a.n_dropped, a.n_groups) == (b.n_read, b.n_dropped, b.n_groups)


def sorted_by_group(df):
    return df.sort_values("g", kind="stable").reset_index(drop=True)


def with_missing(df):
    df = df.copy()
    df.loc[df["g"] == df["g"].iloc[0], "x"] = np.nan  # every row of one group dropped
    df.loc[df.index[5::97], "y"] = np.nan
    return df


CASES = {
    "codes 0..m-1": (table(), 5),
    "negative labels": (table(labels=np.arange(40) - 20), 4),
    "wide labels (sorted, not marked)": (table(labels=np.arange(40) * 10**12 + 7), 3),
    "unsigned labels": (table().astype({"g": np.uint32}), 4),
    "int32 labels": (table().astype({"g": np.int32}), 4),
    "each partition its own groups": (sorted_by_group(table()), 6),
    "missing values, a group wholly dropped": (with_missing(table()), 5),
}


@pytest.mark.parametrize("formula", ["y ~ x + (1 | g)", "y ~ x + z + (x | g)", "y ~ 0 + x + z + (0 + x | g)"])
@pytest.mark.parametrize("case", list(CASES))
def test_one_pass_is_the_two_pass_route(case, formula, monkeypatch):
    df, parts = CASES[case]
    one, two, calls = fit_both(formula, dd.from_pandas(df, npartitions=parts), monkeypatch)
    assert calls and all(calls)
    same_fit(one, two)
    memory = corvane.lmm(formula, df)
    assert list(one.group_labels) == list(memory.group_labels)
    np.testing.assert_allclose(one.beta, memory.beta, rtol=1e-9, atol=1e-12)


def test_an_empty_partition_and_a_partition_of_dropped_rows(monkeypatch):
    df = table(seed=3)
    df["part"] = np.arange(len(df)) * 6 // len(df)
    df.loc[df["part"] == 4, "z"] = np.nan  # partition 4: every row dropped
    ddf = dd.from_pandas(df, npartitions=6, sort=False)
    ddf = ddf[ddf["part"] != 2]  # partition 2: no rows
    one, two, calls = fit_both("y ~ x + z + (x | g)", ddf, monkeypatch)
    assert len(calls) == 6 and all(calls)
    same_fit(one, two)


def late_partition(df, change):
    """A Dask DataFrame of two partitions declaring df's dtypes, the second
    changed by change (as a file of another schema would be read)."""
    half = len(df) // 2
    first, second = df.iloc[:half], change(df.iloc[half:].copy())
    return dd.from_delayed([dask.delayed(lambda: first)(), dask.delayed(lambda: second)()], meta=df.iloc[:0],
                           verify_meta=False)


def with_inf(f):
    f.iloc[3, f.columns.get_loc("x")] = np.inf
    return f


@pytest.mark.parametrize("change", [
    lambda f: f.assign(g=f["g"].map(lambda v: f"s{v}")),  # text labels where integers are declared
    lambda f: f.assign(x=f["x"].map(str)),                 # text where numbers are declared
    with_inf,                                              # an infinite value
], ids=["text groups", "text column", "infinite value"])
def test_what_the_one_pass_route_cannot_take_is_reported_as_before(change):
    ddf = late_partition(table(seed=5), change)
    errors = []
    for one_pass in (True, False):
        with dask.config.set(scheduler="synchronous"), \
                (contextlib.nullcontext() if one_pass else corvane.general_route()):
            with pytest.raises((ValueError, TypeError)) as exc:
                corvane.lmm("y ~ x + (1 | g)", ddf, progress=False)
            errors.append((type(exc.value), str(exc.value)))
    assert errors[0] == errors[1]


@pytest.mark.parametrize("arrays", [
    [np.array([3, 1, 2]), np.array([2, 9]), np.array([], dtype=np.int64)],
    [np.array([-5, 0, 5]), np.array([-7])],
    [np.array([0, 2**40]), np.array([7, 2**40])],  # too wide for marks
    [],
])
def test_united_labels_are_numpys_unique(arrays):
    arrays = [np.asarray(a, dtype=np.int64) for a in arrays]
    expected = np.unique(np.concatenate(arrays)) if arrays else np.zeros(0, dtype=np.int64)
    live = [a for a in arrays if len(a)]
    united, positions = united_labels(live)
    np.testing.assert_array_equal(united, expected)
    assert united.dtype == np.int64
    for a, at in zip(live, positions):
        np.testing.assert_array_equal(united[at], a)


def test_merge_is_the_accumulators_merge():
    """Parts with their own groups merged by labels give the bits of the
    accumulators' own merge of whole numberings (zero blocks included)."""
    from corvane._corvane import Accumulator

    rng = np.random.default_rng(4)
    whole, parts = [], []
    for k in range(4):
        n = 200
        codes = rng.choice(60, size=n) if k != 2 else rng.choice(np.arange(40, 60), size=n)
        y, X, Z = rng.standard_normal(n), rng.standard_normal((n, 3)), rng.standard_normal((n, 2))
        X[:5] = -0.0  # products of signed zeros
        a = Accumulator(3, 2)
        a.add(y, X, Z, codes)
        whole.append(a)
        own, local = np.unique(codes, return_inverse=True)
        b = Accumulator(3, 2)
        b.add(y, X, Z, local.astype(np.int64))
        parts.append({"arrays": b.to_arrays(), "labels": own[::-1].copy() if k == 1 else own, "n_read": n,
                      "n_dropped": 0})
        if k == 1:  # labels in another order than sorted: the blocks follow them
            arrays = parts[-1]["arrays"]
            for key in ("ztz", "ztx", "zty"):
                arrays[key] = arrays[key][::-1].copy()
    merged = dask_parts.merge_parts_once(parts)
    expected = whole[0]
    for a in whole[1:]:
        expected.merge(a)
    expected = expected.to_arrays()
    used = merged["labels"]
    for key in ("ztz", "ztx", "zty"):
        got, want = merged["arrays"][key], expected[key][used]
        assert np.array_equal(got, want) and np.array_equal(np.signbit(got), np.signbit(want))
    for key in ("xtx", "xty", "yty", "n"):
        assert np.array_equal(merged["arrays"][key], expected[key])


def test_one_pass_is_the_same_on_a_cluster(monkeypatch):
    distributed = pytest.importorskip("distributed")
    df = with_missing(table(n=6000, m=300, seed=8))
    ddf = dd.from_pandas(df, npartitions=11)
    with dask.config.set(scheduler="synchronous"):
        alone = corvane.lmm("y ~ x + z + (x | g)", ddf, progress=False)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=None) as cluster, distributed.Client(cluster):
            r = corvane.lmm("y ~ x + z + (x | g)", ddf, progress=False)
            # A partition as the workers hold it (sent between processes) takes the route.
            from corvane.formula import build as matrices
            from corvane.design.reparam import reparam_from_sample

            spec, y, X, Z, off, _, _, _ = matrices.build("y ~ x + z + (x | g)", df, None, levels={})
            plan = dask_parts._PartitionPlan(spec, {}, None, reparam_from_sample(y - off, X, Z, z_centred=True))
            promised = {c: "number" for c in ("y", "x", "z", "g")}
            client = distributed.get_client()
            part = client.submit(lambda f: f, ddf.get_partition(3).compute())
            out = client.submit(dask_parts.partition_products_once, part, plan, promised).result()
    same_fit(r, alone)
    assert out is not None and set(out["labels"]) == set(ddf.get_partition(3).compute().dropna()["g"])


@pytest.mark.parametrize("labels", [np.arange(40) - 20, np.arange(40) * 10**12, None], ids=["negative", "wide", "codes"])
def test_two_pass_integer_labels_are_united_as_before(labels, monkeypatch):
    """A formula with a factor takes the two passes; integer group labels
    are united as arrays, in the order the labels' Python values sort."""
    df = table(seed=6, labels=labels)
    df["f"] = np.where(df["x"] > 0, "hi", "lo")
    df.loc[df.index[::50], "x"] = np.nan
    ddf = dd.from_pandas(df, npartitions=4)
    with dask.config.set(scheduler="synchronous"):
        r = corvane.lmm("y ~ x + f + (1 | g)", ddf, progress=False)
        monkeypatch.setattr(dask_parts, "united_labels", lambda arrays: (_ for _ in ()).throw(AssertionError))
        with pytest.raises(AssertionError):
            corvane.lmm("y ~ x + f + (1 | g)", ddf, progress=False)
    memory = corvane.lmm("y ~ x + f + (1 | g)", df)
    assert list(r.group_labels) == sorted(set(df.dropna()["g"].tolist())) == list(memory.group_labels)
    assert abs(r.criterion - memory.criterion) <= 1e-9 * abs(memory.criterion)
