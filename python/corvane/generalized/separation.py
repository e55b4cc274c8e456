"""Separation in a generalized fit: fixed effects without a finite estimate.

A binomial or Poisson likelihood rises without bound along a direction d of
the fixed effects that moves every row it moves toward the boundary its
response already sits on (x'd <= 0 where y = 0, x'd >= 0 where a binomial y
is 1, x'd = 0 on every other row): the estimates run off along d, the
criterion flattens, and standard errors taken from its curvature there are
meaningless (near 0, or whatever the optimizer's last step left). Random
effects cannot absorb it (their modes are penalised), so the fixed effects'
design alone decides it.

The fit finds the direction for us: the rows it leaves at their boundary
(the outcome they did not have given a negligible expected count) are the
only rows the separated coefficients describe. The directions that move no
other row (the null space of the other rows' design) are candidates, and a
candidate is proved separating by the sign condition above, checked on the
data. The coefficients it moves have no finite estimate (their standard
errors are infinite); every estimable combination keeps its standard error,
from the criterion's curvature on the complement of the separated
directions, which does not depend on how the design codes a factor.
"""

from __future__ import annotations

import functools

import numpy as np

__all__ = ["separated_directions", "affected_coefficients"]

# A row is at its boundary when the outcome it did not have has at most this
# expected count at the fit (the optimizer stops pushing once the criterion
# cannot resolve the gain, about 1e-13 of it, far below this).
_AT_BOUNDARY = 1e-8
# Relative size below which a singular value, or a row's move along a
# direction, counts as zero.
_ZERO = 1e-9


def _unobserved_mass(family, eta, y, w):
    """Per row, the expected count of the outcome the row did not have, at
    the boundary it sits on (inf for rows at no boundary, and for rows whose
    linear predictor is too far from their boundary to be at it)."""
    out = np.full(eta.shape, np.inf)
    w_min = float(np.min(w)) if w.size else 1.0
    if not w_min > 0.0:
        w_min = float(np.min(w[w > 0.0], initial=1.0))
    # The mean is increasing in eta and every weight is at least w_min, so a
    # row at its boundary has eta beyond the point where w_min times the
    # unobserved outcome's mean is _AT_BOUNDARY (a margin of 1 on eta's
    # scale besides): the rows short of it need no mean.
    low = _cut(family, w_min, 0)
    with np.errstate(over="ignore", under="ignore"):
        zero = (y == 0) & (eta <= low)
        if family.counts:
            out[zero] = w[zero] * np.exp(eta[zero])
            return out
        out[zero] = w[zero] * family.mean(eta[zero])
        if family.link == "cloglog":
            high = _cut(family, w_min, 1)
            one = (y == 1) & (eta >= high)
            out[one] = w[one] * np.exp(-np.exp(eta[one]))
        else:  # logit and probit are symmetric: 1 - mu(eta) = mu(-eta)
            one = (y == 1) & (eta >= -low)
            out[one] = w[one] * family.mean(-eta[one])
    return out


@functools.lru_cache(maxsize=64)
def _cut(family, w_min, one):
    """The eta beyond which a row may sit at its boundary: below the first
    (for y = 0), or above the second (a complementary log-log's y = 1)."""
    if one:
        return _crossing(lambda t: w_min * np.exp(-np.exp(t)) - _AT_BOUNDARY, rising=False) - 1.0
    return _crossing(lambda t: w_min * family.mean(t) - _AT_BOUNDARY) + 1.0


def _crossing(f, rising=True):
    """Where the monotone f(t) crosses 0 on [-800, 800], by bisection (an
    end when it does not)."""
    a, b = -800.0, 800.0
    with np.errstate(over="ignore", under="ignore"):
        for _ in range(64):
            mid = 0.5 * (a + b)
            above = float(f(np.array([mid]))[0]) > 0.0
            if above == rising:
                b = mid
            else:
                a = mid
    return 0.5 * (a + b)


def separated_directions(family, X, y, w, eta):
    """An orthonormal basis (p, k) of the fixed-effect directions along which
    the likelihood rises without bound, proved on the data, or None.

    X is the fixed effects' design (n, p, full column rank), y the response
    (binomial proportions or counts), w the prior weights and eta the fitted
    linear predictor (conditional modes included)."""
    X = np.asarray(X, dtype=np.float64)
    y = np.asarray(y, dtype=np.float64)
    mass = _unobserved_mass(family, np.asarray(eta, dtype=np.float64), y, np.asarray(w, dtype=np.float64))
    at_bound = mass <= _AT_BOUNDARY
    if not at_bound.any():
        return None
    scale = np.maximum(np.max(np.abs(X), axis=0), 1e-300)
    rest = X[~at_bound] / scale
    p = X.shape[1]
    if rest.shape[0]:
        _, sv, vt = np.linalg.svd(rest, full_matrices=True)
        rank = int(np.sum(sv > _ZERO * sv[0])) if sv.size and sv[0] > 0 else 0
    else:
        vt, rank = np.eye(p), 0
    null = vt[rank:].T  # scaled coordinates
    if null.shape[1] == 0:
        return None
    moves = X[at_bound] / scale @ null
    toward = np.where(y[at_bound] == 0, -1.0, 1.0)
    if not any(_separating(moves @ d, toward) for d in _candidates(moves, toward, null.shape[1])):
        return None
    # Once the estimates have run off, every direction of the null space
    # moves only rows deep in their tails: none has a finite estimate.
    q, _ = np.linalg.qr(null / scale[:, None])  # back to X's coordinates
    return q


def _separating(t, toward):
    """Whether moves t of the boundary rows all go toward their boundaries
    (and some row moves)."""
    big = np.max(np.abs(t))
    return bool(big > 0 and np.all(toward * t >= -_ZERO * big))


def _candidates(moves, toward, k):
    """Directions within the null space to check: each basis vector with
    the sign that moves the rows toward their boundaries, and (for k > 1)
    the least-squares direction that moves every row by its boundary's
    sign."""
    for j in range(k):
        e = np.zeros(k)
        e[j] = 1.0
        t = moves @ e
        yield e if toward @ t >= 0 else -e
    if k > 1:
        d, *_ = np.linalg.lstsq(moves, toward, rcond=None)
        yield d


def affected_coefficients(directions, tol=_ZERO):
    """Indices of the coefficients the directions (p, k) move."""
    if directions is None:
        return []
    size = np.max(np.abs(directions), axis=1)
    return [j for j in range(directions.shape[0]) if size[j] > tol * np.max(size)]
