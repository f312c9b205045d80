"""`orvan history`: recent runs and their counts."""

from __future__ import annotations

import os
from argparse import Namespace

from ..catalog import CATALOG_FILE, DONE, FAILED, FRESH, INTERRUPTED, NOT_RUN, PENDING, RUNNING, Catalog, RunLock
from ..config import resolve_out
from ..pipeline import OK
from ..report import display_path, format_table, seconds, when


def cmd_history(args: Namespace) -> int:
    out_dir = resolve_out(args.out, os.getcwd())
    if not os.path.exists(os.path.join(out_dir, CATALOG_FILE)):
        print(f"no runs yet in {display_path(out_dir)}")
        return OK
    catalog = Catalog.in_dir(out_dir, create=False)
    try:
        runs = catalog.recent_runs(args.limit)
    finally:
        catalog.close()
    alive = RunLock.active(out_dir)
    rows = []
    for run in runs:
        c = run.counts
        took = seconds(run.ended_at - run.started_at) if run.ended_at else "-"
        # A run whose runner died is closed by the next run; say so already.
        status = "abandoned" if run.status == "running" and not alive else run.status
        rows.append([
            run.id, when(run.started_at), took, status,
            c.get(DONE, 0), c.get(FRESH, 0),
            c.get(FAILED, 0) + c.get(INTERRUPTED, 0) + (c.get(RUNNING, 0) if status == "abandoned" else 0),
            c.get(NOT_RUN, 0) + c.get(PENDING, 0),
        ])
    if not rows:
        print("no runs yet")
        return OK
    print(format_table(
        ["run", "started", "took", "status", "done", "fresh", "failed", "not run"], rows, numeric={0, 4, 5, 6, 7}
    ))
    return OK
