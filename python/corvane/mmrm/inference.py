"""The fixed effects' tests of a repeated-measures fit, as R's mmrm offers
them: a df method (Satterthwaite, Kenward-Roger, residual, between-within)
and a covariance of beta (asymptotic, Kenward and Roger's adjusted one, in
its non-linear or linear form, or empirical: the sandwich, its jackknife or
its bias-reduced form), each object with ``cov_beta``, ``t_test(l)`` ->
(estimate, std error, df) and ``f_test(L, rhs)`` -> (F, NumDF, DenDF).

Kenward and Roger's adjustment takes P_k, sum w_kl Q_kl and sum w_kl R_kl
from the core (one pass over the patterns); the empirical covariance and
its degrees of freedom take each subject's whitened rows. Their df for a
contrast c is tr(M)^2 / |M|_F^2 with M = G' G, G's column i the residual
maker (I - H) applied to subject i's A_i' X~_i cov(beta) c; as H is a
projection, M = diag(a_i'a_i) - B' cov(beta) B with b_i = X~_i' a_i, so
neither the rows-by-subjects matrix G nor H is formed.
"""

from __future__ import annotations

import math

import numpy as np

from ..inference.satterthwaite import SatterthwaiteTests

__all__ = ["METHODS", "VCOVS", "check_inference", "df_method"]

METHODS = ("satterthwaite", "kenward-roger", "residual", "between-within")
VCOVS = ("asymptotic", "kenward-roger", "kenward-roger-linear", "empirical", "empirical-jackknife",
         "empirical-bias-reduced")


def check_inference(method, vcov, reml):
    """(method, vcov) normalised and checked as mmrm checks them: the
    default covariance is Kenward and Roger's for their method, the
    asymptotic one otherwise; their covariances go only with their method,
    which needs REML."""
    method = str(method).lower().replace("_", "-")
    if method not in METHODS:
        raise ValueError(f"method must be one of {', '.join(METHODS)}, got {method!r}")
    if vcov is None:
        vcov = "kenward-roger" if method == "kenward-roger" else "asymptotic"
    vcov = str(vcov).lower().replace("_", "-")
    if vcov not in VCOVS:
        raise ValueError(f"vcov must be one of {', '.join(VCOVS)}, got {vcov!r}")
    if (method == "kenward-roger") != vcov.startswith("kenward-roger"):
        raise ValueError("Kenward-Roger's df go with its covariance (vcov='kenward-roger' or "
                         "'kenward-roger-linear') and that covariance only with method='kenward-roger'")
    if method == "kenward-roger" and not reml:
        raise ValueError("Kenward-Roger needs a REML fit (reml=True)")
    return method, vcov


def df_method(result, method, vcov):
    """The tests of a fit for (method, vcov), made once per result."""
    method, vcov = check_inference(method, vcov, result.reml)
    return result.cached(("tests", method, vcov), lambda r: _make(r, method, vcov))


def _make(result, method, vcov):
    if method == "kenward-roger":
        return KenwardRoger(result, linear=vcov == "kenward-roger-linear")
    empirical = _Empirical(result, vcov) if vcov.startswith("empirical") else None
    if method == "satterthwaite":
        return empirical if empirical is not None else AsymptoticSatterthwaite(result)
    cov = result.cov_beta_asymptotic if empirical is None else empirical.cov_beta
    if method == "residual":
        return _FixedDf(result.beta, cov, lambda involved: float(result.n_obs - len(result.beta)))
    return _FixedDf(result.beta, cov, _between_within(result))


class AsymptoticSatterthwaite(SatterthwaiteTests):
    """Satterthwaite's df from the core's exact d cov(beta)/d theta and
    theta's covariance 2 H^-1 (H the Hessian of -2 log L)."""

    def __init__(self, result):
        self.vcov_varpar = result.theta_vcov
        self.jac = np.asarray(result._raw["cov_beta_grad"], dtype=np.float64)
        self.cov_beta = result.cov_beta_asymptotic
        self.beta = result.beta


def _wald(beta, cov, L, rhs):
    """(Wald statistic / rank, rank) of L beta = rhs on cov."""
    L = np.atleast_2d(np.asarray(L, dtype=np.float64))
    est = L @ beta - (0.0 if rhs is None else np.asarray(rhs, dtype=np.float64))
    vl = L @ cov @ L.T
    d, v = np.linalg.eigh(0.5 * (vl + vl.T))
    pos = d > max(np.finfo(float).eps ** 0.5 * float(d.max()), 0.0)
    q = int(pos.sum())
    if q == 0:
        raise ValueError("the contrast has no estimable direction (L cov(beta) L' is zero)")
    return float(np.sum((v[:, pos].T @ est) ** 2 / d[pos]) / q), q


