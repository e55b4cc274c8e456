"""The Python front end: corvane.lmm and LinearMixedModel against the core called
directly, statsmodels MixedLM, dense NumPy formulas and known truth."""

import json
import math
import re
import subprocess
import sys
import warnings

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
pytest.importorskip("formulaic")
sm = pytest.importorskip("statsmodels.api")
from scipy.stats import norm  # noqa: E402

import corvane  # noqa: E402
import corvane.model as cmodel  # noqa: E402
from corvane import LinearMixedModel, LmmCore  # noqa: E402
from corvane._example import example_arrays, example_frame  # noqa: E402

BETA = np.array([1.0, 2.0, -1.0])


def generated(sd0, sd1, seed=1, m=30, n=300):
    """y = 1 + 2 x1 - x2 + b0[g] + b1[g] x1 + e, sd(e) = 1; every group occurs."""
    rng = np.random.default_rng(seed)
    g = rng.integers(0, m, n)
    g[:m] = np.arange(m)
    x1, x2 = rng.normal(size=n), rng.normal(size=n)
    b0, b1 = rng.normal(0, sd0, m), rng.normal(0, sd1, m)
    y = BETA[0] + BETA[1] * x1 + BETA[2] * x2 + b0[g] + b1[g] * x1 + rng.normal(size=n)
    return pd.DataFrame({"y": y, "x1": x1, "x2": x2, "g": g})


def dense(df, zcols):
    """(y, X, Z, codes, m) built with NumPy alone, for LmmCore."""
    cols = {"1": np.ones(len(df)), "x1": df["x1"].to_numpy()}
    y = df.iloc[:, 0].to_numpy().copy()
    X = np.column_stack([np.ones(len(df)), df["x1"], df["x2"]])
    Z = np.ascontiguousarray(np.column_stack([cols[c] for c in zcols]), dtype=float)
    codes = df["g"].to_numpy().astype(np.int64)
    return y, X, Z, codes, int(codes.max()) + 1


CASES = {  # formula, (sd0, sd1), columns of Z
    "intercept": ("y ~ x1 + x2 + (1 | g)", (1.5, 0.0), ["1"]),
    "slope": ("y ~ x1 + x2 + (0 + x1 | g)", (0.0, 0.8), ["x1"]),
    "both": ("y ~ x1 + x2 + (x1 | g)", (1.5, 0.8), ["1", "x1"]),
}


def problem(case):
    if case == "example":
        a = example_arrays()
        return ("Reaction ~ Days + (Days | Subject)", example_frame(),
                (a["y"], a["X"], a["Z"], a["codes"], 18), None)
    formula, sds, zcols = CASES[case]
    df = generated(*sds)
    return formula, df, dense(df, zcols), BETA


def theta_of(cov):
    lam = np.linalg.cholesky(np.atleast_2d(cov))
    return [float(lam[i, j]) for j in range(lam.shape[0]) for i in range(j, lam.shape[0])]


def statsmodels_best(y, X, Z, codes, reml):
    """statsmodels' best estimate over two of its optimisers, by its own likelihood:
    each alone stalls on one of these problems (lbfgs even reports llf = +inf at
    a zero variance for the slope-only model, so only finite values count)."""
    best = None
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for method in ("bfgs", "lbfgs"):
            f = sm.MixedLM(y, X, groups=codes, exog_re=Z).fit(reml=reml, method=method)
            if np.isfinite(f.llf) and (best is None or f.llf > best.llf):
                best = f
    return best


def rel(a, b):
    a, b = np.asarray(a, float), np.asarray(b, float)
    return np.max(np.abs(a - b)) / np.max(np.abs(b))


