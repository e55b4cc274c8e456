"""The generalized model's core and front end: the exact gradient against
finite differences, quadrature against a brute-force integration, the same
bits on any number of threads and from the fixed-size and general kernels,
invariance to a covariate's units, what the families refuse, separation,
singular fits, predictions, the bootstrap and pickling."""

import os
import pickle
import warnings

import numpy as np
import pandas as pd
import pytest

import corvane
from corvane._corvane import GlmmCore
from corvane.generalized.families import family_of
from reference import lambda_of

pytestmark = [pytest.mark.native]

HERE = os.path.dirname(__file__)
LINKS = [("binomial", "logit"), ("binomial", "probit"), ("binomial", "cloglog"), ("poisson", "log")]


def simulated(family, link, q, m=30, per=12, seed=0, p_extra=1):
    """Rows of y ~ x + (x... | g) with q random effects (columns 1, x, x2)."""
    rng = np.random.default_rng(seed)
    n = m * per
    g = np.repeat(np.arange(m), per)
    x = rng.normal(size=n)
    x2 = rng.normal(size=n)
    X = np.column_stack([np.ones(n), x] + [rng.normal(size=n) for _ in range(p_extra)])
    Z = np.ascontiguousarray(np.column_stack([np.ones(n), x, x2])[:, :q])
    L = np.tril(rng.normal(scale=0.3, size=(q, q))) + np.diag(np.full(q, 0.5))
    b = rng.normal(size=(m, q)) @ L.T
    eta = X @ np.r_[-0.3, 0.6, np.zeros(p_extra)] + np.einsum("nq,nq->n", Z, b[g])
    fam = family_of(family, link)
    w = rng.integers(1, 6, size=n).astype(float) if family == "binomial" else np.ones(n)
    y = fam.simulate(fam.mean(eta), w, rng)
    return y, X, Z, g, w


def core_of(family, link, q, **kw):
    y, X, Z, g, w = simulated(family, link, q, **kw)
    return GlmmCore(y, X, Z, g.astype(np.int64), int(g.max()) + 1, w, np.zeros(len(y)), family, link)


@pytest.mark.parametrize("family,link", LINKS)
@pytest.mark.parametrize("q", [1, 2, 3])
def test_laplace_gradient_matches_differences(family, link, q):
    core = core_of(family, link, q, seed=q)
    nt = q * (q + 1) // 2
    rng = np.random.default_rng(10 + q)
    theta = np.eye(q)[np.tril_indices(q)[::-1]] if False else None
    lam = np.tril(rng.normal(scale=0.2, size=(q, q))) + np.diag(np.full(q, 0.7))
    theta = np.array([lam[i, j] for j in range(q) for i in range(j, q)])
    beta = np.array([-0.2, 0.5, 0.1])
    x0 = np.r_[theta, beta]
    g = core.evaluate(theta.tolist(), beta.tolist(), derivatives=1)["grad"]
    assert len(g) == nt + 3
    for k in range(len(x0)):
        h = 1e-5
        up, down = x0.copy(), x0.copy()
        up[k] += h
        down[k] -= h
        fd = (core.evaluate(up[:nt].tolist(), up[nt:].tolist())["deviance"]
              - core.evaluate(down[:nt].tolist(), down[nt:].tolist())["deviance"]) / (2 * h)
        assert g[k] == pytest.approx(fd, rel=1e-5, abs=1e-5)


@pytest.mark.parametrize("family,link", LINKS)
@pytest.mark.parametrize("q", [1, 2, 3])
def test_laplace_hessian_matches_differences_of_the_gradient(family, link, q):
    """The exact Hessian against central differences of the exact gradient,
    away from the optimum (where every term of it counts)."""
    core = core_of(family, link, q, seed=20 + q)
    nt = q * (q + 1) // 2
    rng = np.random.default_rng(30 + q)
    lam = np.tril(rng.normal(scale=0.3, size=(q, q))) + np.diag(np.full(q, 0.6))
    x0 = np.r_[[lam[i, j] for j in range(q) for i in range(j, q)], -0.1, 0.4, 0.2]
    got = core.evaluate(x0[:nt].tolist(), x0[nt:].tolist(), derivatives=2)
    assert got["hessian_error"] == 0.0

    def grad(x):
        return core.evaluate(x[:nt].tolist(), x[nt:].tolist(), derivatives=1)["grad"]

    h = 1e-5
    fd = np.array([(grad(x0 + h * e) - grad(x0 - h * e)) / (2 * h) for e in np.eye(len(x0))])
    np.testing.assert_allclose(got["hessian"], 0.5 * (fd + fd.T), rtol=0, atol=1e-7 * np.abs(fd).max())
    assert np.array_equal(got["hessian"], got["hessian"].T)


