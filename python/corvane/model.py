"""Linear mixed models with one grouping factor, from arrays.

:class:`LinearMixedModel` takes the response, the fixed-effects design X, the
random-effects design Z and one group label per row (NumPy arrays or pandas
objects; labels of any hashable kind), builds an :class:`LmmCore` and fits it.
:class:`LmmResult` presents the fit on the user's scale: fixed effects with
standard errors, variance components, conditional modes and variances per
group, information criteria, predictions and a printed summary.

Nothing here imports pandas: pandas objects are recognised by their methods.
"""

from __future__ import annotations

import math
from collections.abc import Mapping

import numpy as np

from ._corvane import LmmCore, __version__

__all__ = ["LinearMixedModel", "LmmResult"]

# Columns of Z whose root-mean-square values differ by more than this factor
# are rescaled before the core is built, and every result is mapped back.
_RESCALE_RATIO = 1e3


# ---- theta <-> Lambda ---------------------------------------------------------

def _tril_pairs(q):
    """(row, column) of each theta entry: the lower triangle, column by column."""
    return [(i, j) for j in range(q) for i in range(j, q)]


def theta_to_lambda(theta, q):
    """The q x q lower-triangular relative covariance factor of a theta."""
    lam = np.zeros((q, q))
    for value, (i, j) in zip(theta, _tril_pairs(q)):
        lam[i, j] = value
    return lam


def lambda_to_theta(lam):
    """The theta of a lower-triangular factor (its lower triangle, column by column)."""
    return np.array([lam[i, j] for i, j in _tril_pairs(lam.shape[0])], dtype=np.float64)


# ---- input conversion -----------------------------------------------------------

def _is_pandas(obj):
    return type(obj).__module__.split(".")[0] == "pandas"


