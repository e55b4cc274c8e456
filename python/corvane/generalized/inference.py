"""A generalized model's tests and marginal means, as methods of its result:
Wald z and chi-squared tests on the fixed effects' asymptotic covariance
(the inverse of half the deviance's Hessian), marginal means and their
pairwise comparisons on the link scale or back-transformed (emmeans' EMMs
of a glmer or glmmTMB fit), the type III table, drop1's likelihood-ratio
tests and the Nakagawa-Schielzeth R². The reference grid, the hypotheses
and the refits are the linear model's (:mod:`corvane.inference`); only the
scale and the distributions differ. Each method imports its module when
called.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any

import numpy as np

from .. import _dist
from .._checks import check_level

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd

__all__ = ["GeneralizedInference", "SCALES"]

SCALES = ("link", "response")


def _check_type(type):
    if type not in SCALES:
        raise ValueError(f'type must be "link" or "response", got {type!r}')
    return type


class GeneralizedInference:
    """The tests of a generalized linear mixed model's result (mixed into GlmmResult)."""

    def emmeans(self, specs: Any, by: Any = None, at: Any = None, type: str = "link",
                level: float = 0.95) -> "pd.DataFrame":
        """Estimated marginal means, as emmeans gives them for a glmer or
        glmmTMB fit (asymptotic: infinite df, normal intervals).

        Parameters
        ----------
        specs, by, at
            As for :meth:`corvane.LmmResult.emmeans`: the reference grid holds
            every combination of the factors' levels and each covariate at its
            mean, and a mean averages the grid's linear predictors over the
            other variables with equal weights.
        type : {"link", "response"}
            "link": the means of the linear predictor (emmean). "response":
            those means back-transformed by the inverse link (``prob`` for the
            binomial, ``rate`` for the Poisson), the SE by the delta method
            (|dmu/deta| times the link-scale SE) and the interval's ends
            back-transformed, as emmeans' ``type = "response"``.
        level : float
            The intervals' confidence level.

        Returns
        -------
        pandas.DataFrame
            One row per combination: the specs and by columns, emmean (or
            prob / rate), SE, df (inf), asymp.LCL, asymp.UCL.

        Examples
        --------
        >>> import corvane
        >>> from corvane._example import example_frame
        >>> df = example_frame()
        >>> df["slow"] = df["Reaction"] > 300
        >>> df["half"] = (df["Days"] >= 5).map({True: "late", False: "early"})
        >>> r = corvane.glmm("slow ~ half + (1 | Subject)", df)
        >>> r.emmeans("half", type="response").columns.tolist()
        ['half', 'prob', 'SE', 'df', 'asymp.LCL', 'asymp.UCL']
        """
        from ..inference.emmeans import marginal_rows

        _check_type(type)
        z = _dist.level_quantile(check_level(level))
        _, _, _, cells, est, se, df, _, _ = marginal_rows(self, specs, by, at, "normal")
        lower, upper = est - z * se, est + z * se
        out = cells.copy()
        if type == "link":
            out["emmean"], out["SE"] = est, se
        else:
            fam = self.family
            out[fam.response_label] = fam.mean(est)
            out["SE"] = se * np.abs(fam.mu_eta(est))
            lower, upper = fam.mean(lower), fam.mean(upper)
        out["df"], out["asymp.LCL"], out["asymp.UCL"] = df, lower, upper
        return out

    def pairwise(self, specs: Any, by: Any = None, adjust: str = "tukey", type: str = "link",
                 at: Any = None) -> "pd.DataFrame":
        """Pairwise comparisons of marginal means (emmeans' ``pairs``), as z tests.

        Parameters
        ----------
        specs, by, at, adjust
            As for :meth:`corvane.LmmResult.pairwise` (Tukey's adjustment with
            infinite df).
        type : {"link", "response"}
            "link": differences of the link-scale means ("A - B"). "response":
            those differences back-transformed, as emmeans does: odds ratios
            for the logit link, ratios for the log link ("A / B"), each SE by
            the delta method, the null value 1; z and p are the link scale's.
            The probit and cloglog links have no such ratio: compare them on
            the link scale.

        Returns
        -------
        pandas.DataFrame
            contrast, the by columns, estimate (or odds.ratio / ratio), SE,
            df (inf), [null,] z.ratio, p.value.

        Raises
        ------
        ValueError
            As for :meth:`emmeans`; and type="response" for a link without ratios.
        """
        from ..inference.emmeans import pairwise

        _check_type(type)
        ratio = self.family.ratio_label
        if type == "response" and ratio is None:
            raise ValueError(f"differences on the {self.family.link} link have no back-transformed form "
                             f"(odds ratios need the logit link, ratios the log link): use type='link'")
        out = pairwise(self, specs, by, adjust, "normal", at, separator=" / " if type == "response" else " - ")
        out = out.rename(columns={"t.ratio": "z.ratio"})
        if type == "response":
            ratios = np.exp(out["estimate"].to_numpy())
            out = out.rename(columns={"estimate": ratio})
            out[ratio] = ratios
            out["SE"] = ratios * out["SE"].to_numpy()
            out.insert(out.columns.get_loc("z.ratio"), "null", 1.0)
        return out

    def contrast_test(self, L: Any, rhs: Any = None) -> "pd.DataFrame":
        """The Wald chi-squared test of H0: L beta = rhs (with one row of L,
        the square of its Wald z).

        Parameters
        ----------
        L : array_like or pandas DataFrame / Series
            A contrast vector or a k x p matrix; a DataFrame or Series may name
            its columns by fixed effect (others are 0).
        rhs : array_like, optional
            The hypothesised values (default 0).

        Returns
        -------
        pandas.DataFrame
            One row: Chisq, Df (the rank of L's estimable directions),
            Pr(>Chisq).
        """
        from ..inference import ddf

        L, rhs = ddf.contrast_arguments(self, L, rhs)
        f, q, _ = ddf.df_method(self, "normal").f_test(L, rhs)
        return _chisq_table([(None, f * q, q)])

    def anova(self, type: int = 3) -> "pd.DataFrame":
        """Type III Wald chi-squared tests of the fixed-effect terms.

        The hypotheses are the linear model's (see
        :meth:`corvane.LmmResult.anova`): they depend neither on the order of
        the terms nor on the factors' coding, and equal those of
        ``car::Anova(fit, type = 3)`` under sum-to-zero contrasts
        (``contr.sum``); car's table under R's default treatment contrasts
        tests the main effects at the reference levels instead. The
        intercept is not tested. Likelihood-ratio tests between fits are
        :func:`corvane.anova`'s.

        Returns
        -------
        pandas.DataFrame
            One row per formula term: Chisq, Df, Pr(>Chisq).
        """
        from ..inference import ddf
        from ..inference.anova import term_hypotheses

        if type != 3:
            raise ValueError("only type III tests are available (type=3)")
        method = ddf.df_method(self, "normal")
        rows = []
        for name, L in term_hypotheses(self):
            if L.shape[0] == 0:
                rows.append((name, math.nan, 0))
                continue
            f, q, _ = method.f_test(L)
            rows.append((name, f * q, q))
        return _chisq_table(rows)

    def drop1(self, test: str = "Chisq") -> "pd.DataFrame":
        """Likelihood-ratio tests of the fixed-effect terms that can be
        dropped (contained in no other term), as lme4's
        ``drop1(fit, test = "Chisq")``: each reduced model refitted on the
        fit's rows with the same family and nagq.

        Returns
        -------
        pandas.DataFrame
            Rows "<none>" and one per term: npar, AIC, LRT, Pr(Chi).
        """
        from ..inference import reduction

        if test != "Chisq":
            raise ValueError(f"a generalized model's drop1 has likelihood-ratio tests only (test='Chisq'), "
                             f"got {test!r}")
        return reduction.drop1(self, "Chisq")

    def r2(self, tolerance: float = 1e-5) -> "pd.Series":
        """The marginal and conditional R² of Nakagawa and Schielzeth (see
        :func:`corvane.inference.r2.r2_nakagawa`), with the family's
        distribution-specific variance as ``performance::r2_nakagawa``
        takes it.

        Returns
        -------
        pandas.Series
            "marginal" and "conditional".
        """
        from ..inference.r2 import r2_nakagawa

        return r2_nakagawa(self, tolerance)


def _chisq_table(rows):
    """The Wald tests' table: Chisq, Df, Pr(>Chisq) by row name (None: no index)."""
    pd = _dist.pandas()
    stats = _dist.stats()
    chisq = np.array([r[1] for r in rows], dtype=np.float64)
    df = np.array([r[2] for r in rows], dtype=np.int64)
    with np.errstate(invalid="ignore"):
        p = np.where(df > 0, stats.chi2.sf(chisq, np.maximum(df, 1)), math.nan)
    out = pd.DataFrame({"Chisq": chisq, "Df": df, "Pr(>Chisq)": p})
    if rows and rows[0][0] is not None:
        out.index = pd.Index([r[0] for r in rows], name="term")
    return out
