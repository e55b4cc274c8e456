"""What a formula's terms may contain, checked before anything is evaluated.

Terms that are not plain column names are evaluated by formulaic as Python.
Before any of that happens, every piece of a term that formulaic would
evaluate (found by formulaic's own tokenizer, run on the exact text it will be
given) is parsed with Python's ``ast`` and checked against allow-lists, so
that a formula can read the data and compute with it, and do nothing else:

* names used as values are the data's columns (a column always wins, as in R),
  names passed with ``env=``, or the formula library's objects (``C``,
  ``Treatment``, ``Sum``, ..., ``TRUE`` / ``FALSE``);
* names called as functions are the formula library's transforms
  (``I``, ``C``, ``poly``, ``scale``, ``center``, ``standardize``, ``bs``,
  ``cr``, ``cs``, ``cc``, the contrasts), NumPy's elementwise mathematical
  functions by their bare names (``log``, ``sqrt``, ...), or callables passed
  with ``env=``; a column is never called;
* the only attribute access is ``np.<name>`` / ``numpy.<name>`` for the
  mathematical functions and constants in :data:`NUMPY_ATTRIBUTES`, and
  ``contr.<name>`` for the contrasts;
* expressions are arithmetic, comparisons, calls, numbers, short strings,
  lists and tuples; nothing else (no subscripts, lambdas, comprehensions,
  f-strings, assignments, starred arguments, names beginning with ``__``,
  keyword arguments beginning with ``_``);
* the text has no backslash, brace, ``%``, ``#``, semicolon or triple quote, and a
  string holds no quote, bracket or backtick, so that formulaic's tokenizer,
  Python's parser and the formula splitter agree on where every piece ends.

Reductions over the rows (``np.mean``, ``np.std``, ...) are deliberately not
available: predictions on new data would recompute them on the new rows;
``center(x)`` and ``scale(x)`` keep the training data's values instead.
"""

from __future__ import annotations

import ast
import re
import types
from dataclasses import dataclass

from .._errors import require
from .._routes import fast

__all__ = ["Reads", "check_text", "check_env", "clean_message", "TRANSFORMS", "NUMPY_NAMES", "NUMPY_ATTRIBUTES",
           "LIBRARY_VALUES"]

# Transforms of the formula library that may be called (all keep their state
# for new data: polynomial bases, means and scales, knots).
TRANSFORMS = ("I", "C", "poly", "scale", "center", "standardize", "bs", "cr", "cs", "cc",
              "Treatment", "Sum", "Helmert", "Poly", "Diff")

# NumPy's elementwise functions under their bare names (R's names where they agree).
NUMPY_NAMES = ("log", "log2", "log10", "log1p", "exp", "exp2", "expm1", "sqrt", "abs", "sin", "cos", "tan",
               "arcsin", "arccos", "arctan", "sinh", "cosh", "tanh", "floor", "ceil", "sign", "square")

# What np.<name> may name: elementwise mathematics and constants.
NUMPY_ATTRIBUTES = frozenset(NUMPY_NAMES + (
    "absolute", "fabs", "cbrt", "reciprocal", "power", "float_power", "logaddexp", "logaddexp2",
    "arctan2", "hypot", "arcsinh", "arccosh", "arctanh", "deg2rad", "rad2deg", "degrees", "radians",
    "trunc", "rint", "round", "around", "fix", "maximum", "minimum", "fmax", "fmin", "clip", "where",
    "isnan", "isfinite", "isinf", "heaviside", "sinc", "fmod", "mod", "remainder", "add", "subtract",
    "multiply", "divide", "true_divide", "floor_divide", "negative", "positive", "logical_and",
    "logical_or", "logical_not", "logical_xor", "pi", "e", "euler_gamma"))

# What contr.<name> may name.
CONTRASTS = frozenset(("treatment", "sum", "helmert", "poly", "diff", "custom", "SAS"))

