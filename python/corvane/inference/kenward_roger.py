"""Kenward and Roger's small-sample inference for the fixed effects of a
REML fit: the adjusted covariance of beta, and the denominator degrees of
freedom and scaling of F (and t) tests, as pbkrtest and lmerTest define
them.

The variance parameters are the entries of the random effects' covariance
and the residual variance, gamma = (sigma^2 D_ab, sigma^2), in which the
marginal covariance V = sum_i gamma_i G_i is linear, so that the adjustment
needs only first derivatives of V (its second derivatives vanish). With
P_i = -X'V^-1 G_i V^-1 X, Q_ij = X'V^-1 G_i V^-1 G_j V^-1 X, Phi =
(X'V^-1 X)^-1 and the REML information I_ij = tr(V^-1 G_i V^-1 G_j) -
2 tr(Phi Q_ij) + tr(Phi P_i Phi P_j) (twice the expected information):

    W     = 2 I^-1
    U     = sum_ij W_ij (Q_ij - P_i Phi P_j)
    Phi_A = Phi + 2 Phi U Phi

V is block diagonal by group, V_g = sigma^2 (I + Z_g D Z_g'), and every
trace and product above is a sum over the groups of small matrices made
from the products the core keeps (Z_g'Z_g, Z_g'X_g and X'X), through
V_g^-1 = sigma^-2 (I - Z_g M_g Z_g') with M_g = Lambda (I + Lambda'
Z_g'Z_g Lambda)^-1 Lambda'. Nothing of size n is formed, so a fit read in
batches (its rows not kept) has the same tests. Weighted rows enter as the
core holds them (scaled by the square roots of the weights), in which the
residual's G is the identity.

Everything is computed on the core's parametrisation (centred and scaled
columns); the tests are invariant under that linear map, and cov(beta) is
mapped to the user's by :class:`corvane.design.reparam.Reparam`.
"""

from __future__ import annotations

import math

import numpy as np

from ..design.reparam import theta_to_lambda

__all__ = ["KenwardRoger", "kenward_roger"]

# Both |x| and |y| below this make x / y count as 1 (pbkrtest's rule for
# the ratio in rho).
_RATIO_TOL = 1e-14


def kenward_roger(result):
    """The :class:`KenwardRoger` of a fitted result, computed once and kept.

    Examples
    --------
    >>> import corvane
    >>> from corvane.inference.kenward_roger import kenward_roger
    >>> from corvane._example import example_frame
    >>> r = corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame())
    >>> est, se, df = kenward_roger(r).t_test([0.0, 1.0])
    >>> round(df, 1)
    17.0
    """
    return result.cached("kenward_roger", KenwardRoger)


