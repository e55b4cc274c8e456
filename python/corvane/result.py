"""The fitted model: every number on the user's parametrisation.

:class:`LmmResult` maps the core's solution back through the model's
reparametrisation (:class:`corvane.design.Reparam`): fixed effects and their
covariance, sigma, the random-effects covariance and theta, the conditional
modes and covariances per group, the criterion and information criteria,
predictions, and the fit's certificate.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any

import numpy as np

from . import summary as _summary
from ._corvane import __version__
from ._errors import ConvergenceWarning, SingularFitWarning, warn_user
from .design import _tril_pairs, theta_to_lambda

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd

__all__ = ["LmmResult"]

# A diagonal entry of the core's Lambda at most this far above 0 (relative to
# the largest |theta|, at least 1) is a variance no data can tell from 0 (a
# sd a millionth of sigma's); it counts as on the bound when the criterion
# rises from the bound along it.
_NEGLIGIBLE_THETA = 1e-6


def _negligible_diagonal(theta, q):
    """Indices of theta's diagonal entries of Lambda that are 0 or
    negligible (at most _NEGLIGIBLE_THETA relative)."""
    theta = np.asarray(theta, dtype=np.float64)
    big = max(1.0, float(np.max(np.abs(theta)))) if theta.size else 1.0
    return {k for k, (a, b) in enumerate(_tril_pairs(q)) if a == b and abs(theta[k]) <= _NEGLIGIBLE_THETA * big}


def _rising_from_bound(core, theta, q, reml):
    """Diagonal entries of a converged fit's theta that are negligible but
    not exactly 0, along which the criterion rises from the bound: its
    derivative at _NEGLIGIBLE_THETA (relative), the other entries as
    fitted, is positive. The fit's optimum is then on the bound (the
    Newton iterates approach a bound of an even criterion without reaching
    it); an entry along which the criterion falls is left interior."""
    theta = np.asarray(theta, dtype=np.float64)
    out = set()
    for k in _negligible_diagonal(theta, q):
        if theta[k] == 0.0:
            continue
        probe = theta.copy()
        probe[k] = _NEGLIGIBLE_THETA * max(1.0, float(np.max(np.abs(theta))))
        try:
            grad = core.variance_derivatives(probe.tolist(), reml=reml)["grad"]
        except RuntimeError:
            continue
        if grad[k] > 0.0:
            out.add(k)
    return out

NEW_GROUPS = ("population", "error", "nan")


def _plain(v):
    v = float(v)
    return v if math.isfinite(v) else None


def _json_label(label):
    label = label.item() if isinstance(label, np.generic) else label
    return label if isinstance(label, (str, int, float, bool)) and not (
        isinstance(label, float) and not math.isfinite(label)) else str(label)


class _Alias:
    """A statsmodels name for one of the result's own quantities: reads the
    attribute ``target`` and labels it ("by_term": a Series by fixed effect;
    "by_row": a Series on the input's index; "as_is")."""

    def __init__(self, target, label):
        self.target, self.label = target, label
        kind = {"by_term": " (a pandas Series by fixed effect)", "by_row": " (a pandas Series on the input's index)",
                "as_is": ""}[label]
        self.__doc__ = f"statsmodels' name for :attr:`{target}`{kind}."

    def __set_name__(self, owner, name):
        self.name = name

    def __get__(self, obj, owner=None):
        if obj is None:
            return self
        value = getattr(obj, self.target)
        if self.label == "by_term":
            return obj._series(value, self.name)
        if self.label == "by_row":
            return obj._as_series(value, self.name)
        return value

    def __set__(self, obj, value):
        # A data descriptor: no instance attribute can shadow the alias.
        raise AttributeError(f"{self.name} is statsmodels' name for {self.target}, and read-only")


class LmmResult:
    """A fitted linear mixed model.

    Attributes
    ----------
    fe_names, beta, cov_beta, std_errors, t_values, ddf, p_values
        Fixed effects: estimates, their covariance and standard errors, t
        statistics, Satterthwaite's df and the t tests' p values (as the
        summary and lmerTest; ``coef_table(ddf="normal")`` for the normal
        approximation). The statsmodels names ``params``, ``bse``,
        ``tvalues``, ``pvalues`` are aliases of these.
    sigma, sigma2
        Residual standard deviation and variance.
    re_names, cov_re, re_variances, re_std, re_corr, theta
        Random effects' covariance (and its relative Cholesky factor theta,
        the lower triangle column by column).
    criterion, loglik, aic, bic, n_params
        REML criterion (or deviance for ML), and the information criteria.
    group_labels, random_effects, conditional_covariances
        Per group: conditional modes and Var(b_i | y) (dicts by label).
    converged, status, boundary, gradient_norm, min_hessian_eigenvalue, message, iterations, evaluations
        The certificate of the optimum (``converged`` is None for a result
        of :meth:`LinearMixedModel.evaluate`).
    n_obs, n_groups, n_dropped
        Rows used, groups, rows dropped for missing values.
    """

    def __init__(self, model, raw, starts):
        rp = model.reparam
        self.model = model
        self.reml = bool(raw["reml"])
        self.method = "REML" if self.reml else "ML"
        self.formula = model.formula
        self.starts = starts
        self.fe_names = list(model.fe_names)
        self.re_names = list(model.re_names)
        self.dropped_columns = list(model.dropped)
        self.group_name = model.group_name
        self.response_name = model.response_name
        self.n_obs, self.n_groups, self.n_dropped = model.n, model.m, model.n_dropped
        self.n_read = getattr(model, "n_read", None) or model.n + model.n_dropped
        q = model.q

        self.beta = rp.beta(raw["beta"])
        self.cov_beta = rp.cov_beta(raw["cov_beta"])
        self.std_errors = rp.std_errors(raw["cov_beta"])
        with np.errstate(divide="ignore", invalid="ignore"):
            self.t_values = self.beta / self.std_errors
        self.sigma = float(rp.sigma(raw["sigma"]))
        self.sigma2 = self.sigma * self.sigma  # inf, not an error, beyond the double range

        self.theta_core = np.array(raw["theta"])
        self.theta = rp.theta(self.theta_core)
        lam = theta_to_lambda(self.theta, q)
        rel = lam @ lam.T
        with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
            self.cov_re = self.sigma2 * rel
            self.re_variances = np.diag(self.cov_re).copy()
            self.re_std = self.sigma * np.sqrt(np.diag(rel))
            sd = np.sqrt(np.diag(rel))
            self.re_corr = rel / np.outer(sd, sd)
        np.fill_diagonal(self.re_corr, 1.0)

        nmp = model.n - (model.p if self.reml else 0)
        # Precision weights scale the rows the core fits: the density of y is
        # that of the scaled rows times prod sqrt(w_i).
        self.criterion = float(rp.criterion(raw["deviance"], nmp, self.reml)) - getattr(model, "weights_logdet", 0.0)
        self.loglik = -0.5 * self.criterion
        self.n_params = model.p + model.n_theta + 1
        self.aic = self.criterion + 2.0 * self.n_params
        self.bic = self.criterion + self.n_params * math.log(model.n)

        self._b = rp.random_effects(raw["random_effects"])
        self.group_labels = list(model.group_labels)
        self._ccov = None

        fitted = "converged" in raw
        self.converged = bool(raw["converged"]) if fitted else None
        self.status = str(raw.get("status", "evaluated"))
        self.message = str(raw.get("message", "evaluated at a given theta"))
        self.iterations = int(raw.get("iterations", 0))
        self.evaluations = int(raw.get("fev", 0))
        self.gradient_norm = float(raw.get("grad_inf_norm", float("nan")))
        self.min_hessian_eigenvalue = float(raw.get("min_free_eigenvalue", float("nan")))
        pairs = _tril_pairs(q)
        on_bound = {int(k) for k in raw.get("boundary", [])}
        if fitted and self.converged:
            on_bound |= _rising_from_bound(model.core, self.theta_core, q, self.reml)
        self.boundary = [self.re_names[pairs[k][0]] for k in sorted(on_bound) if pairs[k][0] == pairs[k][1]]
        if self.boundary and self.status == "interior":
            self.status = "boundary"

    # -- the certificate ---------------------------------------------------------
    @property
    def certificate(self):
        """The fit's certificate as a dict."""
        return {"converged": self.converged, "status": self.status, "boundary": list(self.boundary),
                "gradient_norm": self.gradient_norm, "min_hessian_eigenvalue": self.min_hessian_eigenvalue,
                "iterations": self.iterations, "evaluations": self.evaluations, "message": self.message}

    @property
    def singular(self):
        """Whether the fit is on the boundary (a singular random-effects covariance)."""
        return bool(self.boundary)

    def _warn(self):
        """The fit's warnings, with the summaries' texts, attributed to the
        user's line."""
        if self.converged is False:
            warn_user(_summary.convergence_note(self), ConvergenceWarning)
        if self.boundary:
            warn_user(_summary.boundary_note(self), SingularFitWarning)

    # -- per group -----------------------------------------------------------------
    @property
    def random_effects(self):
        """Conditional modes b_i by group label."""
        return dict(zip(self.group_labels, self._b))

    @property
    def conditional_covariances(self):
        """Var(b_i | y) by group label."""
        if self._ccov is None:
            raw = self.model.core.conditional_covariances(self.theta_core.tolist(), reml=self.reml)
            self._ccov = self.model.reparam.conditional_covariances(np.asarray(raw))
        return dict(zip(self.group_labels, self._ccov))

    # -- predictions -----------------------------------------------------------------
    def predict(self, data: Any = None, include_random: bool = True,
                new_groups: str = "population") -> Any:
        """Predicted means.

        Parameters
        ----------
        data : optional
            None: the fitted rows. Otherwise new data as the model takes it (a
            table for a formula model; (X, Z, groups) or X for an array model).
        include_random : bool
            Add each row's group's conditional mode.
        new_groups : {"population", "error", "nan"}
            Groups not seen in fitting: zero random effects (the population
            mean), an error, or NaN.

        Returns
        -------
        pandas.Series or numpy.ndarray
            One prediction per row (a Series on the table's index for tables).

        Raises
        ------
        ValueError
            For new data without the model's columns, new levels of a factor, or
            (with ``new_groups="error"``) unseen groups.

        Examples
        --------
        >>> import corvane
        >>> from corvane._example import example_frame
        >>> df = example_frame()
        >>> r = corvane.lmm("Reaction ~ Days + (Days | Subject)", df)
        >>> r.predict(df.head(2)).round(2).tolist()
        [242.85, 245.33]
        """
        if new_groups not in NEW_GROUPS:
            raise ValueError(f"new_groups must be one of {NEW_GROUPS}, got {new_groups!r}")
        model = self.model
        if data is None:
            return self._on_index(self._raw_fitted(include_random), model)
        if model.spec is not None:
            return self._predict_table(data, include_random, new_groups)
        x, z, labels, _ = model._new_design(data, include_random)
        out = x @ self.beta
        if include_random:
            rows = self._group_rows(labels, new_groups)
            b = np.where((rows >= 0)[:, None], self._b[np.maximum(rows, 0)], 0.0)
            out = out + np.einsum("ij,ij->i", z, b)
            if new_groups == "nan":
                out[rows < 0] = np.nan
        return out

    def _predict_table(self, data, include_random, new_groups):
        """Predictions for a table, through the formula's specification."""
        from .sources import as_frame

        model, spec = self.model, self.model.spec
        frame = as_frame(data)
        needed = set(spec.fixed.variables)
        for b in spec.offsets:
            needed |= set(b.variables)
        if include_random:
            needed |= set(spec.random.variables) | {spec.parsed.group}
        missing_cols = sorted(c for c in needed if c not in frame.columns)
        if missing_cols:
            raise ValueError(f"the data lack the column{'s' if len(missing_cols) > 1 else ''} "
                             f"{', '.join(map(repr, missing_cols))} the model needs")
        cols = [c for c in frame.columns if c in needed]
        complete = ~frame[cols].isna().to_numpy().any(axis=1) if cols else np.ones(len(frame), bool)
        out = np.full(len(frame), np.nan)
        sub = frame.loc[complete]
        if len(sub):
            x = spec.fixed.matrix(sub, new_data=True)[:, model.kept]
            values = x @ self.beta
            for b in spec.offsets:
                values = values + b.matrix(sub, new_data=True)[:, 0]
            if include_random:
                z = spec.random.matrix(sub, new_data=True)
                rows = self._group_rows(sub[spec.parsed.group].tolist(), new_groups)
                bvals = np.where((rows >= 0)[:, None], self._b[np.maximum(rows, 0)], 0.0)
                values = values + np.einsum("ij,ij->i", z, bvals)
                if new_groups == "nan":
                    values[rows < 0] = np.nan
            out[complete] = values
        import pandas as pd

        return pd.Series(out, index=frame.index) if isinstance(data, pd.DataFrame) else out

    def _group_rows(self, labels, new_groups):
        """Index of each label among the fitted groups (-1 for a new one)."""
        index = {(type(v), v): i for i, v in enumerate(self.group_labels)}
        texts = None
        rows = np.empty(len(labels), dtype=np.int64)
        for r, v in enumerate(labels):
            v = v.item() if isinstance(v, np.generic) else v
            i = index.get((type(v), v))
            if i is None and isinstance(v, (int, float)) and not isinstance(v, bool):
                # 3 and 3.0 are one label, as in fitting.
                i = next((index[(t, v)] for t in (int, float) if (t, v) in index), None)
            if i is None:
                if texts is None:
                    texts = {str(g): g for g in self.group_labels}
                if str(v) in texts and not _missing(v):
                    g = texts[str(v)]
                    raise TypeError(f"group label {v!r} ({type(v).__name__}) is not among the fitted labels, "
                                    f"which are {type(g).__name__} (e.g. {g!r}): convert the labels")
                if new_groups == "error" and not _missing(v):
                    raise ValueError(f"group {v!r} was not in the fitted data")
                i = -1
            rows[r] = i
        return rows

    def _on_index(self, values, model):
        index = getattr(model, "index", None)
        if index is None:
            return values
        import pandas as pd

        full = getattr(model, "_source_index", None)
        if full is not None and len(full) != len(values):
            out = pd.Series(np.nan, index=full, dtype=np.float64)
            out[model._kept_mask] = values
            return out
        return pd.Series(values, index=index)

    @property
    def fitted_values(self):
        """Fitted means on the fitted rows (a Series on the input's index, NaN
        for rows dropped for missing values, for pandas input)."""
        return self._on_index(self._raw_fitted(), self.model)

    @property
    def residuals(self):
        """Response minus fitted means (same shape as :attr:`fitted_values`)."""
        return self._on_index(self.model.y - self._raw_fitted(), self.model)

    def _raw_fitted(self, include_random=True):
        model = self.model
        model._require_rows("fitted values and residuals")
        out = model.X @ self.beta
        if model.offset is not None:
            out = out + model.offset
        if include_random:
            out = out + np.einsum("ij,ij->i", model.Z, self._b[model.codes])
        return out

    # -- the fixed effects' t tests ---------------------------------------------------
    def _t_tests(self):
        """(df, p) of the fixed effects' t tests: Satterthwaite's df and the
        two-sided p values (the one definition every output shows)."""
        from . import inference

        return inference.t_tests(self)

    @property
    def p_values(self):
        """Two-sided p values of the fixed effects' t tests with Satterthwaite's
        df, as :meth:`summary` and lmerTest give them (an array; needs scipy,
        the extra ``corvane[formula]``). The normal approximation's are
        ``coef_table(ddf="normal")["Pr(>|z|)"]``."""
        return self._t_tests()[1]

    # -- labelled outputs (statsmodels' names) --------------------------------------
    # Each statsmodels name reads one of the quantities above and only labels
    # it, so that two names can never give two numbers.
    params = _Alias("beta", "by_term")
    bse = _Alias("std_errors", "by_term")
    tvalues = _Alias("t_values", "by_term")
    pvalues = _Alias("p_values", "by_term")
    fittedvalues = _Alias("fitted_values", "by_row")
    resid = _Alias("residuals", "by_row")
    llf = _Alias("loglik", "as_is")
    nobs = _Alias("n_obs", "as_is")

    def _series(self, values, name):
        pd = _pandas()
        return pd.Series(np.asarray(values, dtype=np.float64), index=pd.Index(self.fe_names, name="term"),
                         name=name)

    def _as_series(self, values, name):
        pd = _pandas()
        if isinstance(values, pd.Series):
            return values.rename(name)
        return pd.Series(values, name=name)

    def conf_int(self, alpha: float = 0.05) -> "pd.DataFrame":
        """Wald intervals of the fixed effects, labelled as statsmodels labels
        them: the rows of ``confint(level=1 - alpha, method="wald")``.

        Parameters
        ----------
        alpha : float
            1 - the coverage (0.05: 95 % intervals).

        Returns
        -------
        pandas.DataFrame
            The columns 0 (lower) and 1 (upper), one row per fixed effect.

        Raises
        ------
        ValueError
            When alpha is not between 0 and 1.

        Examples
        --------
        >>> import corvane
        >>> from corvane._example import example_frame
        >>> r = corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame())
        >>> r.conf_int().round(1).loc["Days"].tolist()
        [8.7, 14.6]
        """
        if isinstance(alpha, bool) or not isinstance(alpha, (int, float)) or not 0.0 < float(alpha) < 1.0:
            raise ValueError(f"alpha must be between 0 and 1, got {alpha!r}")
        table = self.confint(level=1.0 - float(alpha), method="wald", which=self.fe_names)
        table.columns = [0, 1]
        table.index.name = "term"
        return table

    def cov_params(self) -> "pd.DataFrame":
        """:attr:`cov_beta` labelled: the covariance of the fixed effects.

        Returns
        -------
        pandas.DataFrame
            p x p, rows and columns named by fixed effect.

        Examples
        --------
        >>> import corvane
        >>> from corvane._example import example_frame
        >>> r = corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame())
        >>> r.cov_params().shape
        (2, 2)
        """
        pd = _pandas()
        return pd.DataFrame(self.cov_beta, index=self.fe_names, columns=self.fe_names)

    def ranef(self, condvar: bool = False) -> "pd.DataFrame":
        """The conditional modes of the random effects.

        Parameters
        ----------
        condvar : bool
            Also give each mode's conditional standard deviation, in the columns
            "condsd(NAME)".

        Returns
        -------
        pandas.DataFrame
            One row per group (index: the group labels), one column per random
            effect.

        Examples
        --------
        >>> import corvane
        >>> from corvane._example import example_frame
        >>> r = corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame())
        >>> r.ranef(condvar=True).columns.tolist()
        ['(Intercept)', 'Days', 'condsd((Intercept))', 'condsd(Days)']
        """
        pd = _pandas()
        out = pd.DataFrame(self._b, index=pd.Index(self.group_labels, name=self.group_name),
                           columns=list(self.re_names))
        if condvar:
            cc = self.conditional_covariances
            sd = np.sqrt(np.maximum(np.array([np.diag(cc[g]) for g in self.group_labels]), 0.0))
            for k, name in enumerate(self.re_names):
                out[f"condsd({name})"] = sd[:, k]
        return out

    def varcorr(self) -> "pd.DataFrame":
        """The variance components as the summary shows them.

        Returns
        -------
        pandas.DataFrame
            Rows (group, name) for each random effect and the residual; columns
            "Variance", "Std.Dev." and, with several random effects, one
            correlation column per earlier random effect.

        Examples
        --------
        >>> import corvane
        >>> from corvane._example import example_frame
        >>> r = corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame())
        >>> r.varcorr().columns.tolist()
        ['Variance', 'Std.Dev.', 'Corr((Intercept))']
        """
        pd = _pandas()
        rows, index = [], []
        for j, name in enumerate(self.re_names):
            row = {"Variance": self.re_variances[j], "Std.Dev.": self.re_std[j]}
            for k in range(len(self.re_names) - 1):
                row[f"Corr({self.re_names[k]})"] = self.re_corr[j, k] if k < j else np.nan
            rows.append(row)
            index.append((self.group_name, name))
        rows.append({"Variance": self.sigma2, "Std.Dev.": self.sigma})
        index.append(("Residual", ""))
        return pd.DataFrame(rows, index=pd.MultiIndex.from_tuples(index, names=["Groups", "Name"]))

    def _repr_html_(self):
        """The summary as HTML (notebooks): the text summary's sections, its
        optimizer status and notes included."""
        return _summary.html(self)

    def refit(self, y_new: Any, *, starts: Any = None, max_iter: int = 200) -> "LmmResult":
        """Fit a new response on this fit's design (see :meth:`LinearMixedModel.refit`).

        Parameters
        ----------
        y_new : array_like or pandas Series
            One value per row of the model's data.
        starts, max_iter
            As for :meth:`LinearMixedModel.fit`.

        Returns
        -------
        LmmResult

        Examples
        --------
        >>> import corvane
        >>> from corvane._example import example_frame
        >>> df = example_frame()
        >>> r = corvane.lmm("Reaction ~ Days + (Days | Subject)", df)
        >>> r.refit(df["Reaction"] + 10).params.round(2).tolist()
        [264.78, 11.63]
        """
        return self.model.refit(y_new, starts=starts, max_iter=max_iter)

    # -- plots (matplotlib; documented with examples in corvane.plots) ---------------------
    def plot_ranef(self, level: float = 0.95, axes: Any = None) -> Any:
        """Caterpillar plot of the conditional modes with intervals of coverage
        ``level`` from their conditional variances; ``axes`` one per random
        effect. Returns the Figure; needs ``corvane[plot]``. See
        :func:`corvane.plots.plot_ranef`."""
        from . import plots

        return plots.plot_ranef(self, level=level, axes=axes)

    def plot_qq(self, axes: Any = None) -> Any:
        """Normal QQ plots of the conditional modes, ``axes`` one per random
        effect. Returns the Figure; needs ``corvane[plot]``. See
        :func:`corvane.plots.plot_qq`."""
        from . import plots

        return plots.plot_qq(self, axes=axes)

    def plot_residuals(self, ax: Any = None) -> Any:
        """Residuals against fitted values, on ``ax`` or a new figure. Returns
        the Figure; needs ``corvane[plot]``. See
        :func:`corvane.plots.plot_residuals`."""
        from . import plots

        return plots.plot_residuals(self, ax=ax)

    def plot_shrinkage(self, ax: Any = None) -> Any:
        """Per-group least-squares estimates against the conditional modes, on
        ``ax`` or a new figure. Returns the Figure; needs ``corvane[plot]``.
        See :func:`corvane.plots.plot_shrinkage`."""
        from . import plots

        return plots.plot_shrinkage(self, ax=ax)

    # -- inference -------------------------------------------------------------------
    @property
    def ddf(self):
        """Satterthwaite's denominator degrees of freedom of each fixed effect,
        those of :attr:`p_values` (a pandas Series by fixed-effect name)."""
        return self._series(self._t_tests()[0], "df")

    def coef_table(self, ddf: str = "satterthwaite") -> "pd.DataFrame":
        """The fixed-effects table.

        Parameters
        ----------
        ddf : {"satterthwaite", "normal"}
            Satterthwaite's t tests (Estimate, Std. Error, df, t value,
            Pr(>|t|)), or the normal approximation (z value, Pr(>|z|)).

        Returns
        -------
        pandas.DataFrame
            One row per fixed effect.

        Examples
        --------
        >>> import corvane
        >>> from corvane._example import example_frame
        >>> r = corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame())
        >>> r.coef_table()["df"].round(1).tolist()
        [17.0, 17.0]
        """
        from . import inference

        return inference.coef_table(self, ddf)

    def contrast_test(self, L: Any, rhs: Any = None) -> "pd.DataFrame":
        """The F test of H0: L beta = rhs with Satterthwaite's denominator df.

        As lmerTest's ``contest``: the F statistic of the estimable directions of
        L (its rank is NumDF), DenDF from the t tests along them.

        Parameters
        ----------
        L : array_like or pandas DataFrame / Series
            A contrast vector or a k x p matrix; a DataFrame or Series may name
            its columns by fixed effect (others are 0).
        rhs : array_like, optional
            The hypothesised values (default 0).

        Returns
        -------
        pandas.DataFrame
            One row: Sum Sq, Mean Sq, NumDF, DenDF, F value, Pr(>F).

        Raises
        ------
        ValueError
            For a matrix of the wrong width, non-finite entries, unknown names,
            or no estimable direction.

        Examples
        --------
        >>> import corvane
        >>> from corvane._example import example_frame
        >>> r = corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame())
        >>> r.contrast_test([0, 1])[["NumDF", "DenDF"]].round(1).values.tolist()
        [[1.0, 17.0]]
        """
        from . import inference

        return inference.contrast_test(self, L, rhs)

    def anova(self, type: int = 3) -> "pd.DataFrame":
        """Type III F tests of the fixed-effect terms with Satterthwaite's df.

        The hypotheses are lmerTest's: each term's columns made orthogonal to
        those of the terms containing it (an interaction contains its main
        effects; a term with a covariate is contained only in terms with the
        same covariates), with every term in full dummy coding. They depend
        neither on the order of the terms nor on the coding of the factors
        (``C(x, Sum)``), nor, for formulas where a factor's margin is missing
        (``y ~ A + A:B``), on the reference level, where lmerTest's do.
        With an empty cell the hypotheses follow the data's rows.

        Parameters
        ----------
        type : int
            3 (the only type available).

        Returns
        -------
        pandas.DataFrame
            One row per formula term (the intercept left out): Sum Sq, Mean
            Sq, NumDF, DenDF, F value, Pr(>F), as lmerTest's ``anova``.

        Raises
        ------
        ValueError
            For a rank-deficient design with terms contained in others fitted
            from data read in batches (its rows are not kept).
        NotImplementedError
            When a factor is computed by an expression other than a column or
            ``C(column, ...)``; test the hypotheses with :meth:`contrast_test`.

        Examples
        --------
        >>> import corvane
        >>> from corvane._example import example_frame
        >>> r = corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame())
        >>> r.anova().index.tolist()
        ['Days']
        """
        from . import inference

        if type != 3:
            raise ValueError("only type III tests are available (type=3)")
        return inference.anova_type3(self)

    def confint(self, level: float = 0.95, method: str = "wald", which: Any = None,
                **kwargs: Any) -> "pd.DataFrame":
        """Confidence intervals of every parameter.

        Parameters
        ----------
        level : float
            Coverage.
        method : {"wald", "profile", "bootstrap"}
            "wald": the fixed effects only (variance parameters NaN, as lme4).
            "profile": where the signed square root of the criterion's rise
            crosses the normal quantiles, every other parameter re-optimised at
            each point; variance parameters on the criterion of the fit (REML for
            a REML fit), fixed effects on the ML criterion (REML has no profile
            in beta). "bootstrap": percentile intervals of :meth:`bootstrap`.
        which : sequence of str, optional
            Only these rows.
        **kwargs
            For "bootstrap": ``n``, ``seed``, ``progress``.

        Returns
        -------
        pandas.DataFrame
            Rows "sd(NAME | GROUP)", "cor(NAME1, NAME2 | GROUP)" (theta's order),
            "sigma" and the fixed effects; columns like "2.5 %" and "97.5 %".

        Raises
        ------
        ValueError
            For a level outside (0, 1), an unknown method or unknown names.

        Examples
        --------
        >>> import corvane
        >>> from corvane._example import example_frame
        >>> r = corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame())
        >>> r.confint(method="profile").round(2).loc["sigma"].tolist()
        [21.54, 27.15]
        """
        from . import inference

        return inference.confint(self, level, method, which, **kwargs)

    def bootstrap(self, n: int = 1000, seed: Any = 0, progress: bool = True) -> Any:
        """The parametric bootstrap.

        Responses are simulated from the fitted model and refitted on its design
        (the design's products shared), in parallel without the interpreter
        lock. A seed gives the same replicates bit for bit on any number of
        threads.

        Parameters
        ----------
        n : int
            Replicates.
        seed : int or numpy.random.Generator seed
            For ``numpy.random.default_rng``.
        progress : bool
            A progress bar (tqdm) for runs longer than a second.

        Returns
        -------
        corvane.bootstrap.BootstrapResult
            ``replicates`` (a DataFrame) and ``confint(level, kind)``.

        Raises
        ------
        ValueError
            For a model fitted from data read in batches (its rows are not kept).

        Examples
        --------
        >>> import corvane
        >>> from corvane._example import example_frame
        >>> r = corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame())
        >>> boot = r.bootstrap(n=50, seed=1, progress=False)
        >>> boot.replicates.shape[0], boot.n_converged
        (50, 50)
        """
        from . import bootstrap

        return bootstrap.bootstrap(self, n=n, seed=seed, progress=progress)

    def simulate(self, n: int = 1, seed: Any = None) -> np.ndarray:
        """Responses simulated from the fitted model.

        Parameters
        ----------
        n : int
            How many.
        seed : optional
            For ``numpy.random.default_rng``.

        Returns
        -------
        numpy.ndarray
            n x n_obs, the offset included.

        Examples
        --------
        >>> import corvane
        >>> from corvane._example import example_frame
        >>> r = corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame())
        >>> r.simulate(n=3, seed=0).shape
        (3, 180)
        """
        from . import bootstrap

        return bootstrap.simulate(self, n=n, seed=seed)

    # -- presentation -------------------------------------------------------------
    def summary(self, ddf: str = "satterthwaite") -> Any:
        """A printable table in the manner of lme4's.

        Parameters
        ----------
        ddf : {"satterthwaite", "normal"}
            The fixed effects' t tests by Satterthwaite's df (df, Pr(>|t|):
            the numbers of :attr:`ddf` and :attr:`p_values`; without scipy the
            table says so and leaves them out), or the normal approximation
            (Pr(>|z|)).

        Returns
        -------
        str
            The table (a str subclass whose repr is the table itself).

        Raises
        ------
        ValueError
            For another ``ddf``.

        Examples
        --------
        >>> import corvane
        >>> from corvane._example import example_frame
        >>> r = corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame())
        >>> "Pr(>|t|)" in r.summary()
        True
        """
        if ddf not in ("satterthwaite", "normal"):
            raise ValueError(f"ddf must be 'satterthwaite' or 'normal', got {ddf!r}")
        return _summary.text(self, ddf)

    def __str__(self):
        return str(self.summary())

    def __repr__(self):
        return (f"<LmmResult {self.method} n_obs={self.n_obs} n_groups={self.n_groups} "
                f"criterion={self.criterion:.6g}>")

    def to_dict(self) -> dict:
        """Every reported quantity as plain Python values.

        Returns
        -------
        dict
            Lists, floats, ints and strings (non-finite values as None), ready for
            ``json.dumps``; groups come as a list, in the order of
            ``random_effects``. Each fixed effect has its estimate, std_error,
            t_value, Satterthwaite's df and the t test's p_value (those of
            :meth:`summary`).

        Raises
        ------
        ImportError
            Without scipy (the p values need it): ``pip install corvane[formula]``.

        Examples
        --------
        >>> import json, corvane
        >>> from corvane._example import example_frame
        >>> r = corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame())
        >>> len(json.dumps(r.to_dict())) > 1000
        True
        """
        def mat(a):
            return [[_plain(v) for v in row] for row in np.asarray(a)]

        df, p_values = self._t_tests()
        ccov = self.conditional_covariances
        return {
            "formula": self.formula,
            "method": self.method,
            "reml": self.reml,
            "response": self.response_name,
            "group": self.group_name,
            "n_obs": int(self.n_obs),
            "n_groups": int(self.n_groups),
            "n_dropped": int(self.n_dropped),
            "fixed_effects": {
                name: {"estimate": _plain(b), "std_error": _plain(se), "t_value": _plain(t), "df": _plain(d),
                       "p_value": _plain(p)}
                for name, b, se, t, d, p in zip(self.fe_names, self.beta, self.std_errors, self.t_values, df,
                                                p_values)},
            "dropped_columns": list(self.dropped_columns),
            "cov_beta": mat(self.cov_beta),
            "random_effect_names": list(self.re_names),
            "cov_re": mat(self.cov_re),
            "re_variances": [_plain(v) for v in self.re_variances],
            "re_std": [_plain(v) for v in self.re_std],
            "re_corr": mat(self.re_corr),
            "sigma": _plain(self.sigma),
            "sigma2": _plain(self.sigma2),
            "theta": [_plain(v) for v in self.theta],
            "criterion": _plain(self.criterion),
            "loglik": _plain(self.loglik),
            "aic": _plain(self.aic),
            "bic": _plain(self.bic),
            "n_params": int(self.n_params),
            "certificate": {k: (_plain(v) if isinstance(v, float) else v) for k, v in self.certificate.items()},
            "converged": self.converged,
            "message": self.message,
            "iterations": self.iterations,
            "evaluations": self.evaluations,
            "groups": [_json_label(g) for g in self.group_labels],
            "random_effects": [[_plain(v) for v in b] for b in self._b],
            "conditional_covariances": [mat(ccov[g]) for g in self.group_labels],
        }

    def __getstate__(self):
        return dict(self.__dict__)


def _pandas():
    from ._errors import require

    return require("pandas", purpose="labelled outputs")


def _missing(v):
    return v is None or (isinstance(v, float) and math.isnan(v))
