# Reference numbers for mixed models for repeated measures (MMRM), from R's
# mmrm package: y_i ~ N(X_i beta, Sigma_i) for each subject i, where Sigma_i
# holds the rows and columns of one T x T covariance Sigma(theta) for the
# visits subject i has (no random effects).
#
# Writes the data sets it fits to tests/data/mmrm_fev.csv and
# tests/data/mmrm_bcva.csv (mmrm's fev_data and bcva_data; factors as their
# labels, missing values as NA) and every number to
# tests/data/mmrm_reference.json; the JSON's "layout" key describes it.
# Run from the repository root: Rscript tests/r/mmrm_reference.R
# (about three minutes on one core; most of it is Kenward-Roger for us on the
# 10-visit bcva data, about 35 s per variant).
#
# The fits use the CSV files as read back, so the stored numbers belong to
# exactly the values a reader of the CSV gets.
#
# theta, as mmrm 0.3.18 parametrises each structure (read from its C++ code,
# src/covariance.h and src/utils.h, and its "covariance" vignette). T is the
# number of visit levels; f^-1(x) = x / sqrt(1 + x^2) maps R to (-1, 1);
# every structure is built as a lower Cholesky factor L and Sigma = L L'.
#   us     theta = (log s_1, ..., log s_T, c_21, c_31, c_32, c_41, c_42, c_43, ...):
#          L = diag(s) M with M unit lower triangular, M[i, j] = c_ij (j < i),
#          the c_ij taken row by row. So s_i is the i-th diagonal entry of
#          the Cholesky factor of Sigma (not the standard deviation of
#          visit i, except for i = 1) and L[i, j] = s_i c_ij.
#   toep   theta = (log s, f(rho_1), ..., f(rho_{T-1})),
#          Sigma[i, j] = s^2 rho_|i-j| (rho_0 = 1).
#   toeph  theta = (log s_1, ..., log s_T, f(rho_1), ..., f(rho_{T-1})),
#          Sigma[i, j] = s_i s_j rho_|i-j|.
#   ar1    theta = (log s, f(rho)), Sigma[i, j] = s^2 rho^|i-j|.
#   ar1h   theta = (log s_1, ..., log s_T, f(rho)), Sigma[i, j] = s_i s_j rho^|i-j|.
#   ad     theta = (log s, f(rho_1), ..., f(rho_{T-1})),
#          Sigma[i, j] = s^2 prod_{k = min(i,j)}^{max(i,j) - 1} rho_k.
#   adh    theta = (log s_1, ..., log s_T, f(rho_1), ..., f(rho_{T-1})),
#          Sigma[i, j] = s_i s_j prod_{k = min(i,j)}^{max(i,j) - 1} rho_k.
#   cs     theta = (log s, g(rho)), Sigma[i, j] = s^2 rho (i != j), s^2 on the
#          diagonal, with a = 1 / (T - 1), rho = plogis(theta_2) (1 + a) - a,
#          so rho ranges over (-1/(T-1), 1).
#   csh    theta = (log s_1, ..., log s_T, g(rho)), Sigma[i, j] = s_i s_j rho.
#   sp_exp theta = (log v, qlogis(rho)), Sigma_i[j, k] = v rho^d_jk with d_jk
#          the Euclidean distance between the coordinates (here the numeric
#          visit time) of the subject's observations j and k. Note that
#          exp(theta_1) is the variance v itself, not a standard deviation
#          (the vignette writes log(sigma); the code multiplies the
#          correlation matrix by exp(theta_1)). VarCorr() of an sp_exp fit is
#          the 2 x 2 matrix for two observations at unit distance.
#          With VISITN = 1, ..., 4 on fev this is the ar1 model with rho > 0:
#          fev_sp_exp and fev_ar1 reach the same log-likelihood.
#   Grouped structures, us(AVISIT | ARMCD / USUBJID): one theta block per
#   level of the group factor, concatenated in the factor's level order.
#   Weights w: Sigma_i = W_i^(-1/2) Sigma[v_i, v_i] W_i^(-1/2).
# The script builds Sigma from theta with these maps and checks them against
# mmrm's VarCorr() (max_abs_diff_covariance_map in each fit's dense_check).
#
# Log-likelihoods are mmrm's: ML = -(n log(2 pi) + sum log|Sigma_i| + r'V^-1 r)/2
# and REML = -((n - p) log(2 pi) + sum log|Sigma_i| + log|X'V^-1 X| + r'V^-1 r)/2
# with r = y - X beta_GLS (no log|X'X| term, as in lme4 and SAS). deviance =
# -2 logLik (the REML criterion for REML fits); AIC = -2 logLik + 2 n_theta
# (also for ML fits: mmrm does not count beta in AIC/BIC);
# BIC = -2 logLik + log(n_subjects) n_theta; AICc multiplies 2 n_theta by
# m / (m - n_theta - 1) with m = max(n_theta + 2, n_obs - p).
#
# Polishing: mmrm's default optimizer (L-BFGS-B with optim's default factr)
# stops with gradients of order 1e-2 (estimates good to about 1e-4). Every
# stored fit is refitted with nlminb (using TMB's Hessian, rel.tol 1e-14)
# from the default fit's theta and from mmrm's standard start, followed by
# Newton steps on TMB's exact gradient and Hessian while they shrink the
# gradient; the fit started from the default fit's theta is kept unless the
# other one reaches a log-likelihood higher by more than 1e-8.
# All inference variants of one model are then evaluated at that same theta
# (an "optimizer" that returns its start unchanged), so they differ only in
# the covariance of beta and the degrees of freedom. The script checks each
# polished log-likelihood, beta and covariance of beta against a dense
# computation in plain R (solve/Cholesky per subject, beta by GLS).
#
# mmrm 0.3.18 was installed from source against Debian's TMB 1.9.2; mmrm warns
# that TMB below 1.9.15 does not guarantee bit-identical refits (differences
# of the order of 1e-13 in the log-likelihood).
suppressPackageStartupMessages({
  library(mmrm)
  library(emmeans)
  library(nlme)
  library(lme4)
  library(car)
})
source("tests/r/json_writer.R")
options(warn = 1)
mat <- function(m) lapply(seq_len(nrow(m)), function(i) vec(m[i, ]))
tic <- function() proc.time()[["elapsed"]]
t_start <- tic()
say <- function(...) message(sprintf("[%6.1fs] ", tic() - t_start), ...)

