"""The core's own exp, expm1, log and log1p: under one ulp against the C library's
extended-precision functions (11 bits more than a double) on millions of
arguments, the tails, the subnormals and the special values; the scalar form,
the baseline build's two-wide lanes and the machine's vector unit give the
same bits; and a few values are pinned to their bits, which no platform may
change."""

import numpy as np
import pytest

ct = pytest.importorskip("corvane._corvane_tests")

EXTENDED = np.finfo(np.longdouble).nmant >= 63
ROUTES = ("scalar", "lanes", "machine")


def _arguments(name, seed=7):
    rng = np.random.default_rng(seed)
    n = 1_000_000
    if name == "exp":
        parts = [rng.uniform(-745.2, 709.9, n),
                 np.geomspace(1e-300, 700, n // 4) * rng.choice([-1.0, 1.0], n // 4),
                 rng.uniform(-1.0, 1.0, n // 4) * np.log(2.0) / 2,                      # the reduced range itself
                 np.log(2.0) * (np.arange(-1080, 1030) + 0.5),                         # where k changes
                 rng.uniform(-745.14, -708.0, n // 8),                                 # subnormal results
                 np.nextafter(709.782712893383973096, [-np.inf, np.inf])]
    elif name == "expm1":
        parts = [rng.uniform(-40.0, 709.9, n), np.geomspace(1e-310, 700, n // 4) * rng.choice([-1.0, 1.0], n // 4),
                 rng.uniform(-1.2, 1.2, n // 2),                                      # k = -1, 0 and 1
                 np.log(2.0) * (np.arange(-60, 1030) + 0.5),                           # where k changes
                 np.log(2.0) * rng.uniform(1.5, 57.5, n // 4),                         # 2 <= k <= 56
                 rng.uniform(-50.0, -30.0, n // 16)]
    elif name == "log":
        bits = rng.integers(1, 0x7FF0000000000000, n, dtype=np.int64)                # every positive double
        parts = [bits.view(np.float64), 1.0 + rng.uniform(-1e-3, 1e-3, n // 4),
                 1.0 + np.geomspace(1e-16, 1e-1, n // 8) * rng.choice([-1.0, 1.0], n // 8),
                 np.sqrt(0.5) * (1.0 + rng.uniform(-1e-6, 1e-6, n // 8)),               # the reduction's edges
                 np.sqrt(2.0) * (1.0 + rng.uniform(-1e-6, 1e-6, n // 8)),
                 rng.integers(1, 1 << 52, n // 8).view(np.float64)]                   # subnormals
    else:
        parts = [rng.uniform(-1.0, 3.0, n), np.geomspace(1e-310, 1e308, n // 4),
                 -np.geomspace(1e-310, 1.0, n // 4)[1:],                               # down to -1
                 -1.0 + np.geomspace(2.0 ** -53, 0.5, n // 8),
                 rng.uniform(-0.2929, -0.2928, n // 16), rng.uniform(0.4142, 0.4143, n // 16),   # f = x's edges
                 2.0 ** 53 * (1.0 + rng.uniform(-1e-3, 1e-3, n // 16))]
    return np.ascontiguousarray(np.concatenate(parts))


REFERENCE = {"exp": np.exp, "expm1": np.expm1, "log": np.log, "log1p": np.log1p}


@pytest.mark.skipif(not EXTENDED, reason="the reference needs an extended long double")
@pytest.mark.parametrize("name", ["exp", "expm1", "log", "log1p"])
def test_under_one_ulp_and_the_same_bits_on_every_route(name):
    x = _arguments(name)
    got = {route: ct.elementary(name, x, route) for route in ROUTES}
    for route in ROUTES[1:]:
        np.testing.assert_array_equal(got[route].view(np.int64), got["scalar"].view(np.int64))
    y = got["scalar"]
    with np.errstate(all="ignore"):
        ref = REFERENCE[name](x.astype(np.longdouble))
    finite = np.isfinite(ref) & (np.abs(ref) < np.longdouble(np.finfo(np.float64).max))
    nearest = ref[finite].astype(np.float64)
    ulp = np.spacing(np.abs(nearest)).astype(np.longdouble)
    err = np.abs(y[finite].astype(np.longdouble) - ref[finite]) / ulp
    worst = int(np.argmax(err))
    assert err[worst] < 1.0, f"{name}({x[finite][worst]!r}) = {y[finite][worst]!r}, {float(err[worst]):.3f} ulp"
    # Overflow and underflow where the double result does.
    with np.errstate(over="ignore"):
        np.testing.assert_array_equal(y[~finite], ref[~finite].astype(np.float64))


@pytest.mark.parametrize("route", ROUTES)
def test_special_values(route):
    inf, nan = np.inf, np.nan

    def f(name, values):
        return ct.elementary(name, np.array(values, dtype=np.float64), route)

    np.testing.assert_array_equal(f("exp", [0.0, -0.0, inf, -inf, 709.8, -745.2, 1e308, -1e308]),
                                  [1.0, 1.0, inf, 0.0, inf, 0.0, inf, 0.0])
    np.testing.assert_array_equal(f("expm1", [0.0, -0.0, inf, -inf, 709.8, -40.0, 1e-300, -5e-324]),
                                  [0.0, -0.0, inf, -1.0, inf, -1.0, 1e-300, -5e-324])
    assert np.signbit(f("expm1", [-0.0])[0])
    np.testing.assert_array_equal(f("log", [1.0, 0.0, -0.0, inf, 5e-324]), [0.0, -inf, -inf, inf, np.log(5e-324)])
    np.testing.assert_array_equal(f("log1p", [0.0, -1.0, inf, 1e-300, -1e-300, 5e-324]),
                                  [0.0, -inf, inf, 1e-300, -1e-300, 5e-324])
    for name, bad in (("exp", [nan]), ("expm1", [nan]), ("log", [nan, -1.0, -inf, -5e-324]), ("log1p", [nan, -1.5, -inf])):
        assert np.isnan(f(name, bad)).all()


def test_pinned_bits():
    """These are the bits on every machine, compiler and C library: the
    functions use nothing but IEEE arithmetic in a fixed order."""
    x = np.array([0.5, 1.0, 2.0, 10.0, -3.25, 700.0, -740.0, 1e-8, 123.456, 0.1])
    pinned = {
        "exp": PINNED_EXP,
        "log": PINNED_LOG,
        "log1p": PINNED_LOG1P,
    }
    for name, want in pinned.items():
        args = np.abs(x) if name == "log" else np.maximum(x, -0.5)
        for route in ROUTES:
            got = [float(v).hex() for v in ct.elementary(name, args, route)]
            assert got == want, (name, route)


PINNED_EXP = ['0x1.a61298e1e069cp+0', '0x1.5bf0a8b14576ap+1', '0x1.d8e64b8d4ddaep+2', '0x1.5829dcf950560p+14',
              '0x1.368b2fc6f960ap-1', '0x1.d945df4f8ec8ep+1009', '0x1.368b2fc6f960ap-1', '0x1.0000002af31dcp+0',
              '0x1.1428e1cbc0143p+178', '0x1.1aec7b35a00d4p+0']
PINNED_LOG = ['-0x1.62e42fefa39efp-1', '0x0.0p+0', '0x1.62e42fefa39efp-1', '0x1.26bb1bbb55516p+1',
              '0x1.2dbc55768deb3p+0', '0x1.a344e6741ebabp+2', '0x1.a6d35b4d755a7p+2', '-0x1.26bb1bbb55516p+4',
              '0x1.343774f3e2362p+2', '-0x1.26bb1bbb55515p+1']
PINNED_LOG1P = ['0x1.9f323ecbf984cp-2', '0x1.62e42fefa39efp-1', '0x1.193ea7aad030ap+0', '0x1.32ee3b77f374cp+1',
                '-0x1.62e42fefa39efp-1', '0x1.a35c4a0a661ecp+2', '-0x1.62e42fefa39efp-1', '0x1.5798ee0636111p-27',
                '0x1.34bba22cd5df5p+2', '0x1.8663f793c46c7p-4']


def test_criteria_are_pinned_to_their_bits():
    """The linear and repeated-measures criteria of exactly representable
    data at fixed parameters: their bits, the same on every machine,
    compiler and C library (their logarithms and exponentials are the
    core's own)."""
    from corvane import LmmCore, MmrmCore

    i = np.arange(60)
    g = (i // 5).astype(np.int64)
    x = ((i % 7) - 3) / 4.0
    X = np.column_stack([np.ones(60), x])
    y = ((i * 11) % 9) / 3.0 + 2.0 * x
    got = {}
    for evaluator in ("blocks", "streaming"):
        core = LmmCore(y, X, X.copy(), g, 12, evaluator)
        got[f"lmm {evaluator}"] = [core.deviance([0.9, 0.1, 0.2]).hex(),
                                   core.deviance([0.9, 0.1, 0.2], reml=False).hex()]
    visit = (i % 5).astype(np.int64)
    Xm = np.column_stack([np.ones(60)] + [visit == v for v in range(1, 5)]).astype(float)
    ym = ((i * 11) % 9) / 3.0 + visit
    for structure, theta in (("us", np.linspace(-0.2, 0.3, 15)), ("ar1", np.array([0.1, 0.4]))):
        core = MmrmCore(ym, Xm, g, visit, np.zeros(60, np.int64), 12, 5, 1, structure, None)
        got[f"mmrm {structure}"] = [core.evaluate(theta, True, 0)["criterion"].hex()]
    assert got == {
        "lmm blocks": ["0x1.59d6aba8bf28ap+7", "0x1.55e2a6ba06362p+7"],
        "lmm streaming": ["0x1.59d6aba8bf28ap+7", "0x1.55e2a6ba06362p+7"],
        "mmrm us": ["0x1.452ca39483a2cp+7"],
        "mmrm ar1": ["0x1.466af1a55f8c0p+7"],
    }
