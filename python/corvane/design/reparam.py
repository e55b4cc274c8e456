"""The reparametrisation: centred, power-of-two-scaled columns, and the only
map between the user's parameters and the core's.

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
with the exact means (:func:`needs_exact`, :func:`refine`). :class:`Reparam`
maps every quantity that crosses between the two parametrisations.
"""

from __future__ import annotations

import functools
import math
from dataclasses import dataclass, replace
from functools import cached_property

import numpy as np

from .theta import chol_psd, lambda_to_theta, lower_factor, theta_layout, theta_to_lambda, tril_pairs
from .rank import aliased

__all__ = ["Reparam", "tril_pairs", "theta_layout", "theta_to_lambda", "lambda_to_theta", "chol_psd", "lower_factor",
           "reparam_of", "reparam_from_sample", "sample_rows", "weight_factor"]

SAMPLE_ROWS = 4096


# ---- shifts and scales -----------------------------------------------------------

def sample_rows(n):
    """Indices of up to SAMPLE_ROWS rows spread evenly over n (all of them
    when n is smaller), increasing (read-only: the same array for the same
    n)."""
    return _sample_rows(int(n))


@functools.lru_cache(maxsize=64)
def _sample_rows(n):
    if n <= SAMPLE_ROWS:
        out = np.arange(n)
    else:  # steps of at least one row: the truncated positions are distinct
        out = np.linspace(0, n - 1, SAMPLE_ROWS).astype(np.int64)
    out.flags.writeable = False
    return out


