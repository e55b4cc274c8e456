#include "mmrm/eval.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "linalg/dense.hpp"
#include "linalg/elementary.hpp"
#include "mmrm/kernels.hpp"
#include "lmm/schedule.hpp"
#include "parallel/interrupt.hpp"

namespace corvane::mmrm {
namespace {

using u64 = std::uint64_t;

// C = A B for square t x t matrices (row-major): each entry summed from 0.0
// over m in increasing order, a row of C at a time (its entries side by side).
void multiply(const double* a, const double* b, double* c, u64 t) {
    for (u64 i = 0; i < t; ++i) {
        double* ci = c + i * t;
        for (u64 j = 0; j < t; ++j) ci[j] = 0.0;
        for (u64 m = 0; m < t; ++m) {
            const double aim = a[i * t + m];
            const double* bm = b + m * t;
            for (u64 j = 0; j < t; ++j) ci[j] += aim * bm[j];
        }
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

// One chunk's partial sums over its patterns, first pass: log|Sigma_P|
// weighted by the pattern's subjects, X'V^-1 X and X'V^-1 y.
struct FirstSlot {
    double logdet = 0.0;
    std::vector<double> A, rhs;
};

// Second pass: the quadratic form; the gradient's M summed into the
// groups' visit pairs (or, on continuous time, the gradient and the
// second-derivative term directly); the Hessian's trace term; and the
// cross-products transformed by W, K[c <= d], summed into the groups'
// visit pairs (or, on continuous time, Q_k directly).
struct SecondSlot {
    double quad = 0.0;
    std::vector<double> mg, grad, hess, kg, q, wq, wr;
};

// Patterns per chunk: enough that a chunk's work is several times the cost
// of merging its partial sums (both depend only on the dimensions).
std::uint64_t patterns_per_chunk(const MmrmData& d, std::uint64_t merge) {
    const std::uint64_t t = std::max<std::uint64_t>(d.largest_pattern, 1), k = d.p + 1;
    const std::uint64_t cost = 2 * t * t * t * k * k + 1;
    return std::max<std::uint64_t>(1, 4 * merge / cost);
}

}  // namespace

std::optional<MmrmEval> evaluate_mmrm(const MmrmData& d, std::span<const double> theta, bool reml, Order order,
                                      std::span<const double> theta_weights) {
    const bool spatial = is_spatial(d.structure);
    const bool first = order != Order::Value, second = order == Order::Hessian;
    const u64 npg = d.theta_per_group, nt = d.n_theta(), p = d.p, k = p + 1, kk = k * k;
    const u64 np = d.patterns.size(), T = d.visits, TT = T * T, half = T * (T + 1) / 2;
    if (theta.size() != nt) return std::nullopt;
    const bool kr = second && theta_weights.size() == nt * nt;
    const MmrmKernels& kern = mmrm_kernels();

    std::vector<SigmaJet> jets;
    if (spatial) {
        for (const Pattern& pat : d.patterns)
            jets.push_back(spatial_sigma(theta.subspan(pat.group * npg, npg), pat.times, second));
    } else {
        for (u64 g = 0; g < d.groups; ++g)
            jets.push_back(visit_sigma(d.structure, theta.subspan(g * npg, npg), T, second));
    }
    const auto view = [&](u64 P) {
        const Pattern& pat = d.patterns[P];
        return JetView{&jets[spatial ? P : pat.group], &pat, spatial};
    };
    const u64 merge2 = 1 + (second ? (spatial ? nt * kk : d.groups * half * kk) + nt * nt : 0) +
                       (first && !spatial ? d.groups * TT : 0);
    // At most kChunks chunks: each chunk zeroes and merges partial sums as
    // large as a group's visit pairs, which would otherwise cost as much as
    // the patterns' own work.
    constexpr u64 kChunks = 16;
    const u64 chunk = std::max(patterns_per_chunk(d, std::max<u64>(merge2, p * p)), (np + kChunks - 1) / kChunks);
    const u64 n_chunks = np / chunk + (np % chunk != 0);
    u64 total_cost = 0;
    for (const Pattern& pat : d.patterns) {
        const u64 t = pat.size();
        total_cost += t * t * kk + (second ? 2 * t * t * t * kk + npg * npg * t * t : 0);
    }
    const bool parallel = n_chunks > 1 && lmm::work_is_large(total_cost, 1) && parallel::thread_count() > 1;
    const auto range = [&](u64 c) { return std::pair<u64, u64>{c * chunk, std::min(np, (c + 1) * chunk)}; };

    // First pass, per pattern: W = Sigma_P^-1 and log|Sigma_P|; X'V^-1 X and X'V^-1 y.
    std::vector<std::vector<double>> W(np);
    std::vector<char> ok(np, 1);
    double logdet_sigma = 0.0;
    std::vector<double> A(p * p, 0.0), rhs(p, 0.0);
    {
        std::vector<FirstSlot> slots(parallel ? lmm::reduce_slots(n_chunks, 8 * (p * p + p)) : 1);
        lmm::chunked_reduce(
            n_chunks, parallel, slots,
            [&](u64 c, FirstSlot& s) {
                s.logdet = 0.0;
                s.A.assign(p * p, 0.0);
                s.rhs.assign(p, 0.0);
                std::vector<double> chol;
                for (auto [P, end] = range(c); P < end; ++P) {
                    const Pattern& pat = d.patterns[P];
                    const JetView jv = view(P);
                    const u64 t = pat.size();
                    chol.resize(t * t);
                    for (u64 a = 0; a < t; ++a)
                        for (u64 b = 0; b < t; ++b) chol[a * t + b] = jv.jet->value[jv.entry(a, b)];
                    if (!linalg::cholesky(chol.data(), t)) {
                        ok[P] = 0;
                        continue;
                    }
                    s.logdet += static_cast<double>(pat.subjects) * linalg::log_det(chol.data(), t);
                    W[P].resize(t * t);
                    symmetric_inverse(chol.data(), W[P].data(), t);
                    // sum_ab W_ab C_ab over the pairs a <= b: a pair a < b adds
                    // W_ab (C_ab + C_ab') to X'V^-1 X and W_ab (C_ab[X, y] + C_ab[y, X]') to X'V^-1 y.
                    for (u64 a = 0; a < t; ++a)
                        for (u64 b = a; b < t; ++b) {
                            const double w = W[P][a * t + b];
                            const double* cp = pat.products.data() + upper_pair(a, b, t) * kk;
                            if (a == b) {
                                for (u64 u = 0; u < p; ++u) {
                                    for (u64 v = 0; v < p; ++v) s.A[u * p + v] += w * cp[u * k + v];
                                    s.rhs[u] += w * cp[u * k + p];
                                }
                            } else {
                                for (u64 u = 0; u < p; ++u) {
                                    for (u64 v = 0; v < p; ++v) s.A[u * p + v] += w * (cp[u * k + v] + cp[v * k + u]);
                                    s.rhs[u] += w * (cp[u * k + p] + cp[p * k + u]);
                                }
                            }
                        }
                }
            },
            [&](u64, FirstSlot& s) {
                logdet_sigma += s.logdet;
                for (u64 e = 0; e < p * p; ++e) A[e] += s.A[e];
                for (u64 u = 0; u < p; ++u) rhs[u] += s.rhs[u];
            });
    }
    for (char f : ok)
        if (!f) return std::nullopt;
    for (u64 u = 0; u < p; ++u)
        for (u64 v = 0; v < u; ++v) A[v * p + u] = A[u * p + v] = 0.5 * (A[u * p + v] + A[v * p + u]);
    std::vector<double> chol = A, Ainv(p * p);
    if (!linalg::cholesky(chol.data(), p)) return std::nullopt;
    MmrmEval out;
    out.beta = rhs;
    linalg::forward_solve(chol.data(), out.beta.data(), p);
    linalg::back_solve(chol.data(), out.beta.data(), p);
    symmetric_inverse(chol.data(), Ainv.data(), p);
    out.cov_beta = Ainv;
    std::vector<double> v(k);
    for (u64 u = 0; u < p; ++u) v[u] = -out.beta[u];
    v[p] = 1.0;
    if (first) out.grad.assign(nt, 0.0);
    if (second) out.hess.assign(nt * nt, 0.0);

    // Second pass, per pattern.
    double quad = 0.0;
    std::vector<double> Mg(first && !spatial ? d.groups * TT : 0, 0.0);
    std::vector<double> Kg(second && !spatial ? d.groups * half * kk : 0, 0.0);
    std::vector<double> Q(second ? nt * kk : 0, 0.0), WQ(kr ? kk : 0, 0.0), WR(kr ? kk : 0, 0.0);
    {
        std::vector<SecondSlot> slots(parallel ? lmm::reduce_slots(n_chunks, 8 * merge2) : 1);
        lmm::chunked_reduce(
            n_chunks, parallel, slots,
            [&](u64 c, SecondSlot& s) {
                s.quad = 0.0;
                s.mg.assign(Mg.size(), 0.0);
                s.grad.assign(first && spatial ? nt : 0, 0.0);
                s.hess.assign(second ? nt * nt : 0, 0.0);
                s.kg.assign(Kg.size(), 0.0);
                s.q.assign(second && spatial ? nt * kk : 0, 0.0);
                s.wq.assign(kr ? kk : 0, 0.0);
                s.wr.assign(kr && spatial ? kk : 0, 0.0);
                std::vector<double> H, tmp, whw, M, B, D, U, F, T1, K, Y, FW, E;
                std::vector<char> nonzero;
                for (auto [P, end] = range(c); P < end; ++P) {
                    const Pattern& pat = d.patterns[P];
                    const JetView jv = view(P);
                    const u64 t = pat.size(), tt = t * t, off = pat.group * npg;
                    const double n = static_cast<double>(pat.subjects);
                    const double* w = W[P].data();
                    // Residual cross-products R_P and, for REML, G_P; the quadratic form.
                    // R_ab = v'C_ab v and G_ab = <A^-1, C_ab[X, X]> are symmetric in (a, b).
                    H.assign(tt, 0.0);
                    for (u64 a = 0; a < t; ++a)
                        for (u64 b = a; b < t; ++b) {
                            const double* cp = pat.products.data() + upper_pair(a, b, t) * kk;
                            double r = 0.0;
                            for (u64 u = 0; u < k; ++u) {
                                double sum = 0.0;
                                for (u64 x = 0; x < k; ++x) sum += cp[u * k + x] * v[x];
                                r += v[u] * sum;
                            }
                            s.quad += (a == b ? 1.0 : 2.0) * (w[a * t + b] * r);
                            double g = 0.0;
                            if (reml && first)
                                for (u64 u = 0; u < p; ++u)
                                    for (u64 x = 0; x < p; ++x) g += Ainv[u * p + x] * cp[u * k + x];
                            H[a * t + b] = H[b * t + a] = r + g;
                        }
                    if (!first) continue;
                    // M_P = n W - W H W.
                    tmp.resize(tt);
                    whw.resize(tt);
                    M.resize(tt);
                    multiply(w, H.data(), tmp.data(), t);
                    multiply(tmp.data(), w, whw.data(), t);
                    for (u64 e = 0; e < tt; ++e) M[e] = n * w[e] - whw[e];
                    if (spatial) {
                        for (u64 a = 0; a < t; ++a)
                            for (u64 b = 0; b < t; ++b) {
                                const u64 e = jv.entry(a, b);
                                for (u64 q = 0; q < npg; ++q) s.grad[off + q] += jv.jet->grad[e * npg + q] * M[a * t + b];
                                if (second)
                                    for (u64 q = 0; q < npg; ++q)
                                        for (u64 r = 0; r < npg; ++r)
                                            s.hess[(off + q) * nt + off + r] +=
                                                jv.jet->hess[(e * npg + q) * npg + r] * M[a * t + b];
                            }
                    } else {
                        double* mg = s.mg.data() + pat.group * TT;
                        for (u64 a = 0; a < t; ++a)
                            for (u64 b = 0; b < t; ++b) mg[jv.entry(a, b)] += M[a * t + b];
                    }
                    if (!second) continue;
                    // tr(dSigma_l B dSigma_k W) = sum_ab U_l[a, b] F_k[b, a], B = 2 W H W - n W.
                    B.resize(tt);
                    for (u64 e = 0; e < tt; ++e) B[e] = 2.0 * whw[e] - n * w[e];
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
                        multiply(w, dq, F.data() + q * tt, t);   // W D_q = (D_q W)'
                    }
                    for (u64 q = 0; q < npg; ++q) {
                        if (!nonzero[q]) continue;
                        for (u64 r = 0; r <= q; ++r) {
                            if (!nonzero[r]) continue;
                            const double* ul = U.data() + r * tt;
                            const double* fk = F.data() + q * tt;   // (D_q W)' row by row
                            double sum = 0.0;
                            for (u64 e = 0; e < tt; ++e) sum += ul[e] * fk[e];
                            s.hess[(off + q) * nt + off + r] += sum;
                        }
                    }
                    // Kenward and Roger's sums: FW = sum_kl w_kl dSigma_k W dSigma_l (and, on
                    // continuous time, E = sum_kl w_kl d2Sigma_kl), each to be contracted with K.
                    if (kr) {
                        Y.assign(tt, 0.0);
                        FW.assign(tt, 0.0);
                        for (u64 r = 0; r < npg; ++r) {
                            if (!nonzero[r]) continue;
                            std::fill(Y.begin(), Y.end(), 0.0);
                            for (u64 q = 0; q < npg; ++q) {
                                const double wt = theta_weights[(off + q) * nt + off + r];
                                if (!nonzero[q] || wt == 0.0) continue;
                                for (u64 e = 0; e < tt; ++e) Y[e] += wt * D[q * tt + e];
                            }
                            // FW += Y (W D_r), W D_r held in F.
                            const double* fr = F.data() + r * tt;
                            for (u64 a = 0; a < t; ++a)
                                for (u64 b = 0; b < t; ++b) {
                                    double sum = 0.0;
                                    for (u64 m = 0; m < t; ++m) sum += Y[a * t + m] * fr[m * t + b];
                                    FW[a * t + b] += sum;
                                }
                        }
                        if (spatial) {
                            E.assign(tt, 0.0);
                            for (u64 a = 0; a < t; ++a)
                                for (u64 b = 0; b < t; ++b) {
                                    const u64 e = jv.entry(a, b);
                                    double sum = 0.0;
                                    for (u64 q = 0; q < npg; ++q)
                                        for (u64 r = 0; r < npg; ++r)
                                            sum += theta_weights[(off + q) * nt + off + r] *
                                                   jv.jet->hess[(e * npg + q) * npg + r];
                                    E[a * t + b] = sum;
                                }
                        }
                    }
                    // K[c, d] = sum_ab W_ca C_ab W_bd = sum_i zt_ic zt_id' (zt_i = W z_i) for c <= d:
                    // per subject from its rows, or from the products with T1[a, d] = sum_b C_ab W_bd.
                    const bool by_subject = pat.by_subject();
                    const u64 n_sub = pat.subjects;
                    if (by_subject) {
                        T1.assign(n_sub * t * k, 0.0);   // the subjects' zt, t x k each
                        for (u64 i = 0; i < n_sub; ++i) {
                            const double* z = pat.rows.data() + i * t * k;
                            double* zt = T1.data() + i * t * k;
                            for (u64 a = 0; a < t; ++a)
                                for (u64 b = 0; b < t; ++b) kern.scaled_add(zt + a * k, z + b * k, w[a * t + b], k);
                        }
                    } else {
                        T1.assign(tt * kk, 0.0);
                        for (u64 a = 0; a < t; ++a)
                            for (u64 dd = 0; dd < t; ++dd) {
                                double* o = T1.data() + (a * t + dd) * kk;
                                for (u64 b = 0; b < t; ++b) {
                                    const double wb = w[b * t + dd];
                                    if (b >= a) {
                                        kern.scaled_add(o, pat.products.data() + upper_pair(a, b, t) * kk, wb, kk);
                                    } else {   // C_ab = C_ba'
                                        const double* cp = pat.products.data() + upper_pair(b, a, t) * kk;
                                        for (u64 u = 0; u < k; ++u)
                                            for (u64 x = 0; x < k; ++x) o[u * k + x] += cp[x * k + u] * wb;
                                    }
                                }
                            }
                    }
                    K.resize(kk);
                    for (u64 cc = 0; cc < t; ++cc)
                        for (u64 dd = cc; dd < t; ++dd) {
                            std::fill(K.begin(), K.end(), 0.0);
                            if (by_subject) {
                                for (u64 i = 0; i < n_sub; ++i)
                                    kern.outer_add(K.data(), T1.data() + (i * t + cc) * k, T1.data() + (i * t + dd) * k, k);
                            } else {
                                for (u64 a = 0; a < t; ++a)
                                    kern.scaled_add(K.data(), T1.data() + (a * t + dd) * kk, w[cc * t + a], kk);
                            }
                            // S_cd = K + K' (c < d) or K (c = d, symmetric): Q_k = sum_{c <= d} dSigma_k[c, d] S_cd.
                            const double self = cc == dd ? 0.5 : 1.0;
                            if (kr) {
                                // FW and E are symmetric: sum_cd FW[c, d] K[c, d] = sum_{c <= d} FW[c, d] S_cd.
                                const double fw = FW[cc * t + dd], ew = spatial ? E[cc * t + dd] : 0.0;
                                for (u64 u = 0; u < k; ++u)
                                    for (u64 x = 0; x < k; ++x) {
                                        const double sym = self * (K[u * k + x] + K[x * k + u]);
                                        s.wq[u * k + x] += fw * sym;
                                        if (spatial) s.wr[u * k + x] += ew * sym;
                                    }
                            }
                            if (spatial) {
                                const u64 e = jv.entry(cc, dd);
                                for (u64 q = 0; q < npg; ++q) {
                                    const double ds = jv.jet->grad[e * npg + q];
                                    if (ds == 0.0) continue;
                                    double* qk = s.q.data() + (off + q) * kk;
                                    for (u64 u = 0; u < k; ++u)
                                        for (u64 x = 0; x < k; ++x)
                                            qk[u * k + x] += ds * (self * (K[u * k + x] + K[x * k + u]));
                                }
                            } else {
                                const u64 vc = pat.visits[cc], vd = pat.visits[dd];
                                double* o = s.kg.data() + (pat.group * half + vd * (vd + 1) / 2 + vc) * kk;
                                for (u64 u = 0; u < k; ++u)
                                    for (u64 x = 0; x < k; ++x) o[u * k + x] += self * (K[u * k + x] + K[x * k + u]);
                            }
                        }
                }
            },
            [&](u64, SecondSlot& s) {
                quad += s.quad;
                for (u64 e = 0; e < Mg.size(); ++e) Mg[e] += s.mg[e];
                for (u64 e = 0; e < s.grad.size(); ++e) out.grad[e] += s.grad[e];
                for (u64 e = 0; e < s.hess.size(); ++e) out.hess[e] += s.hess[e];
                for (u64 e = 0; e < Kg.size(); ++e) Kg[e] += s.kg[e];
                for (u64 e = 0; e < s.q.size(); ++e) Q[e] += s.q[e];
                for (u64 e = 0; e < s.wq.size(); ++e) WQ[e] += s.wq[e];
                for (u64 e = 0; e < s.wr.size(); ++e) WR[e] += s.wr[e];
            });
    }
    const double log_two_pi = linalg::log_of(2.0 * std::numbers::pi);
    out.criterion = logdet_sigma + quad - d.log_weights + (reml ? linalg::log_det(chol.data(), p) : 0.0) +
                    static_cast<double>(d.n - (reml ? p : 0)) * log_two_pi;
    if (!first) return out;
    if (!spatial) {
        for (u64 g = 0; g < d.groups; ++g) {
            const SigmaJet& jet = jets[g];
            const u64 off = g * npg;
            for (u64 e = 0; e < TT; ++e) {
                const double m = Mg[g * TT + e];
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
    if (!spatial) {
        for (u64 g = 0; g < d.groups; ++g)
            for (u64 q = 0; q < npg; ++q) {
                double* qk = Q.data() + (g * npg + q) * kk;
                for (u64 vd = 0; vd < T; ++vd)
                    for (u64 vc = 0; vc <= vd; ++vc) {
                        const double ds = jets[g].grad[(vc * T + vd) * npg + q];
                        if (ds == 0.0) continue;
                        const double* kg = Kg.data() + (g * half + vd * (vd + 1) / 2 + vc) * kk;
                        for (u64 x = 0; x < kk; ++x) qk[x] += ds * kg[x];
                    }
            }
    }
    if (kr && !spatial) {
        for (u64 g = 0; g < d.groups; ++g)
            for (u64 vd = 0; vd < T; ++vd)
                for (u64 vc = 0; vc <= vd; ++vc) {
                    const u64 e = vc * T + vd, off = g * npg;
                    double ew = 0.0;
                    for (u64 q = 0; q < npg; ++q)
                        for (u64 r = 0; r < npg; ++r)
                            ew += theta_weights[(off + q) * nt + off + r] * jets[g].hess[(e * npg + q) * npg + r];
                    if (ew == 0.0) continue;
                    const double* kg = Kg.data() + (g * half + vd * (vd + 1) / 2 + vc) * kk;
                    for (u64 x = 0; x < kk; ++x) WR[x] += ew * kg[x];
                }
    }
    if (kr) {
        out.weighted_q.resize(p * p);
        out.weighted_r.resize(p * p);
        for (u64 i = 0; i < p; ++i)
            for (u64 j = 0; j < p; ++j) {
                out.weighted_q[i * p + j] = WQ[i * k + j];
                out.weighted_r[i * p + j] = WR[i * k + j];
            }
        out.p_k.resize(nt * p * p);
        for (u64 q = 0; q < nt; ++q)
            for (u64 i = 0; i < p; ++i)
                for (u64 j = 0; j < p; ++j) out.p_k[(q * p + i) * p + j] = -Q[q * kk + i * k + j];
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
