"""Argument binding, conversion and theta validation shared by the methods.

Every check here runs before any numerical work, so a call with valid
arguments is only required to get past validation: it may return a result or
raise NotImplementedError while a method's numerical part is not built."""

import math
import re
import threading

import numpy as np
import pytest

from corvane._corvane import LmmCore

pytestmark = [pytest.mark.native]

THETA_METHODS = ["deviance", "deviance_grad", "deviance_hessian",
                 "conditional_covariances", "solution"]
STARTS_MSG = "starts must be a non-empty multiple of the theta length"


def make_core(q=2, p=2, m=4, n=24, evaluator="blocks", seed=0):
    rng = np.random.default_rng(seed)
    y = rng.standard_normal(n)
    x = np.ascontiguousarray(np.column_stack([np.ones(n), rng.standard_normal((n, p - 1))]))
    z = rng.standard_normal((n, q))
    codes = (np.arange(n) % m).astype(np.int64)
    return LmmCore(y, x, z, codes, m, evaluator), (y, x, z, codes)


@pytest.fixture(scope="module")
def core2():
    return make_core(q=2)[0]


@pytest.fixture(scope="module")
def cores():
    return {q: make_core(q=q, evaluator=ev)[0]
            for q, ev in ((1, "aggregated"), (2, "blocks"), (3, "streaming"))}


def passes(fn, *args, **kwargs):
    """Call fn; validation must let it through (it may not be implemented yet,
    and a valid but infeasible theta may be reported as such)."""
    try:
        return fn(*args, **kwargs)
    except NotImplementedError:
        return NotImplemented
    except RuntimeError as e:
        assert str(e) == "theta is infeasible"
        return NotImplemented


class Floaty:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


class Boom:
    def __float__(self):
        raise RuntimeError("boom")


@pytest.mark.parametrize("method", THETA_METHODS)
@pytest.mark.parametrize("theta", [
    [1.0, 0.0, 1.0], (1.0, 0.0, 1.0), [1, 0, 1], np.array([1.0, 0.0, 1.0]),
    np.array([1, 0, 1]), np.array([1.0, 0.0, 1.0], np.float32),
    [np.float64(1.0), np.int64(0), True], [Floaty(1.0), Floaty(0.5), Floaty(2.0)],
    [-1.0, 0.0, -1.0],           # negative diagonal: finite, so it passes
    [1e308, -1e308, 5e-324], range(1, 4),
], ids=["list", "tuple", "ints", "ndarray", "int-ndarray", "float32-ndarray",
        "numpy-scalars", "__float__", "negative-diag", "extremes", "range"])
def test_theta_accepted(core2, method, theta):
    passes(getattr(core2, method), theta)


@pytest.mark.parametrize("method", THETA_METHODS)
@pytest.mark.parametrize("theta, exc, pattern", [
    ("101", TypeError, "theta"),                       # a str is not a sequence of numbers
    ({1.0, 0.0, 2.0}, TypeError, "theta"),
    (1.0, TypeError, "theta"),
    (None, TypeError, "theta"),
    ((v for v in (1.0, 0.0, 1.0)), TypeError, "theta"),
    ([1.0, "a", 1.0], TypeError, "theta"),
    ([1.0, None, 1.0], TypeError, "theta"),
    ([1.0, [0.0], 1.0], TypeError, "theta"),
    (np.array([[1.0, 0.0, 1.0]]), TypeError, None),
    ([1.0, Boom(), 1.0], RuntimeError, "boom"),         # the item's own error
], ids=["str", "set", "number", "none", "generator", "str-item", "none-item",
        "list-item", "2d-array", "raising-item"])
def test_theta_conversion_errors(core2, method, theta, exc, pattern):
    with pytest.raises(exc, match=pattern):
        getattr(core2, method)(theta)


