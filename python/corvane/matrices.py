"""The model's matrices from a formula and a table: the response y, the
fixed-effects columns X, the random-effects columns Z, the offset and the
group of each row, with the :class:`DesignSpec` that rebuilds them for new
rows or later batches.

Formulas whose terms are plain numeric or categorical columns (the common
case) are built directly with NumPy (:class:`DirectTerms`), as are their
products ('a:b', 'a*b', coded as formulaic codes them: :class:`ProductTerms`);
any other is built by formulaic (:class:`FormulaicTerms`), and both give the
same columns with the same names. A table whose columns need no conversion
is read column by column, without a sub-table (made only for formulaic).
Transforms that depend on the data (``poly``, ``scale``, ``center``, ``bs``)
keep the training data's state (bases, means, scales, knots) and apply it to
new data, as R's ``predict``.

:func:`build` reads the formula (:mod:`corvane.formula`) and makes the
builders; :func:`build_batch` puts a later batch of the same table through
them without reading the formula again.
"""

from __future__ import annotations

import functools
import itertools
import warnings
from dataclasses import dataclass, field

import numpy as np

from . import terms as _terms
from ._errors import require
from .columns import (Columns, big_integers, coerce_columns, factor_levels, missing_mask, needs_conversion,
                      with_levels, without_unused_categories)
from .formula import ParsedFormula, check_names, is_name, read_formula, split_top, unquote
from .labels import INTERCEPT
from .product_terms import DirectTerms, ProductTerms
from .validate import all_finite, check_columns, check_not_infinite

__all__ = ["build", "build_batch", "DesignSpec", "DirectTerms", "ProductTerms", "FormulaicTerms", "BlockTerms"]


def _context(env):
    """What formulaic's evaluation sees besides the data's columns and its own
    transforms (terms.py decides which of these names a formula may use)."""
    ctx = {"np": np, "numpy": np, "TRUE": True, "FALSE": False}
    ctx.update({name: getattr(np, name) for name in _terms.NUMPY_NAMES})
    if env:
        ctx.update(env)
    return ctx


# ---- the builders: how each matrix is made ----------------------------------------

class FormulaicTerms:
    """Terms built by formulaic; its model spec rebuilds them for new data,
    with the training data's transform state. Only the user's env is kept
    (the NumPy names are added when used), so that the model pickles, and
    the columns the terms read: formulaic sees only those, so that no other
    column of a table can shadow a function the terms call."""

    def __init__(self, spec, env, reads=()):
        self.spec = spec
        self.env = dict(env) if env else {}
        self.reads = sorted(reads)

    @property
    def context(self):
        return _context(self.env)

    @property
    def columns(self):
        return list(self.spec.column_names)

    @property
    def variables(self):
        return list(self.reads)

    def term_slices(self):
        out = {}
        for term, idx in self.spec.term_indices.items():
            name = INTERCEPT if str(term) == "1" else str(term)
            out[name] = list(idx)
        return out

    def term_layout(self):
        """As DirectTerms.term_layout, from formulaic's encoded structure; a
        variable is a factor expression (``C(x, Sum)``, ``log(z)``)."""
        levels = {}
        for expr, (kind, state) in self.spec.encoder_state.items():
            categorical = getattr(kind, "value", kind) == "categorical"
            levels[str(expr)] = list(state["categories"]) if categorical else None
        out = []
        for s in self.spec.structure:
            name = INTERCEPT if str(s.term) == "1" else str(s.term)
            variables = tuple(str(f.expr) for f in s.term.factors if str(f.expr) != "1")
            scoped = [tuple((str(sf.factor.expr), bool(sf.reduced)) for sf in st.factors) for st in s.scoped_terms]
            out.append((name, variables, list(self.spec.term_indices[s.term]), scoped))
        return out, levels

    def factor_values(self, frame, names):
        """{numeric factor expression: its columns on the rows of frame},
        evaluated with the state the fit gave stateful transforms
        (``center(x)``, ``poly(x, 2)``)."""
        import copy

        formulaic = require("formulaic")
        reads = set(self.reads)
        frame = frame[[c for c in frame.columns if c in reads]]  # as matrix(): no column shadows a function
        out = {}
        for name in names:
            spec = formulaic.ModelSpec(formula=f"0 + {name}", transform_state=copy.deepcopy(self.spec.transform_state))
            mm = spec.get_model_matrix(frame, context=self.context)
            out[name] = mm.to_numpy(dtype=np.float64, na_value=np.nan)
        return out

    def matrix(self, frame, new_data=False):
        formulaic = require("formulaic")
        from formulaic.errors import FormulaicError
        reads = set(self.reads)
        frame = coerce_columns(frame[[c for c in frame.columns if c in reads]], self.reads)
        try:
            with warnings.catch_warnings():
                # A level the fit never saw is an error, not the reference level.
                warnings.simplefilter("error", getattr(formulaic.transforms.contrasts, "DataMismatchWarning",
                                                       Warning))
                mm = self.spec.get_model_matrix(frame, context=self.context)
        except Warning as w:
            raise ValueError(f"new data: {_terms.clean_message(w)}") from None
        except (FormulaicError, NameError, SyntaxError, TypeError, ValueError) as exc:
            raise ValueError(f"cannot build the columns {self.columns}: {_terms.clean_message(exc)}") from None
        return mm.to_numpy(dtype=np.float64, na_value=np.nan)


