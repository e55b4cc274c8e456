# Reference numbers for inference on generalized linear mixed models with one
# grouping factor (binomial logit and Poisson log, Laplace approximation):
# estimated marginal means and their pairwise comparisons (emmeans), type II
# and type III Wald chi-square tables (car::Anova) under treatment and
# sum-to-zero contrasts, likelihood-ratio drop1 tables, population-level
# predictions with standard errors (glmmTMB's predict), and the
# Nakagawa-Schielzeth R2 with its variance components (performance, which
# takes them from insight::get_variance).
#
# Every model is fitted twice, with glmmTMB and with glmer (Laplace, bobyqa),
# both converged tightly, and each table is computed on both fits so that a
# test can see where the two peers differ and by how much ("differences" in
# each model's entry).
#
# Models (data as read back from the CSV files in tests/data):
#   cbpp                       cbind(incidence, size - incidence) ~ period + (1 | herd), binomial logit
#   grouseticks                TICKS ~ YEAR + cHEIGHT + (1 | BROOD), Poisson log;
#                              cHEIGHT = HEIGHT - mean(HEIGHT)
#   contraception              use ~ urban + age + livch + (1 | district), binomial logit;
#                              use is 1 for "Y", 0 for "N"; age is mlmRev's (already centred)
#   epil                       y ~ trt + lbase + lage + (1 | subject), Poisson log;
#                              MASS's lbase = log(base / 4) and lage = log(age), each centred
#                              at its mean over the 236 rows (Breslow and Clayton's covariates)
#   contraception_interaction  use ~ urban * livch + age + (1 | district), binomial logit
#
# The R2's distribution-specific variance, as insight 0.19.0 computes it
# (insight:::.compute_variance_distribution and .variance_distributional):
#   binomial, logit link: pi^2 / 3 (probit 1, cloglog pi^2 / 6), whatever the
#     number of trials (the cbind response of cbpp included);
#   Poisson, log link: log(1 + var(lambda) / lambda^2) = log1p(1 / lambda), the
#     lognormal approximation (not trigamma(lambda)), where lambda =
#     exp(b0) and b0 is the fixed intercept of the null model
#     response ~ (1 | group), refitted by update() with the same family,
#     data and control (so each peer refits its own null model).
# Then var.fixed = var(X %*% beta) over the rows of the fit (stats::var, the
# n - 1 denominator), var.random = the random-intercept variance, the
# dispersion variance is 0 (no observation-level random effect),
# var.residual = var.distribution + var.dispersion, and
#   R2_marginal    = var.fixed / (var.fixed + var.random + var.residual)
#   R2_conditional = (var.fixed + var.random) / (var.fixed + var.random + var.residual).
#
# Writes tests/data/glmm_inference_grouseticks.csv (lme4's grouseticks with
# cHEIGHT) and tests/data/glmm_inference.json; reads (does not rewrite)
# tests/data/cbpp.csv, tests/data/Contraception.csv (written by
# glmm_reference.R) and tests/data/glmm_heldout_epil.csv (written by
# glmm_heldout.R), after checking that they hold the peers' data sets.
#
# Run from the repository root: Rscript tests/r/glmm_inference.R
suppressMessages({
  library(lme4)
  library(glmmTMB)
  library(emmeans)
  library(performance)
  library(car)
  library(MASS)
  library(mlmRev)
})
t_start <- proc.time()[["elapsed"]]
options(contrasts = c("contr.treatment", "contr.poly"))

# ---------------------------------------------------------------- JSON
source("tests/r/json_writer.R")  # to_json, vec

# ---------------------------------------------------------------- data
dir <- "tests/data"
csv <- function(name) file.path(dir, paste0(name, ".csv"))

gt <- lme4::grouseticks
gt <- data.frame(INDEX = as.integer(as.character(gt$INDEX)), TICKS = as.integer(gt$TICKS),
                 BROOD = as.integer(as.character(gt$BROOD)), HEIGHT = gt$HEIGHT,
                 YEAR = paste0("Y", gt$YEAR))
gt$cHEIGHT <- gt$HEIGHT - mean(gt$HEIGHT)
write.csv(gt, csv("glmm_inference_grouseticks"), row.names = FALSE)

# The data sets are globals so that the fits' calls name them and update()
# (drop1, the R2's null model) finds them.
d_cbpp <- read.csv(csv("cbpp"), stringsAsFactors = TRUE)
d_grouse <- read.csv(csv("glmm_inference_grouseticks"), stringsAsFactors = TRUE)
d_contra <- read.csv(csv("Contraception"), stringsAsFactors = TRUE)
d_epil <- read.csv(csv("glmm_heldout_epil"), stringsAsFactors = TRUE)

