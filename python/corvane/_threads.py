"""NumPy's BLAS kept to one thread around loops of tiny matrix calls.

Profiles and other inner optimisations call the BLAS thousands of times on
matrices of a few rows. A multithreaded BLAS wakes its threads for each
call and lets them spin between calls: on a machine with other work running
they compete with that work and a profile that takes a tenth of a second
alone takes seconds. One thread does such calls fastest. threadpoolctl
(installed with the formula interface) sets the BLAS's thread count for the
duration; without it the BLAS keeps its own setting.
"""

from __future__ import annotations

import contextlib

__all__ = ["one_blas_thread"]


def one_blas_thread():
    """A context manager that holds the BLAS libraries NumPy and SciPy use
    to one thread (threadpoolctl), restoring their setting on exit; a
    context that does nothing without threadpoolctl."""
    try:
        from threadpoolctl import threadpool_limits
    except ImportError:
        return contextlib.nullcontext()
    return threadpool_limits(limits=1, user_api="blas")
