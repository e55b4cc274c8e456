"""Generalized linear mixed models: corvane.glmm against lme4's glmer, and the
cost of one criterion evaluation against a one-pass read of the rows.

Usage: python bench/glmm.py [--quick] [--peer-only] [--rows 1e6,1e7] [--n N --m M]
                            [--repeat N] [--cap SECONDS] [--threads K] [--markdown]

Sections:

  simulated  a binomial model with a correlated random slope, y ~ x + (x | g):
             x ~ N(0, 1) per row, m groups of about n / m rows, (b0, b1) per
             group ~ N(0, Sigma) with sds 0.8, 0.4 and correlation 0.3,
             eta = -0.5 + 0.7 x + b0 + b1 x, y ~ Bernoulli(logistic(eta))
             (n = 2e5, m = 2000 by default, fixed seed);
  real       the datasets in tests/data: cbpp (binomial, successes / trials),
             grouseticks (Poisson) and Contraception (binomial with a
             correlated random slope);
  large      the simulated model at 1e6 and 1e7 rows (m = n / 100), corvane
             only: the fit, one evaluation of the criterion (value only, and
             with first derivatives) at the optimum, and the time NumPy takes
             to read the same rows once.

glmer runs with its defaults (glmer(formula, family = ...), Laplace, the
two-stage bobyqa / Nelder-Mead fit) through Rscript on bench/glmm_glmer.R,
which reads a CSV file and times only the glmer call (one run for the
simulated model, the best of 3 after a warm-up for the real datasets).
corvane.glmm is timed on a DataFrame already in memory: the best of --repeat
fits after one warm-up. "glmer / corvane" is the ratio of those times.

--peer-only runs the R side alone (corvane is not imported); --quick runs
the simulated model at 2e4 rows and 200 groups, and the large section at 1e5
rows.
"""

import argparse
import json
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
DATA = os.path.join(ROOT, "tests", "data")
R_SCRIPT = os.path.join(HERE, "glmm_glmer.R")

SEED = 20260315
BETA = (-0.5, 0.7)
SDS = (0.8, 0.4)
CORR = 0.3
FORMULA = "y ~ x + (x | g)"

# The real datasets: corvane's call and glmer's on the same rows. cbpp is
# fitted as successes / failures by glmer and as a proportion with the
# trials as weights by corvane (the same likelihood).
REAL = [
    dict(name="cbpp", file="cbpp.csv", family="binomial",
         glmer_formula="cbind(incidence, size - incidence) ~ period + (1 | herd)",
         formula="prop ~ period + (1 | herd)", weights="size", factors=["herd"]),
    dict(name="grouseticks", file="grouseticks.csv", family="poisson",
         glmer_formula="TICKS ~ YEAR + HEIGHT_s + (1 | BROOD)",
         formula="TICKS ~ YEAR + HEIGHT_s + (1 | BROOD)", factors=["BROOD"]),
    dict(name="Contraception", file="Contraception.csv", family="binomial",
         glmer_formula="use ~ age + urban + (urban | district)",
         formula="use ~ age + urban + (urban | district)", factors=["district"], binary="use"),
]


# ---- data ------------------------------------------------------------------

def generate(n, m, seed=SEED):
    """(y, x, g): float64 0/1 responses, float64 x, int64 group codes in [0, m).
    Each group's size is about n / m (codes drawn uniformly, rows in no group
    order; every group occurs). Built in place to keep at most a few arrays
    of n doubles alive (10^7 rows: under 0.5 GB at the peak)."""
    rng = np.random.default_rng(seed + n + m)
    x = rng.standard_normal(n)
    g = rng.integers(0, m, size=n, dtype=np.int64)
    g[: min(m, n)] = np.arange(min(m, n))
    sigma = np.array([[SDS[0] ** 2, CORR * SDS[0] * SDS[1]], [CORR * SDS[0] * SDS[1], SDS[1] ** 2]])
    b = rng.standard_normal((m, 2)) @ np.linalg.cholesky(sigma).T
    eta = np.take(np.ascontiguousarray(b[:, 1]), g)      # b1
    eta += BETA[1]                                         # 0.7 + b1
    eta *= x                                               # (0.7 + b1) x
    eta += np.take(np.ascontiguousarray(b[:, 0]), g)      # + b0
    eta += BETA[0]
    np.negative(eta, out=eta)                              # logistic(eta) = 1 / (1 + exp(-eta))
    np.exp(eta, out=eta)
    eta += 1.0
    np.reciprocal(eta, out=eta)
    y = (rng.random(n) < eta).astype(np.float64)
    del eta
    return y, x, g


