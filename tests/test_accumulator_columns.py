"""A batch given column by column (as Arrow holds it): the same products, bit
for bit, as the kept rows stacked into X and Z, with and without a transform
and row flags, across the parallel threshold; and the refusals."""

import numpy as np
import pytest

from corvane._corvane import Accumulator

pytestmark = [pytest.mark.native]

TRANSFORM = dict(y_shift=0.5, y_scale=0.25, x_shift=[0.0, 0.3, -0.2], x_scale=[1.0, 2.0, 0.5],
                 z_shift=[0.0, 0.3], z_scale=[1.0, 2.0], x_ref=0, x_ref_value=1.0, z_ref=0, z_ref_value=1.0)


def rows(n, seed=3, m=400):
    rng = np.random.default_rng(seed)
    codes = rng.integers(0, m, n).astype(np.int64)
    a, b = rng.standard_normal(n), rng.standard_normal(n)
    y = 1 + a - b + rng.standard_normal(m)[codes] + rng.standard_normal(n)
    return y, a, b, codes


def same_products(a, b):
    pa, pb = a.to_arrays(), b.to_arrays()
    assert pa.keys() == pb.keys()
    for key in pa:
        x, y = np.asarray(pa[key]), np.asarray(pb[key])
        if x.dtype.kind == "f":
            assert np.array_equal(x.view(np.int64), y.view(np.int64)), key
        else:
            assert np.array_equal(x, y), key


@pytest.mark.parametrize("n", [0, 1, 1000, 300_000])  # 300_000: several chunks on the pool
@pytest.mark.parametrize("transform", [False, True])
@pytest.mark.parametrize("flags", [False, True])
def test_columns_equal_stacked_rows(n, transform, flags):
    y, a, b, codes = rows(n)
    keep = np.random.default_rng(n).random(n) > 0.3 if flags else None
    kw = TRANSFORM if transform else {}
    by_rows, by_columns = Accumulator(3, 2, **kw), Accumulator(3, 2, **kw)
    X = np.column_stack([np.ones(n), a, b])
    Z = np.ascontiguousarray(X[:, :2])
    k = slice(None) if keep is None else keep
    by_rows.add(y[k].copy(), X[k].copy(), Z[k].copy(), codes[k].copy())
    by_columns.add_columns(y, [None, a, b], [None, a], codes, keep=keep)
    same_products(by_rows, by_columns)
    if n:
        assert by_columns.finish().deviance([0.5, 0.1, 0.3]) == by_rows.finish().deviance([0.5, 0.1, 0.3])


@pytest.mark.parametrize("call, error, match", [
    (lambda acc, y, a, c: acc.add_columns(y, [None, a], [None], c), ValueError, "X must have 3 columns and Z 2"),
    (lambda acc, y, a, c: acc.add_columns(y, [None, a, a[:-1]], [None, a], c), ValueError, r"x\[2\] has 99 values"),
    (lambda acc, y, a, c: acc.add_columns(y, [None, a, a.astype(np.float32)], [None, a], c), TypeError, r"x\[2\]"),
    (lambda acc, y, a, c: acc.add_columns(y, [None, a, a[::2].repeat(2)[::1]], [None, a[::-1]], c[:-1]),
     ValueError, "y and codes"),
    (lambda acc, y, a, c: acc.add_columns(y, [None, a, a], [None, a], c, keep=np.ones(100, np.int8)), TypeError,
     "keep"),
    (lambda acc, y, a, c: acc.add_columns(y, [None, a, np.repeat(a, 2)[::2]], [None, a], c), TypeError,
     "not contiguous"),
    (lambda acc, y, a, c: acc.add_columns(y, 3, [None, a], c), TypeError, "sequence of columns"),
    (lambda acc, y, a, c: acc.add_columns(y, [None, a, a], [None, a], -c - 1), ValueError, "is negative"),
])
def test_refusals(call, error, match):
    y, a, _, codes = rows(100)
    acc = Accumulator(3, 2)
    with pytest.raises(error, match=match):
        call(acc, y, a, codes)
    assert acc.to_arrays()["n"] == 0
