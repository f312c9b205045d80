"""`orvan run`: decide which jobs are fresh, run the others, report."""

from __future__ import annotations

import json
import os
import signal
import sys
import time
from argparse import Namespace
from collections import Counter
from types import FrameType
from typing import Literal

from . import naming
from .catalog import FAILED, FRESH, INTERRUPTED, NOT_RUN, PENDING, Catalog, RunLock
from .pipeline import FAILURES, OK, choose_jobs, load
from .config import Settings, load_settings, resolve_isolation, resolve_modules, resolve_out
from .discovery import child_env
from .executors import Executor
from .executors.orphans import stop_orphans
from .executors.forkserver import ForkServerExecutor
from .executors.spawn import SpawnExecutor
from .freshness import Decision, assess
from .graph import Graph
from .plan import Job, JobId, Plan
from .report import Progress, summary
from .scheduler import JobResult, Scheduler


def cmd_run(args: Namespace) -> int:
    directory = os.getcwd()
    modules = resolve_modules(args.modules, directory)
    out_dir = resolve_out(args.out, directory)
    isolation = resolve_isolation(args.isolation, directory)
    graph, plan = load(modules, directory)
    chosen = choose_jobs(graph, plan, args.select, args.partition)
    jobs = chosen.jobs
    forced = {job.id for job in chosen.targets} if args.force else set()
    settings = load_settings(
        directory, {"retries": args.retries, "retry_delay": args.retry_delay, "timeout": args.timeout})
    progress = Progress(len(jobs), 0, sys.stdout, live=sys.stdout.isatty(),
                        quiet=args.quiet, verbose=args.verbose)

    lock = RunLock(out_dir)
    try:
        catalog = Catalog.in_dir(out_dir)
        try:
            executor = make_executor(isolation, args.jobs, directory)
            return _run(catalog, executor, graph, plan, jobs, forced, modules, out_dir, settings, progress)
        finally:
            catalog.close()
    finally:
        lock.release()


def make_executor(isolation: str, slots: int, directory: str) -> Executor:
    kind = ForkServerExecutor if isolation == "fork" else SpawnExecutor
    return kind(slots, cwd=directory, env=child_env(directory))


def _run(catalog: Catalog, executor: Executor, graph: Graph, plan: Plan, jobs: list[Job], forced: set[JobId],
         modules: list[str], out_dir: str, settings: Settings, progress: Progress) -> int:
    # Whatever an earlier, killed runner left half done is settled first, so
    # that it counts as not finished below; its workers must not write into
    # directories that this run is about to redo.
    stop_orphans({os.path.join(out_dir, naming.job_relpath(key, json.loads(part) if part else {}))
                  for key, part in catalog.abandoned_jobs()})
    catalog.close_abandoned_runs()
    verdicts = assess(plan, catalog.last_attempts(), out_dir, forced)
    fresh = {job.id for job in jobs if verdicts[job.id].decision == Decision.FRESH}
    run_id = catalog.start_run(modules, sys.argv)
    rows = catalog.add_jobs(run_id, [(j.key, j.id[1], j.fingerprint, FRESH if j.id in fresh else PENDING, None)
                                     for j in jobs])
    scheduler = Scheduler(
        plan, [job.id for job in jobs if job.id not in fresh],
        catalog=catalog, row_ids={job.id: row for job, row in zip(jobs, rows)}, executor=executor,
        out_dir=out_dir, timeout=None, settings=settings.for_asset, progress=progress, verdicts=verdicts,
    )
    progress.skipped_fresh(len(fresh))
    t0 = time.monotonic()
    with _SigtermAsInterrupt() as stop:
        results = scheduler.run()
    executor.shutdown(cancel=False)

    statuses = Counter(r.status for r in results.values())
    if scheduler.interrupted:
        run_status = "interrupted"
    elif statuses[FAILED] or statuses[INTERRUPTED] or statuses[NOT_RUN]:
        run_status = "failed"
    else:
        run_status = "ok"
    catalog.finish_run(run_id, run_status)

    _summarise(progress, graph, jobs, results, time.monotonic() - t0, run_id)
    if scheduler.interrupted:
        return 128 + (stop.signum or signal.SIGINT)
    return OK if run_status == "ok" else FAILURES


def _summarise(progress: Progress, graph: Graph, jobs: list[Job], results: dict[JobId, JobResult],
               elapsed: float, run_id: int) -> None:
    if not jobs:
        progress.write(f"run {run_id}: no jobs")
        return
    fresh = JobResult(FRESH)
    lines = []
    for job in jobs:
        r = results.get(job.id, fresh)
        lines.append((job.key, job.label, r.status, r.error, r.log, r.attempt))
    progress.write(summary(list(graph.assets), lines, elapsed, run_id))


class _SigtermAsInterrupt:
    """SIGTERM stops a run the way Ctrl-C does (workers stopped, catalog
    settled) rather than killing the runner outright."""

    def __init__(self) -> None:
        self.signum = 0
        self._previous: signal._HANDLER = None

    def _handler(self, signum: int, frame: FrameType | None) -> None:
        self.signum = signum
        raise KeyboardInterrupt

    def __enter__(self) -> _SigtermAsInterrupt:
        self._previous = signal.signal(signal.SIGTERM, self._handler)
        return self

    def __exit__(self, *exc: object) -> Literal[False]:
        signal.signal(signal.SIGTERM, self._previous)
        return False