def write_csv(folder, n, m, y, x, g):
    """The simulated rows as y,x,g (x with 17 significant digits, so R reads
    the same doubles); reused when already written."""
    path = os.path.join(folder, "glmm_%d_%d_%d.csv" % (n, m, SEED))
    if os.path.exists(path):
        return path
    tmp = path + ".writing"
    with open(tmp, "w") as f:
        f.write("y,x,g\n")
        step = 10**6
        for s in range(0, n, step):
            block = np.column_stack([y[s:s + step], x[s:s + step], g[s:s + step].astype(np.float64)])
            np.savetxt(f, block, fmt=["%d", "%.17g", "%d"], delimiter=",")
    os.replace(tmp, path)
    return path


def read_real(case):
    """A real dataset as corvane takes it (the proportion column for cbpp,
    a 0/1 response for a Y/N text column)."""
    import pandas as pd

    df = pd.read_csv(os.path.join(DATA, case["file"]))
    if case["name"] == "cbpp":
        df["prop"] = df["incidence"] / df["size"]
    col = case.get("binary")
    if col and not pd.api.types.is_numeric_dtype(df[col]):
        df[col] = df[col].astype(str).isin(["Y", "y", "yes", "TRUE", "1"]).astype(np.int64)
    return df


# ---- glmer through Rscript -----------------------------------------------------

def r_versions():
    if not shutil.which("Rscript"):
        return None
    proc = subprocess.run(["Rscript", "-e", "suppressMessages(library(lme4)); "
                           "cat(as.character(packageVersion('lme4')), R.version$major, R.version$minor)"],
                          capture_output=True, text=True)
    if proc.returncode != 0:
        return None
    lme4, major, minor = proc.stdout.split()
    return "R %s.%s, lme4 %s" % (major, minor, lme4)


def glmer(path, formula, family, cap, factors=(), weights=None, binary=None, warmup=0, repeat=1):
    """glmer's default fit on a CSV file: the parsed JSON line, or a dict with
    "error" (the time cap reached, or R's last lines of output)."""
    cmd = ["Rscript", R_SCRIPT, "--data", path, "--formula", formula, "--family", family,
           "--warmup", str(warmup), "--repeat", str(repeat)]
    if factors:
        cmd += ["--factors", ",".join(factors)]
    if weights:
        cmd += ["--weights", weights]
    if binary:
        cmd += ["--binary", binary]
    t0 = time.perf_counter()
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=cap)
    except subprocess.TimeoutExpired:
        return dict(error="over %d s" % cap)
    if proc.returncode != 0:
        return dict(error="R failed: " + " | ".join(proc.stderr.strip().splitlines()[-3:]))
    out = json.loads(proc.stdout.strip().splitlines()[-1])
    out["wall"] = time.perf_counter() - t0
    return out


# ---- corvane ---------------------------------------------------------------------

def evaluations_of(result):
    """The fit's criterion evaluations when the result says (None otherwise)."""
    for obj in (result, getattr(result, "model", None)):
        for name in ("evaluations", "fev", "nfev", "n_evaluations"):
            v = getattr(obj, name, None)
            if isinstance(v, (int, np.integer)) and not isinstance(v, bool):
                return int(v)
    return None


