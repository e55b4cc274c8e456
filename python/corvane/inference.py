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
    if np.all(np.abs(np.diff(nu)) < tol):
        return float(np.mean(nu))
    if np.any(nu <= 2):
        return 2.0
    e = float(np.sum(nu / (nu - 2.0)))
    return 2.0 * e / (e - len(nu))


def _satt(result):
    s = getattr(result, "_satterthwaite", None)
    if s is None:
        s = result._satterthwaite = Satterthwaite(result)
    return s


def ddf(result):
    """Satterthwaite's df of every fixed effect (an array)."""
    return _satt(result).df()


def coef_table(result, ddf="satterthwaite"):
    """Estimate, Std. Error, df, t value, Pr(>|t|) by fixed effect (a pandas
    DataFrame); ddf="normal": Estimate, Std. Error, z value, Pr(>|z|)."""
    pd = _pandas()
    if ddf == "normal":
        return pd.DataFrame({"Estimate": result.beta, "Std. Error": result.std_errors,
                             "z value": result.t_values, "Pr(>|z|)": result.p_values},
                            index=pd.Index(result.fe_names, name="term"))
    if ddf != "satterthwaite":
        raise ValueError(f"ddf must be 'satterthwaite' or 'normal', got {ddf!r}")
    stats = _stats()
    df = _satt(result).df()
    t = np.asarray(result.t_values)
    with np.errstate(invalid="ignore"):
        p = 2.0 * stats.t.sf(np.abs(t), df)
    return pd.DataFrame({"Estimate": result.beta, "Std. Error": result.std_errors, "df": df,
                         "t value": t, "Pr(>|t|)": p}, index=pd.Index(result.fe_names, name="term"))


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
        rhs = np.broadcast_to(np.asarray(rhs, dtype=np.float64), (L.shape[0],))
    f, q, df2 = _satt(result).f_test(L, rhs)
    return pd.DataFrame({"Sum Sq": [f * q * result.sigma2], "Mean Sq": [f * result.sigma2], "NumDF": [q],
                         "DenDF": [df2], "F value": [f], "Pr(>F)": [float(stats.f.sf(f, q, df2))]})


# ---- type III anova -----------------------------------------------------------------

def _terms(result):
    """[(term name, [column indices of the kept X])], the intercept left out,
    and the terms' variables with their kinds (for containment)."""
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
        if name in ("(Intercept)", "Intercept", "1") or not idx:
            continue
        if spec is None and _is_constant_column(model, idx[0]):
            continue
        out.append((name, idx))
    return out


def _is_constant_column(model, j):
    return model.reparam.x_const is not None and j == model.reparam.x_const


def _split_top(text, sep=":"):
    """Parts of a column or term name split at top-level separators."""
    parts, depth, start = [], 0, 0
    for i, ch in enumerate(text):
        if ch in "([{":
            depth += 1
        elif ch in ")]}":
            depth -= 1
        elif ch == sep and depth == 0:
            parts.append(text[start:i])
            start = i + 1
    parts.append(text[start:])
    return parts


def _column_parts(name):
    """{variable: level or None} of a column name in treatment coding
    ("Time:Diet[T.2]" -> {"Time": None, "Diet": "2"}); None when a part is
    coded otherwise."""
    out = {}
    for part in _split_top(name):
        if part.endswith("]") and "[" in part:
            var, _, level = part[:-1].rpartition("[")
            if not level.startswith("T."):
                return None
            out[var] = level[2:]
        else:
            out[part] = None
    return out


def _contained(terms):
    """Whether any term's variables are a proper subset of another's (an
    interaction with its main effects): type III then differs from the
    joint test of the term's columns."""
    var_sets = [set(_split_top(name)) for name, _ in terms]
    return any(a < b for a in var_sets for b in var_sets)


