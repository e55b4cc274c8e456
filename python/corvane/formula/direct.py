"""Model columns built directly with NumPy when a formula's terms are plain
columns and products of them: numeric columns, and categorical columns coded
as formulaic codes them, with formulaic's order and names
(:class:`ProductTerms`; :class:`DirectTerms` when there are no products),
and which right-hand sides they build (:func:`plan_of`, :func:`builder_of`).
:mod:`corvane.formula.build` chooses these builders, or formulaic for any other
formula."""

from __future__ import annotations

import functools
import itertools
import math

import numpy as np

from .columns import Columns, level_codes, numeric_values
from .parse import is_name, split_top, unquote
from .labels import INTERCEPT

__all__ = ["ProductTerms", "DirectTerms", "plan_of", "builder_of"]


class ProductTerms:
    """Terms that are plain columns and products of them (``a:b``,
    ``a*b``): numeric columns, and categorical columns coded by treatment
    contrasts (reduced: the first level the reference, ``a[T.b]``) or by one
    indicator per level (``a[a]``), each as formulaic codes it (see
    :func:`_scoped_plan`), with formulaic's order and names: a product's
    columns run over the combinations of its factors' columns, the first
    factor fastest, and its numeric factors are multiplied in their order.

    A builder never changes once made: its layout (the spans of its terms,
    the levels, the numeric products) is worked out once, on first use."""

    def __init__(self, intercept, products):
        self.intercept = intercept
        self.products = products  # [(term name, ((column, levels or None for numeric, reduced), ...))]

    @functools.cached_property
    def _names(self):
        names = ["Intercept"] if self.intercept else []  # formulaic's name (labels.term_names)
        for _, factors in self.products:
            parts = [_factor_columns(col, levels, reduced) for col, levels, reduced in factors]
            names += [":".join(reversed(combo)) for combo in itertools.product(*reversed(parts))]
        return tuple(names)

    @property
    def columns(self):
        return list(self._names)

    @property
    def variables(self):
        """The columns the terms read, sorted (as formulaic's builder lists them)."""
        return sorted({col for _, factors in self.products for col, _, _ in factors})

    def _spans(self):
        """(term name, factors, first column, width) of each product."""
        return self._layout[0]

    @functools.cached_property
    def _layout(self):
        """(spans, width, levels, numeric, colmap): the (term name, factors,
        first column, width) of each product; the number of columns; the
        categorical columns' levels; the numeric columns multiplied for each
        product that has any (numeric[0], (), is the constant 1); and the
        entry of numeric each column is multiplied by."""
        spans, k = [], 1 if self.intercept else 0
        for name, factors in self.products:
            width = math.prod(_factor_width(levels, reduced) for _, levels, reduced in factors)
            spans.append((name, factors, k, width))
            k += width
        width = spans[-1][2] + spans[-1][3] if spans else int(self.intercept)
        levels = {col: lv for _, factors, _, _ in spans for col, lv, _ in factors if lv is not None}
        numeric, colmap = [()], [0] * width
        for _, factors, k, w in spans:
            cols = tuple(col for col, lv, _ in factors if lv is None)
            if cols:
                colmap[k:k + w] = [len(numeric)] * w
                numeric.append(cols)
        return tuple(spans), width, levels, tuple(numeric), tuple(colmap)

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
        return self.matrix_products(frame, new_data, known_codes)[0]

    def matrix_products(self, frame, new_data=False, known_codes=None):
        """(matrix(...), the numeric products its columns are made from):
        each column is an indicator, 1, one of the products, or an indicator
        times one, so that the columns are all finite when the products
        are."""
        values, codes = {}, dict(known_codes) if known_codes else {}
        for _, factors in self.products:
            for col, levels, _ in factors:
                if levels is None:
                    if col not in values:
                        values[col] = frame.numeric(col) if isinstance(frame, Columns) else numeric_values(
                            frame[col], col)
                elif col not in codes:
                    codes[col] = level_codes(frame[col], levels, col, new_data)
        return self._assemble(len(frame), values, codes)

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
        return self._assemble(n, values, codes)[0]

    def _assemble(self, n, values, codes):
        """(assemble's columns, the numeric products)."""
        spans, width, levels, numeric, colmap = self._layout
        products = [None]
        for cols in numeric[1:]:
            product = values[cols[0]]
            for col in cols[1:]:
                product = product * values[col]
            products.append(product)
        if not levels:
            out = np.empty((n, width))
            for j, src in enumerate(colmap):
                out[:, j] = products[src] if src else 1.0
            return out, products[1:]
        sizes = [len(lv) + 1 for lv in levels.values()]  # a combination's code 0 is no level
        count = math.prod(sizes)
        if count < n and count * width <= self._TABLE_ENTRIES:
            # The rows' combinations sum (code + 1) * stride: the codes times
            # their strides, and the strides once.
            combination, grid, stride, base = None, {}, 1, 0
            for col, size in zip(levels, sizes):
                c = codes[col]
                if combination is None:
                    combination = c.astype(np.intp, copy=True)
                else:
                    combination += c * stride
                grid[col] = np.arange(count) // stride % size - 1
                base += stride
                stride *= size
            combination += base
            out = np.take(self._indicators(count, width, spans, grid), combination, axis=0)
        else:
            out = self._indicators(n, width, spans, codes)
        for j, src in enumerate(colmap):
            if src:
                out[:, j] *= products[src]
        return out, products[1:]

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
            rows = np.nonzero(present)[0]
            out[rows, k + cell[rows]] = 1.0
        return out


