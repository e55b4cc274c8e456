"""What every fitted model is, whatever its family, in two layers.

:class:`ModelResult`: the fit's certificate and warnings, one cache for
what is costly to make and fixed by the fit, the summary's rendering, and
the fixed effects' t and Wald tests by the family's df method. The base of
:class:`MixedResult` and of the repeated-measures result, which has no
random effects.

:class:`MixedResult`: the model's names and rows, the certificate's
boundary rule, the conditional modes by group, the plots, intervals,
bootstrap and simulation as methods; the base of :class:`corvane.LmmResult`
and :class:`corvane.GlmmResult`. A family sets its estimates,
``theta_core`` (the core's theta) and ``_b`` (the conditional modes, one
row per group), calls :meth:`_adopt_model` and :meth:`_adopt_certificate`,
and gives its summary's sections, the conditional covariances and the
modules of its intervals and bootstrap.
"""

from __future__ import annotations

import math
from functools import cached_property
from typing import TYPE_CHECKING, Any

import numpy as np

from .. import _dist
from .._errors import ConvergenceWarning, SingularFitWarning, warn_user
from ..design.reparam import tril_pairs
from ..model.boundary import rising_from_bound
from . import summary as _summary
from .predict import Predictions
from .tables import ResultTables

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd

__all__ = ["ModelResult", "MixedResult", "PredictionResults"]


class ModelResult:
    """What every fitted model is, with or without random effects: its
    certificate and warnings, one cache, the summary's rendering and the
    tests of the fixed effects by the family's df method (see the module's
    text)."""

    @property
    def certificate(self):
        """The fit's certificate as a dict."""
        return {"converged": self.converged, "status": self.status, "boundary": list(self.boundary),
                "gradient_norm": self.gradient_norm, "min_hessian_eigenvalue": self.min_hessian_eigenvalue,
                "iterations": self.iterations, "evaluations": self.evaluations, "message": self.message,
                **self._certificate_extra()}

    def _certificate_extra(self):
        """A family's own entries of the certificate."""
        return {}

    @property
    def singular(self):
        """Whether the fit is on the boundary (a singular random-effects covariance)."""
        return bool(self.boundary)

    def _warn(self):
        """The fit's warnings, with the summaries' texts, attributed to the
        user's line: not converged, on the boundary, and the family's own."""
        if self.converged is False:
            warn_user(_summary.convergence_note(self), ConvergenceWarning)
        if self.boundary:
            warn_user(self._boundary_note(), SingularFitWarning)
        for text, category in self._family_warnings():
            warn_user(text, category)

    def _family_warnings(self):
        """(text, warning class) of a family's own warnings."""
        return ()

    def _boundary_note(self):
        """The singular-fit note (the SingularFitWarning's and the summary's text)."""
        return _summary.boundary_note(self)

    def cached(self, key, make):
        """make(self), made once per result under key: what is costly and
        fixed by the fit (the df methods' derivatives, the prediction
        errors' factors)."""
        store = self.__dict__.setdefault("_cache", {})
        if key not in store:
            store[key] = make(self)
        return store[key]

    def _sections(self, **options):
        """The summary's sections (see corvane.results.summary)."""
        raise NotImplementedError

    def _repr_html_(self):
        """The summary as HTML (notebooks): the text summary's sections, its
        optimizer status and notes included."""
        return _summary.render_html(self._sections())

    def __str__(self):
        return str(self.summary())

    @property
    def scale(self):
        """The response's scale parameter, as statsmodels' ``scale``: the
        residual variance sigma^2 of a linear fit, 1 for the binomial and
        Poisson families."""
        return float(getattr(self, "sigma2", 1.0))

    def _test_method(self):
        """The df method of this family's t (or z) tests."""
        raise NotImplementedError

    def t_test(self, L: Any, rhs: Any = None, level: float = 0.95) -> "pd.DataFrame":
        """Tests of each row of L beta = rhs, as statsmodels' ``t_test(...).summary_frame()``.

        A linear fit's rows are t tests with Satterthwaite's df (those of
        the summary); a generalized fit's are Wald z tests.

        Parameters
        ----------
        L : array_like or pandas DataFrame / Series
            A contrast vector or a k x p matrix; a DataFrame or Series may name
            its columns by fixed effect (others are 0).
        rhs : array_like, optional
            The hypothesised values (default 0).
        level : float
            The intervals' confidence level.

        Returns
        -------
        pandas.DataFrame
            One row per row of L ("c0", "c1", ...): coef (L beta), std err,
            t and P>|t| with a df column (or z and P>|z|), Conf. Int. Low,
            Conf. Int. Upp. (of L beta).

        Examples
        --------
        >>> import corvane
        >>> from corvane._example import example_frame
        >>> r = corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame())
        >>> r.t_test([0, 1]).round(2).values.tolist()
        [[11.63, 1.5, 7.78, 0.0, 17.0, 8.47, 14.78]]
        """
        from .._checks import check_level
        from ..inference import ddf

        level = check_level(level)
        L, rhs = ddf.contrast_arguments(self, L, rhs)
        method = self._test_method()
        est, se, df = (np.array(v, dtype=np.float64) for v in zip(*[method.t_test(row) for row in L]))
        stat = (est - (0.0 if rhs is None else rhs)) / se
        pd, stats = _dist.pandas(), _dist.stats()
        if np.all(np.isinf(df)):
            p, half = _dist.normal_two_sided(stat), _dist.level_quantile(level) * se
            cols = {"coef": est, "std err": se, "z": stat, "P>|z|": p}
        else:
            p, half = _dist.t_two_sided(stat, df), stats.t.ppf(0.5 + level / 2.0, df) * se
            cols = {"coef": est, "std err": se, "t": stat, "P>|t|": p, "df": df}
        cols["Conf. Int. Low"], cols["Conf. Int. Upp."] = est - half, est + half
        return pd.DataFrame(cols, index=[f"c{k}" for k in range(len(est))])

    def wald_test(self, L: Any, rhs: Any = None) -> "pd.DataFrame":
        """The joint test of L beta = rhs, as statsmodels' ``wald_test``:
        :meth:`contrast_test` (a linear fit's F test with Satterthwaite's
        denominator df, a generalized fit's Wald chi-squared test)."""
        return self.contrast_test(L, rhs)


