"""corvane: fast profiled-REML fitting of linear mixed models with one grouping factor.

- :func:`lmm` fits a model from an lme4-style formula and a pandas DataFrame
  (needs the extra ``pip install corvane[formula]``);
- :class:`LinearMixedModel` fits one from arrays (NumPy or pandas);
- the numerical core lives in :mod:`corvane._corvane` (class :class:`LmmCore`).

Importing the package imports neither pandas nor formulaic.
"""

from ._corvane import LmmCore, __version__, get_num_threads, set_num_threads
from .formula import lmm
from .model import LinearMixedModel, LmmResult

__all__ = ["LmmCore", "LinearMixedModel", "LmmResult", "lmm", "get_num_threads", "set_num_threads",
           "__version__"]
