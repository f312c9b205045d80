"""`orvan history`: recent runs and their counts."""

from __future__ import annotations

import json
from argparse import Namespace
from dataclasses import asdict, dataclass

from ...catalog import (DONE, FAILED, FRESH, INTERRUPTED, NOT_RUN, PENDING, RUNNING, Location, RunSummary,
                        catalog_of)
from ..config import project_directory, resolve_out
from ..plan.pipeline import OK
from ..report import display_path, format_table, seconds, when


@dataclass
class RunRow:
    id: int
    started_at: float
    ended_at: float | None
    status: str
    done: int
    fresh: int
    failed: int
    interrupted: int
    not_run: int
    pending: int  # jobs not yet finished, in a run still going on
    retries: int  # attempts beyond the first, over all the run's jobs
    automation: str | None = None  # the automation of `orvan serve` that started it
    location: str | None = None  # in a shared catalog, the namespace of the output location it ran for


def _row(run: RunSummary, alive: bool, retries: int) -> RunRow:
    c = run.counts
    # A run whose runner died is closed by the next run (its running jobs
    # interrupted, its pending ones not run); say so already. A run still
    # going has jobs yet to finish: pending, not "not run".
    going = run.status == "running"
    status = "abandoned" if going and not alive else run.status
    live = going and alive
    running, pending = c.get(RUNNING, 0), c.get(PENDING, 0)
    return RunRow(
        run.id, run.started_at, run.ended_at, status, c.get(DONE, 0), c.get(FRESH, 0), c.get(FAILED, 0),
        c.get(INTERRUPTED, 0) + (0 if live else running), c.get(NOT_RUN, 0) + (0 if live else pending),
        running + pending if live else 0, retries,
    )


def _runs_of(location: Location, limit: int) -> list[RunRow]:
    catalog = location.open_existing()
    if catalog is None:
        return []
    try:
        recent = catalog.recent_runs(limit)
        retries = catalog.retries_by_run([r.id for r in recent])
        started_by = catalog.run_automations([r.id for r in recent])
    finally:
        catalog.close()
    alive = location.active()
    runs = [_row(run, alive, retries.get(run.id, 0)) for run in recent]
    for row in runs:
        row.automation = started_by.get(row.id)
        row.location = location.namespace if location.shared else None
    return runs


def cmd_history(args: Namespace) -> int:
    out_dir = resolve_out(args.out, project_directory())
    location = catalog_of(out_dir)
    # A shared catalog shows the runs of every location that records in it.
    runs = [run for place in location.sharing() for run in _runs_of(place, args.limit)]
    if location.shared:
        runs = sorted(runs, key=lambda r: r.started_at, reverse=True)[:args.limit]
    if args.json:
        print(json.dumps({"runs": [asdict(r) for r in runs]}, indent=2))
        return OK
    if location.shared:
        print(f"catalog: {location.describe()}")
    if not runs:
        print(f"no runs yet in {display_path(out_dir)}")
        return OK
    where = [[r.location] for r in runs] if location.shared else [[] for _ in runs]
    print(format_table(
        ["run", "started", "took", "status", "by", "retries", "done", "fresh", "failed", "interrupted", "not run",
         "pending"] + (["location"] if location.shared else []),
        [[r.id, when(r.started_at), seconds(r.ended_at - r.started_at) if r.ended_at else "-",
          r.status, r.automation or "-", r.retries, r.done, r.fresh, r.failed, r.interrupted, r.not_run,
          r.pending] + place for r, place in zip(runs, where)],
        numeric={0, 5, 6, 7, 8, 9, 10, 11},
    ))
    return OK
