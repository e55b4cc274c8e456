"""The negative binomials' dispersion, estimated with (theta, beta).

The core's dispersion kappa is NB2's phi (variance mu + mu^2 / phi) or NB1's
alpha (variance mu (1 + alpha)). It is found on t = log kappa for NB2 and
t = -log kappa for NB1, so that in both the counts' Poisson limit lies at
large t. What follows writes phi for kappa.

The core fits (theta, beta) at a given phi with its exact derivatives (the
Laplace approximation with the observed curvature, as glmmTMB evaluates it).
phi is found on the profile D*(t) = min over (theta, beta) of the deviance at
phi = e^t: by the envelope theorem D*'(t) is the deviance's partial
derivative in t at the conditional optimum, and D*''(t) the Schur complement
c - b' A^-1 b of the deviance's Hessian in (theta, beta, t), A the core's
exact Hessian in (theta, beta), b = d grad / dt and c = d^2 D / dt^2 at fixed
(theta, beta), both by central differences in t (the deviance is smooth in t
and evaluated to its rounding). Newton steps in t, each followed by a
warm-started fit of (theta, beta), are halved while the profile rises. The
standard errors come from the whole Hessian in (theta, beta, log phi), as
glmmTMB's do.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

__all__ = ["Dispersion", "fit_dispersion", "fitter", "profile_interval"]

STEP = 1e-3                                   # the differences' step in t
T_LOW, T_HIGH = math.log(1e-6), math.log(1e8)  # t's range: beyond 1e8 (NB1: below 1e-8) the counts are Poisson
MAX_NEWTON = 60


@dataclass(frozen=True)
class Dispersion:
    """phi's estimate; the pieces of the Hessian in (theta, beta, t) that
    involve t = log phi (`cross`: d grad / dt over (theta, beta), `curvature`:
    d^2 D / dt^2); whether phi is at the upper end of its range (no
    overdispersion: the Poisson model is the limit); Newton steps taken, and
    whether they converged (the profile's slope at its rounding, or a step
    below 1e-9 in log phi)."""

    phi: float     # as reported: NB2's phi, NB1's 1 + alpha
    kappa: float   # as the core takes it: NB2's phi, NB1's alpha
    cross: np.ndarray
    curvature: float
    at_bound: bool
    iterations: int
    converged: bool


def _nb1(core):
    return core.family == "negative_binomial1"


def kappa_at(core, t):
    """The core's dispersion at t: e^t (NB2), e^-t (NB1)."""
    return math.exp(-t if _nb1(core) else t)


def t_of(core, kappa):
    return -math.log(kappa) if _nb1(core) else math.log(kappa)


def _at(core, t):
    return core.with_phi(kappa_at(core, t))


def _partials(core, t, theta, beta, nagq):
    """(dD/dt, d grad/dt, d^2 D/dt^2) at t and fixed (theta, beta)."""
    lo = _at(core, t - STEP).evaluate(theta, beta, nagq=nagq, derivatives=1)
    hi = _at(core, t + STEP).evaluate(theta, beta, nagq=nagq, derivatives=1)
    mid = _at(core, t).evaluate(theta, beta, nagq=nagq)["deviance"]
    slope = (hi["deviance"] - lo["deviance"]) / (2.0 * STEP)
    cross = (np.asarray(hi["grad"]) - np.asarray(lo["grad"])) / (2.0 * STEP)
    curvature = (hi["deviance"] - 2.0 * mid + lo["deviance"]) / STEP**2
    return slope, cross, curvature


def _profile_curvature(raw, cross, curvature):
    """c - b' A^-1 b over the entries of (theta, beta) the fit left free (its
    Hessian's finite rows), or None when that block is not positive definite."""
    h = np.asarray(raw["hessian"], dtype=np.float64)
    keep = np.isfinite(h).all(axis=1) & np.isfinite(cross)
    a, b = 0.5 * (h + h.T)[np.ix_(keep, keep)], cross[keep]
    try:
        chol = np.linalg.cholesky(a)
    except np.linalg.LinAlgError:
        return None
    v = np.linalg.solve(chol, b)
    return float(curvature - v @ v)


