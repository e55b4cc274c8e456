"""Formulas as R users write them, and formulas that cannot run code.

Transforms that depend on the data (poly, scale, center, bs) against lme4
(tests/r/formula_transforms.R), with predictions on new rows from the
training data's basis; columns named like the formula library's functions;
decimal and date columns; the order and spelling of lmm's arguments; and a
battery of formulas that try to run code, through lmm and the command line.
"""

import datetime
import decimal
import json
import os
import re

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
pytest.importorskip("formulaic")

import corvane  # noqa: E402
from corvane import LinearMixedModel  # noqa: E402
from test_cli import run  # noqa: E402

pytestmark = [pytest.mark.reference]

DATA = os.path.join(os.path.dirname(__file__), "data")
with open(os.path.join(DATA, "formula_transforms.json")) as f:
    LME4 = json.load(f)


@pytest.fixture(scope="module")
def ss():
    return pd.read_csv(os.path.join(DATA, "sleepstudy.csv"))


@pytest.fixture(scope="module")
def fits(ss):
    return {key: corvane.lmm(ref["formula"], ss, reml=ref["reml"]) for key, ref in LME4.items()}


# ---------------------------------------------------------------- transforms, against lme4

@pytest.mark.parametrize("key", list(LME4))
def test_transforms_match_lme4(fits, key):
    ref, res = LME4[key], fits[key]
    assert res.converged
    # Never worse than lme4's optimum, and the same to 1e-9.
    assert res.criterion <= ref["criterion"] + 1e-9 * ref["criterion"]
    assert res.criterion == pytest.approx(ref["criterion"], rel=1e-9)
    # The same columns as R's (orthonormal poly with R's signs; bs's knots).
    np.testing.assert_allclose(res.model.X[:10], ref["x_first_subject"], rtol=1e-10, atol=1e-12)
    np.testing.assert_allclose(res.fitted_values, ref["fitted"], rtol=1e-7)
    np.testing.assert_allclose(res.beta, ref["beta"], rtol=1e-6)


@pytest.mark.parametrize("key", list(LME4))
def test_predictions_reuse_the_training_state(ss, fits, key):
    ref, res = LME4[key], fits[key]
    # New rows (some beyond the training range): R's predict(fit, newdata, re.form = NA).
    new = pd.DataFrame({"Days": ref["new_days"]})
    np.testing.assert_allclose(res.predict(new, include_random=False), ref["predict_new"], rtol=1e-9)
    # A subset of the training rows, whose own mean, scale and basis differ: the fitted values.
    rows = ss[ss.Days.isin([2, 3, 7])]
    np.testing.assert_allclose(res.predict(rows), res.fitted_values[rows.index], rtol=1e-12)


def test_transforms_of_data_read_in_batches(fits):
    pa = pytest.importorskip("pyarrow")
    ref = LME4["poly2"]
    table = pa.Table.from_pandas(pd.read_csv(os.path.join(DATA, "sleepstudy.csv")))
    res = corvane.lmm(ref["formula"], table)
    assert res.criterion == pytest.approx(fits["poly2"].criterion, rel=1e-12)


# ---------------------------------------------------------------- names: the data come first

@pytest.mark.parametrize("name", ["Treatment", "Sum", "C", "I", "scale", "poly", "log", "np", "center"])
def test_a_column_named_like_a_library_name_is_the_column(ss, name):
    df = ss.assign(Type=np.where(ss.Subject % 2 == 0, "even", "odd"), B=np.where(ss.Days > 4, "late", "early"),
                   x=ss.Days * 0.5)
    ref = corvane.lmm("Reaction ~ Type * B + x + (x | Subject)", df)
    res = corvane.lmm(f"Reaction ~ Type * {name} + {name}2 + ({name}2 | Subject)",
                      df.rename(columns={"B": name, "x": f"{name}2"}))
    assert res.criterion == pytest.approx(ref.criterion, rel=1e-12)
    np.testing.assert_allclose(res.beta, ref.beta, rtol=1e-10)
    # A numeric column of that name in an interaction with a numeric column.
    res = corvane.lmm(f"Reaction ~ Days * {name} + (1 | Subject)", ss.assign(**{name: (ss.Days - 4.5) ** 2}))
    ref = corvane.lmm("Reaction ~ Days * w + (1 | Subject)", ss.assign(w=(ss.Days - 4.5) ** 2))
    assert res.criterion == pytest.approx(ref.criterion, rel=1e-12)


