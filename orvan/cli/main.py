"""`orvan`: argument parsing and the exit status of each subcommand."""

from __future__ import annotations

import argparse
import importlib
import os
import sys
from collections.abc import Callable
from types import ModuleType
from typing import Any, NamedTuple

from ..errors import OrvanError
from .config import DEFAULT_OUT, EXECUTORS, ISOLATIONS
from .report import terminal_columns, tolerate_closed_output

DESCRIPTION = """\
Materialise a pipeline of orvan assets: each asset (or each partition of one)
is computed in its own worker process once the values it reads are stored,
and skipped while nothing it depends on has changed.

Modules are named on the command line or in pyproject.toml:

    [tool.orvan]
    modules = ["pipeline.prices", "pipeline.reports"]

Selection (--select, on list, status, run and graph; repeat it or use commas):
    KEY or FUNCTION     one asset          pipeline.prices.*   a key pattern
    +KEY  KEY+  +KEY+   with everything upstream / downstream / both
    2+KEY  KEY+1        that many levels only

Backfills (--partition, on run and status; once per dimension):
    date=2024-01-02,2024-01-05   date=2024-01-02..2024-01-31   date=2024-01-*

Retries and per-asset settings:
    orvan run --retries 2 --retry-delay 5 --timeout 60
    [tool.orvan]                               # defaults for every asset
    retries = 1
    [tool.orvan.assets."pipeline.ingest.*"]    # a key or a pattern
    retries = 3
    retry_delay = 5
    timeout = 60

Each subcommand's --help tells the rest (orvan run --help); the whole guide: python -m orvan.docs
"""

EPILOG = "Exit status: 0 success, 1 a job failed or was not run, 2 a usage or pipeline error, 130 interrupted."


def _command(module: str, name: str, *, inspects: bool = False) -> Callable[[argparse.Namespace], int]:
    """The subcommand's function, its module imported only when it runs:
    each one imports much that the others (and --help) never need. With
    `inspects`, the inspection starts first, so that those imports overlap it."""
    def call(args: argparse.Namespace) -> int:
        if not inspects:
            return _call(module, name, args)
        from .inspect import discovery, fork as inspect_fork

        try:
            _start_inspection(args, discovery)
            return _call(module, name, args)
        finally:
            inspect_fork.discard()
    return call


def _call(module: str, name: str, args: argparse.Namespace) -> int:
    func: Callable[[argparse.Namespace], int] = getattr(importlib.import_module(module, __package__), name)
    return func(args)


def _start_inspection(args: argparse.Namespace, discovery: ModuleType) -> None:
    """Starts the inspection the command will read, with the modules and
    directory it will find. Whatever the command checks before inspecting is
    checked here first: if it fails, nothing starts, and the command reports
    it as it always has."""
    from .config import ConfigError, project_directory, resolve_isolation, resolve_modules, resolve_out

    try:
        directory = project_directory()
        modules = resolve_modules(args.modules, directory)
        if args.command == "run":
            resolve_out(args.out, directory)
            resolve_isolation(args.isolation, directory)
    except ConfigError:
        return
    discovery.start_inspect(modules, directory)


class HelpFormatter(argparse.RawDescriptionHelpFormatter):
    """argparse's, finding the terminal's width as it does but without
    importing shutil (and the compression modules shutil imports), which
    takes longer than building the command line."""

    def __init__(self, prog: str, indent_increment: int = 2, max_help_position: int = 24,
                 width: int | None = None):
        super().__init__(prog, indent_increment, max_help_position, width or terminal_columns() - 2)


def _number(convert: Callable[[str], Any], least: float, *, strict: bool, message: str) -> Callable[[str], Any]:
    """An argparse type: `convert`ed text that is above `least` (with
    `strict`) or at least it; `message` says what it must be."""
    def check(text: str) -> Any:
        value = convert(text)
        if not (value > least if strict else value >= least):  # a NaN is neither
            raise argparse.ArgumentTypeError(message)
        return value
    check.__name__ = convert.__name__  # argparse's "invalid int value"
    return check


_positive_int = _number(int, 1, strict=False, message="must be at least 1")
_positive_float = _number(float, 0, strict=True, message="must be a positive number of seconds")
_non_negative_int = _number(int, 0, strict=False, message="must be 0 or more")
_non_negative_float = _number(float, 0, strict=False, message="must be 0 or more seconds")


class Subcommand(NamedTuple):
    """One subcommand, declared once: its name, its line in `orvan --help`,
    its own help's description, its options and what runs it."""
    name: str
    help: str
    description: str
    options: Callable[[argparse.ArgumentParser], None]
    handler: Callable[[argparse.Namespace], int]