# The stored files must hold the peers' data sets.
stopifnot(
  identical(d_cbpp$incidence, as.integer(lme4::cbpp$incidence)),
  identical(d_cbpp$size, as.integer(lme4::cbpp$size)),
  identical(as.character(d_cbpp$period), paste0("p", lme4::cbpp$period)),
  identical(d_cbpp$herd, as.integer(as.character(lme4::cbpp$herd))),
  identical(d_contra$use, as.integer(mlmRev::Contraception$use == "Y")),
  identical(as.character(d_contra$livch), as.character(mlmRev::Contraception$livch)),
  identical(as.character(d_contra$urban), as.character(mlmRev::Contraception$urban)),
  isTRUE(all.equal(d_contra$age, mlmRev::Contraception$age, tolerance = 1e-12)),
  identical(d_contra$district, as.integer(as.character(mlmRev::Contraception$district))),
  identical(d_epil$y, as.integer(MASS::epil$y)),
  identical(as.character(d_epil$trt), as.character(MASS::epil$trt)),
  isTRUE(all.equal(d_epil$lbase, MASS::epil$lbase, tolerance = 1e-12)),
  isTRUE(all.equal(d_epil$lage, MASS::epil$lage, tolerance = 1e-12)),
  identical(d_epil$subject, as.integer(MASS::epil$subject)),
  identical(levels(d_contra$livch), c("0", "1", "2", "3+")),
  identical(levels(d_contra$urban), c("N", "Y")),
  identical(levels(d_cbpp$period), c("p1", "p2", "p3", "p4")),
  identical(levels(d_grouse$YEAR), c("Y95", "Y96", "Y97")),
  identical(levels(d_epil$trt), c("placebo", "progabide"))
)

# ---------------------------------------------------------------- fitting
# glmer: bobyqa to rhoend = 1e-10, and the penalised iteratively reweighted
# least squares converged to tolPwrss = 1e-12 (lme4's default 1e-7 leaves
# the log-determinant of the last step stale: its logLik then sits below the
# Laplace value by up to ~3e-4 and its finite-difference Hessian, hence its
# standard errors, moves by up to ~1%; the fit with the default is stored as
# glmer_default_pwrss for comparison). Even at 1e-12 lme4's grouseticks
# logLik stays ~6e-6 below the Laplace value at its own estimates (at 1e-14
# the gap closes, but then PIRLS fails with step-halvings on Contraception).
# glmmTMB: nlminb to rel.tol = 1e-10 (at 1e-12 nlminb stops with "singular
# convergence (7)" at the same optimum, to all printed digits).
glmer_ctrl <- quote(glmerControl(optimizer = "bobyqa", tolPwrss = 1e-12,
                                 optCtrl = list(rhoend = 1e-10, maxfun = 1e5)))
glmer_ctrl_default_pwrss <- quote(glmerControl(optimizer = "bobyqa", optCtrl = list(rhoend = 1e-10, maxfun = 1e5)))
tmb_ctrl <- quote(glmmTMBControl(optCtrl = list(rel.tol = 1e-10, eval.max = 1e4, iter.max = 1e4)))

fit_model <- function(fun, m, ctrl) {
  cl <- as.call(list(as.name(fun), formula = str2lang(m$formula), data = as.name(m$data),
                     family = as.name(m$family), control = ctrl))
  eval(cl, globalenv())
}

glmer_numbers <- function(fit) {
  conv <- fit@optinfo$conv
  list(logLik = as.numeric(logLik(fit)),
       fixef_names = vec(names(fixef(fit))),
       fixef = vec(fixef(fit)),
       se = vec(sqrt(diag(as.matrix(vcov(fit))))),
       se_rx = vec(sqrt(diag(as.matrix(suppressWarnings(vcov(fit, use.hessian = FALSE)))))),
       sd = as.numeric(attr(VarCorr(fit)[[1]], "stddev")),
       theta = as.numeric(getME(fit, "theta")),
       optimizer_code = as.integer(conv$opt),
       max_abs_grad = if (!is.null(fit@optinfo$derivs)) max(abs(fit@optinfo$derivs$gradient)) else NA,
       messages = vec(as.character(c(unlist(conv$lme4$messages), unlist(fit@optinfo$warnings)))))
}

tmb_numbers <- function(fit) {
  list(logLik = as.numeric(logLik(fit)),
       fixef_names = vec(names(fixef(fit)$cond)),
       fixef = vec(fixef(fit)$cond),
       se = vec(sqrt(diag(vcov(fit)$cond))),
       sd = as.numeric(attr(VarCorr(fit)$cond[[1]], "stddev")),
       convergence = as.integer(fit$fit$convergence),
       optimizer_message = fit$fit$message,
       max_abs_grad = max(abs(fit$obj$gr(fit$fit$par))),
       pdHess = fit$sdr$pdHess)
}

# ---------------------------------------------------------------- tables
# A table as columns: factor columns as text, numbers at full precision,
# infinite df as null (JSON has no infinity; emmeans_reference.json does the
# same); the row names as "term" where they carry the terms.
columns <- function(t, rownames_as = NULL) {
  t <- as.data.frame(t)
  out <- list()
  if (!is.null(rownames_as)) out[[rownames_as]] <- vec(rownames(t))
  for (k in names(t)) {
    v <- t[[k]]
    if (is.factor(v)) v <- as.character(v)
    if (is.numeric(v)) v[is.infinite(v)] <- NA
    out[[k]] <- vec(v)
  }
  out
}

