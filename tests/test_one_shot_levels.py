"""A RecordBatchReader is read once, so the levels of its factor columns come
with the batches: whatever order they appear in (the reference level last,
a level in the last batch or in one batch only), the fit is the fit of the
same rows in memory, with the same coefficient names and group labels.
Codings that a late level would change are refused."""

import io
import warnings

import numpy as np
import pandas as pd
import pytest

import corvane

pa = pytest.importorskip("pyarrow")
ds = pytest.importorskip("pyarrow.dataset")
ipc = pytest.importorskip("pyarrow.ipc")

BATCH = 200


@pytest.fixture(scope="module")
def frame():
    rng = np.random.default_rng(11)
    n, m = 2400, 30
    f = rng.choice(["a", "b", "c"], n)
    f[rng.choice(n, 60, replace=False)] = "d"  # a rare level
    df = pd.DataFrame({"x": rng.standard_normal(n) + 4.0, "f": f, "h": rng.choice(["u", "v", "w"], n),
                       "g": [f"s{k:02d}" for k in rng.integers(0, m, n)]})
    b = rng.standard_normal((m, 4)) * [1.0, 0.8, 1.2, 0.4]  # per group: a level of h each, a slope in x
    gi = df["g"].str[1:].astype(int).to_numpy()
    hi = df["h"].map({"u": 0, "v": 1, "w": 2}).to_numpy()
    df["y"] = (3 + df.x + (df.f == "b") - 2 * (df.f == "d") + 0.5 * (df.h == "w") * df.x + b[gi, hi]
               + b[gi, 3] * df.x + rng.standard_normal(n))
    df["k"] = np.where(df.f == "d", 3, rng.integers(1, 3, n))  # C(k): its level 3 comes with f's d
    df["bb"] = df.f == "a"                                      # C(bb): True comes with f's reference
    df.loc[[5, 700, 2100], "x"] = np.nan
    df.loc[[9, 1500], "f"] = None
    df.loc[700, "f"] = "e"  # only on a row with a missing value: no level
    return df


def arranged(df, order):
    """The rows reordered so that the levels of f (and of k and bb, which
    follow f) first appear as named."""
    rows = np.arange(len(df))
    rare, ref = (df.f == "d").to_numpy(), (df.f == "a").to_numpy()
    if order == "reference last":
        rows = np.r_[rows[~ref], rows[ref]]
    elif order == "level in the last batch":
        rows = np.r_[rows[~rare], rows[rare]]
    elif order == "level in one middle batch":  # the 60 rows of d within the seventh batch
        rest = rows[~rare]
        rows = np.r_[rest[:6 * BATCH], rows[rare], rest[6 * BATCH:]]
    else:
        rows = np.random.default_rng(1).permutation(rows)
    return df.iloc[rows].reset_index(drop=True)


def reader(df, kind="from_batches"):
    table = pa.Table.from_pandas(df, preserve_index=False)
    batches = table.to_batches(max_chunksize=BATCH)
    if kind == "from_batches":
        return pa.RecordBatchReader.from_batches(table.schema, batches)
    if kind == "generator":
        return pa.RecordBatchReader.from_batches(table.schema, (b for b in batches))
    if kind == "ipc stream":
        sink = io.BytesIO()
        with ipc.new_stream(sink, table.schema) as writer:
            for b in batches:
                writer.write_batch(b)
        return ipc.open_stream(sink.getvalue())
    if kind == "scanner":
        return ds.dataset(table).scanner(batch_size=BATCH).to_reader()
    if kind == "a dictionary per batch":  # each batch's categories: the levels it holds, in one order
        order = list(df.f.cat.categories)
        parts = [pa.RecordBatch.from_pandas(part.assign(f=pd.Categorical(part.f.astype(object), [c for c in order
                                                                             if c in set(part.f)])),
                                            preserve_index=False)
                 for part in (df.iloc[k:k + BATCH] for k in range(0, len(df), BATCH))]
        return pa.RecordBatchReader.from_batches(parts[0].schema, parts)
    raise AssertionError(kind)


def fit(formula, data):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the same warnings either way
        return corvane.lmm(formula, data, progress=False)