class MixedResult(Predictions, ResultTables, ModelResult):
    """The parts every mixed model's result shares beyond ModelResult's: the
    model's names, the certificate's boundary rule, the conditional modes by
    group, plots, predictions, intervals, the bootstrap and simulation."""

    def _adopt_model(self, model):
        """The names and counts the outputs take from the model."""
        self.model = model
        self.formula = model.formula
        self.fe_names = list(model.fe_names)
        self.re_names = list(model.re_names)
        self.dropped_columns = list(model.dropped)
        self.group_name, self.response_name = model.group_name, model.response_name
        self.n_obs, self.n_groups, self.n_dropped = model.n, model.m, model.n_dropped
        self.n_read = model.n_read or model.n + model.n_dropped

    def _adopt_certificate(self, raw, theta_gradient):
        """The optimizer's certificate from the core's dict, and the boundary:
        the entries the fit held on their bounds, and for a converged fit
        those negligibly above 0 along which the criterion rises from the
        bound (theta_gradient(theta) gives the criterion's gradient in the
        core's theta; see rising_from_bound). Returns the held entries.
        A dict without "converged" is an evaluation at a given theta."""
        fitted = "converged" in raw
        self.converged = bool(raw["converged"]) if fitted else None
        self.status = str(raw.get("status", "evaluated"))
        self.message = str(raw.get("message", "evaluated at a given theta"))
        self.iterations = int(raw.get("iterations", 0))
        self.evaluations = int(raw.get("evaluations", raw.get("fev", 0)))
        self.gradient_norm = float(raw.get("grad_inf_norm", math.nan))
        self.min_hessian_eigenvalue = float(raw.get("min_free_eigenvalue", math.nan))
        held = sorted(int(k) for k in raw.get("boundary", []))
        on_bound = set(held)
        if self.converged:
            on_bound |= rising_from_bound(theta_gradient, self.theta_core, self.model.q)
        pairs = tril_pairs(self.model.q) if on_bound else ()
        self.boundary = [self.re_names[pairs[k][0]] for k in sorted(on_bound) if pairs[k][0] == pairs[k][1]]
        if self.boundary and self.status == "interior":
            self.status = "boundary"
        return held

    @cached_property
    def group_labels(self):
        return list(self.model.group_labels)

    @property
    def random_effects(self):
        """Conditional modes b_i by group label."""
        return dict(zip(self.group_labels, self._b))

    @property
    def conditional_covariances(self):
        """Var(b_i | y) by group label (for a generalized model lme4's condVar:
        Lambda H^-1 Lambda' at the modes)."""
        return dict(zip(self.group_labels, self._condvar))

    def _residual_rows(self):
        """(label, variance, sd) of the residual's rows in the random
        effects' tables: none for a family without a residual variance."""
        return []

    @property
    def family_name(self):
        """The response's distribution, as the likelihood-ratio tests compare
        families ("gaussian" for a linear model)."""
        return "gaussian"

    def plot_ranef(self, level: float = 0.95, axes: Any = None, max_labels: int = 100) -> Any:
        """Caterpillar plot of the conditional modes with intervals of coverage
        ``level`` from their conditional variances; ``axes`` one per random
        effect; groups labelled up to ``max_labels`` of them. Returns the
        Figure; needs ``corvane[plot]``. See
        :func:`corvane.results.plots.plot_ranef`."""
        from . import plots

        return plots.plot_ranef(self, level=level, axes=axes, max_labels=max_labels)

    def plot_qq(self, axes: Any = None) -> Any:
        """Normal QQ plots of the conditional modes, ``axes`` one per random
        effect. Returns the Figure; needs ``corvane[plot]``. See
        :func:`corvane.results.plots.plot_qq`."""
        from . import plots

        return plots.plot_qq(self, axes=axes)

    def plot_residuals(self, ax: Any = None) -> Any:
        """Residuals against fitted values (a generalized model's deviance
        residuals against fitted means), on ``ax`` or a new figure. Returns
        the Figure; needs ``corvane[plot]``. See
        :func:`corvane.results.plots.plot_residuals`."""
        from . import plots

        return plots.plot_residuals(self, ax=ax)

    def plot_shrinkage(self, ax: Any = None) -> Any:
        """Per-group estimates without the prior against the conditional
        modes, on ``ax`` or a new figure. Returns the Figure; needs
        ``corvane[plot]``. See :func:`corvane.results.plots.plot_shrinkage`."""
        from . import plots

        return plots.plot_shrinkage(self, ax=ax)

    def _unpooled_effects(self):
        """(m x q estimates of each group's random effects from its rows
        alone, NaN where there is none; what they are, for the plot)."""
        raise NotImplementedError

    def get_prediction(self, data: Any = None, **options: Any) -> "PredictionResults":
        """Predictions with their standard errors and intervals, as
        statsmodels' ``get_prediction(...)``: the object's
        ``summary_frame(alpha=0.05)`` has mean, mean_se, mean_ci_lower,
        mean_ci_upper (and, for a linear fit, obs_ci_lower and obs_ci_upper:
        the prediction interval of a new observation). ``options`` are
        :meth:`predict`'s (include_random, new_groups, offset, ...)."""
        return PredictionResults(self, data, options)

    def _refit_options(self):
        """The fit's options a refit of another model takes (keywords of its fit)."""
        return {}

    def _intervals(self):
        """The module whose confint(result, level, method, which, n=, seed=,
        progress=) gives this family's intervals."""
        raise NotImplementedError

    def _bootstraps(self):
        """The module whose bootstrap(result, n, seed, progress) and
        simulate(result, n, seed) serve this family."""
        raise NotImplementedError

    def confint(self, level: float = 0.95, method: str = "wald", which: Any = None, *, n: int | None = None,
                seed: Any = None, progress: bool | None = None, criterion: str | None = None) -> "pd.DataFrame":
        """Confidence intervals of every parameter.

        Parameters
        ----------
        level : float
            Coverage.
        method : {"wald", "profile", "bootstrap", "boot"}
            "wald": the fixed effects only (variance parameters NaN, as lme4).
            "profile": where the signed square root of the criterion's rise
            crosses the normal quantiles, every other parameter re-optimised at
            each point; a linear model's variance parameters on the criterion
            of the fit (REML for a REML fit), its fixed effects on the ML
            criterion (REML has no profile in beta); a generalized model's on
            its deviance. "bootstrap" (or lme4's "boot"): percentile intervals
            of :meth:`bootstrap`.
        which : str or sequence of str, optional
            Only these rows.
        n, seed, progress : optional
            For "bootstrap" only: the replicates (1000), the seed (0) and the
            progress bar (True for a linear model, False for a generalized
            one), as for :meth:`bootstrap`.
        criterion : {None, "ml"}
            For "profile" only: None profiles the fit's own criterion (a REML
            fit's variance parameters on REML); "ml" refits by maximum
            likelihood and profiles every parameter there, as lme4's
            ``confint(fit, method = "profile")`` does (for cross-checking
            with lme4; a generalized fit is ML already).

        Returns
        -------
        pandas.DataFrame
            Rows "sd(NAME | GROUP)", "cor(NAME1, NAME2 | GROUP)" (theta's order),
            "sigma" (linear models) and the fixed effects; columns like "2.5 %"
            and "97.5 %".

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
        target = self
        if criterion is not None:
            if criterion != "ml":
                raise ValueError(f"criterion must be None (the fit's own) or 'ml', got {criterion!r}")
            if method != "profile":
                raise ValueError(f"criterion= chooses what method='profile' profiles, got method={method!r}")
            from ..inference.lrt import ml_refit

            target = ml_refit(self, "the model")
        return self._intervals().confint(target, level, method, which, n=n, seed=seed, progress=progress)

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
        corvane.inference.bootstrap.BootstrapResult or corvane.generalized.bootstrap.GlmmBootstrap
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
        return self._bootstraps().bootstrap(self, n=n, seed=seed, progress=progress)

    def simulate(self, n: int = 1, seed: Any = None) -> np.ndarray:
        """Responses simulated from the fitted model (new random effects for
        every group).

        Parameters
        ----------
        n : int
            How many.
        seed : optional
            For ``numpy.random.default_rng``.

        Returns
        -------
        numpy.ndarray
            n x n_obs, the offset included (a binomial model's proportions).

        Examples
        --------
        >>> import corvane
        >>> from corvane._example import example_frame
        >>> r = corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame())
        >>> r.simulate(n=3, seed=0).shape
        (3, 180)
        """
        return self._bootstraps().simulate(self, n=n, seed=seed)


class PredictionResults:
    """Predictions of a fit for some rows, as statsmodels' prediction results:
    ``predicted_mean`` and ``se_mean`` (Series or arrays as predict gives
    them) and ``summary_frame(alpha)``."""

    def __init__(self, result, data, options):
        self._result, self._data, self._options = result, data, dict(options)
        frame = result.predict(data, se=True, **self._options)
        self.predicted_mean, self.se_mean = frame["fit"], frame["se"]

    def summary_frame(self, alpha: float = 0.05) -> "pd.DataFrame":
        """mean, mean_se, mean_ci_lower, mean_ci_upper at level 1 - alpha, and
        obs_ci_lower, obs_ci_upper for a family with prediction intervals."""
        r, level = self._result, 1.0 - alpha
        conf = r.predict(self._data, interval="confidence", level=level, **self._options)
        out = conf.rename(columns={"fit": "mean", "se": "mean_se", "lower": "mean_ci_lower",
                                   "upper": "mean_ci_upper"})
        if getattr(r, "sigma2", None) is not None:
            obs = r.predict(self._data, interval="prediction", level=level, **self._options)
            out["obs_ci_lower"], out["obs_ci_upper"] = obs["lower"], obs["upper"]
        return out
