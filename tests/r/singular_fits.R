# Reference numbers for fits whose optimum lies on the boundary: lme4's
# Dyestuff2 (a zero between-batch variance) and a simulated random slope
# proportional to its intercept (a correlation of 1), by REML and ML, with
# lme4 converged tightly. Writes tests/data/singular_fits.json. Run from the
# repository root: Rscript tests/r/singular_fits.R
suppressMessages(library(lme4))
ctrl <- lmerControl(optimizer = "bobyqa", optCtrl = list(rhoend = 1e-12, maxfun = 1e5))
num <- function(x) paste0("[", paste(sprintf("%.17g", x), collapse = ", "), "]")
cases <- list(
  list(data = "Dyestuff2", formula = "Yield ~ 1 + (1 | Batch)"),
  list(data = "proportional_slope", formula = "y ~ x + (x | g)")
)
out <- c()
for (cs in cases) {
  d <- read.csv(file.path("tests/data", paste0(cs$data, ".csv")))
  for (reml in c(TRUE, FALSE)) {
    fit <- lmer(as.formula(cs$formula), d, REML = reml, control = ctrl)
    vc <- as.data.frame(VarCorr(fit))
    out <- c(out, sprintf('  {"data": "%s", "formula": "%s", "reml": %s, "criterion": %.17g, "theta": %s, "beta": %s, "sigma": %.17g, "singular": %s}',
                          cs$data, cs$formula, tolower(reml), if (reml) REMLcrit(fit) else deviance(fit),
                          num(getME(fit, "theta")), num(fixef(fit)), sigma(fit), tolower(isSingular(fit))))
  }
}
writeLines(c("[", paste(out, collapse = ",\n"), "]"), "tests/data/singular_fits.json")
