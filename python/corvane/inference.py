"""Inference on a fitted model: Satterthwaite's degrees of freedom, t and F
tests of contrasts, the type III anova table, likelihood-ratio tests of
nested models, and confidence intervals by the Wald approximation or the
profile of the criterion.

Everything is computed on the core's parametrisation (centred and scaled
columns, see :class:`corvane.design.Reparam`) and mapped to the user's:
tests and intervals of the fixed effects are invariant under that linear
map, and the variance parameters are carried through it exactly.

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

from ._errors import require
from .design import _tril_pairs, chol_psd, lambda_to_theta, theta_to_lambda  # noqa: F401

__all__ = ["Satterthwaite", "coef_table", "contrast_test", "anova_type3", "lrt_table", "confint",
           "parameter_names"]

# Eigenvalues of the Hessian in phi below this fraction of the largest are
# treated as zero (pseudo-inverse), as lmerTest does with its absolute 1e-8.
_EIG_TOL = 1e-10


def _stats():
    return require("scipy.stats", purpose="t and F distributions")


def _pandas():
    return require("pandas", purpose="tables")


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
        k = len(result.theta_core)
        pg = np.asarray(vd["pwrss_grad"])
        # Hessian of d(theta, sigma) = ld(theta) + nu log(2 pi sigma^2) + pwrss(theta)/sigma^2
        # at sigma^2 = pwrss/nu, from the profiled criterion's Hessian.
        h = np.empty((k + 1, k + 1))
        h[:k, :k] = np.asarray(vd["hessian"]) + nu * np.outer(pg, pg) / (r2 * r2)
        h[:k, k] = h[k, :k] = -2.0 * pg / (s2 * s)
        h[k, k] = 4.0 * nu / s2
        w, v = np.linalg.eigh(h)
        keep = w > _EIG_TOL * max(float(np.max(np.abs(w))), 1e-300)
        self.n_zero = int(np.sum(~keep))
        self.vcov_varpar = 2.0 * (v[:, keep] / w[keep]) @ v[:, keep].T
        c = np.linalg.inv(np.asarray(vd["xvx"]))
        c = 0.5 * (c + c.T)
        t = rp.a_x / rp.y_scale  # beta_user = t beta_core + constant
        self.cov_beta = t @ (s2 * c) @ t.T
        jac = [t @ (-s2 * c @ np.asarray(g) @ c) @ t.T for g in vd["xvx_grad"]]
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


def _satt(result):
    s = getattr(result, "_satterthwaite", None)
    if s is None:
        s = result._satterthwaite = Satterthwaite(result)
    return s


def ddf(result):
    """Satterthwaite's df of every fixed effect (an array)."""
    return _satt(result).df()


def normal_pvalues(t):
    """Two-sided p values of t statistics by the normal approximation
    (math.erfc: no scipy needed); NaN for a non-finite statistic."""
    return np.array([math.erfc(abs(v) / math.sqrt(2.0)) if math.isfinite(v) else math.nan
                     for v in np.asarray(t, dtype=np.float64)])


def t_tests(result):
    """(df, p): Satterthwaite's df and the two-sided p values of the fixed
    effects' t statistics. The one definition behind ``result.p_values``,
    ``pvalues``, ``ddf``, ``coef_table()``, the summaries and ``to_dict``;
    needs scipy (ImportError naming the extra otherwise)."""
    stats = _stats()
    df = _satt(result).df()
    with np.errstate(invalid="ignore"):
        p = 2.0 * stats.t.sf(np.abs(np.asarray(result.t_values, dtype=np.float64)), df)
    return df, np.asarray(p, dtype=np.float64)


def coef_table(result, ddf="satterthwaite"):
    """Estimate, Std. Error, df, t value, Pr(>|t|) by fixed effect (a pandas
    DataFrame); ddf="normal": Estimate, Std. Error, z value, Pr(>|z|)."""
    if ddf not in ("satterthwaite", "normal"):
        raise ValueError(f"ddf must be 'satterthwaite' or 'normal', got {ddf!r}")
    pd = _pandas()
    index = pd.Index(result.fe_names, name="term")
    t = np.asarray(result.t_values, dtype=np.float64)
    if ddf == "normal":
        return pd.DataFrame({"Estimate": result.beta, "Std. Error": result.std_errors, "z value": t,
                             "Pr(>|z|)": normal_pvalues(t)}, index=index)
    df, p = t_tests(result)
    return pd.DataFrame({"Estimate": result.beta, "Std. Error": result.std_errors, "df": df, "t value": t,
                         "Pr(>|t|)": p}, index=index)


def _contrast_matrix(result, L):
    p = len(result.fe_names)
    pd = None
    if type(L).__module__.split(".")[0] == "pandas":
        pd = _pandas()
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


