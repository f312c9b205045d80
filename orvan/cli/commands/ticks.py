"""`orvan ticks`: what the automations of `orvan serve` did at each tick,
and why a tick ran nothing."""

from __future__ import annotations

import json
from argparse import Namespace
from dataclasses import asdict

from ...catalog import catalog_of, ticks
from ..config import project_directory, resolve_out
from ..plan.pipeline import OK
from ..report import display_path, format_table, seconds, when


def cmd_ticks(args: Namespace) -> int:
    out_dir = resolve_out(args.out, project_directory())
    found: list[ticks.Tick] = []
    catalog = catalog_of(out_dir).open_existing()
    if catalog is not None:
        try:
            found = catalog.recent_ticks(args.name, args.limit)
        finally:
            catalog.close()
    if args.json:
        print(json.dumps({"ticks": [asdict(t) for t in found]}, indent=2))
        return OK
    if not found:
        whose = f" of {args.name!r}" if args.name else ""
        print(f"no ticks{whose} yet in {display_path(out_dir)} (orvan serve records them)")
        return OK
    print(format_table(
        ["tick", "automation", "trigger", "due", "started", "took", "outcome", "run", "reason"],
        [[t.id, t.automation, t.trigger, when(t.due_at) if t.due_at else "-", when(t.started_at),
          seconds(t.ended_at - t.started_at) if t.ended_at else "-", t.outcome, t.run_id or "-",
          _reason(t)] for t in found],
        numeric={0},
    ))
    return OK


def _reason(tick: ticks.Tick) -> str:
    asked = f"[{' '.join(tick.partitions)}] " if tick.partitions else ""
    return asked + (tick.reason or "")
