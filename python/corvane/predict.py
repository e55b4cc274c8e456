"""Predictions of a fitted model: for its own rows (fitted values,
residuals) and for new data (a table through the formula's spec, or arrays),
with each known group's conditional mode or the population mean for new
groups. Mixed into :class:`corvane.result.LmmResult`.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np

__all__ = ["Predictions", "NEW_GROUPS"]

NEW_GROUPS = ("population", "error", "nan")


class Predictions:
    """Predicted means of a fitted result (mixed into LmmResult)."""

    def predict(self, data: Any = None, include_random: bool = True,
                new_groups: str = "population") -> Any:
        """Predicted means.

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

        Returns
        -------
        pandas.Series or numpy.ndarray
            One prediction per row (a Series on the table's index for tables).

        Raises
        ------
        ValueError
            For new data without the model's columns, new levels of a factor, or
            (with ``new_groups="error"``) unseen groups.

        Examples
        --------
        >>> import corvane
        >>> from corvane._example import example_frame
        >>> df = example_frame()
        >>> r = corvane.lmm("Reaction ~ Days + (Days | Subject)", df)
        >>> r.predict(df.head(2)).round(2).tolist()
        [242.85, 245.33]
        """
        if new_groups not in NEW_GROUPS:
            raise ValueError(f"new_groups must be one of {NEW_GROUPS}, got {new_groups!r}")
        model = self.model
        if data is None:
            return self._on_index(self._raw_fitted(include_random), model)
        if model.spec is not None:
            return self._predict_table(data, include_random, new_groups)
        x, z, labels, _ = model._new_design(data, include_random)
        out = x @ self.beta
        if include_random:
            rows = self._group_rows(labels, new_groups)
            b = np.where((rows >= 0)[:, None], self._b[np.maximum(rows, 0)], 0.0)
            out = out + np.einsum("ij,ij->i", z, b)
            if new_groups == "nan":
                out[rows < 0] = np.nan
        return out

    def _predict_table(self, data, include_random, new_groups):
        """Predictions for a table, through the formula's specification."""
        from .sources import as_frame

        model, spec = self.model, self.model.spec
        frame = as_frame(data)
        needed = set(spec.fixed.variables)
        for b in spec.offsets:
            needed |= set(b.variables)
        if include_random:
            needed |= set(spec.random.variables) | {spec.parsed.group}
        missing_cols = sorted(c for c in needed if c not in frame.columns)
        if missing_cols:
            raise ValueError(f"the data lack the column{'s' if len(missing_cols) > 1 else ''} "
                             f"{', '.join(map(repr, missing_cols))} the model needs")
        cols = [c for c in frame.columns if c in needed]
        complete = ~frame[cols].isna().to_numpy().any(axis=1) if cols else np.ones(len(frame), bool)
        out = np.full(len(frame), np.nan)
        sub = frame.loc[complete]
        if len(sub):
            x = spec.fixed.matrix(sub, new_data=True)[:, model.kept]
            values = x @ self.beta
            for b in spec.offsets:
                values = values + b.matrix(sub, new_data=True)[:, 0]
            if include_random:
                z = spec.random.matrix(sub, new_data=True)
                rows = self._group_rows(sub[spec.parsed.group].tolist(), new_groups)
                bvals = np.where((rows >= 0)[:, None], self._b[np.maximum(rows, 0)], 0.0)
                values = values + np.einsum("ij,ij->i", z, bvals)
                if new_groups == "nan":
                    values[rows < 0] = np.nan
            out[complete] = values
        import pandas as pd

        return pd.Series(out, index=frame.index) if isinstance(data, pd.DataFrame) else out

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
        index = getattr(model, "index", None)
        if index is None:
            return values
        import pandas as pd

        full = getattr(model, "_source_index", None)
        if full is not None and len(full) != len(values):
            out = pd.Series(np.nan, index=full, dtype=np.float64)
            out[model._kept_mask] = values
            return out
        return pd.Series(values, index=index)

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


def _missing(v):
    return v is None or (isinstance(v, float) and math.isnan(v))
