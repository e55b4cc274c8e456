# Reference numbers for tests/test_fit_heldout.py: designs simulated with no
# random variation at all (20 groups of 5, y = 1 + x / 2 + N(0, 1)), whose
# optimum has both variances of (x | g) at 0, fitted by lme4 with tight
# control. Writes tests/data/null_designs.csv and tests/data/fit_heldout.json.
# Run from the repository root:
#   Rscript tests/r/fit_heldout.R
suppressMessages(library(lme4))
ctl <- lmerControl(optimizer = "bobyqa", optCtrl = list(rhoend = 1e-12, maxfun = 1e5))
json_num <- function(x) sprintf("%.17g", x)
json_vec <- function(x) paste0("[", paste(json_num(x), collapse = ", "), "]")

sets <- c(6, 11)
designs <- do.call(rbind, lapply(sets, function(seed) {
  set.seed(seed); m <- 20; n <- 5
  d <- data.frame(set = seed, g = rep(1:m, each = n), x = rep(seq(-1, 1, length = n), m))
  d$y <- round(1 + 0.5 * d$x + rnorm(m * n), 3)
  d
}))
write.csv(designs, "tests/data/null_designs.csv", row.names = FALSE)

entries <- character()
for (seed in sets) for (reml in c(TRUE, FALSE)) {
  d <- designs[designs$set == seed, ]
  d$g <- factor(d$g)
  f <- suppressMessages(lmer(y ~ x + (x | g), d, REML = reml, control = ctl))
  vc <- as.data.frame(VarCorr(f))
  entries <- c(entries, sprintf(
    '{"set": %d, "reml": %s, "criterion": %s, "theta": %s, "sd": %s, "singular": %s, "beta": %s, "sigma": %s}',
    seed, tolower(reml), json_num(if (reml) REMLcrit(f) else deviance(f)), json_vec(getME(f, "theta")),
    json_vec(attr(VarCorr(f)$g, "stddev")), tolower(isSingular(f)), json_vec(fixef(f)), json_num(sigma(f))))
}
writeLines(c("[", paste(entries, collapse = ",\n"), "]"), "tests/data/fit_heldout.json")