def corvane_fit(formula, df, family, repeat, weights=None):
    """One warm-up fit, then the best of `repeat` timed fits; (times, result)."""
    import corvane

    kwargs = dict(family=family)
    if weights is not None:
        kwargs["weights"] = weights
    result = corvane.glmm(formula, df, **kwargs)
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = corvane.glmm(formula, df, **kwargs)
        times.append(time.perf_counter() - t0)
    # The fit alone, on the model already built from the formula (the
    # formula and the table's columns cost the same as for lmm).
    model = result.model
    fit_times = []
    for _ in range(max(repeat, 5)):
        t0 = time.perf_counter()
        model.fit()
        fit_times.append(time.perf_counter() - t0)
    result.fit_times = fit_times
    return times, result


def corvane_summary(times, result):
    params = result.params
    return dict(times=times, fit_times=getattr(result, "fit_times", None), llf=float(result.llf),
                converged=bool(result.converged),
                fixef_names=[str(k) for k in params.index], fixef=[float(v) for v in params.to_numpy()],
                theta=[float(v) for v in np.ravel(result.theta)], evaluations=evaluations_of(result))


def core_point(result):
    """(theta, beta, note) for core.evaluate: the core's own coordinates when
    the result has them, else the user-scale estimates (the cost of an
    evaluation hardly depends on the point; the note says which)."""
    theta = getattr(result, "theta_core", None)
    beta = None
    for name in ("beta_core", "params_core", "fe_core"):
        beta = getattr(result, name, None)
        if beta is not None:
            break
    note = "at the core's optimum"
    if theta is None or beta is None:
        note = "at the user-scale estimates (the result has no theta_core / beta_core)"
        theta = result.theta if theta is None else theta
        beta = result.params.to_numpy() if beta is None else beta
    return np.asarray(theta, dtype=np.float64).tolist(), np.asarray(beta, dtype=np.float64).tolist(), note


def time_call(f, min_calls=3, min_seconds=0.5):
    """Seconds per call: at least min_calls calls and min_seconds in all; best of the calls."""
    best, calls, t_start = float("inf"), 0, time.perf_counter()
    out = None
    while calls < min_calls or time.perf_counter() - t_start < min_seconds:
        t0 = time.perf_counter()
        out = f()
        best = min(best, time.perf_counter() - t0)
        calls += 1
    return best, calls, out


def one_pass_read(y, x, beta):
    """NumPy's one pass over the rows as the core holds them: X (n x 2, [1, x])
    times beta, the row sums of Z (n x 2, [1, x]; as Z times a vector of ones,
    NumPy's sum over a short axis being several times slower) and the sum of
    y; each array read once (X and Z are built outside the timed region)."""
    n = len(x)
    X = np.empty((n, 2))
    X[:, 0] = 1.0
    X[:, 1] = x
    Z = X.copy()
    beta = np.asarray(beta[:2], dtype=np.float64)
    ones = np.ones(2)

    def read():
        eta = X @ beta
        zs = Z @ ones
        return eta[-1] + zs[-1] + y.sum()

    t, _, _ = time_call(read, min_calls=3, min_seconds=0.3)
    nbytes = X.nbytes + Z.nbytes + y.nbytes
    del X, Z
    return t, nbytes


def scalar_evaluation(n, m, theta, beta):
    """Seconds of one value-only evaluation at (theta, beta) with the vector
    unit off (a child with CORVANE_LANES=0, on the same generated rows), or None."""
    code = ("import sys, json; sys.path.insert(0, %r); import glmm as G, corvane, pandas as pd\n"
            "y, x, g = G.generate(%d, %d)\n"
            "model = corvane.GeneralizedLinearMixedModel.from_formula(G.FORMULA, "
            "pd.DataFrame({'y': y, 'x': x, 'g': g}), family='binomial')\n"
            "t, _, _ = G.time_call(lambda: model.core.evaluate(%r, %r, nagq=1, derivatives=0))\n"
            "print(json.dumps(t))" % (os.path.dirname(os.path.abspath(__file__)), n, m, list(theta), list(beta)))
    try:
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                             env=dict(os.environ, CORVANE_LANES="0"))
        return float(json.loads(out.stdout.strip().splitlines()[-1]))
    except (subprocess.CalledProcessError, ValueError, IndexError):
        return None


