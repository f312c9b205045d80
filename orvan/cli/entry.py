"""The `orvan` process: run the command, then end without tearing down.

The inspection a command needs starts as soon as its arguments say which
modules and project to inspect (`main._start_inspection`): never from a
guess, which could import modules the user no longer names.
"""

from __future__ import annotations


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
    a tenth of its time, and nothing the command needs."""
    from .. import process

    process.fast_exit(status)
