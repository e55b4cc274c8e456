"""lme4 formula syntax: ``"Reaction ~ Days + (Days | Subject)"``.

A formula has a fixed part, exactly one random-effects term ``(expr | group)``
whose grouping is a single column, and optionally ``offset(expr)`` terms.
Terms that are not plain column names are expressions evaluated by formulaic,
after every piece of them has been checked (``terms.py``): they reach the
data's columns, the formula library's transforms (``C``, ``I``, ``poly``,
``scale``, ``center``, ``bs``, ...), NumPy's mathematical functions (``log``,
``np.log``, ...) and the names given in ``env=``, and nothing else; never the
caller's variables, and no text taken from the data (column names, cells) is
ever evaluated. A name used as a value is a column when the data has one (as
in R, the data come first); a name called as a function is a function. As in
R, ``^`` inside a function call (``I(Days^2)``, ``log(x^2)``) is a power, a
response or offset other than a column is arithmetic (``y - x ~ ...``,
``offset(2 * x)``), ``factor(x)`` and ``as.factor(x)`` are ``C(x)``,
``a %in% b`` is ``a:b``, and names with dots (``x.1``, ``(1 | subject.id)``)
are columns everywhere.

Formulas whose terms are plain numeric or categorical columns (the common
case) are built directly with NumPy; any other is built by formulaic, and
both give the same columns with the same names. Transforms that depend on the
data (``poly``, ``scale``, ``center``, ``bs``) keep the training data's state
(bases, means, scales, knots) and apply it to new data, as R's ``predict``.
"""

from __future__ import annotations

import datetime
import decimal
import math
import re
import warnings
from dataclasses import dataclass, field

import numpy as np

from . import terms as _terms
from ._errors import require

__all__ = ["parse_formula", "ParsedFormula", "DesignSpec", "build", "check_call", "SUPPORTED"]

SUPPORTED = ("corvane supports exactly one random-effects term '(expr | group)' whose grouping "
             "is a single column, e.g. 'y ~ x + (1 + x | g)' or 'y ~ x + (1 | g)'")

_OPEN, _CLOSE = "([{", ")]}"
_CALL = re.compile(r"([A-Za-z_][A-Za-z0-9_.]*)\s*\($")

def _context(env):
    """What formulaic's evaluation sees besides the data's columns and its own
    transforms (terms.py decides which of these names a formula may use)."""
    ctx = {"np": np, "numpy": np, "TRUE": True, "FALSE": False}
    ctx.update({name: getattr(np, name) for name in _terms.NUMPY_NAMES})
    if env:
        ctx.update(env)
    return ctx


# ---- parsing --------------------------------------------------------------------

def _scan(text):
    """(index, char, depth) for each character outside quotes and backticks."""
    depth, quote = 0, None
    for i, ch in enumerate(text):
        if quote:
            if ch == quote:
                quote = None
            continue
        if ch in "`'\"":
            quote = ch
        elif ch in _OPEN:
            depth += 1
        elif ch in _CLOSE:
            depth -= 1
            if depth < 0:
                raise ValueError(f"unbalanced parentheses in formula {text!r}")
        yield i, ch, depth
    if depth or quote:
        raise ValueError(f"unbalanced parentheses or quotes in formula {text!r}")


def _split_top(text, seps):
    """Split at top-level characters in seps: [(separator before or '', piece)]."""
    pieces, start, sep = [], 0, ""
    for i, ch, depth in list(_scan(text)):
        if depth == 0 and ch in seps:
            pieces.append((sep, text[start:i].strip()))
            start, sep = i + 1, ch
    pieces.append((sep, text[start:].strip()))
    return pieces


def _strip_parens(term):
    if not (term.startswith("(") and term.endswith(")")):
        return None
    for i, ch, depth in _scan(term):
        if depth == 0 and i < len(term) - 1:
            return None
    return term[1:-1].strip()


def _bar_term(term):
    inner = _strip_parens(term)
    while inner is not None:
        bars = [i for i, ch, depth in _scan(inner) if depth == 0 and ch == "|"]
        if bars:
            if len(bars) > 1:
                if len(bars) == 2 and bars[1] == bars[0] + 1:
                    raise ValueError(f"uncorrelated terms '||' ({term}) are not supported; {SUPPORTED}")
                raise ValueError(f"malformed random-effects term {term!r}; {SUPPORTED}")
            return inner[:bars[0]].strip(), inner[bars[0] + 1:].strip()
        inner = _strip_parens(inner)
    return None


