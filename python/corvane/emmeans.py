"""Estimated marginal means and their comparisons. Mixed into
:class:`corvane.result.LmmResult`."""

from __future__ import annotations

__all__ = ["MarginalMeans"]


class MarginalMeans:
    """emmeans and pairwise (mixed into LmmResult)."""
