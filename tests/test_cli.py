"""`python -m corvane`: the embedded example, CSV and Parquet fits of both families, and errors as
messages with status 2."""

import json
import os
import subprocess
import sys

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
pytest.importorskip("formulaic")

import corvane  # noqa: E402
from corvane._example import example_frame  # noqa: E402

pytestmark = [pytest.mark.wheel]

DATA = os.path.join(os.path.dirname(__file__), "data")


def run(*args):
    return subprocess.run([sys.executable, "-m", "corvane", *args], capture_output=True, text=True,
                          timeout=120)


@pytest.fixture(scope="module")
def csv(tmp_path_factory):
    df = example_frame()
    df.loc[4, "Reaction"] = np.nan  # one row dropped
    path = tmp_path_factory.mktemp("cli") / "sleep.csv"
    df.to_csv(path, index=False)
    return str(path), df


def test_demo_prints_the_example_summary():
    proc = run()
    assert proc.returncode == 0, proc.stderr
    ref = corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame())
    assert "simulated" in proc.stdout
    assert "Formula: Reaction ~ Days + (Days | Subject)" in proc.stdout
    assert ref.summary() in proc.stdout


def test_csv_fit_summary_and_json(csv):
    path, df = csv
    formula = "Reaction ~ Days + (Days | Subject)"
    proc = run("fit", path, formula)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == corvane.lmm(formula, df).summary().strip()

    proc = run("fit", path, "Reaction ~ Days + (Days || Subject)", "--ddf", "kenward-roger")
    assert proc.returncode == 0, proc.stderr
    want = corvane.lmm("Reaction ~ Days + (Days || Subject)", df).summary(ddf="kenward-roger")
    assert proc.stdout.strip() == want.strip()

    ml = corvane.lmm(formula, df, reml=False)
    proc = run("fit", path, formula, "--json", "--ml")
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    assert (out["method"], out["n_obs"], out["n_dropped"]) == ("ML", 179, 1)
    assert out["criterion"] == pytest.approx(ml.criterion, rel=1e-12)
    assert out["fixed_effects"]["Days"]["estimate"] == pytest.approx(ml.beta[1], rel=1e-12)
    k = out["groups"].index("S03")
    assert out["random_effects"][k] == pytest.approx(ml.random_effects["S03"].tolist(), rel=1e-12)


@pytest.mark.parametrize("args, message", [
    (["fit", "{dir}/missing.csv", "Reaction ~ Days + (1 | Subject)"], "no such file"),
    (["fit", "{dir}", "Reaction ~ Days + (1 | Subject)"], "holds no Parquet files"),
    (["fit", "{dir}/missing.parquet", "Reaction ~ Days + (1 | Subject)"], "no such file"),
    (["fit", "{dir}/rows.txt", "Reaction ~ Days + (1 | Subject)"],
     "cannot tell the kind of file '{dir}/rows.txt': use a .csv or .parquet file"),
    (["fit", "{csv}", "Reaction ~ Days + (1 | Subject)", "--link", "probit"],
     "--link is for --family binomial, poisson, negative_binomial or negative_binomial1"),
    (["fit", "{csv}", "Reaction ~ Days + (1 | Subject)", "--nagq", "3"], "--nagq is for --family binomial"),
    (["fit", "{csv}", "Reaction ~ Days + (1 | Subject)", "--family", "poisson", "--ml"],
     "--ml is for --family gaussian"),
    (["fit", "{csv}", "Reaction ~ Days + (1 | Subject)", "--family", "binomial", "--ddf", "normal"],
     "--ddf is for --family gaussian"),
    (["fit", "{csv}", "Reaction ~ Days + (1 | Subject)", "--family", "binomial"],
     "the binomial response 'Reaction' must lie in [0, 1]"),
    (["fit", "{csv}", "Reaction ~ Days + (1 | Subject)", "--family", "gamma"], "invalid choice: 'gamma'"),
    (["fit", "{csv}", "Reaction ~ I(Days +) + (1 | Subject)"], "bad formula"),
    (["fit", "{csv}", "Reaction ~ Days + (1 | Subject) + (1 | Days)"], "2 grouping factors"),
    (["fit", "{csv}", "Reaction ~ Dayz + (1 | Subject)"], "unknown column 'Dayz'"),
    (["fit", "{csv}", "Reaction ~ Days + (1 | Subjekt)"], "unknown column 'Subjekt'"),
    (["fit", "{csv}", "Reaction ~ Days ** + (1 | Subject)"], "bad formula"),
    (["fit", "{csv}"], "required"),  # usage error from the argument parser
])
def test_errors_are_messages_with_status_2(csv, tmp_path, args, message):
    args = [a.format(dir=tmp_path, csv=csv[0]) for a in args]
    proc = run(*args)
    assert proc.returncode == 2
    assert message.format(dir=tmp_path) in proc.stderr
    assert "Traceback" not in proc.stderr and proc.stdout == ""


