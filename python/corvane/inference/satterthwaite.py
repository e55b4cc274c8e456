"""Tests of the fixed effects and of nested models: Satterthwaite's degrees
of freedom, t tests and the coefficient table, F tests of contrasts, the
type I / type III anova by formula term, and likelihood-ratio tests (with
the maximum-likelihood refit they need and the check that two fits share
their data).

Everything is computed on the core's parametrisation (centred and scaled
columns) and mapped to the user's by :class:`corvane.model.reparam.Reparam`: the
tests are invariant under that linear map.

Satterthwaite's method follows lmerTest: the variance parameters are
phi = (theta, sigma); their asymptotic covariance is twice the (pseudo-)
inverse of the Hessian of the unprofiled criterion in phi, and
cov(beta) = sigma^2 (X'V^-1 X)^-1 is differentiated in phi. Both come from
the core exactly, at a cost proportional to the number of groups, where
lmerTest differentiates numerically.
"""

from __future__ import annotations

import math
import warnings

import numpy as np

from ..formula.labels import INTERCEPT, is_intercept
from .. import _dist
from .._dist import normal_two_sided

__all__ = ["Satterthwaite", "DDF_METHODS", "check_ddf", "df_method", "f_pvalue", "f_row", "ddf", "t_tests", "coef_table", "contrast_test", "anova_type3",
           "lrt_table"]

# Eigenvalues of the Hessian in phi below this fraction of the largest are
# treated as zero (pseudo-inverse), as lmerTest does with its absolute 1e-8.
_EIG_TOL = 1e-10


# ---- Satterthwaite ----------------------------------------------------------------

class Satterthwaite:
    """Satterthwaite's approximation for a fitted result: the asymptotic
    covariance of phi = (theta, sigma) and the derivatives of cov(beta) in
    phi, on the user's scale of beta."""

    def __init__(self, result):
        model = result.model
        rp = model.reparam
        vd = model.core.variance_derivatives(result.theta_core.tolist(), reml=result.reml)
        nu, r2 = vd["nmp"], vd["pwrss"]
        s2 = r2 / nu
        s = math.sqrt(s2)
        # Only theta's free entries are parameters (uncorrelated blocks hold the rest at 0).
        free = model.theta_free if model.theta_free is not None else np.arange(len(result.theta_core))
        k = len(free)
        pg = np.asarray(vd["pwrss_grad"])[free]
        # Hessian of d(theta, sigma) = ld(theta) + nu log(2 pi sigma^2) + pwrss(theta)/sigma^2
        # at sigma^2 = pwrss/nu, from the profiled criterion's Hessian.
        h = np.empty((k + 1, k + 1))
        h[:k, :k] = np.asarray(vd["hessian"])[np.ix_(free, free)] + nu * np.outer(pg, pg) / (r2 * r2)
        h[:k, k] = h[k, :k] = -2.0 * pg / (s2 * s)
        h[k, k] = 4.0 * nu / s2
        w, v = np.linalg.eigh(h)
        keep = w > _EIG_TOL * max(float(np.max(np.abs(w))), 1e-300)
        self.n_zero = int(np.sum(~keep))
        self.vcov_varpar = 2.0 * (v[:, keep] / w[keep]) @ v[:, keep].T
        c = np.linalg.inv(np.asarray(vd["xvx"]))
        c = 0.5 * (c + c.T)
        t = rp.beta_map()  # beta_user = t beta_core + constant
        self.cov_beta = t @ (s2 * c) @ t.T
        jac = [t @ (-s2 * c @ np.asarray(vd["xvx_grad"][int(j)]) @ c) @ t.T for j in free]
        jac.append(t @ (2.0 * s * c) @ t.T)
        self.jac = np.array(jac)  # (k + 1, p, p)
        self.beta = np.asarray(result.beta)
        self.sigma2_user = result.sigma2

    def t_test(self, l):
        """(estimate, std error, df) of l' beta."""
        l = np.asarray(l, dtype=np.float64)
        var = float(l @ self.cov_beta @ l)
        g = np.einsum("i,kij,j->k", l, self.jac, l)
        denom = float(g @ self.vcov_varpar @ g)
        df = 2.0 * var * var / denom if denom > 0 else math.inf
        return float(l @ self.beta), math.sqrt(max(var, 0.0)), df

    def df(self):
        p = len(self.beta)
        return np.array([self.t_test(np.eye(p)[j])[2] for j in range(p)])

    def f_test(self, L, rhs=None):
        """lmerTest's contest for a contrast matrix L (k x p): F value, NumDF
        (the rank of L cov(beta) L'), DenDF."""
        L = np.atleast_2d(np.asarray(L, dtype=np.float64))
        est = L @ self.beta - (0.0 if rhs is None else np.asarray(rhs, dtype=np.float64))
        vl = L @ self.cov_beta @ L.T
        d, p_vec = np.linalg.eigh(0.5 * (vl + vl.T))
        order = np.argsort(d)[::-1]
        d, p_vec = d[order], p_vec[:, order]
        tol = max(np.finfo(float).eps ** 0.5 * d[0], 0.0)
        pos = d > tol
        q = int(pos.sum())
        if q == 0:
            raise ValueError("the contrast has no estimable direction (L cov(beta) L' is zero)")
        ptl = p_vec[:, :q].T @ L
        t2 = (p_vec[:, :q].T @ est) ** 2 / d[:q]
        f = float(np.sum(t2) / q)
        nu = np.empty(q)
        for i in range(q):
            g = np.einsum("i,kij,j->k", ptl[i], self.jac, ptl[i])
            denom = float(g @ self.vcov_varpar @ g)
            nu[i] = 2.0 * d[i] ** 2 / denom if denom > 0 else math.inf
        return f, q, _fstat_ddf(nu)


