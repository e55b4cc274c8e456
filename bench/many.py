"""Many responses on one design: corvane.lmm_many and corvane.glmm_many
against a loop of lmer + lmerTest and a loop of glmmTMB over some of the
same responses, extrapolated to all of them.

Usage: python bench/many.py [--quick] [--responses N] [--r-responses K]
                            [--nb-responses N] [--nb-rows N] [--nb-r-responses K]
                            [--no-r] [--cap SECONDS] [--threads K]

Sections:

  linear    N responses (default 20,000) on 1,000 samples: 100 subjects x 10
            times, condition between subjects, ~ condition * time +
            (1 | subject); each response its own intercept, effects, subject
            sd (0 to 1.5) and unit noise (fixed seed). corvane: lmm_many's
            whole call on a DataFrame of covariates and a samples x responses
            array in memory, with Satterthwaite's t test of the contrast
            time + condition:time (best of 3); and again with the responses
            read from a Parquet file 1,000 columns at a time. R: lmer +
            lmerTest's contest1D of the same contrast on the first K
            responses (default 200), each model built from the data frame,
            the loop timed in R (bench/many_r.R).
  counts    N negative binomial responses (default 2,000) on 10^5 cells of 20
            subjects, ~ condition + (1 | subject) with log library size as an
            offset; each response its own mean, effect, subject sd and
            dispersion. corvane: glmm_many in a child process reading the
            responses from a Parquet file 100 columns at a time (time and
            the child's peak memory). R: glmmTMB(nbinom2) on the first K
            responses (default 20).

The ratios are R's time per response times N over corvane's whole call.
--quick: 2,000 linear responses (R on 50), 100 count responses on 2 x 10^4
cells (R on 5).
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
sys.path.insert(0, HERE)
from common import in_child  # noqa: E402

R_SCRIPT = os.path.join(HERE, "many_r.R")
SEED = 20261210
CONTRAST = [0.0, 0.0, 1.0, 1.0]


def linear_data(count, seed=SEED):
    import pandas as pd

    rng = np.random.default_rng(seed)
    subject = np.repeat(np.arange(100), 10)
    covariates = pd.DataFrame({"subject": ["s%03d" % s for s in subject],
                               "condition": np.where(subject % 2, "trt", "ctrl"),
                               "time": np.tile(np.arange(10.0), 100)})
    trt = (covariates["condition"] == "trt").to_numpy(float)
    t = covariates["time"].to_numpy()
    Y = np.empty((1000, count))
    for start in range(0, count, 1000):
        k = min(1000, count - start)
        Y[:, start:start + k] = (rng.normal(5, 2, k)[None] + np.outer(trt, rng.normal(0, .3, k))
                                 + np.outer(t, rng.normal(0, .1, k)) + np.outer(trt * t, rng.normal(0, .1, k))
                                 + rng.normal(size=(100, k))[subject] * rng.uniform(0, 1.5, k)[None]
                                 + rng.normal(size=(1000, k)))
    return covariates, Y


def count_data(count, rows, folder, seed=SEED + 1):
    """Covariates (a DataFrame) and the path of a Parquet file of count
    responses y0, y1, ... (written 100 columns at a time)."""
    import pandas as pd
    import pyarrow as pa
    import pyarrow.parquet as pq

    rng = np.random.default_rng(seed)
    subject = np.repeat(np.arange(20), rows // 20)
    covariates = pd.DataFrame({"subject": ["p%02d" % s for s in subject],
                               "condition": np.where(subject < 10, "ctrl", "trt")})
    covariates["lib"] = np.round(np.exp(rng.normal(8.0, 0.4, rows)))
    covariates["log_lib"] = np.log(covariates["lib"].to_numpy())
    trt = (covariates["condition"] == "trt").to_numpy(float)
    base = np.log(covariates["lib"].to_numpy() / 1000.0)
    path = os.path.join(folder, "counts_%d_%d.parquet" % (count, rows))
    schema = pa.schema([("y%d" % j, pa.int32()) for j in range(count)])
    # One row group holds every row; columns are generated and written in turn.
    columns = []
    for j in range(count):
        eta = rng.normal(0.5, 1.0) + rng.normal(0, 0.3) * trt + base + rng.normal(0, 0.3, 20)[subject]
        k = rng.uniform(1.0, 10.0)
        columns.append(pa.array(rng.poisson(rng.gamma(k, np.exp(eta) / k)).astype(np.int32)))
    pq.write_table(pa.Table.from_arrays(columns, schema=schema), path, row_group_size=rows)
    return covariates, path


def write_r_csv(folder, name, covariates, columns):
    """covariates beside the response columns (a dict name -> values) as a CSV
    file for R; its path."""
    import pandas as pd

    path = os.path.join(folder, name)
    pd.concat([covariates.reset_index(drop=True), pd.DataFrame(columns)], axis=1).to_csv(path, index=False)
    return path


def r_loop(mode, csv, k, cap):
    out = tempfile.mktemp(suffix=".json")
    try:
        proc = subprocess.run(["Rscript", R_SCRIPT, mode, csv, out, str(k)], capture_output=True, text=True,
                              timeout=cap)
    except subprocess.TimeoutExpired:
        return dict(error="over %d s" % cap)
    if proc.returncode != 0:
        return dict(error="R failed: " + " | ".join(proc.stderr.strip().splitlines()[-3:]))
    with open(out) as f:
        return json.load(f)


def print_r(label, r, count, seconds):
    """R's loop beside corvane's call (seconds) for count responses; whether R ran."""
    if "error" in r:
        print("  %s: %s" % (label, r["error"]))
        return False
    whole = r["per_response"] * count
    print("  %-34s %8.2f s (%.1f ms per response); all %d: %.0f s extrapolated"
          % ("%s loop on %d" % (label, r["k"]), r["seconds"], 1e3 * r["per_response"], count, whole))
    print("  %-34s %8.0fx" % ("%s / corvane" % label, whole / seconds))
    return True


def counts_child(covariates_path, responses_path, block):
    """glmm_many on the Parquet responses in this (child) process: seconds,
    the process's peak resident memory before and after (MB), failures."""
    import pandas as pd

    import corvane
    from common import vm_kb

    covariates = pd.read_parquet(covariates_path)
    before = vm_kb("VmHWM") / 1024
    t0 = time.perf_counter()
    many = corvane.glmm_many("~ condition + (1 | subject)", covariates, responses_path, family="negative_binomial",
                             offset="log_lib", coefs=["condition[T.trt]"], block=block, progress=False)
    seconds = time.perf_counter() - t0
    return dict(seconds=seconds, peak_before=before, peak_after=vm_kb("VmHWM") / 1024, failed=many.n_failed,
                converged=int(many.fits["converged"].sum()), first=float(many.table["estimate"].iloc[0]))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--responses", type=int, default=None)
    ap.add_argument("--r-responses", type=int, default=None)
    ap.add_argument("--nb-responses", type=int, default=None)
    ap.add_argument("--nb-rows", type=float, default=None)
    ap.add_argument("--nb-r-responses", type=int, default=None)
    ap.add_argument("--no-r", action="store_true")
    ap.add_argument("--cap", type=float, default=3600.0)
    ap.add_argument("--threads", type=int, default=None)
    ap.add_argument("--scratch", default=os.path.join(tempfile.gettempdir(), "corvane-bench"))
    args = ap.parse_args()
    os.makedirs(args.scratch, exist_ok=True)
    quick = args.quick
    count = args.responses or (2000 if quick else 20000)
    r_count = args.r_responses or (50 if quick else 200)
    nb_count = args.nb_responses or (100 if quick else 2000)
    nb_rows = int(args.nb_rows or (2e4 if quick else 1e5))
    nb_r_count = args.nb_r_responses or (5 if quick else 20)
    use_r = not args.no_r and shutil.which("Rscript") is not None

    import corvane

    if args.threads:
        corvane.set_num_threads(args.threads)
    print("machine: %s, %s, %d CPUs available; Python %s, NumPy %s; corvane %d threads; R %s"
          % (platform.machine(), platform.node(), len(os.sched_getaffinity(0)), platform.python_version(),
             np.__version__, corvane.get_num_threads(), "on" if use_r else "not run"))
    print()

    # -- linear
    covariates, Y = linear_data(count)
    names = ["y%d" % j for j in range(count)]
    times = []
    for _ in range(3):
        t0 = time.perf_counter()
        many = corvane.lmm_many("~ condition * time + (1 | subject)", covariates, Y, names=names,
                                contrasts={"slope": CONTRAST}, progress=False)
        times.append(time.perf_counter() - t0)
    import pyarrow as pa
    import pyarrow.parquet as pq

    parquet = os.path.join(args.scratch, "linear_responses.parquet")
    pq.write_table(pa.Table.from_arrays([pa.array(Y[:, j]) for j in range(count)], names=names), parquet)
    t0 = time.perf_counter()
    from_file = corvane.lmm_many("~ condition * time + (1 | subject)", covariates, parquet,
                                 contrasts={"slope": CONTRAST}, progress=False)
    file_seconds = time.perf_counter() - t0
    same = np.array_equal(from_file.table["p"].to_numpy(), many.table["p"].to_numpy())
    fits = many.fits
    print("linear: %d responses x 1000 samples, ~ condition * time + (1 | subject), Satterthwaite t of one contrast"
          % count)
    print("  corvane lmm_many, arrays in memory  %8.2f s best of 3 (%.2f-%.2f); %.0f us per response"
          % (min(times), min(times), max(times), 1e6 * min(times) / count))
    print("  corvane lmm_many, from Parquet      %8.2f s (same p values: %s)" % (file_seconds, same))
    print("  converged %d, boundary %d, failed %d" % (fits["converged"].sum(), fits["boundary"].sum(), many.n_failed))
    r = None
    if use_r:
        csv = write_r_csv(args.scratch, "linear_r.csv", covariates, {"y%d" % j: Y[:, j] for j in range(r_count)})
        r = r_loop("lmm", csv, r_count, args.cap)
        if print_r("lmer + lmerTest", r, count, min(times)):
            est = many.table.set_index("response").loc["y0", "estimate"]
            print("  first response's contrast: corvane %.10g, lmerTest %.10g" % (est, r["first_estimate"]))
    print()
    del Y

    # -- counts
    covariates, path = count_data(nb_count, nb_rows, args.scratch)
    covariates_path = os.path.join(args.scratch, "count_covariates.parquet")
    covariates.to_parquet(covariates_path)
    c = in_child("many", "counts_child", covariates_path, path, 100)
    print("counts: %d negative binomial responses x %d cells, 20 subjects, ~ condition + offset(log lib) + "
          "(1 | subject)" % (nb_count, nb_rows))
    print("  corvane glmm_many from Parquet      %8.2f s; %.1f ms per response; converged %d, failed %d"
          % (c["seconds"], 1e3 * c["seconds"] / nb_count, c["converged"], c["failed"]))
    print("  peak memory: %.0f MB before the call, %.0f MB after (responses %.0f MB in all, %.0f MB per block)"
          % (c["peak_before"], c["peak_after"], nb_count * nb_rows * 8 / 2**20, 100 * nb_rows * 8 / 2**20))
    if use_r:
        table = pq.read_table(path, columns=["y%d" % j for j in range(nb_r_count)]).to_pandas()
        csv = write_r_csv(args.scratch, "counts_r.csv", covariates[["subject", "condition", "lib"]],
                          {col: table[col].to_numpy() for col in table.columns})
        r = r_loop("nb", csv, nb_r_count, args.cap)
        if print_r("glmmTMB", r, nb_count, c["seconds"]):
            print("  first response's condition effect: corvane %.8g, glmmTMB %.8g" % (c["first"], r["first_estimate"]))
    os.remove(path)
    os.remove(parquet)


if __name__ == "__main__":
    main()
