"""How a job is carried out: the executor seam.

The scheduler decides *when* a job may run; an executor decides *how*. It
sees one `WorkerTask` at a time and answers with a future `Outcome`:

    future = executor.submit(task)      # start the job
    outcome = future.result()           # learn how it ended
    executor.shutdown(cancel=True)      # stop whatever is still running

The scheduler never has more than `executor.slots` tasks outstanding. The
default, `LocalProcessExecutor`, runs each task as a `python -m orvan.worker`
process on this host. Another executor (one that hands tasks to a cluster)
implements the same three members; everything a task needs is in the
`WorkerTask`, and the files it names are the whole contract with the worker.
"""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import threading
import time
from abc import ABC, abstractmethod
from concurrent.futures import Future
from dataclasses import dataclass

from .naming import RESULT_FILE

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


@dataclass(frozen=True)
class Outcome:
    ok: bool
    error: str | None = None
    # Stopped by `shutdown(cancel=True)` rather than failing on its own.
    interrupted: bool = False


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
        return Outcome(False, f"worker killed by signal {name}" + _log_tail(task.log_path))
    return Outcome(False, f"worker exited with status {returncode}" + _log_tail(task.log_path))


def _log_tail(path: str) -> str:
    try:
        with open(path, "rb") as f:
            f.seek(0, os.SEEK_END)
            f.seek(max(0, f.tell() - 2000))
            lines = [ln for ln in f.read().decode("utf-8", "replace").splitlines() if ln.strip()]
    except OSError:
        return ""
    return f": {lines[-1].strip()}" if lines else ""


def _append_to_log(path: str, error: str | None) -> None:
    # The log then tells the whole story even when the worker said nothing
    # (it was killed, or it only recorded the error in result.json).
    try:
        with open(path, "a", encoding="utf-8") as f:
            f.write(f"\norvan: job failed: {error}\n")
    except OSError:
        pass


def stop_orphans(job_dirs: set[str], wait: float = 5.0) -> int:
    """Kill workers left running by a runner that was itself killed, found by
    the job directory on their command line, before those jobs are redone.
    Linux only (it reads /proc); elsewhere such workers are left to finish,
    and the redone job's files are cleared after they are gone or not at all.
    Returns how many were found."""
    if not job_dirs or not os.path.isdir("/proc"):
        return 0
    found = []
    for entry in os.scandir("/proc"):
        if not entry.name.isdigit():
            continue
        try:
            with open(os.path.join(entry.path, "cmdline"), "rb") as f:
                argv = f.read().decode("utf-8", "surrogateescape").split("\0")
        except OSError:
            continue
        if "orvan.worker" in argv and any(arg in job_dirs for arg in argv):
            found.append(int(entry.name))
    for pid in found:
        try:
            # Workers lead their own process group; take their children too.
            os.killpg(pid, signal.SIGKILL) if os.getpgid(pid) == pid else os.kill(pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass
    deadline = time.monotonic() + wait
    while any(_alive(pid) for pid in found) and time.monotonic() < deadline:
        time.sleep(0.02)
    return len(found)


def _alive(pid: int) -> bool:
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            # A zombie is dead; it only waits for its new parent to reap it.
            return f.read().rsplit(b")", 1)[1].split()[0] != b"Z"
    except (OSError, IndexError):
        return False


class LocalProcessExecutor(Executor):
    """Each task is a worker process in its own session (so that Ctrl-C at the
    terminal reaches only the runner, which then stops workers deliberately),
    watched by a thread that enforces the timeout."""

    def __init__(self, slots: int, *, cwd: str, env: dict[str, str]):
        self.slots = max(1, slots)
        self._cwd = cwd
        self._env = env
        self._lock = threading.Lock()
        self._running: dict[int, subprocess.Popen] = {}
        self._threads: list[threading.Thread] = []
        self._cancelling = False

    def submit(self, task: WorkerTask) -> Future[Outcome]:
        future: Future[Outcome] = Future()
        with open(task.log_path, "wb") as log:
            proc = subprocess.Popen(
                worker_command(task),
                cwd=self._cwd,
                env=self._env,
                stdin=subprocess.DEVNULL,
                stdout=log,
                stderr=subprocess.STDOUT,
                start_new_session=True,
            )
        with self._lock:
            self._running[proc.pid] = proc
            self._threads = [t for t in self._threads if t.is_alive()]
            thread = threading.Thread(target=self._watch, args=(task, proc, future), daemon=True)
            self._threads.append(thread)
        thread.start()
        return future

    def _watch(self, task: WorkerTask, proc: subprocess.Popen, future: Future[Outcome]) -> None:
        try:
            try:
                returncode = proc.wait(timeout=task.timeout)
            except subprocess.TimeoutExpired:
                _signal_group(proc, signal.SIGKILL)
                proc.wait()
                outcome = Outcome(False, f"timed out after {task.timeout:g} s; the worker was killed")
            else:
                outcome = read_outcome(task, returncode)
                if not outcome.ok and self._cancelling:
                    outcome = Outcome(False, "interrupted", interrupted=True)
        except BaseException as e:  # the future must resolve whatever happens
            outcome = Outcome(False, f"could not watch the worker: {e!r}")
        finally:
            with self._lock:
                self._running.pop(proc.pid, None)
        if not outcome.ok:
            _append_to_log(task.log_path, outcome.error)
        future.set_result(outcome)

    def shutdown(self, *, cancel: bool) -> None:
        if cancel:
            with self._lock:
                self._cancelling = True
                procs = list(self._running.values())
            for proc in procs:
                _signal_group(proc, signal.SIGTERM)
            deadline = time.monotonic() + STOP_GRACE_SECONDS
            for thread in list(self._threads):
                thread.join(max(0.0, deadline - time.monotonic()))
            with self._lock:
                procs = list(self._running.values())
            for proc in procs:
                _signal_group(proc, signal.SIGKILL)
        for thread in list(self._threads):
            thread.join()


def _signal_group(proc: subprocess.Popen, sig: int) -> None:
    try:
        os.killpg(proc.pid, sig)
    except (ProcessLookupError, PermissionError):
        pass
