# Reference numbers for NB1 negative binomial mixed models (variance
# mu (1 + alpha) = phi mu, log link) with one grouping factor: glmmTMB's
# nbinom1 fits by the Laplace approximation, converged tightly (nlminb with
# rel.tol 1e-10) and refitted from their optimum (the better of the two
# kept); performance's Nakagawa R2 of the first; profile intervals of epil's
# fixed effects under nbinom1 and nbinom2.
#
# For each model: logLik, the fixed effects and their standard errors, alpha
# (glmmTMB's sigma(); corvane reports phi = 1 + alpha), the standard error of
# log alpha, the random effects' covariance and lme4's theta (its lower
# Cholesky factor, column by column).
#
# Writes tests/data/glmm_negbin1_sim.csv (the simulated data) and
# tests/data/glmm_negbin1.json; grouseticks and epil are read from the CSV
# files glmm_reference.R and glmm_heldout.R write.
#
# Run from the repository root: Rscript tests/r/glmm_negbin1.R
suppressMessages({
  library(glmmTMB)
})
source("tests/r/json_writer.R")
dir <- "tests/data"

set.seed(20261211)
m <- 50
n_per <- 16
g <- rep(seq_len(m), each = n_per)
x <- round(rnorm(m * n_per), 3)
f <- sample(c("a", "b", "c"), m * n_per, replace = TRUE)
exposure <- sample(c(1, 2, 5), m * n_per, replace = TRUE)
b0 <- rnorm(m, 0, 0.5)
b1 <- 0.4 * b0 + rnorm(m, 0, 0.25)
mu <- exposure * exp(0.8 + 0.5 * x + ifelse(f == "b", 0.3, ifelse(f == "c", -0.4, 0)) + b0[g] + b1[g] * x)
alpha <- 1.8
y <- rnbinom(m * n_per, size = mu / alpha, mu = mu)
w <- sample(c(1, 2), m * n_per, replace = TRUE)
sim <- data.frame(g = sprintf("g%02d", g), x = x, f = f, exposure = exposure, y = y, w = w)
write.csv(sim, file.path(dir, "glmm_negbin1_sim.csv"), row.names = FALSE)
sim <- read.csv(file.path(dir, "glmm_negbin1_sim.csv"))

grouse <- read.csv(file.path(dir, "grouseticks.csv"))
grouse$BROOD <- factor(grouse$BROOD)
epil <- read.csv(file.path(dir, "glmm_heldout_epil.csv"))

ctrl <- glmmTMBControl(optCtrl = list(iter.max = 1e4, eval.max = 1e4, rel.tol = 1e-10))

theta_of <- function(vc) {
  L <- t(chol(vc))
  L[lower.tri(L, diag = TRUE)]
}

fit_tmb <- function(formula, data, weights = NULL) {
  data$.w <- if (is.null(weights)) 1 else data[[weights]]
  f <- glmmTMB(formula, data = data, family = nbinom1, weights = .w, control = ctrl)
  f2 <- glmmTMB(formula, data = data, family = nbinom1, weights = .w, control = ctrl,
                start = list(beta = fixef(f)$cond, betad = log(sigma(f)),
                             theta = getME(f, "theta")))
  cat(deparse(formula), sprintf("%.10f %.10f", logLik(f), logLik(f2)), "\n")
  if (logLik(f2) > logLik(f)) f <- f2
  stopifnot(abs(logLik(f) - logLik(f2)) < 1e-6)
  vc <- VarCorr(f)$cond[[1]]
  vc <- matrix(as.numeric(vc), nrow(vc))
  V <- vcov(f, full = TRUE)
  list(logLik = as.numeric(logLik(f)), fixef = vec(fixef(f)$cond), fixef_names = vec(names(fixef(f)$cond)),
       se = vec(sqrt(diag(vcov(f)$cond))), alpha = sigma(f),
       se_log_alpha = sqrt(V["d~(Intercept)", "d~(Intercept)"]),
       varcorr = vec(vc), theta = vec(theta_of(vc)), nobs = nobs(f),
       converged = f$fit$convergence == 0 && isTRUE(f$sdr$pdHess))
}

out <- list()
out$sim <- c(list(formula = "y ~ x + f + (x | g)", offset = "log(exposure)", weights = "w"),
             fit_tmb(y ~ x + f + (x | g) + offset(log(exposure)), sim, weights = "w"))
out$grouseticks <- c(list(formula = "TICKS ~ YEAR + HEIGHT_s + (1 | BROOD)"),
                     fit_tmb(TICKS ~ YEAR + HEIGHT_s + (1 | BROOD), grouse))
out$epil <- c(list(formula = "y ~ trt + lbase + lage + V4 + (1 | subject)"),
              fit_tmb(y ~ trt + lbase + lage + V4 + (1 | subject), epil))
suppressMessages(library(performance))
r2 <- suppressWarnings(r2_nakagawa(glmmTMB(TICKS ~ YEAR + HEIGHT_s + (1 | BROOD), data = grouse,
                                           family = nbinom1, control = ctrl)))
out$grouseticks$r2 <- list(conditional = r2$R2_conditional[[1]], marginal = r2$R2_marginal[[1]],
                           performance = as.character(packageVersion("performance")))

# Profile intervals of the fixed effects (phi and the random effects'
# variance re-estimated at each point) for epil under nbinom1 and nbinom2.
profile_of <- function(family) {
  f <- glmmTMB(y ~ trt + lbase + lage + V4 + (1 | subject), data = epil, family = family, control = ctrl)
  ci <- confint(f, method = "profile", parm = "beta_", level = 0.95)
  list(lower = vec(ci[, 1]), upper = vec(ci[, 2]), names = vec(rownames(ci)))
}
out$epil_profile <- list(nbinom1 = profile_of(nbinom1), nbinom2 = profile_of(nbinom2))

writeLines(to_json(list(glmmTMB = as.character(packageVersion("glmmTMB")), models = out)),
           file.path(dir, "glmm_negbin1.json"))
cat("wrote", file.path(dir, "glmm_negbin1.json"), "\n")
