"""Responses the fixed effects explain nearly all of: y = 10^6 x or 10^7 x
plus random intercepts and noise of sd 1 (nine digits of signal above y's
rounding at 10^7). The fit must not depend on how much of y the fixed
effects explain: against lme4 on the reduced response and a dense fit
(tests/data/glmm_scale.json, tests/r/glmm_scale.R) from every source, and
invariant to adding X c to y; only a response exact to its own rounding is
refused."""

import json
import os
import warnings

import numpy as np
import pandas as pd
import pytest

import corvane

pytestmark = [pytest.mark.native]

HERE = os.path.dirname(__file__)
CASES = json.load(open(os.path.join(HERE, "data", "glmm_scale.json")))["cases"]
FORMULA = "y ~ x + (1 | g)"


def frame(cid):
    return pd.read_csv(os.path.join(HERE, "data", CASES[cid]["data"] + ".csv"))


def from_arrays(df, reml):
    X = np.column_stack([np.ones(len(df)), df["x"]])
    return corvane.LinearMixedModel(df["y"], X, np.ones((len(df), 1)), df["g"], reml=reml,
                                    x_names=["(Intercept)", "x"]).fit()


def from_parquet(df, reml, tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    pa = pytest.importorskip("pyarrow")
    path = os.path.join(tmp_path, "rows.parquet")
    pq.write_table(pa.Table.from_pandas(df, preserve_index=False), path, row_group_size=64)
    return corvane.lmm(FORMULA, path, reml=reml, progress=False)


def from_arrow(df, reml, tmp_path):
    pa = pytest.importorskip("pyarrow")
    return corvane.lmm(FORMULA, pa.Table.from_pandas(df, preserve_index=False), reml=reml, progress=False)


def from_dask(df, reml, tmp_path):
    dd = pytest.importorskip("dask.dataframe")
    import dask

    with dask.config.set(scheduler="synchronous"):
        return corvane.lmm(FORMULA, dd.from_pandas(df, npartitions=3), reml=reml)


SOURCES = {
    "frame": lambda df, reml, tmp: corvane.lmm(FORMULA, df, reml=reml),
    "arrays": lambda df, reml, tmp: from_arrays(df, reml),
    "parquet": from_parquet,
    "arrow": from_arrow,
    "dask": from_dask,
}


@pytest.mark.parametrize("source", sorted(SOURCES))
@pytest.mark.parametrize("reml", [True, False])
@pytest.mark.parametrize("cid", ["lmm_scale_1e6", "lmm_scale_1e7"])
def test_a_dominant_slope_costs_no_digits(cid, reml, source, tmp_path):
    c = CASES[cid]
    dense = c["dense_reml" if reml else "dense_ml"]
    r = SOURCES[source](frame(cid), reml, tmp_path)
    assert r.converged
    assert r.sigma == pytest.approx(dense["sigma"], rel=1e-9)
    assert r.re_std[0] == pytest.approx(dense["sd"], rel=1e-8)
    assert r.criterion == pytest.approx(dense["REMLcrit" if reml else "deviance"], rel=1e-10)
    np.testing.assert_allclose(r.std_errors, list(dense["se"].values()), rtol=1e-8)
    assert np.all(np.abs(r.beta - list(dense["beta"].values())) <= 1e-6 * r.std_errors)
    if not r.model.rows_kept:  # the response's moments come back from the reduced products
        y = frame(cid)["y"].to_numpy()
        n, mean, ss, _ = r.model.reparam.response_moments(r.model.core.totals())
        assert (n, mean) == (len(y), pytest.approx(y.mean(), rel=1e-12))
        assert ss == pytest.approx(np.sum((y - y.mean()) ** 2), rel=1e-12)


@pytest.mark.parametrize("how", ["formula", "weights", "refit"])
@pytest.mark.parametrize("scale", [1e3, 1e7, 1e9])
def test_adding_x_c_to_the_response_changes_only_beta(scale, how):
    """Construction, weighted rows and a refit with a new response alike."""
    rng = np.random.default_rng(8)
    m, per = 40, 8
    g = np.repeat(np.arange(m), per)
    x = rng.normal(size=m * per)
    t = rng.choice(["a", "b", "c"], size=m * per)
    w = rng.uniform(0.5, 3.0, size=m * per) if how == "weights" else None
    y0 = rng.normal(scale=0.8, size=m)[g] + rng.normal(size=m * per)
    shift = scale * (1.0 + 2.0 * x - 0.5 * (t == "b"))
    df = pd.DataFrame({"y": y0, "x": x, "t": t, "g": g})
    base = corvane.lmm("y ~ x + t + (1 | g)", df, weights=w)
    if how == "refit":
        moved = base.refit(y0 + shift)
    else:
        moved = corvane.lmm("y ~ x + t + (1 | g)", df.assign(y=y0 + shift), weights=w)
    digits = 1e-15 * scale  # what y's own rounding leaves of the residual's
    assert moved.sigma == pytest.approx(base.sigma, rel=max(1e-10, 10 * digits))
    assert moved.theta == pytest.approx(base.theta, rel=max(1e-8, 100 * digits))
    np.testing.assert_allclose(moved.std_errors, base.std_errors, rtol=max(1e-8, 100 * digits))
    want = base.beta + scale * np.array([1.0, 2.0, -0.5, 0.0])
    assert np.all(np.abs(moved.beta - want) <= max(1e-8, 100 * digits) * base.std_errors)


def test_only_a_response_exact_to_its_rounding_is_refused():
    rng = np.random.default_rng(2)
    df = pd.DataFrame({"x": rng.normal(size=200), "g": np.repeat(np.arange(20), 10)})
    with pytest.raises(ValueError, match="exact linear function of the fixed-effects columns"):
        corvane.lmm(FORMULA, df.assign(y=3.0 + 1e7 * df["x"]))
    # a residual a million times y's rounding is data
    tiny = rng.normal(scale=1e-3, size=len(df)) + rng.normal(scale=1e-3, size=20)[df["g"]]
    r = corvane.lmm(FORMULA, df.assign(y=3.0 + 1e7 * df["x"] + tiny))
    alone = corvane.lmm(FORMULA, df.assign(y=tiny))
    assert r.sigma == pytest.approx(alone.sigma, rel=1e-4)


@pytest.mark.parametrize("slope", [300.0, 1000.0, 3000.0])
def test_a_large_share_explained_is_no_false_alarm(slope):
    """Slopes of 300 to 3000 times the noise left the criterion's rounding
    (its r^2 cancels y'y) above the fixed fraction of it the certificate
    allowed: half such fits ended 'no decrease found'. Each must converge,
    without a warning, to the fit of y less the slope's share."""
    for seed in range(8):
        rng = np.random.default_rng(seed)
        df = pd.DataFrame({"x": rng.normal(size=300), "g": np.repeat(np.arange(30), 10)})
        noise = rng.normal(size=30)[df["g"]] + rng.normal(size=300)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            r = corvane.lmm(FORMULA, df.assign(y=slope * df["x"] + noise))
        alone = corvane.lmm(FORMULA, df.assign(y=noise))
        assert r.converged and r.gradient_norm < 1e-6
        assert r.sigma == pytest.approx(alone.sigma, rel=1e-9)
        assert r.theta == pytest.approx(alone.theta, rel=1e-7)
