"""Mixed models for repeated measures on data these tests make: the
criterion against a dense subject-by-subject computation for every
structure, its exact gradient, Hessian and d cov(beta)/d theta against
finite differences, invariance to the rows' order and the subjects'
labels, and the errors of bad input."""

import os
import warnings

import numpy as np
import pandas as pd
import pytest

import corvane
from corvane._corvane import MmrmCore
from mmrm_dense import covariance, loglik, spatial_exponential

pytestmark = [pytest.mark.native]

STRUCTURES = ["us", "toep", "toeph", "ar1", "ar1h", "cs", "csh", "ad", "adh", "sp_exp"]
T = 5


def _table(seed=0, subjects=60):
    """A trial: two arms, T visits, dropout and scattered missing visits,
    a covariate, weights, and a continuous time."""
    rng = np.random.default_rng(seed)
    rows = []
    for s in range(subjects):
        arm = "TRT" if s % 2 else "PBO"
        last = rng.integers(2, T + 1)
        x = rng.standard_normal()
        for v in range(last):
            if v > 0 and rng.random() < 0.15:
                continue
            rows.append((f"S{s:03d}", f"V{v + 1}", arm, x, 1.0 + v + 0.3 * rng.random(), 0.5 + rng.random()))
    df = pd.DataFrame(rows, columns=["subject", "visit", "arm", "x", "time", "w"])
    eff = df["visit"].str[1:].astype(int) * (0.5 + (df["arm"] == "TRT"))
    shared = df["subject"].map({k: v for k, v in zip(df["subject"].unique(), rng.standard_normal(subjects))})
    df["y"] = 2.0 + eff + 0.7 * df["x"] + 1.5 * shared + rng.standard_normal(len(df)) * (1 + 0.2 * eff)
    return df


@pytest.fixture(scope="module")
def table():
    return _table()


def _core(df, structure, grouped=False, weighted=False):
    X = np.column_stack([np.ones(len(df)), df["x"], df["arm"] == "TRT",
                         *[(df["visit"] == f"V{v}") for v in range(2, T + 1)]]).astype(np.float64)
    subj, labels = pd.factorize(df["subject"])
    spatial = structure == "sp_exp"
    pos = df["time"].to_numpy(np.float64) if spatial else (df["visit"].str[1:].astype(np.int64) - 1).to_numpy()
    groups = (df["arm"] == "TRT").to_numpy().astype(np.int64) if grouped else np.zeros(len(df), np.int64)
    w = df["w"].to_numpy(np.float64) if weighted else None
    core = MmrmCore(df["y"].to_numpy(np.float64), X, subj.astype(np.int64), pos, groups, len(labels),
                    0 if spatial else T, 2 if grouped else 1, structure, w)
    return core, X


def _dense(df, X, structure, theta, grouped, weighted, reml):
    per = len(theta) // (2 if grouped else 1)
    covs = {}
    for s, sub in df.groupby("subject", sort=False):
        g = int(sub["arm"].iloc[0] == "TRT") if grouped else 0
        block = theta[g * per:(g + 1) * per]
        if structure == "sp_exp":
            cov = spatial_exponential(block, sub["time"].to_numpy())
        else:
            k = (sub["visit"].str[1:].astype(int) - 1).to_numpy()
            cov = covariance(structure, block, T)[np.ix_(k, k)]
        if weighted:
            r = 1.0 / np.sqrt(sub["w"].to_numpy())
            cov = cov * np.outer(r, r)
        covs[s] = cov
    return loglik(df["y"].to_numpy(), X, df["subject"].to_numpy(), covs, reml=reml)


def _theta(core, seed):
    """A random theta whose covariance is positive definite (Toeplitz
    correlations are not for every value)."""
    rng = np.random.default_rng(seed)
    while True:
        theta = rng.uniform(-0.4, 0.4, core.n_theta)
        if core.evaluate(theta, True, 0)["feasible"]:
            return theta


CASES = [(s, False, False, True) for s in STRUCTURES] + [
    ("us", True, False, True), ("ar1h", True, True, False), ("sp_exp", True, True, True), ("csh", False, True, False)]


