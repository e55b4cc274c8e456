"""corvane against the tools users would pick instead: lme4 (R) and statsmodels MixedLM.

Usage: python bench/peers.py [--quick] [--cap SECONDS] [--repeat N] [--scratch DIR]

Generates random-intercept-and-slope designs with unequal group sizes (fixed
seeds), writes each once to a scratch folder as raw little-endian binary files
that every tool reads, and fits each by REML from data already in memory:

  corvane      construction + multi-start fit (default starts), median of N runs,
               1-thread pool and full pool (child processes), with the number of
               criterion evaluations and the peak memory of the fit;
  statsmodels  MixedLM(...).fit(reml=True), one run with a time cap;
  lme4         lmer(..., REML = TRUE) through Rscript when it is installed,
               median of N runs for small cases, one capped run otherwise.

Every tool's estimate is also turned into a theta and scored with corvane's own
REML criterion, so the criteria compare on one scale. Beside the times it
prints the limits: NumPy's time to read the input arrays once, and the
criterion's per-group cost units per nanosecond against the machine's scalar
floating-point rate (a small C loop compiled here).
"""

import argparse
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import in_child, vm_kb  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))

# (n, m, p, q, peers)
CASES = [
    (10**4, 100, 3, 1, True),
    (10**5, 10**3, 5, 2, True),
    (10**6, 10**4, 5, 2, True),
    (10**6, 125000, 4, 1, True),
    (2 * 10**5, 2000, 4, 3, True),
    (10**7, 10**5, 5, 2, False),
]

STARTS_PER_Q = {1: [1.0, 0.5, 2.0], 2: [1, 0, 1, 0.5, 0, 0.5, 2, 0.5, 0.5], 3: [1, 0, 0, 1, 0, 1, 0.5, 0, 0, 0.5, 0, 0.5]}


def case_name(n, m, p, q):
    return "n=%g m=%g p=%d q=%d" % (n, m, p, q)


# ---- data ------------------------------------------------------------------

def generate(n, m, p, q, seed=20261208):
    """X = [1, x1..x_{p-1}], Z = the first q columns of X, unequal group sizes."""
    rng = np.random.default_rng(seed + n + m + p + q)
    weights = rng.gamma(2.0, 1.0, size=m)
    codes = np.sort(rng.choice(m, size=n, p=weights / weights.sum())).astype(np.int64)
    codes[:m] = np.arange(m)  # every group occurs
    codes.sort()
    x = np.empty((n, p))
    x[:, 0] = 1.0
    x[:, 1:] = rng.standard_normal((n, p - 1))
    z = np.ascontiguousarray(x[:, :q])
    scale = np.linspace(1.0, 0.3, q)
    b = rng.standard_normal((m, q)) * scale
    y = x @ np.linspace(1.0, 2.0, p) + np.einsum("ij,ij->i", z, b[codes]) + rng.standard_normal(n)
    return y, x, z, codes


def write_case(folder, n, m, p, q):
    path = os.path.join(folder, "case_%d_%d_%d_%d" % (n, m, p, q))
    if os.path.exists(os.path.join(path, "meta.json")):
        return path
    os.makedirs(path, exist_ok=True)
    y, x, z, codes = generate(n, m, p, q)
    y.astype("<f8").tofile(os.path.join(path, "y.f64"))
    x.astype("<f8").tofile(os.path.join(path, "x.f64"))
    codes.astype("<i8").tofile(os.path.join(path, "codes.i64"))
    codes.astype("<i4").tofile(os.path.join(path, "codes.i32"))
    with open(os.path.join(path, "meta.json"), "w") as f:
        json.dump(dict(n=n, m=m, p=p, q=q), f)
    return path


def read_case(path):
    with open(os.path.join(path, "meta.json")) as f:
        meta = json.load(f)
    n, p, q = meta["n"], meta["p"], meta["q"]
    y = np.fromfile(os.path.join(path, "y.f64"), dtype="<f8")
    x = np.fromfile(os.path.join(path, "x.f64"), dtype="<f8").reshape(n, p)
    codes = np.fromfile(os.path.join(path, "codes.i64"), dtype="<i8")
    z = np.ascontiguousarray(x[:, :q])
    return meta, y, x, z, codes


def theta_from_cov(cov):
    """Relative covariance (cov_re / sigma^2) -> theta, lower triangle column by column."""
    q = cov.shape[0]
    try:
        lam = np.linalg.cholesky(cov)
    except np.linalg.LinAlgError:
        w, v = np.linalg.eigh(cov)
        lam = np.linalg.cholesky(v @ np.diag(np.maximum(w, 0) + 1e-300) @ v.T)
    return [float(lam[k, j]) for j in range(q) for k in range(j, q)]


