# Reference numbers for generalized linear mixed models with one grouping
# factor: glmer fits (binomial with logit, probit and cloglog links, as
# successes/failures and as proportions with the trials as weights; Poisson
# with a log link, with and without an offset) with q = 1, 2 and 3 random
# effects, by the Laplace approximation (nAGQ = 1), adaptive Gauss-Hermite
# quadrature (nAGQ = 9, 25, scalar random effects only) and lme4's nAGQ = 0.
# Each fit is converged tightly with bobyqa and checked against a Nelder-Mead
# fit and a bobyqa refit started at the optimum; most Laplace fits are also
# repeated with glmmTMB as a second reference, and the marginal
# log-likelihood is evaluated directly in this script (Laplace and adaptive
# quadrature at lme4's estimates) as a third.
#
# Writes the data it fits, so that the tests never need R:
#   tests/data/cbpp.csv, tests/data/grouseticks.csv,
#   tests/data/Contraception.csv, tests/data/glmm_poisson_slopes.csv,
#   tests/data/glmm_separation.csv
# and the numbers to tests/data/glmm_reference.json. Every model is fitted to
# the data as read back from its CSV file. Factors used as fixed effects hold
# text levels (period "p1".."p4", YEAR "Y95".."Y97") so that a CSV reader
# does not take them for numbers; grouping columns may be numbers.
#
# Run from the repository root: Rscript tests/r/glmm_reference.R
suppressMessages({
  library(lme4)
  library(glmmTMB)
  library(mlmRev)
})
t_start <- proc.time()[["elapsed"]]

# ---------------------------------------------------------------- JSON
source("tests/r/json_writer.R")  # to_json, vec

# ---------------------------------------------------------------- data
dir <- "tests/data"
csv <- function(name) file.path(dir, paste0(name, ".csv"))

cb <- lme4::cbpp
cb <- data.frame(herd = as.integer(as.character(cb$herd)), incidence = as.integer(cb$incidence),
                 size = as.integer(cb$size), period = paste0("p", cb$period))
cb$prop <- cb$incidence / cb$size
write.csv(cb, csv("cbpp"), row.names = FALSE)

gt <- lme4::grouseticks
set.seed(20260311)
gt <- data.frame(INDEX = as.integer(as.character(gt$INDEX)), TICKS = as.integer(gt$TICKS),
                 BROOD = as.integer(as.character(gt$BROOD)), HEIGHT = gt$HEIGHT,
                 YEAR = paste0("Y", gt$YEAR), LOCATION = as.integer(as.character(gt$LOCATION)),
                 HEIGHT_s = as.vector(scale(gt$HEIGHT)))
# A made-up exposure (time observed) for the offset fit.
gt$t <- round(runif(nrow(gt), 0.5, 2), 4)
gt$log_t <- log(gt$t)
write.csv(gt, csv("grouseticks"), row.names = FALSE)

ct <- mlmRev::Contraception
ct <- data.frame(woman = as.integer(as.character(ct$woman)), district = as.integer(as.character(ct$district)),
                 use = as.integer(ct$use == "Y"), livch = as.character(ct$livch), age = ct$age,
                 age2 = ct$age^2, urban = as.character(ct$urban))
write.csv(ct, csv("Contraception"), row.names = FALSE)

# Poisson counts with three correlated random effects (intercept and two
# slopes) in 40 groups of 15.
set.seed(20260301)
G <- 40; n <- 15
gi <- rep(seq_len(G), each = n)
x1 <- round(rnorm(G * n), 4)
x2 <- round(runif(G * n, -1, 1), 4)
S <- diag(c(0.5, 0.3, 0.25)) %*% matrix(c(1, .3, -.2, .3, 1, .1, -.2, .1, 1), 3) %*% diag(c(0.5, 0.3, 0.25))
b <- matrix(rnorm(G * 3), G) %*% chol(S)
eta <- 0.5 + 0.3 * x1 - 0.4 * x2 + b[gi, 1] + b[gi, 2] * x1 + b[gi, 3] * x2
ps <- data.frame(g = sprintf("g%02d", gi), x1 = x1, x2 = x2, y = rpois(G * n, exp(eta)))
write.csv(ps, csv("glmm_poisson_slopes"), row.names = FALSE)

