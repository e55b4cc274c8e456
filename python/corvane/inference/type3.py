"""Type III hypotheses of a model's formula terms, built as lmerTest builds
them.

Every term is written in full dummy coding (rdX: one column per cell of the
term's factors, times its covariates) and projected on the model's columns
in treatment coding: L = (X_t+ rdX)', one row per rdX column. The columns of
L that belong to a term contained in others (SAS's containment: every
variable of the term in the other, more factors there, the same covariates)
are made orthogonal, over L's rows, to the columns of the terms containing
it, higher-order terms first. A term's hypothesis is its columns of L, read
at the rows of rdX that are treatment-coded columns of X_t, mapped to the
model's coding by beta_t = M beta (M = X_t+ X). The result depends neither
on the order of the terms nor on how the factors are coded.

The projection needs rows. Each rdX and X_t column is a function of the
factor levels and covariates that lies in the span of the model's columns
as functions (a formula codes a factor by contrasts only where the term
without it is present), so rdX = X_all B identically; B comes from a
synthetic reference grid (every combination of the factors' levels, the
covariates at generic values, the model's own builder making X_all). When
no column was dropped, X_t+ rdX = B on any rows where X_all has full rank:
the grid's answer is the data's (a complete design). With aliased columns
dropped (an empty cell) the data decide: rdX on the data is X_all B, and
every projection is taken through the R factor of X_all's QR. A model read
in batches keeps no rows, and such a table is refused.
"""

from __future__ import annotations

import itertools
import re

import numpy as np

from ..formula.labels import INTERCEPT
from ..design.rank import RANK_TOL

__all__ = ["model_terms", "containment", "coded_otherwise", "type3_contrasts", "reference_grid"]

# A relative residual above this means a column is not in the span assumed.
_SPAN_TOL = 1e-8
# Repetitions of each cell on the grid, with fresh covariate values: more
# than the covariate columns of any term, so that they are generic.
_EXTRA_REPS = 2
# The largest reference grid (rows x columns) built.
_MAX_GRID = 50_000_000
_C_CALL = re.compile(r"^C\(\s*([A-Za-z_][A-Za-z0-9_.]*)\s*[,)]")


def model_terms(model):
    """(layout, levels) of a model fitted from a formula, or None for one
    given as matrices. layout: [(term name, variables, column indices in
    X_all, scoped)], see product_terms.DirectTerms.term_layout."""
    spec = getattr(model, "spec", None)
    if spec is None:
        return None
    return spec.fixed.term_layout()


def coded_otherwise(model):
    """Whether a factor of the model may be coded other than by treatment
    contrasts (formulaic's builder; the direct one codes by treatment)."""
    from ..formula.build import FormulaicTerms

    return isinstance(model.spec.fixed, FormulaicTerms)


def containment(layout, levels):
    """{term: [terms containing it]} over the terms other than the
    intercept: T1 is contained in T2 when T2 has every variable of T1 and
    more, and both have the same covariates."""
    terms = [(name, set(v)) for name, v, _, _ in layout if name != INTERCEPT]
    numeric = {name: {x for x in v if levels.get(x) is None} for name, v in terms}
    return {a: [b for b, vb in terms if va < vb and numeric[a] == numeric[b]] for a, va in terms}


def raw_column(expr, variables):
    """The data column whose values are the levels of a categorical
    variable: the column itself or x in C(x, ...); None otherwise."""
    if expr in variables:
        return expr
    m = _C_CALL.match(expr)
    return m.group(1) if m and m.group(1) in variables else None