# ---------------------------------------------------------------------------
# Data: write the CSVs, read them back, restore the factor levels.
data(fev_data, package = "mmrm")
data(bcva_data, package = "mmrm")
bcva_data$ARMCD <- factor(bcva_data$ARMCD)
bcva_data$RACE <- factor(bcva_data$RACE)
write.csv(fev_data, "tests/data/mmrm_fev.csv", row.names = FALSE)
write.csv(bcva_data, "tests/data/mmrm_bcva.csv", row.names = FALSE)

read_back <- function(path, original) {
  d <- read.csv(path, stringsAsFactors = FALSE)
  stopifnot(identical(names(d), names(original)), nrow(d) == nrow(original))
  for (v in names(d)) {
    if (is.factor(original[[v]])) {
      d[[v]] <- factor(as.character(d[[v]]), levels = levels(original[[v]]))
      stopifnot(identical(d[[v]], original[[v]]))
    } else {
      stopifnot(isTRUE(all.equal(d[[v]], original[[v]], tolerance = 1e-13)))
    }
  }
  d
}
fev <- read_back("tests/data/mmrm_fev.csv", fev_data)
bcva <- read_back("tests/data/mmrm_bcva.csv", bcva_data)
datasets <- list(fev = fev, bcva = bcva)

describe_data <- function(path, d) {
  fac <- names(d)[vapply(d, is.factor, logical(1))]
  list(
    file = path,
    n_rows = nrow(d),
    columns = vec(names(d)),
    factor_levels = setNames(lapply(fac, function(v) vec(levels(d[[v]]))), fac)
  )
}

# ---------------------------------------------------------------------------
# theta -> Sigma, written out from mmrm's documented parametrisation.
inv_f <- function(x) x / sqrt(1 + x^2)
theta_to_sigma <- function(cov_type, theta, n_visits) {
  m <- n_visits
  idx <- outer(seq_len(m), seq_len(m), function(i, j) abs(i - j))
  hom <- function(sd, corr) diag(rep(sd, length.out = m), m) %*% corr %*% diag(rep(sd, length.out = m), m)
  switch(cov_type,
    us = {
      s <- exp(theta[1:m])
      M <- diag(m)
      k <- m
      for (i in seq_len(m)) for (j in seq_len(i - 1)) {
        k <- k + 1
        M[i, j] <- theta[k]
      }
      L <- diag(s, m) %*% M
      L %*% t(L)
    },
    toep = , toeph = {
      ns <- if (cov_type == "toep") 1 else m
      rho <- c(1, inv_f(theta[ns + seq_len(m - 1)]))
      hom(exp(theta[1:ns]), matrix(rho[idx + 1], m))
    },
    ar1 = , ar1h = {
      ns <- if (cov_type == "ar1") 1 else m
      hom(exp(theta[1:ns]), inv_f(theta[ns + 1])^idx)
    },
    ad = , adh = {
      ns <- if (cov_type == "ad") 1 else m
      rho <- inv_f(theta[ns + seq_len(m - 1)])
      P <- diag(m)
      for (i in seq_len(m)) for (j in seq_len(m)) {
        if (i < j) P[i, j] <- P[j, i] <- prod(rho[i:(j - 1)])
      }
      hom(exp(theta[1:ns]), P)
    },
    cs = , csh = {
      ns <- if (cov_type == "cs") 1 else m
      a <- 1 / (m - 1)
      rho <- plogis(theta[ns + 1]) * (1 + a) - a
      P <- matrix(rho, m, m)
      diag(P) <- 1
      hom(exp(theta[1:ns]), P)
    },
    sp_exp = {
      # The 2 x 2 matrix at unit distance, as VarCorr() reports it.
      v <- exp(theta[1])
      rho <- plogis(theta[2])
      v * matrix(c(1, rho, rho, 1), 2)
    },
    stop("unknown covariance type ", cov_type)
  )
}
n_theta_per_group <- function(cov_type, m) {
  switch(cov_type,
    us = m * (m + 1) / 2, toep = m, toeph = 2 * m - 1, ar1 = 2, ar1h = m + 1,
    ad = m, adh = 2 * m - 1, cs = 2, csh = m + 1, sp_exp = 2
  )
}

