# Reference numbers for tests/test_reduction.py: lmerTest's ranova and drop1
# (Satterthwaite), lme4's drop1(test = "Chisq"), lme4's coef and
# performance's r2_nakagawa, on corvane's example data and simulated data sets written
# to tests/data/reduction_*.csv.
#
# Run from the repository root:  Rscript tests/r/reduction_reference.R
suppressPackageStartupMessages({
  library(lme4)
  library(lmerTest)
  library(performance)
  library(jsonlite)
})

# rhoend: a tighter optimum than the default, for comparisons to 1e-6.
ctrl <- lmerControl(optimizer = "bobyqa", optCtrl = list(maxfun = 1e5, rhoend = 1e-12))
out_dir <- "tests/data"

# ---- data ---------------------------------------------------------------------
set.seed(20240901)
m <- 30; per <- 8
g <- sprintf("g%02d", rep(seq_len(m), each = per))
n <- length(g)
f <- sample(c("a", "b", "c"), n, replace = TRUE)
x <- round(runif(n, 0, 4), 3)
z <- round(rnorm(n), 3)
b0 <- rnorm(m, sd = 1.2); b1 <- rnorm(m, sd = 0.6); b2 <- rnorm(m, sd = 0.6)
gi <- rep(seq_len(m), each = per)
y <- 2 + c(a = 0, b = 0.8, c = -0.5)[f] + 0.6 * x + 0.3 * (f == "b") * x - 0.4 * z +
  b0[gi] + b1[gi] * x + b2[gi] * z + rnorm(n, sd = 0.7)
y <- round(y, 4)
slopes <- data.frame(y = y, f = f, x = x, z = z, g = g)
slopes$y[c(5, 37, 88)] <- NA     # missing rows: the response ...
slopes$x[c(20, 101)] <- NA      # ... and a covariate of both parts
write.csv(slopes, file.path(out_dir, "reduction_slopes.csv"), row.names = FALSE, na = "")

set.seed(7)
m2 <- 12; per2 <- 6
g2 <- sprintf("s%02d", rep(seq_len(m2), each = per2))
x2 <- round(rnorm(m2 * per2), 3)
y2 <- round(1 + 0.5 * x2 + rnorm(m2, sd = 0.05)[rep(seq_len(m2), each = per2)] + rnorm(m2 * per2), 4)
singular <- data.frame(y = y2, x = x2, g = g2)
write.csv(singular, file.path(out_dir, "reduction_singular.csv"), row.names = FALSE)

# corvane's example data (a sleepstudy-like table, tests/data/example.csv).
# An empty cell of f x h: a rank-deficient fixed part (f:h partly aliased).
set.seed(11)
cells <- slopes[!is.na(slopes$y) & !is.na(slopes$x), c("y", "f", "x", "g")]
cells$h <- sample(c("A", "B"), nrow(cells), replace = TRUE)
cells <- cells[!(cells$f == "c" & cells$h == "B"), ]
cells$y <- round(cells$y + 0.5 * (cells$h == "B") + 0.4 * (cells$f == "b" & cells$h == "B"), 4)
write.csv(cells, file.path(out_dir, "reduction_cells.csv"), row.names = FALSE)

sleep <- read.csv(file.path(out_dir, "example.csv"), stringsAsFactors = TRUE)

# ---- fits and outputs ---------------------------------------------------------------
check <- function(fit) {
  msgs <- fit@optinfo$conv$lme4$messages
  if (length(msgs) && !all(grepl("singular", msgs))) stop(paste(msgs, collapse = "; "))
  fit
}

frame_list <- function(tab) {
  tab <- as.data.frame(tab)
  list(index = I(rownames(tab)), columns = I(colnames(tab)),
       values = lapply(seq_len(ncol(tab)), function(j) I(as.numeric(tab[[j]]))))
}

one_case <- function(name, formula, data, data_file, reml = TRUE, drop1_f = TRUE, drop1_chisq = TRUE,
                     do_r2 = TRUE) {
  # The calls name the data and the formula as globals: ranova and drop1 refit by
  # evaluating the call again (in the caller's frame or the formula's environment).
  assign("case_data", data, envir = globalenv())
  assign("case_formula", formula, envir = globalenv())
  fit <- check(eval(bquote(lmerTest::lmer(.(formula), data = case_data, REML = .(reml), control = ctrl)),
                    globalenv()))
  res <- list(formula = deparse(formula, width.cutoff = 500), data = data_file, reml = reml,
              n_obs = nobs(fit), singular = isSingular(fit), loglik = as.numeric(logLik(fit)))
  rt <- ranova(fit)
  res$ranova <- frame_list(rt)
  if (drop1_f) res$drop1_f <- frame_list(drop1(fit))
  if (drop1_chisq) {
    fit4 <- check(eval(bquote(lme4::lmer(.(formula), data = case_data, REML = .(reml), control = ctrl)),
                       globalenv()))
    res$drop1_chisq <- frame_list(lme4:::drop1.merMod(fit4, test = "Chisq"))
  }
  if (do_r2) {
    r2 <- suppressWarnings(performance::r2_nakagawa(fit))
    res$r2 <- list(marginal = unname(as.numeric(r2$R2_marginal)),
                   conditional = unname(as.numeric(r2$R2_conditional)))
  }
  cf <- coef(fit)[[1]]
  res$coef <- frame_list(cf)
  res
}

cases <- list(
  sleep_slope = one_case("sleep_slope", Reaction ~ Days + (Days | Subject), sleep, "example.csv"),
  sleep_ml = one_case("sleep_ml", Reaction ~ Days + (Days | Subject), sleep, "example.csv", reml = FALSE),
  sleep_intercept = one_case("sleep_intercept", Reaction ~ Days + (1 | Subject), sleep, "example.csv"),
  slopes_factor = one_case("slopes_factor", y ~ f * x + z + (1 + x + z | g), slopes, "reduction_slopes.csv"),
  slopes_factor_ml = one_case("slopes_factor_ml", y ~ f * x + z + (1 + x + z | g), slopes,
                              "reduction_slopes.csv", reml = FALSE),
  factor_only = one_case("factor_only", y ~ f + (1 | g), slopes, "reduction_slopes.csv"),
  no_intercept_slope = one_case("no_intercept_slope", y ~ x + z + (0 + x | g), slopes,
                                "reduction_slopes.csv"),
  empty_cell = one_case("empty_cell", y ~ f * h + x + (1 | g), cells, "reduction_cells.csv"),
  singular = one_case("singular", y ~ x + (1 | g), singular, "reduction_singular.csv"),
  singular_ml = one_case("singular_ml", y ~ x + (1 | g), singular, "reduction_singular.csv", reml = FALSE)
)

info <- list(R = R.version.string, lme4 = as.character(packageVersion("lme4")),
             lmerTest = as.character(packageVersion("lmerTest")),
             performance = as.character(packageVersion("performance")),
             insight = as.character(packageVersion("insight")))
write_json(list(versions = info, cases = cases), file.path(out_dir, "reduction_reference.json"),
           digits = NA, auto_unbox = TRUE, pretty = TRUE, na = "null")
cat("wrote", file.path(out_dir, "reduction_reference.json"), "\n")
