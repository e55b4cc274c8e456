"""Each group's own estimate of its random effects, without the prior: the
maximum-likelihood fit of the group's rows on their random-effects columns
with the fixed part (and the offset) held as an offset. These are the
estimates the conditional modes shrink toward zero, which the shrinkage
plot shows.
"""

from __future__ import annotations

import numpy as np

__all__ = ["unpooled_effects"]

# Fisher scoring: at most this many steps, stopping when every step is below
# the tolerance (relative to 1 + |b|); a group whose estimate runs past
# DIVERGED on the link scale (all rows at a boundary: no finite estimate)
# gets NaN.
MAX_STEPS = 100
STEP_TOL = 1e-10
DIVERGED = 30.0


def unpooled_effects(result):
    """(m x q) per-group maximum-likelihood estimates of b_i given beta_hat,
    NaN for a group without a finite estimate (its information singular, or
    the estimate running off to a boundary of the response)."""
    model = result.model
    model._require_rows("the shrinkage plot")
    fam = result.family
    X, Z, y, codes = (np.asarray(model.X, dtype=np.float64), np.asarray(model.Z, dtype=np.float64),
                      np.asarray(model.y, dtype=np.float64), model.codes)
    w = result.model.prior_weights
    fixed = X @ np.asarray(result.beta, dtype=np.float64) + (0.0 if model.offset is None else model.offset)
    m, q = model.m, model.q
    b = np.asarray(result.ranef().to_numpy(), dtype=np.float64).copy()  # start at the modes
    active = np.ones(m, dtype=bool)
    with np.errstate(all="ignore"):
        for _ in range(MAX_STEPS):
            eta = fixed + np.einsum("nk,nk->n", Z, b[codes])
            mu = fam.mean(eta)
            d = fam.mu_eta(eta)
            v = fam.variance(mu)
            score = np.zeros((m, q))
            info = np.zeros((m, q, q))
            np.add.at(score, codes, Z * (w * (y - mu) * d / v)[:, None])
            np.add.at(info, codes, (w * d * d / v)[:, None, None] * Z[:, :, None] * Z[:, None, :])
            ok = active.copy()  # groups already dropped hold NaN, which cond cannot take
            if ok.any():
                ok[ok] = np.linalg.cond(info[ok]) < 1e12
            step = np.zeros((m, q))
            if ok.any():
                step[ok] = np.linalg.solve(info[ok], score[ok][:, :, None])[:, :, 0]
            b = b + step
            active = ok & np.all(np.isfinite(b), axis=1) & (np.max(np.abs(b), axis=1) < DIVERGED)
            b[~active] = np.nan
            if not np.any(np.abs(step[active]) > STEP_TOL * (1.0 + np.abs(b[active]))):
                break
    return b
