"""The coefficients of the core's erfc (src/linalg/erfc.hpp): on each range
a Chebyshev interpolant at 60 digits of the function the code evaluates,
of the lowest degree whose error (coefficients rounded to doubles) is a
quarter of the range's target, written as monomials about a double near the
interval's middle. Run: python tests/data/make_erfc_coefficients.py (needs
mpmath) and paste its output into erfc.hpp.
"""

import mpmath as mp

mp.mp.dps = 60


def cheb_fit(f, a, b, deg):
    """Chebyshev interpolant of f on [a, b] at deg+1 Chebyshev nodes, as
    monomial coefficients in u = v - c (c = the double nearest the middle)."""
    a, b = mp.mpf(a), mp.mpf(b)
    n = deg + 1
    nodes = [mp.cos(mp.pi * (k + mp.mpf(1) / 2) / n) for k in range(n)]
    xs = [(a + b) / 2 + (b - a) / 2 * t for t in nodes]
    fs = [f(x) for x in xs]
    # Chebyshev coefficients
    c = []
    for j in range(n):
        s = mp.fsum(fs[k] * mp.cos(mp.pi * j * (k + mp.mpf(1) / 2) / n) for k in range(n))
        c.append(2 * s / n if j else s / n)
    # convert to monomials in w = (v - mid)/half
    # T_j(w) polynomial coefficients
    T = [[mp.mpf(1)], [mp.mpf(0), mp.mpf(1)]]
    for j in range(2, n):
        prev, prev2 = T[j - 1], T[j - 2]
        nxt = [mp.mpf(0)] * (j + 1)
        for i, v in enumerate(prev):
            nxt[i + 1] += 2 * v
        for i, v in enumerate(prev2):
            nxt[i] -= v
        T.append(nxt)
    mono_w = [mp.mpf(0)] * n
    for j in range(n):
        for i, v in enumerate(T[j]):
            mono_w[i] += c[j] * v
    mid = float((a + b) / 2)
    half = (b - a) / 2
    # w = (v - mid_exact_of_interval)/half; we evaluate in u = v - mid (mid a double)
    shift = (mp.mpf(mid) - (a + b) / 2) / half  # w = u/half + shift
    # polynomial in u: sum mono_w[i] (u/half + shift)^i
    mono_u = [mp.mpf(0)] * n
    for i in range(n):
        for k in range(i + 1):
            mono_u[k] += mono_w[i] * mp.binomial(i, k) * (shift ** (i - k)) / half ** k
    return mid, [float(v) for v in mono_u]

def evalp(coef, u):
    s = mp.mpf(0)
    for cf in reversed(coef):
        s = s * u + mp.mpf(cf)
    return s

def check(f, a, b, mid, coef, scale, m=400):
    worst = 0
    for k in range(m + 1):
        v = mp.mpf(a) + (mp.mpf(b) - mp.mpf(a)) * k / m
        e = abs(evalp(coef, v - mp.mpf(mid)) - f(v)) / scale(v)
        worst = max(worst, e)
    return worst

# Region A: P_A(t) = erf(sqrt t)/sqrt t - 1, t in [0, 0.84375^2]
def fA(t):
    if t == 0: return 2 / mp.sqrt(mp.pi) - 1
    r = mp.sqrt(t); return mp.erf(r) / r - 1
# Region B: erf(1 + s) - 0.84375, s in [-0.15625, 0.25]
def fB(s): return mp.erf(1 + s) - mp.mpf("0.84375")
# Region C: G(t) = log(x erfc(x)) + x^2 + 0.5625, x = 1/sqrt(t)
def fC(t):
    x = 1 / mp.sqrt(t); return mp.log(x * mp.erfc(x)) + x * x + mp.mpf("0.5625")

targets = {"A": 3e-18, "B1": 1.4e-18, "B2": 1.4e-18, "C1a": 1e-17, "C1b": 1e-17, "C2": 1e-17, "C3": 1e-17}
specs = [("A", fA, 0.0, 0.84375 ** 2, lambda v: mp.mpf(1)),
         ("B1", fB, -0.15625, 0.046875, lambda v: mp.mpf(1)),
         ("B2", fB, 0.046875, 0.25, lambda v: mp.mpf(1)),
         ("C1a", fC, 1 / 1.75 ** 2, 1 / 1.25 ** 2, lambda v: mp.mpf(1)),
         ("C1b", fC, 1 / 2.5 ** 2, 1 / 1.75 ** 2, lambda v: mp.mpf(1)),
         ("C2", fC, 1 / 5.0 ** 2, 1 / 2.5 ** 2, lambda v: mp.mpf(1)),
         ("C3", fC, 1 / 26.5 ** 2, 1 / 5.0 ** 2, lambda v: mp.mpf(1))]
out = {}
for name, f, a, b, scale in specs:
    best = None
    for d in range(4, 30):
        mid, coef = cheb_fit(f, a, b, d)
        err = check(f, a, b, mid, coef, scale, m=200)
        if best is None or err < best[0]: best = (err, d, mid, coef)
        if err < targets[name] / 4: break
    out[name] = (a, b, best[2], best[3])

for name in ["A", "B1", "B2", "C1a", "C1b", "C2", "C3"]:
    a, b, mid, coef = out[name]
    cname = "k" + name.replace("1a", "1A").replace("1b", "1B")
    print(f"// [{a!r}, {b!r}], in u = v - {mid!r}")
    print(f"inline constexpr double {cname}Mid = {mid!r};")
    print(f"inline constexpr double {cname}[{len(coef)}] = {{")
    for i in range(0, len(coef), 3):
        print("    " + ", ".join(f"{v:.17g}" for v in coef[i:i + 3]) + ",")
    print("};")
