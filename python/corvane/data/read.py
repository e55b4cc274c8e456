"""The one entry that chooses how a model's table is read.

A table in memory (a pandas or polars DataFrame, a mapping of columns, a
CSV path) becomes a pandas DataFrame (:func:`as_frame`) whose rows the
formula builds. Data read in batches (a Parquet path or folder, a pyarrow
Table, Dataset or reader) become products batch by batch
(:func:`corvane.data.batches.read_stream`; a source read only once with
factor columns in one pass, :mod:`corvane.data.one_pass`), and a Dask
DataFrame becomes products on its workers (:mod:`corvane.data.dask`).

Each of these routes has faster forms for common data (columns read from
Arrow without a table, formulas of plain columns built without formulaic,
Dask partitions coded in one pass, the exact-fit check solved directly):
``corvane.general_route()`` turns every one of them off, for tests and for
users who suspect one, and gives the same model.
"""

from __future__ import annotations

from .._routes import general_route
from .sources import as_frame, is_dask, stream_of

__all__ = ["as_frame", "read_batches", "general_route"]


def read_batches(formula, data, env=None, progress=True):
    """The products of data read in batches (a StreamResult), or None for a
    table in memory (read it with :func:`as_frame`)."""
    stream = stream_of(data)
    if stream is not None:
        from ..formula import reading

        cols, group = reading.used_columns(formula, stream.columns, env)
        kinds = stream.kinds(cols + [group])
        factors = reading.factor_columns(formula, cols, {c: kinds[c] in ("number", "boolean") for c in cols})
        if factors and not stream.rereadable:  # levels cannot be read first: one pass that codes as it goes
            from .one_pass import read_once

            return read_once(formula, stream, cols, group, factors, env, progress)
        from .batches import read_stream

        return read_stream(formula, stream, cols, group, factors, env, progress)
    if is_dask(data):
        from .dask import read_dask

        return read_dask(formula, data, env, progress)
    return None