def _type3_contrasts(result, terms):
    """lmerTest's type III contrasts for a treatment-coded design: the
    columns of the full dummy coding of every term (rdX) written in X's
    columns (each reference level's dummy is 1 minus the others), the
    contrasts of a term contained in others made orthogonal to theirs, the
    rows of X's own columns kept. Data-free: X's column names say how each
    column was coded. None when the design is not coded that way."""
    names = [("(Intercept)" if n in ("Intercept", "(Intercept)") else n) for n in result.fe_names]
    parts = [None if n == "(Intercept)" else _column_parts(n) for n in names]
    if any(p is None for n, p in zip(names, parts) if n != "(Intercept)"):
        return None
    key = {}
    for j, (n, p) in enumerate(zip(names, parts)):
        key[frozenset() if p is None else frozenset(p.items())] = j
    levels = {}
    for p in parts:
        for var, level in (p or {}).items():
            if level is not None:
                levels.setdefault(var, [])
                if level not in levels[var]:
                    levels[var].append(level)
    pcols = len(names)
    rows = []  # (rdX column key, coefficients on X's columns)
    if frozenset() in key:
        coef = np.zeros(pcols)
        coef[key[frozenset()]] = 1.0
        rows.append((("(Intercept)",), coef))
    term_vars = {}
    for tname, _ in terms:
        tparts = _split_top(tname)
        factors = [v for v in tparts if v in levels]
        numeric = [v for v in tparts if v not in levels]
        term_vars[tname] = (set(factors), set(numeric))
        combos = [[]]
        for f in factors:
            combos = [c + [(f, lv)] for c in combos for lv in ["<ref>"] + levels[f]]
        for combo in combos:
            # Expand each reference dummy into 1 - (the others).
            expansions = [({}, 1.0)]
            for f, lv in combo:
                nxt = []
                for mono, c in expansions:
                    if lv != "<ref>":
                        nxt.append(({**mono, f: lv}, c))
                    else:
                        nxt.append((dict(mono), c))
                        nxt += [({**mono, f: other}, -c) for other in levels[f]]
                expansions = nxt
            coef = np.zeros(pcols)
            for mono, c in expansions:
                k = frozenset(list(mono.items()) + [(v, None) for v in numeric])
                if k not in key:
                    return None
                coef[key[k]] += c
            rows.append(((tname,) + tuple(combo), coef))
    L = np.array([c for _, c in rows])  # rdX columns x X columns
    # Orthogonalise contained terms, higher order first.
    for tname, idx in sorted(terms, key=lambda t: -len(_split_top(t[0]))):
        fac, num = term_vars[tname]
        containers = [i2 for n2, i2 in terms if n2 != tname
                      and fac | num < term_vars[n2][0] | term_vars[n2][1] and num == term_vars[n2][1]]
        if containers:
            cols = sorted({j for c in containers for j in c})
            A, B = L[:, cols], L[:, idx]
            coef, *_ = np.linalg.lstsq(A, B, rcond=None)
            R = B - A @ coef
            R[np.abs(R) < 1e-10 * max(1.0, float(np.max(np.abs(B))))] = 0.0
            L[:, idx] = R
    # Keep the rows of rdX's columns that are X's own (non-reference levels).
    keep = []
    for (label, coef) in rows:
        combo = label[1:]
        if all(lv != "<ref>" for _, lv in combo):
            keep.append(True)
        else:
            keep.append(False)
    Lx = L[np.array(keep)]
    out = {}
    for tname, idx in terms:
        Lt = Lx[:, idx].T
        out[tname] = Lt[np.sum(np.abs(Lt), axis=1) > 1e-8]
    return out


def anova_type3(result):
    """The type III table by formula term: Sum Sq, Mean Sq, NumDF, DenDF, F
    value, Pr(>F), with Satterthwaite's df (as lmerTest's anova)."""
    pd = _pandas()
    stats = _stats()
    terms = _terms(result)
    contrasts = None
    if _contained(terms):
        contrasts = _type3_contrasts(result, terms)
        if contrasts is None:
            raise NotImplementedError(
                "type III tests for a term contained in another need treatment-coded columns of every "
                "lower-order term; test the hypotheses you need with contrast_test(L)")
    satt = _satt(result)
    p = len(result.fe_names)
    rows = []
    for name, idx in terms:
        L = np.eye(p)[idx] if contrasts is None else contrasts[name]
        f, q, df2 = satt.f_test(L)
        rows.append((name, f * q * result.sigma2, f * result.sigma2, q, df2, f, float(stats.f.sf(f, q, df2))))
    frame = pd.DataFrame(rows, columns=["term", "Sum Sq", "Mean Sq", "NumDF", "DenDF", "F value", "Pr(>F)"])
    return frame.set_index("term")


# ---- likelihood-ratio tests -----------------------------------------------------------

def _ml(result):
    if not result.reml:
        return result
    model = result.model
    clone = object.__new__(type(model))
    clone.__dict__.update(model.__dict__)
    clone.reml = False
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return clone.fit()