@pytest.mark.parametrize("q,nagq", [(1, 7), (2, 4)])
def test_quadrature_derivatives_match_differences_of_the_deviance(q, nagq):
    """For nagq > 1: the Laplace parts' exact derivatives plus the
    correction's differences, against differences of the deviance itself."""
    core = core_of("binomial", "logit", q, m=12, per=6, seed=4)
    nt = q * (q + 1) // 2
    x0 = np.r_[[0.9, 0.2, 0.5][:nt], -0.2, 0.4, 0.1]

    def dev(x):
        return core.evaluate(x[:nt].tolist(), x[nt:].tolist(), nagq=nagq)["deviance"]

    got = core.evaluate(x0[:nt].tolist(), x0[nt:].tolist(), nagq=nagq, derivatives=2)
    h, k = 1e-4, len(x0)
    e = np.eye(k) * h
    g = np.array([(dev(x0 + e[i]) - dev(x0 - e[i])) / (2 * h) for i in range(k)])
    hess = np.array([[(dev(x0 + e[i] + e[j]) - dev(x0 + e[i] - e[j]) - dev(x0 - e[i] + e[j])
                       + dev(x0 - e[i] - e[j])) / (4 * h * h) for j in range(k)] for i in range(k)])
    np.testing.assert_allclose(got["grad"], g, rtol=1e-6, atol=1e-6)
    np.testing.assert_allclose(got["hessian"], hess, rtol=0, atol=1e-4 * np.abs(hess).max())
    assert 0.0 < got["hessian_error"] < 1e-5


def _brute_force(y, X, Z, g, w, theta, beta, fam, points):
    """log L by a dense product Gauss-Hermite grid per group, centred and
    scaled at a mode found independently (Newton in NumPy)."""
    q = Z.shape[1]
    lam = lambda_of(theta, q)
    from scipy.special import gammaln, roots_hermitenorm

    nodes, weights = roots_hermitenorm(points)
    weights = weights / weights.sum()
    grids = np.meshgrid(*([nodes] * q), indexing="ij")
    V = np.stack([a.ravel() for a in grids], axis=1)
    W = np.prod(np.stack(np.meshgrid(*([weights] * q), indexing="ij"), axis=0).reshape(q, -1), axis=0)
    total = 0.0
    for grp in np.unique(g):
        r = g == grp
        yy, ww, zz = y[r], w[r], Z[r] @ lam
        ef = X[r] @ beta

        def loglik(u):
            eta = (ef + zz @ u) if u.ndim == 1 else ef[:, None] + zz @ u
            if u.ndim == 2:
                yy_, ww_ = yy[:, None], ww[:, None]
            else:
                yy_, ww_ = yy, ww
            mu = fam.mean(eta)
            if fam.name == "binomial":
                s = ww_ * yy_
                return np.sum(s * np.log(mu) + (ww_ - s) * np.log1p(-mu) + gammaln(ww_ + 1) - gammaln(s + 1)
                              - gammaln(ww_ - s + 1), axis=0)
            return np.sum(yy_ * eta - mu - gammaln(yy_ + 1), axis=0)

        u = np.zeros(q)
        for _ in range(60):
            h = 1e-5
            f0 = -loglik(u) + 0.5 * u @ u
            gr = np.array([((-loglik(u + h * e) + 0.5 * (u + h * e) @ (u + h * e))
                            - (-loglik(u - h * e) + 0.5 * (u - h * e) @ (u - h * e))) / (2 * h) for e in np.eye(q)])
            H = np.array([[((-loglik(u + h * a + h * b) + 0.5 * np.sum((u + h * a + h * b) ** 2))
                            - (-loglik(u + h * a - h * b) + 0.5 * np.sum((u + h * a - h * b) ** 2))
                            - (-loglik(u - h * a + h * b) + 0.5 * np.sum((u - h * a + h * b) ** 2))
                            + (-loglik(u - h * a - h * b) + 0.5 * np.sum((u - h * a - h * b) ** 2))) / (4 * h * h)
                           for b in np.eye(q)] for a in np.eye(q)])
            step = np.linalg.solve(H, gr)
            u = u - step
            if np.max(np.abs(step)) < 1e-12:
                break
        R = np.linalg.cholesky(H)
        U = u[None, :] + np.linalg.solve(R.T, V.T).T
        f = -loglik(U.T) + 0.5 * np.sum(U * U, axis=1)
        fmin = f.min()
        total += -fmin + np.log(np.sum(W * np.exp(-(f - fmin) + 0.5 * np.sum(V * V, axis=1)))) \
            - np.sum(np.log(np.diag(R)))
        del f0
    return total


