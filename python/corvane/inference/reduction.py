"""Tests by reducing the model: each random-effect term (ranova, as
lmerTest's), each marginal fixed term (drop1, as lmerTest's F tests and
lme4's likelihood-ratio tests), and Nakagawa's R² (see :mod:`corvane.inference.r2`).
The methods of :class:`corvane.results.lmm.LmmResult` call these.

Every reduced model is built by the model's one construction path
(:meth:`LinearMixedModel._assemble`) from the rows the model keeps: the
same rows (those of the full fit, whatever columns the reduced formula
would read), the same response, offset and weights, and a subset of the
columns of X, or of Z, or a random part reduced to its intercept. A model
fitted from data read in batches keeps no rows, and its refits are refused.
"""

from __future__ import annotations

import math
import re
import warnings
from dataclasses import dataclass, replace

import numpy as np

from .._errors import ConvergenceWarning, warn_user
from ..formula.labels import INTERCEPT, is_intercept
from .. import _dist

__all__ = ["ranova", "drop1", "random_terms", "fixed_terms"]

# Columns of a residual of X on a reduced design whose absolute sum is below
# this fraction of X's are in the reduced design's span (lmerTest's 1e-8,
# made relative to the columns' size).
_RESIDUAL_TOL = 1e-8


# ---- the model's terms ---------------------------------------------------------------

@dataclass(frozen=True)
class Term:
    """One term of a design: its name, the variables it reads (a set), and
    its columns (indices into X_all, or into Z)."""

    name: str
    variables: frozenset
    columns: tuple


@dataclass(frozen=True)
class RandomTerm:
    """A random-effect term ``(lhs | group)``: its text as R deparses it
    ("1 + x | g"), the columns of Z it owns, the index among them of its
    intercept (or None), and its terms other than the intercept."""

    text: str
    columns: tuple
    intercept: int | None
    terms: tuple
    categorical: bool  # whether a variable of the term is a factor


def _layout(builder):
    """[(name, variables, columns)] and {variable: levels or None} of a
    formula builder."""
    layout, levels = builder.term_layout()
    return [(name, frozenset(v), tuple(cols)) for name, v, cols, _ in layout], levels


def fixed_terms(model):
    """The fixed part's terms other than the intercept, in the formula's
    order, with their columns in X_all (a model given as matrices: one term
    per column, its constant column left out)."""
    spec = getattr(model, "spec", None)
    if spec is None:
        const = model.reparam.x_const
        return [Term(name, frozenset([name]), (j,)) for j, name in enumerate(model.fe_names_all)
                if not is_intercept(name) and not (const is not None and j == int(model.kept[const]))]
    layout, _ = _layout(spec.fixed)
    return [Term(name, v, cols) for name, v, cols in layout if name != INTERCEPT]


def _deparse(text):
    """A formula's right-hand side spaced as R's deparse spaces it."""
    text = re.sub(r"\s+", " ", text.strip())
    text = re.sub(r"\s*([+*/|~-])\s*", r" \1 ", text)
    text = re.sub(r"\s*:\s*", ":", text)
    text = re.sub(r"^ ?- ", "-", text.strip())
    return re.sub(r"\s+", " ", text).strip()


def random_terms(model):
    """The model's random-effect terms (:class:`RandomTerm`), in the
    formula's order."""
    spec = getattr(model, "spec", None)
    group = model.group_name
    if spec is None:
        names = list(model.re_names)
        if model.re_blocks:  # the reparametrisation does not centre Z then: find the constant column
            Z = np.asarray(model.Z)
            const = next((j for j in range(model.q) if np.all(Z[:, j] == 1.0)), None)
        else:
            const = model.reparam.z_const
        out = []
        for block in (model.re_blocks or (tuple(range(len(names))),)):
            intercept = next((j for j in block if j == const), None)
            terms = tuple(Term(names[j], frozenset([names[j]]), (j,)) for j in block if j != intercept)
            lhs = " + ".join("1" if j == intercept else names[j] for j in block)
            if intercept is None:
                lhs = "0 + " + lhs
            out.append(RandomTerm(f"{lhs} | {group}", tuple(block), intercept, terms, False))
        return out
    if spec.re_blocks is None:
        parts = [(spec.random, tuple(range(len(model.re_names))), spec.parsed.random)]
    else:  # uncorrelated blocks: a term each, its columns among Z's
        parts = list(zip(spec.random.parts, map(tuple, spec.re_blocks), spec.parsed.blocks))
    out = []
    for builder, columns, lhs in parts:
        layout, levels = _layout(builder)
        intercept = next((columns[cols[0]] for name, _, cols in layout if name == INTERCEPT), None)
        terms = tuple(Term(name, v, tuple(columns[j] for j in cols)) for name, v, cols in layout
                      if name != INTERCEPT)
        categorical = any(levels.get(v) is not None for t in terms for v in t.variables)
        out.append(RandomTerm(f"{_deparse(lhs)} | {spec.parsed.group}", columns, intercept, terms, categorical))
    return out


