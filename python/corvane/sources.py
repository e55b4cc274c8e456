"""Where rows come from. For now: tables in memory (a pandas DataFrame, or a
mapping of column names to values), as a DataFrame whose column names are
strings."""

from __future__ import annotations

from ._errors import require

__all__ = ["as_frame"]


def as_frame(data):
    """A pandas DataFrame of the data, its column names as strings (two
    columns whose names read the same are refused)."""
    pd = require("pandas", purpose="the formula interface")
    if isinstance(data, pd.DataFrame):
        frame = data
    else:
        try:
            frame = pd.DataFrame(data)
        except (TypeError, ValueError) as exc:
            raise TypeError(f"data must be a pandas DataFrame or a mapping of columns ({exc})") from None
    names = [str(c) for c in frame.columns]
    if len(set(names)) != len(names):
        seen, dup = set(), []
        for n in names:
            if n in seen:
                dup.append(n)
            seen.add(n)
        raise ValueError(f"the data has duplicate column names: {', '.join(map(repr, sorted(set(dup))))}")
    if any(not isinstance(c, str) for c in frame.columns):
        frame = frame.rename(columns=str, copy=False) if _has_copy_kw(pd) else frame.rename(columns=str)
    return frame


def _has_copy_kw(pd):
    return int(pd.__version__.split(".")[0]) < 3
