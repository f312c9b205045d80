"""What every subcommand shares: loading the pipeline, selecting assets,
the errors reported before anything runs, and the exit statuses."""

from __future__ import annotations

import json
import os
import sys
from collections.abc import Mapping
from dataclasses import dataclass, field

from . import selection, subsets
from ...errors import OrvanError
from .codedeps import CodeDeps, Statement, checked_scans, module_base, pipeline_root
from .. import project
from ..inspect.discovery import AssetRecord, DiscoveryError, inspect_text, parse_json, parse_report
from .graph import Asset, Graph, build_graph
from .jobs import Job, Plan, build_plan

# Exit statuses.
OK, FAILURES, USAGE = 0, 1, 2


class CommandError(OrvanError):
    """A problem found before anything ran; reported with exit status 2."""


def discover(modules: list[str], directory: str, *, strict: bool = False) -> list[AssetRecord]:
    return parse_report(parse_json(_report_text(modules, directory, strict=strict)))


def _report_text(modules: list[str], directory: str, *, strict: bool = False) -> str:
    """With `strict`, a module skipped by the inspection ends the command:
    for removing what is not declared, a module that failed to import must
    not look like a module without assets."""
    try:
        text, messages = inspect_text(modules, directory)
    except DiscoveryError as e:
        if strict:
            raise DiscoveryError(f"{e}\nnothing was changed") from None
        raise
    for line in messages:
        print(line, file=sys.stderr)
    if strict and messages:
        raise CommandError("the inspection reported problems (above); nothing was changed")
    return text


@dataclass
class Loaded:
    graph: Graph
    plan: Plan
    report: str  # the inspection report it was built from, as printed
    deps: CodeDeps


def _check_sources(report: str) -> dict[str, list[str]]:
    """The sources of the report's checks, per module: they count in their
    module's fingerprint."""
    found: dict[str, list[str]] = {}
    for rec in json.loads(report).get("checks") or []:
        found.setdefault(rec.get("module", ""), []).append(rec.get("source") or "")
    return found


def _build(report: str, modules: list[str], directory: str, scans: dict[str, list[Statement]] | None = None
           ) -> Loaded:
    records = parse_report(parse_json(report))
    if not records:
        # Most often a misspelt module, which inspection skips with a warning.
        raise CommandError("no assets found in " + ", ".join(modules))
    graph = build_graph(records)
    if '"checks":[' in report:
        graph.check_sources = _check_sources(report)
    files = {r.module: r.file_path for r in records}
    bases = {module_base(path, module) for module, path in files.items()}
    deps = CodeDeps(pipeline_root(directory), sorted(b for b in bases if b), scans=scans)
    return Loaded(graph, build_plan(graph, deps), report, deps)


def load_report(modules: list[str], directory: str, *, strict: bool = False,
                scans: dict[str, list[Statement]] | None = None) -> Loaded:
    """The graph and plan of the modules. `scans`: the import statements of
    local sources parsed before, by content hash (`cached_scans`)."""
    return _build(_report_text(modules, directory, strict=strict), modules, directory, scans)


def load(modules: list[str], directory: str, *, strict: bool = False) -> tuple[Graph, Plan]:
    loaded = load_report(modules, directory, strict=strict)
    return loaded.graph, loaded.plan


# What the last run's plan parsed of the local sources, beside its values:
# the next run of the same modules parses only the files that changed.
LAST_REPORT = project.LAST_REPORT


def cached_scans(modules: list[str], directory: str, out_dir: str) -> dict[str, list[Statement]] | None:
    """The import statements the last run of these modules parsed, by the
    content hash of each source; None if there are none to trust."""
    try:
        with open(os.path.join(out_dir, LAST_REPORT), encoding="utf-8") as f:
            header = json.loads(f.readline())
        if header.get("modules") != modules or header.get("directory") != directory:
            return None
        return checked_scans(header.get("scans"))
    except (OSError, ValueError, AttributeError):
        return None


def keep_scans(out_dir: str, modules: list[str], directory: str, loaded: Loaded) -> None:
    if not loaded.deps.scanned:
        return  # all of it is there already
    scans = {key: loaded.deps.scans[key] for key in sorted(loaded.deps.used)}
    header = json.dumps({"modules": modules, "directory": directory, "scans": scans})
    path = os.path.join(out_dir, LAST_REPORT)
    try:
        with open(path + ".tmp", "w", encoding="utf-8") as f:
            f.write(header + "\n")
        os.replace(path + ".tmp", path)
    except OSError:
        pass  # it only saves time


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
    left_out: list[str] = field(default_factory=list)  # selected, but partitioned by none of --partition's dimensions
    dims: list[str] = field(default_factory=list)  # --partition's dimensions

    def left_out_note(self) -> str | None:
        """Which selected assets a backfill leaves out, and why; None when it leaves out none."""
        if not self.left_out:
            return None
        dims = ", ".join(self.dims)
        shown = ", ".join(self.left_out[:LEFT_OUT_SHOWN])
        more = f" and {len(self.left_out) - LEFT_OUT_SHOWN} more" if len(self.left_out) > LEFT_OUT_SHOWN else ""
        return (f"left out: {shown}{more}: not partitioned by {dims}, so a backfill of some of its partitions "
                "does not cover them (select them without --partition)")


# How many left-out assets the note names.
LEFT_OUT_SHOWN = 10


def _targets(graph: Graph, plan: Plan, selected: list[str], partitions: list[str]) -> tuple[list[Job], list[str]]:
    """The selected assets' jobs within the partitions, and the selected
    assets left out for having none of their dimensions."""
    if not partitions:
        return [job for key in selected for job in plan.by_asset[key]], []
    specs = subsets.parse_specs(partitions)
    targets: list[Job] = []
    left_out: list[str] = []
    seen_dims: set[str] = set()
    for key in selected:
        chosen = subsets.choose(specs, graph.assets[key].partitions)
        # An asset partitioned on none of the dimensions would read every
        # partition of its upstream, which is not what a backfill asks for.
        if chosen is None:
            left_out.append(key)
            continue
        seen_dims.update(chosen)
        targets.extend(job for job in plan.by_asset[key] if subsets.matches(job.partition, chosen))
    missing = [d for d in specs if d not in seen_dims]
    if missing:
        raise CommandError(
            "--partition: no selected asset is partitioned by " + ", ".join(repr(d) for d in missing)
        )
    return targets, left_out


def choose_jobs(graph: Graph, plan: Plan, wanted: list[str] | None, partitions: list[str] | None) -> Chosen:
    """The jobs a command acts on: those of the selected assets within the
    partitions asked for, plus, for a run, every upstream job they read."""
    selected = select(graph.assets, wanted)
    targets, left_out = _targets(graph, plan, selected, partitions or [])
    specs = sorted(subsets.parse_specs(partitions or []))
    if len(targets) == len(plan.jobs):  # every job: none upstream to add
        return Chosen(selected, targets, list(plan.jobs.values()), left_out, specs)
    needed = {job.id for job in targets}
    stack = list(needed)
    while stack:
        for dep in plan.jobs[stack.pop()].deps:
            if dep not in needed:
                needed.add(dep)
                stack.append(dep)
    return Chosen(selected, targets, [job for jid, job in plan.jobs.items() if jid in needed], left_out, specs)
