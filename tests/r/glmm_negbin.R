# Reference numbers for negative binomial mixed models (NB2: variance
# mu + mu^2 / phi, log link) with one grouping factor: glmmTMB's nbinom2 fits
# by the Laplace approximation, converged tightly (nlminb with rel.tol 1e-10;
# tighter, it reports "singular convergence" at the same logLik) and refitted
# from their optimum (the better of the two kept); glmer.nb's fit of the first
# model for comparison (it uses the expected curvature and alternates phi with
# the rest, so its logLik differs from the exact Laplace value); performance's
# Nakagawa R2 of the first.
#
# For each model: logLik, the fixed effects and their standard errors, phi
# (glmmTMB's sigma()), the random effects' covariance (VarCorr) and lme4's
# theta (the lower Cholesky factor of that covariance, column by column, each
# from the diagonal down), and the standard error of log phi.
#
# Writes tests/data/glmm_negbin_sim.csv (the simulated data) and
# tests/data/glmm_negbin.json; grouseticks and epil are read from the CSV
# files glmm_reference.R and glmm_heldout.R write.
#
# Run from the repository root: Rscript tests/r/glmm_negbin.R
suppressMessages({
  library(glmmTMB)
  library(lme4)
})
source("tests/r/json_writer.R")
dir <- "tests/data"

set.seed(20261210)
m <- 60
n_per <- 12
g <- rep(seq_len(m), each = n_per)
x <- round(rnorm(m * n_per), 3)
exposure <- sample(c(1, 2, 4), m * n_per, replace = TRUE)
b0 <- rnorm(m, 0, 0.6)
b1 <- 0.5 * b0 + rnorm(m, 0, 0.3)
mu <- exposure * exp(0.4 + 0.7 * x + b0[g] + b1[g] * x)
y <- rnbinom(m * n_per, size = 2.5, mu = mu)
w <- sample(c(1, 2), m * n_per, replace = TRUE)
sim <- data.frame(g = sprintf("g%02d", g), x = x, exposure = exposure, y = y, w = w)
write.csv(sim, file.path(dir, "glmm_negbin_sim.csv"), row.names = FALSE)
sim <- read.csv(file.path(dir, "glmm_negbin_sim.csv"))

grouse <- read.csv(file.path(dir, "grouseticks.csv"))
grouse$BROOD <- factor(grouse$BROOD)
epil <- read.csv(file.path(dir, "glmm_heldout_epil.csv"))

ctrl <- glmmTMBControl(optCtrl = list(iter.max = 1e4, eval.max = 1e4, rel.tol = 1e-10))

theta_of <- function(vc) {
  L <- t(chol(vc))
  L[lower.tri(L, diag = TRUE)]
}

fit_tmb <- function(formula, data, family, weights = NULL) {
  data$.w <- if (is.null(weights)) 1 else data[[weights]]
  f <- glmmTMB(formula, data = data, family = family, weights = .w, control = ctrl)
  # Refit from the optimum: the same answer, or the first stopped early.
  f2 <- glmmTMB(formula, data = data, family = family, weights = .w, control = ctrl,
                start = list(beta = fixef(f)$cond, betad = log(sigma(f)),
                             theta = getME(f, "theta")))
  cat(deparse(formula), sprintf("%.10f %.10f", logLik(f), logLik(f2)), "\n")
  if (logLik(f2) > logLik(f)) f <- f2
  stopifnot(abs(logLik(f) - logLik(f2)) < 1e-6)
  vc <- VarCorr(f)$cond[[1]]
  vc <- matrix(as.numeric(vc), nrow(vc))
  V <- vcov(f, full = TRUE)
  list(logLik = as.numeric(logLik(f)), fixef = vec(fixef(f)$cond), fixef_names = vec(names(fixef(f)$cond)),
       se = vec(sqrt(diag(vcov(f)$cond))), phi = sigma(f), se_log_phi = sqrt(V["d~(Intercept)", "d~(Intercept)"]),
       varcorr = vec(vc), theta = vec(theta_of(vc)), nobs = nobs(f),
       converged = f$fit$convergence == 0 && isTRUE(f$sdr$pdHess))
}

out <- list()
out$grouseticks <- c(list(formula = "TICKS ~ YEAR + HEIGHT_s + (1 | BROOD)"),
                     fit_tmb(TICKS ~ YEAR + HEIGHT_s + (1 | BROOD), grouse, nbinom2))
# Nakagawa's R2 as performance computes it for nbinom2 (the distribution-specific
# variance log(1 + 1/mu + 1/phi), mu from the intercept-only refit).
suppressMessages(library(performance))
r2 <- suppressWarnings(r2_nakagawa(glmmTMB(TICKS ~ YEAR + HEIGHT_s + (1 | BROOD), data = grouse,
                                           family = nbinom2, control = ctrl)))
out$grouseticks$r2 <- list(conditional = r2$R2_conditional[[1]], marginal = r2$R2_marginal[[1]],
                           performance = as.character(packageVersion("performance")))
out$epil <- c(list(formula = "y ~ trt + lbase + lage + V4 + (1 | subject)"),
              fit_tmb(y ~ trt + lbase + lage + V4 + (1 | subject), epil, nbinom2))
out$sim <- c(list(formula = "y ~ x + (x | g)", offset = "log(exposure)", weights = "w"),
             fit_tmb(y ~ x + (x | g) + offset(log(exposure)), sim, nbinom2, weights = "w"))

nb <- glmer.nb(TICKS ~ YEAR + HEIGHT_s + (1 | BROOD), data = grouse)
out$grouseticks_glmer_nb <- list(logLik = as.numeric(logLik(nb)), fixef = vec(fixef(nb)),
                                 phi = getME(nb, "glmer.nb.theta"))

writeLines(to_json(list(glmmTMB = as.character(packageVersion("glmmTMB")),
                        lme4 = as.character(packageVersion("lme4")), models = out)),
           file.path(dir, "glmm_negbin.json"))
cat("wrote", file.path(dir, "glmm_negbin.json"), "\n")
