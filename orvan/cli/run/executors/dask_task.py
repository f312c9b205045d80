"""What a Dask worker runs for orvan: one job, as a worker process on the
worker's host, watched until it ends.

Only these functions (sent by reference: orvan is installed on the workers)
and plain data travel through the cluster. The pipeline's code is imported
by the job process from the project directory, and its values stay in files
on the storage the runner and the workers share.
"""

from __future__ import annotations

import json
import os
import select
import signal
import socket
import subprocess
import sys
import time
import uuid
from typing import Any

from dataclasses import replace

from ....process import signal_group
from ....store.naming import LOG_FILE
from .base import Outcome, WorkerTask, append_to_log, log_tail, read_outcome, worker_command

# Created by the first attempt at a job, removed by the runner once it has the
# outcome: a second attempt (the engine retries a task whose worker died)
# finds it and fails instead of running the job again.
ATTEMPT_FILE = "attempt.json"

# How often a running job's task looks for a timeout or a cancellation.
POLL_SECONDS = 0.2

WORKER_DIED = "the worker running this job died"


def run_task(fields: dict[str, Any], project_dir: str, cancel_event: str, grace: float) -> dict[str, Any]:
    """The task body: claim the attempt, run the job, report its outcome as plain data."""
    task = WorkerTask(**fields)
    if task.store is not None:
        return _run_with_store(task, project_dir, cancel_event, grace)
    return _report(_run_here(task, project_dir, cancel_event, grace))


def _run_here(task: WorkerTask, project_dir: str, cancel_event: str, grace: float) -> Outcome:
    earlier = claim(task)
    if earlier is not None:
        outcome = Outcome(False, earlier + log_tail(task.log_path))
    else:
        outcome = _launched(task, project_dir, cancel_event, grace)
    if not outcome.ok:
        append_to_log(task.log_path, outcome.error)
    return outcome


def _launched(task: WorkerTask, project_dir: str, cancel_event: str, grace: float) -> Outcome:
    try:
        proc = launch(task, project_dir)
    except OSError as e:
        return Outcome(False, f"could not start the worker on {socket.gethostname()}: {e}")
    try:
        return supervise(task, proc, _Cancellation(cancel_event), grace)
    finally:
        if proc.poll() is None:  # the task itself failed: leave nothing running
            signal_group(proc.pid, signal.SIGKILL)
            proc.wait()


def _run_with_store(task: WorkerTask, project_dir: str, cancel_event: str, grace: float) -> dict[str, Any]:
    """The job in a scratch directory of this host, its inputs fetched from
    the store and its files uploaded there: nothing of the runner's output
    directory is needed here."""
    import shutil
    import tempfile

    from .stored import run_stored

    scratch = tempfile.mkdtemp(prefix="orvan-job-")
    try:
        task = replace(task, out_dir=scratch, log_path=os.path.join(scratch, LOG_FILE))
        return _report(run_stored(task, lambda t: _run_here(t, project_dir, cancel_event, grace)))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def _report(outcome: Outcome) -> dict[str, Any]:
    return {"ok": outcome.ok, "error": outcome.error, "interrupted": outcome.interrupted,
            "value": None if outcome.value is None else list(outcome.value), "damaged": outcome.damaged}


def claim(task: WorkerTask) -> str | None:
    """None when this is the job's first attempt; otherwise why it must not run.

    O_EXCL creation is atomic on local file systems and on NFS v3 and later,
    so of two attempts at most one ever starts the job; a store's
    conditional create is, where it has one."""
    mine = {"host": socket.gethostname(), "pid": os.getpid()}
    if task.store is not None and task.store.get("claim"):
        return _claim_in_store(task.store, mine)
    path = os.path.join(task.out_dir, ATTEMPT_FILE)
    try:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
    except FileExistsError:
        try:
            with open(path, encoding="utf-8") as f:
                first = json.load(f)
            where = f" (on {first['host']}, process {first['pid']})"
        except (OSError, ValueError, KeyError, TypeError):
            where = ""
        return f"{WORKER_DIED}{where}; it was not started again, since its first attempt may still have been writing"
    with os.fdopen(fd, "w", encoding="utf-8") as f:
        json.dump(mine, f)
    return None


def _claim_in_store(spec: dict[str, Any], mine: dict[str, Any]) -> str | None:
    from ....store.transfer import open_spec

    store = open_spec(spec["store"])
    if store.put(spec["claim"], json.dumps(mine).encode(), create=True):
        return None
    try:
        first = json.loads(store.read(spec["claim"]))
        where = f" (on {first['host']}, process {first['pid']})"
    except Exception:
        where = ""
    return f"{WORKER_DIED}{where}; it was not started again, since its first attempt may still have been writing"


def launch(task: WorkerTask, project_dir: str) -> subprocess.Popen[bytes]:
    """The same worker command as on the runner's host, in its own process
    group, watching this process so that it stops if this worker dies."""
    cmd = worker_command(task)
    at = cmd.index("orvan.worker")
    cmd[at:at + 1] = ["orvan.watched_worker", str(os.getpid())]
    env = dict(os.environ)
    env["PYTHONPATH"] = project_dir + (os.pathsep + env["PYTHONPATH"] if env.get("PYTHONPATH") else "")
    with open(task.log_path, "wb") as log:
        return subprocess.Popen(
            cmd,
            # Where the project is not at the same path, it must be installed.
            cwd=project_dir if os.path.isdir(project_dir) else None,
            env=env,
            stdin=subprocess.DEVNULL,
            stdout=log,
            stderr=subprocess.STDOUT,
            start_new_session=True,
        )


