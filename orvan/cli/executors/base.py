"""How a job is carried out: the executor seam.

The scheduler decides *when* a job may run; an executor decides *how*. It
sees one `WorkerTask` at a time and answers with a future `Outcome`:

    future = executor.submit(task)      # start the job
    outcome = future.result()           # learn how it ended
    executor.shutdown(cancel=True)      # stop whatever is still running

The scheduler never has more than `executor.slots` tasks outstanding.
`SpawnExecutor` (spawn.py) runs each task as a `python -m orvan.worker`
process on this host. Another executor (one that hands tasks to a cluster)
implements the same three members; everything a task needs is in the
`WorkerTask`, and the files it names are the whole contract with the worker.
"""

from __future__ import annotations

import json
import os
import signal
import sys
from abc import ABC, abstractmethod
from concurrent.futures import Future
from dataclasses import dataclass

from ..naming import RESULT_FILE

# How long a worker asked to stop (SIGTERM) gets before it is killed.
STOP_GRACE_SECONDS = 3.0


@dataclass(frozen=True)
class WorkerTask:
    label: str  # for messages, e.g. "prices[ticker=AAPL]"
    module: str
    function: str
    out_dir: str  # the job's directory: value.json and result.json go here
    kwargs_path: str | None  # JSON object of keyword arguments, if any
    log_path: str  # the worker's stdout and stderr
    timeout: float | None  # seconds; None for no limit
    # How the value is stored when it is not JSON, and the file of references
    # to upstream values that are not JSON: both None on the native path.
    serializer: str | None = None
    refs_path: str | None = None


@dataclass(frozen=True)
class Outcome:
    ok: bool
    error: str | None = None
    # Stopped by `shutdown(cancel=True)` rather than failing on its own.
    interrupted: bool = False
    # The job's process (the leader of its process group), when it had one here.
    pid: int | None = None


class Executor(ABC):
    slots: int

    @abstractmethod
    def submit(self, task: WorkerTask) -> Future[Outcome]:
        """Start the task; the future resolves when it has ended, never raising."""

    @abstractmethod
    def shutdown(self, *, cancel: bool) -> None:
        """Release resources; with cancel, first stop running tasks, whose
        futures then resolve with `interrupted=True`."""


def worker_command(task: WorkerTask) -> list[str]:
    cmd = [sys.executable, "-m", "orvan.worker", task.module, task.function, task.out_dir]
    if task.kwargs_path is not None:
        # Upstream values can be large: they go through a file, never argv.
        cmd += ["--kwargs-file", task.kwargs_path]
    if task.serializer is not None:
        cmd += ["--serializer", task.serializer]
    if task.refs_path is not None:
        cmd += ["--inputs-file", task.refs_path]
    return cmd


def read_outcome(task: WorkerTask, returncode: int) -> Outcome:
    """Turn an exit status and the worker's result.json into an Outcome."""
    try:
        with open(os.path.join(task.out_dir, RESULT_FILE), encoding="utf-8") as f:
            result = json.load(f)
    except (OSError, ValueError):
        result = None
    if returncode == 0 and isinstance(result, dict) and result.get("ok") is True:
        return Outcome(True)
    if isinstance(result, dict) and result.get("error"):
        return Outcome(False, str(result["error"]))
    if returncode < 0:
        try:
            name: object = signal.Signals(-returncode).name
        except ValueError:
            name = -returncode
        return Outcome(False, f"worker killed by signal {name}" + log_tail(task.log_path))
    return Outcome(False, f"worker exited with status {returncode}" + log_tail(task.log_path))


def log_tail(path: str) -> str:
    try:
        with open(path, "rb") as f:
            f.seek(0, os.SEEK_END)
            f.seek(max(0, f.tell() - 2000))
            lines = [ln for ln in f.read().decode("utf-8", "replace").splitlines() if ln.strip()]
    except OSError:
        return ""
    return f": {lines[-1].strip()}" if lines else ""


def append_to_log(path: str, error: str | None) -> None:
    # The log then tells the whole story even when the worker said nothing
    # (it was killed, or it only recorded the error in result.json).
    try:
        with open(path, "a", encoding="utf-8") as f:
            f.write(f"\norvan: job failed: {error}\n")
    except OSError:
        pass


def signal_group(pid: int, sig: int) -> None:
    try:
        os.killpg(pid, sig)
    except (ProcessLookupError, PermissionError):
        pass
