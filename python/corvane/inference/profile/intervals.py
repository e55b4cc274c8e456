"""Confidence intervals: profile intervals searched along the criterion's
profiles (:mod:`corvane.inference.profile.profiler`), and confint's dispatch between the Wald
approximation, the profile and the parametric bootstrap (the parameters'
names and their values on the sd/cor scale are corvane.inference.parameters').

Every user parameter is a smooth function of the core's theta and sigma
through :class:`corvane.design.reparam.Reparam` (the relative covariance
Sigma_u = A_z Lambda Lambda' A_z', sigma = s / y_scale, beta = T beta~ + o),
so the variance parameters are carried through the map exactly.
"""

from __future__ import annotations

import math

import numpy as np

from .ends import newton_cor_end, newton_end, wald_starts
from .profiler import Profiler
from ..lrt import ml_refit
from ..parameters import level_names, parameter_names, variance_parameters
from ..satterthwaite import satterthwaite_of
from ..._threads import one_blas_thread
from ..._checks import check_interval_method, check_level
from ... import _dist
from ..._dist import level_quantile

__all__ = ["confint", "profile_intervals"]

# ---- profile intervals -------------------------------------------------------------------

def crossing(zeta, est, target, points, at_est=0.0):
    """The parameter value where zeta (at_est at est) crosses target, going
    out from est through points (increasing distance); None when the last
    point is passed without a crossing, or the profile fails (zeta not
    finite) before one. Never raises: a bracket whose root search fails is
    bisected on the profile's own values."""
    from scipy.optimize import brentq

    prev_x, prev_f = est, at_est - target
    for x in points:
        fx = zeta(x) - target
        if not math.isfinite(fx):
            return None
        if prev_f * fx <= 0.0:
            if fx == 0.0:
                return x
            ends = {prev_x: prev_f, x: fx}

            def g(t):
                return ends[t] if t in ends else zeta(t) - target

            lo, hi = (prev_x, x) if prev_x < x else (x, prev_x)
            xtol = 1e-10 * max(1.0, abs(est))
            try:
                return brentq(g, lo, hi, xtol=xtol, rtol=1e-9, maxiter=100)
            except (ValueError, RuntimeError):
                return _bisect(g, lo, ends[lo], hi, ends[hi], xtol)
        prev_x, prev_f = x, fx
    return None


def _bisect(g, lo, g_lo, hi, g_hi, xtol):
    """Bisection of a bracket [lo, hi] with g(lo) g(hi) <= 0; None when g is
    not finite inside (the profile failed there)."""
    for _ in range(200):
        if hi - lo <= xtol:
            break
        mid = 0.5 * (lo + hi)
        g_mid = g(mid)
        if not math.isfinite(g_mid):
            return None
        if g_mid == 0.0:
            return mid
        if (g_mid < 0.0) == (g_lo < 0.0):
            lo, g_lo = mid, g_mid
        else:
            hi = mid
    return 0.5 * (lo + hi)


def _wald_variance_se(result, prof):
    """Approximate standard errors of the variance parameters (sd, cor in
    theta's order, then sigma) by the delta method from the asymptotic
    covariance of (theta, sigma): starting steps for the profiles (NaN where
    the fit gives none, e.g. an sd at 0)."""
    k = prof.k
    try:
        satt = satterthwaite_of(result)
        v = satt.vcov_varpar
    except (ValueError, np.linalg.LinAlgError):
        return [math.nan] * (k + 1)
    theta = np.array(result.theta_core)
    su, dsu = prof.sigma_u(theta)
    dsu = dsu[prof.free]  # derivatives in the free entries, as satt.vcov_varpar
    rp = prof.rp
    s = rp.sigma_to_core(result.sigma)
    grads = []
    for a, b in prof.pairs:
        g = np.full(k + 1, math.nan)
        if a == b:
            u = su[a, a]
            if u > 0:
                g[:k] = rp.sigma(s) * dsu[:, a, a] / (2.0 * math.sqrt(u))
                g[k] = rp.sigma(math.sqrt(u))
        else:
            saa, sbb, sab = su[a, a], su[b, b], su[a, b]
            if saa > 0 and sbb > 0:
                den = math.sqrt(saa * sbb)
                g[:k] = dsu[:, a, b] / den - 0.5 * sab / den * (dsu[:, a, a] / saa + dsu[:, b, b] / sbb)
                g[k] = 0.0
        grads.append(g)
    g = np.zeros(k + 1)
    g[k] = rp.sigma(1.0)
    grads.append(g)
    return [math.sqrt(max(float(g @ v @ g), 0.0)) if np.all(np.isfinite(g)) else math.nan for g in grads]


