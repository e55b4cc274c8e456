"""Dask DataFrames to products: each partition's products on its worker,
merged on the workers in a fixed tree, only the final products sent to the
client.

Two routes give the same bits. The two-pass route collects the column
kinds, factor levels and group labels in a first pass, so that every
partition codes its rows in the whole table's numbering. Formulas of plain
numeric columns grouped by an integer column take one pass instead: each
partition codes its own groups and the merges align the labels."""

from __future__ import annotations

import numpy as np

from . import batches as _batches
from .._corvane import Accumulator
from .._errors import require
from .batches import (BatchAccumulator, StreamResult, add_arrow_batch, is_empty_batch_error,
                      refuse_stateful_parts, add_column_values, merge_products, stateful_transforms)
from ..formula.labels import level_order, merge_level_orders, native, united_labels
from ..design.reparam import reparam_from_sample
from .sources import agreed_kinds, describe, pandas_kind
from .._checks import all_finite
from .._routes import fast

__all__ = ["read_dask", "partition_products", "merge_parts", "MERGE_FANIN"]


class _PartitionPlan:
    """What every partition's task needs: the model spec (the formula read
    once, its builders from the first partition), factor levels, the group
    labels in their final order and the reparametrisation."""

    def __init__(self, spec, levels, labels, rp):
        self.spec, self.levels, self.labels, self.rp = spec, levels, labels, rp
        # Plain columns are read from the partition's arrays directly (made
        # on the client, so that the switch over the fast paths holds).
        self.columns = _batches.columns_plan(spec, rp) if fast() else None


def partition_products(frame, plan):
    """The products of one partition (run on a worker): a dict with the
    products' arrays (None for no usable rows) and the row counts."""
    from ..formula import build as _matrices

    n_read = len(frame)
    if n_read == 0:
        return {"arrays": None, "n_read": 0, "n_dropped": 0}
    if plan.columns is not None:
        out = _partition_by_columns(frame, plan)
        if out is not None:
            return out
    try:
        _, y, X, Z, off, groups, dropped, _ = _matrices.build_batch(plan.spec, frame, plan.levels)
    except ValueError as exc:
        if is_empty_batch_error(exc):
            return {"arrays": None, "n_read": n_read, "n_dropped": n_read}
        raise
    acc = BatchAccumulator(labels=plan.labels, rp=plan.rp, column=plan.spec.parsed.group)
    acc.add(y - off, X, Z, groups)
    return {"arrays": acc.arrays(), "n_read": n_read, "n_dropped": dropped, "counts": acc.counts}


MERGE_FANIN = 8  # partitions' products merged per task


def merge_parts(parts):
    """partition_products' results merged in the given order (on a worker):
    the products, row counts and group counts of all of them."""
    merged = merge_products([p["arrays"] for p in parts])
    counts = None
    for p in parts:
        c = p.get("counts")
        if c is not None:
            if counts is None or len(counts) < len(c):
                c = c.copy()
                if counts is not None:
                    c[: len(counts)] += counts
                counts = c
            else:
                counts[: len(c)] += c
    return {"arrays": None if merged is None else merged.to_arrays(), "n_read": sum(p["n_read"] for p in parts),
            "n_dropped": sum(p["n_dropped"] for p in parts), "counts": counts}


def _partition_by_columns(frame, plan):
    """partition_products by columns (see columns_plan), or None when the
    partition holds something the general path must report."""
    added = _accumulate_by_columns(frame, plan)
    if added is None:
        return None
    acc, dropped = added
    if acc.acc is None:
        return {"arrays": None, "n_read": len(frame), "n_dropped": len(frame)}
    return {"arrays": acc.arrays(), "n_read": len(frame), "n_dropped": dropped, "counts": acc.counts}


def _accumulate_by_columns(frame, plan):
    """(a BatchAccumulator of the partition's rows by columns, the rows
    dropped), or None when the partition holds something the general path
    must report."""
    import pyarrow as pa

    group = plan.spec.parsed.group
    names = list(dict.fromkeys(plan.columns.used + [plan.columns.response, group]))
    acc = BatchAccumulator(labels=plan.labels, rp=plan.rp, column=group)
    direct = _add_numpy_columns(acc, plan.columns, frame, names, group)
    if direct is not False:
        return None if direct is None else (acc, direct)
    # One batch for the partition, as the general path adds it in one step
    # (columns backed by Arrow keep the chunks they were read in).
    table = pa.Table.from_pandas(frame[names], preserve_index=False).combine_chunks()
    dropped = 0
    for batch in table.to_batches():
        d = add_arrow_batch(acc, plan.columns, batch, group, None)
        if d is None:
            return None
        dropped += d
    return acc, dropped