def contrast_test(result, L, rhs=None):
    """The F test of H0: L beta = rhs with Satterthwaite's denominator df, as
    lmerTest's contest: a one-row DataFrame with Sum Sq, Mean Sq, NumDF,
    DenDF, F value, Pr(>F)."""
    pd = _pandas()
    stats = _stats()
    L = _contrast_matrix(result, L)
    if rhs is not None:
        rhs = np.asarray(rhs, dtype=np.float64)
        if rhs.ndim > 1 or rhs.size not in (1, L.shape[0]):
            raise ValueError(f"rhs must be one value or one per row of L ({L.shape[0]}), got shape {rhs.shape}")
        if not np.all(np.isfinite(rhs)):
            raise ValueError(f"rhs must be finite, got {rhs.tolist()}")
        rhs = np.broadcast_to(rhs.reshape(-1), (L.shape[0],))
    f, q, df2 = _satt(result).f_test(L, rhs)
    return pd.DataFrame({"Sum Sq": [f * q * result.sigma2], "Mean Sq": [f * result.sigma2], "NumDF": [q],
                         "DenDF": [df2], "F value": [f], "Pr(>F)": [float(stats.f.sf(f, q, df2))]})


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
        if name in ("(Intercept)", "Intercept", "1") or not (idx or spec is not None):
            continue
        if spec is None and _is_constant_column(model, idx[0]):
            continue
        out.append((name, idx))
    return out


def _type1_rows(result):
    """lmerTest's type I hypotheses, one row per kept column: L' of the
    factorisation X'X = L D L' (L unit lower triangular) of the kept
    columns, as lmerTest's doolittle(crossprod(X)). Row i is R[i] / R[i, i]
    for the triangular factor R of X's QR decomposition. A model read in
    batches (never weighted) has no rows: R comes from X'X."""
    model = result.model
    if model.X is not None:
        r = np.linalg.qr(np.asarray(model.X, dtype=np.float64), mode="r")
    else:
        b = np.linalg.inv(model.reparam.a_x)  # X~ = X a_x, so X'X = b' X~'X~ b
        xtx = b.T @ np.asarray(model.core.totals()["xtx"], dtype=np.float64) @ b
        r = np.linalg.cholesky(0.5 * (xtx + xtx.T)).T
    return r / np.diag(r)[:, None]


def _is_constant_column(model, j):
    return model.reparam.x_const is not None and j == model.reparam.x_const


def anova_type3(result):
    """The type III table by formula term: Sum Sq, Mean Sq, NumDF, DenDF, F
    value, Pr(>F), with Satterthwaite's df (as lmerTest's anova). A term
    contained in no other is tested by its own columns; the others by
    lmerTest's type III hypotheses (see corvane.type3). A term whose
    columns are all aliased has a row of NaN with NumDF 0.

    The hypotheses are taken in lmerTest's basis, since Satterthwaite's
    denominator df of a multi-df test depends on the basis (it combines the
    df along the eigenvectors of L cov(beta) L'): with one formula term (or
    one column), lmerTest's type I rows (see _type1_rows), which span the
    same hypothesis as the term's columns."""
    from . import type3

    pd = _pandas()
    stats = _stats()
    terms = _terms(result)
    contrasts = None
    model = result.model
    found = type3.model_terms(model)
    p = len(result.fe_names)
    if found is not None:
        layout, levels = found
        n_terms = sum(1 for name, *_ in layout if name != "(Intercept)")
        contains = type3.containment(layout, levels)
        if n_terms <= 1 or p <= 1:
            basis = _type1_rows(result) if any(len(idx) > 1 for _, idx in terms) else np.eye(p)
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
    satt = _satt(result)
    rows = []
    for name, idx in terms:
        L = np.eye(p)[idx] if contrasts is None else contrasts[name]
        if L.shape[0] == 0:
            rows.append((name, math.nan, math.nan, 0, math.nan, math.nan, math.nan))
            continue
        f, q, df2 = satt.f_test(L)
        rows.append((name, f * q * result.sigma2, f * result.sigma2, q, df2, f, float(stats.f.sf(f, q, df2))))
    frame = pd.DataFrame(rows, columns=["term", "Sum Sq", "Mean Sq", "NumDF", "DenDF", "F value", "Pr(>F)"])
    return frame.set_index("term")


# ---- likelihood-ratio tests -----------------------------------------------------------

