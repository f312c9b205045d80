"""Test assets in memory with the runner's own planning.

    from orvan.testing import materialize, by_partition

    def test_doubled():
        result = materialize([pipeline], values={pipeline.raw: [1, 2, 3]}, select=["doubled"])
        assert result[pipeline.doubled] == [2, 4, 6]
        assert result[pipeline.prices, {"ticker": "AAPL"}]["close"] > 0
        assert not result.failures

`materialize` inspects the modules as `orvan run` does, builds the same graph
and plan (selection, partitions, fan-in and lookback inputs) and runs the
jobs one after the other in this process, passing each the values of the jobs
it reads. Every value goes through its asset's serializer and back, as it
would be stored, so a value the run could not store fails here too, and a
downstream sees what it would see in a run (a tuple comes back a list).
``isolation="process"`` runs each job as a worker process instead, with its
files in `tmp_path`.

`values` stands in for assets: {asset: value} for every partition,
{asset: by_partition({"ticker=AAPL": value})} for some (the others run), or
by_partition(function) to make a value from the keys. A stubbed asset's jobs
do not run; its upstream jobs run only if something else reads them.

The pytest fixture ``orvan_materialize`` (installed with orvan, through the
``pytest11`` entry point) is this function with `tmp_path` filled in.
"""

from __future__ import annotations

import json
import os
import sys
import tempfile
import traceback
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass, field
from types import ModuleType
from typing import Any

__all__ = ["materialize", "by_partition", "Result", "Failure"]

PartitionArg = Mapping[str, object] | None


@dataclass
class Failure:
    label: str
    exception: BaseException | None
    traceback: str


@dataclass
class by_partition:  # noqa: N801  (reads as a function at the call site)
    """Stub values for some partitions: a mapping from the partition's label
    ("ticker=AAPL", several dimensions as "date=2024-01-01,region=eu" in
    sorted order) to its value, or a function called with the keys."""

    values: Mapping[str, Any] | Callable[..., Any]

    def lookup(self, label: str, keys: Mapping[str, object]) -> tuple[bool, Any]:
        if callable(self.values):
            return True, self.values(**keys)
        if label in self.values:
            return True, self.values[label]
        return False, None


@dataclass
class Result:
    """Values by (asset key, partition label); failures and skipped jobs by label."""

    values: dict[tuple[str, str], Any] = field(default_factory=dict)
    failures: dict[str, Failure] = field(default_factory=dict)
    skipped: dict[str, str] = field(default_factory=dict)
    checks: dict[str, list[Any]] = field(default_factory=dict)
    partitioned: set[str] = field(default_factory=set)

    def __getitem__(self, item: Any) -> Any:
        asset, partition = item if isinstance(item, tuple) else (item, None)
        key = _key_of(asset)
        label = _label(partition or {})
        if (key, label) in self.values:
            return self.values[(key, label)]
        if key in self.partitioned and partition is None:
            raise KeyError(f"{key} is partitioned: ask for result[asset, {{dim: key}}] or result.partitions(asset)")
        raise KeyError(_missing(key, label, self))

    def partitions(self, asset: Any) -> dict[str, Any]:
        """The asset's values by partition label."""
        key = _key_of(asset)
        return {label: v for (k, label), v in self.values.items() if k == key}

    @property
    def ok(self) -> bool:
        return not self.failures and not self.skipped


def _missing(key: str, label: str, result: Result) -> str:
    full = f"{key}[{label}]" if label else key
    if full in result.failures:
        return f"{full} failed: {result.failures[full].exception!r}"
    if full in result.skipped:
        return f"{full} did not run: {result.skipped[full]}"
    return f"{full} was not materialised (not selected, or no such partition)"


def _label(partition: Mapping[str, object]) -> str:
    from .store.naming import key_text

    return ",".join(f"{d}={key_text(partition[d])}" for d in sorted(partition))


def _key_of(asset: Any) -> str:
    if isinstance(asset, str):
        return asset
    original = getattr(asset, "__orvan_original__", None)
    if original is None:
        raise TypeError(f"expected an asset or its key, not {type(asset).__qualname__}")
    name = getattr(asset, "__orvan_metadata__", {}).get("name")
    return name or f"{original.__module__}.{original.__name__}"


def _module_names(targets: Iterable[Any]) -> tuple[list[str], list[str]]:
    """The modules to inspect, and the keys of the assets given one by one."""
    modules: list[str] = []
    assets: list[str] = []
    for target in targets:
        if isinstance(target, ModuleType):
            name = target.__name__
        elif isinstance(target, str):
            name = target
        else:
            name = target.__orvan_original__.__module__
            assets.append(_key_of(target))
        if name not in modules:
            modules.append(name)
    return modules, assets


