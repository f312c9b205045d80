"""The fork server executor: jobs are children forked by one helper process.

A spawned worker pays for a fresh interpreter and its imports on every job;
the fork server (orvan/_forkserver.py) pays for them once per run and forks a
child per job, which is as isolated as a spawned worker: its own process and
process group, its own files and log, nothing shared back. The run's modules
are imported once too, in the server, unless switched off or unfit to share
(orvan/_warm.py); a job whose sources changed since the plan is refused.

If the server dies, the jobs it was running fail (their process groups are
killed, in case any outlived it) and the next job starts a new server, so the
run goes on. If the runner dies, the server sees its input close and kills
every job it runs before exiting.
"""

from __future__ import annotations

import heapq
import json
import signal
import subprocess
import sys
import threading
import time
from concurrent.futures import Future, wait
from dataclasses import dataclass, field
from typing import IO, Callable

from ....process import signal_group
from .base import (STOP_GRACE_SECONDS, Executor, Imports, Outcome, WorkerTask, append_to_log, discard_partial,
                   read_outcome, worker_command)
from .orphans import process_start


def worker_args(task: WorkerTask) -> list[str]:
    """The worker stub's arguments for the task: those the spawn executor
    gives `python -m orvan.worker`, whatever they grow to include."""
    return worker_command(task)[3:]


def how_it_ended(returncode: int) -> str:
    if returncode < 0:
        try:
            return f"killed by signal {signal.Signals(-returncode).name}"
        except ValueError:
            return f"killed by signal {-returncode}"
    return f"exit status {returncode}"


@dataclass
class _Job:
    task: WorkerTask
    future: Future[Outcome] = field(default_factory=Future)
    pid: int | None = None
    timed_out: bool = False


# How a job's end reaches the executor: its exit status, or None and why not.
_Ended = Callable[["_Job", "int | None", "str | None"], None]


class _Server:
    """One server process, its request pipe and the thread reading its replies."""

    def __init__(self, cwd: str, env: dict[str, str], on_end: _Ended, on_start: Callable[[_Job], None]):
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "orvan._forkserver"], cwd=cwd, env=env,
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, start_new_session=True,
        )
        assert self.proc.stdin is not None and self.proc.stdout is not None
        self._requests = self.proc.stdin
        self.jobs: dict[int, _Job] = {}
        self.lock = threading.Lock()
        self.alive = True
        self._on_end = on_end
        self._on_start = on_start
        # What its warm import could not share; None if the server died first.
        self.warmed: Future[dict[str, str] | None] = Future()
        self._reader = threading.Thread(target=self._read, args=(self.proc.stdout,), daemon=True)
        self._reader.start()

    def send(self, message: dict[str, object]) -> bool:
        try:
            self._requests.write(json.dumps(message).encode() + b"\n")
            self._requests.flush()
            return True
        except (BrokenPipeError, ValueError, OSError):
            return False  # the server is gone; the reader settles its jobs

    def _read(self, replies: IO[bytes]) -> None:
        for line in replies:
            message = json.loads(line)
            if "warmed" in message:
                self.warmed.set_result(message["warmed"])
                continue
            with self.lock:
                job = self.jobs.get(message["id"])
                if job is None:
                    continue
                if "pid" in message:
                    job.pid = message["pid"]
                    self._on_start(job)
                    continue
                del self.jobs[message["id"]]
            self._on_end(job, message["exit"], None)
        self._died()

    def _died(self) -> None:
        status = self.proc.wait()
        if not self.warmed.done():
            self.warmed.set_result(None)
        try:
            self._requests.close()
        except OSError:
            pass
        with self.lock:
            self.alive = False
            orphans = list(self.jobs.values())
            self.jobs.clear()
        for job in orphans:
            if job.pid is not None:
                signal_group(job.pid, signal.SIGKILL)
            self._on_end(job, None, f"the fork server stopped ({how_it_ended(status)}) while the job ran")

    def close(self) -> None:
        """Ask the server to end: it kills any job still running, then exits."""
        try:
            self._requests.close()
        except OSError:
            pass
        self.proc.wait()
        self._reader.join()