# 0/1 responses in 24 groups of 8, with groups g01-g03 set to all ones and
# g04-g05 to all zeros (complete separation within those groups; g07 and
# g16 happen to be all ones as drawn).
set.seed(20260302)
G <- 24; n <- 8
gi <- rep(seq_len(G), each = n)
x <- round(rnorm(G * n), 4)
eta <- -0.2 + 0.8 * x + rnorm(G, 0, 1)[gi]
y <- rbinom(G * n, 1, plogis(eta))
y[gi <= 3] <- 1L
y[gi %in% 4:5] <- 0L
sp <- data.frame(g = sprintf("g%02d", gi), x = x, y = as.integer(y))
write.csv(sp, csv("glmm_separation"), row.names = FALSE)

datasets <- list()
for (nm in c("cbpp", "grouseticks", "Contraception", "glmm_poisson_slopes", "glmm_separation"))
  datasets[[nm]] <- read.csv(csv(nm), stringsAsFactors = TRUE)

# ---------------------------------------------------------------- fitting
ctrl <- function(opt = "bobyqa")
  glmerControl(optimizer = opt,
               optCtrl = if (opt == "bobyqa") list(rhoend = 1e-10, maxfun = 1e5) else list(maxfun = 1e5, FtolAbs = 1e-12, FtolRel = 1e-14, XtolRel = 1e-12))

fam <- function(family, link) if (family == "binomial") binomial(link) else poisson(link)

glmer_fit <- function(cs, data, nAGQ = cs$nAGQ, opt = "bobyqa", start = NULL) {
  args <- list(formula = as.formula(cs$formula), data = data, family = fam(cs$family, cs$link),
               nAGQ = nAGQ, control = ctrl(opt))
  if (!is.null(cs$weights)) args$weights <- data[[cs$weights]]
  if (!is.null(start)) args$start <- start
  do.call(glmer, args)
}

re_modes <- function(fit, k = 5) {
  re <- ranef(fit, condVar = TRUE)[[1]]
  pv <- attr(re, "postVar")
  k <- min(k, nrow(re))
  list(groups = vec(rownames(re)[seq_len(k)]),
       names = vec(colnames(re)),
       modes = lapply(seq_len(k), function(i) vec(unlist(re[i, ]))),
       condvar = lapply(seq_len(k), function(i) vec(pv[, , i])))
}

lme4_numbers <- function(fit, cs) {
  vc <- as.data.frame(VarCorr(fit))
  conv <- fit@optinfo$conv
  msgs <- c(unlist(conv$lme4$messages), unlist(fit@optinfo$warnings))
  out <- list(
    logLik = as.numeric(logLik(fit)),
    deviance = deviance(fit),
    minus2logLik = -2 * as.numeric(logLik(fit)),
    AIC = AIC(fit), BIC = BIC(fit),
    df_resid = as.integer(df.residual(fit)),
    nobs = as.integer(nobs(fit)),
    ngroups = as.integer(ngrps(fit)),
    fixef_names = vec(names(fixef(fit))),
    fixef = vec(fixef(fit)),
    se = vec(sqrt(diag(as.matrix(vcov(fit))))),
    se_rx = vec(sqrt(diag(as.matrix(suppressWarnings(vcov(fit, use.hessian = FALSE)))))),
    theta = vec(getME(fit, "theta")),
    varcorr = lapply(seq_len(nrow(vc)), function(i)
      list(grp = vc$grp[i], var1 = vc$var1[i], var2 = if (is.na(vc$var2[i])) NULL else vc$var2[i],
           vcov = vc$vcov[i], sdcor = vc$sdcor[i])),
    ranef = re_modes(fit),
    isSingular = isSingular(fit),
    optimizer_code = as.integer(conv$opt),
    optimizer_message = fit@optinfo$message,
    max_abs_grad = if (!is.null(fit@optinfo$derivs)) max(abs(fit@optinfo$derivs$gradient)) else NA,
    messages = vec(if (length(msgs)) as.character(msgs) else character(0))
  )
  if (cs$family == "poisson") {
    chi2 <- sum(residuals(fit, type = "pearson")^2)
    out$pearson_chi2 <- chi2
    out$pearson_chi2_df <- chi2 / df.residual(fit)
  }
  out
}