class BlockTerms:
    """Random-effects columns made block by block (the terms of '(x || g)'
    or several bar terms of one group): the blocks' builders side by side,
    their random effects uncorrelated between blocks."""

    def __init__(self, parts):
        self.parts = list(parts)
        names = self.columns
        repeated = sorted({c for c in names if names.count(c) > 1})
        if repeated:
            raise ValueError(f"the random-effects terms repeat the column{'s' if len(repeated) > 1 else ''} "
                             f"{', '.join(map(repr, repeated))}: each column may be in one term only")

    @property
    def columns(self):
        return [c for b in self.parts for c in b.columns]

    @property
    def variables(self):
        return list(dict.fromkeys(v for b in self.parts for v in b.variables))

    @property
    def blocks(self):
        """The column indices of each block, in order."""
        out, k = [], 0
        for b in self.parts:
            width = len(b.columns)
            out.append(list(range(k, k + width)))
            k += width
        return out

    def term_slices(self):
        out = {}
        for b, idx in zip(self.parts, self.blocks):
            for name, cols in b.term_slices().items():
                out[name] = [idx[c] for c in cols]
        return out

    def factor_values(self, frame, names):
        out = {}
        for b in self.parts:
            out.update(b.factor_values(frame, [n for n in names if n in b.variables]))
        return out

    def matrix(self, frame, new_data=False, known_codes=None, raw=None):
        """The blocks' columns side by side; raw is the frame formulaic's
        builders read where it differs from frame (the coerced columns)."""
        mats = []
        for b in self.parts:
            if isinstance(b, FormulaicTerms):
                mats.append(b.matrix(frame if raw is None else raw, new_data=new_data))
            else:
                mats.append(b.matrix(frame, new_data=new_data, known_codes=known_codes))
        return np.hstack(mats) if mats else np.empty((len(frame), 0))


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


