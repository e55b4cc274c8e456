# glmer with its default settings on one CSV file, for bench/glmm.py.
#
# Usage:
#   Rscript bench/glmm_glmer.R --data FILE.csv --formula "y ~ x + (x | g)"
#       [--family binomial|poisson] [--link NAME] [--weights COLUMN]
#       [--factors COL1,COL2] [--binary COLUMN] [--nagq K]
#       [--warmup K] [--repeat N]
#
# Reads the CSV (text columns become factors; the columns named by --factors
# too, for grouping columns stored as numbers; a --binary column stored as
# "Y"/"N" text becomes 0/1), then fits
#   glmer(formula, data, family = binomial(link) or poisson(link), nAGQ = K)
# with glmerControl's defaults (the two-stage nAGQ = 0 then nAGQ = K fit,
# bobyqa then Nelder-Mead), K warm-up fits first and then N timed fits. Only
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

fam <- if (family == "binomial") binomial(link) else poisson(link)
call_args <- list(formula = form, data = d, family = fam, nAGQ = nagq)
if (!is.null(weights)) call_args$weights <- d[[weights]]

warns <- character(0)
fit_once <- function() withCallingHandlers(do.call(glmer, call_args), warning = function(w) {
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

conv <- fit@optinfo$conv
msgs <- unique(gsub("\\s+", " ", c(unlist(conv$lme4$messages), unlist(fit@optinfo$warnings), warns)))
ll <- as.numeric(logLik(fit))
fe <- fixef(fit)
feval <- if (!is.null(fit@optinfo$feval)) fit@optinfo$feval else NA
cat(sprintf(paste0('{"times": %s, "logLik": %.17g, "deviance": %.17g, "fixef_names": %s, "fixef": %s, ',
                   '"theta": %s, "nobs": %d, "ngroups": %d, "feval": %s, "optimizer": %s, ',
                   '"messages": %s, "lme4": %s, "R": %s}\n'),
            js_num(times), ll, -2 * ll, js_chr(names(fe)), js_num(unname(fe)),
            js_num(unname(getME(fit, "theta"))), as.integer(nobs(fit)), as.integer(ngrps(fit)[[1]]),
            if (is.na(feval)) "null" else sprintf("%d", as.integer(feval)),
            js_chr(fit@optinfo$optimizer), js_chr(msgs),
            js_str(as.character(packageVersion("lme4"))),
            js_str(paste(R.version$major, R.version$minor, sep = "."))))
