"""Runs a plan's jobs: each as soon as the upstream jobs it reads have
succeeded, never more at once than the executor has slots for.

A job whose code is unchanged but whose upstream jobs had to rerun is decided
when it becomes ready: if the upstream values it reads came out with the same
hashes as those it was computed from, it is fresh and is not run."""

from __future__ import annotations

import heapq
import random
import signal
import threading
import time
from concurrent.futures import FIRST_COMPLETED, Future, wait
from dataclasses import dataclass
from collections.abc import Mapping
from typing import TYPE_CHECKING, Callable

from . import jobfiles
from ...catalog import DONE, FAILED, FRESH, INTERRUPTED, NOT_RUN, Catalog
from ...store import durable
from ..config import JobSettings
from .executors import Executor, Outcome, WorkerTask
from .freshness import Decision, Verdict, input_changes
from ..plan.jobs import Job, JobId, Plan
from ..report import Progress

if TYPE_CHECKING:
    from .storefiles import StoredJobs

@dataclass
class JobResult:
    status: str
    error: str | None = None
    took: float | None = None
    log: str | None = None
    attempt: int = 1


class RetryPolicy:
    """Whether, and after how long, a failed attempt is tried again.

    The delay doubles with each attempt and is scaled by a random factor
    between 0.5 and 1.5, so that jobs which failed together (a flaky
    service) do not all come back at the same instant.
    """

    def __init__(self, settings: Callable[[str], JobSettings], jitter: Callable[[], float] = random.random):
        self.settings = settings
        self.jitter = jitter

    def delay(self, key: str, attempt: int) -> float | None:
        """Seconds to wait before attempt `attempt + 1`, or None for no more."""
        s = self.settings(key)
        if attempt > s.retries:
            return None
        return float(s.retry_delay * 2 ** (attempt - 1) * (0.5 + self.jitter()))


