"""Profile intervals at the edges of the parameter space: an sd whose interval
reaches 0 (estimated inside or at 0), a correlation estimated at +1, and the
ends a profile cannot close, which are the parameter's bounds with a
ProfileWarning. The truths are a dense profile of the criterion (computed in
R, tests/r/profile_edges.R, for one-sd models; here with NumPy for two
random effects) and lme4's intervals (tests/data/profile_edges.json) where
its spline interpolation is not in doubt."""

import functools
import json
import math
import os
import warnings

import numpy as np
import pandas as pd
import pytest
from scipy import stats
from scipy.optimize import minimize

import corvane
import corvane.inference.profile.intervals

pytestmark = [pytest.mark.reference]

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")
with open(os.path.join(DATA, "profile_edges.json")) as f:
    REFERENCE = json.load(f)
Z2 = stats.norm.ppf(0.975) ** 2


def frame(name):
    if name == "OrthodontFemale":
        df = pd.read_csv(os.path.join(DATA, "Orthodont.csv"))
        return df[df["Sex"] == "Female"].drop(columns="Sex").reset_index(drop=True)
    df = pd.read_csv(os.path.join(DATA, f"{name}.csv"))
    for col in ("Subject", "Plant", "Batch", "g"):
        if col in df:
            df[col] = df[col].astype(str)
    return df


@functools.lru_cache(maxsize=None)
def fit(data, formula, reml):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", corvane.SingularFitWarning)
        return corvane.lmm(formula, frame(data), reml=reml)


@functools.lru_cache(maxsize=None)
def profile(data, formula, reml):
    """The profile intervals and the warnings they raised."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        ci = fit(data, formula, reml).confint(method="profile")
    return ci, [w for w in caught if issubclass(w.category, corvane.ProfileWarning)]


def label(entry):
    kind = "dense" if entry["dense"] else "lme4"
    return f"{entry['data']}-{'REML' if entry['reml'] else 'ML'}-{kind}"


ONE_SD = [e for e in REFERENCE if e["dense"]]
LME4_ONE_SD = [e for e in REFERENCE if not e["dense"] and len(e["theta"]) == 1]
TWO = sorted({(e["data"], e["formula"]) for e in REFERENCE if len(e.get("theta", [])) == 3})


@pytest.mark.parametrize("entry", ONE_SD, ids=label)
def test_sd_interval_reaching_zero_matches_the_dense_profile(entry):
    """[0, upper], the 0 named by a ProfileWarning, on the fit's criterion."""
    ci, caught = profile(entry["data"], entry["formula"], entry["reml"])
    lo, hi = ci.iloc[0]
    assert lo == 0.0
    assert hi == pytest.approx(entry["upper"][0], rel=1e-5)
    assert len(caught) == 1
    assert f"{ci.index[0]}: lower end 0" in str(caught[0].message)


@pytest.mark.parametrize("entry", LME4_ONE_SD, ids=label)
def test_other_intervals_of_one_sd_models_match_lme4(entry):
    ci, _ = profile(entry["data"], entry["formula"], False)
    assert len(ci) == len(entry["names"])
    for k in range(1, len(ci)):  # the sd (row 0) is checked against the dense profile
        for col, ref in ((0, entry["lower"][k]), (1, entry["upper"][k])):
            if ref is None:
                continue  # lme4's profile of sigma fails at a singular fit
            assert ci.iloc[k, col] == pytest.approx(ref, rel=1e-3), (ci.index[k], col)


# ---- two random effects: a dense profile with NumPy -------------------------------------

