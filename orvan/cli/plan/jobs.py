"""Expands the asset graph into jobs, one per asset or per combination of
partition keys, and works out which upstream job(s) each input reads.

Partition mapping, from an upstream U to a downstream D:
  * U unpartitioned: every job of D gets U's one value.
  * U's dimensions all among D's: D's job gets the value of U's job with the
    same keys on those dimensions.
  * U has dimensions that D lacks: D's job gets an object mapping each of
    U's matching partitions to its value, keyed by U's partition key on the
    dimension D lacks. With several such dimensions the objects nest, one
    level per dimension in sorted dimension order: {"2024-01-01": {"eu": v}}
    for dimensions date and region. (Joining the keys into one text could
    not tell "x|y"+"z" from "x"+"y|z".) Non-text keys appear as compact JSON.
"""

from __future__ import annotations

import itertools
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import cast

from ...store import naming
from .codedeps import CodeDeps
from .fingerprint import Parts, canonical, code_parts, module_residual, partition_fingerprints
from .graph import Asset, Graph, GraphError


# (asset key, catalog partition token): unambiguous whatever the keys contain.
JobId = tuple[str, str]


# Slots: a plan holds one Job (and its Inputs) per partition, 100,000 of them
# for a large asset.
@dataclass(slots=True)
class Input:
    param: str
    upstream: str
    # Job id of the one upstream value, or None for a map over partitions.
    single: JobId | None
    # (path of map keys, one per missing dimension, job id) when the input is
    # a map over upstream partitions.
    mapping: list[tuple[tuple[str, ...], JobId]] = field(default_factory=list)

    def job_ids(self) -> list[JobId]:
        return [self.single] if self.single is not None else [j for _, j in self.mapping]

    def tree(self) -> MapTree:
        """The mapping as nested objects, keys in the upstream's declared order."""
        root: MapTree = {}
        for path, jid in self.mapping:
            node = root
            for key in path[:-1]:
                child = node.setdefault(key, {})
                assert isinstance(child, dict)
                node = child
            node[path[-1]] = jid
        return root


# Nested map keys down to the job whose value sits there.
MapTree = dict[str, "MapTree | JobId"]


@dataclass(slots=True)
class Job:
    id: JobId
    index: int
    asset: Asset
    # dimension -> text form of the key, dimensions sorted
    partition: dict[str, str]
    # dimension -> the key as the JSON value the author declared
    partition_values: dict[str, object]
    inputs: list[Input]
    deps: list[JobId]
    # The asset's fingerprint of a partition's canonical text.
    hasher: Callable[[str], str]
    # The parts of its fingerprint but for the partition: one dict shared by
    # every job of the asset.
    shared_parts: Parts = field(default_factory=dict)
    # Made when first asked for: `status` with no catalog asks for neither,
    # of 876,000 jobs.
    _fingerprint: str | None = None
    _relpath: str | None = None

    @property
    def key(self) -> str:
        return self.asset.key

    @property
    def fingerprint(self) -> str:
        if self._fingerprint is None:
            token = self.id[1]
            self._fingerprint = self.hasher((token if token.isascii() else canonical(self.partition)) or "{}")
        return self._fingerprint

    @property
    def relpath(self) -> str:
        """The job's directory below the output directory."""
        if self._relpath is None:
            self._relpath = naming.job_relpath(self.asset.key, self.partition)
        return self._relpath

    @property
    def parts(self) -> Parts:
        """What the fingerprint was made of, stored with each success."""
        return {**self.shared_parts, "partition": self.partition}

    @property
    def label(self) -> str:
        return job_label(self.asset.key, self.partition)

    @property
    def partition_label(self) -> str:
        return ",".join(map("=".join, self.partition.items()))


def job_label(key: str, partition: dict[str, str]) -> str:
    if not partition:
        return key
    return key + "[" + ",".join(f"{d}={k}" for d, k in partition.items()) + "]"


@dataclass
class Plan:
    jobs: dict[JobId, Job]  # in dependency order
    by_asset: dict[str, list[Job]]

    def downstream(self) -> dict[JobId, list[JobId]]:
        result: dict[JobId, list[JobId]] = {j: [] for j in self.jobs}
        for job in self.jobs.values():
            for dep in job.deps:
                result[dep].append(job.id)
        return result


@dataclass(frozen=True, slots=True)
class _Key:
    """One key of one dimension, in each form that a job's names take."""
    text: str
    value: object
    token: str  # "dim":"key", as in the catalog's partition token


def _key(dim: str, value: object) -> _Key:
    text = naming.key_text(value)
    return _Key(text, value, naming.token_member(dim, text))


def _keys(asset: Asset) -> list[list[_Key]]:
    # Dimensions in sorted order, as in partition tokens and directories.
    return [[_key(dim, value) for value in asset.partitions[dim]] for dim in asset.dims]


