"""The loop every family's many-response fit runs: the design built once
from the formula (with a stand-in response), the responses read a block of
columns at a time, each block's complete responses handed to the family's
shared route and the others fitted alone, with a progress bar by blocks."""

from __future__ import annotations

import re
import time
from functools import cached_property

import numpy as np

from .. import _dist
from ..data.arrays import is_pandas, to_float
from ..data.sources import as_frame, progress_bar
from .fits import Numbers, Terms, per_response, placeholder_name, single_fit, tidy_table, variance_labels
from .responses import response_source

__all__ = ["ManyRun", "ManyResult"]

# The default block: at most 1,000 responses and about 2e7 values (a block
# in flight holds a few copies of its values: the source's, float64, the
# responses by row).
DEFAULT_BLOCK = None
BLOCK_RESPONSES, BLOCK_VALUES = 1000, 20_000_000


class ManyRun:
    """A many-response fit of one family. A family gives base_model,
    placeholder_values (a stand-in response that no check refuses),
    single_named (the family's fit from a formula and a table), refit (one
    complete response on the shared design) and may give fit_block (a
    shared route for a block of complete responses; it returns the indices
    it leaves to single fits)."""

    family_name = ""
    scale_name = ""
    ddf = "normal"

    def __init__(self, formula, data, weights, *, responses, names=None, coefs=None, contrasts=None,
                 block=DEFAULT_BLOCK, progress=True):
        if not isinstance(formula, str) or "~" not in formula or formula.split("~", 1)[0].strip():
            raise ValueError(f"the formula of many responses has no response, as '~ x + (1 | g)'; got {formula!r}")
        if block is not None and (isinstance(block, bool) or not isinstance(block, (int, np.integer)) or block < 1):
            raise ValueError(f"block must be a positive integer, got {block!r}")
        self.progress = progress
        self.frame = as_frame(data)
        rows = max(1, len(self.frame))
        self.block = int(block) if block is not None else max(1, min(BLOCK_RESPONSES, BLOCK_VALUES // rows))
        self.placeholder = placeholder_name(self.frame.columns)
        self.rhs = formula.split("~", 1)[1]
        self.formula = f"{self.placeholder} ~{self.rhs}"
        self.source = response_source(responses, self.frame, names)
        self.weights, self.response_weights = self._weights(weights)
        stand_in = self.placeholder_values(len(self.frame), np.random.default_rng(20261210))
        self.model = self.base_model(self.formula, self.frame.assign(**{self.placeholder: stand_in}), self.weights)
        self.terms = Terms(self.model, coefs, contrasts)

    def _weights(self, weights):
        """(shared weights for the base model, per-response weights aligned
        with the table's rows or None)."""
        if weights is None or isinstance(weights, str):
            return weights, None
        if is_pandas(weights) and hasattr(weights, "columns"):
            aligned = weights.loc[self.frame.index, self.source.names]
            return None, aligned.to_numpy(dtype=np.float64)
        w = to_float(weights, "weights")
        if w.ndim == 1:
            return w, None
        if w.shape != (len(self.frame), len(self.source)):
            raise ValueError(f"weights must be a column name, one value per row, or one per row and response "
                             f"({len(self.frame)} x {len(self.source)}); got shape {w.shape}")
        return None, w

    def run(self):
        numbers = Numbers(self.source.names, self.terms, variance_labels(self.model), self.scale_name)
        model = self.model
        kept = model.kept_mask
        total = len(self.source)
        bar, began = None, time.perf_counter()
        try:
            for start in range(0, total, self.block):
                names = self.source.names[start:start + self.block]
                table, unreadable = self.source.block(names)
                rows = table if kept is None else table[kept]
                Y = np.ascontiguousarray(rows.T)
                idx = np.arange(start, start + len(names))
                numbers.n_missing[idx] = np.isnan(Y).sum(axis=1)
                W = None if self.response_weights is None else self.response_weights[:, start:start + len(names)]
                shared = np.all(np.isfinite(Y), axis=1) if W is None else np.zeros(len(names), dtype=bool)
                for r, message in unreadable.items():
                    shared[r] = False
                    numbers.put_error(start + r, message)
                alone = list(self.fit_block(numbers, idx[shared], Y[shared])) + list(idx[~shared])
                for i in sorted(alone):
                    r = i - start
                    if r in unreadable:
                        continue
                    if shared[r]:
                        result, error = single_fit(lambda: self.refit(Y[r]), names[r], self.placeholder)
                    else:
                        w = None if W is None else W[:, r]
                        result, error = single_fit(lambda: self.single(table[:, r], w), names[r], self.placeholder)
                    if error is not None:
                        numbers.put_error(i, error)
                    else:
                        numbers.put_result(i, result, self.ddf)
                done = start + len(names)
                if self.progress and bar is None and done < total and (time.perf_counter() - began) * total > done:
                    bar = progress_bar(total, "response", "responses", initial=done)
                elif bar is not None:
                    bar.update(len(names))
        finally:
            if bar is not None:
                bar.close()
        return ManyResult(self, numbers)

    def fit_block(self, numbers, idx, Y):
        return idx

    def single(self, y_table, weights):
        """The full fit of one response given on the table's rows (under the
        stand-in column's name)."""
        return self.single_named(self.formula, self.frame.assign(**{self.placeholder: y_table}), weights)

    def response_formula(self, name):
        """The formula of one response under its own name when that can stand
        in a formula (else the stand-in column's)."""
        if re.fullmatch(r"[A-Za-z_][A-Za-z0-9_.]*", name) and (
                name not in self.frame.columns or self.source.kind == "columns"):
            return name, f"{name} ~{self.rhs}"
        return self.placeholder, self.formula

    def full_result(self, name):
        """The single fit of response name, as the family's function fits it."""
        if name not in self.source.names:
            raise KeyError(f"no response {name!r}")
        i = self.source.names.index(name)
        values, unreadable = self.source.block([name])
        if unreadable:
            raise ValueError(unreadable[0])
        y = values[:, 0]
        w = None if self.response_weights is None else self.response_weights[:, i]
        column, formula = self.response_formula(name)
        return self.single_named(formula, self.frame.assign(**{column: y}), w)


class ManyResult:
    """Fits of many responses on one design.

    Attributes
    ----------
    table : pandas.DataFrame
        One row per response and term (coefficient or contrast): estimate,
        std_error, df, statistic (t; z for generalized models; F for a
        contrast of several rows), num_df, p, p_adjusted (Benjamini and
        Hochberg, over the responses, term by term), the scale (sigma, or phi
        of a negative binomial), the variance parameters, converged,
        boundary, n (rows fitted), n_missing (the response's own missing
        values, dropped for it alone) and message (why a response has no
        fit, or a note).
    fits : pandas.DataFrame
        The per-response columns, one row per response.
    names : list of str
        The responses, in order.
    """

    def __init__(self, run, numbers):
        self._run, self._numbers = run, numbers
        self.names = list(numbers.names)
        self.terms = list(numbers.terms.names)
        self.family_name = run.family_name
        self.n_failed = int(numbers.failed.sum())

    @cached_property
    def table(self):
        return tidy_table(self._numbers)

    @property
    def fits(self):
        pd = _dist.pandas()
        return pd.DataFrame(per_response(self._numbers), index=pd.Index(self.names, name="response"))

    def result(self, name):
        """The full result of one response: its single fit (as corvane.lmm or
        corvane.glmm fits it), with every method a result has."""
        return self._run.full_result(name)

    def __len__(self):
        return len(self.names)

    def __repr__(self):
        return (f"<ManyResult {self.family_name} responses={len(self.names)} terms={self.terms} "
                f"failed={self.n_failed}>")
