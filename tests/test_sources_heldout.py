"""Columns and containers as users bring them: numbers held in object
columns (Python numbers, decimals) are numbers, strings of any pandas or
Arrow type are levels alike, predictions take new rows from every container
a fit takes, and data read in parts refuse transforms whose state (a basis,
a mean) the first part alone would give."""

import decimal
import os
import re
import warnings

import numpy as np
import pandas as pd
import pytest

import corvane

pytestmark = [pytest.mark.wheel]

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
pytest.importorskip("formulaic")

DATA = os.path.join(os.path.dirname(__file__), "data")
FORMULA = "y ~ arm * x.1 + dose + (x.1 | g)"


@pytest.fixture(scope="module")
def df():
    d = pd.read_csv(os.path.join(DATA, "formula_spellings.csv")).rename(columns={"grp.id": "g"})
    d.loc[[3, 40, 77], "dose"] = np.nan
    d.loc[[5, 90], "arm"] = None
    return d


def fit(formula, data):
    dask = pytest.importorskip("dask")
    # Dask's default turns object columns into strings; these tests give it numbers.
    with warnings.catch_warnings(), dask.config.set({"scheduler": "synchronous",
                                                      "dataframe.convert-string": False}):
        warnings.simplefilter("ignore")
        return corvane.lmm(formula, data, progress=False)


def _dask(d, npartitions):
    dask = pytest.importorskip("dask")
    dd = pytest.importorskip("dask.dataframe")
    with dask.config.set({"dataframe.convert-string": False}):
        return dd.from_pandas(d, npartitions=npartitions)


def _same(res, ref):
    assert res.fe_names == ref.fe_names
    assert res.n_obs == ref.n_obs
    assert res.criterion == pytest.approx(ref.criterion, rel=1e-10)
    np.testing.assert_allclose(res.beta, ref.beta, rtol=1e-8, atol=1e-10)


def _objects(values, missing_first=False):
    out = pd.Series(values.tolist(), dtype=object)
    if missing_first:
        out[0] = None
    return out


NUMBERS = {
    "Python floats": lambda s: _objects(s),
    "Python floats and None": lambda s: _objects(s, missing_first=True),
    "Python integers": lambda s: _objects(np.round(s).astype(int)),
    "decimals": lambda s: pd.Series([decimal.Decimal(repr(float(v))) for v in s], dtype=object),
}


# Decimals in a pandas DataFrame were numbers already; in Dask partitions they were levels.
@pytest.mark.parametrize("kind, container", [(k, c) for k in NUMBERS for c in ("pandas", "Dask")
                                             if (k, c) != ("decimals", "pandas")])
@pytest.mark.parametrize("formula", ["y ~ k + (1 | g)", "y ~ k * arm + (1 | g)", "y ~ log(k) + (1 | g)",
                                     "k ~ arm + (1 | g)"])
def test_numbers_in_object_columns_are_numbers(df, container, kind, formula):
    # k takes three values: as levels it would be a factor with two dummies.
    plain = df.assign(k=df.k * 0.5 if kind != "Python integers" else df.k)
    objects = plain.assign(k=NUMBERS[kind](plain.k.to_numpy()))
    if kind == "Python floats and None":
        plain = plain.assign(k=objects.k.astype(np.float64))
    ref = fit(formula, plain)
    data = objects
    if container == "Dask":
        data = _dask(objects, 3)
    res = fit(formula, data)
    _same(res, ref)
    np.testing.assert_allclose(res.predict(objects.iloc[1:9]), ref.predict(plain.iloc[1:9]), rtol=1e-10)


def _dictionary(s):
    return s.astype(pd.ArrowDtype(pa.dictionary(pa.int32(), pa.string())))


STRINGS = {
    "string": lambda s: s.astype("string"),
    "string[pyarrow]": lambda s: s.astype("string[pyarrow]"),
    "Arrow large_string": lambda s: s.astype(pd.ArrowDtype(pa.large_string())),
    "Arrow dictionary": _dictionary,
}


