# glmer with its default settings on one CSV file, for bench/glmm.py.
#
# Usage:
#   Rscript bench/glmm_glmer.R --data FILE.csv --formula "y ~ x + (x | g)"
#       [--family binomial|poisson|nbinom2] [--link NAME] [--weights COLUMN]
#       [--factors COL1,COL2] [--binary COLUMN] [--nagq K]
#       [--warmup K] [--repeat N]
#
# Reads the CSV (text columns become factors; the columns named by --factors
# too, for grouping columns stored as numbers; a --binary column stored as
# "Y"/"N" text becomes 0/1), then fits
#   glmer(formula, data, family = binomial(link) or poisson(link), nAGQ = K)
# with glmerControl's defaults (the two-stage nAGQ = 0 then nAGQ = K fit,
# bobyqa then Nelder-Mead), K warm-up fits first and then N timed fits;
# --family nbinom2 fits glmmTMB(formula, data, family = nbinom2) with its
# defaults instead (the negative binomial's peer). Only
# the glmer call is timed (system.time, elapsed seconds); reading the file
# is not. Prints one JSON line last: the times, and logLik, deviance, fixef,
# theta, the optimizer's evaluation count and its messages of the last fit.
args <- commandArgs(trailingOnly = TRUE)
opt <- function(name, default = NULL) {
  i <- match(paste0("--", name), args)
  if (is.na(i)) default else args[i + 1]
}
split <- function(s) if (is.null(s) || s == "") character(0) else strsplit(s, ",", fixed = TRUE)[[1]]

path <- opt("data")
form <- as.formula(opt("formula"))
family <- opt("family", "binomial")
link <- opt("link", if (family == "binomial") "logit" else "log")
weights <- opt("weights")
nagq <- as.integer(opt("nagq", "1"))
warmup <- as.integer(opt("warmup", "0"))
repeats <- as.integer(opt("repeat", "1"))
if (is.null(path) || is.null(opt("formula"))) stop("--data and --formula are required")

suppressMessages(library(lme4))

d <- read.csv(path, stringsAsFactors = TRUE)
for (f in split(opt("factors"))) d[[f]] <- factor(d[[f]])
for (b in split(opt("binary")))
  if (!is.numeric(d[[b]])) d[[b]] <- as.integer(as.character(d[[b]]) %in% c("Y", "y", "yes", "TRUE", "1"))

tmb <- family == "nbinom2"
if (tmb) {
  suppressMessages(library(glmmTMB))
  call_args <- list(formula = form, data = d, family = nbinom2)
} else {
  fam <- if (family == "binomial") binomial(link) else poisson(link)
  call_args <- list(formula = form, data = d, family = fam, nAGQ = nagq)
}
if (!is.null(weights)) call_args$weights <- d[[weights]]
fitter <- if (tmb) glmmTMB else glmer

warns <- character(0)
fit_once <- function() withCallingHandlers(do.call(fitter, call_args), warning = function(w) {
  warns <<- c(warns, conditionMessage(w))
  invokeRestart("muffleWarning")
})

for (k in seq_len(warmup)) invisible(fit_once())
times <- numeric(0)
for (r in seq_len(repeats)) {
  warns <- character(0)
  t <- system.time(fit <- fit_once())[["elapsed"]]
  times <- c(times, t)
}

# ---------------------------------------------------------------- JSON
js_str <- function(s) {
  s <- gsub("\\\\", "\\\\\\\\", s)
  s <- gsub("\"", "\\\\\"", s)
  s <- gsub("[[:cntrl:]]+", " ", s)
  paste0("\"", s, "\"")
}
js_num <- function(v) paste0("[", paste(sprintf("%.17g", v), collapse = ", "), "]")
js_chr <- function(v) paste0("[", paste(vapply(as.character(v), js_str, ""), collapse = ", "), "]")

if (tmb) {
  msgs <- unique(c(fit$fit$message, warns))
  fe <- fixef(fit)$cond
  theta <- c(sigma(fit))  # phi, in the theta slot
  feval <- fit$fit$evaluations[["function"]]
  optimizer <- "nlminb"
  ngroups <- length(unique(d[[deparse(findbars(form)[[1]][[3]])]]))  # the grouping column's levels
  version <- as.character(packageVersion("glmmTMB"))
} else {
  conv <- fit@optinfo$conv
  msgs <- unique(gsub("\\s+", " ", c(unlist(conv$lme4$messages), unlist(fit@optinfo$warnings), warns)))
  fe <- fixef(fit)
  theta <- unname(getME(fit, "theta"))
  feval <- if (!is.null(fit@optinfo$feval)) fit@optinfo$feval else NA
  optimizer <- fit@optinfo$optimizer
  ngroups <- as.integer(ngrps(fit)[[1]])
  version <- as.character(packageVersion("lme4"))
}
ll <- as.numeric(logLik(fit))
cat(sprintf(paste0('{"times": %s, "logLik": %.17g, "deviance": %.17g, "fixef_names": %s, "fixef": %s, ',
                   '"theta": %s, "nobs": %d, "ngroups": %d, "feval": %s, "optimizer": %s, ',
                   '"messages": %s, "lme4": %s, "R": %s}\n'),
            js_num(times), ll, -2 * ll, js_chr(names(fe)), js_num(unname(fe)),
            js_num(theta), as.integer(nobs(fit)), ngroups,
            if (is.na(feval)) "null" else sprintf("%d", as.integer(feval)),
            js_chr(optimizer), js_chr(msgs), js_str(version),
            js_str(paste(R.version$major, R.version$minor, sep = "."))))