# R's summaries over the rows, refused with a pointer to the transforms
# that keep the fitted data's values for new data.
_REDUCTIONS = ("mean", "median", "sd", "var", "min", "max", "sum", "range")

# An R function with a dot in its name called (as.numeric(x)): not Python.
_R_DOTTED_CALL = re.compile(r"(?<![\w.])([A-Za-z][A-Za-z0-9_]*(?:\.[A-Za-z0-9_]+)+)\s*\(")

# Names a formula may use as values besides the columns and env= (R's
# logical constants for arguments such as raw = TRUE).
LIBRARY_VALUES = frozenset(TRANSFORMS) | {"TRUE", "FALSE"}

# Modules that may only appear as the base of an allowed attribute.
_NAMESPACES = {"np": NUMPY_ATTRIBUTES, "numpy": NUMPY_ATTRIBUTES, "contr": CONTRASTS}

_OPERATORS = (ast.Add, ast.Sub, ast.Mult, ast.Div, ast.FloorDiv, ast.Pow, ast.BitAnd, ast.BitOr, ast.BitXor,
              ast.USub, ast.UAdd, ast.Not, ast.Invert, ast.Eq, ast.NotEq, ast.Lt, ast.LtE, ast.Gt, ast.GtE)
_BAD_TEXT = re.compile(r"[\\{};%#]|'''|\"\"\"")
_BAD_STRING = re.compile(r"[\"'`()\[\]{}\\%]")
_QUOTED = re.compile(r"'[^']*'|\"[^\"]*\"")
_BACKTICKED = re.compile(r"('[^']*'|\"[^\"]*\")|`([^`]*)`")  # a backticked name outside quotes
_PLACEHOLDER = "__corvane_column_{}"  # stands for a backticked column (users cannot write '__' names)

# Built-in functions that run code or reach objects' insides: never a value of env=.
_UNSAFE_BUILTINS = ("eval", "exec", "compile", "open", "__import__", "getattr", "setattr", "delattr",
                    "globals", "locals", "vars", "breakpoint", "input", "exit", "quit", "help", "memoryview")


@dataclass(frozen=True)
class Reads:
    """What a piece of a formula refers to.

    Attributes
    ----------
    values : frozenset of str
        Names used as values that are not env= or library names: columns
        (or unknown names, which the caller refuses as unknown columns).
    functions : frozenset of str
        Names called as functions, and the modules of allowed attributes
        (``np``); none of them may also be used as a column.
    """

    values: frozenset = frozenset()
    functions: frozenset = frozenset()


class _Refused(Exception):
    """A piece of a term that a formula may not contain (with why)."""


def clean_message(exc):
    """The text of formulaic's exception (or warning), without the terminal
    colour codes it puts around the offending piece."""
    return re.sub(r"\x1b\[[0-9;]*m", "", str(exc)).strip()


def check_env(env):
    """The names of ``env=`` (a mapping of identifiers), refusing modules and
    the built-in functions that run code or reach objects' insides."""
    if env is None:
        return frozenset()
    if not hasattr(env, "keys") or not hasattr(env, "__getitem__"):
        raise TypeError(f"env must be a mapping of names to values, got {type(env).__name__}")
    import builtins

    unsafe = {id(getattr(builtins, n)) for n in _UNSAFE_BUILTINS if hasattr(builtins, n)}
    for name in env.keys():
        if not isinstance(name, str) or not name.isidentifier():
            raise ValueError(f"env: names must be identifiers, got {name!r}")
        if name.startswith("__"):
            raise ValueError(f"env: names beginning with '__' are not allowed, got {name!r}")
        value = env[name]
        if isinstance(value, types.ModuleType):
            raise ValueError(f"env[{name!r}] is a module ({value.__name__}); a formula may not reach a "
                             f"module's contents: pass the functions it needs by name")
        if id(value) in unsafe:
            raise ValueError(f"env[{name!r}] is the built-in {getattr(value, '__name__', value)!r}, which runs "
                             f"code or reaches objects' insides; a formula may not use it")
    return frozenset(env.keys())