@pytest.mark.parametrize("structure,grouped,weighted,reml", CASES)
def test_criterion_equals_dense_and_derivatives_equal_differences(table, structure, grouped, weighted, reml):
    core, X = _core(table, structure, grouped, weighted)
    theta = _theta(core, 1)
    e = core.evaluate(theta, reml)
    ll, beta, cov_beta = _dense(table, X, structure, theta, grouped, weighted, reml)
    assert -0.5 * e["criterion"] == pytest.approx(ll, rel=1e-12, abs=1e-9)
    np.testing.assert_allclose(e["beta"], beta, rtol=1e-9, atol=1e-10)
    np.testing.assert_allclose(e["cov_beta"], cov_beta, rtol=1e-9, atol=1e-12)
    h = 1e-5
    steps = np.eye(len(theta)) * h
    crit = [(core.evaluate(theta + d, reml, 0)["criterion"] - core.evaluate(theta - d, reml, 0)["criterion"]) / (2 * h)
            for d in steps]
    np.testing.assert_allclose(e["grad"], crit, rtol=1e-6, atol=1e-6 * max(1.0, np.max(np.abs(crit))))
    plus = [core.evaluate(theta + d, reml) for d in steps]
    minus = [core.evaluate(theta - d, reml) for d in steps]
    hess = np.array([(a["grad"] - b["grad"]) / (2 * h) for a, b in zip(plus, minus)])
    scale = np.max(np.abs(e["hessian"]))
    np.testing.assert_allclose(e["hessian"], hess, atol=1e-6 * scale)
    np.testing.assert_array_equal(e["hessian"], e["hessian"].T)
    dcov = np.array([(a["cov_beta"] - b["cov_beta"]) / (2 * h) for a, b in zip(plus, minus)])
    np.testing.assert_allclose(e["cov_beta_grad"], dcov, atol=1e-6 * np.max(np.abs(dcov)))


@pytest.mark.parametrize("structure", ["us", "adh", "sp_exp"])
def test_rows_order_and_subject_labels_change_no_bit(table, structure):
    core, _ = _core(table, structure, grouped=True)
    theta = _theta(core, 2)
    e = core.evaluate(theta)
    rng = np.random.default_rng(5)
    shuffled = table.iloc[rng.permutation(len(table))].reset_index(drop=True)
    # Subjects first met in the same order keep their codes; rows within a
    # subject in any order give the same products.
    order = {s: k for k, s in enumerate(table["subject"].unique())}
    shuffled = shuffled.sort_values("subject", key=lambda c: c.map(order), kind="stable").reset_index(drop=True)
    other, _ = _core(shuffled, structure, grouped=True)
    f = other.evaluate(theta)
    for key in ("criterion", "grad", "hessian", "beta", "cov_beta"):
        np.testing.assert_array_equal(np.asarray(f[key]), np.asarray(e[key]))


def test_public_fit_equals_core_and_counts_dropped_rows(table):
    df = table.copy()
    df.loc[[3, 10], "y"] = np.nan
    df.loc[20, "visit"] = None
    r = corvane.mmrm("y ~ x + arm * visit + us(visit | subject)", df)
    assert r.converged and r.n_dropped == 3 and r.n_obs == len(table) - 3
    assert r.n_subjects == table["subject"].nunique()
    core = r.model.core
    direct = core.fit(r.theta + 0.01)
    assert direct["criterion"] == pytest.approx(r.deviance, abs=1e-8)
    cov = r.cov_resid
    assert list(cov.index) == [f"V{v}" for v in range(1, T + 1)] and np.all(np.linalg.eigvalsh(cov) > 0)
    assert "Covariance estimate" in str(r.summary()) and r.to_dict()["n_dropped"] == 3


