"""Real count data the generalized tests fit under several families: lme4's
grouseticks and MASS's epil (tests/data), with their formulas."""

import os

import pandas as pd

DATA = os.path.join(os.path.dirname(__file__), "data")


def count_case(name):
    """(formula, DataFrame) of "grouseticks" or "epil"."""
    if name == "grouseticks":
        df = pd.read_csv(os.path.join(DATA, "grouseticks.csv"), dtype={"BROOD": str, "YEAR": str})
        return "TICKS ~ YEAR + HEIGHT_s + (1 | BROOD)", df
    df = pd.read_csv(os.path.join(DATA, "glmm_heldout_epil.csv"), dtype={"subject": str})
    return "y ~ trt + lbase + lage + V4 + (1 | subject)", df
