"""Where rows come from: tables in memory (a pandas DataFrame, a polars
DataFrame through its Arrow form, or a mapping of column names to values)
as a pandas DataFrame whose column names are strings; Parquet paths and
pyarrow Tables, Datasets and readers in batches; Dask DataFrames by
partition."""

from __future__ import annotations

import numpy as np

from ._errors import require

__all__ = ["as_frame", "stream_of", "is_dask", "read_stream", "read_dask", "ArrowStream"]


def as_frame(data):
    """A pandas DataFrame of the data, its column names as strings (two
    columns whose names read the same are refused)."""
    pd = require("pandas", purpose="the formula interface")
    if type(data).__module__.split(".")[0] == "polars" and hasattr(data, "to_arrow"):
        require("pyarrow", purpose="polars input (read through its Arrow form)")
        data = data.to_arrow().to_pandas()  # a polars DataFrame, through its Arrow form
    if isinstance(data, pd.DataFrame):
        frame = data
    else:
        try:
            frame = pd.DataFrame(data)
        except (TypeError, ValueError) as exc:
            raise TypeError(f"data must be a pandas DataFrame or a mapping of columns ({exc})") from None
    names = [str(c) for c in frame.columns]
    if len(set(names)) != len(names):
        seen, dup = set(), []
        for n in names:
            if n in seen:
                dup.append(n)
            seen.add(n)
        raise ValueError(f"the data has duplicate column names: {', '.join(map(repr, sorted(set(dup))))}")
    if any(not isinstance(c, str) for c in frame.columns):
        frame = frame.rename(columns=str, copy=False) if _has_copy_kw(pd) else frame.rename(columns=str)
    return frame


def _has_copy_kw(pd):
    return int(pd.__version__.split(".")[0]) < 3


# ---- data read in batches -------------------------------------------------------------

# Rows per batch read from Arrow sources: a few tens of MB per batch for the
# usual handful of columns.
BATCH_ROWS = 1 << 19


def stream_of(data, batch_rows=None):
    """A :class:`ArrowStream` for data read in batches (a Parquet path, a
    pyarrow Table, Dataset or RecordBatchReader), or None for anything else.
    Batches hold batch_rows rows (default BATCH_ROWS)."""
    import os

    batch_rows = int(batch_rows or BATCH_ROWS)

    if isinstance(data, (str, os.PathLike)):
        return ArrowStream.from_path(os.fspath(data), batch_rows)
    module = type(data).__module__.split(".")[0]
    if module != "pyarrow":
        return None
    pa = require("pyarrow", purpose="Arrow and Parquet input")
    import pyarrow.dataset as ds

    if isinstance(data, pa.Table):
        return ArrowStream(data.schema, lambda cols: data.select(cols).to_batches(max_chunksize=batch_rows),
                           rows=data.num_rows, rereadable=True, kind="pyarrow Table")
    if isinstance(data, pa.RecordBatchReader):
        return ArrowStream(data.schema, lambda cols: _reader_batches(data, cols), rows=None, rereadable=False,
                           kind="pyarrow RecordBatchReader")
    if isinstance(data, ds.Dataset):
        return ArrowStream.from_dataset(data, batch_rows, "pyarrow Dataset")
    return None


def _reader_batches(reader, cols):
    for batch in reader:
        yield batch.select(cols)


def is_dask(data):
    module = type(data).__module__.split(".")[0]
    return module in ("dask", "dask_expr") and hasattr(data, "npartitions") and hasattr(data, "columns")


