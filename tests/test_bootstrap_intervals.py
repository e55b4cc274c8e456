"""confint's bootstrap, one spelling for both families: method="bootstrap"
or lme4's "boot", with n, seed and progress; the table is the percentiles of
bootstrap(n, seed)'s replicates."""

import os

import pandas as pd
import pytest

import corvane
from corvane._example import example_frame

pytestmark = [pytest.mark.wheel]

pytest.importorskip("scipy")
HERE = os.path.dirname(__file__)


@pytest.fixture(scope="module")
def fits():
    cbpp = pd.read_csv(os.path.join(HERE, "data", "cbpp.csv"))
    return {"linear": corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame()),
            "generalized": corvane.glmm("cbind(incidence, size - incidence) ~ period + (1 | herd)", cbpp)}


@pytest.mark.parametrize("family", ["linear", "generalized"])
def test_both_spellings_honour_n_and_seed(fits, family):
    r = fits[family]
    table = r.confint(method="bootstrap", n=60, seed=3, progress=False)
    pd.testing.assert_frame_equal(r.confint(method="boot", n=60, seed=3, progress=False), table, check_exact=True)
    # The percentiles of exactly n replicates drawn from that seed.
    boot = r.bootstrap(60, seed=3, progress=False)
    assert len(boot.replicates) == 60
    pd.testing.assert_frame_equal(boot.confint(), table, check_exact=True)
    assert not r.confint(method="boot", n=60, seed=4, progress=False).equals(table)
    assert not r.confint(method="boot", n=61, seed=3, progress=False).equals(table)
    # which= picks rows of the same table.
    name = r.fe_names[1]
    pd.testing.assert_frame_equal(r.confint(method="boot", which=[name], n=60, seed=3, progress=False),
                                  table.loc[[name]], check_exact=True)


@pytest.mark.parametrize("family", ["linear", "generalized"])
def test_defaults_are_1000_replicates_from_seed_0(fits, family):
    r = fits[family]
    pd.testing.assert_frame_equal(r.confint(method="boot", progress=False),
                                  r.bootstrap(1000, seed=0, progress=False).confint(), check_exact=True)


@pytest.mark.parametrize("family", ["linear", "generalized"])
@pytest.mark.parametrize("kwargs, error, message", [
    ({"method": "exact"}, ValueError, r"method must be 'wald', 'profile' or 'bootstrap' \(or 'boot'\), got 'exact'"),
    ({"method": "Boot"}, ValueError, "method must be"),
    ({"n": 10}, TypeError, "n is for method='bootstrap', not method='wald'"),
    ({"method": "profile", "seed": 1, "n": 5}, TypeError, "n, seed are for method='bootstrap'"),
])
def test_unknown_methods_and_misplaced_arguments_are_refused(fits, family, kwargs, error, message):
    with pytest.raises(error, match=message):
        fits[family].confint(**kwargs)