@pytest.mark.parametrize("method", THETA_METHODS)
@pytest.mark.parametrize("q, theta, message", [
    (2, [1.0, 1.0], "theta must have 3 entries for q = 2, got 2"),
    (2, [1.0, 0.0, 1.0, 0.0], "theta must have 3 entries for q = 2, got 4"),
    (2, [], "theta must have 3 entries for q = 2, got 0"),
    (2, [math.nan, math.nan], "theta must have 3 entries for q = 2, got 2"),  # length first
    (1, [1.0, 1.0], "theta must have 1 entries for q = 1, got 2"),
    (3, [1.0, 0.0, 1.0], "theta must have 6 entries for q = 3, got 3"),
    (2, [1.0, math.nan, math.nan], "theta[1] is not finite"),
    (2, [math.inf, 0.0, 1.0], "theta[0] is not finite"),
    (2, [1.0, 0.0, -math.inf], "theta[2] is not finite"),
    (1, np.array([np.nan]), "theta[0] is not finite"),
    (3, [1, 0, 0, 1, 0, float("-nan")], "theta[5] is not finite"),
])
def test_check_theta_messages(cores, method, q, theta, message):
    core = cores[q]
    with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
        getattr(core, method)(theta)


@pytest.mark.parametrize("method", THETA_METHODS)
@pytest.mark.parametrize("reml", [True, False, np.True_, np.bool_(False)])
def test_reml_accepted(core2, method, reml):
    passes(getattr(core2, method), [1.0, 0.0, 1.0], reml)
    passes(getattr(core2, method), [1.0, 0.0, 1.0], reml=reml)
    passes(getattr(core2, method), theta=[1.0, 0.0, 1.0], reml=reml)


@pytest.mark.parametrize("method", THETA_METHODS + ["fit"])
@pytest.mark.parametrize("reml", [1, 0, None, "True", 1.0, np.int64(1), [True]])
def test_reml_refused(core2, method, reml):
    with pytest.raises(TypeError, match="reml"):
        getattr(core2, method)([1.0, 0.0, 1.0], reml)
    with pytest.raises(TypeError, match="reml"):
        getattr(core2, method)([1.0, 0.0, 1.0], reml=reml)


@pytest.mark.parametrize("method", THETA_METHODS)
def test_conversion_precedes_theta_check(core2, method):
    # every argument is converted before theta's length or finiteness is checked
    with pytest.raises(TypeError, match="reml"):
        getattr(core2, method)([1.0], 1)
    with pytest.raises(TypeError, match="reml"):
        getattr(core2, method)([math.nan, 0.0, 1.0], None)
    with pytest.raises(TypeError, match="theta"):  # theta is converted before reml
        getattr(core2, method)("abc", 1)


@pytest.mark.parametrize("starts, message", [
    ([], STARTS_MSG),
    ([1.0, 0.0, 1.0, 1.0], STARTS_MSG),
    ([1.0, 0.0], STARTS_MSG),
    ([1.0, math.nan, 1.0, 1.0], "starts[1] is not finite"),   # finiteness before length
    ([math.inf], "starts[0] is not finite"),
    ([1.0, 0.0, 1.0, 1.0, 0.0, -math.inf], "starts[5] is not finite"),
    (np.array([1.0, 0.0, 1.0, np.nan, np.nan]), "starts[3] is not finite"),
])
def test_fit_starts_validation(core2, starts, message):
    with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
        core2.fit(starts)


@pytest.mark.parametrize("kwargs", [
    dict(starts=[1.0, 0.0, 1.0]),
    dict(starts=(1.0, 0.0, 1.0, 0.5, 0.1, 0.5)),
    dict(starts=np.array([1, 0, 1]), reml=np.False_, max_iter=0, gtol=1, ftol=0.0),
    dict(starts=[-1.0, 0.0, -1.0], reml=False, max_iter=5, gtol=np.float64(1e-6)),
])
def test_fit_accepts(core2, kwargs):
    passes(core2.fit, **kwargs)