def _plan(modules: list[str]) -> tuple[Any, Any, Any]:
    """Graph and plan as the command makes them, from an inspection in this
    process (the modules are imported here anyway, to run the jobs)."""
    from .cli.inspect.discovery import parse_report
    from .cli.plan.graph import build_graph
    from .cli.plan.jobs import build_plan
    from .inspect import ImportFailed, _strict_report

    try:
        report = json.loads(_strict_report(modules))
    except ImportFailed as failed:
        raise failed.exc from None
    graph = build_graph(parse_report(report))
    return graph, build_plan(graph), report


def materialize(assets_or_modules: Any, *, values: Mapping[Any, Any] | None = None,
                partitions: Mapping[str, Any] | list[str] | None = None, select: list[str] | None = None,
                tmp_path: str | os.PathLike[str] | None = None, isolation: str = "inline") -> Result:
    """Run the selected assets (all of the given ones by default) and the
    upstream jobs they read, in memory; see the module's notes."""
    if isolation not in ("inline", "process"):
        raise ValueError(f"isolation must be 'inline' or 'process', not {isolation!r}")
    targets = assets_or_modules if isinstance(assets_or_modules, (list, tuple)) else [assets_or_modules]
    modules, given = _module_names(targets)
    graph, plan, report = _plan(modules)
    stubs = {_key_of(a): v for a, v in (values or {}).items()}
    unknown = [k for k in stubs if k not in graph.assets]
    if unknown:
        raise KeyError(f"values given for assets that are not in the plan: {', '.join(unknown)}")
    jobs = _chosen(graph, plan, select or given or None, partitions, stubs)
    with tempfile.TemporaryDirectory(prefix="orvan-testing-") as scratch:
        runner = _Runner(plan, stubs, str(tmp_path) if tmp_path is not None else scratch, isolation)
        runner.result.partitioned = {k for k, a in graph.assets.items() if a.partitions}
        runner.checks = _checks_of(report, graph)
        for job in jobs:
            runner.run(job)
    return runner.result


def _partition_args(partitions: Mapping[str, Any] | list[str] | None) -> list[str] | None:
    if partitions is None or isinstance(partitions, list):
        return partitions
    args = []
    for dim, keys in partitions.items():
        keys = [keys] if isinstance(keys, str) else list(keys)
        args.append(f"{dim}=" + ",".join(str(k) for k in keys))
    return args


def _chosen(graph: Any, plan: Any, select: list[str] | None, partitions: Any, stubs: dict[str, Any]) -> list[Any]:
    """The jobs to run, in plan order: those chosen and the upstream jobs
    they read, but for the stubbed ones' own upstreams (unless read otherwise)."""
    from .cli.plan.pipeline import choose_jobs

    chosen = choose_jobs(graph, plan, select, _partition_args(partitions))
    targets = {job.id for job in chosen.targets}
    needed = set(targets)
    stack = list(needed)
    while stack:
        job = plan.jobs[stack.pop()]
        if job.key in stubs and _stub_for(stubs[job.key], job)[0]:
            continue
        for dep in job.deps:
            if dep not in needed:
                needed.add(dep)
                stack.append(dep)
    return [job for jid, job in plan.jobs.items() if jid in needed]


def _stub_for(stub: Any, job: Any) -> tuple[bool, Any]:
    if isinstance(stub, by_partition):
        return stub.lookup(job.partition_label, job.partition_values)
    return True, stub


def _checks_of(report: dict[str, Any], graph: Any) -> dict[str, list[Any]]:
    try:
        from .checks import checks_by_asset
    except ImportError:
        return {}
    return checks_by_asset(report, graph)


