"""The bound-constrained minimiser on Python objectives: bounds, infeasible
regions, every termination message with its counters, projection of the start."""

import math

import numpy as np
import pytest

pytestmark = [pytest.mark.native]

t = pytest.importorskip("corvane._corvane_tests")

INF = math.inf


class Recorder:
    """Wraps fun(x) -> (f, g) or None and records every point it is asked about."""

    def __init__(self, fun):
        self.fun, self.points = fun, []

    def __call__(self, x):
        self.points.append(list(x))
        return self.fun(np.array(x))


def quadratic(h, c, const=0.0):
    h, c = np.array(h, float), np.array(c, float)
    return lambda x: (const + 0.5 * (x - c) @ h @ (x - c), list(h @ (x - c)))


def rosenbrock(x):
    a, b = x
    f = 100.0 * (b - a * a) ** 2 + (1.0 - a) ** 2
    return f, [-400.0 * a * (b - a * a) - 2.0 * (1.0 - a), 200.0 * (b - a * a)]


def test_quadratic_with_active_bound():
    # Unconstrained minimum (1, -2); with x1 >= 0 the minimum is (0.5, 0) with
    # a positive derivative in x1 there.
    r = t.minimize(quadratic([[2.0, 0.5], [0.5, 1.0]], [1.0, -2.0]), [3.0, 4.0], [-INF, 0.0])
    assert r["converged"]
    assert r["x"][1] == 0.0 and r["x"][0] == pytest.approx(0.5, abs=1e-8)
    assert r["fun"] == pytest.approx(1.75, rel=1e-12)
    assert r["grad_inf_norm"] < 1e-4


@pytest.mark.parametrize("x0", [[0.0, 0.0], [2.0, 2.0]])
def test_rosenbrock(x0):
    r = t.minimize(rosenbrock, x0, [-INF, -INF], max_iter=1000)
    assert r["converged"], r["message"]
    np.testing.assert_allclose(r["x"], [1.0, 1.0], atol=1e-6)
    assert r["fun"] < 1e-12


def test_infeasible_region_shortens_steps():
    # Minimum at (3, 3), but every point with x0 + x1 > 3 is infeasible.
    base = quadratic(np.eye(2) * 2.0, [3.0, 3.0])
    rec = Recorder(lambda x: None if x[0] + x[1] > 3.0 else base(x))
    r = t.minimize(rec, [0.0, 0.0], [-INF, -INF])
    # The first direction is -g = (6, 6): trials at t = 1, 1/2, 1/4.
    assert rec.points[:4] == [[0, 0], [6, 6], [3, 3], [1.5, 1.5]]
    assert r["x"].sum() <= 3.0 and math.isfinite(r["fun"])
    assert r["fun"] == base(r["x"])[0] and r["fev"] == len(rec.points)


def test_initial_point_infeasible():
    rec = Recorder(lambda x: None)
    r = t.minimize(rec, [-2.0, 5.0], [0.0, -INF])
    assert rec.points == [[0.0, 5.0]]
    assert r["message"] == "initial point infeasible" and not r["converged"]
    assert list(r["x"]) == [0.0, 5.0]
    assert (r["fun"], r["grad_inf_norm"], r["iterations"], r["fev"]) == (INF, INF, 0, 0)


@pytest.mark.parametrize(
    "fun, x0, lower",
    [
        (lambda x: (x[0] ** 2 + x[0], [2 * x[0] + 1]), [0.0], [0.0]),  # stationary on the bound
        (lambda x: (x[0] ** 2 + x[0], [2 * x[0] + 1]), [-3.0], [0.0]),  # projected onto it
        (quadratic([[1.0]], [1.0]), [1.0], [-INF]),  # interior stationary point
    ],
)
def test_stationary_start(fun, x0, lower):
    r = t.minimize(fun, x0, lower)
    assert r["message"] == "projected gradient below tolerance" and r["converged"]
    assert (r["iterations"], r["fev"], r["grad_inf_norm"]) == (1, 1, 0.0)
    assert list(r["x"]) == [max(x0[0], lower[0])]


