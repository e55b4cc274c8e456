# lme4's profile intervals of a model with a correlated random slope
# (q = 2): use ~ age + urban + (urban | district) on mlmRev's Contraception
# (tests/data/Contraception.csv), glmer with tight bobyqa, 95 %.
# Run from the repository root: Rscript tests/r/glmm_profile_slopes.R
suppressPackageStartupMessages({ library(lme4); library(jsonlite) })
d <- read.csv("tests/data/Contraception.csv")
d$urban <- factor(d$urban); d$district <- factor(d$district)
ctrl <- glmerControl(optimizer = "bobyqa", optCtrl = list(rhoend = 1e-10, maxfun = 1e5))
fit <- glmer(use ~ age + urban + (urban | district), data = d, family = binomial, control = ctrl)
ci <- confint(fit, method = "profile", level = 0.95, oldNames = FALSE)
out <- list(
  description = paste("lme4's confint(method = 'profile', level = 0.95) of a binomial fit with a correlated",
                      "random slope; lme4 interpolates its profiles with splines, and its Laplace deviance sits",
                      "up to 4e-4 below the exact one, so its ends carry errors of about 1e-3"),
  lme4_version = as.character(packageVersion("lme4")),
  formula = "use ~ age + urban + (urban | district)", data = "Contraception.csv",
  names = rownames(ci), lower = unname(ci[, 1]), upper = unname(ci[, 2]),
  theta = unname(getME(fit, "theta")), fixef = unname(fixef(fit)), logLik = as.numeric(logLik(fit)))
writeLines(toJSON(out, digits = NA, auto_unbox = TRUE, pretty = TRUE), "tests/data/glmm_profile_slopes.json")
