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


def _new_figure(width, height):
    """A figure outside pyplot's list of figures."""
    figure = require("matplotlib.figure", purpose="plots")
    return figure.Figure(figsize=(width, height))


def _panels(result, axes: Sequence[Any] | None, width: float = 3.2, height: float = 4.0):
    """(figure, one axes per random effect)."""
    q = len(result.re_names)
    if axes is not None:
        axes = list(np.ravel(axes)) if not hasattr(axes, "plot") else [axes]
        if len(axes) != q:
            raise ValueError(f"axes must hold {q} axes (one per random effect), got {len(axes)}")
        return axes[0].figure, axes
    fig = _new_figure(width * q, height)
    made = fig.subplots(1, q, squeeze=False, sharey=True)
    return fig, list(made[0])


def _single(ax, width, height):
    """(figure, axes): the given axes and its figure, or a new figure."""
    if ax is not None:
        return ax.figure, ax
    fig = _new_figure(width, height)
    return fig, fig.subplots()


def plot_ranef(result, level: float = 0.95, axes: Sequence[Any] | None = None,
               max_labels: int = 60):
    """A caterpillar plot: each group's conditional mode with the interval
    mode +- z * conditional sd, one panel per random effect, groups ordered
    by their mode of the first random effect (as lme4's
    ``dotplot(ranef(fit, condVar = TRUE))``). Group labels are shown when
    there are at most ``max_labels`` groups.

    Examples
    --------
    >>> import matplotlib; matplotlib.use("Agg")
    >>> import corvane
    >>> from corvane._example import example_frame
    >>> fig = corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame()).plot_ranef()
    >>> len(fig.axes)
    2
    """

    table = result.ranef(condvar=True)
    z = level_quantile(level)
    order = np.argsort(table[result.re_names[0]].to_numpy(), kind="stable")
    table = table.iloc[order]
    fig, axes = _panels(result, axes)
    pos = np.arange(len(table))
    for ax, name in zip(axes, result.re_names):
        mode = table[name].to_numpy()
        half = z * table[f"condsd({name})"].to_numpy()
        ax.errorbar(mode, pos, xerr=half, fmt="o", markersize=3, color="C0", ecolor="0.55", elinewidth=1)
        ax.axvline(0.0, color="0.3", linewidth=0.8, linestyle="--")
        ax.set_title(name)
        ax.set_xlabel("conditional mode")
    if len(table) <= max_labels:
        axes[0].set_yticks(pos)
        axes[0].set_yticklabels([str(g) for g in table.index])
    axes[0].set_ylabel(result.group_name)
    fig.suptitle(f"Random effects of {result.group_name} ({level:.0%} intervals)")
    fig.tight_layout()
    return fig


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
    fig, axes = _panels(result, axes, height=3.2)
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