def lrt_table(results, refit=True, names=None):
    """lme4's anova for nested models: npar, AIC, BIC, logLik, deviance,
    Chisq, Df, Pr(>Chisq), rows in increasing npar."""
    pd = _pandas()
    stats = _stats()
    if len(results) < 2:
        raise ValueError("anova needs at least two fitted models to compare")
    names = list(names) if names is not None else [f"model{i + 1}" for i in range(len(results))]
    if len(names) != len(results):
        raise ValueError(f"{len(names)} names for {len(results)} models")
    n_obs = {r.n_obs for r in results}
    if len(n_obs) > 1:
        raise ValueError(f"the models were fitted to different numbers of observations ({sorted(n_obs)}): "
                         f"likelihood-ratio tests need the same data")
    methods = {r.reml for r in results}
    if refit:
        fits = [_ml(r) for r in results]
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
    in order from the start of x; returns it and how many values were read."""
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
    Lambda' A_z' is the user's relative covariance, sigma_u = s / y_scale."""

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
        if not math.isfinite(vd["deviance"]):
            return None
        nu, r2 = vd["nmp"], vd["pwrss"]
        ld = vd["deviance"] - nu * (1.0 + math.log(2.0 * math.pi * r2 / nu))
        dld = np.asarray(vd["grad"]) - nu * np.asarray(vd["pwrss_grad"]) / r2
        vd["ld"], vd["dld"] = ld, dld
        return vd

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
        objective converging)."""
        from scipy.optimize import minimize

        diag = np.isfinite(self.lower)
        tiny = 1e-10 * max(1.0, float(np.max(np.abs(theta0))))

        def to_theta(x):
            t = np.array(x, dtype=float)
            t[diag] = np.exp(np.minimum(x[diag], 700.0))
            return t

        def wrapped(x):
            t = to_theta(x)
            f, g = fun(t)
            if not math.isfinite(f):
                return 1e300, np.zeros_like(x)
            g = np.array(g, dtype=float)
            g[diag] *= t[diag]
            return f, g

        x0 = np.array(theta0, dtype=float)
        x0[diag] = np.log(np.maximum(x0[diag], tiny))
        res = minimize(wrapped, x0, jac=True, method="L-BFGS-B",
                       options={"ftol": 1e-14, "gtol": 1e-8, "maxiter": 500})
        return float(res.fun), to_theta(res.x)

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
        ys2v2 = (v * self.rp.y_scale) ** 2

        def fun(theta):
            pc = self.pieces(theta)
            su, dsu = self.sigma_u(theta)
            u = su[kk, kk]
            if pc is None or not u > 0:
                return math.inf, np.zeros(self.k)
            du = dsu[:, kk, kk]
            nu, r2 = pc["nmp"], pc["pwrss"]
            f = pc["ld"] + nu * math.log(2.0 * math.pi * ys2v2 / u) + r2 * u / ys2v2
            g = pc["dld"] - nu * du / u + (np.asarray(pc["pwrss_grad"]) * u + r2 * du) / ys2v2
            return f, g

        return self._minimize(fun, theta0)

    def cor_profile(self, a, b, rho, theta0):
        """The criterion (sigma profiled out) with the user's correlation of
        random effects a and b (a > b) fixed at rho. The user's factor L (with
        Sigma_u = L L') is parametrised so that the constraint holds: row a
        is r (rho u + sqrt(1 - rho^2) v), u the unit vector of row b, v a unit
        vector orthogonal to u in the span of rows 0..a (an angle's worth of
        freedom per extra dimension); the other rows are free."""
        q = self.q
        n_w = a if a >= 2 else 0

        def unpack(x):
            lu, k = _rows_except(x, q, a)
            r = x[k]
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
            if lu is None:
                return math.inf
            self.calls += 1
            return self.core.deviance(list(map(float, self._user_to_theta(lu))), reml=self.reml)

        # Start: the user's factor at theta0, row a replaced by its constrained form.
        lu0 = theta_to_lambda(self.rp.theta(theta0), q)
        x0 = np.concatenate([lu0[j, :j + 1] for j in range(q) if j != a] + [[math.sqrt(float(lu0[a] @ lu0[a]))]])
        if n_w:
            lb = lu0[b, :a + 1]
            u = lb / max(math.sqrt(float(lb @ lb)), 1e-300)
            basis = self._orthonormal_complement(u, a + 1)
            w0 = basis.T @ lu0[a, :a + 1]
            if not np.any(w0):
                w0 = np.ones(n_w)
            x0 = np.concatenate([x0, w0])
        from scipy.optimize import minimize

        res = minimize(fun, x0, method="L-BFGS-B", options={"ftol": 1e-14, "gtol": 1e-8, "maxiter": 500})
        lu = unpack(res.x)
        return float(res.fun), (theta0 if lu is None else self._user_to_theta(lu))

    def sd_profile_user(self, kk, v, theta0):
        """The sd profile on the user's factor L (Sigma_u = L L'), for small v
        and v = 0, where the core's theta must cancel along a narrow valley:
        row kk of L has norm v / sigma_u, the other rows are free; at v = 0
        the row is 0 and sigma is profiled out."""
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
            self.calls += 1
            if v == 0:
                return self.core.deviance(list(map(float, theta)), reml=self.reml)
            pc = self.pieces(theta)
            if pc is None:
                return math.inf
            norm2 = float(lu[kk] @ lu[kk])
            if not norm2 > 0:
                return math.inf
            sc2 = (v * ys) ** 2 / norm2
            return pc["ld"] + pc["nmp"] * math.log(2.0 * math.pi * sc2) + pc["pwrss"] / sc2

        lu0 = theta_to_lambda(self.rp.theta(theta0), q)
        x0 = [lu0[j, :j + 1] for j in range(q) if j != kk]
        if v > 0:
            d0 = lu0[kk, :kk + 1].copy()
            if not np.any(d0):
                d0[kk] = 1e-3
            x0.append(d0)
        x0 = np.concatenate(x0)
        from scipy.optimize import minimize

        res = minimize(fun, x0, method="L-BFGS-B", options={"ftol": 1e-14, "gtol": 1e-9, "maxiter": 1000})
        return float(res.fun), self._user_to_theta(unpack(res.x))

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
    point is reached without a crossing."""
    from scipy.optimize import brentq

    prev_x, prev_f = est, at_est - target
    for x in points:
        fx = zeta(x) - target
        if not math.isfinite(fx):
            return None
        if prev_f * fx <= 0.0:
            if fx == 0.0:
                return x
            lo, hi = (prev_x, x) if prev_x < x else (x, prev_x)
            return brentq(lambda t: zeta(t) - target, lo, hi, xtol=1e-10 * max(1.0, abs(est)), rtol=1e-9,
                          maxiter=100)
        prev_x, prev_f = x, fx
    return None


