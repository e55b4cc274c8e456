"""Many responses on one design: every response's numbers against its own
single fit (corvane.lmm / corvane.glmm) from every kind of response source,
blocks and thread counts, the responses that cannot be fitted, and the
numbers lmerTest and glmmTMB give (tests/r/many_responses.R)."""

import json
import math
import os

import numpy as np
import pandas as pd
import pytest

import corvane
from corvane.inference.ddf import df_method

pytest.importorskip("formulaic")
pytest.importorskip("scipy")

DATA = os.path.join(os.path.dirname(__file__), "data")
RHS = "~ condition * time + (1 | subject)"
GENES = ["g1", "g2", "g3", "g4", "g5"]
SLOPE = [0.0, 0.0, 1.0, 1.0]                 # time + condition[T.trt]:time
BOTH = [[0, 1, 0, 0], [0, 0, 0, 1.0]]        # condition[T.trt] and condition[T.trt]:time
TRT = "condition[T.trt]"


@pytest.fixture(scope="module")
def frame():
    return pd.read_csv(os.path.join(DATA, "many_lmm.csv"))


@pytest.fixture(scope="module")
def counts():
    return pd.read_csv(os.path.join(DATA, "many_counts.csv"))


def _single_tests(result, ddf="satterthwaite"):
    """(estimate, se, df) of time, condition and the slope contrast, and the
    F test of BOTH, from a single fit."""
    method = df_method(result, ddf)
    p = len(result.fe_names)
    rows = [method.t_test(np.eye(p)[result.fe_names.index(n)]) for n in ("time", TRT)]
    rows.append(method.t_test(np.array(SLOPE)))
    return np.array(rows), method.f_test(np.array(BOTH))


def _many(frame, responses, **kw):
    kw.setdefault("progress", False)
    return corvane.lmm_many(RHS, frame, responses, coefs=["time", TRT], contrasts={"slope": SLOPE, "both": BOTH},
                            **kw)


def _sources(frame, kind, tmp_path):
    """The responses of GENES + g6 as each kind of source, with the data
    they go with (a shuffled DataFrame must be paired by index)."""
    names = GENES + ["g6"]
    covariates = frame.drop(columns=names)
    if kind == "columns":
        return frame, names, {}
    if kind == "array":
        return covariates, frame[names].to_numpy(), {"names": names}
    if kind == "dataframe":
        return covariates, frame[names].sample(frac=1.0, random_state=3), {}
    pa = pytest.importorskip("pyarrow")
    table = pa.Table.from_pandas(frame[names], preserve_index=False)
    if kind == "arrow":
        return covariates, table, {}
    import pyarrow.parquet as pq

    path = tmp_path / "responses.parquet"
    pq.write_table(table, path, row_group_size=50)
    return covariates, str(path), {}


@pytest.mark.parametrize("kind, block", [("columns", 1000), ("array", 2), ("dataframe", 4), ("arrow", 3),
                                         ("parquet", 2)])
def test_each_response_is_its_single_fit(frame, kind, block, tmp_path):
    data, responses, kw = _sources(frame, kind, tmp_path)
    many = _many(data, responses, block=block, **kw)
    table = many.table.set_index(["response", "term"])
    for g in GENES:
        single = corvane.lmm(f"{g} {RHS}", frame)
        t_rows, (f, q, df2) = _single_tests(single)
        got = table.loc[g].loc[["time", TRT, "slope"], ["estimate", "std_error", "df"]].to_numpy()
        np.testing.assert_allclose(got, t_rows, rtol=1e-10)
        both = table.loc[(g, "both")]
        np.testing.assert_allclose([both["statistic"], both["num_df"], both["df"]], [f, q, df2], rtol=1e-10)
        row = table.loc[(g, "time")]
        assert row["sigma"] == pytest.approx(single.sigma, rel=1e-10)
        assert row["sd((Intercept) | subject)"] == pytest.approx(single.re_std[0], rel=1e-8, abs=1e-10)
        assert row["n"] == single.model.n and row["boundary"] == single.singular and row["converged"]
    assert table.loc[("g3", "time"), "n_missing"] == 17
    failed = many.fits.loc["g6"]
    assert not failed["converged"] and "constant" in failed["message"] and many.n_failed == 1


def test_rows_without_covariates_are_dropped_for_every_response(frame):
    data = frame.copy()
    data.loc[[3, 50, 77], "time"] = np.nan      # row 50 also lacks g3
    many = _many(data, ["g1", "g3"])
    table = many.table.set_index(["response", "term"])
    for g, missing in (("g1", 0), ("g3", 16)):
        single = corvane.lmm(f"{g} {RHS}", data)
        got = table.loc[g].loc[["time", TRT, "slope"], ["estimate", "std_error", "df"]].to_numpy()
        np.testing.assert_allclose(got, _single_tests(single)[0], rtol=1e-10)
        assert table.loc[(g, "time"), "n"] == single.model.n and table.loc[(g, "time"), "n_missing"] == missing


