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

__all__ = ["normal_quantile", "level_quantile", "normal_two_sided", "stats", "pandas", "number_table", "t_two_sided"]

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


def t_two_sided(t, df):
    """2 P(T_df > |t|) for arrays of t and df: scipy's Student t survival
    function called directly (scipy.stats' distribution objects add tens of
    microseconds of argument handling to each call, the same bits)."""
    special = require("scipy.special", purpose="t, F and chi-squared distributions")
    with np.errstate(invalid="ignore"):
        return 2.0 * special.stdtr(np.asarray(df, dtype=np.float64), -np.abs(np.asarray(t, dtype=np.float64)))


def pandas():
    """pandas, for the tables."""
    return require("pandas", purpose="tables")


# The Index objects of recent tables by their labels (and name): pandas
# builds an Index of strings in tens of microseconds, more than a small
# fit's table takes otherwise. An Index never changes, so tables share it.
_INDEXES = {}
_KEPT_INDEXES = 256


def _index(labels, name):
    key = (tuple(labels), name)
    index = _INDEXES.get(key)
    if index is None:
        if len(_INDEXES) >= _KEPT_INDEXES:
            _INDEXES.clear()
        index = _INDEXES[key] = pandas().Index(list(labels), name=name)
    return index


def number_table(columns, values, index, index_name=None):
    """A pandas DataFrame of float64 columns named `columns`, holding
    `values` (one array per column) on rows labelled `index`: one block of
    floats, as fast to build as pandas allows."""
    data = np.column_stack([np.asarray(v, dtype=np.float64) for v in values]) if len(values) else \
        np.empty((len(index), 0))
    return pandas().DataFrame(data, index=_index(index, index_name), columns=_index(columns, None), copy=False)
