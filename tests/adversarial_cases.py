"""Hostile inputs for the constructor and every method.

Every call must end in its documented value or in a Python exception of the
documented type; an interpreter crash shows up as a failed child run in
test_adversarial.py, which is why this file is not collected directly.
Everything is seeded (hypothesis runs derandomized without a database).
"""

import copy
import gc
import math
import pickle
import re
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from corvane._corvane import LmmCore
from conftest import address_limit, same

NOT_CONTIG = "The given array is not contiguous or is misaligned."
OVERFLOW = "model dimensions overflow the address space"
INFEASIBLE = "theta is infeasible"
SHAPE_MSG = ("the prepared design has {} rows, {} fixed and {} random columns; "
             "the arrays passed do not match it")
CODES_MSG = "the group codes differ from the ones the design was prepared with"
STARTS_MSG = "starts must be a non-empty multiple of the theta length"
KEYS = ["theta", "deviance", "grad", "beta", "cov_beta", "cov_re", "random_effects", "u",
        "sigma2", "sigma", "pwrss", "ldl2", "ldrx2", "reml", "n", "p", "q", "m"]
FIT_KEYS = KEYS + ["converged", "iterations", "fev", "grad_inf_norm", "message"]
THETA_METHODS = ["deviance", "deviance_grad", "deviance_hessian",
                 "conditional_covariances", "solution"]
EVALUATORS = ["blocks", "streaming", "aggregated"]
I64 = np.iinfo(np.int64)
DMAX = np.finfo(np.float64).max
pytestmark = pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")  # np.matrix
HYP = dict(deadline=None, derandomize=True, database=None,
           suppress_health_check=list(HealthCheck))


def exact(message):
    return "^" + re.escape(message) + "$"


def bits(v):
    return struct.unpack("<Q", struct.pack("<d", v))[0]


def design(n=12, p=2, q=2, m=3, seed=0):
    rng = np.random.default_rng(seed)
    x = np.column_stack([np.ones(n), rng.standard_normal((n, p - 1))])
    return dict(y=rng.standard_normal(n), x=np.ascontiguousarray(x),
                z=rng.standard_normal((n, q)),
                codes=(np.arange(n) % m).astype(np.int64), n_groups=m)


def build(d, evaluator="blocks"):
    return LmmCore(d["y"], d["x"], d["z"], d["codes"], d["n_groups"], evaluator)


def misaligned(a):
    """A C-contiguous copy of `a` one byte into a bytearray (never aligned)."""
    out = np.frombuffer(bytearray(a.nbytes + 1), dtype=a.dtype, offset=1,
                        count=a.size).reshape(a.shape)
    out[...] = a
    assert not out.flags.aligned
    return out


def strided(a):
    big = np.zeros((2 * a.shape[0],) + a.shape[1:], a.dtype)
    big[::2] = a
    return big[::2]


def reversed_rows(a):
    return np.ascontiguousarray(a[::-1])[::-1]   # same values, negative row stride


def readonly(a):
    a = a.copy()
    a.flags.writeable = False
    return a


class Sub(np.ndarray):
    pass


def outcome_of(f, *args, **kw):
    try:
        return ("value", f(*args, **kw))
    except Exception as e:  # compared by type and message
        return ("raised", type(e), str(e))


def check_outcome(core, theta, reml=True):
    """Every theta-taking method at one valid theta: a documented value, and
    the methods agree on whether theta is feasible and on the criterion."""
    nt, m, q = core.n_theta, core.m, core.q
    d = core.deviance(theta, reml)
    assert type(d) is float and not math.isnan(d) and d != -math.inf
    feasible = d != math.inf
    value, grad = core.deviance_grad(theta, reml)
    assert bits(value) == bits(d)
    assert type(grad) is list and len(grad) == nt and all(type(g) is float for g in grad)
    if not feasible:
        assert all(math.isnan(g) for g in grad)
    h = core.deviance_hessian(theta, reml)
    if q == 1:
        assert type(h) is float and (feasible or math.isnan(h))
    else:
        assert h is None
    if feasible:
        s = core.solution(theta, reml)
        assert list(s) == KEYS and bits(s["deviance"]) == bits(d)
        cc = core.conditional_covariances(theta, reml)
        assert cc.shape == (m, q, q) and cc.dtype == np.float64
    else:
        for name in ("solution", "conditional_covariances"):
            with pytest.raises(RuntimeError, match=exact(INFEASIBLE)):
                getattr(core, name)(theta, reml)
    return d


def check_fit(core, starts, **kw):
    try:
        r = core.fit(starts, **kw)
    except RuntimeError as e:
        assert str(e) == INFEASIBLE
        return None
    assert list(r) == FIT_KEYS and type(r["deviance"]) is float
    assert not math.isnan(r["deviance"])
    return r