def _r_powers(text):
    """'^' inside a function call's parentheses becomes '**' (R's meaning
    there); at the formula's own level '^' keeps its meaning (interactions)."""
    out, stack = [], []  # stack: for each open parenthesis, whether it is a call's
    quote = None
    for i, ch in enumerate(text):
        if quote:
            out.append(ch)
            if ch == quote:
                quote = None
            continue
        if ch in "`'\"":
            quote = ch
        elif ch == "(":
            stack.append(bool(_CALL.search(text[:i + 1])) or (stack and stack[-1]))
        elif ch == ")":
            if stack:
                stack.pop()
        elif ch == "^" and stack and stack[-1]:
            out.append("**")
            continue
        out.append(ch)
    return "".join(out)


# An R name: letters, digits, '.' and '_', beginning with a letter or a '.'
# that no digit follows (x.1, Sepal.Length, .z).
_R_NAME = re.compile(r"(?:[A-Za-z]|\.(?![0-9]))[A-Za-z0-9._]*")

# R's calls that make a factor, spelled as the formula library spells them.
_FACTOR_CALLS = {"factor": "C", "as.factor": "C"}


def _is_name(text):
    """A column name: an identifier or an R name (with dots), or any text
    without backticks in backticks."""
    return ((len(text) > 2 and text[0] == text[-1] == "`" and "`" not in text[1:-1]) or text.isidentifier()
            or bool(_R_NAME.fullmatch(text)))


def _r_spellings(text, columns, formula):
    """R's spellings the formula library reads otherwise: factor(x) and
    as.factor(x) are C(x); inside a call's parentheses (Python there) a
    column whose name is no Python name (x.1) is put in backticks; '%in%'
    between terms is ':' (R's 'a %in% b' is the interaction a:b). A column
    named by a Python keyword (pass, class) inside a call is refused by
    name: the formula library cannot read it there."""
    import keyword

    out, stack, call_at = [], [], -1
    i, n = 0, len(text)
    while i < n:
        ch = text[i]
        if ch in "`'\"":
            j = text.find(ch, i + 1)
            j = n - 1 if j < 0 else j  # unbalanced: the parser names it
            out.append(text[i:j + 1])
            i = j + 1
            continue
        in_call = bool(stack) and stack[-1]
        m = _R_NAME.match(text, i) if i == 0 or not (text[i - 1].isalnum() or text[i - 1] in "._") else None
        if m:
            name, j = m.group(), m.end()
            k = j
            while k < n and text[k] in " \t\r\n":
                k += 1
            called = k < n and text[k] == "("
            if called:
                call_at = k
                if name in _FACTOR_CALLS:
                    name = _FACTOR_CALLS[name]
            elif in_call and name in columns and keyword.iskeyword(name):
                raise ValueError(f"formula {formula!r}: the column {name!r} is a Python keyword, which the "
                                 f"formula library cannot read inside a call's parentheses; rename the "
                                 f"column")
            elif in_call and name in columns and not name.isidentifier():
                name = f"`{name}`"
            out.append(name)
            i = j
            continue
        if ch == "(":
            stack.append(i == call_at or in_call)
        elif ch == ")" and stack:
            stack.pop()
        elif ch == "%" and not in_call and text.startswith("%in%", i):
            out.append(":")
            i += 4
            continue
        out.append(ch)
        i += 1
    return "".join(out)


def _unquote(text):
    return text[1:-1] if text.startswith("`") and text.endswith("`") else text


@dataclass(frozen=True)
class ParsedFormula:
    response: str           # the left-hand side
    fixed: tuple            # ((sign, term), ...) of the fixed part, offsets excluded
    random: str             # the expression left of the bar
    group: str              # the grouping column
    offsets: tuple = ()     # expressions inside offset(...)

    @property
    def fixed_text(self):
        text = "".join((f" {s} " if s else "") + t for s, t in self.fixed).strip()
        if text.startswith("+"):
            text = text[1:].strip()
        return text or "1"


def parse_formula(formula):
    """Split an lme4-style formula into response, fixed part, random part,
    grouping column and offsets. ValueError for anything else."""
    if not isinstance(formula, str):
        raise TypeError(f"formula must be a string, got {type(formula).__name__}")
    try:
        return _parse(formula)
    except RecursionError:
        raise ValueError(f"formula {formula[:60]!r}... is nested too deeply") from None