@pytest.mark.parametrize("q,nagq", [(2, 30), (3, 20)])
@pytest.mark.parametrize("family,link", [("binomial", "logit"), ("poisson", "log")])
def test_quadrature_matches_brute_force(family, link, q, nagq):
    y, X, Z, g, w = simulated(family, link, q, m=8, per=10, seed=3)
    fam = family_of(family, link)
    core = GlmmCore(y, X, Z, g.astype(np.int64), 8, w, np.zeros(len(y)), family, link)
    lam = np.tril(np.full((q, q), 0.2)) + np.diag(np.full(q, 0.5))
    theta = [lam[i, j] for j in range(q) for i in range(j, q)]
    beta = [-0.3, 0.6, 0.0]
    got = -0.5 * core.evaluate(theta, beta, nagq=nagq)["deviance"]
    truth = _brute_force(y, X, Z, g, w, theta, np.array(beta), fam, 40 if q == 2 else 28)
    assert got == pytest.approx(truth, abs=1e-6)
    laplace = -0.5 * core.evaluate(theta, beta, nagq=1)["deviance"]
    assert abs(laplace - truth) > 1e-4  # the rule does what the Laplace value cannot


def test_same_bits_on_any_thread_count_and_kernel():
    core = core_of("binomial", "logit", 2, m=4000, per=6, seed=5)
    theta, beta = [0.6, 0.1, 0.4], [-0.3, 0.5, 0.0]
    before = corvane.get_num_threads()
    try:
        out = []
        for threads in (1, 2):
            corvane.set_num_threads(threads)
            e = core.evaluate(theta, beta, derivatives=2)
            a = core.evaluate(theta, beta, nagq=5)
            modes = core.modes(theta, beta)
            fit = core.fit(nagq=1)
            out.append((e["deviance"], e["grad"].tobytes(), e["hessian"].tobytes(), a["deviance"],
                        modes["b"].tobytes(), fit["theta"].tobytes(), fit["beta"].tobytes(), fit["deviance"],
                        fit["hessian"].tobytes()))
        assert out[0] == out[1]
    finally:
        corvane.set_num_threads(before)
    general = core.evaluate(theta, beta, derivatives=2, general_kernels=True)
    fixed = core.evaluate(theta, beta, derivatives=2)
    assert general["deviance"] == fixed["deviance"]
    assert general["grad"].tobytes() == fixed["grad"].tobytes()
    assert general["hessian"].tobytes() == fixed["hessian"].tobytes()
    assert core.modes(theta, beta, general_kernels=True)["condvar"].tobytes() == \
        core.modes(theta, beta)["condvar"].tobytes()


