"""`orvan status`: whether each job's stored value is fresh, and with
`--why`, every reason a job is not."""

from __future__ import annotations

import os
from argparse import Namespace
from collections import Counter

from .. import undeclared
from ..catalog import CATALOG_FILE, Attempt, Catalog, RunLock
from ..config import modules_from_pyproject, resolve_modules, resolve_out
from ..freshness import Verdict, assess
from ..graph import Graph
from ..pipeline import OK, load, select
from ..plan import JobId, Plan
from ..report import format_table, when

ORDER = ["fresh", "stale", "failed", "missing", "running"]


def cmd_status(args: Namespace) -> int:
    directory = os.getcwd()
    out_dir = resolve_out(args.out, directory)
    catalog = Catalog.in_dir(out_dir, create=False) if os.path.exists(os.path.join(out_dir, CATALOG_FILE)) else None
    try:
        modules = args.modules or modules_from_pyproject(directory) or (catalog.last_modules() if catalog else [])
        modules = resolve_modules(modules, directory)
        graph, plan = load(modules, directory)
        attempts = catalog.last_attempts() if catalog else {}
    finally:
        if catalog:
            catalog.close()
    verdicts = assess(plan, attempts, out_dir)
    if not RunLock.active(out_dir):
        for verdict in verdicts.values():
            if verdict.state == "running":
                verdict.state = "failed"  # its runner died; the next run redoes it
    why = getattr(args, "why", None)
    if why is not None:
        _print_why(graph, plan, verdicts, out_dir, why)
    else:
        _print_table(plan, verdicts, attempts)
    counts = Counter(v.state for v in verdicts.values())
    print(", ".join(f"{counts[s]} {s}" for s in ORDER if counts[s] or s != "running") + f" ({len(verdicts)} jobs)")
    orphans = undeclared.find(plan, out_dir)
    if orphans and why is None:
        print(f"{len(orphans)} stored values no longer declared (status --why lists them, orvan clean removes them)")
    return OK


def _print_table(plan: Plan, verdicts: dict[JobId, Verdict], attempts: dict[JobId, Attempt]) -> None:
    rows: list[list[object]] = []
    for job in plan.jobs.values():
        verdict = verdicts[job.id]
        attempt = attempts.get(job.id)
        last = when(attempt.ended_at) if attempt and attempt.ended_at else "-"
        detail = (attempt.error or "runner stopped") if verdict.state == "failed" and attempt else ""
        rows.append([job.key, job.partition_label or "-", verdict.state, last, detail])
    if rows:
        print(format_table(["asset", "partition", "state", "last attempt", "error"], rows))


def _print_why(graph: Graph, plan: Plan, verdicts: dict[JobId, Verdict], out_dir: str,
               keys: list[str]) -> None:
    orphans = undeclared.find(plan, out_dir)
    # A key no longer declared may still be asked about, for its stored files.
    gone = {stored.key for stored, _ in orphans} - set(graph.assets)
    wanted = set(select(graph, [k for k in keys if k not in gone])) | (gone & set(keys)) if keys else None
    for job in plan.jobs.values():
        verdict = verdicts[job.id]
        if verdict.state == "fresh" or (wanted is not None and job.key not in wanted):
            continue
        print(f"{job.label}: {verdict.state}")
        for reason in verdict.reasons:
            print(f"  - {reason.text}")
    for stored, why in orphans:
        if wanted is None or stored.key in wanted:
            print(f"{stored.label}: not declared")
            print(f"  - {why} (orvan clean removes its files)")
