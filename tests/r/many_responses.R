# Reference numbers for the many-response tests: the same model fitted to
# several responses of one design, read from the CSV files
# tests/data/make_many_responses.py writes.
#
# many_lmm.csv: lmerTest's lmer(gX ~ condition * time + (1 | subject)) by REML
# for g1..g5, rows with a missing gX dropped (g3 has 17). g6 is constant and
# is not fitted. Each fit is run twice (bobyqa with rhoend 1e-12, nloptwrap
# with ftol_abs 1e-14) and the lower REML criterion kept; the two must agree
# and lme4's gradient must be tiny. g5 has no subject variance: its fit is on
# the boundary (theta = 0, isSingular TRUE). g4 is 1e7 plus effects of size
# 1e3; lme4 fits it as it is without trouble: a refit of g4 - 1e7 (1e7 added
# back to the intercept) agrees to about 1e-8 relative, and the largest
# relative difference is stored with it. For each response: the rows used,
# the REML criterion, sigma, the subject sd, isSingular, the coefficient
# table with Satterthwaite's and with Kenward-Roger's df, the contrast
# c(0, 0, 1, 1) (the time slope under trt) by contest1D with both, and the
# joint test of conditiontrt and conditiontrt:time by contest (Satterthwaite);
# then Benjamini-Hochberg's adjustment of the five Satterthwaite p values of
# that contrast.
#
# many_counts.csv: for c1..c3 glmmTMB's nbinom2 with offset(log(lib/1000))
# and a subject intercept, by the Laplace approximation. nlminb stops with
# "singular convergence (7)" at rel.tol 1e-12 and with a gradient up to 3e-3
# at rel.tol 1e-10, so its optimum (rel.tol 1e-10) is polished by Newton
# steps on TMB's gradient (the parameters move by up to 1e-5) until the
# largest gradient is below 1e-9. Stored: logLik, fixed effects, their
# Wald SEs, z and p (summary), the subject sd, phi (sigma()) and the SE of
# log phi. For c1, c2 (Poisson, same offset) and b1 (binomial, no offset):
# glmer by the Laplace approximation (nAGQ = 1), bobyqa in both stages with
# rhoend 1e-12 and tolPwrss 1e-12, refitted from its optimum and the better
# kept. glmer's optimum is only good to about 1e-5 in the parameters (its
# deviance carries PIRLS noise); its SEs are summary()'s, from the
# finite-difference Hessian. glmmTMB's fit of the same model (polished as
# above) is stored beside it; its logLik is higher than glmer's by 1e-8 (c1)
# to 4e-6 (b1), nearly all of it a constant difference between the two
# evaluations of the Laplace approximation; its estimates differ from
# glmer's by up to 3e-5 and its SEs (from the Hessian of TMB's exact
# gradient) by up to 1e-3 relative (b1).
#
# Writes tests/data/many_responses.json.
# Run from the repository root: Rscript tests/r/many_responses.R
suppressMessages({
  library(lmerTest)
  library(pbkrtest)
  library(glmmTMB)
})
source("tests/r/json_writer.R")
dir <- "tests/data"

# ---- Linear mixed models --------------------------------------------------
lmm <- read.csv(file.path(dir, "many_lmm.csv"), stringsAsFactors = FALSE)
lmm$subject <- factor(lmm$subject)
lmm$condition <- factor(lmm$condition, levels = c("ctrl", "trt"))

ctrl_bobyqa <- lmerControl(optimizer = "bobyqa", optCtrl = list(maxfun = 1e5, rhobeg = 1e-3, rhoend = 1e-12),
                           check.conv.singular = "ignore")
ctrl_nlopt <- lmerControl(optimizer = "nloptwrap", optCtrl = list(ftol_abs = 1e-14, xtol_abs = 1e-12, maxeval = 1e5),
                          check.conv.singular = "ignore")
L1 <- c(0, 0, 1, 1)
L2 <- rbind(c(0, 1, 0, 0), c(0, 0, 0, 1))

fit_lmm <- function(y) {
  d <- lmm[!is.na(lmm[[y]]), ]
  d$y <- d[[y]]
  fits <- lapply(list(ctrl_bobyqa, ctrl_nlopt), function(ctrl)
    lmer(y ~ condition * time + (1 | subject), data = d, REML = TRUE, control = ctrl))
  crit <- vapply(fits, REMLcrit, 0)
  cat(y, sprintf("REML criterion: bobyqa %.12f, nloptwrap %.12f", crit[1], crit[2]), "\n")
  stopifnot(abs(crit[1] - crit[2]) < 1e-8)
  fits[[which.min(crit)]]
}

table_of <- function(co, estimate = TRUE) {
  out <- list(se = vec(co[, "Std. Error"]), df = vec(co[, "df"]), t = vec(co[, "t value"]),
              p = vec(co[, "Pr(>|t|)"]))
  if (estimate) out <- c(list(estimate = vec(co[, "Estimate"])), out)
  out
}
row_of <- function(ct) list(estimate = ct[["Estimate"]], se = ct[["Std. Error"]], df = ct[["df"]],
                            t = ct[["t value"]], p = ct[["Pr(>|t|)"]])

