"""Confidence intervals of a generalized linear mixed model: Wald intervals
of the fixed effects, likelihood-profile intervals, and bootstrap
percentile intervals.

A profile fixes one parameter at a value and minimises the deviance over
the others (L-BFGS-B on the core's deviance and its gradient, from the
previous point); the signed root zeta(v) = sign(v - v^) sqrt(D(v) - D^) is
then solved for +-z by Brent's method, as lme4's profile does. Every
parameter is profiled: the fixed effects and the first standard deviation
(coordinates of the fit's parameters) over the others by L-BFGS-B; the other
standard deviations and the correlations, nonlinear in theta, by SLSQP with
the parameter held as an equality constraint. A negative binomial's
dispersion is one of the others (its t = +-log phi, the last coordinate):
each profile point re-estimates it too.
"""

from __future__ import annotations

import math
import warnings

import numpy as np

from .._errors import ProfileWarning, require, warn_user
from ..inference.parameters import level_names, parameter_names, theta_pairs, variance_values
from ..design.reparam import lower_factor, theta_to_lambda, tril_pairs
from .._threads import one_blas_thread
from .._checks import check_interval_method, check_level
from .._dist import level_quantile

__all__ = ["confint"]


def _frame(rows, level):
    pd = require("pandas")
    return pd.DataFrame.from_dict(rows, orient="index", columns=list(level_names(level)))


def confint(result, level=0.95, method="wald", which=None, n=None, seed=None, progress=None):
    """Confidence intervals as a DataFrame, one row per parameter (rows
    named as lme4's); the bootstrap's n, seed and progress default to 1000
    replicates, seed 0 and no progress bar."""
    level = check_level(level)
    method = check_interval_method(method, {"n": n, "seed": seed, "progress": progress})
    names = parameter_names(result)
    if which is not None:
        which = [which] if isinstance(which, str) else list(which)
        unknown = [w for w in which if w not in names]
        if unknown:
            raise ValueError(f"unknown parameter{'s' if len(unknown) > 1 else ''} {', '.join(map(repr, unknown))}; "
                             f"the parameters are {', '.join(map(repr, names))}")
    wanted = names if which is None else which
    if method == "wald":
        z = level_quantile(level)
        rows = {name: [math.nan, math.nan] for name in names}
        for name, b, se in zip(result.fe_names, result.beta, result.std_errors):
            rows[name] = [b - z * se, b + z * se]
        return _frame({name: rows[name] for name in wanted}, level)
    if method == "bootstrap":
        boot = result.bootstrap(1000 if n is None else n, seed=0 if seed is None else seed,
                                progress=False if progress is None else progress)
        return boot.confint(level).loc[wanted]
    if result.nagq == 0:
        raise ValueError("profile intervals need a fit by the Laplace approximation or quadrature (nagq >= 1)")
    prof = _Profiler(result)
    z = level_quantile(level)
    rows = {}
    with one_blas_thread():
        for name in wanted:
            k = names.index(name)
            rows[name] = prof.interval(k, z)
    return _frame(rows, level)


