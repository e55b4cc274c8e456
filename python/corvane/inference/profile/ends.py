"""An interval's end found directly (:func:`newton_end`,
:func:`newton_cor_end`), without tracing the profile: from the quadratic
approximation's end, each step minimises the second-order model of the
criterion over the other parameters and moves the held one to where that
model reaches the level fmin + z^2, so the steps converge as Newton's method
on the profile's level does. The core gives the profiled criterion's exact
gradient and Hessian; the second derivatives it does not give (of the
penalised residual sum of squares, of beta~ and of X'V^-1 X) are taken by
forward differences at the fit and corrected along each search by secant
updates from the exact first derivatives (:class:`Secant`). They enter only
the steps, never the equations solved, so they cost iterations, not
accuracy. An end that does not settle cleanly (a profile that flattens
before the level, a step out of the parameter's range, no inner minimum) is
left to the search along the profile (:mod:`corvane.inference.profile.profiler`'s states feed
these functions).
"""

from __future__ import annotations

import math

import numpy as np

__all__ = ["Secant", "posv", "newton_end", "wald_starts", "newton_cor_end"]


class Secant:
    """Second derivatives h (M x k x k) of M of the core's pieces in x, kept
    close along a search: from forward differences at the fit, corrected at
    each evaluation by Powell's symmetric Broyden update with the pieces'
    exact first derivatives d (M x k) there and at the last point (the least
    change, in Frobenius norm, that makes h symmetric and true along the
    step). Steps below 1e-9 of x leave h alone (the differences would be
    rounding)."""

    __slots__ = ("x", "d", "h")

    def __init__(self, x, d, h):
        self.x, self.d, self.h = x, d, h.copy()

    def update(self, x, d):
        """h after the step to x, where the first derivatives are d."""
        s = x - self.x
        ss = float(s @ s)
        if ss > 1e-18 * max(1.0, float(x @ x)):
            h = self.h
            r = (d - self.d) - h @ s  # the secant's miss, M x k
            rs = r[:, :, None] * s
            h += (rs + rs.transpose(0, 2, 1)) / ss - ((r @ s) / (ss * ss))[:, None, None] * (s[:, None] * s)
            self.x, self.d = x, d
        return self.h


_MAX_STEPS = 40
_DECREMENT = 0.1  # g'H^-1 g of an inner problem close enough to its minimum to move t


_lapack = None


def posv(a, b):
    """LAPACK's dposv: (factor, solution, info), info > 0 where a is not
    positive definite. Called directly: NumPy's solve costs several times
    as much on these few rows."""
    global _lapack
    if _lapack is None:
        from scipy.linalg import lapack as _lapack
    return _lapack.dposv(a, b)


def _gesv(a, b):
    """LAPACK's dgesv: (solution, info), info > 0 where a is singular."""
    global _lapack
    if _lapack is None:
        from scipy.linalg import lapack as _lapack
    _, _, x, info = _lapack.dgesv(a, b)
    return x, info


def _shifted_step(h, g):
    """The step of Newton's method in x alone where H is not positive
    definite (the inner problem is not convex far from its valley): on
    H's eigenvalues taken by magnitude, none below 1e-3 of the largest, so
    that the step goes downhill along the negative curvature and not far
    along the flat; None where H has no finite eigenvalues."""
    try:
        vals, vecs = np.linalg.eigh(h)
    except np.linalg.LinAlgError:
        return None
    mags = np.abs(vals)
    top = float(np.max(mags))
    if not (top > 0.0 and math.isfinite(top)):
        return None
    return vecs @ ((vecs.T @ g) / np.maximum(mags, 1e-3 * top))


def _level_step(a, b, c, side):
    """The step dt to the level of the profile's model c + b dt + a dt^2 = 0
    on the given side (the root where the model rises going outwards, side
    -1 below the estimate, +1 above); where the model does not reach the
    level, the step to its minimum; None where it has no minimum (a <= 0)
    and its slope points the wrong way."""
    if a > 0.0:
        disc = b * b - 4.0 * a * c
        if disc < 0.0:
            return -b / (2.0 * a)
        return (-b + side * math.sqrt(disc)) / (2.0 * a)
    if side * b > 0.0:
        return -c / b
    return None


