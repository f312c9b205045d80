"""`orvan run`: decide which jobs are fresh, run the others, report."""

from __future__ import annotations

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
                        catalog_of)
from ..plan.pipeline import (FAILURES, OK, Chosen, CommandError, Loaded, cached_scans, choose_jobs, keep_scans,
                             load_report)
from ..config import (Settings, StoreSetting, load_settings, project_directory, resolve_executor,
                      resolve_isolation, resolve_modules, resolve_out, resolve_store)
from ..inspect.discovery import child_env
from .executors.orphans import stop_processes
from .freshness import Decision, Verdict, assess, store_sizes
from ..plan.graph import Graph
from ..plan.jobs import Job, JobId, Plan
from ..report import Progress, did_you_mean, display_path, summary

if TYPE_CHECKING:
    from collections.abc import Callable, Mapping

    from ...catalog import Attempt
    from ...store import Store
    from .storefiles import StoredJobs

    from .checkrun import RunChecks
    from .executors import Executor, WorkerTask
    from .executors.base import Imports
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
    early = _Early.begin(out_dir)
    try:
        loaded = load_report(modules, directory, scans=cached_scans(modules, directory, out_dir))
        chosen = choose_jobs(loaded.graph, loaded.plan, args.select, args.partition)
        _warn(chosen, settings, list(loaded.graph.assets))
        progress = Progress(len(chosen.jobs), 0, sys.stdout, live=sys.stdout.isatty(),
                            quiet=args.quiet, verbose=args.verbose)
        if early is None:
            early = _Early(out_dir)
        keep_scans(out_dir, modules, directory, loaded)
        checks = _checks(loaded, out_dir, directory, store)
        if getattr(args, "checks_only", False):
            from .checkrun import checks_only

            return checks_only(early.catalog, loaded.plan, chosen.targets, checks, out_dir, progress, store)
        def executor() -> Executor:
            return store.wrap(_executor(executor_name, scheduler, isolation, args.jobs, directory, out_dir,
                                        store.setting), executor_name)
        return _run(early.catalog, executor, loaded, chosen.jobs, _forced(chosen, args),
                    modules, out_dir, settings, progress, None, checks=checks, store=store)
    finally:
        if early is not None:
            early.close()


def _warn(chosen: Chosen, settings: Settings, keys: list[str]) -> None:
    """What the run leaves aside that the user may have meant it to cover."""
    note = chosen.left_out_note()
    if note:
        print(f"orvan run: note: {note}", file=sys.stderr)
    for pattern in settings.unmatched(keys):
        print(f"orvan run: warning: [tool.orvan.assets.{pattern!r}] matches no asset{did_you_mean(pattern, keys)}",
              file=sys.stderr)


def _checks(loaded: Loaded, out_dir: str, directory: str, store: _RunStore | None = None) -> RunChecks | None:
    """The run's asset checks, if the pipeline declares any."""
    if '"checks":[' not in loaded.report:
        return None
    from .checkrun import RunChecks, specs_of

    specs = specs_of(loaded.report, loaded.graph)
    return RunChecks(specs, loaded.plan, out_dir, directory, store.store if store else None) if specs else None


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

    def assess(self, plan: Plan, attempts: Mapping[JobId, Attempt], out_dir: str,
               forced: set[JobId]) -> dict[JobId, Verdict]:
        return assess(plan, attempts, out_dir, forced, store_sizes(self.store, plan, attempts))

    def wrap(self, executor: Executor, name: str) -> Executor:
        if self.store is None or name == "dask":  # a Dask task does its transfers itself
            return executor
        from .executors.stored import StoredExecutor

        return StoredExecutor(executor)

    def jobs(self, out_dir: str, plan: Plan, run_id: int, checks: RunChecks | None
             ) -> Callable[[Mapping[JobId, str]], StoredJobs] | None:
        store, spec = self.store, self.setting.spec()
        if store is None or spec is None:
            return None
        from .storefiles import StoredJobs

        return lambda hashes: StoredJobs(store, spec, out_dir, plan, run_id, hashes, checks)


def _forced(chosen: Chosen, args: Namespace) -> set[JobId]:
    return {job.id for job in chosen.targets} if args.force else set()