# Nelder-Mead from the default start and bobyqa restarted at the optimum;
# differences in logLik and the largest difference over beta and theta.
checks <- function(fit, cs, data) {
  ll <- as.numeric(logLik(fit))
  par <- c(getME(fit, "theta"), fixef(fit))
  one <- function(f2) {
    p2 <- c(getME(f2, "theta"), fixef(f2))
    list(logLik = as.numeric(logLik(f2)), logLik_diff = as.numeric(logLik(f2)) - ll,
         par_max_abs_diff = max(abs(p2 - par)))
  }
  start <- if (cs$nAGQ == 0) list(theta = getME(fit, "theta"))
           else list(theta = getME(fit, "theta"), fixef = fixef(fit))
  list(nelder_mead = one(suppressWarnings(glmer_fit(cs, data, opt = "Nelder_Mead"))),
       bobyqa_restart = one(suppressWarnings(glmer_fit(cs, data, start = start))))
}

tmb_numbers <- function(cs, data) {
  args <- list(formula = as.formula(cs$formula), data = data, family = fam(cs$family, cs$link),
               control = glmmTMBControl(optCtrl = list(iter.max = 1e4, eval.max = 1e4)))
  if (!is.null(cs$weights)) args$weights <- data[[cs$weights]]
  tf <- do.call(glmmTMB, args)
  vc <- VarCorr(tf)$cond[[1]]
  sds <- attr(vc, "stddev")
  cr <- attr(vc, "correlation")
  L <- t(chol(unclass(vc)[seq_along(sds), seq_along(sds), drop = FALSE]))
  list(logLik = as.numeric(logLik(tf)),
       AIC = AIC(tf), BIC = BIC(tf),
       fixef = vec(fixef(tf)$cond),
       se = vec(sqrt(diag(vcov(tf)$cond))),
       sd = vec(sds),
       cor = vec(if (length(sds) > 1) cr[lower.tri(cr)] else numeric(0)),
       theta = vec(L[lower.tri(L, diag = TRUE)]),
       convergence = as.integer(tf$fit$convergence),
       pdHess = tf$sdr$pdHess)
}

# ---------------------------------------------------------------- direct
# The marginal log-likelihood evaluated here, independently of lme4's
# iterations, at given (theta, beta): each group's conditional mode found by
# damped Newton steps to 1e-13, then the Laplace approximation with the
# curvature from the Fisher weights (lme4's convention) or from the observed
# second derivatives (glmmTMB's), or adaptive Gauss-Hermite quadrature
# (q = 1) on lme4's nodes. All with the full constants (log choose(m, s)
# and -log y! included).
link_fns <- function(link) {
  switch(link,
    logit = list(mu = plogis, me = function(e) { m <- plogis(e); m * (1 - m) },
                 me2 = function(e) { m <- plogis(e); m * (1 - m) * (1 - 2 * m) }),
    probit = list(mu = pnorm, me = dnorm, me2 = function(e) -e * dnorm(e)),
    cloglog = list(mu = function(e) -expm1(-exp(e)), me = function(e) exp(e - exp(e)),
                   me2 = function(e) exp(e - exp(e)) * (1 - exp(e))),
    log = list(mu = exp, me = exp, me2 = exp))
}
# Each observation's log-likelihood, its first two derivatives in eta and
# its Fisher weight; y is the proportion and m the trials for a binomial.
obs_terms <- function(family, link, eta, y, m) {
  L <- link_fns(link)
  mu <- L$mu(eta); me <- L$me(eta); me2 <- L$me2(eta)
  if (family == "binomial") {
    ll <- dbinom(round(m * y), round(m), mu, log = TRUE)
    d1mu <- m * (y - mu) / (mu * (1 - mu))
    d2mu <- -m * (y / mu^2 + (1 - y) / (1 - mu)^2)
    fw <- m * me^2 / (mu * (1 - mu))
  } else {
    ll <- dpois(y, mu, log = TRUE)
    d1mu <- y / mu - 1
    d2mu <- -y / mu^2
    fw <- me^2 / mu
  }
  list(ll = ll, d1 = d1mu * me, d2 = d2mu * me^2 + d1mu * me2, fw = fw)
}
saturated_loglik <- function(family, y, m)
  if (family == "binomial") sum(dbinom(round(m * y), round(m), y, log = TRUE)) else sum(dpois(y, y, log = TRUE))

