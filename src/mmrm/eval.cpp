#include "mmrm/eval.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "linalg/dense.hpp"
#include "parallel/interrupt.hpp"

namespace corvane::mmrm {
namespace {

using u64 = std::uint64_t;

// C = A B for square t x t matrices (row-major), sums in increasing index order.
void multiply(const double* a, const double* b, double* c, u64 t) {
    for (u64 i = 0; i < t; ++i)
        for (u64 j = 0; j < t; ++j) {
            double s = 0.0;
            for (u64 m = 0; m < t; ++m) s += a[i * t + m] * b[m * t + j];
            c[i * t + j] = s;
        }
}

// The Cholesky factor's inverse product, mirrored from its lower triangle so
// that it is exactly symmetric.
void symmetric_inverse(const double* l, double* w, u64 t) {
    linalg::inverse_from_cholesky(l, w, t);
    for (u64 a = 0; a < t; ++a)
        for (u64 b = 0; b < a; ++b) w[b * t + a] = w[a * t + b];
}

// Where a pattern's Sigma and its derivatives live: the group's jet (visit
// levels) or the pattern's own (continuous time), and each of the pattern's
// visits' index in it.
struct JetView {
    const SigmaJet* jet;
    const Pattern* pattern;
    bool spatial;
    u64 at(u64 a) const { return spatial ? a : pattern->visits[a]; }
    u64 entry(u64 a, u64 b) const { return at(a) * jet->t + at(b); }
};

}  // namespace

std::optional<MmrmEval> evaluate_mmrm(const MmrmData& d, std::span<const double> theta, bool reml, Order order) {
    const bool spatial = is_spatial(d.structure);
    const bool first = order != Order::Value, second = order == Order::Hessian;
    const u64 npg = d.theta_per_group, nt = d.n_theta(), p = d.p, k = p + 1, kk = k * k;
    const u64 np = d.patterns.size();
    if (theta.size() != nt) return std::nullopt;

    std::vector<SigmaJet> jets;
    if (spatial) {
        for (const Pattern& pat : d.patterns)
            jets.push_back(spatial_sigma(theta.subspan(pat.group * npg, npg), pat.times, second));
    } else {
        for (u64 g = 0; g < d.groups; ++g)
            jets.push_back(visit_sigma(d.structure, theta.subspan(g * npg, npg), d.visits, second));
    }
    const auto view = [&](u64 P) {
        const Pattern& pat = d.patterns[P];
        return JetView{&jets[spatial ? P : pat.group], &pat, spatial};
    };

    // Per pattern: W = Sigma_P^-1 and log|Sigma_P|; X'V^-1 X and X'V^-1 y.
    std::vector<std::vector<double>> W(np);
    double logdet_sigma = 0.0;
    std::vector<double> A(p * p, 0.0), rhs(p, 0.0), scratch;
    for (u64 P = 0; P < np; ++P) {
        parallel::check_interrupt();
        const Pattern& pat = d.patterns[P];
        const JetView jv = view(P);
        const u64 t = pat.size();
        scratch.resize(t * t);
        for (u64 a = 0; a < t; ++a)
            for (u64 b = 0; b < t; ++b) scratch[a * t + b] = jv.jet->value[jv.entry(a, b)];
        if (!linalg::cholesky(scratch.data(), t)) return std::nullopt;
        logdet_sigma += static_cast<double>(pat.subjects) * linalg::log_det(scratch.data(), t);
        W[P].resize(t * t);
        symmetric_inverse(scratch.data(), W[P].data(), t);
        for (u64 a = 0; a < t; ++a)
            for (u64 b = 0; b < t; ++b) {
                const double w = W[P][a * t + b];
                const double* c = pat.products.data() + (a * t + b) * kk;
                for (u64 u = 0; u < p; ++u) {
                    for (u64 v = 0; v < p; ++v) A[u * p + v] += w * c[u * k + v];
                    rhs[u] += w * c[u * k + p];
                }
            }
    }
    for (u64 u = 0; u < p; ++u)
        for (u64 v = 0; v < u; ++v) A[v * p + u] = A[u * p + v] = 0.5 * (A[u * p + v] + A[v * p + u]);
    std::vector<double> chol = A, Ainv(p * p);
    if (!linalg::cholesky(chol.data(), p)) return std::nullopt;
    MmrmEval out;
    out.beta = rhs;
    linalg::forward_solve(chol.data(), out.beta.data(), p);
    linalg::back_solve(chol.data(), out.beta.data(), p);
    symmetric_inverse(chol.data(), Ainv.data(), p);
    std::vector<double> v(k);
    for (u64 u = 0; u < p; ++u) v[u] = -out.beta[u];
    v[p] = 1.0;

    // Residual cross-products R_P and, for REML, G_P; the quadratic form.
    std::vector<std::vector<double>> H(np);
    double quad = 0.0;
    for (u64 P = 0; P < np; ++P) {
        const Pattern& pat = d.patterns[P];
        const u64 t = pat.size();
        H[P].assign(t * t, 0.0);
        for (u64 a = 0; a < t; ++a)
            for (u64 b = 0; b < t; ++b) {
                const double* c = pat.products.data() + (a * t + b) * kk;
                double r = 0.0;
                for (u64 u = 0; u < k; ++u) {
                    double s = 0.0;
                    for (u64 w = 0; w < k; ++w) s += c[u * k + w] * v[w];
                    r += v[u] * s;
                }
                quad += W[P][a * t + b] * r;
                double g = 0.0;
                if (reml)
                    for (u64 u = 0; u < p; ++u)
                        for (u64 w = 0; w < p; ++w) g += Ainv[u * p + w] * c[u * k + w];
                H[P][a * t + b] = r + g;
            }
    }
    const double log_two_pi = std::log(2.0 * std::numbers::pi);
    out.criterion = logdet_sigma + quad - d.log_weights +
                    (reml ? linalg::log_det(chol.data(), p) : 0.0) +
                    static_cast<double>(d.n - (reml ? p : 0)) * log_two_pi;
    out.cov_beta = Ainv;
    if (!first) return out;

    // M_P = n W - W H W, summed into the group's visit pairs (or used at
    // once on continuous time); the Hessian's per-pattern trace term.
    out.grad.assign(nt, 0.0);
    if (second) out.hess.assign(nt * nt, 0.0);
    std::vector<std::vector<double>> Mg(spatial ? 0 : d.groups, std::vector<double>(d.visits * d.visits, 0.0));
    std::vector<double> tmp, whw, M, B;
    std::vector<double> D, U, F;  // npg x t x t each
    std::vector<char> nonzero;
    for (u64 P = 0; P < np; ++P) {
        parallel::check_interrupt();
        const Pattern& pat = d.patterns[P];
        const JetView jv = view(P);
        const u64 t = pat.size(), tt = t * t, off = pat.group * npg;
        const double n = static_cast<double>(pat.subjects);
        tmp.resize(tt);
        whw.resize(tt);
        M.resize(tt);
        multiply(W[P].data(), H[P].data(), tmp.data(), t);
        multiply(tmp.data(), W[P].data(), whw.data(), t);
        for (u64 e = 0; e < tt; ++e) M[e] = n * W[P][e] - whw[e];
        if (spatial) {
            for (u64 a = 0; a < t; ++a)
                for (u64 b = 0; b < t; ++b) {
                    const u64 e = jv.entry(a, b);
                    for (u64 q = 0; q < npg; ++q) out.grad[off + q] += jv.jet->grad[e * npg + q] * M[a * t + b];
                    if (second)
                        for (u64 q = 0; q < npg; ++q)
                            for (u64 r = 0; r < npg; ++r)
                                out.hess[(off + q) * nt + off + r] +=
                                    jv.jet->hess[(e * npg + q) * npg + r] * M[a * t + b];
                }
        } else {
            for (u64 a = 0; a < t; ++a)
                for (u64 b = 0; b < t; ++b) Mg[pat.group][jv.entry(a, b)] += M[a * t + b];
        }
        if (!second) continue;
        B.resize(tt);
        for (u64 e = 0; e < tt; ++e) B[e] = 2.0 * whw[e] - n * W[P][e];
        D.assign(npg * tt, 0.0);
        U.resize(npg * tt);
        F.resize(npg * tt);
        nonzero.assign(npg, 0);
        for (u64 q = 0; q < npg; ++q) {
            double* dq = D.data() + q * tt;
            for (u64 a = 0; a < t; ++a)
                for (u64 b = 0; b < t; ++b) {
                    dq[a * t + b] = jv.jet->grad[jv.entry(a, b) * npg + q];
                    if (dq[a * t + b] != 0.0) nonzero[q] = 1;
                }
            if (!nonzero[q]) continue;
            multiply(dq, B.data(), U.data() + q * tt, t);
            multiply(dq, W[P].data(), F.data() + q * tt, t);
        }
        // tr(dSigma_l B dSigma_k W) = sum_ab U_l[a, b] F_k[b, a]
        for (u64 q = 0; q < npg; ++q) {
            if (!nonzero[q]) continue;
            for (u64 r = 0; r <= q; ++r) {
                if (!nonzero[r]) continue;
                const double* ul = U.data() + r * tt;
                const double* fk = F.data() + q * tt;
                double s = 0.0;
                for (u64 a = 0; a < t; ++a)
                    for (u64 b = 0; b < t; ++b) s += ul[a * t + b] * fk[b * t + a];
                out.hess[(off + q) * nt + off + r] += s;
            }
        }
    }
    if (!spatial) {
        const u64 T = d.visits, TT = T * T;
        for (u64 g = 0; g < d.groups; ++g) {
            const SigmaJet& jet = jets[g];
            const u64 off = g * npg;
            for (u64 e = 0; e < TT; ++e) {
                const double m = Mg[g][e];
                if (m == 0.0) continue;
                for (u64 q = 0; q < npg; ++q) out.grad[off + q] += jet.grad[e * npg + q] * m;
                if (second)
                    for (u64 q = 0; q < npg; ++q)
                        for (u64 r = 0; r <= q; ++r)
                            out.hess[(off + q) * nt + off + r] += jet.hess[(e * npg + q) * npg + r] * m;
            }
        }
    }
    if (!second) return out;

    // K_P[c, d] = sym(sum_ab W_ca C_ab W_bd): the patterns' cross-products
    // transformed by W on both sides, then Q_k = sum_cd dSigma_k[c, d] K[c, d]
    // = sum_i Z_i' W dSigma_k W Z_i for every theta entry k.
    std::vector<double> Q(nt * kk, 0.0);
    std::vector<std::vector<double>> Kg(spatial ? 0 : d.groups, std::vector<double>(d.visits * d.visits * kk, 0.0));
    std::vector<double> T1, K;
    for (u64 P = 0; P < np; ++P) {
        parallel::check_interrupt();
        const Pattern& pat = d.patterns[P];
        const JetView jv = view(P);
        const u64 t = pat.size();
        const double* w = W[P].data();
        T1.assign(t * t * kk, 0.0);
        for (u64 a = 0; a < t; ++a)
            for (u64 dd = 0; dd < t; ++dd) {
                double* out1 = T1.data() + (a * t + dd) * kk;
                for (u64 b = 0; b < t; ++b) {
                    const double wb = w[b * t + dd];
                    const double* c = pat.products.data() + (a * t + b) * kk;
                    for (u64 e = 0; e < kk; ++e) out1[e] += c[e] * wb;
                }
            }
        K.assign(t * t * kk, 0.0);
        for (u64 c = 0; c < t; ++c)
            for (u64 dd = 0; dd < t; ++dd) {
                double* out2 = K.data() + (c * t + dd) * kk;
                for (u64 a = 0; a < t; ++a) {
                    const double wc = w[c * t + a];
                    const double* t1 = T1.data() + (a * t + dd) * kk;
                    for (u64 e = 0; e < kk; ++e) out2[e] += wc * t1[e];
                }
            }
        for (u64 c = 0; c < t; ++c)
            for (u64 dd = 0; dd < t; ++dd) {
                const double* kcd = K.data() + (c * t + dd) * kk;
                for (u64 u = 0; u < k; ++u)
                    for (u64 x = 0; x < k; ++x) {
                        const double sym = 0.5 * (kcd[u * k + x] + kcd[x * k + u]);
                        if (spatial) {
                            const u64 e = jv.entry(c, dd);
                            for (u64 q = 0; q < npg; ++q)
                                Q[(pat.group * npg + q) * kk + u * k + x] += jv.jet->grad[e * npg + q] * sym;
                        } else {
                            Kg[pat.group][jv.entry(c, dd) * kk + u * k + x] += sym;
                        }
                    }
            }
    }
    if (!spatial) {
        const u64 TT = d.visits * d.visits;
        for (u64 g = 0; g < d.groups; ++g)
            for (u64 q = 0; q < npg; ++q) {
                double* qk = Q.data() + (g * npg + q) * kk;
                for (u64 e = 0; e < TT; ++e) {
                    const double ds = jets[g].grad[e * npg + q];
                    if (ds == 0.0) continue;
                    const double* kg = Kg[g].data() + e * kk;
                    for (u64 x = 0; x < kk; ++x) qk[x] += ds * kg[x];
                }
            }
    }
    // u_k = Q_k[X, :] v; A^-1 A_k = -A^-1 Q_k[X, X]; d cov_beta = A^-1 Q_k[X, X] A^-1.
    std::vector<double> u(nt * p, 0.0), AinvAk(nt * p * p, 0.0), Ainv_u(nt * p, 0.0);
    out.cov_beta_grad.assign(nt * p * p, 0.0);
    for (u64 q = 0; q < nt; ++q) {
        const double* qk = Q.data() + q * kk;
        for (u64 i = 0; i < p; ++i) {
            double s = 0.0;
            for (u64 j = 0; j < k; ++j) s += qk[i * k + j] * v[j];
            u[q * p + i] = s;
        }
        for (u64 i = 0; i < p; ++i)
            for (u64 j = 0; j < p; ++j) {
                double s = 0.0;
                for (u64 m = 0; m < p; ++m) s += Ainv[i * p + m] * qk[m * k + j];
                AinvAk[(q * p + i) * p + j] = -s;
            }
        for (u64 i = 0; i < p; ++i)
            for (u64 j = 0; j < p; ++j) {
                double s = 0.0;
                for (u64 m = 0; m < p; ++m) s += -AinvAk[(q * p + i) * p + m] * Ainv[m * p + j];
                out.cov_beta_grad[(q * p + i) * p + j] = s;
            }
        for (u64 i = 0; i < p; ++i) {
            double s = 0.0;
            for (u64 j = 0; j < p; ++j) s += Ainv[i * p + j] * u[q * p + j];
            Ainv_u[q * p + i] = s;
        }
    }
    for (u64 q = 0; q < nt; ++q)
        for (u64 r = 0; r <= q; ++r) {
            double s = 0.0;
            for (u64 i = 0; i < p; ++i) s += u[q * p + i] * Ainv_u[r * p + i];
            double tr = 0.0;
            if (reml)
                for (u64 i = 0; i < p; ++i)
                    for (u64 j = 0; j < p; ++j) tr += AinvAk[(r * p + i) * p + j] * AinvAk[(q * p + j) * p + i];
            out.hess[q * nt + r] += -2.0 * s - tr;
        }
    for (u64 q = 0; q < nt; ++q)
        for (u64 r = 0; r < q; ++r) out.hess[r * nt + q] = out.hess[q * nt + r];
    return out;
}

}  // namespace corvane::mmrm
