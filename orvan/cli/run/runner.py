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
from typing import TYPE_CHECKING, Literal

from ...worker import HINT, NOTE, RAISED_AT
from . import jobfiles
from ...store import naming
from ...catalog import (DONE, FAILED, FRESH, INTERRUPTED, NOT_RUN, PENDING, Catalog, CatalogError, CatalogWriteError,
                        RunLock)
from ...store.naming import CATALOG_FILE
from ..plan.pipeline import (ERRORS, FAILURES, OK, Chosen, CommandError, Loaded, choose_jobs, keep_report,
                             load_report, plan_ahead)
from ..config import (Settings, StoreSetting, load_settings, project_directory, resolve_executor,
                      resolve_isolation, resolve_modules, resolve_out, resolve_store)
from ..inspect.discovery import child_env
from .executors.orphans import stop_processes
from .freshness import Decision, Verdict, assess
from ..plan.graph import Graph
from ..plan.jobs import Job, JobId, Plan
from ..report import Progress, display_path, summary

if TYPE_CHECKING:
    from collections.abc import Callable, Mapping

    from ...catalog import Attempt
    from ...store import Store
    from .storefiles import StoredJobs

    from .executors import Executor, WorkerTask
    from .scheduler import JobResult


def cmd_run(args: Namespace) -> int:
    directory = project_directory()
    modules = resolve_modules(args.modules, directory)
    out_dir = resolve_out(args.out, directory)
    isolation = resolve_isolation(args.isolation, directory)
    settings = load_settings(
        directory, {"retries": args.retries, "retry_delay": args.retry_delay, "timeout": args.timeout})
    executor_name, scheduler = resolve_executor(args.executor, args.scheduler, directory)
    store = _RunStore.open(resolve_store(args.store, directory), out_dir)
    early = _Early.begin(out_dir, modules, directory, args, store)
    try:
        loaded = load_report(modules, directory, ahead=early.loaded if early else None)
        chosen = choose_jobs(loaded.graph, loaded.plan, args.select, args.partition)
        progress = Progress(len(chosen.jobs), 0, sys.stdout, live=sys.stdout.isatty(),
                            quiet=args.quiet, verbose=args.verbose)
        if early is None:
            early = _Early(out_dir)
        keep_report(out_dir, modules, directory, loaded, early.loaded)
        verdicts = early.verdicts if early.loaded is loaded else None
        def executor() -> Executor:
            return store.wrap(_executor(executor_name, scheduler, isolation, args.jobs, directory, out_dir,
                                        store.setting), executor_name)
        return _run(early.catalog, executor, loaded.graph, loaded.plan, chosen.jobs, _forced(chosen, args),
                    modules, out_dir, settings, progress, verdicts, store)
    finally:
        if early is not None:
            early.close()


class _RunStore:
    """Where the run's values live: the output directory (`store` None), or
    a remote store its jobs fetch from and upload to on their own hosts."""

    def __init__(self, setting: StoreSetting, store: Store | None):
        self.setting = setting
        self.store = store

    @classmethod
    def open(cls, setting: StoreSetting, out_dir: str) -> _RunStore:
        if setting.url is None:
            return cls(setting, None)
        from ...store import StoreError, open_store

        try:
            return cls(setting, open_store(setting.url, setting.options, out_dir))
        except StoreError as e:
            raise CommandError(str(e)) from None

    def sizes(self, plan: Plan, attempts: Mapping[JobId, Attempt]) -> dict[JobId, int | None] | None:
        if self.store is None:
            return None
        from ...store import StoreError
        from .storefiles import stored_sizes

        try:
            return stored_sizes(self.store, plan, attempts)
        except StoreError as e:
            raise CommandError(f"cannot check the stored values: {e}") from None

    def assess(self, plan: Plan, attempts: Mapping[JobId, Attempt], out_dir: str,
               forced: set[JobId]) -> dict[JobId, Verdict]:
        return assess(plan, attempts, out_dir, forced, self.sizes(plan, attempts))

    def wrap(self, executor: Executor, name: str) -> Executor:
        if self.store is None or name == "dask":  # a Dask task does its transfers itself
            return executor
        from .executors.stored import StoredExecutor

        return StoredExecutor(executor)

    def jobs(self, out_dir: str, plan: Plan, run_id: int) -> Callable[[Mapping[JobId, str]], StoredJobs] | None:
        store, spec = self.store, self.setting.spec()
        if store is None or spec is None:
            return None
        from .storefiles import StoredJobs

        return lambda hashes: StoredJobs(store, spec, out_dir, plan, run_id, hashes)


