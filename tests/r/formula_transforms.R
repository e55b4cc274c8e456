# Reference numbers for tests/test_formula.py: lme4 fits of sleepstudy whose
# terms are data-dependent transforms (orthonormal polynomials, scaling,
# centring, B-splines), and predictions on new rows that reuse the training
# data's basis (predict(fit, newdata, re.form = NA)). Writes
# tests/data/formula_transforms.json. Run from the repository root:
# Rscript tests/r/formula_transforms.R
suppressMessages({
  library(lme4)
  library(splines)
  library(jsonlite)
})
ctrl <- lmerControl(optimizer = "bobyqa", optCtrl = list(rhoend = 1e-12, maxfun = 1e5))
inside <- c(0.5, 4.25, 9, 3, 7.75)     # within the training range (B-splines)
outside <- c(-1, 0.5, 4.25, 9, 12)     # also beyond it (polynomials, scaling)
cases <- list(
  list(name = "poly2", ours = "Reaction ~ poly(Days, 2) + (Days | Subject)",
       r = Reaction ~ poly(Days, 2) + (Days | Subject), reml = TRUE, new = outside),
  list(name = "poly2_ml", ours = "Reaction ~ poly(Days, 2) + (Days | Subject)",
       r = Reaction ~ poly(Days, 2) + (Days | Subject), reml = FALSE, new = outside),
  list(name = "poly3_raw", ours = "Reaction ~ poly(Days, 3, raw = TRUE) + (1 | Subject)",
       r = Reaction ~ poly(Days, 3, raw = TRUE) + (1 | Subject), reml = TRUE, new = outside),
  list(name = "scale", ours = "Reaction ~ scale(Days) + (scale(Days) | Subject)",
       r = Reaction ~ scale(Days) + (scale(Days) | Subject), reml = TRUE, new = outside),
  list(name = "center", ours = "Reaction ~ center(Days) + (1 | Subject)",
       r = Reaction ~ scale(Days, scale = FALSE) + (1 | Subject), reml = TRUE, new = outside),
  list(name = "bs3", ours = "Reaction ~ bs(Days, 3) + (1 | Subject)",
       r = Reaction ~ bs(Days, 3) + (1 | Subject), reml = TRUE, new = inside),
  list(name = "bs5", ours = "Reaction ~ bs(Days, 5) + (1 | Subject)",
       r = Reaction ~ bs(Days, 5) + (1 | Subject), reml = TRUE, new = inside)
)
out <- list()
for (case in cases) {
  fit <- lmer(case$r, sleepstudy, REML = case$reml, control = ctrl)
  X <- getME(fit, "X")
  out[[case$name]] <- list(
    formula = case$ours, r_formula = deparse(case$r), reml = case$reml,
    criterion = if (case$reml) REMLcrit(fit) else deviance(fit),
    beta = unname(fixef(fit)), theta = unname(getME(fit, "theta")),
    fitted = unname(fitted(fit)),
    x_first_subject = unname(lapply(1:10, function(i) unname(X[i, ]))),
    new_days = case$new,
    predict_new = unname(predict(fit, newdata = data.frame(Days = case$new), re.form = NA)))
}
writeLines(toJSON(out, digits = NA, auto_unbox = TRUE, pretty = TRUE), "tests/data/formula_transforms.json")