@pytest.mark.parametrize(
    "fun, x_end, message",
    [
        # One full step lands on the minimum: the change is tiny relative to 1e8.
        (quadratic([[1.0]], [0.0], 1e8), 0.0, "relative change below tolerance"),
        # A linear objective: the change is tiny but the gradient stays 1.
        (lambda x: (1e8 + x[0], [1.0]), 9.0, "relative change below tolerance (gradient not small)"),
    ],
)
def test_relative_change(fun, x_end, message):
    r = t.minimize(fun, [10.0], [-INF], ftol=1e-6)
    assert r["message"] == message and r["converged"]
    assert (list(r["x"]), r["iterations"], r["fev"]) == ([x_end], 1, 2)
    assert r["fun"] == fun(np.array([x_end]))[0]


def test_line_search_failed():
    # The reported gradient points uphill, so no trial along -g decreases f.
    rec = Recorder(lambda x: (x[0] ** 2, [-2.0 * x[0]]))
    r = t.minimize(rec, [1.0], [-INF])
    assert r["message"] == "line search failed" and not r["converged"]
    assert (list(r["x"]), r["fun"], r["grad_inf_norm"]) == ([1.0], 1.0, 2.0)
    assert (r["iterations"], r["fev"]) == (1, 41)
    # Trial k is at the step 2^-k along d = 2, down to 2^-39.
    assert rec.points[1:] == [[1.0 + 2.0 * 0.5**k] for k in range(40)]


@pytest.mark.parametrize(
    "fun, x0, max_iter, message",
    [
        (quadratic(np.diag([1.0, 100.0]), [0.0, 0.0]), [1.0, 1.0], 3, "maximum iterations reached"),
        # The only pass lands on the minimum; the final gradient test converts the exit.
        (quadratic([[1.0]], [0.0]), [10.0], 1, "projected gradient below tolerance"),
    ],
)
def test_iteration_limit(fun, x0, max_iter, message):
    r = t.minimize(fun, x0, [-INF] * len(x0), max_iter=max_iter, ftol=0.0)
    assert r["message"] == message and r["iterations"] == max_iter
    assert r["converged"] == (message != "maximum iterations reached")


def test_max_iter_zero_projects_the_start():
    # The bounded component has a positive derivative there, so it is left out of
    # the projected gradient norm: 0.5 from the free component, not 2.
    rec = Recorder(lambda x: ((x[0] + 1) ** 2 + 0.25 * (x[1] - 1.5) ** 2, [2 * (x[0] + 1), 0.5 * (x[1] - 1.5)]))
    r = t.minimize(rec, [-1.0, 2.5], [0.0, -INF], max_iter=0)
    assert rec.points == [[0.0, 2.5]]
    assert (r["iterations"], r["fev"], r["fun"], r["grad_inf_norm"]) == (0, 1, 1.25, 0.5)
    assert r["message"] == "maximum iterations reached" and not r["converged"]
    assert list(r["x"]) == [0.0, 2.5]


def test_start_below_bound_is_projected_first():
    rec = Recorder(quadratic(np.eye(3), [1.0, 1.0, 1.0]))
    r = t.minimize(rec, [-5.0, -5.0, 0.5], [0.0, -1.0, -INF])
    assert rec.points[0] == [0.0, -1.0, 0.5]
    assert all(p[0] >= 0.0 and p[1] >= -1.0 for p in rec.points)
    assert r["converged"] and np.allclose(r["x"], 1.0)


@pytest.mark.parametrize("bad", [math.nan, math.inf])
def test_non_finite_value_never_accepted(bad):
    # Minimum at 3, but the objective answers a non-finite value beyond 2.
    rec = Recorder(lambda x: ((x[0] - 3.0) ** 2 if x[0] <= 2.0 else bad, [2.0 * (x[0] - 3.0)]))
    r = t.minimize(rec, [0.0], [-INF])
    assert rec.points[1:4] == [[6.0], [3.0], [1.5]]
    assert r["x"][0] <= 2.0 and r["fun"] == (r["x"][0] - 3.0) ** 2
