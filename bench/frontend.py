"""The front end's default fit and its overhead.

Usage: python bench/frontend.py [--quick] [--no-lme4] [--cap SECONDS]

  fits       the default fit (trust-region Newton from the moment start and
             the identity) against the earlier default, the first-order
             minimiser from 5 spread starts (3 for q = 1) on the same core:
             criterion, evaluations of all starts, wall time; plus the
             hard cases (a small between-group variance, q = 4 with columns
             of unequal scale, sleepstudy with Days^2);
  hessian    one hessian() against one deviance_grad() per kernel;
  end to end construction + default fit of (10^7, 10^5, 5, 2) from arrays;
  overhead   LinearMixedModel's own work before the fit against the core's
             construction on the same arrays, and side by side with lme4's
             lmer (when Rscript and lme4 are installed);
  frame      corvane.lmm on a 10^7-row DataFrame (y, x, g): whole call
             against the core's construction + fit, and its peak memory
             above the frame (a child process);
  per call   corvane.lmm's time less the core's on small data, n <= 10^4;
             and the whole small call on sleepstudy, a 309-row table with
             an interaction and a 27,000-row table with factor interactions
             (again on tables of new string columns: no codes kept).
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import vm_kb  # noqa: E402
import peers  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def median_time(f, repeat):
    ts = []
    out = None
    for _ in range(repeat):
        t0 = time.perf_counter()
        out = f()
        ts.append(time.perf_counter() - t0)
    return statistics.median(ts), out


def old_starts(q):
    """The earlier front end's starts in the core's coordinates: I, 0.2 I,
    3 I and, for q > 1, I +- 0.5 times the strict lower triangle."""
    eye = np.eye(q)
    lams = [eye, 0.2 * eye, 3.0 * eye]
    if q > 1:
        low = np.tril(np.ones((q, q)), -1)
        lams += [eye + 0.5 * low, eye - 0.5 * low]
    return [[float(lam[k, j]) for j in range(q) for k in range(j, q)] for lam in lams]


def old_fit(core):
    """Each old start on its own (so every evaluation is counted); the best."""
    best, total = None, 0
    for s in old_starts(core.q):
        r = core.fit(s, reml=True)
        total += r["fev"]
        if best is None or r["deviance"] < best["deviance"]:
            best = r
    return best, total


def compare_fits(label, core, repeat):
    t_new, new = median_time(lambda: core.fit_newton(), repeat)
    t_old, (old, old_fev) = median_time(lambda: old_fit(core), max(1, repeat // 2))
    d = new["deviance"] - old["deviance"]
    print(f"  {label}")
    print(f"    default fit: criterion {new['deviance']:.10f}, {new['fev']} evaluations, "
          f"{t_new * 1e3:.1f} ms, status {new['status']!r}, boundary {new['boundary']}")
    print(f"    old 5-start: criterion {old['deviance']:.10f}, {old_fev} evaluations, {t_old * 1e3:.1f} ms")
    print(f"    -> criterion difference {d:+.3e}; evaluations {new['fev'] / old_fev:.2f}x; "
          f"time {t_new / t_old:.2f}x")


def prepared_core(y, X, Z, codes):
    import corvane

    return corvane.LinearMixedModel(y, X, Z, codes).core


def small_variance_case():
    rng = np.random.default_rng(11)
    m, k = 30, 10
    g = np.repeat(np.arange(m), k)
    x = rng.standard_normal(m * k)
    y = 1 + 0.5 * x + 0.12 * rng.standard_normal(m)[g] + rng.standard_normal(m * k)
    X = np.column_stack([np.ones(m * k), x])
    return y, X, X[:, :1].copy(), g


def unequal_scales_case():
    rng = np.random.default_rng(5)
    m, k, q = 60, 12, 4
    g = np.repeat(np.arange(m), k)
    n = m * k
    X = np.column_stack([np.ones(n), rng.standard_normal(n) * 0.14, rng.standard_normal(n) * 6.0,
                         rng.standard_normal(n) * 0.29])
    lam = np.array([[1.0, 0, 0, 0], [0.3, 0.5, 0, 0], [0.1, 0.2, 0.05, 0], [0.2, -0.1, 0.01, 0.3]])
    b = rng.standard_normal((m, q)) @ lam.T
    y = X @ [1.0, 2.0, 0.1, -1.0] + np.einsum("ij,ij->i", X, b[g]) + rng.standard_normal(n)
    return y, X, X.copy(), g


def sleepstudy_q3():
    import pandas as pd

    df = pd.read_csv(os.path.join(ROOT, "tests", "data", "sleepstudy.csv"))
    d = df["Days"].to_numpy(float)
    X = np.column_stack([np.ones(len(d)), d, d ** 2])
    return df["Reaction"].to_numpy(float), X, X.copy(), df["Subject"].to_numpy()


def section_fits(quick):
    print("== the default fit against the old 5-start fit (same reparametrised core, REML)")
    from corvane._example import example_arrays

    a = example_arrays()
    compare_fits("embedded example (180 rows, 18 groups, p=2, q=2)",
                 prepared_core(a["y"], a["X"], a["Z"], a["groups"]), 20)
    for name, case in (("30 groups, small between-group variance (q=1)", small_variance_case),
                       ("q=4, columns of unequal scale", unequal_scales_case),
                       ("sleepstudy, intercept + Days + Days^2 per subject (q=3)", sleepstudy_q3)):
        compare_fits(name, prepared_core(*case()), 10)
    cases = [(10**5, 10**3, 5, 2), (2 * 10**5, 2000, 4, 3)]
    if not quick:
        cases += [(10**6, 10**4, 5, 2), (10**6, 125000, 4, 1)]
    for n, m, p, q in cases:
        y, x, z, codes = peers.generate(n, m, p, q)
        compare_fits(peers.case_name(n, m, p, q), prepared_core(y, x, z, codes), 5 if n < 10**6 else 3)


def section_hessian():
    from corvane import LmmCore

    print("\n== hessian() against deviance_grad() at the optimum, per kernel (1 call each, median of 7)")
    for n, m, p, q in [(10**5, 10**3, 3, 1), (10**5, 10**3, 5, 2), (2 * 10**5, 2000, 4, 3)]:
        y, x, z, codes = peers.generate(n, m, p, q)
        theta = LmmCore(y, x, z, codes, m).fit_newton()["theta"]
        for kernel in ("blocks", "streaming", "aggregated"):
            core = LmmCore(y, x, z, codes, m, kernel)
            tg, _ = median_time(lambda: core.deviance_grad(theta), 7)
            th, _ = median_time(lambda: core.hessian(theta), 7)
            print(f"  {peers.case_name(n, m, p, q)} {kernel:>10}: deviance_grad {tg * 1e3:8.3f} ms, "
                  f"hessian {th * 1e3:8.3f} ms = {th / tg:.2f}x")


def section_end_to_end():
    from corvane import LmmCore

    print("\n== construction + default fit from arrays, (10^7, 10^5, 5, 2)")
    y, x, z, codes = peers.generate(10**7, 10**5, 5, 2)

    def run():
        t0 = time.perf_counter()
        core = LmmCore(y, x, z, codes, 10**5)
        t1 = time.perf_counter()
        r = core.fit_newton()
        return t1 - t0, time.perf_counter() - t1, r

    rows = [run() for _ in range(3)]
    c, f, r = sorted(rows, key=lambda t: t[0] + t[1])[1]
    print(f"  total {c + f:.3f} s = construction {c:.3f} s + fit {f:.3f} s ({r['fev']} evaluations, "
          f"status {r['status']!r})")


def front_end_split(y, x, z, codes, repeat=7):
    """(front end's work before the fit, core construction, fit) in seconds,
    medians; the front end's time is LinearMixedModel(...) less the
    construction inside it."""
    import corvane
    from corvane import LmmCore

    m = int(codes.max()) + 1
    t_core, _ = median_time(lambda: LmmCore(y, x, z, codes, m), repeat)
    t_model, model = median_time(lambda: corvane.LinearMixedModel(y, x, z, codes), repeat)
    t_fit, result = median_time(lambda: model.fit(), repeat)
    return t_model - t_core, t_core, t_fit, result


def section_overhead(use_lme4, cap):
    print("\n== LinearMixedModel from arrays: the front end's own work before the fit, and lme4 side by side")
    have_r = use_lme4 and peers.lme4_available()
    scratch = os.path.join(tempfile.gettempdir(), "corvane-bench")
    os.makedirs(scratch, exist_ok=True)
    script = os.path.join(scratch, "lmer.R")
    with open(script, "w") as f:
        f.write(peers.R_SCRIPT)
    for n, m, p, q in [(10**5, 10**3, 5, 2), (10**6, 10**4, 5, 2), (10**6, 125000, 4, 1)]:
        path = peers.write_case(scratch, n, m, p, q)
        _, y, x, z, codes = peers.read_case(path)
        front, core, fit, result = front_end_split(y, x, z, codes)
        total = front + core + fit
        line = (f"  {peers.case_name(n, m, p, q)}: front end {front:.3f} s = {front / core:.2f}x the "
                f"construction {core:.3f} s; fit {fit:.3f} s; whole {total:.3f} s")
        print(line)
        if have_r:
            out = peers.lme4_child(path, 1 if n >= 10**6 else 3, cap, script)
            if out is None:
                print(f"    lme4: over {cap} s")
            else:
                t = statistics.median(out["times"])
                crit = result.criterion
                print(f"    lme4 {t:.2f} s -> corvane {t / total:.0f}x faster; criteria corvane "
                      f"{crit:.6f}, lme4 {out['crit']:.6f} (corvane lower by {out['crit'] - crit:.2e})")


FRAME_CHILD = r"""
import json, sys, time
sys.path.insert(0, %(here)r)
import numpy as np, pandas as pd
import corvane
from corvane import LmmCore
from common import vm_kb
import peers
n, m = 10**7, 10**5
y, x, z, codes = peers.generate(n, m, 2, 2)
df = pd.DataFrame({"y": y, "x": np.ascontiguousarray(x[:, 1]), "g": codes})
frame_mb = df.memory_usage(deep=True).sum() / 2**20
del y, z
X = np.ascontiguousarray(x); Z = np.ascontiguousarray(x[:, :2]); yy = df["y"].to_numpy()
t0 = time.perf_counter(); core = LmmCore(yy, X, Z, codes, m); t1 = time.perf_counter()
core.fit_newton(); t2 = time.perf_counter()
del core, X, Z, x, yy, codes
import gc; gc.collect()
rss_before = vm_kb("VmRSS")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
t3 = time.perf_counter(); r = corvane.lmm("y ~ x + (x | g)", df); t4 = time.perf_counter()
peak = vm_kb("VmHWM")
print(json.dumps(dict(frame_mb=frame_mb, construct=t1 - t0, fit=t2 - t1, lmm=t4 - t3,
                      peak_above_mb=(peak - rss_before) / 1024, crit=r.criterion)))
"""


def section_frame():
    print("\n== corvane.lmm('y ~ x + (x | g)', DataFrame of 10^7 rows, 10^5 groups)")
    code = FRAME_CHILD % {"here": HERE}
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    if proc.returncode != 0:
        print("  failed:", proc.stderr.strip().splitlines()[-1:])
        return
    d = json.loads(proc.stdout.strip().splitlines()[-1])
    core = d["construct"] + d["fit"]
    print(f"  whole call {d['lmm']:.2f} s against the core's construction + fit {core:.2f} s "
          f"({d['construct']:.2f} + {d['fit']:.2f}) on the same arrays = {d['lmm'] / core:.2f}x")
    print(f"  peak memory above the frame {d['peak_above_mb']:.0f} MB for a {d['frame_mb']:.0f} MB frame "
          f"= {d['peak_above_mb'] / d['frame_mb']:.2f}x")


def small_call_tables():
    """The three small calls timed whole: sleepstudy's model (180 rows), a
    309-row longitudinal table with a treatment by age interaction (59
    subjects, trt a two-level string factor) and a 27,000-row class-size
    table with a factor by factor interaction (gr, cltype, sx string
    factors; 10^4 pupils)."""
    import pandas as pd

    rng = np.random.default_rng(7)
    sleep = pd.read_csv(os.path.join(ROOT, "tests", "data", "sleepstudy.csv"))
    ids = np.repeat(np.arange(60), rng.integers(3, 8, 60))[:309]
    ids = np.concatenate([ids, np.full(309 - len(ids), 59)])
    age = rng.uniform(0, 4, len(ids))
    trt = np.where(rng.random(60) < 0.5, "placebo", "drug")[ids]
    cog = 50 + age * (1 + (trt == "drug")) + rng.normal(0, 2, 60)[ids] + rng.normal(0, 0.5, 60)[ids] * age
    cog = pd.DataFrame({"id": [f"p{i:03d}" for i in ids], "age": age, "trt": trt,
                        "cog": cog + rng.normal(0, 1, len(ids))})
    n, m = 27000, 11000
    pupil = rng.integers(0, m, n)
    gr, cltype, sx = (rng.choice(v, n) for v in (["K", "1", "2", "3"], ["small", "regular", "aide"],
                                                 ["girl", "boy"]))
    star = pd.DataFrame({"id": pupil, "gr": gr, "cltype": cltype, "sx": sx,
                         "math": 480 + 10 * (cltype == "small") + 20 * (gr == "2") + rng.normal(0, 20, m)[pupil]
                         + rng.normal(0, 40, n)})
    return [("sleepstudy", sleep, "Reaction ~ Days + (Days | Subject)", 500),
            ("longitudinal n=309", cog, "cog ~ age * trt + (1 + age | id)", 500),
            ("class size n=27000", star, "math ~ gr * cltype + sx + (1 | id)", 100)]


def section_per_call():
    import pandas as pd

    import corvane

    print("\n== per-call overhead of corvane.lmm on small data: whole call less the core's construction "
          "and fit (median of 200)")
    df = pd.read_csv(os.path.join(ROOT, "tests", "data", "sleepstudy.csv"))
    frames = [("sleepstudy", df, "Reaction ~ Days + (Days | Subject)"),
              ("sleepstudy", df, "Reaction ~ Days + (1 | Subject)")]
    rng = np.random.default_rng(3)
    for n, m in [(1000, 40), (10**4, 300)]:
        g = rng.integers(0, m, n)
        f = pd.DataFrame({"x": rng.standard_normal(n), "trt": rng.choice(["a", "b", "c"], n),
                          "g": [f"s{i}" for i in g]})
        f["y"] = f["x"] + (f["trt"] == "b") + rng.standard_normal(m)[g] + rng.standard_normal(n)
        frames.append((f"simulated n={n}", f, "y ~ x + trt + (x | g)"))
    for name, frame, formula in frames:
        r = corvane.lmm(formula, frame)
        model = r.model
        whole, _ = median_time(lambda: corvane.lmm(formula, frame), 200)
        core_args = (model.y_fit, model.X, model.Z, model.codes)

        def core_only():
            from corvane import LmmCore
            return LmmCore(*core_args, model.m).fit_newton()

        core, _ = median_time(core_only, 200)
        print(f"  {name:>20} {formula:<38} whole {whole * 1e3:6.2f} ms, core {core * 1e3:5.2f} ms, "
              f"overhead {(whole - core) * 1e3:5.2f} ms")

    print("\n== the small call corvane.lmm(formula, DataFrame), whole (median of many calls, after one); and on a "
          "table of new string columns each call (their codes are not kept from an earlier call)")
    for name, frame, formula, repeat in small_call_tables():
        corvane.lmm(formula, frame)
        whole, r = median_time(lambda: corvane.lmm(formula, frame), repeat)
        ts = []
        for _ in range(repeat):
            table = fresh_table(frame)  # made outside the timing
            t0 = time.perf_counter()
            corvane.lmm(formula, table)
            ts.append(time.perf_counter() - t0)
        print(f"  {name:>20} {formula:<38} {whole * 1e3:7.3f} ms over {repeat} calls, new strings "
              f"{statistics.median(ts) * 1e3:7.3f} ms (p={r.model.p}, q={r.model.q}, {r.n_groups} groups)")


def fresh_table(frame):
    """A copy of frame whose string columns are new Arrow arrays (a copy of
    a DataFrame shares its Arrow arrays, whose codes are kept)."""
    import pandas as pd

    out = frame.copy()
    for c in out.columns:
        if isinstance(out[c].dtype, pd.StringDtype):
            out[c] = pd.Series(out[c].to_numpy(), dtype=out[c].dtype, index=out.index)
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="small cases only; no 10^7-row sections")
    ap.add_argument("--no-lme4", action="store_true", help="skip lme4 even when it is installed")
    ap.add_argument("--cap", type=float, default=300, help="time cap per lme4 fit, seconds")
    args = ap.parse_args()
    import corvane

    print(f"machine: {os.cpu_count()} CPUs, corvane threads {corvane.get_num_threads()}; "
          f"NumPy {np.__version__}; RSS {vm_kb('VmRSS') / 1024:.0f} MB")
    section_fits(args.quick)
    section_hessian()
    section_per_call()
    if not args.quick:
        section_end_to_end()
        section_overhead(not args.no_lme4, args.cap)
        section_frame()


if __name__ == "__main__":
    main()