# ---- corvane (runs in a child process) -------------------------------------

def corvane_run(path, repeat):
    from corvane import LmmCore

    # ru_maxrss survives exec (it would report the parent's peak), so the
    # peak is read from this process's own VmHWM.
    baseline_kb = vm_kb("VmRSS")
    meta, y, x, z, codes = read_case(path)
    m, q = meta["m"], meta["q"]
    starts = STARTS_PER_Q[q]
    read = []
    for _ in range(3):
        t0 = time.perf_counter()
        for a in (y, x, z, codes):
            a.sum()
        read.append(time.perf_counter() - t0)
    builds, fits, result = [], [], None
    for _ in range(repeat):
        t0 = time.perf_counter()
        core = LmmCore(y, x, z, codes, m)
        t1 = time.perf_counter()
        result = core.fit(starts)
        t2 = time.perf_counter()
        builds.append(t1 - t0)
        fits.append(t2 - t1)
    peak_kb = vm_kb("VmHWM") - baseline_kb
    inputs = y.nbytes + x.nbytes + z.nbytes + codes.nbytes
    products = 8 * m * (q * q + q * meta["p"] + q)
    # The criterion's speed on its own: ValueOnly evaluations at the optimum.
    theta = result["theta"].tolist()
    calls, t0 = 0, time.perf_counter()
    while calls < 5 or time.perf_counter() - t0 < 0.5:
        core.deviance(theta)
        calls += 1
    per_eval = (time.perf_counter() - t0) / calls
    return dict(build=builds, fit=fits, read=read, deviance=result["deviance"], theta=theta,
                fev=result["fev"], converged=result["converged"], evaluator=core.evaluator,
                peak_kb=peak_kb, inputs=inputs, products=products, per_eval=per_eval)


def score(path, theta):
    """corvane's REML criterion at a theta (a common scale for every tool)."""
    from corvane import LmmCore

    meta, y, x, z, codes = read_case(path)
    core = LmmCore(y, x, z, codes, meta["m"])
    return core.deviance(theta)


# ---- statsmodels (child process with a time cap) ----------------------------

def statsmodels_run(path):
    import warnings

    import statsmodels.api as sm

    meta, y, x, z, codes = read_case(path)
    warnings.simplefilter("ignore")
    t0 = time.perf_counter()
    fit = sm.MixedLM(y, x, groups=codes, exog_re=z).fit(reml=True)
    elapsed = time.perf_counter() - t0
    cov = np.asarray(fit.cov_re) / fit.scale
    return dict(time=elapsed, crit=-2.0 * float(fit.llf), theta=theta_from_cov(np.atleast_2d(cov)))


def run_capped(args, cap):
    t0 = time.perf_counter()
    try:
        proc = subprocess.run(args, capture_output=True, text=True, timeout=cap)
    except subprocess.TimeoutExpired:
        return None, time.perf_counter() - t0
    if proc.returncode != 0:
        raise RuntimeError(proc.stderr[-2000:])
    return json.loads(proc.stdout.strip().splitlines()[-1]), time.perf_counter() - t0


def statsmodels_child(path, cap):
    code = "import sys, json\nsys.path.insert(0, %r)\nimport peers\nprint(json.dumps(peers.statsmodels_run(%r)))\n" % (HERE, path)
    out, _ = run_capped([sys.executable, "-c", code], cap)
    return out


# ---- lme4 through Rscript ----------------------------------------------------

R_SCRIPT = r"""
args <- commandArgs(trailingOnly = TRUE)
path <- args[1]; repeats <- as.integer(args[2])
suppressMessages(library(lme4))
meta <- jsonlite_free <- NULL
txt <- readLines(file.path(path, "meta.json"), warn = FALSE)
num <- function(key) as.numeric(sub(paste0('.*"', key, '": *([0-9]+).*'), "\\1", txt))
n <- num("n"); p <- num("p"); q <- num("q")
y <- readBin(file.path(path, "y.f64"), "double", n, size = 8, endian = "little")
x <- matrix(readBin(file.path(path, "x.f64"), "double", n * p, size = 8, endian = "little"), nrow = n, byrow = TRUE)
g <- readBin(file.path(path, "codes.i32"), "integer", n, size = 4, endian = "little")
d <- data.frame(y = y, g = factor(g))
for (k in 2:p) d[[paste0("x", k - 1)]] <- x[, k]
fixed <- paste(paste0("x", 1:(p - 1)), collapse = " + ")
random <- if (q > 1) paste(c("1", paste0("x", 1:(q - 1))), collapse = " + ") else "1"
form <- as.formula(paste0("y ~ ", fixed, " + (", random, " | g)"))
times <- numeric(0)
for (r in seq_len(repeats)) {
  t <- system.time(fit <- lmer(form, data = d, REML = TRUE))[["elapsed"]]
  times <- c(times, t)
}
cat(sprintf('{"times": [%s], "crit": %.17g, "theta": [%s]}\n',
            paste(sprintf("%.6f", times), collapse = ", "), REMLcrit(fit),
            paste(sprintf("%.17g", getME(fit, "theta")), collapse = ", ")))
"""


