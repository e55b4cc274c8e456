"""Standard errors and intervals of predictions against dense computations:
the full n x n marginal covariance V = Z G Z' + sigma^2 W^-1 and the full
mixed-model equations, built and inverted with NumPy at the fit's variance
parameters, for rows of known groups, new groups and population-level
predictions; weights, a singular fit, data read in batches, and the
prediction interval's variance in closed form."""

import warnings
from statistics import NormalDist

import numpy as np
import pandas as pd
import pytest

import corvane

pytestmark = [pytest.mark.reference]

FORMULA = "y ~ x + f + (x | g)"
TOL = 1e-8


def simulate(seed=3, m=7, per=9, slope_sd=0.6, x_loc=40.0, weights=False):
    rng = np.random.default_rng(seed)
    g = np.repeat(np.arange(m), per)[: m * per - 3]  # unbalanced: the last group is short
    n = len(g)
    x = x_loc + 3.0 * rng.standard_normal(n)
    f = rng.choice(["a", "b", "c"], n)
    b = rng.standard_normal((m, 2)) * [2.0, slope_sd]
    w = rng.uniform(0.3, 3.0, n) if weights else np.ones(n)
    y = 5 + 0.7 * x + 1.5 * (f == "b") + b[g, 0] + b[g, 1] * (x - x_loc) + rng.standard_normal(n) / np.sqrt(w)
    return pd.DataFrame({"y": y, "x": x, "f": f, "g": [f"s{i}" for i in g], "w": w})


def design(frame):
    """X (intercept, x, f == b, f == c) and Z (intercept, x) of a frame, built here."""
    X = np.column_stack([np.ones(len(frame)), frame["x"], frame["f"] == "b", frame["f"] == "c"]).astype(float)
    Z = np.column_stack([np.ones(len(frame)), frame["x"]]).astype(float)
    return X, Z


def new_rows(frame):
    """Rows of known groups (inside and beyond the data's range), of new groups."""
    return pd.DataFrame({"x": [38.0, 45.5, 30.0, 41.0, 52.0, 39.0],
                         "f": ["a", "b", "c", "b", "a", "c"],
                         "g": ["s0", "s3", "s6", "new1", "new2", "s6"]},
                        index=[10, 11, 12, 13, 14, 15])


class Dense:
    """The dense truth at given variance parameters (sigma^2, G = Sigma_b)."""

    def __init__(self, X, Z, codes, m, sigma2, G, w=None):
        n, q = Z.shape
        self.q, self.m, self.sigma2, self.G = q, m, sigma2, G
        Zf = np.zeros((n, m * q))
        for i, c in enumerate(codes):
            Zf[i, c * q:(c + 1) * q] = Z[i]
        w = np.ones(n) if w is None else np.asarray(w, float)
        Gf = np.kron(np.eye(m), G)
        Winv = np.diag(1.0 / w)
        V = Zf @ Gf @ Zf.T + sigma2 * Winv
        Vi = np.linalg.inv(V)
        self.cov_beta = np.linalg.inv(X.T @ Vi @ X)
        P = Vi - Vi @ X @ self.cov_beta @ X.T @ Vi
        self.X, self.Zf, self.Gf, self.Vi, self.P, self.Winv, self.w = X, Zf, Gf, Vi, P, Winv, w

    def _l(self, z, g):
        l = np.zeros(self.m * self.q)
        l[g * self.q:(g + 1) * self.q] = z
        return l

    def pev(self, x, z, g):
        """Var(x'beta_hat + z'b_hat_g - x'beta - z'b_g) from the linear map
        a'y of the prediction: its error (a'Z - l')b + a'e."""
        if g < 0:
            return float(x @ self.cov_beta @ x)
        l = self._l(z, g)
        a = self.Vi @ self.X @ self.cov_beta @ x + self.P @ self.Zf @ self.Gf @ l
        err = self.Zf.T @ a - l
        return float(err @ self.Gf @ err + self.sigma2 * a @ self.Winv @ a)

    def henderson(self, x, z, g):
        """The same from sigma^2 times the inverse of the mixed-model equations."""
        W = np.diag(self.w)
        X, Zf = self.X, self.Zf
        C = np.block([[X.T @ W @ X, X.T @ W @ Zf], [Zf.T @ W @ X, Zf.T @ W @ Zf + self.sigma2 * np.linalg.inv(self.Gf)]])
        k = np.concatenate([x, self._l(z, g)])
        return float(self.sigma2 * k @ np.linalg.solve(C, k))


