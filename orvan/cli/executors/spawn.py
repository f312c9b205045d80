"""The spawn executor: every job is a fresh `python -m orvan.worker` process."""

from __future__ import annotations

import signal
import subprocess
import threading
import time
from concurrent.futures import Future

from .base import STOP_GRACE_SECONDS, Executor, Outcome, WorkerTask, append_to_log, read_outcome, signal_group, worker_command


class SpawnExecutor(Executor):
    """Each task is a worker process in its own session (so that Ctrl-C at the
    terminal reaches only the runner, which then stops workers deliberately),
    watched by a thread that enforces the timeout."""

    def __init__(self, slots: int, *, cwd: str, env: dict[str, str]):
        self.slots = max(1, slots)
        self._cwd = cwd
        self._env = env
        self._lock = threading.Lock()
        self._running: dict[int, subprocess.Popen[bytes]] = {}
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

    def _watch(self, task: WorkerTask, proc: subprocess.Popen[bytes], future: Future[Outcome]) -> None:
        try:
            try:
                returncode = proc.wait(timeout=task.timeout)
            except subprocess.TimeoutExpired:
                signal_group(proc.pid, signal.SIGKILL)
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
