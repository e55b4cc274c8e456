# Reference numbers for tests/test_type3.py: lmerTest's type III tests of
# factor designs (factor x factor, factor x factor x covariate, three
# factors; treatment and sum coding; terms in either order; empty cells)
# with lme4 converged tightly, and the F tests of the classical split-plot
# analysis (aov with an Error() stratum) where the design is balanced.
# Writes tests/data/cake.csv, Oats.csv, type3_design.csv and
# tests/data/type3_factors.json. Run from the repository root:
#   Rscript tests/r/type3_factors.R
suppressMessages({library(lmerTest); library(nlme)})
ctrl <- lmerControl(optimizer = "bobyqa", optCtrl = list(rhoend = 1e-12, maxfun = 1e5))
data_dir <- "tests/data"

# ---- datasets --------------------------------------------------------------------
cake <- lme4::cake
cake$rr <- paste(cake$replicate, cake$recipe, sep = ":")
cake <- data.frame(replicate = as.character(cake$replicate), recipe = as.character(cake$recipe),
                   temp = cake$temp, rr = cake$rr, angle = cake$angle)
write.csv(cake, file.path(data_dir, "cake.csv"), row.names = FALSE)

oats <- as.data.frame(nlme::Oats)
oats <- data.frame(Block = as.character(oats$Block), Variety = as.character(oats$Variety),
                   nitro = oats$nitro, yield = oats$yield)
oats$BV <- paste(oats$Block, oats$Variety, sep = ":")
write.csv(oats, file.path(data_dir, "Oats.csv"), row.names = FALSE)

# An unbalanced three-factor design with a covariate: 12 groups, every cell
# of A (3) x B (2) x E (2) in every group twice, then a quarter of the rows
# left out at random (no cell left empty).
set.seed(20240611)
d <- expand.grid(rep = 1:2, A = c("a1", "a2", "a3"), B = c("b1", "b2"), E = c("e1", "e2"),
                 g = sprintf("g%02d", 1:12), stringsAsFactors = FALSE)
d <- d[sort(sample(nrow(d), round(0.75 * nrow(d)))), ]
d$x <- round(runif(nrow(d), 0, 10), 2)
u <- rnorm(12, sd = 2)
names(u) <- sprintf("g%02d", 1:12)
d$y <- round(10 + c(a1 = 0, a2 = 1.5, a3 = -1)[d$A] + c(b1 = 0, b2 = 2)[d$B] + c(e1 = 0, e2 = -0.5)[d$E] +
             0.3 * d$x + 0.2 * d$x * (d$A == "a2") + 1.2 * (d$A == "a3" & d$B == "b2") +
             0.8 * (d$B == "b2" & d$E == "e2") + u[d$g] + rnorm(nrow(d), sd = 1.5), 3)
d <- d[, c("g", "A", "B", "E", "x", "y")]
write.csv(d, file.path(data_dir, "type3_design.csv"), row.names = FALSE)

