"""Long calls under real conditions, each in a child interpreter: Ctrl-C stops
them promptly and leaves the core usable, daemon threads inside any method do
not abort the interpreter's exit, and allocation failures on any thread end in
MemoryError."""

import json
import sys

import pytest

from conftest import UNDER_ASAN, posix_only, run_child

pytestmark = [pytest.mark.native, pytest.mark.serial]

# Sizes that make every call take well over a second on the development
# machine, so that an interrupt can only arrive inside the call.
WORKLOADS = r"""
import json, os, signal, threading, time
import numpy as np
import corvane
from corvane import LmmCore

rng = np.random.default_rng(0)
n, p = 20000, 400
X = rng.standard_normal((n, p))
y = rng.standard_normal(n)
ones = np.ones((n, 1))
z = rng.standard_normal((n, 1))
one_per_group = np.arange(n, dtype=np.int64)
few_groups = one_per_group % 2000
aggregated = LmmCore(y, X, ones, one_per_group, n)          # one class of 20000 groups
blocks = LmmCore(y, X, z, few_groups, 2000, "blocks")
streaming = LmmCore(y, X, np.column_stack([z, ones]), few_groups, 2000, "streaming")
gx = np.ascontiguousarray(np.column_stack([ones, z]))
gy = (rng.random(n) < 0.4).astype(float)
glmm = corvane.GlmmCore(gy, gx, gx, few_groups, 2000, np.ones(n), np.zeros(n), "binomial", "logit")

# A repeated-measures trial with scattered missing visits (many patterns).
subject = np.repeat(np.arange(40000, dtype=np.int64), 10)
visit = np.tile(np.arange(10, dtype=np.int64), 40000)
keep = rng.random(subject.size) < 0.8
mx = np.ascontiguousarray(np.column_stack([np.ones(keep.sum()), rng.standard_normal((keep.sum(), 3))]))
my = rng.standard_normal(keep.sum())
mmrm_args = (my, mx, subject[keep], visit[keep], np.zeros(keep.sum(), np.int64), 40000, 10, 1, "us")
mmrm = corvane.MmrmCore(*mmrm_args)
mtheta = [0.0] * 10 + [0.1] * 45

calls = {
    "construction": lambda: LmmCore(y, X, z, few_groups, 2000, "blocks"),
    "mmrm_construction": lambda: corvane.MmrmCore(*mmrm_args),
    "mmrm_evaluate": lambda: mmrm.evaluate(mtheta, True, 2),
    "mmrm_fit": lambda: mmrm.fit(mtheta),
    "with_response": lambda: aggregated.with_response(y, X, ones, one_per_group),
    "fit": lambda: blocks.fit([0.1, 0.5, 2.0, 5.0] * 50, max_iter=1000),
    "fit_newton": lambda: blocks.fit_newton([0.1, 0.5, 2.0, 5.0] * 50),
    "deviance_grad": lambda: streaming.deviance_grad([1.0, 0.0, 1.0]),
    "solution": lambda: streaming.solution([1.0, 0.0, 1.0]),
    "fit_responses": lambda: blocks.fit_responses(np.tile(y, (64, 1)), X, z, few_groups),
    "glmm_fit": lambda: glmm.fit(),
    "glmm_quadrature": lambda: glmm.evaluate([1.0, 0.0, 1.0], [0.0, 0.0], nagq=20),
    "glmm_fit_responses": lambda: glmm.fit_responses(np.tile(gy, (16, 1)), [1.0, 0.0, 1.0], [0.0, 0.0]),
}
"""


@posix_only
@pytest.mark.parametrize("threads", [None, 1])
def test_ctrl_c_stops_long_calls(threads):
    """SIGINT inside every long call raises KeyboardInterrupt and leaves the
    core as it was. How soon it arrives depends on the machine's load and is
    measured by bench/signals.py; a call that never stops shows as the child
    not finishing."""
    out = run_child(WORKLOADS + rf"""
corvane.set_num_threads({threads!r})
before = blocks.deviance([0.7])
report = {{}}
for name, call in calls.items():
    def fire():
        time.sleep(0.1)
        os.kill(os.getpid(), signal.SIGINT)
    threading.Thread(target=fire, daemon=True).start()
    try:
        while True:
            call()
    except KeyboardInterrupt:
        report[name] = True
report["usable"] = blocks.deviance([0.7]) == before and blocks.fit([1.0])["converged"]
print(json.dumps(report))
""", timeout=600)
    report = json.loads(out)
    assert report.pop("usable") is True
    assert sorted(report) == sorted(["construction", "with_response", "fit", "fit_newton", "deviance_grad",
                                     "solution", "fit_responses", "glmm_fit", "glmm_quadrature",
                                     "glmm_fit_responses", "mmrm_construction", "mmrm_evaluate", "mmrm_fit"])


@posix_only
def test_a_handler_that_does_not_raise_lets_the_call_finish():
    out = run_child(WORKLOADS + r"""
seen = []
signal.signal(signal.SIGINT, lambda *args: seen.append(1))
threading.Timer(0.1, os.kill, (os.getpid(), signal.SIGINT)).start()
r = blocks.fit([0.1, 0.5], max_iter=1000)
print(json.dumps([len(seen), r["converged"]]))
""", timeout=300)
    assert json.loads(out) == [1, True]


