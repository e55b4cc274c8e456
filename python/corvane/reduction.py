"""Tests by reducing the model: each random-effect term (ranova), each fixed
term (drop1). Mixed into :class:`corvane.result.LmmResult`."""

from __future__ import annotations

__all__ = ["Reductions"]


class Reductions:
    """ranova and drop1 (mixed into LmmResult)."""