def test_units_of_a_covariate_do_not_change_the_fit():
    y, X, Z, g, w = simulated("poisson", "log", 2, m=60, per=15, seed=7)
    a = corvane.GeneralizedLinearMixedModel(y, X, Z, g, "poisson", weights=w).fit()
    X2, Z2 = X.copy(), Z.copy()
    X2[:, 1] *= 1000.0
    Z2[:, 1] *= 1000.0
    X2[:, 1] += 5000.0  # and a shift
    Z2[:, 1] += 5000.0
    b = corvane.GeneralizedLinearMixedModel(y, X2, Z2, g, "poisson", weights=w).fit()
    assert a.llf == pytest.approx(b.llf, abs=1e-7)
    assert b.beta[1] * 1000.0 == pytest.approx(a.beta[1], rel=1e-6)
    assert b.re_std[1] * 1000.0 == pytest.approx(a.re_std[1], rel=1e-5)


@pytest.mark.parametrize("family,y,w,match", [
    ("binomial", [0.0, 1.0, 1.5], None, r"'y' must lie in \[0, 1\].*4 rows are outside"),
    ("binomial", [0.0, 0.5, 0.3], [1.0, 2.0, 2.0], r"whole number of successes: 4 rows are not"),
    ("poisson", [1.0, -2.0, -1.0], None, r"non-negative count: 8 rows are negative"),
    ("binomial", [0.0, 1.0, 1.0], [1.0, 0.0, 1.0], r"weights must be positive and finite: row 1 has 0.0 \(4 such rows\)"),
])
def test_family_refusals(family, y, w, match):
    yy = np.tile(y, 4)
    n = len(yy)
    X = np.ones((n, 1))
    g = np.arange(n) % 3
    ww = None if w is None else np.tile(w, 4)
    with pytest.raises(ValueError, match=match):
        corvane.GeneralizedLinearMixedModel(yy, X, X, g, family, weights=ww)


@pytest.mark.parametrize("kwargs,error,match", [
    (dict(family="gamma"), ValueError, "family must be one of"),
    (dict(family="poisson", link="logit"), ValueError, "poisson family takes the link 'log'"),
    (dict(nagq=51), ValueError, "nagq must be between 0 and 50"),
    (dict(nagq=True), TypeError, "nagq must be an int"),
])
def test_argument_refusals(kwargs, error, match):
    df = pd.DataFrame({"y": [0, 1, 1, 0, 1, 0, 0, 1], "g": list("aabbccdd"), "x": np.arange(8.0)})
    with pytest.raises(error, match=match):
        corvane.glmm("y ~ x + (1 | g)", df, **kwargs)


def test_quadrature_needs_few_random_effects():
    y, X, Z, g, w = simulated("poisson", "log", 3, m=20, per=10)
    Z4 = np.column_stack([Z, X[:, 2]])
    model = corvane.GeneralizedLinearMixedModel(y, X, Z4, g, "poisson")
    with pytest.raises(ValueError, match="up to 3 random effects"):
        model.fit(nagq=3)
    with pytest.raises(ValueError, match="points per group, more than 100000"):
        corvane.GeneralizedLinearMixedModel(y, X, Z, g, "poisson").fit(nagq=50)


def test_separation_within_groups_has_finite_modes():
    df = pd.read_csv(os.path.join(HERE, "data", "glmm_separation.csv"))
    r = corvane.glmm("y ~ x + (1 | g)", df)
    assert r.converged and np.all(np.isfinite(r.ranef().to_numpy()))
    all_ones = df.groupby("g")["y"].mean() == 1.0
    assert (r.ranef().loc[all_ones[all_ones].index].iloc[:, 0] > 0).all()


@pytest.mark.parametrize("family, link", [("binomial", "logit"), ("binomial", "probit"), ("binomial", "cloglog"),
                                          ("poisson", "log"), ("negative_binomial", "log")])
def test_boundary_rows_found_without_every_rows_mean(family, link):
    """The separation check computes means only for rows whose eta could put
    them at a boundary: the rows it finds are those the mean of every row
    finds, over eta and weights spanning the cut-offs."""
    from corvane.generalized.separation import _AT_BOUNDARY, _unobserved_mass

    rng = np.random.default_rng(7)
    n = 100000
    fam = family_of(family, link)
    eta = rng.uniform(-60.0, 60.0, n)
    w = rng.choice([0.25, 1.0, 3.0, 1e3], n)
    y = (rng.random(n) < 0.5).astype(float) if family == "binomial" else rng.integers(0, 3, n).astype(float)
    with np.errstate(over="ignore", under="ignore"):
        zero, one = y == 0, y == 1
        unobserved = np.where(zero, fam.mean(eta), np.inf)
        if family == "binomial":
            unobserved = np.where(one, np.exp(-np.exp(eta)) if link == "cloglog" else fam.mean(-eta), unobserved)
    expected = w * unobserved <= _AT_BOUNDARY
    assert 1000 < expected.sum() < n / 2
    np.testing.assert_array_equal(_unobserved_mass(fam, eta, y, w) <= _AT_BOUNDARY, expected)


