"""Linear mixed models with one grouping factor.

:class:`LinearMixedModel` takes the response, the fixed-effects design X, the
random-effects design Z and one group label per row (NumPy arrays or pandas
objects), builds the core on a reparametrised design (see
:mod:`corvane.design`) and fits it with the certified trust-region Newton
method. ``corvane.lmm`` builds one from a formula.

Nothing here imports pandas: pandas objects are recognised by their module.
"""

from __future__ import annotations

import dataclasses
import warnings
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

import numpy as np

from . import design as _design
from ._errors import ConvergenceWarning, SingularFitWarning
from .formula import REML_DEFAULT

if TYPE_CHECKING:  # pragma: no cover
    from .result import LmmResult

__all__ = ["LinearMixedModel", "lmm"]


def _is_pandas(obj):
    return type(obj).__module__.split(".")[0] == "pandas"


def check_bool(value, name):
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    raise TypeError(f"{name} must be True or False, got {value!r}")


def _to_float(values, what):
    try:
        if _is_pandas(values):
            return values.to_numpy(dtype=np.float64, na_value=np.nan)
        arr = np.asarray(values)
        if arr.dtype.kind not in "biuf":
            if arr.dtype.kind == "O":
                arr = arr.astype(np.float64)
            else:
                raise TypeError(f"dtype {arr.dtype}")
        return np.asarray(arr, dtype=np.float64)
    except (TypeError, ValueError, OverflowError) as exc:
        raise ValueError(f"{what} must be numeric ({exc})") from None


def _as_response(y):
    name = None
    if _is_pandas(y):
        if hasattr(y, "columns"):
            if y.shape[1] != 1:
                raise ValueError(f"y must have one column, got {y.shape[1]}")
            name = y.columns[0]
        else:
            name = y.name
    arr = _to_float(y, "y")
    if arr.ndim == 2 and arr.shape[1] == 1:
        arr = arr[:, 0]
    if arr.ndim != 1:
        raise ValueError(f"y must be one-dimensional, got shape {arr.shape}")
    return np.ascontiguousarray(arr), ("y" if name is None else str(name))


def _as_design(a, what, prefix):
    names = None
    if _is_pandas(a) and hasattr(a, "columns"):
        names = [str(c) for c in a.columns]
    elif _is_pandas(a) and getattr(a, "name", None) is not None:
        names = [str(a.name)]
    arr = _to_float(a, what)
    if arr.ndim == 1:
        arr = arr[:, None]
    if arr.ndim != 2:
        raise ValueError(f"{what} must be two-dimensional, got shape {arr.shape}")
    if names is None:
        names = [f"{prefix}{j}" for j in range(arr.shape[1])]
    return np.ascontiguousarray(arr, dtype=np.float64), names