def _marginal(terms):
    """The terms no other term contains (R's drop.scope)."""
    return [t for t in terms if not any(o is not t and t.variables <= o.variables for o in terms)]


# ---- refits ------------------------------------------------------------------------

def _require_rows(result, what):
    if not result.model.rows_kept:
        raise ValueError(f"{what} refits the model with a reduced design on its rows, which a model fitted "
                         f"from data read in batches (Parquet, Arrow, Dask) does not keep: fit the rows in "
                         f"memory (a pandas DataFrame) to use {what}")


def _fit_quietly(model, what, options=None):
    """The fit of a reduced model (with the full fit's options, such as a
    generalized fit's nagq): its singular-fit and rank-deficiency
    warnings (the reduced model's usual state, or told by the full fit)
    kept quiet, a convergence warning passed on naming the model."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        fit = model.fit(**(options or {}))
    for w in caught:
        if issubclass(w.category, ConvergenceWarning):
            warn_user(f"the fit of {what}: {w.message}", ConvergenceWarning)
    return fit


def _build(result, X_all, fixed_names, Z, random_names, reml, formula, blocks=()):
    """A model on the fit's rows with other designs (blocks: uncorrelated
    blocks of Z's columns), by the one path."""
    from ..design import construct as _design
    from ..model.base import Names
    from ..model.lmm import LinearMixedModel

    model = result.model
    data = _design.Rows(model.y, X_all, Z, model.codes, model.group_labels, model.offset, model.weights)
    names = Names(model.response_name, model.group_name, list(fixed_names), list(random_names),
                  tuple(map(tuple, blocks)) if len(blocks) > 1 else ())
    origin = replace(model._origin(), formula=formula, spec=None)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the full model's build has warned about its fixed part
        return LinearMixedModel._assemble(data, names, reml, origin)


def _lm_loglik(result, reml):
    """(log-likelihood, npar) of the linear model of the fixed part on the
    fit's rows, as R's logLik(lm(...), REML = reml)."""
    model = result.model
    y = np.asarray(model.y_fit, dtype=np.float64)
    X = np.asarray(model.X, dtype=np.float64)
    w = np.ones_like(y) if model.weights is None else np.asarray(model.weights, dtype=np.float64)
    sw = np.sqrt(w)
    q, r = np.linalg.qr(X * sw[:, None])
    yw = y * sw
    res = yw - q @ (q.T @ yw)
    rss = float(res @ res)
    n, p = len(y), X.shape[1]
    nn = n - p if reml else n
    val = 0.5 * (float(np.sum(np.log(w))) - nn * (math.log(2.0 * math.pi) + 1.0 - math.log(nn) + math.log(rss)))
    if reml:
        val -= float(np.sum(np.log(np.abs(np.diag(r)))))
    return val, p + 1


def _random_reductions(result):
    """[(row name, Z columns kept or None, an intercept column added, the
    reduced term's text or None)] for every reduction of every random-effect
    term, in lmerTest's order."""
    out = []
    for term in random_terms(result.model):
        scope = _marginal(list(term.terms))
        if not scope:  # (1 | g): the term is removed
            out.append((f"({term.text})", term, None, False))
            continue
        if term.intercept is None and term.categorical and len(term.terms) > 1:
            raise NotImplementedError(
                f"ranova: reducing ({term.text}) changes how its factors are coded (a term without an "
                f"intercept codes its first factor by one indicator per level); write the random term with "
                f"an intercept, or compare the fits you need with corvane.anova(fit, reduced, refit=False)")
        for t in scope:
            name = f"{t.name} in ({term.text})"
            if len(term.terms) == 1:  # the last term: (1 | g)
                out.append((name, term, (), True))
            else:
                keep = tuple(j for j in term.columns if j not in t.columns)
                out.append((name, term, keep, False))
    return out


