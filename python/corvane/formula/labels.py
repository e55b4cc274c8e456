"""The one label coder: group labels and factor levels, from arrays, pandas
columns, Arrow batches and Dask partitions alike.

Level order is decided here: a categorical's categories as given (less
unused ones), otherwise sorted when the values have one total order, else
in order of first appearance. Labels of different kinds stay apart (1 and
"1" are two groups).
"""

from __future__ import annotations

import decimal
import math
import numbers

import numpy as np

from .._routes import fast

__all__ = ["factorize", "level_order", "merge_level_orders", "united_labels", "LabelCoder", "native", "INTERCEPT",
           "is_intercept", "term_names"]

# The intercept's name in every output, as lme4 prints it (the formula
# library calls it "Intercept").
INTERCEPT = "(Intercept)"


def is_intercept(name):
    """Whether a term or column name is the intercept's, in any of the
    spellings a design may give it ("(Intercept)", the formula library's
    "Intercept", the formula's "1")."""
    return name in (INTERCEPT, "Intercept", "1")


def term_names(columns):
    """The user's names of a design's columns: the formula library's
    "Intercept" as lme4's "(Intercept)", others as they are."""
    return [INTERCEPT if c == "Intercept" else str(c) for c in columns]


_ORDERED = (str, bytes, numbers.Real)


def native(v):
    """A NumPy scalar as the Python value it holds (labels print and compare as Python's)."""
    return v.item() if isinstance(v, np.generic) else v


def _missing(v):
    return v is None or (isinstance(v, float) and math.isnan(v)) or v is getattr(np, "nan", None) or (
        type(v).__name__ in ("NAType", "NaTType"))


def _sortable(values):
    """Whether the distinct labels have one total order: all of one kind
    among str, bytes and real numbers (bools and numbers mix)."""
    kinds = set()
    for v in values:
        if isinstance(v, str):
            kinds.add(str)
        elif isinstance(v, bytes):
            kinds.add(bytes)
        elif isinstance(v, numbers.Real) and not (isinstance(v, float) and math.isnan(v)):
            kinds.add(numbers.Real)
        elif isinstance(v, decimal.Decimal) and not v.is_nan():  # decimals order with numbers
            kinds.add(numbers.Real)
        else:
            return False
    return len(kinds) == 1


def factorize(groups, name="groups", shared=False):
    """Group codes 0..m-1 (int64) and the m labels.

    Integers, floats, strings and bytes are sorted (a pandas Categorical keeps
    its categories' order and drops unused ones); labels of mixed kinds, or
    of kinds without a total order (frozensets, tuples, objects), are
    numbered in order of first appearance by hashing, so that 1 and "1" are
    two groups. Missing labels raise ValueError. With shared, the codes may
    be a read-only array that other calls are handed too (for codes that
    are only read).
    """
    if type(groups).__module__.split(".")[0] == "pandas":
        import pandas as pd

        series = (groups if isinstance(groups, pd.Series) or not hasattr(groups, "columns") or hasattr(groups, "cat")
                  else None)
        if series is None:
            raise ValueError(f"{name} must be one-dimensional")
        if isinstance(series.dtype, pd.CategoricalDtype):
            codes = series.cat.codes.to_numpy()
            if (codes < 0).any():
                raise ValueError(f"{name} has a missing label at row {int(np.argmax(codes < 0))}")
            used = np.bincount(codes, minlength=len(series.cat.categories)) > 0
            remap = np.cumsum(used) - 1
            labels = [native(c) for c, u in zip(series.cat.categories, used) if u]
            return np.ascontiguousarray(remap[codes], dtype=np.int64), labels
        if isinstance(series.dtype, (pd.StringDtype, pd.ArrowDtype)):
            fast = _factorize_arrow_strings(getattr(series, "array", series), name, pd, shared)
            if fast is not None:
                return fast
        groups = series.to_numpy()
    arr = groups if isinstance(groups, np.ndarray) else None
    if arr is None:
        seq = list(groups)
        arr = np.empty(len(seq), dtype=object)
        arr[:] = seq
    if arr.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got shape {arr.shape}")
    kind = arr.dtype.kind
    if kind in "iu":
        return _factorize_integers(arr)
    if kind == "b":
        arr = arr.astype(np.int64)
        codes, labels = _factorize_integers(arr)
        return codes, [bool(v) for v in labels]
    if kind == "f":
        bad = np.isnan(arr)
        if bad.any():
            raise ValueError(f"{name} has a missing label at row {int(np.argmax(bad))}")
        uniques, codes = np.unique(arr, return_inverse=True)
        return np.ascontiguousarray(codes.reshape(-1), dtype=np.int64), [float(v) for v in uniques]
    if kind in "US":
        uniques, codes = np.unique(arr, return_inverse=True)
        return np.ascontiguousarray(codes.reshape(-1), dtype=np.int64), [native(v) for v in uniques]
    if kind == "M" or kind == "m":
        uniques, codes = np.unique(arr, return_inverse=True)
        return np.ascontiguousarray(codes.reshape(-1), dtype=np.int64), list(uniques)
    fast = _factorize_strings(arr)
    if fast is not None:
        return fast
    # Objects: first appearance by hashing, keyed by (type, value) so that
    # equal-looking labels of different kinds stay apart.
    values = arr.tolist()
    index, labels, codes = {}, [], np.empty(len(values), dtype=np.int64)
    for r, v in enumerate(values):
        if _missing(v):
            raise ValueError(f"{name} has a missing label at row {r}")
        key = (type(v), v)
        try:
            c = index.get(key)
        except TypeError:
            raise ValueError(f"{name} has an unhashable label at row {r}: {v!r}") from None
        if c is None:
            c = index[key] = len(labels)
            labels.append(v)
        codes[r] = c
    order = level_positions(labels)
    if order is not None:
        rank = np.empty(len(labels), dtype=np.int64)
        rank[order] = np.arange(len(labels))
        return rank[codes], [labels[k] for k in order]
    return codes, labels


