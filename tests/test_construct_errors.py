"""Constructor argument conversion and validation: every failure, its message,
and the order in which the checks run."""

import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from corvane._corvane import LmmCore
from conftest import address_limit

pytestmark = [pytest.mark.native]

NOT_CONTIG = "The given array is not contiguous or is misaligned."
EVAL_MSG = "evaluator must be 'auto', 'blocks', 'aggregated' or 'streaming', got "
ROWS = "y, X, Z and group codes must agree on the row count"
OVERFLOW = "model dimensions overflow the address space"


def data(n=12, p=2, q=2, m=3, seed=0):
    rng = np.random.default_rng(seed)
    return dict(y=rng.standard_normal(n), x=rng.standard_normal((n, p)),
                z=rng.standard_normal((n, q)),
                codes=(np.arange(n) % m).astype(np.int64), n_groups=m)


DEFAULT = object()  # evaluator not given


def build(d, evaluator=DEFAULT):
    args = [d["y"], d["x"], d["z"], d["codes"], d["n_groups"]]
    return LmmCore(*args) if evaluator is DEFAULT else LmmCore(*args, evaluator)


def misaligned(a):
    """A C-contiguous copy of `a` that starts one byte into a buffer."""
    buf = bytearray(a.nbytes + 1)
    out = np.frombuffer(buf, dtype=a.dtype, offset=1, count=a.size).reshape(a.shape)
    out[...] = a
    assert not out.flags.aligned and out.flags.c_contiguous
    return out


def strided(a):
    """The same values as `a`, as a view with every second element skipped."""
    big = np.zeros((2 * a.shape[0],) + a.shape[1:], a.dtype)
    big[::2] = a
    return big[::2]


def with_(**kw):
    def apply(d):
        for k, v in kw.items():
            d[k] = v(d) if callable(v) else v
        return d
    return apply


def wider(a):  # a[:, ::2] of an array with twice the columns
    big = np.zeros((a.shape[0], 2 * a.shape[1]))
    big[:, ::2] = a
    return big[:, ::2]


