"""`orvan status`: whether each job's stored value is fresh, and with
`--why`, every reason a job is not."""

from __future__ import annotations

import gc
import json
import os
from argparse import Namespace
from collections import Counter
from dataclasses import asdict, dataclass
from operator import attrgetter

from .. import undeclared
from ..catalog import CATALOG_FILE, Attempt, Catalog, RunLock
from ..config import project_directory, modules_from_pyproject, resolve_modules, resolve_out
from ..freshness import Verdict, assess
from ..graph import Graph
from ..pipeline import FAILURES, OK, choose_jobs, load, select
from ..plan import Job, JobId, Plan
from ..report import format_table, when
from ..states import State

ORDER = [State.FRESH, State.STALE, State.FAILED, State.INTERRUPTED, State.BLOCKED, State.MISSING, State.RUNNING]
# Counted in the summary line even when none are.
ALWAYS_COUNTED = (State.FRESH, State.STALE, State.FAILED, State.MISSING)


@dataclass
class JobStatus:
    asset: str
    partition: dict[str, str]
    label: str
    state: str
    last_attempt: float | None  # when it ended, Unix seconds
    attempts: int  # how many attempts the last materialisation took (0: never run)
    error: str | None
    reasons: list[str]  # why it is not fresh, as `status --why` words it


@dataclass
class _Loaded:
    graph: Graph
    plan: Plan
    jobs: list[Job]  # the selected ones
    attempts: dict[JobId, Attempt]
    numbers: dict[JobId, int]


def _load(args: Namespace, directory: str, out_dir: str) -> _Loaded:
    catalog = Catalog.in_dir(out_dir, create=False) if os.path.exists(os.path.join(out_dir, CATALOG_FILE)) else None
    try:
        modules = args.modules or modules_from_pyproject(directory) or (catalog.last_modules() if catalog else [])
        graph, plan = load(resolve_modules(modules, directory), directory)
        jobs = choose_jobs(graph, plan, args.select, args.partition).targets
        attempts, numbers = catalog.latest() if catalog else ({}, {})
    finally:
        if catalog:
            catalog.close()
    return _Loaded(graph, plan, sorted(jobs, key=attrgetter("index")), attempts, numbers)


def _error(verdict: Verdict, attempt: Attempt | None) -> str | None:
    if verdict.state in (State.FAILED, State.INTERRUPTED) and attempt:
        return attempt.error or "runner stopped"
    return None


def _statuses(loaded: _Loaded, verdicts: dict[JobId, Verdict]) -> list[JobStatus]:
    result = []
    for job in loaded.jobs:
        verdict, attempt = verdicts[job.id], loaded.attempts.get(job.id)
        result.append(JobStatus(job.key, job.partition, job.label, verdict.state,
                                attempt.ended_at if attempt else None, loaded.numbers.get(job.id, 0),
                                _error(verdict, attempt), [r.text for r in verdict.reasons]))
    return result


def cmd_status(args: Namespace) -> int:
    # What status builds (several objects per job) lives until it ends, and
    # none of it is garbage: the collector's passes over it as it grows took
    # a second per 100,000 jobs, to free nothing.
    enabled = gc.isenabled()
    gc.disable()
    try:
        return _status(args)
    finally:
        if enabled:
            gc.enable()


def _status(args: Namespace) -> int:
    directory = project_directory()
    out_dir = resolve_out(args.out, directory)
    loaded = _load(args, directory, out_dir)
    # Every job is assessed: a job's verdict depends on its upstream's.
    verdicts = assess(loaded.plan, loaded.attempts, out_dir, alive=RunLock.active(out_dir))
    counts = Counter(verdicts[job.id].state for job in loaded.jobs)
    why = getattr(args, "why", None)
    if args.json:
        print(json.dumps({"jobs": [asdict(s) for s in _statuses(loaded, verdicts)],
                          "counts": {s: counts[s] for s in ORDER}}, indent=2, ensure_ascii=False))
    else:
        orphans = undeclared.find(loaded.plan, out_dir)
        if why is not None:
            _print_why(loaded.graph, loaded.plan, verdicts, orphans, why)
        else:
            _print_table(loaded, verdicts)
        print(", ".join(f"{counts[s]} {s}" for s in ORDER if counts[s] or s in ALWAYS_COUNTED)
              + f" ({len(loaded.jobs)} jobs)")
        if orphans and why is None:
            print(f"{len(orphans)} stored values no longer declared (status --why lists them, orvan clean removes them)")
    # Scripts gate on the plain form: anything but fresh needs a run. --why
    # explains; it has done its job when it has said why.
    return OK if why is not None or counts[State.FRESH] == len(loaded.jobs) else FAILURES


def _print_table(loaded: _Loaded, verdicts: dict[JobId, Verdict]) -> None:
    rows = []
    for job in loaded.jobs:
        verdict, attempt = verdicts[job.id], loaded.attempts.get(job.id)
        ended = attempt.ended_at if attempt else None
        rows.append([job.key, job.partition_label or "-", verdict.state, when(ended) if ended else "-",
                     loaded.numbers.get(job.id, 0) or "-", _error(verdict, attempt) or ""])
    if rows:
        print(format_table(["asset", "partition", "state", "last attempt", "tries", "error"], rows, numeric={4}))


def _print_why(graph: Graph, plan: Plan, verdicts: dict[JobId, Verdict],
               orphans: list[tuple[undeclared.Stored, str]], keys: list[str]) -> None:
    # A key no longer declared may still be asked about, for its stored files.
    gone = {stored.key for stored, _ in orphans} - set(graph.assets)
    declared = [k for k in keys if k not in gone]
    wanted = (set(select(graph.assets, declared)) if declared else set()) | (gone & set(keys)) if keys else None
    for job in plan.jobs.values():
        verdict = verdicts[job.id]
        if verdict.state == State.FRESH or (wanted is not None and job.key not in wanted):
            continue
        print(f"{job.label}: {verdict.state}")
        for reason in verdict.reasons:
            print(f"  - {reason.text}")
    for stored, why in orphans:
        if wanted is None or stored.key in wanted:
            print(f"{stored.label}: not declared")
            print(f"  - {why} (orvan clean removes its files)")