def large_case(n, m, repeat):
    import pandas as pd

    import corvane

    t0 = time.perf_counter()
    y, x, g = generate(n, m)
    df = pd.DataFrame({"y": y, "x": x, "g": g}, copy=False)
    gen = time.perf_counter() - t0
    reps = repeat if n <= 10**6 else 1
    times = []
    result = None
    for _ in range(reps):
        t0 = time.perf_counter()
        result = corvane.glmm(FORMULA, df, family="binomial")
        times.append(time.perf_counter() - t0)
    out = dict(n=n, m=m, generate=gen, times=times, llf=float(result.llf), converged=bool(result.converged),
               evaluations=evaluations_of(result), fixef=[float(v) for v in result.params.to_numpy()],
               theta=[float(v) for v in np.ravel(result.theta)])
    core = getattr(getattr(result, "model", None), "core", None)
    if core is None or not hasattr(core, "evaluate"):
        out["eval_note"] = "result.model.core.evaluate is not there: no evaluation timings"
    else:
        theta, beta, note = core_point(result)
        out["eval_note"] = note
        out["core_n"] = int(getattr(core, "n", n))
        try:
            t_d0, c0, r0 = time_call(lambda: core.evaluate(theta, beta, nagq=1, derivatives=0))
            t_d1, c1, _ = time_call(lambda: core.evaluate(theta, beta, nagq=1, derivatives=1))
            out.update(eval_d0=t_d0, eval_d1=t_d1, eval_calls=(c0, c1), deviance=float(r0["deviance"]))
            if n <= 10**6:
                out["eval_d0_scalar"] = scalar_evaluation(n, m, [float(v) for v in theta], [float(v) for v in beta])
        except Exception as exc:  # the API is young: say what failed, keep the rest
            out["eval_note"] = "core.evaluate failed: %s: %s" % (type(exc).__name__, exc)
        out["read"], out["read_bytes"] = one_pass_read(y, x, beta)
    del df, y, x, g, result
    return out


# ---- printing ---------------------------------------------------------------------

def fmt_s(t):
    if t is None:
        return "-"
    if t < 1:
        return "%.2f ms" % (t * 1e3) if t < 0.1 else "%.1f ms" % (t * 1e3)
    return "%.2f s" % t if t < 100 else "%.0f s" % t


def glmer_time(r):
    return None if r is None or "error" in r else min(r["times"])


def print_comparison(name, rows, groups, r, c):
    """One case: times, ratio, logLiks and the fixed effects side by side."""
    print("== %s (%d rows, %d groups)" % (name, rows, groups))
    if r is not None:
        if "error" in r:
            print("  glmer: %s" % r["error"])
        else:
            ts = ", ".join("%.3f" % t for t in r["times"])
            print("  glmer:   %s (runs: %s); %s evaluations in its last stage (%s); logLik %.6f"
                  % (fmt_s(min(r["times"])), ts, r["feval"], "/".join(r["optimizer"]), r["logLik"]))
            for msg in r["messages"]:
                print("    glmer says: %s" % msg)
    if c is not None:
        if "error" in c:
            print("  corvane: %s" % c["error"])
        else:
            ts = ", ".join("%.4f" % t for t in c["times"])
            ev = "" if c["evaluations"] is None else "; %d evaluations" % c["evaluations"]
            print("  corvane: %s (best of %d after a warm-up: %s); converged %s%s; logLik %.6f"
                  % (fmt_s(min(c["times"])), len(c["times"]), ts, c["converged"], ev, c["llf"]))
    if r is not None and "error" not in r and c is not None and "error" not in c:
        tr, tc = min(r["times"]), min(c["times"])
        print("  glmer / corvane = %.1fx; logLik corvane - glmer = %.3e" % (tr / tc, c["llf"] - r["logLik"]))
        if c.get("fit_times"):
            tf = min(c["fit_times"])
            print("  corvane's fit alone (the model built): %s; glmer / that = %.1fx" % (fmt_s(tf), tr / tf))
        print("    %-22s %-22s %16s %16s %10s" % ("fixef (glmer)", "(corvane)", "glmer", "corvane", "diff"))
        k = max(len(r["fixef"]), len(c["fixef"]))
        for i in range(k):
            rn = r["fixef_names"][i] if i < len(r["fixef"]) else "-"
            cn = c["fixef_names"][i] if i < len(c["fixef"]) else "-"
            rv = r["fixef"][i] if i < len(r["fixef"]) else float("nan")
            cv = c["fixef"][i] if i < len(c["fixef"]) else float("nan")
            print("    %-22s %-22s %16.8f %16.8f %10.2e" % (rn, cn, rv, cv, cv - rv))
        print("    theta glmer   %s" % " ".join("%.6f" % v for v in r["theta"]))
        print("    theta corvane %s" % " ".join("%.6f" % v for v in c["theta"]))
    elif r is not None and "error" not in r:
        print("    fixef (glmer): %s" % ", ".join("%s %.6f" % kv for kv in zip(r["fixef_names"], r["fixef"])))
        print("    theta (glmer): %s" % " ".join("%.6f" % v for v in r["theta"]))
    print(flush=True)


