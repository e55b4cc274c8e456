"""Products accumulated from batches: one batch is the constructor bit for
bit, any batching agrees to rounding, merging is deterministic, products
travel as arrays, transforms equal transformed rows, and a new response
works where the codes can still be checked."""

import pickle

import numpy as np
import pytest

from conftest import same
from corvane._corvane import Accumulator, LmmCore

pytestmark = [pytest.mark.native]

KERNELS = ("blocks", "streaming", "aggregated", "auto")
THETA = [0.8, 0.1, 0.4]


@pytest.fixture(scope="module")
def rows():
    rng = np.random.default_rng(4)
    n, m, p, q = 6000, 150, 3, 2
    codes = rng.integers(0, m, n).astype(np.int64)
    X = np.column_stack([np.ones(n), rng.standard_normal((n, p - 1))])
    Z = np.ascontiguousarray(X[:, :q])
    y = X.sum(1) + rng.standard_normal(m)[codes] + rng.standard_normal(n)
    return y, X, Z, codes, m


def batched(rows, sizes):
    y, X, Z, codes, _ = rows
    acc = Accumulator(X.shape[1], Z.shape[1])
    start = 0
    for size in sizes:
        end = min(len(y), start + size)
        acc.add(y[start:end], X[start:end], Z[start:end], codes[start:end])
        start = end
    return acc


@pytest.mark.parametrize("kernel", KERNELS)
def test_one_batch_is_the_constructor(rows, kernel):
    ref = LmmCore(*rows, kernel)
    core = batched(rows, [len(rows[0])]).finish(kernel)
    assert (core.evaluator, core.n_classes, core.n, core.m) == (ref.evaluator, ref.n_classes, ref.n, ref.m)
    for reml in (True, False):
        assert same(core.deviance_grad(THETA, reml), ref.deviance_grad(THETA, reml))


@pytest.mark.parametrize("sizes", [[1] * 7 + [6000], [700] * 9, [5999, 1], [0, 3000, 0, 3000]])
def test_batches_agree_to_rounding(rows, sizes):
    ref = LmmCore(*rows, "blocks")
    acc = batched(rows, sizes)
    assert acc.n == len(rows[0]) and acc.batches == len(sizes)
    core = acc.finish("blocks")
    d, g = core.deviance_grad(THETA)
    d0, g0 = ref.deviance_grad(THETA)
    assert d == pytest.approx(d0, rel=1e-13)
    np.testing.assert_allclose(g, g0, rtol=1e-9, atol=1e-9)
    # Sequential batches keep the codes checkable: a new response works.
    y2 = rows[0] * 2.0 + 1.0
    a = core.with_response(y2, *rows[1:4])
    b = ref.with_response(y2, *rows[1:4])
    assert a.deviance(THETA) == pytest.approx(b.deviance(THETA), rel=1e-13)


def test_groups_grow_and_gaps_are_empty(rows):
    y, X, Z, codes, _ = rows
    acc = Accumulator(3, 2)
    acc.add(y[:10], X[:10], Z[:10], np.full(10, 4, dtype=np.int64))
    assert acc.m == 5
    acc.add(y[10:20], X[10:20], Z[10:20], np.full(10, 9, dtype=np.int64))
    assert acc.m == 10
    arrays = acc.to_arrays()
    assert not arrays["ztz"][[0, 1, 2, 3, 5, 6, 7, 8]].any()
    core = acc.finish()
    ref = LmmCore(y[:20], X[:20], Z[:20], np.repeat(np.array([4, 9], dtype=np.int64), 10), 10, "blocks")
    assert core.deviance(THETA) == pytest.approx(ref.deviance(THETA), rel=1e-14)


