"""The package's modules import one way: each from its own layer or lower
ones, without circles, and none takes another module's private name. Read
from the installed package's sources (the imports as written, at module
level or inside functions)."""

import ast
import pathlib

import pytest

import corvane

pytestmark = [pytest.mark.wheel]

ROOT = pathlib.Path(corvane.__file__).parent

# Lowest first. The private helpers at the top of the package (warnings and
# errors, threads, argument checks, distributions, the fast paths' switch,
# the compiled core) are below everything; the public face above everything.
LAYERS = {"_errors": 0, "_threads": 0, "_checks": 0, "_dist": 0, "_routes": 0, "_corvane": 0,
          "formula": 1, "design": 2, "data": 3, "model": 4, "results": 5, "inference": 6, "generalized": 7, "mmrm": 7,
          "many": 8, "__init__": 9, "__main__": 9, "_example": 9}

# The upward edges allowed, all inside functions: a model's fit builds its
# result; a result's methods call inference when asked.
ALLOWED_UP = [("model.", "results."), ("results.", "inference.")]


def _modules():
    out = {}
    for path in sorted(ROOT.rglob("*.py")):
        rel = path.relative_to(ROOT).with_suffix("")
        parts = list(rel.parts)
        is_package = parts[-1] == "__init__"
        name = ".".join(parts[:-1] if is_package else parts) or "__init__"
        out[name] = (ast.parse(path.read_text(encoding="utf-8")), is_package)
    return out


MODULES = _modules()


def _target(importer, is_package, node, alias):
    """(module imported, name taken from it or None) of one alias of an
    import statement, in the package's dotted names (None outside it)."""
    if isinstance(node, ast.Import):
        parts = alias.name.split(".")
        return (".".join(parts[1:]) or "__init__", None) if parts[0] == "corvane" else (None, None)
    if node.level == 0:
        if not (node.module or "").split(".")[0] == "corvane":
            return None, None
        base = node.module.split(".")[1:]
    else:
        here = [] if importer == "__init__" else importer.split(".")
        base = here if is_package else here[:-1]
        base = base[:len(base) - (node.level - 1)]
        base = base + (node.module.split(".") if node.module else [])
    module = ".".join(base)
    child = ".".join(base + [alias.name])
    if child in MODULES:  # a module taken from its package
        return child, None
    return module or "__init__", alias.name


def _edges():
    """(importer, imported, name or None, inside a function or a
    TYPE_CHECKING block, line)."""
    out = []
    for importer, (tree, is_package) in MODULES.items():
        top = {id(n) for n in tree.body if isinstance(n, (ast.Import, ast.ImportFrom))}
        for node in ast.walk(tree):
            if isinstance(node, (ast.Import, ast.ImportFrom)):
                for alias in node.names:
                    module, name = _target(importer, is_package, node, alias)
                    if module is not None and module != importer:
                        out.append((importer, module, name, id(node) not in top, node.lineno))
    return out


EDGES = _edges()


def _layer(module):
    return LAYERS[module.split(".")[0]]


def test_every_module_has_a_layer():
    assert not [m for m in MODULES if m.split(".")[0] not in LAYERS]


def test_imports_go_down_or_are_the_listed_lazy_edges():
    wrong = [(a, b, line) for a, b, _, lazy, line in EDGES if _layer(b) > _layer(a)
             and not (lazy and any(a.startswith(x) and b.startswith(y) for x, y in ALLOWED_UP))]
    assert wrong == []


def test_no_circles():
    graph = {}
    for a, b, _, _, _ in EDGES:
        if _layer(b) <= _layer(a) and not b == "__init__":
            graph.setdefault(a, set()).add(b if b in MODULES else b.rsplit(".", 1)[0])
    state, circles = {}, []

    def visit(node, path):
        state[node] = 1
        for nxt in sorted(graph.get(node, ())):
            if state.get(nxt) == 1:
                circles.append(path[path.index(nxt):] + [nxt])
            elif nxt not in state:
                visit(nxt, path + [nxt])
        state[node] = 2

    for node in sorted(graph):
        if node not in state:
            visit(node, [node])
    assert circles == []


def _private_uses():
    """(importer, module, name, line) of private names taken from another
    module of the package: imported by name, or read as an attribute of an
    imported module."""
    out = []
    for a, b, name, _, line in EDGES:
        if name is not None and name.startswith("_") and not name.startswith("__"):
            out.append((a, b, name, line))
    for importer, (tree, is_package) in MODULES.items():
        bound = {}
        for node in ast.walk(tree):
            if isinstance(node, (ast.Import, ast.ImportFrom)):
                for alias in node.names:
                    module, name = _target(importer, is_package, node, alias)
                    if module is not None and name is None:
                        bound[alias.asname or alias.name.split(".")[0]] = module
        for node in ast.walk(tree):
            if (isinstance(node, ast.Attribute) and isinstance(node.value, ast.Name) and node.value.id in bound
                    and node.attr.startswith("_") and not node.attr.startswith("__")):
                out.append((importer, bound[node.value.id], node.attr, node.lineno))
    return [u for u in out if u[0] != "__init__" and u[1] != "_corvane"]


def test_no_module_takes_another_s_private_name():
    assert _private_uses() == []
