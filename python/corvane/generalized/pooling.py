"""Identical rows pooled into one weighted row.

Rows with the same group, fixed and random columns, offset and response
have the same log-likelihood term at every parameter value, and that term
is linear in the row's prior weight, so they can be held as one row whose
weight is the sum of theirs: the likelihood, its derivatives and the fit are
unchanged, and every evaluation visits fewer rows. Binary outcomes with
discrete covariates pool well (a few hundred distinct rows out of millions).

The omitted constant must pool the same way: it is linear in the weight for
the Poisson family (-w log y!) and 0 for a 0/1 binomial response, but not
for proportions of several trials (log C(n, k) is not additive), which are
therefore never pooled.

Pooling is chosen only when it pays: a sample of the rows must already show
many repeats, and the whole data at least a quarter fewer rows.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

__all__ = ["Pooling", "pool_rows"]

MIN_ROWS = 10_000       # below this the search costs more than it can save
SAMPLE = 65_536         # rows looked at first
SAMPLE_DISTINCT = 0.8   # a sample with more distinct rows than this share: no pooling
KEEP_AT_MOST = 0.75     # pooled only when at most this share of the rows remains


@dataclass(frozen=True)
class Pooling:
    """The pooled rows: `first` (each one's first row among the caller's),
    `inverse` (the pooled row of each of the caller's rows) and `weights`
    (the sums of the rows' prior weights)."""

    first: np.ndarray
    inverse: np.ndarray
    weights: np.ndarray

    @property
    def rows(self) -> int:
        return len(self.first)

    def expand(self, values):
        """Per-pooled-row values as per-row values, in the caller's order."""
        return np.asarray(values)[self.inverse]


def _distinct(columns, at_most):
    """(first, inverse) of the distinct rows of the columns taken together
    (np.unique's, on one integer per row made from each column's codes), or
    None once one column alone has more than `at_most` distinct values."""
    combined, radix = np.zeros(len(columns[0]), np.int64), 1
    for col in columns:
        values, codes = np.unique(col, return_inverse=True)  # -0.0 and 0.0 compare equal
        if len(values) > at_most:
            return None
        if len(values) == 1:
            continue
        if radix * len(values) >= 2**62:  # renumber the rows' combinations first
            _, combined = np.unique(combined, return_inverse=True)
            combined, radix = combined.ravel().astype(np.int64), int(combined.max()) + 1
        combined = combined * len(values) + codes.ravel()
        radix *= len(values)
    _, first, inverse = np.unique(combined, return_index=True, return_inverse=True)
    return first, inverse.ravel()


def pool_rows(family, codes, X, Z, offset, y, w):
    """The pooling of the rows (all arrays in the caller's row order; offset
    and w may be None: 0 and 1), or None when it is not allowed (binomial
    proportions) or does not pay."""
    n = len(y)
    if n < MIN_ROWS or (family == "binomial" and not np.all((y == 0.0) | (y == 1.0))):
        return None
    def columns(rows):
        return [codes[rows], *X[rows].T, *Z[rows].T, *([] if offset is None else [offset[rows]]), y[rows]]

    if n > SAMPLE:
        sample = _distinct(columns(slice(None, n // SAMPLE * SAMPLE, n // SAMPLE)), SAMPLE_DISTINCT * SAMPLE)
        if sample is None or len(sample[0]) > SAMPLE_DISTINCT * SAMPLE:
            return None
    whole = _distinct(columns(slice(None)), KEEP_AT_MOST * n)
    if whole is None or len(whole[0]) > KEEP_AT_MOST * n:
        return None
    first, inverse = whole
    weights = np.bincount(inverse, weights=w, minlength=len(first)).astype(np.float64)
    return Pooling(first=first, inverse=inverse, weights=weights)
