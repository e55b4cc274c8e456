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
    print(f"corvane {corvane.__version__}")
    for evaluator in ("auto", "blocks", "aggregated", "streaming"):
        core = LmmCore(y, x, z, codes, subjects, evaluator=evaluator)
        print(
            f"  requested {evaluator!r:12}: n={core.n} p={core.p} q={core.q} m={core.m} "
            f"n_theta={core.n_theta} evaluator={core.evaluator!r} n_classes={core.n_classes}"
        )
    core = LmmCore(y, x, z, codes, subjects)
    print(f"  theta layout: default_theta={core.default_theta()} lower_bounds={core.lower_bounds()}")


if __name__ == "__main__":
    main()
