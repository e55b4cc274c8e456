"""Classes of groups with bit-identical Z_i'Z_i: numbering, abandonment and per-class sums."""

import numpy as np
import pytest

t = pytest.importorskip("corvane._corvane_tests")
from corvane._corvane import LmmCore  # noqa: E402

pytestmark = [pytest.mark.native]


def sym(rng, q, integer=True):
    a = rng.integers(-4, 5, size=(q, q)).astype(np.float64) if integer else rng.standard_normal((q, q))
    return a @ a.T + np.eye(q)


def key_blocks(rng, q, labels):
    """Distinct symmetric blocks: diagonals lie in disjoint ranges per label."""
    return {c: sym(rng, q) + 100.0 * i * np.eye(q) for i, c in enumerate(labels)}


def blocks(kb, keys, p, rng, integer=True):
    """ztz from a block per key; random ztx and zty per group."""
    m, q = len(keys), kb[keys[0]].shape[0]
    ztz = np.ascontiguousarray(np.stack([kb[k] for k in keys]))
    draw = (lambda *s: rng.integers(-5, 6, size=s).astype(np.float64)) if integer else (lambda *s: rng.standard_normal(s))
    return ztz, draw(m, q, p), draw(m, q)


def sums_ref(ztx, zty, assignment, k):
    w = np.concatenate([ztx, zty[:, :, None]], axis=2)  # W_i, (m, q, p+1)
    outer = np.einsum("gax,gby->gabxy", w, w)
    ref = np.zeros((k,) + outer.shape[1:])
    np.add.at(ref, assignment, outer)
    return ref * np.triu(np.ones(outer.shape[-2:]))


def check_sums(res, ztx, zty, exact=True):
    k, q, p1 = res["n_classes"], ztx.shape[1], ztx.shape[2] + 1
    assert res["sums"].shape == (k, q, q, p1, p1)
    ref = sums_ref(ztx, zty, res["assignment"].astype(np.intp), k)
    if exact:
        assert np.array_equal(res["sums"], ref)
    else:
        np.testing.assert_allclose(res["sums"], ref, rtol=1e-11, atol=1e-9)
    below = np.tril(np.ones((p1, p1), dtype=bool), -1)
    assert not res["sums"].view(np.uint64)[..., below].any()  # +0.0 exactly


def bits(a):
    return np.ascontiguousarray(a).view(np.uint64)


@pytest.mark.parametrize("q", [1, 2, 3, 4])
@pytest.mark.parametrize(
    "keys, assignment",
    [
        ("ABAC", [0, 1, 0, 2]),
        ("AABACB", [0, 0, 1, 0, 2, 1]),
        ("BBBA", [0, 0, 0, 1]),
    ],
)
def test_first_appearance_numbering(q, keys, assignment):
    rng = np.random.default_rng(q)
    kb = key_blocks(rng, q, "ABC")
    ztz, ztx, zty = blocks(kb, keys, 2, rng)
    res = t.classes_build(ztz, ztx, zty)
    k = max(assignment) + 1
    assert res["n_classes"] == k
    assert res["assignment"].dtype == np.uint32
    assert res["assignment"].tolist() == assignment
    reps = [assignment.index(c) for c in range(k)]
    assert np.array_equal(res["class_ztz"], ztz[reps])
    assert res["counts"].tolist() == [float(assignment.count(c)) for c in range(k)]
    check_sums(res, ztx, zty)


def _with_value(block, pos, value):
    b = block.copy()
    b[pos] = value
    b[pos[::-1]] = value
    return b


def test_signed_zero_and_nan_keys():
    base = np.array([[2.0, 0.0], [0.0, 3.0]])
    neg0 = _with_value(base, (1, 0), -0.0)
    nan = _with_value(base, (1, 0), np.nan)
    nan_payload = np.array(0x7FF8000000000001, dtype=np.uint64).view(np.float64)
    nan2 = _with_value(base, (1, 0), nan_payload)
    kb = dict(A=base, B=neg0, C=nan, D=nan2)
    ztz, ztx, zty = blocks(kb, "ACBCADC", 1, np.random.default_rng(0))
    res = t.classes_build(ztz, ztx, zty)
    assert res["assignment"].tolist() == [0, 1, 2, 1, 0, 3, 1]
    assert res["n_classes"] == 4
    assert bits(res["class_ztz"]).tolist() == bits(ztz[[0, 1, 2, 5]]).tolist()


def test_q1_signed_zero_diagonal():
    ztz = np.array([0.0, -0.0, 0.0, -0.0]).reshape(4, 1, 1)
    res = t.classes_build(ztz, np.ones((4, 1, 1)), np.ones((4, 1)))
    assert res["assignment"].tolist() == [0, 1, 0, 1]


@pytest.mark.parametrize("limit", [None, 0, 1])
def test_all_equal_groups_form_one_class(limit):
    rng = np.random.default_rng(1)
    m = 50
    ztz, ztx, zty = blocks({"A": sym(rng, 2)}, "A" * m, 3, rng)
    res = t.classes_build(ztz, ztx, zty, class_limit=limit)
    assert res is not None  # a single class always survives
    assert res["n_classes"] == 1
    assert res["counts"].tolist() == [float(m)]
    assert not res["assignment"].any() and res["assignment"].shape == (m,)
    check_sums(res, ztx, zty)