def _ml(result, name):
    """The fit refitted by maximum likelihood (itself when it is ML). A
    refit whose optimum is not certified warns ConvergenceWarning naming
    the model: a likelihood-ratio test or profile would rest on it; singular refits
    (usual for the smaller model) stay quiet."""
    from ._errors import ConvergenceWarning, warn_user

    if not result.reml:
        return result
    model = result.model
    clone = object.__new__(type(model))
    clone.__dict__.update(model.__dict__)
    clone.reml = False
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        fit = clone.fit()
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
    rp, totals = model.reparam, model.core.totals()
    n, ys = int(totals["n"]), rp.y_scale
    yty = float(totals["yty"]) / (ys * ys)  # sum (y - y_shift)^2; y_shift = 0 without a constant column
    if rp.x_const is None:
        if rp.x_unit is not None:  # y = y~ / y_scale + y_shift u, u = X c the reference column
            r, xs = rp.x_ref, rp.x_scale[rp.x_ref]
            uy = float(np.asarray(totals["xty"])[r]) / (xs * ys)
            uu = float(np.asarray(totals["xtx"])[r, r]) / (xs * xs)
            yty += 2.0 * rp.y_shift * uy + rp.y_shift * rp.y_shift * uu
        return n, None, None, yty
    c = rp.x_const
    centred_sum = float(np.asarray(totals["xty"])[c]) / (rp.x_const_value * rp.x_scale[c] * ys)
    return n, rp.y_shift + centred_sum / n, yty - centred_sum * centred_sum / n, None


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
    pd = _pandas()
    stats = _stats()
    if len(results) < 2:
        raise ValueError("anova needs at least two fitted models to compare")
    names = list(names) if names is not None else [f"model{i + 1}" for i in range(len(results))]
    if len(names) != len(results):
        raise ValueError(f"{len(names)} names for {len(results)} models")
    for name, r in zip(names[1:], results[1:]):
        diff = _data_difference(results[0], r)
        if diff is not None:
            raise ValueError(f"{names[0]} and {name} were fitted to {diff}: likelihood-ratio tests need "
                             f"the same data")
    methods = {r.reml for r in results}
    if refit:
        fits = [_ml(r, name) for r, name in zip(results, names)]
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


# ---- parameter names and the map to the sd/cor scale ---------------------------------

def parameter_names(result):
    """The variance parameters' names in theta's order (sd and cor), then
    "sigma", then the fixed effects."""
    names = []
    for a, b in _tril_pairs(len(result.re_names)):
        if a == b:
            names.append(f"sd({result.re_names[a]} | {result.group_name})")
        else:
            names.append(f"cor({result.re_names[b]}, {result.re_names[a]} | {result.group_name})")
    return names + ["sigma"] + list(result.fe_names)


def _level_names(level):
    lo, hi = 50.0 * (1.0 - level), 50.0 * (1.0 + level)
    return f"{lo:.3g} %", f"{hi:.3g} %"


def _check_level(level):
    if not (isinstance(level, (int, float)) and 0.0 < float(level) < 1.0):
        raise ValueError(f"level must be a number between 0 and 1, got {level!r}")
    return float(level)


def variance_parameters(result):
    """sd and cor in theta's order, then sigma (the user's scale)."""
    out = []
    for a, b in _tril_pairs(len(result.re_names)):
        out.append(result.re_std[a] if a == b else result.re_corr[a, b])
    return np.array(out + [result.sigma])


# ---- profiles -------------------------------------------------------------------------

def _rows_except(x, q, skip):
    """A q x q lower-triangular matrix whose rows other than `skip` are read
    in order from the start of x; returns it and how many values were read
    (0 when q = 1: the only row is skipped)."""
    lu = np.zeros((q, q))
    k = 0
    for j in range(q):
        if j != skip:
            lu[j, :j + 1] = x[k:k + j + 1]
            k += j + 1
    return lu, k


