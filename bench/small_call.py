"""The small call against lme4, side by side in one run.

Usage: python bench/small_call.py [--repeat N]

For the three small tables of frontend.py (sleepstudy's model, a 309-row
longitudinal table with a treatment by age interaction, a 27,000-row
class-size table with a factor by factor interaction): the median time of
`corvane.lmm(formula, DataFrame)` over many calls after a first one, and the
median of `lmer(formula, data)` (REML, lme4's defaults) over repeated calls
in one Rscript process on the same rows (written as CSV, read before the
timing; strings as factors), with the ratio and both REML criteria.
"""

import argparse
import os
import platform
import subprocess
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from frontend import median_time, small_call_tables  # noqa: E402
from peers import lme4_available  # noqa: E402

R_SCRIPT = r"""
suppressMessages(library(lme4))
args <- commandArgs(trailingOnly = TRUE)
d <- read.csv(args[1], stringsAsFactors = TRUE)
f <- as.formula(args[2])
reps <- as.integer(args[3])
fit <- lmer(f, d)
times <- numeric(reps)
for (i in seq_len(reps)) times[i] <- system.time(fit <- lmer(f, d))[["elapsed"]]
cat(sprintf("%.6f %.10f\n", median(times), REMLcrit(fit)))
"""


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--repeat", type=int, default=21, help="lmer calls per table (median)")
    args = ap.parse_args()
    import corvane

    print(f"machine: {platform.machine()}, {len(os.sched_getaffinity(0))} CPUs available; "
          f"Python {platform.python_version()}, NumPy {np.__version__}")
    have_r = lme4_available()
    scratch = tempfile.mkdtemp(prefix="corvane-small-")
    script = os.path.join(scratch, "lmer.R")
    with open(script, "w") as f:
        f.write(R_SCRIPT)
    print(f"\n{'table':>20} {'formula':<38} {'corvane.lmm':>12} {'lmer':>10} {'lmer / corvane':>15}")
    for name, frame, formula, repeat in small_call_tables():
        corvane.lmm(formula, frame)
        whole, r = median_time(lambda: corvane.lmm(formula, frame), repeat)
        line = f"{name:>20} {formula:<38} {whole * 1e3:9.3f} ms"
        if have_r:
            path = os.path.join(scratch, "table.csv")
            frame.to_csv(path, index=False)
            out = subprocess.run(["Rscript", script, path, formula, str(args.repeat)], capture_output=True,
                                 text=True, check=True)
            t, crit = map(float, out.stdout.split())
            line += (f" {t * 1e3:7.1f} ms {t / whole:14.1f}x   REML criterion corvane {r.criterion:.6f}, "
                     f"lme4 {crit:.6f}")
        print(line)
    if not have_r:
        print("(no Rscript with lme4: corvane's times only)")


if __name__ == "__main__":
    main()