def supervise(task: WorkerTask, proc: subprocess.Popen[bytes], cancellation: _Cancellation,
              grace: float) -> Outcome:
    with _ExitWatch(proc) as exited:
        return _supervise(task, proc, exited, cancellation, grace)


def _supervise(task: WorkerTask, proc: subprocess.Popen[bytes], exited: _ExitWatch, cancellation: _Cancellation,
               grace: float) -> Outcome:
    deadline = None if task.timeout is None else time.monotonic() + task.timeout
    while True:
        step = POLL_SECONDS if deadline is None else max(0.0, min(POLL_SECONDS, deadline - time.monotonic()))
        returncode = exited.wait(step)
        if returncode is not None:
            return read_outcome(task, returncode)
        if deadline is not None and time.monotonic() >= deadline:
            signal_group(proc.pid, signal.SIGKILL)
            proc.wait()
            return Outcome(False, f"timed out after {task.timeout:g} s; the worker was killed")
        if cancellation.requested():
            stop(proc, grace)
            return Outcome(False, "interrupted", interrupted=True)


class _ExitWatch:
    """Waits for the job's exit with a timeout, woken at the exit itself where
    Linux offers a descriptor for the process: `Popen.wait(timeout)` polls
    with sleeps of up to 50 ms, a large share of a short job."""

    def __init__(self, proc: subprocess.Popen[bytes]):
        self._proc = proc
        self._poll: select.poll | None = None
        try:
            fd = os.pidfd_open(proc.pid)
        except (AttributeError, OSError):  # not Linux, or an old kernel
            return
        self._fd = fd
        self._poll = select.poll()
        self._poll.register(fd, select.POLLIN)

    def wait(self, timeout: float) -> int | None:
        """The exit status, or None while it runs on after `timeout` seconds."""
        try:
            if self._poll is None:
                return self._proc.wait(timeout=timeout)
            if self._poll.poll(timeout * 1000) or self._proc.poll() is not None:
                return self._proc.wait()
            return None
        except subprocess.TimeoutExpired:
            return None

    def __enter__(self) -> _ExitWatch:
        return self

    def __exit__(self, *exc: object) -> None:
        if self._poll is not None:
            os.close(self._fd)


def stop(proc: subprocess.Popen[bytes], grace: float) -> None:
    signal_group(proc.pid, signal.SIGTERM)
    try:
        proc.wait(timeout=grace)
    except subprocess.TimeoutExpired:
        signal_group(proc.pid, signal.SIGKILL)
        proc.wait()


class _Cancellation:
    """Whether the runner wants this job stopped: it sets the run's event on
    Ctrl-C, and cancels a single task whose outcome it gave up waiting for."""

    def __init__(self, event_name: str):
        self._name = event_name
        self._event: Any = None

    def requested(self) -> bool:
        from distributed import Event, get_worker

        try:
            if self._event is None:
                self._event = Event(self._name)  # type: ignore[no-untyped-call]  # distributed leaves it untyped
            if self._event.is_set():
                return True
            worker = get_worker()
            # Not public API, so only a second line of defence: a task whose
            # future was cancelled, or whose runner vanished, is let go here.
            state = worker.state.tasks.get(worker.get_current_task())
            return state is None or state.state in ("cancelled", "released", "forgotten")
        except Exception:  # the scheduler out of reach: keep the job; its timeout still holds
            return False


def probe_storage(out_dir: str, token: str) -> tuple[str, str]:
    """Run on every worker before a run: leaves a file in the output directory
    for the runner to read back, which proves both see the same storage."""
    host = socket.gethostname()
    if not os.path.isdir(out_dir):
        raise FileNotFoundError(f"{out_dir} does not exist on {host}")
    # Unique per call: workers may share a process (a cluster of threads).
    name = f".orvan-probe-{token}-{host}-{os.getpid()}-{uuid.uuid4().hex[:12]}"
    content = f"{token} {host} {os.getpid()} {sys.version.split()[0]}"
    path = os.path.join(out_dir, name)
    with open(path, "w", encoding="utf-8") as f:
        f.write(content)
    with open(path, encoding="utf-8") as f:
        if f.read() != content:
            raise OSError(f"{path} reads back differently on {host}")
    return name, content


def probe_store(store: dict[str, Any], token: str) -> tuple[str, str]:
    """Run on every worker before a run with a remote store: leaves an object
    there for the runner to read back, which proves both reach the same store
    (and that this worker has the store's client installed)."""
    from ....store.transfer import open_spec

    host = socket.gethostname()
    name = f".orvan-probe/{token}-{host}-{os.getpid()}-{uuid.uuid4().hex[:12]}"
    content = f"{token} {host} {os.getpid()} {sys.version.split()[0]}"
    open_spec(store).put(name, content.encode(), create=False)
    return name, content
