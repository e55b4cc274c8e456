"""The printed summary, in the manner of lme4's, and its number formatting."""

from __future__ import annotations

import math

from ._corvane import __version__

__all__ = ["text", "html", "boundary_note", "Summary"]


class Summary(str):
    """The printed summary: a string whose repr is the table itself."""

    def __repr__(self):
        return str(self)


def boundary_note(res):
    names = ", ".join(res.boundary)
    return (f"boundary (singular) fit: the random-effects covariance of {res.group_name} is singular "
            f"along {names} (a zero variance, or a correlation of +-1 with the earlier terms)")


def _fixed_rows(res, ddf):
    """(header, rows of cells, note) of the fixed-effects table."""
    est = _fmt_column(res.beta, 5)
    se = _fmt_column(res.std_errors, 4)
    tv = [_fmt_fixed(t, 2) for t in res.t_values]
    if ddf == "satterthwaite" and res.converged is not False:
        try:
            from . import inference

            table = inference.coef_table(res, "satterthwaite")
        except ImportError as exc:
            note = f"(p values by the normal approximation: {exc})"
        else:
            df = [_fmt_df(v) for v in table["df"]]
            pv = [_fmt_pvalue(p) for p in table["Pr(>|t|)"]]
            return (["", "Estimate", "Std. Error", "df", "t value", "Pr(>|t|)"],
                    [list(r) for r in zip(res.fe_names, est, se, df, tv, pv)], None)
    else:
        note = None
    pv = [_fmt_pvalue(p) for p in res.p_values]
    return (["", "Estimate", "Std. Error", "t value", "Pr(>|z|)"],
            [list(r) for r in zip(res.fe_names, est, se, tv, pv)], note)


def _fmt_df(v):
    return "Inf" if not math.isfinite(v) else f"{v:.2f}" if v < 1e4 else f"{v:.4g}"


def text(res, ddf="satterthwaite"):
    lines = [f"Linear mixed model fit by {'REML' if res.reml else 'maximum likelihood'} (corvane {__version__})"]
    if res.formula is not None:
        lines.append(f"Formula: {res.formula}")
    lines.append("")
    label = "REML criterion" if res.reml else "deviance"
    if res.converged:
        lines.append(f"{label} at convergence: {_fmt_sig(res.criterion, 7)}")
    elif res.converged is None:
        lines.append(f"{label} at the given theta: {_fmt_sig(res.criterion, 7)}")
    else:
        lines.append(f"{label} (NOT converged): {_fmt_sig(res.criterion, 7)}")
    lines.append("")
    head = ["AIC", "BIC", "logLik", "deviance" if not res.reml else None, "df.resid"]
    head = [h for h in head if h]
    vals = [res.aic, res.bic, res.loglik] + ([] if res.reml else [res.criterion])
    cells = _fmt_column(vals, 5) + [str(res.n_obs - res.n_params)]
    widths = [max(len(h), len(c)) for h, c in zip(head, cells)]
    lines.append(" ".join(h.rjust(w) for h, w in zip(head, widths)))
    lines.append(" ".join(c.rjust(w) for c, w in zip(cells, widths)))
    lines.append("")

    lines.append("Random effects:")
    q = len(res.re_names)
    rows = []
    for j, name in enumerate(res.re_names):
        corr = [_fmt_fixed(res.re_corr[j, k], 2) for k in range(j)]
        rows.append([res.group_name if j == 0 else "", name, res.re_variances[j], res.re_std[j], corr])
    rows.append(["Residual", "", res.sigma2, res.sigma, []])
    var_col = _fmt_column([r[2] for r in rows], 5)
    sd_col = _fmt_column([r[3] for r in rows], 5)
    table = [["Groups", "Name", "Variance", "Std.Dev."] + (["Corr"] if q > 1 else [])]
    for r, v, sd in zip(rows, var_col, sd_col):
        table.append([r[0], r[1], v, sd] + ([" ".join(c.rjust(5) for c in r[4])] if q > 1 else []))
    lines += _layout(table, right=[False, False, True, True, False], indent=" ")
    lines.append(f"Number of obs: {res.n_obs}, groups:  {res.group_name}, {res.n_groups}")
    if res.n_dropped:
        lines.append(f"({res.n_dropped} observation{'s' if res.n_dropped != 1 else ''} deleted due to missingness)")
    lines.append("")

    lines.append("Fixed effects:")
    header, body, note = _fixed_rows(res, ddf)
    lines += _layout([header] + body, right=[False] + [True] * (len(header) - 1))
    if note:
        lines.append(note)
    if res.dropped_columns:
        lines.append(f"fixed-effect model matrix is rank deficient so dropping {len(res.dropped_columns)} "
                     f"column{'s' if len(res.dropped_columns) > 1 else ''}: {', '.join(res.dropped_columns)}")
    lines.append("")
    if res.converged is None:
        lines.append(f"Optimizer: not run ({res.message})")
    else:
        state = "converged" if res.converged else "NOT converged"
        lines.append(f"Optimizer: {state} ({res.message}; {res.iterations} iterations, "
                     f"{res.evaluations} evaluations)")
        lines.append(f"  largest free gradient entry {res.gradient_norm:.2g}, smallest free Hessian "
                     f"eigenvalue {res.min_hessian_eigenvalue:.4g}")
    if res.boundary:
        lines.append(boundary_note(res))
    return Summary("\n".join(lines))


