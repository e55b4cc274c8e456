"""The fitted model: every number on the user's parametrisation.

:class:`LmmResult` maps the core's solution back through the model's
reparametrisation (:class:`corvane.model.reparam.Reparam`): fixed effects and their
covariance, sigma, the random-effects covariance and theta, the conditional
modes and covariances per group, the criterion and information criteria,
and the fit's certificate; predictions (:mod:`corvane.results.predict`) and the
labelled tables (:mod:`corvane.results.tables`) are mixed in.
"""

from __future__ import annotations

import math
from functools import cached_property
from typing import TYPE_CHECKING, Any

import numpy as np

from . import summary as _summary
from .._errors import ConvergenceWarning, SingularFitWarning, warn_user
from ..model.boundary import rising_from_bound
from ..design.reparam import theta_to_lambda, tril_pairs
from ..inference.emmeans import MarginalMeans
from .predict import Predictions
from ..inference.reduction import Reductions
from .tables import ResultTables, declare_aliases

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd

__all__ = ["LmmResult"]

class LmmResult(Predictions, ResultTables, MarginalMeans, Reductions):
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

        # The estimates' maps to the user's parametrisation are made when
        # first asked for (below): a small fit spends more time making them
        # than fitting. Only the core's numbers they need are kept.
        self._raw = {k: raw[k] for k in ("beta", "cov_beta", "random_effects")}
        self._rp = rp
        self.sigma = float(rp.sigma(raw["sigma"]))
        self.sigma2 = self.sigma * self.sigma  # inf, not an error, beyond the double range
        self.theta_core = np.array(raw["theta"])

        nmp = model.n - (model.p if self.reml else 0)
        # Precision weights scale the rows the core fits: the density of y is
        # that of the scaled rows times prod sqrt(w_i).
        self.criterion = float(rp.data_criterion(raw["deviance"], nmp, self.reml, model.weights_logdet))
        self.loglik = -0.5 * self.criterion
        self.n_params = model.p + model.n_theta + 1
        self.aic = self.criterion + 2.0 * self.n_params
        self.bic = self.criterion + self.n_params * math.log(model.n)

        self._ccov = None

        fitted = "converged" in raw
        self.converged = bool(raw["converged"]) if fitted else None
        self.status = str(raw.get("status", "evaluated"))
        self.message = str(raw.get("message", "evaluated at a given theta"))
        self.iterations = int(raw.get("iterations", 0))
        self.evaluations = int(raw.get("fev", 0))
        self.gradient_norm = float(raw.get("grad_inf_norm", float("nan")))
        self.min_hessian_eigenvalue = float(raw.get("min_free_eigenvalue", float("nan")))
        on_bound = {int(k) for k in raw.get("boundary", [])}
        if fitted and self.converged:
            on_bound |= rising_from_bound(model.core, self.theta_core, q, self.reml)
        pairs = tril_pairs(q) if on_bound else ()
        self.boundary = [self.re_names[pairs[k][0]] for k in sorted(on_bound) if pairs[k][0] == pairs[k][1]]
        if self.boundary and self.status == "interior":
            self.status = "boundary"

    # -- the estimates on the user's parametrisation ------------------------------
    @cached_property
    def group_labels(self):
        return list(self.model.group_labels)

    @cached_property
    def _b(self):
        """The conditional modes b_i, one row per group."""
        return self._rp.random_effects(self._raw["random_effects"])

    @cached_property
    def beta(self):
        return self._rp.beta(self._raw["beta"])

    @cached_property
    def cov_beta(self):
        return self._rp.cov_beta(self._raw["cov_beta"])

    @cached_property
    def std_errors(self):
        return self._rp.std_errors(self._raw["cov_beta"])

    @cached_property
    def t_values(self):
        with np.errstate(divide="ignore", invalid="ignore"):
            return self.beta / self.std_errors

    @cached_property
    def theta(self):
        return self._rp.theta(self.theta_core)

    @cached_property
    def _re_covariance(self):
        """(cov_re, re_variances, re_std, re_corr)."""
        lam = theta_to_lambda(self.theta, len(self.re_names))
        rel = lam @ lam.T
        with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
            cov_re = self.sigma2 * rel
            re_variances = np.diag(cov_re).copy()
            re_std = self.sigma * np.sqrt(np.diag(rel))
            sd = np.sqrt(np.diag(rel))
            re_corr = rel / np.outer(sd, sd)
        np.fill_diagonal(re_corr, 1.0)
        return cov_re, re_variances, re_std, re_corr

    @cached_property
    def cov_re(self):
        return self._re_covariance[0]

    @cached_property
    def re_variances(self):
        return self._re_covariance[1]

    @cached_property
    def re_std(self):
        return self._re_covariance[2]

    @cached_property
    def re_corr(self):
        return self._re_covariance[3]

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

    # -- the fixed effects' t tests ---------------------------------------------------
    def _t_tests(self):
        """(df, p) of the fixed effects' t tests: Satterthwaite's df and the
        two-sided p values (the one definition every output shows)."""
        from ..inference import satterthwaite

        return satterthwaite.t_tests(self)

    @property
    def p_values(self):
        """Two-sided p values of the fixed effects' t tests with Satterthwaite's
        df, as :meth:`summary` and lmerTest give them (an array; needs scipy,
        the extra ``corvane[formula]``). The normal approximation's are
        ``coef_table(ddf="normal")["Pr(>|z|)"]``."""
        return self._t_tests()[1]

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

    # -- plots (matplotlib; documented with examples in corvane.results.plots) ---------------------
    def plot_ranef(self, level: float = 0.95, axes: Any = None) -> Any:
        """Caterpillar plot of the conditional modes with intervals of coverage
        ``level`` from their conditional variances; ``axes`` one per random
        effect. Returns the Figure; needs ``corvane[plot]``. See
        :func:`corvane.results.plots.plot_ranef`."""
        from . import plots

        return plots.plot_ranef(self, level=level, axes=axes)

    def plot_qq(self, axes: Any = None) -> Any:
        """Normal QQ plots of the conditional modes, ``axes`` one per random
        effect. Returns the Figure; needs ``corvane[plot]``. See
        :func:`corvane.results.plots.plot_qq`."""
        from . import plots

        return plots.plot_qq(self, axes=axes)

    def plot_residuals(self, ax: Any = None) -> Any:
        """Residuals against fitted values, on ``ax`` or a new figure. Returns
        the Figure; needs ``corvane[plot]``. See
        :func:`corvane.results.plots.plot_residuals`."""
        from . import plots

        return plots.plot_residuals(self, ax=ax)

    def plot_shrinkage(self, ax: Any = None) -> Any:
        """Per-group least-squares estimates against the conditional modes, on
        ``ax`` or a new figure. Returns the Figure; needs ``corvane[plot]``.
        See :func:`corvane.results.plots.plot_shrinkage`."""
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
        ddf : {"satterthwaite", "kenward-roger", "normal"}
            Satterthwaite's t tests (Estimate, Std. Error, df, t value,
            Pr(>|t|)); Kenward and Roger's (their adjusted Std. Error and
            df; REML fits only); or the normal approximation (z value,
            Pr(>|z|)).

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
        from ..inference import satterthwaite

        return satterthwaite.coef_table(self, ddf)

    def contrast_test(self, L: Any, rhs: Any = None, ddf: str = "satterthwaite") -> "pd.DataFrame":
        """The F test of H0: L beta = rhs with Satterthwaite's denominator df.

        As lmerTest's ``contest``: the F statistic of the estimable directions of
        L (its rank is NumDF), DenDF from the t tests along them. With
        ``ddf="kenward-roger"``, pbkrtest's test: the Wald statistic on Kenward
        and Roger's adjusted covariance, scaled, with their DenDF (Mean Sq
        is the unscaled statistic's, as lmerTest shows it); "normal" gives
        the chi-squared test (DenDF infinite).

        Parameters
        ----------
        L : array_like or pandas DataFrame / Series
            A contrast vector or a k x p matrix; a DataFrame or Series may name
            its columns by fixed effect (others are 0).
        rhs : array_like, optional
            The hypothesised values (default 0).
        ddf : {"satterthwaite", "kenward-roger", "normal"}
            The denominator df's method.

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
        from ..inference import satterthwaite

        return satterthwaite.contrast_test(self, L, rhs, ddf)

    def anova(self, type: int = 3, ddf: str = "satterthwaite") -> "pd.DataFrame":
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
        ddf : {"satterthwaite", "kenward-roger", "normal"}
            Satterthwaite's denominator df, Kenward and Roger's (their
            scaled F on the adjusted covariance; REML fits only), or the
            normal approximation (chi-squared tests, DenDF infinite).

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
        from ..inference import satterthwaite

        if type != 3:
            raise ValueError("only type III tests are available (type=3)")
        return satterthwaite.anova_type3(self, ddf)

    def confint(self, level: float = 0.95, method: str = "wald", which: Any = None, *, n: int | None = None,
                seed: Any = None, progress: bool | None = None) -> "pd.DataFrame":
        """Confidence intervals of every parameter.

        Parameters
        ----------
        level : float
            Coverage.
        method : {"wald", "profile", "bootstrap", "boot"}
            "wald": the fixed effects only (variance parameters NaN, as lme4).
            "profile": where the signed square root of the criterion's rise
            crosses the normal quantiles, every other parameter re-optimised at
            each point; variance parameters on the criterion of the fit (REML for
            a REML fit), fixed effects on the ML criterion (REML has no profile
            in beta). "bootstrap" (or lme4's "boot"): percentile intervals of
            :meth:`bootstrap`.
        which : sequence of str, optional
            Only these rows.
        n, seed, progress : optional
            For "bootstrap" only: the replicates (1000), the seed (0) and the
            progress bar (True), as for :meth:`bootstrap`.

        Returns
        -------
        pandas.DataFrame
            Rows "sd(NAME | GROUP)", "cor(NAME1, NAME2 | GROUP)" (theta's order),
            "sigma" and the fixed effects; columns like "2.5 %" and "97.5 %".

        Raises
        ------
        ValueError
            For a level outside (0, 1), an unknown method or unknown names.
        TypeError
            For n, seed or progress with a method other than "bootstrap".

        Examples
        --------
        >>> import corvane
        >>> from corvane._example import example_frame
        >>> r = corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame())
        >>> r.confint(method="profile").round(2).loc["sigma"].tolist()
        [21.54, 27.15]
        """
        from ..inference.profile import intervals as profile

        return profile.confint(self, level, method, which, n=n, seed=seed, progress=progress)

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
        corvane.inference.bootstrap.BootstrapResult
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
        from ..inference import bootstrap

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
        from ..inference import bootstrap

        return bootstrap.simulate(self, n=n, seed=seed)

    # -- presentation -------------------------------------------------------------
    def summary(self, ddf: str = "satterthwaite") -> Any:
        """A printable table in the manner of lme4's.

        Parameters
        ----------
        ddf : {"satterthwaite", "kenward-roger", "normal"}
            The fixed effects' t tests by Satterthwaite's df (df, Pr(>|t|):
            the numbers of :attr:`ddf` and :attr:`p_values`; without scipy the
            table says so and leaves them out), by Kenward and Roger's
            adjusted standard errors and df (REML fits), or the normal
            approximation (Pr(>|z|)).

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
        from ..inference.satterthwaite import check_ddf

        return _summary.text(self, check_ddf(ddf))

    def __str__(self):
        return str(self.summary())

    def __repr__(self):
        return (f"<LmmResult {self.method} n_obs={self.n_obs} n_groups={self.n_groups} "
                f"criterion={self.criterion:.6g}>")

    def __getstate__(self):
        return dict(self.__dict__)


declare_aliases(LmmResult)
