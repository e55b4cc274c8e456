"""Type III tests of a repeated-measures fit's terms in R's mmrm's basis.

mmrm writes a term's type III hypothesis in the design whose factors are
all coded by sum-to-zero contrasts (car's recipe): the identity's rows at
the term's columns there, taken to the fitted coding by
(X_s'X_s)^-1 X_s'X_t. For a design of full rank that map is M^-1 with
X_s = X_t M, which depends on the codings alone: M is found on a reference
grid of every combination of the factors' levels. The F statistic does not
depend on the basis, but Satterthwaite's denominator df of a multi-df term
does (it combines the df along the eigenvectors of L cov(beta) L'), so the
basis is mmrm's to give its df.
"""

from __future__ import annotations

import numpy as np

from .. import _dist
from ..inference.ddf import f_pvalue
from ..formula.labels import is_intercept

__all__ = ["sum_coded_contrasts", "anova"]


def sum_coded_contrasts(result):
    """{term: L} on the fitted columns, in mmrm's basis (see the module's text)."""
    from ..inference import type3

    model = result.model
    builder = model.spec.fixed
    if model.dropped:
        raise NotImplementedError("type III tests in mmrm's basis need a design of full rank")
    layout, levels = builder.term_layout()
    frame, codes, values = type3.reference_grid(builder, layout, levels)
    n = len(frame)
    Xt = np.asarray(builder.matrix(frame, new_data=True), dtype=np.float64)[:, model.kept]
    Xs = np.zeros_like(Xt)
    for _name, _vars, cols, scoped in layout:
        block = []
        for product in scoped:
            part = [np.ones(n)]
            for var, reduced in product:
                if levels.get(var) is None:
                    coded = np.asarray(values[var], dtype=np.float64).reshape(n, -1)
                else:
                    k = len(levels[var])
                    ind = np.eye(k)[codes[var]]
                    coded = ind[:, :k - 1] - ind[:, [k - 1]] if reduced else ind
                part = [a * c for c in coded.T for a in part]   # the first variable fastest
            block += part
        if len(block) != len(cols):
            raise NotImplementedError("a term's columns could not be recoded by sum-to-zero contrasts")
        Xs[:, cols] = np.column_stack(block)
    M, *_ = np.linalg.lstsq(Xt, Xs, rcond=None)
    Minv = np.linalg.inv(M)
    Minv[np.abs(Minv) < np.sqrt(np.finfo(float).eps)] = 0.0
    return {name: Minv[cols] for name, _v, cols, _s in layout if not is_intercept(name)}


def anova(result, tests):
    """NumDF, DenDF, F value, Pr(>F) by term (see MmrmResult.anova)."""
    pd = _dist.pandas()
    rows = []
    for name, L in sum_coded_contrasts(result).items():
        f, q, df2 = tests.f_test(L)
        rows.append((name, q, df2, f, f_pvalue(f, q, df2)))
    return pd.DataFrame(rows, columns=["term", "NumDF", "DenDF", "F value", "Pr(>F)"]).set_index("term")
