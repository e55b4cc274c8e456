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

A response written ``cbind(successes, failures)`` (a binomial's counts, as in
lme4) is two responses, read and built as such. :mod:`corvane.formula.reading`
reads a parsed formula against a table's columns; nothing here evaluates a
formula or touches a table's values.
"""

from __future__ import annotations

import functools
import re
from dataclasses import dataclass

__all__ = ["parse_formula", "ParsedFormula", "check_call", "REML_DEFAULT", "SUPPORTED", "split_top", "is_name",
           "unquote"]

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


def r_powers(text):
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


def r_spellings(text, columns, formula):
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
    cbind: tuple = ()       # (successes, failures) of a response written cbind(s, f); () otherwise

    @property
    def fixed_text(self):
        text = "".join((f" {s} " if s else "") + t for s, t in self.fixed).strip()
        if text.startswith("+"):
            text = text[1:].strip()
        return text or "1"


def parse_formula(formula):
    """Split an lme4-style formula into response, fixed part, random part,
    grouping column and offsets. ValueError for anything else. A parse is
    never changed once made (frozen), so the last few hundred are kept."""
    if not isinstance(formula, str):
        raise TypeError(f"formula must be a string, got {type(formula).__name__}")
    try:
        return _parse(formula)
    except RecursionError:
        raise ValueError(f"formula {formula[:60]!r}... is nested too deeply") from None


@functools.lru_cache(maxsize=256)
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
    cbind = _cbind(response, formula)
    if len(bars) == 1 and not bars[0][1][2]:
        return ParsedFormula(response, tuple(fixed), bars[0][1][0], groups[0], tuple(offsets), (), cbind)
    return ParsedFormula(response, tuple(fixed), " + ".join(blocks), groups[0], tuple(offsets), tuple(blocks),
                         cbind)


def _cbind(response, formula):
    """(successes, failures) of a response written cbind(s, f), else ()."""
    m = re.fullmatch(r"cbind\s*(\(.*\))", response.strip(), re.S)
    if m is None or _strip_parens(m.group(1)) is None:
        return ()
    parts = [piece.strip() for _, piece in split_top(m.group(1)[1:-1], ",")]
    if len(parts) != 2 or not all(parts):
        raise ValueError(f"cbind() takes two arguments (successes, failures), got {response!r} in {formula!r}")
    return tuple(parts)


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