@pytest.mark.parametrize("formula", ["Reaction ~ log(Days + 1) + (1 | Subject)",
                                     "Reaction ~ np.where(Days > 4, 1.0, 0.0) + (np.sqrt(Days) | Subject)",
                                     "Reaction ~ scale(Days) + (1 | Subject)"])
def test_a_called_name_is_the_function_beside_such_columns(ss, formula):
    res = corvane.lmm(formula, ss)
    shadows = ss.assign(log=-1.0, np=7.0, scale=3.0, where=1.0)
    again = corvane.lmm(formula, shadows)
    assert again.criterion == pytest.approx(res.criterion, rel=1e-12)
    # New data with those columns too: the formula's functions, not the columns.
    np.testing.assert_allclose(res.predict(shadows), res.fitted_values, rtol=1e-12)


@pytest.mark.parametrize("formula, match", [
    ("Reaction ~ log + log(Days + 1) + (1 | Subject)", "'log' is used both as a column and as a function"),
    ("Reaction ~ np + np.log(Days + 1) + (1 | Subject)", "'np' is used both as a column and as a function"),
    ("Reaction ~ Days + (1 | Subject) + exp10(Days)", "calls 'exp10', which a formula may not call"),
    ("Reaction ~ Days(2) + (1 | Subject)", "'Days' is a column, not a function"),
    ("Reaction ~ I(np.mean(Days)) + (1 | Subject)", "np.mean is not among the attributes"),
])
def test_names_that_cannot_be_meant(ss, formula, match):
    with pytest.raises(ValueError, match=re.escape(match)):
        corvane.lmm(formula, ss.assign(log=1.0, np=2.0))


# ---------------------------------------------------------------- decimal and date columns

def _decimals(values):
    return [decimal.Decimal(repr(float(v))) for v in values]


@pytest.mark.parametrize("kind", ["predictor", "response", "arrow", "arrow-dtype"])
def test_decimal_columns_are_numbers(ss, kind):
    ref = corvane.lmm("Reaction ~ Days + (Days | Subject)", ss)
    if kind == "response":
        data, formula = ss.assign(Reaction=_decimals(ss.Reaction)), "Reaction ~ Days + (Days | Subject)"
    else:
        data, formula = ss.assign(D=_decimals(ss.Days)), "Reaction ~ D + (D | Subject)"
    if kind.startswith("arrow"):
        pa = pytest.importorskip("pyarrow")
        data = pa.Table.from_pandas(ss).append_column("D", pa.array(_decimals(ss.Days), pa.decimal128(6, 1)))
        if kind == "arrow-dtype":
            data = data.to_pandas(types_mapper=pd.ArrowDtype)
    res = corvane.lmm(formula, data)
    assert res.criterion == pytest.approx(ref.criterion, rel=1e-12)
    np.testing.assert_allclose(res.beta, ref.beta, rtol=1e-10)
    # Decimals in new data are numbers too, on both ways of building the columns.
    for f in ("Reaction ~ Days + (Days | Subject)", "Reaction ~ I(Days * 1) + (1 | Subject)"):
        fit = corvane.lmm(f, ss)
        np.testing.assert_allclose(fit.predict(ss.assign(Days=_decimals(ss.Days))), fit.fitted_values, rtol=1e-12)


