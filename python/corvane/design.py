"""From arrays to a core: group labels, checks, and the reparametrisation.

The core is built on centred, power-of-two-scaled columns, so that no digits
cancel in y'y or X'X minus their reductions and the optimiser sees a balanced
problem, whatever the data's location and units:

- y is shifted (when X has a constant column) and scaled;
- X's non-constant columns are shifted (when X has a constant column);
- Z's non-constant columns are expressed about their means (when Z has a
  constant column: an invertible linear map of the random-effects basis,
  under which the unstructured covariance family is closed);
- every column of y, X and Z is scaled by a power of two (exact).

Shifts and scales come from a sample of rows spread through the data and are
applied by the core as it reads the rows (no copy). The core's totals then
show whether the sample represented the data; if not, the core is rebuilt
with the exact means. :class:`Reparam` maps every quantity back to the
user's parametrisation.
"""

from __future__ import annotations

import decimal
import math
import numbers
import warnings
from dataclasses import dataclass, replace

import numpy as np

from ._corvane import Accumulator, LmmCore
from ._errors import RankDeficiencyWarning, warn_user

__all__ = ["factorize", "Reparam", "Prepared", "prepare", "chol_psd", "theta_to_lambda",
           "lambda_to_theta"]

SAMPLE_ROWS = 4096
RANK_TOL = 1e-7  # as lme4: |R_jj| <= 1e-7 |x_j| marks column j aliased


# ---- theta <-> Lambda ----------------------------------------------------------

def _tril_pairs(q):
    return [(i, j) for j in range(q) for i in range(j, q)]


def theta_to_lambda(theta, q):
    """The q x q lower-triangular factor of a theta (lower triangle, column by column)."""
    lam = np.zeros((q, q))
    for value, (i, j) in zip(theta, _tril_pairs(q)):
        lam[i, j] = value
    return lam


def lambda_to_theta(lam):
    return np.array([lam[i, j] for i, j in _tril_pairs(lam.shape[0])], dtype=np.float64)


def chol_psd(a):
    """Lower-triangular L with L L' = a for a symmetric positive semidefinite a;
    a column whose pivot vanishes (to rounding) is zero throughout, and the
    diagonal is non-negative."""
    a = np.asarray(a, dtype=np.float64)
    q = a.shape[0]
    lam = np.zeros((q, q))
    scale = max(float(np.max(np.abs(np.diag(a)))), 1e-300)
    for j in range(q):
        s = a[j, j] - lam[j, :j] @ lam[j, :j]
        if not s > 1e-14 * max(a[j, j], scale * 1e-300):
            continue
        d = math.sqrt(s)
        lam[j, j] = d
        lam[j + 1:, j] = (a[j + 1:, j] - lam[j + 1:, :j] @ lam[j, :j]) / d
    return lam


def lower_factor(c):
    """Lower-triangular L with L L' = c c' and a non-negative diagonal, for a
    square c. From the QR factorisation of c' (L = R'), which is accurate to
    rounding of c's entries, where the Cholesky factor of c c' loses half the
    digits (a diagonal entry of 1e-8 |c| is lost in c c'); a triangular c is
    kept as it is. When a diagonal entry vanishes to rounding of c, the
    factor is chol_psd's, whose zero pivots have zero columns."""
    c = np.asarray(c, dtype=np.float64)
    q = c.shape[0]
    with np.errstate(over="ignore", invalid="ignore"):
        lam = np.linalg.qr(c.T, mode="r").T
    if not np.all(np.isfinite(lam)):
        return chol_psd(c @ c.T)
    lam = lam * np.where(np.diag(lam) < 0, -1.0, 1.0)[None, :]
    tol = 64.0 * q * np.finfo(float).eps * float(np.max(np.abs(c)))
    if not np.all(np.diag(lam) > tol):
        return chol_psd(c @ c.T)
    return np.tril(lam)


# ---- group labels ---------------------------------------------------------------

_ORDERED = (str, bytes, numbers.Real)


def _native(v):
    return v.item() if isinstance(v, np.generic) else v


def _missing(v):
    return v is None or (isinstance(v, float) and math.isnan(v)) or v is getattr(np, "nan", None) or (
        type(v).__name__ in ("NAType", "NaTType"))


def _sortable(values):
    """Whether the distinct labels have one total order: all of one kind
    among str, bytes and real numbers (bools and numbers mix)."""
    kinds = set()
    for v in values:
        if isinstance(v, str):
            kinds.add(str)
        elif isinstance(v, bytes):
            kinds.add(bytes)
        elif isinstance(v, numbers.Real) and not (isinstance(v, float) and math.isnan(v)):
            kinds.add(numbers.Real)
        elif isinstance(v, decimal.Decimal) and not v.is_nan():  # decimals order with numbers
            kinds.add(numbers.Real)
        else:
            return False
    return len(kinds) == 1


