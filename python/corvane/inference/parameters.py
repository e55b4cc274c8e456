"""A fit's parameters as the intervals, profiles and bootstraps name and
report them: the sd and cor parameters in theta's order (lme4's names),
sigma, the fixed effects; their values on the sd/cor scale; the columns of
an interval's table.
"""

from __future__ import annotations

import numpy as np

from ..design.reparam import theta_to_lambda, tril_pairs

__all__ = ["parameter_names", "theta_pairs", "variance_names", "level_names", "variance_parameters",
           "variance_values", "variance_parameters_of_fits"]


def parameter_names(result):
    """The variance parameters' names in theta's order (sd and cor), then
    "sigma" (a linear model's), then the fixed effects.

    Examples
    --------
    >>> import corvane
    >>> from corvane.inference import parameters
    >>> from corvane._example import example_frame
    >>> r = corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame())
    >>> parameters.parameter_names(r)  # doctest: +NORMALIZE_WHITESPACE
    ['sd((Intercept) | Subject)', 'cor((Intercept), Days | Subject)', 'sd(Days | Subject)', 'sigma',
     '(Intercept)', 'Days']
    >>> parameters.variance_parameters(r).round(2).tolist()
    [17.3, -0.21, 5.76, 24.07]
    """
    sigma = ["sigma"] if result.family_name == "gaussian" else []
    return variance_names(result) + sigma + list(result.fe_names)


def theta_pairs(result):
    """The (row, column) of Lambda that a fit's variance parameters are:
    its model's layout (uncorrelated blocks hold the others at 0), or the
    whole lower triangle."""
    return list(result.model.theta_pairs)


def variance_names(result):
    """The sd and cor parameters' names in theta's order, as lme4's confint
    names them: sd(x | g), cor(x, z | g)."""
    names = []
    for a, b in theta_pairs(result):
        if a == b:
            names.append(f"sd({result.re_names[a]} | {result.group_name})")
        else:
            names.append(f"cor({result.re_names[b]}, {result.re_names[a]} | {result.group_name})")
    return names


def level_names(level):
    """The columns of an interval of coverage level: "2.5 %", "97.5 %" (R's)."""
    lo, hi = 50.0 * (1.0 - level), 50.0 * (1.0 + level)
    return f"{lo:.3g} %", f"{hi:.3g} %"


def variance_parameters(result):
    """sd and cor in theta's order, then sigma (a linear model's; the user's
    scale)."""
    out = []
    for a, b in theta_pairs(result):
        out.append(result.re_std[a] if a == b else result.re_corr[a, b])
    return np.array(out + ([result.sigma] if result.family_name == "gaussian" else []))


def variance_parameters_of_fits(model, rel, sigma):
    """The sd and cor parameters (fits x the model's theta pairs) of many
    fits of one model's design: rel their relative covariances (fits x q x
    q, Reparam.relative_covariance of their core thetas), sigma the
    user's."""
    sd_rel = np.sqrt(np.maximum(np.einsum("rii->ri", rel), 0.0))
    out = np.empty((rel.shape[0], len(model.theta_pairs)))
    for s, (a, b) in enumerate(model.theta_pairs):
        if a == b:
            out[:, s] = sigma * sd_rel[:, a]
        else:
            with np.errstate(invalid="ignore", divide="ignore"):
                out[:, s] = rel[:, a, b] / (sd_rel[:, a] * sd_rel[:, b])
    return out


def variance_values(theta, q, pairs=None):
    """The sd and cor parameters of a theta (user scale; the whole lower
    triangle) at pairs (the layout's, default every one), in theta's order."""
    lam = theta_to_lambda(theta, q)
    cov = lam @ lam.T
    sd = np.sqrt(np.maximum(np.diag(cov), 0.0))
    out = []
    for a, b in (tril_pairs(q) if pairs is None else pairs):
        if a == b:
            out.append(sd[a])
        else:
            out.append(cov[a, b] / (sd[a] * sd[b]) if sd[a] > 0 and sd[b] > 0 else np.nan)
    return np.array(out)