def _modules(p: argparse.ArgumentParser) -> None:
    p.add_argument("modules", nargs="*", metavar="MODULE",
                   help="modules to inspect (default: [tool.orvan] modules in ./pyproject.toml)")


def _out(p: argparse.ArgumentParser) -> None:
    p.add_argument("--out", metavar="DIR", default=None,
                   help=f"output directory holding values and the catalog (default: ./{DEFAULT_OUT})")
    p.add_argument("--catalog", metavar="URL", default=None,
                   help="keep the catalog in a PostgreSQL database several output directories share, "
                        "postgresql://USER@HOST:PORT/DB (default: ORVAN_CATALOG, then [tool.orvan] catalog, "
                        "then OUT/catalog.sqlite)")


def _store(p: argparse.ArgumentParser) -> None:
    p.add_argument("--store", metavar="URL", default=None,
                   help="keep values, results and logs at this fsspec URL (s3://bucket/prefix) instead of the "
                        "output directory, which then holds only the catalog (default: ORVAN_STORE, then "
                        "[tool.orvan] store)")


def _select(p: argparse.ArgumentParser) -> None:
    p.add_argument("-s", "--select", action="append", metavar="TERMS",
                   help="assets to act on, repeatable or comma-separated: KEY, a function name, a pattern "
                        "(pipe.prices.*), +KEY (and upstream), KEY+ (and downstream), 2+KEY, KEY+1")


def _partition(p: argparse.ArgumentParser) -> None:
    p.add_argument("-p", "--partition", action="append", metavar="DIM=KEYS",
                   help="only these partitions of the selected assets, once per dimension: DIM=KEY[,KEY...], "
                        "DIM=FIRST..LAST (in declared order) or DIM=PATTERN")


def _json(p: argparse.ArgumentParser) -> None:
    p.add_argument("--json", action="store_true", help="print one JSON document (described in python -m orvan.docs)")


def _list_options(p: argparse.ArgumentParser) -> None:
    _modules(p)
    _select(p)
    _json(p)


def _run_options(p: argparse.ArgumentParser) -> None:
    _modules(p)
    _out(p)
    _store(p)
    p.add_argument("-j", "--jobs", type=_positive_int, default=None, metavar="N",
                   help=f"run up to N jobs at once (default: the number of CPUs, {os.process_cpu_count() or 1}; "
                        "with a Dask scheduler, its workers' threads)")
    _select(p)
    _partition(p)
    p.add_argument("--force", action="store_true", help="rerun the selected jobs even if fresh")
    p.add_argument("--checks-only", action="store_true",
                   help="rerun the asset checks of the selection on the values stored now, running no asset")
    p.add_argument("--timeout", type=_positive_float, metavar="SECONDS",
                   help="kill an attempt that runs longer than this, and record it as failed")
    # Unset flags are None, so that [tool.orvan] can give the defaults.
    p.add_argument("--retries", type=_non_negative_int, metavar="N",
                   help="try a failed job up to N more times (default: 0)")
    p.add_argument("--retry-delay", type=_non_negative_float, metavar="SECONDS",
                   help="wait before the first retry, doubling with each further one, with jitter (default: 1)")
    p.add_argument("--executor", choices=EXECUTORS, default=None,
                   help="where jobs run: on this host (local, the default) or on a Dask cluster (dask); "
                        "also [tool.orvan] executor")
    p.add_argument("--scheduler", metavar="ADDRESS|local", default=None,
                   help="the Dask scheduler, e.g. tcp://host:8786, or local to start a cluster of -j "
                        "single-threaded workers for this run (default: DASK_SCHEDULER_ADDRESS, then "
                        "[tool.orvan] scheduler); implies --executor dask")
    noise = p.add_mutually_exclusive_group()
    noise.add_argument("-q", "--quiet", action="store_true", help="print only failures and the summary")
    noise.add_argument("-v", "--verbose", action="store_true",
                       help="stream each job's output as it is written, prefixed with the job")
    p.add_argument("--isolation", choices=ISOLATIONS, default=None,
                   help="fork: each job in a child of a fork server (default on Linux); spawn: each job in a "
                        "new interpreter (default elsewhere; also [tool.orvan] isolation)")


def _status_options(p: argparse.ArgumentParser) -> None:
    _modules(p)
    _out(p)
    _store(p)
    _select(p)
    _partition(p)
    _json(p)
    p.add_argument("--why", nargs="*", metavar="KEY",
                   help="for each job that is not fresh (of these assets, or all), every reason why")


def _clean_options(p: argparse.ArgumentParser) -> None:
    _modules(p)
    _out(p)
    _store(p)
    p.add_argument("--dry-run", action="store_true", help="only list what would be removed")


def _history_options(p: argparse.ArgumentParser) -> None:
    _out(p)
    p.add_argument("-n", "--limit", type=_positive_int, default=10, metavar="N",
                   help="how many runs to show (default: %(default)s)")
    _json(p)


