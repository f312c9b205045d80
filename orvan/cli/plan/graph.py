"""The asset graph: keys, resolved `inputs`, and the checks that must pass
before anything runs (unknown references, duplicate keys, cycles)."""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass, field

from ... import values
from ...errors import OrvanError
from ..inspect.discovery import AssetRecord
from ...store.naming import check_asset_dir, check_component, escape, key_text, partition_component
from ..report import did_you_mean


class GraphError(OrvanError):
    def __init__(self, problems: list[str]):
        super().__init__("\n".join(problems))
        self.problems = problems

    def lines(self) -> list[str]:
        if len(self.problems) == 1:
            return self.problems
        return [f"{len(self.problems)} problems in the pipeline:", *(f"  - {p}" for p in self.problems)]


@dataclass(frozen=True)
class Asset:
    key: str
    record: AssetRecord
    # parameter -> upstream asset key
    inputs: dict[str, str]
    # dimension -> partition keys (JSON values), dimensions in sorted order
    partitions: dict[str, list[object]]

    @property
    def dims(self) -> list[str]:
        return list(self.partitions)


@dataclass
class Graph:
    # In dependency order: every asset after the assets it reads.
    assets: dict[str, Asset]
    # Per module, the sources of its asset checks: like the assets' own,
    # they are not part of the rest of the module that every asset's
    # fingerprint covers, so that editing a check reruns the check alone.
    check_sources: dict[str, list[str]] = field(default_factory=dict)

    def upstream_closure(self, keys: list[str]) -> set[str]:
        seen: set[str] = set()
        stack = list(keys)
        while stack:
            key = stack.pop()
            if key not in seen:
                seen.add(key)
                stack.extend(self.assets[key].inputs.values())
        return seen


def asset_key(rec: AssetRecord) -> str:
    return rec.name if rec.name else f"{rec.module}.{rec.function}"


def _describe(rec: AssetRecord) -> str:
    return f"{rec.where} ({rec.file_path or 'unknown file'})"


def _check_partitions(key: str, rec: AssetRecord, problems: list[str]) -> None:
    for dim, keys in rec.partitions.items():
        if dim in rec.inputs:
            problems.append(
                f"asset {key!r}: partition dimension {dim!r} and input {dim!r} "
                "would both be passed as the keyword argument of that name"
            )
        if not dim.isidentifier():
            problems.append(f"asset {key!r}: partition dimension {dim!r} is not a valid keyword argument name")
        seen: set[str] = set()
        for k in keys:
            text = key_text(k)
            if text in seen:
                problems.append(f"asset {key!r}: partition dimension {dim!r} has the key {text!r} more than once")
            seen.add(text)
            why = check_component(partition_component(dim, text))
            if why:
                problems.append(f"asset {key!r}: partition key {text[:40]!r}...: {why}")
    why = check_asset_dir(escape(key))
    if why:
        problems.append(f"asset {key[:40]!r}: {why}")


def _check_serializers(records: list[AssetRecord], problems: list[str]) -> None:
    """Unknown serializer names, found while planning rather than once per job."""
    wanted = {rec.serializer for rec in records if not values.is_json(rec.serializer)}
    if not wanted:
        return
    known = values.known_names()
    for rec in records:
        if rec.serializer in wanted and rec.serializer not in known:
            problems.append(f"asset {asset_key(rec)!r}: unknown serializer {rec.serializer!r}"
                            f"{values.did_you_mean(rec.serializer or '', known)} (known: {', '.join(known)})")


def _check_parameters(key: str, rec: AssetRecord, problems: list[str]) -> None:
    """Each input and partition dimension is passed by keyword: one the
    function cannot take would fail every one of its jobs."""
    if rec.parameters is None or rec.var_keyword:
        return
    names = [("input", p) for p in rec.inputs] + [("partition dimension", d) for d in rec.partitions]
    for what, name in names:
        if name in rec.parameters:
            continue
        import difflib  # only for a misspelt name

        hint = difflib.get_close_matches(name, list(rec.parameters), n=1, cutoff=0.5)
        params = ", ".join(rec.parameters) or "none"
        problems.append(
            f"asset {key!r}: {what} {name!r} is not a parameter of {rec.function}() (its parameters: {params})"
            + (f"; did you mean {hint[0]!r}?" if hint else "")
        )


