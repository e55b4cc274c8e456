"""Mixed models for repeated measures: corvane.mmrm against R's mmrm, and
the cost of one criterion evaluation against the number of visit patterns.

Usage: python bench/mmrm.py [--repeat N] [--no-peer] [--scale SUBJECTS]

Sections:

  peer     mmrm's fev_data (us, 537 rows, 197 subjects x 4 visits) and
           bcva_data (us, 8,605 rows, 1,000 subjects x 10 visits, 55
           variance parameters): the whole call from a DataFrame in memory,
           the fit and the coefficient table with Satterthwaite's df for
           every coefficient; the median of --repeat calls after a warm-up.
           R's figures come from `Rscript bench/mmrm_peer.R` in the same run
           (skipped without Rscript or with --no-peer); "ratio" is mmrm's
           median over corvane's.
  patterns simulated trials of --scale subjects x 10 visits with monotone
           dropout (at most 11 patterns) or scattered missing visits (many
           patterns): one evaluation (value; value, gradient and Hessian)
           at the optimum, per pattern count.
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
CASES = [("fev_us_satterthwaite", "fev", "FEV1 ~ RACE + SEX + ARMCD * AVISIT + us(AVISIT | USUBJID)"),
         ("bcva_us_satterthwaite", "bcva", "BCVA_CHG ~ BCVA_BL + RACE + ARMCD * AVISIT + us(AVISIT | USUBJID)")]


def frame(name):
    df = pd.read_csv(os.path.join(ROOT, "tests", "data", f"mmrm_{name}.csv"))
    for col, levels in LEVELS[name].items():
        df[col] = pd.Categorical(df[col], categories=levels)
    return df


def whole_call(formula, df):
    r = corvane.mmrm(formula, df)
    r.coef_table()
    return r


def timed(f, repeat):
    f()
    out = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        f()
        out.append(time.perf_counter() - t0)
    return statistics.median(out), min(out), max(out)


def peer():
    if not shutil.which("Rscript"):
        return {}
    try:
        run = subprocess.run(["Rscript", os.path.join(HERE, "mmrm_peer.R"), "--repeat", "3"], cwd=ROOT,
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


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--no-peer", action="store_true")
    ap.add_argument("--scale", type=int, default=100_000)
    a = ap.parse_args()
    print(f"machine: {platform.machine()}, {os.cpu_count()} CPUs, corvane threads {corvane.get_num_threads()}, "
          f"Python {platform.python_version()}")
    theirs = {} if a.no_peer else peer()
    print(f"\n{'case':24s} {'corvane median (min-max)':>30s} {'mmrm median':>12s} {'ratio':>7s}")
    for name, data, formula in CASES:
        df = frame(data)
        med, lo, hi = timed(lambda: whole_call(formula, df), a.repeat)
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
    return 0


if __name__ == "__main__":
    sys.exit(main())
