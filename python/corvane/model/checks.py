"""Every check on a model's data, written once: finiteness, a degenerate
response, identifiability, rank, weights, starting values and a REML fit's
row count.

Each check raises ValueError with a message that names the column, the
count and the first row (or warns, for columns dropped as aliased). The
model's construction path (``LinearMixedModel._construct``) calls them, and
the formula path and :mod:`corvane.model.construct` call those that belong to their
step (columns, infinite values, rank).
"""

from __future__ import annotations

import math

import numpy as np

from .._errors import RankDeficiencyWarning, warn_user

RANK_TOL = 1e-7  # as lme4: |R_jj| <= 1e-7 |x_j| marks column j aliased


# ---- rank -----------------------------------------------------------------------

GRAM_BAND = 1e-8   # s/d below which a pivot of X~'X~ may be rounding (sqrt: 1e-4 of |x_j|)
GRAM_NOISE = 64.0  # the pivots' rounding, in units of eps k / lambda_min of the kept columns


def check_level(level):
    """A confidence level as a float strictly between 0 and 1 (a real
    number, not a bool), else ValueError naming it: the one check of every
    interval's ``level``."""
    import numbers

    ok = isinstance(level, numbers.Real) and not isinstance(level, (bool, np.bool_)) and 0.0 < level < 1.0
    if not ok:
        raise ValueError(f"level must be a number between 0 and 1, got {level!r}")
    return float(level)


# The methods of ``confint``, each spelling mapped to its one name: "boot" is
# lme4's spelling of the bootstrap.
INTERVAL_METHODS = {"wald": "wald", "profile": "profile", "bootstrap": "bootstrap", "boot": "bootstrap"}


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


def _gram_noise(xtx, kept):
    """The rounding of a pivot s/d of X~'X~ after the columns `kept`: about
    eps k / lambda_min of their unit-diagonal cross-product (the Schur
    complement of an aliased column carries the products' rounding times
    |A^-1|), times GRAM_NOISE."""
    if not kept:
        return 0.0
    a = xtx[np.ix_(kept, kept)]
    d = np.sqrt(np.diag(a))
    lo = float(np.linalg.eigvalsh(a / np.outer(d, d))[0])
    return GRAM_NOISE * np.finfo(float).eps * len(kept) / max(lo, 1e-300)


def aliased(xtx, const, residual=None):
    """Columns of X~ that are (numerically) combinations of earlier ones, in
    the manner of R's QR with limited pivoting: Cholesky of X~'X~ in column
    order, a column whose residual falls to RANK_TOL of its norm is left out
    (and not used as a pivot).

    A pivot s of X~'X~ is the column's squared residual only to the
    products' rounding, which for an exactly aliased column can exceed
    RANK_TOL^2 d (factor-by-factor designs with empty cells). A pivot below
    GRAM_BAND d is therefore decided by residual(j, kept), the residual's
    fraction of the column's norm computed on the rows, when the rows are at
    hand; from the products alone, by the pivot against its rounding
    (_gram_noise) as well as RANK_TOL^2.

    A matrix whose pivots are all far above GRAM_BAND (_clearly_full_rank)
    has no aliased column, and is answered without the loop."""
    p = xtx.shape[0]
    if p >= _CHOLESKY_FROM and _clearly_full_rank(xtx):
        return []
    # Python's floats: the same operations as on NumPy's scalars, without their cost.
    a = np.asarray(xtx).tolist()
    lam = [[0.0] * p for _ in range(p)]
    kept = []
    for j in range(p):
        d = a[j][j]
        if not d > 0:
            continue
        row = lam[j]
        s = d - sum(row[k] ** 2 for k in kept)
        if not s > GRAM_BAND * d:
            if residual is not None:
                s = residual(j, kept) ** 2 * d
                if not s > RANK_TOL ** 2 * d:
                    continue
            elif not s > max(RANK_TOL ** 2, _gram_noise(xtx, kept)) * d:
                continue
        pivot = row[j] = math.sqrt(s)
        for i in range(j + 1, p):
            other = lam[i]
            other[j] = (a[i][j] - sum(other[k] * row[k] for k in kept)) / pivot
        kept.append(j)
    return [j for j in range(p) if j not in kept]