class _Profiler:
    """Criterion profiles on the core's scale. D(theta, s) = ld(theta) +
    nu log(2 pi s^2) + pwrss(theta)/s^2 is the unprofiled criterion; every
    user parameter is a smooth function of (theta, s): Sigma_u = A_z Lambda
    Lambda' A_z' is the user's relative covariance, sigma_u = s / y_scale.

    Each ``*_profile`` method returns (value, theta): the criterion minimised
    over the other parameters with one held at a value, and the minimiser (a
    warm start for the next value). A value of inf means the inner fit failed."""

    def __init__(self, result, reml):
        self.result = result
        model = result.model
        self.core = model.core
        self.reml = reml
        self.rp = model.reparam
        self.q = model.q
        self.pairs = _tril_pairs(self.q)
        self.k = len(self.pairs)
        self.lower = np.array(self.core.lower_bounds())
        self.az = self.rp.a_z
        self._rows = np.array([a for a, _ in self.pairs])
        self._cols = np.array([b for _, b in self.pairs])
        self._su_key = self._su = None
        self._inv_az = np.linalg.inv(self.az)
        self.calls = 0

    # -- the core's pieces at theta
    def pieces(self, theta):
        self.calls += 1
        try:
            vd = self.core.variance_derivatives(list(map(float, theta)), reml=self.reml)
        except RuntimeError:
            return None
        if not (math.isfinite(vd["deviance"]) and vd["pwrss"] > 0):
            return None
        nu, r2 = vd["nmp"], vd["pwrss"]
        ld = vd["deviance"] - nu * (1.0 + math.log(2.0 * math.pi * r2 / nu))
        dld = np.asarray(vd["grad"]) - nu * np.asarray(vd["pwrss_grad"]) / r2
        vd["ld"], vd["dld"] = ld, dld
        return vd

    def deviance(self, theta):
        """The criterion with sigma profiled out (inf where the core fails)."""
        self.calls += 1
        try:
            f = self.core.deviance(list(map(float, theta)), reml=self.reml)
        except RuntimeError:
            return math.inf
        return f if math.isfinite(f) else math.inf

    def sigma_u(self, theta):
        """The user's relative covariance A_z Lambda Lambda' A_z' and its
        derivatives in theta: with theta_s = Lambda[a][b],
        d/dtheta_s = c_a w_b' + w_b c_a', c = A_z's columns, w = A_z Lambda's."""
        key = np.asarray(theta, dtype=np.float64).tobytes()
        if self._su_key == key:
            return self._su
        lam = np.zeros((self.q, self.q))
        lam[self._rows, self._cols] = theta
        w = self.az @ lam
        su = w @ w.T
        ca = self.az[:, self._rows]            # q x k
        wb = w[:, self._cols]                  # q x k
        d = np.einsum("ik,jk->kij", ca, wb)
        self._su_key, self._su = key, (su, d + d.transpose(0, 2, 1))
        return self._su

    # -- inner minimisations: (value, theta) of the profile at a parameter value
    def _minimize(self, fun, theta0):
        """Minimise fun (value and gradient in theta) from theta0: (value,
        theta). The diagonal entries of Lambda enter through their logarithms,
        so the search is unconstrained and never steps onto a bound where the
        objective is infinite (an optimum on a bound is approached, with the
        objective converging). A diagonal entry at (or next to) 0 is also
        started from 0.1: the criterion is even in it, so its gradient
        vanishes at 0 and a search from there stays on the bound even where
        the profile's minimum is inside; the lower of the two is kept."""
        from scipy.optimize import minimize

        diag = np.isfinite(self.lower)
        tiny = 1e-10 * max(1.0, float(np.max(np.abs(theta0))))

        def to_theta(x):
            t = np.array(x, dtype=float)
            t[diag] = np.exp(np.clip(x[diag], -700.0, 700.0))
            return t

        def wrapped(x):
            # A trial step far out (theta ~ e^700) overflows: it is treated
            # as infeasible, so the line search comes back, and no overflow
            # reaches the user as a warning.
            with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
                t = to_theta(x)
                f, g = fun(t)
                g = np.array(g, dtype=float)
                g[diag] *= t[diag]
            if not (math.isfinite(f) and np.all(np.isfinite(g))):
                return 1e300, np.zeros_like(x)
            return f, g

        x0 = np.array(theta0, dtype=float)
        at_zero = diag & (x0 < 1e-4)
        x0[diag] = np.log(np.maximum(x0[diag], tiny))
        starts = [x0]
        if np.any(at_zero):
            x1 = x0.copy()
            x1[at_zero] = math.log(0.1)
            starts.append(x1)
        best = None
        for x in starts:
            res = minimize(wrapped, x, jac=True, method="L-BFGS-B",
                           options={"ftol": 1e-14, "gtol": 1e-8, "maxiter": 500})
            if best is None or res.fun < best.fun:
                best = res
        f = float(best.fun)
        return (f if f < 1e300 else math.inf), to_theta(best.x)

    @staticmethod
    def _minimize_free(fun, x0, gtol=1e-9):
        """Minimise fun (value only) over x from x0: (value, x). With no free
        variable the value at x0 is the minimum."""
        from scipy.optimize import minimize

        x0 = np.asarray(x0, dtype=float)
        if x0.size == 0:
            return fun(x0), x0

        def safe(x):
            with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
                f = fun(x)
            return f if math.isfinite(f) else 1e300

        res = minimize(safe, x0, method="L-BFGS-B", options={"ftol": 1e-14, "gtol": gtol, "maxiter": 1000})
        f = float(res.fun)
        return (f if f < 1e300 else math.inf), res.x

    def sigma_profile(self, v, theta0):
        sc2 = (v * self.rp.y_scale) ** 2

        def fun(theta):
            pc = self.pieces(theta)
            if pc is None:
                return math.inf, np.zeros(self.k)
            nu = pc["nmp"]
            f = pc["ld"] + nu * math.log(2.0 * math.pi * sc2) + pc["pwrss"] / sc2
            return f, pc["dld"] + np.asarray(pc["pwrss_grad"]) / sc2

        return self._minimize(fun, theta0)

    def sd_profile(self, kk, v, theta0):
        """The criterion with the user's sd of random effect kk fixed at v > 0,
        on the core's theta (s^2 = (v y_scale)^2 / Sigma_u[kk, kk])."""
        ys2v2 = (v * self.rp.y_scale) ** 2

        def fun(theta):
            pc = self.pieces(theta)
            su, dsu = self.sigma_u(theta)
            u = su[kk, kk]
            if pc is None or not 0.0 < u < math.inf or not ys2v2 / u > 0.0:
                return math.inf, np.zeros(self.k)
            du = dsu[:, kk, kk]
            nu, r2 = pc["nmp"], pc["pwrss"]
            f = pc["ld"] + nu * math.log(2.0 * math.pi * ys2v2 / u) + r2 * u / ys2v2
            g = pc["dld"] - nu * du / u + (np.asarray(pc["pwrss_grad"]) * u + r2 * du) / ys2v2
            return f, g

        return self._minimize(fun, theta0)

    def sd_at(self, kk, v, theta0):
        """The sd profile at v >= 0: on theta (analytic gradients), then
        polished on the user's factor from that minimiser (the core's theta
        must cancel along a narrow valley where the user's sd is small next to
        the others, and the user's factor has none); v = 0 on the user's
        factor alone. The polish starts at the first result, so it can only
        lower it."""
        if v == 0.0:
            return self.sd_profile_user(kk, 0.0, theta0)
        f1, th1 = self.sd_profile(kk, v, theta0)
        f2, th2 = self.sd_profile_user(kk, v, th1 if math.isfinite(f1) else theta0)
        return (f2, th2) if f2 <= f1 else (f1, th1)

    def cor_profile(self, a, b, rho, theta0):
        """The criterion (sigma profiled out) with the user's correlation of
        random effects a and b (a > b) fixed at rho in [-1, 1]. The user's
        factor L (with Sigma_u = L L') is parametrised so that the constraint
        holds: row a is r (rho u + sqrt(1 - rho^2) v), u the unit vector of row
        b, v a unit vector orthogonal to u in the span of rows 0..a (an angle's
        worth of freedom per extra dimension); the other rows are free."""
        q = self.q
        n_w = a if a >= 2 else 0

        def unpack(x):
            lu, k = _rows_except(x, q, a)
            r = abs(x[k])  # a negative length would turn the correlation into -rho
            lb = lu[b, :a + 1]
            nb = math.sqrt(float(lb @ lb))
            if not nb > 0:
                return None
            u = lb / nb
            basis = self._orthonormal_complement(u, a + 1)
            if n_w:
                w = x[k + 1:k + 1 + n_w]
                nw = math.sqrt(float(w @ w))
                if not nw > 0:
                    return None
                v = basis @ (w / nw)
            else:
                v = basis[:, 0]
            lu[a, :a + 1] = r * (rho * u + math.sqrt(max(1.0 - rho * rho, 0.0)) * v)
            return lu

        def fun(x):
            lu = unpack(x)
            return math.inf if lu is None else self.deviance(self._user_to_theta(lu))

        # Start: the user's factor at theta0, row a replaced by its constrained
        # form. A row b of zero (an sd at 0) gets a small direction of its own,
        # so that the correlation is defined.
        lu0 = theta_to_lambda(self.rp.theta(theta0), q)
        if not np.any(lu0[b]):
            lu0[b, b] = 1e-3 * max(float(np.max(np.abs(lu0))), 1.0)
        x0 = np.concatenate([lu0[j, :j + 1] for j in range(q) if j != a] + [[math.sqrt(float(lu0[a] @ lu0[a]))]])
        if n_w:
            lb = lu0[b, :a + 1]
            u = lb / max(math.sqrt(float(lb @ lb)), 1e-300)
            basis = self._orthonormal_complement(u, a + 1)
            w0 = basis.T @ lu0[a, :a + 1]
            if not np.any(w0):
                w0 = np.ones(n_w)
            x0 = np.concatenate([x0, w0])
        f, x = self._minimize_free(fun, x0, gtol=1e-8)
        lu = unpack(x)
        return f, (theta0 if lu is None else self._user_to_theta(lu))

    def sd_profile_user(self, kk, v, theta0):
        """The sd profile on the user's factor L (Sigma_u = L L'): row kk of L
        is free and s = v y_scale / |L[kk]|, the other rows are free; at v = 0
        the row is 0 and sigma is profiled out (for q = 1 nothing is left free:
        the value is the criterion at theta = 0)."""
        q = self.q
        ys = self.rp.y_scale

        def unpack(x):
            lu, k = _rows_except(x, q, kk)
            if v > 0:
                lu[kk, :kk + 1] = x[k:k + kk + 1]
            return lu

        def fun(x):
            lu = unpack(x)
            theta = self._user_to_theta(lu)
            if v == 0:
                return self.deviance(theta)
            norm2 = float(lu[kk] @ lu[kk])
            if not norm2 > 0:
                return math.inf
            pc = self.pieces(theta)
            if pc is None:
                return math.inf
            sc2 = (v * ys) ** 2 / norm2
            return pc["ld"] + pc["nmp"] * math.log(2.0 * math.pi * sc2) + pc["pwrss"] / sc2

        lu0 = theta_to_lambda(self.rp.theta(theta0), q)
        x0 = [lu0[j, :j + 1] for j in range(q) if j != kk]
        if v > 0:
            d0 = lu0[kk, :kk + 1].copy()
            if not np.any(d0):
                # s at the fit's sigma: |L[kk]| = v / sigma
                sigma = self.result.sigma
                d0[kk] = v / sigma if sigma > 0 and math.isfinite(v / sigma) else 1e-3
            x0.append(d0)
        x0 = np.concatenate(x0) if x0 else np.zeros(0)
        f, x = self._minimize_free(fun, x0)
        return f, self._user_to_theta(unpack(x))

    def _user_to_theta(self, lu):
        """The core's theta for the user's factor L (Sigma_u = L L')."""
        c = self._inv_az @ lu
        return lambda_to_theta(chol_psd(c @ c.T))

    @staticmethod
    def _orthonormal_complement(u, dim):
        """Columns: an orthonormal basis of the vectors of R^dim orthogonal to u."""
        m = np.eye(dim) - np.outer(u, u)
        qmat, rmat = np.linalg.qr(m)
        keep = np.abs(np.diag(rmat)) > 1e-12
        return qmat[:, keep][:, : dim - 1]

    def beta_profile(self, j, v, theta0):
        """The ML criterion with beta_j (the user's) fixed at v."""
        rp = self.rp
        l = (rp.a_x / rp.y_scale)[j]
        shift = rp.y_shift / rp.x_const_value if rp.x_const is not None and j == rp.x_const else 0.0
        target = v - shift

        def fun(theta):
            pc = self.pieces(theta)
            if pc is None:
                return math.inf, np.zeros(self.k)
            c = np.linalg.inv(np.asarray(pc["xvx"]))
            cl = c @ l
            w = float(l @ cl)
            dev = float(l @ np.asarray(pc["beta"])) - target
            r2b = pc["pwrss"] + dev * dev / w
            n = pc["nmp"]
            f = pc["ld"] + n * (1.0 + math.log(2.0 * math.pi * r2b / n))
            dw = -np.einsum("i,kij,j->k", cl, np.asarray(pc["xvx_grad"]), cl)
            ddev = np.asarray(pc["beta_grad"]) @ l
            dr2b = np.asarray(pc["pwrss_grad"]) + 2.0 * dev * ddev / w - dev * dev * dw / (w * w)
            return f, pc["dld"] + n * dr2b / r2b

        return self._minimize(fun, theta0)


