"""Likelihood-ratio tests of nested models (lme4's anova of several fits):
the maximum-likelihood refit they need and the check that the fits share
their data.
"""

from __future__ import annotations

import math
import warnings

import numpy as np

from .. import _dist
from .._errors import ConvergenceWarning, warn_user

__all__ = ["ml_refit", "lrt_table"]


def ml_refit(result, name):
    """The fit refitted by maximum likelihood (itself when it is ML). A
    refit whose optimum is not certified warns ConvergenceWarning naming
    the model: a likelihood-ratio test or profile would rest on it; singular refits
    (usual for the smaller model) stay quiet."""
    if not result.reml:
        return result
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        fit = result.model.with_reml(False).fit()
    for w in caught:
        if issubclass(w.category, ConvergenceWarning):
            warn_user(f"the maximum-likelihood refit of {name}: {w.message}", ConvergenceWarning)
    return fit


def _response_summary(result):
    """(n, mean, sum of squares about the mean, y'y) of the response less
    any offset, on the user's scale, None where not known: from the rows, or
    for a model read in batches from its products (y'y, and X'y of the
    constant column, which give the mean)."""
    model = result.model
    if model.rows_kept:
        y = np.asarray(model.y_fit, dtype=np.float64)
        mean = float(np.mean(y))
        return len(y), mean, float(np.sum((y - mean) ** 2)), float(np.sum(y * y))
    return model.reparam.response_moments(model.core.totals())


def _rows_key(result, labels):
    """The fitted rows as a multiset: (group's position in labels, y, weight)
    sorted, so that the same rows in another order give the same arrays."""
    model = result.model
    position = {(type(g), g): k for k, g in enumerate(labels)}
    codes = np.array([position[(type(g), g)] for g in model.group_labels], dtype=np.int64)[model.codes]
    y = np.asarray(model.y, dtype=np.float64)
    w = np.ones_like(y) if model.weights is None else np.asarray(model.weights, dtype=np.float64)
    order = np.lexsort((w, y, codes))
    return codes[order], y[order], w[order]


def _data_difference(a, b):
    """What differs between the data of two fits (a phrase), or None."""
    if a.n_obs != b.n_obs:
        return f"different numbers of observations ({a.n_obs} and {b.n_obs})"
    labels_a = {(type(g), g) for g in a.group_labels}
    if len(a.group_labels) != len(b.group_labels) or labels_a != {(type(g), g) for g in b.group_labels}:
        return (f"different groups ({a.group_name}: {len(a.group_labels)} groups, {b.group_name}: "
                f"{len(b.group_labels)} groups, not the same labels)")
    if a.model.rows_kept and b.model.rows_kept:
        (ca, ya, wa), (cb, yb, wb) = _rows_key(a, a.group_labels), _rows_key(b, a.group_labels)
        if not np.array_equal(np.sort(ya), np.sort(yb)):
            return f"different responses (the values of {a.response_name} and {b.response_name} differ)"
        if not np.array_equal(ca, cb) or not np.array_equal(ya, yb):
            return (f"different rows (the same values of the response, in other groups of "
                    f"{a.group_name})")
        if not np.array_equal(wa, wb):
            return "different weights"
        return None
    if (a.model.weights is None) != (b.model.weights is None):
        return "different weights"
    # A model read in batches: the sums its products keep, to rounding.
    na, mean_a, ss_a, yty_a = _response_summary(a)
    nb, mean_b, ss_b, yty_b = _response_summary(b)

    def close(u, v, scale):
        return abs(u - v) <= 1e-9 * scale

    if mean_a is not None and mean_b is not None:
        spread = math.sqrt(max(ss_a, ss_b, 0.0) / na)
        if not close(mean_a, mean_b, abs(mean_a) + spread) or not close(ss_a, ss_b, max(ss_a, ss_b)):
            return (f"different responses (less any offset; {a.response_name}: mean {mean_a:.10g}, sum of "
                    f"squares about it {ss_a:.10g}; {b.response_name}: {mean_b:.10g}, {ss_b:.10g})")
        return None
    if yty_a is None:
        yty_a = ss_a + na * mean_a * mean_a
    if yty_b is None:
        yty_b = ss_b + nb * mean_b * mean_b
    if not close(yty_a, yty_b, max(yty_a, yty_b)):
        return (f"different responses (less any offset; {a.response_name}: y'y = {yty_a:.10g}; "
                f"{b.response_name}: y'y = {yty_b:.10g})")
    return None


def lrt_table(results, refit=True, names=None):
    """lme4's anova for nested models: npar, AIC, BIC, logLik, deviance,
    Chisq, Df, Pr(>Chisq), rows in increasing npar. The models must be fitted
    to the same data: the same rows (in any order) with the same response,
    groups and weights; for models read in batches, the same number of rows,
    group labels and the response's sums."""
    pd = _dist.pandas()
    stats = _dist.stats()
    if len(results) < 2:
        raise ValueError("anova needs at least two fitted models to compare")
    names = list(names) if names is not None else [f"model{i + 1}" for i in range(len(results))]
    if len(names) != len(results):
        raise ValueError(f"{len(names)} names for {len(results)} models")
    kinds = {r.family_name for r in results}
    # A Poisson model is a negative binomial's limit (NB2: phi -> inf; NB1:
    # phi -> 1): nested, with phi on the boundary of its range.
    counts = kinds in ({"poisson ( log )", "negative_binomial ( log )"},
                       {"poisson ( log )", "negative_binomial1 ( log )"})
    if len(kinds) > 1 and not counts:
        raise ValueError(f"the models are of different families ({', '.join(sorted(kinds))}): likelihood-ratio "
                         f"tests compare models of one family")
    for name, r in zip(names[1:], results[1:]):
        diff = _data_difference(results[0], r)
        if diff is not None:
            raise ValueError(f"{names[0]} and {name} were fitted to {diff}: likelihood-ratio tests need "
                             f"the same data")
    methods = {r.reml for r in results}
    if refit:
        fits = [ml_refit(r, name) for r, name in zip(results, names)]
    else:
        if len(methods) > 1:
            raise ValueError("the models mix REML and ML fits; compare them with refit=True")
        fits = list(results)
    order = sorted(range(len(fits)), key=lambda i: fits[i].n_params)
    rows, prev = [], None
    for i in order:
        r = fits[i]
        dev = r.criterion
        row = {"npar": r.n_params, "AIC": r.aic, "BIC": r.bic, "logLik": r.loglik, "deviance": dev,
               "Chisq": math.nan, "Df": math.nan, "Pr(>Chisq)": math.nan}
        if prev is not None:
            chisq = prev.criterion - dev
            df = r.n_params - prev.n_params
            row["Chisq"] = max(chisq, 0.0)
            row["Df"] = df
            row["Pr(>Chisq)"] = float(stats.chi2.sf(max(chisq, 0.0), df)) if df > 0 else math.nan
            if counts and df > 0 and prev.family_name != r.family_name:
                # phi -> inf is a boundary: the statistic is an equal mixture
                # of chi-squared with df - 1 and df degrees of freedom.
                low = float(stats.chi2.sf(max(chisq, 0.0), df - 1)) if df > 1 else float(chisq <= 0.0)
                row["Pr(>Chisq)"] = 0.5 * low + 0.5 * row["Pr(>Chisq)"]
        rows.append((names[i], row))
        prev = r
    frame = pd.DataFrame([row for _, row in rows], index=[n for n, _ in rows])
    frame["npar"] = frame["npar"].astype(int)
    return frame
