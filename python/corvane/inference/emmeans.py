"""Estimated marginal means and their pairwise comparisons, as emmeans
computes them for an lmer fit (the methods of :class:`corvane.results.lmm.LmmResult`).

The reference grid (:class:`ReferenceGrid`) has one row per combination of
the levels of every factor of the fixed part (and of its offsets) and of
the values of every covariate: its mean over the fitted rows, or the values
given with ``at=``. The grid's X is built by the model's own builders (the
formula's codings and transforms with the fit's state), so a marginal mean
is the same estimable function whatever the coding. A covariate is held at
the mean of the variable itself and the formula's transform is applied to
that value (``log(z)`` at log(mean(z)), ``poly(x, 2)`` at the basis of
mean(x)), as emmeans does.

A marginal mean averages the grid's rows over the variables outside
``specs`` and ``by`` with equal weights: l = mean of the rows' x, estimate
l' beta (plus the mean offset), its standard error and df from the chosen
method (:func:`corvane.inference.ddf.df_method`). When the model's columns
are aliased (an empty cell), l is estimable when it has no component in
the null space N of the full design on the data: |N'l|^2 < 1e-8 |l|^2
(emmeans' rule); other means are NaN (emmeans' "nonEst").
"""

from __future__ import annotations

import itertools
import math
import re

import numpy as np

from .. import _dist
from .._errors import require
from ..formula.parse import unquote
from .._checks import check_ddf, check_level
from .ddf import df_method
from .type3 import raw_column

__all__ = ["ReferenceGrid", "ADJUSTMENTS", "emmeans", "pairwise", "marginal_rows"]

ADJUSTMENTS = ("tukey", "bonferroni", "holm", "none")

# emmeans' estimability tolerance (estimability::is.estble).
_ESTIMABLE_TOL = 1e-8
# A level label holding one of these is parenthesised in a contrast's label
# (emmeans' option "parens").
_PARENS = re.compile(r"-|\+|/|\*")
# Invertible one-variable transforms: a covariate entering only through one
# of these has its mean recovered from the model's column.
_INVERSES = {"log": np.exp, "log2": np.exp2, "log10": lambda v: np.power(10.0, v), "log1p": np.expm1,
             "exp": np.log, "exp2": np.log2, "expm1": np.log1p, "sqrt": np.square}


def _call_of(expr, var, names):
    """The function name when expr is name(var) (or name(var, ...)) for one
    of names, with an optional np. / numpy. prefix; else None."""
    m = re.fullmatch(r"(?:np\.|numpy\.)?([A-Za-z_][A-Za-z0-9_]*)\(\s*(`[^`]*`|[A-Za-z_.][A-Za-z0-9_.]*)\s*"
                     r"(,.*)?\)", expr.strip(), re.S)
    if m and m.group(1) in names and unquote(m.group(2)) == var:
        return m.group(1)
    return None