def _factorize_strings(arr):
    """Sorted codes for an object array of nothing but str, by pandas' hash
    table (None without pandas or for any other content)."""
    try:
        import pandas as pd
    except ImportError:
        return None
    if pd.api.types.infer_dtype(arr, skipna=False) != "string":
        return None
    codes, uniques = pd.factorize(arr, sort=True)
    return np.ascontiguousarray(codes, dtype=np.int64), list(uniques)


def _factorize_arrow_strings(values, name, pd, shared=False):
    """Sorted codes for pandas strings held by Arrow (pandas' default ``str``
    dtype, ``string[pyarrow]``, ``ArrowDtype(pa.string())``), from Arrow's
    dictionary encoding: no Python string is made per row, only one per
    label. The labels are sorted as Python sorts strings (by code point);
    many labels by Arrow, whose order of UTF-8 bytes is the same. None for
    any other values.

    An Arrow array never changes: the codes of one already coded (the same
    table's column in another fit) are handed out again, copied unless
    shared (read-only then)."""
    dtype = getattr(values, "dtype", None)
    arrow = (isinstance(dtype, pd.StringDtype) and dtype.storage == "pyarrow") or isinstance(dtype, pd.ArrowDtype)
    if not arrow or not hasattr(values, "__arrow_array__") or not fast():
        return None
    source = values.__arrow_array__()
    kept = _ARROW_CODES.get(id(source))
    if kept is not None and kept[0]() is source:
        return kept[1] if shared else kept[1].copy(), list(kept[2])
    out = _arrow_string_codes(source, name, pd)
    if out is not None:
        _keep_arrow_codes(source, *out)
    return out


# The codes and labels of Arrow arrays coded so far, by the array's identity,
# each with a weak reference to its array (checked on use, and the entry
# dropped when the array goes): a table's memory is never held here, and
# codes of long columns (8 bytes a row) are not kept.
_ARROW_CODES = {}
_KEPT_ARROW_CODES = 32
_KEPT_ROWS = 1 << 20


def _keep_arrow_codes(source, codes, labels):
    import weakref

    if len(codes) > _KEPT_ROWS:
        return
    key = id(source)
    try:
        ref = weakref.ref(source, lambda _, key=key: _ARROW_CODES.pop(key, None))
    except TypeError:
        return
    if len(_ARROW_CODES) >= _KEPT_ARROW_CODES:
        _ARROW_CODES.clear()
    kept = codes.copy()
    kept.flags.writeable = False
    _ARROW_CODES[key] = (ref, kept, list(labels))


