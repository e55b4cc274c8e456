"""Labelled outputs (statsmodels' names), notebook HTML, polars input and the
plots (Agg backend): the right numbers under the right labels, the right
number of panels, points and axis labels."""

import os

import numpy as np
import pandas as pd
import pytest

import corvane

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

pytestmark = [pytest.mark.wheel]

HERE = os.path.dirname(os.path.abspath(__file__))


@pytest.fixture(scope="module")
def frame():
    df = pd.read_csv(os.path.join(HERE, "data", "sleepstudy.csv"))
    df.index = [f"r{i}" for i in range(len(df))]
    return df


@pytest.fixture(scope="module")
def res(frame):
    return corvane.lmm("Reaction ~ Days + (Days | Subject)", frame)


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


def test_labelled_fixed_effects(res):
    names = ["(Intercept)", "Days"]
    for series, values in ((res.params, res.beta), (res.bse, res.std_errors), (res.tvalues, res.t_values)):
        assert series.index.tolist() == names
        np.testing.assert_array_equal(series.to_numpy(), values)
    np.testing.assert_array_equal(res.pvalues, res.coef_table()["Pr(>|t|)"])
    ci = res.conf_int(alpha=0.1)
    assert ci.columns.tolist() == [0, 1] and ci.index.tolist() == names
    np.testing.assert_allclose(ci.to_numpy(), res.confint(level=0.9).loc[names].to_numpy(), rtol=1e-12)
    cov = res.cov_params()
    assert cov.index.tolist() == names == cov.columns.tolist()
    np.testing.assert_array_equal(cov.to_numpy(), res.cov_beta)
    assert res.llf == res.loglik and res.nobs == 180
    with pytest.raises(ValueError, match="alpha must be between 0 and 1"):
        res.conf_int(alpha=1.5)


def test_fitted_and_residuals_on_the_input_index(frame, res):
    assert res.fittedvalues.index.tolist() == frame.index.tolist()
    np.testing.assert_allclose(res.resid + res.fittedvalues, frame["Reaction"])
    # Rows dropped for missing values are NaN on the input's index.
    d = frame.copy()
    d.loc["r5", "Days"] = np.nan
    r = corvane.lmm("Reaction ~ Days + (Days | Subject)", d)
    assert np.isnan(r.fittedvalues["r5"]) and r.resid.notna().sum() == 179


def test_ranef_and_varcorr(res):
    re = res.ranef()
    assert re.index.name == "Subject" and re.columns.tolist() == ["(Intercept)", "Days"]
    np.testing.assert_array_equal(re.loc[res.group_labels[3]].to_numpy(), res.random_effects[res.group_labels[3]])
    cv = res.ranef(condvar=True)
    g = res.group_labels[0]
    np.testing.assert_allclose(cv.loc[g, ["condsd((Intercept))", "condsd(Days)"]].to_numpy(),
                               np.sqrt(np.diag(res.conditional_covariances[g])))
    vc = res.varcorr()
    assert vc.index.tolist() == [("Subject", "(Intercept)"), ("Subject", "Days"), ("Residual", "")]
    np.testing.assert_allclose(vc["Std.Dev."], list(res.re_std) + [res.sigma])
    assert vc.loc[("Subject", "Days"), "Corr((Intercept))"] == pytest.approx(res.re_corr[1, 0])


def test_html(res):
    html = res._repr_html_()
    assert html.startswith("<div") and "<table" in html and "Pr(&gt;|t|)" in html
    assert "Reaction ~ Days + (Days | Subject)" in html


def test_polars_input(frame, res):
    pl = pytest.importorskip("polars")
    r = corvane.lmm("Reaction ~ Days + (Days | Subject)", pl.from_pandas(frame.reset_index(drop=True)))
    assert r.criterion == res.criterion and np.array_equal(r.beta, res.beta)


def test_caterpillar(res):
    fig = res.plot_ranef()
    assert len(fig.axes) == 2
    for ax, name in zip(fig.axes, res.re_names):
        assert ax.get_title() == name
        points = ax.lines[0].get_xdata()  # the errorbar's markers
        assert len(points) == res.n_groups
    # Ordered by the intercepts' modes; the labels follow.
    modes = res.ranef()["(Intercept)"]
    labels = [t.get_text() for t in fig.axes[0].get_yticklabels()]
    assert labels == [str(g) for g in modes.sort_values(kind="stable").index]
    own = plt.subplots(1, 2)[1]
    assert res.plot_ranef(axes=own).axes[0] is own[0]
    with pytest.raises(ValueError, match="axes must hold 2 axes"):
        res.plot_ranef(axes=own[:1])


def test_qq_residuals_shrinkage(res, frame):
    fig = res.plot_qq()
    assert len(fig.axes) == 2
    np.testing.assert_allclose(fig.axes[1].lines[0].get_ydata(), np.sort(res.ranef()["Days"]))
    fig = res.plot_residuals()
    ax = fig.axes[0]
    assert (ax.get_xlabel(), ax.get_ylabel()) == ("fitted values", "residuals")
    assert len(ax.collections[0].get_offsets()) == res.n_obs
    fig = res.plot_shrinkage()
    ax = fig.axes[0]
    assert (ax.get_xlabel(), ax.get_ylabel()) == ("(Intercept)", "Days")
    assert len(ax.collections[0].get_offsets()) == res.n_groups  # the least-squares points
    # One random effect: the identity line and one point per group; least
    # squares of the within-group residual means.
    r1 = corvane.lmm("Reaction ~ Days + (1 | Subject)", frame)
    given = plt.subplots()[1]
    fig = r1.plot_shrinkage(ax=given)
    pts = fig.axes[0].collections[0].get_offsets()
    resid = frame["Reaction"] - r1.model.X @ r1.beta
    means = resid.groupby(frame["Subject"]).mean()
    np.testing.assert_allclose(np.asarray(pts)[:, 0], means.loc[r1.group_labels].to_numpy())


def test_plots_need_rows_and_name_the_extra(res, tmp_path):
    pa = pytest.importorskip("pyarrow")
    table = pa.Table.from_pandas(pd.read_csv(os.path.join(HERE, "data", "sleepstudy.csv")))
    streamed = corvane.lmm("Reaction ~ Days + (Days | Subject)", table, progress=False)
    assert len(streamed.plot_ranef().axes) == 2  # the modes need no rows
    with pytest.raises(ValueError, match="does not keep"):
        streamed.plot_residuals()