def _residuals(graph: Graph) -> dict[str, str]:
    by_module: dict[str, list[str]] = {}
    sources: dict[str, str] = {}
    for a in graph.assets.values():
        by_module.setdefault(a.record.module, []).append(a.record.function_source)
        sources[a.record.module] = a.record.module_source
    return {m: module_residual(sources[m], funcs + graph.check_sources.get(m, []))
            for m, funcs in by_module.items()}


class _Builder:
    """Jobs are added asset by asset, in dependency order, so every upstream
    job exists before its downstream is planned."""

    def __init__(self, graph: Graph, deps: CodeDeps | None):
        self.graph = graph
        self.deps = deps
        self.residuals = _residuals(graph)
        self.problems: list[str] = []
        self.jobs: dict[JobId, Job] = {}
        self.by_asset: dict[str, list[Job]] = {}
        # asset key -> {partition as (dim, key) pairs in sorted order -> job}
        self.index: dict[str, dict[tuple[tuple[str, str], ...], Job]] = {}
        if deps is not None:
            deps.residuals.update(self.residuals)
            for a in graph.assets.values():
                deps.register(a.record.module, a.record.file_path, a.record.module_source, [a.record.function])

    def resolve_input(self, asset: Asset, partition: dict[str, str], param: str, up_key: str) -> Input | None:
        """What one parameter of one job reads; None (and a problem) when the
        upstream lacks the partition it needs."""
        if asset.record.lookbacks:
            from .lookback import input_for

            window = input_for(self, asset, partition, param, up_key)
            if window is not None:
                return window
        up = self.graph.assets[up_key]
        shared = [d for d in up.dims if d in partition]
        extra = [d for d in up.dims if d not in partition]
        if extra:
            mapping = [(tuple(j.partition[d] for d in extra), j.id) for j in self.by_asset[up_key]
                       if all(j.partition[d] == partition[d] for d in shared)]
            return Input(param, up_key, None, mapping)
        want = tuple((d, partition[d]) for d in shared)
        found = self.partitions_of(up_key).get(want)
        if found is None:
            self.problems.append(
                f"asset {asset.key!r} partition {job_label(asset.key, partition)} reads {up_key!r}, "
                f"which has no partition {','.join(f'{d}={k}' for d, k in want)}"
            )
            return None
        return Input(param, up_key, found.id)

    def add_job(self, asset: Asset, dims: list[str], keys: tuple[_Key, ...], shared: Parts,
                hasher: Callable[[str], str], textual: bool) -> Job:
        # Every name of the job is put together from its keys' forms, made
        # once per key: with 100,000 jobs, encoding each anew costs seconds.
        partition = {dim: key.text for dim, key in zip(dims, keys)}
        inputs = [inp for param, up_key in asset.inputs.items()
                  if (inp := self.resolve_input(asset, partition, param, up_key)) is not None] \
            if asset.inputs else []
        token = "{" + ",".join([key.token for key in keys]) + "}" if keys else ""
        # Keys that are text are their own values: one dict serves as both.
        values = cast(dict[str, object], partition) if textual else {dim: key.value for dim, key in zip(dims, keys)}
        job = Job((asset.key, token), len(self.jobs), asset, partition, values,
                  inputs, list(dict.fromkeys(j for inp in inputs for j in inp.job_ids())) if inputs else [],
                  hasher, shared)
        self.jobs[job.id] = job
        return job

    def shared_parts(self, asset: Asset) -> Parts:
        """The fingerprint parts of the asset's jobs, with an empty partition."""
        rec = asset.record
        imported = self.deps.of(rec.module) if self.deps is not None else None
        return code_parts(
            function_source=rec.function_source, module_residual=self.residuals[rec.module],
            python_version=rec.python_version, module=rec.module, function=rec.function, partition={},
            local_modules=imported.local if imported else None, packages=imported.packages if imported else None,
        )

    def add_asset(self, asset: Asset) -> None:
        shared = self.shared_parts(asset)
        hasher = partition_fingerprints(shared)
        dims = asset.dims
        textual = all(type(value) is str for dim in dims for value in asset.partitions[dim])
        # No two keys of a dimension have the same text (the graph sees to
        # it), so no two jobs have the same partition.
        self.by_asset[asset.key] = [self.add_job(asset, dims, keys, shared, hasher, textual)
                                    for keys in itertools.product(*_keys(asset))]

    def partitions_of(self, key: str) -> dict[tuple[tuple[str, str], ...], Job]:
        """The asset's jobs by partition, made when a downstream first reads one."""
        found = self.index.get(key)
        if found is None:
            found = self.index[key] = {tuple(job.partition.items()): job for job in self.by_asset[key]}
        return found


def build_plan(graph: Graph, deps: CodeDeps | None = None) -> Plan:
    """`deps`, when given, finds the local modules and distributions each
    asset module imports, so that they count in its fingerprint."""
    builder = _Builder(graph, deps)
    for asset in graph.assets.values():
        builder.add_asset(asset)
    if builder.problems:
        raise GraphError(builder.problems)
    return Plan(builder.jobs, builder.by_asset)