class _Profiler:
    """The deviance minimised with one parameter held, in the user's
    parametrisation: x = (theta_user, beta_user), theta's free entries
    (those within uncorrelated blocks; the others are 0)."""

    def __init__(self, result):
        self.result = result
        self.model = result.model
        self.q, self.nt, self.p = self.model.q, self.model.n_theta, self.model.p
        self.nt_all = len(tril_pairs(self.q))
        free = self.model.theta_free
        self.free = np.arange(self.nt_all) if free is None else np.asarray(free)
        self.pairs = theta_pairs(result)
        self.x_hat = np.concatenate([np.asarray(result.theta)[self.free], result.beta])
        # A negative binomial's dispersion as a further coordinate t (see
        # dispersion.py), held within t's range.
        self.nb = result.phi is not None
        if self.nb:
            from .dispersion import T_HIGH, T_LOW, t_of

            self.t_range = (T_LOW, T_HIGH)
            self.x_hat = np.append(self.x_hat, t_of(self.model.core, result.family.phi))
        self.d_hat = result.deviance
        a_z_inv = np.linalg.inv(self.model.reparam.a_z)
        self._a_z_inv = a_z_inv
        self._a_x = self.model.reparam.a_x
        self.diag = [k for k, (a, b) in enumerate(self.pairs) if a == b]

    def _theta(self, x):
        """The user's whole theta of x."""
        full = np.zeros(self.nt_all)
        full[self.free] = x[:self.nt]
        return full

    def _core_point(self, x):
        lam = theta_to_lambda(self._theta(x), self.q)
        inner = self._a_z_inv @ lam
        theta_core = np.array(_tril(lower_factor(inner)))
        beta_core = np.linalg.solve(self._a_x, x[self.nt:self.nt + self.p])
        return theta_core, beta_core

    def _core(self, x):
        if not self.nb:
            return self.result._core
        from .dispersion import kappa_at

        return self.model.core.with_phi(kappa_at(self.model.core, float(x[-1])))

    def deviance_and_grad(self, x):
        """The deviance and its gradient in x (by the chain rule for beta;
        by central differences for theta, whose map to the core's is not
        linear)."""
        theta_core, beta_core = self._core_point(x)
        out = self._core(x).evaluate(theta_core.tolist(), beta_core.tolist(), nagq=self.result.nagq,
                                     derivatives=1)
        if not out["feasible"]:
            return math.inf, np.zeros_like(x)
        g = np.asarray(out["grad"])
        grad = np.empty_like(x)
        grad[self.nt:self.nt + self.p] = np.linalg.solve(self._a_x.T, g[self.nt_all:])
        if self.nb:
            h = 1e-4
            up, down = x.copy(), x.copy()
            up[-1] += h
            down[-1] -= h
            grad[-1] = (self._value(up) - self._value(down)) / (2 * h)
        for k in range(self.nt):
            h = 1e-6 * max(1.0, abs(x[k]))
            up, down = x.copy(), x.copy()
            up[k] += h
            down[k] -= h
            grad[k] = (self._value(up) - self._value(down)) / (2 * h)
        return float(out["deviance"]), grad

    def _value(self, x):
        theta_core, beta_core = self._core_point(x)
        return float(self._core(x).evaluate(theta_core.tolist(), beta_core.tolist(), nagq=self.result.nagq)
                     ["deviance"])

    def psi(self, x, k):
        """Parameter k at x: a fixed effect, or an sd / cor of the random effects."""
        if k >= self.nt:
            return float(x[k])
        return float(variance_values(self._theta(x), self.q, self.pairs)[k])

    def _coordinate(self, k):
        """Whether parameter k is a coordinate of x (a fixed effect; the first
        standard deviation, Lambda's first diagonal entry)."""
        return k >= self.nt or k == 0

    def profile(self, k, value, start):
        """min over the others of the deviance with parameter k = value: by
        L-BFGS-B over the other coordinates when it is a coordinate, else by
        SLSQP with the parameter as an equality constraint."""
        optimize = require("scipy.optimize", purpose="profile intervals")
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            if self._coordinate(k):
                free = [i for i in range(len(self.x_hat)) if i != k]
                bounds = [self._bounds(i) for i in free]

                def fun(v):
                    x = start.copy()
                    x[free] = v
                    x[k] = value
                    d, g = self.deviance_and_grad(x)
                    return d, g[free]

                res = optimize.minimize(fun, start[free], jac=True, method="L-BFGS-B", bounds=bounds,
                                        options={"maxiter": 500, "ftol": 1e-13, "gtol": 1e-8})
                x = start.copy()
                x[free] = res.x
                x[k] = value
                return float(res.fun), x
            bounds = [self._bounds(i) for i in range(len(self.x_hat))]
            res = optimize.minimize(self.deviance_and_grad, start, jac=True, method="SLSQP", bounds=bounds,
                                    constraints=[{"type": "eq", "fun": lambda x: self.psi(x, k) - value}],
                                    options={"maxiter": 300, "ftol": 1e-13})
            return float(res.fun), np.asarray(res.x, dtype=np.float64)

    def _bounds(self, i):
        if self.nb and i == len(self.x_hat) - 1:
            return self.t_range
        return (0.0, None) if i in self.diag else (None, None)

    def zeta(self, k, value, start):
        d, x = self.profile(k, value, start)
        diff = max(d - self.d_hat, 0.0)
        return math.copysign(math.sqrt(diff), value - self.psi(self.x_hat, k)), x

    def interval(self, k, z):
        optimize = require("scipy.optimize", purpose="profile intervals")
        names = parameter_names(self.result)
        centre = self.psi(self.x_hat, k)
        is_cor = k < self.nt and not names[k].startswith("sd(")
        low, high = (-1.0, 1.0) if is_cor else ((0.0, math.inf) if k < self.nt else (-math.inf, math.inf))
        if k >= self.nt:
            scale = float(self.result.std_errors[k - self.nt])
        elif is_cor:
            scale = 0.1
        else:
            scale = max(abs(centre) * 0.25, 0.05)
        if not math.isfinite(scale) or scale <= 0:
            scale = max(abs(centre) * 0.1, 0.1)
        ends = []
        for sign in (-1.0, 1.0):
            bound = low if sign < 0 else high
            start = self.x_hat.copy()
            step, prev_v = scale, centre
            found = None
            for _ in range(40):
                v = centre + sign * step
                if math.isfinite(bound) and sign * (v - bound) >= 0.0:
                    edge = bound if not is_cor else bound * (1.0 - 1e-8)
                    zb, _x = self.zeta(k, edge, start)
                    if abs(zb) < z:
                        warn_user(f"the profile of {names[k]} does not reach the quantile before the bound "
                                  f"{bound:g}: the interval's end is {bound:g}", ProfileWarning)
                        found = bound
                    else:
                        found = ("bracket", prev_v, edge)
                    break
                zv, start = self.zeta(k, v, start)
                if abs(zv) >= z:
                    found = ("bracket", prev_v, v)
                    break
                prev_v = v
                step *= 1.6
            if found is None:
                ends.append(math.nan)
            elif isinstance(found, tuple):
                _, a, b = found
                ends.append(optimize.brentq(lambda v: abs(self.zeta(k, v, self.x_hat)[0]) - z, a, b,
                                            xtol=1e-8 * max(1.0, abs(centre))))
            else:
                ends.append(found)
        return sorted(ends) if all(math.isfinite(e) for e in ends) else ends


def _tril(lam):
    return [lam[i, j] for i, j in tril_pairs(lam.shape[0])]

