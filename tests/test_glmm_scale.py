"""Generalized fits whose counts or trials span seven orders of magnitude,
separated fits and the MASS bacteria fits, against glmmTMB and glmer (numbers
and script: tests/data/glmm_scale.json, tests/r/glmm_scale.R).

The truth for a standard error is the Hessian of glmmTMB's own Laplace
objective at its Newton-polished optimum, differentiated by Richardson
extrapolation ("se_richardson"): glmmTMB's reported SEs (TMB's differences
with steps 1e-3) and glmer's (lme4's) carry differencing errors of up to
4e-5 at these scales. For the probit and cloglog links glmmTMB's objective
uses the observed curvature, ours lme4's Fisher one, so those fits are
compared with glmer's objective differentiated in the same way.
"""

import json
import os
import warnings

import numpy as np
import pandas as pd
import pytest

import corvane

pytestmark = [pytest.mark.reference]

HERE = os.path.dirname(__file__)
REF = json.load(open(os.path.join(HERE, "data", "glmm_scale.json")))
CASES = REF["cases"]
SCALED = [cid for cid, c in CASES.items() if "_scale_" in cid and c["family"] != "gaussian"
          or cid.startswith(("poisson_slopes", "binomial_trials", "probit_trials", "cloglog_trials"))]


def frame(case):
    df = pd.read_csv(os.path.join(HERE, "data", case["data"] + ".csv"))
    if case.get("reference_level"):
        levels = sorted(df["f"].unique())
        ref = case["reference_level"]
        df["f"] = pd.Categorical(df["f"], categories=[ref] + [v for v in levels if v != ref])
    return df


def fit(case, **kw):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        r = corvane.glmm(case["formula"], frame(case), case["family"], case["link"], **kw)
    return r, [w for w in caught if issubclass(w.category, UserWarning)]


def by_name(r, table):
    """The peers' per-coefficient numbers in our order (R's names as
    'fb' for our 'f[T.b]')."""
    out = []
    for name in r.fe_names:
        key = name.replace("[T.", "").replace("]", "")
        out.append(table[name] if name in table else table[key])
    return np.array(out)


@pytest.mark.parametrize("cid", SCALED)
def test_standard_errors_at_any_scale(cid):
    c = CASES[cid]
    r, caught = fit(c)
    assert r.converged and not caught, [str(w.message) for w in caught]
    assert np.all(np.isfinite(r.std_errors)) and np.all(r.std_errors > 0)
    if c["link"] in ("logit", "log"):
        polished = c["richardson"]["glmmTMB_polished"]
        np.testing.assert_allclose(r.std_errors, by_name(r, c["se_richardson"]), rtol=1e-7)
        np.testing.assert_allclose(r.std_errors, by_name(r, c["se_glmmTMB"]), rtol=1e-5)
        assert np.all(np.abs(r.beta - by_name(r, polished["beta"])) <= 1e-5 * r.std_errors)
    else:
        np.testing.assert_allclose(r.std_errors, by_name(r, c["se_richardson_lme4"]["steps_half_se"]), rtol=1e-6)
        assert np.all(np.abs(r.beta - by_name(r, c["glmer"]["beta"])) <= 1e-3 * r.std_errors)


def test_bacteria_ends_certified_at_the_optimum():
    c = CASES["bacteria_late"]
    r, caught = fit(c)
    assert r.converged and r.status == "interior" and not caught
    assert r.llf == pytest.approx(c["glmmTMB"]["logLik"], abs=1e-8)
    np.testing.assert_allclose(r.std_errors, by_name(r, c["se_richardson"]), rtol=1e-6)


def test_a_fit_stopped_short_still_warns():
    r, caught = fit(CASES["bacteria_late"], max_iter=1)
    assert not r.converged
    assert any(issubclass(w.category, corvane.ConvergenceWarning) for w in caught)


def test_a_correlation_at_one_is_a_singular_fit_with_the_boundary_limit_s_errors():
    c = CASES["bacteria_week_slopes"]
    r, caught = fit(c)
    assert r.converged and r.boundary == ["week"]
    assert [w.category for w in caught] == [corvane.SingularFitWarning]
    np.testing.assert_allclose(r.std_errors, by_name(r, c["richardson"]["se_boundary_fixed"]), rtol=1e-5)


def test_separation_is_reported_and_every_other_error_stands():
    a, c = CASES["separation_ref_a"], CASES["separation_ref_c"]
    ra, caught_a = fit(a)
    rc, caught_c = fit(c)
    assert ra.separated == ["f[T.c]"]
    assert rc.separated == ["(Intercept)", "f[T.a]", "f[T.b]"]
    for r, caught in ((ra, caught_a), (rc, caught_c)):
        assert r.converged
        assert [w.category for w in caught] == [corvane.SeparationWarning]
        assert all(name in str(caught[0].message) for name in r.separated)
        assert "separation" in str(r.summary())
        sep = [r.fe_names.index(name) for name in r.separated]
        assert np.all(np.isinf(r.std_errors[sep])) and np.all(r.p_values[sep] == 1.0)
        assert np.isinf(np.diag(r.cov_beta)[sep]).all()
    # the covariate's error does not depend on the factor's coding, and
    # equals glmmTMB's under either
    x = ra.fe_names.index("x")
    assert ra.std_errors[x] == pytest.approx(rc.std_errors[x], rel=1e-8)
    assert ra.std_errors[x] == pytest.approx(a["se_richardson"]["x"], rel=1e-7)
    kept = [ra.fe_names.index(n) for n in ("(Intercept)", "f[T.b]", "x")]
    np.testing.assert_allclose(ra.std_errors[kept], by_name(ra, a["se_richardson"])[kept], rtol=1e-6)
    assert ra.llf == pytest.approx(rc.llf, abs=1e-9)


