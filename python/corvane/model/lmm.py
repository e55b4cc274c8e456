"""Linear mixed models with one grouping factor.

:class:`LinearMixedModel` takes the response, the fixed-effects design X, the
random-effects design Z and one group label per row (NumPy arrays or pandas
objects) and fits them with the certified trust-region Newton method;
``corvane.lmm`` builds one from a formula.

Every model, whatever it comes from (arrays, a formula over a table, data
read in batches, a new response on the same design, a refit by maximum
likelihood), is built by one path, :meth:`LinearMixedModel._construct`: the
checks of :mod:`corvane.model.checks`, then a core through :mod:`corvane.model.construct`.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from . import construct as _design
from . import checks as _validate
from ..data.arrays import align, as_design, as_response, columns_by_name, is_pandas, per_row, response_at_rows
from ..formula.parse import REML_DEFAULT
from ..data.labels import factorize, term_names
from .reparam import theta_layout
from .checks import check_bool, check_finite, check_starts, check_weights

if TYPE_CHECKING:  # pragma: no cover
    from ..results.lmm import LmmResult

__all__ = ["LinearMixedModel", "lmm"]


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


class LinearMixedModel:
    """y = X beta + Z b + e with one grouping factor, fitted by REML or ML.

    Parameters
    ----------
    y : array_like or pandas Series, shape (n,)
        The response.
    X : array_like or pandas DataFrame, shape (n, p)
        The fixed-effects design.
    Z : array_like or pandas DataFrame, shape (n, q)
        The random-effects design.
    groups : array_like or pandas Series, shape (n,)
        One group label per row, of any kind (see :func:`corvane.data.labels.factorize`).
    reml : bool
        REML (default) or maximum likelihood.
    x_names, z_names, y_name, group_name : optional
        Names for plain arrays' columns.
    offset : array_like, shape (n,), optional
        A known term added to the linear predictor.
    weights : array_like, shape (n,), optional
        Precision weights: the residual variance of row i is sigma^2 / w_i
        (as lme4's ``weights``). Positive and finite.
    blocks : sequence of sequences of int, optional
        Uncorrelated blocks of Z's columns (each column in exactly one
        block): the random effects of different blocks have no correlation,
        as the terms of ``(x || g)``. By default one block, every pair of
        random effects correlated.

    pandas inputs are paired by their index (reordered to the first one's when
    they hold the same labels in another order; refused otherwise). Missing or
    infinite values are refused here (the formula interface drops rows with
    missing values).
    """

    def __init__(self, y: Any, X: Any, Z: Any, groups: Any, reml: bool = True, *, x_names: Any = None,
                 z_names: Any = None, y_name: str | None = None, group_name: str | None = None,
                 offset: Any = None, weights: Any = None, blocks: Any = None) -> None:
        reml = check_bool(reml, "reml")
        (y, X, Z, groups, offset, weights), index = align(
            (y, X, Z, groups, offset, weights), ("y", "X", "Z", "groups", "offset", "weights"))
        y, response = as_response(y)
        X, fixed = as_design(X, "X", "x")
        Z, random = as_design(Z, "Z", "z")
        gname = getattr(groups, "name", None) if is_pandas(groups) else None
        group = "group" if gname is None else str(gname)
        if x_names is not None:
            fixed = _given_names(x_names, X.shape[1])
        if z_names is not None:
            random = _given_names(z_names, Z.shape[1])
        offset = None if offset is None else check_finite(as_response(offset)[0], "offset")
        weights = None if weights is None else check_weights(as_response(weights)[0])
        n = y.shape[0]
        for what, rows in (("X", X.shape[0]), ("Z", Z.shape[0]), ("groups", len(groups)),
                           ("offset", n if offset is None else len(offset)),
                           ("weights", n if weights is None else len(weights))):
            if rows != n:
                raise ValueError(f"{what} has {rows} rows but y has {n}")
        _validate.check_columns(X.shape[1], Z.shape[1])
        codes, labels = factorize(groups, "groups")
        names = Names(response if y_name is None else str(y_name), group if group_name is None else str(group_name),
                      fixed, random, _validate.check_blocks(blocks, Z.shape[1]))
        self._construct(_design.Rows(y, X, Z, codes, labels, offset, weights), names, reml,
                        Origin(index=index, offset_values=offset is not None))

    # -- building: the one path ------------------------------------------------------
    @classmethod
    def _assemble(cls, data, names, reml, origin, reuse=None):
        """A model built by _construct without __init__'s conversions (the
        formula, batched, refit and ML-refit paths)."""
        self = object.__new__(cls)
        self._construct(data, names, reml, origin, reuse)
        return self

    def _construct(self, data, names, reml, origin, reuse=None):
        """Every model is built here. data is Rows (in memory) or Products
        (read in batches); reuse is a model whose design this one shares: its
        core takes the new response in data (a refit), or, with data None,
        is this model's core as it is (the same data fitted another way)."""
        if data is None:
            data = reuse._data()
        rows = isinstance(data, _design.Rows)
        self.reml = reml
        self.response_name, self.group_name = names.response, names.group
        self.fe_names_all, self.re_names = list(names.fixed), list(names.random)
        self.formula, self.spec, self.n_dropped = origin.formula, origin.spec, origin.n_dropped
        self.n_read, self.index = origin.n_read, origin.index
        self._source_index, self._kept_mask = origin.source_index, origin.kept_mask
        self.offset_values, self.weights_column = origin.offset_values, origin.weights_column
        self.group_labels = list(data.labels)
        if rows:
            self.y, self.X_all, self.Z, self.codes = data.y, data.X, data.Z, data.codes
            self.offset, self.weights = data.offset, data.weights
            n, p = data.X.shape
        else:
            self.y = self.X_all = self.Z = self.codes = self.offset = self.weights = None
            n, p = data.n, len(names.fixed)
        self.n, self.q, self.m = n, len(names.random), len(data.labels)
        self.re_blocks = tuple(tuple(int(j) for j in b) for b in names.blocks) if len(names.blocks) > 1 else ()
        self.theta_pairs, self.theta_free = theta_layout(self.q, self.re_blocks)

        same = reuse is not None and (data.y is reuse.y if rows else True)  # the same data, checked before
        what = "the new response" if reuse is not None and not same else f"the response {names.response!r}"
        _validate.check_identifiable(n, p, self.q, self.m, names.group, reml)
        if rows and not same:
            _validate.check_varies(data.y_fit, what)
        elif not same:
            _validate.check_varies_products(data.arrays, data.reparam.x_const, what)

        if same:
            prepared = _design.Prepared(reuse.core, reuse.reparam, reuse.kept, reuse.core.totals(),
                                        reuse._weighted, reuse._residual)
        elif reuse is not None:
            prepared = _design.with_response(reuse.core, reuse.reparam, reuse.kept, reuse.core_rows(),
                                             data.codes, data.y_fit, data.weights)
        elif rows:
            prepared = _design.prepare(data.y_fit, data.X, data.Z, data.codes, names.fixed, names.random,
                                       weights=data.weights, z_centred=not self.re_blocks)
        else:
            prepared = _design.prepare_products(data, names.fixed)
        if reuse is None:
            _validate.check_random_columns(prepared.totals["ztz"], self.re_names, self.group_name)
        _validate.check_residual(prepared.residual, what, self.group_name, prepared.reparam.y_reduction)
        self._adopt(prepared, data.y_fit if rows else None, reuse)

    def _adopt(self, prepared, y_fit, reuse=None):
        self.core = prepared.core
        self.reparam = prepared.reparam
        self.kept = prepared.kept
        self._residual = prepared.residual
        every = len(prepared.kept) == len(self.fe_names_all)  # the kept columns are distinct: all of them
        kept = () if every else set(int(j) for j in prepared.kept)
        self.dropped = [] if every else [name for j, name in enumerate(self.fe_names_all) if j not in kept]
        if self.X_all is None:
            self.X = None
        elif reuse is not None:
            self.X = reuse.X  # the same design: its kept columns are shared, not copied again
        else:
            self.X = self.X_all if not self.dropped else np.ascontiguousarray(self.X_all[:, self.kept])
        self.fe_names = list(self.fe_names_all) if every else [self.fe_names_all[j] for j in self.kept]
        self.p = len(self.fe_names)
        self.n_theta = len(self.theta_pairs)
        self._y_fit = y_fit
        self._weighted = prepared.weighted  # (sqrt(w) or None, X, Z) as the core holds them, or None
        self.weights_logdet = 0.0 if self.weights is None else float(np.sum(np.log(self.weights)))

    def _data(self):
        """What this model was built from (Rows, or Products for data read in batches)."""
        if self.rows_kept:
            return _design.Rows(self.y, self.X_all, self.Z, self.codes, self.group_labels, self.offset, self.weights)
        return _design.Products(None, self.reparam, self.group_labels, n=self.n)

    def _names(self):
        return Names(self.response_name, self.group_name, self.fe_names_all, self.re_names, self.re_blocks)

    def _origin(self):
        return Origin(self.formula, self.spec, self.n_read, self.n_dropped, self.index, self._source_index,
                      self._kept_mask, self.offset_values, self.weights_column)

    def with_reml(self, reml: bool) -> "LinearMixedModel":
        """The same model fitted by REML (True) or maximum likelihood (False).

        Parameters
        ----------
        reml : bool
            REML or maximum likelihood.

        Returns
        -------
        LinearMixedModel
            This model when ``reml`` is its own; otherwise a model on the same
            data that shares this one's core (nothing is rebuilt).

        Examples
        --------
        >>> import corvane
        >>> from corvane._example import example_frame
        >>> m = corvane.LinearMixedModel.from_formula("Reaction ~ Days + (Days | Subject)", example_frame())
        >>> ml = m.with_reml(False)
        >>> ml.core is m.core, ml.fit().method
        (True, 'ML')
        """
        reml = check_bool(reml, "reml")
        if reml == self.reml:
            return self
        return self._assemble(None, self._names(), reml, self._origin(), reuse=self)

    def __getstate__(self):
        state = dict(self.__dict__)
        state.pop("core", None)
        state.pop("_weighted", None)
        if not self.rows_kept:
            state["_products"] = self.core.products()  # the core is rebuilt from them
        return state

    def core_rows(self):
        """(sqrt(w) or None, X, Z) as the core holds them: the core's columns
        of X (Reparam.core_design), and the rows scaled by the square roots
        of the weights for a weighted model."""
        rp = self.reparam
        if self.weights is None and rp.x_unit is None:
            return None, self.X, self.Z
        w = getattr(self, "_weighted", None)
        if w is None:
            X = rp.core_design(self.X)
            if self.weights is None:
                w = (None, X, self.Z)
            else:
                sw = np.sqrt(self.weights)
                w = (sw, np.ascontiguousarray(X * sw[:, None]), np.ascontiguousarray(self.Z * sw[:, None]))
            self._weighted = w
        return w

    def __setstate__(self, state):
        products = state.pop("_products", None)
        self.__dict__.update(state)
        if products is not None:
            self.core = _design.core_from_products(products)
        else:
            sw, X, Z = self.core_rows()
            y = self._y_fit if sw is None else self._y_fit * sw
            self.core = _design.build_core(y, X, Z, self.codes, self.reparam)

    # -- fitting ---------------------------------------------------------------------
    def _core_starts(self, starts):
        """The core's flat list of starting thetas for the user's starts (or None)."""
        if starts is None:
            return None
        rows = check_starts(starts, self.n_theta, self.q)
        return [float(v) for row in rows for v in self.reparam.theta_to_core(self.full_theta(row))]

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

    def fit(self, starts: Any = None, *, max_iter: int = 200) -> "LmmResult":
        """Fit by the certified trust-region Newton method.

        Parameters
        ----------
        starts : array_like, optional
            Starting thetas on the user's parametrisation (the lower triangle of
            the relative covariance factor, column by column), one or a list of
            them. By default the core's moment start and the identity.
        max_iter : int
            Iterations per start.

        Returns
        -------
        LmmResult
            The fit with its certificate (``converged``, ``status``, ``boundary``).

        Raises
        ------
        ValueError
            For starts of the wrong length or non-finite starts.

        Warns
        -----
        ConvergenceWarning
            When the optimum is not certified.
        SingularFitWarning
            When the fit is on the boundary (a singular covariance).

        Examples
        --------
        >>> import numpy as np, corvane
        >>> from corvane._example import example_arrays
        >>> a = example_arrays()
        >>> model = corvane.LinearMixedModel(a["y"], a["X"], a["Z"], a["groups"])
        >>> result = model.fit()
        >>> result.converged, result.status
        (True, 'interior')
        """
        from ..results.lmm import LmmResult

        flat = self._core_starts(starts)
        raw = self.core.fit_newton(flat, reml=self.reml, max_iter=int(max_iter), free=self._fit_free())
        result = LmmResult(self, raw, None if starts is None else np.asarray(starts, dtype=np.float64))
        result._warn()
        return result

    def evaluate(self, theta: Any) -> "LmmResult":
        """The result at a given theta (the user's parametrisation), without optimising.

        Parameters
        ----------
        theta : array_like
            The lower triangle of the relative covariance factor, column by column.

        Returns
        -------
        LmmResult
            With ``converged`` None.

        Raises
        ------
        ValueError
            For a theta of the wrong length, non-finite, or where the criterion
            cannot be evaluated.

        Examples
        --------
        >>> import corvane
        >>> from corvane._example import example_arrays
        >>> a = example_arrays()
        >>> model = corvane.LinearMixedModel(a["y"], a["X"], a["Z"], a["groups"])
        >>> fitted = model.fit()
        >>> abs(model.evaluate(fitted.theta).criterion - fitted.criterion) < 1e-8
        True
        """
        from ..results.lmm import LmmResult

        theta = np.asarray(theta, dtype=np.float64).ravel()
        if self.theta_free is not None and theta.size == self.q * (self.q + 1) // 2:
            theta = theta[self.theta_free]  # the whole lower triangle, as result.theta holds it
        if theta.size != self.n_theta:
            raise ValueError(f"theta must have {self.n_theta} entries for {self.q} random-effect columns, "
                             f"got {theta.size}")
        if not np.isfinite(theta).all():
            raise ValueError("theta must be finite")
        theta = self.full_theta(theta)
        try:
            raw = self.core.solution([float(v) for v in self.reparam.theta_to_core(theta)], reml=self.reml)
        except RuntimeError:
            raise ValueError("the criterion cannot be evaluated at this theta (a factorisation fails: "
                             "the data have non-finite values or theta is far too large)") from None
        return LmmResult(self, raw, None)

    def refit(self, y_new: Any, *, starts: Any = None, max_iter: int = 200) -> "LmmResult":
        """Fit a new response on the same design (its products are reused).

        Parameters
        ----------
        y_new : array_like or pandas Series
            One value per row of the model (for a formula model, per row of the
            table it was built from; rows dropped for missing values are skipped).
        starts, max_iter
            As for :meth:`fit`.

        Returns
        -------
        LmmResult

        Raises
        ------
        ValueError
            For a response of the wrong length, a constant one, or a model
            fitted from data read in batches.

        Examples
        --------
        >>> import corvane
        >>> from corvane._example import example_frame
        >>> df = example_frame()
        >>> r = corvane.lmm("Reaction ~ Days + (Days | Subject)", df)
        >>> r2 = r.model.refit(df["Reaction"] * 2)
        >>> float(round(r2.params["Days"] / r.params["Days"], 6))
        2.0
        """
        from ..results.lmm import LmmResult

        self._require_rows("refit")
        y = self._new_response(y_new)
        data = _design.Rows(y, self.X_all, self.Z, self.codes, self.group_labels, self.offset, self.weights)
        clone = self._assemble(data, self._names(), self.reml, self._origin(), reuse=self)
        raw = clone.core.fit_newton(clone._core_starts(starts), reml=self.reml, max_iter=int(max_iter),
                                    free=clone._fit_free())
        result = LmmResult(clone, raw, None if starts is None else np.asarray(starts, dtype=np.float64))
        result._warn()
        return result

    def _new_response(self, y_new):
        return np.ascontiguousarray(check_finite(
            response_at_rows(y_new, self.n, self.index, self._source_index, self._kept_mask), "y_new"))

    # -- designs for prediction ----------------------------------------------------
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

    def __repr__(self):
        return (f"<{type(self).__name__} n={self.n} p={self.p} q={self.q} m={self.m} "
                f"{'REML' if self.reml else 'ML'}>")

    # -- from a formula --------------------------------------------------------------
    @classmethod
    def from_formula(cls, formula: str, data: Any, reml: bool = REML_DEFAULT, *, env: Any = None,
                     progress: bool = True, weights: Any = None, offset: Any = None,
                     REML: bool | None = None) -> "LinearMixedModel":
        """The model of an lme4-style formula over a table, not yet fitted.

        Parameters
        ----------
        formula, data, reml, env, progress, weights, offset, REML
            As for :func:`corvane.lmm`.

        Returns
        -------
        LinearMixedModel

        Raises
        ------
        ValueError, TypeError
            As for :func:`corvane.lmm`.

        Examples
        --------
        >>> import corvane
        >>> from corvane._example import example_frame
        >>> m = corvane.LinearMixedModel.from_formula("Reaction ~ Days + (Days | Subject)", example_frame())
        >>> m.n, m.m, m.p, m.q
        (180, 18, 2, 2)
        """
        from ..data import batches
        from ..data import dask as dask_parts
        from ..data import sources
        from ..formula import parse as _formula
        from ..formula import build as _matrices

        reml = check_bool(*_formula.check_call(formula, data, reml, REML, "from_formula"))
        if isinstance(offset, str):
            formula = f"{formula} + offset({offset})"  # a column: as offset() in the formula
            offset = None
        stream = sources.stream_of(data)
        if stream is not None or sources.is_dask(data):
            if weights is not None or offset is not None:
                raise ValueError("weights= and an offset array are available for tables in memory; for data "
                                 "read in batches put the offset in the formula (offset(column))")
            read = (batches.read_stream(formula, stream, env, progress) if stream is not None
                    else dask_parts.read_dask(formula, data, env, progress))
            spec = read.spec
            products = _design.Products(read.acc, read.rp, list(read.labels), read.order)
            return cls._assemble(products, _spec_names(spec), reml,
                                 Origin(formula, spec, read.n_read, read.n_dropped))
        frame = sources.as_frame(data)
        weight_col = _validate.check_weight_column(frame, weights)
        spec, y, X, Z, off, groups, n_dropped, kept = _matrices.build(
            formula, frame, env, extra=[weight_col] if weight_col else (), group_array=True)
        w = per_row(frame, weights, kept, "weights") if weights is not None else None
        extra_off = per_row(frame, offset, kept, "offset") if offset is not None else None
        if extra_off is not None:
            off = off + extra_off
        codes, labels = factorize(groups, "groups")
        rows = _design.Rows(y, X, Z, codes, labels, off if (spec.offsets or extra_off is not None) else None, w)
        index = frame.index if n_dropped == 0 else frame.index[kept]
        return cls._assemble(rows, _spec_names(spec), reml,
                             Origin(formula, spec, len(frame), n_dropped, index, frame.index, kept,
                                    extra_off is not None, weight_col))

    @property
    def rows_kept(self):
        """Whether the model holds its rows (False for data read in batches:
        Parquet, Arrow, Dask). Fitted values, residuals, refits, simulation
        and the bootstrap need them."""
        return self.X is not None

    def _require_rows(self, what):
        if not self.rows_kept:
            raise ValueError(f"{what} needs the model's rows, which a model fitted from data read in batches "
                             f"(Parquet, Arrow, Dask) does not keep; predict(new_data) works, or fit the "
                             f"rows in memory")