@pytest.mark.parametrize("formula,data_change,message", [
    ("y ~ x + visit", None, "exactly one covariance term"),
    ("y ~ x + us(visit | subject) + ar1(visit | subject)", None, "exactly one covariance term"),
    ("y ~ x + us(visit | nothere)", None, "not in the data"),
    ("y ~ x + us(visit, time | subject)", None, "one time or visit column"),
    ("y ~ x + us(visit | subject)", "duplicate", "same visit twice"),
    ("y ~ x + us(visit | arm / subject)", "two_groups", "more than one group"),
    ("y ~ x + us(visit | subject)", "unused_level", "never observed"),
])
def test_bad_input_is_refused_with_a_message(table, formula, data_change, message):
    df = table.copy()
    if data_change == "duplicate":
        df.loc[1, "visit"] = df.loc[0, "visit"]
        df.loc[1, "subject"] = df.loc[0, "subject"]
    elif data_change == "two_groups":
        first = df["subject"] == df.loc[0, "subject"]
        df.loc[first[first].index[-1], "arm"] = "TRT" if df.loc[0, "arm"] == "PBO" else "PBO"
    elif data_change == "unused_level":
        df["visit"] = pd.Categorical(df["visit"], categories=[f"V{v}" for v in range(1, T + 2)])
    with pytest.raises(ValueError, match=message):
        corvane.mmrm(formula, df)


def test_structure_names_and_core_arguments_are_checked(table):
    with pytest.raises(ValueError, match="structure must be one of"):
        _core(table, "unstructured")
    core, _ = _core(table, "us")
    with pytest.raises(ValueError, match="theta must have 15 entries"):
        core.evaluate([0.0] * 3)
    e = core.evaluate([0.0] * 5 + [1e200] * 10, True, 0)
    assert e["feasible"] is False and e["criterion"] == np.inf


@pytest.mark.serial
def test_any_thread_count_gives_the_same_bits():
    """Patterns are evaluated in chunks on the worker pool and merged in
    chunk order: one thread and two give the same bits."""
    core, _ = _core(_table(seed=3, subjects=600), "us", grouped=True)
    theta = _theta(core, 4)
    try:
        corvane.set_num_threads(1)
        one = core.evaluate(theta)
        corvane.set_num_threads(2)
        two = [core.evaluate(theta) for _ in range(3)]
    finally:
        corvane.set_num_threads(None)
    for other in two:
        for key in ("criterion", "grad", "hessian", "beta", "cov_beta", "cov_beta_grad"):
            np.testing.assert_array_equal(np.asarray(other[key]), np.asarray(one[key]))


@pytest.mark.parametrize("structure,grouped", [("us", False), ("toeph", True), ("sp_exp", False)])
def test_subject_and_pattern_routes_agree(table, structure, grouped):
    """The Hessian's transformed products formed per subject or per
    pattern give the same criterion, derivatives and Kenward-Roger sums to
    rounding."""
    core_p, X = _core(table, structure, grouped)
    y = table["y"].to_numpy(np.float64)
    subj = pd.factorize(table["subject"])[0].astype(np.int64)
    spatial = structure == "sp_exp"
    pos = table["time"].to_numpy(np.float64) if spatial else (table["visit"].str[1:].astype(np.int64) - 1).to_numpy()
    groups = (table["arm"] == "TRT").to_numpy().astype(np.int64) if grouped else np.zeros(len(table), np.int64)
    cores = [MmrmCore(y, X, subj, pos, groups, subj.max() + 1, 0 if spatial else T, 2 if grouped else 1,
                      structure, None, route) for route in ("patterns", "subjects", "auto")]
    assert cores[0].n_subject_patterns == 0 and cores[1].n_subject_patterns == cores[1].n_patterns
    theta = _theta(cores[0], 7)
    w = np.eye(len(theta)) * 0.3 + 0.1
    ref = cores[0].evaluate(theta, True, 2, w)
    for core in cores[1:]:
        e = core.evaluate(theta, True, 2, w)
        assert e["criterion"] == pytest.approx(ref["criterion"], rel=1e-14)
        for key in ("grad", "hessian", "cov_beta_grad", "p_k", "weighted_q", "weighted_r"):
            scale = np.max(np.abs(ref[key]))
            np.testing.assert_allclose(e[key], ref[key], rtol=0, atol=1e-12 * scale)


