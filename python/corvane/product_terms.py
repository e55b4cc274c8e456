"""Model columns built directly with NumPy when a formula's terms are plain
columns and products of them: numeric columns, and categorical columns coded
as formulaic codes them, with formulaic's order and names
(:class:`ProductTerms`; :class:`DirectTerms` when there are no products).
:mod:`corvane.matrices` chooses these builders, or formulaic for any other
formula."""

from __future__ import annotations

import itertools
import math

import numpy as np

from .columns import level_codes, numeric_values
from .labels import INTERCEPT

__all__ = ["ProductTerms", "DirectTerms"]


class ProductTerms:
    """Terms that are plain columns and products of them (``a:b``,
    ``a*b``): numeric columns, and categorical columns coded by treatment
    contrasts (reduced: the first level the reference, ``a[T.b]``) or by one
    indicator per level (``a[a]``), each as formulaic codes it (see
    :func:`_scoped_plan`), with formulaic's order and names: a product's
    columns run over the combinations of its factors' columns, the first
    factor fastest, and its numeric factors are multiplied in their order."""

    def __init__(self, intercept, products):
        self.intercept = intercept
        self.products = products  # [(term name, ((column, levels or None for numeric, reduced), ...))]

    @property
    def columns(self):
        names = ["Intercept"] if self.intercept else []  # formulaic's name (labels.term_names)
        for _, factors in self.products:
            parts = [_factor_columns(col, levels, reduced) for col, levels, reduced in factors]
            names += [":".join(reversed(combo)) for combo in itertools.product(*reversed(parts))]
        return names

    @property
    def variables(self):
        """The columns the terms read, sorted (as formulaic's builder lists them)."""
        return sorted({col for _, factors in self.products for col, _, _ in factors})

    def _spans(self):
        """(term name, factors, first column, width) of each product."""
        k = 1 if self.intercept else 0
        for name, factors in self.products:
            width = math.prod(_factor_width(levels, reduced) for _, levels, reduced in factors)
            yield name, factors, k, width
            k += width

    def term_slices(self):
        """{term name: column indices} for the anova tables."""
        out = {INTERCEPT: [0]} if self.intercept else {}
        for name, _, k, width in self._spans():
            out[name] = list(range(k, k + width))
        return out

    def term_layout(self):
        """How the columns are made, term by term, for the type III tests:
        ([(term name, variables, column indices, scoped)], {variable: levels,
        or None for a numeric one}). scoped lists the products of coded
        variables that make the term's columns, each a tuple of (variable,
        reduced): a categorical variable reduced is coded by contrasts,
        otherwise by one indicator per level."""
        out = [(INTERCEPT, (), [0], [()])] if self.intercept else []
        levels = {}
        for name, factors, k, width in self._spans():
            out.append((name, tuple(col for col, _, _ in factors), list(range(k, k + width)),
                        [tuple((col, reduced) for col, _, reduced in factors)]))
            for col, lv, _ in factors:
                levels.setdefault(col, None if lv is None else list(lv))
        return out, levels

    def factor_values(self, frame, names):
        """{numeric variable: its values on the rows of frame, one column}."""
        return {name: numeric_values(frame[name], name)[:, None] for name in names}

    def matrix(self, frame, new_data=False, known_codes=None):
        """The columns for the rows of frame; known_codes maps a categorical
        column to its level codes when they are already at hand."""
        values, codes = {}, dict(known_codes) if known_codes else {}
        for _, factors in self.products:
            for col, levels, _ in factors:
                if levels is None:
                    if col not in values:
                        values[col] = numeric_values(frame[col], col)
                elif col not in codes:
                    codes[col] = level_codes(frame[col], levels, col, new_data)
        return self.assemble(len(frame), values, codes)

    # The most entries of a table of every combination of the levels (see assemble).
    _TABLE_ENTRIES = 1 << 20

    def assemble(self, n, values, codes):
        """The n rows' columns from the values of the numeric columns
        (float64) and the level codes of the categorical ones (0, 1, ... for
        the levels, -1 for none: no indicator). Each column is an indicator
        (1 for the intercept and for a product of numeric columns alone)
        times the product of the term's numeric factors. When the levels
        have fewer combinations than there are rows, the rows' indicators
        are taken from a table of every combination: NumPy writes a matrix
        row by row far faster than column by column."""
        spans = list(self._spans())
        width = spans[-1][2] + spans[-1][3] if spans else int(self.intercept)
        levels = {col: lv for _, factors, _, _ in spans for col, lv, _ in factors if lv is not None}
        numeric, colmap = [np.ones(n)], np.zeros(width, dtype=np.intp)
        for _, factors, k, w in spans:
            product = None
            for col, lv, _ in factors:
                if lv is None:
                    product = values[col] if product is None else product * values[col]
            if product is not None:
                colmap[k:k + w] = len(numeric)
                numeric.append(product)
        if not levels:
            return np.column_stack([numeric[j] for j in colmap]) if width else np.empty((n, 0))
        sizes = [len(lv) + 1 for lv in levels.values()]  # a combination's code 0 is no level
        count = math.prod(sizes)
        if count < n and count * width <= self._TABLE_ENTRIES:
            combination, grid, stride = np.zeros(n, dtype=np.intp), {}, 1
            for col, size in zip(levels, sizes):
                combination += (codes[col] + 1) * stride
                grid[col] = np.arange(count) // stride % size - 1
                stride *= size
            out = np.take(self._indicators(count, width, spans, grid), combination, axis=0)
        else:
            out = self._indicators(n, width, spans, codes)
        if len(numeric) > 1:
            out *= np.take(np.column_stack(numeric), colmap, axis=1)
        return out

    def _indicators(self, m, width, spans, codes):
        """The indicators of assemble for m rows of these level codes."""
        out = np.zeros((m, width), dtype=np.float64)
        if self.intercept:
            out[:, 0] = 1.0
        for _, factors, k, _ in spans:
            cell, present, stride = None, None, 1
            for col, levels, reduced in factors:
                if levels is None:
                    continue
                c = codes[col] - 1 if reduced else codes[col]  # a reduced factor's reference has no column
                ok = c >= 0
                present = ok if present is None else present & ok
                cell = c if cell is None else cell + c * stride
                stride *= _factor_width(levels, reduced)
            if cell is None:
                out[:, k] = 1.0
                continue
            rows = np.flatnonzero(present)
            out[rows, k + cell[rows]] = 1.0
        return out


class DirectTerms(ProductTerms):
    """Terms that are plain columns, without products: intercept, numeric
    columns, categorical columns with treatment contrasts (the first level
    the reference), with their variables in the formula's order."""

    def __init__(self, intercept, terms):
        self.intercept = intercept
        self.terms = terms  # [(column, None) numeric | (column, levels) categorical]

    @property
    def products(self):
        return [(col, ((col, levels, levels is not None),)) for col, levels in self.terms]

    @property
    def variables(self):
        return [col for col, _ in self.terms]


def _factor_width(levels, reduced):
    return 1 if levels is None else len(levels) - 1 if reduced else len(levels)


def _factor_columns(col, levels, reduced):
    """A factor's columns' names, as formulaic names them: a numeric column's
    own, a categorical's by level (``x[T.b]`` for a contrast, ``x[b]`` for
    an indicator)."""
    if levels is None:
        return [col]
    if reduced:
        return [f"{col}[T.{lev}]" for lev in levels[1:]]
    return [f"{col}[{lev}]" for lev in levels]
