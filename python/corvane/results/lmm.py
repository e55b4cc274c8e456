"""The fitted model: every number on the user's parametrisation.

:class:`LmmResult` maps the core's solution back through the model's
reparametrisation (:class:`corvane.design.reparam.Reparam`): fixed effects and
their covariance, sigma, the random-effects covariance and theta, the
conditional modes and covariances per group, the criterion and information
criteria. What every family's result is (the certificate, predictions,
tables, plots, intervals) comes from :class:`corvane.results.base.MixedResult`;
the tests and marginal means from :mod:`corvane.results.lmm_inference`.
"""

from __future__ import annotations

import math
from functools import cached_property
from typing import Any

import numpy as np

from .._checks import check_ddf
from ..design.reparam import theta_to_lambda
from . import summary as _summary
from .base import MixedResult
from .lmm_inference import LinearInference
from .tables import declare_aliases

__all__ = ["LmmResult"]


class LmmResult(MixedResult, LinearInference):
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
    criterion, loglik, aic, bic, n_params, df_resid
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
        self._adopt_model(model)
        self.reml = bool(raw["reml"])
        self.method = "REML" if self.reml else "ML"
        self.starts = starts

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
        self.df_resid = model.n - self.n_params  # lme4's df.residual
        self.aic = self.criterion + 2.0 * self.n_params
        self.bic = self.criterion + self.n_params * math.log(model.n)

        core, reml = model.core, self.reml
        self._adopt_certificate(raw, lambda theta: core.variance_derivatives(theta.tolist(), reml=reml)["grad"])

    # -- the estimates on the user's parametrisation ------------------------------
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

    @cached_property
    def _condvar(self):
        """Var(b_i | y), one (q, q) block per group."""
        raw = self.model.core.conditional_covariances(self.theta_core.tolist(), reml=self.reml)
        return self.model.reparam.conditional_covariances(np.asarray(raw))

    def _residual_rows(self):
        return [("Residual", self.sigma2, self.sigma)]

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

    # -- plots (matplotlib; the others are every family's) ---------------------------------
    def _r2_residual_variance(self):
        return self.sigma2

    def _test_method(self):
        from ..inference.ddf import df_method

        return df_method(self, "satterthwaite")

    def _unpooled_effects(self):
        from . import plots

        return plots.least_squares_effects(self), "least-squares"

    def _intervals(self):
        from ..inference.profile import intervals

        return intervals

    def _bootstraps(self):
        from ..inference import bootstrap

        return bootstrap

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
        return _summary.render_text(self._sections(ddf=check_ddf(ddf)))

    def _sections(self, ddf="satterthwaite"):
        return _summary.sections(self, ddf)

    def __repr__(self):
        return (f"<LmmResult {self.method} n_obs={self.n_obs} n_groups={self.n_groups} "
                f"criterion={self.criterion:.6g}>")

    def __getstate__(self):
        return dict(self.__dict__)


declare_aliases(LmmResult)