@pytest.mark.parametrize("source", ["parquet folder", "pyarrow table", "dask"])
def test_batched_sources_give_the_in_memory_fit(table, tmp_path, source):
    """Rows read in batches (subjects together; a subject may span two
    batches) give the in-memory fit: bit for bit from one batch, to rounding
    from several (the response is reduced by the first batch's least
    squares rather than all rows'); what needs the rows says so."""
    pa = pytest.importorskip("pyarrow")
    df = table.copy()
    df.loc[[5, 17], "y"] = np.nan                      # dropped and counted in both
    formula = "y ~ x + arm * visit + us(visit | subject)"
    memory = corvane.mmrm(formula, df, weights="w")
    assert memory.converged
    if source == "parquet folder":
        pytest.importorskip("pyarrow.parquet")
        folder = tmp_path / "trial"
        folder.mkdir()
        for k, part in enumerate(np.array_split(np.arange(len(df)), 4)):   # cuts fall inside subjects
            df.iloc[part].to_parquet(folder / f"part-{k}.parquet", index=False)
        data = str(folder)
    elif source == "pyarrow table":
        data = pa.Table.from_pandas(df, preserve_index=False)
    else:
        dd = pytest.importorskip("dask.dataframe")
        data = dd.from_pandas(df, npartitions=3, sort=False)
    batched = corvane.mmrm(formula, data, weights="w")
    assert batched.n_dropped == memory.n_dropped == 2 and batched.n_obs == memory.n_obs
    exact = source == "pyarrow table"
    tol = {"rtol": 0, "atol": 0} if exact else {"rtol": 1e-9, "atol": 1e-12}
    for a, b in ((batched.theta, memory.theta), (batched.beta, memory.beta), (batched.cov_beta, memory.cov_beta)):
        np.testing.assert_allclose(a, b, **tol)
    np.testing.assert_allclose(batched.deviance, memory.deviance, rtol=0 if exact else 1e-13)
    new = df.iloc[:12]
    for ours, theirs in ((batched.coef_table(), memory.coef_table()),
                         (batched.predict(new, interval="confidence"), memory.predict(new, interval="confidence"))):
        np.testing.assert_allclose(ours.to_numpy(), theirs.to_numpy(), **tol)
    with pytest.raises(ValueError, match="needs the model's rows"):
        batched.residuals()


def test_a_fit_heading_to_a_singular_covariance_says_so(table):
    """An arm with 6 subjects at its last visit cannot estimate that visit's
    unstructured row: the likelihood rises towards a singular covariance,
    which the parametrisation reaches only at infinity. The fit is not
    certified, and says where the covariance degenerates."""
    with pytest.warns(corvane.SingularFitWarning, match="PBO: V5"), \
            pytest.warns(corvane.ConvergenceWarning):
        r = corvane.mmrm("y ~ x + arm * visit + us(visit | arm / subject)", table, weights="w")
    assert not r.converged and r.singular and "PBO: V5" in r.boundary
    assert not any(b.startswith("TRT") for b in r.boundary)
    # with a structure of fewer parameters the same data give a certified optimum
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert corvane.mmrm("y ~ x + arm * visit + toeph(visit | arm / subject)", table, weights="w").converged


def test_products_summed_in_blocks_are_the_same_however_the_rows_come():
    """Patterns of more subjects than a block (2048) are summed block by
    block on the pool: rows given in one call or cut into calls at any
    subject, and 1 or 2 threads, give the same bits; the sums equal the
    dense products."""
    from corvane._corvane import MmrmBuilder

    df = _table(seed=5, subjects=5000)
    core, X = _core(df, "us")
    y = df["y"].to_numpy(np.float64)
    subj = pd.factorize(df["subject"])[0].astype(np.int64)
    pos = (df["visit"].str[1:].astype(np.int64) - 1).to_numpy()
    grp = np.zeros(len(df), np.int64)
    theta = _theta(core, 2)
    want = core.evaluate(theta)
    starts = np.flatnonzero(np.r_[True, subj[1:] != subj[:-1]])
    for cuts, threads in (([], 2), ([1, 2047, 2049, 4100], 1), (list(range(100, 5000, 700)), 2)):
        corvane.set_num_threads(threads)
        try:
            b = MmrmBuilder(X.shape[1], T, 1, "us", False)
            for lo, hi in zip([0] + cuts, cuts + [len(starts)]):
                rows = slice(starts[lo], starts[hi] if hi < len(starts) else len(df))
                b.add(y[rows], X[rows], subj[rows], pos[rows], grp[rows], None)
            got = b.finish().evaluate(theta)
        finally:
            corvane.set_num_threads(None)
        for key in ("criterion", "grad", "hessian", "beta", "cov_beta"):
            np.testing.assert_array_equal(np.asarray(got[key]), np.asarray(want[key]))
    xtx = core.moments()["xtx"]
    np.testing.assert_allclose(xtx, X.T @ X, rtol=1e-13, atol=1e-9)


