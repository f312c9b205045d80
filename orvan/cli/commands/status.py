"""`orvan status`: whether each job's stored value is fresh, and with
`--why`, every reason a job is not."""

from __future__ import annotations

import gc
import itertools
import json
import sys
from argparse import Namespace
from collections import Counter
from dataclasses import asdict, dataclass
from operator import attrgetter

from ..plan import undeclared
from ...catalog import Attempt, catalog_of
from ..config import modules_or_last_run, project_directory, resolve_modules, resolve_out
from ..run.freshness import Verdict, assess, store_sizes
from ..plan.graph import Graph
from ..plan.pipeline import FAILURES, OK, choose_jobs, load_report, select
from ..plan.jobs import Job, JobId, Plan
from ..report import table_lines, when
from ...states import State

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
    # Its asset's checks, each with "state" passed, failed or stale (not
    # run on the value stored now); absent for an asset without checks.
    checks: list[dict[str, object]] | None = None


@dataclass
class _Loaded:
    graph: Graph
    plan: Plan
    jobs: list[Job]  # the selected ones
    attempts: dict[JobId, Attempt]
    numbers: dict[JobId, int]
    report: str = ""
    checks: dict[JobId, list[dict[str, object]]] | None = None


def _load(args: Namespace, directory: str, out_dir: str) -> _Loaded:
    catalog = catalog_of(out_dir).open_existing()
    try:
        modules = modules_or_last_run(args.modules, directory, catalog.last_modules if catalog else list)
        loaded = load_report(resolve_modules(modules, directory), directory)
        graph, plan = loaded.graph, loaded.plan
        chosen = choose_jobs(graph, plan, args.select, args.partition)
        jobs = chosen.targets
        note = chosen.left_out_note()
        if note:
            print(f"orvan status: note: {note}", file=sys.stderr)
        attempts, numbers = catalog.latest() if catalog else ({}, {})
    finally:
        if catalog:
            catalog.close()
    # In plan order; every job's already is.
    ordered = chosen.jobs if len(jobs) == len(plan.jobs) else sorted(jobs, key=attrgetter("index"))
    return _Loaded(graph, plan, ordered, attempts, numbers, loaded.report)


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
                                _error(verdict, attempt), [r.text for r in verdict.reasons],
                                loaded.checks.get(job.id) if loaded.checks else None))
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
    from .stored import remote_store

    sizes = store_sizes(remote_store(args, out_dir), loaded.plan, loaded.attempts)
    verdicts = assess(loaded.plan, loaded.attempts, out_dir, (), sizes,
                      alive=catalog_of(out_dir).active())
    _add_checks(loaded, out_dir, verdicts)
    counts = Counter(verdicts[job.id].state for job in loaded.jobs)
    why = getattr(args, "why", None)
    if args.json:
        jobs = [{k: v for k, v in asdict(s).items() if k != "checks" or v is not None}
                for s in _statuses(loaded, verdicts)]
        print(json.dumps({"jobs": jobs, "counts": {s: counts[s] for s in ORDER}},
                         indent=2, ensure_ascii=False))
    else:
        location = catalog_of(out_dir)
        if location.shared and why is None:
            print(f"catalog: {location.describe()}")
        orphans = undeclared.find(loaded.plan, out_dir)
        if why is not None:
            _print_why(loaded.graph, loaded.plan, verdicts, orphans, why, loaded.checks)
        else:
            _print_table(loaded, verdicts)
        print(", ".join(f"{counts[s]} {s}" for s in ORDER if counts[s] or s in ALWAYS_COUNTED)
              + f" ({len(loaded.jobs)} jobs)")
        if orphans and why is None:
            print(f"{len(orphans)} stored values no longer declared (status --why lists them, orvan clean removes them)")
    # Scripts gate on the plain form: anything but fresh needs a run. --why
    # explains; it has done its job when it has said why.
    return OK if why is not None or counts[State.FRESH] == len(loaded.jobs) else FAILURES


def _add_checks(loaded: _Loaded, out_dir: str, verdicts: dict[JobId, Verdict]) -> None:
    """The checks' outcomes, and the state "blocked" for the jobs that a
    failed blocking check holds back (unless their value is fresh)."""
    if '"checks":[' not in loaded.report:
        return
    from ..run.checkrun import downstream_of, specs_of, status_of
    from ..run.freshness import Reason

    specs = specs_of(loaded.report, loaded.graph)
    loaded.checks, blocked = status_of(specs, loaded.plan, out_dir, verdicts)
    held = downstream_of(loaded.plan, blocked, [j for j, v in verdicts.items() if v.state != "fresh"])
    for jid, why in held.items():
        verdicts[jid].state = State.BLOCKED
        verdicts[jid].reasons.insert(0, Reason("blocked", why))


def _print_table(loaded: _Loaded, verdicts: dict[JobId, Verdict]) -> None:
    from ..run.checkrun import summary_cell

    jobs = loaded.jobs
    if not jobs:
        return
    got = [verdicts[job.id] for job in jobs]
    attempts = [loaded.attempts.get(job.id) for job in jobs]
    columns: list[list[str]] = [[job.key for job in jobs], [job.partition_label or "-" for job in jobs], [v.state for v in got],
               [when(a.ended_at) if a and a.ended_at else "-" for a in attempts],
               [str(loaded.numbers.get(job.id, 0) or "-") for job in jobs]]
    heads = ["asset", "partition", "state", "last attempt", "tries"]
    if loaded.checks:
        heads.append("checks")
        columns.append([summary_cell(o) if (o := loaded.checks.get(job.id)) else "-" for job in jobs])
    columns.append([_error(v, a) or "" for v, a in zip(got, attempts)])
    # Written a batch of lines at a time: the whole table as one text
    # would be as large again as the columns.
    for lines in itertools.batched(table_lines(heads + ["error"], columns, numeric={4}), 10_000):
        print("\n".join(lines))


def _print_why(graph: Graph, plan: Plan, verdicts: dict[JobId, Verdict],
               orphans: list[tuple[undeclared.Stored, str]], keys: list[str],
               checks: dict[JobId, list[dict[str, object]]] | None = None) -> None:
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
    _print_failed_checks(plan, checks or {}, wanted)
    for stored, why in orphans:
        if wanted is None or stored.key in wanted:
            print(f"{stored.label}: not declared")
            print(f"  - {why} (orvan clean removes its files)")


def _print_failed_checks(plan: Plan, checks: dict[JobId, list[dict[str, object]]], wanted: set[str] | None) -> None:
    """A fresh value may still have failed its checks: --why says so too."""
    from ..run.checkrun import describe

    for jid, outcomes in checks.items():
        bad = [o for o in outcomes if o["state"] != "passed"]
        if bad and (wanted is None or jid[0] in wanted):
            print(f"{plan.jobs[jid].label}: checks")
            for o in bad:
                text = describe(o) if o["state"] == "failed" else f"check {o['name']} has not run on the value stored now"
                print(f"  - {text}")
