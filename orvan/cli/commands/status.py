"""`orvan status`: whether each job's stored value is fresh."""

from __future__ import annotations

import os
from argparse import Namespace
from collections import Counter

from .. import jobfiles
from ..catalog import CATALOG_FILE, Catalog, RunLock
from ..config import modules_from_pyproject, resolve_modules, resolve_out
from ..pipeline import OK, load
from ..report import format_table, when


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
    alive = RunLock.active(out_dir)
    rows: list[list[object]] = []
    counts: Counter[str] = Counter()
    for job in plan.jobs.values():
        attempt = attempts.get((job.key, job.id[1]))
        state = jobfiles.state_of(out_dir, job, attempt)
        if state == "running" and not alive:
            state = "failed"  # its runner died; the next run redoes it
        counts[state] += 1
        last = when(attempt.ended_at) if attempt and attempt.ended_at else "-"
        detail = (attempt.error or "runner stopped") if state == "failed" and attempt else ""
        rows.append([job.key, job.partition_label or "-", state, last, detail])
    if rows:
        print(format_table(["asset", "partition", "state", "last attempt", "error"], rows))
    order = ["fresh", "stale", "failed", "missing", "running"]
    print(", ".join(f"{counts[s]} {s}" for s in order if counts[s] or s != "running") + f" ({len(rows)} jobs)")
    return OK
