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
import signal
import sys
import threading
import time

from orvan import worker

# How soon an orphaned job notices; a sleep in a thread, so nearly free.
POLL_SECONDS = 0.1


def stop_with_parent(parent: int, interval: float = POLL_SECONDS) -> None:
    """End this process (and its group, if it leads one) once `parent` is no
    longer its parent: a daemon thread polls, since Linux alone has a signal
    for it, and that one fires when the parent's *thread* ends."""

    def watch() -> None:
        while os.getppid() == parent:
            time.sleep(interval)
        _kill_self()

    threading.Thread(target=watch, name="orvan-parent-watch", daemon=True).start()


def _kill_self() -> None:
    pid = os.getpid()
    if os.getpgid(0) == pid:
        # The job's own children (a subprocess the asset started) go too.
        os.killpg(pid, signal.SIGKILL)
    os.kill(pid, signal.SIGKILL)


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
    stop_with_parent(parent)
    return worker.main(args[1:])


if __name__ == "__main__":
    sys.exit(main())