def comparison_rows(cases):
    rows = []
    for name, n, m, r, c in cases:
        tr = glmer_time(r)
        tc = None if c is None or "error" in c else min(c["times"])
        ll_r = None if r is None or "error" in r else r["logLik"]
        ll_c = None if tc is None else c["llf"]
        rows.append([name, "%d" % n, "%d" % m,
                     fmt_s(tr) if r is not None and "error" not in r else (r["error"] if r else "not run"),
                     fmt_s(tc) if tc is not None else (c["error"] if c else "not run"),
                     "%.1fx" % (tr / tc) if tr and tc else "-",
                     fmt_s(min(c["fit_times"])) if tc is not None and c.get("fit_times") else "-",
                     "%.1fx" % (tr / min(c["fit_times"])) if tr and tc and c.get("fit_times") else "-",
                     "%.6f" % ll_r if ll_r is not None else "-",
                     "%.6f" % ll_c if ll_c is not None else "-",
                     "%.2e" % (ll_c - ll_r) if ll_r is not None and ll_c is not None else "-"])
    return ["case", "rows", "groups", "glmer", "corvane", "glmer / corvane", "corvane fit", "glmer / fit",
            "logLik glmer",
            "logLik corvane", "difference"], rows


def large_rows(large):
    rows = []
    for d in large:
        ev = "-" if d["evaluations"] is None else "%d" % d["evaluations"]
        d0, d1, rd = d.get("eval_d0"), d.get("eval_d1"), d.get("read")
        rows.append(["%d" % d["n"], "%d" % d["m"], fmt_s(min(d["times"])), ev,
                     "%.1f ms" % (d0 * 1e3) if d0 else "-", "%.1f ms" % (d1 * 1e3) if d1 else "-",
                     "%.1f ms" % (rd * 1e3) if rd else "-",
                     "%.1fx" % (d0 / rd) if d0 and rd else "-", "%.1fx" % (d1 / rd) if d1 and rd else "-",
                     "%.0f" % (min(d["times"]) / d0) if d0 else "-"])
    return ["rows", "groups", "fit", "evaluations", "evaluate d=0", "evaluate d=1", "one-pass read",
            "d=0 / read", "d=1 / read", "fit / (d=0)"], rows


def print_table(header, rows):
    widths = [max(len(str(h)), *(len(str(r[i])) for r in rows)) for i, h in enumerate(header)]
    def cells(values):  # the first column to the left, the figures to the right
        return "  ".join(("%-*s" if i == 0 else "%*s") % (w, v) for i, (w, v) in enumerate(zip(widths, values)))

    line = cells(header)
    print(line)
    print("-" * len(line))
    for r in rows:
        print(cells(r))


def print_markdown(header, rows):
    def cells(values):  # a formula's "|" would end the cell
        return "| " + " | ".join(str(v).replace("|", "\\|") for v in values) + " |"

    print(cells(header))
    print("|" + "|".join(" --- " if i == 0 else " ---: " for i in range(len(header))) + "|")
    for r in rows:
        print(cells(r))


# ---- main -----------------------------------------------------------------------------