def truth_for(r, frame, new, weights=None):
    X, Z = design(frame)
    codes = np.array([r.group_labels.index(v) for v in frame["g"]])
    dense = Dense(X, Z, codes, len(r.group_labels), r.sigma2, r.cov_re, weights)
    Xn, Zn = design(new)
    rows = [r.group_labels.index(v) if v in r.group_labels else -1 for v in new["g"]]
    return dense, Xn, Zn, rows


def compare(got, want):
    got, want = np.asarray(got, float), np.asarray(want, float)
    np.testing.assert_allclose(got, want, rtol=TOL, atol=0)


@pytest.fixture(scope="module")
def frame():
    return simulate()


@pytest.fixture(scope="module")
def fitted(frame):
    return corvane.lmm(FORMULA, frame)


@pytest.mark.parametrize("include_random", [True, False])
def test_se_against_the_dense_marginal_covariance(fitted, frame, include_random):
    new = new_rows(frame)
    dense, Xn, Zn, rows = truth_for(fitted, frame, new)
    np.testing.assert_allclose(fitted.cov_beta, dense.cov_beta, rtol=1e-9)  # the truth's own check
    out = fitted.predict(new, include_random=include_random, se=True)
    assert list(out.columns) == ["fit", "se"] and out.index.equals(new.index)
    want = [np.sqrt(dense.pev(x, z, g if include_random else -1)) for x, z, g in zip(Xn, Zn, rows)]
    compare(out["se"], want)
    np.testing.assert_array_equal(out["fit"], fitted.predict(new, include_random=include_random))
    if include_random:
        # Henderson's equations give the same, and the joint variance exceeds
        # Var(b_i | y) (lme4's condVar) plus nothing: it is not condVar alone.
        compare(out["se"], [np.sqrt(dense.henderson(x, z, g)) if g >= 0 else np.sqrt(dense.pev(x, z, g))
                            for x, z, g in zip(Xn, Zn, rows)])
        cond = fitted.conditional_covariances
        for k, (z, g) in enumerate(zip(Zn, rows)):
            if g >= 0:
                assert out["se"].iloc[k] ** 2 > z @ cond[fitted.group_labels[g]] @ z * (1 + 1e-6)


def _designs(frame, kind):
    X, Z = design(frame)
    if kind == "cell means":  # no intercept: the factor's columns sum to one
        X = np.column_stack([frame["f"] == "a", frame["f"] == "b", frame["f"] == "c", frame["x"]]).astype(float)
    return X, Z


@pytest.mark.parametrize("formula, kind", [
    ("y ~ 0 + f + x + (x | g)", "cell means"),
    ("y ~ x + x2 + f + (x | g)", "aliased"),  # x2 = 2 x is dropped
    ("y ~ f + x + (1 + x | g)", "reordered"),
])
def test_other_fixed_designs(frame, formula, kind):
    fr = frame.assign(x2=2.0 * frame["x"])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", corvane.RankDeficiencyWarning)
        r = corvane.lmm(formula, fr)
    new = new_rows(frame).assign(x2=lambda d: 2.0 * d["x"])
    X, Z = _designs(fr, kind)
    codes = [r.group_labels.index(v) for v in fr["g"]]
    dense = Dense(X, Z, codes, len(r.group_labels), r.sigma2, r.cov_re)
    Xn, Zn = _designs(new, kind)
    rows = [r.group_labels.index(v) if v in r.group_labels else -1 for v in new["g"]]
    for include_random in (True, False):
        out = r.predict(new, include_random=include_random, se=True)
        compare(out["se"], [np.sqrt(dense.pev(x, z, g if include_random else -1)) for x, z, g in zip(Xn, Zn, rows)])