# ---------------------------------------------------------------------------
# Model specifications.
fev_fixed <- "FEV1 ~ RACE + SEX + ARMCD * AVISIT"
bcva_fixed <- "BCVA_CHG ~ BCVA_BL + RACE + ARMCD * AVISIT"
# Inference variants, named "method/vcov" as mmrm_control(method, vcov) takes
# them. Satterthwaite degrees of freedom with an empirical covariance cost
# about 0.1 s per contrast on fev (mmrm forms an n_obs x (p n_subjects)
# matrix), so only two fev models get them; on bcva that matrix has
# 8605 x 23000 entries (19 s and 6 GB per fit), so bcva gets the empirical
# covariance only once, for us with residual degrees of freedom. mmrm's
# Between-Within degrees of freedom (about a minute per bcva model) and type
# II tests (a few seconds per bcva variant) are stored for fev models only.
asymptotic_variants <- c(
  "Satterthwaite/Asymptotic", "Kenward-Roger/Kenward-Roger", "Kenward-Roger/Kenward-Roger-Linear",
  "Residual/Asymptotic", "Between-Within/Asymptotic"
)
residual_empirical_variants <- c("Residual/Empirical", "Residual/Empirical-Jackknife", "Residual/Empirical-Bias-Reduced")
satterthwaite_empirical_variants <- c(
  "Satterthwaite/Empirical", "Satterthwaite/Empirical-Jackknife", "Satterthwaite/Empirical-Bias-Reduced"
)
spec <- function(name, data, fixed, cov, visit = "AVISIT", subject = "USUBJID",
                 group = NULL, reml = TRUE, weights = NULL,
                 variants = c(asymptotic_variants, residual_empirical_variants), type2 = TRUE) {
  inner <- if (is.null(group)) paste(visit, "|", subject) else paste(visit, "|", group, "/", subject)
  # mmrm allows Kenward-Roger only with REML.
  if (!reml) variants <- variants[!startsWith(variants, "Kenward-Roger/")]
  list(
    name = name, data = data, fixed = fixed, cov = cov, visit = visit, subject = subject,
    group = group, reml = reml, weights = weights, variants = variants, type2 = type2,
    formula = paste0(fixed, " + ", cov, "(", inner, ")")
  )
}
bcva_variants <- setdiff(asymptotic_variants, "Between-Within/Asymptotic")
with_sat_emp <- c(asymptotic_variants, residual_empirical_variants, satterthwaite_empirical_variants)
specs <- c(
  lapply(c("us", "toep", "toeph", "ar1", "ar1h", "cs", "csh", "ad", "adh"), function(cv) {
    spec(paste0("fev_", cv), "fev", fev_fixed, cv,
      variants = if (cv == "us") with_sat_emp else c(asymptotic_variants, residual_empirical_variants)
    )
  }),
  list(
    spec("fev_us_grouped", "fev", fev_fixed, "us", group = "ARMCD", variants = with_sat_emp),
    spec("fev_sp_exp", "fev", fev_fixed, "sp_exp", visit = "VISITN"),
    spec("fev_us_ml", "fev", fev_fixed, "us", reml = FALSE),
    spec("fev_us_weighted", "fev", fev_fixed, "us", weights = "WEIGHT"),
    spec("bcva_us", "bcva", bcva_fixed, "us", variants = c(bcva_variants, "Residual/Empirical"), type2 = FALSE),
    spec("bcva_ar1", "bcva", bcva_fixed, "ar1", variants = bcva_variants, type2 = FALSE),
    spec("bcva_toeph", "bcva", bcva_fixed, "toeph", variants = bcva_variants, type2 = FALSE)
  )
)

# ---------------------------------------------------------------------------
# Optimizers handed to mmrm_control(optimizers = ...). mmrm calls them as
# fun(par, fn, gr, hessian = he) with TMB's objective, gradient and Hessian.
polish_fun <- function(par, fn, gr, hessian, ...) {
  opt <- stats::nlminb(par, fn, gr, hessian,
    control = list(rel.tol = 1e-14, x.tol = 1e-12, eval.max = 5000L, iter.max = 2000L)
  )
  th <- opt$par
  gmax <- max(abs(gr(th)))
  f0 <- fn(th)
  steps <- 0L
  for (k in seq_len(10)) {
    if (gmax < 1e-11) break
    step <- try(solve(hessian(th), as.vector(gr(th))), silent = TRUE)
    if (inherits(step, "try-error")) break
    cand <- th - step
    fc <- fn(cand)
    gc <- max(abs(gr(cand)))
    if (!is.finite(fc) || !(gc < gmax) || fc > f0 + 1e-9) break
    th <- cand
    gmax <- gc
    f0 <- fc
    steps <- steps + 1L
  }
  # nlminb may report "singular" or "false" convergence once its tight
  # tolerances go below what the objective resolves; the Newton steps'
  # gradient decides instead.
  list(
    par = th, objective = fn(th), convergence = if (gmax < 1e-6) 0L else max(1L, opt$convergence),
    message = paste0("nlminb: ", opt$message, "; Newton steps after it: ", steps),
    iterations = opt$iterations, evaluations = opt$evaluations,
    newton_steps = steps, max_abs_gradient = gmax
  )
}
polish_optimizer <- structure(polish_fun, args = list(), use_hessian = TRUE, class = c("partial", "function"))
held_optimizer <- structure(
  function(par, fn, gr, ...) {
    list(par = par, objective = fn(par), convergence = 0L, message = "theta held at the polished estimate")
  },
  args = list(), class = c("partial", "function")
)

fit_with <- function(s, control) {
  d <- datasets[[s$data]]
  w <- if (is.null(s$weights)) NULL else d[[s$weights]]
  if (is.null(w)) {
    mmrm(as.formula(s$formula), data = d, reml = s$reml, control = control)
  } else {
    mmrm(as.formula(s$formula), data = d, reml = s$reml, weights = w, control = control)
  }
}
max_grad <- function(fit) max(abs(fit$tmb_object$gr(fit$theta_est)))