def _add_numpy_columns(acc, plan, frame, names, group):
    """add_arrow_batch for a partition whose columns are all NumPy numbers
    and whose group column is of integers (the usual partition read from
    Parquet), from the columns' own arrays: no Arrow table between. The rows
    dropped; None for a value the general path must report; False for other
    columns (the Arrow path takes them)."""
    if plan.factors:
        return False  # factors are coded by the Arrow path's lookup
    columns = {}
    for name in names:
        column = frame[name]
        dtype = column.dtype
        if not isinstance(dtype, np.dtype) or dtype.kind not in ("iu" if name == group else "biuf"):
            return False
        columns[name] = column.to_numpy()
    keep, finite = None, True
    for name, values in columns.items():
        if values.dtype.kind == "f" and not all_finite(values):  # NaN: a missing value
            finite = False
            missing = np.isnan(values)
            if missing.any():
                keep = ~missing if keep is None else keep & ~missing
    # A partition sent between processes may hold its columns unaligned.
    values = {name: np.require(v, np.float64, ["C", "A"]) for name, v in columns.items() if name != group}
    labels = columns[group]
    return add_column_values(acc, plan, values, keep, lambda: labels if keep is None else labels[keep], len(frame),
                             finite=finite)


# ---- one pass ------------------------------------------------------------------------
#
# For formulas of plain numeric columns grouped by an integer column, each
# partition codes its own groups (in the order its labels came), and the
# merges align labels as they go: no first pass over the data for the
# labels. A merge adds each part's blocks at its groups' positions among the
# united labels, so every group's sums are added in the order of the tree of
# merges exactly as when every part had the whole table's numbering: the
# same bits as the two-pass route (see merge_parts_once). Anything unusual
# in a partition (a column of another kind than the DataFrame declares, a
# value the general path must report) makes the whole read fall back to the
# two-pass route, which reports it.

def _once_candidate(ddf, formula, cols, group, promised):
    """Whether the one-pass route may read the Dask DataFrame: more than one
    partition, every used column declared numeric, the group column of an
    integer dtype, and no column a factor."""
    from ..formula import reading as _formula

    if ddf.npartitions < 2 or ddf.dtypes[group].kind not in "iu":
        return False
    if any(promised[c] != "number" for c in cols + [group]):
        return False
    return not _formula.factor_columns(formula, cols, {c: True for c in cols})


def partition_products_once(frame, plan, promised):
    """One partition's products with its own group labels (run on a worker):
    a dict with the products' arrays (None for no usable rows), the labels
    of their groups in order (int64) and the row counts; None when the
    partition needs the two-pass route."""
    try:
        if any(pandas_kind(frame[c]) not in ("null", kind) for c, kind in promised.items()):
            return None
        n_read = len(frame)
        empty = {"arrays": None, "labels": np.zeros(0, dtype=np.int64), "n_read": n_read, "n_dropped": n_read}
        if n_read == 0:
            return empty
        added = _accumulate_by_columns(frame, plan)
        if added is None:
            return None
        acc, dropped = added
        if acc.acc is None:
            return empty
        found = np.asarray(acc.coder.index)  # labels of the kept rows, in the order they came
        if found.dtype.kind not in "iu" or (found.dtype.kind == "u" and found.max() >= 2**63):
            return None
        return {"arrays": acc.arrays(), "labels": found.astype(np.int64), "n_read": n_read, "n_dropped": dropped}
    except Exception:  # the two-pass route reports it, with the same messages as ever
        return None


_BLOCKS = ("ztz", "ztx", "zty")  # per group, first axis the group


