# Reference numbers for tests/test_outputs_heldout.py: lme4 on a factor-by-factor
# design with empty cells (mlmRev's Exam, schools 1 to 20: the boys' school has
# no girls and the girls' schools no boys, so lme4 drops both sex:schgend
# columns), by REML and ML, and the likelihood-ratio test of it against the
# model with sex alone (lme4 refits by ML). Writes tests/data/exam_subset.csv
# and tests/data/outputs_heldout.json.
# Run from the repository root: Rscript tests/r/outputs_heldout.R
suppressMessages({library(lme4); library(mlmRev); library(jsonlite)})
ctrl <- lmerControl(optimizer = "bobyqa", optCtrl = list(rhoend = 1e-12, maxfun = 1e5))
ex <- mlmRev::Exam
ex <- ex[as.integer(ex$school) <= 20, c("school", "normexam", "standLRT", "sex", "schgend")]
ex$school <- as.integer(as.character(ex$school))
write.csv(ex, "tests/data/exam_subset.csv", row.names = FALSE)
ex <- read.csv("tests/data/exam_subset.csv")
ex$school <- factor(ex$school)
one <- function(fit) list(
  names = names(fixef(fit)), fixef = unname(fixef(fit)), se = unname(sqrt(diag(as.matrix(vcov(fit))))),
  sigma = sigma(fit), theta = unname(getME(fit, "theta")), crit = if (isREML(fit)) REMLcrit(fit) else deviance(fit),
  loglik = as.numeric(logLik(fit)), npar = attr(logLik(fit), "df"), aic = AIC(fit), bic = BIC(fit),
  df_resid = df.residual(fit))
out <- list()
m1 <- lmer(normexam ~ sex * schgend + (1 | school), ex, control = ctrl)
m1ml <- lmer(normexam ~ sex * schgend + (1 | school), ex, REML = FALSE, control = ctrl)
out$reml <- one(m1)
out$ml <- one(m1ml)
out$formula <- "normexam ~ sex * schgend + (1 | school)"
m0 <- lmer(normexam ~ sex + (1 | school), ex, control = ctrl)
a <- anova(m0, m1)
out$lrt <- list(formula0 = "normexam ~ sex + (1 | school)", npar = a$npar, loglik = a$logLik,
                deviance = a$deviance, chisq = a$Chisq[2], df = a$Df[2], p = a[["Pr(>Chisq)"]][2])
writeLines(toJSON(out, digits = NA, auto_unbox = TRUE, na = "null"), "tests/data/outputs_heldout.json")
