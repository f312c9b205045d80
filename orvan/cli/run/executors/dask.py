"""The Dask executor: every job is a task on a Dask cluster, which runs the
worker command on the worker's host (dask_task.py).

Imported only when this executor is chosen; `distributed` comes from the
`orvan[dask]` extra. What the runner and the workers must share is the output
directory (job directories, logs), or else a remote store (`--store`), which
the workers fetch from and upload to themselves: the catalog stays on the
runner's disk.
"""

from __future__ import annotations

import itertools
import os
import signal
import threading
import time
import uuid
from concurrent.futures import Future
from dataclasses import asdict, dataclass, field, replace
from typing import Any

from .base import STOP_GRACE_SECONDS, Executor, Outcome, WorkerTask, log_tail
from .dask_task import ATTEMPT_FILE, POLL_SECONDS, WORKER_DIED, run_task
from .dask_setup import SetupError, check_cluster, open_client

# Past the worker's grace, how long a stopped job's task may stay silent
# before the runner stops waiting for it (the cluster may be slow to report,
# or the worker lost).
ANSWER_SLACK_SECONDS = 5.0
# The same for a job past its timeout. The worker's own timeout answers for
# it, and a loaded cluster may take many seconds to deliver that answer; only
# a worker that went silent meets this net, so it can afford to wait.
TIMEOUT_SLACK_SECONDS = 30.0


@dataclass
class _Pending:
    task: WorkerTask
    remote: Any  # distributed.Future
    outcome: Future[Outcome] = field(default_factory=Future)
    started: float | None = None  # when its attempt marker was first seen


