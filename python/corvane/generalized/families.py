"""The response families of generalized linear mixed models: their names and
links, what responses they take, and the row-wise formulas the front end
needs (inverse links, variances, deviance residuals, simulation).

The core evaluates the likelihood itself; this module holds the same
definitions for the quantities computed after a fit, on NumPy arrays.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

from .._checks import check_weights

__all__ = ["Family", "family_of", "LINKS"]

# Each family's links, the canonical one first (the negative binomial's log
# link is not canonical, but it is the one glmer.nb and glmmTMB fit).
LINKS = {"binomial": ("logit", "probit", "cloglog"), "poisson": ("log",), "negative_binomial": ("log",),
         "negative_binomial1": ("log",)}

_SQRT2 = math.sqrt(2.0)


def _norm_cdf(x):
    from .._errors import require

    return require("scipy.special", purpose="the probit link").ndtr(x)


@dataclass(frozen=True)
class Family:
    """A family and its link, as glmer names them (``binomial(link = "logit")``).
    A negative binomial carries its dispersion ``phi`` once estimated (None
    before), as the core takes it: NB2's phi (variance mu + mu^2 / phi), or
    NB1's alpha (variance mu (1 + alpha), reported as phi = 1 + alpha)."""

    name: str
    link: str
    phi: float | None = None

    def __str__(self):
        if self.name == "negative_binomial1":
            return (f"Negative Binomial NB1({self.user_phi(self.phi):.4g}) ( {self.link} )" if self.phi
                    else f"Negative Binomial NB1 ( {self.link} )")
        if self.name == "negative_binomial":
            return f"Negative Binomial({self.phi:.4g}) ( {self.link} )" if self.phi else f"Negative Binomial ( {self.link} )"
        return f"{self.name} ( {self.link} )"

    @property
    def negative_binomial(self):
        return self.name in ("negative_binomial", "negative_binomial1")

    def user_phi(self, kappa):
        """The reported dispersion for the core's: NB2's phi itself, NB1's
        phi = 1 + alpha (variance phi mu)."""
        return 1.0 + kappa if self.name == "negative_binomial1" else kappa

    @property
    def canonical(self):
        return self.link == LINKS[self.name][0] and not self.negative_binomial

    @property
    def counts(self):
        """Whether the response is a count (Poisson, negative binomial)."""
        return self.name != "binomial"

    def with_phi(self, phi):
        return Family(self.name, self.link, float(phi))

    def mean(self, eta):
        """mu = g^-1(eta)."""
        eta = np.asarray(eta, dtype=np.float64)
        with np.errstate(over="ignore", under="ignore"):
            if self.link == "logit":
                # to full relative accuracy in the lower tail (a separated
                # row's mean is far below what 1 + tanh resolves)
                e = np.exp(-np.abs(eta))
                return np.where(eta >= 0.0, 1.0, e) / (1.0 + e)
            if self.link == "probit":
                return _norm_cdf(eta)
            if self.link == "cloglog":
                return -np.expm1(-np.exp(eta))
            return np.exp(eta)

    def mu_eta(self, eta):
        """dmu / deta at eta: the delta method's factor from the link scale to the mean's."""
        eta = np.asarray(eta, dtype=np.float64)
        with np.errstate(over="ignore", under="ignore"):
            if self.link == "logit":
                mu = self.mean(eta)
                return mu * (1.0 - mu)
            if self.link == "probit":
                return np.exp(-0.5 * eta * eta) / math.sqrt(2.0 * math.pi)
            if self.link == "cloglog":
                return np.exp(eta - np.exp(eta))
            return np.exp(eta)

    @property
    def response_label(self):
        """The mean's name in marginal-means tables, as emmeans names it."""
        return "prob" if self.name == "binomial" else "rate"

    @property
    def ratio_label(self):
        """The name of a back-transformed difference (the odds ratio of the
        logit link, the ratio of the log link), or None for links whose
        differences have no such meaning."""
        return {"logit": "odds.ratio", "log": "ratio"}.get(self.link)

    def variance(self, mu):
        mu = np.asarray(mu, dtype=np.float64)
        if self.name == "negative_binomial":
            return mu + mu * mu / self.phi
        if self.name == "negative_binomial1":
            return mu * (1.0 + self.phi)
        return mu * (1.0 - mu) if self.name == "binomial" else mu

    def deviance_residuals(self, y, mu, w):
        """sign(y - mu) sqrt(d_i), d_i the unit deviance times the prior weight."""
        y, mu, w = (np.asarray(a, dtype=np.float64) for a in (y, mu, w))
        with np.errstate(divide="ignore", invalid="ignore"):
            if self.name == "binomial":
                d = 2.0 * w * (_xlogy_ratio(y, mu) + _xlogy_ratio(1.0 - y, 1.0 - mu))
            elif self.name == "negative_binomial":
                phi = self.phi
                d = 2.0 * w * (_xlogy_ratio(y, mu) - (y + phi) * np.log((y + phi) / (mu + phi)))
            elif self.name == "negative_binomial1":
                d = 2.0 * w * (_nb1_loglik(y, _nb1_best_mean(y, self.phi), self.phi) - _nb1_loglik(y, mu, self.phi))
            else:
                d = 2.0 * w * (_xlogy_ratio(y, mu) - (y - mu))
        return np.sign(y - mu) * np.sqrt(np.maximum(d, 0.0))

    def pearson_residuals(self, y, mu, w):
        """(y - mu) sqrt(w / V(mu)); 0 where the mean is the response itself
        at a boundary (a separated row's mean rounds to 0 or 1)."""
        y, mu, w = (np.asarray(a, dtype=np.float64) for a in (y, mu, w))
        with np.errstate(divide="ignore", invalid="ignore"):
            out = (y - mu) * np.sqrt(w / self.variance(mu))
        return np.where(y == mu, 0.0, out)

    def simulate(self, mu, w, rng):
        """Responses drawn at the means (binomial: proportions of w trials)."""
        if self.name == "binomial":
            trials = np.rint(w).astype(np.int64)
            return rng.binomial(trials, np.clip(mu, 0.0, 1.0)) / trials
        if self.name == "negative_binomial":
            return rng.negative_binomial(self.phi, self.phi / (self.phi + mu)).astype(np.float64)
        if self.name == "negative_binomial1":  # size mu / alpha, success probability 1 / (1 + alpha)
            size = np.maximum(np.asarray(mu, dtype=np.float64) / self.phi, np.finfo(float).tiny)
            return rng.negative_binomial(size, 1.0 / (1.0 + self.phi)).astype(np.float64)
        return rng.poisson(mu).astype(np.float64)


