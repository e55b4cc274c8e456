"""Warning classes, and the one helper that imports an optional dependency.

Warnings have their own classes so that users can filter them, for example
``warnings.simplefilter("error", corvane.ConvergenceWarning)``.
"""

from __future__ import annotations

import importlib
import sys

__all__ = ["ConvergenceWarning", "SingularFitWarning", "RankDeficiencyWarning", "SeparationWarning",
           "ProfileWarning", "require", "warn_user"]


class ConvergenceWarning(UserWarning):
    """The fit could not certify its optimum (see ``result.certificate``)."""


class SingularFitWarning(UserWarning):
    """The fit is on the boundary: the random-effects covariance is singular
    (a variance of zero or a correlation of +-1)."""


class RankDeficiencyWarning(UserWarning):
    """Fixed-effect columns that are (nearly) linear combinations of others
    were dropped, as lme4 drops them."""


class SeparationWarning(UserWarning):
    """Fixed effects of a generalized fit have no finite estimate: the rows
    they alone describe all sit at a boundary of the response (quasi- or
    complete separation). Their standard errors are reported as inf; every
    other one stands."""


class ProfileWarning(UserWarning):
    """A profile interval has an end where the profile does not reach the
    quantile before the parameter's bound (0 for a standard deviation, +-1 for
    a correlation, +-inf for a fixed effect): that end is the bound itself."""

# The extra that provides each optional module.
_EXTRAS = {
    "pandas": "formula", "formulaic": "formula", "scipy": "formula",
    "pyarrow": "arrow", "dask": "dask", "distributed": "dask",
    "matplotlib": "plot", "tqdm": "formula", "polars": "polars",
}


def require(*modules, purpose=None):
    """Import and return the named modules (one module: the module itself),
    or raise ImportError naming the extra to install."""
    loaded = []
    for name in modules:
        module = sys.modules.get(name)  # a module imported before needs no import machinery
        if module is not None:
            loaded.append(module)
            continue
        try:
            loaded.append(importlib.import_module(name))
        except ImportError as exc:
            extra = _EXTRAS.get(name.split(".")[0], name)
            what = f" for {purpose}" if purpose else ""
            raise ImportError(f"corvane needs {name}{what} ({exc}); install it with: "
                              f"pip install corvane[{extra}] (in a source checkout: "
                              f"pip install \".[{extra}]\")") from exc
    return loaded[0] if len(loaded) == 1 else tuple(loaded)


def warn_user(message, category):
    """warnings.warn attributed to the first caller outside this package, so
    that the user's own line is the one reported (however deep the call)."""
    import os
    import sys
    import warnings

    package = os.path.dirname(os.path.abspath(__file__)) + os.sep
    level, frame = 2, sys._getframe(1)  # stacklevel 2 is the caller of warn_user
    while frame is not None and os.path.abspath(frame.f_code.co_filename).startswith(package):
        frame = frame.f_back
        level += 1
    warnings.warn(message, category, stacklevel=level)