def newton_end(state, x, t, side, fmin, z, t_ok, max_dt):
    """The end of a profile whose parameter enters the criterion explicitly
    (state(x, t): sigma, an sd, a fixed effect) on one side of the estimate
    (side -1 or +1): the t where min_x f(x, t) = fmin + z^2, from (x, t).

    Each step minimises the second-order model of f in (x, t) over x for
    each t, and moves t to where that model of the profile reaches the
    level (the model is exact to second order, so the steps converge as
    Newton's; the inner Hessian, partly taken from the fit, makes the rate
    only nearly quadratic). While x is far from the inner minimum (a Newton
    decrement g'H^-1 g above _DECREMENT, or H not positive definite) that
    model is not to be trusted in t: the step is then Newton's in x alone
    (on a shifted H where H is not positive definite), halved until f falls
    (the inner problem's valleys are curved). Every step in t is taken at a
    positive definite H, so the solution is an inner minimum. Returns (t, x)
    at the solution, or None when it is not reached cleanly: a step leaves
    t_ok, an evaluation fails (after halving the step), or the steps do not
    settle within _MAX_STEPS. Steps in t are at most max_dt. Convergence:
    a step below 1e-8 in t and 1e-6 in x (relative past 1), which is then
    taken without a further evaluation (the steps converge superlinearly,
    so the solution is then good to about 1e-12)."""
    st = state(x, t)
    if st is None:
        return None
    level = fmin + z * z
    rhs = np.empty((len(x), 2))
    for _ in range(_MAX_STEPS):
        f, g, h, f_t, g_t, f_tt = st
        rhs[:, 0] = g
        rhs[:, 1] = g_t
        _, sol, info = posv(h, rhs)
        if info == 0:
            hg, hgt = sol[:, 0], sol[:, 1]
            decrement = float(g @ hg)
        else:
            hg, decrement = _shifted_step(h, g), math.inf
            if hg is None:
                return None
        if decrement > _DECREMENT:
            for _ in range(30):
                new = state(x - hg, t)
                if new is not None and new[0] < f:
                    break
                hg = 0.5 * hg
            else:
                return None
            x, st = x - hg, new
            continue
        dt = _level_step(0.5 * (f_tt - float(g_t @ hgt)), f_t - float(g @ hgt), f - 0.5 * decrement - level, side)
        if dt is None or not math.isfinite(dt):
            return None
        if abs(dt) > max_dt:
            dt = math.copysign(max_dt, dt)
        dx = -(hg + dt * hgt)
        xmax = float(np.max(np.abs(x), initial=0.0))
        if abs(dt) <= 1e-8 * max(1.0, abs(t)) and float(np.max(np.abs(dx), initial=0.0)) <= 1e-6 * max(1.0, xmax):
            t_end = t + dt
            return (t_end, x + dx) if t_ok(t_end) else None
        for _ in range(30):
            if not t_ok(t + dt):
                return None
            new = state(x + dx, t + dt)
            if new is not None:
                break
            dx, dt = 0.5 * dx, 0.5 * dt
        else:
            return None
        x, t, st = x + dx, t + dt, new
    return None


def wald_starts(state, x_hat, t_hat, z):
    """Starts for newton_end on either side of the estimate t_hat, from the
    profile's quadratic approximation there: the profile's curvature
    d2 = f_tt - g_t' H^-1 g_t puts the ends at t_hat -+ z sqrt(2 / d2), and
    the minimiser follows the tangent dx/dt = -H^-1 g_t. Returns {-1: (x0,
    t0), 1: (x0, t0)}, or None where the quadratic has no minimum."""
    st = state(x_hat, t_hat)
    if st is None:
        return None
    _, _, h, _, g_t, f_tt = st
    _, hgt, info = posv(h, g_t)
    if info != 0:
        return None
    d2 = f_tt - float(g_t @ hgt)
    if not (d2 > 0.0 and math.isfinite(d2) and np.all(np.isfinite(hgt))):
        return None
    dt = z * math.sqrt(2.0 / d2)
    return {sign: (x_hat - (sign * dt) * hgt, t_hat + sign * dt) for sign in (-1, 1)}


def newton_cor_end(state, x_hat, rho_hat, fmin, z, sign):
    """The end of a correlation's profile (sign -1 lower, +1 upper): the
    extreme rho on the criterion's level set D_p = fmin + z^2 (there
    grad D_p = mu grad rho, mu the profile's slope). Each step is the
    equality-constrained quadratic model's: with K the Lagrangian's Hessian
    H_p - mu H_rho and a = grad rho, the model's minimum with rho moved by
    delta is f - g'K^-1 g / 2 + lambda^2 s / 2 (s = a'K^-1 a, lambda the
    new multiplier), so lambda = sign sqrt(2 (level - f + g'K^-1 g / 2) /
    s) puts it on the level, and dx = K^-1 (lambda a - g). Starts from the
    fit (mu = 0), whose step is the quadratic approximation's end. A step
    below 1e-7 in x (relative past 1) is the last, taken without a further
    evaluation of the criterion (the convergence is quadratic). Returns rho
    at the solution, or None when it is not reached cleanly (see
    newton_end; also a solution on the wrong side of the estimate, a slope
    of the wrong sign, or a Lagrangian Hessian that is not positive definite
    along the constraint)."""
    x = x_hat
    st = state(x)
    if st is None:
        return None
    level = fmin + z * z
    mu = 0.0
    k = len(x)
    rhs = np.empty((k, 2))
    for _ in range(_MAX_STEPS):
        f, g, hp, rho, a, ha = st
        lag = hp - mu * ha
        rhs[:, 0] = g
        rhs[:, 1] = a
        sol, info = _gesv(lag, rhs)
        if info != 0:
            return None
        kg, ka = sol[:, 0], sol[:, 1]
        s_ = float(a @ ka)
        rise = level - f + 0.5 * float(g @ kg)
        if not (s_ > 0.0 and math.isfinite(s_) and math.isfinite(rise)):
            return None
        lam = sign * math.sqrt(2.0 * max(rise, 0.0) / s_)
        dx = lam * ka - kg
        if not np.all(np.isfinite(dx)):
            return None
        if float(np.max(np.abs(dx))) <= 1e-7 * max(1.0, float(np.max(np.abs(x)))):
            rho_end = state.rho(x + dx)
            # A minimum along the constraint: the Lagrangian's Hessian is
            # positive definite on the directions orthogonal to grad rho.
            e = a / math.sqrt(float(a @ a))
            proj = np.eye(k) - e[:, None] * e
            reduced = proj @ lag @ proj + max(float(np.max(np.abs(np.diag(lag)))), 1.0) * (e[:, None] * e)
            ok = (sign * (rho_end - rho_hat) > 0.0 and sign * lam > 0.0 and abs(rho_end) < 1.0
                  and posv(reduced, e)[2] == 0)
            return rho_end if ok else None
        new = None
        for _ in range(30):
            new = state(x + dx)
            if new is not None:
                break
            dx = 0.5 * dx
        else:
            return None
        x, mu, st = x + dx, lam, new
    return None
