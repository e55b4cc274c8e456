"""A fitted generalized linear mixed model: estimates on the user's scale,
z tests, the conditional modes, predictions on the link and response
scales, residuals, intervals, simulation and the parametric bootstrap.
"""

from __future__ import annotations

import math
from functools import cached_property
from typing import TYPE_CHECKING, Any

import numpy as np

from .. import _dist
from .._dist import normal_two_sided
from .._errors import SeparationWarning
from ..design.reparam import theta_to_lambda, tril_pairs
from ..results.base import MixedResult
from ..results.predict import Predictions
from ..results.predict_se import PredictionError
from ..results.summary import render_text
from ..results.tables import json_label, plain
from . import summary as _summary
from .inference import GeneralizedInference
from .separation import affected_coefficients, separated_directions

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd

__all__ = ["GlmmResult"]


def _beta_complement(sep_core):
    """An orthonormal basis (p, p - k) of the fixed effects' directions
    orthogonal to the separated ones (p, k; core coordinates)."""
    q, _ = np.linalg.qr(sep_core, mode="complete")
    return q[:, sep_core.shape[1]:]


class GlmmResult(MixedResult, GeneralizedInference):
    """A fitted generalized linear mixed model.

    Attributes
    ----------
    family
        The family and link (``str(result.family)`` as glmer prints it).
    fe_names, beta, cov_beta, std_errors, z_values, p_values
        Fixed effects, their covariance (the inverse of half the deviance's
        Hessian in (theta, beta), as lme4's default), standard errors, Wald z
        statistics and two-sided normal p values. ``params``, ``bse``,
        ``tvalues``, ``pvalues`` are aliases.
    re_names, theta, cov_re, re_variances, re_std, re_corr
        The random effects' covariance and its Cholesky factor theta (lme4's
        layout: the lower triangle column by column).
    deviance, llf, aic, bic, n_params, df_resid
        -2 log L (constants included, for every nagq), the log-likelihood,
        information criteria, parameters and n - n_params.
    saturated_llf
        The saturated model's log-likelihood (lme4's logLik for nagq > 1 is
        llf - saturated_llf).
    pearson_chi2, dispersion
        Sum of squared Pearson residuals, and its ratio to df_resid.
    group_labels, random_effects, conditional_covariances
        Conditional modes and their conditional covariances by group.
    converged, status, boundary, gradient_norm, min_hessian_eigenvalue, message, iterations, evaluations
        The fit's certificate.
    hessian_error
        The Hessian's estimated error relative to sqrt(H_ii H_jj): 0 for the
        Laplace fit (exact), from the correction's differences for nagq > 1.
    separated
        Fixed effects without a finite estimate (separation: the rows they
        alone describe all sit at a boundary of the response); their standard
        errors are inf, and the certificate is judged on the other parameters.
    nagq, n_obs, n_groups, n_dropped
    """

    def __init__(self, model, raw, nagq, core=None, dispersion=None):
        rp = model.reparam
        self._adopt_model(model)
        self.family = model.family
        self.phi = self.phi_se_log = None
        self._fit_core = core
        if dispersion is not None:
            self.family = model.family.with_phi(dispersion.kappa)
            self.phi = dispersion.phi
        self.nagq = int(nagq)
        self.reml = False
        self.method = "Laplace" if nagq == 1 else ("nAGQ = 0" if nagq == 0 else f"adaptive Gauss-Hermite ({nagq})")
        q, p, nt = model.q, model.p, model.n_theta
        if raw["status"] == "initial point infeasible" or not np.isfinite(raw["deviance"]):
            raise RuntimeError(f"the fit could not start: {raw['message']}")
        self.theta_core = np.asarray(raw["theta"], dtype=np.float64)
        self.beta_core = np.asarray(raw["beta"], dtype=np.float64)
        # The boundary's probe differentiates the Laplace deviance (the
        # criterion of nAGQ = 0 too) in theta at the fitted beta.
        core, beta, order = self._core, self.beta_core.tolist(), max(self.nagq, 1)
        held = self._adopt_certificate(
            raw, lambda theta: core.evaluate(theta.tolist(), beta, nagq=order, derivatives=1)["grad"])
        pairs = tril_pairs(q)

        self._hessian_core = np.asarray(raw["hessian"], dtype=np.float64)
        self.hessian_error = float(raw.get("hessian_error", 0.0))
        if dispersion is not None:
            self._with_dispersion(dispersion)
            if not dispersion.converged and self.converged:
                self.converged = False
                self.message = (f"phi did not converge in {dispersion.iterations} Newton steps on the profile "
                                f"deviance (theta and beta are converged at the last phi)")
        self.beta = rp.beta(self.beta_core)
        self.deviance = float(raw["deviance"])
        self.llf = -0.5 * self.deviance
        self.n_params = p + nt + (dispersion is not None)
        self.aic = self.deviance + 2.0 * self.n_params
        self.bic = self.deviance + self.n_params * math.log(model.n)
        self.df_resid = model.n - self.n_params

        self._modes = self._core.modes(self.theta_core.tolist(), self.beta_core.tolist())
        self._eta = (np.asarray(self._modes["eta"]) if model.pooling is None
                     else model.pooling.expand(self._modes["eta"]))
        # Separation: fixed effects without a finite estimate, and the
        # certificate judged on the other parameters. The rest (covariances,
        # modes on the user's scale, Pearson's statistic) is made when asked.
        directions = separated_directions(self.family, model.X, model.y, self.model.prior_weights, self._eta)
        self.separated = [self.fe_names[j] for j in affected_coefficients(directions)]
        self._sep_core = None if directions is None else np.linalg.solve(rp.a_x, directions)
        self._free = self._free_parameters(held, len(pairs))
        if self.separated and self.nagq >= 1:
            self._certify_apart(raw, self._free, self._sep_core, len(pairs))
        self._raw = raw

    @cached_property
    def theta(self):
        return self.model.reparam.theta(self.theta_core)

    @cached_property
    def cov_re(self):
        lam = theta_to_lambda(self.theta, self.model.q)
        return lam @ lam.T

    @cached_property
    def re_variances(self):
        return np.diag(self.cov_re).copy()

    @cached_property
    def re_std(self):
        return np.sqrt(self.re_variances)

    @cached_property
    def re_corr(self):
        with np.errstate(invalid="ignore", divide="ignore"):
            corr = self.cov_re / np.outer(self.re_std, self.re_std)
        np.fill_diagonal(corr, 1.0)
        return corr

    @cached_property
    def _b(self):
        return self.model.reparam.random_effects(self._modes["b"])

    @cached_property
    def _condvar(self):
        return self.model.reparam.conditional_covariances(np.asarray(self._modes["condvar"]))

    @cached_property
    def pearson_chi2(self):
        mu = self.family.mean(self._eta)
        return float(np.sum(self.family.pearson_residuals(self.model.y, mu, self.model.prior_weights) ** 2))

    @cached_property
    def dispersion(self):
        return self.pearson_chi2 / self.df_resid if self.df_resid > 0 else math.nan

    @cached_property
    def saturated_llf(self):
        return float(self._core.saturated_loglik)

    @cached_property
    def _beta_covariance(self):
        """cov(beta) and the standard errors on the user's scale: inf for a
        separated coefficient, NaN for one the curvature leaves undetermined."""
        rp, p = self.model.reparam, self.model.p
        cov_core, undetermined = self._beta_cov_core(self._raw, self._free, len(tril_pairs(self.model.q)), p,
                                                     self._sep_core)
        cov_beta, std_errors = rp.cov_beta(cov_core), rp.std_errors(cov_core)
        for j in (undetermined if not self.separated else []):
            std_errors[j] = math.nan
        for j in [self.fe_names.index(name) for name in self.separated]:
            std_errors[j] = math.inf
            cov_beta[j, :] = cov_beta[:, j] = math.nan
            cov_beta[j, j] = math.inf
        return cov_beta, std_errors

    @cached_property
    def cov_beta(self):
        return self._beta_covariance[0]

    @cached_property
    def std_errors(self):
        return self._beta_covariance[1]

    @cached_property
    def z_values(self):
        with np.errstate(divide="ignore", invalid="ignore"):
            return self.beta / self.std_errors

    @cached_property
    def p_values(self):
        return normal_two_sided(self.z_values)

    @property
    def _core(self):
        """The core of the fit: the model's, or (negative binomial) its rows
        at phi^ (made again after unpickling: cores are not pickled)."""
        core = self.__dict__.get("_fit_core")
        if core is None:
            core = self.model.core if self.phi is None else self.model.core.with_phi(self.family.phi)
            self._fit_core = core
        return core

    def __getstate__(self):
        state = dict(self.__dict__)
        state["_fit_core"] = None
        return state

    def _with_dispersion(self, dispersion):
        """The negative binomial's phi in the covariances: the Hessian in
        (theta, beta) becomes the Schur complement A - b b' / c of the whole
        Hessian in (theta, beta, log phi), whose inverse is that whole
        inverse's (theta, beta) block; log phi's standard error is
        sqrt(2 / (c - b' A^-1 b)) over the free entries."""
        h, b, c = self._hessian_core, np.asarray(dispersion.cross, dtype=np.float64), dispersion.curvature
        self.phi_at_bound = dispersion.at_bound
        if not (c > 0.0 and np.isfinite(c)):
            return
        keep = np.isfinite(h).all(axis=1) & np.isfinite(b)
        bk = np.where(keep, b, 0.0)
        self._hessian_core = np.where(np.outer(keep, keep), h - np.outer(bk, bk) / c, h)
        a = 0.5 * (h + h.T)[np.ix_(keep, keep)]
        try:
            schur = c - float(b[keep] @ np.linalg.solve(a, b[keep]))
        except np.linalg.LinAlgError:
            return
        if schur > 0.0:
            self.phi_se_log = math.sqrt(2.0 / schur)

    def phi_confint(self, level: float = 0.95, method: str = "profile"):
        """The negative binomial's phi: its profile interval (where the
        deviance minimised over (theta, beta) rises by the chi-squared(1)
        quantile; an end at phi's range is 0 or inf) or its Wald interval
        exp(log phi^ -+ z se(log phi)) (glmmTMB's). None for the other
        families."""
        if self.phi is None:
            return None
        from .._dist import normal_quantile

        if not 0.0 < level < 1.0:
            raise ValueError(f"level must lie in (0, 1), got {level!r}")
        z = normal_quantile(0.5 + level / 2.0)
        if method == "wald":  # on log phi (NB2) or log alpha = log(phi - 1) (NB1), as glmmTMB's sigma
            se = self.phi_se_log if self.phi_se_log is not None else math.nan
            kappa = self.family.phi
            return (self.family.user_phi(kappa * math.exp(-z * se)), self.family.user_phi(kappa * math.exp(z * se)))
        if method != "profile":
            raise ValueError(f'method must be "profile" or "wald", got {method!r}')
        from .dispersion import profile_interval

        return profile_interval(self, z * z)

    def _free_parameters(self, held, nt):
        """The entries of (theta, beta) the fit left free: not held at a
        bound (with their columns), nor at 0 between uncorrelated blocks."""
        tied = set()
        pairs = tril_pairs(self.model.q)
        for k in held:
            a = pairs[k][0]
            tied |= {j for j, (r, c) in enumerate(pairs) if c == a}  # the column held with its diagonal
        if self.model.theta_free is not None:
            tied |= set(range(nt)) - {int(k) for k in self.model.theta_free}
        return [i for i in range(nt + self.model.p) if i not in tied]

    @staticmethod
    def _complement(free, nt, sep_core):
        """An orthonormal basis (columns) of the free parameters' space less
        the separated directions of beta (core coordinates)."""
        k_theta = sum(1 for i in free if i < nt)
        rest = _beta_complement(sep_core)
        basis = np.zeros((len(free), k_theta + rest.shape[1]))
        basis[:k_theta, :k_theta] = np.eye(k_theta)
        basis[k_theta:, k_theta:] = rest
        return basis

    def _certify_apart(self, raw, free, sep_core, nt):
        """The certificate of a separated fit, on the parameters other than
        the separated directions (along which the criterion only flattens:
        no optimum to reach). Converged when the Hessian there is positive
        definite and the gradient below the fit's tolerance, or a Newton
        step would change the deviance by less than its rounding."""
        basis = self._complement(free, nt, sep_core)
        h = self._hessian_core[np.ix_(free, free)]
        g = np.asarray(raw["grad"], dtype=np.float64)[free]
        if not (np.isfinite(h).all() and np.isfinite(g).all()):
            return
        hr = basis.T @ (0.5 * (h + h.T)) @ basis
        gr = basis.T @ g
        values = np.linalg.eigvalsh(hr) if hr.size else np.array([1.0])
        self.gradient_norm = float(np.max(np.abs(gr))) if gr.size else 0.0
        self.min_hessian_eigenvalue = float(values[0])
        if not values[0] > 1e-10 * max(abs(values[-1]), 1e-300):
            return
        scale = max(1.0, abs(self.deviance))
        gtol = float(raw["gtol"])
        decrement = 0.5 * float(gr @ np.linalg.solve(hr, gr)) if gr.size else 0.0
        if self.gradient_norm <= gtol * scale or decrement <= max(1e-15 * scale, float(raw.get("resolution", 0.0))):
            self.converged = True
            self.status = "boundary" if self.boundary else "interior"
            self.message = ("converged except along the separated fixed effects (the criterion only flattens "
                            "there): gradient below tolerance, Hessian positive definite on the other parameters")

    def _beta_cov_core(self, raw, free, nt, p, sep_core=None):
        """cov(beta~) and the coefficients (user's indices) the criterion's
        curvature leaves undetermined. For nagq >= 1 the beta block of
        2 H^-1 over the free parameters, H the deviance's Hessian in (theta,
        beta); with separated directions, over the free parameters less
        them (what every estimable combination needs: its variance does not
        depend on how the design codes a factor); for nagq = 0 the joint
        mode's S^-1 (lme4's). Where H is not positive definite (a fit that
        did not converge) the directions of its non-positive curvature are
        left out and the coefficients they move are the undetermined ones
        (their standard errors NaN, never a silent 0)."""
        if self.nagq == 0:
            precision = np.asarray(raw["precision"], dtype=np.float64)
            if sep_core is None:
                return np.linalg.inv(precision), []
            rest = _beta_complement(sep_core)  # the precision off the separated directions
            return rest @ np.linalg.inv(rest.T @ precision @ rest) @ rest.T, []
        sub = self._hessian_core[np.ix_(free, free)]
        if not np.isfinite(sub).all():
            return np.full((p, p), np.nan), list(range(p))
        sub = 0.5 * (sub + sub.T)
        if sep_core is not None:
            basis = self._complement(free, nt, sep_core)
        else:
            basis = np.eye(len(free))
        reduced = basis.T @ sub @ basis
        d = 1.0 / np.sqrt(np.maximum(np.abs(np.diag(reduced)), 1e-300))
        values, vectors = np.linalg.eigh(reduced * np.outer(d, d))
        good = values > 1e-10 * max(abs(values[-1]), 1e-300)
        inner = (vectors[:, good] / values[good]) @ vectors[:, good].T
        cov = 2.0 * basis @ (inner * np.outer(d, d)) @ basis.T
        pos = [free.index(nt + j) for j in range(p)]
        undetermined = []
        if not good.all():
            bad = basis[pos] @ (vectors[:, ~good] * d[:, None])  # core beta's part of the bad directions
            moved = np.abs(self.model.reparam.a_x @ bad)
            undetermined = [j for j in range(p) if moved[j].max() > 1e-9 * max(moved.max(), 1e-300)]
        return cov[np.ix_(pos, pos)], undetermined

    # -- statsmodels' names -------------------------------------------------------
    @property
    def params(self):
        return self._series(self.beta, "params")

    @property
    def bse(self):
        return self._series(self.std_errors, "bse")

    @property
    def tvalues(self):
        return self._series(self.z_values, "tvalues")

    @property
    def pvalues(self):
        return self._series(self.p_values, "pvalues")

    @property
    def loglik(self):
        return self.llf

    @property
    def criterion(self):
        return self.deviance

    def _certificate_extra(self):
        return {"hessian_error": self.hessian_error, "separated": list(self.separated)}

    def _family_warnings(self):
        out = [(_summary.separation_note(self), SeparationWarning)] if self.separated else []
        if self.phi is not None and getattr(self, "phi_at_bound", False):
            out.append((_summary.phi_bound_note(self), UserWarning))
        return out

    @property
    def family_name(self):
        return f"{self.family.name} ( {self.family.link} )"

    # -- predictions and residuals ------------------------------------------------------
    def predict(self, data: Any = None, include_random: bool = True, new_groups: str = "population",
                type: str = "response", *, se: bool = False, interval: str | None = None, level: float = 0.95,
                offset: Any = None) -> Any:
        """Predictions on the response scale (``type="response"``, the mean:
        a probability or an expected count) or the link scale (``"link"``,
        the linear predictor), for the fitted rows (data None) or new data;
        ``include_random``, ``new_groups`` and ``offset`` as for the linear
        model (groups not seen in fitting get zero random effects by
        default; a model fitted with an offset given as values needs the new
        rows' ``offset=``).

        With ``se=True`` or ``interval="confidence"``, a DataFrame with
        columns fit and se (and lower, upper): the standard error of the
        linear predictor x'beta_hat (population level:
        sqrt(x' cov(beta_hat) x), as glmmTMB's ``predict(se.fit = TRUE,
        re.form = NA)``) or of x'beta_hat + z'b_hat_i for a group seen in
        fitting (the joint form of the linear model's predictions, with the
        conditional covariances of the modes and the IRLS weights at them);
        on the response scale the fit is the mean, its SE the delta
        method's (|dmu/deta| se) and the interval the link scale's ends
        back-transformed. Prediction intervals of new observations are not
        defined for these families.

        Examples
        --------
        >>> import corvane
        >>> from corvane._example import example_frame
        >>> df = example_frame()
        >>> df["slow"] = df["Reaction"] > 300
        >>> r = corvane.glmm("slow ~ Days + (1 | Subject)", df)
        >>> bool(((r.predict(df.head(3)) > 0) & (r.predict(df.head(3)) < 1)).all())
        True
        >>> r.predict(df.head(3), include_random=False, interval="confidence").columns.tolist()
        ['fit', 'se', 'lower', 'upper']
        """
        if type not in ("response", "link"):
            raise ValueError(f'type must be "response" or "link", got {type!r}')
        if interval == "prediction":
            raise ValueError("prediction intervals of new observations are not defined for a generalized model; "
                             "interval='confidence' gives the interval of the mean")
        eta = Predictions.predict(self, data, include_random, new_groups, se=se, interval=interval, level=level,
                                  offset=offset)
        if type == "link":
            return eta
        if se or interval is not None:
            out = eta.copy()
            link = eta["fit"].to_numpy()
            out["fit"] = self.family.mean(link)
            out["se"] = eta["se"].to_numpy() * np.abs(self.family.mu_eta(link))
            if interval is not None:
                out["lower"], out["upper"] = self.family.mean(eta["lower"]), self.family.mean(eta["upper"])
            return out
        values = self.family.mean(np.asarray(eta, dtype=np.float64))
        if hasattr(eta, "index"):
            return eta.__class__(values, index=eta.index, name=getattr(eta, "name", None))
        return values

    def _prediction_error(self):
        return self.cached("prediction_error", _LinkPredictionError)

    def _raw_fitted(self, include_random=True):
        if include_random:
            return self._eta
        model = self.model
        out = model.X @ self.beta
        return out if model.offset is None else out + model.offset

    @property
    def fitted_values(self):
        """Fitted means (response scale) at the conditional modes."""
        return self._on_index(self.family.mean(self._eta), self.model)

    fittedvalues = fitted_values

    @property
    def resid_response(self):
        """y - fitted mean."""
        return self._on_index(self.model.y - self.family.mean(self._eta), self.model)

    @property
    def resid_deviance(self):
        """Deviance residuals: sign(y - mu) sqrt(unit deviance x weight)."""
        mu = self.family.mean(self._eta)
        return self._on_index(self.family.deviance_residuals(self.model.y, mu, self.model.prior_weights), self.model)

    @property
    def resid_pearson(self):
        """(y - mu) sqrt(w / V(mu))."""
        mu = self.family.mean(self._eta)
        return self._on_index(self.family.pearson_residuals(self.model.y, mu, self.model.prior_weights), self.model)

    residuals = resid_deviance
    resid = resid_deviance

    def _r2_residual_variance(self):
        """The family's distribution-specific variance on the link scale (see
        corvane.inference.r2): a constant of the binomial's link; for the
        Poisson log(1 + 1/mu), mu = exp of the intercept-only model's
        intercept (refitted once, with the same random effects and nagq); for
        the negative binomial log(1 + 1/mu + 1/phi)."""
        if self.family.name == "binomial":
            return {"logit": math.pi ** 2 / 3.0, "probit": 1.0, "cloglog": math.pi ** 2 / 6.0}[self.family.link]

        def null_intercept():
            import warnings

            with warnings.catch_warnings():
                warnings.simplefilter("ignore")  # the null model's own fit state is not this fit's
                null = self.model.with_fixed(np.ones((self.model.n, 1)), ["(Intercept)"], "the null model")
                return float(null.fit(**self._refit_options()).beta[0])

        # The negative binomial adds 1 / phi (the fit's phi), as performance
        # does; NB1's variance phi mu gives log(1 + phi / mu).
        inverse_mu = math.exp(-self.cached("null_intercept", lambda _: null_intercept()))
        if self.family.name == "negative_binomial1":
            return math.log1p(self.phi * inverse_mu)
        return math.log1p(inverse_mu + (0.0 if self.phi is None else 1.0 / self.phi))

    def _test_method(self):
        from ..inference.ddf import df_method

        return df_method(self, "normal")

    def _unpooled_effects(self):
        from .unpooled import unpooled_effects

        return unpooled_effects(self), "per-group ML"

    def _refit_options(self):
        return {"nagq": self.nagq}

    def _intervals(self):
        from . import profile

        return profile

    def _bootstraps(self):
        from . import bootstrap

        return bootstrap

    # -- tables and summary ----------------------------------------------------------------
    def coef_table(self) -> "pd.DataFrame":
        pd = _dist.pandas()
        return pd.DataFrame({"Estimate": self.beta, "Std. Error": self.std_errors, "z value": self.z_values,
                             "Pr(>|z|)": self.p_values}, index=pd.Index(self.fe_names, name="term"))

    def summary(self) -> Any:
        """The summary laid out as glmer's."""
        return render_text(self._sections())

    def _sections(self):
        return _summary.sections(self)

    def __repr__(self):
        return (f"<GlmmResult {self.family} n={self.n_obs} groups={self.n_groups} llf={self.llf:.6g} "
                f"{'converged' if self.converged else 'NOT converged'}>")

    def to_dict(self) -> dict:
        """Every reported quantity as plain Python values (JSON-ready)."""
        def mat(a):
            return [[plain(v) for v in row] for row in np.asarray(a)]

        return {
            "formula": self.formula, "family": self.family.name, "link": self.family.link, "nagq": self.nagq,
            "response": self.response_name, "group": self.group_name, "n_obs": int(self.n_obs),
            "n_groups": int(self.n_groups), "n_dropped": int(self.n_dropped),
            "fixed_effects": {name: {"estimate": plain(b), "std_error": plain(se), "z_value": plain(z),
                                     "p_value": plain(pv)}
                              for name, b, se, z, pv in zip(self.fe_names, self.beta, self.std_errors,
                                                            self.z_values, self.p_values)},
            "dropped_columns": list(self.dropped_columns), "cov_beta": mat(self.cov_beta),
            "random_effect_names": list(self.re_names), "cov_re": mat(self.cov_re),
            "theta": [plain(v) for v in self.theta], "deviance": plain(self.deviance), "llf": plain(self.llf),
            "aic": plain(self.aic), "bic": plain(self.bic), "n_params": int(self.n_params),
            "pearson_chi2": plain(self.pearson_chi2), "certificate": self.certificate,
            "groups": [json_label(g) for g in self.group_labels],
            "random_effects": [[plain(v) for v in b] for b in self._b],
            "conditional_covariances": [mat(c) for c in self._condvar],
        }