def test_bits_do_not_depend_on_threads_or_blocks(frame):
    rng = np.random.default_rng(5)
    Y = frame[["g1"]].to_numpy() + rng.normal(size=(len(frame), 40)) * rng.uniform(0.1, 3.0, 40)
    before = corvane.get_num_threads()
    try:
        tables = []
        for threads, block in ((1, 40), (2, 7)):
            corvane.set_num_threads(threads)
            tables.append(_many(frame, Y, block=block).table)
    finally:
        corvane.set_num_threads(before)
    pd.testing.assert_frame_equal(tables[0], tables[1], check_exact=True)


def test_failures_are_rows_not_exceptions(frame):
    data = frame[["subject", "condition", "time", "g1"]].copy()
    data["few"] = np.where(np.arange(len(data)) < 4, data["g1"], np.nan)       # 4 rows for 4 coefficients
    data["none"] = np.nan
    data["text"] = "a"
    data["exact"] = 2.0 + 3.0 * data["time"]                                   # no residual variation
    many = _many(data, ["few", "g1", "none", "exact", "text"])
    fits = many.fits
    assert fits.loc["g1", "message"] == "" and fits.loc["g1", "converged"]
    for name, words in (("few", "single level"), ("none", "rows"), ("exact", "exact"), ("text", "numeric")):
        assert words in fits.loc[name, "message"], (name, fits.loc[name, "message"])
        assert np.isnan(many.table.set_index("response").loc[name, "p"]).all()
    assert many.n_failed == 4
    # Benjamini-Hochberg over the fitted responses only.
    assert many.table["p_adjusted"].notna().sum() == len(many.terms)


def test_per_response_weights_and_full_result(frame):
    rng = np.random.default_rng(7)
    W = rng.uniform(0.2, 5.0, size=(len(frame), 2))
    many = _many(frame, ["g1", "g2"], weights=W)
    for j, g in enumerate(["g1", "g2"]):
        single = corvane.lmm(f"{g} {RHS}", frame, weights=W[:, j])
        t_rows, _ = _single_tests(single)
        got = many.table.set_index(["response", "term"]).loc[g].loc[["time", TRT, "slope"]]
        np.testing.assert_allclose(got[["estimate", "std_error", "df"]].to_numpy(), t_rows, rtol=1e-10)
    full = many.result("g2")
    assert full.params["time"] == pytest.approx(many.table.set_index(["response", "term"]).loc[("g2", "time"),
                                                                                             "estimate"], rel=1e-12)
    with pytest.raises(KeyError, match="no response"):
        many.result("g9")


def test_shared_weights_are_the_refits(frame):
    """Weights shared by every response go through the shared route: each
    response's numbers are its model's refit's, and a single fit's to its
    own convergence tolerance (the two stop at gradients 1e-8 apart)."""
    data = frame.assign(w=np.random.default_rng(8).uniform(0.5, 2.0, len(frame)))
    many = _many(data, ["g1", "g2"], weights="w")
    base = corvane.lmm(f"g2 {RHS}", data, weights="w")
    for g in ("g1", "g2"):
        got = many.table.set_index(["response", "term"]).loc[g].loc[["time", TRT, "slope"]]
        got = got[["estimate", "std_error", "df"]].to_numpy()
        np.testing.assert_allclose(got, _single_tests(base.model.refit(data[g]))[0], rtol=1e-12)
        np.testing.assert_allclose(got, _single_tests(corvane.lmm(f"{g} {RHS}", data, weights="w"))[0], rtol=1e-8)


def test_kenward_roger_route(frame):
    many = _many(frame, ["g1", "g3"], ddf="kenward-roger")
    for g in ("g1", "g3"):
        t_rows, _ = _single_tests(corvane.lmm(f"{g} {RHS}", frame), "kenward-roger")
        got = many.table.set_index(["response", "term"]).loc[g].loc[["time", TRT, "slope"]]
        np.testing.assert_allclose(got[["estimate", "std_error", "df"]].to_numpy(), t_rows, rtol=1e-10)


@pytest.mark.parametrize("bad, match", [
    (dict(formula="g1 ~ time + (1 | subject)"), "no response"),
    (dict(coefs=["nope"]), "not fixed effects"),
    (dict(responses=["g1", "missing"]), "not columns"),
    (dict(responses=np.zeros((3, 2))), "one row per row"),
    (dict(block=0), "block"),
    (dict(contrasts={"c": [1.0, 2.0]}), "columns"),
])
def test_argument_errors(frame, bad, match):
    kw = dict(formula=RHS, responses=["g1"], coefs=None, contrasts=None)
    kw.update(bad)
    with pytest.raises(ValueError, match=match):
        corvane.lmm_many(kw.pop("formula"), frame, kw.pop("responses"), progress=False, **kw)


@pytest.mark.parametrize("family, responses", [("negative_binomial", ["c1", "c3"]), ("poisson", ["c2"]),
                                               ("binomial", ["b1"])])