def _parse(formula):
    sides = _split_top(formula, "~")
    if len(sides) != 2 or not sides[0][1] or not sides[1][1]:
        raise ValueError(f"formula {formula!r} must read 'response ~ terms'; {SUPPORTED}")
    response, rhs = sides[0][1], sides[1][1]
    fixed, bars, offsets = [], [], []
    for k, (sign, term) in enumerate(_split_top(rhs, "+-")):
        if not term:
            if k == 0:
                continue  # a leading sign: '-1 + x'
            raise ValueError(f"formula {formula!r} has an empty term")
        bar = _bar_term(term)
        if bar is not None:
            if sign == "-":
                raise ValueError(f"a random-effects term cannot be removed with '-' in {formula!r}")
            bars.append((term, bar))
        elif any(ch == "|" for _, ch, _ in _scan(term)):
            raise ValueError(f"'|' may appear only inside one parenthesised random-effects term, "
                             f"not in {term!r}; {SUPPORTED}")
        elif re.fullmatch(r"offset\s*\(.*\)", term, re.S) and _strip_parens(term[term.index("("):]) is not None:
            if sign == "-":
                raise ValueError(f"an offset cannot be removed with '-' in {formula!r}")
            offsets.append(term[term.index("(") + 1:-1].strip())
        else:
            fixed.append((sign, term))
    if not bars:
        raise ValueError(f"formula {formula!r} has no random-effects term; {SUPPORTED}")
    if len(bars) > 1:
        raise ValueError(f"formula {formula!r} has {len(bars)} random-effects terms "
                         f"({', '.join(t for t, _ in bars)}); crossed or multiple grouping "
                         f"factors are not supported; {SUPPORTED}")
    term, (expr, group) = bars[0]
    if not expr:
        raise ValueError(f"random-effects term {term!r} has nothing left of '|'")
    if any(op in group for op in "/:*+"):
        kind = "nested" if "/" in group else "crossed or interaction"
        raise ValueError(f"{kind} grouping {group!r} is not supported; {SUPPORTED}")
    if not _is_name(group):
        raise ValueError(f"the grouping {group!r} must be a column name; {SUPPORTED}")
    return ParsedFormula(response, tuple(fixed), expr, _unquote(group), tuple(offsets))


class _DefaultREML:
    """The default of ``reml`` (REML), told apart from ``reml=True`` given by
    the caller, so that giving both ``reml=`` and ``REML=`` is refused."""

    def __repr__(self):
        return "True"


REML_DEFAULT = _DefaultREML()


def check_call(formula, data, reml, REML, caller):
    """(reml value, the argument's name) for ``caller(formula, data, reml,
    REML=...)``: TypeError for a formula that is not a string (naming both
    arguments when they are swapped, ``lmm(df, "y ~ ...")``) and for both
    spellings of the REML flag at once; neither given means REML."""
    if not isinstance(formula, str):
        if isinstance(data, str) and "~" in data:
            raise TypeError(f"{caller}(formula, data): the arguments are swapped: formula is a "
                            f"{type(formula).__name__} and data is the formula {data!r}; call "
                            f"{caller}({data!r}, data)")
        raise TypeError(f"{caller}: formula must be a string such as 'y ~ x + (1 | g)', got "
                        f"{type(formula).__name__}")
    if REML is not None:
        if reml is not REML_DEFAULT:
            raise TypeError(f"{caller}: give reml= or REML= (R's spelling), not both "
                            f"(reml={reml!r}, REML={REML!r})")
        return REML, "REML"
    return (True if reml is REML_DEFAULT else reml), "reml"


# ---- the design: how each matrix is built ----------------------------------------

class _Direct:
    """Terms that are plain columns: intercept, numeric columns, categorical
    columns with treatment contrasts (the first level the reference), in
    formulaic's order and naming."""

    def __init__(self, intercept, terms):
        self.intercept = intercept
        self.terms = terms  # [(column, None) numeric | (column, levels) categorical]

    @property
    def columns(self):
        names = ["Intercept"] if self.intercept else []
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
            out["(Intercept)"] = [0]
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
            out.append(("(Intercept)", (), [0], [()]))
            k = 1
        for col, levels in self.terms:
            width = 1 if levels is None else len(levels) - 1
            out.append((col, (col,), list(range(k, k + width)), [((col, levels is not None),)]))
            k += width
        return out, {col: None if levels is None else list(levels) for col, levels in self.terms}

    def factor_values(self, frame, names):
        """{numeric variable: its values on the rows of frame, one column}."""
        return {name: _numeric(frame[name], name)[:, None] for name in names}

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
                out[:, k] = _numeric(values, col)
                k += 1
                continue
            codes = known_codes.get(col) if known_codes else None
            if codes is None:
                codes = _level_codes(values, levels, col, new_data)
            block = out[:, k:k + len(levels) - 1]
            block[:] = 0.0
            rows = np.flatnonzero(codes > 0)
            block[rows, codes[rows] - 1] = 1.0
            k += len(levels) - 1
        return out