@pytest.mark.parametrize("kind", list(STRINGS))
@pytest.mark.parametrize("formula", [FORMULA, "y ~ arm:dose + (1 | g)"])
def test_strings_of_every_type_are_levels(df, kind, formula):
    typed = df.assign(arm=STRINGS[kind](df.arm), g=STRINGS[kind](df.g))
    if kind == "Arrow dictionary":  # the dictionary's order is the level order, as for a categorical
        order = list(dict.fromkeys(df.arm.dropna()))
        plain = df.assign(arm=pd.Categorical(df.arm, categories=order))
    else:
        plain = df
    ref = fit(formula, plain)
    res = fit(formula, typed)
    _same(res, ref)
    np.testing.assert_allclose(res.predict(typed.iloc[:12]), ref.predict(plain.iloc[:12]), rtol=1e-10)


def _containers(d, tmp):
    table = pa.Table.from_pandas(d, preserve_index=False)
    pq.write_table(table, os.path.join(tmp, "new.parquet"))
    os.makedirs(os.path.join(tmp, "parts"))
    for j, part in enumerate((d.iloc[:5], d.iloc[5:])):
        pq.write_table(pa.Table.from_pandas(part, preserve_index=False), os.path.join(tmp, "parts", f"{j}.parquet"))
    out = {"pyarrow Table": table, "Parquet file": os.path.join(tmp, "new.parquet"),
           "Parquet folder": os.path.join(tmp, "parts")}
    out["Dask"] = _dask(d, 2)
    return out


@pytest.mark.parametrize("kind", ["pyarrow Table", "Parquet file", "Parquet folder", "Dask"])
def test_predict_takes_new_rows_from_every_container(df, tmp_path, kind):
    res = fit(FORMULA, df)
    new = df.iloc[[0, 3, 5, 17, 60, 119]].reset_index(drop=True)  # rows with missing values among them
    containers = _containers(new, str(tmp_path))
    for include_random in (True, False):
        expected = res.predict(new, include_random=include_random).to_numpy()
        got = np.asarray(res.predict(containers[kind], include_random=include_random), dtype=np.float64)
        np.testing.assert_allclose(got, expected, rtol=1e-12, equal_nan=True)


@pytest.mark.parametrize("kind", ["Parquet folder", "Dask"])
@pytest.mark.parametrize("formula, named", [
    ("y ~ poly(dose, 2) + (1 | g)", "poly(dose, 2)"),
    ("y ~ arm + (center(x.1) | g)", "center(x_1)"),
    ("scale(y) ~ arm + (1 | g)", "scale(y)"),
])
def test_transforms_with_a_state_refuse_data_read_in_parts(df, tmp_path, kind, formula, named):
    data = _containers(df, str(tmp_path))[kind]
    with pytest.raises(ValueError, match=r"the formula's .*" + re.escape(named) + r".* take.? a state from the "
                                         r"data .* is read in parts"):
        fit(formula, data)


def test_decimal_levels_are_sorted_in_every_container(df, tmp_path):
    # C() of a decimal column: the same reference level (the smallest) read whole or in batches.
    d = df.assign(k=[decimal.Decimal(v) for v in ("1.5", "0.5", "1.0")] * (len(df) // 3))
    ref = fit("y ~ C(k) + (1 | g)", d.assign(k=d.k.astype(float)))
    for data in (pa.Table.from_pandas(d, preserve_index=False), _containers(d, str(tmp_path))["Dask"]):
        res = fit("y ~ C(k) + (1 | g)", data)
        assert res.criterion == pytest.approx(ref.criterion, rel=1e-10)
        np.testing.assert_allclose(res.beta, ref.beta, rtol=1e-8)



def test_a_column_used_as_factor_and_number_is_refused_in_batches():
    """Batches code a C()-wrapped column as levels in every part of the
    formula: a random slope on the same column would silently become one
    random effect per level."""
    import pyarrow as pa

    df = pd.read_csv(os.path.join(os.path.dirname(__file__), "data", "sleepstudy.csv"))
    formula = "Reaction ~ C(Days) + (Days | Subject)"
    assert corvane.lmm(formula, df).model.q == 2
    with pytest.raises(ValueError, match="'Days' is used both as a factor"):
        corvane.lmm(formula, pa.Table.from_pandas(df))
