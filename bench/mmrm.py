"""Mixed models for repeated measures: corvane.mmrm against R's mmrm, and
the cost of one criterion evaluation against the number of visit patterns.

Usage: python bench/mmrm.py [--repeat N] [--no-peer] [--scale SUBJECTS] [--parquet SUBJECTS] [--parquet-runs K]

Sections:

  peer     mmrm's fev_data (us, 537 rows, 197 subjects x 4 visits) and
           bcva_data (us, 8,605 rows, 1,000 subjects x 10 visits, 55
           variance parameters): the whole call from a DataFrame in memory,
           the fit and the coefficient table with Satterthwaite's (or
           Kenward-Roger's) df and covariance for every coefficient; the
           median of at least --repeat calls and half a second of calls,
           after a warm-up.
           R's figures come from `Rscript bench/mmrm_peer.R` in the same run
           (skipped without Rscript or with --no-peer); "ratio" is mmrm's
           median over corvane's.
  patterns simulated trials of --scale subjects x 10 visits with monotone
           dropout (at most 11 patterns) or scattered missing visits (many
           patterns): one evaluation (value; value, gradient and Hessian)
           at the optimum, per pattern count.
  parquet  --parquet subjects (default 1e6) x 10 visits with monotone
           dropout (about 7 rows per subject) in a Parquet folder of 8
           files sorted by subject: pyarrow's read of the model's columns,
           and corvane.mmrm from the folder (us, y ~ x + arm * visit), each
           in a child process with its peak resident memory; the medians of
           --parquet-runs runs of each, taken in turn.
"""

import argparse
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time

import numpy as np
import pandas as pd

import corvane

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
LEVELS = {
    "fev": {"AVISIT": [f"VIS{k}" for k in range(1, 5)], "ARMCD": ["PBO", "TRT"],
            "RACE": ["Asian", "Black or African American", "White"], "SEX": ["Male", "Female"]},
    "bcva": {"AVISIT": [f"VIS{k:02d}" for k in range(1, 11)], "ARMCD": ["CTL", "TRT"],
             "RACE": ["Asian", "Black", "White"]},
}
FEV = "FEV1 ~ RACE + SEX + ARMCD * AVISIT + us(AVISIT | USUBJID)"
BCVA = "BCVA_CHG ~ BCVA_BL + RACE + ARMCD * AVISIT + us(AVISIT | USUBJID)"
CASES = [("fev_us_satterthwaite", "fev", FEV, "satterthwaite"), ("fev_us_kenward_roger", "fev", FEV, "kenward-roger"),
         ("bcva_us_satterthwaite", "bcva", BCVA, "satterthwaite"),
         ("bcva_us_kenward_roger", "bcva", BCVA, "kenward-roger")]


def frame(name):
    df = pd.read_csv(os.path.join(ROOT, "tests", "data", f"mmrm_{name}.csv"))
    for col, levels in LEVELS[name].items():
        df[col] = pd.Categorical(df[col], categories=levels)
    return df


def whole_call(formula, df, method="satterthwaite"):
    r = corvane.mmrm(formula, df, method=method)
    r.coef_table()
    return r


def timed(f, repeat, least_seconds=0.5):
    """(median, min, max) seconds of calls after a warm-up: at least `repeat`
    calls and at least `least_seconds` of them, so that a millisecond call's
    median is of hundreds (a VM's timings wander)."""
    f()
    out = []
    while len(out) < repeat or (sum(out) < least_seconds and len(out) < 1000):
        t0 = time.perf_counter()
        f()
        out.append(time.perf_counter() - t0)
    return statistics.median(out), min(out), max(out)


def peer():
    if not shutil.which("Rscript"):
        return {}
    try:
        run = subprocess.run(["Rscript", os.path.join(HERE, "mmrm_peer.R"), "--repeat", "11"], cwd=ROOT,
                             capture_output=True, text=True, timeout=600, check=True)
    except (subprocess.SubprocessError, OSError) as exc:
        print(f"(mmrm_peer.R failed: {exc})")
        return {}
    out = {}
    for line in run.stdout.splitlines():
        try:
            item = json.loads(line)
        except ValueError:
            continue
        if "case" in item:
            out[item["case"]] = item
    return out


def trial(subjects, scattered, seed=0):
    rng = np.random.default_rng(seed)
    T = 10
    last = np.minimum(T, 2 + rng.geometric(0.12, subjects))
    rows = []
    for s in range(subjects):
        for v in range(last[s]):
            if scattered and v > 0 and rng.random() < 0.2:
                continue
            rows.append((s, v))
    rows = np.array(rows)
    df = pd.DataFrame({"subject": rows[:, 0], "visit": pd.Categorical([f"V{v:02d}" for v in rows[:, 1]]),
                       "arm": np.where(rows[:, 0] % 2, "TRT", "PBO")})
    df["x"] = rng.standard_normal(subjects)[rows[:, 0]]
    shared = rng.standard_normal(subjects)[rows[:, 0]]
    df["y"] = 0.3 * rows[:, 1] * (df["arm"] == "TRT") + 0.5 * df["x"] + shared + rng.standard_normal(len(df))
    return df


