"""The covariance term of a repeated-measures formula, as R's mmrm writes
it: ``us(AVISIT | USUBJID)``, ``us(AVISIT | ARMCD / USUBJID)`` (a covariance
per level of ARMCD), ``sp_exp(TIME | USUBJID)`` on continuous time. The
rest of the formula is the fixed effects."""

from __future__ import annotations

import functools
import re
from dataclasses import dataclass

from ..formula.parse import split_top

__all__ = ["STRUCTURES", "CovarianceTerm", "split_covariance"]

# Each structure's name, in the order of the documentation.
STRUCTURES = {
    "us": "unstructured",
    "toep": "Toeplitz",
    "toeph": "heterogeneous Toeplitz",
    "ar1": "auto-regressive order one",
    "ar1h": "heterogeneous auto-regressive order one",
    "cs": "compound symmetry",
    "csh": "heterogeneous compound symmetry",
    "ad": "ante-dependence",
    "adh": "heterogeneous ante-dependence",
    "sp_exp": "spatial exponential",
}

_CALL = re.compile(r"^([A-Za-z_][A-Za-z0-9_.]*)\s*\((.*)\)$", re.S)
_NAME = re.compile(r"^[A-Za-z_.][A-Za-z0-9_.]*$|^`[^`]+`$")


@dataclass(frozen=True)
class CovarianceTerm:
    structure: str        # a key of STRUCTURES
    visit: str            # the visit factor (or the time, for sp_exp)
    subject: str
    group: str | None     # covariances per level of this column, or None

    @property
    def spatial(self):
        return self.structure == "sp_exp"


def _column(text, what, formula):
    text = text.strip()
    if not _NAME.match(text):
        raise ValueError(f"the covariance term of {formula!r} must name a column as its {what}, got {text!r}")
    return text.strip("`")


def split_covariance(formula):
    """(fixed-effects formula, CovarianceTerm): the one covariance term
    taken out of the formula's right-hand side."""
    if not isinstance(formula, str):
        raise TypeError(f"formula must be a str, got {type(formula).__name__}")
    return _split(formula)


@functools.lru_cache(maxsize=256)
def _split(formula):
    if "~" not in formula:
        raise ValueError(f"formula {formula!r} has no '~'")
    lhs, rhs = formula.split("~", 1)
    kept, terms = [], []
    for sep, piece in split_top(rhs, "+-"):
        m = _CALL.match(piece)
        if m and m.group(1) in STRUCTURES and "|" in m.group(2):
            if sep == "-":
                raise ValueError(f"the covariance term of {formula!r} cannot be subtracted")
            terms.append((m.group(1), m.group(2)))
        elif piece:
            kept.append((sep, piece))
    if len(terms) != 1:
        names = ", ".join(STRUCTURES)
        raise ValueError(f"formula {formula!r} needs exactly one covariance term such as us(VISIT | SUBJECT) "
                         f"(structures: {names}), found {len(terms)}")
    structure, inner = terms[0]
    left, right = (part.strip() for part in inner.split("|", 1))
    if "," in left:
        raise ValueError(f"{structure}({inner}) in {formula!r}: one time or visit column is supported, got {left!r}")
    visit = _column(left, "visit", formula)
    pieces = [p.strip() for p in right.split("/")]
    if len(pieces) > 2:
        raise ValueError(f"{structure}({inner}) in {formula!r}: write GROUP / SUBJECT, got {right!r}")
    subject = _column(pieces[-1], "subject", formula)
    group = _column(pieces[0], "group", formula) if len(pieces) == 2 else None
    if kept and kept[0][0] == "+":
        kept[0] = ("", kept[0][1])
    fixed_rhs = " ".join(f"{sep} {piece}" if sep else piece for sep, piece in kept) or "1"
    if kept and kept[0][0] == "-":
        fixed_rhs = "1 " + fixed_rhs
    return f"{lhs.strip()} ~ {fixed_rhs}", CovarianceTerm(structure, visit, subject, group)