class _Early:
    """The run's hold on its output directory: the lock and the catalog,
    with what was left half done settled. For a directory run before, taken
    as soon as the command starts, so that opening the catalog and settling
    what a killed run left overlap the inspection."""

    def __init__(self, out_dir: str, lock_wait: float = 1.0):
        self.lock = catalog_of(out_dir).lock(lock_wait)
        try:
            self.catalog = _open_catalog(out_dir)
        except BaseException:
            self.lock.release()
            raise
        self.catalog.on_full = _SpaceFreer(self.catalog, out_dir)
        try:
            _settle_leftovers(self.catalog)
        except BaseException:
            self.close()
            raise

    @classmethod
    def begin(cls, out_dir: str) -> _Early | None:
        if not catalog_of(out_dir).exists():
            return None  # a first run leaves nothing behind until its plan holds
        return cls(out_dir)

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


def run_planned(out_dir: str, directory: str, modules: list[str], loaded: Loaded, jobs: list[Job],
                settings: Settings, progress: Progress, *, lock_wait: float,
                on_start: Callable[[int], None]) -> int | None:
    """A run of `jobs` exactly as `orvan run` makes it, for a caller that has
    planned them already (`orvan serve`): the run lock (waited for up to
    `lock_wait` seconds), what a killed run left settled, freshness judged
    afresh under the lock. None when, by then, every job is fresh (a run that
    held the lock meanwhile did them): nothing is started. `on_start` is
    given the run's id as it starts."""
    isolation = resolve_isolation(None, directory)
    executor_name, scheduler = resolve_executor(None, None, directory)
    store = _RunStore.open(resolve_store(None, directory), out_dir)
    early = _Early(out_dir, lock_wait)
    try:
        verdicts = store.assess(loaded.plan, early.catalog.last_attempts(), out_dir, set())
        if all(verdicts[job.id].decision == Decision.FRESH for job in jobs):
            return None
        def executor() -> Executor:
            return store.wrap(_executor(executor_name, scheduler, isolation, None, directory, out_dir,
                                        store.setting), executor_name)
        return _run(early.catalog, executor, loaded, jobs, set(), modules, out_dir, settings,
                    progress, verdicts, on_start, _checks(loaded, out_dir, directory, store), store)
    finally:
        early.close()


def _run(catalog: Catalog, executor: Callable[[], Executor], loaded: Loaded, jobs: list[Job],
         forced: set[JobId], modules: list[str], out_dir: str, settings: Settings, progress: Progress,
         verdicts: dict[JobId, Verdict] | None, on_start: Callable[[int], None] | None = None,
         checks: RunChecks | None = None, store: _RunStore | None = None) -> int:
    graph, plan = loaded.graph, loaded.plan
    freer = _SpaceFreer(catalog, out_dir)
    catalog.on_full = freer
    # Read once: the verdicts and, with a remote store, the checks' last values.
    stored_checks = checks if store is not None and store.store is not None else None
    attempts = catalog.last_attempts() if verdicts is None or stored_checks is not None else {}
    if verdicts is None:
        verdicts = (store.assess(plan, attempts, out_dir, forced) if store is not None
                    else assess(plan, attempts, out_dir, forced))
    fresh = {job.id for job in jobs if verdicts[job.id].decision == Decision.FRESH}
    if stored_checks is not None:
        stored_checks.previous = {jid: a.value_hash for jid, a in attempts.items()}
    held = _held_back(checks, plan, jobs, fresh, verdicts)
    todo = [job.id for job in jobs if job.id not in fresh and job.id not in held]
    running = _Running(executor(), checks) if todo else None
    try:
        run_id = freer.run_id = catalog.start_run(modules, sys.argv)
        if on_start is not None:
            on_start(run_id)
        rows = catalog.add_jobs(run_id, [(j.key, j.id[1], j.fingerprint, FRESH if j.id in fresh else
                                          NOT_RUN if j.id in held else PENDING, held.get(j.id)) for j in jobs])
        row_ids = {job.id: row for job, row in zip(jobs, rows)}
        progress.skipped_fresh(len(fresh))
        t0 = time.monotonic()
        try:
            results = running.schedule(loaded, todo, catalog, run_id, row_ids, out_dir, settings, progress,
                                       verdicts, store.jobs(out_dir, plan, run_id, checks) if store else None
                                       ) if running else {}
            results.update({jid: _not_run(why) for jid, why in held.items()})
            run_status = _run_status(running is not None and running.interrupted, results)
            if checks is not None and checks.blocked_any and run_status == "ok":
                run_status = "failed"
            catalog.finish_run(run_id, run_status)
        except CatalogWriteError as e:
            return _stop_unrecordable(catalog, running.executor if running else None, e)
    finally:
        if running is not None:
            running.executor.shutdown(cancel=False)
    _summarise(progress, graph, jobs, results, time.monotonic() - t0, run_id)
    for note in checks.notes if checks is not None else []:
        progress.write(note)
    if running is not None and running.lost:
        print(f"orvan run: error: {running.lost}: the run stopped; the next run redoes what did not finish",
              file=sys.stderr)
        return FAILURES
    if running is not None and running.interrupted:
        return 128 + (running.signum or signal.SIGINT)
    return OK if run_status == "ok" else FAILURES


