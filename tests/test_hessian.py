"""The exact Hessian of the criterion in theta: central differences of the
analytic gradient, the scalar Hessian for q = 1, symmetry, every kernel, the
fixed-size forms and schedules bit for bit, and infeasible or bad thetas."""

import numpy as np
import pytest

from conftest import same
from corvane import LmmCore
from reference import make_design

pytestmark = [pytest.mark.native]

t = pytest.importorskip("corvane._corvane_tests")

KERNELS = ("blocks", "streaming", "aggregated")


def theta_for(q, scale=1.0):
    """A well-conditioned theta: diagonal 0.8.., small off-diagonals of both signs."""
    out = []
    for j in range(q):
        for k in range(j, q):
            out.append(scale * (0.8 + 0.1 * j) if k == j else 0.2 * (-1) ** (k + j))
    return out


@pytest.fixture(scope="module")
def problems():
    cache = {}

    def get(q, classes=False):
        key = (q, classes)
        if key not in cache:
            rng = np.random.default_rng(10 + q)
            if classes == "big":
                # 400 groups: several chunks, so schedules really differ.
                cache[key] = (*make_design(rng, 3000, 3, q, 400), 400)
            elif classes:
                # 60 groups of 8 rows on 4 patterns of Z: the aggregated kernel
                # works on 4 classes.
                m, per = 60, 8
                codes = np.repeat(np.arange(m, dtype=np.int64), per)
                pattern = rng.standard_normal((4, per, q))
                z = pattern[np.arange(m) % 4].reshape(-1, q)
                z[:, 0] = 1.0
                x = np.column_stack([np.ones(m * per), rng.standard_normal((m * per, 2))])
                y = x.sum(1) + np.einsum("ij,ij->i", z, rng.standard_normal((m, q))[codes]) + \
                    rng.standard_normal(m * per)
                cache[key] = (y, x, np.ascontiguousarray(z), codes, m)
            else:
                cache[key] = (*make_design(rng, 500, 3, q, 35), 35)
        return cache[key]

    return get


def central_differences(core, theta, reml, h=1e-5):
    k = len(theta)
    out = np.zeros((k, k))
    for j in range(k):
        up, down = np.array(theta, float), np.array(theta, float)
        up[j] += h
        down[j] -= h
        out[:, j] = (np.array(core.deviance_grad(list(up), reml)[1]) -
                     np.array(core.deviance_grad(list(down), reml)[1])) / (2 * h)
    return out


@pytest.mark.parametrize("reml", [True, False])
@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("q", [1, 2, 3, 4])
def test_hessian_matches_differences_of_the_gradient(problems, q, kernel, reml):
    for classes in (False, True):
        core = LmmCore(*problems(q, classes), kernel)
        theta = theta_for(q)
        h = core.hessian(theta, reml)
        assert h.shape == (len(theta), len(theta)) and h.dtype == np.float64
        assert np.array_equal(h, h.T)
        fd = central_differences(core, theta, reml)
        assert np.abs(h - fd).max() <= 1e-6 * np.abs(fd).max()


@pytest.mark.parametrize("reml", [True, False])
def test_q1_equals_the_scalar_hessian(problems, reml):
    for kernel in KERNELS:
        core = LmmCore(*problems(1, True), kernel)
        for lam in (0.0, 0.3, 1.7):
            assert core.hessian([lam], reml)[0, 0] == pytest.approx(core.deviance_hessian([lam], reml),
                                                                   rel=1e-12, abs=1e-9)


def test_criterion_and_gradient_of_the_hessian_pass(problems):
    """The Hessian pass computes the criterion and gradient on its own way;
    they agree with the kernels'."""
    for q in (1, 2, 3):
        y, x, z, codes, m = problems(q, True)
        for kernel in KERNELS:
            theta = theta_for(q, 1.3)
            value, grad, _ = t.hessian(y, x, z, codes, m, theta, evaluator=kernel)
            v2, g2 = LmmCore(y, x, z, codes, m, kernel).deviance_grad(theta)
            assert value == pytest.approx(v2, rel=1e-12)
            np.testing.assert_allclose(grad, g2, rtol=1e-8, atol=1e-8)


@pytest.mark.parametrize("q", [1, 2, 3, 4])
def test_forms_and_schedules_give_the_same_bits(problems, q):
    y, x, z, codes, m = problems(q, "big")
    theta = theta_for(q)
    for kernel in ("blocks", "aggregated"):
        results = [t.hessian(y, x, z, codes, m, theta, True, kernel, route, generic)
                   for route in ("sequential", "parallel") for generic in (False, True)]
        assert all(same(list(r), list(results[0])) for r in results[1:])


def test_the_hessian_at_zero_sees_the_curvature(problems):
    """At theta = 0 the gradient is exactly zero; the Hessian is not."""
    core = LmmCore(*problems(2), "blocks")
    _, grad = core.deviance_grad([0.0, 0.0, 0.0])
    assert grad == [0.0, 0.0, 0.0]
    h = core.hessian([0.0, 0.0, 0.0])
    assert np.isfinite(h).all() and np.abs(h).max() > 0


def test_infeasible_and_bad_thetas(problems):
    y, x, z, codes, m = problems(1)
    y = y.copy()
    y[0] = np.nan
    core = LmmCore(y, x, z, codes, m, "blocks")
    assert np.isnan(core.hessian([0.5])).all() and core.hessian([0.5]).shape == (1, 1)
    good = LmmCore(*problems(2), "blocks")
    with pytest.raises(ValueError, match="theta must have 3 entries for q = 2, got 2"):
        good.hessian([1.0, 0.0])
    with pytest.raises(ValueError, match=r"theta\[1\] is not finite"):
        good.hessian([1.0, np.inf, 1.0])
    with pytest.raises(TypeError):
        good.hessian([1.0, 0.0, 1.0], reml="yes")
