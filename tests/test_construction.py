"""Every way of building a model gives the same model: arrays, a formula over
a table, the same table read in batches, an ML refit sharing the core, and a
new response on the same design."""

import pickle
import warnings

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
pytest.importorskip("formulaic")

import corvane  # noqa: E402
from corvane._example import example_arrays, example_frame  # noqa: E402

pytestmark = [pytest.mark.native]

FORMULA = "Reaction ~ Days + (Days | Subject)"


def _numbers(result):
    return np.concatenate([result.beta, result.theta, [result.sigma, result.criterion]])


@pytest.fixture(scope="module")
def arrays_model():
    a = example_arrays()
    return corvane.LinearMixedModel(a["y"], a["X"], a["Z"], a["groups"], x_names=a["x_names"],
                                    z_names=a["z_names"])


@pytest.mark.parametrize("reml", [True, False])
def test_arrays_and_formula_build_the_same_model_bit_for_bit(arrays_model, reml):
    a = example_arrays()
    from_arrays = corvane.LinearMixedModel(a["y"], a["X"], a["Z"], a["groups"], reml, x_names=a["x_names"],
                                           z_names=a["z_names"]).fit()
    from_formula = corvane.lmm(FORMULA, example_frame(), reml)
    assert np.array_equal(_numbers(from_arrays), _numbers(from_formula))
    assert from_arrays.fe_names == from_formula.fe_names == ["(Intercept)", "Days"]


def test_batched_read_gives_the_in_memory_model():
    pa = pytest.importorskip("pyarrow")
    frame = example_frame()
    batched = corvane.lmm(FORMULA, pa.Table.from_pandas(frame))
    in_memory = corvane.lmm(FORMULA, frame)
    assert not batched.model.rows_kept
    np.testing.assert_allclose(_numbers(batched), _numbers(in_memory), rtol=1e-9, atol=1e-9)
    assert batched.group_labels == in_memory.group_labels


@pytest.mark.parametrize("source", ["frame", "arrow"])
def test_ml_refit_shares_the_core_and_equals_a_fresh_ml_fit(source):
    frame = example_frame()
    data = frame if source == "frame" else pytest.importorskip("pyarrow").Table.from_pandas(frame)
    model = corvane.LinearMixedModel.from_formula(FORMULA, data)
    ml = model.with_reml(False)
    assert ml.core is model.core and not ml.reml and model.reml
    assert model.with_reml(True) is model
    fresh = corvane.lmm(FORMULA, data, reml=False)
    assert np.array_equal(_numbers(ml.fit()), _numbers(fresh))
    assert ml.rows_kept == model.rows_kept and ml.group_labels == model.group_labels


def test_a_new_response_is_checked_as_a_first_one(arrays_model):
    with pytest.raises(ValueError, match="the new response is constant"):
        arrays_model.refit(np.full(arrays_model.n, 3.0))
    with pytest.raises(ValueError, match="y_new has 1 missing value"):
        arrays_model.refit(np.where(np.arange(arrays_model.n) == 7, np.nan, 1.0))
    # The same response again: the fit it started from.
    y = arrays_model.y
    np.testing.assert_allclose(_numbers(arrays_model.refit(y)), _numbers(arrays_model.fit()), rtol=1e-9)


def test_a_refit_model_pickles_as_its_own(arrays_model):
    y2 = arrays_model.y * 2.0 + 1.0
    first = arrays_model.refit(y2)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        again = pickle.loads(pickle.dumps(first.model)).fit()
    assert np.array_equal(_numbers(again), _numbers(first))