def _align(objects, names):
    """pandas inputs paired by index: the first pandas object's index is the
    model's rows; the others must hold the same labels (in any order, then
    they are reordered to it). Plain arrays are paired by position."""
    index = None
    first = None
    for obj, name in zip(objects, names):
        if _is_pandas(obj) and hasattr(obj, "index"):
            index, first = obj.index, name
            break
    if index is None:
        return objects, None
    out = []
    for obj, name in zip(objects, names):
        if obj is None or not (_is_pandas(obj) and hasattr(obj, "index")) or obj.index.equals(index):
            out.append(obj)
            continue
        if not index.is_unique or not obj.index.is_unique:
            raise ValueError(f"the index of {name} differs from the index of {first} and is not unique: "
                             f"pandas inputs are paired by index")
        if len(obj.index) != len(index) or not obj.index.isin(index).all():
            raise ValueError(f"the index of {name} does not hold the same rows as the index of {first}: "
                             f"pandas inputs are paired by index")
        out.append(obj.loc[index])
    return out, index


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
        One group label per row, of any kind (see :func:`corvane.design.factorize`).
    reml : bool
        REML (default) or maximum likelihood.
    x_names, z_names, y_name, group_name : optional
        Names for plain arrays' columns.
    offset : array_like, shape (n,), optional
        A known term added to the linear predictor.
    weights : array_like, shape (n,), optional
        Precision weights: the residual variance of row i is sigma^2 / w_i
        (as lme4's ``weights``). Positive and finite.

    pandas inputs are paired by their index (reordered to the first one's when
    they hold the same labels in another order; refused otherwise). Missing or
    infinite values are refused here (the formula interface drops rows with
    missing values).
    """

    formula = None  # the formula text, for models built from one
    weights = None  # precision weights, or None
    n_dropped = 0   # rows left out for missing values (the formula interface)
    spec = None     # how new data become designs (the formula interface)

    def __init__(self, y: Any, X: Any, Z: Any, groups: Any, reml: bool = True, *, x_names: Any = None,
                 z_names: Any = None, y_name: str | None = None, group_name: str | None = None,
                 offset: Any = None, weights: Any = None) -> None:
        self.reml = check_bool(reml, "reml")
        (y, X, Z, groups, offset, weights), self.index = _align(
            (y, X, Z, groups, offset, weights), ("y", "X", "Z", "groups", "offset", "weights"))
        self.y, self.response_name = _as_response(y)
        X, self.fe_names = _as_design(X, "X", "x")
        self.Z, self.re_names = _as_design(Z, "Z", "z")
        gname = getattr(groups, "name", None) if _is_pandas(groups) else None
        self.group_name = "group" if gname is None else str(gname)
        for attr, given, count in (("fe_names", x_names, X.shape[1]), ("re_names", z_names, self.Z.shape[1])):
            if given is not None:
                if len(given) != count:
                    raise ValueError(f"{len(given)} names for {count} columns")
                setattr(self, attr, [str(v) for v in given])
        if y_name is not None:
            self.response_name = str(y_name)
        if group_name is not None:
            self.group_name = str(group_name)
        self.offset = None if offset is None else _check_finite(_as_response(offset)[0], "offset")
        self.weights = None if weights is None else _check_weights(_as_response(weights)[0])
        n = self.y.shape[0]
        for what, rows in (("X", X.shape[0]), ("Z", self.Z.shape[0]), ("groups", len(groups)),
                           ("offset", n if self.offset is None else len(self.offset)),
                           ("weights", n if self.weights is None else len(self.weights))):
            if rows != n:
                raise ValueError(f"{what} has {rows} rows but y has {n}")
        self.codes, self.group_labels = _design.factorize(groups, "groups")
        self._setup(X)

    # -- building ------------------------------------------------------------------
    def _setup(self, X):
        self.n, p = X.shape
        self.q = self.Z.shape[1]
        self.m = len(self.group_labels)
        if p == 0:
            raise ValueError("X has no columns: the fixed part needs at least one (an intercept)")
        if self.q == 0:
            raise ValueError("Z has no columns: the random part needs at least one")
        if self.n == 0:
            raise ValueError("no observations")
        self._check_identifiable()
        if self.reml and self.n <= p:
            raise ValueError(f"REML needs more observations ({self.n}) than fixed-effect columns ({p})")
        y_fit = self.y if self.offset is None else self.y - self.offset
        if self.n > 1 and y_fit.min() == y_fit.max() and np.isfinite(y_fit[0]):
            raise ValueError(f"the response {self.response_name!r} is constant (every value is "
                             f"{float(y_fit[0])!r}): there is no variation to fit")
        self.X_all, self.fe_names_all = X, list(self.fe_names)
        prepared = _design.prepare(y_fit, X, self.Z, self.codes, self.fe_names, self.re_names,
                                   weights=self.weights)
        self._check_random_columns(prepared.totals)
        self._check_residual(prepared.residual)
        self._adopt(prepared, y_fit)

    def _adopt(self, prepared, y_fit):
        self.core = prepared.core
        self.reparam = prepared.reparam
        self.kept = prepared.kept
        self.dropped = [self.fe_names_all[j] for j in range(len(self.fe_names_all)) if j not in set(prepared.kept)]
        if self.X_all is None:
            self.X = None
        else:
            self.X = self.X_all if not self.dropped else np.ascontiguousarray(self.X_all[:, self.kept])
        self.fe_names = [self.fe_names_all[j] for j in self.kept]
        self.p = len(self.fe_names)
        self.n_theta = self.q * (self.q + 1) // 2
        self._y_fit = y_fit
        self._weighted = prepared.weighted  # (sqrt(w) or None, X, Z) as the core holds them, or None
        if self.weights is not None:
            self.weights_logdet = float(np.sum(np.log(self.weights)))

    def _check_residual(self, residual, what=None):
        """ValueError when the response leaves no residual variation: an
        exact linear function (to rounding) of the fixed-effects columns, or
        within each group of those and the random-effects columns (residual
        from design.exact_fit). The fit would have sigma = 0."""
        fixed, within = residual
        name = f"the response {self.response_name!r}" if what is None else what
        if fixed <= _design.EXACT_FIT:
            raise ValueError(f"{name} is an exact linear function of the fixed-effects columns (to rounding: "
                             f"its residual sum of squares is {max(fixed, 0.0):.2g} of its sum of squares): "
                             f"there is no residual variation to fit")
        if within <= _design.EXACT_FIT:
            raise ValueError(f"{name} is, within each group of {self.group_name!r}, an exact linear function "
                             f"of the fixed- and random-effects columns (to rounding: its residual sum of "
                             f"squares is {max(within, 0.0):.2g} of its sum of squares): the residual "
                             f"variance would be zero")

    def _check_random_columns(self, totals):
        """ValueError when a random-effects column is zero on every row, or a
        linear combination of the others on every row (to rounding): its
        variance and covariances cannot be told apart from the others'."""
        ztz = np.asarray(totals["ztz"], dtype=np.float64).reshape(self.q, self.q)
        dropped = _design._aliased(ztz, None)
        if not dropped:
            return
        j = dropped[0]
        name = self.re_names[j]
        if not ztz[j, j] > 0:
            why = "is zero on every row: its variance does not enter the model"
        else:
            others = [self.re_names[k] for k in range(j) if k not in dropped]
            why = (f"is a linear combination of {', '.join(map(repr, others))} on every row (to rounding): "
                   f"its variance cannot be told apart from theirs")
        raise ValueError(f"the random-effects column {name!r} (grouped by {self.group_name!r}) {why}; drop it "
                         f"from the random-effects term")

    def _check_identifiable(self):
        """The checks lme4 makes before it fits."""
        g, n, m, q = self.group_name, self.n, self.m, self.q
        if m == 1:
            raise ValueError(f"the grouping factor {g!r} has a single level: random effects need at least "
                             f"two groups")
        if m == n:
            raise ValueError(f"every one of the {n} observations is its own group in {g!r}: the random "
                             f"effects cannot be told apart from the residuals (the grouping needs fewer "
                             f"levels than observations)")
        if n <= m * q:
            raise ValueError(f"there are {n} observations and {m * q} random effects ({m} groups x {q} "
                             f"per group): the random-effects parameters and the residual variance are "
                             f"not identifiable; the model needs more observations than random effects")

    def __getstate__(self):
        state = dict(self.__dict__)
        state.pop("core", None)
        state.pop("_weighted", None)
        return state

    def core_rows(self):
        """(sqrt(w) or None, X, Z) as the core holds them: the core's columns
        of X (Reparam.core_design), and the rows scaled by the square roots
        of the weights for a weighted model."""
        rp = self.reparam
        if getattr(self, "weights", None) is None and rp.x_unit is None:
            return None, self.X, self.Z
        w = getattr(self, "_weighted", None)
        if w is None:
            X = rp.core_design(self.X)
            if getattr(self, "weights", None) is None:
                w = (None, X, self.Z)
            else:
                sw = np.sqrt(self.weights)
                w = (sw, np.ascontiguousarray(X * sw[:, None]), np.ascontiguousarray(self.Z * sw[:, None]))
            self._weighted = w
        return w

    def __setstate__(self, state):
        self.__dict__.update(state)
        if getattr(self, "_products", None) is not None:
            self.core = _design.core_from_products(self._products)
        else:
            sw, X, Z = self.core_rows()
            y = self._y_fit if sw is None else self._y_fit * sw
            self.core = _design._build(y, X, Z, self.codes, self.reparam)

    # -- fitting ---------------------------------------------------------------------
    def _core_starts(self, starts):
        if starts is None:
            return None
        arr = np.asarray(starts, dtype=np.float64)
        if arr.ndim > 2:
            raise ValueError(f"starts must be one theta or a list of them, got shape {arr.shape}")
        if arr.ndim == 2 and arr.shape[1] != self.n_theta:
            raise ValueError(f"each start must have {self.n_theta} entries, got {arr.shape[1]}")
        if arr.size == 0 or arr.size % self.n_theta:
            raise ValueError(f"starts must hold a multiple of {self.n_theta} values (theta has "
                             f"{self.n_theta} entries for {self.q} random-effect columns), got {arr.size}")
        if not np.isfinite(arr).all():
            raise ValueError("starts must be finite")
        rows = arr.reshape(-1, self.n_theta)
        return [float(v) for row in rows for v in self.reparam.theta_to_core(row)]

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
        from .result import LmmResult

        flat = self._core_starts(starts)
        raw = self.core.fit_newton(flat, reml=self.reml, max_iter=int(max_iter))
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
        from .result import LmmResult

        theta = np.asarray(theta, dtype=np.float64).ravel()
        if theta.size != self.n_theta:
            raise ValueError(f"theta must have {self.n_theta} entries for {self.q} random-effect columns, "
                             f"got {theta.size}")
        if not np.isfinite(theta).all():
            raise ValueError("theta must be finite")
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
        from .result import LmmResult

        self._require_rows("refit")
        y = self._new_response(y_new)
        if self.offset is not None:
            y = y - self.offset
        if self.n > 1 and y.min() == y.max():
            raise ValueError("the new response is constant: there is no variation to fit")
        rp = self.reparam
        idx = _design.sample_rows(self.n)
        sample = y[idx]
        y_shift = float(sample.mean()) if rp.x_ref is not None else 0.0  # shifts are exact maps
        y_scale = _design._pow2_scale(float(np.sqrt(np.mean((sample - y_shift) ** 2))))
        if self.weights is not None:
            y_scale *= _design.weight_factor(np.sqrt(self.weights))
        new_rp = dataclasses.replace(rp, y_shift=y_shift, y_scale=y_scale)
        sw, Xc, Zc = self.core_rows()
        y_rows = y if sw is None else y * sw
        self._check_residual(_design.exact_fit(_design._build(y_rows, Xc, Zc, self.codes, new_rp,
                                                              products=True)[1]), "the new response")
        core = self.core.with_response(new_rp.core_response(y_rows, Xc), Xc, Zc, self.codes)
        clone = object.__new__(type(self))
        clone.__dict__.update(self.__dict__)
        clone.core, clone.reparam, clone._y_fit = core, new_rp, y
        clone.y = y if self.offset is None else y + self.offset
        raw = core.fit_newton(clone._core_starts(starts), reml=self.reml, max_iter=int(max_iter))
        result = LmmResult(clone, raw, None if starts is None else np.asarray(starts, dtype=np.float64))
        result._warn()
        return result

    def _new_response(self, y_new):
        if _is_pandas(y_new) and self.index is not None and hasattr(y_new, "index"):
            full = getattr(self, "_source_index", None)
            if full is not None and len(y_new) == len(full):
                y_new = y_new.loc[full]
                y_new = y_new[self._kept_mask]
            else:
                y_new = y_new.loc[self.index]
        arr = _to_float(y_new, "y_new").ravel()
        if len(arr) != self.n:
            full = getattr(self, "_kept_mask", None)
            if full is not None and len(arr) == len(full):
                arr = arr[full]
            else:
                raise ValueError(f"y_new has {len(arr)} values but the model has {self.n} rows")
        if not np.isfinite(arr).all():
            raise ValueError("y_new has missing or infinite values")
        return np.ascontiguousarray(arr)

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
        x = self._columns_by_name(x, self.fe_names_all, "X")[:, self.kept]
        if not include_random:
            return x, None, None, None
        if z is None or g is None:
            raise ValueError("predicting with random effects needs data = (X, Z, groups)")
        z = self._columns_by_name(z, self.re_names, "Z")
        labels = g.tolist() if hasattr(g, "tolist") else list(g)
        if not (len(labels) == z.shape[0] == x.shape[0]):
            raise ValueError("X, Z and groups must have the same number of rows")
        return x, z, labels, None

    @staticmethod
    def _columns_by_name(a, names, what):
        if _is_pandas(a) and hasattr(a, "columns"):
            cols = [str(c) for c in a.columns]
            missing = [n for n in names if n not in cols]
            if missing:
                raise ValueError(f"{what} lacks the column{'s' if len(missing) > 1 else ''} "
                                 f"{', '.join(map(repr, missing))} the model was fitted with")
            a = a.rename(columns=str)[names]
        arr = _as_design(a, what, "x")[0]
        if arr.shape[1] != len(names):
            raise ValueError(f"{what} has {arr.shape[1]} columns, the model {len(names)}")
        return arr

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
        from . import formula as _formula
        from . import sources

        reml = check_bool(*_formula.check_call(formula, data, reml, REML, "from_formula"))
        if isinstance(offset, str):
            formula = f"{formula} + offset({offset})"  # a column: as offset() in the formula
            offset = None
        stream = sources.stream_of(data)
        if stream is not None or sources.is_dask(data):
            if weights is not None or offset is not None:
                raise ValueError("weights= and an offset array are available for tables in memory; for data "
                                 "read in batches put the offset in the formula (offset(column))")
            read = (sources.read_stream(formula, stream, env, progress) if stream is not None
                    else sources.read_dask(formula, data, env, progress))
            return cls._from_stream(formula, read, reml)
        frame = sources.as_frame(data)
        weight_col = weights if isinstance(weights, str) else None
        if weight_col is not None and weight_col not in frame.columns:
            raise ValueError(f"unknown weights column {weight_col!r}; the data has columns: "
                             f"{', '.join(map(str, frame.columns))}")
        spec, y, X, Z, off, groups, n_dropped, kept = _formula.build(
            formula, frame, env, extra=[weight_col] if weight_col else ())
        n_read = len(frame)
        w = _per_row(frame, weights, kept, "weights") if weights is not None else None
        extra_off = _per_row(frame, offset, kept, "offset") if offset is not None else None
        if extra_off is not None:
            off = off + extra_off
        rename = {"Intercept": "(Intercept)"}
        model = cls(y, X, Z, groups, reml,
                    x_names=[rename.get(c, c) for c in spec.fixed.columns],
                    z_names=[rename.get(c, c) for c in spec.random.columns],
                    y_name=spec.parsed.response, group_name=spec.parsed.group,
                    offset=off if (spec.offsets or extra_off is not None) else None, weights=w)
        model.formula, model.spec, model.n_dropped, model.n_read = formula, spec, n_dropped, n_read
        model.index = frame.index if n_dropped == 0 else frame.index[kept]
        model._source_index, model._kept_mask = frame.index, kept
        return model


    @classmethod
    def _from_stream(cls, formula, read, reml):
        """A model from products accumulated over batches; its rows are not
        kept (see rows_kept)."""
        spec = read.spec
        rename = {"Intercept": "(Intercept)"}
        self = object.__new__(cls)
        self.reml = reml
        self.formula, self.spec = formula, spec
        self.index = None
        self.y = self.Z = self.X_all = self.codes = self.offset = self._y_fit = None
        self.fe_names = [rename.get(c, c) for c in spec.fixed.columns]
        self.re_names = [rename.get(c, c) for c in spec.random.columns]
        self.response_name, self.group_name = spec.parsed.response, spec.parsed.group
        self.group_labels = list(read.labels)
        self.n_read, self.n_dropped = read.n_read, read.n_dropped
        prepared, self._products = _design.prepare_products(read.arrays, read.rp, self.fe_names, read.labels,
                                                            read.order)
        totals = prepared.totals
        self.n, self.m = int(totals["n"]), int(totals["m"])
        self.q = len(self.re_names)
        p = len(self.fe_names)
        self._check_identifiable()
        if self.reml and self.n <= p:
            raise ValueError(f"REML needs more observations ({self.n}) than fixed-effect columns ({p})")
        rp = prepared.reparam
        if rp.x_const is not None:
            c = rp.x_const
            xtx, xty = np.asarray(totals["xtx"]), np.asarray(totals["xty"])
            if totals["yty"] - xty[c] * xty[c] / xtx[c, c] <= 1e-28 * max(totals["yty"], 1e-300):
                raise ValueError(f"the response {self.response_name!r} is constant: there is no variation "
                                 f"to fit")
        self._check_random_columns(prepared.totals)
        self._check_residual(prepared.residual)
        self.fe_names_all = list(self.fe_names)
        self._adopt(prepared, None)
        return self

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


def _per_row(frame, values, kept, what):
    """A column's values (by name) or an array / Series of one value per row
    of the table, at the rows the model keeps. A Series is paired with the
    table by index and must hold every row's label; missing or infinite
    values at the rows the model keeps raise, naming the count and the first
    row of the table."""
    if isinstance(values, str):
        return _to_float(frame[values], what)[kept]
    if _is_pandas(values) and hasattr(values, "index"):
        if not values.index.equals(frame.index):
            if not values.index.is_unique or not frame.index.is_unique:
                raise ValueError(f"the index of {what} differs from the data's and is not unique: a Series "
                                 f"is paired with the data's rows by index")
            absent = ~frame.index.isin(values.index)
            if absent.any():
                raise ValueError(f"the index of {what} lacks {int(absent.sum())} of the data's row labels "
                                 f"(first {frame.index[int(np.argmax(absent))]!r}): a Series is paired with the "
                                 f"data's rows by index")
            values = values.reindex(frame.index)
        arr = _to_float(values, what)
    else:
        arr = _to_float(values, what).reshape(-1)
    if len(arr) != len(kept):
        raise ValueError(f"{what} has {len(arr)} values but the data has {len(kept)} rows")
    if what == "weights":
        _check_weights(arr, kept)
    else:
        bad = ~np.isfinite(arr) & kept
        if bad.any():
            _check_finite(np.where(bad, arr, 0.0), what, " of the data")
    return arr[kept]


def _check_finite(values, what, where=""):
    """values, or a ValueError naming what, the count of missing or
    infinite values and the first row (where says of what)."""
    bad = ~np.isfinite(values)
    if bad.any():
        count, nan = int(bad.sum()), int(np.isnan(values).sum())
        kind = "missing" if nan == count else "infinite" if nan == 0 else "missing or infinite"
        raise ValueError(f"{what} has {count} {kind} value{'s' if count > 1 else ''} (first at row "
                         f"{int(np.argmax(bad))}{where})")
    return values


def _check_weights(w, rows=None):
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


def lmm(formula: str, data: Any, reml: bool = REML_DEFAULT, *, weights: Any = None, offset: Any = None,
        starts: Any = None, env: Any = None, max_iter: int = 200, progress: bool = True,
        REML: bool | None = None) -> "LmmResult":
    """Fit a linear mixed model with one grouping factor from an lme4-style formula.

    Parameters
    ----------
    formula : str
        ``"response ~ fixed terms + (random terms | group)"``, for example
        ``"Reaction ~ Days + (Days | Subject)"``, ``"y ~ x1 + x2 + (1 | g)"`` or
        ``"y ~ x + (0 + x | g)"``: a fixed part and exactly one random-effects
        term whose grouping is a single column of any dtype. Terms are column
        names or Python expressions over the columns (``np.log(x)``,
        ``I(x^2)`` with R's ``^`` as a power, ``C(x)``); ``offset(expr)`` adds a
        known term. ``0 +`` or ``- 1`` removes an intercept.
    data : table
        A pandas DataFrame or a mapping of column name to values (in memory);
        a path (str or PathLike) to a Parquet file or a directory of Parquet
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
        as ``offset(column)`` in the formula, used for predictions too) or
        one value per row of the table (for the fitted rows only).
    progress : bool
        A progress bar (tqdm) while reading a million rows or more in batches.

    Returns
    -------
    LmmResult

    Raises
    ------
    ValueError
        For a formula outside the supported syntax, unknown columns, a term
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
    exactly one random-effects term and a single grouping column; terms are
    separated by ``+``; ``1`` / ``0`` / ``- 1`` add or remove the intercept;
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
    from .formula import check_call

    reml = check_bool(*check_call(formula, data, reml, REML, "lmm"))
    model = LinearMixedModel.from_formula(formula, data, reml, env=env, progress=progress, weights=weights,
                                          offset=offset)
    return model.fit(starts, max_iter=max_iter)
