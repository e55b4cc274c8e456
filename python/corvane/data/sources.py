"""Where rows come from: tables in memory (a pandas DataFrame, a polars
DataFrame through its Arrow form, a mapping of column names to values, or
a CSV file's path) as a pandas DataFrame whose column names are strings;
Parquet paths and pyarrow Tables, Datasets and readers in batches; Dask
DataFrames by partition. A path is read by its kind, told by its
extension (a directory is a folder of Parquet files)."""

from __future__ import annotations

import os

from .._errors import require

__all__ = ["as_frame", "stream_of", "is_dask", "path_kind", "read_csv", "ArrowStream", "progress_bar"]

# The kind of file each extension names (compared in lower case).
_EXTENSION_KINDS = {".csv": "csv", ".parquet": "parquet", ".pq": "parquet"}


def path_kind(path):
    """"csv" or "parquet" for a path given as data: a directory is a folder
    of Parquet files, a file's kind is told by its extension (.csv, or
    .parquet and .pq); anything else is a ValueError naming the path and the
    kinds accepted. Nothing is read, so a missing file is reported by the
    reader of its kind."""
    if os.path.isdir(path):
        return "parquet"
    kind = _EXTENSION_KINDS.get(os.path.splitext(path)[1].lower())
    if kind is None:
        raise ValueError(f"cannot tell the kind of file {path!r}: use a .csv or .parquet file "
                         f"(or a folder of Parquet files)")
    return kind


def read_csv(path):
    """A CSV file with a header row as a pandas DataFrame (path "-": standard
    input), each column's dtype from all its values: a column with any
    non-numeric value is a column of strings throughout (no per-chunk
    guessing). A missing file is an OSError, an empty or malformed one a
    ValueError, each naming the path."""
    import sys

    pd = require("pandas", purpose="reading CSV files")
    if path == "-":
        source = sys.stdin
    elif not os.path.exists(path):
        raise FileNotFoundError(f"no such file: {path}")
    else:
        source = path
    try:
        return pd.read_csv(source, low_memory=False)
    except pd.errors.EmptyDataError:
        raise ValueError(f"{path} holds no data") from None
    except pd.errors.ParserError as exc:
        raise ValueError(f"{path} is not a readable CSV file: {exc}") from None


def as_frame(data):
    """A pandas DataFrame of the data, its column names as strings (two
    columns whose names read the same are refused). Data that are read in
    batches when fitting (Parquet paths, pyarrow Tables, Datasets and
    readers, Dask DataFrames) are read whole: new rows to predict."""
    pd = require("pandas", purpose="the formula interface")
    if is_dask(data):
        data = data.compute()
    elif isinstance(data, (str, os.PathLike)) and path_kind(os.fspath(data)) == "csv":
        data = read_csv(os.fspath(data))
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
    index = frame.columns
    if index.inferred_type == "string" and index.is_unique:  # the usual table (both answers kept by the Index)
        return frame
    names = [str(c) for c in index]
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
    pyarrow Table, Dataset or RecordBatchReader), or None for anything else
    (a CSV path among them: it is read whole by :func:`as_frame`). Batches
    hold batch_rows rows (default BATCH_ROWS)."""
    batch_rows = int(batch_rows or BATCH_ROWS)

    if isinstance(data, (str, os.PathLike)):
        path = os.fspath(data)
        return ArrowStream.from_path(path, batch_rows) if path_kind(path) == "parquet" else None
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


def describe(kind):
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
                raise ValueError(f"column {c!r} holds {describe(first_kind)} in {first_where} but "
                                 f"{describe(kind)} in {where}: every {what} must hold one kind of value in "
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

    @staticmethod
    def arrow_switch():
        """A switch for :meth:`batches`: once set, batches come as Arrow
        record batches (the caller takes their columns as they are)."""
        import threading

        return threading.Event()

    def batches(self, cols, arrow=None):
        """(where, pandas DataFrame) of the columns, batch by batch, in
        order; (where, pyarrow RecordBatch) from when the `arrow` switch is
        set (a batch already converted stays a DataFrame). The next batch is
        read and converted on a helper thread while the caller works on this
        one (pyarrow and the conversion release the interpreter lock)."""
        if self._used and not self.rereadable:
            raise ValueError(f"a {self.kind} can be read only once")
        self._used = True

        def convert(b):
            b = _as_text(b)
            return b if arrow is not None and arrow.is_set() else b.to_pandas()

        return _read_ahead((self.parts[k][0], convert(b)) for k, b in self._read(cols) if b.num_rows)

    def levels(self, factors, cols):
        """The levels of each factor column (a first pass over cols): the
        values found on rows with no missing value in cols, sorted, or in the
        categories' order for categorical columns (merged over the parts by
        merge_level_orders). A source that can be read only once has no
        first pass: one_pass.read_once collects its levels as they come."""
        if not self.rereadable:
            raise ValueError(
                f"the formula uses factor columns ({', '.join(factors)}), whose levels must be known before the "
                f"first batch; a {self.kind} can be read only once: pass a pyarrow Table or Dataset, or a "
                f"Parquet path, instead")
        import pyarrow.compute as pc

        from ..formula.labels import level_order, merge_level_orders

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


# ---- progress -------------------------------------------------------------------------

def progress_bar(total, unit, desc, initial=0, unit_scale=False):
    """A tqdm bar in its notebook-aware form (tqdm.auto): a widget in a
    notebook, elsewhere one line redrawn in place; the bars of long reads
    and of the bootstrap."""
    auto = require("tqdm.auto", purpose="the progress bar (progress=False turns it off)")
    return auto.tqdm(total=total, initial=initial, unit=unit, unit_scale=unit_scale, desc=desc,
                     dynamic_ncols=True)