def test_generalized_each_response_is_its_single_fit(counts, family, responses):
    offset = None if family == "binomial" else np.log(counts["lib"].to_numpy() / 1000.0)
    data = counts.copy()
    data.loc[data.index[:5], responses[-1]] = np.nan      # missing for one response only
    many = corvane.glmm_many("~ condition + (1 | subject)", data, responses, family=family, offset=offset,
                             block=1, progress=False)
    table = many.table.set_index(["response", "term"])
    for g in responses:
        single = corvane.glmm(f"{g} ~ condition + (1 | subject)", data, family=family, offset=offset)
        for term in single.fe_names:
            row = table.loc[(g, term)]
            assert row["estimate"] == pytest.approx(single.params[term], rel=1e-10, abs=1e-12)
            assert row["std_error"] == pytest.approx(single.std_errors[single.fe_names.index(term)], rel=1e-10)
            assert math.isinf(row["df"]) and row["n"] == single.model.n
        if family == "negative_binomial":
            assert table.loc[(g, TRT), "phi"] == pytest.approx(single.phi, rel=1e-10)
    assert table.loc[(responses[-1], TRT), "n_missing"] == 5


# ---- against lmerTest, pbkrtest and glmmTMB (tests/r/many_responses.R) -------------------------------------

REF = json.load(open(os.path.join(DATA, "many_responses.json")))
R_NAMES = {"(Intercept)": "(Intercept)", "conditiontrt": TRT, "time": "time", "conditiontrt:time": f"{TRT}:time"}


@pytest.mark.parametrize("ddf, key", [("satterthwaite", "satterthwaite"), ("kenward-roger", "kenward_roger")])
def test_agrees_with_lmertest(frame, ddf, key):
    many = corvane.lmm_many(RHS, frame, GENES + ["g6"], ddf=ddf, contrasts={"slope": SLOPE, "both": BOTH},
                            coefs=list(R_NAMES.values()), progress=False)
    table = many.table.set_index(["response", "term"])
    for g in GENES:
        ref = REF["lmm"]["responses"][g]
        got = table.loc[g].loc[[R_NAMES[t] for t in ref["terms"]]]
        estimate = ref["satterthwaite"]["estimate"]
        np.testing.assert_allclose(got["estimate"], estimate, rtol=1e-7, atol=1e-9 * np.max(np.abs(estimate)))
        np.testing.assert_allclose(got["std_error"], ref[key]["se"], rtol=1e-6)
        np.testing.assert_allclose(got["df"], ref[key]["df"], rtol=1e-6)
        np.testing.assert_allclose(np.log(got["p"]), np.log(ref[key]["p"]), rtol=1e-6)  # p down to 1e-212
        slope = table.loc[(g, "slope")]
        np.testing.assert_allclose(slope[["estimate", "std_error", "df"]].to_numpy(float),
                                   [ref["contrast"][key][c] for c in ("estimate", "se", "df")], rtol=1e-6)
        assert got["sigma"].iloc[0] == pytest.approx(ref["sigma"], rel=1e-7)
        assert got["sd((Intercept) | subject)"].iloc[0] == pytest.approx(ref["subject_sd"], rel=1e-6, abs=1e-8)
        assert got["boundary"].iloc[0] == ref["singular"] and got["n"].iloc[0] == ref["n"]
        if key == "satterthwaite":
            joint = table.loc[(g, "both")]
            np.testing.assert_allclose([joint["statistic"], joint["df"], joint["p"]],
                                       [ref["joint"][c] for c in ("F", "dendf", "p")], rtol=1e-5)
    if key == "satterthwaite":
        bh = REF["lmm"]["bh_contrast"]
        np.testing.assert_allclose(table.xs("slope", level="term").loc[bh["responses"], "p_adjusted"],
                                   bh["p_adjusted"], rtol=1e-5)


@pytest.mark.parametrize("family, key", [("negative_binomial", "nbinom2"), ("poisson", "poisson"),
                                         ("binomial", "binomial")])
def test_generalized_agree_with_glmmtmb(counts, family, key):
    ref = REF["counts"][key]["responses"]
    offset = None if family == "binomial" else np.log(counts["lib"].to_numpy() / 1000.0)
    many = corvane.glmm_many("~ condition + (1 | subject)", counts, list(ref), family=family, offset=offset,
                             progress=False)
    table = many.table.set_index(["response", "term"])
    for g, r in ref.items():
        r = r.get("glmmTMB", r)  # glmer's numbers are stored too; glmmTMB's are converged tightly
        got = table.loc[g].loc[[R_NAMES[t] for t in r["terms"]]]
        np.testing.assert_allclose(got["estimate"], r["estimate"], rtol=1e-5, atol=1e-6)
        np.testing.assert_allclose(got["std_error"], r["se"], rtol=1e-4)
        np.testing.assert_allclose(got["p"], r["p"], rtol=1e-3)
        assert got["sd((Intercept) | subject)"].iloc[0] == pytest.approx(r["subject_sd"], rel=1e-4)
        if "phi" in r:
            assert got["phi"].iloc[0] == pytest.approx(r["phi"], rel=1e-5)
