"""One pass over a source that can be read only once (a RecordBatchReader)
with factor columns: its levels are collected as the batches bring them,
each level seen gets a column of its own, and at the end the products keep
the columns of the design the whole table gives."""

from __future__ import annotations

from dataclasses import replace

import numpy as np

from .._corvane import Accumulator
from .batches import (BatchAccumulator, StreamResult, is_empty_batch_error, progress_for, refuse_stateful_parts,
                      stateful_transforms)
from ..design.construct import transform_args
from ..formula.labels import level_order, merge_level_orders, native
from ..design.reparam import Reparam, constant_column, pow2_scale, reparam_of, sample_rows, unit_combination, with_unit

__all__ = ["GrowingAccumulator", "LevelsSeen", "read_once"]


# ---- one pass over a source read only once ------------------------------------------------
#
# A source that can be read only once (a RecordBatchReader) gives its factor
# levels as the batches come. Its batches are coded with a level no row holds
# put first: under treatment coding that level is every factor's reference,
# so each level seen gets a column of its own (and a full coding a zero
# column for the unseen level). The products grow a column whenever a batch
# brings a new level; the rows before are exactly zero there, because a new
# column takes no shift. The final design (the levels in the in-memory
# order, its first level the reference) is then a choice of columns of
# these products, taken by name.

class _Unseen:
    """The level no row holds (one instance, UNSEEN)."""

    __slots__ = ()

    def __repr__(self):
        return "<level not yet seen>"

    __str__ = __repr__

    def __reduce__(self):
        return "UNSEEN"


UNSEEN = _Unseen()

# Rows of the first batch kept to build the final design's spec and the
# check of its coding (formulas without a transform that learns a state).
SPEC_ROWS = 64


class LevelsSeen:
    """The levels of factor columns as batches bring them: the values on rows
    with no missing value in the columns the formula uses, and the
    categories' order of categorical columns, batch by batch."""

    def __init__(self, factors):
        self.present = {c: {} for c in factors}  # dicts as ordered sets
        self.orders = {c: [] for c in factors}   # (where, categories) of categorical batches
        self.batches = 0

    def add(self, frame, used, where=None):
        """Take a batch's levels (a pandas DataFrame holding the columns
        used); whether it brought a level not seen before."""
        import pandas as pd

        where = f"batch {self.batches}" + (f" of {where}" if where else "")
        self.batches += 1
        complete = ~frame[used].isna().to_numpy().any(axis=1)
        grew = False
        for c, seen in self.present.items():
            s = frame[c]
            if isinstance(s.dtype, pd.CategoricalDtype):
                categories = s.cat.categories
                if not self.orders[c] or not self.orders[c][-1][1].equals(categories):
                    self.orders[c].append((where, categories))
                codes = s.cat.codes.to_numpy()[complete]
                values = categories.take(np.unique(codes[codes >= 0])).tolist()
            else:
                values = pd.unique(s.to_numpy()[complete]).tolist()
            for v in values:
                v = native(v)
                if v not in seen:
                    seen[v] = None
                    grew = True
        return grew

    def final(self):
        """{column: levels} in the order a table in memory gives them: sorted
        values, or the categories' order (merged over the batches by
        merge_level_orders), less the values no complete row holds."""
        out = {}
        for c, seen in self.present.items():
            if self.orders[c]:
                order = merge_level_orders([(w, list(cats)) for w, cats in self.orders[c]], c)
            else:
                order = level_order(seen)
            out[c] = [v for v in order if v in seen]
        return out

    def coding(self):
        """The levels the batches are coded with: UNSEEN, then the levels
        seen so far in their final order (so that the columns of the levels
        seen keep their relative order in the final design)."""
        return {c: [UNSEEN, *levels] for c, levels in self.final().items()}


def _reference_columns(names):
    """The columns that may serve as the reference of the shifts: none that a
    final treatment coding may leave out (a '[T.level]' column whose level
    turns out to be the reference)."""
    return np.array([k for k, name in enumerate(names) if "[T." not in name], dtype=np.int64)