def _crossing(zeta, est, target, points, at_est=0.0):
    """The parameter value where zeta (at_est at est) crosses target, going
    out from est through points (increasing distance); None when the last
    point is passed without a crossing, or the profile fails (zeta not
    finite) before one. Never raises: a bracket whose root search fails is
    bisected on the profile's own values."""
    from scipy.optimize import brentq

    prev_x, prev_f = est, at_est - target
    for x in points:
        fx = zeta(x) - target
        if not math.isfinite(fx):
            return None
        if prev_f * fx <= 0.0:
            if fx == 0.0:
                return x
            ends = {prev_x: prev_f, x: fx}

            def g(t):
                return ends[t] if t in ends else zeta(t) - target

            lo, hi = (prev_x, x) if prev_x < x else (x, prev_x)
            xtol = 1e-10 * max(1.0, abs(est))
            try:
                return brentq(g, lo, hi, xtol=xtol, rtol=1e-9, maxiter=100)
            except (ValueError, RuntimeError):
                return _bisect(g, lo, ends[lo], hi, ends[hi], xtol)
        prev_x, prev_f = x, fx
    return None


def _bisect(g, lo, g_lo, hi, g_hi, xtol):
    """Bisection of a bracket [lo, hi] with g(lo) g(hi) <= 0; None when g is
    not finite inside (the profile failed there)."""
    for _ in range(200):
        if hi - lo <= xtol:
            break
        mid = 0.5 * (lo + hi)
        g_mid = g(mid)
        if not math.isfinite(g_mid):
            return None
        if g_mid == 0.0:
            return mid
        if (g_mid < 0.0) == (g_lo < 0.0):
            lo, g_lo = mid, g_mid
        else:
            hi, g_hi = mid, g_mid
    return 0.5 * (lo + hi)