class KenwardRoger:
    """Kenward and Roger's adjustment for a REML fit.

    Attributes
    ----------
    cov_beta : numpy.ndarray
        The adjusted covariance of beta on the user's scale (pbkrtest's
        ``vcovAdj``).
    cov_beta_unadjusted : numpy.ndarray
        cov(beta) as fitted.
    vcov_varpar : numpy.ndarray
        W, the asymptotic covariance of the variance parameters
        (random-effect covariance entries in the layout's order, then the
        residual variance) on the core's scale.
    """

    def __init__(self, result):
        if not result.reml:
            raise ValueError("Kenward-Roger's method is only available for REML model fits")
        model = result.model
        theta = np.asarray(result.theta_core, dtype=np.float64)
        vd = model.core.variance_derivatives(theta.tolist(), reml=True)
        s2 = float(vd["pwrss"]) / float(vd["nmp"])
        pr = model.core.products()
        phi, p_list, q_pairs, ktrace = _kr_terms(theta, model.q, list(model.theta_pairs), s2, pr)
        k = len(p_list)
        info = np.empty((k, k))
        phi_p = [phi @ p for p in p_list]
        for i in range(k):
            for j in range(i, k):
                info[i, j] = info[j, i] = (ktrace[i, j] - 2.0 * float(np.sum(phi * q_pairs[i, j]))
                                           + float(np.sum(phi_p[i] * phi_p[j].T)))
        w = _inverse_or_pseudo(info)
        w = 2.0 * 0.5 * (w + w.T)
        u = np.zeros_like(phi)
        for i in range(k):
            for j in range(k):
                u += w[i, j] * (q_pairs[i, j] - p_list[i] @ phi @ p_list[j])
        u = 0.5 * (u + u.T)
        phi_a = phi + 2.0 * phi @ u @ phi
        self._phi = phi
        self._phi_a = 0.5 * (phi_a + phi_a.T)
        self._p = p_list
        self.vcov_varpar = w
        self._t = model.reparam.beta_map()  # beta_user = t beta_core + constant
        self.beta = np.asarray(result.beta, dtype=np.float64)
        self.cov_beta = self._t @ self._phi_a @ self._t.T
        self.cov_beta_unadjusted = self._t @ phi @ self._t.T

    # -- the tests ------------------------------------------------------------------
    def _basis(self, L):
        """The estimable directions of L (rows of the core's scale, a basis
        of L's row space in which L Phi L' is positive definite)."""
        lc = np.atleast_2d(np.asarray(L, dtype=np.float64)) @ self._t
        vl = lc @ self._phi @ lc.T
        d, v = np.linalg.eigh(0.5 * (vl + vl.T))
        order = np.argsort(d)[::-1]
        d, v = d[order], v[:, order]
        pos = d > max(np.finfo(float).eps ** 0.5 * d[0], 0.0)
        q = int(pos.sum())
        if q == 0:
            raise ValueError("the contrast has no estimable direction (L cov(beta) L' is zero)")
        return v[:, :q].T, v[:, :q].T @ lc

    def _adjust(self, lc):
        """(ddf, F scaling, 1 - A2/q) of the hypothesis with core-scale rows lc
        (full row rank), pbkrtest's formulas."""
        q = lc.shape[0]
        phi = self._phi
        theta = lc.T @ np.linalg.solve(lc @ phi @ lc.T, lc)
        tp = theta @ phi
        us = [tp @ p @ phi for p in self._p]
        tr = np.array([np.trace(x) for x in us])
        w = self.vcov_varpar
        a1 = float(tr @ w @ tr)
        a2 = float(sum(w[i, j] * np.sum(us[i] * us[j].T) for i in range(len(us)) for j in range(len(us))))
        b = (a1 + 6.0 * a2) / (2.0 * q)
        g = ((q + 1) * a1 - (q + 4) * a2) / ((q + 2) * a2)
        denom = 3.0 * q + 2.0 * (1.0 - g)
        c1, c2, c3 = g / denom, (q - g) / denom, (q + 2 - g) / denom
        v0 = 1.0 + c1 * b
        v1 = 1.0 - c2 * b
        v2 = 1.0 - c3 * b
        if abs(v0) < 1e-10:
            v0 = 0.0
        e = 1.0 - a2 / q
        ratio = 1.0 if abs(e) < _RATIO_TOL and abs(v1) < _RATIO_TOL else e / v1
        rho = ratio * ratio * v0 / (q * v2)
        df2 = 4.0 + (q + 2) / (q * rho - 1.0)
        scale = 1.0 if abs(df2 - 2.0) < 1e-2 else df2 * e / (df2 - 2.0)
        return df2, scale

    def t_test(self, l):
        """(estimate, adjusted std error, Kenward-Roger df) of l' beta."""
        l = np.asarray(l, dtype=np.float64)
        var = float(l @ self.cov_beta @ l)
        try:
            _, lc = self._basis(l)
        except ValueError:
            return float(l @ self.beta), math.sqrt(max(var, 0.0)), math.nan
        return float(l @ self.beta), math.sqrt(max(var, 0.0)), self._adjust(lc)[0]

    def wald_f(self, L, rhs=None):
        """The Wald statistic of H0: L beta = rhs on the adjusted covariance,
        over NumDF (pbkrtest's unscaled F)."""
        L = np.atleast_2d(np.asarray(L, dtype=np.float64))
        est = L @ self.beta - (0.0 if rhs is None else np.asarray(rhs, dtype=np.float64))
        rows, lc = self._basis(L)
        est = rows @ est
        va = lc @ self._phi_a @ lc.T
        return float(est @ np.linalg.solve(0.5 * (va + va.T), est)) / lc.shape[0]

    def f_test(self, L, rhs=None):
        """(F, NumDF, DenDF) of H0: L beta = rhs: the Wald F times Kenward and
        Roger's scaling (pbkrtest's F, lmerTest's F value), NumDF the number
        of estimable directions of L."""
        _, lc = self._basis(L)
        df2, scale = self._adjust(lc)
        return scale * self.wald_f(L, rhs), lc.shape[0], df2


