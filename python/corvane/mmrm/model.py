"""The repeated-measures model: a formula's fixed effects and covariance
term over a table, its rows reduced by the core to visit patterns, and the
fit.

Rows with a missing value in a column the model reads (the response, the
fixed effects' columns, the visit, subject, group and weights) are left out
and counted, as R's mmrm leaves them out.
"""

from __future__ import annotations

import contextlib
import math

import numpy as np

from .. import _checks
from .._threads import one_blas_thread
from .._corvane import MmrmCore
from ..design import rank as _rank
from ..formula.columns import level_list
from ..model.base import MixedModel, Names, Origin
from .batches import least_squares
from .formula import STRUCTURES, split_covariance

__all__ = ["RepeatedMeasuresModel", "mmrm"]

# Rows x columns^2 from which a BLAS product may run on several threads.
_THREADED_BLAS = 1 << 18


def _visit_levels(column, rows, name):
    """(codes, levels) of the visit column on the rows used: a categorical's
    categories in their order (each must be observed), other values sorted
    (as R's factor sorts them)."""
    import pandas as pd

    values = column.array
    if isinstance(values.dtype, pd.CategoricalDtype):
        levels = level_list(values.categories)
        codes = np.asarray(values.codes)[rows].astype(np.int64)
        used = np.bincount(codes[codes >= 0], minlength=len(levels))
        missing = [str(levels[k]) for k in np.flatnonzero(used == 0)]
        if missing:
            raise ValueError(f"visit levels {missing} of {name!r} are never observed in the rows used; "
                             f"drop them (Series.cat.remove_unused_categories()) or give their rows")
        return codes, levels
    codes, uniques = pd.factorize(values.take(rows), sort=True)
    return codes.astype(np.int64), list(uniques)


