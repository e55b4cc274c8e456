"""Checks of what a caller passes, written once, each event with one
message: arguments (levels, interval methods, booleans, starting values,
blocks), shapes (a design's columns, the counts lme4 checks before it
fits), missing and infinite values, and weights. The core's constructors
give the same texts for the same events (finiteness and weights of a
generalized model's rows).
"""

from __future__ import annotations

import math

import numpy as np

__all__ = ["check_level", "DDF_METHODS", "check_ddf", "INTERVAL_METHODS", "check_interval_method", "check_blocks", "non_finite_message",
           "all_finite", "check_not_infinite", "check_finite_products", "check_finite_columns", "check_finite",
           "check_weight_column", "check_weights", "check_bool", "check_starts", "check_columns",
           "check_groups", "check_identifiable"]


def non_finite_message(what, count, nan, first):
    """The one text of missing or infinite values: what has count of them,
    nan of which missing, the first at row first. A route that sees the
    rows a batch at a time (and cannot number them as the table does) gives
    count and first None: the text then names the kind alone."""
    if count is None:
        return f"{what} has {'missing' if nan else 'infinite'} values"
    kind = "missing" if nan == count else "infinite" if nan == 0 else "missing or infinite"
    return f"{what} has {count} {kind} value{'s' if count != 1 else ''} (first at row {first})"


def weights_message(first, value, count):
    """The one text of weights that are not positive and finite."""
    return (f"weights must be positive and finite: row {first} has {value!r} "
            f"({count} such row{'s' if count != 1 else ''})")

# The methods of ``confint``, each spelling mapped to its one name: "boot" is
# lme4's spelling of the bootstrap.
INTERVAL_METHODS = {"wald": "wald", "profile": "profile", "bootstrap": "bootstrap", "boot": "bootstrap"}

_SMALL_CHECK = 1 << 16  # values checked one by one (a temporary of as many flags) rather than summed

def check_level(level):
    """A confidence level as a float strictly between 0 and 1 (a real
    number, not a bool), else ValueError naming it: the one check of every
    interval's ``level``."""
    import numbers

    ok = isinstance(level, numbers.Real) and not isinstance(level, (bool, np.bool_)) and 0.0 < level < 1.0
    if not ok:
        raise ValueError(f"level must be a number between 0 and 1, got {level!r}")
    return float(level)


DDF_METHODS = ("satterthwaite", "kenward-roger", "normal")


def check_ddf(ddf):
    """The ddf argument of every test: one of DDF_METHODS."""
    if ddf not in DDF_METHODS:
        raise ValueError(f"ddf must be one of {', '.join(repr(d) for d in DDF_METHODS)}, got {ddf!r}")
    return ddf


def check_interval_method(method, bootstrap_args):
    """The one name of a ``confint`` method ("wald", "profile" or
    "bootstrap"; "boot" is "bootstrap"), else ValueError naming the accepted
    spellings. bootstrap_args maps the bootstrap's own arguments (n, seed,
    progress) to their values, None where not given: any given to another
    method is a TypeError, since it would be ignored."""
    name = INTERVAL_METHODS.get(method) if isinstance(method, str) else None
    if name is None:
        raise ValueError(f"method must be 'wald', 'profile' or 'bootstrap' (or 'boot'), got {method!r}")
    given = sorted(k for k, v in bootstrap_args.items() if v is not None)
    if name != "bootstrap" and given:
        raise TypeError(f"{', '.join(given)} {'is' if len(given) == 1 else 'are'} for method='bootstrap', "
                        f"not method={method!r}")
    return name


def check_blocks(blocks, q):
    """Uncorrelated blocks of the q random-effect columns as a tuple of
    index tuples (() for one block), each column in exactly one block."""
    if blocks is None:
        return ()
    try:
        out = tuple(tuple(int(j) for j in b) for b in blocks)
    except (TypeError, ValueError):
        raise ValueError(f"blocks must be a sequence of sequences of column indices, got {blocks!r}") from None
    flat = sorted(j for b in out for j in b)
    if any(not b for b in out) or flat != list(range(q)):
        raise ValueError(f"blocks must put each of Z's {q} columns (0..{q - 1}) in exactly one non-empty block, "
                         f"got {blocks!r}")
    return out if len(out) > 1 else ()


def all_finite(*arrays):
    """Whether every value of the arrays is finite: a finite sum of their
    sums proves it (one pass each, no temporary); otherwise each value is
    checked (the sums may only have overflowed). Small arrays are checked
    value by value at once."""
    if sum(a.size for a in arrays) <= _SMALL_CHECK:
        return all(bool(np.isfinite(a).all()) for a in arrays)
    with np.errstate(over="ignore", invalid="ignore"):
        if math.isfinite(sum(float(np.add.reduce(a, axis=None)) for a in arrays)):
            return True
    return all(bool(np.isfinite(a).all()) for a in arrays)


def check_not_infinite(parts):
    """ValueError naming the first column with infinite values among parts,
    (label, matrix, column names) triples: infinite values are an error
    where missing ones drop the row."""
    for label, mat, names in parts:
        bad = np.isinf(mat)
        if bad.any():
            j = int(np.argmax(bad.any(axis=0)))
            what = "the response" if label == "response" else f"the {label} column {names[j]!r}"
            # the same text in memory and a batch at a time
            raise ValueError(non_finite_message(what, None, 0, None)
                             + ": infinite values are not missing values; remove or recode them")