def merge_parts_once(parts):
    """partition_products_once's results merged in the given order (on a
    worker), their labels united (sorted); None when any part needs the
    two-pass route.

    The additions are the accumulators' merge in the parts' order: the first
    part's products as they are (zero blocks for the groups it lacks), then
    each further part's blocks added to its groups' totals. The merge of
    whole numberings would add zero blocks to the other groups, which
    changes no bit: a block's entries are sums started from +0, never -0."""
    if any(p is None for p in parts):
        return None
    live = [p for p in parts if p["arrays"] is not None]
    labels, positions = united_labels([p["labels"] for p in live])
    counts = {"labels": labels, "n_read": sum(p["n_read"] for p in parts),
              "n_dropped": sum(p["n_dropped"] for p in parts)}
    if not live:
        return {"arrays": None, **counts}
    m = len(labels)
    total = dict(live[0]["arrays"])
    total["m"], total["fingerprint_known"] = m, False
    for k, (part, at) in enumerate(zip(live, positions)):
        arrays = part["arrays"]
        for key in _BLOCKS:
            if k == 0:
                total[key] = np.zeros((m,) + arrays[key].shape[1:])
                total[key][at] = arrays[key]
            else:
                total[key][at] += arrays[key]  # positions are distinct: one addition each
        if k > 0:
            for key in ("xtx", "xty", "yty"):
                total[key] = total[key] + arrays[key]
            total["n"] += arrays["n"]
            total["batches"] += arrays["batches"]
    return {"arrays": total, **counts}


def _merge_tree(dask, level, merge):
    """The parts merged on the workers in a tree of MERGE_FANIN parts at a
    time: its shape depends only on the number of parts, so the result is
    the same bits on any cluster."""
    while len(level) > 1:
        level = [dask.delayed(merge)(level[i:i + MERGE_FANIN]) for i in range(0, len(level), MERGE_FANIN)]
    (total,) = dask.compute(level[0])
    return total


def _read_dask_once(dask, formula, sub, env, promised):
    """read_dask's StreamResult by the one-pass route, or None to take the
    two-pass route (which reports whatever stopped this one)."""
    from ..formula import build as _matrices

    spec = rp = None
    try:
        for k in range(sub.npartitions):
            head = sub.get_partition(k).compute()
            if len(head) == 0:
                continue
            spec, y, X, Z, off, _, _, _ = _matrices.build(formula, head, env, levels={})
            rp = reparam_from_sample(y - off, X, Z, z_centred=spec.re_blocks is None)
            break
    except ValueError:
        return None
    if spec is None or stateful_transforms(spec):
        return None
    plan = _PartitionPlan(spec, {}, None, rp)
    if plan.columns is None:
        return None
    shared = dask.delayed(plan)  # sent once, not with every task
    total = _merge_tree(dask, [dask.delayed(partition_products_once)(part, shared, promised)
                               for part in sub.to_delayed()], merge_parts_once)
    if total is None or total["arrays"] is None:
        return None
    labels = total["labels"].tolist()
    return StreamResult(Accumulator.from_arrays(total["arrays"]), rp, spec, labels,
                        np.arange(len(labels)), total["n_read"], total["n_dropped"])


def _partition_summary(frame, cols, labelled):
    """What the first pass needs of one partition (run on a worker): the kind
    of each column, and for the columns in labelled the distinct values on
    rows with no missing value in cols (in order of first appearance) and
    the categories of categorical ones."""
    complete = ~frame[cols].isna().to_numpy().any(axis=1)
    out = {"kinds": {c: pandas_kind(frame[c]) for c in cols}, "values": {}, "categories": {},
           "rows": int(complete.sum())}
    for c in labelled:
        s = frame[c]
        if out["kinds"][c] == "categorical":
            out["categories"][c] = list(s.cat.categories)
        values = s[complete].unique()
        if isinstance(values, np.ndarray) and (values.dtype.kind == "i" or (
                values.dtype.kind == "u" and (len(values) == 0 or values.max() < 2**63))):
            out["values"][c] = values.astype(np.int64)  # united on the client without Python objects
        else:
            out["values"][c] = values.tolist()
    return out


def _meta_kind(dtype):
    """The kind a Dask DataFrame's dtype promises, or None when an object
    dtype leaves it to the values."""
    import pandas as pd

    if dtype.kind == "O" and not isinstance(dtype, (pd.CategoricalDtype, pd.StringDtype)):
        return None
    return pandas_kind(pd.Series([], dtype=dtype))