class DaskExecutor(Executor):
    """Submits each job as a task keyed by the run, so that concurrent runs
    on one cluster never share a key (Dask would merge equal keys into one
    task), and resolves the job's future when its task ends."""

    def __init__(self, client: Any, cluster: Any, slots: int, project_dir: str):
        self.slots = max(1, slots)
        self._client = client
        self._cluster = cluster
        self._project_dir = project_dir
        self._address = str(getattr(client.scheduler, "address", None) or "")
        self._scheduler_lost = False
        self._token = uuid.uuid4().hex[:12]
        self._run_id = 0
        self._numbers = itertools.count()
        self._lock = threading.Lock()
        self._pending: dict[str, _Pending] = {}
        self._cancelling = False
        self._closed = False
        self._watch_stop = threading.Event()
        self._watcher = threading.Thread(target=self._watch_timeouts, name="orvan-dask-timeouts", daemon=True)
        self._watcher.start()

    @property
    def cancel_event(self) -> str:
        return f"orvan-{self._token}-cancel"

    def begin_run(self, run_id: int) -> None:
        self._run_id = run_id

    def submit(self, task: WorkerTask) -> Future[Outcome]:
        key = f"orvan-{self._run_id}-{next(self._numbers)}-{self._token}"
        if task.store is not None:
            # The attempt marker lives in the store, named after this task alone.
            task = replace(task, store={**task.store, "claim": f"{task.store['relpath']}/{key}.{ATTEMPT_FILE}"})
        else:
            # A marker left by an earlier run would read as a dead first attempt.
            _remove(os.path.join(task.out_dir, ATTEMPT_FILE))
        remote = self._client.submit(run_task, asdict(task), self._project_dir, self.cancel_event,
                                     STOP_GRACE_SECONDS, key=key, pure=False, retries=0)
        pending = _Pending(task, remote)
        with self._lock:
            self._pending[key] = pending
        remote.add_done_callback(lambda f: self._resolve(key, f))
        return pending.outcome

    def _resolve(self, key: str, remote: Any) -> None:
        try:
            outcome = self._outcome_of(key, remote)
        except BaseException as e:  # the job's future must resolve whatever happens
            outcome = Outcome(False, f"could not read the outcome from the cluster: {e!r}")
        self._settle(key, outcome)

    def _outcome_of(self, key: str, remote: Any) -> Outcome:
        with self._lock:
            pending = self._pending.get(key)
        log = "" if pending is None else log_tail(pending.task.log_path)
        if remote.status == "finished":
            result = remote.result()
            value = result.get("value")
            return Outcome(bool(result["ok"]), result["error"], bool(result["interrupted"]),
                           value=None if value is None else (int(value[0]), str(value[1])),
                           damaged=result.get("damaged"))
        if self._cancelling:
            return Outcome(False, "interrupted", interrupted=True)
        lost = self.lost(remote)
        if lost is not None:
            return Outcome(False, lost, interrupted=True)
        if remote.status == "error":
            error = remote.exception()
            if type(error).__name__ == "KilledWorker":
                return Outcome(False, WORKER_DIED + log)
            return Outcome(False, f"the cluster could not run this job: {type(error).__name__}: {error}{log}")
        return Outcome(False, f"the cluster dropped this job ({remote.status}){log}")

    def lost(self, remote: Any = None) -> str | None:
        # The client cancels every task it submitted as soon as it loses the
        # scheduler, and closes itself once it has failed to reconnect within
        # the connect timeout. Tasks resubmitted after a reconnect would
        # start from nothing: the run stops either way.
        if remote is not None and _cancel_reason(remote) == "scheduler-connection-lost":
            self._scheduler_lost = True
        if self._closed or not (self._scheduler_lost or self._client.status in ("closing", "closed")):
            return None
        return f"the Dask scheduler at {self._address} was lost"

    def _settle(self, key: str, outcome: Outcome) -> None:
        with self._lock:
            pending = self._pending.pop(key, None)
        if pending is None:  # already settled (by the timeout watch, or by shutdown)
            return
        # Only now: a retry before the outcome arrived must still find it.
        _remove(os.path.join(pending.task.out_dir, ATTEMPT_FILE))
        pending.outcome.set_result(outcome)

    def _watch_timeouts(self) -> None:
        """The safety net behind the worker's own timeout: a job whose task
        is silent well past its time is failed here, and its task cancelled
        (which the task notices, and stops the job)."""
        while not self._watch_stop.wait(0.5):
            now = time.monotonic()
            with self._lock:
                late = [(key, p) for key, p in self._pending.items() if self._overdue(p, now)]
            for key, p in late:
                self._client.cancel(p.remote)
                self._settle(key, Outcome(False, f"timed out after {p.task.timeout:g} s; no answer from "
                                                 "the cluster's worker since, so it was cancelled"))

    @staticmethod
    def _overdue(p: _Pending, now: float) -> bool:
        if p.task.timeout is None:
            return False
        if p.started is None:
            # Timed from the attempt's start, not the submission: on a busy
            # cluster a task may wait long in the queue, which is no fault.
            # With a store, its marker is not on this host: from the submission.
            if p.task.store is not None or os.path.exists(os.path.join(p.task.out_dir, ATTEMPT_FILE)):
                p.started = now
            return False
        return now - p.started > p.task.timeout + STOP_GRACE_SECONDS + POLL_SECONDS + TIMEOUT_SLACK_SECONDS

    def shutdown(self, *, cancel: bool) -> None:
        if cancel and not self._closed:
            self._cancel_all()
        self.close()

    def _cancel_all(self) -> None:
        from distributed import Event

        self._cancelling = True
        with self._lock:
            remote = [p.remote for p in self._pending.values()]
        lost = self.lost()
        if lost is not None:  # nothing to tell: the client has cancelled every task
            with self._lock:
                left = list(self._pending)
            for key in left:
                self._settle(key, Outcome(False, lost, interrupted=True))
            return
        if not remote:
            return
        event = Event(self.cancel_event, client=self._client)  # type: ignore[no-untyped-call]  # untyped in distributed
        try:
            event.set()  # type: ignore[no-untyped-call]
        except Exception:  # the scheduler out of reach: the tasks are let go below
            pass
        self._await_stops(remote)
        try:
            # A set event lives on in the scheduler until cleared.
            event.clear()  # type: ignore[no-untyped-call]
        except Exception:
            pass

    def _await_stops(self, remote: list[Any]) -> None:
        """The tasks stop their jobs (SIGTERM, then SIGKILL after the grace)
        and report; wait for that, then let go of whatever did not answer."""
        deadline = time.monotonic() + STOP_GRACE_SECONDS + 2 * POLL_SECONDS + ANSWER_SLACK_SECONDS
        while time.monotonic() < deadline:
            with self._lock:
                if not self._pending:
                    return
            time.sleep(0.05)
        with self._lock:
            left = list(self._pending)
        self._client.cancel(remote)
        for key in left:
            self._settle(key, Outcome(False, "interrupted; the cluster did not confirm that the job stopped",
                                      interrupted=True))

    def close(self) -> None:
        """Disconnect, and stop the cluster if this run started it."""
        if self._closed:
            return
        self._closed = True
        self._watch_stop.set()
        previous = _ignore_sigint()
        try:
            self._client.close()
            if self._cluster is not None:
                self._cluster.close()
        finally:
            _restore_sigint(previous)


def open_executor(scheduler: str, jobs: int | None, *, project_dir: str, out_dir: str,
                  store: dict[str, Any] | None = None) -> DaskExecutor:
    """Connect to the scheduler (or start a local cluster) and check that it
    can run this pipeline; raises `SetupError` saying why not."""
    client, cluster = open_client(scheduler, jobs)
    try:
        slots = check_cluster(client, out_dir, jobs, store)
    except BaseException:
        client.close()
        if cluster is not None:
            cluster.close()
        raise
    return DaskExecutor(client, cluster, slots, project_dir)


__all__ = ["DaskExecutor", "SetupError", "open_executor"]


def _cancel_reason(remote: Any) -> str | None:
    """Why the client cancelled a task, as distributed records it."""
    reason = getattr(getattr(getattr(remote, "_state", None), "exception", None), "reason", None)
    return reason if isinstance(reason, str) else None


def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


def _ignore_sigint() -> Any:
    if threading.current_thread() is not threading.main_thread():
        return None
    return signal.signal(signal.SIGINT, signal.SIG_IGN)


def _restore_sigint(previous: Any) -> None:
    if previous is not None:
        signal.signal(signal.SIGINT, previous)
