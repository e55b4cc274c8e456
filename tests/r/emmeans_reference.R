# Reference numbers for tests/test_emmeans.py: emmeans' estimated marginal
# means and pairwise comparisons of lmer fits (lme4 converged tightly), with
# the Satterthwaite df (lmerTest), Kenward-Roger (pbkrtest) and the
# asymptotic (normal) method, every p value adjustment the tests use.
# Designs: an unbalanced factor x factor design with a covariate, missing
# values and a level with a hyphen; a factor x covariate design with random
# slopes; a factor x factor design with an empty cell (an aliased column,
# nonEst means); and nlme's Oats and R's ChickWeight.
# Writes tests/data/emmeans_design.csv, emmeans_slopes.csv, emmeans_empty.csv
# and tests/data/emmeans_reference.json. Run from the repository root:
#   Rscript tests/r/emmeans_reference.R
suppressMessages({library(lmerTest); library(emmeans); library(jsonlite)})
ctrl <- lmerControl(optimizer = "bobyqa", optCtrl = list(rhoend = 1e-12, maxfun = 1e5))
data_dir <- "tests/data"

# ---- datasets --------------------------------------------------------------------
# Unbalanced A (3) x B (2) with covariates x and z (z > 0, for log(z)):
# 14 groups, cells of random size, some responses and some x missing.
set.seed(20240917)
d <- expand.grid(rep = 1:3, A = c("ctl", "high", "low-dose"), B = c("b1", "b2"), g = sprintf("g%02d", 1:14),
                 stringsAsFactors = FALSE)
d <- d[sort(sample(nrow(d), round(0.7 * nrow(d)))), ]
d$x <- round(runif(nrow(d), 0, 10), 2)
d$z <- round(exp(rnorm(nrow(d), 1, 0.6)), 3)
u <- rnorm(14, sd = 2)
names(u) <- sprintf("g%02d", 1:14)
d$y <- round(20 + c(ctl = 0, high = 2.5, "low-dose" = 1)[d$A] + c(b1 = 0, b2 = -1.5)[d$B] + 0.4 * d$x +
             1.5 * log(d$z) + 1.1 * (d$A == "high" & d$B == "b2") + u[d$g] + rnorm(nrow(d), sd = 1.5), 3)
d$y[sample(nrow(d), 6)] <- NA
d$x[sample(nrow(d), 5)] <- NA
d <- d[, c("g", "A", "B", "x", "z", "y")]
write.csv(d, file.path(data_dir, "emmeans_design.csv"), row.names = FALSE, na = "")

# Factor x covariate with random intercepts and slopes: 20 subjects, each on
# one of three treatments, measured at unequal times.
set.seed(7)
s <- do.call(rbind, lapply(1:20, function(i) {
  k <- sample(4:9, 1)
  data.frame(id = sprintf("s%02d", i), trt = c("P", "Q", "R")[1 + i %% 3], t = sort(round(runif(k, 0, 12), 1)))
}))
b0 <- rnorm(20, sd = 3); b1 <- rnorm(20, sd = 0.4)
ix <- as.integer(sub("s", "", s$id))
s$resp <- round(50 + c(P = 0, Q = 4, R = -2)[s$trt] + (1 + c(P = 0, Q = 0.5, R = -0.4)[s$trt]) * s$t +
                b0[ix] + b1[ix] * s$t + rnorm(nrow(s), sd = 2), 3)
write.csv(s, file.path(data_dir, "emmeans_slopes.csv"), row.names = FALSE)

# A (3) x K (3) with the cell (a3, k3) empty, a covariate w and 10 groups.
set.seed(99)
e <- expand.grid(rep = 1:2, A = c("a1", "a2", "a3"), K = c("k1", "k2", "k3"), g = sprintf("h%02d", 1:10),
                 stringsAsFactors = FALSE)
e <- e[!(e$A == "a3" & e$K == "k3"), ]
e <- e[sort(sample(nrow(e), round(0.8 * nrow(e)))), ]
e$w <- round(rnorm(nrow(e), 5, 2), 2)
v <- rnorm(10, sd = 1.5)
names(v) <- sprintf("h%02d", 1:10)
e$y <- round(5 + c(a1 = 0, a2 = 1, a3 = 2)[e$A] + c(k1 = 0, k2 = -1, k3 = 0.5)[e$K] + 0.3 * e$w +
             0.8 * (e$A == "a2" & e$K == "k2") + v[e$g] + rnorm(nrow(e), sd = 1), 3)
e <- e[, c("g", "A", "K", "w", "y")]
write.csv(e, file.path(data_dir, "emmeans_empty.csv"), row.names = FALSE)

# ---- cases -----------------------------------------------------------------------
# formula: R's; python: the same model in corvane's syntax (any coding gives
# the same marginal means); complete: the rows without missing values given; queries: emmeans calls (specs, by, at, level),
# each with its pairwise comparisons.
q <- function(specs, by = NULL, at = NULL, level = 0.95, pairs = TRUE)
  list(specs = specs, by = by, at = at, level = level, pairs = pairs)
design_queries <- list(q("A"), q("B"), q(c("A", "B")), q("A", by = "B"), q("A", at = list(x = 2.5), level = 0.9),
                       q("A", at = list(x = c(2, 8))), q("A", by = "x", at = list(x = c(2, 8))))
