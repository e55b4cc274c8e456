"""A fitted repeated-measures model: estimates, the covariance of beta,
Satterthwaite's t and F tests, the residual covariance by group, the
information criteria as R's mmrm counts them, the summary and to_dict."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING

import numpy as np

from .. import _dist
from ..results import summary as _summary
from ..results.base import ModelResult
from ..results.tables import json_label, plain
from .formula import STRUCTURES
from .inference import check_inference, df_method

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd

__all__ = ["MmrmResult"]

# A visit whose variance given the others falls below this fraction of its
# variance marks a fit heading to a singular covariance.
SINGULAR_RATIO = 1e-6

# mmrm's names of the df methods and covariances, for the summary.
_TITLES = {"satterthwaite": "Satterthwaite", "kenward-roger": "Kenward-Roger", "residual": "Residual",
           "between-within": "Between-Within", "asymptotic": "Asymptotic",
           "kenward-roger-linear": "Kenward-Roger-Linear", "empirical": "Empirical",
           "empirical-jackknife": "Empirical-Jackknife", "empirical-bias-reduced": "Empirical-Bias-Reduced"}

class MmrmResult(ModelResult):
    """A fitted mixed model for repeated measures (see :func:`corvane.mmrm`).

    Attributes: ``beta``, ``std_errors``, ``cov_beta`` (vcov), ``theta``
    (mmrm's variance parameters), ``theta_vcov``, ``loglik``, ``aic``,
    ``bic``, ``aicc``, ``deviance`` (-2 log L), ``converged`` and the
    ``certificate``; ``cov_resid`` the estimated covariance (a DataFrame,
    or a dict by group level)."""

    def __init__(self, model, raw, method="satterthwaite", vcov=None):
        self.model, self._raw = model, raw
        self.method, self.vcov_method = check_inference(method, vcov, model.reml)
        self.formula, self.reml, self.structure = model.formula, model.reml, model.structure
        self.fe_names, self.dropped_columns = list(model.fe_names), list(model.dropped)
        self.response_name, self.subject_name = model.response_name, model.group_name
        self.n_obs, self.n_subjects, self.n_dropped = model.n, model.m, model.n_dropped
        self.converged = bool(raw["converged"])
        self.status, self.message = str(raw["status"]), str(raw["message"])
        self.iterations, self.evaluations = int(raw["iterations"]), int(raw["evaluations"])
        self.gradient_norm = float(raw["grad_inf_norm"])
        self.min_hessian_eigenvalue = float(raw["min_free_eigenvalue"])
        self.theta = np.asarray(raw["theta"], dtype=np.float64)
        self.boundary = self._singular_visits() if not self.converged and self.status != "initial point infeasible" \
            else []
        self.deviance = float(raw.get("criterion", math.inf))
        self.beta = np.asarray(raw.get("beta", np.full(len(self.fe_names), np.nan)), dtype=np.float64) + \
            model.beta_shift
        p = len(self.fe_names)
        self.cov_beta_asymptotic = np.asarray(raw.get("cov_beta", np.full((p, p), np.nan)), dtype=np.float64)
        self.cov_beta = self.cov_beta_asymptotic
        self._warn()
        if "hessian" in raw:
            self.cov_beta = self._test_method().cov_beta

    def _singular_visits(self):
        """The (group, visit) whose variance given the group's earlier visits
        is below SINGULAR_RATIO of its variance: where a fit that did not
        converge is heading to a singular covariance (the optimum lies on
        the boundary, which mmrm's parametrisation reaches only at infinity)."""
        m = self.model
        if m.term.spatial:
            return []
        out = []
        levels = m.group_levels or [None]
        for g, sigma in zip(levels, m.core.covariance(self.theta)):
            w = np.linalg.eigvalsh(sigma)
            if np.all(np.isfinite(w)) and w[0] > 0:
                cond = 1.0 / np.diag(np.linalg.inv(sigma))   # each visit's variance given all the others
            else:
                cond = np.zeros(len(sigma))
            for k in np.flatnonzero(cond < SINGULAR_RATIO * np.diag(sigma)):
                out.append(str(m.visit_levels[k]) if g is None else f"{g}: {m.visit_levels[k]}")
        return out

    def _boundary_note(self):
        g = f" by {self.model.term.group}" if self.model.term.group else ""
        return (f"singular fit: the residual covariance{g} tends to a singular matrix in the visits "
                f"{', '.join(self.boundary)} (a combination of them has a variance tending to 0: too few subjects "
                f"at a visit for the structure's parameters, or responses that the other visits' determine); the "
                f"fit has no optimum inside the parameter space: use a structure with fewer parameters (toeph, "
                f"ar1h, csh) or leave out the visit")

    # -- estimates ---------------------------------------------------------------------
    @property
    def std_errors(self):
        return np.sqrt(np.diag(self.cov_beta))

    @property
    def t_values(self):
        return self.beta / self.std_errors

    @property
    def loglik(self):
        return -0.5 * self.deviance

    @property
    def n_theta(self):
        return len(self.theta)

    @property
    def aic(self):
        """-2 log L + 2 k, k the variance parameters (mmrm's count)."""
        return self.deviance + 2.0 * self.n_theta

    @property
    def bic(self):
        """-2 log L + k log(subjects)."""
        return self.deviance + self.n_theta * math.log(self.n_subjects)

    @property
    def aicc(self):
        """-2 log L + 2 k n / (n - k - 1), n the observations less the fixed effects."""
        n = self.n_obs - len(self.beta)
        return self.deviance + 2.0 * self.n_theta * n / (n - self.n_theta - 1)

    @property
    def theta_vcov(self):
        """The variance parameters' asymptotic covariance, 2 H^-1 (H the
        Hessian of -2 log L; a pseudo-inverse where H is singular)."""
        return np.asarray(self._raw["theta_vcov"], dtype=np.float64)

    def _covariances(self):
        m = self.model
        if m.term.spatial:
            times = np.unique([t for _, where, _ in m.core.patterns() for t in where])
            return times, m.core.covariance(self.theta, times)
        return m.visit_levels, m.core.covariance(self.theta)

    @property
    def cov_resid(self):
        """The estimated covariance over the visit levels (sp_exp: over the
        distinct times): a DataFrame, or a dict of them by group level."""
        pd = _dist.pandas()
        labels, mats = self._covariances()
        frames = [pd.DataFrame(s, index=list(labels), columns=list(labels)) for s in mats]
        if self.model.group_levels is None:
            return frames[0]
        return dict(zip(self.model.group_levels, frames))

    @property
    def cor_resid(self):
        """cov_resid as correlations."""
        def cor(f):
            sd = np.sqrt(np.diag(f.to_numpy()))
            return f / np.outer(sd, sd)
        c = self.cov_resid
        return {g: cor(f) for g, f in c.items()} if isinstance(c, dict) else cor(c)

    # -- tests ---------------------------------------------------------------------------
    def _test_method(self, method=None, vcov=None):
        """The tests for (method, vcov); the fit's own by default."""
        if method is None and vcov is None:
            method, vcov = self.method, self.vcov_method
        return df_method(self, method or "satterthwaite", vcov)

    def coef_table(self, method=None, vcov=None) -> "pd.DataFrame":
        """Estimate, Std. Error, df, t value, Pr(>|t|) by coefficient, by the
        fit's df method and covariance of beta, or by others (as mmrm's
        method= and vcov=: "satterthwaite", "kenward-roger", "residual",
        "between-within"; "asymptotic", "kenward-roger",
        "kenward-roger-linear", "empirical", "empirical-jackknife",
        "empirical-bias-reduced")."""
        from ..inference.ddf import T_COLUMNS

        tests = self._test_method(method, vcov)
        est, se, df = self.beta, np.sqrt(np.diag(tests.cov_beta)), np.asarray(tests.df(), dtype=np.float64)
        t = est / se
        return _dist.number_table(T_COLUMNS, (est, se, df, t, _dist.t_two_sided(t, df)),
                                  self.fe_names, "term")

    def contrast_test(self, L, rhs=None, method=None, vcov=None) -> "pd.DataFrame":
        """The F test of L beta = rhs by the fit's df method (or another): a
        one-row DataFrame of NumDF, DenDF, F value, Pr(>F)."""
        from ..inference.ddf import contrast_arguments, f_pvalue

        L, rhs = contrast_arguments(self, L, rhs)
        f, q, df2 = self._test_method(method, vcov).f_test(L, rhs)
        return _dist.pandas().DataFrame({"NumDF": [q], "DenDF": [df2], "F value": [f],
                                         "Pr(>F)": [f_pvalue(f, q, df2)]})

    def anova(self) -> "pd.DataFrame":
        """The type III F tests of the fixed-effect terms by the fit's df
        method and covariance, as mmrm's ``Anova(fit, type = "III")``:
        NumDF, DenDF, F value, Pr(>F) by term, each hypothesis written in
        mmrm's basis (see :mod:`corvane.mmrm.anova`)."""
        from .anova import anova

        return anova(self, self._test_method())

    def emmeans(self, specs, by=None, at=None, level=0.95) -> "pd.DataFrame":
        """Estimated marginal means, as emmeans' ``emmeans(fit, ~ ARMCD | AVISIT)``
        for an mmrm fit: the reference grid's rows averaged with equal weights
        over the factors outside ``specs`` and ``by``, covariates at their
        means (or ``at``); standard errors and df by the fit's method and
        covariance of beta. Columns: the variables, emmean, SE, df, lower.CL,
        upper.CL."""
        from ..inference.emmeans import emmeans

        self.model._require_rows("marginal means")
        return emmeans(self, specs, by, at, level=level, tests=self._test_method())

    def pairwise(self, specs, by=None, adjust="tukey", at=None) -> "pd.DataFrame":
        """Pairwise differences of the marginal means within each level of
        ``by`` (emmeans' ``pairs``), by the fit's method; ``adjust`` one of
        "tukey", "bonferroni", "holm", "none"."""
        from ..inference.emmeans import pairwise

        self.model._require_rows("marginal means")
        return pairwise(self, specs, by, adjust, at=at, tests=self._test_method())

    # -- predictions and residuals --------------------------------------------------
    def predict(self, data=None, conditional=True, interval=None, level=0.95, se=False):
        """Predictions for new data (default: the fitted rows), each
        conditional on the responses the data give for the subject's other
        visits, as mmrm predicts (``conditional=False``: x'beta);
        ``interval`` None, "confidence" or "prediction" (normal quantiles, the
        prediction variance at the fitted theta). A Series of predictions,
        or with ``se`` or an interval a DataFrame of fit, se, lower, upper.
        See :mod:`corvane.mmrm.predict`."""
        from .predict import predict

        return predict(self, data, conditional, interval, level, se)

    def residuals(self, type="response"):
        """Residuals on the rows' index: y - X beta ("response"), divided by
        each row's standard deviation ("pearson"), or whitened by the
        subject's Cholesky factor ("normalized"), as mmrm's."""
        from .predict import residuals

        return residuals(self, type)

    @property
    def resid(self):
        """The response residuals y - X beta (statsmodels' name)."""
        return self.residuals("response")

    @property
    def fittedvalues(self):
        """X beta on the rows' index (statsmodels' name)."""
        self.model._require_rows("fitted values")
        return _dist.pandas().Series(self.model.X @ self.beta, index=self.model.index, name="fitted")

    # -- presentation --------------------------------------------------------------------
    def _sections(self):
        m = self.model
        T = m.n_visits if m.n_visits is not None else max(len(where) for _, where, _ in m.core.patterns())
        crit = "REML" if self.reml else "ML"
        head = [_summary.Heading("mmrm fit", 1),
                f"Formula:     {self.formula}",
                f"Data:        used {self.n_obs} observations from {self.n_subjects} subjects with maximum "
                f"{T} timepoints",
                f"Covariance:  {STRUCTURES[self.structure]} ({self.n_theta} variance parameters"
                f"{'' if m.group_levels is None else f', by {m.term.group}'})",
                f"Method:      {_TITLES[self.method]}",
                f"Vcov Method: {_TITLES[self.vcov_method]}",
                f"Inference:   {crit}"]
        if self.n_dropped:
            head.append(_summary.dropped_rows_note(self))
        crit_tab = _summary.Table([["AIC", "BIC", "logLik", "deviance"],
                                   [f"{self.aic:.1f}", f"{self.bic:.1f}", f"{self.loglik:.1f}",
                                    f"{self.deviance:.1f}"]], [True] * 4)
        ct = self.coef_table()
        rows = [["", "Estimate", "Std. Error", "df", "t value", "Pr(>|t|)"]]
        for name, r in ct.iterrows():
            rows.append([name, _summary.fmt_sig(r["Estimate"], 5), _summary.fmt_sig(r["Std. Error"], 4),
                         _summary.fmt_df(r["df"]), f"{r['t value']:.3f}", _summary.fmt_pvalue(r["Pr(>|t|)"])])
        coefs = [_summary.Heading("Coefficients:"), _summary.Table(rows, [False] + [True] * 5)]
        if self.dropped_columns:
            coefs.append(_summary.Note(_summary.dropped_columns_note(self)))
        cov = []
        resid = self.cov_resid
        for g, frame in (resid.items() if isinstance(resid, dict) else [(None, resid)]):
            cov.append(_summary.Heading("Covariance estimate:" if g is None else f"Covariance estimate ({g}):"))
            labels = [str(v) for v in frame.columns]
            cov.append(_summary.Table([[""] + labels] + [[lab] + [f"{v:.4f}" for v in row]
                                                         for lab, row in zip(labels, frame.to_numpy())],
                                      [False] + [True] * len(labels)))
        status = [f"optimizer: trust-region Newton, {self.status}, {self.iterations} iterations"]
        if not self.converged:
            status.append(_summary.Note(_summary.convergence_note(self)))
        return [head, [_summary.Heading("Model selection criteria:"), crit_tab], coefs, cov, status]

    def summary(self):
        """The fit in mmrm's layout (text; HTML in notebooks)."""
        return _summary.render_text(self._sections())

    def __repr__(self):
        return (f"<MmrmResult {self.structure} n={self.n_obs} subjects={self.n_subjects} "
                f"logLik={self.loglik:.6g} {'converged' if self.converged else 'NOT converged'}>")

    def to_dict(self) -> dict:
        """Every reported quantity as plain Python values (JSON-ready)."""
        ct = self.coef_table()

        def mat(a):
            return [[plain(v) for v in row] for row in np.asarray(a)]

        resid = self.cov_resid
        return {
            "formula": self.formula, "structure": self.structure, "reml": self.reml, "method": self.method,
            "vcov": self.vcov_method,
            "response": self.response_name, "subject": self.subject_name, "n_obs": int(self.n_obs),
            "n_subjects": int(self.n_subjects), "n_dropped": int(self.n_dropped),
            "fixed_effects": {name: {"estimate": plain(r["Estimate"]), "std_error": plain(r["Std. Error"]),
                                     "df": plain(r["df"]), "t_value": plain(r["t value"]),
                                     "p_value": plain(r["Pr(>|t|)"])} for name, r in ct.iterrows()},
            "dropped_columns": list(self.dropped_columns), "cov_beta": mat(self.cov_beta),
            "theta": [plain(v) for v in self.theta], "theta_vcov": mat(self.theta_vcov),
            "cov_resid": ({json_label(g): mat(f) for g, f in resid.items()} if isinstance(resid, dict)
                          else mat(resid)),
            "loglik": plain(self.loglik), "deviance": plain(self.deviance), "aic": plain(self.aic),
            "bic": plain(self.bic), "aicc": plain(self.aicc), "certificate": self.certificate,
        }
