"""From batches to products: a source read in batches (Parquet, Arrow, Dask
partitions) becomes the products of its rows under one model spec, one
reparametrisation and one label coder; the rows themselves are not kept.
A source that can be read only once (a RecordBatchReader) with factor
columns is read in one pass, its products growing a column for each level
as it comes (:mod:`corvane.data.one_pass`); Dask partitions become products on
their workers (:mod:`corvane.data.dask`)."""

from __future__ import annotations

from typing import NamedTuple

import numpy as np

from .._corvane import Accumulator
from ..design.construct import transform_args
from ..formula.labels import LabelCoder
from ..design.reparam import reparam_from_sample
from .sources import progress_bar
from .._checks import all_finite
from .._routes import fast

__all__ = ["BatchAccumulator", "merge_products", "read_stream", "StreamResult"]


class BatchAccumulator:
    """The products of batches of rows (y less any offset, X, Z, group
    labels) under one reparametrisation, taken from the first batch.

    labels, when given, are every group label in their final order (data
    whose labels were collected in a first pass); otherwise the labels are
    collected from the batches (see :class:`LabelCoder`)."""

    def __init__(self, labels=None, rp=None, column=None):
        self.coder = LabelCoder(labels, column)
        self.rp = rp
        self.acc = None
        self.n = 0
        self.counts = np.zeros(0 if labels is None else len(labels), dtype=np.int64)  # rows per group code

    def add(self, y, X, Z, groups, where=None, z_centred=True):
        if len(y) == 0:
            return
        if self.rp is None:
            self.rp = reparam_from_sample(y, X, Z, z_centred)
        if self.acc is None:
            self.acc = Accumulator(X.shape[1], Z.shape[1], **transform_args(self.rp))
        codes = self.coder.codes(groups, where)
        self.acc.add(np.ascontiguousarray(y, dtype=np.float64),
                     np.ascontiguousarray(self.rp.core_design(X), dtype=np.float64),
                     np.ascontiguousarray(Z, dtype=np.float64), codes)
        self._count(codes)
        self.n += len(y)

    def add_columns(self, y, x, z, groups, keep, where=None):
        """A batch given column by column (x and z lists of float64 columns,
        None for the intercept) with the rows to keep (a bool array, or None
        for all); groups holds the kept rows' labels only. Needs the
        reparametrisation already (from an earlier batch) and X's columns as
        the core takes them."""
        n_kept = len(y) if keep is None else int(np.count_nonzero(keep))
        if n_kept == 0:
            return
        if self.acc is None:
            self.acc = Accumulator(len(x), len(z), **transform_args(self.rp))
        kept_codes = self.coder.codes(groups, where)
        codes = kept_codes if keep is None else np.zeros(len(y), dtype=np.int64)
        if keep is not None:
            codes[keep] = kept_codes
        self.acc.add_columns(y, x, z, codes, keep=keep)
        self._count(kept_codes)
        self.n += n_kept

    def _count(self, codes):
        counts = np.bincount(codes, minlength=len(self.coder.index))
        if len(self.counts) < len(counts):
            counts[: len(self.counts)] += self.counts
            self.counts = counts
        else:
            self.counts[: len(counts)] += counts

    def groups(self):
        """(the labels of the groups with rows, in their final order, the
        accumulated code of each): labels whose rows were all dropped
        (missing values elsewhere) are no groups."""
        labels, order = self.coder.order()
        counts = np.zeros(len(labels), dtype=np.int64)
        counts[: len(self.counts)] = self.counts[: len(labels)]
        keep = counts[order] > 0
        return [v for v, k in zip(labels, keep) if k], order[keep]

    def arrays(self):
        """The products as arrays (None before any row)."""
        return None if self.acc is None else self.acc.to_arrays()


def merge_products(parts):
    """One accumulator holding the products of several (dicts from
    to_arrays, made on other processes), merged in the given order; None
    when no part has rows."""
    acc = None
    for part in parts:
        if part is None:
            continue
        a = Accumulator.from_arrays(part)
        if acc is None:
            acc = a
        else:
            acc.merge(a)
    return acc


def is_empty_batch_error(exc):
    return str(exc).startswith("no rows")


class StreamResult:
    """What reading a source in batches gives the model: the products, the
    reparametrisation, the model spec, the labels and the row counts."""

    def __init__(self, acc, rp, spec, labels, order, n_read, n_dropped):
        self.acc, self.rp, self.spec = acc, rp, spec
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


