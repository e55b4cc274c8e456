"""A repeated-measures model's rows read in batches (a Parquet file or
folder, a pyarrow Table or Dataset, a Dask DataFrame): each batch's rows
built by the formula with the levels of a first pass, coded, and handed to
the core's builder subject by subject. A subject's rows may span the end of
one batch and the start of the next (the last subject of a batch waits for
the next); a subject met again after others is refused (sort by subject).
Every batch's response is reduced by the first batch's least squares (see
least_squares). Nothing per row is kept: the model holds
its visit patterns' products.
"""

from __future__ import annotations

import numpy as np

from ..data.sources import is_dask, stream_of

__all__ = ["BatchedRows", "least_squares", "read_batched"]


def least_squares(X, y, weights=None, xtx=None):
    """The (weighted) least-squares beta. The core fits y - X b for this b
    (the likelihood does not depend on b, and beta = b + the core's): with
    the fixed effects taken out of the response first, the products of the
    response hold the residuals' size, not the effects', and no sum of them
    cancels (effects 1e7 times the noise keep their digits).

    By the normal equations and one step of refinement on the residuals,
    which brings their answer to the accuracy b needs at a fraction of
    LAPACK's least squares' cost; by the latter where they are singular.
    xtx: X'X of unweighted rows, when at hand (the same values)."""
    if weights is not None:
        root = np.sqrt(weights)
        X, y = X * root[:, None], y * root
        xtx = None
    xtx = X.T @ X if xtx is None else xtx
    try:
        beta = np.linalg.solve(xtx, X.T @ y)
        beta = beta + np.linalg.solve(xtx, X.T @ (y - X @ beta))
    except np.linalg.LinAlgError:
        beta = None
    if beta is None or not np.all(np.isfinite(beta)):
        beta, *_ = np.linalg.lstsq(X, y, rcond=None)
    return beta


class BatchedRows:
    """What the model needs of data read in batches."""

    def __init__(self, core, spec, fe_names, subjects, visit_levels, group_levels, n_read, n_dropped, xtx,
                 weights_column, beta_shift):
        self.core, self.spec, self.fe_names, self.subjects = core, spec, fe_names, subjects
        self.beta_shift = beta_shift
        self.weights_column = weights_column
        self.visit_levels, self.group_levels = visit_levels, group_levels
        self.n_read, self.n_dropped, self.xtx = n_read, n_dropped, xtx


# Rows per batch: a batch's design matrix (tens of MB) then comes from memory
# the allocator reuses. Larger batches are allocated afresh each time, and
# the kernel clears their pages first: a third of the time of a large read.
BATCH_ROWS = 1 << 17


def _dask_batches(ddf, cols):
    """(where, pandas DataFrame) of a Dask DataFrame's partitions, in order."""
    for k, part in enumerate(ddf[cols].to_delayed()):
        yield f"partition {k}", part.compute()


def _dask_levels(ddf, factors, cols):
    out = {}
    complete = ddf[cols].dropna()
    for c in factors:
        values = complete[c].unique().compute().tolist()
        dtype = ddf[c].dtype
        if hasattr(dtype, "categories") and dtype.categories is not None:
            out[c] = [v for v in dtype.categories if v in set(values)]
        else:
            out[c] = sorted(values)
    return out


def _joined(first, second):
    """Two lists of row arrays, row-joined (None stays None)."""
    return [None if a is None else np.ascontiguousarray(np.concatenate([a, b])) for a, b in zip(first, second)]


def _level_codes(values, levels, name):
    """Each value's index among levels (int64)."""
    import pandas as pd

    codes = pd.Categorical(values, categories=levels).codes.astype(np.int64)
    if np.any(codes < 0):
        bad = pd.Series(values)[codes < 0].iloc[0]
        raise ValueError(f"{name} value {bad!r} is not among the levels found in the first pass")
    return codes


class _SubjectCodes:
    """Global subject codes, batch by batch, in order of first appearance.
    Each subject's rows are together, so the only subject a batch may share
    with the batches before it is the one whose rows ended the last batch;
    any other is refused (the data are not sorted by subject)."""

    def __init__(self):
        self.seen, self.labels = set(), []
        self._last = None   # (label, code) of the last batch's last row

    def of(self, values):
        import pandas as pd

        local, uniques = pd.factorize(np.asarray(values))
        found = uniques.tolist()
        codes = np.arange(len(self.labels), len(self.labels) + len(found), dtype=np.int64)
        fresh = found
        if self._last is not None and found and found[0] == self._last[0]:
            codes = np.concatenate([[self._last[1]], codes[:-1]])
            fresh = found[1:]
        if not self.seen.isdisjoint(fresh):
            again = next(v for v in fresh if v in self.seen)
            raise ValueError(f"the rows of subject {again!r} are not together: a batch has rows of a subject an "
                             f"earlier batch had (sort the data by subject)")
        self.seen.update(fresh)
        self.labels.extend(fresh)
        out = codes[local]
        if len(out):
            self._last = (found[local[-1]], int(out[-1]))
        return out


