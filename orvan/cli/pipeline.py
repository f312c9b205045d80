"""What every subcommand shares: loading the pipeline, selecting assets,
the errors reported before anything runs, and the exit statuses."""

from __future__ import annotations

import sys

from .catalog import CatalogError
from .config import ConfigError
from .discovery import AssetRecord, DiscoveryError, parse_report, run_inspect
from .graph import Graph, GraphError, build_graph
from .plan import Plan, build_plan

# Exit statuses.
OK, FAILURES, USAGE = 0, 1, 2


class CommandError(Exception):
    """A problem found before anything ran; reported with exit status 2."""


def discover(modules: list[str], directory: str) -> list[AssetRecord]:
    report, messages = run_inspect(modules, directory)
    for line in messages:
        print(line, file=sys.stderr)
    return parse_report(report)


def load(modules: list[str], directory: str) -> tuple[Graph, Plan]:
    records = discover(modules, directory)
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


ERRORS = (CommandError, ConfigError, DiscoveryError, GraphError, CatalogError)