def refuse_stateful_parts(spec, source):
    """ValueError when the data, read in parts, meet transforms whose state
    the first part alone would give (a basis or a mean of a fraction of the
    rows, and coefficients that mean something else than for the table)."""
    names = stateful_transforms(spec)
    if names:
        raise ValueError(f"the formula's {', '.join(names)} take{'s' if len(names) == 1 else ''} a state from "
                         f"the data (a polynomial basis, a mean and scale, knots), and {source} is read in parts: "
                         f"the first part's state would stand for the whole table. Add the transformed columns "
                         f"to the data, or pass the data as one pandas DataFrame")


def read_stream(formula, stream, cols, group, factors, env=None, progress=True):
    """Build every batch's design under one spec (the factor columns'
    levels from a first pass over a source read again) and accumulate its
    products; cols are the columns the formula uses, group its grouping
    column."""
    from ..formula import build as _matrices

    levels = stream.levels(factors, cols + [group]) if factors else {}
    acc = BatchAccumulator(column=group)
    spec, n_read, n_dropped, plan = None, 0, 0, None
    arrow = stream.arrow_switch()
    bar = progress_for(progress, stream.rows, "rows")
    try:
        for where, frame in stream.batches(cols + [group], arrow):
            if plan is not None and not hasattr(frame, "iloc"):
                dropped = add_arrow_batch(acc, plan, frame, group, where)
                if dropped is None:  # a value the general path reports
                    frame = frame.to_pandas()
                else:
                    n_read += frame.num_rows
                    n_dropped += dropped
                    if bar is not None:
                        bar.update(frame.num_rows)
                    continue
            elif not hasattr(frame, "iloc"):
                frame = frame.to_pandas()
            if spec is not None and len(frame):
                refuse_stateful_parts(spec, f"the {stream.kind}")
            n_read += len(frame)
            try:
                if spec is None:
                    spec, y, X, Z, off, groups, dropped, _ = _matrices.build(formula, frame, env, levels=levels)
                else:  # the first batch's spec: the formula is not read again
                    _, y, X, Z, off, groups, dropped, _ = _matrices.build_batch(spec, frame, levels)
            except ValueError as exc:
                if spec is None and is_empty_batch_error(exc):
                    n_dropped += len(frame)
                    continue
                raise
            n_dropped += dropped
            acc.add(y - off, X, Z, groups, where, z_centred=spec.re_blocks is None)
            if plan is None and acc.acc is not None and fast():
                plan = columns_plan(spec, acc.rp)
                if plan is not None:
                    arrow.set()  # later batches stay Arrow batches
            if bar is not None:
                bar.update(len(frame))
    finally:
        if bar is not None:
            bar.close()
    if acc.acc is None:
        raise ValueError(f"no rows without missing values in the columns the formula uses "
                         f"({n_read} rows read)")
    labels, order = acc.groups()
    return StreamResult(acc.acc, acc.rp, spec, labels, order, n_read, n_dropped)


# ---- plain columns straight from Arrow ------------------------------------------------
#
# When the response and every column of Z are plain numeric columns (or the
# intercept) and X's are numeric columns and factors coded by treatment
# contrasts, a batch's products need no table: its Arrow columns go to the
# accumulator as they are (float64 without nulls are read in place), a
# factor's values are coded by a lookup into its levels and become one
# indicator column per level after the first, and the rows with a missing
# value are skipped by a flag: the same products bit for bit as the general
# path's stacked rows.

class ColumnsPlan(NamedTuple):
    """How a batch's columns make y, X and Z: X's and Z's entries are a
    column name, None for the intercept, or (factor column, level number)
    for the indicator of that level; factors maps each factor column to its
    levels; used lists every column the formula reads."""
    response: str
    x: list
    z: list
    used: list
    factors: dict


def columns_plan(spec, rp):
    """The ColumnsPlan of a spec whose y, X and Z come from plain columns and
    whose core takes X as it is, else None."""
    from ..formula.direct import DirectTerms

    fixed, random = spec.fixed, spec.random
    if spec.response is not None or spec.offsets or rp.x_unit is not None:
        return None
    if type(fixed) is not DirectTerms or type(random) is not DirectTerms:
        return None
    if any(levels is not None for _, levels in random.terms):
        return None
    from ..formula.parse import unquote

    x, factors = ([None] if fixed.intercept else []), {}
    for col, levels in fixed.terms:
        if levels is None:
            x.append(col)
        elif not fixed.intercept or col == spec.parsed.group:
            return None
        else:  # treatment contrasts: the first level is the reference
            factors[col] = list(levels)
            x += [(col, k) for k in range(1, len(levels))]
    z = ([None] if random.intercept else []) + [col for col, _ in random.terms]
    return ColumnsPlan(unquote(spec.parsed.response), x, z, sorted(spec.used), factors)