class _Runner:
    def __init__(self, plan: Any, stubs: dict[str, Any], tmp: str, isolation: str):
        self.plan = plan
        self.stubs = stubs
        self.tmp = tmp
        self.isolation = isolation
        self.result = Result()
        self.checks: dict[str, list[Any]] = {}
        # job id -> the value as a downstream reads it back
        self.stored: dict[Any, Any] = {}
        self.blocked: dict[Any, str] = {}

    def run(self, job: Any) -> None:
        key = (job.key, job.partition_label)
        why = next((self.blocked[d] for d in job.deps if d in self.blocked), None)
        if why is not None:
            self.result.skipped[job.label] = why
            self.blocked[job.id] = why
            return
        stubbed, value = _stub_for(self.stubs[job.key], job) if job.key in self.stubs else (False, None)
        try:
            if stubbed:
                value = self.round_trip(job, value)
            elif self.isolation == "process":
                value = self.run_process(job)
            else:
                value = self.round_trip(job, self.call(job))
        except BaseException as exc:  # the asset's own SystemExit is a failure too
            if isinstance(exc, KeyboardInterrupt):
                raise
            self.fail(job, exc)
            return
        self.stored[job.id] = value
        self.result.values[key] = value
        if not stubbed:
            self.run_checks(job, value)

    def fail(self, job: Any, exc: BaseException) -> None:
        tb = "".join(traceback.format_exception(exc))
        self.result.failures[job.label] = Failure(job.label, exc, tb)
        self.blocked[job.id] = f"upstream {job.label} failed"

    def kwargs(self, job: Any) -> dict[str, Any]:
        kwargs = dict(job.partition_values)
        for inp in job.inputs:
            kwargs[inp.param] = self.kwargs_of(inp)
        return kwargs

    def call(self, job: Any) -> Any:
        import importlib

        module = importlib.import_module(job.asset.record.module)
        function = getattr(module, job.asset.record.function)
        return getattr(function, "__orvan_original__", function)(**self.kwargs(job))

    def round_trip(self, job: Any, value: Any) -> Any:
        """The value as the store would give it back."""
        from . import values as serializers

        name = job.asset.record.serializer
        if serializers.is_json(name):
            # As the native path writes it: json.dumps with its defaults.
            return json.loads(json.dumps(value))
        path = os.path.join(self.tmp, f"roundtrip-{os.getpid()}.{serializers.get(name).extension}")
        serializer = serializers.get(name)
        serializer.dump(value, path)
        try:
            return serializer.load(path)
        finally:
            os.unlink(path)

    def run_process(self, job: Any) -> Any:
        """The job run by `python -m orvan.worker`, as the spawn executor
        runs it: upstream values that are not JSON go as stored files."""
        import subprocess

        from . import values as serializers
        from .store import naming

        directory = os.path.join(self.tmp, job.relpath)
        os.makedirs(directory, exist_ok=True)
        kwargs, refs = dict(job.partition_values), {}
        for inp in job.inputs:
            ids = inp.job_ids()
            if ids and not serializers.is_json(self.plan.jobs[ids[0]].asset.record.serializer):
                refs[inp.param] = self.ref_tree(inp, directory)
            else:
                kwargs[inp.param] = self.kwargs_of(inp)
        argv = [sys.executable, "-m", "orvan.worker", job.asset.record.module, job.asset.record.function,
                directory, "--kwargs-file", _write(directory, "kwargs.json", json.dumps(kwargs))]
        name = job.asset.record.serializer
        if not serializers.is_json(name):
            argv += ["--serializer", name]
        if refs:
            argv += ["--inputs-file", _write(directory, "inputs.json", json.dumps(refs))]
        # Started where the module is imported from, as the runner starts
        # jobs in the project's directory.
        root = _import_root(os.path.realpath(job.asset.record.file_path), job.asset.record.module)
        proc = subprocess.run(argv, cwd=root, capture_output=True, text=True, stdin=subprocess.DEVNULL)
        if proc.returncode != 0:
            raise WorkerFailed(proc.stderr.strip() or f"worker exited with status {proc.returncode}")
        path = naming.value_path(directory, name)
        if serializers.is_json(name):
            with open(path, encoding="utf-8") as f:
                return json.load(f)
        return serializers.get(name).load(path)

    def kwargs_of(self, inp: Any) -> Any:
        return self.stored[inp.single] if inp.single is not None else _tree_values(inp.tree(), self.stored)

    def ref_tree(self, inp: Any, directory: str) -> dict[str, Any]:
        from . import values as serializers

        def ref(jid: Any) -> dict[str, Any]:
            upstream = self.plan.jobs[jid]
            name = upstream.asset.record.serializer
            path = os.path.join(directory, f"input-{upstream.index}.{serializers.get(name).extension}")
            serializers.get(name).dump(self.stored[jid], path)
            return {"kind": "file", "path": path, "serializer": name}

        def tree(node: Mapping[str, Any]) -> dict[str, Any]:
            return {"kind": "map", "items": {k: tree(v) if isinstance(v, dict) else ref(v) for k, v in node.items()}}

        return ref(inp.single) if inp.single is not None else tree(inp.tree())

    def run_checks(self, job: Any, value: Any) -> None:
        specs = self.checks.get(job.key)
        if not specs:
            return
        from .checks import run_check

        outcomes = [run_check(spec, value, job.partition_values) for spec in specs]
        self.result.checks[job.label] = outcomes
        failed = next((o for o in outcomes if not o.passed and o.blocking), None)
        if failed is not None:
            self.blocked[job.id] = f"blocked by check {failed.name} on {job.label}"


class WorkerFailed(Exception):
    """A job run as a worker process failed; its message is the job's log."""


def _import_root(path: str, module: str) -> str:
    """The directory the module is imported from."""
    parts = module.split(".")
    root = os.path.dirname(path)
    if os.path.basename(path) == "__init__.py":
        root = os.path.dirname(root)
    for _ in parts[1:]:
        root = os.path.dirname(root)
    return root


def _write(directory: str, name: str, text: str) -> str:
    path = os.path.join(directory, name)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    return path


def _tree_values(tree: Mapping[str, Any], stored: Mapping[Any, Any]) -> dict[str, Any]:
    return {k: _tree_values(node, stored) if isinstance(node, dict) else stored[node] for k, node in tree.items()}