def _wald_variance_se(result, prof):
    """Approximate standard errors of the variance parameters (sd, cor in
    theta's order, then sigma) by the delta method from the asymptotic
    covariance of (theta, sigma): starting steps for the profiles (NaN where
    the fit gives none, e.g. an sd at 0)."""
    k = prof.k
    try:
        satt = _satt(result)
        v = satt.vcov_varpar
    except (ValueError, np.linalg.LinAlgError):
        return [math.nan] * (k + 1)
    theta = np.array(result.theta_core)
    su, dsu = prof.sigma_u(theta)
    ys = prof.rp.y_scale
    s = result.sigma * ys
    grads = []
    for a, b in prof.pairs:
        g = np.full(k + 1, math.nan)
        if a == b:
            u = su[a, a]
            if u > 0:
                g[:k] = (s / ys) * dsu[:, a, a] / (2.0 * math.sqrt(u))
                g[k] = math.sqrt(u) / ys
        else:
            saa, sbb, sab = su[a, a], su[b, b], su[a, b]
            if saa > 0 and sbb > 0:
                den = math.sqrt(saa * sbb)
                g[:k] = dsu[:, a, b] / den - 0.5 * sab / den * (dsu[:, a, a] / saa + dsu[:, b, b] / sbb)
                g[k] = 0.0
        grads.append(g)
    g = np.zeros(k + 1)
    g[k] = 1.0 / ys
    grads.append(g)
    return [math.sqrt(max(float(g @ v @ g), 0.0)) if np.all(np.isfinite(g)) else math.nan for g in grads]


def _check_which(result, which):
    """which as a list of parameter names (None: every parameter); a single
    name may be given as a string."""
    if which is None:
        return None
    wanted = [which] if isinstance(which, str) else list(which)
    names = parameter_names(result)
    unknown = [w for w in wanted if w not in names]
    if unknown:
        raise ValueError(f"which: unknown parameters {unknown}; the parameters are {names}")
    return wanted


