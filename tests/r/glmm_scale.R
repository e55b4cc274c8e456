# Reference numbers for mixed models with one grouping factor whose data sit
# far from unit scale, where rounding in the likelihood, its derivatives and
# the finite-difference Hessians behind the standard errors starts to matter:
# Poisson means from 8e3 to 1e7 (random intercepts, and correlated random
# slopes at 1e5 and 1e7), binomial rows with 1e6 to 1e8 trials under the
# logit, probit and cloglog links, probit and cloglog random slopes with 20
# trials a row, a fixed-effect level that never sees a success (quasi-complete
# separation) fitted under two reference codings, the bacteria data (MASS)
# with a random intercept and with a random slope in week, and linear mixed
# models whose response is dominated by a slope of 1e6 or 1e7.
#
# Each GLMM is fitted by glmer (Laplace, bobyqa with rhoend = 1e-12) and by
# glmmTMB (nlminb with rel.tol = 1e-15, loosened step by step while nlminb
# reports a convergence problem). Their standard errors come from two
# different finite-difference Hessians (lme4's deriv12 on its deviance, TMB's
# optimHess on the gradient with steps of 1e-3), so a third value is computed
# here: the Hessian of glmmTMB's marginal negative log-likelihood (obj$fn,
# Laplace) in its full parameter vector (beta, then log-sd and correlation
# parameters), by Richardson extrapolation (numDeriv) of central differences
# of obj$gr, with steps scaled by each parameter's standard error; it is
# inverted and the beta block taken. nlminb stops up to 1e-4 standard errors
# short of the optimum at these scales, enough to move an intercept's
# standard error by 1e-5, so glmmTMB's optimum is first polished by Newton
# steps with that Hessian. The same Hessian is also taken at glmmTMB's own
# optimum, from obj$fn values and with a second step size, and, as a check on
# glmer's own number, from lme4's Laplace deviance function in (theta, beta)
# at glmer's estimates (for the probit and cloglog links lme4's Laplace
# curvature uses the Fisher weights and glmmTMB's the observed second
# derivatives, so the two peers maximise different functions there). Each
# glmer fit is also restarted from glmmTMB's estimates, and glmmTMB's
# objective is evaluated at glmer's.
#
# Each LMM is fitted by lmer (REML and ML), by lmer on the response reduced by
# its least-squares fit (the model is invariant to adding X c to y, so beta is
# the reduced fit's plus the least-squares coefficients) and by a dense fit
# written out here on the reduced response: the variance ratio solves the
# REML (or ML) score equation, beta and the standard errors follow from
# generalised least squares.
#
# Writes the data it fits to tests/data/glmm_scale_<name>.csv and the numbers
# to tests/data/glmm_scale.json. Every model is fitted to the data as read
# back from its CSV file. Numeric columns are written with the fewest digits
# (15, 16 or 17) that read back to the same double; fixed-effect factors and
# grouping columns hold text ("a".."c", "g01"..), never digits.
#
# Run from the repository root: Rscript tests/r/glmm_scale.R
suppressMessages({
  library(lme4)
  library(glmmTMB)
  library(numDeriv)
  library(MASS)
})
t_start <- proc.time()[["elapsed"]]

# ---------------------------------------------------------------- JSON
source("tests/r/json_writer.R")  # to_json, vec
# A named numeric vector as a JSON object (non-finite values as null).
named <- function(x) {
  out <- as.list(unname(ifelse(is.finite(x), x, NA)))
  names(out) <- names(x)
  out
}
strings <- function(x) vec(if (length(x)) as.character(unique(x)) else character(0))

# ---------------------------------------------------------------- data
dir <- "tests/data"
csv <- function(name) file.path(dir, paste0("glmm_scale_", name, ".csv"))

# Doubles as the shortest of 15, 16 or 17 significant digits that reads back
# to the same value; text columns quoted, numbers not.
shortest <- function(v) {
  out <- sprintf("%.15g", v)
  for (dg in 16:17) {
    bad <- as.numeric(out) != v
    if (!any(bad)) break
    out[bad] <- sprintf(paste0("%.", dg, "g"), v[bad])
  }
  stopifnot(all(as.numeric(out) == v))
  out
}
write_data <- function(d, name) {
  w <- d
  for (nm in names(w)) if (is.double(w[[nm]])) w[[nm]] <- shortest(w[[nm]])
  txt <- which(vapply(d, function(v) is.character(v) || is.factor(v), TRUE))
  write.csv(w, csv(name), row.names = FALSE, quote = if (length(txt)) txt else FALSE)
  back <- read.csv(csv(name), stringsAsFactors = TRUE)
  for (nm in names(d)) {
    same <- if (is.numeric(d[[nm]])) isTRUE(all(back[[nm]] == d[[nm]])) else
      isTRUE(all(as.character(back[[nm]]) == as.character(d[[nm]])))
    if (!same) stop("column ", nm, " of ", name, " does not read back unchanged")
  }
  back
}

labels <- function(gi) sprintf("g%02d", gi)
# Correlated random effects: m rows of (intercept, slope) with the given sds
# and correlation.
re2 <- function(m, sds, rho) {
  S <- diag(sds) %*% matrix(c(1, rho, rho, 1), 2) %*% diag(sds)
  matrix(rnorm(2 * m), m) %*% chol(S)
}

