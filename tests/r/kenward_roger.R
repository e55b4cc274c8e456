# Reference numbers for tests/test_kenward_roger.py: lmerTest's summary and
# type III anova with Kenward-Roger's df (pbkrtest underneath), pbkrtest's
# adjusted covariance, and contrast F tests, on lme4, nlme and datasets data
# and on simulated unbalanced designs (written to tests/data/kr_*.csv).
# Run from the repository root: Rscript tests/r/kenward_roger.R
suppressMessages({library(lmerTest); library(pbkrtest)})
options(digits = 17)
data_dir <- "tests/data"
rd <- function(name) read.csv(file.path(data_dir, name), stringsAsFactors = FALSE)

set.seed(20261209)
# An unbalanced random-slope design: 15 groups of 2..14 rows, a 3-level
# factor crossed with a covariate, a zero-variance-free truth.
ng <- 15; sizes <- sample(2:14, ng, replace = TRUE)
g <- rep(sprintf("g%02d", 1:ng), sizes); n <- length(g)
x <- round(runif(n, 0, 10), 2); f <- sample(c("a", "b", "c"), n, replace = TRUE)
b0 <- rnorm(ng, 0, 2)[as.integer(factor(g))]; b1 <- rnorm(ng, 0, 0.4)[as.integer(factor(g))]
y <- round(5 + 0.7 * x + c(a = 0, b = 1.5, c = -1)[f] + 0.3 * x * (f == "b") + b0 + b1 * x + rnorm(n, 0, 1.5), 3)
write.csv(data.frame(g, x, f, y), file.path(data_dir, "kr_slopes.csv"), row.names = FALSE)
# Three random effects (intercept, slope, a second covariate) on 12 groups.
ng <- 12; sizes <- sample(4:12, ng, replace = TRUE)
g <- rep(sprintf("s%02d", 1:ng), sizes); n <- length(g)
x <- round(rnorm(n), 3); z <- round(runif(n, -1, 1), 3); h <- sample(c("lo", "hi"), n, replace = TRUE)
gi <- as.integer(factor(g))
y <- round(1 + x - 0.5 * z + 0.8 * (h == "hi") + rnorm(ng, 0, 1)[gi] + rnorm(ng, 0, 0.5)[gi] * x +
           rnorm(ng, 0, 0.7)[gi] * z + rnorm(n, 0, 0.6), 3)
write.csv(data.frame(g, x, z, h, y), file.path(data_dir, "kr_three.csv"), row.names = FALSE)

sleep <- lme4::sleepstudy
sleep_sub <- sleep[sort(sample(nrow(sleep), 120)), ]
write.csv(sleep_sub, file.path(data_dir, "kr_sleep_subset.csv"), row.names = FALSE)
fac <- function(d, cols) { for (k in cols) d[[k]] <- factor(d[[k]]); d }
models <- list(
  list(name = "sleepstudy", data = sleep, formula = "Reaction ~ Days + (Days | Subject)", factors = "Subject"),
  list(name = "sleep_subset", data = sleep_sub, formula = "Reaction ~ Days + (Days | Subject)", factors = "Subject"),
  list(name = "ChickWeight", data = rd("ChickWeight.csv"), formula = "weight ~ Time * Diet + (Time | Chick)", factors = c("Chick", "Diet")),
  list(name = "Orthodont", data = rd("Orthodont.csv"), formula = "distance ~ age * Sex + (age | Subject)", factors = c("Subject", "Sex")),
  list(name = "Machines", data = rd("Machines.csv"), formula = "score ~ Machine + (1 | Worker)", factors = c("Worker", "Machine")),
  list(name = "type3", data = rd("type3_design.csv"), formula = "y ~ A * x + B + (1 | g)", factors = c("g", "A", "B")),
  list(name = "slopes", data = rd("kr_slopes.csv"), formula = "y ~ f * x + (x | g)", factors = c("g", "f")),
  list(name = "slopes_order", data = rd("kr_slopes.csv"), formula = "y ~ x + f + x:f + (x | g)", factors = c("g", "f")),
  list(name = "three", data = rd("kr_three.csv"), formula = "y ~ x + z + h + (x + z | g)", factors = c("g", "h")),
  list(name = "singular", data = rd("small_design_singular.csv"), formula = "y ~ x + (x | g)", factors = "g")
)
json_num <- function(x) ifelse(is.finite(x), sprintf("%.17g", x), ifelse(is.na(x), "null", ifelse(x > 0, "1e999", "-1e999")))
json_vec <- function(x) paste0("[", paste(json_num(x), collapse = ", "), "]")
json_str <- function(x) paste0("[", paste0('"', x, '"', collapse = ", "), "]")
ctrl <- lmerControl(optimizer = "bobyqa", optCtrl = list(maxfun = 1e5, rhobeg = 1e-3, rhoend = 1e-12),
                    check.conv.singular = "ignore")
out <- c()
for (m in models) {
  d <- fac(m$data, m$factors)
  fit <- lmerTest::lmer(as.formula(m$formula), data = d, REML = TRUE, control = ctrl)
  co <- summary(fit, ddf = "Kenward-Roger")$coefficients
  a3 <- anova(fit, type = 3, ddf = "Kenward-Roger")
  va <- as.matrix(vcovAdj(fit))
  p <- length(fixef(fit))
  # A two-row contrast with a non-zero right-hand side.
  L <- if (p >= 3) rbind(c(0, 1, rep(0, p - 2)), c(0, 0, 1, rep(0, p - 3))) else rbind(c(1, 1), c(1, -1))
  rhs <- c(0.5, -0.25)
  ct <- contest(fit, L, rhs = rhs, ddf = "Kenward-Roger")
  out <- c(out, sprintf('"%s": {%s}', m$name, paste(c(
    sprintf('"formula": "%s"', m$formula), sprintf('"criterion": %s', json_num(REMLcrit(fit))),
    sprintf('"terms": %s', json_str(rownames(co))),
    sprintf('"estimate": %s', json_vec(co[, "Estimate"])), sprintf('"se": %s', json_vec(co[, "Std. Error"])),
    sprintf('"df": %s', json_vec(co[, "df"])), sprintf('"t": %s', json_vec(co[, "t value"])),
    sprintf('"p": %s', json_vec(co[, "Pr(>|t|)"])),
    sprintf('"vcov_adj": %s', json_vec(as.vector(va))),
    sprintf('"anova_terms": %s', json_str(rownames(a3))), sprintf('"anova_F": %s', json_vec(a3[["F value"]])),
    sprintf('"anova_numdf": %s', json_vec(a3[["NumDF"]])), sprintf('"anova_dendf": %s', json_vec(a3[["DenDF"]])),
    sprintf('"anova_p": %s', json_vec(a3[["Pr(>F)"]])), sprintf('"anova_ms": %s', json_vec(a3[["Mean Sq"]])),
    sprintf('"contrast_L": %s', json_vec(as.vector(t(L)))), sprintf('"contrast_rhs": %s', json_vec(rhs)),
    sprintf('"contrast_F": %s', json_num(ct[["F value"]])), sprintf('"contrast_numdf": %s', json_num(ct$NumDF)),
    sprintf('"contrast_dendf": %s', json_num(ct$DenDF)), sprintf('"contrast_p": %s', json_num(ct[["Pr(>F)"]]))),
    collapse = ", ")))
}
writeLines(c("{", paste(out, collapse = ",\n"), "}"), file.path(data_dir, "kenward_roger.json"))
cat(sprintf("pbkrtest %s, lmerTest %s, lme4 %s\n", packageVersion("pbkrtest"), packageVersion("lmerTest"),
            packageVersion("lme4")))