def _arrow_string_codes(arr, name, pd):
    """_factorize_arrow_strings' codes and labels of an Arrow array (or
    chunked array), or None for one that holds no strings."""
    import pyarrow as pa

    if isinstance(arr, pa.ChunkedArray):
        arr = arr.chunk(0) if arr.num_chunks == 1 else arr.combine_chunks()
    if not (pa.types.is_string(arr.type) or pa.types.is_large_string(arr.type)):
        return None
    if arr.null_count:
        raise ValueError(f"{name} has a missing label at row {int(np.argmax(np.asarray(arr.is_null())))}")
    if len(arr) >= _PACKED_FROM:
        packed = _packed_string_codes(arr, pd)
        if packed is not None:
            return packed
    encoded = arr.dictionary_encode()
    dictionary = encoded.dictionary
    if len(dictionary) <= 4096:  # few labels: sorted as Python strings
        labels = dictionary.to_pylist()
        if all(a < b for a, b in zip(labels, labels[1:])):  # first seen in order: the codes are Arrow's
            return np.asarray(encoded.indices).astype(np.int64), labels
        order = sorted(range(len(labels)), key=labels.__getitem__)
        labels = [labels[k] for k in order]
    else:
        import pyarrow.compute as pc

        order = pc.array_sort_indices(dictionary)
        labels = dictionary.take(order).to_pylist()
    rank = np.empty(len(labels), dtype=np.int64)
    rank[np.asarray(order, dtype=np.int64)] = np.arange(len(labels), dtype=np.int64)
    return rank[np.asarray(encoded.indices)], labels


# From this many rows short strings are coded as 64-bit integers by pandas'
# hash table (see _packed_string_codes), ahead of Arrow's dictionary.
_PACKED_FROM = 4096
# The low 8 k bits, for strings of k bytes.
_LOW_BYTES = np.array([(1 << (8 * k)) - 1 for k in range(9)], dtype=np.uint64)


def _packed_string_codes(arr, pd):
    """_factorize_arrow_strings for an Arrow string array (one chunk, no
    missing values) whose strings are at most 8 bytes of UTF-8 without a
    NUL byte, or None: each string's bytes read as one integer (zeros past
    its end), hashed by pandas. Read with the first byte the most
    significant, the integers order as the strings' bytes do, which is the
    code-point order Python sorts strings by; the labels are the distinct
    integers' bytes, decoded."""
    import pyarrow as pa

    n = len(arr)
    offset_type = np.dtype(np.int64 if pa.types.is_large_string(arr.type) else np.int32)
    _, offsets_buffer, data_buffer = arr.buffers()
    offsets = np.frombuffer(offsets_buffer, dtype=offset_type, count=n + 1,
                            offset=arr.offset * offset_type.itemsize).astype(np.intp, copy=False)
    start, end = int(offsets[0]), int(offsets[-1])
    lengths = np.diff(offsets)
    if int(lengths.max()) > 8:
        return None
    padded = np.zeros(end - start + 8, dtype=np.uint8)
    if end > start:
        data = np.frombuffer(data_buffer, dtype=np.uint8, count=end - start, offset=start)
        if not data.all():  # a NUL byte: "a" and "a\0" would read alike
            return None
        padded[:end - start] = data
    # Eight bytes from every position, read little-endian: a string's bytes are the low ones, the rest masked.
    windows = np.ndarray((end - start + 1,), dtype="<u8", buffer=padded, strides=(1,))
    keys = np.take(windows, offsets[:-1] - start)
    keys &= _LOW_BYTES[lengths]
    local, uniques = pd.factorize(keys)
    uniques = np.asarray(uniques, dtype="<u8")
    order = np.argsort(uniques.byteswap(), kind="stable")  # byteswapped: the first byte the most significant
    raw = uniques[order].tobytes()
    labels = [raw[8 * k:8 * k + 8].rstrip(b"\0").decode("utf-8") for k in range(len(order))]
    rank = np.empty(len(order), dtype=np.int64)
    rank[order] = np.arange(len(order), dtype=np.int64)
    return rank[local], labels


def _factorize_integers(arr):
    arr = np.asarray(arr)
    n = len(arr)
    if n == 0:
        return np.zeros(0, dtype=np.int64), []
    lo, hi = int(np.minimum.reduce(arr)), int(np.maximum.reduce(arr))
    if lo >= 0 and hi < 4 * n + 1024:
        counts = np.bincount(arr, minlength=hi + 1)
        present = counts > 0
        if present.all() and arr.dtype == np.int64 and arr.flags.c_contiguous:
            return arr, list(range(hi + 1))  # already codes 0..m-1: no copy
        lut = present.cumsum() - 1
        return np.ascontiguousarray(lut[arr], dtype=np.int64), np.nonzero(present)[0].tolist()
    uniques, codes = np.unique(arr, return_inverse=True)
    return np.ascontiguousarray(codes.reshape(-1), dtype=np.int64), [int(v) for v in uniques]