# An sd at or below this fraction of sigma is profiled as an sd at 0 (a fit
# on the boundary whose theta stops a rounding error away from 0).
_SD_ZERO = 1e-8


def profile_intervals(result, level=0.95, which=None):
    """Profile intervals {name: (lower, upper)} for every parameter (or those
    named in which): variance parameters on the criterion the model was
    fitted with, fixed effects on the ML criterion (REML has no profile in
    beta).

    An end is where the signed root of the criterion's rise crosses the
    normal quantile. Where the profile does not cross it before the
    parameter's limit (0 for a standard deviation or sigma, +-1 for a
    correlation, +-inf for a fixed effect), the end is that limit, and one
    ProfileWarning names every such end."""
    from ._errors import ProfileWarning, warn_user

    stats = _stats()
    level = _check_level(level)
    z = float(stats.norm.ppf(0.5 + level / 2.0))
    names = parameter_names(result)
    wanted = _check_which(result, which)
    wanted = names if wanted is None else wanted
    prof = _Profiler(result, result.reml)
    theta_hat = np.array(result.theta_core)
    fmin = prof.pieces(theta_hat)["deviance"]
    est_var = variance_parameters(result)
    sigma_hat = float(result.sigma)
    out = {}
    at_limit = []  # (name, "lower" or "upper", the limit reported)

    def close(name, lo, hi, lo_limit, hi_limit):
        if lo is None:
            at_limit.append((name, "lower", lo_limit))
        if hi is None:
            at_limit.append((name, "upper", hi_limit))
        out[name] = (lo_limit if lo is None else lo, hi_limit if hi is None else hi)

    def side(est, fmin_, profile_at, theta0, sign, restart=False, start=None):
        """zeta on one side of est, warm-starting each inner fit at the last;
        with restart, also from theta0, keeping the lower (with several
        random effects the profile can have more than one valley, as a
        correlation near +1 and one near -1, and the warm start can follow
        the wrong one). The first inner fit starts at start (default theta0)."""
        state = {"theta": theta0 if start is None else start}
        memo = {}

        def zeta(v):
            if v not in memo:
                f, th = profile_at(v, state["theta"])
                if restart and not np.array_equal(state["theta"], theta0):
                    f2, th2 = profile_at(v, theta0)
                    if not f2 >= f:
                        f, th = f2, th2
                if math.isfinite(f):
                    state["theta"] = th
                memo[v] = math.copysign(math.sqrt(max(f - fmin_, 0.0)), sign) if math.isfinite(f) else math.nan
            return memo[v]
        zeta.state = state
        return zeta

    ses = _wald_variance_se(result, prof)
    multi = prof.k > 1  # restart each inner fit of a variance parameter from the fit too

    def outward(est, step, sign, count=30):
        """Points from the Wald guess outwards: est + sign * z * step * 1.5^i."""
        return [est + sign * z * step * 1.5 ** i for i in range(count)]

    def positive(est, profile_at, se=None, at_zero=None):
        """Bounds of a positive parameter (None for an end not reached).
        Below a hundredth of the estimate the profile is taken by at_zero (if
        given), which also gives its value at 0: when that does not reach -z,
        the lower end is the limit 0. An estimate at 0 (at or below _SD_ZERO
        sigma) has the lower end 0 and the upper searched from a thousandth of
        sigma."""
        if est <= _SD_ZERO * sigma_hat:
            pts = [sigma_hat * 1e-3 * 2.0 ** i for i in range(60)]
            return None, _crossing(side(0.0, fmin, profile_at, theta_hat, 1.0, multi), 0.0, z, pts)
        h = 0.25 if not (se and math.isfinite(se) and se > 0) else min(z * se / est, 2.0)
        floor = 1e-2 * est if at_zero is not None else 1e-6 * est
        lo_pts = [est * math.exp(-h * 1.5 ** i) for i in range(40)]
        lo_pts = [x for x in lo_pts if x > floor] + [floor]
        hi_pts = [est * math.exp(min(h * 1.5 ** i, 700.0)) for i in range(20)]
        lower_side = side(est, fmin, profile_at, theta_hat, -1.0, multi)
        lo = _crossing(lower_side, est, -z, lo_pts)
        if lo is None and at_zero is not None and math.isfinite(lower_side(floor)):
            small = side(est, fmin, at_zero, theta_hat, -1.0, multi, start=lower_side.state["theta"])
            if small(0.0) <= -z:  # a crossing below the hundredth
                lo = _crossing(small, floor, -z, [floor * 0.5 ** i for i in range(1, 30)] + [0.0],
                               at_est=lower_side(floor))
        hi = _crossing(side(est, fmin, profile_at, theta_hat, 1.0, multi), est, z, hi_pts)
        return lo, hi

    def correlation(est, profile_at, se, cap):
        """Bounds of a correlation (None for an end not reached): points on
        atanh's scale from the estimate, then the limit +-1 itself. An
        estimate at +-1 has that end at the limit and the other searched from
        it; an undefined one (an sd at 0) has both ends at the limits, since
        the criterion does not depend on it there. For the same reason the
        profile never exceeds cap, the criterion with either sd at 0: when
        that stays within z^2 of the minimum, both ends are the limits."""
        if not math.isfinite(est) or cap - fmin < z * z:
            return None, None
        if abs(est) >= 1.0 - 1e-10:
            s = math.copysign(1.0, est)
            pts = [s * (1.0 - 1e-4 * 2.0 ** i) for i in range(15)] + [-s]
            far = _crossing(side(s, fmin, profile_at, theta_hat, -s, True), s, -s * z, pts)
            return (far, None) if s > 0 else (None, far)
        t_hat = math.atanh(est)
        h = z * se / (1.0 - est * est) if math.isfinite(se) and se > 0 else 0.2
        h = min(h, 2.0)
        lo_pts = [x for x in (math.tanh(t_hat - h * 1.5 ** i) for i in range(16)) if x > -1.0] + [-1.0]
        hi_pts = [x for x in (math.tanh(t_hat + h * 1.5 ** i) for i in range(16)) if x < 1.0] + [1.0]
        lo = _crossing(side(est, fmin, profile_at, theta_hat, -1.0, True), est, -z, lo_pts)
        hi = _crossing(side(est, fmin, profile_at, theta_hat, 1.0, True), est, z, hi_pts)
        return lo, hi

    zero_memo = {}

    def sd_zero(a):
        """The criterion with the sd of random effect a at 0."""
        if a not in zero_memo:
            zero_memo[a] = prof.sd_profile_user(a, 0.0, theta_hat)[0]
        return zero_memo[a]

    for i, (a, b) in enumerate(prof.pairs):
        name = names[i]
        if name not in wanted:
            continue
        est = float(est_var[i])
        if a == b:
            at = (lambda v, th, a=a: prof.sd_at(a, v, th))
            near = (lambda v, th, a=a: prof.sd_profile_user(a, v, th))
            lo, hi = positive(est, at, ses[i], near)
            close(name, lo, hi, 0.0, math.inf)
        else:
            at = (lambda v, th, a=a, b=b: prof.cor_profile(a, b, v, th))
            lo, hi = correlation(est, at, ses[i], min(sd_zero(a), sd_zero(b)))
            close(name, lo, hi, -1.0, 1.0)
    if "sigma" in wanted:
        lo, hi = positive(sigma_hat, prof.sigma_profile, ses[-1])
        close("sigma", lo, hi, 0.0, math.inf)
    fe = [n for n in result.fe_names if n in wanted]
    if fe:
        ml = _ml(result, "the model")
        mlprof = _Profiler(ml, False)
        theta_ml = np.array(ml.theta_core)
        fmin_ml = mlprof.pieces(theta_ml)["deviance"]
        for name in fe:
            j = result.fe_names.index(name)
            est = float(ml.beta[j])
            se = float(ml.std_errors[j])
            se = se if math.isfinite(se) and se > 0 else max(abs(est), 1.0)
            at = (lambda v, th, j=j: mlprof.beta_profile(j, v, th))
            lo = _crossing(side(est, fmin_ml, at, theta_ml, -1.0), est, -z, outward(est, se, -1.0))
            hi = _crossing(side(est, fmin_ml, at, theta_ml, 1.0), est, z, outward(est, se, 1.0))
            close(name, lo, hi, -math.inf, math.inf)
    if at_limit:
        ends = "; ".join(f"{name}: {end} end {limit:g}" for name, end, limit in at_limit)
        warn_user(f"the profile does not reach the {100 * level:.3g}% limit before the parameter's bound, "
                  f"so these ends are the bound itself ({ends})", ProfileWarning)
    return {n: out[n] for n in names if n in out}


