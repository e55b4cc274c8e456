"""Linear mixed models with one grouping factor.

:class:`LinearMixedModel` takes the response, the fixed-effects design X, the
random-effects design Z and one group label per row (NumPy arrays or pandas
objects) and fits them with the certified trust-region Newton method;
``corvane.lmm`` builds one from a formula.

Every model, whatever it comes from (arrays, a formula over a table, data
read in batches, a new response on the same design, a refit by maximum
likelihood), is built by one path, :meth:`LinearMixedModel._construct`: the
checks of :mod:`corvane._checks`, then a core through :mod:`corvane.design.construct`.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

from .. import _checks
from .._checks import check_bool, check_finite, check_starts
from ..data.arrays import response_at_rows
from ..design import construct as _design
from ..design import rank as _rank
from ..formula.parse import REML_DEFAULT
from .base import MixedModel, Origin, array_rows, spec_names, table_rows, with_offset_column

if TYPE_CHECKING:  # pragma: no cover
    from ..results.lmm import LmmResult

__all__ = ["LinearMixedModel", "lmm"]


class LinearMixedModel(MixedModel):
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
        One group label per row, of any kind (see :func:`corvane.formula.labels.factorize`).
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
        rows, names, origin = array_rows(y, X, Z, groups, x_names=x_names, z_names=z_names, y_name=y_name,
                                         group_name=group_name, offset=offset, weights=weights, blocks=blocks)
        self._construct(rows, names, reml, origin)

    # -- building: the one path ------------------------------------------------------
    @classmethod
    def _assemble(cls, data, names, reml, origin, reuse=None):
        """A model built by _construct without __init__'s conversions (the
        formula, batched, refit and ML-refit paths)."""
        self = object.__new__(cls)
        self._construct(data, names, reml, origin, reuse)
        return self

    def _rebuilt(self, rows, names, origin):
        return type(self)._assemble(rows, names, self.reml, origin)

    def _construct(self, data, names, reml, origin, reuse=None):
        """Every model is built here. data is Rows (in memory) or Products
        (read in batches); reuse is a model whose design this one shares: its
        core takes the new response in data (a refit), or, with data None,
        is this model's core as it is (the same data fitted another way)."""
        if data is None:
            data = reuse._data()
        rows = isinstance(data, _design.Rows)
        self.reml = reml
        self._adopt_names(names, origin, data.labels)
        if rows:
            self.y, self.X_all, self.Z, self.codes = data.y, data.X, data.Z, data.codes
            self.offset, self.weights = data.offset, data.weights
            n, p = data.X.shape
        else:
            self.y = self.X_all = self.Z = self.codes = self.offset = self.weights = None
            n, p = data.n, len(names.fixed)
        self.n = n

        same = reuse is not None and (data.y is reuse.y if rows else True)  # the same data, checked before
        what = "the new response" if reuse is not None and not same else f"the response {names.response!r}"
        _checks.check_identifiable(n, p, self.q, self.m, names.group, reml)
        if rows and not same:
            _rank.check_varies(data.y_fit, what)
        elif not same:
            _rank.check_varies_products(data.arrays, data.reparam.x_const, what)

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
            _rank.check_random_columns(prepared.totals["ztz"], self.re_names, self.group_name)
        _rank.check_residual(prepared.residual, what, self.group_name, prepared.reparam.y_reduction)
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
        self.y_fit = y_fit  # the response less any offset, as fitted (None without rows)
        self._weighted = prepared.weighted  # (sqrt(w) or None, X, Z) as the core holds them, or None
        self.weights_logdet = 0.0 if self.weights is None else float(np.sum(np.log(self.weights)))

    def _data(self):
        """What this model was built from (Rows, or Products for data read in batches)."""
        if self.rows_kept:
            return _design.Rows(self.y, self.X_all, self.Z, self.codes, self.group_labels, self.offset, self.weights)
        return _design.Products(None, self.reparam, self.group_labels, n=self.n)

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
            y = self.y_fit if sw is None else self.y_fit * sw
            self.core = _design.build_core(y, X, Z, self.codes, self.reparam)

    # -- fitting ---------------------------------------------------------------------
    def _core_starts(self, starts):
        """The core's flat list of starting thetas for the user's starts (or None)."""
        if starts is None:
            return None
        rows = check_starts(starts, self.n_theta, self.q)
        return [float(v) for row in rows for v in self.reparam.theta_to_core(self.full_theta(row))]

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
            response_at_rows(y_new, self.n, self.index, self.source_index, self.kept_mask), "y_new"))

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
        from ..data import read as _read
        from ..formula import parse as _formula

        reml = check_bool(*_formula.check_call(formula, data, reml, REML, "from_formula"))
        if _formula.parse_formula(formula).cbind:
            raise ValueError(f"cbind(successes, failures) in {formula!r} is a binomial response: fit it with "
                             f"corvane.glmm(formula, data, family='binomial')")
        formula, offset = with_offset_column(formula, offset)
        read = _read.read_batches(formula, data, env, progress)
        if read is not None:
            if weights is not None or offset is not None:
                raise ValueError("weights= and an offset array are available for tables in memory; for data "
                                 "read in batches put the offset in the formula (offset(column))")
            products = _design.Products(read.acc, read.rp, list(read.labels), read.order)
            return cls._assemble(products, spec_names(read.spec), reml,
                                 Origin(formula, read.spec, read.n_read, read.n_dropped))
        rows, names, origin = table_rows(formula, _read.as_frame(data), env, weights, offset)
        return cls._assemble(rows, names, reml, origin)

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
