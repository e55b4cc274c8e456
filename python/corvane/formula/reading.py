"""A parsed formula read against a table's column names: every text
checked (:mod:`corvane.formula.safety`) and rewritten in the form formulaic
is handed it, with the columns each reads. :mod:`corvane.formula.build`
builds the model's matrices from a reading; nothing here evaluates a formula
or touches a table's values.
"""

from __future__ import annotations

import functools
import re
from dataclasses import dataclass

from . import safety as _terms
from .parse import ParsedFormula, r_powers, r_spellings, is_name, parse_formula, split_top, unquote

__all__ = ["read_formula", "FormulaReading", "used_columns", "factor_columns", "check_names"]


@dataclass(frozen=True)
class FormulaReading:
    """A formula read against a table's column names: every text checked,
    in the form formulaic is given it."""

    parsed: ParsedFormula
    response: str           # a column name, or the arithmetic inside I(...) (cbind: the successes)
    fixed: str              # the fixed part with R's spellings rewritten
    random: str             # the expression left of the bar, rewritten likewise
    offsets: tuple          # each offset's expression (a column, or I(...))
    used: frozenset         # the columns the response and the terms read (the group only if a term does)
    reads: dict             # {text given to formulaic: the columns it reads}
    blocks: tuple = ()      # the uncorrelated blocks' expressions, rewritten; () for one block
    failures: str | None = None  # cbind(s, f): the failures, as the response is given


def check_names(columns, names, formula):
    """ValueError naming every one of names that is not among columns (a
    table's column names)."""
    present = set(columns)
    unknown = sorted(str(v) for v in names if v not in present)
    if unknown:
        cols = ", ".join(map(str, columns))
        raise ValueError(f"unknown column{'s' if len(unknown) > 1 else ''} "
                         f"{', '.join(map(repr, unknown))} in formula {formula!r}; "
                         f"the data has columns: {cols}")


def _plain_names(text):
    """The column names of a right-hand side of plain names, 1, 0 and -1, or None."""
    out = set()
    for sign, term in split_top(text, "+-"):
        if not term or term in ("0", "1"):
            continue
        if not is_name(term):
            return None
        out.add(unquote(term))
    return out


def _reads(text, columns, env_names, formula):
    """The columns a right-hand side text reads: plain names directly, any
    other text after terms.check_text has passed each of its terms and the
    whole (the exact text formulaic is given)."""
    plain = _plain_names(text)
    if plain is not None:
        return plain
    values = set()
    for _, term in split_top(text, "+-"):
        if term:
            values |= _terms.check_text(term, term, columns, env_names, formula).values
    return values | _terms.check_text(text, text, columns, env_names, formula).values


def read_formula(formula, env, columns):
    """The :class:`FormulaReading` of a formula over a table whose column
    names are `columns`, with the names given in `env`. Every text is
    checked here, before anything is evaluated; ValueError for a formula
    that cannot be read.

    A reading depends on the formula's text, the set of column names and
    the names in env alone, so readings without env= are kept (the last
    few hundred) and handed out again for the same text over the same
    columns: a reading is never changed once made."""
    if env is None and isinstance(formula, str):
        return _kept_reading(formula, frozenset(columns))
    return _read(formula, env, columns)


@functools.lru_cache(maxsize=256)
def _kept_reading(formula, columns):
    return _read(formula, None, columns)


def _read(formula, env, columns):
    parsed = parse_formula(formula)
    env_names = _terms.check_env(env)
    columns = set(columns)

    def rewrite(text):
        return r_powers(r_spellings(text, columns, formula))

    def arithmetic(text):
        """(text for formulaic, the columns it reads) of a response or an
        offset: in R these are arithmetic ('y - x' is a difference, never the
        formula operator that removes x), so any expression other than a
        column is evaluated inside I(...); both the text and the wrapped
        text are checked."""
        if is_name(text):
            return text, _reads(text, columns, env_names, formula)
        values = _reads(rewrite(text), columns, env_names, formula)
        wrapped = rewrite(f"I({text})")
        return wrapped, values | _terms.check_text(wrapped, text, columns, env_names, formula).values

    fixed, random = rewrite(parsed.fixed_text), rewrite(parsed.random)
    blocks = tuple(rewrite(b) for b in parsed.blocks)
    reads = {}
    for text in (fixed, *(blocks or (random,))):
        reads[text] = _reads(text, columns, env_names, formula)
    offsets = []
    for text in parsed.offsets:
        wrapped, values = arithmetic(text)
        offsets.append(wrapped)
        reads[f"0 + {wrapped}"] = values
    used = set().union(*reads.values())
    responses = []
    for text in parsed.cbind or (parsed.response,):
        if is_name(text):
            used.add(unquote(text))
            responses.append(text)
        else:
            wrapped, values = arithmetic(text)
            reads[f"0 + {wrapped}"] = values
            used |= values
            responses.append(wrapped)
    reads = {text: frozenset(values) for text, values in reads.items()}
    return FormulaReading(parsed, responses[0], fixed, random, tuple(offsets), frozenset(used), reads, blocks,
                          responses[1] if len(responses) > 1 else None)


def used_columns(formula, columns, env=None):
    """(columns the formula reads besides the group, the group column), in
    the order of `columns` (the table's column names); unknown names raise."""
    reading = read_formula(formula, env, columns)
    group = reading.parsed.group
    check_names(columns, sorted(reading.used | {group}), formula)
    return [c for c in columns if c in reading.used and c != group], group


# The column a factor call reads: C(x, ...), factor(x), as.factor(`a b`).
_FACTOR_ARGUMENT = re.compile(r"(?<![\w.])(?:C|factor|as\.factor)\s*\(\s*(`[^`]*`|[A-Za-z_.][A-Za-z0-9_.]*)")


def factor_columns(formula, columns, dtypes):
    """Columns whose values are levels rather than numbers: those of a
    non-numeric type, and any wrapped in C(...) (or R's factor(...)) in the
    formula."""
    wrapped = {unquote(name) for name in _FACTOR_ARGUMENT.findall(formula)}
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