# ---------------------------------------------------------------------------
# Dense check: the log-likelihood, GLS beta and its covariance from Sigma
# built with theta_to_sigma, one subject at a time with plain R algebra.
dense_check <- function(s, fit) {
  d <- datasets[[s$data]]
  vars <- unique(c(all.vars(as.formula(s$fixed)), s$visit, s$subject, s$group, s$weights))
  d <- d[complete.cases(d[, vars]), ]
  X <- model.matrix(as.formula(s$fixed), d)
  stopifnot(identical(colnames(X), names(fit$beta_est)))
  y <- d[[all.vars(as.formula(s$fixed))[1]]]
  w <- if (is.null(s$weights)) rep(1, nrow(d)) else d[[s$weights]]
  theta <- fit$theta_est
  vc <- VarCorr(fit)
  if (s$cov == "sp_exp") {
    m <- 2L
    sig_groups <- list(all = theta_to_sigma("sp_exp", theta, 2))
    map_diff <- max(abs(sig_groups$all - vc))
  } else {
    lev <- levels(d[[s$visit]])
    m <- length(lev)
    k <- n_theta_per_group(s$cov, m)
    glev <- if (is.null(s$group)) "all" else levels(d[[s$group]])
    sig_groups <- setNames(lapply(seq_along(glev), function(g) {
      theta_to_sigma(s$cov, theta[(g - 1) * k + seq_len(k)], m)
    }), glev)
    vcl <- if (is.null(s$group)) list(all = vc) else vc
    map_diff <- max(vapply(glev, function(g) max(abs(sig_groups[[g]] - unname(vcl[[g]]))), 0))
  }
  subj <- split(seq_len(nrow(d)), as.character(d[[s$subject]]))
  p <- ncol(X)
  A <- matrix(0, p, p)
  b <- numeric(p)
  logdet <- 0
  whiten <- vector("list", length(subj))
  for (i in seq_along(subj)) {
    r <- subj[[i]]
    g <- if (is.null(s$group)) "all" else as.character(d[[s$group]][r[1]])
    if (s$cov == "sp_exp") {
      v <- sig_groups$all[1, 1]
      rho <- sig_groups$all[1, 2] / v
      tt <- d[[s$visit]][r]
      S <- v * rho^abs(outer(tt, tt, "-"))
    } else {
      vi <- as.integer(d[[s$visit]][r])
      S <- sig_groups[[g]][vi, vi, drop = FALSE]
    }
    S <- S / sqrt(outer(w[r], w[r]))
    R <- chol(S)
    logdet <- logdet + 2 * sum(log(diag(R)))
    Xs <- backsolve(R, X[r, , drop = FALSE], transpose = TRUE)
    ys <- backsolve(R, y[r], transpose = TRUE)
    A <- A + crossprod(Xs)
    b <- b + as.vector(crossprod(Xs, ys))
    whiten[[i]] <- list(Xs = Xs, ys = ys)
  }
  beta <- solve(A, b)
  q <- sum(vapply(whiten, function(z) sum((z$ys - z$Xs %*% beta)^2), 0))
  n <- nrow(d)
  ll <- if (s$reml) {
    -0.5 * ((n - p) * log(2 * pi) + logdet + as.numeric(determinant(A)$modulus) + q)
  } else {
    -0.5 * (n * log(2 * pi) + logdet + q)
  }
  list(
    logLik_dense = ll,
    logLik_mmrm = as.numeric(logLik(fit)),
    difference = as.numeric(logLik(fit)) - ll,
    max_abs_diff_beta = max(abs(beta - fit$beta_est)),
    max_abs_diff_beta_vcov = max(abs(solve(A) - fit$beta_vcov)),
    max_abs_diff_covariance_map = map_diff
  )
}

# ---------------------------------------------------------------------------
# Extraction of one inference variant.
anova_table <- function(fit, type) {
  a <- mmrm:::Anova.mmrm(fit, type = type)
  list(
    terms = vec(rownames(a)), num_df = vec(a[["Df"]]), den_df = vec(a[["Res.Df"]]),
    F = vec(a[["F"]]), p = vec(a[["Pr(>F)"]])
  )
}
emmeans_tables <- function(fit) {
  em <- emmeans(fit, ~ ARMCD | AVISIT)
  es <- as.data.frame(summary(em, infer = c(TRUE, TRUE)))
  pr <- as.data.frame(summary(pairs(em), infer = c(TRUE, TRUE)))
  list(
    emmeans = list(
      ARMCD = vec(as.character(es$ARMCD)), AVISIT = vec(as.character(es$AVISIT)),
      estimate = vec(es$emmean), se = vec(es$SE), df = vec(es$df), lower = vec(es$lower.CL),
      upper = vec(es$upper.CL), t = vec(es$t.ratio), p = vec(es$p.value)
    ),
    pairs = list(
      contrast = vec(as.character(pr$contrast)), AVISIT = vec(as.character(pr$AVISIT)),
      estimate = vec(pr$estimate), se = vec(pr$SE), df = vec(pr$df), lower = vec(pr$lower.CL),
      upper = vec(pr$upper.CL), t = vec(pr$t.ratio), p = vec(pr$p.value)
    )
  )
}
inference_entry <- function(fit, method, vcov_type, type2) {
  ct <- summary(fit)$coefficients
  # As confint.mmrm computes them, without recomputing the table.
  sefac <- ct[, "Std. Error"] * stats::qt(0.025, df = ct[, "df"])
  ci <- cbind(ct[, "Estimate"] + sefac, ct[, "Estimate"] - sefac)
  out <- list(
    method = method, vcov = vcov_type,
    coefficients = list(
      names = vec(rownames(ct)), estimate = vec(ct[, "Estimate"]), se = vec(ct[, "Std. Error"]),
      df = vec(ct[, "df"]), t = vec(ct[, "t value"]), p = vec(ct[, "Pr(>|t|)"]),
      lower = vec(ci[, 1]), upper = vec(ci[, 2])
    ),
    beta_vcov = mat(component(fit, "beta_vcov")),
    type3 = anova_table(fit, "III"),
    type2 = if (type2) anova_table(fit, "II") else NULL
  )
  c(out, emmeans_tables(fit))
}

