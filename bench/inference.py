"""Inference after the fit: Satterthwaite's df, profile intervals, the parametric bootstrap.

Usage: python bench/inference.py [--no-r]

  satterthwaite  df of every fixed effect at n = 10^6, m = 10^4, p = 5, q = 2
                 (one variance_derivatives pass plus the algebra), median of 5;
  kenward-roger  the adjusted covariance and every fixed effect's df at
                 n = 10^6 with m = 10^4 and m = 10^5 groups, median of 5, and
                 pbkrtest's (through lmerTest) at n = 1000..8000 when R is
                 installed (it forms n x n matrices);
  emmeans        marginal means and pairwise comparisons of y ~ A * B + (1 | g)
                 at 10^6 rows (first call, which imports scipy.stats, and
                 later calls), emmeans' at 10^5 rows when R is
                 installed; predict(se=True) for 10^5 new rows;
  profile        profile intervals of every parameter of sleepstudy
                 (Reaction ~ Days + (Days | Subject)), REML and ML fits,
                 median of 21 after a first call (which also imports scipy),
                 alone and with --busy spinning processes beside, and the
                 ratio of lme4's confint(method = "profile") time to it;
  bootstrap      10,000 replicates of that model (simulation, refits,
                 mapping back), full pool and one thread;
  R              the same with lme4 / lmerTest when Rscript is installed:
                 confint(method = "profile") and bootMer with 200 replicates
                 (scaled to 10,000 in the printout).
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time

import numpy as np
import pandas as pd

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peers  # noqa: E402

import corvane  # noqa: E402
from corvane.inference import satterthwaite as inference  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def timed(f, repeat=5):
    ts = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        f()
        ts.append(time.perf_counter() - t0)
    return statistics.median(ts), min(ts), max(ts)


def satterthwaite():
    print("== Satterthwaite df, n=10^6 m=10^4 p=5 q=2")
    y, x, z, codes = peers.generate(10**6, 10**4, 5, 2)
    r = corvane.LinearMixedModel(y, x, z, codes).fit()
    med, lo, hi = timed(lambda: inference.Satterthwaite(r).df())
    print(f"  all {len(r.fe_names)} df: {med:.4f} s ({lo:.4f}-{hi:.4f}); df = {np.round(r.ddf.to_numpy(), 2).tolist()}")
    med, lo, hi = timed(lambda: r.model.core.deviance_grad(r.theta_core.tolist()))
    print(f"  (one deviance_grad for scale: {med:.4f} s)")


def kenward_roger(with_r):
    from corvane.inference.kenward_roger import KenwardRoger

    print("\n== Kenward-Roger: adjusted cov(beta) and all df, n=10^6 p=5 q=2")
    for m in (10**4, 10**5):
        y, x, z, codes = peers.generate(10**6, m, 5, 2)
        r = corvane.LinearMixedModel(y, x, z, codes).fit()
        p = len(r.fe_names)

        def run():
            kr = KenwardRoger(r)
            return [kr.t_test(np.eye(p)[j])[2] for j in range(p)]

        med, lo, hi = timed(run)
        print(f"  m={m:>6}: {med:.4f} s ({lo:.4f}-{hi:.4f}); df = {np.round(run(), 2).tolist()}")
    if not with_r or not shutil.which("Rscript"):
        return
    script = r"""
suppressMessages(library(lmerTest))
for (n in c(1000, 2000, 4000, 8000)) {
  set.seed(1); m <- n / 100; g <- factor(sample(m, n, replace = TRUE)); x <- rnorm(n)
  y <- 1 + x + rnorm(m)[g] + rnorm(m, 0, 0.5)[g] * x + rnorm(n)
  fit <- lmer(y ~ x + (x | g))
  t <- system.time(s <- summary(fit, ddf = "Kenward-Roger"))[["elapsed"]]
  cat(sprintf("  pbkrtest n=%5d: %.2f s\n", n, t))
}
"""
    proc = subprocess.run(["Rscript", "-e", script], capture_output=True, text=True)
    print(proc.stdout.rstrip() if proc.returncode == 0 else f"  pbkrtest failed: {proc.stderr.strip()[-200:]}")


def marginal_means(with_r):
    print("\n== emmeans / pairwise, y ~ A * B + (1 | g), n=10^6, 1000 groups")
    rng = np.random.default_rng(7)
    n, m = 10**6, 1000
    g = rng.integers(0, m, n)
    a = rng.choice(["a1", "a2", "a3"], n)
    b = rng.choice(["b1", "b2", "b3", "b4"], n)
    y = (np.where(a == "a2", 1.0, 0.0) + np.where(b == "b3", -0.5, 0.0) + rng.normal(0, 1, m)[g]
         + rng.normal(0, 1, n))
    df = pd.DataFrame({"y": y, "A": a, "B": b, "g": g})
    r = corvane.lmm("y ~ A * B + (1 | g)", df, progress=False)
    t0 = time.perf_counter()
    r.emmeans("A")
    first = time.perf_counter() - t0
    med, lo, hi = timed(lambda: r.emmeans("A"))
    print(f"  emmeans('A'): first call {first:.3f} s (it imports scipy.stats), then {med * 1e3:.1f} ms "
          f"({lo * 1e3:.1f}-{hi * 1e3:.1f})")
    med, lo, hi = timed(lambda: r.pairwise("A"))
    print(f"  pairwise('A'): {med * 1e3:.1f} ms ({lo * 1e3:.1f}-{hi * 1e3:.1f})")
    new = df.sample(10**5, random_state=1)
    med, lo, hi = timed(lambda: r.predict(new, se=True))
    print(f"  predict(se=True), 10^5 rows: {med:.3f} s ({lo:.3f}-{hi:.3f})")
    if not with_r or not shutil.which("Rscript"):
        return
    script = r"""
