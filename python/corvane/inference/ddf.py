"""The fixed effects' t and F tests by a choice of denominator df
(Satterthwaite's, Kenward and Roger's, or the normal approximation's
infinite df): the df methods' common face, the t tests behind every
p value a linear model reports, the coefficient table and the F test of a
contrast (lmerTest's contest).
"""

from __future__ import annotations

import math

import numpy as np

from .. import _dist
from .._checks import check_ddf
from .._dist import normal_two_sided
from .satterthwaite import satterthwaite_of

__all__ = ["df_method", "f_pvalue", "f_row", "ddf", "t_tests", "coef_table", "contrast_test", "contrast_matrix",
           "contrast_arguments"]


def df_method(result, ddf="satterthwaite"):
    """The object behind every t and F test of the fixed effects by the
    method ``ddf``: ``cov_beta`` (the covariance the tests use, on the
    user's scale), ``t_test(l)`` -> (estimate, std error, df) and
    ``f_test(L, rhs)`` -> (F, NumDF, DenDF). "normal" has infinite df."""
    check_ddf(ddf)
    if ddf == "satterthwaite":
        return satterthwaite_of(result)
    if ddf == "normal":
        return _Normal(result)
    from .kenward_roger import kenward_roger

    return kenward_roger(result)


class _Normal:
    """The normal approximation: cov(beta) as fitted, infinite df."""

    def __init__(self, result):
        self.cov_beta = np.asarray(result.cov_beta, dtype=np.float64)
        self.beta = np.asarray(result.beta, dtype=np.float64)

    def t_test(self, l):
        l = np.asarray(l, dtype=np.float64)
        return float(l @ self.beta), math.sqrt(max(float(l @ self.cov_beta @ l), 0.0)), math.inf

    def f_test(self, L, rhs=None):
        L = np.atleast_2d(np.asarray(L, dtype=np.float64))
        est = L @ self.beta - (0.0 if rhs is None else np.asarray(rhs, dtype=np.float64))
        vl = L @ self.cov_beta @ L.T
        d, v = np.linalg.eigh(0.5 * (vl + vl.T))
        pos = d > max(np.finfo(float).eps ** 0.5 * float(d.max()), 0.0)
        q = int(pos.sum())
        if q == 0:
            raise ValueError("the contrast has no estimable direction (L cov(beta) L' is zero)")
        return float(np.sum((v[:, pos].T @ est) ** 2 / d[pos]) / q), q, math.inf


def ddf(result):
    """Satterthwaite's df of every fixed effect (an array)."""
    return satterthwaite_of(result).df()


def t_tests(result):
    """(df, p): Satterthwaite's df and the two-sided p values of the fixed
    effects' t statistics. The one definition behind ``result.p_values``,
    ``pvalues``, ``ddf``, ``coef_table()``, the summaries and ``to_dict``;
    needs scipy (ImportError naming the extra otherwise)."""
    df = satterthwaite_of(result).df()
    return df, _dist.t_two_sided(result.t_values, df)


def coef_table(result, ddf="satterthwaite"):
    """Estimate, Std. Error, df, t value, Pr(>|t|) by fixed effect (a pandas
    DataFrame); ddf="kenward-roger": Kenward and Roger's adjusted standard
    errors and df (lmerTest's summary with ddf="Kenward-Roger");
    ddf="normal": Estimate, Std. Error, z value, Pr(>|z|).

    Examples
    --------
    >>> import corvane
    >>> from corvane.inference import ddf
    >>> from corvane._example import example_frame
    >>> r = corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame())
    >>> ddf.coef_table(r).round(2).loc["Days"].tolist()
    [11.63, 1.5, 17.0, 7.78, 0.0]
    >>> ddf.coef_table(r, ddf="normal").columns.tolist()
    ['Estimate', 'Std. Error', 'z value', 'Pr(>|z|)']
    """
    check_ddf(ddf)
    t = np.asarray(result.t_values, dtype=np.float64)
    if ddf == "normal":
        return _dist.number_table(("Estimate", "Std. Error", "z value", "Pr(>|z|)"),
                                  (result.beta, result.std_errors, t, normal_two_sided(t)), result.fe_names, "term")
    if ddf == "kenward-roger":
        kr = df_method(result, ddf)
        p = len(result.beta)
        tests = [kr.t_test(np.eye(p)[j]) for j in range(p)]
        se = np.array([x[1] for x in tests])
        df = np.array([x[2] for x in tests])
        with np.errstate(divide="ignore", invalid="ignore"):
            t = np.asarray(result.beta, dtype=np.float64) / se
        pv = _dist.t_two_sided(t, df)
    else:
        se = result.std_errors
        df, pv = t_tests(result)
    return _dist.number_table(T_COLUMNS, (result.beta, se, df, t, pv), result.fe_names, "term")


