"""What every subcommand shares: loading the pipeline, selecting assets,
the errors reported before anything runs, and the exit statuses."""

from __future__ import annotations

import sys
from collections.abc import Mapping
from dataclasses import dataclass

from . import selection, subsets
from .catalog import CatalogError
from .codedeps import CodeDeps, module_base, pipeline_root
from .config import ConfigError
from .discovery import AssetRecord, DiscoveryError, parse_report, run_inspect
from .graph import Asset, Graph, GraphError, build_graph
from .plan import Job, Plan, build_plan
from .selection import SelectionError
from .subsets import SubsetError

# Exit statuses.
OK, FAILURES, USAGE = 0, 1, 2


class CommandError(Exception):
    """A problem found before anything ran; reported with exit status 2."""


def discover(modules: list[str], directory: str, *, strict: bool = False) -> list[AssetRecord]:
    """With `strict`, a module skipped by the inspection ends the command:
    for removing what is not declared, a module that failed to import must
    not look like a module without assets."""
    try:
        report, messages = run_inspect(modules, directory)
    except DiscoveryError as e:
        if strict:
            raise DiscoveryError(f"{e}\nnothing was changed") from None
        raise
    for line in messages:
        print(line, file=sys.stderr)
    if strict and messages:
        raise CommandError("the inspection reported problems (above); nothing was changed")
    return parse_report(report)


def load(modules: list[str], directory: str, *, strict: bool = False) -> tuple[Graph, Plan]:
    records = discover(modules, directory, strict=strict)
    if not records:
        # Most often a misspelt module, which inspection skips with a warning.
        raise CommandError("no assets found in " + ", ".join(modules))
    graph = build_graph(records)
    files = {r.module: r.file_path for r in records}
    bases = {module_base(path, module) for module, path in files.items()}
    deps = CodeDeps(pipeline_root(directory), sorted(b for b in bases if b))
    return graph, build_plan(graph, deps)


def select(assets: Mapping[str, Asset], wanted: list[str] | None) -> list[str]:
    """The keys `--select` names (all of them when it was not given)."""
    if not wanted:
        return list(assets)
    return selection.select(assets, selection.split_terms(wanted))


@dataclass
class Chosen:
    selected: list[str]  # the asset keys selected
    targets: list[Job]  # their jobs, within the partitions asked for
    jobs: list[Job]  # the targets and every job they read, in plan order


def _targets(graph: Graph, plan: Plan, selected: list[str], partitions: list[str]) -> list[Job]:
    if not partitions:
        return [job for key in selected for job in plan.by_asset[key]]
    specs = subsets.parse_specs(partitions)
    targets: list[Job] = []
    seen_dims: set[str] = set()
    for key in selected:
        chosen = subsets.choose(specs, graph.assets[key].partitions)
        # An asset partitioned on none of the dimensions would read every
        # partition of its upstream, which is not what a backfill asks for.
        if chosen is not None:
            seen_dims.update(chosen)
            targets.extend(job for job in plan.by_asset[key] if subsets.matches(job.partition, chosen))
    missing = [d for d in specs if d not in seen_dims]
    if missing:
        raise CommandError(
            "--partition: no selected asset is partitioned by " + ", ".join(repr(d) for d in missing)
        )
    return targets


def choose_jobs(graph: Graph, plan: Plan, wanted: list[str] | None, partitions: list[str] | None) -> Chosen:
    """The jobs a command acts on: those of the selected assets within the
    partitions asked for, plus, for a run, every upstream job they read."""
    selected = select(graph.assets, wanted)
    targets = _targets(graph, plan, selected, partitions or [])
    needed = {job.id for job in targets}
    stack = list(needed)
    while stack:
        for dep in plan.jobs[stack.pop()].deps:
            if dep not in needed:
                needed.add(dep)
                stack.append(dep)
    return Chosen(selected, targets, [job for jid, job in plan.jobs.items() if jid in needed])


ERRORS = (CommandError, ConfigError, DiscoveryError, GraphError, CatalogError, SelectionError, SubsetError)
