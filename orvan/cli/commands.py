"""The subcommands list, status, history and show, and what `run` shares with them."""

from __future__ import annotations

import difflib
import json
import os
import sys
import time
from argparse import Namespace
from collections import Counter

from . import jobfiles, naming
from .catalog import (
    CATALOG_FILE, DONE, FAILED, FRESH, INTERRUPTED, NOT_RUN, PENDING, RUNNING, Catalog, CatalogError, RunLock,
)
from .config import ConfigError, modules_from_pyproject, resolve_modules, resolve_out
from .discovery import AssetRecord, DiscoveryError, parse_report, run_inspect
from .graph import Graph, GraphError, build_graph, resolve
from .plan import Plan, build_plan
from .report import display_path, format_table, seconds

# Exit statuses.
OK, FAILURES, USAGE = 0, 1, 2


class CommandError(Exception):
    """A problem found before anything ran; reported with exit status 2."""


def _discover(modules: list[str], directory: str) -> list[AssetRecord]:
    report, messages = run_inspect(modules, directory)
    for line in messages:
        print(line, file=sys.stderr)
    return parse_report(report)


def load(modules: list[str], directory: str) -> tuple[Graph, Plan]:
    records = _discover(modules, directory)
    if not records:
        # Most often a misspelt module, which inspection skips with a warning.
        raise CommandError("no assets found in " + ", ".join(modules))
    graph = build_graph(records)
    return graph, build_plan(graph)


def select(graph: Graph, wanted: list[str]) -> list[str]:
    by_where = {a.record.where: a.key for a in graph.assets.values()}
    keys: list[str] = []
    unknown: list[str] = []
    for name in wanted:
        key = name if name in graph.assets else by_where.get(name)
        (keys if key else unknown).append(key or name)
    if unknown:
        raise CommandError(
            "--select: no such asset: " + ", ".join(repr(u) for u in unknown)
            + " (orvan list shows the keys)"
        )
    return list(dict.fromkeys(keys))


# -- list -------------------------------------------------------------------


def cmd_list(args: Namespace) -> int:
    directory = os.getcwd()
    records = _discover(resolve_modules(args.modules, directory), directory)
    assets, problems = resolve(records)
    rows = []
    for asset in assets.values():
        rec = asset.record
        inputs = [
            f"{param}={asset.inputs[param]}" if param in asset.inputs else f"{param}=?{ref}"
            for param, ref in rec.inputs.items()
        ]
        dims = [f"{d}({len(keys)})" for d, keys in asset.partitions.items()]
        rows.append([asset.key, ", ".join(inputs) or "-", ", ".join(dims) or "-", display_path(rec.file_path) or "?"])
    if rows:
        print(format_table(["asset", "inputs", "partitions", "source"], rows))
    else:
        print("no assets found in " + ", ".join(args.modules or ["the configured modules"]))
    if problems:
        raise GraphError(problems)
    return OK


# -- status -----------------------------------------------------------------


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
        when = _when(attempt.ended_at) if attempt and attempt.ended_at else "-"
        detail = (attempt.error or "runner stopped") if state == "failed" and attempt else ""
        rows.append([job.key, job.partition_label or "-", state, when, detail])
    if rows:
        print(format_table(["asset", "partition", "state", "last attempt", "error"], rows))
    order = ["fresh", "stale", "failed", "missing", "running"]
    print(", ".join(f"{counts[s]} {s}" for s in order if counts[s] or s != "running") + f" ({len(rows)} jobs)")
    return OK


def _when(t: float) -> str:
    return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(t))


# -- history ----------------------------------------------------------------


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
            run.id, _when(run.started_at), took, status,
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


# -- show -------------------------------------------------------------------


def _parse_partition_args(items: list[str]) -> dict[str, str]:
    partition: dict[str, str] = {}
    for item in items:
        dim, sep, key = item.partition("=")
        if not sep or not dim:
            raise CommandError(f"--partition {item!r}: expected DIM=VALUE")
        if dim in partition:
            raise CommandError(f"--partition: dimension {dim!r} given twice")
        partition[dim] = key
    return partition


def _stored_partitions(asset_dir: str) -> list[dict[str, str]]:
    found = []
    for root, dirs, files in os.walk(asset_dir):
        dirs.sort()
        if naming.RESULT_FILE in files and root != asset_dir:
            rel = os.path.relpath(root, asset_dir).split(os.sep)
            try:
                found.append(dict(naming.parse_partition_component(c) for c in rel))
            except ValueError:
                continue
    return found


def cmd_show(args: Namespace) -> int:
    out_dir = resolve_out(args.out, os.getcwd())
    partition = _parse_partition_args(args.partition or [])
    asset_dir = os.path.join(out_dir, naming.escape(args.key))
    if not os.path.isdir(asset_dir):
        known = sorted(naming.unescape(n) for n in os.listdir(out_dir) if os.path.isdir(os.path.join(out_dir, n))) \
            if os.path.isdir(out_dir) else []
        hint = difflib.get_close_matches(args.key, known, n=1) or [k for k in known if k.endswith("." + args.key)]
        raise CommandError(f"nothing stored for asset {args.key!r} in {display_path(out_dir)}"
                           + (f" (did you mean {hint[0]!r}?)" if hint else ""))
    directory = os.path.join(out_dir, naming.job_relpath(args.key, partition))
    try:
        with open(os.path.join(directory, naming.RESULT_FILE), encoding="utf-8") as f:
            ok = json.load(f).get("ok") is True
        with open(os.path.join(directory, naming.VALUE_FILE), encoding="utf-8") as f:
            value = json.load(f)
    except (OSError, ValueError):
        ok = False
    if not ok:
        stored = [p for p in _stored_partitions(asset_dir) if partition.items() <= p.items()]
        label = ",".join(f"{d}={k}" for d, k in partition.items())
        msg = f"no stored value for {args.key}" + (f" [{label}]" if label else "")
        if stored:
            msg += "; stored partitions:\n" + "\n".join(
                "  " + " ".join(f"--partition {d}={k}" for d, k in p.items()) for p in stored[:20]
            )
            if len(stored) > 20:
                msg += f"\n  ... and {len(stored) - 20} more"
        raise CommandError(msg)
    print(json.dumps(value, indent=2, ensure_ascii=False))
    return OK


ERRORS = (CommandError, ConfigError, DiscoveryError, GraphError, CatalogError)