def _first_reparam(y, X, Z, z_centred, x_ok, z_ok):
    """reparam_from_sample, its reference column (or unit combination) of X
    and constant column of Z found among the columns x_ok and z_ok only."""
    idx = sample_rows(len(y))
    xs, zs, ys = X[idx], Z[idx], y[idx]
    k = constant_column(xs[:, x_ok]) if len(x_ok) else None
    x_const = None if k is None else int(x_ok[k])
    z_const = None
    if z_centred and len(z_ok):
        k = constant_column(zs[:, z_ok])
        z_const = None if k is None else int(z_ok[k])
    unit = None
    if x_const is None and len(x_ok):
        c = unit_combination(xs[:, x_ok])
        if c is not None:
            unit = np.zeros(X.shape[1])
            unit[x_ok] = c
    return reparam_of(ys, xs if unit is None else with_unit(xs, unit), zs, x_const, z_const, unit)


def _scale_of(col):
    """The power-of-two scale of a column without a shift (its root mean
    square near 1; 1 for a column of zeros)."""
    big = float(np.max(np.abs(col))) if len(col) else 0.0
    if not (big > 0 and np.isfinite(big)):
        return 1.0
    return pow2_scale(float(np.sqrt(np.mean((col / big) ** 2))) * big)


def _refuse_one_pass(kind, why):
    return ValueError(f"{why}; a {kind} can be read only once, so its factor levels are collected as the "
                      f"batches come: pass a pyarrow Table or Dataset, or a Parquet path, instead")


class GrowingAccumulator(BatchAccumulator):
    """The products of batches whose columns of X and Z are named, growing as
    the batches come: a name not seen before adds a column to the products,
    exactly zero on the rows before it (no shift; its scale from the batch
    that brings it). :meth:`final` keeps the columns of the final design,
    by name and in its order."""

    def __init__(self, column=None, kind="source"):
        super().__init__(column=column)
        self.kind = kind
        self.x_index, self.z_index = {}, {}  # column name -> column of the products

    def add_named(self, y, X, Z, groups, x_names, z_names, where=None, z_centred=True):
        for names in (x_names, z_names):
            if len(set(names)) != len(names):
                raise _refuse_one_pass(self.kind, f"the design's columns {list(names)} repeat a name")
        if self.rp is None:
            if len(y) == 0:
                return
            self.x_index = {name: k for k, name in enumerate(x_names)}
            self.z_index = {name: k for k, name in enumerate(z_names)}
            self.rp = _first_reparam(y, X, Z, z_centred, _reference_columns(x_names), _reference_columns(z_names))
        else:
            new_x = [k for k, name in enumerate(x_names) if name not in self.x_index]
            new_z = [k for k, name in enumerate(z_names) if name not in self.z_index]
            if new_x or new_z:
                self._widen(X, Z, x_names, z_names, new_x, new_z)
        super().add(y, self.placed(X, x_names, self.x_index), self.placed(Z, z_names, self.z_index), groups,
                    where)

    @staticmethod
    def placed(A, names, index):
        """A's columns at their places among the products' columns (zeros in
        the columns A does not name)."""
        out = np.zeros((A.shape[0], len(index)))
        out[:, [index[name] for name in names]] = A
        return out

    def _widen(self, X, Z, x_names, z_names, new_x, new_z):
        """New columns after the present ones: shift 0 and the scale of this
        batch's values, the products so far padded with zeros."""
        rp = self.rp
        for k in new_x:
            self.x_index[x_names[k]] = len(self.x_index)
        for k in new_z:
            self.z_index[z_names[k]] = len(self.z_index)
        p, q = len(self.x_index), len(self.z_index)
        unit = None if rp.x_unit is None else np.append(rp.x_unit, np.zeros(len(new_x)))
        self.rp = replace(rp, x_shift=np.append(rp.x_shift, np.zeros(len(new_x))),
                          x_scale=np.append(rp.x_scale, [_scale_of(X[:, k]) for k in new_x]),
                          z_shift=np.append(rp.z_shift, np.zeros(len(new_z))),
                          z_scale=np.append(rp.z_scale, [_scale_of(Z[:, k]) for k in new_z]), x_unit=unit)
        if self.acc is None:
            return
        a = self.acc.to_arrays()
        p0, q0, m = a["p"], a["q"], a["m"]
        xtx, xty = np.zeros((p, p)), np.zeros(p)
        xtx[:p0, :p0], xty[:p0] = a["xtx"], a["xty"]
        ztz, ztx, zty = np.zeros((m, q, q)), np.zeros((m, q, p)), np.zeros((m, q))
        ztz[:, :q0, :q0], ztx[:, :q0, :p0], zty[:, :q0] = a["ztz"], a["ztx"], a["zty"]
        a.update(p=p, q=q, xtx=xtx, xty=xty, ztz=ztz, ztx=ztx, zty=zty, **transform_args(self.rp))
        self.acc = Accumulator.from_arrays(a)

    def final(self, x_names, z_names):
        """(an Accumulator of the products of the columns named, in that
        order, its Reparam)."""
        missing = [n for n in x_names if n not in self.x_index] + [n for n in z_names if n not in self.z_index]
        if missing:
            raise _refuse_one_pass(self.kind, f"the final design's columns {missing} are not among the columns "
                                              f"the batches were coded with")
        sx = np.array([self.x_index[n] for n in x_names], dtype=np.int64)
        sz = np.array([self.z_index[n] for n in z_names], dtype=np.int64)
        rp = _selected_reparam(self.rp, sx, sz)
        if rp is None:
            raise _refuse_one_pass(self.kind, "the column the batches' shifts are taken from is not among the "
                                              "final design's columns")
        a = self.acc.to_arrays()
        a.update(p=len(sx), q=len(sz), xtx=np.ascontiguousarray(a["xtx"][np.ix_(sx, sx)]),
                 xty=np.ascontiguousarray(a["xty"][sx]),
                 ztz=np.ascontiguousarray(a["ztz"][:, sz][:, :, sz]),
                 ztx=np.ascontiguousarray(a["ztx"][:, sz][:, :, sx]),
                 zty=np.ascontiguousarray(a["zty"][:, sz]), **transform_args(rp))
        return Accumulator.from_arrays(a), rp


