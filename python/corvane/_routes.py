"""One switch over the fast paths.

The common cases have faster routes than the general one (a formula of
plain columns built without formulaic, a table's rows read without a
sub-table, Arrow columns added without a pandas table, Dask partitions
coded in one pass, the exact-fit check solved directly in the core, a
clearly full-rank design's aliasing answered by one Cholesky factor,
Arrow strings' codes kept between calls); each gives what the general route
gives. Inside ``with corvane.general_route():``, or
with the environment variable ``CORVANE_GENERAL_ROUTE=1``, every one of them
is turned off: for tests that compare the routes, and for users who suspect
a fast path. The switch is per thread.
"""

from __future__ import annotations

import contextlib
import os
import threading

__all__ = ["general_route", "fast"]

_FORCED = os.environ.get("CORVANE_GENERAL_ROUTE", "").strip() not in ("", "0")


class _Depth(threading.local):
    """How many general_route blocks this thread is in (a class attribute
    as the default, so that the check on every call raises nothing)."""

    depth = 0


_state = _Depth()


def fast():
    """Whether a fast path may be taken."""
    return not (_FORCED or _state.depth)


@contextlib.contextmanager
def general_route():
    """Within the block, every fast path is turned off (in this thread):
    formulas are built by formulaic, tables' rows read through a converted
    sub-table, strings coded as Python strings, data read in batches
    through pandas, and the exact-fit and aliasing checks take their
    careful paths. The numbers are the same; only the time differs.

    Examples
    --------
    >>> import corvane
    >>> from corvane._example import example_frame
    >>> df = example_frame()
    >>> with corvane.general_route():
    ...     slow = corvane.lmm("Reaction ~ Days + (Days | Subject)", df)
    >>> slow.criterion == corvane.lmm("Reaction ~ Days + (Days | Subject)", df).criterion
    True
    """
    _state.depth += 1
    try:
        yield
    finally:
        _state.depth -= 1