def factorize(groups, name="groups"):
    """Group codes 0..m-1 (int64) and the m labels.

    Integers, floats, strings and bytes are sorted (a pandas Categorical keeps
    its categories' order and drops unused ones); labels of mixed kinds, or
    of kinds without a total order (frozensets, tuples, objects), are
    numbered in order of first appearance by hashing, so that 1 and "1" are
    two groups. Missing labels raise ValueError.
    """
    if type(groups).__module__.split(".")[0] == "pandas":
        import pandas as pd

        series = groups if hasattr(groups, "cat") or not hasattr(groups, "columns") else None
        if series is None:
            raise ValueError(f"{name} must be one-dimensional")
        if isinstance(series.dtype, pd.CategoricalDtype):
            codes = series.cat.codes.to_numpy()
            if (codes < 0).any():
                raise ValueError(f"{name} has a missing label at row {int(np.argmax(codes < 0))}")
            used = np.bincount(codes, minlength=len(series.cat.categories)) > 0
            remap = np.cumsum(used) - 1
            labels = [_native(c) for c, u in zip(series.cat.categories, used) if u]
            return np.ascontiguousarray(remap[codes], dtype=np.int64), labels
        groups = series.to_numpy()
    arr = groups if isinstance(groups, np.ndarray) else None
    if arr is None:
        seq = list(groups)
        arr = np.empty(len(seq), dtype=object)
        arr[:] = seq
    if arr.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got shape {arr.shape}")
    kind = arr.dtype.kind
    if kind in "iu":
        return _factorize_integers(arr)
    if kind == "b":
        arr = arr.astype(np.int64)
        codes, labels = _factorize_integers(arr)
        return codes, [bool(v) for v in labels]
    if kind == "f":
        bad = np.isnan(arr)
        if bad.any():
            raise ValueError(f"{name} has a missing label at row {int(np.argmax(bad))}")
        uniques, codes = np.unique(arr, return_inverse=True)
        return np.ascontiguousarray(codes.reshape(-1), dtype=np.int64), [float(v) for v in uniques]
    if kind in "US":
        uniques, codes = np.unique(arr, return_inverse=True)
        return np.ascontiguousarray(codes.reshape(-1), dtype=np.int64), [_native(v) for v in uniques]
    if kind == "M" or kind == "m":
        uniques, codes = np.unique(arr, return_inverse=True)
        return np.ascontiguousarray(codes.reshape(-1), dtype=np.int64), list(uniques)
    fast = _factorize_strings(arr)
    if fast is not None:
        return fast
    # Objects: first appearance by hashing, keyed by (type, value) so that
    # equal-looking labels of different kinds stay apart.
    values = arr.tolist()
    index, labels, codes = {}, [], np.empty(len(values), dtype=np.int64)
    for r, v in enumerate(values):
        if _missing(v):
            raise ValueError(f"{name} has a missing label at row {r}")
        key = (type(v), v)
        try:
            c = index.get(key)
        except TypeError:
            raise ValueError(f"{name} has an unhashable label at row {r}: {v!r}") from None
        if c is None:
            c = index[key] = len(labels)
            labels.append(v)
        codes[r] = c
    if _sortable(labels):
        try:
            order = sorted(range(len(labels)), key=lambda k: labels[k])
        except TypeError:
            order = None
        if order is not None:
            rank = np.empty(len(labels), dtype=np.int64)
            rank[order] = np.arange(len(labels))
            return rank[codes], [labels[k] for k in order]
    return codes, labels


def _factorize_strings(arr):
    """Sorted codes for an object array of nothing but str, by pandas' hash
    table (None without pandas or for any other content)."""
    try:
        import pandas as pd
    except ImportError:
        return None
    if pd.api.types.infer_dtype(arr, skipna=False) != "string":
        return None
    codes, uniques = pd.factorize(arr, sort=True)
    return np.ascontiguousarray(codes, dtype=np.int64), list(uniques)


def _factorize_integers(arr):
    arr = np.asarray(arr)
    n = len(arr)
    if n == 0:
        return np.zeros(0, dtype=np.int64), []
    lo, hi = int(arr.min()), int(arr.max())
    if lo >= 0 and hi < 4 * n + 1024:
        counts = np.bincount(arr, minlength=hi + 1)
        present = counts > 0
        if present.all() and arr.dtype == np.int64 and arr.flags.c_contiguous:
            return arr, list(range(hi + 1))  # already codes 0..m-1: no copy
        lut = np.cumsum(present) - 1
        return np.ascontiguousarray(lut[arr], dtype=np.int64), np.flatnonzero(present).tolist()
    uniques, codes = np.unique(arr, return_inverse=True)
    return np.ascontiguousarray(codes.reshape(-1), dtype=np.int64), [int(v) for v in uniques]


# ---- the reparametrisation ------------------------------------------------------

def sample_rows(n):
    """Indices of up to SAMPLE_ROWS rows spread evenly over n (all of them
    when n is smaller), increasing."""
    if n <= SAMPLE_ROWS:
        return np.arange(n)
    # steps of at least one row: the truncated positions are distinct
    return np.linspace(0, n - 1, SAMPLE_ROWS).astype(np.int64)


def _pow2_scale(rms):
    """A power of two s with s * rms in [0.7, 1.4), or 1 for a zero or
    non-finite rms."""
    if not (rms > 0 and math.isfinite(rms)):
        return 1.0
    return 2.0 ** (-round(math.log2(rms)))


def constant_column(sample):
    """The index of the first column that is constant and non-zero over the
    sampled rows, or None. The shifts are taken relative to this column (a
    linear map of the columns whatever its other values), so a column that
    only looks constant costs conditioning, never correctness."""
    for j in range(sample.shape[1]):
        v = sample[0, j]
        if v != 0 and np.all(sample[:, j] == v):
            return j
    return None


