"""What every mixed model with one grouping factor is, whatever its family:
the names of its parts, where its rows came from, the layout of theta and
its free entries, the rows it keeps, and the two heads of construction that
turn the caller's input into checked rows (arrays, or a formula over a
table in memory).

:class:`MixedModel` is the base of :class:`corvane.LinearMixedModel` and
:class:`corvane.GeneralizedLinearMixedModel`; a family adds its core, its
fit and its result.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass, replace
from typing import Any

import numpy as np

from .. import _checks
from ..data.arrays import align, as_design, as_response, columns_by_name, is_pandas, per_row
from ..design.construct import Rows
from ..design.theta import theta_layout
from ..formula.labels import factorize, term_names

__all__ = ["Names", "Origin", "MixedModel", "given_names", "spec_names", "table_rows"]


@dataclass(frozen=True)
class Names:
    """What the outputs call the model's parts."""

    response: str
    group: str
    fixed: list   # every column of X, before aliased ones are dropped
    random: list
    blocks: tuple = ()  # uncorrelated blocks of Z's columns (index tuples); () for one unstructured block


@dataclass(frozen=True)
class Origin:
    """Where a formula model's rows came from: the formula and its spec (to
    build new data), the table's rows read and dropped, the index of the
    rows kept, and the table's index with the mask of kept rows (to take a
    new response given for every row of the table)."""

    formula: str | None = None
    spec: Any = None
    n_read: int | None = None
    n_dropped: int = 0
    index: Any = None
    source_index: Any = None
    kept_mask: np.ndarray | None = None
    # An offset given as values (not from the formula's columns): new data
    # must bring its own. The column the weights came from, if they did.
    offset_values: bool = False
    weights_column: str | None = None


def given_names(given, count):
    """Column names given for plain arrays' columns, as strings."""
    if len(given) != count:
        raise ValueError(f"{len(given)} names for {count} columns")
    return [str(v) for v in given]


def spec_names(spec):
    """The outputs' names of a formula's model spec."""
    blocks = spec.re_blocks
    response = f"cbind({', '.join(spec.parsed.cbind)})" if spec.parsed.cbind else spec.parsed.response
    return Names(response, spec.parsed.group, term_names(spec.fixed.columns), term_names(spec.random.columns),
                 tuple(map(tuple, blocks)) if blocks else ())


def array_rows(y, X, Z, groups, *, x_names=None, z_names=None, y_name=None, group_name=None, offset=None,
               weights=None, blocks=None, weights_check=True):
    """(Rows, Names, Origin) of a model given as arrays (NumPy or pandas,
    paired by index): converted, checked and named. weights_check False
    leaves the weights to the family (a binomial's trials)."""
    (y, X, Z, groups, offset, weights), index = align(
        (y, X, Z, groups, offset, weights), ("y", "X", "Z", "groups", "offset", "weights"))
    y, response = as_response(y)
    X, fixed = as_design(X, "X", "x")
    Z, random = as_design(Z, "Z", "z")
    gname = getattr(groups, "name", None) if is_pandas(groups) else None
    group = "group" if gname is None else str(gname)
    if x_names is not None:
        fixed = given_names(x_names, X.shape[1])
    if z_names is not None:
        random = given_names(z_names, Z.shape[1])
    offset = None if offset is None else _checks.check_finite(as_response(offset)[0], "offset")
    if weights is not None:
        weights = as_response(weights)[0]
        if weights_check:
            weights = _checks.check_weights(weights)
    n = y.shape[0]
    for what, rows in (("X", X.shape[0]), ("Z", Z.shape[0]), ("groups", len(groups)),
                       ("offset", n if offset is None else len(offset)),
                       ("weights", n if weights is None else len(weights))):
        if rows != n:
            raise ValueError(f"{what} has {rows} rows but y has {n}")
    _checks.check_columns(X.shape[1], Z.shape[1])
    codes, labels = factorize(groups, "groups")
    names = Names(response if y_name is None else str(y_name), group if group_name is None else str(group_name),
                  fixed, random, _checks.check_blocks(blocks, Z.shape[1]))
    return Rows(y, X, Z, codes, labels, offset, weights), names, Origin(index=index, offset_values=offset is not None)


def table_rows(formula, frame, env, weights, offset):
    """(Rows, Names, Origin) of a formula over a table in memory (a pandas
    DataFrame with string column names): the rows with every column the
    formula (and a weights column) uses, the offset of the formula and of
    `offset` given as values added, the groups coded. A response written
    cbind(s, f) gives y of two columns (successes, failures)."""
    from ..formula import build as _build

    weight_col = _checks.check_weight_column(frame, weights)
    spec, y, X, Z, off, groups, n_dropped, kept = _build.build(
        formula, frame, env, extra=[weight_col] if weight_col else (), group_array=True)
    w = per_row(frame, weights, kept, "weights") if weights is not None else None
    extra_off = per_row(frame, offset, kept, "offset") if offset is not None else None
    if extra_off is not None:
        off = off + extra_off
    codes, labels = factorize(groups, "groups")
    rows = Rows(y, X, Z, codes, labels, off if (spec.offsets or extra_off is not None) else None, w)
    origin = Origin(formula, spec, len(frame), n_dropped, frame.index if n_dropped == 0 else None, frame.index, kept,
                    extra_off is not None, weight_col)
    return rows, spec_names(spec), origin