# ---- labels collected across parts of a table --------------------------------------

def level_positions(values):
    """The positions of distinct values in the order levels take when
    nothing else orders them: sorted when they have one total order (see
    ``_sortable``), or None to keep them in order of first appearance. The
    one rule of level order for tables in memory and read in parts."""
    if not _sortable(values):
        return None
    try:
        return sorted(range(len(values)), key=values.__getitem__)
    except TypeError:
        return None


def level_order(values):
    """Distinct values in level order (see :func:`level_positions`)."""
    values = list(values)
    order = level_positions(values)
    return values if order is None else [values[k] for k in order]


def merge_level_orders(orders, column):
    """One level order from the category orders of several parts of a table
    (files, batches, partitions): the order every part agrees on, with the
    values whose relative place no part fixes put in :func:`level_order`.

    orders is a list of (where, categories) with where naming the part (a
    file, "partition 3"). Identical orders (the usual case: every part
    written from one categorical) give that order; parts that order two
    values differently raise ValueError naming the column and both parts.
    """
    distinct = []
    for where, seq in orders:
        seq = [native(v) for v in seq]
        if not any(seq == other for _, other in distinct):
            distinct.append((where, seq))
    if not distinct:
        return []
    if len(distinct) == 1:
        return list(distinct[0][1])
    # A topological sort of "a comes before b" from each part's neighbours;
    # ties broken by level_order, a cycle is a disagreement.
    first, succ, indeg = {}, {}, {}
    for _, seq in distinct:
        for v in seq:
            if v not in first:
                first[v] = len(first)
                succ[v], indeg[v] = {}, 0  # dicts as ordered sets: a rerun gives the same order
        for a, b in zip(seq, seq[1:]):
            if b not in succ[a]:
                succ[a][b] = None
                indeg[b] += 1
    ready = [v for v in first if indeg[v] == 0]
    out = []
    while ready:
        v = level_order(ready)[0]
        ready.remove(v)
        out.append(v)
        for w in succ[v]:
            indeg[w] -= 1
            if indeg[w] == 0:
                ready.append(w)
    if len(out) == len(first):
        return out
    for i, (wa, a) in enumerate(distinct):
        for wb, b in distinct[i + 1:]:
            common = set(a) & set(b)
            ca, cb = [v for v in a if v in common], [v for v in b if v in common]
            if ca != cb:
                raise ValueError(f"the categories of column {column!r} are ordered differently in {wa} "
                                 f"({ca}) and in {wb} ({cb}): the level order (the first level is the "
                                 f"reference) is ambiguous; give every part the same categories")
    raise ValueError(f"the categories of column {column!r} are ordered inconsistently across the parts "
                     f"of the table")  # pragma: no cover (two parts always disagree pairwise)


def united_labels(labels):
    """(the sorted distinct values of non-empty int64 arrays, as np.unique
    gives them; each array's positions among them). By a mark per value when
    their range is modest, without sorting or hashing."""
    if not labels:
        return np.zeros(0, dtype=np.int64), []
    lo, hi = min(int(a.min()) for a in labels), max(int(a.max()) for a in labels)
    if hi - lo >= 4 * sum(len(a) for a in labels) + 1024:
        united = np.unique(np.concatenate(labels))
        return united, [np.searchsorted(united, a) for a in labels]
    position = np.zeros(hi - lo + 1, dtype=np.int64)
    for a in labels:
        position[a - lo] = 1
    united = np.flatnonzero(position) + lo
    position[united - lo] = np.arange(len(united))
    return united, [position[a - lo] for a in labels]


