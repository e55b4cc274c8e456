"""corvane: fast, certified fitting of linear mixed models with one grouping factor.

- :func:`lmm` fits a model from an lme4-style formula and a table (needs the
  extra ``pip install corvane[formula]``);
- :class:`LinearMixedModel` fits one from arrays (NumPy or pandas);
- :func:`set_num_threads` / :func:`get_num_threads` control the worker threads;
- the numerical core lives in :mod:`corvane._corvane` (:class:`LmmCore`,
  :class:`Accumulator`).

Importing the package imports neither pandas nor formulaic.
"""

from ._corvane import Accumulator, LmmCore, __version__, get_num_threads, set_num_threads
from ._errors import ConvergenceWarning, RankDeficiencyWarning, SingularFitWarning
from .model import LinearMixedModel, lmm
from .result import LmmResult

__all__ = ["Accumulator", "ConvergenceWarning", "LinearMixedModel", "LmmCore", "LmmResult",
           "RankDeficiencyWarning", "SingularFitWarning", "get_num_threads", "lmm", "set_num_threads",
           "__version__"]
