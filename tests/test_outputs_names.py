"""One number per name: every exported p value and df (the arrays, the
statsmodels names, coef_table, the text and HTML summaries, to_dict and the
command line's JSON) is Satterthwaite's t test, checked against lmerTest;
anova refuses models fitted to other data; what notebooks show (the HTML
summary's notes, tqdm's notebook-aware bars, figures pyplot does not track)."""

import io
import json
import os
import subprocess
import sys
import types
import warnings

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
pytest.importorskip("formulaic")
stats = pytest.importorskip("scipy.stats")

import corvane  # noqa: E402
from corvane.inference import bootstrap as _bootstrap  # noqa: E402
from corvane.data import batches as _batches  # noqa: E402
from corvane.results.lmm import LmmResult  # noqa: E402
from corvane.results.summary import fmt_df, fmt_pvalue  # noqa: E402

pytestmark = [pytest.mark.reference]

HERE = os.path.dirname(os.path.abspath(__file__))
REF = json.load(open(os.path.join(HERE, "data", "outputs_names.json")))
CASES = ["example", "dropped_column", "singular"]


def data(name):
    if name == "example":
        return pd.read_csv(os.path.join(HERE, "data", "example.csv"))
    if name == "singular":
        return pd.read_csv(os.path.join(HERE, "data", "boundary.csv"))
    df = pd.read_csv(os.path.join(HERE, "data", "sleepstudy.csv"))
    df["Days2"] = 2 * df["Days"]  # aliased with Days: dropped, as lme4 drops it
    return df