def _fstat_ddf(nu, tol=1e-8):
    """The F statistic's denominator df from the t statistics' (lmerTest)."""
    if len(nu) == 1:
        return float(nu[0])
    # nu / (nu - 2) is 1 in the limit of an infinite nu (a direction whose
    # variance does not depend on the variance parameters), not NaN.
    with np.errstate(invalid="ignore"):
        if np.all(np.abs(np.diff(nu)) < tol):
            return float(np.mean(nu))
        if np.any(nu <= 2):
            return 2.0
        e = float(np.sum(np.where(np.isinf(nu), 1.0, nu / (nu - 2.0))))
    return 2.0 * e / (e - len(nu)) if e > len(nu) else math.inf


def satterthwaite_of(result):
    s = getattr(result, "_satterthwaite", None)
    if s is None:
        s = result._satterthwaite = Satterthwaite(result)
    return s


DDF_METHODS = ("satterthwaite", "kenward-roger", "normal")


def check_ddf(ddf):
    """The ddf argument of every test: one of DDF_METHODS."""
    if ddf not in DDF_METHODS:
        raise ValueError(f"ddf must be one of {', '.join(repr(d) for d in DDF_METHODS)}, got {ddf!r}")
    return ddf


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
    stats = _dist.stats()
    df = satterthwaite_of(result).df()
    with np.errstate(invalid="ignore"):
        p = 2.0 * stats.t.sf(np.abs(np.asarray(result.t_values, dtype=np.float64)), df)
    return df, np.asarray(p, dtype=np.float64)


def coef_table(result, ddf="satterthwaite"):
    """Estimate, Std. Error, df, t value, Pr(>|t|) by fixed effect (a pandas
    DataFrame); ddf="kenward-roger": Kenward and Roger's adjusted standard
    errors and df (lmerTest's summary with ddf="Kenward-Roger");
    ddf="normal": Estimate, Std. Error, z value, Pr(>|z|).

    Examples
    --------
    >>> import corvane
    >>> from corvane.inference import satterthwaite
    >>> from corvane._example import example_frame
    >>> r = corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame())
    >>> satterthwaite.coef_table(r).round(2).loc["Days"].tolist()
    [11.63, 1.5, 17.0, 7.78, 0.0]
    >>> satterthwaite.coef_table(r, ddf="normal").columns.tolist()
    ['Estimate', 'Std. Error', 'z value', 'Pr(>|z|)']
    """
    check_ddf(ddf)
    pd = _dist.pandas()
    index = pd.Index(result.fe_names, name="term")
    t = np.asarray(result.t_values, dtype=np.float64)
    if ddf == "normal":
        return pd.DataFrame({"Estimate": result.beta, "Std. Error": result.std_errors, "z value": t,
                             "Pr(>|z|)": normal_two_sided(t)}, index=index)
    if ddf == "kenward-roger":
        kr = df_method(result, ddf)
        p = len(result.beta)
        tests = [kr.t_test(np.eye(p)[j]) for j in range(p)]
        se = np.array([x[1] for x in tests])
        df = np.array([x[2] for x in tests])
        with np.errstate(divide="ignore", invalid="ignore"):
            t = np.asarray(result.beta, dtype=np.float64) / se
            pv = 2.0 * _dist.stats().t.sf(np.abs(t), df)
        return pd.DataFrame({"Estimate": result.beta, "Std. Error": se, "df": df, "t value": t,
                             "Pr(>|t|)": pv}, index=index)
    df, p = t_tests(result)
    return pd.DataFrame({"Estimate": result.beta, "Std. Error": result.std_errors, "df": df, "t value": t,
                         "Pr(>|t|)": p}, index=index)


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


