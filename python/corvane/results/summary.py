"""The printed summary, in the manner of lme4's, its HTML form for notebooks,
and its number formatting.

Both forms are drawn from one list of sections (lines and tables of
formatted cells), so that the text and the HTML show the same numbers, the
same optimizer status and the same notes: rows dropped for missing values,
dropped fixed-effect columns, a fit that is not certified, a singular fit.
The fixed effects' p values are Satterthwaite's t tests (the one definition
of ``result.p_values``), or the normal approximation when asked for by
``ddf="normal"`` and labelled Pr(>|z|).

The HTML carries its own small stylesheet, every selector under the
wrapper's class ``corvane-summary`` so that nothing reaches the host page.
Its colours are the host's (inherited text, rules and shades in
semi-transparent grey or amber), so one sheet reads on a white page and in
dark notebook themes alike, with no dark-mode switch to get wrong.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

from .._corvane import __version__
from ..design.rank import dropped_columns_note as rank_note
from .._dist import normal_two_sided

__all__ = ["sections", "random_section", "optimizer_section", "render_text", "render_html", "boundary_note",
           "convergence_note", "Summary"]


class Summary(str):
    """The printed summary: a string whose repr is the table itself."""

    def __repr__(self):
        return str(self)


def boundary_note(res):
    """The singular-fit note (the SingularFitWarning's text)."""
    names = ", ".join(res.boundary)
    return (f"boundary (singular) fit: the random-effects covariance of {res.group_name} is singular "
            f"along {names} (a zero variance, or a correlation of +-1 with the earlier terms)")


def convergence_note(res):
    """The note of a fit whose optimum is not certified (the
    ConvergenceWarning's text)."""
    return (f"the fit did not converge to a certified optimum: {res.message} (largest gradient entry "
            f"{res.gradient_norm:.3g}, smallest Hessian eigenvalue {res.min_hessian_eigenvalue:.3g})")


def dropped_rows_note(res):
    return f"({res.n_dropped} observation{'s' if res.n_dropped != 1 else ''} deleted due to missingness)"


def dropped_columns_note(res):
    return rank_note(res.dropped_columns)


@dataclass(frozen=True)
class Table:
    """Rows of formatted cells (the first row the header), which columns
    are right-aligned, and the text form's indent."""

    rows: list
    right: list
    indent: str = ""


@dataclass(frozen=True)
class Note:
    """A line that qualifies the fit (shown emphasised in HTML)."""

    text: str


@dataclass(frozen=True)
class Heading:
    """The summary's title (level 1) or a section's heading (level 2); the
    text form prints it as it is, the HTML as a heading without the colon."""

    text: str
    level: int = 2


def _fixed_table(res, ddf):
    """(table of the fixed effects, note or None)."""
    est = fmt_column(res.beta, 5)
    se = fmt_column(res.std_errors, 4)
    tv = [fmt_fixed(t, 2) for t in res.t_values]
    if ddf == "normal":

        pv = [fmt_pvalue(p) for p in normal_two_sided(res.t_values)]
        return Table([["", "Estimate", "Std. Error", "z value", "Pr(>|z|)"]]
                      + [list(r) for r in zip(res.fe_names, est, se, tv, pv)], [False] + [True] * 4), None
    if ddf == "kenward-roger":
        from ..inference.ddf import coef_table

        table = coef_table(res, ddf)
        rows = zip(res.fe_names, est, fmt_column(table["Std. Error"].to_numpy(), 4),
                   [fmt_df(v) for v in table["df"]], [fmt_fixed(t, 2) for t in table["t value"]],
                   [fmt_pvalue(v) for v in table["Pr(>|t|)"]])
        return (Table([["", "Estimate", "Std. Error", "df", "t value", "Pr(>|t|)"]] + [list(r) for r in rows],
                       [False] + [True] * 5), "(t tests by Kenward and Roger's adjusted std. errors and df)")
    try:
        df, p = res._t_tests()
    except ImportError as exc:  # no p value rather than one by another definition
        return (Table([["", "Estimate", "Std. Error", "t value"]]
                       + [list(r) for r in zip(res.fe_names, est, se, tv)], [False] + [True] * 3),
                f"(no df or Pr(>|t|): {exc}; summary(ddf='normal') gives the normal approximation)")
    return Table([["", "Estimate", "Std. Error", "df", "t value", "Pr(>|t|)"]]
                  + [list(r) for r in zip(res.fe_names, est, se, [fmt_df(v) for v in df], tv,
                                          [fmt_pvalue(v) for v in p])], [False] + [True] * 5), None


def random_section(res, digits):
    """The random effects' table (variances and standard deviations to
    `digits` significant digits, correlations within the layout's blocks
    only, the residual's row of a family that has one), the counts of rows
    and groups, and the note of rows dropped."""
    free = {(a, b) for a, b in res.model.theta_pairs if a != b}
    q = len(res.re_names) if free else 1
    rows = [[res.group_name if j == 0 else "", name, res.re_variances[j], res.re_std[j],
             [fmt_fixed(res.re_corr[j, k], 2) if (j, k) in free else "" for k in range(j)]]
            for j, name in enumerate(res.re_names)]
    rows += [[label, "", variance, sd, []] for label, variance, sd in res._residual_rows()]
    var_col = fmt_column([r[2] for r in rows], digits)
    sd_col = fmt_column([r[3] for r in rows], digits)
    table = [["Groups", "Name", "Variance", "Std.Dev."] + (["Corr"] if q > 1 else [])]
    for r, v, sd in zip(rows, var_col, sd_col):
        table.append([r[0], r[1], v, sd] + ([" ".join(c.rjust(5) for c in r[4])] if q > 1 else []))
    random = [Heading("Random effects:"), Table(table, [False, False, True, True, False], indent=" "),
              f"Number of obs: {res.n_obs}, groups:  {res.group_name}, {res.n_groups}"]
    if res.n_dropped:
        random.append(Note(dropped_rows_note(res)))
    return random


def sections(res, ddf):
    """The summary's content: a list of sections, each a list of lines (str,
    Heading, Note) and Tables; the text form puts a blank line between
    sections."""
    out = [[Heading(f"Linear mixed model fit by {'REML' if res.reml else 'maximum likelihood'} "
                    f"(corvane {__version__})", 1)]
           + ([f"Formula: {res.formula}"] if res.formula is not None else [])]
    label = "REML criterion" if res.reml else "deviance"
    if res.converged:
        out.append([f"{label} at convergence: {fmt_sig(res.criterion, 7)}"])
    elif res.converged is None:
        out.append([f"{label} at the given theta: {fmt_sig(res.criterion, 7)}"])
    else:
        out.append([Note(f"{label} (NOT converged): {fmt_sig(res.criterion, 7)}")])
    head = ["AIC", "BIC", "logLik"] + ([] if res.reml else ["deviance"]) + ["df.resid"]
    vals = [res.aic, res.bic, res.loglik] + ([] if res.reml else [res.criterion])
    out.append([Table([head, fmt_column(vals, 5) + [str(res.n_obs - res.n_params)]], [True] * len(head))])

    out.append(random_section(res, 5))

    fixed, note = _fixed_table(res, ddf)
    out.append([Heading("Fixed effects:"), fixed] + ([note] if note else [])
               + ([Note(dropped_columns_note(res))] if res.dropped_columns else []))

    out.append(optimizer_section(res))
    return out


def optimizer_section(res):
    """The certificate's lines: the optimizer's status, its figures, and the
    singular-fit note."""
    if res.converged is None:
        optimizer = [f"Optimizer: not run ({res.message})"]
    else:
        state = "converged" if res.converged else "NOT converged"
        first = (f"Optimizer: {state}, status {res.status} ({res.message}; {res.iterations} iterations, "
                 f"{res.evaluations} evaluations)")
        optimizer = [first if res.converged else Note(first),
                     f"  largest free gradient entry {res.gradient_norm:.2g}, smallest free Hessian "
                     f"eigenvalue {res.min_hessian_eigenvalue:.4g}"]
    if res.boundary:
        optimizer.append(Note(boundary_note(res)))
    return optimizer


def render_text(sections):
    """Sections (lists of lines, Heading, Note and Table) as text, a blank
    line between them."""
    lines = []
    for k, section in enumerate(sections):
        if k:
            lines.append("")
        for item in section:
            if isinstance(item, Table):
                lines += _layout(item.rows, item.right, item.indent)
            else:
                lines.append(item if isinstance(item, str) else item.text)
    return Summary("\n".join(lines))


# The summary's stylesheet. Every selector starts with .corvane-summary, and
# each is at least as specific as a notebook's own rules for bare tables
# (JupyterLab's ".jp-RenderedHTMLCommon td" centres tables, right-aligns
# every cell and sets 12px), so, coming later in the page, it wins. Colour is
# never set: text inherits the host's, rules are grey at half opacity and the
# notes' shade is a translucent amber, all of which read on light and dark
# backgrounds. Cells keep their spaces (white-space: pre) so that the Corr
# column's padded entries line up; alignment stays in each cell's style
# attribute, which outlives sanitizers that drop <style> elements.
STYLE = """
.corvane-summary { font-family: system-ui, -apple-system, "Segoe UI", Roboto, "Helvetica Neue", Arial,
  sans-serif; font-size: 13px; line-height: 1.4; font-variant-numeric: tabular-nums; color: inherit;
  background: transparent; margin: 0.2em 0 1.2em; }
.corvane-summary p { margin: 0.3em 0; }
.corvane-summary .corvane-h1 { font-weight: 600; font-size: 1.1em; margin: 0 0 0.2em; }
.corvane-summary .corvane-h2 { font-weight: 600; margin: 0.9em 0 0.25em; }
.corvane-summary table { border-collapse: collapse; border-spacing: 0; border: none; margin: 0.25em 0 0.4em;
  border-top: 1px solid rgba(128, 128, 128, 0.55); border-bottom: 1px solid rgba(128, 128, 128, 0.55);
  color: inherit; background: transparent; font-size: inherit; table-layout: auto; width: auto; }
.corvane-summary th, .corvane-summary td { padding: 0.2em 0.35em 0.2em 1.5em; border: none;
  white-space: pre; vertical-align: baseline; max-width: none; color: inherit; }
.corvane-summary th:first-child, .corvane-summary td:first-child { padding-left: 0.35em; }
.corvane-summary th { font-weight: 600; border-bottom: 1px solid rgba(128, 128, 128, 0.55); }
.corvane-summary .corvane-note { display: inline-block; font-weight: 600; padding: 0.1em 0.5em;
  border-left: 3px solid rgba(230, 150, 0, 0.85); background: rgba(230, 150, 0, 0.15); }
"""


def render_html(sections):
    """The same sections as HTML: one <div class="corvane-summary"> holding
    the stylesheet, headings, paragraphs of lines and tables, every text
    escaped."""
    from html import escape

    parts = ["<div class='corvane-summary'><style>", STYLE, "</style>"]
    for section in sections:
        lines = []

        def flush():
            if lines:
                parts.append("<p>" + "<br>".join(lines) + "</p>")
                lines.clear()

        for item in section:
            if isinstance(item, (Table, Heading)):
                flush()
                parts.append(_html_table(item, escape) if isinstance(item, Table) else
                             f"<div class='corvane-h{item.level}'>{escape(item.text.rstrip(':'))}</div>")
            elif isinstance(item, Note):
                lines.append(f"<span class='corvane-note'>{escape(item.text)}</span>")
            else:
                lines.append(escape(item.strip()))
        flush()
    parts.append("</div>")
    return "".join(parts)


def _html_table(table, escape):
    head, body = table.rows[0], table.rows[1:]

    def row(cells, tag):
        return "<tr>" + "".join(
            f"<{tag} style='text-align:{'right' if r else 'left'}'>{escape(str(c))}</{tag}>"
            for c, r in zip(cells, table.right)) + "</tr>"

    return ("<table><thead>" + row(head, "th") + "</thead><tbody>"
            + "".join(row(cells, "td") for cells in body) + "</tbody></table>")


def fmt_df(v):
    return "Inf" if not math.isfinite(v) else f"{v:.2f}" if v < 1e4 else f"{v:.4g}"


def fmt_sig(x, digits):
    if not math.isfinite(x):
        return str(x)
    return f"{x:.{digits}g}" if abs(x) >= 1e-4 or x == 0 else f"{x:.{digits - 1}e}"


def fmt_fixed(x, decimals):
    return f"{x:.{decimals}f}" if math.isfinite(x) else ("NaN" if math.isnan(x) else str(x))


def fmt_column(values, digits):
    """A column with common decimals, enough for `digits` significant digits in
    its smallest nonzero entry, or in scientific notation when that is narrower."""
    finite = [abs(v) for v in values if math.isfinite(v) and v != 0]
    if not finite:
        return [fmt_fixed(v, 0) for v in values]
    decimals = min(max(0, digits - 1 - math.floor(math.log10(min(finite)))), 15)
    fixed = [fmt_fixed(v, decimals) for v in values]
    sci = [f"{v:.{digits - 1}e}" if math.isfinite(v) else fmt_fixed(v, 0) for v in values]
    return fixed if max(map(len, fixed)) <= max(map(len, sci)) else sci


def fmt_pvalue(p):
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
