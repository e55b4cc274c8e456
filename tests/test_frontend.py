"""The Python front end: corvane.lmm and LinearMixedModel against lme4's numbers,
the core called directly, statsmodels MixedLM, dense NumPy formulas and
known truth; the certificate; group labels; predictions; JSON."""

import json
import math
import os
import subprocess
import sys
import warnings

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
pytest.importorskip("formulaic")
sm = pytest.importorskip("statsmodels.api")

import corvane  # noqa: E402
from corvane import LinearMixedModel, LmmCore  # noqa: E402
from corvane._example import example_arrays, example_frame  # noqa: E402

pytestmark = [pytest.mark.wheel]

DATA = os.path.join(os.path.dirname(__file__), "data")
BETA = np.array([1.0, 2.0, -1.0])

# lme4 1.1-31 on sleepstudy (tests/r/sleepstudy_fits.R).
LME4 = {
    "Reaction ~ Days + (Days | Subject)": dict(
        reml=True, crit=1743.6282719600, theta=[0.9667417740, 0.0151690589, 0.2309099532],
        beta=[251.4051048485, 10.4672859596], sigma=25.5917957217),
    "Reaction ~ Days + (1 | Subject)": dict(
        reml=True, crit=1786.4650853949, theta=[1.1978815328], beta=[251.4051048485, 10.4672859596],
        sigma=30.9912338986),
    "Reaction ~ Days + offset(Days) + (1 | Subject)": dict(
        reml=True, crit=1786.4650853949, theta=[1.1978815327], beta=[251.4051048485, 9.4672859596],
        sigma=30.9912338989),
    "ML: Reaction ~ Days + (Days | Subject)": dict(
        reml=False, crit=1751.9393444890, theta=[0.9291906053, 0.0181657547, 0.2226432056],
        beta=[251.4051048485, 10.4672859596], sigma=25.5919070365),
}


@pytest.fixture(scope="module")
def sleepstudy():
    return pd.read_csv(os.path.join(DATA, "sleepstudy.csv"))


@pytest.mark.parametrize("key", list(LME4))
def test_sleepstudy_matches_lme4(sleepstudy, key):
    ref = LME4[key]
    formula = key.removeprefix("ML: ")
    res = corvane.lmm(formula, sleepstudy, reml=ref["reml"])
    assert res.converged and res.status == "interior" and res.boundary == []
    # corvane's optimum is never worse than lme4's, and the same to 1e-9.
    assert res.criterion <= ref["crit"] + 1e-9 * ref["crit"]
    assert res.criterion == pytest.approx(ref["crit"], rel=1e-9)
    np.testing.assert_allclose(res.theta, ref["theta"], rtol=5e-5, atol=2e-6)
    np.testing.assert_allclose(res.beta, ref["beta"], rtol=1e-7)
    # lme4 stops a little short of the ML optimum (its criterion is 1.5e-11
    # higher), which moves sigma in the sixth digit.
    assert res.sigma == pytest.approx(ref["sigma"], rel=1e-6 if ref["reml"] else 1e-5)


def test_the_q3_model_goes_below_lme4(sleepstudy):
    res = corvane.lmm("Reaction ~ Days + I(Days^2) + (Days + I(Days^2) | Subject)", sleepstudy)
    assert res.converged
    assert 1729.2769824371 - res.criterion == pytest.approx(5.86e-3, abs=5e-5)
    # I(Days^2) is a power (R's meaning), not XOR: lme4's fixed effects.
    np.testing.assert_allclose(res.beta, [255.4493727778, 7.4340850126, 0.3370223274], rtol=1e-6)


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
    cols = {"1": np.ones(len(df)), "x1": df["x1"].to_numpy()}
    y = df.iloc[:, 0].to_numpy().copy()
    X = np.column_stack([np.ones(len(df)), df["x1"], df["x2"]])
    Z = np.ascontiguousarray(np.column_stack([cols[c] for c in zcols]), dtype=float)
    codes = df["g"].to_numpy().astype(np.int64)
    return y, X, Z, codes, int(codes.max()) + 1