# ---------------------------------------------------------------------------
# Predictions and residuals.
# fev: the CSV rows of five subjects: PT1 (visits 2 and 4 observed), PT2
# (2 to 4), PT6 (one visit), PT8 (all four) and PT54 (none). bcva has no rows
# for missing visits, so its new data complete the visit grid of three
# subjects (two with missing visits) with a missing response.
prediction_newdata <- function(s) {
  d <- datasets[[s$data]]
  if (s$data == "fev") {
    rows <- which(as.character(d$USUBJID) %in% c("PT1", "PT2", "PT6", "PT8", "PT54"))
    return(list(nd = d[rows, ], rows = rows))
  }
  n_vis <- table(d$USUBJID)
  ids <- c(head(names(n_vis)[n_vis < 8], 2), head(names(n_vis)[n_vis == 10], 1))
  nd <- do.call(rbind, lapply(ids, function(id) {
    di <- d[as.character(d$USUBJID) == id, ]
    grid <- di[rep(1, nlevels(d$AVISIT)), ]
    grid$AVISIT <- factor(levels(d$AVISIT), levels = levels(d$AVISIT))
    grid$VISITN <- seq_len(nlevels(d$AVISIT))
    grid$BCVA_CHG <- di$BCVA_CHG[match(levels(d$AVISIT), as.character(di$AVISIT))]
    grid
  }))
  rownames(nd) <- NULL
  list(nd = nd, rows = NULL)
}
predictions_entry <- function(s, fit) {
  pn <- prediction_newdata(s)
  nd <- pn$nd
  rows <- pn$rows
  cond <- predict(fit, nd, se.fit = TRUE, interval = "confidence", conditional = TRUE)
  uncond <- predict(fit, nd, se.fit = TRUE, interval = "confidence")
  set.seed(20260501)
  pint <- predict(fit, nd, se.fit = TRUE, interval = "prediction", nsim = 1000L)
  X <- model.matrix(as.formula(s$fixed), transform(nd, FEV1 = 0, BCVA_CHG = 0))
  xb <- as.vector(X %*% fit$beta_est)
  se_xb <- sqrt(diag(X %*% component(fit, "beta_vcov") %*% t(X)))
  # Plug-in conditional mean and variances at the fitted theta: the rows
  # with an observed response keep it (variance 0), the others get
  # x_m'beta + S_mo S_oo^-1 (y_o - X_o beta), with confidence variance
  # z'V_beta z (z = x_m - X_o' S_oo^-1 S_om) and prediction variance
  # z'V_beta z + (S_mm - S_mo S_oo^-1 S_om)[m, m].
  yname <- all.vars(as.formula(s$fixed))[1]
  cm <- cv <- pv <- rep(NA_real_, nrow(nd))
  for (id in unique(as.character(nd[[s$subject]]))) {
    r <- which(as.character(nd[[s$subject]]) == id)
    o <- r[!is.na(nd[[yname]][r])]
    mi <- r[is.na(nd[[yname]][r])]
    cm[o] <- nd[[yname]][o]
    cv[o] <- 0
    pv[o] <- 0
    if (length(mi) == 0) next
    if (s$cov == "sp_exp") {
      vc <- VarCorr(fit)
      tt <- nd[[s$visit]][r]
      S <- vc[1, 1] * (vc[1, 2] / vc[1, 1])^abs(outer(tt, tt, "-"))
      dimnames(S) <- list(r, r)
    } else {
      vc <- VarCorr(fit)
      if (!is.null(s$group)) vc <- vc[[as.character(nd[[s$group]][r[1]])]]
      vi <- as.integer(nd[[s$visit]][r])
      S <- vc[vi, vi, drop = FALSE]
      dimnames(S) <- list(r, r)
    }
    Sm <- S[as.character(mi), as.character(mi), drop = FALSE]
    V <- component(fit, "beta_vcov")
    if (length(o) == 0) {
      z <- X[mi, , drop = FALSE]
      cm[mi] <- xb[mi]
      cond_S <- Sm
    } else {
      Smo <- S[as.character(mi), as.character(o), drop = FALSE]
      So <- S[as.character(o), as.character(o), drop = FALSE]
      B <- Smo %*% solve(So)
      z <- X[mi, , drop = FALSE] - B %*% X[o, , drop = FALSE]
      cm[mi] <- xb[mi] + as.vector(B %*% (nd[[yname]][o] - xb[o]))
      cond_S <- Sm - B %*% t(Smo)
    }
    cv[mi] <- diag(z %*% V %*% t(z))
    pv[mi] <- cv[mi] + diag(cond_S)
  }
  stopifnot(max(abs(cm - cond[, "fit"])) < 1e-8, max(abs(sqrt(cv) - cond[, "se"])) < 1e-8)
  cols <- unique(c(s$subject, s$visit, all.vars(as.formula(s$fixed))))
  list(
    rows = if (is.null(rows)) NULL else vec(rows),
    newdata = setNames(lapply(cols, function(v) {
      x <- nd[[v]]
      vec(if (is.factor(x)) as.character(x) else x)
    }), cols),
    observed = vec(!is.na(nd[[yname]])),
    conditional = list(
      fit = vec(cond[, "fit"]), se = vec(cond[, "se"]), lower = vec(cond[, "lwr"]), upper = vec(cond[, "upr"])
    ),
    plugin_prediction_variance = vec(pv),
    unconditional = list(fit = vec(xb), se = vec(se_xb)),
    unconditional_as_returned = list(
      fit = vec(uncond[, "fit"]), se = vec(uncond[, "se"]), lower = vec(uncond[, "lwr"]), upper = vec(uncond[, "upr"])
    ),
    prediction_interval_monte_carlo = list(
      seed = 20260501L, nsim = 1000L,
      fit = vec(pint[, "fit"]), se = vec(pint[, "se"]), lower = vec(pint[, "lwr"]), upper = vec(pint[, "upr"])
    )
  )
}
residuals_entry <- function(s, fit, n = 20L) {
  ff <- component(fit, "full_frame")
  rows <- as.integer(rownames(ff))[seq_len(n)]
  one <- function(type) {
    r <- try(residuals(fit, type = type), silent = TRUE)
    if (inherits(r, "try-error")) NULL else vec(unname(r)[seq_len(n)])
  }
  list(
    rows = vec(rows), subject = vec(as.character(ff[[s$subject]][seq_len(n)])),
    response = one("response"), pearson = one("pearson"), normalized = one("normalized")
  )
}

