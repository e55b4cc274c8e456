"""Shared helpers: running code in a child interpreter, optionally pinned to one CPU.

The worker pool is sized from the CPU affinity read on its first use, so a child
that restricts its affinity before importing corvane gets a one-thread pool.
"""

import os
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest


LINUX = sys.platform.startswith("linux")
needs_fork = pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
linux_only = pytest.mark.skipif(not LINUX, reason="needs Linux (/proc, RLIMIT_AS)")
posix_only = pytest.mark.skipif(os.name != "posix", reason="needs POSIX signals")


def available_cpus():
    """CPUs this process may run on (its affinity mask where there is one)."""
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else (os.cpu_count() or 1)


# Test files that exercise internals through the test-only module: left out
# when it is not built (an installed wheel has only the package).
try:
    import corvane._corvane_tests  # noqa: F401
except ImportError:
    collect_ignore = [name for name in os.listdir(os.path.dirname(__file__))
                      if name.endswith(".py") and name.startswith("test_")
                      and "_corvane_tests" in open(os.path.join(os.path.dirname(__file__), name)).read()]


# Under `make test-sanitize` the AddressSanitizer runtime is preloaded. It
# reserves terabytes of address space (so RLIMIT_AS cannot be used) and
# quarantines freed memory (so resident-memory leak checks do not apply).
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")

# A child forked while other threads allocate may inherit a lock of the
# AddressSanitizer allocator held by one of them: GCC 12's runtime takes no
# fork handlers, so the child's first allocation waits forever inside the
# sanitizer. The ordinary builds (glibc's allocator is fork-safe) run these.
forks_beside_allocating_threads = pytest.mark.skipif(
    UNDER_ASAN, reason="the AddressSanitizer allocator is not fork-safe while other threads allocate")

# A child-process prelude that limits the address space, so that a missing
# size check fails fast instead of taking the machine; empty under ASan.
def address_limit(gib):
    if UNDER_ASAN or not LINUX:
        return ""
    return "import resource; resource.setrlimit(resource.RLIMIT_AS, (%d << 30, %d << 30))" % (gib, gib)


def _float_bits(v):
    return np.array([v], dtype=np.float64).view(np.uint64)[0]


def same(a, b):
    """Equal bit for bit: floats by their bits (NaNs included), arrays by the
    bits of their elements, containers item by item."""
    if isinstance(a, float) and isinstance(b, float):
        return _float_bits(a) == _float_bits(b)
    if isinstance(a, (list, tuple)):
        return (type(a) is type(b) and len(a) == len(b)
                and all(same(u, v) for u, v in zip(a, b)))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, np.ndarray):
        return (a.shape == b.shape and a.dtype == b.dtype
                and np.array_equal(a.view(np.uint64), b.view(np.uint64)))
    return type(a) is type(b) and a == b


def wait_forked(pid, deadline_s=60.0):
    """Exit code of a forked child, failing the test if it does not finish in
    time (a deadlock in the pool after fork would hang it)."""
    end = time.monotonic() + deadline_s
    while time.monotonic() < end:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    os.kill(pid, 9)
    os.waitpid(pid, 0)
    pytest.fail("forked child did not finish (deadlock in the pool after fork?)")


def run_child(code: str, one_thread: bool = False, timeout: float = 120.0) -> str:
    """Run `code` in a fresh interpreter and return its stdout.

    With one_thread the child pins itself to CPU 0 before anything else runs.
    Raises AssertionError carrying the child's stderr when it exits non-zero.
    """
    prelude = "import os\n"
    if one_thread:
        # Pinned to one CPU where the system has affinity masks (the pool is
        # then sized 1 from the start); elsewhere the thread count is set.
        prelude += ("if hasattr(os, 'sched_setaffinity'):\n    os.sched_setaffinity(0, {0})\n"
                    "else:\n    import corvane; corvane.set_num_threads(1)\n")
    proc = subprocess.run(
        [sys.executable, "-c", prelude + textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    if proc.returncode != 0:
        raise AssertionError(
            f"child exited with {proc.returncode}\n--- stderr ---\n{proc.stderr}"
        )
    return proc.stdout


@pytest.fixture
def child_arrays(tmp_path):
    """Call as child_arrays(code, inputs, one_thread) -> dict of arrays.

    The child sees `inp`, a dict of the input arrays, and fills the dict `out`
    with arrays (or scalars), which come back through an .npz file.
    """

    def call(code: str, inputs: dict, one_thread: bool = False) -> dict:
        src, dst = tmp_path / "in.npz", tmp_path / "out.npz"
        np.savez(src, **inputs)
        run_child(
            f"import numpy as np\n"
            f"with np.load({str(src)!r}) as f:\n"
            f"    inp = {{k: f[k] for k in f.files}}\n"
            f"out = {{}}\n"
            f"{textwrap.dedent(code)}\n"
            f"np.savez({str(dst)!r}, **out)\n",
            one_thread=one_thread,
        )
        with np.load(dst) as f:
            return {k: f[k] for k in f.files}

    return call