def read_dask(formula, ddf, env=None, progress=True):
    """Products of a dask DataFrame: labels and factor levels from a first
    pass, the column plan and the reparametrisation from the first partition, each
    partition's products on the workers, merged on the workers in a fixed tree
    (see merge_parts)."""
    dask = require("dask", purpose="Dask input")
    from ..formula import reading as _formula
    from ..formula import build as _matrices

    columns = [str(c) for c in ddf.columns]
    cols, group = _formula.used_columns(formula, columns, env)
    used = cols + [group]
    promised = {c: _meta_kind(ddf.dtypes[c]) for c in used}
    # Columns that may be factors: an object dtype promises nothing, its
    # values decide (numbers or decimals in an object column are numbers).
    candidates = _formula.factor_columns(formula, cols, {c: promised[c] in ("number", "boolean") for c in cols})
    sub = ddf[used]
    if fast() and _once_candidate(ddf, formula, cols, group, promised):
        once = _read_dask_once(dask, formula, sub, env, {c: promised[c] for c in used})
        if once is not None:
            return once
    # First pass: each partition's kinds, categories and distinct values.
    found = dask.compute(*[dask.delayed(_partition_summary)(part, used, candidates + [group])
                           for part in sub.to_delayed()])
    parts = [(f"partition {k}", p["kinds"]) for k, p in enumerate(found)]
    kinds = agreed_kinds(parts, used, "partition")
    factors = _formula.factor_columns(formula, cols, {c: kinds[c] in ("number", "boolean") for c in cols})
    for c in used:
        if promised[c] is not None and kinds[c] not in ("null", promised[c]):
            k = next(k for k, p in enumerate(found) if p["kinds"][c] == kinds[c])
            raise ValueError(f"column {c!r} of the Dask DataFrame has dtype {ddf.dtypes[c]} but partition {k} "
                             f"holds {describe(kinds[c])}: give every partition the dtype the DataFrame "
                             f"declares (for example with astype)")

    def ordered(c):
        values = [p["values"][c] for p in found]
        if kinds[c] != "categorical" and all(isinstance(v, np.ndarray) for v in values):
            return united_labels([v for v in values if len(v)])[0].tolist()  # integers: sorted, as level_order sorts them
        present = {}
        for v in values:
            present.update(dict.fromkeys(v.tolist() if isinstance(v, np.ndarray) else v))
        if kinds[c] == "categorical":
            order = merge_level_orders([(f"partition {k}", p["categories"][c]) for k, p in enumerate(found)
                                                if c in p["categories"]], c)
        else:
            order = level_order(present)
        return [v for v in order if v in present]

    levels = {c: ordered(c) for c in factors}
    labels = ordered(group)
    # The spec and the reparametrisation from the first partition with rows.
    spec = rp = None
    for k in range(sub.npartitions):
        head = sub.get_partition(k).compute()
        if len(head) == 0:
            continue
        try:
            spec, y, X, Z, off, _, _, _ = _matrices.build(formula, head, env, levels=levels)
        except ValueError as exc:
            if is_empty_batch_error(exc):
                continue
            raise
        rp = reparam_from_sample(y - off, X, Z, z_centred=spec.re_blocks is None)
        break
    if spec is None:
        raise ValueError("no rows without missing values in the columns the formula uses")
    if sum(p["rows"] > 0 for p in found) > 1:
        refuse_stateful_parts(spec, "the Dask DataFrame")
    plan = dask.delayed(_PartitionPlan(spec, levels, labels, rp))  # sent once, not with every task
    # Each partition's products on its worker, merged on the workers.
    total = _merge_tree(dask, [dask.delayed(partition_products)(part, plan) for part in sub.to_delayed()],
                        merge_parts)
    merged = None if total["arrays"] is None else Accumulator.from_arrays(total["arrays"])
    n_read, n_dropped = total["n_read"], total["n_dropped"]
    if merged is None:
        raise ValueError("no rows without missing values in the columns the formula uses")
    # Labels whose rows were all dropped (values a transform made missing) are no groups.
    counts = np.zeros(len(labels), dtype=np.int64)
    if total.get("counts") is not None:
        counts[: len(total["counts"])] += total["counts"]
    keep = np.flatnonzero(counts > 0)
    del progress  # the dask dashboard shows progress
    return StreamResult(merged, rp, spec, [native(labels[k]) for k in keep], keep, n_read, n_dropped)
