"""The examples in the public docstrings run and print what they show."""

import doctest
import importlib

import pytest

MODULES = ["corvane", "corvane.model", "corvane.result", "corvane.predict", "corvane.tables",
           "corvane.satterthwaite", "corvane.profile", "corvane.bootstrap", "corvane.plots", "corvane.glmm",
           "corvane.glmm_result", "corvane.emmeans", "corvane.reduction", "corvane.r2", "corvane.kenward_roger"]


@pytest.mark.parametrize("name", MODULES)
def test_docstring_examples(name):
    pytest.importorskip("pandas")
    pytest.importorskip("scipy")
    if name == "corvane.plots":
        pytest.importorskip("matplotlib")
    module = importlib.import_module(name)
    failures, tried = doctest.testmod(module, optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    assert failures == 0
    assert tried > 0


def test_help_shows_the_formula_syntax():
    import corvane

    doc = corvane.lmm.__doc__
    for piece in ("(terms | group)", "offset(expr)", "I(expr)", "C(x)", "weights"):
        assert piece in doc
