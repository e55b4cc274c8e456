"""Many Python threads on shared cores and on cores being built and dropped,
every answer bit-identical to the single-threaded one; and children made by
fork after the worker pool has run, computing the same bits as the parent.
`pytest -s` prints the thread and call counts."""

import collections
import multiprocessing
import os
import random
import struct
import threading
import time

import numpy as np
import pytest

from corvane._corvane import LmmCore
from conftest import needs_fork, forks_beside_allocating_threads, available_cpus, same, wait_forked

pytestmark = [pytest.mark.native, pytest.mark.serial]

N_THREADS = 8
DURATION = 3.0
N_CPUS = available_cpus()


def bits(v):
    return struct.unpack("<Q", struct.pack("<d", v))[0]


def outcome(f):
    try:
        return ("value", f())
    except Exception as e:  # an exception is an answer too: type and message
        return ("raised", type(e).__name__, str(e))


def design(n, p, q, m, seed):
    rng = np.random.default_rng(seed)
    x = np.ascontiguousarray(np.column_stack([np.ones(n), rng.standard_normal((n, p - 1))]))
    codes = rng.permutation(np.arange(n) % m).astype(np.int64)
    b = rng.standard_normal((m, q))
    zz = rng.standard_normal((n, q))
    y = x @ rng.standard_normal(p) + np.einsum("ij,ij->i", zz, b[codes]) + rng.standard_normal(n)
    return y, x, zz, codes, m


@pytest.fixture(scope="module")
def workload():
    """(name, zero-argument call) pairs covering every method; the big designs
    (m = 20000 groups) run their loops on the worker pool."""
    small = design(300, 3, 2, 12, seed=1)
    big = design(60000, 2, 2, 20000, seed=2)
    big1 = design(40000, 2, 1, 20000, seed=3)
    bad_codes = small[3].copy()
    bad_codes[-1] = 12
    y_new = small[0][::-1].copy()
    cores = {}
    for label, data in (("small", small), ("big", big), ("big q=1", big1)):
        for ev in ("blocks", "streaming", "aggregated"):
            cores[f"{label} {ev}"] = LmmCore(*data, ev)
    t2, t1 = [0.9, -0.3, 0.5], [0.6]
    huge2 = [1e300, 0.0, 1e300]
    calls = []
    for name, core in cores.items():
        theta = t1 if core.q == 1 else t2
        calls += [
            (f"{name} deviance", lambda c=core, t=theta: c.deviance(t)),
            (f"{name} deviance ML", lambda c=core, t=theta: c.deviance(t, reml=False)),
            (f"{name} deviance_grad", lambda c=core, t=theta: c.deviance_grad(t)),
            (f"{name} deviance_hessian", lambda c=core, t=theta: c.deviance_hessian(t)),
            (f"{name} conditional_covariances",
             lambda c=core, t=theta: c.conditional_covariances(t)),
            (f"{name} solution", lambda c=core, t=theta: c.solution(t, False)),
            (f"{name} lower_bounds", core.lower_bounds),
            (f"{name} default_theta", core.default_theta),
            (f"{name} wrong length", lambda c=core: c.deviance([1.0] * 4)),
        ]
    for ev in ("blocks", "streaming", "aggregated"):
        s, b = cores[f"small {ev}"], cores[f"big {ev}"]
        calls += [
            (f"small {ev} fit", lambda c=s: c.fit([1.0, 0.0, 1.0, 0.3, 0.1, 0.2], max_iter=60)),
            (f"big {ev} infeasible grad", lambda c=b: c.deviance_grad(huge2)),
            (f"big {ev} infeasible solution", lambda c=b: c.solution(huge2)),
            (f"small {ev} with_response",
             lambda c=s: c.with_response(y_new, *small[1:4]).deviance_grad(t2)),
            (f"small {ev} build and drop",
             lambda e=ev: LmmCore(*small, e).solution(t2)),
            (f"small {ev} failed build", lambda e=ev: LmmCore(*small[:3], bad_codes, 12, e)),
        ]
    # a core replaced from time to time while other threads still use the old one
    slot = [LmmCore(*small, "blocks")]
    calls += [
        ("shared slot replaced", lambda: slot.__setitem__(0, LmmCore(*small, "blocks"))),
        ("shared slot used", lambda: slot[0].deviance_grad(t2)),
        ("big auto build and drop", lambda: LmmCore(*big).deviance_grad(t2)),
        ("big q=1 aggregated build and drop",
         lambda: LmmCore(*big1, "aggregated").deviance_hessian(t1)),
    ]
    return calls


def test_threads_get_the_single_threaded_bits(workload):
    expected = [outcome(call) for _, call in workload]
    again = [outcome(call) for _, call in workload]
    assert all(same(a, b) for a, b in zip(again, expected))   # repeatable on one thread
    counts = collections.Counter()
    failures = []
    start = threading.Barrier(N_THREADS)
    lock = threading.Lock()

    def worker(seed):
        rng = random.Random(seed)
        local = collections.Counter()
        try:
            start.wait()
            deadline = time.monotonic() + DURATION
            while time.monotonic() < deadline:
                i = rng.randrange(len(workload))
                name, call = workload[i]
                if not same(outcome(call), expected[i]):
                    with lock:
                        failures.append(name)
                local[name] += 1
        except BaseException as e:  # pragma: no cover - reported below
            with lock:
                failures.append(f"thread {seed}: {e!r}")
        with lock:
            counts.update(local)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(N_THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=DURATION + 120)
    assert not any(t.is_alive() for t in threads), "a thread never returned"
    total = sum(counts.values())
    on_big = sum(v for k, v in counts.items() if k.startswith("big"))
    print(f"\n{N_THREADS} threads x {DURATION:.0f} s on {N_CPUS} CPUs: {total} calls over "
          f"{len(workload)} kinds ({on_big} on the m = 20000 designs); "
          f"fewest {min(counts.values())} "
          f"({min(counts, key=counts.get)}), most {max(counts.values())} "
          f"({max(counts, key=counts.get)})")
    assert failures == [], collections.Counter(failures).most_common(10)
    assert len(counts) == len(workload)          # every kind of call ran