class RepeatedMeasuresModel(MixedModel):
    """y_i ~ N(X_i beta, Sigma_i) for each subject i, Sigma_i the rows and
    columns of its group's covariance (one structure of
    :data:`corvane.mmrm.formula.STRUCTURES`) for the visits it has.

    Build it with :meth:`from_formula` (or :func:`corvane.mmrm`), fit with
    :meth:`fit`."""

    @classmethod
    def from_formula(cls, formula, data, *, reml=True, weights=None, env=None, route="auto"):
        """The model of a formula over a table in memory (a pandas
        DataFrame) or data read in batches (a Parquet path or folder, a
        pyarrow Table or Dataset, a Dask DataFrame, sorted so that each
        subject's rows are together)."""
        from ..data.read import as_frame
        from ..formula import build as _build
        from .batches import read_batched

        fixed, term = split_covariance(formula)
        batched = read_batched(f"{fixed} + (1 | {term.subject})", term, data, env, weights, term.structure, route)
        if batched is not None:
            return cls._from_batches(formula, term, batched, reml)
        frame = as_frame(data)
        weight_col = _checks.check_weight_column(frame, weights)
        for col in (term.visit, term.subject) + ((term.group,) if term.group else ()):
            if col not in frame.columns:
                raise ValueError(f"column {col!r} of the covariance term is not in the data")
        extra = [c for c in (term.visit, term.group, weight_col) if c]
        spec, y, X, _Z, _off, (codes, labels), n_dropped, kept = _build.build(
            f"{fixed} + (1 | {term.subject})", frame, env, extra=extra, group_codes=True)
        self = cls()
        self.term, self.reml = term, bool(reml)
        self.structure = term.structure
        kept_rows = np.flatnonzero(kept) if kept is not None else np.arange(len(frame))
        self.weights = None
        if weights is not None:
            w = frame[weight_col].to_numpy()[kept_rows] if weight_col else np.asarray(weights)[kept_rows]
            self.weights = _checks.check_weights(np.asarray(w, dtype=np.float64))
        if term.spatial:
            positions = frame[term.visit].to_numpy(dtype=np.float64, na_value=np.nan)[kept_rows]
            self.visit_levels = None
        else:
            positions, self.visit_levels = _visit_levels(frame[term.visit], kept_rows, term.visit)
        if term.group:
            gcodes, self.group_levels = _visit_levels(frame[term.group], kept_rows, term.group)
        else:
            gcodes, self.group_levels = np.zeros(len(y), dtype=np.int64), None
        names = Names(spec.parsed.response, term.subject, list(_fixed_names(spec)), [])
        origin = Origin(formula, spec, len(frame), n_dropped, frame.index if n_dropped == 0 else None, frame.index,
                        kept, False, weight_col)
        self._adopt_names(names, origin, labels)
        self.y, self.X_all, self.codes = np.ascontiguousarray(y, dtype=np.float64), X, codes.astype(np.int64)
        self.positions, self.group_codes = positions, gcodes
        self.offset = None
        with _blas_held(len(self.y), X.shape[1]):
            xtx = self._drop_aliased()
            self.beta_shift = least_squares(self.X, self.y, self.weights, xtx)
            self.core = MmrmCore(self.y - self.X @ self.beta_shift, self.X, self.codes, positions, self.group_codes,
                                 len(labels), 0 if term.spatial else len(self.visit_levels),
                                 1 if self.group_levels is None else len(self.group_levels), term.structure,
                                 self.weights, route)
        return self

    @classmethod
    def _from_batches(cls, formula, term, b, reml):
        """The model of data read in batches: no rows are kept."""
        self = cls()
        self.term, self.reml, self.structure = term, bool(reml), term.structure
        self.visit_levels, self.group_levels = b.visit_levels, b.group_levels
        names = Names(b.spec.parsed.response, term.subject, list(b.fe_names), [])
        origin = Origin(formula, b.spec, b.n_read, b.n_dropped, None, None, None, False, b.weights_column)
        self._adopt_names(names, origin, b.subjects)
        dropped = _rank.aliased(b.xtx, None)
        if dropped:
            raise ValueError(_rank.dropped_columns_note([self.fe_names_all[j] for j in dropped]) +
                             "; data read in batches need a full-rank design: leave those columns out")
        self.kept = np.arange(len(self.fe_names_all))
        self.dropped, self.fe_names = [], list(self.fe_names_all)
        self.y = self.X = self.X_all = self.codes = self.positions = self.group_codes = self.weights = None
        self.offset = None
        self.core, self.beta_shift = b.core, b.beta_shift
        return self

    def _drop_aliased(self):
        """Leaves out X's aliased columns; X'X when none was, else None."""
        X = np.ascontiguousarray(self.X_all, dtype=np.float64)
        xtx = X.T @ X
        self.kept, _ = _rank.drop_aliased(xtx, None, self.fe_names_all, X.shape[1])
        kept = set(self.kept.tolist())
        self.dropped = [name for j, name in enumerate(self.fe_names_all) if j not in kept]
        self.fe_names = [self.fe_names_all[j] for j in self.kept]
        self.X = X if not self.dropped else np.ascontiguousarray(X[:, self.kept])
        return None if self.dropped else xtx

    @property
    def n(self):
        return self.core.n

    @property
    def n_visits(self):
        return None if self.visit_levels is None else len(self.visit_levels)

    @property
    def n_groups_cov(self):
        return 1 if self.group_levels is None else len(self.group_levels)

    def theta_names(self):
        """mmrm's order of theta, named: per group (prefixed by its level),
        log standard deviations, then the correlation or Cholesky entries."""
        per = self.core.n_theta // self.n_groups_cov
        base = [f"theta[{k}]" for k in range(per)]
        if self.group_levels is None:
            return base
        return [f"{g}:{b}" for g in self.group_levels for b in base]

    def start(self):
        """The start of the fit, from the core's sums: the least-squares
        residuals' covariance per group (its Cholesky factor in mmrm's
        parametrisation for us, where positive definite), their variances
        per visit for the heterogeneous structures, the overall variance for
        the others; correlations 0."""
        first = self.core.moments()
        beta = np.linalg.solve(first["xtx"], first["xty"])
        m = self.core.moments(beta)
        resid, count = m["resid"], m["count"]
        total = float(np.trace(resid.sum(axis=0)) / max(np.trace(count.sum(axis=0)), 1.0))
        total = total if total > 0 else 1.0
        s, T = self.structure, self.n_visits
        blocks = []
        for g in range(self.n_groups_cov):
            with np.errstate(invalid="ignore", divide="ignore"):
                cov = np.where(count[g] > 1, resid[g] / count[g], 0.0)
            diag = np.diag(cov).copy()
            diag[~(diag > 0)] = total
            if s == "sp_exp":
                blocks.append([math.log(total), 0.0])
            elif s == "us":
                cov[np.diag_indices(T)] = diag
                try:
                    L = np.linalg.cholesky(cov)
                except np.linalg.LinAlgError:
                    L = np.diag(np.sqrt(diag))
                block = list(np.log(np.diag(L)))
                for i in range(T):
                    block += [L[i, j] / L[i, i] for j in range(i)]
                blocks.append(block)
            else:
                heterogeneous = s.endswith("h")
                base = s[:-1] if heterogeneous else s
                n_corr = T - 1 if base in ("toep", "ad") else 1
                corr0 = -math.log(T - 1) if base == "cs" else 0.0   # rho = 0
                sd = list(0.5 * np.log(diag)) if heterogeneous else [0.5 * math.log(total)]
                blocks.append(sd + [corr0] * n_corr)
        return np.array([v for b in blocks for v in b], dtype=np.float64)

    def fit(self, theta=None, *, method="satterthwaite", vcov=None, max_iter=200, gtol=1e-10):
        """Fit by the trust-region Newton method on the exact Hessian;
        returns an :class:`corvane.mmrm.result.MmrmResult` whose tests use
        the df method and covariance of beta asked for (see
        :func:`corvane.mmrm`)."""
        from .inference import check_inference
        from .result import MmrmResult

        check_inference(method, vcov, self.reml)
        with _blas_held(self.n, len(self.fe_names)):
            start = self.start() if theta is None else np.asarray(theta, dtype=np.float64)
            raw = self.core.fit(start, self.reml, max_iter=max_iter, gtol=gtol)
            return MmrmResult(self, raw, method, vcov)