CASES = {
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
    """statsmodels' best estimate over two of its optimisers (each alone stalls
    on one of these problems), by its own likelihood."""
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
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", corvane.SingularFitWarning)
        res = corvane.lmm(formula, df, reml=reml)
    assert res.converged
    q = Z.shape[1]
    # The core fitted directly on the plain design reaches the same optimum.
    core = LmmCore(y, X, Z, codes, m)
    direct = core.fit_newton(reml=reml)
    assert res.criterion == pytest.approx(direct["deviance"], rel=1e-11)
    assert core.deviance(res.theta.tolist(), reml=reml) == pytest.approx(direct["deviance"], rel=1e-11)
    np.testing.assert_allclose(res.beta, direct["beta"], rtol=1e-7, atol=1e-9)
    np.testing.assert_allclose(res.cov_re, direct["cov_re"], rtol=1e-5, atol=1e-9)
    assert res.sigma == pytest.approx(direct["sigma"], rel=1e-7)

    # statsmodels: corvane's criterion at its estimate is no better than corvane's own.
    f = statsmodels_best(y, X, Z, codes, reml)
    cov_sm = np.atleast_2d(np.asarray(f.cov_re))
    assert core.deviance(theta_of(cov_sm / f.scale), reml=reml) >= res.criterion - 1e-9 * res.criterion
    assert rel(f.fe_params, res.beta) < 2e-4
    assert rel(f.scale, res.sigma2) < 2e-4

    assert res.cov_re.shape == (q, q) and res.n_obs == len(df) and res.n_dropped == 0
    if truth is not None:
        assert np.all(np.abs(res.beta - truth) < 4 * res.std_errors)
        assert 0.8 < res.sigma < 1.2


def test_information_criteria_and_summary():
    formula, df, (y, X, Z, codes, m), _ = problem("example")
    res = corvane.lmm(formula, df)
    k = 2 + 3 + 1
    assert res.n_params == k
    assert res.loglik == -res.criterion / 2
    assert res.aic == pytest.approx(res.criterion + 2 * k, rel=1e-15)
    assert res.bic == pytest.approx(res.criterion + k * math.log(180), rel=1e-15)
    np.testing.assert_allclose(res.std_errors, np.sqrt(np.diag(res.cov_beta)), rtol=1e-12)
    sd = np.sqrt(np.diag(res.cov_re))
    assert res.re_corr[0, 1] == pytest.approx(res.cov_re[0, 1] / (sd[0] * sd[1]), rel=1e-12)
    text = res.summary()
    assert isinstance(text, str) and repr(text) == text
    for part in ["REML criterion at convergence", "Groups", "Name", "Variance", "Std.Dev.", "Corr",
                 "Residual", "Number of obs: 180, groups:  Subject, 18", "Estimate", "Std. Error",
                 "t value", "(Intercept)", "Days", "smallest free Hessian eigenvalue"]:
        assert part in text
    # Starts on the user's parametrisation reach the same optimum.
    again = corvane.lmm(formula, df, starts=[[0.5, 0.1, 0.3], list(res.theta)])
    assert again.criterion == pytest.approx(res.criterion, rel=1e-12)


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
    ref = LinearMixedModel(y, X, Z, codes)
    if interface == "formula":
        res = corvane.lmm("y ~ x1 + x2 + (x1 | g)", df.assign(g=labels))
    else:
        res = LinearMixedModel(y, X, Z, pd.Series(labels) if kind == "categorical" else labels).fit()
    assert res.n_groups == 12 and len(res.random_effects) == 12
    assert res.criterion == pytest.approx(ref.fit().criterion, rel=1e-10)
    at = ref.evaluate(res.theta)
    label_of = dict(zip(codes.tolist(), pd.Series(labels).tolist()))
    for code in range(12):
        np.testing.assert_allclose(res.random_effects[label_of[code]], at.random_effects[code],
                                   rtol=1e-8, atol=1e-10)
        np.testing.assert_allclose(res.conditional_covariances[label_of[code]],
                                   at.conditional_covariances[code], rtol=1e-8)
    np.testing.assert_allclose(np.asarray(res.predict()), np.asarray(at.predict()), rtol=1e-9)


def test_missing_values_dropped_and_counted():
    df = generated(1.0, 0.0, seed=3, m=15, n=150)
    df = df.assign(w=np.exp(np.random.default_rng(0).normal(size=150)), unused=1.0)
    df["g"] = df["g"].map(lambda k: f"G{k}").astype(object)
    df.loc[[2, 40], "y"] = np.nan
    df.loc[5, "x1"] = np.nan
    df.loc[9, "g"] = None
    df.loc[60, "w"] = -1.0  # log(-1) = NaN: missing too
    df.loc[[1, 2, 3], "unused"] = np.nan  # not in the formula: rows kept
    formula = "y ~ x1 + x2 + np.log(w) + (1 | g)"
    with np.errstate(invalid="ignore"):
        res = corvane.lmm(formula, df)
    clean = df.drop(index=[2, 40, 5, 9, 60])
    ref = corvane.lmm(formula, clean)
    assert (res.n_dropped, res.n_obs, ref.n_dropped) == (5, 145, 0)
    np.testing.assert_allclose(res.theta, ref.theta, rtol=1e-12)
    np.testing.assert_allclose(res.beta, ref.beta, rtol=1e-12)
    assert "(5 observations deleted due to missingness)" in res.summary()
    # Fitted values and residuals on the data's index, NaN for the dropped rows.
    fitted = res.fitted_values
    assert list(fitted.index) == list(df.index) and fitted.isna().sum() == 5
    assert np.isnan(fitted[[2, 40, 5, 9, 60]]).all()
    np.testing.assert_allclose(res.residuals.dropna(), clean["y"] - fitted.dropna(), rtol=1e-12)


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
    np.testing.assert_allclose(arr.predict((Xn, Xn, new["Subject"].to_numpy())), expect, rtol=1e-8)
    np.testing.assert_allclose(arr.predict(Xn, include_random=False), Xn @ arr.beta, rtol=1e-13)


@pytest.mark.parametrize("formula, match", [
    ("y ~ x1 + x2", "has no random-effects term"),
    ("y ~ x1 + (1 | g) + (1 | h)", "has random-effects terms of 2 grouping factors"),
    ("y ~ x1 + (1 | g/h)", "nested grouping 'g/h'"),
    ("y ~ x1 + (1 | g:h)", "interaction grouping 'g:h'"),
    ("y ~ x1 + (1 ||| g)", "malformed random-effects term"),
    ("y ~ x1 + x2 | g", "'|' may appear only"),
])
def test_unsupported_formulas(formula, match):
    df = generated(1.0, 0.0, m=5, n=40).assign(h=1)
    with pytest.raises(ValueError, match=match + ".*of one grouping factor"):
        corvane.lmm(formula, df)


@pytest.mark.parametrize("formula, match", [
    ("y ~ x1 + zz + (1 | g)", "unknown column 'zz'"),
    ("y ~ x1 + (1 | gg)", "unknown column 'gg'"),
    ("y ~ x1 ** + (1 | g)", "bad formula"),
    ("y ~ x1 + (1 | g", "unbalanced"),
    ("y ~ 0 + (1 | g)", "X has no columns"),
])
def test_formula_mistakes(formula, match):
    with pytest.raises(ValueError, match=match.replace("(", r"\(").replace(")", r"\)").replace("*", r"\*")):
        corvane.lmm(formula, generated(1.0, 0.0, m=5, n=40))


@pytest.mark.parametrize("bad, match", [
    (dict(y=np.zeros(5)), "X has 40 rows but y has 5"),
    (dict(groups=np.r_[np.nan, np.zeros(39)]), "groups has a missing label at row 0"),
])
def test_array_model_checks_and_names(bad, match):
    df = generated(1.0, 0.0, m=5, n=40)
    y, X, Z, codes, _ = dense(df, ["1"])
    args = dict(y=df["y"], X=df[["x1", "x2"]].assign(c=1.0), Z=Z, groups=df["g"]) | bad
    with pytest.raises(ValueError, match=match):
        LinearMixedModel(args["y"], args["X"], args["Z"], args["groups"])
    res = LinearMixedModel(df["y"], df[["x1", "x2"]].assign(c=1.0), Z, df["g"]).fit()
    assert (res.fe_names, res.re_names, res.response_name, res.group_name) == (
        ["x1", "x2", "c"], ["z0"], "y", "g")


def test_to_dict_is_json():
    res = corvane.lmm("y ~ x1 + x2 + (x1 | g)", generated(1.0, 0.5, seed=2, m=10, n=100))
    d = json.loads(json.dumps(res.to_dict(), allow_nan=False))
    assert d["fixed_effects"]["x1"]["estimate"] == res.beta[1]
    assert d["theta"] == res.theta.tolist() and d["criterion"] == res.criterion
    assert d["groups"] == list(range(10))
    assert d["random_effects"][3] == res.random_effects[3].tolist()
    assert d["conditional_covariances"][3] == res.conditional_covariances[3].tolist()
    assert d["certificate"]["converged"] is True


def test_import_is_light_and_names_the_extra():
    code = (
        "import sys\n"
        "import corvane\n"
        "assert 'pandas' not in sys.modules and 'formulaic' not in sys.modules\n"
        "sys.modules['formulaic'] = None\n"
        "try:\n"
        "    corvane.lmm('y ~ np.log(x) + (1 | g)', {'y': [1.0, 2, 3], 'x': [1.0, 2, 3], 'g': [1, 1, 2]})\n"
        "except ImportError as exc:\n"
        "    print(exc)\n"
        "sys.modules['pandas'] = None\n"
        "try:\n"
        "    corvane.lmm('y ~ x + (1 | g)', {'y': [1.0]})\n"
        "except ImportError as exc:\n"
        "    print(exc)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.count("pip install corvane[formula]") == 2


@pytest.mark.filterwarnings("ignore::corvane.SingularFitWarning")
def test_direct_and_formulaic_paths_agree():
    """Plain columns are built with NumPy; the same terms through formulaic
    (as written with C() and a no-op transform) give the same columns."""
    rng = np.random.default_rng(3)
    n = 200
    df = pd.DataFrame({"y": rng.normal(size=n), "x": rng.normal(size=n), "f": rng.choice(list("cab"), n),
                       "h": pd.Categorical(rng.choice(["u", "v"], n), categories=["v", "u"]),
                       "b": rng.random(n) < 0.5, "g": rng.integers(0, 20, n)})
    a = corvane.lmm("y ~ x + f + h + b + (x | g)", df)
    b = corvane.lmm("y ~ I(x + 0) + C(f) + C(h) + I(b * 1) + (I(x + 0) | g)", df)
    assert a.fe_names == ["(Intercept)", "x", "f[T.b]", "f[T.c]", "h[T.u]", "b"]
    assert a.criterion == pytest.approx(b.criterion, rel=1e-12)
    np.testing.assert_allclose(a.beta, b.beta, rtol=1e-9)