def _contrast_matrix(result, L):
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
    L = _contrast_matrix(result, L)
    if rhs is not None:
        rhs = np.asarray(rhs, dtype=np.float64)
        if rhs.ndim > 1 or rhs.size not in (1, L.shape[0]):
            raise ValueError(f"rhs must be one value or one per row of L ({L.shape[0]}), got shape {rhs.shape}")
        if not np.all(np.isfinite(rhs)):
            raise ValueError(f"rhs must be finite, got {rhs.tolist()}")
        rhs = np.broadcast_to(rhs.reshape(-1), (L.shape[0],))
    wald, f, q, df2 = f_row(method, L, rhs)
    return pd.DataFrame({"Sum Sq": [wald * q * result.sigma2], "Mean Sq": [wald * result.sigma2], "NumDF": [q],
                         "DenDF": [df2], "F value": [f], "Pr(>F)": [f_pvalue(f, q, df2)]})


# ---- type III anova -----------------------------------------------------------------

def _terms(result):
    """[(term name, [column indices of the kept X])], the intercept left
    out. A formula term whose columns were all dropped (aliased: an empty
    cell of an interaction) keeps its row with no columns, as lmerTest's
    table keeps it; a model given as matrices has one term per column."""
    model = result.model
    kept = {int(j): i for i, j in enumerate(model.kept)}
    spec = getattr(model, "spec", None)
    if spec is not None:
        slices = spec.fixed.term_slices()
    else:
        slices = {name: [j] for j, name in enumerate(model.fe_names_all)}
    out = []
    for name, cols in slices.items():
        idx = [kept[j] for j in cols if j in kept]
        if is_intercept(name) or not (idx or spec is not None):
            continue
        if spec is None and _is_constant_column(model, idx[0]):
            continue
        out.append((name, idx))
    return out


def type1_rows(result):
    """lmerTest's type I hypotheses, one row per kept column: L' of the
    factorisation X'X = L D L' (L unit lower triangular) of the kept
    columns, as lmerTest's doolittle(crossprod(X)). Row i is R[i] / R[i, i]
    for the triangular factor R of X's QR decomposition. A model read in
    batches (never weighted) has no rows: R comes from X'X."""
    model = result.model
    if model.X is not None:
        r = np.linalg.qr(np.asarray(model.X, dtype=np.float64), mode="r")
    else:
        xtx = model.reparam.x_crossproduct(model.core.totals()["xtx"])
        r = np.linalg.cholesky(0.5 * (xtx + xtx.T)).T
    return r / np.diag(r)[:, None]


def _is_constant_column(model, j):
    return model.reparam.x_const is not None and j == model.reparam.x_const