def reference_grid(builder, layout, levels):
    """(frame, {categorical variable: level code per row}, numeric values
    per row): every combination of the levels of the categorical columns,
    each repeated with fresh covariate values."""
    import pandas as pd

    variables = set(builder.variables)
    used = {v for _, vs, _, scoped in layout for v in vs} | {v for _, _, _, sc in layout for st in sc
                                                                for v, _ in st}
    categorical = sorted(v for v in used if levels.get(v) is not None)
    raw = {}
    for v in categorical:
        col = raw_column(v, variables)
        if col is None:
            raise NotImplementedError(
                f"type III tests need each factor to be a column or C(column, ...); the factor {v!r} is "
                f"computed otherwise: test the hypotheses you need with contrast_test(L)")
        if col in raw and list(raw[col]) != list(levels[v]):
            raise NotImplementedError(f"the column {col!r} is a factor with different levels in two terms; "
                                      f"type III tests need one set of levels per column")
        raw[col] = levels[v]
    numeric = sorted(v for v in used if levels.get(v) is None)
    cols = sorted(raw)
    cells = list(itertools.product(*[range(len(raw[c])) for c in cols]))
    reps = 1 + (_EXTRA_REPS + len(numeric) if numeric else 0)
    n = len(cells) * reps
    width = sum(len(cols_) for _, _, cols_, _ in layout)
    if n * width > _MAX_GRID:
        raise NotImplementedError(
            f"type III tests build a reference grid of every combination of the factors' levels: {n} rows "
            f"of {width} columns here, too many; test the hypotheses you need with contrast_test(L)")
    codes = np.repeat(np.array(cells, dtype=np.int64).reshape(len(cells), len(cols)), reps, axis=0)
    frame = {c: pd.Series([raw[c][k] for k in codes[:, j]]) for j, c in enumerate(cols)}
    # Covariates at generic values in (1, 2): positive, as the domain of the
    # common transforms (log, sqrt, 1/x) needs; their values do not enter
    # the answer, only their being distinct.
    rng = np.random.default_rng(20240611)
    for v in sorted(variables - set(raw)):
        frame[v] = 1.0 + rng.random(n)
    frame = pd.DataFrame(frame)
    level_codes = {v: codes[:, cols.index(raw_column(v, variables))] for v in categorical}
    try:
        values = builder.factor_values(frame, numeric)
    except Exception as exc:  # a transform undefined on the grid's values
        raise NotImplementedError(f"type III tests could not evaluate the covariates {numeric} on a reference "
                                  f"grid ({exc}); test the hypotheses you need with contrast_test(L)") from None
    return frame, level_codes, values


def _columns(variables_reduced, levels, codes, values, n):
    """The columns of a product of coded variables in treatment coding,
    the first variable varying fastest, and each column's key: (frozenset
    of (factor, level)), ((covariate, column), ...))."""
    cols, keys = [np.ones(n)], [(frozenset(), ())]
    for var, reduced in variables_reduced:
        if levels.get(var) is None:
            v = values[var]
            parts = [(v[:, k], ((var, k),)) for k in range(v.shape[1])]
            new_cols = [c * p for p, _ in parts for c in cols]
            new_keys = [(kf, kn + pk) for _, pk in parts for kf, kn in keys]
        else:
            lv = levels[var]
            start = 1 if reduced else 0
            ind = [(codes[var] == i).astype(np.float64) for i in range(start, len(lv))]
            new_cols = [c * x for x in ind for c in cols]
            new_keys = [(kf | {(var, lv[i])}, kn) for i in range(start, len(lv)) for kf, kn in keys]
        cols, keys = new_cols, new_keys
    return cols, [(kf, tuple(sorted(kn))) for kf, kn in keys]


def _lstsq(a, b, what):
    """Solution of a x = b, with a check that b is in a's span."""
    x, *_ = np.linalg.lstsq(a, b, rcond=None)
    scale = max(float(np.max(np.abs(b))), 1e-300) if b.size else 1.0
    if b.size and float(np.max(np.abs(a @ x - b))) > _SPAN_TOL * scale * max(1.0, float(np.max(np.abs(a)))):
        raise NotImplementedError(f"type III tests: {what} are not combinations of the model's columns for "
                                  f"this formula; test the hypotheses you need with contrast_test(L)")
    return x


