"""A table's columns as the design builders read them: the kind of each
column (numeric, categorical, neither), the conversions both builders share
(decimal numbers and object columns of numbers to floats, extension strings
to objects, Arrow dictionaries to categoricals), dates refused by name, and
factor levels: codes against known levels, a batch's factors recoded to the
levels of the whole table, categories without rows removed.
"""

from __future__ import annotations

import datetime
import decimal
import math

import numpy as np

__all__ = ["Columns", "column_kind", "coerce_columns", "needs_conversion", "missing_mask", "numeric_values",
           "big_integers", "level_codes", "factor_levels", "with_levels", "without_unused_categories"]


def numeric_values(values, col):
    """A column's values as float64 (no copy when they are already); ValueError
    naming the column when they are not numbers."""
    kind = values.dtype.kind
    if values.dtype == np.float64:
        return values.to_numpy()  # no copy
    if kind in "biuf" and isinstance(values.dtype, np.dtype):
        return values.to_numpy().astype(np.float64)  # NumPy's numbers (NaN stays NaN)
    if kind in "biuf":
        return values.to_numpy(dtype=np.float64, na_value=np.nan)
    kind = _value_kind(values)
    if kind == "decimal":
        return _decimals(values, col).to_numpy()
    if kind == "number":
        return _object_numbers(values, col).to_numpy()
    if kind == "date":
        raise ValueError(_dates_message(values, col))
    raise ValueError(f"column {col!r} is not numeric ({values.dtype})")


def _value_kind(values):
    """Of a Series (or Index): 'decimal' (decimal.Decimal objects, Arrow decimals), 'date' (dates,
    times, durations and periods, in any representation), 'number' (an
    object column of Python or NumPy numbers), 'text' (strings in an
    extension type other than pandas' default ``str``: ``string``, Arrow
    strings), 'dictionary' (an Arrow dictionary column) or None."""
    dtype = values.dtype
    if isinstance(dtype, np.dtype) and dtype.kind in "biuf":  # NumPy's numbers (the usual column)
        return None
    import pandas as pd

    if dtype.kind in "mM" or isinstance(dtype, pd.PeriodDtype):
        return "date"
    if isinstance(dtype, pd.CategoricalDtype):  # the categories say it, without touching the rows
        return "date" if _value_kind(dtype.categories) == "date" else None
    if isinstance(dtype, pd.ArrowDtype):
        import pyarrow as pa

        t = dtype.pyarrow_dtype
        if pa.types.is_decimal(t):
            return "decimal"
        if pa.types.is_dictionary(t):
            return "dictionary"
        if pa.types.is_string(t) or pa.types.is_large_string(t) or str(t) == "string_view":
            return "text"
        return "date" if pa.types.is_temporal(t) else None
    if isinstance(dtype, pd.StringDtype):
        return None if dtype == "str" else "text"  # formulaic reads 'str' (and object) as categorical
    if dtype.kind != "O" or len(values) == 0:
        return None
    # The first present value says what to look for; the whole column confirms it.
    head = values.to_numpy()[:64]
    present = head[~pd.isna(head)]
    if len(present) == 0:
        present = values.to_numpy()[values.notna().to_numpy()]
        if len(present) == 0:
            return None
    first = present[0]
    if isinstance(first, decimal.Decimal):
        return "decimal" if pd.api.types.infer_dtype(values, skipna=True) == "decimal" else None
    if isinstance(first, (datetime.date, datetime.time, datetime.timedelta, pd.Period)):
        return "date"
    if isinstance(first, (int, float, np.integer, np.floating)) and not isinstance(first, (bool, np.bool_)):
        # Numbers in an object column are numbers (as R reads them), never levels.
        inferred = pd.api.types.infer_dtype(values, skipna=True)
        return "number" if inferred in ("integer", "floating", "mixed-integer-float") else None
    return None


def _dates_message(values, col):
    return (f"column {col!r} holds dates or times ({values.dtype}); convert it to numbers (for example days "
            f"since a start) to use it in a formula, or to strings to use it as a factor")


def _decimals(values, col):
    """A column of decimal numbers as floats (as R reads them: doubles)."""
    import pandas as pd

    if isinstance(values.dtype, pd.ArrowDtype):
        return pd.Series(values.to_numpy(dtype=np.float64, na_value=np.nan), index=values.index, name=col)
    out = np.fromiter((float(v) if isinstance(v, decimal.Decimal) and not v.is_nan() else np.nan
                       for v in values.to_numpy()), dtype=np.float64, count=len(values))
    return pd.Series(out, index=values.index, name=col)