def write_parquet_trial(folder, subjects, seed=1):
    """The --parquet trial, vectorised: subject-major rows, monotone dropout."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    rng = np.random.default_rng(seed)
    T = 10
    last = np.minimum(T, 1 + rng.geometric(0.11, subjects))
    subject = np.repeat(np.arange(subjects, dtype=np.int64), last)
    start = np.repeat(np.cumsum(last) - last, last)
    visit = np.arange(len(subject)) - start
    arm = (subject % 2).astype(np.int64)
    x = rng.standard_normal(subjects)[subject]
    shared = rng.standard_normal(subjects)[subject]
    y = 0.3 * visit * arm + 0.5 * x + shared + rng.standard_normal(len(subject)) * (1 + 0.05 * visit)
    labels = np.array([f"V{v:02d}" for v in range(T)])
    os.makedirs(folder, exist_ok=True)
    cuts = np.searchsorted(subject, np.linspace(0, subjects, 9).astype(np.int64))
    for k in range(8):
        a, b = cuts[k], cuts[k + 1]
        table = pa.table({"subject": subject[a:b], "visit": pa.array(labels[visit[a:b]]).dictionary_encode(),
                          "arm": pa.array(np.where(arm[a:b] == 1, "TRT", "PBO")).dictionary_encode(),
                          "x": x[a:b], "y": y[a:b]})
        pq.write_table(table, os.path.join(folder, f"part-{k}.parquet"))
    return len(subject)


# The peak is the child's own (VmHWM): ru_maxrss carries the forking
# parent's peak across exec, and this script's parent holds the trials.
_CHILD = """
import sys, time
t0 = time.perf_counter()
{body}
elapsed = time.perf_counter() - t0
peak = next(line for line in open("/proc/self/status") if line.startswith("VmHWM:")).split()[1]
print(elapsed, int(peak) / 1024.0)
"""


def in_child(body):
    """(seconds, peak resident MiB) of a code snippet run in a fresh interpreter."""
    out = subprocess.run([sys.executable, "-c", _CHILD.format(body=body)], capture_output=True, text=True, check=True)
    secs, mib = out.stdout.split()[-2:]
    return float(secs), float(mib)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--no-peer", action="store_true")
    ap.add_argument("--scale", type=int, default=100_000)
    ap.add_argument("--parquet", type=int, default=1_000_000)
    ap.add_argument("--parquet-runs", type=int, default=3)
    a = ap.parse_args()
    print(f"machine: {platform.machine()}, {os.cpu_count()} CPUs, corvane threads {corvane.get_num_threads()}, "
          f"Python {platform.python_version()}")
    theirs = {} if a.no_peer else peer()
    print(f"\n{'case':24s} {'corvane median (min-max)':>30s} {'mmrm median':>12s} {'ratio':>7s}")
    for name, data, formula, method in CASES:
        df = frame(data)
        med, lo, hi = timed(lambda: whole_call(formula, df, method), a.repeat)
        r = theirs.get(name, {}).get("median_total_s")
        ratio = f"{r / med:6.0f}x" if r else "     -"
        peer_s = f"{r * 1e3:9.1f} ms" if r else "           -"
        print(f"{name:24s} {med * 1e3:12.2f} ms ({lo * 1e3:.2f}-{hi * 1e3:.2f}) {peer_s} {ratio}")
    print(f"\n{'trial':34s} {'patterns':>8s} {'rows':>9s} {'fit':>9s} {'value':>10s} {'+grad+hess':>11s}")
    for scattered in (False, True):
        df = trial(a.scale, scattered)
        t0 = time.perf_counter()
        r = corvane.mmrm("y ~ x + arm * visit + us(visit | subject)", df)
        fit_s = time.perf_counter() - t0
        core = r.model.core
        value = timed(lambda: core.evaluate(r.theta, True, 0), 3)[0]
        hess = timed(lambda: core.evaluate(r.theta, True, 2), 3)[0]
        label = f"{a.scale} subjects, {'scattered' if scattered else 'monotone'}"
        print(f"{label:34s} {core.n_patterns:8d} {len(df):9d} {fit_s:8.2f}s {value * 1e3:8.2f}ms {hess * 1e3:9.2f}ms")
    if a.parquet:
        import tempfile

        with tempfile.TemporaryDirectory() as tmp:
            folder = os.path.join(tmp, "trial")
            rows = write_parquet_trial(folder, a.parquet)
            cols = '["subject", "visit", "arm", "x", "y"]'
            # Medians of runs taken in turn: a fresh process's first large
            # allocations cost more or less as the machine's memory stands,
            # and both sides see the same conditions.
            reads, fits = [], []
            for _ in range(a.parquet_runs):
                reads.append(in_child(f"import pyarrow.parquet as pq; pq.read_table({folder!r}, columns={cols})"))
                fits.append(in_child(
                    "import corvane, warnings; warnings.simplefilter('error'); "
                    f"r = corvane.mmrm('y ~ x + arm * visit + us(visit | subject)', {folder!r}); r.coef_table(); "
                    "print(r.n_obs, r.n_subjects, r.model.core.n_patterns, r.iterations, file=sys.stderr)"))
            read_s, read_mib = (statistics.median(v) for v in zip(*reads))
            fit_s, fit_mib = (statistics.median(v) for v in zip(*fits))
            print(f"\nParquet folder: {a.parquet} subjects, {rows} rows, 10 visits, monotone dropout, us "
                  f"(medians of {a.parquet_runs} runs each, in turn)")
            print(f"  pyarrow read of the 5 columns   {read_s:8.2f} s  peak {read_mib:7.0f} MiB")
            print(f"  corvane.mmrm from the folder    {fit_s:8.2f} s  peak {fit_mib:7.0f} MiB  "
                  f"({fit_s / read_s:.1f}x the read)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