class ReferenceGrid:
    """The reference grid of a model fitted from a formula.

    Attributes
    ----------
    factors : dict
        {column: its levels} for every factor of the fixed part.
    values : dict
        {variable: the values the grid takes}: the factors' levels (or those
        given in ``at``), each covariate's mean (or the values in ``at``).
    frame : pandas.DataFrame
        One row per combination of the values, the first variable varying
        fastest.
    X : numpy.ndarray
        The grid's rows of the full fixed-effects design (every column,
        aliased ones included).
    offset : numpy.ndarray
        The formula's offsets on the grid's rows (zeros without one).
    """

    def __init__(self, result, at=None):
        model = result.model
        spec = getattr(model, "spec", None)
        if spec is None:
            raise ValueError("marginal means need a model fitted from a formula (corvane.lmm); a model given as "
                             "matrices has no factors or covariates to build a reference grid from")
        self._model = model
        builders = [spec.fixed, *spec.offsets]
        variables = []
        for b in builders:
            variables += [v for v in b.variables if v not in variables]
        self.factors = self._factor_levels(spec.fixed, variables)
        at = self._check_at(at, variables)
        self.values = {}
        for v in variables:
            if v in at:
                self.values[v] = at[v]
            elif v in self.factors:
                self.values[v] = list(self.factors[v])
            else:
                self.values[v] = [self._covariate_mean(v)]
        pd = require("pandas", purpose="marginal means")
        names = list(self.values)
        cells = list(itertools.product(*[self.values[v] for v in reversed(names)]))  # first name fastest
        self.frame = pd.DataFrame({v: [c[len(names) - 1 - k] for c in cells] for k, v in enumerate(names)})
        self.X = np.asarray(spec.fixed.matrix(self.frame, new_data=True), dtype=np.float64)
        self.offset = np.zeros(len(self.frame))
        for b in spec.offsets:
            self.offset = self.offset + np.asarray(b.matrix(self.frame, new_data=True), dtype=np.float64)[:, 0]
        self._nbasis = None

    # -- building ------------------------------------------------------------------
    @staticmethod
    def _factor_levels(builder, variables):
        """{column: levels} of the factors, each a column or C(column, ...)."""
        _, levels = builder.term_layout()
        out = {}
        for expr, lv in levels.items():
            if lv is None:
                continue
            col = raw_column(expr, set(variables))
            if col is None:
                raise ValueError(f"marginal means need each factor to be a column or C(column, ...); the factor "
                                 f"{expr!r} is computed otherwise: add it to the data as a column")
            if col in out and list(out[col]) != list(lv):
                raise ValueError(f"the column {col!r} is a factor with different levels in two terms "
                                 f"({list(out[col])} and {list(lv)})")
            out[col] = list(lv)
        return out

    def _check_at(self, at, variables):
        """{variable: list of values} from at=, checked."""
        if at is None:
            return {}
        if not hasattr(at, "items"):
            raise TypeError(f"at must be a mapping of variable to value(s), got {type(at).__name__}")
        out = {}
        for k, v in at.items():
            if k not in variables:
                raise ValueError(f"at: {k!r} is not a variable of the model's fixed part "
                                 f"({', '.join(map(repr, variables))})")
            vals = list(v) if isinstance(v, (list, tuple, np.ndarray)) else [v]
            if not vals:
                raise ValueError(f"at[{k!r}] is empty")
            if k in self.factors:
                bad = [x for x in vals if x not in self.factors[k]]
                if bad:
                    raise ValueError(f"at[{k!r}]: {bad[0]!r} is not a level of the factor {k!r} "
                                     f"({self.factors[k]})")
            else:
                try:
                    vals = [float(x) for x in vals]
                except (TypeError, ValueError):
                    raise ValueError(f"at[{k!r}] must be numbers for the covariate {k!r}, got {v!r}") from None
                if not all(math.isfinite(x) for x in vals):
                    raise ValueError(f"at[{k!r}] must be finite, got {v!r}")
            out[k] = vals
        return out

    def _covariate_mean(self, var):
        """The mean of a covariate over the fitted rows: from the model's
        column of the variable itself (its rows, or the products' column
        sums for a model read in batches), from a stateful transform's
        state (center, scale, standardize, poly keep the mean), or from
        an invertible transform's column (log(z): the mean of exp of it)."""
        model, spec = self._model, self._model.spec
        layout, levels = spec.fixed.term_layout()
        single = {}  # {numeric expression: its column in X_all}, for one-column main-effect terms
        for _, vs, cols, _ in layout:
            if len(vs) == 1 and levels.get(vs[0], 0) is None and len(cols) == 1:
                single[vs[0]] = cols[0]
        for expr, j in single.items():
            if unquote(expr) == var:
                mean = self._column_mean(j)
                if mean is not None:
                    return mean
        for b in [spec.fixed, *spec.offsets]:
            state = getattr(getattr(b, "spec", None), "transform_state", None) or {}
            for expr, st in state.items():
                name = _call_of(str(expr), var, ("center", "scale", "standardize", "poly"))
                if name == "poly" and st.get("alpha"):
                    return float(st["alpha"][0])
                if name is not None and st.get("center") is not None:
                    return float(st["center"])
        if model.X_all is not None:
            for expr, j in single.items():
                name = _call_of(expr, var, _INVERSES)
                if name is not None and "," not in expr:
                    with np.errstate(all="ignore"):
                        v = _INVERSES[name](np.asarray(model.X_all[:, j], dtype=np.float64))
                    if np.all(np.isfinite(v)):
                        return float(np.mean(v))
        if (model.offset is not None and len(spec.offsets) == 1 and spec.offsets[0].variables == [var]
                and not hasattr(spec.offsets[0], "spec")):
            return float(np.mean(model.offset))  # offset(var): the offset is the variable
        where = ("a model read in batches keeps only the products, which give the means of the model's own "
                 "columns" if model.X_all is None else "the model keeps its columns, not the variable")
        raise ValueError(f"the mean of the covariate {var!r} is not known: it enters the model only through a "
                         f"transform or an interaction ({where}); give its value with at={{{var!r}: value}}")

    def _column_mean(self, j):
        """The mean of column j of X_all over the fitted rows, or None."""
        model = self._model
        if model.X_all is not None:
            return float(np.mean(model.X_all[:, j]))
        kept = [int(k) for k in model.kept]
        if j not in kept:
            return None
        rp = model.reparam
        if rp.x_const is not None:
            c = np.zeros(len(kept))
            c[rp.x_const] = 1.0 / rp.x_const_value
        elif rp.x_unit is not None:
            c = np.asarray(rp.x_unit, dtype=np.float64)
        else:
            return None  # no combination of columns is 1: X'X gives no sums
        xtx = rp.x_crossproduct(model.core.totals()["xtx"])
        return float((xtx @ c)[kept.index(j)] / model.n)  # X'1 / n

    # -- estimability ------------------------------------------------------------------
    def estimable(self, L):
        """Whether each row of L (on X_all's columns) is estimable."""
        model = self._model
        L = np.atleast_2d(L)
        if not model.dropped:
            return np.ones(L.shape[0], dtype=bool)
        if self._nbasis is None:
            if model.X_all is None:
                raise ValueError(f"marginal means of a rank-deficient design (the aliased columns "
                                 f"{model.dropped}) need the model's rows to tell which are estimable, which a "
                                 f"model fitted from data read in batches (Parquet, Arrow, Dask) does not keep; "
                                 f"fit the rows in memory")
            r = np.linalg.qr(np.asarray(model.X_all, dtype=np.float64), mode="r")
            d = r.shape[1] - len(model.kept)
            self._nbasis = np.linalg.svd(r)[2][r.shape[1] - d:].T  # null space of X_all
        chk = L @ self._nbasis
        ssq = np.sum(L * L, axis=1)
        ssq = np.where(ssq < _ESTIMABLE_TOL, 1.0, ssq)
        return np.sum(chk * chk, axis=1) < _ESTIMABLE_TOL * ssq

    # -- marginal means ------------------------------------------------------------------
    def means(self, names):
        """(cells, L, offset): the combinations of the values of names (the
        first varying fastest, as a DataFrame), the averaged rows of X over
        the other variables for each, and the averaged offset."""
        pd = require("pandas", purpose="marginal means")
        codes = [pd.Index(self.values[v]).get_indexer(self.frame[v]) for v in names]
        sizes = [len(self.values[v]) for v in names]
        cell = np.zeros(len(self.frame), dtype=np.int64)
        for c, s in zip(reversed(codes), reversed(sizes)):
            cell = cell * s + c  # the first name fastest
        n_cells = int(np.prod(sizes))
        counts = np.bincount(cell, minlength=n_cells).astype(np.float64)
        L = np.zeros((n_cells, self.X.shape[1]))
        np.add.at(L, cell, self.X)
        off = np.bincount(cell, weights=self.offset, minlength=n_cells)
        combos = list(itertools.product(*[self.values[v] for v in reversed(names)]))
        cells = pd.DataFrame({v: [c[len(names) - 1 - k] for c in combos] for k, v in enumerate(names)})
        return cells, L / counts[:, None], off / counts