def read_batched(lmm_formula, term, data, env, weights, structure, route):
    """BatchedRows of data read in batches, or None for a table in memory."""
    from ..formula import build as _build
    from ..formula import reading

    stream = stream_of(data, BATCH_ROWS)
    dask = stream is None and is_dask(data)
    if stream is None and not dask:
        return None
    columns = list(data.columns) if dask else stream.columns
    cols, subject = reading.used_columns(lmm_formula, columns, env)
    weight_col = weights if isinstance(weights, str) else None
    if weights is not None and weight_col is None:
        raise ValueError("weights of data read in batches must name a column")
    extra = [c for c in (term.visit, term.group, weight_col) if c]
    for c in extra:
        if c not in columns:
            raise ValueError(f"column {c!r} is not in the data")
    read_cols = list(dict.fromkeys(cols + [subject] + extra))
    if dask:
        from pandas.api.types import is_bool_dtype, is_numeric_dtype

        numeric = {c: is_numeric_dtype(data[c].dtype) or is_bool_dtype(data[c].dtype) for c in cols}
    else:
        kinds = stream.kinds(read_cols)
        numeric = {c: kinds[c] in ("number", "boolean") for c in cols}
    factors = reading.factor_columns(lmm_formula, cols, numeric)
    level_cols = list(dict.fromkeys(factors + ([] if term.spatial else [term.visit]) +
                                    ([term.group] if term.group else [])))
    levels = _dask_levels(data, level_cols, read_cols) if dask else stream.levels(level_cols, read_cols)
    visit_levels = None if term.spatial else levels[term.visit]
    group_levels = levels[term.group] if term.group else None
    formula_levels = {c: levels[c] for c in factors}
    batches = _dask_batches(data, read_cols) if dask else stream.batches(read_cols)
    from .._corvane import MmrmBuilder

    builder = spec = shift = None
    subject_codes = _SubjectCodes()
    carry = None
    n_read = n_dropped = 0
    for where, frame in batches:
        n_read += len(frame)
        ok = frame[extra].notna().all(axis=1).to_numpy()
        n_dropped += int(np.sum(~ok))
        frame = frame[ok] if not ok.all() else frame
        if not len(frame):
            continue
        if spec is None:
            spec, y, X, _z, _off, subj, dropped, kept = _build.build(lmm_formula, frame, env, levels=formula_levels)
        else:
            _, y, X, _z, _off, subj, dropped, kept = _build.build_batch(spec, frame, formula_levels)
        n_dropped += dropped
        rows = frame if kept is None or np.all(kept) else frame[np.asarray(kept)]
        if not len(y):
            continue
        X = np.ascontiguousarray(X, dtype=np.float64)
        codes = subject_codes.of(subj)
        if term.spatial:
            pos = rows[term.visit].to_numpy(dtype=np.float64)
        else:
            pos = _level_codes(rows[term.visit], visit_levels, term.visit)
        grp = (_level_codes(rows[term.group], group_levels, term.group) if term.group
               else np.zeros(len(y), dtype=np.int64))
        w = rows[weight_col].to_numpy(dtype=np.float64) if weight_col else None
        if shift is None:   # the first batch's least squares, taken out of every batch's response
            shift = least_squares(X, np.asarray(y, dtype=np.float64), w)
        part = [np.ascontiguousarray(np.asarray(y, dtype=np.float64) - X @ shift), X, codes, pos, grp, w]
        if builder is None:
            builder = MmrmBuilder(X.shape[1], 0 if term.spatial else len(visit_levels),
                                  1 if group_levels is None else len(group_levels), structure, w is not None, route)
        # The subject held back from the last batch goes in with its rows at
        # the start of this one; this batch's last subject waits for the next.
        if carry is not None:
            lead = int(np.argmax(codes != carry[2][0])) if np.any(codes != carry[2][0]) else len(codes)
            builder.add(*_joined(carry, [None if a is None else a[:lead] for a in part]))
            part = [None if a is None else a[lead:] for a in part]
            carry = None
        if not len(part[0]):
            continue
        codes = part[2]
        last = codes[-1]
        cut = len(codes)
        while cut and codes[cut - 1] == last:
            cut -= 1
        if np.any(codes[:cut] == last):   # the last subject also earlier in the batch: hold all its rows
            hold = codes == last
            carry = [None if a is None else a[hold] for a in part]
            part = [None if a is None else a[~hold] for a in part]
        else:
            carry = [None if a is None else a[cut:].copy() for a in part]
            part = [None if a is None else a[:cut] for a in part]
        if len(part[0]):
            builder.add(*[None if a is None else np.ascontiguousarray(a) for a in part])
    if builder is None:
        raise ValueError(f"no rows without missing values in the columns the model uses ({n_read} rows read)")
    if carry is not None:
        builder.add(*carry)
    from ..formula.labels import term_names

    labels = subject_codes.labels
    core = builder.finish()
    xtx = core.moments()["xtx"]   # X'WX from the patterns' products, for the rank check
    return BatchedRows(core, spec, term_names(spec.fixed.columns), labels, visit_levels, group_levels,
                       n_read, n_dropped, xtx, weight_col, shift)
