"""NumPy's BLAS kept to one thread around loops of tiny matrix calls.

Profiles and other inner optimisations call the BLAS thousands of times on
matrices of a few rows. A multithreaded BLAS wakes its threads for each
call and lets them spin between calls: on a machine with other work running
they compete with that work and a profile that takes a tenth of a second
alone takes seconds. One thread does such calls fastest. threadpoolctl
(installed with the formula interface) sets the BLAS's thread count for the
duration; without it the BLAS keeps its own setting.

Finding the loaded BLAS libraries (threadpoolctl reads the process's list
of shared objects and queries each) costs about a millisecond, more than a
whole profile of a small model, so the controller is kept and found again
only when modules have been imported since (a new extension module is how
a new BLAS gets loaded).
"""

from __future__ import annotations

import contextlib
import sys
import threading

__all__ = ["one_blas_thread"]

_lock = threading.Lock()
_controller = None
_modules_seen = -1


def _blas_controller():
    """threadpoolctl's controller of the loaded libraries, kept while the
    set of imported modules stays the same; None without threadpoolctl."""
    global _controller, _modules_seen
    try:
        from threadpoolctl import ThreadpoolController
    except ImportError:
        return None
    with _lock:
        count = len(sys.modules)
        if _controller is None or count != _modules_seen:
            _controller, _modules_seen = ThreadpoolController(), count
        return _controller


def one_blas_thread():
    """A context manager that holds the BLAS libraries NumPy and SciPy use
    to one thread (threadpoolctl), restoring their setting on exit; a
    context that does nothing without threadpoolctl, or inside another
    such context on the same thread (the limit holds already)."""
    if getattr(_held, "depth", 0):
        return _nested()
    controller = _blas_controller()
    if controller is None:
        return contextlib.nullcontext()
    return _holding(controller)


_held = threading.local()


@contextlib.contextmanager
def _nested():
    _held.depth += 1
    try:
        yield
    finally:
        _held.depth -= 1


@contextlib.contextmanager
def _holding(controller):
    with controller.limit(limits=1, user_api="blas"):
        _held.depth = 1
        try:
            yield
        finally:
            _held.depth = 0
