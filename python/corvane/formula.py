"""The formula interface: ``lmm("Reaction ~ Days + (Days | Subject)", df)``.

The formula is split into its fixed part, its single random-effects term
``(expr | group)`` and the grouping column; formulaic builds the fixed and
random model matrices from a pandas DataFrame. pandas and formulaic are
imported only when a formula model is built (``pip install corvane[formula]``).
"""

from __future__ import annotations

import re
import sys
from collections import ChainMap
from typing import NamedTuple

import numpy as np

from .model import LinearMixedModel

__all__ = ["lmm", "FormulaModel", "parse_formula"]

SUPPORTED = ("corvane supports exactly one random-effects term '(expr | group)' whose grouping "
             "is a single column, e.g. 'y ~ x + (1 + x | g)' or 'y ~ x + (1 | g)'")

_NAME = re.compile(r"^(?:[A-Za-z_][A-Za-z0-9_.]*|`[^`]+`)$")
_ANSI = re.compile(r"\x1b\[[0-9;]*m")
_OPEN, _CLOSE = "([{", ")]}"


def _require():
    """pandas and formulaic, or an ImportError saying how to get them."""
    try:
        import formulaic
        import pandas
    except ImportError as exc:
        raise ImportError(
            f"the formula interface needs pandas and formulaic ({exc}); "
            "install them with: pip install corvane[formula]") from exc
    return pandas, formulaic


class ParsedFormula(NamedTuple):
    response: str  # the left-hand side
    fixed: str  # right-hand side of the fixed part
    random: str  # the expression left of the bar
    group: str  # the grouping column


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
    """The inside of a term wholly enclosed in parentheses, else None."""
    if not (term.startswith("(") and term.endswith(")")):
        return None
    for i, ch, depth in _scan(term):
        if depth == 0 and i < len(term) - 1:
            return None  # the first '(' closes before the end
    return term[1:-1].strip()


def _bar_term(term):
    """(expr, group) when the term is '(expr | group)', else None."""
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


def parse_formula(formula):
    """Split an lme4-style formula into response, fixed part, random part and group."""
    if not isinstance(formula, str):
        raise TypeError(f"formula must be a string, got {type(formula).__name__}")
    sides = _split_top(formula, "~")
    if len(sides) != 2 or not sides[0][1] or not sides[1][1]:
        raise ValueError(f"formula {formula!r} must read 'response ~ terms'; {SUPPORTED}")
    response, rhs = sides[0][1], sides[1][1]
    fixed, bars = [], []
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
    if not _NAME.match(group):
        raise ValueError(f"the grouping {group!r} must be a column name; {SUPPORTED}")
    text = "".join((f" {s} " if s else "") + t for s, t in fixed).strip()
    if text.startswith("+"):
        text = text[1:].strip()
    return ParsedFormula(response, text or "1", expr, group.strip("`"))


def _formula_error(exc, formula):
    return ValueError(f"bad formula {formula!r}: {_ANSI.sub('', str(exc)).strip()}")


def _caller_context(depth):
    frame = sys._getframe(depth + 1)
    return ChainMap(dict(frame.f_locals), frame.f_globals)


def _check_columns(names, data, context, formula):
    unknown = sorted(str(v) for v in names if v not in data.columns and v not in context)
    if unknown:
        cols = ", ".join(map(str, data.columns))
        raise ValueError(f"unknown column{'s' if len(unknown) > 1 else ''} "
                         f"{', '.join(map(repr, unknown))} in formula {formula!r}; "
                         f"the data has columns: {cols}")