class DirectTerms(ProductTerms):
    """Terms that are plain columns, without products: intercept, numeric
    columns, categorical columns with treatment contrasts (the first level
    the reference), with their variables in the formula's order."""

    def __init__(self, intercept, terms):
        self.intercept = intercept
        self.terms = terms  # [(column, None) numeric | (column, levels) categorical]

    @functools.cached_property
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


# ---- which builder makes a side ------------------------------------------------------
#
# A right-hand side of plain columns and their products is built by
# DirectTerms (no products, and an intercept or no categorical column) or
# ProductTerms, with the terms and codings formulaic gives it; any other
# text by formulaic. Reading a text and scoping its terms depend on the text
# and the kinds of the columns it names alone, and are kept for the next
# fit of the same formula.

def _add_term(terms, term):
    """term appended to terms unless a term of the same columns is there."""
    key = frozenset(term)
    if all(frozenset(t) != key for t in terms):
        terms.append(term)


def _expand(piece):
    """The terms of 'a', 'a:b', 'a*b', 'a*b:c', ... (plain names joined by
    ':' and '*'), as formulaic expands them ('*' left to right: the terms of
    both sides, then their products), each a tuple of column names without
    repeats; None for any other text."""
    out = None
    for _, part in split_top(piece, "*"):
        names = [name for _, name in split_top(part, ":")]
        if not all(name and is_name(name) for name in names):
            return None
        term = tuple(dict.fromkeys(unquote(name) for name in names))
        if out is None:
            out = [term]
            continue
        new = list(out)
        _add_term(new, term)
        for t in out:
            _add_term(new, tuple(dict.fromkeys(t + term)))
        out = new
    return out


@functools.lru_cache(maxsize=512)
def _products_of(text):
    """(intercept, terms, plain) of a right-hand side made of plain names,
    their products, 1, 0 and -1, or None for any other text: the terms as
    formulaic adds and removes them from left to right, then orders them by
    degree (the written order within a degree: 'a*b*c' gives a, b, c, a:b,
    a:c, b:c, a:b:c); plain when every term is a single name added with '+'."""
    intercept, plain, terms = True, True, []
    for sign, piece in split_top(text, "+-"):
        if not piece:
            continue
        if piece in ("0", "1"):
            intercept = (piece == "1") != (sign == "-")
            continue
        expanded = _expand(piece)
        if expanded is None:
            return None
        if sign == "-":
            gone = {frozenset(t) for t in expanded}
            terms = [t for t in terms if frozenset(t) not in gone]
            plain = False
        else:
            plain = plain and is_name(piece)
            for t in expanded:
                _add_term(terms, t)
    return intercept, tuple(sorted(terms, key=len)), plain