def _plan(text, kind_of):
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
    """_plan's answer for the columns `names` of these kinds.

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


def _builder(plan, levels_of):
    """The builder of a plan, levels_of(column) giving a categorical
    column's levels; None when a product has a categorical column of fewer
    than two levels (formulaic builds it)."""
    what, intercept, terms = plan
    if what == "direct":
        return DirectTerms(intercept, [(col, levels_of(col) if cat else None) for col, cat in terms])
    products = []
    for name, factors in terms:
        coded = []
        for col, cat, reduced in factors:
            levels = levels_of(col) if cat else None
            if levels is not None and len(levels) < 2:
                return None
            coded.append((col, levels, reduced))
        products.append((name, tuple(coded)))
    return ProductTerms(intercept, products)


@dataclass
class DesignSpec:
    """How the response, X, Z, the offset and the groups are made from a
    table: the formula as read from the first table, and a builder for each
    part (the same for every later batch and for new data)."""

    formula: str            # the formula's text, for messages
    parsed: ParsedFormula
    used: tuple             # the columns the response and the terms read, sorted (the group only if a term does)
    response: object        # builder of y (one column), or None for a plain column
    fixed: object           # DirectTerms or FormulaicTerms
    random: object
    offsets: list = field(default_factory=list)  # builders of one column each
    env: dict = field(default_factory=dict)       # names given with env=

    @property
    def re_blocks(self):
        """The random-effects columns' uncorrelated blocks (lists of column
        indices), or None for one unstructured block."""
        return self.random.blocks if isinstance(self.random, BlockTerms) else None

    @property
    def variables(self):
        names = set(self.fixed.variables) | set(self.random.variables) | {self.parsed.group}
        for b in self.offsets:
            names |= set(b.variables)
        return names


def _formulaic_spec(rhs, frame, env, formula, reads=()):
    """formulaic's model spec and matrix of a checked right-hand side, over
    the columns it reads (reads) and nothing else of the table."""
    formulaic = require("formulaic")
    from formulaic.errors import FormulaicError
    reads = set(reads)
    frame = frame[[c for c in frame.columns if c in reads]]
    try:
        mm = formulaic.model_matrix(f"~ {rhs}", frame, na_action="ignore", context=_context(env))
    except RecursionError:
        raise ValueError(f"formula {formula[:60]!r}... is nested too deeply") from None
    except (FormulaicError, SyntaxError, TypeError, AttributeError) as exc:
        raise ValueError(f"bad formula {formula!r}: {_terms.clean_message(exc)}") from None
    except NameError as exc:
        raise ValueError(f"bad formula {formula!r}: {_terms.clean_message(exc)}; formulas see the data's columns "
                         f"and NumPy's functions (and names passed with env=)") from None
    return FormulaicTerms(mm.model_spec, env, reads), mm.to_numpy(dtype=np.float64, na_value=np.nan)


# ---- building -------------------------------------------------------------------

def build(formula, frame, env=None, levels=None, extra=()):
    """(DesignSpec, y, X, Z, offset, groups, n_dropped, kept_mask) for a
    pandas DataFrame whose columns are strings. Rows with a missing value in a
    column the formula uses are left out and counted; infinite values raise.

    For data read in batches, `levels` gives the complete levels of factor
    columns ({column: levels}), so that every batch gets the same columns
    (later batches go through :func:`build_batch`). `extra` names further
    columns whose missing values drop a row."""
    names = list(frame.columns)  # once: pandas' string column names are slow to go through
    reading = read_formula(formula, env, names)
    parsed, reads = reading.parsed, reading.reads
    # Columns read besides the formula's (weights): their missing values drop rows too.
    columns, missing, n_dropped = _rows(frame, reading.used | set(extra), parsed.group, formula, levels, names)
    if len(columns) == 0:
        raise ValueError("no rows without missing values in the columns the formula uses")

    # Response.
    if is_name(parsed.response):
        rcol = unquote(parsed.response)
        if columns[rcol].dtype.kind not in "biuf":
            raise ValueError(f"the response {rcol!r} must be numeric, it is {columns[rcol].dtype}")
        y = columns[rcol].to_numpy(dtype=np.float64)
        ybuilder = None
    else:
        text = f"0 + {reading.response}"
        ybuilder, ymat = _formulaic_spec(text, columns.frame, env, formula, reads[text])
        if ymat.shape[1] != 1:
            raise ValueError(f"the response {parsed.response!r} must be one numeric column, "
                             f"it gives {ymat.shape[1]} columns")
        y = ymat[:, 0]

    coded = {}  # {factor column: (codes, levels)}, shared by X, Z and the offsets

    def levels_of(col):
        if col not in coded:  # one hashing pass gives the levels in order and the codes
            coded[col] = factor_levels(columns[col], col, unused=levels is not None)
        return coded[col][1]

    def kind_of(col):
        return columns.kind(col) if col in columns.columns else None

    def side(text):
        plan = _plan(text, kind_of)
        builder = None if plan is None else _builder(plan, levels_of)
        if builder is None:
            return _formulaic_spec(text, columns.frame, env, formula, reads[text])
        return builder, builder.matrix(columns, known_codes={c: v[0] for c, v in coded.items()})

    fixed, X = side(reading.fixed)
    if reading.blocks:
        parts = [side(text) for text in reading.blocks]
        random = BlockTerms([b for b, _ in parts])
        Z = np.hstack([z for _, z in parts])
    else:
        random, Z = side(reading.random)
    off = np.zeros(len(columns))
    obuilders = []
    for text in reading.offsets:
        b, mat = side(f"0 + {text}")
        if mat.shape[1] != 1:
            raise ValueError(f"offset({text}) must give one numeric column, it gives {mat.shape[1]}")
        off = off + mat[:, 0]
        obuilders.append(b)

    groups = columns[parsed.group]
    check_columns(X.shape[1], Z.shape[1])
    spec = DesignSpec(formula, parsed, tuple(sorted(reading.used)), ybuilder, fixed, random, obuilders,
                      dict(env) if env else {})
    out = _finish_rows(spec, y, X, Z, off, groups, n_dropped, ~missing)
    if len(out[1]) == 0:
        raise ValueError("no rows with finite values in the model's columns")
    return out


def build_batch(spec, frame, levels=None):
    """As :func:`build` for a later batch of the table whose first batch gave
    `spec`: its builders on this batch's rows, the formula not read again
    (the batch must hold the columns it reads). A batch without usable rows
    gives empty arrays."""
    group = spec.parsed.group
    columns, missing, n_dropped = _rows(frame, spec.used, group, spec.formula, levels)

    def make(builder):
        if isinstance(builder, BlockTerms):
            formulaic = any(isinstance(b, FormulaicTerms) for b in builder.parts)
            return builder.matrix(columns, new_data=True, raw=columns.frame if formulaic else None)
        return builder.matrix(columns.frame if isinstance(builder, FormulaicTerms) else columns, new_data=True)

    if spec.response is None:
        y = columns[unquote(spec.parsed.response)].to_numpy(dtype=np.float64)
    else:
        y = make(spec.response)[:, 0]
    X, Z = make(spec.fixed), make(spec.random)
    off = np.zeros(len(columns))
    for b in spec.offsets:
        off = off + make(b)[:, 0]
    return _finish_rows(spec, y, X, Z, off, columns[group], n_dropped, ~missing)


def _rows(frame, used, group, formula, levels, names=None):
    """(columns, missing, n_dropped): columns (:class:`Columns`) holds
    frame's used columns and group on the rows without a missing value in
    any of them, coerced to the types the builders read (with `levels`,
    factor columns as categoricals of those levels); missing marks frame's
    rows left out and n_dropped counts them. Unknown columns raise. names
    is frame's column names as a list, when at hand."""
    names = list(frame.columns) if names is None else names
    check_names(names, sorted(set(used) | {group}), formula)
    used = set(used)
    cols = [c for c in names if c in used or c == group]
    if levels is None:
        plain = _plain_rows(frame, cols, group)
        if plain is not None:
            return plain
    return _coerced_rows(frame, cols, group, levels)


