"""Time per evaluation of the profiled criterion and its gradient.

Usage: python bench/evaluate.py [--quick] [--skip-scaling] [--skip-kernels]

Part 1 (blocks kernel): for m = 10**3, 10**4, 10**5 groups (10 rows each) and
(p, q) = (3, 1), (5, 2), (4, 3), the time per `deviance` and `deviance_grad`
call (median over repeated calls, min-max), nanoseconds per group, and the
per-group cost units of the chunking rule evaluated per nanosecond, for a
1-thread pool and the full pool (each in a child process: the pool is sized by
CPU affinity).

Part 2 (the three kernels, p = 5, q = 2, full pool): time per `deviance_grad`
(a) when the groups share 20 distinct Z_i'Z_i (m = 10**4, 10**5, 10**6) and
(b) when every group differs (m = 10**5), with the peak memory an evaluation
adds on top of the constructed core (measured in a child process after
resetting the peak-RSS counter).
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

SHAPES = [(3, 1), (5, 2), (4, 3)]
GROUPS = [10**3, 10**4, 10**5]


def blocks_cost(p, q):
    return (3 * q * q + (q + q * q) // 2) * (p + q) + 2 * p * p * q + 8


def make_arrays(m, p, q, seed=7, classes=None):
    """10 rows per group. With `classes`, group i's Z rows follow pattern
    i % classes (so the groups share that many distinct Z_i'Z_i); otherwise Z
    is random per row and every group differs."""
    rng = np.random.default_rng(seed + m + 10 * p + q)
    rows = 10
    n = m * rows
    codes = np.repeat(np.arange(m, dtype=np.int64), rows)
    x = rng.standard_normal((n, p))
    x[:, 0] = 1.0
    if classes is None:
        z = rng.standard_normal((n, q))
    else:
        patterns = rng.standard_normal((classes, rows, q))
        z = patterns[np.arange(m) % classes].reshape(n, q)
    z[:, 0] = 1.0
    b = rng.standard_normal((m, q))
    y = x @ np.ones(p) + np.einsum("ij,ij->i", z, b[codes]) + rng.standard_normal(n)
    return y, x, np.ascontiguousarray(z), codes


def make_core(m, p, q, evaluator, seed=7, classes=None):
    from corvane import LmmCore

    y, x, z, codes = make_arrays(m, p, q, seed, classes)
    return LmmCore(y, x, z, codes, m, evaluator=evaluator)


def time_calls(fn, budget=0.6, min_calls=5, max_calls=2000):
    fn()  # warm the workspace pool
    times = []
    start = time.perf_counter()
    while len(times) < min_calls or (time.perf_counter() - start < budget and len(times) < max_calls):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return times


def run(evaluators, groups):
    out = []
    for evaluator in evaluators:
        for p, q in SHAPES:
            for m in groups:
                core = make_core(m, p, q, evaluator)
                theta = np.array(core.default_theta()) * 0.7
                theta = [float(v) for v in theta]
                dev = time_calls(lambda: core.deviance(theta))
                grad = time_calls(lambda: core.deviance_grad(theta))
                out.append(dict(evaluator=core.evaluator, p=p, q=q, m=m, deviance=dev, grad=grad))
    return out


def kernel_case(evaluator, m, classes, p=5, q=2):
    """One kernel on one design: time per deviance_grad and the peak memory
    an evaluation adds to the constructed core (input arrays freed first)."""
    import gc

    from corvane import LmmCore

    y, x, z, codes = make_arrays(m, p, q, classes=classes)
    core = LmmCore(y, x, z, codes, m, evaluator=evaluator)
    del y, x, z, codes
    gc.collect()
    theta = [float(v) * 0.7 for v in core.default_theta()]
    rss_before = vm_kb("VmRSS")
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # reset the peak-RSS counter
        peak_known = True
    except OSError:
        peak_known = False
    ts = time_calls(lambda: core.deviance_grad(theta), budget=1.0, min_calls=3)
    peak = vm_kb("VmHWM") - rss_before if peak_known else -1
    return dict(evaluator=core.evaluator, requested=evaluator, m=m, classes=classes,
                n_classes=core.n_classes, grad=ts, peak_kb=peak)


def kernels(quick):
    print("\nthe three kernels, p = 5, q = 2, full pool: deviance_grad per call and the peak memory an")
    print("evaluation adds to the core (child process per row)")
    header = "%-28s %8s %-12s %-32s %14s" % ("design", "m", "kernel", "deviance_grad ms (min-max)", "eval peak MB")
    print(header)
    print("-" * len(header))
    cases = [(20, m) for m in ([10**5] if quick else [10**4, 10**5, 10**6])] + [(None, 10**5)]
    medians = {}
    for classes, m in cases:
        for evaluator in ("blocks", "streaming", "aggregated"):
            r = in_child("evaluate", "kernel_case", evaluator, m, classes)
            med = statistics.median(r["grad"])
            medians[(classes, m, evaluator)] = med
            design = "20 distinct Z_i'Z_i" if classes else "all groups distinct"
            kernel = r["evaluator"] + ("" if r["n_classes"] is None else " (%d)" % r["n_classes"])
            print("%-28s %8d %-12s %9.3f (%8.3f-%8.3f)       %14.1f" % (
                design, m, kernel, med * 1e3, min(r["grad"]) * 1e3, max(r["grad"]) * 1e3, r["peak_kb"] / 1024))
    print()
    for classes, m in cases:
        b = medians[(classes, m, "blocks")]
        print("  %-20s m=%-8d blocks/aggregated %7.1fx   streaming/blocks %5.2fx" % (
            "20 classes" if classes else "all distinct", m, b / medians[(classes, m, "aggregated")],
            medians[(classes, m, "streaming")] / b))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="m = 10**5 only")
    ap.add_argument("--evaluators", default="blocks")
    ap.add_argument("--skip-scaling", action="store_true", help="skip part 1")
    ap.add_argument("--skip-kernels", action="store_true", help="skip part 2")
    args = ap.parse_args()
    evaluators = args.evaluators.split(",")
    groups = [10**5] if args.quick else GROUPS
    cpus = len(os.sched_getaffinity(0))
    print("machine: %s, %d CPUs available, Python %s, NumPy %s"
          % (platform.machine(), cpus, platform.python_version(), np.__version__))
    if not args.skip_scaling:
        scaling(evaluators, groups, cpus)
    if not args.skip_kernels:
        kernels(args.quick)


def scaling(evaluators, groups, cpus):
    header = "%-10s %3s %3s %7s %7s  %-30s %8s %9s  %-30s %8s %9s" % (
        "evaluator", "p", "q", "m", "threads", "deviance us/call (min-max)", "ns/group", "units/ns",
        "deviance_grad us/call (min-max)", "ns/group", "units/ns")
    print(header)
    print("-" * len(header))
    results = {}
    for threads, one in ((1, True), (cpus, False)):
        for r in in_child("evaluate", "run", evaluators, groups, one_thread=one):
            results[(r["evaluator"], r["p"], r["q"], r["m"], threads)] = r
    for key in sorted(results, key=lambda k: (k[0], k[1], k[2], k[3], k[4])):
        r = results[key]
        cells = []
        for name in ("deviance", "grad"):
            ts = r[name]
            med = statistics.median(ts)
            cells.append("%9.1f (%8.1f-%8.1f)" % (med * 1e6, min(ts) * 1e6, max(ts) * 1e6))
            cells.append("%8.1f" % (med * 1e9 / r["m"]))
            cells.append("%9.2f" % (r["m"] * blocks_cost(r["p"], r["q"]) / (med * 1e9)))
        print("%-10s %3d %3d %7d %7d  %-30s %8s %9s  %-30s %8s %9s" % ((key[0], key[1], key[2], key[3], key[4]) + tuple(cells)))
    print("\nspeed-up of the full pool over 1 thread (deviance_grad, median):")
    for key in sorted(results):
        if key[4] == 1 and (key[:4] + (cpus,)) in results and cpus > 1:
            one = statistics.median(results[key]["grad"])
            full = statistics.median(results[key[:4] + (cpus,)]["grad"])
            print("  %-10s p=%d q=%d m=%-7d %.2fx" % (key[0], key[1], key[2], key[3], one / full))


if __name__ == "__main__":
    main()
