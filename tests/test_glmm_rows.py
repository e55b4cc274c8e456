"""The generalized model's row terms: one row at a time, in the baseline's two
lanes and on the machine's vector unit they are the same bits, including the
blocks' tails and the staged logit path; they agree with extended-precision
values of the formulas; a row that cannot be represented is found wherever
it sits; and whole fits are the same bits with the vector unit on and off,
their criteria pinned."""

import os
import subprocess
import sys

import numpy as np
import pytest

ct = pytest.importorskip("corvane._corvane_tests")
pytestmark = [pytest.mark.native]

ROUTES = ("scalar", "lanes", "machine")
LINKS = ("logit", "probit", "cloglog", "log", "nb2", "nb1")
PHI = {"nb2": 2.5, "nb1": 0.7}  # the negative binomials' dispersions in these tests
TERMS = {"value": ("loglik",), "full": ("loglik", "d1", "d2", "fisher", "fisher1"),
         "third": ("loglik", "d1", "d2", "fisher", "fisher1", "d3", "fisher2")}


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.int64)


def _rows(link, n, seed=3):
    rng = np.random.default_rng(seed)
    limit = {"logit": 700.0, "probit": 36.0, "cloglog": 6.0, "log": 600.0, "nb2": 600.0, "nb1": 600.0}[link]
    eta = np.concatenate([rng.normal(0.0, 3.0, n), rng.uniform(-limit, limit, n // 4),
                          [0.0, -0.0, 1e-300, -1e-300, limit, -limit]])
    eta = np.clip(eta, -limit, limit)
    k = len(eta)
    if link in ("log", "nb2", "nb1"):
        y = rng.poisson(3.0, k).astype(float)
        y[::5] = rng.integers(0, 3_000_000, len(y[::5]))          # counts in the millions
    else:
        y = rng.choice([0.0, 1.0, 0.25, 0.5], k)
    w = rng.choice([1.0, 4.0, 0.5, 1e6], k)
    return eta, y, w


@pytest.mark.parametrize("link", LINKS)
@pytest.mark.parametrize("mode", ["value", "full", "third"])
def test_every_route_gives_the_same_bits(link, mode):
    eta, y, w = _rows(link, 4000)
    for n in (1, 3, 5, 63, 64, 65, 131, len(eta)):   # tails of the lanes and of the logit's stages
        got = {r: ct.glmm_row_terms(link, mode, eta[:n], y[:n], w[:n], r, phi=PHI.get(link)) for r in ROUTES}
        for r in ROUTES:
            assert got[r]["ok"], (link, mode, n, r)
            assert sorted(k for k in got[r] if k != "ok") == sorted(TERMS[mode])
            for term in TERMS[mode]:
                assert np.array_equal(bits(got[r][term]), bits(got["scalar"][term])), (link, mode, n, r, term)
    delta = np.random.default_rng(5).normal(0.0, 0.3, len(eta))
    changes = [ct.glmm_row_terms(link, "value", eta, y, w, r, delta, phi=PHI.get(link))["change"] for r in ROUTES]
    for c in changes[1:]:
        assert np.array_equal(bits(c), bits(changes[0])), link


def _reference(link, eta, y, w):
    """loglik, d1 and d2 in extended precision from the textbook formulas."""
    L = np.longdouble
    e, y, w = eta.astype(L), y.astype(L), w.astype(L)
    if link == "nb2":
        phi = L(PHI["nb2"])
        a = np.exp(e) / phi
        p, cp = a / (1 + a), 1 / (1 + a)
        return (w * (y * e - (y + phi) * np.log1p(a)), w * (y * cp - phi * p),
                -w * (y + phi) * p * cp)
    if link == "log":
        mu = np.exp(e)
        return w * (y * e - mu), w * (y - mu), -w * mu
    if link == "logit":
        mu = 1 / (1 + np.exp(-e))
        cmu = 1 / (1 + np.exp(e))
        return (-w * (y * np.log1p(np.exp(-e)) + (1 - y) * np.log1p(np.exp(e))), w * (y * cmu - (1 - y) * mu),
                -w * mu * cmu)
    s = np.exp(e)                                       # cloglog
    mu = -np.expm1(-s)
    r = s * np.exp(-s) / mu
    log_mu = np.where(s > np.log(2), np.log1p(-np.exp(-s)), np.log(mu))
    return (w * (y * log_mu - (1 - y) * s), w * (y * r - (1 - y) * s),
            w * (y * r * (1 - s - r) - (1 - y) * s))


@pytest.mark.skipif(np.finfo(np.longdouble).nmant < 63, reason="the reference needs an extended long double")
@pytest.mark.parametrize("link", ["logit", "cloglog", "log", "nb2"])
def test_terms_agree_with_extended_precision(link):
    rng = np.random.default_rng(11)
    n = 200_000
    span = {"logit": 30.0, "cloglog": 3.0, "log": 20.0, "nb2": 20.0}[link]
    eta = rng.uniform(-span, span, n)
    counts = link in ("log", "nb2")
    y = rng.choice([0.0, 1.0], n) if not counts else rng.poisson(np.exp(np.clip(eta, -5, 12))).astype(float)
    w = rng.choice([1.0, 3.0], n)
    got = ct.glmm_row_terms(link, "full", eta, y, w, "machine", phi=PHI.get(link))
    for term, want in zip(("loglik", "d1", "d2"), _reference(link, eta, y, w)):
        g = got[term].astype(np.longdouble)
        # Relative to the term's own size, or to the sizes it is a difference of.
        scale = np.maximum(np.abs(want), np.finfo(float).tiny)
        if link == "log" and term != "d2":
            scale = np.maximum(scale, w * (np.abs(y * eta) + np.exp(eta)) if term == "loglik" else w * (y + np.exp(eta)))
        if link == "nb2" and term != "d2":  # differences of terms of these sizes
            big = w * (np.abs(y * eta) + (y + PHI["nb2"]) * np.log1p(np.exp(eta) / PHI["nb2"]))
            scale = np.maximum(scale, big if term == "loglik" else w * (y + np.exp(eta)))
        err = np.abs(g - want) / scale
        # The complementary log-log's terms amplify the rounding of
        # s = exp(eta) by up to s (about 20 here).
        tol = (64 if link == "cloglog" else 8) * np.finfo(float).eps
        assert float(err.max()) < tol, (link, term, float(err.max()))


def test_erfc_agrees_with_high_precision():
    """The core's erfc (the probit's) against mpmath's at 30 digits on
    random arguments over the probit's range, the ranges' edges, the tails
    and special values: within 2 ulp (1.73 measured on a million)."""
    mp = pytest.importorskip("mpmath")
    mp.mp.dps = 30
    rng = np.random.default_rng(12)
    edges = np.array([0.25, 0.84375, 1.046875, 1.25, 1.75, 2.5, 5.0, 26.4999999])
    x = np.concatenate([rng.uniform(-26.5, 26.5, 6000), rng.uniform(-3.0, 3.0, 6000), edges, -edges,
                        np.nextafter(edges, 0.0), np.nextafter(edges, 9.0), [0.0, -0.0, 1e-300, 1e-9, -1e-9]])
    got = ct.elementary("erfc", x, "scalar")
    want = [mp.erfc(mp.mpf(float(v))) for v in x]
    ulps = np.array([float(abs(mp.mpf(float(g)) - w) / np.spacing(float(w))) for g, w in zip(got, want)])
    assert ulps.max() <= 2.0, (x[ulps.argmax()], ulps.max())
    assert ulps.mean() < 0.4
    assert list(ct.elementary("erfc", np.array([26.5, 40.0, -30.0, np.inf, -np.inf]), "scalar")) == [0, 0, 2, 0, 2]
    assert np.isnan(ct.elementary("erfc", np.array([np.nan]), "scalar")[0])


def test_log_gamma_agrees_with_high_precision():
    """The core's log Gamma (the constants' log y!, binomial coefficients and
    the negative binomial's): whole arguments (counts + 1, up to 10^9) within
    2.5 ulp; fractional ones to 2e-14 of max(1, |log Gamma|) (their
    recurrence below 16 rounds x + k and cancels)."""
    mp = pytest.importorskip("mpmath")
    mp.mp.dps = 30
    rng = np.random.default_rng(13)
    whole = np.concatenate([np.arange(1.0, 100.0), np.floor(10 ** rng.uniform(0, 9, 2000)) + 1])
    frac = np.concatenate([rng.uniform(1e-3, 30.0, 2000), 10 ** rng.uniform(1, 9, 500), [0.5, 1.5, 2.5]])
    for x, whole_numbers in ((whole, True), (frac, False)):
        got = ct.elementary("lgamma", x, "scalar")
        want = [mp.loggamma(mp.mpf(float(v))) for v in x]
        err = np.array([float(abs(mp.mpf(float(g)) - w)) for g, w in zip(got, want)])
        size = np.array([abs(float(w)) for w in want])
        if whole_numbers:
            exact = size == 0.0                      # log 0! and log 1!
            assert (err[exact] == 0).all()
            assert (err[~exact] / np.spacing(size[~exact])).max() <= 2.5
        else:
            assert (err / np.maximum(size, 1.0)).max() < 2e-14


def test_nb1_terms_agree_with_high_precision():
    """The NB1 terms (summed for small whole counts, from the Hurwitz zeta
    function's series for large or fractional ones) against mpmath's values
    at 50 digits (tests/data/make_nb1_terms.py), across the Poisson limit
    (alpha = 1e-6), counts in the millions and r on both sides of the
    series' shift."""
    import json

    rows = json.load(open(os.path.join(os.path.dirname(__file__), "data", "nb1_terms.json")))["rows"]
    worst = np.zeros(5)
    for row in rows:
        got = ct.glmm_row_terms("nb1", "third", np.array([row["eta"]]), np.array([float(row["y"])]), np.array([1.0]),
                                "scalar", phi=row["alpha"])
        values = (got["loglik"][0], got["d1"][0], got["d2"][0], got["d3"][0], -got["fisher2"][0])
        want = np.array([float(v) for v in row["terms"]])
        worst = np.maximum(worst, np.abs(np.array(values) - want) / np.maximum(np.abs(want), 1e-300))
    # The derivatives beyond the first are sums that cancel to a part in
    # r / y where r is far above the counts (the Poisson limit).
    assert (worst < [1e-13, 1e-13, 1e-10, 1e-9, 5e-9]).all(), worst


@pytest.mark.parametrize("link", LINKS)
def test_a_row_out_of_range_is_found_wherever_it_sits(link):
    eta, y, w = _rows(link, 200)
    bad = {"logit": [np.inf, np.nan], "probit": [40.0, -np.inf], "cloglog": [800.0, np.nan],
           "log": [710.0, np.inf], "nb2": [720.0, np.nan],
           "nb1": [720.0, np.nan]}[link]
    for position in (0, 2, 4, 63, 64, 100, len(eta) - 1):
        for value in bad:
            e = eta.copy()
            e[position] = value
            for route in ROUTES:
                for mode in ("value", "full"):
                    assert not ct.glmm_row_terms(link, mode, e, y, w, route, phi=PHI.get(link))["ok"], \
                        (link, position, value, route)


def _fit_child():
    return r"""
import sys
import numpy as np
from corvane import GlmmCore

# Exactly representable data made with integer arithmetic only, so that
# the pinned criteria depend on nothing but the core.
n, m = 3000, 60
i = np.arange(n)
g = i % m
x = ((i % 9) - 4) / 4.0
X = np.column_stack([np.ones(n), x])
binary = (((i * 7) % 11 + (g % 5)) < 6).astype(float)
rare = (((i * 13) % 17 + (g % 3)) < 3).astype(float)
counts = ((i * 13) % 7 + (g % 4) * (i % 3)).astype(float)
out = {}
for family, link, y in (("binomial", "logit", binary), ("binomial", "cloglog", rare), ("poisson", "log", counts)):
    core = GlmmCore(y, X, X.copy(), g.astype(np.int64), m, np.ones(n), np.zeros(n), family, link)
    for nagq in (1, 5):
        Z = X[:, :1]
        c = core if nagq == 1 else GlmmCore(y, X, Z.copy(), g.astype(np.int64), m, np.ones(n), np.zeros(n), family, link)
        theta = [0.7, 0.2, 0.4] if nagq == 1 else [0.8]
        e = c.evaluate(theta, [-0.2, 0.5], nagq=nagq, derivatives=2)
        out[f"{link} {nagq}"] = [e["deviance"], *e["grad"], *np.ravel(e["hessian"])]
    fit = core.fit()
    out[f"{link} fit"] = [fit["deviance"], *fit["theta"], *fit["beta"]]
np.savez(sys.argv[1], **{k: np.array(v) for k, v in out.items()})
"""


def test_fits_are_the_same_bits_with_and_without_the_vector_unit(tmp_path):
    """Evaluations (Laplace and quadrature, with their derivatives) and whole
    fits in a child on the vector unit and in one row at a time
    (CORVANE_LANES=0); the binomial criteria of the fixed points are pinned:
    their exponentials and logarithms are the core's own."""
    files = {}
    for lanes in ("1", "0"):
        files[lanes] = tmp_path / f"fit{lanes}.npz"
        subprocess.run([sys.executable, "-c", _fit_child(), str(files[lanes])], check=True,
                       env=dict(os.environ, CORVANE_LANES=lanes))
    on, off = np.load(files["1"]), np.load(files["0"])
    assert on.files == off.files
    for key in on.files:
        assert np.array_equal(bits(on[key]), bits(off[key])), key
    # The binomial criteria of 0/1 data (whose constant is 0): the Poisson
    # one adds the C library's lgamma of the counts.
    assert {k: float(on[k][0]).hex() for k in on.files if k.split()[0] in ("logit", "cloglog")
            and not k.endswith("fit")} == {
        "logit 1": "0x1.eb12d0d11ad68p+11", "logit 5": "0x1.ec9740160ea02p+11",
        "cloglog 1": "0x1.43604c0af6fa2p+11", "cloglog 5": "0x1.3fdf5fc222048p+11"}
