"""Generalized linear mixed models with one grouping factor: binomial and
Poisson responses, fitted by the Laplace approximation or adaptive
Gauss-Hermite quadrature.

:class:`GeneralizedLinearMixedModel` takes the response, X, Z and one group
label per row (NumPy arrays or pandas objects); ``corvane.glmm`` builds one
from an lme4-style formula over a table in memory. The model holds its rows
(the likelihood needs them at every evaluation) in the core
:class:`corvane._corvane.GlmmCore`, on centred, power-of-two-scaled columns
(:mod:`corvane.model.reparam`), so that a covariate's units do not change the fit.
"""

from __future__ import annotations

import re
from dataclasses import replace
from typing import TYPE_CHECKING, Any

import numpy as np

from ..model import checks as _validate
from .._corvane import GlmmCore
from .._errors import RankDeficiencyWarning, warn_user
from ..data.arrays import align, as_design, as_response, is_pandas, per_row
from .families import check_response, family_of
from ..data.labels import factorize
from ..model.lmm import LinearMixedModel, Names, Origin, _given_names, _spec_names
from ..model.reparam import reparam_from_sample, theta_layout
from ..model.checks import check_finite

if TYPE_CHECKING:  # pragma: no cover
    from .result import GlmmResult

__all__ = ["GeneralizedLinearMixedModel", "glmm"]

_CBIND = re.compile(r"^\s*cbind\s*\((.*)\)\s*$", re.S)


