"""theta and Lambda: the core's relative covariance factor, its layout (the
lower triangle column by column, or the free entries of uncorrelated
blocks) and the maps between theta, Lambda and a covariance's factor."""

from __future__ import annotations

import math

import numpy as np

__all__ = ["tril_pairs", "theta_layout", "theta_to_lambda", "lambda_to_theta", "chol_psd", "lower_factor"]


def tril_pairs(q):
    return [(i, j) for j in range(q) for i in range(j, q)]


def theta_layout(q, blocks=()):
    """(pairs, free) of a random-effects covariance: the (row, column) of
    Lambda that theta's entries hold, and their indices in the whole lower
    triangle (tril_pairs), None when every entry is free. With blocks
    (tuples of column indices that are uncorrelated with the others), only
    entries within a block are free."""
    pairs = tril_pairs(q)
    if not blocks:
        return pairs, None
    block_of = {j: b for b, cols in enumerate(blocks) for j in cols}
    free = [k for k, (i, j) in enumerate(pairs) if block_of[i] == block_of[j]]
    return [pairs[k] for k in free], np.array(free, dtype=np.int64)


def theta_to_lambda(theta, q):
    """The q x q lower-triangular factor of a theta (lower triangle, column by column)."""
    lam = np.zeros((q, q))
    for value, (i, j) in zip(theta, tril_pairs(q)):
        lam[i, j] = value
    return lam


def lambda_to_theta(lam):
    return np.array([lam[i, j] for i, j in tril_pairs(lam.shape[0])], dtype=np.float64)


def chol_psd(a):
    """Lower-triangular L with L L' = a for a symmetric positive semidefinite a;
    a column whose pivot vanishes (to rounding) is zero throughout, and the
    diagonal is non-negative."""
    a = np.asarray(a, dtype=np.float64)
    q = a.shape[0]
    lam = np.zeros((q, q))
    scale = max(float(np.max(np.abs(np.diag(a)))), 1e-300)
    for j in range(q):
        s = a[j, j] - lam[j, :j] @ lam[j, :j]
        if not s > 1e-14 * max(a[j, j], scale * 1e-300):
            continue
        d = math.sqrt(s)
        lam[j, j] = d
        lam[j + 1:, j] = (a[j + 1:, j] - lam[j + 1:, :j] @ lam[j, :j]) / d
    return lam


def lower_factor(c):
    """Lower-triangular L with L L' = c c' and a non-negative diagonal, for a
    square c. From the QR factorisation of c' (L = R'), which is accurate to
    rounding of c's entries, where the Cholesky factor of c c' loses half the
    digits (a diagonal entry of 1e-8 |c| is lost in c c'); a triangular c is
    kept as it is. When a diagonal entry vanishes to rounding of c, the
    factor is chol_psd's, whose zero pivots have zero columns."""
    c = np.asarray(c, dtype=np.float64)
    q = c.shape[0]
    with np.errstate(over="ignore", invalid="ignore"):
        lam = np.linalg.qr(c.T, mode="r").T
    if not np.all(np.isfinite(lam)):
        return chol_psd(c @ c.T)
    lam = lam * np.where(np.diag(lam) < 0, -1.0, 1.0)[None, :]
    tol = 64.0 * q * np.finfo(float).eps * float(np.max(np.abs(c)))
    if not np.all(np.diag(lam) > tol):
        return chol_psd(c @ c.T)
    return np.tril(lam)