def _dates(ss):
    day = [datetime.date(2020, 1, 1) + datetime.timedelta(days=int(d)) for d in ss.Days]
    return {
        "date objects": day,
        "time objects": [datetime.time(int(d)) for d in ss.Days],
        "periods": pd.PeriodIndex(day, freq="D"),
        "categorical dates": pd.Categorical(day),
    }


@pytest.mark.parametrize("kind", list(_dates(pd.DataFrame({"Days": [0]}))) + ["arrow date32"])
@pytest.mark.parametrize("formula", ["Reaction ~ T + (1 | Subject)", "Reaction ~ C(T) + (1 | Subject)",
                                     "Reaction ~ Days + (1 | Subject) + offset(T)", "T ~ Days + (1 | Subject)"])
def test_date_columns_are_refused_by_name(ss, kind, formula):
    if kind == "arrow date32":
        pa = pytest.importorskip("pyarrow")
        data = pa.Table.from_pandas(ss).append_column("T", pa.array(_dates(ss)["date objects"], pa.date32()))
    else:
        data = ss.assign(T=_dates(ss)[kind])
    with pytest.raises(ValueError, match="column 'T' holds dates or times"):
        corvane.lmm(formula, data)


# ---------------------------------------------------------------- arguments

@pytest.mark.parametrize("call", [corvane.lmm, LinearMixedModel.from_formula])
def test_arguments_swapped_and_REML(ss, call):
    formula = "Reaction ~ Days + (Days | Subject)"
    with pytest.raises(TypeError, match=r"the arguments are swapped: formula is a DataFrame and data is the "
                                        r"formula 'Reaction ~ Days"):
        call(ss, formula)
    with pytest.raises(TypeError, match="give reml= or REML=.*not both"):
        call(formula, ss, reml=False, REML=False)
    with pytest.raises(TypeError, match="REML must be True or False, got 'no'"):
        call(formula, ss, REML="no")
    ml, reml = call(formula, ss, REML=False), call(formula, ss, REML=True)
    if isinstance(ml, LinearMixedModel):
        ml, reml = ml.fit(), reml.fit()
    assert ml.criterion == pytest.approx(corvane.lmm(formula, ss, reml=False).criterion, rel=1e-14)
    assert reml.criterion == pytest.approx(corvane.lmm(formula, ss).criterion, rel=1e-14)


# ---------------------------------------------------------------- formulas that try to run code

# Each would create the file {F} (or reach something that can) if any of it ran.
ESCAPES = [
    "np.__builtins__['__import__']('os').system('touch {F}')",
    "I(np.__builtins__['open']('{F}', 'w'))",
    "__import__('os').system('touch {F}')",
    "I(eval(\"open('{F}', 'w')\"))",
    "I(exec('x = 1'))",
    "I(open('{F}', 'w'))",
    "I(getattr(np, 'lib'))",
    "I((lambda: open('{F}', 'w'))())",
    "I([open('{F}', 'w') for _ in [0]])",
    "I(sum(open('{F}', 'w') for _ in [0]))",
    "I(f'{{open(\"{F}\", \"w\")}}')",
    "np.lib.format.open_memmap('{F}', mode='w+', shape=(1,))",
    "I(np.ctypeslib.as_array(Days))",
    "np.save('{F}', Days)",
    "np.load('{F}')",
    "np.memmap('{F}', mode='w+', shape=(1,))",
    "I(np.frompyfunc(open, 2, 1)('{F}', 'w'))",
    "I('\\x5f\\x5fimport\\x5f\\x5f')",
    "I((z := open('{F}', 'w')))",
    "Days.values.tofile('{F}')",
    "I(Days.__class__)",
    "I(().__class__.__base__.__subclasses__())",
    "I(np.log.__call__(Days))",
    "I(np.e.__class__)",
    "C(Days, contr.__class__)",
    "poly(Days, 2, _state=open('{F}', 'w'))",
    "I(*[open('{F}', 'w')])",
    "{{open('{F}', 'w')}}",
    "I('''a''' + open('{F}', 'w'))",
    "np.where(Days > 2, open('{F}', 'w'), 0)",
    "C(Days, levels=open('{F}', 'w'))",
    "I(`Days` + open('{F}', 'w'))",
    "breakpoint()",
    "I(Days if open('{F}', 'w') else 0)",
    ("I(Days # ) + open('{F}', 'w') + (\n)", "I(Days # )"),
    ("I(\")\") + open('{F}', 'w') + I(\"(\")", 'I(")")'),
]
PARTS = {  # where in the formula the term goes: fixed, response, random, offset
    "fixed": "Reaction ~ Days + {e} + (1 | Subject)",
    "response": "{e} ~ Days + (1 | Subject)",
    "random": "Reaction ~ Days + (1 + {e} | Subject)",
    "offset": "Reaction ~ Days + offset({e}) + (1 | Subject)",
}


