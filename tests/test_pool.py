"""The process-wide worker pool: size, indexed map, concurrency and fork safety."""

import multiprocessing
import os
import threading

import pytest

from conftest import needs_fork, available_cpus, run_child, wait_forked

pytestmark = [pytest.mark.native, pytest.mark.serial]

t = pytest.importorskip("corvane._corvane_tests")

N_CPUS = available_cpus()
multi_cpu = pytest.mark.skipif(N_CPUS < 2, reason="needs more than one CPU")


def squares(n):
    return [i * i for i in range(n)]


def test_pool_threads_follow_affinity():
    assert t.pool_threads() == N_CPUS


def test_one_thread_child_pool():
    out = run_child(
        """
        import corvane._corvane_tests as t
        assert t.pool_map(5000, 10) == [i * i for i in range(5000)]
        print(t.pool_threads(), t.pool_map_threads(2000, 20000))
        """,
        one_thread=True,
    )
    assert out.split() == ["1", "1"]


@pytest.mark.parametrize("n, work", [(0, 0), (1, 0), (1, 100), (2, 0), (1000, 50), (200_000, 0)])
def test_pool_map_results(n, work):
    got = t.pool_map(n, work)
    assert isinstance(got, list)
    assert got == squares(n)


def test_concurrent_maps_from_python_threads():
    sizes = [0, 1, 7, 513, 4096, 30_000, 100, 65]
    errors = []
    start = threading.Barrier(len(sizes))

    def worker(n):
        try:
            start.wait()
            for _ in range(5):
                got = t.pool_map(n, 200)
                if got != squares(n):
                    errors.append(f"wrong result for n={n}")
                    return
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(repr(exc))

    threads = [threading.Thread(target=worker, args=(n,)) for n in sizes]
    for th in threads:
        th.start()
    for th in threads:
        th.join(timeout=120)
    assert not any(th.is_alive() for th in threads), "a concurrent map never returned"
    assert errors == []


@multi_cpu
def test_several_threads_take_part():
    # Scheduling is not deterministic: a few attempts with enough work per item.
    seen = [t.pool_map_threads(400, 200_000) for _ in range(5)]
    assert all(1 <= s <= t.pool_threads() for s in seen)
    assert max(seen) > 1


@needs_fork
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_pool_after_os_fork():
    assert t.pool_map(10_000, 10) == squares(10_000)  # the pool exists and has run
    pid = os.fork()
    if pid == 0:  # child: never return into pytest
        code = 1
        try:
            ok = t.pool_map(20_000, 20) == squares(20_000)
            ok = ok and t.pool_threads() == N_CPUS
            ok = ok and t.pool_map(0) == []
            code = 0 if ok else 1
        except BaseException:
            code = 2
        finally:
            os._exit(code)
    assert wait_forked(pid) == 0
    assert t.pool_map(10_000, 10) == squares(10_000)


def _map_in_child(n):
    return t.pool_map(n, 20) == squares(n), t.pool_threads()


@needs_fork
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_pool_in_multiprocessing_fork_children():
    assert t.pool_map(5000, 10) == squares(5000)
    ctx = multiprocessing.get_context("fork")
    with ctx.Pool(2) as procs:
        got = procs.map_async(_map_in_child, [0, 1, 100, 50_000]).get(timeout=60)
    assert got == [(True, N_CPUS)] * 4
    assert t.pool_map(50_000, 10) == squares(50_000)
    if N_CPUS > 1:
        assert max(t.pool_map_threads(400, 200_000) for _ in range(5)) > 1