# (id, modification, evaluator, exception, regex)
CASES = [
    # conversion: wrong type, dimensionality or dtype names the argument
    ("y-list", with_(y=lambda d: d["y"].tolist()), DEFAULT, TypeError, r"\by\b"),
    ("y-2d", with_(y=lambda d: d["y"][:, None]), DEFAULT, TypeError, r"\by\b"),
    ("y-float32", with_(y=lambda d: d["y"].astype(np.float32)), DEFAULT, TypeError, r"\by\b"),
    ("y-int64", with_(y=lambda d: d["codes"]), DEFAULT, TypeError, r"\by\b"),
    ("y-bigendian", with_(y=lambda d: d["y"].astype(">f8")), DEFAULT, TypeError, r"\by\b"),
    ("y-none", with_(y=None), DEFAULT, TypeError, r"\by\b"),
    ("x-list", with_(x=lambda d: d["x"].tolist()), DEFAULT, TypeError, r"\bx\b"),
    ("x-1d", with_(x=lambda d: d["x"][:, 0].copy()), DEFAULT, TypeError, r"\bx\b"),
    ("x-3d", with_(x=lambda d: d["x"][:, :, None]), DEFAULT, TypeError, r"\bx\b"),
    ("x-float32", with_(x=lambda d: d["x"].astype(np.float32)), DEFAULT, TypeError, r"\bx\b"),
    ("z-1d", with_(z=lambda d: d["z"][:, 0].copy()), DEFAULT, TypeError, r"\bz\b"),
    ("z-int", with_(z=lambda d: d["z"].astype(np.int64)), DEFAULT, TypeError, r"\bz\b"),
    ("z-bigendian", with_(z=lambda d: d["z"].astype(">f8")), DEFAULT, TypeError, r"\bz\b"),
    ("codes-int32", with_(codes=lambda d: d["codes"].astype(np.int32)), DEFAULT, TypeError, "codes"),
    ("codes-uint64", with_(codes=lambda d: d["codes"].astype(np.uint64)), DEFAULT, TypeError, "codes"),
    ("codes-float", with_(codes=lambda d: d["codes"].astype(float)), DEFAULT, TypeError, "codes"),
    ("codes-2d", with_(codes=lambda d: d["codes"][:, None]), DEFAULT, TypeError, "codes"),
    ("codes-list", with_(codes=lambda d: d["codes"].tolist()), DEFAULT, TypeError, "codes"),
    ("codes-bigendian", with_(codes=lambda d: d["codes"].astype(">i8")), DEFAULT, TypeError, "codes"),
    ("n_groups-str", with_(n_groups="3"), DEFAULT, TypeError, None),
    ("n_groups-none", with_(n_groups=None), DEFAULT, TypeError, None),
    ("n_groups-float", with_(n_groups=3.0), DEFAULT, TypeError, None),
    ("evaluator-none", with_(), None, TypeError, "evaluator"),
    ("evaluator-bytes", with_(), b"blocks", TypeError, "evaluator"),
    ("evaluator-int", with_(), 1, TypeError, "evaluator"),
    # y and codes: contiguity and alignment
    ("y-strided", with_(y=lambda d: strided(d["y"])), DEFAULT, TypeError, re.escape(NOT_CONTIG)),
    ("y-reversed", with_(y=lambda d: d["y"][::-1]), DEFAULT, TypeError, re.escape(NOT_CONTIG)),
    ("y-misaligned", with_(y=lambda d: misaligned(d["y"])), DEFAULT, TypeError, re.escape(NOT_CONTIG)),
    ("codes-strided", with_(codes=lambda d: strided(d["codes"])), DEFAULT, TypeError, re.escape(NOT_CONTIG)),
    ("codes-reversed", with_(codes=lambda d: d["codes"][::-1]), DEFAULT, TypeError, re.escape(NOT_CONTIG)),
    ("codes-misaligned", with_(codes=lambda d: misaligned(d["codes"])), DEFAULT, TypeError, re.escape(NOT_CONTIG)),
    # misaligned (yet C-contiguous) X or Z: reading misaligned doubles is unsafe
    ("x-misaligned", with_(x=lambda d: misaligned(d["x"])), DEFAULT, TypeError, re.escape(NOT_CONTIG)),
    ("z-misaligned", with_(z=lambda d: misaligned(d["z"])), DEFAULT, TypeError, re.escape(NOT_CONTIG)),
    # X and Z: row-major layout
    ("x-fortran", with_(x=lambda d: np.asfortranarray(d["x"])), DEFAULT, ValueError, "^X must be C-contiguous$"),
    ("x-reversed", with_(x=lambda d: d["x"][::-1]), DEFAULT, ValueError, "^X must be C-contiguous$"),
    ("x-colstride", with_(x=lambda d: wider(d["x"])), DEFAULT, ValueError, "^X must be C-contiguous$"),
    ("x-rowstride", with_(x=lambda d: strided(d["x"])), DEFAULT, ValueError, "^X must be C-contiguous$"),
    ("x-onecol-rowstride", with_(x=lambda d: d["x"][:, :1]), DEFAULT, ValueError, "^X must be C-contiguous$"),
    ("z-fortran", with_(z=lambda d: np.asfortranarray(d["z"])), DEFAULT, ValueError, "^Z must be C-contiguous$"),
    ("z-reversed-cols", with_(z=lambda d: d["z"][:, ::-1]), DEFAULT, ValueError, "^Z must be C-contiguous$"),
    ("z-colstride", with_(z=lambda d: wider(d["z"])), DEFAULT, ValueError, "^Z must be C-contiguous$"),
    ("z-rowstride", with_(z=lambda d: strided(d["z"])), DEFAULT, ValueError, "^Z must be C-contiguous$"),
    # row counts
    ("rows-y", with_(y=lambda d: d["y"][:-1].copy()), DEFAULT, ValueError, re.escape(ROWS)),
    ("rows-codes", with_(codes=lambda d: d["codes"][1:].copy()), DEFAULT, ValueError, re.escape(ROWS)),
    ("rows-x", with_(x=lambda d: d["x"][:-1].copy()), DEFAULT, ValueError, re.escape(ROWS)),
    ("rows-z", with_(z=lambda d: np.vstack([d["z"], d["z"][:1]])), DEFAULT, ValueError, re.escape(ROWS)),
    # dimensions
    ("m-zero", with_(n_groups=0), DEFAULT, ValueError, "^n_groups must be positive$"),
    ("p-zero", with_(x=lambda d: np.empty((12, 0))), DEFAULT, ValueError, "^X must have at least one column$"),
    ("q-zero", with_(z=lambda d: np.empty((12, 0))), DEFAULT, ValueError, "^Z must have at least one column$"),
    ("n-zero", lambda d: data(n=0), DEFAULT, ValueError, "^y must not be empty$"),
    ("n-zero-strided-x", lambda d: with_(x=np.empty((0, 4))[:, ::2])(data(n=0)),
     DEFAULT, ValueError, "^y must not be empty$"),
    # size bound: m*q*(2*max(q, p+1) + 2) or m*q beyond 64 bits
    ("overflow-total", lambda d: with_(n_groups=2**63)(data(p=1, q=1)), DEFAULT, ValueError, re.escape(OVERFLOW)),
    ("overflow-edge", lambda d: with_(n_groups=(2**64 - 1) // 6 + 1)(data(p=1, q=1)),
     DEFAULT, ValueError, re.escape(OVERFLOW)),
    ("overflow-mq", lambda d: with_(n_groups=2**63)(data(p=1, q=2)), DEFAULT, ValueError, re.escape(OVERFLOW)),
    ("overflow-max", lambda d: with_(n_groups=2**64 - 1)(data(p=1, q=1)), DEFAULT, ValueError, re.escape(OVERFLOW)),
    ("overflow-p", lambda d: with_(n_groups=2**61)(data(p=3, q=1)), DEFAULT, ValueError, re.escape(OVERFLOW)),
    # codes outside 0..m-1: the first one in row order is reported
    ("code-m", with_(codes=np.array([0, 1, 2, 3] * 3)), DEFAULT, ValueError,
     "^" + re.escape("group code 3 out of range 0..3") + "$"),
    ("code-neg", with_(codes=np.array([0, 1, 2, -1] * 3)), DEFAULT, ValueError,
     "^" + re.escape("group code -1 out of range 0..3") + "$"),
    ("code-first", with_(codes=np.array([0, 5, -1] * 4)), DEFAULT, ValueError,
     re.escape("group code 5 out of range 0..3")),
    ("code-min", with_(codes=np.array([0, -2**63, 1] * 4)), DEFAULT, ValueError,
     re.escape("group code -9223372036854775808 out of range 0..3")),
    ("code-big", with_(codes=np.array([0, 2**62, 1] * 4)), DEFAULT, ValueError,
     re.escape("group code 4611686018427387904 out of range 0..3")),
    # checking order where two faults meet
    ("order-y-before-x", with_(y=lambda d: d["y"].tolist(), x=lambda d: d["x"].tolist()),
     DEFAULT, TypeError, r"\by\b"),
    ("order-conv-before-evaluator", with_(codes=lambda d: d["codes"].astype(float)),
     "nope", TypeError, "codes"),
    ("order-evaluator-before-rows", with_(y=lambda d: d["y"][::2]), "nope", ValueError,
     re.escape(EVAL_MSG + '"nope"')),
    ("order-ycontig-before-x", with_(y=lambda d: d["y"][::-1], x=lambda d: np.asfortranarray(d["x"])),
     DEFAULT, TypeError, re.escape(NOT_CONTIG)),
    ("order-codes-before-x", with_(codes=lambda d: d["codes"][::-1], x=lambda d: np.asfortranarray(d["x"])),
     DEFAULT, TypeError, re.escape(NOT_CONTIG)),
    ("order-x-before-z", with_(x=lambda d: np.asfortranarray(d["x"]), z=lambda d: np.asfortranarray(d["z"])),
     DEFAULT, ValueError, "^X must be C-contiguous$"),
    ("order-z-before-rows", with_(z=lambda d: np.asfortranarray(d["z"]), y=lambda d: d["y"][:-1].copy()),
     DEFAULT, ValueError, "^Z must be C-contiguous$"),
    ("order-rows-before-p", with_(x=lambda d: np.empty((12, 0)), y=lambda d: d["y"][:-1].copy()),
     DEFAULT, ValueError, re.escape(ROWS)),
    ("order-rows-before-m", with_(n_groups=0, codes=lambda d: d["codes"][1:].copy()),
     DEFAULT, ValueError, re.escape(ROWS)),
    ("order-m-before-n", lambda d: with_(n_groups=0)(data(n=0)), DEFAULT, ValueError, "^n_groups must be positive$"),
    ("order-m-before-p", with_(n_groups=0, x=lambda d: np.empty((12, 0))), DEFAULT, ValueError,
     "^n_groups must be positive$"),
    ("order-p-before-q", with_(x=lambda d: np.empty((12, 0)), z=lambda d: np.empty((12, 0))),
     DEFAULT, ValueError, "^X must have at least one column$"),
    ("order-q-before-n", lambda d: with_(z=np.empty((0, 0)))(data(n=0)), DEFAULT, ValueError,
     "^Z must have at least one column$"),
    ("order-n-before-overflow", lambda d: with_(n_groups=2**64 - 1)(data(n=0)), DEFAULT, ValueError,
     "^y must not be empty$"),
    ("order-overflow-before-codes", with_(n_groups=2**63, codes=lambda d: -d["codes"] - 1),
     DEFAULT, ValueError, re.escape(OVERFLOW)),
]


@pytest.mark.parametrize("modify, evaluator, exc, pattern",
                         [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_construct_failures(modify, evaluator, exc, pattern):
    d = modify(data())
    with pytest.raises(exc, match=pattern):
        build(d, evaluator)


@pytest.mark.parametrize("given, shown", [
    ("Blocks", '"Blocks"'), ("AUTO", '"AUTO"'), ("auto ", '"auto "'), ("", '""'),
    ('say "hi"', r'"say \"hi\""'), ("a\\b", r'"a\\b"'), ("a\nb", r'"a\nb"'),
    ("\t", r'"\t"'), ("\r", r'"\r"'),
])
def test_evaluator_message(given, shown):
    with pytest.raises(ValueError) as info:
        build(data(), given)
    assert str(info.value) == EVAL_MSG + shown


@pytest.mark.parametrize("given", ["\x01", "a\x1bb", "\x00", "\x7f"])
def test_evaluator_message_escapes_control_characters(given):
    with pytest.raises(ValueError) as info:
        build(data(), given)
    shown = str(info.value)[len(EVAL_MSG):]
    assert str(info.value).startswith(EVAL_MSG)
    assert shown[0] == shown[-1] == '"' and "\\" in shown
    assert not any(ord(ch) < 0x20 or ord(ch) == 0x7f for ch in shown)


class Index:
    def __index__(self):
        return 3


@pytest.mark.parametrize("modify, shape", [
    (with_(x=lambda d: np.asfortranarray(d["x"][:, :1])), (12, 1, 2, 3)),   # single column, F order
    (with_(z=lambda d: np.asfortranarray(d["z"][:, 1:])), (12, 2, 1, 3)),
    (lambda d: with_(x=np.ones((2, 6))[:1, :3])(data(n=1, q=1, m=1)), (1, 3, 1, 1)),  # one row, any stride
    (with_(n_groups=np.int64(3)), (12, 2, 2, 3)),
    (with_(n_groups=np.uint8(3)), (12, 2, 2, 3)),
    (with_(n_groups=Index()), (12, 2, 2, 3)),
    (with_(n_groups=7), (12, 2, 2, 7)),                                   # empty groups are fine
    (with_(y=lambda d: d["y"].view(type("Sub", (np.ndarray,), {}))), (12, 2, 2, 3)),
])
def test_accepted(modify, shape):
    d = modify(data())
    for a in ("y", "x", "z", "codes"):
        d[a].setflags(write=False)  # read-only arrays are fine
    core = build(d)
    assert (core.n, core.p, core.q, core.m) == shape


@pytest.mark.parametrize("evaluator", ["auto", "blocks", "streaming", "aggregated"])
def test_non_finite_data_accepted(evaluator):
    d = data()
    d["y"][0] = np.nan
    d["x"][1, 1] = np.inf
    d["z"][2, 0] = np.nan
    d["z"][3, 1] = -np.inf
    core = build(d, evaluator)
    assert (core.n, core.p, core.q, core.m) == (12, 2, 2, 3)


@pytest.mark.parametrize("n_groups", [-1, np.int64(-1), -(2**70), 2**64, 2**100])
def test_n_groups_out_of_u64(n_groups):
    with pytest.raises(OverflowError):
        build(with_(n_groups=n_groups)(data()))


@pytest.mark.parametrize("call", [
    lambda d: LmmCore(),
    lambda d: LmmCore(d["y"], d["x"], d["z"], d["codes"]),
    lambda d: LmmCore(d["y"], d["x"], d["z"], d["codes"], 3, "auto", 1),
    lambda d: LmmCore(d["y"], d["x"], d["z"], d["codes"], 3, kernel="blocks"),
    lambda d: LmmCore(d["y"], d["x"], d["z"], d["codes"], 3, y=d["y"]),
    lambda d: LmmCore(d["y"], d["x"], d["z"], d["codes"], 3, "auto", evaluator="auto"),
], ids=["none", "missing", "surplus", "unknown-kw", "twice", "twice-evaluator"])
def test_binding_errors(call):
    with pytest.raises(TypeError):
        call(data())


def test_keywords_bind():
    d = data()
    core = LmmCore(evaluator="streaming", n_groups=3, codes=d["codes"], z=d["z"],
                   x=d["x"], y=d["y"])
    assert (core.evaluator, core.n, core.m) == ("streaming", 12, 3)


def test_parallel_route_reports_first_bad_code():
    # 50000 rows of p = q = 1 exceed the single-thread threshold of row work
    d = data(n=50000, p=1, q=1, m=4)
    d["codes"][30000] = 9
    d["codes"][40000] = -2
    d["codes"][45000] = 4
    with pytest.raises(ValueError, match="^" + re.escape("group code 9 out of range 0..4") + "$"):
        build(d)


@pytest.mark.parametrize("n_groups", [10**12, (2**64 - 1) // 6])
def test_huge_n_groups_fails_cleanly(n_groups):
    limit = address_limit(32)
    code = textwrap.dedent(f"""
        {limit}
        import numpy as np
        from corvane._corvane import LmmCore
        try:
            LmmCore(np.ones(2), np.ones((2, 1)), np.ones((2, 1)),
                    np.zeros(2, np.int64), {n_groups})
        except (MemoryError, ValueError) as e:
            print("raised", type(e).__name__)
        else:
            print("constructed")
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True,
                          text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.startswith("raised "), proc.stdout
    assert proc.stderr == ""


def test_wide_x_fails_with_memory_error_before_allocating():
    # X'X of 60000 columns (and its chunk partials) cannot fit in memory even
    # though the input row is only 480 KB: MemoryError, not a killed process.
    limit = address_limit(32)
    code = textwrap.dedent(f"""
        {limit}
        import numpy as np
        from corvane._corvane import LmmCore
        try:
            LmmCore(np.ones(1), np.ones((1, 60000)), np.ones((1, 1)), np.zeros(1, np.int64), 1)
        except MemoryError:
            print("raised MemoryError")
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "raised MemoryError"
