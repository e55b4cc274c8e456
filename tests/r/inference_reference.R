# Reference numbers for tests/test_inference.py: lmerTest's Satterthwaite
# t tests and type III F tests, lme4's likelihood-ratio tests and profile
# intervals, on lme4, nlme and datasets data. Writes the datasets to
# tests/data/*.csv and the numbers to tests/data/inference_reference.json.
# Run from the repository root: Rscript tests/r/inference_reference.R
suppressMessages({library(lmerTest); library(nlme)})
options(digits = 17)

data_dir <- "tests/data"
as_plain <- function(d) { d <- as.data.frame(d); for (k in names(d)) if (is.factor(d[[k]])) d[[k]] <- as.character(d[[k]]); d }
sets <- list(
  sleepstudy = lme4::sleepstudy,
  Orthodont = as_plain(nlme::Orthodont),
  ChickWeight = as_plain(datasets::ChickWeight),
  Oxboys = as_plain(nlme::Oxboys),
  Machines = as_plain(nlme::Machines),
  ergoStool = as_plain(nlme::ergoStool)
)
for (nm in names(sets)) if (nm != "sleepstudy") write.csv(sets[[nm]], file.path(data_dir, paste0(nm, ".csv")), row.names = FALSE)

# Factors in R get their levels sorted, as corvane sorts labels.
fac <- function(d, cols) { for (k in cols) d[[k]] <- factor(d[[k]]); d }
models <- list(
  list(name = "sleepstudy", data = "sleepstudy", formula = "Reaction ~ Days + (Days | Subject)", null = "Reaction ~ 1 + (Days | Subject)", factors = "Subject"),
  list(name = "Orthodont", data = "Orthodont", formula = "distance ~ age + Sex + (age | Subject)", null = "distance ~ age + (age | Subject)", factors = c("Subject", "Sex")),
  list(name = "ChickWeight", data = "ChickWeight", formula = "weight ~ Time + Diet + (Time | Chick)", null = "weight ~ Time + (Time | Chick)", factors = c("Chick", "Diet")),
  list(name = "Oxboys", data = "Oxboys", formula = "height ~ age + (age | Subject)", null = "height ~ 1 + (age | Subject)", factors = "Subject"),
  list(name = "Machines", data = "Machines", formula = "score ~ Machine + (1 | Worker)", null = "score ~ 1 + (1 | Worker)", factors = c("Worker", "Machine")),
  list(name = "ergoStool", data = "ergoStool", formula = "effort ~ Type + (1 | Subject)", null = "effort ~ 1 + (1 | Subject)", factors = c("Subject", "Type"))
)
json_num <- function(x) ifelse(is.finite(x), sprintf("%.17g", x), ifelse(is.na(x), "null", ifelse(x > 0, "1e999", "-1e999")))
json_vec <- function(x) paste0("[", paste(json_num(x), collapse = ", "), "]")
json_str <- function(x) paste0("[", paste0('"', x, '"', collapse = ", "), "]")
ctrl <- lmerControl(optimizer = "bobyqa", optCtrl = list(maxfun = 1e5))
out <- c()
for (m in models) {
  d <- fac(sets[[m$data]], m$factors)
  for (reml in c(TRUE, FALSE)) {
    fit <- lmerTest::lmer(as.formula(m$formula), data = d, REML = reml, control = ctrl)
    co <- summary(fit)$coefficients
    a3 <- anova(fit, type = 3)
    entry <- c(
      sprintf('"formula": "%s"', m$formula), sprintf('"reml": %s', tolower(reml)),
      sprintf('"criterion": %s', json_num(if (reml) REMLcrit(fit) else deviance(fit))),
      sprintf('"terms": %s', json_str(rownames(co))),
      sprintf('"estimate": %s', json_vec(co[, "Estimate"])), sprintf('"se": %s', json_vec(co[, "Std. Error"])),
      sprintf('"df": %s', json_vec(co[, "df"])), sprintf('"t": %s', json_vec(co[, "t value"])),
      sprintf('"p": %s', json_vec(co[, "Pr(>|t|)"])),
      sprintf('"anova_terms": %s', json_str(rownames(a3))), sprintf('"anova_F": %s', json_vec(a3[["F value"]])),
      sprintf('"anova_numdf": %s', json_vec(a3[["NumDF"]])), sprintf('"anova_dendf": %s', json_vec(a3[["DenDF"]])),
      sprintf('"anova_p": %s', json_vec(a3[["Pr(>F)"]])), sprintf('"anova_ss": %s', json_vec(a3[["Sum Sq"]])))
    if (!reml) {
      ci <- confint(fit, method = "profile", oldNames = FALSE)
      entry <- c(entry, sprintf('"profile_names": %s', json_str(rownames(ci))),
                 sprintf('"profile_lower": %s', json_vec(ci[, 1])), sprintf('"profile_upper": %s', json_vec(ci[, 2])))
      f0 <- lme4::lmer(as.formula(m$null), data = d, REML = FALSE, control = ctrl)
      f1 <- lme4::lmer(as.formula(m$formula), data = d, REML = FALSE, control = ctrl)
      lrt <- anova(f0, f1)
      entry <- c(entry, sprintf('"null": "%s"', m$null), sprintf('"lrt_chisq": %s', json_num(lrt$Chisq[2])),
                 sprintf('"lrt_df": %s', json_num(lrt$Df[2])), sprintf('"lrt_p": %s', json_num(lrt[["Pr(>Chisq)"]][2])),
                 sprintf('"lrt_aic": %s', json_vec(lrt$AIC)), sprintf('"lrt_loglik": %s', json_vec(lrt$logLik)))
    }
    out <- c(out, sprintf('  {"name": "%s", "data": "%s", %s}', m$name, m$data, paste(entry, collapse = ", ")))
  }
}
writeLines(c("[", paste(out, collapse = ",\n"), "]"), file.path(data_dir, "inference_reference.json"))
