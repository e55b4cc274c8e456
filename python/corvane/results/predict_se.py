"""Standard errors and intervals of predictions.

The prediction x'beta_hat + z'b_hat_i of a row of a known group estimates
x'beta + z'b_i; its error variance is the quadratic form of (x, z) in the
inverse of the mixed-model equations (Henderson), which holds beta_hat and
b_hat_i jointly. With the relative factor Lambda (b_i = Lambda u_i), the
equations' matrix is [[X'WX, X'WZ Lambda], [Lambda'Z'WX, Lambda'Z'WZ Lambda + I]],
its random-effects block diagonal by group (D_i = Lambda'Z_i'W Z_i Lambda + I).
Eliminating u_i, the inverse's quadratic form of (x, Lambda'z) is

    Var(x'beta_hat + z'b_hat_i - x'beta - z'b_i)
        = e_i' cov(beta_hat) e_i + z' C_i z,   e_i = x - M_i z,

with C_i = sigma^2 Lambda D_i^-1 Lambda' = Var(b_i | y, beta) (the core's
conditional covariances, lme4's condVar) and M_i = X_i'W Z_i C_i / sigma^2
(b_hat_i moves by -M_i' delta when beta_hat moves by delta). So the
variance needs, per group, only Z_i'W X_i and C_i: one pass over the groups,
no rows (the same for a model read in batches), and no inverse of the
random-effects covariance (a singular one is fine).

Everything is computed in the core's parametrisation (centred, scaled
columns: x~ = A_x'x, z~ = A_z'z, and y scaled by y_scale), where the
quadratic forms are well conditioned whatever the data's location and units,
and divided by y_scale^2 at the end.
"""

from __future__ import annotations

import numpy as np

from .._checks import check_weights
from .._dist import level_quantile

__all__ = ["INTERVALS", "PredictionError", "check_interval", "quantile"]

INTERVALS = ("confidence", "prediction")

# Rows handled at once (bounds the gathered per-group matrices: CHUNK x p x q).
CHUNK = 1 << 15


def check_interval(interval):
    if interval is not None and interval not in INTERVALS:
        raise ValueError(f"interval must be None, 'confidence' or 'prediction', got {interval!r}")
    return interval


def quantile(level):
    """The normal quantile z_{(1 + level) / 2}."""
    return level_quantile(level)


class PredictionError:
    """The per-group pieces of a fit's prediction-error variance (see the
    module's notes), in the core's parametrisation: cov(beta~), sigma~^2, the
    random-effects covariance Sigma~_b, the conditional covariances C~_i and
    M~_i = X~_i'Z~_i C~_i / sigma~^2 of every group. A family with other
    pieces (a generalized model's IRLS weights) sets them in its own
    constructor and shares the joint form (fit_variance)."""

    def __init__(self, result):
        model = result.model
        core, rp = model.core, model.reparam
        theta = [float(v) for v in result.theta_core]
        sol = core.solution(theta, reml=result.reml)
        self.sigma2 = float(sol["sigma2"])
        self.cov_beta = np.asarray(sol["cov_beta"], dtype=np.float64)
        self.cov_re = np.asarray(sol["cov_re"], dtype=np.float64)
        self.cond = np.asarray(core.conditional_covariances(theta, reml=result.reml), dtype=np.float64)
        ztx = np.asarray(core.products()["ztx"], dtype=np.float64)  # (m, q, p): Z~_i'X~_i
        with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
            self.slope = np.einsum("gkp,gkl->gpl", ztx, self.cond) / self.sigma2  # (m, p, q)
        self.a_x, self.a_z = np.asarray(rp.a_x), np.asarray(rp.a_z)
        self.unit = 1.0 / (rp.y_scale * rp.y_scale)  # core variances -> the user's

    def fit_variance(self, x, z, rows):
        """Var of each row's prediction error: x'cov(beta)x for rows < 0 (the
        population mean), the joint form e'cov(beta)e + z'C_i z for rows of
        group i >= 0. x: (n, p) user's kept columns; z: (n, q) or None when
        every row is < 0."""
        n = x.shape[0]
        out = np.empty(n)
        with np.errstate(over="ignore", invalid="ignore"):
            for lo in range(0, n, CHUNK):
                hi = min(n, lo + CHUNK)
                xt = x[lo:hi] @ self.a_x
                r = rows[lo:hi]
                known = r >= 0
                if known.any():
                    g = r[known]
                    zt = z[lo:hi][known] @ self.a_z
                    xt[known] -= np.einsum("npq,nq->np", self.slope[g], zt)
                    extra = np.einsum("nk,nkl,nl->n", zt, self.cond[g], zt)
                else:
                    extra = None
                v = np.einsum("np,pr,nr->n", xt, self.cov_beta, xt)
                if extra is not None:
                    v[known] += extra
                out[lo:hi] = v
        return np.maximum(out, 0.0) * self.unit

    def group_variance(self, z):
        """z'Sigma_b z for each row: the variance a group not seen in fitting
        adds to an observation."""
        with np.errstate(over="ignore", invalid="ignore"):
            zt = z @ self.a_z
            return np.maximum(np.einsum("nk,kl,nl->n", zt, self.cov_re, zt), 0.0) * self.unit

    @property
    def residual_variance(self):
        """sigma^2 on the user's scale (of a row of unit weight)."""
        return self.sigma2 * self.unit


def prediction_error(result):
    """The result's PredictionError, computed once."""
    return result.cached("prediction_error", PredictionError)


def frame_of(fit, var_fit, var_new, interval, level, index):
    """The DataFrame of predictions: fit and se (sqrt(var_fit)); with an
    interval, lower and upper at fit -+ z sqrt(var_fit (+ var_new for a
    prediction interval))."""
    from .._errors import require

    pd = require("pandas", purpose="predictions with standard errors")
    se = np.sqrt(var_fit)
    se[np.isnan(fit)] = np.nan
    cols = {"fit": fit, "se": se}
    if interval is not None:
        half = quantile(level) * (np.sqrt(var_fit + var_new) if interval == "prediction" else se)
        cols["lower"] = fit - half
        cols["upper"] = fit + half
    return pd.DataFrame(cols, index=index)


def new_weights(weights, frame, n):
    """Precision weights of n new rows (a column of the frame or one value
    per row), positive and finite; ones for None."""
    if weights is None:
        return np.ones(n)
    if isinstance(weights, str):
        if frame is None or weights not in frame.columns:
            raise ValueError(f"weights={weights!r} names no column of the new data")
        w = frame[weights].to_numpy(dtype=np.float64, na_value=np.nan)
    else:
        w = np.asarray(getattr(weights, "to_numpy", lambda: weights)(), dtype=np.float64)
        w = np.full(n, float(w)) if w.ndim == 0 else w.ravel()
    if len(w) != n:
        raise ValueError(f"weights has {len(w)} values for {n} new rows")
    # a missing weight in a column: that row's prediction interval is NaN
    return check_weights(w, ~np.isnan(w) if isinstance(weights, str) else None)

