"""The pipeline as the pages show it: its assets, their partitions and the
fingerprints they would have now, loaded from the code when it can be, or
else pieced together from what the catalog recorded.

Loading runs discovery in a subprocess, so the result is kept and reloaded
only when a new run starts or one of the pipeline's source files changes.
"""

from __future__ import annotations

import itertools
import json
import os
import threading
from dataclasses import dataclass, field

from ..checks import checks_by_asset
from ..cli.plan import pipeline
from ..cli.config import modules_from_pyproject, modules_or_last_run
from ..cli.plan.graph import GraphError
from ..errors import OrvanError
from ..store.naming import key_text, partition_token
from ..cli.plan.jobs import Plan
from .reader import Queries


@dataclass
class AssetView:
    key: str
    inputs: list[str]
    # dimension -> its keys in text form, in declared order; dimensions sorted
    dims: dict[str, list[str]]
    # partition tokens in the order of the product of `dims` (the plan's order)
    tokens: list[str]
    # the fingerprint each partition would have now; None when the code is unknown
    fingerprints: list[str] | None
    module: str = ""
    function: str = ""
    file: str = ""
    line: int = 0
    downstream: list[str] = field(default_factory=list)

    def index_of(self, partition: dict[str, str]) -> int | None:
        """Position of a partition in `tokens`, by mixed radix over the dimensions."""
        index = 0
        for dim, keys in self.dims.items():
            try:
                index = index * len(keys) + keys.index(partition[dim])
            except (KeyError, ValueError):
                return None
        return index if len(partition) == len(self.dims) else None


@dataclass
class Model:
    assets: dict[str, AssetView]
    # why the code could not be loaded, when the model comes from the catalog
    problem: str | None = None
    modules: list[str] = field(default_factory=list)
    sources: dict[str, float] = field(default_factory=dict)
    run_id: int = -1
    # what pages derive from the model once (the graph's layout)
    cache: dict[str, object] = field(default_factory=dict)
    # the plan, when the code could be loaded
    plan: Plan | None = None
    # each asset's checks, by name
    checks: dict[str, list[str]] = field(default_factory=dict)


def _line_of(module_source: str, function_source: str) -> int:
    at = module_source.find(function_source)
    return module_source.count("\n", 0, at) + 1 if at >= 0 else 0


def from_plan(plan: Plan) -> dict[str, AssetView]:
    assets: dict[str, AssetView] = {}
    for key, jobs in plan.by_asset.items():
        asset = jobs[0].asset
        rec = asset.record
        dims = {d: [key_text(k) for k in asset.partitions[d]] for d in asset.dims}
        assets[key] = AssetView(
            key, list(dict.fromkeys(asset.inputs.values())), dims,
            [j.id[1] for j in jobs], [j.fingerprint for j in jobs],
            rec.module, rec.function, rec.file_path, _line_of(rec.module_source, rec.function_source))
    _link_downstream(assets)
    return assets


def tokens_for(dims: dict[str, list[str]]) -> list[str]:
    """The catalog's partition tokens of every combination, in the plan's order."""
    return [partition_token(dict(zip(dims, combo))) for combo in itertools.product(*dims.values())]


def from_catalog(q: Queries) -> dict[str, AssetView]:
    """Assets and partitions as recorded; no inputs and no fingerprints."""
    assets: dict[str, AssetView] = {}
    for key in q.asset_keys():
        dims: dict[str, list[str]] = {}
        for token in q.partitions_of(key):
            try:
                partition = json.loads(token) if token else {}
            except ValueError:
                continue
            if isinstance(partition, dict):
                for dim, k in partition.items():
                    dims.setdefault(str(dim), [])
                    if str(k) not in dims[str(dim)]:
                        dims[str(dim)].append(str(k))
        dims = {d: dims[d] for d in sorted(dims)}
        assets[key] = AssetView(key, [], dims, tokens_for(dims), None)
    return assets


def _link_downstream(assets: dict[str, AssetView]) -> None:
    for asset in assets.values():
        for up in asset.inputs:
            if up in assets:
                assets[up].downstream.append(asset.key)


def _mtimes(paths: list[str]) -> dict[str, float]:
    out: dict[str, float] = {}
    for path in paths:
        try:
            out[path] = os.stat(path).st_mtime
        except OSError:
            out[path] = -1.0
    return out


def sources_changed(model: Model) -> bool:
    """Whether a source file the model was loaded from changed since."""
    return _mtimes(list(model.sources)) != model.sources


class ModelCache:
    def __init__(self, modules: list[str], directory: str):
        self.modules = modules
        self.directory = directory
        self._model: Model | None = None
        self._lock = threading.Lock()

    def get(self, q: Queries) -> Model:
        run_id = q.last_run_id()
        with self._lock:
            current = self._model
            if current is None or current.run_id != run_id or sources_changed(current):
                current = self._load(q, run_id)
                self._model = current
            return current

    def named_modules(self, model: Model) -> list[str]:
        """The modules a command run here must be given to find the model's
        pipeline: none when pyproject.toml names them."""
        if not model.modules or model.modules == modules_from_pyproject(self.directory):
            return []
        return model.modules

    def _modules(self, q: Queries) -> list[str]:
        return modules_or_last_run(self.modules, self.directory, q.last_modules)

    def _load(self, q: Queries, run_id: int) -> Model:
        try:
            modules = self._modules(q)
            if not modules:
                raise pipeline.CommandError("no modules named and no run recorded")
            loaded = pipeline.load_report(modules, self.directory)
            graph, plan = loaded.graph, loaded.plan
        except GraphError as e:
            return Model(from_catalog(q), "; ".join(e.problems), run_id=run_id)
        except (OrvanError, OSError, ValueError) as e:
            return Model(from_catalog(q), str(e), run_id=run_id)
        assets = from_plan(plan)
        files = sorted({a.record.file_path for a in graph.assets.values() if a.record.file_path})
        declared = checks_by_asset(json.loads(loaded.report), graph) if '"checks":[' in loaded.report else {}
        checks = {key: [spec.name for spec in specs] for key, specs in declared.items()}
        return Model(assets, None, modules, _mtimes(files), run_id, plan=plan, checks=checks)