def check_text(text, term, columns, env_names, formula):
    """The names a formula text refers to (:class:`Reads`), after checking
    every piece formulaic would evaluate; ValueError naming `term` (the
    user's term) for anything a formula may not contain.

    `text` is exactly what formulaic will tokenize (R's ``^`` already
    rewritten), `columns` the data's column names, `env_names` the names of
    ``env=``."""
    if fast():
        plain = _plain_reads(text, columns)
        if plain is not None:
            return plain
    require("formulaic")
    from formulaic.errors import FormulaicError
    from formulaic.parser.algos.tokenize import tokenize

    where = f"term {term!r} of formula {formula!r}"
    bad = _BAD_TEXT.search(text)
    if bad:
        what = bad.group()
        why = {"%": "(R's %in% and Python's % are not supported; np.mod(x, k) is)",
               "#": "(comments)", "'''": "(triple quotes)", '"""': "(triple quotes)"}.get(what, "")
        raise ValueError(f"{where}: a formula may not contain {what!r} {why}".rstrip())
    for quoted in _QUOTED.findall(text):
        if _BAD_STRING.search(quoted[1:-1]) or len(quoted) > 202:
            raise ValueError(f"{where}: the string {quoted} may not hold quotes, brackets, backticks, "
                             f"backslashes or '%' (and at most 200 characters)")
    try:
        tokens = list(tokenize(text))
    except FormulaicError as exc:
        raise ValueError(f"bad formula {formula!r}: {where} cannot be read ({clean_message(exc)})") from None
    walker = _Walker(set(columns), env_names)
    for token in tokens:
        kind = token.kind.value if token.kind is not None else None
        piece = token.token
        try:
            if kind == "name":
                if text[token.source_start] == "`" or piece in walker.columns:
                    walker.values.add(piece)  # a column by name (formulaic looks it up, never evaluates it)
                elif piece == ".":
                    raise _Refused("'.' (all other columns) is not supported: name the columns")
                else:
                    walker.top(_parse(piece, term, formula))
            elif kind == "python":
                walker.expression(_parse(piece, term, formula, walker))
            elif kind == "value":
                walker.expression(_parse(piece, term, formula))
        except _Refused as exc:
            raise ValueError(f"{where}: {walker.unplaceholder(str(exc))}") from None
    clash = walker.values & walker.functions
    if clash:
        name = sorted(clash)[0]
        hint = f", or write np.{name}(...)" if name in NUMPY_NAMES else ""
        raise ValueError(f"{where}: {name!r} is used both as a column and as a function (or module); in "
                         f"one part of a formula a name is one or the other: rename the column{hint}")
    return Reads(frozenset(walker.values), frozenset(walker.functions))


# A text of the data's column names, whole numbers and the formula's
# operators (no brackets: no calls) alone evaluates nothing and reads exactly those columns: it needs
# no tokenizer (nor the formula library's import, a third of a second).
_PLAIN_TEXT = re.compile(r"[\w.\s+\-*:|]*")
_PLAIN_SPLIT = re.compile(r"[\s+\-*:|]+")


def _plain_reads(text, columns):
    """check_text's Reads of a text of column names, numbers and operators;
    None for any other text."""
    if not _PLAIN_TEXT.fullmatch(text):
        return None
    names = set()
    columns = columns if isinstance(columns, (set, frozenset, dict)) else set(columns)
    for piece in _PLAIN_SPLIT.split(text):
        if not piece or piece.isdigit():
            continue
        if piece not in columns:
            return None
        names.add(piece)
    return Reads(frozenset(names), frozenset())