class FormulaModel(LinearMixedModel):
    """A :class:`LinearMixedModel` built from a formula and a DataFrame.

    Rows with a missing value in any column the formula uses are left out
    (their number is ``n_dropped``); the model specifications are kept so
    that :meth:`LmmResult.predict` can build the designs for new data.
    """

    def __init__(self, formula, data, reml=True, context=None):
        pd, formulaic = _require()
        from formulaic.errors import FormulaicError

        parsed = parse_formula(formula)
        if not isinstance(data, pd.DataFrame):
            try:
                data = pd.DataFrame(data)
            except (TypeError, ValueError) as exc:
                raise TypeError(f"data must be a pandas DataFrame ({exc})") from None
        context = ChainMap() if context is None else context
        try:
            fixed_f = formulaic.Formula(f"{parsed.response} ~ {parsed.fixed}")
            random_f = formulaic.Formula(f"~ {parsed.random}")
        except FormulaicError as exc:
            raise _formula_error(exc, formula) from None
        if parsed.group not in data.columns:
            _check_columns([parsed.group], data, {}, formula)
        needed = fixed_f.required_variables | random_f.required_variables
        _check_columns(needed, data, context, formula)

        used = [c for c in data.columns if c in needed or c == parsed.group]
        keep = ~data[used].isna().any(axis=1).to_numpy()
        frame = data.loc[keep]
        if len(frame) == 0:
            raise ValueError("no rows without missing values in the columns the formula uses")
        try:
            fixed_mm = formulaic.model_matrix(fixed_f, frame, na_action="ignore", context=context)
            random_mm = formulaic.model_matrix(random_f, frame, na_action="ignore", context=context)
        except FormulaicError as exc:
            raise _formula_error(exc, formula) from None
        y, X, Z = fixed_mm.lhs, fixed_mm.rhs, random_mm
        self._specs = (X.model_spec, Z.model_spec)
        if y.shape[1] != 1:
            raise ValueError(f"the response {parsed.response!r} must be one numeric column, "
                             f"it gives {y.shape[1]} columns")
        # Transforms may make values non-finite (log of 0): those rows go too.
        finite = np.ones(len(frame), dtype=bool)
        for mat in (y, X, Z):
            finite &= np.isfinite(mat.to_numpy(dtype=np.float64, na_value=np.nan)).all(axis=1)
        groups = frame[parsed.group]
        if not finite.all():
            y, X, Z, groups = y[finite], X[finite], Z[finite], groups[finite]
            if not finite.any():
                raise ValueError("no rows with finite values in the model matrices")
        self.formula = formula
        self.parsed = parsed
        self.n_dropped = int((~keep).sum() + (~finite).sum())
        self._context = context
        X = X.rename(columns={"Intercept": "(Intercept)"})
        Z = Z.rename(columns={"Intercept": "(Intercept)"})
        y = pd.Series(y.iloc[:, 0].to_numpy(dtype=np.float64), name=parsed.response)
        super().__init__(y, X, Z, groups.rename(parsed.group), reml=reml)

    def _new_design(self, data, include_random):
        pd, _ = _require()
        from formulaic.errors import FormulaicError

        if not isinstance(data, pd.DataFrame):
            raise TypeError("data must be a pandas DataFrame for a model fitted from a formula")
        x_spec, z_spec = self._specs
        needed = set(x_spec.required_variables)
        if include_random:
            needed |= set(z_spec.required_variables)
            if self.parsed.group not in data.columns:
                _check_columns([self.parsed.group], data, {}, self.formula)
        _check_columns(needed, data, self._context, self.formula)
        try:
            x = x_spec.get_model_matrix(data, context=self._context).to_numpy(
                dtype=np.float64, na_value=np.nan)
            if not include_random:
                return x, None, None
            z = z_spec.get_model_matrix(data, context=self._context).to_numpy(
                dtype=np.float64, na_value=np.nan)
        except FormulaicError as exc:
            raise _formula_error(exc, self.formula) from None
        return x, z, data[self.parsed.group].tolist()


def lmm(formula, data, reml=True, starts=None):
    """Fit a linear mixed model with one grouping factor from an lme4-style formula.

    ``formula``: e.g. ``"Reaction ~ Days + (Days | Subject)"``, ``"y ~ x1 + x2 +
    (1 | g)"`` or ``"y ~ x + (0 + x | g)"``: a fixed part and exactly one
    random-effects term whose grouping is a column of any dtype. ``data``: a
    pandas DataFrame. ``reml``: REML (default) or maximum likelihood.
    ``starts``: starting thetas (see :meth:`LinearMixedModel.fit`).
    Rows with missing values in the columns used are dropped and counted
    (``n_dropped`` of the result). Returns an :class:`LmmResult`.
    """
    model = FormulaModel(formula, data, reml=reml, context=_caller_context(1))
    return model.fit(starts)