def _nb1_loglik(y, mu, alpha):
    """The NB1 log-density at mean mu less its terms in y alone:
    log Gamma(y + r) - log Gamma(r) - r log1p(alpha), r = mu / alpha."""
    from .._errors import require

    gammaln = require("scipy.special", purpose="the NB1 negative binomial's deviance residuals").gammaln
    r = mu / alpha
    with np.errstate(divide="ignore", invalid="ignore"):
        out = np.where(y > 0, gammaln(y + r) - gammaln(np.where(r > 0, r, 1.0)), 0.0) - r * math.log1p(alpha)
    return out


def _nb1_best_mean(y, alpha):
    """Per row, the mean that maximises the NB1 log-density of y (the
    saturated model's: unlike NB2's it is not y itself, as r = mu / alpha
    enters log Gamma): the root in r of psi(y + r) - psi(r) = log1p(alpha),
    decreasing in r, by bisection on log r; 0 for y = 0."""
    from .._errors import require

    digamma = require("scipy.special", purpose="the NB1 negative binomial's deviance residuals").digamma
    y = np.asarray(y, dtype=np.float64)
    out = np.zeros_like(y)
    pos = y > 0
    if not pos.any():
        return out
    yp, target = y[pos], math.log1p(alpha)
    # psi(y + r) - psi(r) lies between y / (y + r) and y / r: the root
    # between y (1 / L - 1) and y / L (r), widened.
    lo = np.log(np.maximum(yp * (1.0 / target - 1.0), 0.0) + 1e-300) - 1.0
    lo = np.minimum(lo, np.log(yp / target) - 40.0)
    hi = np.log(yp / target) + 1.0
    for _ in range(200):
        mid = 0.5 * (lo + hi)
        r = np.exp(mid)
        above = digamma(yp + r) - digamma(r) > target
        lo, hi = np.where(above, mid, lo), np.where(above, hi, mid)
    out[pos] = np.exp(0.5 * (lo + hi)) * alpha
    return out