gen_poisson <- function(base, seed) {
  set.seed(seed)
  m <- 30; n <- 10
  gi <- rep(seq_len(m), each = n)
  x <- round(rnorm(m * n), 4)
  b <- rnorm(m, 0, 0.3)
  eta <- log(base) + 0.2 * x + b[gi]
  data.frame(g = labels(gi), x = x, y = as.integer(rpois(m * n, exp(eta))))
}
gen_poisson_slopes <- function(base, seed) {
  set.seed(seed)
  m <- 40; n <- 8
  gi <- rep(seq_len(m), each = n)
  x <- round(rnorm(m * n), 4)
  b <- re2(m, c(0.3, 0.1), 0.3)
  eta <- log(base) + 0.2 * x + b[gi, 1] + b[gi, 2] * x
  data.frame(g = labels(gi), x = x, y = as.integer(rpois(m * n, exp(eta))))
}
gen_binomial <- function(N, link, b_sd, seed) {
  set.seed(seed)
  m <- 30; n <- 10
  gi <- rep(seq_len(m), each = n)
  x <- round(rnorm(m * n), 4)
  b <- rnorm(m, 0, b_sd)
  trials <- round(N * runif(m * n, 0.5, 1.5))
  p <- binomial(link)$linkinv(-1 + 0.3 * x + b[gi])
  s <- rbinom(m * n, trials, p)
  data.frame(g = labels(gi), x = x, s = as.integer(s), f = as.integer(trials - s))
}
gen_binomial_slopes <- function(link, seed) {
  set.seed(seed)
  m <- 40; n <- 10; trials <- 20L
  gi <- rep(seq_len(m), each = n)
  x <- round(rnorm(m * n), 4)
  b <- re2(m, c(0.8, 0.4), 0.2)
  p <- binomial(link)$linkinv(-0.3 + 0.5 * x + b[gi, 1] + b[gi, 2] * x)
  s <- rbinom(m * n, trials, p)
  data.frame(g = labels(gi), x = x, s = as.integer(s), f = as.integer(trials - s))
}
# 0/1 responses with a three-level factor; level "c" never has a success.
gen_separation <- function(seed) {
  set.seed(seed)
  m <- 30; n <- 10
  gi <- rep(seq_len(m), each = n)
  f <- sample(rep(c("a", "b", "c"), m * n / 3))
  x <- round(rnorm(m * n), 4)
  b <- rnorm(m, 0, 0.7)
  y <- rbinom(m * n, 1, plogis(-0.5 + 0.5 * (f == "b") + 0.4 * x + b[gi]))
  y[f == "c"] <- 0L
  data.frame(g = labels(gi), f = f, x = x, y = as.integer(y))
}
gen_bacteria <- function() {
  bc <- MASS::bacteria
  data.frame(y = as.integer(bc$y == "y"), ap = as.character(bc$ap), hilo = as.character(bc$hilo),
             week = as.integer(bc$week), ID = as.character(bc$ID), trt = as.character(bc$trt),
             late = as.integer(bc$week > 2))
}
# y = S x + b_g + e with standard normal b and e; x to six decimals.
gen_lmm <- function(S, seed) {
  set.seed(seed)
  m <- 30; n <- 10
  gi <- rep(seq_len(m), each = n)
  x <- round(rnorm(m * n), 6)
  b <- rnorm(m)
  e <- rnorm(m * n)
  data.frame(g = labels(gi), x = x, y = S * x + b[gi] + e)
}

datasets <- list()
put <- function(name, d) datasets[[name]] <<- write_data(d, name)
put("poisson_scale_8e3", gen_poisson(8e3, 20260501))
put("poisson_scale_1.6e5", gen_poisson(1.6e5, 20260502))
put("poisson_scale_4.4e5", gen_poisson(4.4e5, 20260503))
put("poisson_scale_1e7", gen_poisson(1e7, 20260504))
put("poisson_slopes_1e5", gen_poisson_slopes(1e5, 20260505))
put("poisson_slopes_1e7", gen_poisson_slopes(1e7, 20260506))
put("binomial_trials_1e6", gen_binomial(1e6, "logit", 0.5, 20260507))
put("binomial_trials_1e7", gen_binomial(1e7, "logit", 0.5, 20260508))
put("binomial_trials_1e8", gen_binomial(1e8, "logit", 0.5, 20260509))
put("probit_trials_1e6", gen_binomial(1e6, "probit", 0.3, 20260510))
put("cloglog_trials_1e6", gen_binomial(1e6, "cloglog", 0.3, 20260511))
put("probit_slopes", gen_binomial_slopes("probit", 20260512))
put("cloglog_slopes", gen_binomial_slopes("cloglog", 20260513))
put("separation", gen_separation(20260514))
put("bacteria", gen_bacteria())
put("lmm_scale_1e7", gen_lmm(1e7, 20260515))
put("lmm_scale_1e6", gen_lmm(1e6, 20260516))

# ---------------------------------------------------------------- fitting
glmer_ctrl <- glmerControl(optimizer = "bobyqa", optCtrl = list(maxfun = 1e5, rhoend = 1e-12))
lmer_ctrl <- lmerControl(optimizer = "bobyqa", optCtrl = list(maxfun = 1e5, rhoend = 1e-12))
tmb_rel_tol <- c(1e-15, 1e-14, 1e-13, 1e-12, 1e-11, 1e-10)

# Evaluates expr, collecting its warnings and messages (lme4 reports a
# singular fit by a message) instead of printing them.
collect <- function(expr, prefix = "") {
  warns <- character(0)
  value <- withCallingHandlers(expr, warning = function(w) {
    warns <<- c(warns, paste0(prefix, conditionMessage(w)))
    invokeRestart("muffleWarning")
  }, message = function(m) {
    warns <<- c(warns, paste0(prefix, conditionMessage(m)))
    invokeRestart("muffleMessage")
  })
  list(value = value, warnings = tidy(warns))
}
# Messages with their whitespace normalised, lme4's joined messages split.
tidy <- function(msgs) {
  msgs <- unlist(strsplit(gsub("\\s+", " ", as.character(unlist(msgs))), ";(?=\\s*Model)", perl = TRUE))
  unique(trimws(msgs))
}