def test_standard_input_and_a_named_pipe(csv, tmp_path):
    path, df = csv
    formula = "Reaction ~ Days + (1 | Subject)"
    expect = corvane.lmm(formula, df).summary().strip()
    with open(path) as f:
        proc = subprocess.run([sys.executable, "-m", "corvane", "fit", "-", formula], stdin=f,
                              capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == expect
    fifo = tmp_path / "pipe.csv"
    os.mkfifo(fifo)
    child = subprocess.Popen([sys.executable, "-m", "corvane", "fit", str(fifo), formula],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    with open(fifo, "w") as w, open(path) as r:
        w.write(r.read())
    out, err = child.communicate(timeout=120)
    assert child.returncode == 0, err
    assert out.strip() == expect


def test_mixed_group_column_is_one_column_of_strings(tmp_path):
    """Numeric IDs for most rows and alphanumeric ones further down: one
    column of strings (no per-chunk type guessing)."""
    rng = np.random.default_rng(0)
    n = 300_000
    ids = rng.integers(0, 1000, n).astype(str).astype(object)
    ids[-500:] = [f"A{k}" for k in rng.integers(0, 1, 500)]
    ids[:1000] = np.arange(1000).astype(str)
    df = pd.DataFrame({"y": rng.normal(size=n), "g": ids})
    path = tmp_path / "mixed.csv"
    df.to_csv(path, index=False)
    proc = run("fit", str(path), "y ~ 1 + (1 | g)", "--json")
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    assert out["n_groups"] == 1001 and all(isinstance(g, str) for g in out["groups"])


def test_help_shows_usage_and_examples():
    proc = run("--help")
    assert proc.returncode == 0 and "usage:" in proc.stdout and "examples:" in proc.stdout
    proc = run("fit", "--help")
    assert proc.returncode == 0 and "python -m corvane fit" in proc.stdout


def test_warnings_go_to_stderr(tmp_path):
    rng = np.random.default_rng(5)
    groups, per = 8, 6
    codes = np.repeat(np.arange(groups), per)
    e = rng.standard_normal(groups * per)
    means = np.array([e[codes == i].mean() for i in range(groups)])
    path = tmp_path / "boundary.csv"
    pd.DataFrame({"y": 3.0 + e - 0.9 * means[codes], "g": codes}).to_csv(path, index=False)
    proc = run("fit", str(path), "y ~ 1 + (1 | g)")
    assert proc.returncode == 0 and "corvane: warning: boundary (singular) fit" in proc.stderr


def cli_json(*args):
    proc = run("fit", *args, "--json")
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


def as_json(result):
    return json.loads(json.dumps(result.to_dict(), allow_nan=False))


@pytest.mark.parametrize("data, formula, options, kwargs", [
    ("cbpp", "cbind(incidence, size - incidence) ~ period + (1 | herd)", ["--family", "binomial"], {}),
    ("cbpp", "prop ~ period + (1 | herd)", ["--family", "binomial", "--weights", "size", "--link", "probit",
                                            "--nagq", "9"], {"weights": "size", "link": "probit", "nagq": 9}),
    ("grouseticks", "TICKS ~ YEAR + HEIGHT_s + (1 | BROOD)", ["--family", "poisson", "--offset", "log_t"],
     {"family": "poisson", "offset": "log_t"}),
    ("grouseticks", "TICKS ~ YEAR + HEIGHT_s + (1 | BROOD)", ["--family", "negative_binomial1"],
     {"family": "negative_binomial1"}),
])
def test_generalized_fits_are_those_of_glmm(data, formula, options, kwargs):
    path = os.path.join(DATA, f"{data}.csv")
    want = as_json(corvane.glmm(formula, pd.read_csv(path), **kwargs))
    assert cli_json(path, formula, *options) == want
    proc = run("fit", path, formula, *options)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == str(corvane.glmm(formula, pd.read_csv(path), **kwargs).summary()).strip()


@pytest.mark.parametrize("family, data, formula, options", [
    ("gaussian", "sleepstudy", "Reaction ~ Days + (Days | Subject)", ["--weights", "w"]),
    ("binomial", "cbpp", "cbind(incidence, size - incidence) ~ period + (1 | herd)", []),
])
def test_csv_and_parquet_files_give_one_fit(tmp_path, family, data, formula, options):
    frame = pd.read_csv(os.path.join(DATA, f"{data}.csv"))
    if family == "gaussian":
        frame["w"] = np.where(frame["Days"] < 2, 2.0, 1.0)
    frame.to_csv(tmp_path / "rows.csv", index=False)
    frame.to_parquet(tmp_path / "rows.parquet", index=False)
    (tmp_path / "folder").mkdir()
    for k, part in enumerate(np.array_split(np.arange(len(frame)), 2)):
        frame.iloc[part].to_parquet(tmp_path / "folder" / f"{k}.parquet", index=False)
    args = [formula, "--family", family, *options]
    ref = cli_json(str(tmp_path / "rows.csv"), *args)
    assert ref["n_obs"] == len(frame)
    for name in ("rows.parquet", "folder"):
        got = cli_json(str(tmp_path / name), *args)
        assert got.keys() == ref.keys()
        for effect, values in ref["fixed_effects"].items():
            assert got["fixed_effects"][effect] == pytest.approx(values, rel=1e-9), (name, effect)
        assert got["groups"] == ref["groups"]