class _FixedDf:
    """A df that depends only on which coefficients a contrast involves
    (residual, between-within)."""

    def __init__(self, beta, cov, df_of):
        self.beta, self.cov_beta, self._df_of = beta, cov, df_of

    def t_test(self, l):
        l = np.asarray(l, dtype=np.float64)
        return float(l @ self.beta), math.sqrt(max(float(l @ self.cov_beta @ l), 0.0)), self._df_of(l != 0)

    def df(self):
        p = len(self.beta)
        return np.array([self.t_test(np.eye(p)[j])[2] for j in range(p)])

    def f_test(self, L, rhs=None):
        f, q = _wald(self.beta, self.cov_beta, L, rhs)
        return f, q, self._df_of(np.any(np.atleast_2d(L) != 0, axis=0))


def _between_within(result):
    """mmrm's between-within df: a coefficient varies between subjects only
    (its df the subjects less the between coefficients and the intercept)
    or within them (the rows less the subjects and the within coefficients);
    a contrast takes the smallest df of the coefficients it involves."""
    m = result.model
    m._require_rows("between-within df")
    kind = []
    for j, name in enumerate(result.fe_names):
        if name in ("(Intercept)", "Intercept"):
            kind.append("intercept")
            continue
        pairs = np.unique(np.column_stack([m.X[:, j], m.codes]), axis=0)
        kind.append("within" if len(pairs) > result.n_subjects else "between")
    kind = np.array(kind)
    between = result.n_subjects - int(np.sum(kind == "between")) - int(np.sum(kind == "intercept"))
    within = result.n_obs - result.n_subjects - int(np.sum(kind == "within"))
    per = np.where(kind == "between", between, within).astype(float)

    def df_of(involved):
        return float(np.min(per[np.asarray(involved, dtype=bool)]))
    return df_of


class KenwardRoger:
    """Kenward and Roger's adjusted covariance of beta and df, as mmrm
    computes them (its "Kenward-Roger" with the second derivatives of its
    parametrisation of Sigma, or "Kenward-Roger-Linear" without them)."""

    def __init__(self, result, linear):
        model, w = result.model, np.ascontiguousarray(result.theta_vcov)
        e = model.core.evaluate(result.theta, result.reml, 2, w)
        phi, P = result.cov_beta_asymptotic, np.asarray(e["p_k"])
        lam = np.asarray(e["weighted_q"]) - (0.0 if linear else 0.25 * np.asarray(e["weighted_r"]))
        pphi = P @ phi                                   # P_k phi
        lam = lam - np.sum(pphi @ np.tensordot(w, P, axes=1), axis=0)   # sum_kl w_kl P_k phi P_l
        lam = 0.5 * (lam + lam.T)
        self.cov_beta = phi + 2.0 * phi @ lam @ phi
        self.beta, self._phi, self._w, self._P = result.beta, phi, w, P

    def _df(self, L):
        """(m, lambda): the denominator df and the F statistic's scale."""
        L = np.atleast_2d(L)
        nl = L.shape[0]
        phi = self._phi
        M = L.T @ np.linalg.solve(L @ phi @ L.T, L)
        mp = (M @ phi) @ self._P @ phi                   # M phi P_k phi
        n = len(mp)
        tr = np.trace(mp, axis1=1, axis2=2)
        a1 = float(tr @ self._w @ tr)
        # tr(mp_i mp_j) for every pair, as one product of the flattened matrices
        pairs = mp.reshape(n, -1) @ mp.transpose(0, 2, 1).reshape(n, -1).T
        a2 = float(np.sum(self._w * pairs))
        b = (a1 + 6.0 * a2) / (2.0 * nl)
        e_star = 1.0 / (1.0 - a2 / nl)
        g = ((nl + 1) * a1 - (nl + 4) * a2) / ((nl + 2) * a2)
        den = 3.0 * nl + 2.0 - 2.0 * g
        c1, c2, c3 = g / den, (nl - g) / den, (nl + 2 - g) / den
        v_star = 2.0 / nl * (1.0 + c1 * b) / (1.0 - c2 * b) ** 2 / (1.0 - c3 * b)
        rho = v_star / (2.0 * e_star ** 2)
        m = 4.0 + (nl + 2.0) / (nl * rho - 1.0)
        return m, m / (e_star * (m - 2.0))

    def t_test(self, l):
        l = np.asarray(l, dtype=np.float64)
        return float(l @ self.beta), math.sqrt(max(float(l @ self.cov_beta @ l), 0.0)), self._df(l)[0]

    def df(self):
        p = len(self.beta)
        return np.array([self._df(np.eye(p)[j])[0] for j in range(p)])

    def f_test(self, L, rhs=None):
        f, q = _wald(self.beta, self.cov_beta, L, rhs)
        m, lam = self._df(np.atleast_2d(np.asarray(L, dtype=np.float64)))
        return lam * f, q, m


