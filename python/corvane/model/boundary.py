"""Whether a fit lies on the boundary of the covariance parameters: a
variance at zero, or one no data can tell from zero along which the
criterion rises from the bound."""

from __future__ import annotations

import functools

import numpy as np

from ..design.reparam import tril_pairs

# A diagonal entry of the core's Lambda at most this far above 0 (relative to
# the largest |theta|, at least 1) is a variance no data can tell from 0 (a
# sd a millionth of sigma's); it counts as on the bound when the criterion
# rises from the bound along it.
_NEGLIGIBLE_THETA = 1e-6


@functools.lru_cache(maxsize=64)
def _diagonal_entries(q):
    """The positions of Lambda's diagonal in theta (tril_pairs' order)."""
    return tuple(k for k, (a, b) in enumerate(tril_pairs(q)) if a == b)


def singular_theta(theta, q):
    """Whether a fitted theta (the core's) lies on the boundary by the fits'
    rule: a diagonal entry of Lambda at or negligibly above 0 (a variance of
    0, or a correlation of +-1 with the earlier terms). The bootstraps
    judge each replicate by it."""
    return bool(_negligible_diagonal(theta, q))


def undecided_bound(theta, q, held):
    """(undecided, on_bound) of a converged fit's theta (the core's) with
    held (a bool per entry: held on its bound by the fit): on_bound when a
    diagonal entry is held or exactly 0; undecided when a diagonal entry is
    negligible but neither, so that only the criterion's gradient can tell
    (rising_from_bound)."""
    held = np.asarray(held, dtype=bool)
    negligible = _negligible_diagonal(theta, q)
    diagonal = _diagonal_entries(q)
    on_bound = any(held[k] for k in diagonal) or any(float(theta[k]) == 0.0 for k in negligible)
    undecided = any(not held[k] and float(theta[k]) != 0.0 for k in negligible)
    return undecided, on_bound


def _negligible_diagonal(theta, q):
    """Indices of theta's diagonal entries of Lambda that are 0 or
    negligible (at most _NEGLIGIBLE_THETA relative)."""
    theta = np.asarray(theta, dtype=np.float64)
    big = max(1.0, float(np.maximum.reduce(np.abs(theta), axis=None))) if theta.size else 1.0
    values = theta.tolist()
    return {k for k in _diagonal_entries(q) if abs(values[k]) <= _NEGLIGIBLE_THETA * big}


def rising_from_bound(gradient, theta, q):
    """Diagonal entries of a converged fit's theta that are negligible but
    not exactly 0, along which the criterion rises from the bound: its
    derivative at _NEGLIGIBLE_THETA (relative), the other entries as
    fitted, is positive. gradient(theta) gives the criterion's gradient
    (theta's entries first; RuntimeError where it cannot be evaluated).
    The fit's optimum is then on the bound (the Newton iterates approach a
    bound of an even criterion without reaching it); an entry along which
    the criterion falls is left interior."""
    theta = np.asarray(theta, dtype=np.float64)
    out = set()
    for k in _negligible_diagonal(theta, q):
        if theta[k] == 0.0:
            continue
        probe = theta.copy()
        probe[k] = _NEGLIGIBLE_THETA * max(1.0, float(np.max(np.abs(theta))))
        try:
            grad = gradient(probe)
        except RuntimeError:
            continue
        if grad[k] > 0.0:
            out.add(k)
    return out
