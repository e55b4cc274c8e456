"""A new response on a prepared design, and the conditional covariances.

Usage: python bench/derived.py [--repeat N]

Prints, with the full pool: the time of `with_response` against a fresh
construction for n = 10**7, m = 10**5, q = 2 and p = 5 and p = 20 (median,
min-max, and the ratio), and the time of `conditional_covariances` for
m = 10**6 groups, q = 2 (with the `deviance` evaluation it includes).
"""

import argparse
import os
import platform
import statistics
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
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
            print("%4d %-16s %-28s %-28s %7.2fx" % (
                p, label, fmt(build), fmt(swap), statistics.median(build) / statistics.median(swap)))
            del core, z
        del y, x, y2, designs

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
