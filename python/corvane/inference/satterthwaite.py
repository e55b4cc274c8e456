"""Satterthwaite's degrees of freedom for the fixed effects' tests.

The method follows lmerTest: the variance parameters are phi = (theta,
sigma); their asymptotic covariance is twice the (pseudo-)inverse of the
Hessian of the unprofiled criterion in phi, and cov(beta) =
sigma^2 (X'V^-1 X)^-1 is differentiated in phi. Both come from the core
exactly, at a cost proportional to the number of groups, where lmerTest
differentiates numerically. Everything is computed on the core's
parametrisation (centred and scaled columns) and mapped to the user's by
:class:`corvane.design.reparam.Reparam`: the tests are invariant under that
linear map.
"""

from __future__ import annotations

import math

import numpy as np

__all__ = ["SatterthwaiteTests", "Satterthwaite", "SatterthwaiteFits", "variance_parts", "satterthwaite_of",
           "fstat_ddf"]

# Eigenvalues of the Hessian in phi below this fraction of the largest are
# treated as zero (pseudo-inverse), as lmerTest does with its absolute 1e-8.
_EIG_TOL = 1e-10


class SatterthwaiteTests:
    """Satterthwaite's t and F tests from what a family provides: ``beta``,
    ``cov_beta``, ``jac`` (d cov_beta / d phi_k, k x p x p) and
    ``vcov_varpar`` (the asymptotic covariance of the variance parameters
    phi)."""

    beta: np.ndarray
    cov_beta: np.ndarray
    jac: np.ndarray
    vcov_varpar: np.ndarray

    def direction_df(self, l, var):
        """The df of l' beta whose variance is var: 2 var^2 / (g' V g), g
        the gradient of l' cov(beta) l in phi. A family with another df
        for a direction overrides this (the F test's combination stays)."""
        g = np.einsum("i,kij,j->k", l, self.jac, l)
        denom = float(g @ self.vcov_varpar @ g)
        return 2.0 * var * var / denom if denom > 0 else math.inf

    def t_test(self, l):
        """(estimate, std error, df) of l' beta."""
        l = np.asarray(l, dtype=np.float64)
        var = float(l @ self.cov_beta @ l)
        return float(l @ self.beta), math.sqrt(max(var, 0.0)), self.direction_df(l, var)

    def df(self):
        """Each coefficient's df at once: its gradient is the diagonal of
        every d cov(beta) / d phi_k."""
        g = np.einsum("kjj->jk", self.jac)                     # coefficients x phi
        denom = np.einsum("jk,kl,jl->j", g, self.vcov_varpar, g)
        var = np.diag(self.cov_beta)
        with np.errstate(divide="ignore"):
            return np.where(denom > 0, 2.0 * var * var / denom, np.inf)

    def f_test(self, L, rhs=None):
        """lmerTest's contest for a contrast matrix L (k x p): F value, NumDF
        (the rank of L cov(beta) L'), DenDF."""
        L = np.atleast_2d(np.asarray(L, dtype=np.float64))
        est = L @ self.beta - (0.0 if rhs is None else np.asarray(rhs, dtype=np.float64))
        vl = L @ self.cov_beta @ L.T
        d, p_vec = np.linalg.eigh(0.5 * (vl + vl.T))
        order = np.argsort(d)[::-1]
        d, p_vec = d[order], p_vec[:, order]
        tol = max(np.finfo(float).eps ** 0.5 * d[0], 0.0)
        pos = d > tol
        q = int(pos.sum())
        if q == 0:
            raise ValueError("the contrast has no estimable direction (L cov(beta) L' is zero)")
        ptl = p_vec[:, :q].T @ L
        t2 = (p_vec[:, :q].T @ est) ** 2 / d[:q]
        f = float(np.sum(t2) / q)
        nu = np.array([self.direction_df(ptl[i], d[i]) for i in range(q)])
        return f, q, fstat_ddf(nu)


