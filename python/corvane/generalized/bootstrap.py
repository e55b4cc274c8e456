"""Simulation from a fitted generalized linear mixed model and its parametric
bootstrap.

Responses are drawn from the fit: b*_i ~ N(0, cov_re) for every group, then
y* from the family at mu* = g^-1(X beta + Z b* + offset) (binomial: a
proportion of the row's trials), by a NumPy Generator seeded by the caller.
Replicates are refitted by the core, a block at a time, in parallel and
without the interpreter lock, each from the fit's estimates; a replicate's fit
does not depend on the number of threads, so a seed gives the same
replicates bit for bit on any machine with the same NumPy. A negative
binomial's replicates re-estimate phi as its fit did (one replicate at a
time: phi's Newton steps run in Python), and the table gains a "phi" column.
"""

from __future__ import annotations

import time
from typing import TYPE_CHECKING

import numpy as np

from .._errors import require
from ..model.boundary import singular_theta
from ..design.reparam import chol_psd
from ..inference.parameters import level_names, parameter_names, variance_values

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd

__all__ = ["simulate", "bootstrap", "GlmmBootstrap"]

_BLOCK = 64  # replicates per call into the core


def _count(n, name):
    if isinstance(n, bool) or not isinstance(n, (int, np.integer)) or n < 1:
        raise ValueError(f"{name} must be a positive int, got {n!r}")
    return int(n)


def _draw(result, rng, count):
    model = result.model
    eta0 = model.X @ np.asarray(result.beta)
    if model.offset is not None:
        eta0 = eta0 + model.offset
    factor = chol_psd(np.asarray(result.cov_re))
    w = model.prior_weights
    out = np.empty((count, model.n))
    for r in range(count):
        b = rng.standard_normal((model.m, model.q)) @ factor.T
        eta = eta0 + np.einsum("nq,nq->n", model.Z, b[model.codes])
        out[r] = result.family.simulate(result.family.mean(eta), w, rng)
    return out


def simulate(result, n=1, seed=None):
    """n simulated responses, an (n, n_obs) array."""
    n = _count(n, "n")
    return _draw(result, np.random.default_rng(seed), n)


class GlmmBootstrap:
    """Replicates of a parametric bootstrap.

    Attributes
    ----------
    replicates : pandas.DataFrame
        One row per replicate: the sd and cor parameters, the fixed effects,
        "deviance", "converged" and "singular" (on the boundary by the fits'
        own rule: a variance at 0 or a correlation at +-1).
    n, seed, n_singular, seconds
    """

    def __init__(self, result, theta, beta, deviance, converged, seed, seconds, theta_core=None, phi=None):
        pd = require("pandas", purpose="the bootstrap's replicates")
        q = result.model.q
        pairs = list(result.model.theta_pairs)
        self.n, self.seed, self.seconds = len(deviance), seed, seconds
        self.names = parameter_names(result)
        var = np.array([variance_values(t, q, pairs) if np.isfinite(t).all() else np.full(len(pairs), np.nan)
                        for t in theta])
        table = pd.DataFrame(np.column_stack([var, beta]) if len(var) else np.empty((0, len(self.names))),
                             columns=self.names)
        if phi is not None:
            table["phi"] = phi
            self.names = self.names + ["phi"]
        table["deviance"] = deviance
        table["converged"] = converged.astype(bool)
        # The fits' own boundary rule, on the core's theta: a variance at 0
        # or a correlation at +-1.
        table["singular"] = np.array([singular_theta(t, q) if np.isfinite(t).all() else False
                                      for t in (theta if theta_core is None else theta_core)], dtype=bool)
        self.replicates = table
        self.n_singular = int(table["singular"].sum())

    def confint(self, level: float = 0.95) -> "pd.DataFrame":
        """Percentile intervals over the converged replicates."""
        pd = require("pandas")
        ok = self.replicates[self.replicates["converged"]]
        lo, hi = (1.0 - level) / 2.0, (1.0 + level) / 2.0
        rows = {name: [float(np.nanquantile(ok[name], lo)), float(np.nanquantile(ok[name], hi))]
                for name in self.names}
        return pd.DataFrame.from_dict(rows, orient="index", columns=list(level_names(level)))

    def __repr__(self):
        return f"<GlmmBootstrap n={self.n} seed={self.seed} singular={self.n_singular}>"


def _negative_binomial_fits(result, ys):
    """The raw fits of replicates ys of a negative binomial, phi re-estimated
    in each from the fit's estimates (the fit_responses dict's keys)."""
    from .dispersion import fit_dispersion, fitter

    model = result.model
    w = model.prior_weights
    fit_at = fitter(model, result.nagq, 200, result.theta_core, result.beta_core)
    out = {"theta": [], "beta": [], "deviance": [], "converged": [], "phi": []}
    for y in ys:
        try:
            _, raw, disp = fit_dispersion(model.core_with_response(y), fit_at, y, w, result.nagq, result.family.phi)
            ok = bool(raw["converged"]) and disp.converged
            values = (raw["theta"], raw["beta"], raw["deviance"], ok, disp.phi)
        except (ValueError, RuntimeError):  # a replicate the model cannot take (all counts 0)
            values = (np.full(model.n_theta, np.nan), np.full(model.p, np.nan), np.nan, False, np.nan)
        for key, v in zip(("theta", "beta", "deviance", "converged", "phi"), values):
            out[key].append(v)
    return {k: np.asarray(v) for k, v in out.items()}


def bootstrap(result, n=1000, seed=0, progress=True):
    n = _count(n, "n")
    model = result.model
    rp = model.reparam
    rng = np.random.default_rng(seed)
    nb = result.phi is not None
    thetas, cores, betas, devs, conv, phis = [], [], [], [], [], []
    start = time.perf_counter()
    bar = None
    try:
        for first in range(0, n, _BLOCK):
            count = min(_BLOCK, n - first)
            ys = _draw(result, rng, count)
            if nb:
                raw = _negative_binomial_fits(result, ys)
                phis.append(raw["phi"])
            else:
                raw = model.rows_core().fit_responses(ys, result.theta_core.tolist(), result.beta_core.tolist(),
                                                      nagq=result.nagq, free=model._fit_free())
            thetas += [rp.theta(t) if np.isfinite(t).all() else t for t in raw["theta"]]
            cores += list(raw["theta"])
            betas.append(rp.beta(raw["beta"]))
            devs.append(raw["deviance"])
            conv.append(raw["converged"])
            if progress and bar is None and first + count < n and time.perf_counter() - start > 2.0:
                try:
                    from ..data.sources import progress_bar

                    bar = progress_bar(n, "replicate", "bootstrap", initial=first + count)
                except ImportError:
                    progress = False
            elif bar is not None:
                bar.update(count)
    finally:
        if bar is not None:
            bar.close()
    return GlmmBootstrap(result, np.array(thetas), np.vstack(betas), np.concatenate(devs), np.concatenate(conv),
                         seed, time.perf_counter() - start, np.array(cores),
                         np.concatenate(phis) if nb else None)
