"""Dense NumPy reference for the linear mixed model, written from the model's
formulas (marginal covariance, generalised least squares), not from the kernels.

Shared by the criterion tests of every kernel. Meant for small problems only
(n up to a few hundred): it forms the n x n matrix V0 = Z Lb Lb' Z' + I.
"""

import math

import numpy as np

LOG_2PI_PLUS_1 = 1.0 + math.log(2.0 * math.pi)


def make_design(rng, n, p, q, m, empty=(), noise=0.5):
    """Random design with an intercept in X and Z, unequal group sizes (weights
    rising along the groups) and no rows at all for the groups in `empty`.
    Every other group gets at least one row. Returns y, x, z, codes."""
    groups = np.array([g for g in range(m) if g not in empty], dtype=np.int64)
    weights = np.linspace(1.0, 4.0, groups.size)
    codes = rng.choice(groups, size=n, p=weights / weights.sum())
    codes[: groups.size] = groups
    codes = rng.permutation(codes).astype(np.int64)
    x = np.column_stack([np.ones(n), rng.standard_normal((n, p - 1))])
    z = np.column_stack([np.ones(n), rng.standard_normal((n, q - 1))])
    b = rng.standard_normal((m, q))
    y = x @ rng.standard_normal(p) + np.einsum("ij,ij->i", z, b[codes])
    y = y + noise * rng.standard_normal(n)
    return y, np.ascontiguousarray(x), np.ascontiguousarray(z), codes


def lambda_of(theta, q):
    """Lower-triangular q x q factor; theta fills it column by column, each
    column from the diagonal downwards."""
    lam = np.zeros((q, q))
    t = 0
    for j in range(q):
        for k in range(j, q):
            lam[k, j] = theta[t]
            t += 1
    return lam


def block_z(z, codes, m):
    """The n x (m q) random-effects design: row r holds z_r in the columns of
    its group."""
    n, q = z.shape
    zb = np.zeros((n, m * q))
    for r in range(n):
        zb[r, codes[r] * q:(codes[r] + 1) * q] = z[r]
    return zb


def logdet(a):
    sign, value = np.linalg.slogdet(a)
    assert sign > 0
    return value


def reference(y, x, z, codes, m, theta, reml=True):
    """Every quantity of one evaluation at theta, from the marginal model
    y ~ N(X beta, sigma2 V0), V0 = Z Lb Lb' Z' + I."""
    n, p = x.shape
    q = z.shape[1]
    lam = lambda_of(theta, q)
    zl = block_z(z, codes, m) @ np.kron(np.eye(m), lam)
    v0 = zl @ zl.T + np.eye(n)
    vx, vy = np.linalg.solve(v0, x), np.linalg.solve(v0, y)
    xvx = x.T @ vx
    beta = np.linalg.solve(xvx, x.T @ vy)
    r = y - x @ beta
    pwrss = float(r @ np.linalg.solve(v0, r))
    nmp = n - p if reml else n
    ldl2, ldrx2 = logdet(v0), logdet(xvx)
    dev = ldl2 + (ldrx2 if reml else 0.0) + nmp * (1.0 + math.log(2 * math.pi * pwrss / nmp))
    u = np.zeros((m, q))
    for i in range(m):
        zi, xi, yi = z[codes == i], x[codes == i], y[codes == i]
        mi = lam.T @ zi.T @ zi @ lam + np.eye(q)
        u[i] = np.linalg.solve(mi, lam.T @ (zi.T @ yi - zi.T @ xi @ beta))
    return dict(deviance=dev, beta=beta, pwrss=pwrss, sigma2=pwrss / nmp, ldl2=ldl2,
                ldrx2=ldrx2, u=u.ravel(), a_inv=np.linalg.inv(xvx))


def ols_criterion(y, x, reml=True):
    """The criterion with no random effects: ordinary least squares of y on X."""
    n, p = x.shape
    beta = np.linalg.lstsq(x, y, rcond=None)[0]
    rss = float(np.sum((y - x @ beta) ** 2))
    nmp = n - p if reml else n
    return (logdet(x.T @ x) if reml else 0.0) + nmp * (1.0 + math.log(2 * math.pi * rss / nmp))


def central_diff(f, theta, h=1e-5):
    """Central finite-difference gradient of a scalar function of theta."""
    theta = np.asarray(theta, dtype=float)
    g = np.empty(theta.size)
    for k in range(theta.size):
        e = np.zeros(theta.size)
        e[k] = h
        g[k] = (f(theta + e) - f(theta - e)) / (2 * h)
    return g


def bits(a):
    """The IEEE bit patterns of a float or an array, for bit-for-bit comparison."""
    return np.ascontiguousarray(np.asarray(a, dtype=np.float64)).view(np.uint64)