# ---------------------------------------------------------------------------
# One model: default fit, polished fit, checks, inference variants.
run_spec <- function(s) {
  t0 <- tic()
  default <- fit_with(s, mmrm_control())
  cands <- list(
    from_default = try(fit_with(s, mmrm_control(optimizers = list(polish = polish_optimizer), start = default$theta_est)), silent = TRUE),
    from_standard_start = try(fit_with(s, mmrm_control(optimizers = list(polish = polish_optimizer))), silent = TRUE)
  )
  ok <- !vapply(cands, inherits, logical(1), what = "try-error")
  nll <- vapply(cands, function(f) if (inherits(f, "try-error")) Inf else f$neg_log_lik, 0)
  # The two starts reach the same optimum up to rounding (the objective
  # resolves about 1e-12); the standard start wins only if clearly better.
  best_name <- if (ok[["from_default"]] && nll[["from_default"]] <= nll[["from_standard_start"]] + 1e-8) {
    "from_default"
  } else {
    "from_standard_start"
  }
  best <- cands[[best_name]]
  theta <- best$theta_est
  say(s$name, ": polished (", best_name, "), max |gradient| ", signif(max_grad(best), 3))

  fits <- list()
  inference <- list()
  for (vn in s$variants) {
    v <- strsplit(vn, "/", fixed = TRUE)[[1]]
    tv <- tic()
    f <- try(fit_with(s, mmrm_control(optimizers = list(held = held_optimizer), start = theta, method = v[1], vcov = v[2])), silent = TRUE)
    if (inherits(f, "try-error")) {
      inference[[vn]] <- list(method = v[1], vcov = v[2], error = as.character(f))
      next
    }
    stopifnot(identical(f$theta_est, theta))
    fits[[vn]] <- f
    e <- inference_entry(f, v[1], v[2], s$type2 && !(v[1] == "Satterthwaite" && v[2] != "Asymptotic"))
    # The covariance of beta depends on vcov only: stored once per vcov.
    same <- Filter(function(u) identical(u$vcov, v[2]) && !is.null(u$beta_vcov), inference)
    if (length(same)) {
      stopifnot(max(abs(component(f, "beta_vcov") - component(fits[[names(same)[1]]], "beta_vcov"))) == 0)
      e$beta_vcov <- NULL
      e$beta_vcov_same_as <- names(same)[1]
    }
    inference[[vn]] <- e
    say(s$name, ": ", vn, " in ", round(tic() - tv, 1), "s")
  }
  main <- fits[["Satterthwaite/Asymptotic"]]
  dc <- dense_check(s, main)
  vc <- VarCorr(main)
  cov_out <- if (is.list(vc)) lapply(vc, function(m) mat(unname(m))) else mat(unname(vc))
  opt <- best$opt_details
  entry <- list(
    data = s$data, formula = s$formula, fixed = s$fixed, cov_type = s$cov,
    visit = s$visit, subject = s$subject, group = s$group, weights = s$weights,
    reml = s$reml,
    n_obs = component(main, "n_obs"), n_subjects = component(main, "n_subjects"),
    n_timepoints = component(main, "n_timepoints"),
    visit_levels = if (s$cov == "sp_exp") NULL else vec(levels(component(main, "full_frame")[[s$visit]])),
    group_levels = if (is.null(s$group)) NULL else vec(names(vc)),
    n_theta = length(theta),
    logLik = as.numeric(logLik(main)),
    deviance = deviance(main),
    AIC = AIC(main), AICc = AIC(main, corrected = TRUE), BIC = BIC(main),
    beta_names = vec(names(main$beta_est)), beta = vec(main$beta_est),
    theta = vec(theta), theta_vcov = mat(component(main, "theta_vcov")),
    covariance = if (is.list(vc)) NULL else cov_out,
    covariance_by_group = if (is.list(vc)) cov_out else NULL,
    convergence = list(
      optimizer = "nlminb + Newton", start = best_name, code = opt$convergence, message = opt$message,
      nlminb_iterations = opt$iterations, newton_steps = opt$newton_steps,
      max_abs_gradient = max_grad(best),
      candidates = lapply(names(cands), function(nm) {
        if (!ok[[nm]]) return(list(start = nm, error = as.character(cands[[nm]])))
        list(start = nm, neg_log_lik = cands[[nm]]$neg_log_lik, max_abs_gradient = max_grad(cands[[nm]]))
      })
    ),
    default_fit = list(
      optimizer = default$optimizer, code = component(default, "convergence"),
      message = component(default, "conv_message"),
      logLik = as.numeric(logLik(default)), theta = vec(default$theta_est), beta = vec(default$beta_est),
      max_abs_gradient = max_grad(default),
      logLik_below_polished = as.numeric(logLik(best)) - as.numeric(logLik(default)),
      max_abs_diff_theta = max(abs(default$theta_est - theta)),
      max_abs_diff_beta = max(abs(default$beta_est - best$beta_est)),
      max_abs_diff_se = max(abs(sqrt(diag(default$beta_vcov)) - sqrt(diag(best$beta_vcov)))),
      max_abs_diff_df = if (identical(default$method, "Satterthwaite")) {
        max(abs(summary(default)$coefficients[, "df"] - summary(main)$coefficients[, "df"]))
      } else {
        NULL
      }
    ),
    dense_check = dc,
    inference = inference,
    residuals = residuals_entry(s, main)
  )
  if (s$data == "fev" || s$name == "bcva_us") entry$predictions <- predictions_entry(s, main)
  say(s$name, ": done in ", round(tic() - t0, 1), "s; dense logLik difference ", signif(dc$difference, 3))
  list(entry = entry, main = main)
}