@dataclass(frozen=True)
class Reparam:
    """The map between the user's parametrisation and the core's.

    The core's columns of X are the user's, except that without a constant
    column but with a unit combination c (X c = 1 on the rows) the reference
    column r (the last one c uses) holds X c instead: X' = X M with
    M = I + (c - e_r) e_r'. With r the reference column of X' (value v0) and
    k0 that of Z (value w0): y~ = (y - y_shift X'[:, r] / v0) y_scale,
    X~ = X' T_x diag(x_scale) = X A_x, Z~ = Z T_z diag(z_scale) = Z A_z, where
    T = I - e_r shift' / v0 (each column minus its shift times the reference
    column's ratio). Shifts are 0 for the reference columns, and for all
    columns of X (and y) when X has no reference column, of Z when Z has none.
    For a weighted model the rows are those scaled by sqrt(w) (the reference
    column is then sqrt(w_i) v0), and the scales include one power of two for
    the weights' typical size."""

    y_shift: float
    y_scale: float
    x_shift: np.ndarray
    x_scale: np.ndarray
    z_shift: np.ndarray
    z_scale: np.ndarray
    x_const: int | None         # the user's constant column of X, or None
    x_const_value: float        # v0: the reference column's value (1 for a unit combination)
    z_const: int | None
    z_const_value: float
    x_unit: np.ndarray | None = None  # c with X c = 1, when X has no constant column; else None

    @property
    def p(self):
        return len(self.x_shift)

    @property
    def q(self):
        return len(self.z_shift)

    @property
    def x_ref(self):
        """The reference column of the core's X (None without one)."""
        if self.x_unit is None:
            return self.x_const
        return _unit_column(self.x_unit)

    def _a(self, shift, scale, const, value):
        k = len(shift)
        t = np.eye(k)
        if const is not None:
            t[const, :] -= shift / value
        return t * scale  # (T diag(scale))[i, j] = T[i, j] scale[j]

    def _basis(self, a):
        """M a: rows of a map from the core's columns of X to the user's."""
        if self.x_unit is None:
            return a
        r = self.x_ref
        e = np.zeros(self.p)
        e[r] = 1.0
        return a + np.outer(self.x_unit - e, a[r])

    @property
    def a_x(self):
        return self._basis(self._a(self.x_shift, self.x_scale, self.x_ref, self.x_const_value))

    @property
    def a_z(self):
        return self._a(self.z_shift, self.z_scale, self.z_const, self.z_const_value)

    def core_design(self, X):
        """The core's columns X' for the user's (kept) columns X: X itself, or
        with the reference column replaced by X c for a unit combination.
        Linear in the rows, so rows scaled by sqrt(w) give the scaled X'."""
        return X if self.x_unit is None else _with_unit(X, self.x_unit)

    def core_response(self, y, X):
        """y~ for the rows (X the core's columns, as core_design gives them;
        y of shape (n,) or (count, n)), as the core forms it."""
        r = self.x_ref
        if r is None:
            return np.ascontiguousarray((y - self.y_shift) * self.y_scale)
        return np.ascontiguousarray((y - self.y_shift * (X[:, r] / self.x_const_value)) * self.y_scale)

    # -- core -> user
    def beta_offset(self):
        """The constant o in beta = A_x beta~ / y_scale + o: y's shift moved
        into the reference column's coefficient (zero without a shift)."""
        o = np.zeros(self.p)
        if self.x_unit is not None:
            o += self.x_unit * (self.y_shift / self.x_const_value)
        elif self.x_const is not None:
            o[self.x_const] = self.y_shift / self.x_const_value
        return o

    def beta(self, beta_core):
        """beta from beta~ (shape (p,), or (count, p) for rows of replicates)."""
        bc = np.asarray(beta_core)
        t = self.a_x / self.y_scale
        b = t @ bc if bc.ndim == 1 else bc @ t.T
        if self.x_unit is not None:
            b += self.beta_offset()
        elif self.x_const is not None:
            b[..., self.x_const] += self.y_shift / self.x_const_value
        return b

    def cov_beta(self, cov_core):
        """cov(beta) = A_x cov~ A_x' / y_scale^2 (entries beyond double
        precision's range are inf: see std_errors)."""
        a = self.a_x / self.y_scale
        with np.errstate(over="ignore", invalid="ignore"):
            return a @ cov_core @ a.T

    def std_errors(self, cov_core):
        """sqrt(diag(cov(beta))), each row of A_x scaled by its largest entry
        first, so that a standard error is finite whenever it is representable
        (even when its square is not)."""
        a = self.a_x
        out = np.empty(a.shape[0])
        for j in range(a.shape[0]):
            big = float(np.max(np.abs(a[j])))
            r = a[j] / big
            out[j] = math.sqrt(max(float(r @ cov_core @ r), 0.0)) * big / self.y_scale
        return out

    def sigma(self, sigma_core):
        return sigma_core / self.y_scale

    def random_effects(self, b_core):
        """Rows b~_i (m x q) -> b_i."""
        return np.asarray(b_core) @ (self.a_z.T / self.y_scale)

    def conditional_covariances(self, c_core):
        a = self.a_z / self.y_scale
        with np.errstate(over="ignore", invalid="ignore"):
            return np.einsum("ij,gjk,lk->gil", a, c_core, a)

    def theta(self, theta_core):
        """The user's theta: the lower-triangular factor of A_z Lambda~ (A_z Lambda~)'."""
        return lambda_to_theta(lower_factor(self.a_z @ theta_to_lambda(theta_core, self.q)))

    def criterion(self, crit_core, nmp, reml):
        """The criterion of the user's data from the core's (a number or an
        array of them): -2 log of the y scale's Jacobian, and under REML
        log det(A_x)^2 (the X scales, and c_r for a unit combination)."""
        out = crit_core - 2.0 * nmp * math.log(self.y_scale)
        if reml:
            out -= 2.0 * float(np.sum(np.log(self.x_scale)))
            if self.x_unit is not None:
                out -= 2.0 * math.log(abs(float(self.x_unit[self.x_ref])))
        return out

    # -- user -> core
    def theta_to_core(self, theta_user):
        lam = theta_to_lambda(theta_user, self.q)
        return lambda_to_theta(lower_factor(np.linalg.inv(self.a_z) @ lam))

    def scaled(self, factor):
        """The same map for rows all multiplied by the power of two 1 / factor
        (every scale times factor; exact)."""
        return replace(self, y_scale=self.y_scale * factor, x_scale=self.x_scale * factor,
                       z_scale=self.z_scale * factor)

    def kept(self, kept, const):
        """The map for the kept columns of X (const: the constant column's
        index among them, or None when it was dropped: then nothing is
        shifted). A unit combination that uses a dropped column is lost
        likewise."""
        unit = None if self.x_unit is None else self.x_unit[kept]
        if unit is not None and np.count_nonzero(unit) < np.count_nonzero(self.x_unit):
            unit = None
        shifted = const is not None or unit is not None
        return Reparam(self.y_shift if shifted else 0.0, self.y_scale,
                       self.x_shift[kept] if shifted else np.zeros(len(kept)), self.x_scale[kept],
                       self.z_shift, self.z_scale, const, self.x_const_value if shifted else 1.0,
                       self.z_const, self.z_const_value, unit)