def _float_column(array):
    """A numeric Arrow column as float64 values (in place when it is float64
    without nulls and aligned: a table made from a partition sent between
    processes may hold unaligned buffers), or None for another type."""
    import pyarrow as pa

    t = array.type
    if not (pa.types.is_floating(t) or pa.types.is_integer(t) or pa.types.is_boolean(t)):
        return None
    return np.require(array.to_numpy(zero_copy_only=False), np.float64, ["C", "A"])


def _factor_codes(array, levels):
    """Each row's level number in levels (-1 for a missing value) of an Arrow
    column of text or categories, by a lookup; None for another type, or for
    a value outside the levels (which the general path decides: the levels
    hold the values of complete rows only)."""
    import pyarrow as pa
    import pyarrow.compute as pc

    t = array.type
    values = t.value_type if pa.types.is_dictionary(t) else t
    if not (pa.types.is_string(values) or pa.types.is_large_string(values) or pa.types.is_integer(values)):
        return None
    try:
        value_set = pa.array(levels, type=values)
    except (pa.ArrowInvalid, pa.ArrowTypeError, TypeError, ValueError, OverflowError):
        return None
    codes = pc.index_in(array, value_set=value_set)
    if codes.null_count != array.null_count:
        return None
    return np.asarray(codes.fill_null(-1).to_numpy(zero_copy_only=False), dtype=np.int64)


def add_arrow_batch(acc, plan, batch, group, where):
    """Adds an Arrow batch by columns; its count of dropped rows, or None when
    the batch holds something the general path must report (a column of
    another type, an infinite value)."""
    import pyarrow as pa
    import pyarrow.compute as pc

    values, keep, finite = {}, None, True
    for name in dict.fromkeys(plan.used + [plan.response, group]):
        column = batch.column(name)
        if name in plan.factors:
            codes = _factor_codes(column, plan.factors[name])
            if codes is None:
                return None
            if column.null_count:
                ok = codes >= 0
                keep = ok if keep is None else keep & ok
            for k in range(1, len(plan.factors[name])):
                values[(name, k)] = (codes == k).astype(np.float64)
            continue
        if name != group:
            values[name] = _float_column(column)
            if values[name] is None:
                return None
        floating = pa.types.is_floating(column.type)
        if not column.null_count and (not floating or name != group and all_finite(values[name])):
            continue  # every value there and finite: the usual column, one pass over it
        finite = False
        missing = pc.is_null(column, nan_is_null=True)  # null, or NaN: a missing value
        if pc.any(missing).as_py():
            ok = pc.invert(missing).to_numpy(zero_copy_only=False)
            keep = ok if keep is None else keep & ok

    def kept_labels():
        labels = batch.column(group)
        if keep is not None:
            labels = labels.filter(pa.array(keep))
        return labels.to_numpy(zero_copy_only=False) if pa.types.is_integer(labels.type) else labels.to_pandas()

    return add_column_values(acc, plan, values, keep, kept_labels, batch.num_rows, where, finite)


def add_column_values(acc, plan, values, keep, kept_labels, n, where=None, finite=False):
    """Adds a batch's float64 columns (values by name; keep: the rows kept,
    or None for all; kept_labels() their group labels) to acc; the count of
    dropped rows, or None for an infinite value on a kept row, which the
    general path reports. finite: the caller found every value finite."""
    if not finite:
        for v in values.values():
            if not np.isfinite(v if keep is None else v[keep]).all():
                return None
    acc.add_columns(values[plan.response], [None if c is None else values[c] for c in plan.x],
                    [None if c is None else values[c] for c in plan.z], kept_labels(), keep, where)
    return 0 if keep is None else n - int(np.count_nonzero(keep))


def progress_for(progress, total, unit):
    """A progress bar for long reads (a million rows or more, or an unknown
    count), or None."""
    if not progress or (total is not None and total < 1_000_000):
        return None
    return progress_bar(total, unit, "reading", unit_scale=True)