def _escape(case, target):
    expr, named = case if isinstance(case, tuple) else (case, case)
    return expr.format(F=target), named.format(F=target)


@pytest.mark.parametrize("part", list(PARTS))
@pytest.mark.parametrize("case", ESCAPES)
def test_formulas_cannot_run_code(ss, tmp_path, case, part):
    target = tmp_path / "pwned"
    expr, named = _escape(case, target)
    with pytest.raises(ValueError, match="term " + re.escape(repr(named))):
        corvane.lmm(PARTS[part].format(e=expr), ss)
    assert not target.exists()


@pytest.mark.parametrize("env, formula, match", [
    ({"os": os}, "Reaction ~ Days + os.system('touch {F}') + (1 | Subject)", r"env\['os'\] is a module"),
    ({"p": os.path}, "Reaction ~ Days + (1 | Subject)", r"env\['p'\] is a module"),
    ({"ev": eval}, "Reaction ~ Days + I(ev(\"open('{F}', 'w')\")) + (1 | Subject)", "the built-in 'eval'"),
    ({"op": open}, "Reaction ~ Days + I(op('{F}', 'w')) + (1 | Subject)", "the built-in 'open'"),
    ({"f": np.sqrt}, "Reaction ~ Days + I(f.__self__) + (1 | Subject)", "the attribute '__self__'"),
    ({"__builtins__": {}}, "Reaction ~ Days + (1 | Subject)", "names beginning with '__'"),
])
def test_env_cannot_open_a_door(ss, tmp_path, env, formula, match):
    target = tmp_path / "pwned"
    with pytest.raises(ValueError, match=match):
        corvane.lmm(formula.format(F=target), ss, env=env)
    assert not target.exists()


@pytest.mark.parametrize("case, part", [
    (ESCAPES[0], "fixed"), (ESCAPES[13], "fixed"), (ESCAPES[19], "response"), (ESCAPES[8], "random"),
    (ESCAPES[1], "offset"), (ESCAPES[-1], "fixed"),
])
def test_the_command_line_cannot_run_code(ss, tmp_path, case, part):
    target = tmp_path / "pwned"
    expr, named = _escape(case, target)
    path = tmp_path / "ss.csv"
    ss.to_csv(path, index=False)
    proc = run("fit", str(path), PARTS[part].format(e=expr))
    assert proc.returncode == 2 and proc.stdout == ""
    assert f"term {named!r}" in proc.stderr and "Traceback" not in proc.stderr
    assert not target.exists()


# ---------------------------------------------------------------- R's spellings, against lme4

with open(os.path.join(DATA, "formula_spellings.json")) as f:
    SPELLINGS = json.load(f)
SPELLING_NEW = pd.DataFrame(SPELLINGS.pop("new"))


@pytest.fixture(scope="module")
def spelled():
    return pd.read_csv(os.path.join(DATA, "formula_spellings.csv"))