@pytest.mark.parametrize("keys, survives", [("AABCAD", False), ("AABCABC", True), ("ABCD", False)])
def test_class_limit_three(keys, survives):
    rng = np.random.default_rng(2)
    kb = key_blocks(rng, 2, "ABCD")
    ztz, ztx, zty = blocks(kb, keys, 1, rng)
    res = t.classes_build(ztz, ztx, zty, class_limit=3)
    assert (res is not None) == survives
    if survives:
        assert res["n_classes"] == 3


def distinct_q1(m):
    ztz = np.arange(1.0, m + 1.0).reshape(m, 1, 1)
    return ztz, np.ones((m, 1, 1)), np.ones((m, 1))


@pytest.mark.parametrize("m, limit, expected", [
    (5000, 10_000, None),
    (5000, None, 5000),
    (4096, 10_000, 4096),  # the quarter test first looks at group 4096
    (4097, 10_000, None),
])
def test_many_distinct_groups(m, limit, expected):
    res = t.classes_build(*distinct_q1(m), class_limit=limit)
    if expected is None:
        assert res is None
    else:
        assert res["n_classes"] == expected
        assert np.array_equal(res["assignment"], np.arange(m, dtype=np.uint32))
        assert not (res["counts"] - 1.0).any()


@pytest.mark.parametrize("q, p", [(1, 1), (2, 3), (3, 2)])
def test_sums_against_numpy(q, p):
    rng = np.random.default_rng(100 + 10 * q + p)
    kb = key_blocks(rng, q, "ABCDE")
    keys = "".join(rng.choice(list("ABCDE"), size=60))
    ztz, ztx, zty = blocks(kb, keys, p, rng)
    check_sums(t.classes_build(ztz, ztx, zty), ztx, zty)
    ztz, ztx, zty = blocks(kb, keys, p, rng, integer=False)
    check_sums(t.classes_build(ztz, ztx, zty), ztx, zty, exact=False)


def test_with_assignment_takes_first_group_of_each_class():
    # the partition is given, so groups of one class may hold different blocks
    rng = np.random.default_rng(3)
    ztz = np.stack([sym(rng, 2) for _ in range(5)])
    ztx, zty = rng.standard_normal((5, 2, 2)), rng.standard_normal((5, 2))
    assignment = np.array([0, 1, 0, 2, 1], dtype=np.uint32)
    res = t.classes_with_assignment(ztz, ztx, zty, assignment, 3)
    assert np.array_equal(res["class_ztz"], ztz[[0, 1, 3]])
    assert res["counts"].tolist() == [2.0, 2.0, 1.0]
    assert res["assignment"].tolist() == assignment.tolist()
    check_sums(res, ztx, zty, exact=False)


@pytest.fixture(scope="module")
def big():
    """m * cost well above the parallel threshold; 50 classes keep the sums small."""
    rng = np.random.default_rng(77)
    m, q, p, k = 20_000, 2, 3, 50
    kb = [sym(rng, q, integer=False) for _ in range(k)]
    keys = np.concatenate([np.arange(k), rng.integers(0, k, size=m - k)])
    rng.shuffle(keys[1:])
    ztz = np.ascontiguousarray(np.stack([kb[i] for i in keys]))
    ztx = rng.standard_normal((m, q, p)) * 10.0
    zty = rng.standard_normal((m, q)) * 10.0
    return ztz, ztx, zty


def test_routes_bit_identical(big, child_arrays):
    ztz, ztx, zty = big
    built = t.classes_build(ztz, ztx, zty)
    assert built["n_classes"] == 50
    check_sums(built, ztx, zty, exact=False)
    asg = built["assignment"]
    res = {r: t.classes_with_assignment(ztz, ztx, zty, asg, 50, route=r)
           for r in ("sequential", "parallel", "auto")}
    res["build_parallel"] = t.classes_build(ztz, ztx, zty, route="parallel")
    res["build_sequential"] = t.classes_build(ztz, ztx, zty, route="sequential")
    res["child"] = child_arrays(
        """
        import corvane._corvane_tests as t
        assert t.pool_threads() == 1
        r = t.classes_with_assignment(inp["ztz"], inp["ztx"], inp["zty"], inp["asg"], 50)
        out.update({k: r[k] for k in ("counts", "class_ztz", "sums", "assignment")})
        """,
        dict(ztz=ztz, ztx=ztx, zty=zty, asg=asg),
        one_thread=True,
    )
    for name, r in res.items():
        for key in ("counts", "class_ztz", "sums"):
            assert np.array_equal(bits(r[key]), bits(built[key])), (name, key)
        assert np.array_equal(r["assignment"], asg), name


@pytest.mark.parametrize("q", [1, 2])
def test_aggregated_core_reports_class_count(q):
    rng = np.random.default_rng(5)
    sizes = rng.choice([1, 2, 3, 5], size=40)
    sizes[:4] = [1, 2, 3, 5]
    codes = np.repeat(np.arange(40), sizes).astype(np.int64)
    n = codes.size
    x = np.column_stack([np.ones(n), rng.standard_normal(n)])
    z = np.ones((n, 1)) if q == 1 else np.column_stack([np.ones(n), np.tile([0.0, 1.0], n)[:n]])
    y = rng.standard_normal(n)
    core = LmmCore(y, x, z, codes, 40, evaluator="aggregated")
    prep = t.prepare(y, x, z, codes, 40)
    built = t.classes_build(prep["ztz"], prep["ztx"], prep["zty"])
    assert core.evaluator == "aggregated"
    assert core.n_classes == built["n_classes"]
    if q == 1:  # Z_i'Z_i is the group size
        assert core.n_classes == 4