direct_loglik <- function(family, link, y, m, X, Z, grp, offset, theta, beta, nAGQ = 1, curvature = "expected") {
  q <- ncol(Z)
  Lam <- matrix(0, q, q)
  Lam[lower.tri(Lam, diag = TRUE)] <- theta
  eta0 <- drop(X %*% beta) + offset
  grp <- factor(grp)
  total <- 0
  modes <- list(); condvar <- list()
  for (j in levels(grp)) {
    i <- which(grp == j)
    Zj <- Z[i, , drop = FALSE] %*% Lam
    hval <- function(u) sum(obs_terms(family, link, eta0[i] + drop(Zj %*% u), y[i], m[i])$ll) - sum(u^2) / 2
    u <- rep(0, q)
    for (it in 1:200) {
      ot <- obs_terms(family, link, eta0[i] + drop(Zj %*% u), y[i], m[i])
      g <- drop(crossprod(Zj, ot$d1)) - u
      step <- solve(crossprod(Zj, Zj * (-ot$d2)) + diag(q), g)
      h0 <- sum(ot$ll) - sum(u^2) / 2
      s <- 1
      repeat {
        un <- u + s * step
        if (hval(un) >= h0 - 1e-12 || s < 1e-8) break
        s <- s / 2
      }
      u <- un
      if (max(abs(s * step)) < 1e-13) break
    }
    ot <- obs_terms(family, link, eta0[i] + drop(Zj %*% u), y[i], m[i])
    W <- if (curvature == "observed") -ot$d2 else ot$fw
    H <- crossprod(Zj, Zj * W) + diag(q)
    h <- sum(ot$ll) - sum(u^2) / 2
    if (nAGQ <= 1) {
      total <- total + h - 0.5 * as.numeric(determinant(H)$modulus)
    } else {
      stopifnot(q == 1)
      gh <- GHrule(nAGQ)
      sd <- 1 / sqrt(drop(H))
      vals <- vapply(gh[, "z"], function(z) hval(u + sd * z) + z^2 / 2, 0)
      total <- total + log(sd) + max(vals) + log(sum(gh[, "w"] * exp(vals - max(vals))))
    }
    modes[[j]] <- drop(Lam %*% u)
    condvar[[j]] <- Lam %*% solve(H) %*% t(Lam)
  }
  list(logLik = total, modes = modes, condvar = condvar)
}

direct_numbers <- function(fit, cs, tmb_fit = NULL) {
  Z <- getME(fit, "mmList")[[1]]
  ev <- function(theta, beta, nAGQ, curvature)
    direct_loglik(cs$family, cs$link, fit@resp$y, fit@resp$weights, getME(fit, "X"), Z,
                  getME(fit, "flist")[[1]], fit@resp$offset, theta, beta, nAGQ, curvature)
  th <- getME(fit, "theta"); be <- fixef(fit)
  lap <- ev(th, be, 1, "expected")
  out <- list(logLik_laplace = lap$logLik,
              logLik_laplace_observed = ev(th, be, 1, "observed")$logLik)
  if (cs$nAGQ > 1) {
    out$logLik_agq <- ev(th, be, cs$nAGQ, "expected")$logLik
    out$saturated_logLik <- saturated_loglik(cs$family, fit@resp$y, fit@resp$weights)
  }
  k <- min(5, length(lap$modes))
  out$modes <- lapply(lap$modes[seq_len(k)], vec)
  names(out$modes) <- NULL
  out$condvar <- lapply(lap$condvar[seq_len(k)], vec)
  names(out$condvar) <- NULL
  re <- ranef(fit, condVar = TRUE)[[1]]
  out$modes_max_abs_diff_lme4 <- max(abs(do.call(rbind, lap$modes) - as.matrix(re)))
  if (!is.null(tmb_fit))
    out$logLik_laplace_observed_at_glmmTMB <- ev(tmb_fit$theta, tmb_fit$fixef, 1, "observed")$logLik
  out
}

