"""The `orvan` process: the inspection starts before anything else.

Nothing a command does can be settled before the inspection's report, so it
is started first, from a guess at the modules and the project that the
command line names; parsing the arguments, importing the command and opening
the catalog overlap it. The guess decides nothing: a command reads only an
inspection started for exactly the modules and directory it resolves itself
(`discovery.inspect_text`), and stops any other.
"""

from __future__ import annotations

import sys

# The subcommands that inspect, and those of their options that take a value.
INSPECTING = {
    "run": {"--out", "-j", "--jobs", "-s", "--select", "-p", "--partition", "--timeout", "--retries",
            "--retry-delay", "--executor", "--scheduler", "--isolation", "--store"},
    "list": {"-s", "--select"},
    "status": {"--out", "-s", "--select", "-p", "--partition", "--store"},
}


def guess(argv: list[str]) -> tuple[str, list[str], str | None] | None:
    """(subcommand, the modules it names, its --out) as argparse would most
    likely read argv, or None when it is not a subcommand that inspects, or
    is unclear."""
    if not argv or argv[0] not in INSPECTING:
        return None
    takes_value = INSPECTING[argv[0]]
    modules: list[str] = []
    out = None
    rest = iter(argv[1:])
    for arg in rest:
        if arg == "--":
            modules.extend(rest)
        elif arg in ("-h", "--help", "--why"):
            return None  # --why takes any number of keys: too loose to guess
        elif arg in takes_value:
            value = next(rest, None)
            out = value if arg == "--out" else out
        elif arg.startswith("--out="):
            out = arg.partition("=")[2]
        elif not arg.startswith("-"):
            modules.append(arg)
    return argv[0], modules, out


def start_inspection(argv: list[str]) -> None:
    """Starts the inspection of the modules named, or of those the last run
    in the output directory inspected: guesses that need no TOML parsed. For
    the rest (a first run), the command starts it once it has parsed its
    arguments (`main._start_inspection`)."""
    guessed = guess(argv)
    if guessed is None:
        return
    _, given, out = guessed
    from .inspect import fork as inspect_fork
    from .project import last_inspected, likely_project

    last = (likely_project(), list(dict.fromkeys(given))) if given else last_inspected(out)
    if last is not None:
        inspect_fork.start(last[1], last[0])


def main() -> None:
    try:
        start_inspection(sys.argv[1:])
    except Exception:
        pass  # a head start only: whatever failed, the command meets and reports itself

    from .inspect import fork as inspect_fork
    from .main import run

    try:
        status = run()
    finally:
        inspect_fork.discard()
    exit_now(status)


def exit_now(status: int) -> None:
    """Ends the process as `sys.exit` would, less tearing the interpreter
    down object by object: for a command that found everything fresh that is
    a tenth of its time, and nothing the command needs. The exit handlers
    still run and the output is flushed; with another thread still going,
    the ordinary exit (which waits for it) is taken instead."""
    import atexit
    import os

    threading = sys.modules.get("threading")
    if threading is not None and threading.active_count() > 1:
        sys.exit(status)
    atexit._run_exitfuncs()
    for stream in (sys.stdout, sys.stderr):
        try:
            if stream is not None:
                stream.flush()
        except (OSError, ValueError):
            pass
    os._exit(status)