@pytest.mark.parametrize("reml", [True, False], ids=["REML", "ML"])
@pytest.mark.parametrize("case", ["intercept", "slope", "both", "example"])
def test_agrees_with_core_statsmodels_and_truth(case, reml):
    formula, df, (y, X, Z, codes, m), truth = problem(case)
    res = corvane.lmm(formula, df, reml=reml)
    q = Z.shape[1]
    # The default starts include the identity factor.
    assert any(np.array_equal(s, LmmCore(y, X, Z, codes, m).default_theta()) for s in res.starts)

    # The same numbers as the core fitted directly on a NumPy design.
    core = LmmCore(y, X, Z, codes, m)
    direct = core.fit(res.starts.ravel().tolist(), reml=reml)
    for key, got in [("beta", res.beta), ("theta", res.theta), ("cov_re", res.cov_re),
                     ("random_effects", np.array([res.random_effects[g] for g in res.group_labels])),
                     ("cov_beta", res.cov_beta), ("sigma", res.sigma), ("deviance", res.criterion)]:
        np.testing.assert_array_equal(got, direct[key], err_msg=key)
    assert (res.converged, res.iterations, res.evaluations) == (True, direct["iterations"], direct["fev"])

    # statsmodels: corvane's criterion at its estimate is no better than corvane's own.
    f = statsmodels_best(y, X, Z, codes, reml)
    cov_sm = np.atleast_2d(np.asarray(f.cov_re))
    assert core.deviance(theta_of(cov_sm / f.scale), reml=reml) >= res.criterion - 1e-9 * res.criterion
    assert rel(f.fe_params, res.beta) < 2e-4
    assert rel(f.scale, res.sigma2) < 2e-4
    assert rel(cov_sm, res.cov_re) < 2e-4

    assert res.cov_re.shape == (q, q) and res.n_obs == len(df) and res.n_dropped == 0
    if truth is not None:
        assert np.all(np.abs(res.beta - truth) < 4 * res.std_errors)
        assert 0.8 < res.sigma < 1.2


def test_starts_pass_through_and_information_criteria():
    formula, df, (y, X, Z, codes, m), _ = problem("example")
    res = corvane.lmm(formula, df, starts=[0.5, 0.1, 0.3])
    direct = LmmCore(y, X, Z, codes, m).fit([0.5, 0.1, 0.3])
    np.testing.assert_array_equal(res.theta, direct["theta"])
    k = 2 + 3 + 1
    assert res.n_params == k
    assert res.loglik == -res.criterion / 2
    assert res.aic == pytest.approx(res.criterion + 2 * k, rel=1e-15)
    assert res.bic == pytest.approx(res.criterion + k * math.log(180), rel=1e-15)
    np.testing.assert_allclose(res.std_errors, np.sqrt(np.diag(direct["cov_beta"])), rtol=1e-15)
    np.testing.assert_allclose(res.p_values, 2 * norm.sf(np.abs(res.beta / res.std_errors)),
                               rtol=1e-10, atol=1e-300)
    sd = np.sqrt(np.diag(res.cov_re))
    assert res.re_corr[0, 1] == pytest.approx(res.cov_re[0, 1] / (sd[0] * sd[1]), rel=1e-14)

    text = res.summary()
    assert isinstance(text, str) and repr(text) == text
    for part in ["REML criterion at convergence", "Groups", "Name", "Variance", "Std.Dev.", "Corr",
                 "Residual", "Number of obs: 180, groups:  Subject, 18", "Estimate", "Std. Error",
                 "t value", "Pr(>|z|)", "(Intercept)", "Days"]:
        assert part in text


LABELINGS = {
    "str": lambda c: np.array([f"s{k}" for k in c], dtype=object),  # "s10" sorts before "s2"
    "categorical": lambda c: pd.Categorical([f"L{k}" for k in c],
                                            categories=["unused"] + [f"L{k}" for k in range(11, -1, -1)]),
    "int_gaps": lambda c: 7 * c - 30,
    "float": lambda c: c / 4 + 0.5,
}


@pytest.mark.parametrize("interface", ["formula", "arrays"])
@pytest.mark.parametrize("kind", list(LABELINGS))
def test_group_labels_of_any_dtype(kind, interface):
    df = generated(1.0, 0.5, seed=7, m=12, n=120)
    y, X, Z, codes, m = dense(df, ["1", "x1"])
    labels = LABELINGS[kind](codes)
    ref = LinearMixedModel(y, X, Z, codes)  # codes 0..11: one group per code, in order
    if interface == "formula":
        res = corvane.lmm("y ~ x1 + x2 + (x1 | g)", df.assign(g=labels))
    else:
        res = LinearMixedModel(y, X, Z, pd.Series(labels) if kind == "categorical" else labels).fit()
    assert res.n_groups == 12 and len(res.random_effects) == 12
    assert res.criterion == pytest.approx(ref.fit().criterion, rel=1e-10)
    at = ref.evaluate(res.theta)  # the reference at the same theta: the same groups, relabelled
    label_of = dict(zip(codes.tolist(), pd.Series(labels).tolist()))
    for code in range(12):
        np.testing.assert_allclose(res.random_effects[label_of[code]], at.random_effects[code],
                                   rtol=1e-9, atol=1e-12)
        np.testing.assert_allclose(res.conditional_covariances[label_of[code]],
                                   at.conditional_covariances[code], rtol=1e-9)
    np.testing.assert_allclose(res.predict(), at.predict(), rtol=1e-10)