class GeneralizedLinearMixedModel:
    """y | b ~ binomial or Poisson with mean g^-1(X beta + Z b + offset),
    b_i ~ N(0, Sigma) per group.

    Parameters
    ----------
    y : array_like or pandas Series, shape (n,)
        The response: 0/1 (or boolean) or a proportion of ``weights`` trials
        for the binomial family, a count for the Poisson.
    X, Z : array_like or pandas DataFrame
        The fixed- and random-effects designs.
    groups : array_like or pandas Series, shape (n,)
        One group label per row.
    family : {"binomial", "poisson"}
    link : str, optional
        "logit" (default), "probit" or "cloglog" for the binomial; "log" for
        the Poisson.
    weights : array_like, optional
        Prior weights: the number of trials for a binomial proportion (lme4's
        form), multiplying each row's log-likelihood for the Poisson.
    offset : array_like, optional
        A known term added to the linear predictor.
    x_names, z_names, y_name, group_name : optional
        Names for plain arrays' columns.
    blocks : sequence of sequences of int, optional
        Uncorrelated blocks of Z's columns, as for
        :class:`corvane.LinearMixedModel`.
    """

    def __init__(self, y: Any, X: Any, Z: Any, groups: Any, family: str = "binomial", link: str | None = None, *,
                 weights: Any = None, offset: Any = None, x_names: Any = None, z_names: Any = None,
                 y_name: str | None = None, group_name: str | None = None, blocks: Any = None) -> None:
        (y, X, Z, groups, offset, weights), index = align(
            (y, X, Z, groups, offset, weights), ("y", "X", "Z", "groups", "offset", "weights"))
        y, response = as_response(y)
        X, fixed = as_design(X, "X", "x")
        Z, random = as_design(Z, "Z", "z")
        gname = getattr(groups, "name", None) if is_pandas(groups) else None
        if x_names is not None:
            fixed = _given_names(x_names, X.shape[1])
        if z_names is not None:
            random = _given_names(z_names, Z.shape[1])
        n = y.shape[0]
        offset = None if offset is None else check_finite(as_response(offset)[0], "offset")
        weights = None if weights is None else as_response(weights)[0]
        for what, rows in (("X", X.shape[0]), ("Z", Z.shape[0]), ("groups", len(groups)),
                           ("offset", n if offset is None else len(offset)),
                           ("weights", n if weights is None else len(weights))):
            if rows != n:
                raise ValueError(f"{what} has {rows} rows but y has {n}")
        check_finite(y, "y")
        check_finite(X, "X")
        check_finite(Z, "Z")
        codes, labels = factorize(groups, "groups")
        names = Names(response if y_name is None else str(y_name),
                      ("group" if gname is None else str(gname)) if group_name is None else str(group_name),
                      fixed, random, _validate.check_blocks(blocks, Z.shape[1]))
        self._construct(y, X, Z, codes, labels, weights, offset, names, family_of(family, link),
                        Origin(index=index, offset_values=offset is not None))

    # -- building: the one path ------------------------------------------------------
    def _construct(self, y, X, Z, codes, labels, weights, offset, names, family, origin):
        n, p_all = X.shape
        q = Z.shape[1]
        self.family = family
        self.response_name, self.group_name = names.response, names.group
        self.fe_names_all, self.re_names = list(names.fixed), list(names.random)
        self.formula, self.spec, self.n_dropped = origin.formula, origin.spec, origin.n_dropped
        self.n_read, self.index = origin.n_read, origin.index
        self._source_index, self._kept_mask = origin.source_index, origin.kept_mask
        self.offset_values, self.weights_column = origin.offset_values, origin.weights_column
        self.group_labels = list(labels)
        self.n, self.q, self.m = n, q, len(labels)
        self.re_blocks = tuple(tuple(int(j) for j in b) for b in names.blocks) if len(names.blocks) > 1 else ()
        self.theta_pairs, self.theta_free = theta_layout(q, self.re_blocks)
        _validate.check_columns(p_all, q)
        if n == 0:
            raise ValueError("no observations")
        if self.m < 2:
            raise ValueError(f"the grouping factor {names.group!r} has a single level: random effects need at "
                             f"least two groups")
        w = np.ones(n) if weights is None else weights
        y, w = check_response(family, y, w, names.response)
        self.y, self.weights, self.codes = y, (None if weights is None else w), codes
        self.offset = offset
        self.Z = np.ascontiguousarray(Z, dtype=np.float64)

        rp = _glmm_reparam(X, self.Z, not self.re_blocks)
        xc = rp.core_design(X) @ rp.a_core_x
        kept = [j for j in range(p_all) if j not in _validate.aliased(xc.T @ xc, rp.x_ref)]
        self.kept = np.array(kept, dtype=np.int64)
        self.dropped = [name for j, name in enumerate(self.fe_names_all) if j not in set(kept)]
        self.X_all = X
        self.X = X if not self.dropped else np.ascontiguousarray(X[:, kept])
        if self.dropped:
            warn_user(f"fixed-effect model matrix is rank deficient so dropping {len(self.dropped)} column"
                      f"{'s' if len(self.dropped) > 1 else ''}: {', '.join(self.dropped)}", RankDeficiencyWarning)
            rp = _glmm_reparam(self.X, self.Z, not self.re_blocks)
            xc = rp.core_design(self.X) @ rp.a_core_x
        self.fe_names = [self.fe_names_all[j] for j in kept]
        self.p = len(kept)
        self.n_theta = len(self.theta_pairs)
        self.reparam = rp
        zc = np.ascontiguousarray(self.Z @ rp.a_z)
        off = np.zeros(n) if offset is None else np.ascontiguousarray(offset, dtype=np.float64)
        self.core = GlmmCore(np.ascontiguousarray(y), np.ascontiguousarray(xc), zc, codes, self.m,
                             np.ascontiguousarray(w, dtype=np.float64), off, family.name, family.link)

    # Shared with the linear model: designs for new data and the row checks.
    _new_design = LinearMixedModel._new_design
    full_theta = LinearMixedModel.full_theta
    _fit_free = LinearMixedModel._fit_free
    _require_rows = LinearMixedModel._require_rows
    rows_kept = LinearMixedModel.rows_kept

    def __repr__(self):
        return (f"<{type(self).__name__} n={self.n} p={self.p} q={self.q} m={self.m} "
                f"family={self.family.name} link={self.family.link}>")

    def __getstate__(self):
        state = dict(self.__dict__)
        state.pop("core", None)
        return state

    def __setstate__(self, state):
        self.__dict__.update(state)
        rp = self.reparam
        xc = rp.core_design(self.X) @ rp.a_core_x
        w = np.ones(self.n) if self.weights is None else self.weights
        off = np.zeros(self.n) if self.offset is None else self.offset
        self.core = GlmmCore(self.y, np.ascontiguousarray(xc), np.ascontiguousarray(self.Z @ rp.a_z), self.codes,
                             self.m, np.ascontiguousarray(w, dtype=np.float64), np.ascontiguousarray(off),
                             self.family.name, self.family.link)

    # -- fitting ---------------------------------------------------------------------
    def fit(self, nagq: int = 1, *, starts: Any = None, max_iter: int = 200) -> "GlmmResult":
        """Fit by maximum likelihood.

        Parameters
        ----------
        nagq : int
            0: theta only, beta from the joint conditional mode (lme4's
            nAGQ = 0); 1: the Laplace approximation; k > 1: adaptive
            Gauss-Hermite quadrature with k points per random effect (k^q per
            group; q <= 3 and k^q <= 100000).
        starts : dict, optional
            {"theta": ..., "beta": ...} on the user's scale (lme4's layouts);
            both given skip the nagq = 0 stage.
        max_iter : int
            Iterations of the trust-region Newton method per stage.

        Returns
        -------
        GlmmResult
        """
        from .result import GlmmResult

        nagq = _check_nagq(nagq, self.q)
        theta0 = beta0 = None
        if starts is not None:
            if not isinstance(starts, dict) or not set(starts) <= {"theta", "beta"}:
                raise ValueError('starts must be a dict with the keys "theta" and/or "beta"')
            if starts.get("theta") is not None:
                t = np.asarray(starts["theta"], dtype=np.float64)
                _validate.check_starts(t, self.n_theta, self.q)
                theta0 = self.reparam.theta_to_core(self.full_theta(t.ravel()))
            if starts.get("beta") is not None:
                b = np.asarray(starts["beta"], dtype=np.float64).ravel()
                if b.shape != (self.p,) or not np.isfinite(b).all():
                    raise ValueError(f"starts['beta'] must be {self.p} finite values")
                beta0 = self.beta_to_core(b)
        raw = self.core.fit(theta0 if theta0 is None else theta0.tolist(),
                            beta0 if beta0 is None else beta0.tolist(), nagq=nagq, max_iter=int(max_iter),
                            free=self._fit_free())
        result = GlmmResult(self, raw, nagq)
        result._warn()
        return result

    def beta_to_core(self, beta):
        """The core's beta for the user's (the inverse of Reparam.beta here)."""
        return np.linalg.solve(self.reparam.a_x, np.asarray(beta, dtype=np.float64))

    def deviance(self, theta: Any, beta: Any, nagq: int = 1) -> float:
        """-2 log L at the user's (theta, beta) (inf where not defined)."""
        nagq = _check_nagq(nagq, self.q, allow_zero=False)
        t = self.reparam.theta_to_core(np.asarray(theta, dtype=np.float64))
        b = self.beta_to_core(beta)
        return float(self.core.evaluate(t.tolist(), b.tolist(), nagq=nagq)["deviance"])

    # -- from a formula --------------------------------------------------------------
    @classmethod
    def from_formula(cls, formula: str, data: Any, family: str = "binomial", link: str | None = None, *,
                     weights: Any = None, offset: Any = None, env: Any = None) -> "GeneralizedLinearMixedModel":
        """The model of an lme4-style formula over a table in memory, not yet
        fitted; the arguments as for :func:`corvane.glmm`."""
        from ..formula import parse as _formula
        from ..formula import build as _matrices
        from ..data import sources

        _formula.check_call(formula, data, True, None, "glmm")
        fam = family_of(family, link)
        if isinstance(offset, str):
            formula = f"{formula} + offset({offset})"
            offset = None
        frame = sources.as_frame(data)
        weight_col = _validate.check_weight_column(frame, weights)
        lhs, _, rhs = formula.partition("~")
        both = _CBIND.match(lhs)
        if both is not None:
            if fam.name != "binomial":
                raise ValueError("cbind(successes, failures) is a binomial response")
            if weights is not None:
                raise ValueError("cbind(successes, failures) gives the trials: weights= cannot be given too")
            parts = [piece for _, piece in _formula.split_top(both.group(1), ",")]
            if len(parts) != 2:
                raise ValueError(f"cbind() takes two arguments (successes, failures), got {both.group(1)!r}")
            spec, y, X, Z, off, groups, n_dropped, kept, failures = _build_cbind(
                parts, rhs, formula, frame, env, weight_col)
            total = y + failures
            empty = total <= 0
            if empty.any():
                raise ValueError(f"{int(empty.sum())} row{'s have' if empty.sum() != 1 else ' has'} no trials "
                                 f"(successes + failures = 0): leave them out")
            if (failures < 0).any() or (y < 0).any():
                raise ValueError("cbind(successes, failures) needs non-negative counts")
            w = total
            y = y / total
        else:
            spec, y, X, Z, off, groups, n_dropped, kept = _matrices.build(
                formula, frame, env, extra=[weight_col] if weight_col else ())
            w = per_row(frame, weights, kept, "weights") if weights is not None else None
        extra_off = per_row(frame, offset, kept, "offset") if offset is not None else None
        if extra_off is not None:
            off = off + extra_off
        codes, labels = factorize(groups, "groups")
        names = _spec_names(spec)
        index = frame.index if n_dropped == 0 else frame.index[kept]
        self = object.__new__(cls)
        self._construct(y, X, Z, codes, labels, w, off if (spec.offsets or extra_off is not None) else None,
                        names, fam, Origin(formula, spec, len(frame), n_dropped, index, frame.index, kept,
                                           extra_off is not None, weight_col))
        return self


