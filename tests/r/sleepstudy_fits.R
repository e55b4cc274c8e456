# Reference numbers for tests/test_newton.py: lme4's REML fits of sleepstudy.
# Run from the repository root: Rscript tests/r/sleepstudy_fits.R
# (R with lme4 from Debian's r-cran-lme4). It also writes tests/data/sleepstudy.csv.
library(lme4)
write.csv(sleepstudy, "tests/data/sleepstudy.csv", row.names = FALSE)
show <- function(label, fit) {
  cat(label, "\n")
  cat("  REMLcrit", sprintf("%.10f", REMLcrit(fit)), "\n")
  cat("  theta   ", sprintf("%.10f", getME(fit, "theta")), "\n")
  cat("  fixef   ", sprintf("%.10f", fixef(fit)), "\n")
  cat("  sigma   ", sprintf("%.10f", sigma(fit)), "\n")
}
show("q = 2: Reaction ~ Days + (Days | Subject)", lmer(Reaction ~ Days + (Days | Subject), sleepstudy))
show("q = 3: Reaction ~ Days + I(Days^2) + (Days + I(Days^2) | Subject)",
     lmer(Reaction ~ Days + I(Days^2) + (Days + I(Days^2) | Subject), sleepstudy))
show("q = 1: Reaction ~ Days + (1 | Subject)", lmer(Reaction ~ Days + (1 | Subject), sleepstudy))
show("offset: Reaction ~ Days + offset(Days) + (1 | Subject)",
     lmer(Reaction ~ Days + offset(Days) + (1 | Subject), sleepstudy))
fit <- lmer(Reaction ~ Days + (Days | Subject), sleepstudy, REML = FALSE)
cat("ML, q = 2: deviance", sprintf("%.10f", deviance(fit)), "\n")
cat("  theta   ", sprintf("%.10f", getME(fit, "theta")), "\n")
cat("  fixef   ", sprintf("%.10f", fixef(fit)), "\n")
cat("  sigma   ", sprintf("%.10f", sigma(fit)), "\n")
# A random slope in other units: the same model for every c.
for (c in c(1, 10, 1e-4)) {
  d <- sleepstudy
  d$cd <- c * d$Days
  cat("(0 + c * Days | Subject), c =", c, ": REMLcrit",
      sprintf("%.10f", REMLcrit(lmer(Reaction ~ Days + (0 + cd | Subject), d))), "\n")
}
