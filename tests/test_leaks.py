"""Leaks: every method called many times, succeeding and failing, and cores
built and dropped, with resident memory flat and no reference gained or lost
by the arguments or the results. `pytest -s` prints the figures."""

import ctypes
import gc
import math
import os
import sys

import numpy as np
import pytest

from corvane._corvane import LmmCore
from conftest import UNDER_ASAN, linux_only

# AddressSanitizer quarantines freed memory, so resident memory and the C
# heap are not flat under it; its own checks cover memory errors there.
pytestmark = [pytest.mark.native,
              pytest.mark.skipif(UNDER_ASAN, reason="memory figures are not meaningful under ASan"), linux_only]

PAGE = os.sysconf("SC_PAGE_SIZE") if hasattr(os, "sysconf") else 4096
RSS_TOLERANCE = 1 << 20      # resident growth allowed in a batch of calls
HEAP_TOLERANCE = 16 << 10    # malloc'ed bytes allowed in a batch of calls


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks "
                "keepcost".split()]


try:  # glibc: bytes in use on the C heap, exact, all threads' arenas included
    _mallinfo2 = ctypes.CDLL(None).mallinfo2
    _mallinfo2.restype = _MallInfo2
except (OSError, AttributeError, TypeError):  # not glibc (macOS, musl, Windows)
    _mallinfo2 = None


def heap():
    if _mallinfo2 is None:
        return 0
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


def design(n, p, q, m, seed=0):
    rng = np.random.default_rng(seed)
    x = np.ascontiguousarray(np.column_stack([np.ones(n), rng.standard_normal((n, p - 1))]))
    return (rng.standard_normal(n), x, rng.standard_normal((n, q)),
            rng.permutation(np.arange(n) % m).astype(np.int64), m)


class Raises:
    def __float__(self):
        raise TypeError("x" * 20000)     # a large message: a leaked one shows


def _raises(f, exc):
    def call():
        try:
            f()
        except exc:
            return
        raise AssertionError(f"{exc.__name__} not raised")
    return call


