"""The criterion's profiles on the core's parametrisation: the criterion
minimised over the other parameters with one parameter (an sd, a
correlation, sigma or a fixed effect, on the user's scale) held at a value.
Profile intervals (:mod:`corvane.inference.profile.intervals`) search along them.

The ``*_state`` methods give what :mod:`corvane.inference.profile.ends` needs to find
an interval's end directly, without tracing the profile.
"""

from __future__ import annotations

import math

import numpy as np

from .ends import Secant, posv
from ...design.reparam import theta_to_lambda, tril_pairs

__all__ = ["Profiler"]


def _rows_except(x, q, skip):
    """A q x q lower-triangular matrix whose rows other than `skip` are read
    in order from the start of x; returns it and how many values were read
    (0 when q = 1: the only row is skipped)."""
    lu = np.zeros((q, q))
    k = 0
    for j in range(q):
        if j != skip:
            lu[j, :j + 1] = x[k:k + j + 1]
            k += j + 1
    return lu, k


class Profiler:
    """Criterion profiles on the core's scale. D(theta, s) = ld(theta) +
    nu log(2 pi s^2) + pwrss(theta)/s^2 is the unprofiled criterion; every
    user parameter is a smooth function of (theta, s): Sigma_u = A_z Lambda
    Lambda' A_z' is the user's relative covariance, sigma_u = s / y_scale.

    Each ``*_profile`` method returns (value, theta): the criterion minimised
    over the other parameters with one held at a value, and the minimiser (a
    warm start for the next value). A value of inf means the inner fit failed."""

    def __init__(self, result, reml):
        self.result = result
        model = result.model
        self.core = model.core
        self.reml = reml
        self.rp = model.reparam
        self.q = model.q
        # The variance parameters are theta's free entries (model.theta_pairs);
        # the criterion's pieces are over the whole lower triangle (k_all).
        self.pairs = list(model.theta_pairs)
        self.k = len(self.pairs)
        self.k_all = len(tril_pairs(self.q))
        self.free = np.arange(self.k_all) if model.theta_free is None else np.asarray(model.theta_free)
        self._fixed = np.setdiff1d(np.arange(self.k_all), self.free)
        self._block_mask = None
        if model.theta_free is not None:
            self._block_mask = np.zeros((self.q, self.q), dtype=bool)
            for a, b in self.pairs:
                self._block_mask[a, b] = True
        self.lower = np.array(self.core.lower_bounds())
        self._su_key = self._su = None
        self.calls = 0
        # For the direct end search: theta's free entries at the fit, the
        # (row, column) of Lambda each one is, and which pairs of them share
        # a column (the second derivatives of Sigma_u = A_z Lambda Lambda' A_z'
        # couple only those).
        tril = tril_pairs(self.q)
        self._all_free = model.theta_free is None
        self.x_hat = np.asarray(result.theta_core, dtype=np.float64)[self.free]
        self._rows = np.array([tril[i][0] for i in self.free], dtype=np.int64)
        self._cols = np.array([tril[i][1] for i in self.free], dtype=np.int64)
        self._same_col = (self._cols[:, None] == self._cols[None, :]).astype(np.float64)
        self._az = np.asarray(self.rp.a_z)
        self._a_rows = self._az[:, self._rows]  # [i, s] = A_z[i, a_s]
        self._cov_hessians = {}
        self._curv = None

    # -- the core's pieces at theta
    def pieces(self, theta):
        self.calls += 1
        try:
            vd = self.core.variance_derivatives(list(map(float, theta)), reml=self.reml)
        except RuntimeError:
            return None
        if not (math.isfinite(vd["deviance"]) and vd["pwrss"] > 0):
            return None
        nu, r2 = vd["nmp"], vd["pwrss"]
        ld = vd["deviance"] - nu * (1.0 + math.log(2.0 * math.pi * r2 / nu))
        dld = np.asarray(vd["grad"]) - nu * np.asarray(vd["pwrss_grad"]) / r2
        vd["ld"], vd["dld"] = ld, dld
        return vd

    def deviance(self, theta):
        """The criterion with sigma profiled out (inf where the core fails)."""
        self.calls += 1
        try:
            f = self.core.deviance(list(map(float, theta)), reml=self.reml)
        except RuntimeError:
            return math.inf
        return f if math.isfinite(f) else math.inf

    def sigma_u(self, theta):
        """The user's relative covariance A_z Lambda Lambda' A_z' and its
        derivatives in theta (Reparam.relative_covariance_derivatives), kept
        for the last theta."""
        key = np.asarray(theta, dtype=np.float64).tobytes()
        if self._su_key == key:
            return self._su
        self._su_key, self._su = key, self.rp.relative_covariance_derivatives(theta)
        return self._su

    # -- inner minimisations: (value, theta) of the profile at a parameter value
    def _minimize(self, fun, theta0):
        """Minimise fun (value and gradient in theta) from theta0: (value,
        theta). The diagonal entries of Lambda enter through their logarithms,
        so the search is unconstrained and never steps onto a bound where the
        objective is infinite (an optimum on a bound is approached, with the
        objective converging). A diagonal entry at (or next to) 0 is also
        started from 0.1: the criterion is even in it, so its gradient
        vanishes at 0 and a search from there stays on the bound even where
        the profile's minimum is inside; the lower of the two is kept."""
        from scipy.optimize import minimize

        diag = np.isfinite(self.lower)
        tiny = 1e-10 * max(1.0, float(np.max(np.abs(theta0))))

        def to_theta(x):
            t = np.array(x, dtype=float)
            t[diag] = np.exp(np.clip(x[diag], -700.0, 700.0))
            return t

        def wrapped(x):
            # A trial step far out (theta ~ e^700) overflows: it is treated
            # as infeasible, so the line search comes back, and no overflow
            # reaches the user as a warning.
            with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
                t = to_theta(x)
                f, g = fun(t)
                g = np.array(g, dtype=float)
                g[diag] *= t[diag]
                g[self._fixed] = 0.0  # entries held at 0 between uncorrelated blocks stay there
            if not (math.isfinite(f) and np.all(np.isfinite(g))):
                return 1e300, np.zeros_like(x)
            return f, g

        x0 = np.array(theta0, dtype=float)
        at_zero = diag & (x0 < 1e-4)
        x0[diag] = np.log(np.maximum(x0[diag], tiny))
        starts = [x0]
        if np.any(at_zero):
            x1 = x0.copy()
            x1[at_zero] = math.log(0.1)
            starts.append(x1)
        best = None
        for x in starts:
            res = minimize(wrapped, x, jac=True, method="L-BFGS-B",
                           options={"ftol": 1e-14, "gtol": 1e-8, "maxiter": 500})
            if best is None or res.fun < best.fun:
                best = res
        f = float(best.fun)
        return (f if f < 1e300 else math.inf), to_theta(best.x)

    @staticmethod
    def _minimize_free(fun, x0, gtol=1e-9):
        """Minimise fun (value only) over x from x0: (value, x). With no free
        variable the value at x0 is the minimum."""
        from scipy.optimize import minimize

        x0 = np.asarray(x0, dtype=float)
        if x0.size == 0:
            return fun(x0), x0

        def safe(x):
            with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
                f = fun(x)
            return f if math.isfinite(f) else 1e300

        res = minimize(safe, x0, method="L-BFGS-B", options={"ftol": 1e-14, "gtol": gtol, "maxiter": 1000})
        f = float(res.fun)
        return (f if f < 1e300 else math.inf), res.x

    def sigma_profile(self, v, theta0):
        sc2 = self.rp.sigma_to_core(v) ** 2

        def fun(theta):
            pc = self.pieces(theta)
            if pc is None:
                return math.inf, np.zeros(self.k_all)
            nu = pc["nmp"]
            f = pc["ld"] + nu * math.log(2.0 * math.pi * sc2) + pc["pwrss"] / sc2
            return f, pc["dld"] + np.asarray(pc["pwrss_grad"]) / sc2

        return self._minimize(fun, theta0)

    def sd_profile(self, kk, v, theta0):
        """The criterion with the user's sd of random effect kk fixed at v > 0,
        on the core's theta (s^2 = (v y_scale)^2 / Sigma_u[kk, kk])."""
        ys2v2 = self.rp.sigma_to_core(v) ** 2

        def fun(theta):
            pc = self.pieces(theta)
            su, dsu = self.sigma_u(theta)
            u = su[kk, kk]
            if pc is None or not 0.0 < u < math.inf or not ys2v2 / u > 0.0:
                return math.inf, np.zeros(self.k_all)
            du = dsu[:, kk, kk]
            nu, r2 = pc["nmp"], pc["pwrss"]
            f = pc["ld"] + nu * math.log(2.0 * math.pi * ys2v2 / u) + r2 * u / ys2v2
            g = pc["dld"] - nu * du / u + (np.asarray(pc["pwrss_grad"]) * u + r2 * du) / ys2v2
            return f, g

        return self._minimize(fun, theta0)

    def sd_at(self, kk, v, theta0):
        """The sd profile at v >= 0: on theta (analytic gradients), then
        polished on the user's factor from that minimiser (the core's theta
        must cancel along a narrow valley where the user's sd is small next to
        the others, and the user's factor has none); v = 0 on the user's
        factor alone. The polish starts at the first result, so it can only
        lower it."""
        if v == 0.0:
            return self.sd_profile_user(kk, 0.0, theta0)
        f1, th1 = self.sd_profile(kk, v, theta0)
        f2, th2 = self.sd_profile_user(kk, v, th1 if math.isfinite(f1) else theta0)
        return (f2, th2) if f2 <= f1 else (f1, th1)

    def cor_profile(self, a, b, rho, theta0):
        """The criterion (sigma profiled out) with the user's correlation of
        random effects a and b (a > b) fixed at rho in [-1, 1]. The user's
        factor L (with Sigma_u = L L') is parametrised so that the constraint
        holds: row a is r (rho u + sqrt(1 - rho^2) v), u the unit vector of row
        b, v a unit vector orthogonal to u in the span of rows 0..a (an angle's
        worth of freedom per extra dimension); the other rows are free. With
        uncorrelated blocks the span is that of the block's columns among
        0..a, the only entries of row a that are not held at 0 (the vectors
        built in the whole span would lose their parts outside the block, and
        the correlation with them)."""
        q = self.q
        cols = np.arange(a + 1) if self._block_mask is None else np.flatnonzero(self._block_mask[a, :a + 1])
        dim = len(cols)
        n_w = dim - 1 if dim >= 3 else 0

        def unpack(x):
            lu, k = _rows_except(x, q, a)
            r = abs(x[k])  # a negative length would turn the correlation into -rho
            lb = lu[b, cols]
            nb = math.sqrt(float(lb @ lb))
            if not nb > 0:
                return None
            u = lb / nb
            basis = self._orthonormal_complement(u, dim)
            if n_w:
                w = x[k + 1:k + 1 + n_w]
                nw = math.sqrt(float(w @ w))
                if not nw > 0:
                    return None
                v = basis @ (w / nw)
            else:
                v = basis[:, 0]
            lu[a, :] = 0.0
            lu[a, cols] = r * (rho * u + math.sqrt(max(1.0 - rho * rho, 0.0)) * v)
            return lu

        def fun(x):
            lu = unpack(x)
            return math.inf if lu is None else self.deviance(self._user_to_theta(lu))

        # Start: the user's factor at theta0, row a replaced by its constrained
        # form. A row b of zero (an sd at 0) gets a small direction of its own,
        # so that the correlation is defined.
        lu0 = theta_to_lambda(self.rp.theta(theta0), q)
        if not np.any(lu0[b]):
            lu0[b, b] = 1e-3 * max(float(np.max(np.abs(lu0))), 1.0)
        x0 = np.concatenate([lu0[j, :j + 1] for j in range(q) if j != a] + [[math.sqrt(float(lu0[a] @ lu0[a]))]])
        if n_w:
            lb = lu0[b, cols]
            u = lb / max(math.sqrt(float(lb @ lb)), 1e-300)
            basis = self._orthonormal_complement(u, dim)
            w0 = basis.T @ lu0[a, cols]
            if not np.any(w0):
                w0 = np.ones(n_w)
            x0 = np.concatenate([x0, w0])
        f, x = self._minimize_free(fun, x0, gtol=1e-8)
        lu = unpack(x)
        return f, (theta0 if lu is None else self._user_to_theta(lu))

    def sd_profile_user(self, kk, v, theta0):
        """The sd profile on the user's factor L (Sigma_u = L L'): row kk of L
        is free and s = v y_scale / |L[kk]|, the other rows are free; at v = 0
        the row is 0 and sigma is profiled out (for q = 1 nothing is left free:
        the value is the criterion at theta = 0)."""
        q = self.q

        def unpack(x):
            lu, k = _rows_except(x, q, kk)
            if v > 0:
                lu[kk, :kk + 1] = x[k:k + kk + 1]
            return lu

        def fun(x):
            lu = unpack(x)
            theta = self._user_to_theta(lu)
            if v == 0:
                return self.deviance(theta)
            norm2 = float(lu[kk] @ lu[kk])
            if not norm2 > 0:
                return math.inf
            pc = self.pieces(theta)
            if pc is None:
                return math.inf
            sc2 = self.rp.sigma_to_core(v) ** 2 / norm2
            return pc["ld"] + pc["nmp"] * math.log(2.0 * math.pi * sc2) + pc["pwrss"] / sc2

        lu0 = theta_to_lambda(self.rp.theta(theta0), q)
        x0 = [lu0[j, :j + 1] for j in range(q) if j != kk]
        if v > 0:
            d0 = lu0[kk, :kk + 1].copy()
            if not np.any(d0):
                # s at the fit's sigma: |L[kk]| = v / sigma
                sigma = self.result.sigma
                d0[kk] = v / sigma if sigma > 0 and math.isfinite(v / sigma) else 1e-3
            x0.append(d0)
        x0 = np.concatenate(x0) if x0 else np.zeros(0)
        f, x = self._minimize_free(fun, x0)
        return f, self._user_to_theta(unpack(x))

    def _user_to_theta(self, lu):
        """The core's theta for the user's factor L (Sigma_u = L L'); with
        uncorrelated blocks, L's entries between blocks are held at 0 (the
        searches' extra directions there are flat)."""
        if self._block_mask is not None:
            lu = np.where(self._block_mask, lu, 0.0)
        return self.rp.core_theta_of_factor(lu)

    @staticmethod
    def _orthonormal_complement(u, dim):
        """Columns: an orthonormal basis of the vectors of R^dim orthogonal to u."""
        m = np.eye(dim) - np.outer(u, u)
        qmat, rmat = np.linalg.qr(m)
        keep = np.abs(np.diag(rmat)) > 1e-12
        return qmat[:, keep][:, : dim - 1]

    def beta_profile(self, j, v, theta0):
        """The ML criterion with beta_j (the user's) fixed at v."""
        rp = self.rp
        l = rp.beta_map()[j]
        target = v - float(rp.beta_offset()[j])  # l' beta~ at beta_j = v

        def fun(theta):
            pc = self.pieces(theta)
            if pc is None:
                return math.inf, np.zeros(self.k_all)
            c = np.linalg.inv(np.asarray(pc["xvx"]))
            cl = c @ l
            w = float(l @ cl)
            dev = float(l @ np.asarray(pc["beta"])) - target
            r2b = pc["pwrss"] + dev * dev / w
            n = pc["nmp"]
            f = pc["ld"] + n * (1.0 + math.log(2.0 * math.pi * r2b / n))
            dw = -np.einsum("i,kij,j->k", cl, np.asarray(pc["xvx_grad"]), cl)
            ddev = np.asarray(pc["beta_grad"]) @ l
            dr2b = np.asarray(pc["pwrss_grad"]) + 2.0 * dev * ddev / w - dev * dev * dw / (w * w)
            return f, pc["dld"] + n * dr2b / r2b

        return self._minimize(fun, theta0)

    # -- the direct end search: derivatives on theta's free entries x
    def derivatives(self, x):
        """The core's variance_derivatives at the free entries x, restricted
        to them; None where the criterion is infinite."""
        self.calls += 1
        if self._all_free:
            theta = x.tolist()
        else:
            full = np.zeros(self.k_all)
            full[self.free] = x
            theta = full.tolist()
        try:
            vd = self.core.variance_derivatives(theta, reml=self.reml)
        except RuntimeError:
            return None
        if not (math.isfinite(vd["deviance"]) and vd["pwrss"] > 0):
            return None
        if not self._all_free:
            f = self.free
            for key in ("grad", "pwrss_grad", "beta_grad", "xvx_grad"):
                vd[key] = vd[key][f]
            vd["hessian"] = vd["hessian"][np.ix_(f, f)]
        return vd

    def curvature(self):
        """(d, h, p): the first derivatives in the free entries of pwrss,
        beta~ and X'V^-1 X at the fit, stacked as the columns of d (k x (1 +
        p + p^2)), and their second derivatives h (k x k x the same), by
        forward differences of the exact first derivatives (steps of 1e-6,
        relative past 1); None when a step leaves the criterion's domain."""
        if self._curv is None:
            self._curv = False
            x = self.x_hat
            base = self.derivatives(x)
            if base is None:
                return None
            k, p = len(x), len(base["beta"])

            def stacked(vd):
                return np.column_stack((vd["pwrss_grad"], vd["beta_grad"], vd["xvx_grad"].reshape(k, p * p)))

            d = stacked(base)
            h = np.empty((k, k, d.shape[1]))
            for s in range(k):
                step = 1e-6 * max(1.0, abs(float(x[s])))
                xs = x.copy()
                xs[s] += step
                ds = self.derivatives(xs)
                if ds is None:
                    return None
                h[s] = (stacked(ds) - d) / step
            self._curv = (d, 0.5 * (h + h.transpose(1, 0, 2)), p)
        return self._curv or None

    def _secant(self, l=None):
        """A _Secant of pwrss alone (l None), or of pwrss, l' beta~ and
        X'V^-1 X (the fixed effect l' beta's profile), from the fit's
        curvature; None without one."""
        curv = self.curvature()
        if curv is None:
            return None
        d, h, p = curv
        if l is not None:
            def pick(a):
                return np.concatenate((a[..., :1], a[..., 1:1 + p] @ l[:, None], a[..., 1 + p:]), axis=-1)

            d, h = pick(d), pick(h)
        else:
            d, h = d[:, :1], h[:, :, :1]
        return Secant(self.x_hat, np.ascontiguousarray(d.T), np.ascontiguousarray(np.moveaxis(h, 2, 0)))

    # The unprofiled criterion is ld + nu log(2 pi s^2) + r2 / s^2 with
    # ld = D_p - nu (1 + log(2 pi r2 / nu)) for the profiled D_p, whose value,
    # gradient and Hessian the core gives; so its Hessian in x at fixed s is
    # H_p + (1 / s^2 - nu / r2) H_r2 + nu g_r2 g_r2' / r2^2, and the states
    # below are such sums.

    def _cov_entry(self, w, wc, i, j):
        """Sigma_u[i, j] with its gradient and Hessian in the free entries
        (w = A_z Lambda~, wc its columns b_s): d/dx_s = A[i, a_s] W[j, b_s] +
        W[i, b_s] A[j, a_s] for x_s = Lambda~[a_s, b_s]. Sigma_u is quadratic
        in x, so the Hessian is a constant (coupling the entries of one
        column only), kept per entry."""
        ai, aj = self._a_rows[i], self._a_rows[j]
        hess = self._cov_hessians.get((i, j))
        if hess is None:
            hess = self._cov_hessians[(i, j)] = self._same_col * (np.outer(ai, aj) + np.outer(aj, ai))
        return float(w[i] @ w[j]), ai * wc[j] + wc[i] * aj, hess

    def _lambda_w(self, x):
        """W = A_z Lambda~ at the free entries x, and its columns b_s."""
        lam = np.zeros((self.q, self.q))
        lam[self._rows, self._cols] = x
        w = self._az @ lam
        return w, w[:, self._cols]

    def sigma_state(self):
        """The sigma profile for the direct search: state(x, t) at sigma =
        e^t gives (value, gradient and Hessian in x, d/dt of the value and
        of the gradient, d2/dt2 of the value), or None."""
        sec = self._secant()
        if sec is None:
            return None
        ys = self.rp.sigma_to_core(1.0)

        def state(x, t):
            vd = self.derivatives(x)
            if vd is None:
                return None
            nu, r2, gr = vd["nmp"], vd["pwrss"], vd["pwrss_grad"]
            h_r2 = sec.update(x, gr[None, :])[0]
            inv_s2 = math.exp(-2.0 * t) / (ys * ys)
            f = vd["deviance"] - nu * (1.0 + math.log(r2 / nu) - 2.0 * t - 2.0 * math.log(ys)) + r2 * inv_s2
            g = vd["grad"] + (inv_s2 - nu / r2) * gr
            h = vd["hessian"] + (inv_s2 - nu / r2) * h_r2 + (nu / (r2 * r2)) * (gr[:, None] * gr)
            return f, g, h, 2.0 * nu - 2.0 * r2 * inv_s2, (-2.0 * inv_s2) * gr, 4.0 * r2 * inv_s2

        return state

    def sd_state(self, kk):
        """The profile of the user's sd of random effect kk for the direct
        search (as sd_profile: s^2 = (v y_scale)^2 / Sigma_u[kk, kk]) at
        v = e^t; see sigma_state."""
        sec = self._secant()
        if sec is None:
            return None
        ys = self.rp.sigma_to_core(1.0)

        def state(x, t):
            vd = self.derivatives(x)
            if vd is None:
                return None
            u, du, hu = self._cov_entry(*self._lambda_w(x), kk, kk)
            if not u > 0.0:
                return None
            nu, r2, gr = vd["nmp"], vd["pwrss"], vd["pwrss_grad"]
            h_r2 = sec.update(x, gr[None, :])[0]
            c = math.exp(-2.0 * t) / (ys * ys)  # 1 / (v y_scale)^2; s^2 = 1 / (c u)
            f = vd["deviance"] - nu * (1.0 + math.log(r2 / nu) + math.log(c * u)) + c * r2 * u
            m = gr * u + r2 * du  # d(r2 u)
            g = vd["grad"] - (nu / r2) * gr - (nu / u) * du + c * m
            gd = c * (gr[:, None] * du)
            h = (vd["hessian"] + (c * u - nu / r2) * h_r2 + (c * r2 - nu / u) * hu + gd + gd.T
                 + (nu / (r2 * r2)) * (gr[:, None] * gr) + (nu / (u * u)) * (du[:, None] * du))
            return f, g, h, 2.0 * nu - 2.0 * c * r2 * u, (-2.0 * c) * m, 4.0 * c * r2 * u

        return state

    def beta_state(self, j):
        """The ML profile of the user's fixed effect j for the direct search
        (as beta_profile) at beta_j = t; see sigma_state. With C =
        (X'V^-1X)^-1 and w = l'C l, pwrss rises by q = dev^2 / w, dev =
        l' beta~ - (t - offset)."""
        rp = self.rp
        l = np.asarray(rp.beta_map()[j], dtype=np.float64)
        offset = float(rp.beta_offset()[j])
        sec = self._secant(l)
        if sec is None:
            return None
        k = len(self.x_hat)

        def state(x, t):
            vd = self.derivatives(x)
            if vd is None:
                return None
            y_ = vd["xvx_grad"]
            ddev = vd["beta_grad"] @ l
            gr = vd["pwrss_grad"]
            sh = sec.update(x, np.vstack((gr, ddev, y_.reshape(k, -1).T)))
            h_r2, h_dev, h_xvx = sh[0], sh[1], sh[2:]
            # C l, then C (dX'V^-1X / dx_s) C l from a second solve
            _, cl, info = posv(vd["xvx"], l)
            if info != 0:
                return None
            y = y_ @ cl  # rows: (dX'V^-1X / dx_s) C l
            _, cy, info = posv(vd["xvx"], y.T)
            if info != 0:
                return None
            w = float(l @ cl)
            nu, r2 = vd["nmp"], vd["pwrss"]
            dev = float(l @ vd["beta"]) - (t - offset)
            dw = -(y @ cl)
            hw = 2.0 * (y @ cy) - ((cl[:, None] * cl).ravel() @ h_xvx.reshape(-1, k * k)).reshape(k, k)
            q = dev * dev / w
            a = 2.0 * dev / w
            gq = a * ddev - (q / w) * dw
            od = (a / w) * (ddev[:, None] * dw)
            hq = ((2.0 / w) * (ddev[:, None] * ddev) + a * h_dev - od - od.T
                  + (2.0 * q / (w * w)) * (dw[:, None] * dw) - (q / w) * hw)
            rb = r2 + q
            gb = gr + gq
            f = vd["deviance"] + nu * math.log(rb / r2)
            g = vd["grad"] - (nu / r2) * gr + (nu / rb) * gb
            h = (vd["hessian"] + (nu / rb - nu / r2) * h_r2 + (nu / (r2 * r2)) * (gr[:, None] * gr)
                 + (nu / rb) * hq - (nu / (rb * rb)) * (gb[:, None] * gb))
            q_t = -a
            gq_t = (-2.0 / w) * ddev + (a / w) * dw
            return (f, g, h, nu * q_t / rb, (nu / rb) * gq_t - (nu * q_t / (rb * rb)) * gb,
                    nu * (2.0 / w) / rb - nu * (q_t / rb) ** 2)

        return state

    def cor_state(self, a, b):
        """The correlation profile for the direct search: state(x) gives
        (D_p, its gradient and Hessian, rho, its gradient and Hessian) at the
        free entries x, rho = Sigma_u[a, b] / sqrt(Sigma_u[a, a]
        Sigma_u[b, b]) the user's correlation of random effects a and b, or
        None; state.rho(x) is rho alone."""

        def state(x):
            vd = self.derivatives(x)
            if vd is None:
                return None
            w, wc = self._lambda_w(x)
            n_, gn, hn = self._cov_entry(w, wc, a, b)
            p_, gp, hp = self._cov_entry(w, wc, a, a)
            q_, gq, hq = self._cov_entry(w, wc, b, b)
            if not (p_ > 0.0 and q_ > 0.0):
                return None
            u = 1.0 / math.sqrt(p_ * q_)
            rho = n_ * u
            ep, eq = gp / p_, gq / q_
            av = -0.5 * (ep + eq)  # the gradient of log u
            # the Hessian of log u is (e_p e_p' + e_q e_q' - H_P / P - H_Q / Q) / 2
            hlog = 0.5 * (ep[:, None] * ep + eq[:, None] * eq - hp / p_ - hq / q_)
            oa = gn[:, None] * av
            hrho = u * (hn + oa + oa.T + n_ * (av[:, None] * av + hlog))
            return vd["deviance"], vd["grad"], vd["hessian"], rho, u * (gn + n_ * av), hrho

        def rho(x):
            w, _ = self._lambda_w(x)
            pq = float(w[a] @ w[a]) * float(w[b] @ w[b])
            return float(w[a] @ w[b]) / math.sqrt(pq) if pq > 0.0 else math.nan

        state.rho = rho
        return state