Prepare = Callable[[str, Plan, Job, "float | None", jobfiles.ValueReader], WorkerTask]


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
        verdicts: Mapping[JobId, Verdict] | None = None,
        settings: Callable[[str], JobSettings] | None = None,
        after_success: Callable[[JobId, str], str | None] | None = None,
        stored: Callable[[Mapping[JobId, str]], StoredJobs] | None = None,
    ):
        self.plan = plan
        self.catalog = catalog
        # The files a success is recorded with reach the disk before its row
        # is committed (looked up at each batch, so that a test can fail it).
        catalog.writes.sync = lambda files: durable.make_durable(files)
        self.row_ids = row_ids
        self.executor = executor
        self.out_dir = out_dir
        self.timeout = timeout
        self.progress = progress
        self.prepare = prepare
        # Told of each success and its value's hash; a reason keeps the
        # job's downstream from running (a failed blocking check).
        self.after_success = after_success
        self.results: dict[JobId, JobResult] = {}
        self.interrupted = False
        # Why the executor can run no more jobs, once it cannot.
        self.lost: str | None = None
        self.settings = settings or (lambda key: JobSettings(timeout=timeout))
        self.retry = RetryPolicy(self.settings)
        self._attempt: dict[JobId, int] = {}
        # (when due, plan index, job): failed attempts waiting to be retried
        self._delayed: list[tuple[float, int, JobId]] = []
        self.verdicts = verdicts or {}
        # job -> hash of its stored value, for the jobs settled so far
        self.hashes: dict[JobId, str] = {
            j: v.value_hash for j, v in self.verdicts.items() if v.decision == Decision.FRESH and v.value_hash
        }
        self.reader = jobfiles.ValueReader(out_dir, plan, self.hashes)
        # With a remote store, jobs read their inputs on their own host.
        self.stored = stored(self.hashes) if stored is not None else None
        self._downstream: dict[JobId, list[JobId]] = {}
        self._waiting: dict[JobId, int] = {}
        self._ready: list[tuple[int, JobId]] = []
        self._wire(to_run)
        # future -> (job, task, monotonic start, wall-clock start)
        self._running: dict[Future[Outcome], tuple[JobId, WorkerTask, float, float]] = {}

    def _wire(self, to_run: list[JobId]) -> None:
        selected = set(to_run)
        self._downstream = {jid: [] for jid in selected}
        # Upstream jobs outside the run are fresh: nothing to wait for.
        for jid in to_run:
            deps = [d for d in self.plan.jobs[jid].deps if d in selected]
            self._waiting[jid] = len(deps)
            for d in deps:
                self._downstream[d].append(jid)
        self._ready = [(self.plan.jobs[j].index, j) for j in to_run if self._waiting[j] == 0]
        heapq.heapify(self._ready)

    def run(self) -> dict[JobId, JobResult]:
        try:
            while self._ready or self._running or self._delayed:
                self._release_due()
                while self._ready and len(self._running) < self.executor.slots:
                    jid = heapq.heappop(self._ready)[1]
                    if self._waiting[jid] == 0:  # else it waits again, for a redone input
                        self._start(jid)
                pause = self.progress.interval
                if self._delayed:
                    pause = max(0.0, min(pause, self._delayed[0][0] - time.monotonic()))
                due = self.catalog.writes.due_in()
                if due is not None:
                    pause = min(pause, due)
                if self._running:
                    done, _ = wait(list(self._running), timeout=pause, return_when=FIRST_COMPLETED)
                    for future in done:
                        self._finish(future)
                elif self._delayed and not self._ready:
                    time.sleep(pause)
                self.catalog.writes.flush(due_only=True)
                self.progress.tick()
                self.lost = self.executor.lost()
                if self.lost is not None:
                    self._stop(self.lost)
                    break
        except KeyboardInterrupt:
            self._stop()
        finally:
            self.progress.close()
        return self.results

    def _unchanged(self, job: Job) -> bool:
        """Whether a job whose code is unchanged read exactly the upstream
        values that are stored now."""
        verdict = self.verdicts.get(job.id)
        if verdict is None or verdict.decision != Decision.CHECK or verdict.value_hash is None:
            return False
        return not input_changes(job, verdict.inputs, {d: self.hashes.get(d) for d in job.deps})

    def _release_due(self) -> None:
        now = time.monotonic()
        while self._delayed and self._delayed[0][0] <= now:
            _, index, jid = heapq.heappop(self._delayed)
            heapq.heappush(self._ready, (index, jid))

    def _start(self, jid: JobId) -> None:
        job = self.plan.jobs[jid]
        if self._unchanged(job):
            self.hashes[jid] = self.verdicts[jid].value_hash or ""
            self._settle(jid, FRESH, None, None, None)
            held = self.after_success(jid, self.hashes[jid]) if self.after_success is not None else None
            if held is not None:
                self._skip_downstream(jid, FRESH, held)
                return
            self._release(jid)
            return
        t0, wall = time.monotonic(), time.time()
        try:
            # The job's directory is cleared here: only the last attempt's files stay.
            timeout = self.settings(job.key).timeout
            if self.stored is not None:
                task = self.stored.prepare(job, timeout, self._attempt.get(jid, 1))
            else:
                task = self.prepare(self.out_dir, self.plan, job, timeout, self.reader)
        except jobfiles.DamagedValue as e:
            if not self._redo(e.job):
                self._fail_at_start(jid, f"{e}; removed, the next run redoes it", t0)
            return
        except (jobfiles.InputError, OSError) as e:
            self._fail_at_start(jid, str(e), t0)
            return
        self._attempt_started(jid)
        self.progress.started(job.label, task.log_path)
        try:
            future = self.executor.submit(task)
        except OSError as e:
            self._settle(jid, FAILED, str(e), time.monotonic() - t0, None)
            return
        self._running[future] = (jid, task, t0, wall)

    def _attempt_started(self, jid: JobId) -> None:
        attempt = self._attempt.setdefault(jid, 1)
        if attempt == 1:
            self.catalog.job_started(self.row_ids[jid])
        else:
            self.catalog.job_retrying(self.row_ids[jid], attempt)

    def _fail_at_start(self, jid: JobId, error: str, t0: float) -> None:
        self._attempt_started(jid)
        self.progress.started(self.plan.jobs[jid].label, None)
        self._settle(jid, FAILED, error, time.monotonic() - t0, None)

    def _redo(self, damaged: JobId) -> bool:
        """An upstream value found damaged as it was read: remove it and run
        its job again in this run, before every job still to start that reads
        it. False when that job is not one this run can redo."""
        jobfiles.clear(jobfiles.job_dir(self.out_dir, self.plan.jobs[damaged]))
        if damaged in self._waiting or damaged not in self.row_ids:
            return False  # already run in this run: it was damaged since
        self.hashes.pop(damaged, None)
        self.reader.verified.discard(damaged)
        readers = [j for j in self._waiting if j not in self.results and damaged in self.plan.jobs[j].deps
                   and not any(j == r for r, _, _, _ in self._running.values())]
        self._downstream[damaged] = readers
        for j in readers:
            self._waiting[j] += 1
        self._waiting[damaged] = 0
        self.progress.total += 1
        heapq.heappush(self._ready, (self.plan.jobs[damaged].index, damaged))
        return True

    def _damaged_input(self, jid: JobId, outcome: Outcome, took: float, task: WorkerTask) -> bool:
        """An upstream value in the store that the job's host found damaged:
        removed from the store, and redone before the job runs again, as a
        damaged value in the output directory is. False if it is not one of
        the job's inputs."""
        if self.stored is None:
            return False
        upstream = self.stored.input_named(self.plan.jobs[jid], outcome.damaged, self.hashes)
        if upstream is None:
            return False
        self.stored.store.delete([outcome.damaged or ""])
        if not self._redo(upstream):
            self._settle(jid, FAILED, f"{outcome.error}; removed, the next run redoes it", took, task.log_path)
        return True

    def _release(self, jid: JobId) -> None:
        for down in self._downstream[jid]:
            self._waiting[down] -= 1
            if self._waiting[down] == 0:
                heapq.heappush(self._ready, (self.plan.jobs[down].index, down))

    def _succeeded(self, jid: JobId, task: WorkerTask, took: float, stored: tuple[int, str] | None) -> None:
        job = self.plan.jobs[jid]
        try:
            # A value in a remote store was hashed on its way there, and is
            # committed by the done row alone.
            sealed = jobfiles.seal(task.out_dir, job.asset.record.serializer) if stored is None \
                else jobfiles.Sealed(stored[0], stored[1], ())
        except OSError as e:
            self._settle(jid, FAILED, f"its value could not be stored: {e}", took, task.log_path)
            return
        jobfiles.discard_kwargs(task)
        self.hashes[jid] = sealed.digest
        self.reader.verified.add(jid)
        inputs = {d: self.hashes[d] for d in job.deps if d in self.hashes}
        # Its files reach the disk with the batch its done row is committed in.
        self.catalog.job_finished(self.row_ids[jid], DONE, None, value=(sealed.size, sealed.digest),
                                  inputs=inputs, parts=job.parts, durable=sealed.files)
        self._report(jid, JobResult(DONE, None, took, task.log_path, self._attempt.get(jid, 1)))
        held = self.after_success(jid, sealed.digest) if self.after_success is not None else None
        if held is not None:
            self._skip_downstream(jid, DONE, held)
            return
        self._release(jid)

    def _finish(self, future: Future[Outcome]) -> None:
        jid, task, t0, wall = self._running.pop(future)
        outcome = future.result()
        took = time.monotonic() - t0
        if outcome.damaged is not None and self._damaged_input(jid, outcome, took, task):
            return
        if self._retried(jid, outcome, wall):
            return
        if outcome.ok:
            self._succeeded(jid, task, took, outcome.value)
        else:
            status = INTERRUPTED if outcome.interrupted else FAILED
            self._settle(jid, status, outcome.error, took, task.log_path)

    def _retried(self, jid: JobId, outcome: Outcome, wall: float) -> bool:
        """Record an attempt of a job that is or was retried; whether the
        job goes back to wait for another attempt."""
        attempt = self._attempt[jid]
        if not outcome.ok and not outcome.interrupted and not self.interrupted:
            delay = self.retry.delay(jid[0], attempt)
            if delay is not None:
                self.catalog.attempt_ended(self.row_ids[jid], attempt, FAILED, wall, outcome.error)
                self.progress.retrying(self.plan.jobs[jid].label, attempt, outcome.error, delay)
                self._attempt[jid] = attempt + 1
                heapq.heappush(self._delayed, (time.monotonic() + delay, self.plan.jobs[jid].index, jid))
                return True
        if attempt > 1:
            status = DONE if outcome.ok else INTERRUPTED if outcome.interrupted else FAILED
            self.catalog.attempt_ended(self.row_ids[jid], attempt, status, wall, outcome.error)
        return False

    def _settle(self, jid: JobId, status: str, error: str | None, took: float | None, log: str | None) -> None:
        if status == FRESH:
            self.catalog.jobs_settled([self.row_ids[jid]], FRESH, None)
        elif status != NOT_RUN:
            self.catalog.job_finished(self.row_ids[jid], status, error)
        self._report(jid, JobResult(status, error, took, log, self._attempt.get(jid, 1)))
        if status in (FAILED, INTERRUPTED):
            self._skip_downstream(jid, status)

    def _report(self, jid: JobId, result: JobResult) -> None:
        self.results[jid] = result
        self.progress.finished_job(self.plan.jobs[jid].label, result.status, result.error, result.took, result.log,
                                   result.attempt)

    def _skip_downstream(self, failed: JobId, status: str, reason: str | None = None) -> None:
        """Every job that needs `failed`, directly or not, will not run."""
        how = "was interrupted" if status == INTERRUPTED else "failed"
        reason = reason or f"upstream {self.plan.jobs[failed].label} {how}"
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

    def _stop(self, reason: str = "the run was interrupted") -> None:
        """Ctrl-C, or an executor lost: stop the workers, record what they
        were doing, and mark everything that had not started as not run."""
        self.interrupted = True
        previous = None
        if threading.current_thread() is threading.main_thread():
            # A second Ctrl-C must not cut the bookkeeping short.
            previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
        try:
            self.executor.shutdown(cancel=True)
            for future in list(self._running):
                self._finish(future)
            for _, _, jid in sorted(self._delayed):
                self._settle(jid, INTERRUPTED, "interrupted while waiting to retry", None, None)
            self._delayed.clear()
            left = [j for j in self._waiting if j not in self.results]
            if left:
                self.catalog.jobs_settled([self.row_ids[j] for j in left], NOT_RUN, reason)
                for jid in left:
                    self.results[jid] = JobResult(NOT_RUN, reason)
        finally:
            if previous is not None:
                signal.signal(signal.SIGINT, previous)