class ArrowStream:
    """Batches of chosen columns from an Arrow source, in a fixed order (so
    that a rerun gives the same bits): a Table's chunks, a Dataset's
    fragments (files in sorted path order), a reader as it comes."""

    def __init__(self, schema, read, rows, rereadable, kind):
        self.schema = schema
        self._read = read
        self.rows = rows
        self.rereadable = rereadable
        self.kind = kind
        self._used = False

    @classmethod
    def from_path(cls, path, batch_rows):
        import glob
        import os

        require("pyarrow", purpose="Parquet input")
        import pyarrow.dataset as ds

        if os.path.isdir(path):
            files = sorted(f for f in glob.glob(os.path.join(path, "**", "*"), recursive=True)
                           if os.path.isfile(f) and not os.path.basename(f).startswith((".", "_")))
            if not files:
                raise ValueError(f"the directory {path!r} holds no Parquet files")
        elif os.path.isfile(path):
            files = [path]
        else:
            raise FileNotFoundError(f"no such file or directory: {path!r}")
        try:
            dataset = ds.dataset(files, format="parquet")
        except Exception as exc:  # pyarrow's errors: not Parquet, unreadable
            raise ValueError(f"cannot read {path!r} as Parquet: {exc}") from None
        return cls.from_dataset(dataset, batch_rows, f"Parquet {path!r}")

    @classmethod
    def from_dataset(cls, dataset, batch_rows, kind):
        fragments = list(dataset.get_fragments())
        if fragments and all(hasattr(f, "path") for f in fragments):
            fragments.sort(key=lambda f: f.path)

        def read(cols):
            for fragment in fragments:
                yield from fragment.to_batches(columns=cols, batch_size=batch_rows)

        try:
            rows = dataset.count_rows()
        except Exception:  # a count is only for the progress bar
            rows = None
        return cls(dataset.schema, read, rows, True, kind)

    @property
    def columns(self):
        return list(self.schema.names)

    def numeric(self, name):
        """Whether a column holds numbers (or booleans), not levels."""
        import pyarrow as pa

        t = self.schema.field(name).type
        return pa.types.is_integer(t) or pa.types.is_floating(t) or pa.types.is_boolean(t) or \
            pa.types.is_decimal(t)

    def batches(self, cols):
        """pandas DataFrames of the columns, batch by batch, in order. The
        next batch is read and converted on a helper thread while the caller
        works on this one (pyarrow and the conversion release the
        interpreter lock)."""
        if self._used and not self.rereadable:
            raise ValueError(f"a {self.kind} can be read only once")
        self._used = True
        return _read_ahead(b.to_pandas() for b in self._read(cols) if b.num_rows)

    def levels(self, cols):
        """Sorted distinct non-missing values of each column (a first pass)."""
        if not self.rereadable:
            raise ValueError(
                f"the formula uses factor columns ({', '.join(cols)}), whose levels must be known before the "
                f"first batch; a {self.kind} can be read only once: pass a pyarrow Table or Dataset, or a "
                f"Parquet path, instead")
        import pyarrow.compute as pc

        seen = {c: set() for c in cols}
        for batch in self._read(cols):
            for c in cols:
                values = pc.unique(batch.column(c))
                if hasattr(values, "dictionary_decode"):
                    values = values.dictionary_decode()
                seen[c].update(v for v in values.to_pylist() if v is not None)
        return {c: sorted(seen[c]) for c in cols}


def _read_ahead(items, depth=1):
    """The items of an iterator, produced on a helper thread up to depth
    ahead of the consumer; its exceptions re-raised in order. Stopping early
    (an error or Ctrl-C in the consumer) lets the helper finish its current
    item and exit."""
    import queue
    import threading

    q = queue.Queue(maxsize=depth)
    stop = threading.Event()
    done = object()

    def produce():
        try:
            for item in items:
                while not stop.is_set():
                    try:
                        q.put((item, None), timeout=0.1)
                        break
                    except queue.Full:
                        continue
                if stop.is_set():
                    return
        except BaseException as exc:  # handed to the consumer
            q.put((None, exc))
            return
        q.put((done, None))

    worker = threading.Thread(target=produce, name="corvane-read-ahead", daemon=True)
    worker.start()
    try:
        while True:
            item, exc = q.get()
            if exc is not None:
                raise exc
            if item is done:
                return
            yield item
    finally:
        stop.set()
        while worker.is_alive():
            try:
                q.get_nowait()
            except queue.Empty:
                worker.join(0.05)


# ---- from batches to products ---------------------------------------------------------

def _is_empty_batch_error(exc):
    return str(exc).startswith("no rows")


class StreamResult:
    """What reading a source in batches gives the model: the products, the
    reparametrisation, the model spec, the labels and the row counts."""

    def __init__(self, arrays, rp, spec, labels, order, n_read, n_dropped):
        self.arrays, self.rp, self.spec = arrays, rp, spec
        self.labels, self.order = labels, order
        self.n_read, self.n_dropped = n_read, n_dropped


def read_stream(formula, stream, env=None, progress=True):
    """Build every batch's design under one spec (factor levels from a first
    pass) and accumulate its products."""
    from . import design as _design
    from . import formula as _formula

    cols, group = _formula.used_columns(formula, stream.columns, env)
    factors = _formula.factor_columns(formula, cols, {c: stream.numeric(c) for c in cols})
    levels = stream.levels(factors) if factors else {}
    acc = _design.BatchAccumulator()
    spec, n_read, n_dropped = None, 0, 0
    bar = _progress(progress, stream.rows, "rows")
    try:
        for frame in stream.batches(cols + [group]):
            n_read += len(frame)
            try:
                spec, y, X, Z, off, groups, dropped, _ = _formula.build(formula, frame, env, spec=spec,
                                                                         levels=levels)
            except ValueError as exc:
                if spec is None and _is_empty_batch_error(exc):
                    n_dropped += len(frame)
                    continue
                raise
            n_dropped += dropped
            acc.add(y - off, X, Z, groups)
            if bar is not None:
                bar.update(len(frame))
    finally:
        if bar is not None:
            bar.close()
    if acc.acc is None:
        raise ValueError(f"no rows without missing values in the columns the formula uses "
                         f"({n_read} rows read)")
    labels, order = acc.coder.order()
    return StreamResult(acc.arrays(), acc.rp, spec, labels, order, n_read, n_dropped)


