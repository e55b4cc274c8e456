"""Dense, per-subject reference computations for mixed models for repeated
measures: the covariance matrix of each structure from R mmrm's variance
parameters theta, and the ML / REML log-likelihood with beta profiled out by
generalised least squares, one subject at a time. Slow and plain on
purpose: the truth the stored peer numbers and the fitted models are
checked against.

mmrm's maps (its covariance vignette and src/covariance.h):
- us: Sigma = L L' with L = D Lt, D = diag(exp(theta[:T])), Lt unit lower
  triangular filled row by row from theta[T:] (l21, l31, l32, ...): row i of
  L is exp(theta_i) * (l_i1, ..., l_i,i-1, 1).
- Correlation parameters of toep, ad, ar1 (and their h forms) map by
  rho = t / sqrt(1 + t^2); cs by rho = logistic(t) (1 + a) - a, a = 1/(T-1).
- Homogeneous forms: Sigma = exp(theta_0)^2 P; heterogeneous:
  Sigma = D P D with D = diag(exp(theta[:T])). The correlation P: toep
  rho_|i-j|, ad prod_{k=j}^{i-1} rho_k, ar1 rho^|i-j|, cs rho.
- sp_exp: Sigma_ij = exp(theta_0) * rho^d_ij with rho = logistic(theta_1)
  (theta_0 is the log of the variance, not of the sd, in mmrm's code).
"""

from __future__ import annotations

import math

import numpy as np

HETEROGENEOUS = {"toeph": "toep", "adh": "ad", "ar1h": "ar1", "csh": "cs"}


def _corr(kind, t, T):
    """The T x T correlation matrix of a structure from its correlation parameters t."""
    if kind == "cs":
        a = 1.0 / (T - 1.0)
        rho = 1.0 / (1.0 + math.exp(-t[0])) * (1.0 + a) - a
    else:
        rho = np.asarray(t, dtype=float) / np.sqrt(1.0 + np.asarray(t, dtype=float) ** 2)
    P = np.eye(T)
    for i in range(T):
        for j in range(i):
            if kind == "toep":
                r = rho[i - j - 1]
            elif kind == "ad":
                r = np.prod(rho[j:i])
            elif kind == "ar1":
                r = rho[0] ** (i - j)
            else:  # cs
                r = rho
            P[i, j] = P[j, i] = r
    return P


def covariance(structure, theta, T):
    """Sigma (T x T) of a structure at mmrm's theta."""
    theta = np.asarray(theta, dtype=float)
    if structure == "us":
        L = np.zeros((T, T))
        sd = np.exp(theta[:T])
        k = T
        for i in range(T):
            L[i, i] = sd[i]
            for j in range(i):
                L[i, j] = sd[i] * theta[k]
                k += 1
        return L @ L.T
    if structure in HETEROGENEOUS:
        sd = np.exp(theta[:T])
        return np.outer(sd, sd) * _corr(HETEROGENEOUS[structure], theta[T:], T)
    return math.exp(2.0 * theta[0]) * _corr(structure, theta[1:], T)


def spatial_exponential(theta, times):
    """Sigma of sp_exp at the given times (one subject's)."""
    rho = 1.0 / (1.0 + math.exp(-theta[1]))
    d = np.abs(np.subtract.outer(times, times))
    return math.exp(theta[0]) * rho ** d


def loglik(y, X, subjects, covs, reml=True):
    """The log-likelihood (REML or ML) with beta profiled out: y (n), X
    (n x p), subjects (n labels), covs[s] the covariance of subject s's rows
    in their order. Returns (loglik, beta, cov_beta)."""
    y, X = np.asarray(y, dtype=float), np.asarray(X, dtype=float)
    p = X.shape[1]
    xtvx, xtvy, ytvy, logdet = np.zeros((p, p)), np.zeros(p), 0.0, 0.0
    for s in dict.fromkeys(subjects):
        rows = np.flatnonzero(np.asarray(subjects) == s)
        C = np.linalg.cholesky(covs[s])
        xs = np.linalg.solve(C, X[rows])
        ys = np.linalg.solve(C, y[rows])
        xtvx += xs.T @ xs
        xtvy += xs.T @ ys
        ytvy += ys @ ys
        logdet += 2.0 * np.sum(np.log(np.diag(C)))
    beta = np.linalg.solve(xtvx, xtvy)
    quad = ytvy - xtvy @ beta
    n = len(y)
    if reml:
        ll = -0.5 * ((n - p) * math.log(2.0 * math.pi) + logdet + np.linalg.slogdet(xtvx)[1] + quad)
    else:
        ll = -0.5 * (n * math.log(2.0 * math.pi) + logdet + quad)
    return ll, beta, np.linalg.inv(xtvx)
