"""Simulation from a fitted model and the parametric bootstrap.

Responses are drawn from the fitted model, y* = X beta + Z b* + e* with
b*_i ~ N(0, cov_re) and e* ~ N(0, sigma^2), by a NumPy Generator seeded by
the caller, in blocks whose size depends only on the problem's dimensions.
Each replicate is refitted on the model's design (its products shared) by
the core, many replicates per call, in parallel and without the
interpreter lock; a replicate's fit does not depend on the number of
threads, so a seed gives the same replicates bit for bit on any machine
with the same NumPy.
"""

from __future__ import annotations

import math
import time
from typing import Any

import numpy as np

from .._errors import require
from ..design.reparam import chol_psd
from ..model.boundary import singular_theta
from .._checks import check_level
from .parameters import level_names, parameter_names, variance_parameters, variance_parameters_of_fits

__all__ = ["simulate", "bootstrap", "BootstrapResult"]

# Simulated values per block: bounds the memory of a block of responses.
BLOCK_VALUES = 1 << 22


def _block_size(model):
    per = model.n * (model.q + 2)
    return max(1, min(4096, BLOCK_VALUES // max(per, 1)))


def _simulate_block(model, result, rng, count):
    """count responses on the model's fitting scale (without the offset)."""
    mu = model.X @ np.asarray(result.beta)
    factor = chol_psd(np.asarray(result.cov_re))
    b = rng.standard_normal((count, model.m, model.q)) @ factor.T
    e = rng.standard_normal((count, model.n)) * result.sigma
    if model.weights is not None:
        e /= np.sqrt(model.weights)[None, :]  # residual variance sigma^2 / w_i
    zb = np.einsum("nq,rnq->rn", model.Z, b[:, model.codes, :])
    return mu[None, :] + zb + e


def simulate(result, n=1, seed=None):
    """n simulated responses (an n x n_obs array), the offset included."""
    model = result.model
    model._require_rows("simulate")
    n = _count(n, "n")
    rng = np.random.default_rng(seed)
    out = np.empty((n, model.n))
    block = _block_size(model)
    for start in range(0, n, block):
        count = min(block, n - start)
        out[start:start + count] = _simulate_block(model, result, rng, count)
    if model.offset is not None:
        out += model.offset[None, :]
    return out


def _count(n, name):
    if isinstance(n, bool) or not isinstance(n, (int, np.integer)) or n < 1:
        raise ValueError(f"{name} must be a positive integer, got {n!r}")
    return int(n)


def bootstrap(result, n=1000, seed=0, progress=True):
    """The parametric bootstrap: n responses simulated from the fit and
    refitted; a :class:`BootstrapResult`."""
    model = result.model
    model._require_rows("the bootstrap")
    n = _count(n, "n")
    rp = model.reparam
    rng = np.random.default_rng(seed)
    block = _block_size(model)
    starts = [float(v) for v in result.theta_core]
    parts = []
    bar = None
    began = time.perf_counter()
    done = 0
    try:
        for start in range(0, n, block):
            count = min(block, n - start)
            y = _simulate_block(model, result, rng, count)
            sw, Xc, Zc = model.core_rows()
            if sw is not None:
                y *= sw[None, :]
            y = rp.core_response(y, Xc)
            raw = model.core.fit_responses(np.ascontiguousarray(y), Xc, Zc, model.codes,
                                           reml=result.reml, starts=starts, free=model._fit_free())
            parts.append(raw)
            done += count
            if progress and bar is None and done < n:
                elapsed = time.perf_counter() - began
                if elapsed * n / done > 1.0:
                    from ..data.sources import progress_bar

                    bar = progress_bar(n, "replicate", "bootstrap", initial=done)
            elif bar is not None:
                bar.update(count)
    finally:
        if bar is not None:
            bar.close()
    raw = {k: np.concatenate([p[k] for p in parts]) for k in parts[0]}
    return BootstrapResult(result, raw, seed)


class BootstrapResult:
    """Replicates of a parametric bootstrap.

    Attributes
    ----------
    replicates : pandas.DataFrame
        One row per replicate: the fixed effects, "sigma", the sd and cor
        parameters (as in ``confint``), theta ("theta[0]", ...), "criterion",
        "converged" and "singular" (a variance estimated as 0 or a
        correlation of +-1: the replicate's fit is on the boundary).
    n, seed
        The number of replicates and the seed.
    n_singular
        How many replicates are singular fits.
    """

    def __init__(self, result, raw, seed):
        pd = require("pandas", purpose="the bootstrap's replicates")
        model = result.model
        rp = model.reparam
        self.n, self.seed = len(raw["sigma"]), seed
        self.names = parameter_names(result)
        beta = rp.beta(raw["beta"])
        sigma = rp.sigma(raw["sigma"])
        q = model.q
        pairs = list(model.theta_pairs)
        rel = rp.relative_covariance(raw["theta"])
        values = variance_parameters_of_fits(model, rel, sigma)
        var_cols = {self.names[s]: values[:, s] for s in range(len(pairs))}
        theta_user = np.full((self.n, len(pairs)), np.nan)
        finite = np.all(np.isfinite(rel), axis=(1, 2))
        pd_rows = np.zeros(self.n, dtype=bool)
        pd_rows[finite] = np.linalg.eigvalsh(rel[finite])[:, 0] > 0
        if pd_rows.any():
            try:
                chol = np.linalg.cholesky(rel[pd_rows])
            except np.linalg.LinAlgError:
                chol = np.array([chol_psd(m) for m in rel[pd_rows]])
            theta_user[pd_rows] = np.stack([chol[:, a, b] for a, b in pairs], axis=1)
        for r in np.flatnonzero(finite & ~pd_rows):  # singular: the semidefinite factor
            c = chol_psd(rel[r])
            theta_user[r] = [c[a, b] for a, b in pairs]
        nmp = model.n - (model.p if result.reml else 0)
        crit = rp.data_criterion(raw["deviance"], nmp, result.reml, model.weights_logdet)
        cols = {name: beta[:, j] for j, name in enumerate(result.fe_names)}
        cols["sigma"] = sigma
        cols.update(var_cols)
        for s in range(len(pairs)):
            cols[f"theta[{s}]"] = theta_user[:, s]
        cols["criterion"] = crit
        cols["converged"] = raw["converged"].astype(bool)
        # The replicates' responses are not held by the core, so a
        # replicate's theta alone decides: a diagonal entry of Lambda at 0 or
        # negligible, as for the fit itself.
        cols["singular"] = np.array([singular_theta(t, q) for t in raw["theta"]], dtype=bool)
        self.replicates = pd.DataFrame(cols)
        self.evaluations = raw["fev"]
        self.estimates = dict(zip(self.names, list(variance_parameters(result)) + list(result.beta)))

    @property
    def n_converged(self):
        return int(self.replicates["converged"].sum())

    @property
    def n_singular(self):
        return int(self.replicates["singular"].sum())

    def confint(self, level: float = 0.95, kind: str = "percentile") -> Any:
        """Intervals from the converged replicates.

        Parameters
        ----------
        level : float
            Coverage.
        kind : {"percentile", "shortest"}
            The quantiles at (1 -+ level) / 2, or the shortest interval
            holding a fraction level of the replicates.

        Returns
        -------
        pandas.DataFrame
            One row per parameter, as ``LmmResult.confint``.

        Raises
        ------
        ValueError
            For an unknown kind or a level outside (0, 1).

        Examples
        --------
        >>> import corvane
        >>> from corvane._example import example_frame
        >>> r = corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame())
        >>> boot = r.bootstrap(n=100, seed=1, progress=False)
        >>> boot.confint().round(1).loc["Days"].tolist()
        [8.6, 14.0]
        """
        pd = require("pandas", purpose="tables")
        level = check_level(level)
        if kind not in ("percentile", "shortest"):
            raise ValueError(f"kind must be 'percentile' or 'shortest', got {kind!r}")
        ok = self.replicates[self.replicates["converged"]]
        lo_name, hi_name = level_names(level)
        rows = []
        for name in self.names:
            v = ok[name].to_numpy(dtype=float)
            v = v[np.isfinite(v)]
            if len(v) == 0:
                rows.append((math.nan, math.nan))
            elif kind == "percentile":
                rows.append(tuple(np.quantile(v, [0.5 - level / 2.0, 0.5 + level / 2.0])))
            else:
                rows.append(_shortest(np.sort(v), level))
        return pd.DataFrame(rows, index=self.names, columns=[lo_name, hi_name])

    def __repr__(self):
        return (f"<BootstrapResult n={self.n} converged={self.n_converged} singular={self.n_singular} "
                f"seed={self.seed}>")


def _shortest(v, level):
    k = max(1, int(math.ceil(level * len(v))))
    if k >= len(v):
        return float(v[0]), float(v[-1])
    widths = v[k - 1:] - v[: len(v) - k + 1]
    i = int(np.argmin(widths))
    return float(v[i]), float(v[i + k - 1])
