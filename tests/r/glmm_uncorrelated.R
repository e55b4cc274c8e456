# Reference numbers for tests/test_uncorrelated.py: generalized models with
# uncorrelated random effects, by glmmTMB's exact Laplace approximation
# (diag(1 + x | g), the same model as lme4's (x || g)), on a binary and a
# count response simulated here (tests/data/glmm_uncorrelated.csv), and
# lme4's profile intervals of the binary model (its Laplace deviance is
# inexact by about 1e-3, so they are a looser check).
# Run from the repository root: Rscript tests/r/glmm_uncorrelated.R
suppressMessages({library(glmmTMB); library(lme4)})
options(digits = 17)
set.seed(20261209)
ng <- 25; sizes <- sample(6:16, ng, replace = TRUE)
g <- rep(sprintf("g%02d", 1:ng), sizes); n <- length(g); gi <- as.integer(factor(g))
x <- round(rnorm(n), 3); z <- round(runif(n, -1, 1), 3)
eta_b <- -0.3 + 0.8 * x + rnorm(ng, 0, 1.0)[gi] + rnorm(ng, 0, 0.6)[gi] * x
eta_c <- 0.5 + 0.4 * x - 0.3 * z + rnorm(ng, 0, 0.5)[gi] + rnorm(ng, 0, 0.4)[gi] * z
d <- data.frame(g, x, z, b = rbinom(n, 1, plogis(eta_b)), k = rpois(n, exp(eta_c)))
write.csv(d, "tests/data/glmm_uncorrelated.csv", row.names = FALSE)
json_num <- function(x) ifelse(is.finite(x), sprintf("%.17g", x), "null")
json_vec <- function(x) paste0("[", paste(json_num(x), collapse = ", "), "]")
models <- list(
  list(name = "binary", formula = "b ~ x + (x || g)", tmb = b ~ x + diag(1 + x | g), family = binomial()),
  list(name = "counts", formula = "k ~ x + z + (1 | g) + (0 + z | g)", tmb = k ~ x + z + diag(1 + z | g),
       family = poisson())
)
out <- c()
for (m in models) {
  fit <- glmmTMB(m$tmb, data = d, family = m$family,
                 control = glmmTMBControl(optCtrl = list(iter.max = 1e4, eval.max = 1e4, rel.tol = 1e-14)))
  sds <- attr(VarCorr(fit)$cond$g, "stddev")
  co <- summary(fit)$coefficients$cond
  out <- c(out, sprintf('"%s": {"formula": "%s", "deviance": %s, "sd": %s, "estimate": %s, "se": %s}', m$name,
                        m$formula, json_num(-2 * as.numeric(logLik(fit))), json_vec(sds),
                        json_vec(co[, "Estimate"]), json_vec(co[, "Std. Error"])))
}
fit <- glmer(b ~ x + (x || g), d, family = binomial, control = glmerControl(optimizer = "bobyqa",
             optCtrl = list(maxfun = 1e5)))
ci <- suppressMessages(confint(fit, method = "profile", oldNames = FALSE))
out <- c(out, sprintf('"binary_profile": {"lower": %s, "upper": %s}', json_vec(ci[, 1]), json_vec(ci[, 2])))
writeLines(c("{", paste(out, collapse = ",\n"), "}"), "tests/data/glmm_uncorrelated.json")
cat(sprintf("glmmTMB %s\n", packageVersion("glmmTMB")))