# ---------------------------------------------------------------- cases
cases <- list(
  list(id = "cbpp_logit_laplace", data = "cbpp", formula = "cbind(incidence, size - incidence) ~ period + (1 | herd)",
       family = "binomial", link = "logit", nAGQ = 1, tmb = TRUE),
  list(id = "cbpp_logit_agq9", data = "cbpp", formula = "cbind(incidence, size - incidence) ~ period + (1 | herd)",
       family = "binomial", link = "logit", nAGQ = 9),
  list(id = "cbpp_logit_agq25", data = "cbpp", formula = "cbind(incidence, size - incidence) ~ period + (1 | herd)",
       family = "binomial", link = "logit", nAGQ = 25),
  list(id = "cbpp_logit_nagq0", data = "cbpp", formula = "cbind(incidence, size - incidence) ~ period + (1 | herd)",
       family = "binomial", link = "logit", nAGQ = 0,
       note = "nAGQ = 0: theta optimised with beta from the joint penalised iteratively reweighted least squares; the logLik is lme4's Laplace value there"),
  list(id = "cbpp_prop_logit_laplace", data = "cbpp", formula = "prop ~ period + (1 | herd)", weights = "size",
       family = "binomial", link = "logit", nAGQ = 1, tmb = TRUE),
  list(id = "cbpp_prop_logit_agq9", data = "cbpp", formula = "prop ~ period + (1 | herd)", weights = "size",
       family = "binomial", link = "logit", nAGQ = 9),
  list(id = "cbpp_probit_laplace", data = "cbpp", formula = "cbind(incidence, size - incidence) ~ period + (1 | herd)",
       family = "binomial", link = "probit", nAGQ = 1, tmb = TRUE,
       note = "a non-canonical link: lme4's Laplace curvature uses the Fisher weights and glmmTMB's the observed second derivatives, two different objectives (direct logLik_laplace and logLik_laplace_observed at lme4's estimates), hence the larger differences from glmmTMB"),
  list(id = "cbpp_cloglog_laplace", data = "cbpp", formula = "cbind(incidence, size - incidence) ~ period + (1 | herd)",
       family = "binomial", link = "cloglog", nAGQ = 1, tmb = TRUE,
       note = "a non-canonical link: lme4's Laplace curvature uses the Fisher weights and glmmTMB's the observed second derivatives, two different objectives (direct logLik_laplace and logLik_laplace_observed at lme4's estimates), hence the larger differences from glmmTMB"),
  list(id = "grouseticks_laplace", data = "grouseticks", formula = "TICKS ~ YEAR + HEIGHT_s + (1 | BROOD)",
       family = "poisson", link = "log", nAGQ = 1, tmb = TRUE),
  list(id = "grouseticks_agq9", data = "grouseticks", formula = "TICKS ~ YEAR + HEIGHT_s + (1 | BROOD)",
       family = "poisson", link = "log", nAGQ = 9),
  list(id = "grouseticks_nagq0", data = "grouseticks", formula = "TICKS ~ YEAR + HEIGHT_s + (1 | BROOD)",
       family = "poisson", link = "log", nAGQ = 0,
       note = "nAGQ = 0: theta optimised with beta from the joint penalised iteratively reweighted least squares; the logLik is lme4's Laplace value there"),
  list(id = "grouseticks_offset_laplace", data = "grouseticks",
       formula = "TICKS ~ YEAR + HEIGHT_s + offset(log_t) + (1 | BROOD)", offset = "log_t",
       family = "poisson", link = "log", nAGQ = 1, tmb = TRUE),
  list(id = "grouseticks_offset_agq9", data = "grouseticks",
       formula = "TICKS ~ YEAR + HEIGHT_s + offset(log_t) + (1 | BROOD)", offset = "log_t",
       family = "poisson", link = "log", nAGQ = 9),
  list(id = "contraception_slope_laplace", data = "Contraception", formula = "use ~ age + urban + (urban | district)",
       family = "binomial", link = "logit", nAGQ = 1, tmb = TRUE),
  list(id = "contraception_laplace", data = "Contraception",
       formula = "use ~ age + age2 + urban + livch + (1 | district)",
       family = "binomial", link = "logit", nAGQ = 1, tmb = TRUE,
       note = "age2 reaches 378, so lme4 warns of a very large Hessian eigenvalue (a scaling warning) and its finite-difference gradient in the age2 coefficient is about 1; Nelder-Mead and a bobyqa restart reach the same optimum (logLik within 3e-8, parameters within 3e-5)"),
  list(id = "contraception_agq9", data = "Contraception",
       formula = "use ~ age + age2 + urban + livch + (1 | district)",
       family = "binomial", link = "logit", nAGQ = 9,
       note = "age2 reaches 378, so lme4 warns of a very large Hessian eigenvalue (a scaling warning) and its finite-difference gradient in the age2 coefficient is about 1; Nelder-Mead and a bobyqa restart reach the same optimum (logLik within 3e-8, parameters within 3e-5)"),
  list(id = "poisson_slopes_laplace", data = "glmm_poisson_slopes", formula = "y ~ x1 + x2 + (x1 + x2 | g)",
       family = "poisson", link = "log", nAGQ = 1, tmb = TRUE),
  list(id = "separation_laplace", data = "glmm_separation", formula = "y ~ x + (1 | g)",
       family = "binomial", link = "logit", nAGQ = 1, tmb = TRUE,
       note = "groups g01, g02, g03, g07 and g16 are all ones and g04, g05 all zeros; their conditional modes stay finite"),
  list(id = "separation_agq9", data = "glmm_separation", formula = "y ~ x + (1 | g)",
       family = "binomial", link = "logit", nAGQ = 9)
)