class _Formulaic:
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
            name = "(Intercept)" if str(term) == "1" else str(term)
            out[name] = list(idx)
        return out

    def term_layout(self):
        """As _Direct.term_layout, from formulaic's encoded structure; a
        variable is a factor expression (``C(x, Sum)``, ``log(z)``)."""
        levels = {}
        for expr, (kind, state) in self.spec.encoder_state.items():
            categorical = getattr(kind, "value", kind) == "categorical"
            levels[str(expr)] = list(state["categories"]) if categorical else None
        out = []
        for s in self.spec.structure:
            name = "(Intercept)" if str(s.term) == "1" else str(s.term)
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
        frame = _coerce_columns(frame[[c for c in frame.columns if c in reads]], self.reads)
        try:
            with warnings.catch_warnings():
                # A level the fit never saw is an error, not the reference level.
                warnings.simplefilter("error", getattr(formulaic.transforms.contrasts, "DataMismatchWarning",
                                                       Warning))
                mm = self.spec.get_model_matrix(frame, context=self.context)
        except Warning as w:
            raise ValueError(f"new data: {_clean(w)}") from None
        except (FormulaicError, NameError, SyntaxError, TypeError, ValueError) as exc:
            raise ValueError(f"cannot build the columns {self.columns}: {_clean(exc)}") from None
        return mm.to_numpy(dtype=np.float64, na_value=np.nan)


def _clean(exc):
    return re.sub(r"\x1b\[[0-9;]*m", "", str(exc)).strip()


def _numeric(values, col):
    kind = values.dtype.kind
    if values.dtype == np.float64:
        return values.to_numpy()  # no copy
    if kind in "biuf":
        return values.to_numpy(dtype=np.float64, na_value=np.nan)
    kind = _value_kind(values)
    if kind == "decimal":
        return _decimals(values, col).to_numpy()
    if kind == "number":
        return _object_numbers(values, col).to_numpy()
    if kind == "date":
        raise ValueError(_dates_message(values, col))
    raise ValueError(f"column {col!r} is not numeric ({values.dtype})")


def _value_kind(values):
    """'decimal' (decimal.Decimal objects, Arrow decimals), 'date' (dates,
    times, durations and periods, in any representation), 'number' (an
    object column of Python or NumPy numbers), 'text' (strings in an
    extension type other than pandas' default ``str``: ``string``, Arrow
    strings), 'dictionary' (an Arrow dictionary column) or None."""
    import pandas as pd

    dtype = values.dtype
    if dtype.kind in "mM" or isinstance(dtype, pd.PeriodDtype):
        return "date"
    if isinstance(dtype, pd.CategoricalDtype):  # the categories say it, without touching the rows
        return "date" if _value_kind(pd.Series(dtype.categories)) == "date" else None
    if isinstance(dtype, pd.ArrowDtype):
        import pyarrow as pa

        t = dtype.pyarrow_dtype
        if pa.types.is_decimal(t):
            return "decimal"
        if pa.types.is_dictionary(t):
            return "dictionary"
        if pa.types.is_string(t) or pa.types.is_large_string(t) or str(t) == "string_view":
            return "text"
        return "date" if pa.types.is_temporal(t) else None
    if isinstance(dtype, pd.StringDtype):
        return None if dtype == "str" else "text"  # formulaic reads 'str' (and object) as categorical
    if dtype.kind != "O" or len(values) == 0:
        return None
    # The first present value says what to look for; the whole column confirms it.
    head = values.to_numpy()[:64]
    present = head[~pd.isna(head)]
    if len(present) == 0:
        present = values.to_numpy()[values.notna().to_numpy()]
        if len(present) == 0:
            return None
    first = present[0]
    if isinstance(first, decimal.Decimal):
        return "decimal" if pd.api.types.infer_dtype(values, skipna=True) == "decimal" else None
    if isinstance(first, (datetime.date, datetime.time, datetime.timedelta, pd.Period)):
        return "date"
    if isinstance(first, (int, float, np.integer, np.floating)) and not isinstance(first, (bool, np.bool_)):
        # Numbers in an object column are numbers (as R reads them), never levels.
        inferred = pd.api.types.infer_dtype(values, skipna=True)
        return "number" if inferred in ("integer", "floating", "mixed-integer-float") else None
    return None


def _dates_message(values, col):
    return (f"column {col!r} holds dates or times ({values.dtype}); convert it to numbers (for example days "
            f"since a start) to use it in a formula, or to strings to use it as a factor")


def _decimals(values, col):
    """A column of decimal numbers as floats (as R reads them: doubles)."""
    import pandas as pd

    if isinstance(values.dtype, pd.ArrowDtype):
        return pd.Series(values.to_numpy(dtype=np.float64, na_value=np.nan), index=values.index, name=col)
    out = np.fromiter((float(v) if isinstance(v, decimal.Decimal) and not v.is_nan() else np.nan
                       for v in values.to_numpy()), dtype=np.float64, count=len(values))
    return pd.Series(out, index=values.index, name=col)


