"""The stored mmrm references (tests/r/mmrm_reference.R) against a dense
computation in Python: at mmrm's polished optimum, each structure's
covariance from its theta and the REML / ML log-likelihood with beta by
generalised least squares, subject by subject, equal mmrm's. This pins the
parametrisation of every structure (grouped, weighted and spatial ones
included) that the models are compared in."""

import json
import os

import numpy as np
import pandas as pd
import pytest

from mmrm_dense import covariance, loglik, spatial_exponential

pytestmark = [pytest.mark.reference]

HERE = os.path.dirname(__file__)
with open(os.path.join(HERE, "data", "mmrm_reference.json")) as fh:
    REFERENCE = json.load(fh)
FITS = REFERENCE["fits"]


def _frame(name):
    info = REFERENCE["data"][name]
    return pd.read_csv(os.path.join(HERE, "..", info["file"])), info["factor_levels"]


def _design(df, names, levels):
    """X by R's column names: (Intercept), a numeric column, column+level
    indicators, and their products joined by ':'."""
    factors = sorted(levels, key=len, reverse=True)

    def column(part):
        if part == "(Intercept)":
            return np.ones(len(df))
        if part in df:
            return df[part].to_numpy(dtype=float)
        for f in factors:
            if part.startswith(f) and part[len(f):] in levels[f]:
                return (df[f].astype(str) == part[len(f):]).to_numpy(dtype=float)
        raise KeyError(part)

    return np.column_stack([np.prod([column(p) for p in name.split(":")], axis=0) for name in names])


@pytest.mark.parametrize("name", list(FITS))
def test_dense_loglik_at_mmrm_optimum(name):
    fit = FITS[name]
    df, levels = _frame(fit["data"])
    response = fit["formula"].split("~")[0].strip()
    used = [c for c in df.columns if c in fit["fixed"] or c in (fit["visit"], fit["subject"])]
    df = df.dropna(subset=[response] + [c for c in used if c != response]).reset_index(drop=True)
    assert len(df) == fit["n_obs"]
    X = _design(df, fit["beta_names"], levels)
    theta = np.asarray(fit["theta"], dtype=float)
    subjects = df[fit["subject"]].to_numpy()
    covs = {}
    for s, rows in df.groupby(fit["subject"], sort=False).groups.items():
        sub = df.loc[rows]
        if fit["cov_type"] == "sp_exp":
            cov = spatial_exponential(theta, sub[fit["visit"]].to_numpy(dtype=float))
        else:
            T = len(fit["visit_levels"])
            k = [fit["visit_levels"].index(v) for v in sub[fit["visit"]].astype(str)]
            if fit["group"]:
                g = fit["group_levels"].index(str(sub[fit["group"]].iloc[0]))
                part = theta[g * fit["n_theta"] // len(fit["group_levels"]):
                             (g + 1) * fit["n_theta"] // len(fit["group_levels"])]
            else:
                part = theta
            full = covariance(fit["cov_type"], part, T)
            cov = full[np.ix_(k, k)]
        if fit["weights"]:
            w = 1.0 / np.sqrt(sub[fit["weights"]].to_numpy(dtype=float))
            cov = cov * np.outer(w, w)
        covs[s] = cov
    ll, beta, _ = loglik(df[response].to_numpy(dtype=float), X, subjects, covs, reml=fit["reml"])
    assert ll == pytest.approx(fit["logLik"], abs=1e-8)
    np.testing.assert_allclose(beta, fit["beta"], rtol=1e-9, atol=1e-9)
    if fit["cov_type"] != "sp_exp":
        stored = fit["covariance_by_group"] if fit["group"] else {None: fit["covariance"]}
        for g, mat in stored.items():
            i = 0 if g is None else fit["group_levels"].index(g)
            n = fit["n_theta"] // (len(fit["group_levels"]) if fit["group"] else 1)
            ours = covariance(fit["cov_type"], theta[i * n:(i + 1) * n], len(fit["visit_levels"]))
            np.testing.assert_allclose(ours, mat, rtol=1e-10, atol=1e-12)