def _names(value, what, allowed, empty_ok=False):
    """A list of grid variables from a name or a list of names."""
    if value is None:
        if empty_ok:
            return []
        raise ValueError(f"{what} must name at least one variable")
    names = [value] if isinstance(value, str) else list(value)
    if not names and not empty_ok:
        raise ValueError(f"{what} must name at least one variable, got {value!r}")
    for v in names:
        if v not in allowed:
            raise ValueError(f"{what}: {v!r} is not a variable of the model's fixed part "
                             f"({', '.join(map(repr, allowed))})")
    if len(set(names)) < len(names):
        raise ValueError(f"{what} names a variable twice: {value!r}")
    return names


def _label(value):
    """A level as emmeans prints it (15 significant digits for numbers)."""
    if isinstance(value, (float, np.floating)):
        return format(float(value), ".15g")
    return str(value)


def _is_number(text):
    try:
        float(text)
    except ValueError:
        return False
    return True


def _zapsmall(x, digits=7):
    """R's zapsmall: rounded to digits significant digits of the largest."""
    present = x[~np.isnan(x)]
    if present.size == 0:
        return x
    mx = float(np.max(np.abs(present)))
    if mx == 0:
        places = digits
    else:
        places = max(0, digits - math.ceil(math.log10(mx))) if math.isfinite(mx) else 0
    with np.errstate(invalid="ignore"):
        return np.where(np.isfinite(x), np.round(x, places), x)