def test_zero_variance_is_a_singular_fit():
    rng = np.random.default_rng(2)
    n, m = 400, 20
    g = np.arange(n) % m
    x = rng.normal(size=n)
    y = (rng.random(n) < 1 / (1 + np.exp(-(0.2 + 0.5 * x)))).astype(float)
    # make the groups' observed rates equal so the variance estimate is 0
    df = pd.DataFrame({"y": y, "x": x, "g": g})
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        r = corvane.glmm("y ~ x + (1 | g)", df)
    if r.theta[0] == 0.0:
        assert r.boundary == ["(Intercept)"] and r.status == "boundary"
        assert any(issubclass(w.category, corvane.SingularFitWarning) for w in caught)
    else:  # not on the boundary: an interior fit with a positive Hessian
        assert r.status == "interior" and r.min_hessian_eigenvalue > 0


def test_predictions_and_residuals():
    df = pd.read_csv(os.path.join(HERE, "data", "cbpp.csv"))
    df["period"] = df["period"].astype(str)
    r = corvane.glmm("cbind(incidence, size - incidence) ~ period + (1 | herd)", df)
    eta = r.predict(type="link")
    mu = r.predict()
    np.testing.assert_allclose(mu, 1 / (1 + np.exp(-eta)), rtol=1e-12)
    np.testing.assert_allclose(r.fittedvalues, mu)
    new = df.head(4).assign(herd=999)
    pop = r.predict(new, include_random=False, type="link")
    np.testing.assert_allclose(r.predict(new, type="link"), pop)  # a new group: the population mean
    with pytest.raises(ValueError, match="not in the fitted data"):
        r.predict(new, new_groups="error")
    assert np.isnan(r.predict(new, new_groups="nan")).all()
    # residuals: deviance residuals square-sum to the conditional deviance
    y = df["incidence"] / df["size"]
    dev = r.family.deviance_residuals(y, mu, df["size"])
    np.testing.assert_allclose(r.resid_deviance, dev)
    np.testing.assert_allclose(r.resid_response, y - mu)


def test_bootstrap_is_seeded_and_thread_independent():
    df = pd.read_csv(os.path.join(HERE, "data", "cbpp.csv"))
    df["period"] = df["period"].astype(str)
    r = corvane.glmm("cbind(incidence, size - incidence) ~ period + (1 | herd)", df)
    before = corvane.get_num_threads()
    try:
        corvane.set_num_threads(1)
        a = r.bootstrap(12, seed=4, progress=False).replicates
        corvane.set_num_threads(2)
        b = r.bootstrap(12, seed=4, progress=False).replicates
    finally:
        corvane.set_num_threads(before)
    pd.testing.assert_frame_equal(a, b, check_exact=True)
    assert a["converged"].all()
    sims = r.simulate(3, seed=1)
    assert sims.shape == (3, len(df)) and np.all((sims >= 0) & (sims <= 1))


def test_pickle_round_trip_and_lrt():
    df = pd.read_csv(os.path.join(HERE, "data", "grouseticks.csv"))
    df["YEAR"] = df["YEAR"].astype(str)
    full = corvane.glmm("TICKS ~ YEAR + HEIGHT_s + (1 | BROOD)", df, "poisson")
    small = corvane.glmm("TICKS ~ HEIGHT_s + (1 | BROOD)", df, "poisson")
    again = pickle.loads(pickle.dumps(full.model)).fit()
    assert again.llf == full.llf
    table = corvane.anova(small, full)
    assert table["Df"].iloc[1] == 2
    assert table["Chisq"].iloc[1] == pytest.approx(2 * (full.llf - small.llf))
    gauss = corvane.lmm("TICKS ~ HEIGHT_s + (1 | BROOD)", df)
    with pytest.raises(ValueError, match="different families"):
        corvane.anova(gauss, full)


