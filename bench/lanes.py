"""Groups in vector lanes against the scalar steps, side by side in one run.

Usage: python bench/lanes.py [--quick] [--no-lme4] [--cap SECONDS]

Every figure comes from child processes started with CORVANE_LANES=0 (the
scalar steps) and without it (lanes where the machine has them), so both sides
run the same build on the same machine in the same run:

1. time per `deviance`, `deviance_grad` and `hessian` of the blocks kernel,
   10^5 groups of 10 rows, (p, q) = (3, 1), (5, 2), (4, 3), one thread
   (a child pinned to one CPU), median of repeated calls;
2. construction + default fit (`fit_newton`) at (10^7, 10^5, 5, 2) against
   NumPy's one-pass read of the same arrays, full pool;
3. (without --quick) construction + default fit of the three cases
   (10^5, 10^3, 5, 2), (10^6, 10^4, 5, 2), (10^6, 125000, 4, 1) against lme4's
   `lmer` (through Rscript, only the lmer call timed).
"""

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peers  # noqa: E402
from common import HERE  # noqa: E402

SHAPES = [(3, 1), (5, 2), (4, 3)]
THETA = {1: [0.7], 2: [0.7, 0.1, 0.5], 3: [0.7, 0.1, 0.5, 0.05, 0.02, 0.6]}


def child(function, args, lanes, pin=False):
    """bench/lanes.py's function(*args) in a fresh interpreter with lanes on
    or off (and pinned to one CPU); its JSON result."""
    env = dict(os.environ)
    if lanes:
        env.pop("CORVANE_LANES", None)
    else:
        env["CORVANE_LANES"] = "0"
    code = ("import sys, json\nsys.path.insert(0, %r)\nimport lanes\nprint(json.dumps(lanes.%s(*%r)))\n"
            % (HERE, function, list(args)))
    cmd = [sys.executable, "-c", code]
    if pin:
        cmd = ["taskset", "-c", str(min(os.sched_getaffinity(0))), *cmd]
    out = subprocess.run(cmd, capture_output=True, text=True, check=True, env=env)
    return json.loads(out.stdout.strip().splitlines()[-1])


def median_ms(fn, calls):
    fn()
    times = []
    for _ in range(calls):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times) * 1e3


# ---- run in the children ---------------------------------------------------------

def per_evaluation(p, q, calls):
    from corvane import LmmCore, set_num_threads

    try:
        import corvane._corvane_tests as t
        width = t.lane_width()
    except ImportError:  # a build without the test-only module
        width = "?"

    set_num_threads(1)
    y, x, z, codes = peers.generate(10**6, 10**5, p, q)
    core = LmmCore(y, x, z, codes, 10**5, "blocks")
    theta = THETA[q]
    return dict(width=width, value=median_ms(lambda: core.deviance(theta), calls),
                grad=median_ms(lambda: core.deviance_grad(theta), calls),
                hessian=median_ms(lambda: core.hessian(theta), max(5, calls // 3)))


def construct_and_fit(n, m, p, q, repeat):
    from corvane import LmmCore

    y, x, z, codes = peers.generate(n, m, p, q)
    reads, builds, fits = [], [], []
    for _ in range(repeat):
        t0 = time.perf_counter()
        for a in (y, x, z, codes):
            a.sum()
        reads.append(time.perf_counter() - t0)
        t0 = time.perf_counter()
        core = LmmCore(y, x, z, codes, m)
        t1 = time.perf_counter()
        result = core.fit_newton()
        fits.append(time.perf_counter() - t1)
        builds.append(t1 - t0)
    return dict(read=statistics.median(reads), build=statistics.median(builds), fit=statistics.median(fits),
                fev=result["fev"], crit=result["deviance"], theta=list(result["theta"]))


# ---- the parent ------------------------------------------------------------------

def section_evaluations(quick):
    print("\n== blocks kernel per evaluation, 10^5 groups of 10 rows, 1 thread (ms, median)")
    print(f"  {'p, q':>6} {'call':>14} {'scalar':>9} {'lanes':>9} {'scalar/lanes':>13}")
    calls = 7 if quick else 21
    for p, q in SHAPES:
        off = child("per_evaluation", (p, q, calls), False, pin=True)
        on = child("per_evaluation", (p, q, calls), True, pin=True)
        for key in ("value", "grad", "hessian"):
            name = {"value": "deviance", "grad": "deviance_grad", "hessian": "hessian"}[key]
            print(f"  {p:>3}, {q} {name:>14} {off[key]:9.3f} {on[key]:9.3f} {off[key] / on[key]:12.2f}x")
    print(f"  (lanes: {on['width']} groups per step)")


def section_end_to_end(quick):
    n, m = (10**6, 10**4) if quick else (10**7, 10**5)
    print(f"\n== construction + default fit from arrays, {peers.case_name(n, m, 5, 2)}, full pool (median of 3)")
    for lanes in (False, True):
        r = child("construct_and_fit", (n, m, 5, 2, 3), lanes)
        total = r["build"] + r["fit"]
        print(f"  {'lanes ' if lanes else 'scalar'}: total {total:.3f} s = construction {r['build']:.3f} s + fit "
              f"{r['fit']:.3f} s ({r['fev']} evaluations); one-pass read {r['read']:.4f} s -> "
              f"{total / r['read']:.1f}x the read")


def section_lme4(cap):
    if not peers.lme4_available():
        print("\n== lme4 side by side: skipped (no Rscript with lme4)")
        return
    print("\n== construction + default fit against lme4's lmer, side by side")
    scratch = os.path.join(tempfile.gettempdir(), "corvane-bench")
    os.makedirs(scratch, exist_ok=True)
    script = os.path.join(scratch, "lmer.R")
    with open(script, "w") as f:
        f.write(peers.R_SCRIPT)
    for n, m, p, q in [(10**5, 10**3, 5, 2), (10**6, 10**4, 5, 2), (10**6, 125000, 4, 1)]:
        path = peers.write_case(scratch, n, m, p, q)
        on = child("construct_and_fit", (n, m, p, q, 5), True)
        off = child("construct_and_fit", (n, m, p, q, 5), False)
        lme = peers.lme4_child(path, 1 if n >= 10**6 else 3, cap, script)
        t_on, t_off = on["build"] + on["fit"], off["build"] + off["fit"]
        line = f"  {peers.case_name(n, m, p, q)}: corvane {t_on:.3f} s (scalar {t_off:.3f} s)"
        if lme is None:
            print(line + f"; lme4 over {cap} s")
            continue
        t = statistics.median(lme["times"])
        print(line + f"; lme4 {t:.2f} s -> {t / t_on:.0f}x (scalar {t / t_off:.0f}x); criteria corvane "
              f"{on['crit']:.6f}, lme4 {lme['crit']:.6f}")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="fewer calls, 10^6 rows end to end, no lme4")
    ap.add_argument("--no-lme4", action="store_true", help="skip lme4 even when it is installed")
    ap.add_argument("--cap", type=float, default=300, help="time cap per lme4 fit, seconds")
    args = ap.parse_args()
    print(f"machine: {platform.machine()}, {len(os.sched_getaffinity(0))} CPUs available; "
          f"Python {platform.python_version()}, NumPy {np.__version__}")
    section_evaluations(args.quick)
    section_end_to_end(args.quick)
    if not args.quick and not args.no_lme4:
        section_lme4(args.cap)


if __name__ == "__main__":
    main()
