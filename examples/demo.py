"""A short tour of corvane on a simulated repeated-measures design.

18 subjects measured on 10 days, a random intercept and slope per subject
(the package's embedded example, `python -m corvane` fits the same). With
pandas and formulaic installed (pip install corvane[formula]) the model is
given as a formula over a DataFrame; otherwise from the arrays.
"""

import corvane
from corvane._example import FORMULA, example_arrays


def main():
    try:
        from corvane._example import example_frame

        df = example_frame()  # columns Reaction, Days, Subject
        result = corvane.lmm(FORMULA, df)  # "Reaction ~ Days + (Days | Subject)"
    except ImportError as exc:
        print(f"({exc}; fitting from the arrays instead)\n")
        a = example_arrays()
        model = corvane.LinearMixedModel(a["y"], a["X"], a["Z"], a["groups"],
                                         x_names=a["x_names"], z_names=a["z_names"],
                                         y_name=a["response"], group_name=a["group"])
        result = model.fit()

    print("Simulated data: 18 subjects measured on 10 days (corvane's embedded example).\n")
    print(result.summary())
    print()
    core = result.model.core
    print(f"core: n={core.n} p={core.p} q={core.q} m={core.m} evaluator={core.evaluator!r} "
          f"n_classes={core.n_classes}")
    print(f"theta = {result.theta.round(5).tolist()}")
    first = result.group_labels[0]
    print(f"conditional mode of subject {first}: {result.random_effects[first].round(3).tolist()}")


if __name__ == "__main__":
    main()