# From this many columns a full-rank X~'X~ is recognised by LAPACK's Cholesky
# factor (fewer: the loop costs less than the call).
_CHOLESKY_FROM = 6
# A pivot above this fraction of its column's square norm is no alias: the
# loop's pivots, computed in another order, are within rounding (about
# p eps / CLEAR_PIVOT of the norm) of LAPACK's, far from GRAM_BAND.
CLEAR_PIVOT = 1e-4


def _clearly_full_rank(xtx):
    """Whether every pivot of the Cholesky factor of xtx on the
    unit-diagonal scale is above CLEAR_PIVOT (then aliased keeps every
    column; False when it cannot tell, the loop then decides)."""
    d = np.diagonal(xtx)
    if not bool(np.all(d > 0)) or not bool(np.all(np.isfinite(xtx))):
        return False
    s = np.sqrt(d)
    try:
        lam = np.linalg.cholesky(xtx / s[:, None] / s[None, :])
    except np.linalg.LinAlgError:
        return False
    return bool(np.all(np.square(np.diagonal(lam)) > CLEAR_PIVOT))


def row_residual(rows):
    """residual(j, kept) for aliased on the rows of X~ (rows() gives them,
    called once, when a pivot needs them): the norm of column j less its
    least-squares projection on the columns kept, as a fraction of its norm
    (Householder QR: accurate to the rounding of the rows)."""
    cache = []

    def residual(j, kept):
        if not cache:
            cache.append(rows())
        Xt = cache[0]
        x = Xt[:, j]
        norm = float(np.linalg.norm(x))
        if not norm > 0:
            return 0.0
        if not kept:
            return 1.0
        q, _ = np.linalg.qr(Xt[:, kept] / norm)
        r = x / norm - q @ (q.T @ (x / norm))
        return float(np.linalg.norm(r))
    return residual


EXACT_FIT = 1e-13  # residual sum of squares below this fraction of y~'y~: no residual variation

# A within-group fraction above CLEAR_RESIDUAL by the direct solve of
# _clear_residual is far above EXACT_FIT however the careful path's
# pseudo-inverses round (their rounding is below 1e-6 of y~'y~ when the
# guards of _clear_residual hold).
CLEAR_RESIDUAL = 1e-4
CLEAR_BLOCK = 1e-2             # Z~'Z~ blocks whose pivots are above this fraction of the diagonal (q = 2)
CLEAR_GAP = (1e-11, 1e-8)      # no eigenvalue of the projected X~'X~ (unit diagonal) between these


def exact_fit(core, totals):
    """(fixed, within): the residual sums of squares of y~ on X~, and on X~
    with each group's own Z~ columns (the random effects as free
    coefficients), as fractions of y~'y~, from the core's per-group products
    (totals: its totals()). A fraction below EXACT_FIT means the response is
    a linear function of those columns to rounding (the products carry
    ~1e-16 of y~'y~): the residual variance would be zero.

    The usual data, whose within-group residual is plainly there, are
    answered by _clear_residual (the groups' blocks solved directly in the
    core), with ``fixed`` given as ``within``, which it is never below: both
    far above EXACT_FIT. Anything near the bound goes through the
    pseudo-inverses of _residual_fractions."""
    yty = float(totals["yty"])
    if not yty > 0:
        return 0.0, 0.0
    clear = _clear_residual(core, np.asarray(totals["xtx"]), yty)
    if clear is not None:
        return clear
    return _residual_fractions(core.products(), yty)


