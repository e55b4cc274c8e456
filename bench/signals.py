"""How soon Ctrl-C stops a long call.

Usage: python bench/signals.py [--repeat N] [--busy K]

For each long call of the core (construction, with_response, fit,
fit_newton, deviance_grad, solution, fit_responses) a child interpreter
sends itself SIGINT 0.1 s into the call and measures the time until
KeyboardInterrupt reaches Python, with the full pool and with one thread.
With --busy K, K processes spin on the CPUs meanwhile (a loaded machine:
the interrupt then waits for the scheduler too). Prints the median and the
min-max over the repeats, in milliseconds.
"""

import argparse
import json
import multiprocessing
import os
import platform
import statistics
import subprocess
import sys

CHILD = r"""
import json, os, signal, threading, time
import numpy as np
import corvane
from corvane import LmmCore
corvane.set_num_threads(%(threads)r)
rng = np.random.default_rng(0)
n, p = 20000, 400
X = rng.standard_normal((n, p))
y = rng.standard_normal(n)
ones = np.ones((n, 1))
z = rng.standard_normal((n, 1))
one_per_group = np.arange(n, dtype=np.int64)
few_groups = one_per_group %% 2000
aggregated = LmmCore(y, X, ones, one_per_group, n)
blocks = LmmCore(y, X, z, few_groups, 2000, "blocks")
streaming = LmmCore(y, X, np.column_stack([z, ones]), few_groups, 2000, "streaming")
calls = {
    "construction": lambda: LmmCore(y, X, z, few_groups, 2000, "blocks"),
    "with_response": lambda: aggregated.with_response(y, X, ones, one_per_group),
    "fit": lambda: blocks.fit([0.1, 0.5, 2.0, 5.0] * 50, max_iter=1000),
    "fit_newton": lambda: blocks.fit_newton([0.1, 0.5, 2.0, 5.0] * 50),
    "deviance_grad": lambda: streaming.deviance_grad([1.0, 0.0, 1.0]),
    "solution": lambda: streaming.solution([1.0, 0.0, 1.0]),
    "fit_responses": lambda: blocks.fit_responses(np.tile(y, (64, 1)), X, z, few_groups),
}
report = {}
for name, call in calls.items():
    out = []
    for _ in range(%(repeat)d):
        sent = []
        def fire():
            time.sleep(0.1)
            sent.append(time.perf_counter())
            os.kill(os.getpid(), signal.SIGINT)
        threading.Thread(target=fire, daemon=True).start()
        try:
            while True:
                call()
        except KeyboardInterrupt:
            out.append(time.perf_counter() - sent[0])
    report[name] = out
print(json.dumps(report))
"""


def spin(stop):
    while not stop.is_set():
        pass


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--busy", type=int, default=0, help="processes spinning beside the measurement")
    args = parser.parse_args()
    print(f"machine: {platform.machine()}, {os.cpu_count()} CPUs, Python {platform.python_version()}; "
          f"{args.busy} busy processes beside")
    stop = multiprocessing.Event()
    busy = [multiprocessing.Process(target=spin, args=(stop,), daemon=True) for _ in range(args.busy)]
    for proc in busy:
        proc.start()
    try:
        print(f"{'call':<15} {'threads':>7} {'median ms':>10} {'min-max ms':>16}")
        for threads in (None, 1):
            code = CHILD % {"threads": threads, "repeat": args.repeat}
            out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
            report = json.loads(out.stdout.strip().splitlines()[-1])
            label = "all" if threads is None else str(threads)
            for name, times in report.items():
                ms = [1e3 * t for t in times]
                print(f"{name:<15} {label:>7} {statistics.median(ms):>10.1f} {min(ms):>7.1f}-{max(ms):<8.1f}")
    finally:
        stop.set()
        for proc in busy:
            proc.join()


if __name__ == "__main__":
    main()
