"""The spawn executor: every job is a fresh `python -m orvan.worker` process."""

from __future__ import annotations

import json
import math
import os
import select
import signal
import subprocess
import threading
import time
from concurrent.futures import Future

from ....process import guarded_env, signal_group
from ....checked_imports import SOURCES_ENV
from .base import (STOP_GRACE_SECONDS, Executor, Imports, Outcome, WorkerTask, append_to_log, discard_partial,
                   read_outcome, worker_command)
from .orphans import process_start


class SpawnExecutor(Executor):
    """Each task is a worker process in its own session (so that Ctrl-C at the
    terminal reaches only the runner, which then stops workers deliberately),
    watched by a thread that enforces the timeout and, once the worker has
    exited, ends whatever else is left in its process group."""

    def __init__(self, slots: int, *, cwd: str, env: dict[str, str]):
        self.slots = max(1, slots)
        self._cwd = cwd
        # The worker stops itself should this process die (see orvan.worker).
        self._env = guarded_env(env)
        self._lock = threading.Lock()
        self._running: dict[int, subprocess.Popen[bytes]] = {}
        self._threads: list[threading.Thread] = []
        self._cancelling = False
        self._sources: dict[str, str] = {}

    def prepare(self, imports: Imports) -> None:
        # Each worker refuses a local source that is not what the plan read.
        self._sources = {m: json.dumps(files) for m, files in imports.sources.items()}

    def submit(self, task: WorkerTask) -> Future[Outcome]:
        future: Future[Outcome] = Future()
        with open(task.log_path, "wb") as log:
            proc = subprocess.Popen(
                worker_command(task),
                cwd=self._cwd,
                env=dict(self._env, **{SOURCES_ENV: self._sources.get(task.module, "{}")}),
                stdin=subprocess.DEVNULL,
                stdout=log,
                stderr=subprocess.STDOUT,
                start_new_session=True,
            )
        # Read before the watcher can reap it: until then the pid is the worker's.
        started = process_start(proc.pid)
        with self._lock:
            self._running[proc.pid] = proc
            self._threads = [t for t in self._threads if t.is_alive()]
            thread = threading.Thread(target=self._watch, args=(task, proc, future), daemon=True)
            self._threads.append(thread)
        thread.start()
        if self.on_process is not None and started is not None:
            self.on_process(task, proc.pid, started)
        return future

    def _watch(self, task: WorkerTask, proc: subprocess.Popen[bytes], future: Future[Outcome]) -> None:
        try:
            exited = wait_unreaped(proc, task.timeout)
            # The leader is not reaped yet, so its pid still names its group:
            # a daemon the job forked must not outlive it, nor a timed-out job.
            signal_group(proc.pid, signal.SIGKILL)
            returncode = proc.wait()
            if not exited:
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
            discard_partial(task, outcome)
            append_to_log(task.log_path, outcome.error)
        future.set_result(outcome)

    def shutdown(self, *, cancel: bool) -> None:
        if cancel:
            with self._lock:
                self._cancelling = True
                procs = list(self._running.values())
            for proc in procs:
                signal_group(proc.pid, signal.SIGTERM)
            deadline = time.monotonic() + STOP_GRACE_SECONDS
            for thread in list(self._threads):
                thread.join(max(0.0, deadline - time.monotonic()))
            with self._lock:
                procs = list(self._running.values())
            for proc in procs:
                signal_group(proc.pid, signal.SIGKILL)
        for thread in list(self._threads):
            thread.join()


def wait_unreaped(proc: subprocess.Popen[bytes], timeout: float | None) -> bool:
    """Wait until the process has exited, without reaping it; False on timeout.
    Where there is no pidfd, fall back to reaping it (its group may then be
    found empty, which is the common case anyway)."""
    try:
        fd = os.pidfd_open(proc.pid)
    except (AttributeError, OSError):
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return False
        return True
    try:
        poller = select.poll()
        poller.register(fd, select.POLLIN)
        return bool(poller.poll(None if timeout is None else math.ceil(timeout * 1000)))
    finally:
        os.close(fd)
