"""The user's arrays as the model's: NumPy arrays and pandas objects to
float64 arrays, pandas inputs paired by index, and per-row values (weights,
offsets) taken at the rows a formula model keeps.

Nothing here imports pandas: pandas objects are recognised by their module.
"""

from __future__ import annotations

import numpy as np

from .._checks import check_finite, check_weights

__all__ = ["is_pandas", "to_float", "as_response", "as_design", "align", "per_row", "columns_by_name",
           "response_at_rows"]


def is_pandas(obj):
    return type(obj).__module__.split(".")[0] == "pandas"


def to_float(values, what):
    try:
        if is_pandas(values):
            return values.to_numpy(dtype=np.float64, na_value=np.nan)
        arr = np.asarray(values)
        if arr.dtype.kind not in "biuf":
            if arr.dtype.kind == "O":
                arr = arr.astype(np.float64)
            else:
                raise TypeError(f"dtype {arr.dtype}")
        return np.asarray(arr, dtype=np.float64)
    except (TypeError, ValueError, OverflowError) as exc:
        raise ValueError(f"{what} must be numeric ({exc})") from None


def as_response(y):
    name = None
    if is_pandas(y):
        if hasattr(y, "columns"):
            if y.shape[1] != 1:
                raise ValueError(f"y must have one column, got {y.shape[1]}")
            name = y.columns[0]
        else:
            name = y.name
    arr = to_float(y, "y")
    if arr.ndim == 2 and arr.shape[1] == 1:
        arr = arr[:, 0]
    if arr.ndim != 1:
        raise ValueError(f"y must be one-dimensional, got shape {arr.shape}")
    return np.ascontiguousarray(arr), ("y" if name is None else str(name))


def as_design(a, what, prefix):
    names = None
    if is_pandas(a) and hasattr(a, "columns"):
        names = [str(c) for c in a.columns]
    elif is_pandas(a) and getattr(a, "name", None) is not None:
        names = [str(a.name)]
    arr = to_float(a, what)
    if arr.ndim == 1:
        arr = arr[:, None]
    if arr.ndim != 2:
        raise ValueError(f"{what} must be two-dimensional, got shape {arr.shape}")
    if names is None:
        names = [f"{prefix}{j}" for j in range(arr.shape[1])]
    return np.ascontiguousarray(arr, dtype=np.float64), names


def align(objects, names):
    """pandas inputs paired by index: the first pandas object's index is the
    model's rows; the others must hold the same labels (in any order, then
    they are reordered to it). Plain arrays are paired by position."""
    index = None
    first = None
    for obj, name in zip(objects, names):
        if is_pandas(obj) and hasattr(obj, "index"):
            index, first = obj.index, name
            break
    if index is None:
        return objects, None
    out = []
    for obj, name in zip(objects, names):
        if obj is None or not (is_pandas(obj) and hasattr(obj, "index")) or obj.index.equals(index):
            out.append(obj)
            continue
        if not index.is_unique or not obj.index.is_unique:
            raise ValueError(f"the index of {name} differs from the index of {first} and is not unique: "
                             f"pandas inputs are paired by index")
        if len(obj.index) != len(index) or not obj.index.isin(index).all():
            raise ValueError(f"the index of {name} does not hold the same rows as the index of {first}: "
                             f"pandas inputs are paired by index")
        out.append(obj.loc[index])
    return out, index


def per_row(frame, values, kept, what):
    """A column's values (by name) or an array / Series of one value per row
    of the table, at the rows the model keeps. A Series is paired with the
    table by index and must hold every row's label; missing or infinite
    values at the rows the model keeps raise, naming the count and the first
    row of the table."""
    if isinstance(values, str):
        return to_float(frame[values], what)[kept]
    if is_pandas(values) and hasattr(values, "index"):
        if not values.index.equals(frame.index):
            if not values.index.is_unique or not frame.index.is_unique:
                raise ValueError(f"the index of {what} differs from the data's and is not unique: a Series "
                                 f"is paired with the data's rows by index")
            absent = ~frame.index.isin(values.index)
            if absent.any():
                raise ValueError(f"the index of {what} lacks {int(absent.sum())} of the data's row labels "
                                 f"(first {frame.index[int(np.argmax(absent))]!r}): a Series is paired with the "
                                 f"data's rows by index")
            values = values.reindex(frame.index)
        arr = to_float(values, what)
    else:
        arr = to_float(values, what).reshape(-1)
    if len(arr) != len(kept):
        raise ValueError(f"{what} has {len(arr)} values but the data has {len(kept)} rows")
    if what == "weights":
        check_weights(arr, kept)
    else:
        bad = ~np.isfinite(arr) & kept
        if bad.any():
            check_finite(np.where(bad, arr, 0.0), what)
    return arr[kept]


def columns_by_name(a, names, what):
    if is_pandas(a) and hasattr(a, "columns"):
        cols = [str(c) for c in a.columns]
        missing = [n for n in names if n not in cols]
        if missing:
            raise ValueError(f"{what} lacks the column{'s' if len(missing) > 1 else ''} "
                             f"{', '.join(map(repr, missing))} the model was fitted with")
        a = a.rename(columns=str)[names]
    arr = as_design(a, what, "x")[0]
    if arr.shape[1] != len(names):
        raise ValueError(f"{what} has {arr.shape[1]} columns, the model {len(names)}")
    return arr


def response_at_rows(y_new, n, index, source_index=None, kept_mask=None):
    """A new response as float values at a model's n rows: a pandas object
    paired by index (with the model's rows, or with every row of the table a
    formula model was built from, of which the kept rows are taken), else by
    position (n values, or one per row of the table)."""
    if is_pandas(y_new) and index is not None and hasattr(y_new, "index"):
        if source_index is not None and len(y_new) == len(source_index):
            y_new = y_new.loc[source_index]
            y_new = y_new[kept_mask]
        else:
            y_new = y_new.loc[index]
    arr = to_float(y_new, "y_new").ravel()
    if len(arr) != n:
        if kept_mask is not None and len(arr) == len(kept_mask):
            arr = arr[kept_mask]
        else:
            raise ValueError(f"y_new has {len(arr)} values but the model has {n} rows")
    return arr