suppressMessages({library(lmerTest); library(emmeans)})
set.seed(7); n <- 1e5; m <- 1000; g <- factor(sample(m, n, TRUE))
A <- factor(sample(c("a1", "a2", "a3"), n, TRUE)); B <- factor(sample(c("b1", "b2", "b3", "b4"), n, TRUE))
y <- (A == "a2") - 0.5 * (B == "b3") + rnorm(m)[g] + rnorm(n)
fit <- lmer(y ~ A * B + (1 | g)); emm_options(lmer.df = "satterthwaite")
t1 <- system.time(e <- emmeans(fit, "A"))[["elapsed"]]
t2 <- system.time(p <- pairs(e))[["elapsed"]]
cat(sprintf("  emmeans (R), n=10^5: emmeans %.2f s, pairs %.3f s\n", t1, t2))
"""
    proc = subprocess.run(["Rscript", "-e", script], capture_output=True, text=True)
    print(proc.stdout.rstrip() if proc.returncode == 0 else f"  emmeans failed: {proc.stderr.strip()[-200:]}")


def busy_processes(k):
    """k processes spinning on a CPU each (the machine under other load)."""
    return [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(k)]


def profile(df, lme4_seconds, busy):
    print("\n== profile intervals, sleepstudy (1 + Days | Subject), every parameter")
    for load in (0, busy):
        spinners = busy_processes(load)
        try:
            for reml in (True, False):
                r = corvane.lmm("Reaction ~ Days + (Days | Subject)", df, reml=reml)
                t0 = time.perf_counter()
                r.confint(method="profile")
                first = time.perf_counter() - t0
                med, lo, hi = timed(lambda: r.confint(method="profile"), repeat=21)
                ratio = f"; lme4's confint / this = {lme4_seconds / med:.0f}x" if lme4_seconds else ""
                print(f"  {'REML' if reml else 'ML  '} fit, {load} busy processes beside: {med * 1e3:.1f} ms "
                      f"({lo * 1e3:.1f}-{hi * 1e3:.1f}); first call {first * 1e3:.0f} ms{ratio}")
        finally:
            for proc in spinners:
                proc.kill()
                proc.wait()


def bootstrap(df):
    print("\n== parametric bootstrap, sleepstudy (1 + Days | Subject), 10,000 replicates")
    r = corvane.lmm("Reaction ~ Days + (Days | Subject)", df)
    r.bootstrap(n=200, seed=0, progress=False)
    before = corvane.get_num_threads()
    for threads in (before, 1):
        corvane.set_num_threads(threads)
        t0 = time.perf_counter()
        b = r.bootstrap(n=10000, seed=1, progress=False)
        t = time.perf_counter() - t0
        print(f"  {threads} thread{'s' if threads > 1 else ''}: {t:.3f} s, {b.n_converged} of {b.n} converged, "
              f"{np.mean(b.evaluations):.1f} evaluations per replicate")
    corvane.set_num_threads(before)


R_SCRIPT = r"""
suppressMessages(library(lme4))
fm <- lmer(Reaction ~ Days + (Days | Subject), sleepstudy)
t1 <- system.time(ci <- suppressMessages(confint(fm, method = "profile")))[["elapsed"]]
t2 <- system.time(b <- bootMer(fm, fixef, nsim = 200, seed = 1))[["elapsed"]]
cat(sprintf("%.3f %.3f\n", t1, t2))
"""


def r_side():
    """lme4's confint(method = "profile") time in seconds (None without R)."""
    if not shutil.which("Rscript"):
        print("\n(R is not installed: no lme4 figures)")
        return None
    print("\n== lme4 on the same model")
    proc = subprocess.run(["Rscript", "-e", R_SCRIPT], capture_output=True, text=True)
    if proc.returncode != 0:
        print("  failed:", proc.stderr.strip().splitlines()[-1:])
        return None
    t1, t2 = map(float, proc.stdout.split())
    print(f"  confint(method = 'profile'): {t1:.2f} s; bootMer 200 replicates: {t2:.2f} s "
          f"(10,000: about {t2 * 50:.0f} s)")
    return t1


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--no-r", action="store_true", help="skip the lme4 figures")
    ap.add_argument("--busy", type=int, default=2, help="spinning processes beside the loaded profile run")
    args = ap.parse_args()
    print(f"machine: {os.cpu_count()} CPUs, corvane threads {corvane.get_num_threads()}")
    df = pd.read_csv(os.path.join(ROOT, "tests", "data", "sleepstudy.csv"))
    satterthwaite()
    kenward_roger(not args.no_r)
    marginal_means(not args.no_r)
    lme4_seconds = None if args.no_r else r_side()
    profile(df, lme4_seconds, args.busy)
    bootstrap(df)


if __name__ == "__main__":
    main()
