"""The result's labelled outputs: pandas tables of its numbers (ranef, coef,
varcorr, cov_params, conf_int), its JSON-ready dict, and statsmodels' names
as a table of aliases.

Every statsmodels-style name is declared once, in :data:`STATSMODELS_NAMES`,
as a label put on one of the result's own quantities: two names can never
give two numbers. Nothing here computes a statistic.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING

import numpy as np
from .. import _dist

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd

__all__ = ["ResultTables", "STATSMODELS_NAMES", "declare_aliases"]


class _Alias:
    """A statsmodels name for one of the result's own quantities: reads the
    attribute ``target`` and labels it ("by_term": a Series by fixed effect;
    "by_row": a Series on the input's index; "as_is")."""

    def __init__(self, target, label):
        self.target, self.label = target, label
        kind = {"by_term": " (a pandas Series by fixed effect)", "by_row": " (a pandas Series on the input's index)",
                "as_is": ""}[label]
        self.__doc__ = f"statsmodels' name for :attr:`{target}`{kind}."

    def __set_name__(self, owner, name):
        self.name = name

    def __get__(self, obj, owner=None):
        if obj is None:
            return self
        value = getattr(obj, self.target)
        if self.label == "by_term":
            return obj._series(value, self.name)
        if self.label == "by_row":
            return obj._as_series(value, self.name)
        return value

    def __set__(self, obj, value):
        # A data descriptor: no instance attribute can shadow the alias.
        raise AttributeError(f"{self.name} is statsmodels' name for {self.target}, and read-only")


# statsmodels' name -> (the result's own attribute, how it is labelled).
# Methods that label a computation (conf_int: confint's Wald rows;
# cov_params: cov_beta as a table) are ResultTables' methods below.
STATSMODELS_NAMES = {
    "params": ("beta", "by_term"),
    "bse": ("std_errors", "by_term"),
    "tvalues": ("t_values", "by_term"),
    "pvalues": ("p_values", "by_term"),
    "fittedvalues": ("fitted_values", "by_row"),
    "resid": ("residuals", "by_row"),
    "llf": ("loglik", "as_is"),
    "nobs": ("n_obs", "as_is"),
}


def declare_aliases(cls):
    """Puts every name of STATSMODELS_NAMES on the class (in its own
    namespace, as data descriptors no instance attribute can shadow)."""
    for name, (target, label) in STATSMODELS_NAMES.items():
        alias = _Alias(target, label)
        alias.__set_name__(cls, name)
        setattr(cls, name, alias)
    return cls


class ResultTables:
    """The labelled outputs of a fitted result (mixed into LmmResult)."""

    def _series(self, values, name):
        pd = _dist.pandas()
        return pd.Series(np.asarray(values, dtype=np.float64), index=pd.Index(self.fe_names, name="term"),
                         name=name)

    def _as_series(self, values, name):
        pd = _dist.pandas()
        if isinstance(values, pd.Series):
            return values.rename(name)
        return pd.Series(values, name=name)

    def conf_int(self, alpha: float = 0.05) -> "pd.DataFrame":
        """Wald intervals of the fixed effects, labelled as statsmodels labels
        them: the rows of ``confint(level=1 - alpha, method="wald")``.

        Parameters
        ----------
        alpha : float
            1 - the coverage (0.05: 95 % intervals).

        Returns
        -------
        pandas.DataFrame
            The columns 0 (lower) and 1 (upper), one row per fixed effect.

        Raises
        ------
        ValueError
            When alpha is not between 0 and 1.

        Examples
        --------
        >>> import corvane
        >>> from corvane._example import example_frame
        >>> r = corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame())
        >>> r.conf_int().round(1).loc["Days"].tolist()
        [8.7, 14.6]
        """
        if isinstance(alpha, bool) or not isinstance(alpha, (int, float)) or not 0.0 < float(alpha) < 1.0:
            raise ValueError(f"alpha must be between 0 and 1, got {alpha!r}")
        table = self.confint(level=1.0 - float(alpha), method="wald", which=self.fe_names)
        table.columns = [0, 1]
        table.index.name = "term"
        return table

    def cov_params(self) -> "pd.DataFrame":
        """:attr:`cov_beta` labelled: the covariance of the fixed effects.

        Returns
        -------
        pandas.DataFrame
            p x p, rows and columns named by fixed effect.

        Examples
        --------
        >>> import corvane
        >>> from corvane._example import example_frame
        >>> r = corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame())
        >>> r.cov_params().shape
        (2, 2)
        """
        pd = _dist.pandas()
        return pd.DataFrame(self.cov_beta, index=self.fe_names, columns=self.fe_names)

    def ranef(self, condvar: bool = False) -> "pd.DataFrame":
        """The conditional modes of the random effects.

        Parameters
        ----------
        condvar : bool
            Also give each mode's conditional standard deviation, in the columns
            "condsd(NAME)".

        Returns
        -------
        pandas.DataFrame
            One row per group (index: the group labels), one column per random
            effect.

        Examples
        --------
        >>> import corvane
        >>> from corvane._example import example_frame
        >>> r = corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame())
        >>> r.ranef(condvar=True).columns.tolist()
        ['(Intercept)', 'Days', 'condsd((Intercept))', 'condsd(Days)']
        """
        pd = _dist.pandas()
        out = pd.DataFrame(self._b, index=pd.Index(self.group_labels, name=self.group_name),
                           columns=list(self.re_names))
        if condvar:
            cc = self.conditional_covariances
            sd = np.sqrt(np.maximum(np.array([np.diag(cc[g]) for g in self.group_labels]), 0.0))
            for k, name in enumerate(self.re_names):
                out[f"condsd({name})"] = sd[:, k]
        return out

    def coef(self) -> "pd.DataFrame":
        """The coefficients of each group, as lme4's ``coef(fit)``: each
        fixed effect plus the group's conditional mode of the random effect
        of the same name (the fixed effect alone where there is none).

        Returns
        -------
        pandas.DataFrame
            One row per group (index: the group labels), one column per fixed
            effect.

        Raises
        ------
        ValueError
            When a random effect has no fixed effect of its name (lme4 cannot
            align them either); :meth:`ranef` gives the modes alone.

        Examples
        --------
        >>> import corvane
        >>> from corvane._example import example_frame
        >>> r = corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame())
        >>> c = r.coef()
        >>> c.shape, bool(abs(c["Days"].mean() - r.params["Days"]) < 1e-6)
        ((18, 2), True)
        """
        pd = _dist.pandas()
        fixed = list(self.fe_names)
        unmatched = [name for name in self.re_names if name not in fixed]
        if unmatched:
            raise ValueError(f"coef: the random effects {unmatched} have no fixed effect of the same name "
                             f"(fixed effects: {fixed}), so group coefficients cannot be formed; ranef() gives "
                             f"the conditional modes")
        out = pd.DataFrame(np.tile(np.asarray(self.beta, dtype=np.float64), (len(self.group_labels), 1)),
                           index=pd.Index(self.group_labels, name=self.group_name), columns=fixed)
        b = np.asarray(self._b, dtype=np.float64).reshape(len(self.group_labels), len(self.re_names))
        for k, name in enumerate(self.re_names):
            out[name] = out[name].to_numpy() + b[:, k]
        return out

    def varcorr(self) -> "pd.DataFrame":
        """The variance components as the summary shows them.

        Returns
        -------
        pandas.DataFrame
            Rows (group, name) for each random effect and the residual; columns
            "Variance", "Std.Dev." and, with several random effects, one
            correlation column per earlier random effect (no residual row
            for a generalized model).

        Examples
        --------
        >>> import corvane
        >>> from corvane._example import example_frame
        >>> r = corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame())
        >>> r.varcorr().columns.tolist()
        ['Variance', 'Std.Dev.', 'Corr((Intercept))']
        """
        pd = _dist.pandas()
        rows, index = [], []
        for j, name in enumerate(self.re_names):
            row = {"Variance": self.re_variances[j], "Std.Dev.": self.re_std[j]}
            for k in range(len(self.re_names) - 1):
                row[f"Corr({self.re_names[k]})"] = self.re_corr[j, k] if k < j else np.nan
            rows.append(row)
            index.append((self.group_name, name))
        for label, variance, sd in self._residual_rows():  # none for a generalized model
            rows.append({"Variance": variance, "Std.Dev.": sd})
            index.append((label, ""))
        return pd.DataFrame(rows, index=pd.MultiIndex.from_tuples(index, names=["Groups", "Name"]))

    def to_dict(self) -> dict:
        """Every reported quantity as plain Python values.

        Returns
        -------
        dict
            Lists, floats, ints and strings (non-finite values as None), ready for
            ``json.dumps``; groups come as a list, in the order of
            ``random_effects``. Each fixed effect has its estimate, std_error,
            t_value, Satterthwaite's df and the t test's p_value (those of
            :meth:`summary`).

        Raises
        ------
        ImportError
            Without scipy (the p values need it): ``pip install corvane[formula]``.

        Examples
        --------
        >>> import json, corvane
        >>> from corvane._example import example_frame
        >>> r = corvane.lmm("Reaction ~ Days + (Days | Subject)", example_frame())
        >>> len(json.dumps(r.to_dict())) > 1000
        True
        """
        def mat(a):
            return [[plain(v) for v in row] for row in np.asarray(a)]

        df, p_values = self._t_tests()
        ccov = self.conditional_covariances
        return {
            "formula": self.formula,
            "method": self.method,
            "reml": self.reml,
            "response": self.response_name,
            "group": self.group_name,
            "n_obs": int(self.n_obs),
            "n_groups": int(self.n_groups),
            "n_dropped": int(self.n_dropped),
            "fixed_effects": {
                name: {"estimate": plain(b), "std_error": plain(se), "t_value": plain(t), "df": plain(d),
                       "p_value": plain(p)}
                for name, b, se, t, d, p in zip(self.fe_names, self.beta, self.std_errors, self.t_values, df,
                                                p_values)},
            "dropped_columns": list(self.dropped_columns),
            "cov_beta": mat(self.cov_beta),
            "random_effect_names": list(self.re_names),
            "cov_re": mat(self.cov_re),
            "re_variances": [plain(v) for v in self.re_variances],
            "re_std": [plain(v) for v in self.re_std],
            "re_corr": mat(self.re_corr),
            "sigma": plain(self.sigma),
            "sigma2": plain(self.sigma2),
            "theta": [plain(v) for v in self.theta],
            "criterion": plain(self.criterion),
            "loglik": plain(self.loglik),
            "aic": plain(self.aic),
            "bic": plain(self.bic),
            "n_params": int(self.n_params),
            "certificate": {k: (plain(v) if isinstance(v, float) else v) for k, v in self.certificate.items()},
            "converged": self.converged,
            "message": self.message,
            "iterations": self.iterations,
            "evaluations": self.evaluations,
            "groups": [json_label(g) for g in self.group_labels],
            "random_effects": [[plain(v) for v in b] for b in self._b],
            "conditional_covariances": [mat(ccov[g]) for g in self.group_labels],
        }


def plain(v):
    v = float(v)
    return v if math.isfinite(v) else None


def json_label(label):
    label = label.item() if isinstance(label, np.generic) else label
    return label if isinstance(label, (str, int, float, bool)) and not (
        isinstance(label, float) and not math.isfinite(label)) else str(label)