class ForkServerExecutor(Executor):
    """Jobs run as children of a fork server that this executor starts (again,
    should it die) and ends at shutdown."""

    def __init__(self, slots: int, *, cwd: str, env: dict[str, str]):
        self.slots = max(1, slots)
        self._cwd = cwd
        self._env = env
        self._lock = threading.Lock()
        self._server: _Server | None = None
        self._next_id = 0
        self._cancelling = False
        self._deadlines = _Deadlines(self._time_out)
        self._imports = Imports({}, [])

    def prepare(self, imports: Imports) -> None:
        """Start the server and have it import the run's modules; should one
        of them not be fit to share, start another without it."""
        self._imports = imports
        while self._imports.warm:
            with self._lock:
                server = self._server = self._new_server()
            unsafe = server.warmed.result()
            if not unsafe:
                return  # done, or the server died: the next job starts another
            for module, why in unsafe.items():
                print(f"orvan: {module} {why}: its jobs import it afresh each (warm imports off for it)",
                      file=sys.stderr)
            warm = [m for m in self._imports.warm if m not in unsafe]
            self._imports = Imports(self._imports.sources, warm, self._imports.cold)
            with self._lock:
                self._server = None
            server.close()

    def _new_server(self) -> _Server:
        server = _Server(self._cwd, self._env, self._ended, self._started)
        self._helper_started(server.proc.pid)
        if self._imports.sources:
            server.send({"op": "warm", "modules": self._imports.warm, "sources": self._imports.sources})
        return server

    def submit(self, task: WorkerTask) -> Future[Outcome]:
        # Created here, as the spawn executor does: a job whose log cannot be
        # written fails at once, with the reason, rather than in the child.
        open(task.log_path, "wb").close()
        job = _Job(task)
        with self._lock:
            server, job_id = self._register(job)
        cold = task.module not in self._imports.warm or (task.module, task.function) in self._imports.cold
        server.send({"op": "run", "id": job_id, "argv": worker_args(task), "log": task.log_path, "cold": cold})
        if task.timeout is not None:
            self._deadlines.add(time.monotonic() + task.timeout, server, job_id)
        return job.future

    def _register(self, job: _Job) -> tuple[_Server, int]:
        """Hand the job to a live server, starting one if need be. Checked and
        registered under the server's lock, so that a server found dead in
        between never takes with it a job it was not told about."""
        while True:
            server = self._server
            if server is None or not server.alive:
                server = self._server = self._new_server()
            self._next_id += 1
            with server.lock:
                if server.alive:
                    server.jobs[self._next_id] = job
                    return server, self._next_id

    def _helper_started(self, pid: int) -> None:
        # The server ends when its input closes, which a server stopped
        # (SIGSTOP) when the runner is killed never sees: the next run ends it.
        started = process_start(pid)
        if self.on_helper is not None and started is not None:
            self.on_helper(pid, started)

    def _started(self, job: _Job) -> None:
        # Recorded so that a later run can stop exactly this process group,
        # should the runner and this server both die before the job ends.
        started = process_start(job.pid) if job.pid is not None else None
        if self.on_process is not None and job.pid is not None and started is not None:
            self.on_process(job.task, job.pid, started)

    def _ended(self, job: _Job, status: int | None, error: str | None = None) -> None:
        task = job.task
        if job.timed_out:
            outcome = Outcome(False, f"timed out after {task.timeout:g} s; the worker was killed", pid=job.pid)
        elif status is None:
            outcome = Outcome(False, error, pid=job.pid)
        else:
            outcome = read_outcome(task, status)
            outcome = Outcome(outcome.ok, outcome.error, outcome.interrupted, pid=job.pid)
        if not outcome.ok and self._cancelling:
            outcome = Outcome(False, "interrupted", interrupted=True, pid=job.pid)
        if not outcome.ok:
            discard_partial(task, outcome)
            append_to_log(task.log_path, outcome.error)
        job.future.set_result(outcome)

    def _time_out(self, server: _Server, job_id: int) -> None:
        with server.lock:
            job = server.jobs.get(job_id)
            if job is None:
                return
            job.timed_out = True
        server.send({"op": "signal", "id": job_id, "sig": int(signal.SIGKILL)})

    def _signal_all(self, sig: int) -> list[Future[Outcome]]:
        server = self._server
        if server is None:
            return []
        with server.lock:
            running = list(server.jobs.items())
        for job_id, _ in running:
            server.send({"op": "signal", "id": job_id, "sig": int(sig)})
        return [job.future for _, job in running]

    def shutdown(self, *, cancel: bool) -> None:
        if cancel:
            self._cancelling = True
            futures = self._signal_all(signal.SIGTERM)
            wait(futures, timeout=STOP_GRACE_SECONDS)
            self._signal_all(signal.SIGKILL)
        with self._lock:
            server, self._server = self._server, None
        if server is not None:
            server.close()
        self._deadlines.stop()


class _Deadlines:
    """One thread that kills jobs whose time is up."""

    def __init__(self, expire: Callable[[_Server, int], None]):
        self._expire = expire
        self._heap: list[tuple[float, int, _Server]] = []
        self._cond = threading.Condition()
        self._thread: threading.Thread | None = None
        self._stopped = False

    def add(self, when: float, server: _Server, job_id: int) -> None:
        with self._cond:
            heapq.heappush(self._heap, (when, job_id, server))
            if self._thread is None:
                self._thread = threading.Thread(target=self._run, daemon=True)
                self._thread.start()
            self._cond.notify()

    def _run(self) -> None:
        with self._cond:
            while not self._stopped:
                now = time.monotonic()
                if self._heap and self._heap[0][0] <= now:
                    _, job_id, server = heapq.heappop(self._heap)
                    self._expire(server, job_id)
                    continue
                self._cond.wait(self._heap[0][0] - now if self._heap else None)

    def stop(self) -> None:
        with self._cond:
            self._stopped = True
            self._cond.notify()
        if self._thread is not None:
            self._thread.join()