class DenseTwo:
    """The criterion of a model with two random effects per group on the
    user's scale, from V = Z G Z' + sigma^2 I (independent of the core), and
    its profiles by Nelder-Mead from several starts."""

    def __init__(self, result):
        model = result.model
        self.y, self.X, self.Z = np.asarray(model.y, float), np.asarray(model.X, float), np.asarray(model.Z, float)
        self.blocks = [np.flatnonzero(model.codes == c) for c in np.unique(model.codes)]
        self.reml = result.reml
        self.start = np.array([result.re_std[0], result.re_std[1], result.re_corr[1, 0], result.sigma])

    def criterion(self, sd0, sd1, cor, sigma):
        g = np.array([[sd0 * sd0, cor * sd0 * sd1], [cor * sd0 * sd1, sd1 * sd1]])
        n, p = self.X.shape
        v = sigma * sigma * np.eye(n)
        for idx in self.blocks:
            v[np.ix_(idx, idx)] += self.Z[idx] @ g @ self.Z[idx].T
        c = np.linalg.cholesky(v)
        xs, ys = np.linalg.solve(c, self.X), np.linalg.solve(c, self.y)
        xtx = xs.T @ xs
        r = ys - xs @ np.linalg.solve(xtx, xs.T @ ys)
        out = 2.0 * np.sum(np.log(np.diag(c))) + r @ r + (n - p if self.reml else n) * math.log(2 * math.pi)
        return out + (np.linalg.slogdet(xtx)[1] if self.reml else 0.0)

    def profile(self, k, value):
        """min over the others of the criterion with parameter k (0: sd0,
        1: cor, 2: sd1, 3: sigma, theta's order then sigma) at value; the
        others enter as logs and atanh, k = None leaves all free."""
        order = [0, 2, 1, 3]  # (sd0, cor, sd1, sigma) -> (sd0, sd1, cor, sigma)
        free = [j for j in range(4) if k is None or j != order[k]]

        def full(x):
            par = self.start.copy()
            for j, xj in zip(free, x):
                par[j] = math.tanh(xj) if j == 2 else math.exp(xj)
            if k is not None:
                par[order[k]] = value
            return par

        def fun(x):
            try:
                return self.criterion(*full(x))
            except np.linalg.LinAlgError:
                return math.inf

        s = self.start.copy()
        s[2] = min(max(s[2], -0.99), 0.99) if math.isfinite(s[2]) else 0.0
        s[[0, 1]] = np.maximum(s[[0, 1]], 0.05 * s[3])
        x0 = np.array([math.atanh(s[j]) if j == 2 else math.log(s[j]) for j in free])
        best = math.inf
        for shift in (0.0, 0.7, -0.7):
            x = x0 + shift * (np.arange(len(x0)) % 2 - 0.5)
            for _ in range(3):
                res = minimize(fun, x, method="Nelder-Mead",
                               options={"xatol": 1e-9, "fatol": 1e-11, "maxfev": 8000})
                x = res.x
            best = min(best, res.fun)
        return best


@functools.lru_cache(maxsize=None)
def dense_two(data, formula, reml):
    d = DenseTwo(fit(data, formula, reml))
    return d, d.profile(None, None)


@pytest.mark.parametrize("reml", [False, True], ids=["ML", "REML"])
@pytest.mark.parametrize("data,formula", TWO, ids=[d for d, _ in TWO])
@pytest.mark.parametrize("k", range(4), ids=["sd0", "cor", "sd1", "sigma"])
def test_two_effect_ends_raise_the_dense_criterion_by_the_quantile(data, formula, reml, k):
    """Each end raises the dense profile by z^2; an end at a bound (0, +-1)
    does not reach z^2 there, and the ProfileWarning names it. lme4 misses
    several of these (correlated_design ML: cor lower -0.258 raises the
    deviance by 3.77, sd(x) upper 0.60; OrthodontFemale ML: cor lower -0.935
    raises it by 4.26)."""
    ci, caught = profile(data, formula, reml)
    dense, fmin = dense_two(data, formula, reml)
    name = ci.index[k]
    message = " ".join(str(w.message) for w in caught)
    for end, value in zip(("lower", "upper"), ci.iloc[k]):
        rise = dense.profile(k, value) - fmin
        at_bound = value == 0.0 or (k == 1 and abs(value) == 1.0)
        if at_bound:
            assert rise < Z2, (name, end, value)
            assert f"{name}: {end} end {value:g}" in message
        else:
            assert rise == pytest.approx(Z2, rel=2e-4), (name, end, value)
            assert f"{name}: {end} end" not in message