def whitened_subjects(result):
    """Per visit pattern, its subjects' rows whitened by the pattern's
    covariance: a list of (X~ (n_P, t, p), r~ (n_P, t)), X~_i' X~_i =
    X_i' V_i^-1 X_i."""
    m = result.model
    m._require_rows("the empirical covariance")
    order = np.lexsort((m.positions, m.codes))
    codes, pos = m.codes[order], m.positions[order]
    X, y = m.X[order], m.y[order]
    if m.weights is not None:
        root = np.sqrt(m.weights[order])
        X, y = X * root[:, None], y * root
    r = y - X @ result.beta
    starts = np.flatnonzero(np.r_[True, codes[1:] != codes[:-1]])
    ends = np.r_[starts[1:], len(codes)]
    groups = m.group_codes[order][starts]
    by_pattern = {}
    for s, e, g in zip(starts, ends, groups):
        by_pattern.setdefault((int(g), tuple(pos[s:e].tolist())), []).append((s, e))
    full = None if m.term.spatial else m.core.covariance(result.theta)
    out = []
    for (g, where), spans in by_pattern.items():
        if full is None:
            sigma = m.core.covariance(result.theta, list(where))[g]
        else:
            k = np.asarray(where, dtype=np.int64)
            sigma = full[g][np.ix_(k, k)]
        chol = np.linalg.cholesky(sigma)
        rows = np.concatenate([np.arange(s, e) for s, e in spans])
        t = len(where)
        xs = np.linalg.solve(chol, X[rows].reshape(len(spans), t, -1))
        rs = np.linalg.solve(chol, r[rows].reshape(len(spans), t, 1))[..., 0]
        out.append((xs, rs))
    return out


class _Empirical(SatterthwaiteTests):
    """The empirical covariance of beta (mmrm's "Empirical", CR0;
    "Empirical-Jackknife"; "Empirical-Bias-Reduced", CR2) and its
    Satterthwaite-type df."""

    def __init__(self, result, kind):
        phi = result.cov_beta_asymptotic
        p = len(result.beta)
        meat = np.zeros((p, p))
        self._blocks = []
        for xs, rs in whitened_subjects(result):
            t = xs.shape[1]
            if kind == "empirical":
                a = np.broadcast_to(np.eye(t), (xs.shape[0], t, t))
            else:
                h = np.eye(t) - (xs @ phi) @ xs.transpose(0, 2, 1)
                if kind == "empirical-jackknife":
                    a = np.linalg.inv(h)
                else:   # the symmetric inverse square root, zero on a null space
                    w, v = np.linalg.eigh(h)
                    inv = np.where(w > 1e-10 * np.max(np.abs(w), axis=1, keepdims=True), 1.0 / np.sqrt(
                        np.maximum(w, 1e-300)), 0.0)
                    a = (v * inv[:, None, :]) @ v.transpose(0, 2, 1)
            z = (xs.transpose(0, 2, 1) @ (a @ rs[..., None]))[..., 0]
            meat += z.T @ z
            self._blocks.append((xs, a))
        self.cov_beta = phi @ meat @ phi
        self.beta, self._phi = result.beta, phi

    def direction_df(self, c, var=None):
        """The empirical df of c' beta (see the module's text); var unused."""
        phi = self._phi
        pc = phi @ c
        d_all, b_all = [], []
        for xs, a in self._blocks:
            ai = (a.transpose(0, 2, 1) @ (xs @ pc)[..., None])[..., 0]   # A_i' X~_i phi c
            d_all.append(np.sum(ai * ai, axis=1))
            b_all.append((xs.transpose(0, 2, 1) @ ai[..., None])[..., 0])
        d, B = np.concatenate(d_all), np.concatenate(b_all)   # B: subjects x p
        q = np.sum((B @ phi) * B, axis=1)
        S = B.T @ B
        ps = phi @ S
        tr = float(np.sum(d) - np.sum(q))
        frob = float(np.sum(d * d) - 2.0 * np.sum(d * q) + np.sum(ps * ps.T))
        return tr * tr / frob if frob > 0 else math.inf

    def df(self):
        p = len(self.beta)
        return np.array([self.direction_df(np.eye(p)[j]) for j in range(p)])
