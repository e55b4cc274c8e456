"""Predictions of a fitted model: for its own rows (fitted values,
residuals) and for new data (a table through the formula's spec, or arrays),
with each known group's conditional mode or the population mean for new
groups, and on request their standard errors and confidence or prediction
intervals (the variances in :mod:`corvane.results.predict_se`). Mixed into
:class:`corvane.results.lmm.LmmResult`.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np

__all__ = ["Predictions", "NEW_GROUPS"]

NEW_GROUPS = ("population", "error", "nan")


class Predictions:
    """Predicted means of a fitted result (mixed into LmmResult)."""

    def predict(self, data: Any = None, include_random: bool = True, new_groups: str = "population", *,
                se: bool = False, interval: str | None = None, level: float = 0.95, weights: Any = None,
                offset: Any = None) -> Any:
        """Predicted means, optionally with standard errors and intervals.

        Parameters
        ----------
        data : optional
            None: the fitted rows. Otherwise new data as the model takes it (a
            table for a formula model; (X, Z, groups) or X for an array model).
        include_random : bool
            Add each row's group's conditional mode.
        new_groups : {"population", "error", "nan"}
            Groups not seen in fitting: zero random effects (the population
            mean), an error, or NaN.
        se : bool
            Return a DataFrame with the standard error of each prediction.
        interval : {None, "confidence", "prediction"}
            Add the bounds of a confidence interval of the predicted mean, or
            of a prediction interval of a new observation (see Notes).
        level : float
            The intervals' coverage, in (0, 1).
        weights : str or array_like, optional
            Precision weights of the new rows (a column of the table or one
            value per row) for prediction intervals: a new observation's
            residual variance is sigma^2 / w. Default: the model's weights
            for its fitted rows; for new data, the column the model's weights
            came from, or unit weight for a model without weights (a model
            fitted with weights given as values needs them here).
        offset : str or array_like, optional
            The new rows' offset, when the model was fitted with one given as
            values (``offset=array``): one value per row of the new data, or
            a column of it. An offset from the formula (``offset(column)``,
            or ``offset="column"`` at fitting) is taken from the new data's
            column and needs nothing here.

        Returns
        -------
        pandas.Series, numpy.ndarray or pandas.DataFrame
            Without ``se`` and ``interval``: one prediction per row (a Series
            on the table's index for tables). With either: a DataFrame on the
            new table's index (a range index for arrays, the model's index for
            the fitted rows) with columns ``fit`` and ``se``, and ``lower`` and
            ``upper`` with an interval; NaN on rows without a prediction
            (missing values, or new groups with ``new_groups="nan"``).

        Raises
        ------
        ValueError
            For new data without the model's columns (a prediction interval
            needs the random-effects columns even with
            ``include_random=False``), new levels of a factor, (with
            ``new_groups="error"``) unseen groups, an unknown ``interval``, a
            ``level`` outside (0, 1), invalid ``weights``, new data without
            ``offset=`` for a model fitted with an offset given as values (or
            ``offset=`` for one without), and new data without ``weights=``
            for the prediction intervals of a model fitted with weights given
            as values.

        Notes
        -----
        The standard errors treat the variance parameters (sigma and the
        random-effects covariance Sigma_b) as known, at their estimates (as
        lme4's ``condVar`` does); the uncertainty of beta_hat is included. Which variances
        each column includes (users discuss the choice for lme4 in its
        GitHub issues #147 and #301):

        - ``se`` of a row of a group seen in fitting, with
          ``include_random=True``: the prediction-error standard deviation of
          x'beta_hat + z'b_hat_i as an estimate of x'beta + z'b_i, the
          quadratic form of (x, z) in the inverse of the mixed-model
          equations (Henderson). It includes Var(b_i | y) (lme4's
          ``condVar``), cov(beta_hat) and the covariance of b_hat_i with
          beta_hat (b_hat_i depends on beta_hat). It is not Var(b_i | y)
          alone, which holds beta fixed.
        - ``se`` of a population-level prediction (``include_random=False``,
          or a group not seen in fitting with ``new_groups="population"``):
          sqrt(x' cov(beta_hat) x), the standard error of the estimated
          population mean x'beta_hat.
        - ``interval="confidence"``: fit -+ z se, the interval of the mean
          above (the group's conditional mean, or the population mean).
        - ``interval="prediction"``: fit -+ z sqrt(se^2 + s^2), for a new
          observation y = x'beta + z'b_i + e, with s^2 = sigma^2 / w (w the
          row's precision weight, 1 by default) for a group seen in fitting
          (include_random=True), and s^2 = z' Sigma_b z + sigma^2 / w for a
          population-level prediction: the observation's group is new, its
          random effect unknown (with ``include_random=False`` this holds
          for rows of known groups too: the interval is that of an
          observation of a group drawn anew).

        The column ``se`` is always the standard error of ``fit`` (as R's
        ``predict.lm``'s ``se.fit``), whatever the interval. The intervals
        use normal quantiles, z = z_{(1 + level) / 2}, not t quantiles.
        An offset is known and adds no variance.

        Examples
        --------
        >>> import corvane
        >>> from corvane._example import example_frame
        >>> df = example_frame()
        >>> r = corvane.lmm("Reaction ~ Days + (Days | Subject)", df)
        >>> r.predict(df.head(2)).round(2).tolist()
        [242.85, 245.33]
        >>> p = r.predict(df.head(2), interval="prediction")
        >>> list(p.columns)
        ['fit', 'se', 'lower', 'upper']
        >>> bool((p["upper"] - p["lower"] > 2 * 1.96 * r.sigma).all())
        True
        """
        from .predict_se import check_interval
        from .._checks import check_level
        from .._checks import check_bool

        if new_groups not in NEW_GROUPS:
            raise ValueError(f"new_groups must be one of {NEW_GROUPS}, got {new_groups!r}")
        se = check_bool(se, "se")
        interval = check_interval(interval)
        level = check_level(level)
        if weights is not None and interval != "prediction":
            raise ValueError(f"weights are used by prediction intervals only (interval='prediction'), "
                             f"got interval={interval!r}")
        model = self.model
        _check_offset(model, data, offset)
        if se or interval is not None:
            return self._predict_with_se(data, include_random, new_groups, interval, level, weights, offset)
        if data is None:
            return self._on_index(self._raw_fitted(include_random), model)
        if model.spec is not None:
            return self._predict_table(data, include_random, new_groups, offset)
        x, z, labels, _ = model._new_design(data, include_random)
        offsets = _array_offset(offset, x.shape[0])
        if include_random:
            return self._mean(x, offsets, z, self._group_rows(labels, new_groups), new_groups)
        return self._mean(x, offsets, None, None, new_groups)

    def _mean(self, x, offsets, z, rows, new_groups):
        """x beta plus the offsets, plus z b_i of each row's group (rows: the
        group's index, -1 for a new one) when z is given."""
        out = x @ self.beta
        for values in offsets:
            out = out + values
        if z is not None:
            b = np.where((rows >= 0)[:, None], self._b[np.maximum(rows, 0)], 0.0)
            out = out + np.einsum("ij,ij->i", z, b)
            if new_groups == "nan":
                out[rows < 0] = np.nan
        return out

    def _table_design(self, data, include_random, new_groups, need_z=False, offset=None):
        """(frame, complete, x, offsets, z, rows) of a table through the
        formula's specification: the rows with every column the prediction
        needs (complete), their X, offsets (the formula's and `offset`'s),
        and (with the random effects, or need_z) Z and each row's group
        index (-1 for a new one; None without the random effects)."""
        from ..data.sources import as_frame

        model, spec = self.model, self.model.spec
        frame = as_frame(data)
        extra = None
        if isinstance(offset, str):
            if offset not in frame.columns:
                raise ValueError(f"offset={offset!r} names no column of the new data")
            extra = frame[offset].to_numpy(dtype=np.float64, na_value=np.nan)
        elif offset is not None:
            extra = _array_offset(offset, len(frame))[0]
        needed = set(spec.fixed.variables)
        for b in spec.offsets:
            needed |= set(b.variables)
        if include_random or need_z:
            needed |= set(spec.random.variables)
        if include_random:
            needed |= {spec.parsed.group}
        missing_cols = sorted(c for c in needed if c not in frame.columns)
        if missing_cols:
            raise ValueError(f"the data lack the column{'s' if len(missing_cols) > 1 else ''} "
                             f"{', '.join(map(repr, missing_cols))} the model needs")
        cols = [c for c in frame.columns if c in needed]
        complete = ~frame[cols].isna().to_numpy().any(axis=1) if cols else np.ones(len(frame), bool)
        if extra is not None:
            complete &= ~np.isnan(extra)
        sub = frame.loc[complete]
        x = offsets = z = rows = None
        if len(sub):
            x = spec.fixed.matrix(sub, new_data=True)[:, model.kept]
            offsets = [b.matrix(sub, new_data=True)[:, 0] for b in spec.offsets]
            if extra is not None:
                offsets.append(extra[complete])
            if include_random or need_z:
                z = spec.random.matrix(sub, new_data=True)
            if include_random:
                rows = self._group_rows(sub[spec.parsed.group].tolist(), new_groups)
        return frame, complete, x, offsets, z, rows

    def _predict_table(self, data, include_random, new_groups, offset=None):
        """Predictions for a table, through the formula's specification."""
        import pandas as pd

        frame, complete, x, offsets, z, rows = self._table_design(data, include_random, new_groups,
                                                                  offset=offset)
        out = np.full(len(frame), np.nan)
        if x is not None:
            out[complete] = self._mean(x, offsets, z if include_random else None, rows, new_groups)
        return pd.Series(out, index=frame.index) if isinstance(data, pd.DataFrame) else out

    def _predict_with_se(self, data, include_random, new_groups, interval, level, weights, offset=None):
        """Predictions with standard errors (and intervals) as a DataFrame."""
        from . import predict_se

        model = self.model
        prediction = interval == "prediction"
        need_z = include_random or prediction
        frame, index, complete = None, None, None
        if data is None:
            model._require_rows("predictions with standard errors of the fitted rows")
            x, z, rows = model.X, model.Z, (model.codes if include_random else np.full(model.n, -1))
            fit = self._raw_fitted(include_random)
            n_out = model.n
            if weights is None and model.weights is not None:
                weights = model.weights
        elif model.spec is not None:
            frame, complete, x, offsets, z, rows = self._table_design(data, include_random, new_groups, need_z,
                                                                      offset)
            index, n_out = frame.index, len(frame)
            if x is None:  # no complete row
                x, z = np.zeros((0, model.p)), np.zeros((0, model.q))
                rows, offsets = np.zeros(0, np.int64), ()
            if rows is None:
                rows = np.full(x.shape[0], -1)
            fit = self._mean(x, offsets, z if include_random else None, rows, new_groups)
        else:
            x, z, labels, _ = model._new_design(data, include_random)
            if include_random:
                rows = self._group_rows(labels, new_groups)
            else:
                rows = np.full(x.shape[0], -1)
                if prediction:
                    z = _array_z(model, data, x.shape[0])
            fit = self._mean(x, _array_offset(offset, x.shape[0]), z if include_random else None, rows, new_groups)
            index = _array_index(data)
            n_out = x.shape[0]
        pe = self._prediction_error()
        var_fit = pe.fit_variance(x, z, rows)
        var_new = np.zeros_like(var_fit)
        if prediction:
            if weights is None and data is not None and model.weights is not None:
                if model.weights_column is None:
                    raise ValueError("the model was fitted with weights given as values: prediction intervals "
                                     "of new data need the new rows' weights= (one value per row, a column, "
                                     "or 1 for unit weight)")
                weights = model.weights_column
            w = predict_se.new_weights(weights, frame, n_out)
            if complete is not None:
                w = w[complete]
            var_new = pe.residual_variance / w
            new = rows < 0
            if new.any():
                var_new[new] += pe.group_variance(z[new])
        if complete is not None and not complete.all():
            full = [np.full(n_out, np.nan) for _ in range(3)]
            for a, v in zip(full, (fit, var_fit, var_new)):
                a[complete] = v
            fit, var_fit, var_new = full
        out = predict_se.frame_of(fit, var_fit, var_new, interval, level, index)
        if data is None:
            out = self._on_index(out, model)
        return out

    def _prediction_error(self):
        """The pieces of the predictions' error variances (a PredictionError), computed once."""
        from . import predict_se

        return predict_se.prediction_error(self)

    def _group_rows(self, labels, new_groups):
        """Index of each label among the fitted groups (-1 for a new one)."""
        index = {(type(v), v): i for i, v in enumerate(self.group_labels)}
        texts = None
        rows = np.empty(len(labels), dtype=np.int64)
        for r, v in enumerate(labels):
            v = v.item() if isinstance(v, np.generic) else v
            i = index.get((type(v), v))
            if i is None and isinstance(v, (int, float)) and not isinstance(v, bool):
                # 3 and 3.0 are one label, as in fitting.
                i = next((index[(t, v)] for t in (int, float) if (t, v) in index), None)
            if i is None:
                if texts is None:
                    texts = {str(g): g for g in self.group_labels}
                if str(v) in texts and not _missing(v):
                    g = texts[str(v)]
                    raise TypeError(f"group label {v!r} ({type(v).__name__}) is not among the fitted labels, "
                                    f"which are {type(g).__name__} (e.g. {g!r}): convert the labels")
                if new_groups == "error" and not _missing(v):
                    raise ValueError(f"group {v!r} was not in the fitted data")
                i = -1
            rows[r] = i
        return rows

    def _on_index(self, values, model):
        """Values of the fitted rows (an array, or a DataFrame of columns) on
        the model's index, with NaN rows for those dropped for missing
        values."""
        index = model.index
        if index is None:
            return values
        import pandas as pd

        frame = isinstance(values, pd.DataFrame)
        full = model.source_index
        if full is not None and len(full) != len(values):
            kept = np.flatnonzero(model.kept_mask)
            if frame:
                wide = pd.DataFrame(np.nan, index=full, columns=values.columns)
                wide.iloc[kept] = values.to_numpy()
                return wide
            out = pd.Series(np.nan, index=full, dtype=np.float64)
            out.iloc[kept] = values
            return out
        return values.set_axis(index) if frame else pd.Series(values, index=index)

    @property
    def fitted_values(self):
        """Fitted means on the fitted rows (a Series on the input's index, NaN
        for rows dropped for missing values, for pandas input)."""
        return self._on_index(self._raw_fitted(), self.model)

    @property
    def residuals(self):
        """Response minus fitted means (same shape as :attr:`fitted_values`)."""
        return self._on_index(self.model.y - self._raw_fitted(), self.model)

    def _raw_fitted(self, include_random=True):
        model = self.model
        model._require_rows("fitted values and residuals")
        out = model.X @ self.beta
        if model.offset is not None:
            out = out + model.offset
        if include_random:
            out = out + np.einsum("ij,ij->i", model.Z, self._b[model.codes])
        return out


def _check_offset(model, data, offset):
    """Refuses what would drop or double an offset: new data without
    `offset` for a model whose offset was given as values (the formula
    cannot rebuild it), `offset` for one whose offset comes from the
    formula or that has none, and `offset` with the fitted rows."""
    given = bool(model.offset_values)
    if data is None:
        if offset is not None:
            raise ValueError("offset= is for new data: the fitted rows keep the model's offset")
        return
    if given and offset is None:
        raise ValueError("the model was fitted with an offset given as values (offset=array): predictions for "
                         "new data need the new rows' offset= (one value per row, or a column of the data)")
    if offset is not None and not given:
        raise ValueError("offset= is for a model fitted with an offset given as values; this model has "
                         + ("its offset from the formula, taken from the new data's columns"
                            if model.offset is not None or (model.spec is not None and model.spec.offsets)
                            else "no offset"))


def _array_offset(offset, n):
    """The offsets of n new rows given as values: () or (array,)."""
    if offset is None:
        return ()
    if isinstance(offset, str):
        raise ValueError("offset= as a column name needs new data given as a table")
    values = np.asarray(getattr(offset, "to_numpy", lambda: offset)(), dtype=np.float64)
    values = np.broadcast_to(values, (n,)) if values.ndim == 0 else values.ravel()
    if len(values) != n:
        raise ValueError(f"offset has {len(values)} values for {n} new rows")
    return (values,)


def _array_z(model, data, n):
    """Z of new array data given as (X, Z[, groups]) or a mapping, for the
    prediction intervals of population-level predictions."""
    from collections.abc import Mapping

    from ..data.arrays import columns_by_name

    z = data.get("Z") if isinstance(data, Mapping) else (
        data[1] if isinstance(data, (tuple, list)) and len(data) >= 2 else None)
    if z is None:
        raise ValueError("prediction intervals need the random-effects design: data = (X, Z) or (X, Z, groups)")
    z = columns_by_name(z, model.re_names, "Z")
    if z.shape[0] != n:
        raise ValueError(f"X has {n} rows but Z has {z.shape[0]}")
    return z


def _array_index(data):
    """The index of new array data's X when it is a pandas object, else None."""
    from collections.abc import Mapping

    x = data.get("X") if isinstance(data, Mapping) else (data[0] if isinstance(data, (tuple, list)) else data)
    index = getattr(x, "index", None)
    return index if index is not None and hasattr(x, "columns") else None


def _missing(v):
    return v is None or (isinstance(v, float) and math.isnan(v))