def _inverse_or_pseudo(a):
    """a^-1, or its pseudo-inverse when a is singular to rounding (a
    variance parameter the data do not identify)."""
    d = np.linalg.eigvalsh(0.5 * (a + a.T))
    if np.min(np.abs(d)) > 1e-10 * max(float(np.max(np.abs(d))), 1e-300):
        return np.linalg.inv(a)
    return np.linalg.pinv(a, hermitian=True)


def _pair_matrix(a, b, q):
    s = np.zeros((q, q))
    s[a, b] = s[b, a] = 1.0
    return s


def _kr_terms(theta, q, pairs, s2, pr):
    """Phi, [P_i], [[Q_ij]] and the traces tr(V^-1 G_i V^-1 G_j), over the
    variance parameters (the layout's pairs, then the residual), from the
    core's products at theta with residual variance s2 (core scale)."""
    lam = theta_to_lambda(theta, q)
    T = np.asarray(pr["ztz"], dtype=np.float64)
    C = np.asarray(pr["ztx"], dtype=np.float64)
    xtx = np.asarray(pr["xtx"], dtype=np.float64)
    n = float(pr["n"])
    m = T.shape[0]
    eye = np.eye(q)
    inner = eye + lam.T @ T @ lam  # I + Lambda' T Lambda per group
    M = lam @ np.linalg.solve(inner, np.broadcast_to(lam.T, (m, q, q)))
    M = 0.5 * (M + np.swapaxes(M, 1, 2))
    K = eye - T @ M                      # Z'V~^-1 = K Z'
    A = K @ T                            # Z'V~^-1 Z
    A = 0.5 * (A + np.swapaxes(A, 1, 2))
    B = K @ C                            # Z'V~^-1 X
    KB = K @ B                           # Z'V~^-2 X
    KTK = K @ T @ np.swapaxes(K, 1, 2)   # Z'V~^-2 Z
    MC = M @ C

    def gsum(left, right):
        """sum_g left_g' right_g (both (m, q, r))."""
        return left.reshape(m * q, -1).T @ right.reshape(m * q, -1)

    cmc = gsum(C, MC)
    xv = xtx - 0.5 * (cmc + cmc.T)                         # X'V~^-1 X
    x2 = xtx - (cmc + cmc.T) + gsum(MC, T @ MC)            # X'V~^-2 X
    x3 = x2 - gsum(B, M @ B)                               # X'V~^-3 X
    mt = M @ T
    tr_res = n - 2.0 * float(np.einsum("gii->", mt)) + float(np.einsum("gij,gji->", mt, mt))

    S = [_pair_matrix(a, b, q) for a, b in pairs]
    SB = [s @ B for s in S]
    ASB = [A @ sb for sb in SB]
    SA = [s @ A for s in S]
    k = len(S) + 1
    s4, s6 = s2 * s2, s2 * s2 * s2
    p_list = [-gsum(B, sb) / s4 for sb in SB] + [-x2 / s4]
    p_list = [0.5 * (x + x.T) for x in p_list]
    qp = np.empty((k, k), dtype=object)
    ktrace = np.empty((k, k))
    r = len(S)
    for i in range(r):
        for j in range(r):
            qp[i, j] = gsum(SB[i], ASB[j]) / s6
            ktrace[i, j] = float(np.einsum("gij,gji->", SA[i], SA[j])) / s4
        qp[i, r] = gsum(SB[i], KB) / s6
        qp[r, i] = qp[i, r].T
        ktrace[i, r] = ktrace[r, i] = float(np.einsum("ij,gji->", S[i], KTK)) / s4
    qp[r, r] = x3 / s6
    ktrace[r, r] = tr_res / s4
    xv = 0.5 * (xv + xv.T)
    phi = s2 * np.linalg.inv(xv)
    return 0.5 * (phi + phi.T), p_list, qp, ktrace