def _progress(progress, total, unit):
    """A tqdm bar for long reads (a million rows or more, or an unknown
    count), or None."""
    if not progress or (total is not None and total < 1_000_000):
        return None
    tqdm = require("tqdm", purpose="the progress bar (progress=False turns it off)")
    return tqdm.tqdm(total=total, unit=unit, unit_scale=True, desc="reading")


# ---- Dask ------------------------------------------------------------------------------

class _PartitionPlan:
    """What every partition's task needs: the formula, its spec, factor
    levels, the sorted group labels and the reparametrisation."""

    def __init__(self, formula, env, spec, levels, labels, rp):
        self.formula, self.env, self.spec = formula, env, spec
        self.levels, self.labels, self.rp = levels, labels, rp


def partition_products(frame, plan):
    """The products of one partition (run on a worker): a dict with the
    products' arrays (None for no usable rows) and the row counts."""
    from . import design as _design
    from . import formula as _formula

    n_read = len(frame)
    if n_read == 0:
        return {"arrays": None, "n_read": 0, "n_dropped": 0}
    try:
        _, y, X, Z, off, groups, dropped, _ = _formula.build(plan.formula, frame, plan.env, spec=plan.spec,
                                                             levels=plan.levels)
    except ValueError as exc:
        if _is_empty_batch_error(exc):
            return {"arrays": None, "n_read": n_read, "n_dropped": n_read}
        raise
    acc = _design.BatchAccumulator(labels=plan.labels, rp=plan.rp)
    acc.add(y - off, X, Z, groups)
    return {"arrays": acc.arrays(), "n_read": n_read, "n_dropped": dropped, "counts": acc.counts}


def _distinct(frame, cols):
    return {c: frame[c].dropna().unique().tolist() for c in cols}


def read_dask(formula, ddf, env=None, progress=True):
    """Products of a dask DataFrame: labels and factor levels from a first
    pass, the column plan and the reparametrisation from the first partition, each
    partition's products on the workers, merged here in partition order."""
    dask = require("dask", purpose="Dask input")
    from . import design as _design
    from . import formula as _formula

    columns = [str(c) for c in ddf.columns]
    cols, group = _formula.used_columns(formula, columns, env)
    dtypes = {c: ddf.dtypes[c].kind in "biuf" for c in cols}
    factors = _formula.factor_columns(formula, cols, dtypes)
    sub = ddf[cols + [group]]
    # First pass: each partition's distinct values, united here.
    found = dask.compute(*[dask.delayed(_distinct)(part, factors + [group]) for part in sub.to_delayed()])
    union = {c: set() for c in factors + [group]}
    for part in found:
        for c, values in part.items():
            union[c].update(values)
    levels = {c: sorted(union[c]) for c in factors}
    labels = list(union[group])
    try:
        labels = sorted(labels)
    except TypeError:
        pass
    # The spec and the reparametrisation from the first partition with rows.
    spec = rp = None
    for k in range(sub.npartitions):
        head = sub.get_partition(k).compute()
        if len(head) == 0:
            continue
        try:
            spec, y, X, Z, off, _, _, _ = _formula.build(formula, head, env, levels=levels)
        except ValueError as exc:
            if _is_empty_batch_error(exc):
                continue
            raise
        rp = _design.reparam_from_sample(y - off, X, Z)
        break
    if spec is None:
        raise ValueError("no rows without missing values in the columns the formula uses")
    plan = _PartitionPlan(formula, env, spec, levels, labels, rp)
    tasks = [dask.delayed(partition_products)(part, plan) for part in sub.to_delayed()]
    parts = dask.compute(*tasks)
    arrays = _design.merge_arrays([p["arrays"] for p in parts])
    n_read = sum(p["n_read"] for p in parts)
    n_dropped = sum(p["n_dropped"] for p in parts)
    if arrays is None:
        raise ValueError("no rows without missing values in the columns the formula uses")
    # Labels whose rows were all dropped (missing values elsewhere) are no groups.
    counts = np.zeros(len(labels), dtype=np.int64)
    for p in parts:
        if p.get("counts") is not None:
            counts[: len(p["counts"])] += p["counts"]
    keep = np.flatnonzero(counts > 0)
    del progress  # the dask dashboard shows progress
    return StreamResult(arrays, rp, spec, [_design._native(labels[k]) for k in keep], keep, n_read, n_dropped)
