"""Predictions and residuals of a repeated-measures fit.

A prediction for a subject's visit is conditional on the responses the new
data give for the subject's other visits, as R's mmrm predicts: a row with
a response returns it (standard error 0); a row without one returns
x_m' beta + S_mo S_oo^-1 (y_o - X_o beta), S the subject's covariance over
its rows, with the confidence variance z' cov(beta) z, z = x_m - X_o'
S_oo^-1 S_om, and the prediction variance adding S_mm - S_mo S_oo^-1 S_om
(at the fitted theta; mmrm samples theta instead). conditional=False gives
x'beta and sqrt(x' cov(beta) x).
"""

from __future__ import annotations

import numpy as np

from .. import _dist

__all__ = ["residuals", "predict"]

RESIDUAL_TYPES = ("response", "pearson", "normalized")


def _by_subject(codes, positions):
    """Row order by subject, then visit, and the subjects' spans in it."""
    order = np.lexsort((positions, codes))
    c = codes[order]
    starts = np.flatnonzero(np.r_[True, c[1:] != c[:-1]])
    return order, starts, np.r_[starts[1:], len(c)]


def _sigma(result, group, where):
    m = result.model
    if m.term.spatial:
        return m.core.covariance(result.theta, list(map(float, where)))[group]
    full = result.cached("covariances", lambda r: r.model.core.covariance(r.theta))
    k = np.asarray(where, dtype=np.int64)
    return full[group][np.ix_(k, k)]


def residuals(result, type="response"):
    """y - X beta ("response"), scaled by each row's standard deviation
    ("pearson") or whitened by the subject's Cholesky factor
    ("normalized"), on the rows' index."""
    if type not in RESIDUAL_TYPES:
        raise ValueError(f"type must be one of {', '.join(RESIDUAL_TYPES)}, got {type!r}")
    m = result.model
    m._require_rows("residuals")
    r = m.y - m.X @ result.beta
    out = r.copy()
    if type != "response":
        w = np.ones(m.n) if m.weights is None else m.weights
        order, starts, ends = _by_subject(m.codes, m.positions)
        for s, e in zip(starts, ends):
            rows = order[s:e]
            sigma = _sigma(result, int(m.group_codes[rows[0]]), m.positions[rows].tolist())
            root = np.sqrt(w[rows])
            if type == "pearson":
                out[rows] = r[rows] * root / np.sqrt(np.diag(sigma))
            else:
                out[rows] = np.linalg.solve(np.linalg.cholesky(sigma), r[rows] * root)
    return _dist.pandas().Series(out, index=m.index, name=type)


def _new_rows(result, data):
    """(X, y (NaN where missing), subject codes, positions, groups, weights)
    of new data."""
    m = result.model
    pd = _dist.pandas()
    if not isinstance(data, pd.DataFrame):
        raise TypeError(f"data must be a pandas DataFrame, got {type(data).__name__}")
    term = m.term
    for col in (term.subject, term.visit) + ((term.group,) if term.group else ()):
        if col not in data.columns:
            raise ValueError(f"new data need the column {col!r}")
    X = np.asarray(m.spec.fixed.matrix(data, new_data=True), dtype=np.float64)[:, m.kept]
    y = (data[m.response_name].to_numpy(dtype=np.float64, na_value=np.nan) if m.response_name in data.columns
         else np.full(len(data), np.nan))
    subjects, _ = pd.factorize(data[term.subject])
    if term.spatial:
        positions = data[term.visit].to_numpy(dtype=np.float64)
    else:
        lookup = {v: k for k, v in enumerate(m.visit_levels)}
        values = data[term.visit].tolist()
        unknown = [v for v in values if v not in lookup]
        if unknown:
            raise ValueError(f"visit {unknown[0]!r} of the new data is not a visit level of the fit "
                             f"{list(m.visit_levels)}")
        positions = np.array([lookup[v] for v in values], dtype=np.int64)
    if term.group:
        glook = {v: k for k, v in enumerate(m.group_levels)}
        groups = np.array([glook[v] for v in data[term.group].tolist()], dtype=np.int64)
    else:
        groups = np.zeros(len(data), dtype=np.int64)
    w = (data[m.weights_column].to_numpy(dtype=np.float64) if m.weights_column else np.ones(len(data)))
    return X, y, subjects.astype(np.int64), positions, groups, w


def predict(result, data=None, conditional=True, interval=None, level=0.95, se=False):
    """Predictions for new data (the model's rows when None); see the
    module's text. interval None, "confidence" or "prediction"; with an
    interval or se, a DataFrame of fit, se (and lower, upper), else the
    fitted values as a Series, on the data's index."""
    from .._checks import check_level

    if interval not in (None, "confidence", "prediction"):
        raise ValueError(f"interval must be None, 'confidence' or 'prediction', got {interval!r}")
    level = check_level(level)
    pd = _dist.pandas()
    m = result.model
    if data is None:
        m._require_rows("predictions for the fitted rows")
        X, y, codes, positions, groups = m.X, m.y, m.codes, m.positions, m.group_codes
        w = np.ones(m.n) if m.weights is None else m.weights
        index = m.index
    else:
        X, y, codes, positions, groups, w = _new_rows(result, data)
        index = data.index
    beta, cov = result.beta, result.cov_beta
    xb = X @ beta
    fit = xb.copy()
    conf = np.einsum("ij,jk,ik->i", X, cov, X)
    pred = conf.copy()
    if conditional:
        observed = np.isfinite(y)
        order, starts, ends = _by_subject(codes, positions)
        for s, e in zip(starts, ends):
            rows = order[s:e]
            if len(np.unique(positions[rows])) < len(rows):
                raise ValueError("a subject of the new data has the same visit twice")
            root = 1.0 / np.sqrt(w[rows])
            S = _sigma(result, int(groups[rows[0]]), positions[rows].tolist()) * np.outer(root, root)
            o, mi = observed[rows], ~observed[rows]
            ro, rm = rows[o], rows[mi]
            fit[ro], conf[ro], pred[ro] = y[ro], 0.0, 0.0
            if not len(rm):
                continue
            if len(ro):
                B = np.linalg.solve(S[np.ix_(o, o)], S[np.ix_(o, mi)]).T       # S_mo S_oo^-1
                z = X[rm] - B @ X[ro]
                fit[rm] = xb[rm] + B @ (y[ro] - xb[ro])
                cond = S[np.ix_(mi, mi)] - B @ S[np.ix_(o, mi)]
            else:
                z, cond = X[rm], S[np.ix_(mi, mi)]
            conf[rm] = np.einsum("ij,jk,ik->i", z, cov, z)
            pred[rm] = conf[rm] + np.diag(cond)
    elif interval == "prediction":
        root = 1.0 / np.sqrt(w)
        var = np.array([_sigma(result, int(g), [p])[0, 0] for g, p in zip(groups, positions)])
        pred = conf + var * root * root
    if interval is None and not se:
        return pd.Series(fit, index=index, name="fit")
    var = pred if interval == "prediction" else conf
    sd = np.sqrt(np.maximum(var, 0.0))
    out = pd.DataFrame({"fit": fit, "se": sd}, index=index)
    if interval is not None:
        q = _dist.level_quantile(level)
        out["lower"], out["upper"] = fit - q * sd, fit + q * sd
    return out