def quiet_fit(formula, df, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return corvane.lmm(formula, df, **kwargs)


@pytest.fixture(scope="module")
def fits():
    return {name: quiet_fit(REF[name]["formula"], data(name)) for name in CASES}


# ---------------------------------------------------------------- one definition per quantity

@pytest.mark.parametrize("name", CASES)
def test_every_p_value_and_df_is_lmertests(fits, name):
    """The arrays, the statsmodels names, coef_table, ddf and to_dict give
    lmerTest's Satterthwaite df and Pr(>|t|), on a plain fit, one with a
    dropped column and a singular one."""
    r, ref = fits[name], REF[name]
    assert r.fe_names == ref["terms"] and bool(r.boundary) == ref["singular"]
    assert bool(r.dropped_columns) == (name == "dropped_column")
    table = r.coef_table()
    fixed = r.to_dict()["fixed_effects"]
    exported = {
        "p_values": r.p_values, "pvalues": r.pvalues.to_numpy(), "coef_table": table["Pr(>|t|)"].to_numpy(),
        "to_dict": np.array([fixed[n]["p_value"] for n in r.fe_names]),
    }
    for where, p in exported.items():
        np.testing.assert_allclose(p, ref["p"], rtol=5e-5, err_msg=where)
        np.testing.assert_array_equal(p, r.p_values, err_msg=where)
    for df in (r.ddf.to_numpy(), table["df"].to_numpy(), np.array([fixed[n]["df"] for n in r.fe_names])):
        np.testing.assert_allclose(df, ref["df"], rtol=1e-6)
        np.testing.assert_array_equal(df, r.ddf.to_numpy())
    np.testing.assert_allclose([fixed[n]["t_value"] for n in r.fe_names], ref["t"], rtol=1e-6)


@pytest.mark.parametrize("name", CASES)
def test_summaries_print_the_same_df_and_p(fits, name):
    """The text and the HTML show the formatted values of ddf and p_values
    under Pr(>|t|), never a normal approximation unasked."""
    r = fits[name]
    text, html = str(r.summary()), r._repr_html_()
    assert "Pr(>|z|)" not in text and "Pr(&gt;|z|)" not in html
    lines = text.splitlines()
    start = lines.index("Fixed effects:")
    assert lines[start + 1].split() == ["Estimate", "Std.", "Error", "df", "t", "value", "Pr(>|t|)"]
    for k, term in enumerate(r.fe_names):
        df, p = fmt_df(r.ddf.iloc[k]), fmt_pvalue(r.p_values[k])
        assert lines[start + 2 + k].split() == [term, lines[start + 2 + k].split()[1],
                                                lines[start + 2 + k].split()[2], df,
                                                f"{r.t_values[k]:.2f}", p]
        cell = "<td style='text-align:right'>{}</td>"
        assert cell.format(df) in html and cell.format(p.replace("<", "&lt;")) in html


STATSMODELS = {"params": "beta", "bse": "std_errors", "tvalues": "t_values", "pvalues": "p_values",
               "fittedvalues": "fitted_values", "resid": "residuals", "llf": "loglik", "nobs": "n_obs"}


def test_statsmodels_names_are_declared_aliases(fits):
    from corvane.results.tables import _Alias

    declared = {n: d.target for n, d in vars(LmmResult).items() if isinstance(d, _Alias)}
    assert declared == STATSMODELS
    with pytest.raises(AttributeError, match="params is statsmodels' name for beta"):
        fits["example"].params = [0.0, 0.0]


@pytest.mark.parametrize("name", CASES)
def test_every_pair_of_names_agrees(fits, name):
    r = fits[name]
    for alias, target in STATSMODELS.items():
        a, b = getattr(r, alias), getattr(r, target)
        if isinstance(a, pd.Series):
            assert a.name == alias
            a, b = a.to_numpy(), np.asarray(b)
        np.testing.assert_array_equal(a, b, err_msg=alias)
    np.testing.assert_array_equal(r.conf_int(alpha=0.1).to_numpy(), r.confint(level=0.9).loc[r.fe_names])


def test_without_scipy_p_values_say_so(fits, monkeypatch):
    r = fits["example"]
    monkeypatch.setitem(sys.modules, "scipy.stats", None)
    monkeypatch.setitem(sys.modules, "scipy.special", None)
    for get in (lambda: r.p_values, lambda: r.pvalues, lambda: r.ddf, r.coef_table, r.to_dict):
        with pytest.raises(ImportError, match=r"scipy\.(stats|special).*pip install corvane\[formula\]"):
            get()
    text, html = str(r.summary()), r._repr_html_()
    for shown in (text, html):
        assert "pip install corvane[formula]" in shown and "Pr(&gt;|z|)" not in shown and "Pr(>|z|)" not in shown
    lines = text.splitlines()
    assert lines[lines.index("Fixed effects:") + 1].split() == ["Estimate", "Std.", "Error", "t", "value"]
    assert r.coef_table(ddf="normal")["Pr(>|z|)"].iloc[1] == pytest.approx(7.357594502296252e-15, rel=1e-9)


def test_command_line_json_carries_df_and_satterthwaites_p(tmp_path):
    df = data("dropped_column")
    df.loc[3, "Reaction"] = np.nan
    path = tmp_path / "sleep.csv"
    df.to_csv(path, index=False)
    formula = "Reaction ~ Days + Days2 + (Days | Subject)"
    proc = subprocess.run([sys.executable, "-m", "corvane", "fit", str(path), formula, "--json"],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    r = quiet_fit(formula, df)
    assert out["dropped_columns"] == ["Days2"] and out["n_dropped"] == 1
    assert list(out["fixed_effects"]) == r.fe_names
    for k, term in enumerate(r.fe_names):
        assert out["fixed_effects"][term]["p_value"] == pytest.approx(r.p_values[k], rel=1e-12)
        assert out["fixed_effects"][term]["df"] == pytest.approx(r.ddf.iloc[k], rel=1e-12)


# ---------------------------------------------------------------- anova: the same data

@pytest.fixture(scope="module")
def pair():
    df = data("example")
    return df, quiet_fit("Reaction ~ 1 + (Days | Subject)", df), quiet_fit("Reaction ~ Days + (Days | Subject)", df)


def test_anova_matches_lme4_and_takes_the_rows_in_any_order(pair):
    df, m0, m1 = pair
    table = corvane.anova(m0, m1)
    ref = REF["example_lrt"]
    assert table["Chisq"].iloc[1] == pytest.approx(ref["chisq"], rel=1e-6)
    assert table["Pr(>Chisq)"].iloc[1] == pytest.approx(ref["p"], rel=1e-5)
    shuffled = df.sample(frac=1.0, random_state=3)
    again = corvane.anova(m0, quiet_fit("Reaction ~ Days + (Days | Subject)", shuffled))
    pd.testing.assert_frame_equal(again, table, rtol=1e-9)


def _changed(df, how):
    df = df.copy()
    if how == "response":
        df.loc[7, "Reaction"] += 1e-9
    elif how == "rows":  # the same values of the response, two rows' groups swapped
        df.loc[[0, 179], "Subject"] = df.loc[[179, 0], "Subject"].to_numpy()
    elif how == "groups":  # one subject under another label
        df["Subject"] = df["Subject"].replace({"S01": "T01"})
    return df


@pytest.mark.parametrize("how, message", [
    ("response", "different responses"),
    ("rows", "different rows"),
    ("groups", "different groups"),
])
def test_anova_refuses_other_data_and_says_what_differs(pair, how, message):
    df, m0, _ = pair
    other = quiet_fit("Reaction ~ Days + (Days | Subject)", _changed(df, how))
    with pytest.raises(ValueError, match=f"model1 and model2 were fitted to {message}"):
        corvane.anova(m0, other)


def test_anova_refuses_other_weights(pair):
    df, m0, _ = pair
    w = np.ones(len(df))
    w[:5] = 2.0
    weighted = quiet_fit("Reaction ~ Days + (Days | Subject)", df, weights=w)
    with pytest.raises(ValueError, match="fitted to different weights"):
        corvane.anova(m0, weighted)


@pytest.mark.parametrize("how, message", [
    ("same", None),
    ("shuffled", None),
    ("response", "different responses"),
    ("groups", "different groups"),
])
def test_anova_of_models_read_in_batches(pair, how, message):
    """Against a model read in batches: n, the group labels and the
    response's sums (y'y and X'y of the constant) are compared."""
    pa = pytest.importorskip("pyarrow")
    df, m0, _ = pair
    if how == "shuffled":
        other = df.sample(frac=1.0, random_state=1).reset_index(drop=True)
    elif how == "response":
        other = df.assign(Reaction=df["Reaction"] + np.where(np.arange(len(df)) == 9, 1e-3, 0.0))
    else:
        other = _changed(df, how)
    streamed = quiet_fit("Reaction ~ Days + (Days | Subject)", pa.Table.from_pandas(other, preserve_index=False),
                         progress=False)
    if message is None:
        in_memory = quiet_fit("Reaction ~ Days + (Days | Subject)", other)
        pd.testing.assert_frame_equal(corvane.anova(m0, streamed), corvane.anova(m0, in_memory), rtol=1e-8)
    else:
        with pytest.raises(ValueError, match=f"model1 and model2 were fitted to {message}"):
            corvane.anova(m0, streamed)


# ---------------------------------------------------------------- what notebooks show

def _not_converged():
    return quiet_fit("Reaction ~ Days + (Days | Subject)", data("example"), max_iter=1)


def _missing_rows():
    df = data("example")
    df.loc[[2, 40], "Days"] = np.nan
    return quiet_fit("Reaction ~ Days + (Days | Subject)", df)


NOTES = [
    ("not converged", _not_converged, ["Optimizer: NOT converged, status not converged",
                                       "REML criterion (NOT converged)"]),
    ("singular", lambda: quiet_fit(REF["singular"]["formula"], data("singular")),
     ["boundary (singular) fit", "status boundary"]),
    ("dropped column", lambda: quiet_fit(REF["dropped_column"]["formula"], data("dropped_column")),
     ["rank deficient so dropping 1 column: Days2", "status interior"]),
    ("missing rows", _missing_rows, ["(2 observations deleted due to missingness)", "status interior"]),
]


@pytest.mark.parametrize("label, make, phrases", NOTES, ids=[n[0] for n in NOTES])
def test_html_carries_the_status_and_every_note(label, make, phrases):
    from html import escape

    r = make()
    text, html = str(r.summary()), r._repr_html_()
    for phrase in phrases:
        assert phrase in text
        assert escape(phrase) in html
    if not r.converged:
        assert escape(r.message) in html


class _RecordingBar:
    """A stand-in for tqdm.auto.tqdm that records what it was asked."""

    made = []

    def __init__(self, total=None, initial=0, **kwargs):
        self.total, self.n, self.kwargs, self.closed = total, initial, kwargs, False
        _RecordingBar.made.append(self)

    def update(self, k):
        self.n += k

    def close(self):
        self.closed = True


@pytest.fixture
def recorded(monkeypatch):
    auto = pytest.importorskip("tqdm.auto")
    _RecordingBar.made = []
    monkeypatch.setattr(auto, "tqdm", _RecordingBar)
    return _RecordingBar.made


def test_reading_bar_is_tqdm_auto(recorded):
    bar = _batches.progress_for(True, 2_000_000, "rows")
    assert recorded == [bar] and bar.total == 2_000_000 and bar.kwargs["unit"] == "rows"
    assert _batches.progress_for(True, 999_999, "rows") is None and _batches.progress_for(False, None, "rows") is None


def test_bootstrap_bar_is_one_tqdm_auto_bar(recorded, monkeypatch, fits):
    clock = iter(range(0, 10_000, 5))  # every block looks slow: the bar shows
    monkeypatch.setattr(_bootstrap, "time", types.SimpleNamespace(perf_counter=lambda: float(next(clock))))
    r = fits["example"]
    monkeypatch.setattr(_bootstrap, "BLOCK_VALUES", 4 * r.n_obs * (len(r.re_names) + 2))  # 4 replicates a block
    boot = r.bootstrap(n=12, seed=1)
    assert len(boot.replicates) == 12
    assert len(recorded) == 1
    bar = recorded[0]
    assert (bar.total, bar.n, bar.closed, bar.kwargs["unit"]) == (12, 12, True, "replicate")


PLOTS = [("plot_ranef", {}), ("plot_qq", {}), ("plot_residuals", {}), ("plot_shrinkage", {})]


@pytest.mark.parametrize("method, kwargs", PLOTS)
def test_plots_are_figures_pyplot_does_not_track(fits, method, kwargs):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.figure import Figure

    plt.close("all")
    before = plt.get_fignums()
    fig = getattr(fits["example"], method)(**kwargs)
    assert plt.get_fignums() == before
    assert isinstance(fig, Figure) and len(fig.axes) >= 1
    png = io.BytesIO()
    fig.savefig(png, format="png")
    assert png.getvalue()[:8] == b"\x89PNG\r\n\x1a\n" and len(png.getvalue()) > 1000
    # Axes the user made: drawn on, their figure returned, nothing new in pyplot.
    own = plt.figure()
    axes = own.subplots(1, 2) if method in ("plot_ranef", "plot_qq") else own.subplots()
    arg = {"axes": axes} if method in ("plot_ranef", "plot_qq") else {"ax": axes}
    assert getattr(fits["example"], method)(**arg) is own
    assert plt.get_fignums() == before + [own.number]
    plt.close("all")
