"""The caterpillar plot from 10 to 1000 groups, rendered with Agg: every
group drawn, every text inside the figure, group labels exactly when they
fit and then never overlapping, and a note when they are omitted."""

import warnings

import numpy as np
import pandas as pd
import pytest

import corvane

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.backends.backend_agg import FigureCanvasAgg  # noqa: E402

pytestmark = [pytest.mark.wheel]


def fit(family, m, q, group="school", n=3, seed=7):
    """A fit of m simulated groups, n rows each; q random effects."""
    rng = np.random.default_rng(seed)
    school = np.repeat([f"s{k:04d}" for k in range(m)], n)
    x = rng.normal(size=school.size)
    eta = 0.5 * x + rng.normal(0, 0.8, m).repeat(n) + (rng.normal(0, 0.4, m).repeat(n) * x if q > 1 else 0)
    df = pd.DataFrame({"x": x, group: school})
    random = f"(x | {group})" if q > 1 else f"(1 | {group})"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", corvane.SingularFitWarning)  # a few slopes' fits are; beside the point
        if family == "linear":
            df["y"] = eta + rng.normal(size=school.size)
            return corvane.lmm(f"y ~ x + {random}", df)
        df["y"] = rng.poisson(np.exp(1 + eta))
        return corvane.glmm(f"y ~ x + {random}", df, family="poisson")


def drawn(fig):
    """Draws the figure with Agg; returns a text's box in pixels."""
    canvas = fig.canvas if isinstance(fig.canvas, FigureCanvasAgg) else FigureCanvasAgg(fig)
    canvas.draw()
    return lambda text: text.get_window_extent(canvas.get_renderer())


def check_labels(fig, axes, box, labelled, why):
    """Row labels on the first panel exactly when labelled, not overlapping,
    none on the others; else the note saying why. Returns the labels."""
    ticks = [t for t in axes[0].get_yticklabels() if t.get_text()]
    assert not any(t.get_text() for ax in axes[1:] for t in ax.get_yticklabels())
    notes = [t.get_text() for t in fig.texts if "labels omitted" in t.get_text()]
    assert (ticks == [] and len(notes) == 1 and why in notes[0]) if not labelled else notes == []
    spans = sorted((box(t).y0, box(t).y1) for t in ticks)
    assert all(above[0] >= below[1] for below, above in zip(spans, spans[1:]))
    assert all(t.get_fontsize() >= 6 for t in ticks)
    return [t.get_text() for t in ticks]


LONG = "district_of_the_pupils_school"  # a title wider than one panel
CASES = [("linear", 10, 2, 100, True), ("linear", 10, 1, 5, False), ("linear", 100, 1, 100, True),
         ("linear", 118, 2, 100, False), ("linear", 1000, 1, 100, False), ("poisson", 118, 1, 100, False),
         ("poisson", 30, 2, 100, True)]


@pytest.mark.parametrize("family, m, q, max_labels, labelled", CASES)
def test_caterpillar_reads_at_any_number_of_groups(family, m, q, max_labels, labelled):
    r = fit(family, m, q, group=LONG if q == 1 and m <= 10 else "school")
    fig = r.plot_ranef(max_labels=max_labels)
    box, frame = drawn(fig), fig.bbox
    assert len(fig.axes) == q and fig.get_suptitle().startswith(f"Random effects of {r.group_name}")
    texts = list(fig.texts) + fig.axes[0].get_yticklabels()
    for text in texts + [t for ax in fig.axes for t in (ax.title, ax.xaxis.label, ax.yaxis.label)]:
        b = box(text)
        assert not text.get_text() or (frame.x0 <= b.x0 and b.x1 <= frame.x1 and frame.y0 <= b.y0
                                       and b.y1 <= frame.y1), text
    assert all(len(ax.lines[0].get_ydata()) == m for ax in fig.axes)  # every group drawn
    shown = check_labels(fig, fig.axes, box, labelled, f"more than max_labels={max_labels}")
    if labelled:
        assert shown == list(r.ranef()["(Intercept)"].sort_values(kind="stable").index)
    else:
        assert fig.axes[0].get_ylabel() == f"{r.group_name}, sorted by (Intercept)"


@pytest.mark.parametrize("m, size, labelled", [(60, (4, 3), False), (25, (8, 6), True)])
def test_caterpillar_on_the_users_axes(m, size, labelled):
    fig = plt.figure(figsize=size)
    axes = fig.subplots(1, 2)  # y not shared: the second panel's rows still carry no labels
    assert fit("linear", m, 2).plot_ranef(axes=axes) is fig
    check_labels(fig, axes, drawn(fig), labelled, "no room")
    plt.close(fig)
