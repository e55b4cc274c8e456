"""Pictures of a fit (matplotlib, imported here only): the conditional modes
with their intervals, their normal QQ plots, residuals against fitted
values, and the shrinkage of per-group estimates.

Every function takes a result and returns the matplotlib Figure; where one
axes suffices it takes ``ax=``, and where there is one panel per random
effect it takes ``axes=`` (a sequence, one per random effect). Without
axes the figure is a ``matplotlib.figure.Figure`` that pyplot does not
track: returned as a notebook cell's last value it is shown once (a pyplot
figure would be shown by the inline backend and again as the value), and
no figures accumulate in pyplot's list. ``fig.savefig`` renders it; with
axes the user passed, their figure is drawn on and returned.
"""

from __future__ import annotations

from typing import Any, Sequence

import numpy as np

from .._errors import require
from .._dist import level_quantile, normal_quantile

__all__ = ["plot_ranef", "plot_qq", "plot_residuals", "plot_shrinkage"]


def _new_figure(width, height, layout=None):
    """A figure outside pyplot's list of figures."""
    figure = require("matplotlib.figure", purpose="plots")
    return figure.Figure(figsize=(width, height), layout=layout)


def _panels(result, axes: Sequence[Any] | None, width: float, height: float, layout=None):
    """(figure, one axes per random effect, whether the figure is new); a
    new figure is width x height inches."""
    q = len(result.re_names)
    if axes is not None:
        axes = list(np.ravel(axes)) if not hasattr(axes, "plot") else [axes]
        if len(axes) != q:
            raise ValueError(f"axes must hold {q} axes (one per random effect), got {len(axes)}")
        return axes[0].figure, axes, False
    fig = _new_figure(width, height, layout)
    made = fig.subplots(1, q, squeeze=False, sharey=True)
    return fig, list(made[0]), True


def _single(ax, width, height):
    """(figure, axes): the given axes and its figure, or a new figure."""
    if ax is not None:
        return ax.figure, ax
    fig = _new_figure(width, height)
    return fig, fig.subplots()


# The caterpillar plot's sizes. A row of the plot is 1.35 times its label's
# font size (ascent, descent and a gap) and labels are set between 6 and 9
# points. A new figure's panels grow by 0.17 in per labelled group up to
# 11 in, further if that leaves labels under 6 points (so that max_labels
# groups are always labelled), or by 0.06 in per unlabelled group up to 9 in;
# the margins (titles, x tick labels, x label, the note) come on top.
_LABEL_PT = (6.0, 9.0)
_ROW_OVER_FONT = 1.35
_ROW_IN = {True: 0.17, False: 0.06}
_PANEL_IN = {True: (2.0, 11.0), False: (4.0, 9.0)}
_MARGINS_IN = 1.5
_LABEL_CHARS = 30  # longer group labels are shortened, so that one cannot squeeze the panels


