"""Nakagawa and Schielzeth's R² of a mixed model, as R's
``performance::r2_nakagawa`` computes it (insight's variance components).

With the fixed effects' variance sigma_f^2 = var(X beta) (the rows' linear
predictors without the offset, divisor n - 1), the random effects'
sigma_r^2 = mean over rows of z_i' Sigma z_i (Sigma the random effects'
covariance, z_i the row's random-effect columns: those named as a fixed
effect, and the intercept), and the residual variance sigma^2 (for a generalized model the family's
distribution-specific variance on the link scale, insight 0.19's: pi^2/3,
1 and pi^2/6 for the binomial's logit, probit and cloglog links, and for
the Poisson log(1 + 1/mu) with mu = exp of the intercept of the model
refitted with the intercept as its only fixed effect: the lognormal
approximation):

    marginal = sigma_f^2 / (sigma_f^2 + sigma_r^2 + sigma^2)
    conditional = (sigma_f^2 + sigma_r^2) / (sigma_f^2 + sigma_r^2 + sigma^2)

A random slope whose column is no fixed effect is left out of sigma_r^2, as
insight leaves it out. A singular fit (a diagonal entry of theta below the
tolerance) has no random-effects variance: the conditional R² is NaN and
the marginal one sigma_f^2 / (sigma_f^2 + sigma^2), with a warning, as
performance gives them.

A model read in batches gives the same numbers from its products: X'X and
the constant column give var(X beta), Z'Z gives sigma_r^2.

Uncorrelated terms ('(x || g)', several terms of one group) count every
term's variance in sigma_r^2 (Sigma is then block diagonal): Nakagawa and
Schielzeth's random-effects variance. insight 0.19 (performance 0.10)
counts only the first term of a group there (its later terms, which lme4
names g.1, g.2, ..., are not found), so its R² of such a model differs.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING

import numpy as np

from .._errors import SingularFitWarning, require, warn_user
from ..formula.labels import is_intercept
from ..design.reparam import tril_pairs

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd

__all__ = ["r2_nakagawa", "variance_components"]


def _random_columns(result):
    """Indices of the random effects that enter sigma_r^2: the intercept
    and those named as a kept fixed effect."""
    fixed = set(result.fe_names)
    return [j for j, name in enumerate(result.re_names) if is_intercept(name) or name in fixed]


def _fixed_variance(result):
    model = result.model
    beta = np.asarray(result.beta, dtype=np.float64)
    n = model.n
    if model.rows_kept:
        eta = np.asarray(model.X, dtype=np.float64) @ beta
        return float(np.var(eta, ddof=1))
    rp = model.reparam
    if rp.x_const is None:
        raise ValueError("r2 of a model fitted from data read in batches needs a constant fixed-effects column "
                         "(an intercept) to take the mean of the linear predictor from the products; fit the "
                         "rows in memory for a model without one")
    xtx = rp.x_crossproduct(model.core.totals()["xtx"])
    ones_x = xtx[rp.x_const] / rp.x_const_value  # 1'X
    total = float(ones_x @ beta)
    return float((beta @ xtx @ beta - total * total / n) / (n - 1))


def _random_variance(result, cols):
    model = result.model
    if not cols:
        return 0.0
    sigma = np.asarray(result.cov_re, dtype=np.float64)[np.ix_(cols, cols)]
    if model.rows_kept:
        Z = np.asarray(model.Z, dtype=np.float64)[:, cols]
        return float(np.mean(np.einsum("ij,jk,ik->i", Z, sigma, Z)))
    a_inv = np.linalg.inv(model.reparam.a_z)
    ztz_core = np.asarray(model.core.totals()["ztz"], dtype=np.float64).reshape(model.q, model.q)
    ztz = a_inv.T @ ztz_core @ a_inv
    return float(np.sum(sigma * ztz[np.ix_(cols, cols)]) / model.n)


def _singular(result, tolerance):
    theta = np.asarray(result.theta, dtype=np.float64)
    return any(a == b and abs(theta[k]) < tolerance for k, (a, b) in enumerate(tril_pairs(len(result.re_names))))


def variance_components(result, tolerance=1e-5):
    """(sigma_f^2, sigma_r^2 or None for a singular fit, sigma^2)."""
    if isinstance(tolerance, bool) or not isinstance(tolerance, (int, float)) or not tolerance >= 0:
        raise ValueError(f"tolerance must be a non-negative number, got {tolerance!r}")
    var_f = _fixed_variance(result)
    var_r = None if _singular(result, float(tolerance)) else _random_variance(result, _random_columns(result))
    return var_f, var_r, float(result._r2_residual_variance())


def r2_nakagawa(result, tolerance=1e-5) -> "pd.Series":
    """The marginal and conditional R² (a pandas Series), see the module.

    Parameters
    ----------
    result : LmmResult
    tolerance : float
        The singularity threshold on theta's diagonal entries (performance's
        ``tolerance``).

    Returns
    -------
    pandas.Series
        "marginal" and "conditional".

    Warns
    -----
    SingularFitWarning
        For a singular fit: the conditional R² is NaN.

    Examples
    --------
    >>> import corvane
    >>> from corvane.inference.r2 import r2_nakagawa
    >>> from corvane._example import example_frame
    >>> r = corvane.lmm("Reaction ~ Days + (1 | Subject)", example_frame())
    >>> r2_nakagawa(r).round(3).tolist()
    [0.409, 0.684]
    """
    pd = require("pandas", purpose="tables")
    var_f, var_r, var_e = variance_components(result, tolerance)
    if var_r is None:
        warn_user("r2: the fit is singular (a random-effects variance is zero), so the random effects' "
                  "variance is left out: the conditional R² is NaN and the marginal one does not account "
                  "for the random effects", SingularFitWarning)
        marginal, conditional = var_f / (var_f + var_e), math.nan
    else:
        total = var_f + var_r + var_e
        marginal, conditional = var_f / total, (var_f + var_r) / total
    return pd.Series({"marginal": marginal, "conditional": conditional}, name="R2")