def _glmm_reparam(X, Z, z_centred=True):
    """Centred, power-of-two-scaled columns of X and Z (no response scaling:
    the response keeps its meaning; Z uncentred for uncorrelated blocks)."""
    rp = reparam_from_sample(np.zeros(X.shape[0]), X, Z, z_centred, reduce=False)
    return replace(rp, y_shift=0.0, y_scale=1.0)


def _build_cbind(parts, rhs, formula, frame, env, weight_col):
    """The design of "successes ~ rhs" and the failures, on the rows where
    both (and every other column the formula uses) are present."""
    from ..formula import build as _matrices
    from ..formula.parse import used_columns

    succ, fail = (p.strip() for p in parts)
    f_succ = f"{succ} ~ {rhs}"
    used, group = used_columns(f_succ, frame.columns, env)
    f_fail = f"{fail} ~ 1 + (1 | {group})"
    used_fail, _ = used_columns(f_fail, frame.columns, env)
    extra = sorted(set(used) | set(used_fail) | ({weight_col} if weight_col else set()))
    spec, y, X, Z, off, groups, n_dropped, kept = _matrices.build(f_succ, frame, env, extra=extra)
    _fspec, failures, *_rest, fkept = _matrices.build(f_fail, frame, env, extra=extra)
    if not np.array_equal(kept, fkept):
        raise ValueError(f"the successes and failures of {formula!r} have missing values on different rows")
    spec = replace(spec, formula=formula, parsed=replace(spec.parsed, response=f"cbind({succ}, {fail})"))
    return spec, y, X, Z, off, groups, n_dropped, kept, failures