q <- function(specs, by = NULL, at = NULL, weights = NULL)
  list(specs = specs, by = by, at = at, weights = weights)

emm_call <- function(fit, qq, type = NULL) {
  args <- list(fit, specs = qq$specs)
  if (!is.null(qq$by)) args$by <- qq$by
  if (!is.null(qq$at)) args$at <- qq$at
  if (!is.null(qq$weights)) args$weights <- qq$weights
  if (!is.null(type)) args$type <- type
  do.call(emmeans, args)
}

# One query on one fit: the means on the link scale, on the response scale
# (summary of emmeans(..., type = "response"): back-transformed means, SE by
# the delta method, the link-scale interval back-transformed) and regridded
# (regrid(): the response scale made the new linear scale, so the interval
# is mean -/+ z * SE); pairwise comparisons of each, with Tukey's adjustment
# (emmeans' default for pairs) and with none, intervals and tests.
emm_block <- function(fit, qq, df = NULL) {
  em <- emm_call(fit, qq)
  emr <- emm_call(fit, qq, type = "response")
  if (!is.null(df)) { em <- update(em, df = df); emr <- update(emr, df = df) }
  rg <- regrid(em)
  s_resp <- summary(emr)
  s_resp2 <- summary(em, type = "response")
  stopifnot(isTRUE(all.equal(as.data.frame(s_resp), as.data.frame(s_resp2), tolerance = 1e-14)))
  prs <- function(g) list(
    tukey = columns(summary(pairs(g), infer = c(TRUE, TRUE))),
    none = columns(summary(pairs(g), infer = c(TRUE, TRUE), adjust = "none")))
  list(link = columns(summary(em)),
       response = columns(s_resp),
       regrid = columns(summary(rg)),
       pairs_link = prs(em),
       pairs_response = prs(emr),
       pairs_regrid = prs(rg))
}

anova_tables <- function(fit) {
  list(type2 = columns(car::Anova(fit, type = "II"), "term"),
       type3 = columns(car::Anova(fit, type = "III"), "term"))
}

# Population-level predictions (re.form = NA) with standard errors.
# glmmTMB's response-scale SE comes from sdreport() of the predicted means,
# the delta method; the intervals here are the link-scale fit -/+
# qnorm(0.975) * SE, back-transformed. lme4 1.1.31's predict has no se.fit,
# so for glmer the SE is sqrt(diag(X V X')) with V = vcov(fit).
predictions <- function(tmb, gm, m, nd) {
  z <- qnorm(0.975)
  fam <- family(gm)
  pl <- predict(tmb, newdata = nd, se.fit = TRUE, re.form = NA, type = "link")
  pr <- predict(tmb, newdata = nd, se.fit = TRUE, re.form = NA, type = "response")
  fl <- unname(pl$fit); sl <- unname(pl$se.fit)
  trms <- delete.response(terms(lme4::nobars(as.formula(m$formula))))
  X <- model.matrix(trms, model.frame(trms, nd, xlev = lapply(m$factor_levels, identity)),
                    contrasts.arg = attr(getME(gm, "X"), "contrasts"))
  Vg <- as.matrix(vcov(gm)); Vt <- vcov(tmb)$cond
  eta_g <- drop(X %*% fixef(gm))
  se_g <- sqrt(rowSums((X %*% Vg) * X))
  stopifnot(max(abs(drop(X %*% fixef(tmb)$cond) - fl)) < 1e-10,
            max(abs(sqrt(rowSums((X %*% Vt) * X)) - sl)) < 1e-8 * max(sl),
            max(abs(predict(gm, newdata = nd, re.form = NA) - eta_g)) < 1e-10)
  list(
    glmmTMB = list(
      link_fit = vec(fl), link_se = vec(sl),
      link_lower = vec(fl - z * sl), link_upper = vec(fl + z * sl),
      response_fit = vec(unname(pr$fit)), response_se = vec(unname(pr$se.fit)),
      response_lower = vec(fam$linkinv(fl - z * sl)), response_upper = vec(fam$linkinv(fl + z * sl)),
      response_se_delta = vec(sl * fam$mu.eta(fl)),
      link_se_xvx = vec(sqrt(rowSums((X %*% Vt) * X)))),
    glmer = list(
      link_fit = vec(eta_g), link_se = vec(se_g),
      link_lower = vec(eta_g - z * se_g), link_upper = vec(eta_g + z * se_g),
      response_fit = vec(fam$linkinv(eta_g)), response_se = vec(se_g * fam$mu.eta(eta_g)),
      response_lower = vec(fam$linkinv(eta_g - z * se_g)), response_upper = vec(fam$linkinv(eta_g + z * se_g))))
}