def pow2_scale(rms):
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
        if v != 0 and (sample[:, j] == v).all():
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
    # A preliminary fit taken out of the response (see reduced): y~ =
    # (y - X' y_coef) y_scale in place of y's shift, and the fraction of
    # y~'y~ it left on the rows it was fitted to (1 without one).
    y_coef: np.ndarray | None = None
    y_reduction: float = 1.0

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
        return unit_column(self.x_unit)

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

    # The maps are computed once per Reparam (it is frozen) and handed out
    # read-only, so that no caller can change them for the others.
    @cached_property
    def a_x(self):
        """A_x: X~ = X A_x for the user's (kept) columns X."""
        return _frozen(self._basis(self.a_core_x))

    @cached_property
    def a_core_x(self):
        """T_x diag(x_scale): X~ = X' a_core_x for the core's columns X'
        (core_design), the map the core applies as it reads the rows."""
        return _frozen(self._a(self.x_shift, self.x_scale, self.x_ref, self.x_const_value))

    @cached_property
    def a_z(self):
        """A_z: Z~ = Z A_z."""
        return _frozen(self._a(self.z_shift, self.z_scale, self.z_const, self.z_const_value))

    @cached_property
    def _a_z_inverse(self):
        return _frozen(np.linalg.inv(self.a_z))

    def core_design(self, X):
        """The core's columns X' for the user's (kept) columns X: X itself, or
        with the reference column replaced by X c for a unit combination.
        Linear in the rows, so rows scaled by sqrt(w) give the scaled X'."""
        return X if self.x_unit is None else with_unit(X, self.x_unit)

    def core_response(self, y, X):
        """y~ for the rows (X the core's columns, as core_design gives them;
        y of shape (n,) or (count, n)), as the core forms it."""
        if self.y_coef is not None:
            return np.ascontiguousarray((y - X @ self.y_coef) * self.y_scale)
        r = self.x_ref
        if r is None:
            return np.ascontiguousarray((y - self.y_shift) * self.y_scale)
        return np.ascontiguousarray((y - self.y_shift * (X[:, r] / self.x_const_value)) * self.y_scale)

    # -- core -> user
    def beta_offset(self):
        """The constant o in beta = A_x beta~ / y_scale + o: y's shift moved
        into the reference column's coefficient (zero without a shift), or
        the preliminary fit taken out of y (on the user's columns: M y_coef)."""
        o = np.zeros(self.p)
        if self.y_coef is not None:
            o += self.y_coef
            if self.x_unit is not None:
                r = self.x_ref
                o += (self.x_unit - np.eye(self.p)[r]) * self.y_coef[r]
            return o
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
        if self.x_unit is not None or self.y_coef is not None:
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
            out -= 2.0 * float(np.add.reduce(np.log(self.x_scale)))  # np.sum's sum
            if self.x_unit is not None:
                out -= 2.0 * math.log(abs(float(self.x_unit[self.x_ref])))
        return out

    def data_criterion(self, crit_core, nmp, reml, weights_logdet=0.0):
        """The criterion of the user's data and weights: criterion() less
        log det W (weights_logdet: the sum of the log weights of a weighted
        model, 0 otherwise)."""
        return self.criterion(crit_core, nmp, reml) - weights_logdet

    def beta_map(self):
        """The linear part T = A_x / y_scale of beta = T beta~ + beta_offset()
        (p x p): a contrast l' beta is (T' l)' beta~ plus a constant, and a
        covariance of beta~ (or a derivative of one) maps to T C T'."""
        return self.a_x / self.y_scale

    def relative_covariance(self, theta_core):
        """The user's relative covariance Sigma_u = A_z Lambda~ Lambda~' A_z'
        (cov_re / sigma^2): q x q for one theta~, (count, q, q) for rows of
        them (one einsum over the rows)."""
        th = np.asarray(theta_core, dtype=np.float64)
        a = self.a_z
        if th.ndim == 1:
            w = a @ theta_to_lambda(th, self.q)
            return w @ w.T
        lam = np.zeros((th.shape[0], self.q, self.q))
        for s, (i, j) in enumerate(tril_pairs(self.q)):
            lam[:, i, j] = th[:, s]
        return np.einsum("ij,rjk,rlk,ml->rim", a, lam, lam, a)

    def relative_covariance_derivatives(self, theta_core):
        """(Sigma_u, dSigma_u) at one theta~: the relative covariance (q x q)
        and its derivatives in theta~ (k x q x q). With theta~_s =
        Lambda~[a, b], d Sigma_u / d theta~_s = c_a w_b' + w_b c_a', c the
        columns of A_z and w those of A_z Lambda~."""
        pairs = tril_pairs(self.q)
        rows = np.array([a for a, _ in pairs])
        cols = np.array([b for _, b in pairs])
        a = self.a_z
        lam = np.zeros((self.q, self.q))
        lam[rows, cols] = theta_core
        w = a @ lam
        d = np.einsum("ik,jk->kij", a[:, rows], w[:, cols])
        return w @ w.T, d + d.transpose(0, 2, 1)

    def response_moments(self, totals):
        """(n, mean, sum of squares about the mean, y'y) of the user's
        response from the core's totals (n, y~'y~, X~'y~, X~'X~), None where
        the totals do not tell: the mean and the sum of squares about it
        need X's constant column, and are then given instead of y'y."""
        n, ys = int(totals["n"]), self.y_scale
        if self.y_coef is not None:
            return self._reduced_moments(totals)
        yty = float(totals["yty"]) / (ys * ys)  # sum (y - y_shift u)^2, u the reference column / v0 (or 0)
        if self.x_const is None:
            if self.x_unit is not None:  # y = y~ / y_scale + y_shift u, u = X c the reference column
                r, xs = self.x_ref, self.x_scale[self.x_ref]
                uy = float(np.asarray(totals["xty"])[r]) / (xs * ys)
                uu = float(np.asarray(totals["xtx"])[r, r]) / (xs * xs)
                yty += 2.0 * self.y_shift * uy + self.y_shift * self.y_shift * uu
            return n, None, None, yty
        c = self.x_const
        centred_sum = float(np.asarray(totals["xty"])[c]) / (self.x_const_value * self.x_scale[c] * ys)
        return n, self.y_shift + centred_sum / n, yty - centred_sum * centred_sum / n, None

    def _reduced_moments(self, totals):
        """response_moments of a reduced response: y = y~ / y_scale + X~ d
        with d = A_core^-1 y_coef (X~ = X' A_core), so its sums follow from
        X~'y~, X~'X~ and y~'y~ (these moments then carry the cancellation
        the reduction spares the fit)."""
        n, ys = int(totals["n"]), self.y_scale
        xtx, xty = np.asarray(totals["xtx"], dtype=np.float64), np.asarray(totals["xty"], dtype=np.float64)
        d = np.linalg.solve(self.a_core_x, self.y_coef)
        yty = float(totals["yty"]) / (ys * ys) + 2.0 * float(d @ xty) / ys + float(d @ xtx @ d)
        r = self.x_ref
        if r is None:
            return n, None, None, yty
        ref = math.sqrt(float(xtx[r, r]) / n)  # the reference column's transformed value, on every row
        total = (float(xty[r]) / ys + float(xtx[r] @ d)) / ref
        mean = total / n
        return n, mean, yty - total * mean, None

    def reduced(self, y, X, factor=1.0):
        """The same map with a preliminary fit taken out of y when the
        fixed effects explain nearly all of it (the fraction of y~'y~ their
        least-squares fit leaves, on these rows, below REDUCE_BELOW), so that
        the products keep the residual's digits instead of cancelling them
        (the model is invariant to adding X c to y: beta takes c back). X
        holds the core's columns of these rows (a sample or all of them),
        unweighted; factor is the weights' power of two (see weight_factor),
        kept in y's scale."""
        if self.y_coef is not None or X.shape[0] <= X.shape[1]:
            return self
        yt = self.core_response(y, X)
        xt = X @ self.a_core_x
        total = float(yt @ yt)
        if not (total > 0 and math.isfinite(total)):
            return self
        unit = xt / np.sqrt(np.maximum(np.einsum("ij,ij->j", xt, xt), 1e-300))
        dropped = set(aliased(unit.T @ unit, None))
        use = [j for j in range(xt.shape[1]) if j not in dropped]
        b = np.linalg.lstsq(xt[:, use], yt, rcond=None)[0]
        resid = yt - xt[:, use] @ b
        # one step of refinement: the residual of the residual
        b = b + np.linalg.lstsq(xt[:, use], resid, rcond=None)[0]
        resid = yt - xt[:, use] @ b
        left = float(resid @ resid) / total
        if not left < REDUCE_BELOW:
            return self
        full = np.zeros(self.p)
        full[use] = b
        coef = self.a_core_x @ full / self.y_scale
        if self.x_ref is not None:
            coef[self.x_ref] += self.y_shift / self.x_const_value
        out = replace(self, y_shift=0.0, y_coef=_frozen(coef), y_reduction=max(left, 0.0))
        rms = float(np.sqrt(np.mean(np.square(y - X @ coef))))
        return replace(out, y_scale=pow2_scale(rms) * factor)

    # -- user -> core
    def theta_to_core(self, theta_user):
        lam = theta_to_lambda(theta_user, self.q)
        return lambda_to_theta(lower_factor(self._a_z_inverse @ lam))

    def core_theta_of_factor(self, factor):
        """theta~ for any q x q factor L of the user's relative covariance
        (Sigma_u = L L'): the lower-triangular factor of (A_z^-1 L)(A_z^-1 L)'
        by chol_psd (zero columns where a pivot vanishes), which any L with
        the same L L' gives."""
        c = self._a_z_inverse @ factor
        return lambda_to_theta(chol_psd(c @ c.T))

    def sigma_to_core(self, sigma_user):
        """sigma~ = sigma y_scale (a number or an array)."""
        return sigma_user * self.y_scale

    def x_crossproduct(self, xtx_core):
        """X'X of the user's (kept) columns from the core's X~'X~: with
        X~ = X A_x and B = A_x^-1, X'X = B' X~'X~ B."""
        b = np.linalg.inv(self.a_x)
        return b.T @ np.asarray(xtx_core, dtype=np.float64) @ b

    def for_response(self, y, weights=None):
        """The same map of X and Z for a new response y (the rows' values,
        weights: the precision weights or None): y's shift and scale from a
        sample of its rows, as for the first response (shifts are exact maps,
        so a sample's shift costs at most conditioning); no preliminary fit
        (see reduced)."""
        sample = y[sample_rows(len(y))]
        y_shift = float(sample.mean()) if self.x_ref is not None else 0.0
        y_scale = pow2_scale(float(np.sqrt(np.mean((sample - y_shift) ** 2))))
        if weights is not None:
            y_scale *= weight_factor(np.sqrt(weights))
        return replace(self, y_shift=y_shift, y_scale=y_scale, y_coef=None, y_reduction=1.0)

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
        coef = None
        if self.y_coef is not None:
            if np.any(np.delete(self.y_coef, kept)):
                raise ReductionLost("the response's preliminary fit used a fixed-effects column that is a "
                                    "combination of the others")
            coef = _frozen(self.y_coef[kept].copy())
        return Reparam(self.y_shift if shifted else 0.0, self.y_scale,
                       self.x_shift[kept] if shifted else np.zeros(len(kept)), self.x_scale[kept],
                       self.z_shift, self.z_scale, const, self.x_const_value if shifted else 1.0,
                       self.z_const, self.z_const_value, unit, coef, self.y_reduction)