rel_diff <- function(a, b) abs(a - b) / pmax(abs(a), abs(b))

sd_cor <- function(vc) {
  sds <- attr(vc, "stddev")
  cr <- attr(vc, "correlation")
  list(sd = named(sds), cor = if (length(sds) == 2) cr[2, 1] else NULL)
}

glmer_numbers <- function(fit, warns) {
  conv <- fit@optinfo$conv
  msgs <- tidy(c(warns, unlist(conv$lme4$messages), unlist(fit@optinfo$warnings)))
  vc <- sd_cor(VarCorr(fit)[[1]])
  # The Newton step from lme4's finite-difference gradient and Hessian of the
  # deviance, in standard errors of each parameter.
  dv <- fit@optinfo$derivs
  step <- tryCatch({
    st <- -solve(dv$Hessian, dv$gradient)
    max(abs(st) / sqrt(diag(2 * solve(dv$Hessian))))
  }, error = function(e) NA)
  list(beta = named(fixef(fit)),
       se = named(setNames(sqrt(diag(as.matrix(vcov(fit)))), names(fixef(fit)))),
       logLik = as.numeric(logLik(fit)),
       sd = vc$sd, cor = vc$cor,
       theta = vec(getME(fit, "theta")),
       isSingular = isSingular(fit),
       optimizer_code = as.integer(conv$opt),
       max_abs_grad = if (!is.null(fit@optinfo$derivs)) max(abs(fit@optinfo$derivs$gradient)) else NA,
       newton_step_max_se = step,
       converged = conv$opt == 0 && !any(grepl("failed to converge|unable to evaluate", msgs)),
       warnings = strings(msgs))
}

# glmmTMB with the tightest relative tolerance at which nlminb reports
# convergence without a warning (at tighter ones it tends to stop with
# "singular convergence (7)" at the same optimum); the tighter attempts are
# kept as notes with their logLik less the kept fit's.
tmb_fit <- function(formula, data, family) {
  tried <- list()
  for (rt in tmb_rel_tol) {
    r <- collect(glmmTMB(formula, data = data, family = family,
                         control = glmmTMBControl(optCtrl = list(iter.max = 1e4, eval.max = 1e4,
                                                                 rel.tol = rt, x.tol = 0))))
    r$rel_tol <- rt
    if ((r$value$fit$convergence == 0 && length(r$warnings) == 0) || rt == tail(tmb_rel_tol, 1)) break
    tried[[length(tried) + 1]] <- r
  }
  ll <- as.numeric(logLik(r$value))
  r$notes <- vapply(tried, function(a)
    sprintf("rel.tol = %g: %s; logLik less the kept fit's %.3g", a$rel_tol, paste(a$warnings, collapse = "; "),
            as.numeric(logLik(a$value)) - ll), "")
  r
}

tmb_numbers <- function(r) {
  tf <- r$value
  vc <- sd_cor(VarCorr(tf)$cond[[1]])
  b <- fixef(tf)$cond
  list(beta = named(b),
       se = named(setNames(sqrt(diag(vcov(tf)$cond)), names(b))),
       logLik = as.numeric(logLik(tf)),
       sd = vc$sd, cor = vc$cor,
       par = named(setNames(tf$fit$par, make.unique(names(tf$fit$par)))),
       max_abs_grad = max(abs(tf$obj$gr(tf$fit$par))),
       rel_tol = r$rel_tol,
       optimizer_message = tf$fit$message,
       pdHess = isTRUE(tf$sdr$pdHess),
       converged = tf$fit$convergence == 0 && isTRUE(tf$sdr$pdHess),
       warnings = strings(r$warnings),
       notes = strings(r$notes))
}

# Standard errors of the parameters idx from the Hessian of fn (or the
# Jacobian of gr) at par, by numDeriv's Richardson extrapolation. The
# differences are taken in z = (p - par) / scale, so that every step is a
# fraction of the parameter's standard error: steps eps, eps/2, eps/4, eps/8.
richardson <- function(fn, gr, par, scale, idx, eps = 1, from = c("gradient", "value"), factor = 1) {
  from <- match.arg(from)
  z0 <- rep(0, length(par))
  ma <- list(eps = eps, d = 0, zero.tol = 1, r = 4, v = 2)
  Hz <- if (from == "value") {
    numDeriv::hessian(function(z) fn(par + scale * z), z0, method.args = ma)
  } else {
    J <- numDeriv::jacobian(function(z) as.vector(gr(par + scale * z)) * scale, z0, method.args = ma)
    (J + t(J)) / 2
  }
  V <- factor * diag(scale, length(scale)) %*% solve(Hz) %*% diag(scale, length(scale))
  ev <- eigen(Hz, symmetric = TRUE, only.values = TRUE)$values
  list(se = sqrt(diag(V)[idx]), min_eigen_z = min(ev))
}