def test_batched_rows_of_a_subject_apart_are_refused(table, tmp_path):
    pytest.importorskip("pyarrow.parquet")
    folder = tmp_path / "apart"
    folder.mkdir()
    by = dict(tuple(table.groupby("subject", sort=False)))
    first, second, third = (by[s] for s in list(by)[:3])
    parts = [pd.concat([first.iloc[:1], second]), third, first.iloc[1:]]   # the first subject comes back
    for k, part in enumerate(parts):
        part.to_parquet(folder / f"part-{k}.parquet", index=False)
    with pytest.raises(ValueError, match="not together"):
        corvane.mmrm("y ~ x + visit + us(visit | subject)", str(folder))


@pytest.mark.parametrize("structure", ["us", "ar1h", "sp_exp"])
def test_response_scale_and_huge_effects_change_only_units(table, structure):
    """y -> c y + huge arm effect (c = 1e7, effects 1e7 times the noise):
    beta and standard errors scale by c (the arm effect shifted), the log
    standard deviations shift by log c, correlations and df do not move,
    and -2 log L shifts by 2 (n - p) log c."""
    term = "time" if structure == "sp_exp" else "visit"
    formula = f"y ~ x + arm * visit + {structure}({term} | subject)"
    base = corvane.mmrm(formula, table)
    c, shift = 1e7, 3e14
    big = table.assign(y=c * table["y"] + shift * (table["arm"] == "TRT"))
    r = corvane.mmrm(formula, big)
    assert base.converged and r.converged
    expect = c * base.beta
    expect[base.fe_names.index("arm[T.TRT]")] += shift
    np.testing.assert_allclose(r.beta, expect, rtol=1e-7, atol=1e-7 * c)
    ct, cb = r.coef_table(), base.coef_table()
    np.testing.assert_allclose(ct["Std. Error"], c * cb["Std. Error"], rtol=1e-6)
    np.testing.assert_allclose(ct["df"], cb["df"], rtol=1e-5)
    n_sd = {"us": T, "ar1h": T, "sp_exp": 1}[structure]
    step = np.zeros(len(base.theta))
    step[:n_sd] = 2.0 * np.log(c) if structure == "sp_exp" else np.log(c)   # sp_exp: log variance
    np.testing.assert_allclose(r.theta, base.theta + step, rtol=1e-7, atol=1e-6)
    assert r.deviance - base.deviance == pytest.approx(2 * (r.n_obs - len(r.beta)) * np.log(c), rel=1e-9)