def confint(result, level=0.95, method="wald", which=None, **kwargs):
    """Confidence intervals as a DataFrame: one row per parameter (sd, cor,
    sigma, then the fixed effects), the columns named like "2.5 %"."""
    pd = _pandas()
    level = _check_level(level)
    which = _check_which(result, which)
    lo_name, hi_name = _level_names(level)
    names = parameter_names(result)
    if method == "wald":
        stats = _stats()
        z = float(stats.norm.ppf(0.5 + level / 2.0))
        rows = {n: (math.nan, math.nan) for n in names}
        for name, b, se in zip(result.fe_names, result.beta, result.std_errors):
            rows[name] = (b - z * se, b + z * se)
    elif method == "profile":
        rows = profile_intervals(result, level, which)
    elif method == "bootstrap":
        from . import bootstrap

        out = bootstrap.bootstrap(result, **kwargs).confint(level=level)
        return out if which is None else out.loc[[n for n in out.index if n in which]]
    else:
        raise ValueError(f"method must be 'wald', 'profile' or 'bootstrap', got {method!r}")
    if kwargs:
        raise TypeError(f"unexpected arguments for method={method!r}: {sorted(kwargs)}")
    keep = [n for n in names if n in rows and (which is None or n in which)]
    return pd.DataFrame([rows[n] for n in keep], index=keep, columns=[lo_name, hi_name])