results <- lapply(specs, run_spec)
names(results) <- vapply(specs, `[[`, "", "name")

# ---------------------------------------------------------------------------
# Second references: nlme::gls for us, lme4::lmer for cs.
gls_fit <- gls(
  FEV1 ~ RACE + SEX + ARMCD * AVISIT, data = fev,
  correlation = corSymm(form = ~ VISITN | USUBJID), weights = varIdent(form = ~ 1 | AVISIT),
  method = "REML", na.action = na.omit,
  # With opt = "nlminb" gls ignores msTol and stops about 1e-7 short in the
  # log-likelihood; optim's BFGS takes msTol as its reltol.
  control = glsControl(opt = "optim", msTol = 1e-15, tolerance = 1e-12, msMaxIter = 5000, maxIter = 1000, returnObject = TRUE)
)
mm_us <- results$fev_us$main
gls_cov <- unname(as.matrix(getVarCov(gls_fit, individual = "PT8")))
nlme_entry <- list(
  call = paste(
    "gls(FEV1 ~ RACE + SEX + ARMCD * AVISIT, correlation = corSymm(form = ~ VISITN | USUBJID),",
    "weights = varIdent(form = ~ 1 | AVISIT), method = \"REML\", na.action = na.omit)"
  ),
  logLik = as.numeric(logLik(gls_fit)),
  logLik_mmrm_us = as.numeric(logLik(mm_us)),
  difference = as.numeric(logLik(gls_fit)) - as.numeric(logLik(mm_us)),
  beta_names = vec(names(coef(gls_fit))), beta = vec(coef(gls_fit)),
  max_abs_diff_beta = max(abs(coef(gls_fit) - mm_us$beta_est)),
  covariance = mat(gls_cov),
  max_abs_diff_covariance = max(abs(gls_cov - unname(VarCorr(mm_us))))
)
say("nlme gls: logLik difference to mmrm us ", signif(nlme_entry$difference, 3))

lmer_fit <- lmer(
  FEV1 ~ RACE + SEX + ARMCD * AVISIT + (1 | USUBJID), data = fev, REML = TRUE,
  control = lmerControl(optimizer = "bobyqa", optCtrl = list(rhobeg = 0.2, rhoend = 1e-12, maxfun = 100000))
)
mm_cs <- results$fev_cs$main
lme4_entry <- list(
  call = "lmer(FEV1 ~ RACE + SEX + ARMCD * AVISIT + (1 | USUBJID), REML = TRUE)",
  logLik = as.numeric(logLik(lmer_fit)),
  REML_criterion = as.numeric(deviance(lmer_fit, REML = TRUE)),
  logLik_mmrm_cs = as.numeric(logLik(mm_cs)),
  difference = as.numeric(logLik(lmer_fit)) - as.numeric(logLik(mm_cs)),
  beta_names = vec(names(fixef(lmer_fit))), beta = vec(fixef(lmer_fit)),
  max_abs_diff_beta = max(abs(fixef(lmer_fit) - mm_cs$beta_est)),
  subject_variance = as.numeric(VarCorr(lmer_fit)$USUBJID),
  residual_variance = sigma(lmer_fit)^2,
  implied_cs_variance = as.numeric(VarCorr(lmer_fit)$USUBJID) + sigma(lmer_fit)^2,
  implied_cs_correlation = as.numeric(VarCorr(lmer_fit)$USUBJID) / (as.numeric(VarCorr(lmer_fit)$USUBJID) + sigma(lmer_fit)^2),
  mmrm_cs_variance = VarCorr(mm_cs)[1, 1],
  mmrm_cs_correlation = VarCorr(mm_cs)[1, 2] / VarCorr(mm_cs)[1, 1]
)
say("lme4 lmer: logLik difference to mmrm cs ", signif(lme4_entry$difference, 3))

