"""A new response on a prepared design, and the conditional covariances.

Usage: python bench/derived.py [--repeat N]

Prints, with the full pool:
- the time of `with_response` against a fresh construction for n = 10**7,
  m = 10**5, q = 2 and p = 5 and p = 20 (median, min-max, and the ratio; goal
  <= 0.5x), and the memory each new response adds (goal <= 2*m*q doubles +
  1 MB: the design's products are shared, not copied);
- the resident memory a `deviance_grad` leaves behind at m = 2*10**5, p = 10,
  q = 3 (the blocks kernel's 78 MiB gradient workspace is not kept between
  calls), with the time per call;
- the time of `conditional_covariances` for m = 10**6 groups, q = 2 (with the
  `deviance` evaluation it includes).
Memory figures come from child processes (VmRSS).
"""

import argparse
import os
import platform
import statistics
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import in_child, vm_kb  # noqa: E402
from evaluate import make_arrays  # noqa: E402


def timed(fn, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return times


def fmt(ts):
    return "%8.3f s (%.3f-%.3f)" % (statistics.median(ts), min(ts), max(ts))


def response_memory(evaluator, m=10**5, per=100, p=5, q=2, copies=5):
    """MiB of resident memory each kept new response adds (child process)."""
    from corvane import LmmCore

    rng = np.random.default_rng(11)
    n = m * per
    codes = np.repeat(np.arange(m, dtype=np.int64), per)
    x = rng.standard_normal((n, p))
    t = np.tile(np.arange(per, dtype=np.float64), m) if evaluator == "aggregated" else rng.uniform(0, 10, n)
    z = np.column_stack([np.ones(n), t])
    y = x[:, 0] + rng.standard_normal(n)
    core = LmmCore(y, x, z, codes, m, evaluator=evaluator)
    before = vm_kb("VmRSS")
    kept = [core.with_response(y * (k + 2.0), x, z, codes) for k in range(copies)]
    added = (vm_kb("VmRSS") - before) / 1024 / len(kept)
    design_mib = 8 * m * (q * q + q * p) / 2**20
    return dict(added=added, design=design_mib, n_classes=core.n_classes)


def workspace_memory(m=2 * 10**5, p=10, q=3, calls=5):
    """Resident memory left by deviance_grad calls, and their time (child)."""
    from corvane import LmmCore

    rng = np.random.default_rng(12)
    n = 3 * m
    codes = np.repeat(np.arange(m, dtype=np.int64), 3)
    core = LmmCore(rng.standard_normal(n), rng.standard_normal((n, p)), rng.standard_normal((n, q)),
                   codes, m, evaluator="blocks")
    theta = [1.0, 0.1, 0.0, 1.0, 0.2, 1.0]
    before = vm_kb("VmRSS")
    times = timed(lambda: core.deviance_grad(theta), calls)
    return dict(left=(vm_kb("VmRSS") - before) / 1024, times=times,
                workspace=8 * m * q * (p + 1 + 2 * q) / 2**20, design=8 * m * (q * q + q * p) / 2**20)


def main():
    from corvane import LmmCore

    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()
    print("machine: %s, %d CPUs available, Python %s, NumPy %s"
          % (platform.machine(), len(os.sched_getaffinity(0)), platform.python_version(), np.__version__))

    print("\nwith_response against a fresh construction (n = 10**7 rows, m = 10**5, q = 2)")
    print("%4s %-16s %-28s %-28s %8s" % ("p", "evaluator", "construction", "with_response", "speed-up"))
    for p in (5, 20):
        m, n = 10**5, 10**7
        rng = np.random.default_rng(p)
        x = rng.standard_normal((n, p))
        y = x[:, 0] + rng.standard_normal(n)
        y2 = y + 1.0
        # blocks: unequal groups with random times; aggregated: a balanced
        # design (100 rows per group at the same times), i.e. one class.
        designs = {
            "blocks": (np.sort(rng.integers(0, m, size=n)).astype(np.int64), rng.uniform(0.0, 10.0, n)),
            "aggregated": (np.repeat(np.arange(m, dtype=np.int64), n // m),
                           np.tile(np.arange(n // m, dtype=np.float64), m)),
        }
        for evaluator, (codes, t) in designs.items():
            z = np.column_stack([np.ones(n), t])
            build = timed(lambda: LmmCore(y, x, z, codes, m, evaluator=evaluator), args.repeat)
            core = LmmCore(y, x, z, codes, m, evaluator=evaluator)
            swap = timed(lambda: core.with_response(y2, x, z, codes), args.repeat)
            label = core.evaluator + ("" if core.n_classes is None else " (%d)" % core.n_classes)
            print("%4d %-16s %-28s %-28s %7.2fx  (with_response at %.2fx of construction)" % (
                p, label, fmt(build), fmt(swap), statistics.median(build) / statistics.median(swap),
                statistics.median(swap) / statistics.median(build)))
            del core, z
        del y, x, y2, designs

    print("\nmemory a new response adds (m = 10**5, 100 rows per group, p = 5, q = 2; 5 kept, child process)")
    limit = (2 * 10**5 * 2 * 8) / 2**20 + 1.0
    for evaluator in ("blocks", "aggregated"):
        r = in_child("derived", "response_memory", evaluator)
        print("  %-10s %6.2f MiB per new response (goal <= 2*m*q doubles + 1 MB = %.2f MiB; "
              "the design's products: %.1f MiB)" % (evaluator, r["added"], limit, r["design"]))

    print("\nresident memory left by deviance_grad, m = 2*10**5, p = 10, q = 3 (child process)")
    w = in_child("derived", "workspace_memory")
    print("  after 5 calls: %+.1f MiB (the gradient workspace is %.1f MiB, the design's products %.1f MiB); "
          "per call %s" % (w["left"], w["workspace"], w["design"], fmt(w["times"])))

    print("\nconditional_covariances, m = 10**6 groups of 10 rows, p = 5, q = 2")
    m = 10**6
    y, x, z, codes = make_arrays(m, 5, 2)
    core = LmmCore(y, x, z, codes, m, evaluator="blocks")
    del y, x, z, codes
    theta = [0.7, 0.1, 0.5]
    dev = timed(lambda: core.deviance(theta), args.repeat)
    cov = timed(lambda: core.conditional_covariances(theta), args.repeat)
    print("  deviance alone            %s" % fmt(dev))
    print("  conditional_covariances   %s   (%.1f ns per group, evaluation included)"
          % (fmt(cov), statistics.median(cov) * 1e9 / m))


if __name__ == "__main__":
    main()
