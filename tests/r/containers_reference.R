# Reference fit for the container tests: one table with categorical columns
# whose category order is not sorted (with a category no row holds, and one
# held only by rows dropped for missing values), a plain text column, and a
# grouping factor whose level order is not sorted. Writes the table to
# tests/data/containers.csv and lme4's fit to tests/data/containers_reference.json.
# Run from the repository root: Rscript tests/r/containers_reference.R
suppressMessages(library(lme4))
set.seed(20260417)
n <- 420
glev <- sprintf("g%02d", 1:16)
g <- sample(glev[1:15], n, replace = TRUE)
trt <- sample(c("placebo", "low", "high"), n, replace = TRUE)
site <- sample(c("north", "south", "east"), n, replace = TRUE)
x <- rnorm(n, 2)
b0 <- rnorm(16, 0, 1)
b1 <- rnorm(16, 0, 0.3)
gi <- match(g, glev)
y <- 5 + 0.8 * x + c(placebo = 0, low = 0.6, high = 1.3)[trt] + c(east = 0, north = -0.4, south = 0.3)[site] +
  b0[gi] + b1[gi] * x + rnorm(n, 0, 0.7)
y[sample(n, 8)] <- NA
x[sample(n, 10)] <- NA
trt[sample(n, 5)] <- NA
site[sample(n, 4)] <- NA
# A treatment level and a group present only on rows dropped for missing values.
extra <- sample(n, 6)
trt[extra] <- "extra"
x[extra] <- NA
g16 <- setdiff(sample(n, 8), extra)[1:4]
g[g16] <- "g16"
y[g16] <- NA
d <- data.frame(y = unname(y), x = x, trt = trt, site = site, g = g, stringsAsFactors = FALSE)
# Rows by site (south, north, east, then missing): read in parts, the first
# parts hold none of the reference level.
d <- d[order(match(d$site, c("south", "north", "east"), nomatch = 4), seq_len(n)), ]
write.csv(d, "tests/data/containers.csv", row.names = FALSE)

trt_levels <- c("placebo", "low", "high", "extra", "none")
g_levels <- c("g07", "g12", "g01", "g15", "g03", "g99", "g10", "g05", "g16", "g13", "g02", "g08", "g14", "g04",
              "g11", "g06", "g09")
d$trt <- factor(d$trt, levels = trt_levels)
d$site <- factor(d$site)
d$g <- factor(d$g, levels = g_levels)
fit <- lmer(y ~ x + trt + site + (x | g), d,
            control = lmerControl(optimizer = "bobyqa", optCtrl = list(maxfun = 1e5, rhoend = 1e-12)))
num <- function(v) sprintf("%.17g", v)
vec <- function(v) paste0("[", paste(num(v), collapse = ", "), "]")
str <- function(v) paste0("[", paste0('"', v, '"', collapse = ", "), "]")
names_ours <- c("(Intercept)", "x", paste0("trt[T.", levels(droplevels(d[complete.cases(d), ])$trt)[-1], "]"),
                paste0("site[T.", levels(d$site)[-1], "]"))
stopifnot(length(names_ours) == length(fixef(fit)))
writeLines(c("{",
             sprintf('  "formula": "y ~ x + trt + site + (x | g)",'),
             sprintf('  "trt_categories": %s,', str(trt_levels)),
             sprintf('  "g_categories": %s,', str(g_levels)),
             sprintf('  "fe_names_r": %s,', str(names(fixef(fit)))),
             sprintf('  "fe_names": %s,', str(names_ours)),
             sprintf('  "beta": %s,', vec(fixef(fit))),
             sprintf('  "group_labels": %s,', str(rownames(ranef(fit)$g))),
             sprintf('  "n_obs": %d,', nobs(fit)),
             sprintf('  "criterion": %s,', num(REMLcrit(fit))),
             sprintf('  "sigma": %s,', num(sigma(fit))),
             sprintf('  "theta": %s', vec(getME(fit, "theta"))),
             "}"), "tests/data/containers_reference.json")