# glmmTMB's parameters at a boundary: a standard deviation below 1e-4 or a
# correlation within 1e-4 of +-1 (q = 2: theta is log sd1, log sd2, then
# the correlation parameter).
tmb_boundary <- function(tf) {
  par <- tf$fit$par
  th <- which(names(par) == "theta")
  q <- length(attr(VarCorr(tf)$cond[[1]], "stddev"))
  out <- th[seq_len(q)][exp(par[th[seq_len(q)]]) < 1e-4]
  if (q == 2) {
    cp <- par[th[3]]
    if (abs(cp / sqrt(1 + cp^2)) > 1 - 1e-4) out <- c(out, th[3])
  }
  out
}

# Newton steps on glmmTMB's objective from its optimum, in the parameters
# free (those not at a boundary), with the Hessian by Richardson
# extrapolation of the gradient; a step is kept while the next Newton step,
# measured in standard errors, keeps shrinking. nlminb stops up to about
# 1e-4 standard errors short of the optimum at these scales.
tmb_polish <- function(obj, par, scale, free, max_it = 8L) {
  newton <- function(p) {
    gz <- function(z) { full <- p; full[free] <- p[free] + scale[free] * z; as.vector(obj$gr(full))[free] * scale[free] }
    Hz <- numDeriv::jacobian(gz, rep(0, length(free)), method.args = list(eps = 1, d = 0, zero.tol = 1, r = 4, v = 2))
    Hz <- (Hz + t(Hz)) / 2
    sz <- -solve(Hz, gz(rep(0, length(free))))
    list(step = sz * scale[free], size = max(abs(sz) / sqrt(diag(solve(Hz)))))
  }
  nw <- newton(par)
  first <- nw$size
  it <- 0L
  while (it < max_it && nw$size > 1e-13) {
    cand <- par
    cand[free] <- par[free] + nw$step
    nc <- newton(cand)
    if (!(nc$size < nw$size)) break
    par <- cand; nw <- nc; it <- it + 1L
  }
  list(par = par, newton_step_before = first, newton_step_after = nw$size, iterations = it)
}

tmb_richardson <- function(tf, beta_names, polish = TRUE) {
  obj <- tf$obj
  par0 <- tf$fit$par
  idx <- which(names(par0) == "beta")
  th <- which(names(par0) == "theta")
  q <- length(attr(VarCorr(tf)$cond[[1]], "stddev"))
  s0 <- sqrt(diag(tf$sdr$cov.fixed))
  scale <- ifelse(is.finite(s0) & s0 > 0, pmin(s0, 1), 0.1)
  fn <- function(p) obj$fn(p)
  gr <- function(p) obj$gr(p)
  bd <- tmb_boundary(tf)
  free <- setdiff(seq_along(par0), bd)
  pol <- tmb_polish(obj, par0, scale, free, if (polish) 8L else 0L)
  par <- pol$par
  nm <- function(v) setNames(v, beta_names)
  at0 <- richardson(fn, gr, par0, scale, idx, eps = 1, from = "gradient")
  main <- richardson(fn, gr, par, scale, idx, eps = 1, from = "gradient")
  half <- richardson(fn, gr, par, scale, idx, eps = 0.25, from = "gradient")
  val <- richardson(fn, gr, par, scale, idx, eps = 1, from = "value")
  cp <- if (q == 2) par[th[3]] / sqrt(1 + par[th[3]]^2) else NULL
  out <- list(se = nm(main$se), se_at_glmmTMB_optimum = nm(at0$se),
              se_gradient_small_steps = nm(half$se), se_value = nm(val$se),
              spread = max(rel_diff(main$se, half$se)),
              min_eigen_scaled_hessian = main$min_eigen_z,
              polished = list(beta = named(nm(par[idx])),
                              sd = named(setNames(exp(par[th[seq_len(q)]]), names(attr(VarCorr(tf)$cond[[1]], "stddev")))),
                              cor = unname(cp),
                              par = named(setNames(par, make.unique(names(par)))),
                              logLik = -obj$fn(par), logLik_gain = obj$fn(par0) - obj$fn(par),
                              newton_step_max_se_before = pol$newton_step_before,
                              newton_step_max_se_after = pol$newton_step_after,
                              iterations = pol$iterations))
  # At a boundary the Hessian is nearly singular in the parameter running
  # off; holding it at its value gives the limit of the beta block.
  if (length(bd)) {
    fk <- function(p) { full <- par; full[free] <- p; obj$fn(full) }
    gk <- function(p) { full <- par; full[free] <- p; as.vector(obj$gr(full))[free] }
    fixed <- richardson(fk, gk, par[free], scale[free], match(idx, free), eps = 1, from = "gradient")
    out$se_boundary_fixed <- nm(fixed$se)
    out$boundary_parameters <- vec(names(par)[bd])
  }
  obj$fn(par0)
  out
}

# lme4's own Laplace deviance in (theta, beta), differentiated at glmer's
# estimates; the covariance of beta is 2 H^-1 of the deviance.
lme4_richardson <- function(fit, formula, data, family) {
  devfun <- glmer(formula, data = data, family = family, control = glmer_ctrl, devFunOnly = TRUE)
  par <- c(getME(fit, "theta"), fixef(fit))
  nth <- length(getME(fit, "theta"))
  idx <- nth + seq_along(fixef(fit))
  H <- fit@optinfo$derivs$Hessian
  s0 <- if (!is.null(H)) sqrt(pmax(diag(tryCatch(solve(H / 2), error = function(e) diag(NA, nrow(H)))), 0)) else NA
  scale <- ifelse(is.finite(s0) & s0 > 0, pmin(s0, 1), 0.1)
  one <- function(eps) setNames(richardson(devfun, NULL, par, scale, idx, eps = eps, from = "value", factor = 2)$se,
                                 names(fixef(fit)))
  list(steps_half_se = one(0.5), steps_twentieth_se = one(0.05))
}

