# Reference numbers for type III tests of models with interactions (terms
# contained in others): lmerTest's anova(type = 3) with lme4 converged
# tightly. Writes tests/data/type3_reference.json. Run from the repository
# root: Rscript tests/r/type3_reference.R
suppressMessages(library(lmerTest))
ctrl <- lmerControl(optimizer = "bobyqa", optCtrl = list(rhoend = 1e-12, maxfun = 1e5))
num <- function(x) paste0("[", paste(sprintf("%.17g", x), collapse = ", "), "]")
cases <- list(
  list(data = "ChickWeight", formula = "weight ~ Time * Diet + (Time | Chick)", factors = c("Diet", "Chick")),
  list(data = "Orthodont", formula = "distance ~ age * Sex + (age | Subject)", factors = c("Sex", "Subject"))
)
out <- c()
for (cs in cases) {
  d <- read.csv(file.path("tests/data", paste0(cs$data, ".csv")))
  for (f in cs$factors) d[[f]] <- factor(d[[f]])
  fit <- lmer(as.formula(cs$formula), d, control = ctrl)
  a <- anova(fit, type = 3)
  out <- c(out, sprintf('  {"data": "%s", "formula": "%s", "criterion": %.17g, "terms": [%s], "F": %s, "numdf": %s, "dendf": %s, "p": %s}',
                        cs$data, cs$formula, REMLcrit(fit), paste0('"', rownames(a), '"', collapse = ", "),
                        num(a[["F value"]]), num(a[["NumDF"]]), num(a[["DenDF"]]), num(a[["Pr(>F)"]])))
}
writeLines(c("[", paste(out, collapse = ",\n"), "]"), "tests/data/type3_reference.json")