def _selected_reparam(rp, sx, sz):
    """The Reparam of the columns sx of X and sz of Z (in that order), or
    None when they leave out its reference column (or a column of its unit
    combination), or its constant column of Z."""
    def position(sel, k):
        if k is None:
            return None
        at = np.flatnonzero(sel == k)
        return int(at[0]) if len(at) else -1

    x_const, z_const = position(sx, rp.x_const), position(sz, rp.z_const)
    if x_const == -1 or z_const == -1:
        return None
    unit = None
    if rp.x_unit is not None:
        unit = rp.x_unit[sx]
        if np.count_nonzero(unit) < np.count_nonzero(rp.x_unit):
            return None
    coef = None
    if rp.y_coef is not None:
        if np.count_nonzero(rp.y_coef[sx]) < np.count_nonzero(rp.y_coef):
            return None  # the response's preliminary fit uses a column left out
        coef = rp.y_coef[sx]
    out = Reparam(rp.y_shift, rp.y_scale, rp.x_shift[sx], rp.x_scale[sx], rp.z_shift[sz], rp.z_scale[sz],
                  x_const, rp.x_const_value, z_const, rp.z_const_value, unit, coef, rp.y_reduction)
    if rp.x_ref is not None and sx[out.x_ref] != rp.x_ref:
        return None  # the unit combination's reference column moved: the products hold another
    return out


def _probe_rows(base, levels):
    """Rows of base (cycled) with every level of every factor column among
    them, each factor's levels shifted against the others'."""
    import pandas as pd

    count = max(len(v) for v in levels.values())
    rows = base.iloc[np.arange(count) % len(base)].reset_index(drop=True)
    for j, (c, lv) in enumerate(levels.items()):
        values = np.empty(count, dtype=object)
        values[:] = [lv[(i + j) % len(lv)] for i in range(count)]
        rows[c] = pd.Series(values).infer_objects()
    return rows


def _check_coding(kind, old, old_levels, new, new_levels, base, final=False):
    """Refuse a coding whose columns do not carry over by name: on rows of
    every level old coded (UNSEEN aside), the columns new shares with old
    must be old's bit for bit (so must y and the offset), and with final
    (new the final design) new may hold no other, otherwise every column of
    old must be in new and new's own columns zero. Contrasts other than
    treatment, for one, code the levels seen first differently once more
    levels come."""
    from ..formula import build as _matrices

    real = {c: [v for v in lv if v is not UNSEEN] for c, lv in old_levels.items()}
    rows = _probe_rows(base, real)
    _, yo, Xo, Zo, oo, _, _, _ = _matrices.build_batch(old, rows, old_levels)
    _, yn, Xn, Zn, on, _, _, _ = _matrices.build_batch(new, rows, new_levels)

    def carried(A, names, B, new_names):
        index = {name: k for k, name in enumerate(names)}
        if final:
            unmatched = [name for name in new_names if name not in index]
        else:
            unmatched = [name for name in names if name not in set(new_names)]
        if unmatched:
            return False
        for k, name in enumerate(new_names):
            col = A[:, index[name]] if name in index else np.zeros(len(A))
            if not np.array_equal(col, B[:, k]):
                return False
        return True

    ok = (len(yo) == len(yn) and np.array_equal(yo, yn) and np.array_equal(oo, on)
          and carried(Xo, old.fixed.columns, Xn, new.fixed.columns)
          and carried(Zo, old.random.columns, Zn, new.random.columns))
    if not ok:
        raise _refuse_one_pass(kind, f"the formula codes its factors ({', '.join(new_levels)}) otherwise than by "
                                     f"treatment contrasts (other contrasts, or levels named in the formula), "
                                     f"so that a level seen late changes the columns of the levels seen before")