def needs_conversion(values):
    """Whether :func:`coerce_columns` converts a column (decimal numbers,
    numbers in an object column, strings of an extension type, Arrow
    dictionaries) or refuses it (dates); False for a column the builders
    read as it is."""
    return _value_kind(values) is not None


def missing_mask(values):
    """The rows where a column (a pandas Series) is missing, as pandas'
    ``isna`` marks them, or None when none is (a column of integers or
    booleans holds no missing value)."""
    dtype = values.dtype
    if isinstance(dtype, np.dtype):
        if dtype.kind in "biu":
            return None
        if dtype.kind == "f":
            mask = np.isnan(values.to_numpy())
            return mask if mask.any() else None
    import pandas as pd

    array = values.array
    if isinstance(dtype, pd.StringDtype) and dtype.storage == "pyarrow" and hasattr(array, "__arrow_array__"):
        if array.__arrow_array__().null_count == 0:  # Arrow strings are missing where null, and only there
            return None
    mask = np.asarray(array.isna(), dtype=bool)
    return mask if mask.any() else None


def coerce_columns(frame, cols, keep=()):
    """frame with its columns among cols in the types both builders read
    alike: decimal numbers and object columns of numbers as floats, strings
    of any extension type as objects, Arrow dictionaries as categoricals (in
    the dictionary's order); date columns refused by name. Number columns in
    keep (factors whose levels were collected from the values) keep their
    values."""
    converted = {}
    for c in cols:
        if c not in frame.columns:
            continue
        values = frame[c]
        kind = _value_kind(values)
        if kind == "date":
            raise ValueError(_dates_message(values, c))
        if kind == "decimal" and c not in keep:
            converted[c] = _decimals(values, c)
        elif kind == "number" and c not in keep:
            converted[c] = _object_numbers(values, c)
        elif kind == "text":
            converted[c] = values.astype(object).where(values.notna().to_numpy(), np.nan)
        elif kind == "dictionary":
            converted[c] = _dictionary_categorical(values)
    return frame.assign(**converted) if converted else frame


def _object_numbers(values, col):
    """An object column of numbers as floats (as int64 when every value is
    an integer, so that C(x) names its levels as for an integer column);
    integers that double precision cannot hold exactly (beyond 2^53) are
    refused."""
    import pandas as pd

    raw = values.to_numpy()
    present = ~pd.isna(raw)
    out = np.full(len(raw), np.nan)
    out[present] = np.asarray(raw[present].tolist(), dtype=np.float64)
    integers = True
    for v, f in zip(raw[present], out[present]):
        if not isinstance(v, (int, np.integer)):
            integers = False
        elif not math.isfinite(f) or int(f) != int(v):
            raise ValueError(f"column {col!r} holds integers that double precision cannot represent exactly "
                             f"(beyond 2^53), e.g. {v!r}; subtract a common offset or convert the column yourself")
    if integers and present.all() and bool(np.all(np.abs(out) < 2.0 ** 62)):
        return pd.Series(out.astype(np.int64), index=values.index, name=col)
    return pd.Series(out, index=values.index, name=col)


def _dictionary_categorical(values):
    """An Arrow dictionary column as a pandas Categorical whose categories
    are the dictionary in its order (as the Arrow readers take it)."""
    import pandas as pd
    import pyarrow as pa

    arr = pa.array(values)
    if isinstance(arr, pa.ChunkedArray):
        arr = arr.unify_dictionaries().combine_chunks() if arr.num_chunks else arr.combine_chunks()
    cat = arr.to_pandas()
    return pd.Series(pd.Categorical(cat), index=values.index, name=values.name)


def level_codes(values, levels, col, new_data):
    """0..k-1 for levels[0..k-1]; -1 for missing. A value outside the levels
    raises (new data with a level the fit never saw)."""
    import pandas as pd

    codes = np.asarray(pd.Index(levels).get_indexer(values), dtype=np.int64)
    unseen = (codes < 0) & ~pd.isna(values).to_numpy()
    if unseen.any():
        bad = values.to_numpy()[np.argmax(unseen)]
        raise ValueError(f"new level {bad!r} of factor {col!r}: the model was fitted with the levels "
                         f"{list(levels)}")
    return codes


def factor_levels(values, col, unused=False):
    """(level codes as int64, levels) of a categorical column without
    missing values: a Categorical's categories in their order, less those no
    row holds (R's drop.unused.levels) unless `unused` (the levels of a
    table read in batches); otherwise the values' levels as
    :func:`corvane.formula.labels.factorize` orders them (strings sorted). The codes
    may be read-only (shared between calls)."""
    import pandas as pd

    from .labels import factorize

    if not isinstance(values.dtype, pd.CategoricalDtype):
        return factorize(values, col, shared=True)
    cat = values.array
    codes = np.asarray(cat.codes)
    return (codes.astype(np.int64), level_list(cat.categories)) if unused else used_levels(codes, cat.categories)