def thetas(q):
    nt = q * (q + 1) // 2
    diag = [i for i in range(nt) if i in {j * q - j * (j - 1) // 2 for j in range(q)}]

    def on_diag(a, b):
        return [a if i in diag else b for i in range(nt)]
    return [on_diag(1.0, 0.0), [0.0] * nt, on_diag(-0.7, 0.3), on_diag(5e-324, 5e-324),
            on_diag(1e-300, 1e300), on_diag(1e300, 0.0), on_diag(1e154, -1e154),
            on_diag(DMAX, DMAX)]


# ---------------------------------------------------------------------------
# Constructor: conversion of every argument


def _index_raising(exc):
    class I:
        def __index__(self):
            raise exc("index refused")
    return I()


class Idx:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


# (id, argument, value or function of the design, exception, pattern)
CTOR_REFUSED = [
    ("y-0d", "y", lambda d: np.float64(1.0), TypeError, r"\by\b"),
    ("y-0d-array", "y", lambda d: np.array(1.0), TypeError, r"\by\b"),
    ("y-3d", "y", lambda d: d["y"][:, None, None], TypeError, r"\by\b"),
    ("y-matrix", "y", lambda d: np.matrix(d["y"]), TypeError, r"\by\b"),
    ("y-str", "y", "1,2,3", TypeError, r"\by\b"),
    ("y-set", "y", {1.0, 2.0}, TypeError, r"\by\b"),
    ("y-generator", "y", lambda d: (v for v in d["y"]), TypeError, r"\by\b"),
    ("y-object-dtype", "y", lambda d: d["y"].astype(object), TypeError, r"\by\b"),
    ("y-complex", "y", lambda d: d["y"].astype(complex), TypeError, r"\by\b"),
    ("y-longdouble", "y", lambda d: d["y"].astype(np.longdouble), TypeError, r"\by\b"),
    ("x-0d", "x", lambda d: np.array(1.0), TypeError, r"\bx\b"),
    ("x-3d", "x", lambda d: d["x"][:, :, None], TypeError, r"\bx\b"),
    ("x-memoryview", "x", lambda d: memoryview(d["x"]), TypeError, r"\bx\b"),
    ("z-0d", "z", lambda d: np.array(1.0), TypeError, r"\bz\b"),
    ("z-3d", "z", lambda d: d["z"][None], TypeError, r"\bz\b"),
    ("z-bytes", "z", b"\0" * 8, TypeError, r"\bz\b"),
    ("codes-0d", "codes", lambda d: np.int64(0), TypeError, r"\bcodes\b"),
    ("codes-3d", "codes", lambda d: d["codes"][:, None, None], TypeError, r"\bcodes\b"),
    ("codes-uint64", "codes", lambda d: d["codes"].astype(np.uint64), TypeError, r"\bcodes\b"),
    ("codes-float", "codes", lambda d: d["codes"].astype(float), TypeError, r"\bcodes\b"),
    ("codes-list", "codes", lambda d: d["codes"].tolist(), TypeError, r"\bcodes\b"),
    ("m-float", "n_groups", 3.0, TypeError, "n_groups"),
    ("m-str", "n_groups", "3", TypeError, "n_groups"),
    ("m-none", "n_groups", None, TypeError, "n_groups"),
    ("m-0", "n_groups", 0, ValueError, exact("n_groups must be positive")),
    ("m-negative", "n_groups", -1, OverflowError, None),
    ("m-2**64", "n_groups", 2 ** 64, OverflowError, None),
    ("m-huge-int", "n_groups", 10 ** 100, OverflowError, None),
    ("m-index-negative", "n_groups", Idx(-5), OverflowError, None),
    ("m-index-raises-value", "n_groups", _index_raising(ValueError), ValueError, "index refused"),
    ("m-index-raises-type", "n_groups", _index_raising(TypeError), TypeError, "index refused"),
    ("m-2**63", "n_groups", 2 ** 63, ValueError, exact(OVERFLOW)),
    ("m-2**64-1", "n_groups", 2 ** 64 - 1, ValueError, exact(OVERFLOW)),
    ("m-uint64-max", "n_groups", np.uint64(2 ** 64 - 1), ValueError, exact(OVERFLOW)),
    # counts fit in 64 bits but the bytes do not, or exceed the machine
    ("m-2**60", "n_groups", 2 ** 60, MemoryError, None),
    ("m-2**40", "n_groups", 2 ** 40, MemoryError, None),
    ("m-bool", "n_groups", True, ValueError, exact("group code 1 out of range 0..1")),
    ("ev-none", "evaluator", None, TypeError, "evaluator"),
    ("ev-bytes", "evaluator", b"blocks", TypeError, "evaluator"),
    ("ev-int", "evaluator", 0, TypeError, "evaluator"),
    ("ev-nul", "evaluator", "blocks\0", ValueError, "^evaluator must be .*, got \""),
    ("ev-surrogate", "evaluator", "\ud800", ValueError, "^evaluator must be .*, got \""),
    ("ev-space", "evaluator", "blocks ", ValueError, re.escape('got "blocks "') + "$"),
    ("ev-long", "evaluator", "a" * 100000, ValueError, "^evaluator must be"),
]


@pytest.mark.parametrize("arg, value, exc, pattern",
                         [c[1:] for c in CTOR_REFUSED], ids=[c[0] for c in CTOR_REFUSED])
def test_constructor_refuses(arg, value, exc, pattern):
    d = design(p=1, q=1)
    kw = {k: d[k] for k in ("y", "x", "z", "codes", "n_groups")}
    kw[arg] = value(d) if callable(value) else value
    with pytest.raises(exc, match=pattern):
        LmmCore(**kw)


@pytest.mark.parametrize("codes, m, message", [
    ([0, I64.min, 1], 3, f"group code {I64.min} out of range 0..3"),
    ([0, I64.max, I64.min], 3, f"group code {I64.max} out of range 0..3"),
    ([I64.max] * 3, 2 ** 62, OVERFLOW),              # the size check comes first
    ([-1, 0, 0], 1, "group code -1 out of range 0..1"),
    ([0, 2 ** 20, 0], 2 ** 20, f"group code {2 ** 20} out of range 0..{2 ** 20}"),
])
def test_codes_at_the_int64_extremes(codes, m, message):
    d = design(n=3, p=1, q=1)
    with pytest.raises(ValueError, match=exact(message)):
        LmmCore(d["y"], d["x"], d["z"], np.array(codes, np.int64), m)


def test_first_bad_code_on_the_parallel_route():
    # enough rows for the parallel construction route on a multi-core machine
    d = design(n=60000, p=1, q=1, m=7)
    d["codes"][30001] = I64.max
    d["codes"][45000] = -1
    d["codes"][-1] = I64.min
    with pytest.raises(ValueError, match=exact(f"group code {I64.max} out of range 0..7")):
        build(d, "auto")


@pytest.mark.parametrize("binding", [
    lambda d: LmmCore(),
    lambda d: LmmCore(d["y"], d["x"], d["z"], d["codes"]),
    lambda d: LmmCore(d["y"], d["x"], d["z"], d["codes"], 3, "blocks", None),
    lambda d: LmmCore(d["y"], d["x"], d["z"], d["codes"], 3, y=d["y"]),
    lambda d: LmmCore(d["y"], d["x"], d["z"], d["codes"], 3, evaluator="blocks", mode=1),
    lambda d: LmmCore(d["y"], d["x"], d["z"], d["codes"], n_groups=3, **{"": 1}),
    lambda d: LmmCore(*[d["y"]] * 100),
], ids=["none", "missing", "surplus", "twice", "unknown-kw", "empty-kw", "many"])
def test_constructor_binding_errors(binding):
    with pytest.raises(TypeError):
        binding(design())


@pytest.mark.parametrize("abuse, exc", [
    (lambda c: object.__new__(LmmCore), TypeError),
    (lambda c: LmmCore.__new__(LmmCore), TypeError),
    (lambda c: type("S", (LmmCore,), {}), TypeError),
    (lambda c: pickle.dumps(c), TypeError),
    (lambda c: copy.deepcopy(c), TypeError),
    (lambda c: LmmCore.deviance(object(), [1.0]), TypeError),
    (lambda c: LmmCore.lower_bounds(5), TypeError),
    (lambda c: LmmCore.__dict__["evaluator"].__get__(object(), LmmCore), TypeError),
    (lambda c: setattr(c, "n", 5), AttributeError),
    (lambda c: delattr(c, "m"), AttributeError),
], ids=["object-new", "new-no-args", "subclass", "pickle", "deepcopy", "foreign-self",
        "foreign-self-noargs", "foreign-getter", "set-getter", "del-getter"])
def test_object_protocol_abuse(abuse, exc):
    core = build(design(), "aggregated")
    state = (core.n, core.p, core.q, core.m, core.n_classes, core.deviance([1.0, 0.0, 1.0]))
    with pytest.raises(exc):
        abuse(core)
    core.__init__(1, 2, 3)               # object's initialiser: the core is unchanged
    assert (core.n, core.p, core.q, core.m, core.n_classes,
            core.deviance([1.0, 0.0, 1.0])) == state


# ---------------------------------------------------------------------------
# Constructor: layouts and array subclasses


def _wide(a):  # a[:, ::2] of an array with twice the columns: column stride 16
    big = np.zeros((a.shape[0], 2 * a.shape[1]))
    big[:, ::2] = a
    return big[:, ::2]


# (id, argument, transform, exception, pattern); checks run y, codes, X, Z
LAYOUT_REFUSED = [
    ("y-strided", "y", strided, TypeError, exact(NOT_CONTIG)),
    ("y-negative-stride", "y", reversed_rows, TypeError, exact(NOT_CONTIG)),
    ("y-misaligned", "y", misaligned, TypeError, exact(NOT_CONTIG)),
    ("y-broadcast", "y", lambda a: np.broadcast_to(a[:1], a.shape), TypeError, exact(NOT_CONTIG)),
    ("codes-strided", "codes", strided, TypeError, exact(NOT_CONTIG)),
    ("codes-negative-stride", "codes", reversed_rows, TypeError, exact(NOT_CONTIG)),
    ("codes-misaligned", "codes", misaligned, TypeError, exact(NOT_CONTIG)),
    ("x-misaligned", "x", misaligned, TypeError, exact(NOT_CONTIG)),
    ("x-fortran", "x", np.asfortranarray, ValueError, exact("X must be C-contiguous")),
    ("x-negative-rows", "x", reversed_rows, ValueError, exact("X must be C-contiguous")),
    ("x-negative-cols", "x", lambda a: np.ascontiguousarray(a[:, ::-1])[:, ::-1],
     ValueError, exact("X must be C-contiguous")),
    ("x-strided-cols", "x", _wide, ValueError, exact("X must be C-contiguous")),
    ("x-broadcast", "x", lambda a: np.broadcast_to(a[:1], a.shape), ValueError,
     exact("X must be C-contiguous")),
    ("x-transposed", "x", lambda a: np.ascontiguousarray(a.T).T, ValueError,
     exact("X must be C-contiguous")),
    ("z-misaligned", "z", misaligned, TypeError, exact(NOT_CONTIG)),
    ("z-fortran", "z", np.asfortranarray, ValueError, exact("Z must be C-contiguous")),
    ("z-negative-rows", "z", reversed_rows, ValueError, exact("Z must be C-contiguous")),
    ("z-strided-rows", "z", strided, ValueError, exact("Z must be C-contiguous")),
]


@pytest.mark.parametrize("arg, transform, exc, pattern",
                         [c[1:] for c in LAYOUT_REFUSED], ids=[c[0] for c in LAYOUT_REFUSED])
def test_layouts_refused(arg, transform, exc, pattern):
    d = design()
    d[arg] = transform(d[arg])
    with pytest.raises(exc, match=pattern):
        build(d)
    core = build(design())   # the same arrays are refused by with_response
    with pytest.raises(exc, match=pattern):
        core.with_response(d["y"], d["x"], d["z"], d["codes"])


def test_layout_checks_run_in_order():
    d = design()
    d["x"], d["z"] = misaligned(d["x"]), np.asfortranarray(d["z"])
    d["y"] = d["y"][:-1]
    with pytest.raises(TypeError, match=exact(NOT_CONTIG)):   # X before Z and the rows
        build(d)
    d = design()
    d["codes"], d["x"] = reversed_rows(d["codes"]), np.asfortranarray(d["x"])
    with pytest.raises(TypeError, match=exact(NOT_CONTIG)):   # codes before X
        build(d)


@pytest.mark.parametrize("shapes, message", [
    (dict(y=(0,), x=(0, 2), z=(0, 2), codes=(0,)), "y must not be empty"),
    (dict(y=(0,), x=(0, 0), z=(0, 2), codes=(0,)), "X must have at least one column"),
    (dict(y=(0,), x=(0, 2), z=(0, 0), codes=(0,)), "Z must have at least one column"),
    (dict(y=(3,), x=(3, 0), z=(3, 0), codes=(3,)), "X must have at least one column"),
    (dict(y=(0,), x=(3, 0), z=(0, 2), codes=(0,)),
     "y, X, Z and group codes must agree on the row count"),
])
def test_empty_arrays(shapes, message):
    arrays = {k: np.zeros(s, np.int64 if k == "codes" else np.float64)
              for k, s in shapes.items()}
    # empty arrays with odd strides or a misaligned start pass the layout checks
    if arrays["y"].size == 0:
        arrays["y"] = np.frombuffer(bytearray(9), np.float64, offset=1, count=0)
    arrays["x"] = np.asfortranarray(arrays["x"])
    with pytest.raises(ValueError, match=exact(message)):
        LmmCore(arrays["y"], arrays["x"], arrays["z"], arrays["codes"], 3)


def _masked(a):
    return np.ma.array(a, mask=np.arange(a.size).reshape(a.shape) % 2 == 0)


# arrays accepted in place: the core reads the same values as the plain arrays
ACCEPTED = [
    ("readonly-all", lambda d: {k: readonly(d[k]) for k in ("y", "x", "z", "codes")}),
    ("subclass-all", lambda d: {k: d[k].view(Sub) for k in ("y", "x", "z", "codes")}),
    ("masked-all", lambda d: {k: _masked(d[k]) for k in ("y", "x", "z", "codes")}),
    ("matrix-x-z", lambda d: {"x": np.matrix(d["x"]), "z": np.matrix(d["z"])}),
    ("offset-views", lambda d: {k: np.concatenate([d[k][:3], d[k]])[3:]
                                for k in ("y", "x", "z", "codes")}),
    ("codes-longlong", lambda d: {"codes": d["codes"].astype(np.longlong)}),
    ("m-numpy-ints", lambda d: {"n_groups": np.uint8(d["n_groups"])}),
    ("m-index", lambda d: {"n_groups": Idx(d["n_groups"])}),
]


@pytest.mark.parametrize("evaluator", EVALUATORS)
@pytest.mark.parametrize("change", [c[1] for c in ACCEPTED], ids=[c[0] for c in ACCEPTED])
def test_accepted_forms_read_the_same_values(change, evaluator):
    d = design()
    ref = build(d, evaluator)
    core = build({**d, **change(d)}, evaluator)
    for theta in ([1.0, 0.0, 1.0], [0.4, -0.3, 0.8]):
        assert bits(core.deviance(theta)) == bits(ref.deviance(theta))
        assert core.deviance_grad(theta, False) == ref.deviance_grad(theta, False)


def test_single_column_x_in_fortran_order_and_one_row_views():
    d = design(n=12, p=1, q=1)
    ref = build(d)
    x_f = np.asfortranarray(d["x"])
    assert bits(LmmCore(d["y"], x_f, np.asfortranarray(d["z"]), d["codes"], 3)
                .deviance([0.5])) == bits(ref.deviance([0.5]))
    one = design(n=1, p=3, q=2, m=1)
    big = np.zeros((4, 6))
    big[0, :3], big[0, 3:5] = one["x"][0], one["z"][0]
    x1, z1 = big[:1, :3], big[:1, 3:5]             # one row: the row stride is irrelevant
    core = LmmCore(one["y"], x1, z1, one["codes"], 1)
    assert core.n == 1 and core.p == 3 and core.q == 2
    check_outcome(core, [1.0, 0.0, 1.0])           # n <= p under REML: infeasible
    check_outcome(core, [1.0, 0.0, 1.0], False)


# ---------------------------------------------------------------------------
# Huge dimensions from small arrays


def test_m_far_beyond_the_rows():
    d = design(n=9, p=1, q=1, m=3, seed=4)
    for evaluator in EVALUATORS:
        small = build(d, evaluator)
        big = build({**d, "n_groups": 10 ** 6}, evaluator)
        assert big.m == 10 ** 6
        for theta in ([0.7], [0.0], [3.0]):
            assert bits(big.deviance(theta)) == bits(small.deviance(theta))
            assert big.deviance_grad(theta) == small.deviance_grad(theta)
        cc = big.conditional_covariances([0.7])
        assert cc.shape == (10 ** 6, 1, 1)
        s = big.solution([0.7])
        assert s["u"].shape == (10 ** 6, 1) and not s["u"][3:].any()


WIDE = address_limit(8) + """
import numpy as np
from corvane._corvane import LmmCore
def outcome(f):
    try:
        f()
        return "ok"
    except BaseException as e:
        return type(e).__name__
one = np.zeros(1)
c = np.zeros(1, np.int64)
print(outcome(lambda: LmmCore(one, np.ones((1, 1)), np.ones((1, 100000)), c, 1)))
print(outcome(lambda: LmmCore(one, np.ones((1, 200000)), np.ones((1, 1)), c, 1)))
"""


def test_wide_designs_raise_memory_error():
    # a limit on the address space keeps a missing size check from taking the machine
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(WIDE)],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["MemoryError"] * 2


# ---------------------------------------------------------------------------
# Non-finite, subnormal and huge data values


SPECIALS = [("nan", np.nan), ("inf", np.inf), ("-inf", -np.inf), ("subnormal", 5e-324),
            ("huge", 1e300), ("max", DMAX), ("-max", -DMAX)]


@pytest.mark.parametrize("evaluator", EVALUATORS)
@pytest.mark.parametrize("where", ["y", "x", "z"])
@pytest.mark.parametrize("label, value", SPECIALS, ids=[s[0] for s in SPECIALS])
def test_special_values_in_the_data(label, value, where, evaluator):
    for q in (1, 2, 4):
        d = design(n=15, p=2, q=q, m=4, seed=1)
        clean = build(d, evaluator)
        d[where] = d[where].copy()
        d[where].flat[5] = value                       # the sixth stored value
        core = build(d, evaluator)
        for theta in thetas(q):
            for reml in (True, False):
                dev = check_outcome(core, theta, reml)
                if label == "subnormal" and theta == thetas(q)[0]:
                    assert math.isfinite(dev)
                if label in ("nan", "inf", "-inf", "huge", "max", "-max") and where != "z":
                    assert dev == math.inf                    # X'X or y'y is not finite
        if label != "subnormal" and where == "z":
            assert core.deviance(thetas(q)[0]) == math.inf
        if label != "subnormal" and where == "z" and evaluator != "streaming":
            # theta = 0: every product with Lambda (or K = 0) skips the
            # non-finite Z'Z and Z'X; streaming's W'(KW) is a plain dot product
            zero = [0.0] * core.n_theta
            assert bits(core.deviance(zero)) == bits(clean.deviance(zero))
            assert bits(core.solution(zero)["deviance"]) == bits(clean.deviance(zero))
            assert not core.conditional_covariances(zero).any()
        check_fit(core, thetas(q)[0] + thetas(q)[2], max_iter=20)


@pytest.mark.parametrize("label, value", [("nan", np.nan), ("inf", np.inf), ("huge", 1e200)])
def test_one_bad_group_among_many_chunks(label, value):
    # m = 20000: the loops run in chunks (on the pool when it has several
    # threads); one group in a middle chunk fails its factorisation
    d = design(n=40000, p=2, q=2, m=20000, seed=6)
    row = int(np.flatnonzero(d["codes"] == 11111)[0])
    bad = {**d, "z": d["z"].copy()}
    bad["z"][row, 1] = value
    for evaluator in EVALUATORS:
        clean, core = build(d, evaluator), build(bad, evaluator)
        for theta in ([1.0, 0.0, 1.0], [0.3, -0.2, 0.5]):
            assert check_outcome(core, theta) == math.inf
            assert check_outcome(core, theta, False) == math.inf
        if evaluator != "streaming":
            zero = [0.0, 0.0, 0.0]
            assert bits(check_outcome(core, zero)) == bits(clean.deviance(zero))


@pytest.mark.parametrize("evaluator", EVALUATORS)
def test_degenerate_data(evaluator):
    d = design(n=16, p=2, q=2, m=4, seed=2)
    zero_y = build({**d, "y": np.zeros(16)}, evaluator)       # pwrss = 0 everywhere
    zero_x = build({**d, "x": np.zeros((16, 2))}, evaluator)  # singular X'X
    for theta in thetas(2):
        for core in (zero_y, zero_x):
            assert check_outcome(core, theta) == math.inf
    for core in (zero_y, zero_x):
        with pytest.raises(RuntimeError, match=exact(INFEASIBLE)):
            core.fit([1.0, 0.0, 1.0, 0.5, 0.0, 0.5])
    zero_z = build({**d, "z": np.zeros((16, 2))}, evaluator)  # theta has no effect
    base = zero_z.deviance([0.0, 0.0, 0.0])
    for theta in thetas(2):
        check_outcome(zero_z, theta)
    for theta in thetas(2)[:4]:   # no overflow in Lambda Lambda'
        assert bits(zero_z.deviance(theta)) == bits(base)
        assert all(g == 0.0 for g in zero_z.deviance_grad(theta)[1])
    exact_fit = build({**d, "y": 3.0 * d["x"][:, 1]}, evaluator)
    tiny_y = build({**d, "y": np.full(16, 5e-324)}, evaluator)
    all_subnormal = build({k: (np.full_like(v, 5e-324) if k in "xyz" else v)
                           for k, v in d.items()}, evaluator)
    for core in (exact_fit, tiny_y, all_subnormal):
        for theta in thetas(2):
            check_outcome(core, theta)
        check_fit(core, [1.0, 0.0, 1.0], max_iter=20)


_finite = st.floats(allow_nan=False, allow_infinity=False)
_any_float = st.one_of(st.sampled_from([0.0, -0.0, 5e-324, -5e-324, 1e-300, 1e300, DMAX,
                                        -DMAX, math.nan, math.inf, -math.inf]),
                       st.floats(-10, 10), st.floats())
_mostly_plain = st.one_of(st.floats(-3, 3), st.floats(-3, 3), st.floats(-3, 3), st.floats(-3, 3),
                         st.sampled_from([math.nan, math.inf, 0.0, 1e300, 5e-324, 1e-160]))


@st.composite
def _designs(draw):
    n = draw(st.integers(1, 12))
    p, q, m = draw(st.integers(1, 4)), draw(st.integers(1, 4)), draw(st.integers(1, 3))
    cell = draw(st.sampled_from([_any_float, st.floats(-3, 3), _mostly_plain]))
    arr = lambda k: np.array(draw(st.lists(cell, min_size=k, max_size=k)), np.float64)
    codes = np.array(draw(st.lists(st.integers(0, m - 1), min_size=n, max_size=n)), np.int64)
    theta = draw(st.lists(st.one_of(_finite, st.sampled_from([0.0, 5e-324, 1e300, -1.0])),
                          min_size=q * (q + 1) // 2, max_size=q * (q + 1) // 2))
    return arr(n), arr(n * p).reshape(n, p), arr(n * q).reshape(n, q), codes, m, theta


@settings(max_examples=300, **HYP)
@given(_designs(), st.sampled_from(EVALUATORS + ["auto"]), st.booleans())
def test_arbitrary_values_end_in_documented_outcomes(case, evaluator, reml):
    y, x, z, codes, m, theta = case
    core = LmmCore(y, x, z, codes, m, evaluator)
    check_outcome(core, theta, reml)
    check_outcome(core, core.default_theta(), reml)
    y2 = np.ascontiguousarray(y[::-1])
    new = core.with_response(y2, x, z, codes)
    assert (new.evaluator, new.n_classes) == (core.evaluator, core.n_classes)
    dev = check_outcome(new, theta, reml)
    if evaluator in ("blocks", "streaming"):   # the same products as a fresh core
        assert bits(dev) == bits(LmmCore(y2, x, z, codes, m, evaluator).deviance(theta, reml))
    r = check_fit(core, theta + core.default_theta(), reml=reml, max_iter=15)
    if r is not None:
        assert r["iterations"] <= 15
        assert r["converged"] == (r["message"] in ("projected gradient below tolerance",
                                                   "relative change below tolerance",
                                                   "relative change below tolerance "
                                                   "(gradient not small)"))


# ---------------------------------------------------------------------------
# theta, starts and the other method arguments


class Raises:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc("float refused")


class ReturnsStr:
    def __float__(self):
        return "1.0"


class CustomError(Exception):
    pass


class LyingLength(list):
    def __len__(self):
        return 2 ** 62


class BadLength(list):
    def __len__(self):
        raise CustomError("len refused")


class ShortIter(list):
    def __iter__(self):
        return iter(())


class OldStyle:
    """A sequence by __len__ and __getitem__ only."""
    def __init__(self, values):
        self.values = values

    def __len__(self):
        return len(self.values)

    def __getitem__(self, i):
        return self.values[i]


def _misaligned_theta():
    return misaligned(np.array([1.0, 0.0, 1.0]))


THETA_CASES = [
    # (id, theta factory, outcome): outcome is a reference theta (accepted, the
    # same values) or an (exception, pattern) pair
    ("float32", lambda: np.array([1.0, 0.0, 1.0], np.float32), [1.0, 0.0, 1.0]),
    ("big-endian", lambda: np.array([0.5, 0.25, 2.0], ">f8"), [0.5, 0.25, 2.0]),
    ("strided", lambda: np.array([0.5, 9, 0.25, 9, 2.0])[::2], [0.5, 0.25, 2.0]),
    ("negative-stride", lambda: np.array([2.0, 0.25, 0.5])[::-1], [0.5, 0.25, 2.0]),
    ("misaligned", _misaligned_theta, [1.0, 0.0, 1.0]),
    ("readonly", lambda: readonly(np.array([0.5, 0.25, 2.0])), [0.5, 0.25, 2.0]),
    ("subclass", lambda: np.array([0.5, 0.25, 2.0]).view(Sub), [0.5, 0.25, 2.0]),
    ("int64-extremes", lambda: [I64.max, I64.min, 1], [float(I64.max), float(I64.min), 1.0]),
    ("lying-length", lambda: LyingLength([0.5, 0.25, 2.0]), [0.5, 0.25, 2.0]),
    ("old-style", lambda: OldStyle([0.5, 0.25, 2.0]), [0.5, 0.25, 2.0]),
    ("subnormals", lambda: [5e-324, -5e-324, 5e-324], [5e-324, -5e-324, 5e-324]),
    ("str", lambda: "1.0", (TypeError, "theta")),
    ("str-subclass", lambda: np.str_("abc"), (TypeError, "theta")),
    ("set", lambda: {0.5, 0.25, 2.0}, (TypeError, "theta")),
    ("frozenset", lambda: frozenset({0.5}), (TypeError, "theta")),
    ("dict", lambda: {0: 1.0, 1: 0.0, 2: 1.0}, (TypeError, "theta")),
    ("generator", lambda: (v for v in [1.0, 0.0, 1.0]), (TypeError, "theta")),
    ("iterator", lambda: iter([1.0, 0.0, 1.0]), (TypeError, "theta")),
    ("0d-array", lambda: np.array(1.0), (TypeError, "theta")),
    ("2d-array", lambda: np.ones((1, 3)), (TypeError, "theta")),
    ("str-items", lambda: ["1", "0", "1"], (TypeError, "theta")),
    ("float-raises-type", lambda: [1.0, Raises(TypeError), 1.0], (TypeError, "float refused")),
    ("float-raises-value", lambda: [1.0, Raises(ValueError), 1.0],
     (ValueError, "float refused")),
    ("float-raises-custom", lambda: [Raises(CustomError), 0.0, 1.0],
     (CustomError, "float refused")),
    ("len-raises", lambda: BadLength([1.0, 0.0, 1.0]), (CustomError, "len refused")),
    ("iterates-nothing", lambda: ShortIter([1.0, 0.0, 1.0]),
     (ValueError, exact("theta must have 3 entries for q = 2, got 0"))),
    ("int-too-big", lambda: [10 ** 400, 0.0, 1.0], (OverflowError, "too large")),
    ("float-returns-str", lambda: [1.0, ReturnsStr(), 1.0], (TypeError, "theta")),
    ("empty", lambda: [], (ValueError, exact("theta must have 3 entries for q = 2, got 0"))),
    ("huge-array", lambda: np.ones(10 ** 6),
     (ValueError, exact("theta must have 3 entries for q = 2, got 1000000"))),
    ("nan-array", lambda: np.array([1.0, np.nan, np.inf]),
     (ValueError, exact("theta[1] is not finite"))),
    ("neg-inf", lambda: [1.0, 0.0, -np.inf], (ValueError, exact("theta[2] is not finite"))),
]


@pytest.fixture(scope="module")
def core2():
    return build(design(n=24, p=2, q=2, m=4, seed=3), "streaming")


@pytest.mark.parametrize("method", THETA_METHODS)
@pytest.mark.parametrize("make, outcome", [c[1:] for c in THETA_CASES],
                         ids=[c[0] for c in THETA_CASES])
def test_theta_forms(core2, method, make, outcome):
    f = getattr(core2, method)
    if isinstance(outcome, tuple):
        with pytest.raises(outcome[0], match=outcome[1]):
            f(make())
    else:
        assert same(outcome_of(f, make()), outcome_of(f, outcome))


def as_starts(outcome):
    exc, pattern = outcome
    if pattern == "theta":
        return exc, "starts"
    if "entries" in pattern:
        return exc, exact(STARTS_MSG)
    return exc, pattern.replace("theta", "starts")


@pytest.mark.parametrize("make, outcome", [c[1:] for c in THETA_CASES],
                         ids=[c[0] for c in THETA_CASES])
def test_starts_forms(core2, make, outcome):
    if isinstance(outcome, tuple):
        exc, pattern = as_starts(outcome)
        with pytest.raises(exc, match=pattern):
            core2.fit(make(), max_iter=3)
    else:
        assert same(outcome_of(core2.fit, make(), max_iter=3),
                    outcome_of(core2.fit, outcome, max_iter=3))


def test_reentrant_and_mutating_items(core2):
    ref = core2.deviance([0.5, 0.25, 2.0])

    class Reenters:
        def __float__(self):
            core2.deviance_grad([1.0, 0.0, 1.0])
            core2.solution([1.0, 0.0, 1.0])
            gc.collect()
            return 0.5
    assert core2.deviance([Reenters(), 0.25, 2.0]) == ref

    theta = [0.5, None, 2.0]

    class Clears:
        def __float__(self):
            theta.clear()            # the sequence shrinks while it is converted
            return 0.5
    theta[1] = Clears()
    theta.insert(0, Clears())
    with pytest.raises(ValueError, match=exact("theta must have 3 entries for q = 2, got 1")):
        core2.deviance(theta)

    class DropsCore:
        def __float__(self):
            nonlocal victim
            victim = None            # the caller keeps the instance alive
            gc.collect()
            return 1.0
    victim = build(design(), "aggregated")
    f = victim.deviance
    assert math.isfinite(f([DropsCore(), 0.0, 1.0]))


FIT_REFUSED = [
    (dict(max_iter=-1), OverflowError, None),
    (dict(max_iter=2 ** 64), OverflowError, None),
    (dict(max_iter=Idx(-1)), OverflowError, None),
    (dict(max_iter=_index_raising(CustomError)), CustomError, "index refused"),
    (dict(max_iter=1.0), TypeError, "max_iter"),
    (dict(max_iter=None), TypeError, "max_iter"),
    (dict(gtol=Raises(ValueError)), ValueError, "float refused"),
    (dict(gtol=[1e-8]), TypeError, "gtol"),
    (dict(ftol="1e-12"), TypeError, "ftol"),
    (dict(ftol=10 ** 400), OverflowError, None),
    (dict(reml=1), TypeError, "reml"),
    (dict(starts=[1.0, 0.0, 1.0, np.nan, 0.0, 1.0, 2.0]), ValueError,
     exact("starts[3] is not finite")),
    (dict(starts=[DMAX, -DMAX, DMAX, np.inf]), ValueError, exact("starts[3] is not finite")),
]


@pytest.mark.parametrize("kw, exc, pattern", FIT_REFUSED)
def test_fit_arguments_refused(core2, kw, exc, pattern):
    kw = {"starts": [1.0, 0.0, 1.0], **kw}
    with pytest.raises(exc, match=pattern):
        core2.fit(**kw)


@pytest.mark.parametrize("kw", [
    dict(max_iter=0), dict(max_iter=np.uint64(2 ** 64 - 1), gtol=math.inf),
    dict(gtol=math.nan, max_iter=4), dict(gtol=-1.0, ftol=-1.0, max_iter=4),
    dict(ftol=math.nan, max_iter=4), dict(ftol=math.inf), dict(gtol=5e-324, ftol=5e-324,
                                                                 max_iter=4),
    dict(starts=[DMAX, -DMAX, DMAX]), dict(starts=[-DMAX, 0.0, -DMAX]),
    dict(starts=[5e-324, 5e-324, 5e-324] * 50, max_iter=2),
    dict(starts=[1e300, 0.0, 1e300, 1.0, 0.0, 1.0]),
])
def test_fit_odd_settings(core2, kw):
    kw = {"starts": [1.0, 0.0, 1.0], **kw}
    r = check_fit(core2, **kw)
    if r is not None and "max_iter" in kw:
        assert r["iterations"] <= int(kw["max_iter"])
        assert r["fev"] >= 1


@pytest.mark.parametrize("method, call", [
    ("deviance", lambda f: f()),
    ("deviance", lambda f: f([1.0, 0.0, 1.0], True, True)),
    ("deviance", lambda f: f([1.0, 0.0, 1.0], theta=[1.0, 0.0, 1.0])),
    ("deviance_grad", lambda f: f(thetas=[1.0, 0.0, 1.0])),
    ("deviance_hessian", lambda f: f(reml=True)),
    ("conditional_covariances", lambda f: f([1.0, 0.0, 1.0], reml=True, extra=1)),
    ("solution", lambda f: f(*[[1.0, 0.0, 1.0]] * 3)),
    ("fit", lambda f: f()),
    ("fit", lambda f: f([1.0, 0.0, 1.0], True, 3, 1e-8, 1e-12, 0)),
    ("fit", lambda f: f([1.0, 0.0, 1.0], starts=[1.0, 0.0, 1.0])),
    ("with_response", lambda f: f()),
    ("with_response", lambda f: f(1, 2, 3, 4, 5)),
    ("lower_bounds", lambda f: f(1)),
    ("default_theta", lambda f: f(q=1)),
])
def test_method_binding_errors(core2, method, call):
    with pytest.raises(TypeError):
        call(getattr(core2, method))


@settings(max_examples=200, **HYP)
@given(st.lists(st.one_of(_finite, st.sampled_from([math.nan, math.inf, -math.inf])),
                max_size=8), st.sampled_from(THETA_METHODS))
def test_theta_validation_property(theta, method):
    core = _core_q2()
    bad = [i for i, v in enumerate(theta) if not math.isfinite(v)]
    f = getattr(core, method)
    if len(theta) != 3:
        with pytest.raises(ValueError, match=exact(
                f"theta must have 3 entries for q = 2, got {len(theta)}")):
            f(theta)
    elif bad:
        with pytest.raises(ValueError, match=exact(f"theta[{bad[0]}] is not finite")):
            f(theta)
    else:
        check_outcome(core, theta)


@settings(max_examples=100, **HYP)
@given(st.lists(st.one_of(st.floats(-3, 3), st.sampled_from([math.nan, math.inf, 1e300])),
                max_size=10))
def test_starts_validation_property(starts):
    core = _core_q2()
    bad = [i for i, v in enumerate(starts) if not math.isfinite(v)]
    if not starts:
        with pytest.raises(ValueError, match=exact(STARTS_MSG)):
            core.fit(starts)
    elif bad:                                  # finiteness before the length
        with pytest.raises(ValueError, match=exact(f"starts[{bad[0]}] is not finite")):
            core.fit(starts)
    elif len(starts) % 3:
        with pytest.raises(ValueError, match=exact(STARTS_MSG)):
            core.fit(starts)
    else:
        check_fit(core, starts, max_iter=5)


_CORES = {}


def _core_q2():
    if "q2" not in _CORES:
        _CORES["q2"] = build(design(n=20, p=2, q=2, m=4, seed=5), "blocks")
    return _CORES["q2"]


@settings(max_examples=150, **HYP)
@given(st.lists(st.one_of(st.integers(-3, 5), st.sampled_from([I64.min, I64.max, -1])),
                min_size=1, max_size=12), st.integers(1, 4))
def test_codes_property(codes, m):
    n = len(codes)
    d = design(n=n, p=1, q=1, m=1, seed=n)
    codes = np.array(codes, np.int64)
    bad = [int(c) for c in codes if not 0 <= c < m]
    if bad:
        with pytest.raises(ValueError, match=exact(f"group code {bad[0]} out of range 0..{m}")):
            LmmCore(d["y"], d["x"], d["z"], codes, m)
    else:
        core = LmmCore(d["y"], d["x"], d["z"], codes, m, "auto")
        assert core.m == m and core.n == n
        check_outcome(core, [1.0])


# ---------------------------------------------------------------------------
# with_response


M64 = 2 ** 64 - 1
K = 0x517cc1b727220a95


def _fold(h, c):
    h = ((h << 5) | (h >> 59)) & M64
    return ((c & M64) ^ h) * K & M64


def forged_codes(codes, prefix):
    """Codes beginning with `prefix` whose fingerprint equals that of `codes`."""
    target = len(codes)
    for c in codes:
        target = _fold(target, int(c))
    h = len(codes)
    for c in prefix:
        h = _fold(h, c)
    last = ((target * pow(K, -1, 2 ** 64)) & M64) ^ (((h << 5) | (h >> 59)) & M64)
    return np.array(list(prefix) + [last - 2 ** 64 if last >= 2 ** 63 else last], np.int64)


@pytest.mark.parametrize("evaluator", EVALUATORS)
@pytest.mark.parametrize("prefix", [[5, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0],
                                    [I64.min] + [0] * 10, [0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 2]])
def test_forged_fingerprint_codes_are_range_checked(evaluator, prefix):
    d = design(n=12, p=2, q=2, m=3)
    core = build(d, evaluator)
    codes = forged_codes(d["codes"], prefix)
    bad = [int(c) for c in codes if not 0 <= c < 3]
    assert bad                             # the forged last code is out of range
    with pytest.raises(ValueError, match=exact(f"group code {bad[0]} out of range 0..3")):
        core.with_response(d["y"], d["x"], d["z"], codes)
    fresh = build(d, evaluator)                # the receiving core is unchanged
    assert bits(core.deviance([1.0, 0.0, 1.0])) == bits(fresh.deviance([1.0, 0.0, 1.0]))


@pytest.mark.parametrize("evaluator", EVALUATORS)
def test_with_response_hostile_inputs(evaluator):
    d = design(n=12, p=2, q=2, m=3)
    core = build(d, evaluator)
    before = core.deviance_grad([0.6, 0.1, 0.9])
    args = [d["y"], d["x"], d["z"], d["codes"]]
    cases = [
        ([np.ones(11)] + args[1:], ValueError, None),
        ([d["y"][:11], d["x"][:11], d["z"][:11], d["codes"][:11]], ValueError,
         exact(SHAPE_MSG.format(12, 2, 2))),
        ([d["y"], d["x"][:, :1].copy(), d["z"], d["codes"]], ValueError,
         exact(SHAPE_MSG.format(12, 2, 2))),
        ([d["y"], d["x"], np.zeros((12, 3)), d["codes"]], ValueError,
         exact(SHAPE_MSG.format(12, 2, 2))),
        ([d["y"], d["x"], d["z"], d["codes"][::-1].copy()], ValueError, exact(CODES_MSG)),
        ([d["y"], d["x"], d["z"], np.full(12, I64.max)], ValueError, exact(CODES_MSG)),
        ([np.float64(1.0)] + args[1:], TypeError, r"\by\b"),
        ([d["y"], d["x"][None]] + args[2:], TypeError, r"\bx\b"),
        (args[:3] + [d["codes"].astype(np.int32)], TypeError, r"\bcodes\b"),
        ([d["y"].tolist()] + args[1:], TypeError, r"\by\b"),
        ([np.zeros(0), np.zeros((0, 2)), np.zeros((0, 2)), np.zeros(0, np.int64)], ValueError,
         exact(SHAPE_MSG.format(12, 2, 2))),
    ]
    for a, exc, pattern in cases:
        with pytest.raises(exc, match=pattern):
            core.with_response(*a)
    assert core.deviance_grad([0.6, 0.1, 0.9]) == before
    # hostile values in the new response: a core whose criterion is infeasible
    for label, value in SPECIALS:
        y = d["y"].copy()
        y[4] = value
        new = core.with_response(y=_masked(y), x=readonly(d["x"]), z=d["z"].view(Sub),
                                 codes=d["codes"])
        assert new.evaluator == core.evaluator and new.n_classes == core.n_classes
        for theta in thetas(2)[:4]:
            dev = check_outcome(new, theta)
            if label not in ("subnormal",):
                assert dev == math.inf
    # a different X of the right shape is accepted (the caller's contract)
    other = core.with_response(d["y"], np.full((12, 2), np.nan), d["z"], d["codes"])
    assert other.deviance([1.0, 0.0, 1.0]) == math.inf
