"""What every many-response fit shares: the terms tested (coefficients and
contrasts), the table of numbers filled response by response or a block
at a time, single fits of the responses the shared route does not take,
and the tidy table with Benjamini and Hochberg's adjusted p values."""

from __future__ import annotations

import math
import re
import warnings
from types import SimpleNamespace

import numpy as np

from .. import _dist
from ..inference.ddf import contrast_matrix, df_method, f_pvalue
from ..inference.parameters import variance_names, variance_parameters

__all__ = ["Terms", "Numbers", "placeholder_name", "single_fit", "bh_adjusted", "tidy_table", "per_response",
           "variance_labels"]


class Terms:
    """The coefficients and contrasts tested in every response: names and
    contrast matrices over the model's fixed effects (fe_names)."""

    def __init__(self, model, coefs, contrasts):
        self.fe_names = list(model.fe_names)
        p = len(self.fe_names)
        if coefs is None:
            coefs = self.fe_names if contrasts is None else []
        elif isinstance(coefs, str):
            coefs = [coefs]
        unknown = [c for c in coefs if c not in self.fe_names]
        if unknown:
            raise ValueError(f"coefs {unknown} are not fixed effects {self.fe_names}")
        self.names = list(coefs)
        self.matrices = [np.eye(p)[[self.fe_names.index(c)]] for c in coefs]
        if contrasts is not None:
            if not isinstance(contrasts, dict):
                raise TypeError("contrasts must be a dict of name -> contrast (a vector, a matrix, a dict or "
                                "pandas Series naming fixed effects, or a DataFrame), as contrast_test takes them")
            for name, L in contrasts.items():
                if str(name) in self.names:
                    raise ValueError(f"the contrast name {name!r} is also a coefficient's")
                self.names.append(str(name))
                if isinstance(L, dict):  # {fixed effect: weight}
                    L = _dist.pandas().Series(L, dtype=float)
                self.matrices.append(contrast_matrix(model, L))
        if not self.names:
            raise ValueError("nothing to test: give coefs or contrasts")

    def __len__(self):
        return len(self.names)

    def for_names(self, fe_names, j):
        """Term j's matrix over the fixed effects fe_names of one fit (a fit
        whose design dropped an aliased column), or None when it involves a
        dropped column."""
        if list(fe_names) == self.fe_names:
            return self.matrices[j]
        L = self.matrices[j]
        where = {n: i for i, n in enumerate(self.fe_names)}
        gone = [where[n] for n in self.fe_names if n not in fe_names]
        if np.any(L[:, gone]):
            return None
        return L[:, [where[n] for n in fe_names]]


# Per-term columns of the tidy table, and per-response ones before the variance parameters.
TERM_COLUMNS = ("estimate", "std_error", "df", "statistic", "num_df", "p")