summarise_lmm <- function(m) {
  grad <- m@optinfo$derivs$gradient
  cat("  theta", sprintf("%.12g", getME(m, "theta")), "gradient", sprintf("%.3g", grad), "\n")
  stopifnot(all(abs(grad) < 1e-4))
  vc <- as.data.frame(VarCorr(m))
  sat <- summary(m, ddf = "Satterthwaite")$coefficients
  kr <- summary(m, ddf = "Kenward-Roger")$coefficients
  c1s <- contest1D(m, L1, ddf = "Satterthwaite")
  c1k <- contest1D(m, L1, ddf = "Kenward-Roger")
  cj <- contest(m, L2, ddf = "Satterthwaite", joint = TRUE)
  list(n = nobs(m), reml_criterion = REMLcrit(m), sigma = sigma(m),
       subject_sd = vc$sdcor[vc$grp == "subject"], singular = isSingular(m),
       terms = vec(names(fixef(m))),
       satterthwaite = table_of(sat), kenward_roger = table_of(kr, estimate = FALSE),
       contrast = list(satterthwaite = row_of(c1s), kenward_roger = row_of(c1k)),
       joint = list(F = cj[["F value"]], numdf = cj[["NumDF"]], dendf = cj[["DenDF"]], p = cj[["Pr(>F)"]]))
}

responses <- c("g1", "g2", "g3", "g4", "g5")
lmm_out <- list()
for (y in responses) {
  m <- fit_lmm(y)
  lmm_out[[y]] <- summarise_lmm(m)
}

# g4 refitted centred: how far the stored (uncentred) fit is from it.
lmm$g4_centred <- lmm$g4 - 1e7
cen <- summarise_lmm(fit_lmm("g4_centred"))
cen$satterthwaite$estimate[1] <- cen$satterthwaite$estimate[1] + 1e7
a <- lmm_out$g4
rel <- function(x, y) max(abs(x - y) / pmax(abs(y), 1e-300))
keep <- -1  # the intercept's t and p change with the centring
diffs <- c(rel(cen$reml_criterion, a$reml_criterion), rel(cen$sigma, a$sigma), rel(cen$subject_sd, a$subject_sd),
           rel(cen$satterthwaite$estimate, a$satterthwaite$estimate),
           rel(cen$satterthwaite$se, a$satterthwaite$se), rel(cen$satterthwaite$df, a$satterthwaite$df),
           rel(cen$satterthwaite$t[keep], a$satterthwaite$t[keep]),
           rel(cen$satterthwaite$p[keep], a$satterthwaite$p[keep]),
           rel(cen$kenward_roger$se, a$kenward_roger$se), rel(cen$kenward_roger$df, a$kenward_roger$df),
           rel(unlist(cen$contrast), unlist(a$contrast)), rel(unlist(cen$joint), unlist(a$joint)))
cat("g4: largest relative difference from the centred refit", sprintf("%.3g", max(diffs)), "\n")
stopifnot(max(diffs) < 1e-6)
lmm_out$g4 <- c(list(note = paste("fitted as it is (lme4 needs no centring here); a refit of g4 - 1e7 with",
                                  "1e7 added back to the intercept agrees to centred_refit_max_rel_diff",
                                  "(over all stored numbers but the intercept's t and p)")),
                lmm_out$g4, list(centred_refit_max_rel_diff = max(diffs)))

p_contrast <- vapply(responses, function(y) lmm_out[[y]]$contrast$satterthwaite$p, 0)
bh <- list(responses = vec(responses), p = vec(p_contrast), p_adjusted = vec(p.adjust(p_contrast, method = "BH")))

# ---- Counts and a binary response -----------------------------------------
cnt <- read.csv(file.path(dir, "many_counts.csv"), stringsAsFactors = FALSE)
cnt$subject <- factor(cnt$subject)
cnt$condition <- factor(cnt$condition, levels = c("ctrl", "trt"))

# nlminb, then Newton steps on TMB's exact gradient (Hessian by differencing it).
nlminb_newton <- function(start, objective, gradient, control) {
  r <- nlminb(start, objective, gradient, control = control)
  p <- r$par
  steps <- 0
  for (i in 1:10) {
    g <- as.vector(gradient(p))
    if (max(abs(g)) < 1e-9) break
    p <- p - solve(optimHess(p, objective, gradient), g)
    steps <- steps + 1
  }
  stopifnot(max(abs(gradient(p))) < 1e-9)
  list(par = p, objective = objective(p), convergence = 0L,
       message = paste0("nlminb: ", r$message, "; then ", steps, " Newton steps"),
       iterations = r$iterations, evaluations = r$evaluations)
}
tmb_ctrl <- glmmTMBControl(optimizer = nlminb_newton,
                           optCtrl = list(iter.max = 1e4, eval.max = 1e4, rel.tol = 1e-10))

wald <- function(co) list(estimate = vec(co[, 1]), se = vec(co[, 2]), z = vec(co[, 3]), p = vec(co[, 4]))