def _unit_column(c):
    """The reference column of a unit combination: the last column it uses,
    unless its part is small beside the largest (then the largest), so that
    M is well conditioned and, in the usual case, the columns before it keep
    their span (which aliased columns are dropped stays as for X)."""
    nz = np.flatnonzero(c)
    last = int(nz[-1])
    big = int(np.argmax(np.abs(c)))
    return last if abs(c[last]) >= 0.5 * abs(c[big]) else big


def _with_unit(X, c):
    """X with its unit combination's reference column replaced by X c."""
    out = np.array(X, dtype=np.float64, order="C")
    out[:, _unit_column(c)] = X @ c
    return out


UNIT_TOL = 1e-10  # |X c - 1| on every row for a unit combination


def unit_combination(X):
    """c with X c = 1 on these rows (to UNIT_TOL), from the columns that are
    not (numerically) combinations of earlier ones, or None. Entries within
    rounding of an integer are made that integer (X c is then exactly 1 for
    indicator columns)."""
    n, p = X.shape
    if n == 0:
        return None
    with np.errstate(over="ignore", invalid="ignore"):
        big = np.max(np.abs(X), axis=0)
    usable = np.isfinite(big) & (big > 0)
    if not usable.any():
        return None
    u = X[:, usable] / big[usable]
    cols = np.flatnonzero(usable)
    dropped = set(_aliased(u.T @ u, None))
    basis = [k for k in range(len(cols)) if k not in dropped]
    sol = np.linalg.lstsq(u[:, basis], np.ones(n), rcond=None)[0]
    c = np.zeros(p)
    c[cols[basis]] = sol / big[cols[basis]]
    near = np.round(c)
    snap = np.abs(c - near) <= 1e-9 * np.maximum(1.0, np.abs(c))
    c[snap] = near[snap] + 0.0  # no negative zeros
    if not np.any(c):
        return None
    if not np.all(np.abs(X @ c - 1.0) <= UNIT_TOL):
        return None
    return c


def _location_scale(col, shifted):
    """(shift, power-of-two scale) of a column of values: its mean when
    shifted, and the scale that brings the root mean square about the shift
    near 1. The values are divided by their largest magnitude first, so that
    no square overflows or underflows."""
    big = float(np.max(np.abs(col))) if len(col) else 0.0
    if not (big > 0 and math.isfinite(big)):
        return 0.0, 1.0
    u = col / big
    mean = float(np.mean(u)) if shifted else 0.0
    rms = float(np.sqrt(np.mean((u - mean) ** 2)))
    return mean * big, _pow2_scale(rms * big) if rms > 0 else _pow2_scale(big)


def _reparam_of(y, X, Z, x_const, z_const, unit=None):
    """The reparametrisation from these rows (all, or a sample). With a unit
    combination (x_const None), X holds the core's columns (see
    Reparam.core_design) and its reference column is X c, of value 1."""
    def columns(a, const, centred):
        k = a.shape[1]
        shift, scale = np.zeros(k), np.ones(k)
        for j in range(k):
            if j == const:
                scale[j] = _pow2_scale(abs(float(a[0, j])))
            else:
                shift[j], scale[j] = _location_scale(a[:, j], centred)
        return shift, scale

    x_ref = x_const if unit is None else _unit_column(unit)
    x_shift, x_scale = columns(X, x_ref, x_ref is not None)
    z_shift, z_scale = columns(Z, z_const, z_const is not None)
    y_shift, y_scale = _location_scale(y, x_ref is not None)
    v0 = float(X[0, x_const]) if x_const is not None else 1.0
    w0 = float(Z[0, z_const]) if z_const is not None else 1.0
    return Reparam(y_shift, y_scale, x_shift, x_scale, z_shift, z_scale, x_const, v0, z_const, w0, unit)


# ---- building the core ----------------------------------------------------------

@dataclass
class Prepared:
    """A core built on the reparametrised design, with what maps it back."""

    core: LmmCore
    reparam: Reparam
    kept: np.ndarray  # indices of X's columns the core uses (aliased ones dropped)
    totals: dict
    weighted: tuple | None = None  # (sqrt(w) or None, X, Z) as the core holds them, when not the model's rows
    residual: tuple | None = None  # (fixed, within): see exact_fit


def transform_args(rp):
    """The Accumulator's keyword arguments for a reparametrisation."""
    return dict(y_shift=rp.y_shift, y_scale=rp.y_scale, x_shift=rp.x_shift, x_scale=rp.x_scale,
                z_shift=rp.z_shift, z_scale=rp.z_scale, x_ref=rp.x_ref, x_ref_value=rp.x_const_value,
                z_ref=rp.z_const, z_ref_value=rp.z_const_value)


def _build(y, X, Z, codes, rp, evaluator="auto", products=False):
    """The core of rows as the core holds them (X from core_design); with
    products, (core, the accumulated products as arrays)."""
    acc = Accumulator(X.shape[1], Z.shape[1], **transform_args(rp))
    acc.add(y, X, Z, codes)
    if products:
        arrays = acc.to_arrays()
        return acc.finish(evaluator), arrays
    return acc.finish(evaluator)


def reparam_from_sample(y, X, Z):
    """The reparametrisation from a sample of these rows (the first batch of
    data read in batches). Without a constant column, a unit combination
    found in the sample is used whatever the other rows hold: the core's
    columns X' = X M are then a linear map of X's on every row, so it costs
    at most conditioning, never correctness."""
    idx = sample_rows(len(y))
    xs, zs, ys = X[idx], Z[idx], y[idx]
    x_const, z_const = constant_column(xs), constant_column(zs)
    unit = unit_combination(xs) if x_const is None else None
    return _reparam_of(ys, xs if unit is None else _with_unit(xs, unit), zs, x_const, z_const, unit)