def lme4_available():
    if not shutil.which("Rscript"):
        return False
    proc = subprocess.run(["Rscript", "-e", "suppressMessages(library(lme4))"], capture_output=True)
    return proc.returncode == 0


def lme4_child(path, repeats, cap, script):
    out, _ = run_capped(["Rscript", script, path, str(repeats)], cap)
    return out


# ---- the machine's scalar floating-point rate --------------------------------

FLOPS_C = r"""
#include <stdio.h>
#include <time.h>
int main(void) {
    /* 8 independent chains of x = x * a + b (a rounded multiply, then an add). */
    double x[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const double a = 0.999999, b = 1e-7;
    long iters = 200000000L;
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    for (long i = 0; i < iters; ++i)
        for (int k = 0; k < 8; ++k) x[k] = x[k] * a + b;
    clock_gettime(CLOCK_MONOTONIC, &t1);
    double s = 0; for (int k = 0; k < 8; ++k) s += x[k];
    double ns = (t1.tv_sec - t0.tv_sec) * 1e9 + (t1.tv_nsec - t0.tv_nsec);
    printf("%.6f %g\n", 2.0 * 8 * iters / ns, s);
    return 0;
}
"""


def scalar_rate(folder):
    cc = shutil.which("cc") or shutil.which("gcc")
    if not cc:
        return None
    src = os.path.join(folder, "flops.c")
    exe = os.path.join(folder, "flops")
    with open(src, "w") as f:
        f.write(FLOPS_C)
    subprocess.run([cc, "-O2", "-ffp-contract=off", "-fno-fast-math", "-o", exe, src], check=True)
    out = subprocess.run([exe], capture_output=True, text=True, check=True).stdout.split()
    return float(out[0])


