"""corvane: fast profiled-REML fitting of linear mixed models with one grouping factor.

The numerical core lives in :mod:`corvane._corvane` (class :class:`LmmCore`).
"""

from ._corvane import LmmCore, __version__

__all__ = ["LmmCore", "__version__"]