def _start(core, y, w, groups=None):
    """A first t from the counts' moments about their means (NB2: 1 / phi =
    sum((y - mu)^2 - mu) / sum(mu^2); NB1: alpha = sum((y - mu)^2 - mu) /
    sum(mu)). With groups = (codes, offset or None) each row's mu is its
    exposure exp(offset) times its group's rate, so that the groups' spread
    and the exposures' are not taken for overdispersion (without groups,
    one group and no offset: the overall mean). What the covariates explain
    still counts as overdispersion: Newton steps take phi from there
    towards the Poisson limit."""
    y = np.asarray(y, dtype=np.float64)
    w = np.ones_like(y) if w is None else np.asarray(w, dtype=np.float64)
    codes, offset = groups if groups is not None else (np.zeros(len(y), dtype=np.int64), None)
    exposure = np.ones_like(y) if offset is None else np.exp(np.asarray(offset, dtype=np.float64))
    counts = np.bincount(codes, weights=w * y)
    exposed = np.bincount(codes, weights=w * exposure)
    with np.errstate(divide="ignore", invalid="ignore"):
        rate = np.where(exposed > 0, counts / exposed, 0.0)
    mu = exposure * rate[codes]
    excess = float(np.sum(w * ((y - mu) ** 2 - mu)))
    if _nb1(core):
        total = float(np.sum(w * mu))
        alpha = excess / total if excess > 0 and total > 0 else 1e-2
        return t_of(core, min(max(alpha, 1e-2), 1e2))
    square = float(np.sum(w * mu * mu))
    phi = square / excess if excess > 0 and square > 0 else 1e3
    return t_of(core, min(max(phi, 1e-2), 1e4))


def fit_dispersion(core, fit_at, y, w, nagq, phi0=None, groups=None):
    """(core at phi^, raw fit of (theta, beta) there, Dispersion).
    `fit_at(core, raw_or_None)` fits (theta, beta) on a core, warm-started
    from a previous raw fit when given; phi starts at phi0, or from the
    moments (groups: the rows' group codes and offset, see _start)."""
    t = t_of(core, phi0) if phi0 else _start(core, y, w, groups)
    t = min(max(t, T_LOW), T_HIGH)
    current = _at(core, t)
    raw = fit_at(current, None)
    iterations, converged = 0, False
    partials = None
    for iterations in range(1, MAX_NEWTON + 1):
        partials = slope, cross, curvature = _partials(core, t, raw["theta"], raw["beta"], nagq)
        profile = _profile_curvature(raw, cross, curvature)
        step = -slope / profile if profile is not None and profile > 0 else -math.copysign(1.0, slope)
        step = max(-2.0, min(2.0, step))
        if (t >= T_HIGH and step > 0) or (t <= T_LOW and step < 0):
            converged = True  # at the end of the range, the profile still falling towards it
            break
        # Converged when the Newton step is below 1e-8 in log phi, or would
        # lower the profile by less than a hundredth of its rounding (a few
        # units of the deviance's last place, or the core's estimate of it):
        # phi then sits within ~1e-7 of its optimum, and the estimates that
        # depend on it well inside their own tolerance.
        scale = max(1.0, abs(raw["deviance"]))
        floor = max(1e-12 * scale, 10.0 * float(raw.get("resolution", 0.0)))
        if abs(step) < 1e-8 or (profile is not None and profile > 0 and -0.5 * slope * step < 0.01 * floor):
            converged = True
            break
        while True:
            t_new = min(max(t + step, T_LOW), T_HIGH)
            trial_core = _at(core, t_new)
            trial = fit_at(trial_core, raw)
            if np.isfinite(trial["deviance"]) and trial["deviance"] <= raw["deviance"] + 1e-12 * scale:
                break
            step *= 0.5
            if abs(step) < 1e-12:
                trial = None
                break
        if trial is None:  # no step lowers the profile: at its minimum to rounding
            converged = abs(slope) < 1e-6 * scale
            break
        t, current, raw = t_new, trial_core, trial
        partials = None
    if partials is None:
        partials = _partials(core, t, raw["theta"], raw["beta"], nagq)
    slope, cross, curvature = partials
    # In the tail towards the Poisson limit the profile falls like e^-t, its
    # slope and curvature alike in size, so slowly that Newton steps stop
    # short of phi's end: there the end itself is tried, and kept when its
    # profile is as low.
    profile = _profile_curvature(raw, cross, curvature)
    if t < T_HIGH and slope < 0 and (profile is None or profile < 10.0 * abs(slope)):
        end_core = _at(core, T_HIGH)
        end = fit_at(end_core, raw)
        floor = max(1e-12 * max(1.0, abs(raw["deviance"])), 10.0 * float(raw.get("resolution", 0.0)))
        if np.isfinite(end["deviance"]) and end["deviance"] <= raw["deviance"] + floor:
            t, current, raw = T_HIGH, end_core, end
            slope, cross, curvature = _partials(core, t, raw["theta"], raw["beta"], nagq)
            converged = True
    at_bound = t >= T_HIGH - 1e-9
    kappa = kappa_at(core, t)
    phi = 1.0 + kappa if _nb1(core) else kappa
    return current, raw, Dispersion(phi=phi, kappa=kappa, cross=cross, curvature=float(curvature), at_bound=at_bound,
                                    iterations=iterations, converged=converged)