def _coerced_rows(frame, cols, group, levels):
    """_rows for any columns: the sub-table of the columns cols, converted."""
    # Decimal numbers are numbers; dates are refused by name (never levels).
    sub = coerce_columns(frame[cols], [c for c in cols if c != group], keep=levels or ())

    # Missing values (in any used column) drop the row.
    missing = sub.isna().to_numpy().any(axis=1)
    if levels:
        sub = with_levels(sub, levels, missing)
    n_dropped = int(missing.sum())
    if n_dropped:
        sub = sub.loc[~missing]
    if levels is None:
        # A category with no rows left is no level (R's drop.unused.levels):
        # its dummy would be empty. Data read in batches bring the levels of
        # the whole table instead, whether this batch has rows of them or not.
        sub = without_unused_categories(sub)
    columns = Columns(sub)
    for c in cols:
        if c != group and columns.kind(c) == "bigint":
            sub = sub.assign(**{c: big_integers(columns[c], c)})
            columns = Columns(sub)
    return columns, missing, n_dropped


def _plain_rows(frame, cols, group):
    """_rows without making a sub-table, for columns that need no
    conversion (numbers, strings, categoricals: the usual table): each
    column taken out once and, when rows are dropped, cut to the rows kept.
    Their DataFrame (for formulaic's builders) is made only when asked for,
    as _coerced_rows makes it. None for any other column, which
    _coerced_rows converts or refuses."""
    series = {c: frame[c] for c in cols}
    missing = None
    for c, s in series.items():
        if c != group and needs_conversion(s):
            return None
        mask = missing_mask(s)
        if mask is not None:
            missing = mask if missing is None else missing | mask
    n = len(frame)
    if missing is None:
        missing = np.zeros(n, dtype=bool)
        n_dropped = 0
    else:
        n_dropped = int(missing.sum())
        keep = ~missing
        series = {c: s[keep] for c, s in series.items()}
    columns = Columns.of_series(series, n - n_dropped, lambda: _coerced_rows(frame, cols, group, None)[0].frame)
    if any(c != group and columns.kind(c) == "bigint" for c in cols):  # on the rows kept, as _coerced_rows
        return None
    return columns, missing, n_dropped


def _finish_rows(spec, y, X, Z, off, groups, n_dropped, kept):
    """Values made non-finite by a transform: NaN is missing (the row is
    dropped and counted), +-inf an error."""
    if not all_finite(y, X, Z, off):
        check_not_infinite((("response", y[:, None], [spec.parsed.response]), ("fixed", X, spec.fixed.columns),
                            ("random", Z, spec.random.columns), ("offset", off[:, None], ["offset"])))
        nan = np.isnan(y) | np.isnan(X).any(axis=1) | np.isnan(Z).any(axis=1) | np.isnan(off)
        keep_rows = ~nan
        y, X, Z, off = y[keep_rows], X[keep_rows], Z[keep_rows], off[keep_rows]
        groups = groups[keep_rows]
        kept = kept.copy()
        idx = np.flatnonzero(kept)
        kept[idx[nan]] = False
        n_dropped += int(nan.sum())
    return (spec, np.ascontiguousarray(y), np.ascontiguousarray(X), np.ascontiguousarray(Z), off,
            groups, n_dropped, kept)
