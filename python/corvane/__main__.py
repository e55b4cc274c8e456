"""Command line: ``python -m corvane`` fits the embedded example and prints its summary;
``python -m corvane fit FILE.csv "FORMULA" [--ml] [--json]`` fits a CSV file.

Errors (a missing file, an unknown column, a bad formula) are reported on
stderr with exit status 2.
"""

import argparse
import json
import os
import sys


def _parser():
    parser = argparse.ArgumentParser(
        prog="python -m corvane",
        description="Fit linear mixed models with one grouping factor. "
                    "Without a command: fit the embedded example and print its summary.")
    sub = parser.add_subparsers(dest="command", metavar="command")
    fit = sub.add_parser("fit", help="fit a model to a CSV file",
                         description="Fit an lme4-style formula with one random-effects term "
                                     "to the columns of a CSV file.")
    fit.add_argument("file", help="CSV file with a header row")
    fit.add_argument("formula", help='e.g. "Reaction ~ Days + (Days | Subject)"')
    fit.add_argument("--ml", action="store_true", help="maximum likelihood instead of REML")
    fit.add_argument("--json", action="store_true", help="print the result as JSON")
    sub.add_parser("demo", help="fit the embedded example (the default)")
    return parser


def _fit_csv(args):
    from .formula import _require, lmm

    pd, _ = _require()
    if not os.path.isfile(args.file):
        raise OSError(f"no such file: {args.file}")
    data = pd.read_csv(args.file)
    return lmm(args.formula, data, reml=not args.ml)


def main(argv=None):
    args = _parser().parse_args(argv)
    try:
        if args.command == "fit":
            result = _fit_csv(args)
            if args.json:
                print(json.dumps(result.to_dict(), indent=2, allow_nan=False))
                return 0
        else:
            from ._example import fit_example

            result = fit_example()
        print(result.summary())
    except BrokenPipeError:  # the reader went away (| head): not an error of ours
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except (OSError, ValueError, TypeError, ImportError, RuntimeError) as exc:
        print(f"corvane: error: {exc}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
