"""Products kept in the core: Accumulator.select reorders the groups and
subsets X's columns exactly as indexing the arrays of to_arrays() does, bit
for bit, and LmmCore.products() gives back products from which an
accumulator finishes a core with the same fits."""

import numpy as np
import pytest

from conftest import same
from corvane._corvane import Accumulator, LmmCore

pytestmark = [pytest.mark.native]

M = 40
EMPTY = (3, 17, 30)  # groups no row falls in (M - 1 has rows, so m = M)
SHAPES = [(1, 1), (3, 2), (4, 3)]
TRANSFORMS = ("none", "scaled", "reference")
KERNELS = ("blocks", "aggregated", "streaming")


def make_rows(p, q, seed=0, n=1500):
    rng = np.random.default_rng(seed)
    present = np.setdiff1d(np.arange(M), EMPTY)
    codes = rng.choice(present, size=n).astype(np.int64)
    X = np.column_stack([np.ones(n), rng.standard_normal((n, p - 1))])
    Z = np.column_stack([np.ones(n), rng.standard_normal((n, q - 1))])
    y = X.sum(1) + (Z * rng.standard_normal((M, q))[codes]).sum(1) + rng.standard_normal(n)
    return y, X, Z, codes


def transform_args(kind, p, q):
    if kind == "none":
        return {}
    args = dict(y_shift=0.75, y_scale=0.5, x_shift=np.linspace(0.0, 0.3, p), x_scale=2.0 ** np.arange(p),
                z_shift=np.linspace(0.0, -0.2, q), z_scale=0.5 ** np.arange(q))
    if kind == "reference":  # the constant columns as references
        args.update(x_ref=0, x_ref_value=1.0, z_ref=0, z_ref_value=1.0)
    return args


@pytest.fixture(scope="module")
def accumulated():
    """The accumulator's arrays per (p, q, transform), made once; each test
    starts a fresh accumulator from them."""
    out = {}
    for p, q in SHAPES:
        y, X, Z, codes = make_rows(p, q)
        for kind in TRANSFORMS:
            acc = Accumulator(p, q, **transform_args(kind, p, q))
            for k in range(0, len(y), 400):  # several batches
                acc.add(y[k:k + 400], X[k:k + 400], Z[k:k + 400], codes[k:k + 400])
            out[p, q, kind] = acc.to_arrays()
    return out


def group_order(name):
    present = [g for g in range(M) if g not in EMPTY]
    if name == "identity":
        return list(range(M))
    if name == "present":  # the empty groups dropped, the rest in order
        return present
    if name == "reversed":
        return present[::-1]
    return list(np.random.default_rng(7).permutation(present))


def column_subset(name, p):
    if name == "all":
        return list(range(p))
    if name == "drop last":
        return list(range(max(p - 1, 1)))
    return [0] + list(range(2, p))  # the second column dropped


def numpy_select(arrays, groups, columns):
    """The products reordered and subset by NumPy indexing."""
    g, c = np.asarray(groups, dtype=np.intp), np.asarray(columns, dtype=np.intp)
    out = dict(arrays)
    out.update(p=len(c), m=len(g), xtx=np.ascontiguousarray(arrays["xtx"][np.ix_(c, c)]),
               xty=np.ascontiguousarray(arrays["xty"][c]), ztz=np.ascontiguousarray(arrays["ztz"][g]),
               ztx=np.ascontiguousarray(arrays["ztx"][g][:, :, c]), zty=np.ascontiguousarray(arrays["zty"][g]),
               fingerprint_known=arrays["fingerprint_known"] and list(groups) == list(range(arrays["m"])))
    if "x_shift" in arrays:
        out.update(x_shift=arrays["x_shift"][c], x_scale=arrays["x_scale"][c])
    if "x_ref" in arrays:
        out["x_ref"] = int(np.flatnonzero(c == arrays["x_ref"])[0])
    return out


CASES = [(p, q, kind, order, cols) for p, q in SHAPES for kind in TRANSFORMS
         for order in ("identity", "present", "reversed", "shuffled") for cols in ("all", "drop last", "middle")]