def _show_options(p: argparse.ArgumentParser) -> None:
    p.add_argument("key", metavar="KEY", help="asset key, as shown by orvan list")
    p.add_argument("-p", "--partition", action="append", metavar="DIM=VALUE", help="partition key, once per dimension")
    _out(p)
    _store(p)
    p.add_argument("--raw", metavar="PATH",
                   help="copy the stored file to PATH (- for standard output) instead of printing it")


def _logs_options(p: argparse.ArgumentParser) -> None:
    p.add_argument("key", metavar="KEY", help="asset key, as shown by orvan list")
    p.add_argument("-p", "--partition", action="append", metavar="DIM=VALUE",
                   help="partition key, once per dimension (or DIM=VALUE,DIM=VALUE)")
    p.add_argument("--run", type=_positive_int, metavar="N",
                   help="the job's log from run N, if no later attempt has replaced it")
    p.add_argument("-f", "--follow", action="store_true", help="keep printing while the job runs")
    _out(p)
    _store(p)


def _graph_options(p: argparse.ArgumentParser) -> None:
    _modules(p)
    _select(p)
    p.add_argument("--format", choices=["mermaid", "dot"], default="mermaid",
                   help="output format (default: %(default)s)")


def _listen(p: argparse.ArgumentParser) -> None:
    p.add_argument("--host", default="127.0.0.1", help="address to listen on (default: %(default)s)")
    p.add_argument("--port", type=int, default=8150, help="port to listen on, 0 for any free one (default: %(default)s)")


def _ui_options(p: argparse.ArgumentParser) -> None:
    _modules(p)
    _out(p)
    _store(p)
    _listen(p)
    p.add_argument("--open", action="store_true", help="open the pages in the default web browser")
    p.add_argument("--verbose", action="store_true", help="log every request")


def _cmd_ui(args: argparse.Namespace) -> int:
    # Imported here: the web pages are not needed by any other subcommand.
    from ..ui.command import cmd_ui
    return cmd_ui(args)


def _serve_options(p: argparse.ArgumentParser) -> None:
    _modules(p)
    _out(p)
    _listen(p)


def _catalog_options(p: argparse.ArgumentParser) -> None:
    p.add_argument("action", choices=["copy"], help="copy: every run, job and tick, ids kept")
    p.add_argument("--from", dest="source", required=True, metavar="FROM",
                   help="OUT/catalog.sqlite (or OUT), or postgresql://USER@HOST:PORT/DB")
    p.add_argument("--to", dest="target", required=True, metavar="TO",
                   help="postgresql://USER@HOST:PORT/DB, or OUT/catalog.sqlite (or OUT); it must record no run yet")
    p.add_argument("--namespace", metavar="NAME", default=None,
                   help="the output location's name in the database (default: HOST:/abs/path/OUT of this host "
                        "and the catalog file's directory)")


def _ticks_options(p: argparse.ArgumentParser) -> None:
    p.add_argument("name", nargs="?", metavar="NAME", help="only this automation's ticks")
    _out(p)
    p.add_argument("-n", "--limit", type=_positive_int, default=20, metavar="N",
                   help="how many ticks to show (default: %(default)s)")
    _json(p)