@pytest.fixture(scope="module")
def fork_core():
    data = design(60000, 2, 2, 20000, seed=4)
    core = LmmCore(*data, "blocks")
    theta = [0.7, 0.2, 0.4]
    return data, core, theta, core.deviance_grad(theta)   # runs on the pool


def _child_answers(data, core, theta):
    """What a forked child computes: the shared core's gradient, a fresh core's
    and a new response's (all reuse the pool after fork)."""
    return (core.deviance_grad(theta), LmmCore(*data, "blocks").deviance_grad(theta),
            LmmCore(*data, "streaming").deviance_grad(theta),
            float(core.conditional_covariances(theta).sum()))


@needs_fork
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_os_fork_child_computes_the_same_bits(fork_core):
    data, core, theta, expected = fork_core
    parent = _child_answers(data, core, theta)
    assert same(parent[0], expected) and same(parent[1], expected)
    pid = os.fork()
    if pid == 0:  # the child never returns into pytest
        code = 3
        try:
            code = 0 if same(_child_answers(data, core, theta), parent) else 1
        except BaseException:
            code = 2
        finally:
            os._exit(code)
    assert wait_forked(pid) == 0
    assert same(_child_answers(data, core, theta), parent)   # the parent is unaffected


_SHARED = {}


def _in_fork_child(k):
    data, core, theta, parent = _SHARED["args"]
    got = _child_answers(data, core, theta)
    if not same(got, parent):
        raise AssertionError(f"child {k}: {got!r} != {parent!r}")
    return k, got


@needs_fork
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_multiprocessing_fork_children(fork_core):
    data, core, theta, expected = fork_core
    parent = _child_answers(data, core, theta)
    _SHARED["args"] = (data, core, theta, parent)
    ctx = multiprocessing.get_context("fork")
    with ctx.Pool(2) as procs:
        got = procs.map_async(_in_fork_child, range(4)).get(timeout=120)
    assert [k for k, _ in got] == [0, 1, 2, 3]
    assert all(same(answers, parent) for _, answers in got)   # and bit-equal after pickling
    proc = ctx.Process(target=_in_fork_child, args=(9,))
    proc.start()
    proc.join(120)
    assert proc.exitcode == 0
    threads = [threading.Thread(target=core.deviance_grad, args=(theta,)) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert same(core.deviance_grad(theta), expected)


@needs_fork
@forks_beside_allocating_threads
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_fork_while_other_threads_compute(fork_core):
    # the children are forked at arbitrary points of the parent's evaluations
    data, core, theta, expected = fork_core
    stream = LmmCore(*data, "streaming")
    stream_expected = stream.deviance_grad(theta)
    stop = threading.Event()

    def busy(c):
        while not stop.is_set():
            c.deviance_grad(theta)
            c.solution(theta)

    threads = [threading.Thread(target=busy, args=(c,)) for c in (core, stream, core)]
    for t in threads:
        t.start()
    codes = []
    try:
        for i in range(8):
            time.sleep(0.002 * i)
            pid = os.fork()
            if pid == 0:
                code = 3
                try:
                    ok = (same(core.deviance_grad(theta), expected)
                          and same(stream.deviance_grad(theta), stream_expected))
                    code = 0 if ok else 1
                except BaseException:
                    code = 2
                finally:
                    os._exit(code)
            codes.append(wait_forked(pid))
    finally:
        stop.set()
        for t in threads:
            t.join(60)
    print(f"\n{len(codes)} children forked while 3 threads computed: exit codes {codes}")
    assert codes == [0] * 8


@needs_fork
@forks_beside_allocating_threads
def test_forks_beside_small_evaluations_never_hang():
    """Children forked while other threads evaluate on the same core, many
    times: an evaluation takes and returns its workspace under the core's
    own lock, so some forks catch a thread holding it; the child must not
    wait for it (a child kept waiting was seen about once in 300 forks)."""
    rng = np.random.default_rng(0)
    n, m = 4000, 400
    x = np.column_stack([np.ones(n), rng.standard_normal(n)])
    codes = rng.integers(0, m, n).astype(np.int64)
    core = LmmCore(rng.standard_normal(n), x, x.copy(), codes, m, "blocks")
    theta = [0.8, 0.1, 0.5]
    expected = core.deviance_grad(theta)
    stop = threading.Event()

    def busy():
        while not stop.is_set():
            core.deviance_grad(theta)
            core.solution(theta)

    threads = [threading.Thread(target=busy) for _ in range(3)]
    for t in threads:
        t.start()
    codes_seen = collections.Counter()
    try:
        for i in range(600):
            time.sleep(0.0005 * (i % 7))
            pid = os.fork()
            if pid == 0:
                try:
                    os._exit(0 if same(core.deviance_grad(theta), expected) else 1)
                finally:
                    os._exit(2)
            codes_seen[wait_forked(pid, deadline_s=30.0)] += 1
    finally:
        stop.set()
        for t in threads:
            t.join(60)
    assert codes_seen == {0: 600}
