"""The `orvan` process: run the command, then end without tearing down.

The inspection a command needs starts as soon as its arguments say which
modules and project to inspect (`main._start_inspection`): never from a
guess, which could import modules the user no longer names.
"""

from __future__ import annotations

import sys


def main() -> None:
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
