"""Every check on a model's data, written once: finiteness, a degenerate
response, identifiability, rank, weights, starting values and a REML fit's
row count.

Each check raises ValueError with a message that names the column, the
count and the first row (or warns, for columns dropped as aliased). The
model's construction path (``LinearMixedModel._construct``) calls them, and
the formula path and :mod:`corvane.design.construct` call those that belong to their
step (columns, infinite values, rank).
"""

from __future__ import annotations

import math

import numpy as np

from .._errors import RankDeficiencyWarning, warn_user
from .._routes import fast

RANK_TOL = 1e-7  # as lme4: |R_jj| <= 1e-7 |x_j| marks column j aliased


# ---- rank -----------------------------------------------------------------------

GRAM_BAND = 1e-8   # s/d below which a pivot of X~'X~ may be rounding (sqrt: 1e-4 of |x_j|)
GRAM_NOISE = 64.0  # the pivots' rounding, in units of eps k / lambda_min of the kept columns


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
    if p >= _CHOLESKY_FROM and fast() and _clearly_full_rank(xtx):
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


# Rows per block of transformed_gram: a block's copy stays small.
_GRAM_BLOCK = 1 << 16


def transformed_gram(X, a):
    """(X a)'(X a), summed over blocks of rows, without forming X a whole
    (rows in the millions: a copy of the design the size of the data)."""
    p = a.shape[1]
    out = np.zeros((p, p))
    for s in range(0, X.shape[0], _GRAM_BLOCK):
        block = X[s:s + _GRAM_BLOCK] @ a
        out += block.T @ block
    return out


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
    clear = _clear_residual(core, np.asarray(totals["xtx"]), yty) if fast() else None
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


def dropped_columns_note(names):
    """The one text of aliased columns dropped (lme4's): the warning's and
    the summary's."""
    k = len(names)
    return f"fixed-effect model matrix is rank deficient so dropping {k} column{'s' if k > 1 else ''}: " \
           f"{', '.join(names)}"


def drop_aliased(xtx, rp, fe_names, p, residual=None):
    """(kept columns, the constant column's index among them or None): the
    aliased columns of X~'X~ left out with a RankDeficiencyWarning naming
    them, as lme4 drops them (residual: see aliased). Every family's rule;
    rp None for a family that does not reparametrise (no constant column)."""
    x_const = None if rp is None else rp.x_const
    dropped = aliased(np.asarray(xtx), x_const, residual)
    if not dropped:
        return np.arange(p), x_const
    warn_user(dropped_columns_note([fe_names[j] for j in dropped]), RankDeficiencyWarning)
    kept = np.array([j for j in range(p) if j not in dropped], dtype=np.int64)
    if len(kept) == 0:
        raise ValueError("every fixed-effects column is zero")
    const = None if x_const is None or x_const in dropped else int(np.searchsorted(kept, x_const))
    return kept, const


# ---- finiteness ------------------------------------------------------------------


def finite_totals(t):
    """Whether the core's totals are all finite."""
    # A few dozen values: one check over them all costs less than one per array.
    values = np.concatenate([np.ravel(t[k]) for k in ("xtx", "xty", "yty", "ztz", "ztx", "zty")])
    return bool(np.isfinite(values).all())


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