def _frozen(a):
    a.setflags(write=False)
    return a


# A response whose least-squares fit on the fixed effects leaves less than
# this fraction of its sum of squares is reduced by that fit before its
# products are formed (their cancellation would otherwise cost the residual
# that many digits: a millionth costs six).
REDUCE_BELOW = 1e-6


class ReductionLost(ValueError):
    """A preliminary fit of the response, taken from a first batch, used a
    column that the whole data show to be aliased (data read in batches
    cannot be re-read to take it out again; rows in memory are reduced
    after the aliased columns are dropped and never meet this)."""


def unit_column(c):
    """The reference column of a unit combination: the last column it uses,
    unless its part is small beside the largest (then the largest), so that
    M is well conditioned and, in the usual case, the columns before it keep
    their span (which aliased columns are dropped stays as for X)."""
    nz = np.flatnonzero(c)
    last = int(nz[-1])
    big = int(np.argmax(np.abs(c)))
    return last if abs(c[last]) >= 0.5 * abs(c[big]) else big


def with_unit(X, c):
    """X with its unit combination's reference column replaced by X c."""
    out = np.array(X, dtype=np.float64, order="C")
    out[:, unit_column(c)] = X @ c
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
    dropped = set(aliased(u.T @ u, None))
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


def _locations_scales(rows, shifted, overwrite=False):
    """(shifts, power-of-two scales) of columns of values, each given as a
    row of rows (k x n, each row contiguous, so that each column's sums are
    NumPy's pairwise sums over its own values, as for the column alone):
    each column's mean when shifted, and the scale that brings its root
    mean square about the shift near 1. The values are divided by their
    largest magnitude first, so that no square overflows or underflows.
    overwrite lets the work be done in rows itself (a caller's scratch)."""
    k = rows.shape[0]
    shift, scale = [0.0] * k, [1.0] * k
    if k == 0 or rows.shape[1] == 0:
        return np.array(shift), np.array(scale)
    n = rows.shape[1]
    if rows.size > 8192:  # the largest magnitude from the largest and smallest values, without a temporary
        big = np.maximum(np.maximum.reduce(rows, axis=1), -np.minimum.reduce(rows, axis=1))
    else:
        big = np.maximum.reduce(np.abs(rows), axis=1)
    usable = (big > 0) & np.isfinite(big)
    if usable.all():
        u = np.divide(rows, big[:, None], out=rows if overwrite else None)
    else:
        u = np.where(usable[:, None], rows, 0.0) / np.where(usable, big, 1.0)[:, None]
    # np.mean's sums and division, without its wrapper
    mean = np.add.reduce(u, axis=1) / n if shifted else np.zeros(k)
    if shifted:
        u -= mean[:, None]
    rms = np.sqrt(np.add.reduce(np.square(u, out=u), axis=1) / n)
    for j, (m, b, r, ok) in enumerate(zip(mean.tolist(), big.tolist(), rms.tolist(), usable.tolist())):
        if ok:
            shift[j] = m * b
            scale[j] = pow2_scale(r * b) if r > 0 else pow2_scale(b)
    return np.array(shift), np.array(scale)