def _check_nagq(nagq, q, allow_zero=True):
    if isinstance(nagq, bool) or not isinstance(nagq, (int, np.integer)):
        raise TypeError(f"nagq must be an int, got {type(nagq).__name__}")
    nagq = int(nagq)
    low = 0 if allow_zero else 1
    if not low <= nagq <= 50:
        raise ValueError(f"nagq must be between {low} and 50, got {nagq}")
    if nagq > 1 and q > 3:
        raise ValueError(f"adaptive quadrature (nagq > 1) is offered for up to 3 random effects per group "
                         f"(it costs nagq^q points per group); this model has q = {q}: use nagq=1 (Laplace)")
    if nagq > 1 and nagq ** q > 100000:
        raise ValueError(f"nagq = {nagq} with q = {q} needs {nagq ** q} points per group, more than 100000")
    return nagq


def glmm(formula: str, data: Any, family: str = "binomial", link: str | None = None, *, weights: Any = None,
         offset: Any = None, nagq: int = 1, starts: Any = None, env: Any = None,
         max_iter: int = 200) -> "GlmmResult":
    """Fit a generalized linear mixed model with one grouping factor from an
    lme4-style formula, by maximum likelihood.

    Parameters
    ----------
    formula : str
        ``"response ~ fixed terms + (random terms | group)"`` as for
        :func:`corvane.lmm`. For the binomial family the response is 0/1, a
        boolean, a proportion with ``weights=`` the trials, or
        ``cbind(successes, failures)``.
    data : table
        A pandas DataFrame, a mapping of column name to values, a polars
        DataFrame or a pyarrow Table; a path to a CSV file (``.csv``), a
        Parquet file (``.parquet``, ``.pq``) or a directory of Parquet files,
        a pyarrow Dataset or a Dask DataFrame is read into memory whole (the
        likelihood needs every row at every evaluation).
    family : {"binomial", "poisson"}
    link : str, optional
        "logit" (default), "probit", "cloglog" (binomial); "log" (Poisson).
    weights : str or array_like, optional
        Prior weights (a column name or one value per row): the trials of a
        binomial proportion.
    offset : str or array_like, optional
        A known term added to the linear predictor (a column name, the same as
        ``offset(column)`` in the formula, or one value per row).
    nagq : int
        0 (theta only, beta from the joint mode), 1 (Laplace, the default) or
        the number of adaptive Gauss-Hermite points per random effect (up to
        q = 3; nagq^q points per group).
    starts : dict, optional
        Starting values {"theta": ..., "beta": ...}.
    env : mapping, optional
        Extra names the formula may use.
    max_iter : int
        Iterations of the minimiser per stage.

    Returns
    -------
    GlmmResult

    Raises
    ------
    ValueError
        For a response the family cannot take (naming the column and the
        number of rows), nagq out of range, and everything :func:`corvane.lmm`
        refuses.

    Examples
    --------
    >>> import corvane, pandas as pd
    >>> from corvane._example import example_frame
    >>> df = example_frame()
    >>> df["slow"] = df["Reaction"] > 300
    >>> r = corvane.glmm("slow ~ Days + (1 | Subject)", df, family="binomial")
    >>> r.converged, round(float(r.params["Days"]), 3)
    (True, 0.768)
    """
    model = GeneralizedLinearMixedModel.from_formula(formula, data, family, link, weights=weights, offset=offset,
                                                     env=env)
    return model.fit(nagq, starts=starts, max_iter=max_iter)