# ---- data read in batches ------------------------------------------------------------

def level_order(values):
    """Distinct values in the order levels take when nothing else orders
    them: sorted when they have one total order (see ``_sortable``), else in
    order of first appearance."""
    values = list(values)
    if _sortable(values):
        try:
            return sorted(values)
        except TypeError:
            pass
    return values


def merge_level_orders(orders, column):
    """One level order from the category orders of several parts of a table
    (files, batches, partitions): the order every part agrees on, with the
    values whose relative place no part fixes put in :func:`level_order`.

    orders is a list of (where, categories) with where naming the part (a
    file, "partition 3"). Identical orders (the usual case: every part
    written from one categorical) give that order; parts that order two
    values differently raise ValueError naming the column and both parts.
    """
    distinct = []
    for where, seq in orders:
        seq = [_native(v) for v in seq]
        if not any(seq == other for _, other in distinct):
            distinct.append((where, seq))
    if not distinct:
        return []
    if len(distinct) == 1:
        return list(distinct[0][1])
    # A topological sort of "a comes before b" from each part's neighbours;
    # ties broken by level_order, a cycle is a disagreement.
    first, succ, indeg = {}, {}, {}
    for _, seq in distinct:
        for v in seq:
            if v not in first:
                first[v] = len(first)
                succ[v], indeg[v] = {}, 0  # dicts as ordered sets: a rerun gives the same order
        for a, b in zip(seq, seq[1:]):
            if b not in succ[a]:
                succ[a][b] = None
                indeg[b] += 1
    ready = [v for v in first if indeg[v] == 0]
    out = []
    while ready:
        v = level_order(ready)[0]
        ready.remove(v)
        out.append(v)
        for w in succ[v]:
            indeg[w] -= 1
            if indeg[w] == 0:
                ready.append(w)
    if len(out) == len(first):
        return out
    for i, (wa, a) in enumerate(distinct):
        for wb, b in distinct[i + 1:]:
            common = set(a) & set(b)
            ca, cb = [v for v in a if v in common], [v for v in b if v in common]
            if ca != cb:
                raise ValueError(f"the categories of column {column!r} are ordered differently in {wa} "
                                 f"({ca}) and in {wb} ({cb}): the level order (the first level is the "
                                 f"reference) is ambiguous; give every part the same categories")
    raise ValueError(f"the categories of column {column!r} are ordered inconsistently across the parts "
                     f"of the table")  # pragma: no cover (two parts always disagree pairwise)


class LabelCoder:
    """Group labels coded across batches, by pandas' hash tables: codes in
    order of first appearance; ``order()`` gives the final order.

    The final order is the order of labels given in advance; otherwise the
    categories' order when every batch's labels were categorical (their
    orders merged by :func:`merge_level_orders`), else the sorted labels.
    """

    def __init__(self, labels=None, column=None):
        import pandas as pd

        self._pd = pd
        self.column = column  # the group column's name, for messages
        self.index = None if labels is None else pd.Index(labels)
        self.fixed = labels is not None  # known in advance: unseen labels are an error
        self._use_lut = labels is None
        self._table = np.full(0, -1, dtype=np.int64)
        self._orders = []  # (batch number, categories) of categorical batches
        self._plain = 0    # batches whose labels were not categorical
        self._batches = 0

    def codes(self, values, where=None):
        """int64 codes of a batch's labels (a pandas Series, or anything
        array-like); where names the batch's part of the table in messages."""
        pd = self._pd
        self._batches += 1
        if isinstance(getattr(values, "dtype", None), pd.CategoricalDtype):
            categories = values.cat.categories
            if not self._orders or not self._orders[-1][1].equals(categories):
                self._orders.append((where or f"batch {self._batches - 1}", categories))
            return self._map(np.asarray(values.cat.codes, dtype=np.int64), categories)
        self._plain += 1
        values = np.asarray(values)
        if self._use_lut and values.dtype.kind in "iu":
            if self._lut_codes(values) is not None:
                return self._lut
        self._use_lut = False  # from here on every label goes through the index
        local, uniques = pd.factorize(values, use_na_sentinel=True)
        return self._map(np.asarray(local, dtype=np.int64), uniques)

    def _map(self, local, uniques):
        """Codes in the coder's index for local codes into uniques."""
        pd = self._pd
        if (local < 0).any():
            raise ValueError(f"the group column{'' if self.column is None else f' {self.column!r}'} has a "
                             f"missing label at row {int(np.argmax(local < 0))} of a batch")
        if self.index is None:
            self.index = pd.Index(uniques)
            return local
        mapping = np.asarray(self.index.get_indexer(uniques), dtype=np.int64)
        new = mapping < 0
        if new.any():
            if self.fixed:
                present = np.zeros(len(uniques), dtype=bool)
                present[local] = True
                if (new & present).any():
                    raise ValueError(f"group label {uniques[np.argmax(new & present)]!r} is not among the "
                                     f"labels collected")
                mapping[new] = -1
                return mapping[local]
            start = len(self.index)
            self.index = self.index.append(pd.Index(uniques[new]))
            mapping[new] = np.arange(start, start + int(new.sum()))
        return mapping[local]

    # Integer labels in a modest range are coded through a lookup table (a
    # gather instead of hashing every row); codes follow first appearance
    # in the table's order within each batch, as hashing would not, but the
    # labels are sorted at the end either way.
    _LUT_LIMIT = 1 << 26

    def _lut_codes(self, values):
        if len(values) == 0:
            self._lut = np.zeros(0, dtype=np.int64)
            return self._lut
        lo, hi = int(values.min()), int(values.max())
        if lo < 0 or hi >= self._LUT_LIMIT:
            return None
        table = self._table
        if hi >= len(table):
            grown = np.full(max(hi + 1, 2 * len(table)), -1, dtype=np.int64)
            grown[: len(table)] = table
            table = self._table = grown
        codes = table[values]
        new = codes < 0
        if new.any():
            if self.fixed:
                raise ValueError(f"group label {int(values[np.argmax(new)])} is not among the labels collected")
            fresh = np.unique(values[new])
            start = 0 if self.index is None else len(self.index)
            table[fresh] = np.arange(start, start + len(fresh))
            self.index = self._pd.Index(fresh) if self.index is None else self.index.append(self._pd.Index(fresh))
            codes = table[values]
        self._lut = codes
        return codes

    def order(self):
        """(the labels in their final order, the old code of each new
        position), over every label coded so far."""
        index = self.index
        if index is None:
            return [], np.zeros(0, dtype=np.int64)
        labels = [_native(v) for v in index.tolist()]
        if self.fixed:
            return labels, np.arange(len(labels), dtype=np.int64)
        if self._orders and not self._plain:
            merged = merge_level_orders([(w, list(c)) for w, c in self._orders], self.column or "groups")
            rank = {v: k for k, v in enumerate(merged)}
            order = sorted(range(len(labels)), key=lambda k: rank[labels[k]])
        else:
            try:
                order = np.asarray(index.argsort(kind="stable"), dtype=np.int64)
                if not index.take(order).is_monotonic_increasing:
                    raise TypeError
            except TypeError:
                try:
                    order = sorted(range(len(labels)), key=lambda k: labels[k])
                except TypeError:
                    order = range(len(labels))  # labels of kinds without one order: first appearance
        order = np.asarray(order, dtype=np.int64)
        return [labels[k] for k in order], order


