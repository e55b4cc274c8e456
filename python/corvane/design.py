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

import math
import numbers
import warnings
from dataclasses import dataclass

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
    """With c0 and k0 the reference columns of X and Z (values v0, w0; found
    constant in a sample of rows): y~ = (y - y_shift X[:, c0] / v0) y_scale,
    X~ = X A_x, Z~ = Z A_z, A = (I - e_c0 shift' / v0) diag(scale) (for a
    constant reference column, each column minus its shift). Shifts are 0 for
    the reference columns, and for all columns of X (and y) when X has no
    reference column, of Z when Z has none."""

    y_shift: float
    y_scale: float
    x_shift: np.ndarray
    x_scale: np.ndarray
    z_shift: np.ndarray
    z_scale: np.ndarray
    x_const: int | None
    x_const_value: float
    z_const: int | None
    z_const_value: float

    @property
    def p(self):
        return len(self.x_shift)

    @property
    def q(self):
        return len(self.z_shift)

    def _a(self, shift, scale, const, value):
        k = len(shift)
        t = np.eye(k)
        if const is not None:
            t[const, :] -= shift / value
        return t * scale  # (T diag(scale))[i, j] = T[i, j] scale[j]

    @property
    def a_x(self):
        return self._a(self.x_shift, self.x_scale, self.x_const, self.x_const_value)

    @property
    def a_z(self):
        return self._a(self.z_shift, self.z_scale, self.z_const, self.z_const_value)

    def core_response(self, y, X):
        """y~ for the rows (X the kept columns), as the core forms it."""
        if self.x_const is None:
            return np.ascontiguousarray((y - self.y_shift) * self.y_scale)
        return np.ascontiguousarray((y - self.y_shift * (X[:, self.x_const] / self.x_const_value)) * self.y_scale)

    # -- core -> user
    def beta(self, beta_core):
        b = (self.a_x / self.y_scale) @ np.asarray(beta_core)
        if self.x_const is not None:
            b[self.x_const] += self.y_shift / self.x_const_value
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
        c = self.a_z @ theta_to_lambda(theta_core, self.q)
        return lambda_to_theta(chol_psd(c @ c.T))

    def criterion(self, crit_core, nmp, reml):
        """The criterion of the user's data from the core's: -2 log of the
        y scale's Jacobian, and under REML the X scales' log-determinant."""
        out = crit_core - 2.0 * nmp * math.log(self.y_scale)
        if reml:
            out -= 2.0 * float(np.sum(np.log(self.x_scale)))
        return out

    # -- user -> core
    def theta_to_core(self, theta_user):
        lam = theta_to_lambda(theta_user, self.q)
        inv = np.linalg.inv(self.a_z)
        c = inv @ lam
        return lambda_to_theta(chol_psd(c @ c.T))


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


def _reparam_of(y, X, Z, x_const, z_const):
    """The reparametrisation from these rows (all, or a sample)."""
    def columns(a, const, centred):
        k = a.shape[1]
        shift, scale = np.zeros(k), np.ones(k)
        for j in range(k):
            if j == const:
                scale[j] = _pow2_scale(abs(float(a[0, j])))
            else:
                shift[j], scale[j] = _location_scale(a[:, j], centred)
        return shift, scale

    x_shift, x_scale = columns(X, x_const, x_const is not None)
    z_shift, z_scale = columns(Z, z_const, z_const is not None)
    y_shift, y_scale = _location_scale(y, x_const is not None)
    v0 = float(X[0, x_const]) if x_const is not None else 1.0
    w0 = float(Z[0, z_const]) if z_const is not None else 1.0
    return Reparam(y_shift, y_scale, x_shift, x_scale, z_shift, z_scale, x_const, v0, z_const, w0)


# ---- building the core ----------------------------------------------------------

@dataclass
class Prepared:
    """A core built on the reparametrised design, with what maps it back."""

    core: LmmCore
    reparam: Reparam
    kept: np.ndarray  # indices of X's columns the core uses (aliased ones dropped)
    totals: dict
    weighted: tuple | None = None  # (sqrt(w), X, Z) as the core holds them, with weights


def transform_args(rp):
    """The Accumulator's keyword arguments for a reparametrisation."""
    return dict(y_shift=rp.y_shift, y_scale=rp.y_scale, x_shift=rp.x_shift, x_scale=rp.x_scale,
                z_shift=rp.z_shift, z_scale=rp.z_scale, x_ref=rp.x_const, x_ref_value=rp.x_const_value,
                z_ref=rp.z_const, z_ref_value=rp.z_const_value)


def _build(y, X, Z, codes, rp, evaluator="auto"):
    acc = Accumulator(X.shape[1], Z.shape[1], **transform_args(rp))
    acc.add(y, X, Z, codes)
    return acc.finish(evaluator)


def reparam_from_sample(y, X, Z):
    """The reparametrisation from a sample of these rows (the first batch of
    data read in batches)."""
    idx = sample_rows(len(y))
    xs, zs, ys = X[idx], Z[idx], y[idx]
    return _reparam_of(ys, xs, zs, constant_column(xs), constant_column(zs))


