# R's loop over many responses on one design, for bench/many.py.
#
# Usage:
#   Rscript bench/many_r.R lmm|nb DATA.csv OUT.json K
#
# lmm: DATA.csv has subject, condition, time and responses y0, y1, ...; for
#   each of the first K responses
#     m <- lmer(y ~ condition * time + (1 | subject), data = d)  (lmerTest, REML,
#                                                                lmerControl's defaults)
#     contest1D(m, c(0, 0, 1, 1), ddf = "Satterthwaite")
#   (the time slope under trt: time + conditiontrt:time).
# nb: DATA.csv has subject, condition, lib and responses y0, y1, ...; for each
#   of the first K responses
#     m <- glmmTMB(y ~ condition + offset(log(lib)) + (1 | subject), family = nbinom2, data = d)
#     summary(m)$coefficients$cond  (glmmTMBControl's defaults)
#
# Each model is built from the data frame (d$y <- d[[name]] inside the loop);
# the whole loop is timed with system.time (elapsed seconds); reading the CSV
# and loading the packages are not. Writes OUT.json: mode, k, seconds,
# per_response, the R and package versions, and the first response's
# results (first_estimate: the contrast's estimate (lmm) or conditiontrt's
# (nb), for comparison with corvane).
args <- commandArgs(trailingOnly = TRUE)
if (length(args) != 4 || !(args[1] %in% c("lmm", "nb")))
  stop("usage: Rscript bench/many_r.R lmm|nb DATA.csv OUT.json K")
mode <- args[1]
path <- args[2]
out_path <- args[3]
k <- as.integer(args[4])

d <- read.csv(path, stringsAsFactors = FALSE)
d$subject <- factor(d$subject)
d$condition <- factor(d$condition, levels = c("ctrl", "trt"))
names_y <- paste0("y", seq_len(k) - 1L)
missing <- setdiff(names_y, names(d))
if (length(missing)) stop("missing response columns: ", paste(head(missing), collapse = ", "))

if (mode == "lmm") {
  suppressMessages(library(lmerTest))
  L <- c(0, 0, 1, 1)
  results <- vector("list", k)
  seconds <- system.time({
    for (j in seq_len(k)) {
      d$y <- d[[names_y[j]]]
      m <- lmer(y ~ condition * time + (1 | subject), data = d)
      results[[j]] <- contest1D(m, L, ddf = "Satterthwaite")
    }
  })[["elapsed"]]
  first <- results[[1]]
  first <- list(estimate = first[["Estimate"]], se = first[["Std. Error"]], df = first[["df"]],
                t = first[["t value"]], p = first[["Pr(>|t|)"]])
  versions <- list(lme4 = as.character(packageVersion("lme4")),
                   lmerTest = as.character(packageVersion("lmerTest")))
} else {
  suppressMessages(library(glmmTMB))
  results <- vector("list", k)
  seconds <- system.time({
    for (j in seq_len(k)) {
      d$y <- d[[names_y[j]]]
      m <- glmmTMB(y ~ condition + offset(log(lib)) + (1 | subject), family = nbinom2, data = d)
      results[[j]] <- summary(m)$coefficients$cond
    }
  })[["elapsed"]]
  co <- results[[1]]
  first <- list(terms = rownames(co), estimate = unname(co[, 1]), se = unname(co[, 2]),
                z = unname(co[, 3]), p = unname(co[, 4]))
  first$estimate_trt <- co["conditiontrt", 1]
  versions <- list(lme4 = as.character(packageVersion("lme4")),
                   glmmTMB = as.character(packageVersion("glmmTMB")))
}

num <- function(x) if (length(x) == 1 && is.na(x)) "null" else sprintf("%.17g", x)
str <- function(x) paste0("\"", x, "\"")
arr <- function(x, f) paste0("[", paste(f(x), collapse = ", "), "]")
field <- function(name, x) {
  v <- if (is.character(x)) { if (length(x) == 1) str(x) else arr(x, str) }
       else if (length(x) == 1) num(x) else arr(x, num)
  paste0(str(name), ": ", v)
}
first_estimate <- if (mode == "lmm") first$estimate else first$estimate_trt
first$estimate_trt <- NULL
parts <- c(field("mode", mode), sprintf("\"k\": %d", k), field("seconds", seconds),
           field("per_response", seconds / k),
           field("r_version", paste(R.version$major, R.version$minor, sep = ".")),
           mapply(field, names(versions), versions),
           field("first_estimate", first_estimate),
           paste0("\"first\": {", paste(mapply(field, names(first), first), collapse = ", "), "}"))
writeLines(paste0("{", paste(parts, collapse = ", "), "}"), out_path)
cat(sprintf("%s: %d responses in %.3f s (%.4f s each)\n", mode, k, seconds, seconds / k))