# Spellings fitted only to confirm they give the same fit as a stored case.
same_as <- list(
  cbpp_prop_logit_laplace = list(formula = "incidence/size ~ period + (1 | herd)", weights = "size"),
  contraception_laplace = list(formula = "use ~ age + I(age^2) + urban + livch + (1 | district)"),
  grouseticks_offset_laplace = list(formula = "TICKS ~ YEAR + HEIGHT_s + (1 | BROOD)", offset_arg = "log_t")
)

factors_of <- list(cbpp = c("herd", "period"), grouseticks = c("BROOD", "YEAR"),
                   Contraception = c("district", "livch", "urban"),
                   glmm_poisson_slopes = "g", glmm_separation = "g")

results <- list()
lme4_fits <- list()
for (cs in cases) {
  d <- datasets[[cs$data]]
  t0 <- proc.time()[["elapsed"]]
  warns <- character(0)
  fit <- withCallingHandlers(glmer_fit(cs, d), warning = function(w) {
    warns <<- c(warns, conditionMessage(w)); invokeRestart("muffleWarning")
  })
  lme4_fits[[cs$id]] <- fit
  res <- list(id = cs$id, data = paste0(cs$data, ".csv"), formula = cs$formula,
              family = cs$family, link = cs$link, nAGQ = as.integer(cs$nAGQ),
              weights = cs$weights, offset = cs$offset,
              response = if (grepl("^cbind", cs$formula)) "successes_failures"
                         else if (!is.null(cs$weights)) "proportion_weights" else "observations",
              factors = vec(factors_of[[cs$data]]))
  res$lme4 <- lme4_numbers(fit, cs)
  res$checks <- checks(fit, cs, d)
  notes <- if (!is.null(cs$note)) cs$note else character(0)
  if (!is.null(same_as[[cs$id]])) {
    alt <- same_as[[cs$id]]
    args <- list(formula = as.formula(alt$formula), data = d, family = fam(cs$family, cs$link),
                 nAGQ = cs$nAGQ, control = ctrl())
    if (!is.null(alt$weights)) args$weights <- d[[alt$weights]]
    if (!is.null(alt$offset_arg)) args$offset <- d[[alt$offset_arg]]
    f2 <- suppressWarnings(do.call(glmer, args))
    res$checks$same_fit <- list(formula = alt$formula,
                                offset_argument = alt$offset_arg,
                                logLik_diff = as.numeric(logLik(f2)) - res$lme4$logLik,
                                fixef_max_abs_diff = max(abs(fixef(f2) - fixef(fit))))
  }
  if (isTRUE(cs$tmb)) {
    tm <- withCallingHandlers(tmb_numbers(cs, d), warning = function(w) {
      warns <<- c(warns, paste("glmmTMB:", conditionMessage(w))); invokeRestart("muffleWarning")
    })
    tm$logLik_diff = tm$logLik - res$lme4$logLik
    tm$fixef_max_abs_diff = max(abs(tm$fixef - fixef(fit)))
    tm$theta_max_abs_diff = max(abs(tm$theta - getME(fit, "theta")))
    res$glmmTMB <- tm
  }
  res$direct <- direct_numbers(fit, cs, res$glmmTMB)
  # Doubts: an optimizer warning, a large gradient, or another optimizer
  # reaching a different optimum.
  ck <- res$checks
  msgs <- unique(gsub("\\s+", " ", c(res$lme4$messages, warns)))
  if (length(msgs)) notes <- c(notes, paste("lme4 and glmmTMB messages:", paste(msgs, collapse = "; ")))
  for (k in c("nelder_mead", "bobyqa_restart"))
    if (abs(ck[[k]]$logLik_diff) > 1e-6 || ck[[k]]$par_max_abs_diff > 1e-3)
      notes <- c(notes, sprintf("%s differs: logLik diff %.3g, parameter max diff %.3g", k,
                                ck[[k]]$logLik_diff, ck[[k]]$par_max_abs_diff))
  if (length(notes)) res$note <- paste(notes, collapse = " | ")
  results[[length(results) + 1]] <- res
  message(sprintf("%-30s logLik %.10f  NM %.2e  restart %.2e  TMB %s  (%.1fs)", cs$id, res$lme4$logLik,
                  ck$nelder_mead$logLik_diff, ck$bobyqa_restart$logLik_diff,
                  if (is.null(res$glmmTMB)) "-" else sprintf("%.2e / beta %.2e", res$glmmTMB$logLik_diff,
                                                             res$glmmTMB$fixef_max_abs_diff),
                  proc.time()[["elapsed"]] - t0))
}