def _forced(chosen: Chosen, args: Namespace) -> set[JobId]:
    return {job.id for job in chosen.targets} if args.force else set()


class _Early:
    """The run's hold on its output directory: the lock and the catalog,
    with what was left half done settled. For a directory run before, taken
    as soon as the command starts, so that reading the catalog and planning
    from the last inspection report overlap the inspection."""

    def __init__(self, out_dir: str):
        self.lock = RunLock(out_dir)
        try:
            self.catalog = _open_catalog(out_dir)
        except BaseException:
            self.lock.release()
            raise
        self.loaded: Loaded | None = None
        self.verdicts: dict[JobId, Verdict] | None = None
        self.catalog.on_full = _SpaceFreer(self.catalog, out_dir)
        try:
            _settle_leftovers(self.catalog)
        except BaseException:
            self.close()
            raise

    @classmethod
    def begin(cls, out_dir: str, modules: list[str], directory: str, args: Namespace,
              store: _RunStore) -> _Early | None:
        if not os.path.exists(os.path.join(out_dir, CATALOG_FILE)):
            return None  # a first run leaves nothing behind until its plan holds
        early = cls(out_dir)
        try:
            early.loaded = plan_ahead(modules, directory, out_dir)
            if early.loaded is not None:
                chosen = choose_jobs(early.loaded.graph, early.loaded.plan, args.select, args.partition)
                early.verdicts = store.assess(early.loaded.plan, early.catalog.last_attempts(), out_dir,
                                              _forced(chosen, args))
        except ERRORS:
            early.loaded = early.verdicts = None
        return early

    def close(self) -> None:
        try:
            self.catalog.close()
        finally:
            self.lock.release()


def make_executor(isolation: str, slots: int, directory: str) -> Executor:
    # Imported here, as the scheduler is: a run that finds everything fresh
    # starts neither.
    from .executors.forkserver import ForkServerExecutor
    from .executors.spawn import SpawnExecutor

    kind = ForkServerExecutor if isolation == "fork" else SpawnExecutor
    return kind(slots, cwd=directory, env=child_env(directory))


def _executor(name: str, scheduler: str | None, isolation: str, jobs: int | None, directory: str,
              out_dir: str, store: StoreSetting) -> Executor:
    if name == "dask" and scheduler is not None:
        # Only here: Dask takes a second to import, and is an optional extra.
        from .executors.dask_setup import SetupError

        try:
            from .executors.dask import open_executor

            return open_executor(scheduler, jobs, project_dir=directory, out_dir=out_dir, store=store.spec())
        except SetupError as e:
            raise CommandError(str(e)) from None
    return make_executor(isolation, jobs or os.process_cpu_count() or 1, directory)


