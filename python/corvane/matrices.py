"""The model's matrices from a formula and a table: the response y, the
fixed-effects columns X, the random-effects columns Z, the offset and the
group of each row, with the :class:`DesignSpec` that rebuilds them for new
rows or later batches.

Formulas whose terms are plain numeric or categorical columns (the common
case) are built directly with NumPy (:class:`DirectTerms`); any other is
built by formulaic (:class:`FormulaicTerms`), and both give the same columns
with the same names. Transforms that depend on the data (``poly``,
``scale``, ``center``, ``bs``) keep the training data's state (bases, means,
scales, knots) and apply it to new data, as R's ``predict``.

:func:`build` reads the formula (:mod:`corvane.formula`) and makes the
builders; :func:`build_batch` puts a later batch of the same table through
them without reading the formula again.
"""

from __future__ import annotations

import warnings
from dataclasses import dataclass, field

import numpy as np

from . import terms as _terms
from ._errors import require
from .columns import (Columns, big_integers, coerce_columns, column_kind, level_codes, numeric_values, with_levels,
                      without_unused_categories)
from .formula import ParsedFormula, check_names, is_name, read_formula, split_top, unquote
from .labels import INTERCEPT, factorize
from .validate import all_finite, check_columns, check_not_infinite

__all__ = ["build", "build_batch", "DesignSpec", "DirectTerms", "FormulaicTerms", "BlockTerms"]


def _context(env):
    """What formulaic's evaluation sees besides the data's columns and its own
    transforms (terms.py decides which of these names a formula may use)."""
    ctx = {"np": np, "numpy": np, "TRUE": True, "FALSE": False}
    ctx.update({name: getattr(np, name) for name in _terms.NUMPY_NAMES})
    if env:
        ctx.update(env)
    return ctx


# ---- the builders: how each matrix is made ----------------------------------------

class DirectTerms:
    """Terms that are plain columns: intercept, numeric columns, categorical
    columns with treatment contrasts (the first level the reference), in
    formulaic's order and naming."""

    def __init__(self, intercept, terms):
        self.intercept = intercept
        self.terms = terms  # [(column, None) numeric | (column, levels) categorical]

    @property
    def columns(self):
        names = ["Intercept"] if self.intercept else []  # formulaic's name (labels.term_names)
        for col, levels in self.terms:
            names += [col] if levels is None else [f"{col}[T.{lev}]" for lev in levels[1:]]
        return names

    @property
    def variables(self):
        return [col for col, _ in self.terms]

    def term_slices(self):
        """{term name: column indices} for the anova tables."""
        out, k = {}, 0
        if self.intercept:
            out[INTERCEPT] = [0]
            k = 1
        for col, levels in self.terms:
            width = 1 if levels is None else len(levels) - 1
            out[col] = list(range(k, k + width))
            k += width
        return out

    def term_layout(self):
        """How the columns are made, term by term, for the type III tests:
        ([(term name, variables, column indices, scoped)], {variable: levels,
        or None for a numeric one}). scoped lists the products of coded
        variables that make the term's columns, each a tuple of (variable,
        reduced): a categorical variable reduced is coded by contrasts,
        otherwise by one indicator per level."""
        out, k = [], 0
        if self.intercept:
            out.append((INTERCEPT, (), [0], [()]))
            k = 1
        for col, levels in self.terms:
            width = 1 if levels is None else len(levels) - 1
            out.append((col, (col,), list(range(k, k + width)), [((col, levels is not None),)]))
            k += width
        return out, {col: None if levels is None else list(levels) for col, levels in self.terms}

    def factor_values(self, frame, names):
        """{numeric variable: its values on the rows of frame, one column}."""
        return {name: numeric_values(frame[name], name)[:, None] for name in names}

    def matrix(self, frame, new_data=False, known_codes=None):
        """The columns for the rows of frame; known_codes maps a categorical
        column to its level codes when they are already at hand."""
        n = len(frame)
        out = np.empty((n, len(self.columns)), dtype=np.float64)
        k = 0
        if self.intercept:
            out[:, 0] = 1.0
            k = 1
        for col, levels in self.terms:
            values = frame[col]
            if levels is None:
                out[:, k] = numeric_values(values, col)
                k += 1
                continue
            codes = known_codes.get(col) if known_codes else None
            if codes is None:
                codes = level_codes(values, levels, col, new_data)
            block = out[:, k:k + len(levels) - 1]
            block[:] = 0.0
            rows = np.flatnonzero(codes > 0)
            block[rows, codes[rows] - 1] = 1.0
            k += len(levels) - 1
        return out


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