def test_correlation_at_one_is_profiled_below_it():
    r = fit("correlated_design", "y ~ x + (x | g)", False)
    assert r.re_corr[1, 0] == pytest.approx(1.0)
    ci, _ = profile("correlated_design", "y ~ x + (x | g)", False)
    lo, hi = ci.loc["cor((Intercept), x | g)"]
    assert hi == 1.0 and -1.0 < lo < 0.0


# ---- fixed effects without a constant column ---------------------------------------------

def _cell_frame(data):
    df = pd.read_csv(os.path.join(DATA, f"{data}.csv"))
    if data == "Machines":
        df["Worker"] = df["Worker"].astype(str)
    else:
        df["Subject"] = df["Subject"].astype(str)
        df["f"] = (df["Days"] % 3).map({0: "a", 1: "b", 2: "c"})
    return df


@pytest.mark.parametrize("source", ["frame", "arrow"])
@pytest.mark.parametrize("data, cells, intercept, cell", [
    ("Machines", "score ~ 0 + Machine + (1 | Worker)", "score ~ Machine + (1 | Worker)", "Machine[A]"),
    ("sleepstudy", "Reaction ~ 0 + f + Days + (Days | Subject)", "Reaction ~ f + Days + (Days | Subject)", "f[a]"),
])
def test_fixed_effect_profile_of_a_cell_mean_is_the_intercepts(source, data, cells, intercept, cell):
    """With a factor's every level and no intercept (the response shifted
    along a combination of the columns) the baseline level's interval is the
    intercept's in treatment coding: the same effect of the same model."""
    df = _cell_frame(data)
    if source == "arrow":
        pa = pytest.importorskip("pyarrow")
        df = pa.Table.from_pandas(df, preserve_index=False)
    r_cells, r_int = corvane.lmm(cells, df), corvane.lmm(intercept, df)
    lo, hi = r_cells.confint(method="profile", which=[cell]).loc[cell]
    expected = r_int.confint(method="profile", which=["(Intercept)"]).loc["(Intercept)"].to_numpy()
    np.testing.assert_allclose([lo, hi], expected, rtol=1e-9)
    ml = corvane.lmm(cells, df, reml=False)
    assert lo < ml.beta[ml.fe_names.index(cell)] < hi


# ---- the root search and the arguments ---------------------------------------------------

def test_crossing_never_raises_on_a_profile_that_fails_at_its_start():
    """The bracket's ends are the values already seen: a profile that cannot
    be re-evaluated at the estimate still gives the crossing."""
    zeta = lambda v: math.nan if v == 1.0 else v - 1.0  # noqa: E731
    assert corvane.inference.profile.intervals.crossing(zeta, 1.0, 0.5, [2.0, 3.0]) == pytest.approx(1.5)
    assert corvane.inference.profile.intervals.crossing(lambda v: math.nan, 1.0, 0.5, [2.0]) is None


@pytest.mark.parametrize("method", ["wald", "profile"])
def test_which_is_checked_for_every_method(method):
    r = fit("small_design", "y ~ x + (1 | g)", True)
    with pytest.raises(ValueError, match=r"which: unknown parameters \['sd\(x\)'\]"):
        r.confint(method=method, which=["sd(x)"])
    assert r.confint(method=method, which="sigma").index.tolist() == ["sigma"]


def test_profiles_hold_blas_to_one_thread(monkeypatch):
    """A profile's many tiny matrix calls run with the BLAS on one thread
    (its threads would spin between calls and slow a loaded machine), and
    the setting is restored afterwards."""
    threadpoolctl = pytest.importorskip("threadpoolctl")
    from corvane.inference.profile import intervals as profile

    def blas_threads():
        return [p["num_threads"] for p in threadpoolctl.threadpool_info() if p["user_api"] == "blas"]

    before = blas_threads()
    seen = []
    inner = profile.profile_intervals

    def spy(*args, **kwargs):
        seen.append(blas_threads())
        return inner(*args, **kwargs)

    monkeypatch.setattr(profile, "profile_intervals", spy)
    r = corvane.lmm("Reaction ~ Days + (1 | Subject)", pd.read_csv(os.path.join(DATA, "sleepstudy.csv")))
    r.confint(method="profile", which=["sigma"])
    assert seen and all(n == 1 for n in seen[0])
    assert blas_threads() == before
