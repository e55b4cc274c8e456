"""Generalized linear mixed models with one grouping factor: binomial and
Poisson responses, fitted by the Laplace approximation or adaptive
Gauss-Hermite quadrature.

:class:`GeneralizedLinearMixedModel` takes the response, X, Z and one group
label per row (NumPy arrays or pandas objects); ``corvane.glmm`` builds one
from an lme4-style formula over a table in memory. The model holds its rows
(the likelihood needs them at every evaluation) in the core
:class:`corvane._corvane.GlmmCore`, on centred, power-of-two-scaled columns
(:mod:`corvane.design.reparam`), so that a covariate's units do not change the fit.
"""

from __future__ import annotations

from dataclasses import replace
from typing import TYPE_CHECKING, Any

import numpy as np

from .. import _checks
from .._corvane import GlmmCore
from ..design import rank as _rank
from ..design.reparam import reparam_from_sample
from ..model.base import MixedModel, array_rows, table_rows, with_offset_column
from .families import check_response, family_of
from .pooling import pool_rows

if TYPE_CHECKING:  # pragma: no cover
    from .result import GlmmResult

__all__ = ["GeneralizedLinearMixedModel", "glmm"]

class GeneralizedLinearMixedModel(MixedModel):
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
    family : {"binomial", "poisson", "negative_binomial", "negative_binomial1"}
    link : str, optional
        "logit" (default), "probit" or "cloglog" for the binomial; "log" for
        the Poisson and the negative binomials (NB2: variance mu + mu^2 / phi;
        NB1: variance phi mu, glmmTMB's nbinom1; phi estimated with theta and
        beta).
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
        rows, names, origin = array_rows(y, X, Z, groups, x_names=x_names, z_names=z_names, y_name=y_name,
                                         group_name=group_name, offset=offset, weights=weights, blocks=blocks)
        self._construct(rows, names, family_of(family, link), origin)

    # -- building: the one path ------------------------------------------------------
    def _construct(self, rows, names, family, origin):
        """Every generalized model is built here: the base's head, the
        family's checks of the response, the shared reparametrisation of the
        design (without a response: it keeps its meaning) and rank rule,
        then the core."""
        X, Z = rows.X, np.ascontiguousarray(rows.Z, dtype=np.float64)
        n, p_all = X.shape
        self.family = family
        self._adopt_names(names, origin, rows.labels)
        self.n = n
        _checks.check_groups(n, self.m, names.group)
        w = np.ones(n) if rows.weights is None else rows.weights
        y, w = check_response(family, rows.y, w, names.response)
        self.y, self.weights, self.codes = y, (None if rows.weights is None else w), rows.codes
        self.offset = rows.offset
        self.Z = Z

        rp = reparam_from_sample(None, X, Z, not self.re_blocks, reduce=False)
        xu = rp.core_design(X)
        kept, const = _rank.drop_aliased(_rank.transformed_gram(xu, rp.a_core_x), rp, self.fe_names_all, p_all,
                                         _rank.row_residual(lambda: xu @ rp.a_core_x))
        self.kept = np.asarray(kept, dtype=np.int64)
        self.dropped = [name for j, name in enumerate(self.fe_names_all) if j not in set(kept.tolist())]
        self.X_all = X
        self.X = X if not self.dropped else np.ascontiguousarray(X[:, kept])
        if self.dropped:
            rp = rp.kept(kept, const)
        self.fe_names = [self.fe_names_all[j] for j in kept]
        self.p = len(kept)
        self.reparam = rp
        self.core = self._make_core()

    def _rebuilt(self, rows, names, origin):
        model = object.__new__(type(self))
        model._construct(rows, names, self.family, origin)
        return model

    def _make_core(self, pool=True, y=None):
        """The core over the model's rows (with response y when given),
        identical rows pooled when that pays (``self.pooling`` says how, None
        when not pooled)."""
        rp = self.reparam
        # The core applies the change of coordinates to each row as it copies
        # it (no transformed copy of the design here); unit weights and zero
        # offsets are its own defaults.
        X, Z = rp.core_design(self.X), self.Z
        w = None if self.weights is None else np.asarray(self.weights, dtype=np.float64)
        off = None if self.offset is None else np.asarray(self.offset, dtype=np.float64)
        y, codes = (self.y if y is None else y), self.codes
        pooling = None
        if pool:  # rows equal in (X, Z) are equal in the core's coordinates, and only they
            pooling = self.pooling = pool_rows(self.family.name, codes, X, Z, off, y, w)
        if pooling is not None:
            f = pooling.first
            X, Z, y, codes, w = X[f], Z[f], y[f], codes[f], pooling.weights
            off = None if off is None else off[f]

        def contiguous(a):
            return None if a is None else np.ascontiguousarray(a, dtype=np.float64)

        return GlmmCore(contiguous(y), contiguous(X), contiguous(Z), np.ascontiguousarray(codes), self.m,
                        contiguous(w), contiguous(off), self.family.name, self.family.link,
                        x_transform=contiguous(rp.a_core_x), z_transform=contiguous(rp.a_z),
                        phi=self.family.phi or 1.0)

    @property
    def prior_weights(self):
        """The rows' prior weights: the model's, or ones."""
        return np.ones(self.n) if self.weights is None else self.weights

    def core_with_response(self, y):
        """A core over every row as given with the response y instead (the
        same family, link and dispersion)."""
        return self._make_core(pool=False, y=np.asarray(y, dtype=np.float64))

    def rows_core(self):
        """The core over every row as given (the model's own core when its rows
        are not pooled): for new responses, which differ between rows that
        were identical."""
        if self.pooling is None:
            return self.core
        core = self.__dict__.get("_rows_core")
        if core is None:
            core = self._rows_core = self._make_core(pool=False)
        return core

    def __repr__(self):
        pooled = "" if self.pooling is None else f" pooled={self.pooling.rows}"
        return (f"<{type(self).__name__} n={self.n} p={self.p} q={self.q} m={self.m}{pooled} "
                f"family={self.family.name} link={self.family.link}>")

    def __getstate__(self):
        state = dict(self.__dict__)
        state.pop("core", None)
        state.pop("_rows_core", None)
        return state

    def __setstate__(self, state):
        self.__dict__.update(state)
        self.core = self._make_core()

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
                _checks.check_starts(t, self.n_theta, self.q)
                theta0 = self.reparam.theta_to_core(self.full_theta(t.ravel()))
            if starts.get("beta") is not None:
                b = np.asarray(starts["beta"], dtype=np.float64).ravel()
                if b.shape != (self.p,) or not np.isfinite(b).all():
                    raise ValueError(f"starts['beta'] must be {self.p} finite values")
                beta0 = self.beta_to_core(b)
        if self.family.negative_binomial:
            from .dispersion import fit_dispersion, fitter

            if nagq == 0:
                raise ValueError("nagq = 0 is not available for the negative binomial (phi is estimated with "
                                 "theta and beta); use nagq >= 1")
            core, raw, dispersion = fit_dispersion(self.core, fitter(self, nagq, max_iter, theta0, beta0), self.y,
                                                   self.prior_weights, nagq, groups=(self.codes, self.offset))
            result = GlmmResult(self, raw, nagq, core=core, dispersion=dispersion)
        else:
            raw = self.core.fit(theta0 if theta0 is None else theta0.tolist(),
                                beta0 if beta0 is None else beta0.tolist(), nagq=nagq, max_iter=int(max_iter),
                                free=self._fit_free())
            result = GlmmResult(self, raw, nagq)
        result._warn()
        return result

    def beta_to_core(self, beta):
        """The core's beta for the user's (the inverse of Reparam.beta here)."""
        return np.linalg.solve(self.reparam.a_x, np.asarray(beta, dtype=np.float64))

    def deviance(self, theta: Any, beta: Any, nagq: int = 1, phi: float | None = None) -> float:
        """-2 log L at the user's (theta, beta) (inf where not defined), and
        for the negative binomial at its dispersion phi (required there)."""
        nagq = _check_nagq(nagq, self.q, allow_zero=False)
        t = self.reparam.theta_to_core(np.asarray(theta, dtype=np.float64))
        b = self.beta_to_core(beta)
        core = self.core
        if self.family.negative_binomial:
            if phi is None:
                raise ValueError("the negative binomial's deviance needs its dispersion: give phi=")
            core = core.with_phi(float(phi))
        return float(core.evaluate(t.tolist(), b.tolist(), nagq=nagq)["deviance"])

    # -- from a formula --------------------------------------------------------------
    @classmethod
    def from_formula(cls, formula: str, data: Any, family: str = "binomial", link: str | None = None, *,
                     weights: Any = None, offset: Any = None, env: Any = None) -> "GeneralizedLinearMixedModel":
        """The model of an lme4-style formula over a table in memory, not yet
        fitted; the arguments as for :func:`corvane.glmm`."""
        from ..data import read as _read
        from ..formula import parse as _formula

        _formula.check_call(formula, data, True, None, "glmm")
        fam = family_of(family, link)
        formula, offset = with_offset_column(formula, offset)
        rows, names, origin = table_rows(formula, _read.as_frame(data), env, weights, offset)
        if rows.y.ndim == 2:  # cbind(successes, failures)
            if fam.name != "binomial":
                raise ValueError("cbind(successes, failures) is a binomial response")
            if weights is not None:
                raise ValueError("cbind(successes, failures) gives the trials: weights= cannot be given too")
            successes, failures = rows.y[:, 0], rows.y[:, 1]
            if (failures < 0).any() or (successes < 0).any():
                raise ValueError("cbind(successes, failures) needs non-negative counts")
            total = successes + failures
            empty = total <= 0
            if empty.any():
                raise ValueError(f"{int(empty.sum())} row{'s have' if empty.sum() != 1 else ' has'} no trials "
                                 f"(successes + failures = 0): leave them out")
            rows = replace(rows, y=successes / total, weights=total)
        self = object.__new__(cls)
        self._construct(rows, names, fam, origin)
        return self


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
    family : {"binomial", "poisson", "negative_binomial", "negative_binomial1"}
    link : str, optional
        "logit" (default), "probit", "cloglog" (binomial); "log" (Poisson,
        negative binomials: NB2, variance mu + mu^2 / phi; NB1, variance
        phi mu as glmmTMB's nbinom1; phi estimated).
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
