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

:func:`build` reads the formula (:mod:`corvane.formula.parse`) and makes the
builders; :func:`build_batch` puts a later batch of the same table through
them without reading the formula again.
"""

from __future__ import annotations

import ast
import warnings
from dataclasses import dataclass, field

import numpy as np

from . import safety as _terms
from .._errors import require
from .columns import (Columns, big_integers, coerce_columns, missing_mask, needs_conversion, used_levels,
                      with_levels, without_unused_categories)
from .parse import ParsedFormula, is_name, unquote
from .reading import check_names, read_formula
from .labels import INTERCEPT
from .direct import DirectTerms, ProductTerms, builder_of, plan_of
from .._checks import all_finite, check_columns, check_not_infinite
from .._routes import fast

__all__ = ["build", "build_batch", "DesignSpec", "DirectTerms", "ProductTerms", "FormulaicTerms", "BlockTerms"]

# Which builder makes a side (product_terms.plan_of), looked up here at each build.
_plan, _builder = plan_of, builder_of


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

def build(formula, frame, env=None, levels=None, extra=(), group_array=False, group_codes=False):
    """(DesignSpec, y, X, Z, offset, groups, n_dropped, kept_mask) for a
    pandas DataFrame whose columns are strings; y is two columns
    (successes, failures) for a response written cbind(s, f). Rows with a missing value in a
    column the formula uses are left out and counted; infinite values raise.

    For data read in batches, `levels` gives the complete levels of factor
    columns ({column: levels}), so that every batch gets the same columns
    (later batches go through :func:`build_batch`). `extra` names further
    columns whose missing values drop a row. groups is the group column's
    Series on the rows kept, or with group_array its array when it holds
    NumPy's numbers (factorize codes both alike), or with group_codes
    factorize's (codes, labels) of it."""
    spec, y, X, Z, off, columns, n_dropped, kept, checks = _build(formula, frame, env, levels, extra)
    group = spec.parsed.group
    if group_codes:
        groups = columns.codes(group)
    else:
        values = columns.array(group) if group_array else None
        groups = columns[group] if values is None else values
    out = _finish_rows(spec, y, X, Z, off, groups, n_dropped, kept, checks)
    if len(out[1]) == 0:
        raise ValueError("no rows with finite values in the model's columns")
    return out


# The last table's column index and its names: an Index never changes, and
# going through pandas' string column names costs more than a small fit's
# other steps.
_last_names = (None, None)


def _column_names(frame):
    global _last_names
    index = frame.columns
    seen, names = _last_names
    if seen is not index:
        names = list(index)
        _last_names = (index, names)
    return names


def _build(formula, frame, env, levels, extra):
    """build's parts before the rows with non-finite values are dropped:
    (spec, y, X, Z, offset, Columns, n_dropped, kept_mask, checks), checks
    the arrays whose values all finite make those of y, X, Z and the offset
    finite: y, the numeric columns a direct builder's columns are products
    of (its indicators are finite), any other matrix itself, and the offset
    when the formula has one."""
    names = _column_names(frame)
    reading = read_formula(formula, env, names)
    parsed, reads = reading.parsed, reading.reads
    # Columns read besides the formula's (weights): their missing values drop rows too.
    columns, missing, n_dropped = _rows(frame, reading.used | set(extra) if extra else reading.used, parsed.group,
                                        formula, levels, names)
    if len(columns) == 0:
        raise ValueError("no rows without missing values in the columns the formula uses")

    # Response: one column, or the successes and failures of cbind(s, f) side by side.
    def response(text, written):
        if is_name(text):
            rcol = unquote(text)
            dtype = columns.dtype(rcol)
            if dtype.kind not in "biuf":
                raise ValueError(f"the response {rcol!r} must be numeric, it is {dtype}")
            values = columns.array(rcol)
            return None, columns[rcol].to_numpy(dtype=np.float64) if values is None else columns.numeric(rcol)
        text = f"0 + {text}"
        builder, ymat = _formulaic_spec(text, columns.frame, env, formula, reads[text])
        if ymat.shape[1] != 1:
            raise ValueError(f"the response {written!r} must be one numeric column, it gives {ymat.shape[1]} columns")
        return builder, ymat[:, 0]

    ybuilder, y = response(reading.response, parsed.cbind[0] if parsed.cbind else parsed.response)
    if reading.failures is not None:
        failures = _column_arithmetic(reading.failures, columns) if fast() else None
        if failures is None:
            _, failures = response(reading.failures, parsed.cbind[1])
        y = np.column_stack([y, failures])

    coded = {}  # {factor column: (codes, levels)}, shared by X, Z and the offsets

    def levels_of(col):
        if col not in coded:  # one hashing pass gives the levels in order and the codes
            coded[col] = columns.factor(col, unused=levels is not None)
        return coded[col][1]

    def kind_of(col):
        return columns.kind(col) if col in columns.columns else None

    def side(text):
        """(builder, matrix, the arrays it is finite with, or None)."""
        plan = _plan(text, kind_of) if fast() else None  # the general route: formulaic for every side
        builder = None if plan is None else _builder(plan, levels_of)
        if builder is None:
            return (*_formulaic_spec(text, columns.frame, env, formula, reads[text]), None)
        return (builder, *builder.matrix_products(columns, known_codes={c: v[0] for c, v in coded.items()}))

    checks = [y]

    def checked(products, mat):
        if products is None:
            checks.append(mat)
        else:
            checks.extend(a for a in products if not any(a is b for b in checks))

    fixed, X, products = side(reading.fixed)
    checked(products, X)
    if reading.blocks:
        parts = [side(text) for text in reading.blocks]
        random = BlockTerms([b for b, _, _ in parts])
        Z = np.hstack([z for _, z, _ in parts])
        for _, z, products in parts:
            checked(products, z)
    else:
        random, Z, products = side(reading.random)
        checked(products, Z)
    off = np.zeros(len(columns))
    obuilders = []
    for text in reading.offsets:
        b, mat, _ = side(f"0 + {text}")
        if mat.shape[1] != 1:
            raise ValueError(f"offset({text}) must give one numeric column, it gives {mat.shape[1]}")
        off = off + mat[:, 0]
        obuilders.append(b)
    if obuilders:
        checks.append(off)

    check_columns(X.shape[1], Z.shape[1])
    spec = DesignSpec(formula, parsed, tuple(sorted(reading.used)), ybuilder, fixed, random, obuilders,
                      dict(env) if env else {})
    return spec, y, X, Z, off, columns, n_dropped, ~missing, checks


