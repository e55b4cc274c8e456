# Reference numbers for tests/test_profile.py: lme4's profile intervals where
# an end is a parameter's bound (an sd at 0, a correlation at +1), and the sd
# intervals of one-sd models from a dense profile of the ML and the REML
# criterion (lme4 profiles on ML only, and its spline interpolation misses
# some ends: Indometh's upper sd end raises the deviance by 3.866, not 3.841).
# Writes the datasets to tests/data/*.csv and the numbers to
# tests/data/profile_edges.json. Run from the repository root:
#   Rscript tests/r/profile_edges.R
suppressMessages({library(lme4); library(nlme)})
options(digits = 17)
data_dir <- "tests/data"
ctl <- lmerControl(optimizer = "bobyqa", optCtrl = list(rhoend = 1e-12, maxfun = 1e5))

plain <- function(d) { d <- as.data.frame(d); for (k in names(d)) if (is.factor(d[[k]])) d[[k]] <- as.character(d[[k]]); d }
# A small design (6 groups of 4) whose intercept sd is small: its interval reaches 0.
small_design <- function(seed) {
  set.seed(seed); m <- 6; n <- 4
  d <- data.frame(g = rep(1:m, each = n), x = rep(seq(0, 1, length = n), m))
  d$y <- 1 + d$x + rnorm(m, sd = 0.3)[d$g] + rnorm(m * n)
  d
}
# Intercepts and slopes almost perfectly correlated (8 groups of 5): the fit
# puts the correlation at +1.
correlated_design <- function(seed) {
  set.seed(seed); m <- 8; n <- 5
  d <- data.frame(g = rep(1:m, each = n), x = rep(0:(n - 1), m))
  b0 <- rnorm(m); b1 <- 0.5 * b0 + rnorm(m, sd = 0.05)
  d$y <- round(2 + d$x + b0[d$g] + b1[d$g] * d$x + rnorm(m * n, sd = 1), 2)
  d
}
sets <- list(
  Indometh = plain(Indometh)[, c("Subject", "time", "conc")],
  CO2 = plain(CO2)[, c("Plant", "Type", "Treatment", "conc", "uptake")],
  Dyestuff2 = plain(Dyestuff2),
  small_design = small_design(1),
  small_design_singular = small_design(2),
  correlated_design = correlated_design(3)
)
for (nm in names(sets)) write.csv(sets[[nm]], file.path(data_dir, paste0(nm, ".csv")), row.names = FALSE)
sets$OrthodontFemale <- plain(Orthodont)[Orthodont$Sex == "Female", c("distance", "age", "Subject")]

cases <- list(
  list(data = "Indometh", formula = "conc ~ time + (1 | Subject)", group = "Subject"),
  list(data = "CO2", formula = "uptake ~ conc + Type + Treatment + (1 | Plant)", group = "Plant"),
  list(data = "Dyestuff2", formula = "Yield ~ 1 + (1 | Batch)", group = "Batch"),
  list(data = "small_design", formula = "y ~ x + (1 | g)", group = "g"),
  list(data = "small_design_singular", formula = "y ~ x + (1 | g)", group = "g"),
  list(data = "correlated_design", formula = "y ~ x + (x | g)", group = "g"),
  list(data = "OrthodontFemale", formula = "distance ~ age + (age | Subject)", group = "Subject")
)
json_num <- function(x) ifelse(is.finite(x), sprintf("%.17g", x), ifelse(is.na(x), "null", ifelse(x > 0, "1e999", "-1e999")))
json_vec <- function(x) paste0("[", paste(json_num(x), collapse = ", "), "]")
json_str <- function(x) paste0("[", paste0('"', x, '"', collapse = ", "), "]")

# The criterion of a one-sd model at (sd, sigma), densely: log|V| + r'V^-1 r +
# n log(2 pi), V = sd^2 Z Z' + sigma^2 I; REML adds log|X'V^-1 X| and has n - p.
dense_crit <- function(X, Z, y, sd, sigma, reml) {
  V <- sd^2 * tcrossprod(Z) + diag(sigma^2, nrow(X))
  R <- chol(V)
  Xs <- backsolve(R, X, transpose = TRUE); ys <- backsolve(R, y, transpose = TRUE)
  xtx <- crossprod(Xs); beta <- solve(xtx, crossprod(Xs, ys)); r <- ys - Xs %*% beta
  if (reml) 2 * sum(log(diag(R))) + determinant(xtx)$modulus[1] + sum(r^2) + (nrow(X) - ncol(X)) * log(2 * pi)
  else 2 * sum(log(diag(R))) + sum(r^2) + nrow(X) * log(2 * pi)
}
# The profile of the sd at v: the criterion minimised over sigma.
dense_profile <- function(X, Z, y, v, reml)
  optimize(function(ls) dense_crit(X, Z, y, v, exp(ls), reml), c(-10, 10), tol = 1e-12)$objective

out <- c()
for (cs in cases) {
  d <- sets[[cs$data]]; d[[cs$group]] <- factor(d[[cs$group]])
  fit <- lmer(as.formula(cs$formula), data = d, REML = FALSE, control = ctl)
  ci <- suppressWarnings(confint(fit, method = "profile", oldNames = FALSE))
  entry <- c(sprintf('"data": "%s"', cs$data), sprintf('"formula": "%s"', cs$formula), '"reml": false',
             '"dense": false', sprintf('"criterion": %s', json_num(deviance(fit))), sprintf('"theta": %s', json_vec(getME(fit, "theta"))),
             sprintf('"names": %s', json_str(rownames(ci))),
             sprintf('"lower": %s', json_vec(ci[, 1])), sprintf('"upper": %s', json_vec(ci[, 2])))
  out <- c(out, paste0("{", paste(entry, collapse = ", "), "}"))
  if (length(getME(fit, "theta")) == 1) {
    # The sd's interval from the dense profile (lower end 0 when the profile at 0 stays below z^2).
    for (reml in c(FALSE, TRUE)) {
      rf <- lmer(as.formula(cs$formula), data = d, REML = reml, control = ctl)
      X <- getME(rf, "X"); Z <- as.matrix(getME(rf, "Z")); y <- getME(rf, "y")
      fmin <- if (reml) REMLcrit(rf) else deviance(rf)
      z2 <- qnorm(0.975)^2
      sd_hat <- sigma(rf) * getME(rf, "theta")
      g <- function(v) dense_profile(X, Z, y, v, reml) - fmin - z2
      hi <- uniroot(g, c(sd_hat, 10 * sd(y)), tol = 1e-12)$root
      lo <- if (g(0) < 0) 0 else uniroot(g, c(0, sd_hat), tol = 1e-12)$root
      entry <- c(sprintf('"data": "%s"', cs$data), sprintf('"formula": "%s"', cs$formula),
                 sprintf('"reml": %s', tolower(reml)), '"dense": true', sprintf('"criterion": %s', json_num(fmin)),
                 sprintf('"names": %s', json_str(rownames(ci)[1])),
                 sprintf('"lower": %s', json_vec(lo)), sprintf('"upper": %s', json_vec(hi)))
      out <- c(out, paste0("{", paste(entry, collapse = ", "), "}"))
    }
  }
}
writeLines(c("[", paste(out, collapse = ",\n"), "]"), file.path(data_dir, "profile_edges.json"))
