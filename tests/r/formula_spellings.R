# Reference fits for formulas spelled as R users write them: factor() and
# as.factor(), '%in%', column names with dots (inside calls too, and as the
# grouping), a response and offsets that are arithmetic ('y - x' is a
# difference), against lme4 on a simulated table. Writes the table to
# tests/data/formula_spellings.csv and lme4's fits (criterion, fixed effects,
# fitted values, population predictions for new rows) to
# tests/data/formula_spellings.json. Run from the repository root:
# Rscript tests/r/formula_spellings.R
suppressMessages({
  library(lme4)
  library(jsonlite)
})
set.seed(20261209)
m <- 15
per <- 8
g <- rep(sprintf("s%02d", 1:m), each = per)
n <- length(g)
x.1 <- rnorm(n)
dose <- runif(n, 0, 4)
arm <- sample(c("lo", "mid", "hi"), n, replace = TRUE)
k <- sample(1:3, n, replace = TRUE)
cnt <- sample(1:30, n, replace = TRUE)
b0 <- rnorm(m)[match(g, unique(g))]
b1 <- 0.5 * rnorm(m)[match(g, unique(g))]
y <- 3 + 0.8 * x.1 - 0.5 * dose + 0.7 * (arm == "hi") + 0.3 * k + b0 + b1 * x.1 + rnorm(n) + log(cnt)
d <- data.frame(y = y, x.1 = x.1, dose = dose, arm = arm, k = k, cnt = cnt, grp.id = g,
                stringsAsFactors = FALSE)
write.csv(d, "tests/data/formula_spellings.csv", row.names = FALSE)
d <- read.csv("tests/data/formula_spellings.csv", stringsAsFactors = TRUE)
ctrl <- lmerControl(optimizer = "bobyqa", optCtrl = list(rhoend = 1e-12, maxfun = 1e5))
new <- data.frame(x.1 = c(-1.5, 0, 0.7, 2.2), dose = c(0.5, 1, 3, 3.9), arm = c("hi", "lo", "mid", "lo"),
                  k = c(1L, 3L, 2L, 2L), cnt = c(3L, 10L, 27L, 1L))
cases <- list(
  factor = "y ~ factor(k) * x.1 + (1 | grp.id)",
  as_factor = "y ~ as.factor(k) + dose + (dose | grp.id)",
  in_f = "y ~ arm + x.1 %in% arm + (1 | grp.id)",
  dotted_calls = "y ~ log(cnt) + poly(x.1, 2) + I(dose^2) + (x.1 | grp.id)",
  resp_difference = "y - x.1 ~ arm + (1 | grp.id)",
  resp_power = "y^2 ~ arm + dose + (1 | grp.id)",
  offset_product = "y ~ arm + offset(2 * x.1) + (1 | grp.id)",
  offset_difference = "y ~ dose + offset(log(cnt) - x.1) + (1 | grp.id)"
)
out <- list()
for (name in names(cases)) {
  reml <- name != "resp_power"
  fit <- lmer(as.formula(cases[[name]]), d, REML = reml, control = ctrl)
  out[[name]] <- list(
    formula = cases[[name]], reml = reml,
    criterion = if (reml) REMLcrit(fit) else deviance(fit),
    beta = unname(fixef(fit)), names = names(fixef(fit)),
    fitted = unname(fitted(fit)),
    predict_new = unname(predict(fit, newdata = new, re.form = NA)))
}
out$new <- new
writeLines(toJSON(out, digits = NA, auto_unbox = TRUE, pretty = TRUE), "tests/data/formula_spellings.json")