# ---- data read in batches ------------------------------------------------------------

class LabelCoder:
    """Group labels coded across batches: codes in order of first
    appearance, by pandas' hash tables; ``order()`` sorts them at the end."""

    def __init__(self, labels=None):
        import pandas as pd

        self._pd = pd
        self.index = None if labels is None else pd.Index(labels)
        self.fixed = labels is not None  # known in advance: unseen labels are an error
        self._use_lut = labels is None
        self._table = np.full(0, -1, dtype=np.int64)

    def codes(self, values):
        values = np.asarray(values)
        if self._use_lut and values.dtype.kind in "iu":
            if self._lut_codes(values) is not None:
                return self._lut
        self._use_lut = False  # from here on every label goes through the index
        pd = self._pd
        local, uniques = pd.factorize(values, use_na_sentinel=True)
        if (local < 0).any():
            raise ValueError(f"the group column has a missing label at row {int(np.argmax(local < 0))} of a batch")
        if self.index is None:
            self.index = pd.Index(uniques)
            return local.astype(np.int64)
        mapping = np.asarray(self.index.get_indexer(uniques), dtype=np.int64)
        new = mapping < 0
        if new.any():
            if self.fixed:
                raise ValueError(f"group label {uniques[np.argmax(new)]!r} is not among the labels collected")
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
        """(the labels sorted, the old code of each new position)."""
        index = self.index
        try:
            order = np.asarray(index.argsort(kind="stable"), dtype=np.int64)
            if not index.take(order).is_monotonic_increasing:
                raise TypeError
        except TypeError:
            labels = list(index)
            try:
                order = np.array(sorted(range(len(labels)), key=lambda k: labels[k]), dtype=np.int64)
            except TypeError:
                order = np.arange(len(labels), dtype=np.int64)
        return [_native(v) for v in index.take(order).tolist()], order


class BatchAccumulator:
    """The products of batches of rows (y less any offset, X, Z, group
    labels) under one reparametrisation, taken from the first batch."""

    def __init__(self, labels=None, rp=None):
        self.coder = LabelCoder(labels)
        self.rp = rp
        self.acc = None
        self.n = 0
        self.counts = np.zeros(0, dtype=np.int64)  # rows per group code

    def add(self, y, X, Z, groups):
        if len(y) == 0:
            return
        if self.rp is None:
            self.rp = reparam_from_sample(y, X, Z)
        if self.acc is None:
            self.acc = Accumulator(X.shape[1], Z.shape[1], **transform_args(self.rp))
        codes = self.coder.codes(groups)
        self.acc.add(np.ascontiguousarray(y, dtype=np.float64), np.ascontiguousarray(X, dtype=np.float64),
                     np.ascontiguousarray(Z, dtype=np.float64), codes)
        counts = np.bincount(codes, minlength=len(self.coder.index))
        if len(self.counts) < len(counts):
            counts[: len(self.counts)] += self.counts
            self.counts = counts
        else:
            self.counts[: len(counts)] += counts
        self.n += len(y)

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
        xtx = np.asarray(arrays["xtx"])
        arrays.update(p=len(kept), xtx=np.ascontiguousarray(xtx[np.ix_(kept, kept)]),
                      xty=np.ascontiguousarray(np.asarray(arrays["xty"])[kept]),
                      ztx=np.ascontiguousarray(np.asarray(arrays["ztx"])[:, :, kept]),
                      x_shift=np.asarray(arrays["x_shift"])[kept], x_scale=np.asarray(arrays["x_scale"])[kept])
        if const is not None:
            arrays["x_ref"] = const
        rp = Reparam(rp.y_shift, rp.y_scale, rp.x_shift[kept], rp.x_scale[kept], rp.z_shift, rp.z_scale, const,
                     rp.x_const_value, rp.z_const, rp.z_const_value)
    core = Accumulator.from_arrays(arrays).finish(evaluator)
    return Prepared(core, rp, kept, core.totals()), arrays


def core_from_products(arrays, evaluator="auto"):
    return Accumulator.from_arrays(arrays).finish(evaluator)


def _aliased(xtx, const):
    """Columns of X~ that are (numerically) combinations of earlier ones, in
    the manner of R's QR with limited pivoting: Cholesky of X~'X~ in column
    order, a column whose pivot falls to tol^2 of its squared norm is left
    out (and not used as a pivot)."""
    p = xtx.shape[0]
    lam = np.zeros((p, p))
    kept = []
    for j in range(p):
        d = xtx[j, j]
        if not d > 0:
            continue
        s = d - sum(lam[j, k] ** 2 for k in kept)
        if not s > RANK_TOL ** 2 * d:
            continue
        lam[j, j] = math.sqrt(s)
        for i in range(j + 1, p):
            lam[i, j] = (xtx[i, j] - sum(lam[i, k] * lam[j, k] for k in kept)) / lam[j, j]
        kept.append(j)
    return [j for j in range(p) if j not in kept]