def _check_which(result, which):
    """which as a list of parameter names (None: every parameter); a single
    name may be given as a string."""
    if which is None:
        return None
    wanted = [which] if isinstance(which, str) else list(which)
    names = parameter_names(result)
    unknown = [w for w in wanted if w not in names]
    if unknown:
        raise ValueError(f"which: unknown parameters {unknown}; the parameters are {names}")
    return wanted


# An sd at or below this fraction of sigma is profiled as an sd at 0 (a fit
# on the boundary whose theta stops a rounding error away from 0).
_SD_ZERO = 1e-8


def profile_intervals(result, level=0.95, which=None):
    """Profile intervals {name: (lower, upper)} for every parameter (or those
    named in which): variance parameters on the criterion the model was
    fitted with, fixed effects on the ML criterion (REML has no profile in
    beta).

    An end is where the signed root of the criterion's rise crosses the
    normal quantile. Where the profile does not cross it before the
    parameter's limit (0 for a standard deviation or sigma, +-1 for a
    correlation, +-inf for a fixed effect), the end is that limit, and one
    ProfileWarning names every such end.

    Each end is first sought directly by Newton's method on the profile's
    level (corvane.inference.profile.ends.newton_end, newton_cor_end: a few evaluations
    of the criterion); an end that does not settle there is searched along
    the profile, at points outwards from the Wald guess with Brent's method
    between the two that bracket it."""
    from ..._errors import ProfileWarning, warn_user


    level = check_level(level)
    z = level_quantile(level)
    names = parameter_names(result)
    wanted = _check_which(result, which)
    wanted = names if wanted is None else wanted
    prof = Profiler(result, result.reml)
    theta_hat = np.array(result.theta_core)
    fmin = prof.pieces(theta_hat)["deviance"]
    est_var = variance_parameters(result)
    sigma_hat = float(result.sigma)
    out = {}
    at_limit = []  # (name, "lower" or "upper", the limit reported)

    def close(name, lo, hi, lo_limit, hi_limit):
        if lo is None:
            at_limit.append((name, "lower", lo_limit))
        if hi is None:
            at_limit.append((name, "upper", hi_limit))
        out[name] = (lo_limit if lo is None else lo, hi_limit if hi is None else hi)

    def side(est, fmin_, profile_at, theta0, sign, restart=False, start=None):
        """zeta on one side of est, warm-starting each inner fit at the last;
        with restart, also from theta0, keeping the lower (with several
        random effects the profile can have more than one valley, as a
        correlation near +1 and one near -1, and the warm start can follow
        the wrong one). The first inner fit starts at start (default theta0)."""
        state = {"theta": theta0 if start is None else start}
        memo = {}

        def zeta(v):
            if v not in memo:
                f, th = profile_at(v, state["theta"])
                if restart and not np.array_equal(state["theta"], theta0):
                    f2, th2 = profile_at(v, theta0)
                    if not f2 >= f:
                        f, th = f2, th2
                if math.isfinite(f):
                    state["theta"] = th
                memo[v] = math.copysign(math.sqrt(max(f - fmin_, 0.0)), sign) if math.isfinite(f) else math.nan
            return memo[v]
        zeta.state = state
        return zeta

    ses = _wald_variance_se(result, prof)
    multi = prof.k > 1  # restart each inner fit of a variance parameter from the fit too

    def outward(est, step, sign, count=30):
        """Points from the Wald guess outwards: est + sign * z * step * 1.5^i."""
        return [est + sign * z * step * 1.5 ** i for i in range(count)]

    def positive(est, profile_at, se=None, at_zero=None, state=None):
        """Bounds of a positive parameter (None for an end not reached).
        Below a hundredth of the estimate the profile is taken by at_zero (if
        given), which also gives its value at 0: when that does not reach -z,
        the lower end is the limit 0. An estimate at 0 (at or below _SD_ZERO
        sigma) has the lower end 0 and the upper searched from a thousandth of
        sigma. With state (a maker of the profile for the direct search, on
        log v; a new one for each end, whose second derivatives follow that
        end's search), each end is first sought directly from the quadratic
        approximation's; the points are searched only for an end that does
        not settle there above the floor."""
        if est <= _SD_ZERO * sigma_hat:
            pts = [sigma_hat * 1e-3 * 2.0 ** i for i in range(60)]
            return None, crossing(side(0.0, fmin, profile_at, theta_hat, 1.0, multi), 0.0, z, pts)
        h = 0.25 if not (se and math.isfinite(se) and se > 0) else min(z * se / est, 2.0)
        floor = 1e-2 * est if at_zero is not None else 1e-6 * est
        lo = hi = None
        first = None if state is None else state()
        starts = None if first is None else wald_starts(first, prof.x_hat, math.log(est), z)
        if starts is not None:
            t_hat, t_floor = math.log(est), math.log(floor)
            lo = direct(state(), starts[-1], -1, lambda t: t_floor < t < t_hat)
            hi = direct(state(), starts[1], 1, lambda t: t_hat < t < t_hat + 700.0)
        if lo is None:
            lo_pts = [est * math.exp(-h * 1.5 ** i) for i in range(40)]
            lo_pts = [x for x in lo_pts if x > floor] + [floor]
            lower_side = side(est, fmin, profile_at, theta_hat, -1.0, multi)
            lo = crossing(lower_side, est, -z, lo_pts)
            if lo is None and at_zero is not None and math.isfinite(lower_side(floor)):
                small = side(est, fmin, at_zero, theta_hat, -1.0, multi, start=lower_side.state["theta"])
                if small(0.0) <= -z:  # a crossing below the hundredth
                    lo = crossing(small, floor, -z, [floor * 0.5 ** i for i in range(1, 30)] + [0.0],
                                   at_est=lower_side(floor))
        if hi is None:
            hi_pts = [est * math.exp(min(h * 1.5 ** i, 700.0)) for i in range(20)]
            hi = crossing(side(est, fmin, profile_at, theta_hat, 1.0, multi), est, z, hi_pts)
        return lo, hi

    def direct(state, start, sign, t_ok):
        """An end by the direct search on log v from start (x0, t0), or None."""
        found = newton_end(state, start[0], start[1], sign, fmin, z, t_ok, 1.0)
        return None if found is None else math.exp(found[0])

    def correlation(est, profile_at, se, cap, state=None):
        """Bounds of a correlation (None for an end not reached): points on
        atanh's scale from the estimate, then the limit +-1 itself. An
        estimate at +-1 has that end at the limit and the other searched from
        it; an undefined one (an sd at 0) has both ends at the limits, since
        the criterion does not depend on it there. For the same reason the
        profile never exceeds cap() (called only when needed), the criterion
        with either sd at 0: when that stays within z^2 of the minimum, both
        ends are the limits. With state, an estimate inside (-1, 1) has its
        ends first sought directly (newton_cor_end); two ends found there
        rise z^2 above the minimum, so cap cannot be below that."""
        if not math.isfinite(est):
            return None, None
        found = {}
        if state is not None and abs(est) < 1.0 - 1e-10:
            for sgn in (-1.0, 1.0):
                end = newton_cor_end(state, prof.x_hat, est, fmin, z, sgn)
                if end is not None:
                    found[sgn] = end
            if len(found) == 2:
                return found[-1.0], found[1.0]
        if cap() - fmin < z * z:
            return None, None
        if abs(est) >= 1.0 - 1e-10:
            s = math.copysign(1.0, est)
            pts = [s * (1.0 - 1e-4 * 2.0 ** i) for i in range(15)] + [-s]
            far = crossing(side(s, fmin, profile_at, theta_hat, -s, True), s, -s * z, pts)
            return (far, None) if s > 0 else (None, far)
        t_hat = math.atanh(est)
        h = z * se / (1.0 - est * est) if math.isfinite(se) and se > 0 else 0.2
        h = min(h, 2.0)
        lo_pts = [x for x in (math.tanh(t_hat - h * 1.5 ** i) for i in range(16)) if x > -1.0] + [-1.0]
        hi_pts = [x for x in (math.tanh(t_hat + h * 1.5 ** i) for i in range(16)) if x < 1.0] + [1.0]
        lo = found.get(-1.0)
        if lo is None:
            lo = crossing(side(est, fmin, profile_at, theta_hat, -1.0, True), est, -z, lo_pts)
        hi = found.get(1.0)
        if hi is None:
            hi = crossing(side(est, fmin, profile_at, theta_hat, 1.0, True), est, z, hi_pts)
        return lo, hi

    zero_memo = {}

    def sd_zero(a):
        """The criterion with the sd of random effect a at 0."""
        if a not in zero_memo:
            zero_memo[a] = prof.sd_profile_user(a, 0.0, theta_hat)[0]
        return zero_memo[a]

    for i, (a, b) in enumerate(prof.pairs):
        name = names[i]
        if name not in wanted:
            continue
        est = float(est_var[i])
        if a == b:
            at = (lambda v, th, a=a: prof.sd_at(a, v, th))
            near = (lambda v, th, a=a: prof.sd_profile_user(a, v, th))
            lo, hi = positive(est, at, ses[i], near, lambda a=a: prof.sd_state(a))
            close(name, lo, hi, 0.0, math.inf)
        else:
            at = (lambda v, th, a=a, b=b: prof.cor_profile(a, b, v, th))
            lo, hi = correlation(est, at, ses[i], lambda a=a, b=b: min(sd_zero(a), sd_zero(b)),
                                 prof.cor_state(a, b))
            close(name, lo, hi, -1.0, 1.0)
    if "sigma" in wanted:
        lo, hi = positive(sigma_hat, prof.sigma_profile, ses[-1], state=prof.sigma_state)
        close("sigma", lo, hi, 0.0, math.inf)
    fe = [n for n in result.fe_names if n in wanted]
    if fe:
        ml = ml_refit(result, "the model")
        mlprof = Profiler(ml, False)
        theta_ml = np.array(ml.theta_core)
        fmin_ml = mlprof.pieces(theta_ml)["deviance"]
        for name in fe:
            j = result.fe_names.index(name)
            est = float(ml.beta[j])
            se = float(ml.std_errors[j])
            se = se if math.isfinite(se) and se > 0 else max(abs(est), 1.0)
            at = (lambda v, th, j=j: mlprof.beta_profile(j, v, th))
            state = mlprof.beta_state(j)
            starts = None if state is None else wald_starts(state, mlprof.x_hat, est, z)
            ends = []
            for sgn in (-1, 1):
                end = None
                if starts is not None:
                    found = newton_end(mlprof.beta_state(j), *starts[sgn], sgn, fmin_ml, z,
                                       lambda t, sgn=sgn: sgn * (t - est) > 0.0, 2.0 * z * se)
                    end = None if found is None else found[0]
                if end is None:
                    end = crossing(side(est, fmin_ml, at, theta_ml, sgn), est, sgn * z, outward(est, se, sgn))
                ends.append(end)
            close(name, ends[0], ends[1], -math.inf, math.inf)
    if at_limit:
        ends = "; ".join(f"{name}: {end} end {limit:g}" for name, end, limit in at_limit)
        warn_user(f"the profile does not reach the {100 * level:.3g}% limit before the parameter's bound, "
                  f"so these ends are the bound itself ({ends})", ProfileWarning)
    return {n: out[n] for n in names if n in out}