def _coerce_columns(frame, cols, keep=()):
    """frame with its columns among cols in the types both builders read
    alike: decimal numbers and object columns of numbers as floats, strings
    of any extension type as objects, Arrow dictionaries as categoricals (in
    the dictionary's order); date columns refused by name. Number columns in
    keep (factors whose levels were collected from the values) keep their
    values."""
    converted = {}
    for c in cols:
        if c not in frame.columns:
            continue
        values = frame[c]
        kind = _value_kind(values)
        if kind == "date":
            raise ValueError(_dates_message(values, c))
        if kind == "decimal" and c not in keep:
            converted[c] = _decimals(values, c)
        elif kind == "number" and c not in keep:
            converted[c] = _object_numbers(values, c)
        elif kind == "text":
            converted[c] = values.astype(object).where(values.notna().to_numpy(), np.nan)
        elif kind == "dictionary":
            converted[c] = _dictionary_categorical(values)
    return frame.assign(**converted) if converted else frame


def _object_numbers(values, col):
    """An object column of numbers as floats (as int64 when every value is
    an integer, so that C(x) names its levels as for an integer column);
    integers that double precision cannot hold exactly (beyond 2^53) are
    refused."""
    import pandas as pd

    raw = values.to_numpy()
    present = ~pd.isna(raw)
    out = np.full(len(raw), np.nan)
    out[present] = np.asarray(raw[present].tolist(), dtype=np.float64)
    integers = True
    for v, f in zip(raw[present], out[present]):
        if not isinstance(v, (int, np.integer)):
            integers = False
        elif not math.isfinite(f) or int(f) != int(v):
            raise ValueError(f"column {col!r} holds integers that double precision cannot represent exactly "
                             f"(beyond 2^53), e.g. {v!r}; subtract a common offset or convert the column yourself")
    if integers and present.all() and bool(np.all(np.abs(out) < 2.0 ** 62)):
        return pd.Series(out.astype(np.int64), index=values.index, name=col)
    return pd.Series(out, index=values.index, name=col)


def _dictionary_categorical(values):
    """An Arrow dictionary column as a pandas Categorical whose categories
    are the dictionary in its order (as the Arrow readers take it)."""
    import pandas as pd
    import pyarrow as pa

    arr = pa.array(values)
    if isinstance(arr, pa.ChunkedArray):
        arr = arr.unify_dictionaries().combine_chunks() if arr.num_chunks else arr.combine_chunks()
    cat = arr.to_pandas()
    return pd.Series(pd.Categorical(cat), index=values.index, name=values.name)


def _level_codes(values, levels, col, new_data):
    """0..k-1 for levels[0..k-1]; -1 for missing. A value outside the levels
    raises (new data with a level the fit never saw)."""
    import pandas as pd

    codes = np.asarray(pd.Index(levels).get_indexer(values), dtype=np.int64)
    unseen = (codes < 0) & ~pd.isna(values).to_numpy()
    if unseen.any():
        bad = values.to_numpy()[np.argmax(unseen)]
        raise ValueError(f"new level {bad!r} of factor {col!r}: the model was fitted with the levels "
                         f"{list(levels)}")
    return codes


def _with_levels(sub, levels, missing):
    """The factor columns of a batch as categoricals of the table's levels
    ({column: levels}); a value outside them on a row that is kept (the
    first pass left it out) raises."""
    import pandas as pd

    out = {}
    for c, lv in levels.items():
        if c not in sub.columns:
            continue
        values = sub[c]
        index = pd.Index(lv)
        if isinstance(values.dtype, pd.CategoricalDtype):  # recode the batch's categories
            mapping = np.append(np.asarray(index.get_indexer(values.cat.categories), dtype=np.int64), -1)
            codes = mapping[values.cat.codes.to_numpy()]  # code -1 (missing) takes the appended -1
        else:
            codes = np.asarray(index.get_indexer(values))
        cat = pd.Categorical.from_codes(codes, categories=index)
        outside = (codes < 0) & ~missing & ~values.isna().to_numpy()
        if outside.any():
            r = int(np.argmax(outside))
            raise ValueError(f"value {values.iloc[r]!r} of factor {c!r} (at row {r} of a batch) is not among "
                             f"the levels found in the first pass over the data, {list(lv)}: the data "
                             f"changed between the two passes")
        out[c] = cat
    return sub.assign(**out) if out else sub


def _without_unused_categories(sub):
    """sub with the categories that no row holds removed from its
    categorical columns."""
    import pandas as pd

    out = {}
    for c in sub.columns:
        values = sub[c]
        if isinstance(values.dtype, pd.CategoricalDtype):
            codes = values.cat.codes.to_numpy()
            used = np.bincount(codes[codes >= 0], minlength=len(values.cat.categories)) > 0
            if not used.all():
                out[c] = values.cat.remove_unused_categories()
    return sub.assign(**out) if out else sub