def _p_adjust(p, method, n):
    """p.adjust of one family of n tests (NaN for a non-estimable one)."""
    out = np.full(len(p), np.nan)
    ok = ~np.isnan(p)
    q = p[ok]
    if method == "bonferroni":
        out[ok] = np.minimum(1.0, n * q)
    else:  # holm
        order = np.argsort(q, kind="stable")
        adj = np.minimum(1.0, np.maximum.accumulate((n - np.arange(len(q))) * q[order]))
        res = np.empty(len(q))
        res[order] = adj
        out[ok] = res
    return out


def one_sided(specs, by):
    """(specs, by) from emmeans' one-sided formula "~ a + b | c" (by given
    apart as well is an error), or as they are."""
    if not (isinstance(specs, str) and specs.lstrip().startswith("~")):
        return specs, by
    text = specs.strip()[1:]
    rhs, bar, cond = text.partition("|")
    names = [v.strip() for v in rhs.split("+")]
    conds = [v.strip() for v in cond.split("+")] if bar else []
    if not all(names) or (bar and not all(conds)):
        raise ValueError(f"specs {specs!r} must read '~ a', '~ a + b' or '~ a | b'")
    if bar and by is not None:
        raise ValueError(f"specs {specs!r} already has a '| by' part; do not give by= too")
    return names, (conds if bar else by)


def marginal_rows(result, specs, by, at, ddf, tests=None):
    """(grid, specs, by, cells, estimates, se, df, L, estimable) of the
    marginal means of specs within by; `tests` (an object with t_test, as
    :func:`corvane.inference.ddf.df_method` makes) instead of ddf's."""
    check_ddf(ddf)
    specs, by = one_sided(specs, by)
    grid = ReferenceGrid(result, at)
    allowed = list(grid.values)
    specs = _names(specs, "specs", allowed)
    by = _names(by, "by", allowed, empty_ok=True)
    both = [v for v in by if v in specs]
    if both:
        raise ValueError(f"by: {both[0]!r} is also in specs")
    cells, L, off = grid.means(specs + by)
    est = np.full(len(cells), np.nan)
    se, df = est.copy(), est.copy()
    ok = grid.estimable(L)
    method = df_method(result, ddf) if tests is None else tests
    kept = np.asarray(result.model.kept)
    for i in np.flatnonzero(ok):
        e, s, d = method.t_test(L[i, kept])
        est[i], se[i], df[i] = e + off[i], s, d
    return grid, specs, by, cells, est, se, df, L, ok


