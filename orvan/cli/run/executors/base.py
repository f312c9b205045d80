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
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable

from ....values import VALUE_STEM
from ....store.naming import KWARGS_FILE, RESULT_FILE
from ....store.space import disk_full

if TYPE_CHECKING:
    # Only the executors that run jobs need it at run time: the freshness
    # checks that read job files through this module do not.
    from concurrent.futures import Future

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
    # With a remote store: what the job's host fetches before the job and
    # uploads after it (see orvan.store.transfer); None for the output directory.
    store: dict[str, Any] | None = None


@dataclass(frozen=True)
class Outcome:
    ok: bool
    error: str | None = None
    # Stopped by `shutdown(cancel=True)` rather than failing on its own.
    interrupted: bool = False
    # The job's process (the leader of its process group), when it had one here.
    pid: int | None = None
    # (size, sha256) of the value a job's host uploaded to a remote store.
    value: tuple[int, str] | None = None
    # The store's name of an upstream value found damaged as the job's host read it.
    damaged: str | None = None


@dataclass(frozen=True)
class Imports:
    """What the run's tasks import. `sources`: for each asset module, the
    SHA-256 of every local source its jobs run (path -> digest) as the plan
    read them, which a job must find on disk; `warm`: the modules an executor
    that can should import once and start jobs from; `cold`: the (module,
    function) of assets whose jobs import their modules afresh all the same."""

    sources: dict[str, dict[str, str]]
    warm: list[str]
    cold: frozenset[tuple[str, str]] = frozenset()


# Told of a job's process once it has started: the task, its pid and its
# start time (see orphans.process_start).
ProcessStarted = Callable[[WorkerTask, int, str], None]
# Told of a process of the executor's own that is no job's: pid, start time.
HelperStarted = Callable[[int, str], None]


class Executor(ABC):
    slots: int
    # Told of each job's process as soon as the executor knows it, from any
    # thread, so that the catalog knows the process should it outlive a
    # killed runner. Executors whose jobs run on other hosts leave it uncalled.
    on_process: ProcessStarted | None = None
    # Told, from the thread that calls `submit`, of a process the executor
    # starts to run jobs from (the fork server), for the same reason.
    on_helper: HelperStarted | None = None

    @abstractmethod
    def submit(self, task: WorkerTask) -> Future[Outcome]:
        """Start the task; the future resolves when it has ended, never raising."""

    def prepare(self, imports: Imports) -> None:
        """Told, before the first task, what the run's tasks import."""

    def begin_run(self, run_id: int) -> None:
        """Told the catalog's id of the run before its first task, for
        executors that name their work after it on a shared engine."""

    @abstractmethod
    def shutdown(self, *, cancel: bool) -> None:
        """Release resources; with cancel, first stop running tasks, whose
        futures then resolve with `interrupted=True`."""

    def lost(self) -> str | None:
        """Why this executor can run no more jobs (its cluster is gone), or
        None while it can."""
        return None


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


NO_SPACE = "no space left on device"


def read_outcome(task: WorkerTask, returncode: int) -> Outcome:
    """Turn an exit status and the worker's result.json into an Outcome."""
    result = read_record_in(task.out_dir)
    if returncode == 0 and isinstance(result, dict) and result.get("ok") is True:
        return Outcome(True)
    if isinstance(result, dict) and result.get("error"):
        return Outcome(False, str(result["error"]))
    if disk_full(task.out_dir):
        return Outcome(False, f"{NO_SPACE}: the worker could not write its files in {task.out_dir}")
    if returncode < 0:
        try:
            name: object = signal.Signals(-returncode).name
        except ValueError:
            name = -returncode
        return Outcome(False, f"worker killed by signal {name}" + log_tail(task.log_path))
    return Outcome(False, f"worker exited with status {returncode}" + log_tail(task.log_path))


def read_record_in(directory: str) -> object:
    """The worker's result.json in `directory`, or None if it cannot be read."""
    try:
        with open(os.path.join(directory, RESULT_FILE), encoding="utf-8") as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def discard_partial(task: WorkerTask, outcome: Outcome) -> None:
    """After a job that did not succeed: remove what it may have half written,
    so that no partial value takes up a full disk or looks like a result. The
    failure record stays, and the arguments too unless space is short."""
    remove_values(task.out_dir)
    doomed = []
    if not isinstance(read_record_in(task.out_dir), dict):
        doomed.append(RESULT_FILE)
    if NO_SPACE in (outcome.error or "").lower():
        doomed.append(KWARGS_FILE)
    for name in doomed:
        try:
            os.unlink(os.path.join(task.out_dir, name))
        except OSError:
            pass


def remove_values(directory: str) -> None:
    """Remove a job's stored value, whichever serializer wrote it, and any
    partial one a writer left."""
    try:
        names = os.listdir(directory)
    except OSError:
        return
    for name in names:
        if name.startswith((VALUE_STEM + ".", "." + VALUE_STEM + ".")):
            try:
                os.unlink(os.path.join(directory, name))
            except OSError:
                pass


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