def _rows_of(a, skip, out):
    """The columns of a other than column skip (None: every one), written
    as the rows of out."""
    if skip is None:
        out[:] = a.T
    else:
        out[:skip] = a[:, :skip].T
        out[skip:] = a[:, skip + 1:].T


def _with_reference(values, ref, value):
    """values of the columns other than ref, with value put at ref (None: no reference column)."""
    return values if ref is None else values[:ref] + [value] + values[ref:]


def reparam_of(y, X, Z, x_const, z_const, unit=None, reduce=True):
    """The reparametrisation from these rows (all, or a sample). With a unit
    combination (x_const None), X holds the core's columns (see
    Reparam.core_design) and its reference column is X c, of value 1.
    The columns shifted alike (X's and y, and Z's when both have a reference
    column) are measured together. A response the fixed effects explain
    nearly all of is reduced by their fit on these rows (see
    Reparam.reduced; not with reduce False). Without a response (y None:
    a generalized model's response keeps its meaning) y's shift is 0 and its
    scale 1."""
    x_ref = x_const if unit is None else unit_column(unit)
    x_centred, z_centred = x_ref is not None, z_const is not None
    p, q = X.shape[1], Z.shape[1]
    k = p - (x_ref is not None)
    kz = q - (z_const is not None)
    ky = 0 if y is None else 1
    together = z_centred == x_centred
    # X's other columns, y and (when shifted alike) Z's other columns as the rows of one array.
    rows = np.empty((k + ky + (kz if together else 0), X.shape[0]))
    _rows_of(X, x_ref, rows[:k])
    if ky:
        rows[k] = y
    if together:
        _rows_of(Z, z_const, rows[k + ky:])
    shift, scale = _locations_scales(rows, x_centred, overwrite=True)
    shift, scale = shift.tolist(), scale.tolist()
    if not together:
        zrows = np.empty((kz, Z.shape[0]))
        _rows_of(Z, z_const, zrows)
        zs = _locations_scales(zrows, z_centred, overwrite=True)
        shift, scale = shift + zs[0].tolist(), scale + zs[1].tolist()
    x_shift = np.array(_with_reference(shift[:k], x_ref, 0.0))
    x_scale = np.array(_with_reference(scale[:k], x_ref, None if x_ref is None else
                                       pow2_scale(abs(float(X[0, x_ref])))))
    y_shift, y_scale = (shift[k], scale[k]) if ky else (0.0, 1.0)
    z_shift = np.array(_with_reference(shift[k + ky:], z_const, 0.0))
    z_scale = np.array(_with_reference(scale[k + ky:], z_const, None if z_const is None else
                                       pow2_scale(abs(float(Z[0, z_const])))))
    v0 = float(X[0, x_const]) if x_const is not None else 1.0
    w0 = float(Z[0, z_const]) if z_const is not None else 1.0
    rp = Reparam(y_shift, y_scale, x_shift, x_scale, z_shift, z_scale, x_const, v0, z_const, w0, unit)
    return rp.reduced(y, X) if reduce and y is not None else rp