def fitter(model, nagq, max_iter, theta0=None, beta0=None):
    """fit_at(core, previous raw or None) for `model`: (theta, beta) fitted on
    the core, from the previous fit's estimates (or the caller's starts)."""
    free = model._fit_free()

    def listed(v):
        return None if v is None else [float(x) for x in np.ravel(v)]

    def fit_at(core, previous):
        t0 = theta0 if previous is None else previous["theta"]
        b0 = beta0 if previous is None else previous["beta"]
        return core.fit(listed(t0), listed(b0), nagq=nagq, max_iter=int(max_iter), free=free)

    return fit_at


def profile_interval(result, rise):
    """(lower, upper) of the reported phi where the profile deviance is
    `rise` above its minimum; an end beyond the range is phi's limit there
    (NB2: 0 or inf; NB1: 1 or inf)."""
    from .._errors import require

    brentq = require("scipy.optimize", purpose="the profile interval of phi").brentq
    fit_at = fitter(result.model, result.nagq, 200)
    start = {"theta": result.theta_core, "beta": result.beta_core}
    core = result._core
    t_hat, target = t_of(core, result.family.phi), result.deviance + rise

    def excess(t):
        raw = fit_at(_at(core, t), start)
        return float(raw["deviance"]) - target

    width = 2.0 * (result.phi_se_log or 0.5)
    ends = []
    for sign, bound in ((-1.0, T_LOW), (1.0, T_HIGH)):
        inner, outer = t_hat, t_hat + sign * width
        while True:
            outer = max(min(outer, T_HIGH), T_LOW)
            if excess(outer) > 0.0:
                ends.append(brentq(excess, min(inner, outer), max(inner, outer), xtol=1e-8))
                break
            if outer == bound:
                ends.append(-math.inf if sign < 0 else math.inf)
                break
            inner, outer = outer, outer + sign * width
            width *= 2.0

    def reported(t):
        if _nb1(core):  # alpha = e^-t: t -> inf is alpha -> 0
            return 1.0 + (0.0 if t == math.inf else math.inf if t == -math.inf else math.exp(-t))
        return 0.0 if t == -math.inf else math.inf if t == math.inf else math.exp(t)

    return tuple(sorted(reported(t) for t in ends))
