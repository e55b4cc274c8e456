"""Regenerates the figures of the README and the user guide (docs/*.png):
python docs/figures.py (needs corvane[plot])."""

import os

import matplotlib

matplotlib.use("Agg")

import corvane  # noqa: E402
from corvane._example import example_frame  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    r = corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame())
    for name, fig in (("ranef", r.plot_ranef()), ("shrinkage", r.plot_shrinkage()),
                      ("residuals", r.plot_residuals()), ("qq", r.plot_qq())):
        fig.savefig(os.path.join(HERE, f"{name}.png"), dpi=90)
        print("wrote", os.path.join(HERE, f"{name}.png"))


if __name__ == "__main__":
    main()