@pytest.mark.parametrize("interval", ["confidence", "prediction"])
@pytest.mark.parametrize("level", [0.5, 0.95, 0.999])
def test_interval_variance_in_closed_form(fitted, frame, interval, level):
    new = new_rows(frame)
    _, _, Zn, rows = truth_for(fitted, frame, new)
    out = fitted.predict(new, interval=interval, level=level)
    assert list(out.columns) == ["fit", "se", "lower", "upper"]
    zq = NormalDist().inv_cdf((1 + level) / 2)
    np.testing.assert_allclose(out["upper"] - out["fit"], out["fit"] - out["lower"], rtol=1e-12)
    half2 = ((out["upper"] - out["lower"]) / (2 * zq)) ** 2
    if interval == "prediction":
        # sigma^2 for known groups, z' Sigma_b z + sigma^2 for new ones.
        compare(half2 - out["se"] ** 2, [fitted.sigma2 + (0.0 if g >= 0 else z @ fitted.cov_re @ z)
                                         for z, g in zip(Zn, rows)])
    else:
        compare(half2, out["se"] ** 2)
    # Without the random effects every row is a new group's observation.
    pop = fitted.predict(new, include_random=False, interval=interval, level=level)
    half2 = ((pop["upper"] - pop["lower"]) / (2 * zq)) ** 2
    if interval == "prediction":
        compare(half2 - pop["se"] ** 2, [fitted.sigma2 + z @ fitted.cov_re @ z for z in Zn])
    else:
        compare(half2, pop["se"] ** 2)


def test_weights(frame):
    wf = simulate(seed=8, weights=True)
    r = corvane.lmm(FORMULA, wf, weights="w")
    new = new_rows(wf).assign(w=[0.5, 2.0, 1.0, 4.0, 1.0, 0.25])
    dense, Xn, Zn, rows = truth_for(r, wf, new, wf["w"])
    out = r.predict(new, interval="prediction", weights="w")
    compare(out["se"], [np.sqrt(dense.pev(x, z, g)) for x, z, g in zip(Xn, Zn, rows)])
    zq = NormalDist().inv_cdf(0.975)
    added = [r.sigma2 / w + (0.0 if g >= 0 else z @ r.cov_re @ z) for z, g, w in zip(Zn, rows, new["w"])]
    compare(((out["upper"] - out["lower"]) / (2 * zq)) ** 2 - out["se"] ** 2, added)
    # The same weights as values, or by default from the column the model's
    # weights came from; unit weight when asked for.
    same = r.predict(new, interval="prediction", weights=new["w"].to_numpy())
    np.testing.assert_array_equal(same["upper"], out["upper"])
    np.testing.assert_array_equal(r.predict(new, interval="prediction")["upper"], out["upper"])
    unit = r.predict(new, interval="prediction", weights=1.0)
    added = [r.sigma2 + (0.0 if g >= 0 else z @ r.cov_re @ z) for z, g in zip(Zn, rows)]
    compare(((unit["upper"] - unit["lower"]) / (2 * zq)) ** 2 - unit["se"] ** 2, added)
    # The fitted rows use the model's weights.
    own = r.predict(interval="prediction")
    compare(((own["upper"] - own["lower"]) / (2 * zq)) ** 2 - own["se"] ** 2, r.sigma2 / wf["w"])


def test_singular_fit():
    sf = simulate(seed=1, slope_sd=0.0)
    with pytest.warns(corvane.SingularFitWarning):
        r = corvane.lmm(FORMULA, sf)
    # On the boundary: Sigma_b of rank one (the slope's variance is that of
    # the intercept's multiple).
    assert r.singular and abs(np.linalg.det(r.cov_re)) < 1e-10 * np.prod(r.re_variances)
    new = new_rows(sf)
    dense, Xn, Zn, rows = truth_for(r, sf, new)  # the marginal form needs no inverse of G
    out = r.predict(new, se=True)
    compare(out["se"], [np.sqrt(dense.pev(x, z, g)) for x, z, g in zip(Xn, Zn, rows)])


def test_zero_slope_variance(fitted, frame):
    # theta with a zero slope column: Sigma_b = sigma^2 diag(1.3^2, 0).
    r = fitted.model.evaluate([1.3, 0.0, 0.0])
    assert r.cov_re[1, 1] == 0.0
    new = new_rows(frame)
    dense, Xn, Zn, rows = truth_for(r, frame, new)
    compare(r.predict(new, se=True)["se"], [np.sqrt(dense.pev(x, z, g)) for x, z, g in zip(Xn, Zn, rows)])