def test_merge_is_deterministic_and_travels_as_arrays(rows):
    y, X, Z, codes, _ = rows
    parts = []
    for k in range(0, len(y), 1500):
        a = Accumulator(3, 2)
        a.add(y[k:k + 1500], X[k:k + 1500], Z[k:k + 1500], codes[k:k + 1500])
        parts.append(pickle.loads(pickle.dumps(a.to_arrays())))
    results = []
    for _ in range(2):
        total = Accumulator(3, 2)
        for part in parts:
            total.merge(Accumulator.from_arrays(part))
        results.append(total.to_arrays())
    assert same(results[0], results[1])
    core = Accumulator.from_arrays(results[0]).finish()
    assert core.deviance(THETA) == pytest.approx(LmmCore(*rows).deviance(THETA), rel=1e-13)
    # Merged from parts built apart, the codes cannot be checked any more.
    with pytest.raises(ValueError, match="merged from separately accumulated parts"):
        core.with_response(y, X, Z, codes)


def test_transform_equals_transformed_rows(rows):
    y, X, Z, codes, m = rows
    shift = X.mean(0)
    shift[0] = 0.0
    scale = np.array([1.0, 2.0, 0.25])
    acc = Accumulator(3, 2, y_shift=1.5, y_scale=0.5, x_shift=shift, x_scale=scale,
                      z_shift=shift[:2], z_scale=scale[:2])
    acc.add(y, X, Z, codes)
    core = acc.finish("blocks")
    yt, Xt, Zt = (y - 1.5) * 0.5, (X - shift) * scale, (Z - shift[:2]) * scale[:2]
    ref = LmmCore(yt, np.ascontiguousarray(Xt), np.ascontiguousarray(Zt), codes, m, "blocks")
    assert core.deviance(THETA) == pytest.approx(ref.deviance(THETA), rel=1e-14)
    # A new response: X and Z enter transformed as before, y as given.
    assert core.with_response(yt, X, Z, codes).deviance(THETA) == pytest.approx(
        ref.with_response(yt, Xt, Zt, codes).deviance(THETA), rel=1e-14)


@pytest.mark.parametrize("constant", [True, False])
def test_reference_columns_map_the_columns(rows, constant):
    """Shifts taken relative to a reference column are a linear map of the
    columns (the reference column need not be constant): the products are
    those of X A_x, Z A_z and y - s X[:, c] / v, and they survive to_arrays."""
    y, X, Z, codes, m = rows
    X = X.copy()
    if not constant:
        X[::7, 0] = 3.0  # the reference column now varies
    X[:, 0] *= 2.0
    Z = np.ascontiguousarray(X[:, :2])
    shift, scale = np.array([0.0, 0.3, -0.2]), np.array([0.5, 2.0, 0.25])
    kw = dict(y_shift=1.5, y_scale=0.5, x_shift=shift, x_scale=scale, z_shift=shift[:2], z_scale=scale[:2],
              x_ref=0, x_ref_value=2.0, z_ref=0, z_ref_value=2.0)
    acc = Accumulator(3, 2, **kw)
    acc.add(y, X, Z, codes)
    arrays = acc.to_arrays()
    assert arrays["x_ref"] == 0 and arrays["z_ref_value"] == 2.0
    core = Accumulator.from_arrays(arrays).finish("blocks")
    r = X[:, 0] / 2.0
    yt = (y - 1.5 * r) * 0.5
    Xt = (X - np.outer(r, shift)) * scale
    Zt = (Z - np.outer(r, shift[:2])) * scale[:2]
    ref = LmmCore(yt, np.ascontiguousarray(Xt), np.ascontiguousarray(Zt), codes, m, "blocks")
    assert core.deviance(THETA) == pytest.approx(ref.deviance(THETA), rel=1e-14)
    tot, rt = core.totals(), ref.totals()
    for key in ("xtx", "xty", "ztz", "ztx", "zty"):
        np.testing.assert_allclose(tot[key], rt[key], rtol=1e-13, atol=1e-12 * np.abs(rt[key]).max())
    # Accumulators with different references do not merge.
    with pytest.raises(ValueError, match="different models"):
        Accumulator(3, 2, **{**kw, "x_ref": 1}).merge(acc)


