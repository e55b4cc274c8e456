# Timings of R's mmrm on the MMRM reference data, as a peer for corvane's
# MMRM fits.
#
# Usage (from the repository root; run it alone, the machine has 2 cores):
#   Rscript bench/mmrm_peer.R [--repeat N] [--repeat-slow M] [--warmup K]
#
# Reads tests/data/mmrm_fev.csv and tests/data/mmrm_bcva.csv (reading is not
# timed), then times, with mmrm's defaults (REML, L-BFGS-B, one core):
#   fev_us_satterthwaite   FEV1 ~ RACE + SEX + ARMCD * AVISIT + us(AVISIT | USUBJID)
#   fev_us_kenward_roger   the same with method = "Kenward-Roger"
#   bcva_us_satterthwaite  BCVA_CHG ~ BCVA_BL + RACE + ARMCD * AVISIT + us(AVISIT | USUBJID)
#   bcva_us_kenward_roger  the same with method = "Kenward-Roger"
# Each timing is the whole call from the data.frame: mmrm() (model frame,
# TMB tape, optimisation, theta covariance, and the Satterthwaite Jacobians
# or the Kenward-Roger adjusted covariance) and then the coefficient table
# with its degrees of freedom (summary(fit)$coefficients); fit_s is mmrm()
# alone. K warm-up calls come first, then N timed calls (M for the slow
# Kenward-Roger bcva case, default 1), and the medians of the elapsed
# seconds are reported. Prints one JSON line per case and a final line
# with the versions.
suppressPackageStartupMessages(library(mmrm))
args <- commandArgs(trailingOnly = TRUE)
opt <- function(name, default) {
  i <- match(paste0("--", name), args)
  if (is.na(i)) default else as.integer(args[i + 1])
}
n_repeat <- opt("repeat", 5L)
n_repeat_slow <- opt("repeat-slow", 1L)
n_warmup <- opt("warmup", 1L)

read_data <- function(path, factors) {
  d <- read.csv(path, stringsAsFactors = FALSE)
  for (v in names(factors)) d[[v]] <- factor(d[[v]], levels = factors[[v]])
  d
}
fev <- read_data("tests/data/mmrm_fev.csv", list(
  USUBJID = paste0("PT", 1:200), AVISIT = paste0("VIS", 1:4), ARMCD = c("PBO", "TRT"),
  RACE = c("Asian", "Black or African American", "White"), SEX = c("Male", "Female")
))
bcva <- read_data("tests/data/mmrm_bcva.csv", list(
  USUBJID = as.character(1:1000), AVISIT = sprintf("VIS%02d", 1:10), ARMCD = c("CTL", "TRT"),
  RACE = c("Asian", "Black", "White")
))
stopifnot(!anyNA(fev$USUBJID), !anyNA(fev$AVISIT), !anyNA(bcva$USUBJID), !anyNA(bcva$AVISIT), !anyNA(bcva$RACE))

fev_formula <- FEV1 ~ RACE + SEX + ARMCD * AVISIT + us(AVISIT | USUBJID)
bcva_formula <- BCVA_CHG ~ BCVA_BL + RACE + ARMCD * AVISIT + us(AVISIT | USUBJID)
cases <- list(
  list(name = "fev_us_satterthwaite", formula = fev_formula, data = fev, method = "Satterthwaite", n = n_repeat, warm = n_warmup),
  list(name = "fev_us_kenward_roger", formula = fev_formula, data = fev, method = "Kenward-Roger", n = n_repeat, warm = n_warmup),
  list(name = "bcva_us_satterthwaite", formula = bcva_formula, data = bcva, method = "Satterthwaite", n = n_repeat, warm = min(n_warmup, 1L)),
  list(name = "bcva_us_kenward_roger", formula = bcva_formula, data = bcva, method = "Kenward-Roger", n = n_repeat_slow, warm = 0L)
)

one_run <- function(case) {
  t0 <- proc.time()[["elapsed"]]
  fit <- mmrm(case$formula, data = case$data, method = case$method)
  t1 <- proc.time()[["elapsed"]]
  coefs <- summary(fit)$coefficients
  t2 <- proc.time()[["elapsed"]]
  list(fit_s = t1 - t0, total_s = t2 - t0, fit = fit, coefs = coefs)
}
num <- function(x) paste0("[", paste(sprintf("%.4f", x), collapse = ", "), "]")
for (case in cases) {
  for (k in seq_len(case$warm)) one_run(case)
  runs <- lapply(seq_len(case$n), function(k) one_run(case))
  fit_s <- vapply(runs, `[[`, 0, "fit_s")
  total_s <- vapply(runs, `[[`, 0, "total_s")
  last <- runs[[length(runs)]]
  cat(sprintf(
    paste0(
      "{\"case\": \"%s\", \"method\": \"%s\", \"n_obs\": %d, \"n_subjects\": %d, \"runs\": %d, ",
      "\"median_total_s\": %.4f, \"median_fit_s\": %.4f, \"total_s\": %s, \"fit_s\": %s, ",
      "\"logLik\": %.10f, \"optimizer\": \"%s\"}\n"
    ),
    case$name, case$method, component(last$fit, "n_obs"), component(last$fit, "n_subjects"), case$n,
    median(total_s), median(fit_s), num(total_s), num(fit_s),
    as.numeric(logLik(last$fit)), component(last$fit, "optimizer")
  ))
}
cat(sprintf(
  "{\"versions\": {\"R\": \"%s\", \"mmrm\": \"%s\", \"TMB\": \"%s\"}}\n",
  paste(R.version$major, R.version$minor, sep = "."), packageVersion("mmrm"), packageVersion("TMB")
))