def _build_coded(formula, frame, env, levels, seen, kind):
    """matrices.build with the levels seen so far, UNSEEN first. A formula
    that cannot code them so is refused. With seen (the first build), an
    error that the levels seen alone give too is raised with them named: it
    may be the formula's own, or a level it names that comes later."""
    from ..formula import build as _matrices

    try:
        return _matrices.build(formula, frame, env, levels=levels)
    except ValueError as exc:
        if is_empty_batch_error(exc):
            raise
        if seen is not None:
            final = seen.final()
            try:
                _matrices.build(formula, frame, env, levels=final)
            except ValueError as plain:
                held = "; ".join(f"{c}: {', '.join(map(repr, lv[:8]))}{', ...' if len(lv) > 8 else ''}"
                                 for c, lv in final.items())
                raise ValueError(f"{plain} (a {kind} can be read only once, and its first batch holds these "
                                 f"levels only: {held}; for a formula that names a level seen later, pass a "
                                 f"pyarrow Table or Dataset, or a Parquet path)") from None
        raise _refuse_one_pass(kind, f"the formula cannot code the levels seen in the first batches ({exc})") \
            from None


def read_once(formula, stream, cols, group, factors, env=None, progress=True):
    """Products of a source read only once whose formula uses factor columns
    (cols: the columns the formula reads besides the group; factors: those
    holding levels), in one pass: each batch coded with the levels seen so
    far (UNSEEN first), the products growing a column for each new level,
    and at the end the final design's columns chosen from them."""
    from ..formula import build as _matrices

    used = cols + [group]
    seen = LevelsSeen(factors)
    acc = GrowingAccumulator(column=group, kind=stream.kind)
    spec = levels = first = base = None
    n_read, n_dropped = 0, 0
    bar = progress_for(progress, stream.rows, "rows")
    try:
        for where, frame in stream.batches(used):
            if spec is not None and len(frame):
                refuse_stateful_parts(spec, f"the {stream.kind}")
            n_read += len(frame)
            grew = seen.add(frame, used, where)
            try:
                if spec is None:
                    levels = seen.coding()
                    spec, y, X, Z, off, groups, dropped, kept = _build_coded(formula, frame, env, levels, seen,
                                                                             stream.kind)
                    base = frame[kept].iloc[:SPEC_ROWS]
                    # A transform's state comes from every row of the batch, as the fit in memory takes it.
                    first = frame if stateful_transforms(spec) else base
                else:
                    if grew:  # the formula read again with the new levels, over the first batch's rows
                        old, old_levels, levels = spec, levels, seen.coding()
                        spec = _build_coded(formula, first, env, levels, None, stream.kind)[0]
                        _check_coding(stream.kind, old, old_levels, spec, levels, base)
                    _, y, X, Z, off, groups, dropped, _ = _matrices.build_batch(spec, frame, levels)
            except ValueError as exc:
                if spec is None and is_empty_batch_error(exc):
                    n_dropped += len(frame)
                    continue
                raise
            n_dropped += dropped
            acc.add_named(y - off, X, Z, groups, spec.fixed.columns, spec.random.columns, where,
                          z_centred=spec.re_blocks is None)
            if bar is not None:
                bar.update(len(frame))
    finally:
        if bar is not None:
            bar.close()
    if acc.acc is None:
        raise ValueError(f"no rows without missing values in the columns the formula uses "
                         f"({n_read} rows read)")
    final_levels = seen.final()
    final_spec = _matrices.build(formula, first, env, levels=final_levels)[0]
    _check_coding(stream.kind, spec, levels, final_spec, final_levels, base, final=True)
    products, rp = acc.final(final_spec.fixed.columns, final_spec.random.columns)
    labels, order = acc.groups()
    return StreamResult(products, rp, final_spec, labels, order, n_read, n_dropped)