def _run(catalog: Catalog, executor: Callable[[], Executor], graph: Graph, plan: Plan, jobs: list[Job],
         forced: set[JobId], modules: list[str], out_dir: str, settings: Settings, progress: Progress,
         verdicts: dict[JobId, Verdict] | None, store: _RunStore) -> int:
    freer = _SpaceFreer(catalog, out_dir)
    catalog.on_full = freer
    if verdicts is None:
        verdicts = store.assess(plan, catalog.last_attempts(), out_dir, forced)
    fresh = {job.id for job in jobs if verdicts[job.id].decision == Decision.FRESH}
    todo = [job.id for job in jobs if job.id not in fresh]
    running = _Running(executor()) if todo else None
    try:
        run_id = freer.run_id = catalog.start_run(modules, sys.argv)
        rows = catalog.add_jobs(run_id, [(j.key, j.id[1], j.fingerprint, FRESH if j.id in fresh else PENDING, None)
                                         for j in jobs])
        row_ids = {job.id: row for job, row in zip(jobs, rows)}
        progress.skipped_fresh(len(fresh))
        t0 = time.monotonic()
        try:
            results = running.schedule(plan, todo, catalog, run_id, row_ids, out_dir, settings, progress,
                                       verdicts, store.jobs(out_dir, plan, run_id)) if running else {}
            run_status = _run_status(running is not None and running.interrupted, results)
            catalog.finish_run(run_id, run_status)
        except CatalogWriteError as e:
            return _stop_unrecordable(catalog, running.executor if running else None, e)
    finally:
        if running is not None:
            running.executor.shutdown(cancel=False)
    _summarise(progress, graph, jobs, results, time.monotonic() - t0, run_id)
    if running is not None and running.interrupted:
        return 128 + (running.signum or signal.SIGINT)
    return OK if run_status == "ok" else FAILURES


class _Running:
    """The jobs that are not fresh, scheduled on the executor."""

    def __init__(self, executor: Executor):
        self.executor = executor
        self.interrupted = False
        self.signum = 0

    def schedule(self, plan: Plan, todo: list[JobId], catalog: Catalog, run_id: int, row_ids: dict[JobId, int],
                 out_dir: str, settings: Settings, progress: Progress, verdicts: dict[JobId, Verdict],
                 stored: Callable[[Mapping[JobId, str]], StoredJobs] | None) -> dict[JobId, JobResult]:
        from .scheduler import Scheduler

        self.executor.begin_run(run_id)
        by_dir = {jobfiles.job_dir(out_dir, plan.jobs[jid]): row for jid, row in row_ids.items()}
        _record_processes(catalog, self.executor, by_dir)
        scheduler = Scheduler(plan, todo, catalog=catalog, row_ids=row_ids, executor=self.executor,
                              out_dir=out_dir, timeout=None, settings=settings.for_asset, progress=progress,
                              verdicts=verdicts, stored=stored)
        with _SigtermAsInterrupt() as stop:
            results = scheduler.run()
        self.interrupted, self.signum = scheduler.interrupted, stop.signum
        self.executor.shutdown(cancel=False)
        return results


def _settle_leftovers(catalog: Catalog) -> None:
    """Whatever an earlier, killed runner left half done is settled first, so
    that it counts as not finished; its job processes (and whatever they
    started in their groups) must not write into directories this run is
    about to redo."""
    stop_processes(catalog.abandoned_processes())
    catalog.close_abandoned_runs()


def _record_processes(catalog: Catalog, executor: Executor, row_by_dir: dict[str, int]) -> None:
    def record(task: WorkerTask, pid: int, started: str) -> None:
        catalog.job_process(row_by_dir[task.out_dir], pid, started)
    executor.on_process = record


def _run_status(interrupted: bool, results: dict[JobId, JobResult]) -> str:
    statuses = Counter(r.status for r in results.values())
    if interrupted:
        return "interrupted"
    if statuses[FAILED] or statuses[INTERRUPTED] or statuses[NOT_RUN]:
        return "failed"
    return "ok"


def _summarise(progress: Progress, graph: Graph, jobs: list[Job], results: dict[JobId, JobResult],
               elapsed: float, run_id: int) -> None:
    if not jobs:
        progress.write(f"run {run_id}: no jobs")
        return
    lines: list[tuple[str, str, str, str | None, str | None, int]] = []
    for job in jobs:
        r = results.get(job.id)
        if r is None:  # fresh: it did not run
            lines.append((job.key, job.label, FRESH, None, None, 1))
            continue
        error = _with_location(r.error, r.log) if r.status == FAILED and r.log else r.error
        lines.append((job.key, job.label, r.status, error, r.log, r.attempt))
    for note in value_notes(jobs, results):
        progress.write(note)
    progress.write(summary(list(graph.assets), lines, elapsed, run_id))