fit_tmb <- function(formula, family) {
  if (is.function(family)) family <- family()
  f <- glmmTMB(formula, data = cnt, family = family, control = tmb_ctrl)
  stopifnot(f$fit$convergence == 0, isTRUE(f$sdr$pdHess), max(abs(f$sdr$gradient.fixed)) < 1e-6)
  cat(deparse(formula), family$family, sprintf("logLik %.10f", logLik(f)), f$fit$message, "\n")
  co <- summary(f)$coefficients$cond
  out <- c(list(logLik = as.numeric(logLik(f)), terms = vec(rownames(co))), wald(co),
           list(subject_sd = attr(VarCorr(f)$cond$subject, "stddev")[[1]], nobs = nobs(f),
                max_gradient = max(abs(f$sdr$gradient.fixed))))
  if (family$family == "nbinom2") {
    V <- vcov(f, full = TRUE)
    out$phi <- sigma(f)
    out$se_log_phi <- sqrt(V["d~(Intercept)", "d~(Intercept)"])
  }
  out
}

glmer_ctrl <- glmerControl(optimizer = c("bobyqa", "bobyqa"), optCtrl = list(maxfun = 1e5, rhoend = 1e-12),
                           tolPwrss = 1e-12)
fit_glmer <- function(formula, family) {
  if (is.function(family)) family <- family()
  m <- glmer(formula, data = cnt, family = family, nAGQ = 1, control = glmer_ctrl)
  m2 <- glmer(formula, data = cnt, family = family, nAGQ = 1, control = glmer_ctrl,
              start = list(theta = getME(m, "theta"), fixef = fixef(m)))
  cat(deparse(formula), family$family, sprintf("glmer logLik %.10f, refit %.10f", logLik(m), logLik(m2)), "\n")
  stopifnot(abs(logLik(m) - logLik(m2)) < 1e-6)
  if (logLik(m2) > logLik(m)) m <- m2
  grad <- m@optinfo$derivs$gradient
  cat("  gradient", sprintf("%.3g", grad), "messages:", unlist(m@optinfo$conv$lme4$messages), "\n")
  stopifnot(all(abs(grad) < 1e-3))
  co <- summary(m)$coefficients
  vc <- as.data.frame(VarCorr(m))
  c(list(logLik = as.numeric(logLik(m)), terms = vec(rownames(co))), wald(co),
    list(subject_sd = vc$sdcor[vc$grp == "subject"], nobs = nobs(m), singular = isSingular(m),
         max_gradient = max(abs(grad))))
}

nb <- list()
for (y in c("c1", "c2", "c3")) {
  cnt$y <- cnt[[y]]
  nb[[y]] <- fit_tmb(y ~ condition + offset(log(lib / 1000)) + (1 | subject), nbinom2)
}
pois <- list()
for (y in c("c1", "c2")) {
  cnt$y <- cnt[[y]]
  form <- y ~ condition + offset(log(lib / 1000)) + (1 | subject)
  pois[[y]] <- c(fit_glmer(form, poisson), list(glmmTMB = fit_tmb(form, poisson)))
}
cnt$y <- cnt$b1
binom <- list(b1 = c(fit_glmer(y ~ condition + (1 | subject), binomial),
                     list(glmmTMB = fit_tmb(y ~ condition + (1 | subject), binomial))))

# ---- Output -----------------------------------------------------------------
out <- list(
  r_version = paste(R.version$major, R.version$minor, sep = "."),
  lme4 = as.character(packageVersion("lme4")), lmerTest = as.character(packageVersion("lmerTest")),
  pbkrtest = as.character(packageVersion("pbkrtest")), glmmTMB = as.character(packageVersion("glmmTMB")),
  lmm = list(formula = "gX ~ condition * time + (1 | subject)", reml = TRUE,
             contrast_L = vec(L1), joint_L = list(vec(L2[1, ]), vec(L2[2, ])),
             skipped = list(g6 = "constant response, not fitted"),
             responses = lmm_out, bh_contrast = bh),
  counts = list(
    nbinom2 = list(formula = "cX ~ condition + offset(log(lib/1000)) + (1 | subject)",
                   note = "glmmTMB nbinom2 (variance mu + mu^2/phi), Laplace; nlminb polished by Newton steps",
                   responses = nb),
    poisson = list(formula = "cX ~ condition + offset(log(lib/1000)) + (1 | subject)",
                   note = paste("glmer, Laplace (nAGQ = 1); se from summary() (finite-difference Hessian);",
                                "glmmTMB: the same model by glmmTMB, polished by Newton steps"),
                   responses = pois),
    binomial = list(formula = "b1 ~ condition + (1 | subject)",
                    note = paste("glmer, Laplace (nAGQ = 1); se from summary() (finite-difference Hessian);",
                                 "glmmTMB: the same model by glmmTMB, polished by Newton steps"),
                    responses = binom)))
writeLines(to_json(out), file.path(dir, "many_responses.json"))
cat("wrote", file.path(dir, "many_responses.json"), "\n")
