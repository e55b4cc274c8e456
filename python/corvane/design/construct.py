"""From validated arrays or accumulated products to a core, through the
reparametrisation (:mod:`corvane.design.reparam`).

:func:`prepare` builds the core of rows in memory: shifts and scales from a
sample, a rebuild with exact ones when the totals show the sample misjudged
the data, aliased fixed-effect columns dropped (with a RankDeficiencyWarning).
:func:`prepare_products` does the same for products accumulated over
batches.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from .._corvane import Accumulator, LmmCore
from .reparam import (REDUCE_BELOW, Reparam, ReductionLost, constant_column, needs_exact, refine, reparam_of,
                      sample_rows, unit_combination, weight_factor, with_unit, UNIT_TOL)
from .._checks import check_finite_columns, check_finite_products
from .rank import drop_aliased, exact_fit, finite_totals, row_residual

__all__ = ["Rows", "Products", "Prepared", "prepare", "prepare_products", "with_response", "core_from_products",
           "transform_args", "build_core"]


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
                z_ref=rp.z_const, z_ref_value=rp.z_const_value, y_coef=rp.y_coef)


def build_core(y, X, Z, codes, rp, evaluator="auto"):
    """The core of rows as the core holds them (X from core_design)."""
    acc = Accumulator(X.shape[1], Z.shape[1], **transform_args(rp))
    acc.add(y, X, Z, codes)
    return acc.finish(evaluator)


def prepare(y, X, Z, codes, fe_names, column_names=None, evaluator="auto", weights=None, z_centred=True):
    """Reparametrise and build the core; drop aliased fixed-effect columns
    (with a RankDeficiencyWarning). y, X, Z float64 C-contiguous, codes int64.
    Raises ValueError naming the column for non-finite values.

    Without a constant column, a unit combination of X's columns (X c = 1 on
    every row) takes its place as the reference (see Reparam). With
    precision weights the core holds the rows scaled by sqrt(w); the shifts
    are taken relative to the scaled reference column (values sqrt(w_i) v0),
    so that each row is centred first and weighted after, exactly, and the
    scales include the power of two that brings the weights' geometric mean
    near 1 (weights in any units give the core the same problem).
    z_centred False keeps Z's columns uncentred (uncorrelated blocks of
    random effects, which centring about the intercept would correlate)."""
    n, p = X.shape
    idx = sample_rows(n)
    whole = len(idx) == n  # the sample is every row: the arrays themselves, not copies
    xs, zs, ys = (X, Z, y) if whole else (np.take(X, idx, axis=0), np.take(Z, idx, axis=0), np.take(y, idx))
    x_const = constant_column(xs)
    z_const = constant_column(zs) if z_centred else None
    unit = None
    if x_const is None:
        unit = unit_combination(xs)
        if unit is not None and not np.all(np.abs(X @ unit - 1.0) <= UNIT_TOL):
            unit = None  # the sample's combination does not hold on every row
    Xu = X if unit is None else with_unit(X, unit)
    sw = None if weights is None else np.sqrt(np.asarray(weights, dtype=np.float64))
    factor = 1.0 if sw is None else weight_factor(sw)

    def reparam(yr, Xr, Zr):
        # The preliminary fit of a response the fixed effects explain nearly
        # all of is taken below, once the core's totals show it is needed.
        rp = reparam_of(yr, Xr, Zr, x_const, z_const, unit, reduce=False)
        return rp if factor == 1.0 else rp.scaled(factor)

    def rows(Xk):
        if sw is None:
            return y, Xk, Z
        return (np.ascontiguousarray(y * sw), np.ascontiguousarray(Xk * sw[:, None]),
                np.ascontiguousarray(Z * sw[:, None]))

    rp = reparam(ys, xs if unit is None else Xu if whole else Xu[idx], zs)
    yc, Xc, Zc = rows(Xu)
    core = build_core(yc, Xc, Zc, codes, rp, evaluator)
    t = core.totals()
    if not finite_totals(t):
        check_finite_columns(y, X, Z, fe_names, column_names)
        # Finite but huge values overflowed the products: exact scales.
        rp = reparam(y, Xu, Z)
        core = build_core(yc, Xc, Zc, codes, rp, evaluator)
        t = core.totals()
        if not finite_totals(t):
            raise ValueError("the data are too large in magnitude for double precision products")
    elif sw is None and needs_exact(t, rp, n):
        rp = refine(t, rp, n)
        core = build_core(yc, Xc, Zc, codes, rp, evaluator)
        t = core.totals()

    kept, const = drop_aliased(t["xtx"], rp, fe_names, p,
                                row_residual(lambda: Xc @ rp.a_core_x))
    if len(kept) < p:
        rp = rp.kept(kept, const)
        yc, Xc, Zc = rows(rp.core_design(np.ascontiguousarray(X[:, kept])))
        core = build_core(yc, Xc, Zc, codes, rp, evaluator)
        t = core.totals()
    residual = exact_fit(core, t)
    if not residual[0] > REDUCE_BELOW:
        # The fixed effects explain nearly all of y: their products cancel
        # that many of the residual's digits. Take their fit out of y first.
        Xk = rp.core_design(np.ascontiguousarray(X[:, kept]))
        reduced = rp.reduced(y[idx], Xk[idx], factor)
        if reduced is not rp:
            rp = reduced
            core = build_core(yc, Xc, Zc, codes, rp, evaluator)
            t = core.totals()
            residual = exact_fit(core, t)
    weighted = None
    if sw is not None or rp.x_unit is not None:
        weighted = (sw, Xc, Zc)
    return Prepared(core, rp, kept, t, weighted, residual)


def prepare_products(products, fe_names, evaluator="auto"):
    """A core from accumulated products, as prepare() builds one from rows:
    aliased fixed-effect columns dropped (with a RankDeficiencyWarning) and
    the groups put in their final order, both in the accumulator itself (no
    copy of the products is kept beside the core)."""
    arrays, rp = products.arrays, products.reparam
    check_finite_products(arrays)
    p = int(arrays["p"])
    kept, const = drop_aliased(np.asarray(arrays["xtx"]), rp, fe_names, p)
    if len(kept) < p:
        if rp.x_const is not None and const is None:
            raise ValueError("the constant fixed-effects column is a combination of others; the data read in "
                             "batches cannot be re-read to drop it")
        try:
            new = rp.kept(kept, const)
        except ReductionLost as exc:
            raise ValueError(f"{exc}; the data read in batches cannot be re-read to take it out again") from None
        if rp.x_unit is not None and new.x_unit is None:
            used = ", ".join(fe_names[j] for j in np.flatnonzero(rp.x_unit))
            raise ValueError(f"the fixed-effects columns that sum to one ({used}) include a column that is a "
                             f"combination of others; the data read in batches cannot be re-read to drop it")
        rp = new
    products.acc.select(groups=products.order, columns=kept if len(kept) < p else None)
    core = products.acc.finish(evaluator)
    t = core.totals()
    return Prepared(core, rp, kept, t, residual=exact_fit(core, t))


def core_from_products(arrays, evaluator="auto"):
    return Accumulator.from_arrays(arrays).finish(evaluator)


# ---- what a model is built from ----------------------------------------------------

@dataclass(frozen=True)
class Rows:
    """A model's rows, converted and checked: y, X (every column, before
    aliased ones are dropped) and Z as float64 C-contiguous arrays, group
    codes 0..m-1 (int64) with their labels, and the offset and precision
    weights (or None)."""

    y: np.ndarray
    X: np.ndarray
    Z: np.ndarray
    codes: np.ndarray
    labels: list
    offset: np.ndarray | None = None
    weights: np.ndarray | None = None

    @property
    def y_fit(self):
        """The response the core fits: y less the offset."""
        return self.y if self.offset is None else self.y - self.offset


@dataclass
class Products:
    """A model's products accumulated over batches (the rows are not kept):
    the accumulator, the reparametrisation its products were formed under,
    the group labels in their final order and the accumulated code of each
    (groups without rows left out). ``arrays`` is the accumulator's products
    as NumPy arrays, read once for the checks."""

    acc: Accumulator | None
    reparam: Reparam
    labels: list
    order: np.ndarray | None = None
    n: int = 0  # rows
    arrays: dict | None = None

    def __post_init__(self):
        if self.acc is not None and self.arrays is None:
            self.arrays = self.acc.to_arrays()
            self.n = int(self.arrays["n"])


def with_response(core, rp, kept, core_rows, codes, y, weights=None):
    """Prepared for a new response y (less any offset) on a core's design:
    y's shift and scale anew, the design's products shared (core_rows: the
    rows as the core holds them, see LinearMixedModel.core_rows)."""
    sw, Xc, Zc = core_rows
    new_rp = rp.for_response(y, weights)
    y_rows = y if sw is None else y * sw
    new = core.with_response(new_rp.core_response(y_rows, Xc), Xc, Zc, codes)
    t = new.totals()
    residual = exact_fit(new, t)
    if not residual[0] > REDUCE_BELOW:  # as in prepare: the fixed effects' fit taken out of y first
        idx = sample_rows(len(y))
        xs = Xc[idx] if sw is None else Xc[idx] / sw[idx, None]
        factor = 1.0 if weights is None else weight_factor(np.sqrt(weights))
        reduced = new_rp.reduced(y[idx], xs, factor)
        if reduced is not new_rp:
            new_rp = reduced
            new = core.with_response(new_rp.core_response(y_rows, Xc), Xc, Zc, codes)
            t = new.totals()
            residual = exact_fit(new, t)
    weighted = core_rows if sw is not None or rp.x_unit is not None else None
    return Prepared(new, new_rp, kept, t, weighted, residual)