class Numbers:
    """The table's numbers, filled in by responses: per term arrays (count)
    of TERM_COLUMNS, per response the scale ("sigma" or "phi"), variance
    parameters, converged, boundary, rows used, rows missing, message."""

    def __init__(self, names, terms, variance_labels, scale_name):
        count = len(names)
        self.names, self.terms = list(names), terms
        self.term = {c: np.full((count, len(terms)), np.nan) for c in TERM_COLUMNS}
        self.scale_name = scale_name
        self.scale = np.full(count, np.nan)
        self.variance_labels = list(variance_labels)
        self.variance = np.full((count, len(variance_labels)), np.nan)
        self.converged = np.zeros(count, dtype=bool)
        self.boundary = np.zeros(count, dtype=bool)
        self.n = np.zeros(count, dtype=np.int64)
        self.n_missing = np.zeros(count, dtype=np.int64)
        self.message = [""] * count
        self.failed = np.zeros(count, dtype=bool)  # no fit: message says why

    def put_result(self, i, result, ddf):
        """Response i's numbers from its full fit (a linear or generalized
        result): ddf names the df method of a linear fit; a generalized fit's
        tests are Wald's (infinite df)."""
        linear = result.family_name == "gaussian"
        method = df_method(result, ddf if linear else "normal")
        for j in range(len(self.terms)):
            L = self.terms.for_names(result.fe_names, j)
            if L is None:
                self.message[i] = _joined(self.message[i], f"{self.terms.names[j]} involves a dropped column")
                continue
            self.put_test(i, j, method, L)
        k = len(self.variance_labels)
        values = variance_parameters(result)
        self.variance[i] = values[:k]
        self.scale[i] = result.sigma if linear else (math.nan if result.phi is None else result.phi)
        self.converged[i] = bool(result.converged)
        self.boundary[i] = bool(result.boundary)
        self.n[i] = result.model.n

    def put_t_block(self, where, j, est, se, df):
        """Term j's t tests of the responses where (arrays of estimates,
        std errors and df; an infinite df is the normal's z test)."""
        with np.errstate(divide="ignore", invalid="ignore"):
            t = np.where(se > 0, est / se, np.nan)
        for c, v in zip(TERM_COLUMNS, (est, se, df, t, 1.0, _dist.t_two_sided(t, df))):
            self.term[c][where, j] = v

    def put_test(self, i, j, method, L):
        """Term j's test of response i by a df method: a t test of a one-row
        L, else an F test."""
        if L.shape[0] == 1:
            self.put_t_block([i], j, *(np.array([v], dtype=np.float64) for v in method.t_test(L[0])))
            return
        try:
            f, q, df2 = method.f_test(L)
        except ValueError as exc:
            self.message[i] = _joined(self.message[i], f"{self.terms.names[j]}: {exc}")
            return
        for c, v in zip(TERM_COLUMNS, (math.nan, math.nan, df2, f, q, f_pvalue(f, q, df2))):
            self.term[c][i, j] = v

    def put_error(self, i, message):
        self.failed[i] = True
        self.message[i] = message


def _joined(a, b):
    return b if not a else f"{a}; {b}"


def placeholder_name(columns):
    """A column name not among columns, for a response placed in the table."""
    name = "response_"
    while name in columns:
        name += "_"
    return name


def single_fit(fit, name, placeholder):
    """(result, None) of fit() with its warnings held back, or (None, the
    error's message with the placeholder column's name replaced by the
    response's)."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return fit(), None
    except (ValueError, ArithmeticError, RuntimeError, np.linalg.LinAlgError) as exc:
        text = str(exc).replace(repr(placeholder), repr(name)).replace(placeholder, name)
        text = text.replace("the new response", "the response")
        return None, re.sub(r"\s+", " ", text)


def bh_adjusted(p):
    """Benjamini and Hochberg's adjusted p values (scipy's), over the finite
    ones; NaN stays NaN."""
    out = np.full(p.shape, np.nan)
    ok = np.isfinite(p)
    if ok.any():
        out[ok] = _dist.stats().false_discovery_control(p[ok], method="bh")
    return out


def tidy_table(numbers):
    """One row per response and term (response-major): response, term,
    estimate, std_error, df, statistic (t, z, or F for a contrast of more
    than one row), num_df, p, p_adjusted (Benjamini-Hochberg over the
    responses, term by term), the scale, the variance parameters,
    converged, boundary, n, n_missing, message."""
    pd = _dist.pandas()
    count, k = numbers.term["p"].shape
    cols = {"response": np.repeat(np.array(numbers.names, dtype=object), k),
            "term": np.tile(np.array(numbers.terms.names, dtype=object), count)}
    for c in TERM_COLUMNS:
        cols[c] = numbers.term[c].ravel()
    adj = np.column_stack([bh_adjusted(numbers.term["p"][:, j]) for j in range(k)]) if count else np.empty((0, k))
    cols["p_adjusted"] = adj.ravel()
    for name, values in per_response(numbers).items():
        cols[name] = np.repeat(values, k)
    frame = pd.DataFrame(cols)
    frame["num_df"] = frame["num_df"].astype("Int64")
    return frame


def per_response(numbers):
    """The per-response columns (a dict of arrays, in the table's order)."""
    out = {numbers.scale_name: numbers.scale}
    for j, label in enumerate(numbers.variance_labels):
        out[label] = numbers.variance[:, j]
    out.update({"converged": numbers.converged, "boundary": numbers.boundary, "n": numbers.n,
                "n_missing": numbers.n_missing, "message": np.array(numbers.message, dtype=object)})
    return out


def variance_labels(model):
    """The variance parameters' names (sd and cor, as confint names them)."""
    return variance_names(SimpleNamespace(model=model, re_names=model.re_names, group_name=model.group_name))