def with_levels(sub, levels, missing):
    """The factor columns of a batch as categoricals of the table's levels
    ({column: levels}); a value outside them on a row that is kept (the
    first pass left it out) raises."""
    import pandas as pd

    out = {}
    for c, lv in levels.items():
        if c not in sub.columns:
            continue
        values = sub[c]
        index = pd.Index(lv)
        if isinstance(values.dtype, pd.CategoricalDtype):  # recode the batch's categories
            mapping = np.append(np.asarray(index.get_indexer(values.cat.categories), dtype=np.int64), -1)
            codes = mapping[values.cat.codes.to_numpy()]  # code -1 (missing) takes the appended -1
        else:
            codes = np.asarray(index.get_indexer(values))
        cat = pd.Categorical.from_codes(codes, categories=index)
        outside = (codes < 0) & ~missing & ~values.isna().to_numpy()
        if outside.any():
            r = int(np.argmax(outside))
            raise ValueError(f"value {values.iloc[r]!r} of factor {c!r} (at row {r} of a batch) is not among "
                             f"the levels found in the first pass over the data, {list(lv)}: the data "
                             f"changed between the two passes")
        out[c] = cat
    return sub.assign(**out) if out else sub


def without_unused_categories(sub):
    """sub with the categories that no row holds removed from its
    categorical columns."""
    import pandas as pd

    out = {}
    for c in sub.columns:
        values = sub[c]
        if isinstance(values.dtype, pd.CategoricalDtype):
            codes = values.cat.codes.to_numpy()
            used = np.bincount(codes[codes >= 0], minlength=len(values.cat.categories)) > 0
            if not used.all():
                out[c] = values.cat.remove_unused_categories()
    return sub.assign(**out) if out else sub


def column_kind(series):
    """'numeric', 'categorical', 'bigint' (an object column of Python
    integers) or None (anything the direct path leaves to formulaic)."""
    dtype = series.dtype
    if dtype.kind in "biuf":
        return "numeric"
    import pandas as pd

    if _categorical_dtype(dtype):
        return "categorical"
    if dtype.kind == "O" or pd.api.types.is_string_dtype(dtype):
        inferred = pd.api.types.infer_dtype(series, skipna=True)
        if inferred == "string":
            return "categorical"
        if inferred == "integer":
            return "bigint"
    return None


def _categorical_dtype(dtype):
    """A categorical's or pandas strings' dtype: levels whatever the values
    (pandas infers "string" for any StringDtype)."""
    import pandas as pd

    return isinstance(dtype, (pd.CategoricalDtype, pd.StringDtype))