# The proportion spelling must reproduce the successes/failures fit.
pp <- abs(as.numeric(logLik(lme4_fits$cbpp_prop_logit_laplace)) - as.numeric(logLik(lme4_fits$cbpp_logit_laplace)))
pq <- abs(as.numeric(logLik(lme4_fits$cbpp_prop_logit_agq9)) - as.numeric(logLik(lme4_fits$cbpp_logit_agq9)))
if (pp > 1e-6 || pq > 1e-6) stop("proportion and successes/failures fits differ")

out <- list(
  description = paste("glmer reference fits (lme4, bobyqa with rhoend = 1e-10) and glmmTMB fits of the",
                      "Laplace cases; data in the CSV files named by each case"),
  R_version = paste(R.version$major, R.version$minor, sep = "."),
  lme4_version = as.character(packageVersion("lme4")),
  glmmTMB_version = as.character(packageVersion("glmmTMB")),
  layout = list(
    theta = "lme4's getME(fit, 'theta'): the lower triangle of the relative covariance factor, column by column",
    se = "sqrt(diag(vcov(fit))): lme4's default, from the finite-difference Hessian of the deviance in (theta, beta)",
    se_rx = "sqrt(diag(vcov(fit, use.hessian = FALSE))): from the fixed-effects block of the penalised system at the optimum",
    deviance = "deviance(fit) as lme4 reports it for a GLMM; minus2logLik is -2 * logLik",
    ranef = "the first groups in lme4's level order: conditional modes, and conditional variances (postVar) as q x q matrices column by column",
    nAGQ0 = "nAGQ = 0 optimises theta only, with beta from the penalised iteratively reweighted least squares",
    checks = "logLik and parameter differences of a Nelder-Mead fit and a bobyqa restart from the optimum",
    logLik_agq = paste("lme4's logLik for nAGQ > 1 is the quadrature log-likelihood less the saturated model's",
                       "(its deviance is built from deviance residuals): lme4 logLik = direct logLik_agq - direct saturated_logLik;",
                       "no shift for 0/1 responses"),
    direct = paste("computed in the script at lme4's estimates, independently of lme4's iterations: exact conditional",
                   "modes, full constants; logLik_laplace with Fisher-weight curvature (lme4's convention),",
                   "logLik_laplace_observed with observed curvature (glmmTMB's; equal for logit and log links),",
                   "logLik_agq by adaptive Gauss-Hermite quadrature on lme4's nodes; modes and condvar (b scale) for the",
                   "first groups. lme4's own Laplace logLik sits below logLik_laplace by up to about 4e-4 (7e-3 for",
                   "nAGQ = 0) because its log-determinant is not refreshed after the last PIRLS step;",
                   "logLik_laplace_observed_at_glmmTMB reproduces glmmTMB's logLik"),
    glmmTMB = "theta there is the lower triangle of the Cholesky factor of glmmTMB's random-effects covariance, comparable with lme4's theta"
  ),
  cases = results
)
writeLines(to_json(out), file.path(dir, "glmm_reference.json"))
message(sprintf("total %.1fs", proc.time()[["elapsed"]] - t_start))