def reparam_from_sample(y, X, Z, z_centred=True, reduce=True):
    """The reparametrisation from a sample of these rows (the first batch of
    data read in batches; y None for a design alone, as a generalized
    model's). Without a constant column, a unit combination found in the
    sample is used whatever the other rows hold: the core's
    columns X' = X M are then a linear map of X's on every row, so it costs
    at most conditioning, never correctness. z_centred False leaves Z's
    columns uncentred (uncorrelated blocks of random effects, which
    centring about the intercept would correlate)."""
    idx = sample_rows(X.shape[0])
    xs, zs, ys = X[idx], Z[idx], (None if y is None else y[idx])
    x_const = constant_column(xs)
    z_const = constant_column(zs) if z_centred else None
    unit = unit_combination(xs) if x_const is None else None
    return reparam_of(ys, xs if unit is None else with_unit(xs, unit), zs, x_const, z_const, unit, reduce)


def weight_factor(sw):
    """The power of two 1 / 2^k, k the rounded mean of log2 sqrt(w): rows
    scaled by sqrt(w) times it have square-root weights of geometric mean
    near 1, whatever the weights' units."""
    k = round(float(np.mean(np.log2(sw))))
    return 1.0 if k == 0 else 2.0 ** -k


# ---- checking a sample's shifts against the totals ----------------------------------

