"""The type III table of the fixed-effect terms (lmerTest's anova): each
term's hypothesis (its own columns, lmerTest's type I rows for a lone term,
or the type III hypotheses of corvane.inference.type3) F-tested by the df
method asked for.
"""

from __future__ import annotations

import math

import numpy as np

from .. import _dist
from ..formula.labels import INTERCEPT, is_intercept
from .ddf import df_method, f_pvalue, f_row

__all__ = ["anova_type3", "term_hypotheses", "type1_rows"]


def _terms(result):
    """[(term name, [column indices of the kept X])], the intercept left
    out. A formula term whose columns were all dropped (aliased: an empty
    cell of an interaction) keeps its row with no columns, as lmerTest's
    table keeps it; a model given as matrices has one term per column."""
    model = result.model
    kept = {int(j): i for i, j in enumerate(model.kept)}
    spec = getattr(model, "spec", None)
    if spec is not None:
        slices = spec.fixed.term_slices()
    else:
        slices = {name: [j] for j, name in enumerate(model.fe_names_all)}
    out = []
    for name, cols in slices.items():
        idx = [kept[j] for j in cols if j in kept]
        if is_intercept(name) or not (idx or spec is not None):
            continue
        if spec is None and _is_constant_column(model, idx[0]):
            continue
        out.append((name, idx))
    return out


def type1_rows(result):
    """lmerTest's type I hypotheses, one row per kept column: L' of the
    factorisation X'X = L D L' (L unit lower triangular) of the kept
    columns, as lmerTest's doolittle(crossprod(X)). Row i is R[i] / R[i, i]
    for the triangular factor R of X's QR decomposition. A model read in
    batches (never weighted) has no rows: R comes from X'X."""
    model = result.model
    if model.X is not None:
        r = np.linalg.qr(np.asarray(model.X, dtype=np.float64), mode="r")
    else:
        xtx = model.reparam.x_crossproduct(model.core.totals()["xtx"])
        r = np.linalg.cholesky(0.5 * (xtx + xtx.T)).T
    return r / np.diag(r)[:, None]


def _is_constant_column(model, j):
    return model.reparam.x_const is not None and j == model.reparam.x_const


def anova_type3(result, ddf="satterthwaite"):
    """The type III table by formula term: Sum Sq, Mean Sq, NumDF, DenDF, F
    value, Pr(>F), with Satterthwaite's df (as lmerTest's anova; or Kenward
    and Roger's, or the normal approximation's chi-squared, by ``ddf``). A term
    contained in no other is tested by its own columns; the others by
    lmerTest's type III hypotheses (see corvane.inference.type3). A term whose
    columns are all aliased has a row of NaN with NumDF 0.

    The hypotheses are taken in lmerTest's basis, since Satterthwaite's
    denominator df of a multi-df test depends on the basis (it combines the
    df along the eigenvectors of L cov(beta) L'): with one formula term (or
    one column), lmerTest's type I rows (see type1_rows), which span the
    same hypothesis as the term's columns."""
    pd = _dist.pandas()
    method = df_method(result, ddf)
    rows = []
    for name, L in term_hypotheses(result):
        if L.shape[0] == 0:
            rows.append((name, math.nan, math.nan, 0, math.nan, math.nan, math.nan))
            continue
        wald, f, q, df2 = f_row(method, L)
        rows.append((name, wald * q * result.sigma2, wald * result.sigma2, q, df2, f, f_pvalue(f, q, df2)))
    frame = pd.DataFrame(rows, columns=["term", "Sum Sq", "Mean Sq", "NumDF", "DenDF", "F value", "Pr(>F)"])
    return frame.set_index("term")


def term_hypotheses(result):
    """[(term name, L)]: each formula term's type III hypothesis as rows of
    a contrast matrix on the kept columns (no rows: the term's columns are
    all aliased), the intercept left out; for every family."""
    from . import type3

    terms = _terms(result)
    contrasts = None
    model = result.model
    found = type3.model_terms(model)
    p = len(result.fe_names)
    if found is not None:
        layout, levels = found
        n_terms = sum(1 for name, *_ in layout if name != INTERCEPT)
        contains = type3.containment(layout, levels)
        if n_terms <= 1 or p <= 1:
            basis = type1_rows(result) if any(len(idx) > 1 for _, idx in terms) else np.eye(p)
            contrasts = {name: basis[idx] for name, idx in terms}
        elif any(contains.values()):
            contrasts = type3.type3_contrasts(result, layout, levels, contains)
        elif type3.coded_otherwise(model) and len(terms) > 1 and (model.X_all is not None or not model.dropped):
            # The same hypotheses as the terms' own columns, in the basis of
            # treatment coding, as lmerTest takes them.
            try:
                contrasts = type3.type3_contrasts(result, layout, levels, contains)
            except NotImplementedError:
                contrasts = None
    return [(name, np.eye(p)[idx] if contrasts is None else contrasts[name]) for name, idx in terms]