def _clear_residual(core, xtx, yty):
    """(within, within) for one or two random-effects columns when the
    within-group fraction is plainly above EXACT_FIT, else None. The core
    solves each group's block Z~'Z~ = L L' by its Cholesky factor, sums
    L^-1 [Z~'X~ Z~'y~]'s cross-products (X~'X~, X~'y~ and y~'y~ less the
    groups' projections at once) and takes the projected X~'X~'s
    pseudo-inverse on the unit-diagonal scale (within_fraction) for up to
    _DIRECT_COLUMNS fixed-effect columns; wider designs take that last step
    here.

    None when a block is not clearly invertible (CLEAR_BLOCK), when the
    projected X~'X~ has an eigenvalue near the pseudo-inverse's cut
    (CLEAR_GAP), or when the fraction is below CLEAR_RESIDUAL: the careful
    path decides those."""
    if not 1 <= core.q <= 2 or core.m == 0:
        return None
    if core.p <= _DIRECT_COLUMNS:
        within = core.within_fraction(CLEAR_BLOCK, *CLEAR_GAP, _EIGEN_CUT)
    else:
        within = _projected_fraction(core.within_groups(CLEAR_BLOCK), xtx, yty)
    if within is None or not within > CLEAR_RESIDUAL:
        return None
    return within, within


# Fixed-effect columns up to which the core's Jacobi eigenvalues decide the
# direct answer (beyond, LAPACK's eigh costs less than the rotations).
_DIRECT_COLUMNS = 16
_EIGEN_CUT = 1e-10  # the careful path's cut for the projected X~'X~ (see _explained)


def _projected_fraction(projected, xtx, yty):
    """within_fraction's answer from within_groups' matrix (None stays None)."""
    if projected is None or not np.all(np.isfinite(projected)):
        return None
    p = projected.shape[0] - 1
    a, b = projected[:p, :p], projected[:p, p]
    d = np.sqrt(np.maximum(np.diagonal(xtx), 0.0))
    d = np.where(d > 0, d, 1.0)
    w, v = np.linalg.eigh(a / np.outer(d, d))
    lo, hi = CLEAR_GAP
    if ((w > lo) & (w < hi)).any():
        return None
    keep = w > _EIGEN_CUT
    explained = float(np.sum((v[:, keep].T @ (b / d)) ** 2 / w[keep]))
    return (float(projected[p, p]) - explained) / yty


def _residual_fractions(arrays, yty):
    """exact_fit by pseudo-inverses throughout (any data).

    The groups' sums go through NumPy's own loops and one symmetric rank-k
    product, not BLAS's vector routines, which start threads for long
    vectors (costly beside the other work of a busy machine)."""
    xtx, xty = np.asarray(arrays["xtx"]), np.asarray(arrays["xty"])
    ztz, ztx, zty = np.asarray(arrays["ztz"]), np.asarray(arrays["ztx"]), np.asarray(arrays["zty"])
    # Each group's Z~ projected out of X~ and y~ (a pseudo-inverse on unit-diagonal blocks).
    g, q, p = ztx.shape
    dz = np.sqrt(np.maximum(np.diagonal(ztz, axis1=1, axis2=2), 0.0))
    dz = np.where(dz > 0, dz, 1.0)
    if q == 1:  # the unit-diagonal block is [[1]] (or [[0]]): its eigenvector is 1
        w = ztz[:, :, 0] / dz / dz
        keep = w > 1e-10 * np.maximum(w, 1e-300)
        scale = np.where(keep, np.sqrt(1.0 / np.where(keep, w, 1.0)) / dz, 0.0)
        zx = ztx[:, 0, :] * scale
        zy = zty[:, 0] * scale[:, 0]
    else:
        w, v = np.linalg.eigh(ztz / dz[:, :, None] / dz[:, None, :])
        keep = w > 1e-10 * np.maximum(w[:, -1:], 1e-300)
        root = np.sqrt(np.where(keep, 1.0 / np.where(keep, w, 1.0), 0.0))
        vt = v.transpose(0, 2, 1)
        zx = (np.matmul(vt, ztx / dz[:, :, None]) * root[:, :, None]).reshape(g * q, p)
        zy = (np.matmul(vt, (zty / dz)[:, :, None])[:, :, 0] * root).reshape(g * q)
    a = xtx - zx.T @ zx
    b = xty - np.einsum("gi,g->i", zx, zy)
    explained_x, explained_xz = _explained(np.stack([xtx, a]), np.stack([xty, b]), np.diag(xtx))
    fixed = yty - explained_x
    within = yty - float(np.einsum("g,g->", zy, zy)) - explained_xz
    return fixed / yty, within / yty