def _wald_variance_se(result, prof):
    """Approximate standard errors of the variance parameters (sd, cor in
    theta's order, then sigma) by the delta method from the asymptotic
    covariance of (theta, sigma): starting steps for the profiles."""
    satt = _satt(result)
    theta = np.array(result.theta_core)
    su, dsu = prof.sigma_u(theta)
    ys = prof.rp.y_scale
    s = result.sigma * ys
    k = prof.k
    grads = []
    for a, b in prof.pairs:
        g = np.zeros(k + 1)
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
        grads.append(g)
    g = np.zeros(k + 1)
    g[k] = 1.0 / ys
    grads.append(g)
    v = satt.vcov_varpar
    return [math.sqrt(max(float(g @ v @ g), 0.0)) for g in grads]


def profile_intervals(result, level=0.95, which=None):
    """Profile intervals {name: (lower, upper)} for every parameter (or those
    named in which): variance parameters on the criterion the model was
    fitted with, fixed effects on the ML criterion (REML has no profile in
    beta). A bound the profile does not cross before the parameter's limit
    is that limit (0 for a standard deviation, +-1 for a correlation)."""
    stats = _stats()
    z = float(stats.norm.ppf(0.5 + level / 2.0))
    names = parameter_names(result)
    wanted = names if which is None else list(which)
    unknown = [w for w in wanted if w not in names]
    if unknown:
        raise ValueError(f"unknown parameters {unknown}; the parameters are {names}")
    prof = _Profiler(result, result.reml)
    theta_hat = np.array(result.theta_core)
    fmin = prof.pieces(theta_hat)["deviance"]
    est_var = variance_parameters(result)
    out = {}

    def side(est, fmin_, profile_at, theta0, sign):
        """zeta on one side of est, warm-starting each inner fit at the last."""
        state = {"theta": theta0}
        memo = {}

        def zeta(v):
            if v not in memo:
                f, th = profile_at(v, state["theta"])
                if math.isfinite(f):
                    state["theta"] = th
                memo[v] = math.copysign(math.sqrt(max(f - fmin_, 0.0)), sign) if math.isfinite(f) else math.nan
            return memo[v]
        return zeta

    ses = _wald_variance_se(result, prof)

    def outward(est, step, sign, count=30):
        """Points from the Wald guess outwards: est + sign * z * step * 1.5^i."""
        return [est + sign * z * step * 1.5 ** i for i in range(count)]

    def positive(est, fmin_, profile_at, theta0, se=None, near_zero=None):
        """Bounds of a positive parameter. Below a hundredth of the estimate
        the profile is taken by near_zero (if given), which also gives its
        limit at 0: when that limit does not reach -z, the lower bound is 0."""
        h = 0.25 if not (se and math.isfinite(se) and se > 0) else min(z * se / est, 2.0)
        floor = 1e-2 * est if near_zero is not None else 1e-6 * est
        lo_pts = [est * math.exp(-h * 1.5 ** i) for i in range(40)]
        lo_pts = [x for x in lo_pts if x > floor] + [floor]
        hi_pts = [est * math.exp(min(h * 1.5 ** i, 700.0)) for i in range(20)]
        lower_side = side(est, fmin_, profile_at, theta0, -1.0)
        lo = _crossing(lower_side, est, -z, lo_pts)
        if lo is None and near_zero is not None:
            small = side(est, fmin_, near_zero, theta0, -1.0)
            if small(0.0) <= -z:  # a crossing below the hundredth, on the user's factor
                lo = _crossing(small, floor, -z, [floor * 0.5 ** i for i in range(1, 30)] + [0.0],
                               at_est=small(floor))
        hi = _crossing(side(est, fmin_, profile_at, theta0, 1.0), est, z, hi_pts)
        return (0.0 if lo is None else lo), (math.inf if hi is None else hi)

    for i, (a, b) in enumerate(prof.pairs):
        name = names[i]
        if name not in wanted:
            continue
        est = float(est_var[i])
        if a == b:
            at = (lambda v, th, a=a: prof.sd_profile(a, v, th))
            near = (lambda v, th, a=a: prof.sd_profile_user(a, v, th))
            if est > 0:
                out[name] = positive(est, fmin, at, theta_hat, ses[i], near)
            else:
                pts = [1e-3 * 2 ** i for i in range(40)]
                hi = _crossing(side(0.0, fmin, at, theta_hat, 1.0), 0.0, z, pts)
                out[name] = (0.0, math.inf if hi is None else hi)
        else:
            at = (lambda v, th, a=a, b=b: prof.cor_profile(a, b, v, th))
            t_hat = math.atanh(max(min(est, 1.0 - 1e-12), -1.0 + 1e-12))
            se = ses[i]
            h = z * se / max(1.0 - est * est, 1e-12) if math.isfinite(se) and se > 0 else 0.2
            lo_pts = [math.tanh(t_hat - h * 1.5 ** i) for i in range(16)]
            hi_pts = [math.tanh(t_hat + h * 1.5 ** i) for i in range(16)]
            lo = _crossing(side(est, fmin, at, theta_hat, -1.0), est, -z, [x for x in lo_pts if x > -1.0])
            hi = _crossing(side(est, fmin, at, theta_hat, 1.0), est, z, [x for x in hi_pts if x < 1.0])
            out[name] = (-1.0 if lo is None else lo, 1.0 if hi is None else hi)
    if "sigma" in wanted:
        out["sigma"] = positive(float(result.sigma), fmin, prof.sigma_profile, theta_hat, ses[-1])
    fe = [n for n in result.fe_names if n in wanted]
    if fe:
        ml = _ml(result)
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
            out[name] = (-math.inf if lo is None else lo, math.inf if hi is None else hi)
    return {n: out[n] for n in names if n in out}


def confint(result, level=0.95, method="wald", which=None, **kwargs):
    """Confidence intervals as a DataFrame: one row per parameter (sd, cor,
    sigma, then the fixed effects), the columns named like "2.5 %"."""
    pd = _pandas()
    level = _check_level(level)
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
        boot = result.bootstrap(**kwargs)
        return boot.confint(level=level)
    else:
        raise ValueError(f"method must be 'wald', 'profile' or 'bootstrap', got {method!r}")
    keep = [n for n in names if n in rows and (which is None or n in which)]
    return pd.DataFrame([rows[n] for n in keep], index=keep, columns=[lo_name, hi_name])