def _fmt_sig(x, digits):
    if not math.isfinite(x):
        return str(x)
    return f"{x:.{digits}g}" if abs(x) >= 1e-4 or x == 0 else f"{x:.{digits - 1}e}"


def _fmt_fixed(x, decimals):
    return f"{x:.{decimals}f}" if math.isfinite(x) else ("NaN" if math.isnan(x) else str(x))


def _fmt_column(values, digits):
    """A column with common decimals, enough for `digits` significant digits in
    its smallest nonzero entry, or in scientific notation when that is narrower."""
    finite = [abs(v) for v in values if math.isfinite(v) and v != 0]
    if not finite:
        return [_fmt_fixed(v, 0) for v in values]
    decimals = min(max(0, digits - 1 - math.floor(math.log10(min(finite)))), 15)
    fixed = [_fmt_fixed(v, decimals) for v in values]
    sci = [f"{v:.{digits - 1}e}" if math.isfinite(v) else _fmt_fixed(v, 0) for v in values]
    return fixed if max(map(len, fixed)) <= max(map(len, sci)) else sci


def _fmt_pvalue(p):
    if not math.isfinite(p):
        return "NaN"
    return "<2e-16" if p < 2.2e-16 else f"{p:.3g}"


def _layout(table, right, indent=""):
    widths = [max(len(str(row[k])) for row in table) for k in range(len(table[0]))]
    out = []
    for row in table:
        cells = [str(c).rjust(w) if r else str(c).ljust(w) for c, w, r in zip(row, widths, right)]
        out.append((indent + " ".join(cells)).rstrip())
    return out


def html(res):
    """The summary as HTML (for notebooks): the header, the variance
    components and the fixed effects as tables."""
    import html as _html

    esc = _html.escape
    method = "REML" if res.reml else "maximum likelihood"
    parts = [f"<div class='corvane-summary'><p><b>Linear mixed model fit by {method}</b> "
             f"(corvane {esc(__version__)})"]
    if res.formula is not None:
        parts.append(f"<br>Formula: <code>{esc(res.formula)}</code>")
    label = "REML criterion" if res.reml else "deviance"
    state = ("at convergence" if res.converged else "at the given theta" if res.converged is None
             else "(NOT converged)")
    parts.append(f"<br>{label} {state}: {_fmt_sig(res.criterion, 7)}; AIC {_fmt_sig(res.aic, 7)}, "
                 f"BIC {_fmt_sig(res.bic, 7)}, logLik {_fmt_sig(res.loglik, 7)}</p>")
    try:
        parts.append("<p>Random effects:</p>" + res.varcorr().to_html(float_format=lambda v: _fmt_sig(v, 5),
                                                                       na_rep=""))
        parts.append(f"<p>Number of obs: {res.n_obs}, groups: {esc(res.group_name)}, {res.n_groups}</p>")
        try:
            table = res.coef_table()
        except ImportError:
            table = res.coef_table("normal")
        parts.append("<p>Fixed effects:</p>" + table.to_html(float_format=lambda v: _fmt_sig(v, 5)))
    except ImportError:  # no pandas: the text summary, preformatted
        parts.append(f"<pre>{esc(str(text(res, 'normal')))}</pre>")
    if res.boundary:
        parts.append(f"<p><i>{esc(boundary_note(res))}</i></p>")
    parts.append(f"<p>Optimizer: {esc(res.message)}</p></div>")
    return "".join(parts)