def _explained(a, b, diag):
    """b' a^+ b for symmetric positive semidefinite matrices a (a stack of
    two: X~'X~ itself, and X~'X~ less the groups' projections) on the
    unit-diagonal scaling of diag (X~'X~'s), directions below 1e-10 left
    out: of the largest eigenvalue for X~'X~, of 1 (the scaled diagonal)
    for the second. One eigendecomposition of the stack."""
    d = np.sqrt(np.maximum(diag, 0.0))
    d = np.where(d > 0, d, 1.0)
    w, v = np.linalg.eigh(a / np.outer(d, d))
    out = []
    for k, top in enumerate((max(float(w[0, -1]), 1e-300), 1.0)):
        keep = w[k] > 1e-10 * top
        proj = (v[k][:, keep].T @ (b[k] / d)) ** 2
        out.append(float(np.sum(proj / w[k][keep])))
    return out


def drop_aliased(xtx, rp, fe_names, p, residual=None):
    """(kept columns, the constant column's index among them or None): the
    aliased columns of X~'X~ left out with a RankDeficiencyWarning naming
    them, as lme4 drops them (residual: see aliased)."""
    dropped = aliased(np.asarray(xtx), rp.x_const, residual)
    if not dropped:
        return np.arange(p), rp.x_const
    names = [fe_names[j] for j in dropped]
    warn_user(f"the fixed-effects design is rank deficient: dropping {len(dropped)} "
              f"column{'s' if len(dropped) > 1 else ''} ({', '.join(names)}) that are "
              f"(nearly) combinations of the others", RankDeficiencyWarning)
    kept = np.array([j for j in range(p) if j not in dropped], dtype=np.int64)
    if len(kept) == 0:
        raise ValueError("every fixed-effects column is zero")
    const = None if rp.x_const is None or rp.x_const in dropped else int(np.searchsorted(kept, rp.x_const))
    return kept, const


# ---- finiteness ------------------------------------------------------------------

_SMALL_CHECK = 1 << 16  # values checked one by one (a temporary of as many flags) rather than summed


def finite_totals(t):
    """Whether the core's totals are all finite."""
    # A few dozen values: one check over them all costs less than one per array.
    values = np.concatenate([np.ravel(t[k]) for k in ("xtx", "xty", "yty", "ztz", "ztx", "zty")])
    return bool(np.isfinite(values).all())


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
            raise ValueError(f"the {label}{'' if label == 'response' else ' column'} {names[j]!r} has "
                             f"{int(bad[:, j].sum())} infinite value{'s' if bad[:, j].sum() > 1 else ''}; "
                             f"infinite values are not missing values: remove or recode them")


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
            count = int(bad[:, j].sum())
            inf = int(np.isinf(a[:, j]).sum())
            what = names[j] if names is not None and j < len(names) else f"column {j}"
            kind = "infinite" if inf == count else "missing or infinite"
            raise ValueError(f"the {label} {'' if names is None else 'column '}{what!r}"
                             f"{'' if names is not None else ''} has {count} {kind} value"
                             f"{'s' if count != 1 else ''} (first at row {int(np.argmax(bad[:, j]))})")


def check_finite(values, what, where=""):
    """values, or a ValueError naming what, the count of missing or
    infinite values and the first row (where says of what)."""
    bad = ~np.isfinite(values)
    if bad.any():
        count, nan = int(bad.sum()), int(np.isnan(values).sum())
        kind = "missing" if nan == count else "infinite" if nan == 0 else "missing or infinite"
        raise ValueError(f"{what} has {count} {kind} value{'s' if count > 1 else ''} (first at row "
                         f"{int(np.argmax(bad))}{where})")
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
        raise ValueError(f"weights must be positive and finite: row {r} has {float(w[r])!r} "
                         f"({int(bad.sum())} such row{'s' if bad.sum() > 1 else ''})")
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