SUBCOMMANDS = [
    Subcommand("list", "list the assets found", "List the assets found: key, inputs, partitions and source file.",
               _list_options, _command(".commands.listing", "cmd_list", inspects=True)),
    Subcommand("run", "materialise the pipeline",
               "Materialise the pipeline's assets in dependency order, skipping jobs whose\n"
               "stored value is still fresh.\n\n"
               "  orvan run --select +market_summary         it and everything upstream\n"
               "  orvan run -s 'pipeline.prices.*+' -p date=2024-01-02..2024-01-05\n"
               "  orvan run --retries 2 --retry-delay 5      retry failed jobs, backing off\n\n"
               "Per-asset settings (retries, retry_delay, timeout) go in pyproject.toml:\n\n"
               "  [tool.orvan.assets.\"pipeline.ingest.*\"]\n"
               "  retries = 3\n"
               "  timeout = 60",
               _run_options, _command(".run.runner", "cmd_run", inspects=True)),
    Subcommand("status", "show whether stored values are fresh",
               "For each asset and partition, whether its last materialisation is fresh,\n"
               "stale (the code or an upstream value changed), failed, or missing.\n"
               "Exits 0 when every selected job is fresh, 1 otherwise (--why: always 0).",
               _status_options, _command(".commands.status", "cmd_status", inspects=True)),
    Subcommand("clean", "remove values no longer declared",
               "Remove the stored values, results and logs of assets and partitions the\n"
               "pipeline no longer declares, listing them. The history of runs is kept.",
               _clean_options, _command(".commands.clean", "cmd_clean")),
    Subcommand("history", "list recent runs",
               "Recent runs with their counts of jobs done, fresh, failed and not run.",
               _history_options, _command(".commands.history", "cmd_history")),
    Subcommand("show", "print a stored value", "Print the stored value of an asset, or of one of its partitions.",
               _show_options, _command(".commands.show", "cmd_show")),
    Subcommand("logs", "print a job's log",
               "Print the output of a job's latest attempt (its stdout and stderr).",
               _logs_options, _command(".commands.logs", "cmd_logs")),
    Subcommand("graph", "print the asset graph",
               "Print the asset graph as Mermaid (renders in GitHub markdown) or Graphviz dot.",
               _graph_options, _command(".commands.graph", "cmd_graph")),
    Subcommand("ui", "browse the pipeline, its partitions and runs in a web browser",
               "Serve read-only pages of the asset graph, partition matrices, runs and jobs,\n"
               "updated live while a run goes on. Nothing is written.",
               _ui_options, _cmd_ui),
    Subcommand("serve", "serve the UI and run the automations declared",
               "Serve the UI (as orvan ui does) and keep the pipeline fresh with the automations\n"
               "declared in pyproject.toml, until SIGTERM or Ctrl-C:\n\n"
               "  [tool.orvan.automations.morning]\n"
               "  select = \"+report\"\n"
               "  cron = \"0 6 * * *\"          # with timezone, catch_up = latest|all|none\n\n"
               "  [tool.orvan.automations.dev]\n"
               "  on_change = true             # when the project's code changes\n\n"
               "Each tick runs what is not fresh, as orvan run would; orvan ticks lists them.",
               _serve_options, _command("..automation.command", "cmd_serve")),
    Subcommand("catalog", "copy a catalog's whole history to or from a shared database",
               "Copy every run, job and tick of one catalog into another that records nothing yet,\n"
               "to share an existing project's history (or take it back):\n\n"
               "  orvan catalog copy --from .orvan/catalog.sqlite --to postgresql://me@db:5432/orvan\n"
               "  orvan catalog copy --from postgresql://me@db:5432/orvan --to .orvan/catalog.sqlite\n\n"
               "No run may use either meanwhile (both are locked).",
               _catalog_options, _command(".commands.catalog", "cmd_catalog")),
    Subcommand("ticks", "list the ticks of the automations",
               "The latest ticks of orvan serve's automations: when, what triggered them,\n"
               "the run each started, or why it ran nothing.",
               _ticks_options, _command(".commands.ticks", "cmd_ticks")),
]


def build_parser(only: str | None = None) -> argparse.ArgumentParser:
    """The whole command line, or with `only` the one subcommand given
    (what every command but --help and a typo needs: the others take as
    long to build as the command takes to start its work)."""
    parser = argparse.ArgumentParser(
        prog="orvan", description=DESCRIPTION, epilog=EPILOG, formatter_class=HelpFormatter
    )
    parser.add_argument("--version", action=_VersionAction)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for command in SUBCOMMANDS:
        if only is None or command.name == only:
            p = sub.add_parser(command.name, help=command.help, description=command.description, epilog=EPILOG,
                               formatter_class=HelpFormatter)
            command.options(p)
            p.set_defaults(func=command.handler)
    return parser


class _VersionAction(argparse._VersionAction):
    # Read only when asked for, from the module the package metadata is built from.
    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: str | None = None) -> None:
        self.version = f"orvan {_version()}"
        super().__call__(parser, namespace, values, option_string)


def _version() -> str:
    from .._version import __version__

    return __version__


def parse(argv: list[str] | None) -> argparse.Namespace:
    """Like parse_args, but a flag the subcommand does not know is reported
    with that subcommand's usage rather than the top-level one."""
    words = sys.argv[1:] if argv is None else argv
    known = {command.name for command in SUBCOMMANDS}
    parser = build_parser(words[0] if words and words[0] in known else None)
    args, extra = parser.parse_known_args(words)
    if extra:
        sub = next(a for a in parser._actions if isinstance(a, argparse._SubParsersAction))
        sub.choices[args.command].error("unrecognized arguments: " + " ".join(extra))
    return args


def run(argv: list[str] | None = None) -> int:
    tolerate_closed_output()
    args = parse(argv)
    try:
        if hasattr(args, "catalog"):
            from .config import choose_catalog

            choose_catalog(args.catalog)
        status: int = args.func(args)
        return status
    except KeyboardInterrupt:
        return 130
    except OrvanError as e:
        for line in e.lines():
            print(f"orvan {args.command}: error: {line}", file=sys.stderr)
        return e.exit_status


def main() -> None:
    sys.exit(run())