# ---- cases -----------------------------------------------------------------------
# formula: R's; python: the same model in corvane's syntax; sum: factors
# given sum-to-zero contrasts; drop: rows left out (column = level, all of
# them) to leave a cell empty.
cases <- list(
  list(name = "cake", data = "cake", formula = "angle ~ recipe * temp + (1 | rr)",
       python = "angle ~ recipe * temp + (1 | rr)", factors = c("recipe", "temp", "rr"),
       aov = "angle ~ recipe * temp + Error(rr)"),
  list(name = "cake-swapped", data = "cake", formula = "angle ~ temp * recipe + (1 | rr)",
       python = "angle ~ temp * recipe + (1 | rr)", factors = c("recipe", "temp", "rr")),
  list(name = "cake-sum", data = "cake", formula = "angle ~ recipe * temp + (1 | rr)",
       python = "angle ~ C(recipe, Sum) * C(temp, Sum) + (1 | rr)", factors = c("recipe", "temp", "rr"),
       sum = c("recipe", "temp")),
  list(name = "Oats", data = "Oats", formula = "yield ~ Variety * factor(nitro) + (1 | Block)",
       python = "yield ~ Variety * C(nitro) + (1 | Block)", factors = c("Variety", "Block")),
  list(name = "Oats-swapped", data = "Oats", formula = "yield ~ factor(nitro) * Variety + (1 | Block)",
       python = "yield ~ C(nitro) * Variety + (1 | Block)", factors = c("Variety", "Block")),
  list(name = "Oats-split-plot", data = "Oats", formula = "yield ~ Block + Variety * factor(nitro) + (1 | BV)",
       python = "yield ~ Block + Variety * C(nitro) + (1 | BV)", factors = c("Variety", "Block", "BV"),
       aov = "yield ~ Block + Variety * factor(nitro) + Error(BV)"),
  list(name = "ABx", data = "type3_design", formula = "y ~ A * B * x + (1 | g)",
       python = "y ~ A * B * x + (1 | g)", factors = c("A", "B", "g")),
  list(name = "ABx-swapped-sum", data = "type3_design", formula = "y ~ x * B * A + (1 | g)",
       python = "y ~ x * C(B, Sum) * C(A, Sum) + (1 | g)", factors = c("A", "B", "g"), sum = c("A", "B")),
  list(name = "ABC", data = "type3_design", formula = "y ~ A * B * E + (1 | g)",
       python = "y ~ A * B * E + (1 | g)", factors = c("A", "B", "E", "g")),
  list(name = "ABC-sum", data = "type3_design", formula = "y ~ E * A * B + (1 | g)",
       python = "y ~ C(E, Sum) * C(A, Sum) * B + (1 | g)", factors = c("A", "B", "E", "g"), sum = c("A", "E")),
  list(name = "AB-empty-cell", data = "type3_design", formula = "y ~ A * B + x + (1 | g)",
       python = "y ~ A * B + x + (1 | g)", factors = c("A", "B", "g"), drop = list(A = "a3", B = "b2")),
  list(name = "AB-empty-reference-cell", data = "type3_design", formula = "y ~ A * B + (1 | g)",
       python = "y ~ A * B + (1 | g)", factors = c("A", "B", "g"), drop = list(A = "a1", B = "b2")),
  list(name = "AB-empty-cell-sum", data = "type3_design", formula = "y ~ A * B + x + (1 | g)",
       python = "y ~ C(A, Sum) * C(B, Sum) + x + (1 | g)", factors = c("A", "B", "g"), sum = c("A", "B"),
       drop = list(A = "a3", B = "b2")),
  list(name = "ABxC-empty-cell", data = "type3_design", formula = "y ~ A * B * x + E + (1 | g)",
       python = "y ~ A * B * x + E + (1 | g)", factors = c("A", "B", "E", "g"), drop = list(A = "a2", B = "b2"))
)

num <- function(x) paste0("[", paste(sprintf("%.17g", x), collapse = ", "), "]")
str_list <- function(x) paste0("[", paste0('"', x, '"', collapse = ", "), "]")
out <- c()
for (cs in cases) {
  d <- read.csv(file.path(data_dir, paste0(cs$data, ".csv")), stringsAsFactors = FALSE)
  drop_txt <- "{}"
  if (!is.null(cs$drop)) {
    hit <- Reduce(`&`, lapply(names(cs$drop), function(k) d[[k]] == cs$drop[[k]]))
    d <- d[!hit, ]
    drop_txt <- paste0("{", paste0('"', names(cs$drop), '": "', unlist(cs$drop), '"', collapse = ", "), "}")
  }
  for (f in cs$factors) d[[f]] <- factor(d[[f]])
  contr <- if (is.null(cs$sum)) NULL else setNames(rep(list("contr.sum"), length(cs$sum)), cs$sum)
  fit <- suppressMessages(lmer(as.formula(cs$formula), d, control = ctrl, contrasts = contr))
  a <- suppressMessages(anova(fit, type = 3))
  aov_txt <- ""
  if (!is.null(cs$aov)) {
    s <- summary(aov(as.formula(cs$aov), d))
    tabs <- do.call(rbind, lapply(s, function(t) {
      t <- t[[1]]
      nm <- trimws(rownames(t))
      res <- t[nm == "Residuals", ]
      t <- t[nm != "Residuals", , drop = FALSE]
      data.frame(term = trimws(rownames(t)), F = t[["F value"]], dendf = rep(res[["Df"]], nrow(t)))
    }))
    tabs <- tabs[match(rownames(a), tabs$term), ]
    aov_txt <- sprintf(', "aov_F": %s, "aov_dendf": %s', num(tabs$F), num(tabs$dendf))
  }
  out <- c(out, sprintf(paste0('  {"name": "%s", "data": "%s", "formula": "%s", "python": "%s", "drop": %s, ',
                               '"factors": %s, "criterion": %.17g, "terms": %s, "F": %s, "numdf": %s, ',
                               '"dendf": %s, "p": %s%s}'),
                        cs$name, cs$data, cs$formula, cs$python, drop_txt, str_list(cs$factors), REMLcrit(fit),
                        str_list(rownames(a)), num(a[["F value"]]), num(a[["NumDF"]]), num(a[["DenDF"]]),
                        num(a[["Pr(>F)"]]), aov_txt))
}
writeLines(c("[", paste(out, collapse = ",\n"), "]"), file.path(data_dir, "type3_factors.json"))
