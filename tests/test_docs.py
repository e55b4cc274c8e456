"""The examples in the public docstrings, the README, the user guide and the
contributors' document run and print what they show; the README names every
extra and its layout tables name paths that exist."""

import contextlib
import csv
import doctest
import importlib
import io
import json
import pathlib
import re
import shutil
import subprocess
import sys
import warnings
from dataclasses import dataclass

import numpy as np
import pytest

import corvane

pytestmark = [pytest.mark.wheel]

MODULES = ["corvane", "corvane.model.lmm", "corvane.results.base", "corvane.results.lmm",
           "corvane.results.lmm_inference", "corvane.results.predict", "corvane.results.tables",
           "corvane.inference.ddf", "corvane.inference.parameters", "corvane.inference.bootstrap",
           "corvane.results.plots", "corvane.generalized.model", "corvane.generalized.result", "corvane.inference.r2",
           "corvane.inference.kenward_roger", "corvane._routes", "corvane.generalized.inference", "corvane.many"]


@pytest.mark.parametrize("name", MODULES)
def test_docstring_examples(name):
    pytest.importorskip("pandas")
    pytest.importorskip("scipy")
    if name == "corvane.results.plots":
        pytest.importorskip("matplotlib")
    module = importlib.import_module(name)
    failures, tried = doctest.testmod(module, optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    assert failures == 0
    assert tried > 0


def test_help_shows_the_formula_syntax():
    doc = corvane.lmm.__doc__
    for piece in ("(terms | group)", "offset(expr)", "I(expr)", "C(x)", "weights"):
        assert piece in doc


# ---- the documents ----------------------------------------------------------------------

ROOT = pathlib.Path(__file__).resolve().parent.parent
DATA = pathlib.Path(__file__).resolve().parent / "data"
DOCUMENTS = ["README.md", "docs/guide.md", "docs/contributing.md"]
# The documents that fit lme4's cbpp (as the name r), checked against the
# stored references after their blocks have run.
CBPP_FIT = ["README.md", "docs/guide.md"]
FLAGS = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE

# A fenced block: its info string (the language) and its text.
FENCE = re.compile(r"^```([^\n`]*)\n(.*?)^```[ \t]*$", re.M | re.S)
# Written right before a block that cannot run in a test, with the reason.
NOT_RUN = re.compile(r"<!--\s*not run:\s*(.*?)\s*-->\s*\Z", re.S)


@dataclass
class Example:
    """One Python block of a document: the line its code starts on, the code,
    the output shown in a plain fenced block right after it (None if none)
    and the reason it is not run (None if it is)."""

    line: int
    code: str
    output: str | None
    not_run: str | None


def examples(text):
    """The Python blocks of a markdown text, in order."""
    fences = list(FENCE.finditer(text))
    out = []
    for k, fence in enumerate(fences):
        if fence.group(1).strip() != "python":
            continue
        before = text[fences[k - 1].end() if k else 0:fence.start()]
        skip = NOT_RUN.search(before)
        output = None
        if k + 1 < len(fences):
            after = fences[k + 1]
            if after.group(1).strip() in ("", "text") and not text[fence.end():after.start()].strip():
                output = after.group(2)
        out.append(Example(text.count("\n", 0, fence.start(2)) + 1, fence.group(2), output,
                           skip.group(1) if skip else None))
    return out


def test_examples_are_found_with_their_outputs_and_reasons():
    text = ("intro\n```python\nx = 1\nprint(x)\n```\n\n```\n1\n```\n"
            "<!-- not run: needs a cluster -->\n```python\ncluster()\n```\n"
            "```sh\nmake\n```\n```python\n>>> x\n1\n```\ntext\n```\nnot an output\n```\n")
    got = examples(text)
    assert [(e.line, e.code, e.output, e.not_run) for e in got] == [
        (3, "x = 1\nprint(x)\n", "1\n", None),
        (12, "cluster()\n", None, "needs a cluster"),
        (18, ">>> x\n1\n", None, None)]


def _write_cbpp(path):
    """lme4's cbpp byte for byte as R's write.csv(lme4::cbpp, row.names =
    FALSE) writes it: herd and period quoted, period's levels "1".."4" (the
    stored copy names them "p1".."p4")."""
    pd = pytest.importorskip("pandas")
    cb = pd.read_csv(DATA / "cbpp.csv", dtype={"herd": str, "period": str})
    cb["period"] = cb["period"].str.removeprefix("p")
    cb[["herd", "incidence", "size", "period"]].to_csv(path, index=False, quoting=csv.QUOTE_NONNUMERIC)


def _write_parquet_folder(folder, columns, seed):
    """Three Parquet files of y = 1 + x + b_g0 + b_g1 x + e over 40 groups,
    with the named covariates (normal, or a two-level factor "trt")."""
    pd = pytest.importorskip("pandas")
    rng = np.random.default_rng(seed)
    m, per = 40, 25
    g = np.repeat(np.arange(m), per)
    frame = pd.DataFrame({"g": g})
    for name in columns:
        frame[name] = (np.where(g % 2 == 0, "a", "b") if name == "trt" else rng.normal(size=m * per))
    slope = frame[columns[0]]
    b = rng.normal(size=(m, 2)) * [1.0, 0.5]
    frame["y"] = 1.0 + slope + b[g, 0] + b[g, 1] * slope + rng.normal(size=m * per)
    folder.mkdir(parents=True)
    for k, part in enumerate(np.array_split(np.arange(m * per), 3)):
        frame.iloc[part].to_parquet(folder / f"part-{k}.parquet", index=False)


@pytest.fixture(scope="module")
def document_files(tmp_path_factory):
    """The files the documents read, in a folder of their own."""
    pytest.importorskip("pyarrow")
    folder = tmp_path_factory.mktemp("documents")
    _write_cbpp(folder / "cbpp.csv")
    for name in ("Contraception.csv", "grouseticks.csv", "Oats.csv"):
        shutil.copy(DATA / name, folder / name)
    shutil.copy(DATA / "kr_three.csv", folder / "data.csv")
    shutil.copy(DATA / "mmrm_fev.csv", folder / "fev.csv")
    _write_parquet_folder(folder / "data", ["x", "trt"], seed=1)
    _write_parquet_folder(folder / "warehouse" / "parquet", ["x1", "x2"], seed=2)
    return folder


def run_example(example, namespace, where):
    """Run one block in the document's namespace: a block in doctest form
    (">>>") through doctest, any other as a script whose printed output must
    match the block shown after it (ELLIPSIS and NORMALIZE_WHITESPACE, as
    the docstrings)."""
    if example.code.lstrip().startswith(">>>"):
        test = doctest.DocTestParser().get_doctest(example.code, namespace, where, where, example.line - 1)
        report = io.StringIO()
        runner = doctest.DocTestRunner(optionflags=FLAGS)
        runner.run(test, out=report.write, clear_globs=False)
        assert runner.failures == 0, report.getvalue()
        namespace.update(test.globs)  # the test ran on a copy: the next blocks see its names
        return
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        exec(compile(example.code, where, "exec"), namespace)
    if example.output is not None:
        checker = doctest.OutputChecker()
        if not checker.check_output(example.output, printed.getvalue(), FLAGS):
            raise AssertionError(f"{where} prints otherwise than shown:\n" + checker.output_difference(
                doctest.Example(example.code, example.output), printed.getvalue(), FLAGS))


@pytest.mark.parametrize("document", DOCUMENTS)
def test_document_examples_run_and_print_what_they_show(document, document_files, monkeypatch):
    """Every Python block of the document, in order in one namespace, from a
    folder holding the files it reads."""
    for module in ("pandas", "scipy", "formulaic", "matplotlib", "polars", "dask.dataframe"):
        pytest.importorskip(module)
    path = ROOT / document
    if not path.exists():
        pytest.skip(f"{document} is not beside the tests (a copy of the tests alone)")
    monkeypatch.chdir(document_files)
    monkeypatch.setenv("MPLBACKEND", "Agg")
    found = examples(path.read_text(encoding="utf-8"))
    assert found
    namespace = {"__name__": "__main__"}
    with warnings.catch_warnings():
        # A corvane warning in an example is a fault of the example (or of
        # corvane): the documents show fits that need none.
        for category in (corvane.ConvergenceWarning, corvane.SingularFitWarning, corvane.ProfileWarning,
                         corvane.RankDeficiencyWarning, corvane.SeparationWarning):
            warnings.simplefilter("error", category)
        for example in found:
            if example.not_run is None:
                run_example(example, namespace, f"{document}:{example.line}")
    if document not in CBPP_FIT:
        return
    # These documents read cbpp.csv as R writes it; their cbpp fit has period
    # as a factor: glmmTMB's fit, and lme4's logLik to its approximation's 4e-4
    # (tests/r/glmm_reference.R stored both).
    cases = json.loads((DATA / "glmm_reference.json").read_text())["cases"]
    ref = next(case for case in cases if case["id"] == "cbpp_logit_laplace")
    r = namespace["r"]
    assert (r.formula, len(r.fe_names)) == (ref["formula"], 4)
    assert r.llf == pytest.approx(ref["glmmTMB"]["logLik"], abs=1e-6)
    assert r.llf == pytest.approx(ref["lme4"]["logLik"], abs=4e-4)


# ---- the README's install section and the layout tables ---------------------------------

def test_the_readme_names_every_extra_and_all_holds_the_others():
    """Every extra of pyproject.toml has its row in the README's Install
    table, and "all" installs exactly what the feature extras install."""
    tomllib = pytest.importorskip("tomllib")
    pyproject, readme = ROOT / "pyproject.toml", ROOT / "README.md"
    if not (pyproject.exists() and readme.exists()):
        pytest.skip("the project's files are not beside the tests (a copy of the tests alone)")
    extras = tomllib.loads(pyproject.read_text(encoding="utf-8"))["project"]["optional-dependencies"]
    features = set(extras) - {"all", "test", "bench"}
    assert sorted(extras["all"]) == sorted(set().union(*(extras[name] for name in features)))
    install = re.search(r"^## Install\n(.*?)^## ", readme.read_text(encoding="utf-8"), re.M | re.S).group(1)
    assert [name for name in extras if f"| `{name}` |" not in install] == []


# A "## Layout" section, up to the next section of that level.
LAYOUT = re.compile(r"^## Layout\n(.*?)(?=^## |\Z)", re.M | re.S)
# A file named in a row: a module, header, source or document (no spaces).
NAMED_FILE = re.compile(r"^[\w./*-]+\.(?:py|pyi|hpp|cpp|md|txt)$")


@pytest.mark.parametrize("document", ["README.md", "docs/contributing.md"])
def test_layout_tables_name_paths_that_exist(document):
    """Each row's paths exist, and so does every file or folder a row names
    (relative to the project or to the row's own folder)."""
    path = ROOT / document
    if not path.exists():
        pytest.skip(f"{document} is not beside the tests (a copy of the tests alone)")
    section = LAYOUT.search(path.read_text(encoding="utf-8"))
    assert section, f"{document} has no Layout section"
    rows = [line[2:].split(" | ", 1) for line in section.group(1).splitlines() if line.startswith("| `")]
    assert len(rows) >= 5
    missing = []
    for first, contents in rows:
        paths = re.findall(r"`([^`]+)`", first)
        missing += [name for name in paths if not list(ROOT.glob(name.rstrip("/")))]
        # The row's folder: its first path, or the folder of a pattern such as python/corvane/_*.py.
        folder = ROOT / (paths[0].split("*")[0].rpartition("/")[0] if "*" in paths[0] else paths[0])
        for name in re.findall(r"`([^`\s]+)`", contents):
            if "::" in name or not (NAMED_FILE.match(name) or "/" in name):
                continue  # a C++ name, a Python name, an option
            plain = name.rstrip("/")
            if not ((ROOT / plain).exists() or (folder / plain).exists() or list(folder.rglob(plain))):
                missing.append(f"{name} (row {paths[0]})")
    assert missing == []


# ---- the demo ------------------------------------------------------------------------------

def test_the_demo_prints_what_the_readme_shows_and_draws_its_plot(tmp_path):
    """examples/demo.py runs, prints the excerpt the README's "The two
    commands" shows of it (ELLIPSIS and NORMALIZE_WHITESPACE), and writes a
    PNG."""
    for module in ("pandas", "scipy", "formulaic", "matplotlib"):
        pytest.importorskip(module)
    demo, readme = ROOT / "examples" / "demo.py", ROOT / "README.md"
    if not (demo.exists() and readme.exists()):
        pytest.skip("the project's files are not beside the tests (a copy of the tests alone)")
    proc = subprocess.run([sys.executable, str(demo)], cwd=tmp_path, capture_output=True, text=True,
                          timeout=600)
    assert proc.returncode == 0, proc.stderr
    assert "Warning" not in proc.stderr  # no warning (a first import of matplotlib may say more)
    section = re.search(r"^## The two commands\n(.*?)^## ", readme.read_text(encoding="utf-8"), re.M | re.S)
    shown = [m.group(2) for m in FENCE.finditer(section.group(1)) if m.group(1).strip() in ("", "text")]
    assert len(shown) == 1
    checker = doctest.OutputChecker()
    assert checker.check_output(shown[0], proc.stdout, FLAGS), checker.output_difference(
        doctest.Example("demo", shown[0]), proc.stdout, FLAGS)
    assert (tmp_path / "demo_ranef.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