def prepare(y, X, Z, codes, fe_names, column_names=None, evaluator="auto", weights=None):
    """Reparametrise and build the core; drop aliased fixed-effect columns
    (with a RankDeficiencyWarning). y, X, Z float64 C-contiguous, codes int64.
    Raises ValueError naming the column for non-finite values.

    With precision weights the core holds the rows scaled by sqrt(w); the
    shifts are taken relative to the scaled constant column (a reference
    column whose values are sqrt(w_i) v0), so that each row is centred
    first and weighted after, exactly."""
    n, p = X.shape
    idx = sample_rows(n)
    xs, zs, ys = X[idx], Z[idx], y[idx]
    x_const, z_const = constant_column(xs), constant_column(zs)
    rp = _reparam_of(ys, xs, zs, x_const, z_const)
    sw = None if weights is None else np.sqrt(np.asarray(weights, dtype=np.float64))
    weighted = None

    def rows(Xk):
        if sw is None:
            return y, Xk, Z
        return (np.ascontiguousarray(y * sw), np.ascontiguousarray(Xk * sw[:, None]),
                np.ascontiguousarray(Z * sw[:, None]))

    yc, Xc, Zc = rows(X)
    core = _build(yc, Xc, Zc, codes, rp, evaluator)
    t = core.totals()
    if not _finite_totals(t):
        _check_finite(y, X, Z, fe_names, column_names)
        # Finite but huge values overflowed the products: exact scales.
        rp = _reparam_of(y, X, Z, x_const, z_const)
        core = _build(yc, Xc, Zc, codes, rp, evaluator)
        t = core.totals()
        if not _finite_totals(t):
            raise ValueError("the data are too large in magnitude for double precision products")
    elif sw is None and _needs_exact(t, rp, n):
        rp = _refine(t, rp, n)
        core = _build(yc, Xc, Zc, codes, rp, evaluator)
        t = core.totals()

    kept, const = _drop_aliased(t["xtx"], rp, fe_names, p)
    if len(kept) < p:
        Xk = np.ascontiguousarray(X[:, kept])
        rp = Reparam(rp.y_shift if const is not None else 0.0, rp.y_scale, rp.x_shift[kept] if const is not None
                     else np.zeros(len(kept)), rp.x_scale[kept], rp.z_shift, rp.z_scale, const,
                     rp.x_const_value, rp.z_const, rp.z_const_value)
        yc, Xc, Zc = rows(Xk)
        core = _build(yc, Xc, Zc, codes, rp, evaluator)
        t = core.totals()
    if sw is not None:
        weighted = (sw, Xc, Zc)
    return Prepared(core, rp, kept, t, weighted)


def _drop_aliased(xtx, rp, fe_names, p):
    """(kept columns, the constant column's index among them or None): the
    aliased columns of X~'X~ left out with a RankDeficiencyWarning naming
    them, as lme4 drops them."""
    dropped = _aliased(xtx, rp.x_const)
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
    totals (means need X's constant column; None without one)."""
    xtx = t["xtx"]
    if rp.x_const is None:
        return None
    c = math.sqrt(xtx[rp.x_const, rp.x_const] / n)  # the constant column's transformed value
    xm = xtx[rp.x_const, :] / (n * c)
    xsd = np.sqrt(np.maximum(np.diag(xtx) / n - xm ** 2, 0.0))
    ym = t["xty"][rp.x_const] / (n * c)
    ysd = math.sqrt(max(t["yty"] / n - ym ** 2, 0.0))
    zm = t["ztx"][:, rp.x_const] / (n * c)
    zsd = np.sqrt(np.maximum(np.diag(t["ztz"]) / n - zm ** 2, 0.0))
    return xm, xsd, ym, ysd, zm, zsd


def _off(mean, spread, shifted):
    """A transformed column the sample misjudged: its mean beyond 1000 of its
    spreads (when it was to be centred), or its spread off unity by 2^10."""
    if not spread > 0:
        return False
    return (shifted and abs(mean) > 1e3 * spread) or not 2.0 ** -10 < spread < 2.0 ** 10


def _needs_exact(t, rp, n):
    s = _summaries(t, rp, n)
    if s is None:
        return False
    xm, xsd, ym, ysd, zm, zsd = s
    if any(_off(xm[j], xsd[j], True) for j in range(rp.p) if j != rp.x_const):
        return True
    if any(_off(zm[k], zsd[k], rp.z_const is not None) for k in range(rp.q) if k != rp.z_const):
        return True
    return _off(ym, ysd, True)


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

    x_shift, x_scale = fix(rp.x_shift, rp.x_scale, xm, xsd, rp.x_const, True)
    z_shift, z_scale = fix(rp.z_shift, rp.z_scale, zm, zsd, rp.z_const, rp.z_const is not None)
    y_shift = rp.y_shift + ym / rp.y_scale
    y_scale = _pow2_scale(ysd / rp.y_scale) if ysd > 0 else rp.y_scale
    return Reparam(y_shift, y_scale, x_shift, x_scale, z_shift, z_scale, rp.x_const,
                   rp.x_const_value, rp.z_const, rp.z_const_value)