# performance's R2 and insight's variance components, and the same numbers
# recomputed here from the formulas in the header.
r2_numbers <- function(fit, m) {
  r2 <- performance::r2_nakagawa(fit)
  gv <- insight::get_variance(fit)
  is_tmb <- inherits(fit, "glmmTMB")
  beta <- if (is_tmb) fixef(fit)$cond else fixef(fit)
  X <- getME(fit, "X")
  vc <- VarCorr(fit)
  s2 <- if (is_tmb) as.numeric(vc$cond[[1]][1, 1]) else as.numeric(vc[[1]][1, 1])
  out <- list(R2_conditional = unname(r2$R2_conditional), R2_marginal = unname(r2$R2_marginal),
              var_fixed = gv$var.fixed, var_random = gv$var.random, var_residual = gv$var.residual,
              var_distribution = gv$var.distribution, var_dispersion = gv$var.dispersion,
              var_intercept = unname(gv$var.intercept))
  check <- list(var_fixed = var(drop(as.matrix(X) %*% beta)), var_random = s2)
  if (m$family == "binomial") {
    check$var_distribution <- pi^2 / 3
  } else {
    resp <- all.vars(as.formula(m$formula))[1]
    nf <- reformulate(paste0("(1 | ", m$group, ")"), response = resp)
    nfit <- update(fit, nf)
    b0 <- if (is_tmb) unname(fixef(nfit)$cond[1]) else unname(fixef(nfit)[1])
    out$null_model <- list(formula = deparse(nf), intercept = b0, lambda = exp(b0),
                           logLik = as.numeric(logLik(nfit)))
    check$var_distribution <- log1p(1 / exp(b0))
    check$var_distribution_trigamma <- trigamma(exp(b0))
  }
  tot <- check$var_fixed + check$var_random + check$var_distribution
  check$R2_marginal <- check$var_fixed / tot
  check$R2_conditional <- (check$var_fixed + check$var_random) / tot
  for (k in c("var_fixed", "var_random", "var_distribution", "R2_marginal", "R2_conditional"))
    if (abs(check[[k]] - out[[k]]) > 1e-9 * abs(out[[k]])) stop(m$id, ": the recomputed ", k, " differs")
  out$recomputed <- check
  out
}

# The Laplace optimum to full precision, as a yardstick for both peers:
# Newton steps on glmmTMB's objective in (beta, log sd) (the same Laplace
# approximation as lme4's for these canonical links) from glmmTMB's optimum,
# with the Hessian from optimHess (central differences of TMB's gradient),
# until the gradient is below 1e-10; then the standard errors from the
# Hessian by numDeriv::jacobian of the gradient (Richardson extrapolation),
# and, for comparison, from optimHess as glmmTMB's sdreport computes them.
# Called last, as it moves the TMB object's stored parameters.
laplace_newton <- function(tmb) {
  obj <- tmb$obj
  p <- tmb$fit$par
  steps <- 0L
  repeat {
    obj$fn(p)
    g <- as.numeric(obj$gr(p))
    if (max(abs(g)) < 1e-10 || steps >= 20) break
    p <- p - solve(optimHess(p, obj$fn, obj$gr), g)
    steps <- steps + 1L
  }
  ll <- -obj$fn(p)
  g <- as.numeric(obj$gr(p))
  H <- numDeriv::jacobian(function(x) as.numeric(obj$gr(x)), p)
  H <- (H + t(H)) / 2
  Ho <- optimHess(p, obj$fn, obj$gr)
  ib <- which(names(p) == "beta"); it <- which(names(p) == "theta")
  list(logLik = ll, fixef = vec(p[ib]), sd = exp(unname(p[it])),
       se = vec(sqrt(diag(solve(H))[ib])), se_optimHess = vec(sqrt(diag(solve(Ho))[ib])),
       max_abs_grad = max(abs(g)), newton_steps = steps)
}

# Largest absolute and relative difference of two numeric vectors (b the
# reference), and where.
diff_of <- function(a, b) {
  a <- as.numeric(a); b <- as.numeric(b)
  ok <- is.finite(a) & is.finite(b)
  if (!any(ok)) return(list(max_abs = 0, max_rel = 0))
  ad <- abs(a - b)[ok]
  rd <- ad / pmax(abs(b[ok]), 1e-300)
  list(max_abs = max(ad), max_rel = max(rd))
}

