"""The command line: arguments, reading the file, printing; nothing statistical.

``python -m corvane`` fits the embedded (simulated) example and prints its
summary; ``python -m corvane fit FILE "FORMULA" [--ml] [--json]`` fits a CSV
file (``-`` for standard input). Errors go to stderr with exit status 2;
warnings (a fit that is not certified, a singular fit) to stderr too.
"""

import argparse
import json
import os
import stat
import sys
import warnings

EXAMPLES = """examples:
  python -m corvane                                   fit the embedded (simulated) example
  python -m corvane fit sleep.csv "Reaction ~ Days + (Days | Subject)"
  python -m corvane fit data.csv "y ~ x + (1 | g)" --ml --json
  cat data.csv | python -m corvane fit - "y ~ x + (1 | g)"

The formula has one random-effects term (expr | group); its terms are column
names or Python expressions over the columns (np.log(x), I(x^2)).
"""


def _parser():
    parser = argparse.ArgumentParser(
        prog="python -m corvane",
        description="Fit linear mixed models with one grouping factor. Without a command: fit the "
                    "embedded example (simulated data: 18 subjects x 10 days) and print its summary.",
        epilog=EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", metavar="command")
    fit = sub.add_parser("fit", help="fit a model to a CSV file",
                         description="Fit an lme4-style formula with random-effects terms of one grouping "
                                     "factor to the columns of a CSV file (a header row; '-' reads standard "
                                     "input).",
                         epilog=EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    fit.add_argument("file", help="CSV file with a header row, or - for standard input")
    fit.add_argument("formula", help='e.g. "Reaction ~ Days + (Days | Subject)"')
    fit.add_argument("--ml", action="store_true", help="maximum likelihood instead of REML")
    fit.add_argument("--ddf", choices=["satterthwaite", "kenward-roger", "normal"], default="satterthwaite",
                     help="the summary's t tests: Satterthwaite's df (the default), Kenward and Roger's "
                          "adjusted standard errors and df (REML fits), or the normal approximation")
    fit.add_argument("--json", action="store_true",
                     help="print the result as JSON (each fixed effect with its Satterthwaite df and "
                          "Pr(>|t|), as the summary shows them)")
    sub.add_parser("demo", help="fit the embedded example (simulated data; the default)")
    return parser


def _read_csv(path):
    from ._errors import require

    pd = require("pandas", purpose="reading CSV files")
    if path == "-":
        source = sys.stdin
    else:
        try:
            mode = os.stat(path).st_mode
        except FileNotFoundError:
            raise OSError(f"no such file: {path}") from None
        if stat.S_ISDIR(mode):
            raise OSError(f"{path} is a directory, not a CSV file")
        source = path
    # One dtype per column from all its values (no per-chunk guessing): a
    # column with any non-numeric value is a column of strings throughout.
    try:
        return pd.read_csv(source, low_memory=False)
    except pd.errors.EmptyDataError:
        raise ValueError(f"{path} holds no data") from None
    except pd.errors.ParserError as exc:
        raise ValueError(f"{path} is not a readable CSV file: {exc}") from None


def _show_warning(message, category, filename, lineno, file=None, line=None):
    print(f"corvane: warning: {message}", file=sys.stderr)


def main(argv=None):
    args = _parser().parse_args(argv)
    warnings.showwarning = _show_warning
    try:
        if args.command == "fit":
            from .model import lmm

            result = lmm(args.formula, _read_csv(args.file), reml=not args.ml)
            if args.json:
                print(json.dumps(result.to_dict(), indent=2, allow_nan=False))
                return 0
        else:
            from ._example import fit_example

            print("The embedded example: simulated data, 18 subjects measured on 10 days.\n")
            result = fit_example()
        print(result.summary(ddf=getattr(args, "ddf", "satterthwaite")))
    except BrokenPipeError:  # the reader went away (| head): not an error of ours
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except (OSError, ValueError, TypeError, ImportError, RuntimeError) as exc:
        print(f"corvane: error: {exc}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