def _xlogy_ratio(y, mu):
    """y log(y / mu), 0 where y = 0."""
    out = np.zeros_like(y)
    pos = y > 0
    out[pos] = y[pos] * np.log(y[pos] / mu[pos])
    return out


def family_of(family, link=None):
    """The Family for a name ("binomial", "poisson", "negative_binomial") and
    a link (None: the canonical one, the log link for the negative
    binomial); ValueError naming what is allowed otherwise."""
    if isinstance(family, Family):
        if link is not None and link != family.link:
            raise ValueError(f"link={link!r} contradicts the family's link {family.link!r}")
        return family
    if not isinstance(family, str) or family not in LINKS:
        raise ValueError(f"family must be one of {', '.join(map(repr, LINKS))}, got {family!r}")
    links = LINKS[family]
    if link is None:
        link = links[0]
    if link not in links:
        raise ValueError(f"the {family} family takes the link{'s' if len(links) > 1 else ''} "
                         f"{', '.join(map(repr, links))}, got {link!r}")
    return Family(family, link)


def check_response(fam, y, w, name):
    """The response and weights as the core takes them (binomial: y in
    [0, 1] with w trials and w * y whole successes; Poisson: non-negative
    counts), or ValueError naming the column and the number of rows at
    fault. Non-integer Poisson counts are allowed with a warning (the
    likelihood is then the Poisson density's continuation), as in lme4."""
    y = np.asarray(y, dtype=np.float64)
    w = np.asarray(w, dtype=np.float64)
    check_weights(w)
    if fam.name == "binomial":
        out = (y < 0) | (y > 1)
        if out.any():
            k = int(out.sum())
            raise ValueError(f"the binomial response {name!r} must lie in [0, 1] (0/1, a boolean, or a "
                             f"proportion with weights= the trials): {k} row{'s are' if k != 1 else ' is'} "
                             f"outside, e.g. {y[out][0]:g}")
        s = w * y
        frac = np.abs(s - np.rint(s)) > 1e-7 * np.maximum(1.0, s)
        if frac.any():
            k = int(frac.sum())
            raise ValueError(f"the binomial response {name!r} times weights= (the trials) must be a whole "
                             f"number of successes: {k} row{'s are' if k != 1 else ' is'} not, e.g. "
                             f"{s[frac][0]:g}")
    else:
        label = "Poisson" if fam.name == "poisson" else "negative binomial"
        neg = y < 0
        if neg.any():
            k = int(neg.sum())
            raise ValueError(f"the {label} response {name!r} must be a non-negative count: {k} "
                             f"row{'s are' if k != 1 else ' is'} negative, e.g. {y[neg][0]:g}")
        frac = y != np.rint(y)
        if frac.any():
            from .._errors import warn_user

            k = int(frac.sum())
            warn_user(f"the {label} response {name!r} has {k} non-integer value{'s' if k != 1 else ''} "
                      f"(e.g. {y[frac][0]:g}): the likelihood is the {label} density's continuation "
                      f"(log y! as log Gamma(y + 1))", UserWarning)
    return y, w