def _kind(series):
    """'numeric', 'categorical' or None (anything the direct path leaves to formulaic)."""
    import pandas as pd

    dtype = series.dtype
    if isinstance(dtype, pd.CategoricalDtype):
        return "categorical"
    if dtype.kind in "biuf":
        return "numeric"
    if dtype.kind == "O" or pd.api.types.is_string_dtype(dtype):
        inferred = pd.api.types.infer_dtype(series, skipna=True)
        if inferred == "string":
            return "categorical"
        if inferred == "integer":
            return "bigint"
    return None


class _Columns:
    """A DataFrame's columns, each taken out once (pandas' column access is
    slow next to the rest of a small fit), with their kinds."""

    def __init__(self, frame):
        self.frame = frame
        self.columns = frame.columns
        self._series, self._kinds = {}, {}

    def __len__(self):
        return len(self.frame)

    def __getitem__(self, col):
        s = self._series.get(col)
        if s is None:
            s = self._series[col] = self.frame[col]
        return s

    def kind(self, col):
        if col not in self._kinds:
            self._kinds[col] = _kind(self[col])
        return self._kinds[col]


def _direct_plan(text, frame):
    """(intercept, [(column, kind)]) when a right-hand side is plain columns
    (numeric or categorical), 1, 0 and -1; None otherwise (formulaic builds it).
    Categorical columns without an intercept (full dummy coding) are left to
    formulaic too."""
    intercept = True
    terms, seen = [], set()
    for sign, term in _split_top(text, "+-"):
        if not term:
            continue
        if term in ("0", "1"):
            intercept = (term == "1") != (sign == "-")
            continue
        if sign == "-" or not _is_name(term):
            return None
        col = _unquote(term)
        if col not in frame.columns:
            return None
        kind = frame.kind(col) if isinstance(frame, _Columns) else _kind(frame[col])
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
    """How the response, X, Z, the offset and the groups are made from a table."""

    parsed: ParsedFormula
    response: object        # _Direct-like builder for y (one column) or None for a plain column
    fixed: object           # _Direct or _Formulaic
    random: object
    offsets: list = field(default_factory=list)  # builders of one column each
    env: dict = field(default_factory=dict)       # names given with env=

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
        raise ValueError(f"bad formula {formula!r}: {_clean(exc)}") from None
    except NameError as exc:
        raise ValueError(f"bad formula {formula!r}: {_clean(exc)}; formulas see the data's columns "
                         f"and NumPy's functions (and names passed with env=)") from None
    return _Formulaic(mm.model_spec, env, reads), mm.to_numpy(dtype=np.float64, na_value=np.nan)


def _check_names(frame, names, formula):
    unknown = sorted(str(v) for v in names if v not in frame.columns)
    if unknown:
        cols = ", ".join(map(str, frame.columns))
        raise ValueError(f"unknown column{'s' if len(unknown) > 1 else ''} "
                         f"{', '.join(map(repr, unknown))} in formula {formula!r}; "
                         f"the data has columns: {cols}")


def _reads(text, columns, env_names, formula):
    """The columns a right-hand side text reads: plain names directly, any
    other text after terms.check_text has passed each of its terms and the
    whole (the exact text formulaic is given)."""
    plain = _plain_names(text)
    if plain is not None:
        return plain
    values = set()
    for _, term in _split_top(text, "+-"):
        if term:
            values |= _terms.check_text(term, term, columns, env_names, formula).values
    return values | _terms.check_text(text, text, columns, env_names, formula).values


def _read_by(formula, env, columns):
    """(parsed formula, rewritten response / fixed / random texts, offset
    texts, the columns they read, {text given to formulaic: the columns it
    reads}). Every text is checked here, before anything is evaluated;
    `columns` are the table's column names."""
    parsed = parse_formula(formula)
    env_names = _terms.check_env(env)
    columns = set(columns)

    def rewrite(text):
        return _r_powers(_r_spellings(text, columns, formula))

    def arithmetic(text):
        """(text for formulaic, the columns it reads) of a response or an
        offset: in R these are arithmetic ('y - x' is a difference, never the
        formula operator that removes x), so any expression other than a
        column is evaluated inside I(...); both the text and the wrapped
        text are checked."""
        if _is_name(text):
            return text, _reads(text, columns, env_names, formula)
        values = _reads(rewrite(text), columns, env_names, formula)
        wrapped = rewrite(f"I({text})")
        return wrapped, values | _terms.check_text(wrapped, text, columns, env_names, formula).values

    rewritten = [None, rewrite(parsed.fixed_text), rewrite(parsed.random)]
    reads = {}
    for text in rewritten[1:]:
        reads[text] = _reads(text, columns, env_names, formula)
    offsets = []
    for text in parsed.offsets:
        wrapped, values = arithmetic(text)
        offsets.append(wrapped)
        reads[f"0 + {wrapped}"] = values
    used = set().union(*reads.values())
    if _is_name(parsed.response):
        rewritten[0] = parsed.response
        used.add(_unquote(parsed.response))
    else:
        rewritten[0], values = arithmetic(parsed.response)
        reads[f"0 + {rewritten[0]}"] = values
        used |= values
    return parsed, rewritten, offsets, used, reads


