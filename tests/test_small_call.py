"""The small call's direct paths give what the general ones give: the
columns of plain columns and their products against formulaic's, the rows
read without a sub-table against the coerced sub-table's, Arrow strings'
levels against the object path's, the residual check against least
squares on the rows, and readings and plans kept between fits that never
stand for another table."""

import math
import pickle

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
pytest.importorskip("formulaic")
pa = pytest.importorskip("pyarrow")

import corvane  # noqa: E402
from corvane import LmmCore
from corvane.formula import build as matrices
from corvane.design import reparam
from corvane.design import rank as validate  # noqa: E402
from corvane.formula import labels as labels_mod  # noqa: E402
from corvane.formula.labels import factorize  # noqa: E402
from corvane.design.reparam import _locations_scales, reparam_of  # noqa: E402
from corvane.design.rank import exact_fit  # noqa: E402

pytestmark = [pytest.mark.native]


@pytest.fixture(scope="module")
def frame():
    rng = np.random.default_rng(11)
    n, m = 360, 30
    g = np.repeat(np.arange(m), n // m)
    f = rng.choice(["a", "b", "c"], n)
    h = rng.choice(["u", "v"], n)
    x = rng.standard_normal(n)
    b = rng.standard_normal((m, 2))
    y = 1 + x + (f == "b") - 0.5 * (h == "v") * x + b[g, 0] + b[g, 1] * x + rng.standard_normal(n)
    return pd.DataFrame({
        "y": y, "x": x, "z": rng.integers(0, 6, n), "f": f, "h": h,
        "c": pd.Categorical(rng.choice(["m", "k", "j"], n), categories=["m", "k", "j", "unused"]),
        "t": rng.random(n) < 0.4, "x.1": rng.standard_normal(n), "a b": rng.standard_normal(n),
        "o": rng.standard_normal(n) * 0.1, "w": rng.uniform(0.5, 2.0, n), "g": [f"s{k:02d}" for k in g]})


def _same_build(got, want):
    spec, wspec = got[0], want[0]
    assert spec.fixed.columns == wspec.fixed.columns
    assert spec.random.columns == wspec.random.columns
    for a, b in zip(got[1:5], want[1:5]):
        np.testing.assert_array_equal(np.asarray(a), np.asarray(b))
    np.testing.assert_array_equal(np.asarray(got[5]), np.asarray(want[5]))
    assert got[6] == want[6]
    np.testing.assert_array_equal(got[7], want[7])


PRODUCTS = [
    "y ~ x * f + (1 | g)",
    "y ~ f * x + (x | g)",
    "y ~ x:f + (1 | g)",                  # f by indicators: x is not in the model
    "y ~ x + x:f + (1 | g)",
    "y ~ f * h + (1 | g)",
    "y ~ f * c + (1 | g)",                # two factors of several columns: the first fastest
    "y ~ f + f:h + (1 | g)",              # f by indicators inside f:h
    "y ~ h * f * x + (1 | g)",
    "y ~ x * z + (1 | g)",                # numeric by numeric (an integer column)
    "y ~ 0 + f + x:f + (1 | g)",
    "y ~ x * f - 1 + (1 | g)",
    "y ~ f * x - f + (1 | g)",
    "y ~ c * x + (1 | g)",                # a categorical: its order, its unused category left out
    "y ~ x.1 * f + (1 | g)",
    "y ~ `a b` * h + (1 | g)",
    "y ~ t * x + t:f + (1 | g)",          # a boolean column is a number
    "y ~ x + (0 + f | g)",
    "y ~ x * h + offset(o) + (x | g)",
    "y ~ f %in% h + h + (1 | g)",
]


@pytest.mark.filterwarnings("ignore:Constructing a Categorical with a dtype")  # formulaic's, on new rows
@pytest.mark.parametrize("formula", PRODUCTS)
def test_products_are_formulaic_s_columns(frame, formula):
    direct = matrices.build(formula, frame)
    assert isinstance(direct[0].fixed, (matrices.ProductTerms, matrices.DirectTerms))
    assert not isinstance(direct[0].random, matrices.FormulaicTerms)
    with corvane.general_route():
        general = matrices.build(formula, frame)
    assert isinstance(general[0].fixed, matrices.FormulaicTerms)
    _same_build(direct, general)
    for part in ("fixed", "random"):
        a, b = getattr(direct[0], part), getattr(general[0], part)
        assert a.term_slices() == b.term_slices()
        assert a.term_layout() == b.term_layout()
        assert a.variables == b.variables
    # New rows: some levels only, in another order; unseen levels are refused.
    new = frame.iloc[[5, 3, 200, 17]].reset_index(drop=True)
    new = new[new["f"] != "c"]
    np.testing.assert_array_equal(direct[0].fixed.matrix(new, new_data=True),
                                  general[0].fixed.matrix(new, new_data=True))
    if "f" in direct[0].fixed.variables:
        with pytest.raises(ValueError, match="new level 'd' of factor 'f'"):
            direct[0].fixed.matrix(new.assign(f="d"), new_data=True)


@pytest.mark.parametrize("formula", ["y ~ x * f + (x | g)", "y ~ f * h + (x || g)"])
def test_a_later_batch_goes_through_the_first_one_s_products(frame, formula):
    levels = {"f": ["a", "b", "c"], "h": ["u", "v"]}
    first, later = frame.iloc[:200], frame.iloc[200:].reset_index(drop=True)
    spec = matrices.build(formula, first, levels=levels)[0]
    assert isinstance(spec.fixed, matrices.ProductTerms)
    got, want = matrices.build_batch(spec, later, levels), matrices.build(formula, later, levels=levels)
    _same_build((spec,) + got[1:], want)


@pytest.mark.parametrize("formula", ["y ~ f:h + (1 | g)", "y ~ x * (f + h) + (1 | g)", "y ~ poly(x, 2) * f + (1 | g)",
                                     "y ~ f + f:h:x + (1 | g)"])
def test_other_codings_are_left_to_formulaic(frame, formula):
    assert isinstance(matrices.build(formula, frame)[0].fixed, matrices.FormulaicTerms)


def test_a_one_level_factor_in_a_product_is_left_to_formulaic(frame):
    spec = matrices.build("y ~ x * f + (1 | g)", frame.assign(f="a"))[0]
    assert isinstance(spec.fixed, matrices.FormulaicTerms)


def _with_missing(frame):
    out = frame.copy()
    out.loc[3, "x"] = np.nan
    out.loc[7, "f"] = None
    out.loc[11, "c"] = np.nan
    out.loc[13, "g"] = None
    out.loc[19, "w"] = np.nan
    out.loc[out["c"] == "j", "y"] = np.nan  # no row of level j is left: it is no level
    out.loc[out["g"] == "s00", "x"] = np.nan  # nor of group s00
    return out


@pytest.mark.parametrize("strings", ["str", "object", "category"])
@pytest.mark.parametrize("formula", ["y ~ x * f + c + (x | g)", "y ~ x + f + c + (1 | g)", "y ~ x + (x || g)",
                                     "y ~ log(abs(x)) + f + (1 | g)"])
def test_rows_read_directly_are_the_sub_table_s(frame, strings, formula):
    data = _with_missing(frame).astype({"f": strings, "h": strings, "g": strings})
    direct = matrices.build(formula, data, extra=["w"])
    with corvane.general_route():
        coerced = matrices.build(formula, data, extra=["w"])
    assert {3, 13, 19} <= set(np.flatnonzero(~direct[7]).tolist())  # x, the group and the weights
    _same_build(direct, coerced)
    # The group coded on the whole column and cut to the rows kept: factorize's codes of the rows kept.
    codes, labels = matrices.build(formula, data, extra=["w"], group_codes=True)[5]
    want_codes, want_labels = labels_mod.factorize(coerced[5], "g")
    assert labels == want_labels and "s00" not in labels
    np.testing.assert_array_equal(codes, want_codes)
    if "c +" in formula:
        assert "c[T.j]" not in direct[0].fixed.columns and "c[T.k]" in direct[0].fixed.columns
    assert corvane.lmm(formula, data).criterion == corvane.lmm(formula, data.dropna(subset=["y"])).criterion


@pytest.mark.parametrize("dtype", ["str", "string[pyarrow]", "arrow", "large_arrow"])
def test_arrow_strings_are_coded_as_python_strings_are(dtype):
    values = ["b", "é", "a", "Z", "", "b", "\U0001F600", "ab", "a", "zz"] * 3
    kind = {"arrow": pd.ArrowDtype(pa.string()), "large_arrow": pd.ArrowDtype(pa.large_string())}.get(dtype, dtype)
    series = pd.Series(values, dtype=kind)
    codes, labels = factorize(series, "f")
    want_codes, want_labels = factorize(np.array(values, dtype=object), "f")
    np.testing.assert_array_equal(codes, want_codes)
    assert labels == want_labels == sorted(set(values))
    with pytest.raises(ValueError, match="f has a missing label at row 4"):
        factorize(pd.Series(values[:4] + [None] + values[5:], dtype=kind), "f")


def test_a_kept_reading_or_plan_never_stands_for_another_table(frame):
    formula = "y ~ x * f + (1 | g)"
    assert "f[T.c]" in corvane.lmm(formula, frame).fe_names
    two = frame.assign(f=np.where(frame["f"] == "c", "a", frame["f"]))
    assert corvane.lmm(formula, two).fe_names == ["(Intercept)", "x", "f[T.b]", "x:f[T.b]"]
    numeric = frame.assign(f=frame["z"] * 1.0)  # the same name, now a number
    assert corvane.lmm(formula, numeric).fe_names == ["(Intercept)", "x", "f", "x:f"]
    dotted = "y ~ log(abs(x.1)) + (1 | g)"  # x.1 a column here, x's attribute there
    assert corvane.lmm(dotted, frame).fe_names[1] == "log(abs(`x.1`))"
    with pytest.raises(ValueError):
        corvane.lmm(dotted, frame.drop(columns=["x.1"]))
    env = "y ~ I(x * k) + (1 | g)"
    one, three = (corvane.lmm(env, frame, env={"k": k}).params.iloc[1] for k in (1.0, 3.0))
    assert three == pytest.approx(one / 3, rel=1e-8)


def _rows_residual(y, X, Z, codes, m):
    """Residual sums of squares of y on X, and on X with each group's Z, as
    fractions of y'y, by least squares on the rows."""
    def rss(A):
        beta = np.linalg.lstsq(A, y, rcond=None)[0]
        r = y - A @ beta
        return float(r @ r) / float(y @ y)
    blocks = np.zeros((len(y), m * Z.shape[1]))
    for k in range(m):
        rows = codes == k
        blocks[np.ix_(rows, range(k * Z.shape[1], (k + 1) * Z.shape[1]))] = Z[rows]
    return rss(X), rss(np.hstack([X, blocks]))


def _residual_rows(q, noise=1.0, singular_block=True):
    rng = np.random.default_rng(q)
    m, k = 12, 9
    n = m * k
    codes = np.repeat(np.arange(m), k).astype(np.int64)
    X = np.column_stack([np.ones(n), rng.standard_normal((n, 2))])
    Z = np.column_stack([np.ones(n), rng.standard_normal((n, q - 1))])
    if singular_block:
        Z[codes == 2, 1:] = 1.0  # a group whose random-effects block is singular
    b = rng.standard_normal((m, q))
    y = X @ [1.0, 2.0, -1.0] + np.einsum("ij,ij->i", Z, b[codes]) + noise * rng.standard_normal(n)
    return y, X, Z, codes, m


@pytest.mark.parametrize("singular_block", [False, True])
@pytest.mark.parametrize("q", [1, 2, 3])
def test_the_residual_check_is_least_squares_on_the_rows(q, singular_block):
    y, X, Z, codes, m = _residual_rows(q, singular_block=singular_block)
    fixed, within = _rows_residual(y, X, Z, codes, m)
    core = LmmCore(y, X, Z, codes, m)
    with corvane.general_route():
        careful = exact_fit(core, core.totals())
    np.testing.assert_allclose(careful, (fixed, within), rtol=1e-9)
    got = exact_fit(core, core.totals())
    # The direct solve gives the within-group fraction, and it for the fixed one (never below it).
    assert got[1] == pytest.approx(within, rel=1e-9) and got[0] <= fixed * (1 + 1e-9)


@pytest.mark.parametrize("case", ["noise 1e-4", "noise 1e-7", "exact", "nearly a group's column"])
@pytest.mark.parametrize("q", [1, 2])
def test_a_residual_near_the_bound_is_decided_by_the_careful_path(q, case):
    noise = {"noise 1e-4": 1e-4, "noise 1e-7": 1e-7, "exact": 0.0}.get(case, 1.0)
    y, X, Z, codes, m = _residual_rows(q, noise=noise, singular_block=False)
    if case == "nearly a group's column":  # X~'X~ less the groups' projections then has an eigenvalue near the cut
        X[:, 2] = np.random.default_rng(9).standard_normal(m)[codes] + 3e-5 * X[:, 2]
    core = LmmCore(y, X, Z, codes, m)
    with corvane.general_route():
        careful = exact_fit(core, core.totals())
    assert exact_fit(core, core.totals()) == careful


@pytest.mark.parametrize("q", [1, 2, 3])
@pytest.mark.parametrize("p", [1, 4])
def test_within_groups_is_the_dense_projection(q, p):
    """The core's within-group products against a dense least-squares
    projection of [X y] on the groups' own Z columns; None for a block whose
    pivot is below the fraction asked for."""
    rng = np.random.default_rng(10 * q + p)
    m, k = 7, 6
    codes = np.repeat(np.arange(m), k).astype(np.int64)
    n = m * k
    X = np.column_stack([np.ones(n), rng.standard_normal((n, p - 1))])
    Z = np.column_stack([np.ones(n), rng.standard_normal((n, q - 1))])
    y = rng.standard_normal(n)
    core = LmmCore(y, X, Z, codes, m)
    got = core.within_groups(1e-2)
    W = np.column_stack([X, y])
    expected = W.T @ W
    for g in range(m):
        rows = codes == g
        zg, wg = Z[rows], W[rows]
        expected -= wg.T @ zg @ np.linalg.solve(zg.T @ zg, zg.T @ wg)
    scale = np.sqrt(np.outer(np.diag(W.T @ W), np.diag(W.T @ W)))
    np.testing.assert_allclose(got / scale, expected / scale, atol=1e-13)
    assert np.array_equal(got, got.T)
    if q > 1:
        Z2 = Z.copy()
        Z2[codes == 3, 1] = 1.0 + 1e-6 * rng.standard_normal(k)  # nearly the intercept in group 3
        assert LmmCore(y, X, Z2, codes, m).within_groups(1e-2) is None
        assert LmmCore(y, X, Z2, codes, m).within_groups(0.0) is not None
    with pytest.raises(ValueError, match="pivot"):
        core.within_groups(1.0)


@pytest.mark.parametrize("between", [False, True])
@pytest.mark.parametrize("q", [1, 2])
@pytest.mark.parametrize("p", [1, 3, 20])
def test_within_fraction_is_least_squares_on_the_rows(q, p, between):
    """The core's direct answer (Jacobi eigenvalues) against least squares on
    the rows and against the same step through LAPACK, with and without a
    column constant within groups (projected away: a zero eigenvalue)."""
    rng = np.random.default_rng(7 * q + p)
    m, k = 30, 8
    codes = np.repeat(np.arange(m), k).astype(np.int64)
    n = m * k
    X = np.column_stack([np.ones(n), rng.standard_normal((n, p - 1))])
    if between and p > 1:
        X[:, 1] = rng.standard_normal(m)[codes]
    Z = np.column_stack([np.ones(n), rng.standard_normal((n, q - 1))])
    y = X @ rng.standard_normal(p) + rng.standard_normal(n)
    core = LmmCore(y, X, Z, codes, m)
    got = core.within_fraction(1e-2, 1e-11, 1e-8, 1e-10)
    _, within = _rows_residual(y, X, Z, codes, m)
    assert got == pytest.approx(within, rel=1e-9)
    t = core.totals()
    lapack = validate._projected_fraction(core.within_groups(1e-2), np.asarray(t["xtx"]), float(t["yty"]))
    assert got == pytest.approx(lapack, rel=1e-11)
    if p > 1:  # a column beside the intercept: an eigenvalue in this gap, so no answer
        assert core.within_fraction(1e-2, 1e-11, 1e3, 1e-10) is None
    for bad in [(1.0, 1e-11, 1e-8, 1e-10), (1e-2, 1e-8, 1e-11, 1e-10), (1e-2, 1e-11, np.nan, 1e-10)]:
        with pytest.raises(ValueError, match="pivot|gap"):
            core.within_fraction(*bad)
    with pytest.raises(ValueError, match="y'y"):
        LmmCore(np.zeros(n), X, Z, codes, m).within_fraction(1e-2, 1e-11, 1e-8, 1e-10)


@pytest.mark.parametrize("pivot", [None, 1e-3, 1e-6, 1e-9, 1e-12, 0.0])
@pytest.mark.parametrize("p", [6, 9, 13])
def test_a_clearly_full_rank_design_keeps_what_the_pivot_loop_keeps(p, pivot):
    rng = np.random.default_rng(p)
    X = rng.standard_normal((200, p))
    if pivot is not None:  # column 3 a combination of 0 and 1, up to a part of norm sqrt(pivot)
        X[:, 3] = X[:, 0] - 2 * X[:, 1] + np.sqrt(pivot) * rng.standard_normal(200)
    xtx = X.T @ X
    rows = validate.row_residual(lambda: X)
    with corvane.general_route():
        want = (validate.aliased(xtx, None), validate.aliased(xtx, None, rows))
    assert (validate.aliased(xtx, None), validate.aliased(xtx, None, rows)) == want
    assert validate._clearly_full_rank(xtx) == (pivot is None or pivot >= 1e-3)


def _numpy_summaries(t, r, n):
    """_summaries' means and spreads as NumPy's elementwise operations give them."""
    xtx = np.asarray(t["xtx"])
    c = math.sqrt(xtx[r, r] / n)
    xm = xtx[r, :] / (n * c)
    zm = t["ztx"][:, r] / (n * c)
    ym = t["xty"][r] / (n * c)
    return (xm, np.sqrt(np.maximum(np.diag(xtx) / n - xm ** 2, 0.0)), ym, math.sqrt(max(t["yty"] / n - ym ** 2, 0.0)),
            zm, np.sqrt(np.maximum(np.diag(t["ztz"]) / n - zm ** 2, 0.0)))


def test_the_totals_summaries_are_numpy_s_elementwise_ones():
    rng = np.random.default_rng(3)
    X = np.column_stack([np.full(500, 0.5), rng.standard_normal((500, 3)) * [1e-3, 1.0, 1e4] + 7.0])
    Z = X[:, :2].copy()
    y = X @ [1.0, 2.0, 3.0, 4.0] + rng.standard_normal(500)
    rp = reparam_of(y, X, Z, 0, 0)
    totals = [LmmCore(y, X, Z, np.repeat(np.arange(50), 10).astype(np.int64), 50).totals()]
    for _ in range(2000):  # columns of large means and small spreads: a rounding of a mean's square shows
        d = rng.uniform(1.0, 100.0, 6) + rng.standard_normal((37, 6)) * rng.uniform(1e-3, 1.0, 6)
        d[:, 0] = 1.0
        m = d.T @ d
        totals.append({"xtx": m[:4, :4], "xty": m[:4, 4], "yty": float(m[4, 4]), "ztz": m[:2, :2], "ztx": m[:2, :4]})
    for t in totals:
        for got, expected in zip(reparam._summaries(t, rp, 37), _numpy_summaries(t, rp.x_ref, 37)):
            assert np.asarray(got).tobytes() == np.asarray(expected).tobytes()


STRINGS = ["b", "é", "a", "Z", "", "b", "\U0001F600", "ab", "a", "zz", "abcdefgh", "日本", "a b"]


def _arrow_series(values, dtype):
    kind = {"arrow": pd.ArrowDtype(pa.string()), "large_arrow": pd.ArrowDtype(pa.large_string())}.get(dtype, dtype)
    return pd.Series(values, dtype=kind)


@pytest.mark.parametrize("extra", [[], ["abcdefghi"], ["a\x00"]])  # a string past 8 bytes, a NUL byte: Arrow's path
@pytest.mark.parametrize("dtype", ["str", "string[pyarrow]", "arrow", "large_arrow"])
def test_many_short_strings_are_coded_as_python_strings_are(dtype, extra):
    rng = np.random.default_rng(1)
    values = list(rng.choice(STRINGS, 9000)) + extra
    series = _arrow_series(values, dtype)
    want_codes, want_labels = factorize(np.array(values, dtype=object), "f")
    whole = factorize(series, "f")
    for part, (codes, labels) in [(slice(None), whole), (slice(37, 8990), factorize(series.iloc[37:8990], "f"))]:
        sub_codes, sub_labels = factorize(np.array(values[part], dtype=object), "f")
        np.testing.assert_array_equal(codes, sub_codes)
        assert labels == sub_labels
    chunked = pd.Series(pd.arrays.ArrowExtensionArray(pa.chunked_array([values[:4000], values[4000:]])))
    codes, labels = factorize(chunked, "f")
    np.testing.assert_array_equal(codes, want_codes)
    assert labels == want_labels


def test_a_coded_arrow_column_s_kept_codes_stand_only_for_it():
    """Codes kept between calls are the general route's, each caller's own
    copy; a changed column is coded again, and the codes go with the column
    (a long column's are never kept)."""
    df = pd.DataFrame({"f": list(np.random.default_rng(2).choice(["u", "v", "w"], 500))})
    first = factorize(df["f"], "f")
    again = factorize(df["f"], "f")
    with corvane.general_route():
        general = factorize(df["f"], "f")
    assert again[1] == first[1] == general[1] and again[0] is not first[0]
    np.testing.assert_array_equal(again[0], first[0])
    np.testing.assert_array_equal(again[0], general[0])
    again[0][:] = -1  # the caller's own copy
    again[1].append("x")
    assert factorize(df["f"], "f")[1] == ["u", "v", "w"] and (factorize(df["f"], "f")[0] >= 0).all()
    assert not factorize(df["f"], "f", shared=True)[0].flags.writeable
    df.loc[0, "f"] = "a"  # a new Arrow array
    codes, labels = factorize(df["f"], "f")
    assert labels == ["a", "u", "v", "w"] and codes[0] == 0
    key = id(df["f"].array.__arrow_array__())
    assert key in labels_mod._ARROW_CODES
    del df, codes
    import gc
    gc.collect()
    assert key not in labels_mod._ARROW_CODES
    long = pd.Series(list(np.random.default_rng(3).choice(["u", "v"], labels_mod._KEPT_ROWS + 1)))
    factorize(long, "f")
    assert id(long.array.__arrow_array__()) not in labels_mod._ARROW_CODES


def test_kept_builders_tell_levels_apart_by_type_and_spelling(frame):
    formula = "y ~ 0 + c + x + (1 | g)"
    seen = []
    for cats in ([0.0, 1.0, 2.0], [-0.0, 1.0, 2.0], [0, 1, 2], ["0", "1", "2"], [0.0, 1.0, 2.0]):
        data = frame.assign(c=pd.Categorical(np.array(cats, dtype=object)[np.arange(len(frame)) % 3],
                                             categories=cats))
        direct = matrices.build(formula, data)[0].fixed
        with corvane.general_route():
            general = matrices.build(formula, data)[0].fixed
        assert direct.columns == general.columns
        levels = direct.term_layout()[1]["c"]
        assert [(type(v), str(v)) for v in levels] == [(type(v), str(v)) for v in general.term_layout()[1]["c"]]
        seen.append((tuple(direct.columns), tuple(type(v) for v in levels)))
    assert seen[0] == seen[4] and len(set(seen[:4])) == 4


def test_a_plain_column_s_infinite_value_is_reported_as_the_general_path_reports_it(frame):
    data = frame.assign(x=frame["x"].where(frame.index != 7, np.inf))
    for formula in ["y ~ x * f + (1 | g)", "y ~ f + (x | g)", "y ~ x + (1 | g)"]:
        with pytest.raises(ValueError) as direct:
            matrices.build(formula, data)
        with corvane.general_route():
            with pytest.raises(ValueError) as general:
                matrices.build(formula, data)
        assert str(direct.value) == str(general.value) and "infinite" in str(direct.value)


def test_sample_rows_are_kept_read_only():
    assert reparam.sample_rows(10 ** 5) is reparam.sample_rows(10 ** 5)
    assert not reparam.sample_rows(10 ** 5).flags.writeable
    np.testing.assert_array_equal(reparam.sample_rows(10), np.arange(10))


@pytest.mark.parametrize("n", [1001, 9001])  # the largest magnitudes by abs, and by the largest and smallest values
def test_each_column_s_shift_and_scale_are_its_own(n):
    rng = np.random.default_rng(4)
    a = np.column_stack([rng.standard_normal(n) * 1e-30 + 5.0, rng.standard_normal(n) * 1e20, np.zeros(n),
                         np.r_[np.inf, rng.standard_normal(n - 1)], np.full(n, 3.0),
                         np.where(rng.random(n) < 0.5, -0.0, 0.0), np.r_[rng.standard_normal(n - 1), np.nan],
                         -np.abs(rng.standard_normal(n)) - 2.0])
    shift, scale = _locations_scales(np.ascontiguousarray(a.T), True)
    for j in range(a.shape[1]):
        alone = _locations_scales(a[:, j].reshape(1, -1), True)
        assert (shift[j], scale[j]) == (alone[0][0], alone[1][0])
    rows = np.ascontiguousarray(a.T)
    worked = _locations_scales(rows, True, overwrite=True)
    assert worked[0].tobytes() == shift.tobytes() and worked[1].tobytes() == scale.tobytes()
    big = np.max(np.abs(a[:, 1]))
    assert shift[1] == float(np.mean(a[:, 1] / big)) * big
    assert (shift[2], scale[2], shift[3], scale[3], shift[4], scale[4]) == (0.0, 1.0, 0.0, 1.0, 3.0, 0.25)
    assert (shift[5], scale[5], shift[6], scale[6]) == (0.0, 1.0, 0.0, 1.0)
    # Measured together with y and Z's columns, X's are measured as on their own.
    y, X, Z = a[:, 1].copy(), np.column_stack([np.ones(n), a[:, :2]]), np.column_stack([np.ones(n), a[:, 4]])
    rp = reparam_of(y, X, Z, 0, 0, reduce=False)  # y is X's column: no preliminary fit here
    assert (rp.x_shift[1:].tolist(), rp.y_shift, rp.z_shift[1]) == (shift[:2].tolist(), shift[1], 3.0)
    # A reference column in the middle of X and none in Z: their columns still measured as on their own.
    X2 = np.column_stack([a[:, 0], np.ones(n), a[:, 1]])
    rp = reparam_of(y, X2, a[:, [7, 0]], 1, None, reduce=False)
    alone = [_locations_scales(a[:, [j]].T.copy(), centred) for j, centred in ((0, True), (1, True), (7, False))]
    assert rp.x_shift.tolist() == [alone[0][0][0], 0.0, alone[1][0][0]] and rp.z_shift[0] == 0.0
    assert rp.z_scale[0] == alone[2][1][0] and rp.x_scale[1] == 1.0


def test_estimates_made_when_asked_for_survive_pickling(frame):
    r = corvane.lmm("y ~ x * f + (x | g)", frame)
    again = pickle.loads(pickle.dumps(r))
    for name in ("beta", "std_errors", "theta", "cov_re", "re_corr"):
        np.testing.assert_array_equal(getattr(again, name), getattr(r, name))
    assert again.random_effects.keys() == r.random_effects.keys()


@pytest.mark.parametrize("failures", ["n - s", "2 * n - s - 1", "-s + n", "n - s * 1.5", "log(n) - s", "n / 2 - s",
                                      "flag - s"])
def test_cbind_failures_of_column_arithmetic_are_formulaic_s(failures):
    """cbind(s, <arithmetic of columns>) computes its failures without the
    formula library, the same values as its evaluation (and anything else,
    division and calls among them, still goes to it)."""
    rng = np.random.default_rng(4)
    n = rng.integers(5, 20, 80)
    df = pd.DataFrame({"s": rng.integers(0, 5, 80), "n": n, "x": rng.standard_normal(80),
                       "g": np.repeat(np.arange(8), 10), "flag": rng.random(80) < 0.5})
    df.loc[[3, 9], "n"] = np.nan
    formula = f"cbind(s, {failures}) ~ x + (1 | g)"
    try:
        direct = matrices.build(formula, df)
    except ValueError as exc:
        direct = exc
    with corvane.general_route():
        try:
            general = matrices.build(formula, df)
        except ValueError as exc:
            general = exc
    if isinstance(general, ValueError):
        assert isinstance(direct, ValueError)
        return
    _same_build(direct, general)