# ---------------------------------------------------------------------------
layout <- list(
  versions = "R and package versions that produced the numbers.",
  data = "name -> {file, n_rows, columns, factor_levels}: the CSVs (written with write.csv, NA for missing) and the level order of each factor column, which fixes the reference levels and the column order of beta. bcva's ARMCD and RACE are character in mmrm's data and become factors with sorted levels, as mmrm does.",
  fits = paste(
    "name -> one model fitted by mmrm. formula is the mmrm formula; fixed the fixed-effects part; cov_type, visit, subject, group (null if none), weights (column name or null), reml.",
    "n_obs and n_subjects count the rows and subjects with an observed response (rows with a missing value are dropped; subjects without an observed response do not count).",
    "visit_levels: the order of the rows/columns of covariance (absent for sp_exp, whose visit is the numeric time VISITN and whose covariance is the 2 x 2 matrix at unit distance).",
    "logLik, deviance (= -2 logLik, the REML criterion for REML fits), AIC, AICc, BIC as mmrm computes them (see the script's header).",
    "beta_names/beta; theta (mmrm's parametrisation, see the script's header) and theta_vcov = inverse of the Hessian of -logLik in theta;",
    "covariance (T x T, rows as visit_levels) or covariance_by_group (group level -> T x T).",
    "convergence: the polished optimum (nlminb with tight tolerances plus Newton steps) and max_abs_gradient of -logLik in theta there; candidates lists every start tried.",
    "default_fit: mmrm's default fit (L-BFGS-B) and how far it is from the polished optimum (max_abs_diff_df: Satterthwaite df of the coefficient table).",
    "dense_check: logLik recomputed in plain R from theta (difference = mmrm - dense), and the largest differences of beta, beta_vcov and of Sigma built from theta versus VarCorr.",
    "inference: 'method/vcov' (mmrm_control(method = , vcov = )) -> coefficient table {names, estimate, se, df, t, p, lower, upper (95% t intervals as confint.mmrm)},",
    "beta_vcov (the covariance of beta that vcov gives; an entry whose vcov already appeared has beta_vcov_same_as naming that entry instead),",
    "type3 and type2 {terms, num_df, den_df, F, p} (mmrm's Anova.mmrm: F tests with the method's denominator df), emmeans (emmeans(fit, ~ ARMCD | AVISIT), equal weights over the other factors, covariates at their mean) and pairs",
    "(pairs() of it: PBO - TRT, CTL - TRT), each with estimate, se, df, lower, upper (95%), t, p. An entry with an error key failed in mmrm. All entries of one fit share the same theta and beta.",
    "Which variants a fit has: all fev fits have Satterthwaite/Asymptotic, Kenward-Roger/Kenward-Roger, Kenward-Roger/Kenward-Roger-Linear (REML fits only: mmrm allows Kenward-Roger only with REML), Residual/Asymptotic, Between-Within/Asymptotic and Residual/Empirical, Residual/Empirical-Jackknife, Residual/Empirical-Bias-Reduced;",
    "fev_us and fev_us_grouped also Satterthwaite/Empirical, Satterthwaite/Empirical-Jackknife, Satterthwaite/Empirical-Bias-Reduced (no type2 there); bcva fits have the Satterthwaite, Kenward-Roger and Residual asymptotic variants (and bcva_us Residual/Empirical), no Between-Within and no type2 (mmrm takes about a minute for each on bcva).",
    "residuals: the first 20 rows in mmrm's internal order (by subject, then visit) with rows = 1-based row numbers in the CSV; response, pearson and normalized (null where mmrm does not provide the type).",
    "predictions (fev fits and bcva_us): all CSV rows (rows, 1-based) of a few subjects, observed or not. conditional = predict(conditional = TRUE, interval = 'confidence', se.fit = TRUE):",
    "observed rows return their own response with se 0, missing rows the conditional mean given the subject's observed rows; its se^2 is z'V_beta z, z = x_m - X_o' S_oo^-1 S_om, and lower/upper use the normal quantile.",
    "plugin_prediction_variance adds the conditional variance of the missing visit given the observed ones (S_mm - S_mo S_oo^-1 S_om) at the fitted theta.",
    "unconditional: x'beta and sqrt(x'V_beta x). unconditional_as_returned: what predict(se.fit = TRUE, interval = 'confidence') returns without conditional = TRUE in mmrm 0.3.18: its se column is x'V_beta x (a variance) and its interval uses qnorm(1 - level/2) = qnorm(0.525); kept as mmrm returns it.",
    "prediction_interval_monte_carlo: predict(interval = 'prediction'), which samples theta from N(theta_hat, theta_vcov) nsim times (seeded R RNG); only approximately reproducible elsewhere, compare with plugin_prediction_variance loosely."
  ),
  nlme_gls_us = "nlme::gls with corSymm + varIdent on fev (the us model; glsControl(opt = 'optim', msTol = 1e-15)); difference = gls logLik - mmrm fev_us logLik (nlme's REML log-likelihood uses the same constants as mmrm's). covariance is getVarCov() for subject PT8 (all four visits); max_abs_diff_* compare with mmrm's fev_us.",
  lme4_cs = "lme4::lmer with a random intercept per subject on fev: the same model as mmrm's cs when the correlation is positive; difference = lmer logLik - mmrm fev_cs logLik."
)
versions <- list(
  R = paste(R.version$major, R.version$minor, sep = "."),
  mmrm = as.character(packageVersion("mmrm")), TMB = as.character(packageVersion("TMB")),
  RcppEigen = as.character(packageVersion("RcppEigen")),
  nlme = as.character(packageVersion("nlme")), lme4 = as.character(packageVersion("lme4")),
  emmeans = as.character(packageVersion("emmeans")), car = as.character(packageVersion("car"))
)
out <- list(
  layout = layout,
  versions = versions,
  data = list(
    fev = describe_data("tests/data/mmrm_fev.csv", fev),
    bcva = describe_data("tests/data/mmrm_bcva.csv", bcva)
  ),
  fits = lapply(results, `[[`, "entry"),
  nlme_gls_us = nlme_entry,
  lme4_cs = lme4_entry
)
writeLines(to_json(out), "tests/data/mmrm_reference.json")
say("wrote tests/data/mmrm_reference.json")