_ARITHMETIC = {ast.Add: np.add, ast.Sub: np.subtract, ast.Mult: np.multiply}


def _column_arithmetic(text, columns):
    """The values of a response written I(expression) (cbind's failures,
    ``I(size - incidence)``) when the expression is +, - and * of numeric
    columns (numbers, not booleans) and numbers, computed by NumPy on the
    columns' float values as formulaic's evaluation computes them; None for
    anything else, which formulaic evaluates."""
    inner = text.strip()
    if not (inner.startswith("I(") and inner.endswith(")")):
        return None
    try:
        tree = ast.parse(inner[2:-1], mode="eval").body
    except (SyntaxError, ValueError):
        return None

    def value(node):
        if isinstance(node, ast.BinOp) and type(node.op) in _ARITHMETIC:
            a, b = value(node.left), value(node.right)
            return None if a is None or b is None else _ARITHMETIC[type(node.op)](a, b)
        if isinstance(node, ast.UnaryOp) and isinstance(node.op, ast.USub):
            a = value(node.operand)
            return None if a is None else -a
        if isinstance(node, ast.Constant) and type(node.value) in (int, float):
            return float(node.value)
        if (isinstance(node, ast.Name) and node.id in columns.columns and columns.kind(node.id) == "numeric"
                and columns.dtype(node.id).kind in "iuf"):
            return columns.numeric(node.id)
        return None

    out = value(tree)
    return None if out is None or np.ndim(out) == 0 else np.asarray(out, dtype=np.float64)


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
    if levels is None and fast():
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
    column taken out once (a column of NumPy's numbers as its array) and,
    when rows are dropped, cut to the rows kept. Their DataFrame (for
    formulaic's builders) is made only when asked for, as _coerced_rows
    makes it. None for any other column, which _coerced_rows converts or
    refuses."""
    series, arrays, missing = {}, {}, None
    for c in cols:
        s = series[c] = frame[c]
        dtype = s.dtype
        if isinstance(dtype, np.dtype) and dtype.kind in "biuf":  # NumPy's numbers: the usual column
            values = arrays[c] = s.to_numpy()
            mask = None
            if dtype.kind == "f":
                mask = np.isnan(values)
                if not mask.any():
                    mask = None
        else:
            if c != group and needs_conversion(s):
                return None
            mask = missing_mask(s)
        if mask is not None:
            missing = mask if missing is None else missing | mask
    n = len(frame)
    keep = None
    if missing is None:
        missing = np.zeros(n, dtype=bool)
        n_dropped = 0
    else:
        n_dropped = int(missing.sum())
        keep = ~missing
        arrays = {c: _read_only(a[keep]) for c, a in arrays.items()}
    columns = Columns.of_series(series, n - n_dropped, lambda: _coerced_rows(frame, cols, group, None)[0].frame,
                                arrays, keep)
    if any(c != group and columns.kind(c) == "bigint" for c in cols):  # on the rows kept, as _coerced_rows
        return None
    return columns, missing, n_dropped


def _read_only(a):
    """a, read-only as pandas hands out a column's values."""
    a.flags.writeable = False
    return a


def _finish_rows(spec, y, X, Z, off, groups, n_dropped, kept, checks=None):
    """Values made non-finite by a transform: NaN is missing (the row is
    dropped and counted), +-inf an error. checks: arrays whose values all
    finite make those of y, X, Z and the offset finite (see _build); None
    for those four themselves."""
    if not all_finite(*((y, X, Z, off) if checks is None else checks)):
        ys = y if y.ndim == 2 else y[:, None]  # cbind: successes and failures
        check_not_infinite((("response", ys, list(spec.parsed.cbind) or [spec.parsed.response]),
                            ("fixed", X, spec.fixed.columns), ("random", Z, spec.random.columns),
                            ("offset", off[:, None], ["offset"])))
        nan = np.isnan(ys).any(axis=1) | np.isnan(X).any(axis=1) | np.isnan(Z).any(axis=1) | np.isnan(off)
        keep_rows = ~nan
        y, X, Z, off = y[keep_rows], X[keep_rows], Z[keep_rows], off[keep_rows]
        groups = used_levels(groups[0][keep_rows], groups[1]) if isinstance(groups, tuple) else groups[keep_rows]
        kept = kept.copy()
        idx = np.flatnonzero(kept)
        kept[idx[nan]] = False
        n_dropped += int(nan.sum())
    return (spec, np.ascontiguousarray(y), np.ascontiguousarray(X), np.ascontiguousarray(Z), off,
            groups, n_dropped, kept)