def check_finite_products(arrays):
    """ValueError when accumulated products hold non-finite values (data too
    large for double precision products, or infinite values in a batch)."""
    for key in ("xtx", "xty", "ztz", "ztx", "zty"):
        if not np.all(np.isfinite(arrays[key])):
            raise ValueError("the data are too large in magnitude for double precision products, or hold "
                             "infinite values")
    if not math.isfinite(arrays["yty"]):
        raise ValueError("the response is too large in magnitude for double precision products, or holds "
                         "infinite values")


def check_finite_columns(y, X, Z, fe_names, column_names):
    """ValueError naming the first column with infinite or missing values."""
    for label, a, names in (("response", y[:, None], None), ("fixed-effects", X, fe_names),
                            ("random-effects", Z, column_names)):
        bad = ~np.isfinite(a)
        if bad.any():
            j = int(np.argmax(bad.any(axis=0)))
            if names is None:
                what = "the response"
            else:
                what = f"the {label} column {names[j]!r}" if j < len(names) else f"the {label} column {j}"
            raise ValueError(non_finite_message(what, int(bad[:, j].sum()), int(np.isnan(a[:, j]).sum()),
                                                int(np.argmax(bad[:, j]))))


def check_finite(values, what):
    """values, or a ValueError naming what, the count of missing or
    infinite values and the first row (of a 2-D array: the first column
    holding one, named "what column j")."""
    bad = ~np.isfinite(values)
    if bad.any():
        if values.ndim == 2:
            j = int(np.argmax(bad.any(axis=0)))
            col = values[:, j]
            raise ValueError(non_finite_message(f"{what} column {j}", int(bad[:, j].sum()),
                                                int(np.isnan(col).sum()), int(np.argmax(bad[:, j]))))
        raise ValueError(non_finite_message(what, int(bad.sum()), int(np.isnan(values).sum()),
                                            int(np.argmax(bad))))
    return values


def check_weight_column(frame, weights):
    """The weights column's name when weights= names one (None otherwise);
    ValueError for a name the table lacks."""
    if not isinstance(weights, str):
        return None
    if weights not in frame.columns:
        raise ValueError(f"unknown weights column {weights!r}; the data has columns: "
                         f"{', '.join(map(str, frame.columns))}")
    return weights


def check_weights(w, rows=None):
    """w, or a ValueError naming the first row whose weight is not positive
    and finite (among the rows marked in `rows`, numbered as the data's)."""
    bad = ~(np.isfinite(w) & (w > 0))
    if rows is not None:
        bad &= rows
    if bad.any():
        r = int(np.argmax(bad))
        raise ValueError(weights_message(r, float(w[r]), int(bad.sum())))
    return w


def check_bool(value, name):
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    raise TypeError(f"{name} must be True or False, got {value!r}")


def check_starts(starts, n_theta, q):
    """Starting thetas as rows of n_theta values: one theta or a list of
    them, finite."""
    arr = np.asarray(starts, dtype=np.float64)
    if arr.ndim > 2:
        raise ValueError(f"starts must be one theta or a list of them, got shape {arr.shape}")
    if arr.ndim == 2 and arr.shape[1] != n_theta:
        raise ValueError(f"each start must have {n_theta} entries, got {arr.shape[1]}")
    if arr.size == 0 or arr.size % n_theta:
        raise ValueError(f"starts must hold a multiple of {n_theta} values (theta has "
                         f"{n_theta} entries for {q} random-effect columns), got {arr.size}")
    if not np.isfinite(arr).all():
        raise ValueError("starts must be finite")
    return arr.reshape(-1, n_theta)


def check_columns(p, q):
    """ValueError for a design without fixed- or random-effects columns."""
    if p == 0:
        raise ValueError("X has no columns: the fixed part needs at least one (an intercept)")
    if q == 0:
        raise ValueError("Z has no columns: the random part needs at least one")


def check_groups(n, m, group):
    """Rows at all and at least two groups: what every family needs."""
    if n == 0:
        raise ValueError("no observations")
    if m == 1:
        raise ValueError(f"the grouping factor {group!r} has a single level: random effects need at least "
                         f"two groups")


def check_identifiable(n, p, q, m, group, reml):
    """The checks lme4 makes before it fits a linear model: rows, groups
    and random effects enough to tell the variance parameters apart from the
    residual's, and for REML more rows than fixed-effect columns."""
    check_groups(n, m, group)
    if m == n:
        raise ValueError(f"every one of the {n} observations is its own group in {group!r}: the random "
                         f"effects cannot be told apart from the residuals (the grouping needs fewer "
                         f"levels than observations)")
    if n <= m * q:
        raise ValueError(f"there are {n} observations and {m * q} random effects ({m} groups x {q} "
                         f"per group): the random-effects parameters and the residual variance are "
                         f"not identifiable; the model needs more observations than random effects")
    if reml and n <= p:
        raise ValueError(f"REML needs more observations ({n}) than fixed-effect columns ({p})")
