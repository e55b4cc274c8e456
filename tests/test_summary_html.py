"""The notebook summary's HTML, read back with html.parser: one wrapper, a
stylesheet that stays inside it and takes its colours from the host, each
family's tables with their header cells and numbers, every label escaped."""

import os
import re
import warnings
from html.parser import HTMLParser

import numpy as np
import pandas as pd
import pytest

import corvane
from corvane._example import example_frame

pytestmark = [pytest.mark.wheel]

HERE = os.path.dirname(os.path.abspath(__file__))


class Page(HTMLParser):
    """The HTML read back; its tags must nest and close. Keeps the tags with
    their classes, the style text, the tables (rows of cell texts) and all
    the text."""

    def __init__(self, html):
        super().__init__(convert_charrefs=True)
        self.open, self.tags, self.style, self.tables, self.text = [], [], "", [], []
        self.feed(html)
        self.close()
        assert self.open == [], f"unclosed tags {self.open}"

    def handle_starttag(self, tag, attrs):
        self.tags.append((tag, dict(attrs).get("class")))
        self.open += [] if tag == "br" else [tag]
        if tag == "table":
            self.tables.append([])
        elif tag == "tr":
            self.tables[-1].append([])
        elif tag in ("td", "th"):
            self.tables[-1][-1].append("")

    def handle_endtag(self, tag):
        assert self.open.pop() == tag, f"</{tag}> does not close the open tag"

    def handle_data(self, data):
        self.text.append(data)
        if self.open[-1] == "style":
            self.style += data
        elif self.open[-1] in ("td", "th"):
            self.tables[-1][-1][-1] += data


def css_rules(css):
    """(selector, declarations) of every rule; at-rules' blocks are entered."""
    rules, preludes, text = [], [], ""
    for piece in re.split(r"([{}])", re.sub(r"/\*.*?\*/", "", css, flags=re.S)):
        if piece == "{":
            preludes.append(text.strip())
        elif piece == "}" and not (prelude := preludes.pop()).startswith("@"):
            rules += [(s.strip(), text) for s in prelude.split(",")]
        text = piece
    return rules


@pytest.fixture(scope="module")
def fits():
    cb = pd.read_csv(os.path.join(HERE, "data", "cbpp.csv"))
    cb["period"] = cb["period"].astype(str)
    cb["f"] = cb["size"] - cb["incidence"]
    return {"linear": corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame()),
            "generalized": corvane.glmm("cbind(incidence, f) ~ period + (1 | herd)", cb)}


HEADERS = {
    "linear": [["AIC", "BIC", "logLik", "df.resid"], ["Groups", "Name", "Variance", "Std.Dev.", "Corr"],
               ["", "Estimate", "Std. Error", "df", "t value", "Pr(>|t|)"]],
    "generalized": [["AIC", "BIC", "logLik", "deviance", "df.resid"], ["Groups", "Name", "Variance", "Std.Dev."],
                    ["", "Estimate", "Std. Error", "z value", "Pr(>|z|)"]],
}


@pytest.mark.parametrize("family", HEADERS)
def test_tables_and_numbers(fits, family):
    r = fits[family]
    page = Page(r._repr_html_())
    assert page.tags[0] == ("div", "corvane-summary")
    assert [t[0] for t in page.tables] == HEADERS[family]
    fixed = page.tables[2][1:]
    assert [row[0] for row in fixed] == list(r.fe_names)
    np.testing.assert_allclose([float(row[1]) for row in fixed], r.beta, rtol=1e-4)
    np.testing.assert_allclose([float(row[2]) for row in fixed], r.std_errors, rtol=1e-3)


@pytest.mark.parametrize("family", HEADERS)
def test_stylesheet_stays_inside_and_takes_the_hosts_colours(fits, family):
    rules = css_rules(Page(fits[family]._repr_html_()).style)
    assert len(rules) >= 8
    for selector, body in rules:
        assert re.match(r"\.corvane-summary(?![\w-])", selector), selector
        for prop, value in re.findall(r"([\w-]+)\s*:\s*([^;]+)", body):
            # No opaque colour of its own: on a dark theme it would be unreadable.
            assert not re.search(r"#[0-9a-fA-F]{3,8}\b|\brgb\(|\b(black|white)\b", value), (selector, prop)
            if prop == "color":
                assert value.strip() in ("inherit", "currentColor"), selector
            for alpha in re.findall(r"rgba\([^)]*,\s*([\d.]+)\)", value):
                assert float(alpha) < 1, (selector, prop)


def test_labels_are_escaped():
    rng = np.random.default_rng(5)
    group = np.repeat(["a&b", "<c>", "d"], 6)
    df = pd.DataFrame({"y": rng.normal(size=18), "dose": np.tile(["a", "x <i>y</i> & z"], 9),
                       "g <b>&": group})
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # a singular fit's warning is beside the point
        r = corvane.lmm("y ~ dose + (1 | `g <b>&`)", df)
    page = Page(r._repr_html_())
    assert {tag for tag, _ in page.tags} <= {"div", "style", "p", "br", "span", "table", "thead", "tbody", "tr",
                                               "th", "td"}
    text = "".join(page.text)
    assert "(1 | `g <b>&`)" in text and "dose[T.x <i>y</i> & z]" in text
    assert page.tables[1][1][0] == "g <b>&"