def used_columns(formula, columns, env=None):
    """(columns the formula reads besides the group, the group column), in
    the order of `columns` (the table's column names); unknown names raise."""
    parsed, _, _, used, _ = _read_by(formula, env, columns)

    class _Names:  # what _check_names reads
        pass
    names = _Names()
    names.columns = list(columns)
    _check_names(names, sorted(used | {parsed.group}), formula)
    return [c for c in columns if c in used and c != parsed.group], parsed.group


# The column a factor call reads: C(x, ...), factor(x), as.factor(`a b`).
_FACTOR_ARGUMENT = re.compile(r"(?<![\w.])(?:C|factor|as\.factor)\s*\(\s*(`[^`]*`|[A-Za-z_.][A-Za-z0-9_.]*)")


def factor_columns(formula, columns, dtypes):
    """Columns whose values are levels rather than numbers: those of a
    non-numeric type, and any wrapped in C(...) (or R's factor(...)) in the
    formula."""
    wrapped = {_unquote(name) for name in _FACTOR_ARGUMENT.findall(formula)}
    # Data read in batches code a factor column as levels everywhere in the
    # formula, so a numeric column used both as C(x) and as x would silently
    # become levels in its numeric uses too: refused instead.
    rest = _FACTOR_ARGUMENT.sub("", formula)
    for c in columns:
        if c in wrapped and dtypes[c] and re.search(rf"(?<![\w.`]){re.escape(c)}(?![\w.`(])", rest):
            raise ValueError(f"the numeric column {c!r} is used both as a factor (C({c}) or factor({c})) and as a "
                             f"number in {formula!r}; for data read in batches add a factor copy of the column "
                             f"(e.g. a string column) and use it for the factor")
    return [c for c in columns if c in wrapped or not dtypes[c]]


def build(formula, frame, env=None, spec=None, levels=None, extra=()):
    """(DesignSpec, y, X, Z, offset, groups, n_dropped, kept_mask) for a
    pandas DataFrame whose columns are strings. Rows with a missing value in a
    column the formula uses are left out and counted; infinite values raise.

    For data read in batches: `spec` (from the first batch) builds the
    columns of later ones, and `levels` gives the complete levels of factor
    columns ({column: levels}), so that every batch gets the same columns.
    `extra` names further columns whose missing values drop a row."""
    pd = require("pandas")
    parsed, rewritten, offsets, used, reads = _read_by(formula, env, frame.columns)
    response_plain = _is_name(parsed.response)
    used |= set(extra)  # columns read besides the formula's (weights): their missing values drop rows too
    _check_names(frame, sorted(used | {parsed.group}), formula)
    cols = [c for c in frame.columns if c in used or c == parsed.group]
    # Decimal numbers are numbers; dates are refused by name (never levels).
    sub = _coerce_columns(frame[cols], [c for c in cols if c != parsed.group], keep=levels or ())

    # Missing values (in any used column) drop the row.
    missing = sub.isna().to_numpy().any(axis=1)
    if levels:
        sub = _with_levels(sub, levels, missing)
    n_dropped = int(missing.sum())
    if n_dropped:
        sub = sub.loc[~missing]
    if levels is None:
        # A category with no rows left is no level (R's drop.unused.levels):
        # its dummy would be empty. Data read in batches bring the levels of
        # the whole table instead, whether this batch has rows of them or not.
        sub = _without_unused_categories(sub)
    if len(sub) == 0 and spec is None:
        raise ValueError("no rows without missing values in the columns the formula uses")
    columns = _Columns(sub)
    for c in cols:
        if c == parsed.group:
            continue
        if columns.kind(c) == "bigint":
            sub = sub.assign(**{c: _big_integers(columns[c], c)})
            columns = _Columns(sub)

    if spec is not None:
        return _apply_spec(spec, parsed, sub, columns, missing, n_dropped)

    # Response.
    if response_plain:
        rcol = _unquote(parsed.response)
        if columns[rcol].dtype.kind not in "biuf":
            raise ValueError(f"the response {rcol!r} must be numeric, it is {columns[rcol].dtype}")
        y = columns[rcol].to_numpy(dtype=np.float64)
        ybuilder = None
    else:
        ybuilder, ymat = _formulaic_spec(f"0 + {rewritten[0]}", sub, env, formula, reads[f"0 + {rewritten[0]}"])
        if ymat.shape[1] != 1:
            raise ValueError(f"the response {parsed.response!r} must be one numeric column, "
                             f"it gives {ymat.shape[1]} columns")
        y = ymat[:, 0]

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
                if col not in level_codes:  # one hashing pass gives the sorted levels and the codes
                    codes, uniques = pd.factorize(s.to_numpy(), sort=True)
                    level_codes[col] = (np.asarray(codes, dtype=np.int64), list(uniques))
                levels = level_codes[col][1]
            resolved.append((col, levels))
        b = _Direct(intercept, resolved)
        return b, b.matrix(columns, known_codes={c: v[0] for c, v in level_codes.items()})

    level_codes = {}

    fixed, X = side(rewritten[1])
    random, Z = side(rewritten[2])
    off = np.zeros(len(sub))
    obuilders = []
    for text in offsets:
        b, mat = side(f"0 + {text}")
        if mat.shape[1] != 1:
            raise ValueError(f"offset({text}) must give one numeric column, it gives {mat.shape[1]}")
        off = off + mat[:, 0]
        obuilders.append(b)

    groups = columns[parsed.group]
    if X.shape[1] == 0:
        raise ValueError("X has no columns: the fixed part needs at least one (an intercept)")
    if Z.shape[1] == 0:
        raise ValueError("Z has no columns: the random part needs at least one")
    spec = DesignSpec(parsed, ybuilder, fixed, random, obuilders, dict(env) if env else {})
    out = _finish_rows(spec, y, X, Z, off, groups, n_dropped, ~missing)
    if len(out[1]) == 0:
        raise ValueError("no rows with finite values in the model's columns")
    return out