# ---------------------------------------------------------------- models
models <- list(
  list(id = "cbpp", data = "d_cbpp", csv = "cbpp.csv",
       formula = "cbind(incidence, size - incidence) ~ period + (1 | herd)",
       family = "binomial", link = "logit", group = "herd",
       response = "successes and failures: cbind(incidence, size - incidence)",
       queries = list(q("period")),
       newdata = data.frame(period = c("p1", "p2", "p3", "p4", "p2"), herd = 1L)),
  list(id = "grouseticks", data = "d_grouse", csv = "glmm_inference_grouseticks.csv",
       formula = "TICKS ~ YEAR + cHEIGHT + (1 | BROOD)",
       family = "poisson", link = "log", group = "BROOD",
       response = "counts TICKS; cHEIGHT = HEIGHT - mean(HEIGHT) (as stored in the CSV)",
       queries = list(q("YEAR"), q("YEAR", at = list(cHEIGHT = 20))),
       newdata = data.frame(YEAR = c("Y95", "Y96", "Y97", "Y96", "Y97"), cHEIGHT = c(0, 0, 0, -40, 50),
                            BROOD = 501L)),
  list(id = "contraception", data = "d_contra", csv = "Contraception.csv",
       formula = "use ~ urban + age + livch + (1 | district)",
       family = "binomial", link = "logit", group = "district",
       response = "0/1: use = 1 for mlmRev's use == \"Y\", 0 for \"N\"; age is mlmRev's centred age",
       queries = list(q("livch"), q("urban"), q("livch", at = list(age = 10))),
       newdata = data.frame(urban = c("N", "Y", "N", "Y", "Y"), age = c(0, 0, -10, 15, 5.5),
                            livch = c("0", "1", "2", "3+", "0"), district = 1L)),
  list(id = "epil", data = "d_epil", csv = "glmm_heldout_epil.csv",
       formula = "y ~ trt + lbase + lage + (1 | subject)",
       family = "poisson", link = "log", group = "subject",
       response = paste("counts y; lbase = log(base / 4) and lage = log(age), each centred at its mean over the",
                        "236 rows (MASS's columns, Breslow and Clayton's covariates); base and age unused"),
       queries = list(q("trt"), q("trt", at = list(lbase = 0.5))),
       newdata = data.frame(trt = c("placebo", "progabide", "placebo", "progabide"), lbase = c(0, 0, -1, 1),
                            lage = c(0, 0, 0.2, -0.3), subject = 1L)),
  list(id = "contraception_interaction", data = "d_contra", csv = "Contraception.csv",
       formula = "use ~ urban * livch + age + (1 | district)",
       family = "binomial", link = "logit", group = "district",
       response = "0/1: use = 1 for mlmRev's use == \"Y\", 0 for \"N\"; age is mlmRev's centred age",
       queries = list(q("urban"), q("livch"), q("urban", by = "livch"), q(c("urban", "livch")),
                      q("urban", weights = "proportional")),
       newdata = data.frame(urban = c("N", "Y", "N", "Y", "Y"), age = c(0, 0, -10, 15, 5.5),
                            livch = c("0", "1", "2", "3+", "3+"), district = 1L))
)