def confint(result, level=0.95, method="wald", which=None, n=None, seed=None, progress=None):
    """Confidence intervals as a DataFrame: one row per parameter (sd, cor,
    sigma, then the fixed effects), the columns named like "2.5 %". The
    bootstrap's n, seed and progress are those of :func:`bootstrap.bootstrap`
    where not given (1000 replicates, seed 0, a progress bar)."""
    pd = _dist.pandas()
    level = check_level(level)
    method = check_interval_method(method, {"n": n, "seed": seed, "progress": progress})
    which = _check_which(result, which)
    lo_name, hi_name = level_names(level)
    names = parameter_names(result)
    if method == "wald":
        z = level_quantile(level)
        rows = {name: (math.nan, math.nan) for name in names}
        for name, b, se in zip(result.fe_names, result.beta, result.std_errors):
            rows[name] = (b - z * se, b + z * se)
    elif method == "profile":
        with one_blas_thread():
            rows = profile_intervals(result, level, which)
    else:
        from .. import bootstrap

        given = {k: v for k, v in (("n", n), ("seed", seed), ("progress", progress)) if v is not None}
        out = bootstrap.bootstrap(result, **given).confint(level=level)
        return out if which is None else out.loc[[name for name in out.index if name in which]]
    keep = [name for name in names if name in rows and (which is None or name in which)]
    return pd.DataFrame([rows[name] for name in keep], index=keep, columns=[lo_name, hi_name])