class BatchAccumulator:
    """The products of batches of rows (y less any offset, X, Z, group
    labels) under one reparametrisation, taken from the first batch.

    labels, when given, are every group label in their final order (data
    whose labels were collected in a first pass); otherwise the labels are
    collected from the batches (see :class:`LabelCoder`)."""

    def __init__(self, labels=None, rp=None, column=None):
        self.coder = LabelCoder(labels, column)
        self.rp = rp
        self.acc = None
        self.n = 0
        self.counts = np.zeros(0 if labels is None else len(labels), dtype=np.int64)  # rows per group code

    def add(self, y, X, Z, groups, where=None):
        if len(y) == 0:
            return
        if self.rp is None:
            self.rp = reparam_from_sample(y, X, Z)
        if self.acc is None:
            self.acc = Accumulator(X.shape[1], Z.shape[1], **transform_args(self.rp))
        codes = self.coder.codes(groups, where)
        self.acc.add(np.ascontiguousarray(y, dtype=np.float64),
                     np.ascontiguousarray(self.rp.core_design(X), dtype=np.float64),
                     np.ascontiguousarray(Z, dtype=np.float64), codes)
        counts = np.bincount(codes, minlength=len(self.coder.index))
        if len(self.counts) < len(counts):
            counts[: len(self.counts)] += self.counts
            self.counts = counts
        else:
            self.counts[: len(counts)] += counts
        self.n += len(y)

    def groups(self):
        """(the labels of the groups with rows, in their final order, the
        accumulated code of each): labels whose rows were all dropped
        (missing values elsewhere) are no groups."""
        labels, order = self.coder.order()
        counts = np.zeros(len(labels), dtype=np.int64)
        counts[: len(self.counts)] = self.counts[: len(labels)]
        keep = counts[order] > 0
        return [v for v, k in zip(labels, keep) if k], order[keep]

    def arrays(self):
        """The products as arrays (None before any row)."""
        return None if self.acc is None else self.acc.to_arrays()


def merge_arrays(parts):
    """Products of several accumulators (dicts from to_arrays), merged in
    the given order."""
    acc = None
    for part in parts:
        if part is None:
            continue
        a = Accumulator.from_arrays(part)
        if acc is None:
            acc = a
        else:
            acc.merge(a)
    return None if acc is None else acc.to_arrays()


def prepare_products(arrays, rp, fe_names, labels=None, order=None, evaluator="auto"):
    """A core from accumulated products: groups put in the order given
    (old code per new position), aliased fixed-effect columns dropped (with a
    RankDeficiencyWarning), as prepare() does for rows in memory. Returns
    (Prepared, products): the products stay with a model whose rows are not
    kept, to rebuild its core when it is unpickled."""
    arrays = dict(arrays)
    if order is not None:
        for key in ("ztz", "ztx", "zty"):
            arrays[key] = np.ascontiguousarray(np.asarray(arrays[key])[order])
        arrays["m"] = len(order)
        arrays["fingerprint_known"] = False
    for key in ("xtx", "xty", "ztz", "ztx", "zty"):
        if not np.all(np.isfinite(arrays[key])):
            raise ValueError("the data are too large in magnitude for double precision products, or hold "
                             "infinite values")
    if not math.isfinite(arrays["yty"]):
        raise ValueError("the response is too large in magnitude for double precision products, or holds "
                         "infinite values")
    p = int(arrays["p"])
    kept, const = _drop_aliased(np.asarray(arrays["xtx"]), rp, fe_names, p)
    if len(kept) < p:
        if rp.x_const is not None and const is None:
            raise ValueError("the constant fixed-effects column is a combination of others; the data read in "
                             "batches cannot be re-read to drop it")
        new = rp.kept(kept, const)
        if rp.x_unit is not None and new.x_unit is None:
            used = ", ".join(fe_names[j] for j in np.flatnonzero(rp.x_unit))
            raise ValueError(f"the fixed-effects columns that sum to one ({used}) include a column that is a "
                             f"combination of others; the data read in batches cannot be re-read to drop it")
        xtx = np.asarray(arrays["xtx"])
        arrays.update(p=len(kept), xtx=np.ascontiguousarray(xtx[np.ix_(kept, kept)]),
                      xty=np.ascontiguousarray(np.asarray(arrays["xty"])[kept]),
                      ztx=np.ascontiguousarray(np.asarray(arrays["ztx"])[:, :, kept]),
                      x_shift=np.asarray(arrays["x_shift"])[kept], x_scale=np.asarray(arrays["x_scale"])[kept])
        if new.x_ref is not None:
            arrays["x_ref"] = new.x_ref
        rp = new
    core = Accumulator.from_arrays(arrays).finish(evaluator)
    return Prepared(core, rp, kept, core.totals(), residual=exact_fit(arrays)), arrays