@pytest.mark.parametrize("kw, message", [
    (dict(x_ref=3), "x_ref must be a column index below 3, got 3"),
    (dict(z_ref=0, z_ref_value=0.0), "z_ref_value must be finite and non-zero"),
    (dict(x_ref=0, x_ref_value=float("nan")), "x_ref_value must be finite and non-zero"),
])
def test_reference_errors(kw, message):
    with pytest.raises(ValueError, match=message):
        Accumulator(3, 2, **kw)


def test_errors(rows):
    y, X, Z, codes, _ = rows
    acc = Accumulator(3, 2)
    bad = codes[:20].copy()
    bad[[5, 9]] = [-3, -4]
    with pytest.raises(ValueError, match="^group code -3 is negative$"):
        acc.add(y[:20], X[:20], Z[:20], bad)
    assert acc.n == 0 and acc.m == 0
    with pytest.raises(ValueError, match="X must have 3 columns and Z 2"):
        acc.add(y[:20], X[:20, :2].copy(), Z[:20], codes[:20])
    with pytest.raises(ValueError, match="^no rows were added$"):
        acc.finish()
    with pytest.raises(ValueError, match="different models"):
        acc.merge(Accumulator(3, 1))
    with pytest.raises(ValueError, match="itself"):
        acc.merge(acc)
    with pytest.raises(ValueError, match="x_scale must hold finite positive values"):
        Accumulator(3, 2, x_scale=[1.0, 0.0, 1.0])
    with pytest.raises(ValueError, match="x_shift must have 3 entries"):
        Accumulator(3, 2, x_shift=[1.0])
    with pytest.raises(ValueError, match="p and q must be positive"):
        Accumulator(0, 2)
    # finish empties the accumulator
    acc.add(y, X, Z, codes)
    acc.finish()
    assert acc.n == 0 and acc.m == 0 and acc.batches == 0


def _without_groups(state):
    state = dict(state, m=0)
    for key, shape in (("ztz", (0, 2, 2)), ("ztx", (0, 2, 3)), ("zty", (0, 2))):
        state[key] = np.zeros(shape)
    return state


@pytest.mark.parametrize("change, message", [
    (_without_groups, "products of 6000 rows cannot have 0 groups"),
    (lambda s: dict(s, n=0), "products of 0 rows cannot have 150 groups"),
])
def test_inconsistent_products_are_refused(rows, change, message):
    state = batched(rows, [6000]).to_arrays()
    with pytest.raises(ValueError, match=message):
        Accumulator.from_arrays(change(state)).finish()


def test_threads_share_an_accumulator():
    """One thread adds large batches (on the main thread, which polls for
    signals and so retakes the interpreter lock while it works) while another
    reads the state: neither may wait for the accumulator while holding the
    interpreter lock. A deadlock shows as the child not finishing."""
    from conftest import run_child

    out = run_child("""
        import threading
        import numpy as np
        from corvane._corvane import Accumulator
        rng = np.random.default_rng(0)
        n = 400_000  # a batch takes several poll intervals to add
        X = np.column_stack([np.ones(n), rng.standard_normal((n, 39))])
        Z = np.ascontiguousarray(X[:, :3])
        y = rng.standard_normal(n)
        codes = rng.integers(0, 5000, n).astype(np.int64)
        acc = Accumulator(40, 3)
        stop = threading.Event()
        reads = []
        def reader():
            while not stop.is_set():
                state = acc.to_arrays()
                reads.append((state["n"], acc.n, acc.m, acc.batches))
        t = threading.Thread(target=reader)
        t.start()
        for _ in range(6):
            acc.add(y, X, Z, codes)
        stop.set()
        t.join()
        # Every read saw whole batches.
        assert all(a % n == 0 and b % n == 0 for a, b, _, _ in reads), reads[:5]
        print(acc.n, len(reads) > 0)
    """, timeout=600)
    assert out.split() == ["2400000", "True"]
