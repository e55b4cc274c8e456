"""The command line: arguments, reading the file, printing; nothing statistical.

``python -m corvane`` fits the embedded (simulated) example and prints its
summary; ``python -m corvane fit FILE "FORMULA" [options]`` fits a CSV or
Parquet file (``-`` for CSV on standard input) as :func:`corvane.lmm` does,
or as :func:`corvane.glmm` does with ``--family binomial`` or ``poisson``.
Errors go to stderr with exit status 2; warnings (a fit that is not
certified, a singular fit) to stderr too.
"""

import argparse
import json
import os
import sys
import warnings

EXAMPLES = """examples:
  python -m corvane                                   fit the embedded (simulated) example
  python -m corvane fit sleep.csv "Reaction ~ Days + (Days | Subject)"
  python -m corvane fit data.csv "y ~ x + (1 | g)" --ml --json
  python -m corvane fit data.parquet "y ~ x + (1 | g) + (0 + x | g)"
  python -m corvane fit cbpp.csv "cbind(incidence, size - incidence) ~ C(period) + (1 | herd)" \\
      --family binomial
  python -m corvane fit ticks.csv "TICKS ~ YEAR + (1 | BROOD)" --family poisson --offset log_t
  cat data.csv | python -m corvane fit - "y ~ x + (1 | g)"

The file is read by its extension: .csv (a header row; - reads CSV from
standard input), .parquet or .pq, or a directory of Parquet files. A column of
numbers is a covariate: C(x) makes it a factor.

The random-effects terms have one grouping column: (expr | group), lme4's
(expr || group) for uncorrelated effects, or several terms of that column,
each an uncorrelated block, as in "y ~ x + (1 | g) + (0 + x | g)". Other
terms are column names or Python expressions over the columns (np.log(x),
I(x^2)).
"""

FAMILIES = ["gaussian", "binomial", "poisson", "negative_binomial", "negative_binomial1"]


def _parser():
    parser = argparse.ArgumentParser(
        prog="python -m corvane",
        description="Fit linear and generalized linear mixed models with one grouping factor. Without a "
                    "command: fit the embedded example (simulated data: 18 subjects x 10 days) and print its "
                    "summary.",
        epilog=EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", metavar="command")
    fit = sub.add_parser("fit", help="fit a model to a CSV or Parquet file",
                         description="Fit an lme4-style formula with random-effects terms of one grouping "
                                     "factor to the columns of a CSV file (a header row; '-' reads standard "
                                     "input), a Parquet file or a directory of Parquet files.",
                         epilog=EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    fit.add_argument("file", help="a .csv file with a header row (- for standard input), a .parquet or .pq "
                                  "file, or a directory of Parquet files")
    fit.add_argument("formula", help='e.g. "Reaction ~ Days + (Days | Subject)"')
    fit.add_argument("--family", choices=FAMILIES, default="gaussian",
                     help="gaussian: a linear mixed model (the default); binomial, poisson or "
                          "negative_binomial (NB2) or negative_binomial1 (NB1; phi estimated): a generalized "
                          "one, by maximum "
                          "likelihood (binomial responses 0/1, proportions with --weights "
                          "the trials, or cbind(successes, failures))")
    fit.add_argument("--link", choices=["logit", "probit", "cloglog", "log"],
                     help="the generalized family's link (default logit for binomial, log for poisson and "
                          "the negative binomials)")
    fit.add_argument("--nagq", type=int, metavar="K",
                     help="generalized fits: 1 for the Laplace approximation (the default), K > 1 for K "
                          "adaptive Gauss-Hermite points per random effect, 0 for beta from the joint mode")
    fit.add_argument("--weights", metavar="COLUMN",
                     help="a column of weights: precision weights (gaussian) or prior weights, the trials of "
                          "a binomial proportion")
    fit.add_argument("--offset", metavar="COLUMN", help="a column added to the linear predictor")
    fit.add_argument("--ml", action="store_true", help="maximum likelihood instead of REML (gaussian)")
    fit.add_argument("--ddf", choices=["satterthwaite", "kenward-roger", "normal"],
                     help="the summary's t tests (gaussian): Satterthwaite's df (the default), Kenward and "
                          "Roger's adjusted standard errors and df (REML fits), or the normal approximation")
    fit.add_argument("--json", action="store_true",
                     help="print the result as JSON (gaussian: each fixed effect with its Satterthwaite df "
                          "and Pr(>|t|), as the summary shows them; generalized: with its z test)")
    sub.add_parser("demo", help="fit the embedded example (simulated data; the default)")
    return parser


def _fit(args):
    """The fit the arguments ask for: corvane.lmm for the gaussian family,
    corvane.glmm for the others, with the options that belong to each
    (another family's option is refused rather than ignored)."""
    from .data import sources

    data = sources.read_csv("-") if args.file == "-" else args.file
    if args.family == "gaussian":
        from .model.lmm import lmm

        for flag, given in (("--link", args.link is not None), ("--nagq", args.nagq is not None)):
            if given:
                raise ValueError(f"{flag} is for --family binomial, poisson, negative_binomial or "
                                 f"negative_binomial1")
        if args.weights is not None and isinstance(data, str) and sources.path_kind(data) == "parquet":
            # lmm reads Parquet in batches, which take no weights column: the
            # rows are read into memory instead.
            data = sources.as_frame(data)
        return lmm(args.formula, data, reml=not args.ml, weights=args.weights, offset=args.offset)
    from .generalized.model import glmm

    for flag, given in (("--ml", args.ml), ("--ddf", args.ddf is not None)):
        if given:
            raise ValueError(f"{flag} is for --family gaussian: a generalized fit is by maximum likelihood, "
                             f"with z tests")
    return glmm(args.formula, data, args.family, args.link, weights=args.weights, offset=args.offset,
                nagq=1 if args.nagq is None else args.nagq)


def _show_warning(message, category, filename, lineno, file=None, line=None):
    print(f"corvane: warning: {message}", file=sys.stderr)


def main(argv=None):
    args = _parser().parse_args(argv)
    warnings.showwarning = _show_warning
    try:
        if args.command == "fit":
            result = _fit(args)
            if args.json:
                print(json.dumps(result.to_dict(), indent=2, allow_nan=False))
                return 0
            print(result.summary() if args.family != "gaussian" else
                  result.summary(ddf=args.ddf or "satterthwaite"))
        else:
            from ._example import fit_example

            print("The embedded example: simulated data, 18 subjects measured on 10 days.\n")
            print(fit_example().summary())
    except BrokenPipeError:  # the reader went away (| head): not an error of ours
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except (OSError, ValueError, TypeError, ImportError, RuntimeError) as exc:
        print(f"corvane: error: {exc}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