def _to_float(values, what):
    try:
        if _is_pandas(values):
            return values.to_numpy(dtype=np.float64, na_value=np.nan)
        return np.asarray(values, dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise ValueError(f"{what} must be numeric ({exc})") from None


def _as_response(y):
    name = getattr(y, "name", None) if _is_pandas(y) else None
    if _is_pandas(y) and hasattr(y, "columns"):
        if y.shape[1] != 1:
            raise ValueError(f"y must have one column, got {y.shape[1]}")
        name = y.columns[0]
    arr = _to_float(y, "y")
    if arr.ndim == 2 and arr.shape[1] == 1:
        arr = arr[:, 0]
    if arr.ndim != 1:
        raise ValueError(f"y must be one-dimensional, got shape {arr.shape}")
    return np.ascontiguousarray(arr), ("y" if name is None else str(name))


def _as_design(a, what, prefix):
    """A 2-D float64 C-contiguous copy of a design and its column names."""
    names = None
    if _is_pandas(a) and hasattr(a, "columns"):
        names = [str(c) for c in a.columns]
    elif _is_pandas(a) and getattr(a, "name", None) is not None:
        names = [str(a.name)]
    arr = _to_float(a, what)
    if arr.ndim == 1:
        arr = arr[:, None]
    if arr.ndim != 2:
        raise ValueError(f"{what} must be two-dimensional, got shape {arr.shape}")
    if names is None:
        names = [f"{prefix}{j}" for j in range(arr.shape[1])]
    return np.ascontiguousarray(arr, dtype=np.float64), names


def _native(label):
    """A group label as a plain Python object (NumPy scalars unwrapped)."""
    return label.item() if isinstance(label, np.generic) else label


def _is_missing(label):
    return label is None or (isinstance(label, float) and math.isnan(label))


def factorize_groups(groups):
    """Group codes 0..m-1 (int64) and the m labels, from labels of any dtype.

    Labels are sorted when they can be (a categorical keeps the order of its
    categories); categories without rows are left out. Missing labels raise.
    """
    if _is_pandas(groups):
        import pandas as pd

        codes, uniques = pd.factorize(groups, sort=True)
        codes = np.asarray(codes, dtype=np.int64)
        labels = [_native(v) for v in uniques.tolist()]
    else:
        arr = groups
        if not isinstance(groups, np.ndarray):
            seq = list(groups)
            arr = np.asarray(seq)
            # Labels that are sequences, or of mixed kinds NumPy would turn into
            # strings, stay Python objects.
            if arr.ndim != 1 or (arr.dtype.kind == "U" and not all(isinstance(v, str) for v in seq)):
                arr = np.empty(len(seq), dtype=object)
                arr[:] = seq
        if arr.ndim != 1:
            raise ValueError(f"groups must be one-dimensional, got shape {arr.shape}")
        if arr.dtype.kind in "fc":
            missing = np.isnan(arr)
        elif arr.dtype.kind == "O":
            missing = np.array([_is_missing(v) for v in arr.tolist()], dtype=bool)
        else:
            missing = np.zeros(arr.shape, dtype=bool)
        if missing.any():
            codes = np.where(missing, -1, 0)
        else:
            try:
                uniques, codes = np.unique(arr, return_inverse=True)
                labels = [_native(v) for v in uniques]
            except TypeError:  # labels that do not sort: order of first appearance
                index = {}
                codes = [index.setdefault(v, len(index)) for v in arr.tolist()]
                labels = list(index)
            codes = np.asarray(codes, dtype=np.int64).reshape(-1)
    if (codes < 0).any():
        raise ValueError(f"groups has a missing label at row {int(np.argmax(codes < 0))}")
    return np.ascontiguousarray(codes, dtype=np.int64), labels


def _full_column_rank(x):
    """Whether X has full column rank. The equilibrated Gram matrix settles the
    common well-conditioned case cheaply; only a doubtful one pays for an SVD."""
    norms = np.sqrt(np.einsum("ij,ij->j", x, x))
    if not (norms > 0).all():
        return False
    ev = np.linalg.eigvalsh((x.T @ x) / np.outer(norms, norms))
    if ev[0] > 1e-8 * ev[-1]:
        return True
    return np.linalg.matrix_rank(x) == x.shape[1]


def _label_list(groups):
    values = groups.tolist() if hasattr(groups, "tolist") else list(groups)
    return [_native(v) for v in values]


# ---- the model ------------------------------------------------------------------

class LinearMixedModel:
    """y = X beta + Z b + e with one grouping factor, fitted by REML or ML.

    ``y``: response (n,); ``X``: fixed-effects design (n, p); ``Z``:
    random-effects design (n, q); ``groups``: a label per row, any dtype. Arrays
    may be NumPy arrays or pandas objects: column names come from DataFrame
    columns (else x0.., z0..), the response and group names from Series names.
    Missing values are refused here (the formula interface drops them).
    The keyword-only ``x_names``, ``z_names``, ``y_name`` and ``group_name``
    name plain arrays' columns.
    """

    formula = None  # the formula text, for models built from one
    n_dropped = 0  # rows left out for missing values (the formula interface)

    def __init__(self, y, X, Z, groups, reml=True, *, x_names=None, z_names=None,
                 y_name=None, group_name=None):
        self.y, self.response_name = _as_response(y)
        self.X, self.fe_names = _as_design(X, "X", "x")
        self.Z, self.re_names = _as_design(Z, "Z", "z")
        gname = getattr(groups, "name", None) if _is_pandas(groups) else None
        self.group_name = "group" if gname is None else str(gname)
        for attr, given, count in (("fe_names", x_names, self.X.shape[1]),
                                   ("re_names", z_names, self.Z.shape[1])):
            if given is not None:
                if len(given) != count:
                    raise ValueError(f"{len(given)} names for {count} columns")
                setattr(self, attr, [str(v) for v in given])
        if y_name is not None:
            self.response_name = str(y_name)
        if group_name is not None:
            self.group_name = str(group_name)
        self.codes, self.group_labels = factorize_groups(groups)
        self.reml = bool(reml)

        n = self.y.shape[0]
        for what, rows in (("X", self.X.shape[0]), ("Z", self.Z.shape[0]),
                           ("groups", self.codes.shape[0])):
            if rows != n:
                raise ValueError(f"{what} has {rows} rows but y has {n}")
        for what, arr in (("y", self.y), ("X", self.X), ("Z", self.Z)):
            bad = ~np.isfinite(arr)
            if bad.any():
                row = int(np.argmax(bad if bad.ndim == 1 else bad.any(axis=1)))
                raise ValueError(f"{what} has a missing or non-finite value at row {row}")
        self.n, self.p = self.X.shape
        self.q = self.Z.shape[1]
        self.m = len(self.group_labels)
        if self.p == 0:
            raise ValueError("X has no columns: the fixed part needs at least one (an intercept)")
        if self.q == 0:
            raise ValueError("Z has no columns: the random part needs at least one")
        if self.n == 0:
            raise ValueError("no observations")
        if self.reml and self.n <= self.p:
            raise ValueError(f"REML needs more observations ({self.n}) than fixed-effect columns ({self.p})")
        if not _full_column_rank(self.X):
            raise ValueError(f"the fixed-effects design is rank deficient (columns {self.fe_names})")

        # Columns of Z on wildly different scales are brought to unit RMS by
        # powers of two (exact), so the optimiser works on a balanced problem.
        rms = np.sqrt(np.einsum("ij,ij->j", self.Z, self.Z) / self.n)
        used = rms > 0
        self.z_scale = None
        if used.sum() >= 2 and rms[used].max() / rms[used].min() > _RESCALE_RATIO:
            self.z_scale = np.where(used, 2.0 ** np.round(np.log2(np.where(used, rms, 1.0))), 1.0)
        z_core = self.Z if self.z_scale is None else np.ascontiguousarray(self.Z / self.z_scale)
        self.core = LmmCore(self.y, self.X, z_core, self.codes, self.m, "auto")
        self.n_theta = self.core.n_theta

    # -- coordinates: the user's Z and the core's (rescaled) Z --------------
    def _scale(self):
        return np.ones(self.q) if self.z_scale is None else self.z_scale

    def _theta_to_core(self, theta):
        return lambda_to_theta(self._scale()[:, None] * theta_to_lambda(theta, self.q))

    def _theta_from_core(self, theta):
        return lambda_to_theta(theta_to_lambda(theta, self.q) / self._scale()[:, None])

    def default_starts(self):
        """Starting thetas on the user's scale, one per row: a few well-spread
        factors, the identity (in the core's coordinates) among them."""
        q, eye = self.q, np.eye(self.q)
        lams = [eye, 0.2 * eye, 3.0 * eye]
        if q > 1:
            low = np.tril(np.ones((q, q)), -1)
            lams += [eye + 0.5 * low, eye - 0.5 * low]
        return np.array([self._theta_from_core(lambda_to_theta(lam)) for lam in lams])

    def _starts(self, starts):
        if starts is None:
            return self.default_starts()
        arr = np.asarray(starts, dtype=np.float64)
        if arr.size == 0 or arr.size % self.n_theta:
            raise ValueError(f"starts must hold a multiple of {self.n_theta} values (theta has "
                             f"{self.n_theta} entries for {self.q} random-effect columns), got {arr.size}")
        if not np.isfinite(arr).all():
            raise ValueError("starts must be finite")
        return arr.reshape(-1, self.n_theta)

    def fit(self, starts=None):
        """Minimise the profiled criterion from each start; return an :class:`LmmResult`.

        ``starts``: thetas on the user's scale (the lower triangle of the
        relative covariance factor, column by column), flat or one per row;
        by default :meth:`default_starts`.
        """
        user = self._starts(starts)
        flat = [float(v) for row in user for v in self._theta_to_core(row)]
        raw = self.core.fit(flat, reml=self.reml)
        return LmmResult(self, raw, user)

    def evaluate(self, theta):
        """The result at a given theta (user's scale), without optimising."""
        raw = self.core.solution([float(v) for v in self._theta_to_core(theta)], reml=self.reml)
        return LmmResult(self, raw, None)

    # -- designs for prediction ----------------------------------------------
    def _new_design(self, data, include_random):
        """(X, Z, labels) for new data: (X, Z, groups) as a tuple or a mapping;
        X alone is enough without the random effects."""
        if isinstance(data, Mapping):
            x, z, g = data.get("X"), data.get("Z"), data.get("groups")
        elif isinstance(data, (tuple, list)):
            if not 1 <= len(data) <= 3:
                raise ValueError("data must be (X, Z, groups)")
            x, z, g = (list(data) + [None, None])[:3]
        else:
            x, z, g = data, None, None
        if x is None:
            raise ValueError("data must give X")
        x = _as_design(x, "X", "x")[0]
        if x.shape[1] != self.p:
            raise ValueError(f"X has {x.shape[1]} columns, the model {self.p}")
        if not include_random:
            return x, None, None
        if z is None or g is None:
            raise ValueError("predicting with random effects needs data = (X, Z, groups)")
        z = _as_design(z, "Z", "z")[0]
        labels = _label_list(g)
        if z.shape[1] != self.q:
            raise ValueError(f"Z has {z.shape[1]} columns, the model {self.q}")
        if not (len(labels) == z.shape[0] == x.shape[0]):
            raise ValueError("X, Z and groups must have the same number of rows")
        return x, z, labels

    def __repr__(self):
        return (f"<{type(self).__name__} n={self.n} p={self.p} q={self.q} m={self.m} "
                f"{'REML' if self.reml else 'ML'}>")


# ---- the result -----------------------------------------------------------------

def _pvalue(t):
    return math.erfc(abs(t) / math.sqrt(2.0)) if math.isfinite(t) else float("nan")


def _plain(v):
    """A float for JSON: non-finite values become None."""
    v = float(v)
    return v if math.isfinite(v) else None


def _json_label(label):
    label = _native(label)
    return label if isinstance(label, (str, int, float, bool)) else str(label)


class Summary(str):
    """The printed summary: a string whose repr is the table itself."""

    def __repr__(self):
        return str(self)


class LmmResult:
    """A fitted linear mixed model, every quantity on the user's scale.

    Attributes: ``fe_names``, ``beta``, ``cov_beta``, ``std_errors``,
    ``t_values``, ``p_values`` (normal approximation); ``sigma``, ``sigma2``;
    ``re_names``, ``cov_re``, ``re_variances``, ``re_std``, ``re_corr``;
    ``theta``; ``criterion`` (REML criterion or deviance), ``loglik``,
    ``aic``, ``bic``, ``n_params``; ``group_labels``, ``random_effects`` and
    ``conditional_covariances`` (dicts keyed by group label); ``converged``,
    ``message``, ``iterations``, ``evaluations`` (``converged`` is None for a
    result of :meth:`LinearMixedModel.evaluate`); ``n_obs``, ``n_groups``,
    ``n_dropped``; ``starts`` (the starting thetas, None without a fit).
    """

    def __init__(self, model, raw, starts):
        self.model = model
        self.reml = bool(raw["reml"])
        self.method = "REML" if self.reml else "ML"
        self.formula = model.formula
        self.starts = starts
        s = model._scale()
        self.fe_names = list(model.fe_names)
        self.re_names = list(model.re_names)
        self.group_name = model.group_name
        self.response_name = model.response_name
        self.n_obs, self.n_groups, self.n_dropped = model.n, model.m, model.n_dropped

        self.beta = np.array(raw["beta"])
        self.cov_beta = np.array(raw["cov_beta"])
        self.std_errors = np.sqrt(np.diag(self.cov_beta))
        with np.errstate(divide="ignore", invalid="ignore"):
            self.t_values = self.beta / self.std_errors
        self.p_values = np.array([_pvalue(t) for t in self.t_values])
        self.sigma2, self.sigma = float(raw["sigma2"]), float(raw["sigma"])

        theta_core = np.array(raw["theta"])
        self.theta = model._theta_from_core(theta_core)
        self.cov_re = np.array(raw["cov_re"]) / np.outer(s, s)
        self.re_variances = np.diag(self.cov_re).copy()
        self.re_std = np.sqrt(self.re_variances)
        with np.errstate(divide="ignore", invalid="ignore"):
            self.re_corr = self.cov_re / np.outer(self.re_std, self.re_std)
        np.fill_diagonal(self.re_corr, 1.0)

        self.criterion = float(raw["deviance"])
        self.loglik = -0.5 * self.criterion
        self.n_params = model.p + model.n_theta + 1
        self.aic = self.criterion + 2.0 * self.n_params
        self.bic = self.criterion + self.n_params * math.log(model.n)

        self._b = np.array(raw["random_effects"]) / s
        ccov = model.core.conditional_covariances(theta_core.tolist(), reml=self.reml)
        self._ccov = np.asarray(ccov) / np.outer(s, s)
        self.group_labels = list(model.group_labels)
        self.random_effects = dict(zip(self.group_labels, self._b))
        self.conditional_covariances = dict(zip(self.group_labels, self._ccov))

        self.converged = bool(raw["converged"]) if "converged" in raw else None
        self.message = str(raw.get("message", "evaluated at a given theta"))
        self.iterations = int(raw.get("iterations", 0))
        self.evaluations = int(raw.get("fev", 0))

    # -- predictions --------------------------------------------------------
    def predict(self, data=None, include_random=True):
        """Predicted means. ``data=None``: the fitted values on the training
        rows. Otherwise new data as the model takes it (a DataFrame for a
        formula model, (X, Z, groups) for an array model). Group labels not
        seen in fitting get zero random effects."""
        model = self.model
        if data is None:
            x, z, b = model.X, model.Z, self._b[model.codes]
        else:
            x, z, labels = model._new_design(data, include_random)
            if include_random:
                index = {lab: i for i, lab in enumerate(self.group_labels)}
                rows = np.array([index.get(_native(v), -1) if not _is_missing(v) else -1
                                 for v in labels], dtype=np.int64)
                b = np.where((rows >= 0)[:, None], self._b[np.maximum(rows, 0)], 0.0)
        fitted = x @ self.beta
        if include_random:
            fitted = fitted + np.einsum("ij,ij->i", z, b)
        return fitted

    @property
    def fitted_values(self):
        return self.predict()

    @property
    def residuals(self):
        return self.model.y - self.predict()

    # -- presentation ---------------------------------------------------------
    def summary(self):
        """A printable table in the manner of lme4 (a string whose repr is the table)."""
        lines = [f"Linear mixed model fit by {'REML' if self.reml else 'maximum likelihood'} "
                 f"(corvane {__version__})"]
        if self.formula is not None:
            lines.append(f"Formula: {self.formula}")
        lines.append("")
        if self.reml:
            lines.append(f"REML criterion at convergence: {_fmt_sig(self.criterion, 7)}")
            lines.append("")
        head = ["AIC", "BIC", "logLik"] + ([] if self.reml else ["deviance"]) + ["df.resid"]
        vals = [self.aic, self.bic, self.loglik] + ([] if self.reml else [self.criterion])
        cells = _fmt_column(vals, 5) + [str(self.n_obs - self.n_params)]
        widths = [max(len(h), len(c)) for h, c in zip(head, cells)]
        lines.append(" ".join(h.rjust(w) for h, w in zip(head, widths)))
        lines.append(" ".join(c.rjust(w) for c, w in zip(cells, widths)))
        lines.append("")

        lines.append("Random effects:")
        q = len(self.re_names)
        rows = []
        for j, name in enumerate(self.re_names):
            corr = [_fmt_fixed(self.re_corr[j, k], 2) for k in range(j)]
            rows.append([self.group_name if j == 0 else "", name,
                         self.re_variances[j], self.re_std[j], corr])
        rows.append(["Residual", "", self.sigma2, self.sigma, []])
        var_col = _fmt_column([r[2] for r in rows], 5)
        sd_col = _fmt_column([r[3] for r in rows], 5)
        table = [["Groups", "Name", "Variance", "Std.Dev."] + (["Corr"] if q > 1 else [])]
        for r, v, sd in zip(rows, var_col, sd_col):
            table.append([r[0], r[1], v, sd] + ([" ".join(c.rjust(5) for c in r[4])] if q > 1 else []))
        lines += _layout(table, right=[False, False, True, True, False], indent=" ")
        lines.append(f"Number of obs: {self.n_obs}, groups:  {self.group_name}, {self.n_groups}")
        if self.n_dropped:
            lines.append(f"({self.n_dropped} observation{'s' if self.n_dropped != 1 else ''} "
                         f"deleted due to missingness)")
        lines.append("")

        lines.append("Fixed effects:")
        table = [["", "Estimate", "Std. Error", "t value", "Pr(>|z|)"]]
        est = _fmt_column(self.beta, 5)
        se = _fmt_column(self.std_errors, 4)
        tv = [_fmt_fixed(t, 2) for t in self.t_values]
        pv = [_fmt_pvalue(p) for p in self.p_values]
        for row in zip(self.fe_names, est, se, tv, pv):
            table.append(list(row))
        lines += _layout(table, right=[False, True, True, True, True])
        lines.append("")
        if self.converged is None:
            lines.append(f"Optimizer: not run ({self.message})")
        else:
            lines.append(f"Optimizer: {'converged' if self.converged else 'NOT converged'} "
                         f"({self.message}; {self.iterations} iterations, {self.evaluations} evaluations)")
        return Summary("\n".join(lines))

    def __str__(self):
        return str(self.summary())

    def __repr__(self):
        return (f"<LmmResult {self.method} n_obs={self.n_obs} n_groups={self.n_groups} "
                f"criterion={self.criterion:.6g}>")

    def to_dict(self):
        """Every reported quantity as plain lists, floats, ints and strings
        (non-finite values as None), ready for ``json.dumps``."""
        def mat(a):
            return [[_plain(v) for v in row] for row in np.asarray(a)]

        return {
            "formula": self.formula,
            "method": self.method,
            "reml": self.reml,
            "response": self.response_name,
            "group": self.group_name,
            "n_obs": int(self.n_obs),
            "n_groups": int(self.n_groups),
            "n_dropped": int(self.n_dropped),
            "fixed_effects": {
                name: {"estimate": _plain(b), "std_error": _plain(se),
                       "t_value": _plain(t), "p_value": _plain(p)}
                for name, b, se, t, p in zip(self.fe_names, self.beta, self.std_errors,
                                             self.t_values, self.p_values)},
            "cov_beta": mat(self.cov_beta),
            "random_effect_names": list(self.re_names),
            "cov_re": mat(self.cov_re),
            "re_variances": [_plain(v) for v in self.re_variances],
            "re_std": [_plain(v) for v in self.re_std],
            "re_corr": mat(self.re_corr),
            "sigma": _plain(self.sigma),
            "sigma2": _plain(self.sigma2),
            "theta": [_plain(v) for v in self.theta],
            "criterion": _plain(self.criterion),
            "loglik": _plain(self.loglik),
            "aic": _plain(self.aic),
            "bic": _plain(self.bic),
            "n_params": int(self.n_params),
            "converged": self.converged,
            "message": self.message,
            "iterations": self.iterations,
            "evaluations": self.evaluations,
            "groups": [_json_label(g) for g in self.group_labels],
            "random_effects": {str(_json_label(g)): [_plain(v) for v in b]
                               for g, b in zip(self.group_labels, self._b)},
            "conditional_covariances": {str(_json_label(g)): mat(c)
                                        for g, c in zip(self.group_labels, self._ccov)},
        }


# ---- number formatting ------------------------------------------------------------

def _fmt_sig(x, digits):
    if not math.isfinite(x):
        return str(x)
    return f"{x:.{digits}g}" if abs(x) >= 1e-4 or x == 0 else f"{x:.{digits - 1}e}"


def _fmt_fixed(x, decimals):
    return f"{x:.{decimals}f}" if math.isfinite(x) else ("NaN" if math.isnan(x) else str(x))


def _fmt_column(values, digits):
    """A column with common decimals, enough for `digits` significant digits in
    its smallest nonzero entry, or in scientific notation when that is narrower."""
    finite = [abs(v) for v in values if math.isfinite(v) and v != 0]
    if not finite:
        return [_fmt_fixed(v, 0) for v in values]
    decimals = min(max(0, digits - 1 - math.floor(math.log10(min(finite)))), 15)
    fixed = [_fmt_fixed(v, decimals) for v in values]
    sci = [f"{v:.{digits - 1}e}" if math.isfinite(v) else _fmt_fixed(v, 0) for v in values]
    return fixed if max(map(len, fixed)) <= max(map(len, sci)) else sci


def _fmt_pvalue(p):
    if not math.isfinite(p):
        return "NaN"
    return "<2e-16" if p < 2.2e-16 else f"{p:.3g}"


def _layout(table, right, indent=""):
    widths = [max(len(str(row[k])) for row in table) for k in range(len(table[0]))]
    out = []
    for row in table:
        cells = [str(c).rjust(w) if r else str(c).ljust(w) for c, w, r in zip(row, widths, right)]
        out.append((indent + " ".join(cells)).rstrip())
    return out