@pytest.mark.parametrize("key", list(SPELLINGS))
def test_r_spellings_match_lme4(spelled, key):
    # factor() / as.factor(), '%in%', dotted names inside calls and as the
    # grouping, and a response or offset that is arithmetic (tests/r/formula_spellings.R).
    ref = SPELLINGS[key]
    res = corvane.lmm(ref["formula"], spelled, reml=ref["reml"])
    assert len(res.fe_names) == len(ref["names"])
    assert res.criterion <= ref["criterion"] + 1e-9 * abs(ref["criterion"])
    assert res.criterion == pytest.approx(ref["criterion"], rel=1e-9)
    np.testing.assert_allclose(res.beta, ref["beta"], rtol=1e-5, atol=1e-7)
    np.testing.assert_allclose(res.fitted_values, ref["fitted"], rtol=1e-7)
    # New rows: the training state (poly's basis) and the offsets, as R's predict(re.form = NA).
    np.testing.assert_allclose(res.predict(SPELLING_NEW, include_random=False), ref["predict_new"], rtol=1e-8)


@pytest.mark.parametrize("formula, match", [
    ("y ~ C(pass) + (1 | grp.id)", "the column 'pass' is a Python keyword"),
    ("y ~ I(class * 2) + (1 | grp.id)", "the column 'class' is a Python keyword"),
    ("y ~ as.numeric(x.1) + (1 | grp.id)", "'as.numeric' is called, which a formula may not call"),
    ("y ~ I(x.1 - mean(x.1)) + (1 | grp.id)", "mean(`x.1`) calls 'mean', which a formula may not call (a summary "
                                              "over the rows would be recomputed on the rows of new data: center(x)"),
])
def test_r_names_python_cannot_read_are_named(spelled, formula, match):
    data = spelled.assign(**{"pass": spelled.k > 1, "class": spelled.k})
    with pytest.raises(ValueError, match=re.escape(match)):
        corvane.lmm(formula, data)


@pytest.mark.parametrize("formula, named", [
    ("Reaction ~ factor(open('{F}', 'w')) + (1 | Subject)", "C(open("),
    ("Reaction ~ as.factor(__import__('os')) + (1 | Subject)", "C(__import__("),
    ("Reaction ~ Days %in% open('{F}', 'w') + (1 | Subject)", "Days : open("),
    ("Reaction ~ I(Days %in% open('{F}', 'w')) + (1 | Subject)", "I(Days %in% open("),
    ("Reaction - open('{F}', 'w') ~ Days + (1 | Subject)", "open("),
    ("Reaction^open('{F}', 'w') ~ Days + (1 | Subject)", "Reaction^open("),
    ("Reaction ~ Days + offset(Days - open('{F}', 'w')) + (1 | Subject)", "open("),
    ("Reaction ~ Days + (as.factor(Days.__class__) | Subject)", "C(Days.__class__)"),
])
def test_r_spellings_cannot_run_code(ss, tmp_path, formula, named):
    target = tmp_path / "pwned"
    with pytest.raises(ValueError, match="term ['\"]" + re.escape(named)):
        corvane.lmm(formula.format(F=target), ss)
    assert not target.exists()


@pytest.mark.parametrize("text", ["x", "x + f", "x * f - 1", "0 + x:f + g", "x.1 * `a b`", "log(x) + f", "x ** 2",
                                  "x + unknown", "."])
def test_plain_texts_read_what_the_tokenizer_reads(text):
    """A term of column names, numbers and operators is read without the
    formula library's tokenizer: the same columns as the tokenizer's, and
    anything else goes to the tokenizer (and its refusals)."""
    from corvane.formula.safety import check_text

    columns = ["x", "f", "g", "x.1", "a b"]

    def read():
        try:
            return check_text(text, text, columns, set(), f"y ~ {text}")
        except ValueError as exc:
            return type(exc)
    fast = read()
    with corvane.general_route():
        assert read() == fast
