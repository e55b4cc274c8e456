"""The module and the LmmCore class surface: version, docstrings, signatures,
getters and the kernel the constructor settles on."""

import inspect
import math
import types

import numpy as np
import pytest

import corvane._corvane as cv
from corvane._corvane import LmmCore

pytestmark = [pytest.mark.native, pytest.mark.wheel]


def make_data(n=24, p=2, q=2, m=4, seed=0):
    rng = np.random.default_rng(seed)
    y = rng.standard_normal(n)
    x = rng.standard_normal((n, p))
    z = rng.standard_normal((n, q))
    codes = (np.arange(n) % m).astype(np.int64)
    return y, x, z, codes, m


def classed_data(m, p, q, k, seed=1):
    """One row per group, z_i = (a, a^2, ...) with a = 1 + i % k: exactly
    min(k, m) distinct Z_i'Z_i blocks."""
    rng = np.random.default_rng(seed)
    a = 1.0 + (np.arange(m) % k)
    z = np.ascontiguousarray(np.stack([a ** (j + 1) for j in range(q)], axis=1))
    x = rng.standard_normal((m, p))
    y = rng.standard_normal(m)
    return y, x, z, np.arange(m, dtype=np.int64), m


METHODS = [
    ("with_response", "($self, y, x, z, codes)",
     "The same design with a new response, reusing every design-only product.\n\n"
     "`x`, `z` and `codes` must be the arrays this core was built from."),
    ("deviance", "($self, theta, reml=True)",
     "Profiled deviance at `theta`. Returns `inf` for an infeasible `theta`.\n\n"
     "A `theta` of the wrong length is a caller error, not an infeasible\n"
     "point: too short used to index out of bounds and abort the process,\n"
     "too long used to silently ignore the tail."),
    ("deviance_grad", "($self, theta, reml=True)",
     "Profiled deviance and its analytic gradient at `theta`."),
    ("deviance_hessian", "($self, theta, reml=True)",
     "Analytic second derivative of the criterion in `theta`, for `q = 1`.\n\n"
     "Returns `None` when `q > 1` (no analytic Hessian is implemented there)\n"
     "and `nan` for an infeasible `theta`."),
    ("conditional_covariances", "($self, theta, reml=True)",
     "`Var(b_i | y)` for every group at `theta`, shape `(m, q, q)`, on the\n"
     "core's own (possibly rescaled) random-effects coordinates."),
    ("lower_bounds", "($self)",
     "Lower bounds on `theta`: diagonal entries >= 0, off-diagonals free."),
    ("default_theta", "($self)", None),
    ("fit", "($self, starts, reml=True, max_iter=300, gtol=1e-8, ftol=1e-12)",
     "Fit by minimising the profiled criterion over `theta` alone.\n\n"
     "`starts` is a flat concatenation of candidate starting vectors; the best\n"
     "result wins. Multi-start costs almost nothing and removes the boundary\n"
     "cases where a single start stalls."),
    ("solution", "($self, theta, reml=True)",
     "Every derived quantity at a given `theta`, without re-optimising."),
]


def test_module_attributes():
    assert cv.__name__ == "corvane._corvane"
    assert type(cv.__version__) is str and cv.__version__ == "0.2.0"
    assert sorted(k for k in vars(cv) if not k.startswith("__")) == [
        "Accumulator", "GlmmCore", "LmmCore", "MmrmBuilder", "MmrmCore", "get_num_threads", "set_num_threads"]
    assert LmmCore.__module__ == "corvane._corvane"
    assert LmmCore.__name__ == "LmmCore"


def test_class_docstring_and_signature():
    header = '(y, x, z, codes, n_groups, evaluator="auto")'
    sentence = "Pre-computed cross-products for one grouping factor."
    # CPython moves a "Name(args)\n--\n\n" header of a type's doc into
    # __text_signature__; __doc__ keeps the header only if it was not parsed.
    assert LmmCore.__text_signature__ == header
    assert LmmCore.__doc__ in (sentence, f"LmmCore{header}\n--\n\n{sentence}")
    assert str(inspect.signature(LmmCore)) == (
        "(y, x, z, codes, n_groups, evaluator='auto')")


def test_method_table_order():
    names = [k for k, v in vars(LmmCore).items()
             if isinstance(v, types.MethodDescriptorType)]
    # The nine methods in their order, then the later additions.
    assert names == [name for name, _, _ in METHODS] + ["hessian", "fit_newton", "moment_theta", "totals",
                                                          "variance_derivatives", "fit_responses", "products",
                                                          "within_groups", "within_fraction"]


@pytest.mark.parametrize("name, sig, doc", METHODS, ids=[m[0] for m in METHODS])
def test_method_docstring_and_signature(name, sig, doc):
    meth = getattr(LmmCore, name)
    assert meth.__text_signature__ == sig
    if doc is None:  # default_theta: one sentence about the identity start
        assert "identity" in meth.__doc__ and meth.__doc__.rstrip().endswith(".")
    else:
        assert meth.__doc__ == doc
    params = list(inspect.signature(meth).parameters.values())
    assert params[0].name == "self"
    assert params[0].kind is inspect.Parameter.POSITIONAL_ONLY
    rest = [(q.name, q.kind, q.default) for q in params[1:]]
    want = [s.strip() for s in sig[1:-1].split(",")[1:]]
    empty = inspect.Parameter.empty
    kw = inspect.Parameter.POSITIONAL_OR_KEYWORD
    expected = []
    for item in want:
        pname, _, default = item.partition("=")
        expected.append((pname, kw, eval(default) if default else empty))
    assert rest == expected