def plot_ranef(result, level: float = 0.95, axes: Sequence[Any] | None = None,
               max_labels: int = 100):
    """A caterpillar plot: each group's conditional mode with the interval
    mode +- z * conditional sd, one panel per random effect, every group
    drawn, ordered by its mode of the first random effect (as lme4's
    ``dotplot(ranef(fit, condVar = TRUE))``).

    A new figure grows with the number of groups up to a cap. Groups are
    labelled when there are at most ``max_labels`` of them and their labels
    fit the panel's height at 6 points or more; otherwise the axis says the
    groups are sorted and a note under the panels says how many groups are
    drawn and why their labels are omitted.

    Examples
    --------
    >>> import matplotlib; matplotlib.use("Agg")
    >>> import corvane
    >>> from corvane._example import example_frame
    >>> fig = corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame()).plot_ranef()
    >>> len(fig.axes)
    2
    """
    from matplotlib import rcParams
    from matplotlib.font_manager import FontProperties
    from matplotlib.textpath import TextPath

    table = result.ranef(condvar=True)
    z = level_quantile(level)
    first = result.re_names[0]
    table = table.iloc[np.argsort(table[first].to_numpy(), kind="stable")]
    m, q = len(table), len(result.re_names)
    labels = [_cut(str(g)) for g in table.index]
    wanted = m <= max_labels
    panel = float(np.clip(m * _ROW_IN[wanted], *_PANEL_IN[wanted]))
    if wanted:  # 5% above the smallest font's need: the layout's margins are estimated
        panel = max(panel, 1.05 * m * _LABEL_PT[0] * _ROW_OVER_FONT / 72)
    font = min(_LABEL_PT[1], panel * 72 / m / _ROW_OVER_FONT)
    title = f"Random effects of {result.group_name} ({level:.0%} intervals)"
    title_in = TextPath((0, 0), title, prop=FontProperties(size=rcParams["figure.titlesize"])).get_extents().width
    title_in /= 72
    label_in = max(map(len, labels)) * 0.6 * font / 72 if wanted else 0.0
    fig, axes, new = _panels(result, axes, width=max(0.9 + label_in + 2.9 * q, title_in + 0.5),
                             height=panel + _MARGINS_IN + (0 if wanted else 0.25), layout="constrained")
    if not new:  # the user's axes: their height sets the rows
        box = axes[0].get_position()
        panel = box.height * fig.get_figheight()
    row = panel * 72 / m  # points per group
    pos = np.arange(m)
    for ax, name in zip(axes, result.re_names):
        ax.errorbar(table[name].to_numpy(), pos, xerr=z * table[f"condsd({name})"].to_numpy(), fmt="o",
                    markersize=float(np.clip(0.5 * row, 1.0, 4.0)), color="C0", ecolor="0.55",
                    elinewidth=float(np.clip(0.35 * row, 0.4, 1.0)))
        ax.axvline(0.0, color="0.3", linewidth=0.8, linestyle="--")
        ax.set_ylim(-0.5, m - 0.5)
        ax.set_title(name)
        ax.set_xlabel("conditional mode")
    fig.suptitle(title, wrap=True)
    for ax in axes[1:]:  # the same rows as the first panel's (the user's axes may not share y)
        ax.set_yticks(pos)
        ax.tick_params(axis="y", labelleft=False)
    if wanted and _label_rows(fig, axes[0], pos, labels, font):
        axes[0].set_ylabel(result.group_name)
    else:
        for ax in axes:
            ax.set_yticks([])
        axes[0].set_ylabel(f"{result.group_name}, sorted by {first}")
        why = f"more than max_labels={max_labels}" if not wanted else "no room"
        fig.supxlabel(f"{m} groups; labels omitted ({why})", fontsize="small", wrap=True)
    if fig.get_layout_engine() is None:
        fig.tight_layout()
    return fig


def _label_rows(fig, ax, pos, labels, font):
    """Labels the rows at the largest font size up to `font` that their
    measured height leaves room for, after the figure's layout; False (and
    no labels) when that is under the smallest size."""
    ax.set_yticks(pos, labels, fontsize=font)
    _settle(fig)
    row = ax.get_window_extent().height * 72 / fig.dpi / len(pos)
    font = min(font, row / _ROW_OVER_FONT)
    if font < _LABEL_PT[0]:
        ax.set_yticks([])
        return False
    ax.tick_params(axis="y", labelsize=font)
    return True


def _settle(fig):
    """Lays the figure out: its layout engine's pass, or, on a figure the
    user made without one, tight_layout."""
    if fig.get_layout_engine() is None:
        fig.tight_layout()
    else:
        fig.draw_without_rendering()


def _cut(label):
    """The label, or its two ends around an ellipsis when longer than
    _LABEL_CHARS (identifiers often differ only at the end)."""
    if len(label) <= _LABEL_CHARS:
        return label
    head = (_LABEL_CHARS - 1) // 2
    return label[:head] + "\u2026" + label[len(label) - (_LABEL_CHARS - 1 - head):]


def plot_qq(result, axes: Sequence[Any] | None = None):
    """Normal QQ plots of the conditional modes, one panel per random effect:
    sorted modes against the normal quantiles at (i - 1/2) / m, with the
    line of slope sd and intercept 0 of the estimated random-effect
    distribution.

    Examples
    --------
    >>> import matplotlib; matplotlib.use("Agg")
    >>> import corvane
    >>> from corvane._example import example_frame
    >>> r = corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame())
    >>> len(r.plot_qq().axes[0].lines[0].get_xdata()) == r.n_groups
    True
    """

    table = result.ranef()
    m = len(table)
    theo = np.array([normal_quantile((i + 0.5) / m) for i in range(m)])
    fig, axes, _ = _panels(result, axes, width=3.2 * len(result.re_names), height=3.2)
    for k, (ax, name) in enumerate(zip(axes, result.re_names)):
        ax.plot(theo, np.sort(table[name].to_numpy()), "o", markersize=3, color="C0")
        ax.plot(theo, theo * result.re_std[k], color="0.4", linewidth=0.8)
        ax.set_title(name)
        ax.set_xlabel("normal quantiles")
    axes[0].set_ylabel("conditional modes")
    fig.tight_layout()
    return fig


