"""A layered drawing of the asset graph, computed here so the page needs no
script library: longest-path layers (every asset one layer right of its
deepest input), then a few barycentre sweeps that order each layer by the
mean position of its neighbours, which removes most edge crossings."""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass

SWEEPS = 4


@dataclass(frozen=True)
class Layout:
    # node -> (layer, position within the layer)
    place: dict[str, tuple[int, int]]
    layers: list[list[str]]


def longest_path_layers(nodes: Sequence[str], inputs: Mapping[str, Sequence[str]]) -> dict[str, int]:
    """Layer of each node; `nodes` must list every node after its inputs."""
    layer: dict[str, int] = {}
    for node in nodes:
        ups = [layer[u] for u in inputs.get(node, ()) if u in layer]
        layer[node] = 1 + max(ups) if ups else 0
    return layer


def _sweep(layers: list[list[str]], neighbours: Mapping[str, Sequence[str]], order: range) -> None:
    pos = {n: i for layer in layers for i, n in enumerate(layer)}
    for li in order:
        layer = layers[li]
        keyed = []
        for i, node in enumerate(layer):
            near = [pos[m] for m in neighbours.get(node, ()) if m in pos]
            keyed.append((sum(near) / len(near) if near else float(i), i, node))
        keyed.sort()
        layers[li] = [n for _, _, n in keyed]
        pos.update((n, i) for i, n in enumerate(layers[li]))


def layered(nodes: Sequence[str], inputs: Mapping[str, Sequence[str]], sweeps: int = SWEEPS) -> Layout:
    layer = longest_path_layers(nodes, inputs)
    depth = 1 + max(layer.values(), default=-1)
    layers: list[list[str]] = [[] for _ in range(depth)]
    for node in nodes:
        layers[layer[node]].append(node)
    downstream: dict[str, list[str]] = {}
    for node in nodes:
        for up in inputs.get(node, ()):
            downstream.setdefault(up, []).append(node)
    for _ in range(sweeps):
        _sweep(layers, inputs, range(1, depth))
        _sweep(layers, downstream, range(depth - 2, -1, -1))
    place = {n: (li, i) for li, layer_nodes in enumerate(layers) for i, n in enumerate(layer_nodes)}
    return Layout(place, layers)


def crossings(layout: Layout, inputs: Mapping[str, Sequence[str]]) -> int:
    """Edge crossings between adjacent layers (edges spanning more are left out)."""
    edges_by_layer: dict[int, list[tuple[int, int]]] = {}
    for node, (li, pos) in layout.place.items():
        for up in inputs.get(node, ()):
            ul, upos = layout.place[up]
            if ul == li - 1:
                edges_by_layer.setdefault(li, []).append((upos, pos))
    total = 0
    for edges in edges_by_layer.values():
        for i, (a1, b1) in enumerate(edges):
            total += sum(1 for a2, b2 in edges[i + 1:] if (a1 - a2) * (b1 - b2) < 0)
    return total
