"""`python -m corvane`: the embedded example, CSV fits, and errors as messages with status 2."""

import json
import subprocess
import sys

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
pytest.importorskip("formulaic")

import corvane  # noqa: E402
from corvane._example import example_frame  # noqa: E402


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
    assert "Formula: Reaction ~ Days + (Days | Subject)" in proc.stdout
    assert ref.summary() in proc.stdout


def test_csv_fit_summary_and_json(csv):
    path, df = csv
    formula = "Reaction ~ Days + (Days | Subject)"
    proc = run("fit", path, formula)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == corvane.lmm(formula, df).summary().strip()

    ml = corvane.lmm(formula, df, reml=False)
    proc = run("fit", path, formula, "--json", "--ml")
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    assert (out["method"], out["n_obs"], out["n_dropped"]) == ("ML", 179, 1)
    assert out["criterion"] == pytest.approx(ml.criterion, rel=1e-12)
    assert out["fixed_effects"]["Days"]["estimate"] == pytest.approx(ml.beta[1], rel=1e-12)
    assert out["random_effects"]["S03"] == pytest.approx(ml.random_effects["S03"].tolist(), rel=1e-12)


@pytest.mark.parametrize("args, message", [
    (["fit", "{dir}/missing.csv", "Reaction ~ Days + (1 | Subject)"], "no such file"),
    (["fit", "{csv}", "Reaction ~ Dayz + (1 | Subject)"], "unknown column 'Dayz'"),
    (["fit", "{csv}", "Reaction ~ Days + (1 | Subjekt)"], "unknown column 'Subjekt'"),
    (["fit", "{csv}", "Reaction ~ Days ** + (1 | Subject)"], "bad formula"),
    (["fit", "{csv}"], "required"),  # usage error from the argument parser
])
def test_errors_are_messages_with_status_2(csv, tmp_path, args, message):
    args = [a.format(dir=tmp_path, csv=csv[0]) for a in args]
    proc = run(*args)
    assert proc.returncode == 2
    assert message in proc.stderr
    assert "Traceback" not in proc.stderr and proc.stdout == ""