def _parse(piece, term, formula, walker=None):
    """A piece of Python as an ast.Expression; backticked columns become
    placeholders that the walker reads as those columns."""
    if walker is not None:
        def swap(match):
            if match.group(1) is not None:
                return match.group(1)  # a string: left alone (and refused if it holds a backtick)
            walker.quoted.append(match.group(2))
            return f" {_PLACEHOLDER.format(len(walker.quoted) - 1)} "
        piece = _BACKTICKED.sub(swap, piece)
    try:
        return ast.parse(piece, mode="eval")
    except (SyntaxError, ValueError) as exc:
        msg = exc.msg if isinstance(exc, SyntaxError) else str(exc)
        dotted = _R_DOTTED_CALL.search(piece)
        if dotted:  # as.numeric(x), is.na(x): R's functions, a syntax error in Python
            raise ValueError(f"term {term!r} of formula {formula!r}: {dotted.group(1)!r} is called, which a "
                             f"formula may not call (R's functions with dots are not available; factor(x) and "
                             f"as.factor(x) are C(x))") from None
        raise ValueError(f"bad formula {formula!r}: term {term!r} is not a valid expression ({msg})") from None
    except RecursionError:
        raise ValueError(f"formula {formula[:60]!r}... is nested too deeply") from None


class _Walker:
    """Walks the parsed pieces of one text, collecting the names read as
    values and called as functions; raises _Refused for anything else."""

    def __init__(self, columns, env_names):
        self.columns, self.env = columns, env_names
        self.values, self.functions = set(), set()
        self.quoted = []  # backticked column names, by placeholder number

    def unplaceholder(self, message):
        """A message with the placeholders of backticked columns written as
        the user wrote them."""
        def back(match):
            k = int(match.group(1))
            return f"`{self.quoted[k]}`" if k < len(self.quoted) else match.group()
        return re.sub(_PLACEHOLDER.format(r"(\d+)"), back, message)

    def top(self, tree):
        """A bare name as a term of its own: a column (or an env= value)."""
        node = tree.body
        if isinstance(node, ast.Name) and not node.id.startswith("__"):
            if node.id not in self.env or node.id in self.columns:
                self.values.add(node.id)
            return
        self.expression(tree)

    def expression(self, tree):
        self.visit(tree.body)

    def visit(self, node):
        method = getattr(self, f"visit_{type(node).__name__}", None)
        if method is None:
            raise _Refused(f"{_describe(node)} {_quote(node)} is not allowed in a formula")
        method(node)

    def visit_Constant(self, node):
        value = node.value
        if isinstance(value, str):
            if _BAD_STRING.search(value) or len(value) > 200:
                raise _Refused(f"the string {value!r} may not hold quotes, brackets, backticks, backslashes "
                               f"or '%' (and at most 200 characters)")
        elif value is not None and not isinstance(value, (bool, int, float)):
            raise _Refused(f"the constant {_quote(node)} is not allowed in a formula")

    def visit_Name(self, node):
        name = self._name(node.id)
        if name in self.columns or name not in self.env and name not in LIBRARY_VALUES:
            if name in _NAMESPACES and name not in self.columns:
                raise _Refused(f"{name!r} may only be used as {name}.<function> (e.g. np.log)")
            self.values.add(name)

    def visit_Attribute(self, node):
        self._attribute(node)

    def visit_Call(self, node):
        func = node.func
        if isinstance(func, ast.Name):
            name = self._name(func.id)
            if name in self.columns and name not in TRANSFORMS and name not in NUMPY_NAMES \
                    and name not in self.env:
                raise _Refused(f"{name!r} is a column, not a function")
            if name not in TRANSFORMS and name not in NUMPY_NAMES and name not in self.env:
                hint = " (offset() is a term of its own: '+ offset(x)')" if name == "offset" else ""
                if name in _REDUCTIONS:
                    hint = (" (a summary over the rows would be recomputed on the rows of new data: "
                            "center(x) is x less its mean and scale(x) is x standardised, both keeping the "
                            "fitted data's values)")
                raise _Refused(f"{_quote(node)} calls {name!r}, which a formula may not call{hint}; it may "
                               f"call the transforms {', '.join(TRANSFORMS)}, NumPy's functions by name "
                               f"({', '.join(NUMPY_NAMES[:6])}, ...) or as np.<name>, and functions given "
                               f"with env=")
            self.functions.add(name)
        elif isinstance(func, ast.Attribute):
            self._attribute(func)
        else:
            raise _Refused(f"{_quote(node)} calls {_describe(func)} {_quote(func)}; only functions named "
                           f"directly (log(x), np.log(x), f(x) for f given with env=) may be called")
        for arg in node.args:
            if isinstance(arg, ast.Starred):
                raise _Refused(f"the starred argument {_quote(arg)} is not allowed in a formula")
            self.visit(arg)
        for kw in node.keywords:
            if kw.arg is None:
                raise _Refused(f"the argument {_quote(kw.value)} unpacked with '**' is not allowed in a formula")
            if kw.arg.startswith("_"):
                raise _Refused(f"the keyword argument {kw.arg!r} is not allowed in a formula (names "
                               f"beginning with '_')")
            self.visit(kw.value)

    def visit_BinOp(self, node):
        self._op(node.op, node)
        self.visit(node.left)
        self.visit(node.right)

    def visit_UnaryOp(self, node):
        self._op(node.op, node)
        self.visit(node.operand)

    def visit_Compare(self, node):
        for op in node.ops:
            self._op(op, node)
        self.visit(node.left)
        for c in node.comparators:
            self.visit(c)

    def visit_List(self, node):
        for e in node.elts:
            self.visit(e)

    visit_Tuple = visit_List

    def _op(self, op, node):
        if not isinstance(op, _OPERATORS):
            raise _Refused(f"the operator {type(op).__name__} in {_quote(node)} is not allowed in a formula")

    def _name(self, name):
        match = re.fullmatch(_PLACEHOLDER.format(r"(\d+)"), name)
        if match and int(match.group(1)) < len(self.quoted):
            column = self.quoted[int(match.group(1))]
            self.values.add(column)  # a backticked name is always a column
            return column
        if name.startswith("__"):
            raise _Refused(f"the name {name!r} is not allowed in a formula (names beginning with '__')")
        return name

    def _attribute(self, node):
        base = node.value
        if node.attr.startswith("__"):
            raise _Refused(f"the attribute {node.attr!r} in {_quote(node)} is not allowed in a formula "
                           f"(names beginning with '__')")
        if isinstance(base, ast.Name) and base.id in _NAMESPACES and node.attr in _NAMESPACES[base.id]:
            self.functions.add(base.id)
            return
        dotted = _quote(node)
        if dotted in self.columns:
            raise _Refused(f"{dotted!r} is a column: write it in backticks (`{dotted}`) inside an expression")
        if isinstance(base, ast.Name) and base.id in _NAMESPACES:
            raise _Refused(f"{dotted} is not among the attributes a formula may use "
                           f"({base.id}.<name> for the mathematical functions and constants, e.g. np.log)")
        raise _Refused(f"the attribute access {dotted} is not allowed in a formula (only np.<name> for "
                       f"NumPy's mathematical functions and contr.<name> for contrasts)")


def _quote(node):
    try:
        return ast.unparse(node)
    except Exception:  # pragma: no cover - unparse handles every node ast.parse makes
        return type(node).__name__


_KINDS = {"Subscript": "the subscript", "Lambda": "the lambda", "ListComp": "the comprehension",
          "SetComp": "the comprehension", "DictComp": "the comprehension", "GeneratorExp": "the generator",
          "JoinedStr": "the f-string", "NamedExpr": "the assignment", "Starred": "the starred expression",
          "Dict": "the dict", "Set": "the set", "IfExp": "the conditional", "BoolOp": "and / or",
          "Slice": "the slice", "Await": "await", "Yield": "yield", "YieldFrom": "yield"}


def _describe(node):
    return _KINDS.get(type(node).__name__, f"the expression ({type(node).__name__})")
