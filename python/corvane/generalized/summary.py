"""The printed summary of a generalized linear mixed model, laid out as
glmer's: the fit's method and family, AIC, BIC, logLik, deviance and
df.resid, the random effects, the fixed effects with Wald z tests, the
Pearson dispersion of a Poisson fit, and the optimizer's certificate. Drawn
as sections, like the linear model's summary, so text and HTML agree.
"""

from __future__ import annotations

from .._corvane import __version__
from ..results.summary import (Heading, Note, Table, dropped_columns_note, fmt_column, fmt_fixed, fmt_pvalue, fmt_sig,
                               optimizer_section, random_section)

__all__ = ["sections", "separation_note"]

_METHODS = {0: "Laplace approximation at the joint mode, nAGQ = 0", 1: "Laplace Approximation"}


def sections(res):
    """The summary's sections (see corvane.results.summary)."""
    method = _METHODS.get(res.nagq, f"Adaptive Gauss-Hermite Quadrature, nAGQ = {res.nagq}")
    head = [Heading(f"Generalized linear mixed model fit by maximum likelihood ({method}) (corvane {__version__})",
                    1),
            f" Family: {_family_label(res)}  ( {res.family.link} )"]
    if res.formula is not None:
        head.append(f"Formula: {res.formula}")
    out = [head]
    names = ["AIC", "BIC", "logLik", "deviance", "df.resid"]
    out.append([Table([names, [fmt_sig(v, 6) for v in (res.aic, res.bic, res.llf, res.deviance)]
                        + [str(res.df_resid)]], [True] * 5)])

    out.append(random_section(res, 4))

    est = fmt_column(list(res.beta), 5)
    se = fmt_column(list(res.std_errors), 4)
    zv = [fmt_fixed(z, 3) for z in res.z_values]
    pv = [fmt_pvalue(p) for p in res.p_values]
    fixed = Table([["", "Estimate", "Std. Error", "z value", "Pr(>|z|)"]]
                   + [list(r) for r in zip(res.fe_names, est, se, zv, pv)], [False] + [True] * 4)
    notes = ([Note(dropped_columns_note(res))] if res.dropped_columns else []) + \
        ([Note(separation_note(res))] if res.separated else [])
    out.append([Heading("Fixed effects:"), fixed] + notes)

    if res.family.name == "poisson":
        note = (f"Pearson chi-squared / df.resid = {res.pearson_chi2:.5g} / {res.df_resid} = "
                f"{res.dispersion:.4g}")
        out.append([Note(note + ": overdispersion") if res.dispersion > 1.5 else note])
    if res.phi is not None:
        se = res.phi_se_log
        if res.family.name == "negative_binomial1":
            text = (f"Dispersion parameter for nbinom1 family (variance phi mu): phi = {res.phi:.5g}"
                    + (f" (log(phi - 1): std. error {se:.4g})" if se is not None else ""))
        else:
            text = (f"Dispersion parameter for nbinom2 family (variance mu + mu^2 / phi): phi = {res.phi:.5g}"
                    + (f" (log phi: std. error {se:.4g})" if se is not None else ""))
        out.append([text] + ([Note(phi_bound_note(res))] if getattr(res, "phi_at_bound", False) else []))

    optimizer = optimizer_section(res)
    if res.hessian_error > 0:
        optimizer.append(f"  Hessian: exact Laplace parts plus differences of the quadrature's correction "
                         f"(estimated relative error {res.hessian_error:.1g})")
    out.append(optimizer)
    return out


def _family_label(res):
    """glmer's family line; the negative binomial as glmer.nb prints it, with phi."""
    if res.phi is not None:
        nb1 = res.family.name == "negative_binomial1"
        return f"Negative Binomial{' NB1' if nb1 else ''}({res.phi:.4g})"
    return res.family.name


def phi_bound_note(res):
    """The note of a negative binomial whose phi ran to the end of its range."""
    limit = "phi -> 1" if res.family.name == "negative_binomial1" else "phi -> inf"
    return (f"the negative binomial's phi reached {res.phi:.10g}, the end of its range: the counts show no "
            f"overdispersion beyond the random effects, and the Poisson model ({limit}) fits as well")


def separation_note(res):
    """The separation note (the SeparationWarning's text)."""
    k = len(res.separated)
    return (f"separation: {', '.join(res.separated)} ha{'ve' if k > 1 else 's'} no finite estimate (the rows "
            f"{'they' if k > 1 else 'it'} alone describe all sit at a boundary of the response, so the "
            f"likelihood rises without bound along {'them' if k > 1 else 'it'}); "
            f"{'their' if k > 1 else 'its'} standard error{'s are' if k > 1 else ' is'} reported as inf, "
            f"every other one stands")