def plot_residuals(result, ax: Any | None = None):
    """Residuals against fitted values, with the zero line.

    Examples
    --------
    >>> import matplotlib; matplotlib.use("Agg")
    >>> import corvane
    >>> from corvane._example import example_frame
    >>> r = corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame())
    >>> ax = r.plot_residuals().axes[0]
    >>> ax.get_xlabel(), ax.get_ylabel()
    ('fitted values', 'residuals')
    """
    fitted = np.asarray(result.fittedvalues, dtype=np.float64)
    resid = np.asarray(result.resid, dtype=np.float64)
    keep = np.isfinite(fitted) & np.isfinite(resid)
    fig, ax = _single(ax, 5.0, 3.6)
    ax.scatter(fitted[keep], resid[keep], s=8, color="C0", alpha=0.7)
    ax.axhline(0.0, color="0.3", linewidth=0.8)
    ax.set_xlabel("fitted values")
    ax.set_ylabel("residuals")
    ax.set_title(f"Residuals of {result.response_name}")
    fig.tight_layout()
    return fig


def least_squares_effects(result) -> np.ndarray:
    """Per group, the least-squares fit of the rows' residuals from the fixed
    part on their random-effects columns (m x q; NaN where a group's Z_i'Z_i
    is singular): the estimates the conditional modes shrink."""
    model = result.model
    model._require_rows("the shrinkage plot")
    r = model.y_fit - model.X @ np.asarray(result.beta)
    w = np.ones(model.n) if model.weights is None else model.weights
    q, m = model.q, model.m
    ztz = np.zeros((m, q, q))
    ztr = np.zeros((m, q))
    np.add.at(ztz, model.codes, (w[:, None, None] * model.Z[:, :, None]) * model.Z[:, None, :])
    np.add.at(ztr, model.codes, model.Z * (w * r)[:, None])
    out = np.full((m, q), np.nan)
    for g in range(m):
        if np.linalg.matrix_rank(ztz[g]) == q:
            out[g] = np.linalg.solve(ztz[g], ztr[g])
    return out


def plot_shrinkage(result, ax: Any | None = None):
    """Shrinkage: per-group estimates without the prior (a linear model's
    least-squares fit of the residuals from the fixed part on the
    random-effects columns; a generalized model's maximum-likelihood fit of
    the group's rows with the fixed part as an offset) against the
    conditional modes. With one random effect, one point per group against the identity
    line; with several, the first two as a plane, an arrow from each group's
    own estimate to its conditional mode. Groups whose Z_i'Z_i is
    singular (or, generalized, whose rows all sit at a boundary of the
    response) have no such estimate and are left out.

    Examples
    --------
    >>> import matplotlib; matplotlib.use("Agg")
    >>> import corvane
    >>> from corvane._example import example_frame
    >>> r = corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame())
    >>> r.plot_shrinkage().axes[0].get_xlabel()
    '(Intercept)'
    """
    ls, what = result._unpooled_effects()
    modes = np.asarray(result.ranef().to_numpy(), dtype=np.float64)
    ok = np.all(np.isfinite(ls), axis=1)
    fig, ax = _single(ax, 4.6, 4.2)
    names = result.re_names
    if len(names) == 1:
        ax.scatter(ls[ok, 0], modes[ok, 0], s=12, color="C0")
        lo = float(np.nanmin(np.concatenate([ls[ok, 0], modes[ok, 0]]))) if ok.any() else -1.0
        hi = float(np.nanmax(np.concatenate([ls[ok, 0], modes[ok, 0]]))) if ok.any() else 1.0
        ax.plot([lo, hi], [lo, hi], color="0.4", linewidth=0.8)
        ax.set_xlabel(f"{what} {names[0]}")
        ax.set_ylabel(f"conditional mode of {names[0]}")
    else:
        ax.scatter(ls[ok, 0], ls[ok, 1], s=12, color="0.6", label=what)
        ax.scatter(modes[ok, 0], modes[ok, 1], s=12, color="C0", label="conditional mode")
        for a, b in zip(ls[ok], modes[ok]):
            ax.annotate("", xy=(b[0], b[1]), xytext=(a[0], a[1]),
                        arrowprops=dict(arrowstyle="->", color="0.5", linewidth=0.6))
        ax.set_xlabel(names[0])
        ax.set_ylabel(names[1])
        ax.legend(loc="best", fontsize="small")
    ax.set_title(f"Shrinkage in {result.group_name}")
    fig.tight_layout()
    return fig
