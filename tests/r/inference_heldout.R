# Reference numbers for tests/test_inference_heldout.py: lmerTest's t tests
# (summary) and type III tables (anova) of models whose tables take a
# multi-df test in lmerTest's own basis (a single formula term: its type I
# rows) or keep a row for a term whose columns are all aliased, with lme4
# converged tightly, REML and ML. Writes tests/data/heldout_design.csv (a
# simulated unbalanced design, seed below) and tests/data/inference_heldout.json.
# Run from the repository root:
#   Rscript tests/r/inference_heldout.R
suppressMessages({library(lmerTest); library(jsonlite)})
ctrl <- lmerControl(optimizer = "bobyqa", optCtrl = list(rhoend = 1e-12, maxfun = 1e5))
data_dir <- "tests/data"

# dose (3 levels) x trt (2) in 10 groups, three replicates, 150 of the 180
# rows kept at random; x a covariate, x2 = 2 x an aliased copy.
set.seed(7)
g <- expand.grid(rep = 1:3, dose = c("lo", "mid", "hi"), trt = c("A", "B"), grp = sprintf("s%02d", 1:10),
                 stringsAsFactors = FALSE)
g <- g[sort(sample(nrow(g), 150)), ]
g$x <- round(runif(nrow(g), 0, 5), 2)
u <- rnorm(10)
names(u) <- sprintf("s%02d", 1:10)
g$y <- round(5 + c(lo = 0, mid = 1, hi = 1.5)[g$dose] + (g$trt == "B") * 0.7 + 0.4 * g$x +
             0.5 * (g$trt == "B") * g$x * (g$dose == "hi") + u[g$grp] + rnorm(nrow(g)), 3)
g$x2 <- 2 * g$x
g <- g[, c("grp", "dose", "trt", "x", "x2", "y")]
write.csv(g, file.path(data_dir, "heldout_design.csv"), row.names = FALSE)

# drop: rows left out, each a list of column = value (all of them).
machines_drop <- list(list(Worker = "1", Machine = "C"), list(Worker = "2", Machine = "B"),
                      list(Worker = "2", Machine = "C"))
cross_drop <- list(list(dose = "lo", trt = "B"), list(dose = "mid", trt = "A"))
cases <- list(
  list(name = "Machines-q3", data = "Machines", formula = "score ~ Machine + (Machine | Worker)", drop = machines_drop),
  list(name = "Machines-q3-ML", data = "Machines", formula = "score ~ Machine + (Machine | Worker)",
       drop = machines_drop, ml = TRUE),
  list(name = "Machines-q3-sum", data = "Machines", formula = "score ~ Machine + (Machine | Worker)",
       python = "score ~ C(Machine, Sum) + (Machine | Worker)", drop = machines_drop, sum = "Machine"),
  list(name = "Machines-q3-no-intercept", data = "Machines", formula = "score ~ 0 + Machine + (Machine | Worker)",
       drop = machines_drop),
  list(name = "Machines-q1", data = "Machines", formula = "score ~ Machine + (1 | Worker)", drop = machines_drop),
  list(name = "sleepstudy-Days-factor", data = "sleepstudy", formula = "Reaction ~ factor(Days) + (Days | Subject)",
       python = "Reaction ~ C(Days) + (Days | Subject)"),
  list(name = "dose-q3-one-level", data = "heldout_design", formula = "y ~ dose + (dose | grp)",
       drop = list(list(grp = "s01", dose = "lo"), list(grp = "s01", dose = "mid"))),
  list(name = "dose-slope-ML", data = "heldout_design", formula = "y ~ dose + (x | grp)", ml = TRUE),
  list(name = "dose-by-x-only", data = "heldout_design", formula = "y ~ dose:x + (1 | grp)"),
  list(name = "x-aliased", data = "heldout_design", formula = "y ~ x + x2 + trt + (1 | grp)"),
  list(name = "cross-empty", data = "heldout_design", formula = "y ~ dose * trt + x + (1 | grp)", drop = cross_drop),
  list(name = "cross-empty-x", data = "heldout_design", formula = "y ~ dose * trt * x + (1 | grp)", drop = cross_drop),
  list(name = "cross-empty-x-ML", data = "heldout_design", formula = "y ~ x * trt * dose + (x | grp)",
       drop = cross_drop, ml = TRUE)
)

na_num <- function(x) ifelse(is.na(x), NA, x)
out <- lapply(cases, function(cs) {
  d <- read.csv(file.path(data_dir, paste0(cs$data, ".csv")), stringsAsFactors = FALSE)
  for (dr in cs$drop) d <- d[!Reduce(`&`, lapply(names(dr), function(k) as.character(d[[k]]) == dr[[k]])), ]
  for (f in intersect(c("Worker", "Machine", "Subject", "grp", "dose", "trt"), names(d))) d[[f]] <- factor(d[[f]])
  contr <- if (is.null(cs$sum)) NULL else setNames(list("contr.sum"), cs$sum)
  reml <- is.null(cs$ml)
  fit <- suppressMessages(lmer(as.formula(cs$formula), d, REML = reml, control = ctrl, contrasts = contr))
  co <- summary(fit)$coefficients
  a <- suppressMessages(anova(fit, type = 3))
  list(name = cs$name, data = cs$data, formula = cs$formula,
       python = if (is.null(cs$python)) cs$formula else cs$python, reml = reml,
       drop = if (is.null(cs$drop)) list() else cs$drop,
       criterion = if (reml) REMLcrit(fit) else deviance(fit),
       coef = list(df = unname(co[, "df"]), t = unname(co[, "t value"]), p = unname(co[, "Pr(>|t|)"])),
       anova = list(terms = rownames(a), F = na_num(a[["F value"]]), numdf = na_num(a[["NumDF"]]),
                    dendf = na_num(a[["DenDF"]]), p = na_num(a[["Pr(>F)"]])))
})
writeLines(toJSON(out, digits = NA, auto_unbox = TRUE, na = "null", pretty = TRUE),
           file.path(data_dir, "inference_heldout.json"))