def _finish_rows(spec, y, X, Z, off, groups, n_dropped, kept):
    """Values made non-finite by a transform: NaN is missing (the row is
    dropped and counted), +-inf an error."""
    names = {"response": [spec.parsed.response], "fixed": spec.fixed.columns, "random": spec.random.columns}
    finite = all(_all_finite(a) for a in (y, X, Z, off))
    for label, mat in () if finite else (("response", y[:, None]), ("fixed", X), ("random", Z),
                                          ("offset", off[:, None])):
        bad = np.isinf(mat)
        if bad.any():
            j = int(np.argmax(bad.any(axis=0)))
            what = names.get(label, ["offset"])[j] if label != "offset" else "offset"
            raise ValueError(f"the {label}{'' if label == 'response' else ' column'} {what!r} has "
                             f"{int(bad[:, j].sum())} infinite value{'s' if bad[:, j].sum() > 1 else ''}; "
                             f"infinite values are not missing values: remove or recode them")
    if not finite:
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


def _apply_spec(spec, parsed, sub, columns, missing, n_dropped):
    """build() for a later batch: the first batch's builders on these rows."""
    def make(builder):
        return builder.matrix(sub if isinstance(builder, _Formulaic) else columns, new_data=True)

    if spec.response is None:
        y = columns[_unquote(parsed.response)].to_numpy(dtype=np.float64)
    else:
        y = make(spec.response)[:, 0]
    X, Z = make(spec.fixed), make(spec.random)
    off = np.zeros(len(sub))
    for b in spec.offsets:
        off = off + make(b)[:, 0]
    return _finish_rows(spec, y, X, Z, off, columns[parsed.group], n_dropped, ~missing)


def _all_finite(a):
    """Whether every value is finite: a finite sum proves it (one pass, no
    temporary); otherwise each value is checked (the sum may only have
    overflowed)."""
    with np.errstate(over="ignore", invalid="ignore"):
        if math.isfinite(float(np.add.reduce(a, axis=None))):
            return True
    return bool(np.isfinite(a).all())


def _big_integers(values, col):
    """A column of Python integers (some beyond int64) as floats, refused when
    floating point would change any of them."""
    as_float = values.astype(np.float64)
    if not all(int(f) == int(v) for f, v in zip(as_float.to_numpy(), values.to_numpy())):
        raise ValueError(f"column {col!r} holds integers that double precision cannot represent exactly "
                         f"(beyond 2^53); subtract a common offset or convert the column yourself")
    return as_float


def _plain_names(text):
    """The column names of a right-hand side of plain names, 1, 0 and -1, or None."""
    out = set()
    for sign, term in _split_top(text, "+-"):
        if not term or term in ("0", "1"):
            continue
        if not _is_name(term):
            return None
        out.add(_unquote(term))
    return out