class LabelCoder:
    """Group labels coded across batches, by pandas' hash tables: codes in
    order of first appearance; ``order()`` gives the final order.

    The final order is the order of labels given in advance; otherwise the
    categories' order when every batch's labels were categorical (their
    orders merged by :func:`merge_level_orders`), else the sorted labels.
    """

    def __init__(self, labels=None, column=None):
        import pandas as pd

        self._pd = pd
        self.column = column  # the group column's name, for messages
        self.index = None if labels is None else pd.Index(labels)
        self.fixed = labels is not None  # known in advance: unseen labels are an error
        self._use_lut = labels is None
        self._table = np.full(0, -1, dtype=np.int64)
        self._orders = []  # (batch number, categories) of categorical batches
        self._plain = 0    # batches whose labels were not categorical
        self._batches = 0

    def codes(self, values, where=None):
        """int64 codes of a batch's labels (a pandas Series, or anything
        array-like); where names the batch's part of the table in messages."""
        pd = self._pd
        self._batches += 1
        if isinstance(getattr(values, "dtype", None), pd.CategoricalDtype):
            categories = values.cat.categories
            if not self._orders or not self._orders[-1][1].equals(categories):
                self._orders.append((where or f"batch {self._batches - 1}", categories))
            return self._map(np.asarray(values.cat.codes, dtype=np.int64), categories)
        self._plain += 1
        values = np.asarray(values)
        if self._use_lut and values.dtype.kind in "iu":
            if self._lut_codes(values) is not None:
                return self._lut
        self._use_lut = False  # from here on every label goes through the index
        local, uniques = pd.factorize(values, use_na_sentinel=True)
        return self._map(np.asarray(local, dtype=np.int64), uniques)

    def _map(self, local, uniques):
        """Codes in the coder's index for local codes into uniques."""
        pd = self._pd
        if (local < 0).any():
            raise ValueError(f"the group column{'' if self.column is None else f' {self.column!r}'} has a "
                             f"missing label at row {int(np.argmax(local < 0))} of a batch")
        if self.index is None:
            self.index = pd.Index(uniques)
            return local
        mapping = np.asarray(self.index.get_indexer(uniques), dtype=np.int64)
        new = mapping < 0
        if new.any():
            if self.fixed:
                present = np.zeros(len(uniques), dtype=bool)
                present[local] = True
                if (new & present).any():
                    raise ValueError(f"group label {uniques[np.argmax(new & present)]!r} is not among the "
                                     f"labels collected")
                mapping[new] = -1
                return mapping[local]
            start = len(self.index)
            self.index = self.index.append(pd.Index(uniques[new]))
            mapping[new] = np.arange(start, start + int(new.sum()))
        return mapping[local]

    # Integer labels in a modest range are coded through a lookup table (a
    # gather instead of hashing every row); codes follow first appearance
    # in the table's order within each batch, as hashing would not, but the
    # labels are sorted at the end either way.
    _LUT_LIMIT = 1 << 26

    def _lut_codes(self, values):
        if len(values) == 0:
            self._lut = np.zeros(0, dtype=np.int64)
            return self._lut
        lo, hi = int(values.min()), int(values.max())
        if lo < 0 or hi >= self._LUT_LIMIT:
            return None
        table = self._table
        if hi >= len(table):
            grown = np.full(max(hi + 1, 2 * len(table)), -1, dtype=np.int64)
            grown[: len(table)] = table
            table = self._table = grown
        codes = table[values]
        new = codes < 0
        if new.any():
            if self.fixed:
                raise ValueError(f"group label {int(values[np.argmax(new)])} is not among the labels collected")
            fresh = united_labels([np.asarray(values[new], dtype=np.int64)])[0]
            start = 0 if self.index is None else len(self.index)
            table[fresh] = np.arange(start, start + len(fresh))
            self.index = self._pd.Index(fresh) if self.index is None else self.index.append(self._pd.Index(fresh))
            codes = table[values]
        self._lut = codes
        return codes

    def order(self):
        """(the labels in their final order, the old code of each new
        position), over every label coded so far."""
        index = self.index
        if index is None:
            return [], np.zeros(0, dtype=np.int64)
        labels = [native(v) for v in index.tolist()]
        if self.fixed:
            return labels, np.arange(len(labels), dtype=np.int64)
        if self._orders and not self._plain:
            merged = merge_level_orders([(w, list(c)) for w, c in self._orders], self.column or "groups")
            rank = {v: k for k, v in enumerate(merged)}
            order = sorted(range(len(labels)), key=lambda k: rank[labels[k]])
        else:
            try:
                order = np.asarray(index.argsort(kind="stable"), dtype=np.int64)
                if not index.take(order).is_monotonic_increasing:
                    raise TypeError
            except TypeError:
                order = level_positions(labels)
                if order is None:
                    order = range(len(labels))  # labels of kinds without one order: first appearance
        order = np.asarray(order, dtype=np.int64)
        return [labels[k] for k in order], order