def test_missing_values_dropped_and_counted():
    df = generated(1.0, 0.0, seed=3, m=15, n=150)
    df = df.assign(w=np.exp(np.random.default_rng(0).normal(size=150)), unused=1.0)
    df["g"] = df["g"].map(lambda k: f"G{k}").astype(object)
    df.loc[[2, 40], "y"] = np.nan
    df.loc[5, "x1"] = np.nan
    df.loc[9, "g"] = None
    df.loc[60, "w"] = 0.0  # log(0) = -inf: dropped as well
    df.loc[[1, 2, 3], "unused"] = np.nan  # not in the formula: rows kept
    formula = "y ~ x1 + x2 + np.log(w) + (1 | g)"
    with np.errstate(divide="ignore"):
        res = corvane.lmm(formula, df)
    clean = df.drop(index=[2, 40, 5, 9, 60])
    ref = corvane.lmm(formula, clean)
    assert (res.n_dropped, res.n_obs, ref.n_dropped) == (5, 145, 0)
    np.testing.assert_array_equal(res.theta, ref.theta)
    np.testing.assert_array_equal(res.beta, ref.beta)
    assert "(5 observations deleted due to missingness)" in res.summary()


def test_predict_matches_numpy():
    a = example_arrays()
    res = corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame())
    B = np.array([res.random_effects[g] for g in a["groups"]])
    fixed = a["X"] @ res.beta
    np.testing.assert_allclose(res.predict(), fixed + np.sum(a["Z"] * B, axis=1), rtol=1e-13)
    np.testing.assert_allclose(res.predict(include_random=False), fixed, rtol=1e-13)

    new = pd.DataFrame({"Days": [0.0, 3.5, 9.0, 2.0], "Subject": ["S07", "S99", "S01", "S07"]})
    Xn = np.column_stack([np.ones(4), new["Days"]])
    Bn = np.array([res.random_effects.get(s, np.zeros(2)) for s in new["Subject"]])
    expect = Xn @ res.beta + np.sum(Xn * Bn, axis=1)
    np.testing.assert_allclose(res.predict(new), expect, rtol=1e-13)
    assert res.predict(new)[1] == pytest.approx(Xn[1] @ res.beta, rel=1e-14)  # unseen group
    np.testing.assert_allclose(res.predict(new[["Days"]], include_random=False), Xn @ res.beta, rtol=1e-13)

    arr = LinearMixedModel(a["y"], a["X"], a["Z"], a["groups"]).fit()
    np.testing.assert_allclose(arr.predict((Xn, Xn, new["Subject"].to_numpy())), expect, rtol=1e-9)
    np.testing.assert_allclose(arr.predict(Xn, include_random=False), Xn @ arr.beta, rtol=1e-13)


def badly_scaled(seed=3, m=25, n=250):
    """Z = [1, x] with x ~ 1e-4: column RMS ratio 1e4."""
    rng = np.random.default_rng(seed)
    g = rng.integers(0, m, n)
    x = rng.normal(size=n) * 1e-4
    b = rng.normal(size=(m, 2)) * [1.0, 0.5e4]
    y = 2 + 3e4 * x + b[g, 0] + b[g, 1] * x + rng.normal(size=n)
    X = np.column_stack([np.ones(n), x])
    return y, X, X.copy(), g


def flat(d, prefix=""):
    """A to_dict() flattened to {path: value} for comparison."""
    if isinstance(d, dict):
        return {k: v for key, val in d.items() for k, v in flat(val, f"{prefix}/{key}").items()}
    if isinstance(d, list):
        return {k: v for i, val in enumerate(d) for k, v in flat(val, f"{prefix}/{i}").items()}
    return {prefix: d}


def test_rescaling_leaves_every_quantity_unchanged(monkeypatch):
    y, X, Z, g = badly_scaled()
    scaled = LinearMixedModel(y, X, Z, g)
    assert scaled.z_scale is not None
    monkeypatch.setattr(cmodel, "_RESCALE_RATIO", math.inf)
    plain = LinearMixedModel(y, X, Z, g)
    assert plain.z_scale is None

    fit = scaled.fit()
    # Rescaling finds an optimum at least as good as the unscaled problem gives.
    assert fit.criterion <= plain.fit().criterion + 1e-9 * abs(fit.criterion)
    # At one theta, every reported quantity is the same to rounding.
    a, b = flat(scaled.evaluate(fit.theta).to_dict()), flat(plain.evaluate(fit.theta).to_dict())
    assert a.keys() == b.keys()
    for key in a:
        if isinstance(a[key], float):
            assert a[key] == pytest.approx(b[key], rel=1e-12, abs=1e-300), key
        else:
            assert a[key] == b[key], key
    np.testing.assert_allclose(scaled.evaluate(fit.theta).predict(), plain.evaluate(fit.theta).predict(),
                               rtol=1e-13)

    # The user-scale results against dense formulas: Lambda from theta, Var(b_i | y).
    lam = np.zeros((2, 2))
    lam[[0, 1, 1], [0, 0, 1]] = fit.theta
    np.testing.assert_allclose(fit.cov_re, fit.sigma2 * lam @ lam.T, rtol=1e-12)
    for label in (0, 7, 24):
        Zi = Z[g == label]
        M = lam.T @ Zi.T @ Zi @ lam + np.eye(2)
        expect = fit.sigma2 * lam @ np.linalg.solve(M, lam.T)
        np.testing.assert_allclose(fit.conditional_covariances[label], expect, rtol=1e-9, atol=1e-300)
    # Starts given on the user's scale reach the same fit.
    again = scaled.fit(starts=fit.theta)
    np.testing.assert_allclose(again.theta, fit.theta, rtol=1e-6)