def _given_names(given, count):
    if len(given) != count:
        raise ValueError(f"{len(given)} names for {count} columns")
    return [str(v) for v in given]


def _spec_names(spec):
    """The outputs' names of a formula's model spec."""
    blocks = spec.re_blocks
    return Names(spec.parsed.response, spec.parsed.group, term_names(spec.fixed.columns),
                 term_names(spec.random.columns), tuple(map(tuple, blocks)) if blocks else ())


def lmm(formula: str, data: Any, reml: bool = REML_DEFAULT, *, weights: Any = None, offset: Any = None,
        starts: Any = None, env: Any = None, max_iter: int = 200, progress: bool = True,
        REML: bool | None = None) -> "LmmResult":
    """Fit a linear mixed model with one grouping factor from an lme4-style formula.

    Parameters
    ----------
    formula : str
        ``"response ~ fixed terms + (random terms | group)"``, for example
        ``"Reaction ~ Days + (Days | Subject)"``, ``"y ~ x1 + x2 + (1 | g)"`` or
        ``"y ~ x + (0 + x | g)"``: a fixed part and random-effects terms whose
        grouping is one column of any dtype. Several terms of that column
        (``"y ~ x + (1 | g) + (0 + x | g)"``) and lme4's ``(x || g)`` are
        uncorrelated blocks of one random-effects vector. Terms are column
        names or Python expressions over the columns (``np.log(x)``,
        ``I(x^2)`` with R's ``^`` as a power, ``C(x)``); ``offset(expr)`` adds a
        known term. ``0 +`` or ``- 1`` removes an intercept.
    data : table
        A pandas DataFrame or a mapping of column name to values (in memory);
        a path (str or PathLike) to a CSV file (``.csv``, read into memory), a
        Parquet file (``.parquet``, ``.pq``) or a directory of Parquet
        files, a ``pyarrow.Table``, ``pyarrow.dataset.Dataset`` or
        ``pyarrow.RecordBatchReader`` (read batch by batch: memory holds one
        batch and the products); a ``dask.dataframe.DataFrame`` (each
        partition's products computed on the workers). Only the columns the
        formula uses are read.
    reml : bool
        REML (True, the default) or maximum likelihood (False).
    REML : bool, optional
        The same flag under R's name (``REML=FALSE`` in lme4); give one of
        the two.
    starts : array_like, optional
        Starting thetas (see :meth:`LinearMixedModel.fit`).
    env : mapping, optional
        Extra names the formula may use besides the columns and NumPy's
        functions (values and functions; not modules).
    max_iter : int
        Iterations of the minimiser per start.
    weights : str or array_like, optional
        Precision weights (a column name, or one value per row of the
        table): the residual variance of row i is sigma^2 / w_i, as lme4's
        ``weights``. Positive and finite; rows with a missing weight in the
        column are dropped.
    offset : str or array_like, optional
        A known term added to the linear predictor: a column name (the same
        as ``offset(column)`` in the formula, taken from new data's column
        in predictions) or one value per row of the table (predictions for
        new data then need ``offset=`` too).
    progress : bool
        A progress bar (tqdm) while reading a million rows or more in batches.

    Returns
    -------
    LmmResult

    Raises
    ------
    ValueError
        For a path of another kind than those above (naming it), a formula
        outside the supported syntax, unknown columns, a term
        that reaches anything besides the columns, the formula library's
        transforms, NumPy's mathematical functions and ``env=`` (see Notes),
        non-numeric responses, date columns, infinite values, and models that
        cannot be identified (one group, a group per row, as many random
        effects as observations).
    TypeError
        For a formula that is not a string (naming both arguments when
        formula and data are swapped), and for ``reml=`` and ``REML=`` both
        given.

    Notes
    -----
    Rows with a missing value in a column the formula uses are dropped and
    counted (``result.n_dropped``).

    Supported formula syntax: ``response ~ terms + (terms | group)`` with
    random-effects terms of a single grouping column: one term, or several
    (``(1 | g) + (0 + x | g)``, or ``(x || g)`` for the same), each an
    uncorrelated block, no column in two of them; terms are separated by
    ``+``; ``1`` / ``0`` / ``- 1`` add or remove the intercept;
    ``a:b`` and ``a*b`` are interactions; ``C(x)`` makes a factor;
    ``I(expr)`` evaluates arithmetic with R's ``^`` as a power;
    ``poly(x, 2)``, ``scale(x)``, ``center(x)``, ``bs(x, 3)`` keep the
    training data's basis, means and knots for predictions; NumPy's
    mathematical functions are available by name (``log(x)``) and as
    ``np.log(x)``; ``offset(expr)`` adds a known term. A term reaches the
    columns, these functions and ``env=``, and nothing else: no other
    attribute, subscript, lambda, comprehension or name beginning with
    ``__`` (the README lists exactly what a formula may contain). A name
    used as a value is a column when the data has one; a name called is a
    function. String and categorical columns are factors with treatment
    contrasts (the first level the reference): a string column's levels are
    sorted, a categorical's (a pandas Categorical, a polars Enum, an Arrow
    dictionary column, from memory, Arrow, Parquet or Dask alike) are its
    categories in their order, less those with no row left once rows with
    missing values are dropped; group labels are ordered the same way.
    Decimal columns are numbers; date columns are refused.

    Examples
    --------
    >>> import corvane
    >>> from corvane._example import example_frame
    >>> r = corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame())
    >>> r.params.round(2).tolist()
    [254.78, 11.63]
    >>> r.converged, r.n_groups
    (True, 18)
    """
    from ..formula.parse import check_call

    reml = check_bool(*check_call(formula, data, reml, REML, "lmm"))
    model = LinearMixedModel.from_formula(formula, data, reml, env=env, progress=progress, weights=weights,
                                          offset=offset)
    return model.fit(starts, max_iter=max_iter)
