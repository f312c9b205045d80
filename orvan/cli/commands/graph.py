"""`orvan graph`: the asset graph as Mermaid or Graphviz dot text."""

from __future__ import annotations

import json
from argparse import Namespace

from ..config import project_directory, resolve_modules
from ..plan.graph import Asset, build_graph
from ..plan.pipeline import OK, discover, select


def _label(asset: Asset) -> str:
    dims = ", ".join(f"{d}({len(keys)})" for d, keys in asset.partitions.items())
    return asset.key + (f" [{dims}]" if dims else "")


def _edges(assets: list[Asset]) -> list[tuple[str, str]]:
    """(upstream, downstream) between the assets shown, each pair once."""
    shown = {a.key for a in assets}
    return [(up, a.key) for a in assets for up in dict.fromkeys(a.inputs.values()) if up in shown]


def mermaid(assets: list[Asset]) -> str:
    ids = {a.key: f"a{i}" for i, a in enumerate(assets)}
    lines = ["```mermaid", "flowchart LR"]
    # Mermaid has no escape for '"' inside a quoted label but its entity.
    lines += [f'    {ids[a.key]}["{_label(a).replace(chr(34), "#quot;")}"]' for a in assets]
    lines += [f"    {ids[up]} --> {ids[down]}" for up, down in _edges(assets)]
    lines.append("```")
    return "\n".join(lines)


def dot(assets: list[Asset]) -> str:
    lines = ["digraph orvan {", "    rankdir=LR;", "    node [shape=box];"]
    # A JSON string is a valid dot quoted string for any key.
    lines += [f"    {json.dumps(a.key)} [label={json.dumps(_label(a))}];" for a in assets]
    lines += [f"    {json.dumps(up)} -> {json.dumps(down)};" for up, down in _edges(assets)]
    lines.append("}")
    return "\n".join(lines)


def cmd_graph(args: Namespace) -> int:
    directory = project_directory()
    graph = build_graph(discover(resolve_modules(args.modules, directory), directory))
    assets = [graph.assets[key] for key in select(graph.assets, args.select)]
    print(mermaid(assets) if args.format == "mermaid" else dot(assets))
    return OK
