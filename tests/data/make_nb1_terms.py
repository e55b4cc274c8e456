"""Reference values of the NB1 negative binomial's row terms, for
tests/test_glmm_rows.py: the log-density less its constant,
F(eta) = log Gamma(y + r) - log Gamma(r) - r log1p(alpha) with
r = exp(eta) / alpha, and its first four derivatives in eta, with mpmath at
50 digits (derivatives by its own numerical differentiation at that
precision). Run: python tests/data/make_nb1_terms.py > tests/data/nb1_terms.json
"""

import json

import mpmath as mp

mp.mp.dps = 50
rows = []
for alpha in ("1e-6", "0.3", "2", "50"):
    for y in (0, 1, 3, 17, 255, 256, 300, 5000, 2.5, 1e6):
        for eta in (-8.0, -1.0, 0.5, 3.0, 9.0):
            a = mp.mpf(alpha)

            def f(e, a=a, y=y):
                r = mp.exp(e) / a
                return mp.loggamma(y + r) - mp.loggamma(r) - r * mp.log1p(a)

            e = mp.mpf(eta)
            values = [f(e)] + [mp.diff(f, e, k) for k in (1, 2, 3, 4)]
            rows.append({"eta": eta, "y": y, "alpha": float(alpha), "terms": [mp.nstr(v, 20) for v in values]})
print(json.dumps({"rows": rows}, indent=0))