@pytest.mark.parametrize("formula, match", [
    ("y ~ x1 + x2", "has no random-effects term"),
    ("y ~ x1 + (1 | g) + (0 + x1 | g)", "has 2 random-effects terms"),
    ("y ~ x1 + (1 | g) + (1 | h)", "has 2 random-effects terms"),
    ("y ~ x1 + (1 | g/h)", "nested grouping 'g/h'"),
    ("y ~ x1 + (1 | g:h)", "interaction grouping 'g:h'"),
    ("y ~ x1 + (1 || g)", "uncorrelated"),
    ("y ~ x1 + x2 | g", "'|' may appear only"),
])
def test_unsupported_formulas(formula, match):
    df = generated(1.0, 0.0, m=5, n=40).assign(h=1)
    with pytest.raises(ValueError, match=re.escape(match) + ".*exactly one random-effects term"):
        corvane.lmm(formula, df)


@pytest.mark.parametrize("formula, match", [
    ("y ~ x1 + zz + (1 | g)", "unknown column 'zz'"),
    ("y ~ x1 + (1 | gg)", "unknown column 'gg'"),
    ("y ~ x1 ** + (1 | g)", "bad formula"),
    ("y ~ x1 + (1 | g", "unbalanced"),
    ("y ~ 0 + (1 | g)", "X has no columns"),
])
def test_formula_mistakes(formula, match):
    with pytest.raises(ValueError, match=re.escape(match)):
        corvane.lmm(formula, generated(1.0, 0.0, m=5, n=40))


@pytest.mark.parametrize("bad, match", [
    (dict(y=np.zeros(5)), "X has 40 rows but y has 5"),
    (dict(groups=np.r_[np.nan, np.zeros(39)]), "groups has a missing label at row 0"),
    (dict(X=np.ones((40, 2))), "rank deficient"),
])
def test_array_model_checks_and_names(bad, match):
    df = generated(1.0, 0.0, m=5, n=40)
    y, X, Z, codes, _ = dense(df, ["1"])
    args = dict(y=df["y"], X=df[["x1", "x2"]].assign(c=1.0), Z=Z, groups=df["g"]) | bad
    with pytest.raises(ValueError, match=re.escape(match)):
        LinearMixedModel(args["y"], args["X"], args["Z"], args["groups"])
    res = LinearMixedModel(df["y"], df[["x1", "x2"]].assign(c=1.0), Z, df["g"]).fit()
    assert (res.fe_names, res.re_names, res.response_name, res.group_name) == (
        ["x1", "x2", "c"], ["z0"], "y", "g")


def test_to_dict_is_json():
    res = corvane.lmm("y ~ x1 + x2 + (x1 | g)", generated(0.0, 0.0, seed=2, m=10, n=100))
    d = json.loads(json.dumps(res.to_dict(), allow_nan=False))
    assert d["fixed_effects"]["x1"]["estimate"] == res.beta[1]
    assert d["theta"] == res.theta.tolist() and d["criterion"] == res.criterion
    assert set(d["random_effects"]) == {str(k) for k in range(10)}
    assert d["conditional_covariances"]["3"] == res.conditional_covariances[3].tolist()


def test_import_is_light_and_names_the_extra():
    code = (
        "import sys\n"
        "import corvane\n"
        "assert 'pandas' not in sys.modules and 'formulaic' not in sys.modules\n"
        "sys.modules['formulaic'] = None\n"
        "try:\n"
        "    corvane.lmm('y ~ x + (1 | g)', {'y': [1.0], 'x': [1.0], 'g': [1]})\n"
        "except ImportError as exc:\n"
        "    print(exc)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert "pip install corvane[formula]" in out.stdout