def anova_type3(result, ddf="satterthwaite"):
    """The type III table by formula term: Sum Sq, Mean Sq, NumDF, DenDF, F
    value, Pr(>F), with Satterthwaite's df (as lmerTest's anova; or Kenward
    and Roger's, or the normal approximation's chi-squared, by ``ddf``). A term
    contained in no other is tested by its own columns; the others by
    lmerTest's type III hypotheses (see corvane.inference.type3). A term whose
    columns are all aliased has a row of NaN with NumDF 0.

    The hypotheses are taken in lmerTest's basis, since Satterthwaite's
    denominator df of a multi-df test depends on the basis (it combines the
    df along the eigenvectors of L cov(beta) L'): with one formula term (or
    one column), lmerTest's type I rows (see type1_rows), which span the
    same hypothesis as the term's columns."""
    from . import type3

    pd = _dist.pandas()
    method = df_method(result, ddf)
    terms = _terms(result)
    contrasts = None
    model = result.model
    found = type3.model_terms(model)
    p = len(result.fe_names)
    if found is not None:
        layout, levels = found
        n_terms = sum(1 for name, *_ in layout if name != INTERCEPT)
        contains = type3.containment(layout, levels)
        if n_terms <= 1 or p <= 1:
            basis = type1_rows(result) if any(len(idx) > 1 for _, idx in terms) else np.eye(p)
            contrasts = {name: basis[idx] for name, idx in terms}
        elif any(contains.values()):
            contrasts = type3.type3_contrasts(result, layout, levels, contains)
        elif type3.coded_otherwise(model) and len(terms) > 1 and (model.X_all is not None or not model.dropped):
            # The same hypotheses as the terms' own columns, in the basis of
            # treatment coding, as lmerTest takes them.
            try:
                contrasts = type3.type3_contrasts(result, layout, levels, contains)
            except NotImplementedError:
                contrasts = None
    rows = []
    for name, idx in terms:
        L = np.eye(p)[idx] if contrasts is None else contrasts[name]
        if L.shape[0] == 0:
            rows.append((name, math.nan, math.nan, 0, math.nan, math.nan, math.nan))
            continue
        wald, f, q, df2 = f_row(method, L)
        rows.append((name, wald * q * result.sigma2, wald * result.sigma2, q, df2, f, f_pvalue(f, q, df2)))
    frame = pd.DataFrame(rows, columns=["term", "Sum Sq", "Mean Sq", "NumDF", "DenDF", "F value", "Pr(>F)"])
    return frame.set_index("term")


# ---- likelihood-ratio tests -----------------------------------------------------------

def ml_refit(result, name):
    """The fit refitted by maximum likelihood (itself when it is ML). A
    refit whose optimum is not certified warns ConvergenceWarning naming
    the model: a likelihood-ratio test or profile would rest on it; singular refits
    (usual for the smaller model) stay quiet."""
    from .._errors import ConvergenceWarning, warn_user

    if not result.reml:
        return result
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        fit = result.model.with_reml(False).fit()
    for w in caught:
        if issubclass(w.category, ConvergenceWarning):
            warn_user(f"the maximum-likelihood refit of {name}: {w.message}", ConvergenceWarning)
    return fit


def _response_summary(result):
    """(n, mean, sum of squares about the mean, y'y) of the response less
    any offset, on the user's scale, None where not known: from the rows, or
    for a model read in batches from its products (y'y, and X'y of the
    constant column, which give the mean)."""
    model = result.model
    if model.rows_kept:
        y = np.asarray(model._y_fit, dtype=np.float64)
        mean = float(np.mean(y))
        return len(y), mean, float(np.sum((y - mean) ** 2)), float(np.sum(y * y))
    return model.reparam.response_moments(model.core.totals())


def _rows_key(result, labels):
    """The fitted rows as a multiset: (group's position in labels, y, weight)
    sorted, so that the same rows in another order give the same arrays."""
    model = result.model
    position = {(type(g), g): k for k, g in enumerate(labels)}
    codes = np.array([position[(type(g), g)] for g in model.group_labels], dtype=np.int64)[model.codes]
    y = np.asarray(model.y, dtype=np.float64)
    w = np.ones_like(y) if model.weights is None else np.asarray(model.weights, dtype=np.float64)
    order = np.lexsort((w, y, codes))
    return codes[order], y[order], w[order]