# glmmTMB's parameter vector for given beta, standard deviations and
# correlation (q = 2: the correlation parameter t with cor = t / sqrt(1 + t^2)).
tmb_par <- function(beta, sds, cor) {
  th <- log(sds)
  if (length(sds) == 2) {
    r <- max(min(cor, 1 - 1e-12), -1 + 1e-12)
    th <- c(th, r / sqrt(1 - r^2))
  }
  c(beta, th)
}

glmm_case <- function(id, data, formula, family, link, note = NULL, relevel_to = NULL, polish = TRUE) {
  t0 <- proc.time()[["elapsed"]]
  d <- datasets[[data]]
  if (!is.null(relevel_to)) d$f <- relevel(d$f, relevel_to)
  fo <- as.formula(formula)
  fam <- if (family == "binomial") binomial(link) else poisson(link)
  rg <- collect(glmer(fo, data = d, family = fam, control = glmer_ctrl))
  fit <- rg$value
  rt <- tmb_fit(fo, d, fam)
  gl <- glmer_numbers(fit, rg$warnings)
  tm <- tmb_numbers(rt)
  bn <- names(fixef(fit))
  tf <- rt$value
  rich <- tryCatch(collect(tmb_richardson(tf, bn, polish)), error = function(e) list(error = conditionMessage(e)))
  if (is.null(rich$error)) { rich$value$warnings <- strings(rich$warnings); rich <- rich$value }
  na <- setNames(rep(NA_real_, length(bn)), bn)
  rich_lme4 <- tryCatch(collect(lme4_richardson(fit, fo, d, fam))$value,
                        error = function(e) list(steps_half_se = na, steps_twentieth_se = na))
  # glmmTMB's parameterisation checked on its own estimates, then its
  # objective evaluated at glmer's estimates.
  stopifnot(max(abs(tmb_par(unlist(tm$beta), unlist(tm$sd), tm$cor) - tf$fit$par)) < 1e-6 ||
              length(tmb_boundary(tf)) > 0)
  at_glmer <- -tf$obj$fn(tmb_par(fixef(fit), unlist(gl$sd), gl$cor))
  tf$obj$fn(tf$fit$par)
  # glmer restarted at glmmTMB's estimates (theta: the Cholesky factor of
  # glmmTMB's random-effects covariance).
  Sig <- unclass(VarCorr(tf)$cond[[1]])
  Sig <- Sig[seq_len(nrow(Sig)), seq_len(nrow(Sig)), drop = FALSE]
  restart <- tryCatch({
    L <- t(chol(Sig))
    r2 <- collect({
      f2 <- glmer(fo, data = d, family = fam, control = glmer_ctrl,
                  start = list(theta = L[lower.tri(L, diag = TRUE)], fixef = fixef(tf)$cond))
      list(logLik = as.numeric(logLik(f2)), logLik_diff = as.numeric(logLik(f2)) - gl$logLik,
           beta_max_abs_diff = max(abs(fixef(f2) - fixef(fit))),
           se = named(setNames(sqrt(diag(as.matrix(vcov(f2)))), bn)),
           sd = sd_cor(VarCorr(f2)[[1]])$sd, cor = sd_cor(VarCorr(f2)[[1]])$cor)
    })
    c(r2$value, list(warnings = strings(r2$warnings)))
  }, error = function(e) list(error = conditionMessage(e)))
  se_g <- unlist(gl$se)[bn]; se_t <- unlist(tm$se)[bn]
  se_r <- if (is.null(rich$error)) rich$se[bn] else setNames(rep(NA_real_, length(bn)), bn)
  res <- list(id = id, data = paste0("glmm_scale_", data), formula = formula, family = family, link = link,
              reference_level = relevel_to,
              nobs = as.integer(nobs(fit)), ngroups = as.integer(ngrps(fit)),
              glmer = gl, glmmTMB = tm,
              se_glmer = named(se_g), se_glmmTMB = named(se_t), se_richardson = named(se_r),
              richardson = if (is.null(rich$error)) list(
                se_gradient_small_steps = named(rich$se_gradient_small_steps),
                se_value = named(rich$se_value),
                spread = rich$spread,
                se_at_glmmTMB_optimum = named(rich$se_at_glmmTMB_optimum),
                min_eigen_scaled_hessian = rich$min_eigen_scaled_hessian,
                glmmTMB_polished = rich$polished,
                se_boundary_fixed = if (!is.null(rich$se_boundary_fixed)) named(rich$se_boundary_fixed),
                boundary_parameters = rich$boundary_parameters,
                warnings = rich$warnings) else list(error = rich$error),
              se_richardson_lme4 = lapply(rich_lme4, named),
              se_rel_diff = list(glmmTMB_glmer = named(rel_diff(se_t, se_g)),
                                 richardson_glmmTMB = named(rel_diff(se_r, se_t)),
                                 richardson_glmer = named(rel_diff(se_r, se_g)),
                                 richardson_at_glmmTMB_optimum_glmmTMB =
                                   if (is.null(rich$error)) named(rel_diff(rich$se_at_glmmTMB_optimum[bn], se_t)),
                                 richardson_lme4_half_se_glmer = named(rel_diff(rich_lme4$steps_half_se, se_g)),
                                 richardson_lme4_twentieth_se_glmer =
                                   named(rel_diff(rich_lme4$steps_twentieth_se, se_g))),
              logLik_diff = tm$logLik - gl$logLik,
              glmmTMB_objective_at_glmer = list(logLik = at_glmer, less_glmmTMB_logLik = at_glmer - tm$logLik),
              glmer_restart_from_glmmTMB = restart,
              beta_max_abs_diff = max(abs(unlist(tm$beta)[bn] - unlist(gl$beta)[bn])),
              note = note)
  message(sprintf("%-24s logLik glmer %.8f  glmmTMB diff %.2e  (%.1fs)", id, gl$logLik, res$logLik_diff,
                  proc.time()[["elapsed"]] - t0))
  res
}