def measure(label, call, n_calls):
    """Warm up, then three batches of n_calls; a leak grows every batch, a
    one-off allocation (a cache, an arena) only one. Asserts and prints."""
    for _ in range(max(20, n_calls // 4)):
        call()
    gc.collect()
    objects = len(gc.get_objects())
    marks = [(rss(), heap())]
    for _ in range(3):
        for _ in range(n_calls):
            call()
        gc.collect()
        marks.append((rss(), heap()))
    d_objects = len(gc.get_objects()) - objects
    rss_growth = [b[0] - a[0] for a, b in zip(marks, marks[1:])]
    heap_growth = [b[1] - a[1] for a, b in zip(marks, marks[1:])]
    print(f"  {label:<42} {3 * n_calls:>5} calls  rss {marks[0][0] / 2**20:6.1f} -> "
          f"{marks[-1][0] / 2**20:6.1f} MB  heap {marks[-1][1] - marks[0][1]:+8d} B  "
          f"gc objects {d_objects:+d}")
    assert min(rss_growth) < RSS_TOLERANCE, (label, rss_growth)
    assert min(heap_growth) < HEAP_TOLERANCE, (label, heap_growth)
    assert d_objects < 20, (label, d_objects)


def refcounts(*objects):
    gc.collect()   # garbage cycles (caught exceptions and their frames) go first
    return [sys.getrefcount(o) for o in objects]


def check_owned(result):
    """A fresh result is referenced only by its holder (and getrefcount's argument)."""
    assert sys.getrefcount(result) == 3, type(result)   # caller, parameter, argument
    items = (list(result.values()) if isinstance(result, dict) else
             list(result) if isinstance(result, (list, tuple)) else [])
    for item in items:
        if isinstance(item, (float, list, tuple, np.ndarray, str)):
            # the container's slot, the list `items`, the loop variable, the argument
            assert sys.getrefcount(item) == 4, (type(result), type(item))


@pytest.fixture(scope="module")
def small():
    data = design(60, 2, 2, 6, seed=1)
    return data, {ev: LmmCore(*data, ev) for ev in ("blocks", "streaming", "aggregated")}


@pytest.fixture(scope="module")
def medium():
    data = design(20000, 2, 2, 5000, seed=2)
    return data, {ev: LmmCore(*data, ev) for ev in ("blocks", "streaming", "aggregated")}


def method_workloads(core, theta, starts, q1core):
    bad_len, bad_nan = theta[:-1], [math.nan] * len(theta)
    huge = [1e300] * len(theta)          # infeasible: overflow in the factorisation
    return [
        ("deviance", lambda: core.deviance(theta)),
        ("deviance ML", lambda: core.deviance(theta, reml=False)),
        ("deviance_grad", lambda: core.deviance_grad(theta)),
        ("deviance_grad infeasible", lambda: core.deviance_grad(huge)),
        ("deviance_hessian q=1", lambda: q1core.deviance_hessian([0.7])),
        ("deviance_hessian q=2 (None)", lambda: core.deviance_hessian(theta)),
        ("conditional_covariances", lambda: core.conditional_covariances(theta)),
        ("solution", lambda: core.solution(theta, False)),
        ("lower_bounds", core.lower_bounds),
        ("default_theta", core.default_theta),
        ("deviance: wrong length", _raises(lambda: core.deviance(bad_len), ValueError)),
        ("deviance_grad: not finite", _raises(lambda: core.deviance_grad(bad_nan), ValueError)),
        ("solution: infeasible", _raises(lambda: core.solution(huge), RuntimeError)),
        ("conditional_covariances: infeasible",
         _raises(lambda: core.conditional_covariances(huge), RuntimeError)),
        ("deviance_hessian: raising item",
         _raises(lambda: core.deviance_hessian([Raises()] * 3), TypeError)),
        ("deviance: str theta", _raises(lambda: core.deviance("1.0"), TypeError)),
        ("deviance_grad: reml not bool", _raises(lambda: core.deviance_grad(theta, 1), TypeError)),
        ("solution: binding error",
         _raises(lambda: core.solution(theta, reml=True, x=1), TypeError)),
        ("fit: bad starts", _raises(lambda: core.fit(starts[:-1]), ValueError)),
        ("fit: max_iter negative", _raises(lambda: core.fit(starts, max_iter=-1), OverflowError)),
        ("fit: every start infeasible", _raises(lambda: core.fit(huge, max_iter=2), RuntimeError)),
    ]


def test_methods_do_not_leak(small):
    (y, x, z, codes, m), cores = small
    core = cores["blocks"]
    q1 = LmmCore(y, x, z[:, :1].copy(), codes, m, "aggregated")
    theta = [0.8, -0.2, 0.6]
    starts = [1.0, 0.0, 1.0, 0.5, 0.1, 0.4]
    watched = [theta, *theta, starts, *starts, y, x, z, codes]
    counts = refcounts(*watched)
    print("\nsmall design (n=60, m=6, q=2), 'blocks':")
    for label, call in method_workloads(core, theta, starts, q1):
        result = call()
        if result is not None:
            check_owned(result)
        del result
        measure(label, call, 1000)
    measure("fit (2 starts)", lambda: core.fit(starts), 100)
    result = core.fit(starts)
    check_owned(result)
    assert refcounts(*watched) == counts


@pytest.mark.parametrize("evaluator", ["blocks", "streaming", "aggregated"])
def test_large_buffers_are_released(medium, evaluator):
    # m = 5000 groups: a lost per-call buffer (workspace, u, the covariance
    # output, the design of a new core) costs tens of kilobytes per call
    data, cores = medium
    core = cores[evaluator]
    theta = np.array([0.8, -0.2, 0.6])
    counts = refcounts(theta, *data[:4])
    print(f"\nmedium design (n=20000, m=5000, q=2), {evaluator!r} "
          f"(n_classes={core.n_classes}):")
    y2 = data[0] * 2.0
    for label, call, n in [
        ("deviance_grad", lambda: core.deviance_grad(theta), 100),
        ("solution", lambda: core.solution(theta), 60),
        ("conditional_covariances", lambda: core.conditional_covariances(theta), 60),
        ("with_response (dropped)", lambda: core.with_response(y2, *data[1:4]), 30),
        ("with_response: codes differ",
         _raises(lambda: core.with_response(y2, data[1], data[2], data[3][::-1].copy()),
                 ValueError), 30),
    ]:
        measure(label, call, n)
    after = refcounts(theta, *data[:4])   # outside the assert: its rewriting keeps data[:4]
    assert after == counts


def test_constructing_and_dropping_cores(small):
    (y, x, z, codes, m), _ = small
    big = design(20000, 2, 2, 5000, seed=3)
    bad_tail = big[3].copy()
    bad_tail[-1] = 5000                     # found after the blocks are allocated
    evaluator = "".join(["agg", "regated"])  # a str of our own, to count its references
    n_groups = np.int64(m)
    watched = [y, x, z, codes, evaluator, n_groups, *big[:4], bad_tail]
    counts = refcounts(*watched)
    x_fortran = np.asfortranarray(x)
    print("\nconstruction:")
    for label, call, n in [
        ("LmmCore small (auto)", lambda: LmmCore(y, x, z, codes, n_groups), 800),
        ("LmmCore small (aggregated)", lambda: LmmCore(y, x, z, codes, m, evaluator), 800),
        ("LmmCore m=5000 (dropped)", lambda: LmmCore(*big, "blocks"), 30),
        ("LmmCore m=5000 (auto) + deviance",
         lambda: LmmCore(*big).deviance([1.0, 0.0, 1.0]), 30),
        ("fails: code out of range after allocation",
         _raises(lambda: LmmCore(*big[:3], bad_tail, 5000, evaluator), ValueError), 30),
        ("fails: x dtype", _raises(lambda: LmmCore(y, x.astype(np.float32), z, codes, m),
                                   TypeError), 800),
        ("fails: X not C-contiguous", _raises(lambda: LmmCore(y, x_fortran, z, codes, m),
                                              ValueError), 800),
        ("fails: n_groups = 2**40", _raises(lambda: LmmCore(y, x, z, codes, 2 ** 40),
                                            MemoryError), 800),
        ("fails: evaluator string", _raises(lambda: LmmCore(y, x, z, codes, m, "b" * 20000),
                                            ValueError), 800),
        ("fails: binding", _raises(lambda: LmmCore(y, x, z, codes, m, y=y), TypeError), 800),
    ]:
        measure(label, call, n)
    assert refcounts(*watched) == counts


def test_accumulator_arrays_own_their_blocks():
    """to_arrays hands its per-group blocks to NumPy without a copy: the
    arrays outlive the accumulator, are its products at the call (later
    batches change neither), are writeable and are freed with them."""
    from corvane._corvane import Accumulator

    y, x, z, codes, m = design(20000, 2, 2, 5000, seed=4)
    acc = Accumulator(2, 2)
    acc.add(y, x, z, codes)
    first = acc.to_arrays()
    kept = {k: first[k].copy() for k in ("ztz", "ztx", "zty")}
    acc.add(y, x, z, codes)  # the accumulator goes on with its own blocks
    for k, v in kept.items():
        assert np.array_equal(first[k], v) and first[k].flags.writeable and first[k].flags.c_contiguous
        np.testing.assert_allclose(acc.to_arrays()[k], 2 * v, rtol=1e-12, atol=1e-12)
    del acc
    first["ztz"][0, 0, 0] += 1.0  # still valid memory
    assert first["ztz"].base is not None  # the owner of the moved buffer
    fresh = Accumulator(2, 2)
    fresh.add(y, x, z, codes)
    print("\naccumulator arrays:")
    measure("to_arrays, m=5000 (dropped)", lambda: fresh.to_arrays(), 200)