@pytest.mark.parametrize("delay", [0.05, 0.2, 0.4, 0.7, 1.0])
def test_interpreter_exits_with_daemon_threads_inside_methods(delay):
    # Each daemon thread loops over one method; the main thread returns while
    # they are inside the core, and the interpreter must exit normally.
    run_child(r"""
import threading, time
import numpy as np
from corvane import LmmCore
rng = np.random.default_rng(0)
n, m = 200_000, 20_000
codes = rng.integers(0, m, n).astype(np.int64)
X = np.column_stack([np.ones(n), rng.standard_normal((n, 3))])
Z = np.column_stack([np.ones(n), rng.standard_normal(n)])
y = X.sum(1) + rng.standard_normal(n)
core = LmmCore(y, X, Z, codes, m, "blocks")
agg = LmmCore(y, X, np.ones((n, 1)), codes, m)
jobs = [
    lambda: core.fit([1.0, 0.0, 1.0]),
    lambda: LmmCore(y, X, Z, codes, m),
    lambda: core.deviance_grad([1.0, 0.0, 1.0]),
    lambda: core.with_response(y, X, Z, codes),
    lambda: core.solution([1.0, 0.0, 1.0]),
    lambda: core.conditional_covariances([1.0, 0.0, 1.0]),
    lambda: agg.deviance_hessian([1.0]),
]
def loop(job):
    while True:
        job()
for job in jobs:
    threading.Thread(target=loop, args=(job,), daemon=True).start()
time.sleep(%r)
""" % delay, timeout=120)


# ---------------------------------------------------------------- memory limits

pytestmark_limits = pytest.mark.skipif(
    UNDER_ASAN or not sys.platform.startswith("linux"),
    reason="address-space limits need Linux and cannot be combined with ASan")

LIMITED = r"""
import resource, sys
import numpy as np
import corvane
from corvane import LmmCore
corvane.set_num_threads({threads!r})
rng = np.random.default_rng(0)
m, q, p = 100_000, 3, 10
n = 3 * m
codes = rng.integers(0, m, n).astype(np.int64)
X = rng.standard_normal((n, p))
Z = rng.standard_normal((n, q))
y = rng.standard_normal(n)
small = LmmCore(y[:20000], X[:20000], Z[:20000], codes[:20000] % 500, 500)
small.deviance_grad([1.0, 0, 0, 1.0, 0, 1.0])          # the pool exists before the limit
used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (used + {extra_mib} * 2**20, resource.RLIM_INFINITY))
theta = [1.0, 0.0, 0.0, 1.0, 0.0, 1.0]
outcome = "ok"
try:
    core = LmmCore(y, X, Z, codes, m, {evaluator!r})
    core.deviance_grad(theta)
    core.solution(theta)
    core.conditional_covariances(theta)
    core.with_response(y, X, Z, codes).deviance(theta)
except MemoryError:
    outcome = "MemoryError"
# The interpreter is alive and the core still works once memory is back.
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
assert np.isfinite(small.deviance(theta))
print(outcome)
"""


@pytestmark_limits
@pytest.mark.parametrize("threads", [None, 1])
@pytest.mark.parametrize("evaluator", ["blocks", "streaming", "aggregated", "auto"])
@pytest.mark.parametrize("extra_mib", [8, 40, 90, 200])
def test_allocation_failure_is_memory_error(evaluator, extra_mib, threads):
    out = run_child(LIMITED.format(evaluator=evaluator, extra_mib=extra_mib, threads=threads))
    assert out.strip() in ("ok", "MemoryError")


@pytestmark_limits
def test_allocation_failure_on_pool_workers_is_memory_error():
    out = run_child(r"""
import resource
import corvane._corvane_tests as t
# Every worker must have run an item before the limit: a worker's first
# touch of the module's thread-local data allocates it, which under the limit
# makes the C library abort; on a busy machine the caller can finish a small
# map before a new worker is even scheduled.
for _ in range(10000):
    if t.pool_alloc(64, 1000) >= t.pool_threads():
        break
used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (used + 64 * 2**20, resource.RLIM_INFINITY))
try:
    t.pool_alloc(64, 2**30)          # every item, on every thread, fails
    print("no error")
except MemoryError:
    print("MemoryError", t.pool_alloc(64, 1000) >= 1)
""")
    assert out.split() == ["MemoryError", "True"]


@pytestmark_limits
def test_repeated_measures_allocation_failure_is_memory_error():
    """A design whose patterns' products cannot be held (p = 3000: 55 visit
    pairs of 9e6 doubles) fails with MemoryError, and the core works once
    memory is back."""
    out = run_child(r"""
import resource
import numpy as np
from corvane import MmrmCore
rng = np.random.default_rng(1)
small = MmrmCore(rng.standard_normal(40), np.ones((40, 1)), np.repeat(np.arange(10), 4), np.tile(np.arange(4), 10),
                 np.zeros(40, np.int64), 10, 4, 1, "cs")
used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (used + 200 * 2**20, resource.RLIM_INFINITY))
try:
    MmrmCore(rng.standard_normal(20), rng.standard_normal((20, 3000)), np.repeat(np.arange(2), 10),
             np.tile(np.arange(10), 2), np.zeros(20, np.int64), 2, 10, 1, "us")
    print("no error")
except MemoryError:
    print("MemoryError")
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
print(np.isfinite(small.evaluate([0.0, 0.0], True, 0)["criterion"]))
""")
    assert out.split() == ["MemoryError", "True"]
