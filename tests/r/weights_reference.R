# Reference numbers for the precision-weights tests: lmer(..., weights = w)
# on sleepstudy with positive random weights. Writes the weights to
# tests/data/sleepstudy_weights.csv and the numbers to
# tests/data/weights_reference.json. Run from the repository root:
# Rscript tests/r/weights_reference.R
suppressMessages(library(lme4))
set.seed(20261208)
d <- sleepstudy
d$w <- round(runif(nrow(d), 0.2, 3), 6)
write.csv(d[, c("Reaction", "Days", "Subject", "w")], "tests/data/sleepstudy_weights.csv", row.names = FALSE)
num <- function(x) sprintf("%.17g", x)
vec <- function(x) paste0("[", paste(num(x), collapse = ", "), "]")
out <- c()
for (reml in c(TRUE, FALSE)) {
  fit <- lmer(Reaction ~ Days + (Days | Subject), d, weights = w, REML = reml,
              control = lmerControl(optimizer = "bobyqa", optCtrl = list(maxfun = 1e5, rhoend = 1e-12)))
  vc <- as.data.frame(VarCorr(fit))
  out <- c(out, sprintf(paste0('  {"reml": %s, "criterion": %s, "beta": %s, "sigma": %s, "sd": %s, "cor": %s, ',
                               '"loglik": %s, "aic": %s, "bic": %s, "theta": %s}'),
                        tolower(reml), num(if (reml) REMLcrit(fit) else deviance(fit)), vec(fixef(fit)),
                        num(sigma(fit)), vec(vc$sdcor[c(1, 2)]), num(vc$sdcor[3]), num(as.numeric(logLik(fit))),
                        num(AIC(fit)), num(BIC(fit)), vec(getME(fit, "theta"))))
}
writeLines(c("[", paste(out, collapse = ",\n"), "]"), "tests/data/weights_reference.json")