T_COLUMNS = ("Estimate", "Std. Error", "df", "t value", "Pr(>|t|)")


def f_pvalue(f, q, df2):
    """Pr(>F) of an F statistic on (q, df2) degrees of freedom; an infinite
    df2 is the chi-squared limit (q F on q df)."""
    stats = _dist.stats()
    if math.isinf(df2):
        return float(stats.chi2.sf(f * q, q))
    return float(stats.f.sf(f, q, df2))


def f_row(method, L, rhs=None):
    """(Mean Sq / sigma^2, F value, NumDF, DenDF) of a contrast by a df
    method: the mean square is the Wald statistic over NumDF, F the same
    times Kenward and Roger's scaling where the method has one (lmerTest's
    table)."""
    f, q, df2 = method.f_test(L, rhs)
    wald = method.wald_f(L, rhs) if hasattr(method, "wald_f") else f
    return wald, f, q, df2


def contrast_matrix(result, L):
    """A contrast (a vector, a k x p matrix, or a pandas DataFrame or Series
    naming fixed effects) as a checked k x p matrix."""
    p = len(result.fe_names)
    pd = None
    if type(L).__module__.split(".")[0] == "pandas":
        pd = _dist.pandas()
    if pd is not None and isinstance(L, (pd.Series, pd.DataFrame)):
        frame = L.to_frame().T if isinstance(L, pd.Series) else L
        unknown = [c for c in frame.columns if c not in result.fe_names]
        if unknown:
            raise ValueError(f"contrast columns {unknown} are not fixed effects {result.fe_names}")
        L = frame.reindex(columns=result.fe_names, fill_value=0.0).to_numpy(dtype=np.float64)
    L = np.atleast_2d(np.asarray(L, dtype=np.float64))
    if L.ndim != 2 or L.shape[1] != p:
        raise ValueError(f"L must have {p} columns (one per fixed effect: {result.fe_names}), got shape "
                         f"{np.shape(L)}")
    if not np.all(np.isfinite(L)):
        raise ValueError("L must be finite")
    return L


def contrast_test(result, L, rhs=None, ddf="satterthwaite"):
    """The F test of H0: L beta = rhs with Satterthwaite's (or Kenward and
    Roger's) denominator df, as lmerTest's contest: a one-row DataFrame with
    Sum Sq, Mean Sq, NumDF, DenDF, F value, Pr(>F)."""
    pd = _dist.pandas()
    method = df_method(result, ddf)
    L, rhs = contrast_arguments(result, L, rhs)
    wald, f, q, df2 = f_row(method, L, rhs)
    return pd.DataFrame({"Sum Sq": [wald * q * result.sigma2], "Mean Sq": [wald * result.sigma2], "NumDF": [q],
                         "DenDF": [df2], "F value": [f], "Pr(>F)": [f_pvalue(f, q, df2)]})


def contrast_arguments(result, L, rhs):
    """(L, rhs) of a test of L beta = rhs, checked: L as contrast_matrix
    gives it, rhs None or one value per row of L."""
    L = contrast_matrix(result, L)
    if rhs is not None:
        rhs = np.asarray(rhs, dtype=np.float64)
        if rhs.ndim > 1 or rhs.size not in (1, L.shape[0]):
            raise ValueError(f"rhs must be one value or one per row of L ({L.shape[0]}), got shape {rhs.shape}")
        if not np.all(np.isfinite(rhs)):
            raise ValueError(f"rhs must be finite, got {rhs.tolist()}")
        rhs = np.broadcast_to(rhs.reshape(-1), (L.shape[0],))
    return L, rhs
