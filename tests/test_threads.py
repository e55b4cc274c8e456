"""Process-wide thread control: set_num_threads / get_num_threads, and the
same bits from every method whatever the number of threads."""

import os

import numpy as np
import pytest

import corvane
from conftest import needs_fork, available_cpus, run_child, same
from corvane import LmmCore

pytestmark = [pytest.mark.native, pytest.mark.serial]

DEFAULT = available_cpus()


@pytest.fixture
def restore_threads():
    yield
    corvane.set_num_threads(None)


def test_set_and_get(restore_threads):
    assert corvane.get_num_threads() == DEFAULT
    assert corvane.set_num_threads(1) == 1 and corvane.get_num_threads() == 1
    assert corvane.set_num_threads(3) == 3 and corvane.get_num_threads() == 3
    assert corvane.set_num_threads(n=2) == 2
    assert corvane.set_num_threads(None) == DEFAULT and corvane.get_num_threads() == DEFAULT


@pytest.mark.parametrize("value, error, match", [
    (0, ValueError, "n must be between 1 and 1024, or None, got 0"),
    (-2, ValueError, "got -2"),
    (1025, ValueError, "got 1025"),
    (2**70, ValueError, "got 1180591620717411303424"),
    (2.0, TypeError, "n must be an int or None, not float"),
    (True, TypeError, "not bool"),
    ("2", TypeError, "not str"),
])
def test_bad_counts(value, error, match, restore_threads):
    with pytest.raises(error, match=match):
        corvane.set_num_threads(value)
    assert corvane.get_num_threads() == DEFAULT


@needs_fork
def test_a_forked_child_keeps_the_setting():
    out = run_child("""
        import corvane, os
        corvane.set_num_threads(1)
        pid = os.fork()
        if pid == 0:
            os._exit(0 if corvane.get_num_threads() == 1 else 1)
        print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
    """)
    assert out.strip() == "0"


def results(y, x, z, codes, m, evaluator, theta):
    """Everything the core computes from a fresh construction."""
    core = LmmCore(y, x, z, codes, m, evaluator)
    out = [core.evaluator, core.n_classes, core.deviance(theta), core.deviance_grad(theta, False),
           core.solution(theta), core.conditional_covariances(theta)]
    fit = core.fit(theta + [0.5 * v for v in theta], max_iter=30)
    out += [fit[k] for k in ("theta", "deviance", "iterations", "fev")]
    out.append(core.with_response(y[::-1].copy(), x, z, codes).deviance_grad(theta))
    return out


@pytest.mark.parametrize("order", ["grouped", "shuffled"])
@pytest.mark.parametrize("evaluator", ["blocks", "streaming", "aggregated"])
def test_bits_do_not_depend_on_the_thread_count(order, evaluator, restore_threads):
    # Large enough that every pass goes to the pool with more than one
    # thread, and that unsorted rows take the parallel construction route.
    rng = np.random.default_rng(3)
    m, per, p, q = 100_000, 3, 3, 2
    n = m * per
    codes = np.repeat(np.arange(m, dtype=np.int64), per)
    if order == "shuffled":
        codes = rng.permutation(codes)
    x = np.column_stack([np.ones(n), rng.standard_normal((n, p - 1))])
    z = np.column_stack([np.ones(n), np.tile(np.arange(per, dtype=float), m)
                         if evaluator == "aggregated" else rng.standard_normal(n)])
    y = x.sum(1) + rng.standard_normal(n)
    theta = [0.8, 0.1, 0.4]
    reference = None
    for threads in (1, 2, 3, 5):
        corvane.set_num_threads(threads)
        got = results(y, x, z, codes, m, evaluator, theta)
        if reference is None:
            reference = got
        else:
            assert all(same(a, b) for a, b in zip(got, reference)), threads