def ranova(result):
    """lmerTest's ranova table of a fit (see :meth:`corvane.LmmResult.ranova`)."""
    pd = _dist.pandas()
    stats = _dist.stats()
    _require_rows(result, "ranova")
    model = result.model
    n = model.n
    terms = random_terms(model)
    rows = [("<none>", result.n_params, result.loglik)]
    for name, term, keep, add_intercept in _random_reductions(result):
        others = [j for j in range(model.q) if j not in term.columns]
        if keep is None and not others:
            ll, npar = _lm_loglik(result, result.reml)
            rows.append((name, npar, ll))
            continue
        cols = sorted(others + list(keep or ()))
        blocks = [[cols.index(j) for j in t.columns if j in cols] for t in terms]
        blocks = [b for b in blocks if b]
        npar = None
        if add_intercept:
            # The term's last slope becomes (1 | g), as lmerTest reduces it. Beside
            # another term's intercept that is the same model: lme4 merges it with
            # an intercept of its own (one variance fewer) and keeps it beside an
            # intercept with slopes (the same likelihood, the parameter counted).
            rest = [t for t in terms if t.columns != term.columns and t.intercept is not None]
            alone = [t for t in rest if not t.terms]
            shared = [t for t in rest if t.terms]
            if shared and not alone:
                npar = result.n_params
            elif not alone:
                blocks = [[0]] + [[k + 1 for k in b] for b in blocks]
                cols = [None] + cols
        Z = np.column_stack([np.ones(n) if j is None else model.Z[:, j] for j in cols]) if cols else None
        znames = [INTERCEPT if j is None else model.re_names[j] for j in cols]
        reduced = _build(result, model.X_all, model.fe_names_all, np.ascontiguousarray(Z), znames,
                         result.reml, f"{result.formula or 'the model'} reduced by {name!r}", blocks)
        fit = _fit_quietly(reduced, f"the model reduced by {name!r}")
        rows.append((name, fit.n_params if npar is None else npar, fit.loglik))
    npar = np.array([r[1] for r in rows], dtype=np.int64)
    ll = np.array([r[2] for r in rows], dtype=np.float64)
    lrt = np.full(len(rows), math.nan)
    df = np.full(len(rows), math.nan)
    p = np.full(len(rows), math.nan)
    lrt[1:] = 2.0 * (ll[0] - ll[1:])
    df[1:] = npar[0] - npar[1:]
    for i in range(1, len(rows)):
        if df[i] > 0:
            p[i] = float(stats.chi2.sf(lrt[i], df[i]))
    frame = pd.DataFrame({"npar": npar, "logLik": ll, "AIC": -2.0 * ll + 2.0 * npar, "LRT": lrt, "Df": df,
                          "Pr(>Chisq)": p}, index=pd.Index([r[0] for r in rows], name="term"))
    return frame


# ---- drop1 ---------------------------------------------------------------------------

def _kept_positions(model, columns):
    kept = {int(j): i for i, j in enumerate(model.kept)}
    return [kept[j] for j in columns if j in kept]


def _orthonormal_rows(a, scale):
    """An orthonormal basis (as rows) of the column space of a."""
    if a.size == 0:
        return np.zeros((0, a.shape[0]))
    u, s, _ = np.linalg.svd(a, full_matrices=False)
    rank = int(np.sum(s > 1e-10 * max(float(s[0]) if s.size else 0.0, scale)))
    return u[:, :rank].T