def _held_back(checks: RunChecks | None, plan: Plan, jobs: list[Job], fresh: set[JobId],
               verdicts: dict[JobId, Verdict]) -> dict[JobId, str]:
    """The jobs not to run because a fresh upstream failed a blocking check
    (its checks are brought up to date first), with the reason."""
    if checks is None:
        return {}
    from .checkrun import downstream_of

    blocked = checks.settle_fresh([j for j in jobs if j.id in fresh], verdicts)
    return downstream_of(plan, blocked, [j.id for j in jobs if j.id not in fresh])


def _not_run(why: str) -> JobResult:
    from .scheduler import JobResult

    return JobResult(NOT_RUN, why)


class _Running:
    """The jobs that are not fresh, scheduled on the executor."""

    def __init__(self, executor: Executor, checks: RunChecks | None = None):
        self.checks = checks
        self.executor = executor
        self.interrupted = False
        self.signum = 0
        self.lost: str | None = None

    def schedule(self, loaded: Loaded, todo: list[JobId], catalog: Catalog, run_id: int, row_ids: dict[JobId, int],
                 out_dir: str, settings: Settings, progress: Progress, verdicts: dict[JobId, Verdict],
                 stored: Callable[[Mapping[JobId, str]], StoredJobs] | None) -> dict[JobId, JobResult]:
        from .scheduler import Scheduler

        plan = loaded.plan
        self.executor.begin_run(run_id)
        by_dir = {jobfiles.job_dir(out_dir, plan.jobs[jid]): row for jid, row in row_ids.items()}
        _record_processes(catalog, self.executor, by_dir, run_id)
        self.executor.prepare(_imports(loaded, todo, settings))
        scheduler = Scheduler(plan, todo, catalog=catalog, row_ids=row_ids, executor=self.executor,
                              out_dir=out_dir, timeout=None, settings=settings.for_asset, progress=progress,
                              verdicts=verdicts, stored=stored,
                              **(self.checks.hooks() if self.checks is not None else {}))
        with _SigtermAsInterrupt() as stop:
            results = scheduler.run()
        self.interrupted, self.signum, self.lost = scheduler.interrupted, stop.signum, scheduler.lost
        self.executor.shutdown(cancel=False)
        return results


def _imports(loaded: Loaded, todo: list[JobId], settings: Settings) -> Imports:
    from .executors.base import Imports

    assets = {loaded.plan.jobs[jid].asset.key: loaded.plan.jobs[jid].asset.record for jid in todo}
    cold = frozenset((r.module, r.function) for key, r in assets.items() if not settings.for_asset(key).warm_imports)
    modules = list(dict.fromkeys(r.module for r in assets.values()))
    warm = [m for m in dict.fromkeys(r.module for r in assets.values() if (r.module, r.function) not in cold)]
    return Imports({m: loaded.deps.sources_of(m) for m in modules}, warm, cold)


def _settle_leftovers(catalog: Catalog) -> None:
    """Whatever an earlier, killed runner left half done is settled first, so
    that it counts as not finished; its job processes (and whatever they
    started in their groups) must not write into directories this run is
    about to redo."""
    stop_processes(catalog.abandoned_processes())
    catalog.close_abandoned_runs()


def _record_processes(catalog: Catalog, executor: Executor, row_by_dir: dict[str, int], run_id: int) -> None:
    def record(task: WorkerTask, pid: int, started: str) -> None:
        catalog.job_process(row_by_dir[task.out_dir], pid, started)
    executor.on_process = record
    executor.on_helper = lambda pid, started: catalog.run_process(run_id, pid, started)


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
        return _writable(out_dir)
    except CatalogError:
        from ...store.space import disk_full  # only when the catalog cannot be opened

        if not disk_full(out_dir):
            raise
    _drop_partial_values(out_dir)
    try:
        return _writable(out_dir)
    except CatalogError as e:
        if disk_full(out_dir):
            raise CatalogError(f"{e}: the disk is full; free some space and run again") from None
        raise


def _writable(out_dir: str) -> Catalog:
    return catalog_of(out_dir).open()


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
            directory = naming.job_dir(self.out_dir, key, naming.token_partition(part))
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
