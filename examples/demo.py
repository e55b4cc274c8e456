"""A tour of what corvane gives: a linear mixed model's summary, a test with
its degrees of freedom, intervals, marginal means, a binomial model and a plot.

The data are the package's embedded example (simulated, in the manner of
lme4's sleepstudy): the reaction time of 18 subjects measured on 10 days,
each subject with an intercept and a slope of their own. It needs the extras
formula and plot (`pip install ".[formula,plot]"`; `make demo` installs them).
"""

import importlib.util
import math
import sys

import corvane
from corvane._example import example_frame

PLOT = "demo_ranef.png"
# What the tour uses: the extras formula and plot.
NEEDS = ("pandas", "formulaic", "scipy", "matplotlib")


def section(title):
    print(f"\n== {title}")


def main():
    missing = [name for name in NEEDS if importlib.util.find_spec(name) is None]
    if missing:
        print(f"The demo needs {', '.join(missing)}: pip install \".[formula,plot]\"", file=sys.stderr)
        return 1
    df = example_frame()  # columns Reaction, Days, Subject
    print("Reaction times of 18 subjects on 10 days (simulated; corvane._example).")

    section("A linear mixed model by REML, as lme4's lmer with lmerTest's t tests")
    result = corvane.lmm("Reaction ~ Days + (Days | Subject)", df)
    print(result.summary())

    section("F test of Days with Kenward and Roger's df (lmerTest's anova)")
    table = result.anova(ddf="kenward-roger")[["NumDF", "DenDF", "F value", "Pr(>F)"]]
    print(table.rename_axis(None).to_string(float_format=lambda v: f"{v:.4g}"))

    section("95 % profile intervals of every parameter (lme4's confint)")
    print(result.confint(method="profile").round(2).to_string())

    section("Marginal means on days 0 and 9 (emmeans)")
    print(result.emmeans("Days", at={"Days": [0, 9]}).round(1).to_string(index=False))

    section("A binomial model: the chance of a reaction slower than 300 ms (glmer)")
    df["slow"] = df["Reaction"] > 300
    fit = corvane.glmm("slow ~ Days + (1 | Subject)", df, family="binomial")
    print(fit.coef_table().rename_axis(None).to_string(float_format=lambda v: f"{v:.4g}"))
    print(f"each day multiplies the odds of a slow reaction by {math.exp(fit.params['Days']):.2f}")

    section("Plot")
    figure = result.plot_ranef()  # each subject's conditional modes with 95 % intervals
    figure.savefig(PLOT, dpi=80)
    print(f"each subject's random effects with their intervals: {PLOT}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
