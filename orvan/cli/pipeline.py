"""What every subcommand shares: loading the pipeline, selecting assets,
the errors reported before anything runs, and the exit statuses."""

from __future__ import annotations

import sys

from .catalog import CatalogError
from .codedeps import CodeDeps, module_base, pipeline_root
from .config import ConfigError
from .discovery import AssetRecord, DiscoveryError, parse_report, run_inspect
from .graph import Graph, GraphError, build_graph
from .plan import Plan, build_plan

# Exit statuses.
OK, FAILURES, USAGE = 0, 1, 2


class CommandError(Exception):
    """A problem found before anything ran; reported with exit status 2."""


def discover(modules: list[str], directory: str, *, strict: bool = False) -> list[AssetRecord]:
    """With `strict`, a module skipped by the inspection ends the command:
    for removing what is not declared, a module that failed to import must
    not look like a module without assets."""
    report, messages = run_inspect(modules, directory)
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


ERRORS = (CommandError, ConfigError, DiscoveryError, GraphError, CatalogError)
