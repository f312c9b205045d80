"""`orvan`: argument parsing and the exit status of each subcommand."""

from __future__ import annotations

import argparse
import os
import sys

from . import commands, pipeline, run as run_command
from .config import DEFAULT_OUT
from .graph import GraphError

DESCRIPTION = """\
Materialise a pipeline of orvan assets: each asset (or each partition of one)
is computed in its own worker process once the values it reads are stored,
and skipped while nothing it depends on has changed.

Modules are named on the command line or in pyproject.toml:

    [tool.orvan]
    modules = ["pipeline.prices", "pipeline.reports"]
"""

EPILOG = "Exit status: 0 success, 1 a job failed or was not run, 2 a usage or pipeline error, 130 interrupted."


def _positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def _positive_float(text: str) -> float:
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError("must be a positive number of seconds")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="orvan", description=DESCRIPTION, epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def add(name: str, help: str, description: str) -> argparse.ArgumentParser:
        return sub.add_parser(
            name, help=help, description=description, epilog=EPILOG,
            formatter_class=argparse.RawDescriptionHelpFormatter,
        )

    def modules(p: argparse.ArgumentParser) -> None:
        p.add_argument("modules", nargs="*", metavar="MODULE",
                       help="modules to inspect (default: [tool.orvan] modules in ./pyproject.toml)")

    def out(p: argparse.ArgumentParser) -> None:
        p.add_argument("--out", metavar="DIR", default=None,
                       help=f"output directory holding values and the catalog (default: ./{DEFAULT_OUT})")

    p = add("list", "list the assets found", "List the assets found: key, inputs, partitions and source file.")
    modules(p)
    p.set_defaults(func=commands.cmd_list)

    p = add("run", "materialise the pipeline",
            "Materialise the pipeline's assets in dependency order, skipping jobs whose\n"
            "stored value is still fresh.")
    modules(p)
    out(p)
    p.add_argument("-j", "--jobs", type=_positive_int, default=os.process_cpu_count() or 1, metavar="N",
                   help="run up to N jobs at once (default: the number of CPUs, %(default)s)")
    p.add_argument("--select", nargs="+", action="extend", metavar="KEY",
                   help="run only these assets, and whichever of their upstream jobs are not fresh")
    p.add_argument("--force", action="store_true", help="rerun the selected assets even if fresh")
    p.add_argument("--timeout", type=_positive_float, metavar="SECONDS",
                   help="kill a job that runs longer than this, and record it as failed")
    p.set_defaults(func=run_command.cmd_run)

    p = add("status", "show whether stored values are fresh",
            "For each asset and partition, whether its last materialisation is fresh,\n"
            "stale (the code or an upstream value changed), failed, or missing.")
    modules(p)
    out(p)
    p.add_argument("--why", nargs="*", metavar="KEY",
                   help="for each job that is not fresh (of these assets, or all), every reason why")
    p.set_defaults(func=commands.cmd_status)

    p = add("clean", "remove values no longer declared",
            "Remove the stored values, results and logs of assets and partitions the\n"
            "pipeline no longer declares, listing them. The history of runs is kept.")
    modules(p)
    out(p)
    p.add_argument("--dry-run", action="store_true", help="only list what would be removed")
    p.set_defaults(func=commands.cmd_clean)

    p = add("history", "list recent runs", "Recent runs with their counts of jobs done, fresh, failed and not run.")
    out(p)
    p.add_argument("-n", "--limit", type=_positive_int, default=10, metavar="N",
                   help="how many runs to show (default: %(default)s)")
    p.set_defaults(func=commands.cmd_history)

    p = add("show", "print a stored value", "Print the stored value of an asset, or of one of its partitions.")
    p.add_argument("key", metavar="KEY", help="asset key, as shown by orvan list")
    p.add_argument("--partition", action="append", metavar="DIM=VALUE", help="partition key, once per dimension")
    out(p)
    p.add_argument("--raw", metavar="PATH", help="copy the stored file to PATH instead of printing it")
    p.set_defaults(func=commands.cmd_show)
    return parser


def run(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        status: int = args.func(args)
        return status
    except GraphError as e:
        if len(e.problems) == 1:
            print(f"orvan {args.command}: error: {e.problems[0]}", file=sys.stderr)
        else:
            print(f"orvan {args.command}: error: {len(e.problems)} problems in the pipeline:", file=sys.stderr)
            for problem in e.problems:
                print(f"  - {problem}", file=sys.stderr)
        return pipeline.USAGE
    except pipeline.ERRORS as e:
        print(f"orvan {args.command}: error: {e}", file=sys.stderr)
        return pipeline.USAGE
    except KeyboardInterrupt:
        return 130


def main() -> None:
    sys.exit(run())