class _LinkPredictionError(PredictionError):
    """The error variances of the linear predictor's estimates, by the linear
    model's joint form (see corvane.results.predict_se) on the user's
    parametrisation: cov(beta) as fitted, C_i the mode's conditional
    covariance and M_i = X_i'W Z_i C_i (W the IRLS weights w dmu/deta^2 /
    V(mu) at the modes: b_hat_i moves by -M_i' delta when beta_hat moves by
    delta)."""

    def __init__(self, result):
        model = result.model
        self.cov_beta = np.asarray(result.cov_beta, dtype=np.float64)
        self.cond = np.asarray(result._condvar, dtype=np.float64)  # (m, q, q)
        fam, eta = result.family, result._eta
        w = fam.mu_eta(eta) ** 2 / fam.variance(fam.mean(eta)) * result.model.prior_weights
        xw = np.asarray(model.X, dtype=np.float64) * w[:, None]
        xtwz = np.zeros((model.m, model.p, model.q))
        np.add.at(xtwz, model.codes, xw[:, :, None] * np.asarray(model.Z, dtype=np.float64)[:, None, :])
        self.slope = np.einsum("gpk,gkl->gpl", xtwz, self.cond)  # (m, p, q)
        self.a_x, self.a_z, self.unit = np.eye(model.p), np.eye(model.q), 1.0