def emmeans(result, specs, by=None, at=None, ddf="satterthwaite", level=0.95, tests=None):
    """Estimated marginal means (see LmmResult.emmeans); `tests` as for
    marginal_rows."""
    level = check_level(level)
    stats = require("scipy.stats", purpose="t intervals")
    _, specs, by, cells, est, se, df, _, _ = marginal_rows(result, specs, by, at, ddf, tests)
    with np.errstate(invalid="ignore"):
        half = stats.t.ppf(0.5 + level / 2.0, df) * se
    out = cells.copy()
    out["emmean"], out["SE"], out["df"] = est, se, df
    out["lower.CL"], out["upper.CL"] = est - half, est + half
    return out


def pairwise(result, specs, by=None, adjust="tukey", ddf="satterthwaite", at=None, separator=" - ", tests=None):
    """Pairwise comparisons of marginal means (see LmmResult.pairwise);
    separator joins a pair's labels ("A / B" for ratios); `tests` as for
    marginal_rows."""
    if adjust not in ADJUSTMENTS:
        raise ValueError(f"adjust must be one of {', '.join(map(repr, ADJUSTMENTS))}, got {adjust!r}")
    pd = require("pandas", purpose="marginal means")
    stats = require("scipy.stats", purpose="p values")
    grid, specs, by, cells, _, _, _, L, _ = marginal_rows(result, specs, by, at, ddf, tests)
    k = int(np.prod([len(grid.values[v]) for v in specs]))
    groups = len(cells) // k
    # As emmeans, a variable whose levels all read as numbers is named
    # in the labels (nitro0.2, not 0.2).
    parts = {v: [_label(x) for x in cells[v]] for v in specs}
    for v in specs:
        if all(_is_number(t) for t in parts[v]):
            parts[v] = [f"{v}{t}" for t in parts[v]]
    labels = [" ".join(t) for t in zip(*(parts[v] for v in specs))]
    labels = [f"({t})" if _PARENS.search(t) else t for t in labels]
    method = df_method(result, ddf) if tests is None else tests
    kept = np.asarray(result.model.kept)
    pairs = [(i, j) for i in range(k) for j in range(i + 1, k)]
    rows, lmat = [], []
    for g in range(groups):
        for i, j in pairs:
            rows.append((g, g * k + i, g * k + j))
            lmat.append(L[g * k + i] - L[g * k + j])
    lmat = np.array(lmat).reshape(len(rows), L.shape[1])
    ok = grid.estimable(lmat)
    est = np.full(len(rows), np.nan)
    se, df = est.copy(), est.copy()
    for r in np.flatnonzero(ok):
        est[r], se[r], df[r] = method.t_test(lmat[r, kept])
    with np.errstate(invalid="ignore", divide="ignore"):
        t = est / se
    p = _dist.t_two_sided(t, df)
    n_contr = len(pairs)
    if n_contr > 1 and adjust == "tukey":
        # As emmeans: a missing df (a non-estimable row) counts as
        # infinite, and the df are rounded to 7 significant digits of
        # the largest (R's zapsmall), which an infinite one makes whole.
        dfz = _zapsmall(np.where(np.isnan(df), np.inf, df))
        with np.errstate(invalid="ignore"):
            p = np.where(np.isnan(t), np.nan, stats.studentized_range.sf(np.sqrt(2.0) * np.abs(t), k, dfz))
    elif n_contr > 1 and adjust in ("bonferroni", "holm"):
        p = np.concatenate([_p_adjust(p[g * n_contr:(g + 1) * n_contr], adjust, n_contr)
                            for g in range(groups)])
    out = pd.DataFrame({"contrast": [f"{labels[i]}{separator}{labels[j]}" for _, i, j in rows]})
    for v in by:
        out[v] = [cells[v].iloc[i] for _, i, _ in rows]
    out["estimate"], out["SE"], out["df"], out["t.ratio"], out["p.value"] = est, se, df, t, p
    return out