def core_from_products(arrays, evaluator="auto"):
    return Accumulator.from_arrays(arrays).finish(evaluator)


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


def _aliased(xtx, const, residual=None):
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
    (_gram_noise) as well as RANK_TOL^2."""
    p = xtx.shape[0]
    lam = np.zeros((p, p))
    kept = []
    for j in range(p):
        d = xtx[j, j]
        if not d > 0:
            continue
        s = d - sum(lam[j, k] ** 2 for k in kept)
        if not s > GRAM_BAND * d:
            if residual is not None:
                s = residual(j, kept) ** 2 * d
                if not s > RANK_TOL ** 2 * d:
                    continue
            elif not s > max(RANK_TOL ** 2, _gram_noise(xtx, kept)) * d:
                continue
        lam[j, j] = math.sqrt(s)
        for i in range(j + 1, p):
            lam[i, j] = (xtx[i, j] - sum(lam[i, k] * lam[j, k] for k in kept)) / lam[j, j]
        kept.append(j)
    return [j for j in range(p) if j not in kept]


def _row_residual(rows):
    """residual(j, kept) for _aliased on the rows of X~ (rows() gives them,
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


def prepare(y, X, Z, codes, fe_names, column_names=None, evaluator="auto", weights=None):
    """Reparametrise and build the core; drop aliased fixed-effect columns
    (with a RankDeficiencyWarning). y, X, Z float64 C-contiguous, codes int64.
    Raises ValueError naming the column for non-finite values.

    Without a constant column, a unit combination of X's columns (X c = 1 on
    every row) takes its place as the reference (see Reparam). With
    precision weights the core holds the rows scaled by sqrt(w); the shifts
    are taken relative to the scaled reference column (values sqrt(w_i) v0),
    so that each row is centred first and weighted after, exactly, and the
    scales include the power of two that brings the weights' geometric mean
    near 1 (weights in any units give the core the same problem)."""
    n, p = X.shape
    idx = sample_rows(n)
    xs, zs, ys = X[idx], Z[idx], y[idx]
    x_const, z_const = constant_column(xs), constant_column(zs)
    unit = None
    if x_const is None:
        unit = unit_combination(xs)
        if unit is not None and not np.all(np.abs(X @ unit - 1.0) <= UNIT_TOL):
            unit = None  # the sample's combination does not hold on every row
    Xu = X if unit is None else _with_unit(X, unit)
    sw = None if weights is None else np.sqrt(np.asarray(weights, dtype=np.float64))
    factor = 1.0 if sw is None else weight_factor(sw)

    def reparam(yr, Xr, Zr):
        rp = _reparam_of(yr, Xr, Zr, x_const, z_const, unit)
        return rp if factor == 1.0 else rp.scaled(factor)

    def rows(Xk):
        if sw is None:
            return y, Xk, Z
        return (np.ascontiguousarray(y * sw), np.ascontiguousarray(Xk * sw[:, None]),
                np.ascontiguousarray(Z * sw[:, None]))

    rp = reparam(ys, Xu[idx], zs)
    yc, Xc, Zc = rows(Xu)
    core, arrays = _build(yc, Xc, Zc, codes, rp, evaluator, products=True)
    t = core.totals()
    if not _finite_totals(t):
        _check_finite(y, X, Z, fe_names, column_names)
        # Finite but huge values overflowed the products: exact scales.
        rp = reparam(y, Xu, Z)
        core, arrays = _build(yc, Xc, Zc, codes, rp, evaluator, products=True)
        t = core.totals()
        if not _finite_totals(t):
            raise ValueError("the data are too large in magnitude for double precision products")
    elif sw is None and _needs_exact(t, rp, n):
        rp = _refine(t, rp, n)
        core, arrays = _build(yc, Xc, Zc, codes, rp, evaluator, products=True)
        t = core.totals()

    kept, const = _drop_aliased(t["xtx"], rp, fe_names, p,
                                _row_residual(lambda: Xc @ rp._a(rp.x_shift, rp.x_scale, rp.x_ref, rp.x_const_value)))
    if len(kept) < p:
        rp = rp.kept(kept, const)
        yc, Xc, Zc = rows(rp.core_design(np.ascontiguousarray(X[:, kept])))
        core, arrays = _build(yc, Xc, Zc, codes, rp, evaluator, products=True)
        t = core.totals()
    weighted = None
    if sw is not None or rp.x_unit is not None:
        weighted = (sw, Xc, Zc)
    return Prepared(core, rp, kept, t, weighted, exact_fit(arrays))


def weight_factor(sw):
    """The power of two 1 / 2^k, k the rounded mean of log2 sqrt(w): rows
    scaled by sqrt(w) times it have square-root weights of geometric mean
    near 1, whatever the weights' units."""
    k = round(float(np.mean(np.log2(sw))))
    return 1.0 if k == 0 else 2.0 ** -k


EXACT_FIT = 1e-13  # residual sum of squares below this fraction of y~'y~: no residual variation


def exact_fit(arrays):
    """(fixed, within): the residual sums of squares of y~ on X~, and on X~
    with each group's own Z~ columns (the random effects as free
    coefficients), as fractions of y~'y~, from the per-group products. A
    fraction below EXACT_FIT means the response is a linear function of
    those columns to rounding (the products carry ~1e-16 of y~'y~): the
    residual variance would be zero."""
    yty = float(arrays["yty"])
    if not yty > 0:
        return 0.0, 0.0
    xtx, xty = np.asarray(arrays["xtx"]), np.asarray(arrays["xty"])
    ztz, ztx, zty = np.asarray(arrays["ztz"]), np.asarray(arrays["ztx"]), np.asarray(arrays["zty"])
    fixed = yty - _explained(xtx, xty)
    # Each group's Z~ projected out of X~ and y~ (a pseudo-inverse on unit-diagonal blocks).
    dz = np.sqrt(np.maximum(np.einsum("gii->gi", ztz), 0.0))
    dz = np.where(dz > 0, dz, 1.0)
    w, v = np.linalg.eigh(ztz / dz[:, :, None] / dz[:, None, :])
    keep = w > 1e-10 * np.maximum(w[:, -1:], 1e-300)
    inv = np.where(keep, 1.0 / np.where(keep, w, 1.0), 0.0)
    zx = np.einsum("gji,gjk->gik", v, ztx / dz[:, :, None]) * np.sqrt(inv)[:, :, None]
    zy = np.einsum("gji,gj->gi", v, zty / dz) * np.sqrt(inv)
    a = xtx - np.einsum("gki,gkj->ij", zx, zx)
    b = xty - np.einsum("gki,gk->i", zx, zy)
    within = yty - float(np.sum(zy * zy)) - _explained(a, b, np.diag(xtx))
    return fixed / yty, within / yty


def _explained(a, b, diag=None):
    """b' a^+ b for a symmetric positive semidefinite a, on unit-diagonal
    scaling (by diag, default a's own), directions below 1e-10 left out."""
    d = np.sqrt(np.maximum(np.diag(a) if diag is None else diag, 0.0))
    d = np.where(d > 0, d, 1.0)
    w, v = np.linalg.eigh(a / np.outer(d, d))
    keep = w > 1e-10 * max(float(w[-1]) if diag is None else 1.0, 1e-300)
    proj = (v[:, keep].T @ (b / d)) ** 2
    return float(np.sum(proj / w[keep]))


def _drop_aliased(xtx, rp, fe_names, p, residual=None):
    """(kept columns, the constant column's index among them or None): the
    aliased columns of X~'X~ left out with a RankDeficiencyWarning naming
    them, as lme4 drops them (residual: see _aliased)."""
    dropped = _aliased(np.asarray(xtx), rp.x_const, residual)
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


def _finite_totals(t):
    return all(np.all(np.isfinite(t[k])) for k in ("xtx", "xty", "yty", "ztz", "ztx", "zty"))


def _check_finite(y, X, Z, fe_names, column_names):
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


def _summaries(t, rp, n):
    """Means and spreads of the transformed columns of y, X and Z, from the
    totals. Means need X's reference column (constant on every row); without
    one the means are 0 and the spreads root mean squares."""
    xtx = np.asarray(t["xtx"])
    r = rp.x_ref
    if r is None:
        return (np.zeros(rp.p), np.sqrt(np.diag(xtx) / n), 0.0, math.sqrt(t["yty"] / n), np.zeros(rp.q),
                np.sqrt(np.diag(np.asarray(t["ztz"])) / n))
    c = math.sqrt(xtx[r, r] / n)  # the reference column's transformed value
    xm = xtx[r, :] / (n * c)
    xsd = np.sqrt(np.maximum(np.diag(xtx) / n - xm ** 2, 0.0))
    ym = t["xty"][r] / (n * c)
    ysd = math.sqrt(max(t["yty"] / n - ym ** 2, 0.0))
    zm = t["ztx"][:, r] / (n * c)
    zsd = np.sqrt(np.maximum(np.diag(t["ztz"]) / n - zm ** 2, 0.0))
    return xm, xsd, ym, ysd, zm, zsd


def _off(mean, spread, shifted):
    """A transformed column the sample misjudged: its mean beyond 1000 of its
    spreads (when it was to be centred), or its spread off unity by 2^10."""
    if not spread > 0:
        return False
    return (shifted and abs(mean) > 1e3 * spread) or not 2.0 ** -10 < spread < 2.0 ** 10


def _needs_exact(t, rp, n):
    xm, xsd, ym, ysd, zm, zsd = _summaries(t, rp, n)
    shifted = rp.x_ref is not None
    if any(_off(xm[j], xsd[j], shifted) for j in range(rp.p) if j != rp.x_ref):
        return True
    if any(_off(zm[k], zsd[k], rp.z_const is not None) for k in range(rp.q) if k != rp.z_const):
        return True
    return _off(ym, ysd, shifted)


def _refine(t, rp, n):
    """Exact shifts and better scales from the totals of a first build: the
    transformed columns' means and spreads, mapped back."""
    xm, xsd, ym, ysd, zm, zsd = _summaries(t, rp, n)

    def fix(shift, scale, means, spreads, const, centred):
        shift, scale = shift.copy(), scale.copy()
        for j in range(len(shift)):
            if j == const:
                continue
            if centred:
                shift[j] = shift[j] + means[j] / scale[j]
            if spreads[j] > 0:
                scale[j] = _pow2_scale(spreads[j] / scale[j])
        return shift, scale

    shifted = rp.x_ref is not None
    x_shift, x_scale = fix(rp.x_shift, rp.x_scale, xm, xsd, rp.x_ref, shifted)
    z_shift, z_scale = fix(rp.z_shift, rp.z_scale, zm, zsd, rp.z_const, rp.z_const is not None)
    y_shift = rp.y_shift + ym / rp.y_scale if shifted else rp.y_shift
    y_scale = _pow2_scale(ysd / rp.y_scale) if ysd > 0 else rp.y_scale
    return replace(rp, y_shift=y_shift, y_scale=y_scale, x_shift=x_shift, x_scale=x_scale, z_shift=z_shift,
                   z_scale=z_scale)
