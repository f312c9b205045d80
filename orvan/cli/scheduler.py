"""Runs a plan's jobs: each as soon as the upstream jobs it reads have
succeeded, never more at once than the executor has slots for."""

from __future__ import annotations

import heapq
import signal
import threading
import time
from concurrent.futures import FIRST_COMPLETED, Future, wait
from dataclasses import dataclass
from typing import Callable

from . import jobfiles
from .catalog import DONE, FAILED, INTERRUPTED, NOT_RUN, Catalog
from .executors import Executor, Outcome, WorkerTask
from .plan import Job, JobId, Plan
from .report import Progress

# How often the live progress line is redrawn while nothing finishes.
REFRESH_SECONDS = 0.5


@dataclass
class JobResult:
    status: str
    error: str | None = None
    took: float | None = None
    log: str | None = None


Prepare = Callable[[str, Plan, Job, "float | None"], WorkerTask]


class Scheduler:
    def __init__(
        self,
        plan: Plan,
        to_run: list[JobId],
        *,
        catalog: Catalog,
        row_ids: dict[JobId, int],
        executor: Executor,
        out_dir: str,
        timeout: float | None,
        progress: Progress,
        prepare: Prepare = jobfiles.prepare,
    ):
        self.plan = plan
        self.catalog = catalog
        self.row_ids = row_ids
        self.executor = executor
        self.out_dir = out_dir
        self.timeout = timeout
        self.progress = progress
        self.prepare = prepare
        self.results: dict[JobId, JobResult] = {}
        self.interrupted = False

        selected = set(to_run)
        self._downstream: dict[JobId, list[JobId]] = {jid: [] for jid in selected}
        # Upstream jobs outside the run are fresh: nothing to wait for.
        self._waiting: dict[JobId, int] = {}
        for jid in to_run:
            deps = [d for d in plan.jobs[jid].deps if d in selected]
            self._waiting[jid] = len(deps)
            for d in deps:
                self._downstream[d].append(jid)
        self._ready = [(plan.jobs[j].index, j) for j in to_run if self._waiting[j] == 0]
        heapq.heapify(self._ready)
        self._running: dict[Future[Outcome], tuple[JobId, WorkerTask, float]] = {}

    def run(self) -> dict[JobId, JobResult]:
        try:
            while self._ready or self._running:
                while self._ready and len(self._running) < self.executor.slots:
                    self._start(heapq.heappop(self._ready)[1])
                if not self._running:
                    continue
                done, _ = wait(list(self._running), timeout=REFRESH_SECONDS, return_when=FIRST_COMPLETED)
                for future in done:
                    self._finish(future)
                self.progress.tick()
        except KeyboardInterrupt:
            self._stop()
        finally:
            self.progress.close()
        return self.results

    def _start(self, jid: JobId) -> None:
        job = self.plan.jobs[jid]
        self.catalog.job_started(self.row_ids[jid])
        self.progress.started(job.label)
        t0 = time.monotonic()
        try:
            task = self.prepare(self.out_dir, self.plan, job, self.timeout)
            future = self.executor.submit(task)
        except (jobfiles.InputError, OSError) as e:
            self._settle(jid, FAILED, str(e), time.monotonic() - t0, None)
            return
        self._running[future] = (jid, task, t0)

    def _finish(self, future: Future[Outcome]) -> None:
        jid, task, t0 = self._running.pop(future)
        outcome = future.result()
        took = time.monotonic() - t0
        if outcome.ok:
            jobfiles.discard_kwargs(task)
            self._settle(jid, DONE, None, took, task.log_path)
            for down in self._downstream[jid]:
                self._waiting[down] -= 1
                if self._waiting[down] == 0:
                    heapq.heappush(self._ready, (self.plan.jobs[down].index, down))
        else:
            status = INTERRUPTED if outcome.interrupted else FAILED
            self._settle(jid, status, outcome.error, took, task.log_path)

    def _settle(self, jid: JobId, status: str, error: str | None, took: float | None, log: str | None) -> None:
        if status != NOT_RUN:
            self.catalog.job_finished(self.row_ids[jid], status, error)
        self.results[jid] = JobResult(status, error, took, log)
        self.progress.finished_job(self.plan.jobs[jid].label, status, error, took, log)
        if status in (FAILED, INTERRUPTED):
            self._skip_downstream(jid)

    def _skip_downstream(self, failed: JobId) -> None:
        """Every job that needs `failed`, directly or not, will not run."""
        reason = f"upstream {self.plan.jobs[failed].label} failed"
        stack = list(self._downstream[failed])
        skipped = []
        while stack:
            jid = stack.pop()
            if jid in self.results:
                continue
            self.results[jid] = JobResult(NOT_RUN, reason)
            skipped.append(jid)
            stack.extend(self._downstream[jid])
        if skipped:
            self.catalog.jobs_settled([self.row_ids[j] for j in skipped], NOT_RUN, reason)
            for jid in sorted(skipped, key=lambda j: self.plan.jobs[j].index):
                self.progress.finished_job(self.plan.jobs[jid].label, NOT_RUN, reason, None, None)

    def _stop(self) -> None:
        """Ctrl-C: stop the workers, record what they were doing, and mark
        everything that had not started as not run."""
        self.interrupted = True
        previous = None
        if threading.current_thread() is threading.main_thread():
            # A second Ctrl-C must not cut the bookkeeping short.
            previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
        try:
            self.executor.shutdown(cancel=True)
            for future in list(self._running):
                self._finish(future)
            left = [j for j in self._waiting if j not in self.results]
            reason = "the run was interrupted"
            if left:
                self.catalog.jobs_settled([self.row_ids[j] for j in left], NOT_RUN, reason)
                for jid in left:
                    self.results[jid] = JobResult(NOT_RUN, reason)
        finally:
            if previous is not None:
                signal.signal(signal.SIGINT, previous)
