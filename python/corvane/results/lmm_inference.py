"""A linear model's tests and marginal means as methods of its result:
Satterthwaite's (or Kenward and Roger's) t and F tests, the type III table,
emmeans and pairwise comparisons, the reductions (ranova, drop1) and R².
Each method imports its module of :mod:`corvane.inference` when called, so
that a result is made without loading them.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd

__all__ = ["LinearInference"]


class LinearInference:
    """The tests of a linear mixed model's result (mixed into LmmResult)."""

    # -- the fixed effects' t tests ---------------------------------------------------
    def _t_tests(self):
        """(df, p) of the fixed effects' t tests: Satterthwaite's df and the
        two-sided p values (the one definition every output shows)."""
        from ..inference import ddf

        return ddf.t_tests(self)

    @property
    def p_values(self):
        """Two-sided p values of the fixed effects' t tests with Satterthwaite's
        df, as :meth:`summary` and lmerTest give them (an array; needs scipy,
        the extra ``corvane[formula]``). The normal approximation's are
        ``coef_table(ddf="normal")["Pr(>|z|)"]``."""
        return self._t_tests()[1]

    # -- inference -------------------------------------------------------------------
    @property
    def ddf(self):
        """Satterthwaite's denominator degrees of freedom of each fixed effect,
        those of :attr:`p_values` (a pandas Series by fixed-effect name)."""
        return self._series(self._t_tests()[0], "df")

    def coef_table(self, ddf: str = "satterthwaite") -> "pd.DataFrame":
        """The fixed-effects table.

        Parameters
        ----------
        ddf : {"satterthwaite", "kenward-roger", "normal"}
            Satterthwaite's t tests (Estimate, Std. Error, df, t value,
            Pr(>|t|)); Kenward and Roger's (their adjusted Std. Error and
            df; REML fits only); or the normal approximation (z value,
            Pr(>|z|)).

        Returns
        -------
        pandas.DataFrame
            One row per fixed effect.

        Examples
        --------
        >>> import corvane
        >>> from corvane._example import example_frame
        >>> r = corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame())
        >>> r.coef_table()["df"].round(1).tolist()
        [17.0, 17.0]
        """
        from ..inference import ddf as tests

        return tests.coef_table(self, ddf)

    def contrast_test(self, L: Any, rhs: Any = None, ddf: str = "satterthwaite") -> "pd.DataFrame":
        """The F test of H0: L beta = rhs with Satterthwaite's denominator df.

        As lmerTest's ``contest``: the F statistic of the estimable directions of
        L (its rank is NumDF), DenDF from the t tests along them. With
        ``ddf="kenward-roger"``, pbkrtest's test: the Wald statistic on Kenward
        and Roger's adjusted covariance, scaled, with their DenDF (Mean Sq
        is the unscaled statistic's, as lmerTest shows it); "normal" gives
        the chi-squared test (DenDF infinite).

        Parameters
        ----------
        L : array_like or pandas DataFrame / Series
            A contrast vector or a k x p matrix; a DataFrame or Series may name
            its columns by fixed effect (others are 0).
        rhs : array_like, optional
            The hypothesised values (default 0).
        ddf : {"satterthwaite", "kenward-roger", "normal"}
            The denominator df's method.

        Returns
        -------
        pandas.DataFrame
            One row: Sum Sq, Mean Sq, NumDF, DenDF, F value, Pr(>F).

        Raises
        ------
        ValueError
            For a matrix of the wrong width, non-finite entries, unknown names,
            or no estimable direction.

        Examples
        --------
        >>> import corvane
        >>> from corvane._example import example_frame
        >>> r = corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame())
        >>> r.contrast_test([0, 1])[["NumDF", "DenDF"]].round(1).values.tolist()
        [[1.0, 17.0]]
        """
        from ..inference import ddf as tests

        return tests.contrast_test(self, L, rhs, ddf)

    def anova(self, type: int = 3, ddf: str = "satterthwaite") -> "pd.DataFrame":
        """Type III F tests of the fixed-effect terms with Satterthwaite's df.

        The hypotheses are lmerTest's: each term's columns made orthogonal to
        those of the terms containing it (an interaction contains its main
        effects; a term with a covariate is contained only in terms with the
        same covariates), with every term in full dummy coding. They depend
        neither on the order of the terms nor on the coding of the factors
        (``C(x, Sum)``), nor, for formulas where a factor's margin is missing
        (``y ~ A + A:B``), on the reference level, where lmerTest's do.
        With an empty cell the hypotheses follow the data's rows.

        Parameters
        ----------
        type : int
            3 (the only type available).
        ddf : {"satterthwaite", "kenward-roger", "normal"}
            Satterthwaite's denominator df, Kenward and Roger's (their
            scaled F on the adjusted covariance; REML fits only), or the
            normal approximation (chi-squared tests, DenDF infinite).

        Returns
        -------
        pandas.DataFrame
            One row per formula term (the intercept left out): Sum Sq, Mean
            Sq, NumDF, DenDF, F value, Pr(>F), as lmerTest's ``anova``.

        Raises
        ------
        ValueError
            For a rank-deficient design with terms contained in others fitted
            from data read in batches (its rows are not kept).
        NotImplementedError
            When a factor is computed by an expression other than a column or
            ``C(column, ...)``; test the hypotheses with :meth:`contrast_test`.

        Examples
        --------
        >>> import corvane
        >>> from corvane._example import example_frame
        >>> r = corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame())
        >>> r.anova().index.tolist()
        ['Days']
        """
        from ..inference import anova

        if type != 3:
            raise ValueError("only type III tests are available (type=3)")
        return anova.anova_type3(self, ddf)

    def emmeans(self, specs, by=None, at=None, ddf="satterthwaite", level=0.95):
        """Estimated marginal means (emmeans' EMMs of an lmer fit).

        Parameters
        ----------
        specs : str or list of str
            The factors (or grid covariates) whose level combinations get a
            mean, the first varying fastest; or emmeans' one-sided formula,
            ``"~ a + b"`` or ``"~ a | b"`` (b then gives by).
        by : str or list of str, optional
            Variables to condition on: one mean per combination of specs
            within each combination of these.
        at : dict, optional
            {variable: value or list of values} in the reference grid: a
            covariate's values instead of its mean, or a subset of a
            factor's levels.
        ddf : {"satterthwaite", "kenward-roger", "normal"}
            The df and covariance of the t intervals ("normal": infinite df).
        level : float
            The confidence level of the intervals.

        Returns
        -------
        pandas.DataFrame
            One row per combination: the specs and by columns, emmean, SE,
            df, lower.CL, upper.CL (NaN for a mean that is not estimable).

        Raises
        ------
        ValueError
            For names that are no variables of the fixed part, an unknown
            ddf, a level outside (0, 1), a covariate whose mean the model
            cannot give (pass ``at``), a model given as matrices.

        Notes
        -----
        The reference grid holds every combination of the factors' levels and
        each covariate at its mean over the fitted rows; each mean averages
        the grid over the other variables with equal weights, and includes
        the formula's offsets. A transformed covariate is held at the mean
        of the variable and transformed there (``log(z)`` at log(mean z)),
        as emmeans does: its mean comes from a column of the variable itself,
        a stateful transform's state, or inverting log/exp/sqrt columns; for
        a model read in batches only from a column of the variable (else
        pass ``at``).

        Examples
        --------
        >>> import corvane
        >>> from corvane._example import example_frame
        >>> df = example_frame()
        >>> df["half"] = (df["Days"] >= 5).map({True: "late", False: "early"})
        >>> r = corvane.lmm("Reaction ~ Days * half + (1 | Subject)", df)
        >>> r.emmeans("half").round(1)
            half  emmean   SE    df  lower.CL  upper.CL
        0  early   306.9  9.1  49.4     288.7     325.2
        1   late   308.6  9.1  49.4     290.4     326.8
        """
        from ..inference import emmeans

        return emmeans.emmeans(self, specs, by, at, ddf, level)

    def pairwise(self, specs, by=None, adjust="tukey", ddf="satterthwaite", at=None):
        """Pairwise comparisons of marginal means (emmeans' ``pairs``).

        Parameters
        ----------
        specs, by, at, ddf
            As for :meth:`emmeans`.
        adjust : {"tukey", "bonferroni", "holm", "none"}
            The p value adjustment, over the comparisons within each ``by``
            group: Tukey's studentised range for the number of means, or
            Bonferroni's and Holm's for the number of comparisons.

        Returns
        -------
        pandas.DataFrame
            One row per pair "A - B" (each mean against every later one, in
            emmeans' order and labels): contrast, the by columns, estimate,
            SE, df, t.ratio, p.value (NaN where the difference is not
            estimable).

        Raises
        ------
        ValueError
            As for :meth:`emmeans`, and for an unknown adjust.

        Examples
        --------
        >>> import corvane
        >>> from corvane._example import example_frame
        >>> df = example_frame()
        >>> df["half"] = (df["Days"] >= 5).map({True: "late", False: "early"})
        >>> r = corvane.lmm("Reaction ~ Days * half + (1 | Subject)", df)
        >>> r.pairwise("half").round(2)
               contrast  estimate    SE     df  t.ratio  p.value
        0  early - late     -1.64  8.98  159.0    -0.18     0.86
        """
        from ..inference import emmeans

        return emmeans.pairwise(self, specs, by, adjust, ddf, at)

    def ranova(self) -> "pd.DataFrame":
        """Likelihood-ratio tests of the random-effect terms, as lmerTest's
        ``ranova(fit)``.

        Each random-effect term is reduced in turn: ``(1 + x + z | g)`` loses
        each of its terms that no other term of it contains (rows
        "x in (1 + x + z | g)" and "z in (1 + x + z | g)"); a term with one
        such term is reduced to ``(1 | g)``; ``(1 | g)`` is removed, and a
        model left without random effects is the linear model of the fixed
        part. Uncorrelated terms (``(x || g)``, several terms of one group)
        are reduced one by one as lmerTest reduces them: a term's last slope
        becomes ``(1 | g)``, merged with another term's ``(1 | g)`` (one
        parameter fewer) or kept beside an intercept with slopes (the same
        likelihood, the parameter counted: Df 0). The reduced models are
        refitted on the fit's rows by its criterion: REML fits are compared
        on the REML likelihood (that of the linear model as R's
        ``logLik(lm, REML = TRUE)``), ML fits on the likelihood.

        Returns
        -------
        pandas.DataFrame
            Rows "<none>" (the fit) and one per reduction; columns npar,
            logLik, AIC, LRT, Df, Pr(>Chisq).

        Raises
        ------
        ValueError
            For a model fitted from data read in batches (the refits need its
            rows).

        Warns
        -----
        ConvergenceWarning
            When a reduced model's optimum is not certified.

        Examples
        --------
        >>> import corvane
        >>> from corvane._example import example_frame
        >>> r = corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame())
        >>> r.ranova().index.tolist()
        ['<none>', 'Days in (Days | Subject)']
        >>> round(float(r.ranova().loc["Days in (Days | Subject)", "LRT"]), 2)
        46.9
        """
        from ..inference import reduction

        return reduction.ranova(self)

    def drop1(self, test: str = "F", ddf: str = "satterthwaite") -> "pd.DataFrame":
        """Tests of the fixed-effect terms that can be dropped, respecting
        marginality (those contained in no other term: ``x:f`` but neither
        ``x`` nor ``f`` of ``x * f``).

        Parameters
        ----------
        test : {"F", "Chisq"}
            "F": lmerTest's ``drop1(fit)``, the F test of each term's
            coefficients with the denominator df of ``ddf`` (for these terms
            the type III tests of :meth:`anova`). "Chisq": lme4's
            ``drop1(fit, test = "Chisq")``, likelihood-ratio tests of the
            maximum-likelihood fits with and without each term.
        ddf : {"satterthwaite", "kenward-roger", "normal"}
            The F tests' denominator df (not used by "Chisq").

        Returns
        -------
        pandas.DataFrame
            "F": one row per term, columns Sum Sq, Mean Sq, NumDF, DenDF,
            F value, Pr(>F). "Chisq": rows "<none>" and one per term, columns
            npar (the parameters the term removes), AIC, LRT, Pr(Chi).

        Raises
        ------
        ValueError
            For another ``test`` or ``ddf``; for "Chisq" on a model fitted
            from data read in batches (the refits need its rows).

        Examples
        --------
        >>> import corvane
        >>> from corvane._example import example_frame
        >>> r = corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame())
        >>> r.drop1()[["NumDF", "DenDF"]].round(1).values.tolist()
        [[1.0, 17.0]]
        >>> r.drop1(test="Chisq").columns.tolist()
        ['npar', 'AIC', 'LRT', 'Pr(Chi)']
        """
        from ..inference import reduction

        return reduction.drop1(self, test, ddf)

    def r2(self, tolerance: float = 1e-5) -> "pd.Series":
        """The marginal and conditional R² of Nakagawa and Schielzeth, as R's
        ``performance::r2_nakagawa`` (see :func:`corvane.inference.r2.r2_nakagawa`).

        Parameters
        ----------
        tolerance : float
            A fit with a diagonal entry of theta below this is singular: the
            random effects' variance is then left out (conditional NaN), as
            performance does.

        Returns
        -------
        pandas.Series
            "marginal" and "conditional".

        Examples
        --------
        >>> import corvane
        >>> from corvane._example import example_frame
        >>> r = corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame())
        >>> r.r2().round(3).tolist()
        [0.406, 0.79]
        """
        from ..inference.r2 import r2_nakagawa

        return r2_nakagawa(self, tolerance)
