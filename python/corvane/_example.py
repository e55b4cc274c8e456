"""The package's worked example: a simulated repeated-measures design.

18 subjects measured on 10 days, with a random intercept and a random slope
per subject (fixed seed). :func:`example_arrays` gives it as NumPy arrays and
names; :func:`example_frame` as a pandas DataFrame with the columns Reaction,
Days and Subject; :func:`fit_example` fits it by whichever interface is
installed.
"""

import numpy as np

SEED = 20261208
FORMULA = "Reaction ~ Days + (Days | Subject)"
SUBJECTS, DAYS = 18, 10


def example_arrays(seed=SEED):
    """The example as arrays: dict with y, X, Z, groups (labels "S01".."S18"),
    codes, x_names, z_names, response and group."""
    rng = np.random.default_rng(seed)
    codes = np.repeat(np.arange(SUBJECTS, dtype=np.int64), DAYS)
    day = np.tile(np.arange(DAYS, dtype=np.float64), SUBJECTS)
    x = np.column_stack([np.ones_like(day), day])  # fixed: intercept, slope
    z = x.copy()  # random: intercept and slope per subject
    b = rng.multivariate_normal([0.0, 0.0], [[600.0, 10.0], [10.0, 35.0]], size=SUBJECTS)
    y = 250.0 + 10.0 * day + b[codes, 0] + b[codes, 1] * day + rng.normal(0.0, 25.0, day.size)
    labels = np.array([f"S{k + 1:02d}" for k in range(SUBJECTS)])
    return {
        "y": y, "X": x, "Z": z, "groups": labels[codes], "codes": codes,
        "x_names": ["(Intercept)", "Days"], "z_names": ["(Intercept)", "Days"],
        "response": "Reaction", "group": "Subject",
    }


def example_frame(seed=SEED):
    """The example as a pandas DataFrame (columns Reaction, Days, Subject)."""
    import pandas as pd

    a = example_arrays(seed)
    return pd.DataFrame({"Reaction": a["y"], "Days": a["X"][:, 1], "Subject": a["groups"]})


def fit_example(reml=True):
    """Fit the example: by formula when pandas and formulaic are installed,
    from the arrays otherwise."""
    try:
        import formulaic  # noqa: F401
        import pandas  # noqa: F401
    except ImportError:
        from .model.lmm import LinearMixedModel

        a = example_arrays()
        return LinearMixedModel(a["y"], a["X"], a["Z"], a["groups"], reml=reml,
                                x_names=a["x_names"], z_names=a["z_names"],
                                y_name=a["response"], group_name=a["group"]).fit()
    from .model.lmm import lmm

    return lmm(FORMULA, example_frame(), reml=reml)