def _direct_plan(text, frame):
    """(intercept, [(column, kind)]) when a right-hand side is plain columns
    (numeric or categorical), 1, 0 and -1; None otherwise (formulaic builds it).
    Categorical columns without an intercept (full dummy coding) are left to
    formulaic too."""
    intercept = True
    terms, seen = [], set()
    for sign, term in split_top(text, "+-"):
        if not term:
            continue
        if term in ("0", "1"):
            intercept = (term == "1") != (sign == "-")
            continue
        if sign == "-" or not is_name(term):
            return None
        col = unquote(term)
        if col not in frame.columns:
            return None
        kind = frame.kind(col) if isinstance(frame, Columns) else column_kind(frame[col])
        if kind not in ("numeric", "categorical"):
            return None
        if col not in seen:
            terms.append((col, kind))
            seen.add(col)
    if not intercept and any(kind == "categorical" for _, kind in terms):
        return None
    return intercept, terms


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
    pd = require("pandas")
    reading = read_formula(formula, env, frame.columns)
    parsed, reads = reading.parsed, reading.reads
    # Columns read besides the formula's (weights): their missing values drop rows too.
    sub, columns, missing, n_dropped = _rows(frame, reading.used | set(extra), parsed.group, formula, levels)
    if len(sub) == 0:
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
        ybuilder, ymat = _formulaic_spec(text, sub, env, formula, reads[text])
        if ymat.shape[1] != 1:
            raise ValueError(f"the response {parsed.response!r} must be one numeric column, "
                             f"it gives {ymat.shape[1]} columns")
        y = ymat[:, 0]

    factorized = {}  # {factor column: (codes, levels)}, shared by X, Z and the offsets

    def side(text):
        plan = _direct_plan(text, columns)
        if plan is None:
            return _formulaic_spec(text, sub, env, formula, reads[text])
        intercept, terms = plan
        resolved = []
        for col, kind in terms:
            if kind == "numeric":
                resolved.append((col, None))
                continue
            s = columns[col]
            if isinstance(s.dtype, pd.CategoricalDtype):
                levels = list(s.cat.categories)
            else:
                if col not in factorized:  # one hashing pass gives the levels in order and the codes
                    factorized[col] = factorize(s.to_numpy(), col)
                levels = factorized[col][1]
            resolved.append((col, levels))
        b = DirectTerms(intercept, resolved)
        return b, b.matrix(columns, known_codes={c: v[0] for c, v in factorized.items()})

    fixed, X = side(reading.fixed)
    if reading.blocks:
        parts = [side(text) for text in reading.blocks]
        random = BlockTerms([b for b, _ in parts])
        Z = np.hstack([z for _, z in parts])
    else:
        random, Z = side(reading.random)
    off = np.zeros(len(sub))
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
    sub, columns, missing, n_dropped = _rows(frame, spec.used, group, spec.formula, levels)

    def make(builder):
        if isinstance(builder, BlockTerms):
            return builder.matrix(columns, new_data=True, raw=sub)
        return builder.matrix(sub if isinstance(builder, FormulaicTerms) else columns, new_data=True)

    if spec.response is None:
        y = columns[unquote(spec.parsed.response)].to_numpy(dtype=np.float64)
    else:
        y = make(spec.response)[:, 0]
    X, Z = make(spec.fixed), make(spec.random)
    off = np.zeros(len(sub))
    for b in spec.offsets:
        off = off + make(b)[:, 0]
    return _finish_rows(spec, y, X, Z, off, columns[group], n_dropped, ~missing)


def _rows(frame, used, group, formula, levels):
    """(sub, columns, missing, n_dropped): sub holds frame's used columns and
    group on the rows without a missing value in any of them, coerced to the
    types the builders read (with `levels`, factor columns as categoricals of
    those levels); columns is sub as :class:`Columns`; missing marks frame's
    rows left out and n_dropped counts them. Unknown columns raise."""
    check_names(frame.columns, sorted(set(used) | {group}), formula)
    used = set(used)
    cols = [c for c in frame.columns if c in used or c == group]
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
    return sub, columns, missing, n_dropped


def _finish_rows(spec, y, X, Z, off, groups, n_dropped, kept):
    """Values made non-finite by a transform: NaN is missing (the row is
    dropped and counted), +-inf an error."""
    finite = all(all_finite(a) for a in (y, X, Z, off))
    if not finite:
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