def test_outputs_plots_and_pickled_results():
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    df = pd.read_csv(os.path.join(HERE, "data", "grouseticks.csv"))
    df["YEAR"] = df["YEAR"].astype(str)
    r = corvane.glmm("TICKS ~ YEAR + HEIGHT_s + (1 | BROOD)", df, "poisson")
    for fig in (r.plot_ranef(), r.plot_qq(), r.plot_residuals()):
        assert len(fig.axes) >= 1
    d = r.to_dict()
    assert d["family"] == "poisson" and len(d["random_effects"]) == r.n_groups
    back = pickle.loads(pickle.dumps(r))
    assert back.llf == r.llf and back.params.equals(r.params)
    assert list(r.ranef(condvar=True).columns) == ["(Intercept)", "condsd((Intercept))"]
    assert r.varcorr().shape == (1, 2)
    with pytest.warns(UserWarning, match="non-integer"):
        corvane.glmm("I(TICKS + 0.5) ~ HEIGHT_s + (1 | BROOD)", df, "poisson")


def test_every_input_source_gives_the_same_fit(tmp_path):
    pa = pytest.importorskip("pyarrow")
    pq = pytest.importorskip("pyarrow.parquet")
    df = pd.read_csv(os.path.join(HERE, "data", "grouseticks.csv"))
    df["YEAR"] = df["YEAR"].astype(str)
    formula = "TICKS ~ HEIGHT_s * YEAR + (1 | BROOD)"  # a factor x covariate interaction
    base = corvane.glmm(formula, df, "poisson")
    table = pa.Table.from_pandas(df, preserve_index=False)
    pq.write_table(table, tmp_path / "ticks.parquet")
    for source in (table, str(tmp_path / "ticks.parquet"), {c: df[c].to_numpy() for c in df.columns}):
        r = corvane.glmm(formula, source, "poisson")
        assert r.llf == base.llf and np.array_equal(r.beta, base.beta)
    # the same model with its terms in another order
    other = corvane.glmm("TICKS ~ YEAR + HEIGHT_s + YEAR:HEIGHT_s + (1 | BROOD)", df, "poisson")
    assert other.llf == pytest.approx(base.llf, abs=1e-8)


@pytest.mark.parametrize("field,values", [
    ("w", [1.0, -1.0, 2.0, np.nan, 1.0, 1.0]),
    ("y", [0.0, 1.0, np.nan, 1.0, np.inf, 0.0]),
    ("offset", [0.0, 0.0, 0.0, np.inf, np.inf, 0.0]),
    ("X", [1.0, 1.0, np.nan, 1.0, 1.0, np.nan]),
])
def test_the_core_and_the_front_end_say_the_same_of_the_same_rows(field, values):
    """One text per event: the core refuses bad rows with the front end's
    message for them."""
    from corvane._checks import check_finite, check_weights

    n = 6
    rows = dict(y=np.array([0.0, 1.0, 1.0, 0.0, 1.0, 0.0]), x=np.ones((n, 1)), z=np.ones((n, 1)),
                w=np.ones(n), offset=np.zeros(n))
    bad = np.array(values)
    key = {"X": "x"}.get(field, field)
    rows[key] = bad[:, None] if field == "X" else bad
    with pytest.raises(ValueError) as core:
        GlmmCore(rows["y"], rows["x"], rows["z"], np.arange(n, dtype=np.int64) % 2, 2, rows["w"],
                 rows["offset"], "binomial", "logit")
    with pytest.raises(ValueError) as front:
        if field == "w":
            check_weights(bad)
        else:
            check_finite(bad[:, None] if field == "X" else bad, field)
    assert str(core.value) == str(front.value)