class Columns:
    """A DataFrame's columns, each taken out once (pandas' column access is
    slow next to the rest of a small fit), with their kinds.

    :meth:`of_series` holds columns already taken out and makes the
    DataFrame only when it is asked for (``frame``), with the function
    given; columns of NumPy's numbers are held as their arrays, and
    :meth:`numeric` hands out any numeric column's values as float64 once."""

    def __init__(self, frame):
        self._frame, self._make = frame, None
        self.columns = frame.columns
        self._series, self._kinds, self._numeric = {}, {}, {}
        self._source, self._arrays, self._keep, self._rows = {}, {}, None, None
        self._length = None

    @classmethod
    def of_series(cls, series, length, make_frame, arrays=None, keep=None):
        """series: the table's columns (Series of all its rows); keep: the
        mask of the rows kept (None for all), to which a Series is cut when
        it is first asked for; arrays: the values on the rows kept of the
        columns that hold NumPy's numbers."""
        self = object.__new__(cls)
        self._frame, self._make = None, make_frame
        self.columns = list(series)
        self._source, self._keep, self._rows = dict(series), keep, None
        self._series = dict(series) if keep is None else {}
        self._arrays = dict(arrays) if arrays else {}
        self._kinds, self._numeric = {}, {}
        self._length = length
        return self

    @property
    def frame(self):
        if self._frame is None:
            self._frame = self._make()
        return self._frame

    def __len__(self):
        return len(self._frame) if self._length is None else self._length

    def __getitem__(self, col):
        s = self._series.get(col)
        if s is None:
            source = self._source.get(col)
            s = self.frame[col] if source is None else self._cut(source)
            self._series[col] = s
        return s

    def _kept_rows(self):
        if self._rows is None:
            self._rows = np.flatnonzero(self._keep)
        return self._rows

    def _cut(self, source):
        """A Series of the table on the rows kept: its values taken from the
        column's array (a boolean mask on a pandas Series costs several
        times more), under a fresh index (the builders read values only)."""
        import pandas as pd

        return pd.Series(source.array.take(self._kept_rows()), name=source.name, copy=False)

    def factor(self, col, unused=False):
        """factor_levels of the column on the rows kept. When rows were
        dropped, a categorical's codes and a column of Arrow strings without
        missing values are coded on the whole column (Arrow's codes of a
        column are kept between calls) and cut to the rows kept, the levels
        no kept row holds left out unless `unused`."""
        source = self._source.get(col)
        if self._keep is None or source is None or col in self._arrays:
            return factor_levels(self[col], col, unused)
        import pandas as pd

        if isinstance(source.dtype, pd.CategoricalDtype):
            codes, levels = np.asarray(source.array.codes)[self._kept_rows()], level_list(source.array.categories)
        elif _arrow_strings_without_missing(source):
            whole, levels = factor_levels(source, col, unused)
            codes = whole[self._kept_rows()]
        else:
            return factor_levels(self[col], col, unused)
        return (codes.astype(np.int64), levels) if unused else used_levels(codes, levels)

    def dtype(self, col):
        source = self._source.get(col)
        return (self[col] if source is None else source).dtype

    def codes(self, col):
        """factorize's (codes, labels) of the column on the rows kept, coded
        on the whole column as :meth:`factor` codes it where that is
        cheaper."""
        from .labels import factorize, native

        source, values = self._source.get(col), self._arrays.get(col)
        if values is not None or self._keep is None or source is None:
            return factorize(self[col] if values is None else values, col)
        import pandas as pd

        if isinstance(source.dtype, pd.CategoricalDtype):
            codes, labels = used_levels(np.asarray(source.array.codes)[self._kept_rows()], source.array.categories)
            return codes, [native(v) for v in labels]
        if _arrow_strings_without_missing(source):
            whole, labels = factorize(source, col, shared=True)
            return used_levels(whole[self._kept_rows()], labels)
        return factorize(self[col], col)

    def array(self, col):
        """The column's values on the rows kept when it holds NumPy's
        numbers, else None."""
        return self._arrays.get(col)

    def numeric(self, col):
        """A numeric column's values as float64 (see :func:`numeric_values`)."""
        out = self._numeric.get(col)
        if out is None:
            a = self._arrays.get(col)
            if a is None:
                out = numeric_values(self[col], col)
            else:
                out = a if a.dtype == np.float64 else a.astype(np.float64)
            self._numeric[col] = out
        return out

    def kind(self, col):
        kind = self._kinds.get(col)
        if kind is None:
            source = self._source.get(col)
            if col in self._arrays:
                kind = "numeric"
            elif source is not None and _categorical_dtype(source.dtype):  # a dtype's kind: no need to cut
                kind = "categorical"
            else:
                kind = column_kind(self[col])
            self._kinds[col] = kind
        return kind


def _arrow_strings_without_missing(series):
    import pandas as pd

    dtype = series.dtype
    arrow = (isinstance(dtype, pd.StringDtype) and dtype.storage == "pyarrow") or isinstance(dtype, pd.ArrowDtype)
    return arrow and hasattr(series.array, "__arrow_array__") and series.array.__arrow_array__().null_count == 0


def level_list(levels):
    """A list of levels (a pandas Index, or any sequence): pandas' strings
    held by Arrow through Arrow's own conversion, several times quicker
    than pandas' item by item."""
    values = getattr(levels, "array", None)
    if hasattr(values, "__arrow_array__") and isinstance(getattr(levels, "dtype", None), _string_dtypes()):
        return values.__arrow_array__().to_pylist()
    return list(levels)


def _string_dtypes():
    import pandas as pd

    return (pd.StringDtype,)


def used_levels(codes, levels):
    """(codes renumbered over the levels some code holds, those levels), in
    the levels' order; codes are 0..len(levels)-1."""
    levels = level_list(levels)
    used = np.bincount(codes, minlength=len(levels)) > 0
    if used.all():
        return codes.astype(np.int64), levels
    remap = np.cumsum(used) - 1
    return remap[codes].astype(np.int64), [lv for lv, u in zip(levels, used) if u]


def big_integers(values, col):
    """A column of Python integers (some beyond int64) as floats, refused when
    floating point would change any of them."""
    as_float = values.astype(np.float64)
    if not all(int(f) == int(v) for f, v in zip(as_float.to_numpy(), values.to_numpy())):
        raise ValueError(f"column {col!r} holds integers that double precision cannot represent exactly "
                         f"(beyond 2^53); subtract a common offset or convert the column yourself")
    return as_float