@pytest.mark.parametrize("p, q, kind, order, cols", CASES)
def test_select_is_the_numpy_reorder(accumulated, p, q, kind, order, cols):
    arrays = accumulated[p, q, kind]
    groups, columns = group_order(order), column_subset(cols, p)
    acc = Accumulator.from_arrays(arrays)
    acc.select(np.array(groups, dtype=np.int64), columns)
    assert (acc.n, acc.m, acc.p, acc.q, acc.batches) == (arrays["n"], len(groups), len(columns), q, arrays["batches"])
    assert same(acc.to_arrays(), numpy_select(arrays, groups, columns))


@pytest.mark.parametrize("p, q, kind", [(3, 2, "none"), (4, 3, "reference"), (3, 2, "scaled")])
@pytest.mark.parametrize("kernel", ("auto",) + KERNELS)
def test_the_selected_core_is_the_reordered_one(accumulated, p, q, kind, kernel):
    arrays = accumulated[p, q, kind]
    groups, columns = group_order("shuffled"), column_subset("drop last", p)
    acc = Accumulator.from_arrays(arrays)
    acc.select(groups, columns)
    core = acc.finish(kernel)
    ref = Accumulator.from_arrays(numpy_select(arrays, groups, columns)).finish(kernel)
    assert (core.evaluator, core.n_classes, core.m, core.p) == (ref.evaluator, ref.n_classes, ref.m, ref.p)
    theta = core.default_theta()
    for reml in (True, False):
        assert same(core.deviance(theta, reml), ref.deviance(theta, reml))
        assert same(core.fit_newton(reml=reml), ref.fit_newton(reml=reml))
    assert same(core.products(), ref.products())


def test_none_keeps_everything_and_the_codes_stay_checkable():
    y, X, Z, codes = make_rows(3, 2)
    acc = Accumulator(3, 2)
    acc.add(y, X, Z, codes)
    before = acc.to_arrays()
    acc.select()
    acc.select(groups=range(M), columns=None)
    assert same(acc.to_arrays(), before)
    core = acc.finish("blocks")
    ref = LmmCore(y, X, Z, codes, M, "blocks")
    # The identity leaves the fingerprint known: a new response is accepted.
    new = core.with_response(2.0 * y, X, Z, codes)
    assert new.deviance([0.5, 0.1, 0.3]) == pytest.approx(
        ref.with_response(2.0 * y, X, Z, codes).deviance([0.5, 0.1, 0.3]), rel=1e-12)


def test_later_batches_use_the_selected_columns():
    y, X, Z, codes = make_rows(3, 2)
    acc = Accumulator(3, 2)
    acc.add(y[:500], X[:500], Z[:500], codes[:500])
    acc.select(columns=[0, 2])
    with pytest.raises(ValueError, match="X must have 2 columns and Z 2, got 3 and 2"):
        acc.add(y[500:], X[500:], Z[500:], codes[500:])
    acc.add(y[500:], np.ascontiguousarray(X[500:, [0, 2]]), Z[500:], codes[500:])
    ref = Accumulator(2, 2)
    ref.add(y, np.ascontiguousarray(X[:, [0, 2]]), Z, codes)
    a, b = acc.to_arrays(), ref.to_arrays()
    for key in ("xtx", "xty", "ztz", "ztx", "zty"):
        np.testing.assert_allclose(a[key], b[key], rtol=1e-12, atol=1e-10)


