"""lme4 formula syntax: ``"Reaction ~ Days + (Days | Subject)"``, parsed
and checked against a table's column names before anything is evaluated.

A formula has a fixed part, random-effects terms ``(expr | group)`` of one
grouping column, and optionally ``offset(expr)`` terms. ``(expr || group)``
is lme4's shorthand for uncorrelated terms (the intercept and each term of
expr a term of its own); several terms of the same group are uncorrelated
blocks of one random-effects vector.
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

:func:`read_formula` gives the texts formulaic is handed and the columns
each reads; :mod:`corvane.formula.build` builds the model's matrices from them.
Nothing here evaluates a formula or touches a table's values.
"""

from __future__ import annotations

import functools
import re
from dataclasses import dataclass

from . import safety as _terms

__all__ = ["parse_formula", "ParsedFormula", "read_formula", "FormulaReading", "used_columns", "factor_columns",
           "check_call", "check_names", "REML_DEFAULT", "SUPPORTED"]

SUPPORTED = ("corvane supports random-effects terms '(expr | group)' and '(expr || group)' of one "
             "grouping factor (a single column), e.g. 'y ~ x + (1 + x | g)', 'y ~ x + (x || g)' or "
             "'y ~ x + (1 | g) + (0 + x | g)'")

_OPEN, _CLOSE = "([{", ")]}"
_CALL = re.compile(r"([A-Za-z_][A-Za-z0-9_.]*)\s*\($")


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


def split_top(text, seps):
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
    """(expression, group, uncorrelated) of '(expr | group)' or '(expr ||
    group)', or None for a term without a bar."""
    inner = _strip_parens(term)
    while inner is not None:
        bars = [i for i, ch, depth in _scan(inner) if depth == 0 and ch == "|"]
        if bars:
            if len(bars) == 2 and bars[1] == bars[0] + 1:
                return inner[:bars[0]].strip(), inner[bars[1] + 1:].strip(), True
            if len(bars) > 1:
                raise ValueError(f"malformed random-effects term {term!r}; {SUPPORTED}")
            return inner[:bars[0]].strip(), inner[bars[0] + 1:].strip(), False
        inner = _strip_parens(inner)
    return None


def _uncorrelated_blocks(expr, term):
    """lme4's expansion of '(expr || g)': the intercept (unless removed) and
    each term of expr, each a block of its own."""
    intercept, out = True, []
    for k, (sign, piece) in enumerate(split_top(expr, "+-")):
        if not piece:
            if k == 0:
                continue
            raise ValueError(f"random-effects term {term!r} has an empty term")
        if piece == "0" or (piece == "1" and sign == "-"):
            intercept = False
        elif piece == "1":
            intercept = True
        elif sign == "-":
            raise ValueError(f"terms cannot be removed with '-' inside {term!r}, other than the intercept")
        else:
            out += _expand_products(piece)
    # R orders a formula's terms by their degree (main effects, then
    # two-way interactions, ...), keeping the written order within a degree.
    out = sorted(dict.fromkeys(out), key=lambda t: len(split_top(t, ":")))
    return (["1"] if intercept else []) + [f"0 + {t}" for t in out]


def _expand_products(piece):
    """The terms of 'a * b * c' (a, b, c, a:b, a:c, b:c, a:b:c); any other
    term as it is."""
    factors = [f for _, f in split_top(piece, "*")]
    if len(factors) == 1:
        return [piece]
    if any(not f for f in factors):
        raise ValueError(f"malformed term {piece!r} inside a random-effects term")
    from itertools import combinations

    return [":".join(c) for k in range(1, len(factors) + 1) for c in combinations(factors, k)]


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


def is_name(text):
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


def unquote(text):
    """A name without its backticks."""
    return text[1:-1] if text.startswith("`") and text.endswith("`") else text


@dataclass(frozen=True)
class ParsedFormula:
    """An lme4 formula split into its parts, each as written."""

    response: str           # the left-hand side
    fixed: tuple            # ((sign, term), ...) of the fixed part, offsets excluded
    random: str             # the expression left of the bar (of every bar, joined by '+')
    group: str              # the grouping column
    offsets: tuple = ()     # expressions inside offset(...)
    blocks: tuple = ()      # uncorrelated blocks' expressions, in order; () for one unstructured block

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
    sides = split_top(formula, "~")
    if len(sides) != 2 or not sides[0][1] or not sides[1][1]:
        raise ValueError(f"formula {formula!r} must read 'response ~ terms'; {SUPPORTED}")
    response, rhs = sides[0][1], sides[1][1]
    fixed, bars, offsets = [], [], []
    for k, (sign, term) in enumerate(split_top(rhs, "+-")):
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
    blocks = []
    for term, (expr, group, uncorrelated) in bars:
        if not expr:
            raise ValueError(f"random-effects term {term!r} has nothing left of '|'")
        if any(op in group for op in "/:*+"):
            kind = "nested" if "/" in group else "crossed or interaction"
            raise ValueError(f"{kind} grouping {group!r} is not supported; {SUPPORTED}")
        if not is_name(group):
            raise ValueError(f"the grouping {group!r} must be a column name; {SUPPORTED}")
        blocks += _uncorrelated_blocks(expr, term) if uncorrelated else [expr]
    groups = [unquote(g) for _, (_, g, _) in bars]
    if len(set(groups)) > 1:
        raise ValueError(f"formula {formula!r} has random-effects terms of {len(set(groups))} grouping "
                         f"factors ({', '.join(dict.fromkeys(groups))}); crossed or multiple grouping "
                         f"factors are not supported; {SUPPORTED}")
    if not blocks:
        raise ValueError(f"formula {formula!r}: its random-effects terms have no columns")
    if len(bars) == 1 and not bars[0][1][2]:
        return ParsedFormula(response, tuple(fixed), bars[0][1][0], groups[0], tuple(offsets))
    return ParsedFormula(response, tuple(fixed), " + ".join(blocks), groups[0], tuple(offsets), tuple(blocks))


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


# ---- reading a formula against a table's columns ------------------------------------

@dataclass(frozen=True)
class FormulaReading:
    """A formula read against a table's column names: every text checked,
    in the form formulaic is given it."""

    parsed: ParsedFormula
    response: str           # a column name, or the arithmetic inside I(...)
    fixed: str              # the fixed part with R's spellings rewritten
    random: str             # the expression left of the bar, rewritten likewise
    offsets: tuple          # each offset's expression (a column, or I(...))
    used: frozenset         # the columns the response and the terms read (the group only if a term does)
    reads: dict             # {text given to formulaic: the columns it reads}
    blocks: tuple = ()      # the uncorrelated blocks' expressions, rewritten; () for one block


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
        return _r_powers(_r_spellings(text, columns, formula))

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
    if is_name(parsed.response):
        response = parsed.response
        used.add(unquote(parsed.response))
    else:
        response, values = arithmetic(parsed.response)
        reads[f"0 + {response}"] = values
        used |= values
    reads = {text: frozenset(values) for text, values in reads.items()}
    return FormulaReading(parsed, response, fixed, random, tuple(offsets), frozenset(used), reads, blocks)


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