# ---------------------------------------------------------------- LMM
# Dense fit on a response y (already reduced): V = I + lambda Z Z', the
# variance ratio lambda from the score equation of the profiled REML or ML
# criterion, then beta, sigma and the standard errors by generalised least
# squares. Returns the criterion as lme4 reports it (REMLcrit or deviance).
dense_lmm <- function(y, X, Z, reml) {
  n <- length(y); p <- ncol(X)
  ZZ <- tcrossprod(Z)
  parts <- function(lambda) {
    Vi <- solve(diag(n) + lambda * ZZ)
    XVi <- crossprod(X, Vi)
    A <- XVi %*% X
    P <- Vi - t(XVi) %*% solve(A, XVi)
    Py <- drop(P %*% y)
    list(Vi = Vi, A = A, P = P, Py = Py, yPy = sum(y * Py))
  }
  score <- function(loglam) {
    q <- parts(exp(loglam))
    tr <- if (reml) sum(q$P * ZZ) else sum(q$Vi * ZZ)
    tr - (if (reml) n - p else n) * sum(q$Py * drop(ZZ %*% q$Py)) / q$yPy
  }
  root <- uniroot(score, c(-20, 10), tol = 1e-15, maxiter = 1000)
  lambda <- exp(root$root)
  q <- parts(lambda)
  beta <- drop(solve(q$A, crossprod(X, q$Vi %*% y)))
  dfr <- if (reml) n - p else n
  s2 <- q$yPy / dfr
  ldV <- as.numeric(determinant(diag(n) + lambda * ZZ)$modulus)
  crit <- dfr * (1 + log(2 * pi * s2)) + ldV + (if (reml) as.numeric(determinant(q$A)$modulus) else 0)
  list(beta = setNames(beta, colnames(X)), se = setNames(sqrt(diag(s2 * solve(q$A))), colnames(X)),
       sigma = sqrt(s2), sd = sqrt(lambda * s2), crit = crit)
}

lmer_numbers <- function(fit, warns, shift = 0) {
  vc <- as.data.frame(VarCorr(fit))
  conv <- fit@optinfo$conv
  msgs <- tidy(c(warns, unlist(conv$lme4$messages)))
  b <- fixef(fit) + shift
  out <- list(beta = named(b),
              se = named(setNames(sqrt(diag(as.matrix(vcov(fit)))), names(b))),
              sigma = sigma(fit),
              sd = vc$sdcor[vc$grp == "g"],
              logLik = as.numeric(logLik(fit)),
              theta = getME(fit, "theta"),
              converged = conv$opt == 0 && length(unlist(conv$lme4$messages)) == 0,
              warnings = strings(msgs))
  if (isREML(fit)) out$REMLcrit <- REMLcrit(fit) else out$deviance <- deviance(fit)
  out
}

lmm_case <- function(id, data, S) {
  t0 <- proc.time()[["elapsed"]]
  d <- datasets[[data]]
  X <- cbind("(Intercept)" = 1, x = d$x)
  Z <- model.matrix(~ 0 + g, d)
  b_ols <- setNames(drop(qr.coef(qr(X), d$y)), colnames(X))
  dr <- d
  dr$y <- drop(d$y - X %*% b_ols)
  fo <- y ~ x + (1 | g)
  one <- function(dat, reml, shift = 0) {
    r <- collect(lmer(fo, data = dat, REML = reml, control = lmer_ctrl))
    lmer_numbers(r$value, r$warnings, shift)
  }
  dense <- function(reml) {
    f <- dense_lmm(dr$y, X, Z, reml)
    out <- list(beta = named(f$beta + b_ols), se = named(f$se), sigma = f$sigma, sd = f$sd)
    out[[if (reml) "REMLcrit" else "deviance"]] <- f$crit
    out$logLik <- -f$crit / 2
    out
  }
  res <- list(id = id, data = paste0("glmm_scale_", data), formula = "y ~ x + (1 | g)", family = "gaussian",
              link = "identity", slope = S, nobs = nrow(d), ngroups = nlevels(d$g),
              b_ols = named(b_ols),
              lmer_reml = one(d, TRUE), lmer_ml = one(d, FALSE),
              reduced_reml = one(dr, TRUE, b_ols), reduced_ml = one(dr, FALSE, b_ols),
              dense_reml = dense(TRUE), dense_ml = dense(FALSE))
  message(sprintf("%-24s REMLcrit lmer %.10f  reduced %.10f  dense %.10f  (%.1fs)", id,
                  res$lmer_reml$REMLcrit, res$reduced_reml$REMLcrit, res$dense_reml$REMLcrit,
                  proc.time()[["elapsed"]] - t0))
  res
}

# ---------------------------------------------------------------- cases
non_canonical <- paste("a non-canonical link: lme4's Laplace curvature uses the Fisher weights and glmmTMB's the",
                       "observed second derivatives, so the peers maximise different functions and their estimates",
                       "and standard errors differ; se_richardson follows glmmTMB's objective and",
                       "se_richardson_lme4 lme4's")
