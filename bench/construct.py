"""Construction speed of LmmCore against a one-pass NumPy read of the same arrays.

Usage: python bench/construct.py [--quick] [--repeat N]

Prints, for each case and for a 1-thread pool and the full pool (each in a
child process, since the pool is sized by the process's CPU affinity): the
construction time (median, min-max), rows per second, effective GB/s over the
input arrays, NumPy's time to read every input array once (sum each), and the
ratio construction / read.
"""

import argparse
import os
import platform
import statistics
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import in_child  # noqa: E402

CASES = {
    # name: (n, p, q, m, layout)
    "sorted codes": (10**7, 5, 2, 10**5, "sorted"),
    "shuffled codes": (10**7, 5, 2, 10**5, "shuffled"),
    "few classes (auto)": (10**7, 5, 2, 10**6, "balanced"),
}


def make_case(n, p, q, m, layout, seed=20261208):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((n, p))
    x[:, 0] = 1.0
    if layout == "balanced":
        # Every group measured at the same times: identical Z_i'Z_i, one class.
        per = n // m
        codes = np.repeat(np.arange(m, dtype=np.int64), per)
        times = np.tile(np.arange(per, dtype=np.float64), m)
    else:
        codes = np.sort(rng.integers(0, m, size=n)).astype(np.int64)
        times = rng.uniform(0.0, 10.0, size=n)
        if layout == "shuffled":
            order = rng.permutation(n)
            codes, times, x = codes[order], times[order], x[order]
    z = np.empty((len(codes), q))
    z[:, 0] = 1.0
    for k in range(1, q):
        z[:, k] = times**k
    y = x @ np.linspace(1.0, 2.0, p) + rng.standard_normal(len(codes))
    return y, np.ascontiguousarray(x), z, codes


def timed(fn, repeat):
    times = []
    result = None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t0)
    return times, result


def run_cases(names, repeat):
    from corvane._corvane import LmmCore

    out = []
    for name in names:
        n, p, q, m, layout = CASES[name]
        y, x, z, codes = make_case(n, p, q, m, layout)
        arrays = (y, x, z, codes)
        nbytes = sum(a.nbytes for a in arrays)
        read_times, _ = timed(lambda: [a.sum() for a in arrays], repeat)
        build_times, core = timed(lambda: LmmCore(y, x, z, codes, m), repeat)
        out.append(
            dict(
                case=name, n=n, p=p, q=q, m=m, bytes=nbytes, build=build_times, read=read_times,
                evaluator=core.evaluator, n_classes=core.n_classes,
            )
        )
        del core, arrays, y, x, z, codes
    return out


def fmt_times(ts):
    return "%8.3f s (%.3f-%.3f)" % (statistics.median(ts), min(ts), max(ts))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--quick", action="store_true", help="one case, 3 repeats")
    args = ap.parse_args()
    names = list(CASES)
    repeat = args.repeat
    if args.quick:
        names, repeat = names[:1], 3

    cpus = len(os.sched_getaffinity(0))
    print("machine: %s, %s, %d CPUs available, Python %s, NumPy %s"
          % (platform.machine(), platform.processor() or platform.node(), cpus,
             platform.python_version(), np.__version__))
    header = "%-20s %7s %-10s %-28s %10s %8s %-28s %7s" % (
        "case", "threads", "evaluator", "construction median (min-max)", "Mrows/s", "GB/s",
        "numpy one-pass read", "ratio")
    print(header)
    print("-" * len(header))
    for threads, one in ((1, True), (cpus, False)):
        for r in in_child("construct", "run_cases", names, repeat, one_thread=one):
            build = statistics.median(r["build"])
            read = statistics.median(r["read"])
            ev = r["evaluator"] + ("" if r["n_classes"] is None else " (%d)" % r["n_classes"])
            print("%-20s %7d %-10s %-28s %10.1f %8.2f %-28s %6.2fx" % (
                r["case"], threads, ev, fmt_times(r["build"]), r["n"] / build / 1e6,
                r["bytes"] / build / 1e9, fmt_times(r["read"]), build / read))
    print("\nn, p, q, m per case: " + "; ".join(
        "%s: %s" % (k, CASES[k][:4]) for k in names))


if __name__ == "__main__":
    main()