@pytest.mark.parametrize("n", [2, 3, 4, 5, 10, 55, 70])
def test_the_minimisers_eigen_decomposition(n):
    """Jacobi below 4 rows, Householder and implicit QL from there: the
    eigenvalues and eigenvectors of random, diagonal, rank-one and repeated
    spectra, against LAPACK's."""
    from corvane import _corvane_tests as ct

    rng = np.random.default_rng(n)
    q, _ = np.linalg.qr(rng.standard_normal((n, n)))
    cases = [rng.standard_normal((n, n)), np.diag(rng.standard_normal(n)), np.ones((n, n)),
             q @ np.diag(np.repeat([1.0, 5.0], [n // 2, n - n // 2])) @ q.T, np.zeros((n, n))]
    for a in cases:
        a = np.triu(a) + np.triu(a, 1).T
        values, vectors = ct.symmetric_eigen(np.ascontiguousarray(a))
        scale = max(1.0, np.abs(a).max())
        np.testing.assert_allclose(values, np.linalg.eigvalsh(a), atol=1e-12 * scale * n)
        np.testing.assert_allclose(vectors.T @ vectors, np.eye(n), atol=1e-12 * n)
        np.testing.assert_allclose(a @ vectors, vectors * values, atol=1e-12 * scale * n)


def test_vector_unit_kernels_give_the_baseline_bits(tmp_path):
    """The evaluation's loops on the vector unit (this process) and in the
    baseline build (a child with CORVANE_LANES=0) give the same bits."""
    import subprocess
    import sys

    code = (
        "import sys, numpy as np; sys.path.insert(0, %r); from test_mmrm import _table, _core, _theta;"
        "core, _ = _core(_table(seed=4, subjects=150), 'us', True); th = _theta(core, 1);"
        "e = core.evaluate(th, True, 2, np.eye(len(th)));"
        "np.savez(sys.argv[1], **{k: np.asarray(v) for k, v in e.items() if k != 'feasible'})"
    ) % os.path.dirname(__file__)
    out = {}
    for lanes in ("1", "0"):
        out[lanes] = tmp_path / f"eval{lanes}.npz"
        subprocess.run([sys.executable, "-c", code, str(out[lanes])], check=True,
                       env=dict(os.environ, CORVANE_LANES=lanes))
    on, off = np.load(out["1"]), np.load(out["0"])
    assert sorted(on.files) == sorted(off.files) and "weighted_q" in on.files
    for key in on.files:
        assert np.array_equal(on[key].view(np.uint64), off[key].view(np.uint64)), key


@pytest.mark.parametrize("formula", [
    "y ~ us(visit | arm / subject) + x + arm * visit",          # the covariance term first, grouped
    "y ~ x + arm + sp_exp(time | subject) - 1",                 # continuous time, no intercept
    "y ~ csh(visit | subject) + x * arm",
])
def test_outputs_of_every_kind_of_fit(table, formula):
    """to_dict is JSON, the summary and HTML show the covariance (by group
    when grouped), predictions refuse a visit the fit never saw, and the
    term order of the formula does not change the fit."""
    import json

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", corvane.SingularFitWarning)
        warnings.simplefilter("ignore", corvane.ConvergenceWarning)
        r = corvane.mmrm(formula, table, weights="w")
    d = json.loads(json.dumps(r.to_dict()))
    assert d["n_obs"] == len(table) and set(d["fixed_effects"]) == set(r.fe_names)
    text, html = str(r.summary()), r._repr_html_()
    assert "Covariance estimate" in text and "corvane-summary" in html
    if "arm /" in formula:
        assert "Covariance estimate (PBO)" in text and isinstance(d["cov_resid"], dict)
    if "sp_exp" not in formula:
        bad = table.iloc[:3].assign(visit="V9")
        with pytest.raises(ValueError, match="V9"):
            r.predict(bad)
    if formula.startswith("y ~ csh"):
        swapped = corvane.mmrm("y ~ arm * x + csh(visit | subject)", table, weights="w")
        assert swapped.loglik == pytest.approx(r.loglik, abs=1e-9)
        np.testing.assert_allclose(swapped.theta, r.theta, rtol=1e-8)


def test_batched_data_with_aliased_columns_are_refused_by_name(table):
    """Data read in batches cannot drop a column after their products are
    summed: an aliased column is named and refused."""
    pa = pytest.importorskip("pyarrow")
    aliased = table.assign(x2=2.0 * table["x"])
    with pytest.warns(corvane.RankDeficiencyWarning, match="dropping 1 column: x2"):
        memory = corvane.mmrm("y ~ x + x2 + visit + us(visit | subject)", aliased)   # in memory: dropped
    assert memory.dropped_columns == ["x2"] and "x2" not in memory.fe_names
    data = pa.Table.from_pandas(aliased, preserve_index=False)
    with pytest.raises(ValueError, match="x2.*full-rank design"):
        corvane.mmrm("y ~ x + x2 + visit + us(visit | subject)", data)
