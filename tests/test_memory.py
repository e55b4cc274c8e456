"""What stays allocated: a single evaluation gives its large workspace back, a
fit keeps reusing one, and a new response shares the design instead of
copying it. Each figure comes from a child interpreter's resident memory."""

import json

import pytest

from conftest import UNDER_ASAN, linux_only, run_child

pytestmark = [pytest.mark.native,
              pytest.mark.skipif(UNDER_ASAN, reason="memory figures are not meaningful under ASan"), linux_only]

SETUP = r"""
import json
import numpy as np
from corvane import LmmCore

def rss_mib():
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) for l in f if l.startswith("VmRSS")) / 1024

def core(m, p, q, evaluator="blocks", per=2):
    rng = np.random.default_rng(1)
    n = m * per
    codes = np.repeat(np.arange(m, dtype=np.int64), per)
    x, z, y = rng.standard_normal((n, p)), rng.standard_normal((n, q)), rng.standard_normal(n)
    return LmmCore(y, x, z, codes, m, evaluator), (y, x, z, codes)
"""


def test_large_workspace_is_not_kept_between_calls():
    # m = 2e5, p = 10, q = 3: the blocks kernel's gradient workspace is 78 MiB.
    out = run_child(SETUP + r"""
c, arrays = core(200_000, 10, 3)
del arrays
theta = [1.0, 0.1, 0.0, 1.0, 0.2, 1.0]
before = rss_mib()
c.deviance_grad(theta)
after_one = rss_mib()
for _ in range(3):
    c.deviance_grad(theta)
after_more = rss_mib()
c.fit(theta, max_iter=5)
after_fit = rss_mib()
print(json.dumps([after_one - before, after_more - before, after_fit - before]))
""")
    one, more, fit = json.loads(out)
    assert one < 8 and more < 8, (one, more)
    assert fit < 20, fit   # the fit's result dictionary holds (m, q) arrays


def test_a_new_response_shares_the_design():
    # The design's products are 52 MiB; a new response must add only its own
    # m*q Z'y values (4.6 MiB) and the small fixed products.
    out = run_child(SETUP + r"""
results = {}
for evaluator in ("blocks", "aggregated"):
    c, (y, x, z, codes) = core(200_000, 10, 3, evaluator, per=3)
    if evaluator == "aggregated":
        z = np.ascontiguousarray(np.tile(np.eye(3), (200_000, 1)))   # one class
        c = LmmCore(y, x, z, codes, 200_000, evaluator)
    before = rss_mib()
    kept = [c.with_response(y * (k + 2.0), x, z, codes) for k in range(5)]
    results[evaluator] = (rss_mib() - before) / len(kept)
    del kept, c
print(json.dumps(results))
""")
    limit = 2 * 200_000 * 3 * 8 / 2**20 + 1.0
    for evaluator, per_response in json.loads(out).items():
        assert per_response <= limit, (evaluator, per_response, limit)