def test_getters_order_and_docs():
    getters = [k for k, v in vars(LmmCore).items()
               if isinstance(v, types.GetSetDescriptorType)]
    assert getters == ["n", "p", "q", "m", "n_theta", "evaluator", "n_classes"]
    for name in ("n", "p", "q", "m", "n_theta"):
        assert vars(LmmCore)[name].__doc__ is None
    assert vars(LmmCore)["evaluator"].__doc__ == (
        'The kernel in use: `"blocks"`, `"aggregated"` or `"streaming"`.')
    assert vars(LmmCore)["n_classes"].__doc__ == (
        "Number of distinct `Z_i'Z_i` classes, when the aggregated kernel is used.")


@pytest.mark.parametrize("evaluator, identical, want_kind, want_classes", [
    ("blocks", False, "blocks", None),
    ("streaming", False, "streaming", None),
    ("aggregated", False, "aggregated", 4),
    ("aggregated", True, "aggregated", 1),
    ("auto", False, "blocks", None),      # limit 1 here: a second class abandons
    ("auto", True, "aggregated", 1),      # a single class is always kept
    ("blocks", True, "blocks", None),
    ("streaming", True, "streaming", None),
])
def test_getters(evaluator, identical, want_kind, want_classes):
    n, p, q, m = 24, 3, 2, 4
    y, x, z, codes, _ = make_data(n, p, q, m)
    if identical:  # every group sees the same Z rows in the same order
        base = np.random.default_rng(5).standard_normal((n // m, q))
        z = np.ascontiguousarray(np.repeat(base, m, axis=0))
    core = LmmCore(y, x, z, codes, m, evaluator)
    got = {k: getattr(core, k) for k in ("n", "p", "q", "m", "n_theta")}
    assert got == {"n": n, "p": p, "q": q, "m": m, "n_theta": 3}
    assert all(type(v) is int for v in got.values())
    assert core.evaluator == want_kind and type(core.evaluator) is str
    assert core.n_classes == want_classes
    if want_classes is not None:
        assert type(core.n_classes) is int
    for name in ("n", "p", "q", "m", "n_theta", "evaluator", "n_classes"):
        with pytest.raises(AttributeError):
            setattr(core, name, 1)
        with pytest.raises(AttributeError):
            delattr(core, name)
    assert core.n == n  # unchanged


@pytest.mark.parametrize("m, p, q, k, evaluator, want_kind, want_classes", [
    (1, 1, 1, 1, "auto", "aggregated", 1),          # limit 0, one class kept
    (1000, 1, 1, 409, "auto", "aggregated", 409),   # limit 18000 / 44 = 409
    (1000, 1, 1, 410, "auto", "blocks", None),
    (1000, 1, 1, 410, "aggregated", "aggregated", 410),
    (1000, 1, 1, 1000, "aggregated", "aggregated", 1000),
    (1000, 3, 2, 256, "auto", "aggregated", 256),   # limit 119000 / 464 = 256
    (1000, 3, 2, 257, "auto", "blocks", None),
])
def test_auto_rule(m, p, q, k, evaluator, want_kind, want_classes):
    core = LmmCore(*classed_data(m, p, q, k), evaluator)
    assert (core.evaluator, core.n_classes) == (want_kind, want_classes)


def test_auto_single_group_with_several_rows():
    y, x, z, _, _ = make_data(n=7, p=1, q=1)
    core = LmmCore(y, x, z, np.zeros(7, np.int64), 1)
    assert (core.evaluator, core.n_classes, core.m) == ("aggregated", 1, 1)


@pytest.mark.parametrize("q, lower, default", [
    (1, [0.0], [1.0]),
    (2, [0.0, -math.inf, 0.0], [1.0, 0.0, 1.0]),
    (3, [0.0, -math.inf, -math.inf, 0.0, -math.inf, 0.0],
     [1.0, 0.0, 0.0, 1.0, 0.0, 1.0]),
])
@pytest.mark.parametrize("evaluator", ["blocks", "streaming", "aggregated"])
def test_lower_bounds_and_default_theta(q, lower, default, evaluator):
    y, x, z, codes, m = make_data(n=12, p=1, q=q, m=3)
    core = LmmCore(y, x, z, codes, m, evaluator)
    assert core.n_theta == q * (q + 1) // 2
    lb, dt = core.lower_bounds(), core.default_theta()
    assert type(lb) is list and type(dt) is list
    assert all(type(v) is float for v in lb + dt)
    assert lb == lower and dt == default
    assert all(math.copysign(1.0, v) == 1.0 for v in lb if v == 0.0)  # +0.0
    lb.append(7.0)  # a new list each call
    assert core.lower_bounds() == lower
