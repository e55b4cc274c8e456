# Reference numbers for tests/test_outputs_names.py: lmerTest's fixed-effects
# table (Satterthwaite's df and Pr(>|t|)) on the package's embedded example
# (tests/data/example.csv, corvane._example.example_frame() written as CSV),
# on sleepstudy with an aliased column (lme4 drops it), and on a singular fit
# (tests/data/boundary.csv); also lme4's likelihood-ratio test of the example
# against its model without Days. Writes tests/data/outputs_names.json.
# Run from the repository root: Rscript tests/r/outputs_names.R
suppressMessages(library(lmerTest))
options(digits = 17)

ctrl <- lmerControl(optimizer = "bobyqa", optCtrl = list(rhoend = 1e-12, maxfun = 1e5))
example <- read.csv("tests/data/example.csv")
sleep <- read.csv("tests/data/sleepstudy.csv")
sleep$Days2 <- 2 * sleep$Days
boundary <- read.csv("tests/data/boundary.csv")
cases <- list(
  list(name = "example", data = example, formula = "Reaction ~ Days + (Days | Subject)"),
  list(name = "dropped_column", data = sleep, formula = "Reaction ~ Days + Days2 + (Days | Subject)"),
  list(name = "singular", data = boundary, formula = "y ~ 1 + (1 | g)")
)
json_num <- function(x) ifelse(is.finite(x), sprintf("%.17g", x), "null")
json_vec <- function(x) paste0("[", paste(json_num(x), collapse = ", "), "]")
json_str <- function(x) paste0("[", paste0('"', x, '"', collapse = ", "), "]")
out <- c()
for (m in cases) {
  fit <- lmerTest::lmer(as.formula(m$formula), data = m$data, REML = TRUE, control = ctrl)
  co <- summary(fit)$coefficients
  out <- c(out, sprintf(paste0('  "%s": {"formula": "%s", "criterion": %s, "singular": %s, "terms": %s, ',
                               '"estimate": %s, "se": %s, "df": %s, "t": %s, "p": %s}'),
                        m$name, m$formula, json_num(REMLcrit(fit)), tolower(isSingular(fit)),
                        json_str(rownames(co)), json_vec(co[, "Estimate"]), json_vec(co[, "Std. Error"]),
                        json_vec(co[, "df"]), json_vec(co[, "t value"]), json_vec(co[, "Pr(>|t|)"])))
}
m1 <- lme4::lmer(Reaction ~ Days + (Days | Subject), data = example, REML = FALSE, control = ctrl)
m0 <- lme4::lmer(Reaction ~ 1 + (Days | Subject), data = example, REML = FALSE, control = ctrl)
a <- anova(m0, m1)
out <- c(out, sprintf('  "example_lrt": {"chisq": %s, "df": %s, "p": %s}', json_num(a$Chisq[2]),
                      json_num(a$Df[2]), json_num(a[["Pr(>Chisq)"]][2])))
writeLines(c("{", paste(out, collapse = ",\n"), "}"), "tests/data/outputs_names.json")