@pytest.mark.parametrize("reference", ["lo", "zero"])
def test_poisson_counts_all_zero_in_a_level_are_separated(reference):
    """A level with no counts at all drives its rate to 0: the same report,
    and the same error for the covariate under either coding."""
    rng = np.random.default_rng(11)
    n, m = 240, 24
    g = np.repeat(np.arange(m), n // m)
    level = rng.choice(["hi", "lo", "zero"], size=n)
    x = rng.normal(size=n)
    eta = 1.0 + 0.5 * (level == "hi") + 0.3 * x + rng.normal(scale=0.4, size=m)[g]
    y = np.where(level == "zero", 0, rng.poisson(np.exp(eta)))
    df = pd.DataFrame({"y": y, "x": x, "g": g,
                       "f": pd.Categorical(level, categories=[reference] + [v for v in ("hi", "lo", "zero")
                                                                           if v != reference])})
    with pytest.warns(corvane.SeparationWarning):
        r = corvane.glmm("y ~ f + x + (1 | g)", df, "poisson")
    assert r.converged
    assert r.separated == (["f[T.zero]"] if reference == "lo" else ["(Intercept)", "f[T.hi]", "f[T.lo]"])
    # the level's rows carry no information in the limit: the other
    # estimable coefficients are those of the fit without them
    rest = df[df["f"] != "zero"].assign(f=lambda d: d["f"].cat.remove_unused_categories())
    without = corvane.glmm("y ~ f + x + (1 | g)", rest, "poisson")
    assert r.llf == pytest.approx(without.llf, abs=1e-8)
    assert r.std_errors[-1] == pytest.approx(without.std_errors[-1], rel=1e-6)
    if reference == "lo":
        np.testing.assert_allclose(r.std_errors[:2], without.std_errors[:2], rtol=1e-6)


def test_bootstrap_replicates_are_singular_by_the_fit_s_own_rule():
    """Each replicate flagged singular exactly when the fit of its response
    is (a correlation at +-1 counts as a variance at 0 does)."""
    r, _ = fit(CASES["bacteria_week_slopes"])
    boot = r.bootstrap(12, seed=5, progress=False)
    responses = r.simulate(12, seed=5)  # the bootstrap's draws for the same seed
    m = r.model
    flags = []
    for y in responses:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            refit = corvane.GeneralizedLinearMixedModel(y, m.X, m.Z, np.asarray(m.group_labels)[m.codes],
                                                        "binomial").fit()
        flags.append(refit.singular)
    assert boot.replicates["singular"].tolist() == flags
    assert 0 < sum(flags) < len(flags)
    cor = boot.replicates["cor((Intercept), week | ID)"].abs()
    assert (cor[boot.replicates["singular"]] > 1 - 1e-6).all()


@pytest.mark.parametrize("nagq", [0, 5])
@pytest.mark.parametrize("cid", ["poisson_scale_1e7", "binomial_trials_1e8", "poisson_slopes_1e5"])
def test_every_nagq_is_certified_at_scale(cid, nagq):
    """nAGQ = 0's differences in theta and quadrature's correction at any
    scale: with counts this large the Laplace value is all but exact, so
    each fit's standard errors sit within a hair of the Laplace fit's, and
    the quadrature Hessian's error estimate says they are accurate."""
    c = CASES[cid]
    if nagq > 1 and "slopes" in cid:
        nagq = 3
    laplace, _ = fit(c)
    r, caught = fit(c, nagq=nagq)
    assert r.converged and not caught, [str(w.message) for w in caught]
    np.testing.assert_allclose(r.std_errors, laplace.std_errors, rtol=1e-4)
    assert np.all(np.abs(r.beta - laplace.beta) <= 1e-3 * laplace.std_errors)
    assert r.hessian_error < 1e-5


@pytest.mark.parametrize("nagq", [0, 9])
def test_separation_under_every_nagq(nagq):
    """The joint mode of nAGQ = 0 runs off with the separated effects too
    (it stopped with 'the fit could not start'), and quadrature's fit is
    judged off the separated directions alike."""
    ra, _ = fit(CASES["separation_ref_a"], nagq=nagq)
    rc, _ = fit(CASES["separation_ref_c"], nagq=nagq)
    assert ra.converged and rc.converged
    assert ra.separated == ["f[T.c]"] and len(rc.separated) == 3
    # quadrature's Hessian is good to its estimated error, which bounds
    # how far the two codings' differences may part
    tol = 1e-8 if nagq == 0 else 10 * max(ra.hessian_error, rc.hessian_error)
    assert ra.std_errors[-1] == pytest.approx(rc.std_errors[-1], rel=tol)
    assert np.isfinite(ra.std_errors[:2]).all()
