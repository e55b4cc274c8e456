"""Where many responses come from: columns of the data table, a samples x
responses array or DataFrame, or the columns of a Parquet file or Arrow
table read a block of columns at a time, so that only one block sits in
memory. Every source hands out blocks of float64 columns aligned with the
data table's rows."""

from __future__ import annotations

import os

import numpy as np

from .._errors import require
from ..data.arrays import is_pandas, to_float
from ..data.sources import path_kind, stream_of

__all__ = ["ResponseSource", "response_source"]


class ResponseSource:
    """names: every response's name, in order; block(names) the values of
    those responses as a (rows of the table x len(names)) float64 array (NaN
    where missing) and a dict {column: message} of the responses that are
    not numbers (their columns all NaN)."""

    def __init__(self, names, block, kind):
        if len(set(names)) != len(names):
            dup = sorted({n for n in names if names.count(n) > 1})
            raise ValueError(f"the responses' names must be distinct; repeated: {dup[:5]}")
        self.names = list(names)
        self._block = block
        self.kind = kind

    def block(self, names):
        return self._block(list(names))

    def __len__(self):
        return len(self.names)


def _columns_to_float(frame, names):
    out = np.empty((len(frame), len(names)))
    errors = {}
    for j, name in enumerate(names):
        try:
            out[:, j] = to_float(frame[name], f"the response {name!r}")
        except ValueError as exc:
            out[:, j] = np.nan
            errors[j] = str(exc)
    return out, errors


def response_source(responses, frame, names=None):
    """The ResponseSource of ``responses`` for the data table ``frame`` (a
    pandas DataFrame): a list of its column names; a 2-D array (rows of the
    table x responses; ``names`` or "y0", "y1", ...); a pandas DataFrame of
    samples x responses paired with the table by index; a path to a Parquet
    file or folder, a pyarrow Table or Dataset (every column but a stored
    pandas index is a response; rows in the table's order)."""
    n = len(frame)
    if isinstance(responses, str) and responses in frame.columns:
        responses = [responses]
    if isinstance(responses, (str, os.PathLike)) or type(responses).__module__.split(".")[0] == "pyarrow":
        return _arrow_source(responses, n)
    if is_pandas(responses) and hasattr(responses, "columns"):
        if names is not None:
            responses = responses[list(names)]
        missing = frame.index.difference(responses.index)
        if len(missing) or not responses.index.is_unique:
            raise ValueError("the responses' DataFrame must hold each row of the data once, paired by index; "
                             f"{len(missing)} of the data's index labels are not in it" if len(missing) else
                             "the responses' DataFrame has repeated index labels")
        aligned = responses.loc[frame.index]
        aligned.columns = [str(c) for c in aligned.columns]
        return ResponseSource(list(aligned.columns), lambda cols: _columns_to_float(aligned, cols), "DataFrame")
    if isinstance(responses, (list, tuple)) and all(isinstance(r, str) for r in responses):
        unknown = [r for r in responses if r not in frame.columns]
        if unknown:
            raise ValueError(f"responses {unknown[:5]} are not columns of the data")
        return ResponseSource(list(responses), lambda cols: _columns_to_float(frame, cols), "columns")
    arr = to_float(responses, "responses")
    if arr.ndim != 2 or arr.shape[0] != n:
        raise ValueError(f"responses must be column names, a DataFrame, a Parquet or Arrow source, or a 2-D array "
                         f"with one row per row of the data ({n}); got shape {arr.shape}")
    labels = [f"y{j}" for j in range(arr.shape[1])] if names is None else [str(s) for s in names]
    if len(labels) != arr.shape[1]:
        raise ValueError(f"names has {len(labels)} entries for {arr.shape[1]} responses")
    where = {name: j for j, name in enumerate(labels)}
    return ResponseSource(labels, lambda cols: (arr[:, [where[c] for c in cols]], {}), "array")


def _arrow_source(source, n):
    if isinstance(source, (str, os.PathLike)) and path_kind(os.fspath(source)) != "parquet":
        raise ValueError(f"responses given as a path must be a Parquet file or folder, got {os.fspath(source)!r}")
    require("pyarrow", purpose="responses read from Parquet or Arrow")
    stream = stream_of(source)
    if stream is None or not stream.rereadable:
        raise ValueError("responses from Arrow must be a Parquet path, a pyarrow Table or a pyarrow Dataset "
                         "(read once per block of columns)")
    meta = stream.parts[0][1].pandas_metadata or {}
    stored_index = {c for c in meta.get("index_columns", []) if isinstance(c, str)}
    names = [c for c in stream.columns if c not in stored_index]

    def block(cols):
        parts = [_columns_to_float(frame, cols) for _, frame in stream.batches(cols)]
        out = np.concatenate([a for a, _ in parts]) if parts else np.empty((0, len(cols)))
        if out.shape[0] != n:
            raise ValueError(f"the responses' source has {out.shape[0]} rows; the data have {n}")
        errors = {}
        for _, e in parts:
            errors.update(e)
        out[:, list(errors)] = np.nan
        return out, errors

    return ResponseSource(names, block, stream.kind)
