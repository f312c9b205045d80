"""A worker that stops itself once the process that started it is gone:

    python -m orvan.watched_worker PARENT_PID MODULE FUNCTION OUTPUT_DIR [...]

The arguments after PARENT_PID are those of ``python -m orvan.worker``. A job
started on a cluster's worker host has no runner there to stop it: if the
Dask worker process that launched it dies, the job could be handed to
another worker while this copy still writes into the same directory. So the
job watches its parent and ends itself, and its whole process group, as soon
as it is orphaned. Kept apart from the runner's modules: it is on the path
of every remote job, and importing them would cost each job tens of
milliseconds.
"""

from __future__ import annotations

import os
import sys

from orvan import process, worker

# How soon an orphaned job notices; a sleep in a thread, so nearly free.
POLL_SECONDS = 0.1


def main(argv: list[str] | None = None) -> int:
    args = sys.argv[1:] if argv is None else argv
    try:
        parent = int(args[0])
    except (IndexError, ValueError):
        print("usage: python -m orvan.watched_worker PARENT_PID MODULE FUNCTION OUTPUT_DIR [...]", file=sys.stderr)
        return 2
    if os.getppid() != parent:
        print(f"orvan.watched_worker: process {parent} that started this job is gone", file=sys.stderr)
        return 1
    # Polled rather than the death signal: the Dask worker starts jobs from
    # its pool threads, and that signal fires when the starting thread ends.
    process.watch_parent(parent, POLL_SECONDS)
    return worker.main(args[1:])


if __name__ == "__main__":
    sys.exit(main())
