"""Report the assets of some modules: ``python -m orvan.inspect MODULE [MODULE ...]``.

Imports each MODULE, as ``import`` would from the current directory, and
writes the inspection report (one line of JSON, see ``inspect_modules``) to
standard output, followed by a line feed.

A module that cannot be imported is skipped with a warning line on standard
error; the report is still written and the exit status is 0. Any other failure
(a module without source, an asset whose metadata cannot be read, ...) writes
one error line to standard error and exits with status 1, and nothing goes to
standard output.

Calling it with no MODULE is a usage error (status 2), although
``inspect_modules([])`` itself is valid: a host that asks to inspect nothing
has almost certainly lost its list of modules on the way, and an empty report
would hide that.

While the modules are imported, whatever they print to standard output (at
Python level or from C) goes to standard error instead, so that standard
output carries the report and nothing else.
"""

from __future__ import annotations

import os
import sys
from collections.abc import Iterator
from contextlib import contextmanager

USAGE = "usage: python -m orvan.inspect MODULE [MODULE ...]"


@contextmanager
def _stdout_to_stderr() -> Iterator[None]:
    """Points file descriptor 1 at standard error for the duration."""
    sys.stdout.flush()
    saved = os.dup(1)
    try:
        os.dup2(2, 1)
        try:
            yield
        finally:
            sys.stdout.flush()
            os.dup2(saved, 1)
    finally:
        os.close(saved)


def _make_current_directory_importable() -> None:
    # `python -m` already does this unless -P or PYTHONSAFEPATH is in force;
    # the modules to inspect are named relative to where the host runs us.
    cwd = os.getcwd()
    if "" not in sys.path and cwd not in sys.path:
        sys.path.insert(0, cwd)


def _describe(exc: BaseException) -> str:
    try:
        text = str(exc)
    except Exception:
        text = "<exception str() failed>"
    return f"{type(exc).__qualname__}: {text}"


def main(argv: list[str] | None = None) -> int:
    modules = sys.argv[1:] if argv is None else argv
    if modules in (["-h"], ["--help"]):
        print(USAGE)
        return 0
    if not modules:
        print(USAGE, file=sys.stderr)
        print("error: name at least one module to inspect", file=sys.stderr)
        return 2
    _make_current_directory_importable()
    from orvan._orvan import inspect_modules

    try:
        with _stdout_to_stderr():
            report = inspect_modules(modules)
    except KeyboardInterrupt:
        raise
    except BaseException as exc:  # SystemExit and internal faults too: report, exit 1
        print(f"orvan.inspect: {_describe(exc)}", file=sys.stderr)
        return 1
    sys.stdout.buffer.write(report.encode("utf-8") + b"\n")
    sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