cases <- list()
add <- function(res) cases[[res$id]] <<- res
for (base in c("8e3", "1.6e5", "4.4e5", "1e7"))
  add(glmm_case(paste0("poisson_scale_", base), paste0("poisson_scale_", base), "y ~ x + (1 | g)", "poisson", "log"))
for (base in c("1e5", "1e7"))
  add(glmm_case(paste0("poisson_slopes_", base), paste0("poisson_slopes_", base), "y ~ x + (x | g)", "poisson", "log"))
for (N in c("1e6", "1e7", "1e8"))
  add(glmm_case(paste0("binomial_trials_", N), paste0("binomial_trials_", N), "cbind(s, f) ~ x + (1 | g)",
                "binomial", "logit"))
for (link in c("probit", "cloglog")) {
  add(glmm_case(paste0(link, "_trials_1e6"), paste0(link, "_trials_1e6"), "cbind(s, f) ~ x + (1 | g)",
                "binomial", link, note = non_canonical))
  add(glmm_case(paste0(link, "_slopes"), paste0(link, "_slopes"), "cbind(s, f) ~ x + (x | g)",
                "binomial", link, note = non_canonical))
}
sep_note <- paste("level c has no successes (quasi-complete separation): its coefficient (fc, or the intercept",
                  "and fa, fb with c as reference) runs off until the optimiser stops, and its standard error is",
                  "huge and depends on where that happens (glmer stops far earlier than glmmTMB); there is no",
                  "optimum to polish, so se_richardson is taken at glmmTMB's own optimum. The coefficients of",
                  "the other terms, the sd and the logLik settle and agree between the codings")
add(glmm_case("separation_ref_a", "separation", "y ~ f + x + (1 | g)", "binomial", "logit", note = sep_note,
              polish = FALSE))
add(glmm_case("separation_ref_c", "separation", "y ~ f + x + (1 | g)", "binomial", "logit", note = sep_note,
              relevel_to = "c", polish = FALSE))
add(glmm_case("bacteria_late", "bacteria", "y ~ trt + late + (1 | ID)", "binomial", "logit"))
add(glmm_case("bacteria_week_slopes", "bacteria", "y ~ trt + week + (week | ID)", "binomial", "logit",
              note = paste("a singular fit: glmer puts the correlation at 1 (isSingular), glmmTMB's correlation",
                           "parameter runs off towards it and nlminb stops with singular convergence at every",
                           "tolerance tried; richardson$se_boundary_fixed holds that parameter")))
add(lmm_case("lmm_scale_1e7", "lmm_scale_1e7", 1e7))
add(lmm_case("lmm_scale_1e6", "lmm_scale_1e6", 1e6))

# The slope in x and the logLik do not depend on the reference level.
sep <- function(peer) {
  a <- cases$separation_ref_a[[peer]]; c <- cases$separation_ref_c[[peer]]
  list(se_x_ref_a = a$se$x, se_x_ref_c = c$se$x, se_x_rel_diff = rel_diff(a$se$x, c$se$x),
       beta_x_diff = c$beta$x - a$beta$x, logLik_diff = c$logLik - a$logLik)
}
cases$separation_ref_c$se_x <- list(glmer = sep("glmer"), glmmTMB = sep("glmmTMB"))
cases$separation_ref_a$se_x <- cases$separation_ref_c$se_x

# Singularity of the random-slope fit to the bacteria data.
bw <- cases$bacteria_week_slopes
bw$singular <- list(
  glmer_isSingular = bw$glmer$isSingular,
  glmer_sd = bw$glmer$sd, glmer_cor = bw$glmer$cor,
  glmmTMB_sd = bw$glmmTMB$sd, glmmTMB_cor = bw$glmmTMB$cor,
  at_boundary = bw$glmer$isSingular || abs(bw$glmmTMB$cor) > 1 - 1e-4 || min(unlist(bw$glmmTMB$sd)) < 1e-4)
cases$bacteria_week_slopes <- bw