@pytest.mark.parametrize("kw, error, message", [
    (dict(groups=[0, 1, 0]), ValueError, r"^groups holds group 0 twice \(again at groups\[2\]\)$"),
    (dict(groups=[0, M]), ValueError, rf"^groups\[1\] = {M} is out of range for {M} groups$"),
    (dict(groups=[2, -1]), ValueError, r"^groups must hold indices >= 0, got -1$"),
    (dict(groups=[[0, 1]]), ValueError, r"^groups must be one-dimensional, got 2 dimensions$"),
    (dict(groups=[0.0, 1.0]), TypeError, r"^groups must hold integers$"),
    (dict(columns=[0, 2, 1]), ValueError, r"^columns must be strictly increasing: columns\[2\] = 1 follows 2$"),
    (dict(columns=[0, 0]), ValueError, r"^columns must be strictly increasing: columns\[1\] = 0 follows 0$"),
    (dict(columns=[]), ValueError, r"^columns must hold at least one column of X$"),
    (dict(columns=[1, 3]), ValueError, r"^columns\[1\] = 3 is out of range for 3 columns of X$"),
    (dict(columns=[1, 2]), ValueError, r"^columns must keep the transform's reference column x_ref = 0$"),
])
def test_errors_name_the_argument_and_change_nothing(accumulated, kw, error, message):
    arrays = accumulated[3, 2, "reference"]
    acc = Accumulator.from_arrays(arrays)
    with pytest.raises(error, match=message):
        acc.select(**kw)
    assert same(acc.to_arrays(), arrays)


def balanced_rows(seed=3, m=30):
    """Two group sizes with the same Z pattern: the aggregated kernel finds
    two classes."""
    rng = np.random.default_rng(seed)
    sizes = np.where(np.arange(m) % 2 == 0, 6, 12)
    codes = np.repeat(np.arange(m), sizes).astype(np.int64)
    t = np.concatenate([np.tile([-1.0, 0.0, 1.0], s // 3) for s in sizes])
    n = len(codes)
    Z = np.column_stack([np.ones(n), t])
    X = np.column_stack([np.ones(n), t, rng.standard_normal(n)])
    y = X.sum(1) + (Z * rng.standard_normal((m, 2))[codes]).sum(1) + rng.standard_normal(n)
    return y, X, Z, codes, m


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("kind", TRANSFORMS)
def test_products_round_trip(kernel, kind):
    y, X, Z, codes, m = balanced_rows()
    acc = Accumulator(3, 2, **transform_args(kind, 3, 2))
    acc.add(y[:100], X[:100], Z[:100], codes[:100])
    acc.add(y[100:], X[100:], Z[100:], codes[100:])
    arrays = acc.to_arrays()
    core = acc.finish(kernel)
    assert core.evaluator == kernel
    products = core.products()
    # The plain per-group products, whatever the kernel; y's transform is
    # already in them, and the core counts no batches.
    expected = dict(arrays, batches=1)
    if kind != "none":
        expected.update(y_shift=0.0, y_scale=1.0)
    assert same(products, expected)
    again = Accumulator.from_arrays(products).finish(kernel)
    assert (again.evaluator, again.n_classes) == (core.evaluator, core.n_classes)
    theta = [0.6, -0.2, 0.4]
    for reml in (True, False):
        assert same(again.deviance_grad(theta, reml), core.deviance_grad(theta, reml))
        assert same(again.fit_newton(reml=reml), core.fit_newton(reml=reml))
    # The fingerprint travels: the rebuilt core takes a new response as the
    # original does.
    y2 = 3.0 * y - 1.0
    assert same(again.with_response(y2, X, Z, codes).fit_newton(),
                core.with_response(y2, X, Z, codes).fit_newton())


def test_products_of_selected_and_constructed_cores():
    y, X, Z, codes, m = balanced_rows()
    if_aggregated = LmmCore(y, X, Z, codes, m, "aggregated")
    assert if_aggregated.n_classes == 2
    products = if_aggregated.products()
    assert products["ztz"].shape == (m, 2, 2) and products["ztx"].shape == (m, 2, 3)
    # A core built from rows in one piece folds its fingerprint from n,
    # which accumulated products cannot carry: it travels as unknown.
    assert products["fingerprint_known"] is False
    again = Accumulator.from_arrays(products).finish("aggregated")
    assert same(again.fit_newton(), if_aggregated.fit_newton())
    with pytest.raises(ValueError, match="cannot be checked"):
        again.with_response(y, X, Z, codes)
    # A reordered core's products are its own, and its codes unchecked.
    acc = Accumulator(3, 2)
    acc.add(y, X, Z, codes)
    acc.select(groups=np.arange(m)[::-1].copy(), columns=[0, 2])
    selected = acc.to_arrays()
    assert same(acc.finish("blocks").products(), dict(selected, batches=1))
    assert selected["fingerprint_known"] is False