def with_offset_column(formula, offset):
    """(formula, offset): an offset named by its column joins the formula as
    offset(column), so that new data's column gives it in predictions."""
    if isinstance(offset, str):
        return f"{formula} + offset({offset})", None
    return formula, offset


class MixedModel:
    """The parts every family's model shares: names and origin, the layout
    of theta (the lower triangle of Lambda, column by column, with the
    entries held at 0 between uncorrelated blocks left out), the rows it
    keeps and the design of new data. A subclass builds its core."""

    def _adopt_names(self, names, origin, labels):
        """The construction's head: what the outputs call things, where the
        rows came from and theta's layout."""
        self.response_name, self.group_name = names.response, names.group
        self.fe_names_all, self.re_names = list(names.fixed), list(names.random)
        self.formula, self.spec, self.n_dropped = origin.formula, origin.spec, origin.n_dropped
        self.n_read, self._index = origin.n_read, origin.index
        self.source_index, self.kept_mask = origin.source_index, origin.kept_mask
        self.offset_values, self.weights_column = origin.offset_values, origin.weights_column
        self.group_labels = list(labels)
        self.q, self.m = len(names.random), len(labels)
        self.re_blocks = tuple(tuple(int(j) for j in b) for b in names.blocks) if len(names.blocks) > 1 else ()
        self.theta_pairs, self.theta_free = theta_layout(self.q, self.re_blocks)
        self.n_theta = len(self.theta_pairs)

    @property
    def index(self):
        """The index of the rows kept: the table's index cut to them when
        first asked for (most fits never ask)."""
        if self._index is None and self.source_index is not None:
            self._index = self.source_index if self.kept_mask is None else self.source_index[self.kept_mask]
        return self._index

    def _names(self):
        return Names(self.response_name, self.group_name, self.fe_names_all, self.re_names, self.re_blocks)

    def _origin(self):
        return Origin(self.formula, self.spec, self.n_read, self.n_dropped, self._index, self.source_index,
                      self.kept_mask, self.offset_values, self.weights_column)

    def with_fixed_columns(self, keep, formula=None):
        """The same family's model on the same rows with only the columns
        keep of the full fixed design (X_all), unfitted: the reduced models
        of likelihood-ratio tests. Needs the model's rows."""
        self._require_rows("a model with other fixed effects")
        keep = [int(j) for j in keep]
        return self.with_fixed(self.X_all[:, keep], [self.fe_names_all[j] for j in keep], formula)

    def with_fixed(self, X, names, formula=None):
        """The same family's model on the same rows (random effects, offset
        and weights) with the fixed-effects design X (columns named names),
        unfitted."""
        self._require_rows("a model with other fixed effects")
        rows = Rows(self.y, np.ascontiguousarray(X, dtype=np.float64), self.Z, self.codes, self.group_labels,
                    self.offset, self.weights)
        names = Names(self.response_name, self.group_name, list(names), self.re_names, self.re_blocks)
        return self._rebuilt(rows, names, replace(self._origin(), formula=formula, spec=None))

    def _rebuilt(self, rows, names, origin):
        """A model of this family (and its settings) from rows."""
        raise NotImplementedError

    def full_theta(self, theta):
        """The whole lower triangle of Lambda (column by column) from the
        free entries of theta (theta_pairs): 0 between uncorrelated blocks."""
        theta = np.asarray(theta, dtype=np.float64)
        if self.theta_free is None:
            return theta
        out = np.zeros(self.q * (self.q + 1) // 2)
        out[self.theta_free] = theta
        return out

    def _fit_free(self):
        """The core's free theta entries (None: all of them)."""
        return None if self.theta_free is None else [int(k) for k in self.theta_free]

    @property
    def rows_kept(self):
        """Whether the model holds its rows (False for data read in batches:
        Parquet, Arrow, Dask). Fitted values, residuals, refits, simulation
        and the bootstrap need them."""
        return getattr(self, "X", None) is not None

    def _require_rows(self, what):
        if not self.rows_kept:
            raise ValueError(f"{what} needs the model's rows, which a model fitted from data read in batches "
                             f"(Parquet, Arrow, Dask) does not keep; predict(new_data) works, or fit the "
                             f"rows in memory")

    def _new_design(self, data, include_random):
        """(X, Z, labels, offset) for new data: (X, Z, groups) as a tuple or a
        mapping; X alone without the random effects. pandas X takes its
        columns by name."""
        if isinstance(data, Mapping):
            x, z, g = data.get("X"), data.get("Z"), data.get("groups")
        elif isinstance(data, (tuple, list)):
            if not 1 <= len(data) <= 3:
                raise ValueError("data must be (X, Z, groups)")
            x, z, g = (list(data) + [None, None])[:3]
        else:
            x, z, g = data, None, None
        if x is None:
            raise ValueError("data must give X")
        x = columns_by_name(x, self.fe_names_all, "X")[:, self.kept]
        if not include_random:
            return x, None, None, None
        if z is None or g is None:
            raise ValueError("predicting with random effects needs data = (X, Z, groups)")
        z = columns_by_name(z, self.re_names, "Z")
        labels = g.tolist() if hasattr(g, "tolist") else list(g)
        if not (len(labels) == z.shape[0] == x.shape[0]):
            raise ValueError("X, Z and groups must have the same number of rows")
        return x, z, labels, None