results <- list()
for (m in models) {
  t0 <- proc.time()[["elapsed"]]
  d <- get(m$data, globalenv())
  log_msgs <- character(0)
  catch <- function(expr, tag) withCallingHandlers(expr,
    warning = function(w) {
      log_msgs <<- c(log_msgs, paste0(tag, ": ", gsub("\\s+", " ", conditionMessage(w))))
      invokeRestart("muffleWarning")
    },
    message = function(msg) {
      log_msgs <<- c(log_msgs, paste0(tag, ": ", gsub("\\s+", " ", trimws(conditionMessage(msg)))))
      invokeRestart("muffleMessage")
    })
  facs <- names(Filter(is.factor, d))
  m$factor_levels <- lapply(d[intersect(facs, all.vars(as.formula(m$formula)))], levels)
  # Treatment contrasts (R's default) for the main fits.
  tmb <- catch(fit_model("glmmTMB", m, tmb_ctrl), "glmmTMB fit")
  gm <- catch(fit_model("glmer", m, glmer_ctrl), "glmer fit")
  gm0 <- catch(fit_model("glmer", m, glmer_ctrl_default_pwrss), "glmer fit (default tolPwrss)")
  # Sum-to-zero contrasts, for car's type III tests of main effects.
  options(contrasts = c("contr.sum", "contr.poly"))
  tmb_sum <- catch(fit_model("glmmTMB", m, tmb_ctrl), "glmmTMB fit, contr.sum")
  gm_sum <- catch(fit_model("glmer", m, glmer_ctrl), "glmer fit, contr.sum")
  options(contrasts = c("contr.treatment", "contr.poly"))

  res <- list(id = m$id, data = m$csv, formula = m$formula, family = m$family, link = m$link,
              group = m$group, response = m$response, nobs = nrow(d),
              factor_levels = lapply(m$factor_levels, vec))
  res$fits <- list(
    glmmTMB = tmb_numbers(tmb),
    glmer = glmer_numbers(gm),
    glmer_default_pwrss = glmer_numbers(gm0),
    glmmTMB_contr_sum = tmb_numbers(tmb_sum),
    glmer_contr_sum = glmer_numbers(gm_sum))
  stopifnot(abs(res$fits$glmer_contr_sum$logLik - res$fits$glmer$logLik) < 1e-6,
            abs(res$fits$glmmTMB_contr_sum$logLik - res$fits$glmmTMB$logLik) < 1e-8)

  # emmeans: glmmTMB with df = Inf (asymptotic, as for glmer), glmmTMB with
  # glmmTMB's own default (its emm_basis method sets df = df.residual(fit)
  # for every family, so t quantiles), and glmer (df Inf for a GLMM).
  res$emmeans <- lapply(m$queries, function(qq) {
    list(specs = vec(qq$specs), by = qq$by, at = qq$at,
         weights = if (is.null(qq$weights)) "equal" else qq$weights,
         glmmTMB = catch(emm_block(tmb, qq, df = Inf), "emmeans glmmTMB"),
         glmmTMB_default_df = catch(emm_block(tmb, qq), "emmeans glmmTMB default df"),
         glmer = catch(emm_block(gm, qq), "emmeans glmer"))
  })
  res$df_residual_glmmTMB <- df.residual(tmb)

  res$anova <- list(
    glmer = list(contr_treatment = catch(anova_tables(gm), "car::Anova glmer"),
                 contr_sum = catch(anova_tables(gm_sum), "car::Anova glmer contr.sum")),
    glmmTMB = list(contr_treatment = catch(anova_tables(tmb), "car::Anova glmmTMB"),
                   contr_sum = catch(anova_tables(tmb_sum), "car::Anova glmmTMB contr.sum")))

  res$drop1 <- list(glmer = columns(catch(drop1(gm, test = "Chisq"), "drop1 glmer"), "term"),
                    glmmTMB = columns(catch(drop1(tmb, test = "Chisq"), "drop1 glmmTMB"), "term"))

  nd <- m$newdata
  for (k in names(m$factor_levels)) if (k %in% names(nd)) nd[[k]] <- factor(nd[[k]], levels = m$factor_levels[[k]])
  res$predict <- c(list(newdata = columns(m$newdata)), catch(predictions(tmb, gm, m, nd), "predict"))

  res$r2 <- list(glmmTMB = catch(r2_numbers(tmb, m), "r2 glmmTMB"),
                 glmer = catch(r2_numbers(gm, m), "r2 glmer"))

  # Where the peers differ: glmmTMB against glmer (the reference in max_rel).
  ft <- res$fits$glmmTMB; fg <- res$fits$glmer
  emm_diff <- function(part, col) {
    a <- unlist(lapply(res$emmeans, function(e) e$glmmTMB[[part]][[col]]))
    b <- unlist(lapply(res$emmeans, function(e) e$glmer[[part]][[col]]))
    diff_of(a, b)
  }
  pair_diff <- function(part, col, adj = "tukey") {
    a <- unlist(lapply(res$emmeans, function(e) e$glmmTMB[[part]][[adj]][[col]]))
    b <- unlist(lapply(res$emmeans, function(e) e$glmer[[part]][[adj]][[col]]))
    diff_of(a, b)
  }
  an_diff <- function(coding, type) diff_of(res$anova$glmmTMB[[coding]][[type]]$Chisq,
                                            res$anova$glmer[[coding]][[type]]$Chisq)
  res$differences <- list(
    logLik = ft$logLik - fg$logLik,
    logLik_glmer_default_pwrss = res$fits$glmer_default_pwrss$logLik - fg$logLik,
    fixef = diff_of(ft$fixef, fg$fixef),
    se = diff_of(ft$se, fg$se),
    se_rx = diff_of(ft$se, fg$se_rx),
    se_glmer_default_pwrss = diff_of(res$fits$glmer_default_pwrss$se, fg$se),
    sd = diff_of(ft$sd, fg$sd),
    emmean_link = emm_diff("link", "emmean"),
    emmean_link_se = emm_diff("link", "SE"),
    pairs_link_estimate = pair_diff("pairs_link", "estimate"),
    pairs_link_se = pair_diff("pairs_link", "SE"),
    pairs_link_p_tukey = pair_diff("pairs_link", "p.value"),
    anova_type3_sum_chisq = an_diff("contr_sum", "type3"),
    anova_type2_chisq = an_diff("contr_treatment", "type2"),
    drop1_LRT = diff_of(res$drop1$glmmTMB$LRT, res$drop1$glmer$LRT),
    predict_link_se = diff_of(res$predict$glmmTMB$link_se, res$predict$glmer$link_se),
    r2_marginal = diff_of(res$r2$glmmTMB$R2_marginal, res$r2$glmer$R2_marginal),
    r2_conditional = diff_of(res$r2$glmmTMB$R2_conditional, res$r2$glmer$R2_conditional))
  # glmmTMB's Laplace log-likelihood at glmer's estimates (the same objective
  # for these canonical links): how far glmer's optimum is from glmmTMB's.
  # Evaluated last, as it moves the TMB object's stored parameters.
  par <- tmb$fit$par
  par[names(par) == "beta"] <- fixef(gm)
  par[names(par) == "theta"] <- log(getME(gm, "theta"))
  res$differences$glmmTMB_logLik_at_glmer_estimates <- -tmb$obj$fn(par)
  res$differences$glmmTMB_logLik_at_glmer_estimates_minus_glmer_logLik <- -tmb$obj$fn(par) - fg$logLik
  ln <- laplace_newton(tmb)
  res$fits$laplace_newton <- ln
  res$differences$versus_laplace_newton <- list(
    logLik_glmmTMB = ft$logLik - ln$logLik, logLik_glmer = fg$logLik - ln$logLik,
    fixef_glmmTMB = diff_of(ft$fixef, ln$fixef), fixef_glmer = diff_of(fg$fixef, ln$fixef),
    sd_glmmTMB = diff_of(ft$sd, ln$sd), sd_glmer = diff_of(fg$sd, ln$sd),
    se_glmmTMB = diff_of(ft$se, ln$se), se_glmer = diff_of(fg$se, ln$se),
    se_optimHess = diff_of(ln$se_optimHess, ln$se))

  res$messages <- vec(unique(log_msgs))
  results[[m$id]] <- res
  dd <- res$differences
  vn <- dd$versus_laplace_newton
  message(sprintf("%-26s logLik %.8f  TMB-glmer: logLik %.2e fixef rel %.2e se rel %.2e sd rel %.2e  (%.1fs)",
                  m$id, fg$logLik, dd$logLik, dd$fixef$max_rel, dd$se$max_rel, dd$sd$max_rel,
                  proc.time()[["elapsed"]] - t0))
  message(sprintf("%-26s vs Newton: TMB logLik %.1e fixef %.1e se rel %.1e | glmer logLik %.1e fixef %.1e se rel %.1e",
                  "", vn$logLik_glmmTMB, vn$fixef_glmmTMB$max_abs, vn$se_glmmTMB$max_rel,
                  vn$logLik_glmer, vn$fixef_glmer$max_abs, vn$se_glmer$max_rel))
}