def _summaries(t, rp, n):
    """Means and spreads of the transformed columns of y, X and Z, from the
    totals (lists of floats for X's and Z's columns). Means need X's
    reference column (constant on every row); without one the means are 0
    and the spreads root mean squares. The products are few: the
    arithmetic is Python's, the same operations as NumPy's elementwise ones."""
    xtx = np.asarray(t["xtx"])
    diag_x, diag_z = xtx.diagonal().tolist(), np.asarray(t["ztz"]).diagonal().tolist()
    r = rp.x_ref
    if r is None:
        return ([0.0] * rp.p, [math.sqrt(d / n) for d in diag_x], 0.0, math.sqrt(t["yty"] / n), [0.0] * rp.q,
                [math.sqrt(d / n) for d in diag_z])
    c = math.sqrt(diag_x[r] / n)  # the reference column's transformed value
    nc = n * c
    xm = [v / nc for v in xtx[r, :].tolist()]
    xsd = [math.sqrt(max(d / n - m * m, 0.0)) for d, m in zip(diag_x, xm)]
    ym = float(t["xty"][r]) / nc
    ysd = math.sqrt(max(t["yty"] / n - ym ** 2, 0.0))
    zm = [v / nc for v in np.asarray(t["ztx"])[:, r].tolist()]
    zsd = [math.sqrt(max(d / n - m * m, 0.0)) for d, m in zip(diag_z, zm)]
    return xm, xsd, ym, ysd, zm, zsd


def _off(mean, spread, shifted):
    """A transformed column the sample misjudged: its mean beyond 1000 of its
    spreads (when it was to be centred), or its spread off unity by 2^10."""
    if not spread > 0:
        return False
    return (shifted and abs(mean) > 1e3 * spread) or not 2.0 ** -10 < spread < 2.0 ** 10


def needs_exact(t, rp, n):
    xm, xsd, ym, ysd, zm, zsd = _summaries(t, rp, n)
    shifted = rp.x_ref is not None
    if any(_off(m, s, shifted) for j, (m, s) in enumerate(zip(xm, xsd)) if j != rp.x_ref):
        return True
    centred = rp.z_const is not None
    if any(_off(m, s, centred) for k, (m, s) in enumerate(zip(zm, zsd)) if k != rp.z_const):
        return True
    return _off(ym, ysd, shifted)


def refine(t, rp, n):
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
                scale[j] = pow2_scale(spreads[j] / scale[j])
        return shift, scale

    shifted = rp.x_ref is not None
    x_shift, x_scale = fix(rp.x_shift, rp.x_scale, xm, xsd, rp.x_ref, shifted)
    z_shift, z_scale = fix(rp.z_shift, rp.z_scale, zm, zsd, rp.z_const, rp.z_const is not None)
    y_shift = rp.y_shift + ym / rp.y_scale if shifted and rp.y_coef is None else rp.y_shift
    y_coef = rp.y_coef
    if shifted and y_coef is not None:  # the reduction's coefficient of the reference column takes the mean
        y_coef = y_coef.copy()
        y_coef[rp.x_ref] += ym / rp.y_scale / rp.x_const_value
        y_coef = _frozen(y_coef)
    y_scale = pow2_scale(ysd / rp.y_scale) if ysd > 0 else rp.y_scale
    return replace(rp, y_shift=y_shift, y_scale=y_scale, x_shift=x_shift, x_scale=x_scale, z_shift=z_shift,
                   z_scale=z_scale, y_coef=y_coef)