out <- list(
  description = paste("GLMM and LMM reference fits for data far from unit scale (Poisson means to 1e7, binomial",
                      "trials to 1e8, a slope of 1e7 in an LMM), quasi-complete separation under two codings and",
                      "the bacteria data: glmer (Laplace) and glmmTMB fits, a third standard error by Richardson",
                      "extrapolation of glmmTMB's objective, and for the LMMs lmer, lmer on the reduced response",
                      "and a dense fit; data in tests/data/glmm_scale_<name>.csv, as named by each case"),
  R_version = paste(R.version$major, R.version$minor, sep = "."),
  versions = list(lme4 = as.character(packageVersion("lme4")),
                  glmmTMB = as.character(packageVersion("glmmTMB")),
                  TMB = as.character(packageVersion("TMB")),
                  numDeriv = as.character(packageVersion("numDeriv")),
                  MASS = as.character(packageVersion("MASS"))),
  layout = list(
    se_glmer = "sqrt(diag(vcov(glmer fit))): lme4's finite-difference (deriv12) Hessian of the deviance in (theta, beta)",
    se_glmmTMB = "sqrt(diag(vcov(glmmTMB fit)$cond)): TMB's optimHess of the gradient (steps 1e-3) in (beta, theta)",
    se_richardson = paste("Hessian of glmmTMB's obj$fn (Laplace marginal negative log-likelihood) in its full",
                          "parameter vector at glmmTMB's optimum after Newton polishing (richardson$glmmTMB_polished;",
                          "richardson$se_at_glmmTMB_optimum is the same at glmmTMB's own optimum), from numDeriv::jacobian of obj$gr (Richardson,",
                          "4 steps halving from one standard error, each parameter scaled by min(its SE, 1)),",
                          "symmetrised, inverted, beta block"),
    richardson = paste("se_gradient_small_steps: the same starting at a quarter of a standard error (spread: the",
                       "largest relative difference from se_richardson); se_value: numDeriv::hessian of obj$fn values,",
                       "noisier at large scale because obj$fn carries large cancelling constants;",
                       "min_eigen_scaled_hessian: smallest eigenvalue of the Hessian in the scaled parameters;",
                       "glmmTMB_polished: glmmTMB's optimum after Newton steps on its objective with this Hessian",
                       "(parameters at a boundary held), with the largest Newton step in standard errors before and",
                       "after; the best estimates of the Laplace optimum here for the logit and log links;",
                       "se_boundary_fixed (fits at a boundary only): the parameters named in boundary_parameters",
                       "held at their values, the limit of the beta block as they run off"),
    se_richardson_lme4 = paste("numDeriv::hessian (Richardson) of lme4's own Laplace deviance function",
                               "(devFunOnly) in (theta, beta) at glmer's estimates, 2 H^-1, beta block; steps from",
                               "half and from a twentieth of a standard error. That function has small jumps (its",
                               "penalised least-squares iterations stop at a tolerance), which spoil the larger",
                               "steps for the cloglog and probit slopes and the smaller ones at large scale"),
    glmmTMB_objective_at_glmer = paste("minus glmmTMB's obj$fn at glmer's beta, sd and correlation, and that less",
                                       "glmmTMB's logLik (negative: glmmTMB's optimum is higher on its objective;",
                                       "the same objective as lme4's for the logit and log links)"),
    glmer_restart_from_glmmTMB = "glmer started at glmmTMB's estimates; logLik_diff is its logLik less the first glmer fit's",
    se_rel_diff = paste("|a - b| / max(|a|, |b|) per coefficient; richardson_at_glmmTMB_optimum_glmmTMB compares",
                        "the two at the same point, so it measures only glmmTMB's differencing error"),
    sd = "standard deviations of the random effects by term; cor the correlation when there are two",
    converged = paste("glmer: bobyqa's code 0 and no 'failed to converge' message (lme4's 'nearly unidentifiable'",
                      "scaling messages are kept in warnings but do not count); glmmTMB: nlminb's code 0 and a",
                      "positive-definite Hessian; newton_step_max_se: the largest Newton step from the reported",
                      "optimum, in standard errors (glmer's from its own finite-difference derivatives)"),
    glmmTMB_par = "glmmTMB's parameter vector: beta, then theta (log standard deviations, then the correlation parameter)",
    lmm = paste("lmer_reml / lmer_ml: lmer on the data; reduced_*: lmer on y - X b_ols with b_ols added back to",
                "beta; dense_*: the fit written out in the script on the reduced response; REMLcrit and",
                "deviance as lme4 reports them (-2 times logLik)")),
  cases = cases
)
writeLines(to_json(out), file.path(dir, "glmm_scale.json"))

# ---------------------------------------------------------------- summary
cat("SE relative differences |a - b| / max(|a|, |b|); lme4obj: Richardson on lme4's deviance function",
    "(steps from 1/2 and 1/20 of an SE) against glmer's own SE\n")
cat("rich@TMB: Richardson at glmmTMB's own optimum against glmmTMB's SE (the same point)\n")
cat(sprintf("%-22s %-12s %12s %12s %12s %9s %9s %9s %9s %9s %9s\n", "case", "coef", "se_glmer", "se_glmmTMB",
            "se_richard", "TMB/glmer", "rich/TMB", "rich/glmer", "rich@TMB", "lme4/2", "lme4/20"))
for (cs in cases) {
  if (cs$family == "gaussian") {
    for (k in c("reml", "ml")) {
      a <- cs[[paste0("lmer_", k)]]; r <- cs[[paste0("reduced_", k)]]; dn <- cs[[paste0("dense_", k)]]
      for (nm in names(a$se))
        cat(sprintf("%-22s %-12s lmer %.10g  reduced %.2e  dense %.2e  (SE rel diff; beta rel diff %.2e / %.2e)\n",
                    cs$id, paste(nm, k), a$se[[nm]], rel_diff(r$se[[nm]], a$se[[nm]]),
                    rel_diff(dn$se[[nm]], a$se[[nm]]), rel_diff(r$beta[[nm]], a$beta[[nm]]),
                    rel_diff(dn$beta[[nm]], a$beta[[nm]])))
    }
    next
  }
  for (nm in names(cs$se_glmer)) {
    f <- function(v) if (is.null(v) || is.na(v)) NA_real_ else v
    cat(sprintf("%-22s %-12s %12.6g %12.6g %12.6g %9.2e %9.2e %9.2e %9.2e %9.2e %9.2e\n", cs$id, nm,
                f(cs$se_glmer[[nm]]), f(cs$se_glmmTMB[[nm]]), f(cs$se_richardson[[nm]]),
                f(cs$se_rel_diff$glmmTMB_glmer[[nm]]), f(cs$se_rel_diff$richardson_glmmTMB[[nm]]),
                f(cs$se_rel_diff$richardson_glmer[[nm]]),
                f(cs$se_rel_diff$richardson_at_glmmTMB_optimum_glmmTMB[[nm]]), f(cs$se_rel_diff$richardson_lme4_half_se_glmer[[nm]]),
                f(cs$se_rel_diff$richardson_lme4_twentieth_se_glmer[[nm]])))
  }
}
cat(sprintf("total %.1fs\n", proc.time()[["elapsed"]] - t_start))