def plan_of(text, kind_of):
    """How a right-hand side is built: ("direct", intercept, ((column,
    categorical), ...)) for DirectTerms, ("products", intercept, ((term
    name, ((column, categorical, reduced), ...)), ...)) for ProductTerms, or
    None (formulaic builds it). kind_of(column) is the column's kind (see
    columns.column_kind), None for a name that is no column."""
    read = _products_of(text)
    if read is None:
        return None
    names = tuple(dict.fromkeys(c for t in read[1] for c in t))
    return _scoped_plan(text, names, tuple(kind_of(c) for c in names))


@functools.lru_cache(maxsize=512)
def _scoped_plan(text, names, kinds):
    """plan_of's answer for the columns `names` of these kinds.

    A term's coding is formulaic's: with C its categorical columns and N its
    numeric ones, the term spans the products of N with the contrasts of
    every subset of C, less what the terms before it span (the intercept
    spans the empty product). When only N with all of C is left, every
    factor is coded by contrasts; when N with C less one factor c is left
    too, c is coded by indicators (as '0 + a' codes a, or 'a:x' without x).
    Any other remainder (formulaic then splits the term in several parts)
    is left to formulaic."""
    if any(k not in ("numeric", "categorical") for k in kinds):
        return None
    intercept, terms, plain = _products_of(text)
    categorical = {c for c, k in zip(names, kinds) if k == "categorical"}
    if plain and (intercept or not categorical):
        return "direct", intercept, tuple((t[0], t[0] in categorical) for t in terms)
    spanned = {(frozenset(), frozenset())} if intercept else set()
    out = []
    for term in terms:
        cats = [c for c in term if c in categorical]
        nums = frozenset(c for c in term if c not in categorical)
        span = {(nums, frozenset(s)) for r in range(len(cats) + 1) for s in itertools.combinations(cats, r)}
        left = span - spanned
        spanned |= span
        whole = (nums, frozenset(cats))
        full = None
        if left != {whole}:
            if len(left) != 2 or whole not in left:
                return None
            (other,) = left - {whole}
            rest = whole[1] - other[1]
            if len(rest) != 1:
                return None
            (full,) = rest
        out.append((":".join(term), tuple((c, c in categorical, c in categorical and c != full) for c in term)))
    return "products", intercept, tuple(out)


def builder_of(plan, levels_of):
    """The builder of a plan, levels_of(column) giving a categorical
    column's levels; None when a product has a categorical column of fewer
    than two levels (formulaic builds it).

    Builders never change, so one is made once for a plan and levels (of
    the same values, types and spellings) and handed out again: its names
    and layout are then worked out once."""
    what, intercept, terms = plan
    levels = {}
    if what == "direct":
        for col, cat in terms:
            if cat:
                levels[col] = levels_of(col)
    else:
        for _, factors in terms:
            for col, cat, _ in factors:
                if cat:
                    if col not in levels:
                        levels[col] = levels_of(col)
                    if len(levels[col]) < 2:
                        return None
    key = _builder_key(plan, levels)
    kept = None if key is None else _BUILDERS.get(key)
    if kept is not None and kept[0] is plan:
        return kept[1]
    if what == "direct":
        builder = DirectTerms(intercept, [(col, levels[col] if cat else None) for col, cat in terms])
    else:
        builder = ProductTerms(intercept, [(name, tuple((col, levels[col] if cat else None, reduced)
                                                        for col, cat, reduced in factors))
                                           for name, factors in terms])
    if key is not None:
        if len(_BUILDERS) >= _KEPT_BUILDERS:
            _BUILDERS.clear()
        _BUILDERS[key] = (plan, builder)
    return builder


_BUILDERS = {}        # {key: (plan, builder)}
_KEPT_BUILDERS = 256
_KEYED_LEVELS = 256   # builders of more levels than this are made anew each time


def _builder_key(plan, levels):
    """A key that tells builders apart: the plan (plans are kept and handed
    out again, so its identity, checked against the plan kept with the
    builder) and each level's value, and for any level but a string its
    type and spelling too (names are spelled from the levels; 0.0 and -0.0
    are equal values); None for many levels or unhashable ones."""
    if sum(len(lv) for lv in levels.values()) > _KEYED_LEVELS:
        return None
    key = (id(plan), tuple((col, tuple(v if type(v) is str else (type(v), v, str(v)) for v in lv))
                           for col, lv in levels.items()))
    try:
        hash(key)
    except TypeError:
        return None
    return key
