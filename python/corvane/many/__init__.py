"""Many responses on one design: the same mixed model fitted to each of
thousands of responses (genes, proteins, metabolites), a tidy table of
their tests back."""

from __future__ import annotations

from typing import Any

from .._checks import check_bool, check_ddf
from .glmm import GlmmMany
from .lmm import LmmMany
from .runner import DEFAULT_BLOCK, ManyResult

__all__ = ["lmm_many", "glmm_many", "ManyResult"]


def lmm_many(formula: str, data: Any, responses: Any, *, names: Any = None, weights: Any = None,
             coefs: Any = None, contrasts: Any = None, ddf: str = "satterthwaite", reml: bool = True,
             block: int | None = DEFAULT_BLOCK, progress: bool = True) -> ManyResult:
    """Fit one linear mixed model to each of many responses.

    Parameters
    ----------
    formula : str
        The model without a response: ``"~ condition * time + (1 | subject)"``.
    data : table
        The samples' covariates (anything :func:`corvane.lmm` takes as data).
        Rows with a missing covariate are dropped for every response.
    responses : list of str, array, DataFrame, path or pyarrow Table
        Column names of ``data``; a 2-D array with one row per row of
        ``data`` and one column per response (``names`` names them, else
        "y0", "y1", ...); a pandas DataFrame of samples x responses paired
        with ``data`` by index (the layout omics tools use); a Parquet file
        or folder, a pyarrow Table or Dataset, whose columns are the
        responses and whose rows are ``data``'s in order, read ``block``
        columns at a time.
    weights : str, array or DataFrame, optional
        Precision weights: a column of ``data`` or one value per row, shared
        by every response; or one per row and response (a 2-D array, or a
        DataFrame shaped like the responses), each response fitted with its
        own.
    coefs : list of str, optional
        The fixed effects to test (default: all of them, unless contrasts
        are given).
    contrasts : dict, optional
        name -> contrast, as :func:`corvane.inference.ddf.contrast_test`
        takes it (a vector, a matrix, or a pandas Series or DataFrame naming
        fixed effects). A one-row contrast gets a t test, a matrix an F test.
    ddf : {"satterthwaite", "kenward-roger", "normal"}
        The denominator df of the tests. Kenward and Roger's fit each
        response alone.
    reml : bool
        REML (default) or maximum likelihood.
    block : int, optional
        Responses read and fitted together (default: 1,000, fewer when the
        data have more than 20,000 rows, so that a block holds about 2e7
        values).
    progress : bool
        A progress bar by blocks when the fit takes more than a second.

    Returns
    -------
    ManyResult
        ``table``: one row per response and term, with Benjamini and
        Hochberg's adjusted p values; ``fits``: one row per response;
        ``result(name)``: one response's full fit.

    Notes
    -----
    A response's missing values drop its rows for it alone (``n_missing``
    says how many). A response that cannot be fitted (a constant, too few
    rows) gets a row whose ``message`` says why; the others are unaffected.
    Each response's numbers are those of ``corvane.lmm`` on that response.

    Examples
    --------
    >>> import numpy as np, corvane
    >>> from corvane._example import example_frame
    >>> df = example_frame()
    >>> genes = np.random.default_rng(1).normal(size=(len(df), 3)) + df[["Reaction"]].to_numpy() / 50
    >>> many = corvane.lmm_many("~ Days + (1 | Subject)", df, genes, coefs=["Days"], progress=False)
    >>> many.table[["response", "term"]].values.tolist()
    [['y0', 'Days'], ['y1', 'Days'], ['y2', 'Days']]
    """
    reml = check_bool(reml, "reml")
    check_ddf(ddf)
    run = LmmMany(formula, data, reml, weights, ddf, responses=responses, names=names, coefs=coefs,
                  contrasts=contrasts, block=block, progress=progress)
    return run.run()


def glmm_many(formula: str, data: Any, responses: Any, family: str = "poisson", link: str | None = None, *,
              names: Any = None, offset: Any = None, weights: Any = None, nagq: int = 1, coefs: Any = None,
              contrasts: Any = None, block: int | None = DEFAULT_BLOCK, progress: bool = True) -> ManyResult:
    """Fit one generalized linear mixed model to each of many responses:
    counts (family "poisson", "negative_binomial", "negative_binomial1")
    or binary responses ("binomial").

    Parameters
    ----------
    formula, data, responses, names, coefs, contrasts, block, progress
        As for :func:`lmm_many`.
    family, link, nagq
        As for :func:`corvane.glmm`.
    offset : str or array_like, optional
        A known term of the linear predictor shared by every response (a
        column of ``data`` such as log library size, or one value per row);
        ``offset(column)`` in the formula does the same.
    weights : str, array or DataFrame, optional
        Prior weights, shared or one per row and response.

    Returns
    -------
    ManyResult
        As for :func:`lmm_many`; the tests are Wald's z (chi-squared for a
        contrast of several rows); the scale column is phi (the negative
        binomials'; NaN otherwise).

    Examples
    --------
    >>> import numpy as np, corvane
    >>> from corvane._example import example_frame
    >>> df = example_frame()
    >>> counts = np.random.default_rng(2).poisson(5.0, size=(len(df), 2))
    >>> many = corvane.glmm_many("~ Days + (1 | Subject)", df, counts, coefs=["Days"], progress=False)
    >>> many.table["converged"].tolist()
    [True, True]
    """
    run = GlmmMany(formula, data, family, link, offset, nagq, weights, responses=responses, names=names,
                   coefs=coefs, contrasts=contrasts, block=block, progress=progress)
    return run.run()
