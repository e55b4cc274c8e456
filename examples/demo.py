"""A short tour of corvane's core on a generated repeated-measures design.

18 subjects measured on 10 days, a random intercept and slope per subject:
the core is built once from the arrays, and every later evaluation works from
its per-subject cross-products alone.
"""

import numpy as np

import corvane
from corvane import LmmCore


def example_design(seed=20261208):
    rng = np.random.default_rng(seed)
    subjects, days = 18, 10
    codes = np.repeat(np.arange(subjects, dtype=np.int64), days)
    day = np.tile(np.arange(days, dtype=np.float64), subjects)
    x = np.column_stack([np.ones_like(day), day])  # fixed: intercept, slope
    z = x.copy()  # random: intercept and slope per subject
    b = rng.multivariate_normal([0.0, 0.0], [[600.0, 10.0], [10.0, 35.0]], size=subjects)
    y = 250.0 + 10.0 * day + b[codes, 0] + b[codes, 1] * day + rng.normal(0.0, 25.0, day.size)
    return y, x, z, codes, subjects


def main():
    y, x, z, codes, subjects = example_design()
    core = LmmCore(y, x, z, codes, subjects)
    print(f"corvane {corvane.__version__}: a repeated-measures example, {subjects} subjects x 10 days")
    print(f"  core: n={core.n} p={core.p} q={core.q} m={core.m} evaluator={core.evaluator!r} "
          f"n_classes={core.n_classes}")

    # A few well-spread starts (the identity factor among them), flattened.
    starts = [1.0, 0.0, 1.0, 0.5, 0.0, 0.2, 2.0, 0.5, 0.5, 0.1, -0.1, 0.1]
    fit = core.fit(starts, reml=True)

    se = np.sqrt(np.diag(fit["cov_beta"]))
    print("\nREML fit")
    print(f"  criterion (REML deviance) {fit['deviance']:.4f}   converged: {fit['converged']} "
          f"({fit['message']}; {fit['iterations']} iterations, {fit['fev']} evaluations)")
    print("\n  Fixed effects     Estimate   Std. Error   t value")
    for name, b, s in zip(["(Intercept)", "Days"], fit["beta"], se):
        print(f"  {name:<16}{b:10.4f}{s:13.4f}{b / s:10.2f}")
    cov = fit["cov_re"]
    sd = np.sqrt(np.diag(cov))
    corr = cov[0, 1] / (sd[0] * sd[1]) if sd[0] > 0 and sd[1] > 0 else float("nan")
    print("\n  Random effects    Variance     Std.Dev.   Corr")
    print(f"  Subject (Int.)  {cov[0, 0]:10.3f}{sd[0]:13.3f}")
    print(f"          Days    {cov[1, 1]:10.3f}{sd[1]:13.3f}{corr:8.3f}")
    print(f"  Residual        {fit['sigma2']:10.3f}{fit['sigma']:13.3f}")
    print(f"\n  theta = {np.array2string(fit['theta'], precision=5)}")


if __name__ == "__main__":
    main()