cases <- list(
  list(name = "design-additive", data = "emmeans_design", formula = "y ~ A + B + x + (1 | g)",
       python = c("y ~ A + B + x + (1 | g)", "y ~ x + C(B, Sum) + A + (1 | g)"), queries = design_queries),
  list(name = "design-interaction", data = "emmeans_design", formula = "y ~ A * B + x + (1 | g)",
       python = c("y ~ A * B + x + (1 | g)", "y ~ C(A, Sum) * C(B, Sum) + x + (1 | g)", "y ~ x + B * A + (1 | g)"),
       queries = design_queries),
  list(name = "design-log", data = "emmeans_design", formula = "y ~ A * B + log(z) + (1 | g)",
       python = c("y ~ A * B + log(z) + (1 | g)", "y ~ A * B + np.log(z) + (1 | g)"),
       queries = list(q("A"), q("B", at = list(z = 4)))),
  list(name = "design-poly", data = "emmeans_design", formula = "y ~ A + poly(x, 2) + (1 | g)",
       python = c("y ~ A + poly(x, 2) + (1 | g)", "y ~ A + x + I(x^2) + (1 | g)"), complete = TRUE,
       queries = list(q("A"), q("A", at = list(x = 6)))),
  list(name = "design-offset", data = "emmeans_design", formula = "y ~ A + B + offset(x) + (1 | g)",
       python = c("y ~ A + B + offset(x) + (1 | g)"), queries = list(q("A"), q(c("A", "B")))),
  list(name = "slopes", data = "emmeans_slopes", formula = "resp ~ trt * t + (t | id)",
       python = c("resp ~ trt * t + (t | id)", "resp ~ C(trt, Sum) * t + (t | id)", "resp ~ t * trt + (t | id)",
                  "resp ~ trt * center(t) + (t | id)"),
       queries = list(q("trt"), q("trt", at = list(t = 10)), q("trt", by = "t", at = list(t = c(0, 6, 12))))),
  list(name = "empty-cell", data = "emmeans_empty", formula = "y ~ A * K + w + (1 | g)",
       python = c("y ~ A * K + w + (1 | g)", "y ~ C(A, Sum) * C(K, Sum) + w + (1 | g)", "y ~ w + K * A + (1 | g)"),
       queries = list(q("A"), q("K"), q(c("A", "K")), q("A", by = "K"), q("K", by = "A"))),
  list(name = "Oats", data = "Oats", formula = "yield ~ Variety * factor(nitro) + (1 | Block)",
       python = c("yield ~ Variety * C(nitro) + (1 | Block)"),
       queries = list(q("Variety"), q("nitro"), q("Variety", by = "nitro"))),
  list(name = "ChickWeight", data = "ChickWeight", formula = "weight ~ Diet * Time + (Time | Chick)",
       python = c("weight ~ C(Diet) * Time + (Time | Chick)"),
       queries = list(q("Diet"), q("Diet", by = "Time", at = list(Time = c(0, 10, 20)))))
)

ddfs <- c(satterthwaite = "satterthwaite", normal = "asymptotic", "kenward-roger" = "kenward-roger")
adjusts <- c("tukey", "bonferroni", "holm", "none")

# A table as columns; factor columns as text, numbers at full precision.
columns <- function(t) lapply(as.data.frame(t), function(v) if (is.factor(v)) as.character(v) else v)

out <- list()
for (cs in cases) {
  d <- read.csv(file.path(data_dir, paste0(cs$data, ".csv")), stringsAsFactors = TRUE)
  if (cs$data == "ChickWeight") d$Diet <- factor(d$Diet)
  # poly() refuses missing values: the rows the fit uses, given to it.
  if (isTRUE(cs$complete)) d <- d[complete.cases(d), ]
  fit <- lmer(as.formula(cs$formula), d, control = ctrl)
  conv <- fit@optinfo$conv$lme4
  if (length(conv$messages)) stop(cs$name, ": ", paste(conv$messages, collapse = "; "))
  results <- list()
  for (qq in cs$queries) {
    for (ddf in names(ddfs)) {
      emm_options(lmer.df = ddfs[[ddf]])
      args <- list(fit, specs = qq$specs, level = qq$level)
      if (!is.null(qq$by)) args$by <- qq$by
      if (!is.null(qq$at)) args$at <- qq$at
      em <- suppressMessages(do.call(emmeans, args))
      s <- summary(em)
      s <- as.data.frame(s)
      names(s)[names(s) %in% c("asymp.LCL", "lower.CL")] <- "lower.CL"
      names(s)[names(s) %in% c("asymp.UCL", "upper.CL")] <- "upper.CL"
      entry <- list(specs = qq$specs, by = qq$by, at = qq$at, level = qq$level, ddf = ddf, emmeans = columns(s))
      if (qq$pairs) {
        entry$pairs <- list()
        for (adj in adjusts) {
          p <- as.data.frame(summary(pairs(em, adjust = adj)))
          names(p)[names(p) == "z.ratio"] <- "t.ratio"
          entry$pairs[[adj]] <- columns(p)
        }
      }
      results[[length(results) + 1]] <- entry
    }
  }
  out[[length(out) + 1]] <- list(name = cs$name, data = cs$data, formula = cs$formula, python = cs$python,
                                 criterion = REMLcrit(fit), results = results)
}
emm_options(lmer.df = "satterthwaite")
writeLines(toJSON(out, auto_unbox = TRUE, digits = NA, na = "null", null = "null"),
           file.path(data_dir, "emmeans_reference.json"))