def blocks_cost(p, q):
    return (3 * q * q + (q + q * q) // 2) * (p + q) + 2 * p * p * q + 8


# ---- the table -----------------------------------------------------------------

def fmt_times(ts):
    if len(ts) == 1:
        return "%.3f s" % ts[0]
    return "%.3f s (%.3f-%.3f)" % (statistics.median(ts), min(ts), max(ts))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="the two smallest cases only")
    ap.add_argument("--cap", type=float, default=300.0, help="time cap per peer fit, seconds")
    ap.add_argument("--repeat", type=int, default=5, help="corvane runs per case (median)")
    ap.add_argument("--scratch", default=os.path.join(tempfile.gettempdir(), "corvane-bench"))
    args = ap.parse_args()
    os.makedirs(args.scratch, exist_ok=True)

    cpus = len(os.sched_getaffinity(0))
    have_r = lme4_available()
    rate = scalar_rate(args.scratch)
    try:
        import statsmodels
        sm_version = statsmodels.__version__
    except ImportError:
        sm_version = None
    r_script = os.path.join(args.scratch, "fit_lme4.R")
    with open(r_script, "w") as f:
        f.write(R_SCRIPT)
    r_version = None
    if have_r:
        r_version = subprocess.run(["Rscript", "-e", "cat(as.character(packageVersion('lme4')))"],
                                   capture_output=True, text=True).stdout.strip()

    print("machine: %s, %s, %d CPUs available; Python %s, NumPy %s, statsmodels %s, lme4 %s"
          % (platform.machine(), platform.node(), cpus, platform.python_version(), np.__version__,
             sm_version or "not installed", r_version or "not installed"))
    if rate:
        print("scalar floating-point rate (8 chains of multiply + add, no FMA): %.2f flops/ns per core" % rate)
    print("REML fits from data in memory; corvane = construction + fit from %s starts" % "3")
    print()

    cases = CASES[:2] if args.quick else CASES
    rows = []
    for n, m, p, q, with_peers in cases:
        path = write_case(args.scratch, n, m, p, q)
        repeat = args.repeat if n <= 10**6 else max(3, args.repeat // 2)
        one = in_child("peers", "corvane_run", path, repeat, one_thread=True)
        full = in_child("peers", "corvane_run", path, repeat)
        sm = lme = None
        sm_note = lme_note = "not run"
        if with_peers:
            if sm_version:
                sm = statsmodels_child(path, args.cap)
                sm_note = "over %d s" % args.cap if sm is None else None
            else:
                sm_note = "not installed"
            if have_r:
                lme = lme4_child(path, 3 if n <= 10**5 else 1, args.cap, r_script)
                lme_note = "over %d s" % args.cap if lme is None else None
            else:
                lme_note = "not installed"
        rows.append((n, m, p, q, one, full, sm, sm_note, lme, lme_note, path))
        print_case(rows[-1], rate)
    print_summary(rows)


def print_case(row, rate):
    n, m, p, q, one, full, sm, sm_note, lme, lme_note, path = row
    total = [b + f for b, f in zip(full["build"], full["fit"])]
    total1 = [b + f for b, f in zip(one["build"], one["fit"])]
    med = statistics.median(total)
    print("== %s (corvane chose %s)" % (case_name(n, m, p, q), full["evaluator"]))
    print("  corvane, %d threads: total %s = construction %s + fit %s; %d evaluations; converged %s"
          % (len(os.sched_getaffinity(0)), fmt_times(total), fmt_times(full["build"]), fmt_times(full["fit"]),
             full["fev"], full["converged"]))
    print("  corvane, 1 thread:  total %s = construction %s + fit %s  (speed-up of the full pool %.2fx)"
          % (fmt_times(total1), fmt_times(one["build"]), fmt_times(one["fit"]), statistics.median(total1) / med))
    print("  REML criterion %.10g" % full["deviance"])
    read = statistics.median(full["read"])
    print("  limits: NumPy one-pass read of the inputs %.4f s -> construction at %.1fx of it"
          % (read, statistics.median(full["build"]) / read))
    if full["evaluator"] == "blocks":
        cores = len(os.sched_getaffinity(0))
        for label, res, threads in (("1 thread", one, 1), ("%d threads" % cores, full, cores)):
            per_ns = m * blocks_cost(p, q) / (res["per_eval"] * 1e9)
            extra = " = %.0f%% of the scalar rate x %d" % (100 * per_ns / (rate * threads), threads) if rate else ""
            print("  criterion (deviance, %s): %.1f us per evaluation, %.2f per-group cost units/ns%s"
                  % (label, res["per_eval"] * 1e6, per_ns, extra))
    else:
        print("  criterion: %.1f us per evaluation (aggregated kernel: cost follows the classes, not m)"
              % (full["per_eval"] * 1e6))
    print("  peak memory of the process above the bare interpreter %.0f MB; input arrays %.0f MB + per-group "
          "products %.0f MB (ratio %.2f)" % (full["peak_kb"] / 1024, full["inputs"] / 2**20, full["products"] / 2**20,
                            full["peak_kb"] * 1024 / (full["inputs"] + full["products"])))
    for name, res, note, key in (("statsmodels", sm, sm_note, "time"), ("lme4", lme, lme_note, "times")):
        if res is None:
            print("  %-12s %s" % (name, note))
            continue
        t = res[key] if isinstance(res[key], list) else [res[key]]
        own = score(path, res["theta"])
        print("  %-12s %s  (%.0fx corvane)  its criterion %.10g; corvane's criterion at its estimate %.10g "
              "(corvane's own is %s by %.2e relative)"
              % (name, fmt_times(t), statistics.median(t) / med, res["crit"], own,
                 "lower" if full["deviance"] <= own else "HIGHER", abs(own - full["deviance"]) / abs(own)))
    print(flush=True)


def print_summary(rows):
    print("summary: complete REML fit, median seconds (ratio peer / corvane full pool)")
    header = "%-34s %12s %12s %22s %22s" % ("case", "corvane 1t", "corvane", "statsmodels", "lme4")
    print(header)
    print("-" * len(header))
    for n, m, p, q, one, full, sm, sm_note, lme, lme_note, _ in rows:
        med = statistics.median([b + f for b, f in zip(full["build"], full["fit"])])
        med1 = statistics.median([b + f for b, f in zip(one["build"], one["fit"])])
        cells = []
        for res, note, key in ((sm, sm_note, "time"), (lme, lme_note, "times")):
            if res is None:
                cells.append(note)
            else:
                t = statistics.median(res[key] if isinstance(res[key], list) else [res[key]])
                cells.append("%.2f (%.0fx)" % (t, t / med))
        print("%-34s %12.4f %12.4f %22s %22s" % (case_name(n, m, p, q), med1, med, cells[0], cells[1]))


if __name__ == "__main__":
    main()