def agree(r, ref):
    assert r.fe_names == ref.fe_names and r.re_names == ref.re_names
    assert r.group_labels == ref.group_labels
    assert (r.n_obs, r.n_dropped) == (ref.n_obs, ref.n_dropped)
    assert r.criterion == pytest.approx(ref.criterion, rel=1e-10)
    np.testing.assert_allclose(r.beta, ref.beta, rtol=1e-8, atol=1e-10)
    np.testing.assert_allclose(r.theta, ref.theta, rtol=1e-8, atol=1e-9)


FORMULAS = ["y ~ x + f + (1 | g)", "y ~ f * x + (x | g)", "y ~ f * h + (1 | g)", "y ~ 0 + f + x + (1 | g)",
            "y ~ x + f + h:x + (1 + h | g)", "y ~ x + C(k) + C(bb) + (0 + h || g)"]
ORDERS = ["reference last", "level in the last batch", "level in one middle batch", "shuffled"]


@pytest.mark.parametrize("categorical", [False, True], ids=["text", "categorical"])
@pytest.mark.parametrize("order", ORDERS)
@pytest.mark.parametrize("formula", FORMULAS)
def test_levels_in_any_order_give_the_fit_in_memory(frame, formula, order, categorical):
    df = arranged(frame, order)
    if categorical:  # the reference is the first category, not the first sorted level
        df = df.assign(f=pd.Categorical(df.f, categories=["c", "d", "e", "a", "b", "unused"]))
    agree(fit(formula, reader(df)), fit(formula, df))


@pytest.mark.parametrize("kind", ["generator", "ipc stream", "scanner", "a dictionary per batch"])
def test_every_reader_gives_the_fit_in_memory(frame, kind):
    df = arranged(frame, "reference last")
    df = df.assign(f=pd.Categorical(df.f, categories=["a", "c", "b", "e", "d"]))
    formula = "y ~ f * x + (1 + h | g)"
    r, ref = fit(formula, reader(df, kind)), fit(formula, df)
    agree(r, ref)
    new = df.dropna().iloc[::97]
    np.testing.assert_allclose(r.predict(new), ref.predict(new), rtol=1e-9)


@pytest.mark.parametrize("formula, message", [
    ("y ~ x + C(f, Sum) + (1 | g)", "otherwise than by treatment contrasts"),
    ("y ~ x + C(f, Treatment('d')) + (1 | g)", "first batch holds these levels only: f: 'a', 'b', 'c'"),
])
def test_codings_a_late_level_changes_are_refused(frame, formula, message):
    df = arranged(frame, "level in the last batch")
    fit(formula, df)  # in memory, the formula is fine
    with pytest.raises(ValueError, match=message):
        fit(formula, reader(df))
    # With every level in the first batch the coding is known from the start.
    one = reader(df.iloc[::-1].reset_index(drop=True))
    agree(fit(formula, one), fit(formula, df))


def test_categories_ordered_differently_across_batches_are_refused(frame):
    a = frame.iloc[:BATCH].assign(f=lambda d: pd.Categorical(d.f, categories=["a", "b", "c", "d"]))
    b = frame.iloc[BATCH:2 * BATCH].assign(f=lambda d: pd.Categorical(d.f, categories=["d", "c", "b", "a"]))
    parts = [pa.RecordBatch.from_pandas(p, preserve_index=False) for p in (a, b)]
    with pytest.raises(ValueError, match="categories of column 'f' are ordered differently in batch 0"):
        fit("y ~ x + f + (1 | g)", pa.RecordBatchReader.from_batches(parts[0].schema, parts))


@pytest.mark.parametrize("formula", ["y ~ 0 + f + h + (1 | g)", "y ~ 0 + f + h:x + (0 + h | g)"])
def test_a_factor_constant_in_the_first_batches(frame, formula):
    # Only h's reference level u at first: its column is constant there, yet the final design drops it.
    df = frame.iloc[np.argsort((frame.h != "u").to_numpy(), kind="stable")].reset_index(drop=True)
    agree(fit(formula, reader(df)), fit(formula, df))