def _difference_contrast(result, term):
    """lmerTest's hypothesis of dropping a term from a rank-deficient
    design: the directions of the kept X orthogonal to the reduced design
    X0 (X_all without the term's columns), L = (X'R)' orthonormalised, R the
    residual of X on X0."""
    model = result.model
    if not model.rows_kept:
        raise ValueError(f"drop1 of the term {term.name!r} of a rank-deficient design (the aliased columns "
                         f"{model.dropped}) needs the model's rows, which a model fitted from data read in "
                         f"batches (Parquet, Arrow, Dask) does not keep: fit the rows in memory")
    X = np.asarray(model.X, dtype=np.float64)
    X0 = np.asarray(model.X_all, dtype=np.float64)[:, [j for j in range(model.X_all.shape[1])
                                                       if j not in term.columns]]
    R = X - X0 @ np.linalg.lstsq(X0, X, rcond=None)[0] if X0.shape[1] else X.copy()
    size = np.sum(np.abs(X), axis=0)
    R = R[:, np.sum(np.abs(R), axis=0) > _RESIDUAL_TOL * np.maximum(size, 1e-300)]
    lt = X.T @ R
    return _orthonormal_rows(lt, 0.0)


def _f_contrasts(result, terms):
    """{term name: contrast matrix} of lmerTest's drop1: the identity rows
    of each term's coefficients; with at most one term (or one column), the
    rows of lmerTest's type I factorisation; for a rank-deficient design,
    the difference between X and the design without the term."""
    from .anova import type1_rows

    model = result.model
    p = len(result.fe_names)
    every = fixed_terms(model)
    if model.dropped:
        return {t.name: _difference_contrast(result, t) for t in terms}
    basis = type1_rows(result) if (p <= 1 or len(every) <= 1) else np.eye(p)
    return {t.name: basis[_kept_positions(model, t.columns)] for t in terms}


def _drop1_f(result, terms, ddf):
    from .ddf import df_method

    pd = _dist.pandas()
    stats = _dist.stats()
    method = df_method(result, ddf)
    contrasts = _f_contrasts(result, terms)
    rows = []
    for t in terms:
        L = contrasts[t.name]
        if L.shape[0] == 0:
            rows.append((t.name, math.nan, math.nan, 0, math.nan, math.nan, math.nan))
            continue
        f, q, df2 = method.f_test(L)
        p = float(stats.chi2.sf(f * q, q)) if math.isinf(df2) else float(stats.f.sf(f, q, df2))
        rows.append((t.name, f * q * result.sigma2, f * result.sigma2, q, df2, f, p))
    frame = pd.DataFrame(rows, columns=["term", "Sum Sq", "Mean Sq", "NumDF", "DenDF", "F value", "Pr(>F)"])
    return frame.set_index("term")


def _drop1_chisq(result, terms):
    from .lrt import ml_refit

    pd = _dist.pandas()
    stats = _dist.stats()
    _require_rows(result, "drop1(test='Chisq')")
    model = result.model
    full = ml_refit(result, "the model")
    rows = [("<none>", full.n_params, full.loglik)]
    for t in terms:
        keep = [j for j in range(model.X_all.shape[1]) if j not in t.columns]
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # the full model's build has warned about its fixed part
            reduced = full.model.with_fixed_columns(keep, f"{result.formula or 'the model'} - {t.name}")
        fit = _fit_quietly(reduced, f"the model without {t.name!r} (maximum likelihood)", full._refit_options())
        rows.append((t.name, fit.n_params, fit.loglik))
    edf = np.array([r[1] for r in rows], dtype=np.float64)
    ll = np.array([r[2] for r in rows], dtype=np.float64)
    npar = edf[0] - edf
    npar[0] = math.nan
    lrt = -2.0 * ll + 2.0 * ll[0]
    lrt[0] = math.nan
    p = np.full(len(rows), math.nan)
    for i in range(1, len(rows)):
        p[i] = float(stats.chi2.sf(lrt[i], npar[i])) if npar[i] > 0 else math.nan
    return pd.DataFrame({"npar": npar, "AIC": -2.0 * ll + 2.0 * edf, "LRT": lrt, "Pr(Chi)": p},
                        index=pd.Index([r[0] for r in rows], name="term"))


def drop1(result, test="F", ddf="satterthwaite"):
    """The drop1 table of a fit (see :meth:`corvane.LmmResult.drop1`)."""
    from .._checks import check_ddf

    if test not in ("F", "Chisq"):
        raise ValueError(f"test must be 'F' or 'Chisq', got {test!r}")
    check_ddf(ddf)
    terms = _marginal(fixed_terms(result.model))
    if test == "F":
        return _drop1_f(result, terms, ddf)
    return _drop1_chisq(result, terms)