# ---- the negative binomial ------------------------------------------------------

NB_FORMULA = "y ~ x + (1 | g)"


def nb_generate(n, m, seed=SEED):
    """(y, x, g): NB2 counts (phi = 2) with a random intercept per group."""
    rng = np.random.default_rng(seed + 7 * n + m)
    g = rng.integers(0, m, size=n, dtype=np.int64)
    g[: min(m, n)] = np.arange(min(m, n))
    x = rng.standard_normal(n)
    mu = np.exp(0.5 + 0.4 * x + rng.normal(0.0, 0.5, m)[g])
    y = rng.negative_binomial(2.0, 2.0 / (2.0 + mu)).astype(np.float64)
    return y, x, g


def nb_section(sizes, peer_rows, scratch, cap, use_r):
    """glmmTMB's nbinom2 (rows up to peer_rows) and corvane's
    family="negative_binomial" on the same generated rows: rows of
    (rows, groups, peer seconds or its error, corvane seconds, logLiks, phis)."""
    import pandas as pd

    import corvane

    out = []
    for n in sizes:
        m = 1000 if n >= 10**5 else max(2, n // 100)
        y, x, g = nb_generate(n, m)
        peer = None
        if use_r and n <= peer_rows:
            path = os.path.join(scratch, "nb_%d_%d_%d.csv" % (n, m, SEED))
            if not os.path.exists(path):
                pd.DataFrame({"y": y.astype(np.int64), "x": x, "g": g}).to_csv(path, index=False,
                                                                                float_format="%.17g")
            peer = glmer(path, NB_FORMULA, "nbinom2", cap, factors=["g"])
        df = pd.DataFrame({"y": y, "x": x, "g": g}, copy=False)
        t0 = time.perf_counter()
        r = corvane.glmm(NB_FORMULA, df, family="negative_binomial")
        seconds = time.perf_counter() - t0
        out.append(dict(n=n, m=m, peer=peer, seconds=seconds, llf=float(r.llf), phi=float(r.phi),
                        converged=bool(r.converged)))
        print("== negative binomial %s, %d rows, %d groups: corvane %s (phi %.5f, logLik %.4f, converged %s); "
              "glmmTMB %s" % (NB_FORMULA, n, m, fmt_s(seconds), r.phi, r.llf, r.converged,
                              "not run" if peer is None else peer.get("error") or "%s (phi %.5f, logLik %.4f)"
                              % (fmt_s(min(peer["times"])), peer["theta"][0], peer["logLik"])), flush=True)
        del df, y, x, g
    return out


def nb_rows(results):
    rows = []
    for d in results:
        p = d["peer"]
        pt = None if p is None or "error" in p else min(p["times"])
        rows.append(["%d" % d["n"], "%d" % d["m"], "not run" if p is None else (p.get("error") or fmt_s(pt)),
                     fmt_s(d["seconds"]), "%.0fx" % (pt / d["seconds"]) if pt else "-",
                     "%.6f" % p["logLik"] if pt else "-", "%.6f" % d["llf"],
                     "%.2e" % (d["llf"] - p["logLik"]) if pt else "-"])
    return ["rows", "groups", "glmmTMB", "corvane", "glmmTMB / corvane", "logLik glmmTMB", "logLik corvane",
            "difference"], rows


def parse_rows(text):
    if text.strip().lower() in ("", "none", "0"):
        return []
    return [int(float(s)) for s in text.split(",") if s.strip()]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true",
                    help="simulated model at 2e4 rows / 200 groups; large section at 1e5 rows")
    ap.add_argument("--peer-only", action="store_true", help="glmer only; corvane is not imported")
    ap.add_argument("--no-glmer", action="store_true", help="corvane only")
    ap.add_argument("--no-real", action="store_true", help="skip the datasets in tests/data")
    ap.add_argument("--n", type=float, default=None, help="rows of the simulated comparison (default 2e5)")
    ap.add_argument("--m", type=float, default=None, help="groups of the simulated comparison (default 2000)")
    ap.add_argument("--rows", default=None,
                    help="comma-separated row counts of the corvane-only section, m = rows / 100 "
                         "(default 1e6,1e7; 'none' to skip)")
    ap.add_argument("--repeat", type=int, default=3, help="timed corvane fits after the warm-up (best of)")
    ap.add_argument("--nb-rows", default=None,
                    help="comma-separated row counts of the negative binomial section, 1000 groups "
                         "(default 1e5,1e6; 'none' to skip)")
    ap.add_argument("--nb-peer-rows", type=float, default=1e5,
                    help="glmmTMB fits the negative binomial models up to this many rows (default 1e5)")
    ap.add_argument("--cap", type=float, default=3600.0, help="time cap of one Rscript run, seconds")
    ap.add_argument("--threads", type=int, default=None, help="corvane.set_num_threads(K) first")
    ap.add_argument("--markdown", action="store_true", help="also print the summary tables as markdown")
    ap.add_argument("--scratch", default=os.path.join(tempfile.gettempdir(), "corvane-bench"))
    args = ap.parse_args()
    os.makedirs(args.scratch, exist_ok=True)

    n = int(args.n if args.n is not None else (2e4 if args.quick else 2e5))
    m = int(args.m if args.m is not None else (200 if args.quick else 2000))
    large_sizes = parse_rows(args.rows if args.rows is not None else ("1e5" if args.quick else "1e6,1e7"))
    use_r = not args.no_glmer
    use_corvane = not args.peer_only
    if not use_r and not use_corvane:
        ap.error("--peer-only and --no-glmer leave nothing to run")

    r_version = r_versions() if use_r else None
    if use_r and r_version is None:
        print("(Rscript or lme4 is not installed: no glmer figures; `make bench-deps` installs them)")
        use_r = False
    threads = "not imported"
    if use_corvane:
        import corvane

        if args.threads:
            corvane.set_num_threads(args.threads)
        threads = "%d threads" % corvane.get_num_threads()
        if not hasattr(corvane, "glmm"):
            print("(this corvane has no glmm: corvane figures are skipped)")
            use_corvane = False

    print("machine: %s, %s, %d CPUs available; Python %s, NumPy %s; %s; corvane %s"
          % (platform.machine(), platform.node(), len(os.sched_getaffinity(0)), platform.python_version(),
             np.__version__, r_version or ("glmer not run" if args.no_glmer else "no R"), threads))
    print("glmer: its defaults (Laplace, nAGQ = 1; bobyqa on the nAGQ = 0 stage, then Nelder-Mead), "
          "only the glmer call timed; corvane: corvane.glmm on a DataFrame in memory")
    print()

    cases = []

    # -- the simulated binomial model with a correlated random slope
    y, x, g = generate(n, m)
    r = c = None
    if use_r:
        path = write_csv(args.scratch, n, m, y, x, g)
        r = glmer(path, FORMULA, "binomial", args.cap, factors=["g"], repeat=1)
    if use_corvane:
        import pandas as pd

        df = pd.DataFrame({"y": y, "x": x, "g": g})
        try:
            c = corvane_summary(*corvane_fit(FORMULA, df, "binomial", args.repeat))
        except Exception as exc:
            c = dict(error="%s: %s" % (type(exc).__name__, exc))
        del df
    del y, x, g
    name = "simulated %s" % FORMULA
    print_comparison(name, n, m, r, c)
    cases.append((name, n, m, r, c))

    # -- the real datasets
    if not args.no_real:
        for case in REAL:
            path = os.path.join(DATA, case["file"])
            r = c = None
            if use_r:
                r = glmer(path, case["glmer_formula"], case["family"], args.cap, factors=case["factors"],
                          binary=case.get("binary"), warmup=1, repeat=3)
            df = read_real(case) if use_corvane else None
            if use_corvane:
                try:
                    c = corvane_summary(*corvane_fit(case["formula"], df, case["family"], args.repeat,
                                                     weights=case.get("weights")))
                except Exception as exc:
                    c = dict(error="%s: %s" % (type(exc).__name__, exc))
            rows = len(df) if df is not None else (r or {}).get("nobs", 0)
            groups = int(df[case["factors"][0]].nunique()) if df is not None else (r or {}).get("ngroups", 0)
            label = "%s: %s (%s)" % (case["name"], case["formula"] if use_corvane else case["glmer_formula"],
                                     case["family"])
            print_comparison(label, rows, groups, r, c)
            cases.append((case["name"], rows, groups, r, c))

    # -- corvane alone at 1e6 and 1e7 rows
    large = []
    if use_corvane:
        for rows in large_sizes:
            groups = max(2, rows // 100)
            print("== corvane alone: %s, binomial, %d rows, %d groups" % (FORMULA, rows, groups), flush=True)
            try:
                d = large_case(rows, groups, args.repeat)
            except Exception as exc:
                print("  failed: %s: %s\n" % (type(exc).__name__, exc))
                continue
            ev = "" if d["evaluations"] is None else ", %d evaluations" % d["evaluations"]
            print("  data generated in %.2f s; fit %s (%s)%s; converged %s; logLik %.4f"
                  % (d["generate"], fmt_s(min(d["times"])), ", ".join("%.3f" % t for t in d["times"]), ev,
                     d["converged"], d["llf"]))
            print("  fixef %s; theta %s" % (" ".join("%.5f" % v for v in d["fixef"]),
                                             " ".join("%.5f" % v for v in d["theta"])))
            print("  one evaluation %s:" % d["eval_note"])
            if "eval_d0" in d:
                print("    value only        %.2f ms  (%.1f ns per row); deviance %.6f (-2 logLik %.6f)"
                      % (d["eval_d0"] * 1e3, d["eval_d0"] / d["core_n"] * 1e9, d["deviance"], -2 * d["llf"]))
                print("    with derivatives  %.2f ms  (%.1f ns per row)"
                      % (d["eval_d1"] * 1e3, d["eval_d1"] / d["core_n"] * 1e9))
                if d.get("eval_d0_scalar"):
                    print("    value only, one row at a time (CORVANE_LANES=0)  %.2f ms  (%.1f ns per row)"
                          % (d["eval_d0_scalar"] * 1e3, d["eval_d0_scalar"] / d["core_n"] * 1e9))
            if "read" in d:
                print("    NumPy one-pass read of the rows (X @ beta, Z's row sums, sum of y; %.0f MB): %.2f ms"
                      % (d["read_bytes"] / 2**20, d["read"] * 1e3))
                if "eval_d0" in d:
                    print("    an evaluation costs %.1fx (value) and %.1fx (derivatives) that read; "
                          "the fit is worth %.0f value-only evaluations"
                          % (d["eval_d0"] / d["read"], d["eval_d1"] / d["read"], min(d["times"]) / d["eval_d0"]))
            print(flush=True)
            large.append(d)

    nb = []
    if use_corvane:
        nb_sizes = parse_rows(args.nb_rows if args.nb_rows is not None else ("2e4" if args.quick else "1e5,1e6"))
        if nb_sizes:
            nb = nb_section(nb_sizes, int(args.nb_peer_rows), args.scratch, args.cap, use_r)
            print()

    print("summary: fit seconds (glmer: one run for the simulated model, best of 3 after a warm-up otherwise; "
          "corvane: best of %d after a warm-up)" % args.repeat)
    header, rows = comparison_rows(cases)
    print_table(header, rows)
    if large:
        print()
        print("corvane alone: one fit, and one criterion evaluation against NumPy's one-pass read of the rows")
        lh, lr = large_rows(large)
        print_table(lh, lr)
    if nb:
        print()
        print("negative binomial (NB2) fits: glmmTMB's nbinom2 (defaults, one run) and corvane.glmm")
        nh, nr = nb_rows(nb)
        print_table(nh, nr)
    if args.markdown:
        print()
        print("### GLMM fits: glmer (defaults) and corvane.glmm")
        print()
        print_markdown(header, rows)
        if large:
            print()
            print("### corvane.glmm alone: fit and one evaluation against a one-pass read")
            print()
            print_markdown(lh, lr)


if __name__ == "__main__":
    main()
