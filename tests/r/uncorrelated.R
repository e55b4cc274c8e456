# Reference numbers for tests/test_uncorrelated.py: lme4's fits of
# uncorrelated random effects ('||' and several terms of one group), with
# lmerTest's Satterthwaite and Kenward-Roger df and ranova, emmeans' means
# (Kenward-Roger) and lme4's profile intervals.
# Run from the repository root: Rscript tests/r/uncorrelated.R
suppressMessages({library(lmerTest); library(emmeans)})
options(digits = 17)
data_dir <- "tests/data"
rd <- function(name) read.csv(file.path(data_dir, name), stringsAsFactors = FALSE)
models <- list(
  list(name = "sleep_double_bar", data = lme4::sleepstudy, formula = "Reaction ~ Days + (Days || Subject)"),
  list(name = "sleep_written_out", data = lme4::sleepstudy, formula = "Reaction ~ Days + (0 + Days | Subject) + (1 | Subject)"),
  list(name = "three_double_bar", data = rd("kr_three.csv"), formula = "y ~ x + z + h + (x + z || g)"),
  list(name = "three_mixed", data = rd("kr_three.csv"), formula = "y ~ x + z + h + (1 + x | g) + (0 + z | g)"),
  list(name = "slopes_double_bar", data = rd("kr_slopes.csv"), formula = "y ~ f * x + (x || g)"),
  list(name = "three_interaction", data = rd("kr_three.csv"), formula = "y ~ x * z + (x * z || g)"),
  list(name = "three_slopes_only", data = rd("kr_three.csv"), formula = "y ~ x + z + (0 + x | g) + (0 + z | g)")
)
json_num <- function(x) ifelse(is.finite(x), sprintf("%.17g", x), ifelse(is.na(x), "null", ifelse(x > 0, "1e999", "-1e999")))
json_vec <- function(x) paste0("[", paste(json_num(x), collapse = ", "), "]")
json_str <- function(x) paste0("[", paste0('"', x, '"', collapse = ", "), "]")
ctrl <- lmerControl(optimizer = "bobyqa", optCtrl = list(maxfun = 1e5, rhobeg = 1e-3, rhoend = 1e-12),
                    check.conv.singular = "ignore")
out <- c()
for (m in models) {
  d <- m$data
  for (k in c("g", "f", "h", "Subject")) if (k %in% names(d)) d[[k]] <- factor(d[[k]])
  for (reml in c(TRUE, FALSE)) {
    fit <- lmerTest::lmer(as.formula(m$formula), data = d, REML = reml, control = ctrl)
    vc <- as.data.frame(VarCorr(fit))
    sds <- vc[is.na(vc$var2) & vc$grp != "Residual", ]
    co <- summary(fit)$coefficients
    entry <- c(sprintf('"formula": "%s"', m$formula), sprintf('"reml": %s', tolower(reml)),
      sprintf('"criterion": %s', json_num(if (reml) REMLcrit(fit) else deviance(fit))),
      sprintf('"sd_names": %s', json_str(sds$var1)), sprintf('"sd": %s', json_vec(sds$sdcor)),
      sprintf('"sigma": %s', json_num(sigma(fit))), sprintf('"npar": %d', attr(logLik(fit), "df")),
      sprintf('"estimate": %s', json_vec(co[, "Estimate"])), sprintf('"se": %s', json_vec(co[, "Std. Error"])),
      sprintf('"df": %s', json_vec(co[, "df"])))
    rt <- ranova(fit)
    entry <- c(entry, sprintf('"ranova_rows": %s', json_str(rownames(rt))),
               sprintf('"ranova_npar": %s', json_vec(rt$npar)), sprintf('"ranova_loglik": %s', json_vec(rt$logLik)),
               sprintf('"ranova_df": %s', json_vec(rt$Df)), sprintf('"ranova_p": %s', json_vec(rt[["Pr(>Chisq)"]])))
    if (reml && "h" %in% all.vars(as.formula(m$formula))) {
      emm_options(lmer.df = "kenward-roger")
      e <- as.data.frame(emmeans(fit, "h"))
      entry <- c(entry, sprintf('"emm_levels": %s', json_str(as.character(e$h))),
                 sprintf('"emm_kr": %s', json_vec(e$emmean)), sprintf('"emm_kr_se": %s', json_vec(e$SE)),
                 sprintf('"emm_kr_df": %s', json_vec(e$df)))
    }
    if (reml) {
      kr <- summary(fit, ddf = "Kenward-Roger")$coefficients
      entry <- c(entry, sprintf('"kr_se": %s', json_vec(kr[, "Std. Error"])), sprintf('"kr_df": %s', json_vec(kr[, "df"])))
    } else if (m$name == "sleep_double_bar") {
      ci <- suppressMessages(confint(fit, method = "profile", oldNames = FALSE))
      entry <- c(entry, sprintf('"profile_names": %s', json_str(rownames(ci))),
                 sprintf('"profile_lower": %s', json_vec(ci[, 1])), sprintf('"profile_upper": %s', json_vec(ci[, 2])))
    }
    out <- c(out, sprintf("{%s}", paste(c(sprintf('"name": "%s"', m$name), entry), collapse = ", ")))
  }
}
writeLines(c("[", paste(out, collapse = ",\n"), "]"), file.path(data_dir, "uncorrelated.json"))