def test_arrays_model(fitted, frame):
    X, Z = design(frame)
    model = corvane.LinearMixedModel(frame["y"].to_numpy(), X, Z, frame["g"].to_numpy())
    r = model.fit()
    new = new_rows(frame)
    dense, Xn, Zn, rows = truth_for(r, frame, new)
    out = r.predict((Xn, Zn, new["g"].to_numpy()), interval="prediction")
    compare(out["se"], [np.sqrt(dense.pev(x, z, g)) for x, z, g in zip(Xn, Zn, rows)])
    np.testing.assert_array_equal(out["fit"], r.predict((Xn, Zn, new["g"].to_numpy())))
    pop = r.predict(Xn, include_random=False, se=True)
    compare(pop["se"], [np.sqrt(dense.pev(x, z, -1)) for x, z in zip(Xn, Zn)])
    with_z = r.predict((Xn, Zn), include_random=False, interval="prediction")
    compare(with_z["se"], pop["se"])
    with pytest.raises(ValueError, match="random-effects design"):
        r.predict(Xn, include_random=False, interval="prediction")
    # The formula model agrees (the same fit, another basis of X's columns).
    compare(out["se"], fitted.predict(new, se=True)["se"].to_numpy())


def test_invariant_to_the_covariate_units(fitted, frame):
    # x in other units and location: the same model, the same standard errors.
    scaled = frame.assign(x=frame["x"] * 1000.0 + 5e6)
    r = corvane.lmm(FORMULA, scaled)
    new = new_rows(frame)
    a = fitted.predict(new, interval="prediction")
    b = r.predict(new.assign(x=new["x"] * 1000.0 + 5e6), interval="prediction")
    np.testing.assert_allclose(b.to_numpy(), a.to_numpy(), rtol=1e-6)


def test_rows_and_groups_without_predictions(fitted, frame):
    new = new_rows(frame)
    new.loc[11, "x"] = np.nan
    out = fitted.predict(new, interval="confidence", new_groups="nan")
    known = new["g"].isin(fitted.group_labels).to_numpy() & new["x"].notna().to_numpy()
    assert out[~known].isna().all(axis=None) and out[known].notna().all(axis=None)
    with pytest.raises(ValueError, match="group 'new1' was not in the fitted data"):
        fitted.predict(new, se=True, new_groups="error")
    # The fitted rows: the same as the table of the fitted rows.
    compare(fitted.predict(se=True)["se"], fitted.predict(frame, se=True)["se"])


def test_batched_source_matches_the_in_memory_fit(tmp_path, monkeypatch, fitted, frame):
    pq = pytest.importorskip("pyarrow.parquet")
    pa = pytest.importorskip("pyarrow")
    from corvane.data import sources

    path = tmp_path / "rows.parquet"
    pq.write_table(pa.Table.from_pandas(frame, preserve_index=False), path, row_group_size=20)
    monkeypatch.setattr(sources, "BATCH_ROWS", 16)
    r = corvane.lmm(FORMULA, str(path), progress=False)
    assert not r.model.rows_kept and r.group_labels == fitted.group_labels
    new = new_rows(frame)
    for kw in ({"se": True}, {"interval": "prediction"}, {"include_random": False, "interval": "prediction"}):
        np.testing.assert_allclose(r.predict(new, **kw).to_numpy(), fitted.predict(new, **kw).to_numpy(),
                                   rtol=1e-8)
    with pytest.raises(ValueError, match="does not keep"):
        r.predict(se=True)


@pytest.mark.parametrize("kwargs, error, match", [
    ({"se": True, "level": 0.0}, ValueError, "level must be a number between 0 and 1, got 0.0"),
    ({"interval": "confidence", "level": 1}, ValueError, "level must .* got 1"),
    ({"interval": "confidence", "level": 95}, ValueError, "level must .* got 95"),
    ({"interval": "confidence", "level": "0.9"}, ValueError, "level must .* got '0.9'"),
    ({"interval": "confidence", "level": True}, ValueError, "level must .* got True"),
    ({"interval": "tolerance"}, ValueError, "interval must be .* got 'tolerance'"),
    ({"se": "yes"}, TypeError, "se must be True or False, got 'yes'"),
    ({"se": True, "weights": "w"}, ValueError, "weights are used by prediction intervals only"),
    ({"interval": "prediction", "weights": "ww"}, ValueError, "weights='ww' names no column"),
    ({"interval": "prediction", "weights": [1.0, 2.0]}, ValueError, "weights has 2 values for 6 new rows"),
    ({"interval": "prediction", "weights": [1, 1, -1, 1, 1, 1]}, ValueError, r"weights must be positive and finite: row 2 has -1.0 \(1 such row\)"),
])
def test_errors(fitted, frame, kwargs, error, match):
    with pytest.raises(error, match=match):
        fitted.predict(new_rows(frame).assign(w=1.0), **kwargs)


