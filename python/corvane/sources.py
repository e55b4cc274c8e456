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
    columns whose names read the same are refused). Data that are read in
    batches when fitting (Parquet paths, pyarrow Tables, Datasets and
    readers, Dask DataFrames) are read whole: new rows to predict."""
    pd = require("pandas", purpose="the formula interface")
    if is_dask(data):
        data = data.compute()
    else:
        stream = stream_of(data)
        if stream is not None:
            frames = [frame for _, frame in stream.batches(stream.columns)]
            if not frames:
                return pd.DataFrame({c: [] for c in stream.columns})
            data = pd.concat(frames, ignore_index=True) if len(frames) > 1 else frames[0]
    if type(data).__module__.split(".")[0] == "polars" and hasattr(data, "to_arrow"):
        require("pyarrow", purpose="polars input (read through its Arrow form)")
        # A polars DataFrame, through its Arrow form: an Enum becomes a pandas
        # Categorical of its categories, a Categorical (lexically ordered) text.
        data = _as_text(data.to_arrow()).to_pandas()
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
        return ArrowStream([("the pyarrow Table", data.schema)],
                           lambda cols: ((0, b) for b in data.select(cols).to_batches(max_chunksize=batch_rows)),
                           rows=data.num_rows, rereadable=True, kind="pyarrow Table")
    if isinstance(data, pa.RecordBatchReader):
        return ArrowStream([("the pyarrow RecordBatchReader", data.schema)], lambda cols: _reader_batches(data, cols),
                           rows=None, rereadable=False, kind="pyarrow RecordBatchReader")
    if isinstance(data, ds.Dataset):
        return ArrowStream.from_dataset(data, batch_rows, "pyarrow Dataset")
    return None


def _reader_batches(reader, cols):
    for batch in reader:
        yield 0, batch.select(cols)


def is_dask(data):
    module = type(data).__module__.split(".")[0]
    return module in ("dask", "dask_expr") and hasattr(data, "npartitions") and hasattr(data, "columns")


# ---- what a column holds ----------------------------------------------------------------

# The kinds of values a column holds, as messages name them. The parts of one
# table (files, partitions) must agree on each column's kind: integers and
# floats are both numbers, and a part whose column holds nothing but missing
# values agrees with any kind. Text and categories differ (their levels are
# sorted, or in the categories' order).
_KIND_NAMES = {"number": "numbers", "boolean": "booleans", "text": "text", "categorical": "categories",
               "bytes": "bytes", "date/time": "dates or times", "null": "only missing values"}


def _describe(kind):
    return _KIND_NAMES.get(kind, kind)


def ordered_dictionary(field):
    """Whether an Arrow dictionary column's dictionary order is its level
    order, as pandas and R read it: yes for pandas categoricals, polars
    Enums and any plain dictionary column; no for polars' Categorical, whose
    order is lexical (its dictionary is in order of first appearance)."""
    return not any(key.startswith(b"_PL_CATEGORICAL") for key in (field.metadata or {}))


def arrow_kind(field):
    """The kind of values an Arrow field holds (see _KIND_NAMES)."""
    import pyarrow as pa

    t = field.type
    if pa.types.is_dictionary(t):
        if ordered_dictionary(field):
            return "categorical"
        t = t.value_type
    if pa.types.is_integer(t) or pa.types.is_floating(t) or pa.types.is_decimal(t):
        return "number"
    if pa.types.is_boolean(t):
        return "boolean"
    if pa.types.is_string(t) or pa.types.is_large_string(t) or str(t) == "string_view":
        return "text"
    if pa.types.is_binary(t) or pa.types.is_large_binary(t) or pa.types.is_fixed_size_binary(t):
        return "bytes"
    if pa.types.is_temporal(t):
        return "date/time"
    if pa.types.is_null(t):
        return "null"
    return str(t)


_INFERRED_KINDS = {"string": "text", "empty": "null", "integer": "number", "floating": "number",
                   "mixed-integer-float": "number", "decimal": "number", "boolean": "boolean", "bytes": "bytes",
                   "datetime": "date/time", "datetime64": "date/time", "date": "date/time",
                   "timedelta": "date/time", "timedelta64": "date/time", "time": "date/time"}


def pandas_kind(series):
    """The kind of values a pandas Series holds (see _KIND_NAMES); an object
    column by what it holds ("mixed" for labels of several kinds)."""
    import pandas as pd

    dtype = series.dtype
    if isinstance(dtype, pd.CategoricalDtype):
        return "categorical"
    if dtype.kind == "b":
        return "boolean"
    if dtype.kind in "iuf":
        return "number"
    if dtype.kind in "mM":
        return "date/time"
    if isinstance(dtype, pd.StringDtype):
        return "text"
    inferred = pd.api.types.infer_dtype(series, skipna=True)
    return _INFERRED_KINDS.get(inferred, "mixed values" if inferred.startswith("mixed") else inferred)


def agreed_kinds(parts, columns, what):
    """{column: kind} of the columns over the parts of a table, each part a
    (where, {column: kind}); ValueError naming the column, the two kinds and
    the parts when two parts disagree, and the part when one lacks a column.
    what names the parts ("file", "partition") in the advice."""
    seen = {}
    for where, kinds in parts:
        for c in columns:
            kind = kinds.get(c)
            if kind is None:
                raise ValueError(f"column {c!r}, which the formula uses, is missing from {where}: every {what} "
                                 f"must hold it")
            if kind == "null":
                continue
            if c not in seen:
                seen[c] = (kind, where)
            elif seen[c][0] != kind:
                first_kind, first_where = seen[c]
                raise ValueError(f"column {c!r} holds {_describe(first_kind)} in {first_where} but "
                                 f"{_describe(kind)} in {where}: every {what} must hold one kind of value in "
                                 f"each column the formula uses (integers and floats mix); convert the column "
                                 f"to one type")
    return {c: seen[c][0] if c in seen else "null" for c in columns}


def _as_text(table_or_batch):
    """The table (or batch) with its polars-Categorical columns as plain
    text: their dictionary order means nothing (their levels are sorted)."""
    import pyarrow as pa

    schema = table_or_batch.schema
    for i, field in enumerate(schema):
        if pa.types.is_dictionary(field.type) and not ordered_dictionary(field):
            column = table_or_batch.column(i).cast(field.type.value_type)
            table_or_batch = table_or_batch.set_column(i, pa.field(field.name, field.type.value_type), column)
    return table_or_batch


class ArrowStream:
    """Batches of chosen columns from an Arrow source, in a fixed order (so
    that a rerun gives the same bits): a Table's chunks, a Dataset's
    fragments (files in sorted path order), a reader as it comes.

    parts lists (where, schema) for each part of the source (each file of a
    Dataset; the Table or the reader), in reading order, where naming it in
    messages; read(cols) yields (part number, RecordBatch)."""

    def __init__(self, parts, read, rows, rereadable, kind):
        self.parts = parts
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
        import pyarrow.dataset as ds

        parts = []
        for k, fragment in enumerate(fragments):
            where = f"file {fragment.path!r}" if hasattr(fragment, "path") else f"fragment {k}"
            try:
                schema = fragment.physical_schema
            except Exception as exc:  # pyarrow's errors: not Parquet, unreadable
                raise ValueError(f"cannot read {where} of {kind}: {exc}") from None
            # Columns of a partitioned dataset's keys (folders such as g=1/)
            # come from the fragment's partition, typed as the dataset types them.
            for key in ds.get_partition_keys(fragment.partition_expression):
                if key not in schema.names and key in dataset.schema.names:
                    schema = schema.append(dataset.schema.field(key))
            parts.append((where, schema))
        if not parts:
            parts = [(kind, dataset.schema)]

        def read(cols):
            # Each file is read as it is typed (its own schema), so that files
            # whose numbers differ in width or precision are each read exactly.
            for k, fragment in enumerate(fragments):
                for batch in fragment.to_batches(schema=parts[k][1], columns=cols, batch_size=batch_rows):
                    yield k, batch

        try:
            rows = dataset.count_rows()
        except Exception:  # a count is only for the progress bar
            rows = None
        return cls(parts, read, rows, True, kind)

    @property
    def columns(self):
        """The column names of every part, in order of first appearance."""
        names = {}
        for _, schema in self.parts:
            names.update(dict.fromkeys(schema.names))
        return list(names)

    def kinds(self, cols):
        """{column: kind} over every part (see agreed_kinds)."""
        parts = [(where, {f.name: arrow_kind(f) for f in schema}) for where, schema in self.parts]
        return agreed_kinds(parts, cols, "file" if self.kind.startswith("Parquet") else "part")

    def batches(self, cols):
        """(where, pandas DataFrame) of the columns, batch by batch, in
        order. The next batch is read and converted on a helper thread while
        the caller works on this one (pyarrow and the conversion release the
        interpreter lock)."""
        if self._used and not self.rereadable:
            raise ValueError(f"a {self.kind} can be read only once")
        self._used = True
        return _read_ahead((self.parts[k][0], _as_text(b).to_pandas()) for k, b in self._read(cols) if b.num_rows)

    def levels(self, factors, cols):
        """The levels of each factor column (a first pass over cols): the
        values found on rows with no missing value in cols, sorted, or in the
        categories' order for categorical columns (merged over the parts by
        merge_level_orders)."""
        if not self.rereadable:
            raise ValueError(
                f"the formula uses factor columns ({', '.join(factors)}), whose levels must be known before the "
                f"first batch; a {self.kind} can be read only once: pass a pyarrow Table or Dataset, or a "
                f"Parquet path, instead")
        import pyarrow.compute as pc

        from .design import level_order, merge_level_orders

        kinds = self.kinds(cols)
        present = {c: {} for c in factors}   # dicts as ordered sets
        orders = {c: [] for c in factors}    # (where, dictionary) of categorical columns
        for k, batch in self._read(cols):
            if not batch.num_rows:
                continue
            batch = _as_text(batch)
            complete = None
            for c in cols:
                ok = pc.invert(pc.is_null(batch.column(c), nan_is_null=True))
                complete = ok if complete is None else pc.and_(complete, ok)
            for c in factors:
                column = batch.column(c)
                if kinds[c] == "categorical":
                    if not orders[c] or not orders[c][-1][1].equals(column.dictionary):
                        orders[c].append((self.parts[k][0], column.dictionary))
                values = pc.unique(pc.filter(column, complete))
                if hasattr(values, "dictionary_decode"):
                    values = values.dictionary_decode()
                present[c].update(dict.fromkeys(v for v in values.to_pylist() if v is not None))
        out = {}
        for c in factors:
            if kinds[c] == "categorical":
                order = merge_level_orders([(w, d.to_pylist()) for w, d in orders[c]], c)
            else:
                order = level_order(present[c])
            out[c] = [v for v in order if v in present[c]]
        return out


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


def stateful_transforms(spec):
    """The terms of a model spec whose transforms take a state from the data
    (poly's basis, scale's and center's moments, a spline's knots)."""
    out = []
    for builder in [spec.response, spec.fixed, spec.random, *spec.offsets]:
        state = getattr(getattr(builder, "spec", None), "transform_state", None) or {}
        out += [str(k) for k in state if str(k) not in out]
    return out


def _refuse_stateful_parts(spec, source):
    """ValueError when the data, read in parts, meet transforms whose state
    the first part alone would give (a basis or a mean of a fraction of the
    rows, and coefficients that mean something else than for the table)."""
    names = stateful_transforms(spec)
    if names:
        raise ValueError(f"the formula's {', '.join(names)} take{'s' if len(names) == 1 else ''} a state from "
                         f"the data (a polynomial basis, a mean and scale, knots), and {source} is read in parts: "
                         f"the first part's state would stand for the whole table. Add the transformed columns "
                         f"to the data, or pass the data as one pandas DataFrame")


def read_stream(formula, stream, env=None, progress=True):
    """Build every batch's design under one spec (factor levels from a first
    pass) and accumulate its products."""
    from . import design as _design
    from . import formula as _formula

    cols, group = _formula.used_columns(formula, stream.columns, env)
    kinds = stream.kinds(cols + [group])
    factors = _formula.factor_columns(formula, cols, {c: kinds[c] in ("number", "boolean") for c in cols})
    levels = stream.levels(factors, cols + [group]) if factors else {}
    acc = _design.BatchAccumulator(column=group)
    spec, n_read, n_dropped = None, 0, 0
    bar = _progress(progress, stream.rows, "rows")
    try:
        for where, frame in stream.batches(cols + [group]):
            if spec is not None and len(frame):
                _refuse_stateful_parts(spec, f"the {stream.kind}")
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
            acc.add(y - off, X, Z, groups, where)
            if bar is not None:
                bar.update(len(frame))
    finally:
        if bar is not None:
            bar.close()
    if acc.acc is None:
        raise ValueError(f"no rows without missing values in the columns the formula uses "
                         f"({n_read} rows read)")
    labels, order = acc.groups()
    return StreamResult(acc.arrays(), acc.rp, spec, labels, order, n_read, n_dropped)


def _progress(progress, total, unit):
    """A progress bar for long reads (a million rows or more, or an unknown
    count), or None."""
    if not progress or (total is not None and total < 1_000_000):
        return None
    return progress_bar(total, unit, "reading", unit_scale=True)


def progress_bar(total, unit, desc, initial=0, unit_scale=False):
    """A tqdm bar in its notebook-aware form (tqdm.auto): a widget in a
    notebook, elsewhere one line redrawn in place; the bars of long reads
    and of the bootstrap."""
    auto = require("tqdm.auto", purpose="the progress bar (progress=False turns it off)")
    return auto.tqdm(total=total, initial=initial, unit=unit, unit_scale=unit_scale, desc=desc,
                     dynamic_ncols=True)


# ---- Dask ------------------------------------------------------------------------------

class _PartitionPlan:
    """What every partition's task needs: the formula, its spec, factor
    levels, the group labels in their final order and the reparametrisation."""

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
    acc = _design.BatchAccumulator(labels=plan.labels, rp=plan.rp, column=plan.spec.parsed.group)
    acc.add(y - off, X, Z, groups)
    return {"arrays": acc.arrays(), "n_read": n_read, "n_dropped": dropped, "counts": acc.counts}


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
        out["values"][c] = s[complete].unique().tolist()
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
    partition's products on the workers, merged here in partition order."""
    dask = require("dask", purpose="Dask input")
    from . import design as _design
    from . import formula as _formula

    columns = [str(c) for c in ddf.columns]
    cols, group = _formula.used_columns(formula, columns, env)
    used = cols + [group]
    promised = {c: _meta_kind(ddf.dtypes[c]) for c in used}
    # Columns that may be factors: an object dtype promises nothing, its
    # values decide (numbers or decimals in an object column are numbers).
    candidates = _formula.factor_columns(formula, cols, {c: promised[c] in ("number", "boolean") for c in cols})
    sub = ddf[used]
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
                             f"holds {_describe(kinds[c])}: give every partition the dtype the DataFrame "
                             f"declares (for example with astype)")

    def ordered(c):
        present = {}
        for p in found:
            present.update(dict.fromkeys(p["values"][c]))
        if kinds[c] == "categorical":
            order = _design.merge_level_orders([(f"partition {k}", p["categories"][c]) for k, p in enumerate(found)
                                                if c in p["categories"]], c)
        else:
            order = _design.level_order(present)
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
            spec, y, X, Z, off, _, _, _ = _formula.build(formula, head, env, levels=levels)
        except ValueError as exc:
            if _is_empty_batch_error(exc):
                continue
            raise
        rp = _design.reparam_from_sample(y - off, X, Z)
        break
    if spec is None:
        raise ValueError("no rows without missing values in the columns the formula uses")
    if sum(p["rows"] > 0 for p in found) > 1:
        _refuse_stateful_parts(spec, "the Dask DataFrame")
    plan = _PartitionPlan(formula, env, spec, levels, labels, rp)
    tasks = [dask.delayed(partition_products)(part, plan) for part in sub.to_delayed()]
    parts = dask.compute(*tasks)
    arrays = _design.merge_arrays([p["arrays"] for p in parts])
    n_read = sum(p["n_read"] for p in parts)
    n_dropped = sum(p["n_dropped"] for p in parts)
    if arrays is None:
        raise ValueError("no rows without missing values in the columns the formula uses")
    # Labels whose rows were all dropped (values a transform made missing) are no groups.
    counts = np.zeros(len(labels), dtype=np.int64)
    for p in parts:
        if p.get("counts") is not None:
            counts[: len(p["counts"])] += p["counts"]
    keep = np.flatnonzero(counts > 0)
    del progress  # the dask dashboard shows progress
    return StreamResult(arrays, rp, spec, [_design._native(labels[k]) for k in keep], keep, n_read, n_dropped)