def _stop_unrecordable(catalog: Catalog, executor: Executor | None, error: CatalogWriteError) -> int:
    """The catalog cannot take the run's next change (most often: the disk is
    full). Going on would run jobs whose outcome could not be recorded, so stop
    every job, settle what the catalog can still take, and say so."""
    if executor is not None:
        executor.shutdown(cancel=True)
    todo = "free some space and run again" if error.out_of_space else "run again once that is mended"
    print(f"\norvan run: error: {error}", file=sys.stderr)
    try:
        catalog.settle_runs("failed", "the run was stopped: its catalog could not be written")
        print(f"orvan run: the run was stopped, its unfinished jobs recorded as such; {todo}"
              " to redo them", file=sys.stderr)
    except CatalogWriteError:
        print(f"orvan run: the run was stopped, but could not be recorded as such; {todo}:"
              " the next run settles it and redoes what did not finish", file=sys.stderr)
    return FAILURES


def _open_catalog(out_dir: str) -> Catalog:
    """The catalog, for writing. On a full disk it may not even open (its
    log and index need room): then what an earlier, killed run left half
    written is dropped first, found on disk since the catalog cannot say."""
    try:
        return Catalog.in_dir(out_dir)
    except CatalogError:
        from .executors.base import disk_full  # only when the catalog cannot be opened

        if not disk_full(out_dir):
            raise
    _drop_partial_values(out_dir)
    try:
        return Catalog.in_dir(out_dir)
    except CatalogError as e:
        if disk_full(out_dir):
            raise CatalogError(f"{e}: the disk is full; free some space and run again") from None
        raise


def _drop_partial_values(out_dir: str) -> None:
    """Remove every stored value that no success record vouches for: it can
    only be the partial output of a job that failed or was cut short."""
    from .executors.base import read_record_in, remove_values

    for directory, _dirs, _files in os.walk(out_dir):
        record = read_record_in(directory)
        if not (isinstance(record, dict) and record.get("ok") is True):
            remove_values(directory)


class _SpaceFreer:
    """When the disk fills up, what a run can give back without losing
    anything: the files of jobs that did not succeed (never read again) and
    the catalog's write-ahead log."""

    def __init__(self, catalog: Catalog, out_dir: str):
        self.catalog = catalog
        self.out_dir = out_dir
        self.run_id: int | None = None

    def __call__(self) -> None:
        from .executors.base import remove_values

        for key, part in self.catalog.useless_files(self.run_id):
            directory = os.path.join(self.out_dir, naming.job_relpath(key, json.loads(part) if part else {}))
            remove_values(directory)
            try:
                os.unlink(os.path.join(directory, naming.KWARGS_FILE))
            except OSError:
                pass
        self.catalog.checkpoint()


def worker_says(log: str, prefix: str) -> str | None:
    """The last line of the job's log that the worker began with `prefix`."""
    try:
        with open(log, encoding="utf-8", errors="replace") as f:
            lines = [line for line in f if line.startswith(prefix)]
    except OSError:
        return None
    return lines[-1][len(prefix):].strip() if lines else None


def _with_location(error: str | None, log: str) -> str | None:
    """The error, with where the asset raised it or how to avoid it."""
    where = worker_says(log, RAISED_AT)
    if where is not None:
        path, _, line = where.rpartition(":")
        return f"{error}\n    at {display_path(path)}:{line}"
    hint = worker_says(log, HINT)
    return error if hint is None else f"{error}\n    hint: {hint}"


def value_notes(jobs: list[Job], results: dict[JobId, JobResult]) -> list[str]:
    """Once per asset, what the worker noted about the value of its first
    job done: the downstream will read back something else than was returned."""
    notes: list[str] = []
    seen: set[str] = set()
    for job in jobs:
        r = results.get(job.id)
        if job.key in seen or r is None or r.status != DONE or not r.log:
            continue
        seen.add(job.key)
        note = worker_says(r.log, NOTE)
        if note:
            notes.append(f"warning: the value of {job.label} differs once stored as JSON: {note}")
    return notes


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