@pytest.mark.parametrize("family,link", [("binomial", "logit"), ("poisson", "log")])
def test_missing_weights_and_offset_are_ones_and_zeros(family, link):
    """None for the weights or the offset is the same core, bit for bit, as
    unit weights and zero offsets given."""
    y, X, Z, g, _ = simulated(family, link, 2)
    if family == "binomial":
        y = (y > 0).astype(float)
    n, m = len(y), int(g.max()) + 1
    given = GlmmCore(y, X, Z, g.astype(np.int64), m, np.ones(n), np.zeros(n), family, link)
    for w, off in ((None, None), (np.ones(n), None), (None, np.zeros(n))):
        core = GlmmCore(y, X, Z, g.astype(np.int64), m, w, off, family, link)
        assert core.constant == given.constant and core.saturated_loglik == given.saturated_loglik
        a = core.evaluate([0.8, 0.1, 0.3], [-0.2, 0.5, 0.0], derivatives=1)
        b = given.evaluate([0.8, 0.1, 0.3], [-0.2, 0.5, 0.0], derivatives=1)
        assert a["deviance"] == b["deviance"] and np.array_equal(a["grad"], b["grad"])


def test_the_core_transforms_each_row_as_numpy_does():
    """x_transform and z_transform hold x' A and z' B: the criterion and its
    derivatives agree with a core given the transformed rows (to rounding:
    the products are summed in another order)."""
    y, X, Z, g, w = simulated("binomial", "logit", 2)
    rng = np.random.default_rng(8)
    A = np.array([[1.0, 0.0, 0.0], [-0.25, 0.5, 0.0], [0.125, 0.0, 2.0]]) + 0.01 * rng.normal(size=(3, 3))
    B = np.array([[1.0, 0.0], [-0.5, 0.25]])
    n, m = len(y), int(g.max()) + 1
    direct = GlmmCore(y, X, Z, g.astype(np.int64), m, w, None, "binomial", "logit", x_transform=A, z_transform=B)
    numpy = GlmmCore(y, np.ascontiguousarray(X @ A), np.ascontiguousarray(Z @ B), g.astype(np.int64), m, w, None,
                     "binomial", "logit")
    a = direct.evaluate([0.8, 0.1, 0.3], [-0.2, 0.5, 0.1], derivatives=2)
    b = numpy.evaluate([0.8, 0.1, 0.3], [-0.2, 0.5, 0.1], derivatives=2)
    assert a["deviance"] == pytest.approx(b["deviance"], rel=1e-13)
    np.testing.assert_allclose(a["grad"], b["grad"], rtol=1e-9, atol=1e-9)
    np.testing.assert_allclose(a["hessian"], b["hessian"], rtol=1e-9, atol=1e-9)
    with pytest.raises(ValueError, match="x_transform must be 3 x 3"):
        GlmmCore(y, X, Z, g.astype(np.int64), m, w, None, "binomial", "logit", x_transform=np.eye(2))


@pytest.mark.parametrize("family,link,nagq", [("binomial", "logit", 1), ("binomial", "cloglog", 5),
                                              ("poisson", "log", 1)])
def test_the_value_is_the_same_bits_with_or_without_derivatives(family, link, nagq):
    """evaluate() with derivatives takes the value from their evaluation:
    the same bits as the value alone (the passes do not depend on what else
    is computed)."""
    q = 2 if nagq == 1 else 1
    core = core_of(family, link, q)
    theta = [0.8, 0.1, 0.3][: q * (q + 1) // 2]
    beta = [-0.2, 0.5, 0.0]
    values = [core.evaluate(theta, beta, nagq=nagq, derivatives=k) for k in (0, 1, 2)]
    for v in values[1:]:
        for key in ("deviance", "correction", "resolution"):
            assert v[key] == values[0][key], key


def test_a_quadrature_gradient_alone_is_the_one_with_the_hessian():
    """evaluate(derivatives=1) at nagq > 1 (the gradient alone) crashed on
    reading the Laplace Hessian its correction's steps are scaled by; it is
    now the same gradient as derivatives=2 gives."""
    core = core_of("binomial", "cloglog", 1)
    g1 = core.evaluate([0.8], [-0.2, 0.5, 0.0], nagq=5, derivatives=1)["grad"]
    g2 = core.evaluate([0.8], [-0.2, 0.5, 0.0], nagq=5, derivatives=2)["grad"]
    np.testing.assert_array_equal(g1, g2)
