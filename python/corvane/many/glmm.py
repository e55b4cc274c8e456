"""Generalized mixed models of many responses on one design: counts
(Poisson, negative binomial, with an offset such as log library size) and
binary responses. The design (its columns, groups, offset and weights) is
read from the formula once; each complete response is a model on those rows
with its own response, built by the family's one construction path (its
separation check and the rows it pools are the response's own) and fitted
as a single fit is, the evaluations on the worker pool. A response with
missing values is fitted from the formula on its own rows."""

from __future__ import annotations

from ..design.construct import Rows
from ..generalized.model import GeneralizedLinearMixedModel, glmm
from .runner import ManyRun

__all__ = ["GlmmMany"]


class GlmmMany(ManyRun):
    """The generalized family's many-response fit (see corvane.glmm_many)."""

    def __init__(self, formula, frame, family, link, offset, nagq, weights, **kwargs):
        self.family, self.link, self.offset, self.nagq = family, link, offset, nagq
        super().__init__(formula, frame, weights, **kwargs)
        self.family_name = self.model.family.name
        self.scale_name = "phi"

    def base_model(self, formula, frame, weights):
        return GeneralizedLinearMixedModel.from_formula(formula, frame, self.family, self.link, weights=weights,
                                                        offset=self.offset)

    def placeholder_values(self, n, rng):
        if self.family == "binomial":
            return (rng.random(n) < 0.5).astype(float)
        return rng.poisson(3.0, n).astype(float)

    def single_named(self, formula, frame, weights):
        return glmm(formula, frame, self.family, self.link, weights=self.weights if weights is None else weights,
                    offset=self.offset, nagq=self.nagq)

    def refit(self, y_rows):
        m = self.model
        rows = Rows(y_rows, m.X_all, m.Z, m.codes, list(m.group_labels), m.offset, m.weights)
        return m._rebuilt(rows, m._names(), m._origin()).fit(self.nagq)