def _blas_held(n, p):
    """NumPy's BLAS kept to one thread around the work on a design large
    enough for its products to use threads: they spin after each call and
    would take the cores from the core's own pool. A small design's products
    run on one thread anyway, and setting the limit would cost more."""
    return one_blas_thread() if n * p * p >= _THREADED_BLAS else contextlib.nullcontext()


def _fixed_names(spec):
    from ..formula.labels import term_names

    return term_names(spec.fixed.columns)


def mmrm(formula, data, reml=True, weights=None, *, method="satterthwaite", vcov=None, env=None):
    """Fit a mixed model for repeated measures, as R's ``mmrm(formula, data)``.

    Parameters
    ----------
    formula : str
        The fixed effects and one covariance term, e.g.
        ``"FEV1 ~ RACE + SEX + ARMCD * AVISIT + us(AVISIT | USUBJID)"``;
        ``us(AVISIT | ARMCD / USUBJID)`` gives each level of ARMCD its own
        covariance. Structures: us, toep, toeph, ar1, ar1h, cs, csh, ad, adh
        (on a visit factor) and sp_exp (on a numeric time).
    data : pandas.DataFrame, or data read in batches
        A table in memory, or a Parquet path or folder, a pyarrow Table or
        Dataset, or a Dask DataFrame, read batch by batch with each
        subject's rows together (sorted by subject); nothing per row is
        kept then (predictions need new data; residuals, the empirical
        covariance and between-within df need the rows in memory).
    reml : bool
        REML (default) or maximum likelihood.
    weights : str or array_like, optional
        A column (or values) w: a row's variance is Sigma's divided by w.
    method : {"satterthwaite", "kenward-roger", "residual", "between-within"}
        The t and F tests' degrees of freedom, as mmrm's ``method``.
    vcov : str, optional
        The covariance of beta the tests use, as mmrm's ``vcov``:
        "asymptotic" (the default, except for Kenward-Roger), "kenward-roger"
        (the adjusted covariance with the second derivatives of Sigma's
        parametrisation), "kenward-roger-linear" (without them),
        "empirical" (the sandwich, CR0), "empirical-jackknife" or
        "empirical-bias-reduced" (CR2).

    Returns
    -------
    corvane.mmrm.result.MmrmResult
    """
    model = RepeatedMeasuresModel.from_formula(formula, data, reml=reml, weights=weights, env=env)
    return model.fit(method=method, vcov=vcov)
