"""corvane: fast, certified fitting of linear mixed models with one grouping factor.

- :func:`lmm` fits a model from an lme4-style formula and a table (needs the
  extra ``pip install corvane[formula]``);
- :class:`LinearMixedModel` fits one from arrays (NumPy or pandas);
- :func:`glmm` fits a generalized linear mixed model (binomial, Poisson) by
  the Laplace approximation or adaptive quadrature, and
  :class:`GeneralizedLinearMixedModel` one from arrays;
- :func:`set_num_threads` / :func:`get_num_threads` control the worker threads;
- ``with`` :func:`general_route` ``():`` turns every fast path off (each gives
  the general route's numbers; for users who suspect one);
- the numerical core lives in :mod:`corvane._corvane` (:class:`LmmCore`,
  :class:`Accumulator`).

Importing the package imports neither pandas nor formulaic.
"""

from typing import Any

from ._corvane import Accumulator, GlmmCore, LmmCore, MmrmCore, __version__, get_num_threads, set_num_threads
from ._routes import general_route
from ._errors import ConvergenceWarning, ProfileWarning, RankDeficiencyWarning, SeparationWarning, SingularFitWarning
from .generalized.model import GeneralizedLinearMixedModel, glmm
from .generalized.result import GlmmResult
from .many import ManyResult, glmm_many, lmm_many
from .model.lmm import LinearMixedModel, lmm
from .mmrm.model import RepeatedMeasuresModel, mmrm
from .mmrm.result import MmrmResult
from .results.lmm import LmmResult


def anova(*results: LmmResult, refit: bool = True, names: "list[str] | None" = None) -> Any:
    """Likelihood-ratio tests of nested models, as lme4's ``anova``.

    Parameters
    ----------
    *results : LmmResult or GlmmResult
        Two or more fits to the same rows (in any order), all linear or all
        generalized of one family.
    refit : bool
        Refit REML fits by maximum likelihood first (default), since REML
        criteria of models with different fixed effects do not compare.
    names : list of str, optional
        Row labels (default "model1", "model2", ... in argument order).

    Returns
    -------
    pandas.DataFrame
        One row per model in increasing number of parameters: npar, AIC, BIC,
        logLik, deviance, Chisq, Df, Pr(>Chisq) (each row tested against the
        one above it).

    Raises
    ------
    ValueError
        For fewer than two models, models fitted to different data (the
        message says what differs: the number of observations, the groups,
        the response, the rows or the weights; the same rows in another
        order are the same data), or (with ``refit=False``) a mix of REML
        and ML fits.

    Examples
    --------
    >>> import corvane
    >>> from corvane._example import example_frame
    >>> df = example_frame()
    >>> m0 = corvane.lmm("Reaction ~ 1 + (Days | Subject)", df)
    >>> m1 = corvane.lmm("Reaction ~ Days + (Days | Subject)", df)
    >>> table = corvane.anova(m0, m1)
    >>> table["Df"].tolist()[1], round(float(table["Chisq"].iloc[1]), 2)
    (1.0, 27.31)
    """
    from .inference.lrt import lrt_table

    return lrt_table(results, refit=refit, names=names)


def emmeans(result: Any, specs: Any, **options: Any) -> Any:
    """Estimated marginal means of a fit, as R's ``emmeans(fit, ~ specs)``:
    ``result.emmeans(specs, **options)`` (see
    :meth:`corvane.LmmResult.emmeans` and :meth:`corvane.GlmmResult.emmeans`).
    specs may be a one-sided formula, ``"~ period"`` or ``"~ a | b"``.

    Examples
    --------
    >>> import corvane
    >>> from corvane._example import example_frame
    >>> df = example_frame()
    >>> df["half"] = (df["Days"] >= 5).map({True: "late", False: "early"})
    >>> r = corvane.lmm("Reaction ~ Days * half + (1 | Subject)", df)
    >>> corvane.emmeans(r, "~ half")["half"].tolist()
    ['early', 'late']
    """
    return result.emmeans(specs, **options)


__all__ = ["Accumulator", "ConvergenceWarning", "anova", "emmeans", "GeneralizedLinearMixedModel", "general_route", "GlmmCore",
           "GlmmResult", "glmm", "glmm_many", "lmm_many", "ManyResult", "LinearMixedModel", "LmmCore", "LmmResult", "mmrm", "MmrmCore", "MmrmResult",
           "RepeatedMeasuresModel", "ProfileWarning", "SeparationWarning",
           "RankDeficiencyWarning", "SingularFitWarning", "get_num_threads", "lmm", "set_num_threads", "__version__"]


def __dir__():
    """The public names (the subpackages stay importable by name)."""
    return sorted(__all__)