def test_prediction_intervals_need_the_random_columns(frame):
    r = corvane.lmm("y ~ f + (x | g)", frame)
    assert r.predict(new_rows(frame)[["f"]], include_random=False, se=True)["se"].notna().all()
    with pytest.raises(ValueError, match="lack the column 'x'"):
        r.predict(new_rows(frame)[["f"]], include_random=False, interval="prediction")


@pytest.mark.parametrize("family", ["gaussian", "poisson"])
def test_an_offset_given_as_values_is_never_dropped_from_new_data(family):
    """An offset given as values cannot be rebuilt from new data's columns:
    predictions need it again, and then equal the same model's with the
    offset from a column; an offset from a column is taken from the new
    data (and a second one refused); with se or intervals, or array data,
    the same."""
    rng = np.random.default_rng(4)
    n, m = 200, 20
    df = pd.DataFrame({"x": rng.normal(size=n), "g": np.repeat(np.arange(m), n // m),
                       "t": rng.uniform(10, 1000, size=n)})
    df["log_t"] = np.log(df["t"])
    eta = df["log_t"] - 3.0 + 0.4 * df["x"] + rng.normal(scale=0.3, size=m)[df["g"]]
    df["y"] = rng.poisson(np.exp(eta)) if family == "poisson" else eta + rng.normal(size=n)
    fit = ((lambda **kw: corvane.glmm("y ~ x + (1 | g)", df, "poisson", **kw)) if family == "poisson"
           else (lambda **kw: corvane.lmm("y ~ x + (1 | g)", df, **kw)))
    by_column, by_values = fit(offset="log_t"), fit(offset=df["log_t"].to_numpy())
    new = df.head(7).assign(g=[0, 1, 2, 99, 3, 4, 5])
    want = by_column.predict(new)
    np.testing.assert_allclose(by_values.predict(new, offset=new["log_t"].to_numpy()), want, rtol=1e-10)
    np.testing.assert_allclose(by_values.predict(new, offset="log_t"), want, rtol=1e-10)
    with pytest.raises(ValueError, match="offset given as values"):
        by_values.predict(new)
    with pytest.raises(ValueError, match="from the formula"):
        by_column.predict(new, offset=new["log_t"].to_numpy())
    with pytest.raises(ValueError, match="fitted rows keep"):
        by_values.predict(offset=df["log_t"].to_numpy())
    if family == "gaussian":
        out = by_values.predict(new, interval="confidence", offset=new["log_t"].to_numpy())
        np.testing.assert_allclose(out["fit"], want, rtol=1e-10)
    # array models: the offset of new (X, Z, groups) rows
    X = np.column_stack([np.ones(n), df["x"]])
    Z = np.ones((n, 1))
    if family == "poisson":
        am = corvane.GeneralizedLinearMixedModel(df["y"], X, Z, df["g"], "poisson", offset=df["log_t"]).fit()
    else:
        am = corvane.LinearMixedModel(df["y"], X, Z, df["g"], offset=df["log_t"]).fit()
    new_x = np.column_stack([np.ones(7), new["x"]])
    got = am.predict((new_x, np.ones((7, 1)), new["g"].to_numpy()), offset=new["log_t"].to_numpy())
    np.testing.assert_allclose(got, want, rtol=1e-7)
    with pytest.raises(ValueError, match="offset given as values"):
        am.predict((new_x, np.ones((7, 1)), new["g"].to_numpy()))


def test_weights_given_as_values_are_asked_for_by_prediction_intervals():
    wf = simulate(seed=8, weights=True)
    r = corvane.lmm(FORMULA, wf, weights=wf["w"].to_numpy())
    new = new_rows(wf)
    with pytest.raises(ValueError, match="weights given as values"):
        r.predict(new, interval="prediction")
    by_column = corvane.lmm(FORMULA, wf, weights="w").predict(new.assign(w=2.0), interval="prediction")
    np.testing.assert_allclose(r.predict(new, interval="prediction", weights=2.0)["upper"], by_column["upper"],
                               rtol=1e-10)