def type3_contrasts(result, layout, levels, contains):
    """{term: contrast matrix on the model's kept columns} (lmerTest's
    type III hypotheses), the intercept left out."""
    model = result.model
    builder = model.spec.fixed
    frame, codes, values = reference_grid(builder, layout, levels)
    xg = builder.matrix(frame, new_data=True)
    p_all = xg.shape[1]
    if np.linalg.matrix_rank(xg) < p_all:
        raise NotImplementedError("type III tests: the model's columns are linearly dependent for every data "
                                  "set (on a grid of all the factor combinations); test the hypotheses you "
                                  "need with contrast_test(L)")
    # X_t: the model's structure in treatment coding; rdX: each term's cells.
    t_cols, t_keys, t_term = [], [], []
    r_cols, r_keys = [], []
    for name, variables, _, scoped in layout:
        for st in scoped:
            c, k = _columns(st, levels, codes, values, len(frame))
            t_cols += c
            t_keys += k
            t_term += [name] * len(c)
        c, k = _columns([(v, False) for v in variables], levels, codes, values, len(frame))
        r_cols += c
        r_keys += k
    tg, rg = np.column_stack(t_cols), np.column_stack(r_cols)
    a_t = _lstsq(xg, tg, "the treatment-coded columns")
    a_r = _lstsq(xg, rg, "the full dummy coding of the terms")
    kept = np.asarray(model.kept)
    dropped = len(kept) < p_all
    if model.X_all is not None:
        # The data's geometry: X_all = Q R, and Q drops out of every
        # projection below.
        rx = np.linalg.qr(np.asarray(model.X_all, dtype=np.float64), mode="r")
    elif not dropped:
        rx = xg  # full rank on the data and on the grid: the same answer
    else:
        terms = [t for t, c in contains.items() if c]
        raise ValueError(f"type III tests of terms contained in others ({', '.join(terms)}) need the rows of "
                         f"a rank-deficient design (the aliased columns {model.dropped}), which a model fitted "
                         f"from data read in batches (Parquet, Arrow, Dask) does not keep; fit the rows in "
                         f"memory, or test the hypotheses you need with contrast_test(L)")
    td, rd, xk = rx @ a_t, rx @ a_r, rx[:, kept]
    # Treatment columns aliased on the data are left out, as lme4 does.
    keep_t = _independent(td, np.linalg.norm(rx) * np.linalg.norm(a_t, axis=0))
    tk = td[:, keep_t]
    lmat = np.linalg.lstsq(tk, rd, rcond=None)[0].T  # rdX columns x kept X_t columns
    _zap(lmat)
    pos = {name: [i for i, j in enumerate(keep_t) if t_term[j] == name] for name, *_ in layout}
    order = sorted((name for name, *_ in layout if name != INTERCEPT),
                   key=lambda name: -len(next(v for n, v, _, _ in layout if n == name)))
    for name in order:
        if contains.get(name):
            cols = sorted(i for c in contains[name] for i in pos[c])
            a, b = lmat[:, cols], lmat[:, pos[name]]
            lmat[:, pos[name]] = b - a @ np.linalg.lstsq(a, b, rcond=None)[0]
            _zap(lmat)
    row_of = {k: i for i, k in enumerate(r_keys)}
    missing = [t_keys[j] for j in keep_t if t_keys[j] not in row_of]
    if missing:
        raise NotImplementedError("type III tests: a column of this formula's coding is no cell of its own "
                                  "term (a term coded beside a factor's missing margin); test the "
                                  "hypotheses you need with contrast_test(L)")
    rows = [row_of[t_keys[j]] for j in keep_t]
    m = _lstsq(tk, xk, "the model's columns")  # beta_t = m beta
    out = {}
    for name, *_ in layout:
        if name == INTERCEPT:
            continue
        ct = lmat[rows][:, pos[name]].T
        ct = ct[np.sum(np.abs(ct), axis=1) > 1e-8]
        out[name] = ct @ m
    return out


def _independent(a, scale):
    """Indices of the columns of a kept in R's manner (QR with limited
    pivoting): a column within RANK_TOL of the span of the kept ones before
    it is aliased, as is one that is zero but for rounding (its norm within
    1e-10 of scale, the norm it would have as a combination of full
    columns)."""
    kept, basis = [], np.zeros((a.shape[0], 0))
    for j in range(a.shape[1]):
        v = a[:, j]
        norm = float(np.linalg.norm(v))
        if not norm > 1e-10 * scale[j]:
            continue
        r = v - basis @ (basis.T @ v)
        r = r - basis @ (basis.T @ r)  # once more, for orthogonality to rounding
        rn = float(np.linalg.norm(r))
        if rn > RANK_TOL * norm:
            kept.append(j)
            basis = np.column_stack([basis, r / rn])
    return kept


def _zap(a):
    """Entries that are rounding noise set to zero, in place."""
    if a.size:
        a[np.abs(a) < 1e-11 * max(float(np.max(np.abs(a))), 1e-300)] = 0.0