versions <- list(R = paste(R.version$major, R.version$minor, sep = "."))
for (p in c("lme4", "glmmTMB", "TMB", "emmeans", "performance", "insight", "car", "Matrix"))
  versions[[p]] <- as.character(packageVersion(p))

out <- list(
  description = paste("inference on binomial (logit) and Poisson (log) mixed models with one random intercept:",
                      "emmeans, pairwise comparisons, car::Anova type II/III Wald chi-square, drop1 likelihood-ratio",
                      "tables, population-level predictions with standard errors and the Nakagawa-Schielzeth R2,",
                      "each computed on a glmmTMB fit and on a glmer (Laplace) fit of the same model"),
  versions = versions,
  controls = list(
    glmmTMB = "glmmTMBControl(optCtrl = list(rel.tol = 1e-10, eval.max = 1e4, iter.max = 1e4))",
    glmer = "glmerControl(optimizer = 'bobyqa', tolPwrss = 1e-12, optCtrl = list(rhoend = 1e-10, maxfun = 1e5)), nAGQ = 1",
    glmer_default_pwrss = "glmerControl(optimizer = 'bobyqa', optCtrl = list(rhoend = 1e-10, maxfun = 1e5)): lme4's default tolPwrss = 1e-7"),
  layout = list(
    fits = paste("glmmTMB and glmer: logLik, fixef (names in fixef_names), se = sqrt(diag(vcov)), sd of the random",
                 "intercept; glmer's vcov is lme4's default, from a finite-difference Hessian of the deviance in",
                 "(theta, beta) (lme4's deriv12; se_rx: vcov(use.hessian = FALSE), from the penalised system at the",
                 "optimum, which ignores the uncertainty in theta); glmmTMB's from sdreport, whose Hessian in",
                 "(beta, log sd) is optimHess: central differences (step 1e-3) of TMB's automatic-differentiation",
                 "gradient; glmer_default_pwrss: the glmer fit with lme4's default tolPwrss; *_contr_sum: the same",
                 "models under options(contrasts = c('contr.sum', 'contr.poly')), fitted for the type III tables",
                 "(the main fits and everything else use treatment contrasts); laplace_newton: the Laplace optimum",
                 "to a gradient below 1e-10 by Newton steps on glmmTMB's objective from glmmTMB's optimum, its",
                 "logLik, fixef, sd, se from the Hessian by numDeriv::jacobian of the gradient (Richardson",
                 "extrapolation) and se_optimHess as glmmTMB computes them, the yardstick for both peers"),
    emmeans = paste("one entry per query (specs, by, at, weights; 'equal' is emmeans' default): for glmmTMB",
                    "with df = Inf (update(emm, df = Inf), asymptotic like glmer), for glmmTMB_default_df",
                    "(glmmTMB's emm_basis method gives df = df.residual(fit) = nobs - number of parameters, so",
                    "t quantiles and t.ratio/lower.CL/upper.CL columns), and for glmer (df Inf); df stored as null",
                    "when infinite. Column names as emmeans gives them. link: summary(emmeans(fit, specs)) on the",
                    "link scale (logit or log) with the 95% interval emmean -/+ z * SE. response:",
                    "summary(emmeans(fit, specs, type = 'response')) (identical to summary(emm, type = 'response')):",
                    "prob or rate = linkinv(emmean), SE = SE_link * dmu/deta (delta method), interval = linkinv of the",
                    "link-scale interval (asymmetric). regrid: summary(regrid(emm)), the same prob/rate and SE but",
                    "the interval prob -/+ z * SE (symmetric, may leave [0, 1]). pairs_link: pairs() of the link",
                    "means, differences of logits / log rates (estimate, SE, z.ratio, p.value, and the interval,",
                    "summary(infer = c(TRUE, TRUE))) under tukey (the default) and none; pairs_response: pairs() of",
                    "the type = 'response' grid: odds.ratio (logit) or ratio (log) = exp(link difference), SE =",
                    "ratio * SE_link (delta method), z.ratio and p.value of the link-scale test (null = 1 on the",
                    "ratio scale, 0 on the link scale), interval = exp of the link-scale interval; pairs_regrid:",
                    "pairs() of the regridded grid, differences of probabilities / rates with delta-method SEs",
                    "(the variance of the difference from the delta-method covariance of the two means)"),
    anova = paste("car::Anova(fit, type = 'II') and type = 'III': Wald chi-square tests (columns Chisq, Df,",
                  "Pr(>Chisq), rows 'term'; type III includes (Intercept)) on each fit's vcov, under treatment",
                  "contrasts (contr_treatment, the fit used elsewhere) and sum-to-zero contrasts (contr_sum);",
                  "type III main-effect tests of factors in an interaction are meaningful only under contr_sum",
                  "(with treatment contrasts they test the effect at the reference level of the other factor);",
                  "type II tables agree between codings; glmmTMB's Anova method is glmmTMB's, on the cond model"),
    drop1 = paste("drop1(fit, test = 'Chisq'): each term that can be dropped under marginality refitted",
                  "without it (update()) by maximum likelihood: glmer gives columns npar, AIC, LRT, Pr(Chi);",
                  "glmmTMB (stats::drop1.default) Df, AIC, LRT, Pr(>Chi); row '<none>' is the full model"),
    predict = paste("population-level predictions (re.form = NA) at predict$newdata (the grouping column holds",
                    "a level seen in the data; it is ignored): glmmTMB predict(se.fit = TRUE, type = 'link') and",
                    "type = 'response'; response_se is glmmTMB's (sdreport of the predicted mean, i.e. the delta",
                    "method, equal to response_se_delta = link_se * dmu/deta); link_se_xvx = sqrt(diag(X V X'));",
                    "lower/upper: link fit -/+ qnorm(0.975) * link_se, and the response ones their back-transforms",
                    "(computed here, glmmTMB gives no intervals). glmer: lme4 1.1.31's predict has no se.fit, so",
                    "X beta and sqrt(diag(X V X')) with V = vcov(glmer fit), response SE by the delta method"),
    r2 = paste("performance::r2_nakagawa(fit) (R2_conditional, R2_marginal) and insight::get_variance(fit)",
               "(var_fixed, var_random, var_residual, var_distribution, var_dispersion, var_intercept), which",
               "performance uses; recomputed: the same from the formulas in r2_formulas (checked equal to 1e-9",
               "relative); Poisson entries hold null_model: the refitted response ~ (1 | group) model, its",
               "intercept b0 and lambda = exp(b0); var_distribution_trigamma = trigamma(lambda) for comparison",
               "only (performance does not use it)"),
    differences = paste("glmmTMB minus glmer (the reference for max_rel): logLik; max_abs and max_rel over",
                        "fixef, se, sd, emmeans link means and SEs, pairwise link estimates, SEs and Tukey p",
                        "values over all queries, the type III (contr_sum) and type II Chisq, drop1 LRT,",
                        "prediction SEs and the R2; glmmTMB_logLik_at_glmer_estimates is glmmTMB's Laplace",
                        "log-likelihood evaluated at glmer's (beta, log sd); versus_laplace_newton: each peer's logLik",
                        "minus the Newton optimum's and max_abs/max_rel of fixef, sd and se against it (se_optimHess:",
                        "glmmTMB's way of computing the Hessian, at the Newton optimum)"),
    messages = "warnings and messages the peers gave while fitting and computing each model's tables"),
  r2_formulas = list(
    source = paste("insight", versions$insight, "(performance", versions$performance,
                   "calls insight::get_variance): .compute_variance_distribution, .variance_distributional"),
    binomial_logit = "var_distribution = pi^2 / 3 (probit: 1, cloglog: pi^2 / 6), whatever the number of trials",
    poisson_log = paste("var_distribution = log1p(var(lambda) / lambda^2) = log1p(1 / lambda) (lognormal",
                        "approximation), lambda = exp(b0) with b0 the fixed intercept of the null model",
                        "response ~ (1 | group) refitted by update() with the same family, data and control"),
    var_fixed = "stats::var(X %*% beta) over the fitted rows (n - 1 denominator)",
    var_random = "the random-intercept variance (sum of diag(Z Sigma Z') / n with Z the matching columns of X)",
    var_dispersion = "0: no observation-level random effect",
    R2_marginal = "var_fixed / (var_fixed + var_random + var_distribution + var_dispersion)",
    R2_conditional = "(var_fixed + var_random) / (var_fixed + var_random + var_distribution + var_dispersion)"),
  models = unname(results)
)
writeLines(to_json(out), file.path(dir, "glmm_inference.json"))
message(sprintf("total %.1fs", proc.time()[["elapsed"]] - t_start))