def _data_difference(a, b):
    """What differs between the data of two fits (a phrase), or None."""
    if a.n_obs != b.n_obs:
        return f"different numbers of observations ({a.n_obs} and {b.n_obs})"
    labels_a = {(type(g), g) for g in a.group_labels}
    if len(a.group_labels) != len(b.group_labels) or labels_a != {(type(g), g) for g in b.group_labels}:
        return (f"different groups ({a.group_name}: {len(a.group_labels)} groups, {b.group_name}: "
                f"{len(b.group_labels)} groups, not the same labels)")
    if a.model.rows_kept and b.model.rows_kept:
        (ca, ya, wa), (cb, yb, wb) = _rows_key(a, a.group_labels), _rows_key(b, a.group_labels)
        if not np.array_equal(np.sort(ya), np.sort(yb)):
            return f"different responses (the values of {a.response_name} and {b.response_name} differ)"
        if not np.array_equal(ca, cb) or not np.array_equal(ya, yb):
            return (f"different rows (the same values of the response, in other groups of "
                    f"{a.group_name})")
        if not np.array_equal(wa, wb):
            return "different weights"
        return None
    if (a.model.weights is None) != (b.model.weights is None):
        return "different weights"
    # A model read in batches: the sums its products keep, to rounding.
    na, mean_a, ss_a, yty_a = _response_summary(a)
    nb, mean_b, ss_b, yty_b = _response_summary(b)

    def close(u, v, scale):
        return abs(u - v) <= 1e-9 * scale

    if mean_a is not None and mean_b is not None:
        spread = math.sqrt(max(ss_a, ss_b, 0.0) / na)
        if not close(mean_a, mean_b, abs(mean_a) + spread) or not close(ss_a, ss_b, max(ss_a, ss_b)):
            return (f"different responses (less any offset; {a.response_name}: mean {mean_a:.10g}, sum of "
                    f"squares about it {ss_a:.10g}; {b.response_name}: {mean_b:.10g}, {ss_b:.10g})")
        return None
    if yty_a is None:
        yty_a = ss_a + na * mean_a * mean_a
    if yty_b is None:
        yty_b = ss_b + nb * mean_b * mean_b
    if not close(yty_a, yty_b, max(yty_a, yty_b)):
        return (f"different responses (less any offset; {a.response_name}: y'y = {yty_a:.10g}; "
                f"{b.response_name}: y'y = {yty_b:.10g})")
    return None


def lrt_table(results, refit=True, names=None):
    """lme4's anova for nested models: npar, AIC, BIC, logLik, deviance,
    Chisq, Df, Pr(>Chisq), rows in increasing npar. The models must be fitted
    to the same data: the same rows (in any order) with the same response,
    groups and weights; for models read in batches, the same number of rows,
    group labels and the response's sums."""
    pd = _dist.pandas()
    stats = _dist.stats()
    if len(results) < 2:
        raise ValueError("anova needs at least two fitted models to compare")
    names = list(names) if names is not None else [f"model{i + 1}" for i in range(len(results))]
    if len(names) != len(results):
        raise ValueError(f"{len(names)} names for {len(results)} models")
    kinds = {str(getattr(r, "family", "gaussian")) for r in results}
    if len(kinds) > 1:
        raise ValueError(f"the models are of different families ({', '.join(sorted(kinds))}): likelihood-ratio "
                         f"tests compare models of one family")
    for name, r in zip(names[1:], results[1:]):
        diff = _data_difference(results[0], r)
        if diff is not None:
            raise ValueError(f"{names[0]} and {name} were fitted to {diff}: likelihood-ratio tests need "
                             f"the same data")
    methods = {r.reml for r in results}
    if refit:
        fits = [ml_refit(r, name) for r, name in zip(results, names)]
    else:
        if len(methods) > 1:
            raise ValueError("the models mix REML and ML fits; compare them with refit=True")
        fits = list(results)
    order = sorted(range(len(fits)), key=lambda i: fits[i].n_params)
    rows, prev = [], None
    for i in order:
        r = fits[i]
        dev = r.criterion
        row = {"npar": r.n_params, "AIC": r.aic, "BIC": r.bic, "logLik": r.loglik, "deviance": dev,
               "Chisq": math.nan, "Df": math.nan, "Pr(>Chisq)": math.nan}
        if prev is not None:
            chisq = prev.criterion - dev
            df = r.n_params - prev.n_params
            row["Chisq"] = max(chisq, 0.0)
            row["Df"] = df
            row["Pr(>Chisq)"] = float(stats.chi2.sf(max(chisq, 0.0), df)) if df > 0 else math.nan
        rows.append((names[i], row))
        prev = r
    frame = pd.DataFrame([row for _, row in rows], index=[n for n, _ in rows])
    frame["npar"] = frame["npar"].astype(int)
    return frame