def variance_parts(vd, free, t):
    """Satterthwaite's ingredients for fits of one design, each from the
    core's variance_derivatives at its optimum with a leading axis of fits
    (fit_responses(derivatives=True) gives them so): vd's "hessian",
    "pwrss", "nmp", "pwrss_grad", "xvx" and "xvx_grad"; free the entries of
    theta that are parameters; t (fits x p x p) each fit's Reparam.beta_map.
    Returns (vcov_varpar, cov_beta, jac, n_zero), each with the fits' axis:
    the asymptotic covariance of phi = (theta's free entries, sigma),
    cov(beta) on the user's scale, its derivatives in phi and the number of
    zero eigenvalues of phi's Hessian."""
    nu, r2 = np.asarray(vd["nmp"], dtype=np.float64), np.asarray(vd["pwrss"], dtype=np.float64)
    s2 = r2 / nu
    s = np.sqrt(s2)
    k = len(free)
    pg = np.asarray(vd["pwrss_grad"])[:, free]
    # Hessian of d(theta, sigma) = ld(theta) + nu log(2 pi sigma^2) + pwrss(theta)/sigma^2
    # at sigma^2 = pwrss/nu, from the profiled criterion's Hessian.
    h = np.empty((len(nu), k + 1, k + 1))
    h[:, :k, :k] = (np.asarray(vd["hessian"])[:, free][:, :, free]
                    + (nu / (r2 * r2))[:, None, None] * pg[:, :, None] * pg[:, None, :])
    h[:, :k, k] = h[:, k, :k] = -2.0 * pg / (s2 * s)[:, None]
    h[:, k, k] = 4.0 * nu / s2
    w, v = np.linalg.eigh(h)
    keep = w > _EIG_TOL * np.maximum(np.max(np.abs(w), axis=1), 1e-300)[:, None]
    inv_w = np.where(keep, 1.0 / np.where(keep, w, 1.0), 0.0)
    vcov_varpar = 2.0 * (v * inv_w[:, None, :]) @ np.swapaxes(v, 1, 2)
    c = np.linalg.inv(np.asarray(vd["xvx"]))
    c = 0.5 * (c + np.swapaxes(c, 1, 2))
    tt = np.swapaxes(t, 1, 2)
    cov_beta = t @ (s2[:, None, None] * c) @ tt
    xg = np.asarray(vd["xvx_grad"])[:, free]
    jac = np.empty((len(nu), k + 1) + c.shape[1:])
    jac[:, :k] = t[:, None] @ (-s2[:, None, None, None] * c[:, None] @ xg @ c[:, None]) @ tt[:, None]
    jac[:, k] = t @ (2.0 * s[:, None, None] * c) @ tt
    return vcov_varpar, cov_beta, jac, np.sum(~keep, axis=1)


class Satterthwaite(SatterthwaiteTests):
    """Satterthwaite's approximation for a fitted linear mixed model: the
    asymptotic covariance of phi = (theta, sigma) and the derivatives of
    cov(beta) in phi, on the user's scale of beta."""

    def __init__(self, result):
        model = result.model
        vd = model.core.variance_derivatives(result.theta_core.tolist(), reml=result.reml)
        # Only theta's free entries are parameters (uncorrelated blocks hold the rest at 0).
        free = model.theta_free if model.theta_free is not None else np.arange(len(result.theta_core))
        batch = {key: np.asarray(vd[key])[None] for key in ("hessian", "pwrss", "nmp", "pwrss_grad", "xvx",
                                                              "xvx_grad")}
        parts = variance_parts(batch, free, model.reparam.beta_map()[None])
        self.vcov_varpar, self.cov_beta, self.jac = (a[0] for a in parts[:3])
        self.n_zero = int(parts[3][0])
        self.beta = np.asarray(result.beta)
        self.sigma2_user = result.sigma2


class SatterthwaiteFits:
    """Satterthwaite's tests for many fits of one design at once (arrays
    with a leading axis of fits): beta, cov_beta, jac and vcov_varpar as
    :func:`variance_parts` gives them."""

    def __init__(self, beta, vcov_varpar, cov_beta, jac):
        self.beta, self.vcov_varpar, self.cov_beta, self.jac = beta, vcov_varpar, cov_beta, jac

    def t_tests(self, l):
        """(estimate, std error, df) arrays of l' beta in every fit."""
        l = np.asarray(l, dtype=np.float64)
        var = np.einsum("i,rij,j->r", l, self.cov_beta, l)
        g = np.einsum("i,rkij,j->rk", l, self.jac, l)
        denom = np.einsum("rk,rkl,rl->r", g, self.vcov_varpar, g)
        with np.errstate(divide="ignore", invalid="ignore"):
            df = np.where(denom > 0, 2.0 * var * var / np.where(denom > 0, denom, 1.0), np.inf)
        return self.beta @ l, np.sqrt(np.maximum(var, 0.0)), df

    def one(self, r):
        """Fit r's tests (SatterthwaiteTests: its F tests)."""
        out = SatterthwaiteTests()
        out.beta, out.vcov_varpar, out.cov_beta, out.jac = (self.beta[r], self.vcov_varpar[r], self.cov_beta[r],
                                                            self.jac[r])
        return out


def fstat_ddf(nu, tol=1e-8):
    """The F statistic's denominator df from the t statistics' (lmerTest)."""
    if len(nu) == 1:
        return float(nu[0])
    # nu / (nu - 2) is 1 in the limit of an infinite nu (a direction whose
    # variance does not depend on the variance parameters), not NaN.
    with np.errstate(invalid="ignore"):
        if np.all(np.abs(np.diff(nu)) < tol):
            return float(np.mean(nu))
        if np.any(nu <= 2):
            return 2.0
        e = float(np.sum(np.where(np.isinf(nu), 1.0, nu / (nu - 2.0))))
    return 2.0 * e / (e - len(nu)) if e > len(nu) else math.inf


def satterthwaite_of(result):
    """The result's Satterthwaite approximation, made once per result."""
    return result.cached("satterthwaite", Satterthwaite)
