"""Linear mixed models of many responses on one design.

The design is built once from the formula. Responses observed on every row
of it, without weights of their own, are fitted a block at a time by the
core's fit_responses on the worker pool: each response adds only its own
products to the design's, is fitted by the certified Newton method from the
starts a single fit uses, and brings back what Satterthwaite's df need, so
the tests of a block are a few array operations. The rest (a response with
missing values or weights of its own, one whose fixed effects leave almost
nothing of it, a fit that needs the boundary's or the exact fit's checks,
and every response when Kenward and Roger's df are asked for) is fitted
alone, as ``corvane.lmm`` fits it."""

from __future__ import annotations

import numpy as np

from ..design.reparam import REDUCE_BELOW
from ..inference.parameters import variance_parameters_of_fits
from ..inference.satterthwaite import SatterthwaiteFits, variance_parts
from ..model.boundary import undecided_bound
from ..model.lmm import LinearMixedModel, lmm
from .runner import ManyRun

__all__ = ["LmmMany"]

# A core-scale residual sd below this (the response is scaled to unit
# spread) is left to a single fit's exact-fit check.
_TINY_SIGMA = 1e-5


class LmmMany(ManyRun):
    """The linear family's many-response fit (see corvane.lmm_many)."""

    family_name = "gaussian"
    scale_name = "sigma"

    def __init__(self, formula, frame, reml, weights, ddf, **kwargs):
        self.reml, self.ddf = reml, ddf
        super().__init__(formula, frame, weights, **kwargs)

    def base_model(self, formula, frame, weights):
        return LinearMixedModel.from_formula(formula, frame, reml=self.reml, weights=weights, progress=False)

    def placeholder_values(self, n, rng):
        return rng.standard_normal(n)

    def single_named(self, formula, frame, weights):
        return lmm(formula, frame, reml=self.reml, weights=self.weights if weights is None else weights)

    def refit(self, y_rows):
        return self.model.refit(y_rows)

    def fit_block(self, numbers, idx, Y):
        """Responses idx (complete on the model's rows, Y: count x n) by
        fit_responses; returns the indices left to single fits."""
        model = self.model
        if self.ddf != "satterthwaite" or not len(idx):
            return idx
        if model.offset is not None:
            Y = Y - model.offset
        sw, Xc, Zc = model.core_rows()
        rps = [model.reparam.for_response(y, model.weights) for y in Y]
        Yc = np.stack([rp.core_response(y if sw is None else y * sw, Xc) for rp, y in zip(rps, Y)])
        # The fixed effects' share: responses they leave almost nothing of are
        # fitted alone (their preliminary reduction and exact-fit check).
        q_basis = self._x_basis(Xc)
        fitted = Yc @ q_basis
        total = np.einsum("ij,ij->i", Yc, Yc)
        left = total - np.einsum("ij,ij->i", fitted, fitted)
        fast = (left > 100.0 * REDUCE_BELOW * total) & (total > 0)
        if not fast.any():
            return idx
        raw = model.core.fit_responses(np.ascontiguousarray(Yc[fast]), Xc, Zc, model.codes, reml=self.reml,
                                       free=model._fit_free(), derivatives=True)
        theta = raw["theta"]
        ok = raw["converged"] & np.isfinite(raw["sigma"]) & (raw["sigma"] > _TINY_SIGMA)
        ok &= np.isfinite(raw["pwrss"]) & np.all(np.isfinite(raw["xvx"]), axis=(1, 2))
        held = raw["boundary"]
        q = model.q
        on_bound = np.zeros(len(theta), dtype=bool)
        for r in np.flatnonzero(ok):
            undecided, bound = undecided_bound(theta[r], q, held[r])
            ok[r] = not undecided
            on_bound[r] = bound
        rows = np.flatnonzero(fast)[ok]
        keep = {key: np.asarray(v)[ok] for key, v in raw.items()}
        rp_ok = [rps[r] for r in rows]
        beta = np.stack([rp.beta(b) for rp, b in zip(rp_ok, keep["beta"])])
        sigma = np.array([rp.sigma(s) for rp, s in zip(rp_ok, keep["sigma"])])
        t = np.stack([rp.beta_map() for rp in rp_ok])
        free = model.theta_free if model.theta_free is not None else np.arange(theta.shape[1])
        vcov_varpar, cov_beta, jac, _ = variance_parts(keep, free, t)
        tests = SatterthwaiteFits(beta, vcov_varpar, cov_beta, jac)
        where = idx[rows]
        for j, L in enumerate(self.terms.matrices):
            if L.shape[0] == 1:
                est, se, df = tests.t_tests(L[0])
                numbers.put_t_block(where, j, est, se, df)
            else:
                for r, i in enumerate(where):
                    numbers.put_test(i, j, tests.one(r), L)
        rel = model.reparam.relative_covariance(keep["theta"])
        numbers.variance[where] = variance_parameters_of_fits(model, rel, sigma)
        numbers.scale[where] = sigma
        numbers.converged[where] = True
        numbers.boundary[where] = on_bound[ok]
        numbers.n[where] = model.n
        return np.setdiff1d(idx, where)

    def _x_basis(self, Xc):
        basis = self.__dict__.get("_basis")
        if basis is None:
            basis = self._basis = np.linalg.qr(Xc)[0]
        return basis