# ---- the model's shape ------------------------------------------------------------

def check_columns(p, q):
    """ValueError for a design without fixed- or random-effects columns."""
    if p == 0:
        raise ValueError("X has no columns: the fixed part needs at least one (an intercept)")
    if q == 0:
        raise ValueError("Z has no columns: the random part needs at least one")


def check_identifiable(n, p, q, m, group, reml):
    """The checks lme4 makes before it fits: rows, groups and random effects
    enough to tell the variance parameters apart, and for REML more rows
    than fixed-effect columns."""
    if n == 0:
        raise ValueError("no observations")
    if m == 1:
        raise ValueError(f"the grouping factor {group!r} has a single level: random effects need at least "
                         f"two groups")
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


# ---- the response -----------------------------------------------------------------

def check_varies(y, name):
    """ValueError when every value of the response (less any offset) is the same."""
    if len(y) > 1 and np.minimum.reduce(y) == np.maximum.reduce(y) and np.isfinite(y[0]):
        raise ValueError(f"{name} is constant (every value is {float(y[0])!r}): there is no variation to fit")


def check_varies_products(arrays, const, name):
    """check_varies from accumulated products: y'y less its projection on
    the constant column const of X (None: nothing to check)."""
    if const is None:
        return
    xtx, xty, yty = np.asarray(arrays["xtx"]), np.asarray(arrays["xty"]), float(arrays["yty"])
    if yty - xty[const] * xty[const] / xtx[const, const] <= 1e-28 * max(yty, 1e-300):
        raise ValueError(f"{name} is constant: there is no variation to fit")


# For a response reduced by a preliminary fit (see Reparam.reduced): the
# fraction of the original response's sum of squares at or below which what
# is left is the rounding of y itself (the reduced values carry an error of a
# few units of y's last place, about 1e-32 of its square; this leaves a
# thousand of them).
REDUCED_EXACT_FIT = 1e-26


def check_residual(residual, name, group, reduction=1.0):
    """ValueError when the response leaves no residual variation: an exact
    linear function (to rounding) of the fixed-effects columns, or within
    each group of those and the random-effects columns (residual from
    exact_fit). The fit would have sigma = 0. reduction: the fraction of the
    response's sum of squares a preliminary fit left in the core's response
    (1 without one): the response is then judged by what rounding leaves of
    y itself, not by the size of the fixed effects' share."""
    fixed, within = residual
    cases = ((fixed, f"{name} is an exact linear function of the fixed-effects columns",
              "there is no residual variation to fit"),
             (within, f"{name} is, within each group of {group!r}, an exact linear function of the fixed- and "
                      f"random-effects columns", "the residual variance would be zero"))
    for fraction, what, consequence in cases:
        of_y = fraction * reduction
        if fraction <= EXACT_FIT or (reduction < 1.0 and of_y <= REDUCED_EXACT_FIT):
            raise ValueError(f"{what} (to rounding: its residual sum of squares is {max(of_y, 0.0):.2g} of its "
                             f"sum of squares): {consequence}")


def check_random_columns(ztz, names, group):
    """ValueError when a random-effects column is zero on every row, or a
    linear combination of the others on every row (to rounding): its
    variance and covariances cannot be told apart from the others'."""
    q = len(names)
    ztz = np.asarray(ztz, dtype=np.float64).reshape(q, q)
    dropped = aliased(ztz, None)
    if not dropped:
        return
    j = dropped[0]
    if not ztz[j, j] > 0:
        why = "is zero on every row: its variance does not enter the model"
    else:
        others = [names[k] for k in range(j) if k not in dropped]
        why = (f"is a linear combination of {', '.join(map(repr, others))} on every row (to rounding): "
               f"its variance cannot be told apart from theirs")
    raise ValueError(f"the random-effects column {names[j]!r} (grouped by {group!r}) {why}; drop it "
                     f"from the random-effects term")
