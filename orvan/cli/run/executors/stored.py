"""Jobs whose values live in a remote store: around the job itself, its host
fetches the upstream values it reads and uploads what it leaves.

`run_stored` is that wrapping, for any way of running the job on this host;
`StoredExecutor` applies it to the local executors, on threads of its own,
so that transfers never hold up the scheduler. The Dask tasks apply it on
the worker's host (dask_task.py)."""

from __future__ import annotations

import os
import threading
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import replace
from typing import Callable

from ....store.base import StoreError
from ....store.naming import INPUTS_FILE, KWARGS_FILE
from ....store.local import CHECKS_FILE
from ....store.transfer import DamagedInput, commit, commit_files, open_spec, request_checks, stage_inputs
from ..jobfiles import write_arguments
from .base import Executor, HelperStarted, Imports, Outcome, ProcessStarted, WorkerTask, append_to_log


def _tidy(task: WorkerTask) -> None:
    """The store holds the value now; the scratch copies are not needed."""
    names = [task.kwargs_path, task.refs_path, os.path.join(task.out_dir, task.store["value_file"]),
             os.path.join(task.out_dir, CHECKS_FILE)] if task.store else []
    names += [os.path.join(task.out_dir, n) for n in os.listdir(task.out_dir) if n.startswith(".input-")]
    for path in names:
        if path:
            try:
                os.unlink(path)
            except OSError:
                pass


def run_stored(task: WorkerTask, run: Callable[[WorkerTask], Outcome]) -> Outcome:
    """Fetch the job's inputs into its directory, run it, store what it
    left. The job succeeds only once its value is in the store."""
    spec = task.store
    assert spec is not None
    try:
        store = open_spec(spec["store"])
        kwargs, refs = stage_inputs(store, spec, task.out_dir)
        request_checks(store, spec, task.out_dir)
    except (StoreError, OSError) as e:
        append_to_log(task.log_path, str(e))
        return Outcome(False, str(e), damaged=e.name if isinstance(e, DamagedInput) else None)
    task = replace(task, kwargs_path=write_arguments(task.out_dir, KWARGS_FILE, kwargs),
                   refs_path=write_arguments(task.out_dir, INPUTS_FILE, refs))
    outcome = run(task)
    if outcome.ok:
        try:
            value = commit(store, spec, task.out_dir)
        except (StoreError, OSError) as e:
            outcome = Outcome(False, f"its value could not be stored: {e}", pid=outcome.pid)
            append_to_log(task.log_path, outcome.error)
        else:
            _tidy(task)
            return replace(outcome, value=value)
    try:
        commit_files(store, spec, task.out_dir)
    except (StoreError, OSError):
        pass  # the job has failed already, and says why
    return outcome


class StoredExecutor(Executor):
    """A local executor whose jobs' values live in a remote store.

    It takes twice the jobs the inner executor runs at once: a job's
    transfers (its inputs before it, its files after) overlap other jobs'
    running, while no more than the inner executor's slots run at a time."""

    def __init__(self, inner: Executor):
        self.inner = inner
        self.slots = 2 * max(1, inner.slots)
        # A thread per job in hand: each waits on its job between transfers.
        self._pool = ThreadPoolExecutor(self.slots, thread_name_prefix="orvan-store")
        self._running = threading.BoundedSemaphore(max(1, inner.slots))
        # The local executors take their tasks from one thread at a time.
        self._submitting = threading.Lock()
        self._cancelled = False

    @property  # forwarded to the executor that starts the processes
    def on_process(self) -> ProcessStarted | None:
        return self.inner.on_process

    @on_process.setter
    def on_process(self, value: ProcessStarted | None) -> None:
        self.inner.on_process = value

    @property  # the fork server's own process, recorded as the runner's helper
    def on_helper(self) -> HelperStarted | None:
        return self.inner.on_helper

    @on_helper.setter
    def on_helper(self, value: HelperStarted | None) -> None:
        self.inner.on_helper = value

    def prepare(self, imports: Imports) -> None:
        self.inner.prepare(imports)

    def begin_run(self, run_id: int) -> None:
        self.inner.begin_run(run_id)

    def submit(self, task: WorkerTask) -> Future[Outcome]:
        return self._pool.submit(self._run, task)

    def _run(self, task: WorkerTask) -> Outcome:
        try:
            return run_stored(task, self._run_here)
        except BaseException as e:  # the future must resolve with an outcome
            return Outcome(False, f"could not run the job with its store: {e!r}")

    def _run_here(self, task: WorkerTask) -> Outcome:
        with self._running:
            if self._cancelled:  # waited for a slot while the run was stopped
                return Outcome(False, "interrupted before it started", interrupted=True)
            with self._submitting:
                future = self.inner.submit(task)
            return future.result()

    def shutdown(self, *, cancel: bool) -> None:
        self._cancelled |= cancel
        self.inner.shutdown(cancel=cancel)
        self._pool.shutdown(wait=True)
