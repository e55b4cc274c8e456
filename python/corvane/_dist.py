"""The distributions every layer uses, each written once: the normal
quantile and two-sided normal p values (the standard library's, no scipy
needed), and the extras that give the t, F and chi-squared distributions
(scipy) and tables (pandas), each imported with a message naming the extra.
"""

from __future__ import annotations

import math
from statistics import NormalDist

import numpy as np

from ._errors import require

__all__ = ["normal_quantile", "level_quantile", "normal_two_sided", "stats", "pandas"]

_NORMAL = NormalDist()


def normal_quantile(p):
    """The standard normal's p quantile."""
    return _NORMAL.inv_cdf(p)


def level_quantile(level):
    """z with P(|Z| <= z) = level: the quantile of a two-sided interval."""
    return _NORMAL.inv_cdf(0.5 + 0.5 * level)


def normal_two_sided(z):
    """2 P(Z > |z|) for each z (an array); NaN for a non-finite statistic."""
    return np.array([math.erfc(abs(v) / math.sqrt(2.0)) if math.isfinite(v) else math.nan
                     for v in np.atleast_1d(np.asarray(z, dtype=np.float64))])


def stats():
    """scipy.stats (the t, F and chi-squared distributions)."""
    return require("scipy.stats", purpose="t, F and chi-squared distributions")


def pandas():
    """pandas, for the tables."""
    return require("pandas", purpose="tables")