class _Tarjan:
    """Strongly connected components, iteratively: recursion would overflow
    on long chains of assets."""

    def __init__(self, edges: dict[str, list[str]]):
        self.edges = edges
        self.index: dict[str, int] = {}
        self.low: dict[str, int] = {}
        self.on_stack: set[str] = set()
        self.stack: list[str] = []
        self.components: list[list[str]] = []

    def _enter(self, node: str, work: list[tuple[str, Iterator[str]]]) -> None:
        self.index[node] = self.low[node] = len(self.index)
        self.stack.append(node)
        self.on_stack.add(node)
        work.append((node, iter(self.edges[node])))

    def _leave(self, node: str) -> None:
        if self.low[node] != self.index[node]:
            return
        comp = []
        while True:
            top = self.stack.pop()
            self.on_stack.discard(top)
            comp.append(top)
            if top == node:
                break
        if len(comp) > 1 or node in self.edges[node]:
            self.components.append(comp)

    def visit(self, root: str) -> None:
        work: list[tuple[str, Iterator[str]]] = []
        self._enter(root, work)
        while work:
            node, it = work[-1]
            for nxt in it:
                if nxt not in self.index:
                    self._enter(nxt, work)
                    break
                if nxt in self.on_stack:
                    self.low[node] = min(self.low[node], self.index[nxt])
            else:
                work.pop()
                if work:
                    parent = work[-1][0]
                    self.low[parent] = min(self.low[parent], self.low[node])
                self._leave(node)


def _cycle_in(comp: list[str], edges: dict[str, list[str]]) -> list[str]:
    """A path around a cycle within one strongly connected component."""
    members = set(comp)
    node = min(comp)
    path, seen = [node], {node}
    while True:
        node = next(n for n in sorted(edges[node]) if n in members)
        if node in seen:
            return path[path.index(node):] + [node]
        path.append(node)
        seen.add(node)


def _find_cycles(edges: dict[str, list[str]]) -> list[list[str]]:
    """One cycle, as a path, for each strongly connected component that has one."""
    tarjan = _Tarjan(edges)
    for root in edges:
        if root not in tarjan.index:
            tarjan.visit(root)
    return [_cycle_in(comp, edges) for comp in tarjan.components]


def _topological(assets: dict[str, Asset]) -> list[str]:
    pending = {key: len(set(a.inputs.values())) for key, a in assets.items()}
    downstream: dict[str, list[str]] = {key: [] for key in assets}
    for key, a in assets.items():
        for up in set(a.inputs.values()):
            downstream[up].append(key)
    order = [key for key, n in pending.items() if n == 0]
    for key in order:  # grows while iterating
        for down in downstream[key]:
            pending[down] -= 1
            if pending[down] == 0:
                order.append(down)
    return order


class _Resolver:
    """Turns `inputs` references into asset keys: a decorated upstream's
    "<file>:<function>", else a name or key, else "<module>.<function>"."""

    def __init__(self, records: list[AssetRecord], by_key: dict[str, list[AssetRecord]]):
        self.keys = list(by_key)
        self.known = set(by_key)
        self.by_ref = {rec.ref: asset_key(rec) for rec in records if rec.file_path}
        self.by_where = {rec.where: asset_key(rec) for rec in records}

    def inputs(self, key: str, rec: AssetRecord, problems: list[str]) -> dict[str, str]:
        inputs: dict[str, str] = {}
        for param, ref in rec.inputs.items():
            target = self.by_ref.get(ref) or (ref if ref in self.known else None) or self.by_where.get(ref)
            if target is not None:
                inputs[param] = target
                continue
            where = f" ({rec.where})" if rec.where != key else ""
            problems.append(f"asset {key!r}{where}: input {param!r} refers to {ref!r}, which is not a known asset"
                            + did_you_mean(ref, self.keys))
        return inputs


def resolve(records: list[AssetRecord]) -> tuple[dict[str, Asset], list[str]]:
    """Every asset with the inputs that could be resolved, and every problem
    found (the first asset wins a duplicate key)."""
    problems: list[str] = []
    by_key: dict[str, list[AssetRecord]] = {}
    for rec in records:
        by_key.setdefault(asset_key(rec), []).append(rec)
    for key, recs in by_key.items():
        if len(recs) > 1:
            problems.append(f"duplicate asset key {key!r}, declared by " + ", ".join(_describe(r) for r in recs))
    resolver = _Resolver(records, by_key)
    assets: dict[str, Asset] = {}
    for rec in records:
        key = asset_key(rec)
        inputs = resolver.inputs(key, rec, problems)
        _check_partitions(key, rec, problems)
        _check_parameters(key, rec, problems)
        if key not in assets:
            assets[key] = Asset(key, rec, inputs, {d: rec.partitions[d] for d in sorted(rec.partitions)})
    _check_serializers(records, problems)
    if any(rec.lookbacks for rec in records):
        from .lookback import check

        problems += check(assets)
    edges = {key: sorted(set(a.inputs.values())) for key, a in assets.items()}
    for cycle in _find_cycles(edges):
        problems.append("dependency cycle: " + " -> ".join(cycle) + " (each reads the next)")
    return assets, problems


def build_graph(records: list[AssetRecord]) -> Graph:
    """The checked graph; GraphError lists every problem if there is any."""
    assets, problems = resolve(records)
    if problems:
        raise GraphError(problems)
    return Graph({key: assets[key] for key in _topological(assets)})