@pytest.mark.parametrize("kwargs, name", [
    (dict(starts="101"), "starts"),
    (dict(starts={1.0, 0.0, 1.0}), "starts"),
    (dict(starts=[1.0, "x", 1.0]), "starts"),
    (dict(starts=[1.0, 0.0, 1.0], max_iter="300"), "max_iter"),
    (dict(starts=[1.0, 0.0, 1.0], max_iter=1.5), "max_iter"),
    (dict(starts=[1.0, 0.0, 1.0], gtol="x"), "gtol"),
    (dict(starts=[1.0, 0.0, 1.0], ftol=None), "ftol"),
    (dict(starts=[], max_iter="300"), "max_iter"),     # conversion before starts checks
    (dict(starts=[math.nan], ftol="x"), "ftol"),
])
def test_fit_conversion_errors(core2, kwargs, name):
    with pytest.raises(TypeError, match=name):
        core2.fit(**kwargs)


def test_fit_negative_max_iter(core2):
    with pytest.raises((OverflowError, TypeError, ValueError)):
        core2.fit([1.0, 0.0, 1.0], True, -1)


@pytest.mark.parametrize("call", [
    lambda c: c.deviance(),
    lambda c: c.deviance_grad(reml=True),
    lambda c: c.deviance([1.0, 0.0, 1.0], True, 3),
    lambda c: c.deviance_hessian([1.0, 0.0, 1.0], foo=1),
    lambda c: c.solution([1.0, 0.0, 1.0], theta=[1.0, 0.0, 1.0]),
    lambda c: c.conditional_covariances([1.0, 0.0, 1.0], True, reml=True),
    lambda c: c.fit(),
    lambda c: c.fit([1.0, 0.0, 1.0], True, 300, 1e-8, 1e-12, 0),
    lambda c: c.fit([1.0, 0.0, 1.0], tol=1e-8),
    lambda c: c.fit([1.0, 0.0, 1.0], starts=[1.0, 0.0, 1.0]),
    lambda c: c.with_response(),
    lambda c: c.with_response(np.ones(24), np.ones((24, 2)), np.ones((24, 2))),
    lambda c: c.lower_bounds(1),
    lambda c: c.default_theta(q=2),
], ids=["missing", "missing-kw-given", "surplus", "unknown-kw", "twice", "twice-reml",
        "fit-missing", "fit-surplus", "fit-unknown", "fit-twice", "with_response-none",
        "with_response-missing", "lower_bounds-arg", "default_theta-kw"])
def test_binding_errors(core2, call):
    with pytest.raises(TypeError):
        call(core2)


def test_with_response_conversion():
    core, (y, x, z, codes) = make_core(q=2)
    passes(core.with_response, y[::-1].copy(), x, z, codes)
    passes(core.with_response, codes=codes, z=z, x=x, y=y)
    for bad, name in (((y.tolist(), x, z, codes), r"\by\b"),
                      ((y, x.astype(np.float32), z, codes), r"\bx\b"),
                      ((y, x, z[:, 0].copy(), codes), r"\bz\b"),
                      ((y, x, z, codes.astype(np.int32)), "codes")):
        with pytest.raises(TypeError, match=name):
            core.with_response(*bad)


def test_two_threads_on_one_instance():
    core = make_core(q=2, m=300, n=1500)[0]
    barrier = threading.Barrier(2)
    outcomes = [[], []]

    def work(slot, theta):
        barrier.wait()
        for _ in range(100):
            try:
                outcomes[slot].append(("ok", core.deviance(theta), core.lower_bounds()))
            except Exception as e:  # noqa: BLE001 - recorded and compared below
                outcomes[slot].append((type(e).__name__, str(e), core.lower_bounds()))

    threads = [threading.Thread(target=work, args=(0, [1.0, 0.2, 0.7])),
               threading.Thread(target=work, args=(1, [1.0, 0.2]))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(o == outcomes[0][0] for o in outcomes[0])
    assert outcomes[0][0][0] in ("ok", "NotImplementedError")
    assert outcomes[0][0][2] == [0.0, -math.inf, 0.0]
    # the other thread's faulty theta gets its own error every time
    assert all(o == ("ValueError", "theta must have 3 entries for q = 2, got 2",
                     [0.0, -math.inf, 0.0]) for o in outcomes[1])
